#include "session.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <random>
#include <strings.h>
#include <thread>
#include <unordered_map>

#include "memory_temp_files.h"
#include "row_source.h"
#include "sql_functions.h"
#include "translator.h"
#include "tsql_parser.h"

namespace sqlserver_standin {

Prepared::~Prepared() { done(); }

void Prepared::done() {
    if (cache) cache->release(sql, st, std::move(reads));
    else sqlite3_finalize(st);
    st = nullptr;
}

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

const char* statement_word(StmtKind k) {
    switch (k) {
        case StmtKind::Insert: return "INSERT";
        case StmtKind::Update: return "UPDATE";
        case StmtKind::Delete: return "DELETE";
        case StmtKind::Merge: return "MERGE";
        case StmtKind::AlterTableCheck: return "ALTER TABLE";
        default: return "SELECT";
    }
}

TsqlError lock_timeout_error() { return TsqlError(1222, "HYT00", "Lock request time out period exceeded."); }

TsqlError deadlock_victim() {
    return TsqlError(1205, "40001",
                     "Transaction (Process ID 52) was deadlocked on lock resources with another process and has been "
                     "chosen as the deadlock victim. Rerun the transaction.",
                     13, 51);
}

void bind_value(sqlite3_stmt* st, int index, const Value& v) {
    switch (v.kind) {
        case Value::Null: sqlite3_bind_null(st, index); break;
        case Value::Int: sqlite3_bind_int64(st, index, v.i); break;
        case Value::Real: sqlite3_bind_double(st, index, v.r); break;
        case Value::Text: sqlite3_bind_text(st, index, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT); break;
        case Value::Blob: sqlite3_bind_blob(st, index, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT); break;
    }
}

Value column_value(sqlite3_stmt* st, int c) {
    switch (sqlite3_column_type(st, c)) {
        case SQLITE_INTEGER: return Value::integer(sqlite3_column_int64(st, c));
        case SQLITE_FLOAT: return Value::real(sqlite3_column_double(st, c));
        case SQLITE_TEXT:
            return Value::text(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, c)),
                                           sqlite3_column_bytes(st, c)));
        case SQLITE_BLOB: {
            const void* p = sqlite3_column_blob(st, c);
            return Value::blob(p ? std::string(static_cast<const char*>(p), sqlite3_column_bytes(st, c)) : "");
        }
        default: return Value::null();
    }
}

std::string duplicate_value_text(const std::vector<std::string>& columns,
                                 const std::map<std::string, Value, std::less<>>& written) {
    std::string out;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) out += ", ";
        auto it = std::find_if(written.begin(), written.end(), [&](const auto& kv) { return iequals(kv.first, columns[i]); });
        if (it == written.end() || it->second.is_null()) out += "<NULL>";
        else if (it->second.kind == Value::Int) out += std::to_string(it->second.i);
        else if (it->second.kind == Value::Real) out += format_real(it->second.r);
        else if (it->second.kind == Value::Blob) {
            static const char* hex = "0123456789ABCDEF";
            out += "0x";
            for (unsigned char c : it->second.s) out += std::string{hex[c >> 4], hex[c & 15]};
        } else
            out += it->second.s;
    }
    return out;
}

}  // namespace

std::vector<FaultSpec> parse_faults(const std::string& text) {
    std::vector<FaultSpec> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t bar = text.find('|', start);
        std::string item = text.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        if (!item.empty()) {
            FaultSpec f;
            size_t a = item.find(':');
            size_t b = a == std::string::npos ? std::string::npos : item.find(':', a + 1);
            try {
                f.native = std::stoi(item.substr(0, a));
                if (a != std::string::npos) f.nth = std::stoi(item.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1));
            } catch (const std::exception&) {
                throw std::invalid_argument("bad fault setting '" + item + "'");
            }
            if (b != std::string::npos) f.pattern = item.substr(b + 1);
            if (f.nth < 1 || (f.native != 1205 && f.native != 2627 && f.native != 547))
                throw std::invalid_argument("bad fault setting '" + item + "' (errors 1205, 2627 or 547; N from 1)");
            out.push_back(f);
        }
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return out;
}

std::chrono::milliseconds parse_lock_timeout(const std::string& text) {
    bool digits = !text.empty() && text.size() <= 9 &&
                  std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
    if (!digits) throw std::invalid_argument("bad lock timeout '" + text + "' (milliseconds)");
    return std::chrono::milliseconds(std::stol(text));
}

Session::Session(const std::string& data_dir, const std::string& database, std::vector<FaultSpec> faults,
                 std::chrono::milliseconds lock_timeout)
    : database_(database), lock_timeout_(lock_timeout), faults_(std::move(faults)) {
    bool valid = !database.empty() && database.size() <= 128;
    for (char c : database)
        valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
    if (!valid)
        throw TsqlError(4060, "42000", "Cannot open database \"" + database + "\" requested by the login. The login failed.", 11);
    char resolved[PATH_MAX];
    std::string path = std::string(realpath(data_dir.c_str(), resolved) ? resolved : data_dir.c_str()) + "/" + database + ".sqlite";
    file_ = DatabaseFile::of(path);
    conn_ = file_->take_connection();
    // A pooled connection was handed back by a session that found the catalog or made it.
    const bool pooled = conn_ != nullptr;
    try {
        if (!conn_) open_connection(path);
        db_ = conn_->db;
        conn_->session = this;
        sqlite3_busy_handler(db_, &Session::on_busy, this);
        auto has_catalog = [&] {
            Prepared p;
            sqlite3_prepare_v2(db_, "SELECT 1 FROM sqlite_master WHERE name = 'sys.objects'", -1, &p.st, nullptr);
            return sqlite3_step(p.st) == SQLITE_ROW;
        };
        if (!pooled && !has_catalog()) {
            begin_locked(false);
            if (!has_catalog()) Catalog::initialise(db_);
            exec_sql(db_, "COMMIT");
            end_writing();
        }
    } catch (...) {
        if (db_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        end_writing();
        conn_.reset();
        throw;
    }
    catalog_ = std::make_unique<Catalog>(db_, database, file_->catalog_cache());
    catalog_->watch_schema(conn_->statements);
    sqlite3_update_hook(db_, &Session::on_change, this);
}

void Session::open_connection(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        memory_temp_files_vfs()) != SQLITE_OK) {
        std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw TsqlError(4060, "08001", "Cannot open database \"" + database_ + "\" requested by the login. The login failed. (" + msg + ")", 11);
    }
    conn_ = std::make_unique<Connection>(db);
    sqlite3_busy_handler(db, &Session::on_busy, this);
    // Every identifier is emitted double-quoted: an unknown one must be an
    // error (207), never silently a string.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_extended_result_codes(db, 1);
    register_functions(*conn_);
    register_row_source(db);
    // Foreign keys are checked by the session at the end of each statement;
    // their actions are triggers, which may cascade through one table. A
    // commit reaches the operating system, not the disk: writers would
    // otherwise take turns on the disk's flushes, which SQL Server shares
    // between the commits of one moment.
    // #temp tables live in memory (memory_temp_files_vfs); the pages of those
    // dropped are handed back when the session ends (see ~Session).
    exec_sql(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = OFF; "
                 "PRAGMA recursive_triggers = ON");
    // A private database that lives in memory (memory_temp_files_vfs) and goes with the connection.
    const std::string temp = kTempSchema;
    exec_sql(db, "ATTACH DATABASE '' AS " + temp + "; PRAGMA " + temp + ".auto_vacuum = INCREMENTAL");
    // Row versions pile up with every change: with SQLite's default page cache (2 MB) a big
    // push reads the history back from the file, where SQL Server keeps it in memory. Up to
    // 32 MB per connection, taken only as pages are read.
    exec_sql(db, "PRAGMA cache_size = -32768");
    // The same for the #temp tables: beyond SQLite's default 2 MB their pages would be spilled
    // into the in-memory file and copied back at every turn of the cache. The database file is
    // read through the page cache, not a mapping: with many sessions at once each connection's
    // mapping faults its pages in again after every remap, which cost 16 clients a fifth more
    // processor time per push for a few percent off a big initial pull.
    exec_sql(db, "PRAGMA " + temp + ".cache_size = -32768");
}

int Session::prepare(const std::string& sql, Prepared& p) {
    p.cache = &conn_->statements;
    p.sql = sql;
    p.cache->set_versions(catalog_->schema_versions());
    int rc = p.cache->prepare(sql, &p.st, &p.reads);
    // A reader waits for the writer that changed what it reads, as for its
    // row locks, and then reads what that writer committed.
    if (rc == SQLITE_OK && !write_locked_ && !p.reads->empty()) waited(file_->wait_for_writer(*p.reads, lock_timeout_));
    return rc;
}

void Session::on_change(void* self, int op, const char* db, const char* table, sqlite3_int64 rowid) {
    auto* s = static_cast<Session*>(self);
    if (s->write_locked_ && std::strcmp(db, "main") == 0 && s->written_tables_.insert(table).second)
        s->file_->note_write(table);
    if (!s->tracking_) return;
    TableChanges& c = s->changes_[{db, table}];
    if (op != SQLITE_DELETE) c.written.push_back(rowid);
    if (op != SQLITE_INSERT) c.keys_removed = true;
}

Session::~Session() {
    if (open_stream_) {
        // The result outlives the connection: the rows read so far stay readable.
        open_stream_->statement_.done();
        open_stream_->session_ = nullptr;
    }
    if (!conn_) return;
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    end_writing();
    catalog_.reset();
    sqlite3_update_hook(db_, nullptr, nullptr);
    sqlite3_busy_handler(db_, nullptr, nullptr);
    conn_->session = nullptr;
    // The connection goes back to the pool as a new one would be: its #temp
    // tables die with the session. The statements that look are kept with the
    // connection; a session that left nothing behind has nothing more to do.
    const std::string temp = kTempSchema;
    std::vector<std::string> temp_tables;
    std::string journal_mode;
    bool left_nothing = false;
    {
        auto kept = [&](const std::string& sql, Prepared& p) {
            p.cache = &conn_->statements;
            p.sql = sql;
            return p.cache->prepare(sql, &p.st, &p.reads) == SQLITE_OK;
        };
        Prepared tables, free_pages;
        if (!kept("SELECT name FROM " + temp + ".sqlite_master WHERE type = 'table'", tables) ||
            !kept("PRAGMA " + temp + ".freelist_count", free_pages) || sqlite3_step(free_pages.st) != SQLITE_ROW)
            return;
        while (sqlite3_step(tables.st) == SQLITE_ROW)
            temp_tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(tables.st, 0)));
        left_nothing = temp_tables.empty() && sqlite3_column_int64(free_pages.st, 0) == 0;
    }
    if (left_nothing) {
        file_->give_back(std::move(conn_));
        return;
    }
    {
        Prepared mode;
        if (sqlite3_prepare_v2(db_, ("PRAGMA " + temp + ".journal_mode").c_str(), -1, &mode.st, nullptr) != SQLITE_OK ||
            sqlite3_step(mode.st) != SQLITE_ROW)
            return;
        journal_mode = reinterpret_cast<const char*>(sqlite3_column_text(mode.st, 0));
    }
    // Nothing of this is ever rolled back (a failure closes the connection instead): without a
    // journal the drops do not copy the pages of the tables they free.
    std::string drop = "PRAGMA " + temp + ".journal_mode = OFF;";
    for (const auto& name : temp_tables) drop += " DROP TABLE " + temp + "." + quote_ident(name) + ";";
    // A pooled connection keeps no memory of the big #temp tables it once held.
    drop += " PRAGMA " + temp + ".incremental_vacuum; PRAGMA " + temp + ".journal_mode = " + journal_mode;
    if (sqlite3_exec(db_, drop.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return;
    file_->give_back(std::move(conn_));
}

void Session::rollback_all() {
    settle_stream();
    if (trancount_ > 0 || !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (trancount_ > 0) {
        // #temp tables a fresh snapshot made durable go now; the catalog
        // knows the ones the transaction began with again.
        for (const auto& name : temp_committed_)
            sqlite3_exec(db_, ("DROP TABLE IF EXISTS " + std::string(kTempSchema) + "." + quote_ident(name)).c_str(), nullptr,
                         nullptr, nullptr);
        catalog_->restore_temp_tables(std::move(temp_at_begin_));
    }
    trancount_ = 0;
    current_txids_.clear();
    end_writing();
}

namespace {

bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Statements that change the table they name (and an OUTPUT INTO table).
bool writes_target(StmtKind kind) {
    switch (kind) {
        case StmtKind::Insert:
        case StmtKind::Update:
        case StmtKind::Delete:
        case StmtKind::Merge:
        case StmtKind::Truncate:
        case StmtKind::CreateTable:
        case StmtKind::CreateIndex:
        case StmtKind::DropTable:
        case StmtKind::AlterTableAdd:
        case StmtKind::AlterTableDropColumn:
        case StmtKind::AlterTableCheck: return true;
        default: return false;
    }
}

// Whether the statement writes the database itself, not only #temp tables,
// or reads it under update locks (which only a writer may hold here).
// UPDATE/DELETE through an alias count as writes whatever the alias names.
bool writes_database(const Statement& st) {
    if (st.update_locks) return true;
    if (writes_target(st.kind)) return !st.target.temp() || (st.output && st.output->into && !st.output->target.temp());
    if (st.kind == StmtKind::Exec) return !ends_with(lower(st.target.name), "$z$getproperty");
    return st.kind == StmtKind::CreateSchema;
}

}  // namespace

int Session::on_busy(void* self, int count) {
    // Another process holds the lock: poll briefly, within the lock timeout.
    auto* s = static_cast<Session*>(self);
    auto now = std::chrono::steady_clock::now();
    if (count == 0) s->busy_since_ = now;
    if (now - s->busy_since_ >= s->lock_timeout_) return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(count < 20 ? 200 : 2000));
    return 1;
}

void Session::waited(DatabaseFile::Wait how) {
    if (how == DatabaseFile::Wait::TimedOut) throw lock_timeout_error();
    // The waiter that finds the cycle is its victim: run_statement rolls its transaction back.
    if (how == DatabaseFile::Wait::Deadlock) throw deadlock_victim();
}

void Session::begin_locked(bool statement_alone) {
    waited(file_->acquire(lock_timeout_, statement_alone));
    write_locked_ = true;
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = sqlite3_errmsg(db_);
        end_writing();
        if ((rc & 0xFF) == SQLITE_BUSY) throw lock_timeout_error();
        throw TsqlError(50000, "HY000", msg);
    }
}

void Session::end_writing() {
    if (!write_locked_) return;
    write_locked_ = false;
    written_tables_.clear();
    file_->release();
    // Catalog changes are made under the lock: committed or gone now.
    if (catalog_) catalog_->transaction_ended();
}

void Session::lock_for_writing() {
    if (trancount_ > 0 && !write_locked_) lock_in_transaction();
}

bool Session::snapshot_movable() const {
    // Committing SQLite's transaction must not make anything durable that a
    // rollback could not take back: only #temp tables the transaction made.
    return !temp_touched_ && temp_at_savepoint_.empty() && sqlite3_txn_state(db_, "main") != SQLITE_TXN_WRITE;
}

void Session::release_snapshot() {
    // SQLite's transaction holds nothing but the snapshot and #temp tables
    // this transaction made; a rollback drops those.
    exec_sql(db_, "COMMIT");
    temp_committed_.insert(temp_created_.begin(), temp_created_.end());
}

void Session::refresh_snapshot() {
    if (sqlite3_txn_state(db_, "main") == SQLITE_TXN_NONE || !snapshot_movable()) return;
    release_snapshot();
    exec_sql(db_, "BEGIN");
}

void Session::note_temp_writes(const Statement& st) {
    auto note = [&](const ObjectName& n) {
        if (!n.temp()) return;
        std::string key = lower(n.name);
        if (st.kind == StmtKind::CreateTable) temp_created_.insert(key);
        else if (temp_at_begin_.count(key) && !temp_created_.count(key)) temp_touched_ = true;
    };
    if (!writes_target(st.kind)) return;
    // An alias may name one of them.
    if ((st.kind == StmtKind::Update || st.kind == StmtKind::Delete) && st.from && !temp_at_begin_.empty())
        temp_touched_ = true;
    note(st.target);
    if (st.output && st.output->into) note(st.output->target);
}

void Session::before_statement_in_transaction(const Statement& st) {
    note_temp_writes(st);
    // A transaction cannot say that it will write: the stand-in learns it
    // from the statement that opened it. A writer whose snapshot is pinned
    // by then takes the lock on what it read, which fails once another writer
    // committed since; so one opened like a transaction that wrote on a
    // pinned snapshot queues for the write lock before it reads. Others read
    // what is committed without the lock, as under SQL Server's row locks,
    // and take it at their first write.
    const bool opens = opener_.empty() && st.kind != StmtKind::SetOption && st.kind != StmtKind::Declare &&
                       st.kind != StmtKind::SetVariable && st.kind != StmtKind::SaveTran;
    if (opens) {
        opener_ = st.text;
        if (file_->opens_writer(opener_)) return lock_in_transaction();
    }
    if (writes_database(st)) {
        const bool pinned = !snapshot_movable();
        lock_in_transaction();
        if (pinned && !opener_.empty()) file_->remember_writer(opener_);
        return;
    }
    // Read committed: a statement that only reads sees what is committed as it starts.
    refresh_snapshot();
}

void Session::lock_in_transaction() {
    if (snapshot_movable()) {
        // The writer queues for the lock, then reads and writes the newest data.
        if (!sqlite3_get_autocommit(db_)) release_snapshot();
        try {
            begin_locked(false);
        } catch (...) {
            sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
            throw;
        }
        return;
    }
    // A savepoint or a #temp table written since the transaction began pins
    // the snapshot: the lock is taken on it, which fails once another writer
    // has committed since it was taken.
    waited(file_->acquire(lock_timeout_, false));
    write_locked_ = true;
    if (sqlite3_exec(db_, "UPDATE \"sys$meta\" SET value = value WHERE 0", nullptr, nullptr, nullptr) != SQLITE_OK) {
        rollback_all();
        throw deadlock_victim();
    }
}

void Session::run_writing_alone(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    // Outside a transaction a writing statement is a transaction of its own.
    begin_locked(true);
    try {
        dispatch(st, params, out);
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) throw deadlock_victim();
    } catch (...) {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        end_writing();
        throw;
    }
    end_writing();
}

void Session::bind_all(sqlite3_stmt* st, const std::vector<Value>& params) {
    int n = sqlite3_bind_parameter_count(st);
    for (int i = 1; i <= n; ++i) {
        if (i <= static_cast<int>(params.size())) bind_value(st, i, params[i - 1]);
        else if (i > kVariableBase && i - kVariableBase - 1 < static_cast<int>(var_values_.size()))
            bind_value(st, i, var_values_[i - kVariableBase - 1]);
    }
}

namespace {
const Statement& select_statement() {
    static const Statement st = [] {
        Statement s;
        s.kind = StmtKind::Select;
        return s;
    }();
    return st;
}
}  // namespace

Value Session::evaluate(const Expr& e, const std::vector<Value>& params, std::optional<TsqlType>* type) {
    Translator tr = translator();
    std::string sql = "SELECT " + tr.table_expr(e, nullptr);
    if (type) *type = tr.expression_type(e);
    Prepared p;
    if (prepare(sql, p) != SQLITE_OK)
        throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), select_statement(), std::nullopt);
    bind_all(p.st, params);
    int rc = sqlite3_step(p.st);
    if (rc == SQLITE_ROW) return column_value(p.st, 0);
    throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), select_statement(), std::nullopt);
}

bool Session::condition(const Expr& e, const std::vector<Value>& params) {
    // A predicate that is NULL (unknown) is not true.
    Translator tr = translator();
    std::string sql = "SELECT CASE WHEN " + tr.table_expr(e, nullptr) + " THEN 1 ELSE 0 END";
    Prepared p;
    if (prepare(sql, p) != SQLITE_OK)
        throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), select_statement(), std::nullopt);
    bind_all(p.st, params);
    if (sqlite3_step(p.st) != SQLITE_ROW)
        throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), select_statement(), std::nullopt);
    return sqlite3_column_int64(p.st, 0) != 0;
}

void Session::assign(const std::string& name, const Value& v) {
    auto it = vars_.find(name);
    if (it == vars_.end()) throw TsqlError(137, "42000", "Must declare the scalar variable \"" + name + "\".", 15);
    var_values_[it->second.param - kVariableBase - 1] = convert_value(v, it->second.type, true);
}

void Session::run_block(const std::vector<Statement>& body, const std::vector<Value>& params, ExecOutcome& out) {
    for (const auto& st : body) run_statement(st, params, out);
}

long long Session::temp_identity(const std::string& table, long long seed, long long increment) {
    auto it = temp_identity_.find(table);
    if (it == temp_identity_.end()) return temp_identity_[table] = seed;
    return it->second += increment;
}

ExecOutcome Session::execute_text(const std::string& sql, const std::vector<Value>& params) {
    return execute(parse_batch(sql), params);
}

ExecOutcome Session::execute(const Batch& batch, const std::vector<Value>& params, bool own_scope) {
    // Rows still to be read hold the connection, as on SQL Server without MARS.
    if (open_stream_) throw TsqlError(0, "HY000", kConnectionBusyMessage);
    // Variables and cursors belong to one batch; a batch run from inside
    // another (a procedure's work) has its own.
    struct Scope {
        Session& s;
        VariableMap vars;
        std::vector<Value> values;
        std::map<std::string, Cursor> cursors;
        const Statement* streamable;
        unsigned long long batch_id;
        Scope(Session& x, const Statement* last, unsigned long long id) : s(x), streamable(last), batch_id(id) {
            vars.swap(s.vars_);
            values.swap(s.var_values_);
            cursors.swap(s.cursors_);
            std::swap(streamable, s.streamable_);
            std::swap(batch_id, s.batch_id_);
        }
        ~Scope() {
            vars.swap(s.vars_);
            values.swap(s.var_values_);
            cursors.swap(s.cursors_);
            std::swap(streamable, s.streamable_);
            std::swap(batch_id, s.batch_id_);
        }
    } scope(*this, streaming_ && !batch.statements.empty() ? &batch.statements.back() : nullptr, batch.shared_id);
    // The end of a prepared or parameterised execution, also when it fails: the temp
    // tables it created go, the SET options it changed are as it found them (as at the end
    // of a procedure), and its row count stays behind.
    struct ExecutionScope {
        Session& s;
        bool own;
        std::set<std::string> before;
        bool nocount = false;
        std::string identity_insert;
        ExecutionScope(Session& x, bool o) : s(x), own(o) {
            if (!own) return;
            for (const auto& name : s.catalog_->temp_table_names()) before.insert(lower(name));
            nocount = s.nocount_;
            identity_insert = s.identity_insert_;
        }
        ~ExecutionScope() {
            if (!own) return;
            s.nocount_ = nocount;
            s.identity_insert_ = identity_insert;
            for (const auto& name : s.catalog_->temp_table_names()) {
                if (before.count(lower(name))) continue;
                // A result still streaming from the table is read ahead before it goes.
                s.settle_stream();
                try {
                    s.catalog_->drop_temp_table(name);
                } catch (const std::exception&) {
                    // Nothing to undo: the execution's own error is the one reported.
                }
            }
            s.rowcount_ = 0;
            if (s.open_stream_) s.open_stream_->sets_rowcount_ = false;
        }
    } execution(*this, own_scope);
    ExecOutcome out;
    const int trancount_at_start = trancount_;
    for (const auto& st : batch.statements) {
        run_statement(st, params, out);
        // Outside a transaction every statement is a transaction of its own.
        if (trancount_ == 0) current_txids_.clear();
    }
    // A procedure call (as the drivers run a parameterised batch) must leave the
    // transaction count as it found it; the transaction itself stays as it is.
    if (own_scope && trancount_ != trancount_at_start)
        throw TsqlError(266, "25000",
                        "Transaction count after EXECUTE indicates a mismatching number of BEGIN and COMMIT statements. "
                        "Previous count = " + std::to_string(trancount_at_start) +
                            ", current count = " + std::to_string(trancount_) + ".");
    out.no_rows_affected = batch.statements.size() == 1 && out.results.empty() &&
                           (batch.statements[0].kind == StmtKind::Update || batch.statements[0].kind == StmtKind::Delete) &&
                           rowcount_ == 0;
    return out;
}

void Session::check_fault(const Statement& st) {
    for (auto& f : faults_) {
        if (!f.pattern.empty() && lower(st.text).find(lower(f.pattern)) == std::string::npos) continue;
        if (++f.seen != f.nth) continue;
        rowcount_ = 0;
        if (f.native == 1205) {
            rollback_all();
            throw deadlock_victim();
        }
        std::string object = "dbo.fault_injected";
        if (st.kind == StmtKind::Insert || st.kind == StmtKind::Update || st.kind == StmtKind::Delete) {
            if (auto t = catalog_->find_table(st.target)) object = t->display_name();
        }
        TsqlError e = f.native == 2627
                          ? TsqlError(2627, "23000",
                                      "Violation of PRIMARY KEY constraint 'PK_fault_injected'. Cannot insert duplicate "
                                      "key in object '" + object + "'. The duplicate key value is (injected).", 14)
                          : TsqlError(547, "23000",
                                      std::string("The ") + statement_word(st.kind) +
                                          " statement conflicted with the FOREIGN KEY constraint \"FK_fault_injected\". "
                                          "The conflict occurred in database \"" + database_ + "\", table \"" + object + "\".");
        e.add_terminated();
        throw e;
    }
}

void Session::run_statement(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    catalog_->next_statement();
    try {
        if (!write_locked_ && writes_database(st) && trancount_ == 0) return run_writing_alone(st, params, out);
        if (!write_locked_ && trancount_ > 0) before_statement_in_transaction(st);
        dispatch(st, params, out);
    } catch (const TsqlError& e) {
        // A deadlock victim's transaction is rolled back whole, its snapshot with it.
        if (e.native() == 1205) rollback_all();
        throw;
    }
}

void Session::dispatch(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    if (st.kind != StmtKind::If && st.kind != StmtKind::While && st.kind != StmtKind::Block) check_fault(st);
    switch (st.kind) {
        case StmtKind::Select: return run_select(st, params, out);
        case StmtKind::Insert:
        case StmtKind::Update:
        case StmtKind::Delete:
            // UPDATE ... FROM writes each target row once, also through a view.
            if (st.output || (st.kind == StmtKind::Update && st.from)) return run_rowwise(st, params, out);
            return run_dml(st, params, out);
        case StmtKind::Merge: return run_rowwise(st, params, out);
        case StmtKind::Exec: return run_exec(st, params, out);
        case StmtKind::Declare:
            for (const auto& d : st.declarations) {
                if (vars_.count(d.name))
                    throw TsqlError(134, "42000", "The variable name '" + d.name +
                                                      "' has already been declared. Variable names must be unique within a query batch or stored procedure.", 15);
                Value init = d.init ? evaluate(*d.init, params) : Value::null();
                vars_[d.name] = {kVariableBase + 1 + static_cast<int>(var_values_.size()), d.type};
                var_values_.push_back(Value::null());
                assign(d.name, init);
            }
            return;
        case StmtKind::SetVariable: {
            Value v = evaluate(*st.set[0].second, params);
            assign(st.set[0].first, v);
            rowcount_ = 1;
            return;
        }
        case StmtKind::If:
            if (condition(*st.where, params)) run_block(st.body, params, out);
            else run_block(st.else_body, params, out);
            return;
        case StmtKind::While:
            while (condition(*st.where, params)) run_block(st.body, params, out);
            return;
        case StmtKind::Block: return run_block(st.body, params, out);
        case StmtKind::DeclareCursor: {
            std::string name = lower(st.name);
            if (cursors_.count(name))
                throw TsqlError(16915, "42000", "A cursor with the name '" + st.name + "' already exists.");
            cursors_[name].query = st.select.get();
            return;
        }
        case StmtKind::OpenCursor:
        case StmtKind::FetchCursor:
        case StmtKind::CloseCursor:
        case StmtKind::DeallocateCursor: {
            auto it = cursors_.find(lower(st.name));
            if (it == cursors_.end())
                throw TsqlError(16916, "42000", "A cursor with the name '" + st.name + "' does not exist.");
            Cursor& c = it->second;
            if (st.kind == StmtKind::DeallocateCursor) {
                cursors_.erase(it);
                return;
            }
            if (st.kind == StmtKind::CloseCursor || st.kind == StmtKind::FetchCursor) {
                if (!c.open) throw TsqlError(16917, "42000", "Cursor is not open.");
            }
            if (st.kind == StmtKind::CloseCursor) {
                c.open = false;
                c.rows.clear();
                return;
            }
            if (st.kind == StmtKind::OpenCursor) {
                if (c.open) throw TsqlError(16905, "42000", "The cursor is already open.");
                // A FAST_FORWARD cursor over a snapshot of its query's rows.
                Prepared p;
                query_rows(*c.query, select_statement(), params, p, c.rows);
                c.open = true;
                c.next = 0;
                rowcount_ = 0;
                return;
            }
            if (c.next >= c.rows.size()) {
                fetch_status_ = -1;
                return;
            }
            const auto& row = c.rows[c.next++];
            if (st.columns.size() != row.size())
                throw TsqlError(16924, "42000", "Cursorfetch: The number of variables declared in the INTO list must match that of selected columns.");
            for (size_t k = 0; k < row.size(); ++k) assign(st.columns[k], row[k]);
            fetch_status_ = 0;
            rowcount_ = 1;
            return;
        }
        case StmtKind::BeginTran:
        case StmtKind::CommitTran:
        case StmtKind::RollbackTran:
        case StmtKind::SaveTran:
            run_transaction(st);
            rowcount_ = 0;
            return;
        case StmtKind::SetOption:
            if (st.name == "NOCOUNT") nocount_ = st.on;
            rowcount_ = 0;
            return;
        case StmtKind::SetIdentityInsert: {
            auto t = catalog_->find_table(st.target);
            if (!t) throw TsqlError(208, "42S02", "Invalid object name '" + st.target.name + "'.");
            if (!t->identity())
                throw TsqlError(8106, "42000", "Table '" + t->display_name() + "' does not have the identity property. Cannot perform SET operation.");
            std::string key = lower(t->display_name());
            if (st.on && !identity_insert_.empty() && identity_insert_ != key)
                throw TsqlError(8107, "42000", "IDENTITY_INSERT is already ON for table '" + database_ + "." + identity_insert_ +
                                                   "'. Cannot perform SET operation for table '" + t->display_name() + "'.");
            identity_insert_ = st.on ? key : (identity_insert_ == key ? "" : identity_insert_);
            rowcount_ = 0;
            return;
        }
        case StmtKind::AlterTableCheck:
            run_alter_check(st);
            rowcount_ = 0;
            return;
        case StmtKind::Truncate: {
            auto t = catalog_->find_table(st.target);
            if (!t || t->catalog_view || t->view)
                throw TsqlError(4701, "42S02", "Cannot find the object \"" + st.target.name +
                                                   "\" because it does not exist or you do not have permissions.");
            exec_sql(db_, "DELETE FROM " + t->sql_ref);
            rowcount_ = 0;
            return;
        }
        case StmtKind::AlterTableDropColumn:
        case StmtKind::CreateSchema:
        case StmtKind::CreateTable:
        case StmtKind::CreateIndex:
        case StmtKind::DropTable:
        case StmtKind::AlterTableAdd: {
            exec_sql(db_, "SAVEPOINT tsql_statement");
            try {
                if (st.kind == StmtKind::CreateSchema) catalog_->create_schema(st.name);
                else if (st.kind == StmtKind::CreateTable) catalog_->create_table(st);
                else if (st.kind == StmtKind::CreateIndex) catalog_->create_index(st);
                else if (st.kind == StmtKind::DropTable) catalog_->drop_table(st.target);
                else if (st.kind == StmtKind::AlterTableDropColumn) catalog_->drop_columns(st);
                else catalog_->add_column(st);
            } catch (...) {
                sqlite3_exec(db_, "ROLLBACK TO tsql_statement; RELEASE tsql_statement", nullptr, nullptr, nullptr);
                throw;
            }
            exec_sql(db_, "RELEASE tsql_statement");
            rowcount_ = 0;
            return;
        }
    }
}

void Session::run_transaction(const Statement& st) {
    switch (st.kind) {
        case StmtKind::BeginTran:
            if (trancount_ == 0) {
                exec_sql(db_, "BEGIN");
                temp_at_begin_ = catalog_->temp_tables();
                temp_touched_ = false;
                temp_created_.clear();
                temp_committed_.clear();
                temp_at_savepoint_.clear();
                opener_.clear();
            }
            ++trancount_;
            return;
        case StmtKind::CommitTran:
            if (trancount_ == 0)
                throw TsqlError(3902, "25000", "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
            if (trancount_ == 1) {
                int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
                if (rc != SQLITE_OK) {
                    rollback_all();
                    throw deadlock_victim();
                }
                current_txids_.clear();
                temp_at_savepoint_.clear();
                // Opened like a writer but wrote nothing (a pull that found nothing to
                // stamp): the next one opened so reads before it queues.
                if (write_locked_ && written_tables_.empty() && !opener_.empty()) file_->forget_writer(opener_);
                end_writing();
            }
            --trancount_;
            return;
        case StmtKind::SaveTran:
            if (trancount_ == 0)
                throw TsqlError(628, "25000", "Cannot issue SAVE TRANSACTION when there is no active transaction.");
            exec_sql(db_, "SAVEPOINT " + quote_ident(lower(st.name)));
            temp_at_savepoint_[lower(st.name)] = catalog_->temp_tables();
            return;
        default:
            if (trancount_ == 0)
                throw TsqlError(3903, "25000", "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
            if (!st.name.empty()) {
                if (sqlite3_exec(db_, ("ROLLBACK TO " + quote_ident(lower(st.name))).c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
                    auto saved = temp_at_savepoint_.find(lower(st.name));
                    if (saved != temp_at_savepoint_.end()) catalog_->restore_temp_tables(saved->second);
                    return;
                }
            }
            rollback_all();
            return;
    }
}

template <typename Make>
Translation Session::translated(const void* node, bool identity_insert, Make make) {
    if (!batch_id_) {
        Translator tr = translator(identity_insert);
        return make(tr);
    }
    const TranslationCache::Key key{batch_id_, node, identity_insert};
    const int version = catalog_->schema_versions().first;
    if (const Translation* kept = conn_->translations.find(key, version, catalog_->temp_generation(), vars_)) return *kept;
    Translator tr = translator(identity_insert);
    Translation t = make(tr);
    // A version this connection's own schema change made may come back with
    // other changes after a rollback.
    if (version >= 0 && !conn_->statements.schema_changed_in_transaction()) {
        std::optional<unsigned long long> temp_generation;
        if (tr.used_temp_tables()) temp_generation = catalog_->temp_generation();
        conn_->translations.keep(key, {version, temp_generation, vars_}, t);
    }
    return t;
}

Translation Session::prepare_query(const Select& sel, const Statement& st, const std::vector<Value>& params,
                                   Prepared& p) {
    Translation t = translated(&sel, false, [&](Translator& tr) { return tr.select(sel); });
    if (prepare(t.sql, p) != SQLITE_OK)
        throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), st, std::nullopt);
    bind_all(p.st, params);
    return t;
}

void Session::read_rows(sqlite3_stmt* prepared, const Statement& st, std::vector<std::vector<Value>>& rows) {
    int rc;
    while ((rc = sqlite3_step(prepared)) == SQLITE_ROW) {
        // Counted per row: a kept statement is prepared again when the schema changed.
        const int ncols = sqlite3_data_count(prepared);
        std::vector<Value> row;
        row.reserve(ncols);
        for (int c = 0; c < ncols; ++c) row.push_back(column_value(prepared, c));
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        rowcount_ = 0;
        throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), st, std::nullopt);
    }
}

Translation Session::query_rows(const Select& sel, const Statement& st, const std::vector<Value>& params, Prepared& p,
                                std::vector<std::vector<Value>>& rows) {
    Translation t = prepare_query(sel, st, params, p);
    read_rows(p.st, st, rows);
    return t;
}

RowStream::~RowStream() {
    if (!statement_.st) return;
    // Closed before its end: @@ROWCOUNT counts the rows not read too.
    int rc;
    while ((rc = sqlite3_step(statement_.st)) == SQLITE_ROW) ++rows_;
    finish(rc == SQLITE_DONE ? rows_ : 0);
}

void RowStream::finish(long long rowcount) {
    statement_.done();
    if (!session_) return;
    if (sets_rowcount_) session_->rowcount_ = rowcount;
    session_->open_stream_ = nullptr;
    session_ = nullptr;
}

bool RowStream::step(std::vector<Value>& row) {
    int rc = sqlite3_step(statement_.st);
    if (rc == SQLITE_ROW) {
        int ncols = sqlite3_data_count(statement_.st);
        row.clear();
        row.reserve(ncols);
        for (int c = 0; c < ncols; ++c) row.push_back(column_value(statement_.st, c));
        ++rows_;
        return true;
    }
    if (rc == SQLITE_DONE) {
        finish(rows_);
        return false;
    }
    Session& session = *session_;
    int code = sqlite3_extended_errcode(session.db_);
    std::string msg = sqlite3_errmsg(session.db_);
    finish(0);
    throw session.map_sqlite_error(code, msg, select_statement(), std::nullopt);
}

bool RowStream::next(std::vector<Value>& row) {
    if (!read_ahead_.empty()) {
        row = std::move(read_ahead_.front());
        read_ahead_.pop_front();
        return true;
    }
    if (statement_.st) return step(row);
    if (error_) {
        TsqlError e = std::move(*error_);
        error_.reset();
        throw e;
    }
    return false;
}

void Session::settle_stream() {
    RowStream* stream = open_stream_;
    if (!stream) return;
    try {
        std::vector<Value> row;
        while (stream->step(row)) stream->read_ahead_.push_back(std::move(row));
    } catch (const TsqlError& e) {
        stream->error_ = e;
    }
}

void Session::run_select(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    Prepared p;
    ResultSet rs;
    Translation t = prepare_query(*st.select, st, params, p);
    int ncols = sqlite3_column_count(p.st);
    const auto& items = st.select->cores[0].items;
    bool assigning = std::any_of(items.begin(), items.end(), [](const SelectItem& i) { return !i.assign.empty(); });
    if (assigning) {
        // SELECT @a = ..., @b = ...: no result set; the last row wins, no row changes nothing.
        if (!std::all_of(items.begin(), items.end(), [](const SelectItem& i) { return !i.assign.empty(); }))
            throw TsqlError(141, "42000", "A SELECT statement that assigns a value to a variable must not be combined with data-retrieval operations.", 15);
        read_rows(p.st, st, rs.rows);
        if (!rs.rows.empty())
            for (size_t k = 0; k < items.size(); ++k) assign(items[k].assign, rs.rows.back()[k]);
        rowcount_ = static_cast<long long>(rs.rows.size());
        return;
    }
    std::vector<std::optional<TsqlType>> types(ncols);
    for (int c = 0; c < ncols; ++c) {
        rs.columns.push_back({sqlite3_column_name(p.st, c), make_type("int")});
        if (static_cast<int>(t.column_types.size()) == ncols && t.column_types[c]) types[c] = *t.column_types[c];
        else if (const char* decl = sqlite3_column_decltype(p.st, c); decl && type_from_text(decl))
            types[c] = *type_from_text(decl);
    }
    if (&st == streamable_ && std::all_of(types.begin(), types.end(), [](const auto& x) { return x.has_value(); })) {
        for (int c = 0; c < ncols; ++c) rs.columns[c].type = *types[c];
        // The first row is read now: an error before it fails the execution.
        rs.stream.reset(new RowStream(*this, std::move(p)));
        open_stream_ = rs.stream.get();
        std::vector<Value> first;
        if (rs.stream->step(first)) rs.stream->read_ahead_.push_back(std::move(first));
        out.results.push_back(std::move(rs));
        return;
    }
    read_rows(p.st, st, rs.rows);
    for (int c = 0; c < ncols; ++c) {
        if (types[c]) {
            rs.columns[c].type = *types[c];
            continue;
        }
        // Typed by the first value that is not NULL.
        for (const auto& row : rs.rows) {
            const Value& v = row[c];
            if (v.is_null()) continue;
            rs.columns[c].type = v.kind == Value::Int ? make_type("bigint")
                                 : v.kind == Value::Real ? make_type("float")
                                 : v.kind == Value::Text ? make_type("nvarchar", -1)
                                                         : make_type("varbinary", -1);
            break;
        }
    }
    rowcount_ = static_cast<long long>(rs.rows.size());
    out.results.push_back(std::move(rs));
}

namespace {

// An OUTPUT expression as evaluated per written row: INSERTED.c and DELETED.c
// become parameters 1..n and n+1..2n (n = the target's columns), every other
// column reference a parameter after those, collected in `refs` for the match
// set to select.
ExprP output_expr(const Expr& e, const TableInfo& target, std::vector<const Expr*>& refs) {
    if (e.sub) throw TsqlError(102, "42000", "Incorrect syntax near 'OUTPUT'.", 15);
    auto c = std::make_unique<Expr>();
    c->kind = e.kind;
    c->text = e.text;
    c->names = e.names;
    c->type = e.type;
    c->param = e.param;
    c->negated = e.negated;
    c->distinct = e.distinct;
    c->star = e.star;
    c->has_operand = e.has_operand;
    c->has_else = e.has_else;
    const int n = static_cast<int>(target.columns.size());
    if (e.kind == ExprKind::Column) {
        bool ins = e.names.size() == 2 && iequals(e.names[0], "INSERTED");
        bool del = e.names.size() == 2 && iequals(e.names[0], "DELETED");
        c->kind = ExprKind::Param;
        if (ins || del) {
            const ColumnInfo* col = target.column(e.names[1]);
            if (!col) throw TsqlError(207, "42S22", "Invalid column name '" + e.names[1] + "'.");
            c->param = static_cast<int>(col - target.columns.data()) + (del ? n : 0);
            c->type = col->type;
        } else {
            c->param = 2 * n + static_cast<int>(refs.size());
            refs.push_back(&e);
        }
        return c;
    }
    for (const auto& a : e.args) c->args.push_back(output_expr(*a, target, refs));
    return c;
}

// Marks the target columns an OUTPUT expression reads as INSERTED.c.
void mark_inserted(const Expr& e, const TableInfo& target, std::vector<bool>& used) {
    if (e.kind == ExprKind::Column && e.names.size() == 2 && iequals(e.names[0], "INSERTED"))
        if (const ColumnInfo* col = target.column(e.names[1])) used[col - target.columns.data()] = true;
    for (const auto& a : e.args) mark_inserted(*a, target, used);
}

// CHECK constraints of the tables written are off while the table is NOCHECK.
struct CheckConstraintsOff {
    sqlite3* db;
    bool on;
    CheckConstraintsOff(sqlite3* d, bool off) : db(d), on(off) {
        if (on) exec_sql(db, "PRAGMA ignore_check_constraints = ON");
    }
    ~CheckConstraintsOff() {
        if (on) sqlite3_exec(db, "PRAGMA ignore_check_constraints = OFF", nullptr, nullptr, nullptr);
    }
};

}  // namespace

void Session::run_dml(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    std::optional<TableInfo> target = identity_insert_.empty() ? std::nullopt : catalog_->find_table(st.target);
    bool identity_insert = target && lower(target->display_name()) == identity_insert_;
    Translation t = translated(&st, identity_insert, [&](Translator& tr) {
        return st.kind == StmtKind::Insert ? tr.insert(st) : st.kind == StmtKind::Update ? tr.update(st) : tr.remove(st);
    });
    written_.clear();
    CheckConstraintsOff checks_off(db_, t.target && nocheck_.count(t.target->sql_ref));
    exec_sql(db_, "SAVEPOINT tsql_statement");
    // The rows of parameters the statement reads through tsql_rows, as the parameters would
    // be bound (one not given reads as NULL).
    std::vector<std::vector<Value>> parameter_rows;
    RowRefs source;
    if (t.rows_of_parameters) {
        parameter_rows.reserve(st.values.size());
        for (const auto& row : st.values) {
            std::vector<Value> values;
            values.reserve(row.size());
            for (const auto& e : row)
                values.push_back(e->param >= 0 && e->param < static_cast<int>(params.size()) ? params[e->param] : Value::null());
            parameter_rows.push_back(std::move(values));
        }
        for (const auto& row : parameter_rows) source.push_back(&row);
    }
    Prepared p;
    int rc = prepare(t.sql, p);
    if (rc == SQLITE_OK) {
        if (t.rows_of_parameters) bind_rows(p.st, 1, &source);
        else bind_all(p.st, params);
        changes_.clear();
        tracking_ = true;
        while ((rc = sqlite3_step(p.st)) == SQLITE_ROW) {
        }
        tracking_ = false;
    }
    if (rc == SQLITE_DONE) {
        try {
            check_constraints(st);
        } catch (const TsqlError&) {
            p.done();
            sqlite3_exec(db_, "ROLLBACK TO tsql_statement; RELEASE tsql_statement", nullptr, nullptr, nullptr);
            rowcount_ = 0;
            throw;
        }
    }
    if (rc != SQLITE_DONE) {
        int code = sqlite3_extended_errcode(db_);
        std::string msg = sqlite3_errmsg(db_);
        p.done();
        sqlite3_exec(db_, "ROLLBACK TO tsql_statement; RELEASE tsql_statement", nullptr, nullptr, nullptr);
        rowcount_ = 0;
        throw map_sqlite_error(code, msg, st, t.target);
    }
    long long changes = sqlite3_changes(db_);
    p.done();
    if (identity_insert && st.kind == StmtKind::Insert && target->identity()) {
        Prepared m;
        sqlite3_prepare_v2(db_, ("SELECT MAX(" + quote_ident(target->identity()->name) + ") FROM " + target->sql_ref).c_str(),
                           -1, &m.st, nullptr);
        if (sqlite3_step(m.st) == SQLITE_ROW && sqlite3_column_type(m.st, 0) != SQLITE_NULL)
            catalog_->bump_identity(target->object_id, sqlite3_column_int64(m.st, 0));
    }
    if (sqlite3_exec(db_, "RELEASE tsql_statement", nullptr, nullptr, nullptr) != SQLITE_OK) {
        rollback_all();
        throw deadlock_victim();
    }
    rowcount_ = changes;
    out.row_count = changes;
}

namespace {

// Runs one statement of the stand-in's own SQL (the native procedures' work).
long long run_raw(sqlite3* db, const std::string& sql, const std::vector<Value>& binds = {}, Value* result = nullptr) {
    Prepared p;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &p.st, nullptr) != SQLITE_OK)
        throw TsqlError(50000, "42000", std::string("procedure failed: ") + sqlite3_errmsg(db));
    for (size_t i = 0; i < binds.size(); ++i) bind_value(p.st, static_cast<int>(i + 1), binds[i]);
    int rc = sqlite3_step(p.st);
    if (rc == SQLITE_ROW) {
        Value v = column_value(p.st, 0);
        if (result) *result = v;
        return v.kind == Value::Int ? v.i : 0;
    }
    if (rc != SQLITE_DONE) {
        if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) throw deadlock_victim();
        throw TsqlError(50000, "42000", std::string("procedure failed: ") + sqlite3_errmsg(db));
    }
    if (result) *result = Value::null();
    return 0;
}

std::string dbfile_table(const std::string& dbfile, const std::string& kind) {
    return quote_ident("tavrin." + dbfile + "$" + kind);
}

uint64_t random64() {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    return gen();
}

}  // namespace

std::optional<long long> Session::peek_txid(const std::string& dbfile) const {
    auto it = current_txids_.find(lower(dbfile));
    if (it == current_txids_.end()) return std::nullopt;
    return it->second;
}

long long Session::allocate_txid(const std::string& dbfile) {
    std::string tx = dbfile_table(dbfile, "t$tx"), rules = dbfile_table(dbfile, "t$rules");
    // A txid and nothing more: rstamp and rebaseid stay NULL until the store stores them.
    run_raw(db_, "INSERT INTO " + tx + " (txid) SELECT COALESCE(MAX(txid), 0) + 1 FROM " + tx);
    long long txid = run_raw(db_, "SELECT MAX(txid) FROM " + tx);
    current_txids_[lower(dbfile)] = txid;
    // The counter row equals MAX(txid) and COUNT(*) of the transactions; a
    // layout made by hand without the rules table has none.
    if (!catalog_->find_table(ObjectName{"", "tavrin", dbfile + "$t$rules"})) return txid;
    run_raw(db_, "UPDATE " + rules + " SET txid = ?1, i = (SELECT COUNT(*) FROM " + tx + ") WHERE sit = 123",
            {Value::integer(txid)});
    run_raw(db_, "INSERT INTO " + rules + " (sit, act, txid, i) SELECT 123, 0, ?1, (SELECT COUNT(*) FROM " + tx +
                     ") WHERE NOT EXISTS (SELECT 1 FROM " + rules + " WHERE sit = 123)",
            {Value::integer(txid)});
    return txid;
}

long long Session::current_txid(const std::string& dbfile) {
    if (auto t = peek_txid(dbfile)) return *t;
    return allocate_txid(dbfile);
}

void Session::run_exec(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    // The per-dbfile procedures, as native code: <dbfile>$z$GetTxId,
    // <dbfile>$z$GetGen and <dbfile>$z$GetProperty.
    struct Proc {
        const char* suffix;
        std::vector<std::pair<const char*, bool>> params;  // name, OUTPUT
    };
    static const Proc procs[] = {
        {"$z$gettxid", {{"@TXID", true}}},
        {"$z$getgen", {{"@GENERATION", true}}},
        {"$z$getproperty", {{"@KEY", false}, {"@VAL", true}, {"@DEFAULT_VAL", false}}},
    };
    auto not_found = [&] { return TsqlError(2812, "42000", "Could not find stored procedure '" + st.target.name + "'."); };
    std::string name = lower(st.target.name);
    const Proc* proc = nullptr;
    for (const auto& p : procs)
        if (name.size() > strlen(p.suffix) && name.compare(name.size() - strlen(p.suffix), std::string::npos, p.suffix) == 0)
            proc = &p;
    if (!proc || !(st.target.schema.empty() || iequals(st.target.schema, "tavrin"))) throw not_found();
    std::string dbfile = st.target.name.substr(0, st.target.name.size() - strlen(proc->suffix));
    if (!catalog_->find_table(ObjectName{"", "tavrin", dbfile + "$t$tx"})) throw not_found();

    // Arguments by name or position; an argument comes back only when the EXEC says OUTPUT.
    std::vector<const ExecArg*> args(proc->params.size(), nullptr);
    for (size_t i = 0; i < st.exec_args.size(); ++i) {
        const ExecArg& a = st.exec_args[i];
        size_t k = i;
        if (!a.name.empty()) {
            std::string n = a.name;
            std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::toupper(c); });
            k = proc->params.size();
            for (size_t j = 0; j < proc->params.size(); ++j)
                if (n == proc->params[j].first) k = j;
            if (k == proc->params.size())
                throw TsqlError(8145, "42000", a.name + " is not a parameter for procedure " + st.target.name + ".");
        }
        if (k >= proc->params.size())
            throw TsqlError(8144, "42000", "Procedure or function " + st.target.name + " has too many arguments specified.");
        if (a.output && !proc->params[k].second)
            throw TsqlError(8162, "42000", "The formal parameter \"" + std::string(proc->params[k].first) +
                                               "\" was not declared as an OUTPUT parameter, but the actual parameter passed in requested output.");
        args[k] = &a;
    }
    auto input = [&](size_t k) { return args[k] ? evaluate(*args[k]->value, params) : Value::null(); };
    auto give_back = [&](size_t k, const Value& v) {
        const ExecArg* a = args[k];
        if (!a || !a->output) return;
        if (a->value->kind == ExprKind::Param) out.outputs[a->value->param] = v;
        else if (a->value->kind == ExprKind::Variable) assign(a->value->text, v);
    };

    bool own = trancount_ == 0;
    exec_sql(db_, "SAVEPOINT tsql_procedure");
    try {
        if (proc->suffix == procs[0].suffix) {
            give_back(0, Value::integer(allocate_txid(dbfile)));
        } else if (proc->suffix == procs[1].suffix) {
            std::string tx = dbfile_table(dbfile, "t$tx"), gen = dbfile_table(dbfile, "t$gen");
            long long generation;
            if (run_raw(db_, "SELECT COUNT(*) FROM " + tx + " WHERE generation IS NULL") > 0) {
                // Transactions committed since the last generation form a new one.
                generation = run_raw(db_, "SELECT MAX(g) FROM (SELECT COALESCE(MAX(generation), 0) + 1 AS g FROM " + gen +
                                              " UNION ALL SELECT COALESCE(MAX(generation), 0) + 1 FROM " + tx + ")");
                run_raw(db_, "UPDATE " + tx + " SET generation = ?1 WHERE generation IS NULL", {Value::integer(generation)});
                run_raw(db_, "INSERT INTO " + gen + " (generation, id, ts) VALUES (?1, ?2, ?3)",
                        {Value::integer(generation), Value::integer(static_cast<long long>(random64() >> 1)),
                         Value::text(current_datetime_text(false, 3))});
            } else {
                // Nothing new: the newest transaction's generation, so that an idle
                // dbfile does not look like a late transaction.
                generation = run_raw(db_, "SELECT COALESCE((SELECT generation FROM " + tx +
                                              " ORDER BY txid DESC LIMIT 1), (SELECT MAX(generation) FROM " + gen + "), 0)");
                if (generation == 0) {
                    generation = 1;
                    run_raw(db_, "INSERT INTO " + gen + " (generation, id, ts) VALUES (1, ?1, ?2)",
                            {Value::integer(static_cast<long long>(random64() >> 1)), Value::text(current_datetime_text(false, 3))});
                }
            }
            give_back(0, Value::integer(generation));
        } else {
            Value key = input(0), fallback = input(2), v;
            run_raw(db_, "SELECT value FROM " + dbfile_table(dbfile, "t$props") + " WHERE name = ?1", {key}, &v);
            give_back(1, convert_value(v.is_null() ? fallback : v, make_type("nvarchar", 32), true));
        }
        exec_sql(db_, "RELEASE tsql_procedure");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK TO tsql_procedure; RELEASE tsql_procedure", nullptr, nullptr, nullptr);
        if (own) current_txids_.clear();
        throw;
    }
    rowcount_ = 0;
}

namespace {
// Below this many rows written to a table, each is checked on its own.
constexpr size_t kRowsCheckedOneByOne = 256;
}  // namespace

void Session::check_constraints(const Statement& st) {
    std::map<std::pair<std::string, std::string>, TableChanges> changes;
    changes.swap(changes_);
    const std::string word = statement_word(st.kind);
    auto table_of = [&](const std::pair<std::string, std::string>& key) -> std::optional<TableInfo> {
        if (key.first == kTempSchema) return catalog_->find_table(ObjectName{"", "", key.second});
        size_t dot = key.second.find('.');
        if (key.first != "main" || dot == std::string::npos || key.second.compare(0, 4, "sys.") == 0) return std::nullopt;
        return catalog_->find_table(ObjectName{"", key.second.substr(0, dot), key.second.substr(dot + 1)});
    };
    auto fetch_row = [&](sqlite3_stmt* q, const std::vector<std::string>& cols) {
        std::map<std::string, Value, std::less<>> row;
        for (size_t k = 0; k < cols.size(); ++k) row[cols[k]] = column_value(q, static_cast<int>(k));
        return row;
    };
    auto prepare_check = [&](Prepared& p, const std::string& sql) {
        if (prepare(sql, p) != SQLITE_OK)
            throw TsqlError(50000, "42000", std::string("constraint check failed: ") + sqlite3_errmsg(db_));
    };
    // With many rows written, a large share of the table, one pass over the
    // whole table costs less than a lookup per row. It only tells whether
    // any row breaks the constraint: the rows are then looked at one by one,
    // so that the error names the same row.
    auto whole_table_first = [&](const TableInfo& t, size_t written) {
        if (written < kRowsCheckedOneByOne) return false;
        Prepared q;
        prepare_check(q, "SELECT max(rowid) FROM " + t.sql_ref);
        return sqlite3_step(q.st) == SQLITE_ROW && static_cast<sqlite3_int64>(written) * 8 >= sqlite3_column_int64(q.st, 0);
    };
    auto any_row = [&](const std::string& sql) {
        Prepared q;
        prepare_check(q, sql);
        return sqlite3_step(q.st) == SQLITE_ROW;
    };
    for (const auto& [key, change] : changes) {
        std::optional<TableInfo> t = table_of(key);
        if (!t || t->catalog_view) continue;
        std::string object = t->temp ? "dbo." + t->name : t->display_name();
        const bool whole_table = whole_table_first(*t, change.written.size());
        if (!change.written.empty()) {
            // A key may hold one NULL: NULLs compare equal here (IS), as in GROUP BY.
            for (const auto& k : catalog_->unique_keys(*t)) {
                std::string cols, same, grouped;
                for (size_t i = 0; i < k.columns.size(); ++i) {
                    std::string c = quote_ident(k.columns[i]);
                    cols += (i ? ", " : "") + std::string("a.") + c;
                    same += " AND b." + c + " IS a." + c;
                    grouped += (i ? ", " : "") + c;
                }
                if (whole_table &&
                    !any_row("SELECT 1 FROM " + t->sql_ref + " GROUP BY " + grouped + " HAVING COUNT(*) > 1 LIMIT 1"))
                    continue;
                Prepared q;
                prepare_check(q, "SELECT " + cols + " FROM " + t->sql_ref + " AS a WHERE a.rowid = ?1 AND EXISTS (SELECT 1 FROM " +
                                     t->sql_ref + " AS b WHERE b.rowid <> a.rowid" + same + ")");
                for (sqlite3_int64 rowid : change.written) {
                    sqlite3_reset(q.st);
                    sqlite3_bind_int64(q.st, 1, rowid);
                    if (sqlite3_step(q.st) != SQLITE_ROW) continue;
                    std::string value = duplicate_value_text(k.columns, fetch_row(q.st, k.columns));
                    TsqlError e = !k.constraint
                                      ? TsqlError(2601, "23000", "Cannot insert duplicate key row in object '" + object +
                                                                     "' with unique index '" + k.name +
                                                                     "'. The duplicate key value is (" + value + ").", 14)
                                      : TsqlError(2627, "23000",
                                                  std::string("Violation of ") + (k.primary ? "PRIMARY KEY" : "UNIQUE KEY") +
                                                      " constraint '" + k.name + "'. Cannot insert duplicate key in object '" +
                                                      object + "'. The duplicate key value is (" + value + ").", 14);
                    e.add_terminated();
                    throw e;
                }
            }
        }
        // A foreign key with a NULL column is not checked.
        auto orphan_condition = [](const ForeignKeyInfo& f) {
            std::string sql, match;
            for (size_t i = 0; i < f.columns.size(); ++i) {
                sql += "c." + quote_ident(f.columns[i]) + " IS NOT NULL AND ";
                match += (i ? " AND " : "") + std::string("p.") + quote_ident(f.ref_columns[i]) + " = c." + quote_ident(f.columns[i]);
            }
            return sql + "NOT EXISTS (SELECT 1 FROM " + quote_ident(f.referenced_table) + " AS p WHERE " + match + ")";
        };
        auto conflict = [&](const ForeignKeyInfo& f, bool referencing) {
            bool self = f.parent_table == f.referenced_table;
            const std::string& table = referencing ? f.referenced_table : f.parent_table;
            const auto& cols = referencing ? f.ref_columns : f.columns;
            std::string kind = referencing ? (self ? "FOREIGN KEY SAME TABLE" : "FOREIGN KEY")
                                           : (self ? "SAME TABLE REFERENCE" : "REFERENCE");
            TsqlError e(547, "23000", "The " + word + " statement conflicted with the " + kind + " constraint \"" + f.name +
                                          "\". The conflict occurred in database \"" + database_ + "\", table \"" + table + "\"" +
                                          (cols.size() == 1 ? ", column '" + cols[0] + "'" : "") + ".");
            e.add_terminated();
            return e;
        };
        if (!change.written.empty())
            for (const auto& f : catalog_->foreign_keys(*t)) {
                if (whole_table && !any_row("SELECT 1 FROM " + t->sql_ref + " AS c WHERE " + orphan_condition(f) + " LIMIT 1"))
                    continue;
                Prepared q;
                prepare_check(q, "SELECT 1 FROM " + t->sql_ref + " AS c WHERE c.rowid = ?1 AND " + orphan_condition(f));
                for (sqlite3_int64 rowid : change.written) {
                    sqlite3_reset(q.st);
                    sqlite3_bind_int64(q.st, 1, rowid);
                    if (sqlite3_step(q.st) == SQLITE_ROW) throw conflict(f, true);
                }
            }
        if (change.keys_removed)
            for (const auto& f : catalog_->referencing_keys(*t)) {
                Prepared q;
                prepare_check(q, "SELECT 1 FROM " + quote_ident(f.parent_table) + " AS c WHERE " + orphan_condition(f) + " LIMIT 1");
                if (sqlite3_step(q.st) == SQLITE_ROW) throw conflict(f, false);
            }
    }
}

TsqlError Session::map_sqlite_error(int rc, const std::string& msg, const Statement& st,
                                    const std::optional<TableInfo>& target) {
    int native;
    std::string sqlstate, text;
    if (decode_function_error(msg, native, sqlstate, text)) {
        TsqlError e(native, sqlstate, text);
        if (native == 8152 || native == 241 || native == 242 || native == 8115 || native == 245 || native == 8169 || native == 8114)
            e.add_terminated();
        return e;
    }
    if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) {
        rollback_all();
        return deadlock_victim();
    }
    std::string word = statement_word(st.kind);
    std::string object = target ? (target->temp ? "dbo." + target->name : target->display_name()) : "";
    auto after = [&](const std::string& prefix) {
        size_t p = msg.find(prefix);
        return p == std::string::npos ? std::string() : msg.substr(p + prefix.size());
    };
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE) {
        std::vector<std::string> cols;
        std::string list = after("constraint failed: ");
        size_t start = 0;
        while (start < list.size()) {
            size_t comma = list.find(", ", start);
            std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            cols.push_back(item.substr(item.rfind('.') + 1));
            if (comma == std::string::npos) break;
            start = comma + 2;
        }
        std::optional<KeyInfo> key;
        if (target)
            for (const auto& k : catalog_->unique_keys(*target)) {
                if (k.columns.size() != cols.size()) continue;
                if (std::all_of(cols.begin(), cols.end(), [&](const std::string& c) {
                        return std::any_of(k.columns.begin(), k.columns.end(), [&](const std::string& x) { return iequals(x, c); });
                    }))
                    key = k;
            }
        std::string name = key ? key->name : "?";
        std::string value = duplicate_value_text(key ? key->columns : cols, written_);
        TsqlError e = key && !key->constraint
                          ? TsqlError(2601, "23000", "Cannot insert duplicate key row in object '" + object +
                                                         "' with unique index '" + name + "'. The duplicate key value is (" +
                                                         value + ").", 14)
                          : TsqlError(2627, "23000",
                                      std::string("Violation of ") + (key && !key->primary ? "UNIQUE KEY" : "PRIMARY KEY") +
                                          " constraint '" + name + "'. Cannot insert duplicate key in object '" + object +
                                          "'. The duplicate key value is (" + value + ").", 14);
        e.add_terminated();
        return e;
    }
    if (rc == SQLITE_CONSTRAINT_NOTNULL) {
        std::string item = after("constraint failed: ");
        std::string col = item.substr(item.rfind('.') + 1);
        std::string table = target && target->temp ? "tempdb.dbo." + target->name : database_ + "." + object;
        TsqlError e(515, "23000", "Cannot insert the value NULL into column '" + col + "', table '" + table +
                                      "'; column does not allow nulls. " + word + " fails.");
        e.add_terminated();
        return e;
    }
    if (rc == SQLITE_CONSTRAINT_CHECK) {
        std::string name = after("constraint failed: ");
        std::string column;
        if (target && !target->temp) {
            Prepared p;
            sqlite3_prepare_v2(db_,
                               "SELECT c.name FROM \"sys.check_constraints\" k JOIN \"sys.columns\" c ON c.object_id = "
                               "k.parent_object_id AND c.column_id = k.parent_column_id WHERE k.name = ?",
                               -1, &p.st, nullptr);
            sqlite3_bind_text(p.st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(p.st) == SQLITE_ROW) column = reinterpret_cast<const char*>(sqlite3_column_text(p.st, 0));
        }
        TsqlError e(547, "23000", "The " + word + " statement conflicted with the CHECK constraint \"" + name +
                                      "\". The conflict occurred in database \"" + database_ + "\", table \"" + object + "\"" +
                                      (column.empty() ? "" : ", column '" + column + "'") + ".");
        e.add_terminated();
        return e;
    }
    if (msg.rfind("no such column: ", 0) == 0) {
        std::string col = msg.substr(16);
        return TsqlError(207, "42S22", "Invalid column name '" + col.substr(col.rfind('.') + 1) + "'.");
    }
    if (msg.rfind("ambiguous column name: ", 0) == 0)
        return TsqlError(209, "42000", "Ambiguous column name '" + msg.substr(23) + "'.");
    if (msg.rfind("no such table: ", 0) == 0) return TsqlError(208, "42S02", "Invalid object name '" + msg.substr(15) + "'.");
    return TsqlError(50000, "42000", "The statement could not be run by the SQL Server stand-in: " + msg);
}

void Session::run_alter_check(const Statement& st) {
    auto t = catalog_->find_table(st.target);
    if (!t || t->catalog_view || t->view)
        throw TsqlError(4902, "42S02", "Cannot find the object \"" + st.target.name +
                                           "\" because it does not exist or you do not have permissions.");
    if (!st.on) {
        nocheck_.insert(t->sql_ref);
        return;
    }
    nocheck_.erase(t->sql_ref);
    if (!st.unique || t->columns.empty()) return;
    // WITH CHECK: the rows already there must satisfy the constraints again;
    // rewriting every column of every row makes SQLite evaluate them all.
    std::string sets;
    for (const auto& c : t->columns) sets += (sets.empty() ? "" : ", ") + quote_ident(c.name) + " = " + quote_ident(c.name);
    exec_sql(db_, "SAVEPOINT tsql_statement");
    int rc = sqlite3_exec(db_, ("UPDATE " + t->sql_ref + " SET " + sets).c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        int code = sqlite3_extended_errcode(db_);
        std::string msg = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK TO tsql_statement; RELEASE tsql_statement", nullptr, nullptr, nullptr);
        nocheck_.insert(t->sql_ref);
        throw map_sqlite_error(code, msg, st, t);
    }
    exec_sql(db_, "RELEASE tsql_statement");
}

void Session::run_rowwise(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    std::optional<TableInfo> named = catalog_->find_table(st.target);
    // UPDATE alias ... FROM: the target is the table the alias names.
    std::vector<const Expr*> refs;
    std::vector<ExprP> outputs;
    std::vector<std::string> output_names;
    bool identity_insert = named && !identity_insert_.empty() && lower(named->display_name()) == identity_insert_;
    Translator tr = translator(identity_insert);
    // The target must be known before the OUTPUT can be read; a first pass
    // without references finds it.
    std::optional<TableInfo> target = st.kind == StmtKind::Update && st.from ? tr.match_set(st, {}).target : named;
    if (!target) throw TsqlError(208, "42S02", "Invalid object name '" + st.target.name + "'.");
    if (st.output) {
        for (const auto& item : st.output->items) {
            if (item.star) {
                for (const auto& c : target->columns) {
                    Expr col;
                    col.kind = ExprKind::Column;
                    col.names = {item.star_qualifier, c.name};
                    outputs.push_back(output_expr(col, *target, refs));
                    output_names.push_back(c.name);
                }
                continue;
            }
            outputs.push_back(output_expr(*item.expr, *target, refs));
            output_names.push_back(!item.alias.empty() ? item.alias
                                   : item.expr->kind == ExprKind::Column ? item.expr->names.back()
                                                                          : "");
        }
    }
    Translator::MatchSet m = tr.match_set(st, refs);
    const TableInfo& t = *m.target;
    const int ncols = static_cast<int>(t.columns.size());

    std::vector<std::vector<Value>> rows;
    {
        Prepared p;
        if (prepare(m.sql, p) != SQLITE_OK)
            throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), st, m.target);
        bind_all(p.st, params);
        int rc;
        while ((rc = sqlite3_step(p.st)) == SQLITE_ROW) {
            const int n = sqlite3_data_count(p.st);
            std::vector<Value> row;
            row.reserve(static_cast<size_t>(n));
            for (int c = 0; c < n; ++c) row.push_back(column_value(p.st, c));
            rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) {
            rowcount_ = 0;
            throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), st, m.target);
        }
    }
    // One action per target row: a MERGE whose target row matches two source
    // rows fails; UPDATE ... FROM writes such a row once.
    std::vector<const std::vector<Value>*> actions[3];  // deletes, updates, inserts
    std::set<std::string> acted;
    auto action_of = [&](int clause) {
        if (st.kind == StmtKind::Update) return MergeAction::Update;
        return st.merge_clauses[clause - 1].action;
    };
    for (const auto& row : rows) {
        long long clause = row[1].kind == Value::Int ? row[1].i : 0;
        if (clause == 0) continue;
        MergeAction a = action_of(static_cast<int>(clause));
        if (a != MergeAction::Insert) {
            std::string key = row[0].kind == Value::Int ? std::to_string(row[0].i) : row[0].s;
            if (!acted.insert(key).second) {
                if (st.kind == StmtKind::Update) continue;
                rowcount_ = 0;
                TsqlError e(8672, "42000",
                            "The MERGE statement attempted to UPDATE or DELETE the same row more than once. This happens "
                            "when a target row matches more than one source row. A MERGE statement cannot UPDATE/DELETE "
                            "the same row of the target table multiple times. Refine the ON clause to ensure a target row "
                            "matches at most one source row, or use the GROUP BY clause to group the source rows.");
                e.add_terminated();
                throw e;
            }
        }
        actions[a == MergeAction::Delete ? 0 : a == MergeAction::Update ? 1 : 2].push_back(&row);
    }

    const std::string where_row = std::string(" WHERE ") + (t.view ? "\"z_rv\"" : "rowid") + " = ?";
    std::vector<std::vector<Value>> output_rows;
    long long affected = 0;
    std::string into_sql, into_rows_sql;
    std::optional<TableInfo> into;
    if (st.output && st.output->into) {
        into = catalog_->find_table(st.output->target);
        if (!into) throw TsqlError(208, "42S02", "Invalid object name '" + st.output->target.name + "'.");
        // SQL Server compiles no OUTPUT INTO a table that a foreign key or an enabled
        // CHECK constraint could make refuse rows, or whose triggers would see them.
        const std::string target_text = "The target table '" + st.output->target.name + "' of the OUTPUT INTO clause ";
        std::vector<ForeignKeyInfo> keys = catalog_->foreign_keys(*into), referencing = catalog_->referencing_keys(*into);
        keys.insert(keys.end(), referencing.begin(), referencing.end());
        if (!keys.empty())
            throw TsqlError(332, "42000", target_text + "cannot be on either side of a (primary key, foreign key) "
                                          "relationship. Found reference constraint '" + keys[0].name + "'.");
        if (!catalog_->triggers(*into).empty())
            throw TsqlError(331, "42000", target_text + "cannot have any enabled triggers.");
        std::vector<std::string> checks = nocheck_.count(into->sql_ref) ? std::vector<std::string>{}
                                                                          : catalog_->check_constraints(*into);
        if (!checks.empty())
            throw TsqlError(333, "42000", target_text + "cannot have any enabled check constraints or any enabled "
                                          "rules. Found check constraint or rule '" + checks[0] + "'.");
        Statement ins;
        ins.kind = StmtKind::Insert;
        ins.target = st.output->target;
        ins.columns = st.output->columns;
        std::vector<ExprP> values;
        for (size_t i = 0; i < outputs.size(); ++i) {
            auto v = std::make_unique<Expr>();
            v->kind = ExprKind::Param;
            v->param = static_cast<int>(i);
            values.push_back(std::move(v));
        }
        ins.values.push_back(std::move(values));
        into_sql = translator().insert(ins).sql;
        // The same INSERT over rows of parameters: one statement writes every output row.
        if (static_cast<int>(outputs.size()) <= kRowSourceColumns) {
            std::vector<ExprP> again;
            for (size_t i = 0; i < outputs.size(); ++i) {
                auto v = std::make_unique<Expr>();
                v->kind = ExprKind::Param;
                v->param = static_cast<int>(i);
                again.push_back(std::move(v));
            }
            ins.values.push_back(std::move(again));
            Translation rows_form = translator().insert(ins);
            if (rows_form.rows_of_parameters) into_rows_sql = rows_form.sql;
        }
    }

    exec_sql(db_, "SAVEPOINT tsql_statement");
    auto fail = [&](const TsqlError& e) {
        tracking_ = false;
        sqlite3_exec(db_, "ROLLBACK TO tsql_statement; RELEASE tsql_statement", nullptr, nullptr, nullptr);
        rowcount_ = 0;
        throw e;
    };
    // Every row of one clause runs the same text: each is compiled once (with
    // the triggers it fires) for the whole statement.
    std::map<std::string, Prepared> compiled;
    auto step_raw = [&](const std::string& sql, const std::vector<Value>& binds, const std::optional<TableInfo>& about,
                        const Statement& as) {
        Prepared& p = compiled[sql];
        int rc = p.st ? SQLITE_OK : prepare(sql, p);
        if (rc == SQLITE_OK) {
            sqlite3_reset(p.st);
            sqlite3_clear_bindings(p.st);
            for (size_t i = 0; i < binds.size(); ++i) bind_value(p.st, static_cast<int>(i + 1), binds[i]);
            rc = sqlite3_step(p.st);
        }
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
            int code = sqlite3_extended_errcode(db_);
            std::string msg = sqlite3_errmsg(db_);
            if (p.st) sqlite3_reset(p.st);
            throw map_sqlite_error(code, msg, as, about);
        }
        std::vector<Value> row;
        if (rc == SQLITE_ROW)
            for (int c = 0; c < sqlite3_column_count(p.st); ++c) row.push_back(column_value(p.st, c));
        sqlite3_reset(p.st);
        return row;
    };
    // The rows of each clause are applied by one statement reading them from
    // tsql_rows: SQLite then journals each page the statement changes once,
    // where a statement per row journals the pages its row (and the triggers
    // it fires) change again for every row. With OUTPUT the statement returns
    // the values it wrote (RETURNING: as the write left them, before any
    // trigger, as SQL Server's OUTPUT shows them). A view's rows are written
    // through its INSTEAD OF trigger, one by one.
    const bool set_wise = !t.view && (rows.empty() || static_cast<int>(rows[0].size()) <= kRowSourceColumns);
    auto step_set = [&](const std::string& sql, const RowRefs& set, std::vector<std::vector<Value>>* returned) {
        if (set.empty()) return;
        Prepared& p = compiled[sql];
        int rc = p.st ? SQLITE_OK : prepare(sql, p);
        if (rc == SQLITE_OK) {
            sqlite3_reset(p.st);
            bind_rows(p.st, 1, &set);
            while ((rc = sqlite3_step(p.st)) == SQLITE_ROW) {
                if (!returned) continue;
                const int n = sqlite3_data_count(p.st);
                std::vector<Value> row;
                row.reserve(static_cast<size_t>(n));
                for (int c = 0; c < n; ++c) row.push_back(column_value(p.st, c));
                returned->push_back(std::move(row));
            }
        }
        if (rc != SQLITE_DONE) {
            int code = sqlite3_extended_errcode(db_);
            std::string msg = sqlite3_errmsg(db_);
            if (p.st) sqlite3_reset(p.st);
            throw map_sqlite_error(code, msg, st, m.target);
        }
        sqlite3_reset(p.st);
        sqlite3_clear_bindings(p.st);
    };
    std::string column_list;
    for (const auto& c : t.columns) column_list += (column_list.empty() ? "" : ", ") + quote_ident(c.name);
    // The values each updated or inserted row has after the statement's write, for OUTPUT:
    // those of the columns it reads as INSERTED (a big value is not carried for nothing).
    std::map<const std::vector<Value>*, std::vector<Value>> after_of;
    std::vector<bool> inserted_used(ncols, false);
    if (st.output)
        for (const auto& item : st.output->items) {
            if (item.star && (item.star_qualifier.empty() || iequals(item.star_qualifier, "INSERTED")))
                inserted_used.assign(ncols, true);
            if (!item.star && item.expr) mark_inserted(*item.expr, t, inserted_used);
        }
    std::string returning = "rowid";
    for (int c = 0; c < ncols; ++c)
        if (inserted_used[c]) returning += ", " + quote_ident(t.columns[c].name);
    auto after_values = [&](const std::vector<Value>& returned) {
        std::vector<Value> after(ncols, Value::null());
        size_t at = 1;
        for (int c = 0; c < ncols; ++c)
            if (inserted_used[c]) after[c] = returned[at++];
        return after;
    };
    auto apply_set_wise = [&] {
        step_set("DELETE FROM " + t.sql_ref + " WHERE rowid IN (SELECT c0 FROM tsql_rows(?1))",
                 RowRefs(actions[0].begin(), actions[0].end()), nullptr);
        for (int kind = 1; kind < 3; ++kind) {
            // Without OUTPUT, the clauses in their order, each over its rows in
            // the order they matched. With OUTPUT, the rows strictly in the
            // order they matched (runs of one clause), as a row at a time
            // wrote them: the row versions they make are numbered alike.
            std::vector<std::pair<long long, RowRefs>> runs;
            if (st.output) {
                for (const auto* rowp : actions[kind]) {
                    if (runs.empty() || runs.back().first != (*rowp)[1].i) runs.emplace_back((*rowp)[1].i, RowRefs{});
                    runs.back().second.push_back(rowp);
                }
            } else {
                std::map<long long, RowRefs> by_clause;
                for (const auto* rowp : actions[kind]) by_clause[(*rowp)[1].i].push_back(rowp);
                runs.assign(by_clause.begin(), by_clause.end());
            }
            for (const auto& [clause, set] : runs) {
                const auto& cols = m.clause_columns[clause - 1];
                const int at = m.value_offset[clause - 1];
                std::string sql;
                if (kind == 1) {
                    for (size_t i = 0; i < cols.size(); ++i)
                        sql += (i ? ", " : "") + quote_ident(cols[i]->name) + " = r." + row_source_column(at + static_cast<int>(i));
                    sql = "UPDATE " + t.sql_ref + " SET " + sql + " FROM tsql_rows(?1) AS r WHERE " + t.sql_ref + ".rowid = r.c0";
                    if (!st.output) {
                        step_set(sql, set, nullptr);
                        continue;
                    }
                    // Every target row is updated once: its rowid finds its source row.
                    std::vector<std::vector<Value>> returned;
                    step_set(sql + " RETURNING " + returning, set, &returned);
                    std::unordered_map<long long, std::vector<Value>> by_rowid;
                    for (auto& r : returned) by_rowid.emplace(r[0].i, after_values(r));
                    for (const auto* rowp : set) {
                        auto it = by_rowid.find((*rowp)[0].i);
                        if (it == by_rowid.end()) throw TsqlError(50000, "HY000", "MERGE: an updated row was not returned");
                        after_of[rowp] = std::move(it->second);
                    }
                } else if (cols.empty()) {
                    for (const auto* rowp : set) {
                        step_raw("INSERT INTO " + t.sql_ref + " DEFAULT VALUES", {}, m.target, st);
                        if (st.output)
                            after_of[rowp] = step_raw("SELECT " + column_list + " FROM " + t.sql_ref + " WHERE rowid = ?",
                                                      {Value::integer(sqlite3_last_insert_rowid(db_))}, m.target, st);
                    }
                } else {
                    std::string names, values;
                    for (size_t i = 0; i < cols.size(); ++i) {
                        names += (i ? ", " : "") + quote_ident(cols[i]->name);
                        values += (i ? ", r." : "r.") + row_source_column(at + static_cast<int>(i));
                    }
                    sql = "INSERT INTO " + t.sql_ref + " (" + names + ") SELECT " + values + " FROM tsql_rows(?1) AS r";
                    if (!st.output) {
                        step_set(sql, set, nullptr);
                        continue;
                    }
                    // The rows are inserted, and returned, in the order tsql_rows holds them.
                    std::vector<std::vector<Value>> returned;
                    step_set(sql + " RETURNING " + returning, set, &returned);
                    if (returned.size() != set.size())
                        throw TsqlError(50000, "HY000", "MERGE: the inserted rows were not all returned");
                    for (size_t i = 0; i < set.size(); ++i) after_of[set[i]] = after_values(returned[i]);
                }
            }
        }
        affected = static_cast<long long>(actions[0].size() + actions[1].size() + actions[2].size());
        if (!st.output) return;
        for (int kind = 0; kind < 3; ++kind) {
            for (const auto* rowp : actions[kind]) {
                const auto& row = *rowp;
                std::vector<Value> binds = kind == 0 ? std::vector<Value>(ncols, Value::null()) : std::move(after_of[rowp]);
                for (int c = 0; c < ncols; ++c) binds.push_back(kind == 2 ? Value::null() : row[m.old_offset + c]);
                for (size_t r = 0; r < refs.size(); ++r) binds.push_back(row[m.refs_offset + r]);
                std::vector<Value> out_row;
                out_row.reserve(outputs.size());
                for (const auto& e : outputs) out_row.push_back(evaluate(*e, binds));
                output_rows.push_back(std::move(out_row));
            }
        }
    };
    try {
        CheckConstraintsOff checks_off(db_, nocheck_.count(t.sql_ref) || (into && nocheck_.count(into->sql_ref)));
        changes_.clear();
        tracking_ = true;
        if (set_wise) apply_set_wise();
        for (int kind = 0; kind < 3 && !set_wise; ++kind) {
            for (const auto* rowp : actions[kind]) {
                const auto& row = *rowp;
                int clause = static_cast<int>(row[1].i);
                const auto& cols = m.clause_columns[clause - 1];
                const int at = m.value_offset[clause - 1];
                std::vector<Value> after(ncols, Value::null()), before(ncols, Value::null());
                if (kind != 2)
                    for (int c = 0; c < ncols; ++c) before[c] = row[m.old_offset + c];
                if (kind == 0) {
                    step_raw("DELETE FROM " + t.sql_ref + where_row, {row[0]}, m.target, st);
                } else if (kind == 1) {
                    std::string sql = "UPDATE " + t.sql_ref + " SET ";
                    std::vector<Value> binds;
                    for (size_t i = 0; i < cols.size(); ++i) {
                        sql += (i ? ", " : "") + quote_ident(cols[i]->name) + " = ?";
                        binds.push_back(row[at + i]);
                    }
                    binds.push_back(row[0]);
                    step_raw(sql + where_row, binds, m.target, st);
                    if (st.output) {
                        // A view's row gets a new z_rv when its version changes:
                        // its new values are the old ones with the SET applied.
                        if (t.view) {
                            after = before;
                            for (size_t i = 0; i < cols.size(); ++i)
                                after[cols[i] - t.columns.data()] = row[at + i];
                        } else {
                            after = step_raw("SELECT " + column_list + " FROM " + t.sql_ref + where_row, {row[0]}, m.target, st);
                        }
                    }
                } else {
                    std::string sql = "INSERT INTO " + t.sql_ref;
                    std::vector<Value> binds;
                    if (cols.empty()) {
                        sql += " DEFAULT VALUES";
                    } else {
                        std::string names, marks;
                        for (size_t i = 0; i < cols.size(); ++i) {
                            names += (i ? ", " : "") + quote_ident(cols[i]->name);
                            marks += i ? ", ?" : "?";
                            binds.push_back(row[at + i]);
                        }
                        sql += " (" + names + ") VALUES (" + marks + ")";
                    }
                    step_raw(sql, binds, m.target, st);
                    if (st.output)
                        after = step_raw("SELECT " + column_list + " FROM " + t.sql_ref + " WHERE rowid = ?",
                                         {Value::integer(sqlite3_last_insert_rowid(db_))}, m.target, st);
                }
                ++affected;
                if (!st.output) continue;
                std::vector<Value> binds = after;
                binds.insert(binds.end(), before.begin(), before.end());
                for (size_t r = 0; r < refs.size(); ++r) binds.push_back(row[m.refs_offset + r]);
                std::vector<Value> out_row;
                for (const auto& e : outputs) out_row.push_back(evaluate(*e, binds));
                output_rows.push_back(std::move(out_row));
            }
        }
        if (into) {
            Statement as;
            as.kind = StmtKind::Insert;
            if (!into_rows_sql.empty() && output_rows.size() > 1) {
                const RowRefs set = [&] {
                    RowRefs refs_of_rows;
                    for (const auto& r : output_rows) refs_of_rows.push_back(&r);
                    return refs_of_rows;
                }();
                Prepared& p = compiled[into_rows_sql];
                int rc = p.st ? SQLITE_OK : prepare(into_rows_sql, p);
                if (rc == SQLITE_OK) {
                    bind_rows(p.st, 1, &set);
                    while ((rc = sqlite3_step(p.st)) == SQLITE_ROW) {
                    }
                }
                if (rc != SQLITE_DONE) {
                    int code = sqlite3_extended_errcode(db_);
                    std::string msg = sqlite3_errmsg(db_);
                    if (p.st) sqlite3_reset(p.st);
                    throw map_sqlite_error(code, msg, as, into);
                }
                sqlite3_reset(p.st);
                sqlite3_clear_bindings(p.st);
            } else {
                for (const auto& r : output_rows) step_raw(into_sql, r, into, as);
            }
        }
        tracking_ = false;
        check_constraints(st);
    } catch (const TsqlError& e) {
        fail(e);
    } catch (...) {
        tracking_ = false;
        sqlite3_exec(db_, "ROLLBACK TO tsql_statement; RELEASE tsql_statement", nullptr, nullptr, nullptr);
        throw;
    }
    if (identity_insert && t.identity() && !actions[2].empty()) {
        Prepared mx;
        sqlite3_prepare_v2(db_, ("SELECT MAX(" + quote_ident(t.identity()->name) + ") FROM " + t.sql_ref).c_str(), -1, &mx.st,
                           nullptr);
        if (sqlite3_step(mx.st) == SQLITE_ROW && sqlite3_column_type(mx.st, 0) != SQLITE_NULL)
            catalog_->bump_identity(t.object_id, sqlite3_column_int64(mx.st, 0));
    }
    if (sqlite3_exec(db_, "RELEASE tsql_statement", nullptr, nullptr, nullptr) != SQLITE_OK) {
        rollback_all();
        throw deadlock_victim();
    }
    if (st.output && !st.output->into) {
        ResultSet rs;
        for (size_t i = 0; i < outputs.size(); ++i) {
            ResultColumn c;
            c.name = output_names[i];
            c.type = make_type("int");
            for (const auto& r : output_rows)
                if (!r[i].is_null()) {
                    c.type = r[i].kind == Value::Int ? make_type("bigint") : r[i].kind == Value::Real ? make_type("float")
                             : r[i].kind == Value::Text ? make_type("nvarchar", -1) : make_type("varbinary", -1);
                    break;
                }
            rs.columns.push_back(c);
        }
        rs.rows = std::move(output_rows);
        out.results.push_back(std::move(rs));
    }
    rowcount_ = affected;
    out.row_count = affected;
}

}  // namespace sqlserver_standin

#include "session.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <strings.h>

#include "sql_functions.h"
#include "translator.h"
#include "tsql_parser.h"

namespace sqlserver_standin {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool iequals(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

const char* statement_word(StmtKind k) {
    switch (k) {
        case StmtKind::Insert: return "INSERT";
        case StmtKind::Update: return "UPDATE";
        case StmtKind::Delete: return "DELETE";
        default: return "SELECT";
    }
}

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

// Statement text as SQLite runs it, finalised on scope exit.
struct Prepared {
    sqlite3_stmt* st = nullptr;
    ~Prepared() { sqlite3_finalize(st); }
};

std::string duplicate_value_text(const std::vector<std::string>& columns, const std::map<std::string, Value>& written) {
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
                throw std::invalid_argument("bad fault specification '" + item + "'");
            }
            if (b != std::string::npos) f.pattern = item.substr(b + 1);
            if (f.nth < 1 || (f.native != 1205 && f.native != 2627 && f.native != 547))
                throw std::invalid_argument("bad fault specification '" + item + "' (errors 1205, 2627 or 547; N from 1)");
            out.push_back(f);
        }
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return out;
}

Session::Session(const std::string& data_dir, const std::string& database, std::vector<FaultSpec> faults)
    : database_(database), faults_(std::move(faults)) {
    bool valid = !database.empty() && database.size() <= 128;
    for (char c : database)
        valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
    if (!valid)
        throw TsqlError(4060, "42000", "Cannot open database \"" + database + "\" requested by the login. The login failed.", 11);
    std::string path = data_dir + "/" + database + ".sqlite";
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw TsqlError(4060, "08001", "Cannot open database \"" + database + "\" requested by the login. The login failed. (" + msg + ")", 11);
    }
    sqlite3_busy_timeout(db_, 10000);
    // Every identifier is emitted double-quoted: an unknown one must be an
    // error (207), never silently a string.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_extended_result_codes(db_, 1);
    register_functions(db_, this);
    try {
        exec_sql(db_, "PRAGMA journal_mode = WAL; PRAGMA foreign_keys = ON");
        exec_sql(db_, "BEGIN IMMEDIATE");
        Prepared p;
        sqlite3_prepare_v2(db_, "SELECT 1 FROM sqlite_master WHERE name = 'sys.objects'", -1, &p.st, nullptr);
        bool exists = sqlite3_step(p.st) == SQLITE_ROW;
        if (!exists) Catalog::initialise(db_);
        exec_sql(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
    catalog_ = std::make_unique<Catalog>(db_, database);
}

Session::~Session() {
    if (!db_) return;
    if (trancount_ > 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    catalog_.reset();
    sqlite3_close_v2(db_);
}

void Session::rollback_all() {
    if (trancount_ > 0 || !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    trancount_ = 0;
}

long long Session::temp_identity(const std::string& table, long long seed, long long increment) {
    auto it = temp_identity_.find(table);
    if (it == temp_identity_.end()) return temp_identity_[table] = seed;
    return it->second += increment;
}

ExecOutcome Session::execute_text(const std::string& sql, const std::vector<Value>& params) {
    return execute(parse_batch(sql), params);
}

ExecOutcome Session::execute(const Batch& batch, const std::vector<Value>& params) {
    ExecOutcome out;
    for (const auto& st : batch.statements) {
        check_fault(st);
        run_statement(st, params, out);
    }
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
    switch (st.kind) {
        case StmtKind::Select: return run_select(st, params, out);
        case StmtKind::Insert:
        case StmtKind::Update:
        case StmtKind::Delete: return run_dml(st, params, out);
        case StmtKind::Exec: return run_exec(st, params, out);
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
        case StmtKind::CreateSchema:
        case StmtKind::CreateTable:
        case StmtKind::CreateIndex:
        case StmtKind::DropTable: {
            exec_sql(db_, "SAVEPOINT tsql_statement");
            try {
                if (st.kind == StmtKind::CreateSchema) catalog_->create_schema(st.name);
                else if (st.kind == StmtKind::CreateTable) catalog_->create_table(st);
                else if (st.kind == StmtKind::CreateIndex) catalog_->create_index(st);
                else catalog_->drop_table(st.target);
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
            if (trancount_ == 0) exec_sql(db_, "BEGIN");
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
            }
            --trancount_;
            return;
        case StmtKind::SaveTran:
            if (trancount_ == 0)
                throw TsqlError(628, "25000", "Cannot issue SAVE TRANSACTION when there is no active transaction.");
            exec_sql(db_, "SAVEPOINT " + quote_ident(lower(st.name)));
            return;
        default:
            if (trancount_ == 0)
                throw TsqlError(3903, "25000", "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
            if (!st.name.empty()) {
                if (sqlite3_exec(db_, ("ROLLBACK TO " + quote_ident(lower(st.name))).c_str(), nullptr, nullptr, nullptr) == SQLITE_OK)
                    return;
            }
            rollback_all();
            return;
    }
}

void Session::run_select(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    Translator tr(*catalog_);
    Translation t = tr.select(*st.select);
    Prepared p;
    if (sqlite3_prepare_v2(db_, t.sql.c_str(), -1, &p.st, nullptr) != SQLITE_OK)
        throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), st, std::nullopt);
    int nparams = sqlite3_bind_parameter_count(p.st);
    for (int i = 1; i <= nparams && i <= static_cast<int>(params.size()); ++i) bind_value(p.st, i, params[i - 1]);
    ResultSet rs;
    int ncols = sqlite3_column_count(p.st);
    int rc;
    while ((rc = sqlite3_step(p.st)) == SQLITE_ROW) {
        std::vector<Value> row;
        row.reserve(ncols);
        for (int c = 0; c < ncols; ++c) row.push_back(column_value(p.st, c));
        rs.rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        rowcount_ = 0;
        throw map_sqlite_error(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), st, std::nullopt);
    }
    for (int c = 0; c < ncols; ++c) {
        ResultColumn col;
        col.name = sqlite3_column_name(p.st, c);
        if (c < static_cast<int>(t.column_types.size()) && t.column_types[c]) col.type = *t.column_types[c];
        else if (const char* decl = sqlite3_column_decltype(p.st, c); decl && type_from_text(decl))
            col.type = *type_from_text(decl);
        else {
            col.type = make_type("int");
            for (const auto& row : rs.rows) {
                const Value& v = row[c];
                if (v.is_null()) continue;
                col.type = v.kind == Value::Int ? make_type("bigint")
                           : v.kind == Value::Real ? make_type("float")
                           : v.kind == Value::Text ? make_type("nvarchar", -1)
                                                   : make_type("varbinary", -1);
                break;
            }
        }
        rs.columns.push_back(col);
    }
    rowcount_ = static_cast<long long>(rs.rows.size());
    out.results.push_back(std::move(rs));
}

void Session::run_dml(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    std::optional<TableInfo> target = catalog_->find_table(st.target);
    bool identity_insert = target && !identity_insert_.empty() && lower(target->display_name()) == identity_insert_;
    Translator tr(*catalog_, identity_insert);
    Translation t = st.kind == StmtKind::Insert ? tr.insert(st) : st.kind == StmtKind::Update ? tr.update(st) : tr.remove(st);
    written_.clear();
    exec_sql(db_, "SAVEPOINT tsql_statement");
    Prepared p;
    int rc = sqlite3_prepare_v2(db_, t.sql.c_str(), -1, &p.st, nullptr);
    if (rc == SQLITE_OK) {
        int nparams = sqlite3_bind_parameter_count(p.st);
        for (int i = 1; i <= nparams && i <= static_cast<int>(params.size()); ++i) bind_value(p.st, i, params[i - 1]);
        while ((rc = sqlite3_step(p.st)) == SQLITE_ROW) {
        }
    }
    if (rc != SQLITE_DONE) {
        int code = sqlite3_extended_errcode(db_);
        std::string msg = sqlite3_errmsg(db_);
        sqlite3_finalize(p.st);
        p.st = nullptr;
        sqlite3_exec(db_, "ROLLBACK TO tsql_statement; RELEASE tsql_statement", nullptr, nullptr, nullptr);
        rowcount_ = 0;
        throw map_sqlite_error(code, msg, st, t.target);
    }
    long long changes = sqlite3_changes(db_);
    sqlite3_finalize(p.st);
    p.st = nullptr;
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

void Session::run_exec(const Statement& st, const std::vector<Value>& params, ExecOutcome& out) {
    // The one native procedure of this stage: <dbfile>$z$GetTxId (@txid bigint OUTPUT).
    static const std::string suffix = "$z$gettxid";
    std::string name = lower(st.target.name);
    bool schema_ok = st.target.schema.empty() || iequals(st.target.schema, "tavrin");
    if (!schema_ok || name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        throw TsqlError(2812, "42000", "Could not find stored procedure '" + st.target.name + "'.");
    std::string dbfile = st.target.name.substr(0, st.target.name.size() - suffix.size());
    ObjectName tx{"", "tavrin", dbfile + "$t$tx"};
    if (!catalog_->find_table(tx))
        throw TsqlError(2812, "42000", "Could not find stored procedure '" + st.target.name + "'.");
    if (st.exec_args.size() != 1 || (!st.exec_args[0].name.empty() && !iequals(st.exec_args[0].name, "@txid")))
        throw TsqlError(8144, "42000", "Procedure or function " + st.target.name + " has too many arguments specified.");
    std::string table = "tavrin.[" + dbfile + "$t$tx]";
    ExecOutcome inner;
    bool own_tran = trancount_ == 0;
    if (own_tran) run_transaction(Statement{StmtKind::BeginTran});
    try {
        Batch b = parse_batch("INSERT INTO " + table + " (txid) SELECT COALESCE(MAX(txid), 0) + 1 FROM " + table +
                              "; SELECT MAX(txid) FROM " + table);
        for (const auto& s : b.statements) run_statement(s, {}, inner);
        long long txid = inner.results.back().rows.at(0).at(0).i;
        ObjectName rules{"", "tavrin", dbfile + "$t$rules"};
        if (catalog_->find_table(rules)) {
            std::string r = "tavrin.[" + dbfile + "$t$rules]";
            Batch u = parse_batch("UPDATE " + r + " SET txid = ?, i = COALESCE(i, 0) + 1 WHERE sit = 123");
            for (const auto& s : u.statements) run_statement(s, {Value::integer(txid)}, inner);
            if (rowcount_ == 0) {
                Batch ins = parse_batch("INSERT INTO " + r + " (sit, act, txid, i) VALUES (123, 0, ?, 1)");
                for (const auto& s : ins.statements) run_statement(s, {Value::integer(txid)}, inner);
            }
        }
        if (own_tran) run_transaction(Statement{StmtKind::CommitTran});
        const ExecArg& a = st.exec_args[0];
        if (a.output && a.value->kind == ExprKind::Param) out.outputs[a.value->param] = Value::integer(txid);
    } catch (...) {
        if (own_tran) rollback_all();
        throw;
    }
    (void)params;
    rowcount_ = 0;
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
    if (rc == SQLITE_CONSTRAINT_FOREIGNKEY) {
        std::string text;
        if (target && st.kind != StmtKind::Delete) {
            // The row just written names the key whose parent is missing.
            for (const auto& f : catalog_->foreign_keys(*target)) {
                std::string where;
                std::vector<Value> vals;
                bool complete = true;
                for (size_t i = 0; i < f.columns.size(); ++i) {
                    auto it = std::find_if(written_.begin(), written_.end(),
                                           [&](const auto& kv) { return iequals(kv.first, f.columns[i]); });
                    complete = complete && it != written_.end() && !it->second.is_null();
                    if (!complete) break;
                    where += (i ? " AND " : "") + quote_ident(f.ref_columns[i]) + " = ?";
                    vals.push_back(it->second);
                }
                if (!complete) continue;
                Prepared p;
                sqlite3_prepare_v2(db_, ("SELECT 1 FROM " + quote_ident(f.referenced_table) + " WHERE " + where).c_str(), -1,
                                   &p.st, nullptr);
                for (size_t i = 0; i < vals.size(); ++i) bind_value(p.st, static_cast<int>(i + 1), vals[i]);
                if (sqlite3_step(p.st) == SQLITE_ROW) continue;
                bool self = f.parent_table == f.referenced_table;
                text = "The " + word + " statement conflicted with the " + (self ? "FOREIGN KEY SAME TABLE" : "FOREIGN KEY") +
                       " constraint \"" + f.name + "\". The conflict occurred in database \"" + database_ + "\", table \"" +
                       f.referenced_table + "\"" + (f.ref_columns.size() == 1 ? ", column '" + f.ref_columns[0] + "'" : "") + ".";
                break;
            }
        }
        if (text.empty() && target) {
            for (const auto& f : catalog_->referencing_keys(*target)) {
                int action = st.kind == StmtKind::Delete ? f.on_delete : f.on_update;
                if (action != 0) continue;
                bool self = f.parent_table == f.referenced_table;
                text = "The " + word + " statement conflicted with the " + (self ? "SAME TABLE REFERENCE" : "REFERENCE") +
                       " constraint \"" + f.name + "\". The conflict occurred in database \"" + database_ + "\", table \"" +
                       f.parent_table + "\"" + (f.columns.size() == 1 ? ", column '" + f.columns[0] + "'" : "") + ".";
                break;
            }
        }
        if (text.empty())
            text = "The " + word + " statement conflicted with the FOREIGN KEY constraint. The conflict occurred in database \"" +
                   database_ + "\", table \"" + object + "\".";
        TsqlError e(547, "23000", text);
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

}  // namespace sqlserver_standin

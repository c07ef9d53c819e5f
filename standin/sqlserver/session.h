// One connection to a stand-in database: the SQLite file, the catalog, the
// transaction state, @@ROWCOUNT, fault injection, and the execution of
// parsed batches into result sets.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <sqlite3.h>

#include "catalog.h"
#include "database_file.h"
#include "tsql_ast.h"
#include "tsql_error.h"
#include "translator.h"
#include "tsql_values.h"

namespace sqlserver_standin {

struct ResultColumn {
    std::string name;
    TsqlType type;
    bool nullable = true;
};

class RowStream;

struct ResultSet {
    std::vector<ResultColumn> columns;
    std::vector<std::vector<Value>> rows;
    // Set when the rows are read as they are fetched instead of held in `rows`.
    std::shared_ptr<RowStream> stream;
};

struct ExecOutcome {
    std::vector<ResultSet> results;
    long long row_count = -1;  // of the last INSERT/UPDATE/DELETE
    bool no_rows_affected = false;  // a lone UPDATE/DELETE that touched nothing
    std::map<int, Value> outputs;   // output parameters by position
};

// Makes the Nth statement whose text contains `pattern` fail with `native`.
struct FaultSpec {
    int native = 0;
    int nth = 1;
    std::string pattern;
    int seen = 0;
};
// Parses "1205:2:UPDATE x|2627:1" into fault specs; throws std::invalid_argument.
std::vector<FaultSpec> parse_faults(const std::string& text);

// A statement prepared through the connection's cache (or alone), handed
// back, reset, when done.
struct Prepared {
    sqlite3_stmt* st = nullptr;
    StatementCache* cache = nullptr;
    std::string sql;
    std::shared_ptr<const TableSet> reads;
    Prepared() = default;
    Prepared(Prepared&& other) noexcept
        : st(other.st), cache(other.cache), sql(std::move(other.sql)), reads(std::move(other.reads)) {
        other.st = nullptr;
    }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    ~Prepared();
    void done();
};

// How long a writer waits for the write lock before it fails with 1222.
constexpr std::chrono::milliseconds kDefaultLockTimeout{30000};
// Milliseconds as decimal digits; throws std::invalid_argument.
std::chrono::milliseconds parse_lock_timeout(const std::string& text);

class Session;

// What SQL Server's drivers without MARS say of a statement sent while
// another one's results are still to be read.
constexpr char kConnectionBusyMessage[] = "Connection is busy with results for another hstmt";

// The rows of a query still being read from SQLite. The last query of a batch
// streams when the session allows it: its rows are read as they are fetched,
// and nothing else runs on the session until the stream is read or closed
// (the end of a prepared execution reads the rest into memory before the
// execution's #temp tables go). @@ROWCOUNT counts every row even when the
// result is closed early.
class RowStream {
public:
    RowStream(const RowStream&) = delete;
    RowStream& operator=(const RowStream&) = delete;
    ~RowStream();
    // The next row; false after the last. An error the query meets is thrown
    // after the rows read before it.
    bool next(std::vector<Value>& row);

private:
    friend class Session;
    RowStream(Session& session, Prepared statement) : session_(&session), statement_(std::move(statement)) {}
    // Steps the statement; ends it at its end and on an error, which it throws.
    bool step(std::vector<Value>& row);
    void finish(long long rowcount);

    Session* session_;
    Prepared statement_;
    std::deque<std::vector<Value>> read_ahead_;
    std::optional<TsqlError> error_;  // met while reading ahead
    long long rows_ = 0;
    bool sets_rowcount_ = true;  // false once its execution's own scope has ended
};

class Session {
public:
    // Opens (creating on first use) <data_dir>/<database>.sqlite.
    Session(const std::string& data_dir, const std::string& database, std::vector<FaultSpec> faults = {},
            std::chrono::milliseconds lock_timeout = kDefaultLockTimeout);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A prepared or parameterised execution (`own_scope`) runs as SQL Server's drivers run it,
    // in a scope of its own (sp_prepexec, sp_execute, sp_executesql): the local temp tables it
    // creates are dropped when it ends, and a later batch reads @@ROWCOUNT as 0.
    ExecOutcome execute(const Batch& batch, const std::vector<Value>& params, bool own_scope = false);
    ExecOutcome execute_text(const std::string& sql, const std::vector<Value>& params = {});

    // Lets the last query of each batch stream its rows (see RowStream); off,
    // every row is in the result when execute returns.
    void allow_streaming(bool on) { streaming_ = on; }

    bool in_transaction() const { return trancount_ > 0; }
    void rollback_all();
    // Takes the write lock for the open transaction now (management work that
    // writes through SQLite directly).
    void lock_for_writing();
    const std::string& database() const { return database_; }

    // Used by the SQL functions the translator emits.
    long long rowcount() const { return rowcount_; }
    int trancount() const { return trancount_; }
    Catalog& catalog() { return *catalog_; }
    sqlite3* db() { return db_; }
    void record_written(std::string_view column, Value v) {
        auto it = written_.find(column);
        if (it == written_.end()) written_.emplace(std::string(column), std::move(v));
        else it->second = std::move(v);
    }
    long long temp_identity(const std::string& table, long long seed, long long increment);
    int fetch_status() const { return fetch_status_; }

    // The txid the row-version logic of dbfile `dbfile` records in the
    // current transaction: the one GetTxId handed out, else a new one
    // allocated as GetTxId does (an ordinary application write).
    long long current_txid(const std::string& dbfile);
    std::optional<long long> peek_txid(const std::string& dbfile) const;
    // GetTxId's work: a new $t$tx row (a txid, no rstamp or rebaseid) and the counter row
    // kept current.
    long long allocate_txid(const std::string& dbfile);

private:
    void run_statement(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    void dispatch(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    // Locking, as SQL Server's lock waits look from outside: a statement that
    // writes the database waits for the write lock (first come, first
    // served, statements of their own before transactions, within the lock
    // timeout) and its transaction holds it until it
    // ends; until then each statement of a transaction reads what is
    // committed when it starts.
    void run_writing_alone(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    void before_statement_in_transaction(const Statement& st);
    void lock_in_transaction();
    void note_temp_writes(const Statement& st);
    void refresh_snapshot();
    void release_snapshot();
    bool snapshot_movable() const;
    void begin_locked(bool statement_alone);
    // Fails the statement for a wait that timed out (1222) or closed a cycle (1205).
    void waited(DatabaseFile::Wait how);
    void end_writing();
    static int on_busy(void* self, int count);
    void run_dml(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    void run_select(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    // Translates a query and binds its parameters into p.
    Translation prepare_query(const Select& sel, const Statement& st, const std::vector<Value>& params, Prepared& p);
    void read_rows(sqlite3_stmt* prepared, const Statement& st, std::vector<std::vector<Value>>& rows);
    // Translates and runs a query to its end; p stays open for its column names and types.
    Translation query_rows(const Select& sel, const Statement& st, const std::vector<Value>& params, Prepared& p,
                           std::vector<std::vector<Value>>& rows);
    int prepare(const std::string& sql, Prepared& p);
    void open_connection(const std::string& path);
    // Reads the rest of a streaming result into memory: the connection is needed again.
    void settle_stream();
    void run_exec(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    // MERGE and UPDATE ... OUTPUT: the match set computed by one query, then
    // applied row by row, atomic, keys checked at the end.
    void run_rowwise(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    void run_alter_check(const Statement& st);
    void run_block(const std::vector<Statement>& body, const std::vector<Value>& params, ExecOutcome& out);
    Value evaluate(const Expr& e, const std::vector<Value>& params, std::optional<TsqlType>* type = nullptr);
    bool condition(const Expr& e, const std::vector<Value>& params);
    void assign(const std::string& name, const Value& v);
    void bind_all(sqlite3_stmt* st, const std::vector<Value>& params);
    Translator translator(bool identity_insert = false) const { return Translator(*catalog_, identity_insert, &vars_); }
    // The translation `make` gives of `node`, a node of the running batch: kept
    // on the connection for the nodes of a shared batch.
    template <typename Make>
    Translation translated(const void* node, bool identity_insert, Make make);
    void run_transaction(const Statement& st);
    void check_fault(const Statement& st);
    TsqlError map_sqlite_error(int rc, const std::string& msg, const Statement& st, const std::optional<TableInfo>& target);
    // Unique keys and foreign keys over what the statement changed, checked
    // once at its end as SQL Server does: a swap of two keys succeeds.
    void check_constraints(const Statement& st);
    static void on_change(void* self, int op, const char* db, const char* table, sqlite3_int64 rowid);

    friend class RowStream;

    std::shared_ptr<DatabaseFile> file_;
    std::unique_ptr<Connection> conn_;
    sqlite3* db_ = nullptr;  // conn_'s
    std::string database_;
    bool streaming_ = false;
    const Statement* streamable_ = nullptr;  // the running batch's last statement, when it may stream
    RowStream* open_stream_ = nullptr;
    std::chrono::milliseconds lock_timeout_;
    std::chrono::steady_clock::time_point busy_since_;
    bool write_locked_ = false;
    TableSet written_tables_;  // while holding the write lock
    std::string opener_;       // the first statement of the open transaction
    // The open transaction's #temp tables: those it began with, whether one
    // of them was written since, the ones it created, those of them a fresh
    // snapshot made durable in SQLite (a rollback drops them), and whether it
    // set a savepoint (which pins the snapshot).
    Catalog::TempTables temp_at_begin_;
    bool temp_touched_ = false;
    std::set<std::string> temp_created_, temp_committed_;
    std::map<std::string, Catalog::TempTables> temp_at_savepoint_;
    std::unique_ptr<Catalog> catalog_;
    std::vector<FaultSpec> faults_;
    int trancount_ = 0;
    long long rowcount_ = 0;
    bool nocount_ = false;
    std::string identity_insert_;  // "schema.name" of the table with IDENTITY_INSERT ON
    std::set<std::string> nocheck_;  // tables (SQLite names) whose CHECK constraints are off
    std::map<std::string, Value, std::less<>> written_;
    std::map<std::string, long long> temp_identity_;
    // The running batch's variables (SQLite parameters from kVariableBase on) and cursors.
    VariableMap vars_;
    std::vector<Value> var_values_;
    unsigned long long batch_id_ = 0;  // the running batch's Batch::shared_id
    struct Cursor {
        const Select* query = nullptr;
        std::vector<std::vector<Value>> rows;
        size_t next = 0;
        bool open = false;
    };
    std::map<std::string, Cursor> cursors_;
    int fetch_status_ = -1;
    std::map<std::string, long long> current_txids_;  // by dbfile name, for the open transaction
    // Rows the running statement wrote (inserted or updated) and the tables it
    // removed keys from (deleted or updated), by (SQLite schema, table).
    struct TableChanges {
        std::vector<sqlite3_int64> written;
        bool keys_removed = false;
    };
    bool tracking_ = false;
    std::map<std::pair<std::string, std::string>, TableChanges> changes_;
};

constexpr int kVariableBase = 1000;

}  // namespace sqlserver_standin

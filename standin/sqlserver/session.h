// One connection to a stand-in database: the SQLite file, the catalog, the
// transaction state, @@ROWCOUNT, fault injection, and the execution of
// parsed batches into result sets.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "catalog.h"
#include "tsql_ast.h"
#include "tsql_error.h"
#include "tsql_values.h"

namespace sqlserver_standin {

struct ResultColumn {
    std::string name;
    TsqlType type;
    bool nullable = true;
};

struct ResultSet {
    std::vector<ResultColumn> columns;
    std::vector<std::vector<Value>> rows;
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

class Session {
public:
    // Opens (creating on first use) <data_dir>/<database>.sqlite.
    Session(const std::string& data_dir, const std::string& database, std::vector<FaultSpec> faults = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    ExecOutcome execute(const Batch& batch, const std::vector<Value>& params);
    ExecOutcome execute_text(const std::string& sql, const std::vector<Value>& params = {});

    bool in_transaction() const { return trancount_ > 0; }
    void rollback_all();
    const std::string& database() const { return database_; }

    // Used by the SQL functions the translator emits.
    long long rowcount() const { return rowcount_; }
    int trancount() const { return trancount_; }
    Catalog& catalog() { return *catalog_; }
    sqlite3* db() { return db_; }
    void record_written(const std::string& column, const Value& v) { written_[column] = v; }
    long long temp_identity(const std::string& table, long long seed, long long increment);

private:
    void run_statement(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    void run_dml(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    void run_select(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    void run_exec(const Statement& st, const std::vector<Value>& params, ExecOutcome& out);
    void run_transaction(const Statement& st);
    void check_fault(const Statement& st);
    TsqlError map_sqlite_error(int rc, const std::string& msg, const Statement& st, const std::optional<TableInfo>& target);

    sqlite3* db_ = nullptr;
    std::string database_;
    std::unique_ptr<Catalog> catalog_;
    std::vector<FaultSpec> faults_;
    int trancount_ = 0;
    long long rowcount_ = 0;
    bool nocount_ = false;
    std::string identity_insert_;  // "schema.name" of the table with IDENTITY_INSERT ON
    std::map<std::string, Value> written_;
    std::map<std::string, long long> temp_identity_;
};

}  // namespace sqlserver_standin

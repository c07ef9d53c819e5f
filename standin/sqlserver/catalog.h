// The stand-in's own catalog: schemas, objects, columns with their T-SQL
// types, keys, indexes, defaults and checks, kept in SQLite tables named like
// the sys.* views they serve, plus the connection's #temp tables.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "tsql_ast.h"

namespace sqlserver_standin {

// The SQLite database, attached to every connection, that holds its #temp tables. SQLite's
// own temp schema would do, but every change of that schema expires every prepared statement
// of the connection; a table made or dropped in an attached one expires only the statements
// that use it (a new index, as anywhere, still expires them all).
constexpr char kTempSchema[] = "tempdb";

class StatementCache;

struct ColumnInfo {
    int column_id = 0;
    std::string name;
    TsqlType type;
    std::string collation;
    bool nullable = true;
    bool identity = false;
};

struct KeyInfo {
    std::string name;
    bool primary = false;
    bool constraint = false;  // PRIMARY KEY/UNIQUE constraint (2627) rather than a unique index (2601)
    std::vector<std::string> columns;
};

struct ForeignKeyInfo {
    std::string name;
    std::string parent_table, referenced_table;  // "schema.name"
    std::vector<std::string> columns, ref_columns;
    int on_delete = 0, on_update = 0;
};

struct TableInfo {
    int object_id = 0;
    std::string schema, name;
    std::string sql_ref;  // the table as SQLite SQL names it
    bool temp = false;
    bool catalog_view = false;
    bool view = false;  // a view: rows are addressed by its z_rv column, not a rowid
    std::vector<ColumnInfo> columns;
    const ColumnInfo* column(const std::string& name) const;
    const ColumnInfo* identity() const;
    std::string display_name() const { return temp ? name : schema + "." + name; }
};

// Catalog facts the connections of one process to one database share, valid
// for one schema version of the file: every change of the catalog comes with
// a change of SQLite's schema, which moves the version on.
class CatalogCache {
public:
    struct Facts {
        std::map<std::string, std::optional<TableInfo>> tables;  // by lower-case "schema.name"
        std::map<int, std::vector<KeyInfo>> unique_keys;         // by object id
        std::map<int, std::vector<ForeignKeyInfo>> foreign_keys, referencing_keys;
    };
    // Runs `use` on the facts of `version` under the cache's lock; returns
    // false without running it while the cache holds a newer version.
    template <typename F>
    bool with(int version, F&& use) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (version < version_) return false;
        if (version > version_) {
            facts_ = {};
            version_ = version;
        }
        use(facts_);
        return true;
    }

private:
    std::mutex mutex_;
    int version_ = -1;
    Facts facts_;
};

class Catalog {
public:
    Catalog(sqlite3* db, std::string database, std::shared_ptr<CatalogCache> shared = nullptr)
        : db_(db), database_(std::move(database)), shared_(std::move(shared)) {}
    ~Catalog();
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;

    // Creates the catalog tables in a new database file.
    static void initialise(sqlite3* db);

    const std::string& database() const { return database_; }
    std::optional<TableInfo> find_table(const ObjectName& name) const;
    std::vector<KeyInfo> unique_keys(const TableInfo& t) const;
    std::vector<ForeignKeyInfo> foreign_keys(const TableInfo& t) const;      // declared on t
    std::vector<ForeignKeyInfo> referencing_keys(const TableInfo& t) const;  // pointing at t

    void create_schema(const std::string& name);
    void create_table(const Statement& st);
    void create_index(const Statement& st);
    void drop_table(const ObjectName& name);
    // ALTER TABLE t ADD c type [COLLATE x] [NULL]: a nullable column without a default.
    void add_column(const Statement& st);
    // ALTER TABLE #t DROP COLUMN a, b (temp tables).
    void drop_columns(const Statement& st);
    // A view over `select_sql` (SQLite SQL) whose columns are `columns`.
    void create_view(const std::string& schema, const std::string& name, const std::vector<ColumnInfo>& columns,
                     const std::string& select_sql);
    void drop_view(const std::string& schema, const std::string& name);

    // OBJECT_ID: one-, two- and three-part names, [..] and "..", tempdb..#t.
    std::optional<int> object_id(const std::string& name, const std::string& type) const;
    std::optional<std::string> object_name(int id) const;
    std::optional<int> object_schema_id(int id) const;
    std::optional<std::string> schema_name(int schema_id) const;
    void bump_identity(int object_id, long long value);

    const std::string& default_schema() const { return default_schema_; }
    std::vector<std::string> temp_table_names() const;
    // Drops a temp table at the end of the scope that made it; one a rolled-back
    // transaction already took is only forgotten.
    void drop_temp_table(const std::string& name);
    // The names of the triggers that fire on writes to the table (the row-version logic's).
    std::vector<std::string> triggers(const TableInfo& t) const;
    // The table's CHECK constraints by name, in creation order; the session knows which are off.
    std::vector<std::string> check_constraints(const TableInfo& t) const;

    // The connection's statement cache: versions read are kept while its
    // schema epoch stands still, and the look-ups of the SQL functions
    // (OBJECT_ID and the like) keep their statements there.
    void watch_schema(StatementCache& statements);
    // A statement starts: the schema version is read again when needed,
    // unless it was read in the SQLite transaction still open, whose snapshot
    // only this connection's own changes move on.
    void next_statement();
    // The schema versions of the database (as of this statement) and of the #temp tables.
    std::pair<int, int> schema_versions() const;
    // The transaction that changed the catalog ended: the shared facts apply again.
    void transaction_ended() { changed_ = false; }

    // The connection's #temp tables by lower-case name; a rolled-back
    // transaction puts back the ones it began with.
    struct TempTable {
        TableInfo info;
        std::vector<KeyInfo> keys;
        std::vector<std::string> checks;
    };
    using TempTables = std::map<std::string, TempTable>;
    const TempTables& temp_tables() const { return temp_tables_; }
    void restore_temp_tables(TempTables tables) {
        temp_tables_ = std::move(tables);
        temp_tables_changed();
    }
    // Moves on with every change of the #temp tables' definitions: what was
    // derived from them under one generation holds while it stands. Never the
    // same twice in the process, whichever catalog.
    unsigned long long temp_generation() const { return temp_generation_; }

private:
    void temp_tables_changed();
    std::optional<TableInfo> load_table(const ObjectName& name, const std::string& schema) const;
    std::vector<KeyInfo> load_unique_keys(const TableInfo& t) const;
    int schema_version() const;
    // The fact under `key`, from the shared facts when this connection has
    // not changed the catalog in its open transaction, else computed.
    template <typename Key, typename Fact, typename Compute>
    Fact remember(std::map<Key, Fact> CatalogCache::Facts::*facts, const Key& key, Compute compute) const;
    int new_object_id();
    void add_column_row(int object_id, const ColumnInfo& c, int default_id);
    std::optional<int> schema_id(const std::string& name) const;

    sqlite3* db_;
    std::string database_;
    std::shared_ptr<CatalogCache> shared_;
    bool changed_ = false;
    mutable int version_ = -1, temp_version_ = -1;
    mutable bool version_pinned_ = false;  // read inside the open transaction
    mutable unsigned long long version_epoch_ = 0, temp_version_epoch_ = 0;
    const unsigned long long* epoch_ = nullptr;
    StatementCache* statements_ = nullptr;
    mutable sqlite3_stmt* version_query_ = nullptr;
    mutable sqlite3_stmt* temp_version_query_ = nullptr;
    std::string default_schema_ = "dbo";
    TempTables temp_tables_;
    unsigned long long temp_generation_ = 0;
};

// Runs SQL on the connection, throwing TsqlError on failure.
void exec_sql(sqlite3* db, const std::string& sql);

// The names of the sys.* catalog views the stand-in serves ("tables", ...).
std::vector<std::string> catalog_view_names();

}  // namespace sqlserver_standin

// The stand-in's own catalog: schemas, objects, columns with their T-SQL
// types, keys, indexes, defaults and checks, kept in SQLite tables named like
// the sys.* views they serve, plus the connection's #temp tables.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "tsql_ast.h"

namespace sqlserver_standin {

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

class Catalog {
public:
    Catalog(sqlite3* db, std::string database) : db_(db), database_(std::move(database)) {}

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

private:
    int new_object_id();
    void add_column_row(int object_id, const ColumnInfo& c, int default_id);
    std::optional<int> schema_id(const std::string& name) const;

    sqlite3* db_;
    std::string database_;
    std::string default_schema_ = "dbo";
    struct TempTable {
        TableInfo info;
        std::vector<KeyInfo> keys;
        std::vector<std::string> checks;
    };
    std::map<std::string, TempTable> temp_tables_;  // by lower-case name
};

// Runs SQL on the connection, throwing TsqlError on failure.
void exec_sql(sqlite3* db, const std::string& sql);

}  // namespace sqlserver_standin

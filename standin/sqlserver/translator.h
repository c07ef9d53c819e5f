// Translates statements of the syntax tree into SQLite SQL: names resolved
// through the catalog, T-SQL functions mapped onto the stand-in's SQL
// functions, values converted to the target column's type at write sites.
#pragma once

#include <list>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog.h"
#include "tsql_ast.h"

namespace sqlserver_standin {

struct Translation {
    std::string sql;
    // Result column types where the translator knows them all (empty otherwise);
    // an element is empty where it cannot tell.
    std::vector<std::optional<TsqlType>> column_types;
    std::optional<TableInfo> target;  // the table a DML statement writes
    // An INSERT whose VALUES rows are parameters alone reads them as the rows of tsql_rows(?1),
    // a row of the parameters' values for each row of VALUES.
    bool rows_of_parameters = false;
};

// A batch variable as translated SQL sees it: an SQLite parameter number.
struct VariableSlot {
    int param = 0;
    TsqlType type;
    bool operator==(const VariableSlot&) const = default;
};
using VariableMap = std::map<std::string, VariableSlot>;  // by upper-case name with "@"

// A column of a query's result as the enclosing query sees it.
struct QueryColumn {
    std::string name;  // empty for an unnamed expression
    std::optional<TsqlType> type;
    bool untyped_null = false;  // a bare NULL: typed by its UNION partners, int alone
};
// Empty when a star over a source of unknown columns hides them.
using QueryColumns = std::optional<std::vector<QueryColumn>>;

class Translator {
public:
    explicit Translator(const Catalog& catalog, bool identity_insert_target = false,
                        const VariableMap* variables = nullptr)
        : catalog_(catalog), identity_insert_(identity_insert_target), variables_(variables) {}

    Translation select(const Select& s);
    Translation insert(const Statement& st);
    Translation update(const Statement& st);
    Translation remove(const Statement& st);
    // MERGE, and UPDATE with OUTPUT: one row per target row to act on (or
    // source row to insert) with the chosen clause, the values it writes
    // (converted to the columns), `refs` (the OUTPUT's source references) and
    // the target row's values before the statement.
    struct MatchSet {
        std::string sql;
        std::optional<TableInfo> target;
        // Columns: 0 the target row (rowid, or z_rv of a view; NULL when
        // unmatched), 1 the clause (1-based; 0 none), then each clause's values.
        std::vector<int> value_offset;
        std::vector<std::vector<const ColumnInfo*>> clause_columns;
        int refs_offset = 0;
        int old_offset = 0;
    };
    MatchSet match_set(const Statement& st, const std::vector<const Expr*>& refs);
    // The type an expression has where the translator can tell.
    std::optional<TsqlType> expression_type(const Expr& e) { return type_of(e); }
    // An expression over the columns of one table (defaults, checks, EXEC arguments); with
    // `converted_to`, one whose value is converted to that type next (a default).
    std::string table_expr(const Expr& e, const TableInfo* table, const TsqlType* converted_to = nullptr);
    // Whether a name translated so far was a #temp table's.
    bool used_temp_tables() const { return used_temp_tables_; }

    struct Source {
        std::string alias;
        std::optional<TableInfo> table;
        QueryColumns columns;  // of a derived table or CTE
    };
    struct Frame {
        std::vector<Source> sources;
    };

private:
    std::string select_sql(const Select& s, QueryColumns* columns);
    // `convert_to`: the types of a union the core's values are converted to.
    std::string core_sql(const SelectCore& c, bool wrap_top, QueryColumns* columns,
                         const std::vector<QueryColumn>* convert_to = nullptr);
    std::string from_sql(const TableRef& r, Frame& frame);
    std::string expr(const Expr& e);
    // Not const: a scalar subquery is typed by translating it.
    std::optional<TsqlType> type_of(const Expr& e);
    // The type CASE and COALESCE give the values of `args`, bare NULLs aside.
    std::optional<TsqlType> common_type_of(const std::vector<const Expr*>& args);
    // `sql` (the value of `parts` combined) converted to `type` where a part
    // has another type, so that values come in the type the result is described with.
    std::string in_type(const std::string& sql, const std::vector<const Expr*>& parts,
                        const std::optional<TsqlType>& type);
    std::string func(const Expr& e);
    // An expression whose value is converted to `type` next (stored or cast): an exact numeric
    // literal comes as its digits, so that the conversion reads them without a double's rounding.
    std::string converted(const Expr& e, const TsqlType& type);
    std::string cast_sql(const Expr& cast);
    // " LIMIT n" of a TOP: a value that is not a literal is checked when the statement runs.
    std::string limit(const Expr& top);
    std::string store(const std::string& value_sql, const ColumnInfo& col);
    std::optional<TableInfo> resolve(const ObjectName& n);
    std::string ctes_sql(const std::vector<Cte>& ctes);
    // The table a DELETE or UPDATE names by its alias inside the FROM clause.
    std::string dml_from_target(const Statement& st, std::optional<TableInfo>& target, std::string& alias);

    const Catalog& catalog_;
    bool identity_insert_;
    const VariableMap* variables_;
    bool used_temp_tables_ = false;
    std::vector<Frame> frames_;
    struct CteInfo {
        std::string name;
        QueryColumns columns;
    };
    std::vector<std::vector<CteInfo>> ctes_;  // CTEs in scope
    std::map<const Select*, std::optional<TsqlType>> subquery_types_;
    // Queries nest to query_depth_; the one at result_depth_ gives the result set.
    int query_depth_ = 0, result_depth_ = 0;
};

// Translations of the nodes of shared batches (Batch::shared_id) on one
// connection, the most recently used kept. One holds for the schema version
// it was made at (a version this connection's own uncommitted changes did not
// make), the #temp tables' generation if it names any, and the batch
// variables as they were.
class TranslationCache {
public:
    struct Key {
        unsigned long long batch = 0;
        const void* node = nullptr;
        bool identity_insert = false;
        bool operator==(const Key&) const = default;
    };
    struct Made {
        int schema_version = -1;
        std::optional<unsigned long long> temp_generation;  // when it names #temp tables
        VariableMap variables;
    };
    // The kept translation of `key` if it holds now.
    const Translation* find(const Key& key, int schema_version, unsigned long long temp_generation,
                            const VariableMap& variables);
    void keep(const Key& key, Made made, const Translation& translation);

private:
    struct KeyHash {
        size_t operator()(const Key& k) const;
    };
    struct Entry {
        Key key;
        Made made;
        Translation translation;
    };
    static constexpr size_t kKept = 256;
    std::list<Entry> entries_;  // most recent first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> by_key_;
};

std::string quote_ident(const std::string& name);
std::string quote_text(const std::string& text);

}  // namespace sqlserver_standin

// The typed syntax tree of the T-SQL subset.
#pragma once

#include <strings.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tsql_types.h"

namespace sqlserver_standin {

struct Select;
struct Expr;
using ExprP = std::unique_ptr<Expr>;
using SelectP = std::unique_ptr<Select>;

enum class ExprKind {
    Number,     // text = digits as written
    String,     // text = value
    NString,
    Hex,        // text = hex digits
    Null,
    Param,      // param = zero-based position in the batch
    Column,     // names = multi-part name
    Variable,   // text = "@@ROWCOUNT", "@x"
    Unary,      // text = "-", "+", "NOT"; args[0]
    Binary,     // text = operator ("+", "=", "AND", ...); args[0], args[1]
    Func,       // text = upper-case name; args; distinct; star (COUNT(*))
    Cast,       // args[0]; type
    Case,       // args: [operand?] when/then pairs [else]; has_operand, has_else
    Exists,     // sub
    InList,     // args[0] IN args[1..]; negated
    InSelect,   // args[0] IN sub; negated
    Between,    // args[0..2]; negated
    Like,       // args[0] LIKE args[1]; negated
    IsNull,     // args[0]; negated = IS NOT NULL
    Subquery,   // sub
};

struct Expr {
    ExprKind kind;
    std::string text;
    std::vector<std::string> names;
    std::vector<ExprP> args;
    SelectP sub;
    TsqlType type;
    int param = -1;
    bool negated = false;
    bool distinct = false;
    bool star = false;
    bool has_operand = false;
    bool has_else = false;
};

// Names (of objects, columns, aliases) compare without regard to case, as under
// SQL Server's default collation.
inline bool iequals(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// A possibly schema-qualified object name: [db.]schema.name, or #temp.
struct ObjectName {
    std::string database;
    std::string schema;  // empty = the default schema
    std::string name;
    bool temp() const { return !name.empty() && name[0] == '#'; }
};

enum class JoinKind { None, Inner, Left, Right, Full, Cross };

struct TableRef {
    JoinKind join = JoinKind::None;  // None: a leaf (named or derived)
    ObjectName object;
    SelectP derived;
    std::string alias;
    std::unique_ptr<TableRef> left, right;
    ExprP on;
};
using TableRefP = std::unique_ptr<TableRef>;

struct SelectItem {
    ExprP expr;  // null for * and q.*
    std::string alias;
    bool star = false;
    std::string star_qualifier;
    std::string assign;  // "@x" of SELECT @x = expr
};

struct SelectCore {
    bool distinct = false;
    ExprP top;
    std::vector<SelectItem> items;
    TableRefP from;
    ExprP where;
    std::vector<ExprP> group_by;
    ExprP having;
};

struct OrderItem {
    ExprP expr;
    bool desc = false;
};

struct Cte {
    std::string name;
    std::vector<std::string> columns;
    SelectP query;
};

struct Select {
    std::vector<Cte> ctes;
    std::vector<SelectCore> cores;
    std::vector<std::string> set_ops;  // between cores: "UNION", "UNION ALL", "EXCEPT", "INTERSECT"
    std::vector<OrderItem> order_by;
};

struct ColumnDef {
    std::string name;
    TsqlType type;
    std::string collation;
    std::optional<bool> nullable;
    bool identity = false;
    long long identity_seed = 1, identity_increment = 1;
    ExprP default_value;
    std::string default_name;
};

enum class ConstraintKind { PrimaryKey, Unique, ForeignKey, Check };

struct ConstraintDef {
    ConstraintKind kind;
    std::string name;  // empty: the system names it
    std::vector<std::string> columns;
    std::vector<bool> descending;
    ObjectName ref_table;
    std::vector<std::string> ref_columns;
    int on_delete = 0, on_update = 0;  // 0 NO ACTION, 1 CASCADE, 2 SET NULL, 3 SET DEFAULT
    ExprP check;
    std::string check_text;  // as written, for the stored definition
    std::string column;      // a column constraint: the column it sits on
};

enum class StmtKind {
    Select,
    Insert,
    Update,
    Delete,
    CreateSchema,
    CreateTable,
    CreateIndex,
    DropTable,
    AlterTableAdd,  // target, column_defs[0]
    SetOption,      // SET NOCOUNT / DEADLOCK_PRIORITY / ...: text = option, value
    SetIdentityInsert,
    BeginTran,
    CommitTran,
    RollbackTran,
    SaveTran,
    Exec,
    Merge,          // MERGE target USING from ON where, merge_clauses, output
    AlterTableDropColumn,  // target; columns
    AlterTableCheck,       // target; on = CHECK (else NOCHECK); unique = WITH CHECK
    Truncate,              // target
    Declare,        // variables
    SetVariable,    // SET @x = expr: set[0]
    If,             // where = condition; body; else_body
    While,          // where = condition; body
    Block,          // BEGIN ... END: body
    DeclareCursor,  // name; select
    OpenCursor,
    FetchCursor,    // name; columns = the variables INTO
    CloseCursor,
    DeallocateCursor,
};

struct VariableDecl {
    std::string name;  // upper case, with "@"
    TsqlType type;
    ExprP init;
};

struct ExecArg {
    std::string name;  // "@txid", or empty for a positional argument
    ExprP value;
    bool output = false;
};

enum class MergeWhen { Matched, NotMatchedByTarget, NotMatchedBySource };
enum class MergeAction { Update, Delete, Insert };

struct MergeClause {
    MergeWhen when = MergeWhen::Matched;
    ExprP condition;  // WHEN ... AND condition
    MergeAction action = MergeAction::Update;
    std::vector<std::pair<std::string, ExprP>> set;  // UPDATE SET
    std::vector<std::string> columns;                // INSERT (columns); empty = every column
    std::vector<ExprP> values;
    bool default_values = false;
};

// OUTPUT items [INTO target [(columns)]] of MERGE and UPDATE.
struct OutputClause {
    std::vector<SelectItem> items;  // star items: star_qualifier INSERTED or DELETED
    bool into = false;
    ObjectName target;
    std::vector<std::string> columns;
};

struct Statement {
    Statement() = default;
    explicit Statement(StmtKind k) : kind(k) {}

    StmtKind kind = StmtKind::Select;
    std::string text;  // the statement's source text
    SelectP select;    // Select; Insert ... SELECT
    ObjectName target;
    std::string target_alias;
    std::vector<std::string> columns;              // Insert column list
    std::vector<std::vector<ExprP>> values;        // Insert VALUES rows
    bool default_values = false;
    std::vector<std::pair<std::string, ExprP>> set;  // Update
    TableRefP from;                                  // Update/Delete ... FROM
    ExprP where;
    ExprP top;
    // DDL
    std::vector<ColumnDef> column_defs;
    std::vector<ConstraintDef> constraints;
    std::string name;  // schema, index, savepoint, option
    bool unique = false;
    std::vector<std::pair<std::string, bool>> index_columns;  // name, descending
    std::string value;                                     // SET option value
    bool on = false;
    std::vector<ExecArg> exec_args;
    std::vector<Cte> ctes;  // DELETE after WITH
    std::vector<VariableDecl> declarations;
    std::vector<Statement> body, else_body;
    std::vector<MergeClause> merge_clauses;
    std::shared_ptr<OutputClause> output;
    bool update_locks = false;  // a table hint asks for update or exclusive locks
};

struct Batch {
    std::vector<Statement> statements;
    int param_count = 0;
    // Unique in the process for a batch parsed once and shared, whose nodes
    // stay as they are while it lives (what was derived from them may be
    // kept under it); 0 for others.
    unsigned long long shared_id = 0;
};

}  // namespace sqlserver_standin

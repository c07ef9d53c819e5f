#include "tsql_parser.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <strings.h>
#include <unordered_map>

#include "tsql_error.h"
#include "tsql_lexer.h"

namespace sqlserver_standin {

namespace {

const char* const kReserved[] = {
    "ADD", "ALL", "ALTER", "AND", "AS", "ASC", "BEGIN", "BETWEEN", "BY", "CASE", "CHECK", "CLOSE",
    "COMMIT", "CONSTRAINT", "CREATE", "CROSS", "CURSOR", "DEALLOCATE", "DECLARE", "DEFAULT", "DELETE",
    "DESC", "DISTINCT", "DROP", "ELSE", "END", "EXCEPT", "EXEC", "EXECUTE", "EXISTS", "FETCH", "FOR",
    "FOREIGN", "FROM", "FULL", "GROUP", "HAVING", "IF", "IN", "INNER", "INSERT", "INTERSECT", "INTO",
    "IS", "JOIN", "KEY", "LEFT", "LIKE", "MERGE", "NOT", "NULL", "ON", "OPEN", "OPTION", "OR", "ORDER",
    "OUTER", "OUTPUT", "PRIMARY", "REFERENCES", "RIGHT", "ROLLBACK", "SAVE", "SELECT", "SET", "THEN",
    "TOP", "TRAN", "TRANSACTION", "TRUNCATE", "UNION", "UNIQUE", "UPDATE", "USING", "VALUES", "WHEN",
    "WHERE", "WHILE", "WITH"};

// A number of more digits than a decimal holds is no number SQL Server reads.
const std::string& check_precision(const std::string& number) {
    if (number.find_first_of("eE") != std::string::npos) return number;
    size_t digits = 0;
    bool leading = true;
    for (char c : number) {
        if (c == '.') {
            leading = false;
            continue;
        }
        if (leading && c == '0') continue;
        leading = false;
        ++digits;
    }
    if (digits > 38)
        throw TsqlError(1007, "42000",
                        "The number '" + number + "' is out of the range for numeric representation (maximum "
                        "precision 38).",
                        15);
    return number;
}

// SQL Server's limits on a column's declared type; `ordinal` counts from 1.
void check_column_type(const ColumnDef& col, size_t ordinal) {
    const TsqlType& t = col.type;
    if ((t.name == "char" || t.name == "varchar" || t.is_binary()) && t.length > 8000)
        throw TsqlError(131, "42000",
                        "The size (" + std::to_string(t.length) + ") given to the column '" + col.name +
                            "' exceeds the maximum allowed for any data type (8000).",
                        15);
    if ((t.name == "nchar" || t.name == "nvarchar") && t.length > 4000)
        throw TsqlError(2717, "42000",
                        "The size (" + std::to_string(t.length) + ") given to the parameter '" + col.name +
                            "' exceeds the maximum allowed (4000).");
    if ((t.name == "decimal" || t.name == "numeric") && t.precision > 38)
        throw TsqlError(2750, "42000",
                        "Column or parameter #" + std::to_string(ordinal) + ": Specified column precision " +
                            std::to_string(t.precision) + " is greater than the maximum precision of 38.");
}

bool is_reserved(const Token& t) {
    if (t.kind != Tok::Ident) return false;
    for (const char* r : kReserved)
        if (t.kw(r)) return true;
    return false;
}

// SQL Server's limits on one request and one statement.
constexpr int kMaxParameters = 2100;
constexpr size_t kMaxValuesRows = 1000;
constexpr size_t kMaxTempTableName = 116;
constexpr size_t kMaxColumns = 1024;
// How deep expressions and queries may nest: SQL Server refuses deeper texts with 191 where
// its parser runs out of stack; here the limit keeps the recursive parser's stack bounded.
constexpr int kMaxNesting = 256;

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

class Parser {
public:
    explicit Parser(const std::string& sql) : sql_(sql), toks_(tokenize(sql)) {}

    Batch batch() {
        Batch b;
        while (!peek().is(Tok::End)) {
            if (peek().op(";")) {
                ++i_;
                continue;
            }
            size_t start = peek().pos;
            Statement st = hinted_statement();
            size_t end = peek().pos;
            st.text = sql_.substr(start, end - start);
            b.statements.push_back(std::move(st));
            if (!peek().is(Tok::End) && !peek().op(";") && !starts_statement(peek())) fail();
        }
        if (params_ > kMaxParameters)
            throw TsqlError(8003, "42000",
                            "The incoming request has too many parameters. The server supports a maximum of 2100 "
                            "parameters. Reduce the number of parameters and resend the request.");
        b.param_count = params_;
        return b;
    }

private:
    const std::string& sql_;
    std::vector<Token> toks_;
    size_t i_ = 0;
    int params_ = 0;
    int depth_ = 0;  // of nested expressions and queries being read
    bool update_locks_ = false;  // the statement being read has an UPDLOCK, XLOCK or TABLOCKX hint

    const Token& peek(size_t ahead = 0) const { return toks_[std::min(i_ + ahead, toks_.size() - 1)]; }
    const Token& next() { return toks_[std::min(i_++, toks_.size() - 1)]; }

    [[noreturn]] void fail() const {
        const Token& t = peek();
        if (t.is(Tok::End)) throw syntax_error(i_ > 0 ? toks_[i_ - 1].text : "");
        std::string near = t.text;
        if (t.is(Tok::String) || t.is(Tok::NString)) near = t.text;
        throw syntax_error(near);
    }
    bool accept_kw(const char* w) {
        if (peek().kw(w)) {
            ++i_;
            return true;
        }
        return false;
    }
    bool accept_op(const char* o) {
        if (peek().op(o)) {
            ++i_;
            return true;
        }
        return false;
    }
    void expect_kw(const char* w) {
        if (!accept_kw(w)) fail();
    }
    void expect_op(const char* o) {
        if (!accept_op(o)) fail();
    }

    static bool starts_statement(const Token& t) {
        for (const char* w : {"SELECT", "WITH", "INSERT", "UPDATE", "DELETE", "CREATE", "DROP", "ALTER", "SET", "BEGIN",
                              "COMMIT", "ROLLBACK", "SAVE", "EXEC", "EXECUTE", "MERGE", "DECLARE", "IF", "WHILE",
                              "TRUNCATE", "OPEN", "FETCH", "CLOSE", "DEALLOCATE"})
            if (t.kw(w)) return true;
        return false;
    }

    std::string identifier() {
        const Token& t = peek();
        if (t.is(Tok::QuotedIdent) || (t.is(Tok::Ident) && !is_reserved(t))) {
            ++i_;
            return t.text;
        }
        fail();
    }
    // Identifiers that may also be keywords in this position (column names after a dot).
    std::string any_identifier() {
        const Token& t = peek();
        if (t.is(Tok::QuotedIdent) || t.is(Tok::Ident)) {
            ++i_;
            return t.text;
        }
        fail();
    }

    ObjectName object_name() {
        std::vector<std::string> parts{any_identifier()};
        while (peek().op(".")) {
            ++i_;
            if (peek().op(".")) {  // tempdb..#t: the empty schema
                parts.emplace_back();
                continue;
            }
            parts.push_back(any_identifier());
        }
        ObjectName n;
        if (parts.size() > 3) fail();
        n.name = parts.back();
        if (parts.size() >= 2) n.schema = parts[parts.size() - 2];
        if (parts.size() == 3) n.database = parts[0];
        return n;
    }

    // ---- statements ----

    // One statement with its source text; nested statements of IF, WHILE and
    // BEGIN ... END keep their own texts (fault injection matches on them).
    Statement statement_with_text() {
        while (accept_op(";")) {
        }
        size_t start = peek().pos;
        Statement st = hinted_statement();
        st.text = sql_.substr(start, peek().pos - start);
        return st;
    }

    // A statement with the lock hints its tables carry.
    Statement hinted_statement() {
        Nested level(depth_);
        bool outer = update_locks_;
        update_locks_ = false;
        Statement st = statement();
        st.update_locks = update_locks_;
        update_locks_ = outer;
        return st;
    }

    Statement block() {
        Statement b{StmtKind::Block};
        for (;;) {
            while (accept_op(";")) {
            }
            if (accept_kw("END")) return b;
            if (peek().is(Tok::End)) fail();
            b.body.push_back(statement_with_text());
        }
    }

    // The statement governed by IF, ELSE or WHILE.
    Statement controlled() {
        if (peek().kw("BEGIN") && !peek(1).kw("TRAN") && !peek(1).kw("TRANSACTION")) {
            size_t start = peek().pos;
            ++i_;
            Statement b = block();
            b.text = sql_.substr(start, peek().pos - start);
            return b;
        }
        return statement_with_text();
    }

    Statement declare() {
        expect_kw("DECLARE");
        if (!peek().is(Tok::Variable)) {
            Statement s{StmtKind::DeclareCursor};
            s.name = identifier();
            expect_kw("CURSOR");
            while (accept_kw("LOCAL") || accept_kw("FAST_FORWARD") || accept_kw("FORWARD_ONLY") ||
                   accept_kw("READ_ONLY") || accept_kw("STATIC")) {
            }
            expect_kw("FOR");
            s.select = with_statement_select().select;
            return s;
        }
        Statement s{StmtKind::Declare};
        do {
            if (!peek().is(Tok::Variable)) fail();
            VariableDecl d;
            d.name = upper(next().text);
            accept_kw("AS");
            d.type = type_name();
            if (accept_op("=")) d.init = expr();
            s.declarations.push_back(std::move(d));
        } while (accept_op(","));
        return s;
    }

    Statement cursor_statement() {
        const Token& t = next();
        Statement s{t.kw("OPEN") ? StmtKind::OpenCursor : t.kw("CLOSE") ? StmtKind::CloseCursor
                    : t.kw("DEALLOCATE") ? StmtKind::DeallocateCursor : StmtKind::FetchCursor};
        if (s.kind == StmtKind::FetchCursor) {
            expect_kw("NEXT");
            expect_kw("FROM");
        }
        s.name = identifier();
        if (s.kind == StmtKind::FetchCursor && accept_kw("INTO")) {
            do {
                if (!peek().is(Tok::Variable)) fail();
                s.columns.push_back(upper(next().text));
            } while (accept_op(","));
        }
        return s;
    }

    // SET a = x, b = y of UPDATE and of a MERGE clause.
    std::vector<std::pair<std::string, ExprP>> set_list() {
        std::vector<std::pair<std::string, ExprP>> set;
        do {
            std::vector<std::string> parts{identifier()};
            while (accept_op(".")) parts.push_back(any_identifier());
            expect_op("=");
            set.emplace_back(parts.back(), expr());
        } while (accept_op(","));
        return set;
    }

    // OUTPUT items [INTO target [(columns)]]
    std::shared_ptr<OutputClause> output_clause() {
        if (!accept_kw("OUTPUT")) return nullptr;
        auto out = std::make_shared<OutputClause>();
        do {
            SelectItem item;
            const Token& t = peek();
            if ((t.kw("INSERTED") || t.kw("DELETED")) && peek(1).op(".") && peek(2).op("*")) {
                item.star = true;
                item.star_qualifier = upper(t.text);
                i_ += 3;
            } else {
                item.expr = expr();
                if (accept_kw("AS")) item.alias = any_identifier();
                else if (peek().is(Tok::QuotedIdent) || (peek().is(Tok::Ident) && !is_reserved(peek())))
                    item.alias = next().text;
            }
            out->items.push_back(std::move(item));
        } while (accept_op(","));
        if (accept_kw("INTO")) {
            out->into = true;
            out->target = object_name();
            if (accept_op("(")) {
                do out->columns.push_back(identifier());
                while (accept_op(","));
                expect_op(")");
            }
        }
        return out;
    }

    Statement merge() {
        expect_kw("MERGE");
        accept_kw("INTO");
        Statement s{StmtKind::Merge};
        s.target = object_name();
        table_hints();
        if (accept_kw("AS")) s.target_alias = identifier();
        else if (peek().is(Tok::QuotedIdent) || (peek().is(Tok::Ident) && !is_reserved(peek())))
            s.target_alias = next().text;
        expect_kw("USING");
        s.from = from_clause();
        expect_kw("ON");
        s.where = expr();
        while (accept_kw("WHEN")) {
            MergeClause c;
            if (accept_kw("NOT")) {
                expect_kw("MATCHED");
                c.when = MergeWhen::NotMatchedByTarget;
                if (accept_kw("BY")) {
                    if (accept_kw("SOURCE")) c.when = MergeWhen::NotMatchedBySource;
                    else expect_kw("TARGET");
                }
            } else {
                expect_kw("MATCHED");
            }
            if (accept_kw("AND")) c.condition = expr();
            expect_kw("THEN");
            if (c.when == MergeWhen::NotMatchedByTarget) {
                expect_kw("INSERT");
                c.action = MergeAction::Insert;
                if (accept_kw("DEFAULT")) {
                    expect_kw("VALUES");
                    c.default_values = true;
                } else {
                    if (accept_op("(")) {
                        do c.columns.push_back(identifier());
                        while (accept_op(","));
                        expect_op(")");
                    }
                    expect_kw("VALUES");
                    c.values = value_row();
                }
            } else if (accept_kw("DELETE")) {
                c.action = MergeAction::Delete;
            } else {
                expect_kw("UPDATE");
                expect_kw("SET");
                c.set = set_list();
            }
            s.merge_clauses.push_back(std::move(c));
        }
        if (s.merge_clauses.empty()) fail();
        s.output = output_clause();
        option_clause();
        return s;
    }

    Statement statement() {
        const Token& t = peek();
        if (t.kw("DECLARE")) return declare();
        if (t.kw("OPEN") || t.kw("FETCH") || t.kw("CLOSE") || t.kw("DEALLOCATE")) return cursor_statement();
        if (t.kw("MERGE")) return merge();
        if (t.kw("IF") || t.kw("WHILE")) {
            Statement s{t.kw("IF") ? StmtKind::If : StmtKind::While};
            ++i_;
            s.where = expr();
            s.body.push_back(controlled());
            if (s.kind == StmtKind::If) {
                size_t save = i_;
                while (accept_op(";")) {
                }
                if (accept_kw("ELSE")) s.else_body.push_back(controlled());
                else i_ = save;
            }
            return s;
        }
        if (t.kw("BEGIN") && !peek(1).kw("TRAN") && !peek(1).kw("TRANSACTION")) {
            ++i_;
            return block();
        }
        if (t.kw("SELECT") || t.kw("WITH")) return with_statement();
        if (t.kw("INSERT")) return insert({});
        if (t.kw("UPDATE")) return update();
        if (t.kw("DELETE")) return delete_stmt();
        if (t.kw("CREATE")) return create();
        if (t.kw("DROP")) {
            ++i_;
            expect_kw("TABLE");
            Statement s{StmtKind::DropTable};
            s.target = object_name();
            return s;
        }
        if (t.kw("ALTER")) {
            // ALTER TABLE t ADD c type [COLLATE x] [NULL], DROP COLUMN a, b,
            // [WITH CHECK] CHECK / NOCHECK CONSTRAINT ALL; nothing else.
            ++i_;
            expect_kw("TABLE");
            Statement s{StmtKind::AlterTableAdd};
            s.target = object_name();
            if (accept_kw("DROP")) {
                s.kind = StmtKind::AlterTableDropColumn;
                expect_kw("COLUMN");
                do s.columns.push_back(identifier());
                while (accept_op(","));
                return s;
            }
            if (peek().kw("WITH") || peek().kw("CHECK") || peek().kw("NOCHECK")) {
                s.kind = StmtKind::AlterTableCheck;
                if (accept_kw("WITH")) {
                    expect_kw("CHECK");
                    s.unique = true;
                }
                s.on = accept_kw("CHECK");
                if (!s.on) expect_kw("NOCHECK");
                expect_kw("CONSTRAINT");
                expect_kw("ALL");
                return s;
            }
            expect_kw("ADD");
            ColumnDef col;
            col.name = identifier();
            col.type = type_name();
            if (accept_kw("COLLATE")) col.collation = any_identifier();
            accept_kw("NULL");
            check_column_type(col, 1);
            s.column_defs.push_back(std::move(col));
            return s;
        }
        if (t.kw("SET")) return set_option();
        if (t.kw("TRUNCATE")) {
            ++i_;
            expect_kw("TABLE");
            Statement s{StmtKind::Truncate};
            s.target = object_name();
            return s;
        }
        if (t.kw("BEGIN")) {
            ++i_;
            if (!accept_kw("TRAN") && !accept_kw("TRANSACTION")) fail();
            Statement s{StmtKind::BeginTran};
            if (peek().is(Tok::Ident) && !is_reserved(peek())) s.name = next().text;
            return s;
        }
        if (t.kw("COMMIT") || t.kw("ROLLBACK") || t.kw("SAVE")) {
            StmtKind k = t.kw("COMMIT") ? StmtKind::CommitTran : t.kw("SAVE") ? StmtKind::SaveTran : StmtKind::RollbackTran;
            ++i_;
            bool tran = accept_kw("TRAN") || accept_kw("TRANSACTION");
            if (k == StmtKind::SaveTran && !tran) fail();
            Statement s{k};
            if (tran && (peek().is(Tok::QuotedIdent) || (peek().is(Tok::Ident) && !is_reserved(peek()))))
                s.name = next().text;
            if (k == StmtKind::SaveTran && s.name.empty()) fail();
            return s;
        }
        if (t.kw("EXEC") || t.kw("EXECUTE")) return exec();
        fail();
    }

    Statement with_statement() {
        std::vector<Cte> ctes;
        if (accept_kw("WITH")) {
            do {
                Cte c;
                c.name = identifier();
                if (accept_op("(")) {
                    do c.columns.push_back(identifier());
                    while (accept_op(","));
                    expect_op(")");
                }
                expect_kw("AS");
                expect_op("(");
                c.query = select();
                expect_op(")");
                ctes.push_back(std::move(c));
            } while (accept_op(","));
        }
        if (peek().kw("INSERT")) return insert(std::move(ctes));
        if (peek().kw("MERGE") && !ctes.empty()) {
            Statement m = merge();
            m.ctes = std::move(ctes);
            return m;
        }
        if (peek().kw("DELETE") && !ctes.empty()) {
            Statement d = delete_stmt();
            d.ctes = std::move(ctes);
            return d;
        }
        if (!peek().kw("SELECT")) fail();
        Statement s{StmtKind::Select};
        s.select = select();
        s.select->ctes = std::move(ctes);
        option_clause();
        return s;
    }

    void option_clause() {
        if (!accept_kw("OPTION")) return;
        expect_op("(");
        for (int depth = 1; depth > 0;) {
            const Token& t = next();
            if (t.is(Tok::End)) fail();
            if (t.op("(")) ++depth;
            if (t.op(")")) --depth;
        }
    }

    Statement insert(std::vector<Cte> ctes) {
        expect_kw("INSERT");
        accept_kw("INTO");
        Statement s{StmtKind::Insert};
        s.target = object_name();
        if (peek().op("(") && !peek(1).kw("SELECT") && !peek(1).kw("WITH")) {
            ++i_;
            do s.columns.push_back(identifier());
            while (accept_op(","));
            expect_op(")");
        }
        if (accept_kw("VALUES")) {
            do s.values.push_back(value_row());
            while (accept_op(","));
            if (s.values.size() > kMaxValuesRows)
                throw TsqlError(10738, "42000",
                                "The number of row value expressions in the INSERT statement exceeds the maximum "
                                "allowed number of 1000 row values.",
                                15);
        } else if (accept_kw("DEFAULT")) {
            expect_kw("VALUES");
            s.default_values = true;
        } else if (peek().kw("SELECT") || peek().kw("WITH") || peek().op("(")) {
            Statement inner = with_statement_select();
            s.select = std::move(inner.select);
        } else {
            fail();
        }
        if (s.select)
            for (auto& c : ctes) s.select->ctes.insert(s.select->ctes.begin(), std::move(c));
        else if (!ctes.empty())
            fail();
        option_clause();
        return s;
    }

    Statement with_statement_select() {
        if (peek().kw("WITH")) {
            Statement w = with_statement();
            if (w.kind != StmtKind::Select) fail();
            return w;
        }
        Statement s{StmtKind::Select};
        s.select = select();
        return s;
    }

    // "(" expr, ... ")" of a VALUES list.
    std::vector<ExprP> value_row() {
        expect_op("(");
        std::vector<ExprP> row;
        do row.push_back(expr());
        while (accept_op(","));
        expect_op(")");
        return row;
    }

    // [TOP (n)] [FROM] target [WITH (hints)], as UPDATE and DELETE begin.
    void dml_target(Statement& s, bool from_word) {
        if (accept_kw("TOP")) s.top = top_value();
        if (from_word) accept_kw("FROM");
        s.target = object_name();
        table_hints();
    }

    // [FROM ...] [WHERE ...] [OPTION (...)], as UPDATE and DELETE end.
    Statement dml_tail(Statement s) {
        if (accept_kw("FROM")) s.from = from_clause();
        if (accept_kw("WHERE")) s.where = expr();
        option_clause();
        return s;
    }

    Statement update() {
        expect_kw("UPDATE");
        Statement s{StmtKind::Update};
        dml_target(s, false);
        expect_kw("SET");
        s.set = set_list();
        s.output = output_clause();
        return dml_tail(std::move(s));
    }

    Statement delete_stmt() {
        expect_kw("DELETE");
        Statement s{StmtKind::Delete};
        dml_target(s, true);
        return dml_tail(std::move(s));
    }

    Statement set_option() {
        expect_kw("SET");
        Statement s{StmtKind::SetOption};
        if (peek().is(Tok::Variable)) {
            s.kind = StmtKind::SetVariable;
            std::string name = upper(next().text);
            expect_op("=");
            s.set.emplace_back(name, expr());
            return s;
        }
        if (accept_kw("IDENTITY_INSERT")) {
            s.kind = StmtKind::SetIdentityInsert;
            s.target = object_name();
            if (accept_kw("ON")) s.on = true;
            else expect_kw("OFF");
            return s;
        }
        if (peek().kw("TRANSACTION")) {
            ++i_;
            expect_kw("ISOLATION");
            expect_kw("LEVEL");
            s.name = "TRANSACTION ISOLATION LEVEL";
            while (peek().is(Tok::Ident) && !starts_statement(peek())) s.value += upper(next().text) + " ";
            return s;
        }
        static const char* const options[] = {"NOCOUNT", "XACT_ABORT", "DEADLOCK_PRIORITY", "ANSI_NULLS",
                                               "QUOTED_IDENTIFIER", "LOCK_TIMEOUT"};
        for (const char* o : options) {
            if (accept_kw(o)) {
                s.name = o;
                const Token& v = next();
                if (!(v.is(Tok::Ident) || v.is(Tok::Number) || (v.op("-") && peek().is(Tok::Number)))) fail();
                s.value = v.op("-") ? "-" + next().text : upper(v.text);
                s.on = s.value == "ON";
                return s;
            }
        }
        fail();
    }

    Statement exec() {
        ++i_;
        Statement s{StmtKind::Exec};
        s.target = object_name();
        if (peek().is(Tok::End) || peek().op(";") || starts_statement(peek())) return s;
        do {
            ExecArg a;
            if (peek().is(Tok::Variable) && peek(1).op("=")) {
                a.name = next().text;
                ++i_;
            }
            a.value = expr();
            if (accept_kw("OUTPUT") || accept_kw("OUT")) a.output = true;
            s.exec_args.push_back(std::move(a));
        } while (accept_op(","));
        return s;
    }

    // ---- DDL ----

    Statement create() {
        expect_kw("CREATE");
        if (accept_kw("SCHEMA")) {
            Statement s{StmtKind::CreateSchema};
            s.name = identifier();
            if (accept_kw("AUTHORIZATION")) identifier();
            return s;
        }
        if (accept_kw("TABLE")) return create_table();
        Statement s{StmtKind::CreateIndex};
        s.unique = accept_kw("UNIQUE");
        if (!accept_kw("CLUSTERED")) accept_kw("NONCLUSTERED");
        expect_kw("INDEX");
        s.name = identifier();
        expect_kw("ON");
        s.target = object_name();
        expect_op("(");
        do {
            std::string c = identifier();
            bool desc = accept_kw("DESC");
            if (!desc) accept_kw("ASC");
            s.index_columns.emplace_back(c, desc);
        } while (accept_op(","));
        expect_op(")");
        return s;
    }

    int referential_action() {
        if (accept_kw("CASCADE")) return 1;
        if (accept_kw("NO")) {
            expect_kw("ACTION");
            return 0;
        }
        expect_kw("SET");
        if (accept_kw("NULL")) return 2;
        expect_kw("DEFAULT");
        return 3;
    }

    void references(ConstraintDef& c) {
        expect_kw("REFERENCES");
        c.ref_table = object_name();
        if (accept_op("(")) {
            do c.ref_columns.push_back(identifier());
            while (accept_op(","));
            expect_op(")");
        }
        while (peek().kw("ON")) {
            ++i_;
            if (accept_kw("DELETE")) c.on_delete = referential_action();
            else if (accept_kw("UPDATE")) c.on_update = referential_action();
            else fail();
        }
    }

    void column_list(ConstraintDef& c) {
        expect_op("(");
        do {
            c.columns.push_back(identifier());
            bool desc = accept_kw("DESC");
            if (!desc) accept_kw("ASC");
            c.descending.push_back(desc);
        } while (accept_op(","));
        expect_op(")");
    }

    // A constraint after CONSTRAINT name or at column level; false if none follows.
    bool constraint_body(ConstraintDef& c, const std::string& column) {
        if (accept_kw("PRIMARY")) {
            expect_kw("KEY");
            c.kind = ConstraintKind::PrimaryKey;
        } else if (accept_kw("UNIQUE")) {
            c.kind = ConstraintKind::Unique;
        } else if (peek().kw("FOREIGN") || peek().kw("REFERENCES")) {
            c.kind = ConstraintKind::ForeignKey;
            if (accept_kw("FOREIGN")) {
                expect_kw("KEY");
                column_list(c);
            } else {
                c.columns = {column};
            }
            references(c);
            return true;
        } else if (accept_kw("CHECK")) {
            c.kind = ConstraintKind::Check;
            expect_op("(");
            c.check = expr();
            expect_op(")");
            c.column = column;
            return true;
        } else {
            return false;
        }
        if (!accept_kw("CLUSTERED")) accept_kw("NONCLUSTERED");
        if (peek().op("(")) column_list(c);
        else if (!column.empty()) c.columns = {column}, c.descending = {false};
        else fail();
        return true;
    }

    Statement create_table() {
        Statement s{StmtKind::CreateTable};
        s.target = object_name();
        if (s.target.temp() && utf16_length(s.target.name) > kMaxTempTableName)
            throw TsqlError(193, "42000",
                            "The object or column name starting with '" + s.target.name +
                                "' is too long. The maximum length is 116 characters.",
                            15);
        expect_op("(");
        do {
            if (peek().kw("CONSTRAINT") || peek().kw("PRIMARY") || peek().kw("UNIQUE") || peek().kw("FOREIGN") ||
                peek().kw("CHECK")) {
                ConstraintDef c;
                if (accept_kw("CONSTRAINT")) c.name = identifier();
                if (!constraint_body(c, "")) fail();
                s.constraints.push_back(std::move(c));
                continue;
            }
            ColumnDef col;
            col.name = identifier();
            col.type = type_name();
            for (;;) {
                if (accept_kw("COLLATE")) {
                    col.collation = any_identifier();
                } else if (accept_kw("IDENTITY")) {
                    col.identity = true;
                    if (accept_op("(")) {
                        col.identity_seed = signed_integer();
                        expect_op(",");
                        col.identity_increment = signed_integer();
                        expect_op(")");
                    }
                } else if (accept_kw("NOT")) {
                    expect_kw("NULL");
                    col.nullable = false;
                } else if (accept_kw("NULL")) {
                    col.nullable = true;
                } else {
                    std::string cname;
                    if (accept_kw("CONSTRAINT")) cname = identifier();
                    if (accept_kw("DEFAULT")) {
                        col.default_value = default_expr();
                        col.default_name = cname;
                        continue;
                    }
                    ConstraintDef c;
                    c.name = cname;
                    if (!constraint_body(c, col.name)) {
                        if (!cname.empty()) fail();
                        break;
                    }
                    s.constraints.push_back(std::move(c));
                }
            }
            check_column_type(col, s.column_defs.size() + 1);
            if (s.column_defs.size() == kMaxColumns)
                throw TsqlError(1702, "42000",
                                "CREATE TABLE failed because column '" + col.name + "' in table '" + s.target.name +
                                    "' exceeds the maximum of 1024 columns.");
            s.column_defs.push_back(std::move(col));
        } while (accept_op(","));
        expect_op(")");
        return s;
    }

    ExprP default_expr() {
        // DEFAULT takes a constant expression; parenthesised forms are the usual spelling.
        return unary();
    }

    long long signed_integer() {
        bool neg = accept_op("-");
        const Token& t = next();
        if (!t.is(Tok::Number)) fail();
        long long v = std::stoll(t.text);
        return neg ? -v : v;
    }

    // `cast`: CAST and CONVERT give a string type without a length 30, declarations 1.
    TsqlType type_name(bool cast = false) {
        std::string name = peek().is(Tok::QuotedIdent) || peek().is(Tok::Ident) ? next().text : (fail(), "");
        if (strcasecmp(name.c_str(), "double") == 0 && accept_kw("PRECISION")) name = "float";
        int a1 = -2, a2 = -2;
        if (accept_op("(")) {
            if (accept_kw("MAX")) a1 = -1;
            else a1 = static_cast<int>(signed_integer());
            if (accept_op(",")) a2 = static_cast<int>(signed_integer());
            expect_op(")");
        }
        TsqlType t = make_type(name, a1, a2);
        if (cast && a1 == -2 && (t.is_text() || t.is_binary()) && t.name != "sysname") t.length = 30;
        if (!t.valid()) throw TsqlError(2715, "42000", "Column, parameter, or variable #1: Cannot find data type " + name + ".", 16);
        return t;
    }

    // ---- queries ----

    ExprP top_value() {
        if (accept_op("(")) {
            ExprP e = expr();
            expect_op(")");
            if (e->kind == ExprKind::Number && e->text[0] == '-') throw invalid_top();
            return e;
        }
        const Token& t = next();
        if (t.is(Tok::Number)) return leaf(ExprKind::Number, t.text);
        if (t.is(Tok::Param)) {
            auto e = leaf(ExprKind::Param, "?");
            e->param = params_++;
            return e;
        }
        --i_;
        fail();
    }

    SelectP select() {
        Nested level(depth_);
        auto s = std::make_unique<Select>();
        s->cores.push_back(select_core());
        for (;;) {
            if (accept_kw("UNION")) s->set_ops.push_back(accept_kw("ALL") ? "UNION ALL" : "UNION");
            else if (accept_kw("EXCEPT")) s->set_ops.push_back("EXCEPT");
            else if (accept_kw("INTERSECT")) s->set_ops.push_back("INTERSECT");
            else break;
            s->cores.push_back(select_core());
        }
        if (accept_kw("ORDER")) {
            expect_kw("BY");
            do {
                OrderItem o;
                o.expr = expr();
                if (accept_kw("DESC")) o.desc = true;
                else accept_kw("ASC");
                s->order_by.push_back(std::move(o));
            } while (accept_op(","));
        }
        return s;
    }

    SelectCore select_core() {
        bool paren = accept_op("(");
        expect_kw("SELECT");
        SelectCore c;
        if (accept_kw("DISTINCT")) c.distinct = true;
        else accept_kw("ALL");
        if (accept_kw("TOP")) c.top = top_value();
        do c.items.push_back(select_item());
        while (accept_op(","));
        if (accept_kw("FROM")) c.from = from_clause();
        if (accept_kw("WHERE")) c.where = expr();
        if (accept_kw("GROUP")) {
            expect_kw("BY");
            do c.group_by.push_back(expr());
            while (accept_op(","));
        }
        if (accept_kw("HAVING")) c.having = expr();
        if (paren) expect_op(")");
        return c;
    }

    SelectItem select_item() {
        SelectItem it;
        if (accept_op("*")) {
            it.star = true;
            return it;
        }
        if ((peek().is(Tok::Ident) || peek().is(Tok::QuotedIdent)) && peek(1).op(".") && peek(2).op("*")) {
            it.star = true;
            it.star_qualifier = next().text;
            i_ += 2;
            return it;
        }
        if (peek().is(Tok::Variable) && peek(1).op("=")) {
            it.assign = upper(next().text);
            ++i_;
            it.expr = expr();
            return it;
        }
        it.expr = expr();
        if (accept_kw("AS")) {
            it.alias = peek().is(Tok::String) ? next().text : any_identifier();
        } else if (peek().is(Tok::QuotedIdent) || peek().is(Tok::String) ||
                   (peek().is(Tok::Ident) && !is_reserved(peek()))) {
            it.alias = next().text;
        }
        return it;
    }

    // Hints are read for the locks they ask for; the rest is SQL Server's business.
    void table_hints() {
        if (peek().kw("WITH") && peek(1).op("(")) {
            i_ += 2;
            for (int depth = 1; depth > 0;) {
                const Token& t = next();
                if (t.is(Tok::End)) fail();
                if (t.op("(")) ++depth;
                if (t.op(")")) --depth;
                if (t.kw("UPDLOCK") || t.kw("XLOCK") || t.kw("TABLOCKX")) update_locks_ = true;
            }
        }
    }

    TableRefP table_factor() {
        Nested level(depth_);
        auto r = std::make_unique<TableRef>();
        if (accept_op("(")) {
            if (peek().kw("SELECT") || peek().kw("WITH")) {
                r->derived = select();
                expect_op(")");
            } else {
                TableRefP inner = from_clause();
                expect_op(")");
                return inner;
            }
        } else {
            r->object = object_name();
        }
        if (accept_kw("AS")) r->alias = identifier();
        else if (peek().is(Tok::QuotedIdent) || (peek().is(Tok::Ident) && !is_reserved(peek())))
            r->alias = next().text;
        table_hints();
        if (r->derived && r->alias.empty()) fail();
        return r;
    }

    TableRefP from_clause() {
        TableRefP left = table_factor();
        for (;;) {
            JoinKind k;
            if (accept_op(",")) {
                k = JoinKind::Cross;
            } else if (accept_kw("JOIN")) {
                k = JoinKind::Inner;
            } else if (accept_kw("INNER")) {
                expect_kw("JOIN");
                k = JoinKind::Inner;
            } else if (peek().kw("LEFT") || peek().kw("RIGHT") || peek().kw("FULL")) {
                k = peek().kw("LEFT") ? JoinKind::Left : peek().kw("RIGHT") ? JoinKind::Right : JoinKind::Full;
                ++i_;
                accept_kw("OUTER");
                expect_kw("JOIN");
            } else if (accept_kw("CROSS")) {
                expect_kw("JOIN");
                k = JoinKind::Cross;
            } else {
                return left;
            }
            auto j = std::make_unique<TableRef>();
            j->join = k;
            j->left = std::move(left);
            j->right = table_factor();
            if (k != JoinKind::Cross) {
                expect_kw("ON");
                j->on = expr();
            }
            left = std::move(j);
        }
    }

    // ---- expressions ----

    static ExprP leaf(ExprKind k, std::string text) {
        auto e = std::make_unique<Expr>();
        e->kind = k;
        e->text = std::move(text);
        return e;
    }
    static ExprP binary(std::string op, ExprP a, ExprP b) {
        auto e = leaf(ExprKind::Binary, std::move(op));
        e->args.push_back(std::move(a));
        e->args.push_back(std::move(b));
        return e;
    }

    // A chain of terms joined by one of AND and OR, as a balanced tree: both are associative,
    // so the grouping changes no result, and a chain of thousands of terms nests only as deep
    // as its logarithm wherever the tree is walked or translated.
    static ExprP balanced(const char* op, std::vector<ExprP>& terms, size_t begin, size_t end) {
        if (end - begin == 1) return std::move(terms[begin]);
        size_t middle = begin + (end - begin) / 2;
        ExprP left = balanced(op, terms, begin, middle);
        return binary(op, std::move(left), balanced(op, terms, middle, end));
    }

    // Counts one level of nesting for as long as it lives.
    struct Nested {
        explicit Nested(int& depth) : depth_(depth) {
            if (++depth_ > kMaxNesting)
                throw TsqlError(191, "42000",
                                "Some part of your SQL statement is nested too deeply. Rewrite the query or break it "
                                "up into smaller queries.",
                                15);
        }
        ~Nested() { --depth_; }
        int& depth_;
    };

    ExprP expr() {
        Nested level(depth_);
        return or_expr();
    }

    ExprP or_expr() {
        std::vector<ExprP> terms;
        terms.push_back(and_expr());
        while (accept_kw("OR")) terms.push_back(and_expr());
        return balanced("OR", terms, 0, terms.size());
    }
    ExprP and_expr() {
        std::vector<ExprP> terms;
        terms.push_back(not_expr());
        while (accept_kw("AND")) terms.push_back(not_expr());
        return balanced("AND", terms, 0, terms.size());
    }
    ExprP not_expr() {
        if (accept_kw("NOT")) {
            Nested level(depth_);
            auto e = leaf(ExprKind::Unary, "NOT");
            e->args.push_back(not_expr());
            return e;
        }
        return predicate();
    }

    ExprP predicate() {
        if (peek().kw("EXISTS")) {
            ++i_;
            expect_op("(");
            auto e = leaf(ExprKind::Exists, "EXISTS");
            e->sub = select();
            expect_op(")");
            return e;
        }
        ExprP l = additive();
        for (const char* op : {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>"}) {
            if (accept_op(op)) {
                std::string o = op;
                if (o == "!=") o = "<>";
                if (o == "!<") o = ">=";
                if (o == "!>") o = "<=";
                return binary(o, std::move(l), additive());
            }
        }
        if (accept_kw("IS")) {
            auto e = leaf(ExprKind::IsNull, "IS");
            e->negated = accept_kw("NOT");
            expect_kw("NULL");
            e->args.push_back(std::move(l));
            return e;
        }
        bool neg = false;
        if (peek().kw("NOT") && (peek(1).kw("IN") || peek(1).kw("BETWEEN") || peek(1).kw("LIKE"))) {
            ++i_;
            neg = true;
        }
        if (accept_kw("IN")) {
            expect_op("(");
            ExprP e;
            if (peek().kw("SELECT") || (peek().op("(") && peek(1).kw("SELECT"))) {
                e = leaf(ExprKind::InSelect, "IN");
                e->sub = select();
            } else {
                e = leaf(ExprKind::InList, "IN");
                e->args.push_back(nullptr);
                do e->args.push_back(expr());
                while (accept_op(","));
            }
            expect_op(")");
            if (e->kind == ExprKind::InList) e->args[0] = std::move(l);
            else e->args.push_back(std::move(l));
            e->negated = neg;
            return e;
        }
        bool between = accept_kw("BETWEEN");
        if (between || accept_kw("LIKE")) {
            auto e = between ? leaf(ExprKind::Between, "BETWEEN") : leaf(ExprKind::Like, "LIKE");
            e->args.push_back(std::move(l));
            e->args.push_back(additive());
            if (between) {
                expect_kw("AND");
                e->args.push_back(additive());
            }
            e->negated = neg;
            return e;
        }
        if (neg) fail();
        return l;
    }

    ExprP additive() {
        ExprP l = multiplicative();
        for (;;) {
            if (accept_op("+")) l = binary("+", std::move(l), multiplicative());
            else if (accept_op("-")) l = binary("-", std::move(l), multiplicative());
            else return l;
        }
    }
    ExprP multiplicative() {
        ExprP l = unary();
        for (;;) {
            if (accept_op("*")) l = binary("*", std::move(l), unary());
            else if (accept_op("/")) l = binary("/", std::move(l), unary());
            else if (accept_op("%")) l = binary("%", std::move(l), unary());
            else return l;
        }
    }
    ExprP unary() {
        if (peek().op("-") || peek().op("+")) {
            Nested level(depth_);
            std::string op = next().text;
            if (op == "-" && peek().is(Tok::Number)) return leaf(ExprKind::Number, "-" + check_precision(next().text));
            auto e = leaf(ExprKind::Unary, op);
            e->args.push_back(unary());
            return e;
        }
        return primary();
    }

    ExprP primary() {
        const Token& t = peek();
        switch (t.kind) {
            case Tok::Number: ++i_; return leaf(ExprKind::Number, check_precision(t.text));
            case Tok::String: ++i_; return leaf(ExprKind::String, t.text);
            case Tok::NString: ++i_; return leaf(ExprKind::NString, t.text);
            case Tok::Hex: ++i_; return leaf(ExprKind::Hex, t.text);
            case Tok::Variable: ++i_; return leaf(ExprKind::Variable, upper(t.text));
            case Tok::Param: {
                ++i_;
                auto e = leaf(ExprKind::Param, "?");
                e->param = params_++;
                return e;
            }
            default: break;
        }
        if (t.op("(")) {
            ++i_;
            if (peek().kw("SELECT") || peek().kw("WITH")) {
                auto e = leaf(ExprKind::Subquery, "");
                e->sub = select();
                expect_op(")");
                return e;
            }
            ExprP e = expr();
            expect_op(")");
            return e;
        }
        if (t.kw("NULL")) {
            ++i_;
            return leaf(ExprKind::Null, "NULL");
        }
        if (t.kw("CASE")) return case_expr();
        if (t.kw("CAST") && peek(1).op("(")) {
            i_ += 2;
            auto e = leaf(ExprKind::Cast, "CAST");
            e->args.push_back(expr());
            expect_kw("AS");
            e->type = type_name(true);
            expect_op(")");
            return e;
        }
        if (t.kw("CONVERT") && peek(1).op("(")) {
            i_ += 2;
            auto e = leaf(ExprKind::Cast, "CONVERT");
            e->type = type_name(true);
            expect_op(",");
            e->args.push_back(expr());
            if (accept_op(",")) e->args.push_back(expr());
            expect_op(")");
            return e;
        }
        if (t.is(Tok::QuotedIdent) || (t.is(Tok::Ident) && !is_reserved(t)) ||
            ((t.kw("LEFT") || t.kw("RIGHT")) && peek(1).op("("))) {
            if (peek(1).op("(") && t.is(Tok::Ident)) return function_call();
            auto e = leaf(ExprKind::Column, "");
            e->names.push_back(next().text);
            while (peek().op(".") && !peek(1).op("*")) {
                ++i_;
                e->names.push_back(any_identifier());
            }
            if (e->names.size() > 4) fail();
            return e;
        }
        fail();
    }

    ExprP function_call() {
        auto e = leaf(ExprKind::Func, upper(next().text));
        expect_op("(");
        if (e->text == "DATEADD" || e->text == "DATEDIFF" || e->text == "DATEPART") {
            // The first argument is a date part keyword, not an expression.
            e->args.push_back(leaf(ExprKind::String, upper(any_identifier())));
            expect_op(",");
        }
        if (accept_op(")")) return e;
        if (accept_op("*")) {
            e->star = true;
            expect_op(")");
            return e;
        }
        if (accept_kw("DISTINCT")) e->distinct = true;
        do e->args.push_back(expr());
        while (accept_op(","));
        expect_op(")");
        return e;
    }

    ExprP case_expr() {
        expect_kw("CASE");
        auto e = leaf(ExprKind::Case, "CASE");
        if (!peek().kw("WHEN")) {
            e->has_operand = true;
            e->args.push_back(expr());
        }
        if (!peek().kw("WHEN")) fail();
        while (accept_kw("WHEN")) {
            e->args.push_back(expr());
            expect_kw("THEN");
            e->args.push_back(expr());
        }
        if (accept_kw("ELSE")) {
            e->has_else = true;
            e->args.push_back(expr());
        }
        expect_kw("END");
        return e;
    }
};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string quoted_string(const std::string& text) {
    std::string s = "'";
    for (char c : text) s += c == '\'' ? std::string("''") : std::string(1, c);
    return s + "'";
}

std::string render(const Expr& e) {
    switch (e.kind) {
        case ExprKind::Number: return "(" + e.text + ")";
        case ExprKind::String: return quoted_string(e.text);
        case ExprKind::NString: return "N" + quoted_string(e.text);
        case ExprKind::Hex: return "(0x" + e.text + ")";
        case ExprKind::Null: return "NULL";
        case ExprKind::Column: return "[" + e.names.back() + "]";
        case ExprKind::Variable: return lower(e.text);
        case ExprKind::Unary:
            return e.text == "NOT" ? "NOT " + render(*e.args[0]) : "(" + e.text + render(*e.args[0]) + ")";
        case ExprKind::Binary: {
            bool word = e.text == "AND" || e.text == "OR";
            return render(*e.args[0]) + (word ? " " + e.text + " " : e.text) + render(*e.args[1]);
        }
        case ExprKind::Func: {
            std::string s = lower(e.text) + "(";
            if (e.star) s += "*";
            for (size_t i = 0; i < e.args.size(); ++i) {
                if (i) s += ",";
                s += i == 0 && (e.text == "DATEADD" || e.text == "DATEDIFF") ? lower(e.args[i]->text) : render(*e.args[i]);
            }
            return s + ")";
        }
        case ExprKind::Cast: return "CONVERT(" + e.type.text() + "," + render(*e.args[0]) + ")";
        case ExprKind::IsNull: return render(*e.args[0]) + (e.negated ? " IS NOT NULL" : " IS NULL");
        case ExprKind::Like: return render(*e.args[0]) + (e.negated ? " NOT LIKE " : " like ") + render(*e.args[1]);
        case ExprKind::InList: {
            std::string s;
            for (size_t i = 1; i < e.args.size(); ++i) {
                if (i > 1) s += " OR ";
                s += render(*e.args[0]) + "=" + render(*e.args[i]);
            }
            return e.negated ? "NOT (" + s + ")" : s;
        }
        case ExprKind::Between:
            return render(*e.args[0]) + (e.negated ? "<" : ">=") + render(*e.args[1]) + (e.negated ? " OR " : " AND ") +
                   render(*e.args[0]) + (e.negated ? ">" : "<=") + render(*e.args[2]);
        default: return "(...)";
    }
}

}  // namespace

Batch parse_batch(const std::string& sql) { return Parser(sql).batch(); }

std::shared_ptr<const Batch> parse_batch_shared(const std::string& sql) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::shared_ptr<const Batch>> parsed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = parsed.find(sql);
        if (it != parsed.end()) return it->second;
    }
    static std::atomic<unsigned long long> last_id{0};
    Batch parsed_batch = parse_batch(sql);
    parsed_batch.shared_id = ++last_id;
    auto batch = std::make_shared<const Batch>(std::move(parsed_batch));
    std::lock_guard<std::mutex> lock(mutex);
    // Texts that embed values are many; a full table starts over.
    if (parsed.size() >= 2048) parsed.clear();
    parsed.emplace(sql, batch);
    return batch;
}

std::string stored_definition(const Expr& e) {
    return "(" + render(e) + ")";
}

}  // namespace sqlserver_standin

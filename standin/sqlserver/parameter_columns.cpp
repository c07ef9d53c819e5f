#include "parameter_columns.h"

#include <strings.h>

#include <string>
#include <utility>

namespace sqlserver_standin {

namespace {

// A comparison, or arithmetic whose other operand gives the marker its type.
bool takes_operand_type(const std::string& op) {
    for (const char* c : {"=", "<>", "<", ">", "<=", ">=", "+", "-", "*", "/", "%"})
        if (op == c) return true;
    return false;
}

// The tables a query's column names may refer to, by the name or alias that
// qualifies them, and the scope of the query around it.
struct Scope {
    const Scope* outer = nullptr;
    std::vector<std::pair<std::string, TableInfo>> tables;
};

class Describer {
public:
    Describer(const Batch& batch, const Catalog& catalog) : catalog_(catalog), columns_(batch.param_count) {}

    std::vector<std::optional<ColumnInfo>> take() { return std::move(columns_); }

    void statement(const Statement& st) {
        for (const Cte& c : st.ctes) select(*c.query, nullptr);
        const Scope none;
        switch (st.kind) {
            case StmtKind::Select: select(*st.select, nullptr); break;
            case StmtKind::Insert: insert(st); break;
            case StmtKind::Update:
            case StmtKind::Delete: {
                Scope scope;
                add_tables(st.from.get(), scope);
                std::optional<TableInfo> target = catalog_.find_table(st.target);
                const TableInfo* written = nullptr;
                // UPDATE x SET ... FROM t x: the target names a table of the FROM clause.
                for (const auto& [name, t] : scope.tables)
                    if (st.target.schema.empty() && iequals(name, st.target.name)) written = &t;
                if (!written && target) {
                    scope.tables.emplace_back(st.target_alias.empty() ? target->name : st.target_alias, *target);
                    written = &scope.tables.back().second;
                }
                join_conditions(st.from.get(), scope);
                for (const auto& [name, value] : st.set) {
                    assign(value.get(), written ? written->column(name) : nullptr);
                    expr(*value, scope);
                }
                if (st.where) expr(*st.where, scope);
                break;
            }
            case StmtKind::If:
            case StmtKind::While:
                if (st.where) expr(*st.where, none);
                [[fallthrough]];
            case StmtKind::Block:
                for (const Statement& s : st.body) statement(s);
                for (const Statement& s : st.else_body) statement(s);
                break;
            default: break;
        }
    }

private:
    void assign(const Expr* e, const ColumnInfo* c) {
        if (!e || !c || e->kind != ExprKind::Param || e->param < 0 || e->param >= static_cast<int>(columns_.size())) return;
        if (!columns_[e->param]) columns_[e->param] = *c;
    }

    const ColumnInfo* column(const Expr& e, const Scope& scope) const {
        if (e.kind != ExprKind::Column || e.names.empty()) return nullptr;
        const std::string& name = e.names.back();
        const std::string qualifier = e.names.size() >= 2 ? e.names[e.names.size() - 2] : "";
        for (const Scope* s = &scope; s; s = s->outer)
            for (const auto& [table_name, t] : s->tables)
                if (qualifier.empty() || iequals(qualifier, table_name))
                    if (const ColumnInfo* c = t.column(name)) return c;
        return nullptr;
    }

    void insert(const Statement& st) {
        std::optional<TableInfo> target = catalog_.find_table(st.target);
        std::vector<const ColumnInfo*> written;
        if (target) {
            if (!st.columns.empty())
                for (const std::string& n : st.columns) written.push_back(target->column(n));
            else
                for (const ColumnInfo& c : target->columns)
                    if (!c.identity) written.push_back(&c);
        }
        auto at = [&](size_t k) { return k < written.size() ? written[k] : nullptr; };
        const Scope none;
        for (const auto& row : st.values)
            for (size_t k = 0; k < row.size(); ++k) {
                assign(row[k].get(), at(k));
                expr(*row[k], none);
            }
        if (!st.select) return;
        for (const SelectCore& core : st.select->cores)
            for (size_t k = 0; k < core.items.size(); ++k) assign(core.items[k].expr.get(), at(k));
        select(*st.select, nullptr);
    }

    void select(const Select& sel, const Scope* outer) {
        for (const Cte& c : sel.ctes) select(*c.query, outer);
        for (const SelectCore& core : sel.cores) {
            Scope scope;
            scope.outer = outer;
            add_tables(core.from.get(), scope);
            join_conditions(core.from.get(), scope);
            for (const SelectItem& item : core.items)
                if (item.expr) expr(*item.expr, scope);
            for (const ExprP& g : core.group_by) expr(*g, scope);
            if (core.where) expr(*core.where, scope);
            if (core.having) expr(*core.having, scope);
        }
    }

    void add_tables(const TableRef* r, Scope& scope) {
        if (!r) return;
        if (r->join != JoinKind::None) {
            add_tables(r->left.get(), scope);
            add_tables(r->right.get(), scope);
            return;
        }
        if (r->derived) {
            select(*r->derived, scope.outer);
            return;
        }
        if (std::optional<TableInfo> t = catalog_.find_table(r->object))
            scope.tables.emplace_back(r->alias.empty() ? t->name : r->alias, std::move(*t));
    }

    void join_conditions(const TableRef* r, const Scope& scope) {
        if (!r || r->join == JoinKind::None) return;
        join_conditions(r->left.get(), scope);
        join_conditions(r->right.get(), scope);
        if (r->on) expr(*r->on, scope);
    }

    void expr(const Expr& e, const Scope& scope) {
        switch (e.kind) {
            case ExprKind::Binary:
                if (e.args.size() == 2 && takes_operand_type(e.text)) {
                    assign(e.args[1].get(), column(*e.args[0], scope));
                    assign(e.args[0].get(), column(*e.args[1], scope));
                }
                break;
            case ExprKind::InList:
            case ExprKind::Between:
            case ExprKind::Like:
                if (const ColumnInfo* c = column(*e.args[0], scope))
                    for (size_t k = 1; k < e.args.size(); ++k) assign(e.args[k].get(), c);
                break;
            default: break;
        }
        for (const ExprP& a : e.args)
            if (a) expr(*a, scope);
        if (e.sub) select(*e.sub, &scope);
    }

    const Catalog& catalog_;
    std::vector<std::optional<ColumnInfo>> columns_;
};

}  // namespace

std::vector<std::optional<ColumnInfo>> parameter_columns(const Batch& batch, const Catalog& catalog) {
    Describer d(batch, catalog);
    for (const Statement& st : batch.statements) d.statement(st);
    return d.take();
}

}  // namespace sqlserver_standin

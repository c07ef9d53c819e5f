#include "translator.h"

#include <algorithm>
#include <strings.h>

#include "row_source.h"
#include "tsql_error.h"

namespace sqlserver_standin {

std::string quote_ident(const std::string& name) {
    std::string s = "\"";
    for (char c : name) s += c == '"' ? std::string("\"\"") : std::string(1, c);
    return s + "\"";
}

std::string quote_text(const std::string& text) {
    std::string s;
    s.reserve(text.size() + 2);
    s += '\'';
    for (char c : text) {
        if (c == '\'') s += '\'';
        s += c;
    }
    s += '\'';
    return s;
}

namespace {

// The arguments of CASE or COALESCE that give the result.
std::vector<const Expr*> result_args(const Expr& e) {
    std::vector<const Expr*> args;
    if (e.kind == ExprKind::Case) {
        for (size_t i = e.has_operand ? 2 : 1; i + (e.has_else ? 1 : 0) < e.args.size(); i += 2)
            args.push_back(e.args[i].get());
        if (e.has_else) args.push_back(e.args.back().get());
    } else {
        for (const auto& a : e.args) args.push_back(a.get());
    }
    return args;
}

bool is_arithmetic(const Expr& e) {
    return e.kind == ExprKind::Binary &&
           (e.text == "+" || e.text == "-" || e.text == "*" || e.text == "/" || e.text == "%");
}

// A TOP of the largest bigint, the usual way to keep a derived table whole: every row stays, so
// no LIMIT is written and SQLite may merge the query into the one around it (reading on only as
// far as that needs) instead of materialising all its rows first.
bool keeps_every_row(const Expr& top) {
    const Expr* e = &top;
    if (e->kind == ExprKind::Cast && e->type.name == "bigint" && e->args.size() == 1) e = e->args[0].get();
    std::string digits = e->text;
    if (e->kind == ExprKind::Hex) {
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
        return strcasecmp(digits.c_str(), "7FFFFFFFFFFFFFFF") == 0;
    }
    return e->kind == ExprKind::Number && digits == "9223372036854775807";
}

std::string written_name(const ObjectName& n) {
    std::string s;
    if (!n.database.empty()) s += n.database + ".";
    if (!n.schema.empty() || !n.database.empty()) s += n.schema + ".";
    return s + n.name;
}

TsqlError invalid_object(const ObjectName& n) {
    return TsqlError(208, "42S02", "Invalid object name '" + written_name(n) + "'.");
}

// Functions that map one-to-one onto an SQLite or stand-in function.
struct FuncMap {
    const char* tsql;
    const char* sqlite;
    int min_args, max_args;
};
const FuncMap kFuncs[] = {
    {"COUNT", "count", 1, 1},        {"COUNT_BIG", "count", 1, 1},
    {"SUM", "sum", 1, 1},            {"AVG", "avg", 1, 1},
    {"MIN", "min", 1, 1},            {"MAX", "max", 1, 1},
    {"ISNULL", "ifnull", 2, 2},      {"COALESCE", "coalesce", 2, 99},
    {"NULLIF", "nullif", 2, 2},      {"SUBSTRING", "substr", 3, 3},
    {"LEN", "tsql_len", 1, 1},       {"DATALENGTH", "tsql_datalength", 1, 1},
    {"UPPER", "upper", 1, 1},        {"LOWER", "lower", 1, 1},
    {"REPLACE", "replace", 3, 3},    {"ABS", "abs", 1, 1},
    {"GETDATE", "tsql_getdate", 0, 0}, {"GETUTCDATE", "tsql_getutcdate", 0, 0},
    {"SYSDATETIME", "tsql_sysdatetime", 0, 0}, {"SYSUTCDATETIME", "tsql_sysutcdatetime", 0, 0},
    {"DATEADD", "tsql_dateadd", 3, 3}, {"NEWID", "tsql_newid", 0, 0},
    {"HASHBYTES", "tsql_hashbytes", 2, 2}, {"CRYPT_GEN_RANDOM", "randomblob", 1, 1},
    {"OBJECT_ID", "tsql_object_id", 1, 2}, {"OBJECT_NAME", "tsql_object_name", 1, 1},
    {"OBJECT_SCHEMA_NAME", "tsql_object_schema_name", 1, 1}, {"SCHEMA_NAME", "tsql_schema_name", 1, 1},
    {"QUOTENAME", "tsql_quotename", 1, 2}, {"COL_LENGTH", "tsql_col_length", 2, 2},
    {"DB_NAME", "tsql_db_name", 0, 0}, {"LTRIM", "tsql_ltrim", 1, 1},
    {"RTRIM", "tsql_rtrim", 1, 1},    {"CHAR", "tsql_char", 1, 1},
    {"REPLICATE", "tsql_replicate", 2, 2},
};

// REPLICATE's result: the type of its text, at most 8,000 bytes unless that is a max type.
TsqlType replicate_type(const std::optional<TsqlType>& text) {
    bool unicode = text && text->is_unicode();
    if (text && text->is_text() && text->length < 0) return make_type(unicode ? "nvarchar" : "varchar", -1);
    return make_type(unicode ? "nvarchar" : "varchar", unicode ? 4000 : 8000);
}

}  // namespace

std::optional<TableInfo> Translator::resolve(const ObjectName& n) {
    if (n.temp()) used_temp_tables_ = true;
    return catalog_.find_table(n);
}

namespace {

// What follows the value in tsql_store(value, 'type', 'column').
std::string store_arguments(const ColumnInfo& col) { return "," + quote_text(col.type.text()) + "," + quote_text(col.name) + ")"; }

}  // namespace

std::string Translator::store(const std::string& value_sql, const ColumnInfo& col) {
    return "tsql_store(" + value_sql + store_arguments(col);
}

// ---- expressions ----

std::optional<TsqlType> Translator::type_of(const Expr& e) {
    switch (e.kind) {
        case ExprKind::Number: {
            if (e.text.find_first_of(".eE") != std::string::npos) {
                if (e.text.find_first_of("eE") != std::string::npos) return make_type("float");
                size_t dot = e.text.find('.');
                int scale = static_cast<int>(e.text.size() - dot - 1);
                int prec = static_cast<int>(e.text.size() - 1 - (e.text[0] == '-'));
                return make_type("numeric", std::max(prec, 1), scale);
            }
            const int digits = static_cast<int>(e.text.size() - (e.text[0] == '-'));
            if (digits > 19) return make_type("numeric", std::min(digits, 38), 0);
            long long v = 0;
            try {
                v = std::stoll(e.text);
            } catch (const std::out_of_range&) {
                return make_type("numeric", digits, 0);
            }
            return make_type(v >= INT32_MIN && v <= INT32_MAX ? "int" : "bigint");
        }
        case ExprKind::String: return make_type("varchar", std::max<int>(1, static_cast<int>(e.text.size())));
        case ExprKind::NString: return make_type("nvarchar", std::max<int>(1, static_cast<int>(e.text.size())));
        case ExprKind::Hex: return make_type("varbinary", std::max<int>(1, static_cast<int>(e.text.size() / 2)));
        case ExprKind::Null: return make_type("int");
        case ExprKind::Cast: return e.type;
        case ExprKind::Param:
            if (!e.type.name.empty()) return e.type;
            return std::nullopt;
        case ExprKind::Variable: {
            if (e.text == "@@ROWCOUNT" || e.text == "@@TRANCOUNT" || e.text == "@@FETCH_STATUS") return make_type("int");
            if (variables_)
                if (auto it = variables_->find(e.text); it != variables_->end()) return it->second.type;
            return std::nullopt;
        }
        case ExprKind::Column: {
            const std::string& col = e.names.back();
            for (auto f = frames_.rbegin(); f != frames_.rend(); ++f) {
                for (const auto& s : f->sources) {
                    if (e.names.size() >= 2 && !iequals(s.alias, e.names[e.names.size() - 2])) continue;
                    if (s.table) {
                        if (const ColumnInfo* c = s.table->column(col)) return c->type;
                    } else if (s.columns) {
                        for (const auto& c : *s.columns)
                            if (iequals(c.name, col)) return c.untyped_null ? make_type("int") : c.type;
                    }
                }
            }
            return std::nullopt;
        }
        case ExprKind::Unary: return e.text == "NOT" ? make_type("bit") : type_of(*e.args[0]);
        case ExprKind::Binary: {
            if (is_arithmetic(e)) {
                auto a = type_of(*e.args[0]), b = type_of(*e.args[1]);
                if (a && b) return arithmetic_type(e.text, *a, *b);
                // One side unknown: a string stays a string of any length.
                const auto& known = a ? a : b;
                if (known && (known->is_text() || known->is_binary())) return make_type(known->name, -1);
                return known;
            }
            return std::nullopt;
        }
        case ExprKind::Case: return common_type_of(result_args(e));
        case ExprKind::Func: {
            const std::string& f = e.text;
            if (f == "COUNT" || f == "LEN" || f == "OBJECT_ID" || f == "DATALENGTH") return make_type("int");
            if (f == "COUNT_BIG") return make_type("bigint");
            if (f == "COL_LENGTH") return make_type("smallint");
            if (f == "GETDATE" || f == "GETUTCDATE") return make_type("datetime");
            if (f == "SYSDATETIME" || f == "SYSUTCDATETIME") return make_type("datetime2", 7);
            if (f == "NEWID") return make_type("uniqueidentifier");
            if (f == "HASHBYTES" || f == "CRYPT_GEN_RANDOM") return make_type("varbinary", 8000);
            if (f == "OBJECT_NAME" || f == "OBJECT_SCHEMA_NAME" || f == "SCHEMA_NAME" || f == "DB_NAME")
                return make_type("sysname");
            if (f == "QUOTENAME") return make_type("nvarchar", 258);
            if (f == "CHAR") return make_type("char", 1);
            if (f == "REPLICATE") return replicate_type(e.args.empty() ? std::nullopt : type_of(*e.args[0]));
            if (f == "DATEADD") return type_of(*e.args[2]);
            if (f == "COALESCE") return common_type_of(result_args(e));
            // ISNULL keeps its first argument's type; a bare NULL there has none to give.
            if (f == "ISNULL" && e.args.size() == 2 && e.args[0]->kind == ExprKind::Null) return type_of(*e.args[1]);
            if (f == "REPLACE") {
                // The replacements may lengthen the text up to the type's limit.
                auto t = e.args.empty() ? std::nullopt : type_of(*e.args[0]);
                if (t && t->is_text() && t->length >= 0) return make_type(t->is_unicode() ? "nvarchar" : "varchar",
                                                                          t->is_unicode() ? 4000 : 8000);
                return t;
            }
            if (f == "SUM") {
                auto t = e.args.empty() ? std::nullopt : type_of(*e.args[0]);
                if (t && t->is_integer()) return make_type(t->name == "bigint" ? "bigint" : "int");
                return t;
            }
            if (!e.args.empty()) return type_of(*e.args[0]);
            return std::nullopt;
        }
        case ExprKind::Subquery: {
            // The type of its one column, found by translating it where it stands.
            auto known = subquery_types_.find(e.sub.get());
            if (known != subquery_types_.end()) return known->second;
            QueryColumns columns;
            select_sql(*e.sub, &columns);
            std::optional<TsqlType> t;
            if (columns && !columns->empty())
                t = columns->front().untyped_null ? make_type("int") : columns->front().type;
            subquery_types_[e.sub.get()] = t;
            return t;
        }
        case ExprKind::Exists:
        case ExprKind::InList:
        case ExprKind::InSelect:
        case ExprKind::Between:
        case ExprKind::Like:
        case ExprKind::IsNull: return make_type("bit");
        default: return std::nullopt;
    }
}

std::optional<TsqlType> Translator::common_type_of(const std::vector<const Expr*>& args) {
    std::optional<TsqlType> common;
    bool all_null = true;
    for (const Expr* a : args) {
        if (a->kind == ExprKind::Null) continue;
        all_null = false;
        if (auto t = type_of(*a)) common = common ? common_type(*common, *t) : *t;
    }
    if (all_null) return make_type("int");
    return common;
}

std::string Translator::in_type(const std::string& sql, const std::vector<const Expr*>& parts,
                                const std::optional<TsqlType>& type) {
    if (!type) return sql;
    bool differs = false;
    for (const Expr* a : parts) {
        if (a->kind == ExprKind::Null) continue;
        auto t = type_of(*a);
        // A part of unknown type might be longer than the type allows: not cut.
        if (!t) return sql;
        differs = differs || t->text() != type->text();
    }
    return differs ? "tsql_cast(" + sql + "," + quote_text(type->text()) + ")" : sql;
}

std::string Translator::func(const Expr& e) {
    const FuncMap* m = nullptr;
    for (const auto& f : kFuncs)
        if (e.text == f.tsql) m = &f;
    if (!m) throw TsqlError(195, "42000", "'" + e.text + "' is not a recognized built-in function name.", 15);
    if (e.star) {
        if (e.text != "COUNT" && e.text != "COUNT_BIG") throw syntax_error("*");
        return "count(*)";
    }
    int n = static_cast<int>(e.args.size());
    if (n < m->min_args || n > m->max_args)
        throw TsqlError(174, "42000",
                        "The " + e.text + " function requires " + std::to_string(m->min_args) + " argument(s).", 15);
    std::string s = std::string(m->sqlite) + "(";
    if (e.distinct) s += "DISTINCT ";
    for (int i = 0; i < n; ++i) {
        if (i) s += ",";
        s += expr(*e.args[i]);
    }
    if (e.text == "HASHBYTES") {
        // Texts are hashed in their SQL Server encoding: nvarchar as UTF-16LE,
        // varchar as single bytes.
        auto t = type_of(*e.args[1]);
        s += t && t->is_text() && !t->is_unicode() ? ",'v'" : ",'n'";
    }
    if (e.text == "DATALENGTH") {
        // Texts count in their SQL Server encoding, as HASHBYTES reads them.
        auto t = type_of(*e.args[0]);
        if (t && t->is_text()) s += t->is_unicode() ? ",'n'" : ",'v'";
    }
    if (e.text == "REPLICATE") {
        TsqlType t = replicate_type(type_of(*e.args[0]));
        s += "," + std::to_string(t.length) + (t.is_unicode() ? ",1" : ",0");
    }
    return s + ")";
}

std::string Translator::expr(const Expr& e) {
    switch (e.kind) {
        case ExprKind::Number: return e.text;
        case ExprKind::String:
        case ExprKind::NString: return quote_text(e.text);
        case ExprKind::Hex: return "x'" + (e.text.size() % 2 ? "0" + e.text : e.text) + "'";
        case ExprKind::Null: return "NULL";
        case ExprKind::Param: return "?" + std::to_string(e.param + 1);
        case ExprKind::Variable:
            if (e.text == "@@ROWCOUNT") return "tsql_rowcount()";
            if (e.text == "@@TRANCOUNT") return "tsql_trancount()";
            if (e.text == "@@FETCH_STATUS") return "tsql_fetch_status()";
            if (variables_)
                if (auto it = variables_->find(e.text); it != variables_->end()) return "?" + std::to_string(it->second.param);
            throw TsqlError(137, "42000", "Must declare the scalar variable \"" + e.text + "\".", 15);
        case ExprKind::Column: {
            if (e.names.size() == 1) return quote_ident(e.names[0]);
            return quote_ident(e.names[e.names.size() - 2]) + "." + quote_ident(e.names.back());
        }
        case ExprKind::Unary:
            if (e.text == "NOT") return "(NOT " + expr(*e.args[0]) + ")";
            return "(" + e.text + expr(*e.args[0]) + ")";
        case ExprKind::Binary: {
            std::string a = expr(*e.args[0]), b = expr(*e.args[1]);
            if (e.text == "+") {
                auto ta = type_of(*e.args[0]), tb = type_of(*e.args[1]);
                bool text_a = ta && (ta->is_text() || ta->is_binary()), text_b = tb && (tb->is_text() || tb->is_binary());
                bool num_a = ta && !text_a && !ta->is_datetime_family(), num_b = tb && !text_b && !tb->is_datetime_family();
                if ((text_a && (text_b || !tb)) || (text_b && !ta)) return "tsql_concat(" + a + "," + b + ")";
                if (num_a && num_b) return "(" + a + "+" + b + ")";
                return "tsql_add(" + a + "," + b + ")";
            }
            return "(" + a + " " + e.text + " " + b + ")";
        }
        case ExprKind::Func: {
            std::string call = func(e);
            if (e.text == "COALESCE") return in_type(call, result_args(e), type_of(e));
            if (e.text == "ISNULL") return in_type(call, {e.args[1].get()}, type_of(e));
            return call;
        }
        case ExprKind::Cast: return cast_sql(e);
        case ExprKind::Case: {
            std::string s = "CASE";
            size_t i = 0;
            if (e.has_operand) s += " " + expr(*e.args[i++]);
            size_t pairs_end = e.args.size() - (e.has_else ? 1 : 0);
            for (; i + 2 <= pairs_end; i += 2)
                s += " WHEN " + expr(*e.args[i]) + " THEN " + expr(*e.args[i + 1]);
            if (e.has_else) s += " ELSE " + expr(*e.args.back());
            return in_type(s + " END", result_args(e), type_of(e));
        }
        case ExprKind::Exists: return "EXISTS (" + select_sql(*e.sub, nullptr) + ")";
        case ExprKind::Subquery: return "(" + select_sql(*e.sub, nullptr) + ")";
        case ExprKind::InList: {
            std::string s = "(" + expr(*e.args[0]) + (e.negated ? " NOT IN (" : " IN (");
            for (size_t i = 1; i < e.args.size(); ++i) s += (i > 1 ? "," : "") + expr(*e.args[i]);
            return s + "))";
        }
        case ExprKind::InSelect:
            return "(" + expr(*e.args[0]) + (e.negated ? " NOT IN (" : " IN (") + select_sql(*e.sub, nullptr) + "))";
        case ExprKind::Between:
            return "(" + expr(*e.args[0]) + (e.negated ? " NOT BETWEEN " : " BETWEEN ") + expr(*e.args[1]) + " AND " +
                   expr(*e.args[2]) + ")";
        case ExprKind::Like:
            return "(" + expr(*e.args[0]) + (e.negated ? " NOT LIKE " : " LIKE ") + expr(*e.args[1]) + ")";
        case ExprKind::IsNull: return "(" + expr(*e.args[0]) + (e.negated ? " IS NOT NULL)" : " IS NULL)");
    }
    throw syntax_error(e.text);
}

std::string Translator::converted(const Expr& e, const TsqlType& type) {
    if (e.kind != ExprKind::Number || e.text.find_first_of("eE") != std::string::npos ||
        !(type.is_exact_numeric() || type.is_text()))
        return expr(e);
    const bool negative = e.text[0] == '-';
    std::string digits = e.text.substr(negative);
    // Integers that fit a bigint are exact as they are.
    if (digits.find('.') == std::string::npos && digits.size() < 19) return expr(e);
    // The text SQL Server gives the literal's numeric value: "0.5" for .5, "1" for 1.
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.empty() || digits[0] == '.') digits.insert(0, "0");
    if (digits.back() == '.') digits.pop_back();
    return quote_text((negative ? "-" : "") + digits);
}

std::string Translator::cast_sql(const Expr& e) {
    const Expr& value = *e.args[0];
    std::string s = "tsql_cast(" + converted(value, e.type) + "," + quote_text(e.type.text());
    // A text becomes the bytes its type holds it in; a uniqueidentifier its 16 bytes.
    if (e.type.is_binary())
        if (auto from = type_of(value); from && (from->is_text() || from->name == "uniqueidentifier"))
            s += from->name == "uniqueidentifier" ? ",'g'" : from->is_unicode() ? ",'n'" : ",'v'";
    return s + ")";
}

std::string Translator::limit(const Expr& top) {
    // The parser refuses a negative literal.
    if (top.kind == ExprKind::Number) return " LIMIT " + top.text;
    return " LIMIT tsql_top(" + expr(top) + ")";
}

std::string Translator::table_expr(const Expr& e, const TableInfo* table, const TsqlType* converted_to) {
    Frame f;
    if (table) f.sources.push_back({table->name, *table, {}});
    frames_.push_back(std::move(f));
    std::string s = converted_to ? converted(e, *converted_to) : expr(e);
    frames_.pop_back();
    return s;
}

// ---- queries ----

std::string Translator::from_sql(const TableRef& r, Frame& frame) {
    if (r.join != JoinKind::None) {
        std::string left = from_sql(*r.left, frame);
        std::string right = from_sql(*r.right, frame);
        if (r.right->join != JoinKind::None) right = "(" + right + ")";
        static const char* names[] = {"", " JOIN ", " LEFT JOIN ", " RIGHT JOIN ", " FULL JOIN ", " CROSS JOIN "};
        std::string s = left + names[static_cast<int>(r.join)] + right;
        if (r.on) {
            frames_.push_back(frame);
            s += " ON " + expr(*r.on);
            frames_.pop_back();
        }
        return s;
    }
    if (r.derived) {
        QueryColumns columns;
        std::string s = "(" + select_sql(*r.derived, &columns) + ") AS " + quote_ident(r.alias);
        frame.sources.push_back({r.alias, std::nullopt, std::move(columns)});
        return s;
    }
    const ObjectName& n = r.object;
    if (n.schema.empty() && n.database.empty()) {
        for (auto it = ctes_.rbegin(); it != ctes_.rend(); ++it)
            for (const auto& c : *it)
                if (iequals(c.name, n.name)) {
                    std::string alias = r.alias.empty() ? n.name : r.alias;
                    frame.sources.push_back({alias, std::nullopt, c.columns});
                    return quote_ident(c.name) + " AS " + quote_ident(alias);
                }
    }
    auto t = resolve(n);
    if (!t) throw invalid_object(n);
    std::string alias = r.alias.empty() ? n.name : r.alias;
    frame.sources.push_back({alias, *t, {}});
    return t->sql_ref + " AS " + quote_ident(alias);
}

std::string Translator::core_sql(const SelectCore& c, bool wrap_top, QueryColumns* columns,
                                 const std::vector<QueryColumn>* convert_to) {
    Frame frame;
    std::string from;
    if (c.from) from = " FROM " + from_sql(*c.from, frame);
    frames_.push_back(std::move(frame));
    if (columns) columns->emplace();
    const bool has_star = std::any_of(c.items.begin(), c.items.end(), [](const SelectItem& it) { return it.star; });
    std::string s = "SELECT ";
    if (c.distinct) s += "DISTINCT ";
    for (size_t i = 0; i < c.items.size(); ++i) {
        const SelectItem& it = c.items[i];
        if (i) s += ", ";
        if (it.star) {
            s += it.star_qualifier.empty() ? "*" : quote_ident(it.star_qualifier) + ".*";
            if (columns && *columns) {
                for (const Source& src : frames_.back().sources) {
                    if (!it.star_qualifier.empty() && !iequals(src.alias, it.star_qualifier)) continue;
                    if (src.table) {
                        for (const auto& col : src.table->columns) (*columns)->push_back({col.name, col.type});
                    } else if (src.columns) {
                        (*columns)->insert((*columns)->end(), src.columns->begin(), src.columns->end());
                    } else {
                        columns->reset();
                        break;
                    }
                }
            }
            continue;
        }
        std::string name = it.alias;
        if (name.empty() && it.expr->kind == ExprKind::Column) name = it.expr->names.back();
        std::string value = expr(*it.expr);
        if (query_depth_ == result_depth_ && it.expr->kind == ExprKind::Number)
            if (auto t = type_of(*it.expr)) value = converted(*it.expr, *t);
        if (query_depth_ == result_depth_ && is_arithmetic(*it.expr))
            if (auto t = type_of(*it.expr); t && t->is_exact_numeric())
                // SQLite computes decimals as floating point: the result comes with the type's scale.
                value = "tsql_cast(" + value + "," + quote_text(t->text()) + ")";
        if (convert_to && i < convert_to->size() && !has_star)
            value = in_type(value, {it.expr.get()}, (*convert_to)[i].type);
        s += value + " AS " + quote_ident(name);
        if (columns && *columns)
            (*columns)->push_back({name, type_of(*it.expr), it.expr->kind == ExprKind::Null});
    }
    s += from;
    if (c.where) s += " WHERE " + expr(*c.where);
    if (!c.group_by.empty()) {
        s += " GROUP BY ";
        for (size_t i = 0; i < c.group_by.size(); ++i) s += (i ? ", " : "") + expr(*c.group_by[i]);
    }
    if (c.having) s += " HAVING " + expr(*c.having);
    if (wrap_top && c.top) s = "SELECT * FROM (" + s + limit(*c.top) + ")";
    frames_.pop_back();
    return s;
}

// Opens a CTE scope (closed by the caller) and returns the WITH clause.
std::string Translator::ctes_sql(const std::vector<Cte>& ctes) {
    std::string out = "WITH ";
    ctes_.emplace_back();
    for (size_t i = 0; i < ctes.size(); ++i) {
        const Cte& c = ctes[i];
        if (i) out += ", ";
        out += quote_ident(c.name);
        if (!c.columns.empty()) {
            out += "(";
            for (size_t k = 0; k < c.columns.size(); ++k) out += (k ? "," : "") + quote_ident(c.columns[k]);
            out += ")";
        }
        QueryColumns columns;
        out += " AS (" + select_sql(*c.query, &columns) + ")";
        if (columns)
            for (size_t k = 0; k < c.columns.size() && k < columns->size(); ++k) (*columns)[k].name = c.columns[k];
        ctes_.back().push_back({c.name, std::move(columns)});
    }
    return out + " ";
}

std::string Translator::select_sql(const Select& s, QueryColumns* columns) {
    struct Nesting {
        int& depth;
        ~Nesting() { --depth; }
    } nesting{++query_depth_};
    std::string out;
    if (!s.ctes.empty()) out = ctes_sql(s.ctes);
    bool compound = s.cores.size() > 1;
    std::vector<std::string> cores;
    std::vector<QueryColumns> core_columns(s.cores.size());
    for (size_t i = 0; i < s.cores.size(); ++i) {
        cores.push_back(core_sql(s.cores[i], compound, columns ? &core_columns[i] : nullptr));
        if (!columns) continue;
        if (i == 0) {
            *columns = core_columns[0];
        } else if (*columns && core_columns[i] && core_columns[i]->size() == (*columns)->size()) {
            // The names come from the first query, the types from all by precedence.
            for (size_t k = 0; k < core_columns[i]->size(); ++k) {
                QueryColumn& mine = (**columns)[k];
                const QueryColumn& theirs = (*core_columns[i])[k];
                if (theirs.untyped_null) continue;
                if (mine.untyped_null) mine.type = theirs.type;
                else if (mine.type && theirs.type) mine.type = common_type(*mine.type, *theirs.type);
                mine.untyped_null = false;
            }
        } else {
            columns->reset();
        }
    }
    for (size_t i = 0; i < cores.size(); ++i) {
        if (compound && columns && *columns && core_columns[i]) {
            // A query whose columns have other types than the union's converts its values.
            bool differs = false;
            for (size_t k = 0; k < (*columns)->size(); ++k) {
                const auto &mine = (**columns)[k].type, &theirs = (*core_columns[i])[k].type;
                differs = differs || (mine && theirs && mine->name != theirs->name);
            }
            if (differs) cores[i] = core_sql(s.cores[i], compound, nullptr, &**columns);
        }
        out += (i ? " " + s.set_ops[i - 1] + " " : "") + cores[i];
    }
    if (!s.order_by.empty()) {
        // ORDER BY sees the select list's aliases and the FROM clause of a single query.
        Frame f;
        if (!compound && s.cores[0].from) {
            size_t depth = frames_.size();
            from_sql(*s.cores[0].from, f);
            frames_.resize(depth);
        }
        frames_.push_back(std::move(f));
        out += " ORDER BY ";
        for (size_t i = 0; i < s.order_by.size(); ++i)
            out += (i ? ", " : "") + expr(*s.order_by[i].expr) + (s.order_by[i].desc ? " DESC" : "");
        frames_.pop_back();
    }
    if (!compound && s.cores[0].top && !keeps_every_row(*s.cores[0].top)) out += limit(*s.cores[0].top);
    if (!s.ctes.empty()) ctes_.pop_back();
    return out;
}

Translation Translator::select(const Select& s) {
    Translation t;
    QueryColumns columns;
    result_depth_ = query_depth_ + 1;
    t.sql = select_sql(s, &columns);
    if (columns)
        for (const auto& c : *columns) t.column_types.push_back(c.untyped_null ? make_type("int") : c.type);
    return t;
}

// ---- DML ----

namespace {

TsqlError identity_not_allowed(const TableInfo& t) {
    return TsqlError(544, "23000", "Cannot insert explicit value for identity column in table '" + t.name +
                                       "' when IDENTITY_INSERT is set to OFF.");
}

TsqlError identity_required(const TableInfo& t) {
    return TsqlError(545, "23000", "Explicit value must be specified for identity column in table '" + t.name +
                                       "' either when IDENTITY_INSERT is set to ON or when a replication user is "
                                       "inserting into a NOT FOR REPLICATION identity column.");
}

}  // namespace

Translation Translator::insert(const Statement& st) {
    Translation t;
    auto target = resolve(st.target);
    if (!target) throw invalid_object(st.target);
    t.target = target;
    if (target->catalog_view) throw TsqlError(259, "42000", "Ad hoc updates to system catalogs are not allowed.");
    std::string sql = "INSERT INTO " + target->sql_ref;
    if (st.default_values) {
        if (identity_insert_ && target->identity()) throw identity_required(*target);
        t.sql = sql + " DEFAULT VALUES";
        return t;
    }
    std::vector<const ColumnInfo*> cols;
    if (st.columns.empty()) {
        for (const auto& c : target->columns)
            if (!c.identity) cols.push_back(&c);
    } else {
        for (const auto& name : st.columns) {
            const ColumnInfo* c = target->column(name);
            if (!c) throw TsqlError(207, "42S22", "Invalid column name '" + name + "'.");
            cols.push_back(c);
        }
    }
    for (const ColumnInfo* c : cols)
        if (c->identity && !identity_insert_) throw identity_not_allowed(*target);
    if (identity_insert_ && target->identity() &&
        std::find(cols.begin(), cols.end(), target->identity()) == cols.end())
        throw identity_required(*target);
    sql += " (";
    for (size_t i = 0; i < cols.size(); ++i) sql += (i ? "," : "") + quote_ident(cols[i]->name);
    sql += ") ";
    auto parameter = [](const ExprP& e) { return e->kind == ExprKind::Param; };
    auto of_parameters = [&](const std::vector<ExprP>& row) {
        return row.size() == cols.size() && std::all_of(row.begin(), row.end(), parameter);
    };
    if (st.values.size() > 1 && static_cast<int>(cols.size()) <= kRowSourceColumns &&
        std::all_of(st.values.begin(), st.values.end(), of_parameters)) {
        // One short text, compiled once, for any number of rows: a multi-row VALUES costs SQLite
        // a compilation of every value.
        sql += "SELECT ";
        for (size_t i = 0; i < cols.size(); ++i) {
            if (i) sql += ',';
            sql += "tsql_store(r." + row_source_column(static_cast<int>(i)) + store_arguments(*cols[i]);
        }
        t.sql = sql + " FROM tsql_rows(?1) AS r";
        t.rows_of_parameters = true;
        return t;
    }
    if (!st.values.empty()) {
        sql += "VALUES ";
        frames_.push_back(Frame{});
        // The same for every row: a multi-row INSERT may have thousands.
        std::vector<std::string> arguments;
        for (const ColumnInfo* c : cols) arguments.push_back(store_arguments(*c));
        for (size_t r = 0; r < st.values.size(); ++r) {
            const auto& row = st.values[r];
            if (row.size() != cols.size())
                throw TsqlError(row.size() > cols.size() ? 110 : 109, "21S01",
                                row.size() > cols.size()
                                    ? "There are fewer columns in the INSERT statement than values specified in the VALUES clause. The number of values in the VALUES clause must match the number of columns specified in the INSERT statement."
                                    : "There are more columns in the INSERT statement than values specified in the VALUES clause. The number of values in the VALUES clause must match the number of columns specified in the INSERT statement.");
            sql += r ? ",(" : "(";
            for (size_t i = 0; i < row.size(); ++i) {
                std::string v = row[i]->kind == ExprKind::Column && row[i]->names.size() == 1 &&
                                        iequals(row[i]->names[0], "DEFAULT")
                                    ? throw syntax_error("DEFAULT")
                                    : converted(*row[i], cols[i]->type);
                if (i) sql += ',';
                sql += "tsql_store(";
                sql += v;
                sql += arguments[i];
            }
            sql += ")";
        }
        frames_.pop_back();
    } else {
        std::string inner = select_sql(*st.select, nullptr);
        std::string src = "z$insert_source";
        std::string cte = "WITH " + quote_ident(src) + "(";
        std::string values;
        for (size_t i = 0; i < cols.size(); ++i) {
            std::string v = "v" + std::to_string(i + 1);
            cte += (i ? "," : "") + quote_ident(v);
            values += (i ? "," : "") + store(quote_ident(v), *cols[i]);
        }
        cte += ") AS (" + inner + ") ";
        sql = cte + sql + "SELECT " + values + " FROM " + quote_ident(src) + " WHERE 1";
    }
    t.sql = sql;
    return t;
}

namespace {

const TableRef* find_leaf(const TableRef& r, const std::string& name) {
    if (r.join != JoinKind::None) {
        if (const TableRef* l = find_leaf(*r.left, name)) return l;
        return find_leaf(*r.right, name);
    }
    if (r.derived) return nullptr;
    if (r.alias.empty() ? iequals(r.object.name, name) : iequals(r.alias, name)) return &r;
    return nullptr;
}

}  // namespace

std::string Translator::dml_from_target(const Statement& st, std::optional<TableInfo>& target, std::string& alias) {
    const TableRef* leaf = st.target.schema.empty() ? find_leaf(*st.from, st.target.name) : nullptr;
    ObjectName name = leaf ? leaf->object : st.target;
    target = resolve(name);
    if (!target) throw invalid_object(name);
    alias = leaf ? (leaf->alias.empty() ? leaf->object.name : leaf->alias) : "";
    Frame f;
    std::string from = from_sql(*st.from, f);
    if (alias.empty()) {
        // The target is not part of FROM: SQL Server joins it in as a cross join.
        alias = st.target.name;
        from = target->sql_ref + " AS " + quote_ident(alias) + ", " + from;
        f.sources.insert(f.sources.begin(), {alias, *target, {}});
    }
    frames_.push_back(std::move(f));
    return from;
}

Translation Translator::update(const Statement& st) {
    if (st.from) {
        // UPDATE alias SET ... FROM ...: the matched rows and their new values
        // are computed by one join, then written by rowid.
        Translation t;
        std::string alias;
        std::string from = dml_from_target(st, t.target, alias);
        const TableInfo& target = *t.target;
        std::string inner = "SELECT " + quote_ident(alias) + ".rowid AS \"z$rowid\"";
        std::string sets;
        for (size_t i = 0; i < st.set.size(); ++i) {
            const ColumnInfo* c = target.column(st.set[i].first);
            if (!c) throw TsqlError(207, "42S22", "Invalid column name '" + st.set[i].first + "'.");
            if (c->identity) throw TsqlError(8102, "42000", "Cannot update identity column '" + c->name + "'.");
            inner += ", " + converted(*st.set[i].second, c->type) + " AS \"z$v" + std::to_string(i) + "\"";
            sets += (i ? ", " : "") + quote_ident(c->name) + " = " + store("\"z$m\".\"z$v" + std::to_string(i) + "\"", *c);
        }
        inner += " FROM " + from;
        if (st.where) inner += " WHERE " + expr(*st.where);
        frames_.pop_back();
        t.sql = "UPDATE " + target.sql_ref + " SET " + sets + " FROM (" + inner + ") AS \"z$m\" WHERE " +
                target.sql_ref + ".rowid = \"z$m\".\"z$rowid\"";
        return t;
    }
    Translation t;
    auto target = resolve(st.target);
    if (!target) throw invalid_object(st.target);
    t.target = target;
    Frame f;
    f.sources.push_back({st.target.name, *target, {}});
    frames_.push_back(std::move(f));
    std::string sql = "UPDATE " + target->sql_ref + " AS " + quote_ident(st.target.name) + " SET ";
    for (size_t i = 0; i < st.set.size(); ++i) {
        const ColumnInfo* c = target->column(st.set[i].first);
        if (!c) throw TsqlError(207, "42S22", "Invalid column name '" + st.set[i].first + "'.");
        if (c->identity)
            throw TsqlError(8102, "42000", "Cannot update identity column '" + c->name + "'.");
        sql += (i ? ", " : "") + quote_ident(c->name) + " = " + store(converted(*st.set[i].second, c->type), *c);
    }
    if (st.where) sql += " WHERE " + expr(*st.where);
    if (st.top) sql += limit(*st.top);
    frames_.pop_back();
    t.sql = sql;
    return t;
}

Translation Translator::remove(const Statement& st) {
    Translation t;
    std::string with = st.ctes.empty() ? "" : ctes_sql(st.ctes);
    if (st.from) {
        // DELETE alias FROM ...: the rows to delete are those the join matches.
        std::string alias;
        std::string from = dml_from_target(st, t.target, alias);
        std::string inner = "SELECT " + quote_ident(alias) + ".rowid FROM " + from;
        if (st.where) inner += " WHERE " + expr(*st.where);
        frames_.pop_back();
        t.sql = with + "DELETE FROM " + t.target->sql_ref + " WHERE rowid IN (" + inner + ")";
        if (!st.ctes.empty()) ctes_.pop_back();
        return t;
    }
    auto target = resolve(st.target);
    if (!target) throw invalid_object(st.target);
    t.target = target;
    Frame f;
    f.sources.push_back({st.target.name, *target, {}});
    frames_.push_back(std::move(f));
    std::string sql = with + "DELETE FROM " + target->sql_ref + " AS " + quote_ident(st.target.name);
    if (st.where) sql += " WHERE " + expr(*st.where);
    if (st.top) sql += limit(*st.top);
    frames_.pop_back();
    if (!st.ctes.empty()) ctes_.pop_back();
    t.sql = sql;
    return t;
}

Translator::MatchSet Translator::match_set(const Statement& st, const std::vector<const Expr*>& refs) {
    MatchSet m;
    std::string with = st.ctes.empty() ? "" : ctes_sql(st.ctes);
    std::string alias, from;
    if (st.kind == StmtKind::Update && st.from) {
        from = dml_from_target(st, m.target, alias);
    } else {
        m.target = resolve(st.target);
        if (!m.target) throw invalid_object(st.target);
        alias = st.target_alias.empty() ? st.target.name : st.target_alias;
        Frame f;
        if (st.kind == StmtKind::Merge) from = from_sql(*st.from, f);
        f.sources.push_back({alias, *m.target, {}});
        frames_.push_back(std::move(f));
    }
    const TableInfo& target = *m.target;
    if (target.catalog_view) throw TsqlError(259, "42000", "Ad hoc updates to system catalogs are not allowed.");
    // Rows sent to the client could no longer be those a trigger leaves behind.
    if (st.output && !st.output->into && !catalog_.triggers(target).empty())
        throw TsqlError(334, "42000", "The target table '" + target.name +
                                          "' of the DML statement cannot have any enabled triggers if the statement "
                                          "contains an OUTPUT clause without INTO clause.");
    const std::string key = quote_ident(alias) + "." + (target.view ? "\"z_rv\"" : "rowid");

    // The statement's actions as clauses; an UPDATE is one unconditional clause.
    struct Clause {
        MergeWhen when;
        const Expr* condition;
        MergeAction action;
        const std::vector<std::pair<std::string, ExprP>>* set;
        const MergeClause* merge;
    };
    std::vector<Clause> clauses;
    if (st.kind == StmtKind::Update)
        clauses.push_back({MergeWhen::Matched, nullptr, MergeAction::Update, &st.set, nullptr});
    for (const auto& c : st.merge_clauses) clauses.push_back({c.when, c.condition.get(), c.action, &c.set, &c});

    auto selector = [&](MergeWhen when) {
        std::string out;
        for (size_t k = 0; k < clauses.size(); ++k) {
            if (clauses[k].when != when) continue;
            out += " WHEN " + (clauses[k].condition ? expr(*clauses[k].condition) : std::string("1")) + " THEN " +
                   std::to_string(k + 1);
        }
        return out.empty() ? std::string("0") : "CASE" + out + " ELSE 0 END";
    };
    std::string chosen, chosen_by_source;
    if (st.kind == StmtKind::Update) {
        chosen = "1";
    } else {
        chosen = "CASE WHEN " + key + " IS NULL THEN " + selector(MergeWhen::NotMatchedByTarget) + " ELSE " +
                 selector(MergeWhen::Matched) + " END";
        chosen_by_source = selector(MergeWhen::NotMatchedBySource);
    }

    std::vector<std::string> main_cols{key, chosen}, source_cols{key, chosen_by_source};
    for (size_t k = 0; k < clauses.size(); ++k) {
        const Clause& c = clauses[k];
        m.value_offset.push_back(static_cast<int>(main_cols.size()));
        std::vector<const ColumnInfo*> cols;
        std::vector<std::string> values;
        if (c.action == MergeAction::Update) {
            for (const auto& [name, value] : *c.set) {
                const ColumnInfo* col = target.column(name);
                if (!col) throw TsqlError(207, "42S22", "Invalid column name '" + name + "'.");
                if (col->identity) throw TsqlError(8102, "42000", "Cannot update identity column '" + col->name + "'.");
                cols.push_back(col);
                values.push_back(store(converted(*value, col->type), *col));
            }
        } else if (c.action == MergeAction::Insert && !c.merge->default_values) {
            if (c.merge->columns.empty()) {
                for (const auto& col : target.columns)
                    if (!col.identity || identity_insert_) cols.push_back(&col);
            } else {
                for (const auto& name : c.merge->columns) {
                    const ColumnInfo* col = target.column(name);
                    if (!col) throw TsqlError(207, "42S22", "Invalid column name '" + name + "'.");
                    cols.push_back(col);
                }
            }
            if (c.merge->values.size() != cols.size())
                throw TsqlError(c.merge->values.size() > cols.size() ? 110 : 109, "21S01",
                                "The number of values in the VALUES clause must match the number of columns specified "
                                "in the INSERT statement.");
            for (size_t i = 0; i < cols.size(); ++i)
                values.push_back(store(converted(*c.merge->values[i], cols[i]->type), *cols[i]));
        }
        if (c.action == MergeAction::Insert && target.identity()) {
            bool listed = std::find(cols.begin(), cols.end(), target.identity()) != cols.end();
            if (listed && !identity_insert_) throw identity_not_allowed(target);
            if (!listed && identity_insert_) throw identity_required(target);
        }
        const std::string mine = " = " + std::to_string(k + 1) + " THEN ";
        for (const auto& v : values) {
            main_cols.push_back(c.when == MergeWhen::NotMatchedBySource ? "NULL" : "CASE WHEN (" + chosen + ")" + mine + v + " END");
            source_cols.push_back(c.when == MergeWhen::NotMatchedBySource ? "CASE WHEN (" + chosen_by_source + ")" + mine + v + " END"
                                                                           : "NULL");
        }
        m.clause_columns.push_back(std::move(cols));
    }
    m.refs_offset = static_cast<int>(main_cols.size());
    for (const Expr* r : refs) {
        main_cols.push_back(expr(*r));
        source_cols.push_back("NULL");
    }
    m.old_offset = static_cast<int>(main_cols.size());
    for (const auto& col : target.columns) {
        main_cols.push_back(quote_ident(alias) + "." + quote_ident(col.name));
        source_cols.push_back(main_cols.back());
    }
    auto list = [](const std::vector<std::string>& v) {
        std::string out;
        for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + v[i];
        return out;
    };
    const std::string target_as = target.sql_ref + " AS " + quote_ident(alias);
    if (st.kind == StmtKind::Update) {
        m.sql = with + "SELECT " + list(main_cols) + " FROM " + (st.from ? from : target_as);
        if (st.where) m.sql += " WHERE " + expr(*st.where);
    } else {
        std::string on = expr(*st.where);
        m.sql = with + "SELECT " + list(main_cols) + " FROM " + from + " LEFT JOIN " + target_as + " ON (" + on + ")";
        bool by_source = std::any_of(clauses.begin(), clauses.end(),
                                     [](const Clause& c) { return c.when == MergeWhen::NotMatchedBySource; });
        if (by_source)
            m.sql += " UNION ALL SELECT " + list(source_cols) + " FROM " + target_as + " WHERE NOT EXISTS (SELECT 1 FROM " +
                     from + " WHERE " + on + ")";
    }
    frames_.pop_back();
    if (!st.ctes.empty()) ctes_.pop_back();
    return m;
}

size_t TranslationCache::KeyHash::operator()(const Key& k) const {
    return std::hash<unsigned long long>()(k.batch) * 31 + std::hash<const void*>()(k.node) * 2 + k.identity_insert;
}

const Translation* TranslationCache::find(const Key& key, int schema_version, unsigned long long temp_generation,
                                          const VariableMap& variables) {
    auto it = by_key_.find(key);
    if (it == by_key_.end()) return nullptr;
    const Made& made = it->second->made;
    if (made.schema_version != schema_version || (made.temp_generation && *made.temp_generation != temp_generation) ||
        made.variables != variables)
        return nullptr;
    entries_.splice(entries_.begin(), entries_, it->second);
    return &entries_.front().translation;
}

void TranslationCache::keep(const Key& key, Made made, const Translation& translation) {
    auto it = by_key_.find(key);
    if (it != by_key_.end()) {
        entries_.erase(it->second);
        by_key_.erase(it);
    }
    entries_.push_front(Entry{key, std::move(made), translation});
    by_key_[key] = entries_.begin();
    if (entries_.size() > kKept) {
        by_key_.erase(entries_.back().key);
        entries_.pop_back();
    }
}

}  // namespace sqlserver_standin

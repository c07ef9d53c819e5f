#include "tsql_types.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace sqlserver_standin {

namespace {

struct TypeFacts {
    const char* name;
    int system_type_id;
    int fixed_length;  // bytes, 0 when it depends on the declaration
    int precision;
    int scale;
    const char* affinity;
};

const TypeFacts kTypes[] = {
    {"uniqueidentifier", 36, 16, 0, 0, "TEXT"},
    // The deprecated large texts: no declared length, 16 bytes (the text pointer) in the catalog.
    {"text", 35, 16, 0, 0, "TEXT"},
    {"ntext", 99, 16, 0, 0, "TEXT"},
    {"date", 40, 3, 10, 0, "TEXT"},
    {"time", 41, 0, 0, 0, "TEXT"},
    {"datetime2", 42, 0, 0, 0, "TEXT"},
    {"tinyint", 48, 1, 3, 0, "INT"},
    {"smallint", 52, 2, 5, 0, "INT"},
    {"int", 56, 4, 10, 0, "INT"},
    {"smalldatetime", 58, 4, 16, 0, "TEXT"},
    {"real", 59, 4, 24, 0, "REAL"},
    {"money", 60, 8, 19, 4, "TEXT"},
    {"datetime", 61, 8, 23, 3, "TEXT"},
    {"float", 62, 8, 53, 0, "REAL"},
    {"bit", 104, 1, 1, 0, "INT"},
    {"decimal", 106, 0, 0, 0, "TEXT"},
    {"numeric", 108, 0, 0, 0, "TEXT"},
    {"smallmoney", 122, 4, 10, 4, "TEXT"},
    {"bigint", 127, 8, 19, 0, "INT"},
    {"varbinary", 165, 0, 0, 0, "BLOB"},
    {"varchar", 167, 0, 0, 0, "TEXT"},
    {"binary", 173, 0, 0, 0, "BLOB"},
    {"char", 175, 0, 0, 0, "TEXT"},
    {"nvarchar", 231, 0, 0, 0, "TEXT"},
    {"nchar", 239, 0, 0, 0, "TEXT"},
    {"sysname", 231, 256, 0, 0, "TEXT"},
};

const TypeFacts* facts(const std::string& name) {
    for (const auto& f : kTypes)
        if (name == f.name) return &f;
    return nullptr;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

bool TsqlType::is_text() const {
    return name == "char" || name == "varchar" || name == "nchar" || name == "nvarchar" || name == "sysname" ||
           name == "text" || name == "ntext";
}
bool TsqlType::is_integer() const {
    return name == "tinyint" || name == "smallint" || name == "int" || name == "bigint" || name == "bit";
}
bool TsqlType::is_datetime_family() const {
    return name == "date" || name == "time" || name == "datetime" || name == "datetime2" || name == "smalldatetime";
}

TsqlType make_type(const std::string& raw, int a1, int a2) {
    std::string n = lower(raw);
    if (n == "integer") n = "int";
    if (n == "dec") n = "decimal";
    TsqlType t;
    if (!facts(n)) return t;
    t.name = n;
    if (n == "char" || n == "varchar" || n == "nchar" || n == "nvarchar" || n == "binary" || n == "varbinary") {
        t.length = a1 == -2 ? 1 : a1;
    } else if (n == "sysname") {
        t.length = 128;
    } else if (n == "text" || n == "ntext") {
        t.length = -1;
    } else if (n == "decimal" || n == "numeric") {
        t.precision = a1 == -2 ? 18 : a1;
        t.scale = a2 == -2 ? 0 : a2;
    } else if (n == "time" || n == "datetime2") {
        t.precision = a1 == -2 ? 7 : a1;
    } else if (n == "datetime") {
        t.precision = 3;
    }
    return t;
}

std::optional<TsqlType> type_from_text(const std::string& text) {
    std::string s = text;
    size_t us = s.find('_');
    if (us != std::string::npos && (s.rfind("INT_", 0) == 0 || s.rfind("TEXT_", 0) == 0 ||
                                    s.rfind("REAL_", 0) == 0 || s.rfind("BLOB_", 0) == 0))
        s = s.substr(us + 1);
    size_t paren = s.find('(');
    std::string base = s.substr(0, paren);
    int a1 = -2, a2 = -2;
    if (paren != std::string::npos) {
        std::string args = s.substr(paren + 1);
        if (lower(args).rfind("max", 0) == 0) {
            a1 = -1;
        } else {
            a1 = std::atoi(args.c_str());
            size_t comma = args.find(',');
            if (comma != std::string::npos) a2 = std::atoi(args.c_str() + comma + 1);
        }
    }
    TsqlType t = make_type(base, a1, a2);
    if (!t.valid()) return std::nullopt;
    return t;
}

std::string TsqlType::text() const {
    if (name == "char" || name == "varchar" || name == "nchar" || name == "nvarchar" || name == "binary" ||
        name == "varbinary")
        return name + "(" + (length < 0 ? std::string("max") : std::to_string(length)) + ")";
    if (name == "decimal" || name == "numeric")
        return name + "(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
    if (name == "time" || name == "datetime2") return name + "(" + std::to_string(precision) + ")";
    return name;
}

std::string TsqlType::sqlite_decl() const {
    const TypeFacts* f = facts(name);
    std::string t = text();
    // SQLite's type-name grammar takes numbers only inside the parentheses.
    size_t m = t.find("(max)");
    if (m != std::string::npos) t.replace(m, 5, "(-1)");
    return std::string(f ? f->affinity : "BLOB") + "_" + t;
}

std::string TsqlType::sqlite_collation(const std::string& collation_name) const {
    if (name == "uniqueidentifier") return "TSQL_GUID";
    if (is_exact_numeric()) return "TSQL_DECIMAL";
    if (!is_text()) return "BINARY";
    std::string c = collation_name.empty() ? kDefaultCollation : collation_name;
    std::string up = c;
    std::transform(up.begin(), up.end(), up.begin(), [](unsigned char ch) { return std::toupper(ch); });
    if (up.find("_BIN") != std::string::npos) return "TSQL_BIN";
    if (up.find("_CS") != std::string::npos) return "TSQL_CS";
    return "TSQL_CI";
}

int TsqlType::system_type_id() const {
    const TypeFacts* f = facts(name);
    return f ? f->system_type_id : 0;
}

int TsqlType::max_length() const {
    const TypeFacts* f = facts(name);
    if (!f) return 0;
    if (name == "sysname") return 256;
    if (f->fixed_length) return f->fixed_length;
    if (length < 0 && (is_text() || is_binary())) return -1;
    if (is_unicode()) return length * 2;
    if (is_text() || is_binary()) return length;
    if (name == "decimal" || name == "numeric") {
        int p = precision;
        return p <= 9 ? 5 : p <= 19 ? 9 : p <= 28 ? 13 : 17;
    }
    if (name == "time") return precision <= 2 ? 3 : precision <= 4 ? 4 : 5;
    if (name == "datetime2") return precision <= 2 ? 6 : precision <= 4 ? 7 : 8;
    return 0;
}

int TsqlType::catalog_precision() const {
    if (name == "decimal" || name == "numeric") return precision;
    if (name == "time") return precision == 0 ? 8 : 9 + precision;
    if (name == "datetime2") return precision == 0 ? 19 : 20 + precision;
    const TypeFacts* f = facts(name);
    return f ? f->precision : 0;
}

int TsqlType::catalog_scale() const {
    if (name == "decimal" || name == "numeric" || name == "time" || name == "datetime2")
        return name == "decimal" || name == "numeric" ? scale : precision;
    const TypeFacts* f = facts(name);
    return f ? f->scale : 0;
}

}  // namespace sqlserver_standin

namespace sqlserver_standin {

namespace {

// Data type precedence, highest first; decimal and numeric rank alike.
int precedence(const std::string& name) {
    static const char* const order[] = {"datetime2", "datetime", "smalldatetime", "date", "time", "float", "real",
                                        "decimal", "money", "smallmoney", "bigint", "int", "smallint", "tinyint",
                                        "bit", "ntext", "text", "uniqueidentifier", "nvarchar", "nchar", "varchar", "char",
                                        "varbinary", "binary"};
    const std::string n = name == "numeric" ? "decimal" : name == "sysname" ? "nvarchar" : name;
    for (int i = 0; i < static_cast<int>(sizeof order / sizeof *order); ++i)
        if (n == order[i]) return i;
    return static_cast<int>(sizeof order / sizeof *order);
}

// Precision and scale of a value of exact numeric or integer type as a decimal.
std::pair<int, int> decimal_digits(const TsqlType& t) {
    if (t.name == "decimal" || t.name == "numeric") return {t.precision, t.scale};
    if (t.name == "money") return {19, 4};
    if (t.name == "smallmoney") return {10, 4};
    if (t.name == "bigint") return {19, 0};
    if (t.name == "int") return {10, 0};
    if (t.name == "smallint") return {5, 0};
    if (t.name == "tinyint") return {3, 0};
    return {1, 0};
}

}  // namespace

TsqlType common_type(const TsqlType& a, const TsqlType& b) {
    const TsqlType& high = precedence(b.name) < precedence(a.name) ? b : a;
    const TsqlType& low = &high == &a ? b : a;
    TsqlType t = high;
    if ((high.is_text() || high.is_binary()) && (low.is_text() || low.is_binary())) {
        if (t.name == "sysname" && low.name != "sysname") t = make_type("nvarchar", 128);
        t.length = high.length < 0 || low.length < 0 ? -1 : std::max(high.length, low.length);
    } else if (t.name == "decimal" || t.name == "numeric") {
        auto [hp, hs] = decimal_digits(high);
        auto [lp, ls] = decimal_digits(low);
        t.scale = std::max(hs, ls);
        t.precision = std::min(38, t.scale + std::max(hp - hs, lp - ls));
    } else if (t.name == low.name && (t.name == "datetime2" || t.name == "time")) {
        t.precision = std::max(high.precision, low.precision);
    }
    return t;
}

TsqlType arithmetic_type(const std::string& op, const TsqlType& a, const TsqlType& b) {
    const bool string_a = a.is_text() || a.is_binary(), string_b = b.is_text() || b.is_binary();
    if (op == "+" && string_a && string_b) {
        const bool text = a.is_text() || b.is_text(), unicode = a.is_unicode() || b.is_unicode();
        const int cap = unicode ? 4000 : 8000;
        const int length = a.length < 0 || b.length < 0 ? -1 : std::min(cap, a.length + b.length);
        return make_type(unicode ? "nvarchar" : text ? "varchar" : "varbinary", length);
    }
    const TsqlType& high = precedence(b.name) < precedence(a.name) ? b : a;
    if (high.name != "decimal" && high.name != "numeric") return high.name == "sysname" ? make_type("nvarchar", 128) : high;
    auto [p1, s1] = decimal_digits(a);
    auto [p2, s2] = decimal_digits(b);
    int p, s;
    const bool scaling = op == "*" || op == "/";
    if (op == "*") {
        p = p1 + p2 + 1;
        s = s1 + s2;
    } else if (op == "/") {
        s = std::max(6, s1 + p2 + 1);
        p = p1 - s1 + s2 + s;
    } else if (op == "%") {
        s = std::max(s1, s2);
        p = std::min(p1 - s1, p2 - s2) + s;
    } else {
        s = std::max(s1, s2);
        p = s + std::max(p1 - s1, p2 - s2) + 1;
    }
    if (p > 38) {
        // The integral digits are kept where they can be; the scale gives way.
        const int integral = scaling ? p - s : std::max(p1 - s1, p2 - s2);
        if (!scaling) s = std::max(0, 38 - integral);
        else if (integral < 32) s = std::min(s, 38 - integral);
        else s = std::min(s, 6);
        p = 38;
    }
    return make_type(high.name, p, s);
}

}  // namespace sqlserver_standin

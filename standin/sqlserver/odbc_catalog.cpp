#include "odbc_catalog.h"

#include <sqlucode.h>

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <bitset>
#include <map>
#include <tuple>

namespace sqlserver_standin {

OdbcTypeFacts odbc_type_facts(const TsqlType& t) {
    const std::string& n = t.name;
    OdbcTypeFacts f;
    f.type_name = n == "sysname" ? "nvarchar" : n;
    auto number = [&](SQLSMALLINT type, SQLULEN size, SQLSMALLINT digits, SQLLEN display, SQLLEN octets, SQLSMALLINT radix = 10) {
        f.type = type;
        f.size = size;
        f.digits = digits;
        f.display_size = display;
        f.octet_length = octets;
        f.radix = radix;
    };
    auto quoted = [&](SQLSMALLINT type, SQLULEN size, SQLSMALLINT digits, SQLLEN octets) {
        f.type = type;
        f.size = size;
        f.digits = digits;
        f.display_size = static_cast<SQLLEN>(size);
        f.octet_length = octets;
        f.is_unsigned = true;
        f.literal_prefix = f.literal_suffix = "'";
    };
    if (n == "bit") number(SQL_BIT, 1, 0, 1, 1, 0), f.is_unsigned = true;
    else if (n == "tinyint") number(SQL_TINYINT, 3, 0, 3, 1), f.is_unsigned = true;
    else if (n == "smallint") number(SQL_SMALLINT, 5, 0, 6, 2);
    else if (n == "int") number(SQL_INTEGER, 10, 0, 11, 4);
    else if (n == "bigint") number(SQL_BIGINT, 19, 0, 20, 8);
    else if (n == "decimal" || n == "numeric")
        number(n == "decimal" ? SQL_DECIMAL : SQL_NUMERIC, t.precision, static_cast<SQLSMALLINT>(t.scale), t.precision + 2,
               t.precision + 2);
    else if (n == "money") number(SQL_DECIMAL, 19, 4, 21, 21), f.fixed_prec_scale = true;
    else if (n == "smallmoney") number(SQL_DECIMAL, 10, 4, 12, 12), f.fixed_prec_scale = true;
    else if (n == "float") number(SQL_FLOAT, 53, 0, 24, 8, 2);
    else if (n == "real") number(SQL_REAL, 24, 0, 14, 4, 2);
    else if (n == "date") quoted(SQL_TYPE_DATE, 10, 0, 6);
    else if (n == "time") quoted(kSsTime2, t.precision ? 9 + t.precision : 8, static_cast<SQLSMALLINT>(t.precision), 12);
    else if (n == "datetime") quoted(SQL_TYPE_TIMESTAMP, 23, 3, 16);
    else if (n == "datetime2")
        quoted(SQL_TYPE_TIMESTAMP, t.precision ? 20 + t.precision : 19, static_cast<SQLSMALLINT>(t.precision), 16);
    else if (n == "smalldatetime") quoted(SQL_TYPE_TIMESTAMP, 16, 0, 16);
    else if (n == "uniqueidentifier") quoted(SQL_GUID, 36, 0, 16);
    else if (t.is_text()) {
        const bool wide = t.is_unicode(), max = t.length < 0;
        const SQLLEN chars = max ? (wide ? 1073741823 : 2147483647) : t.length;
        f.type = max ? (wide ? SQL_WLONGVARCHAR : SQL_LONGVARCHAR)
                 : n == "char" ? SQL_CHAR : n == "nchar" ? SQL_WCHAR : wide ? SQL_WVARCHAR : SQL_VARCHAR;
        f.size = static_cast<SQLULEN>(chars);
        f.display_size = chars;
        f.octet_length = wide && !max ? chars * 2 : wide ? 2147483646 : chars;
        f.is_unsigned = true;
        f.literal_prefix = wide ? "N'" : "'";
        f.literal_suffix = "'";
    } else {
        const bool max = t.length < 0;
        const SQLLEN bytes = max ? 2147483647 : std::max(t.length, 0);
        f.type_name = n == "binary" ? "binary" : "varbinary";
        f.type = max ? SQL_LONGVARBINARY : n == "binary" ? SQL_BINARY : SQL_VARBINARY;
        f.size = static_cast<SQLULEN>(bytes);
        f.display_size = max ? bytes : bytes * 2;
        f.octet_length = bytes;
        f.is_unsigned = true;
        f.literal_prefix = "0x";
    }
    return f;
}

SQLSMALLINT default_c_type(SQLSMALLINT sql_type) {
    switch (sql_type) {
        case SQL_BIT: return SQL_C_BIT;
        case SQL_TINYINT: return SQL_C_UTINYINT;
        case SQL_SMALLINT: return SQL_C_SSHORT;
        case SQL_INTEGER: return SQL_C_SLONG;
        case SQL_BIGINT: return SQL_C_SBIGINT;
        case SQL_REAL: return SQL_C_FLOAT;
        case SQL_FLOAT: case SQL_DOUBLE: return SQL_C_DOUBLE;
        case SQL_TYPE_DATE: return SQL_C_TYPE_DATE;
        case SQL_TYPE_TIMESTAMP: return SQL_C_TYPE_TIMESTAMP;
        case SQL_GUID: return SQL_C_GUID;
        case SQL_WCHAR: case SQL_WVARCHAR: case SQL_WLONGVARCHAR: return SQL_C_WCHAR;
        case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY: case kSsTime2: return SQL_C_BINARY;
        default: return SQL_C_CHAR;
    }
}

SQLLEN fixed_c_type_size(SQLSMALLINT c_type) {
    switch (c_type) {
        case SQL_C_BIT: case SQL_C_TINYINT: case SQL_C_STINYINT: case SQL_C_UTINYINT: return 1;
        case SQL_C_SHORT: case SQL_C_SSHORT: case SQL_C_USHORT: return 2;
        case SQL_C_LONG: case SQL_C_SLONG: case SQL_C_ULONG: case SQL_C_FLOAT: return 4;
        case SQL_C_SBIGINT: case SQL_C_UBIGINT: case SQL_C_DOUBLE: return 8;
        case SQL_C_TYPE_DATE: case SQL_C_DATE: return sizeof(SQL_DATE_STRUCT);
        case SQL_C_TYPE_TIME: case SQL_C_TIME: return sizeof(SQL_TIME_STRUCT);
        case SQL_C_TYPE_TIMESTAMP: case SQL_C_TIMESTAMP: return sizeof(SQL_TIMESTAMP_STRUCT);
        case SQL_C_GUID: return sizeof(SQLGUID);
        case SQL_C_NUMERIC: return sizeof(SQL_NUMERIC_STRUCT);
        default: return 0;
    }
}

namespace {

struct TypeInfoRow {
    const char* name;
    SQLSMALLINT data_type;
    int column_size;
    const char* create_params;  // nullptr: none
    int min_scale, max_scale;   // -1: not applicable
};

// In SQLGetTypeInfo's order: by data type, the closest match first.
const TypeInfoRow kTypeInfo[] = {
    {"time", kSsTime2, 16, "scale", 0, 7},
    {"uniqueidentifier", SQL_GUID, 36, nullptr, -1, -1},
    {"nvarchar", SQL_WLONGVARCHAR, 1073741823, nullptr, -1, -1},
    {"nvarchar", SQL_WVARCHAR, 4000, "max length", -1, -1},
    {"sysname", SQL_WVARCHAR, 128, nullptr, -1, -1},
    {"nchar", SQL_WCHAR, 4000, "length", -1, -1},
    {"bit", SQL_BIT, 1, nullptr, 0, 0},
    {"tinyint", SQL_TINYINT, 3, nullptr, 0, 0},
    {"bigint", SQL_BIGINT, 19, nullptr, 0, 0},
    {"varbinary", SQL_LONGVARBINARY, 2147483647, nullptr, -1, -1},
    {"varbinary", SQL_VARBINARY, 8000, "max length", -1, -1},
    {"binary", SQL_BINARY, 8000, "length", -1, -1},
    {"varchar", SQL_LONGVARCHAR, 2147483647, nullptr, -1, -1},
    {"char", SQL_CHAR, 8000, "length", -1, -1},
    {"numeric", SQL_NUMERIC, 38, "precision,scale", 0, 38},
    {"decimal", SQL_DECIMAL, 38, "precision,scale", 0, 38},
    {"money", SQL_DECIMAL, 19, nullptr, 4, 4},
    {"smallmoney", SQL_DECIMAL, 10, nullptr, 4, 4},
    {"int", SQL_INTEGER, 10, nullptr, 0, 0},
    {"smallint", SQL_SMALLINT, 5, nullptr, 0, 0},
    {"float", SQL_FLOAT, 53, nullptr, -1, -1},
    {"real", SQL_REAL, 24, nullptr, -1, -1},
    {"varchar", SQL_VARCHAR, 8000, "max length", -1, -1},
    {"date", SQL_TYPE_DATE, 10, nullptr, -1, -1},
    {"datetime2", SQL_TYPE_TIMESTAMP, 27, "scale", 0, 7},
    {"datetime", SQL_TYPE_TIMESTAMP, 23, nullptr, 3, 3},
    {"smalldatetime", SQL_TYPE_TIMESTAMP, 16, nullptr, 0, 0},
};

TsqlType type_of_row(const TypeInfoRow& r) {
    const std::string n = r.name;
    if (r.data_type == SQL_WLONGVARCHAR || r.data_type == SQL_LONGVARCHAR || r.data_type == SQL_LONGVARBINARY)
        return make_type(n, -1);
    if (n == "decimal" || n == "numeric") return make_type(n, 38, 0);
    return make_type(n, r.column_size);
}

}  // namespace

ResultSet type_info_rows(SQLSMALLINT sql_type) {
    ResultSet rs;
    const struct {
        const char* name;
        TsqlType type;
    } columns[] = {
        {"TYPE_NAME", make_type("sysname")},        {"DATA_TYPE", make_type("smallint")},
        {"COLUMN_SIZE", make_type("int")},          {"LITERAL_PREFIX", make_type("varchar", 32)},
        {"LITERAL_SUFFIX", make_type("varchar", 32)}, {"CREATE_PARAMS", make_type("varchar", 32)},
        {"NULLABLE", make_type("smallint")},        {"CASE_SENSITIVE", make_type("smallint")},
        {"SEARCHABLE", make_type("smallint")},      {"UNSIGNED_ATTRIBUTE", make_type("smallint")},
        {"FIXED_PREC_SCALE", make_type("smallint")}, {"AUTO_UNIQUE_VALUE", make_type("smallint")},
        {"LOCAL_TYPE_NAME", make_type("sysname")},  {"MINIMUM_SCALE", make_type("smallint")},
        {"MAXIMUM_SCALE", make_type("smallint")},   {"SQL_DATA_TYPE", make_type("smallint")},
        {"SQL_DATETIME_SUB", make_type("smallint")}, {"NUM_PREC_RADIX", make_type("int")},
        {"INTERVAL_PRECISION", make_type("smallint")},
    };
    for (const auto& c : columns) rs.columns.push_back({c.name, c.type, true});
    rs.columns[0].nullable = rs.columns[1].nullable = false;
    auto text_or_null = [](const char* s) { return s && *s ? Value::text(s) : Value::null(); };
    auto number_or_null = [](int v) { return v < 0 ? Value::null() : Value::integer(v); };
    for (const auto& r : kTypeInfo) {
        if (sql_type != SQL_ALL_TYPES && sql_type != r.data_type) continue;
        OdbcTypeFacts f = odbc_type_facts(type_of_row(r));
        const bool datetime = r.data_type == SQL_TYPE_DATE || r.data_type == SQL_TYPE_TIMESTAMP;
        const bool numeric = f.radix != 0;
        rs.rows.push_back({
            Value::text(r.name),
            Value::integer(r.data_type),
            Value::integer(r.column_size),
            text_or_null(f.literal_prefix),
            text_or_null(f.literal_suffix),
            text_or_null(r.create_params),
            Value::integer(SQL_NULLABLE),
            Value::integer(f.case_sensitive ? SQL_TRUE : SQL_FALSE),
            Value::integer(SQL_SEARCHABLE),
            numeric ? Value::integer(f.is_unsigned ? SQL_TRUE : SQL_FALSE) : Value::null(),
            Value::integer(f.fixed_prec_scale ? SQL_TRUE : SQL_FALSE),
            numeric ? Value::integer(SQL_FALSE) : Value::null(),
            Value::text(r.name),
            number_or_null(r.min_scale),
            number_or_null(r.max_scale),
            Value::integer(datetime ? SQL_DATETIME : r.data_type),
            datetime ? Value::integer(r.data_type == SQL_TYPE_DATE ? SQL_CODE_DATE : SQL_CODE_TIMESTAMP) : Value::null(),
            numeric ? Value::integer(f.radix) : Value::null(),
            Value::null(),
        });
    }
    return rs;
}

bool matches_search_pattern(const std::string& pattern, const std::string& name) {
    auto fold = [](unsigned char c) { return static_cast<char>(std::tolower(c)); };
    // The length of the UTF-8 character at `i`.
    auto char_length = [&](size_t i) {
        size_t n = 1;
        while (i + n < name.size() && (static_cast<unsigned char>(name[i + n]) & 0xC0) == 0x80) ++n;
        return n;
    };
    // Iterative matching with one backtrack point, for the last % seen.
    size_t p = 0, n = 0, star_p = std::string::npos, star_n = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '%') {
            star_p = ++p;
            star_n = n;
            continue;
        }
        if (p < pattern.size() && pattern[p] == '_') {
            ++p;
            n += char_length(n);
            continue;
        }
        if (p < pattern.size()) {
            size_t q = p;
            if (pattern[q] == '\\' && q + 1 < pattern.size()) ++q;
            if (fold(pattern[q]) == fold(name[n])) {
                p = q + 1;
                ++n;
                continue;
            }
        }
        if (star_p == std::string::npos) return false;
        p = star_p;
        star_n += char_length(star_n);
        n = star_n;
    }
    while (p < pattern.size() && pattern[p] == '%') ++p;
    return p == pattern.size();
}

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

void add_columns(ResultSet& rs, std::initializer_list<std::pair<const char*, TsqlType>> columns) {
    for (const auto& [name, type] : columns) rs.columns.push_back({name, type, true});
}

// Every row of a query the session runs, as SQL Server's drivers run a catalog
// procedure on the server.
std::vector<std::vector<Value>> query(Session& session, const std::string& sql) {
    ExecOutcome out = session.execute_text(sql);
    ResultSet& rs = out.results.at(0);
    if (!rs.stream) return std::move(rs.rows);
    std::vector<std::vector<Value>> rows;
    for (std::vector<Value> row; rs.stream->next(row);) rows.push_back(std::move(row));
    return rows;
}

struct NamedObject {
    std::string schema, name, type;  // type as SQLTables names it
    long long object_id = 0;         // 0 for the catalog views
};

// The tables and views of the database and the sys.* catalog views, by type, schema and name.
std::vector<NamedObject> objects(Session& session) {
    std::vector<NamedObject> out;
    for (auto& row : query(session, "SELECT s.name, o.name, o.type, o.object_id FROM sys.objects o JOIN sys.schemas s "
                                    "ON s.schema_id = o.schema_id WHERE o.type IN ('U', 'V')"))
        out.push_back({row[0].s, row[1].s, row[2].s.rfind('U', 0) == 0 ? "TABLE" : "VIEW", row[3].i});
    for (const auto& name : catalog_view_names()) out.push_back({"sys", name, "VIEW", 0});
    auto key = [](const NamedObject& o) { return std::make_tuple(o.type, lower(o.schema), lower(o.name)); };
    std::sort(out.begin(), out.end(), [&](const NamedObject& a, const NamedObject& b) { return key(a) < key(b); });
    return out;
}

// The names of a table-type list: "'TABLE','VIEW'" or "TABLE, VIEW".
std::vector<std::string> table_types(const std::string& list) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= list.size()) {
        size_t comma = std::min(list.find(',', at), list.size());
        std::string t = list.substr(at, comma - at);
        const char* blank_or_quote = " \t'";
        t.erase(0, std::min(t.find_first_not_of(blank_or_quote), t.size()));
        t.erase(t.find_last_not_of(blank_or_quote) + 1);
        if (!t.empty()) out.push_back(t);
        at = comma + 1;
    }
    return out;
}

ResultSet tables_result() {
    ResultSet rs;
    add_columns(rs, {{"TABLE_CAT", make_type("sysname")}, {"TABLE_SCHEM", make_type("sysname")},
                     {"TABLE_NAME", make_type("sysname")}, {"TABLE_TYPE", make_type("varchar", 32)},
                     {"REMARKS", make_type("varchar", 254)}});
    return rs;
}

}  // namespace

ResultSet table_rows(Session& session, const std::string& data_dir, const CatalogArgument& catalog,
                     const CatalogArgument& schema, const CatalogArgument& table, const CatalogArgument& types) {
    ResultSet rs = tables_result();
    const Value null = Value::null();
    auto empty = [](const CatalogArgument& a) { return a && a->empty(); };
    if (catalog == "%" && empty(schema) && empty(table)) {
        std::vector<std::string> names;
        if (DIR* dir = opendir(data_dir.c_str())) {
            while (const dirent* e = readdir(dir)) {
                std::string file = e->d_name;
                if (file.size() > 7 && file.compare(file.size() - 7, 7, ".sqlite") == 0) names.push_back(file.substr(0, file.size() - 7));
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
        for (const auto& n : names) rs.rows.push_back({Value::text(n), null, null, null, null});
        return rs;
    }
    if (schema == "%" && empty(catalog) && empty(table)) {
        std::vector<std::string> names;
        for (auto& row : query(session, "SELECT name FROM sys.schemas")) names.push_back(row[0].s);
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
        for (const auto& n : names) rs.rows.push_back({null, Value::text(n), null, null, null});
        return rs;
    }
    if (types == "%" && empty(catalog) && empty(schema) && empty(table)) {
        for (const char* t : {"SYSTEM TABLE", "TABLE", "VIEW"}) rs.rows.push_back({null, null, null, Value::text(t), null});
        return rs;
    }
    const std::string& database = session.database();
    if (catalog && !matches_search_pattern(*catalog, database)) return rs;
    const std::vector<std::string> wanted = types ? table_types(*types) : std::vector<std::string>{};
    for (const NamedObject& o : objects(session)) {
        if (schema && !matches_search_pattern(*schema, o.schema)) continue;
        if (table && !matches_search_pattern(*table, o.name)) continue;
        if (!wanted.empty() && std::none_of(wanted.begin(), wanted.end(), [&](const std::string& t) { return iequals(t, o.type); }))
            continue;
        rs.rows.push_back({Value::text(database), Value::text(o.schema), Value::text(o.name), Value::text(o.type), null});
    }
    return rs;
}

ResultSet column_rows(Session& session, const CatalogArgument& catalog, const CatalogArgument& schema,
                      const CatalogArgument& table, const CatalogArgument& column) {
    ResultSet rs;
    add_columns(rs, {{"TABLE_CAT", make_type("sysname")},         {"TABLE_SCHEM", make_type("sysname")},
                     {"TABLE_NAME", make_type("sysname")},        {"COLUMN_NAME", make_type("sysname")},
                     {"DATA_TYPE", make_type("smallint")},        {"TYPE_NAME", make_type("sysname")},
                     {"COLUMN_SIZE", make_type("int")},           {"BUFFER_LENGTH", make_type("int")},
                     {"DECIMAL_DIGITS", make_type("smallint")},   {"NUM_PREC_RADIX", make_type("smallint")},
                     {"NULLABLE", make_type("smallint")},         {"REMARKS", make_type("varchar", 254)},
                     {"COLUMN_DEF", make_type("nvarchar", 4000)}, {"SQL_DATA_TYPE", make_type("smallint")},
                     {"SQL_DATETIME_SUB", make_type("smallint")}, {"CHAR_OCTET_LENGTH", make_type("int")},
                     {"ORDINAL_POSITION", make_type("int")},      {"IS_NULLABLE", make_type("varchar", 254)}});
    for (int c : {2, 3, 4, 10, 13, 16}) rs.columns[c].nullable = false;
    const std::string& database = session.database();
    if (catalog && !iequals(*catalog, database)) return rs;
    // isql's "help dbo.items" passes "dbo.items" as the table name and no schema:
    // without a schema, a name with a dot also reads as schema.table.
    const size_t dot = table && !schema ? table->rfind('.') : std::string::npos;
    auto table_matches = [&](const NamedObject& o) {
        if (!table || matches_search_pattern(*table, o.name)) return true;
        return dot != std::string::npos && matches_search_pattern(table->substr(0, dot), o.schema) &&
               matches_search_pattern(table->substr(dot + 1), o.name);
    };
    std::vector<NamedObject> tables;
    for (NamedObject& o : objects(session))
        if ((!schema || matches_search_pattern(*schema, o.schema)) && table_matches(o)) tables.push_back(std::move(o));
    std::sort(tables.begin(), tables.end(), [](const NamedObject& a, const NamedObject& b) {
        return std::make_pair(lower(a.schema), lower(a.name)) < std::make_pair(lower(b.schema), lower(b.name));
    });
    std::map<std::pair<long long, long long>, std::string> defaults;
    if (!tables.empty())
        for (auto& row : query(session, "SELECT parent_object_id, parent_column_id, definition FROM sys.default_constraints"))
            defaults[{row[0].i, row[1].i}] = row[2].s;
    const Value null = Value::null();
    auto number_or_null = [&](bool applies, long long v) { return applies ? Value::integer(v) : null; };
    for (const NamedObject& o : tables) {
        std::optional<TableInfo> t = session.catalog().find_table(ObjectName{"", o.schema, o.name});
        if (!t) continue;
        for (const ColumnInfo& c : t->columns) {
            if (column && !matches_search_pattern(*column, c.name)) continue;
            const OdbcTypeFacts f = odbc_type_facts(c.type);
            const bool datetime = f.type == SQL_TYPE_DATE || f.type == SQL_TYPE_TIMESTAMP;
            const bool characters = c.type.is_text() || c.type.is_binary();
            const bool has_digits = !characters && f.type != SQL_GUID && f.radix != 2 && f.type != SQL_TYPE_DATE;
            auto def = defaults.find({t->object_id, c.column_id});
            rs.rows.push_back({
                Value::text(database),
                Value::text(t->schema),
                Value::text(t->name),
                Value::text(c.name),
                Value::integer(f.type),
                Value::text(f.type_name),
                Value::integer(static_cast<long long>(f.size)),
                Value::integer(f.octet_length),
                number_or_null(has_digits, f.digits),
                number_or_null(f.radix != 0, f.radix),
                Value::integer(c.nullable ? SQL_NULLABLE : SQL_NO_NULLS),
                null,
                def != defaults.end() ? Value::text(def->second) : null,
                Value::integer(datetime ? SQL_DATETIME : f.type),
                datetime ? Value::integer(f.type == SQL_TYPE_DATE ? SQL_CODE_DATE : SQL_CODE_TIMESTAMP) : null,
                number_or_null(characters, f.octet_length),
                Value::integer(c.column_id),
                Value::text(c.nullable ? "YES" : "NO"),
            });
        }
    }
    return rs;
}

ResultSet primary_key_rows(Session& session, const CatalogArgument& catalog, const CatalogArgument& schema,
                           const std::string& table) {
    ResultSet rs;
    add_columns(rs, {{"TABLE_CAT", make_type("sysname")}, {"TABLE_SCHEM", make_type("sysname")},
                     {"TABLE_NAME", make_type("sysname")}, {"COLUMN_NAME", make_type("sysname")},
                     {"KEY_SEQ", make_type("smallint")}, {"PK_NAME", make_type("sysname")}});
    for (int c : {2, 3, 4}) rs.columns[c].nullable = false;
    const std::string& database = session.database();
    if (catalog && !iequals(*catalog, database)) return rs;
    for (const NamedObject& o : objects(session)) {
        if (o.type != "TABLE" || !iequals(o.name, table) || (schema && !iequals(*schema, o.schema))) continue;
        std::optional<TableInfo> t = session.catalog().find_table(ObjectName{"", o.schema, o.name});
        if (!t) continue;
        for (const KeyInfo& k : session.catalog().unique_keys(*t)) {
            if (!k.primary) continue;
            for (size_t i = 0; i < k.columns.size(); ++i)
                rs.rows.push_back({Value::text(database), Value::text(t->schema), Value::text(t->name),
                                   Value::text(t->column(k.columns[i])->name), Value::integer(static_cast<long long>(i + 1)),
                                   Value::text(k.name)});
        }
    }
    return rs;
}

InfoValue info_value(SQLUSMALLINT info_type, const std::string& database, const std::string& server) {
    auto text = [](std::string s) { return InfoValue{InfoValue::Text, std::move(s), 0}; };
    auto small = [](SQLUINTEGER v) { return InfoValue{InfoValue::Small, "", v}; };
    auto word = [](SQLUINTEGER v) { return InfoValue{InfoValue::Word, "", v}; };
    switch (info_type) {
        case SQL_DRIVER_NAME: return text("libsqlserver_standin_odbc.so");
        case SQL_DRIVER_VER: return text("01.00.0000");
        case SQL_DRIVER_ODBC_VER: return text("03.80");
        case SQL_DBMS_NAME: return text("SQL Server stand-in");
        case SQL_DBMS_VER: return text("16.00.0000");
        case SQL_DATA_SOURCE_NAME: return text("");
        case SQL_SERVER_NAME: return text(server);
        case SQL_DATABASE_NAME: return text(database);
        case SQL_USER_NAME: return text("dbo");
        case SQL_IDENTIFIER_QUOTE_CHAR: return text("\"");
        case SQL_SEARCH_PATTERN_ESCAPE: return text("\\");
        case SQL_CATALOG_NAME_SEPARATOR: return text(".");
        case SQL_CATALOG_TERM: return text("database");
        case SQL_SCHEMA_TERM: return text("owner");
        case SQL_TABLE_TERM: return text("table");
        case SQL_PROCEDURE_TERM: return text("stored procedure");
        case SQL_COLLATION_SEQ: return text(kDefaultCollation);
        case SQL_KEYWORDS: return text("");
        case SQL_SPECIAL_CHARACTERS: return text("#$@");
        case SQL_DESCRIBE_PARAMETER:
        case SQL_CATALOG_NAME: case SQL_ACCESSIBLE_TABLES: case SQL_ACCESSIBLE_PROCEDURES: case SQL_PROCEDURES:
        case SQL_COLUMN_ALIAS: case SQL_EXPRESSIONS_IN_ORDERBY: case SQL_LIKE_ESCAPE_CLAUSE: case SQL_MULT_RESULT_SETS:
        case SQL_MULTIPLE_ACTIVE_TXN: case SQL_NEED_LONG_DATA_LEN: case SQL_OUTER_JOINS: case SQL_INTEGRITY:
        case SQL_MAX_ROW_SIZE_INCLUDES_LONG:
            return text("Y");
        case SQL_DATA_SOURCE_READ_ONLY: case SQL_ORDER_BY_COLUMNS_IN_SELECT:
        case SQL_ROW_UPDATES:
            return text("N");
        // One active statement per connection: results are read before the next statement runs.
        case SQL_MAX_CONCURRENT_ACTIVITIES: return small(1);
        case SQL_MAX_DRIVER_CONNECTIONS: case SQL_ACTIVE_ENVIRONMENTS: case SQL_FILE_USAGE: return small(0);
        case SQL_CURSOR_COMMIT_BEHAVIOR: case SQL_CURSOR_ROLLBACK_BEHAVIOR: return small(SQL_CB_CLOSE);
        case SQL_TXN_CAPABLE: return small(SQL_TC_ALL);
        case SQL_IDENTIFIER_CASE: case SQL_QUOTED_IDENTIFIER_CASE: return small(SQL_IC_MIXED);
        case SQL_NULL_COLLATION: return small(SQL_NC_LOW);
        case SQL_CONCAT_NULL_BEHAVIOR: return small(SQL_CB_NULL);
        case SQL_CORRELATION_NAME: return small(SQL_CN_ANY);
        case SQL_NON_NULLABLE_COLUMNS: return small(SQL_NNC_NON_NULL);
        case SQL_GROUP_BY: return small(SQL_GB_GROUP_BY_CONTAINS_SELECT);
        case SQL_CATALOG_LOCATION: return small(SQL_CL_START);
        case SQL_ODBC_API_CONFORMANCE: return small(SQL_OAC_LEVEL2);
        case SQL_ODBC_SQL_CONFORMANCE: return small(SQL_OSC_CORE);
        case SQL_MAX_COLUMN_NAME_LEN: case SQL_MAX_TABLE_NAME_LEN: case SQL_MAX_SCHEMA_NAME_LEN:
        case SQL_MAX_CATALOG_NAME_LEN: case SQL_MAX_CURSOR_NAME_LEN: case SQL_MAX_PROCEDURE_NAME_LEN:
        case SQL_MAX_IDENTIFIER_LEN: case SQL_MAX_USER_NAME_LEN:
            return small(128);
        case SQL_MAX_COLUMNS_IN_SELECT: return small(4096);
        case SQL_MAX_COLUMNS_IN_TABLE: return small(1024);
        case SQL_MAX_COLUMNS_IN_INDEX: return small(16);
        case SQL_MAX_TABLES_IN_SELECT: return small(256);
        case SQL_MAX_COLUMNS_IN_GROUP_BY: case SQL_MAX_COLUMNS_IN_ORDER_BY: return small(0);
        case SQL_DEFAULT_TXN_ISOLATION: return word(SQL_TXN_READ_COMMITTED);
        case SQL_TXN_ISOLATION_OPTION:
            return word(SQL_TXN_READ_UNCOMMITTED | SQL_TXN_READ_COMMITTED | SQL_TXN_REPEATABLE_READ | SQL_TXN_SERIALIZABLE);
        case SQL_ODBC_INTERFACE_CONFORMANCE: return word(SQL_OIC_CORE);
        case SQL_SQL_CONFORMANCE: return word(SQL_SC_SQL92_ENTRY);
        // Arrays of parameters run as a batch: each set has its own row count and result sets.
        case SQL_PARAM_ARRAY_ROW_COUNTS: return word(SQL_PARC_BATCH);
        case SQL_PARAM_ARRAY_SELECTS: return word(SQL_PAS_BATCH);
        case SQL_BATCH_SUPPORT:
            return word(SQL_BS_SELECT_EXPLICIT | SQL_BS_ROW_COUNT_EXPLICIT | SQL_BS_SELECT_PROC | SQL_BS_ROW_COUNT_PROC);
        case SQL_BATCH_ROW_COUNT: return word(SQL_BRC_EXPLICIT);
        // SQLGetData reads the columns after the last bound one, in increasing order.
        case SQL_GETDATA_EXTENSIONS: return word(0);
        case SQL_SCROLL_OPTIONS: return word(SQL_SO_FORWARD_ONLY);
        case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1: return word(SQL_CA1_NEXT);
        case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES2: return word(SQL_CA2_READ_ONLY_CONCURRENCY);
        case SQL_STATIC_CURSOR_ATTRIBUTES1: case SQL_STATIC_CURSOR_ATTRIBUTES2: case SQL_KEYSET_CURSOR_ATTRIBUTES1:
        case SQL_KEYSET_CURSOR_ATTRIBUTES2: case SQL_DYNAMIC_CURSOR_ATTRIBUTES1: case SQL_DYNAMIC_CURSOR_ATTRIBUTES2:
        case SQL_POS_OPERATIONS: case SQL_POSITIONED_STATEMENTS: case SQL_LOCK_TYPES: case SQL_BOOKMARK_PERSISTENCE:
        case SQL_STATIC_SENSITIVITY: case SQL_STRING_FUNCTIONS: case SQL_NUMERIC_FUNCTIONS: case SQL_TIMEDATE_FUNCTIONS:
        case SQL_SYSTEM_FUNCTIONS: case SQL_CONVERT_FUNCTIONS: case SQL_DATETIME_LITERALS: case SQL_ASYNC_MODE:
        case SQL_MAX_ASYNC_CONCURRENT_STATEMENTS: case SQL_MAX_STATEMENT_LEN: case SQL_MAX_CHAR_LITERAL_LEN:
        case SQL_MAX_BINARY_LITERAL_LEN: case SQL_INFO_SCHEMA_VIEWS:
            return word(0);
        case SQL_MAX_ROW_SIZE: return word(8060);
        case SQL_OJ_CAPABILITIES:
            return word(SQL_OJ_LEFT | SQL_OJ_RIGHT | SQL_OJ_FULL | SQL_OJ_NESTED | SQL_OJ_NOT_ORDERED | SQL_OJ_INNER |
                        SQL_OJ_ALL_COMPARISON_OPS);
        case SQL_AGGREGATE_FUNCTIONS:
            return word(SQL_AF_AVG | SQL_AF_COUNT | SQL_AF_MAX | SQL_AF_MIN | SQL_AF_SUM | SQL_AF_DISTINCT | SQL_AF_ALL);
        case SQL_UNION: return word(SQL_U_UNION | SQL_U_UNION_ALL);
        case SQL_SUBQUERIES:
            return word(SQL_SQ_COMPARISON | SQL_SQ_EXISTS | SQL_SQ_IN | SQL_SQ_QUANTIFIED | SQL_SQ_CORRELATED_SUBQUERIES);
        case SQL_CATALOG_USAGE: case SQL_SCHEMA_USAGE:
            return word(SQL_SU_DML_STATEMENTS | SQL_SU_PROCEDURE_INVOCATION | SQL_SU_TABLE_DEFINITION |
                        SQL_SU_INDEX_DEFINITION | SQL_SU_PRIVILEGE_DEFINITION);
        default: return {};
    }
}

bool function_supported(SQLUSMALLINT id) {
    static const SQLUSMALLINT kSupported[] = {
        SQL_API_SQLALLOCHANDLE,    SQL_API_SQLFREEHANDLE,   SQL_API_SQLFREESTMT,      SQL_API_SQLCLOSECURSOR,
        SQL_API_SQLCANCEL,         SQL_API_SQLSETENVATTR,   SQL_API_SQLGETENVATTR,    SQL_API_SQLSETCONNECTATTR,
        SQL_API_SQLGETCONNECTATTR, SQL_API_SQLSETSTMTATTR,  SQL_API_SQLGETSTMTATTR,   SQL_API_SQLCONNECT,
        SQL_API_SQLDRIVERCONNECT,  SQL_API_SQLDISCONNECT,   SQL_API_SQLENDTRAN,       SQL_API_SQLPREPARE,
        SQL_API_SQLEXECUTE,        SQL_API_SQLEXECDIRECT,   SQL_API_SQLBINDPARAMETER, SQL_API_SQLNUMPARAMS,
        SQL_API_SQLPARAMDATA,      SQL_API_SQLPUTDATA,      SQL_API_SQLNUMRESULTCOLS, SQL_API_SQLROWCOUNT,
        SQL_API_SQLDESCRIBECOL,    SQL_API_SQLCOLATTRIBUTE, SQL_API_SQLBINDCOL,       SQL_API_SQLFETCH,
        SQL_API_SQLFETCHSCROLL,    SQL_API_SQLGETDATA,      SQL_API_SQLMORERESULTS,   SQL_API_SQLGETDIAGFIELD,
        SQL_API_SQLGETDIAGREC,     SQL_API_SQLGETINFO,      SQL_API_SQLGETTYPEINFO,   SQL_API_SQLGETFUNCTIONS,
        SQL_API_SQLTABLES,         SQL_API_SQLCOLUMNS,      SQL_API_SQLPRIMARYKEYS,   SQL_API_SQLDESCRIBEPARAM,
    };
    // The driver manager asks for every function id at each connect: a bitmap answers at once.
    static const std::bitset<65536> kBits = [] {
        std::bitset<65536> bits;
        for (SQLUSMALLINT f : kSupported) bits.set(f);
        return bits;
    }();
    return kBits.test(id);
}

}  // namespace sqlserver_standin

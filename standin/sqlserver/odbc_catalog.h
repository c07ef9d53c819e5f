// What the driver reports about data types, the database and itself, as SQL
// Server's drivers report it: the ODBC description of a T-SQL type
// (SQLDescribeCol, SQLColAttribute, SQLDescribeParam), the rows of
// SQLGetTypeInfo, SQLTables, SQLColumns and SQLPrimaryKeys, the values of
// SQLGetInfo and the functions SQLGetFunctions names.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>

#include "session.h"
#include "tsql_types.h"

namespace sqlserver_standin {

// SQL Server's own SQL type for time(n).
constexpr SQLSMALLINT kSsTime2 = -154;

struct OdbcTypeFacts {
    SQLSMALLINT type = 0;          // concise SQL type
    SQLULEN size = 0;              // column size
    SQLSMALLINT digits = 0;        // decimal digits
    SQLLEN display_size = 0;
    SQLLEN octet_length = 0;       // bytes of the value in its default C type
    std::string type_name;         // "int", "nvarchar", ...
    bool is_unsigned = false;
    SQLSMALLINT radix = 0;         // 10 or 2 for numbers, 0 otherwise
    bool case_sensitive = false;
    bool fixed_prec_scale = false;  // money and smallmoney
    const char* literal_prefix = "";
    const char* literal_suffix = "";
};

OdbcTypeFacts odbc_type_facts(const TsqlType& t);

// The C type a value of this SQL type is read as with SQL_C_DEFAULT.
SQLSMALLINT default_c_type(SQLSMALLINT sql_type);
// Bytes of one value of a fixed-size C type; 0 for CHAR, WCHAR, BINARY and unknown types.
SQLLEN fixed_c_type_size(SQLSMALLINT c_type);

// SQLGetTypeInfo's result for one SQL type, or every type for SQL_ALL_TYPES.
ResultSet type_info_rows(SQLSMALLINT sql_type);

// An argument of a catalog function: nullopt for a null pointer.
using CatalogArgument = std::optional<std::string>;

// Whether `name` matches an ODBC search pattern: % any run of characters, _ any
// one, \ escapes them; letters compare without case, as the default collation does.
bool matches_search_pattern(const std::string& pattern, const std::string& name);

// SQLTables: the tables and views of the database whose schema and name match
// the patterns, of the listed types ('TABLE', 'VIEW', quoted or not; absent:
// all), ordered by type, schema and name; or one of the enumerations of
// databases (catalog "%"), schemas (schema "%") and table types (type "%")
// when the other arguments are empty. The databases are the files of `data_dir`.
ResultSet table_rows(Session& session, const std::string& data_dir, const CatalogArgument& catalog,
                     const CatalogArgument& schema, const CatalogArgument& table, const CatalogArgument& types);
// SQLColumns: the columns matching the patterns, ordered by schema, table and
// position. Without a schema, a table name "schema.table" also names the table in its schema.
ResultSet column_rows(Session& session, const CatalogArgument& catalog, const CatalogArgument& schema,
                      const CatalogArgument& table, const CatalogArgument& column);
// SQLPrimaryKeys: the primary-key columns of the table named (not a pattern), in key order.
ResultSet primary_key_rows(Session& session, const CatalogArgument& catalog, const CatalogArgument& schema,
                           const std::string& table);

// One SQLGetInfo answer: a text, a 16-bit or a 32-bit value.
struct InfoValue {
    enum Kind { None, Text, Small, Word } kind = None;
    std::string text;
    SQLUINTEGER number = 0;
};
// `database` and `server` answer SQL_DATABASE_NAME and SQL_SERVER_NAME.
InfoValue info_value(SQLUSMALLINT info_type, const std::string& database, const std::string& server);

// Whether the driver implements the ODBC function with this SQL_API_* number.
bool function_supported(SQLUSMALLINT function_id);

}  // namespace sqlserver_standin

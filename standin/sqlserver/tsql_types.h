// T-SQL data types: their catalog facts (type ids, max_length, precision,
// scale as SQL Server reports them), how a value of each is stored in SQLite,
// and the conversions at write sites and in CAST.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sqlserver_standin {

struct TsqlType {
    std::string name;   // lower case base name: "int", "nvarchar", "datetime2", ...
    int length = 0;     // char/binary length in characters or bytes; -1 = max
    int precision = 0;  // decimal precision; fractional digits of time/datetime2
    int scale = 0;

    bool operator==(const TsqlType&) const = default;
    bool valid() const { return !name.empty(); }
    bool is_text() const;
    bool is_unicode() const { return name == "nchar" || name == "nvarchar" || name == "sysname" || name == "ntext"; }
    bool is_binary() const { return name == "binary" || name == "varbinary"; }
    bool is_integer() const;
    bool is_exact_numeric() const { return name == "decimal" || name == "numeric" || name == "money" || name == "smallmoney"; }
    bool is_datetime_family() const;

    // "nvarchar(50)", "decimal(18,2)", "datetime2(7)", "varbinary(max)".
    std::string text() const;
    // The declared type of the SQLite column: an affinity prefix plus the text,
    // so that sqlite3_column_decltype gives the T-SQL type back.
    std::string sqlite_decl() const;
    // The SQLite collation a column of this type compares with.
    std::string sqlite_collation(const std::string& collation_name) const;

    int system_type_id() const;
    int max_length() const;
    int catalog_precision() const;
    int catalog_scale() const;
};

// Parses "nvarchar", "decimal" with the arguments (as given; -1 = max).
// Returns an invalid type for an unknown name.
TsqlType make_type(const std::string& name, int arg1 = -2, int arg2 = -2);
// The type of a value that may be either: the one of higher data type
// precedence, wide enough for both (lengths, decimal digits, fractions), as
// CASE, COALESCE and UNION type their results.
TsqlType common_type(const TsqlType& a, const TsqlType& b);
// The type of `a op b` for the arithmetic operators + - * / % ("+" of two
// strings concatenates): the operand of higher precedence gives the type,
// decimals get the precision and scale the operator needs.
TsqlType arithmetic_type(const std::string& op, const TsqlType& a, const TsqlType& b);
// Parses the text form written by TsqlType::text() or an SQLite decltype.
std::optional<TsqlType> type_from_text(const std::string& text);

constexpr const char* kDefaultCollation = "SQL_Latin1_General_CP1_CI_AS";

}  // namespace sqlserver_standin

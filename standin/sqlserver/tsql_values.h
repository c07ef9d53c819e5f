// Values as the stand-in keeps them, and T-SQL's conversions between them:
// write-site conversion to a column's type (with SQL Server's errors),
// CAST/CONVERT, GUIDs, decimals and the date and time family.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tsql_types.h"

namespace sqlserver_standin {

struct Value {
    enum Kind { Null, Int, Real, Text, Blob } kind = Null;
    int64_t i = 0;
    double r = 0;
    std::string s;  // UTF-8 text or bytes

    static Value null() { return {}; }
    static Value integer(int64_t v) { Value x; x.kind = Int; x.i = v; return x; }
    static Value real(double v) { Value x; x.kind = Real; x.r = v; return x; }
    static Value text(std::string v) { Value x; x.kind = Text; x.s = std::move(v); return x; }
    static Value blob(std::string v) { Value x; x.kind = Blob; x.s = std::move(v); return x; }
    bool is_null() const { return kind == Null; }
};

// What a text value was before a CAST turned it into bytes: 'n' an nvarchar (UTF-16LE),
// 'v' a varchar (one byte per character), 'g' a uniqueidentifier (its 16 bytes), 0 not known
// (a parameter: a GUID text gives its 16 bytes, any other text is taken for an nvarchar).
using TextSource = char;

// Converts a value to the stored form of `type`. `cast` selects CAST
// semantics (silent truncation of texts and binaries, texts encoded as their
// type holds them) over those of a write site (error 8152). Throws TsqlError
// on failure.
Value convert_value(const Value& v, const TsqlType& type, bool cast, TextSource source = 0);

// UTF-8 text as SQL Server holds it: UTF-16LE for nvarchar, code page 1252 for varchar
// (characters beyond it become '?').
std::string encode_text(const std::string& utf8, bool unicode);
// The reverse: bytes read as UTF-16LE (an odd last byte as a character of its own) or as
// code page 1252, into UTF-8.
std::string decode_text(const std::string& bytes, bool unicode);

// GUID text <-> the 16 bytes SQL Server keeps (first three groups little-endian).
bool guid_to_bytes(const std::string& text, unsigned char out[16]);
std::string guid_from_bytes(const unsigned char in[16]);
// SQL Server's uniqueidentifier order: groups 5, 4, 3, 2, 1.
int compare_guid_text(std::string_view a, std::string_view b);
// Numeric comparison of canonical decimal texts.
int compare_decimal_text(const std::string& a, const std::string& b);

struct DateTimeParts {
    int year = 1900, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    int64_t nanos = 0;
    bool has_date = false, has_time = false;
    bool iso = false, has_seconds = false;  // 'T' between date and time; seconds given
    char zone = 0;                          // after the time: 'Z', or '+'/'-' of an offset
};
// Parses the stored forms and the usual literal forms, with Z or an offset (+hh:mm, -hh:mm)
// after a time; false if malformed.
bool parse_datetime(const std::string& text, DateTimeParts& out);
std::string format_datetime(const DateTimeParts& p, const TsqlType& type);

std::string current_datetime_text(bool utc, int digits);

std::string format_real(double v);

}  // namespace sqlserver_standin

#include "sql_functions.h"

#include <cstring>
#include <optional>
#include <random>
#include <string_view>
#include <unordered_map>
#include <strings.h>

#include <md5.h>
#include <sha1.h>
#include <sha2.h>

#include "session.h"
#include "translator.h"
#include "tsql_error.h"
#include "tsql_values.h"

namespace sqlserver_standin {

void set_result(sqlite3_context* ctx, const Value& v) {
    switch (v.kind) {
        case Value::Null: sqlite3_result_null(ctx); break;
        case Value::Int: sqlite3_result_int64(ctx, v.i); break;
        case Value::Real: sqlite3_result_double(ctx, v.r); break;
        case Value::Text: sqlite3_result_text(ctx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT); break;
        case Value::Blob: sqlite3_result_blob(ctx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT); break;
    }
}

namespace {

constexpr const char* kErrorTag = "\x01TSQL|";

Value value_of(sqlite3_value* v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_INTEGER: return Value::integer(sqlite3_value_int64(v));
        case SQLITE_FLOAT: return Value::real(sqlite3_value_double(v));
        case SQLITE_TEXT:
            return Value::text(std::string(reinterpret_cast<const char*>(sqlite3_value_text(v)), sqlite3_value_bytes(v)));
        case SQLITE_BLOB: {
            const void* p = sqlite3_value_blob(v);
            int n = sqlite3_value_bytes(v);
            return Value::blob(p ? std::string(static_cast<const char*>(p), n) : std::string());
        }
        default: return Value::null();
    }
}

void result_error(sqlite3_context* ctx, const TsqlError& e) {
    const DiagRecord& r = e.records.front();
    sqlite3_result_error(ctx, encode_function_error(r.native, r.sqlstate, r.message).c_str(), -1);
}

Session* session_of(sqlite3_context* ctx) { return static_cast<Connection*>(sqlite3_user_data(ctx))->session; }

std::string arg_text(sqlite3_value* v) {
    const unsigned char* t = sqlite3_value_text(v);
    return t ? reinterpret_cast<const char*>(t) : "";
}

std::string_view arg_view(sqlite3_value* v) {
    const unsigned char* t = sqlite3_value_text(v);
    return t ? std::string_view(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_value_bytes(v)))
             : std::string_view();
}

// The type named by argument i (a type text the translator wrote): parsed once per text and
// thread, not once per value, and looked up without a copy of the text.
const TsqlType& constant_arg_type(sqlite3_value** argv, int i) {
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    thread_local std::unordered_map<std::string, std::optional<TsqlType>, Hash, std::equal_to<>> parsed;
    std::string_view text = arg_view(argv[i]);
    auto it = parsed.find(text);
    if (it == parsed.end()) it = parsed.emplace(std::string(text), type_from_text(std::string(text))).first;
    if (!it->second) throw TsqlError(243, "42000", "Type " + std::string(text) + " is not a defined system type.", 16);
    return *it->second;
}

// Wraps a function body so that TsqlError becomes an SQLite function error.
template <typename F>
void guarded(sqlite3_context* ctx, F&& body) {
    try {
        body();
    } catch (const TsqlError& e) {
        result_error(ctx, e);
    } catch (const std::exception& e) {
        sqlite3_result_error(ctx, e.what(), -1);
    }
}

std::string as_text(const Value& v) {
    if (v.kind == Value::Int) return std::to_string(v.i);
    if (v.kind == Value::Real) return format_real(v.r);
    return v.s;
}

void fn_store(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        Value v = convert_value(value_of(argv[0]), constant_arg_type(argv, 1), false);
        set_result(ctx, v);
        session_of(ctx)->record_written(arg_view(argv[2]), std::move(v));
    });
}

// tsql_cast(value, 'type' [, source]): the source says what a text was (TextSource).
void fn_cast(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    guarded(ctx, [&] {
        TextSource source = argc > 2 ? arg_view(argv[2]).front() : 0;
        set_result(ctx, convert_value(value_of(argv[0]), constant_arg_type(argv, 1), true, source));
    });
}

// The number of rows a TOP keeps, checked when the statement runs.
void fn_top(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        Value v = value_of(argv[0]);
        if (v.is_null()) throw invalid_top();
        Value rows = convert_value(v, make_type("bigint"), true);
        if (rows.i < 0) throw invalid_top();
        sqlite3_result_int64(ctx, rows.i);
    });
}

// CHAR(n): the character of code n in the code page of varchar, NULL outside 0 to 255.
void fn_char(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        Value code = convert_value(value_of(argv[0]), make_type("int"), false);
        if (code.is_null() || code.i < 0 || code.i > 255) return sqlite3_result_null(ctx);
        set_result(ctx, Value::text(decode_text(std::string(1, static_cast<char>(code.i)), false)));
    });
}

// REPLICATE(text, n, limit): the text n times, cut at `limit` characters (UTF-16 units for an
// nvarchar) unless the limit is -1 (a max type); NULL for a negative n.
void fn_replicate(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        Value text = value_of(argv[0]), count = convert_value(value_of(argv[1]), make_type("bigint"), false);
        if (text.is_null() || count.is_null() || count.i < 0) return sqlite3_result_null(ctx);
        const std::string piece = as_text(text);
        const int64_t limit = sqlite3_value_int64(argv[2]);
        const bool utf16 = sqlite3_value_int64(argv[3]) != 0;
        const size_t max_bytes = static_cast<size_t>(sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LENGTH, -1));
        if (piece.empty() || count.i == 0) return set_result(ctx, Value::text(""));
        if (limit < 0 && static_cast<uint64_t>(count.i) > max_bytes / piece.size()) return sqlite3_result_error_toobig(ctx);
        std::string out;
        TsqlType cut = make_type(utf16 ? "nvarchar" : "varchar", static_cast<int>(limit));
        for (int64_t i = 0; i < count.i; ++i) {
            out += piece;
            if (limit >= 0 && out.size() > static_cast<size_t>(limit) * 4) break;
        }
        set_result(ctx, limit < 0 ? Value::text(std::move(out)) : convert_value(Value::text(out), cut, true));
    });
}

void fn_concat(sqlite3_context* ctx, int, sqlite3_value** argv) {
    Value a = value_of(argv[0]), b = value_of(argv[1]);
    if (a.is_null() || b.is_null()) return sqlite3_result_null(ctx);
    if (a.kind == Value::Blob && b.kind == Value::Blob) return set_result(ctx, Value::blob(a.s + b.s));
    set_result(ctx, Value::text(as_text(a) + as_text(b)));
}

void fn_add(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        Value a = value_of(argv[0]), b = value_of(argv[1]);
        if (a.is_null() || b.is_null()) return sqlite3_result_null(ctx);
        if ((a.kind == Value::Text && b.kind == Value::Text) || (a.kind == Value::Blob && b.kind == Value::Blob))
            return set_result(ctx, a.kind == Value::Blob ? Value::blob(a.s + b.s) : Value::text(a.s + b.s));
        auto number = [](const Value& v) {
            if (v.kind != Value::Text && v.kind != Value::Blob) return v;
            if (v.s.find_first_of(".eE") == std::string::npos)
                return convert_value(v, make_type("bigint"), true);
            return convert_value(v, make_type("float"), true);
        };
        a = number(a);
        b = number(b);
        if (a.kind == Value::Int && b.kind == Value::Int) {
            long long r;
            if (__builtin_add_overflow(a.i, b.i, &r))
                throw TsqlError(8115, "22003", "Arithmetic overflow error converting expression to data type bigint.");
            return set_result(ctx, Value::integer(r));
        }
        double x = a.kind == Value::Int ? static_cast<double>(a.i) : a.r;
        double y = b.kind == Value::Int ? static_cast<double>(b.i) : b.r;
        set_result(ctx, Value::real(x + y));
    });
}

void fn_len(sqlite3_context* ctx, int, sqlite3_value** argv) {
    Value v = value_of(argv[0]);
    if (v.is_null()) return sqlite3_result_null(ctx);
    std::string s = as_text(v);
    if (v.kind == Value::Blob) return sqlite3_result_int64(ctx, static_cast<long long>(s.size()));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    long long n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    sqlite3_result_int64(ctx, n);
}

void fn_trim(sqlite3_context* ctx, sqlite3_value* arg, bool left) {
    Value v = value_of(arg);
    if (v.is_null()) return sqlite3_result_null(ctx);
    std::string s = as_text(v);
    if (left) s.erase(0, s.find_first_not_of(' ') == std::string::npos ? s.size() : s.find_first_not_of(' '));
    else
        while (!s.empty() && s.back() == ' ') s.pop_back();
    set_result(ctx, Value::text(s));
}

void fn_now(sqlite3_context* ctx, bool utc, int digits) { set_result(ctx, Value::text(current_datetime_text(utc, digits))); }

void fn_dateadd(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        Value n = value_of(argv[1]), d = value_of(argv[2]);
        if (n.is_null() || d.is_null()) return sqlite3_result_null(ctx);
        DateTimeParts p;
        std::string text = as_text(d);
        if (!parse_datetime(text, p))
            throw TsqlError(241, "22007", "Conversion failed when converting date and/or time from character string.");
        long long amount = n.kind == Value::Int ? n.i : static_cast<long long>(convert_value(n, make_type("bigint"), true).i);
        std::string part = arg_text(argv[0]);
        size_t dot = text.find('.');
        int digits = dot == std::string::npos ? 0 : static_cast<int>(text.size() - dot - 1);
        TsqlType type = !p.has_time ? make_type("date") : digits > 3 ? make_type("datetime2", digits) : make_type("datetime");
        auto add_seconds = [&](long long secs) {
            long long total = ((p.hour * 60LL + p.minute) * 60 + p.second) + secs;
            long long days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
            total -= days * 86400;
            p.hour = static_cast<int>(total / 3600);
            p.minute = static_cast<int>(total / 60 % 60);
            p.second = static_cast<int>(total % 60);
            return days;
        };
        long long days = 0;
        if (part == "DAY" || part == "DD" || part == "D" || part == "DAYOFYEAR" || part == "DY") days = amount;
        else if (part == "WEEK" || part == "WK" || part == "WW") days = amount * 7;
        else if (part == "HOUR" || part == "HH") days = add_seconds(amount * 3600);
        else if (part == "MINUTE" || part == "MI" || part == "N") days = add_seconds(amount * 60);
        else if (part == "SECOND" || part == "SS" || part == "S") days = add_seconds(amount);
        else if (part == "MONTH" || part == "MM" || part == "M" || part == "YEAR" || part == "YY" || part == "YYYY") {
            long long months = (part[0] == 'M') ? amount : amount * 12;
            long long m = p.year * 12LL + (p.month - 1) + months;
            p.year = static_cast<int>(m / 12);
            p.month = static_cast<int>(m % 12 + 1);
            static const int dm[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            int last = dm[p.month - 1] + (p.month == 2 && ((p.year % 4 == 0 && p.year % 100 != 0) || p.year % 400 == 0));
            if (p.day > last) p.day = last;
        } else
            throw TsqlError(155, "42000", "'" + part + "' is not a recognized dateadd option.", 15);
        if (days) {
            // timegm normalises an out-of-range day of the month into a real date.
            struct tm tmv {};
            tmv.tm_year = p.year - 1900;
            tmv.tm_mon = p.month - 1;
            tmv.tm_mday = static_cast<int>(p.day + days);
            tmv.tm_hour = 12;
            timegm(&tmv);
            p.year = tmv.tm_year + 1900;
            p.month = tmv.tm_mon + 1;
            p.day = tmv.tm_mday;
        }
        set_result(ctx, Value::text(format_datetime(p, type)));
    });
}

void fn_newid(sqlite3_context* ctx, int, sqlite3_value**) {
    unsigned char b[16];
    sqlite3_randomness(16, b);
    b[7] = static_cast<unsigned char>((b[7] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    set_result(ctx, Value::text(guid_from_bytes(b)));
}

// The bytes of a value; a text typed by the translation ('n' national, 'v' not) counts as
// SQL Server holds it, NUL characters included.
void fn_datalength(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    Value v = value_of(argv[0]);
    if (v.is_null()) return sqlite3_result_null(ctx);
    if (v.kind == Value::Int) return sqlite3_result_int64(ctx, 8);
    if (v.kind == Value::Real) return sqlite3_result_int64(ctx, 8);
    if (argc == 2 && v.kind == Value::Text)
        return sqlite3_result_int64(ctx, static_cast<long long>(encode_text(v.s, arg_text(argv[1]) != "v").size()));
    sqlite3_result_int64(ctx, static_cast<long long>(v.s.size()));
}

void fn_hashbytes(sqlite3_context* ctx, int, sqlite3_value** argv) {
    Value v = value_of(argv[1]);
    if (v.is_null()) return sqlite3_result_null(ctx);
    std::string alg = arg_text(argv[0]);
    std::string data = v.kind == Value::Text ? encode_text(v.s, arg_text(argv[2]) != "v") : as_text(v);
    auto* p = reinterpret_cast<const uint8_t*>(data.data());
    if (strcasecmp(alg.c_str(), "MD5") == 0) {
        MD5_CTX c;
        uint8_t out[MD5_DIGEST_LENGTH];
        MD5Init(&c);
        MD5Update(&c, p, data.size());
        MD5Final(out, &c);
        return set_result(ctx, Value::blob(std::string(reinterpret_cast<char*>(out), sizeof out)));
    }
    if (strcasecmp(alg.c_str(), "SHA1") == 0) {
        SHA1_CTX c;
        uint8_t out[SHA1_DIGEST_LENGTH];
        SHA1Init(&c);
        SHA1Update(&c, p, data.size());
        SHA1Final(out, &c);
        return set_result(ctx, Value::blob(std::string(reinterpret_cast<char*>(out), sizeof out)));
    }
    if (strcasecmp(alg.c_str(), "SHA2_256") == 0) {
        SHA2_CTX c;
        uint8_t out[SHA256_DIGEST_LENGTH];
        SHA256Init(&c);
        SHA256Update(&c, p, data.size());
        SHA256Final(out, &c);
        return set_result(ctx, Value::blob(std::string(reinterpret_cast<char*>(out), sizeof out)));
    }
    sqlite3_result_null(ctx);
}

void fn_object_id(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    guarded(ctx, [&] {
        if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
        std::string type = argc > 1 ? arg_text(argv[1]) : "";
        auto id = session_of(ctx)->catalog().object_id(arg_text(argv[0]), type);
        if (id) sqlite3_result_int64(ctx, *id);
        else sqlite3_result_null(ctx);
    });
}

void fn_object_name(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
        auto n = session_of(ctx)->catalog().object_name(static_cast<int>(sqlite3_value_int64(argv[0])));
        if (n) set_result(ctx, Value::text(*n));
        else sqlite3_result_null(ctx);
    });
}

void fn_object_schema_name(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
        Catalog& c = session_of(ctx)->catalog();
        auto sid = c.object_schema_id(static_cast<int>(sqlite3_value_int64(argv[0])));
        auto n = sid ? c.schema_name(*sid) : std::nullopt;
        if (n) set_result(ctx, Value::text(*n));
        else sqlite3_result_null(ctx);
    });
}

void fn_schema_name(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
        auto n = session_of(ctx)->catalog().schema_name(static_cast<int>(sqlite3_value_int64(argv[0])));
        if (n) set_result(ctx, Value::text(*n));
        else sqlite3_result_null(ctx);
    });
}

void fn_quotename(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    std::string s = arg_text(argv[0]);
    std::string q = argc > 1 ? arg_text(argv[1]) : "[";
    char open = q.empty() ? '[' : q[0];
    char close = open == '[' || open == ']' ? ']' : open == '(' ? ')' : open == '<' ? '>' : open == '{' ? '}' : open;
    if (open == ']') open = '[';
    if (std::string("[\"'()<>{}`").find(open) == std::string::npos || s.size() > 128) return sqlite3_result_null(ctx);
    std::string out(1, open);
    for (char c : s) {
        out += c;
        if (c == close) out += c;
    }
    out += close;
    set_result(ctx, Value::text(out));
}

void fn_col_length(sqlite3_context* ctx, int, sqlite3_value** argv) {
    guarded(ctx, [&] {
        Catalog& cat = session_of(ctx)->catalog();
        std::string table = arg_text(argv[0]);
        // Resolve through OBJECT_ID's name rules, then read the column.
        ObjectName n;
        std::string rest = table;
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t i = 0; i <= rest.size(); ++i)
            if (i == rest.size() || rest[i] == '.') {
                std::string p = rest.substr(start, i - start);
                if (p.size() >= 2 && (p.front() == '[' || p.front() == '"')) p = p.substr(1, p.size() - 2);
                parts.push_back(p);
                start = i + 1;
            }
        n.name = parts.back();
        if (parts.size() >= 2) n.schema = parts[parts.size() - 2];
        if (parts.size() >= 3) n.database = parts[0];
        auto t = cat.find_table(n);
        const ColumnInfo* c = t ? t->column(arg_text(argv[1])) : nullptr;
        if (!c) return sqlite3_result_null(ctx);
        sqlite3_result_int64(ctx, c->type.max_length());
    });
}

// Runs for every row a statement inserts into a table with an identity column: its statement
// comes from the connection's cache.
void fn_identity(sqlite3_context* ctx, int, sqlite3_value** argv) {
    static const std::string next_value =
        "UPDATE \"sys$identity\" SET last_value = CASE WHEN last_value IS NULL THEN seed ELSE "
        "last_value + increment END WHERE object_id = ? RETURNING last_value";
    sqlite3* db = sqlite3_context_db_handle(ctx);
    StatementCache& cache = static_cast<Connection*>(sqlite3_user_data(ctx))->statements;
    sqlite3_stmt* st = nullptr;
    std::shared_ptr<const TableSet> reads;
    cache.prepare(next_value, &st, &reads);
    sqlite3_bind_int64(st, 1, sqlite3_value_int64(argv[0]));
    if (sqlite3_step(st) == SQLITE_ROW) sqlite3_result_int64(ctx, sqlite3_column_int64(st, 0));
    else sqlite3_result_error(ctx, sqlite3_errmsg(db), -1);
    cache.release(next_value, st, std::move(reads));
}

void fn_temp_identity(sqlite3_context* ctx, int, sqlite3_value** argv) {
    sqlite3_result_int64(ctx, session_of(ctx)->temp_identity(arg_text(argv[0]), sqlite3_value_int64(argv[1]),
                                                             sqlite3_value_int64(argv[2])));
}

// Text compared as SQL Server's collations do: trailing spaces never count.
int compare_text(int n1, const void* p1, int n2, const void* p2, bool nocase) {
    auto* a = static_cast<const unsigned char*>(p1);
    auto* b = static_cast<const unsigned char*>(p2);
    while (n1 > 0 && a[n1 - 1] == ' ') --n1;
    while (n2 > 0 && b[n2 - 1] == ' ') --n2;
    int n = n1 < n2 ? n1 : n2;
    for (int i = 0; i < n; ++i) {
        int x = a[i], y = b[i];
        if (nocase) {
            if (x < 0x80) x = std::tolower(x);
            if (y < 0x80) y = std::tolower(y);
        }
        if (x != y) return x < y ? -1 : 1;
    }
    return n1 == n2 ? 0 : n1 < n2 ? -1 : 1;
}

int coll_ci(void*, int n1, const void* p1, int n2, const void* p2) { return compare_text(n1, p1, n2, p2, true); }
int coll_cs(void*, int n1, const void* p1, int n2, const void* p2) { return compare_text(n1, p1, n2, p2, false); }
int coll_guid(void*, int n1, const void* p1, int n2, const void* p2) {
    return compare_guid_text(std::string_view(static_cast<const char*>(p1), n1), std::string_view(static_cast<const char*>(p2), n2));
}
int coll_decimal(void*, int n1, const void* p1, int n2, const void* p2) {
    return compare_decimal_text(std::string(static_cast<const char*>(p1), n1),
                                std::string(static_cast<const char*>(p2), n2));
}

}  // namespace

std::string encode_function_error(int native, const std::string& sqlstate, const std::string& message) {
    return std::string(kErrorTag) + std::to_string(native) + "|" + sqlstate + "|" + message;
}

bool decode_function_error(const std::string& text, int& native, std::string& sqlstate, std::string& message) {
    size_t tag = text.find(kErrorTag);
    if (tag == std::string::npos) return false;
    std::string rest = text.substr(tag + std::strlen(kErrorTag));
    size_t a = rest.find('|'), b = rest.find('|', a + 1);
    if (a == std::string::npos || b == std::string::npos) return false;
    native = std::atoi(rest.substr(0, a).c_str());
    sqlstate = rest.substr(a + 1, b - a - 1);
    message = rest.substr(b + 1);
    return true;
}

void register_functions(Connection& connection) {
    sqlite3* db = connection.db;
    struct Def {
        const char* name;
        int argc;
        void (*fn)(sqlite3_context*, int, sqlite3_value**);
        bool deterministic;
    };
    static const Def defs[] = {
        {"tsql_store", 3, fn_store, true},
        {"tsql_cast", 2, fn_cast, true},
        {"tsql_cast", 3, fn_cast, true},
        {"tsql_top", 1, fn_top, true},
        {"tsql_char", 1, fn_char, true},
        {"tsql_replicate", 4, fn_replicate, true},
        {"tsql_concat", 2, fn_concat, true},
        {"tsql_add", 2, fn_add, true},
        {"tsql_len", 1, fn_len, true},
        {"tsql_datalength", 1, fn_datalength, true},
        {"tsql_datalength", 2, fn_datalength, true},
        {"tsql_ltrim", 1, [](sqlite3_context* c, int, sqlite3_value** v) { fn_trim(c, v[0], true); }, true},
        {"tsql_rtrim", 1, [](sqlite3_context* c, int, sqlite3_value** v) { fn_trim(c, v[0], false); }, true},
        {"tsql_getdate", 0, [](sqlite3_context* c, int, sqlite3_value**) { fn_now(c, false, 3); }, false},
        {"tsql_getutcdate", 0, [](sqlite3_context* c, int, sqlite3_value**) { fn_now(c, true, 3); }, false},
        {"tsql_sysdatetime", 0, [](sqlite3_context* c, int, sqlite3_value**) { fn_now(c, false, 7); }, false},
        {"tsql_sysutcdatetime", 0, [](sqlite3_context* c, int, sqlite3_value**) { fn_now(c, true, 7); }, false},
        {"tsql_dateadd", 3, fn_dateadd, true},
        {"tsql_newid", 0, fn_newid, false},
        {"tsql_hashbytes", 3, fn_hashbytes, true},
        {"tsql_fetch_status", 0,
         [](sqlite3_context* c, int, sqlite3_value**) { sqlite3_result_int64(c, session_of(c)->fetch_status()); }, false},
        {"tsql_peek_txid", 1,
         [](sqlite3_context* c, int, sqlite3_value** v) {
             if (auto t = session_of(c)->peek_txid(arg_text(v[0]))) sqlite3_result_int64(c, *t);
             else sqlite3_result_null(c);
         },
         false},
        {"tsql_current_txid", 1,
         [](sqlite3_context* c, int, sqlite3_value** v) {
             guarded(c, [&] { sqlite3_result_int64(c, session_of(c)->current_txid(arg_text(v[0]))); });
         },
         false},
        {"tsql_object_id", 1, fn_object_id, false},
        {"tsql_object_id", 2, fn_object_id, false},
        {"tsql_object_name", 1, fn_object_name, false},
        {"tsql_object_schema_name", 1, fn_object_schema_name, false},
        {"tsql_schema_name", 1, fn_schema_name, false},
        {"tsql_quotename", 1, fn_quotename, true},
        {"tsql_quotename", 2, fn_quotename, true},
        {"tsql_col_length", 2, fn_col_length, false},
        {"tsql_identity", 1, fn_identity, false},
        {"tsql_temp_identity", 3, fn_temp_identity, false},
        {"tsql_rowcount", 0,
         [](sqlite3_context* c, int, sqlite3_value**) { sqlite3_result_int64(c, session_of(c)->rowcount()); }, false},
        {"tsql_trancount", 0,
         [](sqlite3_context* c, int, sqlite3_value**) { sqlite3_result_int64(c, session_of(c)->trancount()); }, false},
        {"tsql_db_name", 0,
         [](sqlite3_context* c, int, sqlite3_value**) { set_result(c, Value::text(session_of(c)->database())); }, false},
    };
    for (const Def& d : defs)
        sqlite3_create_function_v2(db, d.name, d.argc,
                                   SQLITE_UTF8 | (d.deterministic ? SQLITE_DETERMINISTIC : 0), &connection, d.fn, nullptr,
                                   nullptr, nullptr);
    sqlite3_create_collation(db, "TSQL_CI", SQLITE_UTF8, nullptr, coll_ci);
    sqlite3_create_collation(db, "TSQL_CS", SQLITE_UTF8, nullptr, coll_cs);
    sqlite3_create_collation(db, "TSQL_BIN", SQLITE_UTF8, nullptr, coll_cs);
    sqlite3_create_collation(db, "TSQL_GUID", SQLITE_UTF8, nullptr, coll_guid);
    sqlite3_create_collation(db, "TSQL_DECIMAL", SQLITE_UTF8, nullptr, coll_decimal);
}

}  // namespace sqlserver_standin

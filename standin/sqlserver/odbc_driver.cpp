// The ODBC driver entry points unixODBC loads: handles, connection string,
// prepare/execute with bound and data-at-execution parameters, output
// parameters, result description, chunked SQLGetData, several result sets
// and diagnostics. Text entry points come as A (UTF-8) and W (UTF-16).
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <strings.h>
#include <vector>

#include "session.h"
#include "tsql_parser.h"

static_assert(sizeof(SQLWCHAR) == 2, "the driver speaks UTF-16 through SQLWCHAR");

using namespace sqlserver_standin;

namespace {

// SQLSTATE 22018: a bound character value that does not convert to the parameter's type.
const char kInvalidCharacterValue[] = "Invalid character value for cast";

constexpr SQLSMALLINT kSsTime2 = -154;
constexpr SQLINTEGER kSsMsgState = -1150;
constexpr SQLINTEGER kSsSeverity = -1151;

enum class Kind { Env = 0x454e5631, Dbc = 0x44424331, Stmt = 0x53544d31 };

struct Handle {
    Kind kind;
    std::vector<DiagRecord> diags;
    explicit Handle(Kind k) : kind(k) {}
    void error(const std::string& state, const std::string& msg, int native = 0) {
        diags.push_back({state, native, msg, 16, 1});
    }
    void error(const TsqlError& e) { diags.insert(diags.end(), e.records.begin(), e.records.end()); }
};

struct Env : Handle {
    Env() : Handle(Kind::Env) {}
    SQLINTEGER version = SQL_OV_ODBC3;
};

struct Dbc : Handle {
    explicit Dbc(Env* e) : Handle(Kind::Dbc), env(e) {}
    Env* env;
    std::unique_ptr<Session> session;
    bool autocommit = true;
};

struct ParamBinding {
    SQLSMALLINT io = SQL_PARAM_INPUT;
    SQLSMALLINT ctype = SQL_C_DEFAULT;
    SQLSMALLINT sqltype = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLPOINTER ptr = nullptr;
    SQLLEN buflen = 0;
    SQLLEN* ind = nullptr;
};

struct Stmt : Handle {
    explicit Stmt(Dbc* d) : Handle(Kind::Stmt), dbc(d) {}
    Dbc* dbc;
    std::optional<Batch> batch;
    bool prepared = false;  // by SQLPrepare; SQLExecDirect sends a plain batch
    std::map<int, ParamBinding> params;  // by 1-based number
    ExecOutcome outcome;
    bool has_results = false;
    size_t set = 0;
    long row = -1;
    int getdata_col = 0;
    size_t getdata_offset = 0;
    bool getdata_done = false;
    std::vector<int> pending;  // data-at-execution parameters still to come
    int current_dae = 0;
    std::map<int, std::string> dae_data;

    const ResultSet* current() const {
        return has_results && set < outcome.results.size() ? &outcome.results[set] : nullptr;
    }
    void close() {
        outcome = {};
        has_results = false;
        set = 0;
        row = -1;
        getdata_col = 0;
    }
};

template <typename T>
T* as(SQLHANDLE h, Kind k) {
    auto* p = static_cast<Handle*>(h);
    return p && p->kind == k ? static_cast<T*>(p) : nullptr;
}

// ---- text ----

std::string utf16_to_utf8(const SQLWCHAR* s, SQLLEN units) {
    std::string out;
    if (!s) return out;
    if (units == SQL_NTS) {
        units = 0;
        while (s[units]) ++units;
    }
    for (SQLLEN i = 0; i < units; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) out += static_cast<char>(c);
        else if (c < 0x800) out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        else if (c < 0x10000)
            out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (c & 0x3F))};
        else
            out += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                    static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    return out;
}

std::u16string utf8_to_utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        uint32_t cp;
        int n;
        if (c < 0x80) cp = c, n = 1;
        else if ((c >> 5) == 6) cp = c & 0x1F, n = 2;
        else if ((c >> 4) == 14) cp = c & 0x0F, n = 3;
        else cp = c & 0x07, n = 4;
        for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else
            out += static_cast<char16_t>(cp);
    }
    return out;
}

std::string narrow_in(const SQLCHAR* s, SQLLEN len) {
    if (!s) return "";
    if (len == SQL_NTS) return reinterpret_cast<const char*>(s);
    return std::string(reinterpret_cast<const char*>(s), len);
}

// Copies text into a caller buffer of `buflen` bytes (A) or characters (W);
// the length written back is in the same unit. Returns whether it was cut.
bool text_out_a(const std::string& s, SQLCHAR* buf, SQLLEN buflen, SQLSMALLINT* len) {
    if (len) *len = static_cast<SQLSMALLINT>(s.size());
    if (!buf || buflen <= 0) return !s.empty();
    size_t n = std::min<size_t>(s.size(), buflen - 1);
    std::memcpy(buf, s.data(), n);
    buf[n] = 0;
    return n < s.size();
}

bool text_out_w(const std::string& s, SQLWCHAR* buf, SQLLEN buf_chars, SQLSMALLINT* len) {
    std::u16string w = utf8_to_utf16(s);
    if (len) *len = static_cast<SQLSMALLINT>(w.size());
    if (!buf || buf_chars <= 0) return !w.empty();
    size_t n = std::min<size_t>(w.size(), buf_chars - 1);
    std::memcpy(buf, w.data(), n * 2);
    buf[n] = 0;
    return n < w.size();
}

// ---- connection string ----

std::map<std::string, std::string> parse_connection_string(const std::string& s) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t eq = s.find('=', i);
        if (eq == std::string::npos) break;
        std::string key = s.substr(i, eq - i);
        while (!key.empty() && key.front() == ' ') key.erase(0, 1);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value;
        i = eq + 1;
        if (i < s.size() && s[i] == '{') {
            for (++i; i < s.size(); ++i) {
                if (s[i] == '}') {
                    if (i + 1 < s.size() && s[i + 1] == '}') {
                        value += '}';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += s[i];
            }
            size_t semi = s.find(';', i);
            i = semi == std::string::npos ? s.size() : semi + 1;
        } else {
            size_t semi = s.find(';', i);
            value = s.substr(i, semi == std::string::npos ? std::string::npos : semi - i);
            i = semi == std::string::npos ? s.size() : semi + 1;
        }
        out[key] = value;
    }
    return out;
}

SQLRETURN connect(Dbc* dbc, const std::string& cs) {
    dbc->diags.clear();
    if (dbc->session) {
        dbc->error("08002", "Connection name in use");
        return SQL_ERROR;
    }
    auto kv = parse_connection_string(cs);
    std::string dir = kv.count("server") ? kv["server"] : "";
    std::string db = kv.count("database") ? kv["database"] : "master";
    struct stat sb;
    if (dir.empty() || stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        dbc->error("08001", "The data directory named by Server= does not exist: '" + dir + "'.", 2);
        return SQL_ERROR;
    }
    try {
        std::vector<FaultSpec> faults = kv.count("fault") ? parse_faults(kv["fault"]) : std::vector<FaultSpec>{};
        dbc->session = std::make_unique<Session>(dir, db, std::move(faults));
    } catch (const TsqlError& e) {
        dbc->error(e);
        return SQL_ERROR;
    } catch (const std::exception& e) {
        dbc->error("08001", e.what());
        return SQL_ERROR;
    }
    return SQL_SUCCESS;
}

// ---- parameters ----

Value param_value(Stmt* s, int number, const ParamBinding& b) {
    SQLLEN ind = b.ind ? *b.ind : 0;
    if (b.ind && ind == SQL_NULL_DATA) return Value::null();
    auto dae = s->dae_data.find(number);
    SQLSMALLINT ct = b.ctype;
    if (ct == SQL_C_DEFAULT) {
        switch (b.sqltype) {
            case SQL_INTEGER: ct = SQL_C_SLONG; break;
            case SQL_BIGINT: ct = SQL_C_SBIGINT; break;
            case SQL_FLOAT: case SQL_DOUBLE: ct = SQL_C_DOUBLE; break;
            case SQL_WCHAR: case SQL_WVARCHAR: case SQL_WLONGVARCHAR: ct = SQL_C_WCHAR; break;
            case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY: ct = SQL_C_BINARY; break;
            default: ct = SQL_C_CHAR;
        }
    }
    const void* p = b.ptr;
    auto bytes = [&](bool wide) -> std::string {
        if (dae != s->dae_data.end()) return dae->second;
        if (!p) return "";
        SQLLEN n = b.ind ? ind : SQL_NTS;
        if (n == SQL_NTS) {
            if (wide) {
                size_t k = 0;
                while (static_cast<const SQLWCHAR*>(p)[k]) ++k;
                return std::string(static_cast<const char*>(p), k * 2);
            }
            return static_cast<const char*>(p);
        }
        return std::string(static_cast<const char*>(p), n);
    };
    switch (ct) {
        case SQL_C_SLONG: case SQL_C_LONG: return Value::integer(*static_cast<const SQLINTEGER*>(p));
        case SQL_C_ULONG: return Value::integer(*static_cast<const SQLUINTEGER*>(p));
        case SQL_C_SSHORT: case SQL_C_SHORT: return Value::integer(*static_cast<const SQLSMALLINT*>(p));
        case SQL_C_USHORT: return Value::integer(*static_cast<const SQLUSMALLINT*>(p));
        case SQL_C_STINYINT: case SQL_C_TINYINT: return Value::integer(*static_cast<const signed char*>(p));
        case SQL_C_UTINYINT: case SQL_C_BIT: return Value::integer(*static_cast<const unsigned char*>(p));
        case SQL_C_SBIGINT: return Value::integer(*static_cast<const SQLBIGINT*>(p));
        case SQL_C_UBIGINT: return Value::integer(static_cast<long long>(*static_cast<const SQLUBIGINT*>(p)));
        case SQL_C_DOUBLE: return Value::real(*static_cast<const SQLDOUBLE*>(p));
        case SQL_C_FLOAT: return Value::real(*static_cast<const SQLREAL*>(p));
        case SQL_C_CHAR: return Value::text(bytes(false));
        case SQL_C_WCHAR: {
            std::string raw = bytes(true);
            return Value::text(utf16_to_utf8(reinterpret_cast<const SQLWCHAR*>(raw.data()), static_cast<SQLLEN>(raw.size() / 2)));
        }
        case SQL_C_TYPE_DATE: case SQL_C_DATE: {
            auto* d = static_cast<const SQL_DATE_STRUCT*>(p);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", d->year, d->month, d->day);
            return Value::text(buf);
        }
        case SQL_C_TYPE_TIMESTAMP: case SQL_C_TIMESTAMP: {
            auto* t = static_cast<const SQL_TIMESTAMP_STRUCT*>(p);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%09u", t->year, t->month, t->day, t->hour,
                          t->minute, t->second, static_cast<unsigned>(t->fraction));
            return Value::text(buf);
        }
        case SQL_C_TYPE_TIME: case SQL_C_TIME: {
            auto* t = static_cast<const SQL_TIME_STRUCT*>(p);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", t->hour, t->minute, t->second);
            return Value::text(buf);
        }
        case SQL_C_GUID: {
            auto* g = static_cast<const SQLGUID*>(p);
            char buf[40];
            std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g->Data1, g->Data2, g->Data3,
                          g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6],
                          g->Data4[7]);
            return Value::text(buf);
        }
        case SQL_C_BINARY: {
            if (b.sqltype == kSsTime2) {
                // hour, minute, second (16 bits each), 2 bytes padding, fraction in nanoseconds.
                const auto* t = static_cast<const unsigned char*>(p);
                uint16_t h, m, sec;
                uint32_t frac;
                std::memcpy(&h, t, 2);
                std::memcpy(&m, t + 2, 2);
                std::memcpy(&sec, t + 4, 2);
                std::memcpy(&frac, t + 8, 4);
                char buf[40];
                std::snprintf(buf, sizeof buf, "%02u:%02u:%02u.%09u", h, m, sec, frac);
                return Value::text(buf);
            }
            if (dae != s->dae_data.end()) return Value::blob(dae->second);
            SQLLEN n = b.ind ? ind : b.buflen;
            return Value::blob(p && n > 0 ? std::string(static_cast<const char*>(p), n) : std::string());
        }
        default: throw TsqlError(0, "HYC00", "Optional feature not implemented (C type " + std::to_string(ct) + ").");
    }
}

bool is_data_at_exec(const ParamBinding& b) {
    return b.ind && (*b.ind == SQL_DATA_AT_EXEC || *b.ind <= SQL_LEN_DATA_AT_EXEC_OFFSET);
}

void write_output(const ParamBinding& b, const Value& v) {
    if (v.is_null()) {
        if (b.ind) *b.ind = SQL_NULL_DATA;
        return;
    }
    switch (b.ctype) {
        case SQL_C_SLONG: case SQL_C_LONG: *static_cast<SQLINTEGER*>(b.ptr) = static_cast<SQLINTEGER>(v.i); if (b.ind) *b.ind = 4; break;
        case SQL_C_DOUBLE: *static_cast<SQLDOUBLE*>(b.ptr) = v.kind == Value::Real ? v.r : static_cast<double>(v.i); if (b.ind) *b.ind = 8; break;
        default: *static_cast<SQLBIGINT*>(b.ptr) = v.i; if (b.ind) *b.ind = 8; break;
    }
}

SQLRETURN run(Stmt* s) {
    std::vector<Value> values;
    try {
        for (int i = 1; i <= s->batch->param_count; ++i) {
            auto it = s->params.find(i);
            if (it == s->params.end()) {
                s->error("07002", "COUNT field incorrect or syntax error");
                return SQL_ERROR;
            }
            values.push_back(it->second.io == SQL_PARAM_OUTPUT ? Value::null() : param_value(s, i, it->second));
        }
        Session& session = *s->dbc->session;
        if (!s->dbc->autocommit && !session.in_transaction()) session.execute_text("BEGIN TRANSACTION");
        // SQL Server's drivers run a prepared or parameterised statement as a procedure call
        // (sp_prepexec, sp_execute, sp_executesql), in a scope of its own.
        s->outcome = session.execute(*s->batch, values, s->prepared || s->batch->param_count > 0);
    } catch (const TsqlError& e) {
        s->dae_data.clear();
        s->error(e);
        return SQL_ERROR;
    } catch (const std::exception& e) {
        s->dae_data.clear();
        s->error("HY000", e.what());
        return SQL_ERROR;
    }
    s->dae_data.clear();
    for (const auto& [pos, v] : s->outcome.outputs) {
        auto it = s->params.find(pos + 1);
        if (it != s->params.end() && it->second.io != SQL_PARAM_INPUT) write_output(it->second, v);
    }
    s->has_results = true;
    if (s->outcome.no_rows_affected) return SQL_NO_DATA;
    return SQL_SUCCESS;
}

SQLRETURN execute(Stmt* s) {
    s->diags.clear();
    s->close();
    if (!s->batch) {
        s->error("HY010", "Function sequence error");
        return SQL_ERROR;
    }
    s->pending.clear();
    s->dae_data.clear();
    s->current_dae = 0;
    for (const auto& [n, b] : s->params)
        if (n <= s->batch->param_count && is_data_at_exec(b)) s->pending.push_back(n);
    if (!s->pending.empty()) return SQL_NEED_DATA;
    return run(s);
}

SQLRETURN prepare(Stmt* s, const std::string& sql, bool prepared) {
    s->diags.clear();
    s->close();
    s->batch.reset();
    s->prepared = prepared;
    try {
        s->batch = parse_batch(sql);
    } catch (const TsqlError& e) {
        s->error(e);
        return SQL_ERROR;
    }
    return SQL_SUCCESS;
}

// ---- results ----

struct SqlTypeInfo {
    SQLSMALLINT type;
    SQLULEN size;
    SQLSMALLINT digits;
};

SqlTypeInfo describe(const TsqlType& t) {
    const std::string& n = t.name;
    if (n == "bit") return {SQL_BIT, 1, 0};
    if (n == "tinyint") return {SQL_TINYINT, 3, 0};
    if (n == "smallint") return {SQL_SMALLINT, 5, 0};
    if (n == "int") return {SQL_INTEGER, 10, 0};
    if (n == "bigint") return {SQL_BIGINT, 19, 0};
    if (n == "decimal") return {SQL_DECIMAL, static_cast<SQLULEN>(t.precision), static_cast<SQLSMALLINT>(t.scale)};
    if (n == "numeric") return {SQL_NUMERIC, static_cast<SQLULEN>(t.precision), static_cast<SQLSMALLINT>(t.scale)};
    if (n == "money") return {SQL_DECIMAL, 19, 4};
    if (n == "smallmoney") return {SQL_DECIMAL, 10, 4};
    if (n == "float") return {SQL_FLOAT, 53, 0};
    if (n == "real") return {SQL_REAL, 24, 0};
    if (n == "date") return {SQL_TYPE_DATE, 10, 0};
    if (n == "time") return {kSsTime2, static_cast<SQLULEN>(t.precision ? 9 + t.precision : 8), static_cast<SQLSMALLINT>(t.precision)};
    if (n == "datetime") return {SQL_TYPE_TIMESTAMP, 23, 3};
    if (n == "datetime2") return {SQL_TYPE_TIMESTAMP, static_cast<SQLULEN>(t.precision ? 20 + t.precision : 19), static_cast<SQLSMALLINT>(t.precision)};
    if (n == "smalldatetime") return {SQL_TYPE_TIMESTAMP, 16, 0};
    if (n == "uniqueidentifier") return {SQL_GUID, 36, 0};
    SQLULEN len = t.length < 0 ? 0 : static_cast<SQLULEN>(t.length);
    if (n == "char") return {SQL_CHAR, len, 0};
    if (n == "varchar") return t.length < 0 ? SqlTypeInfo{SQL_LONGVARCHAR, 2147483647, 0} : SqlTypeInfo{SQL_VARCHAR, len, 0};
    if (n == "nchar") return {SQL_WCHAR, len, 0};
    if (n == "nvarchar" || n == "sysname")
        return t.length < 0 ? SqlTypeInfo{SQL_WLONGVARCHAR, 1073741823, 0} : SqlTypeInfo{SQL_WVARCHAR, len, 0};
    if (n == "binary") return {SQL_BINARY, len, 0};
    return t.length < 0 ? SqlTypeInfo{SQL_LONGVARBINARY, 2147483647, 0} : SqlTypeInfo{SQL_VARBINARY, len, 0};
}

std::string value_text(const Value& v, const TsqlType& t) {
    switch (v.kind) {
        case Value::Int: return std::to_string(v.i);
        case Value::Real: return format_real(v.r);
        case Value::Blob: {
            static const char* hex = "0123456789ABCDEF";
            std::string out;
            for (unsigned char c : v.s) out += std::string{hex[c >> 4], hex[c & 15]};
            return out;
        }
        default: (void)t; return v.s;
    }
}

// Converts a value to the bytes of a fixed-size C type; false if it cannot.
bool fixed_value(const Value& v, const TsqlType& t, SQLSMALLINT ct, std::string& out, Stmt* s) {
    auto put = [&](const auto& x) { out.assign(reinterpret_cast<const char*>(&x), sizeof x); };
    auto number = [&]() -> Value {
        if (v.kind == Value::Int || v.kind == Value::Real) return v;
        try {
            return convert_value(v, v.s.find_first_of(".eE") == std::string::npos ? make_type("bigint") : make_type("float"), true);
        } catch (const TsqlError&) {
            s->error("22018", kInvalidCharacterValue);
            throw;
        }
    };
    switch (ct) {
        case SQL_C_SLONG: case SQL_C_LONG: case SQL_C_ULONG: {
            Value n = number();
            long long x = n.kind == Value::Int ? n.i : static_cast<long long>(n.r);
            if (x < INT32_MIN || x > UINT32_MAX) {
                s->error("22003", "Numeric value out of range");
                return false;
            }
            put(static_cast<SQLINTEGER>(x));
            return true;
        }
        case SQL_C_SSHORT: case SQL_C_SHORT: case SQL_C_USHORT: {
            Value n = number();
            put(static_cast<SQLSMALLINT>(n.kind == Value::Int ? n.i : static_cast<long long>(n.r)));
            return true;
        }
        case SQL_C_STINYINT: case SQL_C_TINYINT: case SQL_C_UTINYINT: case SQL_C_BIT: {
            Value n = number();
            long long x = n.kind == Value::Int ? n.i : static_cast<long long>(n.r);
            if (ct == SQL_C_BIT) x = x != 0;
            put(static_cast<unsigned char>(x));
            return true;
        }
        case SQL_C_SBIGINT: case SQL_C_UBIGINT: {
            Value n = number();
            put(static_cast<SQLBIGINT>(n.kind == Value::Int ? n.i : static_cast<long long>(n.r)));
            return true;
        }
        case SQL_C_DOUBLE: case SQL_C_FLOAT: {
            Value n = number();
            double d = n.kind == Value::Int ? static_cast<double>(n.i) : n.r;
            if (ct == SQL_C_FLOAT) put(static_cast<SQLREAL>(d));
            else put(d);
            return true;
        }
        case SQL_C_TYPE_DATE: case SQL_C_DATE: case SQL_C_TYPE_TIMESTAMP: case SQL_C_TIMESTAMP: case SQL_C_TYPE_TIME: case SQL_C_TIME: {
            DateTimeParts p;
            if (v.kind != Value::Text || !parse_datetime(v.s, p)) {
                s->error("22018", kInvalidCharacterValue);
                return false;
            }
            if (ct == SQL_C_TYPE_DATE || ct == SQL_C_DATE)
                put(SQL_DATE_STRUCT{static_cast<SQLSMALLINT>(p.year), static_cast<SQLUSMALLINT>(p.month), static_cast<SQLUSMALLINT>(p.day)});
            else if (ct == SQL_C_TYPE_TIME || ct == SQL_C_TIME)
                put(SQL_TIME_STRUCT{static_cast<SQLUSMALLINT>(p.hour), static_cast<SQLUSMALLINT>(p.minute), static_cast<SQLUSMALLINT>(p.second)});
            else
                put(SQL_TIMESTAMP_STRUCT{static_cast<SQLSMALLINT>(p.year), static_cast<SQLUSMALLINT>(p.month),
                                         static_cast<SQLUSMALLINT>(p.day), static_cast<SQLUSMALLINT>(p.hour),
                                         static_cast<SQLUSMALLINT>(p.minute), static_cast<SQLUSMALLINT>(p.second),
                                         static_cast<SQLUINTEGER>(p.nanos)});
            return true;
        }
        case SQL_C_GUID: {
            unsigned char g[16];
            if (!guid_to_bytes(v.s, g)) {
                s->error("22018", kInvalidCharacterValue);
                return false;
            }
            out.assign(reinterpret_cast<char*>(g), 16);
            return true;
        }
        default: break;
    }
    (void)t;
    s->error("HY003", "Program type out of range");
    return false;
}

// The bytes SQLGetData hands out in pieces for CHAR, WCHAR and BINARY.
std::string stream_bytes(const Value& v, const TsqlType& t, SQLSMALLINT ct) {
    if (ct == SQL_C_BINARY) {
        if (t.name == "uniqueidentifier") {
            unsigned char g[16];
            if (guid_to_bytes(v.s, g)) return std::string(reinterpret_cast<char*>(g), 16);
        }
        if (t.name == "time") {
            DateTimeParts p;
            parse_datetime(v.s, p);
            unsigned char b[12] = {};
            uint16_t h = static_cast<uint16_t>(p.hour), m = static_cast<uint16_t>(p.minute), sec = static_cast<uint16_t>(p.second);
            uint32_t frac = static_cast<uint32_t>(p.nanos);
            std::memcpy(b, &h, 2);
            std::memcpy(b + 2, &m, 2);
            std::memcpy(b + 4, &sec, 2);
            std::memcpy(b + 8, &frac, 4);
            return std::string(reinterpret_cast<char*>(b), 12);
        }
        if (v.kind == Value::Blob) return v.s;
        if (v.kind == Value::Text && t.is_unicode()) {
            std::u16string w = utf8_to_utf16(v.s);
            return std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2);
        }
        if (v.kind == Value::Int) {
            std::string b(8, '\0');
            std::memcpy(b.data(), &v.i, 8);
            return b;
        }
        return v.s;
    }
    std::string text = value_text(v, t);
    if (ct == SQL_C_WCHAR) {
        std::u16string w = utf8_to_utf16(text);
        return std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2);
    }
    return text;
}

SQLRETURN get_data(Stmt* s, SQLUSMALLINT col, SQLSMALLINT ct, SQLPOINTER ptr, SQLLEN buflen, SQLLEN* ind) {
    s->diags.clear();
    const ResultSet* rs = s->current();
    if (!rs || s->row < 0 || s->row >= static_cast<long>(rs->rows.size())) {
        s->error("24000", "Invalid cursor state");
        return SQL_ERROR;
    }
    if (col < 1 || col > rs->columns.size()) {
        s->error("07009", "Invalid descriptor index");
        return SQL_ERROR;
    }
    const Value& v = rs->rows[s->row][col - 1];
    const TsqlType& t = rs->columns[col - 1].type;
    if (s->getdata_col != col) {
        s->getdata_col = col;
        s->getdata_offset = 0;
        s->getdata_done = false;
    }
    if (s->getdata_done) return SQL_NO_DATA;
    if (v.is_null()) {
        if (!ind) {
            s->error("22002", "Indicator variable required but not supplied");
            return SQL_ERROR;
        }
        *ind = SQL_NULL_DATA;
        s->getdata_done = true;
        return SQL_SUCCESS;
    }
    if (ct == SQL_C_DEFAULT) {
        SQLSMALLINT sql = describe(t).type;
        ct = sql == SQL_WCHAR || sql == SQL_WVARCHAR || sql == SQL_WLONGVARCHAR ? SQL_C_WCHAR
             : sql == SQL_BINARY || sql == SQL_VARBINARY || sql == SQL_LONGVARBINARY ? SQL_C_BINARY
                                                                                    : SQL_C_CHAR;
    }
    if (ct != SQL_C_CHAR && ct != SQL_C_WCHAR && ct != SQL_C_BINARY) {
        std::string bytes;
        try {
            if (!fixed_value(v, t, ct, bytes, s)) return SQL_ERROR;
        } catch (const TsqlError&) {
            return SQL_ERROR;
        }
        if (ptr) std::memcpy(ptr, bytes.data(), bytes.size());
        if (ind) *ind = static_cast<SQLLEN>(bytes.size());
        s->getdata_done = true;
        return SQL_SUCCESS;
    }
    std::string bytes = stream_bytes(v, t, ct);
    size_t remaining = bytes.size() - s->getdata_offset;
    if (ind) *ind = static_cast<SQLLEN>(remaining);
    size_t term = ct == SQL_C_WCHAR ? 2 : ct == SQL_C_CHAR ? 1 : 0;
    size_t room = buflen > static_cast<SQLLEN>(term) ? static_cast<size_t>(buflen) - term : 0;
    if (ct == SQL_C_WCHAR) room &= ~static_cast<size_t>(1);
    size_t n = std::min(room, remaining);
    if (ptr && buflen > 0) {
        std::memcpy(ptr, bytes.data() + s->getdata_offset, n);
        if (term) std::memset(static_cast<char*>(ptr) + n, 0, term);
    } else {
        n = 0;
    }
    s->getdata_offset += n;
    if (n < remaining) {
        s->diags.push_back({"01004", 0, "String data, right truncated", 0, 1});
        return SQL_SUCCESS_WITH_INFO;
    }
    s->getdata_done = true;
    return SQL_SUCCESS;
}

SQLRETURN describe_col(Stmt* s, SQLUSMALLINT col, std::string& name, SQLSMALLINT* type, SQLULEN* size,
                       SQLSMALLINT* digits, SQLSMALLINT* nullable) {
    s->diags.clear();
    const ResultSet* rs = s->current();
    if (!rs || col < 1 || col > rs->columns.size()) {
        s->error("07009", "Invalid descriptor index");
        return SQL_ERROR;
    }
    const ResultColumn& c = rs->columns[col - 1];
    SqlTypeInfo info = describe(c.type);
    name = c.name;
    if (type) *type = info.type;
    if (size) *size = info.size;
    if (digits) *digits = info.digits;
    if (nullable) *nullable = c.nullable ? SQL_NULLABLE : SQL_NO_NULLS;
    return SQL_SUCCESS;
}

// ---- diagnostics ----

Handle* any_handle(SQLSMALLINT type, SQLHANDLE h) {
    switch (type) {
        case SQL_HANDLE_ENV: return as<Env>(h, Kind::Env);
        case SQL_HANDLE_DBC: return as<Dbc>(h, Kind::Dbc);
        case SQL_HANDLE_STMT: return as<Stmt>(h, Kind::Stmt);
        default: return nullptr;
    }
}

template <bool Wide>
SQLRETURN diag_field(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER info, SQLSMALLINT buflen,
                     SQLSMALLINT* len) {
    Handle* hd = any_handle(type, h);
    if (!hd) return SQL_INVALID_HANDLE;
    if (rec == 0) {
        if (field == SQL_DIAG_NUMBER) {
            *static_cast<SQLINTEGER*>(info) = static_cast<SQLINTEGER>(hd->diags.size());
            return SQL_SUCCESS;
        }
        if (field == SQL_DIAG_RETURNCODE) return SQL_SUCCESS;
        if (field == SQL_DIAG_ROW_COUNT) {
            Stmt* s = as<Stmt>(h, Kind::Stmt);
            *static_cast<SQLLEN*>(info) = s ? s->outcome.row_count : 0;
            return SQL_SUCCESS;
        }
        return SQL_ERROR;
    }
    if (rec < 1 || rec > static_cast<SQLSMALLINT>(hd->diags.size())) return SQL_NO_DATA;
    const DiagRecord& d = hd->diags[rec - 1];
    auto text = [&](const std::string& v) {
        bool cut = Wide ? text_out_w(v, static_cast<SQLWCHAR*>(info), buflen / 2, len)
                        : text_out_a(v, static_cast<SQLCHAR*>(info), buflen, len);
        if (Wide && len) *len = static_cast<SQLSMALLINT>(*len * 2);
        return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
    };
    switch (field) {
        case SQL_DIAG_MESSAGE_TEXT: return text(d.message);
        case SQL_DIAG_SQLSTATE: return text(d.sqlstate);
        case SQL_DIAG_CLASS_ORIGIN: return text(d.sqlstate.rfind("IM", 0) == 0 ? "ODBC 3.0" : "ISO 9075");
        case SQL_DIAG_SUBCLASS_ORIGIN: return text("ODBC 3.0");
        case SQL_DIAG_CONNECTION_NAME: case SQL_DIAG_SERVER_NAME: return text("");
        case SQL_DIAG_NATIVE: *static_cast<SQLINTEGER*>(info) = d.native; return SQL_SUCCESS;
        case kSsMsgState: *static_cast<SQLINTEGER*>(info) = d.state; return SQL_SUCCESS;
        case kSsSeverity: *static_cast<SQLINTEGER*>(info) = d.severity; return SQL_SUCCESS;
        case SQL_DIAG_ROW_NUMBER: case SQL_DIAG_COLUMN_NUMBER: *static_cast<SQLLEN*>(info) = -1; return SQL_SUCCESS;
        default: return SQL_ERROR;
    }
}

template <bool Wide, typename Ch>
SQLRETURN diag_rec(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, Ch* state, SQLINTEGER* native, Ch* msg,
                   SQLSMALLINT buflen, SQLSMALLINT* len) {
    Handle* hd = any_handle(type, h);
    if (!hd) return SQL_INVALID_HANDLE;
    if (rec < 1) return SQL_ERROR;
    if (rec > static_cast<SQLSMALLINT>(hd->diags.size())) return SQL_NO_DATA;
    const DiagRecord& d = hd->diags[rec - 1];
    if (native) *native = d.native;
    bool cut;
    if constexpr (Wide) {
        if (state) text_out_w(d.sqlstate, state, 6, nullptr);
        cut = text_out_w(d.message, msg, buflen, len);
    } else {
        if (state) text_out_a(d.sqlstate, state, 6, nullptr);
        cut = text_out_a(d.message, msg, buflen, len);
    }
    return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE parent, SQLHANDLE* out) {
    if (!out) return SQL_ERROR;
    switch (type) {
        case SQL_HANDLE_ENV: *out = new Env(); return SQL_SUCCESS;
        case SQL_HANDLE_DBC: {
            Env* e = as<Env>(parent, Kind::Env);
            if (!e) return SQL_INVALID_HANDLE;
            *out = new Dbc(e);
            return SQL_SUCCESS;
        }
        case SQL_HANDLE_STMT: {
            Dbc* d = as<Dbc>(parent, Kind::Dbc);
            if (!d) return SQL_INVALID_HANDLE;
            if (!d->session) {
                d->error("08003", "Connection not open");
                return SQL_ERROR;
            }
            *out = new Stmt(d);
            return SQL_SUCCESS;
        }
        default: return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE h) {
    switch (type) {
        case SQL_HANDLE_ENV: if (auto* e = as<Env>(h, Kind::Env)) { delete e; return SQL_SUCCESS; } break;
        case SQL_HANDLE_DBC: if (auto* d = as<Dbc>(h, Kind::Dbc)) { delete d; return SQL_SUCCESS; } break;
        case SQL_HANDLE_STMT: if (auto* s = as<Stmt>(h, Kind::Stmt)) { delete s; return SQL_SUCCESS; } break;
        default: break;
    }
    return SQL_INVALID_HANDLE;
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT h, SQLUSMALLINT option) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (option == SQL_DROP) {
        delete s;
        return SQL_SUCCESS;
    }
    if (option == SQL_CLOSE) s->close();
    if (option == SQL_RESET_PARAMS) s->params.clear();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT h) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->close();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT h) { return as<Stmt>(h, Kind::Stmt) ? SQL_SUCCESS : SQL_INVALID_HANDLE; }

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    Env* e = as<Env>(h, Kind::Env);
    if (!e) return SQL_INVALID_HANDLE;
    if (attr == SQL_ATTR_ODBC_VERSION) e->version = static_cast<SQLINTEGER>(reinterpret_cast<intptr_t>(value));
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER, SQLINTEGER*) {
    Env* e = as<Env>(h, Kind::Env);
    if (!e) return SQL_INVALID_HANDLE;
    if (attr == SQL_ATTR_ODBC_VERSION && value) *static_cast<SQLINTEGER*>(value) = e->version;
    return SQL_SUCCESS;
}

// Unknown attributes (1227 isolation, 115 and the like) are accepted: the
// stand-in runs read committed always.
SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    if (attr == SQL_ATTR_AUTOCOMMIT) {
        bool on = reinterpret_cast<uintptr_t>(value) == SQL_AUTOCOMMIT_ON;
        if (on && !d->autocommit && d->session && d->session->in_transaction()) d->session->execute_text("COMMIT TRANSACTION");
        d->autocommit = on;
    }
    return SQL_SUCCESS;
}
SQLRETURN SQL_API SQLSetConnectAttrW(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len) {
    return SQLSetConnectAttr(h, attr, value, len);
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER, SQLINTEGER* len) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    SQLUINTEGER v = 0;
    if (attr == SQL_ATTR_AUTOCOMMIT) v = d->autocommit ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    else if (attr == SQL_ATTR_TXN_ISOLATION || attr == 1227) v = SQL_TXN_READ_COMMITTED;
    else if (attr == SQL_ATTR_CONNECTION_DEAD) v = d->session ? SQL_CD_FALSE : SQL_CD_TRUE;
    if (value) *static_cast<SQLUINTEGER*>(value) = v;
    if (len) *len = sizeof v;
    return SQL_SUCCESS;
}
SQLRETURN SQL_API SQLGetConnectAttrW(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER n, SQLINTEGER* len) {
    return SQLGetConnectAttr(h, attr, value, n, len);
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT h, SQLINTEGER, SQLPOINTER, SQLINTEGER) {
    return as<Stmt>(h, Kind::Stmt) ? SQL_SUCCESS : SQL_INVALID_HANDLE;
}
SQLRETURN SQL_API SQLSetStmtAttrW(SQLHSTMT h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) { return SQLSetStmtAttr(h, a, v, n); }

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC h, SQLHWND, SQLCHAR* in, SQLSMALLINT inlen, SQLCHAR* out, SQLSMALLINT outmax,
                                   SQLSMALLINT* outlen, SQLUSMALLINT) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    std::string cs = narrow_in(in, inlen);
    SQLRETURN rc = connect(d, cs);
    if (SQL_SUCCEEDED(rc)) text_out_a(cs, out, outmax, outlen);
    return rc;
}

SQLRETURN SQL_API SQLDriverConnectW(SQLHDBC h, SQLHWND, SQLWCHAR* in, SQLSMALLINT inlen, SQLWCHAR* out,
                                    SQLSMALLINT outmax, SQLSMALLINT* outlen, SQLUSMALLINT) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    std::string cs = utf16_to_utf8(in, inlen);
    SQLRETURN rc = connect(d, cs);
    if (SQL_SUCCEEDED(rc)) text_out_w(cs, out, outmax, outlen);
    return rc;
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC h) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->session.reset();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT completion) {
    if (type != SQL_HANDLE_DBC) return SQL_SUCCESS;
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    if (!d->session || !d->session->in_transaction()) return SQL_SUCCESS;
    try {
        d->session->execute_text(completion == SQL_COMMIT ? "COMMIT TRANSACTION" : "ROLLBACK TRANSACTION");
    } catch (const TsqlError& e) {
        d->error(e);
        return SQL_ERROR;
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? prepare(s, narrow_in(text, len), true) : SQL_INVALID_HANDLE;
}
SQLRETURN SQL_API SQLPrepareW(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? prepare(s, utf16_to_utf8(text, len), true) : SQL_INVALID_HANDLE;
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT h) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? execute(s) : SQL_INVALID_HANDLE;
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT h, SQLCHAR* text, SQLINTEGER len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    SQLRETURN rc = prepare(s, narrow_in(text, len), false);
    return SQL_SUCCEEDED(rc) ? execute(s) : rc;
}
SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    SQLRETURN rc = prepare(s, utf16_to_utf8(text, len), false);
    return SQL_SUCCEEDED(rc) ? execute(s) : rc;
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT h, SQLUSMALLINT number, SQLSMALLINT io, SQLSMALLINT ctype, SQLSMALLINT sqltype,
                                   SQLULEN size, SQLSMALLINT digits, SQLPOINTER ptr, SQLLEN buflen, SQLLEN* ind) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (number < 1) {
        s->error("07009", "Invalid descriptor index");
        return SQL_ERROR;
    }
    s->params[number] = ParamBinding{io, ctype, sqltype, size, digits, ptr, buflen, ind};
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLNumParams(SQLHSTMT h, SQLSMALLINT* count) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (count) *count = static_cast<SQLSMALLINT>(s->batch ? s->batch->param_count : 0);
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLParamData(SQLHSTMT h, SQLPOINTER* value) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (s->pending.empty() && s->current_dae == 0) {
        s->error("HY010", "Function sequence error");
        return SQL_ERROR;
    }
    if (!s->pending.empty()) {
        s->current_dae = s->pending.front();
        s->pending.erase(s->pending.begin());
        s->dae_data[s->current_dae];
        if (value) *value = s->params[s->current_dae].ptr;
        return SQL_NEED_DATA;
    }
    s->current_dae = 0;
    return run(s);
}

SQLRETURN SQL_API SQLPutData(SQLHSTMT h, SQLPOINTER data, SQLLEN len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (s->current_dae == 0) {
        s->error("HY010", "Function sequence error");
        return SQL_ERROR;
    }
    if (len == SQL_NULL_DATA) {
        *s->params[s->current_dae].ind = SQL_NULL_DATA;
        s->dae_data.erase(s->current_dae);
        return SQL_SUCCESS;
    }
    const ParamBinding& b = s->params[s->current_dae];
    if (len == SQL_NTS)
        len = b.ctype == SQL_C_WCHAR ? static_cast<SQLLEN>(std::char_traits<char16_t>::length(static_cast<const char16_t*>(data)) * 2)
                                     : static_cast<SQLLEN>(std::strlen(static_cast<const char*>(data)));
    if (len > 0) s->dae_data[s->current_dae].append(static_cast<const char*>(data), len);
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT h, SQLSMALLINT* count) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    const ResultSet* rs = s->current();
    if (count) *count = rs ? static_cast<SQLSMALLINT>(rs->columns.size()) : 0;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT h, SQLLEN* count) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (count) *count = s->outcome.row_count;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT h, SQLUSMALLINT col, SQLCHAR* name, SQLSMALLINT namemax, SQLSMALLINT* namelen,
                                 SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    std::string n;
    SQLRETURN rc = describe_col(s, col, n, type, size, digits, nullable);
    if (SQL_SUCCEEDED(rc) && text_out_a(n, name, namemax, namelen)) return SQL_SUCCESS_WITH_INFO;
    return rc;
}
SQLRETURN SQL_API SQLDescribeColW(SQLHSTMT h, SQLUSMALLINT col, SQLWCHAR* name, SQLSMALLINT namemax, SQLSMALLINT* namelen,
                                  SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    std::string n;
    SQLRETURN rc = describe_col(s, col, n, type, size, digits, nullable);
    if (SQL_SUCCEEDED(rc) && text_out_w(n, name, namemax, namelen)) return SQL_SUCCESS_WITH_INFO;
    return rc;
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT h) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    const ResultSet* rs = s->current();
    if (!rs) {
        s->error("24000", "Invalid cursor state");
        return SQL_ERROR;
    }
    s->getdata_col = 0;
    if (s->row + 1 >= static_cast<long>(rs->rows.size())) {
        s->row = static_cast<long>(rs->rows.size());
        return SQL_NO_DATA;
    }
    ++s->row;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT ctype, SQLPOINTER ptr, SQLLEN buflen, SQLLEN* ind) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? get_data(s, col, ctype, ptr, buflen, ind) : SQL_INVALID_HANDLE;
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT h) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (!s->has_results || s->set + 1 >= s->outcome.results.size()) {
        s->close();
        return SQL_NO_DATA;
    }
    ++s->set;
    s->row = -1;
    s->getdata_col = 0;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER info,
                                  SQLSMALLINT buflen, SQLSMALLINT* len) {
    return diag_field<false>(type, h, rec, field, info, buflen, len);
}
SQLRETURN SQL_API SQLGetDiagFieldW(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER info,
                                   SQLSMALLINT buflen, SQLSMALLINT* len) {
    return diag_field<true>(type, h, rec, field, info, buflen, len);
}
SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLCHAR* state, SQLINTEGER* native,
                                SQLCHAR* msg, SQLSMALLINT buflen, SQLSMALLINT* len) {
    return diag_rec<false>(type, h, rec, state, native, msg, buflen, len);
}
SQLRETURN SQL_API SQLGetDiagRecW(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLWCHAR* state, SQLINTEGER* native,
                                 SQLWCHAR* msg, SQLSMALLINT buflen, SQLSMALLINT* len) {
    return diag_rec<true>(type, h, rec, state, native, msg, buflen, len);
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT buflen, SQLSMALLINT* len) {
    if (!as<Dbc>(h, Kind::Dbc)) return SQL_INVALID_HANDLE;
    std::string text;
    switch (type) {
        case SQL_DRIVER_ODBC_VER: text = "03.80"; break;
        case SQL_DBMS_NAME: text = "SQL Server stand-in"; break;
        case SQL_DBMS_VER: text = "16.00.0000"; break;
        case SQL_DRIVER_NAME: text = "libsqlserver_standin_odbc.so"; break;
        default: text = ""; break;
    }
    text_out_a(text, static_cast<SQLCHAR*>(value), buflen, len);
    return SQL_SUCCESS;
}
SQLRETURN SQL_API SQLGetInfoW(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT buflen, SQLSMALLINT* len) {
    std::string tmp(512, '\0');
    SQLSMALLINT n = 0;
    SQLRETURN rc = SQLGetInfo(h, type, tmp.data(), static_cast<SQLSMALLINT>(tmp.size()), &n);
    if (!SQL_SUCCEEDED(rc)) return rc;
    text_out_w(tmp.substr(0, n), static_cast<SQLWCHAR*>(value), buflen / 2, len);
    if (len) *len = static_cast<SQLSMALLINT>(*len * 2);
    return rc;
}

}  // extern "C"

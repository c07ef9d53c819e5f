// The ODBC driver entry points unixODBC loads: handles, connection string or
// DSN, prepare/execute with bound, data-at-execution and arrays of
// parameters, output parameters, result description, bound columns and
// chunked SQLGetData, several result sets, diagnostics, and what common tools
// ask of a driver (SQLGetInfo, SQLGetTypeInfo, SQLGetFunctions,
// SQLColAttribute, SQLDescribeParam, and the catalog functions SQLTables,
// SQLColumns and SQLPrimaryKeys). Text entry points come as A (UTF-8) and W
// (UTF-16).
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <strings.h>
#include <vector>

#include "execution_counter.h"
#include "odbc_catalog.h"
#include "parameter_columns.h"
#include "session.h"
#include "tsql_parser.h"

static_assert(sizeof(SQLWCHAR) == 2, "the driver speaks UTF-16 through SQLWCHAR");

using namespace sqlserver_standin;

namespace {

// SQLSTATE 22018: a bound character value that does not convert to the parameter's type.
const char kInvalidCharacterValue[] = "Invalid character value for cast";
// SQLSTATE 07009 for a column out of range or read out of order.
const char kInvalidDescriptorIndex[] = "Invalid Descriptor Index";

// Names the file that execution counts are added to (see execution_counter.h);
// the connection-string key ExecutionCounts= overrides it.
const char kExecutionCountsVariable[] = "SQLSERVER_STANDIN_EXECUTION_COUNTS";
// Names a file each executed batch's text is appended to (see execution_counter.h).
const char kStatementLogVariable[] = "SQLSERVER_STANDIN_STATEMENT_LOG";

constexpr SQLINTEGER kSsMsgState = -1150;
constexpr SQLINTEGER kSsSeverity = -1151;

enum class Kind { Env = 0x454e5631, Dbc = 0x44424331, Stmt = 0x53544d31 };

struct Diag : DiagRecord {
    SQLLEN row = SQL_NO_ROW_NUMBER;  // the parameter set of an array the record is about
};

struct Handle {
    Kind kind;
    std::vector<Diag> diags;
    explicit Handle(Kind k) : kind(k) {}
    void error(const std::string& state, const std::string& msg, int native = 0) {
        diags.push_back({{state, native, msg, 16, 1}});
    }
    void warning(const std::string& state, const std::string& msg) { diags.push_back({{state, 0, msg, 0, 1}}); }
    void error(const TsqlError& e, SQLLEN row = SQL_NO_ROW_NUMBER) {
        for (const auto& r : e.records) diags.push_back({r, row});
    }
};

struct Env : Handle {
    Env() : Handle(Kind::Env) {}
    SQLINTEGER version = SQL_OV_ODBC3;
};

struct Stmt;

struct Dbc : Handle {
    explicit Dbc(Env* e) : Handle(Kind::Dbc), env(e) {}
    Env* env;
    std::unique_ptr<Session> session;
    // The statement whose results the connection still carries: as with SQL
    // Server's drivers without MARS, no other statement of the connection runs
    // until they are read to their end or closed.
    Stmt* busy = nullptr;
    std::string server;
    bool autocommit = true;
    std::unique_ptr<ExecutionCounter> counter;
    void count(long long round_trips, long long parameter_sets, long long transaction_ends) {
        if (counter) counter->add(round_trips, parameter_sets, transaction_ends);
    }
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

struct ColumnBinding {
    SQLSMALLINT ctype = SQL_C_DEFAULT;
    SQLPOINTER ptr = nullptr;
    SQLLEN buflen = 0;
    SQLLEN* ind = nullptr;
};

// A data-at-execution parameter: (parameter set, parameter number).
using DaeKey = std::pair<SQLULEN, int>;

struct Stmt : Handle {
    explicit Stmt(Dbc* d) : Handle(Kind::Stmt), dbc(d) {}
    ~Stmt() { release(); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    Dbc* dbc;
    std::shared_ptr<const Batch> batch;
    bool prepared = false;  // by SQLPrepare; SQLExecDirect sends a plain batch
    std::string text;       // as sent, for the statement log
    // What SQLDescribeParam reports, worked out on its first call after a prepare.
    std::optional<std::vector<std::optional<ColumnInfo>>> param_columns;
    std::map<int, ParamBinding> params;    // by 1-based number
    std::map<int, ColumnBinding> columns;  // bound with SQLBindCol, by 1-based number

    // Arrays of parameters.
    SQLULEN paramset_size = 1;
    SQLULEN param_bind_type = SQL_PARAM_BIND_BY_COLUMN;
    SQLULEN* param_bind_offset = nullptr;
    SQLUSMALLINT* param_operations = nullptr;
    SQLUSMALLINT* param_status = nullptr;
    SQLULEN* params_processed = nullptr;
    // Rowsets of bound columns.
    SQLULEN row_array_size = 1;
    SQLULEN row_bind_type = SQL_BIND_BY_COLUMN;
    SQLULEN* row_bind_offset = nullptr;
    SQLUSMALLINT* row_status = nullptr;
    SQLULEN* rows_fetched = nullptr;
    SQLULEN query_timeout = 0;

    // The outcome of each parameter set that ran, read in turn through SQLMoreResults.
    std::vector<ExecOutcome> runs;
    bool has_results = false;
    size_t run = 0;
    size_t set = 0;
    size_t next_row = 0;
    std::vector<Value> row;  // the current row, for SQLGetData
    bool on_row = false;
    bool set_read = false;  // the current result set was fetched to its end
    std::optional<TsqlError> fetch_error;  // met after rows that were handed out: the next fetch reports it
    int getdata_col = 0;
    size_t getdata_offset = 0;
    bool getdata_done = false;

    std::vector<DaeKey> pending;  // data-at-execution parameters still to come
    std::optional<DaeKey> current_dae;
    std::map<DaeKey, std::optional<std::string>> dae_data;  // nullopt: sent as NULL

    ExecOutcome* outcome() { return has_results && run < runs.size() ? &runs[run] : nullptr; }
    ResultSet* current() {
        ExecOutcome* o = outcome();
        return o && set < o->results.size() ? &o->results[set] : nullptr;
    }
    void close() {
        runs.clear();
        has_results = false;
        run = set = next_row = 0;
        row.clear();
        on_row = false;
        set_read = false;
        fetch_error.reset();
        getdata_col = 0;
        pending.clear();
        dae_data.clear();
        current_dae.reset();
        release();
    }
    // Whether a result set is still to be read: the current one before its
    // end, or one after it.
    bool results_pending() const {
        if (!has_results) return false;
        for (size_t r = run; r < runs.size(); ++r) {
            size_t k = r == run ? set : 0;
            if (r == run && set_read) ++k;
            if (k < runs[r].results.size()) return true;
        }
        return false;
    }
    // Takes the connection while results are pending, gives it back after.
    void settle_connection() {
        if (results_pending()) dbc->busy = this;
        else release();
    }
    void release() {
        if (dbc->busy == this) dbc->busy = nullptr;
    }
};

// Whether the statement may go to the server: not while another statement of
// the connection has results pending (HY000, as SQL Server's drivers without MARS refuse it).
bool connection_free(Stmt* s) {
    if (!s->dbc->busy || s->dbc->busy == s) return true;
    s->error("HY000", kConnectionBusyMessage);
    return false;
}

template <typename T>
T* as(SQLHANDLE h, Kind k) {
    auto* p = static_cast<Handle*>(h);
    return p && p->kind == k ? static_cast<T*>(p) : nullptr;
}

// Values and indicators in application buffers: arrays bound row-wise may
// place them at any address.
template <typename T>
T load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T>
void store(void* p, const T& v) {
    std::memcpy(p, &v, sizeof v);
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

// A setting of a data source in odbc.ini, read through unixODBC's installer
// library, loaded on first use (the driver links neither it nor libodbc).
std::string dsn_setting(const std::string& dsn, const char* key) {
    using GetProfile = int (*)(const char*, const char*, const char*, char*, int, const char*);
    static GetProfile get = [] {
        void* lib = dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_LOCAL);
        return lib ? reinterpret_cast<GetProfile>(dlsym(lib, "SQLGetPrivateProfileString")) : nullptr;
    }();
    if (!get || dsn.empty()) return "";
    char buf[4096] = {};
    get(dsn.c_str(), key, "", buf, sizeof buf, "odbc.ini");
    return buf;
}

SQLRETURN connect(Dbc* dbc, std::map<std::string, std::string> kv) {
    dbc->diags.clear();
    if (dbc->session) {
        dbc->error("08002", "Connection name in use");
        return SQL_ERROR;
    }
    if (kv.count("dsn"))
        for (const char* key : {"Server", "Database", "Fault", "ExecutionCounts"}) {
            std::string k = key;
            for (auto& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (kv.count(k)) continue;
            std::string v = dsn_setting(kv["dsn"], key);
            if (!v.empty()) kv[k] = v;
        }
    std::string dir = kv.count("server") ? kv["server"] : "";
    std::string db = kv.count("database") ? kv["database"] : "master";
    struct stat sb;
    if (dir.empty() || stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        dbc->error("08001", "The data directory named by Server= does not exist: '" + dir + "'.", 2);
        return SQL_ERROR;
    }
    try {
        std::vector<FaultSpec> faults = kv.count("fault") ? parse_faults(kv["fault"]) : std::vector<FaultSpec>{};
        std::chrono::milliseconds lock_timeout = kDefaultLockTimeout;
        if (kv.count("locktimeout")) lock_timeout = parse_lock_timeout(kv["locktimeout"]);
        dbc->session = std::make_unique<Session>(dir, db, std::move(faults), lock_timeout);
    } catch (const TsqlError& e) {
        dbc->error(e);
        return SQL_ERROR;
    } catch (const std::exception& e) {
        dbc->error("08001", e.what());
        return SQL_ERROR;
    }
    dbc->server = dir;
    const char* counts = std::getenv(kExecutionCountsVariable);
    std::string counts_file = kv.count("executioncounts") ? kv["executioncounts"] : counts ? counts : "";
    if (!counts_file.empty()) dbc->counter = std::make_unique<ExecutionCounter>(counts_file);
    return SQL_SUCCESS;
}

// ---- parameters ----

SQLSMALLINT param_c_type(const ParamBinding& b) { return b.ctype == SQL_C_DEFAULT ? default_c_type(b.sqltype) : b.ctype; }

// The binding of parameter set `i` of an array: the value and indicator
// pointers moved along by column-wise or row-wise binding and the bind offset.
ParamBinding element(const Stmt* s, ParamBinding b, SQLULEN i) {
    const SQLULEN offset = s->param_bind_offset ? *s->param_bind_offset : 0;
    SQLULEN value_stride = s->param_bind_type, ind_stride = s->param_bind_type;
    if (s->param_bind_type == SQL_PARAM_BIND_BY_COLUMN) {
        const SQLLEN fixed = fixed_c_type_size(param_c_type(b));
        value_stride = static_cast<SQLULEN>(fixed ? fixed : b.buflen);
        ind_stride = sizeof(SQLLEN);
    }
    if (b.ptr) b.ptr = static_cast<char*>(b.ptr) + offset + i * value_stride;
    if (b.ind) b.ind = reinterpret_cast<SQLLEN*>(reinterpret_cast<char*>(b.ind) + offset + i * ind_stride);
    return b;
}

bool ignored(const Stmt* s, SQLULEN set) { return s->param_operations && s->param_operations[set] == SQL_PARAM_IGNORE; }

// The decimal text of a SQL_NUMERIC_STRUCT: its 128-bit little-endian
// magnitude scaled down by its own scale.
std::string numeric_text(const SQL_NUMERIC_STRUCT& n) {
    unsigned char magnitude[SQL_MAX_NUMERIC_LEN];
    std::memcpy(magnitude, n.val, sizeof magnitude);
    std::string digits;
    // Long division by 10, most significant byte first, until nothing is left.
    for (bool more = true; more;) {
        unsigned remainder = 0;
        more = false;
        for (int i = SQL_MAX_NUMERIC_LEN - 1; i >= 0; --i) {
            const unsigned v = remainder * 256 + magnitude[i];
            magnitude[i] = static_cast<unsigned char>(v / 10);
            remainder = v % 10;
            more = more || magnitude[i] != 0;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + remainder));
    }
    const int scale = n.scale;
    if (scale > 0) {
        if (static_cast<int>(digits.size()) <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
        digits.insert(digits.size() - scale, ".");
    } else if (scale < 0 && digits != "0") {
        digits.append(-scale, '0');
    }
    return (n.sign == 0 && digits.find_first_not_of("0.") != std::string::npos ? "-" : "") + digits;
}

// SQL Server refuses a floating-point parameter that is not a finite, normal number (or 0)
// before the statement runs.
template <typename Float>
Float checked_float(Float v, int number, const char* type) {
    if (v == 0 || std::fpclassify(v) == FP_NORMAL) return v;
    const std::string n = std::to_string(number);
    throw TsqlError(8023, "42000",
                    "The incoming tabular data stream (TDS) remote procedure call (RPC) protocol stream is incorrect. "
                    "Parameter " + n + " (\"@P" + n + "\"): The supplied value is not a valid instance of data type " +
                        type + ". Check the source data for invalid values. An example of an invalid value is data of "
                        "numeric type with scale greater than precision.");
}

Value param_value(const Stmt* s, const DaeKey& key, const ParamBinding& b) {
    auto dae = s->dae_data.find(key);
    if (dae != s->dae_data.end() && !dae->second) return Value::null();
    const std::string* sent = dae != s->dae_data.end() ? &*dae->second : nullptr;
    SQLLEN ind = b.ind ? load<SQLLEN>(b.ind) : 0;
    if (!sent && b.ind && ind == SQL_NULL_DATA) return Value::null();
    const SQLSMALLINT ct = param_c_type(b);
    const void* p = b.ptr;
    if (!p && !sent && fixed_c_type_size(ct) > 0) throw TsqlError(0, "HY009", "Invalid use of null pointer");
    auto bytes = [&](bool wide) -> std::string {
        if (sent) return *sent;
        if (!p) return "";
        SQLLEN n = b.ind ? ind : SQL_NTS;
        if (n == SQL_NTS) {
            if (wide) {
                size_t k = 0;
                while (load<SQLWCHAR>(static_cast<const SQLWCHAR*>(p) + k)) ++k;
                return std::string(static_cast<const char*>(p), k * 2);
            }
            return static_cast<const char*>(p);
        }
        return std::string(static_cast<const char*>(p), n);
    };
    switch (ct) {
        case SQL_C_SLONG: case SQL_C_LONG: return Value::integer(load<SQLINTEGER>(p));
        case SQL_C_ULONG: return Value::integer(load<SQLUINTEGER>(p));
        case SQL_C_SSHORT: case SQL_C_SHORT: return Value::integer(load<SQLSMALLINT>(p));
        case SQL_C_USHORT: return Value::integer(load<SQLUSMALLINT>(p));
        case SQL_C_STINYINT: case SQL_C_TINYINT: return Value::integer(load<signed char>(p));
        case SQL_C_UTINYINT: case SQL_C_BIT: return Value::integer(load<unsigned char>(p));
        case SQL_C_SBIGINT: return Value::integer(load<SQLBIGINT>(p));
        case SQL_C_UBIGINT: return Value::integer(static_cast<long long>(load<SQLUBIGINT>(p)));
        case SQL_C_DOUBLE: return Value::real(checked_float(load<SQLDOUBLE>(p), key.second, "float"));
        case SQL_C_FLOAT: return Value::real(checked_float(load<SQLREAL>(p), key.second, "real"));
        case SQL_C_CHAR: return Value::text(bytes(false));
        case SQL_C_WCHAR: {
            std::string raw = bytes(true);
            return Value::text(utf16_to_utf8(reinterpret_cast<const SQLWCHAR*>(raw.data()), static_cast<SQLLEN>(raw.size() / 2)));
        }
        case SQL_C_TYPE_DATE: case SQL_C_DATE: {
            const auto d = load<SQL_DATE_STRUCT>(p);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", d.year, d.month, d.day);
            return Value::text(buf);
        }
        case SQL_C_TYPE_TIMESTAMP: case SQL_C_TIMESTAMP: {
            const auto t = load<SQL_TIMESTAMP_STRUCT>(p);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%09u", t.year, t.month, t.day, t.hour, t.minute,
                          t.second, static_cast<unsigned>(t.fraction));
            return Value::text(buf);
        }
        case SQL_C_TYPE_TIME: case SQL_C_TIME: {
            const auto t = load<SQL_TIME_STRUCT>(p);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", t.hour, t.minute, t.second);
            return Value::text(buf);
        }
        case SQL_C_GUID: {
            const auto g = load<SQLGUID>(p);
            char buf[40];
            std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                          g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
            return Value::text(buf);
        }
        case SQL_C_NUMERIC: return Value::text(numeric_text(load<SQL_NUMERIC_STRUCT>(p)));
        case SQL_C_BINARY: {
            if (b.sqltype == kSsTime2 && !sent) {
                // hour, minute, second (16 bits each), 2 bytes padding, fraction in nanoseconds.
                if (!p) throw TsqlError(0, "HY009", "Invalid use of null pointer");
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
            if (sent) return Value::blob(*sent);
            SQLLEN n = b.ind ? ind : b.buflen;
            return Value::blob(p && n > 0 ? std::string(static_cast<const char*>(p), n) : std::string());
        }
        default: throw TsqlError(0, "HYC00", "Optional feature not implemented (C type " + std::to_string(ct) + ").");
    }
}

bool is_data_at_exec(const ParamBinding& b) {
    if (!b.ind) return false;
    const SQLLEN ind = load<SQLLEN>(b.ind);
    return ind == SQL_DATA_AT_EXEC || ind <= SQL_LEN_DATA_AT_EXEC_OFFSET;
}

void write_output(const ParamBinding& b, const Value& v) {
    if (v.is_null()) {
        if (b.ind) store<SQLLEN>(b.ind, SQL_NULL_DATA);
        return;
    }
    switch (b.ctype) {
        case SQL_C_SLONG: case SQL_C_LONG: store(b.ptr, static_cast<SQLINTEGER>(v.i)); if (b.ind) store<SQLLEN>(b.ind, 4); break;
        case SQL_C_DOUBLE: store(b.ptr, v.kind == Value::Real ? v.r : static_cast<double>(v.i)); if (b.ind) store<SQLLEN>(b.ind, 8); break;
        default: store(b.ptr, static_cast<SQLBIGINT>(v.i)); if (b.ind) store<SQLLEN>(b.ind, 8); break;
    }
}

// ---- execution ----

// Runs the prepared batch once per parameter set, as SQL Server's drivers
// send an array in one round trip: every set is an execution of its own with
// its own row count and results; a set that fails is reported with its
// number and the sets after it still run, unless its failure ended the
// batch (a deadlock victim's rollback), which leaves the rest unused. Any
// failed set makes the whole call SQL_ERROR, though the other sets stay
// applied: only a transaction around the call undoes them.
SQLRETURN run(Stmt* s) {
    Session& session = *s->dbc->session;
    const SQLULEN sets = s->paramset_size;
    const int count = s->batch->param_count;
    auto set_status = [&](SQLULEN i, SQLUSMALLINT status) {
        if (s->param_status) s->param_status[i] = status;
    };
    s->release();
    for (int n = 1; n <= count; ++n)
        if (!s->params.count(n)) {
            s->dae_data.clear();
            s->error("07002", "COUNT field incorrect or syntax error");
            return SQL_ERROR;
        }
    if (s->params_processed) *s->params_processed = 0;
    // Each parameter set runs after the rows of the one before are read.
    session.allow_streaming(sets == 1);
    SQLULEN ran = 0, failed = 0, i = 0;
    for (; i < sets; ++i) {
        if (ignored(s, i)) {
            set_status(i, SQL_PARAM_UNUSED);
            continue;
        }
        ++ran;
        if (s->params_processed) *s->params_processed = i + 1;
        const SQLLEN diag_row = sets > 1 ? static_cast<SQLLEN>(i + 1) : SQL_NO_ROW_NUMBER;
        const bool was_in_transaction = session.in_transaction();
        try {
            std::vector<Value> values;
            for (int n = 1; n <= count; ++n) {
                const ParamBinding b = element(s, s->params[n], i);
                values.push_back(b.io == SQL_PARAM_OUTPUT ? Value::null() : param_value(s, {i, n}, b));
            }
            if (!s->dbc->autocommit && !session.in_transaction()) session.execute_text("BEGIN TRANSACTION");
            // SQL Server's drivers run a prepared or parameterised statement as a procedure
            // call (sp_prepexec, sp_execute, sp_executesql), in a scope of its own.
            ExecOutcome out = session.execute(*s->batch, values, s->prepared || count > 0);
            for (const auto& [pos, v] : out.outputs) {
                auto it = s->params.find(pos + 1);
                if (it != s->params.end() && it->second.io != SQL_PARAM_INPUT) write_output(element(s, it->second, i), v);
            }
            s->runs.push_back(std::move(out));
            set_status(i, SQL_PARAM_SUCCESS);
        } catch (const TsqlError& e) {
            ++failed;
            s->error(e, diag_row);
            set_status(i, SQL_PARAM_ERROR);
            if (e.native() == 1205 || (was_in_transaction && !session.in_transaction())) {
                ++i;
                break;
            }
        } catch (const std::exception& e) {
            ++failed;
            s->diags.push_back({{"HY000", 0, e.what(), 16, 1}, diag_row});
            set_status(i, SQL_PARAM_ERROR);
        }
    }
    for (; i < sets; ++i) set_status(i, SQL_PARAM_UNUSED);
    s->dae_data.clear();
    s->dbc->count(1, static_cast<long long>(ran), 0);
    if (const char* log = std::getenv(kStatementLogVariable)) append_statement_log(log, s->text, ran);
    if (failed > 0) {
        s->runs.clear();
        return SQL_ERROR;
    }
    s->has_results = true;
    s->settle_connection();
    if (!s->runs.empty() &&
        std::all_of(s->runs.begin(), s->runs.end(), [](const ExecOutcome& o) { return o.no_rows_affected; }))
        return SQL_NO_DATA;
    return SQL_SUCCESS;
}

SQLRETURN execute(Stmt* s) {
    s->diags.clear();
    s->close();
    if (!s->batch) {
        s->error("HY010", "Function sequence error");
        return SQL_ERROR;
    }
    if (!connection_free(s)) return SQL_ERROR;
    s->pending.clear();
    s->dae_data.clear();
    s->current_dae.reset();
    for (SQLULEN i = 0; i < s->paramset_size; ++i) {
        if (ignored(s, i)) continue;
        for (const auto& [n, b] : s->params)
            if (n <= s->batch->param_count && is_data_at_exec(element(s, b, i))) s->pending.push_back({i, n});
    }
    // The request is on its way while the client sends the data: the
    // connection is taken until the statement has run.
    if (!s->pending.empty()) {
        s->dbc->busy = s;
        return SQL_NEED_DATA;
    }
    return run(s);
}

SQLRETURN prepare(Stmt* s, const std::string& sql, bool prepared) {
    s->diags.clear();
    s->close();
    s->batch.reset();
    s->param_columns.reset();
    s->prepared = prepared;
    s->text = sql;
    try {
        s->batch = parse_batch_shared(sql);
    } catch (const TsqlError& e) {
        s->error(e);
        return SQL_ERROR;
    }
    return SQL_SUCCESS;
}

SQLRETURN exec_direct(Stmt* s, const std::string& sql) {
    s->diags.clear();
    s->close();
    if (!connection_free(s)) return SQL_ERROR;
    SQLRETURN rc = prepare(s, sql, false);
    if (SQL_SUCCEEDED(rc)) return execute(s);
    s->dbc->count(1, 0, 0);  // the server sees the text and refuses it
    return rc;
}

SQLRETURN type_info(Stmt* s, SQLSMALLINT sql_type) {
    s->diags.clear();
    s->close();
    if (!connection_free(s)) return SQL_ERROR;
    ExecOutcome out;
    out.results.push_back(type_info_rows(sql_type));
    s->runs.push_back(std::move(out));
    s->has_results = true;
    s->settle_connection();
    s->dbc->count(1, 1, 0);
    return SQL_SUCCESS;
}

// A catalog function's result, read from the database as a query reads it,
// in the transaction a query would open.
template <typename Rows>
SQLRETURN catalog_result(Stmt* s, Rows rows) {
    s->diags.clear();
    s->close();
    if (!connection_free(s)) return SQL_ERROR;
    s->dbc->count(1, 1, 0);
    Session& session = *s->dbc->session;
    try {
        if (!s->dbc->autocommit && !session.in_transaction()) session.execute_text("BEGIN TRANSACTION");
        ExecOutcome out;
        out.results.push_back(rows(session));
        s->runs.push_back(std::move(out));
    } catch (const TsqlError& e) {
        s->error(e);
        return SQL_ERROR;
    } catch (const std::exception& e) {
        s->error("HY000", e.what());
        return SQL_ERROR;
    }
    s->has_results = true;
    s->settle_connection();
    return SQL_SUCCESS;
}

CatalogArgument argument(const SQLCHAR* text, SQLSMALLINT len) {
    return text ? CatalogArgument(narrow_in(text, len)) : std::nullopt;
}
CatalogArgument argument(const SQLWCHAR* text, SQLSMALLINT len) {
    return text ? CatalogArgument(utf16_to_utf8(text, len)) : std::nullopt;
}

template <typename Ch>
SQLRETURN tables(SQLHSTMT h, Ch* catalog, SQLSMALLINT catalog_len, Ch* schema, SQLSMALLINT schema_len, Ch* table,
                 SQLSMALLINT table_len, Ch* types, SQLSMALLINT types_len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    return catalog_result(s, [&](Session& session) {
        return table_rows(session, s->dbc->server, argument(catalog, catalog_len), argument(schema, schema_len),
                          argument(table, table_len), argument(types, types_len));
    });
}

template <typename Ch>
SQLRETURN columns(SQLHSTMT h, Ch* catalog, SQLSMALLINT catalog_len, Ch* schema, SQLSMALLINT schema_len, Ch* table,
                  SQLSMALLINT table_len, Ch* column, SQLSMALLINT column_len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    return catalog_result(s, [&](Session& session) {
        return column_rows(session, argument(catalog, catalog_len), argument(schema, schema_len),
                           argument(table, table_len), argument(column, column_len));
    });
}

template <typename Ch>
SQLRETURN primary_keys(SQLHSTMT h, Ch* catalog, SQLSMALLINT catalog_len, Ch* schema, SQLSMALLINT schema_len, Ch* table,
                       SQLSMALLINT table_len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (!table) {
        s->diags.clear();
        s->error("HY009", "Invalid use of null pointer");
        return SQL_ERROR;
    }
    return catalog_result(s, [&](Session& session) {
        return primary_key_rows(session, argument(catalog, catalog_len), argument(schema, schema_len),
                                *argument(table, table_len));
    });
}

// A parameter assigned to or compared with a column is described as that
// column; any other is an error, after which callers bind by the value's own type.
SQLRETURN describe_param(Stmt* s, SQLUSMALLINT number, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                         SQLSMALLINT* nullable) {
    s->diags.clear();
    if (!s->batch) {
        s->error("HY010", "Function sequence error");
        return SQL_ERROR;
    }
    if (number < 1 || number > s->batch->param_count) {
        s->error("07009", kInvalidDescriptorIndex);
        return SQL_ERROR;
    }
    if (!s->param_columns) {
        // SQL Server's drivers ask the server.
        if (!connection_free(s)) return SQL_ERROR;
        Catalog& catalog = s->dbc->session->catalog();
        try {
            catalog.next_statement();
            s->param_columns = parameter_columns(*s->batch, catalog);
        } catch (const TsqlError& e) {
            s->error(e);
            return SQL_ERROR;
        }
    }
    const std::optional<ColumnInfo>& c = (*s->param_columns)[number - 1];
    if (!c) {
        s->error("HY000", "The type of parameter " + std::to_string(number) +
                              " cannot be deduced: it is neither assigned to nor compared with a column.");
        return SQL_ERROR;
    }
    const OdbcTypeFacts f = odbc_type_facts(c->type);
    if (type) *type = f.type;
    if (size) *size = f.size;
    if (digits) *digits = f.digits;
    if (nullable) *nullable = c->nullable ? SQL_NULLABLE : SQL_NO_NULLS;
    return SQL_SUCCESS;
}

// ---- results ----

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

// Hands a value out as C type `ct` into ptr/buflen: fixed-size types whole;
// CHAR, WCHAR and BINARY from byte `offset` on, as much as fits, with
// `offset` moved past what was written. `done` tells whether the value has
// been handed out to its end.
SQLRETURN read_value(Stmt* s, const Value& v, const TsqlType& t, SQLSMALLINT ct, SQLPOINTER ptr, SQLLEN buflen, SQLLEN* ind,
                     size_t& offset, bool& done) {
    if (v.is_null()) {
        if (!ind) {
            s->error("22002", "Indicator variable required but not supplied");
            return SQL_ERROR;
        }
        store<SQLLEN>(ind, SQL_NULL_DATA);
        done = true;
        return SQL_SUCCESS;
    }
    if (ct == SQL_C_DEFAULT) ct = default_c_type(odbc_type_facts(t).type);
    if (ct != SQL_C_CHAR && ct != SQL_C_WCHAR && ct != SQL_C_BINARY) {
        std::string bytes;
        try {
            if (!fixed_value(v, t, ct, bytes, s)) return SQL_ERROR;
        } catch (const TsqlError&) {
            return SQL_ERROR;
        }
        if (ptr) std::memcpy(ptr, bytes.data(), bytes.size());
        if (ind) store(ind, static_cast<SQLLEN>(bytes.size()));
        done = true;
        return SQL_SUCCESS;
    }
    std::string bytes = stream_bytes(v, t, ct);
    size_t remaining = bytes.size() - offset;
    if (ind) store(ind, static_cast<SQLLEN>(remaining));
    size_t term = ct == SQL_C_WCHAR ? 2 : ct == SQL_C_CHAR ? 1 : 0;
    size_t room = buflen > static_cast<SQLLEN>(term) ? static_cast<size_t>(buflen) - term : 0;
    if (ct == SQL_C_WCHAR) room &= ~static_cast<size_t>(1);
    size_t n = std::min(room, remaining);
    if (ptr && buflen > 0) {
        std::memcpy(ptr, bytes.data() + offset, n);
        if (term) std::memset(static_cast<char*>(ptr) + n, 0, term);
    } else {
        n = 0;
    }
    offset += n;
    if (n < remaining) {
        s->warning("01004", "String data, right truncated");
        return SQL_SUCCESS_WITH_INFO;
    }
    done = true;
    return SQL_SUCCESS;
}

int last_bound_column(const Stmt* s) { return s->columns.empty() ? 0 : s->columns.rbegin()->first; }

// SQL Server's drivers read unbound columns after the bound ones, in
// increasing order; a column may be read in pieces, and once more gives
// SQL_NO_DATA.
SQLRETURN get_data(Stmt* s, SQLUSMALLINT col, SQLSMALLINT ct, SQLPOINTER ptr, SQLLEN buflen, SQLLEN* ind) {
    s->diags.clear();
    const ResultSet* rs = s->current();
    if (!rs || !s->on_row) {
        s->error("24000", "Invalid cursor state");
        return SQL_ERROR;
    }
    if (col < 1 || col > rs->columns.size() || col <= last_bound_column(s) || col < s->getdata_col) {
        s->error("07009", kInvalidDescriptorIndex);
        return SQL_ERROR;
    }
    if (s->getdata_col != col) {
        s->getdata_col = col;
        s->getdata_offset = 0;
        s->getdata_done = false;
    }
    if (s->getdata_done) return SQL_NO_DATA;
    return read_value(s, s->row[col - 1], rs->columns[col - 1].type, ct, ptr, buflen, ind, s->getdata_offset,
                      s->getdata_done);
}

// Writes row `r` of the rowset into the bound buffers.
SQLRETURN write_bound_row(Stmt* s, const ResultSet& rs, const std::vector<Value>& row, SQLULEN r) {
    const SQLULEN offset = s->row_bind_offset ? *s->row_bind_offset : 0;
    SQLRETURN rc = SQL_SUCCESS;
    for (const auto& [n, b] : s->columns) {
        if (n > static_cast<int>(rs.columns.size())) break;
        const TsqlType& t = rs.columns[n - 1].type;
        const SQLSMALLINT ct = b.ctype == SQL_C_DEFAULT ? default_c_type(odbc_type_facts(t).type) : b.ctype;
        SQLULEN value_stride = s->row_bind_type, ind_stride = s->row_bind_type;
        if (s->row_bind_type == SQL_BIND_BY_COLUMN) {
            const SQLLEN fixed = fixed_c_type_size(ct);
            value_stride = static_cast<SQLULEN>(fixed ? fixed : b.buflen);
            ind_stride = sizeof(SQLLEN);
        }
        char* ptr = static_cast<char*>(b.ptr) + offset + r * value_stride;
        SQLLEN* ind = b.ind ? reinterpret_cast<SQLLEN*>(reinterpret_cast<char*>(b.ind) + offset + r * ind_stride) : nullptr;
        size_t at = 0;
        bool done = false;
        SQLRETURN one = read_value(s, row[n - 1], t, ct, ptr, b.buflen, ind, at, done);
        if (one == SQL_ERROR) return one;
        if (one == SQL_SUCCESS_WITH_INFO) rc = one;
    }
    return rc;
}

// The next row of the result set, moved out of it: the cursor only goes forward.
bool next_row(Stmt* s, ResultSet& rs, std::vector<Value>& out) {
    if (rs.stream) return rs.stream->next(out);
    if (s->next_row >= rs.rows.size()) return false;
    out = std::move(rs.rows[s->next_row++]);
    return true;
}

// Fetches the next rowset (one row unless SQL_ATTR_ROW_ARRAY_SIZE says more)
// into the bound columns; the first row of it stays readable by SQLGetData.
SQLRETURN fetch(Stmt* s) {
    s->diags.clear();
    ResultSet* rs = s->current();
    if (!rs) {
        s->error("24000", "Invalid cursor state");
        return SQL_ERROR;
    }
    s->on_row = false;
    s->getdata_col = 0;
    s->getdata_offset = 0;
    s->getdata_done = false;
    if (s->fetch_error) {
        s->error(*s->fetch_error);
        s->fetch_error.reset();
        return SQL_ERROR;
    }
    const SQLULEN size = s->row_array_size;
    SQLULEN got = 0, errors = 0;
    bool info = false;
    while (got < size) {
        std::vector<Value> row;
        try {
            if (!next_row(s, *rs, row)) break;
        } catch (const TsqlError& e) {
            if (got == 0) {
                s->error(e);
                return SQL_ERROR;
            }
            s->fetch_error = e;
            break;
        }
        const size_t before = s->diags.size();
        SQLRETURN rc = write_bound_row(s, *rs, row, got);
        if (size > 1)
            for (size_t k = before; k < s->diags.size(); ++k) s->diags[k].row = static_cast<SQLLEN>(got + 1);
        if (s->row_status)
            s->row_status[got] = rc == SQL_ERROR ? SQL_ROW_ERROR : rc == SQL_SUCCESS_WITH_INFO ? SQL_ROW_SUCCESS_WITH_INFO : SQL_ROW_SUCCESS;
        errors += rc == SQL_ERROR;
        info = info || rc == SQL_SUCCESS_WITH_INFO;
        if (got == 0) s->row = std::move(row);
        ++got;
    }
    if (s->row_status)
        for (SQLULEN r = got; r < size; ++r) s->row_status[r] = SQL_ROW_NOROW;
    if (s->rows_fetched) *s->rows_fetched = got;
    if (got == 0) {
        s->set_read = true;
        s->settle_connection();
        return SQL_NO_DATA;
    }
    s->on_row = true;
    if (errors > 0) return size == 1 ? SQL_ERROR : SQL_SUCCESS_WITH_INFO;
    return info ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN more_results(Stmt* s) {
    s->diags.clear();
    ExecOutcome* o = s->outcome();
    if (o && s->set + 1 < o->results.size()) {
        ++s->set;
    } else if (o && s->run + 1 < s->runs.size()) {
        ++s->run;
        s->set = 0;
    } else {
        s->close();
        return SQL_NO_DATA;
    }
    s->next_row = 0;
    s->row.clear();
    s->on_row = false;
    s->set_read = false;
    s->fetch_error.reset();
    s->getdata_col = 0;
    s->settle_connection();
    return SQL_SUCCESS;
}

const ResultColumn* result_column(Stmt* s, SQLUSMALLINT col) {
    const ResultSet* rs = s->current();
    if (!rs || col < 1 || col > rs->columns.size()) {
        s->error("07009", kInvalidDescriptorIndex);
        return nullptr;
    }
    return &rs->columns[col - 1];
}

SQLRETURN describe_col(Stmt* s, SQLUSMALLINT col, std::string& name, SQLSMALLINT* type, SQLULEN* size,
                       SQLSMALLINT* digits, SQLSMALLINT* nullable) {
    s->diags.clear();
    const ResultColumn* c = result_column(s, col);
    if (!c) return SQL_ERROR;
    OdbcTypeFacts f = odbc_type_facts(c->type);
    name = c->name;
    if (type) *type = f.type;
    if (size) *size = f.size;
    if (digits) *digits = f.digits;
    if (nullable) *nullable = c->nullable ? SQL_NULLABLE : SQL_NO_NULLS;
    return SQL_SUCCESS;
}

// One field of SQLColAttribute: text fields come back in `text`, numbers in `number`.
SQLRETURN col_attribute(Stmt* s, SQLUSMALLINT col, SQLUSMALLINT field, std::optional<std::string>& text, SQLLEN& number) {
    s->diags.clear();
    if (field == SQL_DESC_COUNT || field == SQL_COLUMN_COUNT) {
        const ResultSet* rs = s->current();
        number = rs ? static_cast<SQLLEN>(rs->columns.size()) : 0;
        return SQL_SUCCESS;
    }
    const ResultColumn* c = result_column(s, col);
    if (!c) return SQL_ERROR;
    const OdbcTypeFacts f = odbc_type_facts(c->type);
    const bool datetime = f.type == SQL_TYPE_DATE || f.type == SQL_TYPE_TIMESTAMP;
    switch (field) {
        case SQL_DESC_NAME: case SQL_COLUMN_NAME: case SQL_DESC_LABEL: case SQL_DESC_BASE_COLUMN_NAME: text = c->name; break;
        case SQL_DESC_TYPE_NAME: case SQL_DESC_LOCAL_TYPE_NAME: text = f.type_name; break;
        case SQL_DESC_LITERAL_PREFIX: text = f.literal_prefix; break;
        case SQL_DESC_LITERAL_SUFFIX: text = f.literal_suffix; break;
        case SQL_DESC_TABLE_NAME: case SQL_DESC_BASE_TABLE_NAME: case SQL_DESC_SCHEMA_NAME: case SQL_DESC_CATALOG_NAME:
            text = "";
            break;
        case SQL_DESC_UNNAMED: number = c->name.empty() ? SQL_UNNAMED : SQL_NAMED; break;
        case SQL_DESC_CONCISE_TYPE: number = f.type; break;
        case SQL_DESC_TYPE: number = datetime ? SQL_DATETIME : f.type; break;
        case SQL_DESC_DATETIME_INTERVAL_CODE:
            number = f.type == SQL_TYPE_DATE ? SQL_CODE_DATE : f.type == SQL_TYPE_TIMESTAMP ? SQL_CODE_TIMESTAMP : 0;
            break;
        case SQL_DESC_LENGTH: case SQL_COLUMN_PRECISION: number = static_cast<SQLLEN>(f.size); break;
        case SQL_DESC_OCTET_LENGTH: case SQL_COLUMN_LENGTH: number = f.octet_length; break;
        case SQL_DESC_PRECISION: number = datetime || f.type == kSsTime2 ? f.digits : static_cast<SQLLEN>(f.size); break;
        case SQL_DESC_SCALE: case SQL_COLUMN_SCALE: number = f.digits; break;
        case SQL_DESC_DISPLAY_SIZE: number = f.display_size; break;
        case SQL_DESC_NULLABLE: case SQL_COLUMN_NULLABLE: number = c->nullable ? SQL_NULLABLE : SQL_NO_NULLS; break;
        case SQL_DESC_UNSIGNED: number = f.is_unsigned ? SQL_TRUE : SQL_FALSE; break;
        case SQL_DESC_FIXED_PREC_SCALE: number = f.fixed_prec_scale ? SQL_TRUE : SQL_FALSE; break;
        case SQL_DESC_UPDATABLE: number = SQL_ATTR_READWRITE_UNKNOWN; break;
        case SQL_DESC_AUTO_UNIQUE_VALUE: number = SQL_FALSE; break;
        case SQL_DESC_CASE_SENSITIVE: number = f.case_sensitive ? SQL_TRUE : SQL_FALSE; break;
        case SQL_DESC_SEARCHABLE: number = f.size > 8000 ? SQL_PRED_CHAR : SQL_PRED_SEARCHABLE; break;
        case SQL_DESC_NUM_PREC_RADIX: number = f.radix; break;
        default: s->error("HY091", "Invalid descriptor field identifier"); return SQL_ERROR;
    }
    return SQL_SUCCESS;
}

// ---- statement attributes ----

SQLRETURN set_stmt_attr(Stmt* s, SQLINTEGER attr, SQLPOINTER value) {
    s->diags.clear();
    const SQLULEN n = reinterpret_cast<SQLULEN>(value);
    auto unsupported = [&] {
        s->error("HYC00", "Optional feature not implemented");
        return SQL_ERROR;
    };
    auto changed = [&] {
        s->warning("01S02", "Option value changed");
        return SQL_SUCCESS_WITH_INFO;
    };
    switch (attr) {
        case SQL_ATTR_PARAMSET_SIZE:
        case SQL_ATTR_ROW_ARRAY_SIZE:
        case SQL_ROWSET_SIZE:
            if (n < 1) {
                s->error("HY024", "Invalid attribute value");
                return SQL_ERROR;
            }
            (attr == SQL_ATTR_PARAMSET_SIZE ? s->paramset_size : s->row_array_size) = n;
            return SQL_SUCCESS;
        case SQL_ATTR_PARAM_BIND_TYPE: s->param_bind_type = n; return SQL_SUCCESS;
        case SQL_ATTR_PARAM_BIND_OFFSET_PTR: s->param_bind_offset = static_cast<SQLULEN*>(value); return SQL_SUCCESS;
        case SQL_ATTR_PARAM_OPERATION_PTR: s->param_operations = static_cast<SQLUSMALLINT*>(value); return SQL_SUCCESS;
        case SQL_ATTR_PARAM_STATUS_PTR: s->param_status = static_cast<SQLUSMALLINT*>(value); return SQL_SUCCESS;
        case SQL_ATTR_PARAMS_PROCESSED_PTR: s->params_processed = static_cast<SQLULEN*>(value); return SQL_SUCCESS;
        case SQL_ATTR_ROW_BIND_TYPE: s->row_bind_type = n; return SQL_SUCCESS;
        case SQL_ATTR_ROW_BIND_OFFSET_PTR: s->row_bind_offset = static_cast<SQLULEN*>(value); return SQL_SUCCESS;
        case SQL_ATTR_ROW_STATUS_PTR: s->row_status = static_cast<SQLUSMALLINT*>(value); return SQL_SUCCESS;
        case SQL_ATTR_ROWS_FETCHED_PTR: s->rows_fetched = static_cast<SQLULEN*>(value); return SQL_SUCCESS;
        case SQL_ATTR_QUERY_TIMEOUT: s->query_timeout = n; return SQL_SUCCESS;
        // Forward-only, read-only cursors: other kinds are answered with the nearest one.
        case SQL_ATTR_CURSOR_TYPE: return n == SQL_CURSOR_FORWARD_ONLY ? SQL_SUCCESS : changed();
        case SQL_ATTR_CONCURRENCY: return n == SQL_CONCUR_READ_ONLY ? SQL_SUCCESS : changed();
        case SQL_ATTR_MAX_ROWS: case SQL_ATTR_MAX_LENGTH: return n == 0 ? SQL_SUCCESS : changed();
        case SQL_ATTR_CURSOR_SCROLLABLE: return n == SQL_NONSCROLLABLE ? SQL_SUCCESS : unsupported();
        case SQL_ATTR_CURSOR_SENSITIVITY: return n == SQL_UNSPECIFIED || n == SQL_INSENSITIVE ? SQL_SUCCESS : unsupported();
        case SQL_ATTR_RETRIEVE_DATA: return n == SQL_RD_ON ? SQL_SUCCESS : unsupported();
        case SQL_ATTR_USE_BOOKMARKS: return n == SQL_UB_OFF ? SQL_SUCCESS : unsupported();
        case SQL_ATTR_ASYNC_ENABLE: return n == SQL_ASYNC_ENABLE_OFF ? SQL_SUCCESS : unsupported();
        case SQL_ATTR_NOSCAN: case SQL_ATTR_METADATA_ID: case SQL_ATTR_ENABLE_AUTO_IPD: return SQL_SUCCESS;
        default: s->error("HY092", "Invalid attribute/option identifier"); return SQL_ERROR;
    }
}

SQLRETURN get_stmt_attr(Stmt* s, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER* len) {
    s->diags.clear();
    auto number = [&](SQLULEN v) {
        if (value) *static_cast<SQLULEN*>(value) = v;
        if (len) *len = sizeof(SQLULEN);
        return SQL_SUCCESS;
    };
    auto pointer = [&](void* p) {
        if (value) *static_cast<SQLPOINTER*>(value) = p;
        if (len) *len = sizeof(SQLPOINTER);
        return SQL_SUCCESS;
    };
    switch (attr) {
        case SQL_ATTR_PARAMSET_SIZE: return number(s->paramset_size);
        case SQL_ATTR_ROW_ARRAY_SIZE: case SQL_ROWSET_SIZE: return number(s->row_array_size);
        case SQL_ATTR_PARAM_BIND_TYPE: return number(s->param_bind_type);
        case SQL_ATTR_ROW_BIND_TYPE: return number(s->row_bind_type);
        case SQL_ATTR_PARAM_BIND_OFFSET_PTR: return pointer(s->param_bind_offset);
        case SQL_ATTR_PARAM_OPERATION_PTR: return pointer(s->param_operations);
        case SQL_ATTR_PARAM_STATUS_PTR: return pointer(s->param_status);
        case SQL_ATTR_PARAMS_PROCESSED_PTR: return pointer(s->params_processed);
        case SQL_ATTR_ROW_BIND_OFFSET_PTR: return pointer(s->row_bind_offset);
        case SQL_ATTR_ROW_STATUS_PTR: return pointer(s->row_status);
        case SQL_ATTR_ROWS_FETCHED_PTR: return pointer(s->rows_fetched);
        case SQL_ATTR_QUERY_TIMEOUT: return number(s->query_timeout);
        case SQL_ATTR_CURSOR_TYPE: return number(SQL_CURSOR_FORWARD_ONLY);
        case SQL_ATTR_CONCURRENCY: return number(SQL_CONCUR_READ_ONLY);
        case SQL_ATTR_CURSOR_SCROLLABLE: return number(SQL_NONSCROLLABLE);
        case SQL_ATTR_CURSOR_SENSITIVITY: return number(SQL_UNSPECIFIED);
        case SQL_ATTR_RETRIEVE_DATA: return number(SQL_RD_ON);
        case SQL_ATTR_USE_BOOKMARKS: return number(SQL_UB_OFF);
        case SQL_ATTR_ASYNC_ENABLE: return number(SQL_ASYNC_ENABLE_OFF);
        case SQL_ATTR_MAX_ROWS: case SQL_ATTR_MAX_LENGTH: case SQL_ATTR_NOSCAN: case SQL_ATTR_METADATA_ID:
        case SQL_ATTR_ENABLE_AUTO_IPD:
            return number(0);
        default: s->error("HY092", "Invalid attribute/option identifier"); return SQL_ERROR;
    }
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
            const ExecOutcome* o = s ? s->outcome() : nullptr;
            *static_cast<SQLLEN*>(info) = o ? o->row_count : 0;
            return SQL_SUCCESS;
        }
        return SQL_ERROR;
    }
    if (rec < 1 || rec > static_cast<SQLSMALLINT>(hd->diags.size())) return SQL_NO_DATA;
    const Diag& d = hd->diags[rec - 1];
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
        case SQL_DIAG_ROW_NUMBER: *static_cast<SQLLEN*>(info) = d.row; return SQL_SUCCESS;
        case SQL_DIAG_COLUMN_NUMBER: *static_cast<SQLINTEGER*>(info) = SQL_NO_COLUMN_NUMBER; return SQL_SUCCESS;
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
    const Diag& d = hd->diags[rec - 1];
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


template <bool Wide>
SQLRETURN get_info(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT buflen, SQLSMALLINT* len) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    InfoValue v = info_value(type, d->session ? d->session->database() : "", d->server);
    switch (v.kind) {
        case InfoValue::Small:
            if (value) *static_cast<SQLUSMALLINT*>(value) = static_cast<SQLUSMALLINT>(v.number);
            if (len) *len = sizeof(SQLUSMALLINT);
            return SQL_SUCCESS;
        case InfoValue::Word:
            if (value) *static_cast<SQLUINTEGER*>(value) = v.number;
            if (len) *len = sizeof(SQLUINTEGER);
            return SQL_SUCCESS;
        case InfoValue::Text: {
            bool cut;
            if constexpr (Wide) {
                cut = text_out_w(v.text, static_cast<SQLWCHAR*>(value), buflen / 2, len);
                if (len) *len = static_cast<SQLSMALLINT>(*len * 2);
            } else {
                cut = text_out_a(v.text, static_cast<SQLCHAR*>(value), buflen, len);
            }
            if (!cut) return SQL_SUCCESS;
            d->warning("01004", "String data, right truncated");
            return SQL_SUCCESS_WITH_INFO;
        }
        default: d->error("HY096", "Information type out of range"); return SQL_ERROR;
    }
}

template <bool Wide>
SQLRETURN col_attribute_out(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER text_out, SQLSMALLINT buflen,
                            SQLSMALLINT* len, SQLLEN* number_out) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    std::optional<std::string> text;
    SQLLEN number = 0;
    SQLRETURN rc = col_attribute(s, col, field, text, number);
    if (!SQL_SUCCEEDED(rc)) return rc;
    if (!text) {
        if (number_out) *number_out = number;
        return rc;
    }
    bool cut;
    if constexpr (Wide) {
        cut = text_out_w(*text, static_cast<SQLWCHAR*>(text_out), buflen / 2, len);
        if (len) *len = static_cast<SQLSMALLINT>(*len * 2);
    } else {
        cut = text_out_a(*text, static_cast<SQLCHAR*>(text_out), buflen, len);
    }
    if (!cut) return rc;
    s->warning("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
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
    switch (option) {
        case SQL_DROP: delete s; return SQL_SUCCESS;
        case SQL_CLOSE: s->close(); return SQL_SUCCESS;
        case SQL_UNBIND: s->columns.clear(); return SQL_SUCCESS;
        case SQL_RESET_PARAMS: s->params.clear(); return SQL_SUCCESS;
        default: s->error("HY092", "Invalid attribute/option identifier"); return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT h) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->close();
    return SQL_SUCCESS;
}

// Cancels a statement waiting for its data-at-execution values; otherwise nothing to do.
SQLRETURN SQL_API SQLCancel(SQLHSTMT h) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (!s->pending.empty() || s->current_dae) s->close();
    return SQL_SUCCESS;
}

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
        if (on && !d->autocommit && d->session && d->session->in_transaction()) {
            d->session->execute_text("COMMIT TRANSACTION");
            d->count(0, 0, 1);
        }
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

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? set_stmt_attr(s, attr, value) : SQL_INVALID_HANDLE;
}
SQLRETURN SQL_API SQLSetStmtAttrW(SQLHSTMT h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) { return SQLSetStmtAttr(h, a, v, n); }

SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER, SQLINTEGER* len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? get_stmt_attr(s, attr, value, len) : SQL_INVALID_HANDLE;
}
SQLRETURN SQL_API SQLGetStmtAttrW(SQLHSTMT h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n, SQLINTEGER* len) {
    return SQLGetStmtAttr(h, a, v, n, len);
}

SQLRETURN SQL_API SQLConnect(SQLHDBC h, SQLCHAR* dsn, SQLSMALLINT dsnlen, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    return d ? connect(d, {{"dsn", narrow_in(dsn, dsnlen)}}) : SQL_INVALID_HANDLE;
}
SQLRETURN SQL_API SQLConnectW(SQLHDBC h, SQLWCHAR* dsn, SQLSMALLINT dsnlen, SQLWCHAR*, SQLSMALLINT, SQLWCHAR*, SQLSMALLINT) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    return d ? connect(d, {{"dsn", utf16_to_utf8(dsn, dsnlen)}}) : SQL_INVALID_HANDLE;
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC h, SQLHWND, SQLCHAR* in, SQLSMALLINT inlen, SQLCHAR* out, SQLSMALLINT outmax,
                                   SQLSMALLINT* outlen, SQLUSMALLINT) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    std::string cs = narrow_in(in, inlen);
    SQLRETURN rc = connect(d, parse_connection_string(cs));
    if (SQL_SUCCEEDED(rc)) text_out_a(cs, out, outmax, outlen);
    return rc;
}

SQLRETURN SQL_API SQLDriverConnectW(SQLHDBC h, SQLHWND, SQLWCHAR* in, SQLSMALLINT inlen, SQLWCHAR* out,
                                    SQLSMALLINT outmax, SQLSMALLINT* outlen, SQLUSMALLINT) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    std::string cs = utf16_to_utf8(in, inlen);
    SQLRETURN rc = connect(d, parse_connection_string(cs));
    if (SQL_SUCCEEDED(rc)) text_out_w(cs, out, outmax, outlen);
    return rc;
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC h) {
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->busy = nullptr;
    d->session.reset();
    d->counter.reset();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT completion) {
    if (type != SQL_HANDLE_DBC) return SQL_SUCCESS;
    Dbc* d = as<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    // Cursors close when a transaction ends (SQL_CB_CLOSE).
    if (d->busy) d->busy->close();
    if (!d->session || !d->session->in_transaction()) return SQL_SUCCESS;
    d->count(0, 0, 1);
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
    return s ? exec_direct(s, narrow_in(text, len)) : SQL_INVALID_HANDLE;
}
SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? exec_direct(s, utf16_to_utf8(text, len)) : SQL_INVALID_HANDLE;
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
    if (s->pending.empty() && !s->current_dae) {
        s->error("HY010", "Function sequence error");
        return SQL_ERROR;
    }
    if (!s->pending.empty()) {
        s->current_dae = s->pending.front();
        s->pending.erase(s->pending.begin());
        s->dae_data[*s->current_dae] = std::string();
        if (value) *value = element(s, s->params[s->current_dae->second], s->current_dae->first).ptr;
        return SQL_NEED_DATA;
    }
    s->current_dae.reset();
    return run(s);
}

SQLRETURN SQL_API SQLPutData(SQLHSTMT h, SQLPOINTER data, SQLLEN len) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (!s->current_dae) {
        s->error("HY010", "Function sequence error");
        return SQL_ERROR;
    }
    std::optional<std::string>& slot = s->dae_data[*s->current_dae];
    if (len == SQL_NULL_DATA) {
        slot.reset();
        return SQL_SUCCESS;
    }
    const ParamBinding& b = s->params[s->current_dae->second];
    if (len == SQL_NTS)
        len = b.ctype == SQL_C_WCHAR ? static_cast<SQLLEN>(std::char_traits<char16_t>::length(static_cast<const char16_t*>(data)) * 2)
                                     : static_cast<SQLLEN>(std::strlen(static_cast<const char*>(data)));
    if (!slot) slot = std::string();
    if (len > 0) slot->append(static_cast<const char*>(data), len);
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
    const ExecOutcome* o = s->outcome();
    if (count) *count = o ? o->row_count : -1;
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

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER text, SQLSMALLINT buflen,
                                  SQLSMALLINT* len, SQLLEN* number) {
    return col_attribute_out<false>(h, col, field, text, buflen, len, number);
}
SQLRETURN SQL_API SQLColAttributeW(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER text, SQLSMALLINT buflen,
                                   SQLSMALLINT* len, SQLLEN* number) {
    return col_attribute_out<true>(h, col, field, text, buflen, len, number);
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT ctype, SQLPOINTER ptr, SQLLEN buflen, SQLLEN* ind) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (col < 1) {
        s->error("07009", kInvalidDescriptorIndex);
        return SQL_ERROR;
    }
    if (!ptr) {
        s->columns.erase(col);
        return SQL_SUCCESS;
    }
    if (ctype != SQL_C_DEFAULT && ctype != SQL_C_CHAR && ctype != SQL_C_WCHAR && ctype != SQL_C_BINARY &&
        fixed_c_type_size(ctype) == 0) {
        s->error("HY003", "Program type out of range");
        return SQL_ERROR;
    }
    if (buflen < 0) {
        s->error("HY090", "Invalid string or buffer length");
        return SQL_ERROR;
    }
    s->columns[col] = ColumnBinding{ctype, ptr, buflen, ind};
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT h) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? fetch(s) : SQL_INVALID_HANDLE;
}

SQLRETURN SQL_API SQLFetchScroll(SQLHSTMT h, SQLSMALLINT orientation, SQLLEN) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (orientation != SQL_FETCH_NEXT) {
        s->diags.clear();
        s->error("HY106", "Fetch type out of range");
        return SQL_ERROR;
    }
    return fetch(s);
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT ctype, SQLPOINTER ptr, SQLLEN buflen, SQLLEN* ind) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? get_data(s, col, ctype, ptr, buflen, ind) : SQL_INVALID_HANDLE;
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT h) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? more_results(s) : SQL_INVALID_HANDLE;
}

SQLRETURN SQL_API SQLGetTypeInfo(SQLHSTMT h, SQLSMALLINT type) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? type_info(s, type) : SQL_INVALID_HANDLE;
}
SQLRETURN SQL_API SQLGetTypeInfoW(SQLHSTMT h, SQLSMALLINT type) { return SQLGetTypeInfo(h, type); }

SQLRETURN SQL_API SQLTables(SQLHSTMT h, SQLCHAR* catalog, SQLSMALLINT catalog_len, SQLCHAR* schema, SQLSMALLINT schema_len,
                            SQLCHAR* table, SQLSMALLINT table_len, SQLCHAR* types, SQLSMALLINT types_len) {
    return tables(h, catalog, catalog_len, schema, schema_len, table, table_len, types, types_len);
}
SQLRETURN SQL_API SQLTablesW(SQLHSTMT h, SQLWCHAR* catalog, SQLSMALLINT catalog_len, SQLWCHAR* schema,
                             SQLSMALLINT schema_len, SQLWCHAR* table, SQLSMALLINT table_len, SQLWCHAR* types,
                             SQLSMALLINT types_len) {
    return tables(h, catalog, catalog_len, schema, schema_len, table, table_len, types, types_len);
}

SQLRETURN SQL_API SQLColumns(SQLHSTMT h, SQLCHAR* catalog, SQLSMALLINT catalog_len, SQLCHAR* schema, SQLSMALLINT schema_len,
                             SQLCHAR* table, SQLSMALLINT table_len, SQLCHAR* column, SQLSMALLINT column_len) {
    return columns(h, catalog, catalog_len, schema, schema_len, table, table_len, column, column_len);
}
SQLRETURN SQL_API SQLColumnsW(SQLHSTMT h, SQLWCHAR* catalog, SQLSMALLINT catalog_len, SQLWCHAR* schema,
                              SQLSMALLINT schema_len, SQLWCHAR* table, SQLSMALLINT table_len, SQLWCHAR* column,
                              SQLSMALLINT column_len) {
    return columns(h, catalog, catalog_len, schema, schema_len, table, table_len, column, column_len);
}

SQLRETURN SQL_API SQLPrimaryKeys(SQLHSTMT h, SQLCHAR* catalog, SQLSMALLINT catalog_len, SQLCHAR* schema,
                                 SQLSMALLINT schema_len, SQLCHAR* table, SQLSMALLINT table_len) {
    return primary_keys(h, catalog, catalog_len, schema, schema_len, table, table_len);
}
SQLRETURN SQL_API SQLPrimaryKeysW(SQLHSTMT h, SQLWCHAR* catalog, SQLSMALLINT catalog_len, SQLWCHAR* schema,
                                  SQLSMALLINT schema_len, SQLWCHAR* table, SQLSMALLINT table_len) {
    return primary_keys(h, catalog, catalog_len, schema, schema_len, table, table_len);
}

SQLRETURN SQL_API SQLDescribeParam(SQLHSTMT h, SQLUSMALLINT number, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                                   SQLSMALLINT* nullable) {
    Stmt* s = as<Stmt>(h, Kind::Stmt);
    return s ? describe_param(s, number, type, size, digits, nullable) : SQL_INVALID_HANDLE;
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
    return get_info<false>(h, type, value, buflen, len);
}
SQLRETURN SQL_API SQLGetInfoW(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT buflen, SQLSMALLINT* len) {
    return get_info<true>(h, type, value, buflen, len);
}

SQLRETURN SQL_API SQLGetFunctions(SQLHDBC h, SQLUSMALLINT id, SQLUSMALLINT* supported) {
    if (!as<Dbc>(h, Kind::Dbc)) return SQL_INVALID_HANDLE;
    if (!supported) return SQL_SUCCESS;
    if (id == SQL_API_ODBC3_ALL_FUNCTIONS) {
        std::memset(supported, 0, SQL_API_ODBC3_ALL_FUNCTIONS_SIZE * sizeof(SQLUSMALLINT));
        for (SQLUSMALLINT f = 1; f < SQL_API_ODBC3_ALL_FUNCTIONS_SIZE * 16; ++f)
            if (function_supported(f)) supported[f >> 4] |= static_cast<SQLUSMALLINT>(1 << (f & 0xF));
    } else if (id == SQL_API_ALL_FUNCTIONS) {
        for (SQLUSMALLINT f = 0; f < 100; ++f) supported[f] = function_supported(f) ? SQL_TRUE : SQL_FALSE;
    } else {
        *supported = function_supported(id) ? SQL_TRUE : SQL_FALSE;
    }
    return SQL_SUCCESS;
}

}  // extern "C"

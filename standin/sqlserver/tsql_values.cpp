#include "tsql_values.h"

#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tsql_error.h"

namespace sqlserver_standin {

namespace {

TsqlError overflow(const TsqlType& t) {
    return TsqlError(8115, "22003", "Arithmetic overflow error converting expression to data type " + t.name + ".");
}

TsqlError conversion_failed(const std::string& what, const TsqlType& t) {
    return TsqlError(245, "22018",
                     "Conversion failed when converting the varchar value '" + what + "' to data type " + t.name + ".");
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Every GUID read or written goes through here: a table, not branches.
int hexval(char c) {
    static const auto table = [] {
        std::array<signed char, 256> t{};
        t.fill(-1);
        for (int d = 0; d < 10; ++d) t['0' + d] = static_cast<signed char>(d);
        for (int d = 0; d < 6; ++d) t['a' + d] = t['A' + d] = static_cast<signed char>(10 + d);
        return t;
    }();
    return table[static_cast<unsigned char>(c)];
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in hexadecimal digits of either case.
bool is_guid_text(std::string_view s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < 36; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : hexval(s[i]) < 0) return false;
    }
    return true;
}

// Number of characters of UTF-8 text, counted as UTF-16 units for nchar/nvarchar.
size_t char_length(const std::string& s, bool utf16) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = s[i];
        if ((c & 0xC0) == 0x80) continue;
        n += (utf16 && c >= 0xF0) ? 2 : 1;
    }
    return n;
}

// Cuts UTF-8 text after `chars` characters.
std::string cut_chars(const std::string& s, size_t chars, bool utf16) {
    size_t n = 0, i = 0;
    for (; i < s.size(); ++i) {
        unsigned char c = s[i];
        if ((c & 0xC0) == 0x80) continue;
        size_t w = (utf16 && c >= 0xF0) ? 2 : 1;
        if (n + w > chars) break;
        n += w;
    }
    return s.substr(0, i);
}

std::string text_of(const Value& v) {
    switch (v.kind) {
        case Value::Int: return std::to_string(v.i);
        case Value::Real: return format_real(v.r);
        default: return v.s;
    }
}

// Integer value of a decimal text, truncated toward zero; false when it is not a number.
bool parse_integer_text(const std::string& raw, int64_t& out, bool& fits) {
    std::string s = trim(raw);
    if (s.empty()) {
        out = 0;
        fits = true;
        return true;
    }
    size_t i = 0;
    bool neg = false;
    if (s[i] == '+' || s[i] == '-') neg = s[i++] == '-';
    if (i >= s.size()) return false;
    __int128 v = 0;
    fits = true;
    for (; i < s.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        v = v * 10 + (s[i] - '0');
        if (v > (static_cast<__int128>(1) << 64)) fits = false;
    }
    if (neg) v = -v;
    if (v > INT64_MAX || v < INT64_MIN) fits = false;
    out = static_cast<int64_t>(v);
    return true;
}

Value to_integer(const Value& v, const TsqlType& t) {
    int64_t x = 0;
    switch (v.kind) {
        case Value::Int: x = v.i; break;
        case Value::Real:
            if (!(std::fabs(v.r) < 9.2233720368547758e18)) throw overflow(t);
            x = static_cast<int64_t>(v.r);
            break;
        case Value::Text: {
            bool fits = true;
            if (!parse_integer_text(v.s, x, fits)) {
                std::string low = trim(v.s);
                for (auto& c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (t.name == "bit" && (low == "true" || low == "false")) return Value::integer(low == "true");
                throw conversion_failed(v.s, t);
            }
            if (!fits) throw overflow(t);
            break;
        }
        case Value::Blob: {
            // Big-endian, the rightmost 8 bytes, as CAST(0x.. AS bigint).
            uint64_t u = 0;
            size_t start = v.s.size() > 8 ? v.s.size() - 8 : 0;
            for (size_t i = start; i < v.s.size(); ++i) u = (u << 8) | static_cast<unsigned char>(v.s[i]);
            size_t nbytes = v.s.size() - start;
            x = static_cast<int64_t>(u);
            if (t.name == "int" && nbytes <= 4) x = static_cast<int32_t>(static_cast<uint32_t>(u));
            if (t.name == "smallint" && nbytes <= 2) x = static_cast<int16_t>(static_cast<uint16_t>(u));
            break;
        }
        case Value::Null: return v;
    }
    if (t.name == "bit") return Value::integer(x != 0);
    int64_t lo = INT64_MIN, hi = INT64_MAX;
    if (t.name == "tinyint") lo = 0, hi = 255;
    if (t.name == "smallint") lo = -32768, hi = 32767;
    if (t.name == "int") lo = INT32_MIN, hi = INT32_MAX;
    if (x < lo || x > hi) throw overflow(t);
    return Value::integer(x);
}

// Canonical decimal text with exactly `scale` fraction digits, rounded half away from zero.
std::string to_decimal_text(const Value& v, const TsqlType& t, int precision, int scale) {
    std::string s;
    if (v.kind == Value::Int) s = std::to_string(v.i);
    else if (v.kind == Value::Real) {
        // The shortest text of the double keeps a literal such as 2.255 exact.
        char buf[512];
        std::snprintf(buf, sizeof buf, "%.*f", 30, std::stod(format_real(v.r)));
        s = format_real(v.r).find_first_of("eE") == std::string::npos ? format_real(v.r) : std::string(buf);
    } else
        s = trim(v.s);
    bool neg = false;
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    std::string ip, fp;
    bool dot = false, any = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '.' && !dot) {
            dot = true;
            continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            throw TsqlError(8114, "22018", "Error converting data type varchar to numeric.");
        }
        any = true;
        (dot ? fp : ip) += c;
    }
    if (!any) throw TsqlError(8114, "22018", "Error converting data type varchar to numeric.");
    bool round_up = fp.size() > static_cast<size_t>(scale) && fp[scale] >= '5';
    fp.resize(scale, '0');
    std::string digits = ip + fp;
    if (round_up) {
        int k = static_cast<int>(digits.size()) - 1;
        while (k >= 0 && digits[k] == '9') digits[k--] = '0';
        if (k < 0) digits.insert(digits.begin(), '1');
        else ++digits[k];
    }
    size_t int_len = digits.size() - scale;
    std::string intpart = digits.substr(0, int_len);
    size_t nz = intpart.find_first_not_of('0');
    intpart = nz == std::string::npos ? "0" : intpart.substr(nz);
    if (intpart != "0" && intpart.size() > static_cast<size_t>(precision - scale)) throw overflow(t);
    std::string frac = digits.substr(int_len);
    bool zero = intpart == "0" && frac.find_first_not_of('0') == std::string::npos;
    std::string out = (neg && !zero ? "-" : "") + intpart;
    if (scale > 0) out += "." + frac;
    return out;
}

int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t yy = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

int days_in_month(int y, int m) {
    static const int dm[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return dm[m - 1];
}

Value to_datetime(const Value& v, const TsqlType& t) {
    DateTimeParts p;
    if (v.kind == Value::Int || v.kind == Value::Real) {
        // Days since 1900-01-01, as CAST(number AS datetime).
        double days = v.kind == Value::Int ? static_cast<double>(v.i) : v.r;
        int64_t whole = static_cast<int64_t>(std::floor(days));
        civil_from_days(days_from_civil(1900, 1, 1) + whole, p.year, p.month, p.day);
        int64_t ns = static_cast<int64_t>(std::llround((days - whole) * 86400e9));
        p.hour = static_cast<int>(ns / 3600000000000LL);
        p.minute = static_cast<int>(ns / 60000000000LL % 60);
        p.second = static_cast<int>(ns / 1000000000LL % 60);
        p.nanos = ns % 1000000000LL;
        p.has_date = p.has_time = true;
    } else if (v.kind == Value::Text) {
        if (!parse_datetime(v.s, p))
            throw TsqlError(241, "22007", "Conversion failed when converting date and/or time from character string.");
        if (p.month < 1 || p.month > 12 || p.day < 1 || p.day > days_in_month(p.year, p.month) || p.hour > 23 ||
            p.minute > 59 || p.second > 59)
            throw TsqlError(242, "22008",
                            "The conversion of a varchar data type to a " + t.name +
                                " data type resulted in an out-of-range value.");
    } else {
        throw TsqlError(529, "22018", "Explicit conversion to data type " + t.name + " is not allowed.");
    }
    // datetime and smalldatetime take no offset, and Z only after ISO 8601's full form.
    const bool old_type = t.name == "datetime" || t.name == "smalldatetime";
    if (p.zone && old_type && (p.zone != 'Z' || !p.iso || !p.has_seconds))
        throw TsqlError(241, "22007", "Conversion failed when converting date and/or time from character string.");
    std::string out = format_datetime(p, t);
    DateTimeParts check;
    parse_datetime(out, check);
    int lo = t.name == "datetime" ? 1753 : t.name == "smalldatetime" ? 1900 : 1;
    int hi = t.name == "smalldatetime" ? 2079 : 9999;
    if (t.is_datetime_family() && t.name != "time" &&
        (check.year < lo || check.year > hi ||
         (t.name == "smalldatetime" && check.year == 2079 && (check.month > 6 || (check.month == 6 && check.day > 6)))))
        throw TsqlError(242, "22008",
                        "The conversion of a varchar data type to a " + t.name +
                            " data type resulted in an out-of-range value.");
    return Value::text(out);
}

// Code page 1252 where it differs from Latin-1: its characters at 0x80 to 0x9F (0 where the
// code page leaves a byte undefined and it stands for the control character of its number).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

uint32_t cp1252_char(unsigned char b) {
    if (b >= 0x80 && b < 0xA0 && kCp1252High[b - 0x80]) return kCp1252High[b - 0x80];
    return b;
}

int cp1252_byte(uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp < 0x100)) return static_cast<int>(cp);
    for (int k = 0; k < 32; ++k)
        if (kCp1252High[k] ? kCp1252High[k] == cp : 0x80 + k == static_cast<int>(cp)) return 0x80 + k;
    return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string to_binary_bytes(const Value& v) {
    switch (v.kind) {
        case Value::Int: {
            std::string b(8, '\0');
            uint64_t u = static_cast<uint64_t>(v.i);
            for (int k = 7; k >= 0; --k, u >>= 8) b[k] = static_cast<char>(u & 0xFF);
            return b;
        }
        case Value::Real: {
            std::string b(8, '\0');
            std::memcpy(b.data(), &v.r, 8);
            return b;
        }
        default: {
            unsigned char g[16];
            if (v.kind == Value::Text && v.s.size() == 36 && guid_to_bytes(v.s, g))
                return std::string(reinterpret_cast<char*>(g), 16);
            return v.s;
        }
    }
}

// The bytes CAST makes of a value.
std::string cast_bytes(const Value& v, TextSource source) {
    if (v.kind != Value::Text) return to_binary_bytes(v);
    unsigned char g[16];
    if (source == 'g' || (source == 0 && v.s.size() == 36 && guid_to_bytes(v.s, g))) return to_binary_bytes(v);
    return encode_text(v.s, source != 'v');
}

}  // namespace

std::string encode_text(const std::string& utf8, bool unicode) {
    std::string out;
    out.reserve(unicode ? utf8.size() * 2 : utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (int k = 1; k < n && i + k < utf8.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (!unicode) {
            int b = cp1252_byte(cp);
            out += b < 0 ? '?' : static_cast<char>(b);
            continue;
        }
        auto unit = [&](uint32_t u) {
            out += static_cast<char>(u & 0xFF);
            out += static_cast<char>(u >> 8);
        };
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

std::string decode_text(const std::string& bytes, bool unicode) {
    std::string out;
    if (!unicode) {
        for (unsigned char b : bytes) append_utf8(out, cp1252_char(b));
        return out;
    }
    auto unit = [&](size_t i) {
        uint32_t lo = static_cast<unsigned char>(bytes[i]);
        return i + 1 < bytes.size() ? lo | static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 : lo;
    };
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
            uint32_t low = unit(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        append_utf8(out, u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
    }
    return out;
}

std::string format_real(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    // The shortest text that reads back the same value.
    for (int prec = 1; prec <= 17; ++prec) {
        char b2[64];
        std::snprintf(b2, sizeof b2, "%.*g", prec, v);
        if (std::strtod(b2, nullptr) == v) return b2;
    }
    return buf;
}

bool guid_to_bytes(const std::string& raw, unsigned char out[16]) {
    std::string_view s = raw;
    if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
    unsigned char b[16];
    int k = 0;
    for (size_t i = 0; i < 36; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) continue;
        int h = hexval(s[i]), l = hexval(s[i + 1]);
        if (h < 0 || l < 0) return false;
        b[k++] = static_cast<unsigned char>(h * 16 + l);
        ++i;
    }
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) out[i] = b[order[i]];
    return true;
}

std::string guid_from_bytes(const unsigned char in[16]) {
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(36);
    for (int i = 0; i < 16; ++i) {
        hex += digits[in[order[i]] >> 4];
        hex += digits[in[order[i]] & 15];
        if (i == 3 || i == 5 || i == 7 || i == 9) hex += '-';
    }
    return hex;
}

int compare_guid_text(std::string_view a, std::string_view b) {
    if (a.size() != 36 || b.size() != 36) return a.compare(b);
    // It orders every index on a GUID column: no allocation, no locale. An index lookup ends
    // on equal texts, which one comparison of the bytes settles.
    if (std::memcmp(a.data(), b.data(), 36) == 0) return 0;
    static constexpr unsigned char kOrder[] = {24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 19, 20, 21, 22,
                                               14, 15, 16, 17, 9,  10, 11, 12, 0,  1,  2,  3,  4,  5,  6,  7};
    auto upper = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; };
    for (unsigned char i : kOrder) {
        const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x == y) continue;
        const int ux = upper(x), uy = upper(y);
        if (ux != uy) return ux < uy ? -1 : 1;
    }
    return 0;
}

int compare_decimal_text(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s, bool& neg, std::string& ip, std::string& fp) {
        size_t i = 0;
        neg = !s.empty() && s[0] == '-';
        if (!s.empty() && (s[0] == '-' || s[0] == '+')) i = 1;
        size_t dot = s.find('.', i);
        ip = s.substr(i, dot == std::string::npos ? std::string::npos : dot - i);
        fp = dot == std::string::npos ? "" : s.substr(dot + 1);
        size_t nz = ip.find_first_not_of('0');
        ip = nz == std::string::npos ? "" : ip.substr(nz);
        while (!fp.empty() && fp.back() == '0') fp.pop_back();
        for (char c : ip + fp)
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        if (ip.empty() && fp.empty()) neg = false;
        return true;
    };
    bool na, nb;
    std::string ia, fa, ib, fb;
    if (!split(a, na, ia, fa) || !split(b, nb, ib, fb)) return a.compare(b);
    if (na != nb) return na ? -1 : 1;
    int mag;
    if (ia.size() != ib.size()) mag = ia.size() < ib.size() ? -1 : 1;
    else if (int c = ia.compare(ib)) mag = c < 0 ? -1 : 1;
    else {
        size_t n = std::max(fa.size(), fb.size());
        fa.resize(n, '0');
        fb.resize(n, '0');
        int f = fa.compare(fb);
        mag = f < 0 ? -1 : f > 0 ? 1 : 0;
    }
    return na ? -mag : mag;
}

bool parse_datetime(const std::string& raw, DateTimeParts& p) {
    std::string s = trim(raw);
    size_t i = 0;
    auto digits = [&](int n, int& out) {
        if (i + n > s.size()) return false;
        out = 0;
        for (int k = 0; k < n; ++k) {
            if (!std::isdigit(static_cast<unsigned char>(s[i + k]))) return false;
            out = out * 10 + (s[i + k] - '0');
        }
        i += n;
        return true;
    };
    p = DateTimeParts{};
    if (s.size() >= 8 && s[2] != ':' && s.find(':') != 2) {
        if (!digits(4, p.year)) return false;
        if (i < s.size() && s[i] == '-') {
            ++i;
            if (!digits(2, p.month) || i >= s.size() || s[i] != '-') return false;
            ++i;
            if (!digits(2, p.day)) return false;
        } else {
            if (!digits(2, p.month) || !digits(2, p.day)) return false;
        }
        p.has_date = true;
        if (i == s.size()) return true;
        if (s[i] != ' ' && s[i] != 'T') return false;
        p.iso = s[i] == 'T';
        ++i;
    }
    if (!digits(2, p.hour) || i >= s.size() || s[i] != ':') return false;
    ++i;
    if (!digits(2, p.minute)) return false;
    p.has_time = true;
    if (i < s.size() && s[i] == ':') {
        ++i;
        if (!digits(2, p.second)) return false;
        p.has_seconds = true;
        if (i < s.size() && s[i] == '.') {
            ++i;
            int64_t ns = 0;
            int n = 0;
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
                if (n < 9) ns = ns * 10 + (s[i] - '0');
                ++n;
                ++i;
            }
            if (n == 0) return false;
            for (int k = n; k < 9; ++k) ns *= 10;
            p.nanos = ns;
        }
    }
    // The zone of ISO 8601 and of datetimeoffset literals; the conversions to the types
    // without an offset keep the local time.
    if (i < s.size() && s[i] == 'Z') {
        p.zone = 'Z';
        ++i;
    } else if (i < s.size()) {
        if (s[i] == ' ') ++i;
        int hours = 0, minutes = 0;
        if (i >= s.size() || (s[i] != '+' && s[i] != '-')) return false;
        p.zone = s[i++];
        if (!digits(2, hours) || i >= s.size() || s[i++] != ':' || !digits(2, minutes)) return false;
        if (minutes > 59 || hours * 60 + minutes > 14 * 60) return false;
    }
    return i == s.size();
}

std::string format_datetime(const DateTimeParts& in, const TsqlType& t) {
    DateTimeParts p = in;
    int digits = t.name == "datetime" ? 3 : t.name == "smalldatetime" || t.name == "date" ? 0 : t.precision;
    int64_t unit = 1;
    for (int k = digits; k < 9; ++k) unit *= 10;
    int64_t day = days_from_civil(p.year, p.month, p.day);
    int64_t ns = ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000000000LL + p.nanos;
    if (t.name == "datetime") {
        // 1/300 s ticks, so the milliseconds end in 0, 3 or 7.
        int64_t ticks = (ns * 3 + 5000000) / 10000000;
        ns = ticks * 10000000 / 3;
        ns = (ns + 500000) / 1000000 * 1000000;
    } else if (t.name == "smalldatetime") {
        // The time is taken in datetime's 1/300 s ticks first, so 29.998 s rounds down (to
        // .997) and 29.999 s up (to 30.000), then to the nearest minute.
        int64_t ticks = (ns * 3 + 5000000) / 10000000;
        ns = (ticks + 9000) / 18000 * 60000000000LL;
    } else if (t.name != "date") {
        ns = (ns + unit / 2) / unit * unit;
    }
    if (ns >= 86400000000000LL) {
        if (t.name == "time") ns -= 86400000000000LL;
        else {
            ns -= 86400000000000LL;
            ++day;
        }
    }
    civil_from_days(day, p.year, p.month, p.day);
    char date[16], time[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", p.year, p.month, p.day);
    int64_t secs = ns / 1000000000LL;
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                  static_cast<int>(secs % 60));
    std::string frac;
    if (digits > 0) {
        char f[16];
        std::snprintf(f, sizeof f, "%09lld", static_cast<long long>(ns % 1000000000LL));
        frac = "." + std::string(f, digits);
    }
    if (t.name == "date") return date;
    if (t.name == "time") return time + frac;
    return std::string(date) + " " + time + frac;
}

std::string current_datetime_text(bool utc, int digits) {
    auto now = std::chrono::system_clock::now();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(ns / 1000000000LL);
    struct tm tmv;
    if (utc) gmtime_r(&secs, &tmv);
    else localtime_r(&secs, &tmv);
    DateTimeParts p;
    p.year = tmv.tm_year + 1900;
    p.month = tmv.tm_mon + 1;
    p.day = tmv.tm_mday;
    p.hour = tmv.tm_hour;
    p.minute = tmv.tm_min;
    p.second = tmv.tm_sec;
    p.nanos = ns % 1000000000LL;
    return format_datetime(p, digits == 3 ? make_type("datetime") : make_type("datetime2", digits));
}

Value convert_value(const Value& v, const TsqlType& t, bool cast, TextSource source) {
    if (v.is_null()) return v;
    if (t.is_integer()) return to_integer(v, t);
    if (t.name == "float" || t.name == "real") {
        if (v.kind == Value::Int) return Value::real(static_cast<double>(v.i));
        if (v.kind == Value::Real) return t.name == "real" ? Value::real(static_cast<float>(v.r)) : v;
        char* end = nullptr;
        std::string s = trim(v.s);
        double d = std::strtod(s.c_str(), &end);
        if (s.empty() || *end) throw TsqlError(8114, "22018", "Error converting data type varchar to float.");
        return Value::real(t.name == "real" ? static_cast<float>(d) : d);
    }
    if (t.is_exact_numeric()) {
        int precision = t.name == "money" ? 19 : t.name == "smallmoney" ? 10 : t.precision;
        int scale = t.name == "money" || t.name == "smallmoney" ? 4 : t.scale;
        std::string text = to_decimal_text(v, t, precision, scale);
        // Money is a count of ten-thousandths in 64 (smallmoney 32) bits.
        if (t.name == "money" && (compare_decimal_text(text, "922337203685477.5807") > 0 ||
                                  compare_decimal_text(text, "-922337203685477.5808") < 0))
            throw overflow(t);
        if (t.name == "smallmoney" &&
            (compare_decimal_text(text, "214748.3647") > 0 || compare_decimal_text(text, "-214748.3648") < 0))
            throw overflow(t);
        return Value::text(std::move(text));
    }
    if (t.name == "uniqueidentifier") {
        unsigned char g[16];
        if (v.kind == Value::Blob && v.s.size() == 16)
            return Value::text(guid_from_bytes(reinterpret_cast<const unsigned char*>(v.s.data())));
        // The form every GUID text takes here: its bytes written back are the same text in capitals.
        if (v.kind == Value::Text && is_guid_text(v.s)) {
            std::string s = v.s;
            for (char& c : s)
                if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
            return Value::text(std::move(s));
        }
        std::string s = trim(text_of(v));
        if (cast && s.size() > 36 && s[0] != '{') s = s.substr(0, 36);
        if (!guid_to_bytes(s, g))
            throw TsqlError(8169, "22018", "Conversion failed when converting from a character string to uniqueidentifier.");
        return Value::text(guid_from_bytes(g));
    }
    if (t.is_datetime_family()) return to_datetime(v, t);
    if (t.is_text()) {
        std::string s = v.kind != Value::Blob ? text_of(v) : cast ? decode_text(v.s, t.is_unicode()) : v.s;
        bool utf16 = t.is_unicode();
        if (t.length >= 0) {
            size_t n = char_length(s, utf16);
            if (n > static_cast<size_t>(t.length)) {
                std::string trimmed = s;
                while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
                if (!cast && char_length(trimmed, utf16) > static_cast<size_t>(t.length))
                    throw TsqlError(8152, "22001", "String or binary data would be truncated.");
                s = cut_chars(s, t.length, utf16);
            } else if ((t.name == "char" || t.name == "nchar") && n < static_cast<size_t>(t.length)) {
                s.append(t.length - n, ' ');
            }
        }
        return Value::text(s);
    }
    if (t.is_binary()) {
        std::string b = cast ? cast_bytes(v, source) : to_binary_bytes(v);
        if (t.length >= 0) {
            size_t n = static_cast<size_t>(t.length);
            if (b.size() > n) {
                if (!cast) throw TsqlError(8152, "22001", "String or binary data would be truncated.");
                // Numbers keep their low-order bytes, other values their first bytes.
                b = v.kind == Value::Int ? b.substr(b.size() - n) : b.substr(0, n);
            } else if (b.size() < n && v.kind == Value::Int) {
                b.insert(0, n - b.size(), '\0');
            } else if (b.size() < n && t.name == "binary") {
                b.append(n - b.size(), '\0');
            }
        }
        return Value::blob(b);
    }
    return v;
}

}  // namespace sqlserver_standin

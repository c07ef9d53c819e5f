#include "odbc_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace {

void ensure_private_odbcsysini() {
    static bool done = false;
    if (done) return;
    char tmpl[] = "/tmp/standin-odbcini-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string ini = dir + "/odbcinst.ini";
    FILE* f = fopen(ini.c_str(), "w");
    fputs("[ODBC]\nTrace=No\n", f);
    fclose(f);
    f = fopen((dir + "/odbc.ini").c_str(), "w");
    fclose(f);
    setenv("ODBCSYSINI", dir.c_str(), 1);
    setenv("ODBCINSTINI", "odbcinst.ini", 1);
    done = true;
}

}  // namespace

::testing::AssertionResult runs(OdbcConnection& c, const std::string& sql) {
    SQLRETURN rc = c.exec(sql);
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << sql << "\n -> " << (c.last_diags().empty() ? "" : c.last_diags()[0].message);
}

std::string make_data_dir() {
    ensure_private_odbcsysini();
    char tmpl[] = "/tmp/standin-data-XXXXXX";
    return mkdtemp(tmpl);
}

std::u16string to_utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        uint32_t cp;
        int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
        cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
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

std::string from_utf16(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) out += static_cast<char>(c);
        else if (c < 0x800) out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        else if (c < 0x10000)
            out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        else
            out += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                    static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    return out;
}

std::vector<Diag> OdbcConnection::diags(SQLSMALLINT type, SQLHANDLE h) {
    std::vector<Diag> out;
    SQLINTEGER n = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagField(type, h, 0, SQL_DIAG_NUMBER, &n, SQL_IS_INTEGER, nullptr))) return out;
    for (SQLSMALLINT i = 1; i <= n; ++i) {
        Diag d;
        char buf[1024] = {};
        SQLSMALLINT len = 0;
        SQLGetDiagField(type, h, i, SQL_DIAG_MESSAGE_TEXT, buf, sizeof buf, &len);
        d.message = buf;
        SQLINTEGER native = 0;
        SQLGetDiagField(type, h, i, SQL_DIAG_NATIVE, &native, SQL_IS_INTEGER, nullptr);
        d.native = native;
        char state[8] = {};
        SQLGetDiagField(type, h, i, SQL_DIAG_SQLSTATE, state, sizeof state, &len);
        d.sqlstate = state;
        out.push_back(d);
    }
    return out;
}

OdbcConnection::OdbcConnection(const std::string& data_dir, const std::string& database, const std::string& extra) {
    ensure_private_odbcsysini();
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), SQL_IS_INTEGER);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    SQLSetConnectAttr(dbc_, 1227, reinterpret_cast<SQLPOINTER>(2), SQL_IS_INTEGER);
    std::string cs = std::string("Driver=") + STANDIN_DRIVER + ";Server=" + data_dir + ";Database=" + database + ";" + extra;
    SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        auto d = diags(SQL_HANDLE_DBC, dbc_);
        throw std::runtime_error("connect failed: " + (d.empty() ? std::string("?") : d[0].message));
    }
}

OdbcConnection::~OdbcConnection() {
    for (auto s : stmts_) SQLFreeHandle(SQL_HANDLE_STMT, s);
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

SQLHSTMT OdbcConnection::stmt() {
    SQLHSTMT s = nullptr;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &s);
    stmts_.push_back(s);
    return s;
}

SQLRETURN OdbcConnection::exec(const std::string& sql) {
    SQLHSTMT s = stmt();
    std::u16string w = to_utf16(sql);
    SQLRETURN rc = SQLExecDirectW(s, (SQLWCHAR*)w.c_str(), SQL_NTS);
    last_ = diags(SQL_HANDLE_STMT, s);
    SQLFreeStmt(s, SQL_CLOSE);  // its results are not read
    return rc;
}

std::optional<std::string> get_text(SQLHSTMT st, SQLUSMALLINT col, SQLLEN piece) {
    std::string bytes;
    std::vector<char> buf(piece);
    for (;;) {
        SQLLEN ind = 0;
        SQLRETURN rc = SQLGetData(st, col, SQL_C_WCHAR, buf.data(), piece, &ind);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) throw std::runtime_error("SQLGetData failed");
        if (ind == SQL_NULL_DATA) return std::nullopt;
        size_t got = std::min<size_t>(ind, (piece - 2) & ~1);
        bytes.append(buf.data(), got);
        if (rc == SQL_SUCCESS) break;
    }
    return from_utf16(std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2));
}

std::vector<std::vector<std::string>> OdbcConnection::query(const std::string& sql) {
    SQLHSTMT s = stmt();
    std::u16string w = to_utf16(sql);
    SQLRETURN rc = SQLExecDirectW(s, (SQLWCHAR*)w.c_str(), SQL_NTS);
    last_ = diags(SQL_HANDLE_STMT, s);
    if (!SQL_SUCCEEDED(rc)) {
        ADD_FAILURE() << sql << "\n -> " << (last_.empty() ? "" : std::to_string(last_[0].native) + " " + last_[0].message);
        return {};
    }
    return fetch_rows(s);
}

std::vector<std::vector<std::string>> fetch_rows(SQLHSTMT s) {
    SQLSMALLINT ncols = 0;
    SQLNumResultCols(s, &ncols);
    std::vector<std::vector<std::string>> rows;
    while (SQL_SUCCEEDED(SQLFetch(s))) {
        std::vector<std::string> row;
        for (SQLUSMALLINT c = 1; c <= ncols; ++c) row.push_back(get_text(s, c).value_or("NULL"));
        rows.push_back(row);
    }
    return rows;
}

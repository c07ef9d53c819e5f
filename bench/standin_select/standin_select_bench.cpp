// One SELECT of every row of a table through an ODBC driver, or straight from
// the SQLite file as the floor: prints the time to the first row, the time to
// the last, and how far the process's peak resident memory grew, as one JSON
// line. Creates the table (through the driver) when the data directory has
// none yet.
// Usage: standin_select_bench <driver.so | sqlite> <data directory> <rows>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char kSelect[] = "SELECT id, rid, name, qty, price, stamp FROM dbo.bench_rows";

long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

[[noreturn]] void fail(const char* what, SQLSMALLINT type = 0, SQLHANDLE h = nullptr) {
    char state[8] = {}, msg[512] = {};
    if (h) SQLGetDiagRec(type, h, 1, (SQLCHAR*)state, nullptr, (SQLCHAR*)msg, sizeof msg, nullptr);
    std::fprintf(stderr, "%s failed: %s %s\n", what, state, msg);
    std::exit(1);
}

void check(SQLRETURN rc, const char* what, SQLSMALLINT type, SQLHANDLE h) {
    if (!SQL_SUCCEEDED(rc)) fail(what, type, h);
}

// Fills the table in one transaction, a thousand rows a parameter array.
void create_rows(SQLHDBC dbc, long rows) {
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    check(SQLExecDirect(st, (SQLCHAR*)"CREATE TABLE dbo.bench_rows (id int PRIMARY KEY, rid uniqueidentifier NOT NULL,"
                                      " name nvarchar(50), qty bigint, price float, stamp datetime2(7))", SQL_NTS),
          "create", SQL_HANDLE_STMT, st);
    check(SQLExecDirect(st, (SQLCHAR*)"BEGIN TRANSACTION", SQL_NTS), "begin", SQL_HANDLE_STMT, st);
    check(SQLPrepare(st, (SQLCHAR*)"INSERT INTO dbo.bench_rows VALUES (?, ?, ?, ?, ?, ?)", SQL_NTS), "prepare",
          SQL_HANDLE_STMT, st);
    constexpr long kBlock = 1000;
    std::vector<SQLINTEGER> ids(kBlock);
    std::vector<char> rids(kBlock * 64), names(kBlock * 64), stamps(kBlock * 32);
    std::vector<SQLBIGINT> qty(kBlock);
    std::vector<double> price(kBlock);
    std::vector<SQLLEN> nts(kBlock, SQL_NTS);
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, ids.data(), 0, nullptr);
    SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_GUID, 36, 0, rids.data(), 64, nts.data());
    SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 50, 0, names.data(), 64, nts.data());
    SQLBindParameter(st, 4, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, qty.data(), 0, nullptr);
    SQLBindParameter(st, 5, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_FLOAT, 0, 0, price.data(), 0, nullptr);
    SQLBindParameter(st, 6, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 27, 0, stamps.data(), 32, nts.data());
    for (long at = 0; at < rows; at += kBlock) {
        const long n = std::min(kBlock, rows - at);
        for (long i = 0; i < n; ++i) {
            const long id = at + i + 1;
            ids[i] = static_cast<SQLINTEGER>(id);
            std::snprintf(&rids[i * 64], 64, "%08lX-1234-5678-9ABC-%012lX", id * 2654435761L % 0xFFFFFFFFL, id);
            std::snprintf(&names[i * 64], 64, "customer name %ld with some text", id);
            qty[i] = id * 7;
            price[i] = id * 0.25;
            std::snprintf(&stamps[i * 32], 32, "2024-%02ld-%02ld 10:%02ld:%02ld.1234567", id % 12 + 1, id % 28 + 1, id % 60,
                          (id / 60) % 60);
        }
        SQLSetStmtAttr(st, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(n), 0);
        check(SQLExecute(st), "insert", SQL_HANDLE_STMT, st);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    check(SQLExecDirect(st, (SQLCHAR*)"COMMIT TRANSACTION", SQL_NTS), "commit", SQL_HANDLE_STMT, st);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
}

void report(double first, double last, long rows, long rss_before) {
    std::printf("{\"first_row_ms\": %.3f, \"last_row_ms\": %.3f, \"rows\": %ld, \"peak_growth_mb\": %.1f}\n", first, last,
                rows, (status_kb("VmHWM:") - rss_before) / 1024.0);
}

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// Reads every column of every row as the store does: SQLGetData per column.
void select_through_driver(const std::string& driver, const std::string& dir, long rows) {
    SQLHENV env;
    SQLHDBC dbc;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::string cs = "Driver=" + driver + ";Server=" + dir + ";Database=bench";
    check(SQLDriverConnect(dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT), "connect",
          SQL_HANDLE_DBC, dbc);
    struct stat sb;
    if (stat((dir + "/bench.sqlite").c_str(), &sb) != 0 || sb.st_size < 65536) create_rows(dbc, rows);
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    const long rss_before = status_kb("VmRSS:");
    const auto t0 = Clock::now();
    check(SQLExecDirect(st, (SQLCHAR*)kSelect, SQL_NTS), "select", SQL_HANDLE_STMT, st);
    double first = 0;
    long got = 0;
    SQLINTEGER id;
    unsigned char rid[16];
    SQLWCHAR name[64];
    SQLBIGINT qty;
    double price;
    SQL_TIMESTAMP_STRUCT stamp;
    SQLLEN ind;
    while (SQLFetch(st) == SQL_SUCCESS) {
        if (got++ == 0) first = ms_since(t0);
        SQLGetData(st, 1, SQL_C_SLONG, &id, 0, &ind);
        SQLGetData(st, 2, SQL_C_BINARY, rid, sizeof rid, &ind);
        SQLGetData(st, 3, SQL_C_WCHAR, name, sizeof name, &ind);
        SQLGetData(st, 4, SQL_C_SBIGINT, &qty, 0, &ind);
        SQLGetData(st, 5, SQL_C_DOUBLE, &price, 0, &ind);
        SQLGetData(st, 6, SQL_C_TYPE_TIMESTAMP, &stamp, sizeof stamp, &ind);
    }
    report(first, ms_since(t0), got, rss_before);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

// The floor: the same rows straight from the SQLite file.
void select_from_sqlite(const std::string& dir) {
    sqlite3* db;
    if (sqlite3_open_v2((dir + "/bench.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) fail("open");
    sqlite3_stmt* st;
    if (sqlite3_prepare_v2(db, "SELECT id, rid, name, qty, price, stamp FROM \"dbo.bench_rows\"", -1, &st, nullptr) != SQLITE_OK)
        fail(sqlite3_errmsg(db));
    const long rss_before = status_kb("VmRSS:");
    const auto t0 = Clock::now();
    double first = 0;
    long got = 0, sink = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        if (got++ == 0) first = ms_since(t0);
        for (int c = 0; c < 6; ++c) sink += sqlite3_column_bytes(st, c);
    }
    report(first, ms_since(t0), sink > 0 ? got : 0, rss_before);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <driver.so | sqlite> <data directory> <rows>\n", argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "sqlite") == 0) select_from_sqlite(argv[2]);
    else select_through_driver(argv[1], argv[2], std::atol(argv[3]));
    return 0;
}

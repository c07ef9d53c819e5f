// The reference for an initial pull: fetch every live row of one synchronised
// table with its row id and version through the ODBC driver, insert the rows
// into a fresh SQLite file and zlib-compress that file. No generation logic,
// no HTTP. Prints the rows copied and the compressed size.
//
// usage: bare_pull CONNECTION_STRING DBFILE TABLE_ID OUT_FILE
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bare_pull: %s\n", what.c_str());
    std::exit(1);
}

void check_odbc(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h, const char* what) {
    if (SQL_SUCCEEDED(rc)) return;
    SQLCHAR state[6] = {}, text[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLGetDiagRec(type, h, 1, state, &native, text, sizeof text, &len);
    die(std::string(what) + ": " + reinterpret_cast<char*>(state) + " " + reinterpret_cast<char*>(text));
}

void check_sqlite(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) die(std::string(what) + ": " + sqlite3_errmsg(db));
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in the byte order of the GUID structure.
bool guid_bytes(const char* text, unsigned char out[16]) {
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    unsigned char raw[16];
    int n = 0;
    for (const char* p = text; *p && n < 16; ++p) {
        if (*p == '-') continue;
        unsigned v;
        if (std::sscanf(p, "%2x", &v) != 1) return false;
        raw[n++] = static_cast<unsigned char>(v);
        ++p;
    }
    if (n != 16) return false;
    for (int i = 0; i < 16; ++i) out[i] = raw[order[i]];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) die("usage: bare_pull CONNECTION_STRING DBFILE TABLE_ID OUT_FILE");
    const std::string dbfile = argv[2], table = argv[3], out = argv[4];

    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    check_odbc(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(argv[1]), SQL_NTS, nullptr, 0, nullptr,
                                SQL_DRIVER_NOPROMPT),
               SQL_HANDLE_DBC, dbc, "connect");
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    const std::string z = "tavrin.\"" + dbfile + "$z$" + table + "\"", rv = "tavrin.\"" + dbfile + "$z$rv$" + table + "\"";
    const std::string query = "SELECT rv.rid, rv.txid, z.* FROM " + z + " z INNER JOIN " + rv + " rv ON rv.z_rv = z.z_rv";
    check_odbc(SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(const_cast<char*>(query.c_str())), SQL_NTS),
               SQL_HANDLE_STMT, st, "query");

    SQLSMALLINT ncols = 0;
    SQLNumResultCols(st, &ncols);
    // Column 3 is z.z_rv: the version number stays behind like the product's.
    std::vector<SQLSMALLINT> types(ncols + 1);
    std::string ddl = "CREATE TABLE rows (z_rid BLOB, z_txid INTEGER", ins = "INSERT INTO rows VALUES (?, ?";
    for (SQLUSMALLINT c = 4; c <= ncols; ++c) {
        SQLCHAR name[256];
        SQLSMALLINT nlen, digits, nullable;
        SQLULEN size;
        SQLDescribeCol(st, c, name, sizeof name, &nlen, &types[c], &size, &digits, &nullable);
        ddl += ", \"" + std::string(reinterpret_cast<char*>(name)) + "\"";
        ins += ", ?";
    }
    ddl += ")";
    ins += ")";

    std::remove(out.c_str());
    sqlite3* db;
    check_sqlite(sqlite3_open(out.c_str(), &db), db, "open");
    check_sqlite(sqlite3_exec(db, "PRAGMA page_size = 4096; BEGIN", nullptr, nullptr, nullptr), db, "begin");
    check_sqlite(sqlite3_exec(db, ddl.c_str(), nullptr, nullptr, nullptr), db, "create");
    sqlite3_stmt* put;
    check_sqlite(sqlite3_prepare_v2(db, ins.c_str(), -1, &put, nullptr), db, "prepare");

    long long rows = 0;
    std::vector<char> buf(1 << 16);
    for (;;) {
        SQLRETURN rc = SQLFetch(st);
        if (rc == SQL_NO_DATA) break;
        check_odbc(rc, SQL_HANDLE_STMT, st, "fetch");
        SQLLEN ind;
        char rid_text[64];
        check_odbc(SQLGetData(st, 1, SQL_C_CHAR, rid_text, sizeof rid_text, &ind), SQL_HANDLE_STMT, st, "rid");
        unsigned char rid[16];
        if (ind == SQL_NULL_DATA || !guid_bytes(rid_text, rid)) die("bad row id");
        sqlite3_bind_blob(put, 1, rid, 16, SQLITE_TRANSIENT);
        SQLBIGINT txid;
        check_odbc(SQLGetData(st, 2, SQL_C_SBIGINT, &txid, 0, &ind), SQL_HANDLE_STMT, st, "txid");
        sqlite3_bind_int64(put, 2, txid);
        for (SQLUSMALLINT c = 4; c <= ncols; ++c) {
            int p = c - 1;
            switch (types[c]) {
                case SQL_INTEGER: case SQL_SMALLINT: case SQL_TINYINT: case SQL_BIGINT: case SQL_BIT: {
                    SQLBIGINT v;
                    check_odbc(SQLGetData(st, c, SQL_C_SBIGINT, &v, 0, &ind), SQL_HANDLE_STMT, st, "integer");
                    if (ind == SQL_NULL_DATA) sqlite3_bind_null(put, p); else sqlite3_bind_int64(put, p, v);
                    break;
                }
                case SQL_FLOAT: case SQL_DOUBLE: case SQL_REAL: {
                    double v;
                    check_odbc(SQLGetData(st, c, SQL_C_DOUBLE, &v, 0, &ind), SQL_HANDLE_STMT, st, "float");
                    if (ind == SQL_NULL_DATA) sqlite3_bind_null(put, p); else sqlite3_bind_double(put, p, v);
                    break;
                }
                default:
                    check_odbc(SQLGetData(st, c, SQL_C_CHAR, buf.data(), buf.size(), &ind), SQL_HANDLE_STMT, st, "text");
                    if (ind == SQL_NULL_DATA) sqlite3_bind_null(put, p);
                    else sqlite3_bind_text(put, p, buf.data(), -1, SQLITE_TRANSIENT);
            }
        }
        check_sqlite(sqlite3_step(put), db, "insert");
        sqlite3_reset(put);
        ++rows;
    }
    sqlite3_finalize(put);
    check_sqlite(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);

    std::ifstream in(out, std::ios::binary);
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    uLongf packed_len = compressBound(file.size());
    std::vector<unsigned char> packed(packed_len);
    if (compress2(packed.data(), &packed_len, file.data(), file.size(), Z_DEFAULT_COMPRESSION) != Z_OK) die("compress");
    std::printf("%lld rows, %lu bytes compressed\n", rows, static_cast<unsigned long>(packed_len));
    return 0;
}

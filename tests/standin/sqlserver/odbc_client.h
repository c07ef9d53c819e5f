// A small ODBC client for the tests: a private ODBCSYSINI, a fresh data
// directory, a connection through the real driver manager, and helpers that
// fail the test with the driver's diagnostics.
#pragma once

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>
#include <vector>

struct Diag {
    std::string sqlstate;
    int native = 0;
    std::string message;
};

class OdbcConnection {
public:
    // extra: more connection-string keys, e.g. "Fault=1205:1".
    OdbcConnection(const std::string& data_dir, const std::string& database, const std::string& extra = "");
    ~OdbcConnection();
    SQLHDBC dbc() const { return dbc_; }
    SQLHSTMT stmt();  // a new statement handle, freed with the connection
    SQLRETURN exec(const std::string& sql);  // on a new statement, its results discarded
    // Runs a statement with no parameters and returns every row of the first result as text (NULL as "NULL").
    std::vector<std::vector<std::string>> query(const std::string& sql);
    std::vector<Diag> last_diags() const { return last_; }
    static std::vector<Diag> diags(SQLSMALLINT type, SQLHANDLE h);

private:
    SQLHENV env_ = nullptr;
    SQLHDBC dbc_ = nullptr;
    std::vector<SQLHSTMT> stmts_;
    std::vector<Diag> last_;
};

// Closes a statement's cursor when it goes out of scope: a connection carries
// one statement's results at a time, as SQL Server's drivers without MARS do.
struct CursorCloser {
    SQLHSTMT st;
    ~CursorCloser() { SQLFreeStmt(st, SQL_CLOSE); }
};

// Whether `sql` ran (SQL_NO_DATA counts), with the driver's first diagnostic when it did not:
// ASSERT_TRUE(runs(c, sql)).
::testing::AssertionResult runs(OdbcConnection& c, const std::string& sql);

std::string make_data_dir();
std::u16string to_utf16(const std::string& s);
std::string from_utf16(const std::u16string& s);
// Reads a column as UTF-8 through SQL_C_WCHAR in pieces of `piece` bytes.
std::optional<std::string> get_text(SQLHSTMT st, SQLUSMALLINT col, SQLLEN piece = 2048);
// Every row of the statement's current result as text (NULL as "NULL").
std::vector<std::vector<std::string>> fetch_rows(SQLHSTMT st);

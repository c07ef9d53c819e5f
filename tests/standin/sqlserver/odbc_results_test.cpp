// Results read as they are fetched: the last query of a batch streams its
// rows, and what the client sees is what it saw when every row was read at
// execution: the rows of that moment, the row count, several result sets.
// As with SQL Server's drivers without MARS, a connection carries one
// statement's results at a time: another statement runs only once they are
// read to their end or closed. Errors the query meets in a later row come
// with that row's fetch, as from SQL Server.
#include <gtest/gtest.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "odbc_client.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

class Results : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection c{dir, "app"};

    void SetUp() override {
        ASSERT_TRUE(SQL_SUCCEEDED(c.exec("CREATE TABLE dbo.n (id int PRIMARY KEY, v nvarchar(10))")));
        std::vector<SQLINTEGER> ids(kRows);
        std::vector<char> texts(kRows * 8);
        std::vector<SQLLEN> lengths(kRows, SQL_NTS);
        for (int i = 0; i < kRows; ++i) {
            ids[i] = i + 1;
            std::snprintf(&texts[i * 8], 8, "%d", i + 1);
        }
        ASSERT_TRUE(SQL_SUCCEEDED(c.exec("BEGIN TRANSACTION")));
        SQLHSTMT st = c.stmt();
        SQLPrepare(st, (SQLCHAR*)"INSERT INTO dbo.n VALUES (?, ?)", SQL_NTS);
        SQLSetStmtAttr(st, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
        SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, ids.data(), 0, nullptr);
        SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 10, 0, texts.data(), 8, lengths.data());
        ASSERT_EQ(SQLExecute(st), SQL_SUCCESS);
        ASSERT_TRUE(SQL_SUCCEEDED(c.exec("COMMIT TRANSACTION")));
    }
    static constexpr long kRows = 3000;
    static SQLINTEGER int_at(SQLHSTMT st, SQLUSMALLINT col) {
        SQLINTEGER v = -1;
        SQLLEN ind = 0;
        EXPECT_EQ(SQLGetData(st, col, SQL_C_SLONG, &v, 0, &ind), SQL_SUCCESS);
        return v;
    }
};

// What the first statement leaves unread, and what the second one tries.
struct Holder {
    const char* what;
    const char* sql;
    int fetches;      // rows fetched before the second statement
    int more_results;  // SQLMoreResults calls after fetching the first result to its end
};
const Holder kHolders[] = {
    {"rows still to come", "SELECT id FROM dbo.n ORDER BY id", 10, 0},
    {"the one row read, its end not", "SELECT MAX(id), COUNT(*) FROM dbo.n", 1, 0},
    {"an empty result not fetched", "SELECT id FROM dbo.n WHERE id < 0", 0, 0},
    {"a second result after the first", "SELECT COUNT(*) FROM dbo.n; SELECT id FROM dbo.n WHERE id < 0", -1, 0},
    {"a third result after two read", "DECLARE @a int = 1; SELECT @a; SELECT @a + 1; SELECT @a + 2", -1, 1},
};

using Attempt = SQLRETURN (*)(SQLHSTMT);
const std::pair<const char*, Attempt> kAttempts[] = {
    {"SQLExecDirect", [](SQLHSTMT s) { return SQLExecDirect(s, (SQLCHAR*)"UPDATE dbo.n SET v = N'x'", SQL_NTS); }},
    {"SQLExecDirect of a bad text", [](SQLHSTMT s) { return SQLExecDirect(s, (SQLCHAR*)"SELEC 1", SQL_NTS); }},
    {"SQLPrepare and SQLExecute",
     [](SQLHSTMT s) {
         EXPECT_EQ(SQLPrepare(s, (SQLCHAR*)"SELECT COUNT(*) FROM dbo.n", SQL_NTS), SQL_SUCCESS);
         return SQLExecute(s);
     }},
    {"SQLTables", [](SQLHSTMT s) { return SQLTables(s, nullptr, 0, nullptr, 0, (SQLCHAR*)"n", SQL_NTS, nullptr, 0); }},
    {"SQLColumns", [](SQLHSTMT s) { return SQLColumns(s, nullptr, 0, nullptr, 0, (SQLCHAR*)"n", SQL_NTS, nullptr, 0); }},
    {"SQLGetTypeInfo", [](SQLHSTMT s) { return SQLGetTypeInfo(s, SQL_ALL_TYPES); }},
};

TEST_F(Results, AnotherStatementIsRefusedWhileResultsAreUnread) {
    for (const Holder& h : kHolders) {
        SCOPED_TRACE(h.what);
        SQLHSTMT q = c.stmt();
        ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)h.sql, SQL_NTS), SQL_SUCCESS);
        for (int i = 0; i < h.fetches; ++i) ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
        if (h.fetches < 0) {
            while (SQLFetch(q) == SQL_SUCCESS) {
            }
        }
        for (int i = 0; i < h.more_results; ++i) {
            ASSERT_EQ(SQLMoreResults(q), SQL_SUCCESS);
            while (SQLFetch(q) == SQL_SUCCESS) {
            }
        }
        for (const auto& [name, attempt] : kAttempts) {
            SCOPED_TRACE(name);
            SQLHSTMT other = c.stmt();
            EXPECT_EQ(attempt(other), SQL_ERROR);
            auto d = OdbcConnection::diags(SQL_HANDLE_STMT, other);
            ASSERT_EQ(d.size(), 1u);
            EXPECT_EQ(d[0].sqlstate, "HY000");
            EXPECT_EQ(d[0].native, 0);
            EXPECT_EQ(d[0].message, "Connection is busy with results for another hstmt");
        }
        // The statement that holds the connection goes on, and runs again.
        ASSERT_EQ(SQLCloseCursor(q), SQL_SUCCESS);
        ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)h.sql, SQL_NTS), SQL_SUCCESS);
        ASSERT_EQ(SQLFreeStmt(q, SQL_CLOSE), SQL_SUCCESS);
    }
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.n WHERE v = N'x'"), (Rows{{"0"}}));
}

// A statement waiting for its data-at-execution values holds the connection
// too, until it has run or is cancelled.
TEST_F(Results, AStatementWaitingForItsDataHoldsTheConnection) {
    auto refused = [this] {
        SQLHSTMT other = c.stmt();
        if (SQLExecDirect(other, (SQLCHAR*)"SELECT 1", SQL_NTS) != SQL_ERROR) return false;
        auto d = OdbcConnection::diags(SQL_HANDLE_STMT, other);
        return d.size() == 1 && d[0].sqlstate == "HY000" && d[0].message == "Connection is busy with results for another hstmt";
    };
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "run");
        SQLHSTMT q = c.stmt();
        ASSERT_EQ(SQLPrepare(q, (SQLCHAR*)"UPDATE dbo.n SET v = ? WHERE id = 1", SQL_NTS), SQL_SUCCESS);
        char token[] = "t";
        SQLLEN dae = SQL_DATA_AT_EXEC;
        SQLBindParameter(q, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 10, 0, token, 0, &dae);
        ASSERT_EQ(SQLExecute(q), SQL_NEED_DATA);
        EXPECT_TRUE(refused());
        SQLPOINTER asked = nullptr;
        ASSERT_EQ(SQLParamData(q, &asked), SQL_NEED_DATA);
        ASSERT_EQ(SQLPutData(q, (SQLPOINTER) "put", 3), SQL_SUCCESS);
        EXPECT_TRUE(refused());
        if (cancel) ASSERT_EQ(SQLCancel(q), SQL_SUCCESS);
        else ASSERT_EQ(SQLParamData(q, &asked), SQL_SUCCESS);
        EXPECT_EQ(c.query("SELECT v FROM dbo.n WHERE id = 1"), (Rows{{cancel ? "1" : "put"}}));
        ASSERT_TRUE(SQL_SUCCEEDED(c.exec("UPDATE dbo.n SET v = N'1' WHERE id = 1")));
    }
}

TEST_F(Results, TheConnectionIsFreeOnceTheResultsAreReadOrClosed) {
    using Release = void (*)(SQLHSTMT, OdbcConnection&);
    const std::pair<const char*, Release> releases[] = {
        {"SQLCloseCursor", [](SQLHSTMT q, OdbcConnection&) { EXPECT_EQ(SQLCloseCursor(q), SQL_SUCCESS); }},
        {"SQLFreeStmt(SQL_CLOSE)", [](SQLHSTMT q, OdbcConnection&) { EXPECT_EQ(SQLFreeStmt(q, SQL_CLOSE), SQL_SUCCESS); }},
        {"SQLFreeHandle", [](SQLHSTMT q, OdbcConnection&) { EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, q), SQL_SUCCESS); }},
        {"SQLMoreResults to the end",
         [](SQLHSTMT q, OdbcConnection&) {
             EXPECT_EQ(SQLMoreResults(q), SQL_SUCCESS);
             EXPECT_EQ(SQLMoreResults(q), SQL_NO_DATA);
         }},
        {"fetching to the end of the last result",
         [](SQLHSTMT q, OdbcConnection&) {
             while (SQLFetch(q) == SQL_SUCCESS) {
             }
             EXPECT_EQ(SQLMoreResults(q), SQL_SUCCESS);
             EXPECT_EQ(SQLFetch(q), SQL_SUCCESS);
             EXPECT_EQ(SQLFetch(q), SQL_NO_DATA);
         }},
        {"the end of the transaction (SQLEndTran)",
         [](SQLHSTMT, OdbcConnection& c) { EXPECT_EQ(SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_COMMIT), SQL_SUCCESS); }},
    };
    for (const auto& [name, release] : releases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(runs(c, "BEGIN TRANSACTION"));
        SQLHSTMT q = nullptr;
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, c.dbc(), &q), SQL_SUCCESS);
        ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)"SELECT id FROM dbo.n WHERE id <= 2; SELECT COUNT(*) FROM dbo.n", SQL_NTS),
                  SQL_SUCCESS);
        ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
        release(q, c);
        EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.n WHERE id <= 2"), (Rows{{"2"}}));
        EXPECT_EQ(SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_COMMIT), SQL_SUCCESS);
        if (std::string(name) != "SQLFreeHandle") SQLFreeHandle(SQL_HANDLE_STMT, q);
    }
}

TEST_F(Results, EachParameterSetRunsAfterTheRowsOfTheOneBefore) {
    SQLHSTMT q = c.stmt();
    SQLINTEGER ids[2] = {1, 2};
    ASSERT_EQ(SQLPrepare(q, (SQLCHAR*)"UPDATE dbo.n SET v = N'seen' WHERE id = ?; SELECT v FROM dbo.n WHERE id <= 2 ORDER BY id",
                         SQL_NTS),
              SQL_SUCCESS);
    SQLSetStmtAttr(q, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(2), 0);
    SQLBindParameter(q, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, ids, 0, nullptr);
    ASSERT_EQ(SQLExecute(q), SQL_SUCCESS);
    EXPECT_EQ(fetch_rows(q), (Rows{{"seen"}, {"2"}}));
    ASSERT_EQ(SQLMoreResults(q), SQL_SUCCESS);
    EXPECT_EQ(fetch_rows(q), (Rows{{"seen"}, {"seen"}}));
    EXPECT_EQ(SQLMoreResults(q), SQL_NO_DATA);
}

TEST_F(Results, RowCountCountsRowsNotFetched) {
    using Close = void (*)(SQLHSTMT);
    const std::pair<const char*, Close> closers[] = {
        {"SQLCloseCursor", [](SQLHSTMT q) { SQLCloseCursor(q); }},
        {"SQLFreeStmt", [](SQLHSTMT q) { SQLFreeStmt(q, SQL_CLOSE); }},
        {"SQLMoreResults", [](SQLHSTMT q) { EXPECT_EQ(SQLMoreResults(q), SQL_NO_DATA); }},
    };
    for (const auto& [name, close] : closers) {
        SCOPED_TRACE(name);
        SQLHSTMT q = c.stmt();
        ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)"SELECT id FROM dbo.n WHERE id > 500", SQL_NTS), SQL_SUCCESS);
        ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
        close(q);
        EXPECT_EQ(c.query("SELECT @@ROWCOUNT"), (Rows{{"2500"}}));
    }
    SQLHSTMT freed = nullptr;
    SQLAllocHandle(SQL_HANDLE_STMT, c.dbc(), &freed);
    ASSERT_EQ(SQLExecDirect(freed, (SQLCHAR*)"SELECT id FROM dbo.n WHERE id > 2990", SQL_NTS), SQL_SUCCESS);
    SQLFreeHandle(SQL_HANDLE_STMT, freed);
    EXPECT_EQ(c.query("SELECT @@ROWCOUNT"), (Rows{{"10"}}));
}

TEST_F(Results, SeveralResultsAndTransactions) {
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)"SELECT COUNT(*) FROM dbo.n; SELECT id FROM dbo.n WHERE id <= 1000 ORDER BY id DESC",
                            SQL_NTS),
              SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
    EXPECT_EQ(int_at(q, 1), 3000);
    ASSERT_EQ(SQLMoreResults(q), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
    EXPECT_EQ(int_at(q, 1), 1000);
    EXPECT_EQ(SQLMoreResults(q), SQL_NO_DATA);

    // Inside a transaction: its rows are those of the transaction, and it ends once they are read.
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("BEGIN TRANSACTION")));
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("DELETE FROM dbo.n WHERE id > 100")));
    SQLHSTMT t = c.stmt();
    ASSERT_EQ(SQLExecDirect(t, (SQLCHAR*)"SELECT id FROM dbo.n", SQL_NTS), SQL_SUCCESS);
    EXPECT_EQ(c.exec("ROLLBACK TRANSACTION"), SQL_ERROR);
    int rows = 0;
    while (SQLFetch(t) == SQL_SUCCESS) ++rows;
    EXPECT_EQ(rows, 100);
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("ROLLBACK TRANSACTION")));
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.n"), (Rows{{"3000"}}));
}

TEST_F(Results, AnErrorInALaterRowComesWithItsFetch) {
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("UPDATE dbo.n SET v = N'x' WHERE id = 3")));
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)"SELECT CAST(v AS int) FROM dbo.n ORDER BY id", SQL_NTS), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
    EXPECT_EQ(int_at(q, 1), 1);
    ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
    EXPECT_EQ(SQLFetch(q), SQL_ERROR);
    auto d = OdbcConnection::diags(SQL_HANDLE_STMT, q);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d[0].native, 245);
    EXPECT_EQ(SQLFetch(q), SQL_NO_DATA);
    // An error before the first row fails the execution itself.
    SQLHSTMT first = c.stmt();
    EXPECT_EQ(SQLExecDirect(first, (SQLCHAR*)"SELECT CAST(v AS int) FROM dbo.n WHERE id >= 3 ORDER BY id", SQL_NTS), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, first).at(0).native, 245);
}

}  // namespace

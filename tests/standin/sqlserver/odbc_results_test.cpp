// Results read as they are fetched: the last query of a batch streams its
// rows, and what the client sees is what it saw when every row was read at
// execution: the rows of that moment, the row count, later statements on the
// same connection, several result sets. Errors the query meets in a later
// row come with that row's fetch, as from SQL Server.
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

TEST_F(Results, LaterStatementsSeeAndLeaveTheRowsOfTheExecution) {
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)"SELECT id, v FROM dbo.n ORDER BY id", SQL_NTS), SQL_SUCCESS);
    for (int i = 1; i <= 10; ++i) {
        ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
        EXPECT_EQ(int_at(q, 1), i);
    }
    // Another statement on the connection while rows are still to come.
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("UPDATE dbo.n SET v = N'changed'")));
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("DELETE FROM dbo.n WHERE id > 2000")));
    int rows = 10;
    while (SQLFetch(q) == SQL_SUCCESS) {
        ++rows;
        ASSERT_EQ(get_text(q, 2).value(), std::to_string(rows));
    }
    EXPECT_EQ(rows, 3000);
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.n WHERE v = N'changed'"), (Rows{{"2000"}}));
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
    // Left open under the next statement.
    SQLHSTMT open = c.stmt();
    ASSERT_EQ(SQLExecDirect(open, (SQLCHAR*)"SELECT id FROM dbo.n WHERE id <= 7", SQL_NTS), SQL_SUCCESS);
    EXPECT_EQ(c.query("SELECT @@ROWCOUNT"), (Rows{{"7"}}));
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

    // A transaction ends while rows are still to come: they are those of the execution.
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("BEGIN TRANSACTION")));
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("DELETE FROM dbo.n WHERE id > 100")));
    SQLHSTMT t = c.stmt();
    ASSERT_EQ(SQLExecDirect(t, (SQLCHAR*)"SELECT id FROM dbo.n", SQL_NTS), SQL_SUCCESS);
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("ROLLBACK TRANSACTION")));
    int rows = 0;
    while (SQLFetch(t) == SQL_SUCCESS) ++rows;
    EXPECT_EQ(rows, 100);
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

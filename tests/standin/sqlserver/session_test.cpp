// What a connection keeps between executions, as SQL Server and its drivers keep it: the
// scope of a prepared or parameterised execution, @@ROWCOUNT across batches, and the targets
// OUTPUT INTO accepts.
#include <gtest/gtest.h>

#include "odbc_client.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

class Session : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection c{dir, "app"};

    void ok(const std::string& sql) { ASSERT_TRUE(runs(c, sql)); }
    int native_error(const std::string& sql) {
        EXPECT_EQ(c.exec(sql), SQL_ERROR) << sql;
        return c.last_diags().empty() ? 0 : c.last_diags()[0].native;
    }
    // Runs `sql` the way a store statement runs: prepared (SQLPrepare, SQLExecute, as often as
    // asked) or directly, with one integer parameter when `param` is given.
    SQLRETURN run(const std::string& sql, bool prepared, const SQLINTEGER* param = nullptr, int executions = 1) {
        SQLHSTMT st = c.stmt();
        if (param) SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, (SQLPOINTER)param, 0, nullptr);
        SQLRETURN rc = SQL_SUCCESS;
        if (!prepared) {
            rc = SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS);
            SQLCloseCursor(st);
            return rc;
        }
        if (SQLPrepare(st, (SQLCHAR*)sql.c_str(), SQL_NTS) != SQL_SUCCESS) return SQL_ERROR;
        for (int i = 0; i < executions && (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA); ++i) {
            rc = SQLExecute(st);
            SQLCloseCursor(st);
        }
        return rc;
    }
};

TEST_F(Session, TempTablesOfAPreparedOrParameterisedExecutionEndWithIt) {
    SQLINTEGER one = 1;
    struct Case {
        const char* how;
        bool prepared;
        const SQLINTEGER* param;
        bool lives;
    } cases[] = {
        {"direct", false, nullptr, true},
        {"direct with a parameter", false, &one, false},
        {"prepared", true, nullptr, false},
        {"prepared with a parameter", true, &one, false},
    };
    int n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.how);
        std::string name = "#t" + std::to_string(++n);
        std::string batch = "SET NOCOUNT ON;\nCREATE TABLE " + name + " (a int PRIMARY KEY);\nINSERT INTO " + name +
                            " (a) VALUES (" + (k.param ? "?" : "1") + ");\nSELECT COUNT(*) FROM " + name + ";";
        ASSERT_EQ(run(batch, k.prepared, k.param), SQL_SUCCESS);
        if (k.lives) {
            EXPECT_EQ(c.query("SELECT a FROM " + name), (Rows{{"1"}}));
        } else {
            EXPECT_EQ(native_error("SELECT a FROM " + name), 208);
            EXPECT_EQ(c.last_diags()[0].message, "Invalid object name '" + name + "'.");
        }
    }
    // Each execution of one prepared statement has its scope: the second makes the table anew.
    EXPECT_EQ(run("CREATE TABLE #again (a int); INSERT INTO #again VALUES (1);", true, nullptr, 2), SQL_SUCCESS);
    // A failing execution loses its tables as well.
    EXPECT_EQ(run("CREATE TABLE #failed (a int); INSERT INTO #failed VALUES (1); SELECT * FROM no_such_table;", true),
              SQL_ERROR);
    EXPECT_EQ(native_error("SELECT a FROM #failed"), 208);
    // The rows a prepared execution selects from its own table are handed out in full, though
    // the table is gone once the execution ends.
    SQLHSTMT st = c.stmt();
    const char* own = "CREATE TABLE #own (a int); INSERT INTO #own VALUES (1), (2), (3); SELECT a FROM #own ORDER BY a;";
    ASSERT_EQ(SQLPrepare(st, (SQLCHAR*)own, SQL_NTS), SQL_SUCCESS);
    ASSERT_EQ(SQLExecute(st), SQL_SUCCESS);
    std::vector<std::string> fetched;
    while (SQL_SUCCEEDED(SQLFetch(st))) fetched.push_back(get_text(st, 1).value_or("NULL"));
    EXPECT_EQ(fetched, (std::vector<std::string>{"1", "2", "3"}));
    SQLCloseCursor(st);
    EXPECT_EQ(native_error("SELECT a FROM #own"), 208);
    EXPECT_EQ(SQLExecute(st), SQL_SUCCESS);  // the table went for good: it is made anew
    SQLCloseCursor(st);
    // A table of the connection serves prepared executions and outlives them.
    ok("CREATE TABLE #conn (a int)");
    SQLINTEGER seven = 7;
    EXPECT_EQ(run("INSERT INTO #conn (a) VALUES (?)", true, &seven, 2), SQL_SUCCESS);
    EXPECT_EQ(c.query("SELECT COUNT(*), MIN(a) FROM #conn"), (Rows{{"2", "7"}}));
}

TEST_F(Session, RowCountOfAPreparedExecutionIsNotSeenByTheNextBatch) {
    ok("SET NOCOUNT ON");
    ok("CREATE TABLE n (a int)");
    ok("INSERT INTO n VALUES (1), (2), (3)");
    EXPECT_EQ(run("UPDATE n SET a = a + 1", false), SQL_SUCCESS);
    EXPECT_EQ(c.query("SELECT @@ROWCOUNT"), (Rows{{"3"}}));
    EXPECT_EQ(run("UPDATE n SET a = a + 1", true), SQL_SUCCESS);
    EXPECT_EQ(c.query("SELECT @@ROWCOUNT"), (Rows{{"0"}}));
    SQLINTEGER above = 2;
    EXPECT_EQ(run("UPDATE n SET a = a + 1 WHERE a > ?", false, &above), SQL_SUCCESS);
    EXPECT_EQ(c.query("SELECT @@ROWCOUNT"), (Rows{{"0"}}));
    // Inside the execution the count is there.
    SQLHSTMT st = c.stmt();
    ASSERT_EQ(SQLPrepare(st, (SQLCHAR*)"UPDATE n SET a = a + 1 WHERE a > 4; SELECT @@ROWCOUNT;", SQL_NTS), SQL_SUCCESS);
    ASSERT_EQ(SQLExecute(st), SQL_SUCCESS);
    SQLINTEGER count = -1;
    ASSERT_EQ(SQLFetch(st), SQL_SUCCESS);
    SQLGetData(st, 1, SQL_C_SLONG, &count, 4, nullptr);
    EXPECT_EQ(count, 2);
}

TEST_F(Session, OutputIntoATableWithEnabledChecksOrForeignKeysIsRefused) {
    ok("CREATE TABLE src (id int PRIMARY KEY, v int)");
    ok("INSERT INTO src VALUES (1, 5), (2, 6)");
    ok("CREATE TABLE #seen (id int, v int CHECK (v > 100))");
    const std::string update = "UPDATE src SET v = v + 1 OUTPUT DELETED.id, DELETED.v INTO #seen (id, v)";
    EXPECT_EQ(native_error(update), 333);
    EXPECT_NE(c.last_diags()[0].message.find("The target table '#seen' of the OUTPUT INTO clause cannot have any enabled "
                                             "check constraints"),
              std::string::npos)
        << c.last_diags()[0].message;
    EXPECT_EQ(c.query("SELECT v FROM src ORDER BY id"), (Rows{{"5"}, {"6"}}));
    ok("ALTER TABLE #seen NOCHECK CONSTRAINT ALL");
    ok(update);
    EXPECT_EQ(c.query("SELECT id, v FROM #seen ORDER BY id"), (Rows{{"1", "5"}, {"2", "6"}}));
    ok("DELETE FROM #seen");
    ok("ALTER TABLE #seen CHECK CONSTRAINT ALL");
    EXPECT_EQ(native_error(update), 333);
    // Either side of a foreign key.
    ok("CREATE TABLE parent (id int PRIMARY KEY)");
    ok("CREATE TABLE child (id int PRIMARY KEY, pid int REFERENCES parent (id))");
    EXPECT_EQ(native_error("UPDATE src SET v = v + 1 OUTPUT DELETED.id INTO parent (id)"), 332);
    EXPECT_EQ(native_error("UPDATE src SET v = v + 1 OUTPUT DELETED.id, NULL INTO child (id, pid)"), 332);
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM parent"), (Rows{{"0"}}));
}

}  // namespace

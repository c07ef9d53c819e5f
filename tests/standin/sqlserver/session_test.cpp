// What a connection keeps between executions, as SQL Server and its drivers keep it: the
// scope of a prepared or parameterised execution, @@ROWCOUNT across batches, and the targets
// OUTPUT INTO accepts.
#include <algorithm>

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
            note_error(rc, st);
            SQLCloseCursor(st);
            return rc;
        }
        if (SQLPrepare(st, (SQLCHAR*)sql.c_str(), SQL_NTS) != SQL_SUCCESS) return SQL_ERROR;
        for (int i = 0; i < executions && (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA); ++i) {
            rc = SQLExecute(st);
            note_error(rc, st);
            SQLCloseCursor(st);
        }
        return rc;
    }
    int run_native = 0;  // the native error of the last failing run()
    void note_error(SQLRETURN rc, SQLHSTMT st) {
        if (rc != SQL_ERROR) return;
        auto d = OdbcConnection::diags(SQL_HANDLE_STMT, st);
        run_native = d.empty() ? -1 : d[0].native;
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

TEST_F(Session, APreparedOrParameterisedExecutionLeavesTheTransactionCountAsItFoundIt) {
    SQLINTEGER one = 1;
    ok("CREATE TABLE t (a int)");
    struct Case {
        const char* how;
        const char* batch;
        bool prepared;
        const SQLINTEGER* param;
        bool open_before;
        SQLRETURN rc;
        const char* trancount_after;
    } cases[] = {
        {"direct begin", "BEGIN TRANSACTION; INSERT INTO t VALUES (1);", false, nullptr, false, SQL_SUCCESS, "1"},
        {"begin with a parameter", "BEGIN TRANSACTION; INSERT INTO t VALUES (?);", false, &one, false, SQL_ERROR, "1"},
        {"prepared begin", "BEGIN TRANSACTION; INSERT INTO t VALUES (1);", true, nullptr, false, SQL_ERROR, "1"},
        {"prepared commit", "COMMIT TRANSACTION;", true, nullptr, true, SQL_ERROR, "0"},
        {"prepared begin and commit", "BEGIN TRANSACTION; INSERT INTO t VALUES (?); COMMIT TRANSACTION;", true, &one,
         false, SQL_SUCCESS, "0"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.how);
        if (k.open_before) ok("BEGIN TRANSACTION");
        run_native = 0;
        EXPECT_EQ(run(k.batch, k.prepared, k.param), k.rc);
        EXPECT_EQ(run_native, k.rc == SQL_ERROR ? 266 : 0);
        // The statements ran and the transaction stays as they left it.
        EXPECT_EQ(c.query("SELECT @@TRANCOUNT"), (Rows{{k.trancount_after}}));
        ok("IF @@TRANCOUNT > 0 COMMIT TRANSACTION");
    }
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM t"), (Rows{{"4"}}));
}

TEST_F(Session, ASetOptionOfAPreparedOrParameterisedExecutionEndsWithIt) {
    SQLINTEGER one = 1;
    ok("CREATE TABLE ident (id int IDENTITY(1,1) PRIMARY KEY, a int)");
    struct Case {
        const char* how;
        bool prepared;
        const SQLINTEGER* param;
        bool lasts;
    } cases[] = {
        {"direct", false, nullptr, true},
        {"direct with a parameter", false, &one, false},
        {"prepared", true, nullptr, false},
    };
    int id = 100;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.how);
        // Inside the execution the option holds for the statements after it.
        std::string batch = "SET IDENTITY_INSERT ident ON; INSERT INTO ident (id, a) VALUES (" + std::to_string(++id) +
                            ", " + (k.param ? "?" : "1") + ");";
        ASSERT_EQ(run(batch, k.prepared, k.param), SQL_SUCCESS);
        std::string after = "INSERT INTO ident (id, a) VALUES (" + std::to_string(++id) + ", 2)";
        if (k.lasts) {
            ok(after);
            ok("SET IDENTITY_INSERT ident OFF");
        } else {
            EXPECT_EQ(native_error(after), 544);
        }
    }
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM ident"), (Rows{{"4"}}));
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

// MERGE writes each clause's rows at once: every OUTPUT row still pairs a source row with the
// values of the very target row it deleted, updated or inserted (the identity it was given
// included), and a statement that fails at its end leaves neither rows nor OUTPUT behind.
TEST_F(Session, MergeOutputPairsEverySourceRowWithItsOwnTargetRow) {
    ok("SET NOCOUNT ON");
    ok("CREATE TABLE items (id int IDENTITY(1,1) PRIMARY KEY, code nvarchar(10) NOT NULL UNIQUE, qty int NULL)");
    ok("INSERT INTO items (code, qty) VALUES (N'a', 1), (N'b', 2), (N'c', 3), (N'd', 4)");
    ok("CREATE TABLE #src (code nvarchar(10), qty int, tag int)");
    ok("INSERT INTO #src VALUES (N'd', 40, 1), (N'x', 50, 2), (N'b', NULL, 3), (N'a', 10, 4), (N'y', 60, 5), "
       "(N'c', 0, 6)");
    ok("CREATE TABLE #out (tag int, old_id int, old_qty int, new_id int, new_code nvarchar(10), new_qty int)");
    const std::string merge =
        "MERGE items AS t USING #src AS s ON t.code = s.code\n"
        "  WHEN MATCHED AND s.qty IS NULL THEN DELETE\n"
        "  WHEN MATCHED THEN UPDATE SET qty = s.qty\n"
        "  WHEN NOT MATCHED THEN INSERT (code, qty) VALUES (s.code, s.qty)\n"
        "  OUTPUT s.tag, DELETED.id, DELETED.qty, INSERTED.id, INSERTED.code, INSERTED.qty";
    ok(merge + " INTO #out;");
    const Rows after = c.query("SELECT id, code, qty FROM items ORDER BY code");
    ASSERT_EQ(after.size(), 5u);
    const std::string x_id = after[3][0], y_id = after[4][0];
    EXPECT_EQ(after, (Rows{{"1", "a", "10"}, {"3", "c", "0"}, {"4", "d", "40"}, {x_id, "x", "50"}, {y_id, "y", "60"}}));
    EXPECT_TRUE((x_id == "5" && y_id == "6") || (x_id == "6" && y_id == "5")) << x_id << " " << y_id;
    const Rows expected{{"1", "4", "4", "4", "d", "40"},        {"2", "NULL", "NULL", x_id, "x", "50"},
                        {"3", "2", "2", "NULL", "NULL", "NULL"}, {"4", "1", "1", "1", "a", "10"},
                        {"5", "NULL", "NULL", y_id, "y", "60"},  {"6", "3", "3", "3", "c", "0"}};
    EXPECT_EQ(c.query("SELECT * FROM #out ORDER BY tag"), expected);

    // The same statement without INTO, on a table without triggers, answers the rows itself.
    ok("DELETE FROM items; DELETE FROM #out");
    ok("SET IDENTITY_INSERT items ON");
    ok("INSERT INTO items (id, code, qty) VALUES (1, N'a', 1), (2, N'b', 2), (3, N'c', 3), (4, N'd', 4)");
    ok("SET IDENTITY_INSERT items OFF");
    Rows answered = c.query(merge + ";");
    std::sort(answered.begin(), answered.end(), [](const auto& a, const auto& b) { return std::stoi(a[0]) < std::stoi(b[0]); });
    const Rows again = c.query("SELECT id, code FROM items WHERE code IN (N'x', N'y') ORDER BY code");
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(answered, (Rows{{"1", "4", "4", "4", "d", "40"},
                              {"2", "NULL", "NULL", again[0][0], "x", "50"},
                              {"3", "2", "2", "NULL", "NULL", "NULL"},
                              {"4", "1", "1", "1", "a", "10"},
                              {"5", "NULL", "NULL", again[1][0], "y", "60"},
                              {"6", "3", "3", "3", "c", "0"}}));

    // Two new rows of one code break the unique key at the statement's end: 2627, and neither
    // the update of 'a' nor any OUTPUT row stays.
    ok("DELETE FROM #src; DELETE FROM #out");
    ok("INSERT INTO #src VALUES (N'a', 99, 1), (N'z', 1, 2), (N'z', 2, 3)");
    const Rows before = c.query("SELECT id, code, qty FROM items ORDER BY id");
    EXPECT_EQ(native_error(merge + " INTO #out;"), 2627);
    EXPECT_EQ(c.query("SELECT id, code, qty FROM items ORDER BY id"), before);
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM #out"), (Rows{{"0"}}));
}

// A connection keeps its schema version while nothing can have moved it, and the translations
// of statements while nothing they depend on moved; every statement still sees the tables as
// they are: after another connection's change, after its own change inside a transaction and
// after that transaction's rollback, after a #temp table of the same name is made anew with
// other columns, and with IDENTITY_INSERT set as it is now.
TEST_F(Session, StatementsSeeEverySchemaChangeWhereverItComesFrom) {
    OdbcConnection other{dir, "app"};
    ok("SET NOCOUNT ON");
    ok("CREATE TABLE t (a int PRIMARY KEY)");
    ok("INSERT INTO t VALUES (1)");
    const std::string all = "SELECT * FROM t";
    EXPECT_EQ(c.query(all), (Rows{{"1"}}));
    ASSERT_TRUE(runs(other, "ALTER TABLE t ADD b int NULL"));
    EXPECT_EQ(c.query(all), (Rows{{"1", "NULL"}}));

    ok("BEGIN TRANSACTION");
    EXPECT_EQ(c.query(all), (Rows{{"1", "NULL"}}));
    ok("ALTER TABLE t ADD c int NULL");
    EXPECT_EQ(c.query(all), (Rows{{"1", "NULL", "NULL"}}));
    ok("ROLLBACK TRANSACTION");
    EXPECT_EQ(c.query(all), (Rows{{"1", "NULL"}}));
    EXPECT_EQ(other.query(all), (Rows{{"1", "NULL"}}));

    // Inside a transaction whose snapshot is pinned by a write, another connection's change
    // waits for the write lock; the next statement after the commit sees it.
    ok("BEGIN TRANSACTION");
    ok("UPDATE t SET b = 2");
    EXPECT_EQ(c.query(all), (Rows{{"1", "2"}}));
    ok("COMMIT TRANSACTION");
    ASSERT_TRUE(runs(other, "ALTER TABLE t ADD d int NULL"));
    EXPECT_EQ(c.query(all), (Rows{{"1", "2", "NULL"}}));

    const std::string temp = "SELECT * FROM #x";
    ok("CREATE TABLE #x (a int); INSERT INTO #x VALUES (1)");
    EXPECT_EQ(c.query(temp), (Rows{{"1"}}));
    ok("DROP TABLE #x");
    ok("CREATE TABLE #x (a int, b nvarchar(5)); INSERT INTO #x VALUES (1, N'b')");
    EXPECT_EQ(c.query(temp), (Rows{{"1", "b"}}));
    ok("BEGIN TRANSACTION");
    ok("DROP TABLE #x");
    ok("CREATE TABLE #x (z int, y int, x int); INSERT INTO #x VALUES (3, 2, 1)");
    EXPECT_EQ(c.query(temp), (Rows{{"3", "2", "1"}}));
    ok("ROLLBACK TRANSACTION");
    EXPECT_EQ(c.query(temp), (Rows{{"1", "b"}}));

    // A rolled-back change of its own takes the version back, and another connection's change
    // then brings that version with other columns.
    ok("CREATE TABLE u (a int)");
    const std::string into_u = "INSERT INTO u VALUES (1, 2)";
    ok("BEGIN TRANSACTION");
    ok("ALTER TABLE u ADD c int NULL");
    ok(into_u);
    ok("ROLLBACK TRANSACTION");
    ASSERT_TRUE(runs(other, "ALTER TABLE u ADD e nvarchar(5) NULL"));
    ok(into_u);
    EXPECT_EQ(c.query("SELECT e FROM u"), (Rows{{"2"}}));

    // A #temp table given a column, and one of the same name in the next session on a pooled
    // connection, take one value more.
    const std::string into_y = "INSERT INTO #y VALUES (1)";
    ok("CREATE TABLE #y (a int)");
    ok(into_y);
    ok("ALTER TABLE #y ADD b int NULL");
    EXPECT_FALSE(runs(c, into_y));
    for (const char* columns : {"(a int)", "(a int, b int)"}) {
        OdbcConnection next{dir, "app"};
        ASSERT_TRUE(runs(next, std::string("CREATE TABLE #y ") + columns));
        EXPECT_EQ(runs(next, into_y), columns == std::string("(a int)")) << columns;
    }

    // An explicit identity value is taken while IDENTITY_INSERT is on only.
    ok("CREATE TABLE w (id int IDENTITY(1,1), v int)");
    const std::string into_w = "INSERT INTO w (id, v) VALUES (7, 7)";
    EXPECT_EQ(native_error(into_w), 544);
    ok("SET IDENTITY_INSERT w ON");
    ok(into_w);
    ok("SET IDENTITY_INSERT w OFF");
    EXPECT_EQ(native_error(into_w), 544);
}

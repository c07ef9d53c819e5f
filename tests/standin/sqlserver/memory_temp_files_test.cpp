// The stand-in's #temp tables, their journal and SQLite's transient tables in
// memory: contents survive spilling beyond a small page cache, rollbacks undo
// temp writes, each connection has its own, and dropped pages are handed back.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "memory_temp_files.h"
#include "odbc_client.h"

namespace {

using sqlserver_standin::memory_temp_files_vfs;

class Db {
public:
    explicit Db(const std::string& path) {
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                  memory_temp_files_vfs()),
                  SQLITE_OK);
        // A cache of a few pages: every table below spills into its file.
        exec("PRAGMA temp.auto_vacuum = INCREMENTAL; PRAGMA temp.cache_size = 8; PRAGMA cache_size = 8");
    }
    ~Db() { sqlite3_close(db_); }
    void exec(const std::string& sql) {
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << sql << ": " << (err ? err : "");
        sqlite3_free(err);
    }
    std::string one(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::string out = "error";
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            out = sqlite3_column_text(st, 0) ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) : "NULL";
        sqlite3_finalize(st);
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

// 20,000 rows of about 200 bytes: some 4 MB, far beyond 8 pages.
const char* kFill =
    "CREATE TEMP TABLE big (id INTEGER PRIMARY KEY, pad TEXT UNIQUE);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)"
    " INSERT INTO big SELECT i, printf('%08d', (i * 7919) % 20000) || hex(randomblob(96)) FROM n";

TEST(MemoryTempFiles, TempTablesBeyondTheCacheKeepTheirRowsAndRollBack) {
    std::string dir = make_data_dir();
    Db a(dir + "/a.sqlite"), b(dir + "/a.sqlite");
    a.exec(kFill);
    b.exec("CREATE TEMP TABLE big (id INTEGER PRIMARY KEY, pad TEXT UNIQUE); INSERT INTO big VALUES (1, 'b')");
    EXPECT_EQ(a.one("SELECT COUNT(*) || ' ' || SUM(id) || ' ' || COUNT(DISTINCT substr(pad, 1, 8)) FROM big"),
              "20000 200010000 20000");
    EXPECT_EQ(a.one("PRAGMA temp.integrity_check"), "ok");
    const std::string before = a.one("SELECT group_concat(pad) FROM (SELECT pad FROM big ORDER BY id)");

    // Rolled back, a whole transaction and a savepoint leave no trace.
    a.exec("BEGIN; UPDATE big SET pad = pad || 'x'; DELETE FROM big WHERE id % 3 = 0; ROLLBACK");
    a.exec("BEGIN; DELETE FROM big WHERE id > 100; SAVEPOINT s; UPDATE big SET pad = 'y' || pad; "
           "ROLLBACK TO s; RELEASE s; ROLLBACK");
    EXPECT_EQ(a.one("SELECT group_concat(pad) FROM (SELECT pad FROM big ORDER BY id)"), before);
    EXPECT_EQ(a.one("PRAGMA temp.integrity_check"), "ok");

    // Transient tables (UNION, DISTINCT, sorting) of several MB.
    EXPECT_EQ(a.one("SELECT COUNT(*) FROM (SELECT pad FROM big UNION SELECT pad || 'z' FROM big)"), "40000");
    EXPECT_EQ(a.one("SELECT id FROM big ORDER BY substr(pad, 9) || pad DESC LIMIT 1 OFFSET 19999"),
              a.one("SELECT id FROM big ORDER BY substr(pad, 9) || pad LIMIT 1"));

    // The other connection's table of the same name is its own.
    EXPECT_EQ(b.one("SELECT COUNT(*) || ' ' || group_concat(pad) FROM big"), "1 b");
    b.exec("DROP TABLE big");
    EXPECT_EQ(a.one("SELECT COUNT(*) FROM big"), "20000");

    // Dropped, the table's pages go back.
    int pages = std::stoi(a.one("PRAGMA temp.page_count"));
    a.exec("DROP TABLE big; PRAGMA temp.incremental_vacuum");
    EXPECT_GT(pages, 1000);
    EXPECT_LT(std::stoi(a.one("PRAGMA temp.page_count")), 10);
}

// Through the driver: two sessions' #temp tables of one name, each beyond the
// default cache, stay apart; a rolled-back write to one is undone.
TEST(MemoryTempFiles, SessionsKeepTheirOwnTempTables) {
    std::string dir = make_data_dir();
    OdbcConnection a(dir, "app"), b(dir, "app");
    const std::string pad(400, 'p');
    for (OdbcConnection* c : {&a, &b}) {
        ASSERT_EQ(c->exec("CREATE TABLE #t (id int PRIMARY KEY, pad nvarchar(450) NOT NULL); "
                          "INSERT INTO #t (id, pad) VALUES (1, N'" + pad + "')"),
                  SQL_SUCCESS);
        // Doubled to 8,192 rows of 400 characters.
        for (int n = 1; n < 8192; n *= 2)
            ASSERT_EQ(c->exec("INSERT INTO #t (id, pad) SELECT id + " + std::to_string(n) + ", pad FROM #t"),
                      SQL_SUCCESS);
    }
    ASSERT_EQ(b.exec("DELETE FROM #t WHERE id > 10"), SQL_SUCCESS);
    ASSERT_EQ(a.exec("BEGIN TRANSACTION; UPDATE #t SET pad = N'x'; DELETE FROM #t WHERE id % 2 = 0; "
                     "ROLLBACK TRANSACTION"),
              SQL_SUCCESS);
    using Rows = std::vector<std::vector<std::string>>;
    EXPECT_EQ(a.query("SELECT COUNT(*), SUM(CAST(id AS bigint)), MIN(pad), MAX(pad) FROM #t"),
              (Rows{{"8192", "33558528", pad, pad}}));
    EXPECT_EQ(b.query("SELECT COUNT(*), SUM(id) FROM #t"), (Rows{{"10", "55"}}));
}

}  // namespace

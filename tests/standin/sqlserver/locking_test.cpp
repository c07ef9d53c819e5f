// Several connections to one database at once: writers wait for the write
// lock instead of failing, in the order they came; statements of a
// transaction read what is committed when they start; the lock timeout;
// #temp tables of a rolled-back transaction; the catalog as each sees it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "odbc_client.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

class Locking : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection a{dir, "app"};

    void SetUp() override { ok(a, "CREATE TABLE dbo.w (n int)"); }

    static void ok(OdbcConnection& c, const std::string& sql) { ASSERT_TRUE(runs(c, sql)); }
    static std::string count(OdbcConnection& c) { return c.query("SELECT COUNT(*) FROM dbo.w").at(0).at(0); }
};

TEST_F(Locking, ATransactionWritesAfterAnotherCommittedWhatItHadReadAndSeesIt) {
    OdbcConnection b(dir, "app");
    ok(a, "BEGIN TRANSACTION");
    EXPECT_EQ(count(a), "0");
    ok(b, "INSERT INTO dbo.w VALUES (1)");
    EXPECT_EQ(count(a), "1");
    ok(a, "INSERT INTO dbo.w VALUES (2)");
    ok(a, "COMMIT TRANSACTION");
    EXPECT_EQ(count(b), "2");
}

TEST_F(Locking, AReaderWaitsForTheWriterOfWhatItReadsAndNoOther) {
    ok(a, "CREATE TABLE dbo.other (n int)");
    ok(a, "BEGIN TRANSACTION");
    ok(a, "INSERT INTO dbo.w VALUES (1)");
    std::atomic<bool> committed{false};
    auto reader = std::async(std::launch::async, [&] {
        OdbcConnection b(dir, "app");
        std::string seen = count(b);
        return std::make_pair(seen, committed.load());
    });
    OdbcConnection c(dir, "app");
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.other"), (Rows{{"0"}}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    committed = true;
    ok(a, "COMMIT TRANSACTION");
    auto [seen, after_commit] = reader.get();
    EXPECT_EQ(seen, "1");
    EXPECT_TRUE(after_commit);
}

TEST_F(Locking, ATransactionOpenedLikeOneThatWroteOnAPinnedSnapshotQueuesBeforeItReads) {
    const std::string opener = "SELECT COUNT(*) FROM dbo.w WHERE n >= 0";
    ok(a, "BEGIN TRANSACTION");
    EXPECT_EQ(a.query(opener), (Rows{{"0"}}));
    // A savepoint pins the snapshot the write takes the lock on.
    ok(a, "SAVE TRANSACTION s");
    ok(a, "INSERT INTO dbo.w VALUES (1)");
    ok(a, "COMMIT TRANSACTION");
    // Opened the same way again: the write lock comes first, then the reads.
    ok(a, "BEGIN TRANSACTION");
    EXPECT_EQ(a.query(opener), (Rows{{"1"}}));
    auto second = std::async(std::launch::async, [&] {
        OdbcConnection b(dir, "app");
        b.exec("BEGIN TRANSACTION");
        std::string seen = b.query(opener).at(0).at(0);
        SQLRETURN rc = b.exec("INSERT INTO dbo.w VALUES (3)");
        b.exec("COMMIT TRANSACTION");
        return std::make_pair(seen, rc);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ok(a, "INSERT INTO dbo.w VALUES (2)");
    ok(a, "COMMIT TRANSACTION");
    auto [seen, rc] = second.get();
    EXPECT_EQ(seen, "2");
    EXPECT_TRUE(SQL_SUCCEEDED(rc));
    EXPECT_EQ(count(a), "3");
}

TEST_F(Locking, ATransactionOpenedLikeOneThatWroteReadsWithoutTheLockUnlessTheWriteWasPinned) {
    // The transactions before: their statements after the opener.
    const std::vector<std::vector<std::vector<std::string>>> cases = {
        {{"INSERT INTO dbo.w VALUES (1)"}},
        {{"SAVE TRANSACTION s", "INSERT INTO dbo.w VALUES (1)"}, {}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string opener = "SELECT COUNT(*) FROM dbo.w WHERE n >= " + std::to_string(i);
        ok(a, "DELETE FROM dbo.w");
        for (const auto& transaction : cases[i]) {
            ok(a, "BEGIN TRANSACTION");
            EXPECT_EQ(a.query(opener).size(), 1u);
            for (const auto& statement : transaction) ok(a, statement);
            ok(a, "COMMIT TRANSACTION");
        }
        // Opened the same way again, it reads without the write lock: another writer goes ahead.
        ok(a, "BEGIN TRANSACTION");
        EXPECT_EQ(a.query(opener), (Rows{{"1"}}));
        OdbcConnection b(dir, "app", "LockTimeout=200");
        EXPECT_TRUE(runs(b, "INSERT INTO dbo.w VALUES (2)"));
        ok(a, "COMMIT TRANSACTION");
    }
}

TEST_F(Locking, WritersWaitForTheLockInTheOrderTheyCame) {
    ok(a, "BEGIN TRANSACTION");
    ok(a, "INSERT INTO dbo.w VALUES (0)");
    std::atomic<int> order{0};
    auto writer = [&](int n) {
        OdbcConnection c(dir, "app");
        c.exec("BEGIN TRANSACTION");
        SQLRETURN rc = c.exec("INSERT INTO dbo.w VALUES (" + std::to_string(n) + ")");
        int place = ++order;
        c.exec("COMMIT TRANSACTION");
        return std::make_pair(rc, place);
    };
    auto first = std::async(std::launch::async, writer, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto second = std::async(std::launch::async, writer, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(order.load(), 0) << "a writer went ahead of the open transaction";
    ok(a, "COMMIT TRANSACTION");
    auto [rc1, place1] = first.get();
    auto [rc2, place2] = second.get();
    EXPECT_TRUE(SQL_SUCCEEDED(rc1));
    EXPECT_TRUE(SQL_SUCCEEDED(rc2));
    EXPECT_EQ(place1, 1);
    EXPECT_EQ(place2, 2);
    EXPECT_EQ(a.query("SELECT n FROM dbo.w ORDER BY n"), (Rows{{"0"}, {"1"}, {"2"}}));
}

TEST_F(Locking, AStatementOfItsOwnGoesAheadOfTheQueuedTransactions) {
    ok(a, "BEGIN TRANSACTION");
    ok(a, "INSERT INTO dbo.w VALUES (0)");
    // The queued transaction sees the statement's row once it has the lock.
    auto transaction = std::async(std::launch::async, [&] {
        OdbcConnection c(dir, "app");
        c.exec("BEGIN TRANSACTION");
        SQLRETURN rc = c.exec("INSERT INTO dbo.w VALUES (1)");
        std::string seen = count(c);
        c.exec("COMMIT TRANSACTION");
        return std::make_pair(rc, seen);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto alone = std::async(std::launch::async, [&] {
        OdbcConnection c(dir, "app");
        return c.exec("INSERT INTO dbo.w VALUES (2)");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ok(a, "COMMIT TRANSACTION");
    auto [rc, seen] = transaction.get();
    EXPECT_TRUE(SQL_SUCCEEDED(rc));
    EXPECT_TRUE(SQL_SUCCEEDED(alone.get()));
    EXPECT_EQ(seen, "3");
    EXPECT_EQ(count(a), "3");
}

TEST_F(Locking, ReadsUnderUpdateLocksTakeTurns) {
    // Two copies of one piece of work look for its mark under update locks: the second waits
    // for the first to commit and then finds it.
    const std::string look = "SELECT COUNT(*) FROM dbo.w WITH (UPDLOCK, HOLDLOCK) WHERE n = 7";
    ok(a, "BEGIN TRANSACTION");
    EXPECT_EQ(a.query(look), (Rows{{"0"}}));
    auto second = std::async(std::launch::async, [&] {
        OdbcConnection b(dir, "app");
        b.exec("BEGIN TRANSACTION");
        b.query("SELECT COUNT(*) FROM dbo.w WHERE n < 0");
        std::string seen = b.query(look).at(0).at(0);
        b.exec("COMMIT TRANSACTION");
        return seen;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ok(a, "INSERT INTO dbo.w VALUES (7)");
    ok(a, "COMMIT TRANSACTION");
    EXPECT_EQ(second.get(), "1");
}

TEST_F(Locking, AWriterThatWaitsPastTheLockTimeoutFailsWith1222AndKeepsItsTransaction) {
    // Another thread holds the lock until told to commit.
    std::promise<void> holding, done;
    auto holder = std::async(std::launch::async, [&] {
        OdbcConnection h(dir, "app");
        h.exec("BEGIN TRANSACTION");
        h.exec("INSERT INTO dbo.w VALUES (1)");
        holding.set_value();
        done.get_future().wait();
        return h.exec("COMMIT TRANSACTION");
    });
    holding.get_future().wait();
    OdbcConnection b(dir, "app", "LockTimeout=200");
    ok(b, "BEGIN TRANSACTION");
    ok(b, "CREATE TABLE #mine (n int)");
    EXPECT_EQ(b.exec("INSERT INTO dbo.w VALUES (2)"), SQL_ERROR);
    ASSERT_FALSE(b.last_diags().empty());
    EXPECT_EQ(b.last_diags()[0].native, 1222);
    EXPECT_EQ(b.last_diags()[0].sqlstate, "HYT00");
    // Autocommit writers time out the same way.
    OdbcConnection c(dir, "app", "LockTimeout=100");
    EXPECT_EQ(c.exec("DELETE FROM dbo.w"), SQL_ERROR);
    EXPECT_EQ(c.last_diags().at(0).native, 1222);
    done.set_value();
    EXPECT_TRUE(SQL_SUCCEEDED(holder.get()));
    EXPECT_EQ(b.query("SELECT @@TRANCOUNT, (SELECT COUNT(*) FROM #mine)"), (Rows{{"1", "0"}}));
    ok(b, "INSERT INTO dbo.w VALUES (2)");
    ok(b, "COMMIT TRANSACTION");
    EXPECT_EQ(count(a), "2");
    EXPECT_TRUE(SQL_SUCCEEDED(c.exec("DELETE FROM dbo.w")));
}

TEST_F(Locking, TempTablesOfARolledBackTransactionAreGone) {
    OdbcConnection b(dir, "app");
    ok(a, "CREATE TABLE #kept (n int)");
    ok(a, "INSERT INTO #kept VALUES (1)");
    // With another writer committing in between and without.
    for (bool other_writer : {true, false}) {
        SCOPED_TRACE(other_writer ? "another writer committed" : "alone");
        ok(a, "BEGIN TRANSACTION");
        ok(a, "CREATE TABLE #t (n int PRIMARY KEY)");
        ok(a, "INSERT INTO #t VALUES (1)");
        if (other_writer) ok(b, "INSERT INTO dbo.w VALUES (1)");
        EXPECT_EQ(a.query("SELECT COUNT(*) FROM #t"), (Rows{{"1"}}));
        ok(a, "INSERT INTO dbo.w SELECT n FROM #t");
        ok(a, "ROLLBACK TRANSACTION");
        EXPECT_EQ(a.exec("SELECT * FROM #t"), SQL_ERROR);
        EXPECT_EQ(a.last_diags().at(0).native, 208);
        ok(a, "CREATE TABLE #t (n int PRIMARY KEY)");
        ok(a, "INSERT INTO #t VALUES (1)");
        ok(a, "DROP TABLE #t");
    }
    EXPECT_EQ(a.query("SELECT COUNT(*) FROM #kept"), (Rows{{"1"}}));
    EXPECT_EQ(count(a), "1");
}

TEST_F(Locking, EachConnectionSeesTheCatalogAsCommittedAndItsOwnChanges) {
    OdbcConnection b(dir, "app");
    ok(b, "INSERT INTO dbo.w (n) VALUES (0)");
    EXPECT_EQ(b.query("SELECT * FROM dbo.w"), (Rows{{"0"}}));
    ok(a, "ALTER TABLE dbo.w ADD m int NULL");
    ok(b, "INSERT INTO dbo.w (n, m) VALUES (1, 2)");
    EXPECT_EQ(b.query("SELECT * FROM dbo.w ORDER BY n"), (Rows{{"0", "NULL"}, {"1", "2"}}));
    EXPECT_EQ(b.query("SELECT * FROM dbo.w"), (Rows{{"0", "NULL"}, {"1", "2"}}));
    ok(a, "BEGIN TRANSACTION");
    ok(a, "CREATE TABLE dbo.gone (k int PRIMARY KEY)");
    ok(a, "INSERT INTO dbo.gone VALUES (1)");
    EXPECT_EQ(a.query("SELECT k FROM dbo.gone"), (Rows{{"1"}}));
    for (OdbcConnection* c : {&b, &a}) {
        if (c == &a) ok(a, "ROLLBACK TRANSACTION");
        EXPECT_EQ(c->exec("SELECT k FROM dbo.gone"), SQL_ERROR);
        EXPECT_EQ(c->last_diags().at(0).native, 208);
    }
    // The same name made again, otherwise: what the rolled-back transaction saw is forgotten.
    ok(b, "CREATE TABLE dbo.gone (k int PRIMARY KEY, label nvarchar(10) NULL)");
    ok(a, "INSERT INTO dbo.gone (k, label) VALUES (1, N'x')");
    EXPECT_EQ(b.query("SELECT label FROM dbo.gone"), (Rows{{"x"}}));
}

TEST_F(Locking, ANewConnectionStartsCleanAfterAnotherEnded) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        OdbcConnection c(dir, "app");
        EXPECT_EQ(c.query("SELECT @@TRANCOUNT, OBJECT_ID('tempdb..#mine')"), (Rows{{"0", "NULL"}}));
        ok(c, "CREATE TABLE #mine (n int)");
        ok(c, "INSERT INTO #mine VALUES (1)");
        ok(c, "BEGIN TRANSACTION");
        ok(c, "INSERT INTO dbo.w VALUES (1)");
        // Gone without a commit: the transaction is rolled back, the #temp table dropped.
    }
    EXPECT_EQ(count(a), "0");
    ok(a, "INSERT INTO dbo.w VALUES (2)");
}

TEST_F(Locking, AWaitThatClosesACycleOfThreadsMakesADeadlockVictim) {
    OdbcConnection other_setup(dir, "other");
    ok(other_setup, "CREATE TABLE dbo.v (n int)");
    // This thread holds app's lock; another holds other's and waits for app's.
    ok(a, "BEGIN TRANSACTION");
    ok(a, "INSERT INTO dbo.w VALUES (1)");
    std::promise<void> holding;
    auto second = std::async(std::launch::async, [&] {
        OdbcConnection mine(dir, "other"), theirs(dir, "app");
        mine.exec("BEGIN TRANSACTION");
        mine.exec("INSERT INTO dbo.v VALUES (1)");
        holding.set_value();
        SQLRETURN rc = theirs.exec("INSERT INTO dbo.w VALUES (2)");
        mine.exec("COMMIT TRANSACTION");
        return rc;
    });
    holding.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Waiting for other's lock now would wait for ever: this wait is the victim.
    OdbcConnection b(dir, "other");
    EXPECT_EQ(b.exec("INSERT INTO dbo.v VALUES (3)"), SQL_ERROR);
    EXPECT_EQ(b.last_diags().at(0).native, 1205);
    ok(a, "COMMIT TRANSACTION");
    EXPECT_TRUE(SQL_SUCCEEDED(second.get()));
    EXPECT_EQ(count(a), "2");
    // Within one thread: a second connection that would wait for the first.
    ok(a, "BEGIN TRANSACTION");
    ok(a, "INSERT INTO dbo.w VALUES (3)");
    OdbcConnection c(dir, "app");
    EXPECT_EQ(c.exec("DELETE FROM dbo.w"), SQL_ERROR);
    EXPECT_EQ(c.last_diags().at(0).native, 1205);
    ok(a, "COMMIT TRANSACTION");
    EXPECT_EQ(count(c), "3");
}

TEST_F(Locking, AnInjectedDeadlockEndsTheTransactionAndItsSnapshot) {
    OdbcConnection f(dir, "app", "Fault=1205:1:INSERT INTO dbo.w");
    ok(f, "BEGIN TRANSACTION");
    ok(f, "CREATE TABLE #t (n int)");
    EXPECT_EQ(count(f), "0");
    EXPECT_EQ(f.exec("INSERT INTO dbo.w VALUES (1)"), SQL_ERROR);
    EXPECT_EQ(f.last_diags().at(0).native, 1205);
    ok(a, "INSERT INTO dbo.w VALUES (2)");
    EXPECT_EQ(f.query("SELECT @@TRANCOUNT, OBJECT_ID('tempdb..#t')"), (Rows{{"0", "NULL"}}));
    ok(f, "BEGIN TRANSACTION");
    EXPECT_EQ(count(f), "1");
    ok(f, "INSERT INTO dbo.w VALUES (3)");
    ok(f, "COMMIT TRANSACTION");
    EXPECT_EQ(count(a), "2");
}

}  // namespace

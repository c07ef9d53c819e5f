// The import of pushed packages into host tables, against the SQL Server stand-in: staging,
// the per-table MERGE, late conflicts, child rows around parent changes and identity keys.
#include <ctype.h>

#include <functional>

#include "import_fixture.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

// The first word of a result: the error code, or "ok".
std::string code_of(const std::string &result) { return result.substr(0, result.find(':')); }

// Statements the stand-in does not run yet end the test with a skip naming them.
#define SKIP_IF_STANDIN_LACKS(result)                                                        \
  do {                                                                                       \
    if ((result).find("Incorrect syntax near") != std::string::npos)                          \
      GTEST_SKIP() << "stand-in lacks a statement of the push import: " << (result);         \
  } while (0)

TEST_F(ImportTest, PushInsertsUpdatesAndDeletesUnderItsOwnTransaction) {
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a'), (2, N'b'), (3, N'c')");
  new_package({parent});
  std::string newRid;
  insert(parent, "id,name,born", "4,'d','2024-02-29'", &newRid);
  update(parent, 1, "id,name,born", "1,'A',NULL");
  remove(parent, 2);
  // A base row of a converted generation package: never reaches the host table.
  row(parent, new_rid(), "id,name", "9,'base'");
  pkg_exec("UPDATE \"p$u$" + parent + "\" SET z_txid = -1 WHERE id = 9");

  QK_int64 txid = 0;
  std::string result = push(0, &txid);
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_GT(txid, 0);
  EXPECT_EQ(rows("SELECT id, name, born FROM dbo.parent ORDER BY id"), "1|A|NULL;3|c|NULL;4|d|2024-02-29");
  // The new version carries the package's row id, and both changed rows the push's txid.
  Version v4 = live(parent, 4), v1 = live(parent, 1);
  EXPECT_EQ(v4.rid, newRid);
  EXPECT_EQ(v4.txid, txid);
  EXPECT_EQ(v1.txid, txid);
  // The push recorded no leftover no-op counter.
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.[demo$z$noop_updates]"), 0);
}

TEST_F(ImportTest, AnUpdateThatChangesNothingCountsAsApplied) {
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a')");
  new_package({parent});
  update(parent, 1, "id,name,born", "1,'a',NULL");
  std::string result = push();
  SKIP_IF_STANDIN_LACKS(result);
  EXPECT_EQ(result, "ok");
}

// Another transaction changed the row between the client's pull and the push.
TEST_F(ImportTest, ChangesToARowChangedSinceThePullAreLateConflicts) {
  struct Case {
    const char *what;
    bool isDelete;
    bool parentInsert;  // a parent gaining rows keeps the child's deletes out of its MERGE
    const char *expected;
  } cases[] = {
      {"update", false, false, "conflict detected late (0 out of 1 updates applied to correct row version)"},
      {"delete in the MERGE", true, false, "conflict detected late (0 deletes applied instead of 1)"},
      {"delete in the delete step", true, true, "conflict detected late (0 deletes applied instead of 1)"},
  };
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a')");
  exec("INSERT INTO dbo.child (id, pid, note) VALUES (10, 1, N'n')");
  int round = 0;
  for (const Case &c : cases) {
    std::string serverNote = "server" + std::to_string(++round);
    new_package({parent, child});
    if (c.isDelete)
      remove(child, 10);
    else
      update(child, 10, "id,pid,note", "10,1,'client'");
    if (c.parentInsert) insert(parent, "id,name", "7,'new'");
    exec("UPDATE dbo.child SET note = N'" + serverNote + "' WHERE id = 10");
    std::string result = push();
    SKIP_IF_STANDIN_LACKS(result);
    EXPECT_EQ(code_of(result), "91") << c.what << ": " << result;
    EXPECT_NE(result.find(c.expected), std::string::npos) << c.what << ": " << result;
    // Nothing of the push stays.
    EXPECT_EQ(rows("SELECT id, pid, note FROM dbo.child"), "10|1|" + serverNote) << c.what;
    EXPECT_EQ(rows("SELECT id FROM dbo.parent"), "1") << c.what;
  }
}

TEST_F(ImportTest, MalformedPackagesAreRefusedAsBadRequests) {
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a')");
  struct Case {
    const char *what;
    std::function<void(ImportTest &)> build;
    const char *expected;
  } cases[] = {
      {"update listed without its row",
       [](ImportTest &t) {
         Version v = t.live(t.parent, 1);
         t.delta(t.parent, v.rid, true, v.txid);
       },
       "400:Malformed package. Perhaps the client used an OR REPLACE clause without recursive_triggers=ON."},
      {"delta without a row id",
       [](ImportTest &t) { t.pkg_exec("INSERT INTO \"p$rd$" + t.parent + "\" (rid, txid_rec_add, txid) VALUES (x'', 1, 1)"); },
       "400:Malformed package. A row delta has no row id."},
      {"row id of 3 bytes",
       [](ImportTest &t) {
         t.pkg_exec("INSERT INTO \"p$rd$" + t.parent + "\" (rid, txid_rec_add, txid) VALUES (x'010203', 1, 1)");
       },
       "3:guid blob must be 16 bytes: 3"},
      {"date SQL Server refuses",
       [](ImportTest &t) { t.insert(t.parent, "id,born", "5,'2023-02-30'"); },
       "400:"},
  };
  for (const Case &c : cases) {
    new_package({parent});
    c.build(*this);
    std::string result = push();
    SKIP_IF_STANDIN_LACKS(result);
    EXPECT_EQ(code_of(result), code_of(c.expected)) << c.what << ": " << result;
    // The message keeps the table it concerned.
    EXPECT_NE(result.find("(ID " + parent + ")"), std::string::npos) << c.what << ": " << result;
    EXPECT_NE(result.find(c.expected + code_of(c.expected).size() + 1), std::string::npos) << c.what << ": " << result;
  }
  EXPECT_EQ(rows("SELECT id, name FROM dbo.parent ORDER BY id"), "1|a");
}

TEST_F(ImportTest, StagingMakesAStagingTableOnlyWhenTheHostHasMoreColumns) {
  exec("ALTER TABLE dbo.parent ADD extra int NULL");
  QK_vhash *state = nullptr;
  QK_vhash__alloc(ctx, &state);
  for (int withUnprepared : {0, 1}) {
    if (withUnprepared) {
      tav_defin__add_column(ctx, d, parent.c_str(), "4", "extra", 0, 0, 0);
      tav_defin__set_mssql_col_data_type(ctx, d, parent.c_str(), "4", "int");
      tav_defin__set_type_simple(ctx, d, parent.c_str(), "4", "sint32");
    }
    new_package({parent});
    insert(parent, "id,name", "1,'a'");
    tav_db_mssql__stage_table(ctx, h, d, pkg.db, parent.c_str(), state);
    ASSERT_EQ(take_error(), "ok");
    QK_vhash *member = nullptr;
    const char *staging = nullptr;
    QK_int64 inserts = -1;
    QK_vhash__get__vhash(ctx, state, parent.c_str(), &member);
    QK_vhash__check__sz(ctx, member, "ttable_staging", &staging);
    QK_vhash__get__int64(ctx, member, "count_inserts", &inserts);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(staging != nullptr, withUnprepared == 1);
    EXPECT_EQ(inserts, 1);
    QK_vhash__remove(ctx, state, parent.c_str());
    tav_pkg__close(ctx, &pkg);
  }
  QK_vhash__free(ctx, state);
}

TEST_F(ImportTest, MoveCountTreatsAbsentMembersAsZero) {
  QK_vhash *v = nullptr;
  QK_vhash__alloc(ctx, &v);
  QK_vhash__add__int64(ctx, v, "count_updates", 3);
  tav_db_mssql__move_count(ctx, v, "count_updates", "count_reinserts", 2);
  tav_db_mssql__move_count(ctx, v, nullptr, "count_inserts", 4);
  tav_db_mssql__move_count(ctx, v, "count_deletes", "count_undeletes", 0);
  QK_int64 updates = 0, reinserts = 0, inserts = 0;
  int hasDeletes = 1;
  QK_vhash__get__int64(ctx, v, "count_updates", &updates);
  QK_vhash__get__int64(ctx, v, "count_reinserts", &reinserts);
  QK_vhash__get__int64(ctx, v, "count_inserts", &inserts);
  QK_vhash__has(ctx, v, "count_deletes", &hasDeletes);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(updates, 1);
  EXPECT_EQ(reinserts, 2);
  EXPECT_EQ(inserts, 4);
  EXPECT_EQ(hasDeletes, 0);
  tav_db_mssql__move_count(ctx, v, "count_updates", nullptr, 1);
  EXPECT_EQ(take_error(), "2:pszTo is null");
  QK_vhash__free(ctx, v);
}

TEST_F(ImportTest, PrimaryKeyCollisionRules) {
  struct Case {
    const char *what;
    int act;  // 0: no rule
    const char *name;
    const char *result;
    const char *rows;
  } cases[] = {
      {"default: the duplicate key ends the push", 0, "'other'", "80", "1|a"},
      {"4: the insert is skipped and audited", 4, "'other'", "ok", "1|a"},
      {"12: equal values are skipped", 12, "'a'", "ok", "1|a"},
      {"12: differing values end the push", 12, "'other'", "80", "1|a"},
  };
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a')");
  for (const Case &c : cases) {
    if (c.act) {
      std::string out;
      ASSERT_EQ(cli("set-record-rule " + dataDir + " cfg dbo.parent 4 " + std::to_string(c.act), &out), 0) << out;
    }
    new_package({parent});
    std::string rid;
    insert(parent, "id,name", std::string("1,") + c.name, &rid);
    sqlite3 *db = pkg.db;
    std::string result;
    {
      // Keep the package open past the push to read its audit rows.
      QK_uint8 rstamp[16] = {1, 2, 3, (QK_uint8)c.act};
      tav_db_mssql__begin_tx(ctx, h, nullptr);
      tav_db_mssql__import_push(ctx, h, d, nullptr, rstamp, db, 0, nullptr);
      result = take_error();
      tav_db_mssql__rollback_tx(ctx, h);
      QK_context__reset_error(ctx);
    }
    SKIP_IF_STANDIN_LACKS(result);
    EXPECT_EQ(code_of(result), c.result) << c.what << ": " << result;
    EXPECT_EQ(rows("SELECT id, name FROM dbo.parent ORDER BY id"), c.rows) << c.what;
    if (c.act == 4) {
      sqlite3_stmt *st = nullptr;
      sqlite3_prepare_v2(db, "SELECT hex(rid), tbl, ancestor, already, incoming, result FROM p$audit", -1, &st, nullptr);
      ASSERT_EQ(sqlite3_step(st), SQLITE_ROW) << c.what;
      std::string ridUpper = rid;
      for (char &ch : ridUpper) ch = (char)toupper((unsigned char)ch);
      EXPECT_EQ(std::string((const char *)sqlite3_column_text(st, 0)), ridUpper);
      EXPECT_EQ(std::string((const char *)sqlite3_column_text(st, 1)), parent);
      EXPECT_EQ(sqlite3_column_type(st, 2), SQLITE_NULL);
      EXPECT_EQ(sqlite3_column_type(st, 3), SQLITE_NULL);
      EXPECT_EQ(std::string((const char *)sqlite3_column_text(st, 4)), "{\"id\":1,\"name\":\"other\"}");
      EXPECT_EQ(std::string((const char *)sqlite3_column_text(st, 5)), "ignore");
      sqlite3_finalize(st);
    }
    tav_pkg__close(ctx, &pkg);
  }
}

}  // namespace

#endif

// The import of pushed packages into host tables, against the SQL Server stand-in: staging,
// the per-table MERGE, late conflicts, child rows around parent changes and identity keys.
#include <ctype.h>
#include <string.h>

#include <functional>

#include "import_fixture.h"
#include "server/tav_db_mssql_schema.h"

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
      {"delete of a row deleted meanwhile", true, false, "conflict detected late (0 deletes applied instead of 1)"},
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
    bool gone = strstr(c.what, "deleted meanwhile") != nullptr;
    if (gone)
      exec("DELETE FROM dbo.child WHERE id = 10");
    else
      exec("UPDATE dbo.child SET note = N'" + serverNote + "' WHERE id = 10");
    std::string result = push();
    SKIP_IF_STANDIN_LACKS(result);
    EXPECT_EQ(code_of(result), "91") << c.what << ": " << result;
    EXPECT_NE(result.find(c.expected), std::string::npos) << c.what << ": " << result;
    // Nothing of the push stays.
    EXPECT_EQ(rows("SELECT id, pid, note FROM dbo.child"), gone ? "" : "10|1|" + serverNote) << c.what;
    EXPECT_EQ(rows("SELECT id FROM dbo.parent"), "1") << c.what;
  }
}

TEST_F(ImportTest, MalformedPackagesAreRefusedAsBadRequests) {
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a')");
  struct Case {
    const char *what;
    std::function<void(ImportTest &)> build;
    const char *expected;
    bool layoutValid;  // whether the package layout alone is sound
  } cases[] = {
      {"update listed without its row",
       [](ImportTest &t) {
         Version v = t.live(t.parent, 1);
         t.delta(t.parent, v.rid, true, v.txid);
       },
       "400:Malformed package. Perhaps the client used an OR REPLACE clause without recursive_triggers=ON.", true},
      {"delta without a row id",
       [](ImportTest &t) { t.pkg_exec("INSERT INTO \"p$rd$" + t.parent + "\" (rid, txid_rec_add, txid) VALUES (x'', 1, 1)"); },
       "400:Malformed package. A row delta has no row id.", false},
      {"row id of 3 bytes",
       [](ImportTest &t) {
         t.pkg_exec("INSERT INTO \"p$rd$" + t.parent + "\" (rid, txid_rec_add, txid) VALUES (x'010203', 1, 1)");
       },
       "400:guid blob must be 16 bytes: 3", false},
      {"date SQL Server refuses",
       [](ImportTest &t) { t.insert(t.parent, "id,born", "5,'2023-02-30'"); },
       "400:", true},
      // As many rows as changes, but not of the same rows.
      {"insert of one row id with the row of another",
       [](ImportTest &t) {
         t.row(t.parent, t.new_rid(), "id,name", "5,'e'");
         t.delta(t.parent, t.new_rid(), true, 0);
       },
       "400:Malformed package. Perhaps the client used an OR REPLACE clause without recursive_triggers=ON.", true},
      {"one insert listed twice beside a row without one",
       [](ImportTest &t) {
         std::string rid;
         t.insert(t.parent, "id,name", "5,'e'", &rid);
         t.delta(t.parent, rid, true, 0);
         t.row(t.parent, t.new_rid(), "id,name", "6,'f'");
       },
       "400:Malformed package. Perhaps the client used an OR REPLACE clause without recursive_triggers=ON.", true},
      {"row table without a delta table",
       [](ImportTest &t) {
         t.pkg_exec("DROP TABLE \"p$rd$" + t.parent + "\"");
         t.row(t.parent, t.new_rid(), "id,name", "5,'e'");
       },
       "400:Malformed package. Perhaps the client used an OR REPLACE clause without recursive_triggers=ON.", true},
      {"delete naming no row version",
       [](ImportTest &t) { t.delta(t.parent, t.live(t.parent, 1).rid, false, 0); },
       "400:Malformed package. The delete of row id ", false},
  };
  for (const Case &c : cases) {
    new_package({parent});
    c.build(*this);
    std::string result = push(0, nullptr, c.layoutValid);
    SKIP_IF_STANDIN_LACKS(result);
    EXPECT_EQ(code_of(result), code_of(c.expected)) << c.what << ": " << result;
    // The message keeps the table it concerned.
    EXPECT_NE(result.find("(ID " + parent + ")"), std::string::npos) << c.what << ": " << result;
    EXPECT_NE(result.find(c.expected + code_of(c.expected).size() + 1), std::string::npos) << c.what << ": " << result;
  }
  EXPECT_EQ(rows("SELECT id, name FROM dbo.parent ORDER BY id"), "1|a");
}

// Rows and deltas reach SQL Server many to a statement: a full statement of rows and a shorter
// last one are staged whole, and a row SQL Server refuses in either refuses the push.
TEST_F(ImportTest, ManyRowsAreStagedInStatementsOfManyRows) {
  // A parent row and its delta take 4 parameters each: 500 rows fill a statement.
  struct Case {
    int rows;
    int refused;  // 1-based row whose date SQL Server refuses, or 0
  } cases[] = {{500, 0}, {600, 0}, {600, 7}, {600, 590}, {1, 1}};
  for (const Case &c : cases) {
    exec("DELETE FROM dbo.parent");
    new_package({parent});
    std::string lastRid;
    for (int i = 1; i <= c.rows; i++)
      insert(parent, "id,name,born",
             std::to_string(i) + ",'r" + std::to_string(i) + "'," + (i == c.refused ? "'2023-02-30'" : "'2024-01-02'"),
             &lastRid);
    std::string result = push();
    SKIP_IF_STANDIN_LACKS(result);
    std::string label = std::to_string(c.rows) + " rows, refused " + std::to_string(c.refused);
    if (c.refused) {
      EXPECT_EQ(code_of(result), "400") << label << ": " << result;
      EXPECT_EQ(int64("SELECT COUNT(*) FROM dbo.parent"), 0) << label;
      continue;
    }
    ASSERT_EQ(result, "ok") << label;
    EXPECT_EQ(rows("SELECT COUNT(*), MIN(id), MAX(id), COUNT(DISTINCT name) FROM dbo.parent WHERE born = '2024-01-02'"),
              std::to_string(c.rows) + "|1|" + std::to_string(c.rows) + "|" + std::to_string(c.rows))
        << label;
    // The last row, staged in the last statement, carries its package row id.
    EXPECT_EQ(live(parent, c.rows).rid, lastRid) << label;
  }
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

TEST_F(ImportTest, ASkippedInsertLeavesTheRowIdOfARowThePushUpdated) {
  // The insert's key belongs to a row this same push updates: the insert is skipped, and the
  // updated row's new version must keep its own row id rather than take the skipped one's.
  std::string out;
  ASSERT_EQ(cli("set-record-rule " + dataDir + " cfg dbo.parent 4 4", &out), 0) << out;
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a')");
  std::string kept = live(parent, 1).rid, skipped;
  new_package({parent});
  update(parent, 1, "id,name", "1,'A'");
  insert(parent, "id,name", "1,'other'", &skipped);
  QK_int64 txid = 0;
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  tav_db_mssql__import_push(ctx, h, d, nullptr, (const QK_uint8 *)"0123456789abcdef", pkg.db, 0, &txid);
  std::string result = take_error();
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  tav_db_mssql__commit_tx(ctx, h);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(rows("SELECT id, name FROM dbo.parent"), "1|A");
  Version v = live(parent, 1);
  EXPECT_EQ(v.rid, kept);
  EXPECT_EQ(v.txid, txid);
  // The skipped insert is audited as ignored.
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(pkg.db, "SELECT lower(hex(rid)), result FROM p$audit", -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(std::string((const char *)sqlite3_column_text(st, 0)), skipped);
  EXPECT_EQ(std::string((const char *)sqlite3_column_text(st, 1)), "ignore");
  EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
  sqlite3_finalize(st);
}

TEST_F(ImportTest, NewIdentityRowsGetServerKeysEverywhereTheyAreReferenced) {
  exec("INSERT INTO dbo.ident (name) VALUES (N'one'), (N'two')");  // server values 1 and 2
  new_package({ident, iref});
  std::string rid7, ridRef;
  // Client values 7 and 8 are temporary; 2 is a value the client got from the server.
  insert(ident, "id,name", "'C:7','seven'", &rid7);
  insert(ident, "id,name", "'C:8','eight'");
  insert(iref, "id,ident_id", "100,'C:7'", &ridRef);
  insert(iref, "id,ident_id", "101,'S:2'");
  QK_int64 txid = 0;
  std::string result = push(42, &txid);
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT id, name FROM dbo.ident ORDER BY id"), "1|one;2|two;3|seven;4|eight");
  EXPECT_EQ(rows("SELECT id, ident_id FROM dbo.iref ORDER BY id"), "100|3;101|2");
  EXPECT_EQ(live(ident, 3).rid, rid7);
  EXPECT_EQ(live(iref, 100).rid, ridRef);
  EXPECT_EQ(rows("SELECT fid, tbl_id, temp_ipk, import_txid, final_ipk FROM tavrin.[demo$t$ipklog] ORDER BY temp_ipk"),
            "42|" + ident + "|7|" + std::to_string(txid) + "|3;42|" + ident + "|8|" + std::to_string(txid) + "|4");

  // Without a client id nothing is logged; a row id that is already live is refused.
  new_package({ident});
  insert(ident, "id,name", "'C:9','nine'");
  ASSERT_EQ(push(0), "ok");
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.[demo$t$ipklog]"), 2);
  new_package({ident});
  row(ident, rid7, "id,name", "'C:10','again'");
  delta(ident, rid7, true, 0);
  result = push(0);
  EXPECT_EQ(code_of(result), "400") << result;
  EXPECT_NE(result.find("1 of 1 INSERT rows in table \"[dbo].[ident]\" (" + ident +
                        ") have a duplicate rid (i.e. have already been inserted)"),
            std::string::npos)
      << result;
}

TEST_F(ImportTest, ATableOfOnlyAnIdentityColumnInsertsDefaultValues) {
  run_script("cfg", "CREATE TABLE dbo.bare (id int IDENTITY(1,1) NOT NULL PRIMARY KEY)\n");
  std::string bare = add_table("dbo.bare");
  tav_defin__add_table(ctx, d, bare.c_str(), "bare", 1);
  identity_key(bare, "PK_bare");
  ASSERT_EQ(take_error(), "ok");
  new_package({bare});
  insert(bare, "id", "'C:1'");
  insert(bare, "id", "'C:2'");
  std::string result = push(0);
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT id FROM dbo.bare ORDER BY id"), "1;2");
}

// A parent row is deleted and another package row takes its key in a later statement; the
// child rows that pointed at it must survive the statements in between.
TEST_F(ImportTest, ChildrenOfAKeyTakenAgainAreDetachedAndPutBack) {
  run_script("cfg",
             "CREATE TABLE dbo.g (id int NOT NULL PRIMARY KEY)\nGO\n"
             "CREATE TABLE dbo.p (id int NOT NULL PRIMARY KEY, gid int NULL REFERENCES dbo.g(id), name nvarchar(20) "
             "NULL)\nGO\n"
             "CREATE TABLE dbo.c (id int NOT NULL PRIMARY KEY, pid int NOT NULL REFERENCES dbo.p(id), "
             "opt int NULL REFERENCES dbo.p(id), note nvarchar(20) NULL)\n");
  std::string g = add_table("dbo.g"), p = add_table("dbo.p"), c = add_table("dbo.c");
  tav_defin__add_table(ctx, d, g.c_str(), "g", 1);
  int_column(g, "1", "id", 1);
  key(g);
  tav_defin__add_table(ctx, d, p.c_str(), "p", 1);
  int_column(p, "1", "id", 1);
  int_column(p, "2", "gid", 0);
  tav_defin__set_column_fk(ctx, d, p.c_str(), "2", 1, "9101", "FK_p", g.c_str(), "1", 0, "NO ACTION", "NO ACTION", 0);
  text_column(p, "3", "name");
  key(p);
  tav_defin__add_table(ctx, d, c.c_str(), "c", 1);
  int_column(c, "1", "id", 1);
  int_column(c, "2", "pid", 1);
  tav_defin__set_column_fk(ctx, d, c.c_str(), "2", 1, "9102", "FK_c", p.c_str(), "1", 0, "NO ACTION", "NO ACTION", 0);
  int_column(c, "3", "opt", 0);
  tav_defin__set_column_fk(ctx, d, c.c_str(), "3", 1, "9103", "FK_c_opt", p.c_str(), "1", 0, "NO ACTION", "NO ACTION",
                           0);
  text_column(c, "4", "note");
  key(c);
  ASSERT_EQ(take_error(), "ok");
  exec("INSERT INTO dbo.p (id, name) VALUES (1, N'old'), (2, N'keep')");
  // 10 cannot lose its parent (pid refuses NULL); 11 only refers through a nullable key.
  exec("INSERT INTO dbo.c (id, pid, opt, note) VALUES (10, 1, NULL, N'strict'), (11, 2, 1, N'loose')");
  Version before10 = live(c, 10);

  new_package({g, p});
  // g gains a row, so p's delete runs as a step of its own before p's MERGE.
  insert(g, "id", "5");
  remove(p, 1);
  insert(p, "id,gid,name", "1,5,'new'");
  QK_int64 txid = 0;
  std::string result = push(0, &txid);
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT id, gid, name FROM dbo.p ORDER BY id"), "1|5|new;2|NULL|keep");
  EXPECT_EQ(rows("SELECT id, pid, opt, note FROM dbo.c ORDER BY id"), "10|1|NULL|strict;11|2|1|loose");
  // Both children were detached and put back by the push (a new version each); the
  // reinserted one keeps its row id.
  Version after10 = live(c, 10);
  EXPECT_EQ(after10.rid, before10.rid);
  EXPECT_EQ(after10.txid, txid);
  EXPECT_EQ(live(c, 11).txid, txid);
}

TEST_F(ImportTest, AnUndeleteBringsBackTheRowUnderItsRowId) {
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a')");
  Version gone = live(parent, 1);
  exec("DELETE FROM dbo.parent WHERE id = 1");
  new_package({parent});
  row(parent, gone.rid, "id,name,born", "1,'back',NULL");
  delta(parent, gone.rid, true, 0, gone.txid);
  QK_int64 txid = 0;
  std::string result = push(0, &txid);
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT id, name FROM dbo.parent"), "1|back");
  Version back = live(parent, 1);
  EXPECT_EQ(back.rid, gone.rid);
  EXPECT_EQ(back.txid, txid);
}

TEST_F(ImportTest, InsertsWithoutTheirParentAreDroppedUnderTheForeignKeyRule) {
  exec("INSERT INTO dbo.ident (name) VALUES (N'one')");
  std::string fk = std::to_string(
      int64("SELECT object_id FROM sys.foreign_keys WHERE parent_object_id = " + iref));
  // The definition carries the key's rule as the store reflects it.
  tav_defin__set_column_fk(ctx, d, iref.c_str(), "2", 1, fk.c_str(), "FK_iref", ident.c_str(), "1", 0, "NO ACTION",
                           "NO ACTION", 4);
  ASSERT_EQ(take_error(), "ok");
  new_package({iref});
  std::string orphan;
  insert(iref, "id,ident_id", "200,'S:99'", &orphan);
  insert(iref, "id,ident_id", "201,'S:1'");
  sqlite3 *db = pkg.db;
  QK_uint8 rstamp[16] = {7};
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  tav_db_mssql__import_push(ctx, h, d, nullptr, rstamp, db, 0, nullptr);
  std::string result = take_error();
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT id, ident_id FROM dbo.iref"), "201|1");
  tav_db_mssql__rollback_tx(ctx, h);
  EXPECT_EQ(take_error(), "ok");
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db, "SELECT lower(hex(rid)) || '|' || incoming || '|' || result FROM p$audit", -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(std::string((const char *)sqlite3_column_text(st, 0)), orphan + "|{\"id\":200,\"ident_id\":\"S:99\"}|ignore");
  EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
  sqlite3_finalize(st);
}

// Column names come from the catalog and go into statements between quotes.
TEST_F(ImportTest, ColumnNamesWithQuoteCharactersAreEscaped) {
  run_script("cfg", "CREATE TABLE dbo.odd (id int NOT NULL PRIMARY KEY, [it's \"x\"] int NULL REFERENCES dbo.ident(id))\n");
  std::string odd = add_table("dbo.odd");
  tav_defin__add_table(ctx, d, odd.c_str(), "odd", 1);
  int_column(odd, "1", "id", 1);
  int_column(odd, "2", "it's \"x\"", 0);
  tav_defin__set_column_fk(ctx, d, odd.c_str(), "2", 1, "9201", "FK_odd", ident.c_str(), "1", 0, "NO ACTION",
                           "NO ACTION", 0);
  key(odd);
  ASSERT_EQ(take_error(), "ok");
  std::string out;
  ASSERT_EQ(cli("set-record-rule " + dataDir + " cfg dbo.odd 4 12", &out), 0) << out;
  exec("INSERT INTO dbo.odd (id) VALUES (1)");
  new_package({ident, odd});
  insert(ident, "id,name", "'C:5','five'");
  insert(odd, "id,\"it's \"\"x\"\"\"", "2,'C:5'");
  std::string result = push();
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT id, [it's \"x\"] FROM dbo.odd ORDER BY id"), "1|NULL;2|1");
}

// Rows of one table that point at a row of the same table whose key is taken again later.
TEST_F(ImportTest, RowsReferencingTheirOwnTableAreDetachedAroundAKeyTakenAgain) {
  run_script("cfg",
             "CREATE TABLE dbo.g2 (id int NOT NULL PRIMARY KEY)\nGO\n"
             "CREATE TABLE dbo.node (id int NOT NULL PRIMARY KEY, gid int NULL REFERENCES dbo.g2(id), "
             "up int NULL REFERENCES dbo.node(id), name nvarchar(20) NULL)\n");
  std::string g2 = add_table("dbo.g2"), node = add_table("dbo.node");
  tav_defin__add_table(ctx, d, g2.c_str(), "g2", 1);
  int_column(g2, "1", "id", 1);
  key(g2);
  tav_defin__add_table(ctx, d, node.c_str(), "node", 1);
  int_column(node, "1", "id", 1);
  int_column(node, "2", "gid", 0);
  tav_defin__set_column_fk(ctx, d, node.c_str(), "2", 1, "9301", "FK_node_g", g2.c_str(), "1", 0, "NO ACTION",
                           "NO ACTION", 0);
  int_column(node, "3", "up", 0);
  tav_defin__set_column_fk(ctx, d, node.c_str(), "3", 1, "9302", "FK_node_up", node.c_str(), "1", 0, "NO ACTION",
                           "NO ACTION", 0);
  text_column(node, "4", "name");
  key(node);
  ASSERT_EQ(take_error(), "ok");
  exec("INSERT INTO dbo.node (id, up, name) VALUES (1, NULL, N'root')");
  exec("INSERT INTO dbo.node (id, up, name) VALUES (2, 1, N'leaf')");
  new_package({g2, node});
  insert(g2, "id", "5");
  remove(node, 1);
  insert(node, "id,gid,up,name", "1,5,NULL,'new root'");
  QK_int64 txid = 0;
  std::string result = push(0, &txid);
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT id, gid, up, name FROM dbo.node ORDER BY id"), "1|5|NULL|new root;2|NULL|1|leaf");
  EXPECT_EQ(live(node, 2).txid, txid);
}

// A table of every column type, its definition reflected from the catalog as a push sees it.
struct TypedImportTest : ImportTest {
  std::string typed;
  void SetUp() override {
    ImportTest::SetUp();
    run_script("cfg",
               "CREATE TABLE dbo.typed (id int NOT NULL PRIMARY KEY, amount decimal(9,2) NULL, price money NULL, "
               "flag bit NULL, ratio float NULL, small real NULL, tiny tinyint NULL, at time(7) NULL, "
               "stamp datetime2(7) NULL, day date NULL, note nvarchar(20) NULL, data varbinary(max) NULL, "
               "uid uniqueidentifier NULL)\n");
    typed = add_table("dbo.typed");
    tav_defin__free(ctx, &d);
    tav_db_mssql__fetch_schema(ctx, h, nullptr, nullptr, nullptr, &d);
    ASSERT_EQ(take_error(), "ok");
  }
};

TEST_F(TypedImportTest, EveryFormAConformingClientWritesIsTakenAsItIs) {
  new_package({typed});
  insert(typed, "id,amount,price,flag,ratio,small,tiny,at,stamp,day,note,data,uid",
         "1,12345,100,1,3,0.5,255,'12:30:00.1234567','2024-02-29T10:11','2024-02-29','Grüße',x'',"
         "x'00112233445566778899aabbccddeeff'");
  insert(typed, "id,amount,ratio,at,stamp,note", "2,-5,1.25,'23:59:59','2024-02-29 10:11:12.1234567  ',''");
  insert(typed, "id,stamp", "3,'2024-02-29'");
  insert(typed, "id,note", "4,CAST(x'610062' AS TEXT)");  // a NUL character is part of the text
  ASSERT_EQ(push(), "ok");
  EXPECT_EQ(rows("SELECT LEN(note), DATALENGTH(note) FROM dbo.typed WHERE id = 4"), "3|6");
  EXPECT_EQ(rows("SELECT id, amount, price, flag, ratio, small, tiny, at, stamp, day, note, data, uid FROM dbo.typed "
                 "ORDER BY id"),
            "1|123.45|0.0100|1|3|0.5|255|12:30:00.1234567|2024-02-29 10:11:00.0000000|2024-02-29|Grüße||"
            "33221100-5544-7766-8899-AABBCCDDEEFF;"
            "2|-0.05|NULL|NULL|1.25|NULL|NULL|23:59:59.0000000|2024-02-29 10:11:12.1234567|NULL||NULL|NULL;"
            "3|NULL|NULL|NULL|NULL|NULL|NULL|NULL|2024-02-29 00:00:00.0000000|NULL|NULL|NULL|NULL;"
            "4|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|a|NULL|NULL");
}

// SQLite would hand each of these to its binding as another value (0, '', U+FFFD, a
// truncated time): the push is refused instead, naming the column and the row.
TEST_F(TypedImportTest, ValuesOfAnotherFormAreRefusedNotConverted) {
  struct Case {
    const char *column, *value, *found;
  } cases[] = {
      {"amount", "'abc'", "a text where an integer is expected"},
      {"amount", "1.5", "a real where an integer is expected"},
      {"amount", "10000000000", "the integer 10000000000, out of the type's range"},
      {"price", "'1.00'", "a text where an integer is expected"},
      {"flag", "'yes'", "a text where an integer is expected"},
      {"flag", "2", "the integer 2, out of the type's range"},
      {"tiny", "300", "the integer 300, out of the type's range"},
      {"ratio", "'NaN'", "a text where a real or an integer is expected"},
      {"ratio", "9e999", "the real inf, out of the type's range"},
      {"ratio", "-4.9e-324", "a subnormal number SQL Server refuses"},
      {"small", "1e39", "out of the type's range"},
      {"note", "x'00ff00ff'", "a blob where a UTF-8 text is expected"},
      {"note", "CAST(x'c328' AS TEXT)", "a text that is not UTF-8 where"},
      {"note", "42", "an integer where a UTF-8 text is expected"},
      {"day", "'2024-1-5'", "the text '2024-1-5' where a date text (YYYY-MM-DD or YYYYMMDD"},
      {"day", "'2023-02-29'", "the text '2023-02-29' where"},
      {"at", "'12:30:00 Z'", "the text '12:30:00 Z' where a time text"},
      {"at", "'24:00:00'", "the text '24:00:00' where"},
      {"stamp", "'2024-02-29 10:11:12.12345678'", "where a date and time text"},
      {"stamp", "'2024-02-29Z'", "where a date and time text"},
      {"data", "'abc'", "a text where a blob is expected"},
      {"uid", "x'00112233445566778899aabbccddee'", "a blob of 15 bytes where a blob of 16 bytes is expected"},
      {"id", "NULL", "NULL in a NOT NULL column where an integer is expected"},
  };
  exec("INSERT INTO dbo.typed (id, note) VALUES (1, N'kept')");
  int id = 10;
  for (const Case &c : cases) {
    std::string what = std::string(c.column) + " = " + c.value;
    new_package({typed});
    std::string rid;
    insert(typed, "id,note", std::to_string(++id) + ",'fine'");
    if (strcmp(c.column, "id") == 0)
      insert(typed, "id", c.value, &rid);
    else
      insert(typed, std::string("id,") + c.column, std::to_string(++id) + "," + c.value, &rid);
    std::string result = push();
    EXPECT_EQ(code_of(result), "400") << what << ": " << result;
    EXPECT_NE(result.find("[dbo].[typed]"), std::string::npos) << what << ": " << result;
    EXPECT_NE(result.find(std::string("column \"") + c.column + "\""), std::string::npos) << what << ": " << result;
    EXPECT_NE(result.find(c.found), std::string::npos) << what << ": " << result;
    char guid[QK_GUID_SZ_SIZE];
    QK_uint8 bytes[16];
    QK_hex__decode_16(ctx, rid.c_str(), bytes);
    EXPECT_NE(result.find(QK_guid__to_sz(bytes, guid)), std::string::npos) << what << ": " << result;
  }
  // A text of its form that SQL Server refuses for its width is the client's fault too.
  new_package({typed});
  insert(typed, "id,note", "99,'" + std::string(21, 'x') + "'");
  EXPECT_EQ(code_of(push()), "400");
  EXPECT_EQ(rows("SELECT id, note FROM dbo.typed"), "1|kept");
}

// The date and time forms SQL Server converts for each type are taken, as it converts them
// (a zone never moves the time; a missing date is 1900-01-01, a missing time midnight), and
// the forms it refuses are the client's 400.
struct TimesImportTest : ImportTest {
  std::string times;
  void SetUp() override {
    ImportTest::SetUp();
    run_script("cfg",
               "CREATE TABLE dbo.times (id int NOT NULL PRIMARY KEY, dt datetime NULL, sdt smalldatetime NULL, "
               "dt2 datetime2(7) NULL, d date NULL, t time(7) NULL)\n");
    times = add_table("dbo.times");
    tav_defin__free(ctx, &d);
    tav_db_mssql__fetch_schema(ctx, h, nullptr, nullptr, nullptr, &d);
    ASSERT_EQ(take_error(), "ok");
  }
};

TEST_F(TimesImportTest, EveryFormSqlServerConvertsAndNoOther) {
  struct Case {
    const char *column, *text;
    const char *stored;  // nullptr: refused
  } cases[] = {
      {"dt", "2024-01-02T03:04:05.000Z", "2024-01-02 03:04:05.000"},
      {"dt", "2024-01-02T03:04:05Z", "2024-01-02 03:04:05.000"},
      {"dt", "2024-01-02 03:04:05.123", "2024-01-02 03:04:05.123"},
      {"dt", "20240102 03:04", "2024-01-02 03:04:00.000"},
      {"dt", "20240102", "2024-01-02 00:00:00.000"},
      {"dt", " 03:04:05 ", "1900-01-01 03:04:05.000"},
      {"dt", "2024-01-02T03:04:05+01:00", nullptr},
      {"dt", "2024-01-02T03:04Z", nullptr},
      {"dt", "2024-01-02 03:04:05Z", nullptr},
      {"dt", "2024-01-02Z", nullptr},
      {"sdt", "2024-01-02T03:04:29.998Z", "2024-01-02 03:04:00"},
      {"sdt", "2024-01-02T03:04:30Z", "2024-01-02 03:05:00"},
      {"sdt", "2024-01-02T03:04:05-05:00", nullptr},
      {"dt2", "2024-01-02T03:04:05.1234567Z", "2024-01-02 03:04:05.1234567"},
      {"dt2", "2024-01-02T03:04:05+01:00", "2024-01-02 03:04:05.0000000"},
      {"dt2", "2024-01-02 03:04:05.5 -14:00", "2024-01-02 03:04:05.5000000"},
      {"dt2", "2024-01-02T03:04", "2024-01-02 03:04:00.0000000"},
      {"dt2", "12:00Z", "1900-01-01 12:00:00.0000000"},
      {"dt2", "2024-01-02T03:04:05+14:01", nullptr},
      {"dt2", "2024-01-02T03:04:05.12345678Z", nullptr},
      {"dt2", "20240102T03:04:05", nullptr},
      {"dt2", "2024-01-02T24:00:00", nullptr},
      {"d", "20240229", "2024-02-29"},
      {"d", "2024-01-02T23:59:59.9999999Z", "2024-01-02"},
      {"d", "12:00", "1900-01-01"},
      {"d", "2024-01-02Z", nullptr},
      {"d", "2024-1-5", nullptr},
      {"d", "2023-02-29", nullptr},
      {"t", "12:34:56.123Z", "12:34:56.1230000"},
      {"t", "12:34", "12:34:00.0000000"},
      {"t", "12:34:56+05:30", "12:34:56.0000000"},
      {"t", "2024-01-02 12:34:56.5", "12:34:56.5000000"},
      {"t", "2024-01-02", "00:00:00.0000000"},
      {"t", "24:00:00", nullptr},
      {"t", "12:34:56 Z", nullptr},
      {"t", "12:34:56.12345678", nullptr},
      {"t", "12:34:56-15:00", nullptr},
  };
  int id = 0;
  for (const Case &c : cases) {
    std::string what = std::string(c.column) + " = '" + c.text + "'";
    new_package({times});
    insert(times, std::string("id,") + c.column, std::to_string(++id) + ",'" + c.text + "'");
    std::string result = push();
    if (c.stored == nullptr) {
      EXPECT_EQ(code_of(result), "400") << what << ": " << result;
      EXPECT_NE(result.find(std::string("column \"") + c.column + "\""), std::string::npos) << what << ": " << result;
      continue;
    }
    EXPECT_EQ(result, "ok") << what;
    EXPECT_EQ(rows("SELECT " + std::string(c.column) + " FROM dbo.times WHERE id = " + std::to_string(id)), c.stored)
        << what;
  }
}

// owner <- item (identity key) <- part: the foreign keys are real ones, so that their rules apply.
struct ChainImportTest : ImportTest {
  std::string owner, item, part, itemFk, partFk;
  void SetUp() override {
    ImportTest::SetUp();
    run_script("cfg",
               "CREATE TABLE dbo.owner (id int NOT NULL PRIMARY KEY)\nGO\n"
               "CREATE TABLE dbo.item (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, owner_id int NULL "
               "REFERENCES dbo.owner(id))\nGO\n"
               "CREATE TABLE dbo.part (id int NOT NULL PRIMARY KEY, item_id int NULL REFERENCES dbo.item(id))\n");
    owner = add_table("dbo.owner");
    item = add_table("dbo.item");
    part = add_table("dbo.part");
    itemFk = std::to_string(int64("SELECT object_id FROM sys.foreign_keys WHERE parent_object_id = " + item));
    partFk = std::to_string(int64("SELECT object_id FROM sys.foreign_keys WHERE parent_object_id = " + part));
    tav_defin__add_table(ctx, d, owner.c_str(), "owner", 1);
    int_column(owner, "1", "id", 1);
    key(owner);
    tav_defin__add_table(ctx, d, item.c_str(), "item", 1);
    identity_key(item, "PK_item");
    int_column(item, "2", "owner_id", 0);
    tav_defin__add_table(ctx, d, part.c_str(), "part", 1);
    int_column(part, "1", "id", 1);
    int_column(part, "2", "item_id", 0);
    key(part);
    orphan_rules(6, 6);
    exec("INSERT INTO dbo.owner (id) VALUES (1)");
    exec("INSERT INTO dbo.item (owner_id) VALUES (1)");  // the server's item 1
  }
  // The "violation-on-insert" rules of both keys as the store reflects them (4: drop orphans,
  // 6: none; a definition never loses a rule, so none is 6 rather than 0).
  void orphan_rules(int itemAct, int partAct) {
    tav_defin__set_column_fk(ctx, d, item.c_str(), "2", 1, itemFk.c_str(), "FK_item", owner.c_str(), "1", 0,
                             "NO ACTION", "NO ACTION", itemAct);
    tav_defin__set_column_fk(ctx, d, part.c_str(), "2", 1, partFk.c_str(), "FK_part", item.c_str(), "1", 0,
                             "NO ACTION", "NO ACTION", partAct);
    ASSERT_EQ(take_error(), "ok");
  }
};

// A part's "C:1" that no item insert of the push maps must never become the server's item 1:
// the push is refused, or the part's orphan rule drops it.
TEST_F(ChainImportTest, AClientIdentityValueNoInsertMapsIsNeverAServerKey) {
  struct Case {
    const char *what;
    bool itemInsert;  // an item insert of the package takes C:1, its owner missing
    int itemAct, partAct;
    const char *result;
  } cases[] = {
      {"no insert of the value", false, 6, 6, "400"},
      {"no insert of the value, orphans dropped", false, 6, 4, "ok"},
      {"its insert dropped by the item's rule", true, 4, 6, "400"},
      {"its insert dropped by the item's rule, orphans dropped", true, 4, 4, "ok"},
  };
  for (const Case &c : cases) {
    orphan_rules(c.itemAct, c.partAct);
    new_package({item, part});
    if (c.itemInsert) insert(item, "id,owner_id", "'C:1',99");
    std::string rid;
    insert(part, "id,item_id", "10,'C:1'", &rid);
    std::string result = push();
    EXPECT_EQ(code_of(result), c.result) << c.what << ": " << result;
    if (strcmp(c.result, "400") == 0) {
      EXPECT_NE(result.find("[dbo].[part]"), std::string::npos) << c.what << ": " << result;
      EXPECT_NE(result.find("column \"item_id\" holds the client identity value C:1"), std::string::npos)
          << c.what << ": " << result;
    }
    EXPECT_EQ(rows("SELECT id, item_id FROM dbo.part"), "") << c.what;
    EXPECT_EQ(rows("SELECT id, owner_id FROM dbo.item"), "1|1") << c.what;
  }
  // A client value that equals the server value its row gets is mapped like any other.
  orphan_rules(6, 6);
  new_package({item, part});
  insert(item, "id,owner_id", "'C:2',1");
  insert(part, "id,item_id", "11,'C:2'");
  ASSERT_EQ(push(), "ok");
  EXPECT_EQ(rows("SELECT id, item_id FROM dbo.part"), "11|2");
}

}  // namespace

#endif

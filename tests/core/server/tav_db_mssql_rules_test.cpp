// Conflict rules and row-version lookups against the SQL Server stand-in.
#include "server/tav_db_mssql_rules.h"

#include "history_fixture.h"
#include "qk/qk_malloc.h"
#include "qksqlite/qk_sqlite.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

using Rules = HistoryTest;

TEST_F(Rules, TableRuleWinsOverDbfileRuleAndNullsKeepTheDefault) {
  ASSERT_EQ(cli("set-rule " + dataDir + " cfg demo 6 4 dbfile-extra"), 0);
  ASSERT_EQ(cli("set-rule " + dataDir + " cfg demo 2 12"), 0);
  ASSERT_EQ(cli("set-record-rule " + dataDir + " cfg dbo.t 6 12 table-extra"), 0);
  exec("INSERT INTO tavrin.demo$t$rules (sit, act, extra) VALUES (7, NULL, NULL)");
  struct Case {
    int sit, fallback;
    int act;
    const char *extra;
  } cases[] = {
      {6, 1, 12, "table-extra"},  // both exist: the table's rule
      {6, 0, 12, "table-extra"},
      {2, 1, 12, nullptr},  // only the dbfile's (its extra is NULL)
      {2, 0, -5, nullptr},  // no fallback asked: the default stays
      {7, 1, -5, nullptr},  // a NULL act and extra (dbfile rule) keep the caller's values
      {9, 1, -5, nullptr},  // no rule anywhere
  };
  for (const Case &c : cases) {
    int act = -5;
    char *extra = nullptr;
    tav_db_mssql__get_record_rule(ctx, h, tbl.c_str(), c.sit, c.fallback, &act, &extra);
    ASSERT_EQ(take_error(), "ok") << c.sit;
    EXPECT_EQ(act, c.act) << c.sit << "/" << c.fallback;
    EXPECT_STREQ(extra, c.extra) << c.sit << "/" << c.fallback;
    QK_free(ctx, extra);
  }
  int act = -5;
  char *extra = nullptr;
  tav_db_mssql__get_dbfile_rule(ctx, h, 6, &act, &extra);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(act, 4);
  EXPECT_STREQ(extra, "dbfile-extra");
  QK_free(ctx, extra);
  act = -5;
  tav_db_mssql__get_dbfile_rule(ctx, h, 2, &act, nullptr);  // extra not asked for
  EXPECT_EQ(act, 12);
  tav_db_mssql__get_record_rule(ctx, h, "12x", 6, 1, &act, nullptr);
  EXPECT_EQ(code(), 137u);
  QK_context__reset_error(ctx);
}

// Inside a transaction the baseline-purged lookup brings the table's PK-collision rule along:
// the later collision lookup must give what a lookup of its own gives, a missing rule included.
TEST_F(Rules, CollisionRuleReadAlongMatchesItsOwnLookup) {
  ASSERT_EQ(cli("set-rule " + dataDir + " cfg demo 6 4"), 0);
  ASSERT_EQ(cli("set-rule " + dataDir + " cfg demo 4 2"), 0);  // the dbfile's: no fallback for collisions
  for (const char *collision : {"", "3"}) {
    exec("DELETE FROM tavrin.rules_record");
    if (collision[0] != '\0') {
      ASSERT_EQ(cli("set-record-rule " + dataDir + " cfg dbo.t 4 " + collision), 0);
    }
    tav_db_mssql__begin_tx(ctx, h, nullptr);
    ASSERT_EQ(take_error(), "ok");
    int purged = -5, act = -5;
    tav_db_mssql__get_record_rule(ctx, h, tbl.c_str(), 6, 1, &purged, nullptr);
    tav_db_mssql__get_record_rule(ctx, h, tbl.c_str(), 4, 0, &act, nullptr);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(purged, 4) << collision;
    EXPECT_EQ(act, collision[0] != '\0' ? 3 : -5) << collision;
    tav_db_mssql__rollback_tx(ctx, h);
    EXPECT_EQ(take_error(), "ok");
  }
}

TEST_F(Rules, ColumnRulesDoNotFallBackToTheTableDefault) {
  ASSERT_EQ(cli("set-column-rule " + dataDir + " cfg dbo.t name 3 merge-script"), 0);
  ASSERT_EQ(cli("set-column-rule " + dataDir + " cfg dbo.t '*' 4"), 0);
  struct Case {
    const char *col;
    int act;
    const char *extra;
  } cases[] = {{"2", 3, "merge-script"}, {"", 4, nullptr}, {"1", -5, nullptr}};
  for (const Case &c : cases) {
    int act = -5;
    char *extra = nullptr;
    tav_db_mssql__get_column_rule(ctx, h, tbl.c_str(), c.col, &act, &extra);
    ASSERT_EQ(take_error(), "ok") << c.col;
    EXPECT_EQ(act, c.act) << c.col;
    EXPECT_STREQ(extra, c.extra) << c.col;
    QK_free(ctx, extra);
  }
  int act = 0;
  char *extra = nullptr;
  tav_db_mssql__get_column_rule(ctx, h, tbl.c_str(), "name", &act, &extra);
  EXPECT_EQ(code(), 137u) << "a column id, not a name";
  QK_context__reset_error(ctx);
}

TEST_F(Rules, UniqifyFunctionIsTheNewest) {
  exec("INSERT INTO tavrin.demo$t$zu (col, tbl, fn, txid) VALUES (N'2', N'" + tbl + "', N'old', 1), (N'2', N'" +
       tbl + "', N'new', 5), (N'1', N'" + tbl + "', N'other', 9)");
  char *fn = nullptr;
  tav_db_mssql__get_uniqify_fn(ctx, h, tbl.c_str(), "2", &fn);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_STREQ(fn, "new");
  QK_free(ctx, fn);
  tav_db_mssql__get_uniqify_fn(ctx, h, tbl.c_str(), "3", &fn);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(fn, nullptr);
}

TEST_F(Rules, LatestVersionAndVersionValuesFollowTheHistory) {
  exec("INSERT INTO dbo.t (id, name) VALUES (1, N'a')");
  QK_int64 tInsert = max_txid();
  exec("UPDATE dbo.t SET name = N'b' WHERE id = 1");
  exec("UPDATE dbo.t SET name = N'c' WHERE id = 1");
  QK_int64 tUpdate = max_txid();
  std::vector<QK_uint8> rid = rid_of(1);

  QK_int64 txid = -1, deleting = -1;
  tav_db_mssql__get_latest_row_version(ctx, h, tbl.c_str(), rid.data(), &txid, &deleting);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, tUpdate);
  EXPECT_EQ(deleting, 0) << "a live row";

  exec("DELETE FROM dbo.t WHERE id = 1");
  QK_int64 tDelete = max_txid();
  tav_db_mssql__get_latest_row_version(ctx, h, tbl.c_str(), rid.data(), &txid, &deleting);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, tUpdate) << "the version the delete ended, not one an update superseded";
  EXPECT_EQ(deleting, tDelete);

  QK_uint8 unknown[16] = {1, 2, 3};
  tav_db_mssql__get_latest_row_version(ctx, h, tbl.c_str(), unknown, &txid, &deleting);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, 0);
  EXPECT_EQ(deleting, 0);

  // Every version's values, all from the old values now the row is gone; a live one from the row.
  exec("INSERT INTO dbo.t (id, name) VALUES (2, N'live')");
  QK_int64 tLive = max_txid();
  QK_vhash *cols = nullptr;
  QK_vhash__alloc(ctx, &cols);
  QK_vhash__add__null(ctx, cols, "name");
  QK_vhash__add__null(ctx, cols, "id");
  struct Case {
    std::vector<QK_uint8> rid;
    QK_int64 txid;
    const char *json;
  } cases[] = {{rid, tInsert, R"({"name":"a","id":1})"},
               {rid, tUpdate, R"({"name":"c","id":1})"},
               {rid_of(2), tLive, R"({"name":"live","id":2})"},
               {rid, tDelete, "<null>"}};
  for (const Case &c : cases) {
    QK_vhash *row = nullptr;
    tav_db_mssql__fetch_row_version(ctx, h, tbl.c_str(), cols, c.rid.data(), c.txid, &row);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(vhash_json(ctx, row), c.json) << c.txid;
    QK_vhash__free(ctx, row);
  }
  QK_vhash__free(ctx, cols);
}

TEST_F(Rules, RowByKeyPrefersTheLiveRowOverDeletedOnes) {
  exec("INSERT INTO dbo.t (id, name) VALUES (1, N'first')");
  std::vector<QK_uint8> firstRid = rid_of(1);
  exec("DELETE FROM dbo.t WHERE id = 1");
  QK_int64 tDelete = max_txid();
  exec("INSERT INTO dbo.t (id, name) VALUES (3, N'gone')");
  QK_int64 tGone = max_txid();
  std::vector<QK_uint8> goneRid = rid_of(3);
  exec("DELETE FROM dbo.t WHERE id = 3");
  QK_int64 tGoneDelete = max_txid();
  exec("INSERT INTO dbo.t (id, name) VALUES (1, N'second')");
  QK_int64 tSecond = max_txid();
  std::vector<QK_uint8> secondRid = rid_of(1);
  ASSERT_NE(firstRid, secondRid);
  (void)tDelete;

  sqlite3 *pkg = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &pkg), SQLITE_OK);
  struct Case {
    int key;
    std::vector<QK_uint8> rid;
    QK_int64 txid, deleting;
  } cases[] = {{1, secondRid, tSecond, 0},
               {3, goneRid, tGone, tGoneDelete},
               {4, std::vector<QK_uint8>(16, 0xAB), -7, -7}};  // unknown: the caller's values stay
  for (const Case &c : cases) {
    sqlite3_stmt *st = nullptr;
    QK_sqlite__prepare_printf(ctx, pkg, &st, "SELECT %d AS id", c.key);
    int row = 0;
    QK_sqlite__step_row(ctx, st, &row);
    std::vector<QK_uint8> rid(16, 0xAB);
    QK_int64 txid = -7, deleting = -7;
    tav_db_mssql__find_row_by_unique_key(ctx, h, tbl.c_str(), d, st, rid.data(), &txid, &deleting);
    EXPECT_EQ(take_error(), "ok") << c.key;
    EXPECT_EQ(rid_text(rid), rid_text(c.rid)) << c.key;
    EXPECT_EQ(txid, c.txid) << c.key;
    EXPECT_EQ(deleting, c.deleting) << c.key;
    QK_sqlite__finalize(ctx, &st);
  }
  sqlite3_close(pkg);
}

}  // namespace

#endif

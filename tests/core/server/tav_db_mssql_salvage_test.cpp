// Salvage (conflicting package changes against the server's history) and the row dump of
// uploaded packages, against the SQL Server stand-in.
#include "server/tav_db_mssql_salvage.h"

#include <map>

#include "history_fixture.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql.h"
#include "server/tav_db_mssql_rules.h"
#include "server/tav_handle_conflicts.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

struct Salvage : HistoryTest {
  sqlite3 *pkg = nullptr;
  void SetUp() override {
    HistoryTest::SetUp();
    ASSERT_EQ(sqlite3_open(":memory:", &pkg), SQLITE_OK);
    // The delta table as a converted generation package has it (with purged_flag).
    exec_sqlite("CREATE TABLE \"p$rd$" + tbl +
                "\"(rid BLOB NOT NULL, txid_rec_add INT NULL, txid_rec_del INT NULL, txid INT NOT NULL,"
                " purged_flag INT NOT NULL DEFAULT 0)");
  }
  void TearDown() override {
    sqlite3_close(pkg);
    HistoryTest::TearDown();
  }
  void exec_sqlite(const std::string &sql) {
    ASSERT_EQ(sqlite3_exec(pkg, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(pkg);
  }
  // One delta row; rid given as bytes, NULLs as nullptr.
  void delta(const std::vector<QK_uint8> &rid, const char *add, const char *del, QK_int64 txid, int purged = 0) {
    sqlite3_stmt *st = nullptr;
    std::string sql = "INSERT INTO \"p$rd$" + tbl + "\" (rid, txid_rec_add, txid_rec_del, txid, purged_flag) VALUES (?, " +
                      (add ? add : "NULL") + ", " + (del ? del : "NULL") + ", " + std::to_string(txid) + ", " +
                      std::to_string(purged) + ")";
    ASSERT_EQ(sqlite3_prepare_v2(pkg, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(pkg);
    if (rid.empty())
      sqlite3_bind_zeroblob(st, 1, 0);
    else
      sqlite3_bind_blob(st, 1, rid.data(), (int)rid.size(), SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
  }
};

TEST_F(Salvage, ListsChangesThatMeetServerChanges) {
  exec("INSERT INTO dbo.t (id, name) VALUES (1, N'a')");
  std::string tA = std::to_string(max_txid());
  exec("UPDATE dbo.t SET name = N'by another client' WHERE id = 1");
  exec("INSERT INTO dbo.t (id, name) VALUES (2, N'b')");
  std::string tB = std::to_string(max_txid());
  exec("INSERT INTO dbo.t (id, name) VALUES (3, N'c')");
  std::string tC = std::to_string(max_txid());
  exec("DELETE FROM dbo.t WHERE id = 3");
  std::vector<QK_uint8> r1 = rid_of(1), r2 = rid_of(2), r3 = rid_of(3), own(16, 0x11), fresh(16, 0x22);
  std::map<std::string, std::string> names = {{rid_text(r1), "r1"},   {rid_text(r2), "r2"},
                                              {rid_text(r3), "r3"},   {rid_text(own), "own"},
                                              {rid_text(fresh), "fresh"}};

  delta(r1, "9223372036854775792", tA.c_str(), 10);  // 1: its base was superseded on the server
  delta(r2, "9223372036854775792", tB.c_str(), 11);  // 2: based on the current version
  delta(r3, "9223372036854775792", tC.c_str(), 12);  // 3: its base was deleted
  delta(own, "9223372036854775792", "-1", 13);       // 4: based on the client's own history
  delta(r2, "9223372036854775792", nullptr, 14);     // 5: a "new" row the server knows
  delta(fresh, "9223372036854775792", nullptr, 15);  // 6: really new
  delta(r1, nullptr, "5", 9, 1);                     // 7: purged: listed, never compared

  QK_varray *list = nullptr;
  tav_db_mssql__salvage(ctx, h, d, tbl.c_str(), nullptr, pkg, &list);
  ASSERT_EQ(take_error(), "ok");
  std::string got;
  QK_uint32 n = 0;
  QK_varray__count(ctx, list, &n);
  for (QK_uint32 i = 0; i < n; i++) {
    QK_vhash *e = nullptr;
    QK_int64 rowid, add, del, txid;
    int purged;
    const char *rid;
    QK_varray__get__vhash(ctx, list, i, &e);
    QK_vhash__get__int64(ctx, e, "_ROWID_", &rowid);
    QK_vhash__get__sz(ctx, e, "rid", &rid);
    QK_vhash__get__int64(ctx, e, "txid_rec_add", &add);
    QK_vhash__get__int64(ctx, e, "txid_rec_del", &del);
    QK_vhash__get__int64(ctx, e, "txid", &txid);
    QK_vhash__get__bool(ctx, e, "purged_flag", &purged);
    got += std::to_string(rowid) + ":" + names[rid] + ":" + std::to_string(add) + ":" + std::to_string(del) + ":" +
           std::to_string(txid) + (purged ? ":purged" : "") + " ";
  }
  EXPECT_EQ(take_error(), "ok");
  const std::string P = "9223372036854775792";
  EXPECT_EQ(got, "7:r1:0:5:9:purged 1:r1:" + P + ":" + tA + ":10 3:r3:" + P + ":" + tC + ":12 4:own:" + P +
                     ":-1:13 5:r2:" + P + ":0:14 ");
  QK_varray__free(ctx, list);

  // Nothing in the package: an empty list, not NULL.
  exec_sqlite("DELETE FROM \"p$rd$" + tbl + "\"");
  tav_db_mssql__salvage(ctx, h, d, tbl.c_str(), nullptr, pkg, &list);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_NE(list, nullptr);
  QK_varray__count(ctx, list, &n);
  EXPECT_EQ(n, 0u);
  QK_varray__free(ctx, list);
}

// The rows of the conflicts table go in statements of up to 400 rows, and the queries that read
// them ride in the batch of the last ones: also when no row is left for that batch.
TEST_F(Salvage, ListsAlikeWhetherTheRowsFillWholeStatementsOrNot) {
  exec("INSERT INTO dbo.t (id, name) VALUES (1, N'a')");
  std::string tA = std::to_string(max_txid());
  exec("UPDATE dbo.t SET name = N'by another client' WHERE id = 1");
  exec("INSERT INTO dbo.t (id, name) VALUES (2, N'b')");
  std::vector<QK_uint8> r1 = rid_of(1), r2 = rid_of(2);
  for (int rows : {400, 401}) {
    SCOPED_TRACE(rows);
    exec_sqlite("DELETE FROM \"p$rd$" + tbl + "\"");
    // Changes: one of a superseded version, the others based on the client's own history.
    // New rows: one the server knows, the others really new.
    delta(r1, "9223372036854775792", tA.c_str(), 1);
    delta(r2, "9223372036854775792", nullptr, 2);
    for (int i = 1; i < rows; i++) {
      std::vector<QK_uint8> own(16, 0x30), fresh(16, 0x40);
      own[0] = fresh[0] = (QK_uint8)(i & 0xFF);
      own[1] = fresh[1] = (QK_uint8)(i >> 8);
      delta(own, "9223372036854775792", "-1", 10 + i);
      delta(fresh, "9223372036854775792", nullptr, 1000 + i);
    }
    QK_varray *list = nullptr;
    tav_db_mssql__salvage(ctx, h, d, tbl.c_str(), nullptr, pkg, &list);
    ASSERT_EQ(take_error(), "ok");
    std::map<std::string, int> kinds;
    QK_uint32 n = 0;
    QK_varray__count(ctx, list, &n);
    for (QK_uint32 i = 0; i < n; i++) {
      QK_vhash *e = nullptr;
      const char *rid;
      QK_int64 del;
      QK_varray__get__vhash(ctx, list, i, &e);
      QK_vhash__get__sz(ctx, e, "rid", &rid);
      QK_vhash__get__int64(ctx, e, "txid_rec_del", &del);
      kinds[rid == rid_text(r1) ? "superseded" : rid == rid_text(r2) ? "known new" : del == -1 ? "own" : "other"]++;
    }
    QK_varray__free(ctx, list);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(kinds, (std::map<std::string, int>{{"known new", 1}, {"own", rows - 1}, {"superseded", 1}}));
  }
}

// The listing reads the history of its entries ahead; the lookups of the conflict resolution
// must answer exactly as SQL Server does for each entry alone, until the transaction ends.
TEST_F(Salvage, HistoryReadAheadAnswersAsTheLookupsOfOneRow) {
  exec("INSERT INTO dbo.t (id, name) VALUES (1, N'a'), (2, N'b'), (3, N'c')");
  std::string tA = std::to_string(max_txid());
  exec("UPDATE dbo.t SET name = N'by another client' WHERE id = 1");
  exec("UPDATE dbo.t SET name = N'twice' WHERE id = 1");
  exec("DELETE FROM dbo.t WHERE id = 3");
  std::vector<QK_uint8> r1 = rid_of(1), r2 = rid_of(2), r3 = rid_of(3), own(16, 0x11), gone(16, 0x33);
  exec_sqlite("CREATE TABLE \"p$u$" + tbl + "\" (z_rid BLOB, z_txid INT, \"name\", \"id\")");
  const std::string P = "9223372036854775792";
  delta(r1, P.c_str(), tA.c_str(), 10);  // updated twice since its base
  delta(r3, P.c_str(), tA.c_str(), 12);  // deleted since its base
  delta(own, P.c_str(), "-1", 13);       // the client's own history
  delta(r2, P.c_str(), nullptr, 14);     // a "new" row the server knows
  delta(gone, nullptr, "5", 9, 1);       // purged, of a row the server never had
  // A row deleted in 101 and brought back in 102 under its row id: two versions that no update
  // superseded, the newer one counts.
  std::vector<QK_uint8> again(16, 0x44);
  std::string againText = rid_text(again);
  exec("INSERT INTO " + obj("z$rv$") + " (rid, txid) VALUES ('" + againText + "', 100)");
  exec("INSERT INTO " + obj("z$dd$") + " (rv, txid) SELECT z_rv, 101 FROM " + obj("z$rv$") + " WHERE txid = 100");
  exec("INSERT INTO " + obj("z$rv$") + " (rid, txid) VALUES ('" + againText + "', 102)");
  delta(again, P.c_str(), "100", 15);

  tav_db_handle *plain = nullptr;  // the same connection, nothing read ahead
  tav_db_mssql__handle_alloc(ctx, conn, "demo", &plain);
  QK_vhash *cols = nullptr;
  tav_pkg__get_table_columns(ctx, pkg, tbl.c_str(), &cols);
  auto lookups = [&](tav_db_handle *handle, const std::vector<QK_uint8> &rid, QK_int64 base) {
    QK_int64 latest = -7, deleting = -7;
    tav_db_mssql__get_latest_row_version(ctx, handle, tbl.c_str(), rid.data(), &latest, &deleting);
    std::string out = std::to_string(latest) + "/" + std::to_string(deleting);
    for (QK_int64 txid : {latest, base}) {
      QK_vhash *row = nullptr;
      if (txid == 0) continue;
      tav_db_mssql__fetch_row_version(ctx, handle, tbl.c_str(), cols, rid.data(), txid, &row);
      QK_string *json = nullptr;
      QK_string__alloc(ctx, &json);
      if (row != nullptr) QK_vhash__to_json(ctx, row, json);
      out += std::string(" ") + (row != nullptr ? QK_string__sz(json) : "none");
      QK_string__free(ctx, json);
      QK_vhash__free(ctx, row);
    }
    return out + (take_error() == "ok" ? "" : " error");
  };

  QK_varray *list = nullptr;
  tav_db_mssql__salvage(ctx, h, d, tbl.c_str(), nullptr, pkg, &list);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_NE(h->pHistory, nullptr);
  QK_uint32 n = 0;
  QK_varray__count(ctx, list, &n);
  EXPECT_EQ(n, 6u);
  for (QK_uint32 i = 0; i < n; i++) {
    QK_vhash *e = nullptr;
    const char *ridText = nullptr;
    QK_int64 del = 0;
    std::vector<QK_uint8> rid(16);
    QK_varray__get__vhash(ctx, list, i, &e);
    QK_vhash__get__sz(ctx, e, "rid", &ridText);
    QK_vhash__get__int64(ctx, e, "txid_rec_del", &del);
    QK_guid__from_sz(ctx, ridText, rid.data());
    EXPECT_EQ(lookups(h, rid, del), lookups(plain, rid, del)) << ridText;
  }
  EXPECT_EQ(lookups(h, again, 0), "102/0 none");
  // Values read over other columns do not answer: the columns in another order, or fewer of them.
  QK_vhash *listed = cols, *reversed = nullptr, *fewer = nullptr;
  QK_uint32 ncols = 0;
  QK_vhash__alloc(ctx, &reversed);
  QK_vhash__alloc(ctx, &fewer);
  QK_vhash__count(ctx, listed, &ncols);
  ASSERT_GE(ncols, 2u);
  for (QK_uint32 i = ncols; i-- > 0;) {
    const char *name = nullptr;
    QK_vhash__get_nth_pair(ctx, listed, i, &name, nullptr);
    QK_vhash__add__null(ctx, reversed, name);
    if (i == 0) QK_vhash__add__null(ctx, fewer, name);
  }
  for (QK_vhash *other : {reversed, fewer}) {
    cols = other;
    EXPECT_EQ(lookups(h, r1, std::stoll(tA)), lookups(plain, r1, std::stoll(tA)));
  }
  cols = listed;
  QK_vhash__free(ctx, reversed);
  QK_vhash__free(ctx, fewer);
  // Rules are read once: an absent rule leaves the default, a present one gives act and extra.
  exec("INSERT INTO tavrin.rules_record (sit, tbl_id, act, extra) VALUES (3, " + tbl + ", 4, N'x')");
  for (int round = 0; round < 2; round++) {
    int act = -1;
    char *extra = nullptr;
    tav_db_mssql__get_record_rule(ctx, h, tbl.c_str(), 3, 0, &act, &extra);
    EXPECT_EQ(act, 4) << round;
    EXPECT_STREQ(extra ? extra : "none", "x") << round;
    QK_free(ctx, extra);
    act = -1;
    tav_db_mssql__get_record_rule(ctx, h, tbl.c_str(), 2, 0, &act, nullptr);
    EXPECT_EQ(act, -1) << round;
  }
  EXPECT_EQ(take_error(), "ok");

  // A transaction's end forgets what was read: later lookups see later changes.
  exec("UPDATE dbo.t SET name = N'later' WHERE id = 2");
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  EXPECT_EQ(h->pHistory, nullptr);
  EXPECT_EQ(lookups(h, r2, 0), lookups(plain, r2, 0));
  EXPECT_NE(lookups(h, r2, 0).find("later"), std::string::npos);
  tav_db_mssql__rollback_tx(ctx, h);
  EXPECT_EQ(take_error(), "ok");
  QK_vhash__free(ctx, cols);
  QK_varray__free(ctx, list);
  tav_db_mssql__handle_free(ctx, &plain);
}

TEST_F(Salvage, MalformedRowIdsAreRefused) {
  struct Case {
    std::vector<QK_uint8> rid;
    const char *del;
    std::string message;
  } cases[] = {{{}, "1", "guid blob misssing"},
               {{1, 2, 3}, "1", "guid blob must be 16 bytes: 3"},
               {std::vector<QK_uint8>(17, 0), nullptr, "guid blob must be 16 bytes: 17"}};
  for (const Case &c : cases) {
    exec_sqlite("DELETE FROM \"p$rd$" + tbl + "\"");
    delta(c.rid, nullptr, c.del, 1);
    QK_varray *list = nullptr;
    tav_db_mssql__salvage(ctx, h, d, tbl.c_str(), nullptr, pkg, &list);
    EXPECT_EQ(code(), 400u);  // the package is at fault: a bad request
    EXPECT_EQ(message(), c.message);
    EXPECT_EQ(list, nullptr);
    QK_context__reset_error(ctx);
  }
}

struct Dump : HistoryTest {
  std::string path;
  void SetUp() override {
    HistoryTest::SetUp();
    path = dataDir + "/upload.pkg";
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string sql = "CREATE TABLE \"p$u$" + tbl +
                      "\" (z_rid BLOB, id INTEGER, name TEXT, r REAL, b BLOB);"
                      "INSERT INTO \"p$u$" + tbl +
                      "\" VALUES (x'00ff', 1, 'a\"b' || char(0), 0.5, x'0aFF10');"
                      "INSERT INTO \"p$u$" + tbl +
                      "\" VALUES (NULL, 5000000000, NULL, NULL, x'');"
                      "CREATE TABLE \"p$rd$" + tbl + "\" (rid BLOB);";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  // The SHA-1 of a text as sha1sum computes it.
  std::string sha1(const std::string &text) {
    std::string file = dataDir + "/row.txt";
    FILE *f = fopen(file.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    FILE *p = popen(("sha1sum " + file).c_str(), "r");
    char buf[41] = {0};
    size_t n = fread(buf, 1, 40, p);
    pclose(p);
    return std::string(buf, n);
  }
};

TEST_F(Dump, KeepsOneTextPerDistinctRowAndWhoSentIt) {
  tav_db_mssql__dump_rows(ctx, h, path.c_str(), "ann");
  ASSERT_EQ(take_error(), "ok");
  // The texts and their SHA-1 keys, checked by an outside digest.
  // A NUL character of a text is kept, written as an escape.
  const std::string row1 = R"({"z_rid":"0x00ff","id":1,"name":"a\"b\u0000","r":0.500000,"b":"0x0aff10"})";
  const std::string row2 = R"({"z_rid":null,"id":5000000000,"name":null,"r":null,"b":"0x"})";
  for (const std::string &row : {row1, row2}) {
    std::string hash = sha1(row);
    EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.demo$r$dump_rows WHERE [hash] = '" + hash + "' AND [json] = N'" +
                    row + "'"),
              1)
        << row;
    EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.demo$r$dump WHERE [row] = '" + hash + "' AND username = N'ann'"
                    " AND table_id = " + tbl),
              1)
        << row;
  }

  // The same upload again: no new texts; known senders are marked received again, a new one added.
  exec("UPDATE tavrin.demo$r$dump SET last_received = '2000-01-01'");
  tav_db_mssql__dump_rows(ctx, h, path.c_str(), "ann");
  tav_db_mssql__dump_rows(ctx, h, path.c_str(), nullptr);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.demo$r$dump_rows"), 2);
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.demo$r$dump WHERE username = N'ann' AND last_received > '2000-01-01'"),
            2);
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.demo$r$dump WHERE username = N''"), 2);
}

TEST_F(Dump, AFailureRollsTheDumpBack) {
  // The second table's id is not a number: the rows already stored go away again.
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE \"p$u$zz\" (a); INSERT INTO \"p$u$zz\" VALUES (1);", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  tav_db_mssql__dump_rows(ctx, h, path.c_str(), "ann");
  EXPECT_EQ(code(), 137u);
  QK_context__reset_error(ctx);
  tav_db_mssql__dump_rows(ctx, h, (dataDir + "/missing.pkg").c_str(), "ann");
  EXPECT_NE(take_error(), "ok");
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.demo$r$dump_rows"), 0);
  EXPECT_EQ(int64("SELECT @@TRANCOUNT"), 0);
}

}  // namespace

#endif

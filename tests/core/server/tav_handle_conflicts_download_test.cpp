// Download packages built against the SQL Server stand-in for every kind of client baseline,
// each package read from outside (python's sqlite3) and judged by the package inspector.
#include "download_fixture.h"

#include "common/tav_parse_defin_query.h"
#include "server/tav_db_mssql_acl.h"
#include "server/tav_handle_conflicts_download.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni g_odbc_ini;

struct BuilderTest : DownloadTest {
  QK_vhash *status = nullptr;
  tav_baseline b = {};

  void TearDown() override {
    QK_vhash__free(ctx, status);
    tav_baseline__free_collections(ctx, &b);
    DownloadTest::TearDown();
  }
  // Builds in a transaction of its own, as a pull does; "ok" or the error.
  std::string build(int pv, const std::string &from, int push = 0, int full = 0, const QK_uint8 *pending = nullptr,
                    tav_filter *f = nullptr, tav_filter *pf = nullptr, const QK_vhash *fb = nullptr) {
    tav_baseline__free_collections(ctx, &b);
    b = {};
    if (!from.empty()) tav_respond__parse_baseline(ctx, from.c_str(), &b);
    EXPECT_EQ(take_error(), "ok") << from;
    QK_vhash__free(ctx, status);
    status = nullptr;
    tav_pkg__close(ctx, &pkg);
    QK_int64 g = 0;
    tav_db_mssql__begin_tx(ctx, h, &g);
    EXPECT_EQ(take_error(), "ok");
    tav_export__package(ctx, work.c_str(), &ops, h, pv, push, full, &b, g, pending, f, pf, fb, 0, &pkg, &status);
    std::string err = take_error();
    if (err == "ok")
      tav_db_mssql__commit_tx(ctx, h);
    else
      tav_db_mssql__rollback_tx(ctx, h);
    EXPECT_EQ(take_error(), "ok");
    return err;
  }
  std::string status_json() {
    if (!status) return "<none>";
    QK_string *s = nullptr;
    QK_string__alloc(ctx, &s);
    QK_vhash__to_json(ctx, status, s);
    std::string r = QK_string__sz(s);
    QK_string__free(ctx, s);
    return r;
  }
  // Commits a package a status answer left open, so that it can be read.
  void close_open_package() {
    ASSERT_NE(pkg.db, nullptr);
    sqlite3_exec(pkg.db, "COMMIT TRANSACTION", nullptr, nullptr, nullptr);
    sqlite3_close(pkg.db);
    pkg.db = nullptr;
  }
  std::string schema_file() {
    tav_defin *d = nullptr;
    QK_int64 s = 0;
    tav_db_mssql__fetch_schema(ctx, h, nullptr, &s, nullptr, &d);
    QK_string *json = nullptr;
    tav_defin__to_json(ctx, d, &json);
    EXPECT_EQ(take_error(), "ok");
    std::string p = work + "/schema.json";
    std::ofstream(p) << QK_string__sz(json);
    QK_string__free(ctx, json);
    tav_defin__free(ctx, &d);
    return p;
  }
  QK_int64 max_txid() { return int64("SELECT MAX(txid) FROM tavrin.demo$t$tx"); }
  // A filter stored under the id, as the store hands it out.
  tav_filter *stored_filter(int id, const std::string &json) {
    std::string out;
    EXPECT_EQ(cli("add-filter " + dataDir + " shop demo " + std::to_string(id) + " '" + json + "'", &out), 0) << out;
    tav_filter *f = nullptr;
    tav_db_mssql__get_filter(ctx, h, id, nullptr, &f);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_NE(f, nullptr);
    return f;
  }
  // The package's filter base, or the member at path in it ("NULL" when absent).
  std::string filter_base(int pv, const std::string &path = "") {
    return pv < 6 ? rows("SELECT CASE WHEN typeof(rebaseid) = 'text' THEN json_extract(rebaseid, '$" + path +
                         "') END FROM p$tx WHERE txid = 0")
                  : rows("SELECT json_extract(id, '$.\"filter-base\"" + path + "') FROM p$gen WHERE generation = 0");
  }
  // A baseline text with its count field replaced.
  static std::string with_count(const std::string &base, long long count) {
    size_t a = base.find(','), b1 = base.find(',', a + 1), c = base.find(',', b1 + 1), d = base.find(',', c + 1);
    return base.substr(0, c + 1) + std::to_string(count) + base.substr(d);
  }
};

}  // namespace

TEST(DownloadStatements, TxidRangeHoldsItsStretchAndTheSingleTxids) {
  QK_context *ctx = nullptr;
  ASSERT_EQ(QK_context__alloc(&ctx), QK_OK);
  QK_varray *txids = nullptr;
  QK_varray__alloc(ctx, &txids);
  QK_varray__append__int64(ctx, txids, 3);
  struct {
    QK_int64 txid;
    const QK_varray *list;
    int expected;
  } cases[] = {{5, nullptr, 1}, {9, nullptr, 1}, {4, nullptr, 0}, {3, nullptr, 0}, {3, txids, 1}, {0, txids, 0}};
  for (const auto &c : cases) {
    int in = -1;
    tav_export__txid_in_range(ctx, c.txid, 5, 9, c.list, &in);
    EXPECT_FALSE(QK_context__has_error(ctx));
    EXPECT_EQ(in, c.expected) << c.txid;
  }
  int in = -1;
  tav_export__txid_in_range(ctx, 10, 5, 9, txids, &in);
  QK_error err;
  QK_context__get_error(ctx, &err);
  EXPECT_EQ(QK_ERROR_CODE(err), 91u) << "a txid past the end is a schema change under the export";
  QK_context__reset_error(ctx);
  QK_varray__free(ctx, txids);
  QK_context__free(ctx);
}

TEST_F(BuilderTest, PackageStatementsNameEveryColumnOnce) {
  tav_defin *d = nullptr;
  QK_int64 s = 0;
  tav_db_mssql__fetch_schema(ctx, h, nullptr, &s, nullptr, &d);
  QK_string *sql = nullptr;
  tav_export__build_row_insert(ctx, 4, d, items.c_str(), &sql);
  EXPECT_EQ(std::string(QK_string__sz(sql)),
            "INSERT INTO \"p$u$" + items + "\" (z_rid,z_txid,\"id\",\"name\",\"qty\") VALUES (?,?,?,?,?)");
  QK_string__free(ctx, sql);
  tav_export__build_row_insert(ctx, 6, d, items.c_str(), &sql);
  EXPECT_EQ(std::string(QK_string__sz(sql)), "INSERT INTO \"p$u$" + items +
                                                 "\" (z_rid,z_gen_del,z_gen_add,\"id\",\"name\",\"qty\") VALUES "
                                                 "(?,?,?,?,?,?)");
  QK_string__free(ctx, sql);
  QK_vhash *dump = nullptr;
  QK_vhash__alloc__from_json(ctx, &dump, "{\"3\":\"qty\"}");
  tav_export__build_dump_insert(ctx, d, items.c_str(), dump, &sql);
  EXPECT_EQ(std::string(QK_string__sz(sql)), "INSERT INTO \"p$u$" + items + "\" (\"id\", \"qty\") VALUES (?,?)");
  QK_string__free(ctx, sql);
  QK_vhash__free(ctx, dump);
  tav_defin__free(ctx, &d);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(BuilderTest, FreshClientOfEveryVersionGetsTheWholeDbfile) {
  std::string schema = schema_file(), first = rstamp_hex(1), last = std::to_string(max_txid());
  for (int pv = 2; pv <= 6; pv++) {
    SCOPED_TRACE(pv);
    ASSERT_EQ(build(pv, ""), "ok");
    ASSERT_EQ(status, nullptr) << status_json();
    ASSERT_NE(pkg.path, nullptr);
    EXPECT_EQ(inspect_pkg("--version " + std::to_string(pv) + " --schema " + schema), "ok");
    EXPECT_EQ(rows("SELECT name, qty FROM \"p$u$" + items + "\" WHERE name IS NOT NULL ORDER BY name"), "A|1;c|3");
    EXPECT_EQ(rows("SELECT label FROM \"p$u$" + parts + "\" WHERE label IS NOT NULL"), "p1");
    if (pv <= 3) {
      EXPECT_EQ(rows("SELECT count(*) FROM p$s"), "1");
      EXPECT_EQ(rows("SELECT count(*), max(txid) FROM p$tx WHERE txid > 0"), last + "|" + last);
      EXPECT_EQ(rows("SELECT count(*) FROM p$tx WHERE scheme = 'last_sync_txid'"), "0");
    } else if (pv <= 5) {
      EXPECT_EQ(rows("SELECT lower(hex(rstamp)) FROM p$tx WHERE txid = 'first'"), first);
      std::string base = rows("SELECT rstamp FROM p$tx WHERE txid = 0");
      EXPECT_EQ(base.substr(0, last.size() + 1), last + ",") << base;
      EXPECT_EQ(rows("SELECT count(*) FROM p$tx WHERE txid = -1"), "1") << "the schema goes to a new client";
      if (pv == 5) {
        EXPECT_EQ(rows("SELECT txid, rstamp FROM p$tx WHERE txid > 0 ORDER BY txid LIMIT 1"), "1|1");
      }
    } else {
      EXPECT_EQ(rows("SELECT json_extract(id, '$.pv'), json_extract(id, '$.\"first-rstamp\"'), "
                     "json_type(id, '$.schema') FROM p$gen WHERE generation = 0"),
                "6|" + first + "|object");
      EXPECT_NE(rows("SELECT count(*) FROM p$gen WHERE generation > 0"), "0");
    }
  }
}

TEST_F(BuilderTest, IncrementalPullSendsOnlyWhatTheClientLacks) {
  for (int pv : {4, 5, 6}) {
    SCOPED_TRACE(pv);
    ASSERT_EQ(build(pv, ""), "ok");
    std::string base = next_baseline();
    QK_int64 t3 = write("UPDATE dbo.items SET qty = qty + 10 WHERE id = 3");
    ASSERT_EQ(build(pv, base), "ok");
    ASSERT_NE(pkg.path, nullptr) << status_json();
    EXPECT_EQ(inspect_pkg("--version " + std::to_string(pv)), "ok");
    EXPECT_EQ(rows("SELECT name FROM \"p$u$" + items + "\""), "c");
    EXPECT_EQ(rows("SELECT count(*) FROM sqlite_master WHERE name LIKE '%" + parts + "'"), "0")
        << "an unchanged table stays out";
    if (pv < 6) {
      EXPECT_EQ(rows("SELECT txid FROM \"p$rd$" + items + "\""), std::to_string(t3));
    } else {
      EXPECT_EQ(rows("SELECT json_type(id, '$.schema') FROM p$gen WHERE generation = 0"), "NULL")
          << "an unchanged schema is not sent again";
    }

    std::string upToDate = next_baseline();
    ASSERT_EQ(build(pv, upToDate), "ok");
    EXPECT_EQ(pkg.path, nullptr) << "nothing to send";
    ASSERT_EQ(build(pv, upToDate, 1), "ok");
    ASSERT_NE(pkg.path, nullptr) << "the answer to a push always has a package";
    EXPECT_EQ(inspect_pkg("--version " + std::to_string(pv)), "ok");
  }
}

TEST_F(BuilderTest, AListedMissingTxidReachesEveryTableItChanged) {
  // The client holds T4 but lacks T3, which changed both tables: every table reads the one
  // table of listed txids the pull makes.
  for (int pv : {4, 5}) {
    SCOPED_TRACE(pv);
    const std::string v = std::to_string(pv);
    ASSERT_EQ(build(pv, ""), "ok");
    std::string base = next_baseline();
    QK_int64 t3 = write("UPDATE dbo.items SET qty = 30 + " + v + " WHERE id = 3; UPDATE dbo.parts SET label = N'l" + v +
                        "' WHERE id = 1;");
    write("UPDATE dbo.items SET qty = 40 + " + v + " WHERE id = 1");
    ASSERT_EQ(build(pv, base), "ok");
    std::string held = next_baseline();
    ASSERT_EQ(std::count(held.begin(), held.end(), ','), 4) << held;
    long long count = std::stoll(held.substr(held.rfind(',', held.rfind(',') - 1) + 1));
    ASSERT_EQ(build(pv, with_count(held, count - 1) + "m" + std::to_string(t3)), "ok") << status_json();
    ASSERT_NE(pkg.path, nullptr) << status_json();
    EXPECT_EQ(inspect_pkg("--version " + v), "ok");
    EXPECT_EQ(rows("SELECT qty FROM \"p$u$" + items + "\" ORDER BY id"), std::to_string(30 + pv));
    EXPECT_EQ(rows("SELECT label FROM \"p$u$" + parts + "\""), "l" + v);
    EXPECT_EQ(rows("SELECT txid FROM \"p$rd$" + parts + "\""), std::to_string(t3));
  }
}

TEST_F(BuilderTest, TxidBaselineTheServerDoesNotHoldAsIs) {
  ASSERT_EQ(build(4, ""), "ok");
  std::string base = next_baseline();
  long long count = std::stoll(base.substr(base.rfind(',', base.rfind(',') - 1) + 1));

  std::string stranger = base.substr(0, base.find(',') + 1) + std::string(32, 'F') + base.substr(base.find(',') + 33);
  ASSERT_EQ(build(4, stranger), "ok");
  EXPECT_EQ(status_json(), "{\"first-rstamp\":\"" + rstamp_hex(1) + "\"}");
  EXPECT_EQ(pkg.path, nullptr);

  // Two transactions fewer than the server counts: the client learns which versions it
  // should hold ("245").
  ASSERT_EQ(build(4, with_count(base, count - 2)), "ok") << base << " " << with_count(base, count - 2);
  ASSERT_EQ(status_json(), "{\"missing-tx-count\":2}") << base << " " << with_count(base, count - 2);
  close_open_package();
  EXPECT_EQ(inspect_pkg("--version 4"), "ok");
  EXPECT_EQ(rows("SELECT count(*) FROM \"p$rv$" + items + "\" WHERE length(rid) = 16"), "2");
  EXPECT_EQ(rows("SELECT txid FROM \"p$rv$" + items + "\" WHERE rid = X''"), "{\"safe\":true}");
  EXPECT_EQ(rows("SELECT rstamp FROM p$tx WHERE txid = 0"), base) << "the client's own baseline with the server count";

  std::string out;
  ASSERT_EQ(cli("purge " + dataDir + " shop demo 99", &out), 0) << out;
  EXPECT_EQ(build(4, base), "71:Older client version can't recover if the baseline has been purged.");
}

TEST_F(BuilderTest, GenerationBaselineTheServerDoesNotHoldAsIs) {
  ASSERT_EQ(build(6, ""), "ok");
  std::string base = next_baseline();
  QK_int64 gen = std::stoll(base);
  write("UPDATE dbo.items SET qty = 7 WHERE id = 3");

  ASSERT_EQ(build(6, std::to_string(gen) + "g999999"), "ok");
  EXPECT_EQ(status_json(), "{\"first-rstamp\":\"" + rstamp_hex(1) + "\"}");
  close_open_package();
  EXPECT_EQ(rows("SELECT min(generation), max(generation) FROM p$gen WHERE generation > 0"),
            "1|" + std::to_string(gen)) << "the server's generations up to the client's";

  std::string out;
  ASSERT_EQ(cli("purge " + dataDir + " shop demo " + std::to_string(gen), &out), 0) << out;
  ASSERT_EQ(build(6, base), "ok");
  ASSERT_NE(pkg.path, nullptr) << status_json();
  EXPECT_EQ(inspect_pkg("--version 6"), "ok");
  for (const std::string &t : {items, parts}) {
    EXPECT_EQ(rows("SELECT count(*) FROM \"p$u$" + t + "\" WHERE z_rid = 'filter-discard'"), "1") << t;
  }
  EXPECT_EQ(rows("SELECT name FROM \"p$u$" + items + "\" WHERE name IS NOT NULL ORDER BY name"), "A;c")
      << "everything again, from scratch";
}

TEST_F(BuilderTest, Version6OnATxidBaselineGetsTheUpgrade) {
  ASSERT_EQ(build(5, ""), "ok");
  std::string base = next_baseline();
  QK_int64 t3 = write("UPDATE dbo.items SET qty = 8 WHERE id = 3");
  ASSERT_EQ(build(6, base), "ok");
  ASSERT_NE(pkg.path, nullptr);
  // The upgrade's generation table lists the server's generations only; its header is p$tx.
  EXPECT_EQ(inspect_pkg(), "ok");
  EXPECT_EQ(rows("SELECT scheme, rstamp FROM p$tx WHERE txid = 0"), "5|*UPGRADING*");
  EXPECT_EQ(rows("SELECT count(*) FROM p$tx WHERE txid = " + std::to_string(t3) + " AND generation >= 2"), "1");
  EXPECT_NE(rows("SELECT count(*) FROM p$gen WHERE generation > 0"), "0");
  EXPECT_EQ(rows("SELECT qty FROM \"p$u$" + items + "\""), "8");
}

TEST_F(BuilderTest, TablesTheClientDiscardsComeFromScratchWithTheirMarker) {
  ASSERT_EQ(build(4, ""), "ok");
  std::string base = next_baseline() + ";F" + items;
  write("UPDATE dbo.parts SET label = N'q1' WHERE id = 1");
  ASSERT_EQ(build(4, base), "ok");
  EXPECT_EQ(inspect_pkg("--version 4"), "ok");
  EXPECT_EQ(rows("SELECT count(*) FROM \"p$rd$" + items + "\" WHERE rid = 'filter-discard' AND txid = -1"), "1");
  EXPECT_EQ(rows("SELECT name FROM \"p$u$" + items + "\" ORDER BY name"), "A;c");
  // Version 2 has no markers: a fake change at txid 1 makes the client drop its rows.
  ASSERT_EQ(build(2, base), "ok");
  EXPECT_EQ(inspect_pkg("--version 2"), "ok");
  EXPECT_EQ(rows("SELECT count(*) FROM \"p$rd$" + items + "\" WHERE txid = 1 AND txid_rec_add = 1"), "1");
  EXPECT_EQ(rows("SELECT count(*) FROM \"p$rd$" + items + "\" WHERE txid_rec_del = 1"), "1");
  EXPECT_EQ(rows("SELECT count(*) FROM \"p$u$" + items + "\" WHERE z_txid = 1 AND name IS NULL"), "1");
}

TEST_F(BuilderTest, StampOnlyAndEmptyPackages) {
  QK_int64 last = max_txid();
  QK_int64 t = 0, rebaseid = 0;
  QK_uint8 rstamp[16] = {0};
  tav_db_mssql__get_tx_info(ctx, h, t1, nullptr, &t, rstamp, &rebaseid);
  struct {
    bool known;
    std::string rows;
    int notClone;
  } cases[] = {{true, "", 0}, {false, "", 1}};
  for (QK_int64 x = t1; x <= last; x++) cases[0].rows += (x > t1 ? ";" : "") + std::to_string(x);
  for (QK_int64 x = 1; x <= last; x++) cases[1].rows += (x > 1 ? ";" : "") + std::to_string(x);
  for (const auto &c : cases) {
    QK_uint8 r[16];
    memcpy(r, rstamp, 16);
    if (!c.known) r[0] ^= 0xFF;
    int notClone = -1;
    tav_export__rstamp_package(ctx, &ops, h, 3, t1, r, rebaseid, &notClone, work.c_str(), &pkg);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(notClone, c.notClone);
    EXPECT_EQ(inspect_pkg("--version 3"), "ok");
    EXPECT_EQ(rows("SELECT txid FROM p$tx WHERE txid > 0 ORDER BY txid"), c.rows);
    EXPECT_EQ(rows("SELECT txid FROM p$tx WHERE scheme = 'last_sync_txid'"), c.known ? std::to_string(t1) : "");
    tav_pkg__close(ctx, &pkg);
  }
  int notClone = -1;
  tav_export__rstamp_package(ctx, &ops, nullptr, 6, 5, rstamp, 0, &notClone, work.c_str(), &pkg);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(notClone, 1);
  EXPECT_EQ(inspect_pkg("--version 6"), "ok");
  EXPECT_EQ(rows("SELECT generation, id FROM p$gen"), "0|{\"pv\":6}");
}

TEST_F(BuilderTest, FilteredTableSendsItsSetAndTheSetDigest) {
  tav_filter *f = stored_filter(1, "{\"tbls\":{\"" + items + "\":{\"where\":\"qty > 1\"}}}");
  ASSERT_NE(f, nullptr);
  for (int pv : {4, 6}) {
    SCOPED_TRACE(pv);
    ASSERT_EQ(build(pv, "", 0, 0, nullptr, f, f), "ok");
    ASSERT_NE(pkg.path, nullptr) << status_json();
    EXPECT_EQ(inspect_pkg("--version " + std::to_string(pv)), "ok");
    EXPECT_EQ(rows("SELECT name FROM \"p$u$" + items + "\" WHERE name IS NOT NULL"), "c");
    std::string digest = filter_base(pv, ".\"" + items + "\"");
    EXPECT_EQ(digest.substr(0, 1), "#") << digest;
  }
  tav_filter__free(ctx, &f);
}

// A client that synced under a filter, then took its rows without one, holds no filtered set
// any more: the package tells it so with an empty filter base, and when the filter comes back
// the row outside it goes. A client whose base the package left alone would offer the old set
// digest, which matches the filtered set again and would vouch for the row the filter withholds.
TEST_F(BuilderTest, AFilterThatGoesAndComesBackLeavesNoRowOutsideIt) {
  tav_filter *f = stored_filter(1, "{\"tbls\":{\"" + items + "\":{\"where\":\"qty > 1\"}}}");
  ASSERT_NE(f, nullptr);
  std::string deletions =
      "SELECT count(*) FROM \"p$rd$" + items + "\" WHERE typeof(rid) = 'blob' AND txid_rec_add IS NULL";
  std::string deletionsV6 =
      "SELECT count(*) FROM \"p$u$" + items + "\" WHERE typeof(z_rid) = 'blob' AND name IS NULL";
  for (int pv = 3; pv <= 6; pv++) {
    SCOPED_TRACE(pv);
    QK_vhash *fb = nullptr;
    // The client keeps its filter base unless a package brings a new one.
    auto take_base = [&]() {
      std::string base = filter_base(pv);
      if (base == "NULL") return;
      QK_vhash__free(ctx, fb);
      fb = nullptr;
      QK_vhash__alloc__from_json(ctx, &fb, base.c_str());
      EXPECT_EQ(take_error(), "ok") << base;
    };
    ASSERT_EQ(build(pv < 4 ? 4 : pv, "", 0, 0, nullptr, f, f), "ok");
    take_base();
    ASSERT_NE(fb, nullptr) << "the filtered set's digest";
    std::string base = pv < 4 ? with_count(next_baseline(), 0) : next_baseline();

    ASSERT_EQ(build(pv, base, 0, 0, nullptr, nullptr, f, fb), "ok");
    EXPECT_EQ(inspect_pkg("--version " + std::to_string(pv)), "ok");
    EXPECT_EQ(rows("SELECT name FROM \"p$u$" + items + "\" WHERE name IS NOT NULL"), "A")
        << "the row the filter held back";
    EXPECT_EQ(filter_base(pv), "{}");
    take_base();  // the baseline stays: no transaction came in

    ASSERT_EQ(build(pv, base, 0, 0, nullptr, f, nullptr, fb), "ok");
    ASSERT_NE(pkg.path, nullptr) << status_json();
    EXPECT_EQ(inspect_pkg("--version " + std::to_string(pv)), "ok");
    EXPECT_EQ(rows(pv < 6 ? deletions : deletionsV6), "1") << "the row outside the filter goes";
    QK_vhash__free(ctx, fb);
  }
  // A client that never held a filter base gets none.
  ASSERT_EQ(build(5, ""), "ok");
  EXPECT_EQ(rows("SELECT rebaseid FROM p$tx WHERE txid = 0"), "0");
  ASSERT_EQ(build(6, ""), "ok");
  EXPECT_EQ(filter_base(6), "NULL");
  tav_filter__free(ctx, &f);
}

TEST_F(BuilderTest, WriteBlockingFilterCatchesWritesOutsideItsSet) {
  tav_filter *f = stored_filter(2, "{\"tbls\":{\"" + items + "\":{\"where\":\"{{{WRITE_BLOCKING}}}z$this.qty > 1\"}}}");
  struct {
    std::string sql;
    int expected;
  } cases[] = {{"", 42},  // the first schema transaction wrote no rows: untouched
               {"UPDATE dbo.items SET qty = 4 WHERE id = 3", 0},
               {"INSERT INTO dbo.parts VALUES (3, 3, N'p3')", 0},
               {"UPDATE dbo.parts SET label = N'x' WHERE id = 1", 1},  // its parent a is outside the set
               {"UPDATE dbo.items SET qty = 0 WHERE id = 3", 1}};
  for (const auto &c : cases) {
    QK_int64 txid = c.sql.empty() ? 1 : write(c.sql);
    int violated = 42;
    QK_int64 g = 0;
    tav_db_mssql__begin_tx(ctx, h, &g);
    tav_export__write_block_violated(ctx, &ops, h, f, txid, &violated);
    std::string err = take_error();
    tav_db_mssql__rollback_tx(ctx, h);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(err, "ok") << c.sql;
    EXPECT_EQ(violated, c.expected) << c.sql;
  }
  tav_filter__free(ctx, &f);
}

// A client whose filter left out items.qty and the parts table; its user's filter now takes
// both. The filter id it names gives the builder the previous filter.
TEST_F(BuilderTest, AFilterChangeDumpsTheColumnsAndSendsTheTablesThePreviousFilterLeftOut) {
  tav_filter *narrow = stored_filter(
      1, "{\"tbls\":{\"" + items + "\":{\"cols\":{\"3\":{\"exclude\":true}}},\"" + parts + "\":{\"exclude\":true}}}");
  tav_filter *wide = stored_filter(2, "{}");
  for (int pv = 3; pv <= 6; pv++) {
    SCOPED_TRACE(pv);
    ASSERT_EQ(build(pv < 4 ? 4 : pv, "", 0, 0, nullptr, narrow, narrow), "ok");
    EXPECT_EQ(rows("SELECT count(*) FROM sqlite_master WHERE name LIKE '%" + parts + "'"), "0");
    // A version-3 client sends its baseline in the same text, without a count.
    std::string base = pv < 4 ? with_count(next_baseline(), 0) : next_baseline();
    ASSERT_EQ(build(pv, base, 0, 0, nullptr, wide, narrow), "ok");
    ASSERT_NE(pkg.path, nullptr) << status_json();
    EXPECT_EQ(inspect_pkg("--version " + std::to_string(pv)), "ok");
    std::string markers = pv < 6 ? "SELECT rid FROM \"p$rd$" + items + "\" WHERE typeof(rid) = 'text'"
                                 : "SELECT z_rid FROM \"p$u$" + items + "\" WHERE typeof(z_rid) = 'text'";
    if (pv >= 4) {
      EXPECT_EQ(rows(markers), "column-dump: qty");
      EXPECT_EQ(rows("SELECT id, qty FROM \"p$u$" + items + "\" WHERE z_rid IS NULL ORDER BY id"), "1|1;3|3");
    } else {
      EXPECT_EQ(rows(markers), "filter-discard") << "a version-3 client takes the table again instead";
      EXPECT_EQ(rows("SELECT name, qty FROM \"p$u$" + items + "\" ORDER BY name"), "A|1;c|3");
    }
    EXPECT_EQ(rows("SELECT label FROM \"p$u$" + parts + "\" WHERE label IS NOT NULL"), "p1")
        << "the table the previous filter left out comes whole";
  }
  tav_filter__free(ctx, &narrow);
  tav_filter__free(ctx, &wide);
}

// items synchronised without qty at first; qty is taken into sync after the client's pull.
struct ColumnDumpTest : BuilderTest {
  std::string item_columns() override { return "id name"; }
};

TEST_F(ColumnDumpTest, ColumnTakenIntoSyncIsDumpedOrDiscarded) {
  ASSERT_EQ(build(4, ""), "ok");
  std::string base = next_baseline();
  std::string out;
  if (cli("prepare-column " + dataDir + " shop demo dbo.items qty", &out) != 0) GTEST_SKIP() << "stand-in: " << out;
  ASSERT_EQ(build(4, base), "ok");
  ASSERT_NE(pkg.path, nullptr) << status_json();
  EXPECT_EQ(inspect_pkg("--version 4"), "ok");
  EXPECT_EQ(rows("SELECT count(*) FROM p$tx WHERE txid = -1"), "1") << "the new schema";
  EXPECT_EQ(rows("SELECT rid, txid FROM \"p$rd$" + items + "\""), "column-dump: qty|-1");
  EXPECT_EQ(rows("SELECT id, qty FROM \"p$u$" + items + "\" WHERE z_rid IS NULL ORDER BY id"), "1|1;3|3");
  ASSERT_EQ(build(2, base), "ok");
  EXPECT_EQ(inspect_pkg("--version 2"), "ok");
  EXPECT_EQ(rows("SELECT count(*) FROM \"p$rd$" + items + "\" WHERE txid = 1 AND txid_rec_add = 1"), "1")
      << "an old client drops the table's rows instead";
}

#endif

// Conversion of a pushed generation package into transaction form, with the baseline-purged
// rule, against the SQL Server stand-in.
#include "server/tav_db_mssql_baseline.h"

#include <algorithm>
#include <map>

#include "history_fixture.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

const std::string P = "9223372036854775792";

struct Baseline : HistoryTest {
  sqlite3 *pkg = nullptr;
  QK_int64 g1 = 0, g2 = 0, txid1 = 0, firstTxidG2 = 0;
  std::map<std::string, std::vector<QK_uint8>> rids;

  QK_int64 next_generation() { return new_generation(h); }
  void SetUp() override {
    HistoryTest::SetUp();
    // Generation g1: rows 1, 2, 3. Generation g2: 2 changes, 6 comes and goes.
    exec("INSERT INTO dbo.t (id, name) VALUES (1, N'one'), (2, N'two'), (3, N'three')");
    txid1 = max_txid();
    g1 = next_generation();
    exec("UPDATE dbo.t SET name = N'server' WHERE id = 2");
    firstTxidG2 = max_txid();
    exec("INSERT INTO dbo.t (id, name) VALUES (6, N'six')");
    exec("DELETE FROM dbo.t WHERE id = 6");
    g2 = next_generation();
    for (int id : {1, 2, 3, 6}) rids["r" + std::to_string(id)] = rid_of(id);
    for (int id : {7, 8, 10}) rids["r" + std::to_string(id)] = std::vector<QK_uint8>(16, (QK_uint8)id);
    // An earlier push the server holds (-4) and a newer one it does not (-3).
    exec("UPDATE tavrin.demo$t$tx SET rstamp = '04040404-0404-0404-0404-040404040404' WHERE txid = " +
         std::to_string(txid1));
  }
  void TearDown() override {
    sqlite3_close(pkg);
    HistoryTest::TearDown();
  }
  void pkg_exec(const std::string &sql) {
    ASSERT_EQ(sqlite3_exec(pkg, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(pkg) << sql;
  }
  void row(const std::string &rid, const std::string &del, const std::string &add, const std::string &values) {
    char hex[33];
    pkg_exec("INSERT INTO \"p$u$" + tbl + "\" VALUES (x'" + QK_hex__encode_16(rids[rid].data(), hex) + "', " + del +
             ", " + add + ", " + values + ")");
  }
  // The client's package: baseline g2, known push -4, unknown push -3, this push -2.
  void build_package() {
    sqlite3_close(pkg);
    ASSERT_EQ(sqlite3_open(":memory:", &pkg), SQLITE_OK);
    std::string G1 = std::to_string(g1), G2 = std::to_string(g2);
    pkg_exec("CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER);"
             "INSERT INTO p$gen VALUES (0, '{\"pv\":6}'), (" + G2 + ", 77),"
             " (-4, x'04040404040404040404040404040404'), (-3, x'03030303030303030303030303030303'),"
             " (-2, x'02020202020202020202020202020202');"
             "CREATE TABLE \"p$u$" + tbl + "\" (z_rid BLOB, z_gen_del INT, z_gen_add INT, \"id\", \"name\");");
    row("r1", G1, "-2", "1, 'client'");      // based on a version the server holds
    row("r3", G2, "-2", "3, 'client'");      // its base in g2 is not on the server (purged)
    row("r6", G2, "-2", "NULL, NULL");       // delete of a row that lived and died in g2
    row("r7", G2, "-2", "NULL, NULL");       // delete of a row g2 never had
    row("r8", "NULL", "-2", "8, 'new'");     // a new row
    row("r2", G1, "-4", "2, 'pushed'");      // changed by the push the server holds...
    row("r2", "-4", "-3", "2, 'again'");     // ...and again by one it does not
    row("r10", "NULL", "-1", "10, 'base'");  // a version the package already has at -1...
    row("r10", "-1", "-4", "10, 'later'");   // ...changed by the known push
  }
  std::string deltas() {
    std::vector<std::string> lines;
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(pkg,
                       ("SELECT rid, quote(txid_rec_add), quote(txid_rec_del), purged_flag, txid FROM \"p$rd$" + tbl +
                        "\" ORDER BY rid")
                           .c_str(),
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string label = "?";
      for (auto &r : rids)
        if (sqlite3_column_bytes(st, 0) == 16 && memcmp(sqlite3_column_blob(st, 0), r.second.data(), 16) == 0)
          label = r.first;
      lines.push_back(label + ":" + (const char *)sqlite3_column_text(st, 1) + ":" +
                      (const char *)sqlite3_column_text(st, 2) + ":" + (const char *)sqlite3_column_text(st, 3) + ":" +
                      (const char *)sqlite3_column_text(st, 4) + " ");
    }
    sqlite3_finalize(st);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string &l : lines) out += l;
    return out;
  }
  std::string rows() {
    std::string out;
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(pkg,
                       ("SELECT id, name, z_gen_del, z_gen_add, z_txid FROM \"p$u$" + tbl + "\" ORDER BY id, z_gen_add")
                           .c_str(),
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int i = 0; i < 5; i++) {
        const unsigned char *t = sqlite3_column_text(st, i);
        out += std::string(t ? (const char *)t : "NULL") + (i < 4 ? "|" : " ");
      }
    }
    sqlite3_finalize(st);
    return out;
  }
};

TEST_F(Baseline, RulesForChangesWhoseBaseWasPurged) {
  struct Case {
    const char *act;  // nullptr: no rule at all (0)
    int rejected;
    unsigned code;
  } cases[] = {{nullptr, 1, 0}, {"6", 1, 0}, {"5", 0, 500}, {"4", 0, 0}};
  for (const Case &c : cases) {
    if (c.act) {
      ASSERT_EQ(cli("set-record-rule " + dataDir + " cfg dbo.t 6 " + c.act), 0);
    }
    build_package();
    pkg_exec("DELETE FROM \"p$u$" + tbl + "\" WHERE id = 10");
    int rejected = 0;
    tav_db_mssql__handle_baseline_purged(ctx, h, d, pkg, &rejected);
    EXPECT_EQ(code(), c.code) << (c.act ? c.act : "none");
    if (c.code == 500) {
      EXPECT_EQ(message(), "Unsupported action 5 for 'baseline purged' situation");
    }
    QK_context__reset_error(ctx);
    EXPECT_EQ(rejected, c.rejected) << (c.act ? c.act : "none");
    exec("DELETE FROM tavrin.rules_record");
  }

  // Rule 4: the purged update of 3 is gone from both tables; the delete of 6 (its row existed
  // in g2) is dropped silently; the delete of 7 becomes a purged delta on g2's first txid.
  EXPECT_EQ(deltas(), "r1:" + P + ":" + std::to_string(txid1) + ":0:" + P + " r2:" + P + ":-1:0:" + P +
                          " r7:NULL:" + std::to_string(firstTxidG2) + ":1:" + P + " r8:" + P + ":NULL:0:" + P + " ");
  // The known push is the base (-1); rows outside the deltas leave with the dropped change.
  EXPECT_EQ(rows(), "1|client|" + std::to_string(g1) + "|" + P + "|" + P + " 2|pushed|" + std::to_string(g1) +
                        "|-1|-1 2|again|-1|" + P + "|" + P + " 8|new|NULL|" + P + "|" + P + " ");
}

TEST_F(Baseline, KnownPushesFoldIntoTheBaseAndNewerOnesArePending) {
  // A version the package already carries at -1 cannot be ordered against the known push that
  // changed it: no single base, so the package is refused.
  build_package();
  pkg_exec("DELETE FROM \"p$u$" + tbl + "\" WHERE id = 3");
  int rejected = 0;
  tav_db_mssql__handle_baseline_purged(ctx, h, d, pkg, &rejected);
  EXPECT_EQ(code(), 400u);
  EXPECT_EQ(message(), "Malformed package. A row has two versions in the client's known base of table " + tbl + ".");
  QK_context__reset_error(ctx);

  // Without it: the known push is the base (-1), the newer push and this one are pending.
  build_package();
  pkg_exec("DELETE FROM \"p$u$" + tbl + "\" WHERE id IN (3, 10)");
  tav_db_mssql__handle_baseline_purged(ctx, h, d, pkg, &rejected);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(rejected, 0);
  EXPECT_EQ(rows(), "1|client|" + std::to_string(g1) + "|" + P + "|" + P + " 2|pushed|" + std::to_string(g1) +
                        "|-1|-1 2|again|-1|" + P + "|" + P + " 8|new|NULL|" + P + "|" + P + " ");
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(pkg, "SELECT COUNT(*) FROM p$gen WHERE generation < 0", -1, &st, nullptr);
  sqlite3_step(st);
  EXPECT_EQ(sqlite3_column_int(st, 0), 0);
  sqlite3_finalize(st);

  // No push the server holds: nothing folds into -1, every pushed generation is pending.
  build_package();
  pkg_exec("DELETE FROM \"p$u$" + tbl + "\" WHERE id = 3;"
           "UPDATE p$gen SET id = x'09090909090909090909090909090909' WHERE generation = -4");
  tav_db_mssql__handle_baseline_purged(ctx, h, d, pkg, &rejected);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(rows(), "1|client|" + std::to_string(g1) + "|" + P + "|" + P + " 2|again|" + std::to_string(g1) + "|" +
                        P + "|" + P + " 8|new|NULL|" + P + "|" + P + " 10|base|NULL|-1|-1 10|later|-1|" + P + "|" + P +
                        " ");
  EXPECT_EQ(deltas(), "r10:" + P + ":-1:0:" + P + " r1:" + P + ":" + std::to_string(txid1) + ":0:" + P + " r2:" + P +
                          ":" + std::to_string(txid1) + ":0:" + P + " r7:NULL:" + std::to_string(firstTxidG2) +
                          ":1:" + P + " r8:" + P + ":NULL:0:" + P + " ");
}

}  // namespace

#endif

// Recovery of rolled-back client data against the SQL Server stand-in: a client's generation
// was applied, the server was restored to the point before it, another client changed a row
// meanwhile, and the first client pushes its rolled-back timeline again.
#include "server/tav_db_mssql_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "history_fixture.h"
#include "qk/qk_malloc.h"
#include "qk/qk_varray.h"
#include "server/tav_db_mssql_salvage.h"
#include "server/tav_handle_conflicts.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

constexpr QK_int64 kPlaceholder = TAV_PKG_PLACEHOLDER_TXID;

struct RecoveryTest : HistoryTest {
  tav_pkg pkg = {};
  QK_int64 R = 0;  // the restore point
  std::string rid1, rid2, rid3 = "000000000000000000000000000000c3", rid4;
  QK_int64 txid1 = 0, txid2 = 0, txid4 = 0;  // the versions live at R

  void TearDown() override {
    tav_pkg__close(ctx, &pkg);
    QK_context__reset_error(ctx);
    HistoryTest::TearDown();
  }
  QK_int64 close_generation() {
    QK_int64 g = 0;
    tav_db_mssql__begin_tx(ctx, h, &g);
    tav_db_mssql__commit_tx(ctx, h);
    EXPECT_EQ(take_error(), "ok");
    return g;
  }
  std::string hex(const std::vector<QK_uint8> &rid) {
    char buf[33];
    QK_hex__encode_16(rid.data(), buf);
    return buf;
  }
  QK_int64 live_txid(int id) {
    return int64("SELECT rv.txid FROM " + obj("z$rv$") + " rv INNER JOIN " + obj("z$x$") +
                 " x ON x.z_rv = rv.z_rv WHERE x.id = " + std::to_string(id));
  }
  std::string rows(const std::string &sql) { return server_rows(sql); }
  // Rows of a query on the package, likewise.
  std::string pkg_rows(const std::string &sql) {
    sqlite3_stmt *st = nullptr;
    std::string out;
    EXPECT_EQ(sqlite3_prepare_v2(pkg.db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(st) == SQLITE_ROW) {
      if (!out.empty()) out += ";";
      for (int c = 0; c < sqlite3_column_count(st); c++) {
        const char *v = (const char *)sqlite3_column_text(st, c);
        out += (c > 0 ? "|" : "") + std::string(v ? v : "NULL");
      }
    }
    sqlite3_finalize(st);
    return out;
  }
  void pkg_exec(const std::string &sql) {
    char *err = nullptr;
    sqlite3_exec(pkg.db, sql.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(err ? std::string(err) : "ok", "ok") << sql;
    sqlite3_free(err);
  }

  // Rows 1, 2 and 4 live at the restore point R; the client's generation R+1 (a-client,
  // b-client, a new row 3, row 4 deleted) is lost by the restore; afterwards another client
  // changes row 2.
  void roll_back_client_generation() {
    std::string out;
    exec("INSERT INTO dbo.t (id, name) VALUES (1, N'a')");
    exec("INSERT INTO dbo.t (id, name) VALUES (2, N'b')");
    exec("INSERT INTO dbo.t (id, name) VALUES (4, N'd')");
    R = close_generation();
    txid1 = live_txid(1), txid2 = live_txid(2), txid4 = live_txid(4);
    rid1 = hex(rid_of(1)), rid2 = hex(rid_of(2)), rid4 = hex(rid_of(4));
    const std::string snap = dataDir + "/before.snap";
    ASSERT_EQ(cli("snapshot " + dataDir + " cfg " + snap, &out), 0) << out;
    exec("UPDATE dbo.t SET name = N'a-client' WHERE id = 1");
    exec("UPDATE dbo.t SET name = N'b-client' WHERE id = 2");
    exec("INSERT INTO dbo.t (id, name) VALUES (3, N'c-new')");
    exec("DELETE FROM dbo.t WHERE id = 4");
    close_generation();
    tav_db_mssql__handle_free(ctx, &h);
    tav_db_mssql__close(ctx, &conn);
    ASSERT_EQ(cli("restore " + dataDir + " cfg " + snap, &out), 0) << out;
    open("cfg");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    ASSERT_EQ(take_error(), "ok");
    ASSERT_EQ(rows("SELECT id, name FROM dbo.t ORDER BY id"), "1|a;2|b;4|d");
    exec("UPDATE dbo.t SET name = N'b-other' WHERE id = 2");
  }
  // The client's version-6 push after conversion into work form: its baseline R, the
  // rolled-back generation R+1 with its row versions, and an empty delta table.
  void build_package() {
    tav_pkg__close(ctx, &pkg);
    tav_pkg__create(ctx, dataDir.c_str(), 6, &pkg);
    tav_pkg__create_rows_table(ctx, pkg.db, d, tbl.c_str(), 6);
    tav_pkg__create_row_deltas_table(ctx, pkg.db, tbl.c_str());
    ASSERT_EQ(take_error(), "ok");
    pkg_exec("ALTER TABLE \"p$u$" + tbl + "\" ADD COLUMN z_txid INT");
    pkg_exec("INSERT INTO p$gen (generation, id) VALUES (" + std::to_string(R) + ", 400), (" + std::to_string(R + 1) +
             ", 501)");
    const std::string gen = std::to_string(R + 1), ph = std::to_string(kPlaceholder);
    const std::string ins = "INSERT INTO \"p$u$" + tbl + "\" (z_rid, z_gen_del, z_gen_add, z_txid, id, name) VALUES ";
    pkg_exec(ins + "(x'" + rid1 + "', NULL, " + gen + ", " + ph + ", 1, 'a-client')");
    pkg_exec(ins + "(x'" + rid2 + "', NULL, " + gen + ", " + ph + ", 2, 'b-client')");
    pkg_exec(ins + "(x'" + rid3 + "', NULL, " + gen + ", " + ph + ", 3, 'c-new')");
    pkg_exec(ins + "(x'" + rid4 + "', NULL, " + gen + ", " + ph + ", NULL, NULL)");
  }
  // The package as the outside inspector sees it: "ok" or its problems.
  std::string inspect() {
    QK_string *json = nullptr;
    tav_defin__to_json(ctx, d, &json);
    std::string schema = dataDir + "/schema.json";
    std::ofstream(schema) << (json ? QK_string__sz(json) : "");
    QK_string__free(ctx, json);
    pkg_exec("COMMIT TRANSACTION");
    std::string cmd = "/usr/bin/python3 '" TAVRIN_SOURCE_DIR "/tests/tools/pkg_inspect.py' '" +
                      std::string(pkg.path) + "' --version 6 --work --schema '" + schema + "' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    pkg_exec("BEGIN IMMEDIATE TRANSACTION");
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  // Records the package's timeline in its own transaction; "ok" or "code:message".
  std::string record(tav_recovery_set **ppSet, int *pbNewData = nullptr) {
    tav_db_mssql__begin_tx(ctx, h, nullptr);
    EXPECT_EQ(take_error(), "ok");
    tav_db_mssql__record_recovery_timeline(ctx, h, d, pkg.db, pbNewData, ppSet);
    std::string result = take_error();
    if (result == "ok")
      tav_db_mssql__commit_tx(ctx, h);
    else
      tav_db_mssql__rollback_tx(ctx, h);
    EXPECT_EQ(take_error(), "ok");
    return result;
  }
  QK_vhash *doc(tav_recovery_set *pSet) { return tav_recovery_set__vhash(pSet); }
  QK_int64 give_txid(tav_recovery_set *pSet) {
    QK_int64 txid = 0;
    QK_vhash *own = nullptr;
    tav_db_mssql__new_txid(ctx, h, &txid);
    QK_vhash__get__vhash(ctx, doc(pSet), TAV_RECOVERY_SET_OWN_KEY, &own);
    QK_vhash__update__int64(ctx, own, "txid", txid);
    EXPECT_EQ(take_error(), "ok");
    return txid;
  }
  std::string recorded() {
    return rows("SELECT COUNT(*) FROM tavrin.\"demo$r$gen\"") + "/" + rows("SELECT COUNT(*) FROM " + obj("r$rv$")) +
           "/" + rows("SELECT COUNT(*) FROM " + obj("r$old$"));
  }
};

TEST_F(RecoveryTest, RolledBackTimelineIsRecordedRebuiltAndBroughtBack) {
  roll_back_client_generation();
  build_package();
  EXPECT_EQ(inspect(), "ok");
  tav_recovery_set *set = nullptr;

  // Recording: the timeline after R and every rolled-back version with its values.
  ASSERT_EQ(record(&set), "ok");
  ASSERT_NE(set, nullptr);
  QK_vhash *own = nullptr;
  QK_int64 restorePoint = 0;
  QK_vhash__get__vhash(ctx, doc(set), TAV_RECOVERY_SET_OWN_KEY, &own);
  QK_vhash__get__int64(ctx, own, "restore point", &restorePoint);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(restorePoint, R);
  EXPECT_EQ(rows("SELECT generation, id, predecessor FROM tavrin.\"demo$r$gen\""),
            std::to_string(R + 1) + "|501|400");
  EXPECT_EQ(rows("SELECT o.id, o.name, r.id, r.name FROM " + obj("r$old$") + " o INNER JOIN " + obj("r$recovered$") +
                 " r ON r.z_rv = o.z_rv ORDER BY o.name"),
            "NULL|NULL|0|0;1|a-client|0|0;2|b-client|0|0;3|c-new|0|0");

  // Rebuilding: rows untouched since R and new rows become plain deltas; row 2, which another
  // client changed after R, is a conflict based on its version at R.
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  QK_int64 T = give_txid(set);
  QK_varray *entries = nullptr;
  tav_db_mssql__salvage(ctx, h, d, tbl.c_str(), set, pkg.db, &entries);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_NE(entries, nullptr);
  ASSERT_EQ(QK_varray__count_noctx(entries), 1u);
  QK_vhash *e = nullptr, *recAdd = nullptr, *recDel = nullptr;
  QK_int64 add = 0, del = 0, txid = 0, rowid = 0;
  const char *rid = nullptr, *name = nullptr;
  QK_varray__get__vhash(ctx, entries, 0, &e);
  QK_vhash__get__int64(ctx, e, "_ROWID_", &rowid);
  QK_vhash__get__sz(ctx, e, "rid", &rid);
  QK_vhash__get__int64(ctx, e, "txid_rec_add", &add);
  QK_vhash__get__int64(ctx, e, "txid_rec_del", &del);
  QK_vhash__get__int64(ctx, e, "txid", &txid);
  QK_vhash__check__vhash(ctx, e, "rec_add", &recAdd);
  QK_vhash__check__vhash(ctx, e, "rec_del", &recDel);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(std::string(rid), rid_text(rid_of(2)));
  EXPECT_EQ(add, kPlaceholder);
  EXPECT_EQ(del, txid2);
  EXPECT_EQ(txid, kPlaceholder);
  EXPECT_EQ(recDel, nullptr);  // no value of row 2 was brought back before
  ASSERT_NE(recAdd, nullptr);
  QK_vhash__get__sz(ctx, recAdd, "name", &name);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_STREQ(name, "b-client");
  QK_varray__free(ctx, entries);
  const std::string ph = std::to_string(kPlaceholder);
  // Package rows are read unordered: compare the deltas sorted.
  std::string deltas = pkg_rows("SELECT lower(hex(rid)) || '|' || ifnull(txid_rec_add, 'NULL') || '|' || "
                                "ifnull(txid_rec_del, 'NULL') || '|' || txid FROM \"p$rd$" + tbl + "\" ORDER BY 1");
  std::vector<std::string> want = {rid1 + "|" + ph + "|" + std::to_string(txid1) + "|" + ph,
                                   rid2 + "|" + ph + "|" + std::to_string(txid2) + "|" + ph,
                                   rid3 + "|" + ph + "|NULL|" + ph,
                                   rid4 + "|NULL|" + std::to_string(txid4) + "|" + ph};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(deltas, want[0] + ";" + want[1] + ";" + want[2] + ";" + want[3]);
  EXPECT_EQ(pkg_rows("SELECT _ROWID_ FROM \"p$rd$" + tbl + "\" WHERE lower(hex(rid)) = '" + rid2 + "'"),
            std::to_string(rowid));
  EXPECT_EQ(pkg_rows("SELECT COUNT(*) FROM \"p$u$" + tbl + "\""), "0");
  // The recorded values are claimed by the recovery.
  EXPECT_EQ(rows("SELECT DISTINCT r.name FROM " + obj("r$recovered$") + " r"), std::to_string(T));

  // The conflict resolution takes the client's side for row 2 (rebasing it on the live
  // version); the import brings everything back under T.
  pkg_exec("ALTER TABLE \"p$rd$" + tbl + "\" ADD COLUMN txid_rec_undel INTEGER NULL");
  pkg_exec("UPDATE \"p$rd$" + tbl + "\" SET txid_rec_del = " + std::to_string(live_txid(2)) +
           " WHERE lower(hex(rid)) = '" + rid2 + "'");
  EXPECT_EQ(inspect(), "ok");
  tav_db_mssql__import_recovered(ctx, h, d, nullptr, set, pkg.db);
  ASSERT_EQ(take_error(), "ok");
  tav_db_mssql__commit_tx(ctx, h);
  EXPECT_EQ(take_error(), "ok");
  tav_recovery_set__free(ctx, &set);
  EXPECT_EQ(set, nullptr);
  EXPECT_EQ(rows("SELECT id, name FROM dbo.t ORDER BY id"), "1|a-client;2|b-client;3|c-new");
  EXPECT_EQ(rows("SELECT COUNT(*) FROM " + obj("z$rv$") + " WHERE txid = " + std::to_string(T)), "3");
  EXPECT_EQ(int64("SELECT COUNT(*) FROM " + obj("z$rv$") + " WHERE rid = '" + rid_text(rid_of(3)) + "' AND txid = " +
                  std::to_string(T)),
            1);

  // The same timeline pushed again: a probe finds nothing new, and nothing is brought back twice.
  build_package();
  int newData = -1;
  ASSERT_EQ(record(&set, &newData), "ok");
  EXPECT_EQ(newData, 0);
  ASSERT_NE(set, nullptr);
  const std::string before = recorded();
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  give_txid(set);
  tav_db_mssql__salvage(ctx, h, d, tbl.c_str(), set, pkg.db, &entries);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(entries, nullptr);
  int bHas = 1;
  QK_vhash__has(ctx, doc(set), tbl.c_str(), &bHas);
  EXPECT_EQ(bHas, 0);  // nothing left to recover in the table
  tav_db_mssql__import_recovered(ctx, h, d, nullptr, set, pkg.db);
  EXPECT_EQ(take_error(), "ok");
  tav_db_mssql__commit_tx(ctx, h);
  tav_recovery_set__free(ctx, &set);
  EXPECT_EQ(recorded(), before);
  EXPECT_EQ(rows("SELECT id, name FROM dbo.t ORDER BY id"), "1|a-client;2|b-client;3|c-new");
}

// Row 2 changed on the server after R, and an earlier recovery brought its name back: the
// rebuilt row takes the server's current name and conflicts with the server's change.
TEST_F(RecoveryTest, AColumnBroughtBackBeforeTakesTheServersCurrentValue) {
  roll_back_client_generation();
  build_package();
  tav_recovery_set *set = nullptr;
  ASSERT_EQ(record(&set), "ok");
  exec("UPDATE " + obj("r$recovered$") + " SET name = 1 WHERE z_rv = (SELECT z_rv FROM " + obj("r$rv$") +
       " WHERE rid = '" + rid_text(rid_of(2)) + "')");
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  give_txid(set);
  QK_varray *entries = nullptr;
  tav_db_mssql__salvage(ctx, h, d, tbl.c_str(), set, pkg.db, &entries);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_NE(entries, nullptr);
  ASSERT_EQ(QK_varray__count_noctx(entries), 1u);
  QK_vhash *e = nullptr, *recAdd = nullptr, *recDel = nullptr;
  QK_int64 del = 0, id = 0;
  const char *name = nullptr;
  QK_varray__get__vhash(ctx, entries, 0, &e);
  QK_vhash__get__int64(ctx, e, "txid_rec_del", &del);
  QK_vhash__check__vhash(ctx, e, "rec_add", &recAdd);
  QK_vhash__check__vhash(ctx, e, "rec_del", &recDel);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(del, txid2);
  EXPECT_EQ(recDel, nullptr);
  ASSERT_NE(recAdd, nullptr);
  QK_vhash__get__sz(ctx, recAdd, "name", &name);
  QK_vhash__get__int64(ctx, recAdd, "id", &id);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_STREQ(name, "b-other");
  EXPECT_EQ(id, 2);
  QK_varray__free(ctx, entries);
  tav_db_mssql__rollback_tx(ctx, h);
  tav_recovery_set__free(ctx, &set);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(RecoveryTest, ProbeThatFindsNewDataChangesNothing) {
  roll_back_client_generation();
  build_package();
  tav_recovery_set *set = nullptr;
  int newData = -1;
  ASSERT_EQ(record(&set, &newData), "ok");
  EXPECT_EQ(newData, 1);
  EXPECT_EQ(set, nullptr);
  EXPECT_EQ(recorded(), "0/0/0");
  // Without the probe the same package is recorded.
  ASSERT_EQ(record(&set), "ok");
  EXPECT_EQ(recorded(), "1/4/4");
  tav_recovery_set__free(ctx, &set);
}

TEST_F(RecoveryTest, PackageErrors) {
  roll_back_client_generation();
  build_package();
  tav_recovery_set *set = nullptr;
  // A package without rolled-back generations has no timeline to record.
  pkg_exec("DELETE FROM p$gen WHERE generation > 0");
  EXPECT_EQ(record(&set).substr(0, 4), "500:");
  EXPECT_EQ(set, nullptr);
  // A delete needs the version it deletes.
  sqlite3_stmt *ins = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(pkg.db,
                               ("INSERT INTO \"p$rd$" + tbl +
                                "\" (rid, txid_rec_add, txid_rec_del, txid) VALUES (?, ?, ?, 9223372036854775792)")
                                   .c_str(),
                               -1, &ins, nullptr),
            SQLITE_OK);
  sqlite3_stmt *val = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(pkg.db, "SELECT x'0102030405060708090a0b0c0d0e0f10'", -1, &val, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(val), SQLITE_ROW);
  tav_db_mssql__add_recovery_delta(ctx, ins, sqlite3_column_value(val, 0), 0, 1, nullptr);
  EXPECT_EQ(code(), 500u);
  QK_context__reset_error(ctx);
  QK_int64 rowid = 0;
  tav_db_mssql__add_recovery_delta(ctx, ins, sqlite3_column_value(val, 0), 0, 0, &rowid);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(pkg_rows("SELECT _ROWID_, txid_rec_add, ifnull(txid_rec_del, 'NULL') FROM \"p$rd$" + tbl + "\""),
            std::to_string(rowid) + "|" + std::to_string(kPlaceholder) + "|NULL");
  sqlite3_finalize(val);
  sqlite3_finalize(ins);
}

}  // namespace

#endif

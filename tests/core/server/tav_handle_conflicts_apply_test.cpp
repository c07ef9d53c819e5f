// Applying pushed packages against the SQL Server stand-in: conflicts settled by the rules,
// the host tables afterwards and the audit rows the settling leaves.
#include "import_fixture.h"
#include "push_ops_fixture.h"
#include "server/tav_handle_conflicts_push.h"
#include "server/tav_handle_conflicts_resolve.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

#define SKIP_IF_STANDIN_LACKS(result)                                                        \
  do {                                                                                       \
    if ((result).find("Incorrect syntax near") != std::string::npos)                          \
      GTEST_SKIP() << "stand-in lacks a statement of the push: " << (result);                \
  } while (0)

struct ApplyTest : ImportTest {
  tav_backend_ops ops = {};
  std::string audit;  // p$audit of the last applied package: tbl|result per row

  void SetUp() override {
    ImportTest::SetUp();
    add_push_ops(&ops);
  }
  // A pushed version-4 package as a client writes it (no column of the settling yet).
  void client_package(const std::vector<std::string> &tables) {
    tav_pkg__create(ctx, dataDir.c_str(), 4, &pkg);
    for (const std::string &t : tables) {
      tav_pkg__create_rows_table(ctx, pkg.db, d, t.c_str(), 4);
      tav_pkg__create_row_deltas_table(ctx, pkg.db, t.c_str());
    }
    ASSERT_EQ(take_error(), "ok");
  }
  void client_delta(const std::string &t, const std::string &rid, bool add, QK_int64 del) {
    std::string ph = std::to_string(TAV_PKG_PLACEHOLDER_TXID);
    pkg_exec("INSERT INTO \"p$rd$" + t + "\" (rid, txid_rec_add, txid_rec_del, txid) VALUES (x'" + rid + "', " +
             (add ? ph : "NULL") + ", " + (del ? std::to_string(del) : "NULL") + ", " + ph + ")");
  }
  // The client's change of the row it pulled as version v.
  void client_update(const std::string &t, const Version &v, const std::string &cols, const std::string &values) {
    row(t, v.rid, cols, values);
    client_delta(t, v.rid, true, v.txid);
  }
  void client_delete(const std::string &t, const Version &v) { client_delta(t, v.rid, false, v.txid); }
  void record_rule(const std::string &table, int sit, int act) {
    std::string out;
    ASSERT_EQ(cli("set-record-rule " + dataDir + " cfg " + table + " " + std::to_string(sit) + " " +
                      std::to_string(act),
                  &out),
              0)
        << out;
  }
  // Settles and imports the package in one transaction: "ok", "rejected", "purged" or the
  // error. The package's audit rows are kept in `audit`.
  std::string apply(QK_int64 *pTxid = nullptr) {
    QK_uint8 rstamp[16];
    for (int i = 0; i < 16; i++) rstamp[i] = (QK_uint8)(0x50 + i + ridCounter);
    rstamp[0] = (QK_uint8)++pushCounter;
    int rejected = 0, purged = 0, blocked = 0;
    QK_int64 txid = 0;
    tav_db_mssql__begin_tx(ctx, h, nullptr);
    EXPECT_EQ(take_error(), "ok");
    tav_push__apply_package(ctx, &ops, h, d, nullptr, rstamp, pkg.db, 0, &rejected, &purged, &blocked, &txid);
    std::string result = take_error();
    if (result == "ok" && rejected) result = "rejected";
    if (result == "ok" && purged) result = "purged";
    if (result == "ok")
      tav_db_mssql__commit_tx(ctx, h);
    else
      tav_db_mssql__rollback_tx(ctx, h);
    EXPECT_EQ(take_error(), "ok");
    audit.clear();
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(pkg.db, "SELECT tbl, result FROM p$audit", -1, &st, nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW)
        audit += (audit.empty() ? "" : ";") + std::string((const char *)sqlite3_column_text(st, 0)) + "|" +
                 (const char *)sqlite3_column_text(st, 1);
      sqlite3_finalize(st);
    } else {
      audit = "<none>";
    }
    if (pTxid) *pTxid = txid;
    tav_pkg__close(ctx, &pkg);
    EXPECT_EQ(take_error(), "ok");
    return result;
  }
};

// Both sides changed the row since the client's pull; each case uses its own row.
TEST_F(ApplyTest, UpdateAgainstUpdateFollowsTheTableRule) {
  struct Case {
    int act;
    const char *result;
    const char *row;  // id|name|born afterwards
    const char *audit;
  } cases[] = {
      // No rule: a column merge keeps the server's date and takes the client's name.
      {0, "ok", "1|client|2020-01-01", "|{\"id\":1,\"name\":\"client\",\"born\":\"2020-01-01\"}"},
      {2, "ok", "2|client|NULL", "|accept"},
      {4, "ok", "3|a|2020-01-01", "|ignore"},
      {6, "rejected", "4|a|2020-01-01", "<none>"},
  };
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a'), (2, N'a'), (3, N'a'), (4, N'a')");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.act);
    int id = (int)(&c - cases) + 1;
    std::string sid = std::to_string(id);
    if (c.act) record_rule("dbo.parent", TAVRIN_SITUATION_UPDATE_VS_UPDATE, c.act);
    Version pulled = live(parent, id);
    exec("UPDATE dbo.parent SET born = '2020-01-01' WHERE id = " + sid);
    client_package({parent});
    client_update(parent, pulled, "id,name", sid + ",'client'");
    std::string result = apply();
    SKIP_IF_STANDIN_LACKS(result);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(rows("SELECT id, name, born FROM dbo.parent WHERE id = " + sid), c.row);
    EXPECT_EQ(audit, c.audit[0] == '<' ? c.audit : parent + c.audit);
  }
}

TEST_F(ApplyTest, TextColumnsMergeLineByLineWhenTheColumnAsksForIt) {
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a\nb\nc')");
  std::string out;
  ASSERT_EQ(cli("set-column-rule " + dataDir + " cfg dbo.parent name 3", &out), 0) << out;
  Version pulled = live(parent, 1);
  exec("UPDATE dbo.parent SET name = N'A\nb\nc' WHERE id = 1");
  client_package({parent});
  client_update(parent, pulled, "id,name", "1,'a' || char(10) || 'b' || char(10) || 'C'");
  std::string result = apply();
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT name FROM dbo.parent"), "A\nb\nC");
}

TEST_F(ApplyTest, ChangesAgainstDeletesAndDeletesAgainstChanges) {
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a'), (2, N'b')");
  Version one = live(parent, 1), two = live(parent, 2);
  exec("DELETE FROM dbo.parent WHERE id = 1");
  exec("UPDATE dbo.parent SET name = N'server' WHERE id = 2");
  client_package({parent});
  client_update(parent, one, "id,name", "1,'client'");
  client_delete(parent, two);
  std::string result = apply();
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  // Without rules the update brings the deleted row back and the delete gives way.
  EXPECT_EQ(rows("SELECT id, name FROM dbo.parent ORDER BY id"), "1|client;2|server");
  EXPECT_EQ(live(parent, 1).rid, one.rid);
  EXPECT_EQ(audit, parent + "|accept;" + parent + "|ignore");

  // With the opposite rules the delete wins both times.
  record_rule("dbo.parent", TAVRIN_SITUATION_UPDATE_VS_DELETE, TAVRIN_ACTION_IGNORE);
  record_rule("dbo.parent", TAVRIN_SITUATION_DELETE_VS_UPDATE, TAVRIN_ACTION_ACCEPT);
  one = live(parent, 1);
  two = live(parent, 2);
  exec("DELETE FROM dbo.parent WHERE id = 1");
  exec("UPDATE dbo.parent SET name = N'server2' WHERE id = 2");
  client_package({parent});
  client_update(parent, one, "id,name", "1,'client2'");
  client_delete(parent, two);
  result = apply();
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(rows("SELECT COUNT(*) FROM dbo.parent"), "0");
  EXPECT_EQ(audit, parent + "|ignore;" + parent + "|accept");
}

TEST_F(ApplyTest, PushesWithoutConflictsOrWithAllIgnoredStillImport) {
  exec("INSERT INTO dbo.parent (id, name) VALUES (1, N'a')");
  Version pulled = live(parent, 1);
  client_package({parent});
  std::string rid = new_rid();
  row(parent, rid, "id,name", "2,'new'");
  client_delta(parent, rid, true, 0);
  QK_int64 txid = 0;
  std::string result = apply(&txid);
  SKIP_IF_STANDIN_LACKS(result);
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(audit, "<none>");

  record_rule("dbo.parent", TAVRIN_SITUATION_UPDATE_VS_UPDATE, TAVRIN_ACTION_IGNORE);
  exec("UPDATE dbo.parent SET name = N'server' WHERE id = 1");
  client_package({parent});
  client_update(parent, pulled, "id,name", "1,'client'");
  QK_int64 txid2 = 0;
  ASSERT_EQ(apply(&txid2), "ok");
  EXPECT_GT(txid2, txid);
  EXPECT_EQ(rows("SELECT name FROM dbo.parent WHERE id = 1"), "server");
}

}  // namespace

#endif

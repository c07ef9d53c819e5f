// Identity values of pushed packages decorated as server ("S:") or client ("C:") keys,
// against the SQL Server stand-in's record of which rows it holds.
#include "import_fixture.h"
#include "push_ops_fixture.h"
#include "server/tav_handle_conflicts_identity.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

struct IdentityTest : ImportTest {
  tav_backend_ops ops = {};
  std::string serverRid;  // the row ident 1 the server holds
  void SetUp() override {
    ImportTest::SetUp();
    add_push_ops(&ops);
    exec("INSERT INTO dbo.ident (name) VALUES (N'srv')");
    serverRid = live(ident, 1).rid;
  }
  void package(int pv) {
    tav_pkg__create(ctx, dataDir.c_str(), pv, &pkg);
    tav_pkg__create_rows_table(ctx, pkg.db, d, ident.c_str(), pv);
    tav_pkg__create_rows_table(ctx, pkg.db, d, iref.c_str(), pv);
    ASSERT_EQ(take_error(), "ok");
    std::string cols = pv == 6 ? "z_rid, z_gen_del, z_gen_add" : "z_rid, z_txid";
    std::string meta = pv == 6 ? "NULL, -2" : "1";
    pkg_exec("INSERT INTO \"p$u$" + ident + "\" (" + cols + ", id, name) VALUES (x'" + new_rid() + "', " + meta +
             ", 7, 'new'), (x'" + serverRid + "', " + meta + ", 1, 'srv2')");
    pkg_exec("INSERT INTO \"p$u$" + iref + "\" (" + cols + ", id, ident_id) VALUES (x'" + new_rid() + "', " + meta +
             ", 1, 7), (x'" + new_rid() + "', " + meta + ", 2, 1), (x'" + new_rid() + "', " + meta + ", 3, NULL)");
  }
  std::string mapped(int pv, int *pRefused, QK_int64 fid = 0) {
    tav_push__map_identity_keys(ctx, &ops, h, d, fid, pkg.db, pv, pRefused);
    std::string err = take_error();
    if (err != "ok") return err;
    sqlite3_stmt *st = nullptr;
    std::string out;
    std::string sql = "SELECT (SELECT group_concat(id, ',') FROM (SELECT id FROM \"p$u$" + ident +
                      "\" ORDER BY name)) || ' ' || (SELECT group_concat(coalesce(ident_id, 'NULL'), ',') FROM "
                      "(SELECT ident_id FROM \"p$u$" + iref + "\" ORDER BY id))";
    sqlite3_prepare_v2(pkg.db, sql.c_str(), -1, &st, nullptr);
    if (sqlite3_step(st) == SQLITE_ROW) out = (const char *)sqlite3_column_text(st, 0);
    sqlite3_finalize(st);
    return out;
  }
};

TEST_F(IdentityTest, GenerationPushesMarkNewKeysAsTheClientsAndKnownOnesAsTheServers) {
  package(6);
  int refused = 0;
  std::string result = mapped(6, &refused);
  if (result.find("Incorrect syntax near") != std::string::npos) GTEST_SKIP() << result;
  EXPECT_EQ(result, "C:7,S:1 C:7,S:1,NULL");
  EXPECT_EQ(refused, 0);
  // Mapping again (after a recovery) turns the client's keys back and gives the same texts
  // while the server still lacks the row.
  EXPECT_EQ(mapped(6, nullptr), "C:7,S:1 C:7,S:1,NULL");
}

TEST_F(IdentityTest, OlderPushesWithoutTheClientMap) {
  // The dbfile requires the client's map: the push is refused and nothing changes.
  std::string out;
  ASSERT_EQ(cli("set-rule " + dataDir + " cfg demo 3 6", &out), 0) << out;
  package(4);
  int refused = 0;
  EXPECT_EQ(mapped(4, &refused), "7,1 7,1,NULL");
  EXPECT_EQ(refused, 1);
  tav_pkg__close(ctx, &pkg);

  // Without that rule the rows themselves say which keys the server holds.
  ASSERT_EQ(cli("set-rule " + dataDir + " cfg demo 3 0", &out), 0) << out;
  package(4);
  refused = 0;
  std::string result = mapped(4, &refused, 7);
  if (result.find("Incorrect syntax near") != std::string::npos) GTEST_SKIP() << result;
  EXPECT_EQ(result, "C:7,S:1 C:7,S:1,NULL");
  EXPECT_EQ(refused, 0);
}

TEST_F(IdentityTest, TheClientMapNamesTheClientsKeys) {
  package(4);
  pkg_exec("CREATE TABLE p$ipk (rid BLOB, ipk INTEGER, tbl TEXT)");
  pkg_exec("INSERT INTO p$ipk VALUES (x'" + std::string(32, 'f') + "', 7, '" + ident + "')");
  int refused = 0;
  std::string result = mapped(4, &refused);
  if (result.find("Incorrect syntax near") != std::string::npos) GTEST_SKIP() << result;
  EXPECT_EQ(result, "C:7,S:1 C:7,S:1,NULL");
}

}  // namespace

#endif

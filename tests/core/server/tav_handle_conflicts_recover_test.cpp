// Replaying rolled-back client data inside a package savepoint, with a store that records
// what it is asked to do.
#include "pkg_fixture.h"
#include "qk/qk_varray.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts_recover.h"

namespace {

int g_imports = 0;
QK_int64 g_next_txid = 0;

void fake_new_txid(QK_context *, tav_db_handle *, QK_int64 *pTxid) { *pTxid = ++g_next_txid; }
void fake_record_rule(QK_context *, tav_db_handle *, const char *, int, int, int *, char **) {}
void fake_salvage(QK_context *ctx, tav_db_handle *, tav_defin *, const char *, tav_recovery_set *, sqlite3 *,
                  QK_varray **ppList) {
  QK_varray__alloc(ctx, ppList);
}
void fake_import_recovered(QK_context *, tav_db_handle *, tav_defin *, tav_filter *, tav_recovery_set *, sqlite3 *) {
  g_imports++;
}

struct RecoverTest : PkgTest {
  tav_backend_ops ops = {};
  QK_vhash *set = nullptr;
  void SetUp() override {
    PkgTest::SetUp();
    ops.new_txid = fake_new_txid;
    ops.get_record_rule = fake_record_rule;
    ops.salvage = fake_salvage;
    ops.import_recovered = fake_import_recovered;
    g_imports = 0;
    tav_pkg__create(ctx, dir.c_str(), 6, &pkg);
    tav_pkg__create_rows_table(ctx, pkg.db, d, "1001", 6);
    QK_sqlite__exec(ctx, pkg.db, "ALTER TABLE \"p$u$1001\" ADD COLUMN z_txid INTEGER");
    tav_pkg__create_row_deltas_table(ctx, pkg.db, "1001");
    QK_sqlite__exec(ctx, pkg.db, "INSERT INTO \"p$u$1001\" (z_rid, z_gen_add, name) VALUES (x'01', 3, 'kept'), "
                                 "(x'02', 77, 'unlisted')");
    QK_sqlite__exec(ctx, pkg.db, "INSERT INTO p$gen VALUES (3, 30)");
    QK_vhash__alloc__from_json(ctx, &set, R"({"z$*":{}})");
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    QK_vhash__free(ctx, set);
    PkgTest::TearDown();
  }
  std::string recover(int *pProbe, QK_int64 *pTxid) {
    int rejected = 0, purged = 0;
    tav_push__recover(ctx, &ops, nullptr, d, nullptr, reinterpret_cast<tav_recovery_set *>(set), pkg.db, pProbe,
                      &rejected, &purged, pTxid);
    std::string r = take_error();
    return r != "ok" ? r : rejected ? "rejected" : purged ? "purged" : "ok";
  }
  std::string package_rows() { return rows(pkg.db, "SELECT name FROM \"p$u$1001\" ORDER BY name"); }
};

TEST_F(RecoverTest, ASetWithoutTablesStillTakesATransaction) {
  QK_int64 txid = 0;
  g_next_txid = 40;
  EXPECT_EQ(recover(nullptr, &txid), "ok");
  EXPECT_EQ(txid, 41);
  EXPECT_EQ(g_imports, 1);
  QK_int64 recorded = 0;
  QK_vhash *own = nullptr;
  QK_vhash__get__vhash(ctx, set, "z$*", &own);
  QK_vhash__get__int64(ctx, own, "txid", &recorded);
  EXPECT_EQ(recorded, 41);
  EXPECT_EQ(package_rows(), "kept;unlisted");
}

TEST_F(RecoverTest, AProbeThatFindsDataImportsNothingAndLeavesThePackageAsItWas) {
  QK_vhash__add__null(ctx, set, "1001");
  int probe = 0;
  QK_int64 txid = 0;
  EXPECT_EQ(recover(&probe, &txid), "ok");
  EXPECT_EQ(probe, 1);
  EXPECT_EQ(g_imports, 0);
  // The work on the package (rows outside the listed generations went) is undone.
  EXPECT_EQ(package_rows(), "kept;unlisted");
  EXPECT_EQ(rows(pkg.db, "SELECT count(*) FROM pragma_table_info('p$rd$1001') WHERE name = 'txid_rec_undel'"), "0");

  // Without the set's own entry nothing can be recorded.
  QK_vhash__remove(ctx, set, "z$*");
  EXPECT_EQ(recover(nullptr, &txid).substr(0, 3), "47:");
  EXPECT_EQ(package_rows(), "kept;unlisted");
}

}  // namespace

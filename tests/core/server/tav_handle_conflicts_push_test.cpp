// A pushed package adapted to the server's schema, and the census of its row operations.
#include "pkg_fixture.h"
#include "qk/qk_jsonwriter.h"
#include "qk/qk_varray.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts_push.h"
#include "server/tav_respond_push.h"

namespace {

struct PushPkgTest : PkgTest {
  void SetUp() override {
    PkgTest::SetUp();
    tav_pkg__create(ctx, dir.c_str(), 4, &pkg);
    ASSERT_EQ(take_error(), "ok");
  }
  void exec(const std::string &sql) {
    QK_sqlite__exec(ctx, pkg.db, sql.c_str());
    ASSERT_EQ(take_error(), "ok") << sql;
  }
};

TEST_F(PushPkgTest, ClientTablesFollowTheServersSchema) {
  // The client knew customers.name as "nm" and a column 9 the server dropped since; its
  // orders are of an older definition of that table.
  exec("CREATE TABLE \"p$u$1001\" (z_rid BLOB, z_txid INTEGER, \"id\", \"nm\", \"photo\", \"old\")");
  exec("INSERT INTO \"p$u$1001\" VALUES (x'01', 5, 'C:1', 'ann', NULL, 'gone')");
  exec("CREATE TABLE \"p$rd$1001\" (rid BLOB NOT NULL, txid_rec_add INTEGER, txid_rec_del INTEGER, txid INTEGER)");
  exec("CREATE TABLE \"p$u$1002\" (z_rid BLOB, z_txid INTEGER, \"cust\")");
  exec("CREATE TABLE \"p$rd$1002\" (rid BLOB NOT NULL, txid_rec_add INTEGER, txid_rec_del INTEGER, txid INTEGER)");
  // Generation packages keep their generation columns through a rebuild.
  exec("CREATE TABLE \"p$u$1003\" (z_rid BLOB, z_gen_del INT, z_gen_add INT, \"o_cust\", \"o_line\", \"qty\", \"t\", \"dropped\")");
  exec("INSERT INTO \"p$u$1003\" VALUES (x'03', NULL, -2, 4, 1, 2, NULL, 'x')");
  QK_vhash *schema = nullptr;
  std::string json = k_fixture_schema_json;
  json.replace(json.find("\"name\":\"name\""), 13, "\"name\":\"nm\"");
  json.replace(json.find("\"txid\":7"), 8, "\"txid\":6");
  json.insert(json.find("\"3\":{\"name\":\"photo\""), "\"9\":{\"name\":\"old\"},");
  json.insert(json.find("\"4\":{\"name\":\"t\""), "\"8\":{\"name\":\"dropped\"},");
  QK_vhash__alloc__from_json(ctx, &schema, json.c_str());
  ASSERT_EQ(take_error(), "ok");
  tav_push__resolve_schema_changes(ctx, pkg.db, d, schema);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(rows(pkg.db, "SELECT * FROM \"p$u$1001\""), "\x01|5|C:1|ann|NULL");
  EXPECT_EQ(rows(pkg.db, "SELECT name FROM pragma_table_info('p$u$1001')"), "z_rid;z_txid;id;name;photo");
  EXPECT_EQ(rows(pkg.db, "SELECT group_concat(name) FROM sqlite_master WHERE name LIKE 'p$%1002'"), "NULL");
  EXPECT_EQ(rows(pkg.db, "SELECT name FROM pragma_table_info('p$u$1003')"), "z_rid;z_gen_del;z_gen_add;o_cust;o_line;qty;t");
  EXPECT_EQ(rows(pkg.db, "SELECT z_gen_add, o_cust FROM \"p$u$1003\""), "-2|4");
  QK_vhash__free(ctx, schema);
}

TEST_F(PushPkgTest, CensusListsTheKindsOfOperationsInSchemaOrder) {
  for (const char *t : {"1001", "1002", "1003"}) {
    exec(std::string("CREATE TABLE \"p$u$") + t + "\" (z_rid BLOB, z_txid INTEGER)");
    exec(std::string("CREATE TABLE \"p$rd$") + t +
         "\" (rid BLOB NOT NULL, txid_rec_add INTEGER, txid_rec_del INTEGER, txid INTEGER)");
  }
  exec("INSERT INTO \"p$rd$1001\" VALUES (x'01', 9, NULL, 9)");
  exec("INSERT INTO \"p$rd$1003\" VALUES (x'02', NULL, 4, 9)");
  exec("INSERT INTO \"p$rd$1003\" VALUES (x'03', 9, 4, 9)");
  QK_varray *census = nullptr;
  tav_respond__census_package_ops(ctx, d, pkg.db, &census);
  ASSERT_EQ(take_error(), "ok");
  QK_string *s = nullptr;
  QK_string__alloc(ctx, &s);
  QK_jsonwriter *w = nullptr;
  QK_jsonwriter__alloc(ctx, &w, s);
  QK_varray__write_json(ctx, census, w);
  QK_jsonwriter__free(ctx, w);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_STREQ(QK_string__sz(s), R"([{"op":"tbl_add_row","tbl":"1001"},{"op":"tbl_update_row","tbl":"1003"},)"
                                 R"({"op":"tbl_delete_row","tbl":"1003"}])");
  QK_string__free(ctx, s);
  QK_varray__free(ctx, census);
}

}  // namespace

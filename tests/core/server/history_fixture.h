// A provisioned dbfile "demo" (in the configuration database "cfg") with one synchronised
// table dbo.t (id int primary key, name nvarchar(20)), its schema definition, and readers of
// the row-version history that the database side records for every write.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "../common/defin_fixture.h"
#include "common/tav_parse_defin.h"
#include "qk/qk_hex.h"
#include "store_fixture.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

struct HistoryTest : StoreTest {
  std::string tbl;
  tav_db_handle *h = nullptr;
  tav_defin *d = nullptr;

  void SetUp() override {
    StoreTest::SetUp();
    std::string out;
    ASSERT_EQ(cli("create-config " + dataDir + " cfg", &out), 0) << out;
    ASSERT_EQ(cli("create-dbfile " + dataDir + " cfg demo", &out), 0) << out;
    run_script("cfg", "CREATE TABLE dbo.t (id int NOT NULL PRIMARY KEY, name nvarchar(20) NULL)\n");
    ASSERT_EQ(cli("add-table " + dataDir + " cfg demo dbo.t", &out), 0) << out;
    tbl = out.substr(0, out.find('\n'));
    open("cfg");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    tav_defin__alloc(ctx, 1, &d);
    tav_defin__add_table(ctx, d, tbl.c_str(), "t", 1);
    tav_defin__add_column(ctx, d, tbl.c_str(), "1", "id", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, tbl.c_str(), "1", "int");
    tav_defin__set_type_simple(ctx, d, tbl.c_str(), "1", "sint32");
    tav_defin__set_notnull(ctx, d, tbl.c_str(), "1", 1, nullptr);
    tav_defin__add_column(ctx, d, tbl.c_str(), "2", "name", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, tbl.c_str(), "2", "nvarchar");
    tav_defin__set_type_text(ctx, d, tbl.c_str(), "2", nullptr, "1033", 0, 0, 1, 0, 0, 0, 0, 1, 20);
    tav_defin__set_pk_name(ctx, d, tbl.c_str(), "PK_t");
    tav_defin__add_pk_column(ctx, d, tbl.c_str(), "1");
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    tav_db_mssql__handle_free(ctx, &h);
    tav_defin__free(ctx, &d);
    StoreTest::TearDown();
  }
  std::string obj(const std::string &kind) { return "tavrin.\"demo$" + kind + tbl + "\""; }
  // The row id of the versions of a key (live or not): the rid of its newest version.
  std::vector<QK_uint8> rid_of(int id) {
    std::vector<QK_uint8> rid(16, 0);
    SQLHSTMT st = nullptr;
    std::string sql = "SELECT TOP 1 rv.rid FROM " + obj("z$rv$") + " rv LEFT JOIN " + obj("z$x$") +
                      " x ON x.z_rv = rv.z_rv LEFT JOIN " + obj("z$old$") +
                      " o ON o.z_rv = rv.z_rv WHERE x.id = " + std::to_string(id) + " OR o.id = " +
                      std::to_string(id) + " ORDER BY rv.txid DESC";
    QK_mssql__prepare(ctx, conn, &st, sql.c_str());
    int row = 0;
    SQLLEN ind = 0;
    QK_mssql__execute(ctx, st);
    QK_mssql__fetch(ctx, st, &row);
    if (row) QK_mssql__get__guid(ctx, st, 1, rid.data(), &ind);
    QK_mssql__free_stmt(ctx, st);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_TRUE(row) << "no version of id " << id;
    return rid;
  }
  std::string rid_text(const std::vector<QK_uint8> &rid) {
    char buf[QK_GUID_SZ_SIZE];
    return QK_guid__to_sz(rid.data(), buf);
  }
  QK_int64 max_txid() { return int64("SELECT MAX(txid) FROM tavrin.\"demo$t$tx\""); }
};

#endif

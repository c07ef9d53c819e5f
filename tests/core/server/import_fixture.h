// A dbfile with synchronised host tables, the definition the store would reflect for them,
// and pushed packages built the way a client and the conflict resolution leave them.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "common/tav_parse_defin.h"
#include "common/tav_parse_defin_query.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "server/tav_db_mssql_import.h"
#include "server/tav_handle_conflicts.h"
#include "store_fixture.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

// Host tables: parent (id key, name, born date), child (id key, pid -> parent.id NOT NULL,
// note), ident (identity id, name) and iref (id key, ident_id -> ident.id).
struct ImportTest : StoreTest {
  std::string parent, child, ident, iref;
  tav_db_handle *h = nullptr;
  tav_defin *d = nullptr;
  tav_pkg pkg = {};
  int ridCounter = 0;
  int pushCounter = 0;  // each push has a stamp of its own

  void SetUp() override {
    StoreTest::SetUp();
    std::string out;
    ASSERT_EQ(cli("create-config " + dataDir + " cfg", &out), 0) << out;
    ASSERT_EQ(cli("create-dbfile " + dataDir + " cfg demo", &out), 0) << out;
    run_script("cfg",
               "CREATE TABLE dbo.parent (id int NOT NULL PRIMARY KEY, name nvarchar(20) NULL, born date NULL)\nGO\n"
               "CREATE TABLE dbo.child (id int NOT NULL PRIMARY KEY, pid int NOT NULL REFERENCES dbo.parent(id), "
               "note nvarchar(20) NULL)\nGO\n"
               "CREATE TABLE dbo.ident (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(20) NULL)\nGO\n"
               "CREATE TABLE dbo.iref (id int NOT NULL PRIMARY KEY, ident_id int NULL REFERENCES dbo.ident(id))\n");
    parent = add_table("dbo.parent");
    child = add_table("dbo.child");
    ident = add_table("dbo.ident");
    iref = add_table("dbo.iref");
    open("cfg");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    ASSERT_EQ(take_error(), "ok");
    build_defin();
  }
  void TearDown() override {
    tav_pkg__close(ctx, &pkg);
    QK_context__reset_error(ctx);
    tav_defin__free(ctx, &d);
    tav_db_mssql__handle_free(ctx, &h);
    StoreTest::TearDown();
  }
  std::string add_table(const std::string &name) {
    std::string out;
    EXPECT_EQ(cli("add-table " + dataDir + " cfg demo " + name, &out), 0) << out;
    return out.substr(0, out.find('\n'));
  }
  void text_column(const std::string &t, const char *id, const char *name) {
    tav_defin__add_column(ctx, d, t.c_str(), id, name, 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, t.c_str(), id, "nvarchar");
    tav_defin__set_type_text(ctx, d, t.c_str(), id, "Latin1_General_CI_AS", "1033", 0, 0, 1, 0, 0, 0, 0, 1, 20);
    tav_defin__set_notnull(ctx, d, t.c_str(), id, 0, nullptr);
  }
  void int_column(const std::string &t, const char *id, const char *name, int notnull) {
    tav_defin__add_column(ctx, d, t.c_str(), id, name, 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, t.c_str(), id, "int");
    tav_defin__set_type_simple(ctx, d, t.c_str(), id, "sint32");
    tav_defin__set_notnull(ctx, d, t.c_str(), id, notnull, nullptr);
  }
  void key(const std::string &t) {
    tav_defin__set_pk_name(ctx, d, t.c_str(), ("PK_" + t).c_str());
    tav_defin__add_pk_column(ctx, d, t.c_str(), "1");
  }
  // Column 1 "id": the table's identity column and key.
  void identity_key(const std::string &t, const char *pkName) {
    tav_defin__add_column(ctx, d, t.c_str(), "1", "id", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, t.c_str(), "1", "int");
    tav_defin__set_type_identity(ctx, d, t.c_str(), "1", pkName);
    tav_defin__set_notnull(ctx, d, t.c_str(), "1", 1, nullptr);
    tav_defin__set_pk_name(ctx, d, t.c_str(), pkName);
    tav_defin__add_pk_column(ctx, d, t.c_str(), "1");
  }
  void build_defin() {
    tav_defin__alloc(ctx, 1, &d);
    tav_defin__add_table(ctx, d, parent.c_str(), "parent", 1);
    int_column(parent, "1", "id", 1);
    text_column(parent, "2", "name");
    tav_defin__add_column(ctx, d, parent.c_str(), "3", "born", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, parent.c_str(), "3", "date");
    tav_defin__set_type_simple(ctx, d, parent.c_str(), "3", "date");
    key(parent);
    tav_defin__add_table(ctx, d, child.c_str(), "child", 1);
    int_column(child, "1", "id", 1);
    int_column(child, "2", "pid", 1);
    tav_defin__set_column_fk(ctx, d, child.c_str(), "2", 1, "9001", "FK_child", parent.c_str(), "1", 0, "NO ACTION",
                             "NO ACTION", 0);
    text_column(child, "3", "note");
    key(child);
    tav_defin__add_table(ctx, d, ident.c_str(), "ident", 1);
    identity_key(ident, "PK_ident");
    text_column(ident, "2", "name");
    tav_defin__add_table(ctx, d, iref.c_str(), "iref", 1);
    int_column(iref, "1", "id", 1);
    int_column(iref, "2", "ident_id", 0);
    tav_defin__set_column_fk(ctx, d, iref.c_str(), "2", 1, "9002", "FK_iref", ident.c_str(), "1", 0, "NO ACTION",
                             "NO ACTION", 0);
    key(iref);
    ASSERT_EQ(take_error(), "ok");
  }

  // ---- Server side ----

  struct Version {
    std::string rid;  // 32 hex digits, in the byte order packages use
    QK_int64 txid = 0;
  };
  // The live version of the row whose key column "id" holds id.
  Version live(const std::string &t, int id) {
    Version v;
    SQLHSTMT st = SQL_NULL_HSTMT;
    QK_uint8 rid[16] = {0};
    SQLLEN ind = 0;
    int row = 0;
    QK_mssql__prepare__format(ctx, conn, &st,
                              "SELECT rv.rid, rv.txid FROM tavrin.[demo$z$rv$%s] rv INNER JOIN tavrin.[demo$z$x$%s] x "
                              "ON x.z_rv = rv.z_rv WHERE x.id = %d",
                              t.c_str(), t.c_str(), id);
    QK_mssql__execute(ctx, st);
    QK_mssql__fetch(ctx, st, &row);
    if (row) {
      QK_mssql__get__guid(ctx, st, 1, rid, &ind);
      QK_mssql__get__int64(ctx, st, 2, &v.txid, &ind);
    }
    QK_mssql__free_stmt(ctx, st);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_TRUE(row) << "no live row " << id << " in " << t;
    char hex[33];
    QK_hex__encode_16(rid, hex);
    v.rid = hex;
    return v;
  }
  std::string rows(const std::string &sql) { return server_rows(sql); }

  // ---- Package side ----

  std::string new_rid() {
    char hex[33];
    snprintf(hex, sizeof hex, "%032x", ++ridCounter);
    return hex;
  }
  // A version-4 package with row and delta tables for the given tables, the deltas already
  // carrying the column the conflict resolution adds.
  void new_package(const std::vector<std::string> &tables) {
    tav_pkg__create(ctx, dataDir.c_str(), 4, &pkg);
    for (const std::string &t : tables) {
      tav_pkg__create_rows_table(ctx, pkg.db, d, t.c_str(), 4);
      tav_pkg__create_row_deltas_table(ctx, pkg.db, t.c_str());
      pkg_exec("ALTER TABLE \"p$rd$" + t + "\" ADD COLUMN txid_rec_undel INTEGER NULL");
    }
    ASSERT_EQ(take_error(), "ok");
  }
  void pkg_exec(const std::string &sql) {
    char *err = nullptr;
    sqlite3_exec(pkg.db, sql.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(err ? std::string(err) : "ok", "ok") << sql;
    sqlite3_free(err);
  }
  // A pushed row version: columns and SQL values as text, e.g. ("id,name", "4,'d'").
  void row(const std::string &t, const std::string &rid, const std::string &cols, const std::string &values) {
    pkg_exec("INSERT INTO \"p$u$" + t + "\" (z_rid, z_txid, " + cols + ") VALUES (x'" + rid + "', " +
             std::to_string(TAV_PKG_PLACEHOLDER_TXID) + ", " + values + ")");
  }
  void delta(const std::string &t, const std::string &rid, bool add, QK_int64 del, QK_int64 undel = 0) {
    pkg_exec("INSERT INTO \"p$rd$" + t + "\" (rid, txid_rec_add, txid_rec_del, txid_rec_undel, txid) VALUES (x'" +
             rid + "', " + (add ? std::to_string(TAV_PKG_PLACEHOLDER_TXID) : "NULL") + ", " +
             (del ? std::to_string(del) : "NULL") + ", " + (undel ? std::to_string(undel) : "NULL") + ", " +
             std::to_string(TAV_PKG_PLACEHOLDER_TXID) + ")");
  }
  void insert(const std::string &t, const std::string &cols, const std::string &values, std::string *pRid = nullptr) {
    std::string rid = new_rid();
    row(t, rid, cols, values);
    delta(t, rid, true, 0);
    if (pRid) *pRid = rid;
  }
  void update(const std::string &t, int id, const std::string &cols, const std::string &values) {
    Version v = live(t, id);
    row(t, v.rid, cols, values);
    delta(t, v.rid, true, v.txid);
  }
  void remove(const std::string &t, int id) {
    Version v = live(t, id);
    delta(t, v.rid, false, v.txid);
  }

  // The package as the outside inspector sees it: "ok" or its problems.
  std::string inspect() {
    QK_string *json = nullptr;
    tav_defin__to_json(ctx, d, &json);
    std::string schema = dataDir + "/schema.json";
    std::ofstream(schema) << (json ? QK_string__sz(json) : "");
    QK_string__free(ctx, json);
    pkg_exec("COMMIT TRANSACTION");
    std::string cmd = "/usr/bin/python3 '" TAVRIN_SOURCE_DIR "/tests/tools/pkg_inspect.py' '" + std::string(pkg.path) +
                      "' --work --schema '" + schema + "' 2>&1";
    std::string out;
    run_shell(cmd, out);
    pkg_exec("BEGIN IMMEDIATE TRANSACTION");
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  // Imports the package inside a transaction; "ok" or "code:message". Rolled back on failure.
  // A package the test means to be malformed must fail the outside inspection too.
  std::string push(QK_int64 fid = 0, QK_int64 *pTxid = nullptr, bool wellFormed = true) {
    std::string verdict = inspect();
    if (wellFormed)
      EXPECT_EQ(verdict, "ok");
    else
      EXPECT_NE(verdict, "ok");
    QK_uint8 rstamp[16];
    for (int i = 0; i < 16; i++) rstamp[i] = (QK_uint8)(0xA0 + i + ridCounter);
    rstamp[0] = (QK_uint8)++pushCounter;
    QK_int64 txid = 0;
    tav_db_mssql__begin_tx(ctx, h, nullptr);
    EXPECT_EQ(take_error(), "ok");
    tav_db_mssql__import_push(ctx, h, d, nullptr, rstamp, pkg.db, fid, &txid);
    std::string result = take_error();
    if (result == "ok") {
      tav_db_mssql__commit_tx(ctx, h);
    } else {
      tav_db_mssql__rollback_tx(ctx, h);
    }
    EXPECT_EQ(take_error(), "ok");
    if (pTxid) *pTxid = txid;
    tav_pkg__close(ctx, &pkg);
    EXPECT_EQ(take_error(), "ok");
    return result;
  }
};

#endif

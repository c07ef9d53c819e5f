// A provisioned dbfile with history for the download builders and the pull: database "shop"
// with dbfile "demo" over items (identity id, name, qty) and parts (id, item_id -> items,
// label). T1 inserts items a, b, c and parts p1 (of a), p2 (of b); T2, stamped as a push
// is, renames a to A and deletes b and p2. Packages are read from outside with python's sqlite3 and judged by the
// package inspector.
#pragma once

#include <fstream>
#include <string>

#include "store_fixture.h"
#include "store_ops_fixture.h"

#include "qk/qk_malloc.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_respond_protocol.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

struct DownloadTest : StoreTest {
  std::string work = store_temp_dir("tav_download_work_");
  std::string items, parts;
  tav_backend_ops ops = store_ops();
  tav_db_handle *h = nullptr;
  tav_pkg pkg = {};
  QK_int64 t1 = 0, t2 = 0;

  // Columns of items that add-table synchronises (all when empty).
  virtual std::string item_columns() { return ""; }

  void SetUp() override {
    StoreTest::SetUp();
    std::string created;
    ASSERT_EQ(cli("create-db " + dataDir + " shop", &created), 0) << created;
    run_script("shop",
               "CREATE TABLE dbo.items (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(50) NOT NULL, qty int NULL)\n"
               "CREATE TABLE dbo.parts (id int NOT NULL PRIMARY KEY, item_id int NULL REFERENCES dbo.items (id), "
               "label nvarchar(20) NULL)\n");
    std::string out;
    ASSERT_EQ(cli("create-config " + dataDir + " shop", &out), 0) << out;
    ASSERT_EQ(cli("register-dbfile " + dataDir + " shop demo", &out), 0) << out;
    ASSERT_EQ(cli("create-dbfile " + dataDir + " shop demo", &out), 0) << out;
    ASSERT_EQ(cli("add-table " + dataDir + " shop demo dbo.items " + item_columns(), &out), 0) << out;
    items = out.substr(0, out.find('\n'));
    ASSERT_EQ(cli("add-table " + dataDir + " shop demo dbo.parts", &out), 0) << out;
    parts = out.substr(0, out.find('\n'));
    open("shop");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    ASSERT_EQ(take_error(), "ok");
    next_generation();
    t1 = write("INSERT INTO dbo.items (name, qty) VALUES (N'a', 1), (N'b', 2), (N'c', 3);"
               "INSERT INTO dbo.parts VALUES (1, 1, N'p1'), (2, 2, N'p2');");
    next_generation();
    t2 = write_stamped("UPDATE dbo.items SET name = N'A' WHERE id = 1; DELETE FROM dbo.parts WHERE id = 2;"
               "DELETE FROM dbo.items WHERE id = 2;");
  }
  void TearDown() override {
    tav_pkg__close(ctx, &pkg);
    tav_db_mssql__handle_free(ctx, &h);
    QK_context__reset_error(ctx);
    std::filesystem::remove_all(work);
    StoreTest::TearDown();
  }

  // The same as a push does it: the transaction carries the client's rstamp.
  QK_int64 write_stamped(const std::string &sql) {
    QK_uint8 rstamp[16];
    for (int i = 0; i < 16; i++) rstamp[i] = (QK_uint8)(0xA0 + i);
    exec("BEGIN TRANSACTION");
    QK_int64 txid = 0;
    tav_db_mssql__get_tx_id(ctx, h, rstamp, &txid);
    EXPECT_EQ(take_error(), "ok");
    exec(sql);
    EXPECT_EQ(int64("SELECT MAX(txid) FROM tavrin.demo$t$tx"), txid);
    exec("COMMIT TRANSACTION");
    return txid;
  }
  QK_int64 next_generation() { return new_generation(h); }

  // The inspector's verdict on a package file.
  std::string inspect(const std::string &file, const std::string &options = "") {
    return capture("/usr/bin/python3 '" TAVRIN_SOURCE_DIR "/tests/tools/pkg_inspect.py' '" + file + "' " + options +
                   " 2>&1");
  }
  // The inspector's verdict on the package.
  std::string inspect_pkg(const std::string &options = "") { return pkg.path ? inspect(pkg.path, options) : "<no package>"; }
  // Rows of a package file through python's sqlite3 (blobs as hex), "|" and ";" joined.
  std::string rows_of(const std::string &file, const std::string &sql) {
    std::string script = work + "/q.py";
    std::ofstream(script) << "import sqlite3,sys\nc=sqlite3.connect(sys.argv[1])\nout=[]\n"
                             "for r in c.execute(sys.argv[2]):\n"
                             "  out.append('|'.join('NULL' if v is None else v.hex() if isinstance(v,bytes) else str(v) for v in r))\n"
                             "print(';'.join(out))\n";
    std::string sqlFile = work + "/q.sql";
    std::ofstream(sqlFile) << sql;
    return capture("/usr/bin/python3 " + script + " '" + file + "' \"$(cat " + sqlFile + ")\" 2>&1");
  }
  std::string rows(const std::string &sql) { return pkg.path ? rows_of(pkg.path, sql) : "<no package>"; }
  // The next baseline the package gives its client: row 0's text (versions 4, 5) or the
  // newest generation (version 6).
  std::string next_baseline() {
    std::string gen = rows("SELECT generation || 'g' || id FROM p$gen WHERE generation > 0 ORDER BY generation DESC LIMIT 1");
    return gen.empty() || gen[0] == '<' || gen.find("no such table") != std::string::npos
               ? rows("SELECT rstamp FROM p$tx WHERE txid = 0")
               : gen;
  }
  // Lowercase hex of a transaction's rstamp, as the store reads it.
  std::string rstamp_hex(QK_int64 txid) {
    QK_int64 t = 0, rebaseid = 0;
    QK_uint8 r[16] = {0};
    tav_db_mssql__get_tx_info(ctx, h, txid, nullptr, &t, r, &rebaseid);
    EXPECT_EQ(take_error(), "ok");
    char buf[33];
    for (int i = 0; i < 16; i++) snprintf(buf + 2 * i, 3, "%02x", r[i]);
    return buf;
  }
};

#endif

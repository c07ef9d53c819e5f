// Exports of history rows and table rows into packages, through unixODBC against the SQL
// Server stand-in, checked from outside with python's sqlite3 and hashlib and with the
// package inspector.
#include <map>

#include "download_fixture.h"
#include "pkg_fixture.h"
#include "store_fixture.h"

#include "common/tav_parse_defin_query.h"
#include "qk/qk_malloc.h"
#include "qk/qk_varray.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_export.h"
#include "server/tav_handle_conflicts_download.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni g_odbc_ini;

// A dbfile "demo" with two tables: items (identity id, name, qty) and parts (id, item_id ->
// items, label). History: generation 2 holds the schema transactions; transaction T1 inserts
// items a, b, c and parts p1 (of a) and p2 (of b), generation 3; T2 renames a, deletes b and
// p2, generation 4.
struct ExportTest : StoreTest {
  std::string work = store_temp_dir("tav_export_work_");
  std::string items, parts;
  tav_db_handle *h = nullptr;
  tav_defin *d = nullptr;
  tav_pkg pkg = {};
  QK_vhash *states = nullptr;
  QK_int64 t1 = 0, t2 = 0;

  void SetUp() override {
    StoreTest::SetUp();
    run_script("shop",
               "CREATE TABLE dbo.items (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(50) NOT NULL, qty int NULL)\n"
               "CREATE TABLE dbo.parts (id int NOT NULL PRIMARY KEY, item_id int NULL REFERENCES dbo.items (id), "
               "label nvarchar(20) NULL)\n");
    std::string out;
    ASSERT_EQ(cli("create-dbfile " + dataDir + " shop demo", &out), 0) << out;
    ASSERT_EQ(cli("add-table " + dataDir + " shop demo dbo.items", &out), 0) << out;
    items = out.substr(0, out.find('\n'));
    ASSERT_EQ(cli("add-table " + dataDir + " shop demo dbo.parts", &out), 0) << out;
    parts = out.substr(0, out.find('\n'));
    open("shop");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    ASSERT_EQ(take_error(), "ok");
    ASSERT_EQ(next_generation(), 2);
    t1 = write("INSERT INTO dbo.items (name, qty) VALUES (N'a', 1), (N'b', 2), (N'c', 3);"
               "INSERT INTO dbo.parts VALUES (1, 1, N'p1'), (2, 2, N'p2');");
    ASSERT_EQ(next_generation(), 3);
    t2 = write("UPDATE dbo.items SET name = N'A' WHERE id = 1; DELETE FROM dbo.parts WHERE id = 2;"
               "DELETE FROM dbo.items WHERE id = 2;");
    ASSERT_EQ(next_generation(), 4);
    build_defin();
    QK_vhash__alloc(ctx, &states);
  }
  void TearDown() override {
    tav_pkg__close(ctx, &pkg);
    QK_vhash__free(ctx, states);
    tav_defin__free(ctx, &d);
    tav_db_mssql__handle_free(ctx, &h);
    QK_context__reset_error(ctx);
    std::filesystem::remove_all(work);
    StoreTest::TearDown();
  }

  QK_int64 next_generation() { return new_generation(h); }
  // A list of single txids the client lacks; the caller frees it.
  QK_varray *listing(QK_int64 txid) {
    QK_varray *listed = nullptr;
    QK_varray__alloc(ctx, &listed);
    QK_varray__append__int64(ctx, listed, txid);
    return listed;
  }
  void build_defin() {
    tav_defin__alloc(ctx, 1, &d);
    const char *t = items.c_str(), *p = parts.c_str();
    tav_defin__add_table(ctx, d, t, "items", 2);
    tav_defin__add_column(ctx, d, t, "1", "id", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, t, "1", "int");
    tav_defin__set_type_identity(ctx, d, t, "1", "PK_items");
    tav_defin__add_column(ctx, d, t, "2", "name", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, t, "2", "nvarchar");
    tav_defin__set_type_text(ctx, d, t, "2", "Latin1_General_CI_AS", "1033", 0, 0, 1, 0, 0, 0, 0, 1, 50);
    tav_defin__add_column(ctx, d, t, "3", "qty", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, t, "3", "int");
    tav_defin__set_type_simple(ctx, d, t, "3", "sint32");
    tav_defin__set_pk_name(ctx, d, t, "PK_items");
    tav_defin__add_pk_column(ctx, d, t, "1");
    tav_defin__add_table(ctx, d, p, "parts", 3);
    tav_defin__add_column(ctx, d, p, "1", "id", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, p, "1", "int");
    tav_defin__set_type_simple(ctx, d, p, "1", "sint32");
    tav_defin__add_column(ctx, d, p, "2", "item_id", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, p, "2", "int");
    tav_defin__set_type_simple(ctx, d, p, "2", "sint32");
    tav_defin__add_column(ctx, d, p, "3", "label", 1, 0, 0);
    tav_defin__set_mssql_col_data_type(ctx, d, p, "3", "nvarchar");
    tav_defin__set_type_text(ctx, d, p, "3", "Latin1_General_CI_AS", "1033", 0, 0, 1, 0, 0, 0, 0, 1, 20);
    tav_defin__set_pk_name(ctx, d, p, "PK_parts");
    tav_defin__add_pk_column(ctx, d, p, "1");
    ASSERT_EQ(take_error(), "ok");
  }

  // A new package of the version with the table's rows table (and row deltas below 6).
  void new_package(int version, const std::string &tbl) {
    tav_pkg__create(ctx, work.c_str(), version, &pkg);
    tav_pkg__create_rows_table(ctx, pkg.db, d, tbl.c_str(), version);
    if (version < 6) tav_pkg__create_row_deltas_table(ctx, pkg.db, tbl.c_str());
    ASSERT_EQ(take_error(), "ok");
  }
  sqlite3_stmt *prepare(const std::string &sql) {
    sqlite3_stmt *st = nullptr;
    QK_sqlite__prepare_printf(ctx, pkg.db, &st, "%s", sql.c_str());
    EXPECT_EQ(take_error(), "ok") << sql;
    return st;
  }
  std::string row_insert(const std::string &tbl, int version) {
    std::string cols = tbl == items ? "\"id\",\"name\",\"qty\"" : "\"id\",\"item_id\",\"label\"";
    return version == 6 ? "INSERT INTO \"p$u$" + tbl + "\" (z_rid,z_gen_del,z_gen_add," + cols + ") VALUES (?,?,?,?,?,?)"
                        : "INSERT INTO \"p$u$" + tbl + "\" (z_rid,z_txid," + cols + ") VALUES (?,?,?,?,?)";
  }
  QK_vhash *state(const std::string &tbl, const std::string &json) {
    QK_vhash *s = nullptr;
    QK_vhash__alloc__from_json(ctx, &s, json.c_str());
    QK_vhash__add__vhash(ctx, states, tbl.c_str(), &s);
    QK_vhash *got = nullptr;
    QK_vhash__get__vhash(ctx, states, tbl.c_str(), &got);
    EXPECT_EQ(take_error(), "ok");
    return got;
  }
  // Exports one table and returns the digest (or "") after the package was committed,
  // closed and accepted by the inspector.
  std::string export_table(int version, const std::string &tbl, tav_export_range *range, const char *clientDigest = nullptr,
                           bool wantDigest = false, bool deltas = true) {
    sqlite3_stmt *rows = prepare(row_insert(tbl, version));
    sqlite3_stmt *rd = version < 6 && deltas
                           ? prepare("INSERT INTO \"p$rd$" + tbl + "\" (rid,txid_rec_add,txid_rec_del,txid) VALUES (?,?,?,?)")
                           : nullptr;
    char *digest = nullptr;
    tav_db_mssql__export_table(ctx, h, version, d, states, tbl.c_str(), range, clientDigest,
                               wantDigest ? &digest : nullptr, rows, rd);
    std::string err = take_error();
    sqlite3_finalize(rows);
    sqlite3_finalize(rd);
    std::string result = digest ? digest : "";
    QK_free(ctx, digest);
    EXPECT_EQ(err, "ok");
    finish();
    return result;
  }
  void finish() {
    ASSERT_EQ(PkgTest::exec(pkg.db, "COMMIT TRANSACTION"), "ok");
    ASSERT_EQ(sqlite3_close(pkg.db), SQLITE_OK);
    pkg.db = nullptr;
    EXPECT_EQ(inspect(), "ok");
  }
  std::string inspect() {
    return capture("/usr/bin/python3 '" TAVRIN_SOURCE_DIR "/tests/tools/pkg_inspect.py' '" + std::string(pkg.path) + "' 2>&1");
  }
  // Rows of the closed package through python's sqlite3 (blobs as hex), "|" and ";" joined.
  std::string pkg_rows(const std::string &sql) {
    std::string script = work + "/q.py";
    std::ofstream(script) << "import sqlite3,sys\nc=sqlite3.connect(sys.argv[1])\nout=[]\n"
                             "for r in c.execute(sys.argv[2]):\n"
                             "  out.append('|'.join('NULL' if v is None else v.hex() if isinstance(v,bytes) else str(v) for v in r))\n"
                             "print(';'.join(out))\n";
    return capture("/usr/bin/python3 " + script + " '" + pkg.path + "' \"" + sql + "\" 2>&1");
  }
  // The row id of an items/parts row as the package holds it (hex of the 16 bytes).
  std::string rid_hex(const std::string &tbl, int id) {
    std::string rid;
    auto rows = int64("SELECT MIN(rv.z_rv) FROM tavrin.\"demo$z$rv$" + tbl + "\" rv WHERE rv.z_rv IN (SELECT z_rv FROM tavrin.\"demo$z$" +
                      tbl + "\" WHERE id = " + std::to_string(id) + " UNION SELECT z_rv FROM tavrin.\"demo$z$old$" + tbl +
                      "\" WHERE id = " + std::to_string(id) + ")");
    SQLHSTMT st = SQL_NULL_HSTMT;
    QK_mssql__prepare__format(ctx, conn, &st, "SELECT rid FROM tavrin.\"demo$z$rv$%s\" WHERE z_rv = %lld", tbl.c_str(),
                              (long long)rows);
    QK_mssql__execute(ctx, st);
    QK_mssql__fetch(ctx, st, nullptr);
    QK_uint8 *b = nullptr;
    QK_uint32 len = 0;
    tav_db_mssql__get_bytes(ctx, st, 1, &len, &b);
    for (QK_uint32 i = 0; i < len; i++) {
      char x[3];
      snprintf(x, sizeof x, "%02x", b[i]);
      rid += x;
    }
    tav_db_mssql__free_bytes(ctx, &b);
    QK_mssql__free_stmt(ctx, st);
    EXPECT_EQ(take_error(), "ok");
    return rid;
  }
  std::string python(const std::string &body) {
    std::string script = work + "/p.py";
    std::ofstream(script) << body;
    return capture("/usr/bin/python3 " + script + " 2>&1");
  }
  // A client's set digest computed independently: "#" + base64 MD5 of the versions (8-byte
  // big-endian, ascending), or the older form chained over row ids in uniqueidentifier order.
  std::string rv_digest(const std::vector<QK_int64> &rvs) {
    std::string list;
    for (auto v : rvs) list += std::to_string(v) + ",";
    return python("import hashlib,base64\nrvs=sorted([" + list + "])\n"
                  "print('#'+base64.b64encode(hashlib.md5(b''.join(v.to_bytes(8,'big') for v in rvs)).digest()).decode())\n");
  }
  std::string rid_digest(const std::vector<std::string> &ridHex) {
    std::string ids;
    for (const auto &r : ridHex) ids += r + " ";
    return python("import hashlib,base64,uuid\n"
                  "ids=[uuid.UUID(bytes_le=bytes.fromhex(x)) for x in '" + ids + "'.split()]\n"
                  "ids.sort(key=lambda u:(u.bytes[10:16],u.bytes[8:10],u.bytes[6:8],u.bytes[4:6],u.bytes[0:4]))\n"
                  "h=bytes(16)\nfor u in ids: h=hashlib.md5(h+u.bytes_le).digest()\n"
                  "print(base64.b64encode(h).decode())\n");
  }
  // The row deltas of the last export, each rid as the hex of SQL Server's bytes (the
  // stand-in may hand COALESCEd rids over as GUID text, first three groups big-endian), and
  // the inspector's verdict where the rids stayed blobs.
  std::string row_deltas(const std::string &tbl) {
    const std::string from = " FROM p\\$rd\\$" + tbl + " ORDER BY txid, txid_rec_del, txid_rec_add";
    EXPECT_EQ(pkg_rows("SELECT COUNT(*) FROM p\\$rd\\$" + tbl + " WHERE typeof(rid) <> 'blob'"), "0")
        << "row-delta rids must arrive as their 16 bytes";
    return pkg_rows("SELECT hex(rid), txid_rec_add, txid_rec_del, txid" + from);
  }
  static std::string upper(std::string s) {
    for (auto &ch : s) ch = (char)toupper(ch);
    return s;
  }
};

// Pulls of clients of versions 2 to 5 that list the transactions they lack, over a history of
// 40,000 transactions more: items and parts change in the last two of them (W1, W2), items alone
// in one after them (W3).
struct ListedTxidsTest : DownloadTest {
  static constexpr int kPadding = 40000;
  QK_int64 w2 = 0, schema_txid = 0;

  void SetUp() override {
    DownloadTest::SetUp();
    // Transactions without changes, as other clients' pushes of other tables leave them.
    QK_int64 next = int64("SELECT MAX(txid) FROM tavrin.demo$t$tx") + 1;
    for (int done = 0; done < kPadding; done += 1000) {
      std::string sql = "INSERT INTO tavrin.demo$t$tx (txid, rstamp, rebaseid) VALUES ";
      for (int i = 0; i < 1000; i++, next++)
        sql += (i ? ",(" : "(") + std::to_string(next) + ", NEWID(), " + std::to_string(next) + ")";
      exec(sql);
    }
    write("INSERT INTO dbo.items (name, qty) VALUES (N'd', 4)");
    w2 = write("UPDATE dbo.items SET qty = 30 WHERE id = 3; INSERT INTO dbo.parts VALUES (3, 3, N'p3')");
    next_generation();
    write("UPDATE dbo.items SET name = N'D' WHERE name = N'd'");
    next_generation();
    // Each may be a client's baseline, as the exports that handed them out left them stamped.
    exec("UPDATE tavrin.demo$t$tx SET rstamp = NEWID(), rebaseid = txid WHERE rstamp IS NULL OR rebaseid IS NULL");
    tav_defin *d = nullptr;
    tav_db_mssql__fetch_schema(ctx, h, nullptr, &schema_txid, nullptr, &d);
    tav_defin__free(ctx, &d);
    ASSERT_EQ(take_error(), "ok");
  }

  // The baseline text of a client that holds txid and everything before, but the listed ones.
  std::string baseline(QK_int64 txid, const std::vector<QK_int64> &listed = {}) {
    QK_int64 count = 0;
    tav_db_mssql__count_txids(ctx, h, txid, &count);
    EXPECT_EQ(take_error(), "ok");
    std::string text = std::to_string(txid) + "," + rstamp_hex(txid) + "," +
                       std::to_string(int64("SELECT rebaseid FROM tavrin.demo$t$tx WHERE txid = " + std::to_string(txid))) +
                       "," + std::to_string(count - (QK_int64)listed.size()) + "," + std::to_string(schema_txid);
    for (QK_int64 t : listed) text += "m" + std::to_string(t);
    return text;
  }
  // The rows of every table of the package a pull of that baseline answers, each table's sorted.
  std::string pull(int pv, const std::string &from) {
    tav_baseline b = {};
    tav_respond__parse_baseline(ctx, from.c_str(), &b);
    QK_vhash *status = nullptr;
    QK_int64 g = 0;
    tav_db_mssql__begin_tx(ctx, h, &g);
    tav_pkg__close(ctx, &pkg);
    tav_export__package(ctx, work.c_str(), &ops, h, pv, 0, 0, &b, g, nullptr, nullptr, nullptr, nullptr, 0, &pkg,
                        &status);
    std::string err = take_error();
    tav_db_mssql__rollback_tx(ctx, h);
    tav_baseline__free_collections(ctx, &b);
    QK_vhash__free(ctx, status);
    EXPECT_EQ(take_error(), "ok");
    if (err != "ok") return err;
    if (status != nullptr) return "a status answer";
    std::string script = work + "/tables.py";
    std::ofstream(script) << "import sqlite3,sys\nc=sqlite3.connect(sys.argv[1])\n"
                             "for (t,) in c.execute(\"SELECT name FROM sqlite_master WHERE type='table' AND "
                             "(name LIKE 'p$u$%' OR name LIKE 'p$rd$%') ORDER BY name\"):\n"
                             "  print(t, sorted(repr(r) for r in c.execute('SELECT * FROM \"%s\"' % t)))\n";
    return pkg.path ? capture("/usr/bin/python3 " + script + " '" + pkg.path + "' 2>&1") : "<no package>";
  }
};

}  // namespace

TEST_F(ExportTest, TransactionRowsKeepTheNewestUpToTheLimitInAscendingOrder) {
  struct Case {
    int limit;
    std::string rows;
    QK_int64 first;
    int reached;
  } cases[] = {{2, "", 0, 1}, {10, "", 1, 0}};
  cases[0].rows = std::to_string(t1) + ";" + std::to_string(t2);
  cases[0].first = t1;
  for (QK_int64 t = 1; t <= t2; t++) cases[1].rows += (t > 1 ? ";" : "") + std::to_string(t);
  for (const auto &c : cases) {
    tav_pkg__create(ctx, work.c_str(), 5, &pkg);
    ASSERT_EQ(take_error(), "ok");
    QK_int64 first = -1;
    int reached = -1;
    tav_db_mssql__export_txids(ctx, h, 1, t2, c.limit, pkg.db, &first, &reached);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(first, c.first) << c.limit;
    EXPECT_EQ(reached, c.reached) << c.limit;
    finish();
    EXPECT_EQ(pkg_rows("SELECT txid FROM p\\$tx WHERE txid > 0 ORDER BY rowid"), c.rows) << c.limit;
    tav_pkg__close(ctx, &pkg);
  }
}

TEST_F(ExportTest, GenerationRowsFollowTheHistoryWindow) {
  struct Case {
    const char *setup;
    QK_int64 first, last, cutoff;
    const char *gens;
  } cases[] = {
      // Every generation is recent: the oldest is the cutoff and nothing is cut.
      {"", 2, 4, 1, "2;3;4"},
      // An empty range sends nothing.
      {"", 5, 4, 1, ""},
      // All generations are older than the (default) window: only the newest goes out.
      {"UPDATE tavrin.[demo$t$gen] SET ts = '2001-01-01'", 2, 4, 5, "4"},
      // The window starts inside the range: the range starts there.
      {"UPDATE tavrin.[demo$t$gen] SET ts = GETDATE() WHERE generation >= 3", 2, 4, 3, "3;4"},
      // ... or after a range that lies wholly before it: the range's last generation goes out.
      {"", 1, 2, 3, "2"},
  };
  for (const auto &c : cases) {
    if (*c.setup) exec(c.setup);
    tav_pkg__create(ctx, work.c_str(), 6, &pkg);
    QK_int64 cutoff = -1;
    tav_db_mssql__export_generations(ctx, h, c.first, c.last, pkg.db, &cutoff);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(cutoff, c.cutoff) << c.first << ".." << c.last;
    finish();
    EXPECT_EQ(pkg_rows("SELECT generation FROM p\\$gen WHERE generation > 0 ORDER BY generation"), c.gens);
    tav_pkg__close(ctx, &pkg);
  }
}

static int g_callback_calls = 0;
static void count_call(QK_context *, sqlite3 *) { g_callback_calls++; }

TEST_F(ExportTest, MetaRowsRunTheCallbackOnlyBeforeAFirstRow) {
  tav_pkg__create(ctx, work.c_str(), 5, &pkg);
  ASSERT_EQ(take_error(), "ok");
  g_callback_calls = 0;
  tav_db_mssql__export_meta_table(ctx, h, "tx", count_call, "\"txid\"", t2 + 1, t2 + 5, nullptr, pkg.db);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(g_callback_calls, 0);
  tav_db_mssql__export_meta_table(ctx, h, "tx", count_call, "\"txid\"", 1, t2, " AND (generation BETWEEN 3 AND 4)",
                                  pkg.db);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(g_callback_calls, 1);
  tav_db_mssql__export_meta_table(ctx, h, "t$x", nullptr, "\"txid\"", 1, 2, nullptr, pkg.db);
  EXPECT_EQ(code(), 2u);
  take_error();
  finish();
  EXPECT_EQ(pkg_rows("SELECT txid FROM p\\$tx WHERE txid > 0 ORDER BY txid"), std::to_string(t1) + ";" + std::to_string(t2));
}

TEST_F(ExportTest, UnfilteredGenerationExportsFromScratchAndIncrementally) {
  state(items, "{\"unfiltered\":true}");
  const std::string a = rid_hex(items, 1), b = rid_hex(items, 2), c = rid_hex(items, 3);
  const std::string sql = "SELECT hex(z_rid), z_gen_del, z_gen_add, id, name, qty FROM p\\$u\\$" + items + " ORDER BY z_gen_add, id";
  auto upper = [](std::string s) {
    for (auto &ch : s) ch = (char)toupper(ch);
    return s;
  };
  struct Case {
    QK_int64 first, cutoff;
    std::string rows;
  } cases[] = {
      // From scratch: the live rows; b's deletion only when it is not older than the cutoff.
      {1, 4, upper(c) + "|NULL|3|3|c|3;" + upper(b) + "|NULL|4|NULL|NULL|NULL;" + upper(a) + "|NULL|4|1|A|1"},
      {1, 5, upper(c) + "|NULL|3|3|c|3;" + upper(a) + "|NULL|4|1|A|1"},
      // A client at generation 3 gets the change and the deletion of a row it had, whatever the cutoff.
      {4, 5, upper(b) + "|3|4|NULL|NULL|NULL;" + upper(a) + "|3|4|1|A|1"},
  };
  for (const auto &k : cases) {
    new_package(6, items);
    tav_export_range range = {BY_GENERATION, k.first, 4, k.cutoff, nullptr, 0};
    export_table(6, items, &range);
    EXPECT_EQ(pkg_rows(sql), k.rows) << k.first << " cutoff " << k.cutoff;
    tav_pkg__close(ctx, &pkg);
  }
}

TEST_F(ExportTest, AVersionSupersededBeforeItsValuesAreReadComesFromTheOldValues) {
  state(items, "{\"unfiltered\":true}");
  // Later writes (not in any generation the export covers) move a's version to the old values
  // and delete c: neither reaches the package, from scratch or not.
  write("UPDATE dbo.items SET name = N'later' WHERE id = 1; DELETE FROM dbo.items WHERE id = 3");
  struct Case {
    QK_int64 first;
    std::string rows;
  } cases[] = {{4, "1|A|4"}, {1, "1|A|4;3|c|3"}};
  for (const auto &k : cases) {
    new_package(6, items);
    tav_export_range range = {BY_GENERATION, k.first, 4, 1, nullptr, 0};
    export_table(6, items, &range);
    EXPECT_EQ(pkg_rows("SELECT id, name, z_gen_add FROM p\\$u\\$" + items + " WHERE id IS NOT NULL ORDER BY id"), k.rows)
        << k.first;
    EXPECT_EQ(pkg_rows("SELECT count(*) FROM p\\$u\\$" + items + " WHERE id IS NULL"), "1")
        << k.first << ": b's deletion alone";
    tav_pkg__close(ctx, &pkg);
  }
}

TEST_F(ExportTest, UnfilteredTxidExportSendsRowsAndRowDeltas) {
  state(items, "{\"unfiltered\":true}");
  const std::string a = rid_hex(items, 1), b = rid_hex(items, 2), c = rid_hex(items, 3);
  auto upper = [](std::string s) {
    for (auto &ch : s) ch = (char)toupper(ch);
    return s;
  };
  const std::string T1 = std::to_string(t1), T2 = std::to_string(t2);
  QK_varray *listed = listing(t1);
  struct Case {
    const char *what;
    QK_int64 first, last;
    QK_varray *txids;
    std::string rows, deltas;
  } cases[] = {
      {"client at T1", t2, t2, nullptr, upper(a) + "|" + T2 + "|A",
       upper(a) + "|" + T2 + "|" + T1 + "|" + T2 + ";" + upper(b) + "|NULL|" + T1 + "|" + T2},
      // T1 listed as missing: its versions count as new, so b never reached the client.
      {"T1 missing", t2, t2, listed, upper(a) + "|" + T2 + "|A;" + upper(c) + "|" + T1 + "|c",
       upper(c) + "|" + T1 + "|NULL|" + T1 + ";" + upper(a) + "|" + T2 + "|NULL|" + T2},
      // An empty range sends nothing.
      {"empty", t2 + 1, t2, nullptr, "", ""},
  };
  for (const auto &k : cases) {
    new_package(5, items);
    tav_export_range range = {BY_TXID, k.first, k.last, 0, k.txids, 0};
    export_table(5, items, &range);
    EXPECT_EQ(pkg_rows("SELECT hex(z_rid), z_txid, name FROM p\\$u\\$" + items + " ORDER BY id"), k.rows) << k.what;
    EXPECT_EQ(pkg_rows("SELECT hex(rid), txid_rec_add, txid_rec_del, txid FROM p\\$rd\\$" + items +
                       " ORDER BY txid, txid_rec_add DESC"),
              k.deltas)
        << k.what;
    tav_pkg__close(ctx, &pkg);
  }
  QK_varray__free(ctx, listed);
}

TEST_F(ExportTest, TableHasChangesByRangeKind) {
  QK_varray *listed = listing(t1);
  struct Case {
    tav_export_range range;
    int changed;
  } cases[] = {
      {{BY_GENERATION, 3, 4, 0, nullptr, 0}, 1},
      {{BY_GENERATION, 5, 9, 0, nullptr, 0}, 0},
      {{BY_GENERATION, 4, 3, 0, nullptr, 0}, 0},
      {{BY_TXID, t2, t2, 0, nullptr, 0}, 1},
      {{BY_TXID, t2 + 1, t2 + 9, 0, nullptr, 0}, 0},
      {{BY_TXID, t2 + 1, t2, 0, listed, 0}, 1},
      {{BY_TXID, t2 + 1, t2, 0, nullptr, 0}, 0},
      {{FIRST_BY_TXID__LAST_BY_GENERATION, 999, 999, 0, nullptr, 0}, 1},
  };
  // By generation the first range asked is answered for all tables at once, later ones per table:
  // once with every range the first, once in a row.
  for (int first : {1, 0}) {
    for (auto &c : cases) {
      int changed = -1;
      if (first) tav_db_mssql__table_facts_free(&h->pTableFacts);
      tav_db_mssql__table_has_changes(ctx, h, items.c_str(), &c.range, &changed);
      ASSERT_EQ(take_error(), "ok");
      EXPECT_EQ(changed, c.changed) << c.range.spec_type << " " << c.range.first << ".." << c.range.last << " "
                                    << first;
    }
  }
  QK_varray__free(ctx, listed);
}

TEST_F(ExportTest, APurgeIntoTheRangeTurnsTheExportIntoAFullResend) {
  QK_vhash *s = state(items, "{\"unfiltered\":true}");
  std::string out;
  QK_int64 purged = -1;
  tav_export_range range = {BY_GENERATION, 3, 4, 1, nullptr, 0};
  // The mark before an export may be the transaction's first reading; the one after is read
  // afresh, so a purge in between tells the two apart and the export is retried.
  tav_db_mssql__purge_affects_range(ctx, h, items.c_str(), &range, 0, &purged);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(purged, 0);
  ASSERT_EQ(cli("purge " + dataDir + " shop demo 3", &out), 0) << out;
  for (int fresh : {0, 1}) {
    tav_db_mssql__purge_affects_range(ctx, h, items.c_str(), &range, fresh, &purged);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(purged, fresh ? 3 : 0) << fresh;
  }
  tav_db_mssql__table_facts_free(&h->pTableFacts);
  range.first = 4;
  tav_db_mssql__purge_affects_range(ctx, h, items.c_str(), &range, 0, &purged);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(purged, 0) << "a purge below the range leaves it alone";
  // By txid: a stretch that reaches into the purged generations, or lists a transaction of them.
  QK_varray *listed = listing(t1);
  struct Case {
    tav_export_range range;
    QK_int64 purged;
  } cases[] = {
      {{BY_TXID, t1, t2, 0, nullptr, 0}, 3},
      {{BY_TXID, t2, t2, 0, nullptr, 0}, 0},
      {{BY_TXID, t2, t2, 0, listed, 0}, 3},
  };
  for (auto &c : cases) {
    purged = -1;
    tav_db_mssql__purge_affects_range(ctx, h, items.c_str(), &c.range, 1, &purged);
    ASSERT_EQ(take_error(), "ok") << c.range.first;
    EXPECT_EQ(purged, c.purged) << c.range.first << (c.range.txids ? " and the listed one" : "");
  }
  QK_varray__free(ctx, listed);
  range.first = 3;
  new_package(6, items);
  export_table(6, items, &range);
  EXPECT_EQ(range.first, 1);
  int discard = 0;
  QK_vhash__get__bool(ctx, s, "needs-discard", &discard);
  EXPECT_EQ(discard, 1);
  EXPECT_EQ(pkg_rows("SELECT id FROM p\\$u\\$" + items + " WHERE id IS NOT NULL ORDER BY id"), "1;3");
}

// Filtered: items whose qty is above 1 (b and c at generation 3, c at 4), and parts of those items.
TEST_F(ExportTest, FilteredSetsDigestsAndBaselineDecision) {
  state(items, "{\"filtered-now\":true,\"filtered-previously\":true,\"where\":\"z$this.qty > 1\",\"where-prev\":\"z$this.qty > 1\"}");
  new_package(6, items);
  tav_export_range range = {BY_GENERATION, 4, 4, 1, nullptr, 0};
  // The client's digest of its baseline (b and c) is the row-version digest computed independently.
  QK_int64 zb = int64("SELECT z_rv FROM tavrin.\"demo$z$old$" + items + "\" WHERE id = 2");
  QK_int64 zc = int64("SELECT z_rv FROM tavrin.\"demo$z$" + items + "\" WHERE id = 3");
  auto digest_of = [&](std::vector<QK_int64> rvs) {
    std::string list;
    for (auto v : rvs) list += std::to_string(v) + ",";
    return python("import hashlib,base64\nrvs=sorted([" + list + "])\n"
                  "print('#'+base64.b64encode(hashlib.md5(b''.join(v.to_bytes(8,'big') for v in rvs)).digest()).decode())\n");
  };
  const std::string baseline = digest_of({zb, zc}), final_ = digest_of({zc});
  std::string got = export_table(6, items, &range, baseline.c_str(), true);
  EXPECT_EQ(got, final_);
  EXPECT_EQ(range.first, 4);
  // b left the set by deletion in generation 4; c is unchanged and not sent.
  EXPECT_EQ(pkg_rows("SELECT z_gen_del, z_gen_add, id FROM p\\$u\\$" + items), "3|4|NULL");
  tav_pkg__close(ctx, &pkg);

  // A client that holds the final set already gets nothing.
  QK_vhash__remove(ctx, states, items.c_str());
  QK_vhash *s = state(items, "{\"filtered-now\":true,\"filtered-previously\":true,\"where\":\"z$this.qty > 1\",\"where-prev\":\"z$this.qty > 1\"}");
  new_package(6, items);
  export_table(6, items, &range, final_.c_str(), true);
  EXPECT_EQ(pkg_rows("SELECT COUNT(*) FROM p\\$u\\$" + items), "0");
  tav_pkg__close(ctx, &pkg);

  // A wrong digest: everything is sent again and the client discards its rows first.
  QK_vhash__remove(ctx, states, items.c_str());
  s = state(items, "{\"filtered-now\":true,\"filtered-previously\":true,\"where\":\"z$this.qty > 1\",\"where-prev\":\"z$this.qty > 1\"}");
  new_package(6, items);
  export_table(6, items, &range, "#AAAAAAAAAAAAAAAAAAAAAA==", true);
  EXPECT_EQ(range.first, 1);
  int discard = 0;
  QK_vhash__get__bool(ctx, s, "needs-discard", &discard);
  EXPECT_EQ(discard, 1);
  EXPECT_EQ(pkg_rows("SELECT z_gen_del, z_gen_add, id FROM p\\$u\\$" + items), "NULL|3|3");
}

TEST_F(ExportTest, AChildLosesRowsWhoseParentLeftTheParentsSet) {
  state(items, "{\"filtered-now\":true,\"filtered-previously\":true,\"where\":\"z$this.name <> N'A'\",\"where-prev\":\"z$this.qty > 0\"}");
  state(parts, "{\"filtered-now\":true,\"filtered-previously\":true,\"assume-stable-baseline\":true,"
               "\"filtered-parents\":[{\"tbl\":\"" + items + "\",\"cols-to\":[\"id\"],\"cols-from\":[\"item_id\"]}]}");
  new_package(6, parts);
  tav_export_range range = {BY_GENERATION, 4, 4, 1, nullptr, 0};
  export_table(6, parts, &range);
  // p1's parent a was renamed out of the filter: p1 leaves the set (generation 0); p2 was deleted.
  EXPECT_EQ(pkg_rows("SELECT z_gen_del, z_gen_add, id FROM p\\$u\\$" + parts + " ORDER BY z_gen_add"), "3|0|NULL;3|4|NULL");
}

TEST_F(ExportTest, AFilterOnAnUnsynchedColumnIsAMisconfiguration) {
  run_script("shop", "ALTER TABLE dbo.items ADD secret int NULL\n");
  state(items, "{\"filtered-now\":true,\"where\":\"secret IS NULL\"}");
  char set[TAV_TEMP_NAME_SIZE];
  tav_export_range range = {BY_GENERATION, 1, 4, 1, nullptr, 0};
  tav_db_mssql__build_included_set(ctx, h, states, items.c_str(), &range, 1, set);
  EXPECT_EQ(code(), 312u);
  const char *msg = nullptr;
  QK_context__get_message(ctx, &msg);
  EXPECT_NE(std::string(msg).find("perhaps the WHERE clause references an unsynched column"), std::string::npos) << msg;
  EXPECT_NE(std::string(msg).find("applying filter on [dbo].[items]"), std::string::npos) << msg;
  take_error();
}

// The host-table test names the table from the catalog: a "]" in its name must not break it.
TEST_F(ExportTest, TheUnsynchedColumnTestQuotesTheHostTableName) {
  run_script("shop", "CREATE TABLE dbo.[odd]]name] (id int NOT NULL PRIMARY KEY, qty int NULL, secret int NULL)\n");
  std::string out;
  ASSERT_EQ(cli("add-table " + dataDir + " shop demo 'dbo.odd]name' id qty", &out), 0) << out;
  const std::string odd = out.substr(0, out.find('\n'));
  state(odd, "{\"filtered-now\":true,\"where\":\"secret IS NULL\"}");
  char set[TAV_TEMP_NAME_SIZE];
  tav_export_range range = {BY_GENERATION, 1, 4, 1, nullptr, 0};
  tav_db_mssql__build_included_set(ctx, h, states, odd.c_str(), &range, 1, set);
  EXPECT_EQ(code(), 312u);
  take_error();
  int runs = 0;
  tav_db_mssql__test_where_on_host(ctx, h, odd.c_str(), "secret IS NULL", &runs);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(runs, 1);
}

TEST_F(ExportTest, RowIdDigestMatchesAChainedMd5InUniqueidentifierOrder) {
  state(items, "{\"unfiltered\":true}");
  char set[TAV_TEMP_NAME_SIZE];
  tav_export_range range = {BY_GENERATION, 1, 4, 1, nullptr, 0};
  tav_db_mssql__build_included_set(ctx, h, states, items.c_str(), &range, 1, set);
  ASSERT_EQ(take_error(), "ok");
  char *digest = nullptr;
  tav_db_mssql__digest_row_ids(ctx, h, items.c_str(), set, &digest);
  ASSERT_EQ(take_error(), "ok");
  std::string ids = rid_hex(items, 1) + " " + rid_hex(items, 3);
  // Row ids travel as SQL Server's bytes (first three groups little-endian), so uuid's bytes_le.
  std::string expected = python("import hashlib,base64,uuid\n"
                                "ids=[uuid.UUID(bytes_le=bytes.fromhex(x)) for x in '" + ids + "'.split()]\n"
                                "ids.sort(key=lambda u:(u.bytes[10:16],u.bytes[8:10],u.bytes[6:8],u.bytes[4:6],u.bytes[0:4]))\n"
                                "h=bytes(16)\nfor u in ids: h=hashlib.md5(h+u.bytes_le).digest()\n"
                                "print(base64.b64encode(h).decode())\n");
  EXPECT_EQ(digest, expected);
  QK_free(ctx, digest);
}

TEST_F(ExportTest, ColumnDumpSendsTheValuesOfRowsTheClientKeeps) {
  QK_vhash *s = state(items, "{\"unfiltered\":true}");
  new_package(6, items);
  sqlite3_stmt *ins = prepare("INSERT INTO \"p$u$" + items + "\" (\"id\", \"qty\") VALUES (?,?)");
  tav_export_range range = {BY_GENERATION, 4, 4, 1, nullptr, 0};
  tav_db_mssql__export_column_dump(ctx, h, d, s, items.c_str(), &range, "\"id\", \"qty\"", "rec.\"id\", rec.\"qty\"", ins);
  ASSERT_EQ(take_error(), "ok");
  range.first = 1;
  tav_db_mssql__export_column_dump(ctx, h, d, s, items.c_str(), &range, "\"id\"", "rec.\"id\"", ins);
  EXPECT_EQ(code(), 500u);
  take_error();
  sqlite3_finalize(ins);
  finish();
  // Only c: a changed since (its new version goes out as a row change) and b was deleted.
  EXPECT_EQ(pkg_rows("SELECT id, qty FROM p\\$u\\$" + items + " WHERE z_rid IS NULL"), "3|3");
}

TEST_F(ExportTest, TxidOutsideFilter) {
  state(items, "{\"filtered-now\":true,\"filtered-previously\":true,\"where\":\"z$this.qty > 1\",\"where-prev\":\"z$this.qty > 1\"}");
  int outside = -1;
  // T2 renamed a (qty 1, never in the set).
  tav_db_mssql__txid_outside_filter(ctx, h, states, items.c_str(), t2, &outside);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(outside, 1);
  QK_int64 t3 = write("UPDATE dbo.items SET name = N'C' WHERE id = 3");
  tav_db_mssql__txid_outside_filter(ctx, h, states, items.c_str(), t3, &outside);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(outside, 0);
}

// A purge that lands while the rows are written: the package's row table calls back into a
// second connection that records the purge, and the export asks for a retry.
static QK_mssql_connection *g_purging = nullptr;
static std::string g_purge_sql;
static void purge_now(sqlite3_context *c, int, sqlite3_value **) {
  QK_context *ctx = nullptr;
  QK_context__alloc(&ctx);
  QK_mssql__exec(ctx, g_purging, g_purge_sql.c_str());
  sqlite3_result_int(c, QK_context__has_error(ctx) ? 0 : 1);
  QK_context__free(ctx);
}

TEST_F(ExportTest, APurgeDuringTheExportAsksForARetry) {
  state(items, "{\"unfiltered\":true}");
  tav_db_mssql__open(ctx, connection_string("shop").c_str(), nullptr, &g_purging);
  ASSERT_EQ(take_error(), "ok");
  g_purge_sql = "UPDATE tavrin.\"demo$t$t\" SET purged = 4 WHERE [object_id] = " + items;
  new_package(6, items);
  sqlite3_create_function(pkg.db, "purge_now", 0, SQLITE_UTF8, nullptr, purge_now, nullptr, nullptr);
  ASSERT_EQ(PkgTest::exec(pkg.db, "CREATE TEMP TRIGGER purge AFTER INSERT ON \"p$u$" + items +
                                      "\" BEGIN SELECT purge_now(); END"),
            "ok");
  sqlite3_stmt *rows = prepare(row_insert(items, 6));
  tav_export_range range = {BY_GENERATION, 4, 4, 1, nullptr, 0};
  tav_db_mssql__export_table(ctx, h, 6, d, states, items.c_str(), &range, nullptr, nullptr, rows, nullptr);
  EXPECT_EQ(code(), 91u);
  const char *msg = nullptr;
  QK_context__get_message(ctx, &msg);
  EXPECT_STREQ(msg, "Purge operation affected table export.");
  take_error();
  sqlite3_finalize(rows);
  tav_db_mssql__close(ctx, &g_purging);
}

// A self-referencing table "nodes" (id, parent_id, grp, parent_grp, qty): rows whose parent
// row is not in the set leave it, down the whole chain, for one- and two-column references.
TEST_F(ExportTest, SameTableReferencesPruneTheSetUntilItIsStable) {
  run_script("shop", "CREATE TABLE dbo.nodes (id int NOT NULL PRIMARY KEY, parent_id int NULL, grp int NOT NULL, "
                     "parent_grp int NULL, qty int NOT NULL)\n");
  std::string out;
  ASSERT_EQ(cli("add-table " + dataDir + " shop demo dbo.nodes", &out), 0) << out;
  const std::string nodes = out.substr(0, out.find('\n'));
  // 4 is filtered out, so 5 and then 6 lose their parent; 7 points at (1, 9), which does not exist.
  write("INSERT INTO dbo.nodes VALUES (1, NULL, 1, NULL, 5), (2, 1, 1, 1, 5), (3, 2, 1, 1, 5), (4, NULL, 1, NULL, 0), "
        "(5, 4, 1, 1, 5), (6, 5, 1, 1, 5), (7, 1, 1, 9, 5)");
  ASSERT_EQ(next_generation(), 5);
  struct Case {
    const char *refs, *kept;
  } cases[] = {
      {"[]", "1;2;3;5;6;7"},
      {"[{\"cols-to\":[\"id\"],\"cols-from\":[\"parent_id\"]}]", "1;2;3;7"},
      {"[{\"cols-to\":[\"id\",\"grp\"],\"cols-from\":[\"parent_id\",\"parent_grp\"]}]", "1;2;3"},
      // Two constraints: the second (multi-column) one counts as the first join.
      {"[{\"cols-to\":[\"id\"],\"cols-from\":[\"parent_id\"]},"
       "{\"cols-to\":[\"id\",\"grp\"],\"cols-from\":[\"parent_id\",\"parent_grp\"]}]",
       "1;2;3"},
  };
  for (const auto &c : cases) {
    QK_vhash__remove_if_present(ctx, states, nodes.c_str(), nullptr);
    state(nodes, std::string("{\"filtered-now\":true,\"where\":\"qty > 0\",\"same-table-ref-constraints\":") + c.refs + "}");
    char set[TAV_TEMP_NAME_SIZE];
    tav_export_range range = {BY_GENERATION, 1, 5, 1, nullptr, 0};
    tav_db_mssql__build_included_set(ctx, h, states, nodes.c_str(), &range, 1, set);
    ASSERT_EQ(take_error(), "ok") << c.refs;
    std::string kept;
    for (int id = 1; id <= 7; id++)
      if (int64("SELECT COUNT(*) FROM tavrin.\"demo$z$" + nodes + "\" WHERE id = " + std::to_string(id) +
                " AND z_rv IN (SELECT z_rv FROM #" + set + ")") == 1)
        kept += (kept.empty() ? "" : ";") + std::to_string(id);
    EXPECT_EQ(kept, c.kept) << c.refs;
  }
}

// Filtered txid exports with row deltas: b and c were in the client's set (qty > 1) after T1;
// T2 deleted b and left c alone.
TEST_F(ExportTest, FilteredTxidExportTrustsABaselineByEitherDigestForm) {
  const char *filter = "{\"filtered-now\":true,\"filtered-previously\":true,\"where\":\"z$this.qty > 1\","
                       "\"where-prev\":\"z$this.qty > 1\"}";
  const std::string b = rid_hex(items, 2), c = rid_hex(items, 3), T1 = std::to_string(t1), T2 = std::to_string(t2);
  const QK_int64 zb = int64("SELECT z_rv FROM tavrin.\"demo$z$old$" + items + "\" WHERE id = 2");
  const QK_int64 zc = int64("SELECT z_rv FROM tavrin.\"demo$z$" + items + "\" WHERE id = 3");
  struct Case {
    std::string digest;
    QK_int64 first;
    std::string rows, deltas;
  } cases[] = {
      // The baseline is proven: only b's departure, as of the end of the range.
      {rid_digest({b, c}), t2, "", upper(b) + "|NULL|" + T1 + "|" + T2},
      {rv_digest({zb, zc}), t2, "", upper(b) + "|NULL|" + T1 + "|" + T2},
      // A wrong digest of either form: the whole final set again.
      {rid_digest({c}), 1, "3|" + T1, upper(c) + "|" + T1 + "|NULL|" + T1},
      {rv_digest({zc, zb + 1000}), 1, "3|" + T1, upper(c) + "|" + T1 + "|NULL|" + T1},
  };
  for (const auto &k : cases) {
    QK_vhash__remove_if_present(ctx, states, items.c_str(), nullptr);
    QK_vhash *s = state(items, filter);
    new_package(5, items);
    tav_export_range range = {BY_TXID, t2, t2, 0, nullptr, 0};
    EXPECT_EQ(export_table(5, items, &range, k.digest.c_str(), true), rv_digest({zc})) << k.digest;
    EXPECT_EQ(range.first, k.first) << k.digest;
    int discard = 0;
    QK_vhash__check__bool(ctx, s, "needs-discard", &discard);
    EXPECT_EQ(discard, k.first == 1) << k.digest;
    EXPECT_EQ(pkg_rows("SELECT id, z_txid FROM p\\$u\\$" + items + " ORDER BY id"), k.rows) << k.digest;
    EXPECT_EQ(row_deltas(items), k.deltas) << k.digest;
    tav_pkg__close(ctx, &pkg);
  }
}

// Clients of package version 2 cannot learn of a row that entered their set without a change
// in the range: such a baseline is dropped. Only txid ranges are possible for them.
TEST_F(ExportTest, OldPackagesDropABaselineThatAnUnchangedRowEntered) {
  struct Case {
    const char *wherePrev;
    QK_int64 first;
    std::string txids;
  } cases[] = {
      {"z$this.qty > 2", 0, std::to_string(t2)},                          // a entered by T2's change
      {"z$this.qty > 5", 1, std::to_string(t1) + ";" + std::to_string(t2)},  // c (T1) entered unchanged
  };
  for (const auto &k : cases) {
    QK_vhash__remove_if_present(ctx, states, items.c_str(), nullptr);
    QK_vhash *s = state(items, std::string("{\"filtered-now\":true,\"filtered-previously\":true,\"assume-stable-baseline\":"
                                           "true,\"where\":\"z$this.qty > 0\",\"where-prev\":\"") +
                                   k.wherePrev + "\"}");
    new_package(2, items);
    tav_export_range range = {BY_TXID, t2, t2, 0, nullptr, 0};
    export_table(2, items, &range, nullptr, false, false);
    EXPECT_EQ(range.first, k.first ? 1 : t2) << k.wherePrev;
    int discard = 0;
    QK_vhash__check__bool(ctx, s, "needs-discard", &discard);
    EXPECT_EQ(discard, (int)k.first) << k.wherePrev;
    // Without row deltas the rows carry row id and txid alone.
    EXPECT_EQ(pkg_rows("SELECT z_txid FROM p\\$u\\$" + items + " WHERE z_rid IS NOT NULL ORDER BY z_txid"), k.txids)
        << k.wherePrev;
    tav_pkg__close(ctx, &pkg);
  }
  // A generation range with a trusted baseline cannot be served to such a client.
  QK_vhash__remove_if_present(ctx, states, items.c_str(), nullptr);
  state(items, "{\"filtered-now\":true,\"filtered-previously\":true,\"assume-stable-baseline\":true,"
               "\"where\":\"z$this.qty > 0\",\"where-prev\":\"z$this.qty > 0\"}");
  new_package(2, items);
  sqlite3_stmt *rows = prepare(row_insert(items, 2));
  tav_export_range range = {BY_GENERATION, 4, 4, 1, nullptr, 0};
  tav_db_mssql__export_table(ctx, h, 2, d, states, items.c_str(), &range, nullptr, nullptr, rows, nullptr);
  EXPECT_EQ(code(), 500u);
  const char *msg = nullptr;
  QK_context__get_message(ctx, &msg);
  EXPECT_NE(std::string(msg).find("export_range->spec_type == BY_TXID"), std::string::npos) << msg;
  take_error();
  sqlite3_finalize(rows);
}

// A range that starts at a txid and ends at a generation: T3 (not yet in a generation) lies
// past its end, so neither its row versions nor its ending of c's version are sent.
TEST_F(ExportTest, TxidToGenerationRangesStopAtTheLastGeneration) {
  const QK_int64 t3 = write("UPDATE dbo.items SET qty = 4 WHERE id = 3");
  const std::string a = rid_hex(items, 1), b = rid_hex(items, 2), T1 = std::to_string(t1), T2 = std::to_string(t2);
  {
    state(items, "{\"unfiltered\":true}");
    new_package(5, items);
    tav_export_range range = {FIRST_BY_TXID__LAST_BY_GENERATION, t2, 4, 0, nullptr, t2};
    export_table(5, items, &range);
    EXPECT_EQ(pkg_rows("SELECT id, z_txid, name FROM p\\$u\\$" + items + " ORDER BY id"), "1|" + T2 + "|A");
    EXPECT_EQ(row_deltas(items), upper(b) + "|NULL|" + T1 + "|" + T2 + ";" + upper(a) + "|" + T2 + "|" + T1 + "|" + T2);
    tav_pkg__close(ctx, &pkg);
  }
  // Filtered (qty > 1): the set at generation 4 still holds c's version of T1, now superseded.
  QK_vhash__remove(ctx, states, items.c_str());
  state(items, "{\"filtered-now\":true,\"filtered-previously\":true,\"where\":\"z$this.qty > 1\","
               "\"where-prev\":\"z$this.qty > 1\"}");
  const QK_int64 zb = int64("SELECT z_rv FROM tavrin.\"demo$z$old$" + items + "\" WHERE id = 2");
  const QK_int64 zc = int64("SELECT z_rv FROM tavrin.\"demo$z$old$" + items + "\" WHERE id = 3");
  new_package(5, items);
  tav_export_range range = {FIRST_BY_TXID__LAST_BY_GENERATION, t2, 4, 0, nullptr, t2};
  EXPECT_EQ(export_table(5, items, &range, rv_digest({zb, zc}).c_str(), true), rv_digest({zc}));
  EXPECT_EQ(range.first, t2);
  EXPECT_EQ(pkg_rows("SELECT COUNT(*) FROM p\\$u\\$" + items), "0");
  // b left as of the newest txid the export covers, not as of T3 or generation 4.
  EXPECT_EQ(row_deltas(items), upper(b) + "|NULL|" + T1 + "|" + T2);
  EXPECT_GT(t3, t2);
}

// However many transactions a client lists as missing, its answer is that of a client that holds
// everything before the first of them and lists none; the statements stay within SQL Server's
// limits on parameters and VALUES rows, which the stand-in holds.
TEST_F(ListedTxidsTest, AnyNumberOfListedTxidsGetsTheAnswerOfTheBaselineBeforeThem) {
  for (int listed : {10, 100, 2000, 40000}) {
    std::vector<QK_int64> missing;
    for (QK_int64 t = w2; t > w2 - listed; t--) missing.push_back(t);
    const std::string lister = baseline(w2, missing), before = baseline(w2 - listed);
    for (int pv = 2; pv <= 5; pv++) {
      SCOPED_TRACE("pv " + std::to_string(pv) + ", " + std::to_string(listed) + " listed");
      std::string expected = pull(pv, before);
      ASSERT_NE(expected.find("p3"), std::string::npos) << expected;
      EXPECT_EQ(pull(pv, lister), expected);
    }
  }
}

#endif

// Audit rows into the server's audit table and the identity-key lookup of a pushing client.
#include "import_fixture.h"
#include "server/tav_db_mssql_audit.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

TEST_F(ImportTest, AuditRowsGoToTheAuditTableWhenItExists) {
  new_package({});
  pkg_exec(TAV_PKG_AUDIT_TABLE_SQL);
  pkg_exec("INSERT INTO p$audit VALUES (x'00112233445566778899aabbccddeeff', 77, '1001', NULL, '{\"a\":1}', "
           "'{\"a\":\"\xc3\xa9t\xc3\xa9\"}', 'accept')");
  pkg_exec("INSERT INTO p$audit VALUES (x'', 78, '1001', 'x', NULL, NULL, 'ignore')");
  tav_db_mssql__import_audit(ctx, h, pkg.db);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(rows("SELECT dbfile, CAST(rid AS nvarchar(40)), txid, tbl, ancestor, already, incoming, result FROM "
                 "tavrin.audit ORDER BY txid"),
            "demo|33221100-5544-7766-8899-AABBCCDDEEFF|77|1001|NULL|{\"a\":1}|{\"a\":\"\xc3\xa9t\xc3\xa9\"}|accept;"
            "demo|NULL|78|1001|x|NULL|NULL|ignore");

  // Many rows go many to a statement: a full statement and a shorter last one, all of them.
  exec("DELETE FROM tavrin.audit");
  pkg_exec("DELETE FROM p$audit");
  pkg_exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 260) INSERT INTO p$audit "
           "SELECT CAST(printf('%016d', i) AS BLOB), i, '1001', NULL, 'a' || i, NULL, 'ignore' FROM n");
  tav_db_mssql__import_audit(ctx, h, pkg.db);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(rows("SELECT COUNT(*), COUNT(DISTINCT rid), MIN(txid), MAX(txid), SUM(CASE WHEN already = N'a' + "
                 "CAST(txid AS nvarchar(10)) THEN 1 ELSE 0 END) FROM tavrin.audit"),
            "260|260|1|260|260");

  // A row id of the wrong length fails; a server without the audit table imports nothing.
  pkg_exec("INSERT INTO p$audit VALUES (x'0102', 79, '1001', NULL, NULL, NULL, 'ignore')");
  tav_db_mssql__import_audit(ctx, h, pkg.db);
  EXPECT_EQ(take_error(), "3:guid blob must be 16 bytes: 2");
  exec("DROP TABLE tavrin.audit");
  tav_db_mssql__import_audit(ctx, h, pkg.db);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(ImportTest, IdentityLookupGivesServerKeysForKnownRowsAndLoggedPairs) {
  exec("INSERT INTO dbo.ident (name) VALUES (N'live'), (N'gone')");
  Version liveRow = live(ident, 1), goneRow = live(ident, 2);
  exec("DELETE FROM dbo.ident WHERE id = 2");
  exec("INSERT INTO tavrin.[demo$t$ipklog] (fid, tbl_id, temp_ipk, import_txid, final_ipk) VALUES (5, " + ident +
       ", 70, 1, 700), (6, " + ident + ", 71, 1, 701)");
  new_package({});
  pkg_exec("CREATE TABLE src (rid BLOB, v INTEGER)");
  pkg_exec("INSERT INTO src VALUES (x'" + liveRow.rid + "', -1), (x'" + goneRow.rid + "', -2), (x'" + new_rid() +
           "', -3)");
  pkg_exec("CREATE TABLE map (naked INTEGER, decorated TEXT)");
  struct Case {
    QK_int64 fid;
    const char *expected;
  } cases[] = {
      {5, "-3|C:-3;-2|S:2;-1|S:1;70|S:700"},
      {0, "-3|C:-3;-2|S:2;-1|S:1"},
  };
  for (const Case &c : cases) {
    pkg_exec("DELETE FROM map");
    sqlite3_stmt *query = nullptr, *insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(pkg.db, "SELECT rid, v FROM src ORDER BY v DESC", -1, &query, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_prepare_v2(pkg.db, "INSERT INTO map VALUES (?, ?)", -1, &insert, nullptr), SQLITE_OK);
    tav_db_mssql__lookup_identity_pk(ctx, h, d, c.fid, ident.c_str(), query, insert);
    EXPECT_EQ(take_error(), "ok");
    sqlite3_finalize(query);
    sqlite3_finalize(insert);
    sqlite3_stmt *st = nullptr;
    std::string got;
    sqlite3_prepare_v2(pkg.db, "SELECT naked || '|' || decorated FROM map ORDER BY naked", -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) got += (got.empty() ? "" : ";") + std::string((const char *)sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    EXPECT_EQ(got, c.expected) << "fid " << c.fid;
  }
  // A table without an identity column gets only the logged pairs.
  sqlite3_stmt *query = nullptr, *insert = nullptr;
  pkg_exec("DELETE FROM map");
  sqlite3_prepare_v2(pkg.db, "SELECT rid, v FROM src", -1, &query, nullptr);
  sqlite3_prepare_v2(pkg.db, "INSERT INTO map VALUES (?, ?)", -1, &insert, nullptr);
  tav_db_mssql__lookup_identity_pk(ctx, h, d, 5, parent.c_str(), query, insert);
  EXPECT_EQ(take_error(), "ok");
  sqlite3_finalize(query);
  sqlite3_finalize(insert);
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(pkg.db, "SELECT COUNT(*) FROM map", -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 0);
  sqlite3_finalize(st);
}

// The rows are looked up together, many to a statement: every pair comes back in the order of
// the query, across statement boundaries, with the server's key of every row it has or had.
TEST_F(ImportTest, IdentityLookupOfManyRowsKeepsTheQueryOrder) {
  exec("INSERT INTO dbo.ident (name) VALUES (N'a'), (N'b'), (N'c')");
  Version first = live(ident, 1), gone = live(ident, 2), last = live(ident, 3);
  exec("DELETE FROM dbo.ident WHERE id = 2");
  new_package({});
  pkg_exec("CREATE TABLE src (n INTEGER PRIMARY KEY, rid BLOB, v INTEGER)");
  pkg_exec("CREATE TABLE map (n INTEGER PRIMARY KEY AUTOINCREMENT, naked INTEGER, decorated TEXT)");
  std::string expected;
  const int count = 1500;
  for (int i = 0; i < count; i++) {
    // Known rows at both ends and across the first statement's end; one row without a row id.
    std::string rid = i == 0 ? first.rid : i == 700 ? gone.rid : i == count - 1 ? last.rid : new_rid();
    std::string blob = i == 900 ? "x''" : "x'" + rid + "'";
    pkg_exec("INSERT INTO src VALUES (" + std::to_string(i) + ", " + blob + ", " + std::to_string(5000 + i) + ")");
    std::string text = i == 0 ? "S:1" : i == 700 ? "S:2" : i == count - 1 ? "S:3" : "C:" + std::to_string(5000 + i);
    expected += (expected.empty() ? "" : ";") + std::to_string(5000 + i) + "|" + text;
  }
  sqlite3_stmt *query = nullptr, *insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(pkg.db, "SELECT rid, v FROM src ORDER BY n", -1, &query, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(pkg.db, "INSERT INTO map (naked, decorated) VALUES (?, ?)", -1, &insert, nullptr),
            SQLITE_OK);
  tav_db_mssql__lookup_identity_pk(ctx, h, d, 0, ident.c_str(), query, insert);
  EXPECT_EQ(take_error(), "ok");
  sqlite3_stmt *st = nullptr;
  std::string got;
  sqlite3_prepare_v2(pkg.db, "SELECT naked || '|' || decorated FROM map ORDER BY n", -1, &st, nullptr);
  while (sqlite3_step(st) == SQLITE_ROW) got += (got.empty() ? "" : ";") + std::string((const char *)sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  EXPECT_EQ(got, expected);

  // A row id of the wrong length fails the lookup.
  pkg_exec("INSERT INTO src VALUES (" + std::to_string(count) + ", x'0102', 1)");
  sqlite3_reset(query);
  tav_db_mssql__lookup_identity_pk(ctx, h, d, 0, ident.c_str(), query, insert);
  EXPECT_EQ(take_error(), "3:guid blob must be 16 bytes: 2");
  sqlite3_finalize(query);
  sqlite3_finalize(insert);
}

}  // namespace

#endif

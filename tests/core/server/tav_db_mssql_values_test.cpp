// Value conversion of the store: decimal and fraction texts, temp names, and the round trips
// SQL Server -> package -> SQL Server through the stand-in, plus the T-SQL derived from a
// schema definition.
#include <string.h>

#include "common/tav_parse_defin.h"
#include "qk/qk_malloc.h"
#include "qk/qk_idset.h"
#include "qk/qk_string.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_values.h"
#include "server/tav_handle_conflicts.h"
#include "store_fixture.h"

namespace {

struct Values : ContextTest {};

TEST_F(Values, DecimalTextsFromScaledIntegers) {
  struct Case {
    QK_int64 value;
    int scale;
    const char *text;
  } cases[] = {{12345, 2, "123.45"},
               {5, 3, "0.005"},
               {-5, 3, "-0.005"},
               {12345, 0, "12345."},
               {0, 2, "0.00"},
               {-9223372036854775807LL - 1, 4, "-922337203685477.5808"}};
  for (const Case &c : cases) {
    char buf[TAV_DECIMAL_SZ_SIZE];
    tav_db_mssql__format_decimal(ctx, c.value, c.scale, buf);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_STREQ(buf, c.text) << c.value << "/" << c.scale;
  }
}

TEST_F(Values, FractionsInUnitsOf100Nanoseconds) {
  struct Case {
    const char *text;
    QK_uint32 value;
  } cases[] = {{"12:00:00.5", 5000000},   {"2024-01-01 00:00:00.123", 1230000}, {"x.1234567", 1234567},
               {"x.0000001", 1},          {"12:00:00", 0},                      {"12:00:00.", 0},
               {"x.123456789", 1234567}};
  for (const Case &c : cases) EXPECT_EQ(tav_db_mssql__parse_fraction(c.text), c.value) << c.text;
}

TEST_F(Values, TempNamesStayWithin63Characters) {
  char name[TAV_TEMP_NAME_SIZE], other[TAV_TEMP_NAME_SIZE];
  tav_db_mssql__make_temp_name(ctx, name, "live", "1234");
  tav_db_mssql__make_temp_name(ctx, other, "live", "1234");
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(std::string(name).substr(0, 10), "live_1234_");
  EXPECT_EQ(strlen(name), 62u);
  EXPECT_EQ(strspn(name + 10, "0123456789abcdef"), 52u);
  EXPECT_STRNE(name, other);
  // A long kind and key are cut at 30 characters and marked with "t".
  tav_db_mssql__make_temp_name(ctx, name, "baseline_included", "1234567890123456");
  EXPECT_EQ(std::string(name).substr(0, 31), "baseline_included_123456789012t");
  EXPECT_EQ(strlen(name), 63u);
}

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

StorePrivateOdbcIni s_odbc_ini;

const char kTypesTable[] =
    "CREATE TABLE dbo.v (id int NOT NULL PRIMARY KEY, rid uniqueidentifier NULL, s nvarchar(20) NULL,"
    " d decimal(12,2) NULL, m money NULL, f float NULL, b bit NULL, dt date NULL, ts datetime NULL,"
    " sdt smalldatetime NULL, ts7 datetime2(7) NULL, tm time(7) NULL, vb varbinary(max) NULL)\n";
const char kColumns[] = "id, rid, s, d, m, f, b, dt, ts, sdt, ts7, tm, vb";

struct ValuesOnServer : StoreTest {
  sqlite3 *pkg = nullptr;
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(cli("create-db " + dataDir + " app"), 0);
    run_script("app", kTypesTable);
    open("app");
    ASSERT_EQ(sqlite3_open(":memory:", &pkg), SQLITE_OK);
    QK_sqlite__exec(ctx, pkg, "CREATE TABLE p (id, rid, s, d, m, f, b, dt, ts, sdt, ts7, tm, vb)");
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    sqlite3_close(pkg);
    StoreTest::TearDown();
  }
  // Every row of a SELECT on the server into the package table p.
  void copy_to_package(const std::string &select, QK_idset *rowIds = nullptr, int skip = 0) {
    sqlite3_stmt *ins = nullptr;
    QK_sqlite__prepare_printf(ctx, pkg, &ins, "INSERT INTO p VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
    SQLHSTMT st = nullptr;
    QK_mssql__prepare(ctx, conn, &st, select.c_str());
    tav_db_mssql__execute_into_package(ctx, &st, ins, rowIds, skip);
    EXPECT_EQ(st, nullptr);
    QK_sqlite__finalize(ctx, &ins);
  }
  // Every row of the package table into the server table, bound by the collection that a SELECT
  // of the columns describes.
  void insert_package_rows(const std::string &pkgTable, const std::string &table, const std::string &columns,
                           int count) {
    tav_col_collection *coll = nullptr;
    SQLHSTMT st = nullptr;
    QK_mssql__prepare(ctx, conn, &st, ("SELECT " + columns + " FROM " + table).c_str());
    QK_mssql__execute(ctx, st);
    tav_db_mssql__describe_result(ctx, st, &coll);
    QK_mssql__free_stmt(ctx, st);
    ASSERT_EQ(take_error(), "ok");
    ASSERT_EQ(coll->countCols, count);
    std::string marks = "?";
    for (int i = 1; i < count; i++) marks += ",?";
    QK_mssql__prepare(ctx, conn, &st, ("INSERT INTO " + table + " (" + columns + ") VALUES (" + marks + ")").c_str());
    sqlite3_stmt *rows = nullptr;
    QK_sqlite__prepare_printf(ctx, pkg, &rows, "SELECT * FROM %s ORDER BY id", pkgTable.c_str());
    int row = 0, needsData = 0;
    while (!QK_context__has_error(ctx) && (QK_sqlite__step_row(ctx, rows, &row), row)) {
      tav_db_mssql__bind_package_row(ctx, rows, 0, st, coll, 0, count, &needsData);
      tav_db_mssql__execute_bound(ctx, st, needsData);
    }
    EXPECT_EQ(take_error(), "ok");
    QK_sqlite__finalize(ctx, &rows);
    QK_mssql__free_stmt(ctx, st);
    tav_db_mssql__free_column_array(ctx, &coll);
    EXPECT_EQ(coll, nullptr);
  }
  std::string package_rows() {
    std::string out;
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(pkg,
                       "SELECT id, quote(rid), s, d, m, f, b, dt, ts, sdt, ts7, tm, quote(vb), typeof(d) FROM p "
                       "ORDER BY id",
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(st); i++) {
        const unsigned char *t = sqlite3_column_text(st, i);
        out += std::string(t ? (const char *)t : "NULL") + (i + 1 < sqlite3_column_count(st) ? "|" : "\n");
      }
    }
    sqlite3_finalize(st);
    return out;
  }
};

TEST_F(ValuesOnServer, ResultRowsBecomeRowDocuments) {
  exec("INSERT INTO dbo.v (id, rid, s, d, m, f, b, dt, ts, sdt, ts7, tm, vb) VALUES (1,"
       " '00112233-4455-6677-8899-aabbccddeeff', NULL, 123.45, 7.5, 0.25, 1, '2024-02-29',"
       " '2024-02-29 10:11:12.123', '2024-02-29 10:11:00', '2024-02-29 10:11:12.1234567', '10:11:12.5', 0x)");
  SQLHSTMT st = nullptr;
  QK_mssql__prepare(ctx, conn, &st,
                    "SELECT rid AS z_rid, id, s, d, m, f, b, dt, ts, sdt, ts7, tm, vb, rid, 5 AS z_txid FROM dbo.v");
  int row = 0;
  QK_mssql__execute(ctx, st);
  QK_mssql__fetch(ctx, st, &row);
  ASSERT_EQ(take_error(), "ok");
  QK_vhash *doc = nullptr;
  QK_uint8 rid[16] = {0};
  tav_db_mssql__row_to_vhash(ctx, st, &doc, rid);
  ASSERT_EQ(take_error(), "ok");
  QK_mssql__free_stmt(ctx, st);
  QK_string *json = nullptr;
  QK_string__alloc(ctx, &json);
  QK_vhash__to_json(ctx, doc, json);
  // No member for the NULL text nor for internal columns; blobs and GUIDs as objects.
  EXPECT_EQ(std::string(QK_string__sz(json)),
            "{\"id\":1,\"d\":12345,\"m\":75000,\"f\":0.250000,\"b\":1,\"dt\":\"2024-02-29\","
            "\"ts\":\"2024-02-29 10:11:12.123\",\"sdt\":\"2024-02-29 10:11:00\","
            "\"ts7\":\"2024-02-29 10:11:12.1234567\",\"tm\":\"10:11:12.5000000\","
            "\"vb\":{\"len\":0,\"sha1\":\"da39a3ee5e6b4b0d3255bfef95601890afd80709\",\"hex\":\"\"},"
            "\"rid\":{\"len\":16,\"sha1\":\"33b99127cc33b4ed9f26b11ab76e8e2d16bc097c\","
            "\"hex\":\"33221100554477668899aabbccddeeff\"}}");
  char hex[33];
  EXPECT_STREQ(QK_hex__encode_16(rid, hex), "33221100554477668899aabbccddeeff");
  QK_string__free(ctx, json);
  QK_vhash__free(ctx, doc);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(ValuesOnServer, PackageRowsRoundTripThroughParameters) {
  // Package values as a client sends them, bound by the definition-free collection of the table.
  QK_sqlite__exec(ctx, pkg,
                  "INSERT INTO p VALUES (1, x'00112233445566778899aabbccddeeff', 'héllo', 12345, 75000, 0.25, 1,"
                  " '2024-02-29', '2024-02-29T10:11:12.5', '2024-02-29 10:11', '2024-02-29 10:11:12',"
                  " '10:11:12.0000001', x'');"
                  "INSERT INTO p VALUES (2, NULL, NULL, -5, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);"
                  "INSERT INTO p VALUES (3, NULL, '', 0, 0, 0, 0, '', '', '', '', '', zeroblob(3000));");
  ASSERT_EQ(take_error(), "ok");
  insert_package_rows("p", "dbo.v", kColumns, 13);

  EXPECT_EQ(int64("SELECT COUNT(*) FROM dbo.v WHERE rid = '33221100-5544-7766-8899-aabbccddeeff'"), 1)
      << "a package row id keeps SQL Server's byte order";
  EXPECT_EQ(int64("SELECT DATALENGTH(vb) FROM dbo.v WHERE id = 1"), 0) << "an empty blob is not NULL";
  EXPECT_EQ(int64("SELECT COUNT(*) FROM dbo.v WHERE id = 2 AND vb IS NULL AND dt IS NULL"), 1);

  QK_sqlite__exec(ctx, pkg, "DELETE FROM p");
  copy_to_package(std::string("SELECT ") + kColumns + " FROM dbo.v");
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(package_rows(),
            "1|X'00112233445566778899AABBCCDDEEFF'|héllo|12345|75000|0.25|1|2024-02-29|2024-02-29 10:11:12.500|"
            "2024-02-29 10:11:00|2024-02-29 10:11:12.0000000|10:11:12.0000001|X''|integer\n"
            "2|NULL|NULL|-5|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|integer\n"
            "3|NULL||0|0|0.0|0|NULL|NULL|NULL|NULL|NULL|X'" +
                std::string(6000, '0') + "'|integer\n");
}

TEST_F(ValuesOnServer, WrongGuidLengthAndDateErrors) {
  QK_sqlite__exec(ctx, pkg, "INSERT INTO p (id, rid) VALUES (1, zeroblob(15))");
  tav_col_collection *coll = nullptr;
  tav_db_mssql__alloc_column_array(ctx, 2, &coll);
  coll->pBindings[0].sqlType = SQL_BIGINT;
  coll->pBindings[1].sqlType = SQL_GUID;
  SQLHSTMT ins = nullptr;
  QK_mssql__prepare(ctx, conn, &ins, "INSERT INTO dbo.v (id, rid) VALUES (?, ?)");
  sqlite3_stmt *rows = nullptr;
  QK_sqlite__prepare_printf(ctx, pkg, &rows, "SELECT id, rid FROM p");
  int row = 0, needsData = 0;
  QK_sqlite__step_row(ctx, rows, &row);
  ASSERT_EQ(take_error(), "ok");
  tav_db_mssql__bind_package_row(ctx, rows, 0, ins, coll, 0, 2, &needsData);
  EXPECT_EQ(take_error(), "400:guid blob must be 16 bytes: 15");
  QK_sqlite__finalize(ctx, &rows);
  QK_mssql__free_stmt(ctx, ins);

  // An invalid date reaches SQL Server, whose SQLSTATE the push import turns into 400.
  QK_int64 state = -1;
  QK_mssql__exec(ctx, conn, "INSERT INTO dbo.v (id, dt) VALUES (9, '2024-02-30')");
  ASSERT_TRUE(QK_context__has_error(ctx));
  tav_db_mssql__error_sqlstate(ctx, &state);
  EXPECT_TRUE(state == 22007 || state == 22008) << state << " " << message();
  EXPECT_EQ(QK_ERROR_DOMAIN([&] { QK_error e; QK_context__get_error(ctx, &e); return e; }()), QK_ERR_DOMAIN_MSSQL)
      << "the pending error stays";
  QK_context__reset_error(ctx);
  QK_mssql__exec(ctx, conn, "SELECT nope FROM dbo.v");
  tav_db_mssql__error_sqlstate(ctx, &state);
  EXPECT_EQ(state, 0) << "42S22 is not a number";
  QK_context__reset_error(ctx);
  tav_db_mssql__error_sqlstate(ctx, nullptr);
  EXPECT_EQ(take_error(), "2:pNative is null");
  tav_db_mssql__free_column_array(ctx, &coll);
}

TEST_F(ValuesOnServer, RowIdSetsKeepEachRowOnce) {
  exec("INSERT INTO dbo.v (id, rid) VALUES (1, NEWID()), (2, NEWID()), (3, NEWID())");
  QK_idset *ids = nullptr;
  QK_idset__alloc(ctx, 0, &ids);
  std::string select = std::string("SELECT rid, ") + "id, s, d, m, f, b, dt, ts, sdt, ts7, tm, vb FROM dbo.v";
  copy_to_package(select + " WHERE id <= 2", ids, 0);
  ASSERT_EQ(take_error(), "ok");
  copy_to_package(select, ids, 1);  // skips the two it already has
  ASSERT_EQ(take_error(), "ok");
  QK_uint32 count = 0;
  QK_idset__count(ctx, ids, &count);
  EXPECT_EQ(count, 3u);
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(pkg, "SELECT COUNT(*), COUNT(DISTINCT id) FROM p", -1, &st, nullptr);
  sqlite3_step(st);
  EXPECT_EQ(sqlite3_column_int(st, 0), 3);
  EXPECT_EQ(sqlite3_column_int(st, 1), 3);
  sqlite3_finalize(st);
  // Without the skip flag a known row id is an error.
  copy_to_package(select, ids, 0);
  EXPECT_EQ(code(), 46u);
  QK_context__reset_error(ctx);
  QK_idset__free(ctx, ids);
}

const char kTextsTable[] =
    "CREATE TABLE dbo.t (id int NOT NULL PRIMARY KEY, c char(6) NULL, v varchar(10) NULL, nc nchar(6) NULL,"
    " nv nvarchar(10) NULL, vm varchar(max) NULL, nvm nvarchar(max) NULL, tx text NULL, ntx ntext NULL)\n";
const char kTextColumns[] = "id, c, v, nc, nv, vm, nvm, tx, ntx";

// A text of n characters with a NUL every 100 and one at its end: long enough to be read in
// pieces when n passes 1,024.
std::string text_with_nuls(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++) s += i % 100 == 7 || i + 1 == n ? '\0' : (char)('a' + i % 26);
  return s;
}

size_t characters(const std::string &utf8) {
  size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

// Every character type keeps the NUL characters of a value, inside it and at its end, from a
// package into SQL Server, back into a package and into row documents, where the server's and
// the package's documents of a row compare equal; char and nchar pad with blanks after them.
TEST_F(ValuesOnServer, TextsKeepTheirNulCharactersEveryWay) {
  run_script("app", kTextsTable);
  QK_sqlite__exec(ctx, pkg, "CREATE TABLE q (id, c, v, nc, nv, vm, nvm, tx, ntx); CREATE TABLE r AS SELECT * FROM q");
  ASSERT_EQ(take_error(), "ok");
  const std::string nul("\0", 1), anb("a\0b\0", 4), mixed("\0é\0", 4), long_text = text_with_nuls(3000);
  struct Row {
    int id;
    std::string value, bounded;  // the value of the max and text types, and of the others
  } rows[] = {{1, anb, anb}, {2, nul, nul}, {3, long_text, mixed}};
  sqlite3_stmt *ins = nullptr;
  QK_sqlite__prepare_printf(ctx, pkg, &ins, "INSERT INTO q VALUES (?,?,?,?,?,?,?,?,?)");
  for (const Row &row : rows) {
    sqlite3_reset(ins);
    sqlite3_bind_int(ins, 1, row.id);
    for (int i = 2; i <= 5; i++) sqlite3_bind_text(ins, i, row.bounded.data(), (int)row.bounded.size(), SQLITE_STATIC);
    for (int i = 6; i <= 9; i++) sqlite3_bind_text(ins, i, row.value.data(), (int)row.value.size(), SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(ins), SQLITE_DONE);
  }
  QK_sqlite__finalize(ctx, &ins);
  insert_package_rows("q", "dbo.t", kTextColumns, 9);
  EXPECT_EQ(server_rows("SELECT DATALENGTH(v), DATALENGTH(nv), DATALENGTH(nc), DATALENGTH(ntx), LEN(nvm) FROM dbo.t "
                        "ORDER BY id"),
            "4|8|12|8|4;1|2|12|2|1;3|6|12|6000|3000");

  sqlite3_stmt *back = nullptr, *sel = nullptr;
  SQLHSTMT st = nullptr;
  int row = 0;
  QK_sqlite__prepare_printf(ctx, pkg, &back, "INSERT INTO r VALUES (?,?,?,?,?,?,?,?,?)");
  QK_mssql__prepare(ctx, conn, &st, (std::string("SELECT ") + kTextColumns + " FROM dbo.t ORDER BY id").c_str());
  tav_db_mssql__execute_into_package(ctx, &st, back, nullptr, 0);
  QK_sqlite__finalize(ctx, &back);
  ASSERT_EQ(take_error(), "ok");
  QK_sqlite__prepare_printf(ctx, pkg, &sel, "SELECT * FROM r ORDER BY id");
  for (const Row &expected : rows) {
    ASSERT_EQ(sqlite3_step(sel), SQLITE_ROW);
    for (int i = 1; i <= 8; i++) {
      std::string want = i <= 4 ? expected.bounded : expected.value;
      if (i == 1 || i == 3) want.append(6 - characters(want), ' ');
      std::string got((const char *)sqlite3_column_text(sel, i), (size_t)sqlite3_column_bytes(sel, i));
      EXPECT_EQ(got, want) << "row " << expected.id << ", column " << sqlite3_column_name(sel, i);
    }
  }
  sqlite3_finalize(sel);

  // Row 1 as the conflict settling reads it from SQL Server and from a package.
  QK_mssql__prepare(ctx, conn, &st, (std::string("SELECT ") + kTextColumns + " FROM dbo.t WHERE id = 1").c_str());
  QK_mssql__execute(ctx, st);
  QK_mssql__fetch(ctx, st, &row);
  QK_vhash *server = nullptr, *package = nullptr;
  tav_db_mssql__row_to_vhash(ctx, st, &server, nullptr);
  QK_mssql__free_stmt(ctx, st);
  QK_sqlite__prepare_printf(ctx, pkg, &sel, "SELECT * FROM r WHERE id = 1");
  QK_sqlite__step_row(ctx, sel, &row);
  tav_pkg__row_to_vhash(ctx, sel, &package);
  QK_sqlite__finalize(ctx, &sel);
  ASSERT_EQ(take_error(), "ok");
  QK_uint32 count = 0;
  QK_vhash__count(ctx, server, &count);
  EXPECT_EQ(count, 9u);
  for (QK_uint32 i = 0; i < count; i++) {
    const char *name = nullptr;
    QK_variant *a = nullptr, *b = nullptr;
    int equal = 0;
    QK_vhash__get_nth_pair(ctx, server, i, &name, &a);
    QK_vhash__get__variant(ctx, package, name, &b);
    QK_variant__equal(ctx, a, b, &equal);
    EXPECT_TRUE(equal) << name;
  }
  QK_string *json = nullptr;
  QK_string__alloc(ctx, &json);
  QK_vhash__to_json(ctx, package, json);
  EXPECT_NE(std::string(QK_string__sz(json)).find("\"ntx\":\"a\\u0000b\\u0000\""), std::string::npos)
      << QK_string__sz(json);
  QK_string__free(ctx, json);
  QK_vhash__free(ctx, server);
  QK_vhash__free(ctx, package);
  EXPECT_EQ(take_error(), "ok");
}

// A parent with an identity column and a child that refers to it, as the schema fetch builds them.
struct DefinOnServer : StoreTest {
  tav_defin *psk = nullptr;
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(cli("create-db " + dataDir + " app"), 0);
    open("app");
    tav_defin__alloc(ctx, 1, &psk);
    tav_defin__add_table(ctx, psk, "10", "parent", 1);
    tav_defin__add_column(ctx, psk, "10", "1", "id", 1, 0, 0);
    tav_defin__set_type_identity(ctx, psk, "10", "1", "pk_parent");
    tav_defin__add_table(ctx, psk, "20", "child", 1);
    tav_defin__add_column(ctx, psk, "20", "1", "parent_id", 1, 0, 0);
    tav_defin__set_type_simple(ctx, psk, "20", "1", "sint32");
    tav_defin__set_column_fk(ctx, psk, "20", "1", 1, "30", "fk", "10", "1", 0, "NO ACTION", "NO ACTION", 0);
    tav_defin__add_column(ctx, psk, "20", "2", "na\"me", 1, 0, 0);
    tav_defin__set_type_text(ctx, psk, "20", "2", "Latin1_General_CI_AS", nullptr, 0, 0, 1, 0, 0, 0, 0, 1, 40);
    tav_defin__set_host_defval(ctx, psk, "20", "2", "(N'x')");
    tav_defin__add_column(ctx, psk, "20", "3", "amount", 1, 0, 0);
    tav_defin__set_type_decimal(ctx, psk, "20", "3", 12, 2);
    tav_defin__add_column(ctx, psk, "20", "4", "at", 1, 0, 0);
    tav_defin__set_type_datetime(ctx, psk, "20", "4", 3, "datetime");
    tav_defin__add_column(ctx, psk, "20", "5", "later", 0, 0, 0);
    tav_defin__set_type_blob(ctx, psk, "20", "5", 0, 0);
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    tav_defin__free(ctx, &psk);
    StoreTest::TearDown();
  }
};

TEST_F(DefinOnServer, TypesTempTablesAndMergeAssignments) {
  struct Case {
    const char *col;
    int withoutCollation, withDefault;
    const char *type;
  } cases[] = {{"1", 0, 0, "integer"},
               {"2", 0, 1, "nvarchar(40) COLLATE Latin1_General_CI_AS DEFAULT (N'x')"},
               {"2", 1, 0, "nvarchar(40)"},
               {"3", 0, 0, "decimal(12,2)"},
               {"4", 0, 0, "datetime"},
               {"5", 0, 0, "varbinary(max)"}};
  for (const Case &c : cases) {
    char *type = nullptr;
    tav_db_mssql__tsql_type(ctx, psk, "20", c.col, c.withoutCollation, c.withDefault, &type);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_STREQ(type, c.type) << c.col;
    QK_free(ctx, type);
  }

  // All columns, identity references as key texts guarded by their CHECK.
  char name[TAV_TEMP_NAME_SIZE];
  tav_db_mssql__make_temp_name(ctx, name, "records", "20");
  QK_vhash *names = nullptr;
  tav_db_mssql__create_temp_table(ctx, conn, psk, "20", name, "z_rid uniqueidentifier PRIMARY KEY", 1, nullptr, 0,
                                  &names);
  ASSERT_EQ(take_error(), "ok");
  QK_string *list = nullptr;
  tav_db_mssql__quoted_column_list(ctx, names, "parent_id", &list);
  EXPECT_STREQ(QK_string__sz(list), "\"na\"\"me\",\"amount\",\"at\"");
  QK_string__free(ctx, list);
  exec(std::string("INSERT INTO #") + name + " (z_rid, parent_id, \"na\"\"me\", later) VALUES (NEWID(), 'S:7', N'a', 0x01)");
  QK_mssql__exec__format_classified(ctx, conn, "INSERT INTO #%s (z_rid, parent_id) VALUES (NEWID(), '7')", name);
  EXPECT_EQ(code(), 81u) << "the key-text CHECK refuses a bare number: " << message();
  QK_context__reset_error(ctx);

  QK_string *set = nullptr;
  tav_db_mssql__merge_assignments(ctx, 1, psk, "20", names, "amount", &set);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_STREQ(QK_string__sz(set),
               "\"z$$dest\".\"parent_id\"=(CAST(SUBSTRING(\"z$$src\".\"parent_id\",3,25) AS bigint)),"
               "\"z$$dest\".\"na\"\"me\"=\"z$$src\".\"na\"\"me\",\"z$$dest\".\"at\"=\"z$$src\".\"at\"");
  QK_string__free(ctx, set);

  // Bindings from the definition.
  tav_col_collection *coll = nullptr;
  tav_db_mssql__alloc_column_array(ctx, 5, &coll);
  tav_db_mssql__set_bindings_from_defin(ctx, coll, 1, names, psk, "20", 1);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(coll->pBindings[1].sqlType, SQL_VARCHAR);
  EXPECT_EQ(coll->pBindings[1].columnSize, 25u);
  EXPECT_EQ(coll->pBindings[2].sqlType, SQL_WVARCHAR);
  EXPECT_EQ(coll->pBindings[2].columnSize, 40u);
  EXPECT_EQ(coll->pBindings[3].sqlType, SQL_DECIMAL);
  EXPECT_EQ(coll->pBindings[3].decimalDigits, 2);
  EXPECT_EQ(coll->pBindings[4].sqlType, SQL_TYPE_TIMESTAMP);
  tav_db_mssql__set_bindings_from_defin(ctx, coll, 2, names, psk, "20", 1);
  EXPECT_EQ(code(), 2u) << "more names than bindings";
  QK_context__reset_error(ctx);
  tav_db_mssql__free_column_array(ctx, &coll);
  QK_vhash__free(ctx, names);
}

#endif

}  // namespace

// The ODBC wrapper through the real unixODBC driver manager against the SQL Server stand-in
// driver, registered in a private ODBCSYSINI: what the store sends and reads crosses the same
// entry points it will use in production.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "context_fixture.h"
#include "python_oracle.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_mssql.h"

#ifdef STANDIN_DRIVER

namespace {

std::string temp_dir(const char *prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
  return mkdtemp(tmpl.data());
}

// ODBCSYSINI must be set before the driver manager first reads it.
struct PrivateOdbcIni {
  std::string dir = temp_dir("qk_mssql_odbcini_");
  PrivateOdbcIni() {
    FILE *f = fopen((dir + "/odbcinst.ini").c_str(), "w");
    fputs("[ODBC]\nTrace=No\n", f);
    fclose(f);
    fclose(fopen((dir + "/odbc.ini").c_str(), "w"));
    setenv("ODBCSYSINI", dir.c_str(), 1);
  }
  ~PrivateOdbcIni() { std::filesystem::remove_all(dir); }
} s_private_odbc_ini;

struct Driver : ContextTest {
  std::string dataDir = temp_dir("qk_mssql_data_");
  QK_mssql_connection *psql = nullptr;

  std::string connection_string(const std::string &extra = "") {
    return std::string("Driver=") + STANDIN_DRIVER + ";Server=" + dataDir + ";Database=app" + extra;
  }
  void SetUp() override {
    ContextTest::SetUp();
    QK_mssql__connect(ctx, connection_string().c_str(), &psql);
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    QK_mssql__disconnect(ctx, &psql);
    ContextTest::TearDown();
    std::filesystem::remove_all(dataDir);
  }
  void exec(const std::string &sql) {
    QK_mssql__exec(ctx, psql, sql.c_str());
    ASSERT_EQ(take_error(), "ok") << sql;
  }
  QK_int64 int64(const std::string &sql) {
    QK_int64 v = -99;
    QK_mssql__query_int64__format(ctx, psql, &v, "%s", sql.c_str());
    EXPECT_EQ(take_error(), "ok") << sql;
    return v;
  }
  QK_error error() {
    QK_error err;
    QK_context__get_error(ctx, &err);
    return err;
  }
};

TEST_F(Driver, ConnectExecuteAndSingleValues) {
  exec("CREATE TABLE dbo.t (id int NOT NULL PRIMARY KEY, flag bit NULL)");
  exec("UPDATE dbo.t SET flag = 1 WHERE id = 5");  // no row: SQL_NO_DATA is success
  QK_mssql__exec__format(ctx, psql, "INSERT INTO dbo.t (id, flag) VALUES (%d, 1), (%d, 0), (%d, NULL)", 1, 2, 3);
  ASSERT_EQ(take_error(), "ok");
  QK_int64 count = 0;
  QK_mssql__rowcount(ctx, psql, &count);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(int64("SELECT COUNT(*) FROM dbo.t"), 3);
  int b = -1;
  QK_mssql__query_bool__format(ctx, psql, &b, "SELECT flag FROM dbo.t WHERE id = %d", 1);
  EXPECT_EQ(b, 1);
  QK_mssql__query_bool__format(ctx, psql, &b, "SELECT flag FROM dbo.t WHERE id = %d", 2);
  EXPECT_EQ(b, 0);
  ASSERT_EQ(take_error(), "ok");

  QK_mssql__query_bool__format(ctx, psql, &b, "SELECT flag FROM dbo.t WHERE id = %d", 3);
  EXPECT_EQ(QK_ERROR_DOMAIN(error()), QK_ERR_DOMAIN_MSSQL) << message();
  EXPECT_NE(message().find("\"SQL_DIAG_SQLSTATE\":\"22002\""), std::string::npos) << message();
  QK_context__reset_error(ctx);
  QK_int64 v;
  QK_mssql__query_int64__format(ctx, psql, &v, "SELECT id FROM dbo.t WHERE id = 99");
  EXPECT_EQ(take_error(), "100:{\"SQLRETURN\":100}");

  // A connect that fails leaves nothing behind and reports the driver's records.
  QK_mssql_connection *other = reinterpret_cast<QK_mssql_connection *>(1);
  QK_mssql__connect(ctx, ("Driver=" + std::string(STANDIN_DRIVER) + ";Server=/nonexistent/dir").c_str(), &other);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(error(), QK_ERROR_MAKE(QK_ERR_DOMAIN_MSSQL, -1));
  EXPECT_NE(message().find(R"("SQL_DIAG_NATIVE":2,"SQL_DIAG_SQLSTATE":"08001")"), std::string::npos) << message();
  QK_context__reset_error(ctx);
}

TEST_F(Driver, EveryBindingAndReaderRoundTrips) {
  exec("CREATE TABLE dbo.v (id int NOT NULL PRIMARY KEY, i int NULL, bi bigint NULL, f float NULL, d date NULL,"
       " dt datetime2(7) NULL, tm time(7) NULL, g uniqueidentifier NULL, s nvarchar(40) NULL, m nvarchar(max) NULL,"
       " b bit NULL)");
  SQLHSTMT h = nullptr;
  QK_mssql__prepare(ctx, psql, &h,
                    "INSERT INTO dbo.v (id, i, bi, f, d, dt, tm, g, s, m, b) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  ASSERT_EQ(take_error(), "ok");
  QK_int32 id = 1, i32 = -2147483647 - 1, bit = 1;
  QK_int64 i64 = -9223372036854775807LL;
  double f = 1.0 / 3;
  SQL_DATE_STRUCT date = {2024, 2, 29};
  SQL_TIMESTAMP_STRUCT ts = {1999, 12, 31, 23, 59, 58, 123456700};
  QK_mssql_time2 tm = {7, 8, 9, 100};
  const char *guid = "6f9619ff-8b86-d011-b42d-00c04fc964ff";
  SQLLEN lenTs, lenTm, lenGuid, lenS, lenM;
  char16_t *ws = nullptr, *wm = nullptr;
  QK_mssql__bind__int32(ctx, h, 1, &id);
  QK_mssql__bind__int32(ctx, h, 2, &i32);
  QK_mssql__bind__int64(ctx, h, 3, &i64);
  QK_mssql__bind__double(ctx, h, 4, &f);
  QK_mssql__bind__date(ctx, h, 5, &date);
  QK_mssql__bind__datetime(ctx, h, 6, &ts, &lenTs);
  QK_mssql__bind__time(ctx, h, 7, &tm, &lenTm);
  QK_mssql__bind__guid_text(ctx, h, 8, guid, &lenGuid);
  QK_mssql__bind__nstring(ctx, h, 9, "Grüße 𝄞", SQL_WVARCHAR, &lenS, &ws);
  QK_mssql__bind__nstring_max(ctx, h, 10, "", &lenM, &wm);
  QK_mssql__bind__int32(ctx, h, 11, &bit);
  QK_mssql__execute(ctx, h);
  ASSERT_EQ(take_error(), "ok");
  // The same statement again with NULLs in every column but the key.
  QK_free(ctx, ws);
  QK_free(ctx, wm);
  ws = wm = nullptr;
  id = 2;
  SQLLEN nulls[10];
  SQLSMALLINT types[][2] = {{SQL_C_SLONG, SQL_INTEGER},          {SQL_C_SBIGINT, SQL_BIGINT},
                            {SQL_C_DOUBLE, SQL_FLOAT},           {SQL_C_TYPE_DATE, SQL_TYPE_DATE},
                            {SQL_C_TIMESTAMP, SQL_TYPE_TIMESTAMP}, {SQL_C_BINARY, QK_MSSQL_SQL_SS_TIME2}};
  for (int k = 0; k < 6; k++) QK_mssql__bind__null(ctx, h, 2 + k, types[k][0], types[k][1], &nulls[k]);
  QK_mssql__bind__guid_text(ctx, h, 8, nullptr, &nulls[6]);
  QK_mssql__bind__nstring(ctx, h, 9, nullptr, SQL_WVARCHAR, &nulls[7], &ws);
  QK_mssql__bind__nstring_max(ctx, h, 10, nullptr, &nulls[8], &wm);
  QK_mssql__bind__null(ctx, h, 11, SQL_C_SLONG, SQL_BIT, &nulls[9]);
  QK_mssql__execute(ctx, h);
  ASSERT_EQ(take_error(), "ok");
  QK_mssql__free_stmt(ctx, h);

  QK_mssql__prepare(ctx, psql, &h, "SELECT id, i, bi, f, d, dt, tm, g, s, m, b FROM dbo.v ORDER BY id");
  QK_mssql__execute(ctx, h);
  QK_int16 cols = 0;
  QK_mssql__num_result_cols(ctx, h, &cols);
  EXPECT_EQ(cols, 11);
  char name[32];
  QK_int16 nameLen, type, digits, nullable;
  SQLULEN size;
  QK_mssql__describe_col(ctx, h, 9, name, sizeof name, &nameLen, &type, &size, &digits, &nullable);
  EXPECT_EQ(std::make_tuple(std::string(name), type, size), std::make_tuple(std::string("s"), SQL_WVARCHAR, (SQLULEN)40));
  for (int row = 1; row <= 2; row++) {
    int got = 0;
    QK_mssql__fetch(ctx, h, &got);
    ASSERT_EQ(take_error(), "ok");
    ASSERT_EQ(got, 1);
    QK_int32 rid = 0, ri = 0;
    QK_int64 rbi = 0;
    double rf = 0;
    SQL_DATE_STRUCT rd = {};
    SQL_TIMESTAMP_STRUCT rts = {};
    QK_mssql_time2 rtm = {};
    QK_uint8 rg[16] = {};
    char *rs = nullptr, *rm = nullptr;
    QK_int32 rb = 55;
    SQLLEN ind[9];
    QK_mssql__get__int32(ctx, h, 1, &rid, &ind[0]);
    QK_mssql__get__int32(ctx, h, 2, &ri, &ind[1]);
    QK_mssql__get__int64(ctx, h, 3, &rbi, &ind[2]);
    QK_mssql__get__double(ctx, h, 4, &rf, &ind[3]);
    QK_mssql__get__date(ctx, h, 5, &rd, &ind[4]);
    QK_mssql__get__timestamp(ctx, h, 6, &rts, &ind[5]);
    QK_mssql__get__time(ctx, h, 7, &rtm, &ind[6]);
    QK_mssql__get__guid(ctx, h, 8, rg, &ind[7]);
    QK_mssql__get__nstring(ctx, h, 9, &rs);
    QK_mssql__get__nstring(ctx, h, 10, &rm);
    QK_mssql__get__bit(ctx, h, 11, &rb);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(rid, row);
    if (row == 1) {
      EXPECT_EQ(ri, i32);
      EXPECT_EQ(rbi, i64);
      EXPECT_EQ(rf, f);
      EXPECT_EQ(std::make_tuple(rd.year, rd.month, rd.day), std::make_tuple(2024, 2, 29));
      EXPECT_EQ(std::make_tuple(rts.year, rts.month, rts.day, rts.hour, rts.minute, rts.second, rts.fraction),
                std::make_tuple(1999, 12, 31, 23, 59, 58, 123456700u));
      EXPECT_EQ(std::make_tuple(rtm.hour, rtm.minute, rtm.second, rtm.fraction), std::make_tuple(7, 8, 9, 100u));
      char text[QK_GUID_SZ_SIZE];
      EXPECT_STREQ(QK_guid__to_sz(rg, text), guid);
      EXPECT_STREQ(rs, "Grüße 𝄞");
      ASSERT_NE(rm, nullptr);
      EXPECT_STREQ(rm, "");
      EXPECT_EQ(rb, 1);
      for (int k = 1; k < 8; k++) EXPECT_GT(ind[k], 0) << k;
    } else {
      for (int k = 1; k < 8; k++) EXPECT_EQ(ind[k], SQL_NULL_DATA) << k;
      EXPECT_EQ(rs, nullptr);
      EXPECT_EQ(rm, nullptr);
      EXPECT_EQ(rb, 55);
    }
    QK_free(ctx, rs);
    QK_free(ctx, rm);
  }
  int got = 1;
  QK_mssql__fetch(ctx, h, &got);
  EXPECT_EQ(got, 0);
  QK_mssql__close_cursor(ctx, h);
  EXPECT_EQ(take_error(), "ok");
  QK_mssql__free_stmt(ctx, h);
}

// Texts around the reader's first 2,048-byte piece, with surrogate pairs on the boundaries.
std::string text_of_units(size_t units) {
  std::string s;
  size_t n = 0;
  while (n < units) {
    if (n % 5 == 4 && n + 2 <= units) {
      s += "𝄞";
      n += 2;
    } else {
      s += n % 2 ? "é" : "a";
      n += 1;
    }
  }
  return s;
}

TEST_F(Driver, LongTextsCrossTheFirstReadBoundary) {
  exec("CREATE TABLE dbo.txt (id int NOT NULL PRIMARY KEY, m nvarchar(max) NULL)");
  size_t lengths[] = {1022, 1023, 1024, 5000};
  SQLHSTMT h = nullptr;
  QK_mssql__prepare(ctx, psql, &h, "INSERT INTO dbo.txt (id, m) VALUES (?, ?)");
  for (size_t units : lengths) {
    QK_int32 id = (QK_int32)units;
    std::string text = text_of_units(units);
    SQLLEN len;
    char16_t *w = nullptr;
    QK_mssql__bind__int32(ctx, h, 1, &id);
    QK_mssql__bind__nstring_max(ctx, h, 2, text.c_str(), &len, &w);
    EXPECT_EQ(len, (SQLLEN)units * 2);
    QK_mssql__execute(ctx, h);
    QK_free(ctx, w);
    ASSERT_EQ(take_error(), "ok");
  }
  QK_mssql__free_stmt(ctx, h);
  QK_mssql__prepare(ctx, psql, &h, "SELECT id, m FROM dbo.txt ORDER BY id");
  QK_mssql__execute(ctx, h);
  for (size_t units : lengths) {
    int got = 0;
    char *sz = nullptr;
    QK_mssql__fetch(ctx, h, &got);
    QK_mssql__get__nstring(ctx, h, 2, &sz);
    ASSERT_EQ(take_error(), "ok");
    ASSERT_NE(sz, nullptr);
    EXPECT_EQ(std::string(sz), text_of_units(units)) << units;
    QK_free(ctx, sz);
  }
  QK_mssql__free_stmt(ctx, h);
}

// Reads a binary column whole through the driver manager.
std::string read_blob(SQLHSTMT h, SQLUSMALLINT col) {
  std::string out;
  char buf[65536];
  for (;;) {
    SQLLEN ind = 0;
    SQLRETURN rc = QK_mssql__odbc()->GetData(h, col, SQL_C_BINARY, buf, sizeof buf, &ind);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc) || ind == SQL_NULL_DATA) return "<error or NULL>";
    out.append(buf, ind == SQL_NO_TOTAL || ind > (SQLLEN)sizeof buf ? sizeof buf : (size_t)ind);
    if (rc == SQL_SUCCESS) break;
  }
  return out;
}

TEST_F(Driver, BlobsEmptyDirectlyAndOthersAtExecution) {
  exec("CREATE TABLE dbo.bl (id int NOT NULL PRIMARY KEY, b varbinary(max) NULL)");
  std::string mega(1 << 20, '\0');
  for (size_t k = 0; k < mega.size(); k++) mega[k] = (char)(k * 131 + (k >> 11));
  std::vector<std::string> blobs = {"", std::string("\0", 1), mega};
  SQLHSTMT h = nullptr;
  QK_mssql__prepare(ctx, psql, &h, "INSERT INTO dbo.bl (id, b) VALUES (?, ?)");
  for (size_t k = 0; k < blobs.size(); k++) {
    QK_int32 id = (QK_int32)k;
    QK_mssql_put_data *holder = nullptr;
    QK_mssql__bind__int32(ctx, h, 1, &id);
    QK_mssql__bind__blob(ctx, h, 2, blobs[k].size(), &holder);
    ASSERT_EQ(take_error(), "ok");
    if (blobs[k].empty()) {
      EXPECT_EQ(holder, nullptr);
      QK_mssql__execute(ctx, h);
      ASSERT_EQ(take_error(), "ok");
      continue;
    }
    QK_mssql__put_data_holder__set(ctx, holder, blobs[k].data(), (QK_uint32)blobs[k].size());
    QK_mssql__execute__need_data(ctx, h);
    ASSERT_EQ(take_error(), "ok");
    // The caller's loop: the token is the holder, whose first field names the parameter. The
    // holder is a bound buffer (its indicator too), so it is freed only once the execution is
    // over: the driver may read it up to the last SQLParamData.
    SQLPOINTER token = nullptr;
    SQLRETURN rc;
    while ((rc = QK_mssql__odbc()->ParamData(h, &token)) == SQL_NEED_DATA) {
      EXPECT_EQ(*(QK_uint32 *)token, 2u);
      QK_mssql__put_data(ctx, h, (QK_mssql_put_data *)token);
    }
    EXPECT_TRUE(SQL_SUCCEEDED(rc)) << rc;
    QK_mssql__free_put_data(ctx, &holder);
    ASSERT_EQ(take_error(), "ok");
  }
  QK_mssql__free_stmt(ctx, h);
  QK_mssql__prepare(ctx, psql, &h, "SELECT b FROM dbo.bl ORDER BY id");
  QK_mssql__execute(ctx, h);
  for (const auto &blob : blobs) {
    QK_mssql__fetch(ctx, h, nullptr);
    ASSERT_EQ(take_error(), "ok");
    std::string got = read_blob(h, 1);
    EXPECT_EQ(got.size(), blob.size());
    EXPECT_TRUE(got == blob);
  }
  QK_mssql__free_stmt(ctx, h);
}

TEST_F(Driver, OutputParameterOfATransactionIdProcedure) {
  exec("CREATE SCHEMA tavrin");
  exec("CREATE TABLE tavrin.[demo$t$tx] (txid bigint NOT NULL PRIMARY KEY, generation bigint NULL,"
       " rstamp uniqueidentifier NULL, rebaseid bigint NULL)");
  // The procedure keeps the dbfile's transaction counter row up to date as well.
  exec("CREATE TABLE tavrin.[demo$t$rules] (sit int NOT NULL, act int NULL, extra nvarchar(max) NULL,"
       " txid bigint NULL, i bigint NULL)");
  SQLHSTMT h = nullptr;
  QK_mssql__prepare__format(ctx, psql, &h, "EXEC tavrin.[%s$z$GetTxId] @txid = ? OUTPUT", "demo");
  QK_int64 txid = 0;
  SQLLEN ind = 0;
  QK_mssql__bind_out__int64(ctx, h, 1, &txid, &ind);
  for (QK_int64 expected : {1, 2}) {
    QK_mssql__execute(ctx, h);
    while (QK_mssql__odbc()->MoreResults(h) == SQL_SUCCESS) {
    }
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(txid, expected);
    EXPECT_EQ(ind, 8);
  }
  QK_mssql__free_stmt(ctx, h);
}

// Error value and the parsed diagnostics document of a failing classified statement.
struct Failure {
  QK_error err;
  std::string dbfile, table, constraint, native;
};

TEST_F(Driver, ServerErrorsAreClassified) {
  exec("CREATE SCHEMA tavrin");
  exec("CREATE TABLE tavrin.[sales$z$rv$117] (id int NOT NULL, code nvarchar(10) NOT NULL, qty int NULL,"
       " parent int NULL, CONSTRAINT pk_sample PRIMARY KEY (id), CONSTRAINT ck_qty CHECK (qty > 0),"
       " CONSTRAINT fk_parent FOREIGN KEY (parent) REFERENCES tavrin.[sales$z$rv$117] (id))");
  exec("CREATE UNIQUE INDEX ux_code ON tavrin.[sales$z$rv$117] (code)");
  exec("INSERT INTO tavrin.[sales$z$rv$117] (id, code, qty) VALUES (1, N'a', 1)");
  enum Op { PLAIN, CLASSIFIED, CLASSIFIED_NULL };
  struct Case {
    const char *sql;
    Op op;
    QK_error expected;
    const char *members;  // dbfile table constraint native, as the document gives them
  } cases[] = {
      {"INSERT INTO tavrin.[sales$z$rv$117] (id, code) VALUES (1, N'b')", CLASSIFIED, QK_ERR_MSSQL_DUPLICATE_KEY,
       "sales z$rv$117 pk_sample 2627"},
      {"INSERT INTO tavrin.[sales$z$rv$117] (id, code) VALUES (2, N'a')", CLASSIFIED, QK_ERR_MSSQL_DUPLICATE_KEY,
       "sales z$rv$117 ux_code 2601"},
      {"INSERT INTO tavrin.[sales$z$rv$117] (id, code) VALUES (1, N'b')", PLAIN, QK_ERROR_MAKE(QK_ERR_DOMAIN_MSSQL, -1),
       "None None None 2627"},
      {"UPDATE tavrin.[sales$z$rv$117] SET qty = 0", CLASSIFIED, QK_ERR_MSSQL_CHECK_CONSTRAINT, "None None None 547"},
      {"UPDATE tavrin.[sales$z$rv$117] SET parent = 9", CLASSIFIED, QK_ERR_MSSQL_FOREIGN_KEY, "None None None 547"},
      {"INSERT INTO tavrin.[sales$z$rv$117] (id, code) VALUES (3, NULL)", CLASSIFIED_NULL,
       QK_ERR_MSSQL_NULL_NOT_ALLOWED, "None None None 515"},
      {"INSERT INTO tavrin.[sales$z$rv$117] (id, code) VALUES (3, NULL)", CLASSIFIED,
       QK_ERROR_MAKE(QK_ERR_DOMAIN_MSSQL, -1), "None None None 515"},
  };
  for (const auto &c : cases) {
    if (c.op == PLAIN) QK_mssql__exec(ctx, psql, c.sql);
    if (c.op == CLASSIFIED) QK_mssql__exec__format_classified(ctx, psql, "%s", c.sql);
    if (c.op == CLASSIFIED_NULL) QK_mssql__exec__format_classified_null(ctx, psql, "%s", c.sql);
    EXPECT_EQ(error(), c.expected) << c.sql << "\n" << message();
    auto rows = python_oracle_rows("import json\nd = json.loads(bytes.fromhex('" + oracle_hex(message()) +
                                   "').decode())\nr = d['diag'][0]\nassert d['SQLRETURN'] == -1\n"
                                   "print(r.get('dbfile'), r.get('table'), r.get('constraint'), "
                                   "r['SQL_DIAG_NATIVE'])\n");
    std::string members;
    for (const auto &w : rows.empty() ? std::vector<std::string>{"<no JSON>"} : rows[0])
      members += (members.empty() ? "" : " ") + w;
    EXPECT_EQ(members, c.members) << c.sql << "\n" << message();
    QK_context__reset_error(ctx);
  }
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.[sales$z$rv$117]"), 1);
}

TEST_F(Driver, InjectedDeadlockIsRetryableEvenUnclassified) {
  exec("CREATE TABLE dbo.w (a int NULL)");
  QK_mssql_connection *faulty = nullptr;
  QK_mssql__connect(ctx, connection_string(";Fault={1205:1:INSERT INTO dbo.w}").c_str(), &faulty);
  ASSERT_EQ(take_error(), "ok");
  QK_mssql__exec(ctx, faulty, "INSERT INTO dbo.w VALUES (1)");
  EXPECT_EQ(error(), QK_ERR_DEADLOCK_VICTIM);
  EXPECT_NE(message().find(R"("SQL_DIAG_NATIVE":1205,"SQL_DIAG_SQLSTATE":"40001")"), std::string::npos) << message();
  QK_context__reset_error(ctx);
  QK_mssql__disconnect(ctx, &faulty);
}

int cancel_requested(void *pUserData) { return *static_cast<int *>(pUserData); }

TEST_F(Driver, CancelledRequestSendsNothing) {
  exec("CREATE TABLE dbo.c (a int NULL)");
  SQLHSTMT h = nullptr;
  QK_mssql__prepare(ctx, psql, &h, "INSERT INTO dbo.c VALUES (2)");
  int cancel = 1;
  QK_context__set_user_data(ctx, &cancel);
  QK_context__set_cancel_callback(ctx, cancel_requested);
  QK_mssql__exec(ctx, psql, "INSERT INTO dbo.c VALUES (1)");
  EXPECT_EQ(take_error(), "251:");
  QK_mssql__execute(ctx, h);
  EXPECT_EQ(take_error(), "251:");
  cancel = 0;
  EXPECT_EQ(int64("SELECT COUNT(*) FROM dbo.c"), 0);
  QK_mssql__free_stmt(ctx, h);
}

}  // namespace

#else

TEST(Driver, NeedsTheStandInDriver) { GTEST_SKIP() << "standin/sqlserver is not part of this build"; }

#endif

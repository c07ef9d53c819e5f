// The ODBC wrapper against a scripted driver: call sequences, error values and their
// diagnostics documents, the classification of server errors, bindings and column reads.
#include "qk/qk_mssql.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "context_fixture.h"
#include "odbc_fake.h"
#include "python_oracle.h"
#include "qk/qk_malloc.h"
#include "qk/qk_utf8.h"

namespace {

const QK_uint64 MSSQL = QK_ERR_DOMAIN_MSSQL;

struct Mssql : ContextTest {
  FakeOdbc fake;
  QK_mssql_connection *psql = nullptr;

  void SetUp() override {
    ContextTest::SetUp();
    QK_mssql__connect(ctx, "Driver=fake", &psql);
    ASSERT_FALSE(QK_context__has_error(ctx));
    fake.calls.clear();
  }
  void TearDown() override {
    QK_mssql__disconnect(ctx, &psql);
    EXPECT_EQ(fake.liveHandles, 0);
    ContextTest::TearDown();
  }
  QK_error error() {
    QK_error err;
    QK_context__get_error(ctx, &err);
    return err;
  }
  // Error value, message, then reset.
  std::pair<QK_error, std::string> take() {
    std::pair<QK_error, std::string> r{error(), message()};
    QK_context__reset_error(ctx);
    return r;
  }
};

// json.loads of the text, re-dumped with sorted keys, or "INVALID".
std::string python_json(const std::string &text) {
  auto rows = python_oracle_rows("import json\ntry:\n  d = json.loads(bytes.fromhex('" + oracle_hex(text) +
                                 "').decode('utf-8'))\n  print(json.dumps(d, sort_keys=True).replace(' ', ''))\n"
                                 "except Exception as e:\n  print('INVALID')\n");
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

const char *DUP_2627 =
    "Violation of PRIMARY KEY constraint 'pk_sample'. Cannot insert duplicate key in object "
    "'tavrin.sales$z$rv$117'. The duplicate key value is (42).";
const char *DUP_2601 =
    "Cannot insert duplicate key row in object 'tavrin.sales$orders' with unique index 'ux_orders_no'. "
    "The duplicate key value is (7).";

TEST_F(Mssql, ConnectSetsOdbc3AndReadCommittedBeforeConnecting) {
  QK_mssql__disconnect(ctx, &psql);
  fake.calls.clear();
  QK_mssql__connect(ctx, "Driver=x;Server=é", &psql);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(fake.connectString, "Driver=x;Server=é");
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"AllocHandle", "SetEnvAttr", "env 200=3", "AllocHandle",
                                                  "SetConnectAttr", "dbc 1227=2", "DriverConnect"}));
  fake.calls.clear();
  QK_mssql__disconnect(ctx, &psql);
  EXPECT_EQ(psql, nullptr);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"Disconnect", "FreeHandle", "FreeHandle"}));
  QK_mssql__disconnect(ctx, &psql);
  QK_mssql__disconnect(ctx, nullptr);
}

// A failing step leaves no handle behind and no record; only the connect itself has diagnostics.
TEST_F(Mssql, ConnectFailuresReleaseEverything) {
  QK_mssql__disconnect(ctx, &psql);
  fake.diag = {{std::string("Login failed for user 'x'."), 18456, std::string("28000"), 1, 14, true}};
  struct Case {
    const char *step;
    SQLRETURN rc;
    const char *message;
  } cases[] = {
      {"SetEnvAttr", SQL_ERROR, ""},
      {"SetConnectAttr", SQL_INVALID_HANDLE, ""},
      {"DriverConnect", SQL_ERROR,
       R"({"diag":[{"SQL_DIAG_MESSAGE_TEXT":"Login failed for user 'x'.","SQL_DIAG_NATIVE":18456,)"
       R"("SQL_DIAG_SQLSTATE":"28000"}],"SQLRETURN":-1})"},
      {"DriverConnect", SQL_NO_DATA, nullptr},
  };
  for (const auto &c : cases) {
    fake.rc = {{c.step, c.rc}};
    fake.calls.clear();
    psql = reinterpret_cast<QK_mssql_connection *>(1);
    QK_mssql__connect(ctx, "Driver=x", &psql);
    EXPECT_EQ(psql, nullptr) << c.step;
    EXPECT_EQ(fake.liveHandles, 0) << c.step;
    EXPECT_FALSE(fake.called("Disconnect"));
    auto [err, msg] = take();
    EXPECT_EQ(err, QK_ERROR_MAKE(MSSQL, (QK_int32)c.rc)) << c.step;
    if (c.message) {
      EXPECT_EQ(msg, c.message) << c.step;
    }
  }
  fake.rc.clear();
  QK_mssql__connect(ctx, "x", nullptr);
  EXPECT_EQ(take_error(), "2:psql is null");
}

TEST_F(Mssql, ExecSendsUtf16AndTreatsNoDataAsSuccess) {
  QK_mssql__exec__format(ctx, psql, "UPDATE t SET a = N'%s' WHERE id = %d", "𝄞é", 5);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(fake.texts.back(), u"UPDATE t SET a = N'𝄞é' WHERE id = 5");
  fake.rc = {{"ExecDirectW", SQL_NO_DATA}};
  QK_mssql__exec(ctx, psql, "DELETE FROM t");
  QK_mssql__exec__format_classified(ctx, psql, "DELETE FROM t");
  QK_mssql__exec__format_classified_null(ctx, psql, "DELETE FROM t");
  EXPECT_EQ(take_error(), "ok");
  fake.rc = {{"ExecDirectW", SQL_SUCCESS_WITH_INFO}};
  QK_mssql__exec(ctx, psql, "PRINT 'x'");
  EXPECT_EQ(take_error(), "ok");
  fake.rc = {{"ExecDirectW", SQL_ERROR}};
  QK_mssql__exec(ctx, psql, "bad");
  auto [err, msg] = take();
  EXPECT_EQ(err, QK_ERROR_MAKE(MSSQL, 0xFFFFFFFFu));
  EXPECT_EQ(msg, R"({"SQLRETURN":-1})");
  char text[64];
  QK_error__to_text(err, 0, text, sizeof text);
  EXPECT_STREQ(text, "Error -1 (mssql)");
}

// Deferred settings ride in front of the next batch sent as it stands, are sent alone before a
// statement is prepared, and wait on when the batch that carried them failed.
TEST_F(Mssql, DeferredSettingsGoWithTheNextBatch) {
  QK_mssql__defer_setting(ctx, psql, "SET NOCOUNT ON;");
  QK_mssql__defer_setting(ctx, psql, "SET DEADLOCK_PRIORITY LOW;");
  ASSERT_EQ(take_error(), "ok");
  EXPECT_TRUE(fake.texts.empty());
  fake.rc = {{"ExecDirectW", SQL_ERROR}};
  QK_mssql__exec(ctx, psql, "SELECT 1");
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, 0xFFFFFFFFu));
  fake.rc.clear();
  QK_mssql__exec(ctx, psql, "SELECT 2");
  QK_mssql__exec(ctx, psql, "SELECT 3");
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(fake.texts, (std::vector<std::u16string>{u"SET NOCOUNT ON;\nSET DEADLOCK_PRIORITY LOW;\nSELECT 1",
                                                     u"SET NOCOUNT ON;\nSET DEADLOCK_PRIORITY LOW;\nSELECT 2",
                                                     u"SELECT 3"}));
  fake.texts.clear();
  SQLHSTMT h = SQL_NULL_HSTMT;
  QK_mssql__defer_setting(ctx, psql, "SET NOCOUNT ON;");
  QK_mssql__prepare(ctx, psql, &h, "SELECT ?");
  ASSERT_EQ(take_error(), "ok");
  QK_mssql__free_stmt(ctx, h);
  EXPECT_EQ(fake.texts, (std::vector<std::u16string>{u"SET NOCOUNT ON;\n", u"SELECT ?"}));
  // More than the connection keeps: what waits goes first, a setting too long goes alone.
  fake.texts.clear();
  std::string longer(QK_MSSQL_DEFERRED_MAX, 'x');
  QK_mssql__defer_setting(ctx, psql, "SET NOCOUNT ON;");
  QK_mssql__defer_setting(ctx, psql, longer.c_str());
  QK_mssql__defer_setting(ctx, psql, std::string(QK_MSSQL_DEFERRED_MAX - 20, 'y').c_str());
  QK_mssql__defer_setting(ctx, psql, std::string(30, 'z').c_str());
  QK_mssql__exec(ctx, psql, "SELECT 4");
  ASSERT_EQ(take_error(), "ok");
  ASSERT_EQ(fake.texts.size(), 3u);
  EXPECT_EQ(fake.texts[0], u"SET NOCOUNT ON;\n" + std::u16string(longer.begin(), longer.end()));
  EXPECT_EQ(fake.texts[1], std::u16string(QK_MSSQL_DEFERRED_MAX - 20, u'y') + u"\n");
  EXPECT_EQ(fake.texts[2], std::u16string(30, u'z') + u"\nSELECT 4");
}

TEST_F(Mssql, SingleValueQueries) {
  int b = 7;
  QK_int64 v = 0;
  fake.columns[1].bytes = std::string("\x02", 1);
  QK_mssql__query_bool__format(ctx, psql, &b, "SELECT %d", 2);
  EXPECT_EQ(b, 1);
  fake.columns[1].bytes = std::string("\0", 1);
  QK_mssql__query_bool__format(ctx, psql, &b, "SELECT 0");
  EXPECT_EQ(b, 0);
  QK_int64 big = -9000000000LL;
  fake.columns[1].bytes = std::string((const char *)&big, 8);
  QK_mssql__query_int64__format(ctx, psql, &v, "SELECT %s", "x");
  EXPECT_EQ(v, big);
  QK_mssql__rowcount(ctx, psql, &v);
  EXPECT_EQ(fake.texts.back(), u"SELECT @@ROWCOUNT");
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(fake.liveHandles, 2);

  // No row, a NULL value, and a statement that answers SQL_NO_DATA are all failures.
  fake.rows = 0;
  QK_mssql__query_int64__format(ctx, psql, &v, "SELECT 1 WHERE 0 = 1");
  auto [err, msg] = take();
  EXPECT_EQ(err, QK_ERROR_MAKE(MSSQL, 100));
  EXPECT_EQ(msg, R"({"SQLRETURN":100})");
  fake.rows = 1;
  fake.columns[1].isNull = true;
  QK_mssql__query_bool__format(ctx, psql, &b, "SELECT NULL");
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, 0xFFFFFFFFu));
  fake.rc = {{"ExecDirectW", SQL_NO_DATA}};
  QK_mssql__rowcount(ctx, psql, &v);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, 100));
  EXPECT_EQ(fake.liveHandles, 2);
}

TEST_F(Mssql, PreparedStatementLifecycle) {
  SQLHSTMT h = reinterpret_cast<SQLHSTMT>(1);
  fake.rc = {{"PrepareW", SQL_ERROR}};
  QK_mssql__prepare__format(ctx, psql, &h, "SELECT %d", 1);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, 0xFFFFFFFFu));
  EXPECT_EQ(fake.liveHandles, 2);
  fake.rc.clear();

  QK_mssql__prepare(ctx, psql, &h, "SELECT a FROM t WHERE b = ?");
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(fake.texts.back(), u"SELECT a FROM t WHERE b = ?");
  int got = -1, rows = 0;
  fake.rows = 2;
  QK_mssql__execute(ctx, h);
  for (QK_mssql__fetch(ctx, h, &got); got; QK_mssql__fetch(ctx, h, &got)) rows++;
  EXPECT_EQ(rows, 2);
  QK_mssql__close_cursor(ctx, h);
  fake.rc = {{"Execute", SQL_NO_DATA}};
  QK_mssql__execute(ctx, h);
  EXPECT_EQ(take_error(), "ok");
  fake.rc = {{"Fetch", SQL_ERROR}};
  got = 5;
  QK_mssql__fetch(ctx, h, &got);
  EXPECT_EQ(got, 5);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, 0xFFFFFFFFu));

  struct Case {
    SQLRETURN rc;
    std::string expected;
  } cases[] = {
      {SQL_NEED_DATA, "ok"},
      {SQL_NO_DATA, "8:Expected SQL_NEED_DATA but got SQL_NO_DATA"},
      {SQL_SUCCESS, "8:Expected SQL_NEED_DATA but got SQL_SUCCEEDED(rc=0)"},
      {SQL_SUCCESS_WITH_INFO, "8:Expected SQL_NEED_DATA but got SQL_SUCCEEDED(rc=1)"},
      {SQL_ERROR, "4294967295:{\"SQLRETURN\":-1}"},
  };
  for (const auto &c : cases) {
    fake.rc = {{"Execute", c.rc}};
    QK_mssql__execute__need_data(ctx, h);
    EXPECT_EQ(take_error(), c.expected) << c.rc;
  }
  QK_mssql__execute(ctx, nullptr);
  EXPECT_EQ(take_error(), "2:hStmt is null");
  QK_mssql__execute__need_data(ctx, nullptr);
  EXPECT_EQ(take_error(), "2:hStmt is null");
  QK_mssql__free_stmt(ctx, h);
  QK_mssql__free_stmt(ctx, nullptr);
}

int cancel_always(void *) { return 1; }

TEST_F(Mssql, CancelStopsWorkBeforeTheDriverIsAsked) {
  QK_context__set_cancel_callback(ctx, cancel_always);
  SQLHSTMT h = reinterpret_cast<SQLHSTMT>(&fake);
  QK_int64 v;
  std::vector<std::pair<const char *, std::function<void()>>> stopped = {
      {"exec", [&] { QK_mssql__exec(ctx, psql, "x"); }},
      {"exec__format", [&] { QK_mssql__exec__format(ctx, psql, "x"); }},
      {"classified", [&] { QK_mssql__exec__format_classified(ctx, psql, "x"); }},
      {"classified_null", [&] { QK_mssql__exec__format_classified_null(ctx, psql, "x"); }},
      {"query_int64", [&] { QK_mssql__query_int64__format(ctx, psql, &v, "x"); }},
      {"execute", [&] { QK_mssql__execute(ctx, h); }},
      {"execute__need_data", [&] { QK_mssql__execute__need_data(ctx, h); }},
  };
  for (auto &[name, run] : stopped) {
    run();
    EXPECT_EQ(take_error(), "251:") << name;
    EXPECT_TRUE(fake.calls.empty()) << name;
  }
  // These still run: reading what a statement already produced costs the server nothing.
  int b;
  fake.columns[1].bytes = std::string(8, '\0');
  QK_mssql__query_bool__format(ctx, psql, &b, "x");
  QK_mssql__rowcount(ctx, psql, &v);
  QK_mssql__prepare(ctx, psql, &h, "x");
  QK_mssql__fetch(ctx, h, nullptr);
  EXPECT_EQ(take_error(), "ok");
  QK_mssql__free_stmt(ctx, h);
}

enum Op { PLAIN, CLASSIFIED, CLASSIFIED_NULL };

FakeDiagRecord rec(std::optional<int> native, std::optional<std::string> message = std::nullopt) {
  FakeDiagRecord r;
  r.native = native;
  r.message = message;
  return r;
}

TEST_F(Mssql, ServerErrorsAreClassifiedByTheFirstDecidingRecord) {
  const std::string terminated = "The statement has been terminated.";
  struct Case {
    const char *name;
    std::vector<FakeDiagRecord> records;
    Op op;
    QK_error expected;
  } cases[] = {
      {"deadlock, unclassified", {rec(1205, "chosen as the deadlock victim")}, PLAIN, QK_ERR_DEADLOCK_VICTIM},
      {"deadlock after info", {rec(3621, terminated), rec(1205)}, CLASSIFIED, QK_ERR_DEADLOCK_VICTIM},
      {"duplicate before deadlock, unclassified", {rec(2627, DUP_2627), rec(1205)}, PLAIN, QK_ERROR_MAKE(MSSQL, -1)},
      {"duplicate before deadlock", {rec(2627, DUP_2627), rec(1205)}, CLASSIFIED, QK_ERR_MSSQL_DUPLICATE_KEY},
      {"unique index", {rec(2601, DUP_2601), rec(3621, terminated)}, CLASSIFIED, QK_ERR_MSSQL_DUPLICATE_KEY},
      {"unique index before deadlock, unclassified", {rec(2601, DUP_2601), rec(1205)}, PLAIN,
       QK_ERROR_MAKE(MSSQL, -1)},
      {"constraint before deadlock, unclassified", {rec(547), rec(1205)}, PLAIN, QK_ERROR_MAKE(MSSQL, -1)},
      {"check",
       {rec(547, "The UPDATE statement conflicted with the CHECK constraint \"ck_qty\". The conflict occurred "
                 "in database \"d\", table \"tavrin.s$t\", column 'qty'.")},
       CLASSIFIED, QK_ERR_MSSQL_CHECK_CONSTRAINT},
      {"foreign key",
       {rec(547, "The INSERT statement conflicted with the FOREIGN KEY constraint \"fk_a\".")},
       CLASSIFIED, QK_ERR_MSSQL_FOREIGN_KEY},
      {"same table reference",
       {rec(547, "The DELETE statement conflicted with the SAME TABLE REFERENCE constraint \"fk_self\".")},
       CLASSIFIED_NULL, QK_ERR_MSSQL_FOREIGN_KEY},
      {"foreign key same table",
       {rec(547, "The INSERT statement conflicted with the FOREIGN KEY SAME TABLE constraint \"fk_s\".")},
       CLASSIFIED, QK_ERR_MSSQL_FOREIGN_KEY},
      {"other constraint", {rec(547, "The MERGE statement conflicted with the REFERENCE constraint \"x\".")},
       CLASSIFIED, QK_ERR_MSSQL_CONSTRAINT},
      {"constraint without text", {rec(547)}, CLASSIFIED, QK_ERR_MSSQL_CONSTRAINT},
      {"null not classified", {rec(515, "Cannot insert the value NULL into column 'a'"), rec(1205)}, CLASSIFIED,
       QK_ERR_DEADLOCK_VICTIM},
      {"null classified", {rec(515, "Cannot insert the value NULL into column 'a'"), rec(1205)}, CLASSIFIED_NULL,
       QK_ERR_MSSQL_NULL_NOT_ALLOWED},
      {"null, unclassified", {rec(515)}, PLAIN, QK_ERROR_MAKE(MSSQL, -1)},
      // A record without a native error number (from the driver or the driver manager) must not
      // hide the server's records behind it.
      {"no native, then deadlock", {rec(std::nullopt, "[unixODBC] driver message"), rec(1205)}, PLAIN,
       QK_ERR_DEADLOCK_VICTIM},
      {"no native, then duplicate", {rec(std::nullopt), rec(2627, DUP_2627)}, CLASSIFIED,
       QK_ERR_MSSQL_DUPLICATE_KEY},
      {"syntax", {rec(102, "Incorrect syntax near 'x'.")}, CLASSIFIED_NULL, QK_ERROR_MAKE(MSSQL, -1)},
  };
  fake.rc = {{"ExecDirectW", SQL_ERROR}};
  for (const auto &c : cases) {
    fake.diag = c.records;
    if (c.op == PLAIN) QK_mssql__exec(ctx, psql, "x");
    if (c.op == CLASSIFIED) QK_mssql__exec__format_classified(ctx, psql, "x");
    if (c.op == CLASSIFIED_NULL) QK_mssql__exec__format_classified_null(ctx, psql, "x");
    auto [err, msg] = take();
    EXPECT_EQ(err, c.expected) << c.name;
    EXPECT_NE(python_json(msg), "INVALID") << c.name << ": " << msg;
  }
  EXPECT_EQ(fake.liveHandles, 2);
}

// The members parsed from a duplicate-key message, as Python sees the document.
std::string duplicate_members(Mssql &t, const std::string &message, int native) {
  t.fake.rc = {{"ExecDirectW", SQL_ERROR}};
  t.fake.diag = {rec(native, message)};
  QK_mssql__exec__format_classified(t.ctx, t.psql, "INSERT");
  auto [err, msg] = t.take();
  EXPECT_EQ(err, QK_ERR_MSSQL_DUPLICATE_KEY);
  auto rows = python_oracle_rows("import json\nr = json.loads(bytes.fromhex('" + oracle_hex(msg) +
                                 "').decode())['diag'][0]\nprint(r.get('dbfile'), r.get('table'), "
                                 "r.get('constraint'), len(r['SQL_DIAG_MESSAGE_TEXT'].encode()))\n");
  std::string r;
  for (const auto &w : rows.at(0)) r += w + " ";
  return r;
}

TEST_F(Mssql, DuplicateKeyMessagesAreParsed) {
  EXPECT_EQ(duplicate_members(*this, DUP_2627, 2627), "sales z$rv$117 pk_sample 144 ");
  EXPECT_EQ(duplicate_members(*this, DUP_2601, 2601), "sales orders ux_orders_no 129 ");
  // A long key value pushes the object name past 1,024 bytes: the whole text is parsed, the
  // document keeps at most 1,023 bytes of it.
  std::string longKey = std::string("Violation of UNIQUE KEY constraint 'uq_name'. Cannot insert duplicate key in ") +
                        "object 'tavrin.crm$customers'. The duplicate key value is (" + std::string(1500, 'k') + ").";
  EXPECT_EQ(duplicate_members(*this, std::string(1100, ' ') + longKey, 2627), "crm customers uq_name 1023 ");
  EXPECT_EQ(duplicate_members(*this, "Violation of PRIMARY KEY constraint. Cannot insert duplicate key.", 2627),
            "None None None 65 ");
}

TEST_F(Mssql, DiagnosticsDocumentIsValidJsonWithinTheMessageLimit) {
  fake.rc = {{"ExecDirectW", SQL_ERROR}};
  FakeDiagRecord full = rec(2627, "quote \" backslash \\ tab \t newline \n bell \x07 end");
  full.msgState = 1;
  full.severity = 14;
  full.state = "23000";
  FakeDiagRecord silent = rec(50000, "bad bytes \xff\xfe \xc3 and \xed\xa0\x80 surrogate");
  silent.silentServerFields = true;
  fake.diag = {full, silent};
  QK_mssql__exec(ctx, psql, "x");
  auto [err, msg] = take();
  EXPECT_EQ(err, QK_ERROR_MAKE(MSSQL, -1));
  EXPECT_EQ(msg.rfind(R"({"diag":[{"SQL_DIAG_MESSAGE_TEXT":"quote \" backslash \\ tab \t newline \n bell \u0007 end",)"
            R"("SQL_DIAG_NATIVE":2627,"SQL_DIAG_SQLSTATE":"23000","SQL_DIAG_SS_MSGSTATE":1,)", 0), 0u) << msg;
  EXPECT_EQ(python_json(msg),
            R"({"SQLRETURN":-1,"diag":[{"SQL_DIAG_MESSAGE_TEXT":"quote\"backslash\\tab\tnewline\nbell\u0007end",)"
            R"("SQL_DIAG_NATIVE":2627,"SQL_DIAG_SQLSTATE":"23000","SQL_DIAG_SS_MSGSTATE":1,"SQL_DIAG_SS_SEVERITY":14},)"
            R"({"SQL_DIAG_MESSAGE_TEXT":"badbytes\ufffd\ufffd\ufffdand\ufffd\ufffd\ufffdsurrogate",)"
            R"("SQL_DIAG_NATIVE":50000,"SQL_DIAG_SQLSTATE":"42000"}]})");
  EXPECT_NE(python_json(msg), "INVALID");
  EXPECT_NE(msg.find("\"SQL_DIAG_MESSAGE_TEXT\":\"bad bytes \xef\xbf\xbd"), std::string::npos) << msg;
  EXPECT_EQ(msg.find("SQL_DIAG_SS_SEVERITY\":", msg.find("bad bytes")), std::string::npos) << msg;

  // Twenty records of 1,000 control characters each: every one escapes to 6 bytes, so only the
  // leading records fit the context's message.
  fake.diag.assign(20, rec(1205, std::string(1000, '\x01')));
  QK_mssql__exec(ctx, psql, "x");
  std::tie(err, msg) = take();
  EXPECT_EQ(err, QK_ERR_DEADLOCK_VICTIM);
  EXPECT_LE(msg.size(), (size_t)QK_CONTEXT_MESSAGE_SIZE - 1);
  auto rows = python_oracle_rows("import json\nd = json.loads(bytes.fromhex('" + oracle_hex(msg) +
                                 "').decode())\nprint(len(d['diag']), d['SQLRETURN'])\n");
  EXPECT_EQ(rows.at(0), (std::vector<std::string>{"1", "-1"}));
}

TEST_F(Mssql, DiagnosticCountFailureGivesTheBareReturnCode) {
  fake.rc = {{"ExecDirectW", SQL_ERROR}, {"GetDiagField", SQL_INVALID_HANDLE}};
  QK_mssql__exec(ctx, psql, "x");
  EXPECT_EQ(take_error(), "4294967295:{\"SQLRETURN\":-1}");
  QK_mssql__throw_stmt_error(ctx, SQL_INVALID_HANDLE, nullptr);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, -2));
}

struct Bindings : Mssql {
  SQLHSTMT h = nullptr;
  void SetUp() override {
    Mssql::SetUp();
    QK_mssql__prepare(ctx, psql, &h, "x");
  }
  void TearDown() override {
    QK_mssql__free_stmt(ctx, h);
    Mssql::TearDown();
  }
};

TEST_F(Bindings, EachBindingMakesItsOdbcCall) {
  QK_int32 i32 = 1;
  QK_int64 i64 = 2, out = 0;
  double d = 0.5;
  SQL_DATE_STRUCT date = {2024, 2, 29};
  SQL_TIMESTAMP_STRUCT ts = {};
  QK_mssql_time2 tm = {23, 59, 58, 123456700};
  SQLLEN ind[8] = {};
  const char *guid = "6f9619ff-8b86-d011-b42d-00c04fc964ff";
  QK_mssql__bind__int32(ctx, h, 1, &i32);
  QK_mssql__bind__int64(ctx, h, 2, &i64);
  QK_mssql__bind_out__int64(ctx, h, 3, &out, &ind[0]);
  QK_mssql__bind__double(ctx, h, 4, &d);
  QK_mssql__bind__date(ctx, h, 5, &date);
  QK_mssql__bind__datetime(ctx, h, 6, &ts, &ind[1]);
  QK_mssql__bind__time(ctx, h, 7, &tm, &ind[2]);
  QK_mssql__bind__guid_text(ctx, h, 8, guid, &ind[3]);
  QK_mssql__bind__null(ctx, h, 9, SQL_C_SBIGINT, SQL_BIGINT, &ind[4]);
  ASSERT_EQ(take_error(), "ok");
  struct Expected {
    SQLSMALLINT io, cType, sqlType;
    SQLULEN size;
    SQLSMALLINT digits;
    const void *value;
    SQLLEN bufLen;
    SQLLEN *ind;
    SQLLEN indValue;
  } expected[] = {
      {SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &i32, 0, nullptr, 0},
      {SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &i64, 0, nullptr, 0},
      {SQL_PARAM_OUTPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &out, 8, &ind[0], 8},
      {SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_FLOAT, 0, 0, &d, 0, nullptr, 0},
      {SQL_PARAM_INPUT, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 0, 0, &date, 0, nullptr, 0},
      {SQL_PARAM_INPUT, SQL_C_TIMESTAMP, SQL_TYPE_TIMESTAMP, 27, 7, &ts, 16, &ind[1], 16},
      {SQL_PARAM_INPUT, SQL_C_BINARY, -154, 16, 7, &tm, 12, &ind[2], 12},
      {SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, 36, 0, guid, 36, &ind[3], 36},
      {SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 1, 0, nullptr, 0, &ind[4], SQL_NULL_DATA},
  };
  ASSERT_EQ(fake.binds.size(), 9u);
  for (int i = 0; i < 9; i++) {
    const FakeBind &b = fake.binds[i];
    const Expected &e = expected[i];
    EXPECT_EQ(b.ipar, i + 1);
    EXPECT_EQ(std::make_tuple(b.io, b.cType, b.sqlType, b.colSize, b.digits, (const void *)b.value, b.bufLen, b.ind),
              std::make_tuple(e.io, e.cType, e.sqlType, e.size, e.digits, e.value, e.bufLen, e.ind))
        << "parameter " << i + 1;
    EXPECT_EQ(b.indAtBind, e.indValue) << "parameter " << i + 1;
  }
}

TEST_F(Bindings, TextsAreBoundAsUtf16WithUnitsAndBytes) {
  SQLLEN len[6] = {};
  char16_t *w[6] = {};
  QK_mssql__bind__nstring(ctx, h, 1, "a𝄞é", SQL_WVARCHAR, &len[0], &w[0]);
  QK_mssql__bind__nstring(ctx, h, 2, "", SQL_WCHAR, &len[1], &w[1]);
  QK_mssql__bind__nstring_max(ctx, h, 3, "max 𝄞", &len[2], &w[2]);
  QK_mssql__bind__nstring(ctx, h, 4, nullptr, SQL_WVARCHAR, &len[3], &w[3]);
  // Counted texts keep their NUL characters, inside and at the end, in units and bytes.
  QK_mssql__bind__nstring__buflen(ctx, h, 5, "a\0b\0", 4, SQL_CHAR, &len[4], &w[4]);
  QK_mssql__bind__nstring_max__buflen(ctx, h, 6, "\0é", 3, &len[5], &w[5]);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_EQ(fake.binds.size(), 6u);
  EXPECT_EQ(std::u16string(w[0]), u"a𝄞é");
  EXPECT_EQ(std::u16string(w[4], 4), std::u16string(u"a\0b\0", 4));
  EXPECT_EQ(std::u16string(w[5], 2), std::u16string(u"\0é", 2));
  auto &b = fake.binds;
  EXPECT_EQ(std::make_tuple(b[0].cType, b[0].sqlType, b[0].colSize, b[0].bufLen, b[0].indAtBind),
            std::make_tuple(SQL_C_WCHAR, SQL_WVARCHAR, (SQLULEN)4, (SQLLEN)8, (SQLLEN)8));
  EXPECT_EQ(b[0].value, w[0]);
  EXPECT_EQ(std::make_tuple(b[1].sqlType, b[1].colSize, b[1].bufLen, b[1].indAtBind),
            std::make_tuple(SQL_WCHAR, (SQLULEN)0, (SQLLEN)0, (SQLLEN)0));
  EXPECT_EQ(std::make_tuple(b[2].sqlType, b[2].colSize, b[2].bufLen, b[2].indAtBind),
            std::make_tuple(SQL_WVARCHAR, (SQLULEN)0, (SQLLEN)12, (SQLLEN)12));
  EXPECT_EQ(std::make_tuple(b[3].cType, b[3].sqlType, b[3].indAtBind, w[3]),
            std::make_tuple(SQL_C_CHAR, SQL_WVARCHAR, (SQLLEN)SQL_NULL_DATA, (char16_t *)nullptr));
  EXPECT_EQ(std::make_tuple(b[4].cType, b[4].sqlType, b[4].colSize, b[4].bufLen, b[4].indAtBind),
            std::make_tuple(SQL_C_WCHAR, SQL_CHAR, (SQLULEN)4, (SQLLEN)8, (SQLLEN)8));
  EXPECT_EQ(std::make_tuple(b[5].sqlType, b[5].colSize, b[5].bufLen, b[5].indAtBind),
            std::make_tuple(SQL_WVARCHAR, (SQLULEN)0, (SQLLEN)4, (SQLLEN)4));
  for (auto p : w) QK_free(ctx, p);

  fake.binds.clear();
  QK_mssql__bind__nstring_max(ctx, h, 1, nullptr, &len[0], nullptr);
  QK_mssql__bind__guid_text(ctx, h, 2, nullptr, &len[1]);
  ASSERT_EQ(take_error(), "ok");
  for (auto &bind : fake.binds)
    EXPECT_EQ(std::make_tuple(bind.cType, bind.sqlType, bind.indAtBind),
              std::make_tuple(SQL_C_CHAR, SQL_CHAR, (SQLLEN)SQL_NULL_DATA));

  // The indicator is checked first, also for a NULL text; a failed binding hands out nothing.
  QK_mssql__bind__nstring(ctx, h, 1, nullptr, SQL_WVARCHAR, nullptr, &w[0]);
  EXPECT_EQ(take_error(), "2:piLen is null");
  QK_mssql__bind__guid_text(ctx, h, 1, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:piLen is null");
  QK_mssql__bind__datetime(ctx, h, 1, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:piLen is null");
  QK_mssql__bind__time(ctx, h, 1, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:piLen is null");
  QK_mssql__bind__guid_text(ctx, h, 1, "6f9619ff-8b86", &len[0]);
  EXPECT_EQ(take_error(), "2:psz36 is invalid: strnlen(psz36, 37) == 36 is false.");
  w[0] = nullptr;
  fake.rc = {{"BindParameter", SQL_ERROR}};
  QK_mssql__bind__nstring(ctx, h, 1, "x", SQL_WVARCHAR, &len[0], &w[0]);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, -1));
  EXPECT_EQ(w[0], nullptr);
}

TEST_F(Bindings, BlobsGoDirectlyWhenEmptyAndAtExecutionOtherwise) {
  QK_mssql_put_data *blob = nullptr;
  QK_mssql__bind__blob(ctx, h, 1, 0, nullptr);
  ASSERT_EQ(take_error(), "ok");
  const FakeBind &empty = fake.binds.at(0);
  EXPECT_EQ(std::make_tuple(empty.cType, empty.sqlType, empty.colSize), std::make_tuple(SQL_C_BINARY, SQL_LONGVARBINARY, (SQLULEN)1));
  ASSERT_NE(empty.ind, nullptr);
  EXPECT_EQ(*empty.ind, 0);

  QK_mssql__bind__blob(ctx, h, 2, 3, &blob);
  ASSERT_EQ(take_error(), "ok");
  const FakeBind &big = fake.binds.at(1);
  EXPECT_EQ(big.value, blob);
  EXPECT_EQ(big.ind, &blob->lenInd);
  EXPECT_EQ(std::make_tuple(big.colSize, big.bufLen, blob->lenInd, blob->ipar),
            std::make_tuple((SQLULEN)3, (SQLLEN)4, (SQLLEN)-103, 2u));
  EXPECT_EQ(*(QK_uint32 *)big.value, 2u);  // the token names its parameter
  QK_mssql__put_data_holder__set(ctx, blob, "abc", 3);
  QK_mssql__put_data(ctx, h, blob);
  EXPECT_EQ(fake.putData, "abc");
  QK_mssql__free_put_data(ctx, &blob);
  EXPECT_EQ(blob, nullptr);
  QK_mssql__free_put_data(ctx, &blob);

  QK_mssql__bind__blob(ctx, h, 2, 3, nullptr);
  EXPECT_EQ(take_error(), "2:ppBlob is null");
  QK_mssql__put_data_holder__set(ctx, nullptr, "abc", 3);
  EXPECT_EQ(take_error(), "2:pbh is null");
  fake.rc = {{"BindParameter", SQL_ERROR}};
  blob = reinterpret_cast<QK_mssql_put_data *>(&fake);
  QK_mssql__bind__blob(ctx, h, 2, 3, &blob);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, -1));
  EXPECT_EQ(blob, reinterpret_cast<QK_mssql_put_data *>(&fake));
}

TEST_F(Bindings, FixedSizeReads) {
  QK_int32 word = (QK_int32)0xAAAAAAAA;
  fake.columns[1].bytes = std::string("\x01", 1);
  QK_mssql__get__bit(ctx, h, 1, &word);
  EXPECT_EQ(word, 1);
  word = (QK_int32)0xAAAAAAAA;
  fake.columns[1].bytes = std::string("\0", 1);
  QK_mssql__get__bit(ctx, h, 1, &word);
  EXPECT_EQ(word, 0);
  word = 77;
  fake.columns[1].isNull = true;
  QK_mssql__get__bit(ctx, h, 1, &word);
  EXPECT_EQ(word, 77);

  SQLLEN ind = 0;
  QK_int64 v = 5;
  QK_mssql__get__int64(ctx, h, 1, &v, &ind);
  EXPECT_EQ(ind, SQL_NULL_DATA);
  QK_uint8 guid[16];
  fake.columns[2].bytes = std::string("0123456789abcdef");
  QK_mssql__get__guid(ctx, h, 2, guid, &ind);
  EXPECT_EQ(std::string((char *)guid, 16), "0123456789abcdef");
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(fake.getDataLengths, (std::vector<SQLLEN>{1, 1, 1, 8, 16}));
  fake.rc = {{"GetData", SQL_NO_DATA}};
  QK_mssql__get__int32(ctx, h, 1, &word, &ind);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, 100));
}

// Text of n units with surrogate pairs and NUL characters spread through it, one at its end.
std::u16string text_of_units(size_t n) {
  std::u16string s;
  while (s.size() < n) {
    if (s.size() % 7 == 3 && s.size() + 2 <= n)
      s += u"𝄞";
    else if (s.size() % 300 == 5 || s.size() + 1 == n)
      s += u'\0';
    else
      s += u"é";
  }
  return s;
}

std::string utf8_of(const std::u16string &s) {
  char *sz = nullptr;
  QK_uint32 bytes = 0;
  QK_context *ctx = nullptr;
  QK_context__alloc(&ctx);
  QK_utf8__from_wide__buflen(ctx, s.data(), (QK_uint32)s.size(), &sz, &bytes);
  std::string r(sz, bytes);
  QK_free(ctx, sz);
  QK_context__free(ctx);
  return r;
}

TEST_F(Bindings, TextReadsGrowTheirBufferAsTheDriverAnswers) {
  struct Case {
    size_t units;
    bool noTotal;
    std::vector<SQLLEN> lengths;
  } cases[] = {
      {0, false, {2048}},
      {1, false, {2048}},
      {1022, false, {2048}},
      {1023, false, {2048}},
      {1024, false, {2048, 4}},
      {5000, false, {2048, 7956}},
      {1024, true, {2048, 2050}},
      {5000, true, {2048, 2050, 4098, 8194}},
  };
  for (const auto &c : cases) {
    FakeValue v;
    v.text = text_of_units(c.units);
    v.noTotal = c.noTotal;
    fake.columns[1] = v;
    fake.getDataLengths.clear();
    char *sz = nullptr;
    QK_uint32 bytes = 0;
    QK_mssql__get__nstring__buflen(ctx, h, 1, &sz, &bytes);
    ASSERT_EQ(take_error(), "ok") << c.units;
    ASSERT_NE(sz, nullptr);
    EXPECT_EQ(std::string(sz, bytes), utf8_of(v.text)) << c.units << " " << c.noTotal;
    EXPECT_EQ(sz[bytes], '\0');
    EXPECT_EQ(fake.getDataLengths, c.lengths) << c.units << " " << c.noTotal;
    QK_free(ctx, sz);
  }
  char *sz = reinterpret_cast<char *>(1);
  fake.columns[1].isNull = true;
  QK_mssql__get__nstring(ctx, h, 1, &sz);
  EXPECT_EQ(sz, nullptr);
  fake.rc = {{"GetData", SQL_ERROR}};
  QK_mssql__get__nstring(ctx, h, 1, &sz);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, -1));
}

TEST_F(Mssql, DescribeAndCount) {
  SQLHSTMT h = nullptr;
  QK_mssql__prepare(ctx, psql, &h, "x");
  fake.columns[1].bytes = "x";
  fake.columns[2].bytes = "y";
  QK_int16 n = 0, nameLen, type, digits, nullable;
  SQLULEN size;
  char name[16];
  QK_mssql__num_result_cols(ctx, h, &n);
  QK_mssql__describe_col(ctx, h, 1, name, sizeof name, &nameLen, &type, &size, &digits, &nullable);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(n, 2);
  EXPECT_EQ(std::make_tuple(std::string(name), nameLen, type, size), std::make_tuple(std::string("col"), 3, SQL_WVARCHAR, (SQLULEN)40));
  fake.rc = {{"CloseCursor", SQL_ERROR}, {"NumResultCols", SQL_ERROR}};
  QK_mssql__close_cursor(ctx, h);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, -1));
  QK_mssql__num_result_cols(ctx, h, &n);
  EXPECT_EQ(take().first, QK_ERROR_MAKE(MSSQL, -1));
  QK_mssql__free_stmt(ctx, h);
}

TEST_F(ContextTest, TextConversions) {
  char16_t *w = reinterpret_cast<char16_t *>(1);
  int count = 0;
  QK_mssql__utf8_to_wide(ctx, "a𝄞", &w, &count);
  EXPECT_EQ(std::u16string(w), u"a𝄞");
  EXPECT_EQ(count, 4);
  char *sz = nullptr;
  QK_mssql__wide_to_utf8(ctx, u"", &sz);
  ASSERT_NE(sz, nullptr);
  EXPECT_STREQ(sz, "");
  QK_free(ctx, sz);
  // Not NUL-terminated: only the given bytes count, and a NUL inside is part of the text.
  QK_uint32 bytes = 0;
  QK_mssql__wide_buf_to_utf8(ctx, w, 6, &sz, &bytes);
  EXPECT_STREQ(sz, "a𝄞");
  EXPECT_EQ(bytes, 5u);
  QK_free(ctx, sz);
  QK_mssql__wide_buf_to_utf8(ctx, u"ab\0cd", 10, &sz, &bytes);
  EXPECT_EQ(std::string(sz, bytes), std::string("ab\0cd", 5));
  QK_free(ctx, sz);
  QK_mssql__wide_buf_to_utf8(ctx, w, 2, &sz, nullptr);
  EXPECT_STREQ(sz, "a");
  QK_free(ctx, sz);
  QK_free(ctx, w);
  EXPECT_EQ(take_error(), "ok");
  w = reinterpret_cast<char16_t *>(1);
  QK_mssql__utf8_to_wide(ctx, nullptr, &w, nullptr);
  EXPECT_EQ(take_error(), "2:psz_utf8 is null");
  EXPECT_EQ(w, nullptr);
  QK_mssql__utf8_to_wide(ctx, "", nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:ppBufResult is null");
  QK_mssql__wide_to_utf8(ctx, nullptr, &sz);
  EXPECT_EQ(take_error(), "2:pBufUnicode is null");
  QK_mssql__wide_to_utf8(ctx, u"", nullptr);
  EXPECT_EQ(take_error(), "2:pszUtf8Result is null");
}

}  // namespace

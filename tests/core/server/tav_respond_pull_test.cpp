// The pull end to end against the SQL Server stand-in, from the query document and identity
// to status, protocol code and the compressed body (inflated by python's zlib and judged by
// the package inspector); the retried transaction with injected failures and waits.
#include "download_fixture.h"

#include <vector>

#include "server/tav_handle_conflicts_download.h"
#include "server/tav_respond_pull.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni g_odbc_ini;

struct PullTest : DownloadTest {
  int status = 0;
  tav_pkg response = {};
  char *body = nullptr;
  QK_vhash *headers = nullptr;
  QK_string *message = nullptr;

  void SetUp() override {
    DownloadTest::SetUp();
    std::string out;
    ASSERT_EQ(cli("add-acl " + dataDir + " shop demo '' anyone '*' pull allow", &out), 0) << out;
  }
  void TearDown() override {
    reset();
    DownloadTest::TearDown();
  }
  void reset() {
    tav_pkg__close(ctx, &response);
    QK_free(ctx, body);
    body = nullptr;
    QK_vhash__free(ctx, headers);
    headers = nullptr;
    QK_string__free(ctx, message);
    message = nullptr;
    QK_context__reset_error(ctx);
  }
  // Runs a pull of the query (JSON of the query document; "null" for none); "ok" or the error.
  std::string pull(const std::string &query) {
    reset();
    QK_vhash *q = nullptr;
    if (query != "null") QK_vhash__alloc__from_json(ctx, &q, query.c_str());
    EXPECT_EQ(take_error(), "ok") << query;
    tav_respond__pull_request(ctx, &ops, conn, nullptr, nullptr, work.c_str(), q, nullptr, nullptr, &status, &response, &body,
                              &headers, &message);
    QK_vhash__free(ctx, q);
    return take_error();
  }
  std::string header() {
    const char *v = nullptr;
    if (headers) QK_vhash__check__sz(ctx, headers, "X-Tavrin-Error-Code", &v);
    return v ? v : "";
  }
  std::string body_text() { return body ? body : "<none>"; }
  // The response body inflated into a package file; its path.
  std::string unpack() {
    if (!response.path) return "<no body>";
    std::string out = work + "/unpacked.pkg";
    capture("/usr/bin/python3 -c \"import zlib,sys;open(sys.argv[2],'wb').write(zlib.decompress(open(sys.argv[1],'rb')"
            ".read()))\" '" + std::string(response.path) + "' '" + out + "'");
    return out;
  }
  std::string base_of(const std::string &file) { return rows_of(file, "SELECT rstamp FROM p$tx WHERE txid = 0"); }
};

}  // namespace

TEST_F(PullTest, QueryProblemsAnswer400OrFail) {
  const std::string zeros(32, '0'), pvText = "query string parameter 'pv' must be a package version from 2 to 6";
  struct {
    std::string query, expected;
  } cases[] = {
      {"null", "400|query string is required"},
      {"{\"fid\":\"1\"}", "400|parameter 'db' in query string is required"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"x\":\"12\"}", "400|expected '@' in query string parameter 'x'"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"x\":\"" + std::string(31, 'a') + "G@5\"}",
       "400|invalid rstamp in query string parameter 'x' (must be ascii-encoded hex)"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pending\":\"abc\"}",
       "400|invalid rstamp in query string parameter 'pending' (must be ascii-encoded hex)"},
      {"{\"db\":\"demo\"}", "error 47"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"from\":\"5g1x\"}", "error 400"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"x\"}", "error 137"},
      // Numbers no server could have are refused before anything counts with them.
      {"{\"db\":\"demo\",\"fid\":\"1\",\"first\":\"-9223372036854775808\"}",
       "400|number out of range in query string parameter 'first'"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"5\",\"from\":\"9223372036854775807," + zeros + ",0,0,0\"}",
       "400|number out of range in query string parameter 'from'"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"5\",\"rstamps\":\"\",\"from\":\"9223372036854775807," + zeros +
           ",0,0,0\"}",
       "400|number out of range in query string parameter 'from'"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"5\",\"from\":\"5," + zeros + ",0,-9223372036854775808,0;t1\"}",
       "400|number out of range in query string parameter 'from'"},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"6\",\"from\":\"9223372036854775807g1\"}",
       "400|number out of range in query string parameter 'from'"},
      // Every version a client cannot be sent is refused alike.
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"0\"}", "400|" + pvText},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"1\"}", "400|" + pvText},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"7\"}", "400|" + pvText},
      {"{\"db\":\"demo\",\"fid\":\"1\",\"pv\":\"2147483647\"}", "400|" + pvText},
  };
  for (const auto &c : cases) {
    std::string err = pull(c.query);
    std::string got = err == "ok" ? std::to_string(status) + "|" + body_text() : "error " + err.substr(0, err.find(':'));
    EXPECT_EQ(got, c.expected) << c.query;
    EXPECT_EQ(response.path, nullptr) << c.query;
  }
}

// The filter base a client sends back is checked before any of it reaches a where-clause.
TEST_F(PullTest, AFilterBaseHeaderOfTheWrongFormIsRefused) {
  struct {
    std::string base, expected;
  } cases[] = {
      {"{\"\":\"2024-05-06 07:08:09.123\",\"123\":\"hash\"}", "200"},
      {"{\"\":\"2024-05-06'); DELETE FROM dbo.items; --\"}", "400|" + std::string(TAV_PROTO_TEXT_FILTER_BASE_TIME)},
      {"{\"\":20240506}", "400|" + std::string(TAV_PROTO_TEXT_FILTER_BASE_MEMBER)},
      {"{\"123\":{\"x\":1}}", "400|" + std::string(TAV_PROTO_TEXT_FILTER_BASE_MEMBER)},
  };
  for (const auto &c : cases) {
    reset();
    QK_vhash *q = nullptr, *base = nullptr;
    QK_vhash__alloc__from_json(ctx, &q, "{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"5\"}");
    QK_vhash__alloc__from_json(ctx, &base, c.base.c_str());
    ASSERT_EQ(take_error(), "ok");
    tav_respond__pull_request(ctx, &ops, conn, nullptr, nullptr, work.c_str(), q, base, nullptr, &status, &response, &body,
                              &headers, &message);
    EXPECT_EQ(take_error(), "ok");
    std::string got = status == 400 ? "400|" + body_text() : std::to_string(status);
    EXPECT_EQ(got, c.expected) << c.base;
    QK_vhash__free(ctx, q);
    QK_vhash__free(ctx, base);
  }
  EXPECT_EQ(server_rows("SELECT COUNT(*) FROM dbo.items"), "2");
}

TEST_F(PullTest, FreshPullSendsTheCompressedPackageAndAnUpToDateOneNothing) {
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"5\"}"), "ok");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, nullptr);
  std::string file = unpack();
  EXPECT_EQ(inspect(file, "--version 5"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT name FROM \"p$u$" + items + "\" ORDER BY name"), "A;c");
  std::string from = base_of(file);
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"5\",\"from\":\"" + from + "\"}"), "ok");
  EXPECT_EQ(status, 304);
  EXPECT_EQ(response.path, nullptr);
  EXPECT_EQ(header(), "");
}

// The client names a filter the server no longer holds (deleted after its users were given
// another, here none): nothing tells which tables, columns and rows the client holds, so every
// table comes again from scratch with its discard marker, and the schema with it.
TEST_F(PullTest, AFilterTheServerNoLongerHoldsSendsEverythingAgain) {
  for (int pv = 3; pv <= 6; pv++) {
    SCOPED_TRACE(pv);
    std::string v = std::to_string(pv);
    ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"" + std::to_string(pv < 4 ? 4 : pv) + "\"}"), "ok");
    std::string file = unpack();
    // A version-3 client sends its baseline in the same text, without a count.
    std::string from = pv == 6 ? rows_of(file, "SELECT max(generation) || 'g' || id FROM p$gen")
                               : base_of(file);
    if (pv == 3) from = from.substr(0, from.find(',', from.find(',', from.find(',') + 1) + 1)) + ",0" +
                        from.substr(from.rfind(','));
    std::string query = "{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"" + v + "\",\"from\":\"" + from + "\"";
    ASSERT_EQ(pull(query + "}"), "ok");
    EXPECT_EQ(status, 304) << "the same client naming no filter is up to date";

    ASSERT_EQ(pull(query + ",\"filter\":\"8\"}"), "ok");
    ASSERT_EQ(status, 200) << body_text();
    file = unpack();
    EXPECT_EQ(inspect(file, "--version " + v), "ok");
    EXPECT_EQ(rows_of(file, pv == 3   ? "SELECT count(*) FROM p$s"
                            : pv < 6 ? "SELECT count(*) FROM p$tx WHERE txid = -1"
                                     : "SELECT json_type(id, '$.schema') = 'object' FROM p$gen WHERE generation = 0"),
              "1");
    for (const std::string &t : {items, parts}) {
      EXPECT_EQ(rows_of(file, pv < 6 ? "SELECT rid FROM \"p$rd$" + t + "\" WHERE typeof(rid) = 'text'"
                                     : "SELECT z_rid FROM \"p$u$" + t + "\" WHERE typeof(z_rid) = 'text'"),
                "filter-discard")
          << t;
    }
    EXPECT_EQ(rows_of(file, "SELECT name FROM \"p$u$" + items + "\" WHERE name IS NOT NULL ORDER BY name"), "A;c");
    EXPECT_EQ(rows_of(file, "SELECT label FROM \"p$u$" + parts + "\" WHERE label IS NOT NULL"), "p1");
  }
}

TEST_F(PullTest, StatusAnswersCarryTheStatusDocument) {
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"4\"}"), "ok");
  std::string from = base_of(unpack());
  std::string stranger = from.substr(0, from.find(',') + 1) + std::string(32, 'E') + from.substr(from.find(',') + 33);

  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"4\",\"from\":\"" + stranger + "\"}"), "ok");
  EXPECT_EQ(status, 244);
  std::string file = unpack();
  EXPECT_EQ(inspect(file, "--version 4"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT txid FROM p$tx WHERE scheme = 'HTTP 244'"),
            "{\"first-rstamp\":\"" + rstamp_hex(1) + "\"}");

  // Version 3 reads no status document: it gets a stamp package instead.
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"3\",\"from\":\"" + stranger + "\"}"), "ok");
  EXPECT_EQ(status, 244);
  file = unpack();
  EXPECT_EQ(inspect(file, "--version 3"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT count(*) FROM p$tx WHERE scheme = 'HTTP 244'"), "0");
  EXPECT_EQ(rows_of(file, "SELECT min(txid) FROM p$tx WHERE txid > 0"), "1");

  // A stamp-only pull whose baseline the server does not know.
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"4\",\"rstamps\":\"\",\"from\":\"" + stranger + "\"}"), "ok");
  EXPECT_EQ(status, 244);

  // Two transactions fewer than the server counts: 245 with the package of row versions.
  size_t c3 = from.find(',', from.find(',', from.find(',') + 1) + 1), c4 = from.find(',', c3 + 1);
  std::string short2 = from.substr(0, c3 + 1) + std::to_string(std::stoll(from.substr(c3 + 1)) - 2) + from.substr(c4);
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"4\",\"from\":\"" + short2 + "\"}"), "ok");
  EXPECT_EQ(status, 245);
  file = unpack();
  EXPECT_EQ(inspect(file, "--version 4"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT txid FROM p$tx WHERE scheme = 'HTTP 244'"), "{\"missing-tx-count\":2}");

  // A version-6 client still on a txid baseline is answered in the transaction form.
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"6\",\"from\":\"" + short2 + "\"}"), "ok");
  EXPECT_EQ(status, 245) << body_text();
  file = unpack();
  EXPECT_EQ(inspect(file, "--version 5"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT txid FROM p$tx WHERE scheme = 'HTTP 244'"), "{\"missing-tx-count\":2}");
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"6\",\"rstamps\":\"\",\"from\":\"" + from + "\"}"), "ok");
  EXPECT_EQ(status, 200) << body_text();
  file = unpack();
  EXPECT_EQ(inspect(file, "--version 5"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT count(*) FROM p$tx WHERE scheme = 'last_sync_txid'"), "1");
}

TEST_F(PullTest, RefusalsAnswerWithTheirCodes) {
  std::string out;
  ASSERT_EQ(cli("register-dbfile " + dataDir + " shop old --version 16", &out), 0) << out;
  ASSERT_EQ(pull("{\"db\":\"old\",\"fid\":\"1\"}"), "ok");
  EXPECT_EQ(status, 500);
  EXPECT_EQ(header(), "5576");
  EXPECT_EQ(body_text(), "The server has a configuration error. Contact your server administrator to address this issue.");
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(std::string(QK_string__sz(message)),
            "The DBFile 'old' is in an old format. Please use the latest QVS Manager to upgrade the DBFile.");

  ASSERT_EQ(pull("{\"db\":\"gone\",\"fid\":\"1\"}"), "ok");
  EXPECT_EQ(status, 400);
  EXPECT_EQ(header(), "4552");
  EXPECT_EQ(body_text(), "dbfile not found: gone");

  // A dbfile that left the registry, asked by a client that synced before.
  ASSERT_EQ(pull("{\"db\":\"gone\",\"fid\":\"1\",\"pv\":\"4\",\"from\":\"5," + std::string(32, '0') + ",0,5,1\"}"), "ok");
  EXPECT_EQ(status, 244);
  std::string file = unpack();
  EXPECT_EQ(inspect(file, "--version 4"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT txid FROM p$tx WHERE scheme = 'HTTP 244'"),
            "{\"first-rstamp\":\"00000000000000000000000000000000\"}");

  ASSERT_EQ(cli("register-dbfile " + dataDir + " shop demo2", &out), 0) << out;
  ASSERT_EQ(cli("create-dbfile " + dataDir + " shop demo2", &out), 0) << out;
  ASSERT_EQ(pull("{\"db\":\"demo2\",\"fid\":\"1\"}"), "ok");
  EXPECT_EQ(status, 403) << "no access list entry allows the pull";
  EXPECT_EQ(header(), "");
  EXPECT_EQ(body, nullptr);

  // History purged under the client's baseline.
  ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"5\"}"), "ok");
  std::string from = base_of(unpack());
  ASSERT_EQ(cli("purge " + dataDir + " shop demo 99", &out), 0) << out;
  for (int pv : {5, 4}) {
    ASSERT_EQ(pull("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"" + std::to_string(pv) + "\",\"from\":\"" + from + "\"}"), "ok");
    EXPECT_EQ(status, 500);
    EXPECT_EQ(header(), pv == 5 ? "5832" : "3784");
    EXPECT_EQ(body_text(), "server data needed to complete this request has been purged");
    EXPECT_EQ(response.path, nullptr);
  }
}

// ---- The retried transaction, with failures injected into the store's operations ----

namespace {

struct Faults {
  int beginFailures = 0, filterFailures = 0;
  QK_error error = QK_ERR_DEADLOCK_VICTIM;
  int rollbacks = 0;
  std::vector<QK_uint32> sleeps;
} g_faults;

void faulty_begin_tx(QK_context *ctx, tav_db_handle *h, QK_int64 *g) {
  if (g_faults.beginFailures > 0) {
    g_faults.beginFailures--;
    QK_context__throw(ctx, g_faults.error, __FILE__, __LINE__);
    return;
  }
  tav_db_mssql__begin_tx(ctx, h, g);
}
void faulty_user_filters(QK_context *ctx, tav_db_handle *h, QK_varray **pp, QK_int64 *pTxid) {
  if (g_faults.filterFailures > 0) {
    g_faults.filterFailures--;
    QK_context__throw(ctx, g_faults.error, __FILE__, __LINE__);
    return;
  }
  tav_db_mssql__get_user_filters(ctx, h, pp, pTxid);
}
void counted_rollback(QK_context *ctx, tav_db_handle *h) {
  g_faults.rollbacks++;
  tav_db_mssql__rollback_tx(ctx, h);
}
int fixed_byte(void *) { return 7; }
void record_sleep(void *, QK_uint32 ms) { g_faults.sleeps.push_back(ms); }

struct RetryTest : DownloadTest {
  tav_backend_ops faulty = store_ops();
  tav_retry_pacing pacing = {fixed_byte, record_sleep, nullptr};
  tav_baseline b = {};
  QK_vhash *doc = nullptr;
  QK_string *message = nullptr;
  int code = -1;
  void SetUp() override {
    DownloadTest::SetUp();
    g_faults = Faults();
    faulty.begin_tx = faulty_begin_tx;
    faulty.get_user_filters = faulty_user_filters;
    faulty.rollback_tx = counted_rollback;
  }
  void TearDown() override {
    QK_vhash__free(ctx, doc);
    QK_string__free(ctx, message);
    DownloadTest::TearDown();
  }
  std::string run() {
    tav_respond__run_with_retry_paced(ctx, &faulty, h, 5, 0, nullptr, nullptr, nullptr, 0, &b, nullptr, work.c_str(),
                                      &pkg, &doc, &code, &message, &pacing);
    return take_error();
  }
};

}  // namespace

TEST_F(RetryTest, DeadlockVictimIsRetriedWithoutRollback) {
  g_faults.filterFailures = 3;
  ASSERT_EQ(run(), "ok");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(g_faults.rollbacks, 0) << "SQL Server rolled the victim back already";
  EXPECT_EQ(g_faults.sleeps, (std::vector<QK_uint32>{28, 56, 84}));
  ASSERT_NE(pkg.path, nullptr);
  EXPECT_EQ(inspect_pkg("--version 5"), "ok");
}

TEST_F(RetryTest, ElevenBusyAttemptsGiveUp) {
  g_faults.error = QK_ERR_BUSY_RETRY;
  g_faults.filterFailures = 11;
  ASSERT_EQ(run(), "ok");
  EXPECT_EQ(code, 4808);
  EXPECT_EQ(g_faults.sleeps.size(), 10u);
  EXPECT_EQ(g_faults.sleeps.back(), 10u * 7 * 4);
  EXPECT_EQ(g_faults.rollbacks, 11) << "every begun transaction ends";
  ASSERT_NE(message, nullptr);
  EXPECT_NE(std::string(QK_string__sz(message)).find("Busy retry required"), std::string::npos);
  EXPECT_EQ(pkg.path, nullptr);
}

TEST_F(RetryTest, MisconfigurationAndOtherErrorsEndTheLoop) {
  g_faults.error = QK_ERR_SERVER_MISCONFIGURATION;
  g_faults.beginFailures = 1;
  ASSERT_EQ(run(), "ok");
  EXPECT_EQ(code, 5576);
  ASSERT_NE(message, nullptr);
  std::string m = QK_string__sz(message);
  EXPECT_NE(m.find("Tavrin Server Misconfiguration"), std::string::npos) << m;
  EXPECT_EQ(m.substr(m.size() - 19), "how to resolve it.)") << m;

  g_faults = Faults();
  g_faults.error = QK_ERR_NOT_FOUND;
  g_faults.filterFailures = 1;
  EXPECT_EQ(run().substr(0, 3), "62:");
  EXPECT_EQ(g_faults.rollbacks, 1);
  EXPECT_TRUE(g_faults.sleeps.empty());
}

#endif

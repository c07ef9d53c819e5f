// The push end to end against the SQL Server stand-in: pushed packages written as a client
// writes them (checked by the package inspector), the host tables afterwards, and the answer
// (status, protocol code, and the follow-up delta decoded with xdelta3).
#include "download_fixture.h"

#include <functional>

#include "push_ops_fixture.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_respond_pull.h"
#include "server/tav_respond.h"
#include "server/tav_respond_push.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni g_odbc_ini;

struct PushTest : DownloadTest {
  int status = 0;
  tav_pkg response = {};
  char *body = nullptr;
  QK_vhash *headers = nullptr;
  QK_string *message = nullptr;
  QK_int32 cancelFlag = 0;  // the request handle's cancel-enable flag
  QK_int64 txid = 0, txidR = 0;
  std::string upload;      // the decompressed package the client pushed
  std::string body_path;   // the compressed request body
  const char *supportMode = nullptr;
  int stampCounter = 0;
  // The configuration database's connection when the dbfile lives in a database of its own.
  QK_mssql_connection *configConn = nullptr;

  void SetUp() override {
    DownloadTest::SetUp();
    add_push_ops(&ops);
    QK_context__set_user_data(ctx, &cancelFlag);
  }
  void TearDown() override {
    reset();
    tav_db_mssql__close(ctx, &configConn);
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
  void allow(const std::string &op) {
    std::string out;
    ASSERT_EQ(cli("add-acl " + dataDir + " shop demo '' anyone '*' '" + op + "' allow", &out), 0) << out;
  }
  // A fresh pull for the client; the baseline it carries (row 0's text, or for version 6 the
  // newest generation as "<generation>g<id>").
  // With `from` the pull starts from that baseline instead.
  std::string pull_baseline(std::string *pFile = nullptr, int pv = 4, const std::string &from = "") {
    tav_pkg r = {};
    QK_vhash *q = nullptr, *hd = nullptr;
    char *b = nullptr;
    QK_string *m = nullptr;
    int st = 0;
    QK_vhash__alloc__from_json(ctx, &q, ("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"" + std::to_string(pv) + "\"" +
                                         (from.empty() ? "" : ",\"from\":\"" + from + "\"") + "}").c_str());
    tav_respond__pull_request(ctx, &ops, conn, nullptr, nullptr, work.c_str(), q, nullptr, nullptr, &st, &r, &b, &hd, &m);
    EXPECT_EQ(take_error(), "ok");
    std::string file = work + "/pulled.pkg";
    capture("/usr/bin/python3 -c \"import zlib,sys;open(sys.argv[2],'wb').write(zlib.decompress(open(sys.argv[1],"
            "'rb').read()))\" '" + std::string(r.path) + "' '" + file + "'");
    tav_pkg__close(ctx, &r);
    QK_vhash__free(ctx, q);
    QK_vhash__free(ctx, hd);
    QK_free(ctx, b);
    QK_string__free(ctx, m);
    if (pFile) *pFile = file;
    if (pv == 6)
      return rows_of(file, "SELECT generation || 'g' || id FROM p$gen WHERE generation > 0 ORDER BY generation DESC "
                           "LIMIT 1");
    return rows_of(file, "SELECT rstamp FROM p$tx WHERE txid = 0");
  }

  // ---- The client's package (version 4 or 3), written with python's sqlite3 ----
  std::string script;  // statements of the package being written
  void client_package(int pv, const std::string &baseline) {
    std::string ph = std::to_string(TAV_PKG_PLACEHOLDER_TXID);
    char stamp[33];
    snprintf(stamp, sizeof stamp, "%032x", 0x5000 + ++stampCounter);
    script = "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER);\n"
             "INSERT INTO p$tx VALUES (0, '" + std::to_string(pv) + "', " +
             (pv >= 4 ? "'" + baseline + "'" : "NULL") + ", 0);\n"
             "INSERT INTO p$tx VALUES (" + ph + ", NULL, x'" + stamp + "', 0);\n"
             "CREATE TABLE p$ipk (rid BLOB, ipk INTEGER, tbl TEXT);\n";
    if (pv < 4) script += baseline;
    for (const std::string &t : {items, parts}) {
      script += "CREATE TABLE \"p$u$" + t + "\" (z_rid BLOB, z_txid INTEGER" +
                (t == items ? ", \"id\", \"name\", \"qty\"" : ", \"id\", \"item_id\", \"label\"") + ");\n";
      script += "CREATE TABLE \"p$rd$" + t + "\" (rid BLOB NOT NULL, txid_rec_add INTEGER NULL, txid_rec_del "
                "INTEGER NULL, txid INTEGER NOT NULL);\n";
    }
  }
  // A change of a row: values NULL for a delete; base 0 for an insert.
  void change(const std::string &t, const std::string &ridHex, QK_int64 base, const std::string &values) {
    std::string ph = std::to_string(TAV_PKG_PLACEHOLDER_TXID);
    if (!values.empty())
      script += "INSERT INTO \"p$u$" + t + "\" VALUES (x'" + ridHex + "', " + ph + ", " + values + ");\n";
    script += "INSERT INTO \"p$rd$" + t + "\" VALUES (x'" + ridHex + "', " + (values.empty() ? "NULL" : ph) + ", " +
              (base ? std::to_string(base) : "NULL") + ", " + ph + ");\n";
  }
  // A version-6 package: its baseline ("<generation>g<id>"), the generation rows of a lost
  // timeline ("<generation>, <id>" lines, may be empty), a new stamp at -2 and empty tables.
  void generation_package(const std::string &baseline, const std::string &lostGenerations = "") {
    size_t g = baseline.find('g');
    char stamp[33];
    snprintf(stamp, sizeof stamp, "%032x", 0x6000 + ++stampCounter);
    script = "CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER);\n"
             "INSERT INTO p$gen VALUES (0, '{\"pv\":6}');\n"
             "INSERT INTO p$gen VALUES (" + baseline.substr(0, g) + ", " + baseline.substr(g + 1) + ");\n";
    if (!lostGenerations.empty()) script += "INSERT INTO p$gen VALUES (" + lostGenerations + ");\n";
    script += "INSERT INTO p$gen VALUES (-2, x'" + std::string(stamp) + "');\n"
              "CREATE TABLE \"p$u$" + items + "\" (z_rid BLOB, z_gen_del INT, z_gen_add INT, \"id\", \"name\", "
              "\"qty\");\n"
              "CREATE TABLE \"p$u$" + parts + "\" (z_rid BLOB, z_gen_del INT, z_gen_add INT, \"id\", \"item_id\", "
              "\"label\");\n";
  }
  // Writes the package, checks it with the inspector and compresses it as the request body.
  void seal(int pv) {
    upload = work + "/upload.pkg";
    body_path = work + "/body.z";
    std::filesystem::remove(upload);
    std::string sqlFile = work + "/client.sql";
    std::ofstream(sqlFile) << script;
    std::string out = capture("/usr/bin/python3 -c \"import sqlite3,sys;c=sqlite3.connect(sys.argv[1]);"
                              "c.executescript(open(sys.argv[2]).read());c.commit()\" '" + upload + "' '" + sqlFile +
                              "' 2>&1");
    ASSERT_EQ(out, "");
    if (pv >= 2 && pv <= 6) {
      EXPECT_EQ(inspect(upload, "--work --version " + std::to_string(pv)), "ok");
    }
    capture("/usr/bin/python3 -c \"import zlib,sys;open(sys.argv[2],'wb').write(zlib.compress(open(sys.argv[1],"
            "'rb').read()))\" '" + upload + "' '" + body_path + "'");
  }
  // A generation client whose last pull got a generation the server then lost to a restore
  // (c's quantity 30) pushes its baseline, the lost generation with c's version, and its own
  // changes made on top of that timeline (c again, to 31, and A renamed A2). *pFrom is its
  // baseline.
  void rolled_back_timeline_push(std::string *pFrom) {
    std::string pulled, out;
    std::string from = pull_baseline(&pulled, 6);
    std::string a = rows_of(pulled, "SELECT hex(z_rid) || '|' || z_gen_add FROM \"p$u$" + items + "\" WHERE name = 'A'");
    std::string c = rows_of(pulled, "SELECT hex(z_rid) || '|' || z_gen_add FROM \"p$u$" + items + "\" WHERE name = 'c'");
    std::string snap = dataDir + "/before.snap";
    ASSERT_EQ(cli("snapshot " + dataDir + " shop " + snap, &out), 0) << out;
    write("UPDATE dbo.items SET qty = 30 WHERE name = N'c'");
    next_generation();
    std::string rolled;
    pull_baseline(&rolled, 6);
    std::string cGen = rows_of(rolled, "SELECT z_gen_add FROM \"p$u$" + items + "\" WHERE name = 'c'");
    std::string lost = rows_of(rolled, "SELECT generation || ', ' || id FROM p$gen WHERE generation = " + cGen);
    ASSERT_NE(lost, "");
    tav_db_mssql__handle_free(ctx, &h);
    tav_db_mssql__close(ctx, &conn);
    ASSERT_EQ(cli("restore " + dataDir + " shop " + snap, &out), 0) << out;
    open("shop");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    ASSERT_EQ(take_error(), "ok");
    ASSERT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A|1;c|3");
    std::string cRid = c.substr(0, 32), cBase = c.substr(33), aRid = a.substr(0, 32), aBase = a.substr(33);
    generation_package(from, lost);
    script += "INSERT INTO \"p$u$" + items + "\" VALUES (x'" + cRid + "', " + cBase + ", " + cGen + ", 3, 'c', 30);\n"
              "INSERT INTO \"p$u$" + items + "\" VALUES (x'" + cRid + "', " + cGen + ", -2, 3, 'c', 31);\n"
              "INSERT INTO \"p$u$" + items + "\" VALUES (x'" + aRid + "', " + aBase + ", -2, 1, 'A2', 1);\n";
    seal(6);
    *pFrom = from;
  }
  std::string sha1() { return capture("sha1sum '" + upload + "' | cut -c1-40"); }

  // Runs the push of the query (JSON); "ok" or the error.
  std::string push(const std::string &query, bool withBody = true) {
    reset();
    QK_vhash *q = nullptr;
    QK_vhash__alloc__from_json(ctx, &q, query.c_str());
    EXPECT_EQ(take_error(), "ok") << query;
    cancelFlag = 0;
    txid = txidR = 0;
    tav_respond__push_request(ctx, &ops, supportMode, nullptr, configConn ? configConn : conn,
                              configConn ? conn : nullptr, nullptr, work.c_str(), q, nullptr,
                              withBody ? body_path.c_str() : nullptr, nullptr, &txid, &txidR, &status, &response,
                              &body, &headers, &message);
    QK_vhash__free(ctx, q);
    return take_error();
  }
  std::string query(const std::string &from, const std::string &extra = "") {
    return "{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + sha1() + "\",\"from\":\"" + from + "\"" + extra + "}";
  }
  std::string header() {
    const char *v = nullptr;
    if (headers) QK_vhash__check__sz(ctx, headers, "X-Tavrin-Error-Code", &v);
    return v ? v : "";
  }
  std::string body_text() { return body ? body : "<none>"; }
  // The follow-up package the 200 answer's delta gives from the upload.
  std::string follow_up() {
    if (!response.path) return "<no body>";
    std::string delta = work + "/delta.vcdiff", out = work + "/followup.pkg";
    std::filesystem::remove(out);
    capture("/usr/bin/python3 -c \"import zlib,sys;open(sys.argv[2],'wb').write(zlib.decompress(open(sys.argv[1],"
            "'rb').read()))\" '" + std::string(response.path) + "' '" + delta + "'");
    std::string err = capture("xdelta3 -d -f -s '" + upload + "' '" + delta + "' '" + out + "' 2>&1");
    EXPECT_EQ(err, "");
    return out;
  }
  std::string unpack() {
    if (!response.path) return "<no body>";
    std::string out = work + "/answer.pkg";
    capture("/usr/bin/python3 -c \"import zlib,sys;open(sys.argv[2],'wb').write(zlib.decompress(open(sys.argv[1],"
            "'rb').read()))\" '" + std::string(response.path) + "' '" + out + "'");
    return out;
  }
  std::string host(const std::string &sql) { return server_rows(sql); }
  // Work files left in the work directory besides the answer being sent.
  int leftovers() {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator(work)) {
      std::string name = e.path().filename().string();
      if (name.size() == 33 && name[0] == 't' && (!response.path || e.path().string() != response.path)) n++;
    }
    return n;
  }
};

#define SKIP_IF_STANDIN_LACKS(text)                                                          \
  do {                                                                                       \
    if (std::string(text).find("Incorrect syntax near") != std::string::npos)                 \
      GTEST_SKIP() << "stand-in lacks a statement of the push: " << (text);                  \
  } while (0)

TEST_F(PushTest, APushIsAppliedAndAnsweredWithTheFollowUpDelta) {
  allow("pull");
  allow("*");
  std::string pulled;
  std::string from = pull_baseline(&pulled);
  std::string c = rows_of(pulled, "SELECT hex(z_rid), z_txid FROM \"p$u$" + items + "\" WHERE name = 'c'");
  std::string p1 = rows_of(pulled, "SELECT hex(z_rid), z_txid FROM \"p$u$" + parts + "\" WHERE label = 'p1'");
  client_package(4, from);
  // A new item with the client's temporary key 100, and a part that refers to it.
  change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
  script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n";
  change(parts, "000000000000000000000000000000e1", 0, "5, 100, 'p5'");
  change(items, c.substr(0, 32), std::stoll(c.substr(33)), "3, 'c', 30");
  change(parts, p1.substr(0, 32), std::stoll(p1.substr(33)), "");
  seal(4);

  ASSERT_EQ(push(query(from)), "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  ASSERT_EQ(status, 200) << body_text();
  EXPECT_EQ(body, nullptr);
  EXPECT_GT(txid, t2);
  EXPECT_EQ(txidR, 0);
  EXPECT_EQ(cancelFlag, 1);
  EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A|1;c|30;d|4");
  std::string newId = host("SELECT CAST(id AS nvarchar(10)) FROM dbo.items WHERE name = N'd'");
  EXPECT_EQ(host("SELECT id, item_id, label FROM dbo.parts ORDER BY id"), "5|" + newId + "|p5");
  // The follow-up gives the client the server's key of its new row.
  std::string file = follow_up();
  EXPECT_EQ(inspect(file, "--version 4"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT id FROM \"p$u$" + items + "\" WHERE name = 'd'"), newId);
  EXPECT_EQ(leftovers(), 0);

  // The same package again: its stamp is known, nothing is applied, the answer is a delta.
  ASSERT_EQ(push(query(from)), "ok");
  EXPECT_EQ(status, 200) << body_text();
  EXPECT_EQ(txid, 0);
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items"), "3");
  EXPECT_EQ(inspect(follow_up(), "--version 4"), "ok");
}

TEST_F(PushTest, QueryAndUploadProblems) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  client_package(4, from);
  seal(4);
  std::string good = sha1(), upper = good;
  for (char &ch : upper) ch = (char)toupper(ch);
  struct {
    std::string query;
    bool withBody;
    std::string expected;  // status|start of the body, or "error <code>" passed to the request entry
  } cases[] = {
      {"{\"fid\":\"7\"}", true, "400|parameter 'db' in query string is required"},
      {"{\"db\":\"demo\",\"fid\":\"7\"}", true, "400|parameter 'h' in query string is required"},
      {"{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + good + "\",\"x\":\"abc\"}", true,
       "400|parameter 'x' in query string must be an integer"},
      // A malformed baseline is bad input like a malformed package: 400 with the error's text.
      {"{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + good + "\",\"from\":\"5g1x\"}", true,
       "400|Error 400 (qklib)[3.4.0.4917]: invalid baseline \"from\" string"},
      // Numbers no server could have are refused before anything counts with them.
      {"{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + good + "\",\"from\":\"5," + std::string(32, '0') +
           ",0,-9223372036854775808,0;t1\"}",
       true, "400|number out of range in query string parameter 'from'"},
      {"{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + good + "\",\"x\":\"9223372036854775807\"}", true,
       "400|number out of range in query string parameter 'x'"},
      {"{\"db\":\"demo\",\"h\":\"" + good + "\",\"from\":\"" + from + "\"}", true, "error 47"},
      {"{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + upper + "\",\"from\":\"" + from + "\"}", true,
       "500|Error 1 (qklib): Unspecified error[3.4.0.4917]: hash doesn't match"},
      {"{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + good + "\",\"from\":\"" + from + "\"}", false, "500|Error"},
  };
  for (const auto &cs : cases) {
    std::string err = push(cs.query, cs.withBody);
    std::string got = err == "ok" ? std::to_string(status) + "|" + body_text() : "error " + err.substr(0, err.find(':'));
    EXPECT_EQ(got.substr(0, cs.expected.size()), cs.expected) << cs.query << "\n" << got;
    EXPECT_EQ(response.path, nullptr) << cs.query;
  }
  EXPECT_EQ(leftovers(), 0);

  // A package of an unknown format version.
  client_package(7, from);
  seal(7);
  ASSERT_EQ(push(query(from)), "ok");
  EXPECT_EQ(status, 400);
  EXPECT_NE(body_text().find("invalid package version: 7"), std::string::npos) << body_text();
}

// A package whose header a client got wrong is bad input: 400 with a text naming the fault,
// nothing applied.
TEST_F(PushTest, MalformedPackageHeadersAnswer400) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  std::string gen = pull_baseline(nullptr, 6);
  std::string g = gen.substr(0, gen.find('g')), id = gen.substr(gen.find('g') + 1);
  std::string huge = "9223372036854775807" + from.substr(from.find(','));
  const std::string genTable = "CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER);\n";
  const std::string stamp = "x'00000000000000000000000000007001'";
  struct {
    std::string script, expected;
  } cases[] = {
      // A version whose low 32 bits read 2.
      {"UPDATE p$tx SET scheme = '4294967298' WHERE txid = 0;\n", "invalid package version: 4294967298"},
      {"DELETE FROM p$tx WHERE txid = 0;\n", "invalid package version: 0"},
      {"UPDATE p$tx SET rstamp = NULL WHERE txid = 0;\n", "Invalid package. No baseline specified."},
      {"UPDATE p$tx SET rstamp = '" + huge + "' WHERE txid = 0;\n",
       "number out of range in baseline \"from\" string"},
      {"INSERT INTO p$tx VALUES (" + std::to_string(TAV_PKG_PLACEHOLDER_TXID) + ", NULL, " + stamp + ", 0);\n",
       "Invalid package. More than one rstamp specified for the pushed tx."},
      {"UPDATE p$tx SET scheme = '3', rstamp = NULL WHERE txid = 0;\n",
       "Invalid package. No 'last_sync_txid' baseline specified."},
      {"DROP TABLE p$tx;\n" + genTable + "INSERT INTO p$gen VALUES (0, '{\"pv\":6');\n",
       "Invalid package. The generation-0 header is not a JSON object."},
      {"DROP TABLE p$tx;\n" + genTable + "INSERT INTO p$gen VALUES (0, '{\"pv\":\"6\"}');\n", "invalid package version: 0"},
      {"DROP TABLE p$tx;\n" + genTable + "INSERT INTO p$gen VALUES (0, '{\"pv\":6}');\nINSERT INTO p$gen VALUES (-2, " +
           stamp + ");\n",
       "Invalid package. No baseline generation specified."},
      {"DROP TABLE p$tx;\n" + genTable + "INSERT INTO p$gen VALUES (0, '{\"pv\":6}');\nINSERT INTO p$gen VALUES "
           "(9223372036854775807, " + id + ");\n",
       "Invalid package. The baseline generation is out of range: 9223372036854775807"},
  };
  for (const auto &c : cases) {
    client_package(4, from);
    change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
    script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n" + c.script;
    seal(0);
    ASSERT_EQ(push(query(from)), "ok") << c.script;
    EXPECT_EQ(status, 400) << c.script << body_text();
    EXPECT_NE(body_text().find(c.expected), std::string::npos) << c.script << body_text();
    EXPECT_EQ(response.path, nullptr);
  }
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items"), "2");
  EXPECT_EQ(leftovers(), 0);
}

// Row deltas a client got wrong are bad input too: 400 naming the fault, nothing applied, and
// never a server error or a busy answer after eleven retries of a change that cannot apply.
TEST_F(PushTest, MalformedPackageRowsAnswer400) {
  allow("pull");
  allow("*");
  std::string pulled;
  std::string from = pull_baseline(&pulled);
  std::string c = rows_of(pulled, "SELECT hex(z_rid), z_txid FROM \"p$u$" + items + "\" WHERE name = 'c'");
  std::string cRid = c.substr(0, 32), cBase = c.substr(33), ph = std::to_string(TAV_PKG_PLACEHOLDER_TXID);
  std::string rows = "\"p$u$" + items + "\"", deltas = "\"p$rd$" + items + "\"";
  const std::string newRid = "x'000000000000000000000000000000d9'";
  struct {
    std::string script, expected;
  } cases[] = {
      {"INSERT INTO " + deltas + " VALUES (" + newRid + ", NULL, NULL, " + ph + ");",
       "neither adds nor replaces a version"},
      {"INSERT INTO " + rows + " VALUES (" + newRid + ", " + ph + ", 9, 'z', 1);INSERT INTO " + deltas + " VALUES (" +
           newRid + ", " + ph + ", 5, " + ph + ");",
       "is based on version 5, which the server does not hold"},
      {"INSERT INTO " + rows + " VALUES (x'" + cRid + "', " + ph + ", 3, 'c', 31);INSERT INTO " + deltas + " VALUES (x'" +
           cRid + "', " + ph + ", 999999, " + ph + ");",
       "is based on version 999999, which the server does not hold"},
      {"INSERT INTO " + rows + " VALUES (x'" + cRid + "', " + ph + ", 3, 'c', 31);INSERT INTO " + deltas + " VALUES (x'" +
           cRid + "', " + ph + ", -7, " + ph + ");",
       "is based on version -7, which the server does not hold"},
      {"INSERT INTO " + rows + " VALUES (x'00000000000000d9', " + ph + ", 100, 'z', 1);INSERT INTO " + deltas +
           " VALUES (x'00000000000000d9', " + ph + ", NULL, " + ph + ");",
       "holds a row id of length 8"},
      {"INSERT INTO " + rows + " VALUES (x'" + cRid + "', " + ph + ", 3, 'c', 31);INSERT INTO " + deltas + " VALUES (x'" +
           cRid + "', " + ph + ", " + cBase + ", " + ph + ");INSERT INTO " + deltas + " VALUES (x'" + cRid + "', " + ph +
           ", " + cBase + ", " + ph + ");",
       "A row id has more than one row delta."},
      {"DROP TABLE " + deltas + ";", "has rows but no row deltas"},
      {"INSERT INTO p$tx VALUES (-1, 'xx', NULL, 0);", "The client's schema is not a JSON object."},
      {"INSERT INTO p$tx VALUES (-1, '{\"tbls\":5}', NULL, 0);", "The client's schema is malformed"},
  };
  for (const auto &cs : cases) {
    client_package(4, from);
    script += cs.script + "\n";
    seal(0);
    ASSERT_EQ(push(query(from)), "ok") << cs.script;
    EXPECT_EQ(status, 400) << cs.script << body_text();
    EXPECT_NE(body_text().find(cs.expected), std::string::npos) << cs.script << body_text();
  }
  EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A|1;c|3");

  // A rolled-back timeline that does not start right after the baseline.
  std::string gen = pull_baseline(nullptr, 6);
  generation_package(gen, "1000, 4242");
  seal(6);
  ASSERT_EQ(push(query(gen)), "ok");
  EXPECT_EQ(status, 400) << body_text();
  EXPECT_NE(body_text().find("The rolled-back generations must follow the baseline generation"), std::string::npos)
      << body_text();
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.\"demo$r$gen\""), "0");
  EXPECT_EQ(leftovers(), 0);
}

// What a client can get wrong in its rows, on every road of every version: a row id of the
// wrong length in an identity-key or a plain-key table (insert, update, delete), a row without
// a row id, a table or a column the server does not have, a row table named otherwise or
// lacking an internal column, and for version 6 one row id twice in one generation and a
// header member of the wrong JSON type. Each answers 400 naming the fault, with nothing of
// the package applied (each package also carries a valid insert).
TEST_F(PushTest, ClientFaultsInRowsAnswer400InEveryVersion) {
  allow("pull");
  allow("*");
  const std::string rid17 = std::string(34, '1'), newRid = std::string(30, '0') + "d1";
  for (int pv : {2, 3, 4, 5, 6}) {
    SCOPED_TRACE("version " + std::to_string(pv));
    std::string pulled, from = pull_baseline(&pulled, pv), oldBaseline, queryFrom;
    const char *version = pv == 6 ? "z_gen_add" : "z_txid";
    std::string c = rows_of(pulled, "SELECT hex(z_rid) || ',' || " + std::string(version) + " FROM \"p$u$" + items +
                                        "\" WHERE name = 'c'");
    std::string p1 = rows_of(pulled, "SELECT hex(z_rid) || ',' || " + std::string(version) + " FROM \"p$u$" + parts +
                                         "\" WHERE label = 'p1'");
    ASSERT_FALSE(c.empty() || p1.empty());
    QK_int64 cBase = std::stoll(c.substr(33)), p1Base = std::stoll(p1.substr(33));
    if (pv < 4) {
      std::string last = rows_of(pulled, "SELECT txid || ',' || hex(rstamp) || ',' || rebaseid FROM p$tx WHERE txid > 0 "
                                         "ORDER BY txid DESC LIMIT 1");
      std::string txid = last.substr(0, last.find(','));
      oldBaseline = "INSERT INTO p$tx VALUES (" + txid + ", 'last_sync_txid', x'" + last.substr(txid.size() + 1, 32) +
                    "', " + last.substr(txid.size() + 34) + ");\n";
      queryFrom = txid;
    }
    // A change of a row in the package's form: no values for a delete, base 0 for an insert.
    auto row = [&](const std::string &t, const std::string &ridHex, QK_int64 base, const std::string &values) {
      if (pv < 6) return change(t, ridHex, base, values);
      std::string rid = ridHex == "NULL" ? ridHex : "x'" + ridHex + "'";
      script += "INSERT INTO \"p$u$" + t + "\" VALUES (" + rid + ", " + (base ? std::to_string(base) : "NULL") +
                ", -2, " + (values.empty() ? "NULL, NULL, NULL" : values) + ");\n";
    };
    auto identity = [&](const std::string &ridHex, int value) {
      if (pv < 6)
        script += "INSERT INTO p$ipk VALUES (x'" + ridHex + "', " + std::to_string(value) + ", '" + items + "');\n";
    };
    const std::string u = "\"p$u$" + items + "\"", gen0 = "UPDATE p$gen SET id = ";
    struct Case {
      const char *what;
      std::function<void()> fault;
      std::string expected;
      bool v6Only;
    } cases[] = {
        {"identity key, insert", [&] { row(items, rid17, 0, "100, 'z', 1"); identity(rid17, 100); },
         "row id of length 17", false},
        {"identity key, update", [&] { row(items, "00", cBase, "3, 'c', 31"); }, "row id of length 1", false},
        {"identity key, delete", [&] { row(items, rid17, cBase, ""); }, "row id of length 17", false},
        {"plain key, insert", [&] { row(parts, rid17, 0, "7, 1, 'x'"); }, "row id of length 17", false},
        {"plain key, update", [&] { row(parts, rid17, p1Base, "1, 1, 'x'"); }, "row id of length 17", false},
        {"plain key, delete", [&] { row(parts, "00", p1Base, ""); }, "row id of length 1", false},
        {"no row id", [&] { row(items, pv < 6 ? "" : "NULL", 0, "100, 'z', 1"); },
         pv < 6 ? "row id of length 0" : "holds a row without a row id", false},
        {"unknown table",
         [&] {
           script += pv < 6 ? "CREATE TABLE \"p$u$999\" (z_rid BLOB, z_txid INTEGER, \"id\");\nCREATE TABLE \"p$rd$999\" "
                              "(rid BLOB NOT NULL, txid_rec_add INTEGER NULL, txid_rec_del INTEGER NULL, txid INTEGER "
                              "NOT NULL);\n"
                            : "CREATE TABLE \"p$u$999\" (z_rid BLOB, z_gen_del INT, z_gen_add INT, \"id\");\n";
           if (pv < 6)
             change("999", newRid, 0, "5");
           else
             script += "INSERT INTO \"p$u$999\" VALUES (x'" + newRid + "', NULL, -2, 5);\n";
         },
         "names table id '999', which the server does not synchronise", false},
        {"unknown column",
         [&] {
           script += "ALTER TABLE " + u + " ADD COLUMN \"nosuch\";\n";
           row(items, newRid, 0, "100, 'z', 1, 5");
           identity(newRid, 100);
         },
         "has the column \"nosuch\", which table id '" + items + "' does not have", false},
        {"row table named in capitals",
         [&] { script += "DROP TABLE " + u + ";\nCREATE TABLE \"P$U$" + items + "\" (z_rid BLOB, z_txid INTEGER);\n"; },
         "is named as no package table is", false},
        {"row table named otherwise", [&] { script += "CREATE TABLE \"p$u$" + items + "x\" (z_rid BLOB);\n"; },
         "is named as no package table is", false},
        {"row table without its version column",
         [&] {
           script += "DROP TABLE \"p$u$" + parts + "\";\nCREATE TABLE \"p$u$" + parts + "\" (z_rid BLOB, \"id\", "
                     "\"item_id\", \"label\");\n";
         },
         pv < 6 ? "has no column z_txid" : "has no column z_gen_del", false},
        {"row id twice in one generation",
         [&] {
           row(items, newRid, 0, "100, 'z', 1");
           row(items, newRid, 0, "100, 'z', 2");
         },
         "holds more than one version of a row in one generation", true},
        {"version-6 row table with a transaction column",
         [&] { script += "ALTER TABLE \"p$u$" + parts + "\" ADD COLUMN z_txid;\n"; }, "has the column z_txid", true},
        // A row without its key is a deletion only when it has no other values either.
        {"update without its key", [&] { row(parts, p1.substr(0, 32), p1Base, "NULL, 1, 'x'"); },
         "without a value of its key column \"id\" but with other values", true},
        {"header schema a number", [&] { script += gen0 + "'{\"pv\":6,\"schema\":5}' WHERE generation = 0;\n"; },
         "The header's \"schema\" is not a JSON object", true},
        {"header schema a list", [&] { script += gen0 + "'{\"pv\":6,\"schema\":[]}' WHERE generation = 0;\n"; },
         "The header's \"schema\" is not a JSON object", true},
        {"header schema a text", [&] { script += gen0 + "'{\"pv\":6,\"schema\":\"x\"}' WHERE generation = 0;\n"; },
         "The header's \"schema\" is not a JSON object", true},
    };
    for (const Case &cs : cases) {
      if (cs.v6Only && pv != 6) continue;
      SCOPED_TRACE(cs.what);
      if (pv == 6)
        generation_package(from);
      else
        client_package(pv, pv < 4 ? oldBaseline : from);
      row(parts, "0000000000000000000000000000f001", 0, "50, 1, 'valid'");
      cs.fault();
      seal(0);
      ASSERT_EQ(push(pv < 4 ? "{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + sha1() + "\",\"x\":\"" + queryFrom + "\"}"
                            : query(from)),
                "ok");
      EXPECT_EQ(status, 400) << body_text();
      EXPECT_NE(body_text().find(cs.expected), std::string::npos) << body_text();
      EXPECT_EQ(body_text().find(work), std::string::npos);
      EXPECT_EQ(response.path, nullptr);
    }
  }
  EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A|1;c|3");
  EXPECT_EQ(host("SELECT id, label FROM dbo.parts ORDER BY id"), "1|p1");
  EXPECT_EQ(leftovers(), 0);
}

// An upload inflates no further than the size its SQLite header states (within 8 GiB and the free
// disk space), however well it compresses; one that is no SQLite file stops at its first 100
// bytes. Each bomb is refused as it inflates, before hash and access list.
TEST_F(PushTest, AnUploadInflatingPastItsBoundIsRefusedAsItInflates) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  client_package(4, from);
  seal(4);
  // A SQLite header of `pages` pages of 4096 bytes (the change counter at 24 matching the
  // version-valid-for number at 92), then 80 MiB of zeros.
  auto header = [](unsigned long long pages) {
    return "h=bytearray(100);h[0:16]=b'SQLite format 3\\\\0';h[16:18]=(4096).to_bytes(2,'big');"
           "h[24:28]=h[92:96]=(7).to_bytes(4,'big');h[28:32]=(" + std::to_string(pages) + ").to_bytes(4,'big');";
  };
  struct Case {
    const char *name;
    std::string head;  // python statements setting h, the bytes before the zeros
    std::string message;
  };
  const Case cases[] = {
      {"no SQLite file", "h=b'';", "The pushed package is not a package file (no SQLite header): refused."},
      {"a header stating one page", header(1),
       "The pushed package inflates beyond 4096 bytes, the size its SQLite header states: refused."},
      {"a header stating 16 GiB", header(4u << 20), "The pushed package inflates beyond "},
  };
  for (const auto &c : cases) {
    capture("/usr/bin/python3 -c \"import zlib,sys;" + c.head + "z=zlib.compressobj();f=open(sys.argv[1],'wb');"
            "f.write(z.compress(bytes(h)));[f.write(z.compress(bytes(1<<20))) for i in range(80)];"
            "f.write(z.flush())\" '" + body_path + "'");
    ASSERT_LT(std::filesystem::file_size(body_path), 1u << 20) << c.name;
    ASSERT_EQ(push(query(from)), "ok") << c.name;
    EXPECT_EQ(status, 400) << c.name;
    EXPECT_NE(body_text().find(c.message), std::string::npos) << c.name << ": " << body_text();
    EXPECT_EQ(response.path, nullptr) << c.name;
    EXPECT_EQ(leftovers(), 0) << c.name;
  }
}

TEST_F(PushTest, AnUnknownBaselineGetsTheStatusPackage) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  std::string stranger = from.substr(0, from.find(',') + 1) + std::string(32, 'e') + from.substr(from.find(',') + 33);
  client_package(4, stranger);
  change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
  script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n";
  seal(4);
  ASSERT_EQ(push(query(stranger)), "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  EXPECT_EQ(status, 244) << body_text();
  std::string file = unpack();
  EXPECT_EQ(inspect(file, "--version 4"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT txid FROM p$tx WHERE scheme = 'HTTP 244'"),
            "{\"first-rstamp\":\"" + rstamp_hex(1) + "\",\"push-succeeded\":false}");
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items"), "2");
}

TEST_F(PushTest, RefusalsAnswerWithTheirProtocolCodes) {
  allow("pull");
  std::string pulled;
  std::string from = pull_baseline(&pulled);
  std::string p1 = rows_of(pulled, "SELECT hex(z_rid), z_txid FROM \"p$u$" + parts + "\" WHERE label = 'p1'");
  // No permission for the table operations: 403, nothing applied.
  client_package(4, from);
  change(parts, "000000000000000000000000000000e2", 0, "6, 1, 'p6'");
  seal(4);
  ASSERT_EQ(push(query(from)), "ok");
  EXPECT_EQ(status, 403);
  EXPECT_EQ(header(), "");
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.parts"), "1");

  // A second row with the key of p1 breaks the primary key: 406 with 3016 and the server's text.
  allow("*");
  client_package(4, from);
  change(parts, "000000000000000000000000000000e3", 0, "1, 1, 'again'");
  seal(4);
  ASSERT_EQ(push(query(from)), "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  EXPECT_EQ(status, 406) << body_text();
  EXPECT_EQ(header(), "3016");
  EXPECT_NE(body_text().find("Violation of PRIMARY KEY constraint"), std::string::npos) << body_text();
  EXPECT_EQ(host("SELECT label FROM dbo.parts"), "p1");

  // A conflict the table's rule rejects: 406 with 3784.
  std::string out;
  ASSERT_EQ(cli("set-record-rule " + dataDir + " shop dbo.parts 1 6", &out), 0) << out;
  write("UPDATE dbo.parts SET label = N'server' WHERE id = 1");
  client_package(4, from);
  change(parts, p1.substr(0, 32), std::stoll(p1.substr(33)), "");
  seal(4);
  ASSERT_EQ(push(query(from)), "ok");
  EXPECT_EQ(status, 406) << body_text();
  EXPECT_EQ(header(), "3784");
  EXPECT_EQ(host("SELECT label FROM dbo.parts"), "server");
  EXPECT_EQ(leftovers(), 0);
}

// The tables only the server writes into packages, and views or triggers that would run inside
// its work on the package: a pushed package that holds one is refused before anything is
// applied, so that no row of the client reaches the audit table or stands in for the server's.
TEST_F(PushTest, APackageHoldingWhatOnlyTheServerWritesIsRefused) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  const std::string audit = "(rid BLOB NOT NULL,txid INTEGER NOT NULL,tbl TEXT, ancestor TEXT, already TEXT, "
                            "incoming TEXT, result TEXT)";
  const std::string forged = " VALUES (x'00000000000000000000000000000042', 0, '" + items + "', NULL, NULL, NULL, "
                             "'accept');\n";
  const std::string table = "Invalid package. A pushed package may not hold the table ";
  struct {
    std::string sql, refusal;
  } cases[] = {
      {"CREATE TABLE p$audit" + audit + ";\nINSERT INTO p$audit" + forged, table + "\"p$audit\"."},
      {"CREATE TABLE \"P$Audit\"" + audit + ";\nINSERT INTO \"P$Audit\"" + forged, table + "\"P$Audit\"."},
      {"CREATE TABLE \"p$ipk$" + items + "\" (z$$naked INTEGER PRIMARY KEY, z$$decorated TEXT);\n"
       "INSERT INTO \"p$ipk$" + items + "\" VALUES (100, 'S:1');\n",
       table + "\"p$ipk$" + items + "\"."},
      {"CREATE TABLE \"p$rv$" + items + "\" (rid BLOB NOT NULL, txid INTEGER NOT NULL);\n",
       table + "\"p$rv$" + items + "\"."},
      {"CREATE TABLE \"p$s\" (\"txid\" INTEGER NOT NULL, \"json\" TEXT NOT NULL);\n", table + "\"p$s\"."},
      {"CREATE TABLE p$audit" + audit + ";\nCREATE TRIGGER forge AFTER UPDATE ON \"p$u$" + items +
           "\" BEGIN INSERT INTO p$audit" + forged + " END;\n",
       "The pushed package refused: it may hold only tables and indexes, but holds the trigger \"forge\""},
      {"CREATE VIEW p$audit AS SELECT 1;\n", "holds the view \"p$audit\""},
  };
  for (const auto &c : cases) {
    client_package(4, from);
    change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
    script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n" + c.sql;
    seal(0);  // not a package of the layout: the inspector would say so
    ASSERT_EQ(push(query(from)), "ok") << c.refusal;
    EXPECT_EQ(status, 400) << c.refusal;
    EXPECT_NE(body_text().find(c.refusal), std::string::npos) << body_text();
    EXPECT_EQ(body_text().find(work), std::string::npos) << "the text names the package, not its work file";
    EXPECT_EQ(response.path, nullptr);
  }
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items"), "2") << "nothing applied";
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.audit"), "0");
  EXPECT_EQ(leftovers(), 0);
}

// A push's audit rows go to the configuration database, whether the dbfile's tables live there
// or in a database of their own, and only with the push: a deadlock on the audit table there
// repeats the whole attempt, which then applies once and leaves its rows once.
TEST_F(PushTest, AuditRowsGoToTheConfigurationDatabaseWithThePush) {
  allow("pull");
  allow("*");
  std::string out;
  ASSERT_EQ(cli("create-config " + dataDir + " cfg", &out), 0) << out;
  ASSERT_EQ(cli("register-dbfile " + dataDir + " cfg demo --odbc qvsdb:shop", &out), 0) << out;
  struct {
    const char *layout;
    std::string config;  // the configuration connection's string, empty: the dbfile's database
  } cases[] = {
      {"dbfile in the configuration database", ""},
      {"dbfile in its own database", connection_string("cfg")},
      {"deadlock on the audit table", connection_string("cfg") + ";Fault={1205:1:INSERT INTO tavrin.\"audit\"}"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.layout);
    tav_db_mssql__close(ctx, &configConn);
    if (!c.config.empty()) tav_db_mssql__open(ctx, c.config.c_str(), nullptr, &configConn);
    ASSERT_EQ(take_error(), "ok");
    std::string pulled;
    std::string from = pull_baseline(&pulled);
    std::string item = rows_of(pulled, "SELECT hex(z_rid), z_txid FROM \"p$u$" + items + "\" WHERE id = 3");
    // The server changes qty while the client renames: the columns merge, which is audited.
    write("UPDATE dbo.items SET qty = qty + 1 WHERE id = 3");
    client_package(4, from);
    change(items, item.substr(0, 32), std::stoll(item.substr(33)), std::string("3, '") + c.layout + "', 3");
    seal(4);
    std::string sharedBefore = host("SELECT COUNT(*) FROM tavrin.audit");
    ASSERT_EQ(push(query(from)), "ok");
    SKIP_IF_STANDIN_LACKS(body_text());
    ASSERT_EQ(status, 200) << body_text();
    EXPECT_EQ(int64("SELECT @@TRANCOUNT"), 0) << "the push committed";
    EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items WHERE name = N'" + std::string(c.layout) + "'"), "1");
    std::string audited = "SELECT COUNT(*) FROM tavrin.audit WHERE txid = " + std::to_string(txid) + " AND tbl = '" +
                          items + "' AND result LIKE '{%'";
    if (configConn == nullptr) {
      EXPECT_EQ(host(audited), "1");
    } else {
      EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.audit"), sharedBefore) << "nothing in the dbfile's database";
      std::swap(conn, configConn);
      EXPECT_EQ(host(audited), "1");
      EXPECT_EQ(int64("SELECT @@TRANCOUNT"), 0) << "the audit rows committed";
      std::swap(conn, configConn);
    }
  }
}

TEST_F(PushTest, SupportModeKeepsTheUploadOfARefusedPush) {
  // The refusal comes before the package is read: any baseline will do.
  std::string from = "1," + std::string(32, '0') + ",0,1,1";
  client_package(4, from);
  seal(4);
  supportMode = "*";
  // Nobody may pull: the push is refused after the upload was unpacked.
  ASSERT_EQ(push(query(from)), "ok");
  EXPECT_EQ(status, 403);
  EXPECT_EQ(leftovers(), 1);
}

TEST_F(PushTest, OldClientsAskingForNoFollowUpGetRebased) {
  allow("pull");
  allow("*");
  pull_baseline();
  // Version 3 names its baseline by the last transaction's own stamp.
  QK_int64 t = 0, rebaseid = 0;
  QK_uint8 r[16] = {0};
  tav_db_mssql__get_tx_info(ctx, h, t2, nullptr, &t, r, &rebaseid);
  ASSERT_EQ(take_error(), "ok");
  char hex[33];
  for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", r[i]);
  client_package(3, "INSERT INTO p$tx VALUES (" + std::to_string(t2) + ", 'last_sync_txid', x'" + hex + "', " +
                        std::to_string(rebaseid) + ");\n");
  change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
  script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n";
  seal(3);
  ASSERT_EQ(push("{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + sha1() + "\",\"x\":\"" + std::to_string(t2) +
                 "\",\"nrp\":\"\"}"),
            "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  ASSERT_EQ(status, 200) << body_text();
  std::ifstream in(response.path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "(rebased)");
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items WHERE name = N'd'"), "1");
}

// Clients of versions 2 to 5 name their baseline by its newest transaction's stamp: one that
// an application made directly on the server (no push) is found like any other.
TEST_F(PushTest, OlderClientsPushAfterAServerSideChange) {
  allow("pull");
  allow("*");
  int part = 10;
  for (int pv : {5, 4, 3, 2}) {
    QK_int64 serverSide = write("UPDATE dbo.items SET qty = " + std::to_string(pv) + " WHERE id = 3");
    std::string pulled, from = pull_baseline(&pulled, pv), query_text;
    if (pv >= 4) {
      EXPECT_EQ(from.substr(0, from.find(',')), std::to_string(serverSide)) << pv;
      client_package(pv, from);
    } else {
      // The client's last server transaction, as the download listed it.
      std::string last = rows_of(pulled, "SELECT txid, hex(rstamp), rebaseid FROM p$tx WHERE txid > 0 ORDER BY txid "
                                         "DESC LIMIT 1");
      std::string txid = last.substr(0, last.find('|')), rest = last.substr(last.find('|') + 1);
      EXPECT_EQ(txid, std::to_string(serverSide)) << pv;
      client_package(pv, "INSERT INTO p$tx VALUES (" + txid + ", 'last_sync_txid', x'" + rest.substr(0, 32) + "', " +
                             rest.substr(33) + ");\n");
    }
    change(parts, "0000000000000000000000000000f0" + std::to_string(part), 0,
           std::to_string(part) + ", 1, 'v" + std::to_string(pv) + "'");
    seal(pv);
    query_text = pv >= 4 ? query(from)
                         : "{\"db\":\"demo\",\"fid\":\"7\",\"h\":\"" + sha1() + "\",\"x\":\"" +
                               std::to_string(serverSide) + "\"}";
    // Another change on the server between the pull and the push.
    write("UPDATE dbo.items SET qty = " + std::to_string(pv + 20) + " WHERE id = 3");
    ASSERT_EQ(push(query_text), "ok") << pv;
    EXPECT_EQ(status, 200) << pv << ": " << body_text();
    EXPECT_EQ(host("SELECT label FROM dbo.parts WHERE id = " + std::to_string(part)), "v" + std::to_string(pv)) << pv;
    // The baseline the follow-up gives, a change on the server, and the pull from there: the
    // client ends with the server's values.
    std::string followUp = follow_up(), next;
    if (pv >= 4) {
      next = rows_of(followUp, "SELECT rstamp FROM p$tx WHERE txid = 0");
    } else {
      std::string last = rows_of(followUp, "SELECT txid || ',' || hex(rstamp) || ',' || rebaseid FROM p$tx WHERE "
                                           "scheme IS NULL AND txid > 0 ORDER BY txid DESC LIMIT 1");
      next = last + ",0,0";
    }
    write("UPDATE dbo.items SET qty = " + std::to_string(pv + 40) + " WHERE id = 3");
    std::string again;
    pull_baseline(&again, pv, next);
    EXPECT_EQ(rows_of(again, "SELECT qty FROM \"p$u$" + items + "\" WHERE id = 3"), std::to_string(pv + 40)) << pv;
    EXPECT_EQ(rows_of(again, "SELECT COUNT(*) FROM p$tx WHERE txid = 0 AND scheme = 'HTTP 244'"), "0") << pv;
    part++;
  }
}

// The import of the first attempt is chosen as deadlock victim.
int g_import_failures = 0;
void import_failing_once(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                         const QK_uint8 *pRstamp16, sqlite3 *pPkgDb, QK_int64 fid, QK_int64 *pTxid) {
  if (g_import_failures > 0) {
    g_import_failures--;
    QK_context__throw(ctx, QK_ERR_DEADLOCK_VICTIM, __FILE__, __LINE__);
    return;
  }
  tav_db_mssql__import_push(ctx, h, psk, pFilter, pRstamp16, pPkgDb, fid, pTxid);
}

TEST_F(PushTest, ADeadlockedAttemptIsRepeatedOnTheUntouchedPackage) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  client_package(4, from);
  change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
  script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n";
  seal(4);
  ops.import_push = import_failing_once;
  g_import_failures = 1;
  ASSERT_EQ(push(query(from)), "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  EXPECT_EQ(status, 200) << body_text();
  EXPECT_EQ(g_import_failures, 0);
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items WHERE name = N'd'"), "1");
}

TEST_F(PushTest, APurgedBaselineIsRefused) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  std::string out;
  ASSERT_EQ(cli("purge " + dataDir + " shop demo 99", &out), 0) << out;
  for (int pv : {5, 4}) {
    client_package(pv, from);
    change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
    script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n";
    seal(pv);
    ASSERT_EQ(push(query(from)), "ok");
    SKIP_IF_STANDIN_LACKS(body_text());
    EXPECT_EQ(status, 406) << pv;
    EXPECT_EQ(header(), pv == 5 ? "5832" : "3784");
    EXPECT_EQ(body_text(), "server data needed to complete this request has been purged");
    EXPECT_EQ(response.path, nullptr);
  }
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items"), "2");
}

TEST_F(PushTest, AGenerationClientPushesItsChanges) {
  allow("pull");
  allow("*");
  std::string pulled;
  std::string from = pull_baseline(&pulled, 6);
  std::string c = rows_of(pulled, "SELECT hex(z_rid), z_gen_add FROM \"p$u$" + items + "\" WHERE name = 'c'");
  size_t g = from.find('g');
  generation_package(from);
  script += "INSERT INTO \"p$u$" + items + "\" VALUES (x'" + c.substr(0, 32) + "', " + c.substr(33) + ", -2, 3, 'c', 33);\n"
           "INSERT INTO \"p$u$" + items + "\" VALUES (x'000000000000000000000000000000d6', NULL, -2, 9, 'g6', 1);\n";
  seal(6);
  ASSERT_EQ(push(query(from)), "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  ASSERT_EQ(status, 200) << body_text();
  EXPECT_GT(txid, t2);
  EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A|1;c|33;g6|1");
  std::string file = follow_up();
  EXPECT_EQ(inspect(file, "--version 6"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT name FROM \"p$u$" + items + "\" WHERE z_gen_add > 0 ORDER BY name"), "c;g6");

  // A generation package must name its version.
  script = "CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER);\n"
           "INSERT INTO p$gen VALUES (" + from.substr(0, g) + ", " + from.substr(g + 1) + ");\n";
  seal(0);
  ASSERT_EQ(push(query(from)), "ok");
  EXPECT_EQ(status, 400);
  EXPECT_NE(body_text().find("invalid package version: 0"), std::string::npos) << body_text();
}

TEST_F(PushTest, AGenerationClientBringsBackItsRolledBackTimelineAndPushesOnTopOfIt) {
  allow("pull");
  allow("*");
  std::string from, out;
  ASSERT_NO_FATAL_FAILURE(rolled_back_timeline_push(&from));
  // A user who may report but not recover rolled-back data: the server is left as it is.
  ASSERT_EQ(cli("add-acl " + dataDir + " shop demo '' anyone '*' recover_rollback_data deny", &out), 0) << out;
  ASSERT_EQ(push(query(from)), "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  EXPECT_EQ(status, 406) << body_text();
  EXPECT_EQ(header(), "4296");
  EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A|1;c|3");
  exec("DELETE FROM tavrin.[demo$t$a] WHERE op = N'recover_rollback_data'");

  ASSERT_EQ(push(query(from)), "ok");
  ASSERT_EQ(status, 200) << body_text();
  // The lost version came back under its own transaction, the client's changes after it.
  EXPECT_GT(txidR, t2);
  EXPECT_GT(txid, txidR);
  EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A2|1;c|31");
  std::string versions = "tavrin.\"demo$z$rv$" + items + "\"";
  EXPECT_EQ(host("SELECT COUNT(*) FROM " + versions + " WHERE txid = " + std::to_string(txidR)), "1");
  EXPECT_EQ(host("SELECT COUNT(*) FROM " + versions + " WHERE txid = " + std::to_string(txid)), "2");
  // The timeline is on record for later pushes of it.
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.\"demo$r$gen\""), "1");
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.\"demo$r$rv$" + items + "\""), "1");
  std::string file = follow_up();
  EXPECT_EQ(inspect(file, "--version 6"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT name || ':' || qty FROM \"p$u$" + items + "\" WHERE z_gen_add > 0 AND name NOT NULL "
                         "ORDER BY name"),
            "A2:1;c:31");
  EXPECT_EQ(leftovers(), 0);
}

// The recovery's import fails with this error while it is set.
QK_error g_recovery_fault = QK_OK;
void import_recovered_failing(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                              tav_recovery_set *pSet, sqlite3 *pPkgDb) {
  if (QK_ERROR_CODE(g_recovery_fault) != 0) {
    QK_context__throw_msg(ctx, g_recovery_fault, __FILE__, __LINE__, "the recovery failed here");
    return;
  }
  tav_db_mssql__import_recovered(ctx, h, psk, pFilter, pSet, pPkgDb);
}

// With the recovery rule at action 4 a recovery that is refused, or breaks a constraint, is set
// aside: the client's own changes are applied all the same and what it sent is kept in the
// dump tables. Any other failure fails the push, so the client keeps its changes and sends them
// again.
struct RecoveryAction4Test : PushTest, ::testing::WithParamInterface<const char *> {};

TEST_P(RecoveryAction4Test, TheClientsChangesReachTheServer) {
  allow("pull");
  allow("*");
  std::string from, out, kind = GetParam();
  ASSERT_NO_FATAL_FAILURE(rolled_back_timeline_push(&from));
  ASSERT_EQ(cli("set-rule " + dataDir + " shop demo 2 4", &out), 0) << out;
  ops.import_recovered = import_recovered_failing;
  g_recovery_fault = kind == "constraint" ? QK_ERR_MSSQL_DUPLICATE_KEY : kind == "connection" ? QK_ERR_UNSPECIFIED : QK_OK;
  if (kind == "refused") {
    ASSERT_EQ(cli("add-acl " + dataDir + " shop demo '' anyone '*' recover_rollback_data deny", &out), 0) << out;
  }
  ASSERT_EQ(push(query(from)), "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  if (kind == "connection") {
    EXPECT_EQ(status, 500);
    EXPECT_NE(body_text().find("the recovery failed here"), std::string::npos) << body_text();
    EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A|1;c|3");
    g_recovery_fault = QK_OK;
    ASSERT_EQ(push(query(from)), "ok");
    EXPECT_GT(txidR, 0);
  } else {
    EXPECT_EQ(txidR, 0);
    EXPECT_NE(host("SELECT COUNT(*) FROM tavrin.[demo$r$dump_rows]"), "0");
  }
  ASSERT_EQ(status, 200) << body_text();
  EXPECT_GT(txid, 0);
  EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A2|1;c|31");
  // Outcome 1: the follow-up sends the client everything again.
  std::string file = follow_up();
  EXPECT_EQ(inspect(file, "--version 6"), "ok");
  EXPECT_EQ(rows_of(file, "SELECT name || ':' || qty FROM \"p$u$" + items + "\" WHERE z_gen_add > 0 AND name NOT NULL "
                         "ORDER BY name"),
            "A2:1;c:31");
  g_recovery_fault = QK_OK;
}

INSTANTIATE_TEST_SUITE_P(Failures, RecoveryAction4Test, ::testing::Values("refused", "constraint", "connection"));

// The other copy of a push runs to its end between this copy's look-up of the stamp and its
// apply: a client that timed out and sent the push again.
std::function<void()> g_other_copy;
void find_tx_then_other_copy(QK_context *ctx, tav_db_handle *h, const QK_uint8 *pRstamp16, QK_int64 rebaseid,
                             QK_int64 txid, int *pbMatch, QK_int64 *pGeneration, QK_int64 *pCount,
                             QK_int64 *pHistoryPurgeGeneration) {
  tav_db_mssql__find_tx_by_rstamp(ctx, h, pRstamp16, rebaseid, txid, pbMatch, pGeneration, pCount,
                                  pHistoryPurgeGeneration);
  if (txid == 0 && rebaseid == 0 && g_other_copy) {
    std::function<void()> copy = std::move(g_other_copy);
    g_other_copy = nullptr;
    copy();
  }
}

TEST_F(PushTest, OfTwoCopiesOfOnePushExactlyOneIsApplied) {
  allow("pull");
  allow("*");
  std::string pulled;
  std::string from = pull_baseline(&pulled);
  std::string c = rows_of(pulled, "SELECT hex(z_rid), z_txid FROM \"p$u$" + items + "\" WHERE name = 'c'");
  client_package(4, from);
  change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
  script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n";
  change(items, c.substr(0, 32), std::stoll(c.substr(33)), "3, 'c', 30");
  seal(4);
  std::string q = query(from);
  QK_int64 copyTxid = 0;
  int copyStatus = 0;
  tav_backend_ops plain = ops;
  g_other_copy = [&] {
    QK_context *c2 = nullptr;
    QK_mssql_connection *conn2 = nullptr;
    QK_vhash *q2 = nullptr, *headers2 = nullptr;
    tav_pkg response2 = {};
    char *body2 = nullptr;
    QK_string *message2 = nullptr;
    QK_int32 flag2 = 0;
    QK_int64 txidR2 = 0;
    QK_context__alloc(&c2);
    QK_context__set_user_data(c2, &flag2);
    tav_db_mssql__open(c2, connection_string("shop").c_str(), nullptr, &conn2);
    QK_vhash__alloc__from_json(c2, &q2, q.c_str());
    tav_respond__push_request(c2, &plain, nullptr, nullptr, conn2, nullptr, nullptr, work.c_str(), q2, nullptr,
                              body_path.c_str(), nullptr, &copyTxid, &txidR2, &copyStatus, &response2, &body2,
                              &headers2, &message2);
    EXPECT_FALSE(QK_context__has_error(c2));
    tav_pkg__close(c2, &response2);
    QK_free(c2, body2);
    QK_vhash__free(c2, headers2);
    QK_vhash__free(c2, q2);
    QK_string__free(c2, message2);
    tav_db_mssql__close(c2, &conn2);
    QK_context__free(c2);
  };
  ops.find_tx_by_rstamp = find_tx_then_other_copy;
  ASSERT_EQ(push(q), "ok");
  EXPECT_EQ(g_other_copy, nullptr);
  EXPECT_EQ(copyStatus, 200);
  EXPECT_GT(copyTxid, t2);
  // This copy is answered as a repeated push is: the follow-up delta, nothing applied.
  EXPECT_EQ(status, 200) << body_text();
  EXPECT_EQ(txid, 0);
  EXPECT_EQ(inspect(follow_up(), "--version 4"), "ok");
  EXPECT_EQ(host("SELECT name, qty FROM dbo.items ORDER BY name"), "A|1;c|30;d|4");
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.[demo$t$tx] WHERE txid > " + std::to_string(t2)), "1");
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.audit"), "0");
  EXPECT_EQ(leftovers(), 0);
}

int zero_byte(void *) { return 0; }
void count_sleep(void *pData, QK_uint32) { ++*static_cast<int *>(pData); }

// The push commits; then writing its log row meets a deadlock. Retried, the row is written and
// the client hears of its push. When every try deadlocks the request fails, and the client
// that sends the push again is answered as for a repeated push, nothing applied twice.
TEST_F(PushTest, ADeadlockOnTheLogRowAfterTheCommitIsRetried) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  int sleeps = 0;
  tav_retry_pacing pacing = {zero_byte, count_sleep, &sleeps};
  auto request = [&](const std::string &faults, std::string *pErr) {
    QK_mssql_connection *config = nullptr;
    tav_db_mssql__open(ctx, (connection_string("shop") + ";Fault={" + faults + "}").c_str(), nullptr, &config);
    EXPECT_EQ(take_error(), "ok");
    reset();
    int kind = 0;
    char *message = nullptr;
    std::string path = "/sync/push?db=demo&fid=7&nrp&h=" + sha1() + "&from=" + from;
    tav_respond__handle_request_paced(ctx, nullptr, config, conn, nullptr, work.c_str(), "127.0.0.1", path.c_str(), nullptr,
                                      nullptr, body_path.c_str(), &status, &kind, &body, &headers, &message, &pacing);
    *pErr = take_error();
    if (kind == TAV_BODY_FILE) std::filesystem::remove(body);
    QK_free(ctx, message);
    tav_db_mssql__close(ctx, &config);
  };
  std::string err, eleven;
  // Each fault fires at its first statement not taken by an earlier one.
  for (int i = 1; i <= 11; i++) eleven += std::string(i > 1 ? "|" : "") + "1205:1:insert into tavrin.log";

  client_package(4, from);
  change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
  script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d1', 100, '" + items + "');\n";
  seal(4);
  request("1205:1:insert into tavrin.log", &err);
  ASSERT_EQ(err, "ok");
  SKIP_IF_STANDIN_LACKS(body_text());
  EXPECT_EQ(status, 244);
  EXPECT_EQ(sleeps, 1);
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.log WHERE status = 244 AND txid > " + std::to_string(t2)), "1");

  client_package(4, from);
  change(items, "000000000000000000000000000000d2", 0, "101, 'e', 5");
  script += "INSERT INTO p$ipk VALUES (x'000000000000000000000000000000d2', 101, '" + items + "');\n";
  seal(4);
  sleeps = 0;
  request(eleven, &err);
  EXPECT_EQ(err.substr(0, 3), "90:") << err;
  EXPECT_EQ(sleeps, 10);
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items WHERE name = N'e'"), "1");
  std::string transactions = host("SELECT COUNT(*) FROM tavrin.[demo$t$tx]");
  request("", &err);
  ASSERT_EQ(err, "ok");
  EXPECT_EQ(status, 244);
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items WHERE name = N'e'"), "1");
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.[demo$t$tx]"), transactions);
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.audit"), "0");
  EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.log WHERE status = 244 AND txid = 0"), "1");
  EXPECT_EQ(leftovers(), 0);
}

// Every attempt finds the store busy.
void busy_lookup(QK_context *ctx, tav_db_handle *, const QK_uint8 *, QK_int64, QK_int64, int *, QK_int64 *,
                 QK_int64 *, QK_int64 *) {
  QK_context__throw(ctx, QK_ERR_BUSY_RETRY, __FILE__, __LINE__);
}
int fixed_byte(void *) { return 7; }
void record_sleep(void *pData, QK_uint32 ms) { static_cast<std::vector<QK_uint32> *>(pData)->push_back(ms); }

// Statements that share a batch with others: a deadlock on a later one of the batch repeats
// the attempt as on a statement alone, and the push is applied once.
TEST_F(PushTest, ADeadlockInsideABatchRepeatsTheAttempt) {
  allow("pull");
  allow("*");
  const char *faults[] = {
      "1205:1:UPDATE tavrin.\"demo$t$tx\" SET rstamp",            // after the rstamp lookup and GetTxId
      "1205:1:TRUNCATE TABLE",                                     // after the conflict queries
      "1205:1:DELETE FROM [tavrin].[demo$z$noop_updates]",         // after the MERGE and its counts
      "1205:1:SELECT @@ROWCOUNT",                                  // after the new rows' row ids
  };
  int round = 0;
  for (const char *fault : faults) {
    SCOPED_TRACE(fault);
    std::string pulled, name = "n" + std::to_string(++round);
    std::string from = pull_baseline(&pulled);
    std::string item = rows_of(pulled, "SELECT hex(z_rid), z_txid FROM \"p$u$" + items + "\" WHERE id = 3");
    std::string rid = "0000000000000000000000000000e0" + std::to_string(10 + round);
    client_package(4, from);
    change(items, item.substr(0, 32), std::stoll(item.substr(33)), "3, '" + name + "', 3");
    change(items, rid, 0, std::to_string(100 + round) + ", '" + name + "', 4");
    script += "INSERT INTO p$ipk VALUES (x'" + rid + "', " + std::to_string(100 + round) + ", '" + items + "');\n";
    seal(4);
    QK_mssql_connection *faulty = nullptr;
    tav_db_mssql__open(ctx, (connection_string("shop") + ";Fault={" + fault + "}").c_str(), nullptr, &faulty);
    ASSERT_EQ(take_error(), "ok");
    std::swap(conn, faulty);
    std::string err = push(query(from));
    std::swap(conn, faulty);
    tav_db_mssql__close(ctx, &faulty);
    ASSERT_EQ(err, "ok");
    SKIP_IF_STANDIN_LACKS(body_text());
    EXPECT_EQ(status, 200) << body_text();
    EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items WHERE name = N'" + name + "'"), "2");
  }
  EXPECT_EQ(leftovers(), 0);
}

// The pull's begin reads the filter assignments in its batch, after the transaction began: a
// deadlock on either read of the batch repeats the attempt, which leaves no transaction open.
TEST_F(PushTest, ADeadlockInThePullsBeginBatchRepeatsThePull) {
  allow("pull");
  std::string clean, pulled;
  pull_baseline(&clean);
  std::string expected = rows_of(clean, "SELECT COUNT(*) FROM \"p$u$" + items + "\"");
  for (const char *fault : {"1205:1:SELECT TOP 1 [txid]", "1205:1:SELECT scheme,who,filter"}) {
    SCOPED_TRACE(fault);
    QK_mssql_connection *faulty = nullptr;
    tav_db_mssql__open(ctx, (connection_string("shop") + ";Fault={" + fault + "}").c_str(), nullptr, &faulty);
    ASSERT_EQ(take_error(), "ok");
    std::swap(conn, faulty);
    pull_baseline(&pulled);
    int64_t trancount = -1;
    QK_mssql__query_int64__format(ctx, conn, &trancount, "SELECT @@TRANCOUNT");
    std::swap(conn, faulty);
    tav_db_mssql__close(ctx, &faulty);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(trancount, 0);
    EXPECT_EQ(rows_of(pulled, "SELECT COUNT(*) FROM \"p$u$" + items + "\""), expected);
  }
}

// The audit rows of a push in a database of their own commit after the push: when the push's
// commit is chosen as deadlock victim and the attempt repeated, each conflict is recorded once;
// when every attempt fails, none is.
TEST_F(PushTest, AuditRowsOfARepeatedPushAreRecordedOnce) {
  allow("pull");
  allow("*");
  std::string out;
  ASSERT_EQ(cli("create-config " + dataDir + " cfg", &out), 0) << out;
  ASSERT_EQ(cli("register-dbfile " + dataDir + " cfg demo --odbc qvsdb:shop", &out), 0) << out;
  tav_db_mssql__open(ctx, connection_string("cfg").c_str(), nullptr, &configConn);
  ASSERT_EQ(take_error(), "ok");
  std::string commit = "1205:1:COMMIT TRANSACTION", eleven;
  for (int i = 1; i <= 11; i++) eleven += std::string(i > 1 ? "|" : "") + commit;
  for (const std::string name : {"once", "never"}) {
    SCOPED_TRACE(name);
    std::string pulled;
    std::string from = pull_baseline(&pulled);
    std::string item = rows_of(pulled, "SELECT hex(z_rid), z_txid FROM \"p$u$" + items + "\" WHERE id = 3");
    // The server changes qty while the client renames: the columns merge, which is audited.
    write("UPDATE dbo.items SET qty = qty + 1 WHERE id = 3");
    client_package(4, from);
    change(items, item.substr(0, 32), std::stoll(item.substr(33)), "3, '" + name + "', 3");
    seal(4);
    QK_mssql_connection *faulty = nullptr;
    tav_db_mssql__open(ctx, (connection_string("shop") + ";Fault={" + (name == "once" ? commit : eleven) + "}").c_str(),
                       nullptr, &faulty);
    ASSERT_EQ(take_error(), "ok");
    if (name == "once") {
      // The whole request: the repeated attempt applies the push and the client hears of it.
      std::swap(conn, faulty);
      ASSERT_EQ(push(query(from)), "ok");
      std::swap(conn, faulty);
      SKIP_IF_STANDIN_LACKS(body_text());
      EXPECT_EQ(status, 200) << body_text();
    } else {
      // Every attempt's commit fails: the read gives up as busy (without waiting here).
      std::vector<QK_uint32> sleeps;
      tav_retry_pacing pacing = {fixed_byte, record_sleep, &sleeps};
      tav_db_handle *hFaulty = nullptr;
      tav_db_mssql__handle_alloc(ctx, faulty, "demo", &hFaulty);
      hFaulty->config_conn = configConn;
      tav_pkg work_pkg = {};
      QK_strdup(ctx, upload.c_str(), &work_pkg.path);
      QK_varray *acl = nullptr;
      tav_respond__get_acl(ctx, &ops, conn, "demo", &acl);
      int outcome = -1, code = 0, pv = 0, missing = 0;
      QK_int64 position = 0;
      reset();
      tav_respond__read_pushed_package_paced(ctx, &ops, hFaulty, acl, nullptr, 7, &work_pkg, &outcome, &code, &pv,
                                             &missing, &position, &txid, &txidR, &message, &pacing);
      QK_varray__free(ctx, acl);
      EXPECT_EQ(take_error(), "ok");
      EXPECT_EQ(code, TAV_PROTO_BUSY);
      EXPECT_EQ(sleeps.size(), 10u);
      tav_db_mssql__handle_free(ctx, &hFaulty);
      tav_pkg__close(ctx, &work_pkg);
    }
    tav_db_mssql__close(ctx, &faulty);
    EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items WHERE name = N'" + name + "'"), name == "once" ? "1" : "0");
    std::swap(conn, configConn);
    EXPECT_EQ(host("SELECT COUNT(*) FROM tavrin.audit WHERE result LIKE '%" + name + "%'"), name == "once" ? "1" : "0");
    EXPECT_EQ(int64("SELECT @@TRANCOUNT"), 0);
    std::swap(conn, configConn);
  }
}

TEST_F(PushTest, ABusyStoreGivesUpAfterElevenAttempts) {
  allow("pull");
  allow("*");
  std::string from = pull_baseline();
  client_package(4, from);
  change(items, "000000000000000000000000000000d1", 0, "100, 'd', 4");
  seal(4);
  std::string before = sha1();
  std::vector<QK_uint32> sleeps;
  tav_retry_pacing pacing = {fixed_byte, record_sleep, &sleeps};
  ops.find_tx_by_rstamp = busy_lookup;
  tav_pkg work_pkg = {};
  QK_strdup(ctx, upload.c_str(), &work_pkg.path);
  int outcome = -1, code = 0, pv = 0, missing = 0;
  QK_int64 position = 0;
  tav_respond__read_pushed_package_paced(ctx, &ops, h, nullptr, nullptr, 7, &work_pkg, &outcome, &code, &pv, &missing,
                                         &position, &txid, &txidR, &message, &pacing);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(code, TAV_PROTO_BUSY);
  ASSERT_NE(message, nullptr);
  EXPECT_NE(std::string(QK_string__sz(message)).find("Busy retry required"), std::string::npos)
      << QK_string__sz(message);
  EXPECT_EQ(sleeps, (std::vector<QK_uint32>{28, 56, 84, 112, 140, 168, 196, 224, 252, 280}));
  // Every attempt was undone in the package.
  QK_sqlite__close(ctx, &work_pkg.db);
  EXPECT_EQ(sha1(), before);
  QK_free(ctx, work_pkg.path);
  work_pkg.path = nullptr;

  // The client is answered 500 with the busy code.
  tav_respond__answer_protocol_code(ctx, 1, code, pv, "demo", nullptr, &status, &headers, &body);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(status, 500);
  EXPECT_EQ(header(), "4808");
  EXPECT_EQ(host("SELECT COUNT(*) FROM dbo.items"), "2");
}

}  // namespace

#endif

// Access lists, filter assignments, stored filters and users tables against the SQL Server
// stand-in. The users' bcrypt hashes come from htpasswd -B (tests/fixtures/server).
#include <sqlite3.h>
#include <string.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "common/tav_filter.h"
#include "qk/qk_string.h"
#include "server/tav_db_mssql_acl.h"
#include "store_fixture.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

// user -> bcrypt hash
std::map<std::string, std::string> htpasswd_users() {
  std::map<std::string, std::string> users;
  std::ifstream in(std::string(TAVRIN_SOURCE_DIR) + "/tests/fixtures/server/users.htpasswd");
  for (std::string line; std::getline(in, line);)
    if (line.find(':') != std::string::npos) users[line.substr(0, line.find(':'))] = line.substr(line.find(':') + 1);
  return users;
}

struct Acl : StoreTest {
  tav_db_handle *h = nullptr;
  std::string table;

  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(cli("create-config " + dataDir + " cfg"), 0);
    ASSERT_EQ(cli("create-dbfile " + dataDir + " cfg demo"), 0);
    run_script("cfg", "CREATE TABLE dbo.t (id int NOT NULL PRIMARY KEY)\n");
    std::string out;
    ASSERT_EQ(cli("add-table " + dataDir + " cfg demo dbo.t", &out), 0) << out;
    table = out.substr(0, out.find('\n'));
    open("cfg");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    tav_db_mssql__handle_free(ctx, &h);
    StoreTest::TearDown();
  }
  void cfg(const std::string &args) {
    std::string out;
    ASSERT_EQ(cli(args, &out), 0) << args << ": " << out;
  }
  std::string json(QK_varray *pva) {
    QK_string *p = nullptr;
    QK_string__alloc(ctx, &p);
    std::string s = "[";
    for (QK_uint32 i = 0; i < QK_varray__count_noctx(pva); i++) {
      QK_vhash *row = nullptr;
      QK_varray__get__vhash(ctx, pva, i, &row);
      QK_string__clear(ctx, p);
      QK_vhash__to_json(ctx, row, p);
      s += (i ? "," : "") + std::string(QK_string__sz(p));
    }
    QK_string__free(ctx, p);
    EXPECT_EQ(take_error(), "ok");
    return s + "]";
  }
  // The user's name, stored password and groups, or "none".
  std::string user(QK_mssql_connection *c, const char *tableName, const char *name) {
    tav_user_identity *id = nullptr;
    char *pass = nullptr;
    tav_db_mssql__lookup_user(ctx, c, tableName, name, &id, &pass);
    std::string err = take_error();
    if (err != "ok") return err;
    if (id == nullptr) return pass == nullptr ? "none" : "password without identity";
    std::string s = std::string(id->name ? id->name : "<null>") + " " + pass;
    std::set<std::string> groups;  // the server hands them out in no particular order
    for (QK_uint32 i = 0; i < QK_varray__count_noctx(id->groups); i++) {
      const char *g = nullptr;
      QK_varray__get__sz(ctx, id->groups, i, &g);
      groups.insert(g);
    }
    for (const std::string &g : groups) s += " +" + g;
    EXPECT_EQ(id->scheme, nullptr);
    sqlite3_free(pass);
    tav_user_identity__free(ctx, &id);
    EXPECT_EQ(id, nullptr);
    return s;
  }
};

TEST_F(Acl, AccessListRows) {
  QK_varray *acl = nullptr;
  tav_db_mssql__get_acl(ctx, h, &acl);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(json(acl), "[]");
  QK_varray__free(ctx, acl);

  cfg("add-acl " + dataDir + " cfg demo '{\"scheme_type\":\"table\"}' user:alice dbo.t tbl_add_row deny");
  cfg("add-acl " + dataDir + " cfg demo '' anyone '*' pull allow");
  tav_db_mssql__get_acl(ctx, h, &acl);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(json(acl), "[{\"scheme\":\"{\\\"scheme_type\\\":\\\"table\\\"}\",\"who\":\"user:alice\",\"tbl\":\"" + table +
                           "\",\"op\":\"tbl_add_row\",\"result\":\"deny\"},"
                           "{\"scheme\":\"\",\"who\":\"anyone\",\"tbl\":\"*\",\"op\":\"pull\",\"result\":\"allow\"}]");
  QK_varray__free(ctx, acl);
  // A NULL column is left out (except the table).
  exec("UPDATE tavrin.[demo$t$a] SET result = NULL, scheme = NULL WHERE who = 'anyone'");
  tav_db_mssql__get_acl(ctx, h, &acl);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_NE(json(acl).find("{\"who\":\"anyone\",\"tbl\":\"*\",\"op\":\"pull\"}"), std::string::npos) << json(acl);
  QK_varray__free(ctx, acl);
}

TEST_F(Acl, FilterAssignmentsInPriorityOrderAndStoredFilters) {
  std::string text = "{\"tbls\":{\"" + table + "\":{\"where\":\"z$this.id > 0\"}}}";
  cfg("add-filter " + dataDir + " cfg demo 1 '" + text + "'");
  cfg("add-filter " + dataDir + " cfg demo 2 '{}'");
  cfg("add-filter " + dataDir + " cfg demo 3 '{}'");
  cfg("assign-filter " + dataDir + " cfg demo s group:staff 2 20");
  cfg("assign-filter " + dataDir + " cfg demo s user:alice 1 10");
  cfg("assign-filter " + dataDir + " cfg demo s anyone 3 30");
  QK_varray *list = nullptr;
  QK_int64 txid = -1;
  tav_db_mssql__get_user_filters(ctx, h, &list, &txid);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(json(list),
            "[{\"scheme\":\"s\",\"who\":\"user:alice\",\"filter\":1},{\"scheme\":\"s\",\"who\":\"group:staff\","
            "\"filter\":2},{\"scheme\":\"s\",\"who\":\"anyone\",\"filter\":3}]");
  EXPECT_EQ(txid, int64("SELECT MAX(txid) FROM tavrin.[demo$t$t]"));
  EXPECT_GT(txid, 0);
  QK_varray__free(ctx, list);

  exec("INSERT INTO tavrin.[demo$t$f] (id, filter) VALUES (9, N'not json')");  // the CLI refuses it
  tav_filter *f = nullptr;
  tav_db_mssql__get_filter(ctx, h, 1, "alice", &f);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->filter_id, 1);
  EXPECT_STREQ(f->user_name, "alice");
  int excluded = 1;
  tav_filter__is_table_excluded(ctx, f, table.c_str(), &excluded);
  EXPECT_EQ(excluded, 0);
  tav_filter__free(ctx, &f);
  tav_db_mssql__get_filter(ctx, h, 4, nullptr, &f);  // no such filter
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(f, nullptr);
  tav_db_mssql__get_filter(ctx, h, 9, nullptr, &f);
  EXPECT_NE(take_error(), "ok");
  EXPECT_EQ(f, nullptr);
}

TEST_F(Acl, UsersFromTablesOfEitherSchemaWithGroups) {
  auto users = htpasswd_users();
  ASSERT_EQ(users.size(), 2u);
  cfg("add-user " + dataDir + " cfg alice '" + users["alice"] + "'");
  cfg("add-user " + dataDir + " cfg bob '" + users["bob"] + "'");
  cfg("add-group " + dataDir + " cfg alice staff");
  cfg("add-group " + dataDir + " cfg alice admins");
  run_script("cfg",
             "CREATE TABLE dbo.people (name nvarchar(100) NOT NULL PRIMARY KEY, pass nvarchar(200) NULL)\n"
             "INSERT INTO dbo.people (name, pass) VALUES (N'carol', N'plain'), (N'dave', NULL)\n"
             "CREATE TABLE tavrin.[odd]]name] (name nvarchar(100) NOT NULL PRIMARY KEY, pass nvarchar(200) NULL)\n"
             "INSERT INTO tavrin.[odd]]name] (name, pass) VALUES (N'frank', N'x')\n"
             "CREATE TABLE dbo.[my people] (name nvarchar(100) NOT NULL PRIMARY KEY, pass nvarchar(200) NULL)\n"
             "INSERT INTO dbo.[my people] (name, pass) VALUES (N'gina', N'y')\n");
  struct Case {
    const char *table, *name;
    std::string expected;
  } cases[] = {
      {"users", "alice", "alice " + users["alice"] + " +admins +staff"},
      {"users", "bob", "bob " + users["bob"]},
      {"users", "nobody", "none"},
      {"dbo.people", "carol", "carol plain"},  // resolved as given: another schema
      {"dbo.people", "dave", "dave "},         // a NULL password is empty
      {"people", "carol", "carol plain"},      // not in tavrin: the default schema's table
      {"missing", "alice", "none"},
      // The name comes from the client: its parts are read as SQL Server reads them and go
      // into the statement bracketed, so no text of it is taken as SQL.
      {"odd]name", "frank", "frank x"},
      {"[dbo].[people]", "carol", "carol plain"},
      {"\"dbo\".\"people\"", "carol", "carol plain"},
      {"dbo.[my people]", "gina", "gina y"},
      {"dbo.people WHERE 1=1 --", "carol", "none"},
      {"dbo.[people", "carol", "none"},
      {"cfg.dbo.people", "carol", "none"},  // only tables of the connection's own database
  };
  for (const Case &c : cases) EXPECT_EQ(user(conn, c.table, c.name), c.expected) << c.table << " " << c.name;

  // Without a groups table the group list is empty.
  ASSERT_EQ(cli("create-db " + dataDir + " plain"), 0);
  run_script("plain",
             "CREATE SCHEMA tavrin\nGO\n"
             "CREATE TABLE tavrin.accounts (name nvarchar(100) NOT NULL PRIMARY KEY, pass nvarchar(200) NULL)\n"
             "INSERT INTO tavrin.accounts (name, pass) VALUES (N'erin', N'{\"op\":\"alias\"}')\n");
  QK_mssql_connection *plain = nullptr;
  tav_db_mssql__open(ctx, connection_string("plain").c_str(), nullptr, &plain);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(user(plain, "accounts", "erin"), "erin {\"op\":\"alias\"}");
  tav_db_mssql__close(ctx, &plain);
}

}  // namespace

#endif

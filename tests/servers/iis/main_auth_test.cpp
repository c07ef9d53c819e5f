// Authentication schemes: which connection and users table each scheme checks, the
// identity's canonical scheme text and the scheme errors.
#include <gtest/gtest.h>

#include <string>

#include "access_fake_store.h"
#include "context_fixture.h"
#include "servers/iis/main_auth.h"

namespace {

struct AuthTest : ContextTest {
  FakeAccessStore store;
  tav_backend_ops ops = FakeAccessStore::ops();
  QK_mssql_connection config{}, dbfile{};

  void SetUp() override {
    ContextTest::SetUp();
    store.connection_names = {{&config, "config"}, {&dbfile, "dbfile"}};
    store.users = {{"users/alice", {"alice", "pw", {"staff"}}}};
  }

  // "ok|name|scheme|groups" or the error, with the connection the users table was read on
  // in `store.users_connection`.
  std::string authenticate(const std::string &scheme, const char *stored, const char *user, const char *password,
                           QK_mssql_connection *dbfileConn) {
    int ok = -1;
    tav_user_identity *who = nullptr;
    store.users_connection.clear();
    tav_iis__authenticate(ctx, &ops, "Driver=x;Database=config", &config, dbfileConn, scheme.c_str(), stored, user,
                          password, &ok, &who);
    std::string err = take_error();
    if (err != "ok") {
      EXPECT_EQ(who, nullptr);
      return err;
    }
    std::string r = std::to_string(ok) + "|" + (who ? who->name : "") + "|" + (who && who->scheme ? who->scheme : "");
    std::string groups;
    for (QK_uint32 i = 0; who && i < QK_varray__count_noctx(who->groups); i++) {
      const char *g = nullptr;
      QK_varray__get__sz(ctx, who->groups, i, &g);
      groups += (i ? "," : "") + std::string(g);
    }
    tav_user_identity__free(ctx, &who);
    return r + "|" + groups;
  }
};

const char *const kCanonicalTable = "{\"scheme_type\":\"table\",\"table\":\"users\"}";

TEST_F(AuthTest, TableSchemesCheckTheDbfilesUsersTableAndCanonicaliseTheScheme) {
  const std::string expected = std::string("1|alice|") + kCanonicalTable + "|staff";
  EXPECT_EQ(authenticate("{\"table\":\"users\",\"scheme_type\":\"table\"}", nullptr, "alice", "pw", &dbfile),
            expected);
  EXPECT_EQ(store.users_connection, "dbfile");
  EXPECT_EQ(authenticate("{ \"scheme_type\" : \"table\", \"table\" : \"users\" }", nullptr, "alice", "pw", nullptr),
            expected);
  EXPECT_EQ(store.users_connection, "config");  // the dbfile's tables live in the configuration database
  // a wrong password still hands out the identity the table named
  EXPECT_EQ(authenticate(kCanonicalTable, nullptr, "alice", "wrong", &dbfile),
            std::string("0|alice|") + kCanonicalTable + "|staff");
  EXPECT_EQ(authenticate(kCanonicalTable, nullptr, "nobody", "pw", &dbfile), "0|||");
}

TEST_F(AuthTest, DefaultAppliesTheStoredScheme) {
  const char *stored = "{\"table\":\"users\",\"scheme_type\":\"table2\",\"extra\":[2,1]}";
  EXPECT_EQ(authenticate("{\"scheme_type\":\"default\"}", stored, "alice", "pw", &dbfile),
            "1|alice|{\"extra\":[2,1],\"scheme_type\":\"table2\",\"table\":\"users\"}|staff");
  EXPECT_EQ(store.users_connection, "config");
}

TEST_F(AuthTest, Table2ChecksTheConfigurationDatabaseOrTheNamedDbfiles) {
  store.registry_odbc = {{"other", "QVSDB:otherdb"}, {"inconfig", ""}, {"direct", "Driver=y;Database=z"}};
  struct Case {
    const char *scheme, *connection;
    std::vector<std::string> calls;
  } cases[] = {
      {"{\"scheme_type\":\"table2\",\"table\":\"users\"}", "config", {"lookup_user users/alice"}},
      {"{\"scheme_type\":\"table2\",\"table\":\"users\",\"dbfile\":\"other\"}", "Driver=x;Database=config|otherdb",
       {"lookup_dbfile other", "open Driver=x;Database=config|otherdb", "lookup_user users/alice",
        "close Driver=x;Database=config|otherdb"}},
      {"{\"scheme_type\":\"table2\",\"table\":\"users\",\"dbfile\":\"direct\"}", "Driver=y;Database=z",
       {"lookup_dbfile direct", "open Driver=y;Database=z", "lookup_user users/alice", "close Driver=y;Database=z"}},
      {"{\"scheme_type\":\"table2\",\"table\":\"users\",\"dbfile\":\"inconfig\"}", "config",
       {"lookup_dbfile inconfig", "lookup_user users/alice"}},
      {"{\"scheme_type\":\"table2\",\"table\":\"users\",\"dbfile\":\"unknown\"}", "config",
       {"lookup_dbfile unknown", "lookup_user users/alice"}},
  };
  for (const auto &c : cases) {
    store.calls.clear();
    EXPECT_EQ(authenticate(c.scheme, nullptr, "alice", "pw", &dbfile).substr(0, 8), "1|alice|") << c.scheme;
    EXPECT_EQ(store.users_connection, c.connection) << c.scheme;
    EXPECT_EQ(store.calls, c.calls) << c.scheme;
  }
  // the opened connection is closed when the check fails too
  store.calls.clear();
  store.fail_op = "lookup_user users/alice";
  EXPECT_EQ(authenticate(cases[1].scheme, nullptr, "alice", "pw", &dbfile).substr(0, 3), "90:");
  EXPECT_EQ(store.calls.back(), "close Driver=x;Database=config|otherdb");
}

TEST_F(AuthTest, MalformedSchemesAreErrors) {
  struct Case {
    const char *scheme, *stored, *expected;
  } cases[] = {
      {"{\"scheme_type\":\"default\"}", nullptr, "1:No default scheme is defined for this dbfile"},
      {"{\"scheme_type\":\"default\"}", "{\"scheme_type\":\"default\"}", "1:unknown auth scheme_type: default"},
      {"{\"table\":\"users\"}", nullptr, "1:'scheme_type' is required in auth scheme string"},
      {"{\"scheme_type\":\"table\"}", nullptr, "1:'table' is required in auth scheme string for scheme_type 'table'"},
      {"{\"scheme_type\":\"table2\"}", nullptr,
       "1:'table' is required in auth scheme string for scheme_type 'table2'"},
      {"{\"scheme_type\":\"windows\"}", nullptr,
       "1:'domain' is required in auth scheme string for scheme_type 'windows'"},
      {"{\"scheme_type\":\"Table\",\"table\":\"users\"}", nullptr, "1:unknown auth scheme_type: Table"},
  };
  for (const auto &c : cases) EXPECT_EQ(authenticate(c.scheme, c.stored, "alice", "pw", &dbfile), c.expected);
  EXPECT_EQ(authenticate("scheme_type=table", nullptr, "alice", "pw", &dbfile).substr(0, 3), "45:");
  EXPECT_EQ(authenticate("{\"scheme_type\":\"default\"}", "not json", "alice", "pw", &dbfile).substr(0, 3), "45:");
}

TEST_F(AuthTest, WindowsSchemeAsksTheLogon) {
  // no logon back end is configured here: every Windows logon is refused
  EXPECT_EQ(authenticate("{\"scheme_type\":\"windows\",\"domain\":\"CORP\"}", nullptr, "alice", "pw", &dbfile),
            "0|||");
  EXPECT_TRUE(store.calls.empty());
}

}  // namespace

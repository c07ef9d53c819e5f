// The Windows logon against the logon stand-in's test accounts: the identity's name and
// groups, refused logons, and the errors of the token and account calls.
#include <gtest/gtest.h>

#include <string>

#include "context_fixture.h"
#include "servers/iis/main_auth.h"
#include "servers/iis/main_logon.h"
#include "winstandin/config.h"

namespace {

struct LogonTest : ContextTest {
  void SetUp() override {
    ContextTest::SetUp();
    winstandin::LogonConfig logon;
    logon.backend = winstandin::LogonConfig::Backend::file;
    logon.accounts_file = TAVRIN_SOURCE_DIR "/tests/fixtures/iis/accounts";
    winstandin::configure_logon(logon);
  }
  void TearDown() override {
    winstandin::configure_logon({});
    ContextTest::TearDown();
  }
  std::string describe(int ok, const tav_user_identity *who) {
    std::string r = std::to_string(ok) + "|" + (who ? who->name : "") + "|";
    for (QK_uint32 i = 0; who && i < QK_varray__count_noctx(who->groups); i++) {
      const char *g = nullptr;
      QK_varray__get__sz(ctx, who->groups, i, &g);
      r += (i ? "," : "") + std::string(g);
    }
    return r;
  }
};

TEST_F(LogonTest, IdentityIsUserAtDomainWithNamedGroupsInTokenOrder) {
  struct Case {
    const char *domain, *user, *password, *expected;
  } cases[] = {
      {"CORP", "alice", "Right horse 1", "1|alice@CORP|Sales,Staff"},  // the unmapped group left out
      {"corp", "ALICE", "Right horse 1", "1|ALICE@corp|Sales,Staff"},  // the names as the request sent them
      {"CORP", "alice", "right horse 1", "0||"},
      {"CORP", "mallory", "Right horse 1", "0||"},
      {"LAB", "alice", "Right horse 1", "0||"},
      {"CORP", "dave", "Right horse 1", "1:Unable to determine buffer size8\n"},
      {"CORP", "erin", "Right horse 1", "1:Unable to fetch group information: 1450"},
      {"CORP", "frank", "Right horse 1", "1:Unable to lookup group name: 1789"},
  };
  for (const auto &c : cases) {
    int ok = -1;
    tav_user_identity *who = nullptr;
    WindowsLogon(ctx, c.domain, c.user, c.password, &ok, &who);
    std::string err = take_error();
    EXPECT_EQ(err == "ok" ? describe(ok, who) : err, c.expected) << c.user;
    if (err != "ok") {
      EXPECT_EQ(who, nullptr);
    }
    tav_user_identity__free(ctx, &who);
  }
}

TEST_F(LogonTest, WindowsSchemeSetsTheCanonicalSchemeText) {
  // The windows scheme reaches no store operation, so no operations table is needed.
  alignas(8) static const char kNoOperations[8] = {};
  int ok = -1;
  tav_user_identity *who = nullptr;
  tav_iis__authenticate(ctx, reinterpret_cast<const tav_backend_ops *>(kNoOperations), "", nullptr, nullptr,
                        "{\"scheme_type\":\"windows\", \"domain\":\"CORP\"}", nullptr, "alice", "Right horse 1", &ok,
                        &who);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(describe(ok, who), "1|alice@CORP|Sales,Staff");
  EXPECT_STREQ(who->scheme, "{\"domain\":\"CORP\",\"scheme_type\":\"windows\"}");
  tav_user_identity__free(ctx, &who);
}

}  // namespace

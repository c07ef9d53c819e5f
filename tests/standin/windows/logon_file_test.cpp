// Logon stand-in over the test-account file: the answers real accounts give,
// every injected failure, the bcrypt forms, and rejected account files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "logon_walk.h"
#include "winstandin/config.h"

namespace fs = std::filesystem;

namespace {

const fs::path fixtures = fs::path(TAVRIN_SOURCE_DIR) / "tests/fixtures/windows";

std::string run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  char buffer[256];
  while (pipe && fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
  return out;
}

void use_accounts(const fs::path& file) {
  winstandin::LogonConfig config;
  config.backend = winstandin::LogonConfig::Backend::file;
  config.accounts_file = file;
  winstandin::configure_logon(config);
}

class FileLogon : public ::testing::Test {
 protected:
  void SetUp() override { use_accounts(fixtures / "accounts"); }
  void TearDown() override { winstandin::configure_logon({}); }
};

TEST_F(FileLogon, AnswersAsRealAccountsDo) {
  // A file made by an outside bcrypt tool, shaped like the accounts the PAM
  // test creates.
  std::string hash = run("htpasswd -nbB -C 4 x 'Pässwörd 1!' | cut -d: -f2 | tr -d '\\n'");
  ASSERT_EQ(hash.size(), 60u) << "htpasswd (apache2-utils) missing?";
  fs::path file = fs::path(::testing::TempDir()) / ("accounts-" + std::to_string(getpid()));
  std::ofstream(file) << "Home:tvuser:" << hash << ":#unmapped,tvgroup1,tvgroup2:\n"
                      << "Home:tvexpired:" << hash << ":tvgroup1:expired\n";
  use_accounts(file);
  expect_standard_answers({"Home", "tvuser", u"Pässwörd 1!", {"tvgroup1", "tvgroup2"}, "tvexpired"});
  fs::remove(file);
}

TEST_F(FileLogon, InjectedFailuresAndGroupLists) {
  struct Case {
    const char* user;
    bool ok;
    const char* failure;
    std::vector<std::string> groups;
  } cases[] = {
      {"alice", true, "", {"Sales", "Staff"}},  // the unmapped group is skipped
      {"ALICE", true, "", {"Sales", "Staff"}},  // names ignore case
      {"nogroups", true, "", {}},
      {"carol", false, "logon 1909", {}},
      {"dave", true, "size 8", {}},
      {"erin", true, "fetch 1450", {}},
      {"frank", true, "lookup 1789", {"Staff"}},
      {"p2a", true, "", {}},
      {"p2b", true, "", {}},
      {"p2y", true, "", {}},
  };
  for (const auto& c : cases) {
    LogonWalk walk = walk_logon(u16(c.user), u"CORP", u"Right horse 1");
    EXPECT_EQ(walk.ok, c.ok) << c.user;
    EXPECT_EQ(walk.failure, c.failure) << c.user;
    EXPECT_EQ(walk.groups, c.groups) << c.user;
  }
  LogonWalk zoe = walk_logon(u"zoë", u"LAB", u"Pässwörd 1!");
  EXPECT_TRUE(zoe.ok) << zoe.failure;
  EXPECT_EQ(zoe.groups, std::vector<std::string>{"Labor"});
  EXPECT_EQ(walk_logon(u"zoë", u"CORP", u"Pässwörd 1!").failure, "logon 1326")
      << "an account belongs to its own domain only";
}

TEST_F(FileLogon, CallsRejectMisuse) {
  HANDLE token = nullptr;
  EXPECT_FALSE(LogonUserW(u"alice", u"CORP", u"Right horse 1", 3, 0, &token));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(LogonUserW(nullptr, u"CORP", u"Right horse 1", 2, 0, &token));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A user principal name carries the domain when none is given.
  ASSERT_TRUE(LogonUserW(u"alice@corp", nullptr, u"Right horse 1", 2, 0, &token));

  DWORD size = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
  std::vector<uint64_t> buffer(size / 8 + 2);
  DWORD short_size = size - 1;
  EXPECT_FALSE(GetTokenInformation(token, TokenGroups, buffer.data(), short_size, &short_size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(short_size, size);
  ASSERT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), size, &size));
  auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
  ASSERT_EQ(groups->GroupCount, 3u);

  // Too small buffers report the sizes needed, NUL included.
  char name[4];
  DWORD name_length = sizeof name, domain_length = 0;
  SID_NAME_USE use;
  EXPECT_FALSE(LookupAccountSidA(nullptr, groups->Groups[0].Sid, name, &name_length,
                                 nullptr, &domain_length, &use));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(name_length, 6u);  // "Sales"
  EXPECT_GT(domain_length, 1u);
  EXPECT_FALSE(LookupAccountSidA("otherhost", groups->Groups[0].Sid, name, &name_length,
                                 nullptr, &domain_length, &use));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  BYTE bad_sid[16] = {7, 2};
  EXPECT_FALSE(LookupAccountSidA(nullptr, bad_sid, name, &name_length, nullptr,
                                 &domain_length, &use));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);

  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  int not_a_handle = 0;
  EXPECT_FALSE(GetTokenInformation(&not_a_handle, TokenGroups, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// "delay=MS" plays pam_unix's delay after a wrong password: recorded for the thread, taken once,
// never slept through; other outcomes record none.
TEST_F(FileLogon, AWrongPasswordsDelayIsRecordedForTheThread) {
  fs::path file = fs::path(::testing::TempDir()) / ("accounts-delay-" + std::to_string(getpid()));
  std::ofstream(file) << "CORP:slow:$2y$04$LG2bVfp0rc5bweYcZgAzPOjEozoNI4lpP24gKdZz09nhWzKoV142S:Staff:delay=2500\n";
  use_accounts(file);
  struct Case {
    const char* user;
    const char16_t* password;
    long long delay_ms;
  } cases[] = {{"slow", u"wrong", 2500}, {"slow", u"Right horse 1", 0}, {"nobody", u"wrong", 0}};
  for (const auto& c : cases) {
    winstandin::take_failed_logon_delay();
    walk_logon(u16(c.user), u"CORP", c.password);
    EXPECT_EQ(winstandin::take_failed_logon_delay().count(), c.delay_ms) << c.user;
    EXPECT_EQ(winstandin::take_failed_logon_delay().count(), 0) << c.user << ": taken once";
  }
  fs::remove(file);
}

TEST_F(FileLogon, NoBackEndMeansNoLogonServers) {
  winstandin::configure_logon({});
  EXPECT_EQ(walk_logon(u"alice", u"CORP", u"Right horse 1").failure, "logon 1311");
}

TEST_F(FileLogon, BadAccountFilesAreRejectedWithTheirLine) {
  const std::string good = "$2y$04$LG2bVfp0rc5bweYcZgAzPOjEozoNI4lpP24gKdZz09nhWzKoV142S";
  struct Case {
    std::string line;
    const char* message;
  } cases[] = {
      {"CORP:md5:$1$saltsalt$qjYBzUVGsoSUEuGRmwgMq/::", "not bcrypt"},
      {"CORP:des:plainjunk::", "not bcrypt"},
      {"CORP:x2x:$2x$04$" + good.substr(7) + "::", "not bcrypt"},
      {"CORP:short:" + good.substr(0, 59) + "::", "not bcrypt"},
      {"CORP:four:" + good + ":", "expected domain:user:hash:groups:options"},
      {"CORP:opt:" + good + "::locked", "unknown option 'locked'"},
      {"CORP:code:" + good + "::logon=x", "bad error code 'x'"},
      {"CORP:code:" + good + ":#error=0:", "bad error code '0'"},
      {"CORP:alice:" + good + "::", "account listed twice"},
      {":nodomain:" + good + "::", "empty domain or user"},
  };
  fs::path file = fs::path(::testing::TempDir()) / ("bad-accounts-" + std::to_string(getpid()));
  for (const auto& c : cases) {
    std::ofstream(file) << "# comment\nCORP:alice:" << good << "::\n" << c.line << "\n";
    try {
      use_accounts(file);
      ADD_FAILURE() << "accepted: " << c.line;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("line 3: "), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    // The previous configuration stays in force.
    EXPECT_TRUE(walk_logon(u"alice", u"CORP", u"Right horse 1").ok) << c.line;
  }
  fs::remove(file);
  EXPECT_THROW(use_accounts(file), std::runtime_error);
}

}  // namespace

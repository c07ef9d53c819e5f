// Logon stand-in over PAM with throwaway Linux accounts: the same answers as
// the test-account file, groups by name, and no fallback to the system's
// policy when the service file is missing. Needs root (to create accounts,
// and because pam_unix checks other users' passwords only for root).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "logon_walk.h"
#include "winstandin/config.h"

namespace fs = std::filesystem;

namespace {

const fs::path source = TAVRIN_SOURCE_DIR;
const std::string tag = std::to_string(getpid());
const std::string user = "tvw" + tag + "u";
const std::string expired_user = "tvw" + tag + "x";
const std::string group1 = "tvw" + tag + "g1";
const std::string group2 = "tvw" + tag + "g2";
const std::string primary = "tvw" + tag + "p";
const char* const password_utf8 = "Pässwörd 1!";

// The account tools lock /etc/passwd; another tool holding the lock makes
// them fail for a moment, so retry a few times.
bool shell(const std::string& command) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

void remove_accounts() {
  std::system(("userdel " + user + " >/dev/null 2>&1").c_str());
  std::system(("userdel " + expired_user + " >/dev/null 2>&1").c_str());
  for (const auto& g : {group1, group2, primary})
    std::system(("groupdel -f " + g + " >/dev/null 2>&1").c_str());
}

winstandin::LogonConfig pam_config(const fs::path& service_dir) {
  winstandin::LogonConfig config;
  config.backend = winstandin::LogonConfig::Backend::pam;
  config.pam_service_dir = service_dir;
  config.domains = {"Home", "WORKGROUP"};
  return config;
}

class PamLogon : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    std::atexit(remove_accounts);  // also when a test aborts the process
    // The users' primary group is deleted afterwards, so that their first
    // group id has no name (it must be skipped).
    ready_ = shell("groupadd " + group1) && shell("groupadd " + group2) &&
             shell("groupadd " + primary) &&
             shell("useradd -M -N -g " + primary + " -G " + group1 + "," + group2 +
                   " -s /usr/sbin/nologin " + user) &&
             shell("useradd -M -N -g " + primary + " -s /usr/sbin/nologin " + expired_user) &&
             shell("printf '%s:%s\\n%s:%s\\n' " + user + " '" + password_utf8 + "' " +
                   expired_user + " '" + password_utf8 + "' | chpasswd") &&
             shell("chage -E 0 " + expired_user) && shell("groupdel -f " + primary);
  }
  static void TearDownTestSuite() {
    if (geteuid() == 0) remove_accounts();
  }
  void SetUp() override {
    if (geteuid() != 0)
      GTEST_SKIP() << "needs root: creates throwaway Linux accounts, and pam_unix checks "
                      "other users' passwords only for root";
    ASSERT_TRUE(ready_) << "could not create the throwaway accounts (useradd, chpasswd)";
  }
  void TearDown() override { winstandin::configure_logon({}); }

  static inline bool ready_ = false;
};

TEST_F(PamLogon, AnswersAsTheTestAccountFileDoes) {
  // The test copy of the service has no delay after a failed password.
  winstandin::configure_logon(pam_config(source / "tests/fixtures/windows/pam.d"));
  expect_standard_answers({"Home", user, u"Pässwörd 1!", {group1, group2}, expired_user});
}

TEST_F(PamLogon, ShippedServiceLogsInAndRecordsTheDelayOfAFailure) {
  winstandin::configure_logon(pam_config(source / "standin/windows/pam.d"));
  LogonWalk walk = walk_logon(u16(user), u"WORKGROUP", u"Pässwörd 1!");
  EXPECT_TRUE(walk.ok) << walk.failure;
  EXPECT_EQ(walk.groups, (std::vector<std::string>{group1, group2}));
  EXPECT_EQ(winstandin::take_failed_logon_delay().count(), 0);

  // pam_unix asks for about two seconds after a wrong password; the logon hands the delay to
  // its caller instead of sleeping through it.
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(walk_logon(u16(user), u"WORKGROUP", u"wrong").failure, "logon 1326");
  auto took = std::chrono::steady_clock::now() - started;
  auto delay = winstandin::take_failed_logon_delay();
  EXPECT_GE(delay, std::chrono::seconds(1));
  EXPECT_LT(took, delay) << "the logon slept through its delay";
}

TEST_F(PamLogon, MissingServiceFileFailsInsteadOfFallingBack) {
  fs::path dir = fs::path(::testing::TempDir()) / ("pam-" + tag);
  fs::create_directories(dir);
  fs::copy_file(source / "tests/fixtures/windows/pam.d/tavrin", dir / "tavrin",
                fs::copy_options::overwrite_existing);
  winstandin::configure_logon(pam_config(dir));
  EXPECT_TRUE(walk_logon(u16(user), u"Home", u"Pässwörd 1!").ok);

  // The service file of that directory is the one used, not the system's.
  std::ofstream(dir / "tavrin") << "auth required pam_deny.so\naccount required pam_unix.so\n";
  EXPECT_EQ(walk_logon(u16(user), u"Home", u"Pässwörd 1!").failure, "logon 1326");

  fs::remove(dir / "tavrin");
  EXPECT_EQ(walk_logon(u16(user), u"Home", u"Pässwörd 1!").failure, "logon 1359");
  EXPECT_THROW(winstandin::configure_logon(pam_config(dir)), std::runtime_error);
  winstandin::LogonConfig other = pam_config(source / "tests/fixtures/windows/pam.d");
  other.pam_service = "other";
  EXPECT_THROW(winstandin::configure_logon(other), std::runtime_error);
  fs::remove_all(dir);
}

}  // namespace

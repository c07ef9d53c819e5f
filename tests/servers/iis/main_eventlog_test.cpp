// The module's event provider against the event-tracing stand-in: what a listener at a
// level and with keywords receives, disabling, NULL texts, and writes after unregistering.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "servers/iis/main_eventlog.h"
#include "winstandin/config.h"

namespace fs = std::filesystem;

namespace {

constexpr ULONGLONG kAdmin = 0x8000000000000000ULL;
constexpr ULONGLONG kDebug = 0x4000000000000000ULL;

struct EventLogTest : ::testing::Test {
  fs::path sink = fs::path(::testing::TempDir()) / ("events-" + std::to_string(getpid()) + ".jsonl");

  void TearDown() override {
    tav_eventlog__unregister();
    winstandin::configure_event_sink(std::nullopt);
    fs::remove(sink);
  }
  // Starts a listening session with this level and keywords; registers the provider.
  void listen(UCHAR level, ULONGLONG any, ULONGLONG all = 0) {
    winstandin::EventSinkConfig config;
    config.file = sink;
    config.level = level;
    config.match_any = any;
    config.match_all = all;
    winstandin::configure_event_sink(config);
    ASSERT_EQ(tav_eventlog__register(), ERROR_SUCCESS);
  }
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    std::ifstream in(sink);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
};

TEST_F(EventLogTest, ListenersGetEventOneByLevelAndKeyword) {
  struct Case {
    UCHAR level;
    ULONGLONG any, all;
    bool enabled;
  } cases[] = {
      {3, kAdmin, 0, true},       // level 2 is at most the listener's 3
      {0, ~0ULL, 0, true},        // level 0: every level
      {1, kAdmin, 0, false},      // a listener for critical events only
      {5, kDebug, 0, false},      // debug channel only
      {5, kAdmin | kDebug, kAdmin | kDebug, false},  // must carry both keywords
  };
  for (const auto &c : cases) {
    listen(c.level, c.any, c.all);
    EXPECT_EQ(tav_eventlog__event1_enabled() != 0, c.enabled) << int(c.level) << " " << c.any;
    tav_eventlog__unregister();
  }
}

TEST_F(EventLogTest, EventOneCarriesTheTextOrNull) {
  listen(3, kAdmin);
  ASSERT_TRUE(tav_eventlog__event1_enabled());
  tav_eventlog__write_event1("HTTP 500    --    /sync/pull?db=demo");
  tav_eventlog__write_event1(nullptr);
  auto got = lines();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find("\"channel\":\"Tavrin/Admin\""), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"level\":2"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"id\":1"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"data\":\"HTTP 500    --    /sync/pull?db=demo\""), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("\"data\":\"NULL\""), std::string::npos) << got[1];
}

// Warnings are event 2 at level Warning: a listener for errors only does not get them.
TEST_F(EventLogTest, WarningsAreEventTwoForListenersAtLevelWarning) {
  listen(2, kAdmin);
  EXPECT_TRUE(tav_eventlog__event1_enabled());
  EXPECT_FALSE(tav_eventlog__event2_enabled());
  tav_eventlog__unregister();
  listen(3, kAdmin);
  ASSERT_TRUE(tav_eventlog__event2_enabled());
  tav_eventlog__write_event2("column \"c\" of table [dbo].[t] has no default for clients");
  auto got = lines();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find("\"channel\":\"Tavrin/Admin\""), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"level\":3"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"id\":2"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("has no default for clients"), std::string::npos) << got[0];
}

TEST_F(EventLogTest, DisablingAndUnregisteringStopEvents) {
  EXPECT_FALSE(tav_eventlog__event1_enabled());  // nobody listens yet
  listen(3, kAdmin);
  winstandin::control_event_session(EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0);
  EXPECT_FALSE(tav_eventlog__event1_enabled());
  winstandin::control_event_session(EVENT_CONTROL_CODE_CAPTURE_STATE, 5, kAdmin, 0);
  EXPECT_FALSE(tav_eventlog__event1_enabled());
  winstandin::control_event_session(EVENT_CONTROL_CODE_ENABLE_PROVIDER, 2, kAdmin, 0);
  EXPECT_TRUE(tav_eventlog__event1_enabled());

  tav_eventlog__unregister();
  tav_eventlog__write_event1("after unregister");
  EXPECT_TRUE(lines().empty());
}

TEST_F(EventLogTest, ConcurrentFirstRegistrationsRegisterOnce) {
  listen(3, kAdmin);
  tav_eventlog__unregister();
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; i++) threads.emplace_back([] { tav_eventlog__register(); });
  for (auto &t : threads) t.join();
  tav_eventlog__write_event1("once");
  EXPECT_EQ(lines().size(), 1u);
  // one registration: after one unregister nothing is written any more
  tav_eventlog__unregister();
  tav_eventlog__write_event1("twice");
  EXPECT_EQ(lines().size(), 1u);
}

}  // namespace

// Event-tracing stand-in: a provider shaped like the module's (enable bits
// kept by its callback), the configured sink as listener, level and keyword
// filtering, session changes, unregistering, and JSON lines checked by an
// outside parser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "winstandin/config.h"
#include "winstandin/eventlog.h"

namespace fs = std::filesystem;

namespace {

constexpr ULONGLONG admin = 0x8000000000000000ULL;
constexpr ULONGLONG debug = 0x4000000000000000ULL;
constexpr EVENT_DESCRIPTOR event1 = {1, 0, 16, 2, 0, 0, admin};

// A provider as the module keeps one: enable bits for (level 2, admin),
// (level 3, admin) and (level 5, debug), set by its callback.
struct Provider {
  REGHANDLE handle = 0;
  std::atomic<unsigned> bits{0};
  std::vector<ULONG> codes;  // control codes received

  static void callback(LPCGUID, ULONG code, UCHAR level, ULONGLONG any, ULONGLONG all,
                       PEVENT_FILTER_DESCRIPTOR, PVOID context) {
    auto* self = static_cast<Provider*>(context);
    self->codes.push_back(code);
    if (code == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
      self->bits = 0;
    } else if (code == EVENT_CONTROL_CODE_ENABLE_PROVIDER) {
      const struct { UCHAR level; ULONGLONG keywords; } kinds[] = {{2, admin}, {3, admin}, {5, debug}};
      unsigned bits = 0;
      for (unsigned i = 0; i < 3; ++i)
        if ((level == 0 || kinds[i].level <= level) &&
            (kinds[i].keywords == 0 ||
             ((kinds[i].keywords & any) != 0 && (kinds[i].keywords & all) == all)))
          bits |= 1u << i;
      self->bits = bits;
    }
  }

  void register_() {
    ASSERT_EQ(EventRegister(&winstandin::tavrin_provider_guid, callback, this, &handle),
              ERROR_SUCCESS);
    ASSERT_NE(handle, 0u);
  }

  ULONG write(const void* text, ULONG size, const EVENT_DESCRIPTOR& event = event1) {
    EVENT_DATA_DESCRIPTOR data;
    EventDataDescCreate(&data, text, size);
    return EventWrite(handle, &event, 1, &data);
  }
  ULONG write(const std::string& text) { return write(text.c_str(), ULONG(text.size() + 1)); }
};

// Parses every line of the file with Python's json (strict: raw control
// characters fail) and prints `expression` over `rows`.
std::string python_json(const fs::path& file, const std::string& expression,
                        const std::string& prelude = "") {
  fs::path script = file.parent_path() / "check.py";
  std::ofstream(script) << "import json, sys\n" << prelude
                        << "rows = [json.loads(l) for l in open(sys.argv[1], encoding='utf-8')]\n"
                        << "print((" << expression << "))\n";
  std::string command = "/usr/bin/python3 " + script.string() + " " + file.string() + " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  char buffer[512];
  while (pipe && fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::vector<std::string> lines_of(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class EventLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("eventlog-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    file_ = dir_ / "events.jsonl";
  }
  void TearDown() override {
    for (Provider* p : {&provider_, &other_})
      if (p->handle) EventUnregister(p->handle);
    winstandin::configure_event_sink(std::nullopt);
    fs::remove_all(dir_);
  }
  void listen(UCHAR level, ULONGLONG any, ULONGLONG all = 0, std::size_t max_bytes = 0) {
    winstandin::EventSinkConfig sink;
    sink.file = file_;
    sink.level = level;
    sink.match_any = any;
    sink.match_all = all;
    sink.max_event_bytes = max_bytes;
    winstandin::configure_event_sink(sink);
  }

  fs::path dir_, file_;
  Provider provider_, other_;
};

TEST_F(EventLog, WithoutSinkNothingIsEnabledOrWritten) {
  provider_.register_();
  EXPECT_TRUE(provider_.codes.empty());
  EXPECT_EQ(provider_.bits, 0u);
  EXPECT_EQ(provider_.write("lost"), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(EventLog, SinkEnablesAtRegisterAndWritesEventOne) {
  listen(3, admin);
  provider_.register_();
  EXPECT_EQ(provider_.codes, std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER});
  EXPECT_EQ(provider_.bits, 0b011u);
  ASSERT_EQ(provider_.write("HTTP 500    --    /pull"), ERROR_SUCCESS);
  EXPECT_EQ(python_json(file_, "[(r['provider'],r['channel'],r['level'],r['id'],r['data']) for r in rows]"),
            "[('Tavrin', 'Tavrin/Admin', 2, 1, 'HTTP 500    --    /pull')]");
}

TEST_F(EventLog, SinkFiltersAsTheProviderCallbackDoes) {
  struct Case {
    UCHAR level;
    ULONGLONG any, all;
    bool event1;
  } cases[] = {
      {0, ~0ULL, 0, true},       {2, admin, 0, true},
      {3, admin, 0, true},       {5, admin | debug, 0, true},
      {1, admin, 0, false},      {0, debug, 0, false},
      {0, 0, 0, false},          {0, ~0ULL, admin, true},
      {0, ~0ULL, admin | debug, false},
  };
  provider_.register_();
  for (const auto& c : cases) {
    listen(c.level, c.any, c.all);
    bool enabled = provider_.bits & 1u;
    EXPECT_EQ(enabled, c.event1) << int(c.level) << " " << c.any << " " << c.all;
    // The sink delivers exactly what the provider thinks is enabled, even to
    // a writer that does not test its bits first.
    std::size_t before = lines_of(file_).size();
    provider_.write("event");
    EXPECT_EQ(lines_of(file_).size() - before, c.event1 ? 1u : 0u) << int(c.level);
  }
  // A debug-channel event passes only with the debug keyword and level 5.
  const EVENT_DESCRIPTOR event4 = {4, 0, 17, 5, 0, 0, debug};
  listen(5, debug);
  EXPECT_EQ(provider_.bits, 0b100u);
  provider_.write("verbose", 8, event4);
  EXPECT_EQ(python_json(file_, "rows[-1]['channel'], rows[-1]['id']"), "('Tavrin/Debug', 4)");
}

TEST_F(EventLog, SessionChangesReachCallbacksAndWrites) {
  listen(0, ~0ULL);
  provider_.register_();
  winstandin::control_event_session(EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0);
  EXPECT_EQ(provider_.bits, 0u);
  provider_.write("while disabled");
  winstandin::control_event_session(EVENT_CONTROL_CODE_CAPTURE_STATE, 0, 0, 0);
  winstandin::control_event_session(EVENT_CONTROL_CODE_ENABLE_PROVIDER, 3, admin, 0);
  EXPECT_EQ(provider_.bits, 0b011u);
  provider_.write("enabled again");
  EXPECT_EQ(provider_.codes, (std::vector<ULONG>{1, 0, 2, 1}));

  // Stopping the sink disables the provider; a new sink enables it again.
  winstandin::configure_event_sink(std::nullopt);
  EXPECT_EQ(provider_.bits, 0u);
  provider_.write("no sink");
  listen(2, admin);
  EXPECT_EQ(provider_.bits, 0b001u);
  EXPECT_EQ(python_json(file_, "[r['data'] for r in rows]"), "['enabled again']");
}

TEST_F(EventLog, UnregisterStopsWritesAndCallbacks) {
  listen(0, ~0ULL);
  provider_.register_();
  other_.register_();
  ASSERT_NE(provider_.handle, other_.handle);
  REGHANDLE gone = provider_.handle;
  ASSERT_EQ(EventUnregister(gone), ERROR_SUCCESS);
  provider_.handle = 0;
  EXPECT_EQ(EventUnregister(gone), ERROR_INVALID_HANDLE);

  EVENT_DATA_DESCRIPTOR data;
  EventDataDescCreate(&data, "after", 6);
  EXPECT_EQ(EventWrite(gone, &event1, 1, &data), ERROR_INVALID_HANDLE);
  winstandin::control_event_session(EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0);
  EXPECT_EQ(provider_.codes.size(), 1u) << "no callback after unregistering";
  EXPECT_EQ(other_.codes.size(), 2u);
  EXPECT_FALSE(fs::exists(file_) && !lines_of(file_).empty());
}

TEST_F(EventLog, DataItemsAndLimits) {
  listen(0, ~0ULL, 0, 16);
  provider_.register_();
  EXPECT_EQ(provider_.write("NULL", 5), ERROR_SUCCESS);    // the module's stand-in for a NULL text
  EXPECT_EQ(provider_.write(nullptr, 0), ERROR_SUCCESS);   // an empty item
  EXPECT_EQ(provider_.write(nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(provider_.write("cut\0here", 9), ERROR_SUCCESS);
  EXPECT_EQ(provider_.write("no terminating NUL", 7), ERROR_SUCCESS);
  EXPECT_EQ(provider_.write(std::string(17, 'x')), ERROR_ARITHMETIC_OVERFLOW);
  EXPECT_EQ(EventWrite(provider_.handle, nullptr, 0, nullptr), ERROR_INVALID_PARAMETER);
  EVENT_DATA_DESCRIPTOR two[2];
  EventDataDescCreate(&two[0], "a", 2);
  EventDataDescCreate(&two[1], "b", 2);
  EXPECT_EQ(EventWrite(provider_.handle, &event1, 2, two), ERROR_SUCCESS);
  EXPECT_EQ(python_json(file_, "[r['data'] for r in rows]"),
            "['NULL', '', 'cut', 'no term', ['a', 'b']]");
}

TEST_F(EventLog, EveryLineIsValidJsonWhateverTheBytes) {
  const std::vector<std::string> texts = {
      "plain",
      "quote \" backslash \\ slash /",
      "line\nfeed\rreturn\ttab\b\f\x01\x1f\x7f end",
      "UTF-8: \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
      "Latin-1: caf\xe9 \xff\xfe",
      "truncated \xe2\x82",
      "truncated at end \xf0\x9f\x98",
      "overlong \xc0\xaf \xe0\x80\xaf",
      "surrogate \xed\xa0\x80 above \xf4\x90\x80\x80",
      "lone continuation \x80\xbf",
  };
  listen(0, ~0ULL);
  provider_.register_();
  std::ofstream expected(dir_ / "expected.hex");
  for (const auto& text : texts) {
    ASSERT_EQ(provider_.write(text), ERROR_SUCCESS);
    for (unsigned char c : text) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", c);
      expected << hex;
    }
    expected << "\n";
  }
  expected.close();
  // The reference decoding: valid UTF-8 as is, each other byte as the
  // character of the same value.
  const std::string prelude =
      "import codecs\n"
      "codecs.register_error('bytes', lambda e: (''.join(map(chr, e.object[e.start:e.end])), e.end))\n"
      "hexes = open(sys.argv[1].replace('events.jsonl', 'expected.hex')).read().split()\n";
  EXPECT_EQ(python_json(file_,
                        "[i for i, (r, h) in enumerate(zip(rows, hexes)) if r['data'] != "
                        "bytes.fromhex(h).decode('utf-8', 'bytes')], len(rows)",
                        prelude),
            "([], " + std::to_string(texts.size()) + ")");
}

TEST_F(EventLog, ConcurrentWritersKeepWholeLines) {
  listen(0, ~0ULL);
  provider_.register_();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i)
        provider_.write(std::string(300 + t, char('a' + t)) + "\n" + std::to_string(i));
    });
  for (auto& w : writers) w.join();
  EXPECT_EQ(python_json(file_, "len(rows), sorted(set(len(r['data']) for r in rows))[:1]"),
            "(800, [302])");
}

TEST_F(EventLog, SinkConfigurationErrors) {
  winstandin::EventSinkConfig sink;
  sink.file = dir_ / "missing-dir" / "events.jsonl";
  EXPECT_THROW(winstandin::configure_event_sink(sink), std::runtime_error);
  sink.file = file_;
  sink.provider = "Nobody";
  EXPECT_THROW(winstandin::configure_event_sink(sink), std::runtime_error);
  // A provider named by its GUID is the same provider.
  sink.provider = "{6b1f3c52-9d47-4e0a-b8c3-2f5d7a91e604}";
  winstandin::configure_event_sink(sink);
  provider_.register_();
  EXPECT_EQ(provider_.bits, 0b111u);
  // Another provider's registration is not enabled by this sink.
  GUID stranger = winstandin::tavrin_provider_guid;
  stranger.Data1 ^= 1;
  ASSERT_EQ(EventRegister(&stranger, Provider::callback, &other_, &other_.handle), ERROR_SUCCESS);
  EXPECT_TRUE(other_.codes.empty());
  REGHANDLE refused = 7;
  EXPECT_EQ(EventRegister(nullptr, Provider::callback, &other_, &refused), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused, 0u);
}

}  // namespace

// Replays the kept corpus of the push fuzz target through the same check in the ordinary
// build: every input decodes to a pushed package that is answered 2xx or 4xx, never changes
// the server when refused and leaves no work file. The seeds the fuzzer starts from must be
// valid pushes that apply.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "../../fuzz/push_fuzz_check.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

push_fuzz::Env &server() {
  push_fuzz::Env &e = push_fuzz::env_with(STANDIN_DRIVER, STANDIN_CLI);
  return e;
}

TEST(PushCorpus, EverySeedIsAValidPushThatApplies) {
  ASSERT_EQ(server().failure, "");
  int n = 0;
  for (const std::string &seed : push_fuzz::seeds()) {
    push_fuzz::Result r = push_fuzz::run((const unsigned char *)seed.data(), seed.size());
    SCOPED_TRACE("seed " + std::to_string(n++) + ", version " + std::to_string(2 + (unsigned char)seed[0] % 5));
    EXPECT_EQ(r.verdict, "");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.txid, 0) << r.body;
  }
}

TEST(PushCorpus, EveryKeptInputIsAnsweredWithoutFault) {
  ASSERT_EQ(server().failure, "");
  namespace fs = std::filesystem;
  int files = 0;
  for (const auto &entry : fs::directory_iterator(TAVRIN_SOURCE_DIR "/tests/fuzz/corpus/push")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    push_fuzz::Result r = push_fuzz::run((const unsigned char *)data.data(), data.size());
    EXPECT_EQ(r.verdict, "") << entry.path().string();
    files++;
  }
  EXPECT_GT(files, 20);
}

}  // namespace

#endif

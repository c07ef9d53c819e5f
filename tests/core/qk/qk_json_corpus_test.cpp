// Runs every input of the checked-in JSON seed corpus through the fuzz target's check (reads,
// writes, reads again: a fixed point, no crash, no leak) in the ordinary build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "../../fuzz/json_fuzz_check.h"

TEST(JsonCorpus, EverySeedIsReadAndWrittenToAFixedPoint) {
  namespace fs = std::filesystem;
  int files = 0;
  for (const auto &entry : fs::directory_iterator(TAVRIN_SOURCE_DIR "/tests/fixtures/qk/json_corpus")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().string());
    json_fuzz_check((const unsigned char *)data.data(), data.size());
    files++;
  }
  EXPECT_GT(files, 10);
}

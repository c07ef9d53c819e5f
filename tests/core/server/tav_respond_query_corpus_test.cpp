// Runs every input of the checked-in request-query and baseline seed corpora through the fuzz
// targets' checks (no crash, no leak, no overflow; accepted input reads back to the same
// pairs or baseline) in the ordinary build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "../../fuzz/query_fuzz_check.h"

namespace {

int run_corpus(const char *dir, void (*check)(const unsigned char *, size_t)) {
  namespace fs = std::filesystem;
  int files = 0;
  for (const auto &entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().string());
    check((const unsigned char *)data.data(), data.size());
    files++;
  }
  return files;
}

TEST(QueryCorpus, EveryQueryIsReadSafelyAndReadsBackTheSame) {
  EXPECT_GT(run_corpus(TAVRIN_SOURCE_DIR "/tests/fixtures/server/query_corpus", query_fuzz_check), 5);
}

TEST(QueryCorpus, EveryBaselineIsParsedSafelyToAFixedPoint) {
  EXPECT_GT(run_corpus(TAVRIN_SOURCE_DIR "/tests/fixtures/server/baseline_corpus", baseline_fuzz_check), 5);
}

}  // namespace

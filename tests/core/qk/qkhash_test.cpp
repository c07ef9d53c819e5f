#include "qk/qkhash.h"

#include <sys/mman.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "file_fixture.h"

namespace {

std::string sha1_of_pieces(const std::string &data, const std::vector<size_t> &pieces) {
  QK_hash *h = nullptr;
  char out[QK_SHA1_SZ_SIZE] = {};
  if (QK_hash__begin(&h) != QK_OK) return "begin failed";
  size_t at = 0;
  for (size_t n : pieces) {
    if (QK_hash__add_bytes(h, data.data() + at, n) != QK_OK) return "add failed";
    at += n;
  }
  if (QK_hash__end(&h, out, sizeof out) != QK_OK) return "end failed";
  return out;
}

std::string sha1_of(const std::string &data) { return sha1_of_pieces(data, {data.size()}); }

TEST(Sha1, StandardVectors) {
  EXPECT_EQ(sha1_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(sha1_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha1_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(sha1_of(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(QK_hash__begin(nullptr), QK_ERR_INVALID_ARGUMENT);
}

using Sha1Files = FileTest;

TEST_F(Sha1Files, RandomFilesAndChunkingMatchSha1sum) {
  std::mt19937 rng(1234);
  // Lengths around the padding boundaries, then larger ones.
  std::vector<size_t> sizes = {1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 65536, 1 << 20, 3000017};
  for (size_t size : sizes) {
    std::string data(size, '\0');
    for (char &c : data) c = (char)rng();
    std::string p = path("f" + std::to_string(size));
    write_file(p, data);
    std::string expected = sh("sha1sum '" + p + "' | cut -c1-40");
    EXPECT_EQ(sha1_of(data), expected) << size;
    for (int round = 0; round < 3; round++) {
      std::vector<size_t> pieces;
      size_t left = size;
      while (left > 0) {
        size_t limit = round == 0 ? 3 : round == 1 ? 130 : 70000;
        size_t n = std::min<size_t>(left, rng() % (limit + 1));  // zero-length pieces included
        pieces.push_back(n);
        left -= n;
      }
      EXPECT_EQ(sha1_of_pieces(data, pieces), expected) << size << " round " << round;
    }
  }
}

TEST(Sha1, MoreThanFourGibibytesInOneCall) {
  // 2^32 + 3 zero bytes from the zero page; the digest is that of sha1sum over /dev/zero.
  const size_t size = 4294967299ull;
  void *p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  QK_hash *h = nullptr;
  char out[QK_SHA1_SZ_SIZE] = {};
  ASSERT_EQ(QK_hash__begin(&h), QK_OK);
  EXPECT_EQ(QK_hash__add_bytes(h, p, size), QK_OK);
  EXPECT_EQ(QK_hash__end(&h, out, sizeof out), QK_OK);
  EXPECT_STREQ(out, "c2a34e434ebc0e21d10d44c2c778b2dc631c16db");
  munmap(p, size);
}

TEST(Sha1, HandleMisuse) {
  QK_hash *h = nullptr;
  char out[QK_SHA1_SZ_SIZE];
  memset(out, '#', sizeof out);
  ASSERT_EQ(QK_hash__begin(&h), QK_OK);
  EXPECT_STREQ(h->pVTable->name, "SHA1/160");
  EXPECT_EQ(QK_hash__add_bytes(nullptr, "x", 1), QK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(QK_hash__add_bytes(h, nullptr, 1), QK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(QK_hash__add_bytes(h, nullptr, 0), QK_OK);
  // Too small a buffer: 2, nothing written, and the handle is gone anyway (leak check).
  EXPECT_EQ(QK_hash__end(&h, out, 40), QK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
  EXPECT_EQ(QK_hash__end(&h, out, sizeof out), QK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(QK_hash__end(nullptr, out, sizeof out), QK_ERR_INVALID_ARGUMENT);
  ASSERT_EQ(QK_hash__begin(&h), QK_OK);
  EXPECT_EQ(QK_hash__end(&h, nullptr, 41), QK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(h, nullptr);
  ASSERT_EQ(QK_hash__begin(&h), QK_OK);
  QK_hash__abort(&h);
  EXPECT_EQ(h, nullptr);
  QK_hash__abort(&h);
  QK_hash__abort(nullptr);
}

}  // namespace

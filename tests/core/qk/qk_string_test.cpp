#include "qk/qk_string.h"

#include <gtest/gtest.h>

#include <string>

#include "context_fixture.h"
#include "python_oracle.h"
#include "qk/qk_malloc.h"

namespace {

struct String : ContextTest {
  QK_string *s = nullptr;
  void SetUp() override {
    ContextTest::SetUp();
    QK_string__alloc(ctx, &s);
    ASSERT_FALSE(QK_context__has_error(ctx));
  }
  void TearDown() override {
    QK_string__free(ctx, s);
    ContextTest::TearDown();
  }
  std::string text() const { return std::string(QK_string__sz(s), QK_string__length_in_bytes(s)); }
};

TEST_F(String, GrowthFollowsChunkAndDoublingRule) {
  EXPECT_EQ(s->m_uiCapacity, 256u);
  QK_string__append__buflen(ctx, s, std::string(252, 'a').data(), 252);
  EXPECT_EQ(s->m_uiCapacity, 256u);
  QK_string__append__sz(ctx, s, "b");
  EXPECT_EQ(s->m_uiCapacity, 1024u);
  EXPECT_EQ(text(), std::string(252, 'a') + "b");

  struct Case {
    QK_uint32 capacity, add, expected;
  } cases[] = {
      {256, 5000, 6144},                   // the stepped need (5,256) beats doubling
      {0x400000, 1, 0x800000},             // doubling up to 4 MiB
      {0x400001, 1, 0x800001},             // then linear steps of 4 MiB
      {0x400001, 0x900000, 0xD00400},      // unless the stepped need is larger
  };
  for (const Case &c : cases) {
    QK_string *t = nullptr;
    QK_string__alloc__reserve(ctx, &t, c.capacity);
    std::string fill(c.capacity - 4, 'x');
    QK_string__append__buflen(ctx, t, fill.data(), (QK_uint32)fill.size());
    EXPECT_EQ(t->m_uiCapacity, c.capacity);
    std::string more(c.add, 'y');
    QK_string__append__buflen(ctx, t, more.data(), c.add);
    EXPECT_EQ(t->m_uiCapacity, c.expected) << c.capacity << "+" << c.add;
    EXPECT_EQ(t->m_uiSizeInUse, c.capacity - 4 + c.add);
    QK_string__free(ctx, t);
  }
  EXPECT_FALSE(QK_context__has_error(ctx));
}

TEST_F(String, GrowthBeyond32BitsIsAnErrorNotASmallBuffer) {
  QK_string__append__sz(ctx, s, "0123456789");
  QK_string__make_room(ctx, s, 0xFFFFFFF2u);  // 10 + n + 4 = 2^32
  EXPECT_EQ(take_error(), "104:");
  QK_string__make_room(ctx, s, 0xFFFFFFFFu);
  EXPECT_EQ(take_error(), "104:");
  EXPECT_EQ(s->m_uiCapacity, 256u);
  EXPECT_EQ(text(), "0123456789");
}

TEST_F(String, FormattingRetriesUntilTheTextFits) {
  std::string big(5000, 'q');
  QK_string__sprintf(ctx, s, "%s", big.c_str());
  EXPECT_EQ(text(), big);
  EXPECT_EQ(s->m_uiCapacity, 8192u);  // 256 -> 2048 -> 4096 -> 8192
  QK_string__sprintf(ctx, s, "%d-%s", 7, "x");
  EXPECT_EQ(text(), "7-x");
  QK_string__append__format(ctx, s, "/%05u", 42u);
  EXPECT_EQ(text(), "7-x/00042");
  QK_string__sprintf(ctx, s, nullptr);
  EXPECT_EQ(text(), "");
  EXPECT_EQ(take_error(), "ok");

  char *sz = nullptr;
  QK_string__format_to_sz(ctx, &sz, "%s=%d", "n", 12);
  EXPECT_STREQ(sz, "n=12");
  QK_free(ctx, sz);
}

TEST_F(String, SourceInsideOwnBufferIsRefused) {
  QK_string__append__sz(ctx, s, "abcdef");
  QK_string__append__string(ctx, s, s);
  EXPECT_EQ(take_error(), "17:");
  QK_string__append__sz(ctx, s, s->m_pBuf + 2);
  EXPECT_EQ(take_error(), "17:");
  QK_string__insert__buflen(ctx, s, 0, s->m_pBuf + s->m_uiCapacity - 1, 1);  // spare capacity too
  EXPECT_EQ(take_error(), "17:");
  QK_string__replace_bytes(ctx, s, s->m_pBuf, 1, "z", 1, 1, 1, nullptr);
  EXPECT_EQ(take_error(), "17:");
  QK_string__replace_bytes(ctx, s, "a", 1, s->m_pBuf + 1, 1, 1, 1, nullptr);
  EXPECT_EQ(take_error(), "17:");
  EXPECT_EQ(text(), "abcdef");
}

TEST_F(String, InsertRemoveAndTheirArgumentChecks) {
  QK_string__append__sz(ctx, s, "held");
  QK_string__insert__sz(ctx, s, 0, "[");
  QK_string__insert__sz(ctx, s, 5, "]");
  QK_string__insert__sz(ctx, s, 2, "--");
  EXPECT_EQ(text(), "[h--eld]");
  QK_string__remove(ctx, s, 2, 2);
  EXPECT_EQ(text(), "[held]");
  QK_string__insert__sz(ctx, s, 3, nullptr);
  QK_string__append__sz(ctx, s, "");
  EXPECT_EQ(take_error(), "ok");

  struct Case {
    std::function<void()> call;
    const char *error;
  } cases[] = {
      {[&] { QK_string__insert__sz(ctx, s, 7, "x"); },
       "2:byte_offset is invalid: (byte_offset <= pThis->m_uiSizeInUse) is false."},
      {[&] { QK_string__insert__buflen(ctx, s, 0, nullptr, 1); }, "2:pBuf is null"},
      {[&] { QK_string__remove(ctx, s, 6, 0); },
       "2:byte_offset is invalid: (byte_offset < pThis->m_uiSizeInUse) is false."},
      {[&] { QK_string__remove(ctx, s, 1, 0xFFFFFFFFu); },
       "2:len is invalid: (byte_offset+len <= pThis->m_uiSizeInUse) is false."},
      {[&] { QK_string__clear(ctx, nullptr); }, "2:pThis is null"},
      {[&] { QK_string__append__sz(ctx, nullptr, "x"); },
       "2:pThis is invalid: (_qk_string__validate(pThis)) is false."},
      {[&] { QK_string__alloc(ctx, nullptr); }, "2:ppNew is null"},
  };
  for (const Case &c : cases) {
    c.call();
    EXPECT_EQ(take_error(), c.error);
  }
  EXPECT_EQ(text(), "[held]");

  QK_string other = *s;  // a corrupted copy: no NUL at its length
  other.m_uiSizeInUse = 2;
  QK_string__append__string(ctx, s, &other);
  EXPECT_EQ(take_error(), "2:pString is invalid: (_qk_string__validate(pString)) is false.");
}

TEST_F(String, ByteFromEnd) {
  QK_uint8 b = 0;
  QK_string__get_byte_from_end(ctx, s, 0, &b);
  EXPECT_EQ(take_error(), "2:ndx is invalid: (ndx < pThis->m_uiSizeInUse) is false.");
  QK_string__append__sz(ctx, s, "abc");
  QK_string__get_byte_from_end(ctx, s, 0, &b);
  EXPECT_EQ(b, 'c');
  QK_string__get_byte_from_end(ctx, s, 2, &b);
  EXPECT_EQ(b, 'a');
  QK_string__get_byte_from_end(ctx, s, 3, &b);
  EXPECT_EQ(take_error(), "2:ndx is invalid: (ndx < pThis->m_uiSizeInUse) is false.");
  QK_string__get_byte_from_end(ctx, s, 0, nullptr);
  EXPECT_EQ(take_error(), "2:pbyteReturned is null");
}

TEST_F(String, FreeKeepSzHandsOverTheBuffer) {
  char *sz = nullptr;
  QK_uint32 len = 0;
  QK_string *none = nullptr;
  QK_string__free_keep_sz(ctx, nullptr, &sz, &len);
  EXPECT_EQ(take_error(), "2:ppThis is null");
  QK_string__free_keep_sz(ctx, &none, &sz, &len);
  EXPECT_EQ(take_error(), "2:*ppThis is null");
  QK_string__free_keep_sz(ctx, &s, nullptr, &len);
  EXPECT_EQ(take_error(), "2:ppsz is null");
  ASSERT_NE(s, nullptr);

  QK_string__append__sz(ctx, s, "kept");
  QK_string__free_keep_sz(ctx, &s, &sz, &len);
  EXPECT_EQ(s, nullptr);
  EXPECT_STREQ(sz, "kept");
  EXPECT_EQ(len, 4u);
  QK_free(ctx, sz);
}

TEST_F(String, ReplaceBytesRules) {
  struct Case {
    const char *start, *find, *repl;
    QK_uint32 count;
    int bAdvance;
    const char *result;
    QK_uint32 replaced;
  } cases[] = {
      {"a{x}b{x}", "{x}", "{x}{x}", 0xFFFFFFFFu, 1, "a{x}{x}b{x}{x}", 2},  // not searched again
      {"aaaa", "aa", "b", 0xFFFFFFFFu, 1, "bb", 2},
      {"aaaa", "aa", "a", 0xFFFFFFFFu, 0, "a", 3},  // without advance the result is rescanned
      {"abab", "ab", "", 1, 1, "ab", 1},
      {"", "a", "b", 0xFFFFFFFFu, 1, "", 0},
      {"xyxy", "xy", "yx", 0xFFFFFFFFu, 1, "yxyx", 2},
  };
  for (const Case &c : cases) {
    QK_uint32 replaced = 99;
    QK_string__sprintf(ctx, s, "%s", c.start);
    QK_string__replace_bytes(ctx, s, c.find, (QK_uint32)strlen(c.find), c.repl, (QK_uint32)strlen(c.repl),
                             c.count, c.bAdvance, &replaced);
    EXPECT_EQ(text(), c.result) << c.start << " " << c.find << " " << c.repl;
    EXPECT_EQ(replaced, c.replaced);
  }
  QK_string__replace_bytes(ctx, s, nullptr, 1, "x", 1, 1, 1, nullptr);
  EXPECT_EQ(take_error(), "2:pBytesToFind is null");
  QK_string__replace_bytes(ctx, s, "x", 0, "x", 1, 1, 1, nullptr);
  EXPECT_EQ(take_error(), "2:lenBytesToFind is invalid: (lenBytesToFind > 0) is false.");
  QK_string__replace_bytes(ctx, s, "x", 1, "x", 1, 0, 1, nullptr);
  EXPECT_EQ(take_error(), "2:count is invalid: (count > 0) is false.");
}

TEST_F(String, ReplaceAllMatchesPythonBytesReplace) {
  auto rows = python_oracle_rows(R"(
import random
r = random.Random(1234)
for _ in range(400):
    alphabet = bytes(r.sample(b'ab\x00\xff', r.randint(1, 4)))
    s = bytes(r.choice(alphabet) for _ in range(r.randint(0, 60)))
    find = bytes(r.choice(alphabet) for _ in range(r.randint(1, 3)))
    repl = bytes(r.choice(alphabet) for _ in range(r.randint(0, 5)))
    print('x' + s.hex(), 'x' + find.hex(), 'x' + repl.hex(), 'x' + s.replace(find, repl).hex(), s.count(find))
)");
  ASSERT_EQ(rows.size(), 400u);
  for (const auto &row : rows) {
    std::string start = oracle_unhex(row[0]), find = oracle_unhex(row[1]), repl = oracle_unhex(row[2]);
    QK_uint32 replaced = 0;
    QK_string__clear(ctx, s);
    QK_string__append__buflen(ctx, s, start.data(), (QK_uint32)start.size());
    QK_string__replace_bytes(ctx, s, find.data(), (QK_uint32)find.size(), repl.data(), (QK_uint32)repl.size(),
                             0xFFFFFFFFu, 1, &replaced);
    ASSERT_EQ(text(), oracle_unhex(row[3])) << row[0] << " " << row[1] << " " << row[2];
    ASSERT_EQ(replaced, std::stoul(row[4]));
  }
  EXPECT_EQ(take_error(), "ok");
}

TEST(Malloc, AllocZeroFillsAndRefusesImpossibleSizes) {
  QK_context *ctx = nullptr;
  ASSERT_EQ(QK_context__alloc(&ctx), QK_OK);
  QK_uint32 *p = nullptr;
  QK_alloc(ctx, 16, sizeof(QK_uint32), &p);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 16; i++) EXPECT_EQ(p[i], 0u);
  QK_free(ctx, p);
  QK_free(ctx, nullptr);

  void *q = nullptr;
  QK_alloc(ctx, 0xFFFFFFFFu, 0xFFFFFFFFu, &q);  // count x size taken in 64 bits
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_MALLOC_FAILED));
  EXPECT_EQ(q, nullptr);
  QK_context__reset_error(ctx);
  QK_alloc(ctx, 1, 1, (void **)nullptr);
  const char *sz = nullptr;
  QK_context__get_message(ctx, &sz);
  EXPECT_STREQ(sz, "ppNew is null");
  EXPECT_EQ(QK_alloc_noctx(1, 1, (void **)nullptr), QK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(QK_alloc_noctx(0xFFFFFFFFu, 0xFFFFFFFFu, &q), QK_ERR_MALLOC_FAILED);
  QK_context__free(ctx);
}

}  // namespace

#include "qk/qk_str_utils.h"

#include <gtest/gtest.h>

#include <string>

#include "context_fixture.h"
#include "python_oracle.h"
#include "qk/qk_malloc.h"

namespace {

using StrUtils = ContextTest;

// Texts around every range edge, checked against Python's arbitrary-precision int().
TEST_F(StrUtils, StrictParsersMatchPythonAtRangeEdges) {
  auto rows = python_oracle_rows(R"(
import random
r = random.Random(3)
edges = [0, 2**31 - 1, -2**31, 2**63 - 1, -2**63, 2**64 - 1, 10**19, 10**20]
values = set()
for e in edges:
    for d in range(-3, 4):
        values.add(e + d)
for _ in range(100):
    values.add(r.randint(-2**65, 2**65))
texts = [str(v) for v in sorted(values)] + ['-0', '007', '-000000000000000000009223372036854775808']
for t in texts:
    v = int(t)
    print(t, int(-2**31 <= v < 2**31), int(-2**63 <= v < 2**63), int(0 <= v < 2**64 and not t.startswith('-')))
)");
  ASSERT_GT(rows.size(), 100u);
  for (const auto &row : rows) {
    const char *text = row[0].c_str();
    std::string expectedBad = "137:" + row[0];
    QK_int32 v32 = 7;
    QK_int32__parse(ctx, &v32, text);
    if (row[1] == "1") {
      EXPECT_EQ(take_error(), "ok") << text;
      EXPECT_EQ(std::to_string(v32), std::to_string(std::stoll(text))) << text;
    } else {
      EXPECT_EQ(take_error(), expectedBad);
      EXPECT_EQ(v32, 7);
    }
    QK_int64 v64 = 7;
    QK_int64__parse(ctx, &v64, text);
    if (row[2] == "1") {
      EXPECT_EQ(take_error(), "ok") << text;
      char buf[QK_INT64_SZ_SIZE];
      QK_int64 back = 0;
      QK_int64__parse(ctx, &back, QK_int64__to_sz(v64, buf));
      EXPECT_EQ(back, v64);
      EXPECT_EQ(v64, std::stoll(text));
    } else {
      EXPECT_EQ(take_error(), expectedBad) << text;
      EXPECT_EQ(v64, 7);
    }
    QK_uint64 vu = 7;
    QK_uint64__parse(ctx, &vu, text);
    if (row[3] == "1") {
      EXPECT_EQ(take_error(), "ok") << text;
      EXPECT_EQ(vu, std::stoull(text));
    } else {
      EXPECT_EQ(take_error(), "137:") << text;
      EXPECT_EQ(vu, 7u);
    }
  }
}

TEST_F(StrUtils, StrictParsersRefuseEverythingButDigits) {
  struct Case {
    const char *text, *error;
  } cases[] = {
      {nullptr, "137:"}, {"", "137:"}, {"-", "137:"}, {"12a", "137:12a"}, {" 1", "137: 1"},
      {"+1", "137:+1"},  {"1 ", "137:1 "}, {"--1", "137:--1"}, {"-a", "137:-a"},
  };
  for (const Case &c : cases) {
    QK_int64 v = 7;
    QK_int64__parse(ctx, &v, c.text);
    EXPECT_EQ(take_error(), c.error) << (c.text ? c.text : "NULL");
    EXPECT_EQ(v, 7);
  }
  QK_int32 v32 = 0;
  QK_int32__parse__escaped(ctx, &v32, "<b>&\"1\"");
  EXPECT_EQ(take_error(), "137:&lt;b&gt;&amp;&quot;1&quot;");
  QK_int32__parse__escaped(ctx, &v32, "-");
  EXPECT_EQ(take_error(), "137:");
  QK_int32__parse__escaped(ctx, &v32, "-12");
  EXPECT_EQ(v32, -12);
  QK_uint64 vu = 0;
  QK_uint64__parse(ctx, &vu, "-1");
  EXPECT_EQ(take_error(), "137:");
}

TEST_F(StrUtils, LenientPrefixParser) {
  struct Case {
    const char *text;
    QK_int64 value;
    size_t used;
  } cases[] = {
      {"  -42abc", -42, 5}, {"x", 0, 0}, {"+7", 7, 2}, {"-", 0, 1}, {"\t5", 0, 0},
      {"99999999999999999999", INT64_MAX, 20}, {"-9223372036854775808", INT64_MIN, 20},
      {"-99999999999999999999", INT64_MIN, 21},
  };
  for (const Case &c : cases) {
    QK_int64 v = 1;
    const char *end = nullptr;
    QK_int64__parse_prefix(ctx, c.text, &v, &end);
    EXPECT_EQ(v, c.value) << c.text;
    EXPECT_EQ((size_t)(end - c.text), c.used) << c.text;
  }
}

TEST_F(StrUtils, DecimalPrinting) {
  char buf[QK_INT64_SZ_SIZE];
  EXPECT_STREQ(QK_int64__to_sz(INT64_MIN, buf), "-9223372036854775808");
  EXPECT_STREQ(QK_int64__to_sz(0, buf), "0");
  EXPECT_STREQ(QK_int64__to_sz(-5, buf), "-5");
  EXPECT_STREQ(QK_uint64__to_sz(UINT64_MAX, buf), "18446744073709551615");
  EXPECT_EQ(QK_int64__to_sz(1, nullptr), nullptr);
}

TEST_F(StrUtils, BoundedFormatting) {
  char buf[4] = "zzz";
  QK_sprintf_buf(ctx, buf, 4, "%s", "abcd");
  EXPECT_EQ(take_error(), "20:");
  EXPECT_STREQ(buf, "");
  QK_sprintf_buf(ctx, buf, 4, "%d", 123);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_STREQ(buf, "123");
  QK_sprintf_buf(ctx, buf, 0, "x");
  EXPECT_EQ(take_error(), "2:lenBuf is invalid: lenBuf>0 is false.");
  QK_sprintf_buf(ctx, nullptr, 4, "x");
  EXPECT_EQ(take_error(), "2:pBuf is null");
  QK_sprintf_buf(ctx, buf, 4, nullptr);
  EXPECT_EQ(take_error(), "2:szFormat is null");

  char small[4];
  auto cut = [&](const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    QK_vsprintf_buf(ctx, small, sizeof small, fmt, args);
    va_end(args);
  };
  cut("%s", "abcd");
  EXPECT_EQ(take_error(), "ok");
  EXPECT_STREQ(small, "abc");

  std::string longText(9000, 'm');
  char *sz = QK_sz__format_alloc("%s-%d", longText.c_str(), 5);
  ASSERT_NE(sz, nullptr);
  EXPECT_EQ(std::string(sz), longText + "-5");
  QK_free(ctx, sz);
  EXPECT_EQ(QK_sz__format_alloc(nullptr), nullptr);
}

TEST_F(StrUtils, CopyAndDuplicate) {
  char dest[6];
  memset(dest, 'x', sizeof dest);
  QK_strcpy(ctx, dest, 4, "abcdef");
  EXPECT_EQ(take_error(), "20:");
  EXPECT_EQ(std::string(dest, 5), std::string("abc\0x", 5));
  QK_strcpy(ctx, dest, 6, "ab");
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(std::string(dest, 6), std::string("ab\0\0\0\0", 6));
  QK_strcpy(ctx, dest, 0, "ab");
  EXPECT_EQ(take_error(), "2:lenDest is invalid: lenDest>=1 is false.");
  QK_strcpy(ctx, nullptr, 4, "ab");
  EXPECT_EQ(take_error(), "2:szDest is null");
  QK_strcpy(ctx, dest, 4, nullptr);
  EXPECT_EQ(take_error(), "2:szSrc is null");

  char *copy = nullptr;
  QK_strdup(ctx, "dup", &copy);
  EXPECT_STREQ(copy, "dup");
  QK_free(ctx, copy);
  QK_strdup(ctx, nullptr, &copy);
  EXPECT_EQ(take_error(), "2:szSrc is null");
  QK_strdup(ctx, "x", nullptr);
  EXPECT_EQ(take_error(), "2:pszCopy is null");
  copy = QK_strdup_noctx("n");
  EXPECT_STREQ(copy, "n");
  QK_free_noctx(copy);
  EXPECT_EQ(QK_strdup_noctx(nullptr), nullptr);
}

TEST_F(StrUtils, Compares) {
  EXPECT_EQ(QK_stricmp("Hello", "hELLO"), 0);
  EXPECT_LT(QK_stricmp("abc", "ABD"), 0);
  EXPECT_GT(QK_stricmp("abc", "AB"), 0);
  EXPECT_NE(QK_stricmp("\xc3\x89", "\xc3\xa9"), 0);  // only ASCII letters fold
  EXPECT_EQ(QK_strnicmp("abcX", "ABCy", 3), 0);
  EXPECT_NE(QK_strnicmp("abcX", "ABCy", 4), 0);
  EXPECT_EQ(QK_memicmp("a\0B", "A\0b", 3), 0);
  EXPECT_NE(QK_memicmp("a\0B", "A\0c", 3), 0);  // does not stop at the NUL
  EXPECT_EQ(QK_strcmp_null(nullptr, nullptr), 0);
  EXPECT_EQ(QK_strcmp_null(nullptr, ""), -1);
  EXPECT_EQ(QK_strcmp_null("", nullptr), 1);
  EXPECT_EQ(QK_strcmp_null("\xff", "a"), 1);  // unsigned bytes
  EXPECT_EQ(QK_strcmp_null("a", "b"), -1);
}

TEST_F(StrUtils, SpecialTexts) {
  char *out = reinterpret_cast<char *>(1);
  QK_sz__double_single_quotes(ctx, "it's 'x'", &out);
  EXPECT_STREQ(out, "it''s ''x''");
  QK_free(ctx, out);
  for (const char *none : {"plain", "", (const char *)nullptr}) {
    out = reinterpret_cast<char *>(1);
    QK_sz__double_single_quotes(ctx, none, &out);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(take_error(), "ok");

  struct PathCase {
    const char *path, *trimmed;
  } paths[] = {
      {"C:\\build\\src\\core\\qk\\a.c", "src\\core\\qk\\a.c"},
      {"/home/x/src/core/a.c", "src/core/a.c"},
      {"/x/mysrc/src/a.c", "src/a.c"},
      {"/a\\src\\b/src/c.c", "src/c.c"},  // slashes are tried first
      {"..\\..\\x.c", "x.c"},
      {"./src/a.c", "src/a.c"},
      {"srcx/a.c", "srcx/a.c"},
  };
  for (const PathCase &c : paths) EXPECT_STREQ(QK_sz__trim_source_path(c.path), c.trimmed);
}

TEST_F(StrUtils, SanitizeUtf8KeepsStructureAndLength) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"ok \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "ok \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"end\xc3", "end?"},
      {"\xe2(\xa1x", "?(?x"},  // the bytes after a broken lead byte are looked at again
      {"\xc0\xaf\xc1\xbf", "????"},
      {"\xf5\x80\xff", "???"},
      {"\xe0\x80\x80\xed\xa0\x80", "\xe0\x80\x80\xed\xa0\x80"},  // only the structure is tested
      {"\xf0\x9f\x98", "???"},
  };
  for (Case &c : cases) {
    std::string text = c.in;
    QK_sz__sanitize_utf8(ctx, text.data());
    EXPECT_EQ(text, c.out);
  }
  QK_sz__sanitize_utf8(ctx, nullptr);
  EXPECT_EQ(take_error(), "2:p is null");
}

}  // namespace

#include "qk/qk_utf8.h"

#include <gtest/gtest.h>

#include <string>

#include "context_fixture.h"
#include "python_oracle.h"
#include "qk/qk_malloc.h"

namespace {

struct Utf8 : ContextTest {

  std::u16string to_wide(const std::string &bytes) {
    char16_t *w = nullptr;
    QK_uint32 units = 0;
    QK_utf8__to_wide__buflen(ctx, bytes.data(), (QK_uint32)bytes.size(), &w, &units);
    EXPECT_FALSE(QK_context__has_error(ctx));
    EXPECT_EQ(w[units - 1], 0);
    std::u16string r(w, units - 1);
    QK_free(ctx, w);
    return r;
  }
  std::string from_wide(const std::u16string &units) {
    char *sz = nullptr;
    QK_uint32 bytes = 0;
    QK_utf8__from_wide__buflen(ctx, units.data(), (QK_uint32)units.size(), &sz, &bytes);
    EXPECT_FALSE(QK_context__has_error(ctx));
    std::string r(sz, bytes);
    QK_free(ctx, sz);
    return r;
  }
};

std::u16string units_from_le(const std::string &le) {
  std::u16string r;
  for (size_t i = 0; i + 1 < le.size(); i += 2) r += (char16_t)((QK_uint8)le[i] | (QK_uint8)le[i + 1] << 8);
  return r;
}

// Random byte strings biased towards lead and continuation bytes, valid characters of every
// length and the classic traps (overlong forms, surrogates, values past U+10FFFF, truncation).
TEST_F(Utf8, ToWideMatchesPythonReplaceDecoding) {
  auto rows = python_oracle_rows(R"(
import random
r = random.Random(99)
pieces = [b'a', b'\x00', 'é'.encode(), '€'.encode(), '😀'.encode(), '\U0010ffff'.encode(),
          b'\x80', b'\xbf', b'\xc0\xaf', b'\xc1', b'\xc2', b'\xe0\x80\x80', b'\xe0\xa0', b'\xed\xa0\x80',
          b'\xef\xbf', b'\xf0\x8f\xbf\xbf', b'\xf0\x9f\x98', b'\xf4\x90\x80\x80', b'\xf5', b'\xff']
for _ in range(500):
    if r.random() < 0.3:
        b = bytes(r.randrange(256) for _ in range(r.randint(0, 24)))
    else:
        b = b''.join(r.choice(pieces) for _ in range(r.randint(0, 12)))
    print('x' + b.hex(), 'x' + b.decode('utf-8', 'replace').encode('utf-16-le').hex())
)");
  ASSERT_EQ(rows.size(), 500u);
  for (const auto &row : rows) {
    std::string bytes = oracle_unhex(row[0]);
    ASSERT_EQ(to_wide(bytes), units_from_le(oracle_unhex(row[1]))) << row[0];
  }
}

// Well-formed exactly when Python's strict decoder takes the bytes.
TEST_F(Utf8, WellFormedMatchesPythonStrictDecoding) {
  auto rows = python_oracle_rows(R"(
import random
r = random.Random(7)
pieces = [b'a', b'\x00', '\u00e9'.encode(), '\u20ac'.encode(), '\U0001f600'.encode(), '\U0010ffff'.encode(),
          '\ufffd'.encode(), b'\x80', b'\xc0\xaf', b'\xc2', b'\xe0\x80\x80', b'\xed\xa0\x80', b'\xef\xbf',
          b'\xf0\x8f\xbf\xbf', b'\xf4\x90\x80\x80', b'\xf5', b'\xff']
for _ in range(500):
    b = b''.join(r.choice(pieces) for _ in range(r.randint(0, 6)))
    try:
        b.decode('utf-8')
        ok = 1
    except UnicodeDecodeError:
        ok = 0
    print('x' + b.hex(), ok)
)");
  ASSERT_EQ(rows.size(), 500u);
  for (const auto &row : rows) {
    std::string bytes = oracle_unhex(row[0]);
    EXPECT_EQ(QK_utf8__is_well_formed(bytes.data(), (QK_uint32)bytes.size()), std::stoi(row[1])) << row[0];
  }
  EXPECT_EQ(QK_utf8__is_well_formed(nullptr, 0), 1);
}

TEST_F(Utf8, FromWideMatchesPythonAndReplacesLoneSurrogates) {
  auto rows = python_oracle_rows(R"(
import random
r = random.Random(7)
units = [0x41, 0xe9, 0x20ac, 0xfffd, 0xd83d, 0xde00, 0xdbff, 0xdfff, 0xd800, 0xdc00, 0x7ff, 0x800]
for _ in range(300):
    u = [r.choice(units) for _ in range(r.randint(0, 10))]
    le = b''.join(x.to_bytes(2, 'little') for x in u)
    print('x' + le.hex(), 'x' + le.decode('utf-16-le', 'replace').encode('utf-8').hex())
)");
  ASSERT_EQ(rows.size(), 300u);
  for (const auto &row : rows) ASSERT_EQ(from_wide(units_from_le(oracle_unhex(row[0]))), oracle_unhex(row[1])) << row[0];
}

TEST_F(Utf8, NulTerminatedFormsAndArguments) {
  char16_t *w = reinterpret_cast<char16_t *>(1);
  QK_uint32 units = 0;
  QK_utf8__to_wide(ctx, "h\xc3\xa9", &w, &units);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(units, 3u);  // counts the NUL
  EXPECT_EQ(std::u16string(w), u"hé");
  char *sz = nullptr;
  QK_uint32 bytes = 0;
  QK_utf8__from_wide(ctx, w, &sz, &bytes);
  EXPECT_STREQ(sz, "h\xc3\xa9");
  EXPECT_EQ(bytes, 3u);
  QK_free(ctx, w);
  QK_free(ctx, sz);

  w = reinterpret_cast<char16_t *>(1);
  QK_utf8__to_wide(ctx, nullptr, &w, &units);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(take_error(), "2:szUtf8 is null");
  QK_utf8__to_wide(ctx, "x", nullptr, &units);
  EXPECT_EQ(take_error(), "2:ppBufResult is null");
}

}  // namespace

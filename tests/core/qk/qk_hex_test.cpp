#include "qk/qk_hex.h"

#include <gtest/gtest.h>

#include <string>

#include "context_fixture.h"
#include "python_oracle.h"

namespace {

using Hex = ContextTest;

TEST_F(Hex, EncodeAndDecodeMatchPython) {
  auto rows = python_oracle_rows(R"(
import random
r = random.Random(5)
for n in list(range(0, 40)) + [255, 256, 1000]:
    b = bytes(r.randrange(256) for _ in range(n))
    print('x' + b.hex(), b.hex() or '-', b.hex().upper() or '-')
)");
  ASSERT_EQ(rows.size(), 43u);
  for (const auto &row : rows) {
    std::string bytes = oracle_unhex(row[0]);
    std::string expected = row[1] == "-" ? "" : row[1];
    std::string text(2 * bytes.size() + 1, '?');
    char *end = QK_hex__encode_buflen(text.data(), bytes.data(), (QK_uint32)bytes.size());
    EXPECT_EQ(end, text.data() + 2 * bytes.size());
    EXPECT_EQ(std::string(text.c_str()), expected);

    std::string upper = row[2] == "-" ? "" : row[2];
    std::string decoded(bytes.size(), '\0');
    QK_uint32 count = 99;
    QK_hex__decode(ctx, upper.c_str(), (QK_uint32)upper.size(), (QK_uint8 *)decoded.data(), (QK_uint32)decoded.size(),
                   &count);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(count, bytes.size());
    EXPECT_EQ(decoded, bytes);
  }
}

TEST_F(Hex, DecodeRefusals) {
  QK_uint8 out[16] = {};
  QK_uint32 count = 0;
  QK_hex__decode(ctx, "AbCd", 4, out, 2, &count);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[1], 0xCD);
  QK_hex__decode(ctx, "abc", 3, out, 2, &count);
  EXPECT_EQ(take_error(), "2:lenIn is invalid: (lenIn % 2) == 0 is false.");
  QK_hex__decode(ctx, "abcdef", 6, out, 2, &count);
  EXPECT_EQ(take_error(), "2:lenByteBuf is invalid: kLimit <= lenByteBuf is false.");
  QK_hex__decode(ctx, "11zz", 4, out, 2, &count);
  EXPECT_EQ(take_error(), "2:c is invalid: (0) is false.");
  EXPECT_EQ(out[0], 0x11);  // bytes before the bad digit are written
  QK_hex__decode(ctx, "1g", 2, out, 1, &count);
  EXPECT_EQ(take_error(), "2:c is invalid: (0) is false.");

  const char *k32 = "000102030405060708090a0b0c0d0e0f";
  QK_hex__decode_16(ctx, k32, out);
  EXPECT_EQ(take_error(), "ok");
  for (int i = 0; i < 16; i++) EXPECT_EQ(out[i], i);
  char text[33];
  EXPECT_STREQ(QK_hex__encode_16(out, text), k32);
  // A short text (it comes from a request) must be refused, never read past its end.
  std::string shortText(k32, 31);
  QK_hex__decode_16(ctx, shortText.c_str(), out);
  EXPECT_EQ(take_error(), "2:szHex is invalid: strnlen(szHex, 32) == 32 is false.");
}

TEST_F(Hex, GuidTextMatchesPythonUuidBytesLe) {
  auto rows = python_oracle_rows(R"(
import random, uuid
r = random.Random(11)
cases = [bytes(range(16)), bytes(16), bytes([255] * 16)] + [bytes(r.randrange(256) for _ in range(16)) for _ in range(50)]
for b in cases:
    print('x' + b.hex(), str(uuid.UUID(bytes_le=b)))
)");
  ASSERT_EQ(rows.size(), 53u);
  EXPECT_EQ(rows[0][1], "03020100-0504-0706-0809-0a0b0c0d0e0f");
  for (const auto &row : rows) {
    std::string bytes = oracle_unhex(row[0]);
    char text[QK_GUID_SZ_SIZE];
    EXPECT_STREQ(QK_guid__to_sz((const QK_uint8 *)bytes.data(), text), row[1].c_str());
    QK_uint8 back[16] = {};
    std::string upper = row[1];
    for (char &c : upper) c = (char)toupper(c);
    QK_guid__from_sz(ctx, upper.c_str(), back);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(std::string((char *)back, 16), bytes);
  }
}

TEST_F(Hex, GuidFromTextIgnoresSeparatorsButNeedsFullLength) {
  QK_uint8 guid[16] = {1};
  QK_guid__from_sz(ctx, "03020100x0504y0706z0809_0a0b0c0d0e0f", guid);
  EXPECT_EQ(take_error(), "ok");
  for (int i = 0; i < 16; i++) EXPECT_EQ(guid[i], i);

  QK_guid__from_sz(ctx, "03020100-0504-0706-0809-0a0b0c0d0e0", guid);
  EXPECT_EQ(take_error(), "131:");
  QK_guid__from_sz(ctx, "03020100-0504-0706-0809-0a0b0c0d0eXf", guid);
  EXPECT_EQ(take_error(), "2:c is invalid: (0) is false.");
  EXPECT_EQ(guid[15], 15);  // a refused text leaves the GUID as it was

  EXPECT_FALSE(QK_guid__is_zero(guid));
  QK_guid__clear(guid);
  EXPECT_TRUE(QK_guid__is_zero(guid));
  char text[QK_GUID_SZ_SIZE];
  memset(text, 'x', sizeof text);
  QK_guid__clear_sz(text);
  for (char c : text) EXPECT_EQ(c, 0);
  QK_guid__clear_sz(nullptr);
}

}  // namespace

// The wire protocol: baseline strings, the short baselines of "x" and "pending", the answers
// to protocol codes, and response bodies checked by outside decoders (python's zlib,
// xdelta3).
#include <gtest/gtest.h>

#include <string>

#include "file_fixture.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_respond_protocol.h"

namespace {

struct ProtocolTest : FileTest {
  // Every field of a baseline as one text, or the pending error.
  std::string describe(const tav_baseline &b) {
    char hex[33];
    std::string r = std::to_string(b.generation) + "g" + std::to_string(b.generation_id) + " " +
                    std::to_string(b.txid) + "," + QK_hex__encode_16(b.rstamp, hex) + "," +
                    std::to_string(b.rebaseid) + "," + std::to_string(b.tx_count) + "," +
                    std::to_string(b.schema_txid) + " o" + std::to_string(b.older_txid) + "," +
                    std::to_string(b.older_count);
    if (b.missing_txids) {
      r += " m";
      for (QK_uint32 i = 0; i < QK_varray__count_noctx(b.missing_txids); i++) {
        QK_int64 v = 0;
        QK_varray__get__int64(ctx, b.missing_txids, i, &v);
        r += (i ? "," : "") + std::to_string(v);
      }
    }
    if (b.discard_tables) {
      QK_uint32 n = 0;
      QK_nullhash__count(ctx, b.discard_tables, &n);
      r += " F";
      for (QK_uint32 i = 0; i < n; i++) {
        const char *key = nullptr;
        QK_nullhash__get_nth(ctx, b.discard_tables, i, &key);
        r += (i ? "," : "") + std::string("[") + key + "]";
      }
    }
    return r;
  }
  std::string parse(const char *from) {
    tav_baseline b{};
    tav_respond__parse_baseline(ctx, from, &b);
    std::string err = take_error();
    std::string r = err != "ok" ? err : describe(b);
    if (err != "ok") {
      EXPECT_EQ(b.missing_txids, nullptr);
      EXPECT_EQ(b.discard_tables, nullptr);
    }
    tav_baseline__free_collections(ctx, &b);
    return r;
  }
};

const char *const kStamp = "0123456789abcdef0123456789ABCDEF";
const std::string kStampLower = "0123456789abcdef0123456789abcdef";
const std::string kZeros(32, '0');

TEST_F(ProtocolTest, BaselineStringsOfBothForms) {
  const std::string s = kStamp;
  const std::string bad = "400:invalid baseline \"from\" string";
  struct Case {
    std::string from, expected;
  } cases[] = {
      {"12g34", "12g34 0," + kZeros + ",0,0,0 o0,0"},
      {" +12g-3", "12g-3 0," + kZeros + ",0,0,0 o0,0"},
      {"g", "0g0 0," + kZeros + ",0,0,0 o0,0"},  // integers without digits read 0
      {"12g34x", bad},
      {"5," + s + ",2,9,3", "-1g-1 5," + kStampLower + ",2,9,3 o0,0"},
      {"5," + s + ",2,9,3m7m8o4,2", "-1g-1 5," + kStampLower + ",2,9,3 o4,2 m7,8"},
      {"5," + s + ",2,9,3;t7,8", "-1g-1 5," + kStampLower + ",2,7,3 o0,0 m7,8"},
      {"5," + s + ",2,9,3o4,2;t7", "-1g-1 5," + kStampLower + ",2,8,3 o4,2 m7"},
      {"5," + s + ",2,9,3;F101,,202,101", "-1g-1 5," + kStampLower + ",2,9,3 o0,0 F[101],[],[202]"},
      {"5," + s + ",2,9,3;F", "-1g-1 5," + kStampLower + ",2,9,3 o0,0 F[]"},
      {"5," + s + ",2,9,3m7;t8", bad},   // "m" items and a ";t" list
      {"5," + s + ",2,9,3;t7x", bad},
      {"5," + s + ",2,9,3;x", bad},
      {"5," + s + ",2,9,3;", bad},
      {"5," + s + ",2,9,3o4", bad},
      {"5," + s + ",2,9,3x", bad},
      {"5," + s + ",2,9", bad},
      {"5," + s.substr(1) + ",2,9,3", bad},          // 31 digits
      {"5," + s + "0,2,9,3", bad},                    // 33 digits
      {"5," + s.substr(0, 31) + "g,2,9,3", bad},
      {"5", bad},
      {"", bad},
  };
  for (const auto &c : cases) EXPECT_EQ(parse(c.from.c_str()), c.expected) << c.from;
}

// Txids, generations and counts are bounded before anything adds to them or counts them down;
// rebase ids and generation ids are random 64-bit values and pass whole.
TEST_F(ProtocolTest, BaselineNumbersOutOfRange) {
  const std::string s = kStamp;
  const std::string big = "1000000000000000000", max = "999999999999999999";
  const std::string range = "104:number out of range in baseline \"from\" string";
  struct Case {
    std::string from, expected;
  } cases[] = {
      {"9223372036854775807," + s + ",0,0,0", range},
      {big + "," + s + ",0,0,0", range},
      {"-" + big + "," + s + ",0,0,0", range},
      {max + "," + s + ",0,0,0", "-1g-1 " + max + "," + kStampLower + ",0,0,0 o0,0"},
      {"5," + s + ",0,-9223372036854775808,0;t1", range},
      {"5," + s + ",0,0,99999999999999999999", range},
      {"5," + s + ",0,0,0m" + big, range},
      {"5," + s + ",0,0,0;t1," + big, range},
      {"5," + s + ",0,0,0o" + big + ",1", range},
      {"5," + s + ",0,0,0o1," + big, range},
      {"9223372036854775807g1", range},
      // A list longer than the count drives it down, never past the bound.
      {"5," + s + ",0,-" + max + ",0;t1,2", "-1g-1 5," + kStampLower + ",0,-" + max + ",0 o0,0 m1,2"},
      {"5," + s + ",-9223372036854775808,1,2",
       "-1g-1 5," + kStampLower + ",-9223372036854775808,1,2 o0,0"},
      {"7g-9223372036854775808", "7g-9223372036854775808 0," + kZeros + ",0,0,0 o0,0"},
  };
  for (const auto &c : cases) EXPECT_EQ(parse(c.from.c_str()), c.expected) << c.from;
}

TEST_F(ProtocolTest, ShortBaselinesOfXAndPending) {
  struct Case {
    const char *key;
    std::string value, expected;  // the field read, the 400 text, or the error
  } cases[] = {
      {"pull x", "0@5", kZeros + "@5"},
      {"pull x", "0@", TAV_PROTO_TEXT_X_TRIVIAL},  // two characters: too short to read
      {"pull x", "0@x", "137:"},
      {"pull x", std::string(kStamp) + "@7", kStampLower + "@7"},
      {"pull x", std::string(kStamp) + "@x", "137:"},
      {"pull x", "05", TAV_PROTO_TEXT_X_NO_AT},
      {"pull x", "5@", TAV_PROTO_TEXT_X_TRIVIAL},
      {"pull x", std::string(kStamp).substr(0, 31) + "@", TAV_PROTO_TEXT_X_TOO_SHORT},
      {"pull x", std::string(kStamp) + "1@7", TAV_PROTO_TEXT_X_NOT_128_BIT},
      {"pull x", "0123456789abcdeG0123456789abcdef@7", TAV_PROTO_TEXT_X_NOT_HEX},
      {"push x", "42", "txid 42"},
      {"push x", "abc", TAV_PROTO_TEXT_PUSH_X_NOT_INTEGER},
      {"push x", "", TAV_PROTO_TEXT_PUSH_X_NOT_INTEGER},
      {"push x", "9223372036854775807", TAV_PROTO_TEXT_X_OUT_OF_RANGE},
      {"push x", "-1", "txid -1"},
      {"first", "1", "txid 0"},
      {"first", "-9223372036854775808", TAV_PROTO_TEXT_FIRST_OUT_OF_RANGE},
      {"first", "9223372036854775807", TAV_PROTO_TEXT_FIRST_OUT_OF_RANGE},
      {"first", "x", "137:"},
      {"pv", "6", "pv 6"},
      {"pv", "2", "pv 2"},
      {"pv", "0", TAV_PROTO_TEXT_PV_UNSUPPORTED},
      {"pv", "1", TAV_PROTO_TEXT_PV_UNSUPPORTED},
      {"pv", "7", TAV_PROTO_TEXT_PV_UNSUPPORTED},
      {"pv", "2147483647", TAV_PROTO_TEXT_PV_UNSUPPORTED},
      {"pv", "4294967298", TAV_PROTO_TEXT_PV_UNSUPPORTED},  // 2 in its low 32 bits
      {"pv", "-9223372036854775808", TAV_PROTO_TEXT_PV_UNSUPPORTED},
      {"pv", "five", "137:"},
      {"pending", kStamp, kStampLower},
      {"pending", std::string(kStamp) + "zz", kStampLower},  // only the first 32 count
      {"pending", "0123", TAV_PROTO_TEXT_PENDING_NOT_HEX},
      {"pending", "0123456789abcdef0123456789abcdeZ", TAV_PROTO_TEXT_PENDING_NOT_HEX},
  };
  for (const auto &c : cases) {
    tav_baseline b{};
    QK_uint8 pending[16] = {1};
    const char *bad = nullptr;
    std::string key = c.key;
    if (key == "pull x") tav_respond__read_pull_x(ctx, c.value.c_str(), &b, &bad);
    if (key == "push x") tav_respond__read_push_x(ctx, c.value.c_str(), &b, &bad);
    if (key == "first") tav_respond__read_pull_first(ctx, c.value.c_str(), &b, &bad);
    int pv = 0;
    if (key == "pv") tav_respond__read_pv(ctx, c.value.c_str(), &pv, &bad);
    if (key == "pending") tav_respond__read_pending(ctx, c.value.c_str(), pending, &bad);
    std::string err = take_error();
    char hex[33];
    std::string got = err != "ok" ? err.substr(0, 4)
                      : bad       ? bad
                      : key == "push x" || key == "first" ? "txid " + std::to_string(b.txid)
                      : key == "pv"      ? "pv " + std::to_string(pv)
                      : key == "pending" ? std::string(QK_hex__encode_16(pending, hex))
                                         : std::string(QK_hex__encode_16(b.rstamp, hex)) + "@" + std::to_string(b.rebaseid);
    EXPECT_EQ(got, c.expected) << c.key << " " << c.value;
  }
}

TEST_F(ProtocolTest, ProtocolCodesToStatusHeaderAndBody) {
  struct Case {
    int push, code, pv;
    const char *message;
    std::string expected;  // "status|header|body", body "-" for none
  } cases[] = {
      {0, 968, 5, nullptr, "403||-"},
      {1, 968, 5, "ignored", "403||-"},
      {0, 4552, 5, nullptr, "400|4552|dbfile not found: demo"},
      {0, 4808, 5, nullptr, std::string("500|4808|") + TAV_PROTO_TEXT_BUSY},
      {1, 4808, 5, nullptr, std::string("500|4808|") + TAV_PROTO_TEXT_BUSY},
      {0, 5576, 5, "detail", std::string("500|5576|") + TAV_PROTO_TEXT_CONFIGURATION},
      {0, 5832, 5, nullptr, std::string("500|5832|") + TAV_PROTO_TEXT_PURGED},
      {0, 5832, 4, nullptr, std::string("500|3784|") + TAV_PROTO_TEXT_PURGED},
      {1, 5832, 5, nullptr, std::string("406|5832|") + TAV_PROTO_TEXT_PURGED},
      {1, 5832, 4, nullptr, std::string("406|3784|") + TAV_PROTO_TEXT_PURGED},
      {1, 5832, 6, "purged here", "406|5832|purged here"},
      {1, 3784, 4, nullptr, "406|3784|"},
      {1, 3016, 6, "Violation of UNIQUE KEY", "406|3016|Violation of UNIQUE KEY"},
      {1, 4296, 6, "@968", "406|4296|@968"},
  };
  for (const auto &c : cases) {
    int status = 0;
    QK_vhash *headers = nullptr;
    char *body = nullptr;
    tav_respond__answer_protocol_code(ctx, c.push, c.code, c.pv, "demo", c.message, &status, &headers, &body);
    ASSERT_EQ(take_error(), "ok");
    const char *header = "";
    if (headers) {
      QK_uint32 n = 0;
      QK_vhash__count(ctx, headers, &n);
      EXPECT_EQ(n, 1u);
      QK_vhash__get__sz(ctx, headers, TAV_PROTO_ERROR_CODE_HEADER, &header);
    }
    EXPECT_EQ(std::to_string(status) + "|" + header + "|" + (body ? body : "-"), c.expected)
        << c.push << " " << c.code << " " << c.pv;
    QK_vhash__free(ctx, headers);
    QK_free(ctx, body);
  }
}

TEST_F(ProtocolTest, ResponseBodiesDecodeWithOutsideTools) {
  // A source and a target that share most bytes, as an upload and its follow-up do.
  std::string source, target;
  for (int i = 0; i < 20000; i++) source += "row " + std::to_string(i * 7919 % 10007) + "\n";
  target = source.substr(0, 90000) + "changed rows\n" + source.substr(100000) + "added\n";
  write_file(path("source"), source);
  write_file(path("target"), target);
  const std::string inflate = "/usr/bin/python3 -c \"import sys,zlib; sys.stdout.buffer.write(zlib.decompress("
                              "open(sys.argv[1],'rb').read()))\" ";

  tav_pkg response = {nullptr, nullptr, nullptr};
  tav_respond__compress_response(ctx, dir.c_str(), path("target").c_str(), &response);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(sh(inflate + response.path + " | cmp - " + path("target") + " && echo same"), "same");
  tav_pkg__close(ctx, &response);

  tav_respond__write_delta_response(ctx, dir.c_str(), path("source").c_str(), path("target").c_str(), &response);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(sh(inflate + response.path + " > " + path("delta") + " && xdelta3 -d -s " + path("source") + " " +
               path("delta") + " " + path("decoded") + " && cmp " + path("decoded") + " " + path("target") +
               " && echo same"),
            "same");
  sh("rm " + path("delta") + " " + path("decoded"));
  tav_pkg__close(ctx, &response);

  tav_respond__write_rebased_response(ctx, dir.c_str(), &response);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(sh("od -An -c " + std::string(response.path) + " | tr -s ' '"), " ( r e b a s e d )");
  tav_pkg__close(ctx, &response);
  // the work files are gone: only the two inputs stay
  EXPECT_EQ(sh("ls " + dir), "source\ntarget");

  tav_respond__write_delta_response(ctx, dir.c_str(), path("missing").c_str(), path("target").c_str(), &response);
  EXPECT_NE(take_error(), "ok");
  EXPECT_EQ(response.path, nullptr);
  EXPECT_EQ(sh("ls " + dir), "source\ntarget");
}

}  // namespace

#include "qk/qk_jsonparser.h"
#include "qk/qk_jsonwriter.h"

#include <gtest/gtest.h>

#include <math.h>

#include <string>
#include <vector>

#include "context_fixture.h"
#include "python_oracle.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

namespace {

std::string hex(const std::string &s) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "x";
  for (unsigned char c : s) out += digits[c >> 4], out += digits[c & 15];
  return out;
}

struct Json : ContextTest {
  QK_string *out = nullptr;
  void SetUp() override {
    ContextTest::SetUp();
    QK_string__alloc(ctx, &out);
  }
  void TearDown() override {
    QK_string__free(ctx, out);
    ContextTest::TearDown();
  }
  // The compact (or pretty) text of what the reader builds, or "code:message" of its error.
  std::string read(const std::string &text, int bPretty = 0) {
    QK_vhash *pvh = nullptr;
    QK_varray *pva = nullptr;
    QK_jsonwriter *w = nullptr;
    QK_jsonparser__build(ctx, text.data(), text.size(), &pvh, &pva);
    if (QK_context__has_error(ctx)) return take_error();
    QK_string__clear(ctx, out);
    if (bPretty) QK_jsonwriter__alloc__pretty(ctx, &w, out); else QK_jsonwriter__alloc(ctx, &w, out);
    if (pvh) QK_vhash__write_json(ctx, pvh, w);
    if (pva) QK_varray__write_json(ctx, pva, w);
    QK_jsonwriter__free(ctx, w);
    QK_vhash__free(ctx, pvh);
    QK_varray__free(ctx, pva);
    std::string err = take_error();
    return err == "ok" ? std::string(QK_string__sz(out)) : "writer " + err;
  }
  std::string written() { return std::string(QK_string__sz(out), QK_string__length_in_bytes(out)); }
};

TEST_F(Json, ReaderAcceptsAndRefuses) {
  struct { std::string text, expected; } cases[] = {
      {"   ", "1:"},
      {"5", "45:"},
      {"\"s\"", "45:"},
      {"{\"a\":1,}", "{\"a\":1}"},
      {"[1,]", "[1]"},
      {"[,]", "45:"},
      {"[1,,]", "45:"},
      {"{,}", "45:"},
      {"{\"a\":1,,}", "45:"},
      {"{\"a\":}", "45:"},
      {"{\"a\" 1}", "45:"},
      {"{1:1}", "45:"},
      {"[\"a\":1]", "45:"},
      {"{]", "45:"},
      {"[}", "45:"},
      {"{} x", "45:"},
      {"{}{}", "45:"},
      {"/* lead */ {} /* trail */", "{}"},
      {"{/*1*/\"a\"/*2*/:/*3*/1/*4*/,/*5*/\"b\":[/*6*/2/*7*/,/*8*/]/*9*/}", "{\"a\":1,\"b\":[2]}"},
      {"{\"a\":1 // no\n}", "45:"},
      {"{\"a\":1 /* open", "1:"},
      {"{\"a\":1 /", "1:"},
      {"[\"\t\"]", "45:"},
      {"[\"\x01\"]", "45:"},
      {"[1,\x01]", "45:"},
      {"[\"\\t\\n\\r\\b\\f\\\"\\\\\\/\"]", "[\"\\t\\n\\r\\u0008\\u000c\\\"\\\\/\"]"},
      {"[\"\\x\"]", "45:"},
      {"[\"\\u00e9\\u20AC\\uD83D\\uDE00\"]", "[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"]"},
      {"[\"\\uDE00\"]", "45:"},
      {"[\"\\uD83D\"]", "45:"},
      {"[\"\\uD83Dx\"]", "45:"},
      {"[\"\\uD83D\\u0041\"]", "45:"},
      {"[\"\\u12G4\"]", "45:"},
      {"[\"\\u0000\"]", "45:"},  // would cut the text short
      {"[\"\xff\xfe\"]", "[\"\xff\xfe\"]"},
      {"[1.5,1e3,1.,-0,0.5E-1,1E+2,-2.5e-3]", "[1.500000,1000.000000,1.000000,0,0.050000,100.000000,-0.002500]"},
      {"[0e1]", "45:"},
      {"[01]", "45:"},
      {"[1.e5]", "45:"},
      {"[-]", "45:"},
      {"[-", "1:"},
      {"[+1]", "45:"},
      {"[.5]", "45:"},
      {"[1e]", "45:"},
      {"[1e+]", "45:"},
      {"[0x1]", "45:"},
      {"[2147483647,2147483648,-2147483648,-2147483649]", "[2147483647,\"2147483648\",-2147483648,\"-2147483649\"]"},
      {"[9223372036854775807,-9223372036854775808]", "[\"9223372036854775807\",\"-9223372036854775808\"]"},
      {"[9223372036854775808]", "45:"},  // would wrap
      {"[-9223372036854775809]", "45:"},
      {"[99999999999999999999999]", "45:"},
      {"[1e400]", "45:"},
      {"[-1e-400]", "[-0.000000]"},
      {"[1 /**/]", "[1]"},
      {"[1.5/**/]", "[1.500000]"},
      {"[1./**/]", "45:"},
      {"[1e5/**/]", "45:"},
      {"[true,false,null]", "[true,false,null]"},
      {"[tru]", "45:"},
      {"[tru", "1:"},
      {"[True]", "45:"},
      {"[nulll]", "45:"},
      {"{\"a\":1", "1:"},
      {"{\"a\"", "1:"},
      {"[\"abc", "1:"},
      {"{", "1:"},
      {"{\"a\":1,\"a\":2}", "46:a"},
      {"{\"a\":1,\"a\":{}}", "46:a"},
      {"{\"a\":1,\"a\":[1]}", "46:a"},
      {"{\"\":1,\"\\u0041\":2,\"A\":3}", "46:A"},
      {"{\"" + std::string(256, 'k') + "\":1}", "{\"" + std::string(256, 'k') + "\":1}"},
      {"{\"" + std::string(257, 'k') + "\":1}", "20:"},
      {std::string(127, '[') + std::string(127, ']'), std::string(127, '[') + std::string(127, ']')},
      {std::string(128, '[') + std::string(128, ']'), "45:"},
      {std::string("{}\0garbage", 10), "{}"},  // a NUL ends the text
      {std::string("{\"a\":\0}", 7), "1:"},
  };
  for (auto &c : cases) EXPECT_EQ(read(c.text), c.expected) << c.text;
  QK_vhash *pvh = nullptr;
  QK_varray *pva = nullptr;
  QK_jsonparser__build(ctx, "{}", 0, &pvh, &pva);
  EXPECT_EQ(take_error(), "2:len is invalid: len != 0 is false.");
}

TEST_F(Json, LongStringsAndManyValuesGrowTheBuffersAndPools) {
  std::string big(20000, 'z');
  std::string text = "{\"s\":\"" + big + "\",\"e\":\"\\t" + big + "\",\"a\":[";
  for (int i = 0; i < 5000; i++) text += std::to_string(i) + ",\"" + std::to_string(i) + "\",";
  text += "{}]}";
  std::string again = read(read(text));
  EXPECT_EQ(again, read(text));
  EXPECT_EQ(again.substr(0, 30), "{\"s\":\"" + big.substr(0, 24));
  EXPECT_NE(again.find("\"e\":\"\\t" + big + "\""), std::string::npos);
}

TEST_F(Json, WriterFormatsDoublesExactly) {
  struct { double value; const char *member, *variant; } cases[] = {
      {0.1, "0.100000", "0.100000"},
      {1.5, "1.500000", "1.500000"},
      {-0.0, "-0.000000", "-0.000000"},
      {1e-7, "1e-07", "1e-07"},            // "%f" would lose it
      {0.1234567, "0.1234567", "0.1234567"},
      {123456.75, "123456.750000", "123456.750000"},
      {1e22, "10000000000000000000000.000000", "10000000000000000000000.000000"},
      {1e60, "1e+60", "999999999999999949387135297074018866963645011013410073083904.000000"},
      {1.7976931348623157e308, "1.7976931348623157e+308", "1.7976931348623157e+308"},
      {5e-324, "5e-324", "5e-324"},
  };
  for (auto &c : cases) {
    QK_jsonwriter *w = nullptr;
    QK_string__clear(ctx, out);
    QK_jsonwriter__alloc(ctx, &w, out);
    QK_jsonwriter__start_object(ctx, w);
    QK_jsonwriter__write_pair__double(ctx, w, "m", c.value);
    QK_jsonwriter__end_object(ctx, w);
    QK_jsonwriter__free(ctx, w);
    EXPECT_EQ(written(), std::string("{\"m\":") + c.member + "}");
    QK_vhash *vh = nullptr;
    QK_vhash__alloc(ctx, &vh);
    QK_vhash__add__double(ctx, vh, "v", c.value);
    QK_string__clear(ctx, out);
    QK_vhash__to_json(ctx, vh, out);
    QK_vhash__free(ctx, vh);
    EXPECT_EQ(written(), std::string("{\"v\":") + c.variant + "}");
    // Whatever form was chosen reads back to the same bits.
    QK_vhash *back = nullptr;
    QK_vhash__alloc__from_json(ctx, &back, QK_string__sz(out));
    double d = 0;
    QK_variant *v = nullptr;
    QK_vhash__get__variant(ctx, back, "v", &v);
    if (v) d = v->u.dbl;
    EXPECT_EQ(memcmp(&d, &c.value, sizeof d), 0) << c.variant;
    QK_vhash__free(ctx, back);
    EXPECT_EQ(take_error(), "ok");
  }
  for (double bad : {NAN, INFINITY, -INFINITY}) {
    QK_jsonwriter *w = nullptr;
    QK_string__clear(ctx, out);
    QK_jsonwriter__alloc(ctx, &w, out);
    QK_jsonwriter__start_object(ctx, w);
    QK_jsonwriter__write_pair__double(ctx, w, "m", bad);
    EXPECT_EQ(take_error(), "118:");
    QK_jsonwriter__write_double(ctx, w, bad);
    EXPECT_EQ(take_error(), "118:");
    QK_jsonwriter__free(ctx, w);
    EXPECT_EQ(written(), "{");  // nothing of the refused member
  }
}

TEST_F(Json, WriterEscapesIntegersAndMisuse) {
  QK_jsonwriter *w = nullptr;
  QK_jsonwriter__alloc(ctx, &w, out);
  QK_jsonwriter__write_pair__int64(ctx, w, "top", 1);
  EXPECT_EQ(take_error(), "44:");
  QK_jsonwriter__end_array(ctx, w);
  EXPECT_EQ(take_error(), "44:");
  QK_jsonwriter__start_object(ctx, w);
  QK_jsonwriter__begin_element(ctx, w);
  EXPECT_EQ(take_error(), "44:");
  QK_jsonwriter__write_pair__int64(ctx, w, "big", 2147483648LL);
  QK_jsonwriter__write_pair__string(ctx, w, "s", "\t\"\x01/\xc3\xa9\\\x1f");
  QK_jsonwriter__write_pair_name(ctx, w, "a");
  QK_jsonwriter__start_array(ctx, w);
  QK_jsonwriter__end_object(ctx, w);
  EXPECT_EQ(take_error(), "44:");
  QK_jsonwriter__end_array(ctx, w);
  QK_jsonwriter__end_object(ctx, w);
  QK_jsonwriter__free(ctx, w);
  EXPECT_EQ(written(), "{\"big\":2147483648,\"s\":\"\\t\\\"\\u0001/\xc3\xa9\\\\\\u001f\",\"a\":[]}");
  QK_jsonwriter__begin_element(ctx, nullptr);
  EXPECT_EQ(take_error(), "2:pjson is null");
}

TEST_F(Json, PrettyLayout) {
  EXPECT_EQ(read("{\"a\":1,\"b\":{\"c\":[1,2]}}", 1),
            "{\n\t\"a\" : 1,\n\t\"b\" : \n\t{\n\t\t\"c\" : \n\t\t[\n\t\t\t1,\n\t\t\t2\n\t\t]\n\t}\n}\n");
  EXPECT_EQ(read("{}", 1), "{\n\t\n}\n");
  EXPECT_EQ(read("[{\"a\":[]},{}]", 1), "[\n\t{\n\t\t\"a\" : \n\t\t[\n\t\t\t\n\t\t]\n\t},\n\t{\n\t\t\n\t}\n]");
}

// Generated standard JSON: what our reader builds, written compact and pretty, loads in
// python3 to the original document (integers beyond 32 bits coming back as their digits).
TEST_F(Json, AgreesWithPythonOnGeneratedDocuments) {
  auto docs = python_oracle_rows(R"PY(
import json, random, struct, math
rnd = random.Random(2024)
def text():
    alphabet = 'aZ09 "\\/\t\n\x01\x1f\x7f' + '\u00e9\u20ac\U0001F600\u0800\uffff'
    return ''.join(rnd.choice(alphabet) for _ in range(rnd.randint(0, 12)))
def number():
    k = rnd.randint(0, 5)
    if k == 0: return rnd.randint(-2**31, 2**31 - 1)
    if k == 1: return rnd.randint(-2**63, 2**63 - 1)
    if k == 2: return rnd.choice([0.0, -0.0, 0.5, 1e-7, 1e300, 123.456, 2.0**-1074])
    while True:
        d = struct.unpack('<d', rnd.getrandbits(64).to_bytes(8, 'little'))[0]
        if math.isfinite(d): return d
    return 0
def value(depth):
    k = rnd.randint(0, 9 if depth < 6 else 5)
    if k <= 1: return number()
    if k == 2: return text()
    if k == 3: return rnd.choice([True, False, None])
    if k <= 5: return rnd.randint(-100, 100)
    if k <= 7: return [value(depth + 1) for _ in range(rnd.randint(0, 5))]
    return {text(): value(depth + 1) for _ in range(rnd.randint(0, 5))}
for i in range(300):
    doc = {text(): value(0) for _ in range(rnd.randint(0, 6))} if i % 3 else [value(0) for _ in range(4)]
    s = json.dumps(doc, ensure_ascii=bool(i % 2), indent=(None if i % 4 else 1))
    print('x' + s.encode().hex())
)PY");
  ASSERT_EQ(docs.size(), 300u);
  std::string script = "import json, sys\n"
                       "def norm(v):\n"
                       "    if isinstance(v, bool) or v is None: return v\n"
                       "    if isinstance(v, int): return v if -2**31 <= v < 2**31 else str(v)\n"
                       "    if isinstance(v, list): return [norm(x) for x in v]\n"
                       "    if isinstance(v, dict): return {k: norm(x) for k, x in v.items()}\n"
                       "    return v\n"
                       "rows = [\n";
  for (auto &row : docs) {
    std::string original = oracle_unhex(row[0]);
    std::string compact = read(original), pretty = read(original, 1);
    script += "('" + hex(original) + "','" + hex(compact) + "','" + hex(pretty) + "'),\n";
  }
  script += "]\n"
            "for o, c, p in rows:\n"
            "    doc = norm(json.loads(bytes.fromhex(o[1:])))\n"
            "    same = json.loads(bytes.fromhex(c[1:])) == doc and json.loads(bytes.fromhex(p[1:])) == doc\n"
            "    same = same and list(json.loads(bytes.fromhex(c[1:]))) == list(doc)\n"
            "    print('ok' if same else 'DIFF ' + bytes.fromhex(o[1:]).decode() + ' ' + bytes.fromhex(c[1:]).decode())\n";
  auto verdicts = python_oracle_rows(script);
  ASSERT_EQ(verdicts.size(), docs.size());
  for (auto &v : verdicts) {
    std::string line;
    for (auto &w : v) line += w + " ";
    EXPECT_EQ(line, "ok ");
  }
}

}  // namespace

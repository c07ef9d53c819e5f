#include "common/tav_utils.h"

#include <gtest/gtest.h>

#include <string>

#include "context_fixture.h"
#include "python_oracle.h"
#include "qk/qk_malloc.h"

namespace {

using Utils = ContextTest;

std::string or_none(const char *sz) { return sz ? sz : "<none>"; }

TEST_F(Utils, PackageVersionsAndInternalColumns) {
  for (int v = -1; v <= 8; v++) EXPECT_EQ(is_valid_pkg_version(v) != 0, v >= 2 && v <= 6) << v;
  for (const char *name : {"z_rid", "z_txid", "z_rv", "z_gen_del", "z_gen_add"}) EXPECT_EQ(tav_pkg__is_internal_column(name), 1);
  for (const char *name : {"Z_RID", "z_rid2", "z_gen", "", " z_rid", "rid"}) EXPECT_EQ(tav_pkg__is_internal_column(name), 0);
  EXPECT_EQ(tav_pkg__is_internal_column(nullptr), 0);
}

TEST_F(Utils, UrlPathAndQuery) {
  struct Case {
    const char *url, *path, *query;
  } cases[] = {
      {"/x/pull?db=a", "/x/pull", "?db=a"},
      {"/x/pull", "/x/pull", nullptr},
      {"/?", "/", "?"},
      {"/a?b?c", "/a", "?b?c"},
      {"x", "1:invalid URL: x", nullptr},
      {"", "1:invalid URL: ", nullptr},
  };
  for (const Case &c : cases) {
    char *path = nullptr, *query = nullptr;
    tav_url__get_path(ctx, c.url, &path);
    std::string error = take_error();
    EXPECT_EQ(error == "ok" ? or_none(path) : error, c.path);
    tav_url__get_query(ctx, c.url, &query);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(or_none(query), or_none(c.query));
    QK_free(ctx, path);
    QK_free(ctx, query);
  }
}

std::string decode(QK_context *ctx, const std::string &text) {
  char *out = nullptr;
  tav_url__decode(ctx, text.data(), text.data() + text.size(), &out);
  std::string r = out ? out : "<none>";
  QK_free(ctx, out);
  return r;
}

// The query path of a request: text -> parts -> document, written as compact JSON.
std::string query_document(QK_context *ctx, const char *query) {
  QK_varray *pairs = nullptr;
  QK_vhash *document = nullptr;
  QK_string *json = nullptr;
  std::string r;
  tav_url__parse_query(ctx, query, &pairs);
  if (!QK_context__has_error(ctx)) tav_url__pairs_to_vhash(ctx, pairs, &document);
  if (!QK_context__has_error(ctx)) {
    QK_string__alloc(ctx, &json);
    QK_vhash__to_json(ctx, document, json);
    r = QK_string__sz(json);
  }
  QK_string__free(ctx, json);
  QK_vhash__free(ctx, document);
  QK_varray__free(ctx, pairs);
  return r;
}

TEST_F(Utils, QueryParsing) {
  struct Case {
    const char *query, *result;
  } cases[] = {
      {"?db=a&u=b%20c+d", "{\"db\":\"a\",\"u\":\"b c d\"}"},
      {"a&b=", "{\"a\":\"\",\"b\":\"\"}"},
      {"", "{}"},
      {"?", "{}"},
      {"??a=1", "{\"?a\":\"1\"}"},
      {"a=1&", "{\"a\":\"1\"}"},
      {"a=x=y&%41=%4", "{\"a\":\"x=y\",\"A\":\"%4\"}"},
      {"h=%E2%82%AC&s=%7B%22scheme_type%22%3A1%7D", "{\"h\":\"\xe2\x82\xac\",\"s\":\"{\\\"scheme_type\\\":1}\"}"},
      {"a=1&&b=2", "1:invalid URL query string: &b=2"},
      {"=1", "1:invalid URL query string: =1"},
      {"a=1&=2&c", "1:invalid URL query string: =2&c"},
      {"db=a&db=b", "46:db"},
      {"db=a&d%62=b", "46:db"},
      {"db=a%00b&u=x", "1:invalid URL query string: db=a%00b&u=x"},
      {"a=1&n%00=2", "1:invalid URL query string: n%00=2"},
  };
  for (const Case &c : cases) {
    std::string document = query_document(ctx, c.query);
    std::string error = take_error();
    EXPECT_EQ(error == "ok" ? document : error, c.result) << c.query;
  }
  // The parts themselves: a part without "=" has no "v".
  QK_varray *pairs = nullptr;
  tav_url__parse_query(ctx, "?a&b=", &pairs);
  QK_vhash *first = nullptr, *second = nullptr;
  int has = 7;
  QK_varray__get__vhash(ctx, pairs, 0, &first);
  QK_varray__get__vhash(ctx, pairs, 1, &second);
  QK_vhash__has(ctx, first, "v", &has);
  EXPECT_EQ(has, 0);
  QK_vhash__has(ctx, second, "v", &has);
  EXPECT_EQ(has, 1);
  EXPECT_EQ(take_error(), "ok");
  QK_varray__free(ctx, pairs);
}

TEST_F(Utils, CanonicalJsonSortsObjectsButNotArrays) {
  auto rows = python_oracle_rows(R"(
import json
def canon(v):
    if isinstance(v, dict):
        return {k: canon(v[k]) for k in sorted(v, key=lambda k: k.encode())}
    if isinstance(v, list):
        return [canon_in_array(x) for x in v]
    return v
def canon_in_array(v):
    if isinstance(v, dict):
        return {k: canon_in_array(x) for k, x in v.items()}
    if isinstance(v, list):
        return [canon_in_array(x) for x in v]
    return v
text = '{"b":1,"a":{"d":[{"z":1,"y":2}],"c":null},"B":"x","\u00e9":true,"a2":[3,1]}'
print(json.dumps(canon(json.loads(text)), separators=(',', ':'), ensure_ascii=False))
)");
  ASSERT_EQ(rows.size(), 1u);
  char *text = nullptr;
  tav_json__canonicalize(ctx, "{\"b\":1,\"a\":{\"d\":[{\"z\":1,\"y\":2}],\"c\":null},\"B\":\"x\",\"\xc3\xa9\":true,\"a2\":[3,1]}", &text);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(text ? text : "<none>", rows[0][0]);
  QK_free(ctx, text);
  text = nullptr;
  tav_json__canonicalize(ctx, "[1]", &text);
  EXPECT_EQ(take_error().substr(0, 4), "248:");
  tav_json__canonicalize(ctx, "{\"a\":", &text);
  EXPECT_NE(take_error(), "ok");
  EXPECT_EQ(text, nullptr);
}

TEST_F(Utils, UrlDecodingCases) {
  struct Case {
    const char *in, *out;
  } cases[] = {{"b%20c+d", "b c d"}, {"%41%4a%4A", "AJJ"}, {"%4", "%4"},       {"%zz", "%zz"},
               {"%%41", "%A"},       {"100%", "100%"},    {"%e2%82%ac", "\xe2\x82\xac"}, {"", ""}};
  for (const Case &c : cases) {
    EXPECT_EQ(decode(ctx, c.in), c.out) << c.in;
    EXPECT_EQ(take_error(), "ok");
  }
  EXPECT_EQ(decode(ctx, "a%00b"), "<none>");
  EXPECT_EQ(take_error(), "1:invalid URL query string: a%00b");
}

// Random texts over the characters that matter decode as Python's unquote_to_bytes does
// (with "+" first turned into a space).
TEST_F(Utils, UrlDecodingMatchesPython) {
  auto rows = python_oracle_rows(R"(
import random, urllib.parse
r = random.Random(9)
alphabet = '%+0123456789abcdefABCDEFgzZ =&?/'
for _ in range(400):
    s = ''.join(r.choice(alphabet) for _ in range(r.randint(0, 12)))
    out = urllib.parse.unquote_to_bytes(s.replace('+', ' '))
    print('x' + s.encode().hex(), 'x' + out.hex())
)");
  ASSERT_EQ(rows.size(), 400u);
  for (const auto &row : rows) {
    std::string in = oracle_unhex(row[0]), expected = oracle_unhex(row[1]);
    std::string got = decode(ctx, in);
    if (expected.find('\0') != std::string::npos) {
      EXPECT_EQ(take_error(), "1:invalid URL query string: " + in);
    } else {
      EXPECT_EQ(take_error(), "ok");
      EXPECT_EQ(got, expected) << in;
    }
  }
}

// Files around the read piece size and a larger one, against hashlib.
TEST_F(Utils, Sha1OfBuffersAndFilesMatchesPython) {
  char dir[] = "/tmp/tav_utils_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  auto rows = python_oracle_rows(std::string("import hashlib, random, os\nD = '") + dir + R"('
r = random.Random(4)
for n in (0, 1, 4095, 4096, 4097, 1 << 20):
    data = r.randbytes(n)
    open(os.path.join(D, str(n)), 'wb').write(data)
    print(n, hashlib.sha1(data).hexdigest())
)");
  ASSERT_EQ(rows.size(), 6u);
  for (const auto &row : rows) {
    std::string path = std::string(dir) + "/" + row[0];
    char digest[41] = {0}, bufferDigest[41] = {0};
    tav_sha1__file(ctx, path.c_str(), digest);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(std::string(digest), row[1]) << row[0];
    FILE *f = fopen(path.c_str(), "rb");
    std::string data(std::stoul(row[0]), '\0');
    ASSERT_EQ(fread(data.data(), 1, data.size(), f), data.size());
    fclose(f);
    tav_sha1__buffer(ctx, data.data(), (QK_uint32)data.size(), bufferDigest);
    EXPECT_EQ(std::string(bufferDigest), row[1]) << row[0];
  }
  char digest[41];
  std::string missing = std::string(dir) + "/missing";
  tav_sha1__file(ctx, missing.c_str(), digest);
  EXPECT_EQ(take_error().substr(0, 10), "2:Calling ");  // ENOENT from the length query
  tav_sha1__file(ctx, nullptr, digest);
  EXPECT_EQ(take_error(), "2:path is null");
  tav_sha1__buffer(ctx, nullptr, 0, digest);
  EXPECT_EQ(take_error(), "2:buf is null");
  EXPECT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
}

TEST_F(Utils, DbfileNames) {
  const char *bad_char = "63:name of a dbfile may contain only lower case letters, numbers, or an underscore: ";
  struct Case {
    const char *name;
    std::string error;
  } cases[] = {
      {"a", "ok"},
      {"a_1", "ok"},
      {"abc9", "ok"},
      {"", "63:name of a dbfile cannot be an empty string"},
      {"1a", "63:name of a dbfile must begin with a lower case letter"},
      {"_a", "63:name of a dbfile must begin with a lower case letter"},
      {"Ab", "63:name of a dbfile must begin with a lower case letter"},
      {"a-b", std::string(bad_char) + "a-b"},
      {"aB", std::string(bad_char) + "aB"},
      {"a<b", std::string(bad_char) + "a&lt;b"},
      {"a\"&'>", std::string(bad_char) + "a&quot;&amp;'&gt;"},
      {"a\xc3\xa9", std::string(bad_char) + "a\xc3\xa9"},
      {nullptr, "2:"},
  };
  for (const Case &c : cases) {
    tav_dbfile__validate_name(ctx, c.name);
    EXPECT_EQ(take_error(), c.error) << or_none(c.name);
  }
}

TEST_F(Utils, Placeholders) {
  struct Case {
    int n;
    const char *text;
  } counts[] = {{-1, "?"}, {0, "?"}, {1, "?"}, {3, "?,?,?"}};
  for (const Case &c : counts) {
    QK_string *text = nullptr;
    tav_sql__placeholders(ctx, c.n, &text);
    EXPECT_STREQ(QK_string__sz(text), c.text);
    QK_string__free(ctx, text);
  }
  struct ListCase {
    const char *list, *text;
  } lists[] = {{"a,b,c", "?,?,?"}, {"", "?"}, {"a", "?"}, {",", "?,?"}};
  for (const ListCase &c : lists) {
    QK_string *text = nullptr;
    tav_sql__placeholders_for_list(ctx, c.list, &text);
    EXPECT_STREQ(QK_string__sz(text), c.text);
    QK_string__free(ctx, text);
  }
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(Utils, ErrorContextLines) {
  struct Case {
    const char *old_message, *tbl_id, *verb, *tbl_name, *result;
  } cases[] = {
      {"boom", "12", nullptr, nullptr, "Error while operating on table with ID=12:\nboom"},
      {"boom", "12", "exporting", "", "Error while exporting table with ID=12:\nboom"},
      {"boom", "12", "importing", "[dbo].[t]", "Error while importing [dbo].[t] (ID 12):\nboom"},
      {"boom", "12", "importing", "\"t\"", "Error while importing \"t\" (ID 12):\nboom"},
      {"boom", "12", "importing", "orders", "Error while importing \"orders\" (ID 12):\nboom"},
      {"", "12", nullptr, "orders", "Error while operating on \"orders\" (ID 12)"},
      {"boom", nullptr, nullptr, "orders", "boom"},
  };
  for (const Case &c : cases) {
    QK_context__throw_msg(ctx, QK_ERR_UNSPECIFIED, __FILE__, __LINE__, c.old_message);
    tav_err__add_context(ctx, c.tbl_id, c.verb, c.tbl_name);
    EXPECT_EQ(take_error(), std::string("1:") + c.result);
  }
  // Nothing pending: nothing happens. A nested level keeps no message to prefix.
  tav_err__prefix_message(ctx, "p");
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(message(), "");
  QK_context__throw_msg(ctx, QK_ERR_UNSPECIFIED, __FILE__, __LINE__, "outer");
  QK_context__push_level(ctx);
  QK_context__throw(ctx, QK_ERR_UNSPECIFIED, __FILE__, __LINE__);
  tav_err__prefix_message(ctx, "p");
  QK_context__pop_level(ctx);
  tav_err__prefix_message(ctx, nullptr);
  EXPECT_EQ(take_error(), "1:outer");
}

}  // namespace

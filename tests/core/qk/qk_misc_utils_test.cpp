#include "qk/qk_misc_utils.h"

#include <errno.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "file_fixture.h"
#include "python_oracle.h"
#include "qk/qk_string.h"

namespace {

using Sort = ContextTest;

struct SortProbe {
  int calls = 0;
  int failAt = -1;  // the comparison that raises an error, or -1
};

int compare_ints(QK_context *ctx, const void *pA, const void *pB, void *pContext) {
  SortProbe *probe = static_cast<SortProbe *>(pContext);
  if (probe->calls++ == probe->failAt) QK_context__throw_msg(ctx, QK_ERR_UNSPECIFIED, __FILE__, __LINE__, "bad item");
  int a = *static_cast<const int *>(pA), b = *static_cast<const int *>(pB);
  return (a > b) - (a < b);
}

TEST_F(Sort, SortsWithTheContextAndStopsAtTheFirstError) {
  std::mt19937 rng(7);
  for (int n : {0, 1, 2, 3, 17, 1000}) {
    std::vector<int> v(n);
    for (int &x : v) x = (int)(rng() % 50) - 25;
    std::vector<int> expected = v;
    std::sort(expected.begin(), expected.end());
    SortProbe probe;
    QK_qsort(ctx, v.data(), v.size(), sizeof(int), compare_ints, &probe);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(v, expected);
  }

  std::vector<int> v(100);
  for (int &x : v) x = (int)(rng() % 1000);
  SortProbe probe;
  probe.failAt = 10;
  QK_qsort(ctx, v.data(), v.size(), sizeof(int), compare_ints, &probe);
  EXPECT_EQ(take_error(), "1:bad item");
  EXPECT_EQ(probe.calls, 11);  // no comparison ran after the error

  QK_qsort(ctx, v.data(), v.size(), sizeof(int), nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:pfn is null");
  QK_qsort(ctx, nullptr, 2, sizeof(int), compare_ints, &probe);
  EXPECT_EQ(take_error(), "2:pBase is null");
}

TEST(IntTests, Fits32AndNonNegative) {
  struct {
    QK_int64 v;
    int fits, nonNegative;
  } cases[] = {
      {0, 1, 1},          {-1, 1, 0},          {INT32_MAX, 1, 1},           {INT32_MIN, 1, 0},
      {INT32_MAX + 1LL, 0, 1}, {INT32_MIN - 1LL, 0, 0}, {INT64_MAX, 0, 1}, {INT64_MIN, 0, 0},
      {0x100000000LL, 0, 1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(QK_int64__fits_int32(c.v), c.fits) << c.v;
    EXPECT_EQ(QK_int64__is_non_negative(c.v), c.nonNegative) << c.v;
  }
}

using Base64 = FileTest;

TEST_F(Base64, MatchesCoreutilsAndChecksTheBuffer) {
  std::mt19937 rng(3);
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 40; n++) sizes.push_back(n);
  sizes.insert(sizes.end(), {255, 256, 257, 100000});
  for (size_t n : sizes) {
    std::string data(n, '\0');
    for (char &c : data) c = (char)rng();
    write_file(path("in"), data);
    std::string expected = sh("base64 -w0 '" + path("in") + "'");
    QK_uint32 need = (QK_uint32)((n + 2) / 3 * 4 + 1);
    std::string out(need + 1, '#');
    QK_base64__encode(ctx, data.data(), (QK_uint32)n, out.data(), need);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(std::string(out.c_str()), expected) << n;
    EXPECT_EQ(out[need], '#') << n;  // nothing beyond the computed size

    std::string untouched(need, '#'), small = untouched;
    QK_base64__encode(ctx, data.data(), (QK_uint32)n, small.data(), need - 1);
    EXPECT_EQ(take_error(), "20:");
    EXPECT_EQ(small, untouched);
  }
  struct {
    QK_uint32 len, need;
  } sizesNeeded[] = {{0, 1}, {1, 5}, {3, 5}, {4, 9}, {0xFFFFFFFFu, 0}};
  char buf[16];
  for (const auto &c : sizesNeeded) {
    if (c.need) {
      QK_base64__encode(ctx, "abcd", c.len, buf, c.need);
      EXPECT_EQ(take_error(), "ok") << c.len;
      QK_base64__encode(ctx, "abcd", c.len, buf, c.need - 1);
      EXPECT_EQ(take_error(), "20:") << c.len;
    } else {
      // Near 4 GiB the size must not wrap around to a small number.
      QK_base64__encode(ctx, "abcd", c.len, buf, sizeof buf);
      EXPECT_EQ(take_error(), "20:");
    }
  }
  QK_base64__encode(ctx, nullptr, 0, buf, sizeof buf);
  EXPECT_EQ(take_error(), "2:p_binary is null");
}

using Zlib = FileTest;

const QK_uint64 kNoLimit = ~0ULL;

QK_error zlib_error(int ret) { return QK_ERROR_MAKE(QK_ERR_DOMAIN_ZLIB, ret); }

// Python writes sources (random and repetitive stretches) and its own streams of them:
// sizes up to 1 MB at every level, 10 MB at three levels. Prints "<index> <level>" per stream.
std::string interop_script(const std::string &dir) {
  return "d = '" + dir + R"('
import random, zlib
r = random.Random(42)
def content(n):
    out = bytearray()
    while len(out) < n:
        if r.random() < 0.5:
            out += r.randbytes(r.randrange(1, 3000))
        else:
            out += (b'row %d;' % r.randrange(100)) * r.randrange(1, 400)
    return bytes(out[:n])
sizes = [0, 1, 100, 16383, 16384, 16385, 65543, 1000000, 10000000]
for i, n in enumerate(sizes):
    data = content(n)
    open('%s/src%d' % (d, i), 'wb').write(data)
    for level in (range(10) if n <= 1000000 else (0, 6, 9)):
        open('%s/py%d_%d.z' % (d, i, level), 'wb').write(zlib.compress(data, level))
        print(i, level)
    print(i, 'src')
)";
}

TEST_F(Zlib, InteropWithPythonBothWays) {
  auto rows = python_oracle_rows(interop_script(dir));
  ASSERT_EQ(rows.size(), 8u * 11 + 4);
  std::vector<std::string> sources;
  for (const auto &row : rows) {
    std::string src = path("src" + row[0]);
    if (row[1] == "src") {
      // Ours, then Python checks it decompresses to the source.
      std::string ours = path("ours" + row[0] + ".z");
      QK_file__compress(ctx, src.c_str(), ours.c_str());
      EXPECT_EQ(take_error(), "ok") << src;
      sources.push_back(row[0]);
      continue;
    }
    std::string z = path("py" + row[0] + "_" + row[1] + ".z"), out = z + ".out";
    QK_file__decompress(ctx, z.c_str(), out.c_str(), kNoLimit);
    EXPECT_EQ(take_error(), "ok") << z;
    EXPECT_EQ(sh("cmp '" + src + "' '" + out + "' && echo same"), "same") << z;
    unlink(out.c_str());
  }
  std::string check = "d = '" + dir + "'\nimport zlib\nfor i in [" ;
  for (const auto &i : sources) check += i + ",";
  check += R"(]:
    ours = open('%s/ours%d.z' % (d, i), 'rb').read()
    same = zlib.decompress(ours) == open('%s/src%d' % (d, i), 'rb').read()
    print(i, 'same' if same else 'differs', ours[:2].hex(), ours.hex() if len(ours) < 16 else '-')
)";
  auto checked = python_oracle_rows(check);
  ASSERT_EQ(checked.size(), sources.size());
  for (const auto &row : checked) {
    EXPECT_EQ(row[1], "same") << row[0];
    EXPECT_EQ(row[2], "789c") << row[0];  // zlib header, default level
  }
  EXPECT_EQ(checked[0][3], "789c030000000001");  // the stream of empty input
  QK_file__decompress(ctx, path("ours0.z").c_str(), path("empty.out").c_str(), kNoLimit);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(sh("stat -c %s '" + path("empty.out") + "'"), "0");
}

TEST_F(Zlib, DamagedStreams) {
  // A stream of 40,000 bytes (three 16 KiB chunks, the last one part full), cut or padded.
  auto rows = python_oracle_rows("d = '" + dir + R"('
import random, zlib
r = random.Random(9)
good = zlib.compress(r.randbytes(40000))
small = zlib.compress(b'hello' * 100)
mid = len(good) // 2
cases = {
    'good': good,
    'corrupt': good[:mid] + bytes([good[mid] ^ 0x55]) + good[mid + 1:],
    'badcheck': good[:-1] + bytes([good[-1] ^ 1]),
    'cut': good[:-10],
    'cut_in_header': good[:1],
    'tail_in_last_chunk': good + b'junk' * 100,
    'small_tail_in_only_chunk': small + bytes(16384 - len(small)),
    'tail_past_chunk': small + bytes(16385 - len(small)),
    'raw_deflate': zlib.compress(b'x' * 1000, wbits=-15),
    'gzip': zlib.compress(b'x' * 1000, wbits=31),
    'empty': b'',
}
c = zlib.compressobj(zdict=b'dictionary')
cases['dictionary'] = c.compress(b'dictionary words') + c.flush()
for name, data in cases.items():
    open('%s/%s' % (d, name), 'wb').write(data)
    print(name, len(good))
)");
  ASSERT_EQ(rows.size(), 12u);
  ASSERT_GT(std::stoi(rows[0][1]), 2 * 16384);
  struct {
    const char *name;
    QK_error expected;
  } cases[] = {
      {"good", QK_OK},
      {"corrupt", zlib_error(Z_DATA_ERROR)},
      {"badcheck", zlib_error(Z_DATA_ERROR)},
      {"cut", QK_ERR_EOF},
      {"cut_in_header", QK_ERR_EOF},
      {"tail_in_last_chunk", QK_OK},
      {"small_tail_in_only_chunk", QK_OK},
      {"tail_past_chunk", QK_ERR_INCOMPLETE_WRITE},
      {"raw_deflate", zlib_error(Z_DATA_ERROR)},
      {"gzip", zlib_error(Z_DATA_ERROR)},
      {"dictionary", zlib_error(Z_NEED_DICT)},
      {"empty", QK_ERR_EOF},
  };
  for (const auto &c : cases) {
    std::string out = path(std::string(c.name) + ".out");
    QK_file__decompress(ctx, path(c.name).c_str(), out.c_str(), kNoLimit);
    QK_error err = QK_OK;
    QK_context__get_error(ctx, &err);
    std::string text = take_error();
    EXPECT_EQ(err, c.expected) << c.name << ": " << text;
  }
}

TEST_F(Zlib, OutputLimitStopsABomb) {
  // One GiB of zeros in about one MiB of stream.
  auto rows = python_oracle_rows("d = '" + dir + R"('
import zlib
c = zlib.compressobj(9)
with open(d + '/bomb', 'wb') as f:
    block = bytes(1 << 20)
    for _ in range(1024):
        f.write(c.compress(block))
    f.write(c.flush())
print('ok')
)");
  ASSERT_EQ(rows.size(), 1u);
  const QK_uint64 limit = 5 * 1000 * 1000 + 7;  // not a multiple of the 16 KiB steps
  QK_file__decompress(ctx, path("bomb").c_str(), path("bomb.out").c_str(), limit);
  EXPECT_EQ(take_error(), "16:Decompressed data exceeds the limit of 5000007 bytes");
  EXPECT_EQ(sh("stat -c %s '" + path("bomb.out") + "'"), "5000007");  // left for the caller

  // Exactly at the limit is fine; one byte less is not.
  write_file(path("src"), std::string(100000, 'q'));
  QK_file__compress(ctx, path("src").c_str(), path("src.z").c_str());
  QK_file__decompress(ctx, path("src.z").c_str(), path("exact.out").c_str(), 100000);
  EXPECT_EQ(take_error(), "ok");
  QK_file__decompress(ctx, path("src.z").c_str(), path("short.out").c_str(), 99999);
  EXPECT_EQ(take_error(), "16:Decompressed data exceeds the limit of 99999 bytes");
  EXPECT_EQ(sh("stat -c %s '" + path("short.out") + "'"), "99999");
  QK_file__decompress(ctx, path("src.z").c_str(), path("zero.out").c_str(), 0);
  EXPECT_EQ(take_error(), "16:Decompressed data exceeds the limit of 0 bytes");
}

TEST_F(Zlib, ExistingDestinationsAndMissingSources) {
  write_file(path("src"), "some text");
  write_file(path("taken"), "keep");
  QK_file__compress(ctx, path("src").c_str(), path("taken").c_str());
  EXPECT_EQ(take_error(), std::to_string(EEXIST) + ":" + path("taken"));
  QK_file__compress(ctx, path("src").c_str(), path("src.z").c_str());
  EXPECT_EQ(take_error(), "ok");
  QK_file__decompress(ctx, path("src.z").c_str(), path("taken").c_str(), kNoLimit);
  EXPECT_EQ(take_error(), std::to_string(EEXIST) + ":" + path("taken"));
  EXPECT_EQ(read_file(path("taken")), "keep");
  QK_file__compress(ctx, path("missing").c_str(), path("m.z").c_str());
  EXPECT_EQ(take_error(), std::to_string(ENOENT) + ":Calling stat() on '" + path("missing") + "'");
  QK_file__decompress(ctx, dir.c_str(), path("m.out").c_str(), kNoLimit);
  EXPECT_EQ(take_error(), "11:Calling length() on '" + dir + "'");
}

using Connstr = ContextTest;

TEST_F(Connstr, SetDatabase) {
  struct {
    const char *before, *name, *after;
  } cases[] = {
      {"Driver={X};Server=s;DATABASE={old};UID=u", "new", "Driver={X};Server=s;Database={new};UID=u"},
      {"Driver={X};Server=s", "new", "Driver={X};Server=s;Database={new};"},
      {"Driver={X};Server=s;", "new", "Driver={X};Server=s;;Database={new};"},
      {"", "new", ";Database={new};"},
      {"database=old", "new", "Database={new};"},
      {"Server=s;dataBase=old;UID=u", "new", "Server=s;Database={new};UID=u"},
      {"Server=s;Database=old", "new", "Server=s;Database={new};"},
      // An element after a blank is not recognised: a new one is appended.
      {"Server=s; Database=x", "new", "Server=s; Database=x;Database={new};"},
      // A braced value reads "}}" as a "}", and may run to the end.
      {"Server=s;Database={a}}b;c};UID=u", "new", "Server=s;Database={new};UID=u"},
      {"Server=s;Database={open", "new", "Server=s;Database={new};"},
      // A "}" in the name is doubled, so the name cannot close the value and add keywords.
      {"Server=s;Database=old;UID=u", "x};PWD=y", "Server=s;Database={x}};PWD=y};UID=u"},
      {"Server=s", "}", "Server=s;Database={}}};"},
      {"Server=s", "", "Server=s"},
      {"Server=s", nullptr, "Server=s"},
  };
  for (const auto &c : cases) {
    QK_string *s = nullptr;
    QK_string__alloc__sz(ctx, &s, c.before);
    QK_connstr__set_database(ctx, c.name, s);
    EXPECT_EQ(take_error(), "ok") << c.before;
    EXPECT_STREQ(QK_string__sz(s), c.after) << c.before;
    QK_string__free(ctx, s);
  }
  QK_connstr__set_database(ctx, "db", nullptr);
  EXPECT_EQ(take_error(), "2:pConnStr is null");
}

}  // namespace

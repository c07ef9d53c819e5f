#include "qk/qk_vcdiff.h"

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <random>

#include "file_fixture.h"
#include "qk/qk_misc_utils.h"

namespace {

struct Vcdiff : FileTest {
  std::mt19937 rng{4242};

  std::string random_bytes(size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = (char)(rng() & 0xFF);
    return s;
  }
  // The delta from source to target as our encoder writes it ("<error>" on failure).
  std::string encode(const std::string &source, const std::string &target) {
    write_file(path("source"), source);
    write_file(path("target"), target);
    unlink(path("delta").c_str());
    QK_vcdiff__deltify_files(ctx, path("source").c_str(), path("target").c_str(), path("delta").c_str());
    if (take_error() != "ok") return "<error>";
    return read_file(path("delta"));
  }
  // What xdelta3 rebuilds from the source and the delta file.
  std::string xdelta3_decode() {
    unlink(path("out").c_str());
    std::string status = sh("xdelta3 -d -s '" + path("source") + "' '" + path("delta") + "' '" + path("out") +
                            "' 2>&1; echo $?");
    return status == "0" ? read_file(path("out")) : "<xdelta3: " + status + ">";
  }
  // Each round trip also checks that a second encoding gives the same bytes.
  void expect_round_trip(const std::string &source, const std::string &target, const std::string &what) {
    std::string delta = encode(source, target);
    ASSERT_NE(delta, "<error>") << what;
    std::string decoded = xdelta3_decode();
    EXPECT_TRUE(decoded == target) << what << ": decoded " << decoded.size() << " of " << target.size() << " bytes";
    EXPECT_TRUE(encode(source, target) == delta) << what << ": second encoding differs";
  }
  std::string printdelta() { return sh("xdelta3 printdelta '" + path("delta") + "'"); }
  static int count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
  }
};

TEST_F(Vcdiff, RandomPairsDecodeWithXdelta3) {
  const size_t W = QK_VCDIFF_WINDOW_SIZE;
  std::string big = random_bytes(5 << 20);
  struct Pair {
    std::string what, source, target;
  };
  std::vector<Pair> pairs;
  for (size_t n : {(size_t)1, (size_t)3, (size_t)4, (size_t)5, (size_t)1000, W - 1, W, W + 1, 3 * W + 17}) {
    std::string s = random_bytes(n), t = s;
    t[n / 2] ^= 0x5A;
    pairs.push_back({"one byte changed of " + std::to_string(n), s, t});
    pairs.push_back({"unrelated " + std::to_string(n), s, random_bytes(n)});
  }
  {
    // Edits, insertions and deletions that shift the rest, runs of equal bytes, and targets
    // shorter and longer than the source.
    std::string s = big.substr(0, 2 << 20), t = s;
    t.insert(300000, random_bytes(777));
    t.erase(900000, 5000);
    t.replace(1500000, 64, std::string(64, 'z'));
    t.insert(1700000, std::string(100000, '\0'));
    pairs.push_back({"shifted edits", s, t});
    pairs.push_back({"target shorter", s, s.substr(0, 700000) + s.substr(1200000, 10000)});
    pairs.push_back({"target longer", s.substr(0, 200000), s + s.substr(0, 300000)});
    pairs.push_back({"target much longer than a small source", s.substr(0, 5000), big});
    pairs.push_back({"runs", std::string(300, 'a'), std::string(W + 9, 'a') + "bbbbbbb" + std::string(3, 'c') + "dddd"});
  }
  for (const Pair &p : pairs) expect_round_trip(p.source, p.target, p.what);
}

// Package-like SQLite files: the target is the source with 1% of the rows updated and a few
// rows added and deleted.
TEST_F(Vcdiff, SqliteFilesWithSmallEditsDecodeWithXdelta3) {
  std::string script =
      "import sqlite3, random, shutil\n"
      "random.seed(7)\n"
      "db = sqlite3.connect('" + path("a.db") + "')\n"
      "db.execute('create table t(id integer primary key, name text, value real, payload blob)')\n"
      "db.executemany('insert into t values(?,?,?,?)', [(i, 'name %d' % i, random.random(),"
      " random.randbytes(random.randint(10, 200))) for i in range(20000)])\n"
      "db.commit(); db.close()\n"
      "shutil.copy('" + path("a.db") + "', '" + path("b.db") + "')\n"
      "db = sqlite3.connect('" + path("b.db") + "')\n"
      "for i in random.sample(range(20000), 200): db.execute('update t set name = ? where id = ?', ('changed %d' % i, i))\n"
      "db.execute('delete from t where id between 5000 and 5050')\n"
      "db.executemany('insert into t values(?,?,?,?)', [(i, 'new', 0.5, b'x' * 50) for i in range(30000, 30100)])\n"
      "db.commit(); db.close()\n";
  write_file(path("make.py"), script);
  ASSERT_EQ(sh("/usr/bin/python3 '" + path("make.py") + "' 2>&1; echo $?"), "0");
  std::string a = read_file(path("a.db")), b = read_file(path("b.db"));
  ASSERT_GT(a.size(), 3 * QK_VCDIFF_WINDOW_SIZE);
  expect_round_trip(a, b, "sqlite edited");
  EXPECT_LT(read_file(path("delta")).size(), b.size() / 4);
  expect_round_trip(b, a, "sqlite reverted");
}

TEST_F(Vcdiff, WindowStructure) {
  const size_t W = QK_VCDIFF_WINDOW_SIZE;
  // Identical files of at most a window: one COPY of everything from address 0.
  std::string s = random_bytes(100000);
  std::string delta = encode(s, s);
  EXPECT_EQ(xdelta3_decode(), s);
  std::string listing = printdelta();
  EXPECT_EQ(count(listing, "VCDIFF window number:"), 1);
  EXPECT_NE(listing.find("CPY_0 100000 S@0"), std::string::npos) << listing;
  // Byte for byte: header; VCD_SOURCE, segment 100000 at 0, 12 bytes of encoding, target
  // 100000, no compression, sections of 0, 4 and 1 bytes; COPY size 0 mode 0 (code 19) with
  // its size, address 0.
  EXPECT_EQ(delta, std::string("\xD6\xC3\xC4\x00\x00"
                               "\x01\x86\x8D\x20\x00\x0C\x86\x8D\x20\x00\x00\x04\x01"
                               "\x13\x86\x8D\x20"
                               "\x00",
                               23));

  // One byte past a window: a second window of one byte, an ADD (its segment is not that byte).
  s = random_bytes(W + 1);
  std::string t = s;
  t[W] ^= 1;
  encode(s, t);
  EXPECT_EQ(xdelta3_decode(), t);
  listing = printdelta();
  EXPECT_EQ(count(listing, "VCDIFF window number:"), 2);
  EXPECT_NE(listing.find("VCDIFF target window length:  1\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("ADD        1"), std::string::npos) << listing;

  // Uniform data is RUNs, one per window, each with its byte in the data section.
  encode(random_bytes(10), std::string(2 * W + 100, '\x07'));
  EXPECT_EQ(xdelta3_decode(), std::string(2 * W + 100, '\x07'));
  listing = printdelta();
  EXPECT_EQ(count(listing, " RUN "), 3) << listing;
  EXPECT_EQ(count(listing, "VCDIFF data section length:   1\n"), 3) << listing;

  // Beyond the end of the source, windows copy from the source's first window.
  s = random_bytes(W);
  encode(s, s + s);
  EXPECT_EQ(xdelta3_decode(), s + s);
  listing = printdelta();
  EXPECT_EQ(count(listing, "VCDIFF copy window offset:    0\n"), 2) << listing;
}

TEST_F(Vcdiff, EmptyTargetIsTheHeaderAlone) {
  EXPECT_EQ(encode("source", ""), std::string("\xD6\xC3\xC4\x00\x00", 5));
}

TEST_F(Vcdiff, CompressedDeltaDecodesAfterZlib) {
  std::string s = random_bytes(400000), t = s;
  t.replace(1234, 5, "HELLO");
  encode(s, t);
  QK_file__compress(ctx, path("delta").c_str(), path("delta.z").c_str());
  ASSERT_EQ(take_error(), "ok");
  rename(path("delta").c_str(), path("delta.orig").c_str());
  ASSERT_EQ(sh("/usr/bin/python3 -c \"import zlib,sys; open(sys.argv[2],'wb').write(zlib.decompress(open(sys.argv[1],"
               "'rb').read()))\" '" + path("delta.z") + "' '" + path("delta") + "'; echo $?"),
            "0");
  EXPECT_EQ(read_file(path("delta")), read_file(path("delta.orig")));
  EXPECT_TRUE(xdelta3_decode() == t);
}

TEST_F(Vcdiff, FailuresLeaveNoDelta) {
  // An empty source is refused and the delta file removed again.
  EXPECT_EQ(encode("", "target"), "<error>");
  QK_vcdiff__deltify_files(ctx, path("source").c_str(), path("target").c_str(), path("delta").c_str());
  EXPECT_EQ(take_error(), "35:");
  EXPECT_EQ(read_file(path("delta")), "<missing>");

  // An existing delta path is refused and left alone.
  write_file(path("source"), "source");
  write_file(path("delta"), "keep me");
  QK_vcdiff__deltify_files(ctx, path("source").c_str(), path("target").c_str(), path("delta").c_str());
  EXPECT_EQ(QK_context__has_error(ctx), 1);
  take_error();
  EXPECT_EQ(read_file(path("delta")), "keep me");
  unlink(path("delta").c_str());

  // A missing target.
  QK_vcdiff__deltify_files(ctx, path("source").c_str(), path("nothing").c_str(), path("delta").c_str());
  EXPECT_EQ(QK_context__has_error(ctx), 1);
  take_error();
  EXPECT_EQ(read_file(path("delta")), "<missing>");

  // A write that fails half-way (file size limit) is an error, and the partial delta goes.
  write_file(path("source"), random_bytes(1000));
  write_file(path("target"), random_bytes(500000));
  std::string source = path("source"), target = path("target"), delta = path("delta");
  int code = in_child([&] {
    struct rlimit lim = {100000, 100000};
    QK_context *child = nullptr;
    QK_error err = QK_OK;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lim);
    QK_context__alloc(&child);
    QK_vcdiff__deltify_files(child, source.c_str(), target.c_str(), delta.c_str());
    QK_context__get_error(child, &err);
    return err == QK_ERROR_FROM_ERRNO(EFBIG) ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_file(path("delta")), "<missing>");

  QK_vcdiff__encode(ctx, nullptr, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:pSource is null");
}

}  // namespace

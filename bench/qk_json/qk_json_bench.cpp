// Side-by-side benchmark: our JSON reader and writer against RapidJSON's DOM on the same
// 20 MB document (objects of rows with texts, integers, doubles, bools, nulls, nested arrays).
// Times (read = parse and free) are the best of several runs; peak memory is measured in a
// child process per reader.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "qk/qk_context.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"

static std::string make_document(size_t target) {
  std::mt19937_64 rng(42);
  std::string s = "{\"rows\":[";
  const char *words[] = {"alpha", "beta", "gamma", "delta", "caf\\u00e9", "line\\nbreak", "quote\\\"d"};
  for (int row = 0; s.size() < target; row++) {
    if (row) s += ',';
    s += "{\"id\":" + std::to_string(row) + ",\"name\":\"" + words[rng() % 7] + std::to_string(rng() % 100000) +
         "\",\"price\":" + std::to_string((double)(rng() % 1000000) / 100) +
         ",\"active\":" + (rng() % 2 ? "true" : "false") + ",\"note\":null,\"tags\":[";
    for (int t = 0, n = (int)(rng() % 5); t < n; t++) s += (t ? ",\"" : "\"") + std::string(words[rng() % 7]) + "\"";
    s += "],\"big\":" + std::to_string(rng() >> 2) + ",\"nested\":{\"a\":" + std::to_string(rng() % 1000) +
         ",\"b\":[1,2,3]}}";
  }
  return s + "]}";
}

static double best_ms(int runs, const std::function<void()> &fn) {
  double best = 1e300;
  for (int i = 0; i < runs; i++) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (ms < best) best = ms;
  }
  return best;
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM").
static long status_kb(const char *field) {
  FILE *f = fopen("/proc/self/status", "r");
  char line[256];
  long kb = -1;
  size_t len = strlen(field);
  while (f && fgets(line, sizeof line, f))
    if (strncmp(line, field, len) == 0 && line[len] == ':') kb = atol(line + len + 1);
  if (f) fclose(f);
  return kb;
}

// Peak resident memory that fn adds on top of what the process held before, measured in a
// child so that runs do not mask each other.
static long peak_kb(const std::function<void()> &fn) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    long before = status_kb("VmRSS");
    fn();
    long delta = status_kb("VmHWM") - before;
    if (write(fds[1], &delta, sizeof delta) != sizeof delta) _exit(1);
    _exit(0);
  }
  long delta = -1;
  close(fds[1]);
  if (read(fds[0], &delta, sizeof delta) != sizeof delta) delta = -1;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return delta;
}

int main() {
  const int runs = 5;
  std::string doc = make_document(20u << 20);
  QK_context *ctx = nullptr;
  if (QK_context__alloc(&ctx) != QK_OK) return 1;

  auto ours_read = [&] {
    QK_vhash *vh = nullptr;
    QK_vhash__alloc__from_json(ctx, &vh, doc.c_str());
    if (QK_context__has_error(ctx)) abort();
    QK_vhash__free(ctx, vh);
  };
  auto theirs_read = [&] {
    rapidjson::Document d;
    d.Parse(doc.c_str(), doc.size());
    if (d.HasParseError()) abort();
  };
  long ourPeak = peak_kb(ours_read), theirPeak = peak_kb(theirs_read);
  double ourRead = best_ms(runs, ours_read), theirRead = best_ms(runs, theirs_read);

  QK_vhash *vh = nullptr;
  QK_vhash__alloc__from_json(ctx, &vh, doc.c_str());
  rapidjson::Document d;
  d.Parse(doc.c_str(), doc.size());
  size_t ourLen = 0, theirLen = 0;
  double ourWrite = best_ms(runs, [&] {
    QK_string *s = nullptr;
    QK_string__alloc(ctx, &s);
    QK_vhash__to_json(ctx, vh, s);
    if (QK_context__has_error(ctx)) abort();
    ourLen = QK_string__length_in_bytes(s);
    QK_string__free(ctx, s);
  });
  double theirWrite = best_ms(runs, [&] {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    d.Accept(w);
    theirLen = buf.GetSize();
  });
  QK_vhash__free(ctx, vh);

  printf("document: %.1f MB\n", doc.size() / 1048576.0);
  printf("read : ours %8.1f ms  rapidjson %8.1f ms  ratio %.2f\n", ourRead, theirRead, ourRead / theirRead);
  printf("write: ours %8.1f ms  rapidjson %8.1f ms  ratio %.2f  (output %.1f / %.1f MB; ours writes doubles "
         "with six decimals)\n",
         ourWrite, theirWrite, ourWrite / theirWrite, ourLen / 1048576.0, theirLen / 1048576.0);
  printf("peak memory added by a read: ours %ld MB  rapidjson %ld MB  ratio %.2f\n", ourPeak / 1024,
         theirPeak / 1024, theirPeak > 0 ? (double)ourPeak / theirPeak : 0.0);
  QK_context__free(ctx);
  return 0;
}

// Side by side in one run, reported as ratios (ours / reference; below 1 is faster):
//  - SHA-1 of a 256 MiB file through QK_file__read + QK_hash against `sha1sum`;
//  - QK_file__compress / QK_file__decompress against python3's zlib at the default level,
//    streaming file to file in the same 16 KiB steps.
// Usage: qk_files_bench [MiB for SHA-1 (256)] [MiB for zlib (64)] [rounds (3)]
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <string>

#include "qk/qk_file.h"
#include "qk/qk_misc_utils.h"
#include "qk/qkhash.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_of(const std::function<void()> &work) {
  auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double best_of(int rounds, const std::function<double()> &once) {
  double best = 1e300;
  for (int i = 0; i < rounds; i++) best = std::min(best, once());
  return best;
}

std::string shell_line(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  char buf[256];
  while (pipe && fgets(buf, sizeof buf, pipe)) out += buf;
  if (pipe) pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// Random bytes alternating with repeated text, so compression has work of both kinds.
void write_mixed_file(const std::string &path, size_t size) {
  std::mt19937_64 rng(17);
  FILE *f = fopen(path.c_str(), "wb");
  std::string block;
  for (size_t done = 0; done < size; done += block.size()) {
    block.clear();
    if (rng() % 2) {
      for (int i = 0; i < 4096; i++) block.push_back((char)rng());
    } else {
      for (int i = 0; i < 300; i++) block += "row " + std::to_string(rng() % 1000) + ";";
    }
    if (block.size() > size - done) block.resize(size - done);
    fwrite(block.data(), 1, block.size(), f);
  }
  fclose(f);
}

std::string our_sha1_of_file(QK_context *ctx, const std::string &path) {
  static char buf[1 << 16];
  QK_file *pFile = nullptr;
  QK_hash *h = nullptr;
  char out[QK_SHA1_SZ_SIZE] = "";
  QK_uint32 got = 0;
  QK_file__open(ctx, path.c_str(), QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &pFile);
  QK_hash__begin(&h);
  for (;;) {
    QK_file__read(ctx, pFile, sizeof buf, buf, &got);
    if (QK_context__has_error(ctx)) break;
    QK_hash__add_bytes(h, buf, got);
  }
  QK_context__reset_error(ctx);  // End of File
  QK_hash__end(&h, out, sizeof out);
  QK_file__close(ctx, &pFile);
  return out;
}

const char *kPythonZlib = R"(
import sys, time, zlib
mode, src, dst = sys.argv[1:4]
start = time.perf_counter()
z = zlib.compressobj(-1) if mode == 'c' else zlib.decompressobj()
with open(src, 'rb') as fin, open(dst, 'xb') as fout:
    while True:
        chunk = fin.read(16384)
        if not chunk:
            break
        fout.write(z.compress(chunk) if mode == 'c' else z.decompress(chunk))
    fout.write(z.flush())
print(time.perf_counter() - start)
)";

}  // namespace

int main(int argc, char **argv) {
  size_t shaMiB = argc > 1 ? atoi(argv[1]) : 256, zlibMiB = argc > 2 ? atoi(argv[2]) : 64;
  int rounds = argc > 3 ? atoi(argv[3]) : 3;
  char dirTemplate[] = "/tmp/qk_files_bench_XXXXXX";
  std::string dir = mkdtemp(dirTemplate);
  std::string big = dir + "/sha1.bin", src = dir + "/zlib.src", script = dir + "/zlib.py";
  QK_context *ctx = nullptr;
  QK_context__alloc(&ctx);

  write_mixed_file(big, shaMiB << 20);
  std::string ours, theirs;
  double tOurs = best_of(rounds, [&] { return seconds_of([&] { ours = our_sha1_of_file(ctx, big); }); });
  double tTheirs = best_of(rounds, [&] {
    return seconds_of([&] { theirs = shell_line("sha1sum '" + big + "' | cut -c1-40"); });
  });
  printf("sha1 %zu MiB: ours/sha1sum = %.2f (goal <= 1.5)%s\n", shaMiB, tOurs / tTheirs,
         ours == theirs ? "" : "  DIGESTS DIFFER");
  unlink(big.c_str());

  write_mixed_file(src, zlibMiB << 20);
  FILE *f = fopen(script.c_str(), "w");
  fputs(kPythonZlib, f);
  fclose(f);
  auto run_python = [&](const char *mode, const std::string &in, const std::string &out) {
    unlink(out.c_str());
    return atof(shell_line("/usr/bin/python3 '" + script + "' " + mode + " '" + in + "' '" + out + "'").c_str());
  };
  std::string oursZ = dir + "/ours.z", pyZ = dir + "/py.z", oursOut = dir + "/ours.out", pyOut = dir + "/py.out";
  double cOurs = best_of(rounds, [&] {
    unlink(oursZ.c_str());
    return seconds_of([&] { QK_file__compress(ctx, src.c_str(), oursZ.c_str()); });
  });
  double cPy = best_of(rounds, [&] { return run_python("c", src, pyZ); });
  double dOurs = best_of(rounds, [&] {
    unlink(oursOut.c_str());
    return seconds_of([&] { QK_file__decompress(ctx, pyZ.c_str(), oursOut.c_str(), ~0ULL); });
  });
  double dPy = best_of(rounds, [&] { return run_python("d", pyZ, pyOut); });
  bool same = shell_line("cmp '" + oursOut + "' '" + src + "' && cmp '" + pyOut + "' '" + src + "' && echo same") ==
              "same";
  printf("zlib %zu MiB: compress ours/python = %.2f, decompress ours/python = %.2f (goal <= 1.0)%s%s\n", zlibMiB,
         cOurs / cPy, dOurs / dPy, same ? "" : "  OUTPUT DIFFERS",
         QK_context__has_error(ctx) ? "  ERROR" : "");
  QK_context__free(ctx);
  shell_line("rm -rf '" + dir + "'");
  return same && ours == theirs ? 0 : 1;
}

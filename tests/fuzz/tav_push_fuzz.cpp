// libFuzzer entry point for pushed packages (built by tests/fuzz/run_push_fuzz.sh): each input
// is decoded into a package of version 2 to 6 and pushed in-process against the SQL Server
// stand-in; see push_fuzz_check.h for the property. With PUSH_FUZZ_SEEDS=DIR the valid seed
// pushes are written into DIR first. With PUSH_FUZZ_FINDINGS=DIR a broken property does not
// stop the run: the first input of each kind of finding is kept in DIR (finding-N, and its
// text in findings.txt) and the run goes on.
#include <stddef.h>
#include <stdint.h>

#include <set>

#include "push_fuzz_check.h"

namespace {

// What tells findings apart: the first line of the verdict after the query, and the first
// source line of the trace.
std::string signature(const std::string &verdict) {
  std::string sig;
  size_t line = verdict.find('\n');
  size_t next = line == std::string::npos ? std::string::npos : verdict.find('\n', line + 1);
  if (line != std::string::npos) sig = verdict.substr(line + 1, next - line - 1);
  size_t nl = next == std::string::npos ? std::string::npos : verdict.find('\n', next + 1);
  if (next != std::string::npos) sig += " | " + verdict.substr(next + 1, nl - next - 1);
  size_t src = verdict.find("src/");
  if (src != std::string::npos) sig += " @ " + verdict.substr(src, verdict.find('\n', src) - src);
  return sig;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *dir = getenv("PUSH_FUZZ_SEEDS");
  if (dir != nullptr) {
    std::filesystem::create_directories(dir);
    int n = 0;
    for (const std::string &s : push_fuzz::seeds())
      std::ofstream(std::string(dir) + "/seed-" + std::to_string(n++), std::ios::binary) << s;
  }
  push_fuzz::env();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::set<std::string> seen;
  push_fuzz::Result r = push_fuzz::run(data, size);
  if (r.verdict.empty()) return 0;
  const char *dir = getenv("PUSH_FUZZ_FINDINGS");
  if (dir == nullptr) {
    fprintf(stderr, "push fuzz property broken:\n%s\n", r.verdict.c_str());
    abort();
  }
  std::string sig = signature(r.verdict);
  if (!seen.insert(sig).second) return 0;
  std::filesystem::create_directories(dir);
  std::string name = std::string(dir) + "/finding-" + std::to_string(getpid()) + "-" + std::to_string(seen.size());
  std::ofstream(name, std::ios::binary).write((const char *)data, (std::streamsize)size);
  std::ofstream(std::string(dir) + "/findings.txt", std::ios::app) << "== " << name << "\n" << sig << "\n"
                                                                     << r.verdict << "\n\n";
  fprintf(stderr, "push fuzz finding %zu: %s\n", seen.size(), sig.c_str());
  return 0;
}

// libFuzzer entry point for the request URL's path and query readers and the pull's and push's
// key readers (built by tests/fuzz/run_query_fuzz.sh).
#include <stddef.h>
#include <stdint.h>

#include "query_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  query_fuzz_check(data, size);
  return 0;
}

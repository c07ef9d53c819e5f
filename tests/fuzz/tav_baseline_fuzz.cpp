// libFuzzer entry point for the baseline grammar of query key "from" (built by
// tests/fuzz/run_query_fuzz.sh).
#include <stddef.h>
#include <stdint.h>

#include "query_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  baseline_fuzz_check(data, size);
  return 0;
}

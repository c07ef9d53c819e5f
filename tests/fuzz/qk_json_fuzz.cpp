// libFuzzer entry point for the JSON reader and writer (built by tests/fuzz/run_json_fuzz.sh).
#include <stddef.h>
#include <stdint.h>

#include "json_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  json_fuzz_check(data, size);
  return 0;
}

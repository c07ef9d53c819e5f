// The property the JSON fuzz target and its corpus regression test check for one input:
// the reader never crashes or leaks, and what it accepts is written as text that reads back
// and writes again to the very same text (compact and pretty).
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "qk/qk_context.h"
#include "qk/qk_jsonparser.h"
#include "qk/qk_jsonwriter.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

// Compact or pretty text of a parsed root; "" when the text was refused.
inline std::string json_fuzz_read_write(QK_context *ctx, const std::string &text, int bPretty) {
  QK_vhash *pvh = nullptr;
  QK_varray *pva = nullptr;
  QK_string *out = nullptr;
  QK_jsonwriter *w = nullptr;
  std::string result;
  QK_jsonparser__build(ctx, text.data(), text.size(), &pvh, &pva);
  if (QK_context__has_error(ctx)) {
    QK_context__reset_error(ctx);
    return result;
  }
  QK_string__alloc(ctx, &out);
  if (bPretty)
    QK_jsonwriter__alloc__pretty(ctx, &w, out);
  else
    QK_jsonwriter__alloc(ctx, &w, out);
  if (pvh) QK_vhash__write_json(ctx, pvh, w);
  if (pva) QK_varray__write_json(ctx, pva, w);
  if (QK_context__has_error(ctx)) {
    fprintf(stderr, "an accepted document could not be written\n");
    abort();
  }
  result.assign(QK_string__sz(out), QK_string__length_in_bytes(out));
  QK_jsonwriter__free(ctx, w);
  QK_string__free(ctx, out);
  QK_vhash__free(ctx, pvh);
  QK_varray__free(ctx, pva);
  return result;
}

inline void json_fuzz_check(const unsigned char *data, size_t size) {
  QK_context *ctx = nullptr;
  if (size == 0 || QK_context__alloc(&ctx) != QK_OK) return;
  std::string text((const char *)data, size);
  std::string once = json_fuzz_read_write(ctx, text, 0);
  if (!once.empty()) {
    std::string twice = json_fuzz_read_write(ctx, once, 0);
    std::string pretty = json_fuzz_read_write(ctx, once, 1);
    std::string fromPretty = json_fuzz_read_write(ctx, pretty, 0);
    if (twice != once || fromPretty != once) {
      fprintf(stderr, "not a fixed point:\n%s\n%s\n%s\n", once.c_str(), twice.c_str(), fromPretty.c_str());
      abort();
    }
  }
  QK_context__free(ctx);
}

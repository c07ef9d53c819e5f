// The properties the request-query and baseline fuzz targets and their corpus test check for
// one input. A request URL: the path and query readers and every key reader of the pull and
// the push never crash, leak or overflow, and an accepted query written back URL-encoded reads
// as the very same pairs. A baseline string: the parser never crashes, leaks or overflows, an
// accepted string holds no txid, generation or count beyond the client bound, and written
// back in canonical form it reads as the very same baseline.
#pragma once

#include <stdio.h>
#include <ctype.h>
#include <stdlib.h>

#include <string>

#include "common/tav_utils.h"
#include "qk/qk_context.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_nullhash.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"
#include "server/tav_respond_protocol.h"

inline void query_fuzz_fail(const char *what, const std::string &detail) {
  fprintf(stderr, "%s:\n%s\n", what, detail.c_str());
  abort();
}

// ---- Baselines ----

// The baseline in a form the parser reads back to the same record: missing txids as "m"
// items (they leave the count alone), an older checkpoint, table ids to discard.
inline std::string baseline_fuzz_render(QK_context *ctx, const tav_baseline &b) {
  char hex[33];
  if (b.generation != -1 || b.generation_id != -1)
    return std::to_string(b.generation) + "g" + std::to_string(b.generation_id);
  std::string r = std::to_string(b.txid) + "," + QK_hex__encode_16(b.rstamp, hex) + "," + std::to_string(b.rebaseid) +
                  "," + std::to_string(b.tx_count) + "," + std::to_string(b.schema_txid);
  QK_uint32 n = b.missing_txids ? QK_varray__count_noctx(b.missing_txids) : 0;
  for (QK_uint32 i = 0; i < n; i++) {
    QK_int64 txid = 0;
    QK_varray__get__int64(ctx, b.missing_txids, i, &txid);
    r += "m" + std::to_string(txid);
  }
  if (b.older_txid != 0 || b.older_count != 0)
    r += "o" + std::to_string(b.older_txid) + "," + std::to_string(b.older_count);
  if (b.discard_tables) {
    QK_uint32 count = 0;
    QK_nullhash__count(ctx, b.discard_tables, &count);
    r += ";F";
    for (QK_uint32 i = 0; i < count; i++) {
      const char *id = nullptr;
      QK_nullhash__get_nth(ctx, b.discard_tables, i, &id);
      r += (i ? "," : "") + std::string(id);
    }
  }
  return r;
}

// The canonical text of a parsed baseline, or "" when the text was refused.
inline std::string baseline_fuzz_parse(QK_context *ctx, const std::string &text) {
  tav_baseline b{};
  std::string canonical;
  tav_respond__parse_baseline(ctx, text.c_str(), &b);
  if (QK_context__has_error(ctx)) {
    if (b.missing_txids != nullptr || b.discard_tables != nullptr) query_fuzz_fail("a refused baseline kept its lists", text);
    QK_context__reset_error(ctx);
    return canonical;
  }
  bool bounded = tav_client_number__in_range(b.txid) && tav_client_number__in_range(b.tx_count) &&
                 tav_client_number__in_range(b.schema_txid) && tav_client_number__in_range(b.older_txid) &&
                 tav_client_number__in_range(b.older_count) && tav_client_number__in_range(b.generation);
  QK_uint32 n = b.missing_txids ? QK_varray__count_noctx(b.missing_txids) : 0;
  for (QK_uint32 i = 0; i < n; i++) {
    QK_int64 txid = 0;
    QK_varray__get__int64(ctx, b.missing_txids, i, &txid);
    bounded = bounded && tav_client_number__in_range(txid);
  }
  if (!bounded) query_fuzz_fail("an accepted baseline holds a number out of range", text);
  canonical = baseline_fuzz_render(ctx, b);
  tav_baseline__free_collections(ctx, &b);
  return canonical;
}

inline void baseline_fuzz_check(const unsigned char *data, size_t size) {
  QK_context *ctx = nullptr;
  if (QK_context__alloc(&ctx) != QK_OK) return;
  std::string text((const char *)data, size);
  std::string once = baseline_fuzz_parse(ctx, text.c_str());
  if (!once.empty()) {
    std::string twice = baseline_fuzz_parse(ctx, once);
    if (twice != once) query_fuzz_fail("a baseline is not a fixed point", text + "\n" + once + "\n" + twice);
  }
  QK_context__free(ctx);
}

// ---- Request queries ----

inline std::string query_fuzz_encode(const char *text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
    if (isalnum(*p) || *p == '-' || *p == '.' || *p == '_' || *p == '~') {
      out += (char)*p;
    } else {
      out += '%';
      out += digits[*p >> 4];
      out += digits[*p & 15];
    }
  }
  return out;
}

// The query document of a query text written as "name=value" lines, or "" when refused.
inline std::string query_fuzz_pairs(QK_context *ctx, const char *query, QK_vhash **ppQuery) {
  QK_varray *pairs = nullptr;
  QK_vhash *pvh = nullptr;
  std::string lines;
  QK_uint32 count = 0;
  tav_url__parse_query(ctx, query, &pairs);
  if (!QK_context__has_error(ctx)) tav_url__pairs_to_vhash(ctx, pairs, &pvh);
  QK_varray__free(ctx, pairs);
  if (QK_context__has_error(ctx)) {
    QK_context__reset_error(ctx);
    return lines;
  }
  QK_vhash__count(ctx, pvh, &count);
  for (QK_uint32 i = 0; i < count; i++) {
    const char *key = nullptr, *value = nullptr;
    QK_vhash__get_nth_pair__sz(ctx, pvh, i, &key, &value);
    lines += std::string(key) + "=" + (value ? value : "") + "\n";
  }
  if (QK_context__has_error(ctx)) query_fuzz_fail("an accepted query could not be read back", query);
  *ppQuery = pvh;
  return lines.empty() ? "\n" : lines;
}

// Every key reader of the pull and the push on the document; refusals are fine, crashes not.
inline void query_fuzz_read_keys(QK_context *ctx, const QK_vhash *pQuery) {
  const char *value = nullptr, *bad = nullptr;
  QK_uint8 pending[16];
  QK_int64 fid = 0;
  int pv = 0;
  tav_baseline b{};
  QK_vhash__check__sz(ctx, pQuery, "from", &value);
  if (value) baseline_fuzz_parse(ctx, value);
  value = nullptr;
  QK_vhash__check__sz(ctx, pQuery, "x", &value);
  if (value) {
    tav_respond__read_pull_x(ctx, value, &b, &bad);
    QK_context__reset_error(ctx);
    tav_respond__read_push_x(ctx, value, &b, &bad);
    QK_context__reset_error(ctx);
    if (!bad && !tav_client_number__in_range(b.txid)) query_fuzz_fail("a push x out of range was accepted", value);
  }
  value = nullptr;
  QK_vhash__check__sz(ctx, pQuery, "first", &value);
  if (value) {
    b.txid = 0;
    tav_respond__read_pull_first(ctx, value, &b, &bad);
    if (!QK_context__has_error(ctx) && !bad && !tav_client_number__in_range(b.txid))
      query_fuzz_fail("a first out of range was accepted", value);
    QK_context__reset_error(ctx);
  }
  value = nullptr;
  QK_vhash__check__sz(ctx, pQuery, "pending", &value);
  if (value) tav_respond__read_pending(ctx, value, pending, &bad);
  QK_context__reset_error(ctx);
  value = nullptr;
  QK_vhash__check__sz(ctx, pQuery, "pv", &value);
  tav_respond__read_pv(ctx, value, &pv, &bad);
  if (!QK_context__has_error(ctx) && !bad && !is_valid_pkg_version(pv)) query_fuzz_fail("a bad pv was accepted", value);
  QK_context__reset_error(ctx);
  QK_vhash__get__int64(ctx, pQuery, "fid", &fid);
  QK_context__reset_error(ctx);
}

inline void query_fuzz_check(const unsigned char *data, size_t size) {
  QK_context *ctx = nullptr;
  char *path = nullptr, *query = nullptr;
  QK_vhash *pQuery = nullptr, *pAgain = nullptr;
  if (QK_context__alloc(&ctx) != QK_OK) return;
  std::string url((const char *)data, size);
  tav_url__get_path(ctx, url.c_str(), &path);
  QK_context__reset_error(ctx);
  tav_url__get_query(ctx, url.c_str(), &query);
  if (query != nullptr) {
    std::string once = query_fuzz_pairs(ctx, query, &pQuery);
    if (pQuery != nullptr) {
      QK_uint32 count = 0;
      std::string written = "?";
      QK_vhash__count(ctx, pQuery, &count);
      for (QK_uint32 i = 0; i < count; i++) {
        const char *key = nullptr, *value = nullptr;
        QK_vhash__get_nth_pair__sz(ctx, pQuery, i, &key, &value);
        written += (i ? "&" : "") + query_fuzz_encode(key) + "=" + query_fuzz_encode(value ? value : "");
      }
      std::string twice = query_fuzz_pairs(ctx, written.c_str(), &pAgain);
      if (twice != once) query_fuzz_fail("a query does not read back as the same pairs", url + "\n" + written);
      query_fuzz_read_keys(ctx, pQuery);
    }
  }
  QK_vhash__free(ctx, pQuery);
  QK_vhash__free(ctx, pAgain);
  QK_free(ctx, path);
  QK_free(ctx, query);
  QK_context__free(ctx);
}

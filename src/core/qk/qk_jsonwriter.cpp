/* Streaming JSON output. */
#include "qk/qk_jsonwriter.h"

#include <charconv>
#include <math.h>
#include <string.h>

#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

/* Longest six-decimal text kept for members and for other values; longer ones take the
 * shortest exact form instead. */
#define QK_JSONWRITER_MEMBER_DOUBLE_MAX 62
#define QK_JSONWRITER_VALUE_DOUBLE_MAX 254

static void alloc_writer(QK_context *ctx, QK_jsonwriter **ppNew, QK_string *pDest, int bPretty) {
  QK_jsonwriter *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_ARG_NOT_NULL(ctx, pDest);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_jsonwriter), &pNew));
  pNew->bPretty = bPretty;
  pNew->pDest = pDest;
  *ppNew = pNew;
done:;
}

void QK_jsonwriter__alloc(QK_context *ctx, QK_jsonwriter **ppNew, QK_string *pDest) {
  QK_TRY(ctx, alloc_writer(ctx, ppNew, pDest, 0));
done:;
}

void QK_jsonwriter__alloc__pretty(QK_context *ctx, QK_jsonwriter **ppNew, QK_string *pDest) {
  QK_TRY(ctx, alloc_writer(ctx, ppNew, pDest, 1));
done:;
}

void QK_jsonwriter__free(QK_context *ctx, QK_jsonwriter *pjson) {
  if (pjson == NULL) return;
  QK_RELEASE(ctx, QK_free(ctx, pjson->levels));
  QK_RELEASE(ctx, QK_free(ctx, pjson));
}

/* Appends straight into the destination's buffer. Growth, bytes that lie inside the buffer
 * itself (refused with 17) and a damaged string take the string's own checked path. */
static inline void append(QK_context *ctx, QK_jsonwriter *pjson, const char *p, size_t len) {
  QK_string *pStr = pjson->pDest;
  char *pBuf = pStr->m_pBuf;
  if (pBuf == NULL || (QK_uint64)pStr->m_uiSizeInUse + len + 4 > pStr->m_uiCapacity ||
      (p >= pBuf && p < pBuf + pStr->m_uiCapacity)) {
    QK_TRY(ctx, QK_string__append__buflen(ctx, pStr, p, (QK_uint32)len));
    goto done;
  }
  memcpy(pBuf + pStr->m_uiSizeInUse, p, len);
  pStr->m_uiSizeInUse += (QK_uint32)len;
  pBuf[pStr->m_uiSizeInUse] = '\0';
done:;
}

/* A line feed and one tab per level. */
static void newline_and_tabs(QK_context *ctx, QK_jsonwriter *pjson, QK_uint32 tabs) {
  static const char szTabs[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
  QK_TRY(ctx, append(ctx, pjson, "\n", 1));
  while (tabs > 0) {
    QK_uint32 n = tabs < sizeof szTabs - 1 ? tabs : (QK_uint32)(sizeof szTabs - 1);
    QK_TRY(ctx, append(ctx, pjson, szTabs, n));
    tabs -= n;
  }
done:;
}

static QK_jsonwriter_level *innermost(QK_jsonwriter *pjson) {
  return pjson->depth ? &pjson->levels[pjson->depth - 1] : NULL;
}

static void start_container(QK_context *ctx, QK_jsonwriter *pjson, QK_uint32 kind) {
  QK_jsonwriter_level *pOuter;
  QK_uint32 d;
  QK_ARG_NOT_NULL(ctx, pjson);
  if (pjson->depth == pjson->capacity) {
    QK_jsonwriter_level *pNew = NULL;
    QK_uint32 capacity = pjson->capacity ? pjson->capacity * 2 : 16;
    QK_TRY(ctx, QK_alloc(ctx, capacity, sizeof(QK_jsonwriter_level), &pNew));
    if (pjson->depth) memcpy(pNew, pjson->levels, pjson->depth * sizeof(QK_jsonwriter_level));
    QK_RELEASE(ctx, QK_free(ctx, pjson->levels));
    pjson->levels = pNew;
    pjson->capacity = capacity;
  }
  pOuter = innermost(pjson);
  d = pjson->depth;
  if (pjson->bPretty && pOuter != NULL && pOuter->kind == QK_JSONWRITER_OBJECT)
    QK_TRY(ctx, newline_and_tabs(ctx, pjson, d));
  QK_TRY(ctx, append(ctx, pjson, kind == QK_JSONWRITER_OBJECT ? "{" : "[", 1));
  if (pjson->bPretty) QK_TRY(ctx, newline_and_tabs(ctx, pjson, d + 1));
  pjson->levels[pjson->depth].kind = kind;
  pjson->levels[pjson->depth].count = 0;
  pjson->depth++;
done:;
}

static void end_container(QK_context *ctx, QK_jsonwriter *pjson, QK_uint32 kind) {
  QK_jsonwriter_level *pLevel;
  QK_ARG_NOT_NULL(ctx, pjson);
  pLevel = innermost(pjson);
  if (pLevel == NULL || pLevel->kind != kind) QK_THROW(ctx, QK_ERR_JSON_NOT_WELL_FORMED);
  if (pjson->bPretty) QK_TRY(ctx, newline_and_tabs(ctx, pjson, pjson->depth - 1));
  QK_TRY(ctx, append(ctx, pjson, kind == QK_JSONWRITER_OBJECT ? "}" : "]", 1));
  pjson->depth--;
  if (pjson->bPretty && pjson->depth == 0 && kind == QK_JSONWRITER_OBJECT)
    QK_TRY(ctx, append(ctx, pjson, "\n", 1));
done:;
}

void QK_jsonwriter__start_object(QK_context *ctx, QK_jsonwriter *pjson) {
  QK_TRY(ctx, start_container(ctx, pjson, QK_JSONWRITER_OBJECT));
done:;
}

void QK_jsonwriter__start_array(QK_context *ctx, QK_jsonwriter *pjson) {
  QK_TRY(ctx, start_container(ctx, pjson, QK_JSONWRITER_ARRAY));
done:;
}

void QK_jsonwriter__end_object(QK_context *ctx, QK_jsonwriter *pjson) {
  QK_TRY(ctx, end_container(ctx, pjson, QK_JSONWRITER_OBJECT));
done:;
}

void QK_jsonwriter__end_array(QK_context *ctx, QK_jsonwriter *pjson) {
  QK_TRY(ctx, end_container(ctx, pjson, QK_JSONWRITER_ARRAY));
done:;
}

/* Checks the innermost container's kind, writes the separator before all but the first
 * entry and counts the entry. */
static void next_entry(QK_context *ctx, QK_jsonwriter *pjson, QK_uint32 kind) {
  QK_jsonwriter_level *pLevel = innermost(pjson);
  if (pLevel == NULL || pLevel->kind != kind) QK_THROW(ctx, QK_ERR_JSON_NOT_WELL_FORMED);
  if (pLevel->count > 0) {
    QK_TRY(ctx, append(ctx, pjson, ",", 1));
    if (pjson->bPretty) QK_TRY(ctx, newline_and_tabs(ctx, pjson, pjson->depth));
  }
  pLevel->count++;
done:;
}

void QK_jsonwriter__begin_element(QK_context *ctx, QK_jsonwriter *pjson) {
  QK_ARG_NOT_NULL(ctx, pjson);
  QK_TRY(ctx, next_entry(ctx, pjson, QK_JSONWRITER_ARRAY));
done:;
}

static int needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

/* Escapes backslash, quote and the bytes below 0x20 (a NUL character as \u0000); every other
 * byte is copied as it is. */
static void write_escaped(QK_context *ctx, QK_jsonwriter *pjson, const char *text, size_t len) {
  static const char hex[] = "0123456789abcdef";
  const char *run = text;
  const char *p = text;
  const char *end = text + len;
  for (; p < end; p++) {
    unsigned char c = (unsigned char)*p;
    char esc[6];
    size_t lenEsc = 2;
    if (!needs_escape(c)) continue;
    QK_TRY(ctx, append(ctx, pjson, run, (size_t)(p - run)));
    run = p + 1;
    esc[0] = '\\';
    switch (c) {
      case '"': esc[1] = '"'; break;
      case '\\': esc[1] = '\\'; break;
      case '\n': esc[1] = 'n'; break;
      case '\r': esc[1] = 'r'; break;
      case '\t': esc[1] = 't'; break;
      default:
        memcpy(esc + 1, "u00", 3);
        esc[4] = hex[c >> 4];
        esc[5] = hex[c & 0xF];
        lenEsc = 6;
    }
    QK_TRY(ctx, append(ctx, pjson, esc, lenEsc));
  }
  QK_TRY(ctx, append(ctx, pjson, run, (size_t)(p - run)));
done:;
}

void QK_jsonwriter__write_text(QK_context *ctx, QK_jsonwriter *pjson, const char *text, QK_uint32 len) {
  QK_ARG_NOT_NULL(ctx, pjson);
  if (len > 0) QK_ARG_NOT_NULL(ctx, text);
  if (text == NULL) text = "";
  QK_TRY(ctx, append(ctx, pjson, "\"", 1));
  QK_TRY(ctx, write_escaped(ctx, pjson, text, len));
  QK_TRY(ctx, append(ctx, pjson, "\"", 1));
done:;
}

void QK_jsonwriter__write_string(QK_context *ctx, QK_jsonwriter *pjson, const char *text) {
  QK_ARG_NOT_NULL(ctx, text);
  QK_TRY(ctx, QK_jsonwriter__write_text(ctx, pjson, text, (QK_uint32)strlen(text)));
done:;
}

void QK_jsonwriter__write_pair_name(QK_context *ctx, QK_jsonwriter *pjson, const char *name) {
  QK_ARG_NOT_NULL(ctx, pjson);
  QK_ARG_NOT_NULL(ctx, name);
  QK_TRY(ctx, next_entry(ctx, pjson, QK_JSONWRITER_OBJECT));
  QK_TRY(ctx, QK_jsonwriter__write_string(ctx, pjson, name));
  if (pjson->bPretty)
    QK_TRY(ctx, append(ctx, pjson, " : ", 3));
  else
    QK_TRY(ctx, append(ctx, pjson, ":", 1));
done:;
}

/* The text of a finite double: "%f"-style six decimals when that has at most maxLen
 * characters and reads back to the same double, else the shortest text that reads back,
 * with "." or an exponent so that it stays a floating-point number. Locale-independent. */
static void format_double(QK_context *ctx, double value, size_t maxLen, char *buf, size_t *pLen) {
  char fixed[400];
  std::to_chars_result r;
  double back = 0;
  if (!isfinite(value)) QK_THROW(ctx, QK_ERR_JSON_UNSERIALIZABLE);
  /* Below 1e9 a double is within 1e-7 of its shortest text; when that text has at most six
   * decimals it is therefore the six-decimal rounding too, and reads back: pad it. */
  if (fabs(value) < 1e9 && (value == 0 || fabs(value) >= 1e-6)) {
    r = std::to_chars(fixed, fixed + 64, value, std::chars_format::fixed);
    const char *pPoint = r.ec == std::errc() ? (const char *)memchr(fixed, '.', (size_t)(r.ptr - fixed)) : NULL;
    size_t decimals = pPoint ? (size_t)(r.ptr - pPoint - 1) : 0;
    if (r.ec == std::errc() && decimals <= 6) {
      char *pEnd = r.ptr;
      if (pPoint == NULL) *pEnd++ = '.';
      for (; decimals < 6; decimals++) *pEnd++ = '0';
      *pLen = (size_t)(pEnd - fixed);
      memcpy(buf, fixed, *pLen);
      goto done;
    }
  }
  r = std::to_chars(fixed, fixed + sizeof fixed, value, std::chars_format::fixed, 6);
  if (r.ec == std::errc() && (size_t)(r.ptr - fixed) <= maxLen) {
    std::from_chars(fixed, r.ptr, back);
    if (memcmp(&back, &value, sizeof value) == 0) {
      *pLen = (size_t)(r.ptr - fixed);
      memcpy(buf, fixed, *pLen);
      goto done;
    }
  }
  r = std::to_chars(buf, buf + 64, value);
  *pLen = (size_t)(r.ptr - buf);
  if (memchr(buf, '.', *pLen) == NULL && memchr(buf, 'e', *pLen) == NULL) {
    memcpy(buf + *pLen, ".0", 2);
    *pLen += 2;
  }
done:;
}

void QK_jsonwriter__write_double(QK_context *ctx, QK_jsonwriter *pjson, double value) {
  char buf[400];
  size_t len = 0;
  QK_ARG_NOT_NULL(ctx, pjson);
  QK_TRY(ctx, format_double(ctx, value, QK_JSONWRITER_VALUE_DOUBLE_MAX, buf, &len));
  QK_TRY(ctx, append(ctx, pjson, buf, len));
done:;
}

void QK_jsonwriter__write_int64(QK_context *ctx, QK_jsonwriter *pjson, QK_int64 value) {
  char buf[QK_INT64_SZ_SIZE];
  std::to_chars_result r;
  QK_ARG_NOT_NULL(ctx, pjson);
  r = std::to_chars(buf, buf + sizeof buf, value);
  QK_TRY(ctx, append(ctx, pjson, buf, (size_t)(r.ptr - buf)));
done:;
}

void QK_jsonwriter__write_variant(QK_context *ctx, QK_jsonwriter *pjson, const QK_variant *pv) {
  QK_ARG_NOT_NULL(ctx, pjson);
  QK_ARG_NOT_NULL(ctx, pv);
  switch (pv->type) {
    case QK_VARIANT_TYPE_NULL: QK_TRY(ctx, append(ctx, pjson, "null", 4)); break;
    case QK_VARIANT_TYPE_INT64:
      if (QK_int64__fits_int32(pv->u.i64)) {
        QK_TRY(ctx, QK_jsonwriter__write_int64(ctx, pjson, pv->u.i64));
      } else {
        /* Readers with 32-bit or double-precision numbers get the exact digits as text. */
        QK_TRY(ctx, append(ctx, pjson, "\"", 1));
        QK_TRY(ctx, QK_jsonwriter__write_int64(ctx, pjson, pv->u.i64));
        QK_TRY(ctx, append(ctx, pjson, "\"", 1));
      }
      break;
    case QK_VARIANT_TYPE_DOUBLE: QK_TRY(ctx, QK_jsonwriter__write_double(ctx, pjson, pv->u.dbl)); break;
    case QK_VARIANT_TYPE_BOOL:
      if (pv->u.b)
        QK_TRY(ctx, append(ctx, pjson, "true", 4));
      else
        QK_TRY(ctx, append(ctx, pjson, "false", 5));
      break;
    case QK_VARIANT_TYPE_SZ: QK_TRY(ctx, QK_jsonwriter__write_text(ctx, pjson, pv->u.psz, pv->len)); break;
    case QK_VARIANT_TYPE_VHASH: QK_TRY(ctx, QK_vhash__write_json(ctx, pv->u.pvh, pjson)); break;
    case QK_VARIANT_TYPE_VARRAY: QK_TRY(ctx, QK_varray__write_json(ctx, pv->u.pva, pjson)); break;
    default: QK_THROW(ctx, QK_ERR_UNSPECIFIED);
  }
done:;
}

void QK_jsonwriter__write_pair__null(QK_context *ctx, QK_jsonwriter *pjson, const char *name) {
  QK_TRY(ctx, QK_jsonwriter__write_pair_name(ctx, pjson, name));
  QK_TRY(ctx, append(ctx, pjson, "null", 4));
done:;
}

void QK_jsonwriter__write_pair__int64(QK_context *ctx, QK_jsonwriter *pjson, const char *name, QK_int64 value) {
  QK_TRY(ctx, QK_jsonwriter__write_pair_name(ctx, pjson, name));
  QK_TRY(ctx, QK_jsonwriter__write_int64(ctx, pjson, value));
done:;
}

void QK_jsonwriter__write_pair__double(QK_context *ctx, QK_jsonwriter *pjson, const char *name, double value) {
  char buf[400];
  size_t len = 0;
  /* Formatted first, so a refused value writes no name either. */
  QK_TRY(ctx, format_double(ctx, value, QK_JSONWRITER_MEMBER_DOUBLE_MAX, buf, &len));
  QK_TRY(ctx, QK_jsonwriter__write_pair_name(ctx, pjson, name));
  QK_TRY(ctx, append(ctx, pjson, buf, len));
done:;
}

void QK_jsonwriter__write_pair__string(QK_context *ctx, QK_jsonwriter *pjson, const char *name, const char *value) {
  QK_ARG_NOT_NULL(ctx, value);
  QK_TRY(ctx, QK_jsonwriter__write_pair_name(ctx, pjson, name));
  QK_TRY(ctx, QK_jsonwriter__write_string(ctx, pjson, value));
done:;
}

void QK_jsonwriter__write_pair__text(QK_context *ctx, QK_jsonwriter *pjson, const char *name, const char *value,
                                     QK_uint32 len) {
  QK_TRY(ctx, QK_jsonwriter__write_pair_name(ctx, pjson, name));
  QK_TRY(ctx, QK_jsonwriter__write_text(ctx, pjson, value, len));
done:;
}

void QK_jsonwriter__write_pair__variant(QK_context *ctx, QK_jsonwriter *pjson, const char *name,
                                        const QK_variant *pv) {
  QK_ARG_NOT_NULL(ctx, pv);
  QK_TRY(ctx, QK_jsonwriter__write_pair_name(ctx, pjson, name));
  QK_TRY(ctx, QK_jsonwriter__write_variant(ctx, pjson, pv));
done:;
}

void QK_jsonwriter__write_element__variant(QK_context *ctx, QK_jsonwriter *pjson, const QK_variant *pv) {
  QK_ARG_NOT_NULL(ctx, pv);
  QK_TRY(ctx, QK_jsonwriter__begin_element(ctx, pjson));
  QK_TRY(ctx, QK_jsonwriter__write_variant(ctx, pjson, pv));
done:;
}

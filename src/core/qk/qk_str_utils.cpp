/* Integer parsing and printing, bounded formatting, copies, compares and text repairs. */
#include "qk/qk_str_utils.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "qk/qk_malloc.h"
#include "qk/qk_string.h"
#include "qk/qk_web_utils.h"

enum parse_result { PARSE_OK, PARSE_EMPTY, PARSE_BAD };

/* "-"? digits+ up to the NUL, within [minValue, maxValue]. Out-of-range counts as bad. */
static parse_result parse_signed(const char *sz, QK_int64 minValue, QK_int64 maxValue, QK_int64 *pValue) {
  const char *p = sz;
  int negative = 0;
  QK_uint64 magnitude = 0;
  QK_uint64 limit;
  if (sz == NULL || sz[0] == '\0' || strcmp(sz, "-") == 0) return PARSE_EMPTY;
  if (*p == '-') {
    negative = 1;
    p++;
  }
  limit = negative ? (QK_uint64)0 - (QK_uint64)minValue : (QK_uint64)maxValue;
  for (; *p; p++) {
    unsigned digit = (unsigned char)*p - '0';
    if (digit > 9) return PARSE_BAD;
    if (magnitude > (limit - digit) / 10) return PARSE_BAD;
    magnitude = magnitude * 10 + digit;
  }
  *pValue = negative ? (QK_int64)((QK_uint64)0 - magnitude) : (QK_int64)magnitude;
  return PARSE_OK;
}

/* Parses strictly; on failure raises 137 (with the text as message unless it is empty). */
static int parse_strict(QK_context *ctx, const char *sz, QK_int64 minValue, QK_int64 maxValue, QK_int64 *pValue) {
  parse_result result = parse_signed(sz, minValue, maxValue, pValue);
  if (result == PARSE_EMPTY) QK_context__throw(ctx, QK_ERR_INT_PARSE, __FILE__, __LINE__);
  if (result == PARSE_BAD) QK_context__throw_msg(ctx, QK_ERR_INT_PARSE, __FILE__, __LINE__, sz);
  return result == PARSE_OK;
}

void QK_int32__parse(QK_context *ctx, QK_int32 *pValue, const char *sz) {
  QK_int64 value = 0;
  if (parse_strict(ctx, sz, INT32_MIN, INT32_MAX, &value)) *pValue = (QK_int32)value;
}

void QK_int32__parse__escaped(QK_context *ctx, QK_int32 *pValue, const char *sz) {
  QK_int64 value = 0;
  QK_string *pEscaped = NULL;
  parse_result result = parse_signed(sz, INT32_MIN, INT32_MAX, &value);
  if (result == PARSE_OK) {
    *pValue = (QK_int32)value;
    goto done;
  }
  if (result == PARSE_EMPTY) QK_THROW(ctx, QK_ERR_INT_PARSE);
  QK_TRY(ctx, QK_string__alloc(ctx, &pEscaped));
  QK_TRY(ctx, QK_html__escape(ctx, sz, pEscaped));
  QK_THROW_MSG(ctx, QK_ERR_INT_PARSE, QK_string__sz(pEscaped));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pEscaped));
}

void QK_int64__parse(QK_context *ctx, QK_int64 *pValue, const char *sz) {
  QK_int64 value = 0;
  if (parse_strict(ctx, sz, INT64_MIN, INT64_MAX, &value)) *pValue = value;
}

void QK_uint64__parse(QK_context *ctx, QK_uint64 *pValue, const char *sz) {
  QK_uint64 value = 0;
  const char *p = sz;
  if (sz == NULL || sz[0] == '\0') QK_THROW(ctx, QK_ERR_INT_PARSE);
  for (; *p; p++) {
    unsigned digit = (unsigned char)*p - '0';
    if (digit > 9 || value > (UINT64_MAX - digit) / 10) QK_THROW(ctx, QK_ERR_INT_PARSE);
    value = value * 10 + digit;
  }
  *pValue = value;
done:;
}

void QK_int64__parse_prefix(QK_context *, const char *sz, QK_int64 *pValue, const char **pszEnd) {
  const char *p = sz;
  int negative = 0;
  QK_uint64 magnitude = 0;
  QK_uint64 limit;
  while (*p == ' ') p++;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  limit = negative ? (QK_uint64)INT64_MAX + 1 : (QK_uint64)INT64_MAX;
  for (; *p >= '0' && *p <= '9'; p++) {
    unsigned digit = (unsigned)(*p - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  if (pValue) *pValue = negative ? (QK_int64)((QK_uint64)0 - magnitude) : (QK_int64)magnitude;
  if (pszEnd) *pszEnd = p;
}

char *QK_uint64__to_sz(QK_uint64 value, char *buf) {
  char *p = buf;
  if (buf == NULL) return NULL;
  do {
    *p++ = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  *p = '\0';
  for (char *a = buf, *b = p - 1; a < b; a++, b--) {
    char c = *a;
    *a = *b;
    *b = c;
  }
  return buf;
}

char *QK_int64__to_sz(QK_int64 value, char *buf) {
  if (buf == NULL) return NULL;
  if (value < 0) {
    buf[0] = '-';
    QK_uint64__to_sz((QK_uint64)0 - (QK_uint64)value, buf + 1);
  } else {
    QK_uint64__to_sz((QK_uint64)value, buf);
  }
  return buf;
}

/* vsnprintf on a copy of args; negative means the formatter itself failed (errno kept). */
static int format_into(char *pBuf, size_t lenBuf, const char *szFormat, va_list args) {
  va_list attempt;
  va_copy(attempt, args);
  errno = 0;
  int needed = vsnprintf(pBuf, lenBuf, szFormat, attempt);
  va_end(attempt);
  return needed;
}

static QK_error formatter_error(void) { return QK_ERROR_FROM_ERRNO(errno ? errno : EINVAL); }

void QK_vsprintf_buf(QK_context *ctx, char *pBuf, QK_uint32 lenBuf, const char *szFormat, va_list args) {
  QK_ARG_NOT_NULL(ctx, pBuf);
  QK_ARG_VALID(ctx, lenBuf, lenBuf>0);
  pBuf[0] = '\0';
  QK_ARG_NOT_NULL(ctx, szFormat);
  if (format_into(pBuf, lenBuf, szFormat, args) < 0) {
    pBuf[0] = '\0';
    QK_THROW(ctx, formatter_error());
  }
done:;
}

void QK_sprintf_buf(QK_context *ctx, char *pBuf, QK_uint32 lenBuf, const char *szFormat, ...) {
  va_list args;
  int needed;
  QK_ARG_NOT_NULL(ctx, pBuf);
  QK_ARG_VALID(ctx, lenBuf, lenBuf>0);
  pBuf[0] = '\0';
  QK_ARG_NOT_NULL(ctx, szFormat);
  va_start(args, szFormat);
  needed = format_into(pBuf, lenBuf, szFormat, args);
  va_end(args);
  if (needed < 0) {
    pBuf[0] = '\0';
    QK_THROW(ctx, formatter_error());
  }
  if ((QK_uint64)needed >= lenBuf) {
    pBuf[0] = '\0';
    QK_THROW(ctx, QK_ERR_BUFFER_TOO_SMALL);
  }
done:;
}

char *QK_sz__vformat_alloc(const char *szFormat, va_list args) {
  QK_uint64 size = 64;
  char *pBuf = NULL;
  int needed;
  if (szFormat == NULL) return NULL;
  needed = format_into(NULL, 0, szFormat, args);
  if (needed < 0) return NULL;
  while (size <= (QK_uint64)needed) size *= 2;
  if (size > UINT32_MAX) size = (QK_uint64)needed + 1;
  if (QK_ERROR_CODE(QK_alloc_noctx(1, (QK_uint32)size, &pBuf)) != 0) return NULL;
  if (format_into(pBuf, size, szFormat, args) != needed) {
    QK_free_noctx(pBuf);
    return NULL;
  }
  return pBuf;
}

char *QK_sz__format_alloc(const char *szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  char *sz = QK_sz__vformat_alloc(szFormat, args);
  va_end(args);
  return sz;
}

void QK_strcpy(QK_context *ctx, char *szDest, QK_uint32 lenDest, const char *szSrc) {
  size_t len;
  QK_ARG_NOT_NULL(ctx, szDest);
  QK_ARG_VALID(ctx, lenDest, lenDest>=1);
  QK_ARG_NOT_NULL(ctx, szSrc);
  len = strnlen(szSrc, lenDest);
  if (len >= lenDest) {
    memcpy(szDest, szSrc, lenDest - 1);
    szDest[lenDest - 1] = '\0';
    QK_THROW(ctx, QK_ERR_BUFFER_TOO_SMALL);
  }
  memcpy(szDest, szSrc, len);
  memset(szDest + len, 0, lenDest - len);
done:;
}

void QK_strdup(QK_context *ctx, const char *szSrc, char **pszCopy) {
  size_t len;
  char *pCopy = NULL;
  QK_ARG_NOT_NULL(ctx, szSrc);
  QK_ARG_NOT_NULL(ctx, pszCopy);
  len = strlen(szSrc);
  if (len >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)len + 1, &pCopy));
  memcpy(pCopy, szSrc, len + 1);
  *pszCopy = pCopy;
done:;
}

char *QK_strdup_noctx(const char *szSrc) {
  char *pCopy = NULL;
  size_t len;
  if (szSrc == NULL) return NULL;
  len = strlen(szSrc);
  if (len >= UINT32_MAX || QK_ERROR_CODE(QK_alloc_noctx(1, (QK_uint32)len + 1, &pCopy)) != 0) return NULL;
  memcpy(pCopy, szSrc, len + 1);
  return pCopy;
}

static int fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

int QK_strnicmp(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    int ca = fold((unsigned char)a[i]), cb = fold((unsigned char)b[i]);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

int QK_stricmp(const char *a, const char *b) { return QK_strnicmp(a, b, SIZE_MAX); }

int QK_memicmp(const void *a, const void *b, size_t n) {
  const unsigned char *pa = (const unsigned char *)a, *pb = (const unsigned char *)b;
  for (size_t i = 0; i < n; i++) {
    int ca = fold(pa[i]), cb = fold(pb[i]);
    if (ca != cb) return ca - cb;
  }
  return 0;
}

int QK_strcmp_null(const char *a, const char *b) {
  int cmp;
  if (a == NULL || b == NULL) return a == b ? 0 : (a == NULL ? -1 : 1);
  cmp = strcmp(a, b); /* strcmp compares as unsigned char */
  return cmp < 0 ? -1 : (cmp > 0 ? 1 : 0);
}

void QK_sz__double_single_quotes(QK_context *ctx, const char *sz, char **pszOut) {
  size_t quotes = 0, len;
  char *pOut = NULL, *q;
  QK_ARG_NOT_NULL(ctx, pszOut);
  *pszOut = NULL;
  if (sz == NULL) goto done;
  for (len = 0; sz[len]; len++) quotes += sz[len] == '\'';
  if (quotes == 0) goto done;
  if (len + quotes >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)(len + quotes + 1), &pOut));
  q = pOut;
  for (const char *p = sz; *p; p++) {
    *q++ = *p;
    if (*p == '\'') *q++ = '\'';
  }
  *q = '\0';
  *pszOut = pOut;
done:;
}

const char *QK_sz__trim_source_path(const char *szPath) {
  const char *p = strstr(szPath, "/src/");
  if (p == NULL) p = strstr(szPath, "\\src\\");
  if (p != NULL) return p + 1;
  while (*szPath == '.' || *szPath == '/' || *szPath == '\\') szPath++;
  return szPath;
}

/* Number of continuation bytes (0x80-0xBF) at p, up to want; stops at the NUL. */
static int continuation_bytes(const unsigned char *p, int want) {
  int n = 0;
  while (n < want && p[n] >= 0x80 && p[n] <= 0xBF) n++;
  return n;
}

void QK_sz__sanitize_utf8(QK_context *ctx, char *p) {
  unsigned char *s = (unsigned char *)p;
  QK_ARG_NOT_NULL(ctx, p);
  while (*s) {
    int trail = *s < 0x80 ? 0 : *s >= 0xC2 && *s <= 0xDF ? 1 : *s >= 0xE0 && *s <= 0xEF ? 2 : *s >= 0xF0 && *s <= 0xF4 ? 3 : -1;
    if (trail >= 0 && continuation_bytes(s + 1, trail) == trail) {
      s += 1 + trail;
    } else {
      *s++ = '?';
    }
  }
done:;
}

/* Small text and number helpers: strict and lenient integer parsing, decimal printing,
 * bounded formatting, copying, case-insensitive compares, SQL quote doubling, UTF-8 repair. */
#ifndef QK_STR_UTILS_H
#define QK_STR_UTILS_H

#include <stdarg.h>
#include <stddef.h>

#include "qk/qk_context.h"

/* Decimal text of a 64-bit value needs at most this many bytes (sign, 20 digits, NUL). */
#define QK_INT64_SZ_SIZE 21

/* Strict parsers: an optional "-" then decimal digits up to the NUL, within the type's range;
 * anything else raises 137 (message = the text; none for NULL, "" or "-") and leaves *pValue. */
void QK_int32__parse(QK_context *ctx, QK_int32 *pValue, const char *sz);
/* As QK_int32__parse, with the text HTML-escaped in the message (texts from requests). */
void QK_int32__parse__escaped(QK_context *ctx, QK_int32 *pValue, const char *sz);
void QK_int64__parse(QK_context *ctx, QK_int64 *pValue, const char *sz);
/* Digits only; every failure raises 137 without message. */
void QK_uint64__parse(QK_context *ctx, QK_uint64 *pValue, const char *sz);
/* Lenient: skips spaces, one optional sign, then digits (0 when none; clamped to the int64
 * range); *pszEnd gets the first character not used. Never fails; ctx is not used. */
void QK_int64__parse_prefix(QK_context *ctx, const char *sz, QK_int64 *pValue, const char **pszEnd);

/* Decimal text into buf (QK_INT64_SZ_SIZE bytes); returns buf, or NULL for a NULL buf. */
char *QK_int64__to_sz(QK_int64 value, char *buf);
char *QK_uint64__to_sz(QK_uint64 value, char *buf);

/* printf into a caller's buffer; a text that does not fit raises 20 and leaves "". */
void QK_sprintf_buf(QK_context *ctx, char *pBuf, QK_uint32 lenBuf, const char *szFormat, ...)
    __attribute__((format(printf, 4, 5)));
/* The same, but a text that does not fit is cut at lenBuf - 1 bytes without error. */
void QK_vsprintf_buf(QK_context *ctx, char *pBuf, QK_uint32 lenBuf, const char *szFormat, va_list args);
/* New heap text (free with QK_free); NULL when allocation or formatting fails. */
char *QK_sz__format_alloc(const char *szFormat, ...) __attribute__((format(printf, 1, 2)));
char *QK_sz__vformat_alloc(const char *szFormat, va_list args);

/* Copies and NUL-fills the rest of szDest; a source that does not fit is cut and raises 20. */
void QK_strcpy(QK_context *ctx, char *szDest, QK_uint32 lenDest, const char *szSrc);
/* New heap copy (free with QK_free). */
void QK_strdup(QK_context *ctx, const char *szSrc, char **pszCopy);
char *QK_strdup_noctx(const char *szSrc);

/* Compares that fold ASCII letters only; negative, 0 or positive. */
int QK_stricmp(const char *a, const char *b);
int QK_strnicmp(const char *a, const char *b, size_t n);
/* Exactly n bytes, NULs included. */
int QK_memicmp(const void *a, const void *b, size_t n);
/* Unsigned byte order; NULL sorts first and equals NULL; -1, 0 or 1. */
int QK_strcmp_null(const char *a, const char *b);

/* Heap copy with every ' doubled; *pszOut is NULL when sz is NULL, empty or has no quote. */
void QK_sz__double_single_quotes(QK_context *ctx, const char *sz, char **pszOut);
/* Repairs sz in place to well-formed UTF-8 structure: bad bytes become '?'. */
void QK_sz__sanitize_utf8(QK_context *ctx, char *p);

#endif

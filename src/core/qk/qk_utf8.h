/* UTF-8 <-> UTF-16 (char16_t) conversion for the places that speak UTF-16 (ODBC, the
 * platform stand-ins). Ill-formed input never fails: each maximal ill-formed subsequence
 * (or unpaired surrogate) becomes U+FFFD. */
#ifndef QK_UTF8_H
#define QK_UTF8_H

#include "qk/qk_context.h"

/* New NUL-terminated UTF-16 text (free with QK_free); *pcUnits counts units with the NUL.
 * *ppBufResult is set to NULL first. */
void QK_utf8__to_wide(QK_context *ctx, const char *szUtf8, char16_t **ppBufResult, QK_uint32 *pcUnits);
/* The same for len bytes, which may hold NULs (converted like any other character). */
void QK_utf8__to_wide__buflen(QK_context *ctx, const char *pUtf8, QK_uint32 len, char16_t **ppBufResult,
                              QK_uint32 *pcUnits);
/* 1 when the len bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
 * U+10FFFF), else 0. */
int QK_utf8__is_well_formed(const char *pUtf8, QK_uint32 len);
/* New NUL-terminated UTF-8 text (free with QK_free) from a NUL-terminated UTF-16 text;
 * *pcBytes counts the bytes without the NUL. *pszResult is set to NULL first. */
void QK_utf8__from_wide(QK_context *ctx, const char16_t *wszWide, char **pszResult, QK_uint32 *pcBytes);
/* The same for cUnits units (ODBC hands out counted texts). */
void QK_utf8__from_wide__buflen(QK_context *ctx, const char16_t *pWide, QK_uint32 cUnits, char **pszResult,
                                QK_uint32 *pcBytes);

#endif

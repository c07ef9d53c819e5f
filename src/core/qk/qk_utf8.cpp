/* UTF-8 <-> UTF-16 conversion with U+FFFD for ill-formed input. */
#include "qk/qk_utf8.h"

#include <string.h>

#include "qk/qk_malloc.h"

#define REPLACEMENT_CHARACTER 0xFFFDu

/* Decodes one code point at p (end exclusive) into *pCp; returns the bytes consumed. An
 * ill-formed sequence consumes its maximal well-formed prefix (at least one byte), yields
 * U+FFFD, the common practice of Windows and Python's "replace", and sets *pbIllFormed. */
static QK_uint32 decode_utf8(const QK_uint8 *p, const QK_uint8 *end, QK_uint32 *pCp, int *pbIllFormed) {
  QK_uint8 lead = p[0];
  QK_uint32 trail, cp, i;
  QK_uint8 lo = 0x80, hi = 0xBF; /* allowed range of the first continuation byte */
  if (lead < 0x80) {
    *pCp = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;   /* no overlong forms */
    if (lead == 0xED) hi = 0x9F;   /* no surrogates */
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;   /* no overlong forms */
    if (lead == 0xF4) hi = 0x8F;   /* nothing above U+10FFFF */
  } else {
    *pCp = REPLACEMENT_CHARACTER;
    *pbIllFormed = 1;
    return 1;
  }
  for (i = 1; i <= trail; i++) {
    if (p + i >= end || p[i] < lo || p[i] > hi) {
      *pCp = REPLACEMENT_CHARACTER;
      *pbIllFormed = 1;
      return i;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  *pCp = cp;
  return trail + 1;
}

void QK_utf8__to_wide__buflen(QK_context *ctx, const char *pUtf8, QK_uint32 len, char16_t **ppBufResult,
                              QK_uint32 *pcUnits) {
  const QK_uint8 *p = (const QK_uint8 *)pUtf8, *end = p + len;
  char16_t *pWide = NULL, *w;
  QK_ARG_NOT_NULL(ctx, ppBufResult);
  *ppBufResult = NULL;
  QK_ARG_NOT_NULL(ctx, pUtf8);
  /* Every byte yields at most one unit (4-byte sequences yield two), plus the NUL. */
  if (len == UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_alloc(ctx, len + 1, sizeof(char16_t), &pWide));
  for (w = pWide; p < end;) {
    QK_uint32 cp;
    int bIllFormed = 0;
    p += decode_utf8(p, end, &cp, &bIllFormed);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *w++ = (char16_t)(0xD800 + (cp >> 10));
      *w++ = (char16_t)(0xDC00 + (cp & 0x3FF));
    } else {
      *w++ = (char16_t)cp;
    }
  }
  *w = 0;
  if (pcUnits) *pcUnits = (QK_uint32)(w - pWide) + 1;
  *ppBufResult = pWide;
  pWide = NULL;
done:
  QK_RELEASE(ctx, QK_free(ctx, pWide));
}

int QK_utf8__is_well_formed(const char *pUtf8, QK_uint32 len) {
  const QK_uint8 *p = (const QK_uint8 *)pUtf8, *end = p + len;
  int bIllFormed = 0;
  QK_uint32 cp;
  if (pUtf8 == NULL) return len == 0;
  while (p < end && !bIllFormed) p += decode_utf8(p, end, &cp, &bIllFormed);
  return !bIllFormed;
}

void QK_utf8__to_wide(QK_context *ctx, const char *szUtf8, char16_t **ppBufResult, QK_uint32 *pcUnits) {
  size_t len;
  if (ppBufResult) *ppBufResult = NULL;
  QK_ARG_NOT_NULL(ctx, szUtf8);
  QK_ARG_NOT_NULL(ctx, ppBufResult);
  len = strlen(szUtf8);
  if (len >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_utf8__to_wide__buflen(ctx, szUtf8, (QK_uint32)len, ppBufResult, pcUnits));
done:;
}

void QK_utf8__from_wide__buflen(QK_context *ctx, const char16_t *pWide, QK_uint32 cUnits, char **pszResult,
                                QK_uint32 *pcBytes) {
  char *pUtf8 = NULL;
  QK_uint8 *u;
  QK_uint32 i;
  QK_ARG_NOT_NULL(ctx, pszResult);
  *pszResult = NULL;
  QK_ARG_NOT_NULL(ctx, pWide);
  /* At most 3 bytes per unit (a surrogate pair: 4 bytes for 2 units), plus the NUL. */
  if ((QK_uint64)cUnits * 3 + 1 > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_alloc(ctx, cUnits * 3 + 1, 1, &pUtf8));
  u = (QK_uint8 *)pUtf8;
  for (i = 0; i < cUnits; i++) {
    QK_uint32 cp = pWide[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < cUnits && pWide[i + 1] >= 0xDC00 && pWide[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (pWide[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = REPLACEMENT_CHARACTER;
    }
    if (cp < 0x80) {
      *u++ = (QK_uint8)cp;
    } else if (cp < 0x800) {
      *u++ = (QK_uint8)(0xC0 | (cp >> 6));
      *u++ = (QK_uint8)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *u++ = (QK_uint8)(0xE0 | (cp >> 12));
      *u++ = (QK_uint8)(0x80 | ((cp >> 6) & 0x3F));
      *u++ = (QK_uint8)(0x80 | (cp & 0x3F));
    } else {
      *u++ = (QK_uint8)(0xF0 | (cp >> 18));
      *u++ = (QK_uint8)(0x80 | ((cp >> 12) & 0x3F));
      *u++ = (QK_uint8)(0x80 | ((cp >> 6) & 0x3F));
      *u++ = (QK_uint8)(0x80 | (cp & 0x3F));
    }
  }
  *u = 0;
  if (pcBytes) *pcBytes = (QK_uint32)(u - (QK_uint8 *)pUtf8);
  *pszResult = pUtf8;
  pUtf8 = NULL;
done:
  QK_RELEASE(ctx, QK_free(ctx, pUtf8));
}

void QK_utf8__from_wide(QK_context *ctx, const char16_t *wszWide, char **pszResult, QK_uint32 *pcBytes) {
  size_t cUnits = 0;
  if (pszResult) *pszResult = NULL;
  QK_ARG_NOT_NULL(ctx, wszWide);
  QK_ARG_NOT_NULL(ctx, pszResult);
  while (wszWide[cUnits]) cUnits++;
  if (cUnits >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_utf8__from_wide__buflen(ctx, wszWide, (QK_uint32)cUnits, pszResult, pcBytes));
done:;
}

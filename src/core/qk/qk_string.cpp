/* Growable NUL-terminated byte strings. */
#include "qk/qk_string.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "qk/qk_malloc.h"

#define QK_STRING_LINEAR_STEP 0x400000u

static int _qk_string__validate(const QK_string *pThis) {
  return pThis != NULL && pThis->m_pBuf != NULL && pThis->m_pBuf[pThis->m_uiSizeInUse] == '\0';
}

#define QK_STRING_VALIDATE(ctx, pThis) QK_ARG_VALID(ctx, pThis, (_qk_string__validate(pThis)))

/* The growth policy: the need rounded up to whole chunks, or the capacity doubled up to
 * 4 MiB and then grown by 4 MiB steps, whichever is larger. Computed in 64 bits; a result
 * beyond 32 bits is cut back to the largest buffer, which still holds the need. */
static QK_uint64 grown_capacity(QK_uint64 capacity, QK_uint64 need, QK_uint32 chunk) {
  QK_uint64 stepped = (need + chunk - 1) / chunk * chunk;
  QK_uint64 grown = capacity <= QK_STRING_LINEAR_STEP ? capacity * 2 : capacity + QK_STRING_LINEAR_STEP;
  QK_uint64 result = stepped > grown ? stepped : grown;
  return result > UINT32_MAX ? UINT32_MAX : result;
}

/* Moves the content into a new zero-filled buffer of the given capacity. */
static void set_capacity(QK_context *ctx, QK_string *pThis, QK_uint32 capacity) {
  char *pNew = NULL;
  QK_TRY(ctx, QK_alloc(ctx, 1, capacity, &pNew));
  memcpy(pNew, pThis->m_pBuf, (size_t)pThis->m_uiSizeInUse + 1);
  QK_RELEASE(ctx, QK_free(ctx, pThis->m_pBuf));
  pThis->m_pBuf = pNew;
  pThis->m_uiCapacity = capacity;
done:;
}

void QK_string__make_room(QK_context *ctx, QK_string *pThis, QK_uint32 n) {
  QK_uint64 need;
  QK_STRING_VALIDATE(ctx, pThis);
  need = (QK_uint64)pThis->m_uiSizeInUse + n + 4;
  if (need <= pThis->m_uiCapacity) goto done;
  if (need > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, set_capacity(ctx, pThis, (QK_uint32)grown_capacity(pThis->m_uiCapacity, need,
                                                                   pThis->m_uiGrowthChunk)));
done:;
}

/* NUL-terminated texts longer than 32 bits cannot enter a string. */
static int sz_length(QK_context *ctx, const char *sz, QK_uint32 *pLen) {
  size_t len = strlen(sz);
  if (len > UINT32_MAX) {
    QK_context__throw(ctx, QK_ERR_INTEGER_OVERFLOW, __FILE__, __LINE__);
    return 0;
  }
  *pLen = (QK_uint32)len;
  return 1;
}

void QK_string__alloc__reserve(QK_context *ctx, QK_string **ppNew, QK_uint32 capacity) {
  QK_string *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  if (capacity == 0) capacity = QK_STRING_DEFAULT_CAPACITY;
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_string), &pNew));
  QK_TRY(ctx, QK_alloc(ctx, 1, capacity, &pNew->m_pBuf));
  pNew->m_uiCapacity = capacity;
  pNew->m_uiGrowthChunk = QK_STRING_GROWTH_CHUNK;
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNew));
}

void QK_string__alloc(QK_context *ctx, QK_string **ppNew) {
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_string__alloc__reserve(ctx, ppNew, QK_STRING_DEFAULT_CAPACITY));
done:;
}

void QK_string__alloc__buflen(QK_context *ctx, QK_string **ppNew, const void *pBuf, QK_uint32 len) {
  QK_string *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_string__alloc(ctx, &pNew));
  QK_TRY(ctx, QK_string__append__buflen(ctx, pNew, pBuf, len));
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNew));
}

void QK_string__alloc__sz(QK_context *ctx, QK_string **ppNew, const char *sz) {
  QK_uint32 len = 0;
  if (sz != NULL && !sz_length(ctx, sz, &len)) goto done;
  QK_TRY(ctx, QK_string__alloc__buflen(ctx, ppNew, sz, len));
done:;
}

void QK_string__alloc__vformat(QK_context *ctx, QK_string **ppNew, const char *szFormat, va_list args) {
  QK_string *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_string__alloc(ctx, &pNew));
  QK_TRY(ctx, QK_string__vsprintf(ctx, pNew, szFormat, args));
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNew));
}

void QK_string__alloc__format(QK_context *ctx, QK_string **ppNew, const char *szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  QK_string__alloc__vformat(ctx, ppNew, szFormat, args);
  va_end(args);
  if (QK_context__has_error(ctx)) QK_context__add_frame(ctx, __FILE__, __LINE__);
}

void QK_string__free(QK_context *ctx, QK_string *pThis) {
  if (pThis == NULL) return;
  QK_RELEASE(ctx, QK_free(ctx, pThis->m_pBuf));
  QK_RELEASE(ctx, QK_free(ctx, pThis));
}

void QK_string__free_keep_sz(QK_context *ctx, QK_string **ppThis, char **ppsz, QK_uint32 *pLen) {
  QK_ARG_NOT_NULL(ctx, ppThis);
  QK_ARG_NOT_NULL(ctx, *ppThis);
  QK_ARG_NOT_NULL(ctx, ppsz);
  *ppsz = (*ppThis)->m_pBuf;
  if (pLen) *pLen = (*ppThis)->m_uiSizeInUse;
  QK_RELEASE(ctx, QK_free(ctx, *ppThis));
  *ppThis = NULL;
done:;
}

void QK_string__format_to_sz(QK_context *ctx, char **ppsz, const char *szFormat, ...) {
  QK_string *pString = NULL;
  va_list args;
  QK_ARG_NOT_NULL(ctx, ppsz);
  va_start(args, szFormat);
  QK_string__alloc__vformat(ctx, &pString, szFormat, args);
  va_end(args);
  QK_CHECK(ctx);
  QK_TRY(ctx, QK_string__free_keep_sz(ctx, &pString, ppsz, NULL));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pString));
}

const char *QK_string__sz(const QK_string *pThis) { return pThis ? pThis->m_pBuf : NULL; }

QK_uint32 QK_string__length_in_bytes(const QK_string *pThis) { return pThis ? pThis->m_uiSizeInUse : 0; }

void QK_string__get_byte_from_end(QK_context *ctx, const QK_string *pThis, QK_uint32 ndx,
                                  QK_uint8 *pbyteReturned) {
  QK_STRING_VALIDATE(ctx, pThis);
  QK_ARG_NOT_NULL(ctx, pbyteReturned);
  QK_ARG_VALID(ctx, ndx, (ndx < pThis->m_uiSizeInUse));
  *pbyteReturned = (QK_uint8)pThis->m_pBuf[pThis->m_uiSizeInUse - 1 - ndx];
done:;
}

/* True when [p, p+len) touches the string's whole buffer, spare capacity included. */
static int overlaps_buffer(const QK_string *pThis, const void *p, QK_uint32 len) {
  uintptr_t start = (uintptr_t)p, end = start + len;
  uintptr_t bufStart = (uintptr_t)pThis->m_pBuf, bufEnd = bufStart + pThis->m_uiCapacity;
  return start < bufEnd && bufStart < end;
}

void QK_string__insert__buflen(QK_context *ctx, QK_string *pThis, QK_uint32 byte_offset,
                               const void *pBuf, QK_uint32 len) {
  QK_STRING_VALIDATE(ctx, pThis);
  QK_ARG_VALID(ctx, byte_offset, (byte_offset <= pThis->m_uiSizeInUse));
  if (len == 0) goto done;
  QK_ARG_NOT_NULL(ctx, pBuf);
  if (overlaps_buffer(pThis, pBuf, len)) QK_THROW(ctx, QK_ERR_OVERLAPPING_BUFFERS);
  QK_TRY(ctx, QK_string__make_room(ctx, pThis, len));
  memmove(pThis->m_pBuf + byte_offset + len, pThis->m_pBuf + byte_offset,
          pThis->m_uiSizeInUse - byte_offset);
  memcpy(pThis->m_pBuf + byte_offset, pBuf, len);
  pThis->m_uiSizeInUse += len;
  pThis->m_pBuf[pThis->m_uiSizeInUse] = '\0';
done:;
}

void QK_string__insert__sz(QK_context *ctx, QK_string *pThis, QK_uint32 byte_offset, const char *sz) {
  QK_uint32 len = 0;
  if (sz != NULL && !sz_length(ctx, sz, &len)) goto done;
  QK_TRY(ctx, QK_string__insert__buflen(ctx, pThis, byte_offset, sz, len));
done:;
}

void QK_string__append__buflen(QK_context *ctx, QK_string *pThis, const void *pBuf, QK_uint32 len) {
  QK_STRING_VALIDATE(ctx, pThis);
  QK_TRY(ctx, QK_string__insert__buflen(ctx, pThis, pThis->m_uiSizeInUse, pBuf, len));
done:;
}

void QK_string__append__sz(QK_context *ctx, QK_string *pThis, const char *sz) {
  QK_STRING_VALIDATE(ctx, pThis);
  QK_TRY(ctx, QK_string__insert__sz(ctx, pThis, pThis->m_uiSizeInUse, sz));
done:;
}

void QK_string__append__string(QK_context *ctx, QK_string *pThis, const QK_string *pString) {
  QK_STRING_VALIDATE(ctx, pThis);
  QK_STRING_VALIDATE(ctx, pString);
  if (pThis == pString) QK_THROW(ctx, QK_ERR_OVERLAPPING_BUFFERS);
  QK_TRY(ctx, QK_string__append__buflen(ctx, pThis, pString->m_pBuf, pString->m_uiSizeInUse));
done:;
}

void QK_string__append__format(QK_context *ctx, QK_string *pThis, const char *szFormat, ...) {
  QK_string *pFormatted = NULL;
  va_list args;
  QK_STRING_VALIDATE(ctx, pThis);
  va_start(args, szFormat);
  QK_string__alloc__vformat(ctx, &pFormatted, szFormat, args);
  va_end(args);
  QK_CHECK(ctx);
  QK_TRY(ctx, QK_string__append__string(ctx, pThis, pFormatted));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pFormatted));
}

void QK_string__remove(QK_context *ctx, QK_string *pThis, QK_uint32 byte_offset, QK_uint32 len) {
  QK_STRING_VALIDATE(ctx, pThis);
  QK_ARG_VALID(ctx, byte_offset, (byte_offset < pThis->m_uiSizeInUse));
  /* Compared in 64 bits so that a huge len cannot wrap past the check. */
  if ((QK_uint64)byte_offset + len > pThis->m_uiSizeInUse)
    QK_THROW_MSG(ctx, QK_ERR_INVALID_ARGUMENT,
                 "len is invalid: (byte_offset+len <= pThis->m_uiSizeInUse) is false.");
  if (len == 0) goto done;
  memmove(pThis->m_pBuf + byte_offset, pThis->m_pBuf + byte_offset + len,
          pThis->m_uiSizeInUse - byte_offset - len);
  pThis->m_uiSizeInUse -= len;
  pThis->m_pBuf[pThis->m_uiSizeInUse] = '\0';
done:;
}

void QK_string__clear(QK_context *ctx, QK_string *pThis) {
  QK_ARG_NOT_NULL(ctx, pThis);
  QK_STRING_VALIDATE(ctx, pThis);
  pThis->m_uiSizeInUse = 0;
  pThis->m_pBuf[0] = '\0';
done:;
}

void QK_string__vsprintf(QK_context *ctx, QK_string *pThis, const char *szFormat, va_list args) {
  QK_ARG_NOT_NULL(ctx, pThis);
  QK_STRING_VALIDATE(ctx, pThis);
  pThis->m_uiSizeInUse = 0;
  pThis->m_pBuf[0] = '\0';
  if (szFormat == NULL || szFormat[0] == '\0') goto done;
  for (;;) {
    va_list attempt;
    int needed;
    QK_uint64 capacity;
    va_copy(attempt, args);
    errno = 0;
    needed = vsnprintf(pThis->m_pBuf, pThis->m_uiCapacity, szFormat, attempt);
    va_end(attempt);
    if (needed < 0) {
      int err = errno ? errno : EINVAL;
      pThis->m_pBuf[0] = '\0';
      QK_THROW(ctx, QK_ERROR_FROM_ERRNO(err));
    }
    if ((QK_uint64)needed < pThis->m_uiCapacity) {
      pThis->m_uiSizeInUse = (QK_uint32)needed;
      break;
    }
    pThis->m_pBuf[0] = '\0';
    /* The formatter told us the length: apply the growth rule (room for capacity + chunk,
     * repeated) until the text fits, and reallocate once. */
    capacity = pThis->m_uiCapacity;
    while (capacity <= (QK_uint64)needed)
      capacity = grown_capacity(capacity, capacity + pThis->m_uiGrowthChunk + 4, pThis->m_uiGrowthChunk);
    QK_TRY(ctx, set_capacity(ctx, pThis, (QK_uint32)capacity));
  }
done:;
}

void QK_string__sprintf(QK_context *ctx, QK_string *pThis, const char *szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  QK_string__vsprintf(ctx, pThis, szFormat, args);
  va_end(args);
  if (QK_context__has_error(ctx)) QK_context__add_frame(ctx, __FILE__, __LINE__);
}

void QK_string__replace_bytes(QK_context *ctx, QK_string *pThis, const void *pBytesToFind,
                              QK_uint32 lenBytesToFind, const void *pReplacement,
                              QK_uint32 lenReplacement, QK_uint32 count, int bAdvance,
                              QK_uint32 *pcReplacements) {
  QK_uint32 replaced = 0;
  QK_uint64 pos = 0;
  QK_STRING_VALIDATE(ctx, pThis);
  QK_ARG_NOT_NULL(ctx, pBytesToFind);
  QK_ARG_VALID(ctx, lenBytesToFind, (lenBytesToFind > 0));
  QK_ARG_VALID(ctx, count, (count > 0));
  if (lenReplacement > 0) QK_ARG_NOT_NULL(ctx, pReplacement);
  if (overlaps_buffer(pThis, pBytesToFind, lenBytesToFind) ||
      (lenReplacement > 0 && overlaps_buffer(pThis, pReplacement, lenReplacement)))
    QK_THROW(ctx, QK_ERR_OVERLAPPING_BUFFERS);
  while (replaced < count && pos + lenBytesToFind <= pThis->m_uiSizeInUse) {
    char *at = pThis->m_pBuf + pos;
    if (memcmp(at, pBytesToFind, lenBytesToFind) != 0) {
      pos++;
      continue;
    }
    if (lenReplacement == lenBytesToFind) {
      memcpy(at, pReplacement, lenReplacement);
      if (bAdvance) pos += lenReplacement;
    } else {
      if (lenReplacement > lenBytesToFind) {
        QK_TRY(ctx, QK_string__make_room(ctx, pThis, lenReplacement - lenBytesToFind));
        at = pThis->m_pBuf + pos;
      }
      memmove(at + lenReplacement, at + lenBytesToFind, pThis->m_uiSizeInUse - pos - lenBytesToFind);
      if (lenReplacement > 0) memcpy(at, pReplacement, lenReplacement);
      pThis->m_uiSizeInUse = pThis->m_uiSizeInUse - lenBytesToFind + lenReplacement;
      pThis->m_pBuf[pThis->m_uiSizeInUse] = '\0';
      if (bAdvance)
        pos += lenReplacement;
      else if (lenReplacement >= lenBytesToFind)
        pos++;
    }
    replaced++;
  }
done:
  if (pcReplacements) *pcReplacements = replaced;
}

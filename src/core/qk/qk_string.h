/* QK_string: a growable NUL-terminated byte string (UTF-8 or any bytes) in which
 * SQL, JSON, messages, paths and response bodies are built. Lengths are bytes. */
#ifndef QK_STRING_H
#define QK_STRING_H

#include <stdarg.h>

#include "qk/qk_context.h"

#define QK_STRING_DEFAULT_CAPACITY 256
#define QK_STRING_GROWTH_CHUNK 1024

typedef struct QK_string {
  QK_uint32 m_uiSizeInUse; /* content length, the NUL not counted */
  QK_uint32 m_uiCapacity;  /* buffer size in bytes */
  QK_uint32 m_uiGrowthChunk;
  char *m_pBuf;            /* owned; always NUL at m_uiSizeInUse */
} QK_string;

/* Constructors: a new string through *ppNew (untouched on failure); free with QK_string__free. */
void QK_string__alloc(QK_context *ctx, QK_string **ppNew);
/* Empty string with the given capacity (0 means 256). */
void QK_string__alloc__reserve(QK_context *ctx, QK_string **ppNew, QK_uint32 capacity);
void QK_string__alloc__buflen(QK_context *ctx, QK_string **ppNew, const void *pBuf, QK_uint32 len);
/* Copy of a NUL-terminated text; NULL gives an empty string. */
void QK_string__alloc__sz(QK_context *ctx, QK_string **ppNew, const char *sz);
void QK_string__alloc__vformat(QK_context *ctx, QK_string **ppNew, const char *szFormat, va_list args);
void QK_string__alloc__format(QK_context *ctx, QK_string **ppNew, const char *szFormat, ...)
    __attribute__((format(printf, 3, 4)));

/* Frees buffer and string; NULL is accepted. */
void QK_string__free(QK_context *ctx, QK_string *pThis);
/* Frees the string but hands its buffer (free with QK_free) and optionally its length to the
 * caller; *ppThis becomes NULL. */
void QK_string__free_keep_sz(QK_context *ctx, QK_string **ppThis, char **ppsz, QK_uint32 *pLen);
/* Formatted text as a new heap buffer the caller frees with QK_free. */
void QK_string__format_to_sz(QK_context *ctx, char **ppsz, const char *szFormat, ...)
    __attribute__((format(printf, 3, 4)));

/* The NUL-terminated content (owned by the string) and its length. */
const char *QK_string__sz(const QK_string *pThis);
QK_uint32 QK_string__length_in_bytes(const QK_string *pThis);
/* The byte at length - 1 - ndx (ndx 0 is the last byte). */
void QK_string__get_byte_from_end(QK_context *ctx, const QK_string *pThis, QK_uint32 ndx,
                                  QK_uint8 *pbyteReturned);

/* Appends and inserts. Source bytes must not lie in the string's own buffer (17). */
void QK_string__append__buflen(QK_context *ctx, QK_string *pThis, const void *pBuf, QK_uint32 len);
void QK_string__append__sz(QK_context *ctx, QK_string *pThis, const char *sz);
void QK_string__append__string(QK_context *ctx, QK_string *pThis, const QK_string *pString);
void QK_string__append__format(QK_context *ctx, QK_string *pThis, const char *szFormat, ...)
    __attribute__((format(printf, 3, 4)));
void QK_string__insert__buflen(QK_context *ctx, QK_string *pThis, QK_uint32 byte_offset,
                               const void *pBuf, QK_uint32 len);
void QK_string__insert__sz(QK_context *ctx, QK_string *pThis, QK_uint32 byte_offset, const char *sz);
void QK_string__remove(QK_context *ctx, QK_string *pThis, QK_uint32 byte_offset, QK_uint32 len);
/* Length 0; the buffer is kept. */
void QK_string__clear(QK_context *ctx, QK_string *pThis);
/* Replace the whole content by the formatted text. */
void QK_string__sprintf(QK_context *ctx, QK_string *pThis, const char *szFormat, ...)
    __attribute__((format(printf, 3, 4)));
void QK_string__vsprintf(QK_context *ctx, QK_string *pThis, const char *szFormat, va_list args);
/* Replaces up to count occurrences (0xFFFFFFFF: all) of a non-empty byte text, left to right;
 * with bAdvance the search resumes behind each replacement. */
void QK_string__replace_bytes(QK_context *ctx, QK_string *pThis, const void *pBytesToFind,
                              QK_uint32 lenBytesToFind, const void *pReplacement,
                              QK_uint32 lenReplacement, QK_uint32 count, int bAdvance,
                              QK_uint32 *pcReplacements);
/* Grow so that n more bytes fit (capacity >= length + n + 4); overflow of 32 bits raises 104. */
void QK_string__make_room(QK_context *ctx, QK_string *pThis, QK_uint32 n);

#endif

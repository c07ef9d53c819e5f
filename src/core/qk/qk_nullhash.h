/* QK_nullhash: an insertion-ordered set of UTF-8 texts (a vhash without values) with its own
 * string pool. Keys are never removed. */
#ifndef QK_NULLHASH_H
#define QK_NULLHASH_H

#include "qk/qk_context.h"
#include "qk/qk_keytable.h"
#include "qk/qk_strpool.h"

typedef struct QK_nullhash {
  QK_keytable table; /* count, capacity, keys in insertion order */
  QK_strpool *pStrpool;
} QK_nullhash;

void QK_nullhash__alloc(QK_context *ctx, QK_nullhash **ppNew);
/* NULL is accepted. */
void QK_nullhash__free(QK_context *ctx, QK_nullhash *pvh);
/* 46 with the key as message when the key is present. */
void QK_nullhash__add(QK_context *ctx, QK_nullhash *pvh, const char *psz_key);
/* The first len bytes as a key (stored NUL-terminated); 46 when present. */
void QK_nullhash__add__buflen(QK_context *ctx, QK_nullhash *pvh, const void *pBytes, QK_uint32 len);
void QK_nullhash__add_if_missing(QK_context *ctx, QK_nullhash *pvh, const char *psz_key);
/* *pbAlreadyPresent: 1 when the key was there, 0 when it was added. */
void QK_nullhash__add_if_missing_report(QK_context *ctx, QK_nullhash *pvh, const char *psz_key,
                                        int *pbAlreadyPresent);
void QK_nullhash__has(QK_context *ctx, const QK_nullhash *pvh, const char *psz_key, int *pbResult);
void QK_nullhash__count(QK_context *ctx, const QK_nullhash *pvh, QK_uint32 *piResult);
/* The key at a position in insertion order (55 when index >= count); ppKey is optional. */
void QK_nullhash__get_nth(QK_context *ctx, const QK_nullhash *pvh, QK_uint32 index, const char **ppKey);

#endif

/* QK_idset: a set of 16-byte ids (row ids) in one open-addressed table, sized up front for the
 * number expected. Ids are never removed. */
#ifndef QK_IDSET_H
#define QK_IDSET_H

#include "qk/qk_context.h"

typedef struct QK_idset {
  QK_uint32 *pTags; /* per slot: 0 empty, else the id's hash with the top bit set */
  QK_uint8 *pIds;   /* per slot: 16 bytes */
  QK_uint32 count;
  QK_uint32 capacity; /* a power of two, at least twice the count */
} QK_idset;

/* An empty set with room for `expected` ids before it first grows (0 for a small start). */
void QK_idset__alloc(QK_context *ctx, QK_uint32 expected, QK_idset **ppNew);
/* NULL is accepted. */
void QK_idset__free(QK_context *ctx, QK_idset *pSet);
/* 46 with the id's 32 hex digits as message when it is present. */
void QK_idset__add(QK_context *ctx, QK_idset *pSet, const QK_uint8 *pId);
/* *pbAlreadyPresent: 1 when the id was there, 0 when it was added. */
void QK_idset__add_if_missing_report(QK_context *ctx, QK_idset *pSet, const QK_uint8 *pId, int *pbAlreadyPresent);
void QK_idset__has(QK_context *ctx, const QK_idset *pSet, const QK_uint8 *pId, int *pbResult);
void QK_idset__count(QK_context *ctx, const QK_idset *pSet, QK_uint32 *pCount);

#endif

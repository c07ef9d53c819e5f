/* QK_varpool: a chunked arena of zero-filled QK_variant slots for the values of a document.
 * Slots never move, so pointers to them stay valid until the pool is freed. */
#ifndef QK_VARPOOL_H
#define QK_VARPOOL_H

#include "qk/qk_strpool.h"
#include "qk/qk_variant.h"

typedef struct QK_varpool {
  QK_uint32 slots_per_chunk;
  QK_pool_chunk *chunks; /* slots come from the first */
} QK_varpool;

/* New pool with one empty chunk of slots_per_chunk slots. */
void QK_varpool__alloc(QK_context *ctx, QK_varpool **ppNew, QK_uint32 slots_per_chunk);
/* The next free slot, all zeros (type 0 until its owner sets it). */
void QK_varpool__add(QK_context *ctx, QK_varpool *pPool, QK_variant **ppSlot);
/* Frees every chunk and the pool; NULL is accepted. */
void QK_varpool__free(QK_context *ctx, QK_varpool *pPool);
/* A zero-filled chunk of slots linked before pNext. */
void QK_varpool__new_chunk(QK_context *ctx, QK_uint32 slots, QK_pool_chunk *pNext,
                           QK_pool_chunk **ppChunk);

#endif

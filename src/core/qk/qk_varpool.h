/* QK_varpool: a chunked arena of zero-filled QK_variant slots for the values of a document.
 * Slots never move, so pointers to them stay valid until the pool is freed. */
#ifndef QK_VARPOOL_H
#define QK_VARPOOL_H

#include <stddef.h>

#include "qk/qk_strpool.h"
#include "qk/qk_variant.h"

typedef struct QK_varpool {
  QK_uint32 slots_per_chunk;
  QK_pool_chunk *chunks; /* slots come from the first */
  /* Containers records or arrays of the document that live on the heap. While it is 0, freeing
   * the root can drop the pools without visiting a single value. Never decremented. */
  QK_uint32 heap_blocks;
} QK_varpool;

/* New pool with one empty chunk of slots_per_chunk slots. */
void QK_varpool__alloc(QK_context *ctx, QK_varpool **ppNew, QK_uint32 slots_per_chunk);
/* The next free slot, all zeros (type 0 until its owner sets it). */
void QK_varpool__add(QK_context *ctx, QK_varpool *pPool, QK_variant **ppSlot);
/* Whether a block of this many bytes should come from the pool: only pools sized for bulk
 * (a parsed text, a large guess) serve container records and arrays, so that small documents
 * keep freeing what they remove. NULL gives 0. */
int QK_varpool__serves_block(const QK_varpool *pPool, size_t bytes);
/* A zero-filled block of bytes (16-byte aligned) from the pool; call only when the pool serves
 * it. It goes with the pool. */
void QK_varpool__add_block(QK_context *ctx, QK_varpool *pPool, size_t bytes, void **ppBlock);
/* A zero-filled array of count x size bytes for a container of the document: from the pool
 * when it serves a block of that size, else from the heap (*pbOnHeap = 1, counted in
 * heap_blocks of a non-NULL pool). Release it with QK_varpool__free_array. */
void QK_varpool__alloc_array(QK_context *ctx, QK_varpool *pPool, QK_uint32 count, QK_uint32 size,
                             void **ppArray, QK_uint8 *pbOnHeap);
/* Frees an array of QK_varpool__alloc_array when it is on the heap; a pool one stays. */
void QK_varpool__free_array(QK_context *ctx, void *pArray, QK_uint8 bOnHeap);
/* Frees every chunk and the pool; NULL is accepted. */
void QK_varpool__free(QK_context *ctx, QK_varpool *pPool);
/* A zero-filled chunk of slots linked before pNext. */
void QK_varpool__new_chunk(QK_context *ctx, QK_uint32 slots, QK_pool_chunk *pNext,
                           QK_pool_chunk **ppChunk);

#endif

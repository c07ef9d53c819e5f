/* The variant-slot arena of documents. */
#include "qk/qk_varpool.h"

#include "qk/qk_malloc.h"

void QK_varpool__new_chunk(QK_context *ctx, QK_uint32 slots, QK_pool_chunk *pNext,
                           QK_pool_chunk **ppChunk) {
  QK_pool_chunk *pChunk = NULL;
  QK_ARG_NOT_NULL(ctx, ppChunk);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_pool_chunk), &pChunk));
  QK_TRY(ctx, QK_alloc(ctx, slots, sizeof(QK_variant), &pChunk->data));
  QK_pool__advise_large_chunk(pChunk->data, (size_t)slots * sizeof(QK_variant));
  pChunk->size = slots;
  pChunk->next = pNext;
  *ppChunk = pChunk;
  pChunk = NULL;
done:
  QK_RELEASE(ctx, QK_free(ctx, pChunk));
}

void QK_varpool__alloc(QK_context *ctx, QK_varpool **ppNew, QK_uint32 slots_per_chunk) {
  QK_varpool *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_ARG_VALID(ctx, slots_per_chunk, slots_per_chunk != 0);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_varpool), &pNew));
  pNew->slots_per_chunk = slots_per_chunk;
  QK_TRY(ctx, QK_varpool__new_chunk(ctx, slots_per_chunk, NULL, &pNew->chunks));
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_free(ctx, pNew));
}

void QK_varpool__add(QK_context *ctx, QK_varpool *pPool, QK_variant **ppSlot) {
  QK_pool_chunk *pChunk;
  QK_ARG_NOT_NULL(ctx, pPool);
  QK_ARG_NOT_NULL(ctx, ppSlot);
  pChunk = pPool->chunks;
  if (pChunk->used == pChunk->size) {
    QK_TRY(ctx, QK_varpool__new_chunk(ctx, pPool->slots_per_chunk, pChunk, &pPool->chunks));
    pChunk = pPool->chunks;
  }
  *ppSlot = (QK_variant *)pChunk->data + pChunk->used++;
done:;
}

/* Slots a block takes; a block takes at most an eighth of a chunk, so a chunk abandoned for
 * a block that does not fit loses little. */
static size_t block_slots(size_t bytes) { return (bytes + sizeof(QK_variant) - 1) / sizeof(QK_variant); }

int QK_varpool__serves_block(const QK_varpool *pPool, size_t bytes) {
  return pPool != NULL && block_slots(bytes) * 8 <= pPool->slots_per_chunk;
}

void QK_varpool__add_block(QK_context *ctx, QK_varpool *pPool, size_t bytes, void **ppBlock) {
  QK_pool_chunk *pChunk;
  size_t slots = block_slots(bytes);
  QK_ARG_NOT_NULL(ctx, pPool);
  QK_ARG_NOT_NULL(ctx, ppBlock);
  QK_ARG_VALID(ctx, bytes, (QK_varpool__serves_block(pPool, bytes)));
  pChunk = pPool->chunks;
  if (pChunk->size - pChunk->used < slots) {
    QK_TRY(ctx, QK_varpool__new_chunk(ctx, pPool->slots_per_chunk, pChunk, &pPool->chunks));
    pChunk = pPool->chunks;
  }
  *ppBlock = (QK_variant *)pChunk->data + pChunk->used;
  pChunk->used += (QK_uint32)slots;
done:;
}

void QK_varpool__alloc_array(QK_context *ctx, QK_varpool *pPool, QK_uint32 count, QK_uint32 size,
                             void **ppArray, QK_uint8 *pbOnHeap) {
  if (QK_varpool__serves_block(pPool, (size_t)count * size)) {
    QK_TRY(ctx, QK_varpool__add_block(ctx, pPool, (size_t)count * size, ppArray));
    *pbOnHeap = 0;
  } else {
    QK_TRY(ctx, QK_alloc(ctx, count, size, ppArray));
    *pbOnHeap = 1;
    if (pPool != NULL) pPool->heap_blocks++;
  }
done:;
}

void QK_varpool__free_array(QK_context *ctx, void *pArray, QK_uint8 bOnHeap) {
  if (bOnHeap) QK_RELEASE(ctx, QK_free(ctx, pArray));
}

void QK_varpool__free(QK_context *ctx, QK_varpool *pPool) {
  if (pPool == NULL) return;
  QK_RELEASE(ctx, QK_pool__free_chunks(ctx, pPool->chunks));
  QK_RELEASE(ctx, QK_free(ctx, pPool));
}

/* The string arena of documents. */
#include "qk/qk_strpool.h"

#include <stdint.h>
#include <string.h>
#ifdef __linux__
#include <sys/mman.h>
#endif

#include "qk/qk_malloc.h"

#define QK_POOL_HUGE_PAGE (2u << 20)

void QK_pool__advise_large_chunk(void *pData, size_t bytes) {
#ifdef __linux__
  uintptr_t start = ((uintptr_t)pData + QK_POOL_HUGE_PAGE - 1) & ~(uintptr_t)(QK_POOL_HUGE_PAGE - 1);
  uintptr_t end = ((uintptr_t)pData + bytes) & ~(uintptr_t)(QK_POOL_HUGE_PAGE - 1);
  if (end > start) madvise((void *)start, end - start, MADV_HUGEPAGE);
#else
  (void)pData;
  (void)bytes;
#endif
}

void QK_strpool__new_chunk(QK_context *ctx, QK_uint32 size, QK_pool_chunk *pNext,
                           QK_pool_chunk **ppChunk) {
  QK_pool_chunk *pChunk = NULL;
  QK_ARG_NOT_NULL(ctx, ppChunk);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_pool_chunk), &pChunk));
  QK_TRY(ctx, QK_alloc(ctx, 1, size, &pChunk->data));
  QK_pool__advise_large_chunk(pChunk->data, size);
  pChunk->size = size;
  pChunk->next = pNext;
  *ppChunk = pChunk;
  pChunk = NULL;
done:
  QK_RELEASE(ctx, QK_free(ctx, pChunk));
}

void QK_pool__free_chunks(QK_context *ctx, QK_pool_chunk *pFirst) {
  while (pFirst != NULL) {
    QK_pool_chunk *pNext = pFirst->next;
    QK_RELEASE(ctx, QK_free(ctx, pFirst->data));
    QK_RELEASE(ctx, QK_free(ctx, pFirst));
    pFirst = pNext;
  }
}

void QK_strpool__alloc(QK_context *ctx, QK_strpool **ppNew, QK_uint32 chunk_size) {
  QK_strpool *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_strpool), &pNew));
  pNew->chunk_size = chunk_size;
  QK_TRY(ctx, QK_strpool__new_chunk(ctx, chunk_size, NULL, &pNew->chunks));
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_free(ctx, pNew));
}

void QK_strpool__free(QK_context *ctx, QK_strpool *pPool) {
  if (pPool == NULL) return;
  QK_RELEASE(ctx, QK_pool__free_chunks(ctx, pPool->chunks));
  QK_RELEASE(ctx, QK_free(ctx, pPool));
}

void QK_strpool__alloc_space(QK_context *ctx, QK_strpool *pPool, QK_uint32 len, void **ppBlock) {
  QK_uint64 rounded = ((QK_uint64)len + 3) & ~(QK_uint64)3;
  QK_pool_chunk *pChunk;
  QK_ARG_NOT_NULL(ctx, pPool);
  QK_ARG_NOT_NULL(ctx, ppBlock);
  if (rounded > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  pChunk = pPool->chunks;
  if ((QK_uint64)pChunk->size < (QK_uint64)pChunk->used + rounded) {
    QK_uint32 size = pPool->chunk_size > rounded ? pPool->chunk_size : (QK_uint32)rounded;
    QK_TRY(ctx, QK_strpool__new_chunk(ctx, size, pChunk, &pPool->chunks));
    pChunk = pPool->chunks;
  }
  *ppBlock = (char *)pChunk->data + pChunk->used;
  pChunk->used += (QK_uint32)rounded;
done:;
}

void QK_strpool__add__buflen(QK_context *ctx, QK_strpool *pPool, const void *pBytes, QK_uint32 len,
                             void **ppBlock) {
  void *pBlock = NULL;
  QK_ARG_NOT_NULL(ctx, ppBlock);
  QK_TRY(ctx, QK_strpool__alloc_space(ctx, pPool, len, &pBlock));
  if (pBytes != NULL && len != 0) memcpy(pBlock, pBytes, len);
  *ppBlock = pBlock;
done:;
}

/* Copies exactly len bytes and a NUL (the block is zero-filled). */
static void add_bytes_terminated(QK_context *ctx, QK_strpool *pPool, const char *p, size_t len,
                                 char **ppsz) {
  void *pBlock = NULL;
  if (len >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_strpool__alloc_space(ctx, pPool, (QK_uint32)len + 1, &pBlock));
  memcpy(pBlock, p, len);
  *ppsz = (char *)pBlock;
done:;
}

void QK_strpool__add__sz(QK_context *ctx, QK_strpool *pPool, const char *sz, char **ppsz) {
  QK_ARG_NOT_NULL(ctx, sz);
  QK_ARG_NOT_NULL(ctx, ppsz);
  QK_TRY(ctx, add_bytes_terminated(ctx, pPool, sz, strlen(sz), ppsz));
done:;
}

void QK_strpool__add__text(QK_context *ctx, QK_strpool *pPool, const char *p, QK_uint32 len, char **ppsz) {
  QK_ARG_NOT_NULL(ctx, ppsz);
  if (len > 0) QK_ARG_NOT_NULL(ctx, p);
  QK_TRY(ctx, add_bytes_terminated(ctx, pPool, p, len, ppsz));
done:;
}

void QK_strpool__add__sz_len(QK_context *ctx, QK_strpool *pPool, const char *sz, QK_uint32 len,
                             char **ppsz) {
  QK_ARG_NOT_NULL(ctx, sz);
  QK_ARG_NOT_NULL(ctx, ppsz);
  QK_TRY(ctx, add_bytes_terminated(ctx, pPool, sz, len == 0 ? strlen(sz) : strnlen(sz, len), ppsz));
done:;
}

/* Heap allocation wrappers over the C runtime allocator. */
#include "qk/qk_malloc.h"

#include <stdint.h>
#include <stdlib.h>

/* A zero-byte request still yields a distinct block, so NULL always means failure. */
static size_t block_size(QK_uint64 bytes) { return bytes ? (size_t)bytes : 1; }

QK_error QK_alloc_noctx(QK_uint32 count, QK_uint32 size, void **ppNew) {
  if (ppNew == NULL) return QK_ERR_INVALID_ARGUMENT;
  /* Both factors are 32-bit, so the 64-bit product is exact; refuse what no heap can give
   * before asking the allocator. */
  QK_uint64 bytes = (QK_uint64)count * size;
  if (bytes > PTRDIFF_MAX) return QK_ERR_MALLOC_FAILED;
  void *p = calloc(1, block_size(bytes));
  if (p == NULL) return QK_ERR_MALLOC_FAILED;
  *ppNew = p;
  return QK_OK;
}

void QK_alloc(QK_context *ctx, QK_uint32 count, QK_uint32 size, void **ppNew) {
  QK_ARG_NOT_NULL(ctx, ppNew);
  {
    QK_error err = QK_alloc_noctx(count, size, ppNew);
    if (QK_ERROR_CODE(err) != 0) QK_THROW(ctx, err);
  }
done:;
}

void QK_malloc(QK_context *ctx, QK_uint32 size, void **ppNew) {
  QK_ARG_NOT_NULL(ctx, ppNew);
  {
    void *p = malloc(block_size(size));
    if (p == NULL) QK_THROW(ctx, QK_ERR_MALLOC_FAILED);
    *ppNew = p;
  }
done:;
}

void QK_free(QK_context *, void *p) { free(p); }

void QK_free_noctx(void *p) { free(p); }

/* Heap allocation wrappers through which the whole server takes and returns memory. */
#ifndef QK_MALLOC_H
#define QK_MALLOC_H

#include "qk/qk_context.h"

/* Zero-filled block of count x size bytes (the product is taken in 64 bits). */
void QK_alloc(QK_context *ctx, QK_uint32 count, QK_uint32 size, void **ppNew);
/* The same without a context (used to create the context itself); returns 2, 5 or QK_OK. */
QK_error QK_alloc_noctx(QK_uint32 count, QK_uint32 size, void **ppNew);
/* Block of size bytes, not initialised. */
void QK_malloc(QK_context *ctx, QK_uint32 size, void **ppNew);
/* Free a block; NULL is accepted and the context is not used. */
void QK_free(QK_context *ctx, void *p);
void QK_free_noctx(void *p);

/* Typed forms, so callers need no cast to void**. */
template <typename T>
inline void QK_alloc(QK_context *ctx, QK_uint32 count, QK_uint32 size, T **ppNew) {
  void *p = NULL;
  QK_alloc(ctx, count, size, ppNew ? &p : (void **)NULL);
  if (ppNew && p) *ppNew = static_cast<T *>(p);
}
template <typename T>
inline QK_error QK_alloc_noctx(QK_uint32 count, QK_uint32 size, T **ppNew) {
  void *p = NULL;
  QK_error err = QK_alloc_noctx(count, size, ppNew ? &p : (void **)NULL);
  if (ppNew && p) *ppNew = static_cast<T *>(p);
  return err;
}
template <typename T>
inline void QK_malloc(QK_context *ctx, QK_uint32 size, T **ppNew) {
  void *p = NULL;
  QK_malloc(ctx, size, ppNew ? &p : (void **)NULL);
  if (ppNew && p) *ppNew = static_cast<T *>(p);
}

#endif

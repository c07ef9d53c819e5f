/* The pools behind a root varray or vhash. */
#include "qk/qk_docpools.h"

#include <stdint.h>

void QK_docpools__open(QK_context *ctx, QK_uint64 strpool_bytes, QK_uint32 varpool_slots, QK_strpool *pStrpool,
                       QK_varpool *pVarpool, QK_strpool **ppStrpool, int *pbOwnsStrpool, QK_varpool **ppVarpool,
                       int *pbOwnsVarpool) {
  if (pStrpool == NULL) {
    if (strpool_bytes > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
    QK_TRY(ctx, QK_strpool__alloc(ctx, ppStrpool, (QK_uint32)strpool_bytes));
    *pbOwnsStrpool = 1;
  } else {
    *ppStrpool = pStrpool;
  }
  if (pVarpool == NULL) {
    QK_TRY(ctx, QK_varpool__alloc(ctx, ppVarpool, varpool_slots));
    *pbOwnsVarpool = 1;
  } else {
    *ppVarpool = pVarpool;
  }
done:;
}

int QK_docpools__values_go_with_pools(int bOwnsVarpool, const QK_varpool *pVarpool) {
  return bOwnsVarpool && pVarpool != NULL && pVarpool->heap_blocks == 0;
}

void QK_docpools__close(QK_context *ctx, QK_strpool *pStrpool, int bOwnsStrpool, QK_varpool *pVarpool,
                        int bOwnsVarpool) {
  if (bOwnsStrpool) QK_RELEASE(ctx, QK_strpool__free(ctx, pStrpool));
  if (bOwnsVarpool) QK_RELEASE(ctx, QK_varpool__free(ctx, pVarpool));
}

/* The two pools behind a root varray or vhash (internal to the containers): a pool passed
 * in is shared with the caller, a missing one is made for the root and owned by it. */
#ifndef QK_DOCPOOLS_H
#define QK_DOCPOOLS_H

#include "qk/qk_varpool.h"

/* Sets *ppStrpool and *ppVarpool to the pools given, or to new ones of strpool_bytes per chunk
 * and varpool_slots per chunk, raising the matching ownership flag for each one made here.
 * What is written stays written on failure, so the caller's free releases it. */
void QK_docpools__open(QK_context *ctx, QK_uint64 strpool_bytes, QK_uint32 varpool_slots, QK_strpool *pStrpool,
                       QK_varpool *pVarpool, QK_strpool **ppStrpool, int *pbOwnsStrpool, QK_varpool **ppVarpool,
                       int *pbOwnsVarpool);
/* Whether the root owns its variant pool and nothing of the document lives on the heap: then
 * freeing the pools frees every value, and the values need not be visited. */
int QK_docpools__values_go_with_pools(int bOwnsVarpool, const QK_varpool *pVarpool);
/* Frees the pools the root owns. */
void QK_docpools__close(QK_context *ctx, QK_strpool *pStrpool, int bOwnsStrpool, QK_varpool *pVarpool,
                        int bOwnsVarpool);

#endif

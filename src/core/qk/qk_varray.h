/* QK_varray: the JSON array of the document model, a growable array of variants whose slots
 * and texts come from pools shared with the rest of the document. Object and array elements
 * are owned by the varray. */
#ifndef QK_VARRAY_H
#define QK_VARRAY_H

#include "qk/qk_context.h"
#include "qk/qk_strpool.h"
#include "qk/qk_varpool.h"
#include "qk/qk_variant.h"

struct QK_vhash;
struct QK_jsonwriter;

typedef struct QK_varray {
  QK_strpool *pStrpool;
  QK_varpool *pVarpool;
  int bOwnsStrpool;
  int bOwnsVarpool;
  QK_variant **elements; /* pool slots in order */
  QK_uint32 capacity;
  QK_uint32 count;
  int bRecordInPool;         /* a child made inside the document: its record goes with the pools */
  QK_uint8 bElementsOnHeap;  /* else the element array is a block of the variant pool */
} QK_varray;

typedef void (*QK_varray_foreach_callback)(QK_context *ctx, void *pData, QK_varray *pva,
                                           QK_uint32 index, QK_variant *pv);

/* Construction: capacity 16 and own pools (160-byte and 16-slot chunks), or a given capacity
 * (0: 16) with the given pools (NULL: created and owned, chunks of capacity x 10 bytes and
 * capacity slots). */
void QK_varray__alloc(QK_context *ctx, QK_varray **ppResult);
void QK_varray__alloc__params(QK_context *ctx, QK_varray **ppResult, QK_uint32 capacity,
                              QK_strpool *pStrpool, QK_varpool *pVarpool);
/* Frees nested values, the owned pools and the array; NULL is accepted. */
void QK_varray__free(QK_context *ctx, QK_varray *pva);
void QK_varray__take_pools(QK_context *ctx, QK_varray *pva);

/* Appending at the end. */
void QK_varray__append__null(QK_context *ctx, QK_varray *pva);
void QK_varray__append__bool(QK_context *ctx, QK_varray *pva, int value);
void QK_varray__append__int64(QK_context *ctx, QK_varray *pva, QK_int64 value);
void QK_varray__append__double(QK_context *ctx, QK_varray *pva, double value);
void QK_varray__append__string(QK_context *ctx, QK_varray *pva, const char *putf8Value);
/* Take ownership of *ppvh / *ppva once the slot is taken (then *pp is set to NULL); when
 * taking the slot fails the caller keeps the child. */
void QK_varray__append__vhash(QK_context *ctx, QK_varray *pva, struct QK_vhash **ppvh);
void QK_varray__append__varray(QK_context *ctx, QK_varray *pva, QK_varray **ppva);
/* New empty children sharing the pools (a vhash without guess, a varray of capacity 4). */
void QK_varray__appendnew__vhash(QK_context *ctx, QK_varray *pva, struct QK_vhash **ppChild);
void QK_varray__appendnew__varray(QK_context *ctx, QK_varray *pva, QK_varray **ppChild);
/* Deep copies; the out pointer is optional. */
void QK_varray__appendcopy__vhash(QK_context *ctx, QK_varray *pThis, const struct QK_vhash *pValue,
                                  struct QK_vhash **ppCopy);
void QK_varray__appendcopy__varray(QK_context *ctx, QK_varray *pThis, const QK_varray *pValue,
                                   QK_varray **ppCopy);
void QK_varray__append__variant(QK_context *ctx, QK_varray *pThis, const QK_variant *pValue);
/* Appends a deep copy of every source element; an error stops it, earlier copies stay. */
void QK_varray__copy_items(QK_context *ctx, const QK_varray *pva_from, QK_varray *pva_to);

/* Reading: 50 for an index >= count, 48 on a wrong type (int64 also takes a decimal text). */
void QK_varray__count(QK_context *ctx, const QK_varray *pva, QK_uint32 *piResult);
QK_uint32 QK_varray__count_noctx(const QK_varray *pva);
void QK_varray__get__variant(QK_context *ctx, const QK_varray *pva, QK_uint32 index, QK_variant **ppResult);
void QK_varray__get__bool(QK_context *ctx, const QK_varray *pva, QK_uint32 index, int *pResult);
void QK_varray__get__int64(QK_context *ctx, const QK_varray *pva, QK_uint32 index, QK_int64 *pResult);
void QK_varray__get__sz(QK_context *ctx, const QK_varray *pva, QK_uint32 index, const char **ppResult);
void QK_varray__get__vhash(QK_context *ctx, const QK_varray *pva, QK_uint32 index,
                           struct QK_vhash **ppResult);
void QK_varray__foreach(QK_context *ctx, QK_varray *pva, QK_varray_foreach_callback cb, void *pData);
/* Same count and pairwise equal elements in order. */
void QK_varray__equal(QK_context *ctx, const QK_varray *pva1, const QK_varray *pva2, int *pbEqual);

/* Replaces the value of a bool element; the previous value is optional. */
void QK_varray__set__bool(QK_context *ctx, QK_varray *pva, QK_uint32 index, int value, int *pbPrevious);

void QK_varray__write_json(QK_context *ctx, const QK_varray *pva, struct QK_jsonwriter *pjson);

/* Used by the JSON reader. A new empty child of the given capacity sharing the pools (record
 * and elements from the variant pool when it serves them). */
void QK_varray__alloc__child(QK_context *ctx, QK_varray **ppResult, QK_uint32 capacity,
                             QK_strpool *pStrpool, QK_varpool *pVarpool);
/* A fresh zero slot appended at the end, for the caller to set (used by the JSON reader). */
void QK_varray__append_slot(QK_context *ctx, QK_varray *pva, QK_variant **ppSlot);

#endif

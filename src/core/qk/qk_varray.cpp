/* Growable arrays of variants. */
#include "qk/qk_varray.h"

#include <string.h>

#include "qk/qk_docpools.h"
#include "qk/qk_jsonwriter.h"
#include "qk/qk_malloc.h"
#include "qk/qk_vhash.h"

#define QK_VARRAY_DEFAULT_CAPACITY 16
#define QK_VARRAY_DEFAULT_STRPOOL_CHUNK 160
#define QK_VARRAY_STRPOOL_BYTES_PER_ELEMENT 10
#define QK_VARRAY_NESTED_CAPACITY 4

void QK_varray__alloc__params(QK_context *ctx, QK_varray **ppResult, QK_uint32 capacity,
                              QK_strpool *pStrpool, QK_varpool *pVarpool) {
  QK_varray *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppResult);
  if (capacity == 0) capacity = QK_VARRAY_DEFAULT_CAPACITY;
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_varray), &pNew));
  QK_TRY(ctx, QK_docpools__open(ctx, (QK_uint64)capacity * QK_VARRAY_STRPOOL_BYTES_PER_ELEMENT, capacity, pStrpool,
                                 pVarpool, &pNew->pStrpool, &pNew->bOwnsStrpool, &pNew->pVarpool,
                                 &pNew->bOwnsVarpool));
  QK_TRY(ctx, QK_varpool__alloc_array(ctx, pNew->pVarpool, capacity, sizeof(QK_variant *),
                                      (void **)&pNew->elements, &pNew->bElementsOnHeap));
  pNew->capacity = capacity;
  *ppResult = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pNew));
}

void QK_varray__alloc__child(QK_context *ctx, QK_varray **ppResult, QK_uint32 capacity,
                             QK_strpool *pStrpool, QK_varpool *pVarpool) {
  void *pBlock = NULL;
  QK_varray *pNew;
  QK_ARG_NOT_NULL(ctx, ppResult);
  QK_ARG_NOT_NULL(ctx, pStrpool);
  QK_ARG_NOT_NULL(ctx, pVarpool);
  if (capacity == 0) capacity = QK_VARRAY_DEFAULT_CAPACITY;
  if (!QK_varpool__serves_block(pVarpool, sizeof(QK_varray) + (size_t)capacity * sizeof(QK_variant *))) {
    QK_TRY(ctx, QK_varray__alloc__params(ctx, ppResult, capacity, pStrpool, pVarpool));
    goto done;
  }
  /* The record and its first element array in one block. */
  QK_TRY(ctx, QK_varpool__add_block(ctx, pVarpool, sizeof(QK_varray) + (size_t)capacity * sizeof(QK_variant *),
                                    &pBlock));
  pNew = (QK_varray *)pBlock;
  pNew->pStrpool = pStrpool;
  pNew->pVarpool = pVarpool;
  pNew->elements = (QK_variant **)(pNew + 1);
  pNew->capacity = capacity;
  pNew->bRecordInPool = 1;
  *ppResult = pNew;
done:;
}

void QK_varray__alloc(QK_context *ctx, QK_varray **ppResult) {
  QK_TRY(ctx, QK_varray__alloc__params(ctx, ppResult, QK_VARRAY_DEFAULT_CAPACITY, NULL, NULL));
done:;
}

void QK_varray__free(QK_context *ctx, QK_varray *pva) {
  if (pva == NULL) return;
  /* A root whose document holds nothing on the heap goes with its pools, unvisited. */
  if (!QK_docpools__values_go_with_pools(pva->bOwnsVarpool, pva->pVarpool)) {
    for (QK_uint32 i = 0; i < pva->count; i++) {
      QK_variant *pv = pva->elements[i];
      if (pv->type == QK_VARIANT_TYPE_VHASH) QK_RELEASE(ctx, QK_vhash__free(ctx, pv->u.pvh));
      if (pv->type == QK_VARIANT_TYPE_VARRAY) QK_RELEASE(ctx, QK_varray__free(ctx, pv->u.pva));
    }
  }
  QK_varpool__free_array(ctx, pva->elements, pva->bElementsOnHeap);
  if (pva->bRecordInPool) return;
  QK_docpools__close(ctx, pva->pStrpool, pva->bOwnsStrpool, pva->pVarpool, pva->bOwnsVarpool);
  QK_RELEASE(ctx, QK_free(ctx, pva));
}

void QK_varray__take_pools(QK_context *ctx, QK_varray *pva) {
  QK_ARG_NOT_NULL(ctx, pva);
  pva->bOwnsStrpool = 1;
  pva->bOwnsVarpool = 1;
done:;
}

/* Doubles the element array; the varray is unchanged when that fails. */
static void grow(QK_context *ctx, QK_varray *pva) {
  void *pNew = NULL;
  QK_uint8 bOnHeap = 0;
  QK_uint64 capacity = (QK_uint64)pva->capacity * 2;
  if (capacity > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_varpool__alloc_array(ctx, pva->pVarpool, (QK_uint32)capacity, sizeof(QK_variant *), &pNew, &bOnHeap));
  memcpy(pNew, pva->elements, (size_t)pva->count * sizeof(QK_variant *));
  QK_varpool__free_array(ctx, pva->elements, pva->bElementsOnHeap);
  pva->elements = (QK_variant **)pNew;
  pva->bElementsOnHeap = bOnHeap;
  pva->capacity = (QK_uint32)capacity;
done:;
}

void QK_varray__append_slot(QK_context *ctx, QK_varray *pva, QK_variant **ppSlot) {
  QK_variant *pSlot = NULL;
  QK_ARG_NOT_NULL(ctx, pva);
  if (pva->capacity < pva->count + 1) QK_TRY(ctx, grow(ctx, pva));
  QK_TRY(ctx, QK_varpool__add(ctx, pva->pVarpool, &pSlot));
  pva->elements[pva->count++] = pSlot;
  *ppSlot = pSlot;
done:;
}

void QK_varray__append__null(QK_context *ctx, QK_varray *pva) {
  QK_variant *pSlot = NULL;
  QK_TRY(ctx, QK_varray__append_slot(ctx, pva, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_NULL;
done:;
}

void QK_varray__append__bool(QK_context *ctx, QK_varray *pva, int value) {
  QK_variant *pSlot = NULL;
  QK_TRY(ctx, QK_varray__append_slot(ctx, pva, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_BOOL;
  pSlot->u.b = value != 0;
done:;
}

void QK_varray__append__int64(QK_context *ctx, QK_varray *pva, QK_int64 value) {
  QK_variant *pSlot = NULL;
  QK_TRY(ctx, QK_varray__append_slot(ctx, pva, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_INT64;
  pSlot->u.i64 = value;
done:;
}

void QK_varray__append__double(QK_context *ctx, QK_varray *pva, double value) {
  QK_variant *pSlot = NULL;
  QK_TRY(ctx, QK_varray__append_slot(ctx, pva, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_DOUBLE;
  pSlot->u.dbl = value;
done:;
}

/* len bytes of a text, which may hold NULs. */
static void append_text(QK_context *ctx, QK_varray *pva, const char *pText, QK_uint32 len) {
  QK_variant *pSlot = NULL;
  char *pszCopy = NULL;
  QK_ARG_NOT_NULL(ctx, pva);
  QK_TRY(ctx, QK_strpool__add__text(ctx, pva->pStrpool, pText, len, &pszCopy));
  QK_TRY(ctx, QK_varray__append_slot(ctx, pva, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_SZ;
  pSlot->u.psz = pszCopy;
  pSlot->len = len;
done:;
}

void QK_varray__append__string(QK_context *ctx, QK_varray *pva, const char *putf8Value) {
  QK_ARG_NOT_NULL(ctx, putf8Value);
  QK_TRY(ctx, append_text(ctx, pva, putf8Value, (QK_uint32)strlen(putf8Value)));
done:;
}

void QK_varray__append__vhash(QK_context *ctx, QK_varray *pva, QK_vhash **ppvh) {
  QK_variant *pSlot = NULL;
  QK_ARG_NOT_NULL(ctx, pva);
  QK_ARG_NOT_NULL(ctx, ppvh);
  QK_ARG_NOT_NULL(ctx, *ppvh);
  QK_TRY(ctx, QK_varray__append_slot(ctx, pva, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_VHASH;
  pSlot->u.pvh = *ppvh;
  if (!(*ppvh)->bRecordInPool) pva->pVarpool->heap_blocks++;
  *ppvh = NULL;
done:;
}

void QK_varray__append__varray(QK_context *ctx, QK_varray *pva, QK_varray **ppva) {
  QK_variant *pSlot = NULL;
  QK_ARG_NOT_NULL(ctx, pva);
  QK_ARG_NOT_NULL(ctx, ppva);
  QK_ARG_NOT_NULL(ctx, *ppva);
  QK_TRY(ctx, QK_varray__append_slot(ctx, pva, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_VARRAY;
  pSlot->u.pva = *ppva;
  if (!(*ppva)->bRecordInPool) pva->pVarpool->heap_blocks++;
  *ppva = NULL;
done:;
}

void QK_varray__appendnew__vhash(QK_context *ctx, QK_varray *pva, QK_vhash **ppChild) {
  QK_vhash *pChild = NULL;
  QK_vhash *pAdded;
  QK_ARG_NOT_NULL(ctx, pva);
  QK_TRY(ctx, QK_vhash__alloc__child(ctx, &pChild, pva->pStrpool, pva->pVarpool));
  pAdded = pChild;
  QK_TRY(ctx, QK_varray__append__vhash(ctx, pva, &pChild));
  if (ppChild) *ppChild = pAdded;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pChild));
}

void QK_varray__appendnew__varray(QK_context *ctx, QK_varray *pva, QK_varray **ppChild) {
  QK_varray *pChild = NULL;
  QK_varray *pAdded;
  QK_ARG_NOT_NULL(ctx, pva);
  QK_TRY(ctx, QK_varray__alloc__child(ctx, &pChild, QK_VARRAY_NESTED_CAPACITY, pva->pStrpool,
                                      pva->pVarpool));
  pAdded = pChild;
  QK_TRY(ctx, QK_varray__append__varray(ctx, pva, &pChild));
  if (ppChild) *ppChild = pAdded;
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pChild));
}

void QK_varray__appendcopy__vhash(QK_context *ctx, QK_varray *pThis, const QK_vhash *pValue,
                                  QK_vhash **ppCopy) {
  QK_vhash *pChild = NULL;
  QK_ARG_NOT_NULL(ctx, pThis);
  QK_ARG_NOT_NULL(ctx, pValue);
  QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, pThis, &pChild));
  QK_TRY(ctx, QK_vhash__copy_items(ctx, pValue, pChild));
  if (ppCopy) *ppCopy = pChild;
done:;
}

void QK_varray__appendcopy__varray(QK_context *ctx, QK_varray *pThis, const QK_varray *pValue,
                                   QK_varray **ppCopy) {
  QK_varray *pChild = NULL;
  QK_ARG_NOT_NULL(ctx, pThis);
  QK_ARG_NOT_NULL(ctx, pValue);
  QK_TRY(ctx, QK_varray__appendnew__varray(ctx, pThis, &pChild));
  QK_TRY(ctx, QK_varray__copy_items(ctx, pValue, pChild));
  if (ppCopy) *ppCopy = pChild;
done:;
}

void QK_varray__append__variant(QK_context *ctx, QK_varray *pThis, const QK_variant *pValue) {
  QK_ARG_NOT_NULL(ctx, pThis);
  QK_ARG_NOT_NULL(ctx, pValue);
  switch (pValue->type) {
    case QK_VARIANT_TYPE_NULL: QK_TRY(ctx, QK_varray__append__null(ctx, pThis)); break;
    case QK_VARIANT_TYPE_INT64: QK_TRY(ctx, QK_varray__append__int64(ctx, pThis, pValue->u.i64)); break;
    case QK_VARIANT_TYPE_DOUBLE: QK_TRY(ctx, QK_varray__append__double(ctx, pThis, pValue->u.dbl)); break;
    case QK_VARIANT_TYPE_BOOL: QK_TRY(ctx, QK_varray__append__bool(ctx, pThis, pValue->u.b)); break;
    case QK_VARIANT_TYPE_SZ: QK_TRY(ctx, append_text(ctx, pThis, pValue->u.psz, pValue->len)); break;
    case QK_VARIANT_TYPE_VHASH: QK_TRY(ctx, QK_varray__appendcopy__vhash(ctx, pThis, pValue->u.pvh, NULL)); break;
    case QK_VARIANT_TYPE_VARRAY:
      QK_TRY(ctx, QK_varray__appendcopy__varray(ctx, pThis, pValue->u.pva, NULL));
      break;
    default: QK_THROW_FMT(ctx, QK_ERR_INVALID_ARGUMENT, "Variant has unknown type: %d", (int)pValue->type);
  }
done:;
}

void QK_varray__copy_items(QK_context *ctx, const QK_varray *pva_from, QK_varray *pva_to) {
  QK_ARG_NOT_NULL(ctx, pva_from);
  QK_ARG_NOT_NULL(ctx, pva_to);
  /* The count is read once: copying an array into itself must end. */
  for (QK_uint32 i = 0, n = pva_from->count; i < n; i++)
    QK_TRY(ctx, QK_varray__append__variant(ctx, pva_to, pva_from->elements[i]));
done:;
}

void QK_varray__count(QK_context *ctx, const QK_varray *pva, QK_uint32 *piResult) {
  QK_ARG_NOT_NULL(ctx, pva);
  QK_ARG_NOT_NULL(ctx, piResult);
  *piResult = pva->count;
done:;
}

QK_uint32 QK_varray__count_noctx(const QK_varray *pva) { return pva ? pva->count : 0; }

void QK_varray__get__variant(QK_context *ctx, const QK_varray *pva, QK_uint32 index, QK_variant **ppResult) {
  QK_ARG_NOT_NULL(ctx, pva);
  QK_ARG_NOT_NULL(ctx, ppResult);
  if (index >= pva->count) QK_THROW(ctx, QK_ERR_VARRAY_INDEX_OUT_OF_RANGE);
  *ppResult = pva->elements[index];
done:;
}

/* Typed element readers: bounds first, then the variant's own typed reader. */
#define QK_VARRAY_READER(suffix, type_t, read)                                                   \
  void QK_varray__get__##suffix(QK_context *ctx, const QK_varray *pva, QK_uint32 index,          \
                                type_t *pResult) {                                               \
    QK_variant *pv = NULL;                                                                       \
    QK_TRY(ctx, QK_varray__get__variant(ctx, pva, index, &pv));                                  \
    QK_TRY(ctx, read(ctx, pv, pResult));                                                         \
  done:;                                                                                         \
  }

QK_VARRAY_READER(bool, int, QK_variant__get__bool)
QK_VARRAY_READER(int64, QK_int64, QK_variant__get__int64)
QK_VARRAY_READER(sz, const char *, QK_variant__get__sz)
QK_VARRAY_READER(vhash, QK_vhash *, QK_variant__get__vhash)

void QK_varray__foreach(QK_context *ctx, QK_varray *pva, QK_varray_foreach_callback cb, void *pData) {
  QK_ARG_NOT_NULL(ctx, pva);
  QK_ARG_NOT_NULL(ctx, cb);
  for (QK_uint32 i = 0; i < pva->count; i++) QK_TRY(ctx, cb(ctx, pData, pva, i, pva->elements[i]));
done:;
}

void QK_varray__equal(QK_context *ctx, const QK_varray *pva1, const QK_varray *pva2, int *pbEqual) {
  int bEqual = 1;
  QK_ARG_NOT_NULL(ctx, pva1);
  QK_ARG_NOT_NULL(ctx, pva2);
  QK_ARG_NOT_NULL(ctx, pbEqual);
  if (pva1 != pva2) {
    bEqual = pva1->count == pva2->count;
    for (QK_uint32 i = 0; bEqual && i < pva1->count; i++)
      QK_TRY(ctx, QK_variant__equal(ctx, pva1->elements[i], pva2->elements[i], &bEqual));
  }
  *pbEqual = bEqual;
done:;
}

void QK_varray__set__bool(QK_context *ctx, QK_varray *pva, QK_uint32 index, int value, int *pbPrevious) {
  QK_variant *pv = NULL;
  int previous = 0;
  QK_TRY(ctx, QK_varray__get__variant(ctx, pva, index, &pv));
  QK_TRY(ctx, QK_variant__get__bool(ctx, pv, &previous));
  pv->u.b = value != 0;
  if (pbPrevious) *pbPrevious = previous;
done:;
}

static void write_json_element(QK_context *ctx, void *pData, QK_varray *, QK_uint32, QK_variant *pv) {
  QK_TRY(ctx, QK_jsonwriter__write_element__variant(ctx, (QK_jsonwriter *)pData, pv));
done:;
}

void QK_varray__write_json(QK_context *ctx, const QK_varray *pva, QK_jsonwriter *pjson) {
  QK_ARG_NOT_NULL(ctx, pva);
  QK_ARG_NOT_NULL(ctx, pjson);
  QK_TRY(ctx, QK_jsonwriter__start_array(ctx, pjson));
  QK_TRY(ctx, QK_varray__foreach(ctx, (QK_varray *)pva, write_json_element, pjson));
  QK_TRY(ctx, QK_jsonwriter__end_array(ctx, pjson));
done:;
}

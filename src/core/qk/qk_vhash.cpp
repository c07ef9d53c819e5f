/* Insertion-ordered maps from keys to variants. */
#include "qk/qk_vhash.h"

#include <stdint.h>
#include <string.h>

#include "qk/qk_docpools.h"
#include "qk/qk_jsonparser.h"
#include "qk/qk_jsonwriter.h"
#include "qk/qk_malloc.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"

#define QK_VHASH_DEFAULT_GUESS 8
#define QK_VHASH_STRPOOL_BYTES_PER_PAIR 200
#define QK_VHASH_NESTED_VARRAY_CAPACITY 4

/* 2 to the bit length of the guess, at least 8; bit lengths past 18 fall back to 65,536. */
static QK_uint32 capacity_for_guess(QK_uint32 guess) {
  QK_uint32 bits = 0;
  while (bits < 32 && (guess >> bits) != 0) bits++;
  if (bits < 3) bits = 3;
  if (bits > 18) bits = 16;
  return (QK_uint32)1 << bits;
}

void QK_vhash__alloc__params(QK_context *ctx, QK_vhash **ppNew, QK_uint32 guess,
                             QK_strpool *pStrpool, QK_varpool *pVarpool) {
  QK_vhash *pNew = NULL;
  QK_uint32 poolGuess = guess ? guess : QK_VHASH_DEFAULT_GUESS;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_vhash), &pNew));
  QK_keytable__init_inline(&pNew->table, NULL);
  QK_TRY(ctx, QK_docpools__open(ctx, (QK_uint64)poolGuess * QK_VHASH_STRPOOL_BYTES_PER_PAIR, poolGuess, pStrpool,
                                 pVarpool, &pNew->pStrpool, &pNew->bOwnsStrpool, &pNew->pVarpool,
                                 &pNew->bOwnsVarpool));
  pNew->table.pArena = pNew->pVarpool;
  if (guess != 0) QK_TRY(ctx, QK_keytable__init(ctx, &pNew->table, capacity_for_guess(guess), pNew->pVarpool));
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pNew));
}

void QK_vhash__alloc__child(QK_context *ctx, QK_vhash **ppNew, QK_strpool *pStrpool, QK_varpool *pVarpool) {
  void *pBlock = NULL;
  QK_vhash *pNew;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_ARG_NOT_NULL(ctx, pStrpool);
  QK_ARG_NOT_NULL(ctx, pVarpool);
  if (!QK_varpool__serves_block(pVarpool, sizeof(QK_vhash))) {
    QK_TRY(ctx, QK_vhash__alloc__params(ctx, ppNew, 0, pStrpool, pVarpool));
    goto done;
  }
  QK_TRY(ctx, QK_varpool__add_block(ctx, pVarpool, sizeof(QK_vhash), &pBlock));
  pNew = (QK_vhash *)pBlock;
  QK_keytable__init_inline(&pNew->table, pVarpool);
  pNew->pStrpool = pStrpool;
  pNew->pVarpool = pVarpool;
  pNew->bRecordInPool = 1;
  *ppNew = pNew;
done:;
}

void QK_vhash__alloc(QK_context *ctx, QK_vhash **ppNew) {
  QK_TRY(ctx, QK_vhash__alloc__params(ctx, ppNew, 0, NULL, NULL));
done:;
}

void QK_vhash__alloc__copy(QK_context *ctx, QK_vhash **ppNew, const QK_vhash *pvhSource) {
  QK_vhash *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_ARG_NOT_NULL(ctx, pvhSource);
  QK_TRY(ctx, QK_vhash__alloc__params(ctx, &pNew, pvhSource->table.count, NULL, NULL));
  QK_TRY(ctx, QK_vhash__copy_items(ctx, pvhSource, pNew));
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pNew));
}

void QK_vhash__alloc__from_json(QK_context *ctx, QK_vhash **ppNew, const char *szJson) {
  QK_vhash *pvh = NULL;
  QK_varray *pva = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_ARG_NOT_NULL(ctx, szJson);
  QK_TRY(ctx, QK_jsonparser__build(ctx, szJson, strlen(szJson), &pvh, &pva));
  if (pva != NULL) QK_THROW(ctx, QK_ERR_JSON_WRONG_TYPE);
  *ppNew = pvh;
  pvh = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pvh));
  QK_RELEASE(ctx, QK_varray__free(ctx, pva));
}

/* Frees the object or array a value owns; other types hold nothing of their own. */
static void free_variant_content(QK_context *ctx, QK_variant *pv) {
  if (pv->type == QK_VARIANT_TYPE_VHASH) {
    QK_RELEASE(ctx, QK_vhash__free(ctx, pv->u.pvh));
    pv->u.pvh = NULL;
  } else if (pv->type == QK_VARIANT_TYPE_VARRAY) {
    QK_RELEASE(ctx, QK_varray__free(ctx, pv->u.pva));
    pv->u.pva = NULL;
  }
}

void QK_vhash__free(QK_context *ctx, QK_vhash *pvh) {
  if (pvh == NULL) return;
  /* A root whose document holds nothing on the heap goes with its pools, unvisited. */
  if (!QK_docpools__values_go_with_pools(pvh->bOwnsVarpool, pvh->pVarpool))
    for (QK_uint32 i = 0; i < pvh->table.count; i++) free_variant_content(ctx, pvh->table.items[i].value);
  QK_keytable__free_arrays(ctx, &pvh->table);
  if (pvh->bRecordInPool) return;
  QK_docpools__close(ctx, pvh->pStrpool, pvh->bOwnsStrpool, pvh->pVarpool, pvh->bOwnsVarpool);
  QK_RELEASE(ctx, QK_free(ctx, pvh));
}

void QK_vhash__take_pools(QK_context *ctx, QK_vhash *pvh) {
  QK_ARG_NOT_NULL(ctx, pvh);
  pvh->bOwnsStrpool = 1;
  pvh->bOwnsVarpool = 1;
done:;
}

void QK_vhash__add_slot__stored_key(QK_context *ctx, QK_vhash *pvh, const char *key, QK_uint32 hash,
                                    QK_variant **ppSlot) {
  QK_variant *pSlot = NULL;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, key);
  QK_TRY(ctx, QK_varpool__add(ctx, pvh->pVarpool, &pSlot));
  if (!QK_keytable__has_room(&pvh->table)) QK_TRY(ctx, QK_keytable__make_room(ctx, &pvh->table));
  QK_TRY(ctx, QK_keytable__append(ctx, &pvh->table, key, hash, pSlot));
  *ppSlot = pSlot;
done:;
}

/* A new pair with a zero slot for the caller to set. Growth and the key copy come before the
 * duplicate test: a refused add may have grown the vhash and used pool space. */
static void add_slot(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_variant **ppSlot) {
  QK_variant *pSlot = NULL;
  void *pKeyCopy = NULL;
  size_t len;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  len = strlen(psz_key);
  if (len >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_varpool__add(ctx, pvh->pVarpool, &pSlot));
  QK_TRY(ctx, QK_keytable__make_room(ctx, &pvh->table));
  QK_TRY(ctx, QK_strpool__alloc_space(ctx, pvh->pStrpool, (QK_uint32)len + 1, &pKeyCopy));
  memcpy(pKeyCopy, psz_key, len);
  QK_TRY(ctx, QK_keytable__append(ctx, &pvh->table, (const char *)pKeyCopy, QK_keytable__hash(pKeyCopy, len), pSlot));
  *ppSlot = pSlot;
done:;
}

static QK_keyitem *find_item(const QK_vhash *pvh, const char *psz_key) {
  return QK_keytable__find(&pvh->table, psz_key, QK_keytable__hash(psz_key, strlen(psz_key)));
}

void QK_vhash__add__null(QK_context *ctx, QK_vhash *pvh, const char *psz_key) {
  QK_variant *pSlot = NULL;
  QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_NULL;
done:;
}

void QK_vhash__add__bool(QK_context *ctx, QK_vhash *pvh, const char *psz_key, int value) {
  QK_variant *pSlot = NULL;
  QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_BOOL;
  pSlot->u.b = value != 0;
done:;
}

void QK_vhash__add__int64(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_int64 value) {
  QK_variant *pSlot = NULL;
  QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_INT64;
  pSlot->u.i64 = value;
done:;
}

void QK_vhash__add__double(QK_context *ctx, QK_vhash *pvh, const char *psz_key, double value) {
  QK_variant *pSlot = NULL;
  QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_DOUBLE;
  pSlot->u.dbl = value;
done:;
}

void QK_vhash__add__string__buflen(QK_context *ctx, QK_vhash *pvh, const char *psz_key,
                                   const char *psz_value, QK_uint32 len) {
  QK_variant *pSlot = NULL;
  char *pszCopy = NULL;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_value);
  QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  QK_TRY(ctx, QK_strpool__add__sz_len(ctx, pvh->pStrpool, psz_value, len, &pszCopy));
  pSlot->type = QK_VARIANT_TYPE_SZ;
  pSlot->u.psz = pszCopy;
  pSlot->len = (QK_uint32)strlen(pszCopy);
done:;
}

void QK_vhash__add__text(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const char *pText, QK_uint32 len) {
  QK_variant *pSlot = NULL;
  char *pszCopy = NULL;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_TRY(ctx, QK_strpool__add__text(ctx, pvh->pStrpool, pText, len, &pszCopy));
  QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_SZ;
  pSlot->u.psz = pszCopy;
  pSlot->len = len;
done:;
}

void QK_vhash__add__string(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const char *psz_value) {
  QK_TRY(ctx, QK_vhash__add__string__buflen(ctx, pvh, psz_key, psz_value, 0));
done:;
}

void QK_vhash__add__vhash(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_vhash **ppvh_val) {
  QK_vhash *pChild = NULL;
  QK_variant *pSlot = NULL;
  QK_ARG_NOT_NULL(ctx, ppvh_val);
  QK_ARG_NOT_NULL(ctx, *ppvh_val);
  pChild = *ppvh_val;
  *ppvh_val = NULL;
  QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_VHASH;
  pSlot->u.pvh = pChild;
  if (!pChild->bRecordInPool) pvh->pVarpool->heap_blocks++;
  pChild = NULL;
done:
  /* The caller has given the child away: a refused add must not leak it. */
  QK_RELEASE(ctx, QK_vhash__free(ctx, pChild));
}

void QK_vhash__add__varray(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_varray **ppva_val) {
  QK_varray *pChild = NULL;
  QK_variant *pSlot = NULL;
  QK_ARG_NOT_NULL(ctx, ppva_val);
  QK_ARG_NOT_NULL(ctx, *ppva_val);
  pChild = *ppva_val;
  *ppva_val = NULL;
  QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_VARRAY;
  pSlot->u.pva = pChild;
  if (!pChild->bRecordInPool) pvh->pVarpool->heap_blocks++;
  pChild = NULL;
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pChild));
}

void QK_vhash__addnew__vhash(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_vhash **ppChild) {
  QK_vhash *pChild = NULL;
  QK_vhash *pAdded;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_TRY(ctx, QK_vhash__alloc__child(ctx, &pChild, pvh->pStrpool, pvh->pVarpool));
  pAdded = pChild;
  QK_TRY(ctx, QK_vhash__add__vhash(ctx, pvh, psz_key, &pChild));
  if (ppChild) *ppChild = pAdded;
done:;
}

void QK_vhash__addnew__varray(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_varray **ppChild) {
  QK_varray *pChild = NULL;
  QK_varray *pAdded;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_TRY(ctx, QK_varray__alloc__child(ctx, &pChild, QK_VHASH_NESTED_VARRAY_CAPACITY, pvh->pStrpool,
                                      pvh->pVarpool));
  pAdded = pChild;
  QK_TRY(ctx, QK_vhash__add__varray(ctx, pvh, psz_key, &pChild));
  if (ppChild) *ppChild = pAdded;
done:;
}

void QK_vhash__addcopy__vhash(QK_context *ctx, QK_vhash *pvh, const char *psz_key,
                              const QK_vhash *pvhSource) {
  QK_vhash *pChild = NULL;
  QK_ARG_NOT_NULL(ctx, pvhSource);
  QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pvh, psz_key, &pChild));
  QK_TRY(ctx, QK_vhash__copy_items(ctx, pvhSource, pChild));
done:;
}

void QK_vhash__add__variant(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const QK_variant *pv) {
  QK_ARG_NOT_NULL(ctx, pv);
  switch (pv->type) {
    case QK_VARIANT_TYPE_NULL: QK_TRY(ctx, QK_vhash__add__null(ctx, pvh, psz_key)); break;
    case QK_VARIANT_TYPE_INT64: QK_TRY(ctx, QK_vhash__add__int64(ctx, pvh, psz_key, pv->u.i64)); break;
    case QK_VARIANT_TYPE_DOUBLE: QK_TRY(ctx, QK_vhash__add__double(ctx, pvh, psz_key, pv->u.dbl)); break;
    case QK_VARIANT_TYPE_BOOL: QK_TRY(ctx, QK_vhash__add__bool(ctx, pvh, psz_key, pv->u.b)); break;
    case QK_VARIANT_TYPE_SZ: QK_TRY(ctx, QK_vhash__add__text(ctx, pvh, psz_key, pv->u.psz, pv->len)); break;
    case QK_VARIANT_TYPE_VHASH: QK_TRY(ctx, QK_vhash__addcopy__vhash(ctx, pvh, psz_key, pv->u.pvh)); break;
    case QK_VARIANT_TYPE_VARRAY: {
      QK_varray *pChild = NULL;
      QK_TRY(ctx, QK_vhash__addnew__varray(ctx, pvh, psz_key, &pChild));
      QK_TRY(ctx, QK_varray__copy_items(ctx, pv->u.pva, pChild));
      break;
    }
    /* A value that cannot be copied must not vanish silently. */
    default: QK_THROW_FMT(ctx, QK_ERR_INVALID_ARGUMENT, "Variant has unknown type: %d", (int)pv->type);
  }
done:;
}

void QK_vhash__copy_items(QK_context *ctx, const QK_vhash *pvhFrom, QK_vhash *pvhTo) {
  QK_ARG_NOT_NULL(ctx, pvhFrom);
  QK_ARG_NOT_NULL(ctx, pvhTo);
  for (QK_uint32 i = 0; i < pvhFrom->table.count; i++) {
    const QK_keyitem *pItem = &pvhFrom->table.items[i];
    QK_TRY(ctx, QK_vhash__add__variant(ctx, pvhTo, pItem->key, pItem->value));
  }
done:;
}

/* The slot of a present key, emptied of any object or array it held; NULL when absent. */
static QK_variant *slot_for_update(QK_context *ctx, QK_vhash *pvh, const char *psz_key) {
  QK_keyitem *pItem = find_item(pvh, psz_key);
  if (pItem == NULL) return NULL;
  free_variant_content(ctx, pItem->value);
  return pItem->value;
}

void QK_vhash__update__null(QK_context *ctx, QK_vhash *pvh, const char *psz_key) {
  QK_variant *pSlot;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  pSlot = slot_for_update(ctx, pvh, psz_key);
  if (pSlot == NULL) QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_NULL;
  pSlot->u.i64 = 0;
done:;
}

void QK_vhash__update__bool(QK_context *ctx, QK_vhash *pvh, const char *psz_key, int value) {
  QK_variant *pSlot;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  pSlot = slot_for_update(ctx, pvh, psz_key);
  if (pSlot == NULL) QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_BOOL;
  pSlot->u.i64 = 0;
  pSlot->u.b = value != 0;
done:;
}

void QK_vhash__update__int64(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_int64 value) {
  QK_variant *pSlot;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  pSlot = slot_for_update(ctx, pvh, psz_key);
  if (pSlot == NULL) QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_INT64;
  pSlot->u.i64 = value;
done:;
}

void QK_vhash__update__string(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const char *psz_value) {
  QK_variant *pSlot;
  char *pszCopy = NULL;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  if (psz_value == NULL) {
    QK_TRY(ctx, QK_vhash__update__null(ctx, pvh, psz_key));
    goto done;
  }
  QK_TRY(ctx, QK_strpool__add__sz(ctx, pvh->pStrpool, psz_value, &pszCopy));
  pSlot = slot_for_update(ctx, pvh, psz_key);
  if (pSlot == NULL) QK_TRY(ctx, add_slot(ctx, pvh, psz_key, &pSlot));
  pSlot->type = QK_VARIANT_TYPE_SZ;
  pSlot->u.psz = pszCopy;
  pSlot->len = (QK_uint32)strlen(pszCopy);
done:;
}

static void find_value(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_variant **ppv) {
  QK_keyitem *pItem;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  pItem = find_item(pvh, psz_key);
  if (pItem == NULL) QK_THROW_MSG(ctx, QK_ERR_VHASH_KEY_NOT_FOUND, psz_key);
  *ppv = pItem->value;
done:;
}

/* The value of a key, or NULL when absent (no error). */
static void check_value(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_variant **ppv) {
  QK_keyitem *pItem;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  pItem = find_item(pvh, psz_key);
  *ppv = pItem ? pItem->value : NULL;
done:;
}

void QK_vhash__ensure__vhash(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_vhash **ppChild) {
  QK_variant *pv = NULL;
  QK_ARG_NOT_NULL(ctx, ppChild);
  QK_TRY(ctx, check_value(ctx, pvh, psz_key, &pv));
  if (pv == NULL)
    QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pvh, psz_key, ppChild));
  else
    QK_TRY(ctx, QK_variant__get__vhash(ctx, pv, ppChild));
done:;
}

void QK_vhash__ensure__varray(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_varray **ppChild) {
  QK_variant *pv = NULL;
  QK_ARG_NOT_NULL(ctx, ppChild);
  QK_TRY(ctx, check_value(ctx, pvh, psz_key, &pv));
  if (pv == NULL)
    QK_TRY(ctx, QK_vhash__addnew__varray(ctx, pvh, psz_key, ppChild));
  else
    QK_TRY(ctx, QK_variant__get__varray(ctx, pv, ppChild));
done:;
}

static void int32_of(QK_context *ctx, const QK_variant *pv, QK_int32 *pResult) {
  QK_int64 value = 0;
  QK_TRY(ctx, QK_variant__get__int64(ctx, pv, &value));
  if (!QK_int64__fits_int32(value)) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  *pResult = (QK_int32)value;
done:;
}

void QK_vhash__get__variant(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_variant **ppResult) {
  QK_ARG_NOT_NULL(ctx, ppResult);
  QK_TRY(ctx, find_value(ctx, pvh, psz_key, ppResult));
done:;
}

/* The get__X and check__X readers differ only in the lookup and in what absence means. */
#define QK_VHASH_READERS(suffix, type_t, read)                                                    \
  void QK_vhash__get__##suffix(QK_context *ctx, const QK_vhash *pvh, const char *psz_key,         \
                               type_t *pResult) {                                                 \
    QK_variant *pv = NULL;                                                                        \
    QK_TRY(ctx, find_value(ctx, pvh, psz_key, &pv));                                              \
    QK_TRY(ctx, read(ctx, pv, pResult));                                                          \
  done:;                                                                                          \
  }                                                                                               \
  void QK_vhash__check__##suffix(QK_context *ctx, const QK_vhash *pvh, const char *psz_key,       \
                                 type_t *pResult) {                                               \
    QK_variant *pv = NULL;                                                                        \
    QK_TRY(ctx, check_value(ctx, pvh, psz_key, &pv));                                             \
    if (pv != NULL) QK_TRY(ctx, read(ctx, pv, pResult));                                          \
  done:;                                                                                          \
  }

QK_VHASH_READERS(bool, int, QK_variant__get__bool)
QK_VHASH_READERS(int64, QK_int64, QK_variant__get__int64)
QK_VHASH_READERS(int32, QK_int32, int32_of)

/* Pointer readers: check__X gives NULL for an absent key. */
#define QK_VHASH_POINTER_READERS(suffix, type_t, read)                                            \
  void QK_vhash__get__##suffix(QK_context *ctx, const QK_vhash *pvh, const char *psz_key,         \
                               type_t *ppResult) {                                                \
    QK_variant *pv = NULL;                                                                        \
    QK_TRY(ctx, find_value(ctx, pvh, psz_key, &pv));                                              \
    QK_TRY(ctx, read(ctx, pv, ppResult));                                                         \
  done:;                                                                                          \
  }                                                                                               \
  void QK_vhash__check__##suffix(QK_context *ctx, const QK_vhash *pvh, const char *psz_key,       \
                                 type_t *ppResult) {                                              \
    QK_variant *pv = NULL;                                                                        \
    QK_ARG_NOT_NULL(ctx, ppResult);                                                               \
    QK_TRY(ctx, check_value(ctx, pvh, psz_key, &pv));                                             \
    if (pv == NULL)                                                                               \
      *ppResult = NULL;                                                                           \
    else                                                                                          \
      QK_TRY(ctx, read(ctx, pv, ppResult));                                                       \
  done:;                                                                                          \
  }

QK_VHASH_POINTER_READERS(sz, const char *, QK_variant__get__sz)
QK_VHASH_POINTER_READERS(vhash, QK_vhash *, QK_variant__get__vhash)
QK_VHASH_POINTER_READERS(varray, QK_varray *, QK_variant__get__varray)

void QK_vhash__check__variant(QK_context *ctx, const QK_vhash *pvh, const char *psz_key,
                              QK_variant **ppResult) {
  QK_ARG_NOT_NULL(ctx, ppResult);
  QK_TRY(ctx, check_value(ctx, pvh, psz_key, ppResult));
done:;
}

void QK_vhash__has(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, int *pbResult) {
  QK_variant *pv = NULL;
  QK_ARG_NOT_NULL(ctx, pbResult);
  QK_TRY(ctx, check_value(ctx, pvh, psz_key, &pv));
  *pbResult = pv != NULL;
done:;
}

void QK_vhash__count(QK_context *ctx, const QK_vhash *pvh, QK_uint32 *piResult) {
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, piResult);
  *piResult = pvh->table.count;
done:;
}

void QK_vhash__get_nth_pair(QK_context *ctx, const QK_vhash *pvh, QK_uint32 index, const char **ppKey,
                            QK_variant **ppValue) {
  QK_ARG_NOT_NULL(ctx, pvh);
  if (index >= pvh->table.count) QK_THROW(ctx, QK_ERR_ARGUMENT_OUT_OF_RANGE);
  if (ppKey) *ppKey = pvh->table.items[index].key;
  if (ppValue) *ppValue = pvh->table.items[index].value;
done:;
}

void QK_vhash__get_nth_pair__sz(QK_context *ctx, const QK_vhash *pvh, QK_uint32 index,
                                const char **ppKey, const char **ppValue) {
  QK_variant *pv = NULL;
  const char *key = NULL;
  const char *value = NULL;
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pvh, index, &key, &pv));
  QK_TRY(ctx, QK_variant__get__sz(ctx, pv, &value));
  if (ppKey) *ppKey = key;
  if (ppValue) *ppValue = value;
done:;
}

void QK_vhash__get_nth_pair__vhash(QK_context *ctx, const QK_vhash *pvh, QK_uint32 index,
                                   const char **ppKey, QK_vhash **ppValue) {
  QK_variant *pv = NULL;
  const char *key = NULL;
  QK_vhash *value = NULL;
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pvh, index, &key, &pv));
  QK_TRY(ctx, QK_variant__get__vhash(ctx, pv, &value));
  if (ppKey) *ppKey = key;
  if (ppValue) *ppValue = value;
done:;
}

void QK_vhash__get_nth_pair__uint64(QK_context *ctx, const QK_vhash *pvh, QK_uint32 index,
                                    const char **ppKey, QK_uint64 *pValue) {
  QK_variant *pv = NULL;
  const char *key = NULL;
  QK_uint64 value = 0;
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pvh, index, &key, &pv));
  QK_TRY(ctx, QK_variant__get__uint64(ctx, pv, &value));
  if (ppKey) *ppKey = key;
  if (pValue) *pValue = value;
done:;
}

void QK_vhash__foreach(QK_context *ctx, QK_vhash *pvh, QK_vhash_foreach_callback cb, void *pData) {
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, cb);
  for (QK_uint32 i = 0; i < pvh->table.count; i++)
    QK_TRY(ctx, cb(ctx, pData, pvh, pvh->table.items[i].key, pvh->table.items[i].value));
done:;
}

void QK_vhash__remove_if_present(QK_context *ctx, QK_vhash *pvh, const char *psz_key, int *pbRemoved) {
  QK_keyitem *pItem;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  pItem = find_item(pvh, psz_key);
  if (pbRemoved) *pbRemoved = pItem != NULL;
  if (pItem == NULL) goto done;
  free_variant_content(ctx, pItem->value);
  QK_TRY(ctx, QK_keytable__remove_at(ctx, &pvh->table, (QK_uint32)(pItem - pvh->table.items)));
done:;
}

void QK_vhash__remove(QK_context *ctx, QK_vhash *pvh, const char *psz_key) {
  int bRemoved = 0;
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pvh, psz_key, &bRemoved));
  if (!bRemoved) QK_THROW_MSG(ctx, QK_ERR_VHASH_KEY_NOT_FOUND, psz_key);
done:;
}

void QK_vhash__equal(QK_context *ctx, const QK_vhash *pv1, const QK_vhash *pv2, int *pbEqual) {
  int bEqual = 1;
  QK_ARG_NOT_NULL(ctx, pv1);
  QK_ARG_NOT_NULL(ctx, pv2);
  QK_ARG_NOT_NULL(ctx, pbEqual);
  if (pv1 != pv2) {
    bEqual = pv1->table.count == pv2->table.count;
    for (QK_uint32 i = 0; bEqual && i < pv1->table.count; i++) {
      const QK_keyitem *pItem = &pv1->table.items[i];
      const QK_keyitem *pOther = QK_keytable__find(&pv2->table, pItem->key, pItem->hash);
      if (pOther == NULL)
        bEqual = 0;
      else
        QK_TRY(ctx, QK_variant__equal(ctx, pItem->value, pOther->value, &bEqual));
    }
  }
  *pbEqual = bEqual;
done:;
}

static void sort_nested(QK_context *ctx, void *pData, QK_vhash *, const char *, QK_variant *pv) {
  if (pv->type == QK_VARIANT_TYPE_VHASH)
    QK_TRY(ctx, QK_vhash__sort(ctx, pv->u.pvh, 1, *(QK_sort_compare_callback *)pData));
done:;
}

void QK_vhash__sort(QK_context *ctx, QK_vhash *pvh, int bRecursive, QK_sort_compare_callback pfnCompare) {
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_VALID(ctx, pfnCompare, (pfnCompare!=NULL));
  QK_TRY(ctx, QK_qsort(ctx, pvh->table.items, pvh->table.count, sizeof(QK_keyitem), pfnCompare, NULL));
  QK_TRY(ctx, QK_keytable__rebuild_chains(ctx, &pvh->table));
  /* Objects inside arrays keep their order: only member values are visited. */
  if (bRecursive) QK_TRY(ctx, QK_vhash__foreach(ctx, pvh, sort_nested, &pfnCompare));
done:;
}

int QK_vhash__compare_keys_ascending(QK_context *, const void *pA, const void *pB, void *) {
  int cmp = strcmp(((const QK_keyitem *)pA)->key, ((const QK_keyitem *)pB)->key);
  return cmp < 0 ? -1 : cmp > 0;
}

void QK_vhash__write_json(QK_context *ctx, const QK_vhash *pvh, QK_jsonwriter *pjson) {
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, pjson);
  QK_TRY(ctx, QK_jsonwriter__start_object(ctx, pjson));
  for (QK_uint32 i = 0; i < pvh->table.count; i++)
    QK_TRY(ctx, QK_jsonwriter__write_pair__variant(ctx, pjson, pvh->table.items[i].key,
                                                   pvh->table.items[i].value));
  QK_TRY(ctx, QK_jsonwriter__end_object(ctx, pjson));
done:;
}

static void to_json(QK_context *ctx, const QK_vhash *pvh, QK_string *pStr, int bPretty) {
  QK_jsonwriter *pjson = NULL;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, pStr);
  if (bPretty)
    QK_TRY(ctx, QK_jsonwriter__alloc__pretty(ctx, &pjson, pStr));
  else
    QK_TRY(ctx, QK_jsonwriter__alloc(ctx, &pjson, pStr));
  QK_TRY(ctx, QK_vhash__write_json(ctx, pvh, pjson));
done:
  QK_RELEASE(ctx, QK_jsonwriter__free(ctx, pjson));
}

void QK_vhash__to_json(QK_context *ctx, const QK_vhash *pvh, QK_string *pStr) {
  QK_TRY(ctx, to_json(ctx, pvh, pStr, 0));
done:;
}

void QK_vhash__to_json__pretty(QK_context *ctx, const QK_vhash *pvh, QK_string *pStr) {
  QK_TRY(ctx, to_json(ctx, pvh, pStr, 1));
done:;
}

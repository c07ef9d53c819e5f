/* Sets of 16-byte ids. A row id set of a big export holds hundreds of thousands of ids: one
 * flat table, probed linearly, with a tag per slot so that most probes never touch the ids. */
#include "qk/qk_idset.h"

#include <string.h>

#include "qk/qk_hex.h"
#include "qk/qk_keytable.h"
#include "qk/qk_malloc.h"

#define QK_IDSET_MIN_CAPACITY 16u
/* 2^30 slots: the tag and id arrays stay within what QK_alloc can size. */
#define QK_IDSET_MAX_CAPACITY 0x40000000u
#define QK_IDSET_USED 0x80000000u

static QK_uint32 tag_of(const QK_uint8 *pId) { return QK_keytable__hash(pId, 16) | QK_IDSET_USED; }

/* The slot holding the id, or the empty slot where it belongs; *pbFound says which. */
static QK_uint32 find_slot(const QK_idset *pSet, const QK_uint8 *pId, QK_uint32 tag, int *pbFound) {
  QK_uint32 mask = pSet->capacity - 1, i = tag & mask;
  for (;; i = (i + 1) & mask) {
    if (pSet->pTags[i] == 0) {
      *pbFound = 0;
      return i;
    }
    if (pSet->pTags[i] == tag && memcmp(pSet->pIds + (size_t)i * 16, pId, 16) == 0) {
      *pbFound = 1;
      return i;
    }
  }
}

static void alloc_slots(QK_context *ctx, QK_uint32 capacity, QK_uint32 **ppTags, QK_uint8 **ppIds) {
  *ppTags = NULL;
  *ppIds = NULL;
  QK_TRY(ctx, QK_alloc(ctx, capacity, sizeof(QK_uint32), ppTags));
  QK_TRY(ctx, QK_alloc(ctx, capacity, 16, ppIds));
  memset(*ppTags, 0, (size_t)capacity * sizeof(QK_uint32));
done:
  if (QK_context__has_error(ctx)) {
    QK_free(ctx, *ppTags);
    *ppTags = NULL;
  }
}

/* Twice the slots, every id placed anew. Unchanged on failure. */
static void grow(QK_context *ctx, QK_idset *pSet) {
  QK_uint32 *pTags = NULL, *pOldTags = pSet->pTags;
  QK_uint8 *pIds = NULL, *pOldIds = pSet->pIds;
  QK_uint32 oldCapacity = pSet->capacity;
  int bFound = 0;
  if (oldCapacity >= QK_IDSET_MAX_CAPACITY) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, alloc_slots(ctx, oldCapacity * 2, &pTags, &pIds));
  pSet->pTags = pTags;
  pSet->pIds = pIds;
  pSet->capacity = oldCapacity * 2;
  for (QK_uint32 i = 0; i < oldCapacity; i++) {
    if (pOldTags[i] == 0) continue;
    QK_uint32 slot = find_slot(pSet, pOldIds + (size_t)i * 16, pOldTags[i], &bFound);
    pSet->pTags[slot] = pOldTags[i];
    memcpy(pSet->pIds + (size_t)slot * 16, pOldIds + (size_t)i * 16, 16);
  }
  QK_free(ctx, pOldTags);
  QK_free(ctx, pOldIds);
done:;
}

void QK_idset__alloc(QK_context *ctx, QK_uint32 expected, QK_idset **ppNew) {
  QK_idset *pNew = NULL;
  QK_uint32 capacity = QK_IDSET_MIN_CAPACITY;
  QK_ARG_NOT_NULL(ctx, ppNew);
  *ppNew = NULL;
  while (capacity < QK_IDSET_MAX_CAPACITY && capacity / 2 < expected) capacity *= 2;
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_idset), &pNew));
  memset(pNew, 0, sizeof *pNew);
  QK_TRY(ctx, alloc_slots(ctx, capacity, &pNew->pTags, &pNew->pIds));
  pNew->capacity = capacity;
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_idset__free(ctx, pNew));
}

void QK_idset__free(QK_context *ctx, QK_idset *pSet) {
  if (pSet == NULL) return;
  QK_free(ctx, pSet->pTags);
  QK_free(ctx, pSet->pIds);
  QK_free(ctx, pSet);
}

void QK_idset__add_if_missing_report(QK_context *ctx, QK_idset *pSet, const QK_uint8 *pId, int *pbAlreadyPresent) {
  QK_uint32 tag = 0, slot = 0;
  int bFound = 0;
  QK_ARG_NOT_NULL(ctx, pSet);
  QK_ARG_NOT_NULL(ctx, pId);
  tag = tag_of(pId);
  slot = find_slot(pSet, pId, tag, &bFound);
  if (!bFound) {
    /* At most half full: probes stay short. */
    if ((QK_uint64)(pSet->count + 1) * 2 > pSet->capacity) {
      QK_TRY(ctx, grow(ctx, pSet));
      slot = find_slot(pSet, pId, tag, &bFound);
    }
    pSet->pTags[slot] = tag;
    memcpy(pSet->pIds + (size_t)slot * 16, pId, 16);
    pSet->count++;
  }
  if (pbAlreadyPresent != NULL) *pbAlreadyPresent = bFound;
done:;
}

void QK_idset__add(QK_context *ctx, QK_idset *pSet, const QK_uint8 *pId) {
  char szHex[33];
  int bPresent = 0;
  QK_TRY(ctx, QK_idset__add_if_missing_report(ctx, pSet, pId, &bPresent));
  if (bPresent) QK_THROW_MSG(ctx, QK_ERR_VHASH_DUPLICATE_KEY, QK_hex__encode_16(pId, szHex));
done:;
}

void QK_idset__has(QK_context *ctx, const QK_idset *pSet, const QK_uint8 *pId, int *pbResult) {
  QK_ARG_NOT_NULL(ctx, pSet);
  QK_ARG_NOT_NULL(ctx, pId);
  QK_ARG_NOT_NULL(ctx, pbResult);
  (void)find_slot(pSet, pId, tag_of(pId), pbResult);
done:;
}

void QK_idset__count(QK_context *ctx, const QK_idset *pSet, QK_uint32 *pCount) {
  QK_ARG_NOT_NULL(ctx, pSet);
  QK_ARG_NOT_NULL(ctx, pCount);
  *pCount = pSet->count;
done:;
}

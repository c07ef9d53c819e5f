/* Insertion-ordered hash index shared by the vhash and the nullhash. */
#include "qk/qk_keytable.h"

#include <string.h>

#include "qk/qk_malloc.h"
#include "qk/qk_varpool.h"

#define ROT(x, k) (((x) << (k)) | ((x) >> (32 - (k))))
#define MIX(a, b, c)            \
  do {                          \
    a -= c; a ^= ROT(c, 4);  c += b; \
    b -= a; b ^= ROT(a, 6);  a += c; \
    c -= b; c ^= ROT(b, 8);  b += a; \
    a -= c; a ^= ROT(c, 16); c += b; \
    b -= a; b ^= ROT(a, 19); a += c; \
    c -= b; c ^= ROT(b, 4);  b += a; \
  } while (0)
#define FINAL(a, b, c)          \
  do {                          \
    c ^= b; c -= ROT(b, 14);    \
    a ^= c; a -= ROT(c, 11);    \
    b ^= a; b -= ROT(a, 25);    \
    c ^= b; c -= ROT(b, 16);    \
    a ^= c; a -= ROT(c, 4);     \
    b ^= a; b -= ROT(a, 14);    \
    c ^= b; c -= ROT(b, 24);    \
  } while (0)

static inline QK_uint32 load_le32(const unsigned char *k) {
  return (QK_uint32)k[0] | (QK_uint32)k[1] << 8 | (QK_uint32)k[2] << 16 | (QK_uint32)k[3] << 24;
}

QK_uint32 QK_keytable__hash(const void *pKey, size_t len) {
  const unsigned char *k = (const unsigned char *)pKey;
  QK_uint32 a, b, c;
  a = b = c = 0xdeadbeefu + (QK_uint32)len;
  while (len > 12) {
    a += load_le32(k);
    b += load_le32(k + 4);
    c += load_le32(k + 8);
    MIX(a, b, c);
    len -= 12;
    k += 12;
  }
  switch (len) {
    case 12: c += (QK_uint32)k[11] << 24; [[fallthrough]];
    case 11: c += (QK_uint32)k[10] << 16; [[fallthrough]];
    case 10: c += (QK_uint32)k[9] << 8; [[fallthrough]];
    case 9: c += k[8]; [[fallthrough]];
    case 8: b += (QK_uint32)k[7] << 24; [[fallthrough]];
    case 7: b += (QK_uint32)k[6] << 16; [[fallthrough]];
    case 6: b += (QK_uint32)k[5] << 8; [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += (QK_uint32)k[3] << 24; [[fallthrough]];
    case 3: a += (QK_uint32)k[2] << 16; [[fallthrough]];
    case 2: a += (QK_uint32)k[1] << 8; [[fallthrough]];
    case 1: a += k[0]; break;
    case 0: return c;
  }
  FINAL(a, b, c);
  return c;
}

void QK_keytable__init_inline(QK_keytable *pTable, QK_varpool *pArena) {
  memset(pTable, 0, sizeof *pTable);
  pTable->capacity = QK_KEYTABLE_INLINE_CAPACITY;
  pTable->mask = QK_KEYTABLE_INLINE_CAPACITY - 1;
  pTable->item_slots = QK_KEYTABLE_INLINE_CAPACITY;
  pTable->items = pTable->inline_items;
  pTable->buckets = pTable->inline_buckets;
  pTable->pArena = pArena;
}

void QK_keytable__init(QK_context *ctx, QK_keytable *pTable, QK_uint32 capacity, QK_varpool *pArena) {
  void *pItems = NULL;
  void *pBuckets = NULL;
  QK_uint8 bItemsOnHeap = 0, bBucketsOnHeap = 0;
  QK_TRY(ctx, QK_varpool__alloc_array(ctx, pArena, capacity, sizeof(QK_keyitem), &pItems, &bItemsOnHeap));
  QK_TRY(ctx, QK_varpool__alloc_array(ctx, pArena, capacity, sizeof(QK_uint32), &pBuckets, &bBucketsOnHeap));
  memset(pTable, 0, sizeof *pTable);
  pTable->capacity = capacity;
  pTable->mask = capacity - 1;
  pTable->item_slots = capacity;
  pTable->items = (QK_keyitem *)pItems;
  pTable->buckets = (QK_uint32 *)pBuckets;
  pTable->pArena = pArena;
  pTable->bItemsOnHeap = bItemsOnHeap;
  pTable->bBucketsOnHeap = bBucketsOnHeap;
  pItems = NULL;
done:
  if (pItems != NULL) QK_varpool__free_array(ctx, pItems, bItemsOnHeap);
}

void QK_keytable__free_arrays(QK_context *ctx, QK_keytable *pTable) {
  QK_varpool__free_array(ctx, pTable->items, pTable->bItemsOnHeap);
  QK_varpool__free_array(ctx, pTable->buckets, pTable->bBucketsOnHeap);
  pTable->items = NULL;
  pTable->buckets = NULL;
  pTable->bItemsOnHeap = 0;
  pTable->bBucketsOnHeap = 0;
}

/* Unsigned byte order, as strcmp defines it. */
static inline int compare_keys(const char *a, const char *b) { return strcmp(a, b); }

QK_keyitem *QK_keytable__find(const QK_keytable *pTable, const char *key, QK_uint32 hash) {
  if (pTable->count == 0) return NULL;
  for (QK_uint32 i = pTable->buckets[hash & pTable->mask]; i != 0; i = pTable->items[i - 1].next) {
    QK_keyitem *p = &pTable->items[i - 1];
    int cmp = compare_keys(p->key, key);
    if (cmp == 0) return p;
    if (cmp > 0) break;
  }
  return NULL;
}

/* Links the item at index at its sorted place in its chain; 0 and 46 when an equal key is
 * there. */
static int link_item(QK_context *ctx, QK_keytable *pTable, QK_uint32 index) {
  QK_keyitem *pItem = &pTable->items[index];
  QK_uint32 *pLink = &pTable->buckets[pItem->hash & pTable->mask];
  for (; *pLink != 0; pLink = &pTable->items[*pLink - 1].next) {
    int cmp = compare_keys(pTable->items[*pLink - 1].key, pItem->key);
    if (cmp == 0) {
      QK_context__throw_msg(ctx, QK_ERR_VHASH_DUPLICATE_KEY, __FILE__, __LINE__, pItem->key);
      return 0;
    }
    if (cmp > 0) break;
  }
  pItem->next = *pLink;
  *pLink = index + 1;
  return 1;
}

void QK_keytable__rebuild_chains(QK_context *ctx, QK_keytable *pTable) {
  memset(pTable->buckets, 0, (size_t)pTable->capacity * sizeof(QK_uint32));
  for (QK_uint32 i = 0; i < pTable->count; i++) {
    pTable->items[i].next = 0;
    if (!link_item(ctx, pTable, i)) goto done;
  }
done:;
}

/* Four times the buckets; the chains are relinked. Unchanged on failure. */
static void grow_buckets(QK_context *ctx, QK_keytable *pTable) {
  void *pBuckets = NULL;
  QK_uint8 bOnHeap = 0;
  QK_uint64 capacity = (QK_uint64)pTable->capacity * 4;
  if (capacity > 0x40000000u) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_varpool__alloc_array(ctx, pTable->pArena, (QK_uint32)capacity, sizeof(QK_uint32), &pBuckets, &bOnHeap));
  QK_varpool__free_array(ctx, pTable->buckets, pTable->bBucketsOnHeap);
  pTable->buckets = (QK_uint32 *)pBuckets;
  pTable->bBucketsOnHeap = bOnHeap;
  pTable->capacity = (QK_uint32)capacity;
  pTable->mask = (QK_uint32)capacity - 1;
  QK_TRY(ctx, QK_keytable__rebuild_chains(ctx, pTable));
done:;
}

/* Twice the item slots (at most the capacity); the items are copied over. */
static void grow_items(QK_context *ctx, QK_keytable *pTable) {
  void *pItems = NULL;
  QK_uint8 bOnHeap = 0;
  QK_uint32 slots = pTable->item_slots * 2 < pTable->capacity ? pTable->item_slots * 2 : pTable->capacity;
  QK_TRY(ctx, QK_varpool__alloc_array(ctx, pTable->pArena, slots, sizeof(QK_keyitem), &pItems, &bOnHeap));
  memcpy(pItems, pTable->items, (size_t)pTable->count * sizeof(QK_keyitem));
  QK_varpool__free_array(ctx, pTable->items, pTable->bItemsOnHeap);
  pTable->items = (QK_keyitem *)pItems;
  pTable->bItemsOnHeap = bOnHeap;
  pTable->item_slots = slots;
done:;
}

void QK_keytable__make_room(QK_context *ctx, QK_keytable *pTable) {
  if ((QK_uint64)pTable->count + 1 > (QK_uint64)pTable->capacity * 3 / 4) QK_TRY(ctx, grow_buckets(ctx, pTable));
  if (pTable->count + 1 > pTable->item_slots) QK_TRY(ctx, grow_items(ctx, pTable));
done:;
}

void QK_keytable__append(QK_context *ctx, QK_keytable *pTable, const char *key, QK_uint32 hash,
                         struct QK_variant *value) {
  QK_keyitem *pItem = &pTable->items[pTable->count];
  pItem->key = key;
  pItem->hash = hash;
  pItem->value = value;
  pItem->next = 0;
  if (!link_item(ctx, pTable, pTable->count)) {
    memset(pItem, 0, sizeof *pItem);
    QK_CHECK(ctx);
  }
  pTable->count++;
done:;
}

void QK_keytable__remove_at(QK_context *ctx, QK_keytable *pTable, QK_uint32 index) {
  memmove(&pTable->items[index], &pTable->items[index + 1],
          (size_t)(pTable->count - index - 1) * sizeof(QK_keyitem));
  pTable->count--;
  memset(&pTable->items[pTable->count], 0, sizeof(QK_keyitem));
  QK_TRY(ctx, QK_keytable__rebuild_chains(ctx, pTable));
done:;
}

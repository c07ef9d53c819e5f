/* Insertion-ordered hash index shared by the vhash and the nullhash. */
#include "qk/qk_keytable.h"

#include <string.h>

#include "qk/qk_malloc.h"

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

void QK_keytable__init_inline(QK_keytable *pTable) {
  memset(pTable, 0, sizeof *pTable);
  pTable->capacity = QK_KEYTABLE_INLINE_CAPACITY;
  pTable->mask = QK_KEYTABLE_INLINE_CAPACITY - 1;
  pTable->items = pTable->inline_items;
  pTable->buckets = pTable->inline_buckets;
}

/* The item array and the bucket array of a capacity, in one zero-filled block. */
static void alloc_arrays(QK_context *ctx, QK_uint32 capacity, QK_keyitem **ppItems, QK_keyitem ***ppBuckets) {
  QK_keyitem *pBlock = NULL;
  QK_TRY(ctx, QK_alloc(ctx, capacity, sizeof(QK_keyitem) + sizeof(QK_keyitem *), &pBlock));
  *ppItems = pBlock;
  *ppBuckets = (QK_keyitem **)(pBlock + capacity);
done:;
}

void QK_keytable__init(QK_context *ctx, QK_keytable *pTable, QK_uint32 capacity) {
  QK_keyitem *pItems = NULL;
  QK_keyitem **pBuckets = NULL;
  QK_TRY(ctx, alloc_arrays(ctx, capacity, &pItems, &pBuckets));
  memset(pTable, 0, sizeof *pTable);
  pTable->capacity = capacity;
  pTable->mask = capacity - 1;
  pTable->items = pItems;
  pTable->buckets = pBuckets;
done:;
}

void QK_keytable__free_arrays(QK_context *ctx, QK_keytable *pTable) {
  if (pTable->items != pTable->inline_items) QK_RELEASE(ctx, QK_free(ctx, pTable->items));
  pTable->items = NULL;
  pTable->buckets = NULL;
}

/* Unsigned byte order, as strcmp defines it. */
static inline int compare_keys(const char *a, const char *b) { return strcmp(a, b); }

QK_keyitem *QK_keytable__find(const QK_keytable *pTable, const char *key, QK_uint32 hash) {
  if (pTable->count == 0) return NULL;
  for (QK_keyitem *p = pTable->buckets[hash & pTable->mask]; p != NULL; p = p->next) {
    int cmp = compare_keys(p->key, key);
    if (cmp == 0) return p;
    if (cmp > 0) break;
  }
  return NULL;
}

/* Links an item at its sorted place in its chain; 0 and 46 when an equal key is there. */
static int link_item(QK_context *ctx, QK_keytable *pTable, QK_keyitem *pItem) {
  QK_keyitem **pp = &pTable->buckets[pItem->hash & pTable->mask];
  for (; *pp != NULL; pp = &(*pp)->next) {
    int cmp = compare_keys((*pp)->key, pItem->key);
    if (cmp == 0) {
      QK_context__throw_msg(ctx, QK_ERR_VHASH_DUPLICATE_KEY, __FILE__, __LINE__, pItem->key);
      return 0;
    }
    if (cmp > 0) break;
  }
  pItem->next = *pp;
  *pp = pItem;
  return 1;
}

void QK_keytable__rebuild_chains(QK_context *ctx, QK_keytable *pTable) {
  memset(pTable->buckets, 0, (size_t)pTable->capacity * sizeof(QK_keyitem *));
  for (QK_uint32 i = 0; i < pTable->count; i++) {
    pTable->items[i].next = NULL;
    if (!link_item(ctx, pTable, &pTable->items[i])) goto done;
  }
done:;
}

void QK_keytable__make_room(QK_context *ctx, QK_keytable *pTable) {
  QK_keyitem *pItems = NULL;
  QK_keyitem **pBuckets = NULL;
  QK_uint64 capacity;
  if ((QK_uint64)pTable->count + 1 <= (QK_uint64)pTable->capacity * 3 / 4) goto done;
  capacity = (QK_uint64)pTable->capacity * 4;
  if (capacity > 0x40000000u) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, alloc_arrays(ctx, (QK_uint32)capacity, &pItems, &pBuckets));
  memcpy(pItems, pTable->items, (size_t)pTable->count * sizeof(QK_keyitem));
  QK_keytable__free_arrays(ctx, pTable);
  pTable->items = pItems;
  pTable->buckets = pBuckets;
  pTable->capacity = (QK_uint32)capacity;
  pTable->mask = (QK_uint32)capacity - 1;
  QK_TRY(ctx, QK_keytable__rebuild_chains(ctx, pTable));
done:;
}

void QK_keytable__append(QK_context *ctx, QK_keytable *pTable, const char *key, QK_uint32 hash,
                         struct QK_variant *value) {
  QK_keyitem *pItem = &pTable->items[pTable->count];
  pItem->key = key;
  pItem->hash = hash;
  pItem->value = value;
  pItem->next = NULL;
  if (!link_item(ctx, pTable, pItem)) {
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

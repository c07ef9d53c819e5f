/* The insertion-ordered hash index behind QK_vhash and QK_nullhash: one item array in
 * insertion order, reached through bucket chains sorted by key (unsigned byte order).
 * Capacity is a power of two, both the bucket and the item count; load stays <= 3/4. */
#ifndef QK_KEYTABLE_H
#define QK_KEYTABLE_H

#include <stddef.h>

#include "qk/qk_context.h"

struct QK_variant;

#define QK_KEYTABLE_INLINE_CAPACITY 8

struct QK_varpool;

typedef struct QK_keyitem {
  const char *key; /* first member: sort comparators receive pointers to items */
  struct QK_variant *value; /* NULL in a QK_nullhash */
  QK_uint32 hash;
  QK_uint32 next; /* 1 + index of the next item of the same chain, 0 at its end */
} QK_keyitem;

/* capacity is the bucket count that the load rule and the growth points follow. The item
 * array only needs count slots: it starts at 8 (inline) or at capacity (a guess) and doubles
 * as items come, so an object of 8 members grown to 32 buckets keeps its items inline.
 * Chains link by index, so moving the items never breaks them. */
typedef struct QK_keytable {
  QK_uint32 count;
  QK_uint32 capacity;
  QK_uint32 mask;
  QK_uint32 item_slots; /* length of the item array; slots from count on are zero */
  QK_keyitem *items;
  QK_uint32 *buckets; /* 1 + index of the first item of each chain, 0 when empty */
  /* The document's variant pool: arrays come from it when it serves blocks of their size,
   * else from the heap (then counted in its heap_blocks). NULL: always the heap. */
  struct QK_varpool *pArena;
  QK_uint8 bItemsOnHeap;
  QK_uint8 bBucketsOnHeap;
  QK_keyitem inline_items[QK_KEYTABLE_INLINE_CAPACITY];
  QK_uint32 inline_buckets[QK_KEYTABLE_INLINE_CAPACITY];
} QK_keytable;

/* The lookup3 hashlittle function over len bytes with initial value 0. */
QK_uint32 QK_keytable__hash(const void *pKey, size_t len);

/* A table of capacity 8 in the inline area: needs no allocation. */
void QK_keytable__init_inline(QK_keytable *pTable, struct QK_varpool *pArena);
/* A table with arrays of the given capacity (a power of two, at least 8). */
void QK_keytable__init(QK_context *ctx, QK_keytable *pTable, QK_uint32 capacity,
                       struct QK_varpool *pArena);
/* Frees the item and bucket arrays that live on the heap. */
void QK_keytable__free_arrays(QK_context *ctx, QK_keytable *pTable);

/* The item with this key (hash as QK_keytable__hash gives it), or NULL. */
QK_keyitem *QK_keytable__find(const QK_keytable *pTable, const char *key, QK_uint32 hash);
/* Grows (capacity x 4) when one more item would pass three quarters of the capacity, and
 * makes an item slot free for it. */
void QK_keytable__make_room(QK_context *ctx, QK_keytable *pTable);
/* Whether one more item fits without QK_keytable__make_room. */
inline int QK_keytable__has_room(const QK_keytable *pTable) {
  return (QK_uint64)pTable->count + 1 <= (QK_uint64)pTable->capacity * 3 / 4 && pTable->count < pTable->item_slots;
}
/* Fills the item at index count with a stored key and links it; an equal key raises 46 with
 * the key as message and count stays. Call QK_keytable__make_room first. */
void QK_keytable__append(QK_context *ctx, QK_keytable *pTable, const char *key, QK_uint32 hash,
                         struct QK_variant *value);
/* Clears every bucket and relinks every item in index order (after removal or sorting). */
void QK_keytable__rebuild_chains(QK_context *ctx, QK_keytable *pTable);
/* Removes the item at index (the later items move one place down) and rebuilds the chains. */
void QK_keytable__remove_at(QK_context *ctx, QK_keytable *pTable, QK_uint32 index);

#endif

/* QK_vhash: the JSON object of the document model, a map from UTF-8 keys to variants that
 * keeps insertion order. Keys and texts live in a string pool and values in a variant pool,
 * shared by every vhash and varray of one document; object and array values are owned by
 * the vhash that holds them. */
#ifndef QK_VHASH_H
#define QK_VHASH_H

#include "qk/qk_context.h"
#include "qk/qk_keytable.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_strpool.h"
#include "qk/qk_varpool.h"
#include "qk/qk_variant.h"

struct QK_varray;
struct QK_string;
struct QK_jsonwriter;

typedef struct QK_vhash {
  QK_keytable table; /* count, capacity, items in insertion order */
  QK_strpool *pStrpool;
  QK_varpool *pVarpool;
  int bOwnsStrpool;
  int bOwnsVarpool;
  int bRecordInPool; /* a child made inside the document: its record goes with the pools */
} QK_vhash;

typedef void (*QK_vhash_foreach_callback)(QK_context *ctx, void *pData, QK_vhash *pvh,
                                          const char *key, QK_variant *pv);

/* Construction. A guess of 0 gives 8 slots in the vhash itself; otherwise the capacity is 2 to
 * the bit length of the guess (at least 8; 65,536 when the bit length passes 18). NULL pools
 * are created and owned (chunks of guess x 200 bytes and guess slots, guess 8 when 0). */
void QK_vhash__alloc(QK_context *ctx, QK_vhash **ppNew);
void QK_vhash__alloc__params(QK_context *ctx, QK_vhash **ppNew, QK_uint32 guess,
                             QK_strpool *pStrpool, QK_varpool *pVarpool);
/* A deep copy with its own pools. */
void QK_vhash__alloc__copy(QK_context *ctx, QK_vhash **ppNew, const QK_vhash *pvhSource);
/* Parses a JSON text whose top level is an object (an array raises 248); the result owns
 * the pools of the whole tree. */
void QK_vhash__alloc__from_json(QK_context *ctx, QK_vhash **ppNew, const char *szJson);
/* Frees nested values, the arrays and the owned pools; NULL is accepted. */
void QK_vhash__free(QK_context *ctx, QK_vhash *pvh);
/* Makes the vhash the owner of the pools it uses. */
void QK_vhash__take_pools(QK_context *ctx, QK_vhash *pvh);

/* Adding a new key (46 with the key as message when present). */
void QK_vhash__add__null(QK_context *ctx, QK_vhash *pvh, const char *psz_key);
void QK_vhash__add__bool(QK_context *ctx, QK_vhash *pvh, const char *psz_key, int value);
void QK_vhash__add__int64(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_int64 value);
void QK_vhash__add__double(QK_context *ctx, QK_vhash *pvh, const char *psz_key, double value);
void QK_vhash__add__string(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const char *psz_value);
/* At most len bytes of the text (0: all of it), NUL-terminated. */
void QK_vhash__add__string__buflen(QK_context *ctx, QK_vhash *pvh, const char *psz_key,
                                   const char *psz_value, QK_uint32 len);
/* Exactly len bytes, which may hold NUL characters: the text keeps them all (its variant's
 * len), while readers of C strings see it up to its first NUL. */
void QK_vhash__add__text(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const char *pText, QK_uint32 len);
/* Take ownership of *ppvh_val / *ppva_val and set the caller's pointer to NULL; the child is
 * freed when the key already exists. */
void QK_vhash__add__vhash(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_vhash **ppvh_val);
void QK_vhash__add__varray(QK_context *ctx, QK_vhash *pvh, const char *psz_key,
                           struct QK_varray **ppva_val);
/* Deep copy of any variant into this document's pools. */
void QK_vhash__add__variant(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const QK_variant *pv);
/* New empty children sharing the pools, owned by pvh; the out pointers are optional for the
 * vhash form. */
void QK_vhash__addnew__vhash(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_vhash **ppChild);
void QK_vhash__addnew__varray(QK_context *ctx, QK_vhash *pvh, const char *psz_key,
                              struct QK_varray **ppChild);
void QK_vhash__addcopy__vhash(QK_context *ctx, QK_vhash *pvh, const char *psz_key,
                              const QK_vhash *pvhSource);
/* Adds a deep copy of every pair of the source, in order (46 stops it; earlier pairs stay). */
void QK_vhash__copy_items(QK_context *ctx, const QK_vhash *pvhFrom, QK_vhash *pvhTo);

/* Replace the value of a present key (keeping its position) or add the key. A NULL text sets
 * null. */
void QK_vhash__update__null(QK_context *ctx, QK_vhash *pvh, const char *psz_key);
void QK_vhash__update__bool(QK_context *ctx, QK_vhash *pvh, const char *psz_key, int value);
void QK_vhash__update__int64(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_int64 value);
void QK_vhash__update__string(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const char *psz_value);
/* The child under the key, created empty when absent; 48 when the key holds another type. */
void QK_vhash__ensure__vhash(QK_context *ctx, QK_vhash *pvh, const char *psz_key, QK_vhash **ppChild);
void QK_vhash__ensure__varray(QK_context *ctx, QK_vhash *pvh, const char *psz_key,
                              struct QK_varray **ppChild);

/* Reading by key: 47 (key as message) when absent, 48 on a wrong type; int64 also takes a
 * text of a whole decimal number; int32 raises 104 when the value does not fit. */
void QK_vhash__get__bool(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, int *pResult);
void QK_vhash__get__int64(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_int64 *pResult);
void QK_vhash__get__int32(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_int32 *pResult);
void QK_vhash__get__sz(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, const char **ppResult);
void QK_vhash__get__variant(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_variant **ppResult);
void QK_vhash__get__vhash(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_vhash **ppResult);
void QK_vhash__get__varray(QK_context *ctx, const QK_vhash *pvh, const char *psz_key,
                           struct QK_varray **ppResult);
/* As get, but an absent key is no error: the value forms leave *pResult as preset, the
 * pointer forms give NULL. */
void QK_vhash__check__bool(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, int *pResult);
void QK_vhash__check__int64(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_int64 *pResult);
void QK_vhash__check__int32(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_int32 *pResult);
void QK_vhash__check__sz(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, const char **ppResult);
void QK_vhash__check__variant(QK_context *ctx, const QK_vhash *pvh, const char *psz_key,
                              QK_variant **ppResult);
void QK_vhash__check__vhash(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, QK_vhash **ppResult);
void QK_vhash__check__varray(QK_context *ctx, const QK_vhash *pvh, const char *psz_key,
                             struct QK_varray **ppResult);
void QK_vhash__has(QK_context *ctx, const QK_vhash *pvh, const char *psz_key, int *pbResult);
void QK_vhash__count(QK_context *ctx, const QK_vhash *pvh, QK_uint32 *piResult);

/* Reading by position in insertion order (55 when index >= count); out pointers optional. */
void QK_vhash__get_nth_pair(QK_context *ctx, const QK_vhash *pvh, QK_uint32 index,
                            const char **ppKey, QK_variant **ppValue);
void QK_vhash__get_nth_pair__sz(QK_context *ctx, const QK_vhash *pvh, QK_uint32 index,
                                const char **ppKey, const char **ppValue);
void QK_vhash__get_nth_pair__vhash(QK_context *ctx, const QK_vhash *pvh, QK_uint32 index,
                                   const char **ppKey, QK_vhash **ppValue);
void QK_vhash__get_nth_pair__uint64(QK_context *ctx, const QK_vhash *pvh, QK_uint32 index,
                                    const char **ppKey, QK_uint64 *pValue);
/* Calls cb for every pair in order; stops at the first error it leaves in the context. */
void QK_vhash__foreach(QK_context *ctx, QK_vhash *pvh, QK_vhash_foreach_callback cb, void *pData);

/* Removal: 47 when absent / no error and *pbRemoved = 0. Nested values are freed. */
void QK_vhash__remove(QK_context *ctx, QK_vhash *pvh, const char *psz_key);
void QK_vhash__remove_if_present(QK_context *ctx, QK_vhash *pvh, const char *psz_key, int *pbRemoved);

/* Same keys with equal values; the order of pairs does not matter. */
void QK_vhash__equal(QK_context *ctx, const QK_vhash *pv1, const QK_vhash *pv2, int *pbEqual);
/* Reorders the pairs by the comparator (it receives pointers to items whose first member is
 * the key pointer); with bRecursive every nested vhash value too, but not those in arrays. */
void QK_vhash__sort(QK_context *ctx, QK_vhash *pvh, int bRecursive, QK_sort_compare_callback pfnCompare);
/* Canonical key order for QK_vhash__sort: unsigned bytes, -1, 0 or 1. */
int QK_vhash__compare_keys_ascending(QK_context *ctx, const void *pA, const void *pB, void *pContext);

/* JSON output through a writer, or appended to a string in compact or pretty form. */
void QK_vhash__write_json(QK_context *ctx, const QK_vhash *pvh, struct QK_jsonwriter *pjson);
void QK_vhash__to_json(QK_context *ctx, const QK_vhash *pvh, struct QK_string *pStr);
void QK_vhash__to_json__pretty(QK_context *ctx, const QK_vhash *pvh, struct QK_string *pStr);

/* Used by the JSON reader. A new empty child sharing the pools (record from the variant pool
 * when it serves one), to be stored in a slot of the same document. */
void QK_vhash__alloc__child(QK_context *ctx, QK_vhash **ppNew, QK_strpool *pStrpool, QK_varpool *pVarpool);
/* Adds a key already stored in this document's string pool (hash by QK_keytable__hash) with a
 * fresh value slot that the caller fills in. */
void QK_vhash__add_slot__stored_key(QK_context *ctx, QK_vhash *pvh, const char *key, QK_uint32 hash,
                                    QK_variant **ppSlot);

#endif

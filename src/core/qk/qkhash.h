/* Message digests as lowercase hexadecimal text, through a table of hash algorithms that
 * holds one entry, SHA-1 ("SHA1/160"). These functions take no error context: they return
 * their error value (2 for missing handles or result buffers, 5 for memory). */
#ifndef QKHASH_H
#define QKHASH_H

#include "qk/qk_types.h"

typedef struct QK_sha1_ctx {
  QK_uint32 h[5];         /* chaining values h0..h4 */
  QK_uint64 bitCount;     /* message length so far, in bits */
  QK_uint8 block[64];     /* the block being filled */
  QK_uint8 blockUsed;     /* bytes in block */
} QK_sha1_ctx;

typedef struct QK_hash_algorithm {
  const char *name;
  QK_uint32 contextSize;
  QK_uint32 strlen_Hash; /* length of the hexadecimal result */
  void (*init)(void *pContext);
  void (*update)(void *pContext, const void *p, QK_uint32 len);
  void (*final)(void *pContext, char *pBufResult);
} QK_hash_algorithm;

/* One block: the table entry, then the algorithm's context. */
typedef struct QK_hash {
  const QK_hash_algorithm *pVTable;
} QK_hash;

/* SHA-1 text: 40 digits and a NUL. */
#define QK_SHA1_SZ_SIZE 41

/* A new SHA-1 handle. */
QK_error QK_hash__begin(QK_hash **ppHandle);
/* Feeds len bytes, any amount in one call. */
QK_error QK_hash__add_bytes(QK_hash *pHandle, const void *p, QK_uint64 len);
/* Writes the digest text (needs strlen_Hash + 1 bytes, else 2 with nothing written) and
 * frees the handle in every case but a NULL one; *ppHandle becomes NULL at once. */
QK_error QK_hash__end(QK_hash **ppHandle, char *pBufResult, QK_uint32 lenBuf);
/* Frees a handle without a result; NULL and *NULL are accepted. */
void QK_hash__abort(QK_hash **ppHandle);

/* The SHA-1 operations of the table entry (pContext is a QK_sha1_ctx). */
void QK_sha1__init(void *pContext);
void QK_sha1__update(void *pContext, const void *p, QK_uint32 len);
void QK_sha1__final_hex(void *pContext, char *pBufResult);

#endif

/* QK_strpool: a chunked arena for the keys and texts of a document. Blocks are never moved
 * or freed on their own; the whole pool goes at once. The chunk record is shared with the
 * variant pool. */
#ifndef QK_STRPOOL_H
#define QK_STRPOOL_H

#include <stddef.h>

#include "qk/qk_context.h"

/* One chunk of either pool, newest first; size and used count bytes or variant slots. */
typedef struct QK_pool_chunk {
  QK_uint32 used;
  QK_uint32 size;
  void *data; /* zero-filled at creation */
  struct QK_pool_chunk *next;
} QK_pool_chunk;

typedef struct QK_strpool {
  QK_uint32 chunk_size;   /* bytes of a regular chunk */
  QK_pool_chunk *chunks;  /* allocations come from the first */
} QK_strpool;

/* New pool with one empty chunk of chunk_size bytes. */
void QK_strpool__alloc(QK_context *ctx, QK_strpool **ppNew, QK_uint32 chunk_size);
/* Frees every chunk and the pool; NULL is accepted. */
void QK_strpool__free(QK_context *ctx, QK_strpool *pPool);

/* Copies the text with its NUL; *ppsz points into the pool. */
void QK_strpool__add__sz(QK_context *ctx, QK_strpool *pPool, const char *sz, char **ppsz);
/* Copies at most len bytes (0: the whole text; a NUL ends it earlier) and adds a NUL. */
void QK_strpool__add__sz_len(QK_context *ctx, QK_strpool *pPool, const char *sz, QK_uint32 len,
                             char **ppsz);
/* Copies exactly len bytes, which may hold NULs, and adds a NUL. */
void QK_strpool__add__text(QK_context *ctx, QK_strpool *pPool, const char *p, QK_uint32 len, char **ppsz);
/* Reserves len bytes (rounded up to a multiple of 4) and copies pBytes when not NULL;
 * adds no NUL of its own. */
void QK_strpool__add__buflen(QK_context *ctx, QK_strpool *pPool, const void *pBytes, QK_uint32 len,
                             void **ppBlock);
/* The reservation step behind the adds: len bytes rounded up to a multiple of 4, zero-filled. */
void QK_strpool__alloc_space(QK_context *ctx, QK_strpool *pPool, QK_uint32 len, void **ppBlock);
/* A zero-filled chunk of size bytes linked before pNext. */
void QK_strpool__new_chunk(QK_context *ctx, QK_uint32 size, QK_pool_chunk *pNext,
                           QK_pool_chunk **ppChunk);

/* Asks for huge pages behind a large chunk (a parsed text's pools): touching it then costs a
 * fault per 2 MiB instead of per 4 KiB. A hint only; nothing changes where it is not taken. */
void QK_pool__advise_large_chunk(void *pData, size_t bytes);

/* Frees a chain of chunks of either pool, newest to oldest; NULL is accepted. */
void QK_pool__free_chunks(QK_context *ctx, QK_pool_chunk *pFirst);

#endif

/* Three-way diff of token sequences: the base (common ancestor), the modified and the latest
 * version are compared and described as hunks. The engine knows nothing of text: tokens come
 * from a datasource table and hunks are rendered through an output table. */
#ifndef QK_FILEDIFF_H
#define QK_FILEDIFF_H

#include "qk/qk_context.h"

#define QK_DIFF_SOURCE_BASE 0
#define QK_DIFF_SOURCE_MODIFIED 1
#define QK_DIFF_SOURCE_LATEST 2

/* Where the caller's tokens come from. compare must be a consistent total order: tokens are
 * interned in an ordered tree by it, and 0 means equal. */
typedef struct QK_diff_datasource_ops {
  void (*open)(QK_context *ctx, void *baton, int source);
  void (*close)(QK_context *ctx, void *baton, int source);
  /* The next token of the source, NULL at its end. */
  void (*next_token)(QK_context *ctx, void *baton, int source, void **ppToken);
  int (*compare)(void *baton, const void *a, const void *b);
  /* Optional: the token equals one already seen and is represented by it from now on. */
  void (*on_duplicate)(void *baton, void *token);
  /* Optional: called once after all three sources were read. */
  void (*finished)(void *baton);
} QK_diff_datasource_ops;

typedef enum QK_diff_hunk_kind {
  QK_DIFF_HUNK_COMMON = 0,
  QK_DIFF_HUNK_MODIFIED = 1,
  QK_DIFF_HUNK_LATEST = 2,
  QK_DIFF_HUNK_BOTH = 3, /* changed identically in both */
  QK_DIFF_HUNK_CONFLICT = 4,
} QK_diff_hunk_kind;

/* Starts are 1-based token offsets, lengths token counts; the hunks of a list cover all three
 * sequences in order without gaps. */
typedef struct QK_diff_hunk {
  struct QK_diff_hunk *next;
  QK_diff_hunk_kind kind;
  QK_uint32 base_start, modified_start, latest_start;
  QK_uint32 base_length, modified_length, latest_length;
} QK_diff_hunk;

typedef void (*QK_diff_output_fn)(QK_context *ctx, void *baton, QK_uint32 base_start,
                                  QK_uint32 base_length, QK_uint32 modified_start,
                                  QK_uint32 modified_length, QK_uint32 latest_start,
                                  QK_uint32 latest_length);

/* One operation per hunk kind, in kind order; a NULL entry skips hunks of its kind. */
typedef struct QK_diff_output_ops {
  QK_diff_output_fn common;
  QK_diff_output_fn modified;
  QK_diff_output_fn latest;
  QK_diff_output_fn both;
  QK_diff_output_fn conflict;
} QK_diff_output_ops;

/* Reads the three sources and hands the hunk list to *ppDiff (the caller frees it with
 * QK_filediff__free_hunks); on failure *ppDiff is untouched. */
void QK_filediff__diff3(QK_context *ctx, const QK_diff_datasource_ops *pVtable, void *pDataSource,
                        QK_diff_hunk **ppDiff);
/* Calls the operation of each hunk's kind in order; stops at the first error. */
void QK_filediff__output(QK_context *ctx, const QK_diff_output_ops *pVtable, void *pOutput,
                         const QK_diff_hunk *pList);
/* 1 when the list holds a conflict hunk. */
int QK_filediff__has_conflicts(const QK_diff_hunk *pList);
/* Frees the list; NULL is accepted. */
void QK_filediff__free_hunks(QK_context *ctx, QK_diff_hunk *pList);

#endif

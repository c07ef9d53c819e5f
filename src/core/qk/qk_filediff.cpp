/* Three-way diff: tokens of the three sources are interned in an ordered tree so that equal
 * tokens become one node, base-modified and base-latest are compared with the O(NP)
 * longest-common-subsequence algorithm, and the two run lists are merged into hunks. */
#include "qk/qk_filediff.h"

#include <string.h>

#include "qk/qk_malloc.h"

/* ---- Working allocations: one list of chunks per diff, freed together ----------------- */

#define QK_FILEDIFF_CHUNK_SIZE 65536u

typedef struct QK_filediff_chunk {
  struct QK_filediff_chunk *next;
} QK_filediff_chunk;

typedef struct QK_filediff_mempool {
  QK_filediff_chunk *chunks;
  char *free_start;
  QK_uint32 free_length;
} QK_filediff_mempool;

/* Zero-filled block of size bytes that lives until the pool is freed. */
static void QK_filediff__pool_alloc(QK_context *ctx, QK_filediff_mempool *pMempool, QK_uint32 size,
                                    void **ppNew) {
  QK_filediff_chunk *pChunk = NULL;
  size = (size + 7u) & ~7u;
  if (size > pMempool->free_length) {
    QK_uint32 body = size > QK_FILEDIFF_CHUNK_SIZE ? size : QK_FILEDIFF_CHUNK_SIZE;
    QK_TRY(ctx, QK_alloc(ctx, 1, (QK_uint32)sizeof(QK_filediff_chunk) + body, &pChunk));
    pChunk->next = pMempool->chunks;
    pMempool->chunks = pChunk;
    pMempool->free_start = (char *)(pChunk + 1);
    pMempool->free_length = body;
  }
  *ppNew = pMempool->free_start;
  pMempool->free_start += size;
  pMempool->free_length -= size;
done:;
}

static void QK_filediff__pool_free(QK_context *ctx, QK_filediff_mempool *pMempool) {
  while (pMempool->chunks) {
    QK_filediff_chunk *pNext = pMempool->chunks->next;
    QK_free(ctx, pMempool->chunks);
    pMempool->chunks = pNext;
  }
  pMempool->free_start = NULL;
  pMempool->free_length = 0;
}

/* ---- Token tree ------------------------------------------------------------------------
 * A height-balanced (AVL) search tree: client texts may arrive sorted or crafted, and an
 * unbalanced tree would make interning quadratic and its depth as large as the line count.
 * Insertion walks down and rebalances back up along a recorded path, never recursing. */

#define QK_FILEDIFF_TREE_MAX_DEPTH 64 /* an AVL tree of 2^32 nodes is at most 46 deep */

typedef struct QK_filediff_node {
  void *token;
  struct QK_filediff_node *child[2];
  int height;
} QK_filediff_node;

typedef struct QK_filediff_tree {
  QK_filediff_node *root;
  QK_filediff_mempool *pool;
} QK_filediff_tree;

static int node_height(const QK_filediff_node *n) { return n ? n->height : 0; }

static void node_update_height(QK_filediff_node *n) {
  int l = node_height(n->child[0]), r = node_height(n->child[1]);
  n->height = 1 + (l > r ? l : r);
}

/* Lifts the child on side `side` above n and returns it. */
static QK_filediff_node *node_rotate(QK_filediff_node *n, int side) {
  QK_filediff_node *up = n->child[side];
  n->child[side] = up->child[!side];
  up->child[!side] = n;
  node_update_height(n);
  node_update_height(up);
  return up;
}

static QK_filediff_node *node_rebalance(QK_filediff_node *n) {
  int balance = node_height(n->child[0]) - node_height(n->child[1]);
  node_update_height(n);
  if (balance > 1 || balance < -1) {
    int heavy = balance > 1 ? 0 : 1;
    QK_filediff_node *c = n->child[heavy];
    if (node_height(c->child[!heavy]) > node_height(c->child[heavy]))
      n->child[heavy] = node_rotate(c, !heavy);
    return node_rotate(n, heavy);
  }
  return n;
}

/* Finds the node of a token equal to pToken or adds one; *ppResult is that node. */
static void QK_filediff__tree_insert_token(QK_context *ctx, QK_filediff_tree *pTree,
                                           const QK_diff_datasource_ops *pVtable, void *pBaton,
                                           void *pToken, QK_filediff_node **ppResult) {
  QK_filediff_node **path[QK_FILEDIFF_TREE_MAX_DEPTH];
  int depth = 0;
  QK_filediff_node **link;
  QK_filediff_node *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, pTree);
  QK_ARG_NOT_NULL(ctx, pVtable);
  QK_ARG_NOT_NULL(ctx, ppResult);
  link = &pTree->root;
  while (*link) {
    int cmp = pVtable->compare(pBaton, (*link)->token, pToken);
    if (cmp == 0) {
      if (pVtable->on_duplicate) pVtable->on_duplicate(pBaton, pToken);
      *ppResult = *link;
      goto done;
    }
    QK_VERIFY(ctx, depth < QK_FILEDIFF_TREE_MAX_DEPTH);
    path[depth++] = link;
    link = &(*link)->child[cmp > 0 ? 0 : 1];
  }
  QK_TRY(ctx, QK_filediff__pool_alloc(ctx, pTree->pool, sizeof(QK_filediff_node), (void **)&pNew));
  pNew->token = pToken;
  pNew->height = 1;
  *link = pNew;
  while (depth > 0) {
    link = path[--depth];
    *link = node_rebalance(*link);
  }
  *ppResult = pNew;
done:;
}

/* ---- Token sequences: one interned node per token, in source order -------------------- */

typedef struct QK_filediff_sequence {
  const QK_filediff_node **nodes;
  QK_uint32 length;
  QK_uint32 capacity;
} QK_filediff_sequence;

static void sequence_append(QK_context *ctx, QK_filediff_sequence *pSeq, const QK_filediff_node *pNode) {
  const QK_filediff_node **pGrown = NULL;
  if (pSeq->length == pSeq->capacity) {
    QK_uint32 capacity = pSeq->capacity ? pSeq->capacity * 2 : 256;
    if (capacity <= pSeq->capacity) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
    QK_TRY(ctx, QK_alloc(ctx, capacity, (QK_uint32)sizeof(*pGrown), &pGrown));
    if (pSeq->length) memcpy(pGrown, pSeq->nodes, (size_t)pSeq->length * sizeof(*pGrown));
    QK_free(ctx, pSeq->nodes);
    pSeq->nodes = pGrown;
    pSeq->capacity = capacity;
  }
  pSeq->nodes[pSeq->length++] = pNode;
done:;
}

/* Reads one source to its end, interning every token. */
static void QK_filediff__tokenize_source(QK_context *ctx, const QK_diff_datasource_ops *pVtable,
                                         void *pBaton, int source, QK_filediff_tree *pTree,
                                         QK_filediff_sequence *ppPositionList) {
  int bOpen = 0;
  QK_ARG_NOT_NULL(ctx, ppPositionList);
  QK_TRY(ctx, pVtable->open(ctx, pBaton, source));
  bOpen = 1;
  for (;;) {
    void *pToken = NULL;
    QK_filediff_node *pNode = NULL;
    QK_TRY(ctx, pVtable->next_token(ctx, pBaton, source, &pToken));
    if (pToken == NULL) break;
    QK_TRY(ctx, QK_filediff__tree_insert_token(ctx, pTree, pVtable, pBaton, pToken, &pNode));
    QK_TRY(ctx, sequence_append(ctx, ppPositionList, pNode));
  }
  bOpen = 0;
  QK_TRY(ctx, pVtable->close(ctx, pBaton, source));
done:
  if (bOpen) QK_RELEASE(ctx, pVtable->close(ctx, pBaton, source));
}

/* ---- Two-way comparison --------------------------------------------------------------- */

/* A run of tokens common to sequences A and B (0-based starts). A list ends with a node of
 * length 0 whose starts are the lengths of A and B. */
typedef struct QK_filediff_run {
  struct QK_filediff_run *next;
  QK_uint32 start_a, start_b, length;
} QK_filediff_run;

static void QK_filediff__alloc_snake(QK_context *ctx, QK_filediff_mempool *pMempool,
                                     QK_filediff_run **ppNew) {
  QK_ARG_NOT_NULL(ctx, pMempool);
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_filediff__pool_alloc(ctx, pMempool, sizeof(QK_filediff_run), (void **)ppNew));
done:;
}

/* Furthest point on one diagonal: y tokens of Y consumed, and the runs that led there,
 * newest first (chains share their tails). */
typedef struct QK_filediff_fp {
  QK_int64 y;
  QK_filediff_run *chain;
} QK_filediff_fp;

typedef struct QK_filediff_lcs {
  const QK_filediff_sequence *x, *y; /* x is the shorter one */
  int bSwapped;                      /* x is B */
  QK_filediff_fp *fp;                /* indexed by diagonal k = y - x */
  QK_filediff_mempool *pool;
} QK_filediff_lcs;

static void QK_filediff__lcs_snake(QK_context *ctx, QK_filediff_lcs *pLcs, QK_int64 k) {
  QK_filediff_fp *fp = pLcs->fp;
  QK_int64 y, x, x0;
  QK_filediff_run *pChain;
  QK_ARG_NOT_NULL(ctx, fp);
  if (fp[k - 1].y + 1 > fp[k + 1].y) {
    y = fp[k - 1].y + 1;
    pChain = fp[k - 1].chain;
  } else {
    y = fp[k + 1].y;
    pChain = fp[k + 1].chain;
  }
  x = x0 = y - k;
  while (x < pLcs->x->length && y < pLcs->y->length && pLcs->x->nodes[x] == pLcs->y->nodes[y]) {
    x++;
    y++;
  }
  if (x > x0) {
    QK_filediff_run *pRun = NULL;
    QK_uint32 startX = (QK_uint32)x0, startY = (QK_uint32)(x0 + k);
    QK_TRY(ctx, QK_filediff__alloc_snake(ctx, pLcs->pool, &pRun));
    pRun->start_a = pLcs->bSwapped ? startY : startX;
    pRun->start_b = pLcs->bSwapped ? startX : startY;
    pRun->length = (QK_uint32)(x - x0);
    pRun->next = pChain;
    pChain = pRun;
  }
  fp[k].y = y;
  fp[k].chain = pChain;
done:;
}

/* Slides a common run across an insertion or deletion that repeats its tokens, so that it
 * joins the run after it; repeated until nothing moves. */
static void QK_filediff__normalize_lcs(const QK_filediff_sequence *pA, const QK_filediff_sequence *pB,
                                       QK_filediff_run *pList) {
  int bChanged = 1;
  while (bChanged) {
    bChanged = 0;
    QK_filediff_run *p = pList;
    while (p->length && p->next->length) {
      QK_filediff_run *q = p->next;
      QK_uint32 gapA = q->start_a - (p->start_a + p->length);
      QK_uint32 gapB = q->start_b - (p->start_b + p->length);
      if ((gapA == 0) != (gapB == 0)) {
        const QK_filediff_sequence *pSeq = gapA ? pA : pB;
        QK_uint32 *pStart = gapA ? &p->start_a : &p->start_b;
        QK_uint32 moved = (gapA ? q->start_a : q->start_b) - p->length;
        if (memcmp(&pSeq->nodes[moved], &pSeq->nodes[*pStart], (size_t)p->length * sizeof(*pSeq->nodes)) == 0) {
          *pStart = moved;
          p->length += q->length;
          p->next = q->next;
          bChanged = 1;
          continue;
        }
      }
      p = q;
    }
  }
}

/* The common runs of A and B in increasing order, ended by the end node. */
static void QK_filediff__diff2(QK_context *ctx, QK_filediff_mempool *pMempool, const QK_filediff_sequence *pA,
                               const QK_filediff_sequence *pB, QK_filediff_run **ppResult) {
  QK_filediff_lcs lcs = {};
  QK_filediff_fp *pFpAlloc = NULL;
  QK_filediff_run *pEnd = NULL, *pList, *pRun;
  QK_ARG_NOT_NULL(ctx, ppResult);
  QK_TRY(ctx, QK_filediff__alloc_snake(ctx, pMempool, &pEnd));
  pEnd->start_a = pA->length;
  pEnd->start_b = pB->length;
  pList = pEnd;
  if (pA->length && pB->length) {
    QK_int64 m, n, d, p, k;
    QK_uint64 diagonals;
    lcs.bSwapped = pA->length > pB->length;
    lcs.x = lcs.bSwapped ? pB : pA;
    lcs.y = lcs.bSwapped ? pA : pB;
    lcs.pool = pMempool;
    m = lcs.x->length;
    n = lcs.y->length;
    d = n - m;
    /* Diagonals -(M + 1) to N + 1. */
    diagonals = (QK_uint64)m + (QK_uint64)n + 3;
    if (diagonals > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
    QK_TRY(ctx, QK_alloc(ctx, (QK_uint32)diagonals, (QK_uint32)sizeof(QK_filediff_fp), &pFpAlloc));
    for (QK_uint64 i = 0; i < diagonals; i++) pFpAlloc[i].y = -1;
    lcs.fp = pFpAlloc + m + 1;
    for (p = 0;; p++) {
      for (k = -p; k < d; k++) QK_TRY(ctx, QK_filediff__lcs_snake(ctx, &lcs, k));
      for (k = d + p; k > d; k--) QK_TRY(ctx, QK_filediff__lcs_snake(ctx, &lcs, k));
      QK_TRY(ctx, QK_filediff__lcs_snake(ctx, &lcs, d));
      if (lcs.fp[d].y == n) break;
    }
    for (pRun = lcs.fp[d].chain; pRun;) {
      QK_filediff_run *pNext = pRun->next;
      pRun->next = pList;
      pList = pRun;
      pRun = pNext;
    }
    QK_filediff__normalize_lcs(pA, pB, pList);
  }
  *ppResult = pList;
done:
  QK_free(ctx, pFpAlloc);
}

/* ---- Merging the two run lists into hunks -------------------------------------------- */

/* The part of a common run not yet passed by the cursors. */
typedef struct QK_filediff_run_cursor {
  const QK_filediff_run *run;
  QK_uint32 a, b, length;
} QK_filediff_run_cursor;

static void run_cursor_set(QK_filediff_run_cursor *pCursor, const QK_filediff_run *pRun) {
  pCursor->run = pRun;
  pCursor->a = pRun->start_a;
  pCursor->b = pRun->start_b;
  pCursor->length = pRun->length;
}

static int run_cursor_at_end(const QK_filediff_run_cursor *pCursor) { return pCursor->run->next == NULL; }

static void run_cursor_advance(QK_filediff_run_cursor *pCursor, QK_uint32 n) {
  pCursor->a += n;
  pCursor->b += n;
  pCursor->length -= n;
  if (pCursor->length == 0 && pCursor->run->next) run_cursor_set(pCursor, pCursor->run->next);
}

static void append_hunk(QK_context *ctx, QK_diff_hunk ***pppTail, QK_diff_hunk_kind kind, QK_uint32 o,
                        QK_uint32 m, QK_uint32 l, QK_uint32 oLen, QK_uint32 mLen, QK_uint32 lLen) {
  QK_diff_hunk *pHunk = NULL;
  QK_TRY(ctx, QK_alloc(ctx, 1, (QK_uint32)sizeof(QK_diff_hunk), &pHunk));
  pHunk->kind = kind;
  pHunk->base_start = o + 1;
  pHunk->modified_start = m + 1;
  pHunk->latest_start = l + 1;
  pHunk->base_length = oLen;
  pHunk->modified_length = mLen;
  pHunk->latest_length = lLen;
  **pppTail = pHunk;
  *pppTail = &pHunk->next;
done:;
}

static QK_uint32 min_u32(QK_uint32 a, QK_uint32 b) { return a < b ? a : b; }

/* Moves the base cursor and one side's cursor together through that side's current common
 * run, stopping at baseLimit or the run's end; returns the count moved. */
static QK_uint32 pass_common_run(QK_uint32 *pO, QK_uint32 *pSide, QK_filediff_run_cursor *pRun,
                                 QK_uint32 baseLimit) {
  QK_uint32 n = *pO < baseLimit ? min_u32(baseLimit - *pO, pRun->length) : 0;
  if (n) {
    *pO += n;
    *pSide += n;
    run_cursor_advance(pRun, n);
  }
  return n;
}

static void QK_filediff__merge_diff3(QK_context *ctx, const QK_filediff_sequence *pModified,
                                     const QK_filediff_sequence *pLatest, const QK_filediff_run *pOM,
                                     const QK_filediff_run *pOL, QK_diff_hunk **ppResult) {
  QK_diff_hunk *pList = NULL, **ppTail = &pList;
  QK_filediff_run_cursor om, ol;
  QK_uint32 o = 0, m = 0, l = 0;
  QK_ARG_NOT_NULL(ctx, ppResult);
  run_cursor_set(&om, pOM);
  run_cursor_set(&ol, pOL);
  while (!(run_cursor_at_end(&om) && run_cursor_at_end(&ol) && o == om.a && m == om.b && l == ol.b)) {
    QK_uint32 o0 = o, m0 = m, l0 = l;
    int bIdentical = 1, bModifiedChanged = 0, bLatestChanged = 0;
    for (;;) {
      int bMoved = 0;
      if (m >= om.b && o >= om.a) {
        if (o >= ol.a && l >= ol.b) break;
        /* Base tokens that modified kept and latest did not. */
        if (pass_common_run(&o, &m, &om, ol.a)) {
          bIdentical = 0;
          bLatestChanged = bMoved = 1;
        }
      } else if (l >= ol.b && o >= ol.a) {
        /* Base tokens that latest kept and modified did not. */
        if (pass_common_run(&o, &l, &ol, om.a)) {
          bIdentical = 0;
          bModifiedChanged = bMoved = 1;
        }
      }
      /* Lines both sides put in place of (or next to) the base's. */
      while (m < om.b && l < ol.b) {
        if (pModified->nodes[m] != pLatest->nodes[l]) bIdentical = 0;
        m++;
        l++;
        bModifiedChanged = bLatestChanged = bMoved = 1;
      }
      if (m < om.b) {
        m = om.b;
        bIdentical = 0;
        bModifiedChanged = bMoved = 1;
      }
      if (l < ol.b) {
        l = ol.b;
        bIdentical = 0;
        bLatestChanged = bMoved = 1;
      }
      if (o < om.a && o < ol.a) {
        o = min_u32(om.a, ol.a);
        bModifiedChanged = bLatestChanged = bMoved = 1;
      }
      QK_VERIFY(ctx, bMoved);
    }
    if (bModifiedChanged || bLatestChanged) {
      QK_diff_hunk_kind kind = bIdentical ? QK_DIFF_HUNK_BOTH
                               : bModifiedChanged && bLatestChanged ? QK_DIFF_HUNK_CONFLICT
                               : bLatestChanged ? QK_DIFF_HUNK_LATEST
                                                : QK_DIFF_HUNK_MODIFIED;
      QK_TRY(ctx, append_hunk(ctx, &ppTail, kind, o0, m0, l0, o - o0, m - m0, l - l0));
    }
    if (!run_cursor_at_end(&om)) {
      QK_uint32 n = min_u32(om.length, ol.length);
      QK_VERIFY(ctx, n > 0 && o == om.a && o == ol.a && m == om.b && l == ol.b);
      QK_TRY(ctx, append_hunk(ctx, &ppTail, QK_DIFF_HUNK_COMMON, o, m, l, n, n, n));
      o += n;
      m += n;
      l += n;
      run_cursor_advance(&om, n);
      run_cursor_advance(&ol, n);
    }
  }
  *ppResult = pList;
  pList = NULL;
done:
  QK_filediff__free_hunks(ctx, pList);
}

/* ---- Public interface ------------------------------------------------------------------ */

void QK_filediff__diff3(QK_context *ctx, const QK_diff_datasource_ops *pVtable, void *pDataSource,
                        QK_diff_hunk **ppDiff) {
  QK_filediff_mempool pool = {};
  QK_filediff_tree tree = {NULL, &pool};
  QK_filediff_sequence sequences[3] = {};
  QK_filediff_run *pOM = NULL, *pOL = NULL;
  QK_ARG_NOT_NULL(ctx, pVtable);
  QK_ARG_NOT_NULL(ctx, ppDiff);
  QK_ARG_VALID(ctx, pVtable, pVtable->open && pVtable->close && pVtable->next_token && pVtable->compare);
  for (int source = QK_DIFF_SOURCE_BASE; source <= QK_DIFF_SOURCE_LATEST; source++)
    QK_TRY(ctx, QK_filediff__tokenize_source(ctx, pVtable, pDataSource, source, &tree, &sequences[source]));
  if (pVtable->finished) pVtable->finished(pDataSource);
  /* From here on tokens are compared only as node identities. */
  tree.root = NULL;
  QK_TRY(ctx, QK_filediff__diff2(ctx, &pool, &sequences[QK_DIFF_SOURCE_BASE],
                                 &sequences[QK_DIFF_SOURCE_MODIFIED], &pOM));
  QK_TRY(ctx, QK_filediff__diff2(ctx, &pool, &sequences[QK_DIFF_SOURCE_BASE],
                                 &sequences[QK_DIFF_SOURCE_LATEST], &pOL));
  QK_TRY(ctx, QK_filediff__merge_diff3(ctx, &sequences[QK_DIFF_SOURCE_MODIFIED],
                                       &sequences[QK_DIFF_SOURCE_LATEST], pOM, pOL, ppDiff));
done:
  for (QK_filediff_sequence &seq : sequences) QK_free(ctx, seq.nodes);
  QK_filediff__pool_free(ctx, &pool);
}

void QK_filediff__output(QK_context *ctx, const QK_diff_output_ops *pVtable, void *pOutput,
                         const QK_diff_hunk *pList) {
  QK_ARG_NOT_NULL(ctx, pVtable);
  for (const QK_diff_hunk *p = pList; p; p = p->next) {
    const QK_diff_output_fn byKind[] = {pVtable->common, pVtable->modified, pVtable->latest,
                                        pVtable->both, pVtable->conflict};
    QK_diff_output_fn fn = byKind[p->kind];
    if (fn)
      QK_TRY(ctx, fn(ctx, pOutput, p->base_start, p->base_length, p->modified_start,
                     p->modified_length, p->latest_start, p->latest_length));
  }
done:;
}

int QK_filediff__has_conflicts(const QK_diff_hunk *pList) {
  for (const QK_diff_hunk *p = pList; p; p = p->next)
    if (p->kind == QK_DIFF_HUNK_CONFLICT) return 1;
  return 0;
}

void QK_filediff__free_hunks(QK_context *ctx, QK_diff_hunk *pList) {
  while (pList) {
    QK_diff_hunk *pNext = pList->next;
    QK_free(ctx, pList);
    pList = pNext;
  }
}

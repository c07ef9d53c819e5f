/* Insertion-ordered string sets. */
#include "qk/qk_nullhash.h"

#include <stdint.h>
#include <string.h>

#include "qk/qk_malloc.h"

#define QK_NULLHASH_STRPOOL_CHUNK 1600

void QK_nullhash__alloc(QK_context *ctx, QK_nullhash **ppNew) {
  QK_nullhash *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_nullhash), &pNew));
  QK_keytable__init_inline(&pNew->table, NULL);
  QK_TRY(ctx, QK_strpool__alloc(ctx, &pNew->pStrpool, QK_NULLHASH_STRPOOL_CHUNK));
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, QK_nullhash__free(ctx, pNew));
}

void QK_nullhash__free(QK_context *ctx, QK_nullhash *pvh) {
  if (pvh == NULL) return;
  QK_keytable__free_arrays(ctx, &pvh->table);
  QK_RELEASE(ctx, QK_strpool__free(ctx, pvh->pStrpool));
  QK_RELEASE(ctx, QK_free(ctx, pvh));
}

/* Grows, stores the key and links it; as in the vhash, a refused key may have grown the set. */
static void add_key(QK_context *ctx, QK_nullhash *pvh, const void *pBytes, size_t len) {
  void *pCopy = NULL;
  size_t stored;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, pBytes);
  if (len >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_keytable__make_room(ctx, &pvh->table));
  QK_TRY(ctx, QK_strpool__alloc_space(ctx, pvh->pStrpool, (QK_uint32)len + 1, &pCopy));
  memcpy(pCopy, pBytes, len);
  /* The hash is taken over the stored text, so bytes after an embedded NUL do not count. */
  stored = strlen((const char *)pCopy);
  QK_TRY(ctx, QK_keytable__append(ctx, &pvh->table, (const char *)pCopy, QK_keytable__hash(pCopy, stored),
                                  NULL));
done:;
}

void QK_nullhash__add(QK_context *ctx, QK_nullhash *pvh, const char *psz_key) {
  QK_ARG_NOT_NULL(ctx, psz_key);
  QK_TRY(ctx, add_key(ctx, pvh, psz_key, strlen(psz_key)));
done:;
}

void QK_nullhash__add__buflen(QK_context *ctx, QK_nullhash *pvh, const void *pBytes, QK_uint32 len) {
  QK_TRY(ctx, add_key(ctx, pvh, pBytes, len));
done:;
}

void QK_nullhash__has(QK_context *ctx, const QK_nullhash *pvh, const char *psz_key, int *pbResult) {
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, psz_key);
  QK_ARG_NOT_NULL(ctx, pbResult);
  *pbResult = QK_keytable__find(&pvh->table, psz_key, QK_keytable__hash(psz_key, strlen(psz_key))) != NULL;
done:;
}

void QK_nullhash__add_if_missing_report(QK_context *ctx, QK_nullhash *pvh, const char *psz_key,
                                        int *pbAlreadyPresent) {
  int bPresent = 0;
  QK_TRY(ctx, QK_nullhash__has(ctx, pvh, psz_key, &bPresent));
  if (!bPresent) QK_TRY(ctx, QK_nullhash__add(ctx, pvh, psz_key));
  if (pbAlreadyPresent) *pbAlreadyPresent = bPresent;
done:;
}

void QK_nullhash__add_if_missing(QK_context *ctx, QK_nullhash *pvh, const char *psz_key) {
  QK_TRY(ctx, QK_nullhash__add_if_missing_report(ctx, pvh, psz_key, NULL));
done:;
}

void QK_nullhash__count(QK_context *ctx, const QK_nullhash *pvh, QK_uint32 *piResult) {
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, piResult);
  *piResult = pvh->table.count;
done:;
}

void QK_nullhash__get_nth(QK_context *ctx, const QK_nullhash *pvh, QK_uint32 index, const char **ppKey) {
  QK_ARG_NOT_NULL(ctx, pvh);
  if (index >= pvh->table.count) QK_THROW(ctx, QK_ERR_ARGUMENT_OUT_OF_RANGE);
  if (ppKey) *ppKey = pvh->table.items[index].key;
done:;
}

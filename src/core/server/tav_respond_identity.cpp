/* The authenticated user of a request: construction and release. */
#include "server/tav_respond_identity.h"

#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"

void tav_user_identity__alloc(QK_context *ctx, const char *name, void *reserved, tav_user_identity **ppNew) {
  tav_user_identity *pNew = NULL;
  (void)reserved;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_user_identity), &pNew));
  if (name != NULL) QK_TRY(ctx, QK_strdup(ctx, name, &pNew->name));
  QK_TRY(ctx, QK_varray__alloc(ctx, &pNew->groups));
  *ppNew = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, tav_user_identity__free(ctx, &pNew));
}

void tav_user_identity__free(QK_context *ctx, tav_user_identity **ppIdentity) {
  if (ppIdentity == NULL || *ppIdentity == NULL) return;
  QK_free(ctx, (*ppIdentity)->name);
  QK_free(ctx, (*ppIdentity)->scheme);
  QK_varray__free(ctx, (*ppIdentity)->groups);
  QK_free(ctx, *ppIdentity);
  *ppIdentity = NULL;
}

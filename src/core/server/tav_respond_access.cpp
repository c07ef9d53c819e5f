/* Access control of the sync engine: identities, access lists, filter choice and the
 * password check of the users-table schemes. */
#include "server/tav_respond_access.h"

#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"

void tav_user_identity__alloc(QK_context *ctx, const char *name, const char *pszReserved,
                              tav_user_identity **ppIdentity) {
  tav_user_identity *pNew = NULL;
  (void)pszReserved;
  QK_ARG_NOT_NULL(ctx, ppIdentity);
  *ppIdentity = NULL;
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_user_identity), &pNew));
  if (name != NULL) QK_TRY(ctx, QK_strdup(ctx, name, &pNew->name));
  QK_TRY(ctx, QK_varray__alloc(ctx, &pNew->groups));
  *ppIdentity = pNew;
  pNew = NULL;
done:
  QK_RELEASE(ctx, tav_user_identity__free(ctx, &pNew));
}

void tav_user_identity__free(QK_context *ctx, tav_user_identity **ppIdentity) {
  if (ppIdentity == NULL || *ppIdentity == NULL) return;
  tav_user_identity *p = *ppIdentity;
  QK_free(ctx, p->name);
  QK_free(ctx, p->scheme);
  QK_varray__free(ctx, p->groups);
  QK_free(ctx, p);
  *ppIdentity = NULL;
}

int tav_user_identity__is_authenticated(const tav_user_identity *pIdentity) {
  return pIdentity != NULL && pIdentity->name != NULL && pIdentity->scheme != NULL;
}

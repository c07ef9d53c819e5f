/* tav_user_identity: the user a request was authenticated as. The password checks and the
 * scheme dispatcher fill it; the access list and the filter choice read it. It counts as
 * authenticated when both name and scheme are set; a request without credentials has none. */
#ifndef TAV_RESPOND_IDENTITY_H
#define TAV_RESPOND_IDENTITY_H

#include "qk/qk_context.h"
#include "qk/qk_varray.h"

typedef struct tav_user_identity {
  char *name;        /* owned UTF-8 user name, or NULL */
  char *scheme;      /* owned canonical JSON of the scheme that authenticated the user, or NULL */
  QK_varray *groups; /* owned group-name texts, possibly empty */
} tav_user_identity;

/* A new identity with a copy of name (NULL stays NULL), no scheme and no groups; reserved is
 * not read. Nothing is handed out on failure. */
void tav_user_identity__alloc(QK_context *ctx, const char *name, void *reserved, tav_user_identity **ppNew);
/* Frees name, scheme, groups and the record and sets *ppIdentity to NULL; NULL is accepted. */
void tav_user_identity__free(QK_context *ctx, tav_user_identity **ppIdentity);

#endif

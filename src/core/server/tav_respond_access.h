/* tav_respond access control: who the user is (tav_user_identity), the password check of the
 * users-table schemes, the dbfile's access list with its probe order for whole-dbfile and
 * table operations, and the choice of the row filter that applies to the user. The lists
 * and users are read through the store's operations table. */
#ifndef TAV_RESPOND_ACCESS_H
#define TAV_RESPOND_ACCESS_H

#include "qk/qk_context.h"
#include "qk/qk_mssql.h"
#include "qk/qk_nullhash.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

struct tav_backend_ops;
struct tav_db_handle;
struct tav_filter;

/* The authenticated user. It counts as authenticated when both name and scheme are set. */
typedef struct tav_user_identity {
  char *name;       /* owned: the user name ("user@domain" for a Windows logon), or NULL */
  char *scheme;     /* owned: canonical JSON of the scheme that authenticated it, or NULL */
  QK_varray *groups; /* owned: group-name texts, possibly none */
} tav_user_identity;

/* Match types of access-list entries and filter assignments. */
#define TAV_MATCH_USER 0
#define TAV_MATCH_GROUP 1
#define TAV_MATCH_ANY_AUTHENTICATED_USER 2
#define TAV_MATCH_ANYONE 3

/* A new identity with a copy of name (NULL stays NULL), no scheme and no groups.
 * pszReserved is not read. */
void tav_user_identity__alloc(QK_context *ctx, const char *name, const char *pszReserved,
                              tav_user_identity **ppIdentity);
/* Frees the identity and clears the pointer; NULL is accepted. */
void tav_user_identity__free(QK_context *ctx, tav_user_identity **ppIdentity);
/* Nonzero when the identity has both a name and a scheme. */
int tav_user_identity__is_authenticated(const tav_user_identity *pIdentity);

#endif

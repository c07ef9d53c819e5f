/* tav_respond access control: who the user is (tav_user_identity), the password check of the
 * users-table schemes, the dbfile's access list with its probe order for whole-dbfile and
 * table operations, and the choice of the row filter that applies to the user. The lists
 * and users are read through the store's operations table. */
#ifndef TAV_RESPOND_ACCESS_H
#define TAV_RESPOND_ACCESS_H

#include "qk/qk_context.h"
#include "qk/qk_nullhash.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

struct QK_mssql_connection;
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


/* ---- Access list ---- */

/* The dbfile's access list, read on the connection that holds its tables. The caller frees
 * the list with QK_varray__free. */
void tav_respond__get_acl(QK_context *ctx, const struct tav_backend_ops *ops, QK_mssql_connection *pConn,
                          const char *pszDbfile, QK_varray **ppAcl);
/* The first entry of the list that matches: op and table (when given) equal, a "result"
 * present, and "who" matching the identity by the match type. *ppEntry is borrowed from the
 * list, or NULL. */
void tav_respond__find_acl_entry(QK_context *ctx, const QK_varray *pAcl, int matchType,
                                 const tav_user_identity *pIdentity, const char *pszOp, const char *pszTbl,
                                 QK_vhash **ppEntry);
/* Whether the identity (or, without one, anyone) may do op on the whole dbfile: the most
 * specific entry found decides; no list or no entry denies. */
void tav_respond__check_dbfile_permission(QK_context *ctx, const char *pszOp, const QK_varray *pAcl,
                                          const tav_user_identity *pIdentity, int *pbAllowed);
/* Whether every request {"op", "tbl" opt} is allowed: a denying entry ends the check, a request
 * no entry answers denies too. An empty request list is allowed. */
void tav_respond__check_table_permissions(QK_context *ctx, const QK_varray *pAcl, const QK_varray *pRequests,
                                          const tav_user_identity *pIdentity, int *pbAllowed);

/* ---- Row filters ---- */

/* The first filter assignment that matches the identity by the match type (borrowed), or
 * NULL. */
void tav_respond__find_filter_assignment(QK_context *ctx, const QK_varray *pAssignments, int matchType,
                                         const tav_user_identity *pIdentity, QK_vhash **ppEntry);
/* The row filter assigned to the identity (NULL: none) and the newest schema txid of the
 * synchronised tables. The caller frees the filter with tav_filter__free. */
void tav_respond__get_filter(QK_context *ctx, const struct tav_backend_ops *ops, struct tav_db_handle *h,
                             const tav_user_identity *pIdentity, struct tav_filter **ppFilter,
                             QK_int64 *pFilterTxid);

/* ---- Passwords of users tables ---- */

/* Checks user and password against a users table, following alias rows; the visited set
 * stops alias cycles (a revisited table/user answers no). *pbOk 0 for an unknown user or a
 * wrong password. ppIdentity (opt) receives the identity of the user named, or NULL. */
void tav_respond__check_table_password(QK_context *ctx, const struct tav_backend_ops *ops,
                                       QK_mssql_connection *pConn, QK_nullhash *pVisited, const char *pszTable,
                                       const char *pszUser, const char *pszPassword, int *pbOk,
                                       tav_user_identity **ppIdentity);
/* The same with a fresh visited set. */
void tav_respond__check_users_table_password(QK_context *ctx, const struct tav_backend_ops *ops,
                                             QK_mssql_connection *pConn, const char *pszTable,
                                             const char *pszUser, const char *pszPassword, int *pbOk,
                                             tav_user_identity **ppIdentity);
/* The same through the store's own operations table. */
void tav_respond__check_table2_password(QK_context *ctx, QK_mssql_connection *pConn, const char *pszTable,
                                        const char *pszUser, const char *pszPassword, int *pbOk,
                                        tav_user_identity **ppIdentity);
/* Whether the password hashes to the stored bcrypt value ($2a$, $2b$ or $2y$); any other
 * stored value never matches. Hashes are only verified, never created. */
void tav_respond__check_bcrypt(QK_context *ctx, const char *pszPassword, const char *pszStored, int *pbOk);

#endif

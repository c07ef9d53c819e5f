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

#include <crypt.h>
#include <string.h>

#include <sqlite3.h>

#include "common/tav_filter.h"
#include "server/tav_db_mssql.h"

/* ---- Access list ---- */

void tav_respond__get_acl(QK_context *ctx, const tav_backend_ops *ops, QK_mssql_connection *pConn,
                          const char *pszDbfile, QK_varray **ppAcl) {
  tav_db_handle *h = NULL;
  QK_varray *pAcl = NULL;
  int bPrioritySet = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, ppAcl);
  *ppAcl = NULL;
  QK_TRY(ctx, ops->handle_alloc(ctx, pConn, pszDbfile, &h));
  /* A session setting: the pull or push that follows on this connection runs with it too. */
  QK_TRY(ctx, ops->set_low_deadlock_priority(ctx, h));
  bPrioritySet = 1;
  QK_TRY(ctx, ops->get_acl(ctx, h, &pAcl));
  *ppAcl = pAcl;
  pAcl = NULL;
done:
  if (QK_context__has_error(ctx) && bPrioritySet) QK_RELEASE(ctx, ops->rollback_tx(ctx, h));
  QK_RELEASE(ctx, QK_varray__free(ctx, pAcl));
  if (ops != NULL) QK_RELEASE(ctx, ops->handle_free(ctx, &h));
}

/* Whether "who" is the prefix followed by exactly the name. */
static int who_names(const char *pszWho, const char *pszPrefix, const char *pszName) {
  size_t lenPrefix = strlen(pszPrefix);
  return pszName != NULL && strncmp(pszWho, pszPrefix, lenPrefix) == 0 && strcmp(pszWho + lenPrefix, pszName) == 0;
}

/* Whether "who" is "group:" followed by one of the identity's groups. */
static void who_names_a_group(QK_context *ctx, const char *pszWho, const tav_user_identity *pIdentity,
                              int *pbMatch) {
  QK_uint32 count = 0;
  *pbMatch = 0;
  if (pIdentity == NULL || pIdentity->groups == NULL) return;
  QK_TRY(ctx, QK_varray__count(ctx, pIdentity->groups, &count));
  for (QK_uint32 i = 0; i < count && !*pbMatch; i++) {
    const char *pszGroup = NULL;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pIdentity->groups, i, &pszGroup));
    *pbMatch = who_names(pszWho, "group:", pszGroup);
  }
done:;
}

/* Whether an entry's "scheme" and "who" match the identity by the match type. Access-list
 * groups count only under the scheme the user came by; filter assignments name groups
 * whatever the scheme (bGroupNeedsScheme 0). */
static void who_matches(QK_context *ctx, const char *pszScheme, const char *pszWho, int matchType,
                        const tav_user_identity *pIdentity, int bGroupNeedsScheme, int *pbMatch) {
  int bAuthenticated = tav_user_identity__is_authenticated(pIdentity);
  *pbMatch = 0;
  switch (matchType) {
    case TAV_MATCH_USER:
      *pbMatch = bAuthenticated && strcmp(pszScheme, pIdentity->scheme) == 0 &&
                 who_names(pszWho, "user:", pIdentity->name);
      break;
    case TAV_MATCH_GROUP:
      if (!bGroupNeedsScheme || (bAuthenticated && strcmp(pszScheme, pIdentity->scheme) == 0))
        QK_TRY(ctx, who_names_a_group(ctx, pszWho, pIdentity, pbMatch));
      break;
    case TAV_MATCH_ANY_AUTHENTICATED_USER:
      *pbMatch = bAuthenticated && strcmp(pszWho, "any_authenticated_user") == 0;
      break;
    default:
      *pbMatch = strcmp(pszWho, "anyone") == 0;
      break;
  }
done:;
}

void tav_respond__find_acl_entry(QK_context *ctx, const QK_varray *pAcl, int matchType,
                                 const tav_user_identity *pIdentity, const char *pszOp, const char *pszTbl,
                                 QK_vhash **ppEntry) {
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, pAcl);
  QK_ARG_NOT_NULL(ctx, ppEntry);
  *ppEntry = NULL;
  if (matchType < TAV_MATCH_USER || matchType > TAV_MATCH_ANYONE)
    QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "Unknown ACL match type");
  QK_TRY(ctx, QK_varray__count(ctx, pAcl, &count));
  for (QK_uint32 i = 0; i < count && *ppEntry == NULL; i++) {
    QK_vhash *pEntry = NULL;
    const char *pszScheme = NULL, *pszWho = NULL, *pszEntryOp = NULL, *pszEntryTbl = NULL, *pszResult = NULL;
    int bMatch = 0;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pAcl, i, &pEntry));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "scheme", &pszScheme));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "who", &pszWho));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "op", &pszEntryOp));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "tbl", &pszEntryTbl));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pEntry, "result", &pszResult));
    if (pszOp != NULL && strcmp(pszOp, pszEntryOp) != 0) continue;
    if (pszTbl != NULL && strcmp(pszTbl, pszEntryTbl) != 0) continue;
    if (pszResult == NULL) continue;
    QK_TRY(ctx, who_matches(ctx, pszScheme, pszWho, matchType, pIdentity, 1, &bMatch));
    if (bMatch) *ppEntry = pEntry;
  }
done:;
}

void tav_respond__check_dbfile_permission(QK_context *ctx, const char *pszOp, const QK_varray *pAcl,
                                          const tav_user_identity *pIdentity, int *pbAllowed) {
  QK_vhash *pEntry = NULL;
  const char *pszResult = NULL;
  QK_ARG_NOT_NULL(ctx, pszOp);
  QK_ARG_NOT_NULL(ctx, pbAllowed);
  *pbAllowed = 0;
  if (pAcl == NULL) goto done;
  /* From the most specific entry to the most general: the first one found decides. */
  for (int matchType = TAV_MATCH_USER; matchType <= TAV_MATCH_ANYONE && pEntry == NULL; matchType++) {
    QK_TRY(ctx, tav_respond__find_acl_entry(ctx, pAcl, matchType, pIdentity, pszOp, NULL, &pEntry));
    if (pEntry == NULL) QK_TRY(ctx, tav_respond__find_acl_entry(ctx, pAcl, matchType, pIdentity, "*", NULL, &pEntry));
  }
  if (pEntry == NULL) goto done;
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "result", &pszResult));
  *pbAllowed = strcmp(pszResult, "allow") == 0;
done:;
}

/* The entry that answers one table request, or NULL. */
static void find_table_request_entry(QK_context *ctx, const QK_varray *pAcl, const tav_user_identity *pIdentity,
                                     const char *pszOp, const char *pszTbl, QK_vhash **ppEntry) {
  *ppEntry = NULL;
  for (int matchType = TAV_MATCH_USER; matchType <= TAV_MATCH_ANYONE; matchType++) {
    if (pszTbl != NULL) QK_TRY(ctx, tav_respond__find_acl_entry(ctx, pAcl, matchType, pIdentity, pszOp, pszTbl, ppEntry));
    if (*ppEntry == NULL) QK_TRY(ctx, tav_respond__find_acl_entry(ctx, pAcl, matchType, pIdentity, pszOp, "*", ppEntry));
    if (*ppEntry == NULL) QK_TRY(ctx, tav_respond__find_acl_entry(ctx, pAcl, matchType, pIdentity, "*", "*", ppEntry));
    /* Every operation on the request's own table; an entry for another table must not
     * answer it. */
    if (*ppEntry == NULL) QK_TRY(ctx, tav_respond__find_acl_entry(ctx, pAcl, matchType, pIdentity, "*", pszTbl, ppEntry));
    if (*ppEntry != NULL) break;
  }
done:;
}

void tav_respond__check_table_permissions(QK_context *ctx, const QK_varray *pAcl, const QK_varray *pRequests,
                                          const tav_user_identity *pIdentity, int *pbAllowed) {
  QK_uint32 count = 0;
  int bUnanswered = 0;
  QK_ARG_NOT_NULL(ctx, pRequests);
  QK_ARG_NOT_NULL(ctx, pbAllowed);
  *pbAllowed = 0;
  QK_TRY(ctx, QK_varray__count(ctx, pRequests, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pRequest = NULL, *pEntry = NULL;
    const char *pszOp = NULL, *pszTbl = NULL, *pszResult = NULL;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pRequests, i, &pRequest));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pRequest, "op", &pszOp));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pRequest, "tbl", &pszTbl));
    if (pAcl != NULL) QK_TRY(ctx, find_table_request_entry(ctx, pAcl, pIdentity, pszOp, pszTbl, &pEntry));
    if (pEntry == NULL) {
      bUnanswered = 1;
      continue;
    }
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "result", &pszResult));
    if (strcmp(pszResult, "allow") != 0) goto done;
  }
  *pbAllowed = !bUnanswered;
done:;
}

/* ---- Row filters ---- */

void tav_respond__find_filter_assignment(QK_context *ctx, const QK_varray *pAssignments, int matchType,
                                         const tav_user_identity *pIdentity, QK_vhash **ppEntry) {
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, pAssignments);
  QK_ARG_NOT_NULL(ctx, ppEntry);
  *ppEntry = NULL;
  if (matchType < TAV_MATCH_USER || matchType > TAV_MATCH_ANYONE)
    QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "Unknown filter match type");
  QK_TRY(ctx, QK_varray__count(ctx, pAssignments, &count));
  for (QK_uint32 i = 0; i < count && *ppEntry == NULL; i++) {
    QK_vhash *pEntry = NULL;
    const char *pszScheme = NULL, *pszWho = NULL;
    int bMatch = 0;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pAssignments, i, &pEntry));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "scheme", &pszScheme));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "who", &pszWho));
    QK_TRY(ctx, who_matches(ctx, pszScheme, pszWho, matchType, pIdentity, 0, &bMatch));
    if (bMatch) *ppEntry = pEntry;
  }
done:;
}

void tav_respond__get_filter(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                             const tav_user_identity *pIdentity, tav_filter **ppFilter, QK_int64 *pFilterTxid) {
  QK_varray *pAssignments = NULL;
  QK_vhash *pEntry = NULL;
  tav_filter *pFilter = NULL;
  QK_uint32 count = 0;
  QK_int64 filterId = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, ppFilter);
  *ppFilter = NULL;
  QK_TRY(ctx, ops->get_user_filters(ctx, h, &pAssignments, pFilterTxid));
  QK_TRY(ctx, QK_varray__count(ctx, pAssignments, &count));
  if (count == 0) goto done;
  if (pIdentity != NULL) {
    for (int matchType = TAV_MATCH_USER; matchType <= TAV_MATCH_ANY_AUTHENTICATED_USER && pEntry == NULL; matchType++)
      QK_TRY(ctx, tav_respond__find_filter_assignment(ctx, pAssignments, matchType, pIdentity, &pEntry));
  }
  if (pEntry == NULL)
    QK_TRY(ctx, tav_respond__find_filter_assignment(ctx, pAssignments, TAV_MATCH_ANYONE, pIdentity, &pEntry));
  if (pEntry == NULL) goto done;
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "filter", &filterId));
  QK_TRY(ctx, ops->get_filter(ctx, h, filterId, pIdentity != NULL ? pIdentity->name : NULL, &pFilter));
  *ppFilter = pFilter;
  pFilter = NULL;
done:
  QK_RELEASE(ctx, tav_filter__free(ctx, &pFilter));
  QK_RELEASE(ctx, QK_varray__free(ctx, pAssignments));
}

/* ---- Passwords of users tables ---- */

void tav_respond__check_bcrypt(QK_context *ctx, const char *pszPassword, const char *pszStored, int *pbOk) {
  struct crypt_data *pData = NULL;
  const char *pszComputed = NULL;
  QK_ARG_NOT_NULL(ctx, pszPassword);
  QK_ARG_NOT_NULL(ctx, pszStored);
  QK_ARG_NOT_NULL(ctx, pbOk);
  *pbOk = 0;
  /* Only bcrypt: the hashing library would also take weaker settings (DES, MD5, ...). */
  if (strncmp(pszStored, "$2a$", 4) != 0 && strncmp(pszStored, "$2b$", 4) != 0 && strncmp(pszStored, "$2y$", 4) != 0)
    goto done;
  /* About 32 KiB of work space: not on a request thread's stack. */
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(struct crypt_data), &pData));
  pszComputed = crypt_rn(pszPassword, pszStored, pData, (int)sizeof(struct crypt_data));
  if (pszComputed == NULL || pszComputed[0] == '*')
    QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "_crypt_blowfish_rn failed");
  *pbOk = strcmp(pszComputed, pszStored) == 0;
done:
  QK_free(ctx, pData);
}

void tav_respond__check_table_password(QK_context *ctx, const tav_backend_ops *ops, QK_mssql_connection *pConn,
                                       QK_nullhash *pVisited, const char *pszTable, const char *pszUser,
                                       const char *pszPassword, int *pbOk, tav_user_identity **ppIdentity) {
  QK_string *pKey = NULL;
  tav_user_identity *pIdentity = NULL;
  char *pszStored = NULL;
  QK_vhash *pAlias = NULL;
  int bVisited = 0, bOk = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pVisited);
  QK_ARG_NOT_NULL(ctx, pszTable);
  QK_ARG_NOT_NULL(ctx, pszUser);
  QK_ARG_NOT_NULL(ctx, pszPassword);
  QK_ARG_NOT_NULL(ctx, pbOk);
  *pbOk = 0;
  if (ppIdentity != NULL) *ppIdentity = NULL;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pKey, "%s/%s", pszTable, pszUser));
  QK_TRY(ctx, QK_nullhash__has(ctx, pVisited, QK_string__sz(pKey), &bVisited));
  if (bVisited) goto done;
  QK_TRY(ctx, ops->lookup_user(ctx, pConn, pszTable, pszUser, &pIdentity, &pszStored));
  if (pszStored == NULL) goto done;
  if (pszStored[0] == '$') {
    QK_TRY(ctx, tav_respond__check_bcrypt(ctx, pszPassword, pszStored, &bOk));
  } else if (pszStored[0] == '{') {
    const char *pszOp = NULL, *pszTargetTable = NULL, *pszTargetUser = NULL;
    QK_TRY(ctx, QK_vhash__alloc__from_json(ctx, &pAlias, pszStored));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pAlias, "op", &pszOp));
    if (pszOp != NULL && strcmp(pszOp, "alias") == 0) {
      QK_TRY(ctx, QK_vhash__check__sz(ctx, pAlias, "table", &pszTargetTable));
      QK_TRY(ctx, QK_vhash__check__sz(ctx, pAlias, "user", &pszTargetUser));
      if (pszTargetTable != NULL || pszTargetUser != NULL) {
        QK_TRY(ctx, QK_nullhash__add(ctx, pVisited, QK_string__sz(pKey)));
        QK_TRY(ctx, tav_respond__check_table_password(ctx, ops, pConn, pVisited,
                                                      pszTargetTable != NULL ? pszTargetTable : pszTable,
                                                      pszTargetUser != NULL ? pszTargetUser : pszUser, pszPassword,
                                                      &bOk, NULL));
      }
    }
  } else {
    bOk = strcmp(pszPassword, pszStored) == 0;
  }
  *pbOk = bOk;
  if (ppIdentity != NULL) {
    *ppIdentity = pIdentity;
    pIdentity = NULL;
  }
done:
  QK_RELEASE(ctx, tav_user_identity__free(ctx, &pIdentity));
  sqlite3_free(pszStored);
  QK_RELEASE(ctx, QK_vhash__free(ctx, pAlias));
  QK_RELEASE(ctx, QK_string__free(ctx, pKey));
}

void tav_respond__check_users_table_password(QK_context *ctx, const tav_backend_ops *ops, QK_mssql_connection *pConn,
                                             const char *pszTable, const char *pszUser, const char *pszPassword,
                                             int *pbOk, tav_user_identity **ppIdentity) {
  QK_nullhash *pVisited = NULL;
  QK_TRY(ctx, QK_nullhash__alloc(ctx, &pVisited));
  QK_TRY(ctx, tav_respond__check_table_password(ctx, ops, pConn, pVisited, pszTable, pszUser, pszPassword, pbOk,
                                                ppIdentity));
done:
  QK_RELEASE(ctx, QK_nullhash__free(ctx, pVisited));
}

/* The module host's authentication: the scheme dispatcher and the Windows logon. */
#include "servers/iis/main_auth.h"

#include <string.h>

#include "common/tav_utils.h"
#include "qk/qk_malloc.h"
#include "qk/qk_vhash.h"
#include "server/tav_db_mssql.h"
#include "server/tav_respond.h"
#include "servers/iis/main_logon.h"

/* "table2": the users table of the configuration database, or of the named dbfile's. */
static void check_table2(QK_context *ctx, const tav_backend_ops *ops, const char *pszOdbcConnectionString,
                         QK_mssql_connection *pConfigConn, const QK_vhash *pScheme, const char *pszUser,
                         const char *pszPassword, int *pbOk, tav_user_identity **ppIdentity) {
  const char *pszTable = NULL, *pszDbfile = NULL;
  QK_mssql_connection *pOpened = NULL;
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pScheme, "table", &pszTable));
  if (pszTable == NULL)
    QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "'table' is required in auth scheme string for scheme_type 'table2'");
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pScheme, "dbfile", &pszDbfile));
  if (pszDbfile != NULL)
    QK_TRY(ctx, tav_respond__open_dbfile_backend(ctx, ops, pszOdbcConnectionString, pConfigConn, pszDbfile, &pOpened));
  QK_TRY(ctx, tav_respond__check_users_table_password(ctx, ops, pOpened != NULL ? pOpened : pConfigConn, pszTable,
                                                      pszUser, pszPassword, pbOk, ppIdentity));
done:
  QK_RELEASE(ctx, ops->close(ctx, &pOpened));
}

void tav_iis__authenticate(QK_context *ctx, const tav_backend_ops *ops, const char *pszOdbcConnectionString,
                           QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbfileConn, const char *pszScheme,
                           const char *pszStoredScheme, const char *pszUser, const char *pszPassword, int *pbOk,
                           tav_user_identity **ppIdentity) {
  QK_vhash *pRequested = NULL, *pStored = NULL;
  const QK_vhash *pApplied = NULL;
  const char *pszAppliedText = pszScheme, *pszType = NULL;
  tav_user_identity *pIdentity = NULL;
  int bOk = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pszScheme);
  QK_ARG_NOT_NULL(ctx, pszUser);
  QK_ARG_NOT_NULL(ctx, pszPassword);
  QK_ARG_NOT_NULL(ctx, pbOk);
  *pbOk = 0;
  if (ppIdentity != NULL) *ppIdentity = NULL;
  QK_TRY(ctx, QK_vhash__alloc__from_json(ctx, &pRequested, pszScheme));
  pApplied = pRequested;
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pApplied, "scheme_type", &pszType));
  if (pszType != NULL && strcmp(pszType, "default") == 0) {
    /* The stored scheme is applied once; a stored "default" is an unknown type. */
    if (pszStoredScheme == NULL)
      QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "No default scheme is defined for this dbfile");
    QK_TRY(ctx, QK_vhash__alloc__from_json(ctx, &pStored, pszStoredScheme));
    pApplied = pStored;
    pszAppliedText = pszStoredScheme;
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pApplied, "scheme_type", &pszType));
  }
  if (pszType == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "'scheme_type' is required in auth scheme string");
  if (strcmp(pszType, "table2") == 0) {
    QK_TRY(ctx, check_table2(ctx, ops, pszOdbcConnectionString, pConfigConn, pApplied, pszUser, pszPassword, &bOk,
                             &pIdentity));
  } else if (strcmp(pszType, "table") == 0) {
    const char *pszTable = NULL;
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pApplied, "table", &pszTable));
    if (pszTable == NULL)
      QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "'table' is required in auth scheme string for scheme_type 'table'");
    QK_TRY(ctx, tav_respond__check_users_table_password(ctx, ops, pDbfileConn != NULL ? pDbfileConn : pConfigConn,
                                                        pszTable, pszUser, pszPassword, &bOk, &pIdentity));
  } else if (strcmp(pszType, "windows") == 0) {
    const char *pszDomain = NULL;
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pApplied, "domain", &pszDomain));
    if (pszDomain == NULL)
      QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "'domain' is required in auth scheme string for scheme_type 'windows'");
    QK_TRY(ctx, WindowsLogon(ctx, pszDomain, pszUser, pszPassword, &bOk, &pIdentity));
  } else {
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "unknown auth scheme_type: %s", pszType);
  }
  /* Access lists and filter assignments name the scheme by this text. */
  if (pIdentity != NULL) QK_TRY(ctx, tav_json__canonicalize(ctx, pszAppliedText, &pIdentity->scheme));
  *pbOk = bOk;
  if (ppIdentity != NULL) {
    *ppIdentity = pIdentity;
    pIdentity = NULL;
  }
done:
  QK_RELEASE(ctx, tav_user_identity__free(ctx, &pIdentity));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pRequested));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pStored));
}

/* The sync engine's request entry: connections of a request, dispatch by path, error mapping
 * and the request-log row. */
#include "server/tav_respond.h"

#include <string.h>

#include "common/tav_utils.h"
#include "qk/qk_file.h"
#include "qk/qk_fsobj.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_sys.h"
#include "qk/qk_varray.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_respond_access.h"
#include "server/tav_respond_protocol.h"
#include "server/tav_respond_pull.h"
#include "server/tav_respond_push.h"

/* The registry's odbc value: "qvsdb:<database>" means the site's own connection string on
 * another database; anything else is a connection string of its own. */
static void open_registered_connection(QK_context *ctx, const tav_backend_ops *ops, const char *pszOdbcConnectionString,
                                       const char *pszOdbc, QK_mssql_connection **ppConn) {
  if (QK_strnicmp(pszOdbc, "qvsdb:", 6) == 0)
    QK_TRY(ctx, ops->open(ctx, pszOdbcConnectionString, pszOdbc + 6, ppConn));
  else
    QK_TRY(ctx, ops->open(ctx, pszOdbc, NULL, ppConn));
done:;
}

void tav_respond__open_backend(QK_context *ctx, const tav_backend_ops *ops, const char *pszOdbcConnectionString,
                               const char *pszDbfile, int *pbFound, QK_int32 *pVersion,
                               QK_mssql_connection **ppConfigConn, QK_mssql_connection **ppDbfileConn,
                               char **ppszScheme) {
  QK_mssql_connection *pConfigConn = NULL, *pDbfileConn = NULL;
  char *pszOdbc = NULL, *pszScheme = NULL;
  QK_int32 version = 0;
  int bFound = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pbFound);
  QK_ARG_NOT_NULL(ctx, pVersion);
  QK_ARG_NOT_NULL(ctx, ppConfigConn);
  QK_ARG_NOT_NULL(ctx, ppDbfileConn);
  QK_ARG_NOT_NULL(ctx, ppszScheme);
  QK_TRY(ctx, tav_dbfile__validate_name(ctx, pszDbfile));
  QK_TRY(ctx, ops->open(ctx, pszOdbcConnectionString, NULL, &pConfigConn));
  QK_TRY(ctx, ops->lookup_dbfile(ctx, pConfigConn, pszDbfile, &bFound, &version, &pszOdbc, &pszScheme));
  if (pszOdbc != NULL)
    QK_TRY(ctx, open_registered_connection(ctx, ops, pszOdbcConnectionString, pszOdbc, &pDbfileConn));
  *pbFound = bFound;
  *pVersion = version;
  *ppConfigConn = pConfigConn;
  *ppDbfileConn = pDbfileConn;
  *ppszScheme = pszScheme;
  pConfigConn = pDbfileConn = NULL;
  pszScheme = NULL;
done:
  QK_RELEASE(ctx, QK_free(ctx, pszOdbc));
  QK_RELEASE(ctx, QK_free(ctx, pszScheme));
  if (ops != NULL) {
    QK_RELEASE(ctx, ops->close(ctx, &pDbfileConn));
    QK_RELEASE(ctx, ops->close(ctx, &pConfigConn));
  }
}

void tav_respond__dbfile_version(QK_context *ctx, const tav_backend_ops *ops, QK_mssql_connection *pConfigConn,
                                 const char *pszDbfile, const QK_int32 *pKnownVersion, int *pbFound,
                                 QK_int32 *pVersion) {
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pbFound);
  QK_ARG_NOT_NULL(ctx, pVersion);
  if (pKnownVersion != NULL) {
    *pbFound = 1;
    *pVersion = *pKnownVersion;
    goto done;
  }
  QK_TRY(ctx, ops->lookup_dbfile(ctx, pConfigConn, pszDbfile, pbFound, pVersion, NULL, NULL));
done:;
}

void tav_respond__open_dbfile_backend(QK_context *ctx, const tav_backend_ops *ops, const char *pszOdbcConnectionString,
                                      QK_mssql_connection *pConfigConn, const char *pszDbfile,
                                      QK_mssql_connection **ppConn) {
  char *pszOdbc = NULL;
  int bFound = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, ppConn);
  *ppConn = NULL;
  QK_TRY(ctx, ops->lookup_dbfile(ctx, pConfigConn, pszDbfile, &bFound, NULL, &pszOdbc, NULL));
  if (pszOdbc != NULL) QK_TRY(ctx, open_registered_connection(ctx, ops, pszOdbcConnectionString, pszOdbc, ppConn));
done:
  QK_RELEASE(ctx, QK_free(ctx, pszOdbc));
}

/* The two roads; each hands its event-log message out as a plain text. */
static void run_pull(QK_context *ctx, QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbfileConn,
                     const QK_int32 *pDbfileVersion, const char *pszTempDir, const QK_vhash *pQuery,
                     const QK_vhash *pFilterBase, const tav_user_identity *pIdentity, int *pStatus, tav_pkg *pResponse,
                     char **ppszBody, QK_vhash **ppHeaders, char **ppszMessage) {
  QK_string *pMessage = NULL;
  QK_TRY(ctx,
         tav_respond__pull_request(ctx, &g_mssql_backend_ops, pConfigConn, pDbfileConn, pDbfileVersion, pszTempDir,
                                   pQuery, pFilterBase, pIdentity, pStatus, pResponse, ppszBody, ppHeaders, &pMessage));
  if (pMessage != NULL) QK_TRY(ctx, QK_string__free_keep_sz(ctx, &pMessage, ppszMessage, NULL));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pMessage));
}

static void run_push(QK_context *ctx, const char *pszSupportMode, QK_mssql_connection *pConfigConn,
                     QK_mssql_connection *pDbfileConn, const QK_int32 *pDbfileVersion, const char *pszTempDir,
                     const QK_vhash *pQuery, const QK_vhash *pFilterBase, const char *pszIncomingPath,
                     const tav_user_identity *pIdentity, QK_int64 *pTxid, QK_int64 *pTxidR, int *pStatus,
                     tav_pkg *pResponse, char **ppszBody, QK_vhash **ppHeaders, char **ppszMessage) {
  QK_string *pMessage = NULL;
  QK_TRY(ctx, tav_respond__push_request(ctx, &g_mssql_backend_ops, pszSupportMode, NULL, pConfigConn, pDbfileConn,
                                        pDbfileVersion, pszTempDir, pQuery, pFilterBase, pszIncomingPath, pIdentity,
                                        pTxid, pTxidR, pStatus, pResponse, ppszBody, ppHeaders, &pMessage));
  if (pMessage != NULL) QK_TRY(ctx, QK_string__free_keep_sz(ctx, &pMessage, ppszMessage, NULL));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pMessage));
}

/* A handler's error becomes the answer: 499 without body when the client went away, else
 * 500 with the detailed error text. Whatever the handler produced for the body is dropped. */
static void map_error(QK_context *ctx, tav_pkg *pResponse, char **ppszBody, int *pStatus, int *pBodyKind) {
  QK_string *pText = NULL;
  int bCancelled = QK_context__error_equals(ctx, QK_ERR_CANCELLED);
  QK_RELEASE(ctx, tav_pkg__close(ctx, pResponse));
  QK_RELEASE(ctx, QK_free(ctx, *ppszBody));
  *ppszBody = NULL;
  *pBodyKind = TAV_BODY_NONE;
  if (bCancelled) {
    *pStatus = 499;
    QK_context__reset_error(ctx);
    return;
  }
  *pStatus = 500;
  QK_context__error_to_string(ctx, 1, &pText);
  QK_context__reset_error(ctx);
  if (pText != NULL) {
    QK_string__free_keep_sz(ctx, &pText, ppszBody, NULL);
    *pBodyKind = TAV_BODY_TEXT;
  }
}

/* The answer's body: a text wins over a package; a package leaves as the path of its
 * closed file. */
static void choose_body(QK_context *ctx, tav_pkg *pResponse, char **ppszBody, int *pBodyKind) {
  if (*ppszBody != NULL) {
    QK_RELEASE(ctx, tav_pkg__close(ctx, pResponse));
    *pBodyKind = TAV_BODY_TEXT;
    return;
  }
  if (pResponse->path == NULL) {
    *pBodyKind = TAV_BODY_NONE;
    return;
  }
  if (pResponse->db != NULL) QK_RELEASE(ctx, QK_sqlite__exec(ctx, pResponse->db, "ROLLBACK TRANSACTION"));
  QK_TRY(ctx, QK_sqlite__close(ctx, &pResponse->db));
  QK_TRY(ctx, QK_file__close(ctx, &pResponse->file));
  *ppszBody = pResponse->path;
  pResponse->path = NULL;
  *pBodyKind = TAV_BODY_FILE;
done:;
}

static const char TEXT_FILTER_BASE_NOT_AN_OBJECT[] = "invalid header 'x-tavrin-filter-base' (not a JSON object)";

void tav_respond__dispatch(QK_context *ctx, const char *pszSupportMode, QK_mssql_connection *pConfigConn,
                           QK_mssql_connection *pDbfileConn, const QK_int32 *pDbfileVersion, const char *pszTempDir,
                           const char *pszRequestPath, const tav_user_identity *pIdentity,
                           const char *pszFilterBaseHeader, const char *pszIncomingPath, QK_int64 *pTxid,
                           QK_int64 *pTxidR, int *pStatus, int *pBodyKind, char **ppszBody, QK_vhash **ppHeaders,
                           char **ppszMessage) {
  char *pszQuery = NULL, *pszPath = NULL, *pszBody = NULL;
  QK_varray *pPairs = NULL;
  QK_vhash *pQuery = NULL, *pFilterBase = NULL;
  tav_pkg response = {NULL, NULL, NULL};
  int status = 500, bodyKind = TAV_BODY_NONE, bBadFilterBase = 0;
  size_t pathLength;
  *pTxid = 0;
  *pTxidR = 0;
  *ppHeaders = NULL;
  *ppszMessage = NULL;
  QK_TRY(ctx, tav_url__get_query(ctx, pszRequestPath, &pszQuery));
  if (pszQuery != NULL) {
    QK_TRY(ctx, tav_url__parse_query(ctx, pszQuery, &pPairs));
    QK_TRY(ctx, tav_url__pairs_to_vhash(ctx, pPairs, &pQuery));
  }
  /* The header is the client's: one that is no JSON object is refused by the pull or push it
   * came with, as any malformed key of theirs. */
  if (pszFilterBaseHeader != NULL) {
    QK_vhash__alloc__from_json(ctx, &pFilterBase, pszFilterBaseHeader);
    if (QK_context__has_error(ctx)) {
      QK_context__reset_error(ctx);
      bBadFilterBase = 1;
    }
  }
  QK_TRY(ctx, tav_url__get_path(ctx, pszRequestPath, &pszPath));
  pathLength = strlen(pszPath);
  if (pathLength < 5) {
    status = 404;
  } else if (bBadFilterBase && (memcmp(pszPath + pathLength - 5, "/pull", 5) == 0 ||
                                memcmp(pszPath + pathLength - 5, "/push", 5) == 0)) {
    status = 400;
    QK_TRY(ctx, QK_strdup(ctx, TEXT_FILTER_BASE_NOT_AN_OBJECT, &pszBody));
  } else if (memcmp(pszPath + pathLength - 5, "/pull", 5) == 0) {
    void *pUserData = NULL;
    QK_context__get_user_data(ctx, &pUserData);
    tav_request_handle_head *p_request_handle = (tav_request_handle_head *)pUserData;
    QK_VERIFY(ctx, p_request_handle != NULL);
    p_request_handle->cancel_enabled = 1;
    QK_TRY(ctx, QK_context__check_cancel(ctx));
    QK_TRY(ctx, run_pull(ctx, pConfigConn, pDbfileConn, pDbfileVersion, pszTempDir, pQuery, pFilterBase, pIdentity,
                         &status, &response, &pszBody, ppHeaders, ppszMessage));
  } else if (memcmp(pszPath + pathLength - 5, "/push", 5) == 0) {
    QK_TRY(ctx,
           run_push(ctx, pszSupportMode, pConfigConn, pDbfileConn, pDbfileVersion, pszTempDir, pQuery, pFilterBase,
                    pszIncomingPath, pIdentity, pTxid, pTxidR, &status, &response, &pszBody, ppHeaders, ppszMessage));
  } else {
    status = 404;
  }
  QK_TRY(ctx, choose_body(ctx, &response, &pszBody, &bodyKind));
done:
  if (QK_context__has_error(ctx)) map_error(ctx, &response, &pszBody, &status, &bodyKind);
  *pStatus = status;
  *pBodyKind = bodyKind;
  *ppszBody = pszBody;
  QK_RELEASE(ctx, QK_free(ctx, pszQuery));
  QK_RELEASE(ctx, QK_free(ctx, pszPath));
  QK_RELEASE(ctx, QK_varray__free(ctx, pPairs));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pQuery));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pFilterBase));
}

/* Bytes of a work file, 0 for none. */
static void file_size(QK_context *ctx, const char *pszPath, QK_int64 *pSize) {
  QK_uint64 size = 0;
  *pSize = 0;
  if (pszPath == NULL || pszPath[0] == '\0') goto done;
  QK_TRY(ctx, QK_fsobj__length(ctx, pszPath, &size, NULL));
  *pSize = (QK_int64)size;
done:;
}

/* The request-log row, under the retry rule of the pull's and push's transactions: a push
 * committed before it must not be answered 500 for a deadlock on the log table alone. */
static void log_request_retried(QK_context *ctx, QK_mssql_connection *pConfigConn, const char *pszRequestPath,
                                QK_int64 unixTime, const char *pszClientAddress, QK_int64 requestSize,
                                QK_int64 responseSize, int status, QK_int64 elapsedMs, QK_int64 txid, QK_int64 txidR,
                                const tav_retry_pacing *pPacing) {
  for (int attempt = 1;; attempt++) {
    g_mssql_backend_ops.log_request(ctx, pConfigConn, pszRequestPath, unixTime, pszClientAddress, requestSize,
                                    responseSize, status, elapsedMs, txid, txidR);
    if (!QK_context__error_equals(ctx, QK_ERR_DEADLOCK_VICTIM) && !QK_context__error_equals(ctx, QK_ERR_BUSY_RETRY))
      break;
    if (attempt >= TAV_RETRY_MAX_ATTEMPTS) break;
    QK_context__reset_error(ctx);
    tav_respond__retry_pause(pPacing, attempt);
  }
  QK_CHECK(ctx);
done:;
}

void tav_respond__handle_request_paced(QK_context *ctx, const char *pszSupportMode, QK_mssql_connection *pConfigConn,
                                       QK_mssql_connection *pDbfileConn, const QK_int32 *pDbfileVersion,
                                       const char *pszTempDir, const char *pszClientAddress, const char *pszRequestPath,
                                       const tav_user_identity *pIdentity, const char *pszFilterBaseHeader,
                                       const char *pszIncomingPath, int *pStatus, int *pBodyKind, char **ppszBody,
                                       QK_vhash **ppHeaders, char **ppszMessage, const tav_retry_pacing *pPacing) {
  QK_int64 startMs = 0, endMs = 0, txid = 0, txidR = 0, requestSize = 0, responseSize = 0;
  int status = 0, bodyKind = TAV_BODY_NONE;
  char *pszBody = NULL, *pszMessage = NULL;
  QK_vhash *pHeaders = NULL;
  QK_ARG_NOT_NULL(ctx, pStatus);
  QK_ARG_NOT_NULL(ctx, pBodyKind);
  QK_ARG_NOT_NULL(ctx, ppszBody);
  QK_ARG_NOT_NULL(ctx, ppHeaders);
  QK_ARG_NOT_NULL(ctx, ppszMessage);
  QK_TRY(ctx, QK_time__now_ms(ctx, &startMs));
  tav_respond__dispatch(ctx, pszSupportMode, pConfigConn, pDbfileConn, pDbfileVersion, pszTempDir, pszRequestPath,
                        pIdentity, pszFilterBaseHeader, pszIncomingPath, &txid, &txidR, &status, &bodyKind, &pszBody,
                        &pHeaders, &pszMessage);
  QK_TRY(ctx, QK_time__now_ms(ctx, &endMs));
  QK_TRY(ctx, file_size(ctx, pszIncomingPath, &requestSize));
  if (bodyKind == TAV_BODY_TEXT)
    responseSize = (QK_int64)strlen(pszBody);
  else if (bodyKind == TAV_BODY_FILE)
    QK_TRY(ctx, file_size(ctx, pszBody, &responseSize));
  QK_TRY(ctx, log_request_retried(ctx, pConfigConn, pszRequestPath, endMs / 1000, pszClientAddress, requestSize,
                                  responseSize, status, endMs - startMs, txid, txidR, pPacing));
  *pStatus = status;
  *pBodyKind = bodyKind;
  *ppszBody = pszBody;
  *ppHeaders = pHeaders;
  *ppszMessage = pszMessage;
  pszBody = pszMessage = NULL;
  pHeaders = NULL;
done:
  /* A file body that is not handed out would stay in the temporary directory. */
  if (pszBody != NULL && bodyKind == TAV_BODY_FILE) QK_RELEASE(ctx, QK_fsobj__remove_file(ctx, pszBody));
  QK_RELEASE(ctx, QK_free(ctx, pszBody));
  QK_RELEASE(ctx, QK_free(ctx, pszMessage));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pHeaders));
}

void tav_respond__handle_request(QK_context *ctx, const char *pszSupportMode, QK_mssql_connection *pConfigConn,
                                 QK_mssql_connection *pDbfileConn, const QK_int32 *pDbfileVersion,
                                 const char *pszTempDir, const char *pszClientAddress, const char *pszRequestPath,
                                 const tav_user_identity *pIdentity, const char *pszFilterBaseHeader,
                                 const char *pszIncomingPath, int *pStatus, int *pBodyKind, char **ppszBody,
                                 QK_vhash **ppHeaders, char **ppszMessage) {
  QK_TRY(ctx, tav_respond__handle_request_paced(ctx, pszSupportMode, pConfigConn, pDbfileConn, pDbfileVersion,
                                                pszTempDir, pszClientAddress, pszRequestPath, pIdentity,
                                                pszFilterBaseHeader, pszIncomingPath, pStatus, pBodyKind, ppszBody,
                                                ppHeaders, ppszMessage, NULL));
done:;
}

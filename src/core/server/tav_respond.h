/* tav_respond: the door of the sync engine. The host opens a request's connections here,
 * then hands the request over once: the engine picks the pull or push handler by the path,
 * turns whatever error the handler left into a status and a text body, writes the request-log
 * row and gives back status, body, headers and an event-log message for the host to send. */
#ifndef TAV_RESPOND_H
#define TAV_RESPOND_H

#include "qk/qk_context.h"
#include "qk/qk_vhash.h"

struct QK_mssql_connection;
struct tav_backend_ops;
struct tav_retry_pacing;
struct tav_user_identity;

/* What the host stores as the context's user data: the engine sets the flag to 1 when the
 * client's connection is worth watching (the rest of the host's record is its own). */
typedef struct tav_request_handle_head {
  QK_int32 cancel_enabled;
} tav_request_handle_head;

/* The configuration connection, the dbfile's registry row (its format version in *pVersion)
 * and, when the row names one, the dbfile's own connection (NULL when its tables live in the
 * configuration database). An unregistered dbfile is no error: *pbFound 0. A bad name is 63. Nothing is handed out on
 * failure. The caller closes both connections and frees the scheme text (NULL when the row
 * has none). ops is the store's operations table (the host's: &g_mssql_backend_ops). */
void tav_respond__open_backend(QK_context *ctx, const struct tav_backend_ops *ops, const char *pszOdbcConnectionString,
                               const char *pszDbfile, int *pbFound, QK_int32 *pVersion,
                               QK_mssql_connection **ppConfigConn, QK_mssql_connection **ppDbfileConn,
                               char **ppszScheme);
/* The dbfile's registry row: whether it is registered and its format version. The version the
 * host read on opening the connections (pKnownVersion, opt) stands for the row; without it the
 * row is read on the configuration connection. */
void tav_respond__dbfile_version(QK_context *ctx, const struct tav_backend_ops *ops, QK_mssql_connection *pConfigConn,
                                 const char *pszDbfile, const QK_int32 *pKnownVersion, int *pbFound,
                                 QK_int32 *pVersion);
/* The connection of another registered dbfile's database, or NULL when its tables live in
 * the configuration database or the name is not registered. The caller closes it. */
void tav_respond__open_dbfile_backend(QK_context *ctx, const struct tav_backend_ops *ops,
                                      const char *pszOdbcConnectionString, QK_mssql_connection *pConfigConn,
                                      const char *pszDbfile, QK_mssql_connection **ppConn);

/* Runs the handler the path names and returns free of errors: a handler's error becomes 500
 * with the detailed error text as body, a cancelled request 499 without body. Body kinds are
 * TAV_BODY_NONE, _TEXT (a NUL-terminated text) and _FILE (the path of a response file in
 * pszTempDir, which the caller sends and deletes). Body, headers (NULL for none) and message
 * (NULL for none) are the caller's; free with QK_free and QK_vhash__free. txid and txid_r are
 * those of an imported push, else 0. pDbfileVersion is the format version of the registry row
 * the host read on opening the connections (NULL: the handler reads the row itself). */
void tav_respond__dispatch(QK_context *ctx, const char *pszSupportMode, QK_mssql_connection *pConfigConn,
                           QK_mssql_connection *pDbfileConn, const QK_int32 *pDbfileVersion, const char *pszTempDir,
                           const char *pszRequestPath, const struct tav_user_identity *pIdentity,
                           const char *pszFilterBaseHeader, const char *pszIncomingPath, QK_int64 *pTxid,
                           QK_int64 *pTxidR, int *pStatus, int *pBodyKind, char **ppszBody, QK_vhash **ppHeaders,
                           char **ppszMessage);
/* Dispatches the request and writes its row into the request log of the configuration
 * database; a deadlock or busy error on the log row is retried as the pull's and push's
 * transactions are. A cancelled request or a failed log write is an error (nothing is handed
 * out); otherwise all five outputs are set as by tav_respond__dispatch. */
void tav_respond__handle_request(QK_context *ctx, const char *pszSupportMode, QK_mssql_connection *pConfigConn,
                                 QK_mssql_connection *pDbfileConn, const QK_int32 *pDbfileVersion,
                                 const char *pszTempDir, const char *pszClientAddress, const char *pszRequestPath,
                                 const struct tav_user_identity *pIdentity, const char *pszFilterBaseHeader,
                                 const char *pszIncomingPath, int *pStatus, int *pBodyKind, char **ppszBody,
                                 QK_vhash **ppHeaders, char **ppszMessage);
/* The same with the waits between tries of the log row given (NULL: the default). */
void tav_respond__handle_request_paced(QK_context *ctx, const char *pszSupportMode, QK_mssql_connection *pConfigConn,
                                       QK_mssql_connection *pDbfileConn, const QK_int32 *pDbfileVersion,
                                       const char *pszTempDir, const char *pszClientAddress, const char *pszRequestPath,
                                       const struct tav_user_identity *pIdentity, const char *pszFilterBaseHeader,
                                       const char *pszIncomingPath, int *pStatus, int *pBodyKind, char **ppszBody,
                                       QK_vhash **ppHeaders, char **ppszMessage,
                                       const struct tav_retry_pacing *pPacing);

#endif

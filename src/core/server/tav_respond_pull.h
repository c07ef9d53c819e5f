/* tav_respond pull: the answer to "/pull". Reads the pull's query keys and the client's
 * baseline, checks the dbfile's format version and the user's "pull" permission, builds the
 * download package inside a SQL Server transaction that is retried on deadlocks and busy
 * conditions, adds the status document when the builder produced one, compresses the
 * package and chooses status and protocol code. The retried transaction and the status
 * writer serve the push as well.
 *
 * The store is reached through the operations table passed in (`ops`). */
#ifndef TAV_RESPOND_PULL_H
#define TAV_RESPOND_PULL_H

#include "qk/qk_context.h"
#include "qk/qk_mssql.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"
#include "server/tav_db_mssql.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_respond_access.h"
#include "server/tav_respond_protocol.h"

/* The format version of dbfiles this server serves. */
#define TAV_DBFILE_FORMAT_VERSION 17

/* How the retry loop waits between attempts: attempt x random_byte() x 4 milliseconds. The
 * default (NULL pacing) takes the byte from SQLite's randomness and really sleeps. */
typedef struct tav_retry_pacing {
  int (*random_byte)(void *pData);              /* 0 to 255 */
  void (*sleep_ms)(void *pData, QK_uint32 ms);
  void *pData;
} tav_retry_pacing;

/* The wait before the next try after attempt number `attempt` failed (NULL: the default). */
void tav_respond__retry_pause(const tav_retry_pacing *pPacing, int attempt);

/* Attempts of the retried transaction before the answer is "busy". */
#define TAV_RETRY_MAX_ATTEMPTS 11

/* Answers a pull from the query document. Outputs: the HTTP status, the response package
 * (its path: the compressed package to send, or NULL), a text body (NULL for none; QK_free),
 * the header document (NULL for none) and the message for the event log (NULL for none).
 * pDbConn is the dbfile's own connection, or NULL when its tables live in the configuration
 * database. pDbfileVersion is the registry row's format version when the caller read it
 * already (NULL: read here). An error leaves the answer to the caller (500). */
void tav_respond__pull_request(QK_context *ctx, const tav_backend_ops *ops, QK_mssql_connection *pConfigConn,
                               QK_mssql_connection *pDbConn, const QK_int32 *pDbfileVersion, const char *pszTempDir,
                               const QK_vhash *pQuery, const QK_vhash *pFilterBase, const tav_user_identity *pIdentity,
                               int *pStatus, tav_pkg *pResponse, char **ppszBody, QK_vhash **ppHeaders,
                               QK_string **ppMessage);

/* The pull itself, after the query was read. *pStatus is the status chosen (200, 244, 245,
 * 246), *pProtocolCode a protocol code (0 for none); pResponse receives the compressed
 * package, or nothing when there is nothing to send. */
void tav_respond__pull(QK_context *ctx, const tav_backend_ops *ops, QK_mssql_connection *pConfigConn,
                       QK_mssql_connection *pDbConn, const QK_int32 *pDbfileVersion, int pv,
                       const tav_user_identity *pIdentity, QK_int64 fid, const char *pszDbfile, const char *pszFilter,
                       const QK_vhash *pFilterBase, int bRstamps, tav_baseline *pBaseline,
                       const QK_uint8 *pPendingRstamp, const char *pszTempDir, int *pStatus, tav_pkg *pResponse,
                       int *pProtocolCode, QK_string **ppMessage);

/* One retried transaction around the download package builder: at most 11 attempts on
 * deadlock (90) and busy (91) errors, rolled back between attempts unless SQL Server chose
 * the transaction as deadlock victim; giving up is protocol code 4808 with the busy error's
 * text as message. Misconfiguration (312) becomes 5576, a purged baseline (71) 5832; other
 * errors stay. pszFilter (opt) is the filter id the client names; a filter the server no
 * longer holds makes the package a full resend. pkg receives the package (or none),
 * *ppStatusDoc the builder's status. The low deadlock priority is the session's: the caller
 * set it on h's connection before (reading the access list does), and it outlives rollbacks. */
void tav_respond__run_with_retry(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                                 int push_mode, const tav_user_identity *pIdentity, const char *pszFilter,
                                 const QK_vhash *pFilterBase, int full_resend, tav_baseline *pBaseline,
                                 const QK_uint8 *pPendingRstamp, const char *pszTempDir, tav_pkg *pkg,
                                 QK_vhash **ppStatusDoc, int *pProtocolCode, QK_string **ppMessage);
/* The same with the waits of the given pacing (NULL: the default). */
void tav_respond__run_with_retry_paced(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                                       int push_mode, const tav_user_identity *pIdentity, const char *pszFilter,
                                       const QK_vhash *pFilterBase, int full_resend, tav_baseline *pBaseline,
                                       const QK_uint8 *pPendingRstamp, const char *pszTempDir, tav_pkg *pkg,
                                       QK_vhash **ppStatusDoc, int *pProtocolCode, QK_string **ppMessage,
                                       const tav_retry_pacing *pPacing);

/* Writes the status document into the package (created in dir when it has no path yet):
 * the 'HTTP 244' row of p$tx below version 6, the p$gen header with "pv" added from 6 on;
 * then commits and closes the package's connection. */
void tav_respond__write_status_json(QK_context *ctx, const char *pszTempDir, int pv, QK_vhash *pStatusDoc,
                                    tav_pkg *pkg);

#endif

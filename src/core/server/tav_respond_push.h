/* tav_respond push: the answer to "/push". A client sends its own changes as a package file,
 * zlib-compressed in the request body with its SHA-1 in the query. The push request checks
 * the dbfile and the upload, reads and applies the package (with the store, in one retried
 * SQL Server transaction) and answers with the follow-up package (the server's changes the
 * client lacks) as a VCDIFF delta against the very package the client pushed, or with a
 * status package, "(rebased)" for old clients that asked for no follow-up, or a refusal.
 *
 * The store is reached through the operations table passed in (`ops`). */
#ifndef TAV_RESPOND_PUSH_H
#define TAV_RESPOND_PUSH_H

#include "qk/qk_context.h"
#include "qk/qk_mssql.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"
#include "server/tav_db_mssql.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_respond_access.h"
#include "server/tav_respond_protocol.h"
#include "server/tav_respond_pull.h"

/* Outcomes of reading a pushed package. */
#define TAV_PUSH_OUTCOME_NORMAL 0
#define TAV_PUSH_OUTCOME_RECOVERED 1      /* rolled-back data came back: answer with a full resend */
#define TAV_PUSH_OUTCOME_PURGED_REFUSED 2 /* baseline in purged history, refused (5832) */
#define TAV_PUSH_OUTCOME_PURGED_DROPPED 3 /* baseline in purged history, changes dropped */

/* Dbfile rule situations the push reads. */
#define TAV_DBFILE_SITUATION_RECOVERY_FAILED 2
#define TAV_DBFILE_SITUATION_BASELINE_PURGED 98

/* Answers a push from the query document. pszBodyPath is the saved request body (NULL when it
 * was empty); pReserved is not read. Outputs: the status, the response package (its path: the
 * file to send), a text body (NULL for none; QK_free), the header document (NULL for none),
 * the message for the event log (NULL for none) and the txids of the import and of a recovery
 * for the request log (both opt). pDbConn is the dbfile's own connection, or NULL when its
 * tables live in the configuration database; pDbfileVersion the registry row's format version
 * when the caller read it already (NULL: read here). A client that went away is error 251; any other
 * error is answered here (400 or 500 with the detailed error text). */
void tav_respond__push_request(QK_context *ctx, const tav_backend_ops *ops, const char *pszSupportMode, void *pReserved,
                               QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbConn,
                               const QK_int32 *pDbfileVersion, const char *pszTempDir, const QK_vhash *pQuery,
                               const QK_vhash *pFilterBase, const char *pszBodyPath, const tav_user_identity *pIdentity,
                               QK_int64 *pTxid, QK_int64 *pTxidR, int *pStatus, tav_pkg *pResponse, char **ppszBody,
                               QK_vhash **ppHeaders, QK_string **ppMessage);

/* The push itself, after the query was read. *pStatus is the status chosen when there is no
 * protocol code; *ppszProtocolMessage (QK_free) the text of a 406 answer. */
void tav_respond__push(QK_context *ctx, const tav_backend_ops *ops, const char *pszSupportMode, void *pReserved,
                       QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbConn, const QK_int32 *pDbfileVersion,
                       QK_int64 fid, const tav_user_identity *pIdentity, const char *pszDbfile, const char *pszFilter,
                       const QK_vhash *pFilterBase, const char *pszBodyPath, const char *pszHash,
                       tav_baseline *pBaseline, int bNrp, const char *pszTempDir, tav_pkg *pResponse, int *pStatus,
                       int *pProtocolCode, QK_string **ppMessage, char **ppszProtocolMessage, int *pPv, QK_int64 *pTxid,
                       QK_int64 *pTxidR);

/* Opens the work package (path set, no connection), reads it and applies it. An error is the
 * failure; a protocol code without an error a refusal (its text in *ppMessage). */
void tav_respond__read_pushed_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                      const QK_varray *pAcl, const tav_user_identity *pIdentity, QK_int64 fid,
                                      tav_pkg *pkg, int *pOutcome, int *pProtocolCode, int *pPv,
                                      int *pbBaselineMissing, QK_int64 *pBaselinePosition, QK_int64 *pTxid,
                                      QK_int64 *pTxidR, QK_string **ppMessage);
/* The same with the waits of the given pacing between attempts (NULL: the default). */
void tav_respond__read_pushed_package_paced(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                            const QK_varray *pAcl, const tav_user_identity *pIdentity, QK_int64 fid,
                                            tav_pkg *pkg, int *pOutcome, int *pProtocolCode, int *pPv,
                                            int *pbBaselineMissing, QK_int64 *pBaselinePosition, QK_int64 *pTxid,
                                            QK_int64 *pTxidR, QK_string **ppMessage, const tav_retry_pacing *pPacing);

/* The kinds of row operations the package holds, per table of the schema in its order: a new
 * list of {"op": "tbl_add_row" | "tbl_update_row" | "tbl_delete_row", "tbl": id}. */
void tav_respond__census_package_ops(QK_context *ctx, tav_defin *defin, sqlite3 *db, QK_varray **ppCensus);

#endif

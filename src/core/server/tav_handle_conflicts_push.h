/* Applying a pushed package: adapting it to schema changes the server made since the client's
 * schema, settling its conflicts, having the store import what remains under a new
 * transaction, checking write-blocking filters and handing the audit rows to the store. All of
 * it runs inside the push's SQL Server transaction and the package's SQLite transaction; the
 * caller commits or rolls back. */
#ifndef TAV_HANDLE_CONFLICTS_PUSH_H
#define TAV_HANDLE_CONFLICTS_PUSH_H

#include <sqlite3.h>

#include "common/tav_filter.h"
#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "qk/qk_vhash.h"
#include "server/tav_db_mssql.h"

/* Adjusts p$u$/p$rd$ of each table of the client's schema document ("tbls": id -> {"txid",
 * "cols": {col id -> {"name"}}}) to the server's schema: a table the server dropped or
 * rebuilt loses its changes; columns the server dropped lose their values; renamed columns
 * keep them under the new name. */
void tav_push__resolve_schema_changes(QK_context *ctx, sqlite3 *db, tav_defin *defin, QK_vhash *client_schema);

/* Settles, imports and audits the package. The flags are only ever set to 1; txid (opt) gets
 * the transaction the push was imported under. */
void tav_push__apply_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                             tav_filter *filter, const QK_uint8 *rstamp, sqlite3 *db, QK_int64 fid,
                             int *pbRejected, int *pbPurged, int *pbWriteBlockViolated, QK_int64 *pTxid);

/* Stamps the package's audit rows (p$audit must exist) with txid and has the store copy them. */
void tav_push__import_audit_rows(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, sqlite3 *db,
                                 QK_int64 txid);

#endif

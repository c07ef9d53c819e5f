/* Download packages: what a client that pulls (or gets the follow-up of its push) receives.
 * The builders decide which tables go into the package and how each is exported, let the
 * store write the rows through the operations table, and fill the package header: p$tx for
 * clients that count transactions (versions 2 to 5, and version-6 clients still on a txid
 * baseline, whose package carries the upgrade to generations), p$gen for clients that count
 * generations (version 6).
 *
 * Everything runs inside the request's SQL Server transaction, whose export generation is
 * fixed; the builders never commit or roll it back. A finished package is committed and its
 * connection closed (the path stays); a package the builder could not finish is left for the
 * caller's tav_pkg__close. A "status" (tav_status) is a document the caller writes into the
 * package when the answer needs more than rows; when a builder hands one out it stops there
 * and leaves any package it began open for the status row. */
#ifndef TAV_HANDLE_CONFLICTS_DOWNLOAD_H
#define TAV_HANDLE_CONFLICTS_DOWNLOAD_H

#include <sqlite3.h>

#include "common/tav_filter.h"
#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"
#include "server/tav_db_mssql.h"
#include "server/tav_export_types.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_respond_protocol.h"

/* The history under the client's baseline was purged and an older client cannot recover. */
#define TAV_ERR_BASELINE_PURGED QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 71)

/* ---- Entry ---- */

/* Builds the download package for the baseline: the generation scheme for version-6 clients
 * on a generation baseline, else the transaction-id scheme. push_mode: the package answers a
 * push and is sent even without table changes. full_resend: every table from scratch, with
 * its discard marker, and the schema (nothing the client holds is trusted). filter and
 * prev_filter (each opt) are the same object when the client's filter did not change.
 * filter_base (opt) is the client's filter base; a package that answers one that names
 * anything carries the client's new base, an empty one when no filtered set stands. *ppStatus
 * stays NULL unless a status answer is needed. Without anything to send pkg stays empty. */
void tav_export__package(QK_context *ctx, const char *dir, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                         int push_mode, int full_resend, tav_baseline *baseline, QK_int64 export_generation,
                         const QK_uint8 *pending_rstamp, tav_filter *filter, tav_filter *prev_filter,
                         const QK_vhash *filter_base, QK_int64 filter_txid, tav_pkg *pkg, QK_vhash **ppStatus);

/* ---- Transaction-id scheme ---- */

/* The package of a client on a txid baseline (versions 2 to 5; version 6: the upgrade). The
 * baseline's missing txids may be extended by the schema-change txid the client lacks. */
void tav_export__txid_package(QK_context *ctx, const char *dir, const tav_backend_ops *ops, tav_db_handle *h,
                              int pv, int push_mode, int full_resend, tav_baseline *baseline,
                              const QK_uint8 *pending_rstamp, tav_filter *filter, tav_filter *prev_filter,
                              const QK_vhash *filter_base, QK_int64 filter_txid, QK_int64 export_generation,
                              tav_pkg *pkg, QK_vhash **ppStatus);

/* The "245" package for a client whose transaction count does not match the server's
 * (server_count): the row versions it should hold per table (p$rv$). Left open for the
 * status row. */
void tav_export__rebase_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                                tav_filter *prev_filter, const tav_baseline *baseline, QK_int64 server_count,
                                tav_filter *filter, const char *dir, tav_pkg *pkg);

/* ---- Per-table export state ---- */

/* The table's export state (its entry of states, created when absent; *ppState is borrowed
 * from states): where-clauses of both filters, the filtered/unfiltered flags, the filtered
 * parents and self references, whether the baseline can be trusted, whether the set must be
 * refiltered, and the columns to dump. time_of_sync and prev_time_of_sync (opt) feed the
 * time-of-sync macro; prev_set_hash (opt) is the set digest the client holds. */
void tav_export__table_state(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin, int pv,
                             int write_blocking_only, tav_filter *filter, const char *time_of_sync,
                             tav_filter *prev_filter, const char *prev_time_of_sync, int schema_changed,
                             const tav_export_range *range, const char *tbl_id, const char *prev_set_hash,
                             QK_vhash *states, tav_export_state **ppState);
/* Fills the state's "needs-column-dump" (column id -> name): the columns the previous filter
 * (opt) excluded, and with schema_changed the columns taken into sync inside the range. */
void tav_export__find_column_dumps(QK_context *ctx, int schema_changed, const tav_export_range *range,
                                   const char *tbl_id, tav_defin *defin, tav_filter *prev_filter,
                                   tav_export_state *state);
/* 1 when first <= txid <= last or txid is one of txids (opt); a txid beyond last means the
 * schema changed under the export: 91. */
void tav_export__txid_in_range(QK_context *ctx, QK_int64 txid, QK_int64 first, QK_int64 last, const QK_varray *txids,
                               int *pbInRange);

/* ---- Package statements ---- */

/* The schema JSON (without host internals): row -1 of p$tx from version 4 on, p$s below. */
void tav_export__write_schema(QK_context *ctx, sqlite3 *db, int pv, QK_int64 schema_txid, tav_defin *defin);
/* The insert of one exported row version into p$u$<id>: row id, txid (versions below 6) or
 * the two generations (version 6), then every prepared column. */
void tav_export__build_row_insert(QK_context *ctx, int pv, tav_defin *defin, const char *tbl_id, QK_string **ppSql);
/* The insert of one column-dump row: the key columns, then the dumped columns (a document
 * column id -> column name). */
void tav_export__build_dump_insert(QK_context *ctx, tav_defin *defin, const char *tbl_id, const QK_vhash *dump,
                                   QK_string **ppSql);

/* ---- Generation scheme ---- */

/* The package of a version-6 client on a generation baseline (generation 0: none). */
void tav_export__generation_package(QK_context *ctx, const char *dir, const tav_backend_ops *ops, tav_db_handle *h,
                                    int pv, int push_mode, QK_int64 generation, QK_int64 generation_id,
                                    int full_resend, QK_int64 export_generation, const QK_uint8 *pending_rstamp,
                                    tav_filter *filter, tav_filter *prev_filter, const QK_vhash *filter_base,
                                    QK_int64 filter_txid, tav_pkg *pkg, QK_vhash **ppStatus);

/* ---- Stamp-only and empty packages ---- */

/* With a handle the stamp-only package of the txid scheme (tav_export__rstamp_rows); without
 * one an empty package of the version, and *pbNotClone (opt) = txid > 0. Finished either way. */
void tav_export__rstamp_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv, QK_int64 txid,
                                const QK_uint8 *rstamp, QK_int64 rebaseid, int *pbNotClone, const char *dir,
                                tav_pkg *pkg);
/* The server's transaction rows after the client's txid (all of them when the server does
 * not know the client's baseline: *pbNotClone 1), and the client's own row marked
 * 'last_sync_txid'. */
void tav_export__rstamp_rows(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv, QK_int64 txid,
                             const QK_uint8 *rstamp, QK_int64 rebaseid, int *pbNotClone, const char *dir,
                             tav_pkg *pkg);

/* ---- Write-blocking filters ---- */

/* Sets *pbViolated to 1 when the transaction txid wrote or ended a row version outside a
 * write-blocking where-clause of the filter, to 0 when a filtered table it changed kept to
 * its clauses; untouched when it changed no filtered table. */
void tav_export__write_block_violated(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                      tav_filter *filter, QK_int64 txid, int *pbViolated);

#endif

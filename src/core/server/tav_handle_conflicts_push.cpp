/* Applying a pushed package: schema adjustment, settling, import and audit. */
#include "server/tav_handle_conflicts_push.h"

#include <stdio.h>
#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "common/tav_utils.h"
#include "qk/qk_string.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_handle_conflicts_download.h"
#include "server/tav_handle_conflicts_resolve.h"

static const char DROP_ROWS_TABLE_SQL[] = "DROP TABLE \"p$u$%s\"";
static const char DROP_DELTAS_TABLE_SQL[] = "DROP TABLE \"p$rd$%s\"";
static const char RENAME_ROWS_SQL[] = "ALTER TABLE \"p$u$%s\" RENAME TO \"old_p$u$%s\"";
static const char SELECT_ITEM_SQL[] = "%su.\"%s\" \"%s\"";
static const char REBUILD_ROWS_SQL[] = "CREATE TABLE \"p$u$%s\" AS SELECT %s%s FROM \"old_p$u$%s\" u";
static const char DROP_OLD_ROWS_SQL[] = "DROP TABLE \"old_p$u$%s\"";
static const char SET_AUDIT_TXID_SQL[] = "UPDATE p$audit SET txid=?";

/* Internal columns a rebuilt row table keeps, when the old one has them. */
static const char *const KEPT_INTERNAL_COLUMNS[] = {"z_rid", "z_txid", "z_gen_del", "z_gen_add"};

/* ---- Schema changes ---- */

static void drop_if_exists(QK_context *ctx, sqlite3_stmt *pExists, sqlite3 *db, const char *prefix, const char *fmt,
                           const char *tbl_id) {
  int bExists = 0;
  QK_TRY(ctx, tav_pkg__table_exists(ctx, pExists, prefix, tbl_id, &bExists));
  if (bExists) QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, fmt, tbl_id));
done:;
}

/* The client's columns of the table that the server still has, selected under the server's
 * names; *pbSame when every client column is still there under the same name. */
static void build_select_list(QK_context *ctx, tav_defin *defin, QK_vhash *client_schema, const char *tbl_id,
                              QK_string *pList, int *pbSame) {
  QK_uint32 count = 0;
  int n = 0;
  *pbSame = 1;
  QK_TRY(ctx, tav_schema__count_columns(ctx, client_schema, tbl_id, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *col_id = NULL;
    const char *client_name = NULL;
    const char *server_name = NULL;
    int bHas = 0;
    QK_TRY(ctx, tav_schema__get_column_id_at(ctx, client_schema, tbl_id, (int)i, &col_id));
    QK_TRY(ctx, tav_schema__get_column_name(ctx, client_schema, tbl_id, col_id, &client_name));
    QK_TRY(ctx, tav_defin__has_column(ctx, defin, tbl_id, col_id, &bHas));
    if (!bHas) {
      *pbSame = 0;
      continue;
    }
    QK_TRY(ctx, tav_defin__get_column_name(ctx, defin, tbl_id, col_id, &server_name));
    if (strcmp(client_name, server_name) != 0) *pbSame = 0;
    QK_TRY(ctx, QK_string__append__format(ctx, pList, SELECT_ITEM_SQL, n++ ? "," : "", client_name, server_name));
  }
done:;
}

static void rebuild_rows_table(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_string *pList) {
  QK_string *pInternal = NULL;
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, RENAME_ROWS_SQL, tbl_id, tbl_id));
  if (QK_string__length_in_bytes(pList) == 0) {
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, DROP_DELTAS_TABLE_SQL, tbl_id));
  } else {
    char old_name[64];
    QK_TRY(ctx, QK_string__alloc(ctx, &pInternal));
    snprintf(old_name, sizeof old_name, "old_p$u$%s", tbl_id);
    /* A generation package keeps its generation columns: the recovery and the fold read them. */
    for (size_t i = 0; i < sizeof KEPT_INTERNAL_COLUMNS / sizeof KEPT_INTERNAL_COLUMNS[0]; i++) {
      int bHas = 0;
      QK_TRY(ctx, QK_sqlite__table_has_column(ctx, db, old_name, KEPT_INTERNAL_COLUMNS[i], &bHas));
      if (bHas) QK_TRY(ctx, QK_string__append__format(ctx, pInternal, "u.%s, ", KEPT_INTERNAL_COLUMNS[i]));
    }
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, REBUILD_ROWS_SQL, tbl_id, QK_string__sz(pInternal),
                                       QK_string__sz(pList), tbl_id));
  }
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, DROP_OLD_ROWS_SQL, tbl_id));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pInternal));
}

void tav_push__resolve_schema_changes(QK_context *ctx, sqlite3 *db, tav_defin *defin, QK_vhash *client_schema) {
  sqlite3_stmt *pExists = NULL;
  QK_string *pList = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, client_schema);
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pExists, "%s", TAV_PKG_TABLE_EXISTS_SQL));
  QK_TRY(ctx, QK_string__alloc(ctx, &pList));
  QK_TRY(ctx, tav_schema__count_tables(ctx, client_schema, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *tbl_id = NULL;
    QK_int64 client_txid = 0, server_txid = 0;
    int bHasTable = 0, bSame = 0, bRows = 0;
    QK_TRY(ctx, tav_schema__get_table_id_at(ctx, client_schema, (int)i, &tbl_id));
    QK_TRY(ctx, tav_defin__has_table(ctx, defin, tbl_id, &bHasTable));
    if (bHasTable) {
      QK_TRY(ctx, tav_schema__get_table_txid(ctx, client_schema, tbl_id, &client_txid));
      QK_TRY(ctx, tav_defin__get_table_txid(ctx, defin, tbl_id, &server_txid));
    }
    /* A client schema lists every table; only the changed ones have package tables. */
    if (!bHasTable || client_txid != server_txid) {
      QK_TRY(ctx, drop_if_exists(ctx, pExists, db, TAV_PKG_ROWS_PREFIX, DROP_ROWS_TABLE_SQL, tbl_id));
      QK_TRY(ctx, drop_if_exists(ctx, pExists, db, TAV_PKG_ROW_DELTAS_PREFIX, DROP_DELTAS_TABLE_SQL, tbl_id));
      continue;
    }
    QK_TRY(ctx, QK_string__clear(ctx, pList));
    QK_TRY(ctx, build_select_list(ctx, defin, client_schema, tbl_id, pList, &bSame));
    if (bSame) continue;
    QK_TRY(ctx, tav_pkg__table_exists(ctx, pExists, TAV_PKG_ROWS_PREFIX, tbl_id, &bRows));
    if (!bRows) continue;
    QK_TRY(ctx, rebuild_rows_table(ctx, db, tbl_id, pList));
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pList));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pExists));
}

/* ---- Applying ---- */

void tav_push__import_audit_rows(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, sqlite3 *db,
                              QK_int64 txid) {
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", SET_AUDIT_TXID_SQL));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 1, txid));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_TRY(ctx, ops->import_audit(ctx, h, db));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

void tav_push__apply_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                             tav_filter *filter, const QK_uint8 *rstamp, sqlite3 *db, QK_int64 fid,
                             int *pbRejected, int *pbPurged, int *pbWriteBlockViolated, QK_int64 *pTxid) {
  sqlite3_stmt *pExists = NULL;
  QK_int64 txid = 0;
  int bAudit = 0, bWriteBlocking = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, rstamp);
  QK_ARG_NOT_NULL(ctx, pbRejected);
  QK_ARG_NOT_NULL(ctx, pbPurged);
  QK_ARG_NOT_NULL(ctx, pbWriteBlockViolated);
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pExists, "%s", TAV_PKG_TABLE_EXISTS_SQL));
  QK_TRY(ctx, tav_conflict__resolve_package(ctx, ops, h, defin, db, pbRejected, pbPurged));
  if (*pbRejected || *pbPurged) goto done;
  QK_TRY(ctx, ops->import_push(ctx, h, defin, filter, rstamp, db, fid, &txid));
  if (filter != NULL) QK_TRY(ctx, tav_filter__has_write_blocking(ctx, filter, &bWriteBlocking));
  if (bWriteBlocking) {
    QK_TRY(ctx, tav_export__write_block_violated(ctx, ops, h, filter, txid, pbWriteBlockViolated));
    if (*pbWriteBlockViolated) goto done;
  }
  QK_TRY(ctx, tav_pkg__table_exists(ctx, pExists, "p$", "audit", &bAudit));
  if (bAudit) QK_TRY(ctx, tav_push__import_audit_rows(ctx, ops, h, db, txid));
  if (pTxid != NULL) *pTxid = txid;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pExists));
}

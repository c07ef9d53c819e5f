/* Download packages of the transaction-id scheme, the per-table export state both schemes
 * share, and the package statements the builders prepare for the store. */
#include "server/tav_handle_conflicts_download.h"

#include <stdio.h>
#include <string.h>

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "common/tav_utils.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qksqlite/qk_sqlite.h"

/* ---- Helpers ---- */

static int rstamp_is_zero(const QK_uint8 *rstamp) { return rstamp == NULL || QK_guid__is_zero(rstamp); }

static void ensure_status(QK_context *ctx, QK_vhash **ppStatus) {
  if (*ppStatus == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, ppStatus));
done:;
}

/* Whether the client sent a filter base that names anything: a package that answers it must
 * carry the base the client holds now, even an empty one, or the client keeps set digests of
 * rows it no longer holds as a filter had them. */
static void holds_filter_base(QK_context *ctx, const QK_vhash *filter_base, int *pbHolds) {
  QK_uint32 count = 0;
  *pbHolds = 0;
  if (filter_base != NULL) QK_TRY(ctx, QK_vhash__count(ctx, filter_base, &count));
  *pbHolds = count > 0;
done:;
}

static void set_filter_hash(QK_context *ctx, QK_vhash **ppBase, const char *key, const char *hash) {
  if (*ppBase == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, ppBase));
  QK_TRY(ctx, QK_vhash__update__string(ctx, *ppBase, key, hash));
done:;
}

static void state_flag(QK_context *ctx, const QK_vhash *state, const char *key, int *pbValue) {
  *pbValue = 0;
  QK_TRY(ctx, QK_vhash__check__bool(ctx, state, key, pbValue));
done:;
}

static void dump_count(QK_context *ctx, const QK_vhash *state, QK_uint32 *pCount) {
  QK_vhash *pDump = NULL;
  *pCount = 0;
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, state, "needs-column-dump", &pDump));
  if (pDump != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pDump, pCount));
done:;
}

static void run_statement(QK_context *ctx, sqlite3_stmt *stmt) {
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, stmt, SQLITE_DONE));
done:;
}

/* "column-dump: <name>" markers, then the dumped values keyed by the key columns. */
static void column_dump(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, sqlite3 *db,
                             tav_defin *defin, const char *tbl_id, tav_export_state *state, tav_export_range *range,
                             const char *marker_sql) {
  QK_vhash *pDump = NULL;
  QK_string *pTargets = NULL, *pSelect = NULL, *pColumn = NULL, *pInsert = NULL;
  sqlite3_stmt *pStmt = NULL;
  QK_uint32 count = 0;
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, state, "needs-column-dump", &pDump));
  QK_TRY(ctx, QK_vhash__count(ctx, pDump, &count));
  QK_TRY(ctx, tav_defin__quoted_key_column_names(ctx, defin, tbl_id, &pTargets));
  QK_TRY(ctx, tav_defin__tsql_select_key_columns(ctx, defin, tbl_id, "rec", &pSelect));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszName = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair__sz(ctx, pDump, i, NULL, &pszName));
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, marker_sql, tbl_id, pszName));
    QK_TRY(ctx, QK_string__append__format(ctx, pTargets, ", \"%s\"", pszName));
    QK_TRY(ctx, tav_defin__tsql_select_column(ctx, defin, tbl_id, pszName, "rec", &pColumn));
    QK_TRY(ctx, QK_string__append__format(ctx, pSelect, ", %s", QK_string__sz(pColumn)));
    QK_RELEASE(ctx, QK_string__free(ctx, pColumn));
    pColumn = NULL;
  }
  QK_TRY(ctx, tav_export__build_dump_insert(ctx, defin, tbl_id, pDump, &pInsert));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", QK_string__sz(pInsert)));
  QK_TRY(ctx, ops->export_column_dump(ctx, h, defin, state, tbl_id, range, QK_string__sz(pTargets),
                                      QK_string__sz(pSelect), pStmt));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pTargets));
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pColumn));
  QK_RELEASE(ctx, QK_string__free(ctx, pInsert));
}

/* Names the table a failed export worked on in the pending error's message. */
static void add_table_context(QK_context *ctx, tav_defin *defin, const char *tbl_id, const char *verb) {
  const char *pszName = NULL;
  if (!QK_context__has_error(ctx) || tbl_id == NULL) return;
  QK_context__push_level(ctx);
  tav_defin__get_table_name(ctx, defin, tbl_id, &pszName);
  QK_context__pop_level(ctx);
  tav_err__add_context(ctx, tbl_id, verb, pszName);
}

/* Compact JSON of a document into a new string. */
static void to_json(QK_context *ctx, const QK_vhash *pvh, QK_string **ppJson) {
  QK_string *pJson = NULL;
  QK_TRY(ctx, QK_string__alloc(ctx, &pJson));
  QK_TRY(ctx, QK_vhash__to_json(ctx, pvh, pJson));
  *ppJson = pJson;
  pJson = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
}

/* Commits a finished package and closes its connection; the file stays for the caller. */
static void finish_package(QK_context *ctx, tav_pkg *pkg) {
  QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "COMMIT TRANSACTION"));
  QK_TRY(ctx, QK_sqlite__close(ctx, &pkg->db));
done:;
}

/* ---- Range test, statements, schema ---- */

void tav_export__txid_in_range(QK_context *ctx, QK_int64 txid, QK_int64 first, QK_int64 last, const QK_varray *txids,
                               int *pbInRange) {
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, pbInRange);
  *pbInRange = 0;
  if (txid > last) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "schema change during package export");
  if (txid >= first) {
    *pbInRange = 1;
    goto done;
  }
  if (txids != NULL) QK_TRY(ctx, QK_varray__count(ctx, txids, &count));
  for (QK_uint32 i = 0; i < count && !*pbInRange; i++) {
    QK_int64 t = 0;
    QK_TRY(ctx, QK_varray__get__int64(ctx, txids, i, &t));
    *pbInRange = t == txid;
  }
done:;
}

static const char s_schema_row_sql[] = "INSERT INTO p$tx (txid, scheme) VALUES (-1,?)";
static const char s_schema_table_row_sql[] = "INSERT INTO p$s (txid,json) VALUES (?,?)";

void tav_export__write_schema(QK_context *ctx, sqlite3 *db, int pv, QK_int64 schema_txid, tav_defin *defin) {
  QK_string *pJson = NULL;
  sqlite3_stmt *pStmt = NULL;
  QK_ARG_NOT_NULL(ctx, db);
  QK_TRY(ctx, tav_defin__to_json(ctx, defin, &pJson));
  if (pv >= 4) {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", s_schema_row_sql));
    QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, 1, QK_string__sz(pJson)));
  } else {
    QK_TRY(ctx, QK_sqlite__exec(ctx, db, TAV_PKG_SCHEMA_TABLE_SQL));
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", s_schema_table_row_sql));
    QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 1, schema_txid));
    QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, 2, QK_string__sz(pJson)));
  }
  QK_TRY(ctx, run_statement(ctx, pStmt));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
}

void tav_export__build_row_insert(QK_context *ctx, int pv, tav_defin *defin, const char *tbl_id, QK_string **ppSql) {
  QK_string *pNames = NULL, *pSql = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, ppSql);
  *ppSql = NULL;
  QK_TRY(ctx, tav_defin__quoted_column_names(ctx, defin, tbl_id, &pNames));
  QK_TRY(ctx, tav_defin__count_columns(ctx, defin, tbl_id, &count));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, "INSERT INTO \"p$u$%s\" (z_rid,%s,%s) VALUES (?,%s", tbl_id,
                                       pv < 6 ? "z_txid" : "z_gen_del,z_gen_add", QK_string__sz(pNames),
                                       pv < 6 ? "?" : "?,?"));
  for (QK_uint32 i = 0; i < count; i++) QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ",?"));
  QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ")"));
  *ppSql = pSql;
  pSql = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNames));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_export__build_dump_insert(QK_context *ctx, tav_defin *defin, const char *tbl_id, const QK_vhash *dump,
                                   QK_string **ppSql) {
  QK_string *pNames = NULL, *pSql = NULL;
  QK_uint32 keys = 0, dumped = 0;
  QK_ARG_NOT_NULL(ctx, dump);
  QK_ARG_NOT_NULL(ctx, ppSql);
  *ppSql = NULL;
  QK_TRY(ctx, tav_defin__quoted_key_column_names(ctx, defin, tbl_id, &pNames));
  QK_TRY(ctx, tav_defin__count_key_columns(ctx, defin, tbl_id, &keys));
  QK_TRY(ctx, QK_vhash__count(ctx, dump, &dumped));
  for (QK_uint32 i = 0; i < dumped; i++) {
    const char *pszName = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair__sz(ctx, dump, i, NULL, &pszName));
    QK_TRY(ctx, QK_string__append__format(ctx, pNames, ", \"%s\"", pszName));
  }
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, "INSERT INTO \"p$u$%s\" (%s) VALUES (", tbl_id,
                                       QK_string__sz(pNames)));
  for (QK_uint32 i = 0; i < keys + dumped; i++) QK_TRY(ctx, QK_string__append__sz(ctx, pSql, i ? ",?" : "?"));
  QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ")"));
  *ppSql = pSql;
  pSql = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNames));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* ---- Per-table export state ---- */

void tav_export__find_column_dumps(QK_context *ctx, int schema_changed, const tav_export_range *range,
                                   const char *tbl_id, tav_defin *defin, tav_filter *prev_filter,
                                   tav_export_state *state) {
  QK_vhash *pDump = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, range);
  QK_ARG_NOT_NULL(ctx, state);
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, state, "needs-column-dump", &pDump));
  QK_TRY(ctx, tav_defin__count_columns(ctx, defin, tbl_id, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszCol = NULL, *pszName = NULL, *pszDefval = NULL;
    int bDump = 0;
    QK_TRY(ctx, tav_defin__get_column_id_at(ctx, defin, tbl_id, (int)i, &pszCol));
    if (prev_filter != NULL)
      QK_TRY(ctx, tav_filter__get_column_exclusion(ctx, prev_filter, tbl_id, pszCol, &bDump, &pszDefval));
    if (!bDump && schema_changed) {
      if (range->spec_type != BY_GENERATION) {
        QK_int64 dumpTxid = 0;
        QK_TRY(ctx, tav_defin__get_col_dump_txid(ctx, defin, tbl_id, pszCol, &dumpTxid));
        QK_TRY(ctx, tav_export__txid_in_range(ctx, dumpTxid, range->first,
                                              range->spec_type == BY_TXID ? range->last : range->last_txid,
                                              range->txids, &bDump));
      } else {
        QK_int64 dumpGen = 0;
        QK_TRY(ctx, tav_defin__get_col_dump_gen(ctx, defin, tbl_id, pszCol, &dumpGen));
        if (dumpGen > range->last) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "this should probably never happen");
        bDump = dumpGen >= range->first;
      }
    }
    if (!bDump) continue;
    QK_TRY(ctx, tav_defin__get_column_name(ctx, defin, tbl_id, pszCol, &pszName));
    QK_TRY(ctx, QK_vhash__update__string(ctx, pDump, pszCol, pszName));
  }
done:;
}

/* Whether the table's foreign-key list changed inside the range, hiding history the client's
 * filtered baseline depends on. */
static void fk_list_changed_in_range(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                     const tav_export_range *range, const char *tbl_id, int *pbChanged) {
  QK_int64 txid = 0, generation = 0;
  *pbChanged = 0;
  QK_TRY(ctx, ops->get_fk_constraint_list_txid(ctx, h, tbl_id, &txid, &generation));
  if (range->spec_type == BY_GENERATION) {
    if (generation < 1 || generation > range->last)
      QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "schema change came in that obscured relevant history");
    *pbChanged = generation >= range->first;
  } else {
    QK_TRY(ctx, tav_export__txid_in_range(ctx, txid, range->first,
                                          range->spec_type == BY_TXID ? range->last : range->last_txid, range->txids,
                                          pbChanged));
  }
done:;
}

/* Takes the table's foreign keys into the state: self references apart, keys to parents that
 * are filtered in any way, whose filtering (and fresh rows) carry over to this table. */
static void take_parent_filtering(QK_context *ctx, tav_defin *defin, const char *tbl_id, QK_vhash *states,
                                  tav_export_state *state, int *pbFilteredNow, int *pbFilteredPrev, int *pbRefilter) {
  QK_varray *pFks = NULL, *pTarget = NULL;
  QK_uint32 count = 0;
  QK_TRY(ctx, tav_defin__list_fk_actions(ctx, defin, tbl_id, NULL, 0, &pFks, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pFk = NULL, *pParent = NULL;
    const char *pszParent = NULL;
    int bFlag = 0;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pFks, i, &pFk));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pFk, "tbl", &pszParent));
    if (strcmp(pszParent, tbl_id) == 0) {
      QK_TRY(ctx, QK_vhash__ensure__varray(ctx, state, "same-table-ref-constraints", &pTarget));
      QK_TRY(ctx, QK_varray__appendcopy__vhash(ctx, pTarget, pFk, NULL));
      continue;
    }
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, states, pszParent, &pParent));
    if (pParent == NULL) continue;
    QK_TRY(ctx, state_flag(ctx, pParent, "unfiltered", &bFlag));
    if (bFlag) continue;
    QK_TRY(ctx, QK_vhash__ensure__varray(ctx, state, "filtered-parents", &pTarget));
    QK_TRY(ctx, QK_varray__appendcopy__vhash(ctx, pTarget, pFk, NULL));
    QK_TRY(ctx, state_flag(ctx, pParent, "filtered-now", &bFlag));
    *pbFilteredNow |= bFlag;
    QK_TRY(ctx, state_flag(ctx, pParent, "filtered-previously", &bFlag));
    *pbFilteredPrev |= bFlag;
    QK_TRY(ctx, state_flag(ctx, pParent, "had-export-deltas", &bFlag));
    *pbRefilter |= bFlag;
  }
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pFks));
}

void tav_export__table_state(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin, int pv,
                             int write_blocking_only, tav_filter *filter, const char *time_of_sync,
                             tav_filter *prev_filter, const char *prev_time_of_sync, int schema_changed,
                             const tav_export_range *range, const char *tbl_id, const char *prev_set_hash,
                             QK_vhash *states, tav_export_state **ppState) {
  tav_export_state *pState = NULL;
  char *pszRaw = NULL, *pszWhere = NULL, *pszRawPrev = NULL, *pszWherePrev = NULL;
  int bFilteredNow = 0, bFilteredPrev = 0, bRefilter = 0, bAssumeStable = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, range);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  QK_ARG_NOT_NULL(ctx, states);
  QK_ARG_NOT_NULL(ctx, ppState);
  *ppState = NULL;
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, states, tbl_id, &pState));
  if (range->first > 1 && (prev_filter != filter || schema_changed))
    QK_TRY(ctx, tav_export__find_column_dumps(ctx, schema_changed, range, tbl_id, defin,
                                              prev_filter != filter ? prev_filter : NULL, pState));
  if (filter != NULL)
    QK_TRY(ctx, tav_filter__get_where(ctx, filter, write_blocking_only, tbl_id, time_of_sync, &pszRaw, &pszWhere));
  if (pszWhere != NULL) {
    QK_TRY(ctx, QK_vhash__update__string(ctx, pState, "where", pszWhere));
    bFilteredNow = 1;
  }
  if (prev_filter != NULL)
    QK_TRY(ctx, tav_filter__get_where(ctx, prev_filter, write_blocking_only, tbl_id, prev_time_of_sync, &pszRawPrev,
                                      &pszWherePrev));
  if (pszWherePrev != NULL) {
    QK_TRY(ctx, QK_vhash__update__string(ctx, pState, "where-prev", pszWherePrev));
    bFilteredPrev = 1;
  }
  if (prev_set_hash != NULL) bFilteredPrev = 1;
  if ((pszWhere == NULL) != (pszWherePrev == NULL) ||
      (pszWhere != NULL && pszWherePrev != NULL && strcmp(pszWhere, pszWherePrev) != 0)) {
    if (pszRawPrev != NULL && (pszRaw == NULL || strcmp(pszRaw, pszRawPrev) != 0))
      QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "prev-where-maybe-invalid", 1));
  }
  QK_TRY(ctx, take_parent_filtering(ctx, defin, tbl_id, states, pState, &bFilteredNow, &bFilteredPrev, &bRefilter));
  bRefilter |= pszWherePrev != NULL || bFilteredNow;
  bAssumeStable = (pv >= 1 && pv <= 3) || !bFilteredPrev;
  if (!(!bAssumeStable && bRefilter) && range->first > 1 && schema_changed &&
      (filter != NULL || prev_filter != NULL)) {
    int bChanged = 0;
    QK_TRY(ctx, fk_list_changed_in_range(ctx, ops, h, range, tbl_id, &bChanged));
    if (bChanged) {
      bAssumeStable = 0;
      bRefilter = 1;
      bFilteredPrev = 1;
    }
  }
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "unfiltered", !bFilteredNow && !bFilteredPrev));
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "filtered-now", bFilteredNow));
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "filtered-previously", bFilteredPrev));
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "assume-stable-baseline", bAssumeStable));
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-refiltered", bRefilter));
  *ppState = pState;
done:
  QK_free(ctx, pszRaw);
  QK_free(ctx, pszWhere);
  QK_free(ctx, pszRawPrev);
  QK_free(ctx, pszWherePrev);
}

/* ---- The transaction-id builder ---- */

static const char s_tx_rows_columns[] = "\"txid\",\"rstamp\",\"rebaseid\"";
static const char s_last_sync_sql[] = "UPDATE p$tx SET scheme='last_sync_txid' WHERE txid=?";
static const char s_first_row_sql[] = "INSERT INTO p$tx (txid,rstamp) VALUES('first',?)";
static const char s_baseline_text_sql[] =
    "UPDATE p$tx SET rstamp=(? || ',' || hex(?) || ',' || ? || ',' || ? || ',' || ?) WHERE txid=0";
static const char s_count_in_rstamp_sql[] = "UPDATE p$tx SET rstamp = ? WHERE txid = ?";
static const char s_listing_complete_sql[] = "UPDATE p$tx SET rebaseid = ? WHERE txid = ?";
static const char s_missing_row_sql[] = "INSERT INTO p$tx (txid) VALUES(?)";
static const char s_filter_base_sql[] = "UPDATE p$tx SET rebaseid=? WHERE txid=0";
static const char s_row_deltas_insert_sql[] =
    "INSERT INTO \"p$rd$%s\" (rid,txid_rec_add,txid_rec_del,txid) VALUES (?,?,?,?)";
static const char s_column_dump_marker_sql[] =
    "INSERT INTO \"p$rd$%s\" (rid,txid_rec_add,txid_rec_del,txid)\n    VALUES ('column-dump: %s', NULL, NULL, -1)";
static const char s_filter_discard_marker_sql[] =
    "INSERT INTO \"p$rd$%s\" (rid,txid_rec_add,txid_rec_del,txid) VALUES ('filter-discard', NULL, NULL, -1)";
static const char s_oldest_change_sql[] =
    "SELECT rid, txid FROM \"p$rd$%s\" WHERE txid = (SELECT min(txid) FROM \"p$rd$%s\") LIMIT 1";
static const char s_fake_delete_sql[] = "UPDATE \"p$rd$%s\" SET txid_rec_del=1 WHERE rid=?";
static const char s_fake_insert_delta_sql[] =
    "INSERT INTO \"p$rd$%s\" (rid,txid_rec_add,txid_rec_del,txid)  VALUES(?,1,NULL,1)";
static const char s_fake_insert_row_sql[] = "INSERT INTO \"p$u$%s\" (z_rid,z_txid)  VALUES(?,1)";
static const char s_upgrading_sql[] = "UPDATE p$tx SET rstamp='*UPGRADING*' WHERE txid=0";
static const char s_upgrade_gen_table_sql[] = "CREATE TABLE p$gen(generation INTEGER PRIMARY KEY, id INTEGER)";

/* One statement with one int64 (or two) bound, run to its end. */
static void run_int64s(QK_context *ctx, sqlite3 *db, const char *sql, int n, QK_int64 a, QK_int64 b) {
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", sql));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 1, a));
  if (n > 1) QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 2, b));
  QK_TRY(ctx, run_statement(ctx, pStmt));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* Row 0's rstamp: the baseline text "txid,RSTAMP,rebaseid,count,schema_txid". */
static void write_baseline_text(QK_context *ctx, sqlite3 *db, QK_int64 txid, const QK_uint8 *rstamp,
                                QK_int64 rebaseid, QK_int64 count, QK_int64 schema_txid) {
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", s_baseline_text_sql));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 1, txid));
  QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 2, rstamp));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 3, rebaseid));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 4, count));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 5, schema_txid));
  QK_TRY(ctx, run_statement(ctx, pStmt));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* A filter base, when there is one, as compact JSON into row 0's rebaseid. */
static void write_filter_base(QK_context *ctx, sqlite3 *db, const QK_vhash *pBase) {
  QK_string *pJson = NULL;
  sqlite3_stmt *pStmt = NULL;
  if (pBase == NULL) goto done;
  QK_TRY(ctx, to_json(ctx, pBase, &pJson));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", s_filter_base_sql));
  QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, 1, QK_string__sz(pJson)));
  QK_TRY(ctx, run_statement(ctx, pStmt));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
}

static void varray_count(QK_context *ctx, const QK_varray *pva, QK_uint32 *pCount) {
  *pCount = 0;
  if (pva != NULL) QK_TRY(ctx, QK_varray__count(ctx, pva, pCount));
done:;
}

/* Version 2 knows no discard marker: the table's oldest change is turned into a deletion
 * plus a fresh insert at txid 1, which makes the client drop what it holds. */
static void announce_discard_v2(QK_context *ctx, sqlite3 *db, const char *tbl_id) {
  sqlite3_stmt *pOldest = NULL, *pStmt = NULL;
  int bRow = 0;
  QK_int64 txid = 0;
  const char *templates[] = {s_fake_delete_sql, s_fake_insert_delta_sql, s_fake_insert_row_sql};
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pOldest, s_oldest_change_sql, tbl_id, tbl_id));
  QK_TRY(ctx, QK_sqlite__step_row(ctx, pOldest, &bRow));
  if (!bRow) goto done;
  txid = sqlite3_column_int64(pOldest, 1);
  if (txid <= 1) goto done;
  for (const char *pszTemplate : templates) {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, pszTemplate, tbl_id));
    QK_TRY(ctx, QK_sqlite__bind_value(ctx, pStmt, 1, sqlite3_column_value(pOldest, 0)));
    QK_TRY(ctx, run_statement(ctx, pStmt));
    QK_TRY(ctx, QK_sqlite__finalize(ctx, &pStmt));
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pOldest));
}

/* What one txid export shares across its tables. */
typedef struct txid_export {
  const tav_backend_ops *ops;
  tav_db_handle *h;
  tav_pkg *pkg;
  int version;       /* of the package: min(pv, 5) */
  tav_defin *defin;
  QK_vhash *states;
  tav_filter *filter, *prev_filter;
  const char *time_of_sync, *prev_time_of_sync;
  int schema_changed;
  const QK_vhash *filter_base; /* the client's */
  QK_vhash *new_filter_base;
  const QK_nullhash *discard_tables;
  int full_resend; /* every table from scratch */
  int has_content;
} txid_export;

/* Exports one table's changes (or nothing when it has none) into p$rd$ and p$u$. The table
 * works on a copy of the pull's range; the store's table of the listed txids, once made for
 * one table, goes back into the pull's range so that the later tables read it too. */
static void export_txid_table(QK_context *ctx, txid_export *x, const char *tbl_id, tav_export_range *pPullRange) {
  tav_export_range range = *pPullRange;
  tav_export_state *pState = NULL;
  const char *pszPrevHash = NULL;
  char *pszDigest = NULL;
  QK_string *pInsert = NULL;
  sqlite3_stmt *pRows = NULL, *pDeltas = NULL;
  int bExcluded = 0, bDiscard = 0, bRefilter = 0, bFilteredNow = 0, bDumped = 0;
  QK_uint32 dumps = 0;
  QK_int64 rows = 0;
  if (x->prev_filter != NULL) QK_TRY(ctx, tav_filter__is_table_excluded(ctx, x->prev_filter, tbl_id, &bExcluded));
  if (bExcluded || x->full_resend) {
    range.first = 1;
    range.txids = NULL;
  }
  if (x->filter_base != NULL) QK_TRY(ctx, QK_vhash__check__sz(ctx, x->filter_base, tbl_id, &pszPrevHash));
  QK_TRY(ctx, tav_export__table_state(ctx, x->ops, x->h, x->defin, x->version, 0, x->filter, x->time_of_sync,
                                      x->prev_filter, x->prev_time_of_sync, x->schema_changed, &range, tbl_id,
                                      pszPrevHash, x->states, &pState));
  if (x->full_resend) {
    QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-refiltered", 1));
    QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-discard", 1));
  }
  QK_TRY(ctx, dump_count(ctx, pState, &dumps));
  if (dumps > 0 && x->version < 4) {
    /* Clients before version 4 take no column dump: they drop the table and get all of it
     * again, so the export must be a full one too. */
    QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-discard", 1));
    range.first = 1;
    range.txids = NULL;
  }
  if (x->discard_tables != NULL) {
    int bListed = 0;
    QK_TRY(ctx, QK_nullhash__has(ctx, x->discard_tables, tbl_id, &bListed));
    if (bListed) {
      QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-discard", 1));
      range.first = 1;
    }
  }
  QK_TRY(ctx, state_flag(ctx, pState, "needs-discard", &bDiscard));
  QK_TRY(ctx, state_flag(ctx, pState, "needs-refiltered", &bRefilter));
  QK_TRY(ctx, state_flag(ctx, pState, "filtered-now", &bFilteredNow));
  if (!bDiscard && !bRefilter && dumps == 0) {
    int bChanged = 0;
    QK_TRY(ctx, x->ops->table_has_changes(ctx, x->h, tbl_id, &range, &bChanged));
    if (!bChanged) {
      if (bFilteredNow && pszPrevHash != NULL)
        QK_TRY(ctx, set_filter_hash(ctx, &x->new_filter_base, tbl_id, pszPrevHash));
      goto done;
    }
  }
  QK_TRY(ctx, tav_pkg__create_row_deltas_table(ctx, x->pkg->db, tbl_id));
  QK_TRY(ctx, tav_pkg__create_rows_table(ctx, x->pkg->db, x->defin, tbl_id, x->version));
  QK_TRY(ctx, tav_export__build_row_insert(ctx, x->version, x->defin, tbl_id, &pInsert));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, x->pkg->db, &pRows, "%s", QK_string__sz(pInsert)));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, x->pkg->db, &pDeltas, s_row_deltas_insert_sql, tbl_id));
  QK_TRY(ctx, x->ops->export_table(ctx, x->h, x->version, x->defin, x->states, tbl_id, &range, pszPrevHash,
                                   bFilteredNow && x->version >= 4 ? &pszDigest : NULL, pRows, pDeltas));
  if (pszDigest != NULL) QK_TRY(ctx, set_filter_hash(ctx, &x->new_filter_base, tbl_id, pszDigest));
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pRows));
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pDeltas));
  /* The store may have found the client's baseline unusable and asked for a discard. */
  QK_TRY(ctx, state_flag(ctx, pState, "needs-discard", &bDiscard));
  if (dumps > 0 && !bDiscard && range.first > 1) {
    QK_TRY(ctx, column_dump(ctx, x->ops, x->h, x->pkg->db, x->defin, tbl_id, pState, &range,
                                        s_column_dump_marker_sql));
    bDumped = 1;
  }
  QK_TRY(ctx, QK_sqlite__one_int64(ctx, x->pkg->db, &rows, "SELECT count(1) FROM \"p$rd$%s\"", tbl_id));
  if (rows == 0 && !bDiscard && !bDumped) {
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, x->pkg->db, "DROP TABLE \"p$u$%s\"", tbl_id));
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, x->pkg->db, "DROP TABLE \"p$rd$%s\"", tbl_id));
    goto done;
  }
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "had-export-deltas", 1));
  x->has_content = 1;
  if (bDiscard && x->version >= 3) QK_TRY(ctx, QK_sqlite__exec_printf(ctx, x->pkg->db, s_filter_discard_marker_sql, tbl_id));
  if (bDiscard && x->version == 2 && rows > 0) QK_TRY(ctx, announce_discard_v2(ctx, x->pkg->db, tbl_id));
done:
  if (pPullRange->listed_table[0] == '\0' && range.listed_table[0] != '\0')
    memcpy(pPullRange->listed_table, range.listed_table, sizeof pPullRange->listed_table);
  add_table_context(ctx, x->defin, tbl_id, "exporting changes from");
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pRows));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pDeltas));
  QK_RELEASE(ctx, QK_string__free(ctx, pInsert));
  QK_free(ctx, pszDigest);
}

/* The client's baseline against the server's history. May hand out a status (and begin a
 * package: the older-checkpoint listing, the "245" package) or add the schema-change txid
 * the client lacks to its missing txids. */
static void check_baseline(QK_context *ctx, const char *dir, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                           tav_baseline *b, tav_filter *filter, tav_filter *prev_filter, QK_int64 schema_txid,
                           tav_pkg *pkg, QK_vhash **ppStatus) {
  QK_int64 generation = 0, serverCount = 0, purged = 0, olderCount = 0, firstTxid = 0, rebaseid = 0;
  QK_uint8 firstRstamp[16] = {0};
  QK_uint32 missing = 0;
  int bMatch = 0, bListed = 0;
  QK_TRY(ctx, ops->find_tx_by_rstamp(ctx, h, b->rstamp, b->rebaseid, b->txid, &bMatch, &generation, &serverCount, NULL));
  QK_TRY(ctx, ops->get_history_purge_generation(ctx, h, &purged));
  if (purged >= generation)
    QK_THROW_MSG(ctx, TAV_ERR_BASELINE_PURGED, "Older client version can't recover if the baseline has been purged.");
  if (!bMatch) {
    QK_TRY(ctx, ensure_status(ctx, ppStatus));
    QK_TRY(ctx, ops->get_tx_info(ctx, h, 1, *ppStatus, &firstTxid, firstRstamp, &rebaseid));
    goto done;
  }
  QK_TRY(ctx, varray_count(ctx, b->missing_txids, &missing));
  if (b->tx_count < 1 || b->tx_count + (QK_int64)missing == serverCount) goto done;
  if (schema_txid != b->schema_txid && schema_txid < b->txid && serverCount - (QK_int64)missing - b->tx_count == 1 &&
      schema_txid >= 1) {
    /* The one transaction the client lacks is taken to be the schema change. */
    for (QK_uint32 i = 0; i < missing && !bListed; i++) {
      QK_int64 t = 0;
      QK_TRY(ctx, QK_varray__get__int64(ctx, b->missing_txids, i, &t));
      bListed = t == schema_txid;
    }
    if (!bListed) {
      if (b->missing_txids == NULL) QK_TRY(ctx, QK_varray__alloc(ctx, &b->missing_txids));
      QK_TRY(ctx, QK_varray__append__int64(ctx, b->missing_txids, schema_txid));
      goto done;
    }
  }
  if (b->older_txid >= 1) QK_TRY(ctx, ops->count_txids(ctx, h, b->older_txid, &olderCount));
  if (b->older_txid >= 1 && olderCount == b->older_count) {
    QK_TRY(ctx, tav_pkg__create(ctx, dir, pv < 5 ? pv : 5, pkg));
    QK_TRY(ctx, ops->export_meta_table(ctx, h, "tx", NULL, "\"txid\"", b->older_txid, b->txid, NULL, pkg->db));
    QK_TRY(ctx, ensure_status(ctx, ppStatus));
    goto done;
  }
  QK_TRY(ctx, ensure_status(ctx, ppStatus));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, *ppStatus, "missing-tx-count", serverCount - b->tx_count));
  QK_TRY(ctx, tav_export__rebase_package(ctx, ops, h, pv < 5 ? pv : 5, prev_filter, b, serverCount, filter, dir, pkg));
done:;
}

/* The transaction rows of the header by version (the upgrade path last). */
static void write_tx_rows(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv, sqlite3 *db,
                          const tav_baseline *b, QK_int64 first, QK_int64 maxTxid, QK_int64 maxCount,
                          QK_int64 schema_txid, QK_int64 export_generation, int *pbContent, QK_int64 *pCutoff) {
  int version = pv < 5 ? pv : 5, bLimit = 0;
  QK_int64 txid = 0, rebaseid = 0, oldest = 0, count = 0;
  QK_uint8 rstamp[16] = {0};
  QK_uint32 missing = 0;
  sqlite3_stmt *pStmt = NULL;
  char szCondition[64];
  if (version <= 3) {
    if (maxTxid >= first)
      QK_TRY(ctx, ops->export_meta_table(ctx, h, "tx", NULL, s_tx_rows_columns, first, maxTxid, NULL, db));
    if (first > 1) {
      QK_TRY(ctx, ops->export_meta_table(ctx, h, "tx", NULL, s_tx_rows_columns, b->txid, b->txid, NULL, db));
      QK_TRY(ctx, run_int64s(ctx, db, s_last_sync_sql, 1, b->txid, 0));
    }
    goto done;
  }
  if (b->txid == 0) {
    QK_TRY(ctx, ops->get_tx_info(ctx, h, 1, NULL, &txid, rstamp, &rebaseid));
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", s_first_row_sql));
    QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 1, rstamp));
    QK_TRY(ctx, run_statement(ctx, pStmt));
    QK_TRY(ctx, QK_sqlite__finalize(ctx, &pStmt));
  }
  txid = 0;
  rebaseid = 0;
  QK_TRY(ctx, ops->get_tx_info(ctx, h, maxTxid, NULL, &txid, rstamp, &rebaseid));
  QK_TRY(ctx, write_baseline_text(ctx, db, maxTxid, rstamp, rebaseid, maxCount, schema_txid));
  if (pv == 5 && b->older_txid != 0) {
    if (maxTxid >= first) {
      QK_TRY(ctx, ops->export_txids(ctx, h, first, maxTxid, 100, db, &oldest, &bLimit));
      if (bLimit) {
        QK_TRY(ctx, ops->count_txids(ctx, h, oldest, &count));
        QK_TRY(ctx, run_int64s(ctx, db, s_count_in_rstamp_sql, 2, count, oldest));
      } else {
        QK_TRY(ctx, run_int64s(ctx, db, s_listing_complete_sql, 2, 100, maxTxid));
      }
    }
    if (!bLimit) {
      QK_TRY(ctx, varray_count(ctx, b->missing_txids, &missing));
      for (QK_uint32 i = missing; i > 0; i--) {
        QK_TRY(ctx, QK_varray__get__int64(ctx, b->missing_txids, i - 1, &txid));
        QK_TRY(ctx, run_int64s(ctx, db, s_missing_row_sql, 1, txid, 0));
      }
    }
  } else if (pv == 5) {
    QK_TRY(ctx, ops->export_txids(ctx, h, 0, maxTxid, 100, db, &oldest, &bLimit));
    if (oldest > 0) {
      QK_TRY(ctx, ops->count_txids(ctx, h, oldest, &count));
      QK_TRY(ctx, run_int64s(ctx, db, s_count_in_rstamp_sql, 2, count, oldest));
      *pbContent = 1;
    }
  }
  if (pv >= 6) {
    *pbContent = 1;
    QK_TRY(ctx, QK_sqlite__exec(ctx, db, s_upgrading_sql));
    QK_TRY(ctx, QK_sqlite__exec(ctx, db, s_upgrade_gen_table_sql));
    QK_TRY(ctx, ops->export_generations(ctx, h, 1, export_generation, db, pCutoff));
    QK_TRY(ctx, QK_sqlite__exec(ctx, db, "DELETE FROM p$tx WHERE txid > 0"));
    QK_TRY(ctx, QK_sqlite__exec(ctx, db, TAV_PKG_TX_ADD_GENERATION_SQL));
    snprintf(szCondition, sizeof szCondition, " AND (generation BETWEEN 2 AND %lld)", (long long)export_generation);
    QK_TRY(ctx, ops->export_meta_table(ctx, h, "tx", NULL, "\"txid\",\"generation\"", 1, 9223372036854775807LL,
                                       szCondition, db));
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

void tav_export__txid_package(QK_context *ctx, const char *dir, const tav_backend_ops *ops, tav_db_handle *h,
                              int pv, int push_mode, int full_resend, tav_baseline *baseline,
                              const QK_uint8 *pending_rstamp, tav_filter *filter, tav_filter *prev_filter,
                              const QK_vhash *filter_base, QK_int64 filter_txid, QK_int64 export_generation,
                              tav_pkg *pkg, QK_vhash **ppStatus) {
  txid_export x = {};
  tav_export_range range = {};
  QK_int64 maxTxid = 0, maxCount = 0, schemaTxid = 0, first = 0, cutoff = 0, countNow = 0;
  QK_varray *pOrder = NULL;
  char *pszTimeOfSync = NULL;
  QK_uint32 missing = 0, tables = 0;
  int bHasTimeOfSync = 0, bInRange = 0, bClientBase = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, baseline);
  QK_ARG_NOT_NULL(ctx, pkg);
  QK_ARG_NOT_NULL(ctx, ppStatus);
  QK_ARG_VALID(ctx, pv, pv >= 2 && pv <= 6);
  x.ops = ops;
  x.h = h;
  x.pkg = pkg;
  x.version = pv < 5 ? pv : 5;
  x.filter = filter;
  x.prev_filter = prev_filter;
  x.filter_base = filter_base;
  x.discard_tables = baseline->discard_tables;
  x.full_resend = full_resend != 0;
  x.has_content = push_mode != 0;

  QK_TRY(ctx, ops->get_max_txid(ctx, h, export_generation, &maxTxid, &maxCount));
  QK_TRY(ctx, ops->fetch_schema(ctx, h, filter, &schemaTxid, NULL, &x.defin));
  if (filter_txid > 0 && filter_txid != schemaTxid)
    QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "schema change inbetween filter lookup and package export");
  if (!rstamp_is_zero(baseline->rstamp))
    QK_TRY(ctx, check_baseline(ctx, dir, ops, h, pv, baseline, filter, prev_filter, schemaTxid, pkg, ppStatus));
  if (!rstamp_is_zero(pending_rstamp)) {
    int bFound = 0;
    QK_int64 g = 0, c = 0;
    QK_TRY(ctx, ops->find_tx_by_rstamp(ctx, h, pending_rstamp, 0, 0, &bFound, &g, &c, NULL));
    if (bFound && baseline->txid != 0) {
      if (*ppStatus != NULL) QK_TRY(ctx, QK_vhash__update__bool(ctx, *ppStatus, "push-succeeded", 1));
    } else {
      QK_TRY(ctx, ensure_status(ctx, ppStatus));
      QK_TRY(ctx, QK_vhash__update__bool(ctx, *ppStatus, "push-succeeded", bFound));
    }
  }
  if (*ppStatus != NULL) goto done;

  first = baseline->txid + 1;
  if (filter_base != NULL) QK_TRY(ctx, tav_filter__get_time_of_sync(ctx, filter_base, &x.prev_time_of_sync));
  if (filter != NULL) QK_TRY(ctx, tav_filter__has_time_of_sync(ctx, filter, 0, &bHasTimeOfSync));
  if (bHasTimeOfSync) {
    QK_TRY(ctx, ops->get_utc_date(ctx, h, &pszTimeOfSync));
    QK_TRY(ctx, set_filter_hash(ctx, &x.new_filter_base, "", pszTimeOfSync));
    x.time_of_sync = pszTimeOfSync;
  }
  QK_TRY(ctx, varray_count(ctx, baseline->missing_txids, &missing));
  /* A push is always answered with a package, even one without changes. */
  if (maxTxid < first && missing == 0 && filter == NULL && prev_filter == NULL && !push_mode && !full_resend)
    goto done;

  QK_TRY(ctx, tav_pkg__create(ctx, dir, x.version, pkg));
  QK_TRY(ctx, tav_export__txid_in_range(ctx, schemaTxid, first, maxTxid, baseline->missing_txids, &bInRange));
  x.schema_changed = bInRange || (baseline->schema_txid >= 1 && baseline->schema_txid != schemaTxid);
  if (x.schema_changed || filter != prev_filter || full_resend) {
    QK_TRY(ctx, tav_export__write_schema(ctx, pkg->db, x.version, schemaTxid, x.defin));
    x.has_content = 1;
  }
  QK_TRY(ctx, write_tx_rows(ctx, ops, h, pv, pkg->db, baseline, first, maxTxid, maxCount, schemaTxid,
                            export_generation, &x.has_content, &cutoff));

  QK_TRY(ctx, QK_vhash__alloc(ctx, &x.states));
  QK_TRY(ctx, tav_defin__order_tables_by_fk(ctx, x.defin, &pOrder));
  QK_TRY(ctx, QK_varray__count(ctx, pOrder, &tables));
  /* One range for the whole pull: the store makes its table of the listed txids once. */
  range.spec_type = pv >= 6 ? FIRST_BY_TXID__LAST_BY_GENERATION : BY_TXID;
  range.first = first;
  range.last = pv >= 6 ? export_generation : maxTxid;
  range.cutoff_generation = pv >= 6 ? cutoff : 0;
  range.txids = baseline->missing_txids;
  range.last_txid = pv >= 6 ? maxTxid : 0;
  for (QK_uint32 i = 0; i < tables; i++) {
    const char *pszTbl = NULL;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pOrder, i, &pszTbl));
    QK_TRY(ctx, export_txid_table(ctx, &x, pszTbl, &range));
  }

  if (!x.has_content) {
    QK_TRY(ctx, tav_pkg__close(ctx, pkg));
    goto done;
  }
  QK_TRY(ctx, ops->count_txids(ctx, h, maxTxid, &countNow));
  if (countNow != maxCount) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "late arrival of txid during pkg export");
  QK_TRY(ctx, holds_filter_base(ctx, filter_base, &bClientBase));
  if (x.new_filter_base == NULL && bClientBase) QK_TRY(ctx, QK_vhash__alloc(ctx, &x.new_filter_base));
  QK_TRY(ctx, write_filter_base(ctx, pkg->db, x.new_filter_base));
  QK_TRY(ctx, finish_package(ctx, pkg));
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pOrder));
  QK_RELEASE(ctx, QK_vhash__free(ctx, x.states));
  QK_RELEASE(ctx, QK_vhash__free(ctx, x.new_filter_base));
  QK_RELEASE(ctx, tav_defin__free(ctx, &x.defin));
  QK_free(ctx, pszTimeOfSync);
}

/* ---- The "245" package ---- */

static const char s_row_versions_insert_sql[] = "INSERT INTO \"p$rv$%s\" (rid, txid) VALUES (?, ?)";
static const char s_row_versions_end_sql[] = "INSERT INTO \"p$rv$%s\" (rid, txid) VALUES (X'', '{%s}')";

void tav_export__rebase_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                                tav_filter *prev_filter, const tav_baseline *baseline, QK_int64 server_count,
                                tav_filter *filter, const char *dir, tav_pkg *pkg) {
  tav_defin *pDefin = NULL;
  QK_vhash *pStates = NULL, *pBase = NULL;
  QK_varray *pOrder = NULL;
  sqlite3_stmt *pRows = NULL;
  char *pszTimeOfSync = NULL, *pszDigest = NULL;
  QK_int64 schemaTxid = 0, countNow = 0;
  QK_uint32 tables = 0;
  int bHasTimeOfSync = 0;
  const char *pszTbl = NULL;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, baseline);
  QK_ARG_NOT_NULL(ctx, pkg);
  if (filter != NULL) QK_TRY(ctx, tav_filter__has_time_of_sync(ctx, filter, 0, &bHasTimeOfSync));
  if (bHasTimeOfSync) {
    QK_TRY(ctx, ops->get_utc_date(ctx, h, &pszTimeOfSync));
    QK_TRY(ctx, set_filter_hash(ctx, &pBase, "", pszTimeOfSync));
  }
  QK_TRY(ctx, tav_pkg__create(ctx, dir, pv, pkg));
  QK_TRY(ctx, ops->fetch_schema(ctx, h, filter, &schemaTxid, NULL, &pDefin));
  QK_TRY(ctx, write_baseline_text(ctx, pkg->db, baseline->txid, baseline->rstamp, baseline->rebaseid, server_count,
                                  baseline->schema_txid));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pStates));
  QK_TRY(ctx, tav_defin__order_tables_by_fk(ctx, pDefin, &pOrder));
  QK_TRY(ctx, QK_varray__count(ctx, pOrder, &tables));
  for (QK_uint32 i = 0; i < tables; i++) {
    tav_export_range range = {};
    tav_export_state *pState = NULL;
    int bUnfiltered = 0, bFilteredNow = 0;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pOrder, i, &pszTbl));
    range.spec_type = BY_TXID;
    range.first = 1;
    range.last = baseline->txid;
    QK_TRY(ctx, tav_export__table_state(ctx, ops, h, pDefin, 0, 0, filter, pszTimeOfSync, NULL, NULL, 0, &range,
                                        pszTbl, NULL, pStates, &pState));
    QK_TRY(ctx, state_flag(ctx, pState, "unfiltered", &bUnfiltered));
    QK_TRY(ctx, state_flag(ctx, pState, "filtered-now", &bFilteredNow));
    QK_TRY(ctx, tav_pkg__create_row_versions_table(ctx, pkg->db, pszTbl));
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pkg->db, &pRows, s_row_versions_insert_sql, pszTbl));
    QK_TRY(ctx, ops->export_table(ctx, h, pv, pDefin, pStates, pszTbl, &range, NULL,
                                  bFilteredNow ? &pszDigest : NULL, pRows, NULL));
    QK_TRY(ctx, QK_sqlite__finalize(ctx, &pRows));
    if (pszDigest != NULL) {
      QK_TRY(ctx, set_filter_hash(ctx, &pBase, pszTbl, pszDigest));
      QK_free(ctx, pszDigest);
      pszDigest = NULL;
    }
    /* The client may keep its rows of a safe table as they are. */
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pkg->db, s_row_versions_end_sql, pszTbl,
                                       prev_filter == filter && baseline->schema_txid == schemaTxid && bUnfiltered
                                           ? "\"safe\":true"
                                           : ""));
    pszTbl = NULL;
  }
  QK_TRY(ctx, write_filter_base(ctx, pkg->db, pBase));
  QK_TRY(ctx, ops->count_txids(ctx, h, baseline->txid, &countNow));
  if (countNow != server_count) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "late arrival of txid during 245 pkg export");
done:
  add_table_context(ctx, pDefin, pszTbl, "exporting changes from");
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pRows));
  QK_RELEASE(ctx, QK_varray__free(ctx, pOrder));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pStates));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pBase));
  QK_RELEASE(ctx, tav_defin__free(ctx, &pDefin));
  QK_free(ctx, pszTimeOfSync);
  QK_free(ctx, pszDigest);
}

/* ---- The generation builder ---- */

static const char s_gen_discard_marker_sql[] =
    "INSERT INTO \"p$u$%s\" (z_rid, z_gen_del, z_gen_add) VALUES ('filter-discard', -1, -1)";
static const char s_gen_column_dump_marker_sql[] =
    "INSERT INTO \"p$u$%s\" (z_rid, z_gen_del, z_gen_add) VALUES ('column-dump: %s', -1, -1)";
static const char s_gen_header_sql[] = "UPDATE p$gen SET id = ? WHERE generation = 0";

/* What one generation export shares across its tables. */
typedef struct generation_export {
  const tav_backend_ops *ops;
  tav_db_handle *h;
  tav_pkg *pkg;
  tav_defin *defin;
  QK_vhash *states;
  tav_filter *filter, *prev_filter;
  const char *time_of_sync, *prev_time_of_sync;
  int schema_changed;
  int from_scratch; /* purged baseline or full resend: every table again */
  QK_int64 client_generation;
  const QK_vhash *filter_base;
  QK_vhash *header;
  int has_content;
} generation_export;

static void export_generation_table(QK_context *ctx, generation_export *x, const char *tbl_id,
                                    tav_export_range range) {
  tav_export_state *pState = NULL;
  QK_vhash *pHeaderBase = NULL;
  const char *pszPrevHash = NULL;
  char *pszDigest = NULL;
  QK_string *pInsert = NULL;
  sqlite3_stmt *pRows = NULL;
  int bExcluded = 0, bDiscard = 0, bRefilter = 0, bFilteredNow = 0, bEmpty = 0;
  QK_uint32 dumps = 0;
  QK_int64 purged = 0;
  if (x->prev_filter != NULL) QK_TRY(ctx, tav_filter__is_table_excluded(ctx, x->prev_filter, tbl_id, &bExcluded));
  if (bExcluded) range.first = 1;
  if (x->filter_base != NULL) QK_TRY(ctx, QK_vhash__check__sz(ctx, x->filter_base, tbl_id, &pszPrevHash));
  QK_TRY(ctx, tav_export__table_state(ctx, x->ops, x->h, x->defin, 6, 0, x->filter, x->time_of_sync, x->prev_filter,
                                      x->prev_time_of_sync, x->schema_changed, &range, tbl_id, pszPrevHash, x->states,
                                      &pState));
  if (!x->from_scratch) QK_TRY(ctx, x->ops->get_table_purged(ctx, x->h, tbl_id, &purged));
  if (x->from_scratch || x->client_generation < purged) {
    range.first = 1;
    QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-refiltered", 1));
    QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-discard", 1));
  }
  QK_TRY(ctx, dump_count(ctx, pState, &dumps));
  QK_TRY(ctx, state_flag(ctx, pState, "needs-refiltered", &bRefilter));
  QK_TRY(ctx, state_flag(ctx, pState, "filtered-now", &bFilteredNow));
  if (!bRefilter && dumps == 0) {
    int bChanged = 0;
    QK_TRY(ctx, x->ops->table_has_changes(ctx, x->h, tbl_id, &range, &bChanged));
    if (!bChanged) {
      if (bFilteredNow && pszPrevHash != NULL) {
        QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, x->header, "filter-base", &pHeaderBase));
        QK_TRY(ctx, QK_vhash__update__string(ctx, pHeaderBase, tbl_id, pszPrevHash));
      }
      goto done;
    }
  }
  QK_TRY(ctx, tav_pkg__create_rows_table(ctx, x->pkg->db, x->defin, tbl_id, 6));
  QK_TRY(ctx, tav_export__build_row_insert(ctx, 6, x->defin, tbl_id, &pInsert));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, x->pkg->db, &pRows, "%s", QK_string__sz(pInsert)));
  QK_TRY(ctx, x->ops->export_table(ctx, x->h, 6, x->defin, x->states, tbl_id, &range, pszPrevHash,
                                   bFilteredNow ? &pszDigest : NULL, pRows, NULL));
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pRows));
  if (pszDigest != NULL) {
    QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, x->header, "filter-base", &pHeaderBase));
    QK_TRY(ctx, QK_vhash__update__string(ctx, pHeaderBase, tbl_id, pszDigest));
  }
  QK_TRY(ctx, state_flag(ctx, pState, "needs-discard", &bDiscard));
  if (bDiscard) QK_TRY(ctx, QK_sqlite__exec_printf(ctx, x->pkg->db, s_gen_discard_marker_sql, tbl_id));
  if (dumps > 0 && !bDiscard && range.first >= 2)
    QK_TRY(ctx, column_dump(ctx, x->ops, x->h, x->pkg->db, x->defin, tbl_id, pState, &range,
                            s_gen_column_dump_marker_sql));
  QK_TRY(ctx, QK_sqlite__one_bool(ctx, x->pkg->db, &bEmpty, "SELECT 1 - EXISTS (SELECT 1 FROM \"p$u$%s\")", tbl_id));
  if (bEmpty) {
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, x->pkg->db, "DROP TABLE \"p$u$%s\"", tbl_id));
  } else {
    QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "had-export-deltas", 1));
    x->has_content = 1;
  }
done:
  add_table_context(ctx, x->defin, tbl_id, "exporting changes from");
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pRows));
  QK_RELEASE(ctx, QK_string__free(ctx, pInsert));
  QK_free(ctx, pszDigest);
}

void tav_export__generation_package(QK_context *ctx, const char *dir, const tav_backend_ops *ops, tav_db_handle *h,
                                    int pv, int push_mode, QK_int64 generation, QK_int64 generation_id,
                                    int full_resend, QK_int64 export_generation, const QK_uint8 *pending_rstamp,
                                    tav_filter *filter, tav_filter *prev_filter, const QK_vhash *filter_base,
                                    QK_int64 filter_txid, tav_pkg *pkg, QK_vhash **ppStatus) {
  generation_export x = {};
  QK_varray *pOrder = NULL;
  QK_vhash *pHeaderBase = NULL;
  QK_string *pJson = NULL;
  sqlite3_stmt *pStmt = NULL;
  char *pszTimeOfSync = NULL;
  char szHex[33];
  QK_uint8 rstamp[16] = {0};
  QK_int64 purged = 0, schemaTxid = 0, schemaGeneration = 0, cutoff = 0, txid = 0, rebaseid = 0;
  QK_uint32 tables = 0;
  int bHasTimeOfSync = 0, bClientBase = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pkg);
  QK_ARG_NOT_NULL(ctx, ppStatus);
  /* A client on a transaction baseline without a txid has no baseline at all. */
  if (generation < 0) generation = 0;
  x.ops = ops;
  x.h = h;
  x.pkg = pkg;
  x.filter = filter;
  x.prev_filter = prev_filter;
  x.filter_base = filter_base;
  x.client_generation = generation;
  x.from_scratch = full_resend != 0;
  x.has_content = push_mode != 0;

  if (generation > 0) {
    int bExists = 0;
    /* One read for both: whether the baseline generation exists counts only below the purge. */
    QK_TRY(ctx, ops->generation_exists(ctx, h, generation, generation_id, &bExists, &purged, NULL, NULL));
    if (purged >= generation) {
      x.from_scratch = 1;
    } else if (!bExists) {
      QK_TRY(ctx, ensure_status(ctx, ppStatus));
      QK_TRY(ctx, ops->get_tx_info(ctx, h, 1, *ppStatus, &txid, rstamp, &rebaseid));
      QK_TRY(ctx, tav_pkg__create(ctx, dir, 6, pkg));
      QK_TRY(ctx, ops->export_generations(ctx, h, 1, generation, pkg->db, NULL));
    }
  }
  if (!(generation > 0 && x.from_scratch) && !rstamp_is_zero(pending_rstamp)) {
    int bFound = 0;
    QK_int64 g = 0, c = 0;
    QK_TRY(ctx, ops->find_tx_by_rstamp(ctx, h, pending_rstamp, 0, 0, &bFound, &g, &c, NULL));
    if (!bFound || generation == 0) {
      QK_TRY(ctx, ensure_status(ctx, ppStatus));
      QK_TRY(ctx, QK_vhash__update__bool(ctx, *ppStatus, "push-succeeded", bFound));
    } else if (*ppStatus != NULL) {
      QK_TRY(ctx, QK_vhash__update__bool(ctx, *ppStatus, "push-succeeded", 1));
    }
  }
  if (*ppStatus != NULL) goto done;
  /* A push is always answered with a package, even one without changes. */
  if (generation == export_generation && filter == NULL && prev_filter == NULL && !full_resend && !push_mode)
    goto done;

  QK_TRY(ctx, QK_vhash__alloc(ctx, &x.header));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, x.header, "pv", pv));
  QK_TRY(ctx, holds_filter_base(ctx, filter_base, &bClientBase));
  if (bClientBase) QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, x.header, "filter-base", &pHeaderBase));
  if (filter_base != NULL) QK_TRY(ctx, tav_filter__get_time_of_sync(ctx, filter_base, &x.prev_time_of_sync));
  if (filter != NULL) QK_TRY(ctx, tav_filter__has_time_of_sync(ctx, filter, 0, &bHasTimeOfSync));
  if (bHasTimeOfSync) {
    QK_TRY(ctx, ops->get_utc_date(ctx, h, &pszTimeOfSync));
    QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, x.header, "filter-base", &pHeaderBase));
    QK_TRY(ctx, QK_vhash__update__string(ctx, pHeaderBase, "", pszTimeOfSync));
    x.time_of_sync = pszTimeOfSync;
  }
  QK_TRY(ctx, tav_pkg__create(ctx, dir, 6, pkg));
  if (generation == 0) {
    QK_TRY(ctx, ops->get_tx_info(ctx, h, 1, NULL, &txid, rstamp, &rebaseid));
    QK_hex__encode_buflen(szHex, rstamp, 16);
    QK_TRY(ctx, QK_vhash__add__string(ctx, x.header, "first-rstamp", szHex));
    x.has_content = 1;
  }
  QK_TRY(ctx, ops->fetch_schema(ctx, h, filter, &schemaTxid, &schemaGeneration, &x.defin));
  if (schemaGeneration == 0) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "schema change after setting export generation");
  if (filter_txid > 0 && filter_txid != schemaTxid)
    QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "schema change inbetween filter lookup and package export");
  QK_VERIFY(ctx, schemaGeneration >= 1);
  QK_VERIFY(ctx, schemaGeneration <= export_generation);
  x.schema_changed = generation < schemaGeneration;
  if (filter != prev_filter || x.schema_changed || full_resend) {
    QK_TRY(ctx, tav_defin__put_into_vhash(ctx, x.defin, x.header, 0));
    x.has_content = 1;
  }
  QK_TRY(ctx, ops->export_generations(ctx, h, generation + 1, export_generation, pkg->db, &cutoff));
  if (cutoff > 1) QK_TRY(ctx, QK_vhash__add__int64(ctx, x.header, "g0", cutoff));
  if (generation < export_generation) x.has_content = 1;

  QK_TRY(ctx, QK_vhash__alloc(ctx, &x.states));
  QK_TRY(ctx, tav_defin__order_tables_by_fk(ctx, x.defin, &pOrder));
  QK_TRY(ctx, QK_varray__count(ctx, pOrder, &tables));
  for (QK_uint32 i = 0; i < tables; i++) {
    const char *pszTbl = NULL;
    tav_export_range range = {};
    QK_TRY(ctx, QK_varray__get__sz(ctx, pOrder, i, &pszTbl));
    range.spec_type = BY_GENERATION;
    range.first = generation + 1;
    range.last = export_generation;
    range.cutoff_generation = cutoff;
    QK_TRY(ctx, export_generation_table(ctx, &x, pszTbl, range));
  }

  if (!x.has_content) {
    QK_TRY(ctx, tav_pkg__close(ctx, pkg));
    goto done;
  }
  QK_TRY(ctx, to_json(ctx, x.header, &pJson));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pkg->db, &pStmt, "%s", s_gen_header_sql));
  QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, 1, QK_string__sz(pJson)));
  QK_TRY(ctx, run_statement(ctx, pStmt));
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_TRY(ctx, finish_package(ctx, pkg));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
  QK_RELEASE(ctx, QK_varray__free(ctx, pOrder));
  QK_RELEASE(ctx, QK_vhash__free(ctx, x.states));
  QK_RELEASE(ctx, QK_vhash__free(ctx, x.header));
  QK_RELEASE(ctx, tav_defin__free(ctx, &x.defin));
  QK_free(ctx, pszTimeOfSync);
}

/* ---- Entry ---- */

void tav_export__package(QK_context *ctx, const char *dir, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                         int push_mode, int full_resend, tav_baseline *baseline, QK_int64 export_generation,
                         const QK_uint8 *pending_rstamp, tav_filter *filter, tav_filter *prev_filter,
                         const QK_vhash *filter_base, QK_int64 filter_txid, tav_pkg *pkg, QK_vhash **ppStatus) {
  QK_ARG_NOT_NULL(ctx, baseline);
  if (pv < 6 || baseline->txid > 0)
    QK_TRY(ctx, tav_export__txid_package(ctx, dir, ops, h, pv, push_mode, full_resend, baseline, pending_rstamp,
                                         filter, prev_filter, filter_base, filter_txid, export_generation, pkg,
                                         ppStatus));
  else
    QK_TRY(ctx, tav_export__generation_package(ctx, dir, ops, h, pv, push_mode, baseline->generation,
                                               baseline->generation_id, full_resend, export_generation,
                                               pending_rstamp, filter, prev_filter, filter_base, filter_txid, pkg,
                                               ppStatus));
done:;
}

/* ---- Stamp-only and empty packages ---- */

void tav_export__rstamp_rows(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv, QK_int64 txid,
                             const QK_uint8 *rstamp, QK_int64 rebaseid, int *pbNotClone, const char *dir,
                             tav_pkg *pkg) {
  QK_int64 maxTxid = 0, maxCount = 0, first = txid + 1, countNow = 0;
  int bNotClone = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pkg);
  QK_TRY(ctx, ops->get_max_txid(ctx, h, 0, &maxTxid, &maxCount));
  if (txid > 0 && !rstamp_is_zero(rstamp)) {
    int bMatch = 0;
    QK_int64 g = 0, c = 0;
    QK_TRY(ctx, ops->find_tx_by_rstamp(ctx, h, rstamp, rebaseid, txid, &bMatch, &g, &c, NULL));
    if (!bMatch) {
      bNotClone = 1;
      first = 1;
    }
  }
  /* Stamp rows are transaction rows: a version-6 client gets them in the transaction form. */
  QK_TRY(ctx, tav_pkg__create(ctx, dir, pv < 5 ? pv : 5, pkg));
  QK_TRY(ctx, ops->export_meta_table(ctx, h, "tx", NULL, s_tx_rows_columns, first, maxTxid, NULL, pkg->db));
  if (first > 1) {
    QK_TRY(ctx, ops->export_meta_table(ctx, h, "tx", NULL, s_tx_rows_columns, first - 1, first - 1, NULL, pkg->db));
    QK_TRY(ctx, run_int64s(ctx, pkg->db, s_last_sync_sql, 1, first - 1, 0));
  }
  QK_TRY(ctx, ops->count_txids(ctx, h, maxTxid, &countNow));
  if (countNow != maxCount) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "late arrival of txid during rstamp pkg export");
  QK_TRY(ctx, finish_package(ctx, pkg));
  if (pbNotClone != NULL) *pbNotClone = bNotClone;
done:;
}

void tav_export__rstamp_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv, QK_int64 txid,
                                const QK_uint8 *rstamp, QK_int64 rebaseid, int *pbNotClone, const char *dir,
                                tav_pkg *pkg) {
  QK_ARG_NOT_NULL(ctx, pkg);
  if (h != NULL) {
    QK_TRY(ctx, tav_export__rstamp_rows(ctx, ops, h, pv, txid, rstamp, rebaseid, pbNotClone, dir, pkg));
    goto done;
  }
  QK_TRY(ctx, tav_pkg__create(ctx, dir, pv, pkg));
  QK_TRY(ctx, finish_package(ctx, pkg));
  if (pbNotClone != NULL) *pbNotClone = txid > 0;
done:;
}

/* ---- Write-blocking filters ---- */

void tav_export__write_block_violated(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                      tav_filter *filter, QK_int64 txid, int *pbViolated) {
  tav_defin *pDefin = NULL;
  QK_vhash *pStates = NULL;
  QK_varray *pOrder = NULL;
  char *pszTimeOfSync = NULL;
  const char *pszTbl = NULL;
  QK_int64 schemaTxid = 0;
  QK_uint32 tables = 0;
  int bHasTimeOfSync = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pbViolated);
  if (filter != NULL) QK_TRY(ctx, tav_filter__has_time_of_sync(ctx, filter, 1, &bHasTimeOfSync));
  if (bHasTimeOfSync) QK_TRY(ctx, ops->get_utc_date(ctx, h, &pszTimeOfSync));
  QK_TRY(ctx, ops->fetch_schema(ctx, h, filter, &schemaTxid, NULL, &pDefin));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pStates));
  QK_TRY(ctx, tav_defin__order_tables_by_fk(ctx, pDefin, &pOrder));
  QK_TRY(ctx, QK_varray__count(ctx, pOrder, &tables));
  for (QK_uint32 i = 0; i < tables; i++) {
    tav_export_range range = {};
    tav_export_state *pState = NULL;
    int bFilteredNow = 0, bChanged = 0, bOutside = 0;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pOrder, i, &pszTbl));
    range.spec_type = BY_TXID;
    range.first = txid;
    range.last = txid;
    QK_TRY(ctx, tav_export__table_state(ctx, ops, h, pDefin, 0, 1, filter, pszTimeOfSync, filter, pszTimeOfSync, 0,
                                        &range, pszTbl, NULL, pStates, &pState));
    QK_TRY(ctx, state_flag(ctx, pState, "filtered-now", &bFilteredNow));
    if (bFilteredNow) QK_TRY(ctx, ops->table_has_changes(ctx, h, pszTbl, &range, &bChanged));
    if (bFilteredNow && bChanged) {
      QK_TRY(ctx, ops->txid_outside_filter(ctx, h, pStates, pszTbl, txid, &bOutside));
      *pbViolated = bOutside;
      if (bOutside) break;
    }
    pszTbl = NULL;
  }
done:
  add_table_context(ctx, pDefin, pszTbl, "testing for write-block filter violations in");
  QK_RELEASE(ctx, QK_varray__free(ctx, pOrder));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pStates));
  QK_RELEASE(ctx, tav_defin__free(ctx, &pDefin));
  QK_free(ctx, pszTimeOfSync);
}

/* Staging of a push import: the package's changed tables become connection-local temp tables
 * on the dbfile connection (records, optional staging, deltas) with their operations counted
 * by kind, then the push gets its transaction and the staged tables are applied. */
#include <stdarg.h>
#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "common/tav_utils.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_utf8.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_import.h"
#include "server/tav_db_mssql_history.h"
#include "server/tav_db_mssql_row_batch.h"
#include "server/tav_db_mssql_value_check.h"
#include "server/tav_db_mssql_values.h"
#include "server/tav_handle_conflicts.h"

static const char QUOTED_TABLE_NAME_SQL[] =
    "SELECT '[' + OBJECT_SCHEMA_NAME(?) + ']' + '.' + '[' + OBJECT_NAME(?) + ']'  OPTION (OPTIMIZE FOR UNKNOWN)";
/* The same for an id given as digits in the text. */
static const char QUOTED_TABLE_NAME_OF_SQL[] =
    "SELECT '[' + OBJECT_SCHEMA_NAME(%s) + ']' + '.' + '[' + OBJECT_NAME(%s) + ']'  OPTION (OPTIMIZE FOR UNKNOWN)";
static const char DELTAS_TABLE_SQL[] =
    "CREATE TABLE #%s (rid uniqueidentifier NOT NULL UNIQUE, txid_rec_add bit NOT NULL, txid_rec_del bigint NULL, "
    "txid_rec_undel bigint NULL, txid_rec_reinsert bigint NULL)";
static const char PKG_DELTAS_SQL[] =
    "SELECT rid, CASE WHEN txid_rec_add IS NULL THEN 0 ELSE 1 END, txid_rec_del, txid_rec_undel FROM \"p$rd$%s\"";
/* txid_rec_reinsert stays NULL: only the detaching of child rows sets it. */
static const char DELTA_INSERT_HEAD[] = "INSERT INTO #%s (rid,txid_rec_add,txid_rec_del,txid_rec_undel)";
static const char MALFORMED_PACKAGE_MESSAGE[] =
    "Malformed package. Perhaps the client used an OR REPLACE clause without recursive_triggers=ON.";
static const char DELTAS_TABLE_EXISTS_SQL[] = "SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='p$rd$%s'";
static const char REPEATED_DELTAS_SQL[] = "SELECT COUNT(*) - COUNT(DISTINCT rid) FROM \"p$rd$%s\"";
/* Rows, deltas that are no delete, and those of them that have their row. */
static const char PAIRING_SQL[] =
    "SELECT (SELECT COUNT(*) FROM \"p$u$%s\"), (SELECT COUNT(*) FROM \"p$rd$%s\" WHERE txid_rec_add IS NOT NULL), "
    "(SELECT COUNT(*) FROM \"p$rd$%s\" d INNER JOIN \"p$u$%s\" u ON u.z_rid = d.rid WHERE d.txid_rec_add IS NOT "
    "NULL)";

void tav_db_mssql__exec_direct_classified(QK_context *ctx, QK_mssql_connection *conn, const char *pszSql,
                                          SQLHSTMT *phStmt) {
  SQLRETURN rc;
  QK_TRY(ctx, QK_mssql__exec_direct(ctx, conn, pszSql, phStmt, &rc));
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) QK_TRY(ctx, QK_mssql__throw_stmt_error_classified(ctx, rc, *phStmt, 1));
done:;
}

void tav_db_mssql__read_next_int64(QK_context *ctx, SQLHSTMT hStmt, QK_int64 *pValue) {
  SQLLEN ind = 0;
  SQLRETURN rc;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, pValue);
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, pValue, &ind));
  if (ind == SQL_NULL_DATA) QK_THROW_MSG(ctx, QK_ERR_VERIFICATION_FAILED, "a count of the batch is NULL");
  /* A write that follows in the batch reports here as it would alone. */
  rc = QK_mssql__odbc()->MoreResults(hStmt);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) QK_TRY(ctx, QK_mssql__throw_stmt_error_classified(ctx, rc, hStmt, 1));
done:;
}

void tav_db_mssql__exec_rowcount(QK_context *ctx, tav_db_handle *h, QK_int64 *pRows, const char *fmt, ...) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  va_list args;
  QK_ARG_NOT_NULL(ctx, h);
  va_start(args, fmt);
  QK_string__alloc__vformat(ctx, &pSql, fmt, args);
  va_end(args);
  QK_CHECK(ctx);
  if (pRows == NULL) {
    QK_TRY(ctx, QK_mssql__exec__format_classified_null(ctx, h->conn, "%s", QK_string__sz(pSql)));
    goto done;
  }
  /* The count rides in the statement's own batch. */
  QK_TRY(ctx, QK_string__append__sz(ctx, pSql, "\nSELECT @@ROWCOUNT;"));
  QK_TRY(ctx, tav_db_mssql__exec_direct_classified(ctx, h->conn, QK_string__sz(pSql), &hStmt));
  QK_TRY(ctx, tav_db_mssql__read_next_int64(ctx, hStmt, pRows));
  QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hStmt));
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__load_staged_table(QK_context *ctx, QK_vhash *pState, const char *pszTblId,
                                     tav_staged_table *pTable) {
  QK_vhash *pMember = NULL;
  QK_ARG_NOT_NULL(ctx, pTable);
  memset(pTable, 0, sizeof *pTable);
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pState, pszTblId, &pMember));
  pTable->pszTblId = pszTblId;
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "tbl_name", &pTable->pszTblName));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pMember, "ttable_staging", &pTable->pszStaging));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pMember, "cols_in_host_table", &pTable->pHostCols));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "ttable_records", &pTable->pszRecords));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pMember, "cols_in_pkg_u", &pTable->pPkgCols));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "ttable_deltas", &pTable->pszDeltas));
  QK_TRY(ctx, QK_vhash__check__int64(ctx, pMember, "count_deletes", &pTable->deletes));
  QK_TRY(ctx, QK_vhash__check__int64(ctx, pMember, "count_updates", &pTable->updates));
  QK_TRY(ctx, QK_vhash__check__int64(ctx, pMember, "count_reinserts", &pTable->reinserts));
  QK_TRY(ctx, QK_vhash__check__int64(ctx, pMember, "count_inserts", &pTable->inserts));
  QK_TRY(ctx, QK_vhash__check__int64(ctx, pMember, "count_undeletes", &pTable->undeletes));
done:;
}

void tav_db_mssql__move_count(QK_context *ctx, QK_vhash *pvh, const char *pszFrom, const char *pszTo, QK_int64 n) {
  QK_int64 from = 0, to = 0;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, pszTo);
  if (n == 0) goto done;
  if (pszFrom != NULL) {
    QK_TRY(ctx, QK_vhash__check__int64(ctx, pvh, pszFrom, &from));
    QK_TRY(ctx, QK_vhash__update__int64(ctx, pvh, pszFrom, from - n));
  }
  QK_TRY(ctx, QK_vhash__check__int64(ctx, pvh, pszTo, &to));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pvh, pszTo, to + n));
done:;
}

void tav_db_mssql__get_quoted_table_name(QK_context *ctx, tav_db_handle *h, const char *pszTblId, char **ppsz) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int64 id = 0;
  char *psz = NULL;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pszTblId);
  QK_ARG_NOT_NULL(ctx, ppsz);
  QK_TRY(ctx, QK_int64__parse(ctx, &id, pszTblId));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QUOTED_TABLE_NAME_SQL));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &id));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &id));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  if (bRow) QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &psz));
  /* OBJECT_NAME of an unknown id is NULL, and so is the whole text. */
  if (psz == NULL) QK_THROW_FMT(ctx, QK_ERR_NOT_FOUND, "no host table with object id %s", pszTblId);
  *ppsz = psz;
  psz = NULL;
done:
  QK_free(ctx, psz);
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* A date or time text, or a text or number too large for its column, that SQL Server refuses
 * is the client's fault. */
static void client_value_refused(QK_context *ctx) {
  QK_int64 state = 0;
  if (!QK_context__has_error(ctx)) return;
  tav_db_mssql__error_sqlstate(ctx, &state);
  if (state == 22007 || state == 22008 || state == 22001 || state == 22003)
    QK_context__replace_error(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400), __FILE__, __LINE__);
}

void tav_db_mssql__copy_pkg_rows(QK_context *ctx, tav_db_handle *h, const QK_vhash *pColumns, tav_defin *psk,
                                 const char *pszTblId, const char *pszTempName, sqlite3_stmt *pPkgStmt,
                                 int bWithGeneration, QK_uint32 *pCount) {
  QK_string *pList = NULL, *pHead = NULL;
  tav_col_collection *pTypes = NULL, *pBindings = NULL;
  tav_row_batch *pBatch = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_uint32 countCols = 0, count = 0;
  int extra = bWithGeneration ? 3 : 1, rc, bNeedsData = 0, first = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pColumns);
  QK_ARG_NOT_NULL(ctx, pPkgStmt);
  QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &countCols));
  QK_VERIFY(ctx, sqlite3_column_count(pPkgStmt) == (int)countCols + extra);
  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, pColumns, NULL, &pList));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pHead, "INSERT INTO #%s (z_rid,%s %s)", pszTempName,
                                       bWithGeneration ? " z_gen_add, \"$tavrin generation id$\"," : "",
                                       QK_string__sz(pList)));
  QK_TRY(ctx, tav_db_mssql__alloc_column_array(ctx, (QK_uint16)(countCols + extra), &pTypes));
  pTypes->pBindings[0].sqlType = SQL_GUID;
  for (int i = 1; i < extra; i++) pTypes->pBindings[i].sqlType = SQL_BIGINT;
  QK_TRY(ctx, tav_db_mssql__set_bindings_from_defin(ctx, pTypes, extra, pColumns, psk, pszTblId, 1));
  QK_TRY(ctx, tav_db_mssql__row_batch_open(ctx, h->conn, QK_string__sz(pHead), pTypes, &pBatch));
  while ((rc = sqlite3_step(pPkgStmt)) == SQLITE_ROW) {
    QK_TRY(ctx, tav_db_mssql__row_batch_next(ctx, pBatch, &hStmt, &pBindings, &first));
    QK_TRY(ctx, tav_db_mssql__bind_package_row(ctx, pPkgStmt, 0, hStmt, pBindings, first, (int)countCols + extra,
                                               &bNeedsData));
    tav_db_mssql__row_batch_added(ctx, pBatch, bNeedsData);
    QK_TRY(ctx, client_value_refused(ctx));
    count++;
  }
  if (rc != SQLITE_DONE) QK_THROW(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, rc));
  tav_db_mssql__row_batch_flush(ctx, pBatch);
  QK_TRY(ctx, client_value_refused(ctx));
  if (pCount != NULL) *pCount = count;
done:
  QK_RELEASE(ctx, tav_db_mssql__row_batch_free(ctx, &pBatch));
  QK_RELEASE(ctx, tav_db_mssql__free_column_array(ctx, &pTypes));
  QK_RELEASE(ctx, QK_string__free(ctx, pHead));
  QK_RELEASE(ctx, QK_string__free(ctx, pList));
}

void tav_db_mssql__package_columns(QK_context *ctx, sqlite3 *pPkgDb, tav_defin *psk, const char *pszTblId,
                                   QK_vhash **ppCols) {
  QK_vhash *pAll = NULL, *pCols = NULL;
  QK_uint32 count = 0;
  const char *pszName = NULL, *pszColId = NULL;
  QK_ARG_NOT_NULL(ctx, ppCols);
  QK_TRY(ctx, tav_pkg__get_table_columns(ctx, pPkgDb, pszTblId, &pAll));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pCols));
  QK_TRY(ctx, QK_vhash__count(ctx, pAll, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pAll, i, &pszName, NULL));
    if (tav_pkg__is_internal_column(pszName)) continue;
    QK_TRY(ctx, tav_defin__get_column_id(ctx, psk, pszTblId, pszName, &pszColId));
    if (pszColId == NULL)
      QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "package column \"%s\" is not a column of the table", pszName);
    QK_TRY(ctx, QK_vhash__add__string(ctx, pCols, pszName, pszColId));
  }
  *ppCols = pCols;
  pCols = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pCols));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pAll));
}

/* Every prepared column of the table by name -> id. */
static void prepared_columns(QK_context *ctx, tav_defin *psk, const char *pszTblId, QK_vhash **ppCols) {
  QK_TRY(ctx, tav_defin__map_column_names(ctx, psk, pszTblId, ppCols));
done:;
}

/* Marker rows and the row-id index on the package table, before its rows are read. */
static void prepare_package_table(QK_context *ctx, sqlite3 *pPkgDb, const char *pszTblId) {
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pPkgDb, "DELETE FROM \"p$u$%s\" WHERE NOT z_txid>=1", pszTblId));
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pPkgDb, "CREATE UNIQUE INDEX \"ndx_u$%s\" ON \"p$u$%s\"(z_rid)", pszTblId,
                                     pszTblId));
done:;
}

/* A pushed table's changes: one delta per row id, in a delta table. */
static void check_deltas_table(QK_context *ctx, sqlite3 *pPkgDb, const char *pszTblId) {
  QK_int64 tables = 0, repeated = 0;
  QK_TRY(ctx, QK_sqlite__one_int64(ctx, pPkgDb, &tables, DELTAS_TABLE_EXISTS_SQL, pszTblId));
  if (tables == 1) QK_TRY(ctx, QK_sqlite__one_int64(ctx, pPkgDb, &repeated, REPEATED_DELTAS_SQL, pszTblId));
  if (tables != 1 || repeated != 0) QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, MALFORMED_PACKAGE_MESSAGE);
done:;
}

/* Every row of the package table must be the row of a delta that is no delete, and every such
 * delta must have its row (row ids are unique on both sides): otherwise the client's rows and
 * changes disagree. */
static void check_rows_pair_with_deltas(QK_context *ctx, sqlite3 *pPkgDb, const char *pszTblId) {
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pStmt, PAIRING_SQL, pszTblId, pszTblId, pszTblId, pszTblId));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_ROW));
  if (sqlite3_column_int64(pStmt, 0) != sqlite3_column_int64(pStmt, 1) ||
      sqlite3_column_int64(pStmt, 1) != sqlite3_column_int64(pStmt, 2))
    QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, MALFORMED_PACKAGE_MESSAGE);
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* Copies "SELECT z_rid, <columns> FROM p$u$<id> u" into the records table. */
static void copy_package_rows(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, tav_defin *psk,
                              const char *pszTblId, QK_vhash *pCols, const char *pszRecords, QK_uint32 *pCount) {
  QK_string *pSelect = NULL;
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, pszTblId, pCols, NULL, "u", 0, 0, &pSelect));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pStmt, "SELECT z_rid, %s FROM \"p$u$%s\" u",
                                        QK_string__sz(pSelect), pszTblId));
  QK_TRY(ctx, tav_db_mssql__copy_pkg_rows(ctx, h, pCols, psk, pszTblId, pszRecords, pStmt, 0, pCount));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
}

/* Recovered data: the package's rows replace those of the rolled-back timeline. */
static void restage_records(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, tav_defin *psk,
                            const char *pszTblId, QK_vhash *pCols, const char *pszRecords) {
  sqlite3_stmt *pStmt = NULL;
  SQLHSTMT hDelete = SQL_NULL_HSTMT;
  QK_string *pKey = NULL;
  const char *pszFirstKey = NULL;
  char szGuid[QK_GUID_SZ_SIZE];
  SQLLEN ind = 0;
  int rc;
  QK_TRY(ctx, prepare_package_table(ctx, pPkgDb, pszTblId));
  QK_TRY(ctx, tav_db_mssql__check_package_values(ctx, pPkgDb, psk, pszTblId, pCols, 0));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pStmt, "SELECT z_rid FROM \"p$u$%s\"", pszTblId));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hDelete, "DELETE FROM #%s WHERE z_rid = ?", pszRecords));
  while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW) {
    int len = sqlite3_column_bytes(pStmt, 0);
    if (len != 16) QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "guid blob must be 16 bytes: %d", len);
    QK_guid__to_sz((const QK_uint8 *)sqlite3_column_blob(pStmt, 0), szGuid);
    QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hDelete, 1, szGuid, &ind));
    QK_TRY(ctx, QK_mssql__execute(ctx, hDelete));
  }
  if (rc != SQLITE_DONE) QK_THROW(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, rc));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "ALTER TABLE #%s DROP COLUMN z_gen_add, \"$tavrin generation id$\"",
                                     pszRecords));
  QK_TRY(ctx, copy_package_rows(ctx, h, pPkgDb, psk, pszTblId, pCols, pszRecords, NULL));
  QK_TRY(ctx, tav_defin__get_key_column_at(ctx, psk, pszTblId, 0, NULL, &pszFirstKey));
  QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszFirstKey, '"', &pKey));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "DELETE FROM #%s WHERE \"%s\" IS NULL", pszRecords,
                                     QK_string__sz(pKey)));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pKey));
  if (hDelete != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hDelete));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

typedef struct {
  QK_int64 inserts, updates, deletes, undeletes, read;
} delta_counts;

/* Copies p$rd$<id> into the deltas table and counts the kinds. */
static void stage_deltas(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, const char *pszTblId,
                         const char *pszDeltas, delta_counts *pCounts) {
  sqlite3_stmt *pStmt = NULL;
  static const QK_int16 types[] = {SQL_GUID, SQL_BIGINT, SQL_BIGINT, SQL_BIGINT};
  QK_string *pHead = NULL;
  tav_col_collection *pBindings = NULL;
  tav_row_batch *pBatch = NULL;
  SQLHSTMT hInsert = SQL_NULL_HSTMT;
  char szGuid[QK_GUID_SZ_SIZE];
  int rc, first = 0;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pStmt, PKG_DELTAS_SQL, pszTblId));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pHead, DELTA_INSERT_HEAD, pszDeltas));
  QK_TRY(ctx, tav_db_mssql__row_batch_open_typed(ctx, h->conn, QK_string__sz(pHead), 4, types, &pBatch));
  while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW) {
    int len = sqlite3_column_bytes(pStmt, 0);
    int add = sqlite3_column_int(pStmt, 1);
    int bDelNull = sqlite3_column_type(pStmt, 2) == SQLITE_NULL;
    int bUndelNull = sqlite3_column_type(pStmt, 3) == SQLITE_NULL;
    tav_col_binding *b;
    /* rid is NOT NULL in the deltas table: a delta without a row id is the package's fault,
     * not a server error. */
    if (len == 0) QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Malformed package. A row delta has no row id.");
    if (len != 16) QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "guid blob must be 16 bytes: %d", len);
    QK_guid__to_sz((const QK_uint8 *)sqlite3_column_blob(pStmt, 0), szGuid);
    /* A delete that names no version can match none: it would never be applied. */
    if (add == 0 && bDelNull)
      QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                   "Malformed package. The delete of row id %s names no row version (txid_rec_del is NULL).", szGuid);
    QK_TRY(ctx, tav_db_mssql__row_batch_next(ctx, pBatch, &hInsert, &pBindings, &first));
    b = &pBindings->pBindings[first];
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_guid(ctx, hInsert, first + 1, &b[0], szGuid));
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_int64(ctx, hInsert, first + 2, &b[1], 0, add));
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_int64(ctx, hInsert, first + 3, &b[2], bDelNull,
                                                   sqlite3_column_int64(pStmt, 2)));
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_int64(ctx, hInsert, first + 4, &b[3], bUndelNull,
                                                   sqlite3_column_int64(pStmt, 3)));
    QK_TRY(ctx, tav_db_mssql__row_batch_added(ctx, pBatch, 0));
    pCounts->read++;
    if (add == 0)
      pCounts->deletes++;
    else if (!bDelNull)
      pCounts->updates++;
    else if (bUndelNull)
      pCounts->inserts++;
    else
      pCounts->undeletes++;
  }
  if (rc != SQLITE_DONE) QK_THROW(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, rc));
  QK_TRY(ctx, tav_db_mssql__row_batch_flush(ctx, pBatch));
done:
  QK_RELEASE(ctx, tav_db_mssql__row_batch_free(ctx, &pBatch));
  QK_RELEASE(ctx, QK_string__free(ctx, pHead));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* The host columns: with every column in the package none is missing and the records table
 * is the source; otherwise a staging table takes all of them. */
static void stage_host_columns(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                               QK_vhash *pMember, QK_vhash *pPkgCols) {
  QK_vhash *pHost = NULL;
  QK_uint32 countPrep = 0, countUnprep = 0, countPkg = 0;
  char szStaging[TAV_TEMP_NAME_SIZE];
  const char *pszColId = NULL, *pszName = NULL;
  QK_TRY(ctx, tav_defin__count_columns(ctx, psk, pszTblId, &countPrep));
  QK_TRY(ctx, tav_defin__count_unprep_columns(ctx, psk, pszTblId, &countUnprep));
  QK_TRY(ctx, QK_vhash__count(ctx, pPkgCols, &countPkg));
  if (countPrep + countUnprep == countPkg) {
    QK_uint32 count_unprepared_cols = countUnprep;
    QK_VERIFY(ctx, count_unprepared_cols==0);
    QK_TRY(ctx, prepared_columns(ctx, psk, pszTblId, &pHost));
  } else {
    QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szStaging, "staging", pszTblId));
    QK_TRY(ctx, tav_db_mssql__create_temp_table(ctx, h->conn, psk, pszTblId, szStaging,
                                                "z_rid uniqueidentifier PRIMARY KEY", 1, NULL, 0, NULL));
    QK_TRY(ctx, prepared_columns(ctx, psk, pszTblId, &pHost));
    for (QK_uint32 i = 0; i < countUnprep; i++) {
      QK_TRY(ctx, tav_defin__get_unprep_column_at(ctx, psk, pszTblId, (int)i, &pszColId));
      QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, pszTblId, pszColId, &pszName));
      QK_TRY(ctx, QK_vhash__add__null(ctx, pHost, pszName));
    }
    QK_TRY(ctx, QK_vhash__update__string(ctx, pMember, "ttable_staging", szStaging));
  }
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pMember, "cols_in_host_table", NULL));
  QK_TRY(ctx, QK_vhash__add__vhash(ctx, pMember, "cols_in_host_table", &pHost));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pHost));
}

/* The host table's quoted name into *ppszTblName (a new text), read in one batch with the
 * making of the records and deltas tables. */
static void create_staging_tables(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                                  QK_vhash *pCols, const char *pszRecords, const char *pszDeltas,
                                  char **ppszTblName) {
  QK_string *pDdl = NULL, *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  char *pszName = NULL;
  int bHas = 0, bRow = 0;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, tav_db_mssql__column_ddl_for(ctx, pCols, psk, pszTblId, 1, 0, &pDdl));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, QUOTED_TABLE_NAME_OF_SQL, szTbl, szTbl));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, ";\nCREATE TABLE #%s (z_rid uniqueidentifier, %s);\n", pszRecords,
                                        QK_string__sz(pDdl)));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, DELTAS_TABLE_SQL, pszDeltas));
  QK_TRY(ctx, tav_db_mssql__exec_direct_classified(ctx, h->conn, QK_string__sz(pSql), &hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  if (bHas) QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  if (bRow) QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &pszName));
  QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hStmt));
  /* OBJECT_NAME of an unknown id is NULL, and so is the whole text. */
  if (pszName == NULL) QK_THROW_FMT(ctx, QK_ERR_NOT_FOUND, "no host table with object id %s", pszTblId);
  *ppszTblName = pszName;
  pszName = NULL;
done:
  QK_free(ctx, pszName);
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_string__free(ctx, pDdl));
}

/* *ppszTblName receives the host table's quoted name once it is read. */
static void stage_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb, const char *pszTblId,
                        QK_vhash *pState, char **ppszTblName) {
  QK_vhash *pMember = NULL, *pCols = NULL, *pOwnedCols = NULL;
  const char *pszRecords = NULL, *pszIdentity = NULL;
  char szRecords[TAV_TEMP_NAME_SIZE], szDeltas[TAV_TEMP_NAME_SIZE];
  int bFirst = 0;
  delta_counts counts = {0, 0, 0, 0, 0};

  QK_TRY(ctx, tav_defin__get_rowid_column(ctx, psk, pszTblId, &pszIdentity));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pState, pszTblId, &pMember));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pMember, "ttable_records", &pszRecords));
  bFirst = pszRecords == NULL;
  if (!bFirst) QK_TRY(ctx, tav_db_mssql__get_quoted_table_name(ctx, h, pszTblId, ppszTblName));
  if (bFirst) {
    if (pPkgDb != NULL) {
      QK_TRY(ctx, prepare_package_table(ctx, pPkgDb, pszTblId));
      QK_TRY(ctx, check_deltas_table(ctx, pPkgDb, pszTblId));
      QK_TRY(ctx, tav_db_mssql__package_columns(ctx, pPkgDb, psk, pszTblId, &pOwnedCols));
      QK_TRY(ctx, tav_db_mssql__check_package_values(ctx, pPkgDb, psk, pszTblId, pOwnedCols, 1));
    } else {
      QK_TRY(ctx, prepared_columns(ctx, psk, pszTblId, &pOwnedCols));
    }
    QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szRecords, "records", pszTblId));
    QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szDeltas, "deltas", pszTblId));
    QK_TRY(ctx, create_staging_tables(ctx, h, psk, pszTblId, pOwnedCols, szRecords, szDeltas, ppszTblName));
    if (pPkgDb != NULL)
      QK_TRY(ctx, copy_package_rows(ctx, h, pPkgDb, psk, pszTblId, pOwnedCols, szRecords, NULL));
    QK_TRY(ctx, QK_vhash__add__vhash(ctx, pMember, "cols_in_pkg_u", &pOwnedCols));
    QK_TRY(ctx, QK_vhash__update__string(ctx, pMember, "ttable_records", szRecords));
  } else {
    sqlite3 *psql_pkg = pPkgDb;
    QK_VERIFY(ctx, psql_pkg != NULL);
    QK_TRY(ctx, QK_vhash__get__vhash(ctx, pMember, "cols_in_pkg_u", &pCols));
    QK_TRY(ctx, restage_records(ctx, h, pPkgDb, psk, pszTblId, pCols, pszRecords));
  }
  QK_TRY(ctx, QK_vhash__update__string(ctx, pMember, "tbl_name", *ppszTblName));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pMember, "cols_in_pkg_u", &pCols));
  QK_TRY(ctx, stage_host_columns(ctx, h, psk, pszTblId, pMember, pCols));
  if (!bFirst) {
    QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szDeltas, "deltas", pszTblId));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, DELTAS_TABLE_SQL, szDeltas));
  }
  QK_TRY(ctx, QK_vhash__update__string(ctx, pMember, "ttable_deltas", szDeltas));
  if (pPkgDb != NULL) QK_TRY(ctx, stage_deltas(ctx, h, pPkgDb, pszTblId, szDeltas, &counts));

  {
    QK_int64 count_deltas = counts.read, count_inserts = counts.inserts, count_updates = counts.updates,
             count_deletes = counts.deletes, count_undeletes = counts.undeletes;
    QK_VERIFY(ctx, count_deltas == (count_inserts + count_updates + count_deletes + count_undeletes));
  }
  if (bFirst) {
    if (pPkgDb != NULL) QK_TRY(ctx, check_rows_pair_with_deltas(ctx, pPkgDb, pszTblId));
  } else {
    QK_int64 count_records = 0, count_inserts = counts.inserts, count_updates = counts.updates,
             count_undeletes = counts.undeletes;
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "ttable_records", &pszRecords));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "DELETE FROM #%s WHERE z_rid NOT IN (SELECT rid FROM #%s)",
                                       pszRecords, szDeltas));
    QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &count_records, "SELECT COUNT(*) FROM #%s", pszRecords));
    QK_VERIFY(ctx, count_records == count_inserts + count_updates + count_undeletes);
  }
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pMember, "count_inserts", counts.inserts));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pMember, "count_updates", counts.updates));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pMember, "count_deletes", counts.deletes));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pMember, "count_undeletes", counts.undeletes));
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pMember, "has_ipk", pszIdentity != NULL));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pOwnedCols));
}

void tav_db_mssql__stage_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                               const char *pszTblId, QK_vhash *pState) {
  char *pszTblName = NULL;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pszTblId);
  QK_ARG_NOT_NULL(ctx, pState);
  QK_TRY(ctx, stage_table(ctx, h, psk, pPkgDb, pszTblId, pState, &pszTblName));
done:
  if (QK_context__has_error(ctx)) {
    /* A failure before the name was read names the table all the same. */
    if (pszTblName == NULL) QK_RELEASE(ctx, tav_db_mssql__get_quoted_table_name(ctx, h, pszTblId, &pszTblName));
    tav_err__add_context(ctx, pszTblId, "operating on", pszTblName);
  }
  QK_free(ctx, pszTblName);
}

void tav_db_mssql__import_push(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                               const QK_uint8 *pRstamp16, sqlite3 *pPkgDb, QK_int64 fid, QK_int64 *pTxid) {
  QK_vhash *pState = NULL;
  sqlite3_stmt *pTableTest = NULL;
  QK_uint32 countTables = 0;
  const char *pszTblId = NULL;
  QK_int64 txid = 0;
  int bExists = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pRstamp16);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  /* The push writes: versions read ahead for its conflicts no longer hold. */
  tav_db_mssql__history_forget(ctx, h);
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pTableTest, "%s", TAV_PKG_TABLE_EXISTS_SQL));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pState));
  QK_TRY(ctx, tav_defin__count_tables(ctx, psk, &countTables));
  for (QK_uint32 i = 0; i < countTables; i++) {
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, psk, (int)i, &pszTblId));
    QK_TRY(ctx, tav_pkg__table_exists(ctx, pTableTest, TAV_PKG_ROWS_PREFIX, pszTblId, &bExists));
    if (bExists) QK_TRY(ctx, tav_db_mssql__stage_table(ctx, h, psk, pPkgDb, pszTblId, pState));
  }
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pTableTest));
  QK_TRY(ctx, tav_db_mssql__get_tx_id(ctx, h, pRstamp16, &txid));
  QK_TRY(ctx, tav_db_mssql__apply_staged(ctx, "importing pushed changes into", h, psk, pFilter, pState, txid, fid,
                                         pPkgDb));
  if (pTxid != NULL) *pTxid = txid;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pTableTest));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pState));
}

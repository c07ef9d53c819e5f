/* Exports of a dbfile's history rows (transactions, generations, meta tables) and of the row
 * changes of unfiltered tables into download packages, with the range and state query
 * fragments that the filtered exports share. */
#include "server/tav_db_mssql_export.h"

#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "common/tav_utils.h"
#include "qk/qk_malloc.h"
#include "qk/qk_idset.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "qksqlite/qk_sqlite.h"

/* ---- Shared helpers ---- */

void tav_db_mssql__execute_int64(QK_context *ctx, SQLHSTMT hStmt, QK_int64 *pValue) {
  SQLLEN ind = 0;
  int bHas = 0, bRow = 0;
  *pValue = 0;
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, pValue, &ind));
  if (ind == SQL_NULL_DATA) *pValue = 0;
done:;
}

void tav_db_mssql__query_batch_int64(QK_context *ctx, tav_db_handle *h, const char *pszSql, QK_int64 *pValue) {
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pValue);
  /* Executed directly: the temp tables a batch creates must outlive it, and SQL Server drops
   * those of a prepared execution when it ends. */
  QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, pValue, "%s", pszSql));
done:;
}

void tav_db_mssql__export_values_counted(QK_context *ctx, tav_db_handle *h, const char *pszCurrentSql,
                                         const char *pszOldSql, QK_int64 expected, sqlite3_stmt *pRowInsert) {
  QK_idset *pRowIds = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_uint32 delivered = 0;
  char szDelivered[QK_INT64_SZ_SIZE], szExpected[QK_INT64_SZ_SIZE];
  /* Room for the expected rows up front (a count beyond reason is not trusted for the size). */
  QK_TRY(ctx, QK_idset__alloc(ctx, expected > 0 && expected < (1 << 24) ? (QK_uint32)expected : 0, &pRowIds));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, pszCurrentSql));
  QK_TRY(ctx, tav_db_mssql__execute_into_package(ctx, &hStmt, pRowInsert, pRowIds, 0));
  QK_TRY(ctx, QK_idset__count(ctx, pRowIds, &delivered));
  /* A version superseded since the set was built has moved to the old values. */
  if ((QK_int64)delivered < expected) {
    QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, pszOldSql));
    QK_TRY(ctx, tav_db_mssql__execute_into_package(ctx, &hStmt, pRowInsert, pRowIds, 1));
    QK_TRY(ctx, QK_idset__count(ctx, pRowIds, &delivered));
  }
  if ((QK_int64)delivered != expected)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: count_already=%s, count_new_row_versions=%s",
                 QK_int64__to_sz(delivered, szDelivered), QK_int64__to_sz(expected, szExpected));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_idset__free(ctx, pRowIds));
}

void tav_db_mssql__typed_select_list(QK_context *ctx, tav_defin *psk, const char *pszTblId,
                                     const char *pszQualifier, QK_string **ppOut) {
  QK_vhash *pColumns = NULL;
  QK_TRY(ctx, tav_defin__list_columns(ctx, psk, pszTblId, 0, &pColumns));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, pszTblId, pColumns, NULL, pszQualifier, 1, 1, ppOut));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pColumns));
}

static const char s_host_table_name_sql[] =
    "SELECT '[' + OBJECT_SCHEMA_NAME(?) + ']' + '.' + '[' + OBJECT_NAME(?) + ']'  OPTION (OPTIMIZE FOR UNKNOWN)";

void tav_db_mssql__host_table_name(QK_context *ctx, tav_db_handle *h, const char *pszTblId, char **ppszName) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int64 id = 0;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, ppszName);
  *ppszName = NULL;
  QK_TRY(ctx, QK_int64__parse(ctx, &id, pszTblId));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, s_host_table_name_sql));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &id));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &id));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, ppszName));
  QK_VERIFY(ctx, *ppszName != NULL);
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* ---- Transaction rows ---- */

static const char s_export_txids_sql[] =
    "SELECT txid FROM\n  (SELECT TOP %d txid AS txid FROM tavrin.%s$t$tx WHERE txid BETWEEN ? AND ? ORDER BY txid "
    "DESC) AS t\nORDER BY txid ASC";

void tav_db_mssql__export_txids(QK_context *ctx, tav_db_handle *h, QK_int64 first, QK_int64 last, int limit,
                                sqlite3 *pPkgDb, QK_int64 *pFirstExported, int *pbLimitReached) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  sqlite3_stmt *pInsert = NULL;
  QK_int64 txid = 0;
  SQLLEN ind = 0;
  int bRow = 0, bHas = 0, count = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_ARG_NOT_NULL(ctx, pFirstExported);
  QK_ARG_VALID(ctx, limit, limit > 0);
  *pFirstExported = 0;
  if (pbLimitReached != NULL) *pbLimitReached = 0;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_export_txids_sql, limit, h->name));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &first));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &last));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pInsert, "INSERT INTO p$tx (txid) VALUES (?)"));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  while (bHas) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &txid, &ind));
    QK_VERIFY(ctx, ind != SQL_NULL_DATA);
    QK_TRY(ctx, QK_sqlite__reset(ctx, pInsert));
    QK_TRY(ctx, QK_sqlite__clear_bindings(ctx, pInsert));
    QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pInsert, 1, txid));
    QK_TRY(ctx, QK_sqlite__step_expect(ctx, pInsert, SQLITE_DONE));
    /* Rows come oldest first, so the first one is the oldest copied. */
    if (*pFirstExported == 0 && txid != 0) *pFirstExported = txid;
    count++;
  }
  if (pbLimitReached != NULL) *pbLimitReached = count == limit;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pInsert));
}

/* ---- Generation rows ---- */

/* The oldest generation inside the history window (0 when none is) into @window. */
static const char s_history_window_sql[] =
    "DECLARE @cutoff date = DATEADD(\n  day,\n  -COALESCE((SELECT act FROM tavrin.[%s$t$rules] WHERE sit=%d), 65),\n"
    "  CAST (GETDATE() AS date));\nDECLARE @window bigint;\nSELECT @window = COALESCE(MIN(generation), 0) FROM "
    "tavrin.\"%s$t$gen\" WITH (INDEX(GENDATE)) WHERE ts >= @cutoff;\nSELECT @window;\n";
/* The rules row whose act is the history window in days. */
#define TAV_DB_SITUATION_HISTORY_WINDOW 1

static const char s_export_generations_sql[] =
    "SELECT generation, id FROM tavrin.\"%s$t$gen\" WHERE (generation BETWEEN ? AND ?) OPTION (OPTIMIZE FOR UNKNOWN)";
/* After the window: from its oldest generation on, and the last one even when it is older. */
static const char s_export_window_generations_sql[] =
    "SELECT generation, id FROM tavrin.\"%s$t$gen\" WHERE (generation BETWEEN ? AND ?) AND (generation = ? OR "
    "(@window <> 0 AND generation >= @window)) OPTION (OPTIMIZE FOR UNKNOWN)";

void tav_db_mssql__export_generations(QK_context *ctx, tav_db_handle *h, QK_int64 first, QK_int64 last,
                                      sqlite3 *pPkgDb, QK_int64 *pCutoffGeneration) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  sqlite3_stmt *pInsert = NULL;
  tav_col_collection *pColl = NULL;
  QK_int64 cutoff = 0;
  SQLLEN ind = 0;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  if (pCutoffGeneration == NULL && last < first) goto done;
  QK_TRY(ctx, QK_string__alloc(ctx, &pSql));
  if (pCutoffGeneration != NULL) {
    *pCutoffGeneration = 0;
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_history_window_sql, h->name, TAV_DB_SITUATION_HISTORY_WINDOW,
                                          h->name));
  }
  if (last >= first)
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, pCutoffGeneration != NULL ? s_export_window_generations_sql
                                                                              : s_export_generations_sql,
                                          h->name));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  if (last >= first) {
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &first));
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &last));
    if (pCutoffGeneration != NULL) QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 3, &last));
  }
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  if (pCutoffGeneration != NULL) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    QK_VERIFY(ctx, bRow);
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &cutoff, &ind));
    /* No generation inside the window: nothing older than the newest one is sent. */
    if (ind == SQL_NULL_DATA || cutoff == 0) cutoff = last + 1;
    *pCutoffGeneration = cutoff;
    QK_TRY(ctx, tav_db_mssql__next_result(ctx, hStmt, &bHas));
  }
  if (!bHas) goto done;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pInsert, "INSERT INTO p$gen (generation, id) VALUES (?, ?)"));
  QK_TRY(ctx, tav_db_mssql__describe_result(ctx, hStmt, &pColl));
  QK_TRY(ctx, tav_db_mssql__copy_result_rows(ctx, hStmt, pColl, pInsert, NULL, 0));
done:
  tav_db_mssql__free_column_array(ctx, &pColl);
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pInsert));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* ---- Meta rows ---- */

static const char s_export_meta_sql[] =
    "SELECT %s FROM tavrin.%s$t$%s WHERE (txid BETWEEN ? AND ?)%s OPTION (OPTIMIZE FOR UNKNOWN)";

void tav_db_mssql__export_meta_table(QK_context *ctx, tav_db_handle *h, const char *pszKind,
                                     tav_export_meta_callback pfnBeforeFirstRow, const char *pszColumnList,
                                     QK_int64 firstTxid, QK_int64 lastTxid, const char *pszExtraCondition,
                                     sqlite3 *pPkgDb) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  sqlite3_stmt *pInsert = NULL;
  tav_col_collection *pColl = NULL;
  QK_string *pPlaceholders = NULL;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_ARG_NOT_NULL(ctx, pszColumnList);
  QK_ARG_NOT_NULL(ctx, pszKind);
  /* The kind names backing and package tables in the statement texts. */
  QK_ARG_VALID(ctx, pszKind, pszKind[0] != '\0' && strspn(pszKind, "abcdefghijklmnopqrstuvwxyz") == strlen(pszKind));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_export_meta_sql, pszColumnList, h->name, pszKind,
                                        pszExtraCondition != NULL ? pszExtraCondition : ""));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &firstTxid));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &lastTxid));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  if (!bHas) goto done;
  QK_TRY(ctx, tav_db_mssql__describe_result(ctx, hStmt, &pColl));
  for (;;) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    if (pInsert == NULL) {
      if (pfnBeforeFirstRow != NULL) QK_TRY(ctx, pfnBeforeFirstRow(ctx, pPkgDb));
      QK_TRY(ctx, tav_sql__placeholders_for_list(ctx, pszColumnList, &pPlaceholders));
      QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pInsert, "INSERT INTO p$%s (%s) VALUES (%s)", pszKind,
                                            pszColumnList, QK_string__sz(pPlaceholders)));
    }
    QK_TRY(ctx, tav_db_mssql__bind_result_row(ctx, hStmt, pInsert, pColl, NULL, 0, NULL));
    QK_TRY(ctx, QK_sqlite__step_expect(ctx, pInsert, SQLITE_DONE));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pInsert));
  tav_db_mssql__free_column_array(ctx, &pColl);
  QK_RELEASE(ctx, QK_string__free(ctx, pPlaceholders));
}

/* ---- Listed txids ---- */

static_assert(sizeof(tav_export_range::listed_table) == TAV_TEMP_NAME_SIZE, "a temp table name fits the range");

/* At most this many listed txids go into one INSERT: SQL Server takes no more rows in a
 * VALUES list. */
#define LISTED_TXIDS_PER_INSERT 1000

/* The number of listed txids (0 without a list). */
static void count_listed(QK_context *ctx, const tav_export_range *range, QK_uint32 *pCount) {
  *pCount = 0;
  if (range->txids != NULL) QK_TRY(ctx, QK_varray__count(ctx, range->txids, pCount));
done:;
}

static int compare_txids(QK_context *ctx, const void *pA, const void *pB, void *pContext) {
  QK_int64 a = *(const QK_int64 *)pA, b = *(const QK_int64 *)pB;
  (void)ctx;
  (void)pContext;
  return a < b ? -1 : a > b;
}

/* The txids a client lists as missing go into a #temp table that every condition on them
 * reads, so that no statement grows with their number: a client may list thousands, and SQL
 * Server takes at most 2,100 parameters in a statement. Made once per range; each txid once. */
static void make_listed_table(QK_context *ctx, tav_db_handle *h, tav_export_range *range) {
  QK_int64 *pTxids = NULL;
  QK_string *pSql = NULL;
  char szTable[TAV_TEMP_NAME_SIZE], t[QK_INT64_SZ_SIZE];
  QK_uint32 count = 0, unique = 0;
  QK_TRY(ctx, count_listed(ctx, range, &count));
  if (count == 0 || range->listed_table[0] != '\0') goto done;
  QK_TRY(ctx, QK_alloc(ctx, count, sizeof(QK_int64), &pTxids));
  for (QK_uint32 i = 0; i < count; i++) QK_TRY(ctx, QK_varray__get__int64(ctx, range->txids, i, &pTxids[i]));
  QK_TRY(ctx, QK_qsort(ctx, pTxids, count, sizeof(QK_int64), compare_txids, NULL));
  for (QK_uint32 i = 0; i < count; i++)
    if (unique == 0 || pTxids[i] != pTxids[unique - 1]) pTxids[unique++] = pTxids[i];
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szTable, "listed_txids", ""));
  /* Executed directly: SQL Server drops the temp tables of a prepared execution when it ends. */
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "CREATE TABLE #%s (txid bigint PRIMARY KEY);", szTable));
  QK_TRY(ctx, QK_string__alloc(ctx, &pSql));
  for (QK_uint32 i = 0; i < unique; i++) {
    if (i % LISTED_TXIDS_PER_INSERT == 0)
      QK_TRY(ctx, QK_string__append__format(ctx, pSql, "INSERT INTO #%s (txid) VALUES ", szTable));
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, i % LISTED_TXIDS_PER_INSERT ? ",(%s)" : "(%s)",
                                          QK_int64__to_sz(pTxids[i], t)));
    if ((i + 1) % LISTED_TXIDS_PER_INSERT == 0 || i + 1 == unique) {
      QK_TRY(ctx, QK_mssql__exec(ctx, h->conn, QK_string__sz(pSql)));
      QK_TRY(ctx, QK_string__clear(ctx, pSql));
    }
  }
  QK_TRY(ctx, QK_strcpy(ctx, range->listed_table, sizeof range->listed_table, szTable));
done:
  QK_free(ctx, pTxids);
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* The listed txids' table, or NULL without listed txids; a range whose table was not made
 * yet is a fault of the caller. */
static void listed_table(QK_context *ctx, const tav_export_range *range, const char **ppszTable) {
  QK_uint32 count = 0;
  *ppszTable = NULL;
  QK_TRY(ctx, count_listed(ctx, range, &count));
  if (count == 0) goto done;
  QK_VERIFY(ctx, range->listed_table[0] != '\0');
  *ppszTable = range->listed_table;
done:;
}

/* ---- Range and state query fragments ---- */

/* The transaction condition of a BY_TXID range: the listed txids and first..last. */
static void append_txid_condition(QK_context *ctx, const tav_export_range *range, QK_string *pOut) {
  char a[QK_INT64_SZ_SIZE], b[QK_INT64_SZ_SIZE];
  const char *pszListed = NULL;
  int parts = 0;
  QK_TRY(ctx, listed_table(ctx, range, &pszListed));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "("));
  if (pszListed != NULL) {
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "txid IN (SELECT txid FROM #%s)", pszListed));
    parts++;
  }
  if (range->last >= range->first)
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%stxid BETWEEN %s AND %s", parts++ ? " OR " : "",
                                          QK_int64__to_sz(range->first, a), QK_int64__to_sz(range->last, b)));
  /* An empty range selects nothing rather than leaving "()" for SQL Server to reject. */
  if (parts == 0) QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "1=0"));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, ")"));
done:;
}

static void append_listed_or(QK_context *ctx, const tav_export_range *range, QK_string *pOut) {
  const char *pszListed = NULL;
  QK_TRY(ctx, listed_table(ctx, range, &pszListed));
  if (pszListed != NULL)
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, " OR tx.txid IN (SELECT txid FROM #%s)", pszListed));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, ")"));
done:;
}

void tav_db_mssql__range_change_queries(QK_context *ctx, const tav_export_range *range, const char *pszDb,
                                        const char *pszTblId, QK_string **ppRows, QK_string **ppDeletions) {
  QK_string *pRows = NULL, *pDel = NULL;
  char a[QK_INT64_SZ_SIZE], b[QK_INT64_SZ_SIZE];
  QK_ARG_NOT_NULL(ctx, range);
  QK_ARG_NOT_NULL(ctx, ppRows);
  QK_ARG_NOT_NULL(ctx, ppDeletions);
  QK_TRY(ctx, QK_string__alloc(ctx, &pRows));
  QK_TRY(ctx, QK_string__alloc(ctx, &pDel));
  if (range->spec_type == BY_GENERATION) {
    QK_int64__to_sz(range->first, a);
    QK_int64__to_sz(range->last, b);
    QK_TRY(ctx, QK_string__append__format(ctx, pRows,
                                          "SELECT rv.z_rv FROM tavrin.\"%s$z$rv$%s\" rv INNER JOIN tavrin.\"%s$t$tx\" tx "
                                          "ON tx.txid=rv.txid WHERE tx.generation BETWEEN %s AND %s",
                                          pszDb, pszTblId, pszDb, a, b));
    QK_TRY(ctx, QK_string__append__format(ctx, pDel,
                                          "SELECT dd.rv, dd.txid FROM tavrin.\"%s$z$dd$%s\" dd INNER JOIN "
                                          "tavrin.\"%s$t$tx\" tx ON tx.txid=dd.txid WHERE tx.generation BETWEEN %s AND %s",
                                          pszDb, pszTblId, pszDb, a, b));
  } else if (range->spec_type == BY_TXID) {
    QK_TRY(ctx, QK_string__append__format(ctx, pRows, "SELECT rv.z_rv FROM tavrin.\"%s$z$rv$%s\" rv WHERE ", pszDb,
                                          pszTblId));
    QK_TRY(ctx, append_txid_condition(ctx, range, pRows));
    QK_TRY(ctx, QK_string__append__format(ctx, pDel, "SELECT dd.rv, dd.txid FROM tavrin.\"%s$z$dd$%s\" dd WHERE ",
                                          pszDb, pszTblId));
    QK_TRY(ctx, append_txid_condition(ctx, range, pDel));
  } else {
    QK_VERIFY(ctx, range->spec_type == FIRST_BY_TXID__LAST_BY_GENERATION);
    QK_int64__to_sz(range->last, a);
    QK_int64__to_sz(range->first, b);
    QK_TRY(ctx, QK_string__append__format(ctx, pRows,
                                          "SELECT rv.z_rv FROM tavrin.\"%s$z$rv$%s\" rv INNER JOIN tavrin.\"%s$t$tx\" tx "
                                          "ON tx.txid=rv.txid WHERE tx.generation <= %s AND (tx.txid >= %s",
                                          pszDb, pszTblId, pszDb, a, b));
    QK_TRY(ctx, append_listed_or(ctx, range, pRows));
    QK_TRY(ctx, QK_string__append__format(ctx, pDel,
                                          "SELECT dd.rv, dd.txid FROM tavrin.\"%s$z$dd$%s\" dd INNER JOIN "
                                          "tavrin.\"%s$t$tx\" tx ON tx.txid=dd.txid WHERE tx.generation <= %s AND "
                                          "(tx.txid >= %s",
                                          pszDb, pszTblId, pszDb, a, b));
    QK_TRY(ctx, append_listed_or(ctx, range, pDel));
  }
  *ppRows = pRows;
  *ppDeletions = pDel;
  pRows = pDel = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pRows));
  QK_RELEASE(ctx, QK_string__free(ctx, pDel));
}

static const char s_state_filtered_current_sql[] =
    "SELECT rv.z_rv, rv.rid%s, tx.generation \n  FROM tavrin.\"%s$z$%s\" AS z$this \n  JOIN tavrin.\"%s$z$rv$%s\" AS rv "
    "ON (rv.z_rv = z$this.z_rv) \n  JOIN tavrin.\"%s$t$tx\" AS tx ON (tx.txid = rv.txid) AND (tx.generation <= %s)";
static const char s_state_filtered_deleted_sql[] =
    "SELECT b.z_rv, b.rid%s, tx1.generation \n  FROM tavrin.\"%s$z$deleted_rvs$%s\" AS b \n  JOIN tavrin.\"%s$t$tx\" AS "
    "tx2 ON (tx2.txid = b.del_txid) AND ((tx2.generation > %s) OR (tx2.generation IS NULL)) \n  JOIN "
    "tavrin.\"%s$t$tx\" AS tx1 ON (tx1.txid = b.add_txid) AND (tx1.generation <= %s) \n  JOIN "
    "tavrin.\"%s$z$old$%s\" AS z$this ON (b.z_rv = z$this.z_rv)";

void tav_db_mssql__state_queries(QK_context *ctx, const tav_export_range *range, const char *pszDb,
                                 const char *pszTblId, int range_end, int bWithTxid, int bFiltered, int *pbTwoPart,
                                 QK_string **ppRows, QK_string **ppDeletions) {
  QK_string *pRows = NULL, *pDel = NULL;
  char p[QK_INT64_SZ_SIZE];
  const char *pszTxidCol = bWithTxid ? ", rv.txid AS txid" : "";
  const char *pszListed = NULL;
  QK_int64 point = 0;
  QK_ARG_NOT_NULL(ctx, range);
  if (pbTwoPart != NULL) *pbTwoPart = 0;
  point = range_end ? range->last : range->first - 1;
  QK_int64__to_sz(point, p);
  QK_TRY(ctx, QK_string__alloc(ctx, &pRows));
  QK_TRY(ctx, QK_string__alloc(ctx, &pDel));
  if (!range_end && range->first <= 1) {
    QK_TRY(ctx, QK_string__append__format(ctx, pRows,
                                          "SELECT z_rv, rid%s, NULL AS generation FROM tavrin.\"%s$z$rv$%s\" AS rv WHERE "
                                          "(1=0)",
                                          pszTxidCol, pszDb, pszTblId));
    QK_TRY(ctx, QK_string__append__format(ctx, pDel, "SELECT dd.* FROM tavrin.\"%s$z$dd$%s\" AS dd WHERE (1=0)", pszDb,
                                          pszTblId));
  } else if (range->spec_type == BY_GENERATION ||
             (range->spec_type == FIRST_BY_TXID__LAST_BY_GENERATION && range_end)) {
    if (bFiltered) {
      QK_TRY(ctx, QK_string__append__format(ctx, pRows, s_state_filtered_current_sql, pszTxidCol, pszDb, pszTblId,
                                            pszDb, pszTblId, pszDb, p));
      QK_TRY(ctx, QK_string__append__format(ctx, pDel, s_state_filtered_deleted_sql,
                                            bWithTxid ? ", b.add_txid AS txid" : "", pszDb, pszTblId, pszDb, p, pszDb,
                                            p, pszDb, pszTblId));
      if (pbTwoPart != NULL) *pbTwoPart = 1;
    } else {
      QK_TRY(ctx, QK_string__append__format(ctx, pRows,
                                            "SELECT rv.z_rv, rv.rid%s, tx.generation FROM tavrin.\"%s$t$tx\" AS tx INNER "
                                            "JOIN tavrin.\"%s$z$rv$%s\" AS rv ON (tx.txid=rv.txid) WHERE "
                                            "(tx.generation <= %s)",
                                            pszTxidCol, pszDb, pszDb, pszTblId, p));
      QK_TRY(ctx, QK_string__append__format(ctx, pDel,
                                            "SELECT dd.* FROM tavrin.\"%s$t$tx\" AS tx2 INNER JOIN "
                                            "tavrin.\"%s$z$dd$%s\" AS dd ON (tx2.txid=dd.txid) WHERE "
                                            "(tx2.generation <= %s)",
                                            pszDb, pszDb, pszTblId, p));
    }
  } else {
    QK_VERIFY(ctx, range->spec_type == BY_TXID ||
                       (range->spec_type == FIRST_BY_TXID__LAST_BY_GENERATION && !range_end));
    QK_TRY(ctx, QK_string__append__format(ctx, pRows,
                                          "SELECT z_rv, rid%s, -1 AS generation FROM tavrin.\"%s$z$rv$%s\" AS rv WHERE "
                                          "(txid <= %s)",
                                          pszTxidCol, pszDb, pszTblId, p));
    QK_TRY(ctx, QK_string__append__format(ctx, pDel, "SELECT dd.* FROM tavrin.\"%s$z$dd$%s\" AS dd WHERE (txid <= %s)",
                                          pszDb, pszTblId, p));
    if (!range_end) QK_TRY(ctx, listed_table(ctx, range, &pszListed));
    if (pszListed != NULL) {
      QK_TRY(ctx, QK_string__append__format(ctx, pRows, " AND (txid NOT IN (SELECT txid FROM #%s))", pszListed));
      QK_TRY(ctx, QK_string__append__format(ctx, pDel, " AND (txid NOT IN (SELECT txid FROM #%s))", pszListed));
    }
  }
  if (ppRows != NULL) {
    *ppRows = pRows;
    pRows = NULL;
  }
  if (ppDeletions != NULL) {
    *ppDeletions = pDel;
    pDel = NULL;
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pRows));
  QK_RELEASE(ctx, QK_string__free(ctx, pDel));
}

/* ---- Table facts of a package export ---- */

/* One synchronised table as the export loop asks about it. */
typedef struct table_fact {
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  QK_int64 purged; /* the purge mark, -1 for none */
  int bMarked;     /* the mark is not NULL */
  int changed;     /* in the facts' generation range: 1, 0, or -1 not read */
} table_fact;

/* Read once per transaction: the package builder asks each table for its purge mark and
 * whether the range changed it, and one statement answers each question for all tables. */
struct tav_db_table_facts {
  table_fact *tables;
  QK_uint32 count;
  int bChangesRead;                   /* changed was read, for the range below */
  QK_int64 changesFirst, changesLast; /* a table asked about another range is asked alone */
};

/* Listed are the tables whose host table exists, as in the schema; the change test reads the
 * backing tables of every listed table at once. Any other table is asked about alone. */
static const char s_table_marks_sql[] =
    "SELECT t.[object_id], t.[purged] FROM tavrin.\"%s$t$t\" AS t INNER JOIN sys.tables AS s ON (s.[object_id] = "
    "t.[object_id])";

static void read_table_marks(QK_context *ctx, tav_db_handle *h, tav_db_table_facts **ppFacts) {
  tav_db_table_facts *pFacts = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int32 id = 0;
  QK_int64 purged = 0;
  SQLLEN indId = 0, indPurged = 0;
  QK_uint32 capacity = 0;
  int bHas = 0, bRow = 0;
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_db_table_facts), &pFacts));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_table_marks_sql, h->name));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  while (bHas) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, 1, &id, &indId));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &purged, &indPurged));
    if (indId == SQL_NULL_DATA) continue;
    if (pFacts->count == capacity) {
      table_fact *pGrown = NULL;
      capacity = capacity == 0 ? 16 : capacity * 2;
      QK_TRY(ctx, QK_alloc(ctx, capacity, sizeof(table_fact), &pGrown));
      if (pFacts->count > 0) memcpy(pGrown, pFacts->tables, pFacts->count * sizeof(table_fact));
      QK_free(ctx, pFacts->tables);
      pFacts->tables = pGrown;
    }
    table_fact *pFact = &pFacts->tables[pFacts->count++];
    QK_TRY(ctx, QK_sprintf_buf(ctx, pFact->szTbl, sizeof pFact->szTbl, "%d", id));
    pFact->bMarked = indPurged != SQL_NULL_DATA;
    pFact->purged = pFact->bMarked ? purged : -1;
    pFact->changed = -1;
  }
  *ppFacts = pFacts;
  pFacts = NULL;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  tav_db_mssql__table_facts_free(&pFacts);
}

void tav_db_mssql__table_facts_free(tav_db_table_facts **ppFacts) {
  if (ppFacts == NULL || *ppFacts == NULL) return;
  QK_free_noctx((*ppFacts)->tables);
  QK_free_noctx(*ppFacts);
  *ppFacts = NULL;
}

/* The table's entry, read with all others on the first question of the transaction; NULL for
 * a table outside the list, which its caller asks the database about on its own. */
static void find_table_fact(QK_context *ctx, tav_db_handle *h, const char *pszTbl, table_fact **ppFact) {
  *ppFact = NULL;
  if (h->pTableFacts == NULL) QK_TRY(ctx, read_table_marks(ctx, h, &h->pTableFacts));
  for (QK_uint32 i = 0; i < h->pTableFacts->count; i++) {
    if (strcmp(h->pTableFacts->tables[i].szTbl, pszTbl) == 0) {
      *ppFact = &h->pTableFacts->tables[i];
      break;
    }
  }
done:;
}

void tav_db_mssql__table_purge_mark(QK_context *ctx, tav_db_handle *h, const char *pszTbl, int *pbKnown,
                                    QK_int64 *pPurged) {
  table_fact *pFact = NULL;
  *pbKnown = 0;
  QK_TRY(ctx, find_table_fact(ctx, h, pszTbl, &pFact));
  if (pFact == NULL) goto done;
  *pbKnown = 1;
  *pPurged = pFact->purged;
done:;
}

/* Changed in the generations first..last: an ended version or a live version written there. */
static const char s_table_changed_sql[] =
    "SELECT %u, CASE WHEN EXISTS (SELECT 1 FROM [tavrin].[%s$z$deleted_rvs$%s] AS d_rv INNER JOIN [tavrin].[%s$t$tx] "
    "AS tx ON (tx.txid = d_rv.del_txid) WHERE (tx.generation BETWEEN @first_gen AND @last_gen)) OR EXISTS (SELECT 1 "
    "FROM [tavrin].[%s$z$x$%s] AS x INNER JOIN [tavrin].[%s$z$rv$%s] AS rv ON (rv.z_rv = x.z_rv) INNER JOIN "
    "[tavrin].[%s$t$tx] AS tx ON (tx.txid = rv.txid) WHERE (tx.generation BETWEEN @first_gen AND @last_gen)) THEN 1 "
    "ELSE 0 END";
/* The range comes as parameters so that the text is the same for every request. */
static const char s_changed_range_sql[] = "DECLARE @first_gen bigint = ?; DECLARE @last_gen bigint = ?;\n";

/* Which tables of the list changed in the range, for all of them in one statement. */
static void read_changed_tables(QK_context *ctx, tav_db_handle *h, QK_int64 first, QK_int64 last) {
  tav_db_table_facts *pFacts = h->pTableFacts;
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int32 index = 0, changed = 0;
  SQLLEN ind = 0;
  int bHas = 0, bRow = 0;
  pFacts->bChangesRead = 1;
  pFacts->changesFirst = first;
  pFacts->changesLast = last;
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pSql, s_changed_range_sql));
  for (QK_uint32 i = 0; i < pFacts->count; i++) {
    const char *t = pFacts->tables[i].szTbl;
    if (i > 0) QK_TRY(ctx, QK_string__append__sz(ctx, pSql, "\nUNION ALL\n"));
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_table_changed_sql, (unsigned)i, h->name, t, h->name, h->name,
                                          t, h->name, t, h->name));
  }
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &first));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &last));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  while (bHas) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, 1, &index, &ind));
    QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, 2, &changed, &ind));
    QK_VERIFY(ctx, index >= 0 && (QK_uint32)index < pFacts->count);
    pFacts->tables[index].changed = changed == 1;
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* Whether the table changed in the generation range, from the facts; *pbKnown 0 for a table
 * outside the list. */
static void table_changed_by_generation(QK_context *ctx, tav_db_handle *h, const char *pszTbl, QK_int64 first,
                                        QK_int64 last, int *pbKnown, int *pbChanged) {
  table_fact *pFact = NULL;
  *pbKnown = 0;
  QK_TRY(ctx, find_table_fact(ctx, h, pszTbl, &pFact));
  if (pFact == NULL) goto done;
  if (!h->pTableFacts->bChangesRead) QK_TRY(ctx, read_changed_tables(ctx, h, first, last));
  if (pFact->changed < 0 || h->pTableFacts->changesFirst != first || h->pTableFacts->changesLast != last) goto done;
  *pbKnown = 1;
  *pbChanged = pFact->changed;
done:;
}

/* ---- Purge check ---- */

static const char s_listed_in_purged_sql[] =
    "SELECT CAST ((CASE WHEN EXISTS (\n  SELECT 1 FROM tavrin.\"%s$t$tx\" WHERE txid IN (SELECT txid FROM #%s) AND "
    "generation <= %s\n) THEN 1 ELSE 0 END) AS bit)";
static const char s_txids_from_in_purged_sql[] =
    "SELECT CAST ((CASE WHEN EXISTS (\n  SELECT 1 FROM tavrin.\"%s$t$tx\" WHERE txid >= %s AND generation <= %s\n) THEN 1 "
    "ELSE 0 END) AS bit)";

void tav_db_mssql__purge_affects_range(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                       tav_export_range *range, int bFresh, QK_int64 *pPurgeGeneration) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_string *pSql = NULL;
  char a[QK_INT64_SZ_SIZE], p[QK_INT64_SZ_SIZE];
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  const char *pszListed = NULL;
  QK_int64 purged = 0;
  SQLLEN ind = 0;
  int bHas = 0, bRow = 0, bHit = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, range);
  QK_ARG_NOT_NULL(ctx, pPurgeGeneration);
  *pPurgeGeneration = 0;
  if (range->first == 1) goto done;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  if (!bFresh && range->spec_type == BY_GENERATION) {
    table_fact *pFact = NULL;
    QK_TRY(ctx, find_table_fact(ctx, h, szTbl, &pFact));
    if (pFact != NULL) {
      if (pFact->bMarked && pFact->purged != 0 && pFact->purged >= range->first) *pPurgeGeneration = pFact->purged;
      goto done;
    }
  }
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql,
                                       "SELECT [purged] FROM tavrin.\"%s$t$t\" WHERE [object_id] = %s AND [purged] IS "
                                       "NOT NULL",
                                       h->name, szTbl));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  if (bHas) QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  if (bRow) QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &purged, &ind));
  /* The connection runs no other statement while this one's results are open. */
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, hStmt));
  if (!bRow || ind == SQL_NULL_DATA || purged == 0) goto done;
  if (range->spec_type == BY_GENERATION) {
    if (purged >= range->first) *pPurgeGeneration = purged;
    goto done;
  }
  QK_int64__to_sz(purged, p);
  QK_TRY(ctx, make_listed_table(ctx, h, range));
  QK_TRY(ctx, listed_table(ctx, range, &pszListed));
  if (pszListed != NULL)
    QK_TRY(ctx, QK_mssql__query_bool__format(ctx, h->conn, &bHit, s_listed_in_purged_sql, h->name, pszListed, p));
  if (!bHit)
    QK_TRY(ctx, QK_mssql__query_bool__format(ctx, h->conn, &bHit, s_txids_from_in_purged_sql, h->name,
                                             QK_int64__to_sz(range->first, a), p));
  if (bHit) *pPurgeGeneration = purged;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* ---- Change test ---- */

static const char s_has_changes_by_generation_sql[] =
    "DECLARE @x_rv [bigint]; SET @x_rv = -1; \nSELECT TOP (1) @x_rv = d_rv.z_rv FROM [tavrin].[%s$z$deleted_rvs$%s] AS "
    "d_rv INNER JOIN [tavrin].[%s$t$tx] AS tx ON (tx.txid = d_rv.del_txid) WHERE (tx.generation BETWEEN %s AND %s); "
    "\nIF (@x_rv < 1) \nBEGIN \n    SELECT TOP (1) @x_rv = x.z_rv FROM [tavrin].[%s$z$x$%s] AS x \n        INNER JOIN "
    "\n          ( SELECT TOP (CAST(0x7FFFFFFFFFFFFFFF AS [bigint])) rv.z_rv FROM [tavrin].[%s$t$tx] AS tx \n          "
    "      INNER JOIN [tavrin].[%s$z$rv$%s] AS rv ON (rv.txid = tx.txid) \n                WHERE (tx.generation "
    "BETWEEN %s AND %s) \n          )  AS tx_rv ON (tx_rv.z_rv = x.z_rv); \nEND; \nSELECT CASE WHEN (@x_rv > 0) THEN 1 "
    "ELSE 0 END;";
static const char s_has_changes_by_txid_sql[] =
    "SELECT CASE WHEN EXISTS (SELECT * FROM tavrin.\"%s$z$dd$%s\" WHERE txid BETWEEN ? AND ?) OR EXISTS (SELECT * FROM "
    "tavrin.\"%s$z$rv$%s\" WHERE txid BETWEEN ? AND ?) THEN 1 ELSE 0 END";
static const char s_has_changes_listed_sql[] =
    "SELECT CASE WHEN EXISTS (SELECT * FROM tavrin.\"%s$z$dd$%s\" WHERE txid IN (SELECT txid FROM #%s)) OR EXISTS "
    "(SELECT * FROM tavrin.\"%s$z$rv$%s\" WHERE txid IN (SELECT txid FROM #%s)) THEN 1 ELSE 0 END";

void tav_db_mssql__table_has_changes(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                     tav_export_range *pRange, int *pbChanged) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char a[QK_INT64_SZ_SIZE], b[QK_INT64_SZ_SIZE];
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  const char *pszListed = NULL;
  QK_int64 answer = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pRange);
  QK_ARG_NOT_NULL(ctx, pbChanged);
  *pbChanged = 0;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  if (pRange->spec_type == FIRST_BY_TXID__LAST_BY_GENERATION) {
    *pbChanged = 1;
  } else if (pRange->spec_type == BY_GENERATION) {
    int bKnown = 0;
    if (pRange->last < pRange->first) goto done;
    QK_TRY(ctx, table_changed_by_generation(ctx, h, szTbl, pRange->first, pRange->last, &bKnown, pbChanged));
    if (bKnown) goto done;
    QK_int64__to_sz(pRange->first, a);
    QK_int64__to_sz(pRange->last, b);
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_has_changes_by_generation_sql, h->name, szTbl, h->name, a, b,
                                         h->name, szTbl, h->name, h->name, szTbl, a, b));
    QK_TRY(ctx, tav_db_mssql__query_batch_int64(ctx, h, QK_string__sz(pSql), &answer));
    *pbChanged = answer == 1;
  } else {
    QK_VERIFY(ctx, pRange->spec_type == BY_TXID);
    if (pRange->last >= pRange->first) {
      QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_has_changes_by_txid_sql, h->name, szTbl,
                                            h->name, szTbl));
      QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &pRange->first));
      QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &pRange->last));
      QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 3, &pRange->first));
      QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 4, &pRange->last));
      QK_TRY(ctx, tav_db_mssql__execute_int64(ctx, hStmt, &answer));
      QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
      hStmt = SQL_NULL_HSTMT;
      if (answer == 1) {
        *pbChanged = 1;
        goto done;
      }
    }
    QK_TRY(ctx, make_listed_table(ctx, h, pRange));
    QK_TRY(ctx, listed_table(ctx, pRange, &pszListed));
    if (pszListed == NULL) goto done;
    QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &answer, s_has_changes_listed_sql, h->name, szTbl,
                                              pszListed, h->name, szTbl, pszListed));
    *pbChanged = answer == 1;
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* ---- Unfiltered tables ---- */

static const char s_added_sql[] =
    "CREATE TABLE #%s (z_rv bigint PRIMARY KEY);\nINSERT INTO #%s (z_rv) \n  %s\n  AND NOT EXISTS (%s AND "
    "(dd.rv=rv.z_rv)) OPTION (OPTIMIZE FOR UNKNOWN);";
static const char s_live_from_current_sql[] =
    "INSERT INTO #%s (z_rv%s) SELECT a.z_rv%s FROM #%s a INNER JOIN tavrin.\"%s$z$%s\" rec ON (rec.z_rv=a.z_rv)";
static const char s_live_from_old_sql[] =
    "MERGE INTO #%s z$$l USING #%s z$$a INNER JOIN tavrin.\"%s$z$old$%s\" rec ON (rec.z_rv=z$$a.z_rv)  ON "
    "(z$$a.z_rv=z$$l.z_rv)  WHEN NOT MATCHED THEN INSERT (z_rv%s) VALUES(z$$a.z_rv%s);";
static const char s_rows_of_live_sql[] =
    "SELECT rv.rid, rv.txid%s FROM #%s rec INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON (rv.z_rv=rec.z_rv)";
static const char s_row_deltas_by_txid_sql[] =
    "SELECT COALESCE(added.rid, deleted.rid), added.txid, deleted.txid, COALESCE(added.txid, "
    "deleted.txid_when_deleted)\n  FROM\n    (SELECT rv.* FROM #%s a INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON "
    "(rv.z_rv=a.z_rv)) AS added\n    FULL OUTER JOIN     (\n      SELECT deleted_rv.rid AS rid, deleted_rv.txid AS "
    "txid, dd.txid AS txid_when_deleted FROM\n        (%s) AS dd\n        INNER JOIN (%s) AS deleted_rv ON "
    "(deleted_rv.z_rv=dd.rv)\n    ) AS deleted\n    ON deleted.rid=added.rid;\n";

/* Column texts of the txid exports, each starting with ", " (empty without row deltas): the
 * quoted names, the select list over "rec" with casts, and the plain one. */
typedef struct live_columns {
  QK_vhash *pNames;
  QK_string *pQuoted;
  QK_string *pTyped;
  QK_string *pPlain;
} live_columns;

static void live_columns_free(QK_context *ctx, live_columns *c) {
  QK_RELEASE(ctx, QK_vhash__free(ctx, c->pNames));
  QK_RELEASE(ctx, QK_string__free(ctx, c->pQuoted));
  QK_RELEASE(ctx, QK_string__free(ctx, c->pTyped));
  QK_RELEASE(ctx, QK_string__free(ctx, c->pPlain));
  memset(c, 0, sizeof *c);
}

static void prefixed(QK_context *ctx, QK_string *pList, QK_string **ppOut) {
  QK_TRY(ctx, QK_string__alloc__format(ctx, ppOut, ", %s", QK_string__sz(pList)));
done:;
}

/* With row deltas the live table carries the values; otherwise only the versions. */
static void live_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                              int bWithValues, char *pszLive, live_columns *c) {
  QK_string *pList = NULL;
  QK_vhash *pTypes = NULL;
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, pszLive, "live", pszTblId));
  if (!bWithValues) {
    QK_TRY(ctx, QK_vhash__alloc(ctx, &c->pNames));
    QK_TRY(ctx, QK_string__alloc(ctx, &c->pQuoted));
    QK_TRY(ctx, QK_string__alloc(ctx, &c->pTyped));
    QK_TRY(ctx, QK_string__alloc(ctx, &c->pPlain));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "CREATE TABLE #%s (z_rv bigint PRIMARY KEY);", pszLive));
    goto done;
  }
  QK_TRY(ctx, tav_defin__map_column_names(ctx, psk, pszTblId, &c->pNames));
  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, c->pNames, NULL, &pList));
  QK_TRY(ctx, prefixed(ctx, pList, &c->pQuoted));
  QK_RELEASE(ctx, QK_string__free(ctx, pList));
  pList = NULL;
  QK_TRY(ctx, tav_defin__list_columns(ctx, psk, pszTblId, 0, &pTypes));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, pszTblId, pTypes, NULL, "rec", 1, 1, &pList));
  QK_TRY(ctx, prefixed(ctx, pList, &c->pTyped));
  QK_RELEASE(ctx, QK_string__free(ctx, pList));
  pList = NULL;
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, pszTblId, c->pNames, NULL, "rec", 0, 0, &pList));
  QK_TRY(ctx, prefixed(ctx, pList, &c->pPlain));
  QK_TRY(ctx, tav_db_mssql__create_temp_table(ctx, h->conn, psk, pszTblId, pszLive, "z_rv bigint PRIMARY KEY", 0,
                                              c->pNames, 0, NULL));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pList));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pTypes));
}

/* The live table's rows into the row statement. */
static void export_live_rows(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszLive,
                             const live_columns *c, sqlite3_stmt *pRowInsert) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_rows_of_live_sql, QK_string__sz(c->pPlain), pszLive,
                                        h->name, pszTblId));
  QK_TRY(ctx, tav_db_mssql__execute_into_package(ctx, &hStmt, pRowInsert, NULL, 0));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* Runs a statement text and sends its rows into a package statement. */
/* The rows of the statement's current result set (none when !bHas) into the package, read to
 * the end so that the batch can move on. */
static void copy_result_set(QK_context *ctx, SQLHSTMT hStmt, int bHas, sqlite3_stmt *pInsert, QK_idset *pRowIds,
                            int bSkipDuplicates) {
  tav_col_collection *pColl = NULL;
  if (!bHas) goto done;
  QK_TRY(ctx, tav_db_mssql__describe_result(ctx, hStmt, &pColl));
  QK_TRY(ctx, tav_db_mssql__copy_result_rows(ctx, hStmt, pColl, pInsert, pRowIds, bSkipDuplicates));
done:
  tav_db_mssql__free_column_array(ctx, &pColl);
}

static void query_into_package(QK_context *ctx, tav_db_handle *h, const char *pszSql, sqlite3_stmt *pInsert) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, pszSql));
  QK_TRY(ctx, tav_db_mssql__execute_into_package(ctx, &hStmt, pInsert, NULL, 0));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__export_unfiltered_by_txid(QK_context *ctx, tav_db_handle *h, tav_defin *psk,
                                             const char *pszTblId, tav_export_range *export_range,
                                             sqlite3_stmt *pRowInsert, sqlite3_stmt *pRowDeltaInsert) {
  QK_string *pRows = NULL, *pDel = NULL, *pBaseRows = NULL, *pSql = NULL;
  live_columns c = {};
  char szAdded[TAV_TEMP_NAME_SIZE], szLive[TAV_TEMP_NAME_SIZE];
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, export_range);
  QK_VERIFY(ctx, export_range->spec_type == BY_TXID || export_range->spec_type == FIRST_BY_TXID__LAST_BY_GENERATION);
  QK_TRY(ctx, tav_db_mssql__range_change_queries(ctx, export_range, h->name, pszTblId, &pRows, &pDel));
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szAdded, "added", pszTblId));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_added_sql, szAdded, szAdded, QK_string__sz(pRows),
                                     QK_string__sz(pDel)));
  QK_TRY(ctx, live_table(ctx, h, psk, pszTblId, pRowDeltaInsert != NULL, szLive, &c));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_live_from_current_sql, szLive, QK_string__sz(c.pQuoted),
                                     QK_string__sz(c.pTyped), szAdded, h->name, pszTblId));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_live_from_old_sql, szLive, szAdded, h->name, pszTblId,
                                     QK_string__sz(c.pQuoted), QK_string__sz(c.pTyped)));
  QK_TRY(ctx, export_live_rows(ctx, h, pszTblId, szLive, &c, pRowInsert));
  if (pRowDeltaInsert == NULL) goto done;
  QK_TRY(ctx, tav_db_mssql__state_queries(ctx, export_range, h->name, pszTblId, 0, 1, 0, NULL, &pBaseRows, NULL));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_row_deltas_by_txid_sql, szAdded, h->name, pszTblId,
                                       QK_string__sz(pDel), QK_string__sz(pBaseRows)));
  QK_TRY(ctx, query_into_package(ctx, h, QK_string__sz(pSql), pRowDeltaInsert));
done:
  live_columns_free(ctx, &c);
  QK_RELEASE(ctx, QK_string__free(ctx, pRows));
  QK_RELEASE(ctx, QK_string__free(ctx, pDel));
  QK_RELEASE(ctx, QK_string__free(ctx, pBaseRows));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* From scratch the versions live at the end of the range are streamed with their values
 * straight from the tables that hold them: the current versions with the current values, then
 * the versions superseded after the range with the old values (a row id the first statement
 * delivered already is skipped: a push that committed between the two moved its version).
 * Nothing is collected in a work table first. */
static const char s_live_current_from_scratch_sql[] =
    "SELECT rv.rid, NULL, rvtx.generation, %s\n  FROM tavrin.\"%s$z$%s\" AS z \n  JOIN tavrin.\"%s$z$rv$%s\" AS rv ON "
    "z.z_rv = rv.z_rv \n  JOIN tavrin.\"%s$t$tx\" AS rvtx ON(rvtx.txid = rv.txid) AND (rvtx.generation <= %s) \n  "
    "OPTION(OPTIMIZE FOR UNKNOWN);\n";
static const char s_live_superseded_from_scratch_sql[] =
    "SELECT b.rid, NULL, rvtx.generation, %s\n  FROM tavrin.\"%s$z$deleted_rvs$%s\" AS b \n  JOIN tavrin.\"%s$t$tx\" AS "
    "rvtx ON(rvtx.txid = b.add_txid) AND (rvtx.generation <= %s) \n  JOIN tavrin.\"%s$t$tx\" AS deltx ON(deltx.txid = "
    "b.del_txid) AND ((deltx.generation > %s) OR (deltx.generation IS NULL)) \n  JOIN tavrin.\"%s$z$old$%s\" AS z ON "
    "z.z_rv = b.z_rv \n  OPTION(OPTIMIZE FOR UNKNOWN);\n";
/* Row ids deleted in the range, each with its last deletion. Those live at the range's end (a
 * current version written up to its end, or a version superseded after it) are the row ids the
 * two statements before delivered: they are skipped as the rows come, not excluded in the
 * statement, whose two NOT IN lists of every live row id cost the size of the table even when
 * nothing was deleted. */
static const char s_deletes_from_scratch_sql[] =
    "WITH final_deletes (rid, generation) AS\n(\n  SELECT dd.rid, max(ddtx.generation)\n  FROM "
    "tavrin.\"%s$z$deleted_rvs$%s\" dd \n  INNER JOIN tavrin.\"%s$t$tx\" ddtx ON ddtx.txid = dd.del_txid \n  WHERE "
    "ddtx.generation <= %s \n  GROUP BY dd.rid \n)\nSELECT rid, NULL, generation, %s FROM final_deletes\n  WHERE "
    "generation >= %s;\n";

/* "NULL" and ", NULL" for every further prepared column: the values of a deletion row. */
static void null_values(QK_context *ctx, tav_defin *psk, const char *pszTblId, QK_string **ppOut) {
  QK_vhash *pNames = NULL;
  QK_uint32 count = 0;
  QK_TRY(ctx, tav_defin__map_column_names(ctx, psk, pszTblId, &pNames));
  QK_TRY(ctx, QK_vhash__count(ctx, pNames, &count));
  QK_TRY(ctx, QK_string__alloc__sz(ctx, ppOut, "NULL"));
  for (QK_uint32 i = 1; i < count; i++) QK_TRY(ctx, QK_string__append__sz(ctx, *ppOut, ", NULL"));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pNames));
}

/* The values of the versions in a set (current, else superseded), checked by count. */
static void export_set_values(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszTemplate,
                              const char *pszSelectList, const char *pszA, const char *pszB, QK_int64 expected,
                              sqlite3_stmt *pRowInsert) {
  QK_string *pCurrent = NULL, *pOld = NULL, *pOldTbl = NULL;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pOldTbl, "old$%s", pszTblId));
  if (pszB == NULL) {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pCurrent, pszTemplate, pszSelectList, pszA, h->name, pszTblId));
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pOld, pszTemplate, pszSelectList, pszA, h->name,
                                         QK_string__sz(pOldTbl)));
  } else {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pCurrent, pszTemplate, pszSelectList, pszA, pszB, h->name, pszTblId));
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pOld, pszTemplate, pszSelectList, pszA, pszB, h->name,
                                         QK_string__sz(pOldTbl)));
  }
  QK_TRY(ctx, tav_db_mssql__export_values_counted(ctx, h, QK_string__sz(pCurrent), QK_string__sz(pOld), expected,
                                                  pRowInsert));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pCurrent));
  QK_RELEASE(ctx, QK_string__free(ctx, pOld));
  QK_RELEASE(ctx, QK_string__free(ctx, pOldTbl));
}

void tav_db_mssql__export_unfiltered_from_scratch(QK_context *ctx, tav_db_handle *h, tav_defin *psk,
                                                  const char *pszTblId, tav_export_range *export_range,
                                                  sqlite3_stmt *pRowInsert) {
  QK_string *pSql = NULL, *pSelect = NULL, *pNulls = NULL;
  QK_idset *pRowIds = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char g[QK_INT64_SZ_SIZE], cut[QK_INT64_SZ_SIZE];
  const char *db = NULL;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, export_range);
  QK_VERIFY(ctx, export_range->spec_type == BY_GENERATION);
  QK_VERIFY(ctx, export_range->first == 1);
  db = h->name;
  QK_int64__to_sz(export_range->last, g);
  QK_int64__to_sz(export_range->cutoff_generation, cut);
  QK_TRY(ctx, tav_db_mssql__typed_select_list(ctx, psk, pszTblId, "z", &pSelect));
  QK_TRY(ctx, QK_idset__alloc(ctx, 0, &pRowIds));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_live_current_from_scratch_sql, QK_string__sz(pSelect), db,
                                       pszTblId, db, pszTblId, db, g));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  QK_TRY(ctx, tav_db_mssql__execute_into_package(ctx, &hStmt, pRowInsert, pRowIds, 0));
  QK_TRY(ctx, QK_string__clear(ctx, pSql));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_live_superseded_from_scratch_sql, QK_string__sz(pSelect), db,
                                        pszTblId, db, g, db, g, db, pszTblId));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  QK_TRY(ctx, tav_db_mssql__execute_into_package(ctx, &hStmt, pRowInsert, pRowIds, 1));
  QK_TRY(ctx, null_values(ctx, psk, pszTblId, &pNulls));
  QK_TRY(ctx, QK_string__clear(ctx, pSql));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_deletes_from_scratch_sql, db, pszTblId, db, g,
                                        QK_string__sz(pNulls), cut));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  QK_TRY(ctx, tav_db_mssql__execute_into_package(ctx, &hStmt, pRowInsert, pRowIds, 1));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_idset__free(ctx, pRowIds));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pNulls));
}

/* An incremental export streams, like one from scratch, the versions written in the range
 * that are live at its end: current ones with the current values, then those superseded
 * after the range with the old values (a row id delivered already is skipped), each with the
 * generation of the version the client held when the range ended that one (the baseline
 * deletions: versions older than the range that the range ended, one per row id). Then the
 * row ids the range deleted for good. No work table is made. */
static const char s_baseline_deletes_by_generation_sql[] =
    "(SELECT bdv.rid AS rid, bdtx.generation AS rv_gen FROM tavrin.\"%s$z$deleted_rvs$%s\" bdv INNER JOIN "
    "tavrin.\"%s$t$tx\" bddx ON bddx.txid = bdv.del_txid INNER JOIN tavrin.\"%s$t$tx\" bdtx ON bdtx.txid = "
    "bdv.add_txid WHERE bddx.generation BETWEEN %s AND %s AND bdtx.generation < %s)";
static const char s_live_current_by_generation_sql[] =
    "SELECT rv.rid, bd.rv_gen, addtx.generation, %s\n  FROM tavrin.\"%s$z$%s\" z \n  INNER JOIN tavrin.\"%s$z$rv$%s\" rv "
    "ON z.z_rv = rv.z_rv \n  INNER JOIN tavrin.\"%s$t$tx\" addtx ON(addtx.txid = rv.txid) \n  LEFT OUTER JOIN %s bd "
    "ON bd.rid = rv.rid \n  WHERE(addtx.generation BETWEEN %s AND %s) OPTION(OPTIMIZE FOR UNKNOWN);\n";
static const char s_live_superseded_by_generation_sql[] =
    "SELECT b.rid, bd.rv_gen, addtx.generation, %s\n  FROM tavrin.\"%s$z$deleted_rvs$%s\" b \n  INNER JOIN "
    "tavrin.\"%s$t$tx\" deltx ON(deltx.txid = b.del_txid) \n  INNER JOIN tavrin.\"%s$t$tx\" addtx ON(addtx.txid = "
    "b.add_txid) \n  INNER JOIN tavrin.\"%s$z$old$%s\" z ON z.z_rv = b.z_rv \n  LEFT OUTER JOIN %s bd ON bd.rid = "
    "b.rid \n  WHERE(addtx.generation BETWEEN %s AND %s) \n  AND   (deltx.generation > %s  OR (deltx.generation IS "
    "NULL)) OPTION(OPTIMIZE FOR UNKNOWN);\n";
/* Row ids deleted in the range; those live at its end are the row ids the two result sets before
 * delivered, skipped as the rows come (as from scratch). */
static const char s_deletes_by_generation_sql[] =
    "WITH final_deletes (rid, generation) AS\n(\n  SELECT dd.rid, max(ddtx.generation)\n  FROM "
    "tavrin.\"%s$z$deleted_rvs$%s\" dd \n  INNER JOIN tavrin.\"%s$t$tx\" ddtx ON ddtx.txid = dd.del_txid \n  WHERE "
    "ddtx.generation BETWEEN %s AND %s \n  GROUP BY dd.rid \n)\nSELECT fd.rid, bd.rv_gen, fd.generation, %s\n  FROM "
    "%s bd\n  RIGHT OUTER JOIN final_deletes fd ON fd.rid = bd.rid\n  WHERE bd.rv_gen IS NOT NULL OR fd.generation >= "
    "%s;\n";

void tav_db_mssql__export_unfiltered_by_generation(QK_context *ctx, tav_db_handle *h, tav_defin *psk,
                                                   const char *pszTblId, tav_export_range *export_range,
                                                   sqlite3_stmt *pRowInsert) {
  QK_string *pSql = NULL, *pSelect = NULL, *pNulls = NULL, *pBase = NULL;
  QK_idset *pRowIds = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char f[QK_INT64_SZ_SIZE], l[QK_INT64_SZ_SIZE], cut[QK_INT64_SZ_SIZE];
  const char *db = NULL, *bd = NULL;
  int bHas = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, export_range);
  QK_VERIFY(ctx, export_range->spec_type == BY_GENERATION);
  QK_VERIFY(ctx, export_range->first > 1);
  db = h->name;
  QK_int64__to_sz(export_range->first, f);
  QK_int64__to_sz(export_range->last, l);
  QK_int64__to_sz(export_range->cutoff_generation, cut);
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pBase, s_baseline_deletes_by_generation_sql, db, pszTblId, db, db, f, l,
                                       f));
  bd = QK_string__sz(pBase);
  QK_TRY(ctx, tav_db_mssql__typed_select_list(ctx, psk, pszTblId, "z", &pSelect));
  QK_TRY(ctx, QK_idset__alloc(ctx, 0, &pRowIds));
  QK_TRY(ctx, null_values(ctx, psk, pszTblId, &pNulls));
  /* One batch, its three result sets read in order: the current live versions, the live
   * versions superseded since and the final deletions, rows of row ids delivered already
   * skipped. */
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_live_current_by_generation_sql, QK_string__sz(pSelect), db,
                                       pszTblId, db, pszTblId, db, bd, f, l));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_live_superseded_by_generation_sql, QK_string__sz(pSelect), db,
                                        pszTblId, db, db, db, pszTblId, bd, f, l, l));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_deletes_by_generation_sql, db, pszTblId, db, f, l,
                                        QK_string__sz(pNulls), bd, cut));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_TRY(ctx, copy_result_set(ctx, hStmt, bHas, pRowInsert, pRowIds, 0));
  QK_TRY(ctx, tav_db_mssql__next_result(ctx, hStmt, &bHas));
  QK_TRY(ctx, copy_result_set(ctx, hStmt, bHas, pRowInsert, pRowIds, 1));
  QK_TRY(ctx, tav_db_mssql__next_result(ctx, hStmt, &bHas));
  QK_TRY(ctx, copy_result_set(ctx, hStmt, bHas, pRowInsert, pRowIds, 1));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_idset__free(ctx, pRowIds));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pNulls));
  QK_RELEASE(ctx, QK_string__free(ctx, pBase));
}

/* ---- Filtered tables ---- */

static const char s_filtered_live_current_sql[] =
    "INSERT INTO #%s (z_rv%s)\nSELECT a.z_rv%s\nFROM #%s a INNER JOIN tavrin.\"%s$z$%s\" rec ON (rec.z_rv=a.z_rv)\nWHERE "
    "a.z_rv NOT IN (SELECT z_rv FROM #%s)\n";
static const char s_filtered_live_old_sql[] =
    "INSERT INTO #%s (z_rv%s)\nSELECT a.z_rv%s\nFROM #%s a INNER JOIN tavrin.\"%s$z$old$%s\" rec ON "
    "(rec.z_rv=a.z_rv)\nWHERE a.z_rv NOT IN (SELECT z_rv FROM #%s UNION SELECT z_rv FROM #%s)\n";
static const char s_scratch_live_current_sql[] =
    "INSERT INTO #%s (z_rv%s)\nSELECT a.z_rv%s\nFROM #%s a INNER JOIN tavrin.\"%s$z$%s\" rec ON (rec.z_rv=a.z_rv)\n";
static const char s_scratch_live_old_sql[] =
    "INSERT INTO #%s (z_rv%s)\nSELECT a.z_rv%s\nFROM #%s a INNER JOIN tavrin.\"%s$z$old$%s\" rec ON "
    "(rec.z_rv=a.z_rv)\nWHERE a.z_rv NOT IN (SELECT z_rv FROM #%s)\n";
static const char s_filtered_row_deltas_sql[] =
    "WITH base AS (SELECT rv.rid AS rid, rv.txid AS txid FROM #%s t INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON "
    "rv.z_rv=t.z_rv),\n    final AS (SELECT rv.rid AS rid, rv.txid AS txid FROM #%s t INNER JOIN "
    "tavrin.\"%s$z$rv$%s\" rv ON rv.z_rv=t.z_rv)\nSELECT COALESCE(base.rid, final.rid), final.txid, base.txid, "
    "COALESCE(final.txid, %s)\nFROM base FULL OUTER JOIN final ON (final.rid=base.rid)\nWHERE (final.txid IS NULL OR "
    "base.txid IS NULL OR final.txid<>base.txid)";
static const char s_scratch_row_deltas_sql[] =
    "SELECT rv.rid, rv.txid, NULL, rv.txid\nFROM #%s t INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON rv.z_rv=t.z_rv";

void tav_db_mssql__export_filtered_by_txid(QK_context *ctx, tav_db_handle *h, int pkgVersion, tav_defin *psk,
                                           QK_vhash *pStates, const char *pszTblId, const char *pszClientDigest,
                                           char **ppszDigest, tav_export_range *export_range,
                                           sqlite3_stmt *pRowInsert, sqlite3_stmt *pRowDeltaInsert) {
  QK_string *pSql = NULL;
  live_columns c = {};
  char szBase[TAV_TEMP_NAME_SIZE], szFinal[TAV_TEMP_NAME_SIZE], szLive[TAV_TEMP_NAME_SIZE], t[QK_INT64_SZ_SIZE];
  QK_int64 T = 0, firstListed = 0;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, export_range);
  QK_VERIFY(ctx, export_range->spec_type == BY_TXID || export_range->spec_type == FIRST_BY_TXID__LAST_BY_GENERATION);
  QK_TRY(ctx, tav_db_mssql__choose_baseline_set(ctx, h, pkgVersion, pStates, pszTblId, pszClientDigest, ppszDigest,
                                                export_range, szBase, szFinal));
  if (szFinal[0] == '\0') goto done;
  QK_TRY(ctx, live_table(ctx, h, psk, pszTblId, pRowDeltaInsert != NULL, szLive, &c));
  if (szBase[0] != '\0') {
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_filtered_live_current_sql, szLive, QK_string__sz(c.pQuoted),
                                       QK_string__sz(c.pTyped), szFinal, h->name, pszTblId, szBase));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_filtered_live_old_sql, szLive, QK_string__sz(c.pQuoted),
                                       QK_string__sz(c.pTyped), szFinal, h->name, pszTblId, szBase, szLive));
  } else {
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_scratch_live_current_sql, szLive, QK_string__sz(c.pQuoted),
                                       QK_string__sz(c.pTyped), szFinal, h->name, pszTblId));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_scratch_live_old_sql, szLive, QK_string__sz(c.pQuoted),
                                       QK_string__sz(c.pTyped), szFinal, h->name, pszTblId, szLive));
  }
  QK_TRY(ctx, export_live_rows(ctx, h, pszTblId, szLive, &c, pRowInsert));
  if (pRowDeltaInsert == NULL) goto done;
  if (szBase[0] != '\0') {
    /* A row that left the set is deleted "as of" the end of the range. */
    T = export_range->spec_type == FIRST_BY_TXID__LAST_BY_GENERATION ? export_range->last_txid : export_range->last;
    QK_TRY(ctx, count_listed(ctx, export_range, &count));
    if (count > 0) {
      QK_TRY(ctx, QK_varray__get__int64(ctx, export_range->txids, 0, &firstListed));
      if (firstListed < export_range->first) T = firstListed;
    }
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_filtered_row_deltas_sql, szBase, h->name, pszTblId, szFinal,
                                         h->name, pszTblId, QK_int64__to_sz(T, t)));
  } else {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_scratch_row_deltas_sql, szFinal, h->name, pszTblId));
  }
  QK_TRY(ctx, query_into_package(ctx, h, QK_string__sz(pSql), pRowDeltaInsert));
done:
  live_columns_free(ctx, &c);
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

static const char s_count_new_versions_sql[] =
    "SELECT COUNT_BIG(*) FROM #%s AS f WHERE (NOT EXISTS (SELECT * FROM #%s AS b WHERE (f.z_rv = b.z_rv)));";
static const char s_filtered_values_sql[] =
    "SELECT final.rid, base.generation, final.generation, %s FROM\n  #%s base\n  RIGHT OUTER JOIN #%s final ON "
    "final.rid = base.rid\n  INNER JOIN tavrin.\"%s$z$%s\" z ON z.z_rv = final.z_rv\n  WHERE base.z_rv IS NULL OR "
    "base.z_rv != final.z_rv;\n";
static const char s_filtered_deletes_sql[] =
    "SELECT DISTINCT rid, MIN(generation), MAX(del_generation), %s \nFROM ( \n  SELECT base_rv.rid AS rid, "
    "base_rv.generation AS generation, dd_tx.generation AS del_generation \n  FROM #%s AS base_rv  \n    INNER JOIN  "
    "tavrin.\"%s$z$deleted_rvs$%s\" AS ddrv ON ddrv.rid = base_rv.rid  \n\tINNER JOIN tavrin.\"%s$t$tx\" AS dd_tx ON  "
    "(dd_tx.txid = ddrv.del_txid) AND (dd_tx.generation BETWEEN %s AND %s)  \n\tLEFT JOIN tavrin.\"%s$z$rv$%s\" AS "
    "next_rv  ON (next_rv.rid = ddrv.rid) AND (next_rv.txid = ddrv.del_txid) \n\tWHERE next_rv.rid IS NULL AND ( NOT "
    "EXISTS (SELECT * FROM #%s AS ft WHERE (ft.rid = base_rv.rid)) ) \n  UNION ALL  \n  SELECT base_rv.rid AS rid, "
    "base_rv.generation AS generation, 0 AS del_generation \n  FROM #%s AS base_rv  \n\tWHERE ( NOT EXISTS (SELECT * "
    "FROM #%s AS ft WHERE (ft.rid = base_rv.rid)) ) \n\t) a GROUP BY a.rid \n";
static const char s_count_set_sql[] = "SELECT COUNT(*) FROM #%s;\n";
static const char s_scratch_values_sql[] =
    "SELECT t.rid, NULL, t.generation, %s FROM\n  #%s t\n  INNER JOIN tavrin.\"%s$z$%s\" z ON z.z_rv = t.z_rv;\n";

void tav_db_mssql__export_filtered_by_generation(QK_context *ctx, tav_db_handle *h, int pkgVersion, tav_defin *psk,
                                                 QK_vhash *pStates, const char *pszTblId, const char *pszClientDigest,
                                                 char **ppszDigest, tav_export_range *export_range,
                                                 sqlite3_stmt *pRowInsert) {
  QK_string *pSql = NULL, *pSelect = NULL, *pNulls = NULL;
  char szBase[TAV_TEMP_NAME_SIZE], szFinal[TAV_TEMP_NAME_SIZE], f[QK_INT64_SZ_SIZE], l[QK_INT64_SZ_SIZE];
  QK_int64 count = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, export_range);
  QK_VERIFY(ctx, export_range->spec_type == BY_GENERATION);
  QK_TRY(ctx, tav_db_mssql__choose_baseline_set(ctx, h, pkgVersion, pStates, pszTblId, pszClientDigest, ppszDigest,
                                                export_range, szBase, szFinal));
  if (szFinal[0] == '\0') goto done;
  QK_TRY(ctx, tav_db_mssql__typed_select_list(ctx, psk, pszTblId, "z", &pSelect));
  if (szBase[0] != '\0') {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_count_new_versions_sql, szFinal, szBase));
    QK_TRY(ctx, tav_db_mssql__query_batch_int64(ctx, h, QK_string__sz(pSql), &count));
    QK_TRY(ctx, export_set_values(ctx, h, pszTblId, s_filtered_values_sql, QK_string__sz(pSelect), szBase, szFinal,
                                  count, pRowInsert));
    QK_TRY(ctx, null_values(ctx, psk, pszTblId, &pNulls));
    QK_RELEASE(ctx, QK_string__free(ctx, pSql));
    pSql = NULL;
    QK_int64__to_sz(export_range->first, f);
    QK_int64__to_sz(export_range->last, l);
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_filtered_deletes_sql, QK_string__sz(pNulls), szBase, h->name,
                                         pszTblId, h->name, f, l, h->name, pszTblId, szFinal, szBase, szFinal));
    QK_TRY(ctx, query_into_package(ctx, h, QK_string__sz(pSql), pRowInsert));
  } else {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_count_set_sql, szFinal));
    QK_TRY(ctx, tav_db_mssql__query_batch_int64(ctx, h, QK_string__sz(pSql), &count));
    QK_TRY(ctx, export_set_values(ctx, h, pszTblId, s_scratch_values_sql, QK_string__sz(pSelect), szFinal, NULL, count,
                                  pRowInsert));
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pNulls));
}

/* ---- Dispatch ---- */

void tav_db_mssql__export_table(QK_context *ctx, tav_db_handle *h, int pkgVersion, tav_defin *psk,
                                QK_vhash *pStates, const char *pszTblId, tav_export_range *pRange,
                                const char *pszClientSetDigest, char **ppszSetDigest, sqlite3_stmt *pRowInsert,
                                sqlite3_stmt *pRowDeltaInsert) {
  QK_vhash *pState = NULL;
  QK_int64 purgedBefore = 0, purgedAfter = 0;
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  int bUnfiltered = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pStates);
  QK_ARG_NOT_NULL(ctx, pRange);
  QK_ARG_NOT_NULL(ctx, pRowInsert);
  if (ppszSetDigest != NULL) *ppszSetDigest = NULL;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pStates, szTbl, &pState));
  QK_TRY(ctx, make_listed_table(ctx, h, pRange));
  /* The mark before may be the one the transaction read first: a purge since then differs from
   * the mark read fresh after the export, and the attempt is retried. */
  QK_TRY(ctx, tav_db_mssql__purge_affects_range(ctx, h, szTbl, pRange, 0, &purgedBefore));
  if (purgedBefore != 0 && pszClientSetDigest == NULL) {
    pRange->first = 1;
    pRange->txids = NULL;
    QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-discard", 1));
  }
  QK_TRY(ctx, QK_vhash__check__bool(ctx, pState, "unfiltered", &bUnfiltered));
  if (bUnfiltered) {
    if (pRange->spec_type != BY_GENERATION)
      QK_TRY(ctx, tav_db_mssql__export_unfiltered_by_txid(ctx, h, psk, szTbl, pRange, pRowInsert, pRowDeltaInsert));
    else if (pRange->first == 1)
      QK_TRY(ctx, tav_db_mssql__export_unfiltered_from_scratch(ctx, h, psk, szTbl, pRange, pRowInsert));
    else
      QK_TRY(ctx, tav_db_mssql__export_unfiltered_by_generation(ctx, h, psk, szTbl, pRange, pRowInsert));
  } else if (pRange->spec_type != BY_GENERATION) {
    QK_TRY(ctx, tav_db_mssql__export_filtered_by_txid(ctx, h, pkgVersion, psk, pStates, szTbl, pszClientSetDigest,
                                                      ppszSetDigest, pRange, pRowInsert, pRowDeltaInsert));
  } else {
    QK_TRY(ctx, tav_db_mssql__export_filtered_by_generation(ctx, h, pkgVersion, psk, pStates, szTbl,
                                                            pszClientSetDigest, ppszSetDigest, pRange, pRowInsert));
  }
  if (pRange->first >= 2) {
    QK_TRY(ctx, tav_db_mssql__purge_affects_range(ctx, h, szTbl, pRange, 1, &purgedAfter));
    if (purgedAfter != purgedBefore) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, TAV_EXPORT_PURGE_DURING_EXPORT);
  }
done:
  if (QK_context__has_error(ctx) && ppszSetDigest != NULL && *ppszSetDigest != NULL) {
    QK_free(ctx, *ppszSetDigest);
    *ppszSetDigest = NULL;
  }
}

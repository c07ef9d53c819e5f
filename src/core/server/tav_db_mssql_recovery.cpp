/* Recovery of rolled-back client data: recording a client's rolled-back timeline, rebuilding
 * its rows against the server's current state, and importing what comes back. */
#include "server/tav_db_mssql_recovery.h"

#include <string.h>

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "common/tav_utils.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_history.h"
#include "server/tav_db_mssql_import.h"
#include "server/tav_db_mssql_salvage.h"
#include "server/tav_db_mssql_value_check.h"
#include "server/tav_db_mssql_values.h"
#include "server/tav_handle_conflicts.h"

static const char s_savepoint_sql[] = "SAVE TRAN TavrinRecoveryToHousekeeping;";
static const char s_rollback_savepoint_sql[] = "ROLLBACK TRAN TavrinRecoveryToHousekeeping;";
static const char s_timeline_table_sql[] = "CREATE TABLE #%s (generation bigint PRIMARY KEY, id bigint not null)";
static const char s_timeline_insert_sql[] = "INSERT INTO #%s (generation, id) VALUES (?, ?);";
static const char s_gen_merge_sql[] =
    "SET NOCOUNT ON;\n"
    "MERGE INTO tavrin.%s$r$gen gen\n"
    "USING (SELECT ? AS generation, ? as id, ? as predecessor) AS v\n"
    "ON v.generation = gen.generation AND v.id = gen.id\n"
    "WHEN NOT MATCHED THEN INSERT (generation, id, predecessor) VALUES (v.generation,v.id,v.predecessor);\n"
    "SELECT @@ROWCOUNT;";
static const char s_package_generations_sql[] =
    "SELECT g.generation, g.id, prev.id\n"
    "FROM p$gen g\n"
    "INNER JOIN p$gen prev ON prev.generation = g.generation - 1\n"
    "WHERE prev.generation > 0\n"
    "ORDER BY g.generation ASC";
static const char s_continue_timeline_sql[] =
    "INSERT INTO #%s (generation, id)\n"
    "SELECT generation, id\n"
    "FROM tavrin.%s$r$gen gen\n"
    "WHERE EXISTS (SELECT 1 FROM #%s t WHERE t.generation = gen.generation-1 AND t.id = gen.predecessor)\n"
    "AND NOT EXISTS (SELECT 1 FROM #%s t WHERE t.generation = gen.generation AND t.id = gen.id);";
static const char s_multiple_timelines_message[] =
    "Tavrin does not support recovering data from multiple future timelines after rolling back to a point earlier "
    "than a previous rollback.";

static const char s_rec_key_columns[] =
    "z_rid uniqueidentifier PRIMARY KEY, z_gen_add bigint NOT NULL, \"$tavrin generation id$\" bigint NOT NULL";
static const char s_rec_rows_sql[] =
    "SELECT u.z_rid, u.z_gen_add, g.id AS \"$tavrin generation id$\", %s\n"
    "FROM \"p$u$%s\" u\n"
    "INNER JOIN p$gen g ON g.generation = u.z_gen_add\n"
    "WHERE u.z_gen_add BETWEEN 1 AND ?";
static const char s_rv_merge_sql[] =
    "SET NOCOUNT ON;\n"
    "MERGE INTO tavrin.%s$r$rv$%s rv\n"
    "USING #%s tr\n"
    "ON tr.z_rid = rv.rid AND tr.z_gen_add = rv.generation AND tr.\"$tavrin generation id$\" = rv.generation_id\n"
    "WHEN NOT MATCHED THEN INSERT (rid, generation, generation_id) VALUES (tr.z_rid, tr.z_gen_add, tr.\"$tavrin "
    "generation id$\");\n"
    "SELECT @@ROWCOUNT;";
static const char s_old_merge_sql[] =
    "SET NOCOUNT ON;\n"
    "MERGE INTO tavrin.%s$r$old$%s old\n"
    "USING #%s tr\n"
    "INNER JOIN tavrin.%s$r$rv$%s rv ON rv.rid = tr.z_rid AND rv.generation = tr.z_gen_add AND rv.generation_id = "
    "tr.\"$tavrin generation id$\"\n"
    "LEFT OUTER JOIN tavrin.%s$r$recovered$%s recov ON recov.z_rv = rv.z_rv\n"
    "ON rv.z_rv = old.z_rv\n"
    "WHEN NOT MATCHED THEN INSERT (z_rv, \"%s\") VALUES (rv.z_rv, %s)\n"
    "WHEN MATCHED AND recov.\"%s\" IS NULL THEN UPDATE SET \"%s\" = %s;\n"
    "SELECT @@ROWCOUNT;";
static const char s_recovered_merge_sql[] =
    "SET NOCOUNT ON;\n"
    "MERGE INTO tavrin.%s$r$recovered$%s recov\n"
    "USING #%s tr\n"
    "INNER JOIN tavrin.%s$r$rv$%s rv ON rv.rid = tr.z_rid AND rv.generation = tr.z_gen_add AND rv.generation_id = "
    "tr.\"$tavrin generation id$\"\n"
    "ON rv.z_rv = recov.z_rv\n"
    "WHEN NOT MATCHED THEN INSERT (z_rv, \"%s\") VALUES (rv.z_rv, 0)\n"
    "WHEN MATCHED AND recov.\"%s\" IS NULL THEN UPDATE SET \"%s\" = 0;SELECT @@ROWCOUNT;";

void tav_recovery_set__free(QK_context *ctx, struct tav_recovery_set **ppSet) {
  QK_vhash *pvh = NULL;
  if (ppSet == NULL || *ppSet == NULL) return;
  pvh = tav_recovery_set__vhash(*ppSet);
  *ppSet = NULL;
  QK_vhash__free(ctx, pvh);
}

/* Runs a prepared batch and reads the single number of its first result with columns (the
 * batches end in "SELECT @@ROWCOUNT;"); the cursor is closed for the next run. */
static void fetch_count(QK_context *ctx, SQLHSTMT hStmt, QK_int64 *pCount) {
  SQLLEN ind = 0;
  int bRow = 0;
  *pCount = 0;
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, pCount, &ind));
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, hStmt));
done:;
}

/* The same for a statement text. */
static void exec_count(QK_context *ctx, tav_db_handle *h, const char *pszSql, QK_int64 *pCount) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, pszSql));
  QK_TRY(ctx, fetch_count(ctx, hStmt, pCount));
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* ---- Columns ---- */

/* One column of the package table as the statements name it. */
typedef struct rec_column {
  const char *pszColId;  /* borrowed from the definition */
  QK_string *pQuoted;    /* the name for "..." */
  QK_string *pBracketed; /* the name for [...] */
  int bIdentity;         /* an identity column or one that refers to one: key text in temp tables */
} rec_column;

typedef struct rec_columns {
  QK_uint32 count;
  rec_column *pCols;
} rec_columns;

static void free_columns(QK_context *ctx, rec_columns *pColumns) {
  for (QK_uint32 i = 0; pColumns->pCols != NULL && i < pColumns->count; i++) {
    QK_string__free(ctx, pColumns->pCols[i].pQuoted);
    QK_string__free(ctx, pColumns->pCols[i].pBracketed);
  }
  QK_free(ctx, pColumns->pCols);
  pColumns->pCols = NULL;
  pColumns->count = 0;
}

static void describe_column(QK_context *ctx, tav_defin *psk, const char *pszTblId, const char *pszColId,
                            const char *pszName, rec_column *pCol) {
  const char *pszIdTbl = NULL, *pszIdCol = NULL;
  pCol->pszColId = pszColId;
  QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszName, '"', &pCol->pQuoted));
  QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszName, ']', &pCol->pBracketed));
  QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, psk, pszTblId, pszColId, &pszIdTbl, &pszIdCol));
  pCol->bIdentity = pszIdCol != NULL;
done:;
}

/* The columns named by the keys of a column document (the package table's columns). */
static void columns_of(QK_context *ctx, tav_defin *psk, const char *pszTblId, const QK_vhash *pNames,
                       rec_columns *pColumns) {
  const char *pszName = NULL, *pszColId = NULL;
  QK_TRY(ctx, QK_vhash__count(ctx, pNames, &pColumns->count));
  if (pColumns->count > 0) QK_TRY(ctx, QK_alloc(ctx, pColumns->count, sizeof(rec_column), &pColumns->pCols));
  for (QK_uint32 i = 0; i < pColumns->count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pNames, i, &pszName, NULL));
    QK_TRY(ctx, tav_defin__get_column_id(ctx, psk, pszTblId, pszName, &pszColId));
    if (pszColId == NULL)
      QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "package column \"%s\" is not a column of the table", pszName);
    QK_TRY(ctx, describe_column(ctx, psk, pszTblId, pszColId, pszName, &pColumns->pCols[i]));
  }
done:;
}

/* Every prepared column of the table. */
static void prepared_columns_of(QK_context *ctx, tav_defin *psk, const char *pszTblId, rec_columns *pColumns) {
  const char *pszColId = NULL, *pszName = NULL;
  QK_TRY(ctx, tav_defin__count_columns(ctx, psk, pszTblId, &pColumns->count));
  if (pColumns->count > 0) QK_TRY(ctx, QK_alloc(ctx, pColumns->count, sizeof(rec_column), &pColumns->pCols));
  for (QK_uint32 i = 0; i < pColumns->count; i++) {
    QK_TRY(ctx, tav_defin__get_column_id_at(ctx, psk, pszTblId, (int)i, &pszColId));
    QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, pszTblId, pszColId, &pszName));
    QK_TRY(ctx, describe_column(ctx, psk, pszTblId, pszColId, pszName, &pColumns->pCols[i]));
  }
done:;
}

/* ---- Recording ---- */

void tav_db_mssql__record_recovery_rows(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                                        QK_int64 lastGeneration, const char *pszTblId,
                                        struct tav_recovery_set *pSet, int *pbNewData) {
  QK_vhash *pNames = NULL, *pMember = NULL;
  QK_string *pSelect = NULL, *pSql = NULL, *pValue = NULL;
  sqlite3_stmt *pRows = NULL;
  rec_columns cols = {0, NULL};
  char szRec[TAV_TEMP_NAME_SIZE], szTbl[TAV_TABLE_ID_SZ_SIZE];
  QK_int64 count = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pSet);
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  pszTblId = szTbl;
  QK_TRY(ctx, tav_db_mssql__package_columns(ctx, pPkgDb, psk, pszTblId, &pNames));
  QK_TRY(ctx, tav_db_mssql__check_package_values(ctx, pPkgDb, psk, pszTblId, pNames, 0));
  QK_TRY(ctx, columns_of(ctx, psk, pszTblId, pNames, &cols));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, pszTblId, pNames, NULL, "u", 0, 0, &pSelect));
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szRec, "rec", pszTblId));
  QK_TRY(ctx, tav_db_mssql__create_temp_table(ctx, h->conn, psk, pszTblId, szRec, s_rec_key_columns, 1, pNames, 0,
                                              NULL));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pRows, s_rec_rows_sql, QK_string__sz(pSelect), pszTblId));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pRows, 1, lastGeneration));
  QK_TRY(ctx, tav_db_mssql__copy_pkg_rows(ctx, h, pNames, psk, pszTblId, szRec, pRows, 1, NULL));

  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_rv_merge_sql, h->name, pszTblId, szRec));
  QK_TRY(ctx, exec_count(ctx, h, QK_string__sz(pSql), &count));
  if (pbNewData != NULL && count > 0) {
    *pbNewData = 1;
    goto done;
  }
  QK_TRY(ctx, QK_string__alloc(ctx, &pValue));
  for (QK_uint32 i = 0; i < cols.count; i++) {
    const char *pszQuoted = QK_string__sz(cols.pCols[i].pQuoted);
    QK_TRY(ctx, QK_string__sprintf(ctx, pValue,
                                   cols.pCols[i].bIdentity ? "(CAST(SUBSTRING(tr.[%s],3,25) AS bigint))" : "(tr.[%s])",
                                   QK_string__sz(cols.pCols[i].pBracketed)));
    QK_TRY(ctx, QK_string__sprintf(ctx, pSql, s_old_merge_sql, h->name, pszTblId, szRec, h->name, pszTblId, h->name,
                                   pszTblId, pszQuoted, QK_string__sz(pValue), pszQuoted, pszQuoted,
                                   QK_string__sz(pValue)));
    QK_TRY(ctx, exec_count(ctx, h, QK_string__sz(pSql), &count));
    if (pbNewData != NULL && count > 0) {
      *pbNewData = 1;
      goto done;
    }
    QK_TRY(ctx, QK_string__sprintf(ctx, pSql, s_recovered_merge_sql, h->name, pszTblId, szRec, h->name, pszTblId,
                                   pszQuoted, pszQuoted, pszQuoted));
    QK_TRY(ctx, exec_count(ctx, h, QK_string__sz(pSql), &count));
    if (pbNewData != NULL && count > 0) {
      *pbNewData = 1;
      goto done;
    }
  }
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, tav_recovery_set__vhash(pSet), pszTblId, &pMember));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pMember, "ttable_records", szRec));
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pMember, "cols_in_pkg_u", NULL));
  QK_TRY(ctx, QK_vhash__add__vhash(ctx, pMember, "cols_in_pkg_u", &pNames));
done:
  free_columns(ctx, &cols);
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pRows));
  QK_RELEASE(ctx, QK_string__free(ctx, pValue));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pNames));
}

/* Steps 3 to 6 of the timeline: the package's generations, then those of older rolled-back
 * timelines that this one continues. */
static void record_generations(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, const char *pszTimeline,
                               QK_vhash *pOwn, int *pbNewData, QK_int64 *pLastGeneration) {
  sqlite3_stmt *pGens = NULL;
  SQLHSTMT hInsert = SQL_NULL_HSTMT, hMerge = SQL_NULL_HSTMT;
  QK_string *pSql = NULL;
  QK_int64 generation = 0, id = 0, predecessor = 0, count = 0, max_recovery_generation = 0;
  int fetched = 0, bRow = 0;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hInsert, s_timeline_insert_sql, pszTimeline));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hMerge, s_gen_merge_sql, h->name));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hInsert, 1, &generation));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hInsert, 2, &id));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hMerge, 1, &generation));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hMerge, 2, &id));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hMerge, 3, &predecessor));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pGens, "%s", s_package_generations_sql));
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pGens, &bRow));
    if (!bRow) break;
    generation = sqlite3_column_int64(pGens, 0);
    id = sqlite3_column_int64(pGens, 1);
    predecessor = sqlite3_column_int64(pGens, 2);
    if (!fetched) QK_TRY(ctx, QK_vhash__update__int64(ctx, pOwn, "restore point", generation - 1));
    fetched = 1;
    QK_TRY(ctx, QK_mssql__execute(ctx, hInsert));
    QK_TRY(ctx, fetch_count(ctx, hMerge, &count));
    if (pbNewData != NULL && count > 0) {
      *pbNewData = 1;
      goto done;
    }
    max_recovery_generation = generation;
  }
  QK_VERIFY(ctx, fetched);
  QK_VERIFY(ctx, max_recovery_generation > 0);

  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_continue_timeline_sql, pszTimeline, h->name, pszTimeline,
                                       pszTimeline));
  for (;;) {
    QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, &count, "%s", QK_string__sz(pSql)));
    if (count == 0) break;
    if (count > 1) QK_THROW_MSG(ctx, QK_ERR_VERIFICATION_FAILED, s_multiple_timelines_message);
    QK_VERIFY(ctx, count == 1);
  }
  *pLastGeneration = max_recovery_generation;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pGens));
  if (hInsert != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hInsert));
  if (hMerge != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hMerge));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__record_recovery_timeline(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                                            int *pbNewData, struct tav_recovery_set **ppSet) {
  QK_vhash *pSet = NULL, *pOwn = NULL;
  sqlite3_stmt *pTableTest = NULL;
  const char *pszTblId = NULL;
  char szTimeline[TAV_TEMP_NAME_SIZE];
  QK_uint32 countTables = 0;
  QK_int64 lastGeneration = 0;
  int bExists = 0, bSavepoint = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_ARG_NOT_NULL(ctx, ppSet);
  *ppSet = NULL;
  if (pbNewData != NULL) {
    QK_TRY(ctx, QK_mssql__exec(ctx, h->conn, s_savepoint_sql));
    bSavepoint = 1;
    *pbNewData = 0;
  }
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pSet));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pSet, TAV_RECOVERY_SET_OWN_KEY, &pOwn));
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szTimeline, "timeline", "0"));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_timeline_table_sql, szTimeline));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pOwn, "ttable_timeline", szTimeline));
  QK_TRY(ctx, record_generations(ctx, h, pPkgDb, szTimeline, pOwn, pbNewData, &lastGeneration));
  if (pbNewData != NULL && *pbNewData) goto done;

  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pTableTest, "%s", TAV_PKG_TABLE_EXISTS_SQL));
  QK_TRY(ctx, tav_defin__count_tables(ctx, psk, &countTables));
  for (QK_uint32 i = 0; i < countTables; i++) {
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, psk, (int)i, &pszTblId));
    QK_TRY(ctx, tav_pkg__table_exists(ctx, pTableTest, TAV_PKG_ROWS_PREFIX, pszTblId, &bExists));
    if (!bExists) continue;
    QK_TRY(ctx, tav_db_mssql__record_recovery_rows(ctx, h, psk, pPkgDb, lastGeneration, pszTblId,
                                                   reinterpret_cast<struct tav_recovery_set *>(pSet), pbNewData));
    if (pbNewData != NULL && *pbNewData) goto done;
  }
  *ppSet = reinterpret_cast<struct tav_recovery_set *>(pSet);
  pSet = NULL;
done:
  /* A probe that found something leaves the recovery tables as they were. */
  if (bSavepoint && *pbNewData)
    QK_RELEASE(ctx, QK_mssql__exec(ctx, h->conn, s_rollback_savepoint_sql));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pTableTest));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pSet));
}

/* ---- Rebuilding the rows to recover ---- */

/* Claims (all rows of the rec table) and releases (one row id) differ in their terms and
 * their last line. */
static const char s_claim_sql[] =
    "DECLARE @txid bigint = ?;\n"
    "UPDATE r SET\n"
    "%s\n"
    "FROM tavrin.\"%s$r$recovered$%s\" r\n"
    "INNER JOIN tavrin.\"%s$r$rv$%s\" rv ON rv.z_rv = r.z_rv\n"
    "INNER JOIN #%s tr ON tr.z_rid = rv.rid AND tr.z_gen_add = rv.generation AND tr.\"$tavrin generation id$\" = "
    "rv.generation_id%s";
static const char s_claim_term[] = "  \"%s\" = CASE WHEN r.\"%s\" = 0 THEN @txid ELSE r.\"%s\" END";
static const char s_release_term[] = "  \"%s\" = CASE WHEN r.\"%s\" = @txid THEN 0 ELSE r.\"%s\" END";
static const char s_latest_version_sql[] =
    "SELECT TOP 1\n"
    "  rv.z_rv,\n"
    "  rv.txid,\n"
    "  COALESCE(rv_tx.generation, 9223372036854775807),\n"
    "  CASE WHEN dd_tx.txid IS NULL THEN 0 ELSE COALESCE(dd_tx.generation, 9223372036854775807) END\n"
    "FROM\n"
    "  tavrin.\"%s$z$rv$%s\" rv\n"
    "  LEFT OUTER JOIN tavrin.\"%s$z$dd$%s\" dd ON dd.rv = rv.z_rv\n"
    "  LEFT OUTER JOIN tavrin.\"%s$z$rv$%s\" rv2 ON rv2.rid = rv.rid AND rv2.txid = dd.txid\n"
    "  INNER JOIN tavrin.\"%s$t$tx\" rv_tx ON rv_tx.txid = rv.txid\n"
    "  LEFT OUTER JOIN tavrin.\"%s$t$tx\" dd_tx ON dd_tx.txid = dd.txid\n"
    "WHERE rv.rid = ? AND rv2.z_rv IS NULL\n"
    "ORDER BY COALESCE(rv_tx.generation, 9223372036854775807) DESC, rv_tx.txid DESC;\n";
static const char s_package_delta_sql[] =
    "INSERT INTO \"p$rd$%s\" (rid, txid_rec_add, txid_rec_del, txid) VALUES (?, ?, ?, 9223372036854775792)";
static const char s_recovery_state_sql[] =
    "DECLARE @txid bigint = ?;\n"
    "SELECT\n"
    "  CASE WHEN u.\"%s\" IS NOT NULL THEN 0 WHEN recov.\"%s\" = 0 OR recov.\"%s\" = @txid THEN 1 ELSE 2 END,\n"
    "  %s\n"
    "FROM tavrin.\"%s$r$rv$%s\" rv\n"
    "INNER JOIN tavrin.\"%s$r$recovered$%s\" recov ON recov.z_rv = rv.z_rv\n"
    "INNER JOIN tavrin.\"%s$r$old$%s\" u ON u.z_rv = rv.z_rv\n"
    "INNER JOIN #%s t ON t.generation = rv.generation AND t.id = rv.generation_id\n"
    "WHERE rv.rid = ? AND rv.generation >= ?\n"
    "ORDER BY t.generation ASC;\n";
static const char s_server_change_sql[] =
    "DECLARE @rid uniqueidentifier = ?, @r_point bigint = ?;\n"
    "WITH\n"
    "  main_timeline_txids (txid) AS\n"
    "  (\n"
    "    SELECT rv.txid FROM\n"
    "      tavrin.\"%s$z$rv$%s\" rv\n"
    "      INNER JOIN tavrin.\"%s$t$tx\" tx ON tx.txid = rv.txid\n"
    "      WHERE rv.rid=@rid AND (tx.generation > @r_point OR tx.generation IS NULL)\n"
    "    UNION SELECT dd.txid FROM\n"
    "      tavrin.\"%s$z$dd$%s\" dd\n"
    "      INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON rv.z_rv = dd.rv\n"
    "      INNER JOIN tavrin.\"%s$t$tx\" tx ON tx.txid = dd.txid\n"
    "      WHERE rv.rid = @rid AND (tx.generation > @r_point OR tx.generation IS NULL)\n"
    "  ),\n"
    "  client_timeline_txids_by_column (%s) AS\n"
    "  (\n"
    "    SELECT %s FROM\n"
    "      #%s t\n"
    "      INNER JOIN tavrin.\"%s$r$rv$%s\" rv ON rv.generation = t.generation AND rv.generation_id = t.id\n"
    "      INNER JOIN tavrin.\"%s$r$recovered$%s\" recov ON recov.z_rv = rv.z_rv\n"
    "  ),\n"
    "  client_timeline_txids (txid) AS\n"
    "  (\n"
    "    %s\n"
    "  )\n"
    "SELECT CAST (CASE WHEN EXISTS (\n"
    "  SELECT 1 FROM main_timeline_txids WHERE txid NOT IN (SELECT txid FROM client_timeline_txids)\n"
    ") THEN 1 ELSE 0 END AS bit);\n";
static const char s_base_head_sql[] =
    "SET NOCOUNT ON;\n"
    "DECLARE @rid uniqueidentifier = ?, @r_point bigint = ?, @z_gen_add bigint = ?, @count_found_cols int = 0;\n";
static const char s_base_cursor_from_sql[] =
    "  FROM #%s t\n"
    "  INNER JOIN tavrin.\"%s$r$rv$%s\" rv ON rv.generation = t.generation AND rv.generation_id = t.id\n"
    "  INNER JOIN tavrin.\"%s$r$old$%s\" u ON u.z_rv = rv.z_rv\n"
    "  INNER JOIN tavrin.\"%s$r$recovered$%s\" recov ON recov.z_rv = rv.z_rv\n"
    "  WHERE t.generation < @z_gen_add AND rv.rid = @rid AND u.\"%s\" IS NOT NULL\n"
    "  ORDER BY t.generation DESC;\n";
static const char s_base_restore_point_sql[] =
    "DECLARE @live_rv_at_restore_point bigint, @baseline_txid bigint;\n"
    "IF @count_found_cols < %d\n"
    "  BEGIN\n"
    "    DECLARE cur CURSOR LOCAL FAST_FORWARD FOR\n"
    "      SELECT TOP 1 rv.z_rv FROM tavrin.\"%s$z$rv$%s\" rv\n"
    "      INNER JOIN tavrin.\"%s$t$tx\" rv_tx ON rv_tx.txid = rv.txid\n"
    "      WHERE rv.rid = @rid\n"
    "      AND rv_tx.generation <= @r_point\n"
    "      AND NOT EXISTS(SELECT 1 FROM\n"
    "        tavrin.\"%s$z$dd$%s\" dd\n"
    "        INNER JOIN tavrin.\"%s$t$tx\" dd_tx ON dd_tx.txid = dd.txid\n"
    "        WHERE dd.rv = rv.z_rv AND dd_tx.generation <= @r_point\n"
    "      );\n"
    "    OPEN cur;\n"
    "    FETCH NEXT FROM cur INTO @live_rv_at_restore_point;\n"
    "    CLOSE cur;\n"
    "    DEALLOCATE cur;\n"
    "  END;\n"
    "IF @count_found_cols = 0\n"
    "  SELECT @baseline_txid = txid FROM tavrin.\"%s$z$rv$%s\" WHERE z_rv = @live_rv_at_restore_point;\n"
    "ELSE\n"
    "  SELECT @baseline_txid = -1;\n";
static const char s_base_fallback_head_sql[] =
    "IF @count_found_cols > 0 AND @count_found_cols < %d\n"
    "AND @live_rv_at_restore_point IS NOT NULL\n"
    "AND EXISTS (SELECT 1 FROM tavrin.\"%s$z$old$%s\" WHERE z_rv = @live_rv_at_restore_point)\n"
    "  BEGIN\n"
    "    SELECT\n";
static const char s_base_fallback_tail_sql[] =
    "    FROM tavrin.\"%s$z$old$%s\" WHERE z_rv = @live_rv_at_restore_point;\n"
    "  END;\n";
static const char s_take_server_values_sql[] =
    "UPDATE tr SET %s\n"
    "FROM tavrin.\"%s$z$rv$%s\" rv\n"
    "INNER JOIN #%s tr ON tr.z_rid = rv.rid\n"
    "INNER JOIN tavrin.\"%s$%s$%s\" z ON z.z_rv = rv.z_rv\n"
    "WHERE rv.z_rv = ?;\n"
    "SELECT @@ROWCOUNT;";
static const char s_row_changed_message[] = "row updated or deleted since salvage operation began";

/* A server value of a number column as it is kept in the rec table: identity-related columns
 * as server key text. */
static void append_server_value(QK_context *ctx, QK_string *pOut, const rec_column *pCol, const char *pszQualifier) {
  if (pCol->bIdentity)
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "('S:' + CAST (%s\"%s\" AS varchar(25)))", pszQualifier,
                                          QK_string__sz(pCol->pQuoted)));
  else
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s\"%s\"", pszQualifier, QK_string__sz(pCol->pQuoted)));
done:;
}

/* The claim or release UPDATE's SET terms, one per package column. */
static void claim_terms(QK_context *ctx, const rec_columns *pCols, const char *pszTerm, QK_string **ppOut) {
  QK_TRY(ctx, QK_string__alloc(ctx, ppOut));
  for (QK_uint32 i = 0; i < pCols->count; i++) {
    const char *q = QK_string__sz(pCols->pCols[i].pQuoted);
    if (i > 0) QK_TRY(ctx, QK_string__append__sz(ctx, *ppOut, ",\n"));
    QK_TRY(ctx, QK_string__append__format(ctx, *ppOut, pszTerm, q, q, q));
  }
done:;
}

/* The batch that works out a changed row's base (the ancestor of the rolled-back change). */
static void build_base_script(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                              const rec_columns *pCols, const char *pszRec, const char *pszTimeline,
                              const char *pszKey, QK_string **ppOut) {
  QK_string *pOut = NULL;
  char *pszType = NULL;
  const char *n = h->name, *t = pszTblId;
  int count = (int)pCols->count;
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, s_base_head_sql));
  for (int i = 0; i < count; i++) {
    const rec_column *c = &pCols->pCols[i];
    if (c->bIdentity) {
      QK_TRY(ctx, QK_string__append__format(ctx, pOut,
                                            "DECLARE @base%d varchar(25), @found%d bit = 0, @col%d varchar(25), @r%d bit;\n",
                                            i, i, i, i));
    } else {
      /* A variable takes neither a collation nor a default. */
      QK_TRY(ctx, tav_db_mssql__tsql_type(ctx, psk, pszTblId, c->pszColId, 1, 0, &pszType));
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, "DECLARE @base%d %s, @found%d bit = 0, @col%d %s, @r%d bit;\n",
                                            i, pszType, i, i, pszType, i));
      QK_free(ctx, pszType);
      pszType = NULL;
    }
  }
  /* The rec table already holds identity-related columns as key text. */
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "SELECT "));
  for (int i = 0; i < count; i++)
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s@base%d = \"%s\"", i ? ", " : "", i,
                                          QK_string__sz(pCols->pCols[i].pQuoted)));
  QK_TRY(ctx, QK_string__append__format(ctx, pOut, " FROM #%s WHERE z_rid = @rid;\n", pszRec));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "DECLARE cur CURSOR LOCAL FAST_FORWARD FOR\n  SELECT\n"));
  for (int i = 0; i < count; i++) {
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "    CASE WHEN recov.\"%s\" > 0 THEN 1 ELSE 0 END, ",
                                          QK_string__sz(pCols->pCols[i].pQuoted)));
    QK_TRY(ctx, append_server_value(ctx, pOut, &pCols->pCols[i], "u."));
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s\n", i + 1 < count ? "," : ""));
  }
  QK_TRY(ctx, QK_string__append__format(ctx, pOut, s_base_cursor_from_sql, pszTimeline, n, t, n, t, n, t, pszKey));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "OPEN cur;\nFETCH NEXT FROM cur INTO "));
  for (int i = 0; i < count; i++)
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s@r%d, @col%d", i ? ", " : "", i, i));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, ";\nWHILE @@FETCH_STATUS = 0\n  BEGIN\n"));
  for (int i = 0; i < count; i++)
    QK_TRY(ctx, QK_string__append__format(
                    ctx, pOut,
                    "    IF @r%d <> 0 AND @found%d = 0 SELECT @base%d = @col%d, @found%d = 1, @count_found_cols = "
                    "@count_found_cols + 1;\n",
                    i, i, i, i, i));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "    FETCH NEXT FROM cur INTO "));
  for (int i = 0; i < count; i++)
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s@r%d, @col%d", i ? ", " : "", i, i));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, ";\n  END;\nCLOSE cur;\nDEALLOCATE cur;\n"));
  QK_TRY(ctx, QK_string__append__format(ctx, pOut, s_base_restore_point_sql, count, n, t, n, n, t, n, n, t));
  QK_TRY(ctx, QK_string__append__format(ctx, pOut, s_base_fallback_head_sql, count, n, t));
  for (int i = 0; i < count; i++) {
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "    @base%d = CASE WHEN @found%d = 0 THEN ", i, i));
    QK_TRY(ctx, append_server_value(ctx, pOut, &pCols->pCols[i], ""));
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, " ELSE @base%d END%s\n", i, i + 1 < count ? "," : ""));
  }
  QK_TRY(ctx, QK_string__append__format(ctx, pOut, s_base_fallback_tail_sql, n, t));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "SELECT\n  COALESCE(@baseline_txid, 0) AS z_txid,\n"));
  for (int i = 0; i < count; i++)
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "  @base%d AS \"%s\"%s\n", i,
                                          QK_string__sz(pCols->pCols[i].pQuoted), i + 1 < count ? "," : ";"));
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_free(ctx, pszType);
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

/* The server change check over every prepared column of the table. */
static void build_server_change_check(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                      const rec_columns *pAll, const char *pszTimeline, QK_string **ppOut) {
  QK_string *pNames = NULL, *pValues = NULL, *pUnion = NULL;
  const char *n = h->name, *t = pszTblId;
  QK_TRY(ctx, QK_string__alloc(ctx, &pNames));
  QK_TRY(ctx, QK_string__alloc(ctx, &pValues));
  QK_TRY(ctx, QK_string__alloc(ctx, &pUnion));
  for (QK_uint32 i = 0; i < pAll->count; i++) {
    const char *q = QK_string__sz(pAll->pCols[i].pQuoted);
    QK_TRY(ctx, QK_string__append__format(ctx, pNames, "%s\"%s\"", i ? ", " : "", q));
    QK_TRY(ctx, QK_string__append__format(ctx, pValues, "%srecov.\"%s\"", i ? ", " : "", q));
    QK_TRY(ctx, QK_string__append__format(ctx, pUnion,
                                          "%sSELECT DISTINCT \"%s\" FROM client_timeline_txids_by_column WHERE \"%s\" > 0",
                                          i ? "\n    UNION " : "", q, q));
  }
  QK_TRY(ctx, QK_string__alloc__format(ctx, ppOut, s_server_change_sql, n, t, n, n, t, n, t, n,
                                       QK_string__sz(pNames), QK_string__sz(pValues), pszTimeline, n, t, n, t,
                                       QK_string__sz(pUnion)));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNames));
  QK_RELEASE(ctx, QK_string__free(ctx, pValues));
  QK_RELEASE(ctx, QK_string__free(ctx, pUnion));
}

void tav_db_mssql__add_recovery_delta(QK_context *ctx, sqlite3_stmt *pInsert, sqlite3_value *pRid,
                                      QK_int64 txidRecDel, int bDelete, QK_int64 *pRowid) {
  QK_int64 txid_rec_del = txidRecDel;
  int is_delete_delta = bDelete;
  QK_ARG_NOT_NULL(ctx, pInsert);
  QK_ARG_NOT_NULL(ctx, pRid);
  QK_VERIFY(ctx, !(txid_rec_del == 0 && is_delete_delta));
  QK_TRY(ctx, QK_sqlite__clear_bindings(ctx, pInsert));
  QK_TRY(ctx, QK_sqlite__bind_value(ctx, pInsert, 1, pRid));
  if (is_delete_delta)
    QK_TRY(ctx, QK_sqlite__bind_null(ctx, pInsert, 2));
  else
    QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pInsert, 2, TAV_PKG_PLACEHOLDER_TXID));
  if (txid_rec_del == 0)
    QK_TRY(ctx, QK_sqlite__bind_null(ctx, pInsert, 3));
  else
    QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pInsert, 3, txid_rec_del));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pInsert, SQLITE_DONE));
  QK_TRY(ctx, QK_sqlite__reset(ctx, pInsert));
  if (pRowid != NULL) *pRowid = sqlite3_last_insert_rowid(sqlite3_db_handle(pInsert));
done:;
}

/* The statements of one table's rebuild, prepared once. */
typedef struct rebuild_statements {
  SQLHSTMT hRelease, hLatest, hState, hChanged, hBase, hValues;
  sqlite3_stmt *pDelta;
} rebuild_statements;

/* What the rebuild knows of its table. */
typedef struct rebuild_table {
  tav_db_handle *h;
  const char *pszTblId;
  const char *pszRec;
  rec_columns cols;
  QK_int64 restorePoint, txid;
  rebuild_statements st;
  QK_varray *pEntries;
  int bAnyDelta;
} rebuild_table;

static void release_claims(QK_context *ctx, rebuild_table *r, const char *pszRid) {
  SQLLEN ind = 0;
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, r->st.hRelease, 1, &r->txid));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, r->st.hRelease, 2, pszRid, &ind));
  QK_TRY(ctx, QK_mssql__execute(ctx, r->st.hRelease));
done:;
}

/* The row's newest server version: z_rv 0 when there is none. */
typedef struct latest_version {
  QK_int64 zrv, txid, generation, deletingGeneration;
} latest_version;

static void read_latest_version(QK_context *ctx, rebuild_table *r, const char *pszRid, latest_version *pv) {
  SQLLEN ind = 0, indRid = 0;
  int bRow = 0;
  memset(pv, 0, sizeof *pv);
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, r->st.hLatest, 1, pszRid, &indRid));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, r->st.hLatest, &bRow));
  if (bRow) {
    QK_TRY(ctx, QK_mssql__get__int64(ctx, r->st.hLatest, 1, &pv->zrv, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, r->st.hLatest, 2, &pv->txid, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, r->st.hLatest, 3, &pv->generation, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, r->st.hLatest, 4, &pv->deletingGeneration, &ind));
  }
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, r->st.hLatest));
done:;
}

/* Which columns earlier recoveries brought back, over the row's recorded versions from its
 * generation on; *pbOtherDeletion is set when a recorded deletion belongs to another one. */
static void read_recovery_state(QK_context *ctx, rebuild_table *r, const char *pszRid, QK_int64 zGenAdd,
                                int *pMarked, QK_uint32 *pCountMarked, int *pbOtherDeletion) {
  SQLLEN ind = 0, indRid = 0;
  QK_int64 state = 0, mark = 0;
  int bRow = 0;
  *pCountMarked = 0;
  *pbOtherDeletion = 0;
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, r->st.hState, 1, &r->txid));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, r->st.hState, 2, pszRid, &indRid));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, r->st.hState, 3, &zGenAdd));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, r->st.hState, &bRow));
  while (bRow && *pCountMarked < r->cols.count) {
    QK_TRY(ctx, QK_mssql__get__int64(ctx, r->st.hState, 1, &state, &ind));
    if (state == 0) {
      for (QK_uint32 i = 0; i < r->cols.count; i++) {
        QK_TRY(ctx, QK_mssql__get__int64(ctx, r->st.hState, (QK_uint16)(i + 2), &mark, &ind));
        if (ind != SQL_NULL_DATA && mark > 0 && !pMarked[i]) {
          pMarked[i] = 1;
          (*pCountMarked)++;
        }
      }
    } else if (state == 2) {
      *pbOtherDeletion = 1;
    }
    QK_TRY(ctx, QK_mssql__fetch(ctx, r->st.hState, &bRow));
  }
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, r->st.hState));
done:;
}

/* Columns brought back before take the server's current values (live row) or those of its
 * deleted version. */
static void take_server_values(QK_context *ctx, rebuild_table *r, const int *pMarked, const latest_version *pv,
                               int bLive) {
  QK_string *pSet = NULL;
  QK_int64 rows = 0, zrv = pv->zrv;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  int bFirst = 1;
  QK_TRY(ctx, QK_string__alloc(ctx, &pSet));
  for (QK_uint32 i = 0; i < r->cols.count; i++) {
    if (!pMarked[i]) continue;
    QK_TRY(ctx, QK_string__append__format(ctx, pSet, "%s\"%s\" = ", bFirst ? "" : ", ",
                                          QK_string__sz(r->cols.pCols[i].pQuoted)));
    QK_TRY(ctx, append_server_value(ctx, pSet, &r->cols.pCols[i], "z."));
    bFirst = 0;
  }
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, r->h->conn, &hStmt, s_take_server_values_sql, QK_string__sz(pSet),
                                        r->h->name, r->pszTblId, r->pszRec, r->h->name, bLive ? "z" : "z$old",
                                        r->pszTblId));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &zrv));
  /* The count comes from the same batch: a later one does not see a prepared execution's. */
  QK_TRY(ctx, fetch_count(ctx, hStmt, &rows));
  if (rows == 0 && bLive) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, s_row_changed_message);
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSet));
}

static void server_changed_since_restore(QK_context *ctx, rebuild_table *r, const char *pszRid, int *pbChanged) {
  SQLLEN indRid = 0;
  int bRow = 0;
  *pbChanged = 0;
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, r->st.hChanged, 1, pszRid, &indRid));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, r->st.hChanged, 2, &r->restorePoint));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, r->st.hChanged, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__bit(ctx, r->st.hChanged, 1, pbChanged));
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, r->st.hChanged));
done:;
}

/* The rolled-back values of the row as a row document. */
static void read_rolled_back_values(QK_context *ctx, rebuild_table *r, const char *pszRid, QK_vhash **ppRow) {
  SQLLEN indRid = 0;
  int bRow = 0;
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, r->st.hValues, 1, pszRid, &indRid));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, r->st.hValues, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, tav_db_mssql__row_to_vhash(ctx, r->st.hValues, ppRow, NULL));
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, r->st.hValues));
done:;
}

/* A row the server changed after the restore point: its base decides. Base txid 0 (no version
 * at the restore point) leaves the row; otherwise the delta and a conflict entry. */
static void add_conflicting_row(QK_context *ctx, rebuild_table *r, sqlite3_value *pRid, const char *pszRid,
                                QK_int64 zGenAdd, int bDelete) {
  QK_vhash *pEntry = NULL, *pBase = NULL, *pValues = NULL;
  SQLLEN ind = 0, indRid = 0;
  QK_int64 baseTxid = 0, rowid = 0;
  int bRow = 0;
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, r->st.hBase, 1, pszRid, &indRid));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, r->st.hBase, 2, &r->restorePoint));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, r->st.hBase, 3, &zGenAdd));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, r->st.hBase, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, r->st.hBase, 1, &baseTxid, &ind));
  if (baseTxid == -1) QK_TRY(ctx, tav_db_mssql__row_to_vhash(ctx, r->st.hBase, &pBase, NULL));
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, r->st.hBase));
  if (baseTxid == 0) {
    QK_TRY(ctx, release_claims(ctx, r, pszRid));
    goto done;
  }
  QK_TRY(ctx, tav_db_mssql__add_recovery_delta(ctx, r->st.pDelta, pRid, baseTxid, bDelete, &rowid));
  r->bAnyDelta = 1;
  QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, r->pEntries, &pEntry));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "_ROWID_", rowid));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pEntry, "rid", pszRid));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "txid_rec_add", bDelete ? 0 : TAV_PKG_PLACEHOLDER_TXID));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "txid_rec_del", baseTxid));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "txid", TAV_PKG_PLACEHOLDER_TXID));
  QK_TRY(ctx, QK_vhash__add__bool(ctx, pEntry, "purged_flag", 0));
  if (pBase != NULL) QK_TRY(ctx, QK_vhash__add__vhash(ctx, pEntry, "rec_del", &pBase));
  /* The package table is emptied after the rebuild, so the incoming row travels with the
   * entry whatever its base. */
  if (!bDelete) {
    QK_TRY(ctx, read_rolled_back_values(ctx, r, pszRid, &pValues));
    QK_TRY(ctx, QK_vhash__add__vhash(ctx, pEntry, "rec_add", &pValues));
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pBase));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pValues));
}

/* One package row of the rolled-back timeline. */
static void rebuild_row(QK_context *ctx, rebuild_table *r, sqlite3_stmt *pRow, int *pMarked) {
  char szRid[QK_GUID_SZ_SIZE];
  latest_version v;
  QK_int64 zGenAdd = sqlite3_column_int64(pRow, 2), latest_version_of_this_row = 0;
  QK_uint32 countMarked = 0;
  int bDelete = sqlite3_column_type(pRow, 1) == SQLITE_NULL, bLive = 0, bOtherDeletion = 0, bChanged = 0;
  QK_TRY(ctx, tav_db_mssql__package_rid_text(ctx, pRow, 0, szRid));
  QK_TRY(ctx, read_latest_version(ctx, r, szRid, &v));
  bLive = v.zrv != 0 && v.deletingGeneration == 0;
  if (bDelete && !bLive) {
    QK_TRY(ctx, release_claims(ctx, r, szRid));
    goto done;
  }
  if (v.zrv == 0 || (v.generation <= r->restorePoint && v.deletingGeneration <= r->restorePoint)) {
    QK_TRY(ctx, tav_db_mssql__add_recovery_delta(ctx, r->st.pDelta, sqlite3_column_value(pRow, 0),
                                                 bLive ? v.txid : 0, bDelete, NULL));
    r->bAnyDelta = 1;
    goto done;
  }
  latest_version_of_this_row = v.zrv;
  QK_VERIFY(ctx, latest_version_of_this_row > 0);
  memset(pMarked, 0, r->cols.count * sizeof(int));
  QK_TRY(ctx, read_recovery_state(ctx, r, szRid, zGenAdd, pMarked, &countMarked, &bOtherDeletion));
  if ((!bLive && !bDelete && bOtherDeletion) || (bLive && bDelete)) {
    QK_TRY(ctx, release_claims(ctx, r, szRid));
    goto done;
  }
  if (countMarked == r->cols.count) goto done;
  if (countMarked > 0) QK_TRY(ctx, take_server_values(ctx, r, pMarked, &v, bLive));
  QK_TRY(ctx, server_changed_since_restore(ctx, r, szRid, &bChanged));
  if (!bChanged) {
    QK_TRY(ctx, tav_db_mssql__add_recovery_delta(ctx, r->st.pDelta, sqlite3_column_value(pRow, 0),
                                                 bLive ? v.txid : 0, bDelete, NULL));
    r->bAnyDelta = 1;
    goto done;
  }
  QK_TRY(ctx, add_conflicting_row(ctx, r, sqlite3_column_value(pRow, 0), szRid, zGenAdd, bDelete));
done:;
}

static void prepare_rebuild(QK_context *ctx, rebuild_table *r, tav_defin *psk, sqlite3 *pPkgDb,
                            const char *pszTimeline, const char *pszKey) {
  QK_string *pTerms = NULL, *pSql = NULL, *pMarks = NULL, *pList = NULL;
  rec_columns all = {0, NULL};
  const char *n = r->h->name, *t = r->pszTblId;
  QK_TRY(ctx, claim_terms(ctx, &r->cols, s_release_term, &pTerms));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, r->h->conn, &r->st.hRelease, s_claim_sql, QK_string__sz(pTerms), n, t,
                                        n, t, r->pszRec, "\nWHERE rv.rid = ?;\n"));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, r->h->conn, &r->st.hLatest, s_latest_version_sql, n, t, n, t, n, t, n,
                                        n));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &r->st.pDelta, s_package_delta_sql, t));
  QK_TRY(ctx, QK_string__alloc(ctx, &pMarks));
  for (QK_uint32 i = 0; i < r->cols.count; i++)
    QK_TRY(ctx, QK_string__append__format(ctx, pMarks, "%sNULLIF(recov.\"%s\", @txid)", i ? ",\n  " : "",
                                          QK_string__sz(r->cols.pCols[i].pQuoted)));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, r->h->conn, &r->st.hState, s_recovery_state_sql, pszKey, pszKey,
                                        pszKey, QK_string__sz(pMarks), n, t, n, t, n, t, pszTimeline));
  QK_TRY(ctx, prepared_columns_of(ctx, psk, t, &all));
  QK_TRY(ctx, build_server_change_check(ctx, r->h, t, &all, pszTimeline, &pSql));
  QK_TRY(ctx, QK_mssql__prepare(ctx, r->h->conn, &r->st.hChanged, QK_string__sz(pSql)));
  QK_TRY(ctx, QK_string__free(ctx, pSql));
  pSql = NULL;
  QK_TRY(ctx, build_base_script(ctx, r->h, psk, t, &r->cols, r->pszRec, pszTimeline, pszKey, &pSql));
  QK_TRY(ctx, QK_mssql__prepare(ctx, r->h->conn, &r->st.hBase, QK_string__sz(pSql)));
  QK_TRY(ctx, QK_string__alloc(ctx, &pList));
  for (QK_uint32 i = 0; i < r->cols.count; i++)
    QK_TRY(ctx, QK_string__append__format(ctx, pList, "%s\"%s\"", i ? ",\n" : "",
                                          QK_string__sz(r->cols.pCols[i].pQuoted)));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, r->h->conn, &r->st.hValues, "SELECT %s FROM #%s WHERE z_rid = ?;\n",
                                        QK_string__sz(pList), r->pszRec));
done:
  free_columns(ctx, &all);
  QK_RELEASE(ctx, QK_string__free(ctx, pTerms));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_string__free(ctx, pMarks));
  QK_RELEASE(ctx, QK_string__free(ctx, pList));
}

static void free_rebuild_statements(QK_context *ctx, rebuild_statements *pst) {
  SQLHSTMT *handles[] = {&pst->hRelease, &pst->hLatest, &pst->hState, &pst->hChanged, &pst->hBase, &pst->hValues};
  for (SQLHSTMT *ph : handles) {
    if (*ph != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, *ph));
    *ph = SQL_NULL_HSTMT;
  }
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pst->pDelta));
}

void tav_db_mssql__rebuild_rolled_back_rows(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                            sqlite3 *pPkgDb, struct tav_recovery_set *pSet, tav_defin *psk,
                                            QK_varray **ppEntries) {
  QK_vhash *pDoc = NULL, *pOwn = NULL, *pMember = NULL, *pNames = NULL;
  QK_string *pTerms = NULL, *pKey = NULL, *pIdentity = NULL;
  sqlite3_stmt *pRows = NULL;
  SQLHSTMT hClaim = SQL_NULL_HSTMT;
  rebuild_table r;
  const char *pszTimeline = NULL, *pszKeyName = NULL, *pszIdentityColId = NULL, *pszIdentityName = NULL;
  int *pMarked = NULL;
  int bRow = 0;
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  memset(&r, 0, sizeof r);
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pSet);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_ARG_NOT_NULL(ctx, ppEntries);
  *ppEntries = NULL;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  pszTblId = szTbl;
  pDoc = tav_recovery_set__vhash(pSet);
  r.h = h;
  r.pszTblId = pszTblId;
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pDoc, TAV_RECOVERY_SET_OWN_KEY, &pOwn));
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pOwn, "restore point", &r.restorePoint));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pOwn, "ttable_timeline", &pszTimeline));
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pOwn, "txid", &r.txid));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pDoc, pszTblId, &pMember));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pMember, "cols_in_pkg_u", &pNames));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "ttable_records", &r.pszRec));
  QK_TRY(ctx, columns_of(ctx, psk, pszTblId, pNames, &r.cols));
  QK_TRY(ctx, tav_defin__get_key_column_at(ctx, psk, pszTblId, 0, NULL, &pszKeyName));
  QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszKeyName, '"', &pKey));
  QK_TRY(ctx, QK_varray__alloc(ctx, &r.pEntries));
  if (r.cols.count > 0) QK_TRY(ctx, QK_alloc(ctx, r.cols.count, sizeof(int), &pMarked));

  /* Claim the recorded values that no recovery brought back yet. */
  QK_TRY(ctx, claim_terms(ctx, &r.cols, s_claim_term, &pTerms));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hClaim, s_claim_sql, QK_string__sz(pTerms), h->name,
                                        pszTblId, h->name, pszTblId, r.pszRec, ";\n"));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hClaim, 1, &r.txid));
  QK_TRY(ctx, QK_mssql__execute(ctx, hClaim));
  QK_TRY(ctx, prepare_rebuild(ctx, &r, psk, pPkgDb, pszTimeline, QK_string__sz(pKey)));

  QK_TRY(ctx, tav_defin__get_rowid_column(ctx, psk, pszTblId, &pszIdentityColId));
  if (pszIdentityColId != NULL) {
    /* New rows of an identity table come back in the order the client made them. */
    QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, pszTblId, pszIdentityColId, &pszIdentityName));
    QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszIdentityName, ']', &pIdentity));
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pRows,
                                          "SELECT z_rid, \"%s\", z_gen_add FROM \"p$u$%s\" u ORDER BY [%s] ASC",
                                          QK_string__sz(pKey), pszTblId, QK_string__sz(pIdentity)));
  } else {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pRows, "SELECT z_rid, \"%s\", z_gen_add FROM \"p$u$%s\" u",
                                          QK_string__sz(pKey), pszTblId));
  }
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pRows, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, rebuild_row(ctx, &r, pRows, pMarked));
  }
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pRows));

  if (r.bAnyDelta)
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pPkgDb, "DELETE FROM \"p$u$%s\"", pszTblId));
  else
    QK_TRY(ctx, QK_vhash__remove(ctx, pDoc, pszTblId));
  if (QK_varray__count_noctx(r.pEntries) > 0) {
    *ppEntries = r.pEntries;
    r.pEntries = NULL;
  }
done:
  if (QK_context__has_error(ctx)) tav_err__add_context(ctx, pszTblId, "recovering rolled-back operations in", NULL);
  if (hClaim != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hClaim));
  free_rebuild_statements(ctx, &r.st);
  free_columns(ctx, &r.cols);
  QK_free(ctx, pMarked);
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pRows));
  QK_RELEASE(ctx, QK_varray__free(ctx, r.pEntries));
  QK_RELEASE(ctx, QK_string__free(ctx, pTerms));
  QK_RELEASE(ctx, QK_string__free(ctx, pKey));
  QK_RELEASE(ctx, QK_string__free(ctx, pIdentity));
}

/* ---- Importing what comes back ---- */

void tav_db_mssql__import_recovered(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                                    struct tav_recovery_set *pSet, sqlite3 *pPkgDb) {
  QK_vhash *pDoc = NULL, *pOwn = NULL;
  QK_varray *pTables = NULL;
  QK_uint32 count = 0;
  QK_int64 txid = 0;
  const char *pszKey = NULL;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pSet);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  tav_db_mssql__history_forget(ctx, h);
  pDoc = tav_recovery_set__vhash(pSet);
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pDoc, TAV_RECOVERY_SET_OWN_KEY, &pOwn));
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pOwn, "txid", &txid));
  /* Staging adds members to the set, so walk a copy of its table ids. */
  QK_TRY(ctx, QK_varray__alloc(ctx, &pTables));
  QK_TRY(ctx, QK_vhash__count(ctx, pDoc, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pDoc, i, &pszKey, NULL));
    if (memcmp(pszKey, TAV_RECOVERY_SET_OWN_KEY, 4) == 0) continue;
    QK_TRY(ctx, QK_varray__append__string(ctx, pTables, pszKey));
  }
  count = QK_varray__count_noctx(pTables);
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_varray__get__sz(ctx, pTables, i, &pszKey));
    QK_TRY(ctx, tav_db_mssql__stage_table(ctx, h, psk, pPkgDb, pszKey, pDoc));
  }
  QK_TRY(ctx, tav_db_mssql__apply_staged(ctx, "recovering rolled-back operations in", h, psk, pFilter, pDoc, txid, 0,
                                         pPkgDb));
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pTables));
}

/* Salvage (conflicting package changes) and the row dump of uploaded packages. */
#include "server/tav_db_mssql_salvage.h"

#include <string.h>

#include "common/tav_sql_quote.h"
#include "common/tav_utils.h"
#include "qk/qk_hex.h"
#include "qk/qk_jsonwriter.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_history.h"
#include "server/tav_db_mssql_recovery.h"
#include "server/tav_db_mssql_row_batch.h"
#include "server/tav_db_mssql_rules.h"
#include "server/tav_db_mssql_values.h"
#include "server/tav_handle_conflicts.h"

/* ---- Conflicting deltas ---- */

static const char s_conflicts_table_sql[] =
    "CREATE TABLE #%s (pd_rowid [bigint] PRIMARY KEY, pd_rid [uniqueidentifier], pd_txid_rec_add [bigint], "
    "pd_txid_rec_del [bigint], pd_txid [bigint])";
static const char s_changed_deltas_sql[] =
    "SELECT _ROWID_, rid, txid_rec_add, txid_rec_del, txid%s FROM \"%s\" WHERE (txid_rec_del IS NOT NULL) ORDER BY "
    "txid ASC;";
static const char s_new_deltas_sql[] =
    "SELECT _ROWID_, rid, txid_rec_add, txid_rec_del, txid FROM \"%s\" WHERE (txid_rec_del IS NULL)%s;";
static const char s_insert_head_sql[] = "INSERT INTO #%s (pd_rowid, pd_rid, pd_txid_rec_add, pd_txid_rec_del, pd_txid)";
static const char s_superseded_sql[] =
    "SELECT pd.pd_rowid, pd.pd_rid, pd.pd_txid_rec_add, pd.pd_txid_rec_del, pd.pd_txid\n"
    " FROM #%s AS pd\n"
    " INNER JOIN tavrin.\"%s$z$rv$%s\" AS rv ON (pd.pd_rid=rv.rid) AND (pd.pd_txid_rec_del=rv.txid)\n"
    " INNER JOIN tavrin.\"%s$z$dd$%s\" AS dd ON (dd.rv=rv.z_rv)\n"
    " ORDER BY pd.pd_txid ASC;";
static const char s_own_base_sql[] =
    "SELECT pd_rowid, pd_rid, pd_txid_rec_add, pd_txid_rec_del, pd_txid FROM #%s WHERE (pd_txid_rec_del=-1) ORDER BY "
    "pd_txid ASC;";
static const char s_unknown_base_sql[] =
    "SELECT TOP 1 pd_rid, pd_txid_rec_del FROM #%s pd\n"
    "WHERE pd.pd_txid_rec_del <> -1\n"
    "AND NOT EXISTS (SELECT 1 FROM tavrin.\"%s$z$rv$%s\" rv WHERE rv.rid = pd.pd_rid AND rv.txid = "
    "pd.pd_txid_rec_del);";
static const char s_known_new_rows_sql[] =
    "SELECT pd_rowid, pd_rid, pd_txid_rec_add, pd_txid_rec_del, pd_txid\n"
    "FROM #%s t\n"
    "WHERE (  EXISTS (SELECT * FROM tavrin.\"%s$z$rv$%s\" rv WHERE (rv.rid = t.pd_rid) )  );";

void tav_db_mssql__package_rid_text(QK_context *ctx, sqlite3_stmt *pStmt, int col, char *pszOut) {
  int len = sqlite3_column_bytes(pStmt, col);
  if (len == 0) QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "guid blob misssing");
  if (len != 16) QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "guid blob must be 16 bytes: %d", len);
  QK_guid__to_sz((const QK_uint8 *)sqlite3_column_blob(pStmt, col), pszOut);
done:;
}

static void add_entry(QK_context *ctx, QK_varray *pEntries, QK_int64 rowid, const char *pszRid, QK_int64 txidRecAdd,
                      QK_int64 txidRecDel, QK_int64 txid, int bPurged) {
  QK_vhash *pEntry = NULL;
  QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, pEntries, &pEntry));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "_ROWID_", rowid));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pEntry, "rid", pszRid));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "txid_rec_add", txidRecAdd));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "txid_rec_del", txidRecDel));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "txid", txid));
  QK_TRY(ctx, QK_vhash__add__bool(ctx, pEntry, "purged_flag", bPurged));
done:;
}

void tav_db_mssql__read_conflict_entries(QK_context *ctx, SQLHSTMT hStmt, QK_varray *pEntries) {
  QK_int64 rowid = 0, add = 0, del = 0, txid = 0;
  QK_uint8 rid[16];
  char szRid[QK_GUID_SZ_SIZE];
  SQLLEN ind = 0, indAdd = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, pEntries);
  for (;;) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &rowid, &ind));
    QK_TRY(ctx, QK_mssql__get__guid(ctx, hStmt, 2, rid, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 3, &add, &indAdd));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 4, &del, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 5, &txid, &ind));
    QK_TRY(ctx, add_entry(ctx, pEntries, rowid, QK_guid__to_sz(rid, szRid), indAdd == SQL_NULL_DATA ? 0 : add, del,
                          txid, 0));
  }
done:;
}

/* Rows of the conflicts table go in multi-row statements. */
static void open_conflict_rows(QK_context *ctx, tav_db_handle *h, const char *pszTemp, tav_row_batch **ppBatch) {
  static const QK_int16 types[] = {SQL_BIGINT, SQL_GUID, SQL_BIGINT, SQL_BIGINT, SQL_BIGINT};
  char szHead[sizeof s_insert_head_sql + TAV_TEMP_NAME_SIZE];
  char szCreate[sizeof s_conflicts_table_sql + TAV_TEMP_NAME_SIZE];
  QK_TRY(ctx, QK_sprintf_buf(ctx, szHead, sizeof szHead, s_insert_head_sql, pszTemp));
  QK_TRY(ctx, QK_sprintf_buf(ctx, szCreate, sizeof szCreate, s_conflicts_table_sql, pszTemp));
  QK_TRY(ctx, tav_db_mssql__row_batch_open_typed(ctx, h->conn, szHead, 5, types, ppBatch));
  /* Mostly the rows and their queries fit one batch, which then makes the table. */
  QK_TRY(ctx, tav_db_mssql__row_batch_set_create(ctx, *ppBatch, szCreate));
done:;
}

/* A package column as a bigint of the batch; NULL stays NULL unless bNullAsZero. */
static void bind_delta_int64(QK_context *ctx, SQLHSTMT hStmt, int ipar, tav_col_binding *b, sqlite3_stmt *pRow,
                             int col, int bNullAsZero) {
  int bNull = sqlite3_column_type(pRow, col) == SQLITE_NULL && !bNullAsZero;
  QK_TRY(ctx, tav_db_mssql__row_batch_bind_int64(ctx, hStmt, ipar, b, bNull, sqlite3_column_int64(pRow, col)));
done:;
}

/* One package delta into the conflicts table; a NULL txid_rec_add goes in as NULL, a NULL
 * txid_rec_del as 0 with bNullDelAsZero (new rows), else as NULL; rowid and txid as numbers. */
static void add_conflict_row(QK_context *ctx, tav_row_batch *pBatch, sqlite3_stmt *pRow, const char *pszRid,
                             int bNullDelAsZero) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  tav_col_collection *pBindings = NULL;
  tav_col_binding *b;
  int first = 0;
  QK_TRY(ctx, tav_db_mssql__row_batch_next(ctx, pBatch, &hStmt, &pBindings, &first));
  b = &pBindings->pBindings[first];
  QK_TRY(ctx, bind_delta_int64(ctx, hStmt, first + 1, &b[0], pRow, 0, 1));
  QK_TRY(ctx, tav_db_mssql__row_batch_bind_guid(ctx, hStmt, first + 2, &b[1], pszRid));
  QK_TRY(ctx, bind_delta_int64(ctx, hStmt, first + 3, &b[2], pRow, 2, 0));
  QK_TRY(ctx, bind_delta_int64(ctx, hStmt, first + 4, &b[3], pRow, 3, bNullDelAsZero));
  QK_TRY(ctx, bind_delta_int64(ctx, hStmt, first + 5, &b[4], pRow, 4, 1));
  QK_TRY(ctx, tav_db_mssql__row_batch_added(ctx, pBatch, 0));
done:;
}

/* The queries over the changes of existing rows, in the batch of their last rows, which
 * then empties the table for the new rows. */
static void changed_rows_tail(QK_context *ctx, tav_db_handle *h, const char *pszTemp, const char *pszTbl,
                              QK_string **ppSql) {
  QK_TRY(ctx, QK_string__alloc__format(ctx, ppSql, s_unknown_base_sql, pszTemp, h->name, pszTbl));
  QK_TRY(ctx, QK_string__append__format(ctx, *ppSql, s_superseded_sql, pszTemp, h->name, pszTbl, h->name, pszTbl));
  QK_TRY(ctx, QK_string__append__format(ctx, *ppSql, s_own_base_sql, pszTemp));
  QK_TRY(ctx, QK_string__append__format(ctx, *ppSql, "TRUNCATE TABLE #%s;", pszTemp));
done:;
}

/* Reads the results of changed_rows_tail. Every change must be based on a version the server
 * holds of that row (or on one of the client's own, -1): a change of a version that never was
 * can only fail late, in the import, where it would look like a race and be retried in vain.
 * The entries are then the changes of superseded versions and those based on the client's
 * own versions. */
static void read_changed_rows(QK_context *ctx, SQLHSTMT hStmt, QK_varray *pEntries) {
  QK_uint8 rid[16];
  char szRid[QK_GUID_SZ_SIZE];
  QK_int64 base = 0;
  SQLLEN indRid = 0, indBase = 0;
  SQLRETURN rc;
  int bHas = 0, bRow = 0;
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  if (bRow) {
    QK_TRY(ctx, QK_mssql__get__guid(ctx, hStmt, 1, rid, &indRid));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &base, &indBase));
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                 "Malformed package. The change of row %s is based on version %lld, which the server does not hold.",
                 QK_guid__to_sz(rid, szRid), (long long)base);
  }
  for (int i = 0; i < 2; i++) {
    rc = QK_mssql__odbc()->MoreResults(hStmt);
    if (!SQL_SUCCEEDED(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
    QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
    QK_VERIFY(ctx, bHas);
    QK_TRY(ctx, tav_db_mssql__read_conflict_entries(ctx, hStmt, pEntries));
  }
  QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hStmt));
done:;
}

void tav_db_mssql__list_conflicting_deltas(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                           sqlite3 *pPkgDb, QK_varray **ppEntries) {
  QK_varray *pEntries = NULL;
  QK_string *pSql = NULL;
  sqlite3_stmt *pRows = NULL;
  tav_row_batch *pBatch = NULL;
  char szTbl[TAV_TABLE_ID_SZ_SIZE], szPkgTable[TAV_TABLE_ID_SZ_SIZE + 8], szTemp[TAV_TEMP_NAME_SIZE], szRid[QK_GUID_SZ_SIZE];
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  int bPurgedColumn = 0, bRow = 0, bInserted = 0, bHas = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_ARG_NOT_NULL(ctx, ppEntries);
  *ppEntries = NULL;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, QK_sprintf_buf(ctx, szPkgTable, sizeof szPkgTable, TAV_PKG_ROW_DELTAS_PREFIX "%s", szTbl));
  QK_TRY(ctx, QK_varray__alloc(ctx, &pEntries));
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szTemp, "conflicts", szTbl));
  QK_TRY(ctx, QK_sqlite__table_has_column(ctx, pPkgDb, szPkgTable, "purged_flag", &bPurgedColumn));

  /* Changes of existing rows: those marked purged are conflicts as they stand, the others are
   * compared with the server's history. */
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pRows, s_changed_deltas_sql,
                                        bPurgedColumn ? ", purged_flag" : "", szPkgTable));
  QK_TRY(ctx, open_conflict_rows(ctx, h, szTemp, &pBatch));
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pRows, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, tav_db_mssql__package_rid_text(ctx, pRows, 1, szRid));
    if (bPurgedColumn && sqlite3_column_int64(pRows, 5) != 0) {
      QK_TRY(ctx, add_entry(ctx, pEntries, sqlite3_column_int64(pRows, 0), szRid, sqlite3_column_int64(pRows, 2),
                            sqlite3_column_int64(pRows, 3), sqlite3_column_int64(pRows, 4), 1));
      continue;
    }
    QK_TRY(ctx, add_conflict_row(ctx, pBatch, pRows, szRid, 0));
    bInserted = 1;
  }
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pRows));
  /* Without changed rows nothing is pending and the table is empty already. */
  if (bInserted) {
    QK_TRY(ctx, changed_rows_tail(ctx, h, szTemp, szTbl, &pSql));
    QK_TRY(ctx, tav_db_mssql__row_batch_flush_with(ctx, pBatch, QK_string__sz(pSql), &hStmt));
    QK_TRY(ctx, read_changed_rows(ctx, hStmt, pEntries));
    QK_TRY(ctx, QK_string__free(ctx, pSql));
    pSql = NULL;
  }

  /* New rows: a conflict when the server already knows the row id. */
  bInserted = 0;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pRows, s_new_deltas_sql, szPkgTable,
                                        bPurgedColumn ? " AND (purged_flag = 0)" : ""));
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pRows, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, tav_db_mssql__package_rid_text(ctx, pRows, 1, szRid));
    if (sqlite3_column_type(pRows, 2) == SQLITE_NULL)
      QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                   "Malformed package. The row delta of row %s neither adds nor replaces a version.", szRid);
    QK_TRY(ctx, add_conflict_row(ctx, pBatch, pRows, szRid, 1));
    bInserted = 1;
  }
  if (bInserted) {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_known_new_rows_sql, szTemp, h->name, szTbl));
    QK_TRY(ctx, tav_db_mssql__row_batch_flush_with(ctx, pBatch, QK_string__sz(pSql), &hStmt));
    QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
    QK_VERIFY(ctx, bHas);
    QK_TRY(ctx, tav_db_mssql__read_conflict_entries(ctx, hStmt, pEntries));
    QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hStmt));
  }
  /* The conflict resolution asks for the history of every entry's row: read it now, in a few
   * set queries. */
  QK_TRY(ctx, tav_db_mssql__history_read_ahead(ctx, h, pPkgDb, pszTblId, pEntries));
  *ppEntries = pEntries;
  pEntries = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pRows));
  QK_RELEASE(ctx, tav_db_mssql__row_batch_free(ctx, &pBatch));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_varray__free(ctx, pEntries));
}

void tav_db_mssql__salvage(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                           struct tav_recovery_set *pSet, sqlite3 *pPkgDb, QK_varray **ppList) {
  QK_varray *pList = NULL;
  if (pSet != NULL)
    QK_TRY(ctx, tav_db_mssql__rebuild_rolled_back_rows(ctx, h, pszTblId, pPkgDb, pSet, psk, &pList));
  else
    QK_TRY(ctx, tav_db_mssql__list_conflicting_deltas(ctx, h, pszTblId, pPkgDb, &pList));
  if (ppList != NULL) {
    *ppList = pList;
    pList = NULL;
  }
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pList));
}

/* ---- Row dump ---- */

static const char s_dump_known_sql[] =
    "SELECT CAST (CASE WHEN EXISTS (SELECT 1 FROM [tavrin].[%s$r$dump_rows] WHERE [hash] = ?) THEN 1 ELSE 0 END AS "
    "bit);\n";
static const char s_dump_rows_merge_sql[] =
    "DECLARE @hash char(40) = ?;\n"
    "DECLARE @json nvarchar(max) = ?;\n"
    "MERGE INTO [tavrin].[%s$r$dump_rows] r\n"
    "  USING (SELECT @hash AS [hash], @json AS [json]) AS i\n"
    "  ON i.hash = r.hash\n"
    "  WHEN NOT MATCHED THEN INSERT ([hash], [json]) VALUES (i.[hash], i.[json]);\n";
static const char s_dump_merge_sql[] =
    "DECLARE @username nvarchar(100) = ?;\n"
    "DECLARE @table_id int = ?;\n"
    "DECLARE @row char(40) = ?;\n"
    "MERGE INTO [tavrin].[%s$r$dump] e\n"
    "  USING (SELECT @username AS [username], @table_id AS [table_id], @row AS [row]) AS i\n"
    "  ON i.username = e.username AND i.table_id = e.table_id AND i.row = e.row\n"
    "  WHEN NOT MATCHED THEN INSERT ([username], [table_id], [row]) VALUES (i.[username], i.[table_id], i.[row])\n"
    "  WHEN MATCHED THEN UPDATE SET [last_received] = GETDATE();\n";

/* The statements of one dump, prepared once. */
typedef struct dump_statements {
  SQLHSTMT hKnown, hRowsMerge, hDumpMerge;
} dump_statements;

/* The row text: one member per column in column order; blobs as "0x" and lowercase hex. */
static void write_row_text(QK_context *ctx, sqlite3_stmt *pRow, QK_string *pOut) {
  static const char s_hex[] = "0123456789abcdef";
  QK_jsonwriter *pJson = NULL;
  char *pszHex = NULL;
  QK_TRY(ctx, QK_string__clear(ctx, pOut));
  QK_TRY(ctx, QK_jsonwriter__alloc(ctx, &pJson, pOut));
  QK_TRY(ctx, QK_jsonwriter__start_object(ctx, pJson));
  for (int i = 0; i < sqlite3_column_count(pRow); i++) {
    const char *pszName = sqlite3_column_name(pRow, i);
    switch (sqlite3_column_type(pRow, i)) {
      case SQLITE_INTEGER:
        QK_TRY(ctx, QK_jsonwriter__write_pair__int64(ctx, pJson, pszName, sqlite3_column_int64(pRow, i)));
        break;
      case SQLITE_FLOAT:
        QK_TRY(ctx, QK_jsonwriter__write_pair__double(ctx, pJson, pszName, sqlite3_column_double(pRow, i)));
        break;
      case SQLITE_TEXT:
        QK_TRY(ctx, QK_jsonwriter__write_pair__text(ctx, pJson, pszName, (const char *)sqlite3_column_text(pRow, i),
                                                    (QK_uint32)sqlite3_column_bytes(pRow, i)));
        break;
      case SQLITE_BLOB: {
        const QK_uint8 *p = (const QK_uint8 *)sqlite3_column_blob(pRow, i);
        QK_uint32 len = (QK_uint32)sqlite3_column_bytes(pRow, i);
        QK_TRY(ctx, QK_malloc(ctx, 2 * len + 3, &pszHex));
        pszHex[0] = '0';
        pszHex[1] = 'x';
        for (QK_uint32 j = 0; j < len; j++) {
          pszHex[2 + 2 * j] = s_hex[p[j] >> 4];
          pszHex[3 + 2 * j] = s_hex[p[j] & 0xF];
        }
        pszHex[2 + 2 * len] = '\0';
        QK_TRY(ctx, QK_jsonwriter__write_pair__string(ctx, pJson, pszName, pszHex));
        QK_free(ctx, pszHex);
        pszHex = NULL;
        break;
      }
      default:
        QK_TRY(ctx, QK_jsonwriter__write_pair__null(ctx, pJson, pszName));
        break;
    }
  }
  QK_TRY(ctx, QK_jsonwriter__end_object(ctx, pJson));
done:
  QK_free(ctx, pszHex);
  QK_RELEASE(ctx, QK_jsonwriter__free(ctx, pJson));
}

/* Stores one row text (once per hash) and who sent it. */
static void dump_one_row(QK_context *ctx, dump_statements *pStmts, const char *pszText, const char *pszUserName,
                         QK_int32 tblId) {
  char szHash[41];
  /* Each binding keeps its own UTF-16 copy until its statement has run. */
  char16_t *pwszHashKnown = NULL, *pwszHashRows = NULL, *pwszHashDump = NULL, *pwszText = NULL, *pwszUser = NULL;
  SQLLEN indHash = 0, indText = 0, indUser = 0;
  int bKnown = 0, bRow = 0;
  QK_TRY(ctx, tav_sha1__buffer(ctx, pszText, (QK_uint32)strlen(pszText), szHash));

  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, pStmts->hKnown, 1, szHash, SQL_CHAR, &indHash, &pwszHashKnown));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, pStmts->hKnown, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__bit(ctx, pStmts->hKnown, 1, &bKnown));
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, pStmts->hKnown));
  if (!bKnown) {
    QK_TRY(ctx, QK_mssql__bind__nstring(ctx, pStmts->hRowsMerge, 1, szHash, SQL_CHAR, &indHash, &pwszHashRows));
    QK_TRY(ctx, QK_mssql__bind__nstring(ctx, pStmts->hRowsMerge, 2, pszText, SQL_WLONGVARCHAR, &indText, &pwszText));
    QK_TRY(ctx, QK_mssql__execute(ctx, pStmts->hRowsMerge));
    QK_TRY(ctx, tav_db_mssql__drain_results(ctx, pStmts->hRowsMerge));
  }
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, pStmts->hDumpMerge, 1, pszUserName != NULL ? pszUserName : "",
                                      SQL_WVARCHAR, &indUser, &pwszUser));
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, pStmts->hDumpMerge, 2, &tblId));
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, pStmts->hDumpMerge, 3, szHash, SQL_CHAR, &indHash, &pwszHashDump));
  QK_TRY(ctx, QK_mssql__execute(ctx, pStmts->hDumpMerge));
  QK_TRY(ctx, tav_db_mssql__drain_results(ctx, pStmts->hDumpMerge));
done:
  QK_free(ctx, pwszHashKnown);
  QK_free(ctx, pwszHashRows);
  QK_free(ctx, pwszHashDump);
  QK_free(ctx, pwszText);
  QK_free(ctx, pwszUser);
}

void tav_db_mssql__dump_rows(QK_context *ctx, tav_db_handle *h, const char *pszPackagePath,
                             const char *pszUserName) {
  dump_statements stmts = {SQL_NULL_HSTMT, SQL_NULL_HSTMT, SQL_NULL_HSTMT};
  sqlite3 *pPkgDb = NULL;
  sqlite3_stmt *pTables = NULL, *pRows = NULL;
  QK_string *pText = NULL;
  QK_int32 tblId = 0;
  int bRow = 0, bInTransaction = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pszPackagePath);
  QK_TRY(ctx, QK_mssql__exec(ctx, h->conn, "BEGIN TRANSACTION"));
  bInTransaction = 1;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &stmts.hKnown, s_dump_known_sql, h->name));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &stmts.hRowsMerge, s_dump_rows_merge_sql, h->name));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &stmts.hDumpMerge, s_dump_merge_sql, h->name));
  QK_TRY(ctx, QK_string__alloc(ctx, &pText));

  QK_TRY(ctx, QK_sqlite__open_with_key(ctx, pszPackagePath, NULL, SQLITE_OPEN_READONLY, &pPkgDb));
  QK_TRY(ctx, QK_sqlite__prepare_printf(
                  ctx, pPkgDb, &pTables,
                  "SELECT name FROM sqlite_master WHERE type='table' AND substr(name, 1, 4)=='p$u$'"));
  for (;;) {
    const char *pszTable;
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pTables, &bRow));
    if (!bRow) break;
    pszTable = (const char *)sqlite3_column_text(pTables, 0);
    QK_TRY(ctx, QK_int32__parse(ctx, &tblId, pszTable + 4));
    QK_TRY(ctx, QK_string__sprintf(ctx, pText, "SELECT * FROM "));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pText, pszTable));
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pRows, "%s", QK_string__sz(pText)));
    for (;;) {
      QK_TRY(ctx, QK_sqlite__step_row(ctx, pRows, &bRow));
      if (!bRow) break;
      QK_TRY(ctx, write_row_text(ctx, pRows, pText));
      QK_TRY(ctx, dump_one_row(ctx, &stmts, QK_string__sz(pText), pszUserName, tblId));
    }
    QK_TRY(ctx, QK_sqlite__finalize(ctx, &pRows));
  }
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pTables));
  QK_TRY(ctx, QK_sqlite__close(ctx, &pPkgDb));
  QK_TRY(ctx, QK_mssql__free_stmt(ctx, stmts.hKnown));
  stmts.hKnown = SQL_NULL_HSTMT;
  QK_TRY(ctx, QK_mssql__free_stmt(ctx, stmts.hRowsMerge));
  stmts.hRowsMerge = SQL_NULL_HSTMT;
  QK_TRY(ctx, QK_mssql__free_stmt(ctx, stmts.hDumpMerge));
  stmts.hDumpMerge = SQL_NULL_HSTMT;
  QK_TRY(ctx, QK_mssql__exec(ctx, h->conn, "COMMIT TRANSACTION"));
  bInTransaction = 0;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pRows));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pTables));
  QK_RELEASE(ctx, QK_sqlite__close(ctx, &pPkgDb));
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, stmts.hKnown));
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, stmts.hRowsMerge));
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, stmts.hDumpMerge));
  if (bInTransaction) QK_RELEASE(ctx, QK_mssql__exec(ctx, h->conn, "ROLLBACK TRANSACTION"));
  QK_RELEASE(ctx, QK_string__free(ctx, pText));
}

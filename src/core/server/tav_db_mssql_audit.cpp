/* Audit rows into the server's audit table (in the configuration database) and the
 * identity-key lookup for pushing clients. */
#include <stdio.h>
#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_audit.h"
#include "server/tav_db_mssql_row_batch.h"
#include "server/tav_db_mssql_values.h"

static const char AUDIT_SELECT_SQL[] = "SELECT rid, txid, tbl, ancestor, already, incoming, result FROM p$audit";
static const char AUDIT_INSERT_HEAD[] = "INSERT INTO tavrin.\"audit\" (dbfile,rid,txid,tbl,ancestor,already,incoming,result)";
static const char IPKLOG_SELECT_SQL[] =
    "IF OBJECT_ID('[tavrin].[%s$t$ipklog]') IS NOT NULL\n"
    "  SELECT temp_ipk, final_ipk FROM [tavrin].[%s$t$ipklog] WHERE fid=? AND tbl_id=?;\n"
    "ELSE\n"
    "  SELECT NULL, NULL WHERE 1=0;\n";
/* The rows of the package query go into a #temp table, many to an INSERT, and one query gives
 * each its live row's value, else that of any old version of the row. The rows of one
 * statement go with the table's creation and the query in that statement (a #temp table made
 * by a prepared statement ends with its execution); more rows go into a table made before. */
static const char LOOKUP_ROWS_TABLE_SQL[] =
    "CREATE TABLE #%s (seq bigint NOT NULL PRIMARY KEY, rid uniqueidentifier NULL, client_value bigint NOT NULL);\n";
static const char LOOKUP_ROWS_HEAD[] = "INSERT INTO #%s (seq,rid,client_value) VALUES ";
static const char IDENTITY_LOOKUP_SQL[] =
    ";\nSELECT k.client_value, COALESCE(\n"
    "  (SELECT TOP 1 z.\"%s\" FROM tavrin.\"%s$z$%s\" z\n"
    "    INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON rv.z_rv = z.z_rv\n"
    "    WHERE rv.rid = k.rid),\n"
    "  (SELECT TOP 1 old.\"%s\" FROM tavrin.\"%s$z$old$%s\" old\n"
    "    INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON rv.z_rv = old.z_rv\n"
    "    WHERE rv.rid = k.rid))\n"
    "FROM #%s k ORDER BY k.seq";
/* Within SQL Server's 2100 parameters (three a row) and 1000 rows of one VALUES list. */
#define LOOKUP_ROWS_PER_STATEMENT 666

#define AUDIT_TEXT_COLUMNS 5

/* A row id column as GUID text, or NULL for an empty value. */
static void rid_text(QK_context *ctx, sqlite3_stmt *pStmt, int col, char *szGuid, int *pbNull) {
  int len = sqlite3_column_bytes(pStmt, col);
  *pbNull = len == 0;
  if (len == 0) goto done;
  if (len != 16) QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "guid blob must be 16 bytes: %d", len);
  QK_guid__to_sz((const QK_uint8 *)sqlite3_column_blob(pStmt, col), szGuid);
done:;
}

void tav_db_mssql__import_audit(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb) {
  /* dbfile, rid, txid and the five texts; the rows go in multi-row statements. */
  static const QK_int16 types[] = {SQL_WVARCHAR, SQL_GUID,     SQL_BIGINT,   SQL_WLONGVARCHAR,
                                   SQL_WLONGVARCHAR, SQL_WLONGVARCHAR, SQL_WLONGVARCHAR, SQL_WLONGVARCHAR};
  sqlite3_stmt *pStmt = NULL;
  tav_row_batch *pBatch = NULL;
  tav_col_collection *pBindings = NULL;
  SQLHSTMT hInsert = SQL_NULL_HSTMT;
  char szGuid[QK_GUID_SZ_SIZE];
  QK_mssql_connection *pConn = NULL;
  int bExists = 0, bNull = 0, rc, first = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_TRY(ctx, tav_db_mssql__begin_audit_tx(ctx, h, &pConn));
  QK_TRY(ctx, tav_db_mssql__table_exists(ctx, pConn, "audit", NULL, NULL, &bExists));
  if (!bExists) goto done;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pStmt, "%s", AUDIT_SELECT_SQL));
  QK_TRY(ctx, tav_db_mssql__row_batch_open_typed(ctx, pConn, AUDIT_INSERT_HEAD, 8, types, &pBatch));
  while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW) {
    tav_col_binding *b;
    QK_TRY(ctx, tav_db_mssql__row_batch_next(ctx, pBatch, &hInsert, &pBindings, &first));
    b = &pBindings->pBindings[first];
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_text(ctx, hInsert, first + 1, &b[0], h->name, 0));
    QK_TRY(ctx, rid_text(ctx, pStmt, 0, szGuid, &bNull));
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_guid(ctx, hInsert, first + 2, &b[1], bNull ? NULL : szGuid));
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_int64(ctx, hInsert, first + 3, &b[2], 0, sqlite3_column_int64(pStmt, 1)));
    for (int i = 0; i < AUDIT_TEXT_COLUMNS; i++)
      QK_TRY(ctx, tav_db_mssql__row_batch_bind_text(ctx, hInsert, first + 4 + i, &b[3 + i],
                                                    (const char *)sqlite3_column_text(pStmt, 2 + i), 1));
    QK_TRY(ctx, tav_db_mssql__row_batch_added(ctx, pBatch, 0));
  }
  if (rc != SQLITE_DONE) QK_THROW(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, rc));
  QK_TRY(ctx, tav_db_mssql__row_batch_flush(ctx, pBatch));
done:
  if (pConn != NULL && pConn != h->conn) tav_db_mssql__deadlock_as_busy(ctx);
  QK_RELEASE(ctx, tav_db_mssql__row_batch_free(ctx, &pBatch));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* One (client value, key text) pair into the caller's statement. */
static void insert_pair(QK_context *ctx, sqlite3_stmt *pPkgInsert, QK_int64 clientValue, const char *pszPrefix,
                        QK_int64 value) {
  char szKey[2 + QK_INT64_SZ_SIZE];
  snprintf(szKey, sizeof szKey, "%s%lld", pszPrefix, (long long)value);
  QK_TRY(ctx, QK_sqlite__clear_bindings(ctx, pPkgInsert));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pPkgInsert, 1, clientValue));
  QK_TRY(ctx, QK_sqlite__bind_text(ctx, pPkgInsert, 2, szKey));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pPkgInsert, SQLITE_DONE));
  QK_TRY(ctx, QK_sqlite__reset(ctx, pPkgInsert));
done:;
}

/* The keys earlier pushes of this client were given. */
static void copy_identity_log(QK_context *ctx, tav_db_handle *h, QK_int64 fid, const char *pszTblId,
                              sqlite3_stmt *pPkgInsert) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int64 tempIpk = 0, finalIpk = 0;
  QK_int32 tblId = 0;
  SQLLEN ind = 0;
  int bHas = 0, bRow = 0;
  QK_TRY(ctx, QK_int32__parse(ctx, &tblId, pszTblId));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, IPKLOG_SELECT_SQL, h->name, h->name));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &fid));
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 2, &tblId));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  while (bHas) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &tempIpk, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &finalIpk, &ind));
    QK_TRY(ctx, insert_pair(ctx, pPkgInsert, tempIpk, "S:", finalIpk));
  }
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* A row of the package query, held until its statement runs (the parameters point into it). */
typedef struct lookup_row {
  QK_int64 seq;
  QK_int64 clientValue;
  SQLLEN ridInd;
  int bNullRid;
  char szRid[QK_GUID_SZ_SIZE];
} lookup_row;

/* Reads every row of the package query; *ppRows (the caller frees it) and *pCount. */
static void read_lookup_rows(QK_context *ctx, sqlite3_stmt *pPkgQuery, lookup_row **ppRows, QK_uint32 *pCount) {
  lookup_row *pRows = NULL, *pGrown = NULL;
  QK_uint32 count = 0, capacity = 0;
  int rc;
  while ((rc = sqlite3_step(pPkgQuery)) == SQLITE_ROW) {
    if (count == capacity) {
      capacity = capacity ? capacity * 2 : 64;
      QK_TRY(ctx, QK_alloc(ctx, capacity, sizeof(lookup_row), (void **)&pGrown));
      if (count) memcpy(pGrown, pRows, count * sizeof(lookup_row));
      QK_free(ctx, pRows);
      pRows = pGrown;
      pGrown = NULL;
    }
    QK_TRY(ctx, rid_text(ctx, pPkgQuery, 0, pRows[count].szRid, &pRows[count].bNullRid));
    pRows[count].seq = count;
    pRows[count].clientValue = sqlite3_column_int64(pPkgQuery, 1);
    count++;
  }
  if (rc != SQLITE_DONE) QK_THROW(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, rc));
  *ppRows = pRows;
  pRows = NULL;
  *pCount = count;
done:
  QK_free(ctx, pRows);
}

/* Runs the statement of rows first .. first+n-1 (bCreate: it makes the table; with the query
 * pQuery, *phStmt then holds the result). */
static void run_lookup_statement(QK_context *ctx, tav_db_handle *h, const char *pszRows, lookup_row *pRows,
                                 QK_uint32 first, QK_uint32 n, int bCreate, const QK_string *pQuery,
                                 SQLHSTMT *phStmt) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_TRY(ctx, QK_string__alloc(ctx, &pSql));
  if (bCreate) QK_TRY(ctx, QK_string__append__format(ctx, pSql, LOOKUP_ROWS_TABLE_SQL, pszRows));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, LOOKUP_ROWS_HEAD, pszRows));
  for (QK_uint32 i = 0; i < n; i++) QK_TRY(ctx, QK_string__append__sz(ctx, pSql, i ? ",(?,?,?)" : "(?,?,?)"));
  if (pQuery != NULL) QK_TRY(ctx, QK_string__append__sz(ctx, pSql, QK_string__sz(pQuery)));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  for (QK_uint32 i = 0; i < n; i++) {
    lookup_row *r = &pRows[first + i];
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, (QK_uint16)(3 * i + 1), &r->seq));
    QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, (QK_uint16)(3 * i + 2), r->bNullRid ? NULL : r->szRid,
                                          &r->ridInd));
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, (QK_uint16)(3 * i + 3), &r->clientValue));
  }
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  if (pQuery != NULL) {
    *phStmt = hStmt;
    hStmt = SQL_NULL_HSTMT;
  }
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__lookup_identity_pk(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_int64 fid,
                                      const char *pszTblId, sqlite3_stmt *pPkgQuery, sqlite3_stmt *pPkgInsert) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_string *pCol = NULL, *pQuery = NULL;
  lookup_row *pRows = NULL;
  const char *pszColId = NULL, *pszCol = NULL;
  char szRows[TAV_TEMP_NAME_SIZE];
  QK_int64 clientValue = 0, serverValue = 0;
  QK_uint32 count = 0;
  SQLLEN ind = 0;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pszTblId);
  QK_ARG_NOT_NULL(ctx, pPkgQuery);
  QK_ARG_NOT_NULL(ctx, pPkgInsert);
  if (fid != 0) QK_TRY(ctx, copy_identity_log(ctx, h, fid, pszTblId, pPkgInsert));
  QK_TRY(ctx, tav_defin__get_rowid_column(ctx, psk, pszTblId, &pszColId));
  if (pszColId == NULL) goto done;
  QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, pszTblId, pszColId, &pszCol));
  QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszCol, '"', &pCol));
  pszCol = QK_string__sz(pCol);
  QK_TRY(ctx, read_lookup_rows(ctx, pPkgQuery, &pRows, &count));
  if (count == 0) goto done;
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szRows, "ipk_rows", pszTblId));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pQuery, IDENTITY_LOOKUP_SQL, pszCol, h->name, pszTblId, h->name,
                                       pszTblId, pszCol, h->name, pszTblId, h->name, pszTblId, szRows));
  if (count > LOOKUP_ROWS_PER_STATEMENT)
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, LOOKUP_ROWS_TABLE_SQL, szRows));
  for (QK_uint32 first = 0; first < count; first += LOOKUP_ROWS_PER_STATEMENT) {
    QK_uint32 n = count - first < LOOKUP_ROWS_PER_STATEMENT ? count - first : LOOKUP_ROWS_PER_STATEMENT;
    QK_TRY(ctx, run_lookup_statement(ctx, h, szRows, pRows, first, n, count <= LOOKUP_ROWS_PER_STATEMENT,
                                     first + n == count ? pQuery : NULL, &hStmt));
  }
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  for (;;) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &clientValue, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &serverValue, &ind));
    if (ind != SQL_NULL_DATA)
      QK_TRY(ctx, insert_pair(ctx, pPkgInsert, clientValue, "S:", serverValue));
    else
      QK_TRY(ctx, insert_pair(ctx, pPkgInsert, clientValue, "C:", clientValue));
  }
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pRows);
  QK_RELEASE(ctx, QK_string__free(ctx, pQuery));
  QK_RELEASE(ctx, QK_string__free(ctx, pCol));
}

/* The front of the SQL Server store: connections, the dbfile registry and handles, the
 * request's transaction, the history bookkeeping of a dbfile (transactions, generations,
 * counters, properties) and the request log. */
#include "server/tav_db_mssql.h"

#include "server/tav_db_mssql_acl.h"
#include "server/tav_db_mssql_history.h"

#include <string.h>

#include "common/tav_sql_quote.h"
#include "common/tav_utils.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"

/* Used only when the caller passes no connection text: a trusted connection to the local server. */
static const char s_default_connection[] =
    "Driver={SQL Server Native Client 11.0};Server=(local);Trusted_Connection=yes;";

/* ---- Statement helpers ---- */

void tav_db_mssql__table_id_text(QK_context *ctx, const char *pszTblId, char *pszOut) {
  QK_int32 id = 0;
  QK_ARG_NOT_NULL(ctx, pszTblId);
  QK_TRY(ctx, QK_int32__parse(ctx, &id, pszTblId));
  QK_TRY(ctx, QK_sprintf_buf(ctx, pszOut, TAV_TABLE_ID_SZ_SIZE, "%d", id));
done:;
}

void tav_db_mssql__seek_first_result(QK_context *ctx, SQLHSTMT hStmt, int *pbHas) {
  QK_int16 cols = 0;
  SQLRETURN rc;
  *pbHas = 0;
  for (;;) {
    QK_TRY(ctx, QK_mssql__num_result_cols(ctx, hStmt, &cols));
    if (cols > 0) break;
    rc = QK_mssql__odbc()->MoreResults(hStmt);
    if (rc == SQL_NO_DATA) goto done;
    if (!SQL_SUCCEEDED(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  }
  *pbHas = 1;
done:;
}

void tav_db_mssql__next_result(QK_context *ctx, SQLHSTMT hStmt, int *pbHas) {
  SQLRETURN rc;
  *pbHas = 0;
  rc = QK_mssql__odbc()->MoreResults(hStmt);
  if (rc == SQL_NO_DATA) goto done;
  if (!SQL_SUCCEEDED(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, pbHas));
done:;
}

void tav_db_mssql__open_query(QK_context *ctx, QK_mssql_connection *conn, const char *pszSql, SQLHSTMT *phStmt,
                              int *pbHas) {
  QK_TRY(ctx, QK_mssql__prepare(ctx, conn, phStmt, pszSql));
  QK_TRY(ctx, QK_mssql__execute(ctx, *phStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, *phStmt, pbHas));
done:;
}

void tav_db_mssql__open_direct_query(QK_context *ctx, QK_mssql_connection *conn, const char *pszSql,
                                     SQLHSTMT *phStmt, int *pbHas) {
  SQLRETURN rc;
  QK_TRY(ctx, QK_mssql__exec_direct(ctx, conn, pszSql, phStmt, &rc));
  if (!SQL_SUCCEEDED(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, *phStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, *phStmt, pbHas));
done:;
}

void tav_db_mssql__drain_results(QK_context *ctx, SQLHSTMT hStmt) {
  SQLRETURN rc;
  for (;;) {
    rc = QK_mssql__odbc()->MoreResults(hStmt);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  }
done:;
}

/* Runs a prepared statement and fetches the first row of its first result set. */
void tav_db_mssql__execute_and_fetch(QK_context *ctx, SQLHSTMT hStmt, int *pbRow) {
  int bHas = 0;
  *pbRow = 0;
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  if (bHas) QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, pbRow));
done:;
}

/* Prepares and runs a statement without parameters and fetches its first row; the caller
 * reads the columns and frees *phStmt. */
static void select_first_row(QK_context *ctx, QK_mssql_connection *pConn, SQLHSTMT *phStmt, int *pbRow,
                             const char *pszSql) {
  QK_TRY(ctx, QK_mssql__prepare(ctx, pConn, phStmt, pszSql));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, *phStmt, pbRow));
done:;
}

/* Calls a procedure whose one parameter is a bigint output, draining its results before the
 * value is read. The value stays as the caller set it when the procedure gives none. */
static void exec_with_int64_output(QK_context *ctx, QK_mssql_connection *pConn, const char *pszSql,
                                   QK_int64 *pValue) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int64 value = *pValue;
  SQLLEN ind = 0;
  QK_TRY(ctx, QK_mssql__prepare(ctx, pConn, &hStmt, pszSql));
  QK_TRY(ctx, QK_mssql__bind_out__int64(ctx, hStmt, 1, &value, &ind));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hStmt));
  if (ind != SQL_NULL_DATA) *pValue = value;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* ---- Connections, registry, handles ---- */

void tav_db_mssql__open(QK_context *ctx, const char *pszConnection, const char *pszDatabase,
                        QK_mssql_connection **ppConn) {
  QK_vhash *pDoc = NULL;
  QK_string *pConnStr = NULL;
  QK_mssql_connection *pConn = NULL;
  const char *pszText = pszConnection != NULL ? pszConnection : s_default_connection;
  QK_ARG_NOT_NULL(ctx, ppConn);
  *ppConn = NULL;
  if (pszText[0] == '{') {
    QK_TRY(ctx, QK_vhash__alloc__from_json(ctx, &pDoc, pszText));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pDoc, "odbc_connection", &pszText));
  }
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pConnStr, pszText));
  if (pszDatabase != NULL) QK_TRY(ctx, QK_connstr__set_database(ctx, pszDatabase, pConnStr));
  QK_TRY(ctx, QK_mssql__connect(ctx, QK_string__sz(pConnStr), &pConn));
  /* Sent with the connection's first batch rather than alone. */
  QK_TRY(ctx, QK_mssql__defer_setting(ctx, pConn, "SET NOCOUNT ON;"));
  *ppConn = pConn;
  pConn = NULL;
done:
  QK_RELEASE(ctx, QK_mssql__disconnect(ctx, &pConn));
  QK_RELEASE(ctx, QK_string__free(ctx, pConnStr));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pDoc));
}

void tav_db_mssql__close(QK_context *ctx, QK_mssql_connection **ppConn) {
  if (ppConn == NULL || *ppConn == NULL) return;
  QK_TRY(ctx, QK_mssql__disconnect(ctx, ppConn));
done:;
}

void tav_db_mssql__table_exists(QK_context *ctx, QK_mssql_connection *pConn, const char *pszPrefix,
                                const char *pszInfix, const char *pszSuffix, int *pbExists) {
  QK_string *pName = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char16_t *pwszName = NULL;
  SQLLEN indName = 0, indId = 0;
  QK_int64 objectId = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, pbExists);
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pName, "tavrin.[%s%s%s]", pszPrefix ? pszPrefix : "",
                                       pszInfix ? pszInfix : "", pszSuffix ? pszSuffix : ""));
  QK_TRY(ctx, QK_mssql__prepare(ctx, pConn, &hStmt, "SELECT OBJECT_ID(?,'U')"));
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, 1, QK_string__sz(pName), SQL_WVARCHAR, &indName, &pwszName));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &objectId, &indId));
  *pbExists = indId != SQL_NULL_DATA;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pwszName);
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
}

/* A database without the registry table has no dbfiles: then the batch gives no result set.
 * The name goes into the text as a literal so that the batch is sent as it stands and carries
 * the session settings waiting for the connection's first batch. */
static const char s_lookup_dbfile_sql[] =
    "IF OBJECT_ID(N'tavrin.[dbfiles]','U') IS NOT NULL\n"
    "  SELECT version, odbc, scheme FROM tavrin.\"dbfiles\" WHERE name=N'";
static const char s_lookup_dbfile_sql_end[] = "' OPTION (OPTIMIZE FOR UNKNOWN);";

void tav_db_mssql__lookup_dbfile(QK_context *ctx, QK_mssql_connection *pConn, const char *pszName, int *pbFound,
                                 QK_int32 *pVersion, char **ppszOdbc, char **ppszScheme) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_string *pSql = NULL;
  char *pszOdbc = NULL, *pszScheme = NULL;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, pbFound);
  QK_ARG_NOT_NULL(ctx, pszName);
  *pbFound = 0;
  if (ppszOdbc) *ppszOdbc = NULL;
  if (ppszScheme) *ppszScheme = NULL;
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pSql, s_lookup_dbfile_sql));
  QK_TRY(ctx, tav_sql__append_literal_body(ctx, pSql, pszName));
  QK_TRY(ctx, QK_string__append__sz(ctx, pSql, s_lookup_dbfile_sql_end));
  QK_TRY(ctx, tav_db_mssql__open_direct_query(ctx, pConn, QK_string__sz(pSql), &hStmt, &bHas));
  if (bHas) QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  if (!bRow) goto done;
  /* Read without an indicator: a NULL version is the driver's error. */
  if (pVersion) QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, 1, pVersion, NULL));
  if (ppszOdbc) QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 2, &pszOdbc));
  if (ppszScheme) QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 3, &pszScheme));
  *pbFound = 1;
  if (ppszOdbc) *ppszOdbc = pszOdbc;
  if (ppszScheme) *ppszScheme = pszScheme;
  pszOdbc = pszScheme = NULL;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_free(ctx, pszOdbc);
  QK_free(ctx, pszScheme);
}

/* Forgets what was read inside the transaction: it holds only until the transaction ends. */
static void forget_transaction_reads(QK_context *ctx, tav_db_handle *h) {
  tav_db_mssql__history_forget(ctx, h);
  tav_db_mssql__table_facts_free(&h->pTableFacts);
  tav_db_mssql__rules_forget(ctx, h);
  QK_RELEASE(ctx, QK_varray__free(ctx, h->pUserFilters));
  h->pUserFilters = NULL;
}

void tav_db_mssql__handle_alloc(QK_context *ctx, QK_mssql_connection *pConn, const char *pszName,
                                tav_db_handle **ppHandle) {
  tav_db_handle *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppHandle);
  *ppHandle = NULL;
  QK_ARG_NOT_NULL(ctx, pszName);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_db_handle), &pNew));
  QK_TRY(ctx, QK_strcpy(ctx, pNew->name, sizeof pNew->name, pszName));
  /* The name is formatted into the text of nearly every statement of the store. */
  QK_TRY(ctx, tav_dbfile__validate_name(ctx, pNew->name));
  pNew->conn = pConn;
  *ppHandle = pNew;
  pNew = NULL;
done:
  QK_free(ctx, pNew);
}

void tav_db_mssql__handle_free(QK_context *ctx, tav_db_handle **ppHandle) {
  if (ppHandle == NULL || *ppHandle == NULL) return;
  forget_transaction_reads(ctx, *ppHandle);
  QK_RELEASE(ctx, tav_db_mssql__end_audit_tx(ctx, *ppHandle, 0));
  QK_free(ctx, *ppHandle);
  *ppHandle = NULL;
}

void tav_db_mssql__old_table_exists(QK_context *ctx, tav_db_handle *h, const char *pszTblId, int *pbExists) {
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  QK_ARG_NOT_NULL(ctx, h);
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, tav_db_mssql__table_exists(ctx, h->conn, h->name, "$z$old$", szTbl, pbExists));
done:;
}

/* ---- Transactions ---- */

static const char s_rollback_if_open_sql[] = "IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION";

void tav_db_mssql__begin_tx(QK_context *ctx, tav_db_handle *h, QK_int64 *pi_export_generation) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_string *pSql = NULL;
  SQLLEN ind = 0;
  int bBatch = 0, bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  forget_transaction_reads(ctx, h);
  /* Audit rows of an attempt SQL Server gave up as deadlock victim go with it. */
  QK_TRY(ctx, tav_db_mssql__end_audit_tx(ctx, h, 0));
  if (pi_export_generation == NULL) {
    QK_TRY(ctx, QK_mssql__exec(ctx, h->conn, "BEGIN TRANSACTION"));
    QK_TRY(ctx, QK_vhash__alloc(ctx, &h->pRules));
    goto done;
  }
  *pi_export_generation = 0;
  /* The generation is fixed before the transaction starts, outside it, in the same batch. The
   * batch is sent as it stands, without parameters: a procedure call (as drivers send a
   * parameterised or prepared batch) may not leave a transaction open. Inside the transaction
   * it also reads what the export's filter lookup asks for first; every result set is read, so
   * every statement has run. */
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql,
                                       "DECLARE @generation bigint; EXEC tavrin.\"%s$z$GetGen\" @generation = "
                                       "@generation OUTPUT;\nBEGIN TRANSACTION;\nSELECT @generation;\n",
                                       h->name));
  QK_TRY(ctx, tav_db_mssql__append_newest_txid_and_user_filters_sql(ctx, h, pSql));
  bBatch = 1;
  QK_TRY(ctx, tav_db_mssql__open_direct_query(ctx, h->conn, QK_string__sz(pSql), &hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, pi_export_generation, &ind));
  QK_VERIFY(ctx, ind != SQL_NULL_DATA && *pi_export_generation > 0);
  QK_TRY(ctx, tav_db_mssql__next_result(ctx, hStmt, &bHas));
  QK_TRY(ctx, tav_db_mssql__read_newest_txid_and_user_filters(ctx, hStmt, bHas, &h->user_filters_txid,
                                                              &h->pUserFilters));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &h->pRules));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  /* A failed begin leaves no transaction behind, whichever part of the batch failed. */
  if (QK_context__has_error(ctx) && bBatch) {
    QK_RELEASE(ctx, QK_mssql__exec(ctx, h->conn, s_rollback_if_open_sql));
    QK_RELEASE(ctx, QK_varray__free(ctx, h->pUserFilters));
    h->pUserFilters = NULL;
  }
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__set_low_deadlock_priority(QK_context *ctx, tav_db_handle *h) {
  QK_ARG_NOT_NULL(ctx, h);
  /* The access list read that follows carries it. */
  QK_TRY(ctx, QK_mssql__defer_setting(ctx, h->conn, "SET DEADLOCK_PRIORITY LOW;"));
done:;
}

void tav_db_mssql__deadlock_as_busy(QK_context *ctx) {
  if (QK_context__error_equals(ctx, QK_ERR_DEADLOCK_VICTIM))
    QK_context__replace_error(ctx, QK_ERR_BUSY_RETRY, __FILE__, __LINE__);
}

void tav_db_mssql__begin_audit_tx(QK_context *ctx, tav_db_handle *h, QK_mssql_connection **ppConn) {
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, ppConn);
  *ppConn = h->config_conn != NULL ? h->config_conn : h->conn;
  if (*ppConn == h->conn || h->audit_tx_open) goto done;
  QK_TRY(ctx, QK_mssql__exec(ctx, *ppConn, "BEGIN TRANSACTION"));
  h->audit_tx_open = 1;
done:
  tav_db_mssql__deadlock_as_busy(ctx);
}

void tav_db_mssql__end_audit_tx(QK_context *ctx, tav_db_handle *h, int commit) {
  QK_ARG_NOT_NULL(ctx, h);
  if (!h->audit_tx_open) goto done;
  h->audit_tx_open = 0;
  if (!commit) {
    QK_TRY(ctx, QK_mssql__exec(ctx, h->config_conn, s_rollback_if_open_sql));
    goto done;
  }
  QK_mssql__exec(ctx, h->config_conn, "COMMIT TRANSACTION");
  if (QK_context__has_error(ctx)) {
    tav_db_mssql__deadlock_as_busy(ctx);
    QK_context__add_frame(ctx, __FILE__, __LINE__);
    /* A failed commit may leave the transaction open. */
    QK_RELEASE(ctx, QK_mssql__exec(ctx, h->config_conn, s_rollback_if_open_sql));
  }
done:;
}

/* The push commits first, its audit rows (waiting in the configuration database) after it: a
 * push whose commit fails records no conflict, and the attempt that repeats it records each
 * once (the next begin rolls back the rows still waiting). When the audit rows cannot commit
 * after the push did, the push stands and the error says so; a repeated attempt finds the
 * push applied. */
void tav_db_mssql__commit_tx(QK_context *ctx, tav_db_handle *h) {
  QK_ARG_NOT_NULL(ctx, h);
  forget_transaction_reads(ctx, h);
  QK_TRY(ctx, QK_mssql__exec(ctx, h->conn, "COMMIT TRANSACTION"));
  QK_TRY(ctx, tav_db_mssql__end_audit_tx(ctx, h, 1));
done:;
}

void tav_db_mssql__rollback_tx(QK_context *ctx, tav_db_handle *h) {
  QK_ARG_NOT_NULL(ctx, h);
  forget_transaction_reads(ctx, h);
  QK_mssql__exec(ctx, h->conn, "ROLLBACK TRANSACTION");
  QK_RELEASE(ctx, tav_db_mssql__end_audit_tx(ctx, h, 0));
  if (QK_context__has_error(ctx)) QK_context__add_frame(ctx, __FILE__, __LINE__);
done:;
}

void tav_db_mssql__purge_ipklog(QK_context *ctx, tav_db_handle *h, QK_int64 importTxid, QK_int64 clientId) {
  char szClient[QK_INT64_SZ_SIZE], szImport[QK_INT64_SZ_SIZE];
  QK_ARG_NOT_NULL(ctx, h);
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn,
                                     "IF OBJECT_ID('[tavrin].[%s$t$ipklog]') IS NOT NULL\n"
                                     "  DELETE FROM [tavrin].[%s$t$ipklog] WHERE fid = %s AND import_txid <= %s;\n",
                                     h->name, h->name, QK_int64__to_sz(clientId, szClient),
                                     QK_int64__to_sz(importTxid, szImport)));
done:;
}

/* ---- History bookkeeping ---- */

static const char s_purge_property_key[] = "purge_generation_at_history_purge";

static const char s_history_purge_sql[] =
    "DECLARE @v [nvarchar](32); EXEC[tavrin].[%s$z$GetProperty] @key = '%s', @val = @v OUTPUT, @default_val = '-1'; "
    "SELECT @v, COALESCE(MAX(generation), CAST(-1 AS bigint)) FROM [tavrin].[%s$t$gen] WITH (NOLOCK);";
static const char s_generation_exists_sql[] =
    "SELECT CASE WHEN EXISTS (SELECT 1 FROM tavrin.\"%s$t$gen\" WHERE generation=? AND id=?) THEN 1 ELSE 0 END;";

/* Reads the row of s_history_purge_sql where the cursor stands. */
static void read_history_purge_row(QK_context *ctx, SQLHSTMT hStmt, QK_int64 *pGeneration) {
  char *pszValue = NULL;
  QK_int64 value = -1, maxGeneration = -1;
  SQLLEN ind = 0;
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &pszValue));
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &maxGeneration, &ind));
  if (pszValue != NULL) QK_TRY(ctx, QK_int64__parse(ctx, &value, pszValue));
  /* A purge at the newest generation leaves that generation itself complete. */
  if (value > 0 && ind != SQL_NULL_DATA && value == maxGeneration) value -= 1;
  *pGeneration = value;
done:
  QK_free(ctx, pszValue);
}

static const char s_tx_by_rstamp_sql[] = "SELECT rebaseid, txid, generation FROM tavrin.%s$t$tx WHERE rstamp='%s';\n";

/* The row of s_tx_by_rstamp_sql where the cursor stands. *pbComplete 0 when a value is NULL: a
 * transaction without generation is not exported yet, and no client can hold it. */
static void read_tx_by_rstamp_row(QK_context *ctx, SQLHSTMT hStmt, int *pbComplete, QK_int64 *pRebaseid,
                                  QK_int64 *pTxid, QK_int64 *pGeneration) {
  SQLLEN indRebase = 0, indTxid = 0, indGen = 0;
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, pRebaseid, &indRebase));
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, pTxid, &indTxid));
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 3, pGeneration, &indGen));
  *pbComplete = indRebase != SQL_NULL_DATA && indTxid != SQL_NULL_DATA && indGen != SQL_NULL_DATA;
done:;
}

/* The history purge generation, with pbExists whether the generation with that id exists and
 * with pRstamp16 whether the rstamp's transaction is complete: one batch of up to three result
 * sets, read in order. */
static void read_history_purge(QK_context *ctx, tav_db_handle *h, QK_int64 generation, QK_int64 generationId,
                               int *pbExists, QK_int64 *pGeneration, const QK_uint8 *pRstamp16, int *pbApplied) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szGuid[QK_GUID_SZ_SIZE];
  QK_int64 exists = 0, rebaseid = 0, txid = 0, generationOfTx = 0;
  SQLLEN indExists = 0;
  int bRow = 0, bHas = 0;
  *pGeneration = -1;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_history_purge_sql, h->name, s_purge_property_key, h->name));
  if (pbExists != NULL) QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_generation_exists_sql, h->name));
  if (pRstamp16 != NULL)
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_tx_by_rstamp_sql, h->name, QK_guid__to_sz(pRstamp16, szGuid)));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  if (pbExists != NULL) {
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &generation));
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &generationId));
  }
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, read_history_purge_row(ctx, hStmt, pGeneration));
  if (pbExists != NULL) {
    QK_TRY(ctx, tav_db_mssql__next_result(ctx, hStmt, &bHas));
    QK_VERIFY(ctx, bHas);
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    QK_VERIFY(ctx, bRow);
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &exists, &indExists));
    *pbExists = exists == 1;
  }
  if (pRstamp16 != NULL) {
    *pbApplied = 0;
    QK_TRY(ctx, tav_db_mssql__next_result(ctx, hStmt, &bHas));
    QK_VERIFY(ctx, bHas);
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (bRow) QK_TRY(ctx, read_tx_by_rstamp_row(ctx, hStmt, pbApplied, &rebaseid, &txid, &generationOfTx));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__get_history_purge_generation(QK_context *ctx, tav_db_handle *h, QK_int64 *pGeneration) {
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pGeneration);
  QK_TRY(ctx, read_history_purge(ctx, h, 0, 0, NULL, pGeneration, NULL, NULL));
done:;
}

void tav_db_mssql__get_table_purged(QK_context *ctx, tav_db_handle *h, const char *pszTblId, QK_int64 *pPurged) {
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  int bKnown = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPurged);
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, tav_db_mssql__table_purge_mark(ctx, h, szTbl, &bKnown, pPurged));
  if (bKnown) goto done;
  QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, pPurged,
                                            "SELECT COALESCE(purged, -1) FROM tavrin.%s$t$t WHERE [object_id] = %s",
                                            h->name, szTbl));
done:;
}

void tav_db_mssql__generation_exists(QK_context *ctx, tav_db_handle *h, QK_int64 generation, QK_int64 generationId,
                                     int *pbExists, QK_int64 *pHistoryPurgeGeneration, const QK_uint8 *pRstamp16,
                                     int *pbRstampApplied) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int64 purge = -1, exists = 0;
  SQLLEN ind = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pbExists);
  if (pRstamp16 != NULL) QK_ARG_NOT_NULL(ctx, pbRstampApplied);
  if (pHistoryPurgeGeneration != NULL || pRstamp16 != NULL) {
    QK_TRY(ctx, read_history_purge(ctx, h, generation, generationId, pbExists,
                                   pHistoryPurgeGeneration != NULL ? pHistoryPurgeGeneration : &purge, pRstamp16,
                                   pbRstampApplied));
    goto done;
  }
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_generation_exists_sql, h->name));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &generation));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &generationId));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &exists, &ind));
  *pbExists = exists == 1;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__find_tx_by_rstamp(QK_context *ctx, tav_db_handle *h, const QK_uint8 *pRstamp16,
                                     QK_int64 rebaseid, QK_int64 txid, int *pbMatch, QK_int64 *pGeneration,
                                     QK_int64 *pCount, QK_int64 *pHistoryPurgeGeneration) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szGuid[QK_GUID_SZ_SIZE];
  QK_int64 rowRebaseid = 0, rowTxid = 0, rowGeneration = 0;
  int bRow = 0, bHas = 0, bComplete = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pRstamp16);
  QK_ARG_NOT_NULL(ctx, pbMatch);
  *pbMatch = 0;
  QK_TRY(ctx, QK_string__alloc(ctx, &pSql));
  /* Asked for, the history purge generation comes first in the same batch. */
  if (pHistoryPurgeGeneration != NULL) {
    *pHistoryPurgeGeneration = -1;
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_history_purge_sql, h->name, s_purge_property_key, h->name));
  }
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_tx_by_rstamp_sql, h->name, QK_guid__to_sz(pRstamp16, szGuid)));
  QK_TRY(ctx, select_first_row(ctx, h->conn, &hStmt, &bRow, QK_string__sz(pSql)));
  if (pHistoryPurgeGeneration != NULL) {
    QK_VERIFY(ctx, bRow);
    QK_TRY(ctx, read_history_purge_row(ctx, hStmt, pHistoryPurgeGeneration));
    QK_TRY(ctx, tav_db_mssql__next_result(ctx, hStmt, &bHas));
    QK_VERIFY(ctx, bHas);
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  }
  if (!bRow) goto done;
  QK_TRY(ctx, read_tx_by_rstamp_row(ctx, hStmt, &bComplete, &rowRebaseid, &rowTxid, &rowGeneration));
  /* The connection runs no other statement while this one's results are open. */
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, hStmt));
  if (!bComplete) goto done;
  if (pGeneration != NULL) *pGeneration = rowGeneration;
  *pbMatch = txid == 0 || (rowRebaseid == rebaseid && rowTxid == txid);
  if (*pbMatch && pCount != NULL) QK_TRY(ctx, tav_db_mssql__count_txids(ctx, h, txid, pCount));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__get_tx_info(QK_context *ctx, tav_db_handle *h, QK_int64 txid, QK_vhash *pStatus,
                               QK_int64 *pTxid, QK_uint8 *pRstamp16, QK_int64 *pRebaseid) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_uint8 rstamp[16];
  char szHex[33];
  QK_int64 rowTxid = 0, rowRebaseid = 0;
  SQLLEN indTxid = 0, indRstamp = 0, indRebase = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  memset(rstamp, 0, sizeof rstamp);
  if (txid == 1 && (pTxid != NULL || pStatus != NULL)) {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, "SELECT TOP 1 txid, rstamp, rebaseid FROM tavrin.%s$t$tx ORDER BY txid ASC",
                                         h->name));
    QK_TRY(ctx, select_first_row(ctx, h->conn, &hStmt, &bRow, QK_string__sz(pSql)));
  } else {
    QK_TRY(ctx, QK_string__alloc__format(
                    ctx, &pSql,
                    "SELECT TOP 1 txid, rstamp, rebaseid FROM tavrin.%s$t$tx WHERE txid=? OPTION (OPTIMIZE FOR UNKNOWN)",
                    h->name));
    QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &txid));
    QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  }
  if (bRow) {
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &rowTxid, &indTxid));
    QK_TRY(ctx, QK_mssql__get__guid(ctx, hStmt, 2, rstamp, &indRstamp));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 3, &rowRebaseid, &indRebase));
    if (indTxid == SQL_NULL_DATA) rowTxid = 0;
    if (indRstamp == SQL_NULL_DATA) memset(rstamp, 0, sizeof rstamp);
    if (indRebase == SQL_NULL_DATA) rowRebaseid = 0;
    if (pTxid != NULL) *pTxid = rowTxid;
  }
  if (pStatus != NULL)
    QK_TRY(ctx, QK_vhash__update__string(ctx, pStatus, "first-rstamp", QK_hex__encode_16(rstamp, szHex)));
  if (pRstamp16 != NULL) memcpy(pRstamp16, rstamp, sizeof rstamp);
  if (pRebaseid != NULL) *pRebaseid = rowRebaseid;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* Clients of package versions 2 to 5 name their baseline by the rstamp and rebaseid of the
 * newest transaction they received, and GetTxId stores neither: a transaction no push stamped
 * (a change made on the server) is stamped when an export hands it out as its newest, inside
 * the caller's transaction, so that the stamp reaches the client only if it commits. */
static const char s_unstamped_sql[] = "SELECT COUNT(*) FROM tavrin.\"%s$t$tx\" WHERE txid = %s AND rstamp IS NULL";
static const char s_stamp_sql[] =
    "UPDATE tavrin.\"%s$t$tx\" SET rstamp=NEWID(), rebaseid=cast(crypt_gen_random(8) as bigint) WHERE txid = %s AND "
    "rstamp IS NULL";

static void stamp_unstamped_tx(QK_context *ctx, tav_db_handle *h, QK_int64 txid) {
  char szTxid[QK_INT64_SZ_SIZE];
  QK_int64 unstamped = 0;
  QK_int64__to_sz(txid, szTxid);
  /* Read first: most transactions carry a stamp, and a pull that writes nothing holds no write
   * lock. */
  QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &unstamped, s_unstamped_sql, h->name, szTxid));
  if (unstamped > 0) QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_stamp_sql, h->name, szTxid));
done:;
}

void tav_db_mssql__get_max_txid(QK_context *ctx, tav_db_handle *h, QK_int64 exportGeneration, QK_int64 *pTxid,
                                QK_int64 *pCount) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szTxid[QK_INT64_SZ_SIZE];
  QK_int64 generation = 0;
  SQLLEN ind = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pTxid);
  *pTxid = 0;
  if (pCount == NULL)
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, "SELECT MAX(txid) FROM tavrin.%s$t$tx;", h->name));
  else
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql,
                                         "DECLARE @max bigint, @count bigint;\n"
                                         "SELECT @max = txid, @count = i FROM tavrin.[%s$t$rules] WHERE sit = %d;\n"
                                         "IF @max IS NULL OR @count IS NULL\n"
                                         "  SELECT @max = MAX(txid), @count = COUNT(*) FROM tavrin.%s$t$tx;\n"
                                         "SELECT @max, @count;",
                                         h->name, TAV_DB_SITUATION_TX_COUNTER, h->name));
  QK_TRY(ctx, select_first_row(ctx, h->conn, &hStmt, &bRow, QK_string__sz(pSql)));
  if (!bRow) {
    if (pCount != NULL) *pCount = 0;
  } else {
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, pTxid, &ind));
    if (ind == SQL_NULL_DATA) *pTxid = 0;
    if (*pTxid > 0 && pCount != NULL) {
      QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, pCount, &ind));
      if (ind == SQL_NULL_DATA) *pCount = 0;
    }
  }
  QK_TRY(ctx, QK_mssql__close_cursor(ctx, hStmt));
  if (exportGeneration != 0) {
    QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &generation,
                                              "SELECT COALESCE(generation, -1) FROM tavrin.\"%s$t$tx\" WHERE txid = %s",
                                              h->name, QK_int64__to_sz(*pTxid, szTxid)));
    if (generation != exportGeneration)
      QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY,
                   "A late transaction has been committed after GetGen was called, but before get_max_txid. Retry "
                   "the sync.");
  }
  if (*pTxid > 0) QK_TRY(ctx, stamp_unstamped_tx(ctx, h, *pTxid));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* The counter row spares counting the whole history: the few transactions after the txid are
 * subtracted from the total, again until the total read before and after agrees. */
static const char s_count_txids_sql[] =
    "DECLARE  @count bigint, @full_count bigint, @full_count_verified bigint = 0;\n"
    "SELECT @full_count = i FROM tavrin.[%s$t$rules] WHERE sit = %d;\n"
    "WHILE @full_count IS NOT NULL BEGIN\n"
    "  SELECT @count = @full_count - (SELECT COUNT(*) FROM tavrin.%s$t$tx WHERE txid > ?);\n"
    "  SELECT @full_count_verified = i FROM tavrin.[%s$t$rules] WHERE sit = %d;\n"
    "  IF @full_count_verified IS NULL\n"
    "    SELECT @count = NULL, @full_count = NULL;\n"
    "  ELSE\n"
    "    SELECT @full_count = CASE\n"
    "      WHEN @full_count_verified = @full_count THEN NULL\n"
    "      ELSE @full_count_verified\n"
    "    END;\n"
    "END;\n"
    "IF @count IS NULL\n"
    "  SELECT @count = COUNT(*) FROM tavrin.%s$t$tx WHERE txid <= ?;\n"
    "SELECT @count;";

void tav_db_mssql__count_txids(QK_context *ctx, tav_db_handle *h, QK_int64 txid, QK_int64 *pCount) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int64 count = 0;
  SQLLEN ind = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pCount);
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_count_txids_sql, h->name,
                                        TAV_DB_SITUATION_TX_COUNTER, h->name, h->name, TAV_DB_SITUATION_TX_COUNTER,
                                        h->name));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &txid));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &txid));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  if (bRow) {
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &count, &ind));
    if (ind == SQL_NULL_DATA) count = 0;
  }
  *pCount = count;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__get_utc_date(QK_context *ctx, tav_db_handle *h, char **ppszDate) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, ppszDate);
  *ppszDate = NULL;
  QK_TRY(ctx, select_first_row(ctx, h->conn, &hStmt, &bRow, "SELECT GETUTCDATE()"));
  if (!bRow) QK_THROW_MSG(ctx, QK_ERR_ASSERT, "Failed to fetch row from SELECT GETUTCDATE()");
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, ppszDate));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__get_fk_constraint_list_txid(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                               QK_int64 *pTxid, QK_int64 *pGeneration) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int64 txid = 0, generation = 0;
  SQLLEN ind = 0;
  int fetchedRow = 0;
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  QK_ARG_NOT_NULL(ctx, h);
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql,
                                       "SELECT t.fk_constraint_list_txid, COALESCE(tx.generation, 0)\n"
                                       "  FROM tavrin.%s$t$t AS t\n"
                                       "  INNER JOIN tavrin.%s$t$tx AS tx ON (tx.txid = t.fk_constraint_list_txid)\n"
                                       "  WHERE [object_id]=%s",
                                       h->name, h->name, szTbl));
  QK_TRY(ctx, select_first_row(ctx, h->conn, &hStmt, &fetchedRow, QK_string__sz(pSql)));
  QK_VERIFY(ctx, fetchedRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &txid, &ind));
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &generation, &ind));
  if (pTxid != NULL) *pTxid = txid;
  if (pGeneration != NULL) *pGeneration = generation;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* The rstamp is looked up under locks that keep the answer true until the request's
 * transaction ends (a second copy of the push waits here for the first); only when no
 * transaction holds it does the push get its transaction, which records it. One batch. */
static const char s_stamped_tx_sql[] =
    "DECLARE @applied bigint, @txid bigint;\n"
    "SELECT @applied = COUNT(*) FROM tavrin.\"%s$t$tx\" WITH (UPDLOCK, HOLDLOCK) WHERE rstamp=?;\n"
    "IF @applied = 0\n"
    "BEGIN\n"
    "  EXEC tavrin.\"%s$z$GetTxId\" @txid = @txid OUTPUT;\n"
    "  UPDATE tavrin.\"%s$t$tx\" SET rstamp=?, rebaseid=cast(crypt_gen_random(8) as bigint) WHERE txid=@txid;\n"
    "END;\n"
    "SELECT @applied, @txid;";

static void stamped_tx_id(QK_context *ctx, tav_db_handle *h, const QK_uint8 *pRstamp16, QK_int64 *pi) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szGuid[QK_GUID_SZ_SIZE];
  SQLLEN indLookup = 0, indStamp = 0, ind = 0;
  QK_int64 applied = 0, txid = 0;
  int bRow = 0;
  QK_guid__to_sz(pRstamp16, szGuid);
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_stamped_tx_sql, h->name, h->name, h->name));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, 1, szGuid, &indLookup));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, 2, szGuid, &indStamp));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &applied, &ind));
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &txid, &ind));
  if (ind == SQL_NULL_DATA) txid = 0;
  QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hStmt));
  if (applied > 0)
    QK_THROW_FMT(ctx, TAV_ERR_PUSH_ALREADY_APPLIED, "a transaction holds the rstamp %s already", szGuid);
  QK_VERIFY(ctx, txid > 0);
  *pi = txid;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__get_tx_id(QK_context *ctx, tav_db_handle *h, const QK_uint8 *pRstamp16, QK_int64 *pi) {
  QK_string *pSql = NULL;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pi);
  *pi = 0;
  if (pRstamp16 != NULL) {
    QK_TRY(ctx, stamped_tx_id(ctx, h, pRstamp16, pi));
    goto done;
  }
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, "EXEC tavrin.\"%s$z$GetTxId\" @txid = ? OUTPUT;\n", h->name));
  QK_TRY(ctx, exec_with_int64_output(ctx, h->conn, QK_string__sz(pSql), pi));
  QK_VERIFY(ctx, *pi > 0);
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__new_txid(QK_context *ctx, tav_db_handle *h, QK_int64 *pTxid) {
  QK_TRY(ctx, tav_db_mssql__get_tx_id(ctx, h, NULL, pTxid));
done:;
}

/* ---- Request log ---- */

/* The columns both forms of the row share, bound from marker first on; each form binds texts
 * of its own. */
typedef struct log_row_texts {
  char16_t *pwszUrl, *pwszAddress;
  SQLLEN indUrl, indAddress;
} log_row_texts;

static void bind_log_row(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 first, const char *pszUrl, QK_int64 *pUnixTime,
                         const char *pszClientAddress, QK_int64 *pRequestSize, QK_int64 *pResponseSize,
                         QK_int64 *pStatus, QK_int64 *pElapsedMs, log_row_texts *pTexts) {
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, first, pszUrl, SQL_WLONGVARCHAR, &pTexts->indUrl,
                                      &pTexts->pwszUrl));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, first + 1, pUnixTime));
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, first + 2, pszClientAddress, SQL_VARCHAR, &pTexts->indAddress,
                                      &pTexts->pwszAddress));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, first + 3, pRequestSize));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, first + 4, pResponseSize));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, first + 5, pStatus));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, first + 6, pElapsedMs));
done:;
}

/* One round trip: the batch itself tests that the log table exists and picks the row's form by
 * the configuration database's version (a registry without rows counts as an old one). */
static const char s_log_request_sql[] =
    "IF OBJECT_ID(N'tavrin.[log]','U') IS NOT NULL\n"
    "  IF (SELECT MAX(version) FROM tavrin.dbfiles) >= %d\n"
    "    INSERT INTO tavrin.log (url,unix_time,ip_address,request_size,response_size,status,elapsed,txid,txid_r)"
    " VALUES (?,?,?,?,?,?,?,?,?)\n"
    "  ELSE\n"
    "    INSERT INTO tavrin.log (url,unix_time,ip_address,request_size,response_size,status,elapsed)"
    " VALUES (?,?,?,?,?,?,?)";

void tav_db_mssql__log_request(QK_context *ctx, QK_mssql_connection *pConn, const char *pszUrl, QK_int64 unixTime,
                               const char *pszClientAddress, QK_int64 requestSize, QK_int64 responseSize,
                               QK_int64 status, QK_int64 elapsedMs, QK_int64 txid, QK_int64 txidR) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  log_row_texts withTxid = {}, withoutTxid = {};
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, pConn, &hStmt, s_log_request_sql, TAV_DB_LOG_TXID_VERSION));
  QK_TRY(ctx, bind_log_row(ctx, hStmt, 1, pszUrl, &unixTime, pszClientAddress, &requestSize, &responseSize, &status,
                           &elapsedMs, &withTxid));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 8, &txid));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 9, &txidR));
  QK_TRY(ctx, bind_log_row(ctx, hStmt, 10, pszUrl, &unixTime, pszClientAddress, &requestSize, &responseSize,
                           &status, &elapsedMs, &withoutTxid));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, withTxid.pwszUrl);
  QK_free(ctx, withTxid.pwszAddress);
  QK_free(ctx, withoutTxid.pwszUrl);
  QK_free(ctx, withoutTxid.pwszAddress);
}

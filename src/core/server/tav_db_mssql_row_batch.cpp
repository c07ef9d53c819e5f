/* Multi-row INSERT statements for the store's staging of rows. */
#include "server/tav_db_mssql_row_batch.h"

#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_utf8.h"

/* Within SQL Server's limits for one INSERT ... VALUES statement (1000 rows, 2100 parameters,
 * some of which a driver's procedure call may take for itself). */
#define ROW_BATCH_MAX_ROWS 1000
#define ROW_BATCH_MAX_PARAMETERS 2000

struct tav_row_batch {
  QK_mssql_connection *conn;
  QK_string *pHead;
  int width;
  int capacity;         /* rows of a full statement */
  int pending;          /* rows bound since the last execution */
  int bNeedsData;       /* one of them sends a value at execution */
  int bPreparedFull;    /* the statement holds the full-size text */
  QK_string *pCreate;   /* the statement that makes the table, until it ran alone */
  SQLHSTMT hStmt;
  SQLHSTMT hTail;                /* a tail that ran without rows */
  tav_col_collection *pBindings; /* capacity x width */
};

/* Prepares the statement for rows rows (the statement that makes the table when it is still
 * to run, the head, VALUES and the rows' markers, then the tail when not NULL). A handle
 * already in use is prepared again in place, which keeps its bound parameters. */
static void prepare_rows(QK_context *ctx, tav_row_batch *pBatch, int rows, const char *pszTail) {
  QK_string *pSql = NULL;
  char16_t *wszSql = NULL;
  SQLRETURN rc;
  QK_TRY(ctx, QK_string__alloc(ctx, &pSql));
  if (pszTail != NULL && pBatch->pCreate != NULL)
    QK_TRY(ctx, QK_string__sprintf(ctx, pSql, "%s;\n", QK_string__sz(pBatch->pCreate)));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, "%s VALUES ", QK_string__sz(pBatch->pHead)));
  for (int r = 0; r < rows; r++) {
    QK_TRY(ctx, QK_string__append__sz(ctx, pSql, r ? ",(" : "("));
    for (int c = 0; c < pBatch->width; c++) QK_TRY(ctx, QK_string__append__sz(ctx, pSql, c ? ",?" : "?"));
    QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ")"));
  }
  if (pszTail != NULL) QK_TRY(ctx, QK_string__append__format(ctx, pSql, ";\n%s", pszTail));
  if (pBatch->hStmt == SQL_NULL_HSTMT) {
    QK_TRY(ctx, QK_mssql__prepare(ctx, pBatch->conn, &pBatch->hStmt, QK_string__sz(pSql)));
  } else {
    QK_TRY(ctx, QK_utf8__to_wide(ctx, QK_string__sz(pSql), &wszSql, NULL));
    rc = QK_mssql__odbc()->PrepareW(pBatch->hStmt, (SQLWCHAR *)wszSql, SQL_NTS);
    if (!SQL_SUCCEEDED(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, pBatch->hStmt));
  }
  pBatch->bPreparedFull = rows == pBatch->capacity && pszTail == NULL;
done:
  QK_free(ctx, wszSql);
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__row_batch_open(QK_context *ctx, QK_mssql_connection *conn, const char *pszHead,
                                  const tav_col_collection *pTypes, tav_row_batch **ppNew) {
  tav_row_batch *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, conn);
  QK_ARG_NOT_NULL(ctx, pszHead);
  QK_ARG_NOT_NULL(ctx, pTypes);
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_ARG_VALID(ctx, pTypes, pTypes->countCols > 0 && pTypes->countCols <= ROW_BATCH_MAX_PARAMETERS);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_row_batch), &pNew));
  pNew->conn = conn;
  pNew->hStmt = SQL_NULL_HSTMT;
  pNew->hTail = SQL_NULL_HSTMT;
  pNew->width = pTypes->countCols;
  pNew->capacity = ROW_BATCH_MAX_PARAMETERS / pNew->width;
  if (pNew->capacity > ROW_BATCH_MAX_ROWS) pNew->capacity = ROW_BATCH_MAX_ROWS;
  QK_TRY(ctx, QK_string__alloc(ctx, &pNew->pHead));
  QK_TRY(ctx, QK_string__append__sz(ctx, pNew->pHead, pszHead));
  QK_TRY(ctx, tav_db_mssql__alloc_column_array(ctx, (QK_uint16)(pNew->capacity * pNew->width), &pNew->pBindings));
  for (int r = 0; r < pNew->capacity; r++)
    for (int c = 0; c < pNew->width; c++) {
      tav_col_binding *b = &pNew->pBindings->pBindings[r * pNew->width + c];
      b->sqlType = pTypes->pBindings[c].sqlType;
      b->columnSize = pTypes->pBindings[c].columnSize;
      b->decimalDigits = pTypes->pBindings[c].decimalDigits;
    }
  *ppNew = pNew;
  pNew = NULL;
done:
  tav_db_mssql__row_batch_free(ctx, &pNew);
}

void tav_db_mssql__row_batch_open_typed(QK_context *ctx, QK_mssql_connection *conn, const char *pszHead, int count,
                                        const QK_int16 *pSqlTypes, tav_row_batch **ppNew) {
  tav_col_collection *pTypes = NULL;
  QK_ARG_NOT_NULL(ctx, pSqlTypes);
  QK_ARG_VALID(ctx, count, count > 0 && count <= ROW_BATCH_MAX_PARAMETERS);
  QK_TRY(ctx, tav_db_mssql__alloc_column_array(ctx, (QK_uint16)count, &pTypes));
  for (int i = 0; i < count; i++) pTypes->pBindings[i].sqlType = pSqlTypes[i];
  QK_TRY(ctx, tav_db_mssql__row_batch_open(ctx, conn, pszHead, pTypes, ppNew));
done:
  QK_RELEASE(ctx, tav_db_mssql__free_column_array(ctx, &pTypes));
}

void tav_db_mssql__row_batch_bind_guid(QK_context *ctx, SQLHSTMT hStmt, int ipar, tav_col_binding *b,
                                       const char *pszGuid) {
  if (pszGuid != NULL) QK_TRY(ctx, QK_strcpy(ctx, b->szGuid, sizeof b->szGuid, pszGuid));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, (QK_uint16)ipar, pszGuid != NULL ? b->szGuid : NULL,
                                        &b->indicator));
done:;
}

void tav_db_mssql__row_batch_bind_text(QK_context *ctx, SQLHSTMT hStmt, int ipar, tav_col_binding *b,
                                       const char *pszText, int bMax) {
  /* The slot's text of an earlier statement goes; the new one stays until the slot is reused. */
  QK_free(ctx, b->pwszText);
  b->pwszText = NULL;
  if (bMax)
    QK_TRY(ctx, QK_mssql__bind__nstring_max(ctx, hStmt, (QK_uint16)ipar, pszText, &b->indicator, &b->pwszText));
  else
    QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, (QK_uint16)ipar, pszText, SQL_WVARCHAR, &b->indicator,
                                        &b->pwszText));
done:;
}

void tav_db_mssql__row_batch_bind_int64(QK_context *ctx, SQLHSTMT hStmt, int ipar, tav_col_binding *b, int bNull,
                                        QK_int64 value) {
  if (bNull) {
    QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, (QK_uint16)ipar, SQL_C_SBIGINT, SQL_BIGINT, &b->indicator));
  } else {
    b->value.i64 = value;
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, (QK_uint16)ipar, &b->value.i64));
  }
done:;
}

void tav_db_mssql__row_batch_next(QK_context *ctx, tav_row_batch *pBatch, SQLHSTMT *phStmt,
                                  tav_col_collection **ppBindings, int *pFirstBinding) {
  QK_ARG_NOT_NULL(ctx, pBatch);
  QK_ARG_NOT_NULL(ctx, phStmt);
  QK_ARG_NOT_NULL(ctx, ppBindings);
  QK_ARG_NOT_NULL(ctx, pFirstBinding);
  if (!pBatch->bPreparedFull) QK_TRY(ctx, prepare_rows(ctx, pBatch, pBatch->capacity, NULL));
  *phStmt = pBatch->hStmt;
  *ppBindings = pBatch->pBindings;
  *pFirstBinding = pBatch->pending * pBatch->width;
done:;
}

/* A statement of rows without a tail needs the table made beforehand. */
static void create_table(QK_context *ctx, tav_row_batch *pBatch) {
  if (pBatch->pCreate == NULL) goto done;
  QK_TRY(ctx, QK_mssql__exec(ctx, pBatch->conn, QK_string__sz(pBatch->pCreate)));
  QK_string__free(ctx, pBatch->pCreate);
  pBatch->pCreate = NULL;
done:;
}

static void execute_pending(QK_context *ctx, tav_row_batch *pBatch) {
  int bNeedsData = pBatch->bNeedsData;
  pBatch->pending = 0;
  pBatch->bNeedsData = 0;
  QK_TRY(ctx, tav_db_mssql__execute_bound(ctx, pBatch->hStmt, bNeedsData));
done:;
}

void tav_db_mssql__row_batch_added(QK_context *ctx, tav_row_batch *pBatch, int bNeedsData) {
  QK_ARG_NOT_NULL(ctx, pBatch);
  pBatch->pending++;
  pBatch->bNeedsData |= bNeedsData;
  if (pBatch->pending < pBatch->capacity) goto done;
  QK_TRY(ctx, create_table(ctx, pBatch));
  QK_TRY(ctx, execute_pending(ctx, pBatch));
done:;
}

void tav_db_mssql__row_batch_flush(QK_context *ctx, tav_row_batch *pBatch) {
  QK_ARG_NOT_NULL(ctx, pBatch);
  if (pBatch->pending == 0) goto done;
  QK_TRY(ctx, create_table(ctx, pBatch));
  /* The rows keep their bindings; only the text shrinks to their number. */
  if (pBatch->pending < pBatch->capacity) QK_TRY(ctx, prepare_rows(ctx, pBatch, pBatch->pending, NULL));
  QK_TRY(ctx, execute_pending(ctx, pBatch));
done:;
}

void tav_db_mssql__row_batch_flush_with(QK_context *ctx, tav_row_batch *pBatch, const char *pszTail,
                                        SQLHSTMT *phStmt) {
  QK_ARG_NOT_NULL(ctx, pBatch);
  QK_ARG_NOT_NULL(ctx, pszTail);
  QK_ARG_NOT_NULL(ctx, phStmt);
  *phStmt = SQL_NULL_HSTMT;
  if (pBatch->pending == 0) {
    /* The statement of the rows keeps its bindings: the tail gets a statement of its own. */
    if (pBatch->hTail != SQL_NULL_HSTMT) QK_TRY(ctx, QK_mssql__free_stmt(ctx, pBatch->hTail));
    pBatch->hTail = SQL_NULL_HSTMT;
    QK_TRY(ctx, create_table(ctx, pBatch));
    QK_TRY(ctx, QK_mssql__prepare(ctx, pBatch->conn, &pBatch->hTail, pszTail));
    QK_TRY(ctx, QK_mssql__execute(ctx, pBatch->hTail));
    *phStmt = pBatch->hTail;
    goto done;
  }
  QK_TRY(ctx, prepare_rows(ctx, pBatch, pBatch->pending, pszTail));
  QK_TRY(ctx, execute_pending(ctx, pBatch));
  *phStmt = pBatch->hStmt;
done:;
}

void tav_db_mssql__row_batch_set_create(QK_context *ctx, tav_row_batch *pBatch, const char *pszCreate) {
  QK_ARG_NOT_NULL(ctx, pBatch);
  QK_ARG_NOT_NULL(ctx, pszCreate);
  QK_string__free(ctx, pBatch->pCreate);
  pBatch->pCreate = NULL;
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pBatch->pCreate, pszCreate));
done:;
}

void tav_db_mssql__row_batch_free(QK_context *ctx, tav_row_batch **ppBatch) {
  tav_row_batch *pBatch;
  if (ppBatch == NULL || *ppBatch == NULL) return;
  pBatch = *ppBatch;
  if (pBatch->hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, pBatch->hStmt));
  if (pBatch->hTail != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, pBatch->hTail));
  QK_RELEASE(ctx, QK_string__free(ctx, pBatch->pCreate));
  QK_RELEASE(ctx, tav_db_mssql__free_column_array(ctx, &pBatch->pBindings));
  QK_RELEASE(ctx, QK_string__free(ctx, pBatch->pHead));
  QK_free(ctx, pBatch);
  *ppBatch = NULL;
}

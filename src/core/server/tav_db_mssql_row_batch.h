/* Rows written to SQL Server in multi-row INSERT statements: "INSERT INTO t (cols) VALUES
 * (?,..),(?,..),.." carries as many rows as SQL Server takes in one statement (1000 rows,
 * 2100 parameters, less a margin), so a table of rows costs a round trip per statement instead of one per
 * row. The same prepared text serves every full statement; the rows left at the end go in
 * one shorter statement. */
#ifndef TAV_DB_MSSQL_ROW_BATCH_H
#define TAV_DB_MSSQL_ROW_BATCH_H

#include "qk/qk_context.h"
#include "qk/qk_mssql.h"
#include "server/tav_db_mssql_values.h"

typedef struct tav_row_batch tav_row_batch;

/* pszHead is the statement up to VALUES ("INSERT INTO #t (a,b)"); every row has the width of
 * pTypes, whose bindings give the parameters' types (copied for every row of a statement). */
void tav_db_mssql__row_batch_open(QK_context *ctx, QK_mssql_connection *conn, const char *pszHead,
                                  const tav_col_collection *pTypes, tav_row_batch **ppNew);
/* The same for rows of count parameters of the plain SQL types given (GUID text, bigint...). */
void tav_db_mssql__row_batch_open_typed(QK_context *ctx, QK_mssql_connection *conn, const char *pszHead, int count,
                                        const QK_int16 *pSqlTypes, tav_row_batch **ppNew);
/* Where the next row goes: the statement, the bindings and the first binding of the row
 * (the row's parameters are firstBinding + 1 .. firstBinding + width). */
void tav_db_mssql__row_batch_next(QK_context *ctx, tav_row_batch *pBatch, SQLHSTMT *phStmt,
                                  tav_col_collection **ppBindings, int *pFirstBinding);
/* The row is bound (bNeedsData: a value goes at execution); a full statement is executed. */
void tav_db_mssql__row_batch_added(QK_context *ctx, tav_row_batch *pBatch, int bNeedsData);
/* Parameter ipar from binding b's own holder: a GUID text (NULL: NULL), a national text
 * (NULL: NULL; nvarchar(max) with bMax, else nvarchar), or a bigint (NULL with bNull). */
void tav_db_mssql__row_batch_bind_guid(QK_context *ctx, SQLHSTMT hStmt, int ipar, tav_col_binding *b,
                                       const char *pszGuid);
void tav_db_mssql__row_batch_bind_text(QK_context *ctx, SQLHSTMT hStmt, int ipar, tav_col_binding *b,
                                       const char *pszText, int bMax);
void tav_db_mssql__row_batch_bind_int64(QK_context *ctx, SQLHSTMT hStmt, int ipar, tav_col_binding *b, int bNull,
                                        QK_int64 value);
/* Executes the rows bound since the last execution, if any. */
void tav_db_mssql__row_batch_flush(QK_context *ctx, tav_row_batch *pBatch);
/* The same with a tail (statements without parameters, such as a query of the rows) in the
 * batch of the last rows, or alone when none is left. *phStmt, kept by the batch, then holds
 * the batch's result sets: the caller reads them to their end before the batch takes rows
 * again. */
void tav_db_mssql__row_batch_flush_with(QK_context *ctx, tav_row_batch *pBatch, const char *pszTail,
                                        SQLHSTMT *phStmt);
/* The statement (without parameters) that makes the rows' temp table, run only when rows
 * come: alone before the first statement of rows without a tail, else in the batch of the
 * rows and the tail, to which the table then belongs (it is gone after that batch, and the
 * next rows make it again). */
void tav_db_mssql__row_batch_set_create(QK_context *ctx, tav_row_batch *pBatch, const char *pszCreate);
/* Frees the statements and the bindings; NULL is accepted. */
void tav_db_mssql__row_batch_free(QK_context *ctx, tav_row_batch **ppBatch);

#endif

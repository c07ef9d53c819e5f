/* Conflict rules and row-version lookups of the SQL Server store: the rules administrators keep
 * per dbfile, table and column, and read-only questions about a row's version history. None of
 * these operations writes.
 *
 * Rule outputs (act, extra) keep the caller's value when there is no rule row or the column is
 * NULL; a found extra is a new text the caller frees with QK_free (any text the caller put
 * there is replaced, not freed). Table and column ids are decimal texts; anything else fails
 * with the integer-parsing error. Row ids are 16 bytes in SQL Server's byte order. */
#ifndef TAV_DB_MSSQL_RULES_H
#define TAV_DB_MSSQL_RULES_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "server/tav_db_mssql.h"

/* Situation numbers of the conflict rules that the store itself reads. */
#define TAV_RULE_SIT_PK_COLLISION 4
#define TAV_RULE_SIT_BASELINE_PURGED 6

/* Table ids go into object names as the decimal text of the parsed 32-bit number, so only
 * digits ever reach statement text: the text into a buffer of TAV_TABLE_ID_SZ_SIZE bytes. */
#define TAV_TABLE_ID_SZ_SIZE 12
void tav_db_mssql__table_id_text(QK_context *ctx, const char *pszTblId, char *pszOut);

/* The dbfile-wide rule of a situation; ppszExtra (opt). */
void tav_db_mssql__get_dbfile_rule(QK_context *ctx, tav_db_handle *h, int situation, int *pAction,
                                   char **ppszExtra);
/* The table's rule, else (with bDbfileFallback) the dbfile's; ppszExtra (opt). */
void tav_db_mssql__get_record_rule(QK_context *ctx, tav_db_handle *h, const char *pszTblId, int situation,
                                   int bDbfileFallback, int *pAction, char **ppszExtra);
/* The column's own rule, or with an empty column id the table's default; no fallback from
 * one to the other here. */
void tav_db_mssql__get_column_rule(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszColId,
                                   int *pAction, char **ppszExtra);
/* The newest uniquifying function of a column, or NULL. */
void tav_db_mssql__get_uniqify_fn(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszColId,
                                  char **ppszFn);
/* The row's last version not superseded by an update and the txid that deleted it (0 while
 * live); both 0 when the server never had the row. */
void tav_db_mssql__get_latest_row_version(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                          const QK_uint8 *pRid16, QK_int64 *pTxid, QK_int64 *pDeletingTxid);
/* The row that holds the key (identity column, else primary key) whose values are columns 0..
 * of the package statement's current row: the live row (deleting txid 0), else the newest
 * deleted one. Without either the outputs keep the caller's values. */
void tav_db_mssql__find_row_by_unique_key(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                          tav_defin *psk, sqlite3_stmt *pIncomingRow, QK_uint8 *pRid16,
                                          QK_int64 *pTxid, QK_int64 *pDeletingTxid);
/* The values of the named columns in the version (rid, txid), live or superseded, as a new row
 * document; NULL when there is no such version. */
void tav_db_mssql__fetch_row_version(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                     const QK_vhash *pColumnNames, const QK_uint8 *pRid16, QK_int64 txid,
                                     QK_vhash **ppRow);

#endif

/* Row versions read ahead for the conflicts of a push. The conflict resolution settles its
 * entries one by one and asks for each the newest version of the row and the values of two of
 * its versions; the listing of the entries reads the versions in a few set queries instead,
 * and the per-entry lookups are answered from what was read (the table's rules are kept
 * for the transaction by the rules' own lookups). A lookup that was not read ahead goes
 * to SQL Server as before. What was read stays valid inside the transaction until the push
 * writes: beginning or ending a transaction and the import forget it. */
#ifndef TAV_DB_MSSQL_HISTORY_H
#define TAV_DB_MSSQL_HISTORY_H

#include <sqlite3.h>

#include "qk/qk_context.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"
#include "server/tav_db_mssql.h"

/* Reads ahead, for the conflict entries of table pszTblId (as the listing made them), the
 * newest version of every row id and the values, over the package table's columns, of the
 * version each entry changed and of the newest one. */
void tav_db_mssql__history_read_ahead(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, const char *pszTblId,
                                      QK_varray *pEntries);
/* *pbKnown 1 with the newest version and its deleting txid when they were read ahead. */
void tav_db_mssql__history_latest(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const QK_uint8 *pRid16,
                                  int *pbKnown, QK_int64 *pTxid, QK_int64 *pDeletingTxid);
/* *pbKnown 1 when the version's values over the columns (the document's keys, in order) were
 * read ahead: *ppRow a new copy, or NULL when the version does not exist. */
void tav_db_mssql__history_row(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const QK_vhash *pColumns,
                               const QK_uint8 *pRid16, QK_int64 txid, int *pbKnown, QK_vhash **ppRow);
/* Forgets everything read ahead; a handle without any is left alone. */
void tav_db_mssql__history_forget(QK_context *ctx, tav_db_handle *h);

#endif

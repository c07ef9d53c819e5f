/* Conversion of a pushed generation package into the transaction form the push import reads:
 * the client's timeline is folded into its known base (-1) and one pending change set (the
 * placeholder txid), delta tables are built, and every change of an existing row learns the
 * server transaction of the version it was based on. Changes whose base version the server
 * purged follow the dbfile's "baseline purged" rule. */
#ifndef TAV_DB_MSSQL_BASELINE_H
#define TAV_DB_MSSQL_BASELINE_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "server/tav_db_mssql.h"

/* Rewrites the package in place. *pbRejected becomes 1 when the rule refuses the push (then the
 * package is left part-way and must not be applied); it is left alone otherwise. */
void tav_db_mssql__handle_baseline_purged(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                                          int *pbRejected);
/* 1 when the row id (GUID text) has any version created in the generation, else 0. */
void tav_db_mssql__version_in_generation(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                         const char *pszRid, QK_int64 generation, int *pbExists);

#endif

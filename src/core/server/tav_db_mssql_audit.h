/* Rows that move between a pushed package and SQL Server around a push: the package's audit
 * rows into the server's optional audit table, and the server's identity values for the
 * temporary values a client gave its new rows. */
#ifndef TAV_DB_MSSQL_AUDIT_H
#define TAV_DB_MSSQL_AUDIT_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "server/tav_db_mssql.h"

/* Copies p$audit of the package into tavrin."audit" of the configuration database when that
 * table exists (else nothing), inside the push's transaction or, when the dbfile lives in a
 * database of its own, one there that commits and rolls back with it. */
void tav_db_mssql__import_audit(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb);
/* Writes (client value, key text) pairs through the caller's insert statement: with a fid
 * (0: none) the pairs the identity-key log holds for that client ("S:<final>"), then for
 * every (row id, client value) row of the query "S:<server value>" when the server has or
 * had the row, else "C:<client value>". Both statements stay the caller's. */
void tav_db_mssql__lookup_identity_pk(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_int64 fid,
                                      const char *pszTblId, sqlite3_stmt *pPkgQuery, sqlite3_stmt *pPkgInsert);

#endif

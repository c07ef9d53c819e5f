/* Salvage and row dump of the SQL Server store. Salvage lists one table's package changes
 * that meet a server change (conflict entries, one QK_vhash each: "_ROWID_", "rid" as GUID
 * text, "txid_rec_add", "txid_rec_del", "txid", "purged_flag"), for the conflict resolution of
 * the sync engine. The row dump keeps every row of an uploaded package in the dbfile's dump
 * tables, one JSON text per distinct row, with who sent it and when it last arrived. */
#ifndef TAV_DB_MSSQL_SALVAGE_H
#define TAV_DB_MSSQL_SALVAGE_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "server/tav_db_mssql.h"

/* Without a recovery set: the conflicting deltas of the table (an empty list when none); with
 * one: the rolled-back rows to bring back. ppList (opt). */
void tav_db_mssql__salvage(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                           struct tav_recovery_set *pSet, sqlite3 *pPkgDb, QK_varray **ppList);
/* The deltas of p$rd$<id> whose base the server has since superseded or deleted, whose base is
 * one of the client's own versions (txid_rec_del -1), the inserts of row ids the server
 * already knows, and the deltas marked purged. Leaves its emptied temp table on the
 * connection. */
void tav_db_mssql__list_conflicting_deltas(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                           sqlite3 *pPkgDb, QK_varray **ppEntries);
/* Appends one entry per remaining row of an executed statement whose columns are pd_rowid,
 * pd_rid, pd_txid_rec_add, pd_txid_rec_del, pd_txid ("purged_flag" false; NULL add txid 0). */
void tav_db_mssql__read_conflict_entries(QK_context *ctx, SQLHSTMT hStmt, QK_varray *pEntries);
/* The GUID text (QK_GUID_SZ_SIZE bytes) of the package row id in column col, which must be 16
 * bytes: 3 "guid blob misssing" when empty or NULL, else 3 "guid blob must be 16 bytes: %d". */
void tav_db_mssql__package_rid_text(QK_context *ctx, sqlite3_stmt *pStmt, int col, char *pszOut);
/* Stores every row of the package's p$u$ tables for the user (opt, "" when NULL) in its own
 * transaction on the dbfile connection, so the caller must not hold one open there. */
void tav_db_mssql__dump_rows(QK_context *ctx, tav_db_handle *h, const char *pszPackagePath,
                             const char *pszUserName);

#endif

/* The import of a pushed package into SQL Server. It runs in two halves inside the caller's
 * transaction: staging copies every changed table of the package into connection-local temp
 * tables (records, an optional staging table with every host column, and deltas: one row per
 * changed row id) and counts the row operations by kind; applying writes them into the host
 * tables with one MERGE per table, in foreign-key order, after detaching child rows whose
 * keys would break between statements, and checks afterwards that every change landed on the
 * row version the client saw (91 "conflict detected late ..." when another transaction got in
 * between). Tables with an identity column receive their new rows separately, so that the
 * server's values can replace the client's temporary ones everywhere in the staged data.
 *
 * The import state is a QK_vhash from table id to the table's member: "tbl_name",
 * "ttable_records", "cols_in_pkg_u", optional "ttable_staging", "cols_in_host_table",
 * "ttable_deltas", "count_inserts", "count_updates", "count_deletes", "count_undeletes",
 * optional "count_reinserts", "has_ipk" and, written while applying, "UP&INSw/DEL".
 *
 * A delta row's kind follows from its columns: txid_rec_add 0 is a delete; otherwise a
 * txid_rec_del is an update, a txid_rec_undel an undelete, a txid_rec_reinsert a reinsert
 * (a live row deleted and inserted again around a parent's change), and none an insert. */
#ifndef TAV_DB_MSSQL_IMPORT_H
#define TAV_DB_MSSQL_IMPORT_H

#include <sqlite3.h>

#include "common/tav_filter.h"
#include "common/tav_parse_defin.h"
#include "server/tav_db_mssql.h"

/* What the apply steps need of one staged table: borrowed from its member of the state. */
typedef struct tav_staged_table {
  const char *pszTblId;
  const char *pszTblName;    /* bracketed schema and name */
  const char *pszStaging;    /* NULL when the package carries every host column */
  QK_vhash *pHostCols;       /* column name -> id (unprepared columns null) */
  const char *pszRecords;
  QK_vhash *pPkgCols;        /* column name -> id */
  const char *pszDeltas;
  QK_int64 deletes;          /* -1: done by the separate delete step */
  QK_int64 updates;
  QK_int64 reinserts;
  QK_int64 inserts;
  QK_int64 undeletes;
} tav_staged_table;

/* ---- Staging ---- */

/* Stages every changed table of the package, allocates the push's transaction (recording the
 * rstamp) and applies the staged tables; txid (opt) receives the new transaction id. */
void tav_db_mssql__import_push(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                               const QK_uint8 *pRstamp16, sqlite3 *pPkgDb, QK_int64 fid, QK_int64 *pTxid);
/* Stages one table into the state. Without a package the records table takes every prepared
 * column and the deltas stay empty; a second call for a table (recovered data) replaces the
 * records of the rolled-back timeline with the package's rows. */
void tav_db_mssql__stage_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                               const char *pszTblId, QK_vhash *pState);
/* The package table's columns (internal ones left out) by name -> column id, the member's
 * "cols_in_pkg_u"; a column the table does not have fails verification. */
void tav_db_mssql__package_columns(QK_context *ctx, sqlite3 *pPkgDb, tav_defin *psk, const char *pszTblId,
                                   QK_vhash **ppCols);
/* Copies the rows of a prepared package query (z_rid, [z_gen_add, generation id,] then the
 * named columns) into a temp table; count (opt) receives the number of rows. Date or time
 * texts that SQL Server refuses give 400. */
void tav_db_mssql__copy_pkg_rows(QK_context *ctx, tav_db_handle *h, const QK_vhash *pColumns, tav_defin *psk,
                                 const char *pszTblId, const char *pszTempName, sqlite3_stmt *pPkgStmt,
                                 int bWithGeneration, QK_uint32 *pCount);
/* "[schema].[name]" of a host table as a new heap text. */
void tav_db_mssql__get_quoted_table_name(QK_context *ctx, tav_db_handle *h, const char *pszTblId, char **ppsz);
/* Subtracts n from the from-member (opt) and adds it to the to-member; absent members count
 * as 0; n 0 does nothing. */
void tav_db_mssql__move_count(QK_context *ctx, QK_vhash *pvh, const char *pszFrom, const char *pszTo, QK_int64 n);

/* ---- Applying ---- */

/* Applies every staged table under txid. verb names the work in error messages ("importing
 * pushed changes into", "recovering rolled-back operations in"). */
void tav_db_mssql__apply_staged(QK_context *ctx, const char *pszVerb, tav_db_handle *h, tav_defin *psk,
                                tav_filter *pFilter, QK_vhash *pState, QK_int64 txid, QK_int64 fid,
                                sqlite3 *pPkgDb);
/* One table: drops inserts and undeletes whose parent is missing where the foreign-key rule
 * says so (audited as "ignore"), then merges, and inserts new rows of an identity table. */
void tav_db_mssql__apply_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                               sqlite3 *pPkgDb, QK_int64 fid, const char *pszTxid, QK_vhash *pState,
                               const tav_staged_table *pTable);
/* The table's MERGE and its late-conflict checks (inserts must be 0 for an identity table). */
void tav_db_mssql__merge_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                               sqlite3 *pPkgDb, const char *pszTxid, const char *pszIdentityColId,
                               const tav_staged_table *pTable);
/* Deletes the host rows the deltas delete or reinsert, only where the live version is the
 * one the delta names; fewer rows than expected is a late conflict (91). */
void tav_db_mssql__delete_rows(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                               const char *pszTblName, const char *pszDeltas, QK_uint32 expected);
/* Audits the records that lost their delta as ignored inserts and deletes them; exactly
 * expected records must go. */
void tav_db_mssql__audit_dropped_rows(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, const char *pszTblId,
                                      const char *pszRecords, const char *pszDeltas, QK_int64 expected);

/* ---- Detaching child rows around parent changes ---- */

/* For a key of another table that references the changed parent (a foreign key as
 * tav_defin__list_child_fks gives it). */
void tav_db_mssql__detach_children(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_vhash *pState,
                                   const char *pszParentTblId, QK_vhash *pFk, const char *pszParentDeltas,
                                   const char *pszParentRecords, int bParentDeletesRows, int bDeleteFirst,
                                   int bInsertLater);
/* For a key of a table to itself. The children name buffer (TAV_TEMP_NAME_SIZE bytes, empty
 * at the table's first call) keeps the table's children temp table between calls; changed
 * is set to 1 when rows were moved to reinserts (never cleared). */
void tav_db_mssql__detach_self_children(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_vhash *pState,
                                        const char *pszTblId, const char *pszDeltas, const char *pszRecords,
                                        const char *pszStaging, QK_vhash *pHostCols, QK_vhash *pFk,
                                        char *pszChildren64, int *pbChanged);

/* ---- New rows of tables with an identity column ---- */

/* Inserts the table's new rows without the identity column, rewrites the staged references
 * to their temporary values, gives the versions the package's row ids and logs the pairs
 * for the client (fid 0: no log). */
void tav_db_mssql__insert_identity_rows(QK_context *ctx, tav_db_handle *h, QK_int64 fid, const char *pszTxid,
                                        tav_defin *psk, tav_filter *pFilter, QK_vhash *pState,
                                        const char *pszTblId, const char *pszTblName, const char *pszIdentityColId,
                                        const char *pszRecords, QK_vhash *pPkgCols, const char *pszDeltas,
                                        QK_uint32 inserts);
/* Turns "C:<client>" into "S:<server>" in every staged column of the map {table id: {column
 * id: referenced column id}}, and in the columns that reference those, recursively. */
void tav_db_mssql__rewrite_identity_refs(QK_context *ctx, tav_db_handle *h, QK_vhash *pRefs, tav_defin *psk,
                                         QK_vhash *pState, QK_int64 clientValue, QK_int64 serverValue);

/* ---- Internal helpers shared by the import's files ---- */

/* Runs a batch without parameters directly on a new statement *phStmt (temp tables it makes
 * outlive it, as with QK_mssql__exec): errors before its first result set map as the
 * classified road's (constraint errors 80 to 84, deadlocks 90). The caller reads the result
 * sets in order and frees *phStmt, also on failure. */
void tav_db_mssql__exec_direct_classified(QK_context *ctx, QK_mssql_connection *conn, const char *pszSql,
                                          SQLHSTMT *phStmt);
/* Column 1 of the one row of the batch's next result set with columns (a missing row or NULL
 * fails verification), then moves past that result set; errors of the statements up to the
 * next result set map as the classified road's. */
void tav_db_mssql__read_next_int64(QK_context *ctx, SQLHSTMT hStmt, QK_int64 *pValue);
/* Executes through the classified road (constraint errors become 80 to 84) and reports the
 * rows the statement affected. */
void tav_db_mssql__exec_rowcount(QK_context *ctx, tav_db_handle *h, QK_int64 *pRows, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
/* The table's member of the state as a tav_staged_table (counts absent count 0). */
void tav_db_mssql__load_staged_table(QK_context *ctx, QK_vhash *pState, const char *pszTblId,
                                     tav_staged_table *pTable);

#endif

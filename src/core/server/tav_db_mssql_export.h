/* Exports of the SQL Server store into download packages: the transaction, generation and
 * meta rows of a dbfile's history, and the row changes of each synchronised table between
 * the client's baseline and the end of an export range (tav_export_range). Tables with a row
 * filter compare the sets of row versions the client held and holds (included sets, set
 * digests) and send the difference.
 *
 * All set work happens in SQL Server, in connection-local temp tables that are never dropped:
 * they vanish with the connection at the end of the request. Result rows go straight into
 * the caller's prepared package statement (row statement: row id, then txid, or the
 * generation the client had and the generation sent, then the column values; row-delta
 * statement: row id, txid added, txid the client had, txid of the change). */
#ifndef TAV_DB_MSSQL_EXPORT_H
#define TAV_DB_MSSQL_EXPORT_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "qk/qk_string.h"
#include "server/tav_db_mssql.h"
#include "server/tav_db_mssql_values.h"
#include "server/tav_export_types.h"

/* Message of the retryable failure raised when a purge ran during a table export. */
#define TAV_EXPORT_PURGE_DURING_EXPORT "Purge operation affected table export."

/* ---- History rows ---- */

/* The newest `limit` txids of first..last into p$tx in ascending order; the oldest of them
 * (0 when none) and whether the limit was reached (opt). */
void tav_db_mssql__export_txids(QK_context *ctx, tav_db_handle *h, QK_int64 first, QK_int64 last, int limit,
                                sqlite3 *pPkgDb, QK_int64 *pFirstExported, int *pbLimitReached);
/* Generation rows first..last into p$gen. With the cutoff output the history window applies:
 * the cutoff is the oldest generation inside the window (last + 1 when none is), the range
 * starts no earlier, and a range emptied by it still sends its last generation. */
void tav_db_mssql__export_generations(QK_context *ctx, tav_db_handle *h, QK_int64 first, QK_int64 last,
                                      sqlite3 *pPkgDb, QK_int64 *pCutoffGeneration);
/* Rows of tavrin.<db>$t$<kind> with txid first..last (and the extra condition, appended as
 * given, e.g. " AND (...)") into p$<kind> with the same column list. The callback (opt) runs
 * once, before the first row is written. */
void tav_db_mssql__export_meta_table(QK_context *ctx, tav_db_handle *h, const char *pszKind,
                                     tav_export_meta_callback pfnBeforeFirstRow, const char *pszColumnList,
                                     QK_int64 firstTxid, QK_int64 lastTxid, const char *pszExtraCondition,
                                     sqlite3 *pPkgDb);

/* ---- Table rows ---- */

/* Exports one table's changes in the range. pStates is the states document keyed by table
 * id. May turn the range into a from-scratch one (first 1, txids NULL) and set the state's
 * "needs-discard". *ppszSetDigest (opt) receives a filtered table's new set digest (new text,
 * QK_free) or NULL. A purge during the export raises 91. Listed txids go into a #temp table
 * named in the range's listed_table, which the export and the range's later uses read. */
void tav_db_mssql__export_table(QK_context *ctx, tav_db_handle *h, int pkgVersion, tav_defin *psk,
                                QK_vhash *pStates, const char *pszTblId, tav_export_range *pRange,
                                const char *pszClientSetDigest, char **ppszSetDigest, sqlite3_stmt *pRowInsert,
                                sqlite3_stmt *pRowDeltaInsert);
/* 1 when the table has row changes in the range (may make the range's listed_table). */
void tav_db_mssql__table_has_changes(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                     tav_export_range *pRange, int *pbChanged);

/* Query fragments of a range (new strings for the caller). The versions written in the range
 * ("SELECT rv.z_rv ...") and the versions ended in it ("SELECT dd.rv, dd.txid ..."). With
 * listed txids these and the state queries read the range's listed_table, which the export or
 * the change test made. */
void tav_db_mssql__range_change_queries(QK_context *ctx, const tav_export_range *range, const char *pszDb,
                                        const char *pszTblId, QK_string **ppRows, QK_string **ppDeletions);
/* The versions live at the baseline (bAtEnd 0) or at the end of the range: a rows query
 * (z_rv, rid[, txid], generation) and a deletions query (dd.*), or in the filtered form two
 * parts over z$this (current values, superseded values) and *pbTwoPart 1. */
void tav_db_mssql__state_queries(QK_context *ctx, const tav_export_range *range, const char *pszDb,
                                 const char *pszTblId, int range_end, int bWithTxid, int bFiltered, int *pbTwoPart,
                                 QK_string **ppRows, QK_string **ppDeletions);
/* The table's purge generation when the purge reaches into the range, else 0 (may make the
 * range's listed_table). Without bFresh a generation range is judged by the mark the
 * transaction's table facts hold. */
void tav_db_mssql__purge_affects_range(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                       tav_export_range *range, int bFresh, QK_int64 *pPurgeGeneration);

void tav_db_mssql__export_unfiltered_by_txid(QK_context *ctx, tav_db_handle *h, tav_defin *psk,
                                             const char *pszTblId, tav_export_range *export_range,
                                             sqlite3_stmt *pRowInsert, sqlite3_stmt *pRowDeltaInsert);
void tav_db_mssql__export_unfiltered_from_scratch(QK_context *ctx, tav_db_handle *h, tav_defin *psk,
                                                  const char *pszTblId, tav_export_range *export_range,
                                                  sqlite3_stmt *pRowInsert);
void tav_db_mssql__export_unfiltered_by_generation(QK_context *ctx, tav_db_handle *h, tav_defin *psk,
                                                   const char *pszTblId, tav_export_range *export_range,
                                                   sqlite3_stmt *pRowInsert);

/* Shared by the generation exports: runs the values query over the current values
 * (pszCurrentSql) and, when fewer than `expected` row ids were delivered, over the superseded
 * values (pszOldSql, duplicates skipped); 500 when the count still differs. */
void tav_db_mssql__export_values_counted(QK_context *ctx, tav_db_handle *h, const char *pszCurrentSql,
                                         const char *pszOldSql, QK_int64 expected, sqlite3_stmt *pRowInsert);
/* Runs a prepared statement and reads the int64 in the first row of its first result set
 * (0 for NULL); 500 without a row. */
void tav_db_mssql__execute_int64(QK_context *ctx, SQLHSTMT hStmt, QK_int64 *pValue);
/* Runs a batch directly (the temp tables it creates stay on the connection) and reads the
 * int64 in the first row of its first result set; a NULL or no row is an error. */
void tav_db_mssql__query_batch_int64(QK_context *ctx, tav_db_handle *h, const char *pszSql, QK_int64 *pValue);
/* The select list of all prepared columns over a qualifier, with the casts SQL Server needs. */
void tav_db_mssql__typed_select_list(QK_context *ctx, tav_defin *psk, const char *pszTblId,
                                     const char *pszQualifier, QK_string **ppOut);
/* The host table's "[schema].[name]" from the catalog (new text, QK_free). */
void tav_db_mssql__host_table_name(QK_context *ctx, tav_db_handle *h, const char *pszTblId, char **ppszName);

/* ---- Filtered tables ---- */

/* The set of versions visible to the client at the end of the range (bAtEnd) or at its
 * baseline, in a new temp table whose name goes to pszSet (empty: none, when the baseline
 * filter was found invalid). */
void tav_db_mssql__build_included_set(QK_context *ctx, tav_db_handle *h, QK_vhash *pStates, const char *pszTblId,
                                      const tav_export_range *range, int bAtEnd, char *pszSet);
/* Removes, until nothing changes, versions whose parent row in the same table is not in the set. */
void tav_db_mssql__prune_same_table_refs(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                         const char *pszSet, tav_export_state *pState);
/* 1 when the condition runs on the host table itself; its failure otherwise. */
void tav_db_mssql__test_where_on_host(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                      const char *pszWhere, int *pbRuns);
/* "#" and the base64 MD5 of the set's versions (8-byte big-endian, ascending); new text. */
void tav_db_mssql__digest_row_versions(QK_context *ctx, tav_db_handle *h, const char *pszSet, char **ppszDigest);
/* The base64 of SQL Server's chained MD5 over the set's row ids; new text. */
void tav_db_mssql__digest_row_ids(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszSet,
                                  char **ppszDigest);
/* The final set and, when the client's baseline can be trusted, the baseline set (pszBaseline
 * empty otherwise; both empty when the client holds the final set already). Without a
 * trusted baseline the range becomes from scratch and "needs-discard" is set. */
void tav_db_mssql__choose_baseline_set(QK_context *ctx, tav_db_handle *h, int pkgVersion, QK_vhash *pStates,
                                       const char *pszTblId, const char *pszClientDigest, char **ppszDigest,
                                       tav_export_range *export_range, char *pszBaseline, char *pszFinal);
void tav_db_mssql__export_filtered_by_txid(QK_context *ctx, tav_db_handle *h, int pkgVersion, tav_defin *psk,
                                           QK_vhash *pStates, const char *pszTblId, const char *pszClientDigest,
                                           char **ppszDigest, tav_export_range *export_range,
                                           sqlite3_stmt *pRowInsert, sqlite3_stmt *pRowDeltaInsert);
void tav_db_mssql__export_filtered_by_generation(QK_context *ctx, tav_db_handle *h, int pkgVersion, tav_defin *psk,
                                                 QK_vhash *pStates, const char *pszTblId, const char *pszClientDigest,
                                                 char **ppszDigest, tav_export_range *export_range,
                                                 sqlite3_stmt *pRowInsert);
/* The values of the columns in pszColumnList (caller's text, e.g. "\"id\", \"c\"") for the
 * rows the client holds that are still current, selected by pszSelectList over "rec". */
void tav_db_mssql__export_column_dump(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_export_state *pState,
                                      const char *pszTblId, tav_export_range *export_range,
                                      const char *pszColumnList, const char *pszSelectList,
                                      sqlite3_stmt *pRowInsert);
/* 1 when a version the transaction wrote or ended lies outside the client's filtered sets. */
void tav_db_mssql__txid_outside_filter(QK_context *ctx, tav_db_handle *h, QK_vhash *pStates, const char *pszTblId,
                                       QK_int64 txid, int *pbOutside);

#endif

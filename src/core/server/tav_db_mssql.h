/* tav_db_mssql: the SQL Server store as the rest of the server sees it. The operations table
 * `tav_backend_ops` lists every operation of the store in a fixed order (slots 0 to 48) that
 * the sync engine and the host rely on; the dbfile handle carries the connection and the
 * dbfile name that every per-dbfile object name is built from. This header also declares the
 * operations that open connections, look dbfiles up, run the request's transaction, read the
 * history bookkeeping of a dbfile and write the request log.
 *
 * Conventions: the context comes first; results go to out-parameters (those marked "opt" may
 * be NULL); after a failure the out-parameters are not to be used; text results are new
 * heap texts the caller frees with QK_free; operations that free take a pointer-to-pointer,
 * accept NULL and clear the caller's pointer. A table id is the decimal text of the host
 * table's object id. */
#ifndef TAV_DB_MSSQL_H
#define TAV_DB_MSSQL_H

#include <sqlite3.h>

#include "qk/qk_context.h"
#include "qk/qk_mssql.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"
#include "server/tav_export_types.h"

struct tav_defin;
struct tav_filter;
/* Defined by the parts of the store and the sync engine that own them. */
struct tav_recovery_set;
struct tav_user_identity;

/* Longest dbfile name is 255 bytes. */
#define TAV_DB_NAME_SIZE 256

struct tav_db_history;
typedef struct tav_db_table_facts tav_db_table_facts;

typedef struct tav_db_handle {
  QK_mssql_connection *conn; /* borrowed: never closed or freed through the handle */
  char name[TAV_DB_NAME_SIZE];
  /* owned: row versions read ahead for the conflicts of a push (NULL: none); valid inside the
   * transaction that read them, until the push writes */
  struct tav_db_history *pHistory;
  /* owned: the purge marks of the synchronised tables and which of them changed in one
   * generation range, read for a package export (NULL: not read); valid inside the
   * transaction that read them */
  tav_db_table_facts *pTableFacts;
  /* owned: conflict rules read inside the transaction begun by begin_tx, by lookup (NULL
   * outside one: nothing is kept); nothing the server runs writes rules */
  QK_vhash *pRules;
  /* owned: the filter assignments and the newest table txid that begin_tx read with the
   * generation of an export, for the get_user_filters that follows (NULL: none) */
  QK_varray *pUserFilters;
  QK_int64 user_filters_txid;
  /* Borrowed: the configuration database's connection, where audit rows go; NULL when it is
   * conn. Set by a push whose dbfile lives in a database of its own. */
  QK_mssql_connection *config_conn;
  /* Audit rows written on config_conn wait in a transaction there that ends with conn's. */
  int audit_tx_open;
} tav_db_handle;

/* The transaction counter row of a dbfile's rules table. */
#define TAV_DB_SITUATION_TX_COUNTER 123
/* Configuration databases from this version on log txid and txid_r with each request. */
#define TAV_DB_LOG_TXID_VERSION 9

/* Runs once, just before export_meta_table writes its first row into the package. */
typedef void (*tav_export_meta_callback)(QK_context *ctx, sqlite3 *pPkgDb);

/* The store's operations in their fixed order. "Package" is the open SQLite connection of a
 * package file; "row statement" a prepared statement on it. */
typedef struct tav_backend_ops {
  /* 0 */ void (*open)(QK_context *ctx, const char *pszConnection, const char *pszDatabase,
                       QK_mssql_connection **ppConn);
  /* 1 */ void (*close)(QK_context *ctx, QK_mssql_connection **ppConn);
  /* 2 */ void (*lookup_dbfile)(QK_context *ctx, QK_mssql_connection *pConn, const char *pszName, int *pbFound,
                                QK_int32 *pVersion, char **ppszOdbc, char **ppszScheme);
  /* 3 */ void (*handle_alloc)(QK_context *ctx, QK_mssql_connection *pConn, const char *pszName,
                               tav_db_handle **ppHandle);
  /* 4 */ void (*handle_free)(QK_context *ctx, tav_db_handle **ppHandle);
  /* 5 */ void (*old_table_exists)(QK_context *ctx, tav_db_handle *h, const char *pszTblId, int *pbExists);
  /* 6 */ void (*begin_tx)(QK_context *ctx, tav_db_handle *h, QK_int64 *pi_export_generation);
  /* 7 */ void (*set_low_deadlock_priority)(QK_context *ctx, tav_db_handle *h);
  /* 8 */ void (*commit_tx)(QK_context *ctx, tav_db_handle *h);
  /* 9 */ void (*rollback_tx)(QK_context *ctx, tav_db_handle *h);
  /* 10 */ void (*purge_ipklog)(QK_context *ctx, tav_db_handle *h, QK_int64 importTxid, QK_int64 clientId);
  /* 11 */ void (*get_history_purge_generation)(QK_context *ctx, tav_db_handle *h, QK_int64 *pGeneration);
  /* 12 */ void (*get_table_purged)(QK_context *ctx, tav_db_handle *h, const char *pszTblId, QK_int64 *pPurged);
  /* 13 */ void (*generation_exists)(QK_context *ctx, tav_db_handle *h, QK_int64 generation, QK_int64 generationId,
                                     int *pbExists, QK_int64 *pHistoryPurgeGeneration, const QK_uint8 *pRstamp16,
                                     int *pbRstampApplied);
  /* 14 */ void (*find_tx_by_rstamp)(QK_context *ctx, tav_db_handle *h, const QK_uint8 *pRstamp16,
                                     QK_int64 rebaseid, QK_int64 txid, int *pbMatch, QK_int64 *pGeneration,
                                     QK_int64 *pCount, QK_int64 *pHistoryPurgeGeneration);
  /* 15 */ void (*get_tx_info)(QK_context *ctx, tav_db_handle *h, QK_int64 txid, QK_vhash *pStatus,
                               QK_int64 *pTxid, QK_uint8 *pRstamp16, QK_int64 *pRebaseid);
  /* 16 */ void (*get_max_txid)(QK_context *ctx, tav_db_handle *h, QK_int64 exportGeneration, QK_int64 *pTxid,
                                QK_int64 *pCount);
  /* 17 */ void (*count_txids)(QK_context *ctx, tav_db_handle *h, QK_int64 txid, QK_int64 *pCount);
  /* 18 */ void (*export_txids)(QK_context *ctx, tav_db_handle *h, QK_int64 first, QK_int64 last, int limit,
                                sqlite3 *pPkgDb, QK_int64 *pFirstExported, int *pbLimitReached);
  /* 19 */ void (*get_utc_date)(QK_context *ctx, tav_db_handle *h, char **ppszDate);
  /* 20 */ void (*get_fk_constraint_list_txid)(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                               QK_int64 *pTxid, QK_int64 *pGeneration);
  /* 21 */ void (*export_generations)(QK_context *ctx, tav_db_handle *h, QK_int64 first, QK_int64 last,
                                      sqlite3 *pPkgDb, QK_int64 *pCutoffGeneration);
  /* 22 */ void (*export_meta_table)(QK_context *ctx, tav_db_handle *h, const char *pszKind,
                                     tav_export_meta_callback pfnBeforeFirstRow, const char *pszColumnList,
                                     QK_int64 firstTxid, QK_int64 lastTxid, const char *pszExtraCondition,
                                     sqlite3 *pPkgDb);
  /* 23 */ void (*export_table)(QK_context *ctx, tav_db_handle *h, int pkgVersion, struct tav_defin *psk,
                                QK_vhash *pStates, const char *pszTblId,
                                tav_export_range *pRange, const char *pszClientSetDigest,
                                char **ppszSetDigest, sqlite3_stmt *pRowInsert, sqlite3_stmt *pRowDeltaInsert);
  /* 24 */ void (*export_column_dump)(QK_context *ctx, tav_db_handle *h, struct tav_defin *psk,
                                      tav_export_state *pTableState, const char *pszTblId,
                                      tav_export_range *pRange, const char *pszColumnList,
                                      const char *pszSelectList, sqlite3_stmt *pRowInsert);
  /* 25 */ void (*txid_outside_filter)(QK_context *ctx, tav_db_handle *h, QK_vhash *pStates,
                                       const char *pszTblId, QK_int64 txid, int *pbOutside);
  /* 26 */ void (*table_has_changes)(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                     tav_export_range *pRange, int *pbChanged);
  /* 27 */ void (*record_recovery_timeline)(QK_context *ctx, tav_db_handle *h, struct tav_defin *psk,
                                            sqlite3 *pPkgDb, int *pbNewData, struct tav_recovery_set **ppSet);
  /* 28 */ void (*import_audit)(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb);
  /* 29 */ void (*lookup_identity_pk)(QK_context *ctx, tav_db_handle *h, struct tav_defin *psk, QK_int64 clientId,
                                      const char *pszTblId, sqlite3_stmt *pPkgQuery, sqlite3_stmt *pPkgInsert);
  /* 30 */ void (*import_push)(QK_context *ctx, tav_db_handle *h, struct tav_defin *psk, struct tav_filter *pFilter,
                               const QK_uint8 *pRstamp16, sqlite3 *pPkgDb, QK_int64 clientId, QK_int64 *pTxid);
  /* 31 */ void (*import_recovered)(QK_context *ctx, tav_db_handle *h, struct tav_defin *psk,
                                    struct tav_filter *pFilter, struct tav_recovery_set *pSet, sqlite3 *pPkgDb);
  /* 32 */ void (*handle_baseline_purged)(QK_context *ctx, tav_db_handle *h, struct tav_defin *psk,
                                          sqlite3 *pPkgDb, int *pbRejected);
  /* 33 */ void (*get_dbfile_rule)(QK_context *ctx, tav_db_handle *h, int situation, int *pAction,
                                   char **ppszExtra);
  /* 34 */ void (*get_record_rule)(QK_context *ctx, tav_db_handle *h, const char *pszTblId, int situation,
                                   int bDbfileFallback, int *pAction, char **ppszExtra);
  /* 35 */ void (*get_column_rule)(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszColId,
                                   int *pAction, char **ppszExtra);
  /* 36 */ void (*get_uniqify_fn)(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszColId,
                                  char **ppszFn);
  /* 37 */ void (*get_latest_row_version)(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                          const QK_uint8 *pRid16, QK_int64 *pTxid, QK_int64 *pDeletingTxid);
  /* 38 */ void (*find_row_by_unique_key)(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                          struct tav_defin *psk, sqlite3_stmt *pIncomingRow, QK_uint8 *pRid16,
                                          QK_int64 *pTxid, QK_int64 *pDeletingTxid);
  /* 39 */ void (*fetch_row_version)(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                     const QK_vhash *pColumnNames, const QK_uint8 *pRid16, QK_int64 txid,
                                     QK_vhash **ppRow);
  /* 40 */ void (*salvage)(QK_context *ctx, tav_db_handle *h, struct tav_defin *psk, const char *pszTblId,
                           struct tav_recovery_set *pSet, sqlite3 *pPkgDb, QK_varray **ppList);
  /* 41 */ void (*get_acl)(QK_context *ctx, tav_db_handle *h, QK_varray **ppAcl);
  /* 42 */ void (*get_filter)(QK_context *ctx, tav_db_handle *h, QK_int64 filterId, const char *pszUserName,
                              struct tav_filter **ppFilter);
  /* 43 */ void (*get_user_filters)(QK_context *ctx, tav_db_handle *h, QK_varray **ppAssignments,
                                    QK_int64 *pTxid);
  /* 44 */ void (*lookup_user)(QK_context *ctx, QK_mssql_connection *pConn, const char *pszUsersTable,
                               const char *pszUserName, struct tav_user_identity **ppIdentity,
                               char **ppszStoredPassword);
  /* 45 */ void (*fetch_schema)(QK_context *ctx, tav_db_handle *h, struct tav_filter *pFilter,
                                QK_int64 *pSchemaTxid, QK_int64 *pSchemaGeneration, struct tav_defin **ppDefin);
  /* 46 */ void (*log_request)(QK_context *ctx, QK_mssql_connection *pConn, const char *pszUrl, QK_int64 unixTime,
                               const char *pszClientAddress, QK_int64 requestSize, QK_int64 responseSize,
                               QK_int64 status, QK_int64 elapsedMs, QK_int64 txid, QK_int64 txidR);
  /* 47 */ void (*new_txid)(QK_context *ctx, tav_db_handle *h, QK_int64 *pTxid);
  /* 48 */ void (*dump_rows)(QK_context *ctx, tav_db_handle *h, const char *pszPackagePath,
                             const char *pszUserName);
} tav_backend_ops;

#define TAV_BACKEND_OPS_COUNT 49
static_assert(sizeof(tav_backend_ops) == TAV_BACKEND_OPS_COUNT * sizeof(void (*)(void)),
              "tav_backend_ops holds exactly its 49 operations");

/* ---- Connections, dbfile registry and handles ---- */

/* Opens a connection and runs "SET NOCOUNT ON". pszConnection: an ODBC connection string, a
 * JSON object whose string "odbc_connection" is one, or NULL for the built-in default;
 * pszDatabase (opt) replaces the string's database. Nothing is handed out on failure. */
void tav_db_mssql__open(QK_context *ctx, const char *pszConnection, const char *pszDatabase,
                        QK_mssql_connection **ppConn);
/* Disconnects and frees; NULL is accepted. */
void tav_db_mssql__close(QK_context *ctx, QK_mssql_connection **ppConn);
/* The registry row of a dbfile in tavrin."dbfiles" (a database without that table has no
 * dbfiles). Not found: found 0, odbc and scheme NULL. */
void tav_db_mssql__lookup_dbfile(QK_context *ctx, QK_mssql_connection *pConn, const char *pszName, int *pbFound,
                                 QK_int32 *pVersion, char **ppszOdbc, char **ppszScheme);
/* A new handle on the connection (borrowed) for a valid dbfile name of at most 255 bytes. */
void tav_db_mssql__handle_alloc(QK_context *ctx, QK_mssql_connection *pConn, const char *pszName,
                                tav_db_handle **ppHandle);
/* Frees the handle, not its connection; NULL is accepted. */
void tav_db_mssql__handle_free(QK_context *ctx, tav_db_handle **ppHandle);
/* Whether the user table tavrin.[<prefix><infix><suffix>] exists (absent parts are empty). */
void tav_db_mssql__table_exists(QK_context *ctx, QK_mssql_connection *pConn, const char *pszPrefix,
                                const char *pszInfix, const char *pszSuffix, int *pbExists);
/* Whether the table's backing table of superseded versions exists. */
void tav_db_mssql__old_table_exists(QK_context *ctx, tav_db_handle *h, const char *pszTblId, int *pbExists);

/* ---- Transactions, generations and counters ---- */

/* With pi_export_generation: fixes the export generation (> 0) first, then begins, in one
 * batch; a begin that fails leaves no transaction open. */
void tav_db_mssql__begin_tx(QK_context *ctx, tav_db_handle *h, QK_int64 *pi_export_generation);
void tav_db_mssql__set_low_deadlock_priority(QK_context *ctx, tav_db_handle *h);
/* Both end the audit transaction of the configuration connection too, when one is open. */
void tav_db_mssql__commit_tx(QK_context *ctx, tav_db_handle *h);
void tav_db_mssql__rollback_tx(QK_context *ctx, tav_db_handle *h);
/* The connection that audit rows go to (the configuration database's); when it is not the
 * dbfile's, a transaction is begun there once, to end with the dbfile's. */
void tav_db_mssql__begin_audit_tx(QK_context *ctx, tav_db_handle *h, QK_mssql_connection **ppConn);
/* Commits or rolls back the audit transaction, when one is open. */
void tav_db_mssql__end_audit_tx(QK_context *ctx, tav_db_handle *h, int commit);
/* Forgets a client's identity-key log up to an import (the log table is optional). */
void tav_db_mssql__purge_ipklog(QK_context *ctx, tav_db_handle *h, QK_int64 importTxid, QK_int64 clientId);
/* The generation below which history was purged, or -1. */
void tav_db_mssql__get_history_purge_generation(QK_context *ctx, tav_db_handle *h, QK_int64 *pGeneration);
/* The table's purge mark from the transaction's table facts (read on the first question);
 * *pbKnown 0 for a table the facts do not list. */
void tav_db_mssql__table_purge_mark(QK_context *ctx, tav_db_handle *h, const char *pszTbl, int *pbKnown,
                                    QK_int64 *pPurged);
/* Frees the table facts; NULL is accepted. */
void tav_db_mssql__table_facts_free(tav_db_table_facts **ppFacts);
/* Forgets the rules read inside the transaction (they are read again after it). */
void tav_db_mssql__rules_forget(QK_context *ctx, tav_db_handle *h);
/* The table's purge mark, or -1; a table without a row fails with the no-row error. Read with
 * those of all tables once per transaction (the table facts). */
void tav_db_mssql__get_table_purged(QK_context *ctx, tav_db_handle *h, const char *pszTblId, QK_int64 *pPurged);
/* Whether the generation with that id exists; with the history purge generation (opt) and
 * whether the rstamp's transaction is complete (pRstamp16 and pbRstampApplied, opt; as
 * find_tx_by_rstamp's match with txid 0), read in the same batch. */
void tav_db_mssql__generation_exists(QK_context *ctx, tav_db_handle *h, QK_int64 generation, QK_int64 generationId,
                                     int *pbExists, QK_int64 *pHistoryPurgeGeneration, const QK_uint8 *pRstamp16,
                                     int *pbRstampApplied);
/* Match 1 when the rstamp's transaction is complete and txid is 0 or both txid and rebaseid
 * equal its own; the generation output is written only for a complete transaction, the count
 * (transactions up to txid) only with a match. With pHistoryPurgeGeneration (opt) the history
 * purge generation is read in the same round trip, as get_history_purge_generation reads it. */
void tav_db_mssql__find_tx_by_rstamp(QK_context *ctx, tav_db_handle *h, const QK_uint8 *pRstamp16,
                                     QK_int64 rebaseid, QK_int64 txid, int *pbMatch, QK_int64 *pGeneration,
                                     QK_int64 *pCount, QK_int64 *pHistoryPurgeGeneration);
/* One transaction row (txid 1: the first one). The status document (opt) gets "first-rstamp";
 * without a row the rstamp is all zeros, the rebaseid 0 and the txid output is not written. */
void tav_db_mssql__get_tx_info(QK_context *ctx, tav_db_handle *h, QK_int64 txid, QK_vhash *pStatus,
                               QK_int64 *pTxid, QK_uint8 *pRstamp16, QK_int64 *pRebaseid);
/* The newest txid (0 for none) and the number of transactions (written only for a txid above
 * 0, or 0 without any row). With an export generation the newest transaction must belong to
 * it, else 91. The newest transaction is the baseline the caller hands out: one without an
 * rstamp gets an rstamp and rebaseid, in the caller's transaction. */
void tav_db_mssql__get_max_txid(QK_context *ctx, tav_db_handle *h, QK_int64 exportGeneration, QK_int64 *pTxid,
                                QK_int64 *pCount);
/* The number of transactions with a txid up to txid. */
void tav_db_mssql__count_txids(QK_context *ctx, tav_db_handle *h, QK_int64 txid, QK_int64 *pCount);
/* The server's UTC date and time in the driver's text form. */
void tav_db_mssql__get_utc_date(QK_context *ctx, tav_db_handle *h, char **ppszDate);
/* The transaction that last changed the table's foreign-key list and its generation (0 when
 * none yet); 500 when the table has no such transaction. */
void tav_db_mssql__get_fk_constraint_list_txid(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                               QK_int64 *pTxid, QK_int64 *pGeneration);
/* A new transaction id (inside the request's transaction). */
void tav_db_mssql__new_txid(QK_context *ctx, tav_db_handle *h, QK_int64 *pTxid);
/* A package a client got wrong (a malformed row id, a change of a version the server never
 * had, ...): qklib 400, answered 400 with its text. */
#define TAV_ERR_MALFORMED_PACKAGE QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400)
/* A push whose rstamp a transaction already holds: a copy of the push applied before, maybe
 * while this one ran. The caller undoes its transaction and answers as to a repeated push. */
#define TAV_ERR_PUSH_ALREADY_APPLIED QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 313)
/* The same; with an rstamp (opt) the transaction records it and gets a fresh rebaseid. Before
 * that the rstamp is looked up under an update lock held to the end of the transaction, so of
 * two copies of one push the later waits for the first and then fails with
 * TAV_ERR_PUSH_ALREADY_APPLIED. */
void tav_db_mssql__get_tx_id(QK_context *ctx, tav_db_handle *h, const QK_uint8 *pRstamp16, QK_int64 *pi);

/* ---- Statement helpers shared by the store ---- */

/* Moves to the first result set that has columns (batches may open with column-less ones);
 * *pbHas 0 when there is none. */
void tav_db_mssql__seek_first_result(QK_context *ctx, SQLHSTMT hStmt, int *pbHas);
/* Leaves the current result set, unread rows and all, for the next one that has columns;
 * *pbHas 0 when the batch has no more. */
void tav_db_mssql__next_result(QK_context *ctx, SQLHSTMT hStmt, int *pbHas);
/* Prepares and runs pszSql and moves to its first result set (seek_first_result); the caller
 * fetches its rows and frees *phStmt, also on failure. */
void tav_db_mssql__open_query(QK_context *ctx, QK_mssql_connection *conn, const char *pszSql, SQLHSTMT *phStmt,
                              int *pbHas);
/* The same sent as it stands, without parameters: the session settings waiting for the
 * connection's next batch go with it, and its SET statements and #temp tables outlive it. */
void tav_db_mssql__open_direct_query(QK_context *ctx, QK_mssql_connection *conn, const char *pszSql,
                                     SQLHSTMT *phStmt, int *pbHas);
/* Fetches every further result set, after which output parameters are valid. */
void tav_db_mssql__drain_results(QK_context *ctx, SQLHSTMT hStmt);
/* Turns a deadlock on the configuration connection into a busy condition: the dbfile's
 * transaction is still open then, and the caller must roll it back before retrying. */
void tav_db_mssql__deadlock_as_busy(QK_context *ctx);

/* ---- Request log ---- */

/* One row in tavrin.log when that table exists (txid and txid_r only for configuration
 * databases of version 9 or more). */
void tav_db_mssql__log_request(QK_context *ctx, QK_mssql_connection *pConn, const char *pszUrl, QK_int64 unixTime,
                               const char *pszClientAddress, QK_int64 requestSize, QK_int64 responseSize,
                               QK_int64 status, QK_int64 elapsedMs, QK_int64 txid, QK_int64 txidR);

/* ---- Shared statement helper ---- */

/* Runs a prepared statement and fetches the first row of its first result set with columns;
 * *pbRow 0 when there is none. */
void tav_db_mssql__execute_and_fetch(QK_context *ctx, SQLHSTMT hStmt, int *pbRow);

/* Table ids go into object names as the decimal text of the parsed 32-bit number, so only
 * digits ever reach statement text: the text into a buffer of TAV_TABLE_ID_SZ_SIZE bytes.
 * Anything else fails with the integer-parsing error. */
#define TAV_TABLE_ID_SZ_SIZE 12
void tav_db_mssql__table_id_text(QK_context *ctx, const char *pszTblId, char *pszOut);

/* ---- The operations table ---- */

/* The store's operations, for the sync engine and the host. */
extern const tav_backend_ops g_mssql_backend_ops;

#endif

/* Reading a pushed package: its version, the client's baseline, whether the push was applied
 * before, adapting it to the server (schema, generation form, identity values), bringing back
 * rolled-back client data, the permission check of its operations and the apply, all under
 * the deadlock retry rule. Every change to the package stays inside its SQLite transaction and
 * is rolled back, so the file stays as the client sent it. */
#include <stdio.h>
#include <string.h>

#include "common/tav_filter.h"
#include "common/tav_parse_defin_query.h"
#include "common/tav_sql_quote.h"
#include "common/tav_utils.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts_identity.h"
#include "server/tav_handle_conflicts_push.h"
#include "server/tav_handle_conflicts_recover.h"
#include "server/tav_handle_conflicts_resolve.h"
#include "server/tav_respond_pull.h"
#include "server/tav_respond_push.h"

static const char TABLE_EXISTS_TX_SQL[] = "SELECT EXISTS(SELECT 1 FROM sqlite_master WHERE type='table' and tbl_name='p$tx')";
static const char TABLE_EXISTS_GEN_SQL[] =
    "SELECT EXISTS(SELECT 1 FROM sqlite_master WHERE type='table' and tbl_name='p$gen')";
static const char TX_VERSION_SQL[] = "SELECT scheme FROM p$tx WHERE txid=0";
static const char GEN_HEADER_SQL[] = "SELECT id FROM p$gen WHERE generation=0";
static const char FIRST_GEN_SQL[] = "SELECT generation, id FROM p$gen WHERE generation > 0 ORDER BY generation ASC LIMIT 1";
static const char SECOND_GEN_SQL[] =
    "SELECT generation, id FROM p$gen WHERE generation > 0 ORDER BY generation ASC LIMIT 1 OFFSET 1";
static const char TX_BASELINE_SQL[] = "SELECT rstamp FROM p$tx WHERE txid=0";
static const char OLD_BASELINE_SQL[] = "SELECT txid, rstamp, rebaseid FROM p$tx WHERE scheme='last_sync_txid'";
static const char TX_STAMP_SQL[] = "SELECT rstamp FROM p$tx WHERE scheme ISNULL";
static const char GEN_STAMP_SQL[] = "SELECT id FROM p$gen WHERE generation = -2";
static const char CLIENT_SCHEMA_SQL[] = "SELECT scheme FROM p$tx WHERE txid=-1";
/* The tables a client may not push: those only the server writes into packages (audit rows,
 * identity maps, the row versions and schema of download packages). Names compare as SQLite
 * resolves them, without regard to case. */
static const char SERVER_ONLY_TABLE_SQL[] =
    "SELECT name FROM sqlite_master WHERE type = 'table' AND (lower(name) IN ('p$audit', 'p$s') OR "
    "lower(substr(name, 1, 6)) = 'p$ipk$' OR lower(substr(name, 1, 5)) = 'p$rv$') LIMIT 1";
static const char CENSUS_ADD_SQL[] =
    "SELECT EXISTS (SELECT 1 FROM \"p$rd$%s\" WHERE (txid_rec_del IS NULL) AND (txid_rec_add IS NOT NULL))";
static const char CENSUS_UPDATE_SQL[] =
    "SELECT EXISTS (SELECT 1 FROM \"p$rd$%s\" WHERE (txid_rec_del IS NOT NULL) AND (txid_rec_add IS NOT NULL))";
static const char CENSUS_DELETE_SQL[] =
    "SELECT EXISTS (SELECT 1 FROM \"p$rd$%s\" WHERE (txid_rec_del IS NOT NULL) AND (txid_rec_add IS NULL))";

static const char TEXT_NO_IDENTITY_INFO[] = "The package was missing IDENTITY column information.";
static const char TEXT_NO_REPORT_PERMISSION[] =
    "User does not have permission to report rolled back data to Tavrin housekeeping.";
static const char TEXT_NO_RECOVER_PERMISSION[] =
    "User does not have permission to recover rolled back data to the host tables.";
static const char TEXT_RECOVERY_REJECTED[] =
    "Recovery of rolled back data was prevented by conflict resolution. One or more operations were rejected by "
    "the current conflict resolution rules.";
static const char TEXT_RECOVERY_PURGED[] = "Recovery of rolled back data failed due to purged data.";

/* Retries of one push before it counts as busy. */
#define PUSH_MAX_RETRIES 10

/* ---- Census ---- */

void tav_respond__census_package_ops(QK_context *ctx, tav_defin *defin, sqlite3 *db, QK_varray **ppCensus) {
  static const struct {
    const char *sql;
    const char *op;
  } kinds[] = {{CENSUS_ADD_SQL, "tbl_add_row"}, {CENSUS_UPDATE_SQL, "tbl_update_row"},
               {CENSUS_DELETE_SQL, "tbl_delete_row"}};
  sqlite3_stmt *pExists = NULL;
  QK_varray *pCensus = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, ppCensus);
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pExists, "%s", TAV_PKG_TABLE_EXISTS_SQL));
  QK_TRY(ctx, QK_varray__alloc(ctx, &pCensus));
  QK_TRY(ctx, tav_defin__count_tables(ctx, defin, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *tbl_id = NULL;
    int bExists = 0;
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, defin, (int)i, &tbl_id));
    QK_TRY(ctx, tav_pkg__table_exists(ctx, pExists, TAV_PKG_ROWS_PREFIX, tbl_id, &bExists));
    if (!bExists) continue;
    QK_TRY(ctx, tav_pkg__table_exists(ctx, pExists, TAV_PKG_ROW_DELTAS_PREFIX, tbl_id, &bExists));
    if (!bExists)
      QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "Malformed package. Table %s has rows but no row deltas.", tbl_id);
    for (size_t k = 0; k < sizeof kinds / sizeof kinds[0]; k++) {
      int bAny = 0;
      QK_vhash *pEntry = NULL;
      QK_TRY(ctx, QK_sqlite__one_bool(ctx, db, &bAny, kinds[k].sql, tbl_id));
      if (!bAny) continue;
      QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, pCensus, &pEntry));
      QK_TRY(ctx, QK_vhash__add__string(ctx, pEntry, "op", kinds[k].op));
      QK_TRY(ctx, QK_vhash__add__string(ctx, pEntry, "tbl", tbl_id));
    }
  }
  *ppCensus = pCensus;
  pCensus = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pExists));
  QK_RELEASE(ctx, QK_varray__free(ctx, pCensus));
}

/* ---- Reading and applying ---- */

/* Everything one read of a pushed package works with; lives for one call. */
typedef struct push_read {
  const tav_backend_ops *ops;
  tav_db_handle *h;
  const QK_varray *pAcl;
  const tav_user_identity *pIdentity;
  QK_int64 fid;
  tav_pkg *pkg;
  int pv;
  QK_vhash *pHeader; /* version 6: the generation-0 header document */
  tav_defin *defin;
  tav_filter *filter;
  struct tav_recovery_set *recovery_set;
  int bTxOpen;
  int bRecoveryCommitted;
  int bRecoverySetAside; /* failed under action 4: the push goes on without it */
  int bRecoveryInProgress;
  int recoveryAction;
  int bMayReport;
  int bRowsChecked; /* the row tables' names, internal columns and row ids were found sound */
  const char *pszCodeText; /* the text that goes with a protocol code */
  /* outputs */
  int *pOutcome;
  int *pProtocolCode;
  int *pbBaselineMissing;
  QK_int64 *pBaselinePosition;
  QK_int64 *pTxid;
  QK_int64 *pTxidR;
} push_read;

/* One row of a statement that must give one; none means the client's package lacks it. */
static void step_required(QK_context *ctx, sqlite3_stmt *pStmt, const char *pszMissing) {
  int bRow = 0;
  QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
  if (!bRow) QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, pszMissing);
done:;
}

static void read_stamp_column(QK_context *ctx, sqlite3_stmt *pStmt, int col, QK_uint8 *pStamp) {
  if (sqlite3_column_type(pStmt, col) == SQLITE_NULL) {
    QK_guid__clear(pStamp);
    return;
  }
  if (sqlite3_column_bytes(pStmt, col) != 16)
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "invalid rstamp in pushed package (%d bytes)",
                 sqlite3_column_bytes(pStmt, col));
  memcpy(pStamp, sqlite3_column_blob(pStmt, col), 16);
done:;
}

/* A generation or txid of the package's header: a number no server could have is refused
 * before anything counts with it. */
static void check_header_number(QK_context *ctx, QK_int64 value, const char *pszWhat) {
  if (!tav_client_number__in_range(value))
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "Invalid package. The %s is out of range: %lld", pszWhat,
                 (long long)value);
done:;
}

static void read_version(QK_context *ctx, push_read *st) {
  sqlite3 *db = st->pkg->db;
  sqlite3_stmt *pStmt = NULL;
  QK_variant *pPv = NULL;
  QK_int64 version = 0;
  int bTx = 0, bGen = 0, bRow = 0;
  QK_TRY(ctx, QK_sqlite__one_bool(ctx, db, &bTx, "%s", TABLE_EXISTS_TX_SQL));
  if (!bTx) QK_TRY(ctx, QK_sqlite__one_bool(ctx, db, &bGen, "%s", TABLE_EXISTS_GEN_SQL));
  /* Neither header table: no version either. */
  if (bTx || bGen) {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", bTx ? TX_VERSION_SQL : GEN_HEADER_SQL));
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
  }
  /* No header row leaves version 0; the whole 64-bit value is checked, not its low bits. */
  if (bRow && bTx) version = sqlite3_column_int64(pStmt, 0);
  if (bRow && !bTx) {
    const char *pszHeader = (const char *)sqlite3_column_text(pStmt, 0);
    if (pszHeader == NULL)
      QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Invalid package. The generation-0 header is empty.");
    QK_vhash__alloc__from_json(ctx, &st->pHeader, pszHeader);
    if (QK_context__has_error(ctx)) {
      QK_context__reset_error(ctx);
      QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Invalid package. The generation-0 header is not a JSON object.");
    }
    QK_TRY(ctx, QK_vhash__check__variant(ctx, st->pHeader, "pv", &pPv));
    if (pPv != NULL && pPv->type == QK_VARIANT_TYPE_INT64) version = pPv->u.i64;
  }
  if (version != (int)version || !is_valid_pkg_version((int)version))
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "invalid package version: %lld", (long long)version);
  st->pv = (int)version;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* A package that holds a table only the server writes is refused before anything is applied:
 * the server would take its rows (its audit rows above all) for its own. */
static void refuse_server_only_tables(QK_context *ctx, sqlite3 *db) {
  sqlite3_stmt *pStmt = NULL;
  int bRow = 0;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", SERVER_ONLY_TABLE_SQL));
  QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
  if (bRow)
    QK_THROW_FMT(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400),
                 "Invalid package. A pushed package may not hold the table \"%s\".",
                 (const char *)sqlite3_column_text(pStmt, 0));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* ---- What a client can get wrong in its rows ----
 * The package is the client's input: what the server cannot take from it is refused with 400
 * naming the fault, before anything is looked up or applied, and never left to the statement
 * (an identity look-up, a squash, SQL Server itself) that would trip over it. */

/* The tables of the package that carry rows, matched without regard to case as SQLite
 * resolves names. */
static const char ROW_TABLES_SQL[] =
    "SELECT name FROM sqlite_master WHERE type = 'table' AND (lower(substr(name, 1, 4)) = 'p$u$' OR "
    "lower(substr(name, 1, 5)) = 'p$rd$' OR lower(name) = 'p$ipk') ORDER BY name";
/* Rows of transaction form that the import keeps (it drops those before the first txid),
 * and every other row, whose row id is no 16-byte value. A version-6 marker row (generations
 * -1, a text row id) names no row. */
static const char BAD_TX_ROW_ID_SQL[] =
    "SELECT length(CAST(z_rid AS BLOB)) FROM \"%s\" WHERE (z_txid >= 1) IS NOT 0 AND "
    "(z_rid IS NULL OR length(CAST(z_rid AS BLOB)) <> 16) LIMIT 1";
static const char BAD_GEN_ROW_ID_SQL[] =
    "SELECT length(CAST(z_rid AS BLOB)) FROM \"%s\" WHERE NOT (z_gen_del IS -1 AND z_gen_add IS -1 AND "
    "typeof(z_rid) = 'text') AND (z_rid IS NULL OR length(CAST(z_rid AS BLOB)) <> 16) LIMIT 1";
static const char BAD_DELTA_ROW_ID_SQL[] =
    "SELECT length(CAST(rid AS BLOB)) FROM \"%s\" WHERE rid IS NULL OR length(CAST(rid AS BLOB)) <> 16 LIMIT 1";
/* An identity entry without a row id names no row; one with a row id names it whole. */
static const char BAD_IDENTITY_ROW_ID_SQL[] =
    "SELECT length(CAST(rid AS BLOB)) FROM \"%s\" WHERE length(CAST(rid AS BLOB)) NOT IN (0, 16) LIMIT 1";

typedef enum { ROW_TABLE_ROWS, ROW_TABLE_DELTAS, ROW_TABLE_IDENTITIES } row_table_kind;

/* The kind of a row table and its table id (empty for p$ipk); a name not written exactly as
 * the server names package tables ("p$u$" or "p$rd$" and a table id in digits) is refused:
 * every reader builds the name again from the id and must find the same table. */
static void parse_row_table_name(QK_context *ctx, const char *pszName, row_table_kind *pKind, const char **ppszId) {
  const char *pszId = NULL;
  if (strcmp(pszName, "p$ipk") == 0) {
    *pKind = ROW_TABLE_IDENTITIES;
    *ppszId = pszName + strlen(pszName);
    return;
  }
  if (strncmp(pszName, TAV_PKG_ROWS_PREFIX, strlen(TAV_PKG_ROWS_PREFIX)) == 0) {
    *pKind = ROW_TABLE_ROWS;
    pszId = pszName + strlen(TAV_PKG_ROWS_PREFIX);
  } else if (strncmp(pszName, TAV_PKG_ROW_DELTAS_PREFIX, strlen(TAV_PKG_ROW_DELTAS_PREFIX)) == 0) {
    *pKind = ROW_TABLE_DELTAS;
    pszId = pszName + strlen(TAV_PKG_ROW_DELTAS_PREFIX);
  }
  if (pszId == NULL || *pszId == '\0' || strspn(pszId, "0123456789") != strlen(pszId))
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                 "Invalid package. The table \"%s\" is named as no package table is (\"p$u$\" or \"p$rd$\" and a "
                 "table id).",
                 pszName);
  *ppszId = pszId;
done:;
}

/* The internal columns every reader of the table takes for granted. */
static void check_internal_columns(QK_context *ctx, sqlite3 *db, const char *pszTable, row_table_kind kind, int pv) {
  static const char *const txRows[] = {"z_rid", "z_txid", NULL};
  static const char *const genRows[] = {"z_rid", "z_gen_del", "z_gen_add", NULL};
  static const char *const deltas[] = {"rid", "txid_rec_add", "txid_rec_del", "txid", NULL};
  static const char *const identities[] = {"rid", "ipk", "tbl", NULL};
  const char *const *columns = kind == ROW_TABLE_DELTAS       ? deltas
                               : kind == ROW_TABLE_IDENTITIES ? identities
                               : pv == 6                      ? genRows
                                                              : txRows;
  int bHas = 0;
  for (; *columns != NULL; columns++) {
    QK_TRY(ctx, QK_sqlite__table_has_column(ctx, db, pszTable, *columns, &bHas));
    if (!bHas)
      QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "Invalid package. The table \"%s\" has no column %s.", pszTable,
                   *columns);
  }
  /* The server gives a version-6 row table its transaction column when it converts it. */
  if (kind == ROW_TABLE_ROWS && pv == 6) QK_TRY(ctx, QK_sqlite__table_has_column(ctx, db, pszTable, "z_txid", &bHas));
  if (kind == ROW_TABLE_ROWS && pv == 6 && bHas)
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                 "Invalid package. The table \"%s\" of a package of version 6 has the column z_txid.", pszTable);
done:;
}

/* Runs a one-row query on the table (its name in every %s); *pbRow when it gave a row. */
static void find_fault(QK_context *ctx, sqlite3 *db, const char *pszSql, const char *pszTable, sqlite3_stmt **ppStmt,
                       int *pbRow) {
  QK_TRY(ctx, QK_sqlite__finalize(ctx, ppStmt));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, ppStmt, pszSql, pszTable));
  QK_TRY(ctx, QK_sqlite__step_row(ctx, *ppStmt, pbRow));
done:;
}

static void check_row_table(QK_context *ctx, sqlite3 *db, const char *pszTable, row_table_kind kind, int pv) {
  sqlite3_stmt *pStmt = NULL;
  const char *pszSql = NULL;
  int bRow = 0;
  if (kind == ROW_TABLE_DELTAS && pv == 6)
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                 "Invalid package. A package of version 6 has no row-delta table such as \"%s\".", pszTable);
  /* Version 6 has no identity entries of its own: such a table is never read. */
  if (kind == ROW_TABLE_IDENTITIES && pv == 6) goto done;
  QK_TRY(ctx, check_internal_columns(ctx, db, pszTable, kind, pv));
  pszSql = kind == ROW_TABLE_DELTAS       ? BAD_DELTA_ROW_ID_SQL
           : kind == ROW_TABLE_IDENTITIES ? BAD_IDENTITY_ROW_ID_SQL
           : pv == 6                      ? BAD_GEN_ROW_ID_SQL
                                          : BAD_TX_ROW_ID_SQL;
  QK_TRY(ctx, find_fault(ctx, db, pszSql, pszTable, &pStmt, &bRow));
  if (bRow && sqlite3_column_type(pStmt, 0) == SQLITE_NULL)
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "Malformed package. The table \"%s\" holds a row without a row id.",
                 pszTable);
  if (bRow)
    QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                 "Malformed package. The table \"%s\" holds a row id of length %d; a row id is 16 bytes.", pszTable,
                 sqlite3_column_int(pStmt, 0));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* The names of the row tables, read to the end before any of them is looked at. */
static void list_row_tables(QK_context *ctx, sqlite3 *db, QK_varray **ppNames) {
  sqlite3_stmt *pTables = NULL;
  QK_varray *pNames = NULL;
  int bRow = 0;
  QK_TRY(ctx, QK_varray__alloc(ctx, &pNames));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pTables, "%s", ROW_TABLES_SQL));
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pTables, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_varray__append__string(ctx, pNames, (const char *)sqlite3_column_text(pTables, 0)));
  }
  *ppNames = pNames;
  pNames = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pTables));
  QK_RELEASE(ctx, QK_varray__free(ctx, pNames));
}

/* Names, internal columns and row ids of every table that carries rows. */
static void refuse_malformed_rows(QK_context *ctx, sqlite3 *db, int pv) {
  QK_varray *pNames = NULL;
  QK_uint32 count = 0;
  QK_TRY(ctx, list_row_tables(ctx, db, &pNames));
  QK_TRY(ctx, QK_varray__count(ctx, pNames, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszName = NULL, *pszId = NULL;
    row_table_kind kind = ROW_TABLE_ROWS;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pNames, i, &pszName));
    QK_TRY(ctx, parse_row_table_name(ctx, pszName, &kind, &pszId));
    QK_TRY(ctx, check_row_table(ctx, db, pszName, kind, pv));
  }
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pNames));
}

/* Version 6 tells a deletion by a row without values: a row without its key but with other
 * values is neither deletion nor change (taken as a deletion, the client's change would remove
 * the row). Tables the client knows under other names are left to the schema adaptation. */
static void refuse_rows_without_key(QK_context *ctx, push_read *st) {
  QK_vhash *pColumns = NULL;
  QK_string *pSql = NULL;
  sqlite3_stmt *pStmt = NULL;
  QK_uint32 count = 0;
  QK_TRY(ctx, tav_defin__count_tables(ctx, st->defin, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszId = NULL, *pszKey = NULL;
    char szTable[64];
    QK_uint32 columns = 0;
    int bExists = 0, bHasKey = 0, bRow = 0, nOthers = 0;
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, st->defin, (int)i, &pszId));
    snprintf(szTable, sizeof szTable, "%s%s", TAV_PKG_ROWS_PREFIX, pszId);
    QK_TRY(ctx, QK_sqlite__one_bool(ctx, st->pkg->db, &bExists,
                                    "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = '%s')",
                                    szTable));
    if (!bExists) continue;
    QK_TRY(ctx, tav_defin__get_key_column_at(ctx, st->defin, pszId, 0, NULL, &pszKey));
    QK_TRY(ctx, QK_sqlite__table_has_column(ctx, st->pkg->db, szTable, pszKey, &bHasKey));
    if (!bHasKey) continue;
    QK_TRY(ctx, QK_vhash__free(ctx, pColumns));
    pColumns = NULL;
    QK_TRY(ctx, tav_pkg__get_table_columns(ctx, st->pkg->db, pszId, &pColumns));
    QK_TRY(ctx, QK_string__free(ctx, pSql));
    pSql = NULL;
    QK_TRY(ctx, QK_string__alloc(ctx, &pSql));
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, "SELECT hex(z_rid) FROM \"%s\" WHERE ", szTable));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pSql, pszKey));
    QK_TRY(ctx, QK_string__append__sz(ctx, pSql, " IS NULL AND ("));
    QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &columns));
    for (QK_uint32 c = 0; c < columns; c++) {
      const char *pszColumn = NULL;
      QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumns, c, &pszColumn, NULL));
      if (QK_stricmp(pszColumn, pszKey) == 0) continue;
      if (nOthers++ > 0) QK_TRY(ctx, QK_string__append__sz(ctx, pSql, " OR "));
      QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pSql, pszColumn));
      QK_TRY(ctx, QK_string__append__sz(ctx, pSql, " IS NOT NULL"));
    }
    if (nOthers == 0) continue;
    QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ") LIMIT 1"));
    QK_TRY(ctx, QK_sqlite__finalize(ctx, &pStmt));
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, st->pkg->db, &pStmt, "%s", QK_string__sz(pSql)));
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
    if (bRow)
      QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                   "Malformed package. The table \"%s\" holds row id %s without a value of its key column \"%s\" "
                   "but with other values: a deletion has no values, a change has its key.",
                   szTable, (const char *)sqlite3_column_text(pStmt, 0), pszKey);
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pColumns));
}

/* After the schema changes were resolved every table and column the package still names must
 * be the server's: a client without a schema of its own claims to hold the server's. */
static void refuse_unknown_tables_and_columns(QK_context *ctx, push_read *st) {
  QK_varray *pNames = NULL;
  QK_vhash *pColumns = NULL;
  QK_uint32 count = 0;
  QK_TRY(ctx, list_row_tables(ctx, st->pkg->db, &pNames));
  QK_TRY(ctx, QK_varray__count(ctx, pNames, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszName = NULL, *pszId = NULL;
    row_table_kind kind = ROW_TABLE_ROWS;
    QK_uint32 columns = 0;
    int bHas = 0;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pNames, i, &pszName));
    QK_TRY(ctx, parse_row_table_name(ctx, pszName, &kind, &pszId));
    if (kind == ROW_TABLE_IDENTITIES) continue;
    QK_TRY(ctx, tav_defin__has_table(ctx, st->defin, pszId, &bHas));
    if (!bHas)
      QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                   "Invalid package. The table \"%s\" names table id '%s', which the server does not synchronise.",
                   pszName, pszId);
    if (kind != ROW_TABLE_ROWS) continue;
    QK_TRY(ctx, QK_vhash__free(ctx, pColumns));
    pColumns = NULL;
    QK_TRY(ctx, tav_pkg__get_table_columns(ctx, st->pkg->db, pszId, &pColumns));
    QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &columns));
    for (QK_uint32 c = 0; c < columns; c++) {
      const char *pszColumn = NULL, *pszColId = NULL;
      QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumns, c, &pszColumn, NULL));
      QK_TRY(ctx, tav_defin__get_column_id(ctx, st->defin, pszId, pszColumn, &pszColId));
      if (pszColId == NULL)
        QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                     "Invalid package. The table \"%s\" has the column \"%s\", which table id '%s' does not have "
                     "on the server.",
                     pszName, pszColumn, pszId);
    }
  }
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pNames));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pColumns));
}

/* The client's baseline: known, the generation it belongs to and the history purge
 * generation. With pStamp (version 6 only) whether the push's own stamp was applied before
 * comes in the same batch. *pbEnd when the operation ends here. */
static void check_baseline(QK_context *ctx, push_read *st, const QK_uint8 *pStamp, int *pbStampApplied, int *pbEnd) {
  sqlite3 *db = st->pkg->db;
  sqlite3_stmt *pStmt = NULL;
  tav_baseline parsed = {};
  QK_int64 g = 0, purge = -1, count = 0;
  int bKnown = 0;
  if (st->pv == 6) {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", FIRST_GEN_SQL));
    QK_TRY(ctx, step_required(ctx, pStmt, "Invalid package. No baseline generation specified."));
    g = sqlite3_column_int64(pStmt, 0);
    QK_TRY(ctx, check_header_number(ctx, g, "baseline generation"));
    QK_TRY(ctx, st->ops->generation_exists(ctx, st->h, g, sqlite3_column_int64(pStmt, 1), &bKnown, &purge, pStamp,
                                           pbStampApplied));
    *st->pBaselinePosition = g;
  } else if (st->pv >= 4) {
    const char *pszBaseline = NULL;
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", TX_BASELINE_SQL));
    QK_TRY(ctx, step_required(ctx, pStmt, "Invalid package. No baseline specified."));
    pszBaseline = (const char *)sqlite3_column_text(pStmt, 0);
    if (pszBaseline == NULL) QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Invalid package. No baseline specified.");
    tav_respond__parse_baseline(ctx, pszBaseline, &parsed);
    if (QK_context__error_equals(ctx, TAV_ERR_NUMBER_OUT_OF_RANGE))
      QK_context__replace_error(ctx, TAV_ERR_MALFORMED_PACKAGE, __FILE__, __LINE__);
    QK_CHECK(ctx);
    QK_TRY(ctx, tav_baseline__free_collections(ctx, &parsed));
    QK_TRY(ctx, st->ops->find_tx_by_rstamp(ctx, st->h, parsed.rstamp, parsed.rebaseid, parsed.txid, &bKnown, &g,
                                           &count, &purge));
    *st->pBaselinePosition = parsed.txid;
  } else {
    QK_uint8 rstamp[16];
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", OLD_BASELINE_SQL));
    QK_TRY(ctx, step_required(ctx, pStmt, "Invalid package. No 'last_sync_txid' baseline specified."));
    QK_TRY(ctx, check_header_number(ctx, sqlite3_column_int64(pStmt, 0), "baseline txid"));
    QK_TRY(ctx, read_stamp_column(ctx, pStmt, 1, rstamp));
    QK_TRY(ctx, st->ops->find_tx_by_rstamp(ctx, st->h, rstamp, sqlite3_column_int64(pStmt, 2), 0, &bKnown, &g,
                                           &count, &purge));
    *st->pBaselinePosition = sqlite3_column_int64(pStmt, 0);
  }
  if (g <= purge) {
    int action = 0;
    QK_TRY(ctx, st->ops->get_dbfile_rule(ctx, st->h, TAV_DBFILE_SITUATION_BASELINE_PURGED, &action, NULL));
    if (action == 0 || action == 6) {
      *st->pProtocolCode = TAV_PROTO_PURGED;
      *st->pOutcome = TAV_PUSH_OUTCOME_PURGED_REFUSED;
    } else {
      *st->pOutcome = TAV_PUSH_OUTCOME_PURGED_DROPPED;
    }
    *pbEnd = 1;
  } else if (!bKnown) {
    *st->pbBaselineMissing = 1;
    *pbEnd = 1;
  }
done:
  QK_RELEASE(ctx, tav_baseline__free_collections(ctx, &parsed));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* The push's own stamp (all zero for a version-6 package without one); *pbHasRow whether the
 * package names one at all. */
static void read_push_stamp(QK_context *ctx, push_read *st, QK_uint8 *pStamp, int *pbHasRow) {
  sqlite3_stmt *pStmt = NULL;
  int bSecond = 0;
  QK_guid__clear(pStamp);
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, st->pkg->db, &pStmt, "%s", st->pv == 6 ? GEN_STAMP_SQL : TX_STAMP_SQL));
  QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, pbHasRow));
  if (!*pbHasRow) {
    if (st->pv != 6) QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "No rstamp specified for pushed tx.");
    goto done;
  }
  QK_TRY(ctx, read_stamp_column(ctx, pStmt, 0, pStamp));
  QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bSecond));
  if (bSecond)
    QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Invalid package. More than one rstamp specified for the pushed tx.");
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* Schema changes the server made since the client's schema. */
static void adapt_to_schema(QK_context *ctx, push_read *st) {
  sqlite3_stmt *pStmt = NULL;
  QK_vhash *pParsed = NULL;
  QK_vhash *pSchema = NULL;
  int bRow = 0;
  if (st->pv == 6) {
    QK_variant *pValue = NULL;
    if (st->pHeader != NULL) QK_TRY(ctx, QK_vhash__check__variant(ctx, st->pHeader, "schema", &pValue));
    if (pValue != NULL && pValue->type != QK_VARIANT_TYPE_VHASH)
      QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Invalid package. The header's \"schema\" is not a JSON object.");
    if (pValue != NULL) pSchema = pValue->u.pvh;
  } else {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, st->pkg->db, &pStmt, "%s", CLIENT_SCHEMA_SQL));
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
    if (bRow) {
      const char *pszSchema = (const char *)sqlite3_column_text(pStmt, 0);
      if (pszSchema != NULL) QK_vhash__alloc__from_json(ctx, &pParsed, pszSchema);
      if (QK_context__has_error(ctx) || pszSchema == NULL) {
        QK_context__reset_error(ctx);
        QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Invalid package. The client's schema is not a JSON object.");
      }
      pSchema = pParsed;
    }
  }
  if (pSchema != NULL) {
    tav_push__resolve_schema_changes(ctx, st->pkg->db, st->defin, pSchema);
    /* Members missing from the client's schema, or of the wrong type. */
    if (QK_context__error_equals(ctx, QK_ERR_VHASH_KEY_NOT_FOUND) ||
        QK_context__error_equals(ctx, QK_ERR_VARIANT_INVALID_TYPE)) {
      QK_context__replace_error(ctx, TAV_ERR_MALFORMED_PACKAGE, __FILE__, __LINE__);
      tav_err__prefix_message(ctx, "Invalid package. The client's schema is malformed");
    }
    QK_CHECK(ctx);
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pParsed));
}

static void begin(QK_context *ctx, push_read *st) {
  QK_TRY(ctx, st->ops->begin_tx(ctx, st->h, NULL));
  st->bTxOpen = 1;
done:;
}

static void commit(QK_context *ctx, push_read *st) {
  QK_TRY(ctx, st->ops->commit_tx(ctx, st->h));
  st->bTxOpen = 0;
done:;
}

static void rollback(QK_context *ctx, push_read *st) {
  st->bTxOpen = 0;
  QK_TRY(ctx, st->ops->rollback_tx(ctx, st->h));
done:;
}

static void refuse(push_read *st, int code, const char *text) {
  *st->pProtocolCode = code;
  st->pszCodeText = text;
}

/* The recovery set is the store's staging document. */
static void free_recovery_set(QK_context *ctx, struct tav_recovery_set **ppSet) {
  QK_vhash__free(ctx, reinterpret_cast<QK_vhash *>(*ppSet));
  *ppSet = NULL;
}

static int is_constraint_error(QK_context *ctx) {
  return QK_context__error_equals(ctx, QK_ERR_MSSQL_DUPLICATE_KEY) ||
         QK_context__error_equals(ctx, QK_ERR_MSSQL_CHECK_CONSTRAINT) ||
         QK_context__error_equals(ctx, QK_ERR_MSSQL_FOREIGN_KEY) || QK_context__error_equals(ctx, QK_ERR_MSSQL_CONSTRAINT);
}

/* Brings back the client's rolled-back timeline (generation 6 with a second known
 * generation). *pbEnd when the operation ends here. */
static void recover(QK_context *ctx, push_read *st, QK_int64 g2, QK_int64 id2, int *pbEnd) {
  QK_int64 purge = 0;
  char *pszExtra = NULL;
  int bExists = 0, bMayRecover = 0, bNewData = 0, bProbe = 0, bRejected = 0, bPurged = 0;
  QK_TRY(ctx, st->ops->generation_exists(ctx, st->h, g2, id2, &bExists, &purge, NULL, NULL));
  if (bExists)
    QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Cannot recover data that was not rolled back.");
  QK_TRY(ctx, tav_respond__check_dbfile_permission(ctx, "report_rollback_data", st->pAcl, st->pIdentity,
                                                   &st->bMayReport));
  QK_TRY(ctx, tav_respond__check_dbfile_permission(ctx, "recover_rollback_data", st->pAcl, st->pIdentity,
                                                   &bMayRecover));
  QK_TRY(ctx, st->ops->get_dbfile_rule(ctx, st->h, TAV_DBFILE_SITUATION_RECOVERY_FAILED, &st->recoveryAction,
                                       &pszExtra));
  st->bRecoveryInProgress = 1;
  QK_TRY(ctx, free_recovery_set(ctx, &st->recovery_set));
  QK_TRY(ctx, begin(ctx, st));
  QK_TRY(ctx, st->ops->record_recovery_timeline(ctx, st->h, st->defin, st->pkg->db, st->bMayReport ? NULL : &bNewData,
                                                &st->recovery_set));
  if (bNewData) {
    refuse(st, TAV_PROTO_NO_PERMISSION, TEXT_NO_REPORT_PERMISSION);
    *pbEnd = 1;
    goto done;
  }
  QK_TRY(ctx, commit(ctx, st));
  QK_TRY(ctx, begin(ctx, st));
  QK_TRY(ctx, tav_push__recover(ctx, st->ops, st->h, st->defin, st->filter, st->recovery_set, st->pkg->db,
                                bMayRecover ? NULL : &bProbe, &bRejected, &bPurged, st->pTxidR));
  if (bProbe || bRejected || bPurged) {
    QK_TRY(ctx, rollback(ctx, st));
    if (bProbe)
      refuse(st, TAV_PROTO_NO_PERMISSION, TEXT_NO_RECOVER_PERMISSION);
    else if (bRejected)
      refuse(st, TAV_PROTO_REJECTED, TEXT_RECOVERY_REJECTED);
    else
      refuse(st, TAV_PROTO_PURGED, TEXT_RECOVERY_PURGED);
    *pbEnd = 1;
    goto done;
  }
  QK_TRY(ctx, commit(ctx, st));
  st->bRecoveryInProgress = 0;
  st->bRecoveryCommitted = 1;
  QK_TRY(ctx, tav_push__map_identity_keys(ctx, st->ops, st->h, st->defin, 0, st->pkg->db, st->pv, NULL));
done:
  QK_free(ctx, pszExtra);
}

/* Under the recovery rule's action 4, a recovery that was refused or broke a constraint is set
 * aside and the push goes on as though none had been tried: the client's own changes are still
 * applied (they are not lost to a full resend that reports them pushed). What the client sent
 * is kept for the administrators when the user may report it. Every other failure fails the
 * push as any error does. */
static int recovery_may_be_set_aside(QK_context *ctx, push_read *st) {
  if (!st->bRecoveryInProgress || st->recoveryAction != TAVRIN_ACTION_IGNORE) return 0;
  return QK_context__has_error(ctx) ? is_constraint_error(ctx) : *st->pProtocolCode != 0;
}

static void set_recovery_aside(QK_context *ctx, push_read *st, int *pbEnd) {
  QK_context__reset_error(ctx);
  *st->pProtocolCode = 0;
  st->pszCodeText = NULL;
  st->bRecoveryInProgress = 0;
  st->bRecoverySetAside = 1;
  *pbEnd = 0;
  if (st->pTxidR != NULL) *st->pTxidR = 0; /* its transaction was rolled back */
  if (st->bTxOpen) QK_TRY(ctx, rollback(ctx, st));
  if (st->bMayReport)
    QK_TRY(ctx, st->ops->dump_rows(ctx, st->h, st->pkg->path, st->pIdentity != NULL ? st->pIdentity->name : NULL));
done:;
}

/* Steps of one attempt; *pbEnd when the operation ends without the finish. */
static void attempt(QK_context *ctx, push_read *st, int *pbEnd) {
  sqlite3 *db = st->pkg->db;
  sqlite3_stmt *pStmt = NULL;
  QK_varray *pCensus = NULL;
  QK_uint8 stamp[16];
  QK_int64 filterTxid = 0;
  int bStampRow = 0, bStampRead = 0, bApplied = 0, bRefused = 0, bSecond = 0;
  *pbEnd = 0;
  if (st->pv == 6) {
    /* The stamp rides along with the baseline's look-up; a package whose stamp cannot be read
     * is refused below, after the baseline, where the stamp is read again for its error. */
    read_push_stamp(ctx, st, stamp, &bStampRow);
    bStampRead = !QK_context__has_error(ctx);
    QK_context__reset_error(ctx);
  }
  QK_TRY(ctx, check_baseline(ctx, st, bStampRead && bStampRow ? stamp : NULL, &bApplied, pbEnd));
  if (*pbEnd) goto done;

  if (!bStampRead) QK_TRY(ctx, read_push_stamp(ctx, st, stamp, &bStampRow));
  /* The rows once the header holds: before anything else reads them. */
  if (!st->bRowsChecked) QK_TRY(ctx, refuse_malformed_rows(ctx, db, st->pv));
  st->bRowsChecked = 1;
  if (bStampRow && !bStampRead) {
    QK_int64 g = 0, count = 0;
    QK_TRY(ctx, st->ops->find_tx_by_rstamp(ctx, st->h, stamp, 0, 0, &bApplied, &g, &count, NULL));
  }
  /* Applied before: the client did not see the answer of its earlier push. */
  if (bStampRow && bApplied) {
    *pbEnd = 1;
    goto done;
  }

  QK_TRY(ctx, tav_defin__free(ctx, &st->defin));
  /* Only the definition: a schema change that no export has put into a generation yet is as
   * good as any for reading the package (asking for its generation would wait for a pull). */
  QK_TRY(ctx, st->ops->fetch_schema(ctx, st->h, NULL, NULL, NULL, &st->defin));
  if (st->pv == 6) {
    int bRejected = 0;
    QK_TRY(ctx, refuse_rows_without_key(ctx, st));
    QK_TRY(ctx, st->ops->handle_baseline_purged(ctx, st->h, st->defin, db, &bRejected));
    if (bRejected) {
      refuse(st, TAV_PROTO_PURGED, NULL);
      *pbEnd = 1;
      goto done;
    }
  }
  QK_TRY(ctx, adapt_to_schema(ctx, st));
  QK_TRY(ctx, refuse_unknown_tables_and_columns(ctx, st));
  QK_TRY(ctx, tav_filter__free(ctx, &st->filter));
  QK_TRY(ctx, tav_respond__get_filter(ctx, st->ops, st->h, st->pIdentity, &st->filter, &filterTxid));
  QK_TRY(ctx, tav_push__map_identity_keys(ctx, st->ops, st->h, st->defin, st->fid, db, st->pv, &bRefused));
  if (bRefused) {
    refuse(st, TAV_PROTO_REJECTED, TEXT_NO_IDENTITY_INFO);
    *pbEnd = 1;
    goto done;
  }

  if (st->pv == 6) {
    int bRow = 0;
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", SECOND_GEN_SQL));
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
    if (!bRow && !bStampRow)
      QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE,
                   "Invalid package. No new generations or recovery generations specified.");
    if (bRow) {
      QK_int64 g2 = sqlite3_column_int64(pStmt, 0), id2 = sqlite3_column_int64(pStmt, 1);
      QK_TRY(ctx, QK_sqlite__finalize(ctx, &pStmt));
      /* A rolled-back timeline starts right after the baseline, its restore point. */
      if (g2 != *st->pBaselinePosition + 1)
        QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE,
                     "Invalid package. The rolled-back generations must follow the baseline generation %lld, "
                     "not start at %lld.",
                     (long long)*st->pBaselinePosition, (long long)g2);
      bSecond = 1;
      *st->pOutcome = TAV_PUSH_OUTCOME_RECOVERED;
      if (!st->bRecoveryCommitted && !st->bRecoverySetAside) {
        recover(ctx, st, g2, id2, pbEnd);
        if (recovery_may_be_set_aside(ctx, st)) QK_TRY(ctx, set_recovery_aside(ctx, st, pbEnd));
        QK_CHECK(ctx);
        if (*pbEnd) goto done;
      }
    }
    QK_TRY(ctx, QK_sqlite__finalize(ctx, &pStmt));
    if (bSecond && !QK_guid__is_zero(stamp)) {
      QK_TRY(ctx, tav_pkg__fold_pushed_timeline(ctx, st->defin, db));
    }
  }

  /* A version-6 push that only brings back rolled-back data applies nothing of its own. */
  if (QK_guid__is_zero(stamp)) goto done;
  {
    int bAllowed = 0, bRejected = 0, bPurged = 0, bBlocked = 0;
    QK_TRY(ctx, tav_respond__census_package_ops(ctx, st->defin, db, &pCensus));
    QK_TRY(ctx, tav_respond__check_table_permissions(ctx, st->pAcl, pCensus, st->pIdentity, &bAllowed));
    if (!bAllowed) {
      refuse(st, TAV_PROTO_NO_PERMISSION, NULL);
      *pbEnd = 1;
      goto done;
    }
    QK_TRY(ctx, begin(ctx, st));
    tav_push__apply_package(ctx, st->ops, st->h, st->defin, st->filter, stamp, db, st->pv < 6 ? st->fid : 0,
                            &bRejected, &bPurged, &bBlocked, st->pTxid);
    /* A copy of this push, sent again by a client that saw no answer, was applied since the
     * stamp was looked up: this one is answered as a repeated push, with nothing applied. */
    if (QK_context__error_equals(ctx, TAV_ERR_PUSH_ALREADY_APPLIED)) {
      QK_context__reset_error(ctx);
      QK_TRY(ctx, rollback(ctx, st));
      if (st->pTxid != NULL) *st->pTxid = 0;
      *pbEnd = 1;
      goto done;
    }
    QK_CHECK(ctx);
    if (bBlocked || bRejected || bPurged) {
      QK_TRY(ctx, rollback(ctx, st));
      refuse(st, bBlocked ? TAV_PROTO_NO_PERMISSION : bRejected ? TAV_PROTO_REJECTED : TAV_PROTO_PURGED, NULL);
      *pbEnd = 1;
      goto done;
    }
    QK_TRY(ctx, commit(ctx, st));
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_varray__free(ctx, pCensus));
}

/* Replaces the message output with the text (NULL leaves it). */
static void set_message(QK_context *ctx, QK_string **ppMessage, const char *text) {
  if (text == NULL || ppMessage == NULL) return;
  QK_RELEASE(ctx, QK_string__free(ctx, *ppMessage));
  *ppMessage = NULL;
  QK_RELEASE(ctx, QK_string__alloc__sz(ctx, ppMessage, text));
}

/* The end of the operation on every path but the finish: what a failed or refused recovery
 * becomes (under action 4 only what could not be set aside arrives here, and fails as it is). */
static void end_operation(QK_context *ctx, push_read *st, QK_string **ppMessage) {
  if (st->bTxOpen) QK_RELEASE(ctx, rollback(ctx, st));
  if (st->bRecoveryInProgress && st->recoveryAction != TAVRIN_ACTION_IGNORE) {
    if (QK_context__has_error(ctx)) {
      if (is_constraint_error(ctx))
        QK_context__replace_error(ctx, QK_ERR_SERVER_ROLLED_BACK, __FILE__, __LINE__);
    } else if (*st->pProtocolCode != 0) {
      set_message(ctx, ppMessage, st->pszCodeText);
      QK_context__throw(ctx, QK_ERR_SERVER_ROLLED_BACK, __FILE__, __LINE__);
      QK_context__set_message(ctx, "@%d", *st->pProtocolCode);
      *st->pProtocolCode = 0;
    }
  } else if (*st->pProtocolCode != 0) {
    set_message(ctx, ppMessage, st->pszCodeText);
  }
}

void tav_respond__read_pushed_package_paced(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                            const QK_varray *pAcl, const tav_user_identity *pIdentity, QK_int64 fid,
                                            tav_pkg *pkg, int *pOutcome, int *pProtocolCode, int *pPv,
                                            int *pbBaselineMissing, QK_int64 *pBaselinePosition, QK_int64 *pTxid,
                                            QK_int64 *pTxidR, QK_string **ppMessage, const tav_retry_pacing *pPacing) {
  push_read st = {};
  int retries = 0, bEnd = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pkg);
  QK_ARG_NOT_NULL(ctx, pkg->path);
  QK_ARG_NOT_NULL(ctx, pOutcome);
  QK_ARG_NOT_NULL(ctx, pProtocolCode);
  QK_ARG_NOT_NULL(ctx, pPv);
  QK_ARG_NOT_NULL(ctx, pbBaselineMissing);
  QK_ARG_NOT_NULL(ctx, pBaselinePosition);
  st.ops = ops;
  st.h = h;
  st.pAcl = pAcl;
  st.pIdentity = pIdentity;
  st.fid = fid;
  st.pkg = pkg;
  st.pOutcome = pOutcome;
  st.pProtocolCode = pProtocolCode;
  st.pbBaselineMissing = pbBaselineMissing;
  st.pBaselinePosition = pBaselinePosition;
  st.pTxid = pTxid;
  st.pTxidR = pTxidR;

  QK_TRY(ctx, QK_sqlite__open_with_key(ctx, pkg->path, NULL, SQLITE_OPEN_READWRITE, &pkg->db));
  QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "BEGIN IMMEDIATE TRANSACTION"));
  QK_TRY(ctx, read_version(ctx, &st));
  *pPv = st.pv;
  QK_TRY(ctx, refuse_server_only_tables(ctx, pkg->db));
  *pOutcome = TAV_PUSH_OUTCOME_NORMAL;

  for (;;) {
    int bDeadlock = 0;
    attempt(ctx, &st, &bEnd);
    if (!QK_context__has_error(ctx)) break;
    bDeadlock = QK_context__error_equals(ctx, QK_ERR_DEADLOCK_VICTIM);
    if (!bDeadlock && !QK_context__error_equals(ctx, QK_ERR_BUSY_RETRY)) {
      QK_context__add_frame(ctx, __FILE__, __LINE__);
      bEnd = 1;
      break;
    }
    st.bRecoveryInProgress = 0;
    if (++retries > PUSH_MAX_RETRIES) {
      QK_string *pText = NULL;
      QK_context__error_to_string(ctx, 1, &pText);
      QK_context__reset_error(ctx);
      if (ppMessage != NULL) {
        QK_string__free(ctx, *ppMessage);
        *ppMessage = pText;
      } else {
        QK_string__free(ctx, pText);
      }
      *pProtocolCode = TAV_PROTO_BUSY;
      bEnd = 1;
      break;
    }
    QK_context__reset_error(ctx);
    /* SQL Server has already rolled back the transaction of a deadlock victim. */
    if (st.bTxOpen && !bDeadlock) QK_TRY(ctx, rollback(ctx, &st));
    st.bTxOpen = 0;
    QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "ROLLBACK TRANSACTION"));
    QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "BEGIN IMMEDIATE TRANSACTION"));
    tav_respond__retry_pause(pPacing, retries);
  }
  if (bEnd) {
    end_operation(ctx, &st, ppMessage);
    goto cleanup;
  }
  QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "ROLLBACK TRANSACTION"));
  QK_TRY(ctx, QK_sqlite__close(ctx, &pkg->db));
done:
  if (st.bTxOpen) QK_RELEASE(ctx, rollback(ctx, &st));
cleanup:
  QK_RELEASE(ctx, QK_vhash__free(ctx, st.pHeader));
  QK_RELEASE(ctx, tav_filter__free(ctx, &st.filter));
  QK_RELEASE(ctx, tav_defin__free(ctx, &st.defin));
  QK_RELEASE(ctx, free_recovery_set(ctx, &st.recovery_set));
}

void tav_respond__read_pushed_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                      const QK_varray *pAcl, const tav_user_identity *pIdentity, QK_int64 fid,
                                      tav_pkg *pkg, int *pOutcome, int *pProtocolCode, int *pPv,
                                      int *pbBaselineMissing, QK_int64 *pBaselinePosition, QK_int64 *pTxid,
                                      QK_int64 *pTxidR, QK_string **ppMessage) {
  QK_TRY(ctx, tav_respond__read_pushed_package_paced(ctx, ops, h, pAcl, pIdentity, fid, pkg, pOutcome, pProtocolCode,
                                                     pPv, pbBaselineMissing, pBaselinePosition, pTxid, pTxidR,
                                                     ppMessage, NULL));
done:;
}

/* Conversion of a pushed generation package with the baseline-purged rule. */
#include "server/tav_db_mssql_baseline.h"

#include "common/tav_parse_defin_query.h"
#include "common/tav_sql_quote.h"
#include "qk/qk_hex.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_row_batch.h"
#include "server/tav_db_mssql_rules.h"
#include "server/tav_db_mssql_salvage.h"
#include "server/tav_handle_conflicts.h"

#define LOWEST_GENERATION (-9223372036854775807LL - 1)

static const char s_rstamp_known_sql[] =
    "SELECT CAST ((CASE WHEN EXISTS (SELECT * FROM tavrin.\"%s$t$tx\" WHERE (rstamp='%s')) THEN 1 ELSE 0 END) AS "
    "bit);";
static const char s_convert_table_sql[] =
    "ALTER TABLE \"p$u$%s\" ADD COLUMN z_txid INT;\n"
    "UPDATE \"p$u$%s\" SET z_txid = CASE WHEN z_gen_add = -1 THEN -1 ELSE 9223372036854775792 END;\n"
    "CREATE TABLE \"p$rd$%s\"(rid BLOB NOT NULL, txid_rec_add INT NULL, txid_rec_del INT NULL, txid INT NOT NULL, "
    "purged_flag INT NOT NULL DEFAULT 0);\n"
    "INSERT INTO \"p$rd$%s\" (rid, txid_rec_add, txid_rec_del, txid)\n"
    "  SELECT z_rid, z_gen_add, NULL, z_gen_add FROM \"p$u$%s\"\n"
    "  WHERE (z_gen_del IS NULL) AND (z_gen_add = 9223372036854775792);\n";
static const char s_changes_sql[] =
    "SELECT z_rid, CASE WHEN %s IS NULL THEN NULL ELSE z_gen_add END, z_gen_del\n"
    "FROM p$u$%s\n"
    "WHERE (z_gen_del IS NOT NULL) AND (z_gen_add = 9223372036854775792);";
/* The changes whose base the server should hold, and for all of them at once the version of
 * the row that their base generation ended with (one round trip, not one per change). */
static const char s_bases_sql[] =
    "SELECT z_rid, z_gen_del FROM p$u$%s\n"
    "WHERE (z_gen_del IS NOT NULL) AND (z_gen_add = 9223372036854775792) AND (z_gen_del > 0) AND (z_gen_del <= "
    "%lld) AND (length(z_rid) = 16);";
static const char s_bases_table_sql[] = "CREATE TABLE #%s (rid uniqueidentifier NOT NULL, generation bigint NOT NULL)";
static const char s_bases_insert_head[] = "INSERT INTO #%s (rid, generation)";
static const QK_int16 s_bases_types[] = {SQL_GUID, SQL_BIGINT};
static const char s_base_versions_sql[] =
    "SELECT b.rid, b.generation, rv.txid FROM #%s AS b\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" AS rv ON (rv.rid = b.rid)\n"
    "  INNER JOIN tavrin.\"%s$t$tx\" AS rv_tx ON (rv_tx.txid=rv.txid) AND (rv_tx.generation = b.generation)\n"
    "WHERE NOT EXISTS( SELECT * FROM tavrin.\"%s$z$dd$%s\" AS dd \n"
    "    INNER JOIN tavrin.\"%s$t$tx\" AS dd_tx ON (dd_tx.txid=dd.txid)\n"
    "    WHERE (dd.rv=rv.z_rv) AND (dd_tx.generation=rv_tx.generation) );";
static const char s_delta_insert_sql[] =
    "INSERT INTO \"p$rd$%s\" (rid, txid_rec_add, txid_rec_del, purged_flag, txid) VALUES (?, ?, ?, ?, "
    "9223372036854775792)";
/* The generation is an int64: formatted with the 64-bit conversion. */
static const char s_first_txid_sql[] =
    "DECLARE @min_txid bigint;\n"
    " SELECT @min_txid = MIN(txid) FROM tavrin.\"%s$t$tx\" WHERE(generation = %lld);\n"
    " IF(@min_txid IS NULL) SELECT @min_txid = MIN(txid) FROM tavrin.\"%s$t$tx\";\n"
    " SELECT @min_txid;";
static const char s_version_in_generation_sql[] =
    "SELECT CAST ((CASE WHEN EXISTS (SELECT * FROM tavrin.\"%s$z$rv$%s\" AS rv\n"
    "  INNER JOIN tavrin.\"%s$t$tx\" AS tx ON (tx.txid=rv.txid)\n"
    "  WHERE (rv.rid=?) AND (tx.generation=?)) THEN 1 ELSE 0 END) AS bit);";

void tav_db_mssql__version_in_generation(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                         const char *pszRid, QK_int64 generation, int *pbExists) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  QK_int64 gen = generation;
  SQLLEN indRid = 0;
  int bRow = 0, bExists = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pszRid);
  QK_ARG_NOT_NULL(ctx, pbExists);
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_version_in_generation_sql, h->name, szTbl, h->name));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, 1, pszRid, &indRid));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &gen));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  if (!bRow) QK_THROW(ctx, QK_ERR_UNSUPPORTED_SQL_RESULT);
  QK_TRY(ctx, QK_mssql__get__bit(ctx, hStmt, 1, &bExists));
  *pbExists = bExists;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* The first generation of the pending change set: the oldest of the client's newer pushes
 * that the server does not hold (-2, this push, when it holds the newest earlier one).
 * *pbKnownFound 1 when some earlier push is known. */
static void find_pending_start(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, QK_int64 *pStart,
                               int *pbKnownFound) {
  sqlite3_stmt *pGens = NULL;
  char szRstamp[QK_GUID_SZ_SIZE];
  int bRow = 0, bKnown = 0;
  *pStart = TAV_PKG_GEN_PUSH;
  *pbKnownFound = 0;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pGens,
                                        "SELECT generation, id FROM p$gen WHERE (generation < -2) ORDER BY generation "
                                        "DESC;"));
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pGens, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, tav_db_mssql__package_rid_text(ctx, pGens, 1, szRstamp));
    QK_TRY(ctx, QK_mssql__query_bool__format(ctx, h->conn, &bKnown, s_rstamp_known_sql, h->name, szRstamp));
    if (bKnown) {
      *pbKnownFound = 1;
      break;
    }
    *pStart = sqlite3_column_int64(pGens, 0);
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pGens));
}

/* Per-table work of the conversion. */
typedef struct baseline_table {
  const char *pszTblId;
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  int bRuleRead;       /* the baseline-purged rule was read for this table */
  int action;          /* that rule */
  int bDropPurged;     /* rule 4 dropped a change: later ones go too, and orphan rows are removed */
} baseline_table;

/* The key of a (row id, base generation) pair among the versions found. */
#define BASE_KEY_SIZE (QK_GUID_SZ_SIZE + 24)
static void base_key(QK_context *ctx, const char *pszRid, QK_int64 generation, char *pszKey) {
  QK_TRY(ctx, QK_sprintf_buf(ctx, pszKey, BASE_KEY_SIZE, "%s/%lld", pszRid, (long long)generation));
done:;
}

/* Into *ppBases: "<rid>/<generation>" -> the txid of the version each change's base is on the
 * server, for the changes whose base generation the server should hold. A pair with no such
 * version is absent. */
static void find_base_versions(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, baseline_table *t,
                               QK_int64 minKnownGen, QK_vhash **ppBases) {
  sqlite3_stmt *pBases = NULL;
  QK_vhash *pFound = NULL;
  QK_string *pSql = NULL;
  tav_col_collection *pBindings = NULL;
  tav_row_batch *pBatch = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT, hQuery = SQL_NULL_HSTMT;
  char szTemp[TAV_TEMP_NAME_SIZE], szRid[QK_GUID_SZ_SIZE], szKey[BASE_KEY_SIZE];
  QK_uint8 rid[16];
  QK_int64 generation = 0, txid = 0;
  SQLLEN ind = 0;
  int bRow = 0, bHas = 0, bKnown = 0, bAny = 0, first = 0;
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pFound));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pBases, s_bases_sql, t->szTbl, (long long)minKnownGen));
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szTemp, "bases", t->szTbl));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_bases_insert_head, szTemp));
  QK_TRY(ctx, tav_db_mssql__row_batch_open_typed(ctx, h->conn, QK_string__sz(pSql), 2, s_bases_types, &pBatch));
  QK_TRY(ctx, QK_string__sprintf(ctx, pSql, s_bases_table_sql, szTemp));
  QK_TRY(ctx, tav_db_mssql__row_batch_set_create(ctx, pBatch, QK_string__sz(pSql)));
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pBases, &bRow));
    if (!bRow) break;
    bAny = 1;
    QK_TRY(ctx, tav_db_mssql__row_batch_next(ctx, pBatch, &hStmt, &pBindings, &first));
    QK_guid__to_sz((const QK_uint8 *)sqlite3_column_blob(pBases, 0), szRid);
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_guid(ctx, hStmt, first + 1, &pBindings->pBindings[first], szRid));
    QK_TRY(ctx, tav_db_mssql__row_batch_bind_int64(ctx, hStmt, first + 2, &pBindings->pBindings[first + 1], 0,
                                                   sqlite3_column_int64(pBases, 1)));
    QK_TRY(ctx, tav_db_mssql__row_batch_added(ctx, pBatch, 0));
  }
  if (bAny) {
    /* The versions are read in the batch of the last rows. */
    QK_TRY(ctx, QK_string__sprintf(ctx, pSql, s_base_versions_sql, szTemp, h->name, t->szTbl, h->name, h->name,
                                   t->szTbl, h->name));
    QK_TRY(ctx, tav_db_mssql__row_batch_flush_with(ctx, pBatch, QK_string__sz(pSql), &hQuery));
    QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hQuery, &bHas));
    while (bHas) {
      QK_TRY(ctx, QK_mssql__fetch(ctx, hQuery, &bRow));
      if (!bRow) break;
      QK_TRY(ctx, QK_mssql__get__guid(ctx, hQuery, 1, rid, &ind));
      QK_TRY(ctx, QK_mssql__get__int64(ctx, hQuery, 2, &generation, &ind));
      QK_TRY(ctx, QK_mssql__get__int64(ctx, hQuery, 3, &txid, &ind));
      QK_TRY(ctx, base_key(ctx, QK_guid__to_sz(rid, szRid), generation, szKey));
      /* The first version found stands, as a lookup of the pair alone would give it. */
      QK_TRY(ctx, QK_vhash__has(ctx, pFound, szKey, &bKnown));
      if (!bKnown) QK_TRY(ctx, QK_vhash__add__int64(ctx, pFound, szKey, txid));
    }
    QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hQuery));
  }
  *ppBases = pFound;
  pFound = NULL;
done:
  QK_RELEASE(ctx, tav_db_mssql__row_batch_free(ctx, &pBatch));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pBases));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pFound));
}

/* The base txid of one change whose base generation G the server should hold; *pbKeep 0 when
 * the change is dropped, *pbRejected 1 when the rule refuses the push. */
static void resolve_base(QK_context *ctx, tav_db_handle *h, baseline_table *t, const QK_vhash *pBases,
                         const char *pszRid, QK_int64 generation, int bDelete, QK_int64 *pTxidRecDel, int *pbPurged,
                         int *pbKeep, int *pbRejected) {
  char szKey[BASE_KEY_SIZE];
  int bFound = 0, bExisted = 0;
  *pbKeep = 1;
  *pbPurged = 0;
  QK_TRY(ctx, base_key(ctx, pszRid, generation, szKey));
  QK_TRY(ctx, QK_vhash__has(ctx, pBases, szKey, &bFound));
  if (bFound) {
    QK_TRY(ctx, QK_vhash__get__int64(ctx, pBases, szKey, pTxidRecDel));
    goto done;
  }
  if (bDelete) {
    /* The row existed in G: the version the client deleted is just gone from history. */
    QK_TRY(ctx, tav_db_mssql__version_in_generation(ctx, h, t->pszTblId, pszRid, generation, &bExisted));
    if (bExisted) {
      *pbKeep = 0;
      goto done;
    }
    QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, pTxidRecDel, s_first_txid_sql, h->name,
                                              (long long)generation, h->name));
    *pbPurged = 1;
    goto done;
  }
  if (!t->bRuleRead) {
    t->action = 0;
    QK_TRY(ctx, tav_db_mssql__get_record_rule(ctx, h, t->pszTblId, TAV_RULE_SIT_BASELINE_PURGED, 1, &t->action,
                                              NULL));
    t->bRuleRead = 1;
  }
  if (t->action == 0 || t->action == 6) {
    *pbRejected = 1;
    *pbKeep = 0;
  } else if (t->action == 4) {
    t->bDropPurged = 1;
    *pbKeep = 0;
  } else {
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Unsupported action %d for 'baseline purged' situation", t->action);
  }
done:;
}

static void convert_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb, baseline_table *t,
                          QK_int64 minKnownGen, int *pbRejected) {
  QK_string *pKey = NULL;
  sqlite3_stmt *pChanges = NULL, *pInsert = NULL;
  QK_vhash *pBases = NULL;
  const char *pszKeyName = NULL;
  char szRid[QK_GUID_SZ_SIZE];
  int bRow = 0, bKeep = 0, bPurged = 0;
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pPkgDb, s_convert_table_sql, t->szTbl, t->szTbl, t->szTbl, t->szTbl,
                                     t->szTbl));
  QK_TRY(ctx, tav_defin__get_key_column_at(ctx, psk, t->pszTblId, 0, NULL, &pszKeyName));
  QK_TRY(ctx, QK_string__alloc(ctx, &pKey));
  QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pKey, pszKeyName));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pChanges, s_changes_sql, QK_string__sz(pKey), t->szTbl));
  QK_TRY(ctx, find_base_versions(ctx, h, pPkgDb, t, minKnownGen, &pBases));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pInsert, s_delta_insert_sql, t->szTbl));
  for (;;) {
    QK_int64 generation, txidRecDel = -1;
    int bDelete;
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pChanges, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, tav_db_mssql__package_rid_text(ctx, pChanges, 0, szRid));
    bDelete = sqlite3_column_type(pChanges, 1) == SQLITE_NULL;
    generation = sqlite3_column_int64(pChanges, 2);
    bPurged = 0;
    bKeep = 1;
    if (generation > 0 && generation <= minKnownGen) {
      QK_TRY(ctx, resolve_base(ctx, h, t, pBases, szRid, generation, bDelete, &txidRecDel, &bPurged, &bKeep,
                               pbRejected));
      if (*pbRejected) goto done;
    }
    if (!bKeep) continue;
    QK_TRY(ctx, QK_sqlite__clear_bindings(ctx, pInsert));
    QK_TRY(ctx, QK_sqlite__bind_value(ctx, pInsert, 1, sqlite3_column_value(pChanges, 0)));
    QK_TRY(ctx, QK_sqlite__bind_value(ctx, pInsert, 2, sqlite3_column_value(pChanges, 1)));
    QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pInsert, 3, txidRecDel));
    QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pInsert, 4, bPurged));
    QK_TRY(ctx, QK_sqlite__step_expect(ctx, pInsert, SQLITE_DONE));
    QK_TRY(ctx, QK_sqlite__reset(ctx, pInsert));
  }
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pChanges));
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pPkgDb,
                                     "DELETE FROM \"p$u$%s\" WHERE (z_gen_add = 9223372036854775792) AND (%s IS NULL);",
                                     t->szTbl, QK_string__sz(pKey)));
  if (t->bDropPurged)
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pPkgDb,
                                       "DELETE FROM \"p$u$%s\" WHERE z_rid NOT IN (SELECT rid FROM \"p$rd$%s\");",
                                       t->szTbl, t->szTbl));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pChanges));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pInsert));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pBases));
  QK_RELEASE(ctx, QK_string__free(ctx, pKey));
}

/* The fold of the known pushes into the base cannot merge with versions the package already
 * carries at -1 (generation numbers do not order those against the pushes), so a row id with
 * two base versions afterwards has no single base to compare with the server: the package is
 * refused rather than applied against either of them. */
static void check_single_base_versions(QK_context *ctx, sqlite3 *pPkgDb) {
  sqlite3_stmt *pTables = NULL;
  int bRow = 0, bDuplicate = 0;
  QK_TRY(ctx, QK_sqlite__prepare_printf(
                  ctx, pPkgDb, &pTables,
                  "SELECT name FROM sqlite_master WHERE type='table' AND substr(name, 1, 4)=='p$u$'"));
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pTables, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_sqlite__one_bool(ctx, pPkgDb, &bDuplicate,
                                    "SELECT EXISTS (SELECT 1 FROM \"%s\" WHERE z_gen_add = -1 AND typeof(z_rid) = "
                                    "'blob' GROUP BY z_rid HAVING COUNT(*) > 1)",
                                    (const char *)sqlite3_column_text(pTables, 0)));
    if (bDuplicate)
      QK_THROW_FMT(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400),
                   "Malformed package. A row has two versions in the client's known base of table %s.",
                   (const char *)sqlite3_column_text(pTables, 0) + 4);
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pTables));
}

void tav_db_mssql__handle_baseline_purged(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                                          int *pbRejected) {
  QK_int64 minKnownGen = 0, pendingStart = 0;
  QK_uint32 countTables = 0;
  int bKnownFound = 0, bExists = 0, bRejected = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_ARG_NOT_NULL(ctx, pbRejected);
  QK_TRY(ctx, QK_sqlite__one_int64(ctx, pPkgDb, &minKnownGen, "SELECT MIN(generation) FROM p$gen WHERE (generation > 0);"));
  QK_TRY(ctx, find_pending_start(ctx, h, pPkgDb, &pendingStart, &bKnownFound));

  if (bKnownFound) {
    QK_TRY(ctx, tav_pkg__squash_generations(ctx, psk, pPkgDb, 0, LOWEST_GENERATION, pendingStart - 1,
                                            TAV_PKG_GEN_MARKER));
    QK_TRY(ctx, check_single_base_versions(ctx, pPkgDb));
  }
  QK_TRY(ctx, tav_pkg__squash_generations(ctx, psk, pPkgDb, 0, pendingStart, TAV_PKG_GEN_PUSH,
                                          TAV_PKG_PLACEHOLDER_TXID));
  QK_TRY(ctx, QK_sqlite__exec(ctx, pPkgDb, "DELETE FROM \"p$gen\" WHERE (generation < 0);"));

  QK_TRY(ctx, tav_defin__count_tables(ctx, psk, &countTables));
  for (QK_uint32 i = 0; i < countTables; i++) {
    baseline_table t = {NULL, {0}, 0, 0, 0};
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, psk, (int)i, &t.pszTblId));
    QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, t.pszTblId, t.szTbl));
    QK_TRY(ctx, QK_sqlite__one_bool(ctx, pPkgDb, &bExists,
                                    "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE (type='table') and "
                                    "(tbl_name='p$u$%s'));",
                                    t.szTbl));
    if (!bExists) continue;
    QK_TRY(ctx, convert_table(ctx, h, psk, pPkgDb, &t, minKnownGen, &bRejected));
    if (bRejected) {
      *pbRejected = 1;
      goto done;
    }
  }
done:;
}

/* Applying a staged import: the order of the tables (parents before children, deletes of
 * children before their parents change), the separate delete step, the per-table MERGE into
 * the host table, and the checks that every change landed on the version the client saw. */
#include <stdio.h>
#include <string.h>

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "common/tav_utils.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_import.h"
#include "server/tav_db_mssql_rules.h"
#include "server/tav_db_mssql_values.h"
#include "server/tav_handle_conflicts.h"

#define ERR_BAD_REQUEST QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400)
/* Without a rule of its own, an insert whose key a live row holds runs into the duplicate key. */
#define PK_COLLISION_DEFAULT_ACT 6

static const char DELETE_ROWS_SQL[] =
    "WITH pkg_rvs_to_delete (rid, txid) AS\n"
    "(\n"
    "  SELECT rid, COALESCE(txid_rec_reinsert, txid_rec_del) FROM #%s WHERE txid_rec_reinsert IS NOT NULL or "
    "txid_rec_add = 0\n"
    "),\n"
    "db_rvs_to_delete (rv) AS\n"
    "(\n"
    "  SELECT z_rv FROM tavrin.\"%s$z$rv$%s\" rv \n"
    "  INNER JOIN pkg_rvs_to_delete p ON rv.rid = p.rid AND rv.txid = p.txid\n"
    ")\n"
    "DELETE z$$row FROM %s z$$row INNER JOIN tavrin.\"%s$z$x$%s\" z$$x ON (%s) WHERE z$$x.z_rv IN (SELECT rv FROM "
    "db_rvs_to_delete);\n";
static const char FK_COLUMNS_SQL[] =
    "SELECT QUOTENAME(my_c.name), QUOTENAME(other_c.name), QUOTENAME(other_s.name)+'.'+QUOTENAME(other_t.name), "
    "CAST (my_c.column_id AS sysname)\n"
    "FROM sys.foreign_keys f\n"
    "  INNER JOIN sys.foreign_key_columns fkc ON fkc.constraint_object_id = f.[object_id]\n"
    "  INNER JOIN sys.columns my_c ON my_c.[object_id] = fkc.parent_object_id AND my_c.column_id = "
    "fkc.parent_column_id\n"
    "  INNER JOIN sys.columns other_c ON other_c.[object_id] = fkc.referenced_object_id AND other_c.column_id = "
    "fkc.referenced_column_id\n"
    "  INNER JOIN sys.tables other_t ON other_t.[object_id] = fkc.referenced_object_id\n"
    "  INNER JOIN sys.schemas other_s ON other_s.schema_id = other_t.schema_id\n"
    "WHERE f.is_disabled = 0 AND f.[object_id] = %s\n";
static const char DROP_ORPHAN_INSERTS_SQL[] =
    "DELETE td FROM #%s td\n"
    "  INNER JOIN #%s tr ON tr.z_rid = td.rid AND td.txid_rec_del IS NULL AND td.txid_rec_undel IS NULL AND "
    "td.txid_rec_reinsert IS NULL\n"
    "WHERE (%s)\n"
    "AND NOT EXISTS (%s)\n";
static const char DROP_ORPHAN_UNDELETES_SQL[] =
    "DELETE td FROM #%s td\n"
    "  INNER JOIN #%s tr ON tr.z_rid = td.rid AND td.txid_rec_undel IS NOT NULL\n"
    "WHERE (%s)\n"
    "AND NOT EXISTS (%s)\n";
/* The first row of a change whose key text in the column is still a client's. */
static const char CLIENT_KEY_LEFT_SQL[] =
    "SELECT TOP 1 tr.z_rid, tr.\"%s\" FROM #%s tr INNER JOIN #%s td ON (td.rid=tr.z_rid)\n"
    "WHERE SUBSTRING(tr.\"%s\",1,2) = 'C:'%s";
static const char NOT_AN_INSERT_SQL[] =
    " AND NOT (td.txid_rec_del IS NULL AND td.txid_rec_undel IS NULL AND td.txid_rec_reinsert IS NULL)";
static const char UNDELETED_VALUES_SQL[] =
    "INSERT INTO #%s (z_rid, %s%s)\n"
    "  SELECT rv.rid, %s%s FROM\n"
    "    #%s AS td\n"
    "    INNER JOIN tavrin.\"%s$z$rv$%s\" AS rv ON (rv.rid=td.rid AND rv.txid=td.txid_rec_undel)\n"
    "    INNER JOIN tavrin.\"%s$z$old$%s\" AS z$$src ON (z$$src.z_rv=rv.z_rv)\n";
static const char STAGING_MERGE_SQL[] =
    "MERGE INTO #%s z$$dest USING #%s AS z$$src ON z$$dest.z_rid=z$$src.z_rid\n"
    "    WHEN MATCHED THEN UPDATE SET %s;";
static const char STAGING_INSERT_SQL[] =
    "INSERT INTO #%s (z_rid, %s %s)\n"
    "  SELECT tr.z_rid, %s %s FROM\n"
    "    #%s tr\n"
    "    INNER JOIN #%s td ON (td.rid=tr.z_rid)\n"
    "    WHERE %s td.txid_rec_undel IS NULL AND td.txid_rec_reinsert IS NULL\n";
static const char MERGE_HEAD_SQL[] =
    "MERGE INTO %s z$$dest\n"
    "  USING\n";
/* The live version of each pushed row: its versions are looked up by row id, and the one
 * that the key table holds (z_rv is unique there) is live; a join of the whole version table
 * would read every row the table ever had. */
static const char MERGE_SOURCE_SQL[] =
    "    %s JOIN #%s z$$src ON (z$$src.z_rid=td.rid)\n"
    "    LEFT OUTER JOIN tavrin.\"%s$z$rv$%s\" cur ON (cur.rid=td.rid AND EXISTS (SELECT 1 FROM tavrin.\"%s$z$x$%s\" "
    "live WHERE live.z_rv=cur.z_rv))\n"
    "    LEFT OUTER JOIN tavrin.\"%s$z$x$%s\" x ON (x.z_rv=cur.z_rv)\n"
    "  ON (%s)";
static const char MERGE_DELETED_COLLISION_SQL[] =
    "\n        OR EXISTS (SELECT 1 FROM\n"
    "          tavrin.\"%s$z$%s\" l\n"
    "          INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON (rv.z_rv=l.z_rv)\n"
    "          INNER JOIN #%s td ON (td.rid=rv.rid)\n"
    "          WHERE td.txid_rec_add=0 AND (%s))";
static const char LATE_INSERT_CHECK_SQL[] =
    "SELECT CAST ((CASE WHEN EXISTS (\n"
    "  SELECT 1 FROM tavrin.\"%s$z$dd$%s\" dd INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON (rv.z_rv=dd.rv)\n"
    "  WHERE dd.txid=%s AND rv.rid IN (SELECT rid FROM #%s WHERE txid_rec_del IS NULL AND txid_rec_reinsert IS "
    "NULL)\n"
    ") THEN 1 ELSE 0 END) AS bit)\n";
static const char RID_MERGE_SQL[] =
    "MERGE INTO tavrin.\"%s$z$rv$%s\" AS rv\n"
    "  USING (\n"
    "    %s AS td\n"
    "    INNER JOIN #%s tr ON (tr.z_rid=td.rid)\n"
    "    INNER JOIN tavrin.\"%s$z$x$%s\" l ON (%s)\n"
    "  )\n"
    "  ON rv.z_rv=l.z_rv\n"
    "  WHEN MATCHED%s THEN UPDATE SET rid = tr.z_rid;";
/* Restricts the row-id MERGE of inserts and undeletes to the versions they created: a version
 * of this push whose row had an earlier version superseded by the push is an updated row that
 * holds the key of a skipped insert, and must keep its own row id. The row's earlier versions
 * are found by its row id, each then looked up among the deleted ones: led by the versions the
 * push deleted, the lookup would read all of them for every row. */
static const char NEW_VERSION_CONDITION_SQL[] =
    " AND rv.txid=%s AND NOT EXISTS (SELECT 1 FROM tavrin.\"%s$z$rv$%s\" prev WHERE prev.rid=rv.rid AND %s IN "
    "(SELECT dd.txid FROM tavrin.\"%s$z$dd$%s\" dd WHERE dd.rv=prev.z_rv))";
static const char SKIPPED_INSERTS_SQL[] =
    "DELETE td FROM #%s td WHERE txid_rec_del IS NULL AND txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL\n"
    "AND NOT EXISTS (SELECT 1 FROM\n"
    "  tavrin.\"%s$z$%s\" z  INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON rv.z_rv = z.z_rv\n"
    "  WHERE rv.rid=td.rid AND rv.txid=%s)";
static const char SKIPPED_UNDELETES_SQL[] =
    "DELETE td FROM #%s td WHERE txid_rec_undel IS NOT NULL AND NOT EXISTS (SELECT 1 FROM\n"
    "  tavrin.\"%s$z$%s\" z  INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON rv.z_rv = z.z_rv\n"
    "  WHERE rv.rid=td.rid AND rv.txid=%s)";
static const char UPDATES_APPLIED_SQL[] =
    "SELECT COUNT(*) FROM\n"
    "  (SELECT * FROM #%s WHERE txid_rec_add=1 AND txid_rec_del IS NOT NULL AND txid_rec_undel IS NULL) td\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON (rv.rid=td.rid AND rv.txid=td.txid_rec_del)\n"
    "  INNER JOIN tavrin.\"%s$z$dd$%s\" dd ON (dd.rv=rv.z_rv)\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" rv2 ON (rv2.rid=rv.rid AND rv2.txid=dd.txid)\n"
    "WHERE dd.txid=%s";
static const char DELETES_APPLIED_SQL[] =
    "SELECT COUNT(*) FROM\n"
    "  (SELECT * FROM #%s WHERE txid_rec_add=0) td\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON (rv.rid=td.rid AND rv.txid=td.txid_rec_del)\n"
    "  INNER JOIN tavrin.\"%s$z$dd$%s\" dd ON (dd.rv=rv.z_rv)\n"
    "  LEFT OUTER JOIN tavrin.\"%s$z$rv$%s\" rv2 ON (rv2.rid=rv.rid AND rv2.txid=dd.txid)\n"
    "WHERE dd.txid=%s AND rv2.rid IS NULL";

static const char *sz_or_empty(const QK_string *s) { return s != NULL ? QK_string__sz(s) : ""; }

/* ---- Delete step ---- */

void tav_db_mssql__delete_rows(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                               const char *pszTblName, const char *pszDeltas, QK_uint32 expected) {
  QK_string *pKeys = NULL;
  QK_int64 rows = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_TRY(ctx, tav_defin__tsql_key_compare(ctx, psk, pszTblId, "z$$row", "z$$x", 0, 0, &pKeys));
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, &rows, DELETE_ROWS_SQL, pszDeltas, h->name, pszTblId, pszTblName,
                                          h->name, pszTblId, QK_string__sz(pKeys)));
  if (rows < (QK_int64)expected)
    QK_THROW_FMT(ctx, QK_ERR_BUSY_RETRY, "conflict detected late (%d deletes applied instead of %d)", (int)rows,
                 (int)expected);
  if (rows > (QK_int64)expected)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: count_deleted=%lld, count_deletes=%u",
                 (long long)rows, expected);
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pKeys));
}

/* ---- Dropped rows ---- */

/* The row JSON of an audit row: blobs show their bytes only up to 16 of them. */
static void audit_row_json(QK_context *ctx, const QK_vhash *pRow, QK_string **ppJson) {
  QK_vhash *pCopy = NULL, *pBlob = NULL;
  QK_string *pJson = NULL;
  QK_variant *pValue = NULL;
  QK_uint32 count = 0;
  QK_int64 len = 0;
  const char *pszKey = NULL;
  QK_TRY(ctx, QK_vhash__alloc__copy(ctx, &pCopy, pRow));
  QK_TRY(ctx, QK_vhash__count(ctx, pCopy, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pCopy, i, &pszKey, &pValue));
    if (pValue->type != QK_VARIANT_TYPE_VHASH) continue;
    pBlob = pValue->u.pvh;
    QK_TRY(ctx, QK_vhash__get__int64(ctx, pBlob, "len", &len));
    if (len > 16) QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pBlob, "hex", NULL));
  }
  QK_TRY(ctx, QK_string__alloc(ctx, &pJson));
  QK_TRY(ctx, QK_vhash__to_json(ctx, pCopy, pJson));
  *ppJson = pJson;
  pJson = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pCopy));
}

/* An audit row for an incoming row the server ignored. */
static void write_ignored_audit_row(QK_context *ctx, sqlite3 *pPkgDb, const char *pszTblId, const QK_uint8 *pRid16,
                                    const QK_vhash *pRow) {
  QK_string *pJson = NULL;
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, audit_row_json(ctx, pRow, &pJson));
  QK_TRY(ctx, QK_sqlite__exec(ctx, pPkgDb, TAV_PKG_AUDIT_TABLE_SQL));
  QK_TRY(ctx, QK_sqlite__prepare_printf(
                  ctx, pPkgDb, &pStmt,
                  "INSERT INTO p$audit (rid,txid,tbl,ancestor,already,incoming,result) VALUES (?,?,?,?,?,?,?)"));
  QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 1, pRid16));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 2, 0));
  QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, 3, pszTblId));
  QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, 6, QK_string__sz(pJson)));
  QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, 7, "ignore"));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
}

void tav_db_mssql__audit_dropped_rows(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, const char *pszTblId,
                                      const char *pszRecords, const char *pszDeltas, QK_int64 expected) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_vhash *pRow = NULL;
  QK_uint8 rid[16];
  QK_int64 rowcount = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_TRY(ctx, QK_mssql__prepare__format(
                  ctx, h->conn, &hStmt,
                  "SELECT * FROM #%s tr WHERE NOT EXISTS (SELECT 1 FROM #%s td WHERE td.rid = tr.z_rid)", pszRecords,
                  pszDeltas));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  for (;;) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    memset(rid, 0, sizeof rid);
    QK_TRY(ctx, tav_db_mssql__row_to_vhash(ctx, hStmt, &pRow, rid));
    QK_TRY(ctx, write_ignored_audit_row(ctx, pPkgDb, pszTblId, rid, pRow));
    QK_RELEASE(ctx, QK_vhash__free(ctx, pRow));
    pRow = NULL;
  }
  QK_TRY(ctx, QK_mssql__free_stmt(ctx, hStmt));
  hStmt = SQL_NULL_HSTMT;
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, &rowcount,
                                          "DELETE FROM #%s WHERE NOT EXISTS (SELECT 1 FROM #%s WHERE rid = z_rid)",
                                          pszRecords, pszDeltas));
  {
    QK_int64 expected_audit_count = expected;
    QK_VERIFY(ctx, rowcount == expected_audit_count);
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pRow));
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* ---- Foreign-key rules on insert ---- */

/* Deletes the deltas of inserts and undeletes whose key has no parent row; *pDropped... the
 * numbers of each. */
static void drop_orphans(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const tav_staged_table *t,
                         const char *pszFkId, QK_int64 *pInserts, QK_int64 *pUndeletes) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_string *pNotNull = NULL, *pParent = NULL;
  char *pszMine = NULL, *pszOther = NULL, *pszRefTable = NULL, *pszColId = NULL;
  const char *pszIdentityTbl = NULL;
  QK_int64 fkId = 0;
  int bRow = 0, columns = 0;
  /* The id goes into the statement as a number. */
  QK_TRY(ctx, QK_int64__parse(ctx, &fkId, pszFkId));
  QK_TRY(ctx, QK_string__alloc(ctx, &pNotNull));
  QK_TRY(ctx, QK_string__alloc(ctx, &pParent));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, FK_COLUMNS_SQL, pszFkId));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  for (;;) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &pszMine));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 2, &pszOther));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 3, &pszRefTable));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 4, &pszColId));
    if (columns == 0) QK_TRY(ctx, QK_string__append__format(ctx, pParent, "SELECT 1 FROM %s o WHERE ", pszRefTable));
    QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, psk, t->pszTblId, pszColId, &pszIdentityTbl, NULL));
    QK_TRY(ctx, QK_string__append__format(ctx, pNotNull, "%str.%s IS NOT NULL", columns ? " AND " : "", pszMine));
    if (columns) QK_TRY(ctx, QK_string__append__sz(ctx, pParent, " AND "));
    /* A client's "C:" value names a row of no server table: it never matches a parent. */
    if (pszIdentityTbl != NULL)
      QK_TRY(ctx, QK_string__append__format(ctx, pParent, "('S:' + CAST (o.%s AS varchar(25))) = tr.%s", pszOther,
                                            pszMine));
    else
      QK_TRY(ctx, QK_string__append__format(ctx, pParent, "o.%s = tr.%s", pszOther, pszMine));
    columns++;
    QK_free(ctx, pszMine);
    QK_free(ctx, pszOther);
    QK_free(ctx, pszRefTable);
    QK_free(ctx, pszColId);
    pszMine = pszOther = pszRefTable = pszColId = NULL;
  }
  QK_TRY(ctx, QK_mssql__free_stmt(ctx, hStmt));
  hStmt = SQL_NULL_HSTMT;
  /* A disabled key has no columns here: nothing is checked, nothing dropped. */
  if (columns == 0) goto done;
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, pInserts, DROP_ORPHAN_INSERTS_SQL, t->pszDeltas, t->pszRecords,
                                          QK_string__sz(pNotNull), QK_string__sz(pParent)));
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, pUndeletes, DROP_ORPHAN_UNDELETES_SQL, t->pszDeltas,
                                          t->pszRecords, QK_string__sz(pNotNull), QK_string__sz(pParent)));
done:
  QK_free(ctx, pszMine);
  QK_free(ctx, pszOther);
  QK_free(ctx, pszRefTable);
  QK_free(ctx, pszColId);
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pParent));
  QK_RELEASE(ctx, QK_string__free(ctx, pNotNull));
}

/* Once the parents' new rows have their server keys, a "C:" key text left in a change (other
 * than the new key of an inserted row) refers to no row of the push: the push is refused, for
 * the value must never be read as a server key. */
static void refuse_client_keys_left(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const tav_staged_table *t,
                                    const char *pszIdentity) {
  QK_string *pName = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_uint32 count = 0;
  const char *pszName = NULL, *pszColId = NULL, *pszIdTbl = NULL, *pszIdCol = NULL;
  QK_uint8 rid[16];
  char szRid[QK_GUID_SZ_SIZE], *pszValue = NULL;
  SQLLEN ind = 0;
  int bRow = 0;
  QK_TRY(ctx, QK_vhash__count(ctx, t->pPkgCols, &count));
  for (QK_uint32 i = 0; i < count && !bRow; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair__sz(ctx, t->pPkgCols, i, &pszName, &pszColId));
    QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, psk, t->pszTblId, pszColId, &pszIdTbl, &pszIdCol));
    if (pszIdCol == NULL) continue;
    QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszName, '"', &pName));
    QK_TRY(ctx, QK_mssql__prepare__format(
                    ctx, h->conn, &hStmt, CLIENT_KEY_LEFT_SQL, QK_string__sz(pName), t->pszRecords, t->pszDeltas,
                    QK_string__sz(pName),
                    pszIdentity != NULL && strcmp(pszColId, pszIdentity) == 0 ? NOT_AN_INSERT_SQL : ""));
    QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
    if (bRow) {
      QK_TRY(ctx, QK_mssql__get__guid(ctx, hStmt, 1, rid, &ind));
      QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 2, &pszValue));
      QK_THROW_FMT(ctx, ERR_BAD_REQUEST,
                   "Row id %s: column \"%s\" holds the client identity value %s, which no row of the package "
                   "inserts.",
                   QK_guid__to_sz(rid, szRid), pszName, pszValue);
    }
    QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
    hStmt = SQL_NULL_HSTMT;
    QK_RELEASE(ctx, QK_string__free(ctx, pName));
    pName = NULL;
  }
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
  QK_free(ctx, pszValue);
}

void tav_db_mssql__apply_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                               sqlite3 *pPkgDb, QK_int64 fid, const char *pszTxid, QK_vhash *pState,
                               const tav_staged_table *pTable) {
  tav_staged_table t;
  QK_vhash *pRules = NULL, *pRule = NULL;
  const char *pszFkId = NULL, *pszIdentity = NULL;
  QK_uint32 countRules = 0;
  QK_int64 dropped = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pTable);
  t = *pTable;
  if (t.inserts != 0 || t.undeletes != 0) {
    QK_TRY(ctx, tav_defin__get_fk_rules(ctx, psk, t.pszTblId, &pRules));
    if (pRules != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pRules, &countRules));
    for (QK_uint32 i = 0; i < countRules; i++) {
      QK_int64 act = 0, droppedInserts = 0, droppedUndeletes = 0;
      QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pRules, i, &pszFkId, &pRule));
      QK_TRY(ctx, QK_vhash__check__int64(ctx, pRule, "violation-on-insert", &act));
      if (act == 0 || act == 6) continue;
      if (act != 4) QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Unsupported action for foreign key rule: %d", (int)act);
      QK_TRY(ctx, drop_orphans(ctx, h, psk, &t, pszFkId, &droppedInserts, &droppedUndeletes));
      t.inserts -= droppedInserts;
      t.undeletes -= droppedUndeletes;
      dropped += droppedInserts + droppedUndeletes;
    }
  }
  if (dropped > 0)
    QK_TRY(ctx, tav_db_mssql__audit_dropped_rows(ctx, h, pPkgDb, t.pszTblId, t.pszRecords, t.pszDeltas, dropped));
  QK_TRY(ctx, tav_defin__get_rowid_column(ctx, psk, t.pszTblId, &pszIdentity));
  QK_TRY(ctx, refuse_client_keys_left(ctx, h, psk, &t, pszIdentity));
  if (pszIdentity != NULL) {
    QK_int64 inserts = t.inserts;
    t.inserts = 0;
    QK_TRY(ctx, tav_db_mssql__merge_table(ctx, h, psk, pFilter, pPkgDb, pszTxid, pszIdentity, &t));
    QK_TRY(ctx, tav_db_mssql__insert_identity_rows(ctx, h, fid, pszTxid, psk, pFilter, pState, t.pszTblId,
                                                   t.pszTblName, pszIdentity, t.pszRecords, t.pPkgCols, t.pszDeltas,
                                                   (QK_uint32)inserts));
  } else {
    QK_TRY(ctx, tav_db_mssql__merge_table(ctx, h, psk, pFilter, pPkgDb, pszTxid, NULL, &t));
  }
done:;
}

/* ---- The MERGE of one table ---- */

/* Fills the staging table: reinserted rows are there already, undeleted rows start from the
 * version brought back, then the package's values go over them and inserts and updates
 * follow. */
static void fill_staging(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                         const tav_staged_table *t, const char *pszIdentityName, const QK_string *pUpdateList) {
  QK_vhash *pPrepared = NULL;
  QK_string *pPrepList = NULL, *pPrepSelect = NULL, *pFilterCols = NULL, *pFilterDefs = NULL;
  QK_string *pCopyList = NULL, *pPkgList = NULL, *pPkgSelect = NULL, *pInsCols = NULL, *pInsDefs = NULL;
  QK_int64 rows = 0;
  QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &rows, "SELECT COUNT(*) FROM #%s", t->pszStaging));
  if (rows != t->reinserts)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: rowcount=%lld, count_reinserts=%lld",
                 (long long)rows, (long long)t->reinserts);

  QK_TRY(ctx, tav_defin__map_column_names(ctx, psk, t->pszTblId, &pPrepared));
  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, pPrepared, NULL, &pPrepList));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 2, psk, t->pszTblId, pPrepared, NULL, "z$$src", 0, 0, &pPrepSelect));
  if (pFilter != NULL)
    QK_TRY(ctx, tav_filter__excluded_column_defaults(ctx, pFilter, psk, t->pszTblId, 1, t->pPkgCols, &pFilterCols,
                                                     &pFilterDefs));
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, &rows, UNDELETED_VALUES_SQL, t->pszStaging,
                                          QK_string__sz(pPrepList), sz_or_empty(pFilterCols),
                                          QK_string__sz(pPrepSelect), sz_or_empty(pFilterDefs), t->pszDeltas, h->name,
                                          t->pszTblId, h->name, t->pszTblId));
  if (rows != t->undeletes)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: rowcount=%lld, count_undeletes=%lld",
                 (long long)rows, (long long)t->undeletes);

  if (QK_string__length_in_bytes(pUpdateList) > 0) {
    QK_TRY(ctx, tav_db_mssql__merge_assignments(ctx, 0, psk, t->pszTblId, t->pPkgCols, pszIdentityName, &pCopyList));
    QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, &rows, STAGING_MERGE_SQL, t->pszStaging, t->pszRecords,
                                            QK_string__sz(pCopyList)));
    if (rows != t->reinserts + t->undeletes)
      QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED,
                   "Verification failure: rowcount=%lld, count_undeletes=%lld, count_reinserts=%lld", (long long)rows,
                   (long long)t->undeletes, (long long)t->reinserts);
  }

  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, t->pPkgCols, NULL, &pPkgList));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, t->pszTblId, t->pPkgCols, NULL, "tr", 0, 0, &pPkgSelect));
  if (pFilter != NULL && pszIdentityName == NULL)
    QK_TRY(ctx, tav_filter__excluded_column_defaults(ctx, pFilter, psk, t->pszTblId, 0, t->pPkgCols, &pInsCols,
                                                     &pInsDefs));
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, &rows, STAGING_INSERT_SQL, t->pszStaging, QK_string__sz(pPkgList),
                                          sz_or_empty(pInsCols), QK_string__sz(pPkgSelect), sz_or_empty(pInsDefs),
                                          t->pszRecords, t->pszDeltas,
                                          pszIdentityName != NULL ? "td.txid_rec_del IS NOT NULL AND" : ""));
  if (rows != t->inserts + t->updates)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED,
                 "Verification failure: rowcount=%lld, count_inserts=%lld, count_updates=%lld", (long long)rows,
                 (long long)t->inserts, (long long)t->updates);
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pInsDefs));
  QK_RELEASE(ctx, QK_string__free(ctx, pInsCols));
  QK_RELEASE(ctx, QK_string__free(ctx, pPkgSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pPkgList));
  QK_RELEASE(ctx, QK_string__free(ctx, pCopyList));
  QK_RELEASE(ctx, QK_string__free(ctx, pFilterDefs));
  QK_RELEASE(ctx, QK_string__free(ctx, pFilterCols));
  QK_RELEASE(ctx, QK_string__free(ctx, pPrepSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pPrepList));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pPrepared));
}

/* The condition of the insert clause under the primary-key collision rule. */
static void collision_condition(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const tav_staged_table *t,
                                QK_int32 act, QK_string *pOut) {
  QK_string *pKeys = NULL, *pName = NULL;
  QK_uint32 count = 0;
  const char *pszName = NULL, *pszColId = NULL, *pszIdentityTbl = NULL, *pszQuoted = NULL;
  QK_variant *pValue = NULL;
  int bKey = 0;
  if (act == 0 || act == 6) goto done;
  if (act != 4 && act != 12)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Tavrin configured with unknown PK Collision rule %d", (int)act);
  QK_TRY(ctx, tav_defin__tsql_key_compare(ctx, psk, t->pszTblId, "l", "z$$src", 0, 1, &pKeys));
  QK_TRY(ctx, QK_string__append__format(ctx, pOut, " AND NOT EXISTS (SELECT 1 FROM %s l WHERE %s", t->pszTblName,
                                        QK_string__sz(pKeys)));
  if (act == 12) {
    QK_TRY(ctx, QK_vhash__count(ctx, t->pPkgCols, &count));
    for (QK_uint32 i = 0; i < count; i++) {
      QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, t->pPkgCols, i, &pszName, &pValue));
      QK_TRY(ctx, tav_defin__get_column_id(ctx, psk, t->pszTblId, pszName, &pszColId));
      QK_TRY(ctx, tav_defin__is_key_column(ctx, psk, t->pszTblId, pszColId, &bKey));
      if (bKey) continue;
      QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, psk, t->pszTblId, pszColId, &pszIdentityTbl, NULL));
      QK_RELEASE(ctx, QK_string__free(ctx, pName));
      pName = NULL;
      QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszName, '"', &pName));
      pszQuoted = QK_string__sz(pName);
      QK_TRY(ctx, QK_string__append__sz(ctx, pOut, " AND ("));
      if (pszIdentityTbl != NULL)
        QK_TRY(ctx, QK_string__append__format(ctx, pOut, "((CAST(SUBSTRING(z$$src.\"%s\",3,25) AS bigint))=l.\"%s\")",
                                              pszQuoted, pszQuoted));
      else
        QK_TRY(ctx, QK_string__append__format(ctx, pOut, "(z$$src.\"%s\"=l.\"%s\")", pszQuoted, pszQuoted));
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, " OR (z$$src.\"%s\" IS NULL AND l.\"%s\" IS NULL))", pszQuoted,
                                            pszQuoted));
    }
  }
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, ")"));
  if (t->deletes != -1)
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, MERGE_DELETED_COLLISION_SQL, h->name, t->pszTblId, h->name,
                                          t->pszTblId, t->pszDeltas, QK_string__sz(pKeys)));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
  QK_RELEASE(ctx, QK_string__free(ctx, pKeys));
}

static void build_merge(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const tav_staged_table *t,
                        const char *pszSource, const char *pszIdentityColId, const QK_string *pUpdateList,
                        QK_int32 act, QK_string **ppSql) {
  QK_string *pSql = NULL, *pKeys = NULL, *pCondition = NULL, *pHostList = NULL, *pValues = NULL;
  int count_match_clauses = 0;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, MERGE_HEAD_SQL, t->pszTblName));
  if (pszIdentityColId == NULL)
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, "    #%s td\n", t->pszDeltas));
  else
    QK_TRY(ctx, QK_string__append__format(ctx, pSql,
                                          "    (SELECT * FROM #%s WHERE NOT(txid_rec_del IS NULL AND txid_rec_undel IS "
                                          "NULL AND txid_rec_reinsert IS NULL)) td\n",
                                          t->pszDeltas));
  QK_TRY(ctx, tav_defin__tsql_key_compare(ctx, psk, t->pszTblId, "x", "z$$dest", 0, 0, &pKeys));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, MERGE_SOURCE_SQL, t->deletes == -1 ? "INNER" : "LEFT OUTER",
                                        pszSource, h->name, t->pszTblId, h->name, t->pszTblId, h->name, t->pszTblId,
                                        QK_string__sz(pKeys)));
  if (t->deletes != -1) {
    QK_TRY(ctx, QK_string__append__sz(ctx, pSql, "\n  WHEN MATCHED AND td.txid_rec_add=0 THEN DELETE"));
    count_match_clauses++;
  }
  if (QK_string__length_in_bytes(pUpdateList) > 0) {
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, "\n  WHEN MATCHED THEN UPDATE SET %s", QK_string__sz(pUpdateList)));
    count_match_clauses++;
  }
  if (pszIdentityColId == NULL || t->reinserts != 0 || t->undeletes != 0) {
    /* A delete whose row another transaction removed meanwhile matches nothing; it must
     * not reach the insert (a row of NULLs), so that the delete check reports the late
     * conflict and the push is retried. */
    QK_TRY(ctx, QK_string__alloc__sz(ctx, &pCondition, t->deletes != -1 ? " AND td.txid_rec_add=1" : ""));
    QK_TRY(ctx, collision_condition(ctx, h, psk, t, act, pCondition));
    QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, t->pHostCols, NULL, &pHostList));
    QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 1, psk, t->pszTblId, t->pHostCols, NULL, "z$$src", 0, 0, &pValues));
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, "\n  WHEN NOT MATCHED%s\n    THEN INSERT (%s) VALUES (%s)",
                                          QK_string__sz(pCondition), QK_string__sz(pHostList),
                                          QK_string__sz(pValues)));
    count_match_clauses++;
  }
  QK_VERIFY(ctx, count_match_clauses>=1);
  QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ";"));
  *ppSql = pSql;
  pSql = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pValues));
  QK_RELEASE(ctx, QK_string__free(ctx, pHostList));
  QK_RELEASE(ctx, QK_string__free(ctx, pCondition));
  QK_RELEASE(ctx, QK_string__free(ctx, pKeys));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* Gives the new versions of one kind of delta the package's row ids; returns the rows. */
static void assign_row_ids(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const tav_staged_table *t,
                           const char *pszDeltaSelect, const char *pszTxidCondition, QK_int64 *pRows) {
  QK_string *pKeys = NULL, *pSelect = NULL;
  QK_TRY(ctx, tav_defin__tsql_key_compare(ctx, psk, t->pszTblId, "tr", "l", 1, 0, &pKeys));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSelect, pszDeltaSelect, t->pszDeltas));
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, pRows, RID_MERGE_SQL, h->name, t->pszTblId, QK_string__sz(pSelect),
                                          t->pszRecords, h->name, t->pszTblId, QK_string__sz(pKeys),
                                          pszTxidCondition));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pKeys));
}

/* Row ids of inserted or undeleted rows; under a skipping collision rule fewer rows mean
 * skipped ones, whose deltas go and which are audited as ignored. */
static void assign_new_row_ids(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                               const tav_staged_table *t, const char *pszTxid, QK_int32 act, int bUndeletes) {
  QK_string *pCondition = NULL;
  QK_int64 rows = 0, expected = bUndeletes ? t->undeletes : t->inserts;
  const char *pszName = bUndeletes ? "count_undeletes" : "count_inserts";
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pCondition, NEW_VERSION_CONDITION_SQL, pszTxid, h->name, t->pszTblId,
                                       pszTxid, h->name, t->pszTblId));
  QK_TRY(ctx, assign_row_ids(ctx, h, psk, t,
                             bUndeletes ? "(SELECT rid AS rid FROM #%s WHERE txid_rec_undel IS NOT NULL)"
                                        : "(SELECT rid AS rid FROM #%s WHERE txid_rec_del IS NULL AND txid_rec_undel "
                                          "IS NULL AND txid_rec_reinsert IS NULL)",
                             QK_string__sz(pCondition), &rows));
  if (rows > expected || (rows < expected && act != 4 && act != 12))
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: rowcount=%lld, %s=%lld", (long long)rows,
                 pszName, (long long)expected);
  if (rows < expected) {
    QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, NULL, bUndeletes ? SKIPPED_UNDELETES_SQL : SKIPPED_INSERTS_SQL,
                                            t->pszDeltas, h->name, t->pszTblId, h->name, t->pszTblId, pszTxid));
    QK_TRY(ctx, tav_db_mssql__audit_dropped_rows(ctx, h, pPkgDb, t->pszTblId, t->pszRecords, t->pszDeltas,
                                                 expected - rows));
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pCondition));
}

/* What the late-conflict checks count after the MERGE; the MERGE's batch reads them when
 * nothing writes between (bRead), else each is read when its check comes. */
typedef struct {
  int bRead;
  QK_int64 late;    /* inserts or undeletes that met a version of this push: 0 or 1 */
  QK_int64 updates; /* updates applied to the version the client saw */
  QK_int64 noops;   /* updates that changed no value */
  QK_int64 deletes; /* deletes applied to the version the client saw */
} late_counts;

static const char NOOP_COUNT_SQL[] =
    "SELECT noop_count FROM [tavrin].[%s$z$noop_updates] WHERE txid=%s AND tbl_id = %s";

static void check_late_conflicts(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                                 const tav_staged_table *t, const char *pszTxid, const char *pszIdentityColId,
                                 QK_int32 act, const late_counts *pCounts) {
  QK_int64 rows = 0, noops = 0;
  int bLate = 0;
  if (t->inserts != 0 || t->undeletes != 0) {
    if (pCounts->bRead)
      bLate = pCounts->late != 0;
    else
      QK_TRY(ctx, QK_mssql__query_bool__format(ctx, h->conn, &bLate, LATE_INSERT_CHECK_SQL, h->name, t->pszTblId,
                                               h->name, t->pszTblId, pszTxid, t->pszDeltas));
    if (bLate)
      QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "conflict detected late (update performed instead of insert or undelete)");
  }
  if (pszIdentityColId == NULL && t->inserts > 0)
    QK_TRY(ctx, assign_new_row_ids(ctx, h, psk, pPkgDb, t, pszTxid, act, 0));
  if (t->undeletes > 0) QK_TRY(ctx, assign_new_row_ids(ctx, h, psk, pPkgDb, t, pszTxid, act, 1));
  if (t->reinserts > 0) {
    QK_TRY(ctx, assign_row_ids(ctx, h, psk, t, "(SELECT rid AS rid FROM #%s WHERE txid_rec_reinsert IS NOT NULL)", "",
                               &rows));
    if (rows != t->reinserts)
      QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: rowcount=%lld, count_reinserts=%lld",
                   (long long)rows, (long long)t->reinserts);
  }
  if (t->updates > 0) {
    if (pCounts->bRead)
      rows = pCounts->updates;
    else
      QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &rows, UPDATES_APPLIED_SQL, t->pszDeltas, h->name,
                                                t->pszTblId, h->name, t->pszTblId, h->name, t->pszTblId, pszTxid));
    if (rows != t->updates) {
      /* Updates that changed no value record no version: they count through noop_count. */
      if (pCounts->bRead)
        noops = pCounts->noops;
      else
        QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &noops, NOOP_COUNT_SQL, h->name, pszTxid,
                                                  t->pszTblId));
      rows += noops;
      if (rows < t->updates)
        QK_THROW_FMT(ctx, QK_ERR_BUSY_RETRY, "conflict detected late (%d out of %d updates applied to correct row version)",
                     (int)rows, (int)t->updates);
      if (rows > t->updates)
        QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: rowcount=%lld, count_updates=%lld",
                     (long long)rows, (long long)t->updates);
    }
  }
  if (t->deletes > 0) {
    if (pCounts->bRead)
      rows = pCounts->deletes;
    else
      QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &rows, DELETES_APPLIED_SQL, t->pszDeltas, h->name,
                                                t->pszTblId, h->name, t->pszTblId, h->name, t->pszTblId, pszTxid));
    if (rows < t->deletes)
      QK_THROW_FMT(ctx, QK_ERR_BUSY_RETRY, "conflict detected late (%d deletes applied instead of %d)", (int)rows,
                   (int)t->deletes);
    if (rows > t->deletes)
      QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: rowcount=%lld, count_deletes=%lld",
                   (long long)rows, (long long)t->deletes);
  }
done:;
}

/* One batch: the table's noop counter row, the MERGE, the late-insert check and, when no row
 * ids are assigned between, the other checks' counts and the counter row's removal (then
 * *pbNoopRowGone). A failing MERGE reports as the classified road does. */
static void run_merge_batch(QK_context *ctx, tav_db_handle *h, const tav_staged_table *t, const char *pszTxid,
                            const char *pszIdentityColId, const QK_string *pMerge, late_counts *pCounts,
                            int *pbNoopRowGone) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  int bLateCheck = t->inserts != 0 || t->undeletes != 0;
  memset(pCounts, 0, sizeof *pCounts);
  pCounts->bRead = !(pszIdentityColId == NULL && t->inserts > 0) && t->undeletes == 0 && t->reinserts == 0;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql,
                                       "INSERT INTO [tavrin].[%s$z$noop_updates] (txid, tbl_id, noop_count) VALUES "
                                       "(%s, %s, 0);\n%s\n",
                                       h->name, pszTxid, t->pszTblId, QK_string__sz(pMerge)));
  if (bLateCheck)
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, LATE_INSERT_CHECK_SQL, h->name, t->pszTblId, h->name,
                                          t->pszTblId, pszTxid, t->pszDeltas));
  if (pCounts->bRead) {
    if (t->updates > 0) {
      QK_TRY(ctx, QK_string__append__format(ctx, pSql, UPDATES_APPLIED_SQL, t->pszDeltas, h->name, t->pszTblId,
                                            h->name, t->pszTblId, h->name, t->pszTblId, pszTxid));
      QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ";\n"));
      QK_TRY(ctx, QK_string__append__format(ctx, pSql, NOOP_COUNT_SQL, h->name, pszTxid, t->pszTblId));
      QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ";\n"));
    }
    if (t->deletes > 0) {
      QK_TRY(ctx, QK_string__append__format(ctx, pSql, DELETES_APPLIED_SQL, t->pszDeltas, h->name, t->pszTblId,
                                            h->name, t->pszTblId, h->name, t->pszTblId, pszTxid));
      QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ";\n"));
    }
    QK_TRY(ctx, QK_string__append__format(ctx, pSql,
                                          "DELETE FROM [tavrin].[%s$z$noop_updates] WHERE txid=%s AND tbl_id=%s;",
                                          h->name, pszTxid, t->pszTblId));
  }
  QK_TRY(ctx, tav_db_mssql__exec_direct_classified(ctx, h->conn, QK_string__sz(pSql), &hStmt));
  if (bLateCheck) QK_TRY(ctx, tav_db_mssql__read_next_int64(ctx, hStmt, &pCounts->late));
  if (pCounts->bRead && t->updates > 0) {
    QK_TRY(ctx, tav_db_mssql__read_next_int64(ctx, hStmt, &pCounts->updates));
    QK_TRY(ctx, tav_db_mssql__read_next_int64(ctx, hStmt, &pCounts->noops));
  }
  if (pCounts->bRead && t->deletes > 0) QK_TRY(ctx, tav_db_mssql__read_next_int64(ctx, hStmt, &pCounts->deletes));
  QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hStmt));
  *pbNoopRowGone = pCounts->bRead;
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_db_mssql__merge_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                               sqlite3 *pPkgDb, const char *pszTxid, const char *pszIdentityColId,
                               const tav_staged_table *pTable) {
  const tav_staged_table *t = pTable;
  QK_string *pUpdateList = NULL, *pMerge = NULL;
  const char *pszIdentityName = NULL;
  late_counts counts;
  int act = PK_COLLISION_DEFAULT_ACT;
  int bNoopRow = 0, bNoopRowGone = 0, bIdentityInsert = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pTable);
  QK_ARG_NOT_NULL(ctx, pszTxid);
  if ((t->deletes == 0 || t->deletes == -1) && t->updates == 0 && t->reinserts == 0 && t->inserts == 0 &&
      t->undeletes == 0)
    goto done;
  if (pszIdentityColId != NULL) {
    QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, t->pszTblId, pszIdentityColId, &pszIdentityName));
    QK_int64 count_inserts = t->inserts;
    QK_VERIFY(ctx, count_inserts==0);
  }
  QK_TRY(ctx, tav_db_mssql__merge_assignments(ctx, 1, psk, t->pszTblId, t->pPkgCols, pszIdentityName, &pUpdateList));
  if (QK_string__length_in_bytes(pUpdateList) == 0) {
    QK_int64 count_updates = t->updates, count_undeletes = t->undeletes;
    QK_VERIFY(ctx, count_updates == 0);
    QK_VERIFY(ctx, count_undeletes == 0);
  }
  if (t->pszStaging != NULL) QK_TRY(ctx, fill_staging(ctx, h, psk, pFilter, t, pszIdentityName, pUpdateList));
  QK_TRY(ctx, tav_db_mssql__get_record_rule(ctx, h, t->pszTblId, TAV_RULE_SIT_PK_COLLISION, 0, &act, NULL));
  QK_TRY(ctx, build_merge(ctx, h, psk, t, t->pszStaging != NULL ? t->pszStaging : t->pszRecords, pszIdentityColId,
                          pUpdateList, act, &pMerge));
  if (pszIdentityColId != NULL && (t->reinserts != 0 || t->undeletes != 0)) {
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "SET IDENTITY_INSERT %s ON", t->pszTblName));
    bIdentityInsert = 1;
  }
  /* A failed batch may have left the counter row: the removal below is harmless without it. */
  bNoopRow = 1;
  QK_TRY(ctx, run_merge_batch(ctx, h, t, pszTxid, pszIdentityColId, pMerge, &counts, &bNoopRowGone));
  if (bNoopRowGone) bNoopRow = 0;
  if (bIdentityInsert) {
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "SET IDENTITY_INSERT %s OFF", t->pszTblName));
    bIdentityInsert = 0;
  }
  QK_TRY(ctx, check_late_conflicts(ctx, h, psk, pPkgDb, t, pszTxid, pszIdentityColId, act, &counts));
done:
  if (bNoopRow)
    QK_RELEASE(ctx, QK_mssql__exec__format(ctx, h->conn, "DELETE FROM [tavrin].[%s$z$noop_updates] WHERE txid=%s AND tbl_id=%s",
                                           h->name, pszTxid, t->pszTblId));
  if (bIdentityInsert) QK_RELEASE(ctx, QK_mssql__exec__format(ctx, h->conn, "SET IDENTITY_INSERT %s OFF", t->pszTblName));
  QK_RELEASE(ctx, QK_string__free(ctx, pMerge));
  QK_RELEASE(ctx, QK_string__free(ctx, pUpdateList));
}

/* ---- Apply order ---- */

/* Whether a parent of the table (itself excluded) gains or changes rows in this import. */
static void parent_changes_rows(QK_context *ctx, tav_defin *psk, QK_vhash *pState, const char *pszTblId,
                                int *pbChanges) {
  QK_vhash *pParents = NULL, *pMember = NULL;
  QK_uint32 count = 0;
  const char *pszParent = NULL;
  static const char *const kinds[] = {"count_reinserts", "count_updates", "count_undeletes", "count_inserts"};
  *pbChanges = 0;
  QK_TRY(ctx, tav_defin__list_referenced_tables(ctx, psk, pszTblId, &pParents));
  if (pParents != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pParents, &count));
  for (QK_uint32 i = 0; i < count && !*pbChanges; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pParents, i, &pszParent, NULL));
    if (strcmp(pszParent, pszTblId) == 0) continue;
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pState, pszParent, &pMember));
    if (pMember == NULL) continue;
    for (size_t k = 0; k < sizeof kinds / sizeof kinds[0]; k++) {
      QK_int64 n = 0;
      QK_TRY(ctx, QK_vhash__check__int64(ctx, pMember, kinds[k], &n));
      if (n != 0) *pbChanges = 1;
    }
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pParents));
}

/* Pass 1 for one table: decide whether its deletes ride in its MERGE, and detach the child
 * rows that its changes would break. */
static void prepare_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_vhash *pState, const char *pszTblId) {
  tav_staged_table t;
  QK_vhash *pMember = NULL, *pFk = NULL;
  QK_varray *pSelfKeys = NULL, *pChildKeys = NULL;
  QK_uint32 countSelf = 0, countChild = 0;
  char szChildren[TAV_TEMP_NAME_SIZE] = "";
  int bParentChanges = 0, bCombined, bDeleteFirst, bInsertLater, bHasIpk = 0, bChanged = 0;
  QK_TRY(ctx, tav_db_mssql__load_staged_table(ctx, pState, pszTblId, &t));
  if (t.deletes == 0 && t.reinserts == 0 && t.updates == 0) goto done;
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pState, pszTblId, &pMember));
  QK_TRY(ctx, QK_vhash__check__bool(ctx, pMember, "has_ipk", &bHasIpk));
  QK_TRY(ctx, parent_changes_rows(ctx, psk, pState, pszTblId, &bParentChanges));
  bCombined = t.reinserts < 1 && !bParentChanges;
  bDeleteFirst = (t.deletes > 0 || t.reinserts > 0) &&
                 (t.updates > 0 || t.reinserts > 0 || t.undeletes > 0 || t.inserts != 0) && !bCombined;
  bInsertLater = t.inserts > 0 && (t.deletes > 0 || t.reinserts > 0 || t.updates > 0 || t.undeletes > 0) && bHasIpk;
  if (!bHasIpk && bDeleteFirst) {
    QK_TRY(ctx, tav_defin__list_fk_actions(ctx, psk, pszTblId, pszTblId, 0, &pSelfKeys, &countSelf));
    do {
      bChanged = 0;
      for (QK_uint32 i = 0; i < countSelf; i++) {
        QK_TRY(ctx, QK_varray__get__vhash(ctx, pSelfKeys, i, &pFk));
        QK_TRY(ctx, tav_db_mssql__load_staged_table(ctx, pState, pszTblId, &t));
        QK_TRY(ctx, tav_db_mssql__detach_self_children(ctx, h, psk, pState, pszTblId, t.pszDeltas, t.pszRecords,
                                                       t.pszStaging, t.pHostCols, pFk, szChildren, &bChanged));
      }
    } while (bChanged && countSelf >= 2);
    QK_TRY(ctx, tav_db_mssql__load_staged_table(ctx, pState, pszTblId, &t));
  }
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pMember, "UP&INSw/DEL", bCombined));
  QK_TRY(ctx, tav_defin__list_child_fks(ctx, psk, pszTblId, 0, 0, &pChildKeys, &countChild));
  for (QK_uint32 i = 0; i < countChild; i++) {
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pChildKeys, i, &pFk));
    QK_TRY(ctx, tav_db_mssql__detach_children(ctx, h, psk, pState, pszTblId, pFk, t.pszDeltas, t.pszRecords,
                                              t.deletes > 0 || t.reinserts > 0, bDeleteFirst, bInsertLater));
  }
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pChildKeys));
  QK_RELEASE(ctx, QK_varray__free(ctx, pSelfKeys));
}

void tav_db_mssql__apply_staged(QK_context *ctx, const char *pszVerb, tav_db_handle *h, tav_defin *psk,
                                tav_filter *pFilter, QK_vhash *pState, QK_int64 txid, QK_int64 fid,
                                sqlite3 *pPkgDb) {
  QK_varray *pOrder = NULL;
  QK_vhash *pMember = NULL;
  QK_uint32 count = 0;
  const char *pszTblId = NULL;
  char szTxid[QK_INT64_SZ_SIZE];
  tav_staged_table t;
  int bCombined = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pState);
  snprintf(szTxid, sizeof szTxid, "%lld", (long long)txid);
  QK_TRY(ctx, tav_defin__order_tables_by_fk(ctx, psk, &pOrder));
  if (pOrder != NULL) QK_TRY(ctx, QK_varray__count(ctx, pOrder, &count));

  for (QK_uint32 i = 0; i < count; i++) {
    pszTblId = NULL;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pOrder, i, &pszTblId));
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pState, pszTblId, &pMember));
    if (pMember != NULL) QK_TRY(ctx, prepare_table(ctx, h, psk, pState, pszTblId));
  }
  for (QK_uint32 i = count; i-- > 0;) {
    pszTblId = NULL;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pOrder, i, &pszTblId));
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pState, pszTblId, &pMember));
    if (pMember == NULL) continue;
    QK_TRY(ctx, tav_db_mssql__load_staged_table(ctx, pState, pszTblId, &t));
    bCombined = 0;
    QK_TRY(ctx, QK_vhash__check__bool(ctx, pMember, "UP&INSw/DEL", &bCombined));
    if (!bCombined) {
      if (t.deletes > 0 || t.reinserts > 0)
        QK_TRY(ctx, tav_db_mssql__delete_rows(ctx, h, psk, pszTblId, t.pszTblName, t.pszDeltas,
                                              (QK_uint32)(t.deletes + t.reinserts)));
      continue;
    }
    if (t.reinserts != 0)
      QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: count_reinserts=%lld",
                   (long long)t.reinserts);
    QK_TRY(ctx, tav_db_mssql__apply_table(ctx, h, psk, pFilter, pPkgDb, fid, szTxid, pState, &t));
    QK_TRY(ctx, QK_vhash__remove(ctx, pState, pszTblId));
  }
  for (QK_uint32 i = 0; i < count; i++) {
    pszTblId = NULL;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pOrder, i, &pszTblId));
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pState, pszTblId, &pMember));
    if (pMember == NULL) continue;
    QK_TRY(ctx, tav_db_mssql__load_staged_table(ctx, pState, pszTblId, &t));
    t.deletes = -1;
    QK_TRY(ctx, tav_db_mssql__apply_table(ctx, h, psk, pFilter, pPkgDb, fid, szTxid, pState, &t));
  }
  pszTblId = NULL;
done:
  if (QK_context__has_error(ctx) && pszTblId != NULL) {
    const char *pszName = NULL;
    QK_vhash *pFailed = NULL;
    QK_context__push_level(ctx);
    QK_vhash__check__vhash(ctx, pState, pszTblId, &pFailed);
    if (pFailed != NULL) QK_vhash__check__sz(ctx, pFailed, "tbl_name", &pszName);
    QK_context__pop_level(ctx);
    tav_err__add_context(ctx, pszTblId, pszVerb, pszName);
  }
  QK_RELEASE(ctx, QK_varray__free(ctx, pOrder));
}

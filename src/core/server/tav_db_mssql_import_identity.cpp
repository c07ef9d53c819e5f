/* New rows of tables with an identity column. A client cannot know the values SQL Server will
 * assign, so it sends its own temporary ones as "C:<n>"; the rows are inserted without the
 * column, the server's values replace the temporary ones in every staged reference that is
 * still to be merged, and the pairs are logged so that the client can learn its final keys. */
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "qk/qk_string.h"
#include "server/tav_db_mssql_import.h"
#include "server/tav_db_mssql_values.h"

#define ERR_BAD_REQUEST QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400)

/* The new rows' batch opens with the identities table and the count of inserts whose row id
 * a live row holds already; only without such inserts do the steps that follow run. */
static const char IDENTITY_BATCH_HEAD_SQL[] =
    "CREATE TABLE #%s (orig bigint NOT NULL UNIQUE, z_identity bigint NOT NULL UNIQUE);\n"
    "DECLARE @duplicates bigint;\n"
    "SELECT @duplicates = COUNT(*) FROM #%s\n"
    "WHERE txid_rec_del IS NULL AND txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL\n"
    "AND rid IN (SELECT rv.rid FROM tavrin.\"%s$z$%s\" AS z INNER JOIN tavrin.\"%s$z$rv$%s\" AS rv ON "
    "rv.z_rv=z.z_rv);\n"
    "SELECT @duplicates;\n"
    "IF @duplicates = 0\n"
    "BEGIN\n";
static const char IDENTITY_MERGE_SQL[] =
    "SET NOCOUNT ON;\n"
    "WITH current_id (rid, live_identity) AS\n"
    "(\n"
    "  SELECT rv.rid, x.[%s] FROM tavrin.\"%s$z$x$%s\" AS x INNER JOIN tavrin.\"%s$z$rv$%s\" AS rv ON "
    "(rv.z_rv=x.z_rv)\n"
    ")\n"
    "MERGE INTO %s z$$host_table\n"
    "  USING\n"
    "    (SELECT %s, td.rid AS z_rid FROM #%s tr INNER JOIN #%s td ON (td.rid=tr.z_rid) WHERE td.txid_rec_del IS NULL "
    "AND td.txid_rec_undel IS NULL AND td.txid_rec_reinsert IS NULL) AS s\n"
    "    LEFT OUTER JOIN current_id c ON (c.rid=s.z_rid)\n"
    "  ON (c.live_identity = z$$host_table.[%s])\n"
    "  WHEN NOT MATCHED THEN\n"
    "    INSERT %s OUTPUT CAST(SUBSTRING(s.[%s],3,25) AS bigint), inserted.[%s] INTO #%s;\n"
    "SELECT COUNT(*) FROM #%s;\n";
static const char IDENTITY_RIDS_SQL[] =
    "MERGE INTO tavrin.\"%s$z$rv$%s\" AS rv   USING (    (SELECT rid AS rid FROM #%s WHERE txid_rec_del IS NULL AND "
    "txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL) AS td    INNER JOIN #%s tr ON (tr.z_rid=td.rid)    INNER "
    "JOIN #%s tid ON ((CAST(SUBSTRING(tr.[%s],3,25) AS bigint))=tid.orig)    INNER JOIN tavrin.\"%s$z$x$%s\" l ON "
    "(tid.z_identity=l.[%s])  )  ON rv.z_rv=l.z_rv   WHEN MATCHED THEN UPDATE SET rid = tr.z_rid;\n"
    "SELECT @@ROWCOUNT;\n"
    "END;";
static const char IPKLOG_INSERT_SQL[] =
    "IF OBJECT_ID('[tavrin].[%s$t$ipklog]') IS NOT NULL\n"
    "  INSERT INTO [tavrin].[%s$t$ipklog] (fid, tbl_id, temp_ipk, import_txid, final_ipk)\n"
    "    SELECT %s, %s, orig, %s, z_identity FROM #%s;";
static const char REWRITE_REF_SQL[] =
    "UPDATE #%s SET \"%s\"=('S:' + CAST(? AS varchar(25))) WHERE \"%s\"=('C:' + CAST(? AS varchar(25)))";
/* Every client value of the identities table becomes its server value in one statement; a
 * rewritten value ("S:") matches no pair, so the order of the pairs does not matter. */
static const char REWRITE_REFS_FROM_IDENTITIES_SQL[] =
    "UPDATE tr SET \"%s\"=('S:' + CAST(tid.z_identity AS varchar(25))) FROM #%s tr INNER JOIN #%s tid ON "
    "tr.\"%s\"=('C:' + CAST(tid.orig AS varchar(25)))";

/* What a rewrite turns into server keys: one pair, or (with an identities table) every pair
 * of the table. */
typedef struct key_rewrite {
  QK_int64 clientValue, serverValue;
  const char *pszIdentities;
} key_rewrite;

static void rewrite_refs(QK_context *ctx, tav_db_handle *h, QK_vhash *pRefs, tav_defin *psk, QK_vhash *pState,
                         const key_rewrite *r);

/* One referencing column of a staged table, then the columns that reference it in turn. */
static void rewrite_column(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_vhash *pState, const char *pszTblId,
                           const char *pszRecords, const char *pszColId, const key_rewrite *r) {
  QK_int64 clientValue = r->clientValue, serverValue = r->serverValue;
  QK_vhash *pNext = NULL;
  QK_string *pLiteral = NULL, *pQuoted = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  const char *pszName = NULL;
  QK_int64 length = 0;
  QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, pszTblId, pszColId, &pszName));
  QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszName, '\'', &pLiteral));
  QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszName, '"', &pQuoted));
  QK_TRY(ctx, QK_mssql__query_int64__format(ctx, h->conn, &length, "SELECT COALESCE(COL_LENGTH('tempdb..#%s', '%s'), -4)",
                                            pszRecords, QK_string__sz(pLiteral)));
  if (length == -4) goto done;
  if (r->pszIdentities != NULL) {
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, REWRITE_REFS_FROM_IDENTITIES_SQL, QK_string__sz(pQuoted),
                                       pszRecords, r->pszIdentities, QK_string__sz(pQuoted)));
  } else {
    QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, REWRITE_REF_SQL, pszRecords, QK_string__sz(pQuoted),
                                          QK_string__sz(pQuoted)));
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &serverValue));
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &clientValue));
    QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  }
  QK_TRY(ctx, tav_defin__list_referencing_columns(ctx, psk, pszTblId, pszColId, &pNext));
  if (pNext != NULL) QK_TRY(ctx, rewrite_refs(ctx, h, pNext, psk, pState, r));
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pQuoted));
  QK_RELEASE(ctx, QK_string__free(ctx, pLiteral));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pNext));
}

static void rewrite_refs(QK_context *ctx, tav_db_handle *h, QK_vhash *pRefs, tav_defin *psk, QK_vhash *pState,
                         const key_rewrite *r) {
  QK_vhash *pCols = NULL, *pMember = NULL;
  QK_uint32 countTables = 0, countCols = 0;
  const char *pszTblId = NULL, *pszColId = NULL, *pszRecords = NULL;
  QK_ARG_NOT_NULL(ctx, pRefs);
  QK_TRY(ctx, QK_vhash__count(ctx, pRefs, &countTables));
  for (QK_uint32 i = 0; i < countTables; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pRefs, i, &pszTblId, &pCols));
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pState, pszTblId, &pMember));
    if (pMember == NULL) continue;
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "ttable_records", &pszRecords));
    QK_TRY(ctx, QK_vhash__count(ctx, pCols, &countCols));
    for (QK_uint32 j = 0; j < countCols; j++) {
      QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pCols, j, &pszColId, NULL));
      QK_TRY(ctx, rewrite_column(ctx, h, psk, pState, pszTblId, pszRecords, pszColId, r));
    }
  }
done:;
}

void tav_db_mssql__rewrite_identity_refs(QK_context *ctx, tav_db_handle *h, QK_vhash *pRefs, tav_defin *psk,
                                         QK_vhash *pState, QK_int64 clientValue, QK_int64 serverValue) {
  key_rewrite r = {clientValue, serverValue, NULL};
  QK_ARG_NOT_NULL(ctx, pRefs);
  QK_TRY(ctx, rewrite_refs(ctx, h, pRefs, psk, pState, &r));
done:;
}

/* The column list and values of the insert, or "DEFAULT VALUES" when there is no column. */
static void insert_clause(QK_context *ctx, const QK_string *pCols, const QK_string *pValues, const QK_string *pFilterCols,
                          const QK_string *pFilterDefs, QK_string **ppOut) {
  const char *pszCols = QK_string__sz(pCols), *pszValues = QK_string__sz(pValues);
  const char *pszFilterCols = pFilterCols ? QK_string__sz(pFilterCols) : "";
  const char *pszFilterDefs = pFilterDefs ? QK_string__sz(pFilterDefs) : "";
  if (*pszCols == '\0' && *pszFilterCols == '\0') {
    QK_TRY(ctx, QK_string__alloc__sz(ctx, ppOut, "DEFAULT VALUES"));
    goto done;
  }
  /* The filter's part starts with a comma, which must not open the list. */
  if (*pszCols == '\0') {
    pszFilterCols++;
    pszFilterDefs++;
  }
  QK_TRY(ctx, QK_string__alloc__format(ctx, ppOut, "(%s %s) VALUES (%s %s)", pszCols, pszFilterCols, pszValues,
                                       pszFilterDefs));
done:;
}

static void rewrite_references(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_vhash *pState,
                               const char *pszTblId, const char *pszIdentityColId, const char *pszIdentities) {
  key_rewrite all = {0, 0, pszIdentities};
  QK_vhash *pRefs = NULL;
  QK_uint32 countRefs = 0;
  const char *pszRefTbl = NULL;
  QK_TRY(ctx, tav_defin__list_referencing_columns(ctx, psk, pszTblId, pszIdentityColId, &pRefs));
  if (pRefs == NULL) goto done;
  QK_TRY(ctx, QK_vhash__count(ctx, pRefs, &countRefs));
  if (countRefs == 0) goto done;
  for (QK_uint32 i = 0; i < countRefs; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pRefs, i, &pszRefTbl, NULL));
    if (strcasecmp(pszRefTbl, pszTblId) == 0)
      QK_THROW_MSG(ctx, QK_ERR_SERVER_MISCONFIGURATION,
                   "Cannot insert into a table with a same-table reference to an identity column.");
  }
  /* No "C:" value of a row this push inserted stays behind: a client key left later is one
   * that no insert maps. */
  QK_TRY(ctx, rewrite_refs(ctx, h, pRefs, psk, pState, &all));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pRefs));
}

void tav_db_mssql__insert_identity_rows(QK_context *ctx, tav_db_handle *h, QK_int64 fid, const char *pszTxid,
                                        tav_defin *psk, tav_filter *pFilter, QK_vhash *pState,
                                        const char *pszTblId, const char *pszTblName, const char *pszIdentityColId,
                                        const char *pszRecords, QK_vhash *pPkgCols, const char *pszDeltas,
                                        QK_uint32 inserts) {
  QK_string *pCols = NULL, *pValues = NULL, *pSource = NULL, *pFilterCols = NULL, *pFilterDefs = NULL;
  QK_string *pInsert = NULL, *pBracketed = NULL, *pBatch = NULL;
  const char *pszIdentity = NULL, *pszId = NULL;
  char szIdentities[TAV_TEMP_NAME_SIZE];
  QK_int64 duplicates = 0, inserted = 0, updated = 0;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPkgCols);
  /* Updates and deletes alone insert nothing: none of the steps below would change a row. */
  if (inserts == 0) goto done;
  QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, pszTblId, pszIdentityColId, &pszIdentity));
  QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszIdentity, ']', &pBracketed));
  pszId = QK_string__sz(pBracketed);
  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, pPkgCols, pszIdentity, &pCols));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 1, psk, pszTblId, pPkgCols, pszIdentity, "s", 0, 0, &pValues));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, pszTblId, pPkgCols, NULL, "tr", 0, 0, &pSource));
  if (pFilter != NULL)
    QK_TRY(ctx, tav_filter__excluded_column_defaults(ctx, pFilter, psk, pszTblId, 0, pPkgCols, &pFilterCols,
                                                     &pFilterDefs));
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szIdentities, "identities", pszTblId));
  QK_TRY(ctx, insert_clause(ctx, pCols, pValues, pFilterCols, pFilterDefs, &pInsert));

  /* One batch: the identities table, the duplicates' count, then the MERGE and the count of
   * the rows it inserted, the row ids of their versions and the count of those. The
   * referencing tables' rewrite below touches neither. */
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pBatch, IDENTITY_BATCH_HEAD_SQL, szIdentities, pszDeltas, h->name,
                                       pszTblId, h->name, pszTblId));
  QK_TRY(ctx, QK_string__append__format(ctx, pBatch, IDENTITY_MERGE_SQL, pszId, h->name, pszTblId, h->name, pszTblId,
                                        pszTblName, QK_string__sz(pSource), pszRecords, pszDeltas, pszId,
                                        QK_string__sz(pInsert), pszId, pszId, szIdentities, szIdentities));
  QK_TRY(ctx, QK_string__append__format(ctx, pBatch, IDENTITY_RIDS_SQL, h->name, pszTblId, pszDeltas, pszRecords,
                                        szIdentities, pszId, h->name, pszTblId, pszId));
  tav_db_mssql__exec_direct_classified(ctx, h->conn, QK_string__sz(pBatch), &hStmt);
  if (!QK_context__has_error(ctx)) tav_db_mssql__read_next_int64(ctx, hStmt, &duplicates);
  if (QK_context__has_error(ctx)) {
    QK_int64 state = 0;
    tav_db_mssql__error_sqlstate(ctx, &state);
    /* Values SQL Server cannot take (class 22: data exceptions) are the client's fault; other
     * failures of the statement stay server errors. */
    if (state / 1000 == 22)
      QK_context__replace_error(ctx, ERR_BAD_REQUEST, __FILE__, __LINE__);
    QK_CHECK(ctx);
  }
  if (duplicates > 0)
    QK_THROW_FMT(ctx, ERR_BAD_REQUEST,
                 "%d of %d INSERT rows in table \"%s\" (%s) have a duplicate rid (i.e. have already been inserted)",
                 (int)duplicates, (int)inserts, pszTblName, pszTblId);
  QK_TRY(ctx, tav_db_mssql__read_next_int64(ctx, hStmt, &inserted));
  QK_TRY(ctx, tav_db_mssql__read_next_int64(ctx, hStmt, &updated));
  QK_TRY(ctx, tav_db_mssql__drain_results(ctx, hStmt));
  QK_TRY(ctx, QK_mssql__free_stmt(ctx, hStmt));
  hStmt = SQL_NULL_HSTMT;
  if (inserted != (QK_int64)inserts)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: count_inserted=%lld, count_inserts=%u",
                 (long long)inserted, inserts);
  QK_TRY(ctx, rewrite_references(ctx, h, psk, pState, pszTblId, pszIdentityColId, szIdentities));
  if (updated != (QK_int64)inserts)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Verification failure: count_updated=%lld, count_inserts=%u",
                 (long long)updated, inserts);
  if (fid != 0) {
    char szFid[32];
    snprintf(szFid, sizeof szFid, "%lld", (long long)fid);
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, IPKLOG_INSERT_SQL, h->name, h->name, szFid, pszTblId, pszTxid,
                                       szIdentities));
  }
done:
  if (hStmt != SQL_NULL_HSTMT) QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pBatch));
  QK_RELEASE(ctx, QK_string__free(ctx, pBracketed));
  QK_RELEASE(ctx, QK_string__free(ctx, pInsert));
  QK_RELEASE(ctx, QK_string__free(ctx, pFilterDefs));
  QK_RELEASE(ctx, QK_string__free(ctx, pFilterCols));
  QK_RELEASE(ctx, QK_string__free(ctx, pSource));
  QK_RELEASE(ctx, QK_string__free(ctx, pValues));
  QK_RELEASE(ctx, QK_string__free(ctx, pCols));
}

/* Detaching child rows around parent changes of a push. SQL Server checks foreign keys at the
 * end of each statement, and the import writes a table in up to three statements (delete
 * step, MERGE, identity inserts): a child row whose parent is removed in one of them while its
 * key is taken again in another would break the check in between. Such children are set to
 * NULL in one key column, or, when no column of the key accepts NULL, deleted with the parent
 * and inserted again afterwards ("reinserts"); either way they join the child's staged data so
 * that its MERGE puts them back. */
#include <stdio.h>
#include <string.h>

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "qk/qk_malloc.h"
#include "qk/qk_string.h"
#include "server/tav_db_mssql_import.h"
#include "server/tav_db_mssql_values.h"

static const char CHILDREN_KEY_DEF[] = "z_rid uniqueidentifier PRIMARY KEY, z_txid bigint";
static const char CHILDREN_FROM_SQL[] =
    "FROM\n"
    "  (SELECT\n"
    "    rid AS rid,\n"
    "    COALESCE(txid_rec_del, txid_rec_reinsert) AS txid,\n"
    "    %s AS parent_step\n"
    "  FROM #%s WHERE\n"
    "    txid_rec_add=0\n"
    "    OR txid_rec_reinsert IS NOT NULL\n"
    "%s  ) AS p\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" AS p_rv ON (p_rv.rid=p.rid AND p_rv.txid=p.txid)\n"
    "  INNER JOIN tavrin.\"%s$z$x$%s\" AS z_parent ON (z_parent.z_rv=p_rv.z_rv)\n"
    "  INNER JOIN %s AS parent ON (%s)\n"
    "  INNER JOIN %s AS child ON (%s)\n"
    "  INNER JOIN tavrin.\"%s$z$x$%s\" AS z_child ON (%s)\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" AS ch_rv ON (ch_rv.z_rv=z_child.z_rv)\n"
    "  LEFT OUTER JOIN #%s AS p2 ON (%s)\n"
    "  LEFT OUTER JOIN (SELECT rid AS rid, %s AS parent_step FROM #%s) AS p2_delta ON (p2_delta.rid=p2.z_rid)\n";
static const char SELF_CHILDREN_FROM_SQL[] =
    "FROM\n"
    "  (SELECT rid AS rid, COALESCE(txid_rec_del, txid_rec_reinsert) AS txid FROM #%s WHERE txid_rec_add=0 OR "
    "txid_rec_reinsert IS NOT NULL) AS p\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" AS p_rv ON (p_rv.rid=p.rid AND p_rv.txid=p.txid)\n"
    "  INNER JOIN tavrin.\"%s$z$%s\" AS parent ON (parent.z_rv=p_rv.z_rv)\n"
    "  INNER JOIN tavrin.\"%s$z$%s\" AS child ON (%s)\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" AS ch_rv ON (ch_rv.z_rv=child.z_rv)\n"
    "  LEFT OUTER JOIN #%s AS ch_delta ON (ch_rv.rid=ch_delta.rid)\n"
    "  LEFT OUTER JOIN #%s AS p2 ON (%s)\n"
    "WHERE\n"
    "  (ch_delta.txid_rec_add=1 OR p2.z_rid IS NOT NULL)\n"
    "  AND NOT (ch_delta.txid_rec_reinsert IS NOT NULL OR (ch_delta.txid_rec_add=0 AND ch_delta.rid IS NOT "
    "NULL))\n";
static const char CHILDREN_MERGE_SQL[] =
    "MERGE INTO #%s tr USING #%s %s ON (%s.z_rid=tr.z_rid)  WHEN NOT MATCHED    THEN INSERT (z_rid, %s) VALUES "
    "(%s.z_rid, %s)OUTPUT INSERTED.z_rid, 1, %s, NULL, %s  INTO #%s (rid, txid_rec_add ,txid_rec_del, "
    "txid_rec_undel, txid_rec_reinsert);";
static const char UPDATES_TO_REINSERTS_SQL[] =
    "UPDATE #%s SET txid_rec_reinsert=txid_rec_del, txid_rec_del=NULL WHERE txid_rec_del IS NOT NULL AND rid IN "
    "(SELECT z_rid FROM #%s%s)";

static int is_constraint_error(QK_context *ctx) {
  QK_error err = QK_OK;
  QK_context__get_error(ctx, &err);
  return QK_ERROR_DOMAIN(err) == QK_ERR_DOMAIN_QKLIB && QK_ERROR_CODE(err) >= 80 && QK_ERROR_CODE(err) <= 84;
}

/* Tries the key's columns in order: the first one that accepts NULL detaches the children
 * (their old values go to the children table through OUTPUT). */
static void try_set_null(QK_context *ctx, tav_db_handle *h, QK_varray *pColsFrom, const char *pszFormat,
                         const char *pszOutput, const char *pszFrom, const char *pszChildren, int *pbSetNull,
                         QK_int64 *pRows) {
  QK_string *pCol = NULL;
  QK_uint32 count = 0;
  const char *pszCol = NULL;
  *pbSetNull = 0;
  QK_TRY(ctx, QK_varray__count(ctx, pColsFrom, &count));
  for (QK_uint32 i = 0; i < count && !*pbSetNull; i++) {
    QK_TRY(ctx, QK_varray__get__sz(ctx, pColsFrom, i, &pszCol));
    QK_RELEASE(ctx, QK_string__free(ctx, pCol));
    pCol = NULL;
    QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszCol, '"', &pCol));
    tav_db_mssql__exec_rowcount(ctx, h, pRows, pszFormat, QK_string__sz(pCol), pszOutput, pszFrom);
    if (QK_context__has_error(ctx)) {
      if (!is_constraint_error(ctx)) QK_CHECK(ctx);
      /* The column refuses NULL: whatever the statement wrote is gone with it. */
      QK_context__reset_error(ctx);
      QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "DELETE FROM #%s", pszChildren));
      continue;
    }
    *pbSetNull = 1;
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pCol));
}

/* Reinserted children enter the staging table with their current values, and the child's own
 * updates among them become reinserts. */
static void children_to_reinserts(QK_context *ctx, tav_db_handle *h, QK_vhash *pMember, const char *pszStaging,
                                  QK_vhash *pChildCols, const char *pszChildren, const char *pszAlias,
                                  QK_int64 *pMoved) {
  QK_string *pList = NULL;
  const char *pszDeltas = NULL;
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "ttable_deltas", &pszDeltas));
  if (pszStaging != NULL) {
    QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, pChildCols, NULL, &pList));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "INSERT INTO #%s (z_rid, %s) SELECT z_rid, %s FROM #%s",
                                       pszStaging, QK_string__sz(pList), QK_string__sz(pList), pszChildren));
  }
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, pMoved, UPDATES_TO_REINSERTS_SQL, pszDeltas, pszChildren, pszAlias));
  QK_TRY(ctx, tav_db_mssql__move_count(ctx, pMember, "count_updates", "count_reinserts", *pMoved));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pList));
}

/* The children the package does not carry join the records with update deltas (set NULL: the
 * MERGE restores the key) or reinsert deltas. */
static void merge_children(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                           QK_vhash *pMember, const char *pszChildren, const char *pszAlias, int bSetNull,
                           QK_int64 *pRows) {
  QK_string *pList = NULL, *pSelect = NULL;
  QK_vhash *pPkgCols = NULL;
  const char *pszRecords = NULL, *pszDeltas = NULL;
  char szTxid[32];
  snprintf(szTxid, sizeof szTxid, "%s.z_txid", pszAlias);
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "ttable_records", &pszRecords));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pMember, "ttable_deltas", &pszDeltas));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pMember, "cols_in_pkg_u", &pPkgCols));
  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, pPkgCols, NULL, &pList));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, pszTblId, pPkgCols, NULL, pszAlias, 0, 0, &pSelect));
  QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, pRows, CHILDREN_MERGE_SQL, pszRecords, pszChildren, pszAlias,
                                          pszAlias, QK_string__sz(pList), pszAlias, QK_string__sz(pSelect),
                                          bSetNull ? szTxid : "NULL", bSetNull ? "NULL" : szTxid, pszDeltas));
  QK_TRY(ctx, tav_db_mssql__move_count(ctx, pMember, NULL, bSetNull ? "count_updates" : "count_reinserts", *pRows));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pList));
}

/* "left.a=right.b AND ..." over the key's column pairs; with bDecorate a right column that is
 * or references an identity column is compared in its "S:" text form. */
static void key_terms(QK_context *ctx, tav_defin *psk, const char *pszRightTbl, QK_varray *pLeftCols,
                      QK_varray *pRightCols, const char *pszLeft, const char *pszRight, int bDecorate,
                      QK_string **ppOut) {
  QK_string *pOut = NULL, *pL = NULL, *pR = NULL;
  QK_uint32 count = 0;
  const char *pszL = NULL, *pszR = NULL, *pszColId = NULL, *pszIdentityTbl = NULL;
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  QK_TRY(ctx, QK_varray__count(ctx, pLeftCols, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_varray__get__sz(ctx, pLeftCols, i, &pszL));
    QK_TRY(ctx, QK_varray__get__sz(ctx, pRightCols, i, &pszR));
    if (i) QK_TRY(ctx, QK_string__append__sz(ctx, pOut, " AND "));
    pszIdentityTbl = NULL;
    if (bDecorate) {
      QK_TRY(ctx, tav_defin__get_column_id(ctx, psk, pszRightTbl, pszR, &pszColId));
      if (pszColId != NULL)
        QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, psk, pszRightTbl, pszColId, &pszIdentityTbl, NULL));
    }
    QK_RELEASE(ctx, QK_string__free(ctx, pL));
    QK_RELEASE(ctx, QK_string__free(ctx, pR));
    pL = pR = NULL;
    QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszL, '"', &pL));
    QK_TRY(ctx, tav_db_mssql__escape_identifier(ctx, pszR, '"', &pR));
    if (pszIdentityTbl != NULL)
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s.\"%s\"=('S:' + CAST(%s.\"%s\" AS varchar(25)))", pszLeft,
                                            QK_string__sz(pL), pszRight, QK_string__sz(pR)));
    else
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s.\"%s\"=%s.\"%s\"", pszLeft, QK_string__sz(pL), pszRight,
                                            QK_string__sz(pR)));
  }
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pR));
  QK_RELEASE(ctx, QK_string__free(ctx, pL));
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

/* A children temp table for the table: every column, identity-related ones as key text, and
 * its checks off while OUTPUT INTO writes the old values. */
static void create_children_table(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const char *pszTblId,
                                  char *pszName64) {
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, pszName64, "children", pszTblId));
  QK_TRY(ctx, tav_db_mssql__create_temp_table(ctx, h->conn, psk, pszTblId, pszName64, CHILDREN_KEY_DEF, 1, NULL, 0,
                                              NULL));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "ALTER TABLE #%s NOCHECK CONSTRAINT ALL;", pszName64));
done:;
}

static const char *parent_step_of_reuse(int bDeleteFirst, int bInsertLater) {
  if (bDeleteFirst && bInsertLater)
    return "CASE WHEN (txid_rec_del IS NOT NULL OR txid_rec_undel IS NOT NULL OR txid_rec_reinsert IS NOT NULL) THEN "
           "2 ELSE 3 END";
  if (bDeleteFirst) return "2";
  if (bInsertLater)
    return "CASE WHEN (txid_rec_del IS NOT NULL OR txid_rec_undel IS NOT NULL OR txid_rec_reinsert IS NOT NULL) THEN "
           "1 ELSE 2 END";
  return "1";
}

void tav_db_mssql__detach_children(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_vhash *pState,
                                   const char *pszParentTblId, QK_vhash *pFk, const char *pszParentDeltas,
                                   const char *pszParentRecords, int bParentDeletesRows, int bDeleteFirst,
                                   int bInsertLater) {
  QK_varray *pColsTo = NULL, *pColsFrom = NULL;
  QK_vhash *pChild = NULL, *pChildCols = NULL;
  QK_string *pParentKeys = NULL, *pChildKeys = NULL, *pJoin = NULL, *pReuse = NULL, *pOutputSelect = NULL;
  QK_string *pColList = NULL, *pOutput = NULL, *pFrom = NULL, *pCopySelect = NULL;
  char *pszParentName = NULL, *pszChildName = NULL;
  const char *pszChildTbl = NULL, *pszChildDeltas = NULL;
  char szChildren[TAV_TEMP_NAME_SIZE];
  QK_int64 children = 0, moved = 0, merged = 0;
  int bOnUp = 0, bSetNull = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pFk);
  QK_TRY(ctx, QK_vhash__get__varray(ctx, pFk, "cols-to", &pColsTo));
  QK_TRY(ctx, QK_vhash__get__varray(ctx, pFk, "cols-from", &pColsFrom));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pFk, "tbl", &pszChildTbl));
  QK_TRY(ctx, QK_vhash__check__bool(ctx, pFk, "on-up", &bOnUp));
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, pState, pszChildTbl, &pChild));
  if (pChild != NULL) QK_TRY(ctx, QK_vhash__get__sz(ctx, pChild, "ttable_deltas", &pszChildDeltas));
  if ((!bDeleteFirst && !bInsertLater && pChild == NULL) || (bOnUp && !bParentDeletesRows)) goto done;

  QK_TRY(ctx, tav_db_mssql__get_quoted_table_name(ctx, h, pszParentTblId, &pszParentName));
  QK_TRY(ctx, tav_db_mssql__get_quoted_table_name(ctx, h, pszChildTbl, &pszChildName));
  QK_TRY(ctx, tav_defin__tsql_key_compare(ctx, psk, pszParentTblId, "parent", "z_parent", 0, 0, &pParentKeys));
  QK_TRY(ctx, tav_defin__tsql_key_compare(ctx, psk, pszChildTbl, "z_child", "child", 0, 0, &pChildKeys));
  QK_TRY(ctx, create_children_table(ctx, h, psk, pszChildTbl, szChildren));
  QK_TRY(ctx, tav_defin__list_columns(ctx, psk, pszChildTbl, 1, &pChildCols));

  QK_TRY(ctx, key_terms(ctx, psk, pszParentTblId, pColsFrom, pColsTo, "child", "parent", 0, &pJoin));
  QK_TRY(ctx, key_terms(ctx, psk, pszParentTblId, pColsTo, pColsTo, "p2", "parent", 1, &pReuse));

  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, pChildCols, NULL, &pColList));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 2, psk, pszChildTbl, pChildCols, NULL, "DELETED", 0, 0,
                                          &pOutputSelect));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pOutput, "OUTPUT ch_rv.rid, ch_rv.txid, %s INTO #%s (z_rid, z_txid, %s)\n",
                                       QK_string__sz(pOutputSelect), szChildren, QK_string__sz(pColList)));
  QK_TRY(ctx, QK_string__alloc__format(
                  ctx, &pFrom, CHILDREN_FROM_SQL,
                  bDeleteFirst ? "CASE WHEN (txid_rec_add=0 OR txid_rec_reinsert IS NOT NULL) THEN 1 ELSE 2 END" : "1",
                  pszParentDeltas, bOnUp ? "" : "    OR (txid_rec_del IS NOT NULL AND txid_rec_add=1)\n", h->name,
                  pszParentTblId, h->name, pszParentTblId, pszParentName, QK_string__sz(pParentKeys), pszChildName,
                  QK_string__sz(pJoin), h->name, pszChildTbl, QK_string__sz(pChildKeys), h->name, pszChildTbl,
                  pszParentRecords, QK_string__sz(pReuse), parent_step_of_reuse(bDeleteFirst, bInsertLater),
                  pszParentDeltas));
  if (pszChildDeltas != NULL)
    QK_TRY(ctx, QK_string__append__format(ctx, pFrom, "  LEFT OUTER JOIN #%s AS ch_delta ON (ch_rv.rid=ch_delta.rid)\n",
                                          pszChildDeltas));
  QK_TRY(ctx, QK_string__append__sz(ctx, pFrom, "WHERE (p2_delta.rid IS NULL OR p2_delta.parent_step!=p.parent_step) AND "));
  if (pszChildDeltas != NULL)
    QK_TRY(ctx, QK_string__append__sz(ctx, pFrom,
                                      "((ch_delta.txid_rec_add IS NOT NULL AND ch_delta.txid_rec_add=1) OR p2.z_rid IS "
                                      "NOT NULL)\nAND NOT (ch_delta.txid_rec_add IS NOT NULL AND ch_delta.txid_rec_add=0)\n"));
  else
    QK_TRY(ctx, QK_string__append__sz(ctx, pFrom, "(p2.z_rid IS NOT NULL)\n"));

  QK_TRY(ctx, try_set_null(ctx, h, pColsFrom, "UPDATE child SET \"%s\"=NULL\n%s%s", QK_string__sz(pOutput),
                           QK_string__sz(pFrom), szChildren, &bSetNull, &children));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "ALTER TABLE #%s WITH CHECK CHECK CONSTRAINT ALL;", szChildren));
  if (!bSetNull) {
    QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 2, psk, pszChildTbl, pChildCols, NULL, "child", 0, 0, &pCopySelect));
    QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, &children,
                                            "INSERT INTO #%s(z_rid, z_txid, %s) SELECT ch_rv.rid, ch_rv.txid, %s\n%s",
                                            szChildren, QK_string__sz(pColList), QK_string__sz(pCopySelect),
                                            QK_string__sz(pFrom)));
  }
  if (children == 0) goto done;
  if (pChild == NULL) {
    QK_TRY(ctx, tav_db_mssql__stage_table(ctx, h, psk, NULL, pszChildTbl, pState));
    QK_TRY(ctx, QK_vhash__get__vhash(ctx, pState, pszChildTbl, &pChild));
  }
  if (!bSetNull) {
    const char *pszStaging = NULL;
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pChild, "ttable_staging", &pszStaging));
    QK_TRY(ctx, children_to_reinserts(ctx, h, pChild, pszStaging, pChildCols, szChildren, "", &moved));
  }
  QK_TRY(ctx, merge_children(ctx, h, psk, pszChildTbl, pChild, szChildren, "ch", bSetNull, &merged));
done:
  QK_free(ctx, pszChildName);
  QK_free(ctx, pszParentName);
  QK_RELEASE(ctx, QK_string__free(ctx, pCopySelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pFrom));
  QK_RELEASE(ctx, QK_string__free(ctx, pOutput));
  QK_RELEASE(ctx, QK_string__free(ctx, pColList));
  QK_RELEASE(ctx, QK_string__free(ctx, pOutputSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pReuse));
  QK_RELEASE(ctx, QK_string__free(ctx, pJoin));
  QK_RELEASE(ctx, QK_string__free(ctx, pChildKeys));
  QK_RELEASE(ctx, QK_string__free(ctx, pParentKeys));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pChildCols));
}

void tav_db_mssql__detach_self_children(QK_context *ctx, tav_db_handle *h, tav_defin *psk, QK_vhash *pState,
                                        const char *pszTblId, const char *pszDeltas, const char *pszRecords,
                                        const char *pszStaging, QK_vhash *pHostCols, QK_vhash *pFk,
                                        char *pszChildren64, int *pbChanged) {
  QK_varray *pColsTo = NULL, *pColsFrom = NULL;
  QK_vhash *pMember = NULL;
  QK_string *pJoin = NULL, *pReuse = NULL, *pOutputSelect = NULL, *pColList = NULL, *pOutput = NULL, *pFrom = NULL;
  QK_string *pCopySelect = NULL;
  QK_int64 rows = 0, moved = 0, merged = 0;
  int bSetNull = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pFk);
  QK_ARG_NOT_NULL(ctx, pszChildren64);
  QK_ARG_NOT_NULL(ctx, pbChanged);
  QK_TRY(ctx, QK_vhash__get__varray(ctx, pFk, "cols-to", &pColsTo));
  QK_TRY(ctx, QK_vhash__get__varray(ctx, pFk, "cols-from", &pColsFrom));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pState, pszTblId, &pMember));
  if (pszChildren64[0] == '\0') QK_TRY(ctx, create_children_table(ctx, h, psk, pszTblId, pszChildren64));

  QK_TRY(ctx, key_terms(ctx, psk, pszTblId, pColsFrom, pColsTo, "child", "parent", 0, &pJoin));
  QK_TRY(ctx, key_terms(ctx, psk, pszTblId, pColsTo, pColsTo, "p2", "parent", 0, &pReuse));
  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, pHostCols, NULL, &pColList));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 2, psk, pszTblId, pHostCols, NULL, "DELETED", 0, 0, &pOutputSelect));
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 2, psk, pszTblId, pHostCols, NULL, "child", 0, 0, &pCopySelect));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pOutput, "OUTPUT ch_rv.rid, ch_rv.txid, %s INTO #%s (z_rid, z_txid, %s)",
                                       QK_string__sz(pOutputSelect), pszChildren64, QK_string__sz(pColList)));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pFrom, SELF_CHILDREN_FROM_SQL, pszDeltas, h->name, pszTblId, h->name,
                                       pszTblId, h->name, pszTblId, QK_string__sz(pJoin), h->name, pszTblId, pszDeltas,
                                       pszRecords, QK_string__sz(pReuse)));
  for (;;) {
    QK_TRY(ctx, try_set_null(ctx, h, pColsFrom, "UPDATE child SET \"%s\"=NULL\n%s\n%s", QK_string__sz(pOutput),
                             QK_string__sz(pFrom), pszChildren64, &bSetNull, &rows));
    if (!bSetNull)
      QK_TRY(ctx, tav_db_mssql__exec_rowcount(ctx, h, &rows,
                                              "INSERT INTO #%s(z_rid, z_txid, %s) SELECT ch_rv.rid, ch_rv.txid, %s\n%s",
                                              pszChildren64, QK_string__sz(pColList), QK_string__sz(pCopySelect),
                                              QK_string__sz(pFrom)));
    if (rows == 0) break;
    moved = 0;
    if (!bSetNull)
      QK_TRY(ctx, children_to_reinserts(ctx, h, pMember, pszStaging, pHostCols, pszChildren64, " ch", &moved));
    QK_TRY(ctx, merge_children(ctx, h, psk, pszTblId, pMember, pszChildren64, "child", bSetNull, &merged));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "DELETE FROM #%s", pszChildren64));
    if (bSetNull) break;
    if (moved == 0 && merged == 0) break;
    /* Rows reinserted now can be parents of further rows. */
    *pbChanged = 1;
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pCopySelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pFrom));
  QK_RELEASE(ctx, QK_string__free(ctx, pOutput));
  QK_RELEASE(ctx, QK_string__free(ctx, pColList));
  QK_RELEASE(ctx, QK_string__free(ctx, pOutputSelect));
  QK_RELEASE(ctx, QK_string__free(ctx, pReuse));
  QK_RELEASE(ctx, QK_string__free(ctx, pJoin));
}

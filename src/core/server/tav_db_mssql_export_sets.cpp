/* Included sets of filtered tables: the row versions a client with a row filter holds at its
 * baseline and will hold at the end of an export range, their digests (which let a client
 * prove what it holds), the choice of a trustworthy baseline, column dumps of newly
 * synchronised columns, and the test whether a transaction touched rows outside the sets. */
#include <md5.h>
#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "common/tav_sql_quote.h"
#include "common/tav_utils.h"
#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "server/tav_db_mssql_export.h"

/* ---- MD5 (the row-version digest is computed here, not by SQL Server) ---- */

typedef struct tav_md5 {
  MD5_CTX state;
} tav_md5;

static void tav_md5__init(tav_md5 *p) { MD5Init(&p->state); }
static void tav_md5__update(tav_md5 *p, const void *pData, size_t len) {
  MD5Update(&p->state, (const QK_uint8 *)pData, len);
}
static void tav_md5__final(tav_md5 *p, QK_uint8 *pDigest16) { MD5Final(pDigest16, &p->state); }

/* ---- Small helpers ---- */

static void state_of(QK_context *ctx, QK_vhash *pStates, const char *pszTblId, QK_vhash **ppState) {
  QK_ARG_NOT_NULL(ctx, pStates);
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pStates, pszTblId, ppState));
done:;
}

static const char *set_key(int bAtEnd) {
  return bAtEnd ? "ttable_included_in_final" : "ttable_included_in_baseline";
}

/* The baseline cannot be rebuilt: the set is forgotten and the state says so. */
static void mark_baseline_invalid(QK_context *ctx, QK_vhash *pState) {
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "prev-where-invalid", 1));
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pState, set_key(0), NULL));
done:;
}

/* ---- Included sets ---- */

static const char s_parent_condition_sql[] =
    "  %s ( %s\n    OR (EXISTS (SELECT * FROM #%s AS tt \n                  INNER JOIN tavrin.\"%s$z$%s\" AS pz ON "
    "(pz.z_rv = tt.z_rv) WHERE %s))\n    OR (EXISTS (SELECT * FROM #%s AS tt \n                  INNER JOIN "
    "tavrin.\"%s$z$old$%s\" AS pz ON (pz.z_rv = tt.z_rv) WHERE %s))  )\n";
static const char s_unfiltered_set_sql[] =
    "INSERT INTO #%s (z_rv, rid, generation) \n  %s \n  AND (NOT EXISTS (%s AND (dd.rv=rv.z_rv))) OPTION (OPTIMIZE FOR "
    "UNKNOWN);";
static const char s_two_part_set_sql[] =
    "INSERT INTO #%s (z_rv, rid, generation) \n%s \n%sUNION \n%s \n%s OPTION (OPTIMIZE FOR UNKNOWN);";
static const char s_one_part_set_sql[] =
    "WITH relevant_rvs (z_rv, rid, generation) AS\n(\n  %s\n  AND NOT EXISTS (%s AND (dd.rv=rv.z_rv))\n)\nINSERT INTO "
    "#%s (z_rv, rid, generation)\nSELECT z$rv.z_rv, z$rv.rid, z$rv.generation\n  FROM tavrin.\"%s$z$%s\" z$this\n  "
    "INNER JOIN relevant_rvs z$rv ON (z$this.z_rv = z$rv.z_rv)\n%sUNION ALL \nSELECT z$rv.z_rv, z$rv.rid, "
    "z$rv.generation\n  FROM tavrin.\"%s$z$old$%s\" z$this\n  INNER JOIN relevant_rvs z$rv ON (z$this.z_rv = "
    "z$rv.z_rv)\n%s OPTION (OPTIMIZE FOR UNKNOWN);";
static const char s_unsynched_column_prefix[] =
    "Error produced when selecting from Tavrin backing tables (perhaps the WHERE clause references an unsynched column)";

/* The null test and the column match of one reference to a parent (or within the table). */
static void reference_texts(QK_context *ctx, QK_vhash *pRef, QK_string **ppNullTest, QK_string **ppMatch) {
  QK_varray *pTo = NULL, *pFrom = NULL;
  QK_string *pNull = NULL, *pMatch = NULL;
  QK_uint32 count = 0;
  const char *pszTo = NULL, *pszFrom = NULL;
  QK_TRY(ctx, QK_vhash__get__varray(ctx, pRef, "cols-to", &pTo));
  QK_TRY(ctx, QK_vhash__get__varray(ctx, pRef, "cols-from", &pFrom));
  QK_TRY(ctx, QK_varray__count(ctx, pFrom, &count));
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pNull, count > 1 ? "(" : ""));
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pMatch, count > 1 ? "(" : ""));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_varray__get__sz(ctx, pTo, i, &pszTo));
    QK_TRY(ctx, QK_varray__get__sz(ctx, pFrom, i, &pszFrom));
    QK_TRY(ctx, QK_string__append__sz(ctx, pNull, i ? " OR (z$this." : "(z$this."));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pNull, pszFrom));
    QK_TRY(ctx, QK_string__append__sz(ctx, pNull, " IS NULL)"));
    QK_TRY(ctx, QK_string__append__sz(ctx, pMatch, i ? " AND (pz." : "(pz."));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pMatch, pszTo));
    QK_TRY(ctx, QK_string__append__sz(ctx, pMatch, " = z$this."));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pMatch, pszFrom));
    QK_TRY(ctx, QK_string__append__sz(ctx, pMatch, ")"));
  }
  if (count > 1) {
    QK_TRY(ctx, QK_string__append__sz(ctx, pNull, ")"));
    QK_TRY(ctx, QK_string__append__sz(ctx, pMatch, ")"));
  }
  *ppNullTest = pNull;
  *ppMatch = pMatch;
  pNull = pMatch = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNull));
  QK_RELEASE(ctx, QK_string__free(ctx, pMatch));
}

/* The filter condition of a set: its own where text and one condition per filtered parent.
 * *pbUsable 0 when a parent's baseline set cannot be built. */
static void filter_condition(QK_context *ctx, tav_db_handle *h, QK_vhash *pStates, const char *pszWhere,
                             QK_vhash *pState, const tav_export_range *range, int current, QK_string **ppCond,
                             int *pbUsable) {
  QK_string *pCond = NULL, *pNull = NULL, *pMatch = NULL;
  QK_varray *pParents = NULL;
  QK_vhash *pRef = NULL, *pParentState = NULL;
  const char *pszParent = NULL, *pszParentSet = NULL;
  char szParentSet[TAV_TEMP_NAME_SIZE];
  char szParent[TAV_TABLE_ID_SZ_SIZE];
  QK_uint32 count = 0;
  int parts = 0;
  *pbUsable = 1;
  QK_TRY(ctx, QK_string__alloc(ctx, &pCond));
  if (pszWhere != NULL) {
    QK_TRY(ctx, QK_string__append__format(ctx, pCond, "  WHERE (%s)\n", pszWhere));
    parts++;
  }
  QK_TRY(ctx, QK_vhash__check__varray(ctx, pState, "filtered-parents", &pParents));
  if (pParents != NULL) QK_TRY(ctx, QK_varray__count(ctx, pParents, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pParents, i, &pRef));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pRef, "tbl", &pszParent));
    QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszParent, szParent));
    QK_TRY(ctx, state_of(ctx, pStates, szParent, &pParentState));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pParentState, set_key(current), &pszParentSet));
    if (pszParentSet == NULL) {
      QK_TRY(ctx, tav_db_mssql__build_included_set(ctx, h, pStates, szParent, range, current, szParentSet));
      pszParentSet = szParentSet[0] != '\0' ? szParentSet : NULL;
    }
    if (pszParentSet == NULL) {
      QK_VERIFY(ctx, !current);
      *pbUsable = 0;
      goto done;
    }
    QK_TRY(ctx, reference_texts(ctx, pRef, &pNull, &pMatch));
    QK_TRY(ctx, QK_string__append__format(ctx, pCond, s_parent_condition_sql, parts++ ? "AND" : "WHERE",
                                          QK_string__sz(pNull), pszParentSet, h->name, szParent, QK_string__sz(pMatch),
                                          pszParentSet, h->name, szParent, QK_string__sz(pMatch)));
    QK_RELEASE(ctx, QK_string__free(ctx, pNull));
    QK_RELEASE(ctx, QK_string__free(ctx, pMatch));
    pNull = pMatch = NULL;
  }
  *ppCond = pCond;
  pCond = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pCond));
  QK_RELEASE(ctx, QK_string__free(ctx, pNull));
  QK_RELEASE(ctx, QK_string__free(ctx, pMatch));
}

/* After the set statement failed: a filter that runs on the host table but not on the
 * backing tables names a column that is not synchronised, a misconfiguration. */
static void classify_filter_failure(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszWhere,
                                    const char *pszTblName) {
  int bRuns = 0, bFailed = 0;
  if (pszWhere != NULL) {
    QK_context__push_level(ctx);
    tav_db_mssql__test_where_on_host(ctx, h, pszTblId, pszWhere, &bRuns);
    bFailed = QK_context__has_error(ctx);
    QK_context__pop_level(ctx);
    if (!bFailed && bRuns) {
      tav_err__prefix_message(ctx, s_unsynched_column_prefix);
      QK_context__replace_error(ctx, QK_ERR_SERVER_MISCONFIGURATION, __FILE__, __LINE__);
    }
  }
  tav_err__add_context(ctx, pszTblId, "applying filter on", pszTblName);
}

void tav_db_mssql__build_included_set(QK_context *ctx, tav_db_handle *h, QK_vhash *pStates, const char *pszTblId,
                                      const tav_export_range *range, int bAtEnd, char *pszSet) {
  QK_vhash *pState = NULL;
  QK_string *pRows = NULL, *pDel = NULL, *pCond = NULL, *pSql = NULL;
  char *pszName = NULL;
  const char *pszTblName = NULL, *pszWhere = NULL;
  char szSet[TAV_TEMP_NAME_SIZE];
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  int bFiltered = 0, bTwoPart = 0, bUsable = 1, bMaybeInvalid = 0, bInvalid = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, range);
  QK_ARG_NOT_NULL(ctx, pszSet);
  pszSet[0] = '\0';
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, state_of(ctx, pStates, szTbl, &pState));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pState, "tbl_name", &pszTblName));
  if (pszTblName == NULL) {
    QK_TRY(ctx, tav_db_mssql__host_table_name(ctx, h, szTbl, &pszName));
    QK_TRY(ctx, QK_vhash__update__string(ctx, pState, "tbl_name", pszName));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pState, "tbl_name", &pszTblName));
  }
  if (!bAtEnd) {
    QK_TRY(ctx, QK_vhash__check__bool(ctx, pState, "prev-where-invalid", &bInvalid));
    if (bInvalid) goto done;
  }
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szSet, bAtEnd ? "final_included" : "baseline_included", szTbl));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn,
                                     "CREATE TABLE #%s (z_rv bigint PRIMARY KEY, rid uniqueidentifier NOT NULL, "
                                     "generation bigint NOT NULL)",
                                     szSet));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pState, set_key(bAtEnd), szSet));
  QK_TRY(ctx, QK_vhash__check__bool(ctx, pState, bAtEnd ? "filtered-now" : "filtered-previously", &bFiltered));
  QK_TRY(ctx, tav_db_mssql__state_queries(ctx, range, h->name, szTbl, bAtEnd, 0, bFiltered, &bTwoPart, &pRows,
                                          &pDel));
  if (!bFiltered) {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_unfiltered_set_sql, szSet, QK_string__sz(pRows),
                                         QK_string__sz(pDel)));
    QK_TRY(ctx, QK_mssql__exec(ctx, h->conn, QK_string__sz(pSql)));
    QK_TRY(ctx, QK_strcpy(ctx, pszSet, TAV_TEMP_NAME_SIZE, szSet));
    goto done;
  }
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pState, bAtEnd ? "where" : "where-prev", &pszWhere));
  QK_TRY(ctx, QK_vhash__check__bool(ctx, pState, "prev-where-maybe-invalid", &bMaybeInvalid));
  QK_TRY(ctx, filter_condition(ctx, h, pStates, pszWhere, pState, range, bAtEnd, &pCond, &bUsable));
  if (!bUsable) {
    QK_TRY(ctx, mark_baseline_invalid(ctx, pState));
    goto done;
  }
  if (bTwoPart)
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_two_part_set_sql, szSet, QK_string__sz(pRows),
                                         QK_string__sz(pCond), QK_string__sz(pDel), QK_string__sz(pCond)));
  else
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_one_part_set_sql, QK_string__sz(pRows), QK_string__sz(pDel),
                                         szSet, h->name, szTbl, QK_string__sz(pCond), h->name, szTbl,
                                         QK_string__sz(pCond)));
  QK_mssql__exec(ctx, h->conn, QK_string__sz(pSql));
  if (QK_context__has_error(ctx)) {
    if (QK_context__error_equals(ctx, QK_ERR_DEADLOCK_VICTIM)) QK_CHECK(ctx);
    if (!bAtEnd && bMaybeInvalid) {
      /* The previous filter no longer fits the schema: the client gets a full re-send. */
      QK_context__reset_error(ctx);
      QK_TRY(ctx, mark_baseline_invalid(ctx, pState));
      goto done;
    }
    classify_filter_failure(ctx, h, szTbl, pszWhere, pszTblName);
    QK_CHECK(ctx);
  }
  QK_TRY(ctx, tav_db_mssql__prune_same_table_refs(ctx, h, szTbl, szSet, pState));
  QK_TRY(ctx, QK_strcpy(ctx, pszSet, TAV_TEMP_NAME_SIZE, szSet));
done:
  QK_free(ctx, pszName);
  QK_RELEASE(ctx, QK_string__free(ctx, pRows));
  QK_RELEASE(ctx, QK_string__free(ctx, pDel));
  QK_RELEASE(ctx, QK_string__free(ctx, pCond));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* ---- Same-table references ---- */

static const char s_prune_sql[] =
    "SET NOCOUNT ON\nDECLARE @prev_count_included bigint = 0, @count_included bigint = 0\nSELECT @count_included = "
    "COUNT(*) FROM #%s\nWHILE @count_included <> @prev_count_included\nBEGIN\n  SELECT @prev_count_included = "
    "@count_included;\n  WITH z$rows AS\n  (\n    SELECT z_rv AS z_rv%s FROM tavrin.\"%s$z$%s\" WHERE z_rv IN (SELECT "
    "z_rv FROM #%s)\n    UNION ALL SELECT z_rv AS z_rv%s FROM tavrin.\"%s$z$old$%s\" WHERE z_rv IN (SELECT z_rv FROM "
    "#%s)\n  )\n  DELETE FROM #%s WHERE z_rv IN (SELECT z$child.z_rv\n    FROM z$rows AS z$child\n%s%s  )\n  SELECT "
    "@count_included = COUNT(*) FROM #%s\nEND;\n";

/* Adds ", "c" AS "c"" the first time a column is seen. */
static void select_once(QK_context *ctx, QK_vhash *pSeen, QK_string *pSelect, const char *pszName) {
  int bHas = 0;
  QK_TRY(ctx, QK_vhash__has(ctx, pSeen, pszName, &bHas));
  if (bHas) goto done;
  QK_TRY(ctx, QK_vhash__add__null(ctx, pSeen, pszName));
  QK_TRY(ctx, QK_string__append__sz(ctx, pSelect, ", "));
  QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pSelect, pszName));
  QK_TRY(ctx, QK_string__append__sz(ctx, pSelect, " AS "));
  QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pSelect, pszName));
done:;
}

void tav_db_mssql__prune_same_table_refs(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                         const char *pszSet, tav_export_state *pState) {
  QK_varray *pRefs = NULL, *pTo = NULL, *pFrom = NULL;
  QK_vhash *pRef = NULL, *pSeen = NULL;
  QK_string *pJoins = NULL, *pConds = NULL, *pSelect = NULL;
  const char *pszTo = NULL, *pszFrom = NULL;
  QK_uint32 count = 0, cols = 0;
  int multi = 0;
  QK_ARG_NOT_NULL(ctx, pState);
  QK_TRY(ctx, QK_vhash__check__varray(ctx, pState, "same-table-ref-constraints", &pRefs));
  if (pRefs != NULL) QK_TRY(ctx, QK_varray__count(ctx, pRefs, &count));
  if (count == 0) goto done;
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pSeen));
  QK_TRY(ctx, QK_string__alloc(ctx, &pJoins));
  QK_TRY(ctx, QK_string__alloc(ctx, &pConds));
  QK_TRY(ctx, QK_string__alloc(ctx, &pSelect));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pRefs, i, &pRef));
    QK_TRY(ctx, QK_vhash__get__varray(ctx, pRef, "cols-to", &pTo));
    QK_TRY(ctx, QK_vhash__get__varray(ctx, pRef, "cols-from", &pFrom));
    QK_TRY(ctx, QK_varray__count(ctx, pFrom, &cols));
    if (cols > 1) {
      multi++;
      QK_TRY(ctx, QK_string__append__format(ctx, pJoins, "      LEFT OUTER JOIN z$rows AS z$parent%d", multi));
      for (QK_uint32 k = 0; k < cols; k++) {
        QK_TRY(ctx, QK_varray__get__sz(ctx, pTo, k, &pszTo));
        QK_TRY(ctx, QK_varray__get__sz(ctx, pFrom, k, &pszFrom));
        QK_TRY(ctx, QK_string__append__format(ctx, pJoins, " %s z$parent%d.", k ? "AND" : "ON", multi));
        QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pJoins, pszTo));
        QK_TRY(ctx, QK_string__append__sz(ctx, pJoins, "=z$child."));
        QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pJoins, pszFrom));
      }
      QK_TRY(ctx, QK_string__append__sz(ctx, pJoins, "\n"));
    }
    QK_TRY(ctx, QK_string__append__format(ctx, pConds, "    %s (", i ? "OR" : "WHERE"));
    for (QK_uint32 k = 0; k < cols; k++) {
      QK_TRY(ctx, QK_varray__get__sz(ctx, pTo, k, &pszTo));
      QK_TRY(ctx, QK_varray__get__sz(ctx, pFrom, k, &pszFrom));
      QK_TRY(ctx, QK_string__append__sz(ctx, pConds, "z$child."));
      QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pConds, pszFrom));
      QK_TRY(ctx, QK_string__append__sz(ctx, pConds, " IS NOT NULL AND "));
      QK_TRY(ctx, select_once(ctx, pSeen, pSelect, pszTo));
      QK_TRY(ctx, select_once(ctx, pSeen, pSelect, pszFrom));
    }
    if (cols > 1) {
      QK_TRY(ctx, QK_string__append__format(ctx, pConds, "z$parent%d.z_rv IS NULL", multi));
    } else {
      QK_TRY(ctx, QK_varray__get__sz(ctx, pTo, 0, &pszTo));
      QK_TRY(ctx, QK_varray__get__sz(ctx, pFrom, 0, &pszFrom));
      QK_TRY(ctx, QK_string__append__sz(ctx, pConds, "z$child."));
      QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pConds, pszFrom));
      QK_TRY(ctx, QK_string__append__sz(ctx, pConds, " NOT IN (SELECT "));
      QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pConds, pszTo));
      QK_TRY(ctx, QK_string__append__sz(ctx, pConds, " FROM z$rows)"));
    }
    QK_TRY(ctx, QK_string__append__sz(ctx, pConds, ")\n"));
  }
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_prune_sql, pszSet, QK_string__sz(pSelect), h->name, pszTblId,
                                     pszSet, QK_string__sz(pSelect), h->name, pszTblId, pszSet, pszSet,
                                     QK_string__sz(pJoins), QK_string__sz(pConds), pszSet));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pSeen));
  QK_RELEASE(ctx, QK_string__free(ctx, pJoins));
  QK_RELEASE(ctx, QK_string__free(ctx, pConds));
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
}

/* ---- Where test ---- */

/* Schema and name go in bracketed with any "]" doubled: "[%s].[%s]" for ordinary names. */
static const char s_where_on_host_sql[] = "SELECT TOP 1 * from %s.%s WHERE %s";

void tav_db_mssql__test_where_on_host(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                      const char *pszWhere, int *pbRuns) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  char *pszSchema = NULL, *pszName = NULL;
  QK_string *pSchema = NULL, *pName = NULL;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, pbRuns);
  *pbRuns = 0;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, "SELECT OBJECT_SCHEMA_NAME(%s), OBJECT_NAME(%s)",
                                        szTbl, szTbl));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &pszSchema));
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 2, &pszName));
  QK_VERIFY(ctx, pszSchema != NULL && pszName != NULL);
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  hStmt = SQL_NULL_HSTMT;
  QK_TRY(ctx, QK_string__alloc(ctx, &pSchema));
  QK_TRY(ctx, tav_sql__append_bracketed_name(ctx, pSchema, pszSchema));
  QK_TRY(ctx, QK_string__alloc(ctx, &pName));
  QK_TRY(ctx, tav_sql__append_bracketed_name(ctx, pName, pszName));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_where_on_host_sql, QK_string__sz(pSchema),
                                        QK_string__sz(pName), pszWhere));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  *pbRuns = 1;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pszSchema);
  QK_free(ctx, pszName);
  QK_RELEASE(ctx, QK_string__free(ctx, pSchema));
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
}

/* ---- Digests ---- */

void tav_db_mssql__digest_row_versions(QK_context *ctx, tav_db_handle *h, const char *pszSet, char **ppszDigest) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_uint8 *pBytes = NULL;
  QK_uint8 digest[16];
  QK_uint32 len = 0;
  char szText[26];
  tav_md5 md5;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, ppszDigest);
  *ppszDigest = NULL;
  tav_md5__init(&md5);
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt,
                                        "SET NOCOUNT ON;\nSELECT CAST (z_rv AS binary(8)) FROM #%s ORDER BY z_rv ASC;\n",
                                        pszSet));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  QK_VERIFY(ctx, bHas);
  for (;;) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, tav_db_mssql__get_bytes(ctx, hStmt, 1, &len, &pBytes));
    QK_VERIFY(ctx, len == 8);
    tav_md5__update(&md5, pBytes, len);
    tav_db_mssql__free_bytes(ctx, &pBytes);
  }
  tav_md5__final(&md5, digest);
  szText[0] = '#';
  QK_TRY(ctx, QK_base64__encode(ctx, digest, sizeof digest, szText + 1, sizeof szText - 1));
  QK_TRY(ctx, QK_strdup(ctx, szText, ppszDigest));
done:
  tav_db_mssql__free_bytes(ctx, &pBytes);
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

static const char s_digest_row_ids_sql[] =
    "SET NOCOUNT ON\nDECLARE @hash binary(16) = 0x00000000000000000000000000000000\nDECLARE cur CURSOR LOCAL "
    "FAST_FORWARD FOR SELECT CAST (rv.rid AS binary(16)) FROM\n  #%s z$included INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON "
    "(rv.z_rv=z$included.z_rv)\n  ORDER BY rv.rid ASC\nOPEN cur\nDECLARE @rid binary(16)\nFETCH NEXT FROM cur INTO "
    "@rid\nWHILE @@FETCH_STATUS = 0\nBEGIN\n  SELECT @hash = HASHBYTES('MD5', @hash+@rid)\n  FETCH NEXT FROM cur INTO "
    "@rid\nEND\nCLOSE cur\nDEALLOCATE cur\nSELECT @hash\n";

void tav_db_mssql__digest_row_ids(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszSet,
                                  char **ppszDigest) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_uint8 *pBytes = NULL;
  QK_uint32 len = 0;
  char szText[25];
  int bHas = 0, bFetched = 0;
  QK_ARG_NOT_NULL(ctx, ppszDigest);
  *ppszDigest = NULL;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_digest_row_ids_sql, pszSet, h->name, pszTblId));
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  if (bHas) QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bFetched));
  QK_VERIFY(ctx, bFetched);
  QK_TRY(ctx, tav_db_mssql__get_bytes(ctx, hStmt, 1, &len, &pBytes));
  QK_VERIFY(ctx, len == 16);
  QK_TRY(ctx, QK_base64__encode(ctx, pBytes, len, szText, sizeof szText));
  QK_TRY(ctx, QK_strdup(ctx, szText, ppszDigest));
done:
  tav_db_mssql__free_bytes(ctx, &pBytes);
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* ---- Baseline decision ---- */

static const char s_older_version_entered_sql[] =
    "SELECT CASE WHEN EXISTS(\n  SELECT 1 FROM #%s z$included JOIN tavrin.\"%s$z$rv$%s\" rv ON "
    "(rv.z_rv=z$included.z_rv)\n  WHERE rv.txid<? AND z$included.z_rv NOT IN (SELECT z_rv FROM #%s)\n) THEN 1 ELSE 0 "
    "END";

/* The client cannot be trusted to hold the baseline: everything is sent again. */
static void drop_baseline(QK_context *ctx, QK_vhash *pState, tav_export_range *export_range, char *pszBaseline) {
  export_range->first = 1;
  export_range->txids = NULL;
  pszBaseline[0] = '\0';
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pState, "needs-discard", 1));
done:;
}

void tav_db_mssql__choose_baseline_set(QK_context *ctx, tav_db_handle *h, int pkgVersion, QK_vhash *pStates,
                                       const char *pszTblId, const char *pszClientDigest, char **ppszDigest,
                                       tav_export_range *export_range, char *pszBaseline, char *pszFinal) {
  QK_vhash *pState = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char *pszFinalDigest = NULL, *pszBaseDigest = NULL;
  char szFinal[TAV_TEMP_NAME_SIZE], szBase[TAV_TEMP_NAME_SIZE];
  QK_int64 entered = 0;
  int bStable = 0, bTrusted = 0;
  QK_ARG_NOT_NULL(ctx, export_range);
  QK_ARG_NOT_NULL(ctx, pszBaseline);
  QK_ARG_NOT_NULL(ctx, pszFinal);
  pszBaseline[0] = pszFinal[0] = '\0';
  szBase[0] = '\0';
  if (ppszDigest != NULL) *ppszDigest = NULL;
  QK_TRY(ctx, state_of(ctx, pStates, pszTblId, &pState));
  QK_TRY(ctx, tav_db_mssql__build_included_set(ctx, h, pStates, pszTblId, export_range, 1, szFinal));
  if (ppszDigest != NULL || (pszClientDigest != NULL && export_range->first >= 2))
    QK_TRY(ctx, tav_db_mssql__digest_row_versions(ctx, h, szFinal, &pszFinalDigest));
  if (export_range->first >= 2) {
    if (pszClientDigest != NULL && strcmp(pszClientDigest, pszFinalDigest) == 0) {
      /* The client holds the final set already: nothing to send. */
      QK_TRY(ctx, QK_vhash__update__string(ctx, pState, "ttable_included_in_baseline", szFinal));
      goto handed;
    }
    QK_TRY(ctx, tav_db_mssql__build_included_set(ctx, h, pStates, pszTblId, export_range, 0, szBase));
    QK_TRY(ctx, QK_vhash__check__bool(ctx, pState, "assume-stable-baseline", &bStable));
    if (szBase[0] != '\0') {
      if (bStable) {
        bTrusted = 1;
      } else if (pszClientDigest != NULL) {
        if (pszClientDigest[0] == '#')
          QK_TRY(ctx, tav_db_mssql__digest_row_versions(ctx, h, szBase, &pszBaseDigest));
        else
          QK_TRY(ctx, tav_db_mssql__digest_row_ids(ctx, h, pszTblId, szBase, &pszBaseDigest));
        bTrusted = strcmp(pszClientDigest, pszBaseDigest) == 0;
      }
    }
    if (!bTrusted) QK_TRY(ctx, drop_baseline(ctx, pState, export_range, szBase));
  }
  if (pkgVersion <= 2 && szBase[0] != '\0' && export_range->first >= 2) {
    QK_VERIFY(ctx, export_range->spec_type == BY_TXID);
    QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_older_version_entered_sql, szFinal, h->name,
                                          pszTblId, szBase));
    QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &export_range->first));
    QK_TRY(ctx, tav_db_mssql__execute_int64(ctx, hStmt, &entered));
    /* Older clients cannot learn of a row that entered their set without changing. */
    if (entered) QK_TRY(ctx, drop_baseline(ctx, pState, export_range, szBase));
  }
  QK_TRY(ctx, QK_strcpy(ctx, pszBaseline, TAV_TEMP_NAME_SIZE, szBase));
  QK_TRY(ctx, QK_strcpy(ctx, pszFinal, TAV_TEMP_NAME_SIZE, szFinal));
handed:
  if (ppszDigest != NULL) {
    *ppszDigest = pszFinalDigest;
    pszFinalDigest = NULL;
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pszFinalDigest);
  QK_free(ctx, pszBaseDigest);
}

/* ---- Column dumps ---- */

static const char s_dump_unfiltered_sql[] =
    "INSERT INTO #%s SELECT base.z_rv FROM\n  (%s) AS base\nWHERE NOT EXISTS(SELECT 1 FROM\n  (%s) AS dd\n  WHERE "
    "dd.rv = base.z_rv\n)";
static const char s_dump_filtered_sql[] = "INSERT INTO #%s SELECT z_rv FROM #%s WHERE z_rv IN (SELECT z_rv FROM #%s)\n";
static const char s_dump_current_sql[] =
    "INSERT INTO #%s (z_rv, %s) SELECT a.z_rv, %s FROM #%s a INNER JOIN tavrin.\"%s$z$%s\" rec ON (rec.z_rv=a.z_rv)";
static const char s_dump_old_sql[] =
    "MERGE INTO #%s l USING #%s a INNER JOIN tavrin.\"%s$z$old$%s\" rec ON (rec.z_rv=a.z_rv)  ON (a.z_rv=l.z_rv)  WHEN "
    "NOT MATCHED THEN INSERT (z_rv, %s) VALUES(a.z_rv, %s);";
static const char s_dump_rows_sql[] =
    "SELECT %s FROM #%s rec INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON (rv.z_rv=rec.z_rv)";

void tav_db_mssql__export_column_dump(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_export_state *pState,
                                      const char *pszTblId, tav_export_range *export_range,
                                      const char *pszColumnList, const char *pszSelectList,
                                      sqlite3_stmt *pRowInsert) {
  QK_string *pBase = NULL, *pEnd = NULL;
  QK_vhash *pNames = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  const char *pszBaseSet = NULL, *pszFinalSet = NULL;
  char szDump[TAV_TEMP_NAME_SIZE], szRows[TAV_TEMP_NAME_SIZE];
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  int bUnfiltered = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pState);
  QK_ARG_NOT_NULL(ctx, export_range);
  QK_ARG_NOT_NULL(ctx, pszColumnList);
  QK_ARG_NOT_NULL(ctx, pszSelectList);
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_VERIFY(ctx, export_range->first > 1);
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szDump, "column_dump", szTbl));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, "CREATE TABLE #%s (z_rv bigint PRIMARY KEY)", szDump));
  QK_TRY(ctx, QK_vhash__check__bool(ctx, pState, "unfiltered", &bUnfiltered));
  if (bUnfiltered) {
    QK_TRY(ctx, tav_db_mssql__state_queries(ctx, export_range, h->name, szTbl, 0, 0, 0, NULL, &pBase, NULL));
    QK_TRY(ctx, tav_db_mssql__state_queries(ctx, export_range, h->name, szTbl, 1, 0, 0, NULL, NULL, &pEnd));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_dump_unfiltered_sql, szDump, QK_string__sz(pBase),
                                       QK_string__sz(pEnd)));
  } else {
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pState, "ttable_included_in_baseline", &pszBaseSet));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pState, "ttable_included_in_final", &pszFinalSet));
    QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_dump_filtered_sql, szDump, pszBaseSet, pszFinalSet));
  }
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szRows, "partial_rows", szTbl));
  QK_TRY(ctx, tav_defin__map_column_names(ctx, psk, szTbl, &pNames));
  QK_TRY(ctx, tav_db_mssql__create_temp_table(ctx, h->conn, psk, szTbl, szRows, "z_rv bigint PRIMARY KEY", 0,
                                              pNames, 0, NULL));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_dump_current_sql, szRows, pszColumnList, pszSelectList, szDump,
                                     h->name, szTbl));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_dump_old_sql, szRows, szDump, h->name, szTbl, pszColumnList,
                                     pszSelectList));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_dump_rows_sql, pszSelectList, szRows, h->name,
                                        szTbl));
  QK_TRY(ctx, tav_db_mssql__execute_into_package(ctx, &hStmt, pRowInsert, NULL, 0));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pNames));
  QK_RELEASE(ctx, QK_string__free(ctx, pBase));
  QK_RELEASE(ctx, QK_string__free(ctx, pEnd));
}

/* ---- Write-block test ---- */

static const char s_written_outside_sql[] =
    "SELECT CASE\n  WHEN EXISTS (SELECT * FROM tavrin.\"%s$z$rv$%s\" AS rv WHERE (rv.txid=?) AND (NOT EXISTS (SELECT * "
    "FROM #%s AS x WHERE (rv.z_rv=x.z_rv)))) THEN 1  ELSE 0\nEND OPTION (OPTIMIZE FOR UNKNOWN);";
static const char s_ended_outside_sql[] =
    "SELECT CASE\n  WHEN EXISTS (SELECT * FROM tavrin.\"%s$z$dd$%s\" AS dd WHERE (dd.txid=?) AND (NOT EXISTS (SELECT * "
    "FROM #%s AS x WHERE (dd.rv = x.z_rv)))) THEN 1  ELSE 0\nEND OPTION (OPTIMIZE FOR UNKNOWN);";

static void txid_query(QK_context *ctx, tav_db_handle *h, const char *pszTemplate, const char *pszTblId,
                       const char *pszSet, QK_int64 txid, int *pbAnswer) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int64 answer = 0;
  *pbAnswer = 0;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, pszTemplate, h->name, pszTblId, pszSet));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &txid));
  QK_TRY(ctx, tav_db_mssql__execute_int64(ctx, hStmt, &answer));
  *pbAnswer = answer == 1;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__txid_outside_filter(QK_context *ctx, tav_db_handle *h, QK_vhash *pStates, const char *pszTblId,
                                       QK_int64 txid, int *pbOutside) {
  tav_export_range range = {BY_TXID, txid, txid, 0, NULL, 0};
  char szSet[TAV_TEMP_NAME_SIZE];
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pbOutside);
  *pbOutside = 0;
  QK_TRY(ctx, tav_db_mssql__build_included_set(ctx, h, pStates, pszTblId, &range, 1, szSet));
  QK_TRY(ctx, txid_query(ctx, h, s_written_outside_sql, pszTblId, szSet, txid, pbOutside));
  if (*pbOutside) goto done;
  QK_TRY(ctx, tav_db_mssql__build_included_set(ctx, h, pStates, pszTblId, &range, 0, szSet));
  /* Without a baseline set nothing shows that the ended versions were inside. */
  if (szSet[0] == '\0') {
    *pbOutside = 1;
    goto done;
  }
  QK_TRY(ctx, txid_query(ctx, h, s_ended_outside_sql, pszTblId, szSet, txid, pbOutside));
done:;
}

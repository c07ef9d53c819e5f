/* Conflict rules and row-version lookups of the SQL Server store. */
#include "server/tav_db_mssql_rules.h"

#include <stdio.h>
#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "common/tav_sql_quote.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "server/tav_db_mssql_history.h"
#include "server/tav_db_mssql_values.h"

/* The rules read inside the transaction, by lookup key: {"act"} and {"extra"} as they were
 * read. *pbKnown 1 when the lookup was kept; the outputs are then set as the lookup did
 * (*ppszExtra a new copy). */
static void known_rule(QK_context *ctx, tav_db_handle *h, const char *pszKey, int *pbKnown, int *pAction,
                       char **ppszExtra) {
  QK_vhash *pRule = NULL;
  const char *pszExtra = NULL;
  QK_int64 act = 0;
  int bActSet = 0;
  *pbKnown = 0;
  if (h->pRules == NULL) goto done;
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, h->pRules, pszKey, &pRule));
  if (pRule == NULL) goto done;
  QK_TRY(ctx, QK_vhash__has(ctx, pRule, "act", &bActSet));
  if (bActSet) {
    QK_TRY(ctx, QK_vhash__get__int64(ctx, pRule, "act", &act));
    *pAction = (int)act;
  }
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pRule, "extra", &pszExtra));
  if (ppszExtra != NULL && pszExtra != NULL) QK_TRY(ctx, QK_strdup(ctx, pszExtra, ppszExtra));
  *pbKnown = 1;
done:;
}

/* Keeps a lookup's outcome (act when bActSet, extra when not NULL) inside a transaction. */
static void keep_rule(QK_context *ctx, tav_db_handle *h, const char *pszKey, int bActSet, int act,
                      const char *pszExtra) {
  QK_vhash *pRule = NULL;
  if (h->pRules == NULL) goto done;
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pRule));
  if (bActSet) QK_TRY(ctx, QK_vhash__add__int64(ctx, pRule, "act", act));
  if (pszExtra != NULL) QK_TRY(ctx, QK_vhash__add__string(ctx, pRule, "extra", pszExtra));
  QK_TRY(ctx, QK_vhash__add__vhash(ctx, h->pRules, pszKey, &pRule));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pRule));
}

void tav_db_mssql__rules_forget(QK_context *ctx, tav_db_handle *h) {
  if (h == NULL) return;
  QK_RELEASE(ctx, QK_vhash__free(ctx, h->pRules));
  h->pRules = NULL;
}

/* act from column colAct and, when asked, extra from the next column, each only when not NULL;
 * with a lookup key what was read is kept for the next same lookup of the transaction. */
static void read_rule_columns(QK_context *ctx, tav_db_handle *h, const char *pszKey, SQLHSTMT hStmt, QK_uint16 colAct,
                              int *pAction, char **ppszExtra) {
  QK_int32 act = 0;
  SQLLEN ind = 0;
  char *pszExtra = NULL;
  if (hStmt != SQL_NULL_HSTMT) {
    QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, colAct, &act, &ind));
    if (ppszExtra != NULL) QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, (QK_uint16)(colAct + 1), &pszExtra));
  } else {
    ind = SQL_NULL_DATA;
  }
  if (pszKey != NULL) QK_TRY(ctx, keep_rule(ctx, h, pszKey, ind != SQL_NULL_DATA, act, pszExtra));
  if (ind != SQL_NULL_DATA) *pAction = act;
  if (pszExtra != NULL) {
    *ppszExtra = pszExtra;
    pszExtra = NULL;
  }
done:
  QK_free(ctx, pszExtra);
}

void tav_db_mssql__get_dbfile_rule(QK_context *ctx, tav_db_handle *h, int situation, int *pAction,
                                   char **ppszExtra) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int32 sit = situation;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pAction);
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, "SELECT act%s FROM tavrin.[%s$t$rules] WHERE sit=?",
                                        ppszExtra != NULL ? ", extra" : "", h->name));
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 1, &sit));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  if (bRow) QK_TRY(ctx, read_rule_columns(ctx, h, NULL, hStmt, 1, pAction, ppszExtra));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

static const char s_record_rule_sql[] =
    "SELECT 1 AS src, act%s FROM [tavrin].[rules_record] WHERE (sit = ?) AND (tbl_id = ?);";
/* The table's rule sorts before the dbfile's. The table's PK-collision rule, which the apply
 * of the same push reads later, rides along as src 3 and is kept for it. */
static const char s_record_rule_with_fallback_sql[] =
    "SELECT 1 AS src, act%s FROM [tavrin].[rules_record] WHERE (sit = ?) AND (tbl_id = ?)  UNION ALL  SELECT 2 AS "
    "src, act%s FROM [tavrin].[%s$t$rules] WHERE (sit = ?)  UNION ALL  SELECT 3 AS src, act%s FROM "
    "[tavrin].[rules_record] WHERE (sit = ?) AND (tbl_id = ?) ORDER BY [src];";

static void record_rule_key(QK_context *ctx, QK_int32 tblId, int situation, int bDbfileFallback, int bExtra,
                            char *pszKey, size_t size) {
  QK_TRY(ctx, QK_sprintf_buf(ctx, pszKey, size, "record|%d|%d|%d|%d", (int)tblId, situation, bDbfileFallback != 0,
                             bExtra != 0));
done:;
}

void tav_db_mssql__get_record_rule(QK_context *ctx, tav_db_handle *h, const char *pszTblId, int situation,
                                   int bDbfileFallback, int *pAction, char **ppszExtra) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int32 sit = situation, tblId = 0, collisionSit = TAV_RULE_SIT_PK_COLLISION, src = 0;
  const char *pszExtraCol = ppszExtra != NULL ? ", extra" : "";
  char szKey[64], szCollisionKey[64];
  int bRow = 0, bRuleRead = 0, bCollisionRead = 0, collisionAction = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pszTblId);
  QK_ARG_NOT_NULL(ctx, pAction);
  QK_TRY(ctx, QK_int32__parse(ctx, &tblId, pszTblId));
  QK_TRY(ctx, record_rule_key(ctx, tblId, situation, bDbfileFallback, ppszExtra != NULL, szKey, sizeof szKey));
  QK_TRY(ctx, known_rule(ctx, h, szKey, &bRow, pAction, ppszExtra));
  if (bRow) goto done;
  if (!bDbfileFallback) {
    QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_record_rule_sql, pszExtraCol));
    QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 1, &sit));
    QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 2, &tblId));
    QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
    QK_TRY(ctx, read_rule_columns(ctx, h, szKey, bRow ? hStmt : SQL_NULL_HSTMT, 2, pAction, ppszExtra));
    goto done;
  }
  QK_TRY(ctx, record_rule_key(ctx, tblId, TAV_RULE_SIT_PK_COLLISION, 0, 0, szCollisionKey, sizeof szCollisionKey));
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_record_rule_with_fallback_sql, pszExtraCol, pszExtraCol,
                                        h->name, pszExtraCol));
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 1, &sit));
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 2, &tblId));
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 3, &sit));
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 4, &collisionSit));
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 5, &tblId));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  /* The first row of each part is the rule, as a lookup of its own gives it. */
  while (bRow) {
    QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, 1, &src, NULL));
    if (src < 3 && !bRuleRead) {
      QK_TRY(ctx, read_rule_columns(ctx, h, szKey, hStmt, 2, pAction, ppszExtra));
      bRuleRead = 1;
    } else if (src == 3 && !bCollisionRead) {
      QK_TRY(ctx, read_rule_columns(ctx, h, szCollisionKey, hStmt, 2, &collisionAction, NULL));
      bCollisionRead = 1;
    }
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
  }
  if (!bRuleRead) QK_TRY(ctx, read_rule_columns(ctx, h, szKey, SQL_NULL_HSTMT, 2, pAction, ppszExtra));
  if (!bCollisionRead)
    QK_TRY(ctx, read_rule_columns(ctx, h, szCollisionKey, SQL_NULL_HSTMT, 2, &collisionAction, NULL));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__get_column_rule(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszColId,
                                   int *pAction, char **ppszExtra) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_int32 tblId = 0, colId = 0;
  char szKey[64];
  int bRow = 0, bTableDefault;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pszTblId);
  QK_ARG_NOT_NULL(ctx, pszColId);
  QK_ARG_NOT_NULL(ctx, pAction);
  QK_ARG_NOT_NULL(ctx, ppszExtra);
  bTableDefault = pszColId[0] == '\0';
  QK_TRY(ctx, QK_int32__parse(ctx, &tblId, pszTblId));
  if (!bTableDefault) QK_TRY(ctx, QK_int32__parse(ctx, &colId, pszColId));
  QK_TRY(ctx, QK_sprintf_buf(ctx, szKey, sizeof szKey, "column|%d|%d|%d", (int)tblId, bTableDefault, (int)colId));
  QK_TRY(ctx, known_rule(ctx, h, szKey, &bRow, pAction, ppszExtra));
  if (bRow) goto done;
  if (bTableDefault) {
    QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt,
                                  "SELECT act, extra FROM tavrin.rules_column WHERE tbl_id=? AND col_id IS NULL OPTION "
                                  "(OPTIMIZE FOR UNKNOWN)"));
  } else {
    QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt,
                                  "SELECT act, extra FROM tavrin.rules_column WHERE tbl_id=? AND col_id=? OPTION "
                                  "(OPTIMIZE FOR UNKNOWN);"));
    QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 2, &colId));
  }
  QK_TRY(ctx, QK_mssql__bind__int32(ctx, hStmt, 1, &tblId));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  QK_TRY(ctx, read_rule_columns(ctx, h, szKey, bRow ? hStmt : SQL_NULL_HSTMT, 1, pAction, ppszExtra));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__get_uniqify_fn(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const char *pszColId,
                                  char **ppszFn) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  SQLLEN indCol = 0, indTbl = 0;
  char16_t *pwszCol = NULL, *pwszTbl = NULL;
  char *pszFn = NULL;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pszTblId);
  QK_ARG_NOT_NULL(ctx, pszColId);
  QK_ARG_NOT_NULL(ctx, ppszFn);
  *ppszFn = NULL;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt,
                                        "SELECT TOP 1 fn FROM tavrin.%s$t$zu WHERE col=? AND tbl=? ORDER BY txid DESC",
                                        h->name));
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, 1, pszColId, SQL_WVARCHAR, &indCol, &pwszCol));
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, 2, pszTblId, SQL_WVARCHAR, &indTbl, &pwszTbl));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  if (bRow) QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &pszFn));
  if (pszFn != NULL) {
    /* Nothing in the server calls this yet; the trace on stderr shows where one does. */
    fprintf(stderr, "at %s:%d\n", QK_sz__trim_source_path(__FILE__), __LINE__);
    fprintf(stderr, "UNIQIFY: %s\n", pszFn);
  }
  *ppszFn = pszFn;
  pszFn = NULL;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pwszCol);
  QK_free(ctx, pwszTbl);
  QK_free(ctx, pszFn);
}

static const char s_latest_version_sql[] =
    "SELECT TOP 1 rv.txid, dd.txid FROM  tavrin.\"%s$z$rv$%s\" AS rv\n"
    "  LEFT OUTER JOIN tavrin.\"%s$z$dd$%s\" AS dd ON (rv.z_rv=dd.rv)\n"
    "  LEFT OUTER JOIN tavrin.\"%s$z$rv$%s\" AS rv2 ON (rv2.rid=rv.rid) AND (rv2.txid=dd.txid)\n"
    "  WHERE (rv.rid=?) AND (rv2.txid IS NULL) ORDER BY rv.txid DESC;";

void tav_db_mssql__get_latest_row_version(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                          const QK_uint8 *pRid16, QK_int64 *pTxid, QK_int64 *pDeletingTxid) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szTbl[TAV_TABLE_ID_SZ_SIZE], szRid[QK_GUID_SZ_SIZE];
  SQLLEN indRid = 0, indTxid = 0, indDel = 0;
  QK_int64 txid = 0, deleting = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pRid16);
  QK_ARG_NOT_NULL(ctx, pTxid);
  QK_ARG_NOT_NULL(ctx, pDeletingTxid);
  QK_TRY(ctx, tav_db_mssql__history_latest(ctx, h, pszTblId, pRid16, &bRow, pTxid, pDeletingTxid));
  if (bRow) goto done;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_guid__to_sz(pRid16, szRid);
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_latest_version_sql, h->name, szTbl, h->name, szTbl,
                                        h->name, szTbl));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, 1, szRid, &indRid));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  if (bRow) {
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &txid, &indTxid));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &deleting, &indDel));
    if (indTxid == SQL_NULL_DATA) txid = 0;
    if (indDel == SQL_NULL_DATA) deleting = 0;
  }
  *pTxid = txid;
  *pDeletingTxid = deleting;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

static const char s_live_row_by_key_sql[] =
    "SELECT rv.rid, rv.txid FROM\n"
    "  (SELECT z_rv FROM tavrin.\"%s$z$x$%s\" WHERE %s) x\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON (rv.z_rv=x.z_rv)\n";
static const char s_deleted_row_by_key_sql[] =
    "SELECT TOP 1 rv.rid, rv.txid, dd.txid FROM\n"
    "  (SELECT z_rv FROM tavrin.\"%s$z$old$%s\" WHERE %s) old\n"
    "  INNER JOIN tavrin.\"%s$z$dd$%s\" dd ON (dd.rv=old.z_rv)\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" rv ON (rv.z_rv=old.z_rv)\n"
    "  LEFT OUTER JOIN tavrin.\"%s$z$rv$%s\" rv2 ON (rv2.rid=rv.rid AND rv2.txid=dd.txid)\n"
    "  WHERE rv2.txid IS NULL\n"
    "  ORDER BY rv.txid DESC";

/* Binds the key values of the package row and runs the statement; *pbRow 1 with a row. */
static void run_key_query(QK_context *ctx, SQLHSTMT hStmt, sqlite3_stmt *pIncomingRow, tav_col_collection *pColl,
                          int *pbRow) {
  int bNeedsData = 0, bHas = 0;
  *pbRow = 0;
  QK_TRY(ctx, tav_db_mssql__bind_package_row(ctx, pIncomingRow, 0, hStmt, pColl, 0, pColl->countCols, &bNeedsData));
  QK_TRY(ctx, tav_db_mssql__execute_bound(ctx, hStmt, bNeedsData));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, &bHas));
  if (bHas) QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, pbRow));
done:;
}

void tav_db_mssql__find_row_by_unique_key(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                          tav_defin *psk, sqlite3_stmt *pIncomingRow, QK_uint8 *pRid16,
                                          QK_int64 *pTxid, QK_int64 *pDeletingTxid) {
  QK_string *pCondition = NULL;
  QK_vhash *pKeyNames = NULL;
  tav_col_collection *pColl = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szTbl[TAV_TABLE_ID_SZ_SIZE];
  const char *pszColName = NULL;
  QK_uint32 countKey = 0;
  QK_uint8 rid[16];
  QK_int64 txid = 0, deleting = 0;
  SQLLEN ind = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pIncomingRow);
  QK_ARG_NOT_NULL(ctx, pRid16);
  QK_ARG_NOT_NULL(ctx, pTxid);
  QK_ARG_NOT_NULL(ctx, pDeletingTxid);
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));

  /* The key: the identity column when there is one, else the primary key. */
  QK_TRY(ctx, tav_defin__count_key_columns(ctx, psk, pszTblId, &countKey));
  QK_VERIFY(ctx, countKey > 0);
  QK_TRY(ctx, QK_string__alloc(ctx, &pCondition));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pKeyNames));
  for (QK_uint32 i = 0; i < countKey; i++) {
    QK_TRY(ctx, tav_defin__get_key_column_at(ctx, psk, pszTblId, (int)i, NULL, &pszColName));
    if (i > 0) QK_TRY(ctx, QK_string__append__sz(ctx, pCondition, " AND "));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pCondition, pszColName));
    QK_TRY(ctx, QK_string__append__sz(ctx, pCondition, "=?"));
    QK_TRY(ctx, QK_vhash__add__null(ctx, pKeyNames, pszColName));
  }
  QK_TRY(ctx, tav_db_mssql__alloc_column_array(ctx, (QK_uint16)countKey, &pColl));
  QK_TRY(ctx, tav_db_mssql__set_bindings_from_defin(ctx, pColl, 0, pKeyNames, psk, pszTblId, 0));

  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_live_row_by_key_sql, h->name, szTbl,
                                        QK_string__sz(pCondition), h->name, szTbl));
  QK_TRY(ctx, run_key_query(ctx, hStmt, pIncomingRow, pColl, &bRow));
  if (bRow) {
    QK_TRY(ctx, QK_mssql__get__guid(ctx, hStmt, 1, rid, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &txid, &ind));
    memcpy(pRid16, rid, 16);
    *pTxid = txid;
    *pDeletingTxid = 0;
    goto done;
  }
  QK_TRY(ctx, QK_mssql__free_stmt(ctx, hStmt));
  hStmt = SQL_NULL_HSTMT;

  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_deleted_row_by_key_sql, h->name, szTbl,
                                        QK_string__sz(pCondition), h->name, szTbl, h->name, szTbl, h->name, szTbl));
  QK_TRY(ctx, run_key_query(ctx, hStmt, pIncomingRow, pColl, &bRow));
  if (bRow) {
    QK_TRY(ctx, QK_mssql__get__guid(ctx, hStmt, 1, rid, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, &txid, &ind));
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 3, &deleting, &ind));
    memcpy(pRid16, rid, 16);
    *pTxid = txid;
    *pDeletingTxid = deleting;
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, tav_db_mssql__free_column_array(ctx, &pColl));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pKeyNames));
  QK_RELEASE(ctx, QK_string__free(ctx, pCondition));
}

static const char s_row_version_sql[] =
    "SELECT %s FROM tavrin.\"%s$z$%s\" u INNER JOIN tavrin.\"%s$z$rv$%s\" rv1 ON (rv1.z_rv=u.z_rv) WHERE rv1.rid=? "
    "AND rv1.txid=?";
static const char s_row_version_old_sql[] =
    " UNION ALL SELECT %s FROM tavrin.\"%s$z$old$%s\" v INNER JOIN tavrin.\"%s$z$rv$%s\" rv2 ON (rv2.z_rv=v.z_rv) "
    "WHERE rv2.rid=? AND rv2.txid=?";

void tav_db_mssql__fetch_row_version(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                     const QK_vhash *pColumnNames, const QK_uint8 *pRid16, QK_int64 txid,
                                     QK_vhash **ppRow) {
  QK_string *pColumns = NULL, *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szTbl[TAV_TABLE_ID_SZ_SIZE], szRid[QK_GUID_SZ_SIZE];
  SQLLEN indRid1 = 0, indRid2 = 0;
  QK_int64 txid1 = txid, txid2 = txid;
  QK_vhash *pRow = NULL;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pColumnNames);
  QK_ARG_NOT_NULL(ctx, pRid16);
  QK_ARG_NOT_NULL(ctx, ppRow);
  *ppRow = NULL;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_guid__to_sz(pRid16, szRid);
  QK_TRY(ctx, tav_db_mssql__history_row(ctx, h, pszTblId, pColumnNames, pRid16, txid, &bRow, ppRow));
  if (bRow) goto done;
  QK_TRY(ctx, tav_db_mssql__quoted_column_list(ctx, pColumnNames, NULL, &pColumns));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_row_version_sql, QK_string__sz(pColumns), h->name, szTbl,
                                       h->name, szTbl));
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_row_version_old_sql, QK_string__sz(pColumns), h->name, szTbl,
                                        h->name, szTbl));
  QK_TRY(ctx, QK_mssql__prepare(ctx, h->conn, &hStmt, QK_string__sz(pSql)));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, 1, szRid, &indRid1));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 2, &txid1));
  QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, 3, szRid, &indRid2));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 4, &txid2));
  QK_TRY(ctx, tav_db_mssql__execute_and_fetch(ctx, hStmt, &bRow));
  if (bRow) {
    QK_TRY(ctx, tav_db_mssql__row_to_vhash(ctx, hStmt, &pRow, NULL));
    *ppRow = pRow;
    pRow = NULL;
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pRow));
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_string__free(ctx, pColumns));
}

/* Conflict resolution of a pushed package: settling the conflict entries of each table by the
 * rules, the column merge and the package rewrites that carry the settled result. */
#include "server/tav_handle_conflicts_resolve.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "common/tav_utils.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_textfilediff.h"
#include "qk/qk_variant.h"
#include "qk/qk_varray.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_handle_conflicts_audit.h"

/* A verification failure whose expression text is given, not taken from the code. */
#define VERIFY_TEXT(ctx, cond, text)                                                              \
  do {                                                                                            \
    if (!(cond))                                                                                  \
      QK_THROW_FMT((ctx), QK_ERR_VERIFICATION_FAILED, "Verification failed: %s:%d (%s)",          \
                   QK_sz__trim_source_path(__FILE__), __LINE__, (text));                          \
  } while (0)

static const char DROP_DELTA_SQL[] = "DELETE FROM %s.p$rd$%s WHERE rid=?";
static const char DROP_ROWS_SQL[] = "DELETE FROM %s.p$u$%s WHERE z_rid=?";
static const char INSERT_ROW_HEAD_SQL[] = "INSERT INTO [p$u$%s] (z_rid, z_txid";
static const char INSERT_DELTA_SQL[] =
    "INSERT INTO p$rd$%s (rid,txid_rec_add,txid_rec_del,txid_rec_undel,txid) VALUES (?,?,?,?,?)";
static const char DELTA_INDEX_SQL[] = "CREATE UNIQUE INDEX \"ndx_rd$%s\" ON \"p$rd$%s\"(rid)";
static const char DELTA_ADD_UNDEL_SQL[] = "ALTER TABLE \"p$rd$%s\" ADD COLUMN txid_rec_undel INTEGER NULL";
static const char ROW_VERSION_SQL[] = "SELECT _ROWID_ FROM p$u$%s WHERE z_rid=? AND z_txid=?";
static const char MOVE_ROWS_SQL[] = "UPDATE p$u$%s SET z_rid=? WHERE z_rid=?";
static const char MOVE_DELTA_SQL[] = "UPDATE p$rd$%s SET rid=? WHERE rid=?";
static const char REBASE_DELTA_BY_RID_SQL[] = "UPDATE p$rd$%s SET txid_rec_del=? WHERE rid=?";
static const char REBASE_DELTA_BY_ROWID_SQL[] = "UPDATE p$rd$%s SET txid_rec_del=? WHERE _ROWID_=?";

/* ---- Package rewrites ---- */

/* Runs a statement with up to two row ids bound (the first first). */
static void exec_with_rids(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *sql,
                           const QK_uint8 *rid1, const QK_uint8 *rid2) {
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, QK_sqlite__prepare_cached(ctx, pCache, db, &pStmt, "%s", sql));
  QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 1, rid1));
  if (rid2 != NULL) QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 2, rid2));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
done:
  QK_RELEASE(ctx, QK_sqlite__release_cached(ctx, pCache, &pStmt));
}

static void exec_format_with_rids(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *fmt,
                                  const char *tbl_id, const QK_uint8 *rid1, const QK_uint8 *rid2) {
  QK_string *pSql = NULL;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, fmt, tbl_id));
  QK_TRY(ctx, exec_with_rids(ctx, pCache, db, QK_string__sz(pSql), rid1, rid2));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* The statements of these rewrites repeat for every entry of a table: with a cache (NULL: none)
 * each is prepared once. */
static void drop_incoming_row(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                              const QK_uint8 *rid) {
  QK_string *pSql = NULL;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  QK_ARG_NOT_NULL(ctx, rid);
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, DROP_DELTA_SQL, "main", tbl_id));
  QK_TRY(ctx, exec_with_rids(ctx, pCache, db, QK_string__sz(pSql), rid, NULL));
  QK_TRY(ctx, QK_string__sprintf(ctx, pSql, DROP_ROWS_SQL, "main", tbl_id));
  QK_TRY(ctx, exec_with_rids(ctx, pCache, db, QK_string__sz(pSql), rid, NULL));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_push__drop_incoming_row(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid) {
  QK_TRY(ctx, drop_incoming_row(ctx, NULL, db, tbl_id, rid));
done:;
}

static void replace_incoming_row(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                                 const QK_uint8 *rid, const QK_vhash *row, QK_int64 txid, QK_int64 base_txid,
                                 int undelete) {
  QK_string *pSql = NULL;
  sqlite3_stmt *pStmt = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, row);
  QK_TRY(ctx, drop_incoming_row(ctx, pCache, db, tbl_id, rid));
  QK_TRY(ctx, QK_vhash__count(ctx, row, &count));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, INSERT_ROW_HEAD_SQL, tbl_id));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *name = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, row, i, &name, NULL));
    QK_TRY(ctx, QK_string__append__format(ctx, pSql, ", [%s]", name));
  }
  QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ") VALUES (?,?"));
  for (QK_uint32 i = 0; i < count; i++) QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ",?"));
  QK_TRY(ctx, QK_string__append__sz(ctx, pSql, ")"));
  QK_TRY(ctx, QK_sqlite__prepare_cached(ctx, pCache, db, &pStmt, "%s", QK_string__sz(pSql)));
  QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 1, rid));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 2, txid));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_variant *pValue = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, row, i, NULL, &pValue));
    QK_TRY(ctx, QK_sqlite__bind_variant(ctx, pStmt, (int)i + 3, pValue));
  }
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
  QK_TRY(ctx, QK_sqlite__release_cached(ctx, pCache, &pStmt));

  QK_TRY(ctx, QK_string__sprintf(ctx, pSql, INSERT_DELTA_SQL, tbl_id));
  QK_TRY(ctx, QK_sqlite__prepare_cached(ctx, pCache, db, &pStmt, "%s", QK_string__sz(pSql)));
  QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 1, rid));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 2, txid));
  QK_TRY(ctx, QK_sqlite__bind_null(ctx, pStmt, 3));
  QK_TRY(ctx, QK_sqlite__bind_null(ctx, pStmt, 4));
  if (base_txid >= 1) QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, undelete ? 4 : 3, base_txid));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 5, txid));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
done:
  QK_RELEASE(ctx, QK_sqlite__release_cached(ctx, pCache, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void tav_push__replace_incoming_row(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid,
                                    const QK_vhash *row, QK_int64 txid, QK_int64 base_txid, int undelete) {
  QK_TRY(ctx, replace_incoming_row(ctx, NULL, db, tbl_id, rid, row, txid, base_txid, undelete));
done:;
}

/* ---- Row documents ---- */

void tav_conflict__rows_equal(QK_context *ctx, const QK_vhash *a, const QK_vhash *b, int *pbEqual) {
  QK_uint32 countA = 0, countB = 0;
  QK_ARG_NOT_NULL(ctx, a);
  QK_ARG_NOT_NULL(ctx, b);
  QK_ARG_NOT_NULL(ctx, pbEqual);
  *pbEqual = 0;
  QK_TRY(ctx, QK_vhash__count(ctx, a, &countA));
  QK_TRY(ctx, QK_vhash__count(ctx, b, &countB));
  if (countA != countB) goto done;
  for (QK_uint32 i = 0; i < countB; i++) {
    const char *name = NULL;
    QK_variant *pB = NULL;
    QK_variant *pA = NULL;
    int bEqual = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, b, i, &name, &pB));
    QK_TRY(ctx, QK_vhash__check__variant(ctx, a, name, &pA));
    if (pA == NULL) goto done;
    QK_TRY(ctx, QK_variant__equal(ctx, pA, pB, &bEqual));
    if (!bEqual) goto done;
  }
  *pbEqual = 1;
done:;
}

void tav_conflict__decorate_identity_values(QK_context *ctx, tav_defin *defin, const char *tbl_id, QK_vhash *pKnown,
                                            QK_vhash *row) {
  QK_uint32 count = 0;
  char szValue[32];
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, row);
  QK_TRY(ctx, QK_vhash__count(ctx, row, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *name = NULL;
    QK_variant *pValue = NULL;
    QK_int64 bIdentity = -1;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, row, i, &name, &pValue));
    if (pValue->type != QK_VARIANT_TYPE_INT64) continue;
    if (pKnown != NULL) QK_TRY(ctx, QK_vhash__check__int64(ctx, pKnown, name, &bIdentity));
    if (bIdentity < 0) {
      const char *col_id = NULL;
      const char *identity_tbl = NULL;
      QK_TRY(ctx, tav_defin__get_column_id(ctx, defin, tbl_id, name, &col_id));
      if (col_id != NULL)
        QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, defin, tbl_id, col_id, &identity_tbl, NULL));
      bIdentity = identity_tbl != NULL;
      if (pKnown != NULL) QK_TRY(ctx, QK_vhash__update__int64(ctx, pKnown, name, bIdentity));
    }
    if (!bIdentity) continue;
    snprintf(szValue, sizeof szValue, "S:%" PRId64, (int64_t)pValue->u.i64);
    QK_TRY(ctx, QK_vhash__update__string(ctx, row, name, szValue));
  }
done:;
}

/* ---- Merges ---- */

void tav_conflict__merge_text(QK_context *ctx, const char *already_text, const char *incoming_text,
                              const char *ancestor_text, QK_string **ppMerged) {
  QK_textfilediff *pDiff = NULL;
  QK_string *pNoLabel = NULL;
  int bConflicts = 0;
  QK_ARG_NOT_NULL(ctx, ppMerged);
  *ppMerged = NULL;
  QK_TRY(ctx, QK_textfilediff__diff3(ctx, ancestor_text, already_text, incoming_text,
                                     QK_TEXTFILEDIFF_IGNORE_BLANK_RUNS, &pDiff, &bConflicts));
  if (bConflicts) goto done;
  QK_TRY(ctx, QK_string__alloc(ctx, &pNoLabel));
  QK_TRY(ctx, QK_textfilediff__merge_to_string(ctx, pDiff, pNoLabel, pNoLabel, ppMerged));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNoLabel));
  QK_RELEASE(ctx, QK_textfilediff__free(ctx, pDiff));
}

void tav_conflict__get_column_rule(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                   const char *tbl_id, const char *col_id, int *pAction, char **ppszExtra) {
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pAction);
  *pAction = 0;
  QK_TRY(ctx, ops->get_column_rule(ctx, h, tbl_id, col_id ? col_id : "", pAction, ppszExtra));
  if (*pAction == 0 && col_id != NULL && col_id[0] != '\0')
    QK_TRY(ctx, ops->get_column_rule(ctx, h, tbl_id, "", pAction, ppszExtra));
done:;
}

static void table_name_or_id(QK_context *ctx, tav_defin *defin, const char *tbl_id, const char **ppsz) {
  *ppsz = tbl_id;
  QK_RELEASE(ctx, tav_defin__get_table_name(ctx, defin, tbl_id, ppsz));
  if (*ppsz == NULL) *ppsz = tbl_id;
}

void tav_conflict__scripted_row_merge(QK_context *ctx, tav_defin *defin, const char *tbl_id, const char *script,
                                      const QK_vhash *ancestor, const QK_vhash *already, const QK_vhash *incoming,
                                      QK_vhash **ppRow) {
  const char *tbl_name = NULL;
  (void)ancestor;
  (void)already;
  (void)incoming;
  if (ppRow != NULL) *ppRow = NULL;
  table_name_or_id(ctx, defin, tbl_id, &tbl_name);
  if (script == NULL || script[0] == '\0')
    QK_THROW_FMT(ctx, QK_ERR_HOOK_COMPILE, "Custom row merge function is NULL or empty for table \"%s\".",
                 tbl_name);
  QK_THROW_FMT(ctx, QK_ERR_HOOKS_DISABLED, "Custom row merge for table \"%s\"", tbl_name);
done:;
}

static void scripted_column_merge(QK_context *ctx, tav_defin *defin, const char *tbl_id, const char *col_name,
                                  const char *script) {
  const char *tbl_name = NULL;
  table_name_or_id(ctx, defin, tbl_id, &tbl_name);
  if (script == NULL || script[0] == '\0')
    QK_THROW_FMT(ctx, QK_ERR_HOOK_COMPILE,
                 "Custom column merge function is NULL or empty. (table \"%s\", column \"%s\")", tbl_name, col_name);
  QK_THROW_FMT(ctx, QK_ERR_HOOKS_DISABLED, "Custom column merge for table \"%s\" column \"%s\"", tbl_name, col_name);
done:;
}

/* Sets the column of the merged row; a NULL value leaves it out (the column is NULL). */
static void put_value(QK_context *ctx, QK_vhash *merged, const char *col_name, const QK_variant *pValue) {
  if (pValue == NULL || pValue->type == QK_VARIANT_TYPE_NULL) return;
  QK_TRY(ctx, QK_vhash__add__variant(ctx, merged, col_name, pValue));
done:;
}

/* A text the line merge can take: it merges C strings, so a text with a NUL character is
 * settled by the column's rule alone rather than cut short. */
static int is_text(const QK_variant *pValue) {
  return pValue != NULL && pValue->type == QK_VARIANT_TYPE_SZ && strlen(pValue->u.psz) == pValue->len;
}

void tav_conflict__merge_column(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                const char *tbl_id, const char *col_name, const QK_variant *already_value,
                                const QK_variant *incoming_value, const QK_variant *ancestor_value,
                                QK_vhash *merged, int *pbRejected) {
  const char *col_id = NULL;
  char *pszExtra = NULL;
  QK_string *pMerged = NULL;
  int action = 0;
  QK_ARG_NOT_NULL(ctx, merged);
  QK_ARG_NOT_NULL(ctx, pbRejected);
  QK_TRY(ctx, tav_defin__get_column_id(ctx, defin, tbl_id, col_name, &col_id));
  QK_TRY(ctx, tav_conflict__get_column_rule(ctx, ops, h, tbl_id, col_id, &action, &pszExtra));
  if (action == 0) action = TAVRIN_ACTION_ACCEPT;
  if ((action & TAVRIN_COLUMN_RULE_TEXT_MERGE) && is_text(already_value) && is_text(incoming_value) &&
      is_text(ancestor_value)) {
    QK_TRY(ctx, tav_conflict__merge_text(ctx, already_value->u.psz, incoming_value->u.psz, ancestor_value->u.psz,
                                         &pMerged));
    if (pMerged != NULL) {
      QK_TRY(ctx, QK_vhash__add__string(ctx, merged, col_name, QK_string__sz(pMerged)));
      goto done;
    }
  }
  switch (action & ~TAVRIN_COLUMN_RULE_TEXT_MERGE) {
    case 0:
    case TAVRIN_ACTION_ACCEPT:
      QK_TRY(ctx, put_value(ctx, merged, col_name, incoming_value));
      break;
    case TAVRIN_ACTION_IGNORE:
      QK_TRY(ctx, put_value(ctx, merged, col_name, already_value));
      break;
    case TAVRIN_ACTION_REJECT:
      *pbRejected = 1;
      break;
    case TAVRIN_ACTION_SCRIPTED_MERGE:
      QK_TRY(ctx, scripted_column_merge(ctx, defin, tbl_id, col_name, pszExtra));
      break;
    default:
      QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Unsupported column merge rule %d for column \"%s\"", action,
                   col_name);
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pMerged));
  QK_free(ctx, pszExtra);
}

static void values_equal(QK_context *ctx, const QK_variant *a, const QK_variant *b, int *pbEqual) {
  QK_TRY(ctx, QK_variant__equal(ctx, a, b, pbEqual));
done:;
}

/* The merged row of a column merge; *pbRejected when a column's rule rejects. */
static void column_merge(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                         const char *tbl_id, const QK_vhash *ancestor, const QK_vhash *already,
                         const QK_vhash *incoming, QK_vhash *merged, int *pbRejected) {
  QK_uint32 count = 0;
  QK_TRY(ctx, QK_vhash__count(ctx, incoming, &count));
  for (QK_uint32 i = 0; i < count && !*pbRejected; i++) {
    const char *name = NULL;
    QK_variant *pIn = NULL, *pAl = NULL, *pAn = NULL;
    int bEqual = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, incoming, i, &name, &pIn));
    QK_TRY(ctx, QK_vhash__check__variant(ctx, already, name, &pAl));
    if (ancestor != NULL) QK_TRY(ctx, QK_vhash__check__variant(ctx, ancestor, name, &pAn));
    if (pAl != NULL) {
      QK_TRY(ctx, values_equal(ctx, pAl, pIn, &bEqual));
      if (bEqual) {
        QK_TRY(ctx, put_value(ctx, merged, name, pIn));
        continue;
      }
      if (pAn != NULL) {
        QK_TRY(ctx, values_equal(ctx, pAl, pAn, &bEqual));
        if (bEqual) {
          QK_TRY(ctx, put_value(ctx, merged, name, pIn));
          continue;
        }
        QK_TRY(ctx, values_equal(ctx, pIn, pAn, &bEqual));
        if (bEqual) {
          QK_TRY(ctx, put_value(ctx, merged, name, pAl));
          continue;
        }
      }
      QK_TRY(ctx, tav_conflict__merge_column(ctx, ops, h, defin, tbl_id, name, pAl, pIn, pAn, merged, pbRejected));
    } else if (pAn != NULL) {
      QK_TRY(ctx, values_equal(ctx, pAn, pIn, &bEqual));
      /* The client left the value as it was and the server cleared it. */
      if (!bEqual)
        QK_TRY(ctx, tav_conflict__merge_column(ctx, ops, h, defin, tbl_id, name, NULL, pIn, pAn, merged, pbRejected));
    } else {
      QK_TRY(ctx, put_value(ctx, merged, name, pIn));
    }
  }
  QK_TRY(ctx, QK_vhash__count(ctx, already, &count));
  for (QK_uint32 i = 0; i < count && !*pbRejected; i++) {
    const char *name = NULL;
    QK_variant *pIn = NULL, *pAl = NULL, *pAn = NULL;
    int bEqual = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, already, i, &name, &pAl));
    QK_TRY(ctx, QK_vhash__check__variant(ctx, incoming, name, &pIn));
    if (pIn != NULL) continue;
    if (ancestor != NULL) QK_TRY(ctx, QK_vhash__check__variant(ctx, ancestor, name, &pAn));
    if (pAn == NULL) {
      QK_TRY(ctx, put_value(ctx, merged, name, pAl));
      continue;
    }
    QK_TRY(ctx, values_equal(ctx, pAn, pAl, &bEqual));
    /* The client cleared a value the server left as it was. */
    if (!bEqual)
      QK_TRY(ctx, tav_conflict__merge_column(ctx, ops, h, defin, tbl_id, name, pAl, NULL, pAn, merged, pbRejected));
  }
done:;
}

/* The action of a table rule, its default for 0, and a check against the accepted values. */
static void get_situation_action(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, const char *tbl_id,
                                 int situation, int default_action, int *pAction, char **ppszExtra) {
  int action = 0;
  QK_TRY(ctx, ops->get_record_rule(ctx, h, tbl_id, situation, situation == TAVRIN_SITUATION_BASELINE_PURGED,
                                   &action, ppszExtra));
  if (action == TAVRIN_ACTION_NONE) action = default_action;
  switch (action) {
    case TAVRIN_ACTION_ACCEPT:
    case TAVRIN_ACTION_IGNORE:
    case TAVRIN_ACTION_REJECT:
      break;
    case TAVRIN_ACTION_COLUMN_MERGE:
    case TAVRIN_ACTION_SCRIPTED_MERGE:
      if (situation == TAVRIN_SITUATION_UPDATE_VS_UPDATE) break;
      /* fall through */
    default:
      QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Unsupported action %d for conflict situation %d", action,
                   situation);
  }
  *pAction = action;
done:;
}

static void resolve_update(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                           QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid,
                           QK_int64 server_txid, int undelete, QK_int64 incoming_txid, const QK_vhash *ancestor,
                           const QK_vhash *already, const QK_vhash *incoming, int *pbRejected) {
  char *pszExtra = NULL;
  QK_vhash *pMerged = NULL;
  int action = 0;
  QK_ARG_NOT_NULL(ctx, already);
  QK_ARG_NOT_NULL(ctx, incoming);
  QK_ARG_NOT_NULL(ctx, pbRejected);
  QK_TRY(ctx, get_situation_action(ctx, ops, h, tbl_id, TAVRIN_SITUATION_UPDATE_VS_UPDATE,
                                   TAVRIN_ACTION_COLUMN_MERGE, &action, &pszExtra));
  switch (action) {
    case TAVRIN_ACTION_ACCEPT:
      QK_TRY(ctx, replace_incoming_row(ctx, pCache, db, tbl_id, rid, incoming, incoming_txid, server_txid,
                                                 undelete));
      VERIFY_TEXT(ctx, sqlite3_changes(db) == 1, "1 == sqlite3_changes(psql_pkg)");
      QK_TRY(ctx, tav_audit__add_row__cached(ctx, pCache, db, tbl_id, rid, already, incoming, ancestor, incoming));
      break;
    case TAVRIN_ACTION_IGNORE:
      QK_TRY(ctx, tav_audit__add_row__cached(ctx, pCache, db, tbl_id, rid, already, incoming, ancestor, already));
      QK_TRY(ctx, drop_incoming_row(ctx, pCache, db, tbl_id, rid));
      break;
    case TAVRIN_ACTION_REJECT:
      *pbRejected = 1;
      break;
    case TAVRIN_ACTION_SCRIPTED_MERGE:
      QK_TRY(ctx, tav_conflict__scripted_row_merge(ctx, defin, tbl_id, pszExtra, ancestor, already, incoming,
                                                   &pMerged));
      break;
    default:
      QK_TRY(ctx, QK_vhash__alloc(ctx, &pMerged));
      QK_TRY(ctx, column_merge(ctx, ops, h, defin, tbl_id, ancestor, already, incoming, pMerged, pbRejected));
      if (*pbRejected) break;
      QK_TRY(ctx, replace_incoming_row(ctx, pCache, db, tbl_id, rid, pMerged, incoming_txid, server_txid,
                                                 undelete));
      QK_TRY(ctx, tav_audit__add_row__cached(ctx, pCache, db, tbl_id, rid, already, incoming, ancestor, pMerged));
      break;
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pMerged));
  QK_free(ctx, pszExtra);
}

void tav_conflict__resolve_update(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                  sqlite3 *db, const char *tbl_id, const QK_uint8 *rid, QK_int64 server_txid,
                                  int undelete, QK_int64 incoming_txid, const QK_vhash *ancestor,
                                  const QK_vhash *already, const QK_vhash *incoming, int *pbRejected) {
  QK_TRY(ctx, resolve_update(ctx, ops, h, defin, NULL, db, tbl_id, rid, server_txid, undelete, incoming_txid, ancestor,
                             already, incoming, pbRejected));
done:;
}

/* ---- Settling a table ---- */

/* The package row (rid, txid) of p$u$<id> as a document, or NULL. */
static void get_package_row(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                            const QK_uint8 *rid, QK_int64 txid, QK_vhash **ppRow) {
  sqlite3_stmt *pStmt = NULL;
  int bRow = 0;
  *ppRow = NULL;
  QK_TRY(ctx, QK_sqlite__prepare_cached(ctx, pCache, db, &pStmt, ROW_VERSION_SQL, tbl_id));
  QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 1, rid));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 2, txid));
  QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
  if (bRow)
    QK_TRY(ctx, tav_pkg__get_row_by_rowid__cached(ctx, pCache, db, tbl_id, sqlite3_column_int64(pStmt, 0), ppRow));
done:
  QK_RELEASE(ctx, QK_sqlite__release_cached(ctx, pCache, &pStmt));
}

/* A server version of the row over the package table's columns, decorated; NULL when the
 * version no longer exists. */
static void fetch_server_row(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                             const char *tbl_id, const QK_vhash *pColumns, QK_vhash *pIdentityColumns,
                             const QK_uint8 *rid, QK_int64 txid, QK_vhash **ppRow) {
  QK_TRY(ctx, ops->fetch_row_version(ctx, h, tbl_id, pColumns, rid, txid, ppRow));
  if (*ppRow != NULL)
    QK_TRY(ctx, tav_conflict__decorate_identity_values(ctx, defin, tbl_id, pIdentityColumns, *ppRow));
done:;
}

/* A new row id with the key values of the package row: the package's rows move to the
 * server row that holds those keys, live or deleted. */
static void move_to_row_with_same_key(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                      tav_defin *defin, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                                      QK_uint8 *rid, QK_int64 *pLatest, QK_int64 *pDeleting) {
  sqlite3_stmt *pKeys = NULL;
  QK_uint8 found[16];
  QK_int64 latest = 0, deleting = 0;
  int bRow = 0;
  QK_guid__clear(found);
  QK_TRY(ctx, tav_pkg__prepare_key_select(ctx, db, defin, tbl_id, rid, &pKeys));
  QK_TRY(ctx, QK_sqlite__step_row(ctx, pKeys, &bRow));
  if (!bRow) goto done;
  QK_TRY(ctx, ops->find_row_by_unique_key(ctx, h, tbl_id, defin, pKeys, found, &latest, &deleting));
  if (QK_guid__is_zero(found)) goto done;
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pKeys));
  QK_TRY(ctx, exec_format_with_rids(ctx, pCache, db, MOVE_ROWS_SQL, tbl_id, found, rid));
  QK_TRY(ctx, exec_format_with_rids(ctx, pCache, db, MOVE_DELTA_SQL, tbl_id, found, rid));
  memcpy(rid, found, 16);
  *pLatest = latest;
  *pDeleting = deleting;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pKeys));
}

static void rebase_delta(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *fmt, const char *tbl_id,
                         QK_int64 base, const QK_uint8 *rid, QK_int64 rowid) {
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, QK_sqlite__prepare_cached(ctx, pCache, db, &pStmt, fmt, tbl_id));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 1, base));
  if (rid != NULL)
    QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 2, rid));
  else
    QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 2, rowid));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
done:
  QK_RELEASE(ctx, QK_sqlite__release_cached(ctx, pCache, &pStmt));
}

/* What settling one entry needs besides the entry itself. */
typedef struct settle_args {
  const tav_backend_ops *ops;
  tav_db_handle *h;
  tav_defin *defin;
  struct tav_recovery_set *recovery_set;
  sqlite3 *db;
  QK_sqlite_cache *stmts; /* the package statements settling repeats */
  const char *tbl_id;
  const QK_vhash *pColumns; /* the package table's columns */
  QK_vhash *pIdentityColumns; /* which columns hold identity values, as found so far */
  int purged_action;
} settle_args;

static void settle_entry(QK_context *ctx, const settle_args *a, QK_vhash *pEntry, int *pbRejected, int *pbPurged) {
  QK_vhash *pOwnIncoming = NULL, *pOwnAncestor = NULL, *pAlready = NULL, *pPurgedMark = NULL;
  const QK_vhash *pIncoming = NULL, *pAncestor = NULL;
  const char *szRid = NULL;
  char *pszExtra = NULL;
  QK_uint8 rid[16];
  QK_int64 rowid = 0, txidAdd = 0, txidDel = 0, txid = 0, latest = 0, deleting = 0;
  int bPurgedFlag = 0, action = 0;

  QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "_ROWID_", &rowid));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "rid", &szRid));
  QK_TRY(ctx, QK_guid__from_sz(ctx, szRid, rid));
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "txid_rec_add", &txidAdd));
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "txid_rec_del", &txidDel));
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "txid", &txid));
  QK_TRY(ctx, QK_vhash__check__bool(ctx, pEntry, "purged_flag", &bPurgedFlag));
  /* The txid the settled change carries: that of its incoming version. */
  if (txidAdd != 0) txid = txidAdd;

  {
    QK_vhash *pGiven = NULL;
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pEntry, "rec_add", &pGiven));
    if (pGiven != NULL)
      pIncoming = pGiven;
    else if (txidAdd != 0) {
      QK_TRY(ctx, get_package_row(ctx, a->stmts, a->db, a->tbl_id, rid, txidAdd, &pOwnIncoming));
      pIncoming = pOwnIncoming;
    }
  }

  QK_TRY(ctx, a->ops->get_latest_row_version(ctx, a->h, a->tbl_id, rid, &latest, &deleting));
  if (latest == 0 && !bPurgedFlag) {
    VERIFY_TEXT(ctx, a->recovery_set == NULL, "pvh_preps == NULL");
    VERIFY_TEXT(ctx, txidDel == -1, "pkg_delta__txid_rec_del==-1");
    QK_TRY(ctx, move_to_row_with_same_key(ctx, a->ops, a->h, a->defin, a->stmts, a->db, a->tbl_id, rid, &latest,
                                          &deleting));
  }
  if (latest != 0)
    QK_TRY(ctx, fetch_server_row(ctx, a->ops, a->h, a->defin, a->tbl_id, a->pColumns, a->pIdentityColumns, rid,
                                 latest, &pAlready));

  if (txidDel != 0) {
    QK_vhash *pGiven = NULL;
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pEntry, "rec_del", &pGiven));
    if (pGiven != NULL) {
      pAncestor = pGiven;
    } else if (txidDel < 0) {
      /* A version only the client's own history knows. */
      QK_TRY(ctx, get_package_row(ctx, a->stmts, a->db, a->tbl_id, rid, txidDel, &pOwnAncestor));
      pAncestor = pOwnAncestor;
      if (pAlready != NULL && pOwnAncestor != NULL) {
        int bEqual = 0;
        QK_TRY(ctx, tav_conflict__rows_equal(ctx, pAlready, pOwnAncestor, &bEqual));
        if (bEqual) {
          QK_TRY(ctx, rebase_delta(ctx, a->stmts, a->db, REBASE_DELTA_BY_RID_SQL, a->tbl_id, latest, rid, 0));
          txidDel = latest;
          /* The client's base is the server's current row: no conflict. */
          if (deleting == 0) goto done;
        }
      }
    } else {
      QK_TRY(ctx, fetch_server_row(ctx, a->ops, a->h, a->defin, a->tbl_id, a->pColumns, a->pIdentityColumns, rid,
                                   txidDel, &pOwnAncestor));
      pAncestor = pOwnAncestor;
      if (pOwnAncestor == NULL) {
        QK_TRY(ctx, QK_vhash__alloc(ctx, &pPurgedMark));
        QK_TRY(ctx, QK_vhash__add__bool(ctx, pPurgedMark, "z$purged", 1));
        pAncestor = pPurgedMark;
        if (pIncoming != NULL) {
          if (a->purged_action == TAVRIN_ACTION_IGNORE) {
            QK_TRY(ctx, tav_audit__add_row__cached(ctx, a->stmts, a->db, a->tbl_id, rid, pAlready, pIncoming,
                                                   pAncestor, pAlready));
            QK_TRY(ctx, drop_incoming_row(ctx, a->stmts, a->db, a->tbl_id, rid));
          } else {
            *pbPurged = 1;
          }
          goto done;
        }
      }
    }

    if (latest == 0 || deleting != 0) {
      if (pIncoming == NULL) {
        /* Both sides deleted the row. */
        QK_TRY(ctx, drop_incoming_row(ctx, a->stmts, a->db, a->tbl_id, rid));
        goto done;
      }
      QK_TRY(ctx, get_situation_action(ctx, a->ops, a->h, a->tbl_id, TAVRIN_SITUATION_UPDATE_VS_DELETE,
                                       TAVRIN_ACTION_ACCEPT, &action, &pszExtra));
      if (action == TAVRIN_ACTION_IGNORE) {
        QK_TRY(ctx, tav_audit__add_row__cached(ctx, a->stmts, a->db, a->tbl_id, rid, pAlready, pIncoming, pAncestor,
                                               pAlready));
        QK_TRY(ctx, drop_incoming_row(ctx, a->stmts, a->db, a->tbl_id, rid));
      } else if (action == TAVRIN_ACTION_REJECT) {
        *pbRejected = 1;
      } else if (latest != 0 && latest != txidDel) {
        QK_TRY(ctx, resolve_update(ctx, a->ops, a->h, a->defin, a->stmts, a->db, a->tbl_id, rid, latest, 1, txid,
                                                 pAncestor, pAlready, pIncoming, pbRejected));
      } else {
        QK_TRY(ctx, replace_incoming_row(ctx, a->stmts, a->db, a->tbl_id, rid, pIncoming, txid, latest, 1));
        QK_TRY(ctx, tav_audit__add_row__cached(ctx, a->stmts, a->db, a->tbl_id, rid, pAlready, pIncoming, pAncestor,
                                               pIncoming));
      }
    } else if (pIncoming != NULL) {
      int bEqual = 0;
      QK_TRY(ctx, tav_conflict__rows_equal(ctx, pAlready, pIncoming, &bEqual));
      if (bEqual)
        QK_TRY(ctx, drop_incoming_row(ctx, a->stmts, a->db, a->tbl_id, rid));
      else
        QK_TRY(ctx, resolve_update(ctx, a->ops, a->h, a->defin, a->stmts, a->db, a->tbl_id, rid, latest, 0, txid,
                                                 pAncestor, pAlready, pIncoming, pbRejected));
    } else {
      QK_TRY(ctx, get_situation_action(ctx, a->ops, a->h, a->tbl_id, TAVRIN_SITUATION_DELETE_VS_UPDATE,
                                       TAVRIN_ACTION_IGNORE, &action, &pszExtra));
      if (action == TAVRIN_ACTION_IGNORE) {
        QK_TRY(ctx, tav_audit__add_row__cached(ctx, a->stmts, a->db, a->tbl_id, rid, pAlready, NULL, pAncestor,
                                               pAlready));
        QK_TRY(ctx, drop_incoming_row(ctx, a->stmts, a->db, a->tbl_id, rid));
      } else if (action == TAVRIN_ACTION_REJECT) {
        *pbRejected = 1;
      } else {
        QK_TRY(ctx, rebase_delta(ctx, a->stmts, a->db, REBASE_DELTA_BY_ROWID_SQL, a->tbl_id, latest, NULL, rowid));
        VERIFY_TEXT(ctx, sqlite3_changes(a->db) == 1, "1 == sqlite3_changes(psql_pkg)");
        QK_TRY(ctx, tav_audit__add_row__cached(ctx, a->stmts, a->db, a->tbl_id, rid, pAlready, NULL, pAncestor, NULL));
      }
    }
  } else if (latest != 0 && deleting == 0) {
    /* The client inserts a row id the server holds live. */
    QK_TRY(ctx, tav_audit__add_row__cached(ctx, a->stmts, a->db, a->tbl_id, rid, pAlready, pIncoming, pAncestor,
                                           pAlready));
    QK_TRY(ctx, drop_incoming_row(ctx, a->stmts, a->db, a->tbl_id, rid));
  }
done:
  QK_free(ctx, pszExtra);
  QK_RELEASE(ctx, QK_vhash__free(ctx, pOwnIncoming));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pOwnAncestor));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pAlready));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pPurgedMark));
}

void tav_conflict__resolve_table(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                 struct tav_recovery_set *recovery_set, sqlite3 *db, const char *tbl_id,
                                 int *pbRejected, int *pbPurged) {
  QK_varray *pEntries = NULL;
  QK_vhash *pColumns = NULL;
  QK_vhash *pIdentityColumns = NULL;
  QK_sqlite_cache *pStmts = NULL;
  QK_uint32 count = 0;
  int purgedAction = 0;
  settle_args args;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  QK_ARG_NOT_NULL(ctx, pbRejected);
  QK_ARG_NOT_NULL(ctx, pbPurged);
  QK_TRY(ctx, ops->get_record_rule(ctx, h, tbl_id, TAVRIN_SITUATION_BASELINE_PURGED, 1, &purgedAction, NULL));
  if (purgedAction == TAVRIN_ACTION_NONE) purgedAction = TAVRIN_ACTION_REJECT;
  if (purgedAction != TAVRIN_ACTION_IGNORE && purgedAction != TAVRIN_ACTION_REJECT)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Unsupported action %d for 'baseline purged' situation",
                 purgedAction);
  QK_sqlite__exec_printf(ctx, db, DELTA_INDEX_SQL, tbl_id, tbl_id);
  /* Two deltas of one row id: the client's package is at fault, not the server. */
  if (QK_context__error_equals(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, SQLITE_CONSTRAINT))) {
    QK_context__reset_error(ctx);
    QK_THROW_MSG(ctx, TAV_ERR_MALFORMED_PACKAGE, "Malformed package. A row id has more than one row delta.");
  }
  QK_CHECK(ctx);
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, DELTA_ADD_UNDEL_SQL, tbl_id));
  QK_TRY(ctx, ops->salvage(ctx, h, defin, tbl_id, recovery_set, db, &pEntries));
  if (pEntries == NULL) goto done;
  QK_TRY(ctx, QK_varray__count(ctx, pEntries, &count));
  if (count == 0) goto done;
  QK_TRY(ctx, tav_pkg__get_table_columns(ctx, db, tbl_id, &pColumns));
  QK_TRY(ctx, QK_sqlite_cache__alloc(ctx, db, &pStmts));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pIdentityColumns));
  args = {ops, h, defin, recovery_set, db, pStmts, tbl_id, pColumns, pIdentityColumns, purgedAction};
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pEntry = NULL;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pEntries, i, &pEntry));
    QK_TRY(ctx, settle_entry(ctx, &args, pEntry, pbRejected, pbPurged));
    if (*pbRejected || *pbPurged) break;
  }
done:
  if (QK_context__has_error(ctx)) {
    const char *tbl_name = NULL;
    if (defin != NULL) QK_RELEASE(ctx, tav_defin__get_table_name(ctx, defin, tbl_id, &tbl_name));
    tav_err__add_context(ctx, tbl_id, "resolving conflicts in", tbl_name);
  }
  QK_RELEASE(ctx, QK_sqlite_cache__free(ctx, pStmts));
  QK_RELEASE(ctx, QK_varray__free(ctx, pEntries));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pColumns));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pIdentityColumns));
}

void tav_conflict__resolve_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                   sqlite3 *db, int *pbRejected, int *pbPurged) {
  sqlite3_stmt *pExists = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, db);
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pExists, "%s", TAV_PKG_TABLE_EXISTS_SQL));
  QK_TRY(ctx, tav_defin__count_tables(ctx, defin, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *tbl_id = NULL;
    int bExists = 0;
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, defin, (int)i, &tbl_id));
    QK_TRY(ctx, tav_pkg__table_exists(ctx, pExists, TAV_PKG_ROW_DELTAS_PREFIX, tbl_id, &bExists));
    if (!bExists) continue;
    QK_TRY(ctx, tav_conflict__resolve_table(ctx, ops, h, defin, NULL, db, tbl_id, pbRejected, pbPurged));
    if (*pbRejected || *pbPurged) break;
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pExists));
}

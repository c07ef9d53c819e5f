/* Audit rows of a push, written into the pushed package. */
#include "server/tav_handle_conflicts_audit.h"

#include "qk/qk_jsonwriter.h"
#include "qk/qk_variant.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts.h"

static const char AUDIT_INSERT_SQL[] =
    "INSERT INTO p$audit (rid,txid,tbl,ancestor,already,incoming,result) VALUES (?,?,?,?,?,?,?)";

/* Blobs longer than this show only their length and digest. */
#define AUDIT_MAX_HEX_LEN 16

static void write_blob(QK_context *ctx, QK_jsonwriter *pjson, const char *name, const QK_vhash *pBlob) {
  QK_int64 len = 0;
  const char *sha1 = NULL;
  const char *hex = NULL;
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pBlob, "len", &len));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pBlob, "sha1", &sha1));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pBlob, "hex", &hex));
  QK_TRY(ctx, QK_jsonwriter__write_pair_name(ctx, pjson, name));
  QK_TRY(ctx, QK_jsonwriter__start_object(ctx, pjson));
  QK_TRY(ctx, QK_jsonwriter__write_pair__int64(ctx, pjson, "len", len));
  QK_TRY(ctx, QK_jsonwriter__write_pair__string(ctx, pjson, "sha1", sha1));
  if (len <= AUDIT_MAX_HEX_LEN) QK_TRY(ctx, QK_jsonwriter__write_pair__string(ctx, pjson, "hex", hex));
  QK_TRY(ctx, QK_jsonwriter__end_object(ctx, pjson));
done:;
}

void tav_audit__row_json(QK_context *ctx, const QK_vhash *row, QK_string *pOut) {
  QK_jsonwriter *pjson = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, row);
  QK_ARG_NOT_NULL(ctx, pOut);
  QK_TRY(ctx, QK_jsonwriter__alloc(ctx, &pjson, pOut));
  QK_TRY(ctx, QK_jsonwriter__start_object(ctx, pjson));
  QK_TRY(ctx, QK_vhash__count(ctx, row, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *name = NULL;
    QK_variant *pValue = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, row, i, &name, &pValue));
    if (pValue->type == QK_VARIANT_TYPE_VHASH)
      QK_TRY(ctx, write_blob(ctx, pjson, name, pValue->u.pvh));
    else
      QK_TRY(ctx, QK_jsonwriter__write_pair__variant(ctx, pjson, name, pValue));
  }
  QK_TRY(ctx, QK_jsonwriter__end_object(ctx, pjson));
done:
  QK_RELEASE(ctx, QK_jsonwriter__free(ctx, pjson));
}

/* A new string with the row JSON, or NULL for no row. */
static void row_json_or_null(QK_context *ctx, const QK_vhash *row, QK_string **ppJson) {
  *ppJson = NULL;
  if (row == NULL) return;
  QK_TRY(ctx, QK_string__alloc(ctx, ppJson));
  QK_TRY(ctx, tav_audit__row_json(ctx, row, *ppJson));
done:;
}

static void bind_text_or_null(QK_context *ctx, sqlite3_stmt *pStmt, int index, const char *text) {
  if (text == NULL)
    QK_TRY(ctx, QK_sqlite__bind_null(ctx, pStmt, index));
  else
    QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, index, text));
done:;
}

static void write_row(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                      const QK_uint8 *rid, const char *ancestor_json, const char *already_json,
                      const char *incoming_json, const char *result) {
  sqlite3_stmt *pStmt = NULL;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, rid);
  QK_TRY(ctx, QK_sqlite__prepare_cached(ctx, pCache, db, &pStmt, "%s", TAV_PKG_AUDIT_TABLE_SQL));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
  QK_TRY(ctx, QK_sqlite__release_cached(ctx, pCache, &pStmt));
  QK_TRY(ctx, QK_sqlite__prepare_cached(ctx, pCache, db, &pStmt, "%s", AUDIT_INSERT_SQL));
  QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 1, rid));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 2, 0));
  QK_TRY(ctx, bind_text_or_null(ctx, pStmt, 3, tbl_id));
  QK_TRY(ctx, bind_text_or_null(ctx, pStmt, 4, ancestor_json));
  QK_TRY(ctx, bind_text_or_null(ctx, pStmt, 5, already_json));
  QK_TRY(ctx, bind_text_or_null(ctx, pStmt, 6, incoming_json));
  QK_TRY(ctx, bind_text_or_null(ctx, pStmt, 7, result));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
done:
  QK_RELEASE(ctx, QK_sqlite__release_cached(ctx, pCache, &pStmt));
}

void tav_audit__add_row(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid,
                        const QK_vhash *already, const QK_vhash *incoming, const QK_vhash *ancestor,
                        const QK_vhash *final) {
  QK_TRY(ctx, tav_audit__add_row__cached(ctx, NULL, db, tbl_id, rid, already, incoming, ancestor, final));
done:;
}

void tav_audit__add_row__cached(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                                const QK_uint8 *rid, const QK_vhash *already, const QK_vhash *incoming,
                                const QK_vhash *ancestor, const QK_vhash *final) {
  QK_string *pAncestor = NULL;
  QK_string *pAlready = NULL;
  QK_string *pIncoming = NULL;
  QK_string *pFinal = NULL;
  const char *result = NULL;
  QK_TRY(ctx, row_json_or_null(ctx, ancestor, &pAncestor));
  QK_TRY(ctx, row_json_or_null(ctx, already, &pAlready));
  QK_TRY(ctx, row_json_or_null(ctx, incoming, &pIncoming));
  if (final == already) {
    result = "ignore";
  } else if (final == incoming) {
    result = "accept";
  } else {
    QK_TRY(ctx, row_json_or_null(ctx, final, &pFinal));
    result = QK_string__sz(pFinal);
  }
  QK_TRY(ctx, write_row(ctx, pCache, db, tbl_id, rid, pAncestor ? QK_string__sz(pAncestor) : NULL,
                        pAlready ? QK_string__sz(pAlready) : NULL, pIncoming ? QK_string__sz(pIncoming) : NULL,
                        result));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pAncestor));
  QK_RELEASE(ctx, QK_string__free(ctx, pAlready));
  QK_RELEASE(ctx, QK_string__free(ctx, pIncoming));
  QK_RELEASE(ctx, QK_string__free(ctx, pFinal));
}

void tav_audit__write_row(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid,
                          const char *ancestor_json, const char *already_json, const char *incoming_json,
                          const char *result) {
  QK_TRY(ctx, write_row(ctx, NULL, db, tbl_id, rid, ancestor_json, already_json, incoming_json, result));
done:;
}

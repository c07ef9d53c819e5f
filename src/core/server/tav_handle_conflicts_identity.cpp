/* Identity-key mapping of a pushed package. */
#include "server/tav_handle_conflicts_identity.h"

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts.h"

static const char HAS_CLIENT_MAP_SQL[] =
    "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE type='table' AND name='p$ipk')";
static const char HAS_ROWS_SQL[] = "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE type='table' AND name = 'p$u$%s')";
static const char HAS_MAP_SQL[] = "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE type='table' AND name = 'p$ipk$%s')";
static const char CREATE_MAP_SQL[] = "CREATE TABLE \"p$ipk$%s\" (z$$naked INTEGER PRIMARY KEY, z$$decorated TEXT)";
static const char UNDECORATE_CLIENT_SQL[] =
    "UPDATE \"p$u$%s\" SET \"%s\" = CAST(SUBSTR(\"%s\",3) AS INTEGER) WHERE SUBSTR(\"%s\",1,2) = 'C:';";
static const char SOURCE_CLIENT_MAP_SQL[] = "SELECT rid, ipk FROM p$ipk WHERE tbl = '%s' ORDER BY ipk ASC";
static const char SOURCE_ROWS_SQL[] = "SELECT z_rid, \"%s\" FROM \"p$u$%s\" ORDER BY \"%s\" ASC";
static const char SOURCE_NONE_SQL[] = "SELECT NULL, NULL WHERE 0";
static const char SOURCE_GEN_ROWS_SQL[] =
    "SELECT z_rid, \"%s\" FROM \"p$u$%s\" WHERE typeof(\"%s\") = 'integer' ORDER BY \"%s\" ASC";
static const char INSERT_MAP_SQL[] = "INSERT OR REPLACE INTO \"p$ipk$%s\" (z$$naked, z$$decorated) VALUES (?, ?)";
static const char DECORATE_SQL[] =
    "UPDATE \"p$u$%s\" SET \"%s\" = COALESCE(\n"
    "  (SELECT ipk.z$$decorated FROM \"p$ipk$%s\" AS ipk WHERE (ipk.z$$naked = \"p$u$%s\".\"%s\")),\n"
    "  CASE WHEN typeof(\"p$u$%s\".\"%s\") = 'integer' THEN ('S:' || \"p$u$%s\".\"%s\") ELSE \"p$u$%s\".\"%s\" END\n"
    ");";

/* Fills the identity table's map: client value -> decorated text. */
static void map_identity_table(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                               QK_int64 fid, sqlite3 *db, int pv, int bClientMap, const char *tbl_id) {
  const char *col_id = NULL;
  const char *col = NULL;
  sqlite3_stmt *pSource = NULL;
  sqlite3_stmt *pInsert = NULL;
  int bRows = 0, bMapExists = 0;
  QK_TRY(ctx, tav_defin__get_rowid_column(ctx, defin, tbl_id, &col_id));
  if (col_id == NULL) goto done;
  QK_TRY(ctx, tav_defin__get_column_name(ctx, defin, tbl_id, col_id, &col));
  QK_TRY(ctx, QK_sqlite__one_bool(ctx, db, &bRows, HAS_ROWS_SQL, tbl_id));
  QK_TRY(ctx, QK_sqlite__one_bool(ctx, db, &bMapExists, HAS_MAP_SQL, tbl_id));
  if (!bMapExists)
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, CREATE_MAP_SQL, tbl_id));
  else if (bRows)
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, UNDECORATE_CLIENT_SQL, tbl_id, col, col, col));

  if (pv == 6) {
    if (!bRows) goto done;
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pSource, SOURCE_GEN_ROWS_SQL, col, tbl_id, col, col));
  } else if (bClientMap) {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pSource, SOURCE_CLIENT_MAP_SQL, tbl_id));
  } else if (bRows) {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pSource, SOURCE_ROWS_SQL, col, tbl_id, col));
  } else {
    QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pSource, "%s", SOURCE_NONE_SQL));
  }
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pInsert, INSERT_MAP_SQL, tbl_id));
  QK_TRY(ctx, ops->lookup_identity_pk(ctx, h, defin, bClientMap ? 0 : fid, tbl_id, pSource, pInsert));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pSource));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pInsert));
}

/* Rewrites the table's identity columns and the columns referring to one. */
static void decorate_table(QK_context *ctx, tav_defin *defin, sqlite3 *db, const char *tbl_id, int bSecondPass) {
  QK_vhash *pPkgColumns = NULL;
  QK_uint32 count = 0;
  QK_TRY(ctx, tav_pkg__get_table_columns(ctx, db, tbl_id, &pPkgColumns));
  QK_TRY(ctx, tav_defin__count_columns(ctx, defin, tbl_id, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *col_id = NULL;
    const char *col = NULL;
    const char *identity_tbl = NULL;
    int bHas = 0;
    QK_TRY(ctx, tav_defin__get_column_id_at(ctx, defin, tbl_id, (int)i, &col_id));
    QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, defin, tbl_id, col_id, &identity_tbl, NULL));
    if (identity_tbl == NULL) continue;
    QK_TRY(ctx, tav_defin__get_column_name(ctx, defin, tbl_id, col_id, &col));
    QK_TRY(ctx, QK_vhash__has(ctx, pPkgColumns, col, &bHas));
    if (!bHas) continue;
    if (bSecondPass) QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, UNDECORATE_CLIENT_SQL, tbl_id, col, col, col));
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, DECORATE_SQL, tbl_id, col, identity_tbl, tbl_id, col, tbl_id, col,
                                       tbl_id, col, tbl_id, col));
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pPkgColumns));
}

void tav_push__map_identity_keys(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                 QK_int64 fid, sqlite3 *db, int pv, int *pbRefused) {
  QK_uint32 count = 0;
  int bClientMap = 1;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, db);
  if (pv != 6) {
    QK_TRY(ctx, QK_sqlite__one_bool(ctx, db, &bClientMap, "%s", HAS_CLIENT_MAP_SQL));
    if (!bClientMap && pbRefused != NULL) {
      int action = 0;
      QK_TRY(ctx, ops->get_dbfile_rule(ctx, h, TAV_DBFILE_SITUATION_NO_IDENTITY_MAP, &action, NULL));
      if (action == 6) {
        *pbRefused = 1;
        goto done;
      }
    }
  }
  QK_TRY(ctx, tav_defin__count_tables(ctx, defin, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *tbl_id = NULL;
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, defin, (int)i, &tbl_id));
    QK_TRY(ctx, map_identity_table(ctx, ops, h, defin, fid, db, pv, bClientMap, tbl_id));
  }
  for (QK_uint32 i = 0; i < count; i++) {
    const char *tbl_id = NULL;
    int bRows = 0;
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, defin, (int)i, &tbl_id));
    QK_TRY(ctx, QK_sqlite__one_bool(ctx, db, &bRows, HAS_ROWS_SQL, tbl_id));
    if (bRows) QK_TRY(ctx, decorate_table(ctx, defin, db, tbl_id, pbRefused == NULL));
  }
done:;
}

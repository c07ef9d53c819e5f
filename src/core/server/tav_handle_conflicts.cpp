/* Package files: creating, naming, closing and deleting them, the generation squash of a
 * pushed package, and reading package rows as documents. */
#include "server/tav_handle_conflicts.h"

#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "common/tav_sql_quote.h"
#include "common/tav_utils.h"
#include "qk/qk_fsobj.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qk/qkhash.h"
#include "qksqlite/qk_sqlite.h"

#define SQLITE_ERROR_VALUE(rc) QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, (rc))

/* Every package is written with this page size, whatever the library's default. */
#define TAV_PKG_PAGE_SIZE 4096
/* Longest table name (with its NUL) that tav_pkg__table_exists looks up. */
#define TAV_PKG_TABLE_NAME_SIZE 64

/* ---- Layout ---- */

const char TAV_PKG_TX_TABLE_SQL[] =
    "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER)";
const char TAV_PKG_TX_ADD_GENERATION_SQL[] = "ALTER TABLE p$tx ADD COLUMN generation INTEGER";
const char TAV_PKG_GEN_TABLE_SQL[] = "CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER)";
const char TAV_PKG_SCHEMA_TABLE_SQL[] =
    "CREATE TABLE \"p$s\"   (     \"txid\" INTEGER NOT NULL,     \"json\" TEXT NOT NULL   )";
const char TAV_PKG_AUDIT_TABLE_SQL[] =
    "CREATE TABLE IF NOT EXISTS p$audit(rid BLOB NOT NULL,txid INTEGER NOT NULL,tbl TEXT, ancestor TEXT, "
    "already TEXT, incoming TEXT, result TEXT)";
const char TAV_PKG_TABLE_EXISTS_SQL[] = "SELECT tbl_name FROM sqlite_master WHERE type='table' and tbl_name=? LIMIT 1";

static const char TX_HEADER_ROW_SQL[] = "INSERT INTO p$tx (txid,scheme,rstamp,rebaseid) VALUES (0,%d,NULL,0)";
static const char GEN_HEADER_ROW_SQL[] = "INSERT INTO p$gen (generation,id) VALUES (0,'{\"pv\":%d}')";
static const char ROWS_TX_TABLE_SQL[] = "CREATE TABLE \"p$u$%s\"  (    z_rid BLOB,    z_txid INTEGER  )";
static const char ROWS_TX_ADD_COLUMN_SQL[] = "ALTER TABLE \"p$u$%s\" ADD COLUMN ";
static const char ROWS_GEN_TABLE_SQL[] = "CREATE TABLE \"p$u$%s\" (z_rid BLOB, z_gen_del INT, z_gen_add INT%s)";
static const char ROW_DELTAS_TABLE_SQL[] =
    "CREATE TABLE \"p$rd$%s\"   (     rid BLOB NOT NULL,     txid_rec_add INTEGER NULL,     txid_rec_del INTEGER "
    "NULL,     txid INTEGER NOT NULL   )";
static const char ROW_VERSIONS_TABLE_SQL[] = "CREATE TABLE \"p$rv$%s\" (rid BLOB NOT NULL, txid INTEGER NOT NULL)";
static const char IDENTITY_MAP_TABLE_SQL[] =
    "CREATE TABLE \"p$ipk$%s\" (z$$naked INTEGER PRIMARY KEY, z$$decorated TEXT)";

/* The table's prepared column names, in the schema's order, each as separator + "name". */
static void append_column_names(QK_context *ctx, tav_defin *defin, const char *tbl_id, const char *separator,
                                QK_string *pOut) {
  QK_uint32 count = 0;
  QK_TRY(ctx, tav_defin__count_columns(ctx, defin, tbl_id, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *col_id = NULL;
    const char *col_name = NULL;
    QK_TRY(ctx, tav_defin__get_column_id_at(ctx, defin, tbl_id, (int)i, &col_id));
    QK_TRY(ctx, tav_defin__get_column_name(ctx, defin, tbl_id, col_id, &col_name));
    QK_TRY(ctx, QK_string__append__sz(ctx, pOut, separator));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pOut, col_name));
  }
done:;
}

/* The transaction form adds its user columns one by one, as clients of every version did. */
static void create_rows_table_tx_form(QK_context *ctx, sqlite3 *db, tav_defin *defin, const char *tbl_id) {
  QK_string *pAlter = NULL;
  QK_uint32 count = 0;
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, ROWS_TX_TABLE_SQL, tbl_id));
  QK_TRY(ctx, tav_defin__count_columns(ctx, defin, tbl_id, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *col_id = NULL;
    const char *col_name = NULL;
    QK_TRY(ctx, tav_defin__get_column_id_at(ctx, defin, tbl_id, (int)i, &col_id));
    QK_TRY(ctx, tav_defin__get_column_name(ctx, defin, tbl_id, col_id, &col_name));
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pAlter, ROWS_TX_ADD_COLUMN_SQL, tbl_id));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pAlter, col_name));
    QK_TRY(ctx, QK_sqlite__exec(ctx, db, QK_string__sz(pAlter)));
    QK_string__free(ctx, pAlter);
    pAlter = NULL;
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pAlter));
}

static void create_rows_table_gen_form(QK_context *ctx, sqlite3 *db, tav_defin *defin, const char *tbl_id) {
  QK_string *pColumns = NULL;
  QK_TRY(ctx, QK_string__alloc(ctx, &pColumns));
  QK_TRY(ctx, append_column_names(ctx, defin, tbl_id, ", ", pColumns));
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, ROWS_GEN_TABLE_SQL, tbl_id, QK_string__sz(pColumns)));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pColumns));
}

void tav_pkg__create_rows_table(QK_context *ctx, sqlite3 *db, tav_defin *defin, const char *tbl_id,
                                int pkg_version) {
  QK_ARG_VALID(ctx, pkg_version, is_valid_pkg_version(pkg_version));
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  if (pkg_version == 6)
    QK_TRY(ctx, create_rows_table_gen_form(ctx, db, defin, tbl_id));
  else
    QK_TRY(ctx, create_rows_table_tx_form(ctx, db, defin, tbl_id));
done:;
}

/* The per-table tables whose columns do not depend on the schema. */
static void create_table_for_id(QK_context *ctx, sqlite3 *db, const char *szFormat, const char *tbl_id) {
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, szFormat, tbl_id));
done:;
}

void tav_pkg__create_row_deltas_table(QK_context *ctx, sqlite3 *db, const char *tbl_id) {
  QK_TRY(ctx, create_table_for_id(ctx, db, ROW_DELTAS_TABLE_SQL, tbl_id));
done:;
}

void tav_pkg__create_row_versions_table(QK_context *ctx, sqlite3 *db, const char *tbl_id) {
  QK_TRY(ctx, create_table_for_id(ctx, db, ROW_VERSIONS_TABLE_SQL, tbl_id));
done:;
}

void tav_pkg__create_identity_map_table(QK_context *ctx, sqlite3 *db, const char *tbl_id) {
  QK_TRY(ctx, create_table_for_id(ctx, db, IDENTITY_MAP_TABLE_SQL, tbl_id));
done:;
}

/* ---- Package files ---- */

void tav_pkg__new_temp_path(QK_context *ctx, const char *dir, tav_pkg *pkg) {
  char name[QK_SQLITE_RANDOM_NAME_SIZE];
  QK_ARG_NOT_NULL(ctx, dir);
  QK_ARG_NOT_NULL(ctx, pkg);
  QK_TRY(ctx, tav_pkg__close(ctx, pkg));
  QK_sqlite__random_name(name, sizeof name);
  QK_TRY(ctx, QK_pathname__append(ctx, &pkg->path, dir, name));
done:;
}

void tav_pkg__create(QK_context *ctx, const char *dir, int pkg_version, tav_pkg *pkg) {
  QK_ARG_VALID(ctx, pkg_version, is_valid_pkg_version(pkg_version));
  QK_ARG_NOT_NULL(ctx, dir);
  QK_ARG_NOT_NULL(ctx, pkg);
  QK_TRY(ctx, tav_pkg__new_temp_path(ctx, dir, pkg));
  QK_TRY(ctx, QK_sqlite__create_new_db(ctx, pkg->path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &pkg->db));
  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pkg->db, "PRAGMA page_size=%d", TAV_PKG_PAGE_SIZE));
  /* A package is a work file of one request, compressed and deleted or just deleted before the
   * request ends: it needs no sync to disk and no journal file beside it, whose costs many
   * requests at once would otherwise pay on every commit. */
  QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "PRAGMA synchronous=OFF"));
  QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "PRAGMA journal_mode=MEMORY"));
  QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "BEGIN TRANSACTION"));
  if (pkg_version == 6) {
    QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, TAV_PKG_GEN_TABLE_SQL));
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pkg->db, GEN_HEADER_ROW_SQL, pkg_version));
  } else {
    QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, TAV_PKG_TX_TABLE_SQL));
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, pkg->db, TX_HEADER_ROW_SQL, pkg_version));
  }
done:;
}

/* One step of tav_pkg__close: the first failure is reported with its frame; once one has
 * failed, the later steps run with their errors set aside so the handle still ends empty. */
#define CLOSE_STEP(ctx, call)                                          \
  do {                                                                 \
    if (QK_context__has_error(ctx)) {                                  \
      QK_RELEASE(ctx, call);                                           \
    } else {                                                           \
      call;                                                            \
      if (QK_context__has_error(ctx)) QK_context__add_frame(ctx, __FILE__, __LINE__); \
    }                                                                  \
  } while (0)

/* The files SQLite keeps beside a database: a journal stays behind when a write fails (a full
 * temp directory), and must go with the package. */
static const char *const PKG_SIDE_FILE_SUFFIXES[] = {"-journal", "-wal", "-shm"};

static void remove_side_files(QK_context *ctx, const char *pszPath) {
  char *pszSide = NULL;
  for (size_t i = 0; i < sizeof PKG_SIDE_FILE_SUFFIXES / sizeof PKG_SIDE_FILE_SUFFIXES[0]; i++) {
    int bExists = 0;
    QK_free(ctx, pszSide);
    pszSide = NULL;
    QK_TRY(ctx, QK_string__format_to_sz(ctx, &pszSide, "%s%s", pszPath, PKG_SIDE_FILE_SUFFIXES[i]));
    QK_TRY(ctx, QK_fsobj__exists(ctx, pszSide, &bExists, NULL, NULL));
    if (bExists) QK_TRY(ctx, QK_fsobj__remove_file(ctx, pszSide));
  }
done:
  QK_free(ctx, pszSide);
}

void tav_pkg__close(QK_context *ctx, tav_pkg *pkg) {
  if (pkg == NULL) return;
  if (pkg->db != NULL) {
    /* A committed or never-begun transaction has nothing to roll back: not an error. */
    QK_RELEASE(ctx, QK_sqlite__exec(ctx, pkg->db, "ROLLBACK TRANSACTION"));
    CLOSE_STEP(ctx, QK_sqlite__close(ctx, &pkg->db));
    if (pkg->db != NULL) {
      /* Statements a caller left open keep the connection busy; it goes once they are
       * finalized, and the handle must not keep a pointer to it. */
      sqlite3_close_v2(pkg->db);
      pkg->db = NULL;
    }
  }
  if (pkg->file != NULL) CLOSE_STEP(ctx, QK_file__close(ctx, &pkg->file));
  if (pkg->path != NULL) {
    CLOSE_STEP(ctx, QK_fsobj__remove_file(ctx, pkg->path));
    CLOSE_STEP(ctx, remove_side_files(ctx, pkg->path));
    QK_free(ctx, pkg->path);
    pkg->path = NULL;
  }
}

/* ---- Generation squash ---- */

static const char ROWS_TABLES_SQL[] =
    "SELECT substr(name, 5) FROM sqlite_master WHERE type='table' AND substr(name, 1, 4)=='p$u$'";
static const char SQUASH_INDEX_SQL[] = "CREATE INDEX IF NOT EXISTS \"ndx$rid$%s\" ON \"p$u$%s\" (z_rid)";
/* Input the squash cannot fold correctly: two versions of one row id in one generation. */
static const char SQUASH_DUPLICATES_SQL[] =
    "SELECT count(*) FROM (SELECT 1 FROM \"p$u$%s\" WHERE z_rid IS NOT NULL AND z_gen_add BETWEEN %lld AND %lld "
    "GROUP BY z_rid, z_gen_add HAVING count(*) > 1)";
/* The fold of every row id of the range table at once (each statement touches the versions of
 * the row ids it joins, so running each over all of them in turn folds each row id as the three
 * steps in a row would): the versions other than the latest of the range go, the latest takes
 * the earliest's predecessor and the target generation, and later versions that named the
 * latest name the target generation. */
static const char SQUASH_DELETE_SQL[] =
    "DELETE FROM \"p$u$%s\" WHERE rowid IN (SELECT u.rowid FROM %s AS r INNER JOIN \"p$u$%s\" AS u ON u.z_rid = r.rid "
    "WHERE u.z_gen_add BETWEEN ?1 AND ?2 AND u.z_gen_add <> r.tmp_gen_add)";
static const char SQUASH_MOVE_SURVIVOR_SQL[] =
    "UPDATE \"p$u$%s\" AS u SET z_gen_del = r.gen_del, z_gen_add = ?1 FROM %s AS r "
    "WHERE u.z_rid = r.rid AND u.z_gen_add = r.tmp_gen_add";
static const char SQUASH_REPOINT_LATER_SQL[] =
    "UPDATE \"p$u$%s\" AS u SET z_gen_del = ?1 FROM %s AS r WHERE u.z_rid = r.rid AND u.z_gen_del = r.tmp_gen_add";
static const char SQUASH_RANGE_TABLE_SQL[] =
    "CREATE TEMPORARY TABLE %s AS SELECT\n"
    "  u0.rid AS rid,\n"
    "  u0.gen_del AS gen_del,\n"
    "  u1.gen_add AS tmp_gen_add\n"
    "FROM\n"
    "  (SELECT z_rid AS rid, z_gen_del AS gen_del, MIN(z_gen_add) FROM \"p$u$%s\" WHERE z_gen_add BETWEEN ? AND ? "
    "GROUP BY z_rid) AS u0\n"
    "  INNER JOIN\n"
    "  (SELECT z_rid AS rid, MAX(z_gen_add) AS gen_add FROM \"p$u$%s\" WHERE z_gen_add BETWEEN ? AND ? GROUP BY "
    "z_rid) AS u1\n"
    "  ON u1.rid = u0.rid\n";
static const char SQUASH_DROP_CREATED_AND_DELETED_SQL[] =
    "DELETE FROM \"p$u$%s\" WHERE z_gen_del IS NULL AND z_gen_add = ? AND %s IS NULL;\n";
static const char SQUASH_SET_TXID_SQL[] = "UPDATE \"p$u$%s\" SET z_txid = z_gen_add WHERE z_gen_add = ?;\n";

/* Runs a statement with one bound int64 and no result rows. */
static void exec_with_int64(QK_context *ctx, sqlite3 *db, QK_int64 value, const char *szFormat, const char *tbl_id,
                            const char *extra) {
  sqlite3_stmt *pStmt = NULL;
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, szFormat, tbl_id, extra));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 1, value));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

void tav_pkg__squash_table_generations(QK_context *ctx, tav_defin *defin, sqlite3 *db, const char *tbl_id,
                                       QK_int64 gen_from, QK_int64 gen_to, QK_int64 gen_into, int set_txid) {
  sqlite3_stmt *pCreateRange = NULL;
  sqlite3_stmt *pDelete = NULL;
  QK_string *pKeyName = NULL;
  const char *key_col_name = NULL;
  char range_table[QK_SQLITE_RANDOM_NAME_SIZE];
  QK_int64 duplicates = 0;
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, tbl_id);

  QK_TRY(ctx, tav_defin__get_key_column_at(ctx, defin, tbl_id, 0, NULL, &key_col_name));
  QK_TRY(ctx, QK_string__alloc(ctx, &pKeyName));
  QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pKeyName, key_col_name));

  QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, SQUASH_INDEX_SQL, tbl_id, tbl_id));
  /* The fold keeps the earliest and the latest version per row id; with two versions in
   * one generation it cannot tell them apart and would leave both behind. Every row it folds
   * came in the client's package: such a package is refused. */
  QK_TRY(ctx, QK_sqlite__one_int64(ctx, db, &duplicates, SQUASH_DUPLICATES_SQL, tbl_id, (long long)gen_from,
                                   (long long)gen_to));
  if (duplicates != 0)
    QK_THROW_FMT(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400),
                 "Malformed package: table p$u$%s holds more than one version of a row in one generation "
                 "between %lld and %lld",
                 tbl_id, (long long)gen_from, (long long)gen_to);

  QK_sqlite__random_name(range_table, sizeof range_table);
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pCreateRange, SQUASH_RANGE_TABLE_SQL, range_table, tbl_id, tbl_id));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pCreateRange, 1, gen_from));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pCreateRange, 2, gen_to));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pCreateRange, 3, gen_from));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pCreateRange, 4, gen_to));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pCreateRange, SQLITE_DONE));

  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pDelete, SQUASH_DELETE_SQL, tbl_id, range_table, tbl_id));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pDelete, 1, gen_from));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pDelete, 2, gen_to));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pDelete, SQLITE_DONE));
  QK_TRY(ctx, exec_with_int64(ctx, db, gen_into, SQUASH_MOVE_SURVIVOR_SQL, tbl_id, range_table));
  QK_TRY(ctx, exec_with_int64(ctx, db, gen_into, SQUASH_REPOINT_LATER_SQL, tbl_id, range_table));

  QK_TRY(ctx, exec_with_int64(ctx, db, gen_into, SQUASH_DROP_CREATED_AND_DELETED_SQL, tbl_id,
                              QK_string__sz(pKeyName)));
  if (set_txid) QK_TRY(ctx, exec_with_int64(ctx, db, gen_into, SQUASH_SET_TXID_SQL, tbl_id, NULL));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pCreateRange));
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pDelete));
  QK_RELEASE(ctx, QK_string__free(ctx, pKeyName));
}

/* The table ids of the package's p$u$ tables, read to the end before any table changes. */
static void list_rows_tables(QK_context *ctx, sqlite3 *db, QK_varray **ppIds) {
  sqlite3_stmt *pStmt = NULL;
  QK_varray *pIds = NULL;
  int bRow = 0;
  QK_TRY(ctx, QK_varray__alloc(ctx, &pIds));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "%s", ROWS_TABLES_SQL));
  for (;;) {
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_varray__append__string(ctx, pIds, (const char *)sqlite3_column_text(pStmt, 0)));
  }
  *ppIds = pIds;
  pIds = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_varray__free(ctx, pIds));
}

void tav_pkg__squash_generations(QK_context *ctx, tav_defin *defin, sqlite3 *db, int set_txid, QK_int64 gen_from,
                                 QK_int64 gen_to, QK_int64 gen_into) {
  QK_varray *pIds = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, db);
  QK_TRY(ctx, list_rows_tables(ctx, db, &pIds));
  QK_TRY(ctx, QK_varray__count(ctx, pIds, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *tbl_id = NULL;
    int bKnown = 0;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pIds, i, &tbl_id));
    /* A table the server does not synchronise is no row of its: the schema adaptation drops it
     * when the client's schema names it, and the push refuses it otherwise. */
    QK_TRY(ctx, tav_defin__has_table(ctx, defin, tbl_id, &bKnown));
    if (!bKnown) continue;
    QK_TRY(ctx, tav_pkg__squash_table_generations(ctx, defin, db, tbl_id, gen_from, gen_to, gen_into, set_txid));
  }
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pIds));
}

void tav_pkg__fold_pushed_timeline(QK_context *ctx, tav_defin *defin, sqlite3 *db) {
  /* The base holds the client's pushes the server knows; every generation above 0 still in
   * the package came to the client after them (it is rolled back on the server). The squash
   * orders versions by generation number, which would rank the base after those generations
   * and keep its older values: one range starting at the base ranks it first. */
  QK_TRY(ctx, tav_pkg__squash_generations(ctx, defin, db, 1, TAV_PKG_GEN_MARKER, TAV_PKG_GEN_LAST_CLIENT,
                                          TAV_PKG_GEN_MARKER));
done:;
}

/* ---- Row readers ---- */

/* {"len", "sha1", "hex"} of a blob, in that order, under the column name. */
static void add_blob_object(QK_context *ctx, QK_vhash *pRow, const char *name, const void *pBytes, QK_uint32 len) {
  QK_vhash *pBlob = NULL;
  char sha1[QK_SHA1_SZ_SIZE];
  char *hex = NULL;
  /* SQLite hands out no pointer for an empty blob. */
  if (pBytes == NULL) pBytes = "";
  QK_TRY(ctx, QK_malloc(ctx, len * 2 + 1, &hex));
  QK_hex__encode_buflen(hex, pBytes, len);
  QK_TRY(ctx, tav_sha1__buffer(ctx, pBytes, len, sha1));
  QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pRow, name, &pBlob));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pBlob, "len", len));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pBlob, "sha1", sha1));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pBlob, "hex", hex));
done:
  QK_free(ctx, hex);
}

void tav_pkg__row_to_vhash(QK_context *ctx, sqlite3_stmt *stmt, QK_vhash **ppRow) {
  QK_vhash *pRow = NULL;
  int count;
  QK_ARG_NOT_NULL(ctx, stmt);
  QK_ARG_NOT_NULL(ctx, ppRow);
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pRow));
  count = sqlite3_column_count(stmt);
  for (int i = 0; i < count; i++) {
    int type = sqlite3_column_type(stmt, i);
    const char *name = sqlite3_column_name(stmt, i);
    if (type == SQLITE_NULL || tav_pkg__is_internal_column(name)) continue;
    switch (type) {
      case SQLITE_INTEGER:
        QK_TRY(ctx, QK_vhash__add__int64(ctx, pRow, name, sqlite3_column_int64(stmt, i)));
        break;
      case SQLITE_FLOAT:
        QK_TRY(ctx, QK_vhash__add__double(ctx, pRow, name, sqlite3_column_double(stmt, i)));
        break;
      case SQLITE_TEXT:
        QK_TRY(ctx, QK_vhash__add__text(ctx, pRow, name, (const char *)sqlite3_column_text(stmt, i),
                                        (QK_uint32)sqlite3_column_bytes(stmt, i)));
        break;
      case SQLITE_BLOB: {
        const void *pBytes = sqlite3_column_blob(stmt, i);
        QK_TRY(ctx, add_blob_object(ctx, pRow, name, pBytes, (QK_uint32)sqlite3_column_bytes(stmt, i)));
        break;
      }
      default:
        QK_THROW(ctx, QK_ERR_NOT_IMPLEMENTED);
    }
  }
  QK_TRY(ctx, QK_vhash__sort(ctx, pRow, 0, QK_vhash__compare_keys_ascending));
  *ppRow = pRow;
  pRow = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pRow));
}

void tav_pkg__get_row_by_rowid(QK_context *ctx, sqlite3 *db, const char *tbl_id, QK_int64 rowid, QK_vhash **ppRow) {
  QK_TRY(ctx, tav_pkg__get_row_by_rowid__cached(ctx, NULL, db, tbl_id, rowid, ppRow));
done:;
}

void tav_pkg__get_row_by_rowid__cached(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                                       QK_int64 rowid, QK_vhash **ppRow) {
  sqlite3_stmt *pStmt = NULL;
  QK_vhash *pRow = NULL;
  int rc;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  QK_ARG_NOT_NULL(ctx, ppRow);
  QK_TRY(ctx, QK_sqlite__prepare_cached(ctx, pCache, db, &pStmt, "SELECT * FROM %s.%s%s WHERE _ROWID_=?", "main",
                                        TAV_PKG_ROWS_PREFIX, tbl_id));
  QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, 1, rowid));
  rc = sqlite3_step(pStmt);
  if (rc == SQLITE_ROW)
    QK_TRY(ctx, tav_pkg__row_to_vhash(ctx, pStmt, &pRow));
  else if (rc != SQLITE_DONE)
    QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(db));
  *ppRow = pRow;
  pRow = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__release_cached(ctx, pCache, &pStmt));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pRow));
}

void tav_pkg__table_exists(QK_context *ctx, sqlite3_stmt *stmt, const char *prefix, const char *name, int *pbExists) {
  char table[TAV_PKG_TABLE_NAME_SIZE];
  int rc;
  QK_ARG_NOT_NULL(ctx, stmt);
  QK_ARG_NOT_NULL(ctx, prefix);
  QK_ARG_NOT_NULL(ctx, name);
  QK_ARG_NOT_NULL(ctx, pbExists);
  QK_TRY(ctx, QK_sprintf_buf(ctx, table, sizeof table, "%s%s", prefix, name));
  QK_TRY(ctx, QK_sqlite__reset(ctx, stmt));
  QK_TRY(ctx, QK_sqlite__clear_bindings(ctx, stmt));
  /* Copied: the statement outlives this buffer. */
  rc = sqlite3_bind_text(stmt, 1, table, -1, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(sqlite3_db_handle(stmt)));
  rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    QK_TRY(ctx, QK_sqlite__step_expect(ctx, stmt, SQLITE_DONE));
    *pbExists = 1;
  } else if (rc == SQLITE_DONE) {
    *pbExists = 0;
  } else {
    QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(sqlite3_db_handle(stmt)));
  }
done:;
}

void tav_pkg__prepare_key_select(QK_context *ctx, sqlite3 *db, tav_defin *defin, const char *tbl_id,
                                 const QK_uint8 *rid, sqlite3_stmt **ppStmt) {
  QK_string *pKeys = NULL;
  sqlite3_stmt *pStmt = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, defin);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  QK_ARG_NOT_NULL(ctx, rid);
  QK_ARG_NOT_NULL(ctx, ppStmt);
  QK_TRY(ctx, QK_string__alloc(ctx, &pKeys));
  QK_TRY(ctx, tav_defin__count_key_columns(ctx, defin, tbl_id, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *col_name = NULL;
    QK_TRY(ctx, tav_defin__get_key_column_at(ctx, defin, tbl_id, (int)i, NULL, &col_name));
    if (i > 0) QK_TRY(ctx, QK_string__append__sz(ctx, pKeys, ", "));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pKeys, col_name));
  }
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "SELECT %s FROM \"p$u$%s\" WHERE z_rid=? LIMIT 1",
                                        QK_string__sz(pKeys), tbl_id));
  QK_TRY(ctx, QK_sqlite__bind_guid(ctx, pStmt, 1, rid));
  *ppStmt = pStmt;
  pStmt = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pKeys));
}

void tav_pkg__get_table_columns(QK_context *ctx, sqlite3 *db, const char *tbl_id, QK_vhash **ppColumns) {
  sqlite3_stmt *pStmt = NULL;
  QK_vhash *pColumns = NULL;
  int rc;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  QK_ARG_NOT_NULL(ctx, ppColumns);
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pColumns));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, db, &pStmt, "PRAGMA %s.table_info(\"%s%s\")", "main",
                                        TAV_PKG_ROWS_PREFIX, tbl_id));
  while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW) {
    const char *name = (const char *)sqlite3_column_text(pStmt, 1);
    if (!tav_pkg__is_internal_column(name)) QK_TRY(ctx, QK_vhash__add__null(ctx, pColumns, name));
  }
  if (rc != SQLITE_DONE) QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(db));
  *ppColumns = pColumns;
  pColumns = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pColumns));
}

/* The native SQLite entry table. */
#include "znativesqlite/znativesqlite.h"

#include <stdint.h>

#include "qk/qk_context.h"
#include "qk/qk_file.h"
#include "qk/qk_fsobj.h"

/* Blobs and files move in pieces of this size. */
#define ZNATIVESQLITE_PIECE 16384
/* Result of the composites for a failed file operation. */
#define ZNATIVESQLITE_FILE_ERROR 1

static int znativesqlite__bind_blob(sqlite3_stmt *stmt, int index, const void *data, int n) {
  return sqlite3_bind_blob(stmt, index, data, n, SQLITE_TRANSIENT);
}

static int znativesqlite__bind_text(sqlite3_stmt *stmt, int index, const char *text) {
  return sqlite3_bind_text(stmt, index, text, -1, SQLITE_TRANSIENT);
}

/* Scratch databases get the hardening of every connection the server opens. */
static int znativesqlite__open_v2(const char *path, sqlite3 **db, int flags) {
  int rc = sqlite3_open_v2(path, db, flags, NULL);
  if (rc == SQLITE_OK) rc = sqlite3_db_config(*db, SQLITE_DBCONFIG_DEFENSIVE, 1, (int *)NULL);
  if (rc == SQLITE_OK) rc = sqlite3_db_config(*db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, (int *)NULL);
  return rc;
}

static int znativesqlite__prepare_v2(sqlite3 *db, const char *sql, sqlite3_stmt **stmt) {
  return sqlite3_prepare_v2(db, sql, -1, stmt, NULL);
}

static int znativesqlite__bind_row_values(sqlite3_stmt *src, int first_col, sqlite3_stmt *dst, int param_offset,
                                          int count) {
  if (count < 0) count = sqlite3_column_count(src);
  for (int k = 0; k < count; k++) {
    int rc = sqlite3_bind_value(dst, param_offset + 1 + k, sqlite3_column_value(src, first_col + k));
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

static int znativesqlite__copy_rows(sqlite3_stmt *src, sqlite3_stmt *dst, int *src_rc, int *dst_rc) {
  int n = sqlite3_column_count(src);
  for (;;) {
    int rc = sqlite3_step(src);
    if (rc != SQLITE_ROW) {
      if (rc != SQLITE_DONE) *src_rc = rc;
      return rc;
    }
    rc = sqlite3_clear_bindings(dst);
    if (rc == SQLITE_OK) rc = znativesqlite__bind_row_values(src, 0, dst, 0, n);
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(dst);
      if (rc == SQLITE_DONE) rc = sqlite3_reset(dst);
      /* A failed step leaves its code in the reset as well; report the step's. */
      else sqlite3_reset(dst);
    }
    if (rc != SQLITE_OK) {
      *dst_rc = rc;
      return rc;
    }
  }
}

/* The file functions report into a context of their own: the table's callers have none. */
static int znativesqlite__blob_to_file(sqlite3 *db, const char *path, const char *table, const char *column,
                                       sqlite3_int64 rowid) {
  QK_context *ctx = NULL;
  QK_file *file = NULL;
  sqlite3_blob *blob = NULL;
  char piece[ZNATIVESQLITE_PIECE];
  int created = 0, rc, total, offset = 0;
  if (QK_context__alloc(&ctx) != QK_OK) return SQLITE_NOMEM;
  rc = sqlite3_blob_open(db, "main", table, column, rowid, 0, &blob);
  if (rc != SQLITE_OK) goto done;
  total = sqlite3_blob_bytes(blob);
  QK_file__open(ctx, path, QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0644, &file);
  if (QK_context__has_error(ctx)) {
    rc = ZNATIVESQLITE_FILE_ERROR;
    goto done;
  }
  created = 1;
  while (offset < total) {
    int n = total - offset < ZNATIVESQLITE_PIECE ? total - offset : ZNATIVESQLITE_PIECE;
    rc = sqlite3_blob_read(blob, piece, n, offset);
    if (rc != SQLITE_OK) goto done;
    QK_file__write(ctx, file, (QK_uint32)n, piece, NULL);
    if (QK_context__has_error(ctx)) {
      rc = ZNATIVESQLITE_FILE_ERROR;
      goto done;
    }
    offset += n;
  }
  QK_file__close(ctx, &file);
  if (QK_context__has_error(ctx)) rc = ZNATIVESQLITE_FILE_ERROR;
done:
  QK_RELEASE(ctx, QK_file__close(ctx, &file));
  /* A half-written file would pass for the blob; only a file made here is removed. */
  if (rc != SQLITE_OK && created) QK_RELEASE(ctx, QK_fsobj__remove_file(ctx, path));
  sqlite3_blob_close(blob);
  QK_context__free(ctx);
  return rc;
}

static int znativesqlite__file_to_blob(sqlite3 *db, const char *path, const char *table, const char *column,
                                       sqlite3_int64 rowid) {
  QK_context *ctx = NULL;
  QK_file *file = NULL;
  sqlite3_blob *blob = NULL;
  char piece[ZNATIVESQLITE_PIECE];
  QK_uint64 length = 0, offset = 0;
  int rc = ZNATIVESQLITE_FILE_ERROR;
  if (QK_context__alloc(&ctx) != QK_OK) return SQLITE_NOMEM;
  QK_fsobj__length(ctx, path, &length, NULL);
  if (QK_context__has_error(ctx)) goto done;
  rc = sqlite3_blob_open(db, "main", table, column, rowid, 1, &blob);
  if (rc != SQLITE_OK) goto done;
  /* Blob offsets are ints: a longer file cannot fit any blob. */
  if (length > INT32_MAX) {
    rc = SQLITE_TOOBIG;
    goto done;
  }
  QK_file__open(ctx, path, QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &file);
  if (QK_context__has_error(ctx)) {
    rc = ZNATIVESQLITE_FILE_ERROR;
    goto done;
  }
  while (offset < length) {
    QK_uint32 n = length - offset < ZNATIVESQLITE_PIECE ? (QK_uint32)(length - offset) : ZNATIVESQLITE_PIECE;
    QK_file__read(ctx, file, n, piece, NULL);
    if (QK_context__has_error(ctx)) {
      rc = ZNATIVESQLITE_FILE_ERROR;
      goto done;
    }
    rc = sqlite3_blob_write(blob, piece, (int)n, (int)offset);
    if (rc != SQLITE_OK) goto done;
    offset += n;
  }
done:
  QK_RELEASE(ctx, QK_file__close(ctx, &file));
  sqlite3_blob_close(blob);
  QK_context__free(ctx);
  return rc;
}

static const znativesqlite_api g_znativesqlite_api = {
    znativesqlite__bind_blob,
    sqlite3_bind_int,
    sqlite3_bind_int64,
    sqlite3_bind_null,
    znativesqlite__bind_text,
    sqlite3_bind_zeroblob,
    sqlite3_changes,
    sqlite3_clear_bindings,
    sqlite3_close,
    sqlite3_column_blob,
    sqlite3_column_bytes,
    sqlite3_column_count,
    sqlite3_column_int,
    sqlite3_column_int64,
    sqlite3_column_name,
    sqlite3_column_text,
    sqlite3_column_type,
    sqlite3_errmsg,
    sqlite3_errstr,
    sqlite3_finalize,
    sqlite3_last_insert_rowid,
    znativesqlite__open_v2,
    znativesqlite__prepare_v2,
    sqlite3_reset,
    sqlite3_step,
    znativesqlite__bind_row_values,
    znativesqlite__copy_rows,
    znativesqlite__blob_to_file,
    znativesqlite__file_to_blob,
};

const znativesqlite_api *znativesqlite__get_api(void) { return &g_znativesqlite_api; }

/* SQLite through one constant table of plain entry points: callers holding the table need no
 * error context and no link to SQLite's symbols. Entries take and return SQLite's own handles
 * and result codes; the composites add 1 (a file error) and 7 (no memory). */
#ifndef ZNATIVESQLITE_H
#define ZNATIVESQLITE_H

#include <sqlite3.h>

typedef struct znativesqlite_api {
  /* 0-24: SQLite's functions in the alphabetical order of their names. */
  int (*bind_blob)(sqlite3_stmt *stmt, int index, const void *data, int n); /* bytes copied */
  int (*bind_int)(sqlite3_stmt *stmt, int index, int value);
  int (*bind_int64)(sqlite3_stmt *stmt, int index, sqlite3_int64 value);
  int (*bind_null)(sqlite3_stmt *stmt, int index);
  int (*bind_text)(sqlite3_stmt *stmt, int index, const char *text); /* NUL-terminated, copied */
  int (*bind_zeroblob)(sqlite3_stmt *stmt, int index, int n);
  int (*changes)(sqlite3 *db);
  int (*clear_bindings)(sqlite3_stmt *stmt);
  int (*close)(sqlite3 *db);
  const void *(*column_blob)(sqlite3_stmt *stmt, int column);
  int (*column_bytes)(sqlite3_stmt *stmt, int column);
  int (*column_count)(sqlite3_stmt *stmt);
  int (*column_int)(sqlite3_stmt *stmt, int column);
  sqlite3_int64 (*column_int64)(sqlite3_stmt *stmt, int column);
  const char *(*column_name)(sqlite3_stmt *stmt, int column);
  const unsigned char *(*column_text)(sqlite3_stmt *stmt, int column);
  int (*column_type)(sqlite3_stmt *stmt, int column);
  const char *(*errmsg)(sqlite3 *db);
  const char *(*errstr)(int rc);
  int (*finalize)(sqlite3_stmt *stmt);
  sqlite3_int64 (*last_insert_rowid)(sqlite3 *db);
  /* Default VFS. Even a failed open may hand out a connection: the caller closes it. */
  int (*open_v2)(const char *path, sqlite3 **db, int flags);
  /* The whole text; a tail after the first statement is ignored. */
  int (*prepare_v2)(sqlite3 *db, const char *sql, sqlite3_stmt **stmt);
  int (*reset)(sqlite3_stmt *stmt);
  int (*step)(sqlite3_stmt *stmt);
  /* 25-28: composites. */
  /* Binds count columns of src's current row from first_col on (count < 0: all) as dst's
   * parameters param_offset + 1 on. */
  int (*bind_row_values)(sqlite3_stmt *src, int first_col, sqlite3_stmt *dst, int param_offset, int count);
  /* Runs dst once per row of src; SQLITE_DONE when every row was copied. A failing src step
   * lands in *src_rc, a failing dst bind/step/reset in *dst_rc. */
  int (*copy_rows)(sqlite3_stmt *src, sqlite3_stmt *dst, int *src_rc, int *dst_rc);
  /* Writes a blob of database "main" into a new file (an existing file is never touched). */
  int (*blob_to_file)(sqlite3 *db, const char *path, const char *table, const char *column, sqlite3_int64 rowid);
  /* Writes a file into an existing blob at least as long as the file. */
  int (*file_to_blob)(sqlite3 *db, const char *path, const char *table, const char *column, sqlite3_int64 rowid);
} znativesqlite_api;

/* The one table, constant for the life of the process. */
const znativesqlite_api *znativesqlite__get_api(void);

#endif

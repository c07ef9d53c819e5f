/* The server's SQLite layer: every package file, pushed package and dump database is reached
 * through these functions, which turn SQLite result codes into errors of the SQLite domain (8)
 * with the result code as the code, and free or finalize on every path. */
#ifndef QK_SQLITE_H
#define QK_SQLITE_H

#include <sqlite3.h>

#include "qk/qk_context.h"
#include "qk/qk_variant.h"
#include "qk/qk_vhash.h"

/* A database file that holds more than ordinary tables and indexes (qklib code 400): a pushed
 * file is refused before anything in it can run. */
#define QK_ERR_SQLITE_UNTRUSTED_SCHEMA QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400)

/* Size of a work-file or temp-table name buffer: "t", 32 hex digits and the NUL. */
#define QK_SQLITE_RANDOM_NAME_SIZE 34

/* Creates a database file that must not exist yet (278 when it does); "PRAGMA foreign_keys=ON". */
void QK_sqlite__create_new_db(QK_context *ctx, const char *pPathnameDb, int open_flags, sqlite3 **ppDb);
/* Opens an existing database (key is not used). The file is untrusted: it must hold only
 * ordinary tables without foreign-key clauses and indexes, else 400 and no connection. */
void QK_sqlite__open_with_key(QK_context *ctx, const char *pPathnameDb, const char *key, int open_flags,
                              sqlite3 **ppDb);
/* Closes and sets *ppDb to NULL; on failure the connection stays open and the pointer set. */
void QK_sqlite__close(QK_context *ctx, sqlite3 **ppDb);

/* Runs SQL text without a callback; a failure carries "<SQLite message>\n<sql>". */
void QK_sqlite__exec(QK_context *ctx, sqlite3 *db, const char *sql);
void QK_sqlite__exec_printf(QK_context *ctx, sqlite3 *db, const char *szFormat, ...)
    __attribute__((format(printf, 3, 4)));
/* Prepares the formatted text, retrying for about 30 s while SQLite answers SQLITE_BUSY. */
void QK_sqlite__prepare_printf(QK_context *ctx, sqlite3 *db, sqlite3_stmt **ppStmt, const char *szFormat, ...)
    __attribute__((format(printf, 4, 5)));

/* Statements kept prepared by their text for work that runs the same few statements over one
 * connection many times. The cache owns them: free it before the connection closes. */
typedef struct QK_sqlite_cache QK_sqlite_cache;
void QK_sqlite_cache__alloc(QK_context *ctx, sqlite3 *db, QK_sqlite_cache **ppCache);
/* Finalizes the statements kept; NULL is accepted. */
void QK_sqlite_cache__free(QK_context *ctx, QK_sqlite_cache *pCache);
/* As QK_sqlite__prepare_printf, but a statement of the same text that the cache keeps and nobody
 * uses is handed out again, reset and unbound. A NULL cache prepares every time. Hand the
 * statement back with QK_sqlite__release_cached, never finalize it. */
void QK_sqlite__prepare_cached(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, sqlite3_stmt **ppStmt,
                               const char *szFormat, ...) __attribute__((format(printf, 5, 6)));
/* Resets and unbinds a statement of QK_sqlite__prepare_cached for its next use, or finalizes it
 * when the cache does not keep it; sets *ppStmt to NULL. NULL is accepted. */
void QK_sqlite__release_cached(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3_stmt **ppStmt);

/* Statements that must give exactly one row: the first column as bool, int or int64. */
void QK_sqlite__one_bool(QK_context *ctx, sqlite3 *db, int *pValue, const char *szFormat, ...)
    __attribute__((format(printf, 4, 5)));
void QK_sqlite__one_int(QK_context *ctx, sqlite3 *db, int *pValue, const char *szFormat, ...)
    __attribute__((format(printf, 4, 5)));
void QK_sqlite__one_int64(QK_context *ctx, sqlite3 *db, QK_int64 *pValue, const char *szFormat, ...)
    __attribute__((format(printf, 4, 5)));

/* One step; any result other than expected is an error. */
void QK_sqlite__step_expect(QK_context *ctx, sqlite3_stmt *pStmt, int expected);
/* One step: 1 for a row, 0 when done. */
void QK_sqlite__step_row(QK_context *ctx, sqlite3_stmt *pStmt, int *pbRow);
void QK_sqlite__reset(QK_context *ctx, sqlite3_stmt *pStmt);
void QK_sqlite__clear_bindings(QK_context *ctx, sqlite3_stmt *pStmt);
/* Finalizes and sets *ppStmt to NULL; NULL is accepted. */
void QK_sqlite__finalize(QK_context *ctx, sqlite3_stmt **ppStmt);

/* Binding; parameter indexes start at 1. */
void QK_sqlite__bind_int64(QK_context *ctx, sqlite3_stmt *pStmt, int index, QK_int64 value);
void QK_sqlite__bind_double(QK_context *ctx, sqlite3_stmt *pStmt, int index, double value);
void QK_sqlite__bind_null(QK_context *ctx, sqlite3_stmt *pStmt, int index);
/* The text is not copied: it must stay unchanged until the statement is reset or finalized. */
void QK_sqlite__bind_text(QK_context *ctx, sqlite3_stmt *pStmt, int index, const char *text);
/* len bytes of text, which may hold NUL characters; copied. */
void QK_sqlite__bind_text__buflen(QK_context *ctx, sqlite3_stmt *pStmt, int index, const char *text, QK_uint32 len);
/* A 16-byte row id, copied. */
void QK_sqlite__bind_guid(QK_context *ctx, sqlite3_stmt *pStmt, int index, const QK_uint8 *pGuid);
void QK_sqlite__bind_value(QK_context *ctx, sqlite3_stmt *pStmt, int index, sqlite3_value *pValue);
/* A document value: null, int64, double, bool (0/1), text (all its bytes, NULs included; not
 * copied, as bind_text) or an object {"hex", "len"} as a blob; an array is 48. */
void QK_sqlite__bind_variant(QK_context *ctx, sqlite3_stmt *pStmt, int index, const QK_variant *pv);
/* The blob a document {"hex": text, "len": integer} describes: len bytes (at most as many as
 * the hex text holds); len 0 or an empty text binds an empty blob. */
void QK_sqlite__bind_hex_object(QK_context *ctx, sqlite3_stmt *pStmt, int index, const QK_vhash *pObject);

/* A 16-byte row id column: NULL or empty gives 16 zero bytes, any length but 16 raises 3. */
void QK_sqlite__column_guid(QK_context *ctx, sqlite3_stmt *pStmt, int column, QK_uint8 *pGuid);
/* 1 when the table has a column of that name (ASCII case ignored); NULL or empty names give 0. */
void QK_sqlite__table_has_column(QK_context *ctx, sqlite3 *db, const char *table, const char *column,
                                 int *pbHas);

/* "t" and (len - 2) / 2 random bytes as lowercase hex, NUL-terminated; 8 < len <= 102. */
void QK_sqlite__random_name(char *out, int len);

#endif

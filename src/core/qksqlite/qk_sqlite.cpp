/* The SQLite wrapper: connections, statements, binding and reading in the error-context
 * conventions of the base library. */
#include "qksqlite/qk_sqlite.h"

#include <string.h>

#include "qk/qk_fsobj.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"

#define SQLITE_ERROR_VALUE(rc) QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, (rc))

/* Preparing retries a busy database every 100 ms until more than this was waited. */
#define QK_SQLITE_BUSY_LIMIT_MS 30000
#define QK_SQLITE_BUSY_STEP_MS 100

/* Opens a connection with the hardening every connection of the server gets: pushed files are
 * untrusted, so their schema may not reach functions or virtual tables with side effects
 * (trusted_schema off) nor corrupt the file through writable_schema tricks (defensive). SQLite
 * hands out a handle even when the open fails; it is closed here. */
static void open_connection(QK_context *ctx, const char *path, int open_flags, sqlite3 **ppDb) {
  sqlite3 *db = NULL;
  int rc = sqlite3_open_v2(path, &db, open_flags, NULL);
  if (rc != SQLITE_OK) QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "Cannot open/create database '%s'.", path);
  rc = sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, (int *)NULL);
  if (rc == SQLITE_OK) rc = sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, (int *)NULL);
  if (rc != SQLITE_OK) QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(db));
  *ppDb = db;
  db = NULL;
done:
  sqlite3_close(db);
}

static void prepare_retrying_busy(QK_context *ctx, sqlite3 *db, const char *sql, sqlite3_stmt **ppStmt) {
  int waited_ms = 0;
  for (;;) {
    int rc = sqlite3_prepare_v2(db, sql, -1, ppStmt, NULL);
    if (rc == SQLITE_OK) break;
    if (rc != SQLITE_BUSY) QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(db));
    if (waited_ms > QK_SQLITE_BUSY_LIMIT_MS) QK_THROW(ctx, SQLITE_ERROR_VALUE(SQLITE_BUSY));
    QK_sleep_ms(QK_SQLITE_BUSY_STEP_MS);
    waited_ms += QK_SQLITE_BUSY_STEP_MS;
  }
done:;
}

/* Skips blanks and SQL comments the way SQLite's parser does. */
static const char *skip_blanks_and_comments(const char *p) {
  for (;;) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f') {
      p++;
    } else if (p[0] == '-' && p[1] == '-') {
      while (*p && *p != '\n') p++;
    } else if (p[0] == '/' && p[1] == '*') {
      const char *end = strstr(p + 2, "*/");
      if (end == NULL) return p + strlen(p);
      p = end + 2;
    } else {
      return p;
    }
  }
}

/* Consumes one keyword (ASCII case ignored) that must not run on into a name. */
static int take_keyword(const char **pp, const char *keyword) {
  const char *p = skip_blanks_and_comments(*pp);
  size_t n = strlen(keyword);
  unsigned char next = (unsigned char)p[n];
  if (QK_strnicmp(p, keyword, n) != 0) return 0;
  if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') || (next >= '0' && next <= '9') ||
      next == '_' || next == '$' || next >= 0x80)
    return 0;
  *pp = p + n;
  return 1;
}

/* What SQLite makes of a schema row is decided by its statement text, not by its type column,
 * so the text itself must be CREATE TABLE or CREATE [UNIQUE] INDEX (autoindexes have none). */
static int is_plain_table_or_index_sql(const char *type, const char *sql) {
  const char *p = sql;
  if (sql == NULL) return type != NULL && strcmp(type, "index") == 0;
  if (!take_keyword(&p, "CREATE")) return 0;
  if (type != NULL && strcmp(type, "table") == 0) return take_keyword(&p, "TABLE");
  if (type != NULL && strcmp(type, "index") == 0) {
    take_keyword(&p, "UNIQUE");
    return take_keyword(&p, "INDEX");
  }
  return 0;
}

static int is_virtual_table_sql(const char *sql) {
  const char *p = sql;
  return sql != NULL && take_keyword(&p, "CREATE") && take_keyword(&p, "VIRTUAL");
}

static const char PLAIN_SCHEMA_OBJECTS_SQL[] =
    "SELECT type, name, sql, type = 'table' AND EXISTS (SELECT 1 FROM pragma_foreign_key_list(name)) "
    "FROM sqlite_master";

/* Refuses a database that holds anything but ordinary tables without foreign-key clauses and
 * indexes: triggers, views, virtual tables and foreign-key actions would run their own SQL on
 * the server while it works on the file. */
static void check_plain_schema(QK_context *ctx, sqlite3 *db, const char *path) {
  sqlite3_stmt *pStmt = NULL;
  int rc;
  QK_TRY(ctx, prepare_retrying_busy(ctx, db, PLAIN_SCHEMA_OBJECTS_SQL, &pStmt));
  while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW) {
    const char *type = (const char *)sqlite3_column_text(pStmt, 0);
    const char *name = (const char *)sqlite3_column_text(pStmt, 1);
    const char *sql = (const char *)sqlite3_column_text(pStmt, 2);
    if (!is_plain_table_or_index_sql(type, sql))
      QK_THROW_FMT(ctx, QK_ERR_SQLITE_UNTRUSTED_SCHEMA,
                   "Database '%s' refused: it may hold only tables and indexes, but holds the %s \"%s\".",
                   path, is_virtual_table_sql(sql) ? "virtual table" : type ? type : "(null)",
                   name ? name : "(null)");
    if (sqlite3_column_int(pStmt, 3))
      QK_THROW_FMT(ctx, QK_ERR_SQLITE_UNTRUSTED_SCHEMA,
                   "Database '%s' refused: table \"%s\" has a foreign-key clause.", path, name ? name : "(null)");
  }
  if (rc != SQLITE_DONE) QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(db));
done:
  sqlite3_finalize(pStmt);
}

void QK_sqlite__create_new_db(QK_context *ctx, const char *pPathnameDb, int open_flags, sqlite3 **ppDb) {
  sqlite3 *db = NULL;
  int bExists = 0;
  QK_ARG_NOT_NULL(ctx, pPathnameDb);
  QK_ARG_NOT_NULL(ctx, ppDb);
  QK_TRY(ctx, QK_fsobj__exists(ctx, pPathnameDb, &bExists, NULL, NULL));
  if (bExists) QK_THROW_MSG(ctx, QK_ERR_FILE_ALREADY_EXISTS, pPathnameDb);
  QK_TRY(ctx, open_connection(ctx, pPathnameDb, open_flags, &db));
  QK_TRY(ctx, QK_sqlite__exec(ctx, db, "PRAGMA foreign_keys=ON"));
  *ppDb = db;
  db = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__close(ctx, &db));
}

void QK_sqlite__open_with_key(QK_context *ctx, const char *pPathnameDb, const char *key, int open_flags,
                              sqlite3 **ppDb) {
  sqlite3 *db = NULL;
  (void)key;
  QK_ARG_NOT_NULL(ctx, pPathnameDb);
  QK_ARG_NOT_NULL(ctx, ppDb);
  QK_TRY(ctx, open_connection(ctx, pPathnameDb, open_flags, &db));
  QK_TRY(ctx, check_plain_schema(ctx, db, pPathnameDb));
  QK_TRY(ctx, QK_sqlite__exec(ctx, db, "PRAGMA foreign_keys=ON"));
  *ppDb = db;
  db = NULL;
done:
  QK_RELEASE(ctx, QK_sqlite__close(ctx, &db));
}

void QK_sqlite__close(QK_context *ctx, sqlite3 **ppDb) {
  int rc;
  if (ppDb == NULL || *ppDb == NULL) return;
  rc = sqlite3_close(*ppDb);
  if (rc != SQLITE_OK) QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(*ppDb));
  *ppDb = NULL;
done:;
}

void QK_sqlite__exec(QK_context *ctx, sqlite3 *db, const char *sql) {
  char *szError = NULL;
  int rc;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, sql);
  rc = sqlite3_exec(db, sql, NULL, NULL, &szError);
  if (rc != SQLITE_OK)
    QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s\n%s", szError ? szError : sqlite3_errmsg(db), sql);
done:
  sqlite3_free(szError);
}

void QK_sqlite__exec_printf(QK_context *ctx, sqlite3 *db, const char *szFormat, ...) {
  QK_string *pSql = NULL;
  va_list args;
  va_start(args, szFormat);
  QK_string__alloc__vformat(ctx, &pSql, szFormat, args);
  va_end(args);
  QK_CHECK(ctx);
  QK_TRY(ctx, QK_sqlite__exec(ctx, db, QK_string__sz(pSql)));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

static void vprepare(QK_context *ctx, sqlite3 *db, sqlite3_stmt **ppStmt, const char *szFormat, va_list args) {
  QK_string *pSql = NULL;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, ppStmt);
  QK_TRY(ctx, QK_string__alloc__vformat(ctx, &pSql, szFormat, args));
  QK_TRY(ctx, prepare_retrying_busy(ctx, db, QK_string__sz(pSql), ppStmt));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void QK_sqlite__prepare_printf(QK_context *ctx, sqlite3 *db, sqlite3_stmt **ppStmt, const char *szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  vprepare(ctx, db, ppStmt, szFormat, args);
  va_end(args);
  if (QK_context__has_error(ctx)) QK_context__add_frame(ctx, __FILE__, __LINE__);
}

/* More distinct texts than this are prepared each time they run. */
#define QK_SQLITE_CACHE_SIZE 16

struct QK_sqlite_cache {
  sqlite3 *db;
  QK_uint32 count;
  struct {
    char *sql;
    sqlite3_stmt *stmt;
    int in_use;
  } entries[QK_SQLITE_CACHE_SIZE];
};

void QK_sqlite_cache__alloc(QK_context *ctx, sqlite3 *db, QK_sqlite_cache **ppCache) {
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, ppCache);
  *ppCache = NULL;
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_sqlite_cache), ppCache));
  (*ppCache)->db = db;
done:;
}

void QK_sqlite_cache__free(QK_context *ctx, QK_sqlite_cache *pCache) {
  if (pCache == NULL) return;
  for (QK_uint32 i = 0; i < pCache->count; i++) {
    sqlite3_finalize(pCache->entries[i].stmt);
    QK_free(ctx, pCache->entries[i].sql);
  }
  QK_free(ctx, pCache);
}

void QK_sqlite__prepare_cached(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, sqlite3_stmt **ppStmt,
                               const char *szFormat, ...) {
  QK_string *pSql = NULL;
  sqlite3_stmt *pStmt = NULL;
  va_list args;
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, ppStmt);
  if (pCache != NULL && pCache->db != db) QK_THROW(ctx, QK_ERR_INVALID_ARGUMENT);
  va_start(args, szFormat);
  QK_string__alloc__vformat(ctx, &pSql, szFormat, args);
  va_end(args);
  QK_CHECK(ctx);
  if (pCache != NULL) {
    for (QK_uint32 i = 0; i < pCache->count; i++) {
      if (pCache->entries[i].in_use || strcmp(pCache->entries[i].sql, QK_string__sz(pSql)) != 0) continue;
      pCache->entries[i].in_use = 1;
      *ppStmt = pCache->entries[i].stmt;
      goto done;
    }
  }
  QK_TRY(ctx, prepare_retrying_busy(ctx, db, QK_string__sz(pSql), &pStmt));
  if (pCache != NULL && pCache->count < QK_SQLITE_CACHE_SIZE) {
    QK_uint32 i = pCache->count;
    QK_TRY(ctx, QK_strdup(ctx, QK_string__sz(pSql), &pCache->entries[i].sql));
    pCache->entries[i].stmt = pStmt;
    pCache->entries[i].in_use = 1;
    pCache->count++;
  }
  *ppStmt = pStmt;
  pStmt = NULL;
done:
  sqlite3_finalize(pStmt);
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void QK_sqlite__release_cached(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3_stmt **ppStmt) {
  if (ppStmt == NULL || *ppStmt == NULL) return;
  for (QK_uint32 i = 0; pCache != NULL && i < pCache->count; i++) {
    if (pCache->entries[i].stmt != *ppStmt) continue;
    /* The result of the last step was reported where it ran. */
    sqlite3_reset(*ppStmt);
    sqlite3_clear_bindings(*ppStmt);
    pCache->entries[i].in_use = 0;
    *ppStmt = NULL;
    return;
  }
  QK_sqlite__finalize(ctx, ppStmt);
}

/* The first column of the statement's only row. */
static void one_int64(QK_context *ctx, sqlite3 *db, QK_int64 *pValue, const char *szFormat, va_list args) {
  sqlite3_stmt *pStmt = NULL;
  QK_int64 value;
  int rc;
  QK_ARG_NOT_NULL(ctx, pValue);
  QK_TRY(ctx, vprepare(ctx, db, &pStmt, szFormat, args));
  rc = sqlite3_step(pStmt);
  if (rc != SQLITE_ROW) QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(db));
  value = sqlite3_column_int64(pStmt, 0);
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
  *pValue = value;
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
}

/* The bool and int forms: column 0 read as sqlite3_column_int does (the low 32 bits). */
static void one_int32(QK_context *ctx, sqlite3 *db, int bBool, int *pValue, const char *szFormat, va_list args) {
  QK_int64 value = 0;
  QK_ARG_NOT_NULL(ctx, pValue);
  QK_TRY(ctx, one_int64(ctx, db, &value, szFormat, args));
  *pValue = (int)(QK_uint32)(QK_uint64)value;
  if (bBool) *pValue = *pValue != 0;
done:;
}

void QK_sqlite__one_bool(QK_context *ctx, sqlite3 *db, int *pValue, const char *szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  one_int32(ctx, db, 1, pValue, szFormat, args);
  va_end(args);
  if (QK_context__has_error(ctx)) QK_context__add_frame(ctx, __FILE__, __LINE__);
}

void QK_sqlite__one_int(QK_context *ctx, sqlite3 *db, int *pValue, const char *szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  one_int32(ctx, db, 0, pValue, szFormat, args);
  va_end(args);
  if (QK_context__has_error(ctx)) QK_context__add_frame(ctx, __FILE__, __LINE__);
}

void QK_sqlite__one_int64(QK_context *ctx, sqlite3 *db, QK_int64 *pValue, const char *szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  one_int64(ctx, db, pValue, szFormat, args);
  va_end(args);
  if (QK_context__has_error(ctx)) QK_context__add_frame(ctx, __FILE__, __LINE__);
}

void QK_sqlite__step_expect(QK_context *ctx, sqlite3_stmt *pStmt, int expected) {
  int rc;
  QK_ARG_NOT_NULL(ctx, pStmt);
  rc = sqlite3_step(pStmt);
  if (rc != expected)
    QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(sqlite3_db_handle(pStmt)));
done:;
}

void QK_sqlite__step_row(QK_context *ctx, sqlite3_stmt *pStmt, int *pbRow) {
  int rc;
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_ARG_NOT_NULL(ctx, pbRow);
  rc = sqlite3_step(pStmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE)
    QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(sqlite3_db_handle(pStmt)));
  *pbRow = rc == SQLITE_ROW;
done:;
}

void QK_sqlite__reset(QK_context *ctx, sqlite3_stmt *pStmt) {
  int rc;
  QK_ARG_NOT_NULL(ctx, pStmt);
  rc = sqlite3_reset(pStmt);
  if (rc != SQLITE_OK) QK_THROW(ctx, SQLITE_ERROR_VALUE(rc));
done:;
}

void QK_sqlite__clear_bindings(QK_context *ctx, sqlite3_stmt *pStmt) {
  int rc;
  QK_ARG_NOT_NULL(ctx, pStmt);
  rc = sqlite3_clear_bindings(pStmt);
  if (rc != SQLITE_OK) QK_THROW(ctx, SQLITE_ERROR_VALUE(rc));
done:;
}

void QK_sqlite__finalize(QK_context *ctx, sqlite3_stmt **ppStmt) {
  (void)ctx;
  if (ppStmt == NULL) return;
  sqlite3_finalize(*ppStmt);
  *ppStmt = NULL;
}

/* A failed bind: the result code, without message. */
#define QK_SQLITE_BIND(ctx, call)                      \
  do {                                                 \
    int rc_ = (call);                                  \
    if (rc_ != SQLITE_OK) QK_THROW(ctx, SQLITE_ERROR_VALUE(rc_)); \
  } while (0)

void QK_sqlite__bind_int64(QK_context *ctx, sqlite3_stmt *pStmt, int index, QK_int64 value) {
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_SQLITE_BIND(ctx, sqlite3_bind_int64(pStmt, index, value));
done:;
}

void QK_sqlite__bind_double(QK_context *ctx, sqlite3_stmt *pStmt, int index, double value) {
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_SQLITE_BIND(ctx, sqlite3_bind_double(pStmt, index, value));
done:;
}

void QK_sqlite__bind_null(QK_context *ctx, sqlite3_stmt *pStmt, int index) {
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_SQLITE_BIND(ctx, sqlite3_bind_null(pStmt, index));
done:;
}

void QK_sqlite__bind_text(QK_context *ctx, sqlite3_stmt *pStmt, int index, const char *text) {
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_SQLITE_BIND(ctx, sqlite3_bind_text(pStmt, index, text, -1, SQLITE_STATIC));
done:;
}

void QK_sqlite__bind_text__buflen(QK_context *ctx, sqlite3_stmt *pStmt, int index, const char *text, QK_uint32 len) {
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_ARG_VALID(ctx, len, len <= INT32_MAX);
  if (text == NULL) text = "";
  QK_SQLITE_BIND(ctx, sqlite3_bind_text(pStmt, index, text, (int)len, SQLITE_TRANSIENT));
done:;
}

void QK_sqlite__bind_guid(QK_context *ctx, sqlite3_stmt *pStmt, int index, const QK_uint8 *pGuid) {
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_ARG_NOT_NULL(ctx, pGuid);
  QK_SQLITE_BIND(ctx, sqlite3_bind_blob(pStmt, index, pGuid, 16, SQLITE_TRANSIENT));
done:;
}

void QK_sqlite__bind_value(QK_context *ctx, sqlite3_stmt *pStmt, int index, sqlite3_value *pValue) {
  int rc;
  QK_ARG_NOT_NULL(ctx, pStmt);
  rc = sqlite3_bind_value(pStmt, index, pValue);
  if (rc != SQLITE_OK)
    QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s", sqlite3_errmsg(sqlite3_db_handle(pStmt)));
done:;
}

void QK_sqlite__bind_variant(QK_context *ctx, sqlite3_stmt *pStmt, int index, const QK_variant *pv) {
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_ARG_NOT_NULL(ctx, pv);
  switch (pv->type) {
    case QK_VARIANT_TYPE_NULL:
      QK_TRY(ctx, QK_sqlite__bind_null(ctx, pStmt, index));
      break;
    case QK_VARIANT_TYPE_INT64:
      QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, index, pv->u.i64));
      break;
    case QK_VARIANT_TYPE_DOUBLE:
      QK_TRY(ctx, QK_sqlite__bind_double(ctx, pStmt, index, pv->u.dbl));
      break;
    case QK_VARIANT_TYPE_BOOL:
      QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pStmt, index, pv->u.b ? 1 : 0));
      break;
    case QK_VARIANT_TYPE_SZ:
      /* Not copied, as bind_text; all the text's bytes, NULs included. */
      QK_VERIFY(ctx, pv->len <= INT32_MAX);
      QK_SQLITE_BIND(ctx, sqlite3_bind_text(pStmt, index, pv->u.psz, (int)pv->len, SQLITE_STATIC));
      break;
    case QK_VARIANT_TYPE_VHASH:
      QK_TRY(ctx, QK_sqlite__bind_hex_object(ctx, pStmt, index, pv->u.pvh));
      break;
    case QK_VARIANT_TYPE_VARRAY:
      QK_THROW_MSG(ctx, QK_ERR_VARIANT_INVALID_TYPE, "cannot convert array to sqlite data type");
    default:
      QK_THROW(ctx, QK_ERR_VARIANT_INVALID_TYPE);
  }
done:;
}

void QK_sqlite__bind_hex_object(QK_context *ctx, sqlite3_stmt *pStmt, int index, const QK_vhash *pObject) {
  const char *hex = NULL;
  QK_int64 len = -1;
  QK_uint32 hex_bytes, n, decoded = 0;
  QK_uint8 *pBlob = NULL;
  int rc;
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_ARG_NOT_NULL(ctx, pObject);
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pObject, "hex", &hex));
  QK_TRY(ctx, QK_vhash__check__int64(ctx, pObject, "len", &len));
  if (len == 0 || (hex != NULL && hex[0] == '\0')) {
    QK_SQLITE_BIND(ctx, sqlite3_bind_zeroblob(pStmt, index, 0));
    goto done;
  }
  if (hex == NULL)
    QK_THROW_MSG(ctx, QK_ERR_VHASH_KEY_NOT_FOUND,
                 "A JavaScript object must contain a 'hex' member of type String in order to be bound as a "
                 "sqlite blob value.");
  hex_bytes = (QK_uint32)(strlen(hex) / 2);
  n = len >= 0 && len < (QK_int64)hex_bytes ? (QK_uint32)len : hex_bytes;
  if (n == 0) {
    QK_SQLITE_BIND(ctx, sqlite3_bind_zeroblob(pStmt, index, 0));
    goto done;
  }
  pBlob = (QK_uint8 *)sqlite3_malloc((int)n);
  if (pBlob == NULL) QK_THROW(ctx, QK_ERR_MALLOC_FAILED);
  QK_TRY(ctx, QK_hex__decode(ctx, hex, 2 * n, pBlob, n, &decoded));
  /* From here on the buffer is SQLite's, whether the bind succeeds or not. */
  rc = sqlite3_bind_blob(pStmt, index, pBlob, (int)n, sqlite3_free);
  pBlob = NULL;
  if (rc != SQLITE_OK) QK_THROW(ctx, SQLITE_ERROR_VALUE(rc));
done:
  sqlite3_free(pBlob);
}

void QK_sqlite__column_guid(QK_context *ctx, sqlite3_stmt *pStmt, int column, QK_uint8 *pGuid) {
  const void *pBlob;
  int len;
  QK_ARG_NOT_NULL(ctx, pStmt);
  QK_ARG_NOT_NULL(ctx, pGuid);
  pBlob = sqlite3_column_blob(pStmt, column);
  len = sqlite3_column_bytes(pStmt, column);
  if (len == 0) {
    memset(pGuid, 0, 16);
  } else if (len == 16) {
    memcpy(pGuid, pBlob, 16);
  } else {
    QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "guid/int128/uuid blob must be 16 bytes: %d", len);
  }
done:;
}

void QK_sqlite__table_has_column(QK_context *ctx, sqlite3 *db, const char *table, const char *column,
                                 int *pbHas) {
  sqlite3_stmt *pStmt = NULL;
  char *sql = NULL;
  int bRow = 0;
  if (pbHas == NULL) return;
  *pbHas = 0;
  if (db == NULL || table == NULL || column == NULL || *table == '\0' || *column == '\0') return;
  /* %w doubles the double quotes of the name, so any table name stays one identifier. */
  sql = sqlite3_mprintf("PRAGMA table_info(\"%w\");", table);
  if (sql == NULL) QK_THROW(ctx, QK_ERR_MALLOC_FAILED);
  QK_TRY(ctx, prepare_retrying_busy(ctx, db, sql, &pStmt));
  for (;;) {
    const char *name;
    QK_TRY(ctx, QK_sqlite__step_row(ctx, pStmt, &bRow));
    if (!bRow) break;
    name = (const char *)sqlite3_column_text(pStmt, 1);
    if (name != NULL && QK_stricmp(name, column) == 0) {
      *pbHas = 1;
      break;
    }
  }
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  sqlite3_free(sql);
}

void QK_sqlite__random_name(char *out, int len) {
  QK_uint8 bytes[50];
  if (out == NULL || len <= 8 || len > 102) return;
  sqlite3_initialize();
  sqlite3_randomness((int)sizeof bytes, bytes);
  out[0] = 't';
  QK_hex__encode_buflen(out + 1, bytes, (QK_uint32)(len - 2) / 2);
}

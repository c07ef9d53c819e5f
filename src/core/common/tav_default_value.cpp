/* Translation of SQL Server column defaults into client defaults. */
#include "common/tav_default_value.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "common/tav_parse_defin_types.h"
#include "common/tav_utils.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"

#define SQLITE_ERROR_VALUE(rc) QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, (rc))

/* ---- Token scanner ------------------------------------------------------------------
 * Clients read defaults with the older SQLite rules, in which hexadecimal numbers do not
 * exist: 0x00FF is one illegal token, and that is how a binary constant is recognised. */

/* The keywords of those rules; every other word is an identifier. */
static const char *const OLD_SQLITE_KEYWORDS[] = {
    "ABORT", "ACTION", "ADD", "AFTER", "ALL", "ALTER", "ANALYZE", "AND", "AS", "ASC", "ATTACH",
    "AUTOINCREMENT", "BEFORE", "BEGIN", "BETWEEN", "BY", "CASCADE", "CASE", "CAST", "CHECK", "COLLATE",
    "COLUMN", "COMMIT", "CONFLICT", "CONSTRAINT", "CREATE", "CROSS", "CURRENT_DATE", "CURRENT_TIME",
    "CURRENT_TIMESTAMP", "DATABASE", "DEFAULT", "DEFERRABLE", "DEFERRED", "DELETE", "DESC", "DETACH",
    "DISTINCT", "DROP", "EACH", "ELSE", "END", "ESCAPE", "EXCEPT", "EXCLUSIVE", "EXISTS", "EXPLAIN", "FAIL",
    "FOR", "FOREIGN", "FROM", "FULL", "GLOB", "GROUP", "HAVING", "IF", "IGNORE", "IMMEDIATE", "IN", "INDEX",
    "INDEXED", "INITIALLY", "INNER", "INSERT", "INSTEAD", "INTERSECT", "INTO", "IS", "ISNULL", "JOIN", "KEY",
    "LEFT", "LIKE", "LIMIT", "MATCH", "NATURAL", "NO", "NOT", "NOTNULL", "NULL", "OF", "OFFSET", "ON", "OR",
    "ORDER", "OUTER", "PLAN", "PRAGMA", "PRIMARY", "QUERY", "RAISE", "REFERENCES", "REGEXP", "REINDEX",
    "RELEASE", "RENAME", "REPLACE", "RESTRICT", "RIGHT", "ROLLBACK", "ROW", "SAVEPOINT", "SELECT", "SET",
    "TABLE", "TEMP", "TEMPORARY", "THEN", "TO", "TRANSACTION", "TRIGGER", "UNION", "UNIQUE", "UPDATE",
    "USING", "VACUUM", "VALUES", "VIEW", "VIRTUAL", "WHEN", "WHERE",
};

static int is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
static int is_xdigit(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
static int is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
/* Letters, digits, "_", "$" and every byte of a multi-byte character. */
static int is_id_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_' || c == '$' || c >= 0x80;
}

static tav_sqltok_class word_class(const char *z, int n) {
  for (size_t k = 0; k < sizeof OLD_SQLITE_KEYWORDS / sizeof OLD_SQLITE_KEYWORDS[0]; k++) {
    const char *kw = OLD_SQLITE_KEYWORDS[k];
    if ((int)strlen(kw) == n && QK_strnicmp(z, kw, (size_t)n) == 0)
      return strcmp(kw, "NULL") == 0 ? TAV_SQLTOK_NULL : TAV_SQLTOK_KEYWORD;
  }
  return TAV_SQLTOK_ID;
}

/* A quoted token; unterminated quotes make the rest of the text illegal. */
static int scan_quoted(const char *z, tav_sqltok_class quoted_class, tav_sqltok_class *pClass) {
  char delim = z[0];
  int i = 1;
  for (;; i++) {
    if (z[i] == '\0') {
      *pClass = TAV_SQLTOK_ILLEGAL;
      return i;
    }
    if (z[i] == delim) {
      if (z[i + 1] == delim) {
        i++;
        continue;
      }
      *pClass = quoted_class;
      return i + 1;
    }
  }
}

static int scan_number(const char *z, tav_sqltok_class *pClass) {
  int i = 0;
  *pClass = TAV_SQLTOK_INTEGER;
  while (is_digit((unsigned char)z[i])) i++;
  if (z[i] == '.') {
    i++;
    while (is_digit((unsigned char)z[i])) i++;
    *pClass = TAV_SQLTOK_FLOAT;
  }
  if ((z[i] == 'e' || z[i] == 'E') &&
      (is_digit((unsigned char)z[i + 1]) ||
       ((z[i + 1] == '+' || z[i + 1] == '-') && is_digit((unsigned char)z[i + 2])))) {
    i += 2;
    while (is_digit((unsigned char)z[i])) i++;
    *pClass = TAV_SQLTOK_FLOAT;
  }
  while (is_id_char((unsigned char)z[i])) {
    *pClass = TAV_SQLTOK_ILLEGAL;
    i++;
  }
  return i;
}

int tav_sqltok__scan(const char *z, tav_sqltok_class *pClass) {
  unsigned char c = (unsigned char)z[0];
  int i;
  *pClass = TAV_SQLTOK_OPERATOR;
  if (c == '\0') {
    *pClass = TAV_SQLTOK_END;
    return 0;
  }
  if (is_space(c)) {
    for (i = 1; is_space((unsigned char)z[i]); i++) {
    }
    *pClass = TAV_SQLTOK_SPACE;
    return i;
  }
  switch (c) {
    case '-':
      if (z[1] == '-') {
        for (i = 2; z[i] && z[i] != '\n'; i++) {
        }
        *pClass = TAV_SQLTOK_SPACE;
        return i;
      }
      *pClass = TAV_SQLTOK_MINUS;
      return 1;
    case '(':
      *pClass = TAV_SQLTOK_LP;
      return 1;
    case ')':
      *pClass = TAV_SQLTOK_RP;
      return 1;
    case '/':
      if (z[1] != '*') return 1;
      for (i = 2; z[i] && !(z[i] == '*' && z[i + 1] == '/'); i++) {
      }
      *pClass = TAV_SQLTOK_SPACE;
      return z[i] ? i + 2 : i;
    case '=':
      return z[1] == '=' ? 2 : 1;
    case '<':
      return (z[1] == '=' || z[1] == '>' || z[1] == '<') ? 2 : 1;
    case '>':
      return (z[1] == '=' || z[1] == '>') ? 2 : 1;
    case '!':
      if (z[1] == '=') return 2;
      *pClass = TAV_SQLTOK_ILLEGAL;
      return z[1] ? 2 : 1;
    case '|':
      return z[1] == '|' ? 2 : 1;
    case ';': case '+': case '*': case '%': case ',': case '&': case '~':
      return 1;
    case '\'':
      return scan_quoted(z, TAV_SQLTOK_STRING, pClass);
    case '"': case '`':
      return scan_quoted(z, TAV_SQLTOK_ID, pClass);
    case '.':
      if (!is_digit((unsigned char)z[1])) return 1;
      return scan_number(z, pClass);
    case '[':
      for (i = 1; z[i] && z[i] != ']'; i++) {
      }
      *pClass = z[i] ? TAV_SQLTOK_ID : TAV_SQLTOK_ILLEGAL;
      return z[i] ? i + 1 : i;
    case '?':
      for (i = 1; is_digit((unsigned char)z[i]); i++) {
      }
      *pClass = TAV_SQLTOK_VARIABLE;
      return i;
    case '#': case ':': case '@': case '$':
      for (i = 1; is_id_char((unsigned char)z[i]); i++) {
      }
      *pClass = i > 1 ? TAV_SQLTOK_VARIABLE : TAV_SQLTOK_ILLEGAL;
      return i;
    case 'x': case 'X':
      if (z[1] == '\'') {
        for (i = 2; is_xdigit((unsigned char)z[i]); i++) {
        }
        *pClass = TAV_SQLTOK_BLOB;
        if (z[i] != '\'' || i % 2) {
          *pClass = TAV_SQLTOK_ILLEGAL;
          while (z[i] && z[i] != '\'') i++;
        }
        return z[i] ? i + 1 : i;
      }
      break;
    default:
      break;
  }
  if (is_digit(c)) return scan_number(z, pClass);
  if (!is_id_char(c)) {
    *pClass = TAV_SQLTOK_ILLEGAL;
    return 1;
  }
  for (i = 1; is_id_char((unsigned char)z[i]); i++) {
  }
  *pClass = word_class(z, i);
  return i;
}

/* The next token that is not whitespace or a comment. */
static const char *next_token(const char *z, tav_sqltok_class *pClass, int *pLen) {
  for (;;) {
    *pLen = tav_sqltok__scan(z, pClass);
    if (*pClass != TAV_SQLTOK_SPACE) return z;
    z += *pLen;
  }
}

/* ---- Shape readers ------------------------------------------------------------------ */

enum default_shape { SHAPE_LITERAL, SHAPE_FUNCTION, SHAPE_HEX };

/* Walks the parenthesised default and finds the one token of the shape. The result is the
 * span [*ppBegin, *ppEnd) of the text, or none (*ppBegin NULL). */
static void find_shape(const char *sql, enum default_shape shape, const char **ppBegin, const char **ppEnd) {
  const char *z = sql, *begin = NULL, *end = NULL;
  int depth = 0, len;
  tav_sqltok_class cls;
  *ppBegin = *ppEnd = NULL;
  for (;;) {
    const char *tok = next_token(z, &cls, &len);
    const char *after = tok + len;
    if (cls == TAV_SQLTOK_END) break;
    if (cls == TAV_SQLTOK_LP) {
      if (begin) return;
      depth++;
    } else if (cls == TAV_SQLTOK_RP) {
      depth--;
    } else if (begin) {
      return; /* a second value */
    } else if (shape == SHAPE_LITERAL && cls == TAV_SQLTOK_ID && len == 1 && tok[0] == 'N') {
      const char *str = next_token(after, &cls, &len);
      if (cls != TAV_SQLTOK_STRING) return;
      begin = str;
      after = end = str + len;
    } else if (shape == SHAPE_LITERAL && cls == TAV_SQLTOK_MINUS) {
      const char *num = next_token(after, &cls, &len);
      if (cls != TAV_SQLTOK_INTEGER && cls != TAV_SQLTOK_FLOAT) return;
      begin = tok;
      after = end = num + len;
    } else if (shape == SHAPE_LITERAL &&
               (cls == TAV_SQLTOK_STRING || cls == TAV_SQLTOK_NULL || cls == TAV_SQLTOK_INTEGER ||
                cls == TAV_SQLTOK_FLOAT || cls == TAV_SQLTOK_BLOB)) {
      begin = tok;
      end = after;
    } else if (shape == SHAPE_FUNCTION && cls == TAV_SQLTOK_ID) {
      const char *lp = next_token(after, &cls, &len);
      if (cls != TAV_SQLTOK_LP) return;
      const char *rp = next_token(lp + 1, &cls, &len);
      if (cls != TAV_SQLTOK_RP) return;
      begin = tok;
      end = after;
      after = rp + 1;
    } else if (shape == SHAPE_HEX && cls == TAV_SQLTOK_ILLEGAL) {
      begin = tok;
      end = after;
    } else {
      return;
    }
    z = after;
  }
  if (depth != 0) return;
  *ppBegin = begin;
  *ppEnd = end;
}

static void copy_span(QK_context *ctx, const char *begin, const char *end, char **psz) {
  char *copy = NULL;
  QK_ARG_NOT_NULL(ctx, psz);
  if (begin == NULL) goto done;
  QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)(end - begin) + 1, &copy));
  memcpy(copy, begin, (size_t)(end - begin));
  copy[end - begin] = '\0';
  *psz = copy;
done:;
}

void tav_defin__default_literal(QK_context *ctx, const char *sql_default, char **pszLiteral) {
  const char *begin, *end;
  QK_ARG_NOT_NULL(ctx, sql_default);
  find_shape(sql_default, SHAPE_LITERAL, &begin, &end);
  QK_TRY(ctx, copy_span(ctx, begin, end, pszLiteral));
done:;
}

void tav_defin__default_function_name(QK_context *ctx, const char *sql_default, char **pszName) {
  const char *begin, *end;
  QK_ARG_NOT_NULL(ctx, sql_default);
  find_shape(sql_default, SHAPE_FUNCTION, &begin, &end);
  QK_TRY(ctx, copy_span(ctx, begin, end, pszName));
done:;
}

void tav_defin__default_hex_literal(QK_context *ctx, const char *sql_default, char **pszHex) {
  const char *begin, *end;
  QK_ARG_NOT_NULL(ctx, sql_default);
  QK_ARG_NOT_NULL(ctx, pszHex);
  find_shape(sql_default, SHAPE_HEX, &begin, &end);
  if (begin == NULL || end - begin < 4 || (end - begin) % 2 != 0 || begin[0] != '0' || begin[1] != 'x') goto done;
  for (const char *p = begin + 2; p < end; p++)
    if (!is_xdigit((unsigned char)*p)) goto done;
  QK_TRY(ctx, QK_string__format_to_sz(ctx, pszHex, "x'%.*s'", (int)(end - begin - 2), begin + 2));
done:;
}

/* ---- Decimal scaling ---------------------------------------------------------------- */

#define DECIMAL_PROBLEM "problem with decimal string for scale=%d: %s"

void tav_defin__decimal_to_scaled_int64(QK_context *ctx, const char *text, QK_uint8 scale, QK_int64 *pValue) {
  char *digits = NULL;
  const char *point;
  int exponent = scale, all_digits = 1;
  QK_int64 value = 0;
  QK_ARG_NOT_NULL(ctx, text);
  QK_ARG_NOT_NULL(ctx, pValue);
  point = strchr(text, '.');
  if (point != NULL) {
    int fraction = (int)strlen(point + 1);
    if (strchr(point + 1, '.') != NULL || fraction > scale) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, DECIMAL_PROBLEM, scale, text);
    exponent = scale - fraction;
  }
  QK_TRY(ctx, QK_strdup(ctx, text, &digits));
  if (point != NULL) memmove(digits + (point - text), digits + (point - text) + 1, strlen(point));
  for (const char *p = digits[0] == '-' ? digits + 1 : digits; *p; p++) all_digits &= is_digit((unsigned char)*p);
  QK_int64__parse(ctx, &value, digits);
  /* A well-formed number that does not parse is one beyond 64 bits. */
  if (QK_context__has_error(ctx) && all_digits && digits[digits[0] == '-'] != '\0') {
    QK_context__reset_error(ctx);
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, DECIMAL_PROBLEM, scale, text);
  }
  QK_CHECK(ctx);
  /* Scaled step by step, so that 0 fits every scale. */
  for (int k = 0; k < exponent; k++)
    if (__builtin_mul_overflow(value, (QK_int64)10, &value))
      QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, DECIMAL_PROBLEM, scale, text);
  *pValue = value;
done:
  QK_free(ctx, digits);
}

/* ---- Scratch connections -------------------------------------------------------------- */

static void throw_native(QK_context *ctx, const znativesqlite_api *api, sqlite3 *db, int rc) {
  QK_THROW_FMT(ctx, SQLITE_ERROR_VALUE(rc), "%s: %s", api->errstr(rc), db ? api->errmsg(db) : "");
done:;
}

void tav_defin__native_exec(QK_context *ctx, const znativesqlite_api *api, sqlite3 *db, const char *sql) {
  sqlite3_stmt *pStmt = NULL;
  int rc;
  QK_ARG_NOT_NULL(ctx, api);
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, sql);
  rc = api->prepare_v2(db, sql, &pStmt);
  if (rc != SQLITE_OK) QK_TRY(ctx, throw_native(ctx, api, db, rc));
  while ((rc = api->step(pStmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) QK_TRY(ctx, throw_native(ctx, api, db, rc));
done:
  if (pStmt != NULL) api->finalize(pStmt);
}

void tav_defin__native_exec_printf(QK_context *ctx, const znativesqlite_api *api, sqlite3 *db,
                                   const char *szFormat, ...) {
  QK_string *pSql = NULL;
  va_list args;
  va_start(args, szFormat);
  QK_string__alloc__vformat(ctx, &pSql, szFormat, args);
  va_end(args);
  QK_CHECK(ctx);
  QK_TRY(ctx, tav_defin__native_exec(ctx, api, db, QK_string__sz(pSql)));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

static const char EVAL_BOOL_SQL[] = "SELECT typeof(%s), (%s)\n";

void tav_defin__eval_bool_default(QK_context *ctx, const char *literal, int *pbRecognized, int *pValue) {
  const znativesqlite_api *api = znativesqlite__get_api();
  sqlite3 *db = NULL;
  sqlite3_stmt *pStmt = NULL;
  char *sql = NULL;
  int rc;
  QK_ARG_NOT_NULL(ctx, literal);
  QK_ARG_NOT_NULL(ctx, pbRecognized);
  QK_ARG_NOT_NULL(ctx, pValue);
  *pbRecognized = 0;
  rc = api->open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (rc != SQLITE_OK) QK_TRY(ctx, throw_native(ctx, api, db, rc));
  QK_TRY(ctx, QK_string__format_to_sz(ctx, &sql, EVAL_BOOL_SQL, literal, literal));
  rc = api->prepare_v2(db, sql, &pStmt);
  if (rc != SQLITE_OK) QK_TRY(ctx, throw_native(ctx, api, db, rc));
  rc = api->step(pStmt);
  if (rc == SQLITE_ROW) {
    const char *type = (const char *)api->column_text(pStmt, 0);
    const char *value = (const char *)api->column_text(pStmt, 1);
    if (type != NULL && strcmp(type, "text") == 0 && value != NULL) {
      if (QK_stricmp(value, "True") == 0) {
        *pbRecognized = 1;
        *pValue = 1;
      } else if (QK_stricmp(value, "False") == 0) {
        *pbRecognized = 1;
        *pValue = 0;
      }
    }
  } else if (rc != SQLITE_DONE) {
    QK_TRY(ctx, throw_native(ctx, api, db, rc));
  }
done:
  if (pStmt != NULL) api->finalize(pStmt);
  if (db != NULL) api->close(db);
  QK_free(ctx, sql);
}

/* ---- Literal checks and the translation ---------------------------------------------- */

static const char SCRATCH_TABLE_SQL[] = "CREATE TABLE foo (v %s);";
static const char SCRATCH_TRIGGER_SQL[] = "CREATE TRIGGER bar BEFORE INSERT ON foo\n"
                                          "BEGIN\n\n"
                                          "%s;\n"
                                          "END";
static const char SCRATCH_INSERT_SQL[] = "INSERT OR IGNORE INTO foo (v) VALUES (%s);";

void tav_defin__test_default_in_scratch_db(QK_context *ctx, const char *type, const char *literal,
                                           int *pbAccepted) {
  const znativesqlite_api *api = znativesqlite__get_api();
  sqlite3 *db = NULL;
  QK_string *check = NULL;
  int rc;
  QK_ARG_NOT_NULL(ctx, type);
  QK_ARG_NOT_NULL(ctx, literal);
  QK_ARG_NOT_NULL(ctx, pbAccepted);
  rc = api->open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (rc != SQLITE_OK) QK_TRY(ctx, throw_native(ctx, api, db, rc));
  QK_TRY(ctx, tav_defin__native_exec(ctx, api, db, "BEGIN TRANSACTION"));
  QK_TRY(ctx, tav_defin__native_exec_printf(ctx, api, db, SCRATCH_TABLE_SQL, tav_defin__sqlite_affinity(type)));
  QK_TRY(ctx, tav_defin__constraint_check_sql(ctx, type, -1, -1, "v", &check));
  QK_TRY(ctx, tav_defin__native_exec_printf(ctx, api, db, SCRATCH_TRIGGER_SQL, QK_string__sz(check)));
  QK_TRY(ctx, tav_defin__native_exec_printf(ctx, api, db, SCRATCH_INSERT_SQL, literal));
  *pbAccepted = api->changes(db) == 1;
done:
  if (db != NULL) {
    if (!QK_context__has_error(ctx)) tav_defin__native_exec(ctx, api, db, "ROLLBACK TRANSACTION");
    api->close(db);
  }
  QK_RELEASE(ctx, QK_string__free(ctx, check));
}

/* A whole base-10 integer of 32 bits: blanks and a sign before it, nothing after it. */
static int parse_int32_literal(const char *literal, QK_int64 *pValue) {
  const char *p = literal;
  int negative = 0;
  QK_int64 value = 0;
  while (is_space((unsigned char)*p)) p++;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  if (!is_digit((unsigned char)*p)) return 0;
  for (; is_digit((unsigned char)*p); p++) {
    value = value * 10 + (*p - '0');
    if (value > (QK_int64)INT32_MAX + 1) return 0;
  }
  if (*p != '\0') return 0;
  if (negative) value = -value;
  if (value > INT32_MAX) return 0;
  *pValue = value;
  return 1;
}

void tav_defin__check_int_default(QK_context *ctx, const char *literal, const char *type, QK_int64 min,
                                  QK_int64 max, int *pbAccepted) {
  QK_int64 value = 0;
  QK_ARG_NOT_NULL(ctx, literal);
  QK_ARG_NOT_NULL(ctx, pbAccepted);
  if (parse_int32_literal(literal, &value)) {
    *pbAccepted = min <= value && value <= max;
  } else {
    QK_TRY(ctx, tav_defin__test_default_in_scratch_db(ctx, type, literal, pbAccepted));
  }
done:;
}

/* Ranges of the integer types. */
static const struct {
  const char *type;
  QK_int64 min, max;
} INTEGER_RANGES[] = {
    {"uint1", 0, 1},
    {"uint8", 0, 255},
    {"sint16", -32768, 32767},
    {"sint32", INT32_MIN, INT32_MAX},
    {"sint64", INT64_MIN, INT64_MAX},
    {"loose/int", INT64_MIN, INT64_MAX},
};

/* The client default of a function-call SQL Server default: the SQLite form of the
 * functions the clients can imitate. */
static const char *function_default(const char *type, const char *function) {
  int is_utc_now = function != NULL && (QK_stricmp(function, "GETUTCDATE") == 0 || QK_stricmp(function, "SYSUTCDATETIME") == 0);
  int is_new_id = function != NULL && (QK_stricmp(function, "NEWID") == 0 || QK_stricmp(function, "NEWSEQUENTIALID") == 0);
  if (strcmp(type, "guid") == 0) return is_new_id ? "(randomblob(16))" : NULL;
  if (strcmp(type, "date") == 0) return is_utc_now ? "(date('now'))" : NULL;
  if (strcmp(type, "datetime") == 0) return is_utc_now ? "(datetime('now'))" : NULL;
  if (strcmp(type, "time") == 0) return is_utc_now ? "(time('now'))" : NULL;
  return NULL;
}

static int type_is_one_of(const char *type, const char *const *names) {
  for (; *names; names++)
    if (strcmp(type, *names) == 0) return 1;
  return 0;
}

/* The literal L for a type, when L is present: sets *pszResult to a new text or leaves it. */
static void literal_default(QK_context *ctx, const char *type, QK_uint8 scale, const char *literal, char **pszResult) {
  static const char *const money[] = {"money8", "money4", NULL};
  static const char *const scratch_tested[] = {"date", "datetime", "time", "real8", "real4", "loose/real", NULL};
  static const char *const never[] = {"identity", "guid", "blob", "loose/blob", NULL};
  char digits[QK_INT64_SZ_SIZE];
  QK_int64 scaled = 0;
  int accepted = 0;
  if (type_is_one_of(type, money) || strcmp(type, "decimal") == 0) {
    QK_TRY(ctx, tav_defin__decimal_to_scaled_int64(ctx, literal, type_is_one_of(type, money) ? 4 : scale, &scaled));
    QK_TRY(ctx, QK_strdup(ctx, QK_int64__to_sz(scaled, digits), pszResult));
    goto done;
  }
  if (type_is_one_of(type, never)) goto done;
  if (type_is_one_of(type, scratch_tested)) {
    QK_TRY(ctx, tav_defin__test_default_in_scratch_db(ctx, type, literal, &accepted));
    if (accepted) QK_TRY(ctx, QK_strdup(ctx, literal, pszResult));
    goto done;
  }
  for (const auto &range : INTEGER_RANGES) {
    if (strcmp(type, range.type) != 0) continue;
    tav_defin__check_int_default(ctx, literal, type, range.min, range.max, &accepted);
    if (QK_context__has_error(ctx) && strcmp(type, "uint1") == 0) {
      /* A bit column may default to the texts 'True' and 'False' as well. */
      int recognized = 0, value = 0;
      QK_context__push_level(ctx);
      tav_defin__eval_bool_default(ctx, literal, &recognized, &value);
      QK_context__pop_level(ctx);
      if (!recognized) QK_CHECK(ctx);
      QK_context__reset_error(ctx);
      QK_TRY(ctx, QK_strdup(ctx, value ? "1" : "0", pszResult));
      goto done;
    }
    QK_CHECK(ctx);
    if (accepted) QK_TRY(ctx, QK_strdup(ctx, literal, pszResult));
    goto done;
  }
  /* "text", "loose/text" and every other name ("host") keep L as it is. */
  QK_TRY(ctx, QK_strdup(ctx, literal, pszResult));
done:;
}

void tav_defin__translate_default_for_type(QK_context *ctx, const char *type, QK_uint8 scale,
                                           const char *sql_default, char **pszDefault) {
  char *literal = NULL, *function = NULL, *result = NULL;
  const char *constant;
  QK_ARG_NOT_NULL(ctx, type);
  QK_ARG_NOT_NULL(ctx, sql_default);
  QK_ARG_NOT_NULL(ctx, pszDefault);
  QK_TRY(ctx, tav_defin__default_literal(ctx, sql_default, &literal));
  if (literal != NULL && QK_stricmp(literal, "NULL") == 0) {
    result = literal;
    literal = NULL;
  } else if (literal != NULL) {
    QK_TRY(ctx, literal_default(ctx, type, scale, literal, &result));
  } else if (strcmp(type, "blob") == 0 || strcmp(type, "loose/blob") == 0) {
    QK_TRY(ctx, tav_defin__default_hex_literal(ctx, sql_default, &result));
  } else {
    QK_TRY(ctx, tav_defin__default_function_name(ctx, sql_default, &function));
    constant = function_default(type, function);
    if (constant != NULL) QK_TRY(ctx, QK_strdup(ctx, constant, &result));
  }
  *pszDefault = result;
  result = NULL;
done:
  QK_free(ctx, literal);
  QK_free(ctx, function);
  QK_free(ctx, result);
}

void tav_defin__translate_default(QK_context *ctx, tav_defin *psk, const char *tbl_id, const char *col_id,
                                  const char *sql_default, char **pszDefault) {
  const char *type = NULL;
  QK_int32 scale = 0;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_TRY(ctx, tav_defin__get_column_type(ctx, psk, tbl_id, col_id, &type, NULL));
  if (type == NULL) QK_THROW_MSG(ctx, QK_ERR_VHASH_KEY_NOT_FOUND, "name");
  if (strcmp(type, "money8") == 0 || strcmp(type, "money4") == 0) {
    scale = 4;
  } else if (strcmp(type, "decimal") == 0) {
    QK_TRY(ctx, tav_defin__get_scale(ctx, psk, tbl_id, col_id, &scale));
    if (scale < 0 || scale > UINT8_MAX) scale = 0;
  }
  tav_defin__translate_default_for_type(ctx, type, (QK_uint8)scale, sql_default, pszDefault);
  if (QK_context__has_error(ctx)) {
    /* A refused default fails the schema reflection: say which column it belongs to. */
    char *line = QK_sz__format_alloc("Default %s of column ID %s of table ID %s", sql_default ? sql_default : "(null)",
                                     col_id ? col_id : "(null)", tbl_id ? tbl_id : "(null)");
    if (line != NULL) tav_err__prefix_message(ctx, line);
    QK_free_noctx(line);
    QK_CHECK(ctx);
  }
done:;
}

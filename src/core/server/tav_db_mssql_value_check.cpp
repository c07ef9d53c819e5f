/* Pushed values against the forms their columns' bindings read: integers (also the scaled
 * decimals and money) within the type's range, numbers for the floating types (no subnormal
 * ones, which SQL Server refuses as parameters), well-formed UTF-8 texts, date and time texts
 * in the forms SQL Server converts for the column's type, blobs, and identity key texts. */
#include "server/tav_db_mssql_value_check.h"

#include <float.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_string.h"
#include "qk/qk_utf8.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_db_mssql_values.h"

#define REAL4_MAX 3.4028234663852886e38

typedef enum {
  FORM_INTEGER,
  FORM_NUMBER,
  FORM_TEXT,
  FORM_KEY_TEXT,
  FORM_DATE,
  FORM_TIME,
  FORM_DATETIME,
  FORM_OLD_DATETIME, /* datetime and smalldatetime, which take no offset */
  FORM_BLOB,
  FORM_GUID
} value_form_kind;

typedef struct value_form {
  value_form_kind kind;
  QK_int64 min, max; /* integers */
  double maxMagnitude; /* numbers */
  int bNotNull;
  const char *pszName;
  const char *pszType;
} value_form;

static const char *form_text(value_form_kind kind) {
  switch (kind) {
    case FORM_INTEGER: return "an integer";
    case FORM_NUMBER: return "a real or an integer";
    case FORM_TEXT: return "a UTF-8 text";
    case FORM_KEY_TEXT: return "an identity key text (\"C:\" or \"S:\" and an integer)";
    case FORM_DATE: return "a date text (YYYY-MM-DD or YYYYMMDD, a time of day may follow)";
    case FORM_TIME: return "a time text (hh:mm[:ss[.fraction]], up to 7 fraction digits, then Z or an offset)";
    case FORM_DATETIME:
      return "a date and time text (YYYY-MM-DD or YYYYMMDD[ hh:mm[:ss[.fraction]]], YYYY-MM-DDThh:mm[:ss["
             ".fraction]], then Z or an offset)";
    case FORM_OLD_DATETIME:
      return "a date and time text (YYYY-MM-DD or YYYYMMDD[ hh:mm[:ss[.fraction]]], YYYY-MM-DDThh:mm[:ss["
             ".fraction]], YYYY-MM-DDThh:mm:ss[.fraction]Z)";
    case FORM_BLOB: return "a blob";
    case FORM_GUID: return "a blob of 16 bytes";
  }
  return "";
}

/* The integer range of the integer types; decimals by their precision. */
static void integer_range(QK_context *ctx, tav_defin *psk, const char *pszTblId, const char *pszColId,
                          const char *pszType, value_form *f) {
  QK_int32 precision = -1;
  f->min = INT64_MIN;
  f->max = INT64_MAX;
  if (strcmp(pszType, "uint1") == 0) {
    f->min = 0, f->max = 1;
  } else if (strcmp(pszType, "uint8") == 0) {
    f->min = 0, f->max = 255;
  } else if (strcmp(pszType, "sint16") == 0) {
    f->min = -32768, f->max = 32767;
  } else if (strcmp(pszType, "sint32") == 0 || strcmp(pszType, "money4") == 0) {
    f->min = INT32_MIN, f->max = INT32_MAX;
  } else if (strcmp(pszType, "decimal") == 0) {
    QK_TRY(ctx, tav_defin__get_precision(ctx, psk, pszTblId, pszColId, &precision));
    if (precision >= 1 && precision <= 18) {
      f->max = 9;
      for (QK_int32 i = 1; i < precision; i++) f->max = f->max * 10 + 9;
      f->min = -f->max;
    }
  }
done:;
}

static void column_form(QK_context *ctx, tav_defin *psk, const char *pszTblId, const char *pszName,
                        value_form *f) {
  const char *pszColId = NULL, *pszType = NULL, *pszIdentityTbl = NULL, *pszIdentityCol = NULL, *pszHost = NULL;
  QK_vhash *pRecord = NULL;
  memset(f, 0, sizeof *f);
  f->pszName = pszName;
  QK_TRY(ctx, tav_defin__get_column_id(ctx, psk, pszTblId, pszName, &pszColId));
  if (pszColId == NULL)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "package column \"%s\" is not a column of the table", pszName);
  QK_TRY(ctx, tav_defin__get_column_type(ctx, psk, pszTblId, pszColId, &pszType, NULL));
  f->pszType = pszType != NULL ? pszType : "";
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, pszTblId, pszColId, &pRecord));
  QK_TRY(ctx, QK_vhash__has(ctx, pRecord, "notnull", &f->bNotNull));
  QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, psk, pszTblId, pszColId, &pszIdentityTbl, &pszIdentityCol));
  if (pszIdentityCol != NULL) {
    /* A server key ("S:") goes into the column as it is, so it must fit the column's type. */
    f->kind = FORM_KEY_TEXT;
    QK_TRY(ctx, integer_range(ctx, psk, pszTblId, pszColId, f->pszType, f));
  } else if (strcmp(f->pszType, "real8") == 0 || strcmp(f->pszType, "real4") == 0) {
    f->kind = FORM_NUMBER;
    f->maxMagnitude = strcmp(f->pszType, "real4") == 0 ? REAL4_MAX : HUGE_VAL;
  } else if (strcmp(f->pszType, "text") == 0) {
    f->kind = FORM_TEXT;
  } else if (strcmp(f->pszType, "date") == 0) {
    f->kind = FORM_DATE;
  } else if (strcmp(f->pszType, "time") == 0) {
    f->kind = FORM_TIME;
  } else if (strcmp(f->pszType, "datetime") == 0) {
    /* datetime and smalldatetime are recorded with the column; datetime2 is not. */
    QK_TRY(ctx, tav_defin__get_collation(ctx, psk, pszTblId, pszColId, &pszHost));
    f->kind = pszHost != NULL ? FORM_OLD_DATETIME : FORM_DATETIME;
  } else if (strcmp(f->pszType, "guid") == 0) {
    f->kind = FORM_GUID;
  } else if (strcmp(f->pszType, "blob") == 0) {
    f->kind = FORM_BLOB;
  } else {
    /* identity, the integer types, decimal and money; anything else fails at its binding. */
    f->kind = FORM_INTEGER;
    QK_TRY(ctx, integer_range(ctx, psk, pszTblId, pszColId, f->pszType, f));
  }
done:;
}

/* Whether SQL Server converts the text to the column's type. Every type takes a date, a time
 * or both (the missing part defaulted) with Z or an offset after the time, except datetime and
 * smalldatetime: they take no offset, and Z only after the ISO 8601 form with seconds. */
static int is_datetime_form(value_form_kind kind, const char *p, size_t len) {
  tav_datetime_text t;
  if (!tav_db_mssql__parse_datetime_text(p, len, &t)) return 0;
  if (kind != FORM_OLD_DATETIME || t.zone == 0) return 1;
  return t.zone == 'Z' && t.bIsoSeparator && t.bSeconds;
}

/* "C:" or "S:", an optional "-" and up to 19 digits of a 64-bit value; *pValue the value. */
static int is_key_text(const char *p, size_t len, QK_int64 *pValue) {
  QK_uint64 v = 0;
  size_t i = 2, digits = 0;
  int bNegative;
  if (len < 3 || (p[0] != 'C' && p[0] != 'S') || p[1] != ':') return 0;
  bNegative = p[2] == '-';
  if (bNegative) i++;
  for (; i < len; i++, digits++) {
    if (p[i] < '0' || p[i] > '9' || digits >= 19) return 0;
    v = v * 10 + (QK_uint64)(p[i] - '0');
  }
  if (digits == 0 || v > (bNegative ? (QK_uint64)INT64_MAX + 1 : (QK_uint64)INT64_MAX)) return 0;
  *pValue = bNegative ? (QK_int64)(0 - v) : (QK_int64)v;
  return 1;
}

/* NULL when the value has its column's form, else what was found instead. */
static const char *value_problem(sqlite3_stmt *pStmt, int col, const value_form *f, char *pBuf, size_t size) {
  int type = sqlite3_column_type(pStmt, col);
  const char *psz = NULL;
  size_t len = 0;
  QK_int64 i = 0;
  double d = 0;
  if (type == SQLITE_NULL) return f->bNotNull ? "NULL in a NOT NULL column" : NULL;
  switch (f->kind) {
    case FORM_INTEGER:
      if (type != SQLITE_INTEGER) break;
      i = sqlite3_column_int64(pStmt, col);
      if (i >= f->min && i <= f->max) return NULL;
      snprintf(pBuf, size, "the integer %lld, out of the type's range", (long long)i);
      return pBuf;
    case FORM_NUMBER:
      if (type == SQLITE_INTEGER) return NULL;
      if (type != SQLITE_FLOAT) break;
      d = sqlite3_column_double(pStmt, col);
      if (isfinite(d) && fabs(d) <= f->maxMagnitude && (d == 0 || fabs(d) >= DBL_MIN)) return NULL;
      snprintf(pBuf, size, "the real %g, %s", d,
               isfinite(d) && fabs(d) < DBL_MIN ? "a subnormal number SQL Server refuses" : "out of the type's range");
      return pBuf;
    case FORM_BLOB:
      if (type == SQLITE_BLOB) return NULL;
      break;
    case FORM_GUID:
      if (type != SQLITE_BLOB) break;
      if (sqlite3_column_bytes(pStmt, col) == 16) return NULL;
      snprintf(pBuf, size, "a blob of %d bytes", sqlite3_column_bytes(pStmt, col));
      return pBuf;
    default:
      if (type != SQLITE_TEXT) break;
      psz = (const char *)sqlite3_column_text(pStmt, col);
      len = (size_t)sqlite3_column_bytes(pStmt, col);
      if (!QK_utf8__is_well_formed(psz, (QK_uint32)len)) return "a text that is not UTF-8";
      if (f->kind == FORM_KEY_TEXT && is_key_text(psz, len, &i) && psz[0] == 'S' && (i < f->min || i > f->max)) {
        snprintf(pBuf, size, "the server key %lld, out of the type's range", (long long)i);
        return pBuf;
      }
      if (f->kind == FORM_TEXT || (f->kind == FORM_KEY_TEXT && is_key_text(psz, len, &i)) ||
          ((f->kind == FORM_DATE || f->kind == FORM_TIME || f->kind == FORM_DATETIME ||
            f->kind == FORM_OLD_DATETIME) &&
           is_datetime_form(f->kind, psz, len)))
        return NULL;
      snprintf(pBuf, size, "the text '%.*s'%s", len > 40 ? 40 : (int)len, psz, len > 40 ? "..." : "");
      return pBuf;
  }
  switch (type) {
    case SQLITE_INTEGER: return "an integer";
    case SQLITE_FLOAT: return "a real";
    case SQLITE_TEXT: return "a text";
    default: return "a blob";
  }
}

void tav_db_mssql__check_package_values(QK_context *ctx, sqlite3 *pPkgDb, tav_defin *psk, const char *pszTblId,
                                        QK_vhash *pColumns, int bNotNull) {
  QK_string *pSelect = NULL;
  sqlite3_stmt *pStmt = NULL;
  value_form *pForms = NULL;
  QK_uint32 count = 0;
  const char *pszName = NULL, *pszProblem = NULL;
  char szProblem[128], szRid[QK_GUID_SZ_SIZE];
  int rc;
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_ARG_NOT_NULL(ctx, pColumns);
  QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &count));
  if (count == 0) goto done;
  QK_TRY(ctx, QK_alloc(ctx, count, sizeof *pForms, &pForms));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumns, i, &pszName, NULL));
    QK_TRY(ctx, column_form(ctx, psk, pszTblId, pszName, &pForms[i]));
    pForms[i].bNotNull = pForms[i].bNotNull && bNotNull;
  }
  QK_TRY(ctx, tav_defin__tsql_select_list(ctx, 0, psk, pszTblId, pColumns, NULL, "u", 0, 0, &pSelect));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pPkgDb, &pStmt, "SELECT z_rid, %s FROM \"p$u$%s\" u",
                                        QK_string__sz(pSelect), pszTblId));
  while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW) {
    for (QK_uint32 i = 0; i < count; i++) {
      pszProblem = value_problem(pStmt, (int)i + 1, &pForms[i], szProblem, sizeof szProblem);
      if (pszProblem == NULL) continue;
      if (sqlite3_column_bytes(pStmt, 0) == 16)
        QK_guid__to_sz((const QK_uint8 *)sqlite3_column_blob(pStmt, 0), szRid);
      else
        snprintf(szRid, sizeof szRid, "(none)");
      QK_THROW_FMT(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400),
                   "Malformed package. Row id %s, column \"%s\" (%s): %s where %s is expected.", szRid,
                   pForms[i].pszName, pForms[i].pszType, pszProblem, form_text(pForms[i].kind));
    }
  }
  if (rc != SQLITE_DONE) QK_THROW(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, rc));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSelect));
  QK_free(ctx, pForms);
}

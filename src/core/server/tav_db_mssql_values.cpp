/* Value conversion of the SQL Server store: result rows into row documents and package rows,
 * package rows into ODBC parameters, and the T-SQL types and temp tables derived from the
 * schema definition. */
#include "server/tav_db_mssql_values.h"

#include <stdio.h>
#include <string.h>

#include "common/tav_default_value.h"
#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "common/tav_utils.h"
#include "qk/qk_malloc.h"
#include "qksqlite/qk_sqlite.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_varray.h"
#include "server/tav_db_mssql.h"

#define FIRST_READ_BYTES 1000
#define TEXT_VALUE_SIZE 48
#define COLUMN_NAME_SIZE 257

/* The buffer handed out for an empty value: never freed. */
static QK_uint8 s_empty_bytes[1];

static int is_text_type(QK_int16 t) {
  return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_LONGVARCHAR || t == SQL_WCHAR || t == SQL_WVARCHAR ||
         t == SQL_WLONGVARCHAR;
}
static int is_decimal_type(QK_int16 t) { return t == SQL_NUMERIC || t == SQL_DECIMAL; }
static int is_integer_type(QK_int16 t) {
  return t == SQL_INTEGER || t == SQL_SMALLINT || t == SQL_BIGINT || t == SQL_TINYINT || t == SQL_BIT;
}
static int is_float_type(QK_int16 t) { return t == SQL_FLOAT || t == SQL_REAL || t == SQL_DOUBLE; }
static int is_binary_type(QK_int16 t) { return t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY; }
#define SQL_SS_UDT_TYPE (-151)

/* ---- Temp-table names ---- */

void tav_db_mssql__make_temp_name(QK_context *ctx, char *pBuf64, const char *pszKind, const char *pszKey) {
  char text[TAV_TEMP_NAME_SIZE];
  QK_uint8 random[31];
  size_t kept;
  int bytes;
  QK_ARG_NOT_NULL(ctx, pBuf64);
  QK_ARG_NOT_NULL(ctx, pszKind);
  QK_ARG_NOT_NULL(ctx, pszKey);
  snprintf(text, sizeof text, "%s_%s", pszKind, pszKey);
  kept = strnlen(text, 31);
  memset(pBuf64, 0, TAV_TEMP_NAME_SIZE);
  if (kept <= 30) {
    memcpy(pBuf64, text, kept);
    pBuf64[kept] = '_';
  } else {
    kept = 30;
    memcpy(pBuf64, text, kept);
    pBuf64[kept] = 't';
  }
  bytes = (62 - (int)kept) / 2;
  sqlite3_randomness(bytes, random);
  QK_hex__encode_buflen(pBuf64 + kept + 1, random, (QK_uint32)bytes);
done:;
}

/* ---- Reading columns ---- */

void tav_db_mssql__get_bytes(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_uint32 *pLen, QK_uint8 **ppBuf) {
  QK_uint8 first[FIRST_READ_BYTES];
  QK_uint8 *pBuf = NULL;
  QK_uint64 size, have;
  SQLLEN ind = 0;
  SQLRETURN rc;
  QK_ARG_NOT_NULL(ctx, pLen);
  QK_ARG_NOT_NULL(ctx, ppBuf);
  *pLen = 0;
  *ppBuf = NULL;
  rc = QK_mssql__odbc()->GetData(hStmt, col, SQL_C_BINARY, first, sizeof first, &ind);
  if (!SQL_SUCCEEDED(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  if (ind == SQL_NULL_DATA) goto done;
  if (ind == 0) {
    *ppBuf = s_empty_bytes;
    goto done;
  }
  if (ind > 0 && ind <= (SQLLEN)sizeof first) {
    QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)ind, &pBuf));
    memcpy(pBuf, first, (size_t)ind);
    have = (QK_uint64)ind;
  } else {
    /* A known total is read in one more call; without one the buffer doubles until the
     * driver reports the last piece. */
    size = ind > 0 ? (QK_uint64)ind : 2 * sizeof first;
    have = sizeof first;
    for (;;) {
      SQLLEN indRest = 0;
      if (size > 0x7FFFFFFFull) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
      QK_uint8 *pGrown = NULL;
      QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)size, &pGrown));
      memcpy(pGrown, pBuf != NULL ? pBuf : first, (size_t)have);
      QK_free(ctx, pBuf);
      pBuf = pGrown;
      rc = QK_mssql__odbc()->GetData(hStmt, col, SQL_C_BINARY, pBuf + have, (SQLLEN)(size - have), &indRest);
      if (!SQL_SUCCEEDED(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
      if (indRest != SQL_NO_TOTAL && indRest >= 0 && (QK_uint64)indRest <= size - have) {
        have += (QK_uint64)indRest;
        break;
      }
      have = size;
      size = indRest > 0 ? have + (QK_uint64)indRest : size * 2;
    }
  }
  *pLen = (QK_uint32)have;
  *ppBuf = pBuf;
  pBuf = NULL;
done:
  QK_free(ctx, pBuf);
}

void tav_db_mssql__free_bytes(QK_context *ctx, QK_uint8 **ppBuf) {
  if (ppBuf == NULL || *ppBuf == NULL) return;
  if (*ppBuf != s_empty_bytes) QK_free(ctx, *ppBuf);
  *ppBuf = NULL;
}

/* Date and time texts; a value that does not fit its layout raises 1. */
static void format_checked(QK_context *ctx, char *pBuf, const char *pszFormat, unsigned a, unsigned b, unsigned c,
                           unsigned d, unsigned e, unsigned f, unsigned g) {
  int n = snprintf(pBuf, TEXT_VALUE_SIZE, pszFormat, a, b, c, d, e, f, g);
  if (n < 0 || n >= TEXT_VALUE_SIZE) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
done:;
}

static void format_date(QK_context *ctx, const SQL_DATE_STRUCT *p, char *pBuf) {
  QK_TRY(ctx, format_checked(ctx, pBuf, "%04u-%02u-%02u", (unsigned)p->year, p->month, p->day, 0, 0, 0, 0));
done:;
}

static void format_timestamp(QK_context *ctx, const SQL_TIMESTAMP_STRUCT *p, QK_int16 digits, char *pBuf) {
  if (digits == 0)
    QK_TRY(ctx, format_checked(ctx, pBuf, "%04u-%02u-%02u %02u:%02u:%02u", (unsigned)p->year, p->month, p->day,
                               p->hour, p->minute, p->second, 0));
  else if (digits == 3)
    QK_TRY(ctx, format_checked(ctx, pBuf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", (unsigned)p->year, p->month,
                               p->day, p->hour, p->minute, p->second, p->fraction / 1000000));
  else
    QK_TRY(ctx, format_checked(ctx, pBuf, "%04u-%02u-%02u %02u:%02u:%02u.%07u", (unsigned)p->year, p->month,
                               p->day, p->hour, p->minute, p->second, p->fraction / 100));
done:;
}

static void format_time(QK_context *ctx, const QK_mssql_time2 *p, char *pBuf) {
  QK_TRY(ctx, format_checked(ctx, pBuf, "%02u:%02u:%02u.%07u", p->hour, p->minute, p->second, p->fraction / 100,
                             0, 0, 0));
done:;
}

/* {"len", "sha1", "hex"} of a byte string under the key. */
static void add_blob_object(QK_context *ctx, QK_vhash *pRow, const char *pszName, const QK_uint8 *pBytes,
                            QK_uint32 len) {
  QK_vhash *pObj = NULL;
  char szSha1[41];
  char *pszHex = NULL;
  QK_TRY(ctx, QK_malloc(ctx, len * 2 + 1, &pszHex));
  QK_hex__encode_buflen(pszHex, pBytes, len);
  QK_TRY(ctx, tav_sha1__buffer(ctx, pBytes, len, szSha1));
  QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pRow, pszName, &pObj));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pObj, "len", len));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pObj, "sha1", szSha1));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pObj, "hex", pszHex));
done:
  QK_free(ctx, pszHex);
}

/* One result column as a member of the row document; a NULL adds nothing. */
static void add_column_member(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, const char *pszName,
                              QK_int16 sqlType, QK_int16 digits, QK_vhash *pRow) {
  char *pszText = NULL;
  QK_uint8 *pBytes = NULL;
  QK_uint32 len = 0;
  char szValue[TEXT_VALUE_SIZE];
  SQLLEN ind = 0;
  if (is_text_type(sqlType)) {
    QK_TRY(ctx, QK_mssql__get__nstring__buflen(ctx, hStmt, col, &pszText, &len));
    if (pszText != NULL) QK_TRY(ctx, QK_vhash__add__text(ctx, pRow, pszName, pszText, len));
  } else if (is_decimal_type(sqlType)) {
    QK_int64 scaled = 0;
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, col, &pszText));
    if (pszText == NULL) goto done;
    QK_TRY(ctx, tav_defin__decimal_to_scaled_int64(ctx, pszText, (QK_uint8)digits, &scaled));
    QK_TRY(ctx, QK_vhash__add__int64(ctx, pRow, pszName, scaled));
  } else if (is_integer_type(sqlType)) {
    QK_int64 v = 0;
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, col, &v, &ind));
    if (ind != SQL_NULL_DATA) QK_TRY(ctx, QK_vhash__add__int64(ctx, pRow, pszName, v));
  } else if (is_float_type(sqlType)) {
    double v = 0;
    QK_TRY(ctx, QK_mssql__get__double(ctx, hStmt, col, &v, &ind));
    if (ind != SQL_NULL_DATA) QK_TRY(ctx, QK_vhash__add__double(ctx, pRow, pszName, v));
  } else if (sqlType == SQL_TYPE_DATE) {
    SQL_DATE_STRUCT d;
    QK_TRY(ctx, QK_mssql__get__date(ctx, hStmt, col, &d, &ind));
    if (ind == SQL_NULL_DATA) goto done;
    QK_TRY(ctx, format_date(ctx, &d, szValue));
    QK_TRY(ctx, QK_vhash__add__string(ctx, pRow, pszName, szValue));
  } else if (sqlType == SQL_TYPE_TIMESTAMP) {
    SQL_TIMESTAMP_STRUCT ts;
    QK_TRY(ctx, QK_mssql__get__timestamp(ctx, hStmt, col, &ts, &ind));
    if (ind == SQL_NULL_DATA) goto done;
    QK_TRY(ctx, format_timestamp(ctx, &ts, digits, szValue));
    QK_TRY(ctx, QK_vhash__add__string(ctx, pRow, pszName, szValue));
  } else if (sqlType == QK_MSSQL_SQL_SS_TIME2) {
    QK_mssql_time2 t;
    QK_TRY(ctx, QK_mssql__get__time(ctx, hStmt, col, &t, &ind));
    if (ind == SQL_NULL_DATA) goto done;
    QK_TRY(ctx, format_time(ctx, &t, szValue));
    QK_TRY(ctx, QK_vhash__add__string(ctx, pRow, pszName, szValue));
  } else if (sqlType == SQL_GUID || is_binary_type(sqlType) || sqlType == SQL_SS_UDT_TYPE) {
    QK_TRY(ctx, tav_db_mssql__get_bytes(ctx, hStmt, col, &len, &pBytes));
    if (pBytes != NULL) QK_TRY(ctx, add_blob_object(ctx, pRow, pszName, pBytes, len));
  } else {
    QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "unsupported mssql data type: %d", (int)sqlType);
  }
done:
  QK_free(ctx, pszText);
  tav_db_mssql__free_bytes(ctx, &pBytes);
}

/* One described column of the current row into the row document: an internal column is left
 * out, z_rid going to pRid16 (opt) when 16 bytes. */
static void add_described_member(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, const char *pszName,
                                 QK_int16 sqlType, QK_int16 digits, QK_vhash *pRow, QK_uint8 *pRid16) {
  QK_uint8 *pBytes = NULL;
  QK_uint32 len = 0;
  if (!tav_pkg__is_internal_column(pszName)) {
    QK_TRY(ctx, add_column_member(ctx, hStmt, col, pszName, sqlType, digits, pRow));
  } else if (pRid16 != NULL && strcmp(pszName, "z_rid") == 0) {
    QK_TRY(ctx, tav_db_mssql__get_bytes(ctx, hStmt, col, &len, &pBytes));
    if (len == 16) memcpy(pRid16, pBytes, 16);
  }
done:
  tav_db_mssql__free_bytes(ctx, &pBytes);
}

void tav_db_mssql__row_to_vhash(QK_context *ctx, SQLHSTMT hStmt, QK_vhash **ppRow, QK_uint8 *pRid16) {
  QK_vhash *pNew = NULL;
  QK_vhash *pRow;
  QK_int16 count = 0, nameLen = 0, sqlType = 0, digits = 0, nullable = 0;
  SQLULEN size = 0;
  char szName[COLUMN_NAME_SIZE];
  QK_ARG_NOT_NULL(ctx, ppRow);
  if (*ppRow == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &pNew));
  pRow = *ppRow != NULL ? *ppRow : pNew;
  QK_TRY(ctx, QK_mssql__num_result_cols(ctx, hStmt, &count));
  for (QK_uint16 col = 1; col <= (QK_uint16)count; col++) {
    QK_TRY(ctx, QK_mssql__describe_col(ctx, hStmt, col, szName, sizeof szName, &nameLen, &sqlType, &size, &digits,
                                       &nullable));
    QK_TRY(ctx, add_described_member(ctx, hStmt, col, szName, sqlType, digits, pRow, pRid16));
  }
  if (pNew != NULL) {
    *ppRow = pNew;
    pNew = NULL;
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pNew));
}

struct tav_row_shape {
  QK_uint16 countCols;
  char **ppszNames;   /* owned, countCols names */
  QK_int16 *pTypes;   /* owned, countCols ODBC SQL types */
  QK_int16 *pDigits;  /* owned, countCols decimal digits */
};

void tav_db_mssql__describe_row_shape(QK_context *ctx, SQLHSTMT hStmt, tav_row_shape **ppShape) {
  tav_row_shape *pNew = NULL;
  QK_int16 count = 0, nameLen = 0, nullable = 0;
  SQLULEN size = 0;
  char szName[COLUMN_NAME_SIZE];
  QK_ARG_NOT_NULL(ctx, ppShape);
  *ppShape = NULL;
  QK_TRY(ctx, QK_mssql__num_result_cols(ctx, hStmt, &count));
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_row_shape), &pNew));
  if (count > 0) {
    QK_TRY(ctx, QK_alloc(ctx, (QK_uint32)count, sizeof(char *), &pNew->ppszNames));
    QK_TRY(ctx, QK_alloc(ctx, (QK_uint32)count, sizeof(QK_int16), &pNew->pTypes));
    QK_TRY(ctx, QK_alloc(ctx, (QK_uint32)count, sizeof(QK_int16), &pNew->pDigits));
  }
  for (QK_uint16 col = 1; col <= (QK_uint16)count; col++) {
    QK_TRY(ctx, QK_mssql__describe_col(ctx, hStmt, col, szName, sizeof szName, &nameLen, &pNew->pTypes[col - 1],
                                       &size, &pNew->pDigits[col - 1], &nullable));
    QK_TRY(ctx, QK_strdup(ctx, szName, &pNew->ppszNames[col - 1]));
    pNew->countCols = col;
  }
  *ppShape = pNew;
  pNew = NULL;
done:
  tav_db_mssql__free_row_shape(ctx, &pNew);
}

void tav_db_mssql__shaped_row_to_vhash(QK_context *ctx, SQLHSTMT hStmt, const tav_row_shape *pShape,
                                       QK_vhash *pRow, QK_uint8 *pRid16) {
  QK_ARG_NOT_NULL(ctx, pShape);
  QK_ARG_NOT_NULL(ctx, pRow);
  for (QK_uint16 i = 0; i < pShape->countCols; i++)
    QK_TRY(ctx, add_described_member(ctx, hStmt, (QK_uint16)(i + 1), pShape->ppszNames[i], pShape->pTypes[i],
                                     pShape->pDigits[i], pRow, pRid16));
done:;
}

void tav_db_mssql__free_row_shape(QK_context *ctx, tav_row_shape **ppShape) {
  if (ppShape == NULL || *ppShape == NULL) return;
  for (QK_uint16 i = 0; i < (*ppShape)->countCols; i++) QK_free(ctx, (*ppShape)->ppszNames[i]);
  QK_free(ctx, (*ppShape)->ppszNames);
  QK_free(ctx, (*ppShape)->pTypes);
  QK_free(ctx, (*ppShape)->pDigits);
  QK_free(ctx, *ppShape);
  *ppShape = NULL;
}

/* ---- Collections ---- */

void tav_db_mssql__alloc_column_array(QK_context *ctx, QK_uint16 count, tav_col_collection **ppColl) {
  tav_col_collection *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppColl);
  *ppColl = NULL;
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_col_collection), &pNew));
  if (count > 0) QK_TRY(ctx, QK_alloc(ctx, count, sizeof(tav_col_binding), &pNew->pBindings));
  pNew->countCols = count;
  *ppColl = pNew;
  pNew = NULL;
done:
  tav_db_mssql__free_column_array(ctx, &pNew);
}

void tav_db_mssql__describe_result(QK_context *ctx, SQLHSTMT hStmt, tav_col_collection **ppColl) {
  tav_col_collection *pNew = NULL;
  QK_int16 count = 0, nameLen = 0, nullable = 0;
  char szName[COLUMN_NAME_SIZE];
  QK_ARG_NOT_NULL(ctx, ppColl);
  *ppColl = NULL;
  QK_TRY(ctx, QK_mssql__num_result_cols(ctx, hStmt, &count));
  QK_TRY(ctx, tav_db_mssql__alloc_column_array(ctx, (QK_uint16)count, &pNew));
  for (QK_int32 i = 0; i < pNew->countCols; i++) {
    tav_col_binding *b = &pNew->pBindings[i];
    QK_TRY(ctx, QK_mssql__describe_col(ctx, hStmt, (QK_uint16)(i + 1), szName, sizeof szName, &nameLen,
                                       &b->sqlType, &b->columnSize, &b->decimalDigits, &nullable));
  }
  *ppColl = pNew;
  pNew = NULL;
done:
  tav_db_mssql__free_column_array(ctx, &pNew);
}

/* Releases what a binding holds from the previous row. */
static void clear_binding_buffers(QK_context *ctx, tav_col_binding *b) {
  QK_free(ctx, b->pwszText);
  b->pwszText = NULL;
  QK_mssql__free_put_data(ctx, &b->pBlob);
}

void tav_db_mssql__free_column_array(QK_context *ctx, tav_col_collection **ppColl) {
  tav_col_collection *pColl;
  if (ppColl == NULL || *ppColl == NULL) return;
  pColl = *ppColl;
  for (QK_int32 i = 0; pColl->pBindings != NULL && i < pColl->countCols; i++)
    clear_binding_buffers(ctx, &pColl->pBindings[i]);
  QK_free(ctx, pColl->pBindings);
  QK_free(ctx, pColl);
  *ppColl = NULL;
}

/* ---- Bindings from the schema definition ---- */

static void column_id_of(QK_context *ctx, tav_defin *psk, const char *pszTblId, const char *pszName,
                         const char **ppszColId) {
  QK_TRY(ctx, tav_defin__get_column_id(ctx, psk, pszTblId, pszName, ppszColId));
  if (*ppszColId == NULL)
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "col name '%s' not found in tbl id '%s' in schema", pszName, pszTblId);
done:;
}

/* Whether the column is an identity column or an integer column that refers to one. */
static void resolves_to_identity(QK_context *ctx, tav_defin *psk, const char *pszTblId, const char *pszColId,
                                 int *pbIdentity) {
  const char *pszIdTbl = NULL, *pszIdCol = NULL;
  QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, psk, pszTblId, pszColId, &pszIdTbl, &pszIdCol));
  *pbIdentity = pszIdCol != NULL;
done:;
}

/* The abstract types whose SQL type and T-SQL type need nothing but their name. */
typedef struct simple_type_entry {
  const char *pszName;
  QK_int16 sqlType;
  QK_int16 decimalDigits;
  const char *pszTsql;
} simple_type_entry;

static const simple_type_entry s_simple_types[] = {
    {"identity", SQL_BIGINT, 0, "bigint"},     {"sint64", SQL_BIGINT, 0, "bigint"},
    {"sint32", SQL_INTEGER, 0, "integer"},     {"sint16", SQL_SMALLINT, 0, "smallint"},
    {"uint8", SQL_TINYINT, 0, "tinyint"},      {"uint1", SQL_BIT, 0, "bit"},
    {"money8", SQL_DECIMAL, 4, "money"},       {"money4", SQL_DECIMAL, 4, "smallmoney"},
    {"real8", SQL_DOUBLE, 0, "float"},         {"real4", SQL_REAL, 0, "real"},
    {"date", SQL_TYPE_DATE, 0, "date"},        {"guid", SQL_GUID, 0, "uniqueidentifier"},
    {"time", QK_MSSQL_SQL_SS_TIME2, 0, "time"},
};

static const simple_type_entry *simple_type(const char *pszType) {
  for (const simple_type_entry &e : s_simple_types)
    if (strcmp(e.pszName, pszType) == 0) return &e;
  return NULL;
}

static void set_binding_type(QK_context *ctx, tav_col_binding *b, tav_defin *psk, const char *pszTblId,
                             const char *pszColId) {
  const simple_type_entry *pSimple;
  const char *pszType = NULL;
  int bFixedPresent = 0, bFixed = 0, bUnicodePresent = 0, bUnicode = 0;
  QK_int32 width = -1, scale = -1;
  QK_TRY(ctx, tav_defin__get_column_type(ctx, psk, pszTblId, pszColId, &pszType, NULL));
  if (pszType == NULL) pszType = "";
  b->columnSize = 0;
  b->decimalDigits = 0;
  if ((pSimple = simple_type(pszType)) != NULL) {
    b->sqlType = pSimple->sqlType;
    b->decimalDigits = pSimple->decimalDigits;
  } else if (strcmp(pszType, "text") == 0) {
    QK_TRY(ctx, tav_defin__get_width(ctx, psk, pszTblId, pszColId, &width));
    QK_TRY(ctx, tav_defin__get_fixed_width(ctx, psk, pszTblId, pszColId, &bFixedPresent, &bFixed));
    QK_TRY(ctx, tav_defin__get_unicode(ctx, psk, pszTblId, pszColId, &bUnicodePresent, &bUnicode));
    QK_VERIFY(ctx, width >= 0);
    if (width == 0)
      b->sqlType = bUnicode ? SQL_WLONGVARCHAR : SQL_LONGVARCHAR;
    else if (bFixed)
      b->sqlType = bUnicode ? SQL_WCHAR : SQL_CHAR;
    else
      b->sqlType = bUnicode ? SQL_WVARCHAR : SQL_VARCHAR;
    b->columnSize = (SQLULEN)width;
  } else if (strcmp(pszType, "blob") == 0) {
    QK_TRY(ctx, tav_defin__get_width(ctx, psk, pszTblId, pszColId, &width));
    QK_TRY(ctx, tav_defin__get_fixed_width(ctx, psk, pszTblId, pszColId, &bFixedPresent, &bFixed));
    if (bFixed)
      b->sqlType = SQL_BINARY;
    else if (width <= 0)
      b->sqlType = SQL_LONGVARBINARY;
    else
      b->sqlType = SQL_VARBINARY;
    b->columnSize = width > 0 ? (SQLULEN)width : 0;
  } else if (strcmp(pszType, "decimal") == 0) {
    QK_TRY(ctx, tav_defin__get_scale(ctx, psk, pszTblId, pszColId, &scale));
    b->sqlType = SQL_DECIMAL;
    b->decimalDigits = (QK_int16)(scale > 0 ? scale : 0);
  } else if (strcmp(pszType, "datetime") == 0) {
    b->sqlType = SQL_TYPE_TIMESTAMP;
  } else {
    QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "unsupported abstract type: %s", pszType);
  }
done:;
}

void tav_db_mssql__set_bindings_from_defin(QK_context *ctx, tav_col_collection *pColl, int first,
                                           const QK_vhash *pColumnNames, tav_defin *psk, const char *pszTblId,
                                           int bIdentityKeysAsText) {
  QK_uint32 count = 0;
  const char *pszName = NULL, *pszColId = NULL;
  int bIdentity = 0;
  QK_ARG_NOT_NULL(ctx, pColl);
  QK_ARG_NOT_NULL(ctx, pColumnNames);
  QK_TRY(ctx, QK_vhash__count(ctx, pColumnNames, &count));
  QK_ARG_VALID(ctx, first, first >= 0 && (QK_int64)first + count <= pColl->countCols);
  for (QK_uint32 i = 0; i < count; i++) {
    tav_col_binding *b = &pColl->pBindings[first + i];
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumnNames, i, &pszName, NULL));
    QK_TRY(ctx, column_id_of(ctx, psk, pszTblId, pszName, &pszColId));
    bIdentity = 0;
    if (bIdentityKeysAsText) QK_TRY(ctx, resolves_to_identity(ctx, psk, pszTblId, pszColId, &bIdentity));
    if (bIdentity) {
      b->sqlType = SQL_VARCHAR;
      b->columnSize = 25;
      b->decimalDigits = 0;
    } else {
      QK_TRY(ctx, set_binding_type(ctx, b, psk, pszTblId, pszColId));
    }
  }
done:;
}

/* ---- Package values as parameters ---- */

void tav_db_mssql__format_decimal(QK_context *ctx, QK_int64 value, int scale, char *pBuf) {
  char digits[QK_INT64_SZ_SIZE];
  QK_uint64 magnitude = value < 0 ? (QK_uint64)0 - (QK_uint64)value : (QK_uint64)value;
  const char *pszSign = value < 0 ? "-" : "";
  int n;
  QK_ARG_NOT_NULL(ctx, pBuf);
  QK_ARG_VALID(ctx, scale, scale >= 0 && scale <= 38);
  QK_uint64__to_sz(magnitude, digits);
  n = (int)strlen(digits);
  if (n > scale)
    snprintf(pBuf, TAV_DECIMAL_SZ_SIZE, "%s%.*s.%s", pszSign, n - scale, digits, digits + n - scale);
  else
    snprintf(pBuf, TAV_DECIMAL_SZ_SIZE, "%s0.%.*s%s", pszSign, scale - n, "00000000000000000000000000000000000000",
             digits);
done:;
}

QK_uint32 tav_db_mssql__parse_fraction(const char *psz) {
  const char *p = psz != NULL ? strchr(psz, '.') : NULL;
  QK_uint32 value = 0;
  int n = 0;
  if (p == NULL) return 0;
  /* Seven digits are 100 ns; more have no meaning for SQL Server. */
  for (p++; *p >= '0' && *p <= '9' && n < 7; p++, n++) value = value * 10 + (QK_uint32)(*p - '0');
  for (; n > 0 && n < 7; n++) value *= 10;
  return value;
}

static int all_digits(const char *p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i] < '0' || p[i] > '9') return 0;
  return 1;
}

static unsigned number_at(const char *p, size_t n) {
  unsigned v = 0;
  for (size_t i = 0; i < n; i++) v = v * 10 + (unsigned)(p[i] - '0');
  return v;
}

/* "YYYY-MM-DD" or "YYYYMMDD" at the start of p[0..len); the bytes read, 0 for none. */
static size_t read_date(const char *p, size_t len, tav_datetime_text *t) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  size_t n;
  unsigned last;
  if (len >= 10 && all_digits(p, 4) && p[4] == '-' && all_digits(p + 5, 2) && p[7] == '-' && all_digits(p + 8, 2)) {
    t->year = number_at(p, 4), t->month = number_at(p + 5, 2), t->day = number_at(p + 8, 2);
    n = 10;
  } else if (len >= 8 && all_digits(p, 8) && (len == 8 || !(p[8] >= '0' && p[8] <= '9'))) {
    t->year = number_at(p, 4), t->month = number_at(p + 4, 2), t->day = number_at(p + 6, 2);
    n = 8;
  } else {
    return 0;
  }
  if (t->year < 1 || t->month < 1 || t->month > 12 || t->day < 1) return 0;
  last = days[t->month - 1];
  if (t->month == 2 && t->year % 4 == 0 && (t->year % 100 != 0 || t->year % 400 == 0)) last = 29;
  return t->day <= last ? n : 0;
}

/* "hh:mm[:ss[.fraction]]" at the start of p[0..len); the bytes read, 0 for none. */
static size_t read_time(const char *p, size_t len, tav_datetime_text *t) {
  size_t n = 5, digits = 0;
  if (len < 5 || !all_digits(p, 2) || p[2] != ':' || !all_digits(p + 3, 2)) return 0;
  t->hour = number_at(p, 2), t->minute = number_at(p + 3, 2);
  if (t->hour > 23 || t->minute > 59) return 0;
  if (len >= 8 && p[5] == ':' && all_digits(p + 6, 2)) {
    t->second = number_at(p + 6, 2);
    t->bSeconds = 1;
    n = 8;
    if (t->second > 59) return 0;
    if (len > 8 && p[8] == '.') {
      while (9 + digits < len && p[9 + digits] >= '0' && p[9 + digits] <= '9') digits++;
      if (digits < 1 || digits > 7) return 0;
      t->fraction = tav_db_mssql__parse_fraction(p + 8);
      n = 9 + digits;
    }
  }
  return n;
}

/* "Z" or "+hh:mm"/"-hh:mm" (a blank before an offset allowed) at the start of p[0..len); the
 * bytes read, 0 for none. */
static size_t read_zone(const char *p, size_t len, tav_datetime_text *t) {
  size_t blank = len > 0 && p[0] == ' ' ? 1 : 0;
  unsigned hours, minutes;
  if (len >= 1 && p[0] == 'Z') {
    t->zone = 'Z';
    return 1;
  }
  p += blank, len -= blank;
  if (len < 6 || (p[0] != '+' && p[0] != '-') || !all_digits(p + 1, 2) || p[3] != ':' || !all_digits(p + 4, 2))
    return 0;
  hours = number_at(p + 1, 2), minutes = number_at(p + 4, 2);
  if (minutes > 59 || hours * 60 + minutes > 14 * 60) return 0;
  t->zone = p[0];
  return blank + 6;
}

int tav_db_mssql__parse_datetime_text(const char *p, size_t len, tav_datetime_text *pOut) {
  size_t n;
  if (p == NULL || pOut == NULL) return 0;
  memset(pOut, 0, sizeof *pOut);
  while (len > 0 && *p == ' ') p++, len--;
  while (len > 0 && p[len - 1] == ' ') len--;
  if ((n = read_date(p, len, pOut)) > 0) {
    pOut->bDate = 1;
    p += n, len -= n;
    if (len == 0) return 1;
    if (p[0] == 'T' && n == 10)
      pOut->bIsoSeparator = 1;
    else if (p[0] != ' ')
      return 0;
    p++, len--;
  }
  if ((n = read_time(p, len, pOut)) == 0) return 0;
  pOut->bTime = 1;
  p += n, len -= n;
  if (len > 0 && (n = read_zone(p, len, pOut)) > 0) p += n, len -= n;
  return len == 0;
}

static void bind_package_value(QK_context *ctx, sqlite3_stmt *pPkgStmt, int pkgCol, SQLHSTMT hStmt,
                               tav_col_binding *b, QK_uint16 ipar, int *pbNeedsData) {
  int sqliteType = sqlite3_column_type(pPkgStmt, pkgCol);
  const char *pszText = NULL;
  char szDecimal[TAV_DECIMAL_SZ_SIZE];
  QK_TRY(ctx, clear_binding_buffers(ctx, b));
  if (is_text_type(b->sqlType)) {
    /* A text goes with its length: a NUL character inside it is part of the value. */
    QK_uint32 len = 0;
    if (sqliteType != SQLITE_NULL) {
      pszText = (const char *)sqlite3_column_text(pPkgStmt, pkgCol);
      len = (QK_uint32)sqlite3_column_bytes(pPkgStmt, pkgCol);
    }
    if (b->columnSize == 0 && pszText != NULL)
      QK_TRY(ctx, QK_mssql__bind__nstring_max__buflen(ctx, hStmt, ipar, pszText, len, &b->indicator, &b->pwszText));
    else
      QK_TRY(ctx, QK_mssql__bind__nstring__buflen(ctx, hStmt, ipar, pszText, len, b->sqlType, &b->indicator,
                                                  &b->pwszText));
  } else if (is_decimal_type(b->sqlType)) {
    if (sqliteType != SQLITE_NULL)
      QK_TRY(ctx, tav_db_mssql__format_decimal(ctx, sqlite3_column_int64(pPkgStmt, pkgCol), b->decimalDigits,
                                               szDecimal));
    QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, ipar, sqliteType == SQLITE_NULL ? NULL : szDecimal,
                                        SQL_WVARCHAR, &b->indicator, &b->pwszText));
  } else if (is_integer_type(b->sqlType)) {
    if (sqliteType == SQLITE_NULL) {
      QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, ipar, SQL_C_SBIGINT, SQL_BIGINT, &b->indicator));
    } else {
      b->value.i64 = sqlite3_column_int64(pPkgStmt, pkgCol);
      QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, ipar, &b->value.i64));
    }
  } else if (is_float_type(b->sqlType)) {
    if (sqliteType == SQLITE_NULL) {
      QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, ipar, SQL_C_DOUBLE, SQL_DOUBLE, &b->indicator));
    } else {
      b->value.dbl = sqlite3_column_double(pPkgStmt, pkgCol);
      QK_TRY(ctx, QK_mssql__bind__double(ctx, hStmt, ipar, &b->value.dbl));
    }
  } else if (b->sqlType == SQL_TYPE_DATE || b->sqlType == SQL_TYPE_TIMESTAMP ||
             b->sqlType == QK_MSSQL_SQL_SS_TIME2) {
    tav_datetime_text t;
    pszText = sqliteType == SQLITE_NULL ? NULL : (const char *)sqlite3_column_text(pPkgStmt, pkgCol);
    if (pszText == NULL || pszText[0] == '\0') {
      SQLSMALLINT cType = b->sqlType == SQL_TYPE_DATE        ? SQL_C_TYPE_DATE
                          : b->sqlType == SQL_TYPE_TIMESTAMP ? SQL_C_TYPE_TIMESTAMP
                                                             : SQL_C_BINARY;
      QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, ipar, cType, b->sqlType, &b->indicator));
      goto done;
    }
    /* The parts a text leaves out take SQL Server's defaults (1900-01-01, midnight); a text of
     * no form leaves every field 0, which SQL Server refuses as a date. */
    if (tav_db_mssql__parse_datetime_text(pszText, (size_t)sqlite3_column_bytes(pPkgStmt, pkgCol), &t)) {
      if (!t.bDate) t.year = 1900, t.month = 1, t.day = 1;
    } else {
      memset(&t, 0, sizeof t);
    }
    if (b->sqlType == SQL_TYPE_DATE) {
      memset(&b->value.date, 0, sizeof b->value.date);
      b->value.date.year = (SQLSMALLINT)t.year;
      b->value.date.month = (SQLUSMALLINT)t.month;
      b->value.date.day = (SQLUSMALLINT)t.day;
      QK_TRY(ctx, QK_mssql__bind__date(ctx, hStmt, ipar, &b->value.date));
    } else if (b->sqlType == SQL_TYPE_TIMESTAMP) {
      memset(&b->value.timestamp, 0, sizeof b->value.timestamp);
      b->value.timestamp.year = (SQLSMALLINT)t.year;
      b->value.timestamp.month = (SQLUSMALLINT)t.month;
      b->value.timestamp.day = (SQLUSMALLINT)t.day;
      b->value.timestamp.hour = (SQLUSMALLINT)t.hour;
      b->value.timestamp.minute = (SQLUSMALLINT)t.minute;
      b->value.timestamp.second = (SQLUSMALLINT)t.second;
      b->value.timestamp.fraction = t.fraction * 100;
      QK_TRY(ctx, QK_mssql__bind__datetime(ctx, hStmt, ipar, &b->value.timestamp, &b->indicator));
    } else {
      memset(&b->value.time, 0, sizeof b->value.time);
      b->value.time.hour = (SQLUSMALLINT)t.hour;
      b->value.time.minute = (SQLUSMALLINT)t.minute;
      b->value.time.second = (SQLUSMALLINT)t.second;
      b->value.time.fraction = t.fraction * 100;
      QK_TRY(ctx, QK_mssql__bind__time(ctx, hStmt, ipar, &b->value.time, &b->indicator));
    }
  } else if (b->sqlType == SQL_GUID) {
    const void *pBytes = sqlite3_column_blob(pPkgStmt, pkgCol);
    int len = sqlite3_column_bytes(pPkgStmt, pkgCol);
    if (len == 0) {
      QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, ipar, SQL_C_CHAR, SQL_CHAR, &b->indicator));
    } else {
      if (len != 16) QK_THROW_FMT(ctx, TAV_ERR_MALFORMED_PACKAGE, "guid blob must be 16 bytes: %d", len);
      QK_guid__to_sz((const QK_uint8 *)pBytes, b->szGuid);
      QK_TRY(ctx, QK_mssql__bind__guid_text(ctx, hStmt, ipar, b->szGuid, &b->indicator));
    }
  } else if (is_binary_type(b->sqlType)) {
    const void *pBytes = sqlite3_column_blob(pPkgStmt, pkgCol);
    int len = sqlite3_column_bytes(pPkgStmt, pkgCol);
    if (sqliteType == SQLITE_NULL) {
      QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, ipar, SQL_C_BINARY, SQL_BINARY, &b->indicator));
    } else if (len == 0) {
      QK_TRY(ctx, QK_mssql__bind__blob(ctx, hStmt, ipar, 0, NULL));
    } else {
      QK_TRY(ctx, QK_mssql__bind__blob(ctx, hStmt, ipar, (QK_uint64)len, &b->pBlob));
      QK_TRY(ctx, QK_mssql__put_data_holder__set(ctx, b->pBlob, pBytes, (QK_uint32)len));
      *pbNeedsData = 1;
    }
  } else {
    QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "unsupported mssql data type: %d", (int)b->sqlType);
  }
done:;
}

void tav_db_mssql__bind_package_row(QK_context *ctx, sqlite3_stmt *pPkgStmt, int firstPkgCol, SQLHSTMT hStmt,
                                    tav_col_collection *pColl, int firstBinding, int count, int *pbNeedsData) {
  QK_ARG_NOT_NULL(ctx, pPkgStmt);
  QK_ARG_NOT_NULL(ctx, pColl);
  QK_ARG_NOT_NULL(ctx, pbNeedsData);
  QK_ARG_VALID(ctx, count, count >= 0 && firstBinding >= 0 && (QK_int64)firstBinding + count <= pColl->countCols);
  *pbNeedsData = 0;
  for (int i = 0; i < count; i++)
    QK_TRY(ctx, bind_package_value(ctx, pPkgStmt, firstPkgCol + i, hStmt, &pColl->pBindings[firstBinding + i],
                                   (QK_uint16)(firstBinding + i + 1), pbNeedsData));
done:;
}

void tav_db_mssql__execute_bound(QK_context *ctx, SQLHSTMT hStmt, int bNeedsData) {
  SQLPOINTER token = NULL;
  SQLRETURN rc;
  if (!bNeedsData) {
    QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
    goto done;
  }
  QK_TRY(ctx, QK_mssql__execute__need_data(ctx, hStmt));
  /* Each token is the holder the parameter was bound with. */
  while ((rc = QK_mssql__odbc()->ParamData(hStmt, &token)) == SQL_NEED_DATA)
    QK_TRY(ctx, QK_mssql__put_data(ctx, hStmt, (const QK_mssql_put_data *)token));
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

/* ---- Result rows into the package ---- */

static void sqlite_check(QK_context *ctx, int rc) {
  if (rc != SQLITE_OK) QK_THROW(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, rc));
done:;
}

/* Column 1's row id into the set; *pbSkip 1 when it is known and duplicates are skipped. */
static void note_row_id(QK_context *ctx, QK_idset *pRowIds, const QK_uint8 *pRid, int bSkipDuplicates,
                        int *pbSkip) {
  int bPresent = 0;
  if (bSkipDuplicates) {
    QK_TRY(ctx, QK_idset__add_if_missing_report(ctx, pRowIds, pRid, &bPresent));
    *pbSkip = bPresent;
  } else {
    QK_TRY(ctx, QK_idset__add(ctx, pRowIds, pRid));
  }
done:;
}

void tav_db_mssql__bind_result_row(QK_context *ctx, SQLHSTMT hStmt, sqlite3_stmt *pPkgInsert,
                                   tav_col_collection *pColl, QK_idset *pRowIds, int bSkipDuplicates,
                                   int *pbSkipped) {
  char *pszText = NULL;
  QK_uint8 *pBytes = NULL;
  QK_uint32 len = 0;
  char szValue[TEXT_VALUE_SIZE];
  QK_int16 count = 0;
  SQLLEN ind = 0;
  int bSkip = 0;
  QK_ARG_NOT_NULL(ctx, pPkgInsert);
  QK_ARG_NOT_NULL(ctx, pColl);
  if (pbSkipped != NULL) *pbSkipped = 0;
  sqlite3_reset(pPkgInsert);
  QK_TRY(ctx, QK_sqlite__clear_bindings(ctx, pPkgInsert));
  QK_TRY(ctx, QK_mssql__num_result_cols(ctx, hStmt, &count));
  QK_VERIFY(ctx, count == pColl->countCols);
  for (int i = 0; i < pColl->countCols; i++) {
    const tav_col_binding *b = &pColl->pBindings[i];
    QK_uint16 col = (QK_uint16)(i + 1);
    if (is_text_type(b->sqlType)) {
      QK_TRY(ctx, QK_mssql__get__nstring__buflen(ctx, hStmt, col, &pszText, &len));
      if (pszText == NULL)
        QK_TRY(ctx, QK_sqlite__bind_null(ctx, pPkgInsert, col));
      else
        QK_TRY(ctx, QK_sqlite__bind_text__buflen(ctx, pPkgInsert, col, pszText, len));
    } else if (is_decimal_type(b->sqlType)) {
      QK_int64 scaled = 0;
      QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, col, &pszText));
      if (pszText == NULL) {
        QK_TRY(ctx, QK_sqlite__bind_null(ctx, pPkgInsert, col));
      } else {
        QK_TRY(ctx, tav_defin__decimal_to_scaled_int64(ctx, pszText, (QK_uint8)b->decimalDigits, &scaled));
        QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pPkgInsert, col, scaled));
      }
    } else if (is_integer_type(b->sqlType)) {
      QK_int64 v = 0;
      QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, col, &v, &ind));
      if (ind == SQL_NULL_DATA)
        QK_TRY(ctx, QK_sqlite__bind_null(ctx, pPkgInsert, col));
      else
        QK_TRY(ctx, QK_sqlite__bind_int64(ctx, pPkgInsert, col, v));
    } else if (is_float_type(b->sqlType)) {
      double v = 0;
      QK_TRY(ctx, QK_mssql__get__double(ctx, hStmt, col, &v, &ind));
      if (ind == SQL_NULL_DATA)
        QK_TRY(ctx, QK_sqlite__bind_null(ctx, pPkgInsert, col));
      else
        QK_TRY(ctx, QK_sqlite__bind_double(ctx, pPkgInsert, col, v));
    } else if (b->sqlType == SQL_TYPE_DATE || b->sqlType == SQL_TYPE_TIMESTAMP ||
               b->sqlType == QK_MSSQL_SQL_SS_TIME2) {
      if (b->sqlType == SQL_TYPE_DATE) {
        SQL_DATE_STRUCT d;
        QK_TRY(ctx, QK_mssql__get__date(ctx, hStmt, col, &d, &ind));
        if (ind != SQL_NULL_DATA) QK_TRY(ctx, format_date(ctx, &d, szValue));
      } else if (b->sqlType == SQL_TYPE_TIMESTAMP) {
        SQL_TIMESTAMP_STRUCT ts;
        QK_TRY(ctx, QK_mssql__get__timestamp(ctx, hStmt, col, &ts, &ind));
        if (ind != SQL_NULL_DATA) QK_TRY(ctx, format_timestamp(ctx, &ts, b->decimalDigits, szValue));
      } else {
        QK_mssql_time2 t;
        QK_TRY(ctx, QK_mssql__get__time(ctx, hStmt, col, &t, &ind));
        if (ind != SQL_NULL_DATA) QK_TRY(ctx, format_time(ctx, &t, szValue));
      }
      if (ind == SQL_NULL_DATA)
        QK_TRY(ctx, QK_sqlite__bind_null(ctx, pPkgInsert, col));
      else
        QK_TRY(ctx, sqlite_check(ctx, sqlite3_bind_text(pPkgInsert, col, szValue, -1, SQLITE_TRANSIENT)));
    } else if (b->sqlType == SQL_GUID || is_binary_type(b->sqlType) || b->sqlType == SQL_SS_UDT_TYPE) {
      QK_TRY(ctx, tav_db_mssql__get_bytes(ctx, hStmt, col, &len, &pBytes));
      if (i == 0 && pRowIds != NULL && len == 16) {
        QK_TRY(ctx, note_row_id(ctx, pRowIds, pBytes, bSkipDuplicates, &bSkip));
        if (bSkip) {
          if (pbSkipped != NULL) *pbSkipped = 1;
          goto done;
        }
      }
      if (pBytes == NULL)
        QK_TRY(ctx, QK_sqlite__bind_null(ctx, pPkgInsert, col));
      else if (len == 0)
        QK_TRY(ctx, sqlite_check(ctx, sqlite3_bind_zeroblob(pPkgInsert, col, 0)));
      else
        QK_TRY(ctx, sqlite_check(ctx, sqlite3_bind_blob(pPkgInsert, col, pBytes, (int)len, SQLITE_TRANSIENT)));
    } else {
      QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "unsupported mssql data type: %d", (int)b->sqlType);
    }
    QK_free(ctx, pszText);
    pszText = NULL;
    tav_db_mssql__free_bytes(ctx, &pBytes);
  }
done:
  QK_free(ctx, pszText);
  tav_db_mssql__free_bytes(ctx, &pBytes);
}

void tav_db_mssql__copy_result_rows(QK_context *ctx, SQLHSTMT hStmt, tav_col_collection *pColl,
                                    sqlite3_stmt *pPkgInsert, QK_idset *pRowIds, int bSkipDuplicates) {
  int bRow = 0, bSkipped = 0;
  for (;;) {
    QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, tav_db_mssql__bind_result_row(ctx, hStmt, pPkgInsert, pColl, pRowIds, bSkipDuplicates, &bSkipped));
    if (!bSkipped) QK_TRY(ctx, QK_sqlite__step_expect(ctx, pPkgInsert, SQLITE_DONE));
  }
done:;
}

void tav_db_mssql__execute_into_package(QK_context *ctx, SQLHSTMT *phStmt, sqlite3_stmt *pPkgInsert,
                                        QK_idset *pRowIds, int bSkipDuplicates) {
  tav_col_collection *pColl = NULL;
  int bHas = 0;
  QK_ARG_NOT_NULL(ctx, phStmt);
  QK_TRY(ctx, QK_mssql__execute(ctx, *phStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, *phStmt, &bHas));
  if (!bHas) goto done;
  QK_TRY(ctx, tav_db_mssql__describe_result(ctx, *phStmt, &pColl));
  QK_TRY(ctx, tav_db_mssql__copy_result_rows(ctx, *phStmt, pColl, pPkgInsert, pRowIds, bSkipDuplicates));
done:
  tav_db_mssql__free_column_array(ctx, &pColl);
  if (phStmt != NULL) {
    QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, *phStmt));
    *phStmt = SQL_NULL_HSTMT;
  }
}

/* ---- T-SQL from the schema definition ---- */

/* The name with every closing quote character doubled, so that a catalog name cannot end the
 * quoted identifier it is written into. */
static void escape_identifier(QK_context *ctx, const char *pszName, char closing, QK_string **ppOut) {
  QK_string *pOut = NULL;
  const char *p, *q;
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  for (p = pszName; (q = strchr(p, closing)) != NULL; p = q + 1) {
    QK_TRY(ctx, QK_string__append__buflen(ctx, pOut, p, (QK_uint32)(q - p + 1)));
    QK_TRY(ctx, QK_string__append__buflen(ctx, pOut, &closing, 1));
  }
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, p));
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

void tav_db_mssql__escape_identifier(QK_context *ctx, const char *pszName, char closing, QK_string **ppOut) {
  QK_ARG_NOT_NULL(ctx, pszName);
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, escape_identifier(ctx, pszName, closing, ppOut));
done:;
}

void tav_db_mssql__tsql_type(QK_context *ctx, tav_defin *psk, const char *pszTblId, const char *pszColId,
                             int bWithoutCollation, int bWithDefault, char **ppszType) {
  QK_string *pOut = NULL;
  const simple_type_entry *pSimple;
  const char *pszType = NULL, *pszCollation = NULL, *pszDefault = NULL, *pszHost = NULL;
  int bFixedPresent = 0, bFixed = 0, bUnicodePresent = 0, bUnicode = 0;
  QK_int32 width = -1, precision = -1, scale = -1;
  QK_ARG_NOT_NULL(ctx, ppszType);
  *ppszType = NULL;
  QK_TRY(ctx, tav_defin__get_column_type(ctx, psk, pszTblId, pszColId, &pszType, NULL));
  if (pszType == NULL) pszType = "";
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  if ((pSimple = simple_type(pszType)) != NULL) {
    QK_TRY(ctx, QK_string__append__sz(ctx, pOut, pSimple->pszTsql));
  } else if (strcmp(pszType, "text") == 0) {
    QK_TRY(ctx, tav_defin__get_width(ctx, psk, pszTblId, pszColId, &width));
    QK_TRY(ctx, tav_defin__get_fixed_width(ctx, psk, pszTblId, pszColId, &bFixedPresent, &bFixed));
    QK_TRY(ctx, tav_defin__get_unicode(ctx, psk, pszTblId, pszColId, &bUnicodePresent, &bUnicode));
    QK_VERIFY(ctx, width >= 0);
    if (width == 0)
      QK_TRY(ctx, QK_string__append__sz(ctx, pOut, bUnicode ? "nvarchar(max)" : "varchar(max)"));
    else if (bFixed)
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, bUnicode ? "nchar(%d)" : "char(%d)", width));
    else
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, bUnicode ? "nvarchar(%d)" : "varchar(%d)", width));
    if (!bWithoutCollation) {
      QK_TRY(ctx, tav_defin__get_collation(ctx, psk, pszTblId, pszColId, &pszCollation));
      if (pszCollation != NULL) QK_TRY(ctx, QK_string__append__format(ctx, pOut, " COLLATE %s", pszCollation));
    }
  } else if (strcmp(pszType, "blob") == 0) {
    QK_TRY(ctx, tav_defin__get_width(ctx, psk, pszTblId, pszColId, &width));
    QK_TRY(ctx, tav_defin__get_fixed_width(ctx, psk, pszTblId, pszColId, &bFixedPresent, &bFixed));
    if (bFixed)
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, "binary(%d)", width));
    else if (width <= 0)
      QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "varbinary(max)"));
    else
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, "varbinary(%d)", width));
  } else if (strcmp(pszType, "decimal") == 0) {
    QK_TRY(ctx, tav_defin__get_precision(ctx, psk, pszTblId, pszColId, &precision));
    QK_TRY(ctx, tav_defin__get_scale(ctx, psk, pszTblId, pszColId, &scale));
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "decimal(%d,%d)", precision, scale));
  } else if (strcmp(pszType, "datetime") == 0) {
    /* datetime and smalldatetime are recorded with the column; datetime2 is not. */
    QK_TRY(ctx, tav_defin__get_collation(ctx, psk, pszTblId, pszColId, &pszHost));
    if (pszHost != NULL) {
      QK_TRY(ctx, QK_string__append__sz(ctx, pOut, pszHost));
    } else {
      QK_TRY(ctx, tav_defin__get_precision(ctx, psk, pszTblId, pszColId, &precision));
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, "datetime2(%d)", precision >= 0 ? precision : 7));
    }
  } else if (strcmp(pszType, "host") == 0) {
    QK_TRY(ctx, tav_defin__get_host_type(ctx, psk, pszTblId, pszColId, &pszHost));
    QK_VERIFY(ctx, pszHost != NULL);
    QK_TRY(ctx, QK_string__append__sz(ctx, pOut, pszHost));
  } else {
    QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "unsupported abstract type: %s", pszType);
  }
  if (bWithDefault) {
    QK_TRY(ctx, tav_defin__get_host_defval(ctx, psk, pszTblId, pszColId, &pszDefault));
    if (pszDefault != NULL) QK_TRY(ctx, QK_string__append__format(ctx, pOut, " DEFAULT %s", pszDefault));
  }
  QK_TRY(ctx, QK_string__free_keep_sz(ctx, &pOut, ppszType, NULL));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

void tav_db_mssql__quoted_column_list(QK_context *ctx, const QK_vhash *pColumns, const char *pszSkip,
                                      QK_string **ppOut) {
  QK_string *pOut = NULL, *pName = NULL;
  QK_uint32 count = 0, written = 0;
  const char *pszName = NULL;
  QK_ARG_NOT_NULL(ctx, pColumns);
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumns, i, &pszName, NULL));
    if (pszSkip != NULL && strcmp(pszName, pszSkip) == 0) continue;
    QK_TRY(ctx, escape_identifier(ctx, pszName, '"', &pName));
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s\"%s\"", written++ ? "," : "", QK_string__sz(pName)));
    QK_RELEASE(ctx, QK_string__free(ctx, pName));
    pName = NULL;
  }
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

void tav_db_mssql__merge_assignments(QK_context *ctx, int identityMode, tav_defin *psk, const char *pszTblId,
                                     const QK_vhash *pColumns, const char *pszSkip, QK_string **ppOut) {
  QK_string *pOut = NULL, *pName = NULL;
  QK_uint32 count = 0, written = 0;
  const char *pszName = NULL, *pszColId = NULL;
  int bIdentity = 0;
  QK_ARG_NOT_NULL(ctx, pColumns);
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumns, i, &pszName, NULL));
    if (pszSkip != NULL && strcmp(pszName, pszSkip) == 0) continue;
    bIdentity = 0;
    if (identityMode == 1) {
      QK_TRY(ctx, column_id_of(ctx, psk, pszTblId, pszName, &pszColId));
      QK_TRY(ctx, resolves_to_identity(ctx, psk, pszTblId, pszColId, &bIdentity));
    }
    QK_TRY(ctx, escape_identifier(ctx, pszName, '"', &pName));
    if (written++) QK_TRY(ctx, QK_string__append__sz(ctx, pOut, ","));
    if (bIdentity)
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, "\"%s\".\"%s\"=(CAST(SUBSTRING(\"%s\".\"%s\",3,25) AS bigint))",
                                            "z$$dest", QK_string__sz(pName), "z$$src", QK_string__sz(pName)));
    else
      QK_TRY(ctx, QK_string__append__format(ctx, pOut, "\"%s\".\"%s\"=\"%s\".\"%s\"", "z$$dest",
                                            QK_string__sz(pName), "z$$src", QK_string__sz(pName)));
    QK_RELEASE(ctx, QK_string__free(ctx, pName));
    pName = NULL;
  }
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

/* One column definition, "," in front unless it is the first. */
static void append_column_ddl(QK_context *ctx, QK_string *pOut, int bFirst, tav_defin *psk, const char *pszTblId,
                              const char *pszColId, const char *pszName, int bKeyText, int bWithDefaults) {
  QK_string *pName = NULL;
  char *pszType = NULL;
  if (bKeyText) {
    QK_TRY(ctx, escape_identifier(ctx, pszName, ']', &pName));
    QK_TRY(ctx, QK_string__append__format(
                    ctx, pOut, "%s[%s] varchar(25) CHECK(LEN([%s]) >= 3 AND SUBSTRING([%s],2,1) = ':')",
                    bFirst ? "" : ",", QK_string__sz(pName), QK_string__sz(pName), QK_string__sz(pName)));
  } else {
    QK_TRY(ctx, escape_identifier(ctx, pszName, '"', &pName));
    QK_TRY(ctx, tav_db_mssql__tsql_type(ctx, psk, pszTblId, pszColId, 0, bWithDefaults, &pszType));
    QK_TRY(ctx, QK_string__append__format(ctx, pOut, "%s\"%s\" %s", bFirst ? "" : ",", QK_string__sz(pName),
                                          pszType));
  }
done:
  QK_free(ctx, pszType);
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
}

void tav_db_mssql__column_ddl_for(QK_context *ctx, const QK_vhash *pColumns, tav_defin *psk, const char *pszTblId,
                                  int bIdentityKeysAsText, int bWithDefaults, QK_string **ppOut) {
  QK_string *pOut = NULL;
  QK_uint32 count = 0;
  const char *pszName = NULL, *pszColId = NULL;
  int bIdentity = 0;
  QK_ARG_NOT_NULL(ctx, pColumns);
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumns, i, &pszName, NULL));
    QK_TRY(ctx, column_id_of(ctx, psk, pszTblId, pszName, &pszColId));
    bIdentity = 0;
    if (bIdentityKeysAsText) QK_TRY(ctx, resolves_to_identity(ctx, psk, pszTblId, pszColId, &bIdentity));
    QK_TRY(ctx, append_column_ddl(ctx, pOut, i == 0, psk, pszTblId, pszColId, pszName, bIdentity, bWithDefaults));
  }
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

void tav_db_mssql__column_ddl_all(QK_context *ctx, tav_defin *psk, const char *pszTblId, int bIdentityKeysAsText,
                                  int bWithDefaults, QK_string **ppOut, QK_vhash *pNames) {
  QK_string *pOut = NULL;
  QK_uint32 count = 0, countUnprep = 0, written = 0;
  const char *pszColId = NULL, *pszName = NULL;
  int bIdentity = 0;
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  QK_TRY(ctx, tav_defin__count_columns(ctx, psk, pszTblId, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, tav_defin__get_column_id_at(ctx, psk, pszTblId, (int)i, &pszColId));
    QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, pszTblId, pszColId, &pszName));
    bIdentity = 0;
    if (bIdentityKeysAsText) QK_TRY(ctx, resolves_to_identity(ctx, psk, pszTblId, pszColId, &bIdentity));
    QK_TRY(ctx, append_column_ddl(ctx, pOut, written++ == 0, psk, pszTblId, pszColId, pszName, bIdentity,
                                  bWithDefaults));
    if (pNames != NULL) QK_TRY(ctx, QK_vhash__add__null(ctx, pNames, pszName));
  }
  QK_TRY(ctx, tav_defin__count_unprep_columns(ctx, psk, pszTblId, &countUnprep));
  for (QK_uint32 i = 0; i < countUnprep; i++) {
    QK_TRY(ctx, tav_defin__get_unprep_column_at(ctx, psk, pszTblId, (int)i, &pszColId));
    QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, pszTblId, pszColId, &pszName));
    QK_TRY(ctx, append_column_ddl(ctx, pOut, written++ == 0, psk, pszTblId, pszColId, pszName, 0, bWithDefaults));
  }
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

void tav_db_mssql__create_temp_table(QK_context *ctx, QK_mssql_connection *pConn, tav_defin *psk,
                                     const char *pszTblId, const char *pszTempName, const char *pszKeyColumnDef,
                                     int bIdentityKeysAsText, const QK_vhash *pColumns, int bWithDefaults,
                                     QK_vhash **ppNames) {
  QK_string *pDdl = NULL;
  QK_vhash *pNames = NULL;
  QK_ARG_NOT_NULL(ctx, pszTempName);
  QK_ARG_NOT_NULL(ctx, pszKeyColumnDef);
  if (pColumns != NULL) {
    QK_TRY(ctx, tav_db_mssql__column_ddl_for(ctx, pColumns, psk, pszTblId, bIdentityKeysAsText, bWithDefaults,
                                             &pDdl));
  } else {
    if (ppNames != NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &pNames));
    QK_TRY(ctx, tav_db_mssql__column_ddl_all(ctx, psk, pszTblId, bIdentityKeysAsText, bWithDefaults, &pDdl,
                                             pNames));
  }
  QK_TRY(ctx, QK_mssql__exec__format(ctx, pConn, "CREATE TABLE #%s (%s, %s);", pszTempName, pszKeyColumnDef,
                                     QK_string__sz(pDdl)));
  if (ppNames != NULL) {
    *ppNames = pNames;
    pNames = NULL;
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pNames));
  QK_RELEASE(ctx, QK_string__free(ctx, pDdl));
}

/* ---- Diagnostics ---- */

/* Reads the SQLSTATE out of the diagnostics document; stops at the first failure. */
static void sqlstate_of_message(QK_context *ctx, const char *pszMessage, QK_int64 *pNative) {
  QK_vhash *pDoc = NULL;
  QK_varray *pDiag = NULL;
  QK_vhash *pFirst = NULL;
  const char *pszState = NULL;
  QK_TRY(ctx, QK_vhash__alloc__from_json(ctx, &pDoc, pszMessage));
  QK_TRY(ctx, QK_vhash__get__varray(ctx, pDoc, "diag", &pDiag));
  QK_TRY(ctx, QK_varray__get__vhash(ctx, pDiag, 0, &pFirst));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pFirst, "SQL_DIAG_SQLSTATE", &pszState));
  QK_TRY(ctx, QK_int64__parse(ctx, pNative, pszState));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pDoc));
}

void tav_db_mssql__error_sqlstate(QK_context *ctx, QK_int64 *pNative) {
  const char *pszMessage = NULL;
  QK_int64 value = 0;
  QK_ARG_NOT_NULL(ctx, pNative);
  *pNative = 0;
  QK_context__get_message(ctx, &pszMessage);
  if (pszMessage == NULL || pszMessage[0] == '\0') goto done;
  /* Nested levels write neither message nor trace, and their failure is dropped with them. */
  QK_context__push_level(ctx);
  sqlstate_of_message(ctx, pszMessage, &value);
  if (!QK_context__has_error(ctx)) *pNative = value;
  QK_context__pop_level(ctx);
done:;
}

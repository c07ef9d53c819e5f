/* Schema reflection and the process-wide schema cache of the SQL Server store. */
#include "server/tav_db_mssql_schema.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "common/tav_default_value.h"
#include "qk/qk_malloc.h"
#include "qk/qk_mutex.h"
#include "qk/qk_string.h"
#include "qk/qkhash.h"

/* Every access to the cache holds the lock; the lock is set up once per process. */
static QK_vhash *g_schema_cache = NULL;
static QK_mutex g_schema_cache_mutex;
static int g_initialized_schema_cache_mutex = 0;
static pthread_once_t s_schema_cache_once = PTHREAD_ONCE_INIT;

/* The foreign-key rule situation the schema carries: a violation on insert. */
#define FK_RULE_SITUATION 5

static void init_schema_cache_mutex(void) {
  QK_context *ctx = NULL;
  if (QK_context__alloc(&ctx) != QK_OK) return;
  QK_mutex__init(ctx, &g_schema_cache_mutex);
  if (!QK_context__has_error(ctx)) g_initialized_schema_cache_mutex = 1;
  QK_context__free(ctx);
}

static void lock_schema_cache(QK_context *ctx) {
  pthread_once(&s_schema_cache_once, init_schema_cache_mutex);
  if (!g_initialized_schema_cache_mutex) QK_THROW_MSG(ctx, QK_ERR_MUTEX, "schema cache lock could not be set up");
  QK_TRY(ctx, QK_mutex__lock(ctx, &g_schema_cache_mutex));
done:;
}

/* ---- Statement helpers ---- */

/* Formats, prepares and runs a statement and moves to its first result set with columns. */
static void open_query(QK_context *ctx, QK_mssql_connection *pConn, SQLHSTMT *phStmt, int *pbHas,
                       const char *pszFormat, ...) __attribute__((format(printf, 5, 6)));
static void open_query(QK_context *ctx, QK_mssql_connection *pConn, SQLHSTMT *phStmt, int *pbHas,
                       const char *pszFormat, ...) {
  QK_string *pSql = NULL;
  va_list args;
  va_start(args, pszFormat);
  QK_string__alloc__vformat(ctx, &pSql, pszFormat, args);
  va_end(args);
  QK_CHECK(ctx);
  QK_TRY(ctx, QK_mssql__prepare(ctx, pConn, phStmt, QK_string__sz(pSql)));
  QK_TRY(ctx, QK_mssql__execute(ctx, *phStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, *phStmt, pbHas));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* The next row of an opened query; 0 at the end or when it has no result set. */
static void next_row(QK_context *ctx, SQLHSTMT hStmt, int bHas, int *pbRow) {
  *pbRow = 0;
  if (bHas) QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, pbRow));
done:;
}

/* An int column as decimal text (object and column ids); NULL reads as 0. */
static void get_id_text(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, char *pBuf16) {
  QK_int32 v = 0;
  SQLLEN ind = 0;
  QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, col, &v, &ind));
  snprintf(pBuf16, 16, "%d", ind == SQL_NULL_DATA ? 0 : (int)v);
done:;
}

static void get_int32_or_0(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_int32 *p) {
  SQLLEN ind = 0;
  QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, col, p, &ind));
  if (ind == SQL_NULL_DATA) *p = 0;
done:;
}

static void get_int64_or_0(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_int64 *p) {
  SQLLEN ind = 0;
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, col, p, &ind));
  if (ind == SQL_NULL_DATA) *p = 0;
done:;
}

/* Whether the filter (opt) hides the table or, with a column id, that column. */
static void is_excluded(QK_context *ctx, const tav_filter *pFilter, const char *pszTblId, const char *pszColId,
                        int *pbExcluded) {
  const char *pszDefval = NULL;
  *pbExcluded = 0;
  if (pFilter == NULL) goto done;
  QK_TRY(ctx, tav_filter__is_table_excluded(ctx, pFilter, pszTblId, pbExcluded));
  if (!*pbExcluded && pszColId != NULL)
    QK_TRY(ctx, tav_filter__get_column_exclusion(ctx, pFilter, pszTblId, pszColId, pbExcluded, &pszDefval));
done:;
}

/* ---- Collations and actions ---- */

static int ends_with(const char *psz, size_t *pLen, const char *pszSuffix) {
  size_t n = strlen(pszSuffix);
  if (*pLen < n || memcmp(psz + *pLen - n, pszSuffix, n) != 0) return 0;
  *pLen -= n;
  return 1;
}

void tav_db_mssql__parse_collation(QK_context *ctx, const char *pszCollation, const char **ppszLocale,
                                   int *pbBinary, int *pbNoaccent, int *pbNocase, int *pbKs, int *pbWs, int *pbSc) {
  size_t len;
  const char *pszBase;
  QK_ARG_NOT_NULL(ctx, pszCollation);
  *ppszLocale = NULL;
  *pbBinary = *pbNoaccent = *pbNocase = *pbKs = *pbWs = *pbSc = 0;
  len = strlen(pszCollation);
  if (ends_with(pszCollation, &len, "_BIN") || ends_with(pszCollation, &len, "_BIN2")) {
    *pbBinary = 1;
  } else {
    *pbSc = ends_with(pszCollation, &len, "_SC");
    *pbWs = ends_with(pszCollation, &len, "_WS");
    *pbKs = ends_with(pszCollation, &len, "_KS");
    if (ends_with(pszCollation, &len, "_AI"))
      *pbNoaccent = 1;
    else if (!ends_with(pszCollation, &len, "_AS"))
      QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "unsupported collation: %s", pszCollation);
    if (ends_with(pszCollation, &len, "_CI"))
      *pbNocase = 1;
    else if (!ends_with(pszCollation, &len, "_CS"))
      QK_THROW_FMT(ctx, QK_ERR_NOT_IMPLEMENTED, "unsupported collation: %s", pszCollation);
  }
  pszBase = strncmp(pszCollation, "SQL_", 4) == 0 ? pszCollation + 4 : pszCollation;
  if (strncmp(pszBase, "Modern_Spanish", 14) == 0) *ppszLocale = "es-ES";
done:;
}

const char *tav_db_mssql__referential_action_name(int action) {
  static const char *const s_names[] = {"NO ACTION", "CASCADE", "SET NULL", "SET DEFAULT"};
  return action >= 0 && action < 4 ? s_names[action] : NULL;
}

/* ---- Columns ---- */

/* The history's identity for the schema cache: the first transaction's rstamp, or, when no
 * push stamped it (a dbfile whose first transactions were made on the server), the random id
 * of its oldest generation; without either the schema is not cached. */
static const char s_head_sql[] =
    "SELECT TOP 1 tx.txid, COALESCE(tx.generation,9223372036854775807) AS generation,\n"
    "COALESCE((SELECT TOP 1 CAST (rstamp AS sysname) FROM [tavrin].[%s$t$tx] ORDER BY txid ASC),\n"
    "  (SELECT TOP 1 'g' + CAST (id AS sysname) FROM [tavrin].[%s$t$gen] ORDER BY generation ASC)) AS rstamp\n"
    "  FROM tavrin.[%s$t$t] t INNER JOIN tavrin.[%s$t$tx] AS tx ON (tx.txid = t.txid) \n"
    "  ORDER BY generation DESC, tx.txid DESC;\n";

static const char s_check_sql[] =
    "SELECT TOP 1 txid FROM (\n"
    "  SELECT tx.txid AS txid, COALESCE(tx.generation,9223372036854775807) AS generation\n"
    "  FROM tavrin.[%s$t$t] t INNER JOIN tavrin.[%s$t$tx] AS tx ON (tx.txid = t.txid)\n"
    ") j ORDER BY generation DESC, txid DESC;\n";

static const char s_columns_sql[] =
    "SELECT c.object_id, c.column_id, zc.txid, SCHEMA_NAME(t.schema_id), OBJECT_NAME(c.object_id) as tbl_name, "
    "c.name AS column_name, c.system_type_id, c.is_nullable, c.max_length, c.precision, c.scale, c.is_identity, "
    "dc.[definition] as default_value, c.collation_name, CASE WHEN EXISTS (SELECT 1 FROM sys.columns c2 WHERE "
    "c2.object_id = zc.old_id AND c2.name=c.name) THEN 1 ELSE 0 END, COALESCE (col_dump_tx.txid, 0), COALESCE "
    "(col_dump_tx.generation, 0), st.name FROM tavrin.%s$t$t zc JOIN sys.tables t ON zc.object_id = t.object_id "
    "JOIN sys.columns c ON zc.object_id = c.object_id AND (c.is_computed=0 AND c.system_type_id<>189) LEFT JOIN "
    "sys.default_constraints dc ON c.object_id = dc.parent_object_id AND c.column_id = dc.parent_column_id INNER "
    "JOIN sys.types st ON st.system_type_id=c.system_type_id AND st.user_type_id=c.user_type_id LEFT OUTER JOIN "
    "tavrin.\"%s$t$c\" zcol ON zcol.tbl=c.object_id AND zcol.col=c.column_id LEFT OUTER JOIN tavrin.\"%s$t$tx\" "
    "col_dump_tx ON col_dump_tx.txid = zcol.dump_txid ORDER BY zc.object_id, c.column_id";

/* One row of the column query. */
typedef struct column_row {
  char szTbl[16];
  char szCol[16];
  int systemType;
  int bPrepared;
  QK_int32 maxLength;
  QK_int32 precision;
  QK_int32 scale;
  const char *pszTypeName;
  const char *pszCollation;
} column_row;

/* Width of a character or byte column: 0 for "max" (-1), halved for national characters. */
static QK_uint32 column_width(QK_int32 maxLength, int bUnicode) {
  if (maxLength < 0) return 0;
  return (QK_uint32)(bUnicode ? maxLength / 2 : maxLength);
}

static void set_text_type(QK_context *ctx, tav_defin *psk, const column_row *r, int bFixed, int bUnicode) {
  const char *pszLocale = NULL;
  int bBinary = 0, bNoaccent = 0, bNocase = 0, bKs = 0, bWs = 0, bSc = 0;
  if (r->pszCollation != NULL)
    QK_TRY(ctx, tav_db_mssql__parse_collation(ctx, r->pszCollation, &pszLocale, &bBinary, &bNoaccent, &bNocase,
                                              &bKs, &bWs, &bSc));
  QK_TRY(ctx, tav_defin__set_type_text(ctx, psk, r->szTbl, r->szCol, r->pszCollation, pszLocale, bBinary,
                                       bNoaccent, bNocase, bKs, bWs, bSc, bFixed, bUnicode,
                                       column_width(r->maxLength, bUnicode)));
done:;
}

/* The abstract type of a column that is not an identity column, from its SQL Server type. */
static void set_column_type(QK_context *ctx, tav_defin *psk, const column_row *r) {
  static const struct {
    int systemType;
    const char *pszType;
  } s_simple[] = {{36, "guid"},   {40, "date"},   {48, "uint8"},  {52, "sint16"}, {56, "sint32"},
                  {127, "sint64"}, {104, "uint1"}, {59, "real4"}, {62, "real8"},  {60, "money8"},
                  {122, "money4"}};
  for (size_t i = 0; i < sizeof s_simple / sizeof s_simple[0]; i++)
    if (s_simple[i].systemType == r->systemType) {
      QK_TRY(ctx, tav_defin__set_type_simple(ctx, psk, r->szTbl, r->szCol, s_simple[i].pszType));
      goto done;
    }
  switch (r->systemType) {
    case 41:
      QK_TRY(ctx, tav_defin__set_type_time(ctx, psk, r->szTbl, r->szCol, (QK_uint8)r->precision));
      break;
    case 42:
      QK_TRY(ctx, tav_defin__set_type_datetime(ctx, psk, r->szTbl, r->szCol, (QK_uint8)r->scale, "datetime2"));
      break;
    case 61:
      QK_TRY(ctx, tav_defin__set_type_datetime(ctx, psk, r->szTbl, r->szCol, (QK_uint8)r->scale, "datetime"));
      break;
    case 58:
      QK_TRY(ctx,
             tav_defin__set_type_datetime(ctx, psk, r->szTbl, r->szCol, (QK_uint8)r->scale, "smalldatetime"));
      break;
    case 106:
    case 108:
      if (r->bPrepared && r->precision > 18)
        QK_THROW_MSG(ctx, QK_ERR_SERVER_MISCONFIGURATION, "Precisions greater than 18 are unsupported by Tavrin.");
      QK_TRY(ctx, tav_defin__set_type_decimal(ctx, psk, r->szTbl, r->szCol, (QK_uint8)r->precision,
                                              (QK_uint8)r->scale));
      break;
    case 165:
    case 240:
      QK_TRY(ctx, tav_defin__set_type_blob(ctx, psk, r->szTbl, r->szCol, 0, column_width(r->maxLength, 0)));
      break;
    case 173:
      QK_TRY(ctx, tav_defin__set_type_blob(ctx, psk, r->szTbl, r->szCol, 1, column_width(r->maxLength, 0)));
      break;
    case 167:
      QK_TRY(ctx, set_text_type(ctx, psk, r, 0, 0));
      break;
    case 175:
      QK_TRY(ctx, set_text_type(ctx, psk, r, 1, 0));
      break;
    case 231:
      QK_TRY(ctx, set_text_type(ctx, psk, r, 0, 1));
      break;
    case 239:
      QK_TRY(ctx, set_text_type(ctx, psk, r, 1, 1));
      break;
    case 35:
    case 99: {
      /* text and ntext hold texts of any length, as varchar(max) and nvarchar(max) do; their
       * catalog length (16) is that of a text pointer. */
      column_row large = *r;
      large.maxLength = -1;
      QK_TRY(ctx, set_text_type(ctx, psk, &large, 0, r->systemType == 99));
      break;
    }
    default:
      if (r->bPrepared)
        QK_THROW_FMT(ctx, QK_ERR_SERVER_MISCONFIGURATION, "Unsupported mssql data type: %d", r->systemType);
      QK_TRY(ctx, tav_defin__set_type_host(ctx, psk, r->szTbl, r->szCol, r->pszTypeName));
  }
done:;
}

/* The client default of a column. One that cannot be translated (a literal SQL Server takes
 * but the client's type check would not) leaves the column without a default and tells the
 * administrator: the rest of the schema is served. */
static void translate_column_default(QK_context *ctx, tav_db_handle *h, tav_defin *psk, const column_row *r,
                                     const char *pszSchema, const char *pszTable, const char *pszColumn,
                                     const char *pszDefault, char **ppszClientDefault) {
  const char *pszMessage = NULL;
  char szError[128];
  QK_error err;
  tav_defin__translate_default(ctx, psk, r->szTbl, r->szCol, pszDefault, ppszClientDefault);
  if (!QK_context__has_error(ctx)) goto done;
  if (QK_context__error_equals(ctx, QK_ERR_MALLOC_FAILED)) QK_CHECK(ctx);
  QK_context__get_error(ctx, &err);
  QK_error__to_text(err, 0, szError, sizeof szError);
  QK_context__get_message(ctx, &pszMessage);
  QK_context__warn(ctx,
                   "dbfile %s, table [%s].[%s] (ID %s), column \"%s\": the default %s cannot be given to clients "
                   "(%s: %s); clients get the column without a default.",
                   h->name, pszSchema != NULL ? pszSchema : "", pszTable, r->szTbl, pszColumn, pszDefault, szError,
                   pszMessage != NULL && *pszMessage != '\0' ? pszMessage : "-");
  QK_context__reset_error(ctx);
  QK_free(ctx, *ppszClientDefault);
  *ppszClientDefault = NULL;
done:;
}

/* Adds every column of the synchronised tables that the filter lets through. */
static void fetch_columns(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char *pszSchema = NULL, *pszTable = NULL, *pszColumn = NULL, *pszDefault = NULL, *pszCollation = NULL;
  char *pszTypeName = NULL, *pszClientDefault = NULL;
  QK_string *pTableName = NULL;
  char szLastTbl[16] = "";
  column_row r;
  int bHas = 0, bRow = 0, bExcluded = 0, bNullable = 0, bIdentity = 0;
  QK_int32 systemType = 0, prepared = 0;
  QK_int64 tableTxid = 0, dumpTxid = 0, dumpGen = 0;
  QK_TRY(ctx, open_query(ctx, h->conn, &hStmt, &bHas, s_columns_sql, h->name, h->name, h->name));
  for (;;) {
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    memset(&r, 0, sizeof r);
    QK_TRY(ctx, get_id_text(ctx, hStmt, 1, r.szTbl));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 2, r.szCol));
    QK_TRY(ctx, is_excluded(ctx, pFilter, r.szTbl, r.szCol, &bExcluded));
    if (bExcluded) continue;
    QK_TRY(ctx, get_int64_or_0(ctx, hStmt, 3, &tableTxid));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 4, &pszSchema));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 5, &pszTable));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 6, &pszColumn));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 7, &systemType));
    QK_TRY(ctx, QK_mssql__get__bit(ctx, hStmt, 8, &bNullable));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 9, &r.maxLength));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 10, &r.precision));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 11, &r.scale));
    QK_TRY(ctx, QK_mssql__get__bit(ctx, hStmt, 12, &bIdentity));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 13, &pszDefault));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 14, &pszCollation));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 15, &prepared));
    QK_TRY(ctx, get_int64_or_0(ctx, hStmt, 16, &dumpTxid));
    QK_TRY(ctx, get_int64_or_0(ctx, hStmt, 17, &dumpGen));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 18, &pszTypeName));
    QK_VERIFY(ctx, pszTable != NULL && pszColumn != NULL);
    r.systemType = systemType;
    r.bPrepared = prepared != 0;
    r.pszTypeName = pszTypeName;
    r.pszCollation = pszCollation;

    if (strcmp(szLastTbl, r.szTbl) != 0) {
      if (pszSchema == NULL || strcmp(pszSchema, "dbo") == 0)
        QK_TRY(ctx, QK_string__alloc__sz(ctx, &pTableName, pszTable));
      else
        QK_TRY(ctx, QK_string__alloc__format(ctx, &pTableName, "%s_%s", pszSchema, pszTable));
      QK_TRY(ctx, tav_defin__add_table(ctx, psk, r.szTbl, QK_string__sz(pTableName), tableTxid));
      QK_RELEASE(ctx, QK_string__free(ctx, pTableName));
      pTableName = NULL;
      memcpy(szLastTbl, r.szTbl, sizeof szLastTbl);
    }
    QK_TRY(ctx, tav_defin__add_column(ctx, psk, r.szTbl, r.szCol, pszColumn, r.bPrepared, dumpTxid, dumpGen));
    QK_TRY(ctx, tav_defin__set_mssql_col_data_type(ctx, psk, r.szTbl, r.szCol, pszTypeName));
    if (bIdentity)
      QK_TRY(ctx, tav_defin__set_type_identity(ctx, psk, r.szTbl, r.szCol, NULL));
    else
      QK_TRY(ctx, set_column_type(ctx, psk, &r));
    QK_TRY(ctx, tav_defin__set_notnull(ctx, psk, r.szTbl, r.szCol, !bNullable, NULL));
    if (pszDefault != NULL) {
      QK_TRY(ctx, tav_defin__set_host_defval(ctx, psk, r.szTbl, r.szCol, pszDefault));
      QK_TRY(ctx, translate_column_default(ctx, h, psk, &r, pszSchema, pszTable, pszColumn, pszDefault,
                                           &pszClientDefault));
      if (pszClientDefault != NULL)
        QK_TRY(ctx, tav_defin__set_column_defval(ctx, psk, r.szTbl, r.szCol, 1, NULL, pszClientDefault));
    }
    QK_free(ctx, pszSchema);
    QK_free(ctx, pszTable);
    QK_free(ctx, pszColumn);
    QK_free(ctx, pszDefault);
    QK_free(ctx, pszCollation);
    QK_free(ctx, pszTypeName);
    QK_free(ctx, pszClientDefault);
    pszSchema = pszTable = pszColumn = pszDefault = pszCollation = pszTypeName = pszClientDefault = NULL;
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pTableName));
  QK_free(ctx, pszSchema);
  QK_free(ctx, pszTable);
  QK_free(ctx, pszColumn);
  QK_free(ctx, pszDefault);
  QK_free(ctx, pszCollation);
  QK_free(ctx, pszTypeName);
  QK_free(ctx, pszClientDefault);
}

/* ---- Keys ---- */

static const char s_primary_keys_sql[] =
    "SELECT t.object_id, i.index_id, c.column_id, i.name as index_name FROM [tavrin].[%s$t$t] t JOIN sys.indexes i "
    "ON i.[object_id] = t.[object_id] JOIN sys.index_columns ic ON i.object_id = ic.object_id AND i.index_id = "
    "ic.index_id JOIN sys.columns c ON ic.object_id = c.object_id AND c.column_id = ic.column_id  WHERE "
    "i.is_primary_key = 1 AND c.is_identity = 0";

void tav_db_mssql__fetch_primary_keys(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char *pszIndexName = NULL;
  char szTbl[16], szIndex[16], szCol[16], szLastKey[40] = "", szKey[40];
  int bHas = 0, bRow = 0, bExcluded = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_TRY(ctx, open_query(ctx, h->conn, &hStmt, &bHas, s_primary_keys_sql, h->name));
  for (;;) {
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, get_id_text(ctx, hStmt, 1, szTbl));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 2, szIndex));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 3, szCol));
    QK_TRY(ctx, is_excluded(ctx, pFilter, szTbl, szCol, &bExcluded));
    if (bExcluded) continue;
    snprintf(szKey, sizeof szKey, "%s/%s", szTbl, szIndex);
    if (strcmp(szKey, szLastKey) != 0) {
      QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 4, &pszIndexName));
      QK_VERIFY(ctx, pszIndexName != NULL);
      QK_TRY(ctx, tav_defin__set_pk_name(ctx, psk, szTbl, pszIndexName));
      QK_free(ctx, pszIndexName);
      pszIndexName = NULL;
      memcpy(szLastKey, szKey, sizeof szLastKey);
    }
    QK_TRY(ctx, tav_defin__add_pk_column(ctx, psk, szTbl, szCol));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pszIndexName);
}

static const char s_composite_fks_sql[] =
    "SELECT f.object_id as fk_object_id, COUNT(fkc.parent_column_id) FROM sys.foreign_keys f JOIN "
    "sys.foreign_key_columns fkc ON f.object_id = fkc.constraint_object_id JOIN [tavrin].[%s$t$t] t on t.object_id "
    "= fkc.parent_object_id WHERE f.is_disabled = 0 GROUP BY f.object_id ";

static const char s_fk_heads_sql[] =
    "SELECT f.object_id as fk_object_id, f.name, f.parent_object_id, f.referenced_object_id, "
    "f.update_referential_action, f.delete_referential_action, COALESCE(r.act, 0) FROM sys.foreign_keys f JOIN "
    "[tavrin].[%s$t$t] t on t.object_id = f.parent_object_id LEFT OUTER JOIN [tavrin].[rules_fk] r ON r.fk_id = "
    "f.object_id AND r.sit = %d AND f.parent_object_id <> f.referenced_object_id WHERE f.is_disabled = 0 ";

static const char s_fk_pairs_sql[] =
    "SELECT f.object_id, f.name as fk_name, my_c.object_id AS my_object_id, my_c.column_id AS my_column_id, CASE "
    "WHEN EXISTS (SELECT 1 FROM sys.columns c2 WHERE c2.object_id = t.old_id AND c2.name=my_c.name) THEN 1 ELSE 0 "
    "END, CASE WHEN EXISTS (SELECT 1 FROM sys.columns c2 WHERE c2.object_id = parent_t.old_id AND "
    "c2.name=other_c.name) THEN 1 ELSE 0 END, other_c.object_id AS other_object_id, other_c.column_id AS "
    "other_column_id, f.update_referential_action, f.delete_referential_action, COALESCE(r.act, 0) FROM "
    "sys.foreign_keys f JOIN sys.foreign_key_columns fkc ON f.object_id = fkc.constraint_object_id JOIN sys.columns "
    "my_c ON fkc.parent_object_id = my_c.[object_id] AND fkc.parent_column_id = my_c.column_id JOIN sys.columns "
    "other_c ON fkc.referenced_object_id = other_c.[object_id] AND fkc.referenced_column_id = other_c.column_id "
    "JOIN [tavrin].[%s$t$t] t on t.object_id = my_c.object_id JOIN [tavrin].[%s$t$t] parent_t on "
    "parent_t.object_id = other_c.object_id LEFT OUTER JOIN [tavrin].[rules_fk] r ON r.fk_id = f.object_id AND "
    "r.sit = %d AND f.parent_object_id <> f.referenced_object_id WHERE f.is_disabled = 0 ORDER BY f.object_id ASC";

/* Composite keys by id: {"tbl": table id, "pairs": count, "drop": bool}. */
static void read_composite_keys(QK_context *ctx, tav_db_handle *h, QK_vhash *pComposite) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_vhash *pEntry = NULL;
  char szFk[16];
  QK_int32 count = 0;
  int bHas = 0, bRow = 0;
  QK_TRY(ctx, open_query(ctx, h->conn, &hStmt, &bHas, s_composite_fks_sql, h->name));
  for (;;) {
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, get_id_text(ctx, hStmt, 1, szFk));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 2, &count));
    if (count <= 1) continue;
    QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pComposite, szFk, &pEntry));
    QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "pairs", 0));
    QK_TRY(ctx, QK_vhash__add__bool(ctx, pEntry, "drop", 0));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

/* Adds the head of every composite key whose table the filter lets through. */
static void add_composite_heads(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                                QK_vhash *pComposite) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_vhash *pEntry = NULL;
  char *pszName = NULL;
  char szFk[16], szTbl[16], szRefTbl[16];
  QK_int32 onUpdate = 0, onDelete = 0, act = 0;
  int bHas = 0, bRow = 0, bExcluded = 0;
  QK_TRY(ctx, open_query(ctx, h->conn, &hStmt, &bHas, s_fk_heads_sql, h->name, FK_RULE_SITUATION));
  for (;;) {
    QK_free(ctx, pszName);
    pszName = NULL;
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, get_id_text(ctx, hStmt, 1, szFk));
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pComposite, szFk, &pEntry));
    if (pEntry == NULL) continue;
    /* Columns are read in increasing order: SQL Server's drivers refuse to go back. */
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 2, &pszName));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 3, szTbl));
    QK_TRY(ctx, is_excluded(ctx, pFilter, szTbl, NULL, &bExcluded));
    if (bExcluded) continue;
    QK_TRY(ctx, get_id_text(ctx, hStmt, 4, szRefTbl));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 5, &onUpdate));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 6, &onDelete));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 7, &act));
    QK_TRY(ctx, tav_defin__add_fk(ctx, psk, szFk, pszName, szTbl, szRefTbl, 0,
                                  tav_db_mssql__referential_action_name(onDelete),
                                  tav_db_mssql__referential_action_name(onUpdate), act));
    QK_TRY(ctx, QK_vhash__add__string(ctx, pEntry, "tbl", szTbl));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pszName);
}

/* Column pairs: single-column keys become the column's "fk", composite keys collect their
 * pairs or are marked to be dropped. */
static void add_fk_pairs(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                         QK_vhash *pComposite) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_vhash *pEntry = NULL;
  char *pszName = NULL;
  char szFk[16], szTbl[16], szCol[16], szRefTbl[16], szRefCol[16];
  QK_int32 myPrepared = 0, otherPrepared = 0, onUpdate = 0, onDelete = 0, act = 0;
  QK_int64 pairs = 0;
  int bHas = 0, bRow = 0, bExcluded = 0, bRefExcluded = 0;
  QK_TRY(ctx, open_query(ctx, h->conn, &hStmt, &bHas, s_fk_pairs_sql, h->name, h->name, FK_RULE_SITUATION));
  for (;;) {
    QK_free(ctx, pszName);
    pszName = NULL;
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    /* Columns are read in increasing order: SQL Server's drivers refuse to go back. */
    QK_TRY(ctx, get_id_text(ctx, hStmt, 1, szFk));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 2, &pszName));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 3, szTbl));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 4, szCol));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 5, &myPrepared));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 6, &otherPrepared));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 7, szRefTbl));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 8, szRefCol));
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pComposite, szFk, &pEntry));
    QK_TRY(ctx, is_excluded(ctx, pFilter, szTbl, szCol, &bExcluded));
    /* A key into a table or column the client does not get cannot hold there either. */
    QK_TRY(ctx, is_excluded(ctx, pFilter, szRefTbl, szRefCol, &bRefExcluded));
    if (bExcluded || bRefExcluded || !myPrepared || !otherPrepared) {
      if (pEntry != NULL) QK_TRY(ctx, QK_vhash__update__bool(ctx, pEntry, "drop", 1));
      continue;
    }
    if (pEntry != NULL) {
      int bDrop = 0;
      QK_TRY(ctx, QK_vhash__get__bool(ctx, pEntry, "drop", &bDrop));
      QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "pairs", &pairs));
      if (bDrop) continue;
      QK_TRY(ctx, tav_defin__set_fk_column_pair(ctx, psk, szTbl, szFk, szCol, szRefCol));
      QK_TRY(ctx, QK_vhash__update__int64(ctx, pEntry, "pairs", pairs + 1));
      continue;
    }
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 9, &onUpdate));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 10, &onDelete));
    QK_TRY(ctx, get_int32_or_0(ctx, hStmt, 11, &act));
    QK_TRY(ctx, tav_defin__set_column_fk(ctx, psk, szTbl, szCol, 1, szFk, pszName, szRefTbl, szRefCol, 0,
                                         tav_db_mssql__referential_action_name(onDelete),
                                         tav_db_mssql__referential_action_name(onUpdate), act));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pszName);
}

void tav_db_mssql__fetch_foreign_keys(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter) {
  QK_vhash *pComposite = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pComposite));
  QK_TRY(ctx, read_composite_keys(ctx, h, pComposite));
  QK_TRY(ctx, QK_vhash__count(ctx, pComposite, &count));
  if (count > 0) QK_TRY(ctx, add_composite_heads(ctx, h, psk, pFilter, pComposite));
  QK_TRY(ctx, add_fk_pairs(ctx, h, psk, pFilter, pComposite));
  /* A composite key stays only when every one of its columns made it into the definition; one
   * without pairs refers to a table that is not synchronised. */
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszFk = NULL, *pszTbl = NULL;
    QK_vhash *pEntry = NULL;
    QK_int64 pairs = 0;
    int bDrop = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pComposite, i, &pszFk, &pEntry));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pEntry, "tbl", &pszTbl));
    if (pszTbl == NULL) continue;
    QK_TRY(ctx, QK_vhash__get__bool(ctx, pEntry, "drop", &bDrop));
    QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "pairs", &pairs));
    if (bDrop || pairs == 0) QK_TRY(ctx, tav_defin__remove_fk(ctx, psk, pszTbl, pszFk));
  }
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pComposite));
}

static const char s_uniques_sql[] =
    "SELECT t.object_id, i.index_id, c.column_id, i.name as index_name, c.name as column_name FROM sys.indexes i "
    "JOIN [tavrin].[%s$t$t] t ON t.object_id = i.object_id JOIN sys.index_columns AS ic ON i.object_id = "
    "ic.object_id AND i.index_id = ic.index_id JOIN sys.columns AS c ON ic.object_id = c.object_id AND c.column_id "
    "= ic.column_id WHERE is_primary_key=0 AND is_unique=1 AND has_filter = 0 AND ignore_dup_key = 0 AND "
    "is_disabled=0 AND is_hypothetical=0 AND EXISTS (SELECT 1 FROM sys.columns c2 WHERE c2.object_id = t.old_id "
    "AND c2.name=c.name) ORDER BY t.object_id, i.index_id, c.column_id";

void tav_db_mssql__fetch_uniques(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_vhash *pCut = NULL, *pTable = NULL, *pUniques = NULL;
  char *pszIndexName = NULL;
  char szTbl[16], szIndex[16], szCol[16];
  int bHas = 0, bRow = 0, bExcluded = 0, bTableExcluded = 0;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pCut));
  QK_TRY(ctx, open_query(ctx, h->conn, &hStmt, &bHas, s_uniques_sql, h->name));
  for (;;) {
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, get_id_text(ctx, hStmt, 1, szTbl));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 2, szIndex));
    QK_TRY(ctx, get_id_text(ctx, hStmt, 3, szCol));
    QK_TRY(ctx, is_excluded(ctx, pFilter, szTbl, NULL, &bTableExcluded));
    if (bTableExcluded) continue;
    QK_TRY(ctx, is_excluded(ctx, pFilter, szTbl, szCol, &bExcluded));
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 4, &pszIndexName));
    QK_VERIFY(ctx, pszIndexName != NULL);
    if (bExcluded) {
      /* Enforcing the rest of the key on the client would refuse rows the server accepts. */
      QK_vhash *pTbl = NULL;
      QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pCut, szTbl, &pTbl));
      QK_TRY(ctx, QK_vhash__update__null(ctx, pTbl, pszIndexName));
    } else {
      QK_TRY(ctx, tav_defin__add_unique_column(ctx, psk, szTbl, szCol, pszIndexName));
    }
    QK_free(ctx, pszIndexName);
    pszIndexName = NULL;
  }
  QK_TRY(ctx, QK_vhash__count(ctx, pCut, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszTbl = NULL;
    QK_vhash *pNames = NULL;
    QK_uint32 names = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pCut, i, &pszTbl, &pNames));
    QK_TRY(ctx, tav_defin__get_table_record(ctx, psk, pszTbl, &pTable));
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pTable, "uniques", &pUniques));
    if (pUniques == NULL) continue;
    QK_TRY(ctx, QK_vhash__count(ctx, pNames, &names));
    for (QK_uint32 j = 0; j < names; j++) {
      const char *pszName = NULL;
      QK_variant *pv = NULL;
      QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pNames, j, &pszName, &pv));
      QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pUniques, pszName, NULL));
    }
    QK_TRY(ctx, QK_vhash__count(ctx, pUniques, &names));
    if (names == 0) QK_TRY(ctx, QK_vhash__remove(ctx, pTable, "uniques"));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pCut));
  QK_free(ctx, pszIndexName);
}

/* ---- Cache ---- */

void tav_db_mssql__schema_cache_key(QK_context *ctx, const char *pszFirstRstamp, const tav_filter *pFilter,
                                    QK_string **ppKey) {
  QK_string *pKey = NULL, *pJson = NULL;
  QK_sha1_ctx sha;
  char szDigest[QK_SHA1_SZ_SIZE];
  QK_ARG_NOT_NULL(ctx, pszFirstRstamp);
  QK_ARG_NOT_NULL(ctx, ppKey);
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pKey, "%s>%lld", pszFirstRstamp,
                                       (long long)(pFilter != NULL ? pFilter->filter_id : 0)));
  if (pFilter != NULL && pFilter->definition != NULL) {
    QK_TRY(ctx, QK_string__alloc(ctx, &pJson));
    QK_TRY(ctx, QK_vhash__to_json(ctx, pFilter->definition, pJson));
    QK_sha1__init(&sha);
    QK_sha1__update(&sha, QK_string__sz(pJson), (QK_uint32)strlen(QK_string__sz(pJson)));
    QK_sha1__final_hex(&sha, szDigest);
    QK_TRY(ctx, QK_string__append__format(ctx, pKey, ">%s", szDigest));
  }
  *ppKey = pKey;
  pKey = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pKey));
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
}

/* Copies of the entry's documents when it holds the schema txid; runs under the lock. */
static void copy_cache_entry(QK_context *ctx, const char *pszKey, QK_int64 schemaTxid, QK_vhash **ppSchema,
                             QK_vhash **ppHostInternals) {
  QK_vhash *pEntry = NULL, *pSchema = NULL, *pHost = NULL;
  QK_int64 txid = 0;
  if (g_schema_cache == NULL) goto done;
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, g_schema_cache, pszKey, &pEntry));
  if (pEntry == NULL) goto done;
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "txid", &txid));
  if (txid != schemaTxid) goto done;
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pEntry, "schema", &pSchema));
  QK_TRY(ctx, QK_vhash__alloc__copy(ctx, ppSchema, pSchema));
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, pEntry, "host_internals", &pHost));
  if (pHost != NULL) QK_TRY(ctx, QK_vhash__alloc__copy(ctx, ppHostInternals, pHost));
done:;
}

void tav_db_mssql__schema_cache_get(QK_context *ctx, const char *pszKey, QK_int64 schemaTxid, tav_defin **ppDefin) {
  QK_vhash *pSchema = NULL, *pHost = NULL;
  int bLocked = 0;
  QK_ARG_NOT_NULL(ctx, pszKey);
  QK_ARG_NOT_NULL(ctx, ppDefin);
  *ppDefin = NULL;
  QK_TRY(ctx, lock_schema_cache(ctx));
  bLocked = 1;
  QK_TRY(ctx, copy_cache_entry(ctx, pszKey, schemaTxid, &pSchema, &pHost));
  bLocked = 0;
  QK_TRY(ctx, QK_mutex__unlock(ctx, &g_schema_cache_mutex));
  if (pSchema != NULL) QK_TRY(ctx, tav_defin__alloc_from_vhash(ctx, ppDefin, &pSchema, &pHost));
done:
  if (bLocked) QK_RELEASE(ctx, QK_mutex__unlock(ctx, &g_schema_cache_mutex));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pSchema));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pHost));
}

/* Replaces the entry's documents when the offered generation is newer; runs under the lock. */
static void store_cache_entry(QK_context *ctx, const char *pszKey, QK_int64 schemaGeneration, QK_int64 schemaTxid,
                              tav_defin *psk) {
  QK_vhash *pEntry = NULL;
  QK_int64 gen = 0;
  if (g_schema_cache == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &g_schema_cache));
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, g_schema_cache, pszKey, &pEntry));
  if (pEntry == NULL) {
    QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, g_schema_cache, pszKey, &pEntry));
    QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "gen", 0));
    QK_TRY(ctx, QK_vhash__add__int64(ctx, pEntry, "txid", 0));
  }
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "gen", &gen));
  if (gen >= schemaGeneration) goto done;
  QK_TRY(ctx, tav_defin__put_into_vhash(ctx, psk, pEntry, 1));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pEntry, "gen", schemaGeneration));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pEntry, "txid", schemaTxid));
done:;
}

void tav_db_mssql__schema_cache_put(QK_context *ctx, const char *pszKey, QK_int64 schemaGeneration,
                                    QK_int64 schemaTxid, tav_defin *psk) {
  int bLocked = 0;
  QK_ARG_NOT_NULL(ctx, pszKey);
  QK_ARG_NOT_NULL(ctx, psk);
  if (schemaGeneration == TAV_SCHEMA_GENERATION_NONE) goto done;
  QK_TRY(ctx, lock_schema_cache(ctx));
  bLocked = 1;
  QK_TRY(ctx, store_cache_entry(ctx, pszKey, schemaGeneration, schemaTxid, psk));
done:
  if (bLocked) QK_RELEASE(ctx, QK_mutex__unlock(ctx, &g_schema_cache_mutex));
}

/* ---- The fetch ---- */

/* The newest schema change (txid, generation) and the first rstamp (NULL when none). */
static void read_schema_head(QK_context *ctx, tav_db_handle *h, QK_int64 *pTxid, QK_int64 *pGeneration,
                             char **ppszFirstRstamp) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  int bHas = 0, bRow = 0;
  *pTxid = *pGeneration = 0;
  QK_TRY(ctx, open_query(ctx, h->conn, &hStmt, &bHas, s_head_sql, h->name, h->name, h->name, h->name));
  QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
  if (!bRow) goto done;
  QK_TRY(ctx, get_int64_or_0(ctx, hStmt, 1, pTxid));
  QK_TRY(ctx, get_int64_or_0(ctx, hStmt, 2, pGeneration));
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 3, ppszFirstRstamp));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

static void read_schema_check_txid(QK_context *ctx, tav_db_handle *h, QK_int64 *pTxid) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  int bHas = 0, bRow = 0;
  *pTxid = 0;
  QK_TRY(ctx, open_query(ctx, h->conn, &hStmt, &bHas, s_check_sql, h->name, h->name));
  QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
  if (bRow) QK_TRY(ctx, get_int64_or_0(ctx, hStmt, 1, pTxid));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void tav_db_mssql__fetch_schema(QK_context *ctx, tav_db_handle *h, tav_filter *pFilter, QK_int64 *pSchemaTxid,
                                QK_int64 *pSchemaGeneration, tav_defin **ppDefin) {
  tav_defin *psk = NULL;
  char *pszFirstRstamp = NULL;
  QK_string *pKey = NULL;
  QK_int64 txid = 0, generation = 0, checkTxid = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, ppDefin);
  *ppDefin = NULL;
  QK_TRY(ctx, read_schema_head(ctx, h, &txid, &generation, &pszFirstRstamp));
  if (pSchemaGeneration != NULL && generation == TAV_SCHEMA_GENERATION_NONE)
    QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "schema too new to identify by export generation");
  if (pszFirstRstamp != NULL) {
    QK_TRY(ctx, tav_db_mssql__schema_cache_key(ctx, pszFirstRstamp, pFilter, &pKey));
    QK_TRY(ctx, tav_db_mssql__schema_cache_get(ctx, QK_string__sz(pKey), txid, &psk));
  }
  if (psk == NULL) {
    QK_TRY(ctx, tav_defin__alloc(ctx, 1, &psk));
    QK_TRY(ctx, tav_defin__set_indistinct_unique_nulls(ctx, psk, 1));
    QK_TRY(ctx, tav_defin__set_backend_name(ctx, psk, "mssql"));
    QK_TRY(ctx, tav_defin__set_backend_api(ctx, psk, "odbc"));
    QK_TRY(ctx, tav_defin__set_filter_id(ctx, psk, pFilter != NULL ? pFilter->filter_id : 0));
    QK_TRY(ctx, fetch_columns(ctx, h, psk, pFilter));
    QK_TRY(ctx, tav_db_mssql__fetch_primary_keys(ctx, h, psk, pFilter));
    QK_TRY(ctx, tav_db_mssql__fetch_foreign_keys(ctx, h, psk, pFilter));
    QK_TRY(ctx, tav_db_mssql__fetch_uniques(ctx, h, psk, pFilter));
    QK_TRY(ctx, read_schema_check_txid(ctx, h, &checkTxid));
    if (checkTxid != txid) QK_THROW_MSG(ctx, QK_ERR_BUSY_RETRY, "schema change while fetching schema");
    if (pKey != NULL) QK_TRY(ctx, tav_db_mssql__schema_cache_put(ctx, QK_string__sz(pKey), generation, txid, psk));
  }
  if (pSchemaTxid != NULL) *pSchemaTxid = txid;
  if (pSchemaGeneration != NULL) *pSchemaGeneration = generation;
  *ppDefin = psk;
  psk = NULL;
done:
  QK_RELEASE(ctx, tav_defin__free(ctx, &psk));
  QK_RELEASE(ctx, QK_string__free(ctx, pKey));
  QK_free(ctx, pszFirstRstamp);
}

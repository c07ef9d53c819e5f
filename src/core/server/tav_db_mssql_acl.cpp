/* Access lists, filter assignments, stored filters and users of the SQL Server store. */
#include "server/tav_db_mssql_acl.h"

#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

#include "common/tav_sql_quote.h"
#include "qk/qk_malloc.h"

/* Prepares and runs a statement and moves to its first result set with columns. */
static void open_query(QK_context *ctx, SQLHSTMT hStmt, int *pbHas) {
  QK_TRY(ctx, QK_mssql__execute(ctx, hStmt));
  QK_TRY(ctx, tav_db_mssql__seek_first_result(ctx, hStmt, pbHas));
done:;
}

static void next_row(QK_context *ctx, SQLHSTMT hStmt, int bHas, int *pbRow) {
  *pbRow = 0;
  if (bHas) QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, pbRow));
done:;
}

/* Adds a text column under the key unless it is NULL. */
static void add_text_column(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_vhash *pRow, const char *pszKey) {
  char *psz = NULL;
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, col, &psz));
  if (psz != NULL) QK_TRY(ctx, QK_vhash__add__string(ctx, pRow, pszKey, psz));
done:
  QK_free(ctx, psz);
}

static const char s_acl_sql[] = "SELECT scheme,who,tbl_id,op,result FROM tavrin.\"%s$t$a\"";

void tav_db_mssql__get_acl(QK_context *ctx, tav_db_handle *h, QK_varray **ppAcl) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  QK_string *pSql = NULL;
  QK_varray *pAcl = NULL;
  QK_vhash *pRow = NULL;
  QK_int32 tblId = 0;
  SQLLEN ind = 0;
  char szTbl[16];
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, ppAcl);
  QK_TRY(ctx, QK_varray__alloc(ctx, &pAcl));
  /* Sent as it stands, so that the session settings waiting for the request's first batch
   * (the deadlock priority) go with it and stay with the session. */
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_acl_sql, h->name));
  QK_TRY(ctx, tav_db_mssql__open_direct_query(ctx, h->conn, QK_string__sz(pSql), &hStmt, &bHas));
  for (;;) {
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, pAcl, &pRow));
    QK_TRY(ctx, add_text_column(ctx, hStmt, 1, pRow, "scheme"));
    QK_TRY(ctx, add_text_column(ctx, hStmt, 2, pRow, "who"));
    QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, 3, &tblId, &ind));
    if (ind == SQL_NULL_DATA)
      snprintf(szTbl, sizeof szTbl, "*");
    else
      snprintf(szTbl, sizeof szTbl, "%d", (int)tblId);
    QK_TRY(ctx, QK_vhash__add__string(ctx, pRow, "tbl", szTbl));
    QK_TRY(ctx, add_text_column(ctx, hStmt, 4, pRow, "op"));
    QK_TRY(ctx, add_text_column(ctx, hStmt, 5, pRow, "result"));
  }
  *ppAcl = pAcl;
  pAcl = NULL;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_varray__free(ctx, pAcl));
}

static const char s_user_filters_sql[] = "SELECT scheme,who,filter FROM tavrin.\"%s$t$uf\" ORDER BY priority ASC";
/* With the txid the newest table change comes first, in the same batch. */
static const char s_newest_txid_and_user_filters_sql[] =
    "SELECT TOP 1 [txid] AS [txid] FROM [tavrin].[%s$t$t] ORDER BY [txid] DESC;\n"
    "SELECT scheme,who,filter FROM tavrin.\"%s$t$uf\" ORDER BY priority ASC";

static void read_user_filters(QK_context *ctx, SQLHSTMT hStmt, int bHas, QK_varray **ppAssignments) {
  QK_varray *pList = NULL;
  QK_vhash *pRow = NULL;
  QK_int64 value = 0;
  int bRow = 0;
  QK_TRY(ctx, QK_varray__alloc(ctx, &pList));
  for (;;) {
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, pList, &pRow));
    QK_TRY(ctx, add_text_column(ctx, hStmt, 1, pRow, "scheme"));
    QK_TRY(ctx, add_text_column(ctx, hStmt, 2, pRow, "who"));
    /* Without an indicator a NULL filter id is the driver's error. */
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 3, &value, NULL));
    QK_TRY(ctx, QK_vhash__add__int64(ctx, pRow, "filter", value));
  }
  *ppAssignments = pList;
  pList = NULL;
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pList));
}

void tav_db_mssql__append_newest_txid_and_user_filters_sql(QK_context *ctx, tav_db_handle *h, QK_string *pSql) {
  QK_ARG_NOT_NULL(ctx, h);
  QK_TRY(ctx, QK_string__append__format(ctx, pSql, s_newest_txid_and_user_filters_sql, h->name, h->name));
done:;
}

void tav_db_mssql__read_newest_txid_and_user_filters(QK_context *ctx, SQLHSTMT hStmt, int bHas, QK_int64 *pTxid,
                                                     QK_varray **ppAssignments) {
  QK_int64 value = 0;
  SQLLEN ind = 0;
  int bRow = 0;
  QK_ARG_NOT_NULL(ctx, pTxid);
  QK_ARG_NOT_NULL(ctx, ppAssignments);
  QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
  if (bRow) QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 1, &value, &ind));
  *pTxid = bRow && ind != SQL_NULL_DATA ? value : 0;
  QK_TRY(ctx, tav_db_mssql__next_result(ctx, hStmt, &bHas));
  QK_TRY(ctx, read_user_filters(ctx, hStmt, bHas, ppAssignments));
done:;
}

void tav_db_mssql__get_user_filters(QK_context *ctx, tav_db_handle *h, QK_varray **ppAssignments,
                                    QK_int64 *pTxid) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  int bHas = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, ppAssignments);
  if (pTxid != NULL && h->pUserFilters != NULL) {
    /* Read by the export's begin, in its transaction. */
    *pTxid = h->user_filters_txid;
    *ppAssignments = h->pUserFilters;
    h->pUserFilters = NULL;
    goto done;
  }
  if (pTxid != NULL) {
    QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_newest_txid_and_user_filters_sql, h->name,
                                          h->name));
    QK_TRY(ctx, open_query(ctx, hStmt, &bHas));
    QK_TRY(ctx, tav_db_mssql__read_newest_txid_and_user_filters(ctx, hStmt, bHas, pTxid, ppAssignments));
  } else {
    QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_user_filters_sql, h->name));
    QK_TRY(ctx, open_query(ctx, hStmt, &bHas));
    QK_TRY(ctx, read_user_filters(ctx, hStmt, bHas, ppAssignments));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

static const char s_filter_sql[] = "SELECT filter FROM tavrin.%s$t$f WHERE id=? OPTION (OPTIMIZE FOR UNKNOWN)";

void tav_db_mssql__get_filter(QK_context *ctx, tav_db_handle *h, QK_int64 filterId, const char *pszUserName,
                              tav_filter **ppFilter) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char *pszJson = NULL;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, ppFilter);
  *ppFilter = NULL;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, h->conn, &hStmt, s_filter_sql, h->name));
  QK_TRY(ctx, QK_mssql__bind__int64(ctx, hStmt, 1, &filterId));
  QK_TRY(ctx, open_query(ctx, hStmt, &bHas));
  QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
  if (!bRow) goto done;
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &pszJson));
  /* A NULL text is not a JSON object: the constructor refuses it like any other. */
  QK_TRY(ctx, tav_filter__alloc(ctx, filterId, pszUserName, pszJson != NULL ? pszJson : "", ppFilter));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pszJson);
}

static const char s_object_exists_sql[] = "SELECT CAST(CASE WHEN object_id(?) IS NULL THEN 0 ELSE 1 END AS BIT)";

void tav_db_mssql__object_exists(QK_context *ctx, QK_mssql_connection *pConn, const char *pszName, int *pbExists) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char16_t *pwszName = NULL;
  SQLLEN indName = 0;
  QK_int32 value = 0;
  int bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, pszName);
  QK_ARG_NOT_NULL(ctx, pbExists);
  QK_TRY(ctx, QK_mssql__prepare(ctx, pConn, &hStmt, s_object_exists_sql));
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, 1, pszName, SQL_WVARCHAR, &indName, &pwszName));
  QK_TRY(ctx, open_query(ctx, hStmt, &bHas));
  QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
  QK_VERIFY(ctx, bRow);
  QK_TRY(ctx, QK_mssql__get__int32(ctx, hStmt, 1, &value, NULL));
  *pbExists = value != 0;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pwszName);
}

/* Writes an object name of one or two parts (schema.table) as SQL Server reads it, each part
 * bare, in brackets or in double quotes, back into pOut with every part in brackets. The name
 * comes from the client, so nothing of it reaches the SQL text unquoted; a name with a database
 * or server part, or with an empty or unterminated part, names no table here (*pbValid 0). */
static void bracket_object_name(QK_context *ctx, const char *pszName, QK_string *pOut, int *pbValid) {
  QK_string *pPart = NULL;
  const char *p = pszName;
  int parts = 0;
  *pbValid = 0;
  QK_TRY(ctx, QK_string__alloc(ctx, &pPart));
  for (;;) {
    QK_TRY(ctx, QK_string__clear(ctx, pPart));
    if (*p == '[' || *p == '"') {
      const char closing = *p == '[' ? ']' : '"';
      for (p++;; p++) {
        if (*p == '\0') goto done;
        if (*p == closing) {
          if (p[1] != closing) break;
          p++;
        }
        QK_TRY(ctx, QK_string__append__buflen(ctx, pPart, p, 1));
      }
      p++;
    } else {
      size_t n = strcspn(p, ".");
      QK_TRY(ctx, QK_string__append__buflen(ctx, pPart, p, (QK_uint32)n));
      p += n;
    }
    if (QK_string__length_in_bytes(pPart) == 0 || ++parts > 2) goto done;
    if (parts > 1) QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "."));
    QK_TRY(ctx, tav_sql__append_bracketed_name(ctx, pOut, QK_string__sz(pPart)));
    if (*p == '\0') break;
    if (*p != '.') goto done;
    p++;
  }
  *pbValid = 1;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pPart));
}

void tav_db_mssql__resolve_users_table(QK_context *ctx, QK_mssql_connection *pConn, const char *pszTable,
                                       QK_string **ppName) {
  QK_string *pName = NULL;
  int bExists = 0, bValid = 1;
  QK_ARG_NOT_NULL(ctx, pszTable);
  QK_ARG_NOT_NULL(ctx, ppName);
  *ppName = NULL;
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pName, "[tavrin]."));
  QK_TRY(ctx, tav_sql__append_bracketed_name(ctx, pName, pszTable));
  QK_TRY(ctx, tav_db_mssql__object_exists(ctx, pConn, QK_string__sz(pName), &bExists));
  if (!bExists) {
    QK_TRY(ctx, QK_string__clear(ctx, pName));
    QK_TRY(ctx, bracket_object_name(ctx, pszTable, pName, &bValid));
  }
  if (bValid) {
    *ppName = pName;
    pName = NULL;
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
}

static const char s_user_sql[] = "SELECT name, pass FROM %s WHERE name=? OPTION (OPTIMIZE FOR UNKNOWN)";
static const char s_groups_table[] = "[tavrin].[groups]";
static const char s_groups_sql[] =
    "SELECT groupname FROM [tavrin].[groups] groups WHERE groups.username=? OPTION (OPTIMIZE FOR UNKNOWN)";

/* Appends the user's groups from tavrin's groups table, when there is one. */
static void add_groups(QK_context *ctx, QK_mssql_connection *pConn, const char *pszUserName,
                       tav_user_identity *pIdentity) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char16_t *pwszUser = NULL;
  char *pszGroup = NULL;
  SQLLEN indUser = 0;
  int bExists = 0, bHas = 0, bRow = 0;
  QK_TRY(ctx, tav_db_mssql__object_exists(ctx, pConn, s_groups_table, &bExists));
  if (!bExists) goto done;
  QK_TRY(ctx, QK_mssql__prepare(ctx, pConn, &hStmt, s_groups_sql));
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, 1, pszUserName, SQL_WVARCHAR, &indUser, &pwszUser));
  QK_TRY(ctx, open_query(ctx, hStmt, &bHas));
  for (;;) {
    QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &pszGroup));
    if (pszGroup != NULL) QK_TRY(ctx, QK_varray__append__string(ctx, pIdentity->groups, pszGroup));
    QK_free(ctx, pszGroup);
    pszGroup = NULL;
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_free(ctx, pwszUser);
  QK_free(ctx, pszGroup);
}

void tav_db_mssql__lookup_user(QK_context *ctx, QK_mssql_connection *pConn, const char *pszUsersTable,
                               const char *pszUserName, tav_user_identity **ppIdentity, char **ppszStoredPassword) {
  QK_string *pTable = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char16_t *pwszUser = NULL;
  char *pszName = NULL, *pszPass = NULL, *pszStored = NULL;
  tav_user_identity *pIdentity = NULL;
  SQLLEN indUser = 0;
  int bExists = 0, bHas = 0, bRow = 0;
  QK_ARG_NOT_NULL(ctx, pszUsersTable);
  QK_ARG_NOT_NULL(ctx, pszUserName);
  QK_ARG_NOT_NULL(ctx, ppIdentity);
  QK_ARG_NOT_NULL(ctx, ppszStoredPassword);
  QK_TRY(ctx, tav_db_mssql__resolve_users_table(ctx, pConn, pszUsersTable, &pTable));
  if (pTable == NULL) goto done;
  QK_TRY(ctx, tav_db_mssql__object_exists(ctx, pConn, QK_string__sz(pTable), &bExists));
  if (!bExists) goto done;
  QK_TRY(ctx, QK_mssql__prepare__format(ctx, pConn, &hStmt, s_user_sql, QK_string__sz(pTable)));
  QK_TRY(ctx, QK_mssql__bind__nstring(ctx, hStmt, 1, pszUserName, SQL_WVARCHAR, &indUser, &pwszUser));
  QK_TRY(ctx, open_query(ctx, hStmt, &bHas));
  QK_TRY(ctx, next_row(ctx, hStmt, bHas, &bRow));
  if (!bRow) goto done;
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 1, &pszName));
  QK_TRY(ctx, QK_mssql__get__nstring(ctx, hStmt, 2, &pszPass));
  QK_TRY(ctx, tav_user_identity__alloc(ctx, pszName, NULL, &pIdentity));
  pszStored = sqlite3_mprintf("%s", pszPass != NULL ? pszPass : "");
  if (pszStored == NULL) QK_THROW(ctx, QK_ERR_MALLOC_FAILED);
  QK_TRY(ctx, QK_mssql__free_stmt(ctx, hStmt));
  hStmt = SQL_NULL_HSTMT;
  QK_TRY(ctx, add_groups(ctx, pConn, pszUserName, pIdentity));
  *ppIdentity = pIdentity;
  *ppszStoredPassword = pszStored;
  pIdentity = NULL;
  pszStored = NULL;
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pTable));
  QK_RELEASE(ctx, tav_user_identity__free(ctx, &pIdentity));
  QK_free(ctx, pwszUser);
  QK_free(ctx, pszName);
  QK_free(ctx, pszPass);
  sqlite3_free(pszStored);
}

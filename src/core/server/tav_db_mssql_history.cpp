/* Row versions read ahead for the conflicts of a push. */
#include "server/tav_db_mssql_history.h"

#include <string.h>

#include "common/tav_sql_quote.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_mssql.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "server/tav_db_mssql_row_batch.h"
#include "server/tav_db_mssql_values.h"
#include "server/tav_handle_conflicts.h"

/* What was read, by key: "C|<tbl>" the columns of the rows read (their names as keys); "L|<tbl>|<rid>"
 * and "D|<tbl>|<rid>" the newest version of a row and the txid that deleted it;
 * "R|<tbl>|<rid>|<txid>" the values of a version, "N|<tbl>|<rid>|<txid>" a version found
 * missing. */
struct tav_db_history {
  QK_vhash *pRead;
};

#define HISTORY_KEY_SIZE (TAV_TABLE_ID_SZ_SIZE + QK_GUID_SZ_SIZE + 32)

static const char s_history_table_sql[] = "CREATE TABLE #%s (rid uniqueidentifier NOT NULL, txid bigint NULL)";
static const char s_history_insert_head[] = "INSERT INTO #%s (rid, txid)";
/* Every version of the listed rows that an update did not supersede; per row the newest of
 * them is what a lookup of the row alone gives. */
static const char s_latest_versions_sql[] =
    "SELECT rv.rid, rv.txid, dd.txid FROM (SELECT DISTINCT rid FROM #%s) AS h\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" AS rv ON (rv.rid=h.rid)\n"
    "  LEFT OUTER JOIN tavrin.\"%s$z$dd$%s\" AS dd ON (rv.z_rv=dd.rv)\n"
    "  LEFT OUTER JOIN tavrin.\"%s$z$rv$%s\" AS rv2 ON (rv2.rid=rv.rid) AND (rv2.txid=dd.txid)\n"
    "  WHERE (rv2.txid IS NULL);";
/* The values of the listed versions: live ones from the current values, others from the old. */
static const char s_versions_sql[] =
    "SELECT rv1.rid AS z_rid, rv1.txid AS z_txid%s FROM tavrin.\"%s$z$%s\" u\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" rv1 ON (rv1.z_rv=u.z_rv)\n"
    "  INNER JOIN (SELECT DISTINCT rid, txid FROM #%s WHERE txid IS NOT NULL) AS p ON (p.rid=rv1.rid AND "
    "p.txid=rv1.txid)\n"
    "UNION ALL SELECT rv2.rid AS z_rid, rv2.txid AS z_txid%s FROM tavrin.\"%s$z$old$%s\" v\n"
    "  INNER JOIN tavrin.\"%s$z$rv$%s\" rv2 ON (rv2.z_rv=v.z_rv)\n"
    "  INNER JOIN (SELECT DISTINCT rid, txid FROM #%s WHERE txid IS NOT NULL) AS p ON (p.rid=rv2.rid AND "
    "p.txid=rv2.txid);";

/* Members a reading of `count` entries makes, bounded so that a first small reading does not
 * leave big chunks and a big one does not start with a huge chunk. */
static QK_uint32 history_guess(QK_uint32 count) {
  QK_uint64 guess = (QK_uint64)count * 4;
  if (guess < 256) guess = 256;
  if (guess > 16384) guess = 16384;
  return (QK_uint32)guess;
}

/* "<kind>|<tbl>", then "|<rid>" with pszRid and "|<txid>" with pTxid: built by hand, since a
 * push looks keys up several times a row. A key that does not fit raises as a formatted one
 * would. */
static void compose_key(QK_context *ctx, char kind, const char *pszTbl, const char *pszRid, const QK_int64 *pTxid,
                        char *pszKey) {
  char szTxid[QK_INT64_SZ_SIZE];
  size_t lenTbl = strlen(pszTbl), lenRid = pszRid != NULL ? strlen(pszRid) : 0, lenTxid = 0, at = 0;
  pszKey[0] = '\0';
  if (pTxid != NULL) lenTxid = strlen(QK_int64__to_sz(*pTxid, szTxid));
  if (2 + lenTbl + (pszRid != NULL ? 1 + lenRid : 0) + (pTxid != NULL ? 1 + lenTxid : 0) >= HISTORY_KEY_SIZE)
    QK_THROW(ctx, QK_ERR_BUFFER_TOO_SMALL);
  pszKey[at++] = kind;
  pszKey[at++] = '|';
  memcpy(pszKey + at, pszTbl, lenTbl);
  at += lenTbl;
  if (pszRid != NULL) {
    pszKey[at++] = '|';
    memcpy(pszKey + at, pszRid, lenRid);
    at += lenRid;
  }
  if (pTxid != NULL) {
    pszKey[at++] = '|';
    memcpy(pszKey + at, szTxid, lenTxid);
    at += lenTxid;
  }
  pszKey[at] = '\0';
done:;
}

static void version_key(QK_context *ctx, char kind, const char *pszTbl, const char *pszRid, QK_int64 txid,
                        char *pszKey) {
  QK_TRY(ctx, compose_key(ctx, kind, pszTbl, pszRid, &txid, pszKey));
done:;
}

static void row_key(QK_context *ctx, char kind, const char *pszTbl, const char *pszRid, char *pszKey) {
  QK_TRY(ctx, compose_key(ctx, kind, pszTbl, pszRid, NULL, pszKey));
done:;
}

/* ", <q>."a", <q>."b"" over the document's keys. */
static void qualified_columns(QK_context *ctx, const QK_vhash *pColumns, const char *pszQualifier,
                              QK_string **ppList) {
  QK_uint32 count = 0;
  const char *pszName = NULL;
  QK_TRY(ctx, QK_string__alloc(ctx, ppList));
  QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumns, i, &pszName, NULL));
    QK_TRY(ctx, QK_string__append__format(ctx, *ppList, ", %s.", pszQualifier));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, *ppList, pszName));
  }
done:;
}

/* Rows (rid, txid or NULL) into the history temp table, in multi-row statements. */
static void open_pairs(QK_context *ctx, tav_db_handle *h, const char *pszTemp, tav_row_batch **ppBatch) {
  static const QK_int16 types[] = {SQL_GUID, SQL_BIGINT};
  char szHead[sizeof s_history_insert_head + TAV_TEMP_NAME_SIZE];
  QK_TRY(ctx, QK_sprintf_buf(ctx, szHead, sizeof szHead, s_history_insert_head, pszTemp));
  QK_TRY(ctx, tav_db_mssql__row_batch_open_typed(ctx, h->conn, szHead, 2, types, ppBatch));
done:;
}

static void add_pair(QK_context *ctx, tav_row_batch *pBatch, const char *pszRid, QK_int64 txid) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  tav_col_collection *pBindings = NULL;
  int first = 0;
  QK_TRY(ctx, tav_db_mssql__row_batch_next(ctx, pBatch, &hStmt, &pBindings, &first));
  QK_TRY(ctx, tav_db_mssql__row_batch_bind_guid(ctx, hStmt, first + 1, &pBindings->pBindings[first], pszRid));
  QK_TRY(ctx, tav_db_mssql__row_batch_bind_int64(ctx, hStmt, first + 2, &pBindings->pBindings[first + 1], txid <= 0,
                                                 txid));
  QK_TRY(ctx, tav_db_mssql__row_batch_added(ctx, pBatch, 0));
done:;
}

/* The next result row's row id (column 1) and txid (column 2); *pbRow 0 after the last. */
static void next_version(QK_context *ctx, SQLHSTMT hStmt, int bHas, int *pbRow, QK_uint8 *pRid16, QK_int64 *pTxid,
                         SQLLEN *pInd) {
  *pbRow = 0;
  if (!bHas) goto done;
  QK_TRY(ctx, QK_mssql__fetch(ctx, hStmt, pbRow));
  if (!*pbRow) goto done;
  QK_TRY(ctx, QK_mssql__get__guid(ctx, hStmt, 1, pRid16, pInd));
  QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 2, pTxid, pInd));
done:;
}

/* The newest not superseded version of every listed row, as "L" and "D" members. */
static void read_latest(QK_context *ctx, tav_db_handle *h, const char *pszTbl, const char *pszTemp, QK_vhash *pRead) {
  QK_string *pSql = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szRid[QK_GUID_SZ_SIZE], szKey[HISTORY_KEY_SIZE];
  QK_uint8 rid[16];
  QK_int64 txid = 0, deleting = 0, known = 0;
  SQLLEN ind = 0, indDel = 0;
  int bHas = 0, bRow = 0;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_latest_versions_sql, pszTemp, h->name, pszTbl, h->name, pszTbl,
                                       h->name, pszTbl));
  QK_TRY(ctx, tav_db_mssql__open_query(ctx, h->conn, QK_string__sz(pSql), &hStmt, &bHas));
  for (;;) {
    QK_TRY(ctx, next_version(ctx, hStmt, bHas, &bRow, rid, &txid, &ind));
    if (!bRow) break;
    QK_TRY(ctx, QK_mssql__get__int64(ctx, hStmt, 3, &deleting, &indDel));
    if (ind == SQL_NULL_DATA) continue;
    if (indDel == SQL_NULL_DATA) deleting = 0;
    QK_guid__to_sz(rid, szRid);
    QK_TRY(ctx, row_key(ctx, 'L', pszTbl, szRid, szKey));
    known = 0;
    QK_TRY(ctx, QK_vhash__check__int64(ctx, pRead, szKey, &known));
    if (txid <= known) continue;
    QK_TRY(ctx, QK_vhash__update__int64(ctx, pRead, szKey, txid));
    szKey[0] = 'D';
    QK_TRY(ctx, QK_vhash__update__int64(ctx, pRead, szKey, deleting));
  }
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

/* The values of the listed versions, as "R" members. Each row lives in the pools of what was
 * read rather than in pools of its own: a push reads thousands of them, and fresh pools per
 * row cost more than reading the row. */
static void read_versions(QK_context *ctx, tav_db_handle *h, const char *pszTbl, const char *pszTemp,
                          const QK_vhash *pColumns, QK_vhash *pRead) {
  QK_string *pSql = NULL, *pLive = NULL, *pOld = NULL;
  QK_vhash *pRow = NULL;
  tav_row_shape *pShape = NULL;
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  char szRid[QK_GUID_SZ_SIZE], szKey[HISTORY_KEY_SIZE];
  QK_uint8 rid[16];
  QK_int64 txid = 0;
  SQLLEN ind = 0;
  int bHas = 0, bRow = 0, bKnown = 0;
  QK_TRY(ctx, qualified_columns(ctx, pColumns, "u", &pLive));
  QK_TRY(ctx, qualified_columns(ctx, pColumns, "v", &pOld));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pSql, s_versions_sql, QK_string__sz(pLive), h->name, pszTbl, h->name,
                                       pszTbl, pszTemp, QK_string__sz(pOld), h->name, pszTbl, h->name, pszTbl,
                                       pszTemp));
  QK_TRY(ctx, tav_db_mssql__open_query(ctx, h->conn, QK_string__sz(pSql), &hStmt, &bHas));
  for (;;) {
    QK_TRY(ctx, next_version(ctx, hStmt, bHas, &bRow, rid, &txid, &ind));
    if (!bRow) break;
    QK_TRY(ctx, version_key(ctx, 'R', pszTbl, QK_guid__to_sz(rid, szRid), txid, szKey));
    /* The first row of a version stands, as a lookup of the version alone reads it. */
    QK_TRY(ctx, QK_vhash__has(ctx, pRead, szKey, &bKnown));
    if (bKnown) continue;
    /* Every row has the same columns: described once. */
    if (pShape == NULL) QK_TRY(ctx, tav_db_mssql__describe_row_shape(ctx, hStmt, &pShape));
    QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pRead, szKey, &pRow));
    QK_TRY(ctx, tav_db_mssql__shaped_row_to_vhash(ctx, hStmt, pShape, pRow, NULL));
  }
done:
  tav_db_mssql__free_row_shape(ctx, &pShape);
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
  QK_RELEASE(ctx, QK_string__free(ctx, pLive));
  QK_RELEASE(ctx, QK_string__free(ctx, pOld));
}

/* A version listed but not read does not exist: an "N" member. */
static void note_missing(QK_context *ctx, QK_vhash *pRead, const char *pszTbl, const char *pszRid, QK_int64 txid) {
  char szKey[HISTORY_KEY_SIZE];
  int bKnown = 0;
  if (txid <= 0) return;
  QK_TRY(ctx, version_key(ctx, 'R', pszTbl, pszRid, txid, szKey));
  QK_TRY(ctx, QK_vhash__has(ctx, pRead, szKey, &bKnown));
  szKey[0] = 'N';
  if (!bKnown) QK_TRY(ctx, QK_vhash__update__bool(ctx, pRead, szKey, 1));
done:;
}

void tav_db_mssql__history_read_ahead(QK_context *ctx, tav_db_handle *h, sqlite3 *pPkgDb, const char *pszTblId,
                                      QK_varray *pEntries) {
  QK_vhash *pColumns = NULL;
  tav_row_batch *pBatch = NULL;
  char szTbl[TAV_TABLE_ID_SZ_SIZE], szTemp[TAV_TEMP_NAME_SIZE], szKey[HISTORY_KEY_SIZE];
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, h);
  QK_ARG_NOT_NULL(ctx, pPkgDb);
  QK_ARG_NOT_NULL(ctx, pEntries);
  QK_TRY(ctx, QK_varray__count(ctx, pEntries, &count));
  if (count == 0) goto done;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  if (h->pHistory == NULL) {
    QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(struct tav_db_history), &h->pHistory));
    /* Pools sized for a few members an entry, the rows read among them. */
    QK_TRY(ctx, QK_vhash__alloc__params(ctx, &h->pHistory->pRead, history_guess(count), NULL, NULL));
  }
  QK_TRY(ctx, tav_db_mssql__make_temp_name(ctx, szTemp, "history", szTbl));
  QK_TRY(ctx, QK_mssql__exec__format(ctx, h->conn, s_history_table_sql, szTemp));

  /* The rows and the versions their changes were based on. */
  QK_TRY(ctx, open_pairs(ctx, h, szTemp, &pBatch));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pEntry = NULL;
    const char *pszRid = NULL;
    QK_int64 del = 0;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pEntries, i, &pEntry));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "rid", &pszRid));
    QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "txid_rec_del", &del));
    QK_TRY(ctx, add_pair(ctx, pBatch, pszRid, del));
  }
  QK_TRY(ctx, tav_db_mssql__row_batch_flush(ctx, pBatch));
  QK_TRY(ctx, read_latest(ctx, h, szTbl, szTemp, h->pHistory->pRead));

  /* The newest versions join the list; then the values of all listed versions. */
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pEntry = NULL;
    const char *pszRid = NULL;
    QK_int64 latest = 0;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pEntries, i, &pEntry));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "rid", &pszRid));
    QK_TRY(ctx, row_key(ctx, 'L', szTbl, pszRid, szKey));
    QK_TRY(ctx, QK_vhash__check__int64(ctx, h->pHistory->pRead, szKey, &latest));
    if (latest > 0) QK_TRY(ctx, add_pair(ctx, pBatch, pszRid, latest));
  }
  QK_TRY(ctx, tav_db_mssql__row_batch_flush(ctx, pBatch));
  QK_TRY(ctx, tav_pkg__get_table_columns(ctx, pPkgDb, pszTblId, &pColumns));
  QK_TRY(ctx, read_versions(ctx, h, szTbl, szTemp, pColumns, h->pHistory->pRead));
  QK_TRY(ctx, compose_key(ctx, 'C', szTbl, NULL, NULL, szKey));
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, h->pHistory->pRead, szKey, NULL));
  QK_TRY(ctx, QK_vhash__addcopy__vhash(ctx, h->pHistory->pRead, szKey, pColumns));

  /* Rows without any version have none to read later either; listed versions not read are
   * gone. */
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pEntry = NULL;
    const char *pszRid = NULL;
    QK_int64 latest = 0, del = 0;
    int bKnown = 0;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pEntries, i, &pEntry));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "rid", &pszRid));
    QK_TRY(ctx, QK_vhash__get__int64(ctx, pEntry, "txid_rec_del", &del));
    QK_TRY(ctx, row_key(ctx, 'L', szTbl, pszRid, szKey));
    QK_TRY(ctx, QK_vhash__has(ctx, h->pHistory->pRead, szKey, &bKnown));
    if (!bKnown) {
      QK_TRY(ctx, QK_vhash__update__int64(ctx, h->pHistory->pRead, szKey, 0));
      szKey[0] = 'D';
      QK_TRY(ctx, QK_vhash__update__int64(ctx, h->pHistory->pRead, szKey, 0));
    }
    szKey[0] = 'L';
    QK_TRY(ctx, QK_vhash__check__int64(ctx, h->pHistory->pRead, szKey, &latest));
    QK_TRY(ctx, note_missing(ctx, h->pHistory->pRead, szTbl, pszRid, latest));
    QK_TRY(ctx, note_missing(ctx, h->pHistory->pRead, szTbl, pszRid, del));
  }
done:
  /* Half of a reading is no reading: lookups go to SQL Server. */
  if (QK_context__has_error(ctx)) tav_db_mssql__history_forget(ctx, h);
  QK_RELEASE(ctx, tav_db_mssql__row_batch_free(ctx, &pBatch));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pColumns));
}

void tav_db_mssql__history_latest(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const QK_uint8 *pRid16,
                                  int *pbKnown, QK_int64 *pTxid, QK_int64 *pDeletingTxid) {
  char szTbl[TAV_TABLE_ID_SZ_SIZE], szRid[QK_GUID_SZ_SIZE], szKey[HISTORY_KEY_SIZE];
  *pbKnown = 0;
  if (h == NULL || h->pHistory == NULL) goto done;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, row_key(ctx, 'L', szTbl, QK_guid__to_sz(pRid16, szRid), szKey));
  QK_TRY(ctx, QK_vhash__has(ctx, h->pHistory->pRead, szKey, pbKnown));
  if (!*pbKnown) goto done;
  QK_TRY(ctx, QK_vhash__get__int64(ctx, h->pHistory->pRead, szKey, pTxid));
  szKey[0] = 'D';
  QK_TRY(ctx, QK_vhash__get__int64(ctx, h->pHistory->pRead, szKey, pDeletingTxid));
done:;
}

/* *pbSame 1 when both documents have the same keys in the same order. */
static void same_columns(QK_context *ctx, const QK_vhash *pA, const QK_vhash *pB, int *pbSame) {
  QK_uint32 count = 0, other = 0;
  const char *pszA = NULL, *pszB = NULL;
  *pbSame = 0;
  QK_TRY(ctx, QK_vhash__count(ctx, pA, &count));
  QK_TRY(ctx, QK_vhash__count(ctx, pB, &other));
  if (count != other) goto done;
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pA, i, &pszA, NULL));
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pB, i, &pszB, NULL));
    if (strcmp(pszA, pszB) != 0) goto done;
  }
  *pbSame = 1;
done:;
}

void tav_db_mssql__history_row(QK_context *ctx, tav_db_handle *h, const char *pszTblId, const QK_vhash *pColumns,
                               const QK_uint8 *pRid16, QK_int64 txid, int *pbKnown, QK_vhash **ppRow) {
  char szTbl[TAV_TABLE_ID_SZ_SIZE], szRid[QK_GUID_SZ_SIZE], szKey[HISTORY_KEY_SIZE];
  QK_vhash *pRead = NULL, *pRow = NULL;
  int bMissing = 0, bSame = 0;
  *pbKnown = 0;
  *ppRow = NULL;
  if (h == NULL || h->pHistory == NULL || pColumns == NULL) goto done;
  QK_TRY(ctx, tav_db_mssql__table_id_text(ctx, pszTblId, szTbl));
  QK_TRY(ctx, compose_key(ctx, 'C', szTbl, NULL, NULL, szKey));
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, h->pHistory->pRead, szKey, &pRead));
  /* Values read over other columns do not answer. */
  if (pRead == NULL) goto done;
  QK_TRY(ctx, same_columns(ctx, pRead, pColumns, &bSame));
  if (!bSame) goto done;
  QK_TRY(ctx, version_key(ctx, 'R', szTbl, QK_guid__to_sz(pRid16, szRid), txid, szKey));
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, h->pHistory->pRead, szKey, &pRow));
  if (pRow != NULL) {
    QK_TRY(ctx, QK_vhash__alloc__copy(ctx, ppRow, pRow));
    *pbKnown = 1;
    goto done;
  }
  szKey[0] = 'N';
  QK_TRY(ctx, QK_vhash__check__bool(ctx, h->pHistory->pRead, szKey, &bMissing));
  *pbKnown = bMissing;
done:;
}

void tav_db_mssql__history_forget(QK_context *ctx, tav_db_handle *h) {
  if (h == NULL || h->pHistory == NULL) return;
  QK_RELEASE(ctx, QK_vhash__free(ctx, h->pHistory->pRead));
  QK_free(ctx, h->pHistory);
  h->pHistory = NULL;
}

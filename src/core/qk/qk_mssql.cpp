/* The ODBC wrapper: connections, direct and prepared execution, diagnostics as JSON error
 * messages with the SQL Server errors the store reacts to mapped to library codes, parameter
 * binding and column reading. Every ODBC call goes through one table of entry points. */
#include "qk/qk_mssql.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "qk/qk_jsonwriter.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_utf8.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

/* ---- The entry-point table ---- */

static const QK_mssql_odbc_api s_driver_manager = {
    SQLAllocHandle, SQLFreeHandle,  SQLSetEnvAttr,    SQLSetConnectAttr, SQLDriverConnect,
    SQLDisconnect,  SQLExecDirectW, SQLPrepareW,      SQLExecute,        SQLFetch,
    SQLGetData,     SQLGetDiagField, SQLNumResultCols, SQLDescribeCol,   SQLCloseCursor,
    SQLBindParameter, SQLParamData, SQLPutData,       SQLMoreResults,
};

static const QK_mssql_odbc_api *s_api = &s_driver_manager;

const QK_mssql_odbc_api *QK_mssql__odbc(void) { return s_api; }

const QK_mssql_odbc_api *QK_mssql__set_odbc(const QK_mssql_odbc_api *api) {
  const QK_mssql_odbc_api *previous = s_api;
  s_api = api ? api : &s_driver_manager;
  return previous;
}

/* SQL_SUCCESS or SQL_SUCCESS_WITH_INFO: no bit set but bit 0. */
static int succeeded(SQLRETURN rc) { return (rc & ~1) == 0; }

/* The return code sign-extended to 32 bits, so SQL_ERROR is code -1. */
static QK_error odbc_error(SQLRETURN rc) { return QK_ERROR_MAKE(QK_ERR_DOMAIN_MSSQL, (QK_int32)rc); }

/* ---- Diagnostics ---- */

/* Preset into integer fields: drivers and the driver manager may answer success for a field
 * they do not know without writing the buffer. */
#define DIAG_NOT_DELIVERED ((SQLINTEGER)0x80000000)
#define DIAG_TEXT_BUFFER 1024
/* Message texts are kept whole for the duplicate-key parse but cut to this in the document. */
#define DIAG_DOC_TEXT_MAX (DIAG_TEXT_BUFFER - 1)

#define KEY_DIAG "diag"
#define KEY_SQLRETURN "SQLRETURN"
#define KEY_MESSAGE "SQL_DIAG_MESSAGE_TEXT"
#define KEY_NATIVE "SQL_DIAG_NATIVE"

/* Narrow diagnostic texts come in the driver's encoding: a round trip through UTF-16 turns
 * every ill-formed sequence into U+FFFD, so the JSON built from them stays valid. */
static void valid_utf8_copy(QK_context *ctx, const char *sz, char **ppsz) {
  char16_t *w = NULL;
  QK_TRY(ctx, QK_utf8__to_wide(ctx, sz, &w, NULL));
  QK_TRY(ctx, QK_utf8__from_wide(ctx, w, ppsz, NULL));
done:
  QK_free(ctx, w);
}

/* One text field of one record into pvhRec under key; left out when not delivered. */
static void QK_mssql__diag_get_string(QK_context *ctx, SQLSMALLINT handleType, SQLHANDLE h, SQLSMALLINT rec,
                                      SQLSMALLINT field, QK_vhash *pvhRec, const char *key) {
  char buf[DIAG_TEXT_BUFFER];
  char *pLong = NULL;
  char *szValid = NULL;
  SQLSMALLINT len = 0;
  SQLRETURN rc;
  memset(buf, 0, sizeof buf);
  rc = s_api->GetDiagField(handleType, h, rec, field, buf, sizeof buf, &len);
  if (!succeeded(rc)) goto done;
  if (len >= DIAG_TEXT_BUFFER) {
    /* Longer server messages are read whole: a duplicate key is parsed from the text's end. */
    SQLSMALLINT size = len < 0x7FFF ? (SQLSMALLINT)(len + 1) : 0x7FFF;
    QK_TRY(ctx, QK_alloc(ctx, 1, (QK_uint32)size, &pLong));
    rc = s_api->GetDiagField(handleType, h, rec, field, pLong, size, &len);
    if (!succeeded(rc)) goto done;
  }
  QK_TRY(ctx, valid_utf8_copy(ctx, pLong ? pLong : buf, &szValid));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pvhRec, key, szValid));
done:
  QK_free(ctx, pLong);
  QK_free(ctx, szValid);
}

/* One 32-bit field of one record into pvhRec under key; left out when not delivered. */
static void QK_mssql__diag_get_int(QK_context *ctx, SQLSMALLINT handleType, SQLHANDLE h, SQLSMALLINT rec,
                                   SQLSMALLINT field, QK_vhash *pvhRec, const char *key) {
  SQLINTEGER v = DIAG_NOT_DELIVERED;
  SQLRETURN rc = s_api->GetDiagField(handleType, h, rec, field, &v, SQL_IS_INTEGER, NULL);
  if (succeeded(rc) && v != DIAG_NOT_DELIVERED) QK_TRY(ctx, QK_vhash__add__int64(ctx, pvhRec, key, v));
done:;
}

/* The records of a handle as {"diag":[...]}; *ppvhDiag stays NULL when there are none. */
static void QK_mssql__get_diag(QK_context *ctx, SQLSMALLINT handleType, SQLHANDLE h, QK_vhash **ppvhDiag) {
  SQLINTEGER count = 0;
  QK_vhash *pvhDiag = NULL;
  QK_varray *pvaRecords = NULL;
  SQLRETURN rc;
  SQLSMALLINT rec;
  rc = s_api->GetDiagField(handleType, h, 0, SQL_DIAG_NUMBER, &count, SQL_IS_INTEGER, NULL);
  if (!succeeded(rc)) {
    fprintf(stderr, "SQL_DIAG_NUMBER get returned rc %d\n", (int)rc);
    goto done;
  }
  if (count <= 0) goto done;
  if (count > 0x7FFF) count = 0x7FFF; /* record numbers are 16-bit */
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pvhDiag));
  QK_TRY(ctx, QK_vhash__addnew__varray(ctx, pvhDiag, KEY_DIAG, &pvaRecords));
  for (rec = 1; rec <= count; rec++) {
    QK_vhash *pvhRec = NULL;
    QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, pvaRecords, &pvhRec));
    QK_TRY(ctx, QK_mssql__diag_get_string(ctx, handleType, h, rec, SQL_DIAG_MESSAGE_TEXT, pvhRec, KEY_MESSAGE));
    QK_TRY(ctx, QK_mssql__diag_get_int(ctx, handleType, h, rec, SQL_DIAG_NATIVE, pvhRec, KEY_NATIVE));
    QK_TRY(ctx, QK_mssql__diag_get_string(ctx, handleType, h, rec, SQL_DIAG_SQLSTATE, pvhRec, "SQL_DIAG_SQLSTATE"));
    QK_TRY(ctx, QK_mssql__diag_get_int(ctx, handleType, h, rec, QK_MSSQL_DIAG_SS_MSGSTATE, pvhRec,
                                       "SQL_DIAG_SS_MSGSTATE"));
    QK_TRY(ctx, QK_mssql__diag_get_int(ctx, handleType, h, rec, QK_MSSQL_DIAG_SS_SEVERITY, pvhRec,
                                       "SQL_DIAG_SS_SEVERITY"));
  }
  *ppvhDiag = pvhDiag;
  pvhDiag = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pvhDiag));
}

/* The records of a document in order (none when "diag" is absent). */
static void diag_records(QK_context *ctx, const QK_vhash *pvhDiag, QK_varray **ppva, QK_uint32 *pCount) {
  *ppva = NULL;
  *pCount = 0;
  QK_TRY(ctx, QK_vhash__check__varray(ctx, pvhDiag, KEY_DIAG, ppva));
  if (*ppva != NULL) *pCount = QK_varray__count_noctx(*ppva);
done:;
}

/* A record's native error number; *pbHas is 0 for records without one (driver or driver-manager
 * records), which can decide nothing. */
static void diag_native(QK_context *ctx, const QK_vhash *pvhRec, int *pbHas, QK_int64 *pNative) {
  QK_TRY(ctx, QK_vhash__has(ctx, pvhRec, KEY_NATIVE, pbHas));
  if (*pbHas) QK_TRY(ctx, QK_vhash__get__int64(ctx, pvhRec, KEY_NATIVE, pNative));
done:;
}

/* Adds the bytes between two pointers as a text member. */
static void add_span(QK_context *ctx, QK_vhash *pvh, const char *key, const char *pBegin, const char *pEnd) {
  if (pEnd == pBegin)
    QK_TRY(ctx, QK_vhash__add__string(ctx, pvh, key, ""));
  else
    QK_TRY(ctx, QK_vhash__add__string__buflen(ctx, pvh, key, pBegin, (QK_uint32)(pEnd - pBegin)));
done:;
}

/* "dbfile" and "table" from the backing object's name 'tavrin.<dbfile>$<table>' that follows
 * szPrefix and ends at szEnd; "constraint" between szConstraintStart and szConstraintEnd. */
static void parse_duplicate_key(QK_context *ctx, QK_vhash *pvhRec, const char *msg, const char *szPrefix,
                                const char *szEnd, const char *szConstraintStart, const char *szConstraintEnd) {
  const char *pObject, *pEnd, *pDollar, *pConstraint, *pConstraintEnd;
  fprintf(stderr, "psz_msg: %s\n", msg);
  pObject = strstr(msg, szPrefix);
  if (pObject != NULL) {
    fprintf(stderr, "at %s:%d\n", QK_sz__trim_source_path(__FILE__), __LINE__);
    pObject += strlen(szPrefix);
    pEnd = strstr(pObject, szEnd);
    pDollar = strchr(pObject, '$');
    if (pEnd != NULL && pDollar != NULL && pDollar < pEnd) {
      QK_TRY(ctx, add_span(ctx, pvhRec, "dbfile", pObject, pDollar));
      QK_TRY(ctx, add_span(ctx, pvhRec, "table", pDollar + 1, pEnd));
    }
  }
  fprintf(stderr, "at %s:%d\n", QK_sz__trim_source_path(__FILE__), __LINE__);
  pConstraint = strstr(msg, szConstraintStart);
  if (pConstraint != NULL) {
    pConstraint += strlen(szConstraintStart);
    pConstraintEnd = strstr(pConstraint, szConstraintEnd);
    if (pConstraintEnd != NULL) QK_TRY(ctx, add_span(ctx, pvhRec, "constraint", pConstraint, pConstraintEnd));
  }
done:;
}

#define NATIVE_NULL_NOT_ALLOWED 515
#define NATIVE_CONSTRAINT 547
#define NATIVE_DEADLOCK_VICTIM 1205
#define NATIVE_DUPLICATE_KEY_INDEX 2601
#define NATIVE_DUPLICATE_KEY 2627

static QK_error classify_constraint(const char *szMessage) {
  if (szMessage == NULL) return QK_ERR_MSSQL_CONSTRAINT;
  if (strstr(szMessage, "conflicted with the CHECK constraint")) return QK_ERR_MSSQL_CHECK_CONSTRAINT;
  if (strstr(szMessage, "conflicted with the FOREIGN KEY constraint") ||
      strstr(szMessage, "conflicted with the SAME TABLE REFERENCE constraint") ||
      strstr(szMessage, "conflicted with the FOREIGN KEY SAME TABLE constraint"))
    return QK_ERR_MSSQL_FOREIGN_KEY;
  return QK_ERR_MSSQL_CONSTRAINT;
}

/* A duplicate key: 2627 names the violated constraint, 2601 the unique index. */
static void parse_duplicate_record(QK_context *ctx, QK_vhash *pvhRec, QK_int64 native) {
  const char *szMessage = NULL;
  char *szCopy = NULL;
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pvhRec, KEY_MESSAGE, &szMessage));
  if (szMessage == NULL) goto done;
  /* The members are added to the same vhash: parse a copy, not the pooled text. */
  QK_TRY(ctx, QK_strdup(ctx, szMessage, &szCopy));
  if (native == NATIVE_DUPLICATE_KEY)
    QK_TRY(ctx, parse_duplicate_key(ctx, pvhRec, szCopy, "Cannot insert duplicate key in object 'tavrin.",
                                    "'. The duplicate key value is", "constraint '", "'. Cannot insert"));
  else
    QK_TRY(ctx, parse_duplicate_key(ctx, pvhRec, szCopy, "Cannot insert duplicate key row in object 'tavrin.",
                                    "' with unique index '", "with unique index '", "'. "));
done:
  QK_free(ctx, szCopy);
}

/* Decides by the first record that matches. */
static void QK_mssql__classify_diag(QK_context *ctx, int bConstraint, int bDuplicateKey, int bNotNull,
                                    QK_vhash *pvhDiag, QK_error *pErr) {
  QK_varray *pvaRecords = NULL;
  QK_uint32 count = 0, i;
  QK_TRY(ctx, diag_records(ctx, pvhDiag, &pvaRecords, &count));
  for (i = 0; i < count; i++) {
    QK_vhash *pvhRec = NULL;
    const char *szMessage = NULL;
    int bHas = 0;
    QK_int64 native = 0;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pvaRecords, i, &pvhRec));
    QK_TRY(ctx, diag_native(ctx, pvhRec, &bHas, &native));
    if (!bHas) continue;
    switch (native) {
      case NATIVE_NULL_NOT_ALLOWED:
        if (!bNotNull) continue;
        *pErr = QK_ERR_MSSQL_NULL_NOT_ALLOWED;
        goto done;
      case NATIVE_CONSTRAINT:
        QK_TRY(ctx, QK_vhash__check__sz(ctx, pvhRec, KEY_MESSAGE, &szMessage));
        if (bConstraint) *pErr = classify_constraint(szMessage);
        goto done;
      case NATIVE_DUPLICATE_KEY:
      case NATIVE_DUPLICATE_KEY_INDEX:
        if (!bDuplicateKey) goto done;
        *pErr = QK_ERR_MSSQL_DUPLICATE_KEY;
        QK_TRY(ctx, parse_duplicate_record(ctx, pvhRec, native));
        goto done;
      case NATIVE_DEADLOCK_VICTIM:
        *pErr = QK_ERR_DEADLOCK_VICTIM;
        goto done;
      default:
        continue;
    }
  }
done:;
}

/* The deadlock scan of unclassified failures: a duplicate key or constraint record ahead of a
 * deadlock record means the statement failed for that reason instead. */
static void scan_deadlock(QK_context *ctx, const QK_vhash *pvhDiag, QK_error *pErr) {
  QK_varray *pvaRecords = NULL;
  QK_uint32 count = 0, i;
  QK_TRY(ctx, diag_records(ctx, pvhDiag, &pvaRecords, &count));
  for (i = 0; i < count; i++) {
    QK_vhash *pvhRec = NULL;
    int bHas = 0;
    QK_int64 native = 0;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pvaRecords, i, &pvhRec));
    QK_TRY(ctx, diag_native(ctx, pvhRec, &bHas, &native));
    if (!bHas) continue;
    if (native == NATIVE_DEADLOCK_VICTIM) *pErr = QK_ERR_DEADLOCK_VICTIM;
    if (native == NATIVE_DEADLOCK_VICTIM || native == NATIVE_CONSTRAINT || native == NATIVE_DUPLICATE_KEY ||
        native == NATIVE_DUPLICATE_KEY_INDEX)
      goto done;
  }
done:;
}

/* The longest prefix of sz of at most max bytes that ends on a character boundary. */
static QK_uint32 utf8_prefix_length(const char *sz, QK_uint32 max) {
  QK_uint32 len = (QK_uint32)strlen(sz);
  if (len <= max) return len;
  len = max;
  while (len > 0 && ((unsigned char)sz[len] & 0xC0) == 0x80) len--;
  return len;
}

/* Cuts every message text of the document to what its 1,024-byte field holds. */
static void cut_message_texts(QK_context *ctx, QK_vhash *pvhDiag) {
  QK_varray *pvaRecords = NULL;
  QK_uint32 count = 0, i;
  char *szCut = NULL;
  QK_TRY(ctx, diag_records(ctx, pvhDiag, &pvaRecords, &count));
  for (i = 0; i < count; i++) {
    QK_vhash *pvhRec = NULL;
    const char *szMessage = NULL;
    QK_uint32 len;
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pvaRecords, i, &pvhRec));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pvhRec, KEY_MESSAGE, &szMessage));
    if (szMessage == NULL) continue;
    len = utf8_prefix_length(szMessage, DIAG_DOC_TEXT_MAX);
    if (szMessage[len] == '\0') continue;
    QK_TRY(ctx, QK_alloc(ctx, 1, len + 1, &szCut));
    memcpy(szCut, szMessage, len);
    QK_TRY(ctx, QK_vhash__update__string(ctx, pvhRec, KEY_MESSAGE, szCut));
    QK_free(ctx, szCut);
    szCut = NULL;
  }
done:
  QK_free(ctx, szCut);
}

/* Room kept for the closing "]," and the "SQLRETURN" member. */
#define DIAG_JSON_TAIL_RESERVE 32

/* The document as compact JSON. The text becomes the error message and is parsed back by other
 * code, so it must fit the context's message whole: records that would overflow it are left
 * out from the end. */
static void diag_to_json(QK_context *ctx, const QK_vhash *pvhDiag, QK_string **ppJson) {
  QK_string *pJson = NULL;
  QK_string *pRecord = NULL;
  QK_jsonwriter *pjson = NULL;
  QK_varray *pvaRecords = NULL;
  QK_uint32 count = 0, i;
  QK_int64 rc = 0;
  QK_TRY(ctx, QK_string__alloc(ctx, &pJson));
  QK_TRY(ctx, QK_string__alloc(ctx, &pRecord));
  QK_TRY(ctx, QK_jsonwriter__alloc(ctx, &pjson, pJson));
  QK_TRY(ctx, diag_records(ctx, pvhDiag, &pvaRecords, &count));
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pvhDiag, KEY_SQLRETURN, &rc));
  QK_TRY(ctx, QK_jsonwriter__start_object(ctx, pjson));
  if (pvaRecords != NULL) {
    QK_TRY(ctx, QK_jsonwriter__write_pair_name(ctx, pjson, KEY_DIAG));
    QK_TRY(ctx, QK_jsonwriter__start_array(ctx, pjson));
    for (i = 0; i < count; i++) {
      QK_vhash *pvhRec = NULL;
      QK_TRY(ctx, QK_varray__get__vhash(ctx, pvaRecords, i, &pvhRec));
      QK_TRY(ctx, QK_string__clear(ctx, pRecord));
      QK_TRY(ctx, QK_vhash__to_json(ctx, pvhRec, pRecord));
      if (QK_string__length_in_bytes(pJson) + 1 + QK_string__length_in_bytes(pRecord) + DIAG_JSON_TAIL_RESERVE >
          QK_CONTEXT_MESSAGE_SIZE - 1)
        break;
      QK_TRY(ctx, QK_jsonwriter__begin_element(ctx, pjson));
      QK_TRY(ctx, QK_vhash__write_json(ctx, pvhRec, pjson));
    }
    QK_TRY(ctx, QK_jsonwriter__end_array(ctx, pjson));
  }
  QK_TRY(ctx, QK_jsonwriter__write_pair__int64(ctx, pjson, KEY_SQLRETURN, rc));
  QK_TRY(ctx, QK_jsonwriter__end_object(ctx, pjson));
  *ppJson = pJson;
  pJson = NULL;
done:
  QK_RELEASE(ctx, QK_jsonwriter__free(ctx, pjson));
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
  QK_RELEASE(ctx, QK_string__free(ctx, pRecord));
}

enum diag_mapping { MAP_NONE, MAP_DEADLOCK, MAP_CLASSIFIED, MAP_CLASSIFIED_NULL };

/* Records the ODBC error of rc with the handle's diagnostics document as message. */
static void throw_odbc_error(QK_context *ctx, SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE h,
                             enum diag_mapping mapping) {
  QK_vhash *pvhDiag = NULL;
  QK_string *pJson = NULL;
  QK_error err = odbc_error(rc);
  QK_TRY(ctx, QK_mssql__get_diag(ctx, handleType, h, &pvhDiag));
  if (pvhDiag == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &pvhDiag));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pvhDiag, KEY_SQLRETURN, rc));
  if (mapping == MAP_DEADLOCK) QK_TRY(ctx, scan_deadlock(ctx, pvhDiag, &err));
  if (mapping == MAP_CLASSIFIED || mapping == MAP_CLASSIFIED_NULL)
    QK_TRY(ctx, QK_mssql__classify_diag(ctx, 1, 1, mapping == MAP_CLASSIFIED_NULL, pvhDiag, &err));
  QK_TRY(ctx, cut_message_texts(ctx, pvhDiag));
  QK_TRY(ctx, diag_to_json(ctx, pvhDiag, &pJson));
  QK_context__throw(ctx, err, __FILE__, __LINE__);
  QK_context__set_message(ctx, "%s", QK_string__sz(pJson));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pvhDiag));
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
}

void QK_mssql__throw_stmt_error(QK_context *ctx, SQLRETURN rc, SQLHSTMT hStmt) {
  throw_odbc_error(ctx, rc, SQL_HANDLE_STMT, hStmt, MAP_DEADLOCK);
}

void QK_mssql__throw_dbc_error(QK_context *ctx, SQLRETURN rc, SQLHDBC hDbc) {
  throw_odbc_error(ctx, rc, SQL_HANDLE_DBC, hDbc, MAP_NONE);
}

void QK_mssql__throw_stmt_error_classified(QK_context *ctx, SQLRETURN rc, SQLHSTMT hStmt, int bNotNull) {
  throw_odbc_error(ctx, rc, SQL_HANDLE_STMT, hStmt, bNotNull ? MAP_CLASSIFIED_NULL : MAP_CLASSIFIED);
}

/* ---- Connections ---- */

void QK_mssql__connect(QK_context *ctx, const char *pszConnStr, QK_mssql_connection **ppsql) {
  SQLHENV hEnv = SQL_NULL_HENV;
  SQLHDBC hDbc = SQL_NULL_HDBC;
  int bConnected = 0;
  QK_mssql_connection *pNew = NULL;
  SQLRETURN rc;
  if (ppsql == NULL) QK_THROW_MSG(ctx, QK_ERR_INVALID_ARGUMENT, "psql is null");
  *ppsql = NULL;
  QK_ARG_NOT_NULL(ctx, pszConnStr);
  rc = s_api->AllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &hEnv);
  if (!succeeded(rc)) {
    hEnv = SQL_NULL_HENV;
    QK_THROW(ctx, odbc_error(rc));
  }
  rc = s_api->SetEnvAttr(hEnv, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, SQL_IS_INTEGER);
  if (!succeeded(rc)) QK_THROW(ctx, odbc_error(rc));
  rc = s_api->AllocHandle(SQL_HANDLE_DBC, hEnv, &hDbc);
  if (!succeeded(rc)) {
    hDbc = SQL_NULL_HDBC;
    QK_THROW(ctx, odbc_error(rc));
  }
  /* Every connection starts at read committed. */
  rc = s_api->SetConnectAttr(hDbc, QK_MSSQL_ATTR_TXN_ISOLATION, (SQLPOINTER)SQL_TXN_READ_COMMITTED, SQL_IS_INTEGER);
  if (!succeeded(rc)) QK_THROW(ctx, odbc_error(rc));
  rc = s_api->DriverConnect(hDbc, NULL, (SQLCHAR *)pszConnStr, SQL_NTS, NULL, 0, NULL, SQL_DRIVER_NOPROMPT);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_dbc_error(ctx, rc, hDbc));
  bConnected = 1;
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_mssql_connection), &pNew));
  pNew->hEnv = hEnv;
  pNew->hDbc = hDbc;
  *ppsql = pNew;
  hEnv = SQL_NULL_HENV;
  hDbc = SQL_NULL_HDBC;
done:
  if (hDbc != SQL_NULL_HDBC) {
    if (bConnected) s_api->Disconnect(hDbc);
    s_api->FreeHandle(SQL_HANDLE_DBC, hDbc);
  }
  if (hEnv != SQL_NULL_HENV) s_api->FreeHandle(SQL_HANDLE_ENV, hEnv);
}

void QK_mssql__disconnect(QK_context *ctx, QK_mssql_connection **ppsql) {
  QK_mssql_connection *psql;
  if (ppsql == NULL || *ppsql == NULL) return;
  psql = *ppsql;
  if (psql->hDbc != SQL_NULL_HDBC) {
    s_api->Disconnect(psql->hDbc);
    s_api->FreeHandle(SQL_HANDLE_DBC, psql->hDbc);
  }
  if (psql->hEnv != SQL_NULL_HENV) s_api->FreeHandle(SQL_HANDLE_ENV, psql->hEnv);
  QK_free(ctx, psql);
  *ppsql = NULL;
}

/* ---- Direct execution ---- */

static void alloc_stmt(QK_context *ctx, QK_mssql_connection *psql, SQLHSTMT *phStmt) {
  SQLRETURN rc = s_api->AllocHandle(SQL_HANDLE_STMT, psql->hDbc, phStmt);
  if (!succeeded(rc)) {
    *phStmt = SQL_NULL_HSTMT;
    QK_THROW(ctx, odbc_error(rc));
  }
done:;
}

/* QK_mssql__exec_direct without the test for a cancelled request. */
static void exec_direct(QK_context *ctx, QK_mssql_connection *psql, const char *pszSql, SQLHSTMT *phStmt,
                        SQLRETURN *pRc) {
  QK_string *pText = NULL;
  char16_t *wszSql = NULL;
  QK_ARG_NOT_NULL(ctx, phStmt);
  *phStmt = SQL_NULL_HSTMT;
  QK_ARG_NOT_NULL(ctx, psql);
  QK_ARG_NOT_NULL(ctx, pszSql);
  QK_ARG_NOT_NULL(ctx, pRc);
  *pRc = SQL_ERROR;
  if (psql->szDeferred[0] != '\0') {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pText, "%s\n%s", psql->szDeferred, pszSql));
    pszSql = QK_string__sz(pText);
  }
  QK_TRY(ctx, QK_utf8__to_wide(ctx, pszSql, &wszSql, NULL));
  QK_TRY(ctx, alloc_stmt(ctx, psql, phStmt));
  *pRc = s_api->ExecDirectW(*phStmt, (SQLWCHAR *)wszSql, SQL_NTS);
  if (succeeded(*pRc) || *pRc == SQL_NO_DATA) psql->szDeferred[0] = '\0';
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pText));
  QK_free(ctx, wszSql);
}

void QK_mssql__exec_direct(QK_context *ctx, QK_mssql_connection *psql, const char *pszSql, SQLHSTMT *phStmt,
                           SQLRETURN *pRc) {
  QK_TRY(ctx, QK_context__check_cancel(ctx));
  QK_TRY(ctx, exec_direct(ctx, psql, pszSql, phStmt, pRc));
done:;
}

/* Runs a batch that returns nothing the caller reads; SQL_NO_DATA is success. */
static void run_text(QK_context *ctx, QK_mssql_connection *psql, const char *pszSql, enum diag_mapping mapping) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  SQLRETURN rc;
  QK_TRY(ctx, exec_direct(ctx, psql, pszSql, &hStmt, &rc));
  if (!succeeded(rc) && rc != SQL_NO_DATA) QK_TRY(ctx, throw_odbc_error(ctx, rc, SQL_HANDLE_STMT, hStmt, mapping));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

static void exec_text(QK_context *ctx, QK_mssql_connection *psql, const char *pszSql, enum diag_mapping mapping) {
  QK_TRY(ctx, QK_context__check_cancel(ctx));
  QK_TRY(ctx, run_text(ctx, psql, pszSql, mapping));
done:;
}

/* Sends the deferred settings alone, ahead of a statement that cannot carry them: an empty
 * batch, which exec_direct puts them in front of. */
static void send_deferred(QK_context *ctx, QK_mssql_connection *psql) {
  if (psql->szDeferred[0] == '\0') return;
  QK_TRY(ctx, run_text(ctx, psql, "", MAP_DEADLOCK));
done:;
}

void QK_mssql__defer_setting(QK_context *ctx, QK_mssql_connection *psql, const char *pszSet) {
  size_t used, len;
  QK_ARG_NOT_NULL(ctx, psql);
  QK_ARG_NOT_NULL(ctx, pszSet);
  used = strlen(psql->szDeferred);
  len = strlen(pszSet);
  if (len + 2 > sizeof psql->szDeferred) {
    QK_TRY(ctx, exec_text(ctx, psql, pszSet, MAP_DEADLOCK));
    goto done;
  }
  if (used + len + 2 > sizeof psql->szDeferred) {
    QK_TRY(ctx, send_deferred(ctx, psql));
    used = 0;
  }
  if (used > 0) psql->szDeferred[used++] = '\n';
  memcpy(psql->szDeferred + used, pszSet, len + 1);
done:;
}

static void exec_vformat(QK_context *ctx, QK_mssql_connection *psql, enum diag_mapping mapping, const char *fmt,
                         va_list args) {
  QK_string *pSql = NULL;
  QK_TRY(ctx, QK_string__alloc__vformat(ctx, &pSql, fmt, args));
  QK_TRY(ctx, exec_text(ctx, psql, QK_string__sz(pSql), mapping));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void QK_mssql__exec(QK_context *ctx, QK_mssql_connection *psql, const char *pszSql) {
  QK_TRY(ctx, exec_text(ctx, psql, pszSql, MAP_DEADLOCK));
done:;
}

void QK_mssql__exec__format(QK_context *ctx, QK_mssql_connection *psql, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  exec_vformat(ctx, psql, MAP_DEADLOCK, fmt, args);
  va_end(args);
  QK_CHECK(ctx);
done:;
}

void QK_mssql__exec__format_classified(QK_context *ctx, QK_mssql_connection *psql, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  exec_vformat(ctx, psql, MAP_CLASSIFIED, fmt, args);
  va_end(args);
  QK_CHECK(ctx);
done:;
}

void QK_mssql__exec__format_classified_null(QK_context *ctx, QK_mssql_connection *psql, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  exec_vformat(ctx, psql, MAP_CLASSIFIED_NULL, fmt, args);
  va_end(args);
  QK_CHECK(ctx);
done:;
}

/* Runs the text and reads column 1 of row 1 without an indicator, so a NULL is an error. */
static void query_value(QK_context *ctx, QK_mssql_connection *psql, const char *pszSql, SQLSMALLINT cType,
                        void *pValue, SQLLEN lenValue) {
  SQLHSTMT hStmt = SQL_NULL_HSTMT;
  SQLRETURN rc;
  QK_TRY(ctx, exec_direct(ctx, psql, pszSql, &hStmt, &rc));
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  rc = s_api->Fetch(hStmt);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  rc = s_api->GetData(hStmt, 1, cType, pValue, lenValue, NULL);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:
  QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, hStmt));
}

void QK_mssql__query_bool__format(QK_context *ctx, QK_mssql_connection *psql, int *pbResult, const char *fmt, ...) {
  QK_string *pSql = NULL;
  unsigned char bit = 0;
  va_list args;
  QK_ARG_NOT_NULL(ctx, pbResult);
  va_start(args, fmt);
  QK_string__alloc__vformat(ctx, &pSql, fmt, args);
  va_end(args);
  QK_CHECK(ctx);
  QK_TRY(ctx, query_value(ctx, psql, QK_string__sz(pSql), SQL_C_BIT, &bit, 1));
  *pbResult = bit != 0;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void QK_mssql__query_int64__format(QK_context *ctx, QK_mssql_connection *psql, QK_int64 *pResult, const char *fmt,
                                   ...) {
  QK_string *pSql = NULL;
  QK_int64 value = 0;
  va_list args;
  QK_ARG_NOT_NULL(ctx, pResult);
  QK_TRY(ctx, QK_context__check_cancel(ctx));
  va_start(args, fmt);
  QK_string__alloc__vformat(ctx, &pSql, fmt, args);
  va_end(args);
  QK_CHECK(ctx);
  QK_TRY(ctx, query_value(ctx, psql, QK_string__sz(pSql), SQL_C_SBIGINT, &value, sizeof value));
  *pResult = value;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void QK_mssql__rowcount(QK_context *ctx, QK_mssql_connection *psql, QK_int64 *pCount) {
  QK_int64 value = 0;
  QK_ARG_NOT_NULL(ctx, pCount);
  QK_TRY(ctx, query_value(ctx, psql, "SELECT @@ROWCOUNT", SQL_C_SBIGINT, &value, sizeof value));
  *pCount = value;
done:;
}

/* ---- Prepared statements ---- */

void QK_mssql__prepare(QK_context *ctx, QK_mssql_connection *psql, SQLHSTMT *phStmt, const char *pszSql) {
  char16_t *wszSql = NULL;
  SQLRETURN rc;
  QK_ARG_NOT_NULL(ctx, phStmt);
  *phStmt = SQL_NULL_HSTMT;
  QK_ARG_NOT_NULL(ctx, psql);
  QK_ARG_NOT_NULL(ctx, pszSql);
  QK_TRY(ctx, send_deferred(ctx, psql));
  QK_TRY(ctx, alloc_stmt(ctx, psql, phStmt));
  QK_TRY(ctx, QK_utf8__to_wide(ctx, pszSql, &wszSql, NULL));
  rc = s_api->PrepareW(*phStmt, (SQLWCHAR *)wszSql, SQL_NTS);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, *phStmt));
done:
  if (QK_context__has_error(ctx) && phStmt != NULL && *phStmt != SQL_NULL_HSTMT) {
    QK_RELEASE(ctx, QK_mssql__free_stmt(ctx, *phStmt));
    *phStmt = SQL_NULL_HSTMT;
  }
  QK_free(ctx, wszSql);
}

void QK_mssql__prepare__format(QK_context *ctx, QK_mssql_connection *psql, SQLHSTMT *phStmt, const char *fmt, ...) {
  QK_string *pSql = NULL;
  va_list args;
  QK_ARG_NOT_NULL(ctx, phStmt);
  *phStmt = SQL_NULL_HSTMT;
  va_start(args, fmt);
  QK_string__alloc__vformat(ctx, &pSql, fmt, args);
  va_end(args);
  QK_CHECK(ctx);
  QK_TRY(ctx, QK_mssql__prepare(ctx, psql, phStmt, QK_string__sz(pSql)));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pSql));
}

void QK_mssql__execute(QK_context *ctx, SQLHSTMT hStmt) {
  SQLRETURN rc;
  QK_ARG_NOT_NULL(ctx, hStmt);
  QK_TRY(ctx, QK_context__check_cancel(ctx));
  rc = s_api->Execute(hStmt);
  if (!succeeded(rc) && rc != SQL_NO_DATA) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

void QK_mssql__execute__need_data(QK_context *ctx, SQLHSTMT hStmt) {
  SQLRETURN rc;
  QK_ARG_NOT_NULL(ctx, hStmt);
  QK_TRY(ctx, QK_context__check_cancel(ctx));
  rc = s_api->Execute(hStmt);
  if (rc == SQL_NEED_DATA) goto done;
  if (rc == SQL_NO_DATA)
    QK_THROW_MSG(ctx, QK_ERR_UNSUPPORTED_SQL_RESULT, "Expected SQL_NEED_DATA but got SQL_NO_DATA");
  if (succeeded(rc))
    QK_THROW_FMT(ctx, QK_ERR_UNSUPPORTED_SQL_RESULT, "Expected SQL_NEED_DATA but got SQL_SUCCEEDED(rc=%d)", (int)rc);
  QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

void QK_mssql__fetch(QK_context *ctx, SQLHSTMT hStmt, int *pbGotRow) {
  SQLRETURN rc = s_api->Fetch(hStmt);
  if (rc == SQL_NO_DATA) {
    if (pbGotRow) *pbGotRow = 0;
  } else if (succeeded(rc)) {
    if (pbGotRow) *pbGotRow = 1;
  } else {
    QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  }
done:;
}

void QK_mssql__free_stmt(QK_context *ctx, SQLHSTMT hStmt) {
  (void)ctx;
  if (hStmt != SQL_NULL_HSTMT) s_api->FreeHandle(SQL_HANDLE_STMT, hStmt);
}

/* ---- Text conversion ---- */

void QK_mssql__utf8_to_wide(QK_context *ctx, const char *psz_utf8, char16_t **ppBufResult, int *pCount) {
  QK_uint32 units = 0;
  /* Cleared before any check, so a caller that frees the result after a failure frees nothing. */
  if (ppBufResult) *ppBufResult = NULL;
  QK_ARG_NOT_NULL(ctx, psz_utf8);
  QK_ARG_NOT_NULL(ctx, ppBufResult);
  QK_TRY(ctx, QK_utf8__to_wide(ctx, psz_utf8, ppBufResult, &units));
  if (pCount) *pCount = (int)units;
done:;
}

void QK_mssql__wide_to_utf8(QK_context *ctx, const char16_t *pBufUnicode, char **pszUtf8Result) {
  QK_ARG_NOT_NULL(ctx, pBufUnicode);
  QK_ARG_NOT_NULL(ctx, pszUtf8Result);
  QK_TRY(ctx, QK_utf8__from_wide(ctx, pBufUnicode, pszUtf8Result, NULL));
done:;
}

void QK_mssql__wide_buf_to_utf8(QK_context *ctx, const void *pBuf, QK_uint64 bytes, char **ppsz, QK_uint32 *pLen) {
  char16_t *pUnits = NULL;
  QK_ARG_NOT_NULL(ctx, pBuf);
  QK_ARG_NOT_NULL(ctx, ppsz);
  QK_ARG_VALID(ctx, bytes, bytes % 2 == 0 && bytes / 2 < 0xFFFFFFFFull);
  /* Copied: the driver's buffer need not be aligned for UTF-16 units. */
  QK_TRY(ctx, QK_alloc(ctx, (QK_uint32)(bytes / 2) + 1, sizeof(char16_t), &pUnits));
  memcpy(pUnits, pBuf, (size_t)bytes);
  QK_TRY(ctx, QK_utf8__from_wide__buflen(ctx, pUnits, (QK_uint32)(bytes / 2), ppsz, pLen));
done:
  QK_free(ctx, pUnits);
}

/* ---- Parameter binding ---- */

static void bind_parameter(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, SQLSMALLINT ioType, SQLSMALLINT cType,
                           SQLSMALLINT sqlType, SQLULEN colSize, SQLSMALLINT digits, const void *pValue,
                           SQLLEN lenValue, SQLLEN *pInd) {
  SQLRETURN rc = s_api->BindParameter(hStmt, ipar, ioType, cType, sqlType, colSize, digits, (SQLPOINTER)pValue,
                                      lenValue, pInd);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

void QK_mssql__bind__int32(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const QK_int32 *p) {
  QK_ARG_NOT_NULL(ctx, p);
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, p, 0, NULL));
done:;
}

void QK_mssql__bind__int64(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const QK_int64 *p) {
  QK_ARG_NOT_NULL(ctx, p);
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, p, 0, NULL));
done:;
}

void QK_mssql__bind_out__int64(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, QK_int64 *p, SQLLEN *pInd) {
  QK_ARG_NOT_NULL(ctx, p);
  QK_ARG_NOT_NULL(ctx, pInd);
  *pInd = sizeof(QK_int64);
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_OUTPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, p,
                             sizeof(QK_int64), pInd));
done:;
}

void QK_mssql__bind__double(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const double *p) {
  QK_ARG_NOT_NULL(ctx, p);
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_FLOAT, 0, 0, p, 0, NULL));
done:;
}

void QK_mssql__bind__date(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const SQL_DATE_STRUCT *p) {
  QK_ARG_NOT_NULL(ctx, p);
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 0, 0, p, 0, NULL));
done:;
}

void QK_mssql__bind__datetime(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const SQL_TIMESTAMP_STRUCT *p,
                              SQLLEN *piLen) {
  QK_ARG_NOT_NULL(ctx, piLen);
  QK_ARG_NOT_NULL(ctx, p);
  *piLen = sizeof(SQL_TIMESTAMP_STRUCT);
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_TIMESTAMP, SQL_TYPE_TIMESTAMP, 27, 7, p,
                             sizeof(SQL_TIMESTAMP_STRUCT), piLen));
done:;
}

void QK_mssql__bind__time(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const void *pTime, SQLLEN *piLen) {
  QK_ARG_NOT_NULL(ctx, piLen);
  QK_ARG_NOT_NULL(ctx, pTime);
  *piLen = sizeof(QK_mssql_time2);
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_BINARY, QK_MSSQL_SQL_SS_TIME2, 16, 7, pTime,
                             sizeof(QK_mssql_time2), piLen));
done:;
}

void QK_mssql__bind__null(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, SQLSMALLINT valueType,
                          SQLSMALLINT sqlType, SQLLEN *piLen) {
  QK_ARG_NOT_NULL(ctx, piLen);
  *piLen = SQL_NULL_DATA;
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, valueType, sqlType, 1, 0, NULL, 0, piLen));
done:;
}

void QK_mssql__bind__guid_text(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *psz36, SQLLEN *piLen) {
  QK_ARG_NOT_NULL(ctx, piLen);
  if (psz36 == NULL) {
    QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, ipar, SQL_C_CHAR, SQL_CHAR, piLen));
    goto done;
  }
  /* The driver reads 36 bytes at execution, whatever the text's length. */
  QK_ARG_VALID(ctx, psz36, strnlen(psz36, 37) == 36);
  *piLen = 36;
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, 36, 0, psz36, 36, piLen));
done:;
}

/* A UTF-16 copy of the len bytes bound as sqlType with their length in bytes (NUL characters
 * included); the column size is the length in units when declared, else 0 (max). */
static void bind_wide_text(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *p, QK_uint32 len,
                           SQLSMALLINT sqlType, int bDeclaredLength, SQLLEN *piLen, char16_t **ppwszBuf) {
  char16_t *wsz = NULL;
  QK_uint32 units = 0;
  QK_ARG_NOT_NULL(ctx, ppwszBuf);
  QK_TRY(ctx, QK_utf8__to_wide__buflen(ctx, p, len, &wsz, &units));
  units -= 1;
  *piLen = (SQLLEN)units * 2;
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_WCHAR, sqlType, bDeclaredLength ? units : 0, 0,
                             wsz, (SQLLEN)units * 2, piLen));
  *ppwszBuf = wsz;
  wsz = NULL;
done:
  QK_free(ctx, wsz);
}

void QK_mssql__bind__nstring__buflen(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *p, QK_uint32 len,
                                     SQLSMALLINT sqlType, SQLLEN *piLen, char16_t **ppwszBuf) {
  QK_ARG_NOT_NULL(ctx, piLen);
  if (p == NULL)
    QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, ipar, SQL_C_CHAR, sqlType, piLen));
  else
    QK_TRY(ctx, bind_wide_text(ctx, hStmt, ipar, p, len, sqlType, 1, piLen, ppwszBuf));
done:;
}

void QK_mssql__bind__nstring_max__buflen(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *p,
                                         QK_uint32 len, SQLLEN *piLen, char16_t **ppwszBuf) {
  QK_ARG_NOT_NULL(ctx, piLen);
  if (p == NULL)
    QK_TRY(ctx, QK_mssql__bind__null(ctx, hStmt, ipar, SQL_C_CHAR, SQL_CHAR, piLen));
  else
    QK_TRY(ctx, bind_wide_text(ctx, hStmt, ipar, p, len, SQL_WVARCHAR, 0, piLen, ppwszBuf));
done:;
}

void QK_mssql__bind__nstring(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *psz, SQLSMALLINT sqlType,
                             SQLLEN *piLen, char16_t **ppwszBuf) {
  QK_TRY(ctx, QK_mssql__bind__nstring__buflen(ctx, hStmt, ipar, psz, psz != NULL ? (QK_uint32)strlen(psz) : 0,
                                              sqlType, piLen, ppwszBuf));
done:;
}

void QK_mssql__bind__nstring_max(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *psz, SQLLEN *piLen,
                                 char16_t **ppwszBuf) {
  QK_TRY(ctx, QK_mssql__bind__nstring_max__buflen(ctx, hStmt, ipar, psz, psz != NULL ? (QK_uint32)strlen(psz) : 0,
                                                  piLen, ppwszBuf));
done:;
}

/* Read by the driver at execution only; ODBC never writes an input parameter's indicator. */
static const char s_empty_value[1] = "";
static const SQLLEN s_zero_length = 0;

void QK_mssql__bind__blob(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, QK_uint64 len, QK_mssql_put_data **ppBlob) {
  QK_mssql_put_data *pHolder = NULL;
  if (len == 0) {
    /* An empty value is sent directly with length 0: without an indicator a binary buffer
     * would be taken as NUL-terminated, which is no length for bytes. */
    QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, 1, 0,
                               s_empty_value, 1, (SQLLEN *)&s_zero_length));
    goto done;
  }
  QK_ARG_NOT_NULL(ctx, ppBlob);
  QK_ARG_VALID(ctx, len, len <= 0xFFFFFFFFull);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_mssql_put_data), &pHolder));
  pHolder->ipar = ipar;
  pHolder->lenInd = SQL_LEN_DATA_AT_EXEC((SQLLEN)len);
  QK_TRY(ctx, bind_parameter(ctx, hStmt, ipar, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, (SQLULEN)len, 0,
                             pHolder, 4, &pHolder->lenInd));
  *ppBlob = pHolder;
  pHolder = NULL;
done:
  QK_free(ctx, pHolder);
}

void QK_mssql__put_data_holder__set(QK_context *ctx, QK_mssql_put_data *pbh, const void *p, QK_uint32 len) {
  QK_uint8 *pCopy = NULL;
  QK_ARG_NOT_NULL(ctx, pbh);
  if (len > 0) {
    QK_ARG_NOT_NULL(ctx, p);
    QK_TRY(ctx, QK_malloc(ctx, len, &pCopy));
    memcpy(pCopy, p, len);
  }
  QK_free(ctx, pbh->pBuf);
  pbh->pBuf = pCopy;
  pbh->lenBuf = len;
done:;
}

void QK_mssql__put_data(QK_context *ctx, SQLHSTMT hStmt, const QK_mssql_put_data *pbh) {
  SQLRETURN rc;
  QK_ARG_NOT_NULL(ctx, pbh);
  rc = s_api->PutData(hStmt, pbh->pBuf, (SQLLEN)pbh->lenBuf);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

void QK_mssql__free_put_data(QK_context *ctx, QK_mssql_put_data **pp) {
  if (pp == NULL || *pp == NULL) return;
  QK_free(ctx, (*pp)->pBuf);
  QK_free(ctx, *pp);
  *pp = NULL;
}

/* ---- Result description and column reading ---- */

void QK_mssql__num_result_cols(QK_context *ctx, SQLHSTMT hStmt, QK_int16 *pCount) {
  SQLRETURN rc;
  QK_ARG_NOT_NULL(ctx, pCount);
  rc = s_api->NumResultCols(hStmt, pCount);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

void QK_mssql__describe_col(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, char *pName, QK_int16 nameMax,
                            QK_int16 *pNameLen, QK_int16 *pDataType, SQLULEN *pColSize, QK_int16 *pDecimalDigits,
                            QK_int16 *pNullable) {
  SQLRETURN rc = s_api->DescribeCol(hStmt, col, (SQLCHAR *)pName, nameMax, pNameLen, pDataType, pColSize,
                                    pDecimalDigits, pNullable);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

void QK_mssql__close_cursor(QK_context *ctx, SQLHSTMT hStmt) {
  SQLRETURN rc = s_api->CloseCursor(hStmt);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

static void get_data(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, SQLSMALLINT cType, void *p, SQLLEN len,
                     SQLLEN *pInd) {
  SQLRETURN rc;
  QK_ARG_NOT_NULL(ctx, p);
  rc = s_api->GetData(hStmt, col, cType, p, len, pInd);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
done:;
}

void QK_mssql__get__bit(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, void *p4) {
  /* A bit arrives as one byte: widen it here so the caller's int never keeps stale bytes. */
  unsigned char bit = 0;
  SQLLEN ind = 0;
  QK_int32 value;
  QK_ARG_NOT_NULL(ctx, p4);
  QK_TRY(ctx, get_data(ctx, hStmt, col, SQL_C_BIT, &bit, 1, &ind));
  if (ind == SQL_NULL_DATA) goto done;
  value = bit != 0;
  memcpy(p4, &value, sizeof value);
done:;
}

void QK_mssql__get__int32(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_int32 *p, SQLLEN *pInd) {
  QK_TRY(ctx, get_data(ctx, hStmt, col, SQL_C_SLONG, p, 4, pInd));
done:;
}

void QK_mssql__get__int64(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_int64 *p, SQLLEN *pInd) {
  QK_TRY(ctx, get_data(ctx, hStmt, col, SQL_C_SBIGINT, p, 8, pInd));
done:;
}

void QK_mssql__get__double(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, double *p, SQLLEN *pInd) {
  QK_TRY(ctx, get_data(ctx, hStmt, col, SQL_C_DOUBLE, p, 8, pInd));
done:;
}

void QK_mssql__get__date(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, SQL_DATE_STRUCT *p, SQLLEN *pInd) {
  QK_TRY(ctx, get_data(ctx, hStmt, col, SQL_C_TYPE_DATE, p, sizeof(SQL_DATE_STRUCT), pInd));
done:;
}

void QK_mssql__get__timestamp(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, SQL_TIMESTAMP_STRUCT *p,
                              SQLLEN *pInd) {
  QK_TRY(ctx, get_data(ctx, hStmt, col, SQL_C_TYPE_TIMESTAMP, p, sizeof(SQL_TIMESTAMP_STRUCT), pInd));
done:;
}

void QK_mssql__get__time(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, void *pTime, SQLLEN *pInd) {
  QK_TRY(ctx, get_data(ctx, hStmt, col, SQL_C_BINARY, pTime, sizeof(QK_mssql_time2), pInd));
done:;
}

void QK_mssql__get__guid(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_uint8 *p16, SQLLEN *pInd) {
  QK_TRY(ctx, get_data(ctx, hStmt, col, SQL_C_BINARY, p16, 16, pInd));
done:;
}

#define NSTRING_FIRST_READ 2048
/* Working buffers stay well inside the 32-bit sizes of the allocator. */
#define NSTRING_MAX_BUFFER 0x7FFFFFF0u

/* Reads a text column piece by piece: the first piece into 2,048 bytes; a known total makes the
 * buffer exactly fit, SQL_NO_TOTAL doubles it. Each further piece is written over the previous
 * piece's terminating NUL. The driver's lengths are exact, so every unit of the value is
 * converted, NUL characters too. */
void QK_mssql__get__nstring__buflen(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, char **ppsz, QK_uint32 *pLen) {
  char first[NSTRING_FIRST_READ];
  char *pBuf = NULL;
  QK_uint64 size = NSTRING_FIRST_READ; /* bytes of the working buffer */
  QK_uint64 offset = 0;                /* where the last piece was written */
  QK_uint64 newSize;
  SQLLEN ind = 0;
  SQLRETURN rc;
  QK_ARG_NOT_NULL(ctx, ppsz);
  *ppsz = NULL;
  if (pLen != NULL) *pLen = 0;
  rc = s_api->GetData(hStmt, col, SQL_C_WCHAR, first, NSTRING_FIRST_READ, &ind);
  if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  if (ind == SQL_NULL_DATA) goto done;
  if (ind == 0) {
    QK_TRY(ctx, QK_alloc(ctx, 1, 1, ppsz));
    goto done;
  }
  if (ind < 0 && ind != SQL_NO_TOTAL)
    QK_THROW_FMT(ctx, QK_ERR_UNSUPPORTED_SQL_RESULT, "Unexpected length/indicator from SQLGetData: %d", (int)ind);
  if (ind > 0 && (QK_uint64)ind + 2 <= NSTRING_FIRST_READ) {
    QK_TRY(ctx, QK_mssql__wide_buf_to_utf8(ctx, first, (QK_uint64)ind & ~1ull, ppsz, pLen));
    goto done;
  }
  for (;;) {
    if (ind == SQL_NO_TOTAL)
      newSize = size * 2;
    else if (ind >= 0 && offset + (QK_uint64)ind + 2 > size)
      newSize = offset + (QK_uint64)ind + 2;
    else if (ind >= 0)
      break;
    else
      QK_THROW_FMT(ctx, QK_ERR_UNSUPPORTED_SQL_RESULT, "Unexpected length/indicator from SQLGetData: %d", (int)ind);
    if (newSize > NSTRING_MAX_BUFFER) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
    if (pBuf == NULL) {
      QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)newSize, &pBuf));
      memcpy(pBuf, first, NSTRING_FIRST_READ);
    } else {
      char *pGrown = NULL;
      QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)newSize, &pGrown));
      memcpy(pGrown, pBuf, (size_t)size);
      QK_free(ctx, pBuf);
      pBuf = pGrown;
    }
    offset = size - 2;
    size = newSize;
    rc = s_api->GetData(hStmt, col, SQL_C_WCHAR, pBuf + offset, (SQLLEN)(size - offset), &ind);
    if (!succeeded(rc)) QK_TRY(ctx, QK_mssql__throw_stmt_error(ctx, rc, hStmt));
  }
  QK_TRY(ctx, QK_mssql__wide_buf_to_utf8(ctx, pBuf, (offset + (QK_uint64)ind) & ~1ull, ppsz, pLen));
done:
  QK_free(ctx, pBuf);
}

void QK_mssql__get__nstring(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, char **ppsz) {
  QK_TRY(ctx, QK_mssql__get__nstring__buflen(ctx, hStmt, col, ppsz, NULL));
done:;
}

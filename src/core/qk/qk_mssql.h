/* qk_mssql: the only road from the server to SQL Server. Opens ODBC connections, runs
 * statements directly or prepared, binds parameters, reads columns, and turns every driver
 * failure into an error value (domain 0x10, the SQLRETURN as code) whose message is the
 * handle's diagnostics as compact JSON. Statement texts travel as UTF-16; connection strings
 * and diagnostics stay narrow. */
#ifndef QK_MSSQL_H
#define QK_MSSQL_H

#include <sql.h>
#include <sqlext.h>

#include "qk/qk_context.h"

static_assert(sizeof(SQLWCHAR) == 2, "ODBC text must be UTF-16 (never define SQL_WCHART_CONVERT)");

/* SQL Server driver extensions that the standard headers do not carry. */
#define QK_MSSQL_ATTR_TXN_ISOLATION 1227
#define QK_MSSQL_DIAG_SS_MSGSTATE (-1150)
#define QK_MSSQL_DIAG_SS_SEVERITY (-1151)
#define QK_MSSQL_SQL_SS_TIME2 (-154)

/* The driver's time(7) value: 12 bytes, fraction in nanoseconds. */
typedef struct QK_mssql_time2 {
  SQLUSMALLINT hour;
  SQLUSMALLINT minute;
  SQLUSMALLINT second;
  SQLUINTEGER fraction;
} QK_mssql_time2;
static_assert(sizeof(QK_mssql_time2) == 12, "time(7) structure is 12 bytes");

/* The ODBC entry points the module calls, so that tests can stand a scripted driver in for
 * the driver manager. The store reaches SQLParamData and SQLMoreResults through it too. */
typedef struct QK_mssql_odbc_api {
  SQLRETURN (*AllocHandle)(SQLSMALLINT, SQLHANDLE, SQLHANDLE *);
  SQLRETURN (*FreeHandle)(SQLSMALLINT, SQLHANDLE);
  SQLRETURN (*SetEnvAttr)(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER);
  SQLRETURN (*SetConnectAttr)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER);
  SQLRETURN (*DriverConnect)(SQLHDBC, SQLHWND, SQLCHAR *, SQLSMALLINT, SQLCHAR *, SQLSMALLINT,
                             SQLSMALLINT *, SQLUSMALLINT);
  SQLRETURN (*Disconnect)(SQLHDBC);
  SQLRETURN (*ExecDirectW)(SQLHSTMT, SQLWCHAR *, SQLINTEGER);
  SQLRETURN (*PrepareW)(SQLHSTMT, SQLWCHAR *, SQLINTEGER);
  SQLRETURN (*Execute)(SQLHSTMT);
  SQLRETURN (*Fetch)(SQLHSTMT);
  SQLRETURN (*GetData)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN *);
  SQLRETURN (*GetDiagField)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLSMALLINT, SQLPOINTER, SQLSMALLINT,
                            SQLSMALLINT *);
  SQLRETURN (*NumResultCols)(SQLHSTMT, SQLSMALLINT *);
  SQLRETURN (*DescribeCol)(SQLHSTMT, SQLUSMALLINT, SQLCHAR *, SQLSMALLINT, SQLSMALLINT *, SQLSMALLINT *,
                           SQLULEN *, SQLSMALLINT *, SQLSMALLINT *);
  SQLRETURN (*CloseCursor)(SQLHSTMT);
  SQLRETURN (*BindParameter)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLULEN,
                             SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN *);
  SQLRETURN (*ParamData)(SQLHSTMT, SQLPOINTER *);
  SQLRETURN (*PutData)(SQLHSTMT, SQLPOINTER, SQLLEN);
  SQLRETURN (*MoreResults)(SQLHSTMT);
} QK_mssql_odbc_api;

/* The table in use: unixODBC's entry points unless a test replaced them. */
const QK_mssql_odbc_api *QK_mssql__odbc(void);
/* Test seam: installs api (NULL restores the driver manager) and returns the table it
 * replaced. Not for use while statements run. */
const QK_mssql_odbc_api *QK_mssql__set_odbc(const QK_mssql_odbc_api *api);

/* ---- Connections and statements ---- */

#define QK_MSSQL_DEFERRED_MAX 128

typedef struct QK_mssql_connection {
  SQLHENV hEnv;
  SQLHDBC hDbc;
  /* SET statements waiting for the connection's next batch (QK_mssql__defer_setting). */
  char szDeferred[QK_MSSQL_DEFERRED_MAX];
} QK_mssql_connection;

/* Opens a connection (its own environment, read committed) with an ODBC connection string;
 * *ppsql is NULL on failure. */
void QK_mssql__connect(QK_context *ctx, const char *pszConnStr, QK_mssql_connection **ppsql);
/* Closes and frees; NULL and *ppsql NULL are accepted; reports nothing; *ppsql becomes NULL. */
void QK_mssql__disconnect(QK_context *ctx, QK_mssql_connection **ppsql);

/* Direct execution on a statement of its own; SQL_NO_DATA (no row touched) is success. The
 * classified forms map duplicate keys (80) and constraints (81-83), the _null form also
 * NOT NULL violations (84); every form maps deadlock victims to 90. */
void QK_mssql__exec(QK_context *ctx, QK_mssql_connection *psql, const char *pszSql);
void QK_mssql__exec__format(QK_context *ctx, QK_mssql_connection *psql, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void QK_mssql__exec__format_classified(QK_context *ctx, QK_mssql_connection *psql, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void QK_mssql__exec__format_classified_null(QK_context *ctx, QK_mssql_connection *psql, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Keeps a session setting (a SET statement ending with ';') for the connection's next batch
 * instead of sending it alone: a batch sent as it stands (the exec and query functions,
 * QK_mssql__exec_direct) carries it in front of its text; before a statement is prepared it is
 * sent alone, since a prepared or parameterised execution runs as a procedure call and its SET
 * options end with it. A statement prepared earlier and executed again does not send it:
 * defer only on a connection whose earlier statements are done. A batch that fails keeps the
 * settings waiting, to be sent again with the next. */
void QK_mssql__defer_setting(QK_context *ctx, QK_mssql_connection *psql, const char *pszSet);
/* Allocates a statement and runs the text directly, the deferred settings in front. The caller
 * maps a failing *pRc (SQL_NO_DATA, no row touched, is none) and frees *phStmt, which is NULL
 * only when no statement could be allocated. */
void QK_mssql__exec_direct(QK_context *ctx, QK_mssql_connection *psql, const char *pszSql, SQLHSTMT *phStmt,
                           SQLRETURN *pRc);

/* Column 1 of row 1; no row or a NULL value is an error. */
void QK_mssql__query_bool__format(QK_context *ctx, QK_mssql_connection *psql, int *pbResult, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void QK_mssql__query_int64__format(QK_context *ctx, QK_mssql_connection *psql, QK_int64 *pResult,
                                   const char *fmt, ...) __attribute__((format(printf, 4, 5)));
/* Row count of the statement that ran last on the connection ("SELECT @@ROWCOUNT"). */
void QK_mssql__rowcount(QK_context *ctx, QK_mssql_connection *psql, QK_int64 *pCount);

/* Prepared statements: the caller owns *phStmt (NULL after a failure) and frees it with
 * QK_mssql__free_stmt. */
void QK_mssql__prepare(QK_context *ctx, QK_mssql_connection *psql, SQLHSTMT *phStmt, const char *pszSql);
void QK_mssql__prepare__format(QK_context *ctx, QK_mssql_connection *psql, SQLHSTMT *phStmt, const char *fmt,
                               ...) __attribute__((format(printf, 4, 5)));
void QK_mssql__execute(QK_context *ctx, SQLHSTMT hStmt);
/* For a statement with a parameter sent at execution: the driver must stop for data. */
void QK_mssql__execute__need_data(QK_context *ctx, SQLHSTMT hStmt);
/* *pbGotRow (optional): 1 for a row, 0 at the end of the result set. */
void QK_mssql__fetch(QK_context *ctx, SQLHSTMT hStmt, int *pbGotRow);
void QK_mssql__free_stmt(QK_context *ctx, SQLHSTMT hStmt);

/* Records the ODBC error rc of a statement with its diagnostics (deadlock mapping only). */
void QK_mssql__throw_stmt_error(QK_context *ctx, SQLRETURN rc, SQLHSTMT hStmt);
void QK_mssql__throw_dbc_error(QK_context *ctx, SQLRETURN rc, SQLHDBC hDbc);
void QK_mssql__throw_stmt_error_classified(QK_context *ctx, SQLRETURN rc, SQLHSTMT hStmt, int bNotNull);

/* ---- Text conversion (UTF-16 as char16_t; results freed with QK_free) ---- */

/* *pCount (optional) counts the units with the NUL. */
void QK_mssql__utf8_to_wide(QK_context *ctx, const char *psz_utf8, char16_t **ppBufResult, int *pCount);
/* An empty input gives a new empty text. */
void QK_mssql__wide_to_utf8(QK_context *ctx, const char16_t *pBufUnicode, char **pszUtf8Result);
/* bytes (even) of UTF-16 that need not be NUL-terminated, all converted: a NUL character of the
 * text stays in the NUL-terminated result, whose byte length goes to *pLen (opt). */
void QK_mssql__wide_buf_to_utf8(QK_context *ctx, const void *pBuf, QK_uint64 bytes, char **ppsz, QK_uint32 *pLen);

/* ---- Parameter binding: buffers stay the caller's and must live until the last execution ---- */

void QK_mssql__bind__int32(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const QK_int32 *p);
void QK_mssql__bind__int64(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const QK_int64 *p);
/* Output parameter; *pInd is set to 8 and receives the driver's indicator. */
void QK_mssql__bind_out__int64(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, QK_int64 *p, SQLLEN *pInd);
void QK_mssql__bind__double(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const double *p);
void QK_mssql__bind__date(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const SQL_DATE_STRUCT *p);
void QK_mssql__bind__datetime(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const SQL_TIMESTAMP_STRUCT *p,
                              SQLLEN *piLen);
/* pTime points to a QK_mssql_time2. */
void QK_mssql__bind__time(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const void *pTime, SQLLEN *piLen);
/* A 36-character GUID text; NULL binds NULL. */
void QK_mssql__bind__guid_text(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *psz36, SQLLEN *piLen);
/* UTF-8 text sent as UTF-16 of the given SQL type; the UTF-16 copy goes to *ppwszBuf and is the
 * caller's to free after the last execution. NULL binds NULL. */
void QK_mssql__bind__nstring(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *psz, SQLSMALLINT sqlType,
                             SQLLEN *piLen, char16_t **ppwszBuf);
/* The same as nvarchar(max). */
void QK_mssql__bind__nstring_max(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *psz, SQLLEN *piLen,
                                 char16_t **ppwszBuf);
/* The same for len bytes of UTF-8, which may hold NUL characters: they go to the driver with
 * the text, whose length is counted, never NUL-terminated. */
void QK_mssql__bind__nstring__buflen(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *p, QK_uint32 len,
                                     SQLSMALLINT sqlType, SQLLEN *piLen, char16_t **ppwszBuf);
void QK_mssql__bind__nstring_max__buflen(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, const char *p,
                                         QK_uint32 len, SQLLEN *piLen, char16_t **ppwszBuf);
void QK_mssql__bind__null(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, SQLSMALLINT valueType,
                          SQLSMALLINT sqlType, SQLLEN *piLen);

/* A blob parameter sent at execution. The holder's address is the parameter's token, so the
 * parameter number must stay its first field. The holder is the parameter's bound buffer and
 * indicator: free it only after SQLParamData has answered something other than SQL_NEED_DATA.
 * Calling order: prepare; bind (blob last); put_data_holder__set; execute__need_data; while
 * SQLParamData answers SQL_NEED_DATA, put_data with the holder its token points to; then free. */
typedef struct QK_mssql_put_data {
  QK_uint32 ipar;
  SQLLEN lenInd;
  QK_uint8 *pBuf;
  QK_uint32 lenBuf;
} QK_mssql_put_data;

/* len > 0: binds the parameter for data at execution and hands a new holder to *ppBlob.
 * len 0: binds an empty value directly; no holder is made and ppBlob is not used. */
void QK_mssql__bind__blob(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 ipar, QK_uint64 len,
                          QK_mssql_put_data **ppBlob);
/* Stores a copy of the len bytes in the holder. */
void QK_mssql__put_data_holder__set(QK_context *ctx, QK_mssql_put_data *pbh, const void *p, QK_uint32 len);
void QK_mssql__put_data(QK_context *ctx, SQLHSTMT hStmt, const QK_mssql_put_data *pbh);
void QK_mssql__free_put_data(QK_context *ctx, QK_mssql_put_data **pp);

/* ---- Result description and column reading of the current row ---- */

void QK_mssql__num_result_cols(QK_context *ctx, SQLHSTMT hStmt, QK_int16 *pCount);
void QK_mssql__describe_col(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, char *pName, QK_int16 nameMax,
                            QK_int16 *pNameLen, QK_int16 *pDataType, SQLULEN *pColSize, QK_int16 *pDecimalDigits,
                            QK_int16 *pNullable);
void QK_mssql__close_cursor(QK_context *ctx, SQLHSTMT hStmt);

/* A bit into the caller's 4-byte int: 0 or 1; a NULL value leaves it as it was. */
void QK_mssql__get__bit(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, void *p4);
/* The others report NULL as SQL_NULL_DATA in *pInd. */
void QK_mssql__get__int32(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_int32 *p, SQLLEN *pInd);
void QK_mssql__get__int64(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_int64 *p, SQLLEN *pInd);
void QK_mssql__get__double(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, double *p, SQLLEN *pInd);
void QK_mssql__get__date(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, SQL_DATE_STRUCT *p, SQLLEN *pInd);
void QK_mssql__get__timestamp(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, SQL_TIMESTAMP_STRUCT *p,
                              SQLLEN *pInd);
/* pTime points to a QK_mssql_time2. */
void QK_mssql__get__time(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, void *pTime, SQLLEN *pInd);
/* The 16 raw bytes of a uniqueidentifier. */
void QK_mssql__get__guid(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_uint8 *p16, SQLLEN *pInd);
/* A text column as new UTF-8 (free with QK_free); NULL for a NULL value. */
void QK_mssql__get__nstring(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, char **ppsz);
/* The same with the text's byte length in *pLen: a value may hold NUL characters, which stay
 * in the (still NUL-terminated) text. */
void QK_mssql__get__nstring__buflen(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, char **ppsz, QK_uint32 *pLen);

#endif

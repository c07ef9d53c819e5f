/* Value conversion of the SQL Server store: SQL Server values read through ODBC become row
 * documents or package (SQLite) values, package values become ODBC parameters, and the schema
 * definition gives T-SQL column types, temp-table definitions and MERGE assignments. Every
 * other part of the store converts values through these steps.
 *
 * GUIDs travel as 16 bytes in the order SQL Server hands a uniqueidentifier out as bytes
 * (first three groups little-endian); both directions keep that order. Decimals and money are
 * 64-bit integers scaled by 10^scale. Identity keys cross into temp tables as varchar(25)
 * texts "C:<n>" (a client's value) or "S:<n>" (the server's). */
#ifndef TAV_DB_MSSQL_VALUES_H
#define TAV_DB_MSSQL_VALUES_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "qk/qk_hex.h"
#include "qk/qk_mssql.h"
#include "qk/qk_idset.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"

/* Temp-table name buffer: at most 63 characters and the NUL. */
#define TAV_TEMP_NAME_SIZE 64

/* One parameter or result column of a statement. */
typedef struct tav_col_binding {
  QK_int16 sqlType;       /* ODBC SQL type code */
  SQLLEN indicator;       /* length or NULL indicator handed to the driver */
  SQLULEN columnSize;     /* character or byte width; 0 for a "(max)" column */
  QK_int16 decimalDigits; /* scale of decimals and money, fraction digits of date-times */
  char16_t *pwszText;     /* owned: UTF-16 copy of a bound text or decimal */
  char szGuid[QK_GUID_SZ_SIZE]; /* text of a bound GUID */
  union {
    QK_int64 i64;
    double dbl;
    SQL_DATE_STRUCT date;
    QK_mssql_time2 time;
    SQL_TIMESTAMP_STRUCT timestamp;
  } value;
  QK_mssql_put_data *pBlob; /* owned: the data-at-execution holder of a bound blob */
} tav_col_binding;

typedef struct tav_col_collection {
  QK_int32 countCols;
  tav_col_binding *pBindings; /* owned, countCols entries */
} tav_col_collection;

/* A fresh temp-table name from kind and key ("live_1234_" and random hex digits); the caller
 * puts "#" in front. */
void tav_db_mssql__make_temp_name(QK_context *ctx, char *pBuf64, const char *pszKind, const char *pszKey);

/* One byte-string column (binary, varbinary, uniqueidentifier) of the current row. NULL: length
 * 0 and no buffer; empty: length 0 and a shared empty buffer. Free with free_bytes. */
void tav_db_mssql__get_bytes(QK_context *ctx, SQLHSTMT hStmt, QK_uint16 col, QK_uint32 *pLen, QK_uint8 **ppBuf);
/* Frees a buffer of get_bytes (the shared empty one is left alone); NULL is accepted. */
void tav_db_mssql__free_bytes(QK_context *ctx, QK_uint8 **ppBuf);

/* The current result row as a row document: filled into *ppRow, or a new one when *ppRow is
 * NULL. Internal package columns are left out; z_rid goes to pRid16 (opt) when 16 bytes. */
void tav_db_mssql__row_to_vhash(QK_context *ctx, SQLHSTMT hStmt, QK_vhash **ppRow, QK_uint8 *pRid16);

/* The columns of a result as row documents take them, described once for all its rows. */
typedef struct tav_row_shape tav_row_shape;
void tav_db_mssql__describe_row_shape(QK_context *ctx, SQLHSTMT hStmt, tav_row_shape **ppShape);
/* The current result row into pRow as row_to_vhash fills it, over the described columns. */
void tav_db_mssql__shaped_row_to_vhash(QK_context *ctx, SQLHSTMT hStmt, const tav_row_shape *pShape,
                                       QK_vhash *pRow, QK_uint8 *pRid16);
/* NULL is accepted. */
void tav_db_mssql__free_row_shape(QK_context *ctx, tav_row_shape **ppShape);

/* Collections: zeroed for count bindings, or described from a statement's result. */
void tav_db_mssql__alloc_column_array(QK_context *ctx, QK_uint16 count, tav_col_collection **ppColl);
void tav_db_mssql__describe_result(QK_context *ctx, SQLHSTMT hStmt, tav_col_collection **ppColl);
/* Frees the bindings' buffers, the array and the record; NULL is accepted. */
void tav_db_mssql__free_column_array(QK_context *ctx, tav_col_collection **ppColl);

/* Binding types of the columns named by the document's keys, from binding number first on.
 * With bIdentityKeysAsText identity columns and columns referring to one are key texts. */
void tav_db_mssql__set_bindings_from_defin(QK_context *ctx, tav_col_collection *pColl, int first,
                                           const QK_vhash *pColumnNames, tav_defin *psk, const char *pszTblId,
                                           int bIdentityKeysAsText);

/* Package columns firstPkgCol.. of the current package row as parameters firstBinding + 1..
 * by the bindings' types. *pbNeedsData becomes 1 when a blob is sent at execution: then run
 * the statement with execute_bound. */
void tav_db_mssql__bind_package_row(QK_context *ctx, sqlite3_stmt *pPkgStmt, int firstPkgCol, SQLHSTMT hStmt,
                                    tav_col_collection *pColl, int firstBinding, int count, int *pbNeedsData);
/* Executes a statement bound by bind_package_row, sending blobs at execution when needed. */
void tav_db_mssql__execute_bound(QK_context *ctx, SQLHSTMT hStmt, int bNeedsData);

/* The decimal text of a value scaled by 10^scale ("123.45"; scale 0 ends with "."), into a
 * buffer of at least TAV_DECIMAL_SZ_SIZE bytes. */
#define TAV_DECIMAL_SZ_SIZE 64
void tav_db_mssql__format_decimal(QK_context *ctx, QK_int64 value, int scale, char *pBuf);
/* Digits after the first "." as a fraction of a second in units of 100 ns ("5" gives
 * 5,000,000); 0 without them. */
QK_uint32 tav_db_mssql__parse_fraction(const char *psz);

/* What a date or time text gives. */
typedef struct tav_datetime_text {
  int bDate, bTime;
  int bIsoSeparator; /* "T" between date and time */
  int bSeconds;
  char zone; /* after the time: 'Z', '+' or '-' (an offset), or 0 */
  unsigned year, month, day, hour, minute, second;
  QK_uint32 fraction; /* units of 100 ns */
} tav_datetime_text;
/* Reads the language-neutral forms in which SQL Server converts a string to a date or time
 * type: a date (YYYY-MM-DD or YYYYMMDD), a time of day (hh:mm[:ss[.fraction of 1 to 7
 * digits]]) that Z or an offset (+hh:mm or -hh:mm, up to 14:00, after a blank or not) may
 * follow, or a date, a blank or (after YYYY-MM-DD) a T, and such a time; blanks around the
 * text do not count. 1 when the text has one of these forms and names a day of the calendar
 * and a time of the day, else 0 (*pOut is then undefined). Which forms a column's type takes
 * is the caller's choice; the zone never moves the time, as SQL Server's conversions to the
 * types without an offset keep the local time. */
int tav_db_mssql__parse_datetime_text(const char *p, size_t len, tav_datetime_text *pOut);

/* The current result row as SQLite parameters 1..N of the package statement (reset and cleared
 * first). With a row-id set the first column's 16 bytes are added (46 for a duplicate), or
 * with bSkipDuplicates a known row is not bound: *pbSkipped (opt) becomes 1. */
void tav_db_mssql__bind_result_row(QK_context *ctx, SQLHSTMT hStmt, sqlite3_stmt *pPkgInsert,
                                   tav_col_collection *pColl, QK_idset *pRowIds, int bSkipDuplicates,
                                   int *pbSkipped);
/* Every remaining result row into the package. */
void tav_db_mssql__copy_result_rows(QK_context *ctx, SQLHSTMT hStmt, tav_col_collection *pColl,
                                    sqlite3_stmt *pPkgInsert, QK_idset *pRowIds, int bSkipDuplicates);
/* Executes the prepared statement, copies all its rows into the package, frees it and clears
 * the pointer (on every path). */
void tav_db_mssql__execute_into_package(QK_context *ctx, SQLHSTMT *phStmt, sqlite3_stmt *pPkgInsert,
                                        QK_idset *pRowIds, int bSkipDuplicates);

/* T-SQL type of a column as a new heap text (free with QK_free). */
void tav_db_mssql__tsql_type(QK_context *ctx, tav_defin *psk, const char *pszTblId, const char *pszColId,
                             int bWithoutCollation, int bWithDefault, char **ppszType);
/* "a","b",... over the document's keys, leaving out pszSkip (opt). */
void tav_db_mssql__quoted_column_list(QK_context *ctx, const QK_vhash *pColumns, const char *pszSkip,
                                      QK_string **ppOut);
/* The SET list of a MERGE from z$$src into z$$dest; identity mode 1 turns "S:" key texts of
 * identity columns back into numbers. */
void tav_db_mssql__merge_assignments(QK_context *ctx, int identityMode, tav_defin *psk, const char *pszTblId,
                                     const QK_vhash *pColumns, const char *pszSkip, QK_string **ppOut);
/* Column definitions of the named columns / of all columns (prepared ones, whose names go to
 * pNames (opt), then the unprepared ones). */
void tav_db_mssql__column_ddl_for(QK_context *ctx, const QK_vhash *pColumns, tav_defin *psk, const char *pszTblId,
                                  int bIdentityKeysAsText, int bWithDefaults, QK_string **ppOut);
void tav_db_mssql__column_ddl_all(QK_context *ctx, tav_defin *psk, const char *pszTblId, int bIdentityKeysAsText,
                                  int bWithDefaults, QK_string **ppOut, QK_vhash *pNames);
/* "CREATE TABLE #<name> (<key definition>, <columns>);" for the named columns (opt) or all
 * columns, whose names then go to a new document (opt, handed out on success). */
void tav_db_mssql__create_temp_table(QK_context *ctx, QK_mssql_connection *pConn, tav_defin *psk,
                                     const char *pszTblId, const char *pszTempName, const char *pszKeyColumnDef,
                                     int bIdentityKeysAsText, const QK_vhash *pColumns, int bWithDefaults,
                                     QK_vhash **ppNames);

/* The SQLSTATE of the pending ODBC error as a number (0 when there is none or it is not
 * numeric); the pending error stays. */
void tav_db_mssql__error_sqlstate(QK_context *ctx, QK_int64 *pNative);

/* The name with every closing character (" or ] of the quotes it goes between, ' inside a
 * literal) doubled, as a new string. */
void tav_db_mssql__escape_identifier(QK_context *ctx, const char *pszName, char closing, QK_string **ppOut);

#endif

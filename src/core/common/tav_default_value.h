/* Client defaults from SQL Server column defaults: a SQL Server default text such as ((0)),
 * (N'abc'), (getutcdate()) or (0x00FF) becomes a default in SQLite syntax, or none. */
#ifndef TAV_DEFAULT_VALUE_H
#define TAV_DEFAULT_VALUE_H

#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "znativesqlite/znativesqlite.h"

/* Token classes of the default-text scanner (the older SQLite token rules clients share). */
typedef enum tav_sqltok_class {
  TAV_SQLTOK_END = 0,  /* the NUL at the end of the text */
  TAV_SQLTOK_SPACE,    /* whitespace and comments */
  TAV_SQLTOK_LP,
  TAV_SQLTOK_RP,
  TAV_SQLTOK_ID,       /* identifier, also "..", [..] and `..` */
  TAV_SQLTOK_STRING,   /* '..' with doubled quotes inside */
  TAV_SQLTOK_NULL,     /* the keyword NULL */
  TAV_SQLTOK_KEYWORD,  /* any other keyword */
  TAV_SQLTOK_INTEGER,
  TAV_SQLTOK_FLOAT,
  TAV_SQLTOK_BLOB,     /* x'..' with an even number of hex digits */
  TAV_SQLTOK_MINUS,
  TAV_SQLTOK_VARIABLE, /* ?1, :a, @a, $a, #a */
  TAV_SQLTOK_OPERATOR, /* every other punctuation token */
  TAV_SQLTOK_ILLEGAL   /* e.g. a number running on into letters: 0x00FF, 12abc, 1e5x */
} tav_sqltok_class;

/* The token at z: its class through *pClass, its length in bytes as the result (0 at the end). */
int tav_sqltok__scan(const char *z, tav_sqltok_class *pClass);

/* The three shapes of a SQL Server default; each hands out a new heap text or NULL. */
/* A single literal: ((0)) gives 0, (N'abc') gives 'abc', ((-1.5)) gives -1.5. */
void tav_defin__default_literal(QK_context *ctx, const char *sql_default, char **pszLiteral);
/* A call without arguments: (getutcdate()) gives getutcdate. */
void tav_defin__default_function_name(QK_context *ctx, const char *sql_default, char **pszName);
/* A binary constant: (0x00FF) gives x'00FF'. */
void tav_defin__default_hex_literal(QK_context *ctx, const char *sql_default, char **pszHex);

/* A decimal text as an integer scaled by 10^scale; more fractional digits than the scale,
 * a second point and values beyond 64 bits raise 1 "problem with decimal string ...". */
void tav_defin__decimal_to_scaled_int64(QK_context *ctx, const char *text, QK_uint8 scale, QK_int64 *pValue);

/* The client default of a column of the definition whose SQL Server default is sql_default:
 * a new heap text, or NULL for none. The column's "type"/"name" must exist (47). */
void tav_defin__translate_default(QK_context *ctx, tav_defin *psk, const char *tbl_id, const char *col_id,
                                  const char *sql_default, char **pszDefault);

/* The client default for a column of the given logical type with the SQL Server default
 * sql_default (scale: the column's scale for "decimal", 4 for money): a new heap text, or
 * NULL for none. A literal the type's constraint check rejects is an error. */
void tav_defin__translate_default_for_type(QK_context *ctx, const char *type, QK_uint8 scale,
                                           const char *sql_default, char **pszDefault);

/* Integer literals of 32 bits are range-tested in place; any other literal goes through the
 * scratch test. */
void tav_defin__check_int_default(QK_context *ctx, const char *literal, const char *type, QK_int64 min,
                                  QK_int64 max, int *pbAccepted);
/* Inserts the literal into a scratch in-memory table guarded by the type's constraint check:
 * accepted when the row went in; a value the check rejects is the check's SQLite error. */
void tav_defin__test_default_in_scratch_db(QK_context *ctx, const char *type, const char *literal,
                                           int *pbAccepted);

/* Evaluates a literal in SQLite: a text 'True' or 'False' (any case) is recognized as 1 or 0. */
void tav_defin__eval_bool_default(QK_context *ctx, const char *literal, int *pbRecognized, int *pValue);

/* One statement on a scratch connection: prepare, step until no row, finalize; a failure is
 * a SQLite-domain error "<result text>: <connection message>". */
void tav_defin__native_exec(QK_context *ctx, const znativesqlite_api *api, sqlite3 *db, const char *sql);
void tav_defin__native_exec_printf(QK_context *ctx, const znativesqlite_api *api, sqlite3 *db,
                                   const char *szFormat, ...) __attribute__((format(printf, 4, 5)));

#endif

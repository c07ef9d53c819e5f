/* Quoting of names and texts that the server formats into SQL: embedded quote characters
 * are doubled so that a name can neither end its quotes early nor inject SQL. */
#ifndef TAV_SQL_QUOTE_H
#define TAV_SQL_QUOTE_H

#include "qk/qk_context.h"
#include "qk/qk_string.h"

/* Appends "name" with every " doubled (SQLite and T-SQL quoted identifier). */
void tav_sql__append_quoted_name(QK_context *ctx, QK_string *pStr, const char *szName);
/* Appends [name] with every ] doubled (T-SQL bracketed identifier). */
void tav_sql__append_bracketed_name(QK_context *ctx, QK_string *pStr, const char *szName);
/* Appends text with every ' doubled, for use between single quotes. */
void tav_sql__append_literal_body(QK_context *ctx, QK_string *pStr, const char *szText);

#endif

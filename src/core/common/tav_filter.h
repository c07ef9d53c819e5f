/* Row filters: what one user's client receives and may write. A filter is a JSON document
 * {"tbls": {table id: {"exclude", "where", "cols": {column id: {"exclude", "defval"}}}}};
 * where-clauses are T-SQL with macros that are expanded here and nowhere else. */
#ifndef TAV_FILTER_H
#define TAV_FILTER_H

#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"

#define TAV_FILTER_MACRO_WRITE_BLOCKING "{{{WRITE_BLOCKING}}}"
#define TAV_FILTER_MACRO_DYNAMIC "{{{DYNAMIC}}}"
#define TAV_FILTER_MACRO_TIME_OF_SYNC "{{{TIME_OF_SYNC}}}"
#define TAV_FILTER_MACRO_USER_NAME "{{{TAVRIN_USER_NAME}}}"

typedef struct tav_filter {
  QK_int64 filter_id;
  QK_vhash *definition; /* owned: the parsed filter JSON */
  char *user_name;      /* owned, or NULL: what the user-name macro expands to */
} tav_filter;

/* Parses the filter JSON (an object) and copies the user name; nothing is handed out on
 * failure. */
void tav_filter__alloc(QK_context *ctx, QK_int64 filter_id, const char *user_name, const char *filter_json,
                       tav_filter **ppFilter);
/* Frees and sets *ppFilter to NULL; NULL is accepted. */
void tav_filter__free(QK_context *ctx, tav_filter **ppFilter);

/* The table rule's "exclude" (0 when absent). Wrong JSON types are 48. */
void tav_filter__is_table_excluded(QK_context *ctx, const tav_filter *filter, const char *tbl_id, int *pbExcluded);
/* The column rule's "exclude" and, only when it is true, its "defval" (borrowed; NULL when
 * absent). */
void tav_filter__get_column_exclusion(QK_context *ctx, const tav_filter *filter, const char *tbl_id,
                                      const char *col_id, int *pbExcluded, const char **pszDefval);
/* The table's where-clause with its macros expanded, as a new heap text, or NULL when the
 * table has none (or, with write_blocking_only, none marked write-blocking). pszRaw, when
 * given, receives the clause before all but the write-blocking macro are expanded. A
 * time_of_sync that is not the server's date-time text is refused (1). */
void tav_filter__get_where(QK_context *ctx, const tav_filter *filter, int write_blocking_only, const char *tbl_id,
                           const char *time_of_sync, char **pszRaw, char **pszWhere);
/* 1 when a table that is not excluded has a write-blocking where-clause; NULL filter: 0. */
void tav_filter__has_write_blocking(QK_context *ctx, const tav_filter *filter, int *pbResult);
/* 1 when a table that is not excluded has a where-clause with the time-of-sync macro (with
 * write_blocking_only: one that is write-blocking too). */
void tav_filter__has_time_of_sync(QK_context *ctx, const tav_filter *filter, int write_blocking_only,
                                  int *pbResult);

/* For the push import: the excluded columns of the table that have a "defval", in the
 * filter's order, as ",[name]" (with "]" doubled) appended to *ppColumns and ",(defval)" to
 * *ppDefaults; with unprep_only only columns the definition lists as not prepared; names
 * that are keys of skip are left out. Both outputs stay NULL when no column qualifies. */
void tav_filter__excluded_column_defaults(QK_context *ctx, const tav_filter *filter, tav_defin *psk,
                                          const char *tbl_id, int unprep_only, const QK_vhash *skip,
                                          QK_string **ppColumns, QK_string **ppDefaults);

/* The time of sync of a client's filter base (its member ""), borrowed from the document, or
 * NULL when it has none. It goes into T-SQL text, so only the server's own date-time text
 * "YYYY-MM-DD hh:mm:ss" with at most 3 fractional digits is accepted; anything else is 1. */
void tav_filter__get_time_of_sync(QK_context *ctx, const QK_vhash *filter_base, const char **pszTime);

#endif

/* Row filters and the expansion of their where-clause macros. */
#include "common/tav_filter.h"

#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "common/tav_sql_quote.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"

static const char TIME_OF_SYNC_SQL[] = "(CAST ('%s' AS datetime))";

#define TIME_OF_SYNC_REFUSED \
  "invalid time of sync in the filter base (expected the form YYYY-MM-DD hh:mm:ss with at most 3 fractional digits)"

void tav_filter__alloc(QK_context *ctx, QK_int64 filter_id, const char *user_name, const char *filter_json,
                       tav_filter **ppFilter) {
  tav_filter *filter = NULL;
  QK_ARG_NOT_NULL(ctx, filter_json);
  QK_ARG_NOT_NULL(ctx, ppFilter);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_filter), &filter));
  filter->filter_id = filter_id;
  if (user_name != NULL) QK_TRY(ctx, QK_strdup(ctx, user_name, &filter->user_name));
  QK_TRY(ctx, QK_vhash__alloc__from_json(ctx, &filter->definition, filter_json));
  *ppFilter = filter;
  filter = NULL;
done:
  QK_RELEASE(ctx, tav_filter__free(ctx, &filter));
}

void tav_filter__free(QK_context *ctx, tav_filter **ppFilter) {
  if (ppFilter == NULL || *ppFilter == NULL) return;
  QK_free(ctx, (*ppFilter)->user_name);
  QK_vhash__free(ctx, (*ppFilter)->definition);
  QK_free(ctx, *ppFilter);
  *ppFilter = NULL;
}

/* The table rule, or NULL when the filter has none for the table. */
static void table_rule(QK_context *ctx, const tav_filter *filter, const char *tbl_id, QK_vhash **ppRule) {
  QK_vhash *tables = NULL;
  *ppRule = NULL;
  QK_ARG_NOT_NULL(ctx, filter);
  QK_ARG_NOT_NULL(ctx, tbl_id);
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, filter->definition, "tbls", &tables));
  if (tables != NULL) QK_TRY(ctx, QK_vhash__check__vhash(ctx, tables, tbl_id, ppRule));
done:;
}

void tav_filter__is_table_excluded(QK_context *ctx, const tav_filter *filter, const char *tbl_id, int *pbExcluded) {
  QK_vhash *rule = NULL;
  int excluded = 0;
  QK_ARG_NOT_NULL(ctx, pbExcluded);
  QK_TRY(ctx, table_rule(ctx, filter, tbl_id, &rule));
  if (rule != NULL) QK_TRY(ctx, QK_vhash__check__bool(ctx, rule, "exclude", &excluded));
  *pbExcluded = excluded;
done:;
}

void tav_filter__get_column_exclusion(QK_context *ctx, const tav_filter *filter, const char *tbl_id,
                                      const char *col_id, int *pbExcluded, const char **pszDefval) {
  QK_vhash *rule = NULL, *columns = NULL, *column = NULL;
  const char *defval = NULL;
  int excluded = 0;
  QK_ARG_NOT_NULL(ctx, col_id);
  QK_ARG_NOT_NULL(ctx, pbExcluded);
  QK_ARG_NOT_NULL(ctx, pszDefval);
  QK_TRY(ctx, table_rule(ctx, filter, tbl_id, &rule));
  if (rule != NULL) QK_TRY(ctx, QK_vhash__check__vhash(ctx, rule, "cols", &columns));
  if (columns != NULL) QK_TRY(ctx, QK_vhash__check__vhash(ctx, columns, col_id, &column));
  if (column != NULL) QK_TRY(ctx, QK_vhash__check__bool(ctx, column, "exclude", &excluded));
  if (excluded) QK_TRY(ctx, QK_vhash__check__sz(ctx, column, "defval", &defval));
  *pbExcluded = excluded;
  *pszDefval = defval;
done:;
}

static int is_digits(const char *p, int n) {
  for (int k = 0; k < n; k++)
    if (p[k] < '0' || p[k] > '9') return 0;
  return 1;
}

/* "YYYY-MM-DD hh:mm:ss" with an optional "." and 1 to 3 digits: the server's UTC date text. */
static int is_server_datetime_text(const char *t) {
  size_t len = strlen(t);
  if (len < 19 || len == 20 || len > 23) return 0;
  if (!is_digits(t, 4) || t[4] != '-' || !is_digits(t + 5, 2) || t[7] != '-' || !is_digits(t + 8, 2) ||
      t[10] != ' ' || !is_digits(t + 11, 2) || t[13] != ':' || !is_digits(t + 14, 2) || t[16] != ':' ||
      !is_digits(t + 17, 2))
    return 0;
  return len == 19 || (t[19] == '.' && is_digits(t + 20, (int)len - 20));
}

void tav_filter__get_time_of_sync(QK_context *ctx, const QK_vhash *filter_base, const char **pszTime) {
  QK_variant *member = NULL;
  QK_ARG_NOT_NULL(ctx, filter_base);
  QK_ARG_NOT_NULL(ctx, pszTime);
  *pszTime = NULL;
  QK_TRY(ctx, QK_vhash__check__variant(ctx, filter_base, "", &member));
  if (member == NULL) goto done;
  if (member->type != QK_VARIANT_TYPE_SZ || !is_server_datetime_text(member->u.psz))
    QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, TIME_OF_SYNC_REFUSED);
  *pszTime = member->u.psz;
done:;
}

/* Replaces every occurrence of a macro. */
static void replace_all(QK_context *ctx, QK_string *text, const char *macro, const char *replacement) {
  QK_TRY(ctx, QK_string__replace_bytes(ctx, text, macro, (QK_uint32)strlen(macro), replacement,
                                       (QK_uint32)strlen(replacement), 0xFFFFFFFFu, 1, NULL));
done:;
}

/* The time-of-sync replacement; the text comes from the client, so it must be the server's
 * date-time form before it goes between quotes, and quotes are doubled besides. */
static void time_of_sync_sql(QK_context *ctx, const char *time_of_sync, char **pszSql) {
  char *doubled = NULL;
  if (!is_server_datetime_text(time_of_sync)) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, TIME_OF_SYNC_REFUSED);
  QK_TRY(ctx, QK_sz__double_single_quotes(ctx, time_of_sync, &doubled));
  QK_TRY(ctx, QK_string__format_to_sz(ctx, pszSql, TIME_OF_SYNC_SQL, doubled ? doubled : time_of_sync));
done:
  QK_free(ctx, doubled);
}

void tav_filter__get_where(QK_context *ctx, const tav_filter *filter, int write_blocking_only, const char *tbl_id,
                           const char *time_of_sync, char **pszRaw, char **pszWhere) {
  QK_vhash *rule = NULL;
  QK_string *text = NULL;
  const char *clause = NULL;
  char *raw = NULL, *time_sql = NULL, *doubled_name = NULL;
  QK_ARG_NOT_NULL(ctx, pszWhere);
  QK_TRY(ctx, table_rule(ctx, filter, tbl_id, &rule));
  if (rule != NULL) QK_TRY(ctx, QK_vhash__check__sz(ctx, rule, "where", &clause));
  if (clause == NULL) goto done;
  if (write_blocking_only && strstr(clause, TAV_FILTER_MACRO_WRITE_BLOCKING) == NULL) goto done;
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &text, clause));
  QK_TRY(ctx, replace_all(ctx, text, TAV_FILTER_MACRO_WRITE_BLOCKING, ""));
  if (pszRaw != NULL) QK_TRY(ctx, QK_strdup(ctx, QK_string__sz(text), &raw));
  QK_TRY(ctx, replace_all(ctx, text, TAV_FILTER_MACRO_DYNAMIC, ""));
  if (time_of_sync != NULL && strstr(QK_string__sz(text), TAV_FILTER_MACRO_TIME_OF_SYNC) != NULL) {
    QK_TRY(ctx, time_of_sync_sql(ctx, time_of_sync, &time_sql));
    QK_TRY(ctx, replace_all(ctx, text, TAV_FILTER_MACRO_TIME_OF_SYNC, time_sql));
  }
  /* The user name goes in last, so nothing in it is ever taken for a macro. */
  if (filter->user_name != NULL && strstr(QK_string__sz(text), TAV_FILTER_MACRO_USER_NAME) != NULL) {
    QK_TRY(ctx, QK_sz__double_single_quotes(ctx, filter->user_name, &doubled_name));
    QK_TRY(ctx, replace_all(ctx, text, TAV_FILTER_MACRO_USER_NAME, doubled_name ? doubled_name : filter->user_name));
  }
  QK_TRY(ctx, QK_string__free_keep_sz(ctx, &text, pszWhere, NULL));
  if (pszRaw != NULL) {
    *pszRaw = raw;
    raw = NULL;
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, text));
  QK_free(ctx, raw);
  QK_free(ctx, time_sql);
  QK_free(ctx, doubled_name);
}

/* 1 when a table that is not excluded has a where-clause holding macro (and, with
 * write_blocking_only, the write-blocking macro too). Tables are walked in JSON order. */
static void any_clause_holds(QK_context *ctx, const tav_filter *filter, const char *macro, int write_blocking_only,
                             int *pbResult) {
  QK_vhash *tables = NULL;
  QK_uint32 count = 0;
  *pbResult = 0;
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, filter->definition, "tbls", &tables));
  if (tables != NULL) QK_TRY(ctx, QK_vhash__count(ctx, tables, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *rule = NULL;
    const char *clause = NULL;
    int excluded = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, tables, i, NULL, &rule));
    QK_TRY(ctx, QK_vhash__check__bool(ctx, rule, "exclude", &excluded));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, rule, "where", &clause));
    if (excluded || clause == NULL || strstr(clause, macro) == NULL) continue;
    if (write_blocking_only && strstr(clause, TAV_FILTER_MACRO_WRITE_BLOCKING) == NULL) continue;
    *pbResult = 1;
    break;
  }
done:;
}

void tav_filter__has_write_blocking(QK_context *ctx, const tav_filter *filter, int *pbResult) {
  QK_ARG_NOT_NULL(ctx, pbResult);
  *pbResult = 0;
  if (filter != NULL) QK_TRY(ctx, any_clause_holds(ctx, filter, TAV_FILTER_MACRO_WRITE_BLOCKING, 0, pbResult));
done:;
}

void tav_filter__has_time_of_sync(QK_context *ctx, const tav_filter *filter, int write_blocking_only,
                                  int *pbResult) {
  QK_ARG_NOT_NULL(ctx, filter);
  QK_ARG_NOT_NULL(ctx, pbResult);
  QK_TRY(ctx, any_clause_holds(ctx, filter, TAV_FILTER_MACRO_TIME_OF_SYNC, write_blocking_only, pbResult));
done:;
}

void tav_filter__excluded_column_defaults(QK_context *ctx, const tav_filter *filter, tav_defin *psk,
                                          const char *tbl_id, int unprep_only, const QK_vhash *skip,
                                          QK_string **ppColumns, QK_string **ppDefaults) {
  QK_vhash *rule = NULL, *columns = NULL;
  QK_string *names = NULL, *defaults = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, ppColumns);
  QK_ARG_NOT_NULL(ctx, ppDefaults);
  QK_TRY(ctx, table_rule(ctx, filter, tbl_id, &rule));
  if (rule != NULL) QK_TRY(ctx, QK_vhash__check__vhash(ctx, rule, "cols", &columns));
  if (columns != NULL) QK_TRY(ctx, QK_vhash__count(ctx, columns, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *col_id = NULL, *defval = NULL, *name = NULL;
    QK_vhash *column = NULL;
    int excluded = 0, unprepared = 0, skipped = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, columns, i, &col_id, &column));
    if (unprep_only) {
      QK_TRY(ctx, tav_defin__is_unprep_column(ctx, psk, tbl_id, col_id, &unprepared));
      if (!unprepared) continue;
    }
    QK_TRY(ctx, QK_vhash__check__bool(ctx, column, "exclude", &excluded));
    if (!excluded) continue;
    QK_TRY(ctx, QK_vhash__check__sz(ctx, column, "defval", &defval));
    if (defval == NULL) continue;
    QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, tbl_id, col_id, &name));
    if (skip != NULL) QK_TRY(ctx, QK_vhash__has(ctx, skip, name, &skipped));
    if (skipped) continue;
    if (names == NULL) {
      QK_TRY(ctx, QK_string__alloc(ctx, &names));
      QK_TRY(ctx, QK_string__alloc(ctx, &defaults));
    }
    QK_TRY(ctx, QK_string__append__sz(ctx, names, ","));
    QK_TRY(ctx, tav_sql__append_bracketed_name(ctx, names, name));
    QK_TRY(ctx, QK_string__append__format(ctx, defaults, ",(%s)", defval));
  }
  *ppColumns = names;
  *ppDefaults = defaults;
  names = defaults = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, names));
  QK_RELEASE(ctx, QK_string__free(ctx, defaults));
}

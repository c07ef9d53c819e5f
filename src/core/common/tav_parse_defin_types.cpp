/* Logical column types: SQLite affinities, declared types and constraint checks. */
#include "common/tav_parse_defin_types.h"

#include <string.h>

#include "common/tav_sql_quote.h"

typedef struct {
  const char *szName;
  const char *szAffinity;
  int bChecks;
} type_entry;

static const type_entry g_types[] = {
    {"identity", "integer primary key", 0},
    {"sint64", "int", 1},
    {"sint32", "int", 1},
    {"sint16", "int", 1},
    {"uint8", "int", 1},
    {"uint1", "int", 1},
    {"decimal", "int", 1},
    {"money8", "int", 1},
    {"money4", "int", 1},
    {"loose/int", "int", 0},
    {"real8", "real", 1},
    {"real4", "real", 1},
    {"loose/real", "real", 0},
    {"date", "text", 1},
    {"time", "text", 1},
    {"datetime", "text", 1},
    {"text", "text", 1},
    {"loose/text", "text", 0},
    {"blob", "blob", 1},
    {"guid", "blob", 1},
    {"loose/blob", "blob", 0},
    {"host", "", 1},
};

static const type_entry *find_type(const char *szType) {
  if (szType == NULL) return NULL;
  for (const type_entry &t : g_types)
    if (strcmp(t.szName, szType) == 0) return &t;
  return NULL;
}

const char *tav_defin__sqlite_affinity(const char *szType) {
  const type_entry *t = find_type(szType);
  return t ? t->szAffinity : "";
}

const char *tav_defin__sqlite_decl_type(const char *szType) {
  const type_entry *t = find_type(szType);
  if (t == NULL) return "";
  if (strcmp(t->szName, "identity") == 0 || strcmp(t->szAffinity, "int") == 0) return "integer";
  return t->szAffinity;
}

int tav_defin__type_has_checks(const char *szType) {
  const type_entry *t = find_type(szType);
  return t ? t->bChecks : 1;
}

static const char k_range_rule[] =
    "WHEN ( (%s < %d) OR (%s > %d) ) THEN RAISE(ABORT, '[%s] constraint violation: out of range: %s')\n";

static const char k_time_rules[][128] = {
    "WHEN (length(%s)>16) THEN RAISE(ABORT, '[%s] constraint violation: invalid time')",
    "WHEN (substr(%s,3,1)!=':') THEN RAISE(ABORT, '[%s] constraint violation: invalid time')",
    "WHEN (substr(%s,6,1)!=':') THEN RAISE(ABORT, '[%s] constraint violation: invalid time')",
    "WHEN (cast(substr(%s,1,2) as integer)>23) THEN RAISE(ABORT, '[%s] constraint violation: invalid time')",
    "WHEN (cast(substr(%s,4,2) as integer)>59) THEN RAISE(ABORT, '[%s] constraint violation: invalid time')",
    "WHEN (cast(substr(%s,7,2) as integer)>59) THEN RAISE(ABORT, '[%s] constraint violation: invalid time')",
};

/* The strftime formats of the accepted datetime shapes with the exact length of each. */
static const struct {
  const char *szLength;
  const char *szFormat;
} k_datetime_shapes[] = {
    {"= 10", "%Y-%m-%d"},
    {"= 16", "%Y-%m-%d %H:%M"},
    {"= 16", "%Y-%m-%dT%H:%M"},
    {"= 19", "%Y-%m-%d %H:%M:%S"},
    {"= 19", "%Y-%m-%dT%H:%M:%S"},
    {"= 23", "%Y-%m-%d %H:%M:%f"},
    {"= 23", "%Y-%m-%dT%H:%M:%f"},
};

/* The nine-way test of a datetime text (trailing blanks ignored) as one RAISE line. */
static void append_datetime_rule(QK_context *ctx, QK_string *s, const char *x, const char *c) {
  QK_TRY(ctx, QK_string__append__sz(ctx, s, "WHEN (CAST( ("));
  for (size_t i = 0; i < sizeof k_datetime_shapes / sizeof k_datetime_shapes[0]; i++) {
    QK_TRY(ctx, QK_string__append__format(
                    ctx, s, "%s((length(rtrim(%s)) %s) AND (coalesce(strftime('%s', %s), '') = rtrim(%s)))",
                    i ? "OR " : "", x, k_datetime_shapes[i].szLength, k_datetime_shapes[i].szFormat, x, x));
  }
  /* Seconds followed by up to seven fraction digits: only the first 19 characters are
   * compared, since strftime keeps three. */
  QK_TRY(ctx, QK_string__append__format(ctx, s,
                                        "OR ((length(rtrim(%s)) > 23) AND (length(rtrim(%s)) <= 27) AND "
                                        "(coalesce(strftime('%%Y-%%m-%%d %%H:%%M:%%S', %s), '') = "
                                        "substr(rtrim(%s),1,19)))",
                                        x, x, x, x));
  QK_TRY(ctx, QK_string__append__format(ctx, s,
                                        "OR ((length(rtrim(%s)) > 23) AND (length(rtrim(%s)) <= 27) AND "
                                        "(coalesce(strftime('%%Y-%%m-%%dT%%H:%%M:%%S', %s), '') = "
                                        "substr(rtrim(%s),1,19)))",
                                        x, x, x, x));
  QK_TRY(ctx, QK_string__append__format(
                  ctx, s, ") AS integer) = 0) THEN RAISE(ABORT, '[%s] constraint violation: invalid datetime')",
                  c));
done:;
}

static void append_time_rules(QK_context *ctx, QK_string *s, const char *x, const char *c) {
  QK_TRY(ctx, QK_string__append__format(
                  ctx, s, "WHEN (length(%s)<8) THEN RAISE(ABORT, '[%s] constraint violation: invalid time')\n", x,
                  c));
  for (const char *szRule : k_time_rules) QK_TRY(ctx, QK_string__append__format(ctx, s, szRule, x, c));
  QK_TRY(ctx, QK_string__append__format(ctx, s,
                                        "WHEN (substr(strftime('%%H:%%M:%%f', %s),1,length(%s)) != substr(%s,1,12)) "
                                        "THEN RAISE(ABORT, '[%s] constraint violation: invalid time')",
                                        x, x, x, c));
done:;
}

/* The rule beyond the type test: ranges, widths, shapes and precision. */
static void append_type_rule(QK_context *ctx, QK_string *s, const char *t, int width, int precision, const char *x,
                             const char *c) {
  if (strcmp(t, "uint8") == 0) {
    QK_TRY(ctx, QK_string__append__format(
                    ctx, s, "WHEN ( (%s < 0) OR (%s > 255) ) THEN RAISE(ABORT, '[%s] constraint violation: out of range: %s')\n",
                    x, x, c, t));
  } else if (strcmp(t, "sint16") == 0) {
    QK_TRY(ctx, QK_string__append__format(ctx, s, k_range_rule, x, -32768, x, 32767, c, t));
  } else if (strcmp(t, "sint32") == 0 || strcmp(t, "money4") == 0) {
    QK_TRY(ctx, QK_string__append__format(ctx, s, k_range_rule, x, (int)-2147483647 - 1, x, 2147483647, c, t));
  } else if (strcmp(t, "uint1") == 0) {
    QK_TRY(ctx, QK_string__append__format(
                    ctx, s, "WHEN ( (%s < 0) OR (%s > 1) ) THEN RAISE(ABORT, '[%s] constraint violation: out of range: %s')\n",
                    x, x, c, t));
  } else if (strcmp(t, "text") == 0 || strcmp(t, "blob") == 0) {
    if (width > 0)
      QK_TRY(ctx, QK_string__append__format(
                      ctx, s, "WHEN ( length(%s) > %d ) THEN RAISE(ABORT, '[%s] constraint violation: width exceeded: %d')\n",
                      x, width, c, width));
  } else if (strcmp(t, "guid") == 0) {
    QK_TRY(ctx, QK_string__append__format(
                    ctx, s,
                    "WHEN ( length(%s) != 16 ) THEN RAISE(ABORT, '[%s] constraint violation: must be 16 bytes (uniqueidentifier)')\n",
                    x, c));
  } else if (strcmp(t, "date") == 0) {
    QK_TRY(ctx, QK_string__append__format(
                    ctx, s,
                    "WHEN ( (length(%s)!=10) OR (date(%s) != %s) OR (date(%s) < date('0001-01-01') ) ) THEN RAISE(ABORT, '[%s] constraint violation: invalid date (YYYY-MM-DD)')\n",
                    x, x, x, x, c));
  } else if (strcmp(t, "time") == 0) {
    QK_TRY(ctx, append_time_rules(ctx, s, x, c));
  } else if (strcmp(t, "datetime") == 0) {
    QK_TRY(ctx, append_datetime_rule(ctx, s, x, c));
  } else if (strcmp(t, "decimal") == 0) {
    /* Without a known precision every value would fail "length > -1"; there is nothing to check. */
    if (precision > 0)
      QK_TRY(ctx, QK_string__append__format(
                      ctx, s,
                      "WHEN ( (length(CAST (abs(%s) AS TEXT)) > %d) ) THEN RAISE(ABORT, '[%s] constraint violation: precision exceeded (%d)')\n",
                      x, precision, c, precision));
  }
done:;
}

void tav_defin__constraint_check_sql(QK_context *ctx, const char *szType, int width, int precision,
                                     const char *szColumn, QK_string **ppOut) {
  QK_string *pOut = NULL;
  QK_string *pValue = NULL;  /* NEW."column" */
  QK_string *pLabel = NULL;  /* the column name as it stands inside the RAISE texts */
  const type_entry *type = NULL;
  const char *x = NULL;
  const char *c = NULL;
  const char *d = NULL;
  QK_ARG_NOT_NULL(ctx, szType);
  QK_ARG_NOT_NULL(ctx, szColumn);
  QK_ARG_NOT_NULL(ctx, ppOut);
  type = find_type(szType);
  if (type == NULL) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "unknown column type '%s'", szType);
  d = tav_defin__sqlite_decl_type(szType);

  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pValue, "NEW."));
  QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pValue, szColumn));
  QK_TRY(ctx, QK_string__alloc(ctx, &pLabel));
  QK_TRY(ctx, tav_sql__append_literal_body(ctx, pLabel, szColumn));
  x = QK_string__sz(pValue);
  c = QK_string__sz(pLabel);

  QK_TRY(ctx, QK_string__alloc__format(ctx, &pOut, "-- %s\nSELECT CASE\n", szType));
  QK_TRY(ctx, QK_string__append__format(ctx, pOut, "WHEN (%s IS NULL) THEN 1\n", x));
  /* A type without a declared type ("host") has nothing a typeof() test could match. */
  if (type->bChecks && d[0] != '\0') {
    if (strcmp(d, "real") == 0)
      QK_TRY(ctx, QK_string__append__format(
                      ctx, pOut,
                      "WHEN ( (typeof(%s)!='real') AND ( (typeof(%s)!='integer') OR (%s!=CAST(%s AS real)) ) ) THEN RAISE(ABORT, '[%s] constraint violation: type mismatch: %s(%s)')\n",
                      x, x, x, x, c, szType, d));
    else
      QK_TRY(ctx, QK_string__append__format(
                      ctx, pOut,
                      "WHEN (typeof(%s)!='%s') THEN RAISE(ABORT, '[%s] constraint violation: type mismatch: %s(%s)')\n",
                      x, d, c, szType, d));
    QK_TRY(ctx, append_type_rule(ctx, pOut, szType, width, precision, x, c));
  }
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "ELSE 1\nEND"));
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
  QK_RELEASE(ctx, QK_string__free(ctx, pValue));
  QK_RELEASE(ctx, QK_string__free(ctx, pLabel));
}

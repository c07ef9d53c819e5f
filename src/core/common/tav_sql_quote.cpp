/* Quoted names and literal bodies for SQL texts. */
#include "common/tav_sql_quote.h"

#include <string.h>

/* Appends text, writing each occurrence of the quote character twice. */
static void append_doubling(QK_context *ctx, QK_string *pStr, const char *szText, char quote) {
  const char *p = szText;
  QK_ARG_NOT_NULL(ctx, pStr);
  QK_ARG_NOT_NULL(ctx, szText);
  for (;;) {
    const char *q = strchr(p, quote);
    if (q == NULL) break;
    QK_TRY(ctx, QK_string__append__buflen(ctx, pStr, p, (QK_uint32)(q - p + 1)));
    QK_TRY(ctx, QK_string__append__buflen(ctx, pStr, &quote, 1));
    p = q + 1;
  }
  QK_TRY(ctx, QK_string__append__sz(ctx, pStr, p));
done:;
}

/* Appends the name between the two quote characters, doubling the closing one inside. */
static void append_enclosed(QK_context *ctx, QK_string *pStr, const char *szName, char open, char close) {
  QK_ARG_NOT_NULL(ctx, szName);
  QK_TRY(ctx, QK_string__append__buflen(ctx, pStr, &open, 1));
  QK_TRY(ctx, append_doubling(ctx, pStr, szName, close));
  QK_TRY(ctx, QK_string__append__buflen(ctx, pStr, &close, 1));
done:;
}

void tav_sql__append_quoted_name(QK_context *ctx, QK_string *pStr, const char *szName) {
  QK_TRY(ctx, append_enclosed(ctx, pStr, szName, '"', '"'));
done:;
}

void tav_sql__append_bracketed_name(QK_context *ctx, QK_string *pStr, const char *szName) {
  QK_TRY(ctx, append_enclosed(ctx, pStr, szName, '[', ']'));
done:;
}

void tav_sql__append_literal_body(QK_context *ctx, QK_string *pStr, const char *szText) {
  QK_TRY(ctx, append_doubling(ctx, pStr, szText, '\''));
done:;
}

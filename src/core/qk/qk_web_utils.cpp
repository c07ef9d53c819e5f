/* HTML escaping. */
#include "qk/qk_web_utils.h"

#include <string.h>

void QK_html__escape(QK_context *ctx, const char *raw, QK_string *encoded) {
  size_t len;
  QK_ARG_NOT_NULL(ctx, raw);
  QK_ARG_NOT_NULL(ctx, encoded);
  QK_TRY(ctx, QK_string__clear(ctx, encoded));
  len = strlen(raw);
  if (len > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_string__make_room(ctx, encoded, (QK_uint32)len));
  for (const char *p = raw; *p;) {
    /* Copy the run of bytes that need no escape in one step. */
    size_t run = strcspn(p, "\"&<>");
    const char *szEntity = NULL;
    QK_TRY(ctx, QK_string__append__buflen(ctx, encoded, p, (QK_uint32)run));
    p += run;
    switch (*p) {
      case '"': szEntity = "&quot;"; break;
      case '&': szEntity = "&amp;"; break;
      case '<': szEntity = "&lt;"; break;
      case '>': szEntity = "&gt;"; break;
      default: goto done;
    }
    QK_TRY(ctx, QK_string__append__sz(ctx, encoded, szEntity));
    p++;
  }
done:;
}

/* HTML escaping of texts from requests before they go back into messages. */
#ifndef QK_WEB_UTILS_H
#define QK_WEB_UTILS_H

#include "qk/qk_context.h"
#include "qk/qk_string.h"

/* Replaces encoded's content by raw with " & < > escaped (the single quote stays). */
void QK_html__escape(QK_context *ctx, const char *raw, QK_string *encoded);

#endif

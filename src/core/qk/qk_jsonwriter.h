/* QK_jsonwriter: a streaming JSON writer appending to a QK_string, compact or pretty (tabs,
 * " : " between name and value). Callers open containers, write members or elements and
 * close them; misuse raises 44. Integers held in variants are written bare only within the
 * signed 32-bit range, otherwise as a string of their digits. */
#ifndef QK_JSONWRITER_H
#define QK_JSONWRITER_H

#include "qk/qk_context.h"
#include "qk/qk_variant.h"

struct QK_string;

#define QK_JSONWRITER_OBJECT 1
#define QK_JSONWRITER_ARRAY 2

typedef struct QK_jsonwriter_level {
  QK_uint32 kind;  /* QK_JSONWRITER_OBJECT or QK_JSONWRITER_ARRAY */
  QK_uint32 count; /* members or elements written so far */
} QK_jsonwriter_level;

typedef struct QK_jsonwriter {
  int bPretty;
  struct QK_string *pDest; /* not owned */
  QK_jsonwriter_level *levels; /* open containers, outermost first; depth = index + 1 */
  QK_uint32 depth;
  QK_uint32 capacity;
} QK_jsonwriter;

void QK_jsonwriter__alloc(QK_context *ctx, QK_jsonwriter **ppNew, struct QK_string *pDest);
void QK_jsonwriter__alloc__pretty(QK_context *ctx, QK_jsonwriter **ppNew, struct QK_string *pDest);
/* Frees the writer, not the string; NULL is accepted. */
void QK_jsonwriter__free(QK_context *ctx, QK_jsonwriter *pjson);

/* Inside an array call QK_jsonwriter__begin_element first; inside an object write the name. */
void QK_jsonwriter__start_object(QK_context *ctx, QK_jsonwriter *pjson);
void QK_jsonwriter__start_array(QK_context *ctx, QK_jsonwriter *pjson);
void QK_jsonwriter__end_object(QK_context *ctx, QK_jsonwriter *pjson);
void QK_jsonwriter__end_array(QK_context *ctx, QK_jsonwriter *pjson);
void QK_jsonwriter__begin_element(QK_context *ctx, QK_jsonwriter *pjson);
void QK_jsonwriter__write_pair_name(QK_context *ctx, QK_jsonwriter *pjson, const char *name);

/* Members of the innermost object. write_pair__int64 is bare whatever its size. */
void QK_jsonwriter__write_pair__null(QK_context *ctx, QK_jsonwriter *pjson, const char *name);
void QK_jsonwriter__write_pair__int64(QK_context *ctx, QK_jsonwriter *pjson, const char *name, QK_int64 value);
void QK_jsonwriter__write_pair__double(QK_context *ctx, QK_jsonwriter *pjson, const char *name, double value);
void QK_jsonwriter__write_pair__string(QK_context *ctx, QK_jsonwriter *pjson, const char *name, const char *value);
/* len bytes of text, NUL characters written as \u0000. */
void QK_jsonwriter__write_pair__text(QK_context *ctx, QK_jsonwriter *pjson, const char *name, const char *value,
                                     QK_uint32 len);
void QK_jsonwriter__write_pair__variant(QK_context *ctx, QK_jsonwriter *pjson, const char *name,
                                        const QK_variant *pv);
void QK_jsonwriter__write_element__variant(QK_context *ctx, QK_jsonwriter *pjson, const QK_variant *pv);

/* Bare values, no name or separator. Doubles: the six-decimal fixed form when it reads back
 * to the same double, else the shortest text that does; NaN and infinities raise 118. */
void QK_jsonwriter__write_variant(QK_context *ctx, QK_jsonwriter *pjson, const QK_variant *pv);
void QK_jsonwriter__write_int64(QK_context *ctx, QK_jsonwriter *pjson, QK_int64 value);
void QK_jsonwriter__write_double(QK_context *ctx, QK_jsonwriter *pjson, double value);
void QK_jsonwriter__write_string(QK_context *ctx, QK_jsonwriter *pjson, const char *text);
void QK_jsonwriter__write_text(QK_context *ctx, QK_jsonwriter *pjson, const char *text, QK_uint32 len);

#endif

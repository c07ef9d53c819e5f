/* QK_variant: the tagged value of the document model (null, integer, double, bool, text,
 * object, array), its equality and its typed readers. */
#ifndef QK_VARIANT_H
#define QK_VARIANT_H

#include "qk/qk_context.h"

struct QK_vhash;
struct QK_varray;

#define QK_VARIANT_TYPE_NULL 0x01
#define QK_VARIANT_TYPE_INT64 0x02
#define QK_VARIANT_TYPE_DOUBLE 0x04
#define QK_VARIANT_TYPE_BOOL 0x08
#define QK_VARIANT_TYPE_SZ 0x10
#define QK_VARIANT_TYPE_VHASH 0x20
#define QK_VARIANT_TYPE_VARRAY 0x40

typedef struct QK_variant {
  union {
    QK_int64 i64;
    double dbl;
    QK_int32 b; /* 0 or 1: every setter normalises */
    char *psz;
    struct QK_vhash *pvh;
    struct QK_varray *pva;
  } u;
  QK_uint16 type;
  QK_uint32 len; /* a text's bytes without the terminating NUL: texts may hold NUL characters */
} QK_variant;

/* "null", "int", "double", "bool", "string", "object", "array" or "unknown". */
const char *QK_variant__type_name(QK_uint16 type);

/* Deep equality; different types are never equal, NaN equals nothing, texts are equal when
 * all their bytes are. */
void QK_variant__equal(QK_context *ctx, const QK_variant *pv1, const QK_variant *pv2, int *pbEqual);

/* Frees a variant allocated on the heap by itself, with its text, vhash or varray; NULL is
 * accepted. Never call it on a slot of a variant pool. */
void QK_variant__free(QK_context *ctx, QK_variant *pv);

/* Typed readers: 48 when the variant does not hold what is asked (the out value untouched).
 * get__int64 also takes a text of a whole decimal number (48 with the type name as message);
 * get__uint64 a non-negative integer or a text of digits. Pointers stay owned by the document. */
void QK_variant__get__bool(QK_context *ctx, const QK_variant *pv, int *pResult);
void QK_variant__get__int64(QK_context *ctx, const QK_variant *pv, QK_int64 *pResult);
void QK_variant__get__uint64(QK_context *ctx, const QK_variant *pv, QK_uint64 *pResult);
void QK_variant__get__sz(QK_context *ctx, const QK_variant *pv, const char **ppsz);
void QK_variant__get__vhash(QK_context *ctx, const QK_variant *pv, struct QK_vhash **ppvh);
void QK_variant__get__varray(QK_context *ctx, const QK_variant *pv, struct QK_varray **ppva);

#endif

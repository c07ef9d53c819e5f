/* Tagged values of the document model. */
#include "qk/qk_variant.h"

#include <string.h>

#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

const char *QK_variant__type_name(QK_uint16 type) {
  switch (type) {
    case QK_VARIANT_TYPE_NULL: return "null";
    case QK_VARIANT_TYPE_INT64: return "int";
    case QK_VARIANT_TYPE_DOUBLE: return "double";
    case QK_VARIANT_TYPE_BOOL: return "bool";
    case QK_VARIANT_TYPE_SZ: return "string";
    case QK_VARIANT_TYPE_VHASH: return "object";
    case QK_VARIANT_TYPE_VARRAY: return "array";
    default: return "unknown";
  }
}

void QK_variant__equal(QK_context *ctx, const QK_variant *pv1, const QK_variant *pv2, int *pbEqual) {
  int bEqual = 0;
  QK_ARG_NOT_NULL(ctx, pv1);
  QK_ARG_NOT_NULL(ctx, pv2);
  QK_ARG_NOT_NULL(ctx, pbEqual);
  if (pv1 == pv2) {
    *pbEqual = 1;
    goto done;
  }
  if (pv1->type == pv2->type) {
    switch (pv1->type) {
      case QK_VARIANT_TYPE_NULL: bEqual = 1; break;
      case QK_VARIANT_TYPE_INT64: bEqual = pv1->u.i64 == pv2->u.i64; break;
      case QK_VARIANT_TYPE_DOUBLE: bEqual = pv1->u.dbl == pv2->u.dbl; break;
      /* Compared as truth values, so a bool set from any nonzero integer equals true. */
      case QK_VARIANT_TYPE_BOOL: bEqual = (pv1->u.b != 0) == (pv2->u.b != 0); break;
      case QK_VARIANT_TYPE_SZ:
        bEqual = pv1->len == pv2->len && memcmp(pv1->u.psz, pv2->u.psz, pv1->len) == 0;
        break;
      case QK_VARIANT_TYPE_VHASH: QK_TRY(ctx, QK_vhash__equal(ctx, pv1->u.pvh, pv2->u.pvh, &bEqual)); break;
      case QK_VARIANT_TYPE_VARRAY: QK_TRY(ctx, QK_varray__equal(ctx, pv1->u.pva, pv2->u.pva, &bEqual)); break;
      default: QK_THROW(ctx, QK_ERR_INVALID_ARGUMENT);
    }
  }
  *pbEqual = bEqual;
done:;
}

void QK_variant__free(QK_context *ctx, QK_variant *pv) {
  if (pv == NULL) return;
  switch (pv->type) {
    case QK_VARIANT_TYPE_SZ: QK_RELEASE(ctx, QK_free(ctx, pv->u.psz)); break;
    case QK_VARIANT_TYPE_VHASH: QK_RELEASE(ctx, QK_vhash__free(ctx, pv->u.pvh)); break;
    case QK_VARIANT_TYPE_VARRAY: QK_RELEASE(ctx, QK_varray__free(ctx, pv->u.pva)); break;
    default: break;
  }
  QK_RELEASE(ctx, QK_free(ctx, pv));
}

void QK_variant__get__bool(QK_context *ctx, const QK_variant *pv, int *pResult) {
  QK_ARG_NOT_NULL(ctx, pv);
  QK_ARG_NOT_NULL(ctx, pResult);
  if (pv->type != QK_VARIANT_TYPE_BOOL) QK_THROW(ctx, QK_ERR_VARIANT_INVALID_TYPE);
  *pResult = pv->u.b != 0;
done:;
}

void QK_variant__get__int64(QK_context *ctx, const QK_variant *pv, QK_int64 *pResult) {
  QK_ARG_NOT_NULL(ctx, pv);
  QK_ARG_NOT_NULL(ctx, pResult);
  if (pv->type == QK_VARIANT_TYPE_INT64) {
    *pResult = pv->u.i64;
  } else if (pv->type == QK_VARIANT_TYPE_SZ) {
    QK_int64__parse(ctx, pResult, pv->u.psz);
    if (QK_context__has_error(ctx)) {
      /* Only the type error is the caller's business, not the parser's own report. */
      QK_context__reset_error(ctx);
      QK_THROW_MSG(ctx, QK_ERR_VARIANT_INVALID_TYPE, QK_variant__type_name(pv->type));
    }
  } else {
    QK_THROW_MSG(ctx, QK_ERR_VARIANT_INVALID_TYPE, QK_variant__type_name(pv->type));
  }
done:;
}

void QK_variant__get__uint64(QK_context *ctx, const QK_variant *pv, QK_uint64 *pResult) {
  QK_ARG_NOT_NULL(ctx, pv);
  QK_ARG_NOT_NULL(ctx, pResult);
  if (pv->type == QK_VARIANT_TYPE_INT64 && pv->u.i64 >= 0) {
    *pResult = (QK_uint64)pv->u.i64;
  } else if (pv->type == QK_VARIANT_TYPE_SZ) {
    QK_uint64__parse(ctx, pResult, pv->u.psz);
    if (QK_context__has_error(ctx)) {
      QK_context__reset_error(ctx);
      QK_THROW(ctx, QK_ERR_VARIANT_INVALID_TYPE);
    }
  } else {
    QK_THROW(ctx, QK_ERR_VARIANT_INVALID_TYPE);
  }
done:;
}

void QK_variant__get__sz(QK_context *ctx, const QK_variant *pv, const char **ppsz) {
  QK_ARG_NOT_NULL(ctx, pv);
  QK_ARG_NOT_NULL(ctx, ppsz);
  if (pv->type != QK_VARIANT_TYPE_SZ) QK_THROW(ctx, QK_ERR_VARIANT_INVALID_TYPE);
  *ppsz = pv->u.psz;
done:;
}

void QK_variant__get__vhash(QK_context *ctx, const QK_variant *pv, QK_vhash **ppvh) {
  QK_ARG_NOT_NULL(ctx, pv);
  QK_ARG_NOT_NULL(ctx, ppvh);
  if (pv->type != QK_VARIANT_TYPE_VHASH) QK_THROW(ctx, QK_ERR_VARIANT_INVALID_TYPE);
  *ppvh = pv->u.pvh;
done:;
}

void QK_variant__get__varray(QK_context *ctx, const QK_variant *pv, QK_varray **ppva) {
  QK_ARG_NOT_NULL(ctx, pv);
  QK_ARG_NOT_NULL(ctx, ppva);
  if (pv->type != QK_VARIANT_TYPE_VARRAY) QK_THROW(ctx, QK_ERR_VARIANT_INVALID_TYPE);
  *ppva = pv->u.pva;
done:;
}

/* Base64, whole-file zlib compression, the context-carrying sort, sleep, integer tests and
 * the connection-string edit. */
#include "qk/qk_misc_utils.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

#include "qk/qk_file.h"
#include "qk/qk_fsobj.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"

/* ---- Base64 ---------------------------------------------------------------------------- */

static const char k_base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* Where the encoder stands within a group of three input bytes. */
typedef struct QK_base64_state {
  int step;          /* bytes of the current group seen: 0, 1 or 2 */
  QK_uint8 pending;  /* bits of the current group not yet written, low-aligned */
} QK_base64_state;

static char *QK_base64__encode_block(QK_base64_state *st, const QK_uint8 *p, QK_uint32 len, char *out) {
  for (QK_uint32 i = 0; i < len; i++) {
    QK_uint8 b = p[i];
    switch (st->step) {
      case 0:
        *out++ = k_base64_alphabet[b >> 2];
        st->pending = (QK_uint8)(b & 0x03);
        st->step = 1;
        break;
      case 1:
        *out++ = k_base64_alphabet[(st->pending << 4) | (b >> 4)];
        st->pending = (QK_uint8)(b & 0x0F);
        st->step = 2;
        break;
      default:
        *out++ = k_base64_alphabet[(st->pending << 2) | (b >> 6)];
        *out++ = k_base64_alphabet[b & 0x3F];
        st->step = 0;
        break;
    }
  }
  return out;
}

static char *QK_base64__encode_finish(QK_base64_state *st, char *out) {
  if (st->step == 1) {
    *out++ = k_base64_alphabet[st->pending << 4];
    *out++ = '=';
    *out++ = '=';
  } else if (st->step == 2) {
    *out++ = k_base64_alphabet[st->pending << 2];
    *out++ = '=';
  }
  *out = '\0';
  st->step = 0;
  return out;
}

void QK_base64__encode(QK_context *ctx, const void *p_binary, QK_uint32 len, char *pBuf, QK_uint32 lenBuf) {
  QK_base64_state st = {0, 0};
  QK_ARG_NOT_NULL(ctx, p_binary);
  QK_ARG_NOT_NULL(ctx, pBuf);
  /* In 64 bits: for inputs near 4 GiB the 32-bit size would wrap to a small number. */
  if ((QK_uint64)lenBuf < ((QK_uint64)len + 2) / 3 * 4 + 1) QK_THROW(ctx, QK_ERR_BUFFER_TOO_SMALL);
  QK_base64__encode_finish(&st, QK_base64__encode_block(&st, (const QK_uint8 *)p_binary, len, pBuf));
done:;
}

/* ---- zlib files ------------------------------------------------------------------------ */

/* One 32 KiB working buffer: the first half takes input, the second output. */
#define QK_ZLIB_CHUNK 16384u

/* The only place that knows zlib's return codes: they become domain-0x40 errors. */
static QK_error zlib_error(int ret) { return QK_ERROR_MAKE(QK_ERR_DOMAIN_ZLIB, ret); }

static void deflate_chunk(QK_context *ctx, z_stream *zs, int flush, QK_uint8 *pOut, QK_file *pDst, int *pRet) {
  int ret;
  QK_uint32 produced;
  zs->next_out = pOut;
  zs->avail_out = QK_ZLIB_CHUNK;
  ret = deflate(zs, flush);
  if (ret != Z_OK && !(flush == Z_FINISH && ret == Z_STREAM_END)) QK_THROW(ctx, zlib_error(ret));
  produced = QK_ZLIB_CHUNK - zs->avail_out;
  if (produced > 0) QK_TRY(ctx, QK_file__write(ctx, pDst, produced, pOut, NULL));
  *pRet = ret;
done:;
}

void QK_file__compress(QK_context *ctx, const char *pszSrc, const char *pszDst) {
  QK_uint8 *pBuf = NULL;
  QK_file *pSrc = NULL, *pDst = NULL;
  z_stream zs;
  int zlibReady = 0, ret = Z_OK;
  QK_uint64 length = 0, processed = 0;
  memset(&zs, 0, sizeof zs);
  QK_ARG_NOT_NULL(ctx, pszSrc);
  QK_ARG_NOT_NULL(ctx, pszDst);
  QK_TRY(ctx, QK_malloc(ctx, 2 * QK_ZLIB_CHUNK, &pBuf));
  ret = deflateInit(&zs, Z_DEFAULT_COMPRESSION);
  if (ret != Z_OK) QK_THROW(ctx, zlib_error(ret));
  zlibReady = 1;
  QK_TRY(ctx, QK_fsobj__length(ctx, pszSrc, &length, NULL));
  QK_TRY(ctx, QK_file__open(ctx, pszSrc, QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &pSrc));
  QK_TRY(ctx, QK_file__open(ctx, pszDst, QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0644, &pDst));
  while (processed < length) {
    QK_uint64 remaining = length - processed;
    QK_uint32 got = 0;
    QK_TRY(ctx, QK_file__read(ctx, pSrc, remaining < QK_ZLIB_CHUNK ? (QK_uint32)remaining : QK_ZLIB_CHUNK, pBuf, &got));
    processed += got;
    zs.next_in = pBuf;
    zs.avail_in = got;
    do QK_TRY(ctx, deflate_chunk(ctx, &zs, Z_NO_FLUSH, pBuf + QK_ZLIB_CHUNK, pDst, &ret));
    while (zs.avail_in > 0);
  }
  do QK_TRY(ctx, deflate_chunk(ctx, &zs, Z_FINISH, pBuf + QK_ZLIB_CHUNK, pDst, &ret));
  while (ret != Z_STREAM_END);
  QK_TRY(ctx, QK_file__close(ctx, &pSrc));
  QK_TRY(ctx, QK_file__close(ctx, &pDst));
done:
  if (zlibReady) deflateEnd(&zs);
  QK_RELEASE(ctx, QK_file__close(ctx, &pSrc));
  QK_RELEASE(ctx, QK_file__close(ctx, &pDst));
  QK_free(ctx, pBuf);
}

void QK_file__inflate_to_path(QK_context *ctx, QK_file *pSrc, QK_uint64 srcLength, const char *pszDst,
                              QK_uint64 maxOutput) {
  QK_uint8 *pBuf = NULL, *pOut;
  QK_file *pDst = NULL;
  z_stream zs;
  int zlibReady = 0, ret = Z_OK;
  QK_uint64 consumed = 0, written = 0;
  memset(&zs, 0, sizeof zs);
  QK_ARG_NOT_NULL(ctx, pSrc);
  QK_TRY(ctx, QK_malloc(ctx, 2 * QK_ZLIB_CHUNK, &pBuf));
  pOut = pBuf + QK_ZLIB_CHUNK;
  QK_TRY(ctx, QK_file__open(ctx, pszDst, QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0644, &pDst));
  ret = inflateInit(&zs);
  if (ret != Z_OK) QK_THROW(ctx, zlib_error(ret));
  zlibReady = 1;
  for (;;) {
    QK_uint32 produced;
    if (zs.avail_in == 0) {
      /* At the end of a cut stream this asks for 0 bytes, which is End of File. */
      QK_uint64 remaining = srcLength - consumed;
      QK_uint32 got = 0;
      QK_TRY(ctx, QK_file__read(ctx, pSrc, remaining < QK_ZLIB_CHUNK ? (QK_uint32)remaining : QK_ZLIB_CHUNK, pBuf,
                                &got));
      consumed += got;
      zs.next_in = pBuf;
      zs.avail_in = got;
    }
    zs.next_out = pOut;
    zs.avail_out = QK_ZLIB_CHUNK;
    do ret = inflate(&zs, Z_NO_FLUSH);
    while (ret == Z_OK && zs.avail_in > 0 && zs.avail_out > 0);
    if (ret != Z_OK && ret != Z_STREAM_END) QK_THROW(ctx, zlib_error(ret));
    produced = QK_ZLIB_CHUNK - zs.avail_out;
    if (produced > maxOutput - written) {
      QK_uint32 allowed = (QK_uint32)(maxOutput - written);
      if (allowed > 0) QK_TRY(ctx, QK_file__write(ctx, pDst, allowed, pOut, NULL));
      QK_THROW_FMT(ctx, QK_ERR_LIMIT_EXCEEDED, "Decompressed data exceeds the limit of %llu bytes",
                   (unsigned long long)maxOutput);
    }
    if (produced > 0) QK_TRY(ctx, QK_file__write(ctx, pDst, produced, pOut, NULL));
    written += produced;
    if (ret == Z_STREAM_END) break;
  }
  /* Only the tail of the last chunk read may follow the stream. */
  if (consumed != srcLength) QK_THROW(ctx, QK_ERR_INCOMPLETE_WRITE);
  QK_TRY(ctx, QK_file__close(ctx, &pDst));
done:
  if (zlibReady) inflateEnd(&zs);
  QK_RELEASE(ctx, QK_file__close(ctx, &pDst));
  QK_free(ctx, pBuf);
}

void QK_file__decompress(QK_context *ctx, const char *pszSrc, const char *pszDst, QK_uint64 maxOutput) {
  QK_file *pSrc = NULL;
  QK_uint64 length = 0;
  QK_ARG_NOT_NULL(ctx, pszSrc);
  QK_ARG_NOT_NULL(ctx, pszDst);
  QK_TRY(ctx, QK_fsobj__length(ctx, pszSrc, &length, NULL));
  QK_TRY(ctx, QK_file__open(ctx, pszSrc, QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &pSrc));
  QK_TRY(ctx, QK_file__inflate_to_path(ctx, pSrc, length, pszDst, maxOutput));
  QK_TRY(ctx, QK_file__close(ctx, &pSrc));
done:
  QK_RELEASE(ctx, QK_file__close(ctx, &pSrc));
}

/* ---- Sorting, sleeping, integers -------------------------------------------------------- */

typedef struct QK_qsort_closure {
  QK_context *ctx;
  QK_sort_compare_callback pfn;
  void *pContext;
} QK_qsort_closure;

static int QK_qsort__adapter(const void *pA, const void *pB, void *pClosure) {
  const QK_qsort_closure *c = (const QK_qsort_closure *)pClosure;
  /* After the first error no comparison may raise another over it. */
  if (QK_context__has_error(c->ctx)) return 0;
  return c->pfn(c->ctx, pA, pB, c->pContext);
}

void QK_qsort(QK_context *ctx, void *pBase, QK_uint64 count, QK_uint64 size, QK_sort_compare_callback pfn,
              void *pContext) {
  QK_qsort_closure closure = {ctx, pfn, pContext};
  QK_ARG_NOT_NULL(ctx, pfn);
  if (count < 2) goto done;
  QK_ARG_NOT_NULL(ctx, pBase);
  qsort_r(pBase, (size_t)count, (size_t)size, QK_qsort__adapter, &closure);
  QK_CHECK(ctx);
done:;
}

void QK_sleep_ms(int ms) {
  struct timespec left;
  if (ms <= 0) return;
  left.tv_sec = ms / 1000;
  left.tv_nsec = (long)(ms % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int QK_int64__fits_int32(QK_int64 v) { return v == (QK_int64)(QK_int32)v; }

int QK_int64__is_non_negative(QK_int64 v) { return v >= 0; }

/* ---- Connection strings --------------------------------------------------------------- */

#define QK_CONNSTR_DATABASE_KEY "database="
#define QK_CONNSTR_DATABASE_KEY_LEN 9

/* Offset of the first element that starts with "database=" (any case), or -1: the start of
 * the string and the character after each ";" are looked at. */
static long find_database_element(const char *s) {
  const char *cur = s;
  if (QK_strnicmp(cur, QK_CONNSTR_DATABASE_KEY, QK_CONNSTR_DATABASE_KEY_LEN) == 0) return 0;
  while (*cur && (cur = strchr(cur + 1, ';')) != NULL) {
    if (QK_strnicmp(cur + 1, QK_CONNSTR_DATABASE_KEY, QK_CONNSTR_DATABASE_KEY_LEN) == 0) return cur + 1 - s;
  }
  return -1;
}

/* Where the element's value ends, its closing "}" (a braced value reads "}}" as one "}")
 * and one following ";" included. */
static const char *skip_database_value(const char *v) {
  if (*v == '{') {
    for (v++; *v; v++) {
      if (*v != '}') continue;
      if (v[1] == '}') {
        v++;
        continue;
      }
      v++;
      break;
    }
  } else {
    while (*v && *v != ';') v++;
  }
  if (*v == ';') v++;
  return v;
}

void QK_connstr__set_database(QK_context *ctx, const char *pszDatabase, QK_string *pConnStr) {
  QK_string *pNew = NULL;
  const char *s, *rest = "";
  long element;
  if (pszDatabase == NULL || *pszDatabase == '\0') return;
  QK_ARG_NOT_NULL(ctx, pConnStr);
  s = QK_string__sz(pConnStr);
  element = find_database_element(s);
  if (element >= 0) {
    QK_TRY(ctx, QK_string__alloc__buflen(ctx, &pNew, s, (QK_uint32)element));
    rest = skip_database_value(s + element + QK_CONNSTR_DATABASE_KEY_LEN);
  } else {
    QK_TRY(ctx, QK_string__alloc__format(ctx, &pNew, "%s;", s));
  }
  QK_TRY(ctx, QK_string__append__sz(ctx, pNew, "Database={"));
  /* A "}" would end the braced value and let the rest of the name pass as new keywords. */
  for (const char *p = pszDatabase; *p;) {
    size_t run = strcspn(p, "}");
    QK_TRY(ctx, QK_string__append__buflen(ctx, pNew, p, (QK_uint32)run));
    p += run;
    if (*p == '}') {
      QK_TRY(ctx, QK_string__append__sz(ctx, pNew, "}}"));
      p++;
    }
  }
  QK_TRY(ctx, QK_string__append__sz(ctx, pNew, "};"));
  QK_TRY(ctx, QK_string__append__sz(ctx, pNew, rest));
  QK_TRY(ctx, QK_string__clear(ctx, pConnStr));
  QK_TRY(ctx, QK_string__append__string(ctx, pConnStr, pNew));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pNew));
}

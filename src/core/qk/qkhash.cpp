/* SHA-1 (FIPS 180-4) behind a one-entry algorithm table. */
#include "qk/qkhash.h"

#include <string.h>

#include "qk/qk_context.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"

static inline QK_uint32 rol(QK_uint32 x, int n) { return (x << n) | (x >> (32 - n)); }

static inline QK_uint32 load_be32(const QK_uint8 *p) {
  return (QK_uint32)p[0] << 24 | (QK_uint32)p[1] << 16 | (QK_uint32)p[2] << 8 | p[3];
}

static inline void store_be32(QK_uint8 *p, QK_uint32 v) {
  p[0] = (QK_uint8)(v >> 24);
  p[1] = (QK_uint8)(v >> 16);
  p[2] = (QK_uint8)(v >> 8);
  p[3] = (QK_uint8)v;
}

/* The message schedule is kept as a ring of 16 words; each round below 16 loads its word,
 * each later round derives it in place. */
#define SHA1_W(t) (w[(t) & 15] = rol(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t) & 15], 1))
#define SHA1_ROUND(a, b, c, d, e, f, k, wt) \
  do {                                      \
    e += rol(a, 5) + (f) + (k) + (wt);      \
    b = rol(b, 30);                         \
  } while (0)
#define SHA1_F1(b, c, d) (d ^ (b & (c ^ d)))
#define SHA1_F2(b, c, d) (b ^ c ^ d)
#define SHA1_F3(b, c, d) ((b & c) | (d & (b | c)))
#define SHA1_K1 0x5A827999u
#define SHA1_K2 0x6ED9EBA1u
#define SHA1_K3 0x8F1BBCDCu
#define SHA1_K4 0xCA62C1D6u

/* Five rounds rotate the roles of a..e back to where they started. */
#define SHA1_FIVE(t, F, K, W)                      \
  SHA1_ROUND(a, b, c, d, e, F(b, c, d), K, W(t));     \
  SHA1_ROUND(e, a, b, c, d, F(a, b, c), K, W(t + 1)); \
  SHA1_ROUND(d, e, a, b, c, F(e, a, b), K, W(t + 2)); \
  SHA1_ROUND(c, d, e, a, b, F(d, e, a), K, W(t + 3)); \
  SHA1_ROUND(b, c, d, e, a, F(c, d, e), K, W(t + 4))
#define SHA1_LOAD(t) (w[t] = load_be32(pBlock + 4 * (t)))

static void QK_sha1__transform(QK_uint32 h[5], const QK_uint8 *pBlock) {
  QK_uint32 w[16];
  QK_uint32 a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  SHA1_FIVE(0, SHA1_F1, SHA1_K1, SHA1_LOAD);
  SHA1_FIVE(5, SHA1_F1, SHA1_K1, SHA1_LOAD);
  SHA1_FIVE(10, SHA1_F1, SHA1_K1, SHA1_LOAD);
  SHA1_ROUND(a, b, c, d, e, SHA1_F1(b, c, d), SHA1_K1, SHA1_LOAD(15));
  SHA1_ROUND(e, a, b, c, d, SHA1_F1(a, b, c), SHA1_K1, SHA1_W(16));
  SHA1_ROUND(d, e, a, b, c, SHA1_F1(e, a, b), SHA1_K1, SHA1_W(17));
  SHA1_ROUND(c, d, e, a, b, SHA1_F1(d, e, a), SHA1_K1, SHA1_W(18));
  SHA1_ROUND(b, c, d, e, a, SHA1_F1(c, d, e), SHA1_K1, SHA1_W(19));
  SHA1_FIVE(20, SHA1_F2, SHA1_K2, SHA1_W);
  SHA1_FIVE(25, SHA1_F2, SHA1_K2, SHA1_W);
  SHA1_FIVE(30, SHA1_F2, SHA1_K2, SHA1_W);
  SHA1_FIVE(35, SHA1_F2, SHA1_K2, SHA1_W);
  SHA1_FIVE(40, SHA1_F3, SHA1_K3, SHA1_W);
  SHA1_FIVE(45, SHA1_F3, SHA1_K3, SHA1_W);
  SHA1_FIVE(50, SHA1_F3, SHA1_K3, SHA1_W);
  SHA1_FIVE(55, SHA1_F3, SHA1_K3, SHA1_W);
  SHA1_FIVE(60, SHA1_F2, SHA1_K4, SHA1_W);
  SHA1_FIVE(65, SHA1_F2, SHA1_K4, SHA1_W);
  SHA1_FIVE(70, SHA1_F2, SHA1_K4, SHA1_W);
  SHA1_FIVE(75, SHA1_F2, SHA1_K4, SHA1_W);
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

void QK_sha1__init(void *pContext) {
  QK_sha1_ctx *c = (QK_sha1_ctx *)pContext;
  memset(c, 0, sizeof *c);
  c->h[0] = 0x67452301u;
  c->h[1] = 0xEFCDAB89u;
  c->h[2] = 0x98BADCFEu;
  c->h[3] = 0x10325476u;
  c->h[4] = 0xC3D2E1F0u;
}

/* Fills the pending block first; whole blocks of the input are hashed where they lie. */
static void QK_sha1__loop(QK_sha1_ctx *c, const QK_uint8 *p, QK_uint32 len) {
  c->bitCount += (QK_uint64)len * 8;
  if (c->blockUsed > 0) {
    QK_uint32 take = 64u - c->blockUsed;
    if (take > len) take = len;
    memcpy(c->block + c->blockUsed, p, take);
    c->blockUsed = (QK_uint8)(c->blockUsed + take);
    p += take;
    len -= take;
    if (c->blockUsed < 64) return;
    QK_sha1__transform(c->h, c->block);
    c->blockUsed = 0;
  }
  for (; len >= 64; p += 64, len -= 64) QK_sha1__transform(c->h, p);
  memcpy(c->block, p, len);
  c->blockUsed = (QK_uint8)len;
}

void QK_sha1__update(void *pContext, const void *p, QK_uint32 len) {
  QK_sha1__loop((QK_sha1_ctx *)pContext, (const QK_uint8 *)p, len);
}

/* 0x80, zeros up to 56 bytes modulo 64, then the bit count big-endian. */
static void QK_sha1__pad(QK_sha1_ctx *c) {
  QK_uint64 bits = c->bitCount;
  c->block[c->blockUsed++] = 0x80;
  if (c->blockUsed > 56) {
    memset(c->block + c->blockUsed, 0, 64u - c->blockUsed);
    QK_sha1__transform(c->h, c->block);
    c->blockUsed = 0;
  }
  memset(c->block + c->blockUsed, 0, 56u - c->blockUsed);
  store_be32(c->block + 56, (QK_uint32)(bits >> 32));
  store_be32(c->block + 60, (QK_uint32)bits);
  QK_sha1__transform(c->h, c->block);
  c->blockUsed = 0;
}

void QK_sha1__final_hex(void *pContext, char *pBufResult) {
  QK_sha1_ctx *c = (QK_sha1_ctx *)pContext;
  QK_uint8 digest[20];
  QK_sha1__pad(c);
  for (int i = 0; i < 5; i++) store_be32(digest + 4 * i, c->h[i]);
  QK_hex__encode_buflen(pBufResult, digest, sizeof digest);
}

static const QK_hash_algorithm k_hash_algorithms[] = {
    {"SHA1/160", sizeof(QK_sha1_ctx), 40, QK_sha1__init, QK_sha1__update, QK_sha1__final_hex},
};

/* The context sits right behind the handle's header, suitably aligned. */
static_assert(sizeof(QK_hash) % alignof(QK_sha1_ctx) == 0, "hash context alignment");
static void *context_of(QK_hash *pHandle) { return pHandle + 1; }

QK_error QK_hash__begin(QK_hash **ppHandle) {
  const QK_hash_algorithm *pAlgorithm = &k_hash_algorithms[0];
  QK_hash *pHandle = NULL;
  QK_error err;
  if (ppHandle == NULL) return QK_ERR_INVALID_ARGUMENT;
  err = QK_alloc_noctx(1, (QK_uint32)sizeof(QK_hash) + pAlgorithm->contextSize, &pHandle);
  if (QK_ERROR_CODE(err) != 0) return err;
  pHandle->pVTable = pAlgorithm;
  pAlgorithm->init(context_of(pHandle));
  *ppHandle = pHandle;
  return QK_OK;
}

/* The update takes 32-bit lengths: larger inputs go in pieces. */
#define QK_HASH_MAX_PIECE 0x40000000u

QK_error QK_hash__add_bytes(QK_hash *pHandle, const void *p, QK_uint64 len) {
  const QK_uint8 *pBytes = (const QK_uint8 *)p;
  if (pHandle == NULL || (p == NULL && len > 0)) return QK_ERR_INVALID_ARGUMENT;
  while (len > 0) {
    QK_uint32 piece = len < QK_HASH_MAX_PIECE ? (QK_uint32)len : QK_HASH_MAX_PIECE;
    pHandle->pVTable->update(context_of(pHandle), pBytes, piece);
    pBytes += piece;
    len -= piece;
  }
  return QK_OK;
}

QK_error QK_hash__end(QK_hash **ppHandle, char *pBufResult, QK_uint32 lenBuf) {
  QK_hash *pHandle;
  QK_error err = QK_OK;
  if (ppHandle == NULL || *ppHandle == NULL) return QK_ERR_INVALID_ARGUMENT;
  pHandle = *ppHandle;
  *ppHandle = NULL;
  if (pBufResult == NULL || lenBuf < pHandle->pVTable->strlen_Hash + 1)
    err = QK_ERR_INVALID_ARGUMENT;
  else
    pHandle->pVTable->final(context_of(pHandle), pBufResult);
  QK_free_noctx(pHandle);
  return err;
}

void QK_hash__abort(QK_hash **ppHandle) {
  if (ppHandle == NULL) return;
  QK_free_noctx(*ppHandle);
  *ppHandle = NULL;
}

/* Hex text and GUID text. */
#include "qk/qk_hex.h"

#include <string.h>

static const char k_hex_digits[] = "0123456789abcdef";

/* Byte positions of a GUID in the order its text shows them. */
static const QK_uint8 k_guid_text_order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
/* Where each of those bytes' two digits start in the 36-character text. */
static const QK_uint8 k_guid_text_offset[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};

char *QK_hex__encode_buflen(char *buf, const void *pBytes, QK_uint32 len) {
  const QK_uint8 *p = (const QK_uint8 *)pBytes;
  for (QK_uint32 i = 0; i < len; i++) {
    *buf++ = k_hex_digits[p[i] >> 4];
    *buf++ = k_hex_digits[p[i] & 0xF];
  }
  *buf = '\0';
  return buf;
}

char *QK_hex__encode_16(const void *pBytes16, char *buf) {
  QK_hex__encode_buflen(buf, pBytes16, 16);
  return buf;
}

static int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void QK_hex__parse_byte(QK_context *ctx, const char *pc, QK_uint8 *pByte) {
  int hi = nibble(pc[0]), lo = hi < 0 ? -1 : nibble(pc[1]);
  /* Each character is checked as c; one that is no hex digit fails as an invalid argument. */
  if (hi < 0 || lo < 0) QK_ARG_VALID(ctx, c, (0));
  *pByte = (QK_uint8)(hi << 4 | lo);
done:;
}

void QK_hex__decode(QK_context *ctx, const char *szHex, QK_uint32 lenIn, QK_uint8 *pByteBuf, QK_uint32 lenByteBuf,
                    QK_uint32 *pcBytes) {
  QK_uint32 kLimit = lenIn / 2;
  QK_ARG_VALID(ctx, lenIn, (lenIn % 2) == 0);
  QK_ARG_VALID(ctx, lenByteBuf, kLimit <= lenByteBuf);
  for (QK_uint32 i = 0; i < kLimit; i++) QK_TRY(ctx, QK_hex__parse_byte(ctx, szHex + 2 * i, pByteBuf + i));
  if (pcBytes) *pcBytes = kLimit;
done:;
}

void QK_hex__decode_16(QK_context *ctx, const char *szHex, QK_uint8 *pBytes16) {
  QK_ARG_NOT_NULL(ctx, szHex);
  /* The text comes from requests: never read past its end. */
  QK_ARG_VALID(ctx, szHex, strnlen(szHex, 32) == 32);
  QK_TRY(ctx, QK_hex__decode(ctx, szHex, 32, pBytes16, 16, NULL));
done:;
}

char *QK_guid__to_sz(const QK_uint8 *pGuid, char *buf) {
  memset(buf, '-', 36);
  for (int i = 0; i < 16; i++) {
    QK_uint8 b = pGuid[k_guid_text_order[i]];
    buf[k_guid_text_offset[i]] = k_hex_digits[b >> 4];
    buf[k_guid_text_offset[i] + 1] = k_hex_digits[b & 0xF];
  }
  buf[36] = '\0';
  return buf;
}

void QK_guid__from_sz(QK_context *ctx, const char *sz, QK_uint8 *pGuid) {
  QK_uint8 guid[16];
  if (sz == NULL || strnlen(sz, 36) < 36) QK_THROW(ctx, QK_ERR_GID_INVALID);
  for (int i = 0; i < 16; i++) QK_TRY(ctx, QK_hex__parse_byte(ctx, sz + k_guid_text_offset[i], &guid[k_guid_text_order[i]]));
  memcpy(pGuid, guid, sizeof guid);
done:;
}

int QK_guid__is_zero(const QK_uint8 *pGuid) {
  for (int i = 0; i < 16; i++)
    if (pGuid[i] != 0) return 0;
  return 1;
}

void QK_guid__clear(QK_uint8 *pGuid) { memset(pGuid, 0, 16); }

void QK_guid__clear_sz(char *buf) {
  if (buf) memset(buf, 0, QK_GUID_SZ_SIZE);
}

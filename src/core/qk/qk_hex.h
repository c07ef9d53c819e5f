/* Hexadecimal text of byte strings (lowercase out, either case in) and the 36-character
 * text of 16-byte GUIDs in the Windows layout (Data1-3 little-endian, Data4 as is). */
#ifndef QK_HEX_H
#define QK_HEX_H

#include "qk/qk_context.h"

/* A GUID text buffer: 36 characters and the NUL. */
#define QK_GUID_SZ_SIZE 37

/* Writes 2 x len digits and a NUL into buf; returns a pointer to the NUL. */
char *QK_hex__encode_buflen(char *buf, const void *pBytes, QK_uint32 len);
/* 32 digits and a NUL for 16 bytes; returns buf. */
char *QK_hex__encode_16(const void *pBytes16, char *buf);
/* Two hex characters into one byte. */
void QK_hex__parse_byte(QK_context *ctx, const char *pc, QK_uint8 *pByte);
/* lenIn characters (even) into lenIn / 2 bytes; on a bad digit the bytes before it are written. */
void QK_hex__decode(QK_context *ctx, const char *szHex, QK_uint32 lenIn, QK_uint8 *pByteBuf, QK_uint32 lenByteBuf,
                    QK_uint32 *pcBytes);
/* The first 32 characters of szHex (which must hold at least 32) into 16 bytes. */
void QK_hex__decode_16(QK_context *ctx, const char *szHex, QK_uint8 *pBytes16);

/* The 36-character lowercase text of a GUID into buf (QK_GUID_SZ_SIZE bytes); returns buf. */
char *QK_guid__to_sz(const QK_uint8 *pGuid, char *buf);
/* Reads a GUID text (at least 36 characters, else 131); the dash positions are not looked at. */
void QK_guid__from_sz(QK_context *ctx, const char *sz, QK_uint8 *pGuid);
int QK_guid__is_zero(const QK_uint8 *pGuid);
void QK_guid__clear(QK_uint8 *pGuid);
/* Zeroes a whole GUID text buffer; NULL is accepted. */
void QK_guid__clear_sz(char *buf);

#endif

/* Small services with no other home: base64, zlib compression of whole files, a sort that
 * carries the error context into its comparisons, a sleep, two integer tests, and pointing
 * an ODBC connection string at another database. */
#ifndef QK_MISC_UTILS_H
#define QK_MISC_UTILS_H

#include "qk/qk_context.h"

struct QK_string;
struct QK_file;

/* Negative, zero or positive as for qsort. An error raised in ctx ends the comparisons that
 * matter: the sort then finishes in some order and QK_qsort reports the error. */
typedef int (*QK_sort_compare_callback)(QK_context *ctx, const void *pA, const void *pB, void *pContext);

/* Base64 text (RFC 4648, "=" padding, no line breaks) and a NUL into pBuf; a buffer smaller
 * than (len + 2) / 3 * 4 + 1 is 20 with nothing written. */
void QK_base64__encode(QK_context *ctx, const void *p_binary, QK_uint32 len, char *pBuf, QK_uint32 lenBuf);

/* Compresses the file pszSrc into the new file pszDst as a zlib stream (RFC 1950) at the
 * default level. On failure pszDst may stay, partly written, for the caller to delete. */
void QK_file__compress(QK_context *ctx, const char *pszSrc, const char *pszDst);
/* Decompresses the zlib stream in pszSrc into the new file pszDst, which may grow to at
 * most maxOutput bytes: a stream that would give more fails with 16 after exactly maxOutput
 * bytes were written. A corrupt stream is a zlib error (domain 0x40), a cut one 29, a
 * stream that ends before the last 16 KiB of the source 6; bytes after the stream within
 * the last 16 KiB are ignored. On failure pszDst stays for the caller to delete. */
void QK_file__decompress(QK_context *ctx, const char *pszSrc, const char *pszDst, QK_uint64 maxOutput);
/* The work of QK_file__decompress on an open source of srcLength bytes. */
void QK_file__inflate_to_path(QK_context *ctx, struct QK_file *pSrc, QK_uint64 srcLength, const char *pszDst,
                              QK_uint64 maxOutput);

/* Sorts count elements of size bytes in place; each comparison is pfn(ctx, pA, pB, pContext). */
void QK_qsort(QK_context *ctx, void *pBase, QK_uint64 count, QK_uint64 size, QK_sort_compare_callback pfn,
              void *pContext);

/* Suspends the calling thread for ms milliseconds (nothing for ms <= 0). */
void QK_sleep_ms(int ms);

/* 1 when v equals its own 32-bit signed truncation. */
int QK_int64__fits_int32(QK_int64 v);
int QK_int64__is_non_negative(QK_int64 v);

/* Rewrites the connection string in place so that it names pszDatabase ("Database={name};"
 * replacing the first database= element, or appended); a "}" in the name is doubled.
 * A NULL or empty name changes nothing. */
void QK_connstr__set_database(QK_context *ctx, const char *pszDatabase, struct QK_string *pConnStr);

#endif

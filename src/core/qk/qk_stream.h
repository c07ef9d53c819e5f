/* Three stream records over files: a sequential reader, a reader of a file region at any
 * offset, and a sequential writer. Each owns its file; closing the record closes it. */
#ifndef QK_STREAM_H
#define QK_STREAM_H

#include "qk/qk_file.h"

typedef void (*QK_stream_read_fn)(QK_context *ctx, QK_file *pFile, QK_uint32 len, void *pBuf,
                                  QK_uint32 *pGot);
typedef void (*QK_stream_write_fn)(QK_context *ctx, QK_file *pFile, QK_uint32 len, const void *pBuf,
                                   QK_uint32 *pWritten);
typedef void (*QK_stream_seek_fn)(QK_context *ctx, QK_file *pFile, QK_uint64 offset);
typedef void (*QK_stream_close_fn)(QK_context *ctx, QK_file **ppFile);

typedef struct QK_readstream {
  QK_file *pFile;
  QK_stream_read_fn read;
  QK_stream_close_fn close;
  QK_uint64 position; /* bytes delivered so far */
} QK_readstream;

typedef struct QK_seekreader {
  QK_file *pFile;
  QK_uint64 regionStart;
  QK_uint64 regionLength; /* file length minus region start, taken at open */
  QK_stream_read_fn read;
  QK_stream_seek_fn seek;
  QK_stream_close_fn close;
} QK_seekreader;

typedef struct QK_writestream {
  QK_file *pFile;
  QK_stream_write_fn write;
  QK_stream_close_fn close;
  QK_uint64 position; /* bytes written so far */
} QK_writestream;

/* Opens an existing file for sequential reading. */
void QK_readstream__open(QK_context *ctx, const char *pszPath, QK_readstream **ppsr);
/* Up to len bytes; a short read is accepted, nothing left is 29. len 0 reads nothing and
 * reports 0. pGot optional. */
void QK_readstream__read(QK_context *ctx, QK_readstream *psr, QK_uint32 len, void *pBuf, QK_uint32 *pGot);
/* Closes the file (a failing close is not reported) and frees the record (not NULL). */
void QK_readstream__close(QK_context *ctx, QK_readstream *psr);

/* The region from offset to the end of the file; an offset past the end is 55. */
void QK_seekreader__open(QK_context *ctx, const char *pszPath, QK_uint64 offset, QK_seekreader **ppsr);
void QK_seekreader__get_length(QK_context *ctx, const QK_seekreader *psr, QK_uint64 *piLength);
/* Reads len bytes at region start + offset; with pGot a short read is accepted, without it
 * it is 30. Reads are not clamped to the region. */
void QK_seekreader__read_at(QK_context *ctx, QK_seekreader *psr, QK_uint64 offset, QK_uint32 len, void *pBuf,
                            QK_uint32 *pGot);
/* NULL is accepted; a failing close is not reported. */
void QK_seekreader__close(QK_context *ctx, QK_seekreader *psr);

/* Creates a new file (an existing one is an error and stays untouched). */
void QK_writestream__open(QK_context *ctx, const char *pszPath, QK_writestream **ppws);
/* Writes all len bytes or fails (a full disk is its errno, a short write 6); pWritten, when
 * given, gets the count written either way. */
void QK_writestream__write(QK_context *ctx, QK_writestream *pws, QK_uint32 len, const void *pBuf,
                           QK_uint32 *pWritten);
/* Closes the file and frees the record (not NULL); a failing close is reported, since the
 * data written may be lost with it. The record is freed either way. */
void QK_writestream__close(QK_context *ctx, QK_writestream *pws);

/* The close of the readers: closes the file with the error slot set aside. */
void QK_stream__close_file(QK_context *ctx, QK_file **ppFile);

#endif

/* Stream records over QK_file; the file operations are bound into each record at open. */
#include "qk/qk_stream.h"

#include "qk/qk_fsobj.h"
#include "qk/qk_malloc.h"

void QK_stream__close_file(QK_context *ctx, QK_file **ppFile) { QK_RELEASE(ctx, QK_file__close(ctx, ppFile)); }

void QK_readstream__open(QK_context *ctx, const char *pszPath, QK_readstream **ppsr) {
  QK_file *pFile = NULL;
  QK_readstream *psr = NULL;
  QK_ARG_NOT_NULL(ctx, ppsr);
  QK_TRY(ctx, QK_file__open(ctx, pszPath, QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0777, &pFile));
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_readstream), &psr));
  psr->pFile = pFile;
  psr->read = QK_file__read;
  psr->close = QK_stream__close_file;
  psr->position = 0;
  pFile = NULL;
  *ppsr = psr;
done:
  QK_stream__close_file(ctx, &pFile);
}

void QK_readstream__read(QK_context *ctx, QK_readstream *psr, QK_uint32 len, void *pBuf, QK_uint32 *pGot) {
  QK_uint32 got = 0;
  QK_ARG_NOT_NULL(ctx, psr);
  if (len != 0) QK_TRY(ctx, psr->read(ctx, psr->pFile, len, pBuf, &got));
  psr->position += got;
  if (pGot) *pGot = got;
done:;
}

void QK_readstream__close(QK_context *ctx, QK_readstream *psr) {
  psr->close(ctx, &psr->pFile);
  QK_free(ctx, psr);
}

void QK_seekreader__open(QK_context *ctx, const char *pszPath, QK_uint64 offset, QK_seekreader **ppsr) {
  QK_file *pFile = NULL;
  QK_seekreader *psr = NULL;
  QK_uint64 length = 0;
  QK_ARG_NOT_NULL(ctx, ppsr);
  QK_TRY(ctx, QK_fsobj__length(ctx, pszPath, &length, NULL));
  if (offset > length)
    QK_THROW_FMT(ctx, QK_ERR_ARGUMENT_OUT_OF_RANGE, "Offset %llu is past the end of '%s'", (unsigned long long)offset,
                 pszPath);
  QK_TRY(ctx, QK_file__open(ctx, pszPath, QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0777, &pFile));
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_seekreader), &psr));
  psr->pFile = pFile;
  psr->regionStart = offset;
  psr->regionLength = length - offset;
  psr->read = QK_file__read;
  psr->seek = QK_file__seek;
  psr->close = QK_stream__close_file;
  pFile = NULL;
  *ppsr = psr;
done:
  QK_stream__close_file(ctx, &pFile);
}

void QK_seekreader__get_length(QK_context *ctx, const QK_seekreader *psr, QK_uint64 *piLength) {
  QK_ARG_NOT_NULL(ctx, psr);
  QK_ARG_NOT_NULL(ctx, piLength);
  *piLength = psr->regionLength;
done:;
}

void QK_seekreader__read_at(QK_context *ctx, QK_seekreader *psr, QK_uint64 offset, QK_uint32 len, void *pBuf,
                            QK_uint32 *pGot) {
  QK_ARG_NOT_NULL(ctx, psr);
  QK_TRY(ctx, psr->seek(ctx, psr->pFile, psr->regionStart + offset));
  QK_TRY(ctx, psr->read(ctx, psr->pFile, len, pBuf, pGot));
done:;
}

void QK_seekreader__close(QK_context *ctx, QK_seekreader *psr) {
  if (psr == NULL) return;
  psr->close(ctx, &psr->pFile);
  QK_free(ctx, psr);
}

void QK_writestream__open(QK_context *ctx, const char *pszPath, QK_writestream **ppws) {
  QK_file *pFile = NULL;
  QK_writestream *pws = NULL;
  QK_ARG_NOT_NULL(ctx, ppws);
  QK_TRY(ctx, QK_file__open(ctx, pszPath, QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0644, &pFile));
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_writestream), &pws));
  pws->pFile = pFile;
  pws->write = QK_file__write;
  pws->close = QK_file__close;
  pws->position = 0;
  pFile = NULL;
  *ppws = pws;
done:
  QK_stream__close_file(ctx, &pFile);
}

void QK_writestream__write(QK_context *ctx, QK_writestream *pws, QK_uint32 len, const void *pBuf,
                           QK_uint32 *pWritten) {
  QK_uint32 written = 0;
  QK_ARG_NOT_NULL(ctx, pws);
  pws->write(ctx, pws->pFile, len, pBuf, &written);
  pws->position += written;
  if (pWritten) *pWritten = written;
  QK_CHECK(ctx);
  /* A delta cut short by a full disk must never pass for a whole one. */
  if (written < len) QK_THROW(ctx, QK_ERR_INCOMPLETE_WRITE);
done:;
}

void QK_writestream__close(QK_context *ctx, QK_writestream *pws) {
  QK_file *pFile = pws->pFile;
  QK_stream_close_fn close_fn = pws->close;
  QK_free(ctx, pws);
  QK_TRY(ctx, close_fn(ctx, &pFile));
done:;
}

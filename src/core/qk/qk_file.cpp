/* Files over POSIX descriptors. Every transfer loops over partial counts and EINTR, so a
 * short count reaching the caller means end of file or a failed system call. */
#include "qk/qk_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qk/qk_malloc.h"

#define MY_IS_CLOSED(pFile) ((pFile)->fd < 0)
#define QK_FALSE 0
#define QK_FILE_MAX_TRANSFER 0x7fffffffu

/* The open(2) flags of an access, a disposition and their modifiers; a combination that
 * is refused raises 2 before any file is touched. */
static void open_flags_of(QK_context *ctx, QK_uint32 flags_qk, int *pOflags) {
  int oflags = 0;
  switch (flags_qk & 7) {
    case QK_FILE_RDONLY:
      QK_ARG_VALID(ctx, flags_qk, !(flags_qk & QK_FILE_TRUNC));
      oflags = O_RDONLY;
      break;
    case QK_FILE_WRONLY:
      oflags = O_WRONLY;
      break;
    case QK_FILE_RDWR:
      oflags = O_RDWR;
      break;
    default:
      QK_ARG_VALID(ctx, flags_qk, QK_FALSE);
  }
  switch (flags_qk & 0x70) {
    case QK_FILE_OPEN_EXISTING:
      break;
    case QK_FILE_CREATE_NEW:
      QK_ARG_VALID(ctx, flags_qk, !(flags_qk & QK_FILE_TRUNC));
      oflags |= O_CREAT | O_EXCL;
      break;
    case QK_FILE_OPEN_OR_CREATE:
      oflags |= O_CREAT;
      break;
    default:
      QK_ARG_VALID(ctx, flags_qk, QK_FALSE);
  }
  /* Under a lock the truncation waits until the lock is held. */
  if ((flags_qk & QK_FILE_TRUNC) && !(flags_qk & QK_FILE_LOCK)) oflags |= O_TRUNC;
  *pOflags = oflags | O_CLOEXEC;
done:;
}

/* Takes the lock of QK_FILE_LOCK and then performs a truncation the open had to leave. */
static void lock_and_truncate(QK_context *ctx, int fd, QK_uint32 flags_qk, const char *pszPath) {
  int op = ((flags_qk & 7) == QK_FILE_RDONLY ? LOCK_SH : LOCK_EX) | LOCK_NB;
  int rc;
  do rc = flock(fd, op);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EWOULDBLOCK) QK_THROW_FMT(ctx, QK_ERR_FILE_LOCK_FAILED, "%s", pszPath);
    QK_THROW_FMT(ctx, QK_ERROR_FROM_ERRNO(errno), "%s", pszPath);
  }
  if ((flags_qk & QK_FILE_TRUNC) && ftruncate(fd, 0) != 0)
    QK_THROW_FMT(ctx, QK_ERROR_FROM_ERRNO(errno), "%s", pszPath);
done:;
}

void QK_file__open(QK_context *ctx, const char *pszPath, QK_uint32 flags_qk, QK_uint32 mode,
                   QK_file **ppResult) {
  QK_file *pFile = NULL;
  int oflags = 0;
  struct stat st;
  QK_ARG_NOT_NULL(ctx, ppResult);
  QK_ARG_NOT_NULL(ctx, pszPath);
  QK_TRY(ctx, open_flags_of(ctx, flags_qk, &oflags));
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(QK_file), &pFile));
  pFile->fd = -1;
  {
    /* Only the owner-write bit tells normal from read-only files; the umask applies. */
    mode_t create_mode = (mode & 0200) ? 0666 : 0444;
    int fd;
    do fd = open(pszPath, oflags, create_mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) QK_THROW_FMT(ctx, QK_ERROR_FROM_ERRNO(errno), "%s", pszPath);
    pFile->fd = fd;
  }
  /* Directories are not files to read or write. */
  if (fstat(pFile->fd, &st) == 0 && S_ISDIR(st.st_mode))
    QK_THROW_FMT(ctx, QK_ERROR_FROM_ERRNO(EISDIR), "%s", pszPath);
  if (flags_qk & QK_FILE_LOCK) QK_TRY(ctx, lock_and_truncate(ctx, pFile->fd, flags_qk, pszPath));
  *ppResult = pFile;
  pFile = NULL;
done:
  QK_RELEASE(ctx, QK_file__close(ctx, &pFile));
}

void QK_file__read(QK_context *ctx, QK_file *pFile, QK_uint32 iNumBytesWanted, void *pBuf,
                   QK_uint32 *piNumBytesRead) {
  QK_uint32 got = 0;
  QK_ARG_NOT_NULL(ctx, pFile);
  QK_ARG_VALID(ctx, pFile, !MY_IS_CLOSED(pFile));
  if (iNumBytesWanted > QK_FILE_MAX_TRANSFER)
    QK_THROW_MSG(ctx, QK_ERR_INVALID_ARGUMENT,
                 "\"iNumBytesWanted\" is invalid: iNumBytesWanted <= 0x7fffffff is false.");
  while (got < iNumBytesWanted) {
    ssize_t n = read(pFile->fd, (char *)pBuf + got, iNumBytesWanted - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      QK_THROW(ctx, QK_ERROR_FROM_ERRNO(errno));
    }
    if (n == 0) break;
    got += (QK_uint32)n;
  }
  if (got == 0) QK_THROW(ctx, QK_ERR_EOF);
  if (piNumBytesRead)
    *piNumBytesRead = got;
  else if (got < iNumBytesWanted)
    QK_THROW(ctx, QK_ERR_INCOMPLETE_READ);
done:;
}

void QK_file__write(QK_context *ctx, QK_file *pFile, QK_uint32 iNumBytes, const void *pBuf,
                    QK_uint32 *piNumBytesWritten) {
  QK_uint32 done_count = 0;
  QK_ARG_NOT_NULL(ctx, pFile);
  QK_ARG_VALID(ctx, pFile, !MY_IS_CLOSED(pFile));
  if (iNumBytes > QK_FILE_MAX_TRANSFER)
    QK_THROW_MSG(ctx, QK_ERR_INVALID_ARGUMENT, "\"iNumBytes\" is invalid: iNumBytes <= 0x7fffffff is false.");
  while (done_count < iNumBytes) {
    ssize_t n = write(pFile->fd, (const char *)pBuf + done_count, iNumBytes - done_count);
    if (n < 0) {
      if (errno == EINTR) continue;
      QK_THROW(ctx, QK_ERROR_FROM_ERRNO(errno));
    }
    if (n == 0) break;
    done_count += (QK_uint32)n;
  }
  if (piNumBytesWritten == NULL && done_count < iNumBytes) QK_THROW(ctx, QK_ERR_INCOMPLETE_WRITE);
done:
  if (piNumBytesWritten) *piNumBytesWritten = done_count;
}

void QK_file__write__sz(QK_context *ctx, QK_file *pFile, const char *psz) {
  size_t len;
  QK_ARG_NOT_NULL(ctx, psz);
  len = strlen(psz);
  QK_ARG_VALID(ctx, psz, len <= QK_FILE_MAX_TRANSFER);
  QK_TRY(ctx, QK_file__write(ctx, pFile, (QK_uint32)len, psz, NULL));
done:;
}

void QK_file__seek(QK_context *ctx, QK_file *pFile, QK_uint64 offset) {
  QK_ARG_NOT_NULL(ctx, pFile);
  QK_ARG_VALID(ctx, pFile, !MY_IS_CLOSED(pFile));
  if (offset > (QK_uint64)INT64_MAX) QK_THROW(ctx, QK_ERROR_FROM_ERRNO(EINVAL));
  if (lseek(pFile->fd, (off_t)offset, SEEK_SET) < 0) QK_THROW(ctx, QK_ERROR_FROM_ERRNO(errno));
done:;
}

void QK_file__close(QK_context *ctx, QK_file **ppFile) {
  QK_file *pFile;
  int rc = 0, err = 0;
  if (ppFile == NULL || *ppFile == NULL) return;
  pFile = *ppFile;
  /* Linux releases the descriptor even when close fails (EINTR included), so the record is
   * finished either way; closing the number again could hit another thread's new file. */
  if (!MY_IS_CLOSED(pFile)) {
    rc = close(pFile->fd);
    err = errno;
    pFile->fd = -1;
  }
  QK_free(ctx, pFile);
  *ppFile = NULL;
  if (rc != 0) QK_THROW(ctx, QK_ERROR_FROM_ERRNO(err));
done:;
}

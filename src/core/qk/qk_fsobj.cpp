/* Path questions over stat(2), statvfs(2) and unlink(2). */
#include "qk/qk_fsobj.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "qk/qk_misc_utils.h"
#include "qk/qk_string.h"

#define QK_STAT_ATTEMPTS 10
#define QK_STAT_RETRY_MS 10

void QK_fsobj__stat__internal(QK_context *ctx, const char *pPathname, QK_fsobj_stat *pFsStat) {
  struct stat st;
  int attempt = 1;
  QK_ARG_NOT_NULL(ctx, pFsStat);
  while (stat(pPathname, &st) != 0) {
    int err = errno;
    /* Access can be denied for a moment while another process replaces the file. */
    if (err != EACCES || attempt >= QK_STAT_ATTEMPTS)
      QK_THROW_FMT(ctx, QK_ERROR_FROM_ERRNO(err), "Calling stat() on '%s'", pPathname);
    QK_sleep_ms(QK_STAT_RETRY_MS);
    attempt++;
  }
  pFsStat->perms = (st.st_mode & S_IWUSR) ? 0666 : 0444;
  if (S_ISREG(st.st_mode)) {
    pFsStat->type = QK_FSOBJ_TYPE_FILE;
    pFsStat->size = (QK_uint64)st.st_size;
  } else {
    pFsStat->type = S_ISDIR(st.st_mode) ? QK_FSOBJ_TYPE_DIRECTORY : QK_FSOBJ_TYPE_OTHER;
    pFsStat->size = 0;
  }
done:;
}

void QK_fsobj__stat(QK_context *ctx, const char *pPathname, QK_fsobj_stat *pFsObjStat) {
  QK_ARG_NOT_NULL(ctx, pPathname);
  QK_ARG_NOT_NULL(ctx, pFsObjStat);
  QK_TRY(ctx, QK_fsobj__stat__internal(ctx, pPathname, pFsObjStat));
done:;
}

void QK_fsobj__exists(QK_context *ctx, const char *pszPath, int *pbExists, QK_uint32 *pType,
                      QK_uint32 *pPerms) {
  QK_fsobj_stat st;
  QK_error err;
  if (pbExists == NULL) QK_THROW_MSG(ctx, QK_ERR_INVALID_ARGUMENT, "pResult is null");
  QK_fsobj__stat(ctx, pszPath, &st);
  QK_context__get_error(ctx, &err);
  if (err == QK_ERROR_FROM_ERRNO(ENOENT) || err == QK_ERROR_FROM_ERRNO(ENOTDIR)) {
    QK_context__reset_error(ctx);
    *pbExists = 0;
    goto done;
  }
  QK_CHECK(ctx);
  *pbExists = 1;
  if (pType) *pType = st.type;
  if (pPerms) *pPerms = st.perms;
done:;
}

void QK_fsobj__length(QK_context *ctx, const char *pPathname, QK_uint64 *piResult, QK_uint32 *pType) {
  QK_fsobj_stat st;
  QK_ARG_NOT_NULL(ctx, piResult);
  QK_ARG_NOT_NULL(ctx, pPathname);
  QK_TRY(ctx, QK_fsobj__stat(ctx, pPathname, &st));
  if (st.type != QK_FSOBJ_TYPE_FILE) QK_THROW_FMT(ctx, QK_ERR_NOT_A_FILE, "Calling length() on '%s'", pPathname);
  if (pType) *pType = st.type;
  *piResult = st.size;
done:;
}

void QK_fsobj__free_space(QK_context *ctx, const char *pszPath, QK_uint64 *pFree) {
  struct statvfs st;
  QK_ARG_NOT_NULL(ctx, pszPath);
  QK_ARG_NOT_NULL(ctx, pFree);
  if (statvfs(pszPath, &st) != 0)
    QK_THROW_FMT(ctx, QK_ERROR_FROM_ERRNO(errno), "Calling statvfs() on '%s'", pszPath);
  *pFree = (QK_uint64)st.f_bavail * (QK_uint64)st.f_frsize;
done:;
}

void QK_fsobj__remove_file(QK_context *ctx, const char *pszPath) {
  QK_ARG_NOT_NULL(ctx, pszPath);
  if (unlink(pszPath) != 0)
    QK_THROW_FMT(ctx, QK_ERROR_FROM_ERRNO(errno), "Calling DeleteFile() on '%s'", pszPath);
done:;
}

void QK_pathname__append(QK_context *ctx, char **ppszResult, const char *pszDir, const char *pszName) {
  QK_string *pPath = NULL;
  QK_uint8 last = 0;
  QK_ARG_NOT_NULL(ctx, ppszResult);
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &pPath, pszDir));
  QK_TRY(ctx, QK_string__get_byte_from_end(ctx, pPath, 0, &last));
  if (last != '/') QK_TRY(ctx, QK_string__append__sz(ctx, pPath, "/"));
  QK_TRY(ctx, QK_string__append__sz(ctx, pPath, pszName));
  QK_TRY(ctx, QK_string__free_keep_sz(ctx, &pPath, ppszResult, NULL));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pPath));
}

/* Questions about paths (exists, type, length, free space), file removal and path joining. */
#ifndef QK_FSOBJ_H
#define QK_FSOBJ_H

#include "qk/qk_context.h"

/* Types of a file-system object. Anything that is neither a regular file nor a directory
 * (FIFO, device, socket) is QK_FSOBJ_TYPE_OTHER. */
#define QK_FSOBJ_TYPE_OTHER 0u
#define QK_FSOBJ_TYPE_FILE 1u
#define QK_FSOBJ_TYPE_DIRECTORY 3u

typedef struct QK_fsobj_stat {
  QK_uint32 perms; /* 0444 when the owner may not write, else 0666 */
  QK_uint32 type;  /* QK_FSOBJ_TYPE_... */
  QK_uint64 size;  /* bytes of a regular file; 0 for anything else */
} QK_fsobj_stat;

/* Stats a path (symbolic links followed). EACCES is retried for up to 10 attempts 10 ms
 * apart; a failure is its errno with the message "Calling stat() on '<path>'". */
void QK_fsobj__stat(QK_context *ctx, const char *pPathname, QK_fsobj_stat *pFsObjStat);
/* The same without the checks of pPathname. */
void QK_fsobj__stat__internal(QK_context *ctx, const char *pPathname, QK_fsobj_stat *pFsStat);
/* *pbExists 1 with the optional type and permission bits, or 0 when the path or one of its
 * directories is missing (ENOENT, ENOTDIR); any other failure stays an error. */
void QK_fsobj__exists(QK_context *ctx, const char *pszPath, int *pbExists, QK_uint32 *pType,
                      QK_uint32 *pPerms);
/* Size of a regular file; anything else is 11 "Calling length() on '<path>'". */
void QK_fsobj__length(QK_context *ctx, const char *pPathname, QK_uint64 *piResult, QK_uint32 *pType);
/* Bytes a process without privileges may still write on the file system of a path; a failure
 * is its errno with the message "Calling statvfs() on '<path>'". */
void QK_fsobj__free_space(QK_context *ctx, const char *pszPath, QK_uint64 *pFree);
void QK_fsobj__remove_file(QK_context *ctx, const char *pszPath);
/* New heap text (free with QK_free): pszDir, "/" unless it already ends in "/", pszName.
 * An empty or NULL directory is refused. */
void QK_pathname__append(QK_context *ctx, char **ppszResult, const char *pszDir, const char *pszName);

#endif

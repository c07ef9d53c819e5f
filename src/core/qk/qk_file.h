/* QK_file: one open operating-system file with a portable set of open flags. Reads and
 * writes move the system's file position; nothing is buffered in the record. */
#ifndef QK_FILE_H
#define QK_FILE_H

#include "qk/qk_context.h"

/* Access: exactly one of these. */
#define QK_FILE_RDONLY 0x1u
#define QK_FILE_WRONLY 0x2u
#define QK_FILE_RDWR 0x4u
/* Disposition: exactly one of these. */
#define QK_FILE_OPEN_EXISTING 0x10u
#define QK_FILE_CREATE_NEW 0x20u
#define QK_FILE_OPEN_OR_CREATE 0x40u
/* Modifiers. TRUNC is refused with read-only access and with CREATE_NEW. LOCK keeps other
 * LOCK openers out (shared for read-only access, exclusive otherwise); an open that meets a
 * conflicting lock fails with 74 before it truncates anything. */
#define QK_FILE_TRUNC 0x100u
#define QK_FILE_LOCK 0x200u

typedef struct QK_file {
  int fd; /* -1 once closed */
} QK_file;

/* Opens or creates pszPath. Of mode only the owner-write bit (0200) counts: clear, a created
 * file is read-only. System failures are errno values (domain 0) with the path as message. */
void QK_file__open(QK_context *ctx, const char *pszPath, QK_uint32 flags_qk, QK_uint32 mode,
                   QK_file **ppResult);
/* Reads up to iNumBytesWanted bytes (at most 0x7fffffff). Nothing read is 29 (End of File),
 * also for a request of 0 bytes. With piNumBytesRead any positive count is accepted and
 * stored; without it fewer bytes than wanted is 30. */
void QK_file__read(QK_context *ctx, QK_file *pFile, QK_uint32 iNumBytesWanted, void *pBuf,
                   QK_uint32 *piNumBytesRead);
/* Writes iNumBytes bytes (at most 0x7fffffff); a failing system write is its errno even
 * after part of the data went out. piNumBytesWritten, when given, gets the count written;
 * without it a short write is 6. */
void QK_file__write(QK_context *ctx, QK_file *pFile, QK_uint32 iNumBytes, const void *pBuf,
                    QK_uint32 *piNumBytesWritten);
/* Writes the text without its NUL; anything short of all of it is an error. */
void QK_file__write__sz(QK_context *ctx, QK_file *pFile, const char *psz);
/* Sets the position, counted from the start of the file. */
void QK_file__seek(QK_context *ctx, QK_file *pFile, QK_uint64 offset);
/* Closes and frees the record and sets *ppFile to NULL, also when the system close fails
 * (the descriptor is gone either way); that failure is then reported. NULL and *NULL are
 * accepted. */
void QK_file__close(QK_context *ctx, QK_file **ppFile);

#endif

/* The error context: every function of the server takes one first and records
 * its failure in it (64-bit error value per nesting level, message, trace of
 * source:line frames), plus the calling-convention macros all modules share. */
#ifndef QK_CONTEXT_H
#define QK_CONTEXT_H

#include <stdarg.h>

#include "qk/qk_types.h"

struct QK_string;

#define QK_ERR_DOMAIN_ERRNO 0x0ULL
#define QK_ERR_DOMAIN_QKLIB 0x1ULL
#define QK_ERR_DOMAIN_WINDOWS 0x2ULL
#define QK_ERR_DOMAIN_WINDOWS_ALT 0x4ULL
#define QK_ERR_DOMAIN_SQLITE 0x8ULL
#define QK_ERR_DOMAIN_MSSQL 0x10ULL
#define QK_ERR_DOMAIN_ZLIB 0x40ULL

#define QK_ERROR_MAKE(domain, code) ((QK_error)(((QK_uint64)(domain) << 32) + (QK_uint32)(code)))
/* A failed POSIX call: the errno value itself (domain 0), texted by strerror. */
#define QK_ERROR_FROM_ERRNO(e) QK_ERROR_MAKE(QK_ERR_DOMAIN_ERRNO, (e))
#define QK_ERROR_CODE(err) ((QK_uint32)((err) & 0xFFFFFFFFULL))
#define QK_ERROR_DOMAIN(err) ((QK_uint32)(((err) >> 32) & 0xFFFFULL))

/* Success: domain qklib, code 0. Any value whose code is 0 counts as success. */
#define QK_OK QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 0)

/* The library's own codes with their texts (NULL: texted "Error %d (qklib)"). */
#define QK_QKLIB_ERRORS(X)                                                                      \
  X(1, QK_ERR_UNSPECIFIED, "Unspecified error")                                                 \
  X(2, QK_ERR_INVALID_ARGUMENT, "Invalid argument")                                             \
  X(3, QK_ERR_NOT_IMPLEMENTED, "Not implemented")                                               \
  X(4, QK_ERR_UNINITIALIZED, "Uninitialized")                                                   \
  X(5, QK_ERR_MALLOC_FAILED, "Memory allocation failed")                                        \
  X(6, QK_ERR_INCOMPLETE_WRITE, "Incomplete write")                                             \
  X(8, QK_ERR_UNSUPPORTED_SQL_RESULT, "Unsupported SQL result")                                 \
  X(11, QK_ERR_NOT_A_FILE, "Not a file")                                                        \
  X(12, QK_ERR_COLLECTION_FULL, "Collection full")                                              \
  X(15, QK_ERR_PARENT_OF_ROOT, "Cannot get parent directory of root directory")                 \
  X(16, QK_ERR_LIMIT_EXCEEDED, "A fixed limit has been exceeded")                               \
  X(17, QK_ERR_OVERLAPPING_BUFFERS, "Overlapping buffers in memory copy")                       \
  X(20, QK_ERR_BUFFER_TOO_SMALL, "Buffer too small")                                            \
  X(25, QK_ERR_INDEX_OUT_OF_RANGE, "Index out of range")                                        \
  X(27, QK_ERR_UTF8_INVALID, "UTF-8 string invalid")                                            \
  X(29, QK_ERR_EOF, "End of File")                                                              \
  X(30, QK_ERR_INCOMPLETE_READ, "Incomplete read")                                              \
  X(35, QK_ERR_VCDIFF_NO_DATA, NULL)                                                            \
  X(36, QK_ERR_ASSERT, "Assert failed")                                                         \
  X(44, QK_ERR_JSON_NOT_WELL_FORMED, "The JSON is not well-formed")                             \
  X(45, QK_ERR_JSON_SYNTAX, "JSON syntax error in parser")                                      \
  X(46, QK_ERR_VHASH_DUPLICATE_KEY, "The vhash key already exists")                             \
  X(47, QK_ERR_VHASH_KEY_NOT_FOUND, "vhash key could not be found")                             \
  X(48, QK_ERR_VARIANT_INVALID_TYPE, "Invalid variant type")                                    \
  X(49, QK_ERR_NOT_A_DIRECTORY, "A file was found where a directory was expected")              \
  X(50, QK_ERR_VARRAY_INDEX_OUT_OF_RANGE, "Varray index out of bounds")                         \
  X(55, QK_ERR_ARGUMENT_OUT_OF_RANGE, "An argument is outside the valid range")                 \
  X(62, QK_ERR_NOT_FOUND, "The requested object could not be found")                            \
  X(74, QK_ERR_FILE_LOCK_FAILED, "File lock failed")                                            \
  X(77, QK_ERR_UNMAPPABLE_UNICODE_CHAR, "Unmappable unicode character")                         \
  X(78, QK_ERR_ILLEGAL_CHARSET_CHAR, "Illegal charset character")                               \
  X(80, QK_ERR_MSSQL_DUPLICATE_KEY, NULL)                                                       \
  X(81, QK_ERR_MSSQL_CHECK_CONSTRAINT, NULL)                                                    \
  X(82, QK_ERR_MSSQL_FOREIGN_KEY, NULL)                                                         \
  X(83, QK_ERR_MSSQL_CONSTRAINT, NULL)                                                          \
  X(84, QK_ERR_MSSQL_NULL_NOT_ALLOWED, NULL)                                                    \
  X(90, QK_ERR_DEADLOCK_VICTIM, "Deadlock victim")                                              \
  X(91, QK_ERR_BUSY_RETRY, "Busy retry required")                                               \
  X(95, QK_ERR_CHILD_ABNORMAL, "A spawned process terminated abnormally")                       \
  X(104, QK_ERR_INTEGER_OVERFLOW, "Integer overflow")                                           \
  X(106, QK_ERR_ALREADY_INITIALIZED, "Already initialized")                                     \
  X(109, QK_ERR_NOT_ALLOWED, "Not allowed")                                                     \
  X(110, QK_ERR_CTX_HAS_ERROR, "The context object already indicates an error state")           \
  X(111, QK_ERR_CTX_NO_ERROR, "The context object does not indicate an error state")            \
  X(118, QK_ERR_JSON_UNSERIALIZABLE, "Value is of a type that cannot be serialized to JSON")    \
  X(121, QK_ERR_DIR_ALREADY_EXISTS, "Directory already exists")                                 \
  X(122, QK_ERR_PARENT_DIR_MISSING, "A parent directory in the pathname does not exist")        \
  X(131, QK_ERR_GID_INVALID, "Format of GID not valid")                                         \
  X(136, QK_ERR_DATE_PARSE,                                                                     \
    "The date could not be parsed.  Please provide either \"YYYY-MM-DD HH:MM:SS\"\nor "         \
    "\"YYYY-MM-DD\"")                                                                           \
  X(137, QK_ERR_INT_PARSE, "Invalid integer string")                                            \
  X(159, QK_ERR_DIR_NOT_EMPTY, "The directory is not empty")                                    \
  X(194, QK_ERR_NO_RELATIVE_PATH, "Cannot make a relative path using the given pathnames")      \
  X(248, QK_ERR_JSON_WRONG_TYPE, "Wrong type of JSON object")                                   \
  X(251, QK_ERR_CANCELLED, "The operation was cancelled")                                       \
  X(255, QK_ERR_MUTEX, "A mutex operation failed")                                              \
  X(278, QK_ERR_FILE_ALREADY_EXISTS, "File already exists")                                     \
  X(295, QK_ERR_INTERRUPTED, "The process received an interrupt signal")                        \
  X(302, QK_ERR_HOOK_COMPILE, "Hook Compile Exception")                                         \
  X(303, QK_ERR_HOOK, "Hook Exception")                                                         \
  X(304, QK_ERR_CONFLICTS_NOT_RESOLVED,                                                         \
    "Conflicts not resolved within a reasonable number of iterations")                          \
  X(305, QK_ERR_HOOKS_DISABLED, "Cannot execute hook because hooks are not enabled on this server") \
  X(306, QK_ERR_NOT_A_CLONE, "Local dbfile is not a clone of the server dbfile specified")     \
  X(307, QK_ERR_SERVER_ROLLED_BACK,                                                             \
    "Server dbfile has been rolled back to a version earlier than this client's last sync")     \
  X(308, QK_ERR_SQL_TYPE_CONVERSION, "Unable to convert SQL types")                             \
  X(311, QK_ERR_INSERT_OR_REPLACE_CORRUPTION,                                                   \
    "Corruption detected in client databased due to use of INSERT OR REPLACE without PRAGMA "   \
    "recursive_triggers=ON")                                                                    \
  X(312, QK_ERR_SERVER_MISCONFIGURATION, "Tavrin Server Misconfiguration")                     \
  X(500, QK_ERR_VERIFICATION_FAILED, NULL)

/* Each name is the whole 64-bit value (domain qklib), ready to throw or compare. */
enum QK_qklib_error : QK_uint64 {
#define QK_DEFINE_QKLIB_ERROR(code, name, text) name = QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, code),
  QK_QKLIB_ERRORS(QK_DEFINE_QKLIB_ERROR)
#undef QK_DEFINE_QKLIB_ERROR
};

#define QK_CONTEXT_LEVELS 100
#define QK_CONTEXT_MESSAGE_SIZE 8192
#define QK_CONTEXT_TRACE_SIZE 524300
/* Longest trace text; frames stop at 524,282 bytes so the 6-byte marker still fits. */
#define QK_CONTEXT_TRACE_MAX 524288
/* Version text carried in every error report. */
#define QK_VERSION_TEXT "3.4.0.4917"

/* Asked by QK_context__check_cancel; nonzero means "stop the work". */
typedef int (*QK_cancel_callback)(void *pUserData);
/* Told by QK_context__warn of a condition that fails nothing but wants the administrator's
 * attention (the host writes it to the event log). */
typedef void (*QK_warning_callback)(void *pUserData, const char *szText);

typedef struct QK_context {
  QK_uint64 process_id;
  QK_uint32 thread_id;
  /* Nesting depth; levels past 99 all share the last error slot. */
  QK_uint32 level;
  QK_uint32 trace_length;
  QK_error errors[QK_CONTEXT_LEVELS];
  QK_int32 truncated;
  char message[QK_CONTEXT_MESSAGE_SIZE];
  char trace[QK_CONTEXT_TRACE_SIZE];
  void *user_data;
  QK_cancel_callback cancel_callback;
  QK_warning_callback warning_callback;
} QK_context;

/* New zero-filled context (level 0 holding QK_OK); 2 or 5 are returned, not recorded. */
QK_error QK_context__alloc(QK_context **ppNew);
QK_error QK_context__alloc__internal(QK_context **ppNew);
/* Frees the context; NULL is accepted; the user data is not touched. */
void QK_context__free(QK_context *ctx);

/* Raising. The QK_error returned is that of the context's own bookkeeping; callers ignore it. */
QK_error QK_context__throw(QK_context *ctx, QK_error err, const char *szSourcePath, int line);
QK_error QK_context__throw_msg(QK_context *ctx, QK_error err, const char *szSourcePath, int line,
                               const char *szMessage);
QK_error QK_context__add_frame(QK_context *ctx, const char *szSourcePath, int line);
/* printf-style message, cut at 8,191 bytes; only at level 0. */
QK_error QK_context__set_message(QK_context *ctx, const char *szFormat, ...)
    __attribute__((format(printf, 2, 3)));
QK_error QK_context__vset_message(QK_context *ctx, const char *szFormat, va_list args);

/* Inspecting. The getters return 2 for a NULL out-pointer and never touch the error slots. */
QK_error QK_context__get_message(QK_context *ctx, const char **pszMessage);
/* Inline: the calling convention tests it after nearly every call. */
inline int QK_context__has_error(const QK_context *ctx) {
  QK_uint32 slot = ctx->level < QK_CONTEXT_LEVELS - 1 ? ctx->level : QK_CONTEXT_LEVELS - 1;
  return QK_ERROR_CODE(ctx->errors[slot]) != 0;
}
int QK_context__error_equals(const QK_context *ctx, QK_error err);
QK_error QK_context__get_error(const QK_context *ctx, QK_error *pErr);
/* Translates a pending error (message and trace stay); 2 for a success err, 111 when none is pending. */
QK_error QK_context__replace_error(QK_context *ctx, QK_error err, const char *szSourcePath, int line);
/* Clears the current level's error; at level 0 also message, trace and truncation. */
void QK_context__reset_error(QK_context *ctx);

void QK_context__push_level(QK_context *ctx);
void QK_context__pop_level(QK_context *ctx);

void QK_context__set_user_data(QK_context *ctx, void *pUserData);
void QK_context__get_user_data(const QK_context *ctx, void **ppUserData);
void QK_context__set_cancel_callback(QK_context *ctx, QK_cancel_callback callback);
/* Asks the callback (when set); a nonzero answer raises 251 at the current level. */
void QK_context__check_cancel(QK_context *ctx);
void QK_context__set_warning_callback(QK_context *ctx, QK_warning_callback callback);
/* Hands the printf-style text (cut at QK_CONTEXT_MESSAGE_SIZE - 1 bytes) to the warning
 * callback when one is set; the error slots are not touched. */
void QK_context__warn(QK_context *ctx, const char *szFormat, ...) __attribute__((format(printf, 2, 3)));

/* Text of an error value into buf (filled with NULs first); nothing for a NULL buf or length 0. */
void QK_error__to_text(QK_error err, int bDetailed, char *buf, QK_uint32 lenBuf);
/* Strips trailing "\n", "\r", blanks and full stops in place; returns the new length. */
QK_uint32 QK_sz__trim_error_text(char *sz);
/* New string with the report of the current error; *ppOut stays NULL at a nested level. */
QK_error QK_context__error_to_string(QK_context *ctx, int bDetailed, struct QK_string **ppOut);

/* ---- Calling convention -------------------------------------------------------------
 * A function that takes the context ends in one label `done:` that releases what it holds.
 * The macros below jump there on error; each adds the caller's own source:line frame. */

/* Raise err here (no message) and jump to done. */
#define QK_THROW(ctx, err)                                    \
  do {                                                        \
    QK_context__throw((ctx), (err), __FILE__, __LINE__);      \
    goto done;                                                \
  } while (0)

/* Raise err here with a fixed message text and jump to done. */
#define QK_THROW_MSG(ctx, err, szMessage)                                  \
  do {                                                                     \
    QK_context__throw_msg((ctx), (err), __FILE__, __LINE__, (szMessage));  \
    goto done;                                                             \
  } while (0)

/* Raise err here with a printf-style message and jump to done. */
#define QK_THROW_FMT(ctx, err, ...)                           \
  do {                                                        \
    QK_context__throw((ctx), (err), __FILE__, __LINE__);      \
    QK_context__set_message((ctx), __VA_ARGS__);              \
    goto done;                                                \
  } while (0)

/* After a call that took the context: on error add this line's frame and jump to done. */
#define QK_CHECK(ctx)                                         \
  do {                                                        \
    if (QK_context__has_error(ctx)) {                         \
      QK_context__add_frame((ctx), __FILE__, __LINE__);       \
      goto done;                                              \
    }                                                         \
  } while (0)

/* Make a call that takes the context, then QK_CHECK it. */
#define QK_TRY(ctx, call)                                     \
  do {                                                        \
    call;                                                     \
    QK_CHECK(ctx);                                            \
  } while (0)

/* Argument check: raises 2 with "<name> is null". */
#define QK_ARG_NOT_NULL(ctx, param)                                                               \
  do {                                                                                            \
    if ((param) == NULL)                                                                          \
      QK_THROW_MSG((ctx), QK_ERR_INVALID_ARGUMENT, #param " is null");                            \
  } while (0)

/* Argument check: raises 2 with "<name> is invalid: <expr> is false." (expr as written). */
#define QK_ARG_VALID(ctx, param, expr)                                                            \
  do {                                                                                            \
    if (!(expr))                                                                                  \
      QK_THROW_MSG((ctx), QK_ERR_INVALID_ARGUMENT, #param " is invalid: " #expr " is false.");    \
  } while (0)

/* Internal consistency check: raises 500 "Verification failed: <path>:<line> (<expr>)". */
#define QK_VERIFY(ctx, expr)                                                                      \
  do {                                                                                            \
    if (!(expr))                                                                                  \
      QK_THROW_FMT((ctx), QK_ERR_VERIFICATION_FAILED, "Verification failed: %s:%d (%s)",          \
                   QK_sz__trim_source_path(__FILE__), __LINE__, #expr);                           \
  } while (0)

/* Run a release at a pushed level, so its own failure cannot replace the first error. */
#define QK_RELEASE(ctx, call)                                 \
  do {                                                        \
    QK_context__push_level(ctx);                              \
    call;                                                     \
    QK_context__pop_level(ctx);                               \
  } while (0)

/* The part of a source path from its "src" directory on (defined in qk_str_utils). */
const char *QK_sz__trim_source_path(const char *szPath);

#endif

/* The error context: error values per nesting level, message, trace and error reports. */
#include "qk/qk_context.h"

#include <stdio.h>
#include <string.h>

#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_sys.h"

/* Frames stop at this length so that the marker line still fits within the maximum. */
#define QK_TRACE_FRAME_LIMIT (QK_CONTEXT_TRACE_MAX - 6)
#define QK_TRACE_MARKER "\t...\r\n"
#define QK_ERRNO_TEXT_SIZE 1025
#define QK_REPORT_ERROR_TEXT_SIZE 1024

/* Levels beyond the last slot share it, so deep nesting can never index outside the array. */
static QK_uint32 slot_of(const QK_context *ctx) {
  return ctx->level < QK_CONTEXT_LEVELS - 1 ? ctx->level : QK_CONTEXT_LEVELS - 1;
}

QK_error QK_context__alloc__internal(QK_context **ppNew) {
  QK_context *pNew = NULL;
  QK_error err = QK_alloc_noctx(1, sizeof(QK_context), &pNew);
  if (QK_ERROR_CODE(err) != 0) return err;
  pNew->errors[0] = QK_OK;
  QK_process__get_id(pNew, &pNew->process_id);
  QK_thread__get_id(pNew, &pNew->thread_id);
  *ppNew = pNew;
  return QK_OK;
}

QK_error QK_context__alloc(QK_context **ppNew) {
  if (ppNew == NULL) return QK_ERR_INVALID_ARGUMENT;
  return QK_context__alloc__internal(ppNew);
}

void QK_context__free(QK_context *ctx) { QK_free_noctx(ctx); }

QK_error QK_context__add_frame(QK_context *ctx, const char *szSourcePath, int line) {
  char szLine[20];
  const char *szPath;
  size_t lenPath, lenLine, lenFrame;
  QK_error err;
  if (ctx->level != 0 || ctx->truncated) return QK_OK;
  szPath = QK_sz__trim_source_path(szSourcePath ? szSourcePath : "");
  QK_context__push_level(ctx);
  QK_sprintf_buf(ctx, szLine, sizeof szLine, "%d", line);
  QK_context__get_error(ctx, &err);
  QK_context__pop_level(ctx);
  if (QK_ERROR_CODE(err) != 0) return err;
  lenPath = strlen(szPath);
  lenLine = strlen(szLine);
  lenFrame = lenPath + lenLine + 4;
  if (ctx->trace_length + lenFrame <= QK_TRACE_FRAME_LIMIT) {
    char *p = ctx->trace + ctx->trace_length;
    *p++ = '\t';
    memcpy(p, szPath, lenPath);
    p += lenPath;
    *p++ = ':';
    memcpy(p, szLine, lenLine);
    p += lenLine;
    memcpy(p, "\r\n", 3);
    ctx->trace_length += (QK_uint32)lenFrame;
  } else {
    memcpy(ctx->trace + ctx->trace_length, QK_TRACE_MARKER, sizeof QK_TRACE_MARKER);
    ctx->trace_length += sizeof QK_TRACE_MARKER - 1;
    ctx->truncated = 1;
  }
  return QK_OK;
}

QK_error QK_context__throw(QK_context *ctx, QK_error err, const char *szSourcePath, int line) {
  ctx->errors[slot_of(ctx)] = err;
  return QK_context__add_frame(ctx, szSourcePath, line);
}

QK_error QK_context__throw_msg(QK_context *ctx, QK_error err, const char *szSourcePath, int line,
                               const char *szMessage) {
  QK_error result = QK_context__throw(ctx, err, szSourcePath, line);
  if (QK_ERROR_CODE(result) != 0) return result;
  return QK_context__set_message(ctx, "%s", szMessage ? szMessage : "");
}

QK_error QK_context__vset_message(QK_context *ctx, const char *szFormat, va_list args) {
  QK_error err;
  if (ctx->level != 0) return QK_OK;
  QK_context__push_level(ctx);
  QK_vsprintf_buf(ctx, ctx->message, sizeof ctx->message, szFormat, args);
  QK_context__get_error(ctx, &err);
  QK_context__pop_level(ctx);
  return err;
}

QK_error QK_context__set_message(QK_context *ctx, const char *szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  QK_error err = QK_context__vset_message(ctx, szFormat, args);
  va_end(args);
  return err;
}

QK_error QK_context__get_message(QK_context *ctx, const char **pszMessage) {
  if (pszMessage == NULL) return QK_ERR_INVALID_ARGUMENT;
  *pszMessage = ctx->level == 0 ? ctx->message : NULL;
  return QK_OK;
}

int QK_context__error_equals(const QK_context *ctx, QK_error err) { return ctx->errors[slot_of(ctx)] == err; }

QK_error QK_context__get_error(const QK_context *ctx, QK_error *pErr) {
  if (pErr == NULL) return QK_ERR_INVALID_ARGUMENT;
  *pErr = ctx->errors[slot_of(ctx)];
  return QK_OK;
}

QK_error QK_context__replace_error(QK_context *ctx, QK_error err, const char *szSourcePath, int line) {
  if (QK_ERROR_CODE(err) == 0) return QK_ERR_INVALID_ARGUMENT;
  if (!QK_context__has_error(ctx)) return QK_ERR_CTX_NO_ERROR;
  return QK_context__throw(ctx, err, szSourcePath, line);
}

void QK_context__reset_error(QK_context *ctx) {
  ctx->errors[slot_of(ctx)] = QK_OK;
  if (ctx->level != 0) return;
  ctx->message[0] = '\0';
  ctx->trace[0] = '\0';
  ctx->trace_length = 0;
  ctx->truncated = 0;
}

void QK_context__push_level(QK_context *ctx) {
  if (ctx->level < UINT32_MAX) ctx->level++;
  ctx->errors[slot_of(ctx)] = QK_OK;
}

void QK_context__pop_level(QK_context *ctx) {
  if (ctx->level > 0) ctx->level--;
}

void QK_context__set_user_data(QK_context *ctx, void *pUserData) { ctx->user_data = pUserData; }

void QK_context__get_user_data(const QK_context *ctx, void **ppUserData) {
  if (ppUserData) *ppUserData = ctx->user_data;
}

void QK_context__set_cancel_callback(QK_context *ctx, QK_cancel_callback callback) {
  ctx->cancel_callback = callback;
}

void QK_context__check_cancel(QK_context *ctx) {
  if (ctx->cancel_callback != NULL && ctx->cancel_callback(ctx->user_data) != 0)
    QK_context__throw(ctx, QK_ERR_CANCELLED, __FILE__, __LINE__);
}

void QK_context__set_warning_callback(QK_context *ctx, QK_warning_callback callback) {
  ctx->warning_callback = callback;
}

void QK_context__warn(QK_context *ctx, const char *szFormat, ...) {
  char text[QK_CONTEXT_MESSAGE_SIZE];
  va_list args;
  if (ctx == NULL || ctx->warning_callback == NULL || szFormat == NULL) return;
  va_start(args, szFormat);
  vsnprintf(text, sizeof text, szFormat, args);
  va_end(args);
  ctx->warning_callback(ctx->user_data, text);
}

QK_uint32 QK_sz__trim_error_text(char *sz) {
  size_t len = strlen(sz);
  while (len > 0 && (sz[len - 1] == '\n' || sz[len - 1] == '\r' || sz[len - 1] == ' ' || sz[len - 1] == '.'))
    sz[--len] = '\0';
  return (QK_uint32)len;
}

static const char *qklib_text(QK_uint32 code) {
  switch (code) {
#define QK_QKLIB_ERROR_CASE(c, name, text) \
  case c:                                  \
    return text;
    QK_QKLIB_ERRORS(QK_QKLIB_ERROR_CASE)
#undef QK_QKLIB_ERROR_CASE
  }
  return NULL;
}

void QK_error__to_text(QK_error err, int bDetailed, char *buf, QK_uint32 lenBuf) {
  QK_uint32 code = QK_ERROR_CODE(err);
  int trim = 1;
  if (buf == NULL || lenBuf == 0) return;
  memset(buf, 0, lenBuf);
  if (code == 0) return;
  switch (QK_ERROR_DOMAIN(err)) {
    case QK_ERR_DOMAIN_ERRNO: {
      char szSystem[QK_ERRNO_TEXT_SIZE] = "";
      /* GNU strerror_r may return a static text instead of filling the buffer. */
      const char *szText = strerror_r((int)code, szSystem, sizeof szSystem);
      snprintf(buf, lenBuf, "%s", szText ? szText : "");
      break;
    }
    case QK_ERR_DOMAIN_QKLIB: {
      const char *szText = qklib_text(code);
      if (szText == NULL)
        snprintf(buf, lenBuf, "Error %d (qklib)", (int)code);
      else if (bDetailed)
        snprintf(buf, lenBuf, "Error %d (qklib): %s", (int)code, szText);
      else
        snprintf(buf, lenBuf, "Error: %s", szText);
      trim = 0;
      break;
    }
    case QK_ERR_DOMAIN_WINDOWS:
    case QK_ERR_DOMAIN_WINDOWS_ALT:
      /* No Windows message tables here: nothing produces these domains on this platform. */
      break;
    case QK_ERR_DOMAIN_SQLITE:
      snprintf(buf, lenBuf, "Error %d (sqlite)", (int)code);
      break;
    case QK_ERR_DOMAIN_MSSQL:
      snprintf(buf, lenBuf, "Error %d (mssql)", (int)code);
      trim = 0;
      break;
    default:
      snprintf(buf, lenBuf, "Error %d (zlib)", (int)code);
      break;
  }
  if (trim) QK_sz__trim_error_text(buf);
}

/* Builds the report at a pushed level (so the context's own error stays as it is). */
static void build_report(QK_context *ctx, QK_error err, const char *szMessage, const char *szTrace,
                         QK_uint32 lenTrace, int bDetailed, QK_string **ppOut) {
  char szErrorText[QK_REPORT_ERROR_TEXT_SIZE];
  QK_string *pReport = NULL;
  QK_uint64 need;
  int bMessageStandsAlone = szMessage[0] == '\r';
  QK_error__to_text(err, bDetailed, szErrorText, sizeof szErrorText);
  need = strlen(szErrorText) + sizeof QK_VERSION_TEXT + 4 + strlen(szMessage) + 2 + lenTrace + 1;
  QK_TRY(ctx, QK_string__alloc__reserve(ctx, &pReport, (QK_uint32)need));
  if (szErrorText[0] != '\0' && !bMessageStandsAlone) {
    QK_TRY(ctx, QK_string__append__sz(ctx, pReport, szErrorText));
    QK_TRY(ctx, QK_string__append__sz(ctx, pReport, "[" QK_VERSION_TEXT "]"));
    QK_TRY(ctx, QK_string__append__sz(ctx, pReport, szMessage[0] ? ": " : "."));
  }
  QK_TRY(ctx, QK_string__append__sz(ctx, pReport, bMessageStandsAlone ? szMessage + 1 : szMessage));
  if (bDetailed) {
    if (szErrorText[0] != '\0' || szMessage[0] != '\0')
      QK_TRY(ctx, QK_string__append__sz(ctx, pReport, "\r\n"));
    QK_TRY(ctx, QK_string__append__buflen(ctx, pReport, szTrace, lenTrace));
  }
  *ppOut = pReport;
  pReport = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pReport));
}

QK_error QK_context__error_to_string(QK_context *ctx, int bDetailed, QK_string **ppOut) {
  QK_error err, result;
  if (ppOut == NULL) return QK_ERR_INVALID_ARGUMENT;
  if (ctx->level != 0) {
    *ppOut = NULL;
    return QK_OK;
  }
  err = ctx->errors[0];
  QK_context__push_level(ctx);
  build_report(ctx, err, ctx->message, ctx->trace, ctx->trace_length, bDetailed, ppOut);
  QK_context__get_error(ctx, &result);
  QK_context__pop_level(ctx);
  return result;
}

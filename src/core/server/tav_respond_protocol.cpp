/* The wire protocol of the sync engine: answers to protocol codes, baseline strings and
 * the encodings of response bodies. */
#include "server/tav_respond_protocol.h"

#include <ctype.h>
#include <string.h>

#include "common/tav_filter.h"
#include "common/tav_utils.h"
#include "qk/qk_file.h"
#include "qk/qk_fsobj.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_vcdiff.h"
#include "server/tav_handle_conflicts.h"

const char TAV_PROTO_TEXT_NO_QUERY[] = "query string is required";
const char TAV_PROTO_TEXT_NO_DB[] = "parameter 'db' in query string is required";
const char TAV_PROTO_TEXT_NO_H[] = "parameter 'h' in query string is required";
const char TAV_PROTO_TEXT_PUSH_X_NOT_INTEGER[] = "parameter 'x' in query string must be an integer";
const char TAV_PROTO_TEXT_X_NO_AT[] = "expected '@' in query string parameter 'x'";
const char TAV_PROTO_TEXT_X_TRIVIAL[] = "expected nontrivial query string parameter 'x'";
const char TAV_PROTO_TEXT_X_TOO_SHORT[] = "invalid rstamp in query string parameter 'x' (too short)";
const char TAV_PROTO_TEXT_X_NOT_128_BIT[] = "invalid rstamp in query string parameter 'x' (must be 128-bit hex)";
const char TAV_PROTO_TEXT_X_NOT_HEX[] = "invalid rstamp in query string parameter 'x' (must be ascii-encoded hex)";
const char TAV_PROTO_TEXT_PENDING_NOT_HEX[] =
    "invalid rstamp in query string parameter 'pending' (must be ascii-encoded hex)";
const char TAV_PROTO_TEXT_FROM_OUT_OF_RANGE[] = "number out of range in query string parameter 'from'";
const char TAV_PROTO_TEXT_FIRST_OUT_OF_RANGE[] = "number out of range in query string parameter 'first'";
const char TAV_PROTO_TEXT_X_OUT_OF_RANGE[] = "number out of range in query string parameter 'x'";
const char TAV_PROTO_TEXT_PV_UNSUPPORTED[] = "query string parameter 'pv' must be a package version from 2 to 6";
const char TAV_PROTO_TEXT_FILTER_BASE_MEMBER[] = "invalid header 'x-tavrin-filter-base' (every member must be a text)";
const char TAV_PROTO_TEXT_FILTER_BASE_TIME[] =
    "invalid time of sync in header 'x-tavrin-filter-base' (expected the form YYYY-MM-DD hh:mm:ss with at most 3 "
    "fractional digits)";
const char TAV_PROTO_TEXT_BUSY[] = "Server database busy. Please try again.";
const char TAV_PROTO_TEXT_CONFIGURATION[] =
    "The server has a configuration error. Contact your server administrator to address this issue.";
const char TAV_PROTO_TEXT_MISCONFIGURATION_HINT[] =
    "\n(Examining your database in QVS Manager may provide more details about this error and how to resolve it.)";
const char TAV_PROTO_TEXT_PURGED[] = "server data needed to complete this request has been purged";
const char TAV_PROTO_REBASED_BODY[] = "(rebased)";

/* Hex digits of an rstamp. */
#define TAV_PROTO_RSTAMP_DIGITS 32

/* ---- Error texts ---- */

void tav_respond__take_error_text(QK_context *ctx, const char *pszSuffix, QK_string **ppMessage) {
  QK_string *pText = NULL;
  QK_context__error_to_string(ctx, 1, &pText);
  /* The error is still pending: the suffix is added at a level of its own. */
  if (pText != NULL && pszSuffix != NULL) QK_RELEASE(ctx, QK_string__append__sz(ctx, pText, pszSuffix));
  if (ppMessage != NULL) {
    QK_RELEASE(ctx, QK_string__free(ctx, *ppMessage));
    *ppMessage = pText;
    pText = NULL;
  }
  QK_RELEASE(ctx, QK_string__free(ctx, pText));
}

/* ---- Baselines ---- */

int tav_client_number__in_range(QK_int64 value) {
  return value >= -TAV_CLIENT_NUMBER_MAX && value <= TAV_CLIENT_NUMBER_MAX;
}

static int is_hex_run(const char *p, int n) {
  for (int i = 0; i < n; i++)
    if (!isxdigit((unsigned char)p[i])) return 0;
  return 1;
}

void tav_baseline__free_collections(QK_context *ctx, tav_baseline *pBaseline) {
  if (pBaseline == NULL) return;
  QK_varray__free(ctx, pBaseline->missing_txids);
  pBaseline->missing_txids = NULL;
  QK_nullhash__free(ctx, pBaseline->discard_tables);
  pBaseline->discard_tables = NULL;
}

/* One lenient integer at *pp that must be a txid, generation or count, advancing *pp. */
static void read_number(QK_context *ctx, const char **pp, QK_int64 *pValue) {
  QK_int64__parse_prefix(ctx, *pp, pValue, pp);
  if (!tav_client_number__in_range(*pValue))
    QK_THROW_MSG(ctx, TAV_ERR_NUMBER_OUT_OF_RANGE, "number out of range in baseline \"from\" string");
done:;
}

/* Appends one lenient integer read at *pp to the missing txids, advancing *pp. */
static void append_missing_txid(QK_context *ctx, tav_baseline *b, const char **pp) {
  QK_int64 txid = 0;
  QK_TRY(ctx, read_number(ctx, pp, &txid));
  if (b->missing_txids == NULL) QK_TRY(ctx, QK_varray__alloc(ctx, &b->missing_txids));
  QK_TRY(ctx, QK_varray__append__int64(ctx, b->missing_txids, txid));
done:;
}

/* The ";F" tail: every piece between commas, up to the end, is a table id (a table named
 * twice is asked for once). */
static void read_discard_tables(QK_context *ctx, tav_baseline *b, const char *p) {
  QK_string *pPiece = NULL;
  QK_TRY(ctx, QK_nullhash__alloc(ctx, &b->discard_tables));
  QK_TRY(ctx, QK_string__alloc(ctx, &pPiece));
  for (;;) {
    const char *pComma = strchr(p, ',');
    size_t len = pComma != NULL ? (size_t)(pComma - p) : strlen(p);
    QK_TRY(ctx, QK_string__clear(ctx, pPiece));
    QK_TRY(ctx, QK_string__append__buflen(ctx, pPiece, p, (QK_uint32)len));
    QK_TRY(ctx, QK_nullhash__add_if_missing(ctx, b->discard_tables, QK_string__sz(pPiece)));
    if (pComma == NULL) break;
    p = pComma + 1;
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pPiece));
}

#define BASELINE_EXPECT(cond)                                                                          \
  do {                                                                                                 \
    if (!(cond)) QK_THROW_MSG(ctx, TAV_ERR_INVALID_BASELINE, "invalid baseline \"from\" string");      \
  } while (0)

void tav_respond__parse_baseline(QK_context *ctx, const char *pszFrom, tav_baseline *b) {
  const char *p = pszFrom;
  QK_int64 value = 0;
  QK_ARG_NOT_NULL(ctx, pszFrom);
  QK_ARG_NOT_NULL(ctx, b);
  QK_TRY(ctx, read_number(ctx, &p, &value));
  if (*p == 'g') {
    b->generation = value;
    /* Generation ids are random 64-bit values. */
    QK_int64__parse_prefix(ctx, p + 1, &b->generation_id, &p);
    BASELINE_EXPECT(*p == '\0');
    goto done;
  }
  b->generation = b->generation_id = -1;
  b->txid = value;
  BASELINE_EXPECT(*p == ',');
  p++;
  BASELINE_EXPECT(strlen(p) >= TAV_PROTO_RSTAMP_DIGITS && is_hex_run(p, TAV_PROTO_RSTAMP_DIGITS));
  QK_TRY(ctx, QK_hex__decode_16(ctx, p, b->rstamp));
  p += TAV_PROTO_RSTAMP_DIGITS;
  BASELINE_EXPECT(*p == ',');
  /* Rebase ids are random 64-bit values. */
  QK_int64__parse_prefix(ctx, p + 1, &b->rebaseid, &p);
  BASELINE_EXPECT(*p == ',');
  p++;
  QK_TRY(ctx, read_number(ctx, &p, &b->tx_count));
  BASELINE_EXPECT(*p == ',');
  p++;
  QK_TRY(ctx, read_number(ctx, &p, &b->schema_txid));
  while (*p == 'm') {
    p++;
    QK_TRY(ctx, append_missing_txid(ctx, b, &p));
  }
  if (*p == 'o') {
    p++;
    QK_TRY(ctx, read_number(ctx, &p, &b->older_txid));
    BASELINE_EXPECT(*p == ',');
    p++;
    QK_TRY(ctx, read_number(ctx, &p, &b->older_count));
  }
  if (*p == '\0') goto done;
  BASELINE_EXPECT(*p == ';');
  p++;
  if (*p == 't') {
    BASELINE_EXPECT(b->missing_txids == NULL);
    do {
      p++;
      QK_TRY(ctx, append_missing_txid(ctx, b, &p));
      /* The count stays in range: a list longer than the count drives it below zero only. */
      if (b->tx_count > -TAV_CLIENT_NUMBER_MAX) b->tx_count--;
    } while (*p == ',');
    BASELINE_EXPECT(*p == '\0');
  } else {
    BASELINE_EXPECT(*p == 'F');
    QK_TRY(ctx, read_discard_tables(ctx, b, p + 1));
  }
done:
  if (QK_context__has_error(ctx)) QK_RELEASE(ctx, tav_baseline__free_collections(ctx, b));
}

void tav_respond__read_pull_x(QK_context *ctx, const char *pszX, tav_baseline *pBaseline,
                              const char **ppszBadRequest) {
  const char *pAt = NULL;
  QK_ARG_NOT_NULL(ctx, pszX);
  QK_ARG_NOT_NULL(ctx, pBaseline);
  QK_ARG_NOT_NULL(ctx, ppszBadRequest);
  *ppszBadRequest = NULL;
  pAt = strchr(pszX, '@');
  if (pAt == NULL) {
    *ppszBadRequest = TAV_PROTO_TEXT_X_NO_AT;
  } else if (strlen(pszX) < 3) {
    *ppszBadRequest = TAV_PROTO_TEXT_X_TRIVIAL;
  } else if (strncmp(pszX, "0@", 2) == 0) {
    memset(pBaseline->rstamp, 0, sizeof pBaseline->rstamp);
    QK_TRY(ctx, QK_int64__parse(ctx, &pBaseline->rebaseid, pszX + 2));
  } else if (strlen(pszX) < TAV_PROTO_RSTAMP_DIGITS + 2) {
    *ppszBadRequest = TAV_PROTO_TEXT_X_TOO_SHORT;
  } else if (pszX[TAV_PROTO_RSTAMP_DIGITS] != '@') {
    *ppszBadRequest = TAV_PROTO_TEXT_X_NOT_128_BIT;
  } else if (!is_hex_run(pszX, TAV_PROTO_RSTAMP_DIGITS)) {
    *ppszBadRequest = TAV_PROTO_TEXT_X_NOT_HEX;
  } else {
    QK_TRY(ctx, QK_hex__decode_16(ctx, pszX, pBaseline->rstamp));
    QK_TRY(ctx, QK_int64__parse(ctx, &pBaseline->rebaseid, pszX + TAV_PROTO_RSTAMP_DIGITS + 1));
  }
done:;
}

void tav_respond__read_push_x(QK_context *ctx, const char *pszX, tav_baseline *pBaseline,
                              const char **ppszBadRequest) {
  QK_int64 txid = 0;
  QK_ARG_NOT_NULL(ctx, pszX);
  QK_ARG_NOT_NULL(ctx, pBaseline);
  QK_ARG_NOT_NULL(ctx, ppszBadRequest);
  *ppszBadRequest = NULL;
  QK_int64__parse(ctx, &txid, pszX);
  if (QK_context__has_error(ctx)) {
    QK_context__reset_error(ctx);
    *ppszBadRequest = TAV_PROTO_TEXT_PUSH_X_NOT_INTEGER;
    goto done;
  }
  if (!tav_client_number__in_range(txid)) {
    *ppszBadRequest = TAV_PROTO_TEXT_X_OUT_OF_RANGE;
    goto done;
  }
  pBaseline->txid = txid;
done:;
}

void tav_respond__read_pull_first(QK_context *ctx, const char *pszFirst, tav_baseline *pBaseline,
                                  const char **ppszBadRequest) {
  QK_int64 first = 0;
  QK_ARG_NOT_NULL(ctx, pszFirst);
  QK_ARG_NOT_NULL(ctx, pBaseline);
  QK_ARG_NOT_NULL(ctx, ppszBadRequest);
  *ppszBadRequest = NULL;
  QK_TRY(ctx, QK_int64__parse(ctx, &first, pszFirst));
  if (!tav_client_number__in_range(first)) {
    *ppszBadRequest = TAV_PROTO_TEXT_FIRST_OUT_OF_RANGE;
    goto done;
  }
  pBaseline->txid = first - 1;
done:;
}

void tav_respond__read_pv(QK_context *ctx, const char *pszPv, int *pPv, const char **ppszBadRequest) {
  QK_int64 pv = 0;
  QK_ARG_NOT_NULL(ctx, pPv);
  QK_ARG_NOT_NULL(ctx, ppszBadRequest);
  *ppszBadRequest = NULL;
  *pPv = TAV_PROTO_DEFAULT_PV;
  if (pszPv == NULL) goto done;
  QK_TRY(ctx, QK_int64__parse(ctx, &pv, pszPv));
  if (pv != (int)pv || !is_valid_pkg_version((int)pv)) {
    *ppszBadRequest = TAV_PROTO_TEXT_PV_UNSUPPORTED;
    goto done;
  }
  *pPv = (int)pv;
done:;
}

void tav_respond__read_filter_base(QK_context *ctx, const QK_vhash *pFilterBase, const char **ppszBadRequest) {
  QK_uint32 count = 0;
  const char *pszTime = NULL;
  QK_ARG_NOT_NULL(ctx, ppszBadRequest);
  *ppszBadRequest = NULL;
  if (pFilterBase == NULL) goto done;
  QK_TRY(ctx, QK_vhash__count(ctx, pFilterBase, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_variant *pValue = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pFilterBase, i, NULL, &pValue));
    if (pValue->type != QK_VARIANT_TYPE_SZ) {
      *ppszBadRequest = TAV_PROTO_TEXT_FILTER_BASE_MEMBER;
      goto done;
    }
  }
  /* The time of sync goes into where-clauses: only the server's own form is taken. */
  tav_filter__get_time_of_sync(ctx, pFilterBase, &pszTime);
  if (QK_context__has_error(ctx)) {
    QK_context__reset_error(ctx);
    *ppszBadRequest = TAV_PROTO_TEXT_FILTER_BASE_TIME;
  }
done:;
}

void tav_respond__read_pending(QK_context *ctx, const char *pszPending, QK_uint8 *pRstamp16,
                               const char **ppszBadRequest) {
  QK_ARG_NOT_NULL(ctx, pszPending);
  QK_ARG_NOT_NULL(ctx, pRstamp16);
  QK_ARG_NOT_NULL(ctx, ppszBadRequest);
  *ppszBadRequest = NULL;
  /* A shorter text stops at its NUL, which is no hex digit. */
  if (!is_hex_run(pszPending, TAV_PROTO_RSTAMP_DIGITS)) {
    *ppszBadRequest = TAV_PROTO_TEXT_PENDING_NOT_HEX;
    goto done;
  }
  QK_TRY(ctx, QK_hex__decode_16(ctx, pszPending, pRstamp16));
done:;
}

/* ---- Answers to protocol codes ---- */

void tav_respond__answer_protocol_code(QK_context *ctx, int bPush, int protocolCode, int pv, const char *pszDbfile,
                                       const char *pszProtocolMessage, int *pStatus, QK_vhash **ppHeaders,
                                       char **ppszBody) {
  QK_vhash *pHeaders = NULL;
  char *pszBody = NULL;
  const char *pszText = NULL;
  int status = 406, bHeader = 1;
  char szCode[24];
  QK_ARG_NOT_NULL(ctx, pStatus);
  QK_ARG_NOT_NULL(ctx, ppHeaders);
  QK_ARG_NOT_NULL(ctx, ppszBody);
  QK_ARG_VALID(ctx, protocolCode, protocolCode != 0);
  *ppHeaders = NULL;
  *ppszBody = NULL;
  if (protocolCode == TAV_PROTO_PURGED) {
    pszText = bPush && pszProtocolMessage != NULL ? pszProtocolMessage : TAV_PROTO_TEXT_PURGED;
    status = bPush ? 406 : 500;
    /* Clients before version 5 know the purge only as a refusal. */
    if (pv < 5) protocolCode = TAV_PROTO_REJECTED;
  } else if (protocolCode == TAV_PROTO_NO_PERMISSION) {
    status = 403;
    bHeader = 0;
  } else if (protocolCode == TAV_PROTO_BUSY) {
    status = 500;
    pszText = TAV_PROTO_TEXT_BUSY;
  } else if (protocolCode == TAV_PROTO_CONFIGURATION) {
    status = 500;
    pszText = TAV_PROTO_TEXT_CONFIGURATION;
  } else if (protocolCode == TAV_PROTO_DBFILE_NOT_FOUND && !bPush) {
    status = 400;
    QK_ARG_NOT_NULL(ctx, pszDbfile);
    QK_TRY(ctx, QK_string__format_to_sz(ctx, &pszBody, "dbfile not found: %s", pszDbfile));
  } else {
    pszText = pszProtocolMessage != NULL ? pszProtocolMessage : "";
  }
  if (pszText != NULL) QK_TRY(ctx, QK_strdup(ctx, pszText, &pszBody));
  if (bHeader) {
    QK_TRY(ctx, QK_vhash__alloc(ctx, &pHeaders));
    QK_TRY(ctx, QK_vhash__add__string(ctx, pHeaders, TAV_PROTO_ERROR_CODE_HEADER,
                                      QK_int64__to_sz(protocolCode, szCode)));
  }
  *pStatus = status;
  *ppHeaders = pHeaders;
  pHeaders = NULL;
  *ppszBody = pszBody;
  pszBody = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pHeaders));
  QK_free(ctx, pszBody);
}

/* ---- Response bodies ---- */

void tav_respond__compress_response(QK_context *ctx, const char *pszDir, const char *pszSource,
                                    tav_pkg *pResponse) {
  QK_ARG_NOT_NULL(ctx, pszSource);
  QK_ARG_NOT_NULL(ctx, pResponse);
  QK_TRY(ctx, tav_pkg__new_temp_path(ctx, pszDir, pResponse));
  QK_TRY(ctx, QK_file__compress(ctx, pszSource, pResponse->path));
done:
  /* A half-written response is never sent. */
  if (QK_context__has_error(ctx) && pResponse != NULL) QK_RELEASE(ctx, tav_pkg__close(ctx, pResponse));
}

void tav_respond__write_rebased_response(QK_context *ctx, const char *pszDir, tav_pkg *pResponse) {
  QK_file *pFile = NULL;
  QK_ARG_NOT_NULL(ctx, pResponse);
  QK_TRY(ctx, tav_pkg__new_temp_path(ctx, pszDir, pResponse));
  QK_TRY(ctx, QK_file__open(ctx, pResponse->path, QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0644, &pFile));
  QK_TRY(ctx, QK_file__write__sz(ctx, pFile, TAV_PROTO_REBASED_BODY));
  QK_TRY(ctx, QK_file__close(ctx, &pFile));
done:
  QK_RELEASE(ctx, QK_file__close(ctx, &pFile));
  if (QK_context__has_error(ctx) && pResponse != NULL) QK_RELEASE(ctx, tav_pkg__close(ctx, pResponse));
}

void tav_respond__write_delta_response(QK_context *ctx, const char *pszDir, const char *pszSource,
                                       const char *pszTarget, tav_pkg *pResponse) {
  tav_pkg delta = {NULL, NULL, NULL};
  QK_ARG_NOT_NULL(ctx, pszSource);
  QK_ARG_NOT_NULL(ctx, pszTarget);
  QK_ARG_NOT_NULL(ctx, pResponse);
  QK_TRY(ctx, tav_pkg__new_temp_path(ctx, pszDir, &delta));
  QK_TRY(ctx, QK_vcdiff__deltify_files(ctx, pszSource, pszTarget, delta.path));
  QK_TRY(ctx, tav_respond__compress_response(ctx, pszDir, delta.path, pResponse));
done:
  QK_RELEASE(ctx, tav_pkg__close(ctx, &delta));
}

/* The push request: reading its query, the push core and the answer it sends. */
#include "server/tav_respond_push.h"
#include "server/tav_respond.h"

#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include "common/tav_utils.h"
#include "qk/qk_file.h"
#include "qk/qk_fsobj.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts_download.h"
#include "server/tav_respond_pull.h"

static const char TEXT_OLD_FORMAT[] =
    "The DBFile '%s' is in an old format. Please use the latest QVS Manager to upgrade the DBFile.";
static const char TEXT_NEWER_FORMAT[] =
    "The DBFile '%s' is in a format that is newer than this version of Tavrin Server supports.\nThe Tavrin Server "
    "must be upgraded.";
static const char CLEAR_GENERATIONS_SQL[] = "DELETE FROM p$gen WHERE generation > 0";

/* How far an upload may inflate. A package is a SQLite file whose first 100 bytes state its
 * size: page size times page count, valid when the change counter matches the
 * version-valid-for number, as every SQLite since 3.7.0 writes them. An upload inflates to
 * exactly that size whatever its ratio, and never beyond 8 GiB or the free space of the
 * temporary directory less a reserve; an upload whose first bytes are no SQLite file stops
 * there. Checked as the upload inflates, so a bomb writes no more than its bound. */
#define PUSH_HEADER_BYTES 100
#define PUSH_MAX_PACKAGE_BYTES (((QK_uint64)8) << 30)
#define PUSH_DISK_RESERVE (((QK_uint64)64) << 20)
static const char SQLITE_MAGIC[16] = "SQLite format 3";
static const char TEXT_NOT_A_PACKAGE[] = "The pushed package is not a package file (no SQLite header): refused.";
static const char TEXT_INFLATE_LIMIT[] = "The pushed package inflates beyond %llu bytes, %s: refused.";
static const char TEXT_BOUND_HEADER[] = "the size its SQLite header states";
static const char TEXT_BOUND_MAX[] = "the largest package taken (8 GiB)";
static const char TEXT_BOUND_DISK[] = "the free space of the temporary directory";
static const char TEXT_NOT_ZLIB[] = "The pushed body is not one whole zlib stream: refused.";
static const char TEXT_UNREADABLE_PACKAGE[] = "Invalid package. Reading it failed";
/* Retries of the status answer's store reads. */
#define STATUS_MAX_RETRIES 10
/* The txid the last push of an old client names when it knows no better. */
#define BASELINE_TXID_UNKNOWN (-1)

static QK_uint32 big_endian32(const QK_uint8 *p) {
  return ((QK_uint32)p[0] << 24) | ((QK_uint32)p[1] << 16) | ((QK_uint32)p[2] << 8) | (QK_uint32)p[3];
}

/* The size a SQLite header states, or 0 when it states none it stands by. */
static QK_uint64 declared_package_size(const QK_uint8 *pHeader) {
  QK_uint32 pageSize = ((QK_uint32)pHeader[16] << 8) | pHeader[17];
  QK_uint32 pages = big_endian32(pHeader + 28);
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return 0;
  if (pages == 0 || big_endian32(pHeader + 24) != big_endian32(pHeader + 92)) return 0;
  return (QK_uint64)pageSize * pages;
}

/* The first bytes of the inflated upload, already in pszPath. */
static void read_package_header(QK_context *ctx, const char *pszPath, QK_uint8 *pHeader) {
  QK_file *pFile = NULL;
  QK_TRY(ctx, QK_file__open(ctx, pszPath, QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &pFile));
  QK_TRY(ctx, QK_file__read(ctx, pFile, PUSH_HEADER_BYTES, pHeader, NULL));
  QK_TRY(ctx, QK_file__close(ctx, &pFile));
done:
  QK_RELEASE(ctx, QK_file__close(ctx, &pFile));
}

/* Inflates the body into pszPath. A body that is no whole zlib stream (damaged, cut short, or
 * with bytes after its end) is the client's fault; other failures stay the server's. */
static void inflate_body(QK_context *ctx, const char *pszBodyPath, const char *pszPath, QK_uint64 limit) {
  QK_file__decompress(ctx, pszBodyPath, pszPath, limit);
  if (QK_context__error_equals(ctx, QK_ERR_EOF) || QK_context__error_equals(ctx, QK_ERR_INCOMPLETE_WRITE) ||
      QK_context__error_equals(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_ZLIB, Z_DATA_ERROR)) ||
      QK_context__error_equals(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_ZLIB, Z_BUF_ERROR)) ||
      QK_context__error_equals(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_ZLIB, Z_NEED_DICT))) {
    QK_context__reset_error(ctx);
    QK_THROW_MSG(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400), TEXT_NOT_ZLIB);
  }
done:;
}

/* A package SQLite cannot read the way the server reads it (damaged, no database, lacking the
 * tables or columns it names, values its tables cannot hold) is the client's fault: refused as
 * a malformed package. Conditions of the server (I/O, disk, memory, locks) stay errors. */
static void refuse_unreadable_package(QK_context *ctx) {
  QK_error err = QK_OK;
  QK_context__get_error(ctx, &err);
  if (QK_ERROR_DOMAIN(err) != QK_ERR_DOMAIN_SQLITE) return;
  switch (QK_ERROR_CODE(err) & 0xFF) {
    case SQLITE_ERROR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
    case SQLITE_CONSTRAINT:
    case SQLITE_RANGE:
    case SQLITE_FORMAT:
      break;
    default:
      return;
  }
  QK_context__replace_error(ctx, TAV_ERR_MALFORMED_PACKAGE, __FILE__, __LINE__);
  tav_err__prefix_message(ctx, TEXT_UNREADABLE_PACKAGE);
}

/* The decompressed upload in the work package's (new) path; its SHA-1 must be h. */
static void unpack_upload(QK_context *ctx, const char *pszTempDir, const char *pszBodyPath, tav_pkg *pWork) {
  QK_uint8 header[PUSH_HEADER_BYTES];
  QK_uint64 limit = PUSH_MAX_PACKAGE_BYTES, freeBytes = 0, declared;
  const char *pszBound = TEXT_BOUND_MAX;
  QK_TRY(ctx, tav_pkg__new_temp_path(ctx, pszTempDir, pWork));
  if (pszBodyPath == NULL) QK_THROW_MSG(ctx, QK_ERR_NOT_FOUND, "the push has no request body");
  /* The header first: an upload that inflates no further is already whole. */
  inflate_body(ctx, pszBodyPath, pWork->path, PUSH_HEADER_BYTES);
  if (!QK_context__error_equals(ctx, QK_ERR_LIMIT_EXCEEDED)) {
    QK_CHECK(ctx);
    goto done;
  }
  QK_context__reset_error(ctx);
  QK_TRY(ctx, read_package_header(ctx, pWork->path, header));
  if (memcmp(header, SQLITE_MAGIC, sizeof SQLITE_MAGIC) != 0)
    QK_THROW_MSG(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400), TEXT_NOT_A_PACKAGE);
  QK_TRY(ctx, QK_fsobj__remove_file(ctx, pWork->path));
  QK_TRY(ctx, QK_fsobj__free_space(ctx, pszTempDir, &freeBytes));
  if (freeBytes < PUSH_DISK_RESERVE + limit) {
    limit = freeBytes > PUSH_DISK_RESERVE ? freeBytes - PUSH_DISK_RESERVE : 0;
    pszBound = TEXT_BOUND_DISK;
  }
  declared = declared_package_size(header);
  if (declared > limit)
    QK_THROW_FMT(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400), TEXT_INFLATE_LIMIT, (unsigned long long)limit,
                 pszBound);
  if (declared != 0) {
    limit = declared;
    pszBound = TEXT_BOUND_HEADER;
  }
  inflate_body(ctx, pszBodyPath, pWork->path, limit);
  if (QK_context__error_equals(ctx, QK_ERR_LIMIT_EXCEEDED)) {
    QK_context__reset_error(ctx);
    QK_THROW_FMT(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400), TEXT_INFLATE_LIMIT, (unsigned long long)limit,
                 pszBound);
  }
  QK_CHECK(ctx);
done:;
}

/* src with every from replaced by to, into out (cut at its size). */
static void replace_all(const char *src, const char *from, const char *to, char *out, size_t size) {
  size_t used = 0, fromLen = strlen(from);
  out[0] = '\0';
  while (used < size - 1) {
    const char *hit = fromLen != 0 ? strstr(src, from) : NULL;
    size_t keep = hit != NULL ? (size_t)(hit - src) : strlen(src);
    int n = snprintf(out + used, size - used, "%.*s%s", (int)keep, src, hit != NULL ? to : "");
    if (n < 0 || hit == NULL) break;
    used += (size_t)n;
    src = hit + fromLen;
  }
}

/* A failure's message names the client's package as "the pushed package", never the server's
 * path of its work file in the temporary directory. */
static void name_the_package(QK_context *ctx, const char *pszPath) {
  static const struct {
    const char *before, *after, *name;
  } forms[] = {{"Database '", "'", "The pushed package"}, {"'", "'", "the pushed package"}, {"", "", "the pushed package"}};
  const char *pszMessage = NULL;
  char szFrom[QK_CONTEXT_MESSAGE_SIZE], szIn[QK_CONTEXT_MESSAGE_SIZE], szOut[QK_CONTEXT_MESSAGE_SIZE];
  if (pszPath == NULL || !QK_context__has_error(ctx)) return;
  QK_context__get_message(ctx, &pszMessage);
  if (pszMessage == NULL || strstr(pszMessage, pszPath) == NULL) return;
  snprintf(szIn, sizeof szIn, "%s", pszMessage);
  for (size_t i = 0; i < sizeof forms / sizeof forms[0]; i++) {
    snprintf(szFrom, sizeof szFrom, "%s%s%s", forms[i].before, pszPath, forms[i].after);
    replace_all(szIn, szFrom, forms[i].name, szOut, sizeof szOut);
    memcpy(szIn, szOut, sizeof szIn);
  }
  QK_context__set_message(ctx, "%s", szIn);
}

/* The cancel check may end the request from here on: reading and applying ran without it. */
static void enable_cancel(QK_context *ctx) {
  void *pUserData = NULL;
  QK_context__get_user_data(ctx, &pUserData);
  tav_request_handle_head *p_request_handle = (tav_request_handle_head *)pUserData;
  QK_VERIFY(ctx, p_request_handle != NULL);
  p_request_handle->cancel_enabled = 1;
  QK_TRY(ctx, QK_context__check_cancel(ctx));
done:;
}

/* Reopens a finished follow-up package for more rows. */
static void reopen_package(QK_context *ctx, tav_pkg *pkg) {
  if (pkg->db != NULL) return;
  QK_TRY(ctx, QK_sqlite__open_with_key(ctx, pkg->path, NULL, SQLITE_OPEN_READWRITE, &pkg->db));
  QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "BEGIN TRANSACTION"));
done:;
}

/* One try of the status answer's package. */
static void build_status_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                                 int bBaselineMissing, QK_int64 lastGeneration, const char *pszTempDir,
                                 QK_vhash **ppStatusDoc, tav_pkg *pFollowUp) {
  QK_uint8 zero[16] = {0};
  if (pv < 4) {
    QK_vhash__free(ctx, *ppStatusDoc);
    *ppStatusDoc = NULL;
    QK_TRY(ctx, tav_pkg__close(ctx, pFollowUp));
    QK_TRY(ctx, tav_export__rstamp_package(ctx, ops, h, pv, 0, zero, 0, NULL, pszTempDir, pFollowUp));
    goto done;
  }
  if (*ppStatusDoc == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, ppStatusDoc));
  if (bBaselineMissing) {
    int bHas = 0;
    QK_TRY(ctx, QK_vhash__has(ctx, *ppStatusDoc, "first-rstamp", &bHas));
    if (!bHas) {
      QK_uint8 rstamp[16];
      QK_int64 txid = 0, rebaseid = 0;
      QK_TRY(ctx, ops->get_tx_info(ctx, h, 1, *ppStatusDoc, &txid, rstamp, &rebaseid));
    }
    if (pv >= 6) {
      QK_int64 cutoff = 0;
      if (pFollowUp->path == NULL)
        QK_TRY(ctx, tav_pkg__create(ctx, pszTempDir, pv, pFollowUp));
      else
        QK_TRY(ctx, reopen_package(ctx, pFollowUp));
      QK_TRY(ctx, QK_sqlite__exec(ctx, pFollowUp->db, CLEAR_GENERATIONS_SQL));
      QK_TRY(ctx, ops->export_generations(ctx, h, 1, lastGeneration, pFollowUp->db, &cutoff));
    }
  }
  QK_TRY(ctx, QK_vhash__update__bool(ctx, *ppStatusDoc, "push-succeeded", !bBaselineMissing));
  if (pFollowUp->path != NULL) QK_TRY(ctx, reopen_package(ctx, pFollowUp));
  QK_TRY(ctx, tav_respond__write_status_json(ctx, pszTempDir, pv, *ppStatusDoc, pFollowUp));
done:;
}

/* The status answer: 244 (245 or 246 for versions 4 and 5 with the builder's document), a
 * compressed package with the status document. */
static void status_answer(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                          int bBaselineMissing, QK_int64 lastGeneration, const char *pszTempDir,
                          QK_vhash **ppStatusDoc, tav_pkg *pFollowUp, tav_pkg *pResponse, int *pStatus,
                          int *pProtocolCode, QK_string **ppMessage) {
  int retries = 0;
  *pStatus = 244;
  if ((pv == 4 || pv == 5) && *ppStatusDoc != NULL) {
    QK_int64 missing = 0;
    QK_TRY(ctx, QK_vhash__check__int64(ctx, *ppStatusDoc, "missing-tx-count", &missing));
    *pStatus = missing >= 1 ? 245 : 246;
  }
  for (;;) {
    build_status_package(ctx, ops, h, pv, bBaselineMissing, lastGeneration, pszTempDir, ppStatusDoc, pFollowUp);
    if (!QK_context__has_error(ctx)) break;
    if (!QK_context__error_equals(ctx, QK_ERR_DEADLOCK_VICTIM) && !QK_context__error_equals(ctx, QK_ERR_BUSY_RETRY))
      QK_CHECK(ctx);
    if (++retries > STATUS_MAX_RETRIES) {
      tav_respond__take_error_text(ctx, NULL, ppMessage);
      QK_context__reset_error(ctx);
      *pProtocolCode = TAV_PROTO_BUSY;
      goto done;
    }
    QK_context__reset_error(ctx);
    tav_respond__retry_pause(NULL, retries);
  }
  if (pFollowUp->db != NULL) {
    QK_TRY(ctx, QK_sqlite__exec(ctx, pFollowUp->db, "COMMIT TRANSACTION"));
    QK_TRY(ctx, QK_sqlite__close(ctx, &pFollowUp->db));
  }
  QK_TRY(ctx, tav_respond__compress_response(ctx, pszTempDir, pFollowUp->path, pResponse));
  QK_TRY(ctx, tav_pkg__close(ctx, pFollowUp));
done:;
}

/* The follow-up the builder left, or an empty package of the version when it left none. */
static void ensure_follow_up(QK_context *ctx, const char *pszTempDir, int pv, tav_pkg *pFollowUp) {
  if (pFollowUp->path != NULL) {
    if (pFollowUp->db != NULL) {
      QK_TRY(ctx, QK_sqlite__exec(ctx, pFollowUp->db, "COMMIT TRANSACTION"));
      QK_TRY(ctx, QK_sqlite__close(ctx, &pFollowUp->db));
    }
    goto done;
  }
  QK_TRY(ctx, tav_pkg__create(ctx, pszTempDir, pv, pFollowUp));
  QK_TRY(ctx, QK_sqlite__exec(ctx, pFollowUp->db, "COMMIT TRANSACTION"));
  QK_TRY(ctx, QK_sqlite__close(ctx, &pFollowUp->db));
done:;
}

/* Turns the errors that have a protocol code into that code, repeatedly. */
static void translate_errors(QK_context *ctx, int *pProtocolCode, QK_string **ppMessage, char **ppszProtocolMessage) {
  static const struct {
    QK_error err;
    int code;
  } codes[] = {{QK_ERR_MSSQL_DUPLICATE_KEY, TAV_PROTO_UNIQUE_KEY},
               {QK_ERR_MSSQL_CHECK_CONSTRAINT, TAV_PROTO_CHECK_CONSTRAINT},
               {QK_ERR_MSSQL_CONSTRAINT, TAV_PROTO_CONSTRAINT},
               {QK_ERR_MSSQL_FOREIGN_KEY, TAV_PROTO_FOREIGN_KEY},
               {QK_ERR_SERVER_ROLLED_BACK, TAV_PROTO_SERVER_ROLLED_BACK}};
  for (int bApplied = 1; bApplied;) {
    bApplied = 0;
    if (QK_context__error_equals(ctx, QK_ERR_SERVER_MISCONFIGURATION)) {
      tav_respond__take_error_text(ctx, TAV_PROTO_TEXT_MISCONFIGURATION_HINT, ppMessage);
      QK_context__reset_error(ctx);
      *pProtocolCode = TAV_PROTO_CONFIGURATION;
      bApplied = 1;
      continue;
    }
    for (size_t i = 0; i < sizeof codes / sizeof codes[0]; i++) {
      const char *pszMessage = NULL;
      if (!QK_context__error_equals(ctx, codes[i].err)) continue;
      QK_context__get_message(ctx, &pszMessage);
      if (pszMessage != NULL && pszMessage[0] != '\0') {
        QK_free(ctx, *ppszProtocolMessage);
        *ppszProtocolMessage = NULL;
        QK_RELEASE(ctx, QK_strdup(ctx, pszMessage, ppszProtocolMessage));
      }
      QK_context__reset_error(ctx);
      *pProtocolCode = codes[i].code;
      bApplied = 1;
      break;
    }
  }
}

/* Closes the work package; with support mode "*" its file stays for the administrators. */
static void release_work_package(QK_context *ctx, const char *pszSupportMode, tav_pkg *pWork) {
  if (pszSupportMode != NULL && strcmp(pszSupportMode, "*") == 0 && pWork->path != NULL) {
    if (pWork->db != NULL) {
      QK_RELEASE(ctx, QK_sqlite__exec(ctx, pWork->db, "ROLLBACK TRANSACTION"));
      QK_RELEASE(ctx, QK_sqlite__close(ctx, &pWork->db));
    }
    QK_free(ctx, pWork->path);
    pWork->path = NULL;
  }
  QK_RELEASE(ctx, tav_pkg__close(ctx, pWork));
}

void tav_respond__push(QK_context *ctx, const tav_backend_ops *ops, const char *pszSupportMode, void *pReserved,
                       QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbConn, const QK_int32 *pDbfileVersion,
                       QK_int64 fid, const tav_user_identity *pIdentity, const char *pszDbfile, const char *pszFilter,
                       const QK_vhash *pFilterBase, const char *pszBodyPath, const char *pszHash,
                       tav_baseline *pBaseline, int bNrp, const char *pszTempDir, tav_pkg *pResponse, int *pStatus,
                       int *pProtocolCode, QK_string **ppMessage, char **ppszProtocolMessage, int *pPv, QK_int64 *pTxid,
                       QK_int64 *pTxidR) {
  tav_pkg work = {}, followUp = {};
  tav_db_handle *h = NULL;
  QK_varray *pAcl = NULL;
  QK_vhash *pStatusDoc = NULL;
  char szSha1[41];
  QK_uint8 zeroRstamp[16] = {0};
  QK_int32 version = 0;
  QK_int64 baselinePosition = 0;
  int bFound = 0, bAllowed = 0, outcome = 0, bBaselineMissing = 0;
  (void)pReserved;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pBaseline);
  QK_ARG_NOT_NULL(ctx, pResponse);
  QK_ARG_NOT_NULL(ctx, pStatus);
  QK_ARG_NOT_NULL(ctx, pProtocolCode);
  QK_ARG_NOT_NULL(ctx, ppszProtocolMessage);
  QK_ARG_NOT_NULL(ctx, pPv);
  QK_ARG_NOT_NULL(ctx, pszHash);
  if (pDbConn == NULL) pDbConn = pConfigConn;
  QK_TRY(ctx, tav_dbfile__validate_name(ctx, pszDbfile));
  QK_TRY(ctx, tav_respond__dbfile_version(ctx, ops, pConfigConn, pszDbfile, pDbfileVersion, &bFound, &version));
  if (bFound && version != TAV_DBFILE_FORMAT_VERSION) {
    if (ppMessage != NULL) {
      QK_string__free(ctx, *ppMessage);
      *ppMessage = NULL;
      QK_TRY(ctx, QK_string__alloc__format(ctx, ppMessage,
                                           version < TAV_DBFILE_FORMAT_VERSION ? TEXT_OLD_FORMAT : TEXT_NEWER_FORMAT,
                                           pszDbfile));
    }
    *pProtocolCode = TAV_PROTO_CONFIGURATION;
    goto done;
  }
  *pStatus = 200;
  if (!bFound) {
    *pProtocolCode = TAV_PROTO_NO_PERMISSION;
    goto done;
  }

  QK_TRY(ctx, unpack_upload(ctx, pszTempDir, pszBodyPath, &work));
  QK_TRY(ctx, tav_sha1__file(ctx, work.path, szSha1));
  if (strcmp(szSha1, pszHash) != 0) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "hash doesn't match");

  QK_TRY(ctx, tav_respond__get_acl(ctx, ops, pDbConn, pszDbfile, &pAcl));
  QK_TRY(ctx, tav_respond__check_dbfile_permission(ctx, "pull", pAcl, pIdentity, &bAllowed));
  if (!bAllowed) {
    *pProtocolCode = TAV_PROTO_NO_PERMISSION;
    goto done;
  }
  QK_TRY(ctx, ops->handle_alloc(ctx, pDbConn, pszDbfile, &h));
  /* Audit rows belong in the configuration database, wherever the dbfile's tables live. */
  if (pConfigConn != pDbConn) h->config_conn = pConfigConn;
  if (pBaseline->txid > 0) QK_TRY(ctx, ops->purge_ipklog(ctx, h, pBaseline->txid, fid));

  tav_respond__read_pushed_package(ctx, ops, h, pAcl, pIdentity, fid, &work, &outcome, pProtocolCode, pPv,
                                   &bBaselineMissing, &baselinePosition, pTxid, pTxidR, ppMessage);
  refuse_unreadable_package(ctx);
  QK_CHECK(ctx);
  if (*pProtocolCode != 0) goto done;
  QK_TRY(ctx, tav_pkg__close(ctx, &work));
  QK_TRY(ctx, enable_cancel(ctx));

  if (!bBaselineMissing && bNrp && *pPv < 4) {
    QK_TRY(ctx, tav_respond__write_rebased_response(ctx, pszTempDir, pResponse));
    *pStatus = 200;
    goto done;
  }
  if (!bBaselineMissing && !bNrp) {
    if (pBaseline->txid == BASELINE_TXID_UNKNOWN) pBaseline->txid = baselinePosition;
    QK_TRY(ctx, tav_respond__run_with_retry(ctx, ops, h, *pPv, 1, pIdentity, pszFilter, pFilterBase,
                                            outcome == TAV_PUSH_OUTCOME_RECOVERED, pBaseline, zeroRstamp, pszTempDir,
                                            &followUp, &pStatusDoc, pProtocolCode, ppMessage));
    if (*pProtocolCode != 0) goto done;
    if (pStatusDoc == NULL) {
      /* The delta turns the exact bytes the client holds into the follow-up. */
      QK_TRY(ctx, ensure_follow_up(ctx, pszTempDir, *pPv, &followUp));
      QK_TRY(ctx, unpack_upload(ctx, pszTempDir, pszBodyPath, &work));
      QK_TRY(ctx, tav_respond__write_delta_response(ctx, pszTempDir, work.path, followUp.path, pResponse));
      QK_TRY(ctx, tav_pkg__close(ctx, &work));
      QK_TRY(ctx, tav_pkg__close(ctx, &followUp));
      *pStatus = 200;
      goto done;
    }
  }
  QK_TRY(ctx, status_answer(ctx, ops, h, *pPv, bBaselineMissing,
                            pBaseline->generation > baselinePosition ? pBaseline->generation : baselinePosition,
                            pszTempDir, &pStatusDoc, &followUp, pResponse, pStatus, pProtocolCode, ppMessage));
done:
  if (h != NULL) QK_RELEASE(ctx, ops->handle_free(ctx, &h));
  translate_errors(ctx, pProtocolCode, ppMessage, ppszProtocolMessage);
  name_the_package(ctx, work.path);
  release_work_package(ctx, pszSupportMode, &work);
  QK_RELEASE(ctx, tav_pkg__close(ctx, &followUp));
  QK_RELEASE(ctx, QK_varray__free(ctx, pAcl));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pStatusDoc));
}

/* ---- Reading the query ---- */

static void bad_request(QK_context *ctx, const char *pszText, int *pStatus, char **ppszBody) {
  *pStatus = 400;
  QK_TRY(ctx, QK_strdup(ctx, pszText, ppszBody));
done:;
}

/* The pending error as the answer: 400 for qklib 400 (bad client input), else 500, with the
 * detailed error string as body; the error is cleared. */
static void answer_error(QK_context *ctx, int *pStatus, char **ppszBody) {
  QK_string *pText = NULL;
  *pStatus = QK_context__error_equals(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400)) ? 400 : 500;
  QK_context__error_to_string(ctx, 1, &pText);
  QK_context__reset_error(ctx);
  if (pText != NULL) {
    QK_uint32 len = 0;
    QK_TRY(ctx, QK_string__free_keep_sz(ctx, &pText, ppszBody, &len));
  }
done:;
}

void tav_respond__push_request(QK_context *ctx, const tav_backend_ops *ops, const char *pszSupportMode, void *pReserved,
                               QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbConn,
                               const QK_int32 *pDbfileVersion, const char *pszTempDir, const QK_vhash *pQuery,
                               const QK_vhash *pFilterBase, const char *pszBodyPath, const tav_user_identity *pIdentity,
                               QK_int64 *pTxid, QK_int64 *pTxidR, int *pStatus, tav_pkg *pResponse, char **ppszBody,
                               QK_vhash **ppHeaders, QK_string **ppMessage) {
  tav_baseline baseline = {};
  const char *pszDb = NULL, *pszHash = NULL, *pszFrom = NULL, *pszX = NULL, *pszFilter = NULL, *pszBad = NULL;
  char *pszProtocolMessage = NULL;
  QK_int64 fid = 0;
  int bNrp = 0, protocolCode = 0, pv = 0;
  QK_ARG_NOT_NULL(ctx, pStatus);
  QK_ARG_NOT_NULL(ctx, pResponse);
  QK_ARG_NOT_NULL(ctx, ppszBody);
  QK_ARG_NOT_NULL(ctx, ppHeaders);
  *pStatus = 500;
  *ppszBody = NULL;
  *ppHeaders = NULL;
  if (pQuery == NULL) {
    QK_TRY(ctx, bad_request(ctx, TAV_PROTO_TEXT_NO_QUERY, pStatus, ppszBody));
    goto done;
  }
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "db", &pszDb));
  if (pszDb == NULL) {
    QK_TRY(ctx, bad_request(ctx, TAV_PROTO_TEXT_NO_DB, pStatus, ppszBody));
    goto done;
  }
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "h", &pszHash));
  if (pszHash == NULL) {
    QK_TRY(ctx, bad_request(ctx, TAV_PROTO_TEXT_NO_H, pStatus, ppszBody));
    goto done;
  }
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "from", &pszFrom));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "x", &pszX));
  if (pszFrom != NULL) {
    tav_respond__parse_baseline(ctx, pszFrom, &baseline);
    if (QK_context__error_equals(ctx, TAV_ERR_NUMBER_OUT_OF_RANGE)) {
      QK_context__reset_error(ctx);
      pszBad = TAV_PROTO_TEXT_FROM_OUT_OF_RANGE;
    } else if (QK_context__error_equals(ctx, TAV_ERR_INVALID_BASELINE)) {
      /* A malformed baseline is bad input like every qklib 400 of the push. */
      QK_TRY(ctx, answer_error(ctx, pStatus, ppszBody));
      goto done;
    }
    QK_CHECK(ctx);
  } else if (pszX != NULL) {
    QK_TRY(ctx, tav_respond__read_push_x(ctx, pszX, &baseline, &pszBad));
  }
  if (pszBad == NULL) QK_TRY(ctx, tav_respond__read_filter_base(ctx, pFilterBase, &pszBad));
  if (pszBad != NULL) {
    QK_TRY(ctx, bad_request(ctx, pszBad, pStatus, ppszBody));
    goto done;
  }
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pQuery, "fid", &fid));
  QK_TRY(ctx, QK_vhash__has(ctx, pQuery, "nrp", &bNrp));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "filter", &pszFilter));

  *pStatus = 200;
  tav_respond__push(ctx, ops, pszSupportMode, pReserved, pConfigConn, pDbConn, pDbfileVersion, fid, pIdentity, pszDb,
                    pszFilter, pFilterBase, pszBodyPath, pszHash, &baseline, bNrp, pszTempDir, pResponse, pStatus,
                    &protocolCode, ppMessage, &pszProtocolMessage, &pv, pTxid, pTxidR);
  if (QK_context__error_equals(ctx, QK_ERR_CANCELLED)) QK_CHECK(ctx);
  if (QK_context__has_error(ctx)) {
    QK_RELEASE(ctx, tav_pkg__close(ctx, pResponse));
    QK_TRY(ctx, answer_error(ctx, pStatus, ppszBody));
    goto done;
  }
  if (protocolCode != 0) {
    QK_TRY(ctx, tav_pkg__close(ctx, pResponse));
    QK_TRY(ctx, tav_respond__answer_protocol_code(ctx, 1, protocolCode, pv, pszDb, pszProtocolMessage, pStatus,
                                                  ppHeaders, ppszBody));
  }
done:
  QK_free(ctx, pszProtocolMessage);
  QK_RELEASE(ctx, tav_baseline__free_collections(ctx, &baseline));
}

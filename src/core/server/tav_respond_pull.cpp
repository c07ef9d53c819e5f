/* The pull: reading its query, the pull core, the retried transaction and the status
 * document written into response packages. */
#include "server/tav_respond_pull.h"

#include <stdint.h>
#include <string.h>

#include <sqlite3.h>

#include "common/tav_filter.h"
#include "common/tav_utils.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_str_utils.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts_download.h"
#include "server/tav_respond.h"

/* ---- Status document ---- */

static const char s_status_row_sql[] = "INSERT INTO p$tx (scheme, txid) VALUES ('HTTP 244', ?)";
static const char s_status_header_sql[] = "UPDATE p$gen SET id = ? WHERE generation = 0";
static const char s_tx_table_exists_sql[] =
    "SELECT EXISTS(SELECT 1 FROM sqlite_master WHERE type='table' and tbl_name='p$tx')";

void tav_respond__write_status_json(QK_context *ctx, const char *pszTempDir, int pv, QK_vhash *pStatusDoc,
                                    tav_pkg *pkg) {
  QK_string *pJson = NULL;
  sqlite3_stmt *pStmt = NULL;
  int bTxForm = pv < 6;
  QK_ARG_NOT_NULL(ctx, pStatusDoc);
  QK_ARG_NOT_NULL(ctx, pkg);
  if (pkg->path == NULL) QK_TRY(ctx, tav_pkg__create(ctx, pszTempDir, pv, pkg));
  QK_ARG_NOT_NULL(ctx, pkg->db);
  /* A version-6 client whose baseline is still a txid is answered in the transaction form
   * (the "245" package, for one): the status row goes where that form keeps it. */
  if (!bTxForm) QK_TRY(ctx, QK_sqlite__one_bool(ctx, pkg->db, &bTxForm, "%s", s_tx_table_exists_sql));
  if (!bTxForm) QK_TRY(ctx, QK_vhash__update__int64(ctx, pStatusDoc, "pv", pv));
  QK_TRY(ctx, QK_sqlite__prepare_printf(ctx, pkg->db, &pStmt, "%s", bTxForm ? s_status_row_sql : s_status_header_sql));
  QK_TRY(ctx, QK_string__alloc(ctx, &pJson));
  QK_TRY(ctx, QK_vhash__to_json(ctx, pStatusDoc, pJson));
  QK_TRY(ctx, QK_sqlite__bind_text(ctx, pStmt, 1, QK_string__sz(pJson)));
  QK_TRY(ctx, QK_sqlite__step_expect(ctx, pStmt, SQLITE_DONE));
  QK_TRY(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_TRY(ctx, QK_sqlite__exec(ctx, pkg->db, "COMMIT TRANSACTION"));
  QK_TRY(ctx, QK_sqlite__close(ctx, &pkg->db));
done:
  QK_RELEASE(ctx, QK_sqlite__finalize(ctx, &pStmt));
  QK_RELEASE(ctx, QK_string__free(ctx, pJson));
}

/* ---- The retried transaction ---- */

static int default_random_byte(void *pData) {
  unsigned char b = 0;
  (void)pData;
  sqlite3_randomness(1, &b);
  return b;
}

static void default_sleep_ms(void *pData, QK_uint32 ms) {
  (void)pData;
  QK_sleep_ms((int)ms);
}

static const tav_retry_pacing s_default_pacing = {default_random_byte, default_sleep_ms, NULL};

void tav_respond__retry_pause(const tav_retry_pacing *pPacing, int attempt) {
  if (pPacing == NULL) pPacing = &s_default_pacing;
  pPacing->sleep_ms(pPacing->pData, (QK_uint32)attempt * (QK_uint32)pPacing->random_byte(pPacing->pData) * 4u);
}

void tav_respond__run_with_retry_paced(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                                       int push_mode, const tav_user_identity *pIdentity, const char *pszFilter,
                                       const QK_vhash *pFilterBase, int full_resend, tav_baseline *pBaseline,
                                       const QK_uint8 *pPendingRstamp, const char *pszTempDir, tav_pkg *pkg,
                                       QK_vhash **ppStatusDoc, int *pProtocolCode, QK_string **ppMessage,
                                       const tav_retry_pacing *pPacing) {
  tav_filter *pFilter = NULL, *pPrevFilter = NULL;
  QK_int64 clientFilterId = 0, filterTxid = 0, exportGeneration = 0;
  int attempt = 0, bOpen = 0, bUnknownPrev = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pkg);
  QK_ARG_NOT_NULL(ctx, ppStatusDoc);
  QK_ARG_NOT_NULL(ctx, pProtocolCode);
  if (pszFilter != NULL) QK_TRY(ctx, QK_int64__parse(ctx, &clientFilterId, pszFilter));
  for (;;) {
    int bDeadlock = 0;
    exportGeneration = 0;
    ops->begin_tx(ctx, h, &exportGeneration);
    if (QK_context__has_error(ctx)) goto attempt_failed;
    /* Begun: whatever fails from here leaves a transaction to end. */
    bOpen = 1;
    if (pPrevFilter != pFilter) tav_filter__free(ctx, &pPrevFilter);
    pPrevFilter = NULL;
    tav_filter__free(ctx, &pFilter);
    tav_respond__get_filter(ctx, ops, h, pIdentity, &pFilter, &filterTxid);
    if (QK_context__has_error(ctx)) goto attempt_failed;
    bUnknownPrev = 0;
    if (clientFilterId != (pFilter != NULL ? pFilter->filter_id : 0)) {
      ops->get_filter(ctx, h, clientFilterId, pIdentity != NULL ? pIdentity->name : NULL, &pPrevFilter);
      if (QK_context__has_error(ctx)) goto attempt_failed;
      /* A filter deleted since the client's data was built with it tells nothing of which
       * tables, columns and rows the client holds: it gets everything again. */
      bUnknownPrev = clientFilterId != 0 && pPrevFilter == NULL;
    } else {
      pPrevFilter = pFilter;
    }
    QK_TRY(ctx, tav_pkg__close(ctx, pkg));
    QK_vhash__free(ctx, *ppStatusDoc);
    *ppStatusDoc = NULL;
    tav_export__package(ctx, pszTempDir, ops, h, pv, push_mode, full_resend || bUnknownPrev, pBaseline,
                        exportGeneration, pPendingRstamp, pFilter, pPrevFilter, pFilterBase, filterTxid, pkg,
                        ppStatusDoc);
    if (QK_context__has_error(ctx)) goto attempt_failed;
    QK_TRY(ctx, ops->commit_tx(ctx, h));
    bOpen = 0;
    *pProtocolCode = 0;
    goto done;
  attempt_failed:
    QK_context__add_frame(ctx, __FILE__, __LINE__);
    bDeadlock = QK_context__error_equals(ctx, QK_ERR_DEADLOCK_VICTIM);
    if (!bDeadlock && !QK_context__error_equals(ctx, QK_ERR_BUSY_RETRY)) goto done;
    attempt++;
    if (attempt >= TAV_RETRY_MAX_ATTEMPTS) {
      tav_respond__take_error_text(ctx, NULL, ppMessage);
      QK_context__reset_error(ctx);
      *pProtocolCode = TAV_PROTO_BUSY;
      goto done;
    }
    QK_context__reset_error(ctx);
    /* SQL Server has already rolled back the transaction of a deadlock victim. */
    if (bOpen && !bDeadlock) QK_TRY(ctx, ops->rollback_tx(ctx, h));
    bOpen = 0;
    tav_respond__retry_pause(pPacing, attempt);
  }
done:
  if (QK_context__error_equals(ctx, QK_ERR_SERVER_MISCONFIGURATION)) {
    tav_respond__take_error_text(ctx, TAV_PROTO_TEXT_MISCONFIGURATION_HINT, ppMessage);
    QK_context__reset_error(ctx);
    *pProtocolCode = TAV_PROTO_CONFIGURATION;
  } else if (QK_context__error_equals(ctx, TAV_ERR_BASELINE_PURGED)) {
    QK_context__reset_error(ctx);
    *pProtocolCode = TAV_PROTO_PURGED;
  }
  if (bOpen) QK_RELEASE(ctx, ops->rollback_tx(ctx, h));
  if (pPrevFilter != pFilter) QK_RELEASE(ctx, tav_filter__free(ctx, &pPrevFilter));
  QK_RELEASE(ctx, tav_filter__free(ctx, &pFilter));
}

void tav_respond__run_with_retry(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                                 int push_mode, const tav_user_identity *pIdentity, const char *pszFilter,
                                 const QK_vhash *pFilterBase, int full_resend, tav_baseline *pBaseline,
                                 const QK_uint8 *pPendingRstamp, const char *pszTempDir, tav_pkg *pkg,
                                 QK_vhash **ppStatusDoc, int *pProtocolCode, QK_string **ppMessage) {
  QK_TRY(ctx, tav_respond__run_with_retry_paced(ctx, ops, h, pv, push_mode, pIdentity, pszFilter, pFilterBase,
                                                full_resend, pBaseline, pPendingRstamp, pszTempDir, pkg, ppStatusDoc,
                                                pProtocolCode, ppMessage, NULL));
done:;
}

/* ---- The pull core ---- */

/* A stamp-only package in a transaction of its own, without retry. */
static void stamp_package_in_tx(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, int pv,
                                QK_int64 txid, const QK_uint8 *rstamp, QK_int64 rebaseid, int *pbNotClone,
                                const char *pszTempDir, tav_pkg *pkg, int *pbOpen) {
  QK_TRY(ctx, ops->begin_tx(ctx, h, NULL));
  *pbOpen = 1;
  QK_TRY(ctx, tav_export__rstamp_package(ctx, ops, h, pv, txid, rstamp, rebaseid, pbNotClone, pszTempDir, pkg));
  QK_TRY(ctx, ops->commit_tx(ctx, h));
  *pbOpen = 0;
done:;
}

void tav_respond__pull(QK_context *ctx, const tav_backend_ops *ops, QK_mssql_connection *pConfigConn,
                       QK_mssql_connection *pDbConn, const QK_int32 *pDbfileVersion, int pv,
                       const tav_user_identity *pIdentity, QK_int64 fid, const char *pszDbfile, const char *pszFilter,
                       const QK_vhash *pFilterBase, int bRstamps, tav_baseline *pBaseline,
                       const QK_uint8 *pPendingRstamp, const char *pszTempDir, int *pStatus, tav_pkg *pResponse,
                       int *pProtocolCode, QK_string **ppMessage) {
  tav_pkg pkg = {};
  tav_db_handle *h = NULL;
  QK_varray *pAcl = NULL;
  QK_vhash *pStatusDoc = NULL;
  QK_int32 version = 0;
  QK_uint8 zeroRstamp[16] = {0};
  int bFound = 0, bAllowed = 0, bOpen = 0, bHasBaseline = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, pBaseline);
  QK_ARG_NOT_NULL(ctx, pStatus);
  QK_ARG_NOT_NULL(ctx, pResponse);
  QK_ARG_NOT_NULL(ctx, pProtocolCode);
  if (pDbConn == NULL) pDbConn = pConfigConn;
  QK_TRY(ctx, tav_dbfile__validate_name(ctx, pszDbfile));
  QK_TRY(ctx, tav_respond__dbfile_version(ctx, ops, pConfigConn, pszDbfile, pDbfileVersion, &bFound, &version));
  if (bFound && version != TAV_DBFILE_FORMAT_VERSION) {
    if (ppMessage != NULL) {
      QK_string__free(ctx, *ppMessage);
      *ppMessage = NULL;
      QK_TRY(ctx, QK_string__alloc__format(
                      ctx, ppMessage,
                      version > TAV_DBFILE_FORMAT_VERSION
                          ? "The DBFile '%s' is in a format that is newer than this version of Tavrin Server "
                            "supports.\nThe Tavrin Server must be upgraded."
                          : "The DBFile '%s' is in an old format. Please use the latest QVS Manager to upgrade the "
                            "DBFile.",
                      pszDbfile));
    }
    *pProtocolCode = TAV_PROTO_CONFIGURATION;
    goto done;
  }
  *pStatus = 200;
  bHasBaseline = pBaseline->generation > 0 || pBaseline->txid > 0;
  if (!bFound) {
    /* The dbfile left the registry after the host looked it up. */
    if (bHasBaseline && !bRstamps && pv >= 4) {
      QK_TRY(ctx, QK_vhash__alloc(ctx, &pStatusDoc));
      QK_TRY(ctx, QK_vhash__add__string(ctx, pStatusDoc, "first-rstamp", "00000000000000000000000000000000"));
    } else if (!bHasBaseline && !bRstamps) {
      *pProtocolCode = TAV_PROTO_DBFILE_NOT_FOUND;
      goto done;
    } else {
      if (!QK_guid__is_zero(pBaseline->rstamp) || pBaseline->txid > 0) *pStatus = 244;
      QK_TRY(ctx, tav_export__rstamp_package(ctx, ops, NULL, pv, 0, zeroRstamp, 0, NULL, pszTempDir, &pkg));
    }
  } else {
    QK_TRY(ctx, tav_respond__get_acl(ctx, ops, pDbConn, pszDbfile, &pAcl));
    QK_TRY(ctx, tav_respond__check_dbfile_permission(ctx, "pull", pAcl, pIdentity, &bAllowed));
    if (!bAllowed) {
      *pProtocolCode = TAV_PROTO_NO_PERMISSION;
      goto done;
    }
    QK_TRY(ctx, ops->handle_alloc(ctx, pDbConn, pszDbfile, &h));
    if (pBaseline->txid > 0) QK_TRY(ctx, ops->purge_ipklog(ctx, h, pBaseline->txid, fid));
    if (!bRstamps) {
      QK_TRY(ctx, tav_respond__run_with_retry(ctx, ops, h, pv, 0, pIdentity, pszFilter, pFilterBase, 0, pBaseline,
                                              pPendingRstamp, pszTempDir, &pkg, &pStatusDoc, pProtocolCode,
                                              ppMessage));
      if (*pProtocolCode != 0) goto done;
    }
    if (pStatusDoc != NULL && pv < 4) {
      /* Old clients read no status document: a stamp package tells them to start over. */
      *pStatus = 244;
      QK_vhash__free(ctx, pStatusDoc);
      pStatusDoc = NULL;
      QK_TRY(ctx, tav_pkg__close(ctx, &pkg));
      QK_TRY(ctx, stamp_package_in_tx(ctx, ops, h, pv, 0, zeroRstamp, 0, NULL, pszTempDir, &pkg, &bOpen));
    } else if (bRstamps) {
      int bNotClone = 0;
      QK_TRY(ctx, stamp_package_in_tx(ctx, ops, h, pv, pBaseline->txid, pBaseline->rstamp, pBaseline->rebaseid,
                                      &bNotClone, pszTempDir, &pkg, &bOpen));
      if (bNotClone) *pStatus = 244;
    }
    QK_TRY(ctx, ops->handle_free(ctx, &h));
  }
  if (pStatusDoc != NULL) {
    *pStatus = 244;
    if (pkg.path != NULL) {
      QK_int64 missing = 0;
      QK_TRY(ctx, QK_vhash__check__int64(ctx, pStatusDoc, "missing-tx-count", &missing));
      *pStatus = missing >= 1 ? 245 : 246;
    }
    QK_TRY(ctx, tav_respond__write_status_json(ctx, pszTempDir, pv, pStatusDoc, &pkg));
  }
  if (pkg.path != NULL) {
    QK_TRY(ctx, tav_respond__compress_response(ctx, pszTempDir, pkg.path, pResponse));
    QK_TRY(ctx, tav_pkg__close(ctx, &pkg));
  }
done:
  if (bOpen && h != NULL) QK_RELEASE(ctx, ops->rollback_tx(ctx, h));
  if (ops != NULL) QK_RELEASE(ctx, ops->handle_free(ctx, &h));
  QK_RELEASE(ctx, QK_varray__free(ctx, pAcl));
  QK_RELEASE(ctx, tav_pkg__close(ctx, &pkg));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pStatusDoc));
}

/* ---- Reading the query ---- */

/* A 400 answer with its text; not an error. */
static void bad_request(QK_context *ctx, const char *pszText, int *pStatus, char **ppszBody) {
  *pStatus = 400;
  QK_TRY(ctx, QK_strdup(ctx, pszText, ppszBody));
done:;
}

void tav_respond__pull_request(QK_context *ctx, const tav_backend_ops *ops, QK_mssql_connection *pConfigConn,
                               QK_mssql_connection *pDbConn, const QK_int32 *pDbfileVersion, const char *pszTempDir,
                               const QK_vhash *pQuery, const QK_vhash *pFilterBase, const tav_user_identity *pIdentity,
                               int *pStatus, tav_pkg *pResponse, char **ppszBody, QK_vhash **ppHeaders,
                               QK_string **ppMessage) {
  tav_baseline baseline = {};
  QK_uint8 pending[16] = {0};
  const char *pszDb = NULL, *pszFrom = NULL, *pszX = NULL, *pszFirst = NULL, *pszPending = NULL;
  const char *pszFilter = NULL, *pszPv = NULL, *pszBad = NULL;
  QK_int64 fid = 0;
  int bRstamps = 0, protocolCode = 0, pv = TAV_PROTO_DEFAULT_PV;
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
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "from", &pszFrom));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "x", &pszX));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "first", &pszFirst));
  if (pszFrom != NULL) {
    tav_respond__parse_baseline(ctx, pszFrom, &baseline);
    /* A malformed string stays an error; a number no server could have is refused. */
    if (QK_context__error_equals(ctx, TAV_ERR_NUMBER_OUT_OF_RANGE)) {
      QK_context__reset_error(ctx);
      pszBad = TAV_PROTO_TEXT_FROM_OUT_OF_RANGE;
    }
    QK_CHECK(ctx);
  } else if (pszX != NULL) {
    QK_TRY(ctx, tav_respond__read_pull_x(ctx, pszX, &baseline, &pszBad));
  } else if (pszFirst != NULL) {
    QK_TRY(ctx, tav_respond__read_pull_first(ctx, pszFirst, &baseline, &pszBad));
  }
  if (pszBad == NULL) {
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "pending", &pszPending));
    if (pszPending != NULL) QK_TRY(ctx, tav_respond__read_pending(ctx, pszPending, pending, &pszBad));
  }
  if (pszBad == NULL) QK_TRY(ctx, tav_respond__read_filter_base(ctx, pFilterBase, &pszBad));
  if (pszBad != NULL) {
    QK_TRY(ctx, bad_request(ctx, pszBad, pStatus, ppszBody));
    goto done;
  }
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pQuery, "fid", &fid));
  QK_TRY(ctx, QK_vhash__has(ctx, pQuery, "rstamps", &bRstamps));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "filter", &pszFilter));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "pv", &pszPv));
  QK_TRY(ctx, tav_respond__read_pv(ctx, pszPv, &pv, &pszBad));
  if (pszBad != NULL) {
    QK_TRY(ctx, bad_request(ctx, pszBad, pStatus, ppszBody));
    goto done;
  }

  *pStatus = 200;
  QK_TRY(ctx, tav_respond__pull(ctx, ops, pConfigConn, pDbConn, pDbfileVersion, pv, pIdentity, fid, pszDb, pszFilter,
                                pFilterBase, bRstamps, &baseline, pending, pszTempDir, pStatus, pResponse,
                                &protocolCode, ppMessage));
  if (protocolCode != 0) {
    QK_TRY(ctx, tav_pkg__close(ctx, pResponse));
    QK_TRY(ctx, tav_respond__answer_protocol_code(ctx, 0, protocolCode, pv, pszDb, NULL, pStatus, ppHeaders,
                                                  ppszBody));
  } else if (pResponse->path == NULL) {
    *pStatus = 304;
  } else {
    QK_VERIFY(ctx, *ppszBody == NULL);
  }
done:
  QK_RELEASE(ctx, tav_baseline__free_collections(ctx, &baseline));
}

/* Recovery of rolled-back client data during a push. */
#include "server/tav_handle_conflicts_recover.h"

#include <string.h>

#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_handle_conflicts_push.h"
#include "server/tav_handle_conflicts_resolve.h"

static const char SAVEPOINT_SQL[] = "SAVEPOINT before_recovery_muckup";
static const char ROLLBACK_SAVEPOINT_SQL[] = "ROLLBACK TO SAVEPOINT before_recovery_muckup";
static const char CLEAR_DELTAS_SQL[] = "DELETE FROM \"p$rd$%s\"";
static const char KEEP_LISTED_GENERATIONS_SQL[] =
    "DELETE FROM \"p$u$%s\" WHERE z_gen_add NOT IN (SELECT generation FROM p$gen)";
static const char HAS_AUDIT_SQL[] = "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE type='table' AND name='p$audit')";

/* The recovery set is the store's staging document. */
static QK_vhash *set_document(struct tav_recovery_set *recovery_set) {
  return reinterpret_cast<QK_vhash *>(recovery_set);
}

static void replay(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                   tav_filter *filter, struct tav_recovery_set *recovery_set, sqlite3 *db, int *pbProbe,
                   int *pbRejected, int *pbPurged, QK_int64 *pTxid) {
  QK_vhash *pSet = set_document(recovery_set);
  QK_vhash *pOwn = NULL;
  QK_varray *pKeys = NULL;
  QK_uint32 count = 0;
  int bAudit = 0;
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pSet, TAV_RECOVERY_SET_OWN_KEY, &pOwn));
  QK_TRY(ctx, ops->new_txid(ctx, h, pTxid));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pOwn, "txid", *pTxid));
  /* Settling a table may remove its key from the set, so walk a copy of the keys. */
  QK_TRY(ctx, QK_varray__alloc(ctx, &pKeys));
  QK_TRY(ctx, QK_vhash__count(ctx, pSet, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *key = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pSet, i, &key, NULL));
    QK_TRY(ctx, QK_varray__append__string(ctx, pKeys, key));
  }
  for (QK_uint32 i = 0; i < count; i++) {
    const char *tbl_id = NULL;
    int bStill = 0;
    QK_TRY(ctx, QK_varray__get__sz(ctx, pKeys, i, &tbl_id));
    if (strcmp(tbl_id, TAV_RECOVERY_SET_OWN_KEY) == 0) continue;
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, CLEAR_DELTAS_SQL, tbl_id));
    QK_TRY(ctx, QK_sqlite__exec_printf(ctx, db, KEEP_LISTED_GENERATIONS_SQL, tbl_id));
    QK_TRY(ctx, tav_conflict__resolve_table(ctx, ops, h, defin, recovery_set, db, tbl_id, pbRejected, pbPurged));
    if (*pbRejected || *pbPurged) goto done;
    if (pbProbe != NULL) {
      QK_TRY(ctx, QK_vhash__has(ctx, pSet, tbl_id, &bStill));
      if (bStill) {
        *pbProbe = 1;
        goto done;
      }
    }
  }
  QK_TRY(ctx, ops->import_recovered(ctx, h, defin, filter, recovery_set, db));
  QK_TRY(ctx, QK_sqlite__one_bool(ctx, db, &bAudit, "%s", HAS_AUDIT_SQL));
  if (bAudit) QK_TRY(ctx, tav_push__import_audit_rows(ctx, ops, h, db, *pTxid));
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pKeys));
}

void tav_push__recover(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                       tav_filter *filter, struct tav_recovery_set *recovery_set, sqlite3 *db, int *pbProbe,
                       int *pbRejected, int *pbPurged, QK_int64 *pTxid) {
  QK_int64 txid = 0;
  int bSavepoint = 0;
  QK_ARG_NOT_NULL(ctx, ops);
  QK_ARG_NOT_NULL(ctx, recovery_set);
  QK_ARG_NOT_NULL(ctx, db);
  QK_ARG_NOT_NULL(ctx, pbRejected);
  QK_ARG_NOT_NULL(ctx, pbPurged);
  if (pbProbe != NULL) *pbProbe = 0;
  QK_TRY(ctx, QK_sqlite__exec(ctx, db, SAVEPOINT_SQL));
  bSavepoint = 1;
  QK_TRY(ctx, replay(ctx, ops, h, defin, filter, recovery_set, db, pbProbe, pbRejected, pbPurged, &txid));
  bSavepoint = 0;
  QK_TRY(ctx, QK_sqlite__exec(ctx, db, ROLLBACK_SAVEPOINT_SQL));
  if (pTxid != NULL) *pTxid = txid;
done:
  if (bSavepoint) QK_RELEASE(ctx, QK_sqlite__exec(ctx, db, ROLLBACK_SAVEPOINT_SQL));
}

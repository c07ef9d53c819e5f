/* Recovery during a push: a generation client whose earlier pushes the server rolled back
 * (it was restored to an older state) sends that history again; the store records it and
 * works out which changes can come back (the recovery set), and this replays them onto the
 * server under a new transaction, settled by the normal conflict rules. */
#ifndef TAV_HANDLE_CONFLICTS_RECOVER_H
#define TAV_HANDLE_CONFLICTS_RECOVER_H

#include <sqlite3.h>

#include "common/tav_filter.h"
#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "server/tav_db_mssql.h"

/* The key of the recovery set's own entry; every other key is a table id with rows to bring
 * back. */
#define TAV_RECOVERY_SET_OWN_KEY "z$*"

/* Replays the recoverable changes inside a package savepoint that is always rolled back, so
 * the package comes out unchanged while the server's changes stay in the caller's
 * transaction. With probe given nothing is imported: *pbProbe becomes 1 when something would
 * be. The flags are only ever set to 1; txid (opt) gets the recovery's transaction. */
void tav_push__recover(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                       tav_filter *filter, struct tav_recovery_set *recovery_set, sqlite3 *db, int *pbProbe,
                       int *pbRejected, int *pbPurged, QK_int64 *pTxid);

#endif

/* Recovery of rolled-back client data. When the server was restored to an earlier point, a
 * generation client can still hold generations the server lost: its rolled-back timeline,
 * which it sends with its next push. The store keeps every such timeline in the dbfile's
 * recovery tables ($r$gen, $r$rv$, $r$old$ and $r$recovered$, whose marks say per version and
 * column whether a value was brought back: NULL not recorded, 0 recorded, else the txid that
 * brought it back), rebuilds each rolled-back row against the server's current state, and
 * imports what can come back under a recovery transaction through the push import.
 *
 * The recovery set is an import state (see tav_db_mssql_import.h) with one more member,
 * TAV_RECOVERY_SET_OWN_KEY: {"ttable_timeline", "restore point" and, set by the caller
 * before the rebuild, "txid" (the recovery transaction)}. Every other member is a table id
 * with "ttable_records" (the rolled-back rows) and "cols_in_pkg_u"; staging adds the rest.
 * A table whose rows need no recovery leaves the set during the rebuild. */
#ifndef TAV_DB_MSSQL_RECOVERY_H
#define TAV_DB_MSSQL_RECOVERY_H

#include <sqlite3.h>

#include "common/tav_filter.h"
#include "common/tav_parse_defin.h"
#include "qk/qk_varray.h"
#include "server/tav_db_mssql.h"

/* The member of a recovery set that is not a table. */
#define TAV_RECOVERY_SET_OWN_KEY "z$*"

/* The recovery set as the document it is. */
static inline QK_vhash *tav_recovery_set__vhash(struct tav_recovery_set *pSet) {
  return reinterpret_cast<QK_vhash *>(pSet);
}
/* Frees a recovery set; NULL is accepted and the pointer is cleared. */
void tav_recovery_set__free(QK_context *ctx, struct tav_recovery_set **ppSet);

/* Records the rolled-back timeline of a version-6 package (its p$gen rows above the baseline
 * and their row versions) and hands out the recovery set. With pbNewData (probe) it only
 * finds out whether the package adds anything to the recovery tables: when it does, new data
 * is 1, every write is rolled back to a savepoint and no set is handed out; otherwise it is 0
 * and the set is handed out as without probe. Runs inside the caller's transaction. */
void tav_db_mssql__record_recovery_timeline(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                                            int *pbNewData, struct tav_recovery_set **ppSet);
/* One table of the above: its rows of generations 1 to lastGeneration go into a rec temp
 * table and the recovery tables; a value once recorded for a version stays. */
void tav_db_mssql__record_recovery_rows(QK_context *ctx, tav_db_handle *h, tav_defin *psk, sqlite3 *pPkgDb,
                                        QK_int64 lastGeneration, const char *pszTblId, struct tav_recovery_set *pSet,
                                        int *pbNewData);
/* Rebuilds one table's rolled-back rows against the server: claims their recorded values for
 * the set's txid, writes a package delta (p$rd$<id>, placeholder txid) for each row to bring
 * back, and lists as conflict entries the rows the server changed after the restore point
 * ("rec_add": the rolled-back values, "rec_del": the base when it was rebuilt from values
 * brought back earlier). With no delta the table leaves the set; otherwise p$u$<id> is
 * emptied (the rows live on in the rec table). Entries NULL when none. */
void tav_db_mssql__rebuild_rolled_back_rows(QK_context *ctx, tav_db_handle *h, const char *pszTblId,
                                            sqlite3 *pPkgDb, struct tav_recovery_set *pSet, tav_defin *psk,
                                            QK_varray **ppEntries);
/* One delta through the prepared package insert (rid, txid_rec_add, txid_rec_del): a delete
 * needs the txid it deletes; txidRecDel 0 binds NULL. rowid (opt): the new row's rowid. */
void tav_db_mssql__add_recovery_delta(QK_context *ctx, sqlite3_stmt *pInsert, sqlite3_value *pRid,
                                      QK_int64 txidRecDel, int bDelete, QK_int64 *pRowid);
/* Imports what the rebuild left in the set (package rows replace rebuilt ones) under the
 * set's txid. */
void tav_db_mssql__import_recovered(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter,
                                    struct tav_recovery_set *pSet, sqlite3 *pPkgDb);

#endif

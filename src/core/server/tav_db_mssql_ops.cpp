/* The store's operations table: the one instance through which the sync engine and the host
 * reach SQL Server. */
#include "server/tav_db_mssql.h"
#include "server/tav_db_mssql_acl.h"
#include "server/tav_db_mssql_audit.h"
#include "server/tav_db_mssql_baseline.h"
#include "server/tav_db_mssql_export.h"
#include "server/tav_db_mssql_import.h"
#include "server/tav_db_mssql_recovery.h"
#include "server/tav_db_mssql_rules.h"
#include "server/tav_db_mssql_salvage.h"
#include "server/tav_db_mssql_schema.h"

const tav_backend_ops g_mssql_backend_ops = {
    /* 0 */ tav_db_mssql__open,
    /* 1 */ tav_db_mssql__close,
    /* 2 */ tav_db_mssql__lookup_dbfile,
    /* 3 */ tav_db_mssql__handle_alloc,
    /* 4 */ tav_db_mssql__handle_free,
    /* 5 */ tav_db_mssql__old_table_exists,
    /* 6 */ tav_db_mssql__begin_tx,
    /* 7 */ tav_db_mssql__set_low_deadlock_priority,
    /* 8 */ tav_db_mssql__commit_tx,
    /* 9 */ tav_db_mssql__rollback_tx,
    /* 10 */ tav_db_mssql__purge_ipklog,
    /* 11 */ tav_db_mssql__get_history_purge_generation,
    /* 12 */ tav_db_mssql__get_table_purged,
    /* 13 */ tav_db_mssql__generation_exists,
    /* 14 */ tav_db_mssql__find_tx_by_rstamp,
    /* 15 */ tav_db_mssql__get_tx_info,
    /* 16 */ tav_db_mssql__get_max_txid,
    /* 17 */ tav_db_mssql__count_txids,
    /* 18 */ tav_db_mssql__export_txids,
    /* 19 */ tav_db_mssql__get_utc_date,
    /* 20 */ tav_db_mssql__get_fk_constraint_list_txid,
    /* 21 */ tav_db_mssql__export_generations,
    /* 22 */ tav_db_mssql__export_meta_table,
    /* 23 */ tav_db_mssql__export_table,
    /* 24 */ tav_db_mssql__export_column_dump,
    /* 25 */ tav_db_mssql__txid_outside_filter,
    /* 26 */ tav_db_mssql__table_has_changes,
    /* 27 */ tav_db_mssql__record_recovery_timeline,
    /* 28 */ tav_db_mssql__import_audit,
    /* 29 */ tav_db_mssql__lookup_identity_pk,
    /* 30 */ tav_db_mssql__import_push,
    /* 31 */ tav_db_mssql__import_recovered,
    /* 32 */ tav_db_mssql__handle_baseline_purged,
    /* 33 */ tav_db_mssql__get_dbfile_rule,
    /* 34 */ tav_db_mssql__get_record_rule,
    /* 35 */ tav_db_mssql__get_column_rule,
    /* 36 */ tav_db_mssql__get_uniqify_fn,
    /* 37 */ tav_db_mssql__get_latest_row_version,
    /* 38 */ tav_db_mssql__find_row_by_unique_key,
    /* 39 */ tav_db_mssql__fetch_row_version,
    /* 40 */ tav_db_mssql__salvage,
    /* 41 */ tav_db_mssql__get_acl,
    /* 42 */ tav_db_mssql__get_filter,
    /* 43 */ tav_db_mssql__get_user_filters,
    /* 44 */ tav_db_mssql__lookup_user,
    /* 45 */ tav_db_mssql__fetch_schema,
    /* 46 */ tav_db_mssql__log_request,
    /* 47 */ tav_db_mssql__new_txid,
    /* 48 */ tav_db_mssql__dump_rows,
};

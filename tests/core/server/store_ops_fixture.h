// An operations table filled with the SQL Server store's operations that exist so far, for
// tests of the sync engine that run against the store and its stand-in.
#pragma once

#include "server/tav_db_mssql.h"
#include "server/tav_db_mssql_acl.h"
#include "server/tav_db_mssql_export.h"
#include "server/tav_db_mssql_schema.h"

inline tav_backend_ops store_ops() {
  tav_backend_ops o = {};
  o.open = tav_db_mssql__open;
  o.close = tav_db_mssql__close;
  o.lookup_dbfile = tav_db_mssql__lookup_dbfile;
  o.handle_alloc = tav_db_mssql__handle_alloc;
  o.handle_free = tav_db_mssql__handle_free;
  o.old_table_exists = tav_db_mssql__old_table_exists;
  o.begin_tx = tav_db_mssql__begin_tx;
  o.set_low_deadlock_priority = tav_db_mssql__set_low_deadlock_priority;
  o.commit_tx = tav_db_mssql__commit_tx;
  o.rollback_tx = tav_db_mssql__rollback_tx;
  o.purge_ipklog = tav_db_mssql__purge_ipklog;
  o.get_history_purge_generation = tav_db_mssql__get_history_purge_generation;
  o.get_table_purged = tav_db_mssql__get_table_purged;
  o.generation_exists = tav_db_mssql__generation_exists;
  o.find_tx_by_rstamp = tav_db_mssql__find_tx_by_rstamp;
  o.get_tx_info = tav_db_mssql__get_tx_info;
  o.get_max_txid = tav_db_mssql__get_max_txid;
  o.count_txids = tav_db_mssql__count_txids;
  o.export_txids = tav_db_mssql__export_txids;
  o.get_utc_date = tav_db_mssql__get_utc_date;
  o.get_fk_constraint_list_txid = tav_db_mssql__get_fk_constraint_list_txid;
  o.export_generations = tav_db_mssql__export_generations;
  o.export_meta_table = tav_db_mssql__export_meta_table;
  o.export_table = tav_db_mssql__export_table;
  o.export_column_dump = tav_db_mssql__export_column_dump;
  o.txid_outside_filter = tav_db_mssql__txid_outside_filter;
  o.table_has_changes = tav_db_mssql__table_has_changes;
  o.get_acl = tav_db_mssql__get_acl;
  o.get_filter = tav_db_mssql__get_filter;
  o.get_user_filters = tav_db_mssql__get_user_filters;
  o.lookup_user = tav_db_mssql__lookup_user;
  o.fetch_schema = tav_db_mssql__fetch_schema;
  o.log_request = tav_db_mssql__log_request;
  o.new_txid = tav_db_mssql__new_txid;
  return o;
}

// The store operations of the push road, added to an operations table for tests of the sync
// engine that push against the store and its stand-in.
#pragma once

#include "server/tav_db_mssql.h"
#include "server/tav_db_mssql_audit.h"
#include "server/tav_db_mssql_baseline.h"
#include "server/tav_db_mssql_import.h"
#include "server/tav_db_mssql_recovery.h"
#include "server/tav_db_mssql_rules.h"
#include "server/tav_db_mssql_salvage.h"

inline void add_push_ops(tav_backend_ops *o) {
  o->get_dbfile_rule = tav_db_mssql__get_dbfile_rule;
  o->get_record_rule = tav_db_mssql__get_record_rule;
  o->get_column_rule = tav_db_mssql__get_column_rule;
  o->get_latest_row_version = tav_db_mssql__get_latest_row_version;
  o->find_row_by_unique_key = tav_db_mssql__find_row_by_unique_key;
  o->fetch_row_version = tav_db_mssql__fetch_row_version;
  o->salvage = tav_db_mssql__salvage;
  o->import_push = tav_db_mssql__import_push;
  o->import_audit = tav_db_mssql__import_audit;
  o->lookup_identity_pk = tav_db_mssql__lookup_identity_pk;
  o->handle_baseline_purged = tav_db_mssql__handle_baseline_purged;
  o->dump_rows = tav_db_mssql__dump_rows;
  o->record_recovery_timeline = tav_db_mssql__record_recovery_timeline;
  o->import_recovered = tav_db_mssql__import_recovered;
}

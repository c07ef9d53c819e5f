// The per-dbfile layout the store expects: bookkeeping tables, procedures,
// backing objects of each synchronised host table and the row-version
// logic, created and maintained as the separate management tool would.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace sqlserver_standin {

// Throws std::invalid_argument unless the name is [a-z0-9_]+ of at most 255 bytes.
void check_dbfile_name(const std::string& dbfile);
// Throws std::invalid_argument when the dbfile has not been created.
void check_dbfile_exists(Session& s, const std::string& dbfile);

// Every per-dbfile object, the counter row and generation 1 with a first transaction.
// Creates the global rule tables (rules_record, rules_column, rules_fk) that are missing.
void ensure_rules_tables(Session& s);
void create_dbfile(Session& s, const std::string& dbfile);

// Synchronises host table `table` ("schema.name"): its backing objects, the
// row-version triggers, versions of the rows it already holds and a schema
// transaction. `prepared` lists the synchronised columns (empty: all).
// Returns the table's object id.
int add_host_table(Session& s, const std::string& dbfile, const std::string& table,
                   const std::vector<std::string>& prepared);

// Synchronises column `column` of a synchronised host table from now on (a
// column left out by add_host_table, or one the host table gained later): the
// old-values tables grow the column, the row-version logic records it, and a
// new schema transaction is the table's schema change and the column's dump.
void prepare_column(Session& s, const std::string& dbfile, const std::string& table, const std::string& column);

// Forgets the versions that ended in a generation up to `generation`.
void purge_history(Session& s, const std::string& dbfile, long long generation);

}  // namespace sqlserver_standin

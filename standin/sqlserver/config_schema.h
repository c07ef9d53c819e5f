// The configuration database's global tables in schema tavrin: the dbfile
// registry, request log, audit, groups, a users table and the rule tables.
#pragma once

namespace sqlserver_standin {

extern const char* const kConfigSchemaDdl;

}  // namespace sqlserver_standin

// The global tables in schema tavrin: the configuration database's dbfile
// registry, request log, audit, groups and a users table, and the rule tables
// that every database holding dbfiles has (the schema fetch joins them with the
// database's own catalog).
#pragma once

namespace sqlserver_standin {

extern const char* const kConfigSchemaDdl;

struct RulesTable {
    const char* name;
    const char* ddl;
};
extern const RulesTable kRulesTables[3];

}  // namespace sqlserver_standin

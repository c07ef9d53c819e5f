#include "config_schema.h"

namespace sqlserver_standin {

const char* const kConfigSchemaDdl = R"(CREATE SCHEMA tavrin;
CREATE TABLE tavrin.dbfiles (name nvarchar(255) NOT NULL PRIMARY KEY, version int NOT NULL,
  odbc nvarchar(max) NULL, scheme nvarchar(max) NULL);
CREATE TABLE tavrin.log (url nvarchar(max) NULL, unix_time bigint NULL, ip_address varchar(64) NULL,
  request_size bigint NULL, response_size bigint NULL, status bigint NULL, elapsed bigint NULL,
  txid bigint NULL, txid_r bigint NULL);
CREATE TABLE tavrin.audit (dbfile nvarchar(255) NULL, rid uniqueidentifier NULL, txid bigint NULL,
  tbl nvarchar(max) NULL, ancestor nvarchar(max) NULL, already nvarchar(max) NULL, incoming nvarchar(max) NULL,
  result nvarchar(max) NULL);
CREATE TABLE tavrin.groups (username nvarchar(255) NOT NULL, groupname nvarchar(255) NOT NULL,
  PRIMARY KEY (username, groupname));
CREATE TABLE tavrin.users (name nvarchar(255) NOT NULL PRIMARY KEY, pass nvarchar(max) NULL);
)";

const RulesTable kRulesTables[3] = {
    {"rules_record",
     "CREATE TABLE tavrin.rules_record (sit int NOT NULL, tbl_id int NOT NULL, act int NOT NULL, extra nvarchar(max) NULL)"},
    {"rules_column",
     "CREATE TABLE tavrin.rules_column (tbl_id int NOT NULL, col_id int NULL, act int NOT NULL, extra nvarchar(max) NULL)"},
    {"rules_fk", "CREATE TABLE tavrin.rules_fk (fk_id int NOT NULL, sit int NOT NULL, act int NOT NULL)"},
};

}  // namespace sqlserver_standin

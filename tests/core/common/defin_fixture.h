// A small dbfile definition built the way the store builds one, and helpers to read
// documents back as JSON text.
#pragma once

#include <string>

#include "../qk/context_fixture.h"
#include "common/tav_parse_defin.h"
#include "common/tav_parse_defin_query.h"
#include "qk/qk_jsonwriter.h"
#include "qk/qk_varray.h"

// Tables: customers (identity id, text name with a default and a unique, variable blob photo,
// unprepared xml column), orders (cust -> customers.id, two-column pk, decimal, datetime,
// guid), lines (a two-column key -> orders with a conflict rule, uint8, time).
inline void build_fixture_defin(QK_context *ctx, tav_defin **pp) {
  tav_defin *d = nullptr;
  tav_defin__alloc(ctx, 1, &d);
  tav_defin__set_indistinct_unique_nulls(ctx, d, 1);
  tav_defin__set_backend_name(ctx, d, "mssql");
  tav_defin__set_backend_api(ctx, d, "odbc");
  tav_defin__set_filter_id(ctx, d, 0);

  tav_defin__add_table(ctx, d, "1001", "customers", 5000000000LL);
  tav_defin__add_column(ctx, d, "1001", "1", "id", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1001", "1", "int");
  tav_defin__set_type_identity(ctx, d, "1001", "1", "PK_customers");
  tav_defin__set_notnull(ctx, d, "1001", "1", 1, nullptr);
  tav_defin__add_column(ctx, d, "1001", "2", "name", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1001", "2", "nvarchar");
  tav_defin__set_type_text(ctx, d, "1001", "2", "Latin1_General_CI_AS", "1033", 0, 0, 1, 0, 0, 0, 0, 1, 50);
  tav_defin__set_notnull(ctx, d, "1001", "2", 1, "NN_name");
  tav_defin__set_host_defval(ctx, d, "1001", "2", "(N'x')");
  tav_defin__set_column_defval(ctx, d, "1001", "2", 1, "DF_name", "'x'");
  tav_defin__add_column(ctx, d, "1001", "3", "photo", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1001", "3", "varbinary");
  tav_defin__set_type_blob(ctx, d, "1001", "3", 0, 0);
  tav_defin__set_notnull(ctx, d, "1001", "3", 0, nullptr);
  tav_defin__add_column(ctx, d, "1001", "4", "secret", 0, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1001", "4", "xml");
  tav_defin__set_type_host(ctx, d, "1001", "4", "xml");
  tav_defin__set_notnull(ctx, d, "1001", "4", 0, nullptr);

  tav_defin__add_table(ctx, d, "1002", "orders", 7);
  tav_defin__add_column(ctx, d, "1002", "1", "cust", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1002", "1", "int");
  tav_defin__set_type_simple(ctx, d, "1002", "1", "sint32");
  tav_defin__set_notnull(ctx, d, "1002", "1", 1, nullptr);
  tav_defin__add_column(ctx, d, "1002", "2", "line", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1002", "2", "smallint");
  tav_defin__set_type_simple(ctx, d, "1002", "2", "sint16");
  tav_defin__set_notnull(ctx, d, "1002", "2", 1, nullptr);
  tav_defin__add_column(ctx, d, "1002", "3", "amount", 1, 9, 3);
  tav_defin__set_mssql_col_data_type(ctx, d, "1002", "3", "decimal");
  tav_defin__set_type_decimal(ctx, d, "1002", "3", 10, 2);
  tav_defin__set_notnull(ctx, d, "1002", "3", 0, nullptr);
  tav_defin__add_column(ctx, d, "1002", "4", "at", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1002", "4", "datetime");
  tav_defin__set_type_datetime(ctx, d, "1002", "4", 3, "datetime");
  tav_defin__set_notnull(ctx, d, "1002", "4", 0, nullptr);
  tav_defin__add_column(ctx, d, "1002", "5", "code", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1002", "5", "uniqueidentifier");
  tav_defin__set_type_simple(ctx, d, "1002", "5", "guid");
  tav_defin__set_notnull(ctx, d, "1002", "5", 0, nullptr);

  tav_defin__add_table(ctx, d, "1003", "lines", 7);
  tav_defin__add_column(ctx, d, "1003", "1", "o_cust", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1003", "1", "int");
  tav_defin__set_type_simple(ctx, d, "1003", "1", "sint32");
  tav_defin__add_column(ctx, d, "1003", "2", "o_line", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1003", "2", "smallint");
  tav_defin__set_type_simple(ctx, d, "1003", "2", "sint16");
  tav_defin__add_column(ctx, d, "1003", "3", "qty", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1003", "3", "tinyint");
  tav_defin__set_type_simple(ctx, d, "1003", "3", "uint8");
  tav_defin__add_column(ctx, d, "1003", "4", "t", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1003", "4", "time");
  tav_defin__set_type_time(ctx, d, "1003", "4", 12);

  tav_defin__set_pk_name(ctx, d, "1001", "PK_customers");
  tav_defin__add_pk_column(ctx, d, "1001", "1");
  tav_defin__set_pk_name(ctx, d, "1002", "PK_orders");
  tav_defin__add_pk_column(ctx, d, "1002", "1");
  tav_defin__add_pk_column(ctx, d, "1002", "2");
  tav_defin__set_column_fk(ctx, d, "1002", "1", 1, "2000", "FK_o_c", "1001", "1", 0, "CASCADE", "NO ACTION", 0);
  tav_defin__add_fk(ctx, d, "2001", "FK_l_o", "1003", "1002", 0, "NO ACTION", "CASCADE", 2);
  tav_defin__set_fk_column_pair(ctx, d, "1003", "2001", "1", "1");
  tav_defin__set_fk_column_pair(ctx, d, "1003", "2001", "2", "2");
  tav_defin__add_unique_column(ctx, d, "1001", "2", "UQ_name");
  *pp = d;
}

inline const char *k_fixture_schema_json =
    R"({"compat_level":1,"backend":{"indistinct_unique_nulls":true,"name":"mssql","api":"odbc"},"filter_id":0,)"
    R"("tbls":{"1001":{"name":"customers","txid":"5000000000","cols":{)"
    R"("1":{"name":"id","mssql_col_data_type":"int","type":{"name":"identity","constraint_name":"PK_customers"},"notnull":{}},)"
    R"("2":{"name":"name","mssql_col_data_type":"nvarchar","type":{"name":"text","fixed_width":false,"locale":"1033","noaccent":false,"nocase":true,"unicode":true,"width":50},"notnull":{"name":"NN_name"},"defval":{"expr":"'x'","name":"DF_name"}},)"
    R"("3":{"name":"photo","mssql_col_data_type":"varbinary","type":{"name":"blob","fixed_width":false,"width":0}}},)"
    R"("pk":{"name":"PK_customers","cols":{"1":null}},"uniques":{"UQ_name":{"2":null}}},)"
    R"("1002":{"name":"orders","txid":7,"cols":{)"
    R"("1":{"name":"cust","mssql_col_data_type":"int","type":{"name":"sint32"},"notnull":{},)"
    R"("fk":{"name":"FK_o_c","ref_tbl_id":"1001","ref_col_id":"1","deferred":false,"on_delete":"CASCADE","on_update":"NO ACTION"}},)"
    R"("2":{"name":"line","mssql_col_data_type":"smallint","type":{"name":"sint16"},"notnull":{}},)"
    R"("3":{"name":"amount","mssql_col_data_type":"decimal","type":{"name":"decimal","precision":10,"scale":2}},)"
    R"("4":{"name":"at","mssql_col_data_type":"datetime","type":{"name":"datetime","precision":3}},)"
    R"("5":{"name":"code","mssql_col_data_type":"uniqueidentifier","type":{"name":"guid"}}},)"
    R"("pk":{"name":"PK_orders","cols":{"1":null,"2":null}}},)"
    R"("1003":{"name":"lines","txid":7,"cols":{)"
    R"("1":{"name":"o_cust","mssql_col_data_type":"int","type":{"name":"sint32"}},)"
    R"("2":{"name":"o_line","mssql_col_data_type":"smallint","type":{"name":"sint16"}},)"
    R"("3":{"name":"qty","mssql_col_data_type":"tinyint","type":{"name":"uint8"}},)"
    R"("4":{"name":"t","mssql_col_data_type":"time","type":{"name":"time","precision":12}}},)"
    R"("foreignkeys":{"2001":{"cols":{"1":"1","2":"2"},"name":"FK_l_o","ref_tbl_id":"1002","deferred":false,)"
    R"("on_delete":"NO ACTION","on_update":"CASCADE"}}}}})";

inline std::string vhash_json(QK_context *ctx, const QK_vhash *pvh) {
  if (pvh == nullptr) return "<null>";
  QK_string *s = nullptr;
  QK_string__alloc(ctx, &s);
  QK_vhash__to_json(ctx, pvh, s);
  std::string r = s ? QK_string__sz(s) : "<error>";
  QK_string__free(ctx, s);
  return r;
}

inline std::string varray_json(QK_context *ctx, const QK_varray *pva) {
  if (pva == nullptr) return "<null>";
  QK_string *s = nullptr;
  QK_jsonwriter *w = nullptr;
  QK_string__alloc(ctx, &s);
  QK_jsonwriter__alloc(ctx, &w, s);
  QK_varray__write_json(ctx, pva, w);
  QK_jsonwriter__free(ctx, w);
  std::string r = s ? QK_string__sz(s) : "<error>";
  QK_string__free(ctx, s);
  return r;
}

// The text of a new QK_string result, freed here ("<none>" when nothing was handed out).
inline std::string take_string(QK_context *ctx, QK_string *s) {
  std::string r = s ? QK_string__sz(s) : "<none>";
  QK_string__free(ctx, s);
  return r;
}

struct DefinTest : ContextTest {
  tav_defin *d = nullptr;
  void SetUp() override {
    ContextTest::SetUp();
    build_fixture_defin(ctx, &d);
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    tav_defin__free(ctx, &d);
    ContextTest::TearDown();
  }
};

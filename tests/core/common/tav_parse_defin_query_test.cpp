#include "common/tav_parse_defin_query.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../qk/python_oracle.h"
#include "defin_fixture.h"

namespace {

using DefinQuery = DefinTest;

TEST_F(DefinQuery, CountsAndPositions) {
  QK_uint32 n = 0;
  const char *id = nullptr;
  tav_defin__count_tables(ctx, d, &n);
  EXPECT_EQ(n, 3u);
  tav_defin__get_table_id_at(ctx, d, 2, &id);
  EXPECT_STREQ(id, "1003");
  tav_defin__count_columns(ctx, d, "1001", &n);
  EXPECT_EQ(n, 3u);
  tav_defin__get_column_id_at(ctx, d, "1002", 4, &id);
  EXPECT_STREQ(id, "5");
  tav_defin__count_unprep_columns(ctx, d, "1001", &n);
  EXPECT_EQ(n, 1u);
  tav_defin__get_unprep_column_at(ctx, d, "1001", 0, &id);
  EXPECT_STREQ(id, "4");
  EXPECT_EQ(take_error(), "ok");
  tav_defin__get_table_id_at(ctx, d, 3, &id);
  EXPECT_EQ(take_error(), "55:");
  tav_defin__get_column_id_at(ctx, d, "1002", 5, &id);
  EXPECT_EQ(take_error(), "55:");
  tav_defin__count_unprep_columns(ctx, d, "1002", &n);
  EXPECT_EQ(n, 0u);
  tav_defin__get_unprep_column_at(ctx, d, "1002", 0, &id);
  EXPECT_EQ(take_error(), "55:");
}

TEST_F(DefinQuery, RowKeyIsTheIdentityColumnElseThePrimaryKey) {
  struct Case {
    const char *tbl;
    std::vector<std::string> ids, names;
  } cases[] = {
      {"1001", {"1"}, {"id"}},  // identity column and a pk over it
      {"1002", {"1", "2"}, {"cust", "line"}},
      {"1003", {}, {}},
  };
  // An identity column beats a two-column primary key.
  tav_defin__add_table(ctx, d, "1004", "both", 1);
  tav_defin__add_column(ctx, d, "1004", "1", "a", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "1004", "1", "sint32");
  tav_defin__add_column(ctx, d, "1004", "2", "b", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "1004", "2", "sint32");
  tav_defin__add_column(ctx, d, "1004", "3", "rid", 1, 0, 0);
  tav_defin__set_type_identity(ctx, d, "1004", "3", nullptr);
  tav_defin__set_pk_name(ctx, d, "1004", "pk");
  tav_defin__add_pk_column(ctx, d, "1004", "1");
  tav_defin__add_pk_column(ctx, d, "1004", "2");
  for (const Case &c : cases) {
    QK_uint32 n = 99;
    tav_defin__count_key_columns(ctx, d, c.tbl, &n);
    ASSERT_EQ(n, c.ids.size()) << c.tbl;
    for (QK_uint32 i = 0; i < n; i++) {
      const char *id = nullptr, *name = nullptr;
      tav_defin__get_key_column_at(ctx, d, c.tbl, (int)i, &id, &name);
      EXPECT_EQ(id, c.ids[i]);
      EXPECT_EQ(name, c.names[i]);
    }
  }
  QK_uint32 n = 0;
  const char *id = nullptr;
  tav_defin__count_key_columns(ctx, d, "1004", &n);
  tav_defin__get_key_column_at(ctx, d, "1004", 0, &id, nullptr);
  EXPECT_EQ(n, 1u);
  EXPECT_STREQ(id, "3");
  QK_string *s = nullptr;
  tav_defin__quoted_key_column_names(ctx, d, "1004", &s);
  EXPECT_EQ(take_string(ctx, s), "\"rid\"");
  int isKey = -1;
  tav_defin__is_key_column(ctx, d, "1004", "1", &isKey);
  EXPECT_EQ(isKey, 0);
  tav_defin__is_key_column(ctx, d, "1002", "2", &isKey);
  EXPECT_EQ(isKey, 1);
  EXPECT_EQ(take_error(), "ok");
  // No key at all.
  tav_defin__get_key_column_at(ctx, d, "1003", 0, &id, nullptr);
  EXPECT_EQ(take_error(), "47:pk");
  s = nullptr;
  tav_defin__tsql_key_compare(ctx, d, "1003", "a", "b", 1, 1, &s);
  EXPECT_EQ(take_string(ctx, s), "");
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(DefinQuery, NamesIdsAndAttributes) {
  const char *t = nullptr, *decl = nullptr, *name = nullptr, *expr = nullptr;
  int present = -1, value = -1, isId = -1;
  QK_int32 n = 0;
  QK_int64 txid = 0;
  tav_defin__get_table_txid(ctx, d, "1001", &txid);
  EXPECT_EQ(txid, 5000000000LL);
  tav_defin__get_column_type(ctx, d, "1002", "3", &t, &decl);
  EXPECT_STREQ(t, "decimal");
  EXPECT_STREQ(decl, "integer");
  tav_defin__get_precision(ctx, d, "1002", "3", &n);
  EXPECT_EQ(n, 10);
  tav_defin__get_scale(ctx, d, "1002", "3", &n);
  EXPECT_EQ(n, 2);
  tav_defin__get_width(ctx, d, "1002", "3", &n);
  EXPECT_EQ(n, -1);
  tav_defin__get_fixed_width(ctx, d, "1001", "3", &present, &value);
  EXPECT_EQ(present * 10 + value, 10);
  tav_defin__get_unicode(ctx, d, "1001", "3", &present, &value);
  EXPECT_EQ(present, 0);
  tav_defin__get_host_type(ctx, d, "1001", "4", &t);
  EXPECT_STREQ(t, "xml");
  tav_defin__get_column_defval(ctx, d, "1001", "2", &present, &name, &expr);
  EXPECT_EQ(present, 1);
  EXPECT_STREQ(name, "DF_name");
  EXPECT_STREQ(expr, "'x'");
  tav_defin__get_column_defval(ctx, d, "1001", "3", &present, &name, &expr);
  EXPECT_EQ(present, 0);
  EXPECT_EQ(expr, nullptr);
  const char *ref_tbl = nullptr, *ref_col = nullptr, *on_delete = nullptr;
  tav_defin__get_column_fk(ctx, d, "1002", "1", &present, nullptr, &ref_tbl, &ref_col, &on_delete, nullptr);
  EXPECT_EQ(present, 1);
  EXPECT_EQ(std::string(ref_tbl) + "." + ref_col + " " + on_delete, "1001.1 CASCADE");
  tav_defin__get_identity_info(ctx, d, "1001", "1", &isId, &name);
  EXPECT_EQ(isId, 1);
  EXPECT_STREQ(name, "PK_customers");
  tav_defin__get_rowid_column(ctx, d, "1002", &name);
  EXPECT_EQ(name, nullptr);
  // Column ids by name: byte for byte, prepared columns before unprepared ones.
  tav_defin__get_column_id(ctx, d, "1001", "secret", &name);
  EXPECT_STREQ(name, "4");
  tav_defin__get_column_id(ctx, d, "1001", "Name", &name);
  EXPECT_EQ(name, nullptr);
  tav_defin__get_mssql_col_data_type(ctx, d, "1001", "4", &t);
  EXPECT_STREQ(t, "xml");
  EXPECT_EQ(take_error(), "ok");

  tav_defin__get_mssql_col_data_type(ctx, d, "1004", "1", &t);
  EXPECT_EQ(take_error(), "1:table id '1004' not found in schema");
  tav_defin__add_column(ctx, d, "1003", "5", "bare", 1, 0, 0);
  tav_defin__get_mssql_col_data_type(ctx, d, "1003", "5", &t);
  EXPECT_EQ(take_error(), "47:mssql_col_data_type");
  tav_defin__get_precision(ctx, d, "1003", "5", &n);
  EXPECT_EQ(take_error(), "47:type");
  tav_defin__get_mssql_col_data_type(ctx, nullptr, "1003", "5", &t);
  EXPECT_EQ(take_error(), "2:psk is null");
}

TEST_F(DefinQuery, HostInternalsAreReadWithoutCreatingAnything) {
  QK_int64 v = -1;
  const char *t = nullptr;
  QK_vhash *rules = nullptr;
  tav_defin__get_col_dump_txid(ctx, d, "1002", "3", &v);
  EXPECT_EQ(v, 9);
  tav_defin__get_col_dump_gen(ctx, d, "1002", "3", &v);
  EXPECT_EQ(v, 3);
  tav_defin__get_col_dump_gen(ctx, d, "1002", "4", &v);
  EXPECT_EQ(v, 0);
  tav_defin__get_collation(ctx, d, "1002", "4", &t);
  EXPECT_STREQ(t, "datetime");
  tav_defin__get_host_defval(ctx, d, "1001", "2", &t);
  EXPECT_STREQ(t, "(N'x')");
  tav_defin__get_fk_rules(ctx, d, "1003", &rules);
  EXPECT_EQ(vhash_json(ctx, rules), R"~({"2001":{"violation-on-insert":2}})~");
  std::string before = vhash_json(ctx, d->host_internals);
  tav_defin__get_host_defval(ctx, d, "1009", "2", &t);
  EXPECT_EQ(t, nullptr);
  tav_defin__get_fk_rules(ctx, d, "1001", &rules);
  EXPECT_EQ(rules, nullptr);
  int has = -1;
  tav_defin__is_unprep_column(ctx, d, "1001", "4", &has);
  EXPECT_EQ(has, 1);
  tav_defin__is_unprep_column(ctx, d, "1002", "4", &has);
  EXPECT_EQ(has, 0);
  EXPECT_EQ(vhash_json(ctx, d->host_internals), before);

  tav_defin *bare = nullptr;
  tav_defin__alloc_from_json(ctx, k_fixture_schema_json, &bare);
  tav_defin__get_collation(ctx, bare, "1002", "4", &t);
  tav_defin__count_unprep_columns(ctx, bare, "1001", nullptr);
  EXPECT_EQ(take_error(), "2:pCount is null");
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(bare->host_internals, nullptr);
  tav_defin__free(ctx, &bare);
  EXPECT_EQ(take_error(), "ok");
}

TEST(DefinSpatial, SpatialHostTypes) {
  EXPECT_EQ(tav_defin__is_spatial_host_type("Geography"), 1);
  EXPECT_EQ(tav_defin__is_spatial_host_type("GEOMETRY"), 1);
  EXPECT_EQ(tav_defin__is_spatial_host_type("hierarchyid"), 1);
  EXPECT_EQ(tav_defin__is_spatial_host_type("varbinary"), 0);
  EXPECT_EQ(tav_defin__is_spatial_host_type(nullptr), 0);
}

TEST_F(DefinQuery, TsqlFragments) {
  // A fixed-width binary(16) and spatial columns beside the variable blob photo.
  tav_defin__add_column(ctx, d, "1001", "5", "hash", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1001", "5", "binary");
  tav_defin__set_type_blob(ctx, d, "1001", "5", 1, 16);
  tav_defin__add_column(ctx, d, "1001", "6", "shape", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1001", "6", "geometry");
  tav_defin__set_type_blob(ctx, d, "1001", "6", 0, 0);
  tav_defin__add_column(ctx, d, "1001", "7", "node", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1001", "7", "hierarchyid");
  tav_defin__set_type_blob(ctx, d, "1001", "7", 0, 892);
  tav_defin__add_column(ctx, d, "1001", "8", "spot", 1, 0, 0);
  tav_defin__set_mssql_col_data_type(ctx, d, "1001", "8", "geography");
  tav_defin__set_type_blob(ctx, d, "1001", "8", 1, 0);

  auto str = [&](QK_string *s) { return take_string(ctx, s); };
  QK_string *s = nullptr;
  tav_defin__tsql_select_column(ctx, d, "1001", "photo", "t", &s);
  EXPECT_EQ(str(s), R"~(CAST("t"."photo" AS VARBINARY(MAX)))~");
  s = nullptr;
  tav_defin__tsql_select_column(ctx, d, "1001", "hash", "t", &s);
  EXPECT_EQ(str(s), R"~("t"."hash")~");
  s = nullptr;
  tav_defin__tsql_select_key_columns(ctx, d, "1002", "o", &s);
  EXPECT_EQ(str(s), R"~("o"."cust","o"."line")~");
  s = nullptr;
  tav_defin__quoted_column_names(ctx, d, "1002", &s);
  EXPECT_EQ(str(s), R"~("cust","line","amount","at","code")~");

  struct Compare {
    int left, right;
    const char *tbl, *expected;
  } compares[] = {
      {0, 0, "1002", R"~("a"."cust"="b"."cust" AND "a"."line"="b"."line")~"},
      {1, 0, "1002", R"~((CAST(SUBSTRING("a"."cust",3,25) AS bigint))="b"."cust" AND "a"."line"="b"."line")~"},
      {2, 1, "1002",
       R"~(('S:' + CAST("a"."cust" AS varchar(25)))=(CAST(SUBSTRING("b"."cust",3,25) AS bigint)) AND "a"."line"="b"."line")~"},
      {1, 2, "1001", R"~((CAST(SUBSTRING("a"."id",3,25) AS bigint))=('S:' + CAST("b"."id" AS varchar(25))))~"},
  };
  for (const Compare &c : compares) {
    s = nullptr;
    tav_defin__tsql_key_compare(ctx, d, c.tbl, "a", "b", c.left, c.right, &s);
    EXPECT_EQ(str(s), c.expected) << c.left << c.right;
  }

  QK_vhash *list = nullptr;
  tav_defin__list_columns(ctx, d, "1001", 1, &list);
  EXPECT_EQ(vhash_json(ctx, list),
            R"~({"id":null,"name":null,"photo":"VARBINARY(MAX)","hash":null,"shape":"VARBINARY(MAX)",)~"
            R"~("node":"VARBINARY(MAX)","spot":null,"secret":null})~");
  struct Select {
    int identity_mode;
    const char *skip;
    int list_types, spatial;
    const char *expected;
  } selects[] = {
      {0, nullptr, 0, 0, R"~("q"."id","q"."name","q"."photo","q"."hash","q"."shape","q"."node","q"."spot","q"."secret")~"},
      {1, "name", 1, 0,
       R"~((CAST(SUBSTRING("q"."id",3,25) AS bigint)),CAST("q"."photo" AS VARBINARY(MAX)),"q"."hash",)~"
       R"~(CAST("q"."shape" AS VARBINARY(MAX)),CAST("q"."node" AS VARBINARY(MAX)),"q"."spot","q"."secret")~"},
      {2, "secret", 0, 1,
       R"~(('S:' + CAST("q"."id" AS varchar(25))),"q"."name","q"."photo","q"."hash",)~"
       R"~(CAST("q"."shape" AS VARBINARY(MAX)),CAST("q"."node" AS VARBINARY(892)),CAST("q"."spot" AS VARBINARY(MAX)))~"},
  };
  for (const Select &c : selects) {
    s = nullptr;
    tav_defin__tsql_select_list(ctx, c.identity_mode, d, "1001", list, c.skip, "q", c.list_types, c.spatial, &s);
    EXPECT_EQ(str(s), c.expected) << c.identity_mode;
  }
  QK_vhash__free(ctx, list);
  EXPECT_EQ(take_error(), "ok");

  // A spatial column of fixed width gets its width.
  tav_defin__set_type_blob(ctx, d, "1001", "8", 1, 40);
  QK_vhash *one = nullptr;
  QK_vhash__alloc(ctx, &one);
  QK_vhash__add__null(ctx, one, "spot");
  s = nullptr;
  tav_defin__tsql_select_list(ctx, 0, d, "1001", one, nullptr, "q", 0, 1, &s);
  EXPECT_EQ(str(s), R"~(CAST("q"."spot" AS VARBINARY(40)))~");
  s = nullptr;
  tav_defin__tsql_select_list(ctx, 0, d, "1001", one, "spot", "q", 0, 1, &s);
  EXPECT_EQ(str(s), "");
  QK_vhash__free(ctx, one);
  EXPECT_EQ(take_error(), "ok");
}

std::string hex(const std::string &s) {
  static const char digits[] = "0123456789abcdef";
  std::string r;
  for (unsigned char ch : s) r += {digits[ch >> 4], digits[ch & 15]};
  return r;
}

// Names with quotes are doubled inside their quotes: SQLite parses the lists and finds the
// columns, and nothing of a name leaks out of its quotes.
TEST_F(ContextTest, QuotedNamesSurviveQuotesInNames) {
  const char *names[] = {"plain", "we\"ird", "x\",\"y", "b]r"};
  tav_defin *d = nullptr;
  tav_defin__alloc(ctx, 1, &d);
  tav_defin__add_table(ctx, d, "1", "t", 1);
  for (int i = 0; i < 4; i++) {
    std::string id = std::to_string(i + 1);
    tav_defin__add_column(ctx, d, "1", id.c_str(), names[i], 1, 0, 0);
    tav_defin__set_type_simple(ctx, d, "1", id.c_str(), "sint32");
  }
  tav_defin__set_pk_name(ctx, d, "1", "pk");
  tav_defin__add_pk_column(ctx, d, "1", "2");
  QK_string *s = nullptr;
  tav_defin__quoted_column_names(ctx, d, "1", &s);
  std::string all = take_string(ctx, s);
  EXPECT_EQ(all, R"~("plain","we""ird","x"",""y","b]r")~");
  s = nullptr;
  tav_defin__tsql_key_compare(ctx, d, "1", "l\"", "r", 0, 0, &s);
  EXPECT_EQ(take_string(ctx, s), R"~("l"""."we""ird"="r"."we""ird")~");
  EXPECT_EQ(take_error(), "ok");
  auto rows = python_oracle_rows(
      "import sqlite3\ncols = bytes.fromhex('" + hex(all) +
      "').decode()\ndb = sqlite3.connect(':memory:')\n"
      "db.execute('CREATE TABLE t (%s)' % cols)\n"
      "db.execute('INSERT INTO t (%s) VALUES (1,2,3,4)' % cols)\n"
      "cur = db.execute('SELECT %s FROM t' % cols)\n"
      "print(*[d[0].encode().hex() for d in cur.description], *cur.fetchone())\n");
  ASSERT_EQ(rows.size(), 1u);
  std::vector<std::string> expected;
  for (const char *n : names) expected.push_back(hex(n));
  for (const char *v : {"1", "2", "3", "4"}) expected.push_back(v);
  EXPECT_EQ(rows[0], expected);
  tav_defin__free(ctx, &d);
}

TEST_F(DefinQuery, RepeatedColumnNamesAreRefused) {
  tav_defin__add_column(ctx, d, "1003", "5", "qty", 1, 0, 0);
  QK_vhash *map = nullptr;
  tav_defin__map_column_names(ctx, d, "1003", &map);
  EXPECT_EQ(take_error(), "46:qty");
  EXPECT_EQ(map, nullptr);
  tav_defin__list_columns(ctx, d, "1003", 0, &map);
  EXPECT_EQ(take_error(), "46:qty");
  EXPECT_EQ(map, nullptr);
  tav_defin__map_column_names(ctx, d, "1002", &map);
  EXPECT_EQ(vhash_json(ctx, map), R"~({"cust":"1","line":"2","amount":"3","at":"4","code":"5"})~");
  QK_vhash__free(ctx, map);
}

TEST_F(DefinQuery, PlainSchemaDocumentsUseIdsExactly) {
  QK_vhash *schema = nullptr;
  QK_vhash__alloc__from_json(ctx, &schema, R"~({"tbls":{"T1":{"txid":"6000000000","cols":{"C1":{"name":"a"}}}}})~");
  QK_uint32 n = 0;
  QK_int64 txid = 0;
  const char *id = nullptr, *name = nullptr;
  tav_schema__count_tables(ctx, schema, &n);
  EXPECT_EQ(n, 1u);
  tav_schema__get_table_id_at(ctx, schema, 0, &id);
  EXPECT_STREQ(id, "T1");
  tav_schema__get_table_txid(ctx, schema, "T1", &txid);
  EXPECT_EQ(txid, 6000000000LL);
  tav_schema__count_columns(ctx, schema, "T1", &n);
  EXPECT_EQ(n, 1u);
  tav_schema__get_column_id_at(ctx, schema, "T1", 0, &id);
  tav_schema__get_column_name(ctx, schema, "T1", id, &name);
  EXPECT_STREQ(name, "a");
  EXPECT_EQ(take_error(), "ok");
  tav_schema__get_table_txid(ctx, schema, "t1", &txid);
  EXPECT_EQ(take_error(), "47:t1");
  tav_schema__get_column_name(ctx, schema, "T1", "c1", &name);
  EXPECT_EQ(take_error(), "47:c1");
  tav_schema__get_table_id_at(ctx, schema, 1, &id);
  EXPECT_EQ(take_error(), "55:");
  QK_vhash__free(ctx, schema);
}

}  // namespace

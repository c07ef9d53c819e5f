#include "common/tav_parse_defin.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "../qk/python_oracle.h"
#include "defin_fixture.h"

namespace {

const char *k_fixture_host_internals_json =
    R"({"collations":{"1001":{"2":"Latin1_General_CI_AS"},"1002":{"4":"datetime"}},)"
    R"j("defvals":{"1001":{"2":"(N'x')"}},)j"
    R"("unprep-cols":{"1001":{"4":{"name":"secret","mssql_col_data_type":"xml","type":{"name":"host","host_type":"xml"}}}},)"
    R"("col-dump-txids":{"1002":{"3":9}},"col-dump-gen":{"1002":{"3":3}},)"
    R"("fk-rules":{"1003":{"2001":{"violation-on-insert":2}}}})";

std::string schema_json(QK_context *ctx, tav_defin *d) {
  QK_string *s = nullptr;
  tav_defin__to_json(ctx, d, &s);
  return take_string(ctx, s);
}


std::string hex_of(const std::string &s) {
  static const char digits[] = "0123456789abcdef";
  std::string r;
  for (unsigned char ch : s) r += {digits[ch >> 4], digits[ch & 15]};
  return r;
}

TEST_F(DefinTest, BuildsTheSchemaAndHostInternalsInBuildOrder) {
  std::string json = schema_json(ctx, d);
  EXPECT_EQ(json, k_fixture_schema_json);
  EXPECT_EQ(vhash_json(ctx, d->host_internals), k_fixture_host_internals_json);
  // Python reads the text and writes it back unchanged: same values, same key order, and the
  // 64-bit txid stays a string.
  auto rows = python_oracle_rows("import json\nt = bytes.fromhex('" + hex_of(json) +
                                 "').decode()\nd = json.loads(t)\n"
                                 "print(int(json.dumps(d, separators=(',', ':')) == t), "
                                 "d['tbls']['1001']['txid'], list(d['tbls']['1002']['cols']['1'])[-1])\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "5000000000", "fk"}));
  // The unprepared column is known to every column lookup but never reaches clients.
  const char *name = nullptr;
  tav_defin__get_column_name(ctx, d, "1001", "4", &name);
  EXPECT_STREQ(name, "secret");
  EXPECT_EQ(json.find("secret"), std::string::npos);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(DefinTest, DocumentsRoundTrip) {
  // Through JSON text.
  tav_defin *fromJson = nullptr;
  tav_defin__alloc_from_json(ctx, k_fixture_schema_json, &fromJson);
  EXPECT_EQ(schema_json(ctx, fromJson), k_fixture_schema_json);
  EXPECT_EQ(fromJson->host_internals, nullptr);
  tav_defin__free(ctx, &fromJson);
  EXPECT_EQ(fromJson, nullptr);

  // Through a cache entry, as the schema cache keeps them.
  QK_vhash *entry = nullptr;
  QK_vhash__alloc(ctx, &entry);
  QK_vhash__add__string(ctx, entry, "host_internals", "stale");
  tav_defin__put_into_vhash(ctx, d, entry, 1);
  QK_vhash *schema = nullptr, *host = nullptr, *schemaCopy = nullptr, *hostCopy = nullptr;
  QK_vhash__get__vhash(ctx, entry, "schema", &schema);
  QK_vhash__get__vhash(ctx, entry, "host_internals", &host);
  QK_vhash__alloc__copy(ctx, &schemaCopy, schema);
  QK_vhash__alloc__copy(ctx, &hostCopy, host);
  tav_defin *fromCache = nullptr;
  tav_defin__alloc_from_vhash(ctx, &fromCache, &schemaCopy, &hostCopy);
  EXPECT_EQ(schemaCopy, nullptr);
  EXPECT_EQ(hostCopy, nullptr);
  EXPECT_EQ(schema_json(ctx, fromCache), k_fixture_schema_json);
  EXPECT_EQ(vhash_json(ctx, fromCache->host_internals), k_fixture_host_internals_json);
  tav_defin__free(ctx, &fromCache);

  // Without the flag only "schema" is replaced; an existing "host_internals" stays.
  QK_vhash__remove(ctx, entry, "host_internals");
  QK_vhash__add__string(ctx, entry, "host_internals", "kept");
  tav_defin__put_into_vhash(ctx, d, entry, 0);
  const char *kept = nullptr;
  QK_vhash__get__sz(ctx, entry, "host_internals", &kept);
  EXPECT_STREQ(kept, "kept");
  QK_vhash__free(ctx, entry);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(ContextTest, SmallestDefinitionAndFree) {
  tav_defin *d = nullptr;
  tav_defin__alloc(ctx, 1, &d);
  EXPECT_EQ(schema_json(ctx, d), R"({"compat_level":1})");
  tav_defin__free(ctx, &d);
  tav_defin__free(ctx, &d);
  tav_defin__free(ctx, nullptr);
  tav_defin__alloc_from_json(ctx, "[1]", &d);
  EXPECT_EQ(take_error(), "248:");
  EXPECT_EQ(d, nullptr);
}

TEST_F(DefinTest, TableAndColumnIdsAreLookedUpIgnoringCase) {
  tav_defin__add_table(ctx, d, "T9", "nine", 1);
  tav_defin__add_column(ctx, d, "t9", "C1", "one", 1, 0, 0);
  const char *name = nullptr;
  tav_defin__get_table_name(ctx, d, "t9", &name);
  EXPECT_STREQ(name, "nine");
  tav_defin__get_column_name(ctx, d, "T9", "c1", &name);
  EXPECT_STREQ(name, "one");
  EXPECT_NE(schema_json(ctx, d).find(R"("t9":{"name":"nine","txid":1,"cols":{"c1":{"name":"one"}}})"),
            std::string::npos);
  tav_defin__get_table_name(ctx, d, "NoSuch", &name);
  EXPECT_EQ(take_error(), "1:table id 'NoSuch' not found in schema");
  tav_defin__get_column_name(ctx, d, "T9", "C2", &name);
  EXPECT_EQ(take_error(), "1:col id 'C2' not found in tbl id 'T9' in schema");
}

TEST_F(DefinTest, BuilderErrors) {
  struct Case {
    const char *what;
    std::function<void()> call;
    const char *error;
  } cases[] = {
      {"table twice", [&] { tav_defin__add_table(ctx, d, "1001", "x", 0); }, "46:1001"},
      {"column twice", [&] { tav_defin__add_column(ctx, d, "1001", "2", "x", 1, 0, 0); }, "46:2"},
      {"unprepared twice", [&] { tav_defin__add_column(ctx, d, "1001", "4", "x", 0, 0, 0); }, "46:4"},
      {"column of a missing table", [&] { tav_defin__add_column(ctx, d, "9", "1", "x", 1, 0, 0); },
       "1:table id '9' not found in schema"},
      {"pk column without pk", [&] { tav_defin__add_pk_column(ctx, d, "1003", "1"); }, "47:pk"},
      {"pk column twice", [&] { tav_defin__add_pk_column(ctx, d, "1002", "2"); }, "46:2"},
      {"unique column twice", [&] { tav_defin__add_unique_column(ctx, d, "1001", "2", "UQ_name"); }, "46:2"},
      {"pair without fk", [&] { tav_defin__set_fk_column_pair(ctx, d, "1003", "2999", "1", "1"); }, "47:2999"},
      {"pair without foreignkeys", [&] { tav_defin__set_fk_column_pair(ctx, d, "1002", "2001", "1", "1"); },
       "47:foreignkeys"},
      {"unknown situation", [&] { tav_defin__add_fk_rule(ctx, d, "1003", "2001", 4, 1); },
       "500:Unknown foreign key conflict situation: 4"},
      {"null definition", [&] { tav_defin__set_mssql_col_data_type(ctx, nullptr, "1001", "1", "int"); },
       "2:psk is null"},
      {"null table", [&] { tav_defin__set_mssql_col_data_type(ctx, d, nullptr, "1", "int"); },
       "2:psz_tbl_id is null"},
      {"null column", [&] { tav_defin__set_mssql_col_data_type(ctx, d, "1001", nullptr, "int"); },
       "2:psz_col_id is null"},
      {"same-table reference with identity",
       [&] { tav_defin__set_column_fk(ctx, d, "1001", "2", 1, "3", nullptr, "1001", "1", 0, nullptr, nullptr, 0); },
       "312:Tavrin does not support same-table references in prepared tables with an identity column."},
  };
  for (const Case &c : cases) {
    c.call();
    EXPECT_EQ(take_error(), c.error) << c.what;
  }
  // Nothing was written by the refused calls.
  EXPECT_EQ(schema_json(ctx, d), k_fixture_schema_json);
}

TEST_F(ContextTest, SameTableReferenceIsRefusedOnlyWithAnIdentityColumn) {
  tav_defin *d = nullptr;
  tav_defin__alloc(ctx, 1, &d);
  tav_defin__add_table(ctx, d, "tree", "tree", 1);
  tav_defin__add_column(ctx, d, "tree", "1", "id", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "tree", "1", "sint32");
  tav_defin__add_column(ctx, d, "tree", "2", "parent", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "tree", "2", "sint32");
  tav_defin__set_column_fk(ctx, d, "tree", "2", 1, "7", nullptr, "TREE", "1", 0, nullptr, nullptr, 0);
  EXPECT_EQ(take_error(), "ok");
  tav_defin__set_type_identity(ctx, d, "tree", "1", nullptr);
  tav_defin__set_column_fk(ctx, d, "Tree", "2", 1, "7", nullptr, "tree", "1", 0, nullptr, nullptr, 0);
  EXPECT_EQ(take_error(), "312:Tavrin does not support same-table references in prepared tables with an identity column.");
  tav_defin__free(ctx, &d);
}

TEST_F(DefinTest, ReplacedKeysMoveToTheEndOfTheRecord) {
  QK_vhash *record = nullptr;
  tav_defin__set_type_simple(ctx, d, "1002", "2", "sint32");
  tav_defin__set_column_defval(ctx, d, "1002", "2", 1, nullptr, "0");
  tav_defin__set_notnull(ctx, d, "1002", "2", 0, nullptr);
  tav_defin__set_column_name(ctx, d, "1002", "2", "line_no");
  tav_defin__get_column_record(ctx, d, "1002", "2", &record);
  EXPECT_EQ(vhash_json(ctx, record),
            R"({"name":"line_no","mssql_col_data_type":"smallint","type":{"name":"sint32"},"defval":{"expr":"0"}})");
  tav_defin__set_column_fk(ctx, d, "1002", "1", 0, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, 0);
  tav_defin__get_column_record(ctx, d, "1002", "1", &record);
  EXPECT_EQ(vhash_json(ctx, record), R"({"name":"cust","mssql_col_data_type":"int","type":{"name":"sint32"},"notnull":{}})");
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(DefinTest, RemovingAKeyDropsItsRule) {
  tav_defin__add_fk_rule(ctx, d, "1002", "2001", 5, 1);
  tav_defin__remove_fk(ctx, d, "1003", "2001");
  tav_defin__remove_fk(ctx, d, "1002", "2001");
  EXPECT_EQ(take_error(), "ok");
  QK_vhash *rules = nullptr;
  QK_vhash__get__vhash(ctx, d->host_internals, "fk-rules", &rules);
  EXPECT_EQ(vhash_json(ctx, rules), R"({"1003":{},"1002":{}})");
  EXPECT_NE(schema_json(ctx, d).find(R"("foreignkeys":{})"), std::string::npos);
}

}  // namespace

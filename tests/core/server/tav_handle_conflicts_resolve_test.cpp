// Settling one update against update by the rules, on a package in a work directory: the
// column merge with its NULL cases and text merges, the row and column rules, scripts.
#include <map>

#include "pkg_fixture.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_handle_conflicts_resolve.h"

namespace {

// Rules the fake store answers: table rules by situation, column rules by column id ("" for
// the table's default), each with an optional script text.
std::map<int, int> g_record_rules;
std::map<std::string, std::pair<int, std::string>> g_column_rules;

void fake_record_rule(QK_context *, tav_db_handle *, const char *, int situation, int, int *pAction, char **) {
  auto it = g_record_rules.find(situation);
  if (it != g_record_rules.end()) *pAction = it->second;
}
void fake_column_rule(QK_context *ctx, tav_db_handle *, const char *, const char *pszColId, int *pAction,
                      char **ppszExtra) {
  auto it = g_column_rules.find(pszColId);
  if (it == g_column_rules.end()) return;
  *pAction = it->second.first;
  if (ppszExtra != nullptr && !it->second.second.empty()) QK_strdup(ctx, it->second.second.c_str(), ppszExtra);
}

struct ResolveTest : PkgTest {
  tav_backend_ops ops = {};
  const QK_uint8 rid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

  void SetUp() override {
    PkgTest::SetUp();
    ops.get_record_rule = fake_record_rule;
    ops.get_column_rule = fake_column_rule;
    g_record_rules.clear();
    g_column_rules.clear();
    tav_pkg__create(ctx, dir.c_str(), 4, &pkg);
    tav_pkg__create_rows_table(ctx, pkg.db, d, "1001", 4);
    tav_pkg__create_row_deltas_table(ctx, pkg.db, "1001");
    QK_sqlite__exec(ctx, pkg.db, "ALTER TABLE \"p$rd$1001\" ADD COLUMN txid_rec_undel INTEGER NULL");
    ASSERT_EQ(take_error(), "ok");
  }
  // Settles the three rows (JSON; "" for no ancestor); the stored name (or "<dropped>",
  // "<rejected>", or the error) and the audit result.
  std::string settle(const std::string &ancestor, const std::string &already, const std::string &incoming,
                     std::string *pAudit = nullptr) {
    QK_vhash *an = nullptr, *al = nullptr, *in = nullptr;
    if (!ancestor.empty()) QK_vhash__alloc__from_json(ctx, &an, ancestor.c_str());
    QK_vhash__alloc__from_json(ctx, &al, already.c_str());
    QK_vhash__alloc__from_json(ctx, &in, incoming.c_str());
    EXPECT_EQ(take_error(), "ok");
    QK_sqlite__exec(ctx, pkg.db, "DELETE FROM \"p$u$1001\"; DELETE FROM \"p$rd$1001\"; DROP TABLE IF EXISTS p$audit");
    int rejected = 0;
    tav_conflict__resolve_update(ctx, &ops, nullptr, d, pkg.db, "1001", rid, 40, 0, 99, an, al, in, &rejected);
    std::string result = take_error();
    if (result == "ok") {
      result = rejected ? "<rejected>" : rows(pkg.db, "SELECT coalesce(name, 'NULL') FROM \"p$u$1001\"");
      if (result.empty()) result = "<dropped>";
    }
    if (pAudit) *pAudit = rows(pkg.db, "SELECT result FROM p$audit");
    QK_vhash__free(ctx, an);
    QK_vhash__free(ctx, al);
    QK_vhash__free(ctx, in);
    return result;
  }
};

TEST_F(ResolveTest, ColumnMergeTakesEachSidesChangeAndAsksTheRulesWhenBothChanged) {
  struct Case {
    const char *what;
    int columnRule;  // rule of column "name" (0: none)
    const char *ancestor, *already, *incoming, *expected;
  } cases[] = {
      {"server changed", 0, R"({"name":"a"})", R"({"name":"b"})", R"({"name":"a"})", "b"},
      {"client changed", 0, R"({"name":"a"})", R"({"name":"a"})", R"({"name":"c"})", "c"},
      {"both, default", 0, R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})", "c"},
      {"both, keep server", 4, R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})", "b"},
      {"both, reject", 6, R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})", "<rejected>"},
      {"no ancestor", 4, "", R"({"name":"b"})", R"({"name":"c"})", "b"},
      {"lines merge", 3, R"({"name":"l1\nl2\nl3"})", R"({"name":"L1\nl2\nl3"})", R"({"name":"l1\nl2\nL3"})",
       "L1\nl2\nL3"},
      {"lines without the bit", 2, R"({"name":"l1\nl2\nl3"})", R"({"name":"L1\nl2\nl3"})", R"({"name":"l1\nl2\nL3"})",
       "l1\nl2\nL3"},
      {"lines conflict", 5, R"({"name":"l1"})", R"({"name":"A"})", R"({"name":"B"})", "A"},
      {"server cleared, client kept", 0, R"({"name":"x"})", R"({})", R"({"name":"x"})", "NULL"},
      {"server cleared, client changed", 4, R"({"name":"x"})", R"({})", R"({"name":"y"})", "NULL"},
      {"client cleared, server kept", 0, R"({"name":"x"})", R"({"name":"x"})", R"({})", "NULL"},
      {"client cleared, server changed", 4, R"({"name":"x"})", R"({"name":"y"})", R"({})", "y"},
      {"client set a new column", 0, R"({})", R"({})", R"({"name":"n"})", "n"},
  };
  for (const Case &c : cases) {
    g_column_rules.clear();
    if (c.columnRule) g_column_rules["2"] = {c.columnRule, ""};
    std::string audit;
    EXPECT_EQ(settle(c.ancestor, c.already, c.incoming, &audit), c.expected) << c.what;
    if (c.expected[0] != '<') {
      EXPECT_EQ(audit.substr(0, 1), "{") << c.what;
    }
  }
  // The table's default rule stands in for a column without its own.
  g_column_rules.clear();
  g_column_rules[""] = {4, ""};
  EXPECT_EQ(settle(R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})"), "b");
}

// Texts with NUL characters are settled whole: the line merge, which works on C strings, leaves
// them to the column's rule, and the audit's JSON writes the NULs as escapes.
TEST_F(ResolveTest, TextsWithNulCharactersAreSettledWhole) {
  auto doc = [&](const std::string &name) {
    QK_vhash *v = nullptr;
    QK_vhash__alloc(ctx, &v);
    QK_vhash__add__text(ctx, v, "name", name.data(), (QK_uint32)name.size());
    return v;
  };
  const std::string ancestor("l1\nl2\0\nl3", 9), already("L1\nl2\0\nl3", 9), incoming("l1\nl2\0\nL3", 9);
  g_column_rules["2"] = {3, ""};  // merge the lines, else take the client's
  QK_vhash *an = doc(ancestor), *al = doc(already), *in = doc(incoming);
  int rejected = 0;
  tav_conflict__resolve_update(ctx, &ops, nullptr, d, pkg.db, "1001", rid, 40, 0, 99, an, al, in, &rejected);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(rows(pkg.db, "SELECT hex(name) FROM \"p$u$1001\""), "6C310A6C32000A4C33");
  EXPECT_EQ(rows(pkg.db, "SELECT result FROM p$audit"), R"({"name":"l1\nl2\u0000\nL3"})");
  QK_vhash__free(ctx, an);
  QK_vhash__free(ctx, al);
  QK_vhash__free(ctx, in);
}

TEST_F(ResolveTest, RowRulesAndScripts) {
  std::string audit;
  g_record_rules[TAVRIN_SITUATION_UPDATE_VS_UPDATE] = TAVRIN_ACTION_ACCEPT;
  EXPECT_EQ(settle(R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})", &audit), "c");
  EXPECT_EQ(audit, "accept");
  EXPECT_EQ(rows(pkg.db, "SELECT txid_rec_add, txid_rec_del, txid_rec_undel, txid FROM \"p$rd$1001\""),
            "99|40|NULL|99");
  g_record_rules[TAVRIN_SITUATION_UPDATE_VS_UPDATE] = TAVRIN_ACTION_IGNORE;
  EXPECT_EQ(settle(R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})", &audit), "<dropped>");
  EXPECT_EQ(audit, "ignore");
  g_record_rules[TAVRIN_SITUATION_UPDATE_VS_UPDATE] = TAVRIN_ACTION_SCRIPTED_MERGE;
  EXPECT_EQ(settle(R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})"),
            "302:Custom row merge function is NULL or empty for table \"customers\".");
  g_record_rules[TAVRIN_SITUATION_UPDATE_VS_UPDATE] = 7;
  EXPECT_EQ(settle(R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})").substr(0, 4), "500:");

  g_record_rules.clear();
  g_column_rules["2"] = {TAVRIN_ACTION_SCRIPTED_MERGE, "merge()"};
  EXPECT_EQ(settle(R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})"),
            "305:Custom column merge for table \"customers\" column \"name\"");
  g_column_rules["2"] = {TAVRIN_ACTION_SCRIPTED_MERGE, ""};
  EXPECT_EQ(settle(R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})"),
            "302:Custom column merge function is NULL or empty. (table \"customers\", column \"name\")");
  g_column_rules["2"] = {TAVRIN_ACTION_COLUMN_MERGE, ""};
  EXPECT_EQ(settle(R"({"name":"a"})", R"({"name":"b"})", R"({"name":"c"})").substr(0, 4), "500:");
}

TEST_F(ResolveTest, RowsCompareMemberByMemberAndIdentityValuesAreDecorated) {
  QK_vhash *a = nullptr, *b = nullptr, *row = nullptr, *order = nullptr;
  QK_vhash__alloc__from_json(ctx, &a, R"({"id":"S:1","name":"x"})");
  QK_vhash__alloc__from_json(ctx, &b, R"({"name":"x","id":"S:1"})");
  int eq = 0;
  tav_conflict__rows_equal(ctx, a, b, &eq);
  EXPECT_EQ(eq, 1);
  QK_vhash__update__string(ctx, b, "extra", "1");
  tav_conflict__rows_equal(ctx, a, b, &eq);
  EXPECT_EQ(eq, 0);
  // The identity column and the column that refers to it become server key texts; others stay.
  QK_vhash__alloc__from_json(ctx, &row, R"({"id":7,"name":"n"})");
  tav_conflict__decorate_identity_values(ctx, d, "1001", nullptr, row);
  QK_vhash__alloc__from_json(ctx, &order, R"({"cust":7,"line":2,"code":"C:5"})");
  tav_conflict__decorate_identity_values(ctx, d, "1002", nullptr, order);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(vhash_json(ctx, row), R"({"id":"S:7","name":"n"})");
  EXPECT_EQ(vhash_json(ctx, order), R"({"cust":"S:7","line":2,"code":"C:5"})");
  // What is remembered for one row of a table decorates the next rows alike.
  QK_vhash *known = nullptr;
  QK_vhash__alloc(ctx, &known);
  for (const char *json : {R"({"cust":7,"line":2})", R"({"line":3,"cust":8,"code":"C:1"})", R"({"cust":9,"line":4})"}) {
    QK_vhash *next = nullptr;
    QK_vhash__alloc__from_json(ctx, &next, json);
    tav_conflict__decorate_identity_values(ctx, d, "1002", known, next);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(vhash_json(ctx, next).find("\"line\":\"S:"), std::string::npos) << json;
    EXPECT_NE(vhash_json(ctx, next).find("\"cust\":\"S:"), std::string::npos) << json;
    QK_vhash__free(ctx, next);
  }
  EXPECT_EQ(vhash_json(ctx, known), R"({"cust":1,"line":0})");
  for (QK_vhash *p : {a, b, row, order, known}) QK_vhash__free(ctx, p);
}

}  // namespace

#include "common/tav_parse_defin_fk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "../qk/python_oracle.h"
#include "defin_fixture.h"

namespace {

using DefinFk = DefinTest;

// A definition of tables that reference others by single-column keys: each entry is a table
// id and the ids it references ("" for none).
tav_defin *graph_defin(QK_context *ctx, const std::vector<std::pair<std::string, std::vector<std::string>>> &tables) {
  tav_defin *d = nullptr;
  tav_defin__alloc(ctx, 1, &d);
  for (const auto &t : tables) {
    tav_defin__add_table(ctx, d, t.first.c_str(), t.first.c_str(), 1);
    int col = 0;
    for (const std::string &ref : t.second) {
      std::string id = std::to_string(++col);
      std::string fk = t.first + "_fk" + id;
      tav_defin__add_column(ctx, d, t.first.c_str(), id.c_str(), ("c" + id).c_str(), 1, 0, 0);
      tav_defin__set_type_simple(ctx, d, t.first.c_str(), id.c_str(), "sint32");
      tav_defin__set_column_fk(ctx, d, t.first.c_str(), id.c_str(), 1, fk.c_str(), fk.c_str(), ref.c_str(), "1", 0,
                               nullptr, nullptr, 0);
    }
  }
  return d;
}

std::string order(QK_context *ctx, tav_defin *d) {
  QK_varray *pOrder = nullptr;
  tav_defin__order_tables_by_fk(ctx, d, &pOrder);
  std::string r = varray_json(ctx, pOrder);
  QK_varray__free(ctx, pOrder);
  tav_defin__free(ctx, &d);
  return r;
}

TEST_F(ContextTest, OrderPutsParentsFirst) {
  struct Case {
    const char *what;
    std::vector<std::pair<std::string, std::vector<std::string>>> tables;
    const char *expected;
  } cases[] = {
      {"chain in tbls order", {{"p", {}}, {"q", {"p"}}, {"r", {"q", "p"}}}, R"(["p","q","r"])"},
      {"chain reversed", {{"r", {"q", "p"}}, {"q", {"p"}}, {"p", {}}}, R"(["p","q","r"])"},
      {"chain mixed", {{"q", {"p"}}, {"r", {"p", "q"}}, {"p", {}}}, R"(["p","q","r"])"},
      {"diamond", {{"d", {"b", "c"}}, {"c", {"a"}}, {"b", {"a"}}, {"a", {}}}, R"(["a","c","b","d"])"},
      {"roots keep tbls order", {{"y", {}}, {"x", {}}, {"z", {"x"}}}, R"(["y","x","z"])"},
      // w gets level 1 in the first pass, y only in the second, once z has its level.
      {"level order is the order levels were first given",
       {{"x", {"y"}}, {"y", {"z"}}, {"z", {}}, {"w", {"z"}}},
       R"(["z","w","y","x"])"},
      {"self reference only", {{"q", {"s"}}, {"s", {"S"}}}, R"(["s","q"])"},
      {"self reference beside a parent", {{"c", {"C", "p"}}, {"p", {}}}, R"(["p","c"])"},
      {"no tables", {}, "[]"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(order(ctx, graph_defin(ctx, c.tables)), c.expected) << c.what;
    EXPECT_EQ(take_error(), "ok") << c.what;
  }
}

TEST_F(ContextTest, OrderReportsCyclesAndMissingParentsInBoundedTime) {
  const char *cycle = "312:Foreign key constraints create a circular dependency among tables.";
  struct Case {
    const char *what;
    std::vector<std::pair<std::string, std::vector<std::string>>> tables;
    const char *error;
  } cases[] = {
      {"two tables", {{"a", {"b"}}, {"b", {"a"}}}, cycle},
      {"two tables and a parent of one", {{"a", {"b", "c"}}, {"b", {"a"}}, {"c", {}}}, cycle},
      {"three tables below a root", {{"r", {}}, {"a", {"r", "c"}}, {"b", {"a"}}, {"c", {"b"}}}, cycle},
      {"a parent outside the definition", {{"a", {}}, {"b", {"a", "gone"}}},
       "312:foreign key 'b_fk2' of table id 'b' references table id 'gone', which is not in the schema"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(order(ctx, graph_defin(ctx, c.tables)), "<null>") << c.what;
    EXPECT_EQ(take_error(), c.error) << c.what;
  }
}

// Random acyclic graphs: every table comes after all the tables it references, and the
// levels along the order never fall (levels by longest path, computed by Python).
TEST_F(ContextTest, OrderMatchesLongestPathLevelsOnRandomGraphs) {
  auto rows = python_oracle_rows(R"(
import random
r = random.Random(8)
for g in range(150):
    n = r.randint(1, 12)
    perm = list(range(n)); r.shuffle(perm)
    refs = {t: [u for u in range(t) if r.random() < 0.3] for t in range(n)}
    level = {}
    for t in range(n):
        level[t] = max([level[u] + 1 for u in refs[t]], default=0)
    print(g, *['t%d:%d:%s' % (t, level[t], ','.join('t%d' % u for u in refs[t])) for t in perm])
)");
  ASSERT_EQ(rows.size(), 150u);
  for (const auto &row : rows) {
    std::vector<std::pair<std::string, std::vector<std::string>>> tables;
    std::map<std::string, int> level;
    for (size_t i = 1; i < row.size(); i++) {
      std::string f = row[i];
      size_t a = f.find(':'), b = f.find(':', a + 1);
      std::string id = f.substr(0, a), refs = f.substr(b + 1);
      level[id] = std::stoi(f.substr(a + 1, b - a - 1));
      std::vector<std::string> list;
      for (size_t p = 0; p < refs.size();) {
        size_t q = refs.find(',', p);
        if (q == std::string::npos) q = refs.size();
        list.push_back(refs.substr(p, q - p));
        p = q + 1;
      }
      tables.push_back({id, list});
    }
    QK_varray *pOrder = nullptr;
    tav_defin *d = graph_defin(ctx, tables);
    tav_defin__order_tables_by_fk(ctx, d, &pOrder);
    ASSERT_EQ(take_error(), "ok") << row[0];
    ASSERT_EQ(QK_varray__count_noctx(pOrder), tables.size());
    int previous = 0;
    for (QK_uint32 i = 0; i < tables.size(); i++) {
      const char *id = nullptr;
      QK_varray__get__sz(ctx, pOrder, i, &id);
      EXPECT_GE(level[id], previous) << "graph " << row[0];
      previous = level[id];
    }
    QK_varray__free(ctx, pOrder);
    tav_defin__free(ctx, &d);
  }
}

TEST_F(DefinFk, IdentityWalk) {
  // A text column carrying the same key as an integer one, a uint8 that is the second column
  // of a two-column key, and two integer columns that reference each other in a circle.
  tav_defin__add_column(ctx, d, "1002", "6", "cust_text", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "1002", "6", "text");
  tav_defin__set_column_fk(ctx, d, "1002", "6", 1, "2002", nullptr, "1001", "1", 0, nullptr, nullptr, 0);
  tav_defin__add_table(ctx, d, "1004", "pair", 1);
  for (const char *col : {"1", "2"}) {
    tav_defin__add_column(ctx, d, "1004", col, col, 1, 0, 0);
    tav_defin__set_type_simple(ctx, d, "1004", col, "uint8");
  }
  tav_defin__add_fk(ctx, d, "2003", nullptr, "1004", "1002", 0, nullptr, nullptr, 0);
  tav_defin__set_fk_column_pair(ctx, d, "1004", "2003", "1", "2");
  tav_defin__set_fk_column_pair(ctx, d, "1004", "2003", "2", "1");
  tav_defin__add_table(ctx, d, "1005", "loop", 1);
  tav_defin__add_column(ctx, d, "1005", "1", "a", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "1005", "1", "sint64");
  tav_defin__add_column(ctx, d, "1005", "2", "b", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "1005", "2", "sint64");
  tav_defin__set_column_fk(ctx, d, "1005", "1", 1, "2004", nullptr, "1005", "2", 0, nullptr, nullptr, 0);
  tav_defin__set_column_fk(ctx, d, "1005", "2", 1, "2005", nullptr, "1005", "1", 0, nullptr, nullptr, 0);
  ASSERT_EQ(take_error(), "ok");
  struct Case {
    const char *tbl, *col, *expected;
  } cases[] = {
      {"1001", "1", "1001.1"},   // the identity column itself
      {"1002", "1", "1001.1"},   // sint32 with a column key
      {"1002", "6", "-"},        // text with the same key
      {"1003", "1", "1001.1"},   // through the table key to orders.cust, then its column key
      {"1003", "2", "-"},        // orders.line references nothing
      {"1004", "2", "1001.1"},   // second pair of a table key: 1004.2 -> 1002.1
      {"1004", "1", "-"},        // 1004.1 -> 1002.2
      {"1005", "1", "-"},        // a circle ends without answer
      {"1001", "2", "-"},
  };
  for (const Case &c : cases) {
    const char *tbl = nullptr, *col = nullptr;
    tav_defin__resolve_identity_column(ctx, d, c.tbl, c.col, &tbl, &col);
    EXPECT_EQ(tbl ? std::string(tbl) + "." + col : "-", c.expected) << c.tbl << "." << c.col;
    EXPECT_EQ(take_error(), "ok");
  }
  // A key to a table the definition does not hold is named as such.
  tav_defin__set_column_fk(ctx, d, "1003", "3", 1, "2006", "FK_gone", "1099", "1", 0, nullptr, nullptr, 0);
  const char *tbl = nullptr;
  tav_defin__resolve_identity_column(ctx, d, "1003", "3", &tbl, nullptr);
  EXPECT_EQ(take_error(), "1:foreign key 'FK_gone' of table id '1003' references table id '1099', which is not in the schema");
  QK_varray *pOrder = nullptr;
  tav_defin__order_tables_by_fk(ctx, d, &pOrder);
  EXPECT_EQ(pOrder, nullptr);
  EXPECT_EQ(take_error(), "312:foreign key 'FK_gone' of table id '1003' references table id '1099', which is not in the schema");
}

TEST_F(DefinFk, TableKeyAccessors) {
  QK_uint32 n = 0;
  const char *id = nullptr, *from = nullptr, *to = nullptr, *text = nullptr;
  int onUpdate = -1, onDelete = -1;
  tav_defin__count_table_fks(ctx, d, "1003", &n);
  EXPECT_EQ(n, 1u);
  tav_defin__count_table_fks(ctx, d, "1002", &n);
  EXPECT_EQ(n, 0u);
  tav_defin__get_fk_id_at(ctx, d, "1003", 0, &id);
  EXPECT_STREQ(id, "2001");
  tav_defin__get_fk_ref_table(ctx, d, "1003", "2001", &text);
  EXPECT_STREQ(text, "1002");
  tav_defin__get_fk_name(ctx, d, "1003", "2001", &text);
  EXPECT_STREQ(text, "FK_l_o");
  tav_defin__get_fk_on_delete(ctx, d, "1003", "2001", &text);
  EXPECT_STREQ(text, "NO ACTION");
  tav_defin__get_fk_action_flags(ctx, d, "1003", "2001", &onUpdate, &onDelete);
  EXPECT_EQ(onUpdate * 10 + onDelete, 10);
  tav_defin__count_fk_columns(ctx, d, "1003", "2001", &n);
  EXPECT_EQ(n, 2u);
  tav_defin__get_fk_column_pair_at(ctx, d, "1003", "2001", 1, &from, &to);
  EXPECT_EQ(std::string(from) + ">" + to, "2>2");
  EXPECT_EQ(take_error(), "ok");
  tav_defin__get_fk_id_at(ctx, d, "1002", 0, &id);
  EXPECT_EQ(take_error(), "47:foreignkeys");
  tav_defin__get_fk_name(ctx, d, "1003", "2999", &text);
  EXPECT_EQ(take_error(), "47:2999");
  tav_defin__get_fk_column_pair_at(ctx, d, "1003", "2001", 2, &from, &to);
  EXPECT_EQ(take_error(), "55:");
}

TEST_F(DefinFk, Lists) {
  // orders gets a self reference (no identity column there) whose ON DELETE is "no action".
  tav_defin__add_column(ctx, d, "1002", "6", "prev", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "1002", "6", "sint32");
  tav_defin__set_column_fk(ctx, d, "1002", "6", 1, "2007", "FK_self", "1002", "2", 0, "no action", nullptr, 0);
  ASSERT_EQ(take_error(), "ok");

  QK_vhash *set = nullptr;
  tav_defin__list_referenced_tables(ctx, d, "1002", &set);
  EXPECT_EQ(vhash_json(ctx, set), R"({"1001":null,"1002":null})");
  QK_vhash__free(ctx, set);
  QK_nullhash *parents = nullptr;
  QK_uint32 n = 0;
  tav_defin__list_parent_tables(ctx, d, "1002", &parents);
  QK_nullhash__count(ctx, parents, &n);
  EXPECT_EQ(n, 1u);
  QK_nullhash__free(ctx, parents);
  tav_defin__list_parent_tables(ctx, d, "1001", &parents);
  EXPECT_EQ(parents, nullptr);

  QK_varray *list = nullptr;
  tav_defin__list_fk_actions(ctx, d, "1002", nullptr, 0, &list, &n);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(varray_json(ctx, list),
            R"([{"name":"FK_o_c","on-delete":"CASCADE","tbl":"1001","cols-from":["cust"],"cols-to":["id"],"defvals":[]},)"
            R"({"name":"FK_self","tbl":"1002","cols-from":["prev"],"cols-to":["line"],"defvals":[]}])");
  QK_varray__free(ctx, list);
  tav_defin__list_fk_actions(ctx, d, "1002", "1002", 0, &list, &n);
  EXPECT_EQ(n, 1u);
  QK_varray__free(ctx, list);
  tav_defin__list_fk_actions(ctx, d, "1001", nullptr, 0, &list, &n);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(n, 0u);

  tav_defin__list_child_fks(ctx, d, "1002", 0, 0, &list, &n);
  EXPECT_EQ(varray_json(ctx, list),
            R"([{"name":"FK_l_o","tbl":"1003","on-up":true,"cols-from":["o_cust","o_line"],"cols-to":["cust","line"]}])");
  QK_varray__free(ctx, list);
  tav_defin__list_child_fks(ctx, d, "1001", 0, 0, &list, &n);
  EXPECT_EQ(varray_json(ctx, list),
            R"([{"name":"FK_o_c","tbl":"1002","on-up":false,"cols-from":["cust"],"cols-to":["id"]}])");
  QK_varray__free(ctx, list);
  tav_defin__list_child_fks(ctx, d, "1003", 0, 0, &list, &n);
  EXPECT_EQ(list, nullptr);

  QK_vhash *map = nullptr;
  tav_defin__list_referencing_columns(ctx, d, "1002", "2", &map);
  EXPECT_EQ(vhash_json(ctx, map), R"({"1002":{"6":"2"},"1003":{"2":"2"}})");
  QK_vhash__free(ctx, map);
  tav_defin__list_fks_referencing(ctx, d, "1002", &map);
  EXPECT_EQ(vhash_json(ctx, map), R"({"2001":{"tbl":"1003","cols":{"1":"1","2":"2"}}})");
  QK_vhash__free(ctx, map);
  tav_defin__list_referencing_columns(ctx, d, "1003", "1", &map);
  EXPECT_EQ(map, nullptr);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(ContextTest, ChildKeysOfATableThatOnlyReferencesItself) {
  tav_defin *d = graph_defin(ctx, {{"a", {}}, {"tree", {"tree"}}});
  QK_varray *list = nullptr;
  QK_uint32 n = 9;
  tav_defin__list_child_fks(ctx, d, "tree", 0, 0, &list, &n);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(take_error(), "ok");
  tav_defin__free(ctx, &d);
}

}  // namespace

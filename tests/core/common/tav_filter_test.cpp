#include "common/tav_filter.h"

#include <gtest/gtest.h>

#include <string>

#include "context_fixture.h"
#include "common/tav_parse_defin.h"
#include "qk/qk_malloc.h"

namespace {

// Table 1: write-blocking clause with every macro; 2: dynamic, not write-blocking; 3: excluded
// but write-blocking; 4: excluded columns; 5: no where.
const char *const FILTER_JSON = R"json({
  "tbls": {
    "1": {"where": "{{{WRITE_BLOCKING}}}[owner] = '{{{TAVRIN_USER_NAME}}}' AND [changed] > {{{TIME_OF_SYNC}}}{{{DYNAMIC}}}"},
    "2": {"where": "[region] = 3 {{{DYNAMIC}}}OR [t] < {{{TIME_OF_SYNC}}}", "exclude": false},
    "3": {"exclude": true, "where": "{{{WRITE_BLOCKING}}}{{{TIME_OF_SYNC}}} > 0"},
    "4": {"cols": {"10": {"exclude": true, "defval": "getutcdate()"}, "11": {"exclude": true},
                   "12": {"exclude": false, "defval": "0"}}},
    "5": {}
  },
  "other": 1
})json";

struct Filter : ContextTest {
  tav_filter *filter = nullptr;
  void make(const char *json, const char *user = "o'brien") {
    tav_filter__free(ctx, &filter);
    tav_filter__alloc(ctx, 42, user, json, &filter);
  }
  void TearDown() override {
    tav_filter__free(ctx, &filter);
    ContextTest::TearDown();
  }
  // "where|raw", "<none>" or the error.
  std::string where(int write_blocking_only, const char *tbl, const char *time) {
    char *raw = nullptr, *clause = nullptr;
    tav_filter__get_where(ctx, filter, write_blocking_only, tbl, time, &raw, &clause);
    std::string error = take_error();
    std::string r = error != "ok" ? error : clause ? std::string(clause) + "|" + raw : raw ? "raw without where" : "<none>";
    QK_free(ctx, raw);
    QK_free(ctx, clause);
    return r;
  }
};

TEST_F(Filter, WhereClausesExpandTheirMacros) {
  make(FILTER_JSON);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(filter->filter_id, 42);
  const std::string time = "2024-05-06 07:08:09.123";
  struct Case {
    int write_blocking_only;
    const char *tbl, *time;
    std::string result;
  } cases[] = {
      {0, "1", time.c_str(),
       "[owner] = 'o''brien' AND [changed] > (CAST ('2024-05-06 07:08:09.123' AS datetime))|"
       "[owner] = '{{{TAVRIN_USER_NAME}}}' AND [changed] > {{{TIME_OF_SYNC}}}{{{DYNAMIC}}}"},
      {1, "1", nullptr, "[owner] = 'o''brien' AND [changed] > {{{TIME_OF_SYNC}}}|"
                        "[owner] = '{{{TAVRIN_USER_NAME}}}' AND [changed] > {{{TIME_OF_SYNC}}}{{{DYNAMIC}}}"},
      {0, "2", "2024-05-06 07:08:09", "[region] = 3 OR [t] < (CAST ('2024-05-06 07:08:09' AS datetime))|"
                                      "[region] = 3 {{{DYNAMIC}}}OR [t] < {{{TIME_OF_SYNC}}}"},
      {1, "2", nullptr, "<none>"},
      {1, "3", nullptr, "{{{TIME_OF_SYNC}}} > 0|{{{TIME_OF_SYNC}}} > 0"},
      {0, "4", nullptr, "<none>"},
      {0, "5", nullptr, "<none>"},
      {0, "99", nullptr, "<none>"},
  };
  for (const Case &c : cases) EXPECT_EQ(where(c.write_blocking_only, c.tbl, c.time), c.result) << c.tbl;

  // The raw form is optional; without a user name the macro stays.
  make(FILTER_JSON, nullptr);
  char *clause = nullptr;
  tav_filter__get_where(ctx, filter, 0, "1", nullptr, nullptr, &clause);
  EXPECT_STREQ(clause, "[owner] = '{{{TAVRIN_USER_NAME}}}' AND [changed] > {{{TIME_OF_SYNC}}}");
  QK_free(ctx, clause);
  EXPECT_EQ(take_error(), "ok");
}

// The time of sync comes from the client's filter-base header and goes into T-SQL text.
TEST_F(Filter, HostileTimesOfSyncAreRefused) {
  make(FILTER_JSON);
  const std::string refused =
      "1:invalid time of sync in the filter base (expected the form YYYY-MM-DD hh:mm:ss with at most 3 "
      "fractional digits)";
  for (const char *time : {"2024-05-06 07:08:09') OR 1=1 --", "2024-05-06 07:08:09.1234", "2024-05-06T07:08:09",
                           "2024-05-06", "2024-05-06 07:08:09.", "", "x024-05-06 07:08:09", "2024-05-06 07:08:09 "}) {
    EXPECT_EQ(where(0, "1", time), refused) << time;
  }
  // A clause without the macro never looks at the time.
  EXPECT_EQ(where(0, "5", "nonsense"), "<none>");

  struct BaseCase {
    const char *json, *result;
  } bases[] = {
      {R"({"": "2024-05-06 07:08:09.5", "7": "#abc"})", "2024-05-06 07:08:09.5"},
      {R"({"7": "#abc"})", "<none>"},
      {R"({"": 20240506})", refused.c_str()},
      {R"({"": null})", refused.c_str()},
      {R"({"": "2024-05-06 07:08:09'; DROP TABLE x"})", refused.c_str()},
  };
  for (const BaseCase &b : bases) {
    QK_vhash *base = nullptr;
    const char *time = nullptr;
    QK_vhash__alloc__from_json(ctx, &base, b.json);
    ASSERT_EQ(take_error(), "ok");
    tav_filter__get_time_of_sync(ctx, base, &time);
    std::string error = take_error();
    EXPECT_EQ(error != "ok" ? error : time ? time : "<none>", b.result) << b.json;
    QK_vhash__free(ctx, base);
  }
}

TEST_F(Filter, ExclusionsAndMacroTests) {
  make(FILTER_JSON);
  struct TableCase {
    const char *tbl;
    int excluded;
  } tables[] = {{"1", 0}, {"2", 0}, {"3", 1}, {"4", 0}, {"99", 0}};
  for (const TableCase &t : tables) {
    int excluded = 7;
    tav_filter__is_table_excluded(ctx, filter, t.tbl, &excluded);
    EXPECT_EQ(excluded, t.excluded) << t.tbl;
  }
  struct ColumnCase {
    const char *tbl, *col;
    int excluded;
    const char *defval;
  } columns[] = {{"4", "10", 1, "getutcdate()"}, {"4", "11", 1, nullptr}, {"4", "12", 0, nullptr},
                 {"4", "13", 0, nullptr},        {"1", "10", 0, nullptr}, {"99", "10", 0, nullptr}};
  for (const ColumnCase &c : columns) {
    int excluded = 7;
    const char *defval = "unset";
    tav_filter__get_column_exclusion(ctx, filter, c.tbl, c.col, &excluded, &defval);
    EXPECT_EQ(excluded, c.excluded) << c.tbl << "." << c.col;
    EXPECT_STREQ(defval, c.defval) << c.tbl << "." << c.col;
  }
  int result = 7;
  tav_filter__has_write_blocking(ctx, filter, &result);
  EXPECT_EQ(result, 1);
  tav_filter__has_time_of_sync(ctx, filter, 0, &result);
  EXPECT_EQ(result, 1);
  tav_filter__has_time_of_sync(ctx, filter, 1, &result);
  EXPECT_EQ(result, 1);
  tav_filter__has_write_blocking(ctx, nullptr, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(take_error(), "ok");

  // Only the excluded table has the macros: nothing counts. No "tbls" at all: nothing either.
  for (const char *json : {R"({"tbls": {"3": {"exclude": true, "where": "{{{WRITE_BLOCKING}}}{{{TIME_OF_SYNC}}}"},
                                         "2": {"where": "{{{TIME_OF_SYNC}}} > 1"}}})",
                           "{}"}) {
    make(json);
    int blocking = 7, timed = 7;
    tav_filter__has_write_blocking(ctx, filter, &blocking);
    tav_filter__has_time_of_sync(ctx, filter, 1, &timed);
    EXPECT_EQ(blocking, 0) << json;
    EXPECT_EQ(timed, 0) << json;
    EXPECT_EQ(where(0, "1", nullptr), "<none>");
    int excluded = 7;
    tav_filter__is_table_excluded(ctx, filter, "3", &excluded);
    EXPECT_EQ(take_error(), "ok");
  }
}

TEST_F(Filter, WrongTypesAndBadJson) {
  struct Case {
    const char *json, *error;
  } cases[] = {
      {R"({"tbls": {"1": {"exclude": "yes"}}})", "48"},
      {R"({"tbls": {"1": {"where": 5}}})", "48"},
      {R"({"tbls": {"1": []}})", "48"},
      {R"({"tbls": []})", "48"},
      {R"({"tbls": {"1": {"cols": {"2": {"exclude": 1}}}}})", "48"},
  };
  for (const Case &c : cases) {
    make(c.json);
    ASSERT_EQ(take_error(), "ok");
    int value = 0;
    const char *defval = nullptr;
    char *clause = nullptr;
    tav_filter__is_table_excluded(ctx, filter, "1", &value);
    std::string excluded = take_error();
    tav_filter__get_where(ctx, filter, 0, "1", nullptr, nullptr, &clause);
    std::string where_error = take_error();
    tav_filter__get_column_exclusion(ctx, filter, "1", "2", &value, &defval);
    std::string column = take_error();
    tav_filter__has_write_blocking(ctx, filter, &value);
    std::string blocking = take_error();
    std::string all = excluded + where_error + column + blocking;
    EXPECT_NE(all.find(std::string(c.error) + ":"), std::string::npos) << c.json << " gave " << all;
    EXPECT_EQ(clause, nullptr);
  }
  for (const char *json : {"[1]", "{\"tbls\":", "not json"}) {
    tav_filter *bad = nullptr;
    tav_filter__alloc(ctx, 1, "u", json, &bad);
    EXPECT_NE(take_error(), "ok") << json;
    EXPECT_EQ(bad, nullptr);
  }
  tav_filter__free(ctx, nullptr);
}

TEST_F(Filter, ExcludedColumnDefaultsForThePushImport) {
  tav_defin *defin = nullptr;
  tav_defin__alloc(ctx, 1, &defin);
  tav_defin__add_table(ctx, defin, "7", "t", 1);
  tav_defin__add_column(ctx, defin, "7", "1", "a]b", 1, 0, 0);
  tav_defin__add_column(ctx, defin, "7", "2", "c", 0, 0, 0);
  tav_defin__add_column(ctx, defin, "7", "3", "d", 1, 0, 0);
  tav_defin__add_column(ctx, defin, "7", "4", "e", 1, 0, 0);
  ASSERT_EQ(take_error(), "ok");
  make(R"json({"tbls": {"7": {"cols": {"1": {"exclude": true, "defval": "0"},
                                       "4": {"exclude": false, "defval": "1"},
                                       "2": {"exclude": true, "defval": "getutcdate()"},
                                       "3": {"exclude": true}}},
                         "8": {"where": "1 = 1"}}})json");
  QK_vhash *skip = nullptr;
  QK_vhash__alloc__from_json(ctx, &skip, R"({"c": true})");
  ASSERT_EQ(take_error(), "ok");
  struct Case {
    const char *tbl;
    int unprep_only, use_skip;
    const char *columns, *defaults;
  } cases[] = {
      {"7", 0, 0, ",[a]]b],[c]", ",(0),(getutcdate())"},
      {"7", 1, 0, ",[c]", ",(getutcdate())"},
      {"7", 0, 1, ",[a]]b]", ",(0)"},
      {"7", 1, 1, nullptr, nullptr},
      {"8", 0, 0, nullptr, nullptr},
      {"9", 0, 0, nullptr, nullptr},
  };
  for (const Case &c : cases) {
    QK_string *columns = nullptr, *defaults = nullptr;
    tav_filter__excluded_column_defaults(ctx, filter, defin, c.tbl, c.unprep_only, c.use_skip ? skip : nullptr,
                                         &columns, &defaults);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_STREQ(columns ? QK_string__sz(columns) : nullptr, c.columns) << c.tbl << c.unprep_only << c.use_skip;
    EXPECT_STREQ(defaults ? QK_string__sz(defaults) : nullptr, c.defaults) << c.tbl << c.unprep_only << c.use_skip;
    QK_string__free(ctx, columns);
    QK_string__free(ctx, defaults);
  }
  QK_vhash__free(ctx, skip);
  tav_defin__free(ctx, &defin);
}

}  // namespace

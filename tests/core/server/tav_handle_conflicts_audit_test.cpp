// Audit rows of a push: the row JSON and the result decided by which document is final.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "context_fixture.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"
#include "server/tav_handle_conflicts_audit.h"

namespace {

struct AuditTest : ContextTest {
  sqlite3 *db = nullptr;
  const QK_uint8 rid[16] = {0xA1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0xF0};
  void SetUp() override {
    ContextTest::SetUp();
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  }
  void TearDown() override {
    sqlite3_close(db);
    ContextTest::TearDown();
  }
  QK_vhash *doc(const char *json) {
    QK_vhash *p = nullptr;
    QK_vhash__alloc__from_json(ctx, &p, json);
    EXPECT_EQ(take_error(), "ok") << json;
    return p;
  }
  std::string json(const char *rowJson) {
    QK_vhash *p = doc(rowJson);
    QK_string *s = nullptr;
    QK_string__alloc(ctx, &s);
    tav_audit__row_json(ctx, p, s);
    std::string r = take_error();
    if (r == "ok") r = QK_string__sz(s);
    QK_string__free(ctx, s);
    QK_vhash__free(ctx, p);
    return r;
  }
  std::string audit_rows() {
    sqlite3_stmt *st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, "SELECT hex(rid), txid, tbl, ancestor, already, incoming, result FROM p$audit", -1,
                           &st, nullptr) != SQLITE_OK)
      return "<no table>";
    while (sqlite3_step(st) == SQLITE_ROW) {
      if (!out.empty()) out += "\n";
      for (int i = 0; i < 7; i++) {
        const unsigned char *t = sqlite3_column_text(st, i);
        out += (i ? "|" : "") + std::string(t ? (const char *)t : "NULL");
      }
    }
    sqlite3_finalize(st);
    return out;
  }
};

TEST_F(AuditTest, RowJsonShowsBlobBytesOnlyUpToSixteen) {
  std::string hex16(32, 'a'), hex17(34, 'b');
  EXPECT_EQ(json(("{\"b\":{\"len\":16,\"sha1\":\"s16\",\"hex\":\"" + hex16 + "\"},\"a\":\"S:7\",\"n\":5}").c_str()),
            "{\"b\":{\"len\":16,\"sha1\":\"s16\",\"hex\":\"" + hex16 + "\"},\"a\":\"S:7\",\"n\":5}");
  EXPECT_EQ(json(("{\"b\":{\"len\":17,\"sha1\":\"s17\",\"hex\":\"" + hex17 + "\"}}").c_str()),
            "{\"b\":{\"len\":17,\"sha1\":\"s17\"}}");
  // Integers outside 32 bits travel as texts, like every JSON the server writes.
  QK_vhash *big = doc("{}");
  QK_vhash__add__int64(ctx, big, "big", 5000000000LL);
  QK_string *s = nullptr;
  QK_string__alloc(ctx, &s);
  tav_audit__row_json(ctx, big, s);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_STREQ(QK_string__sz(s), "{\"big\":\"5000000000\"}");
  QK_string__free(ctx, s);
  QK_vhash__free(ctx, big);
  EXPECT_EQ(json("{\"b\":{\"len\":1,\"hex\":\"00\"}}").substr(0, 3), "47:");
}

TEST_F(AuditTest, ResultFollowsWhichDocumentIsFinal) {
  QK_vhash *already = doc("{\"id\":\"S:1\",\"name\":\"a\"}");
  QK_vhash *incoming = doc("{\"id\":\"S:1\",\"name\":\"b\"}");
  QK_vhash *ancestor = doc("{\"id\":\"S:1\"}");
  // A copy equal to incoming is a merged row, not an acceptance.
  QK_vhash *merged = doc("{\"id\":\"S:1\",\"name\":\"b\"}");
  tav_audit__add_row(ctx, db, "101", rid, already, incoming, ancestor, already);
  tav_audit__add_row(ctx, db, "101", rid, already, incoming, ancestor, incoming);
  tav_audit__add_row(ctx, db, "101", rid, already, incoming, nullptr, merged);
  // An incoming delete that is accepted: both NULL.
  tav_audit__add_row(ctx, db, "102", rid, already, nullptr, ancestor, nullptr);
  ASSERT_EQ(take_error(), "ok");
  std::string r = "A102030405060708090A0B0C0D0E0FF0";
  EXPECT_EQ(audit_rows(),
            r + "|0|101|{\"id\":\"S:1\"}|{\"id\":\"S:1\",\"name\":\"a\"}|{\"id\":\"S:1\",\"name\":\"b\"}|ignore\n" + r +
                "|0|101|{\"id\":\"S:1\"}|{\"id\":\"S:1\",\"name\":\"a\"}|{\"id\":\"S:1\",\"name\":\"b\"}|accept\n" + r +
                "|0|101|NULL|{\"id\":\"S:1\",\"name\":\"a\"}|{\"id\":\"S:1\",\"name\":\"b\"}|{\"id\":\"S:1\",\"name\":\"b\"}\n" +
                r + "|0|102|{\"id\":\"S:1\"}|{\"id\":\"S:1\",\"name\":\"a\"}|NULL|accept");
  for (QK_vhash *p : {already, incoming, ancestor, merged}) QK_vhash__free(ctx, p);
}

}  // namespace

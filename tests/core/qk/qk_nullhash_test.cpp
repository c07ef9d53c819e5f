#include "qk/qk_nullhash.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "context_fixture.h"

namespace {

struct Nullhash : ContextTest {
  QK_nullhash *set = nullptr;
  void SetUp() override {
    ContextTest::SetUp();
    QK_nullhash__alloc(ctx, &set);
  }
  void TearDown() override {
    QK_nullhash__free(ctx, set);
    ContextTest::TearDown();
  }
};

// Random adds of keys of every length (4, 8, 12 ... included) against a set plus a list.
TEST_F(Nullhash, BehavesLikeAnInsertionOrderedSet) {
  std::mt19937 rng(99);
  std::set<std::string> seen;
  std::vector<std::string> order;
  std::vector<QK_uint32> growth;
  QK_uint32 capacity = set->table.capacity;
  for (int i = 0; i < 5000; i++) {
    std::string full = std::to_string(rng()) + std::to_string(rng());
    QK_uint32 len = rng() % (full.size() + 1);
    std::string key = full.substr(0, len % 3 == 0 ? len : len / 4);
    bool present = seen.count(key) > 0;
    switch (rng() % 3) {
      case 0:
        QK_nullhash__add__buflen(ctx, set, full.data(), (QK_uint32)key.size());
        ASSERT_EQ(take_error(), present ? "46:" + key : "ok");
        break;
      case 1: {
        int already = -1;
        QK_nullhash__add_if_missing_report(ctx, set, key.c_str(), &already);
        ASSERT_EQ(already, present);
        break;
      }
      case 2: {
        int has = -1;
        QK_nullhash__has(ctx, set, key.c_str(), &has);
        ASSERT_EQ(has, present);
        continue;
      }
    }
    if (!present) seen.insert(key), order.push_back(key);
    if (set->table.capacity != capacity) growth.push_back((QK_uint32)order.size()), capacity = set->table.capacity;
  }
  EXPECT_EQ(growth[0], 7u);
  EXPECT_EQ(growth[1], 25u);
  QK_uint32 count = 0;
  QK_nullhash__count(ctx, set, &count);
  ASSERT_EQ(count, order.size());
  for (QK_uint32 i = 0; i < count; i++) {
    const char *k = nullptr;
    QK_nullhash__get_nth(ctx, set, i, &k);
    ASSERT_EQ(k, order[i]);
  }
  QK_nullhash__get_nth(ctx, set, count, nullptr);
  EXPECT_EQ(take_error(), "55:");
}

TEST_F(Nullhash, DuplicateAndArgumentErrors) {
  QK_nullhash__add(ctx, set, "x");
  QK_nullhash__add(ctx, set, "y");
  QK_nullhash__add(ctx, set, "x");
  EXPECT_EQ(take_error(), "46:x");
  QK_nullhash__add__buflen(ctx, set, "abcdefgh", 4);
  int has = 0;
  QK_nullhash__has(ctx, set, "abcd", &has);
  EXPECT_EQ(has, 1);
  QK_nullhash__add_if_missing(ctx, set, "abcd");
  QK_nullhash__count(ctx, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:pvh is null");
  QK_nullhash__free(ctx, nullptr);
}

}  // namespace

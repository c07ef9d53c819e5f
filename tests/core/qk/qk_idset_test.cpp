#include "qk/qk_idset.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <set>
#include <vector>

#include "context_fixture.h"

namespace {

using Id = std::array<QK_uint8, 16>;

struct Idset : ContextTest {};

// Random adds, skips and look-ups against a std::set, from several starting sizes: the set
// grows through many doublings, and ids that differ in one byte (or all zeros) stay apart.
TEST_F(Idset, BehavesLikeASetWhateverItsStartingSize) {
  for (QK_uint32 expected : {0u, 1u, 1000u, 70000u}) {
    SCOPED_TRACE(expected);
    QK_idset *set = nullptr;
    QK_idset__alloc(ctx, expected, &set);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_GE(set->capacity, 2 * expected);
    std::mt19937 rng(expected + 7);
    std::set<Id> seen;
    std::vector<Id> pool;
    for (int i = 0; i < 40000; i++) {
      Id id{};
      if (!pool.empty() && rng() % 4 == 0) {
        id = pool[rng() % pool.size()];
        if (rng() % 2) id[rng() % 16] ^= 1;  // a near miss
      } else if (rng() % 500 != 0) {
        for (auto &b : id) b = (QK_uint8)rng();
      }
      pool.push_back(id);
      bool present = seen.count(id) > 0;
      int answer = -1;
      switch (rng() % 3) {
        case 0:
          QK_idset__add(ctx, set, id.data());
          ASSERT_EQ(take_error().substr(0, 3), present ? "46:" : "ok");
          break;
        case 1:
          QK_idset__add_if_missing_report(ctx, set, id.data(), &answer);
          ASSERT_EQ(answer, present);
          break;
        default:
          QK_idset__has(ctx, set, id.data(), &answer);
          ASSERT_EQ(answer, present);
          continue;
      }
      seen.insert(id);
    }
    QK_uint32 count = 0;
    QK_idset__count(ctx, set, &count);
    EXPECT_EQ(count, seen.size());
    EXPECT_LE(2 * count, set->capacity);
    for (const Id &id : seen) {
      int has = 0;
      QK_idset__has(ctx, set, id.data(), &has);
      ASSERT_EQ(has, 1);
    }
    QK_idset__free(ctx, set);
  }
}

TEST_F(Idset, DuplicateAndArgumentErrors) {
  QK_idset *set = nullptr;
  QK_idset__alloc(ctx, 0, &set);
  const QK_uint8 id[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  QK_idset__add(ctx, set, id);
  QK_idset__add(ctx, set, id);
  EXPECT_EQ(take_error(), "46:00112233445566778899aabbccddeeff");
  QK_idset__add(ctx, set, nullptr);
  EXPECT_EQ(take_error(), "2:pId is null");
  QK_idset__count(ctx, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:pSet is null");
  QK_idset__alloc(ctx, 0, nullptr);
  EXPECT_EQ(take_error(), "2:ppNew is null");
  QK_idset__free(ctx, set);
  QK_idset__free(ctx, nullptr);
}

}  // namespace

#include "qk/qk_misc_utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "context_fixture.h"

namespace {

using Sort = ContextTest;

struct SortProbe {
  int calls = 0;
  int failAt = -1;  // the comparison that raises an error, or -1
};

int compare_ints(QK_context *ctx, const void *pA, const void *pB, void *pContext) {
  SortProbe *probe = static_cast<SortProbe *>(pContext);
  if (probe->calls++ == probe->failAt) QK_context__throw_msg(ctx, QK_ERR_UNSPECIFIED, __FILE__, __LINE__, "bad item");
  int a = *static_cast<const int *>(pA), b = *static_cast<const int *>(pB);
  return (a > b) - (a < b);
}

TEST_F(Sort, SortsWithTheContextAndStopsAtTheFirstError) {
  std::mt19937 rng(7);
  for (int n : {0, 1, 2, 3, 17, 1000}) {
    std::vector<int> v(n);
    for (int &x : v) x = (int)(rng() % 50) - 25;
    std::vector<int> expected = v;
    std::sort(expected.begin(), expected.end());
    SortProbe probe;
    QK_qsort(ctx, v.data(), v.size(), sizeof(int), compare_ints, &probe);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(v, expected);
  }

  std::vector<int> v(100);
  for (int &x : v) x = (int)(rng() % 1000);
  SortProbe probe;
  probe.failAt = 10;
  QK_qsort(ctx, v.data(), v.size(), sizeof(int), compare_ints, &probe);
  EXPECT_EQ(take_error(), "1:bad item");
  EXPECT_EQ(probe.calls, 11);  // no comparison ran after the error

  QK_qsort(ctx, v.data(), v.size(), sizeof(int), nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:pfn is null");
  QK_qsort(ctx, nullptr, 2, sizeof(int), compare_ints, &probe);
  EXPECT_EQ(take_error(), "2:pBase is null");
}

TEST(IntTests, Fits32AndNonNegative) {
  struct {
    QK_int64 v;
    int fits, nonNegative;
  } cases[] = {
      {0, 1, 1},          {-1, 1, 0},          {INT32_MAX, 1, 1},           {INT32_MIN, 1, 0},
      {INT32_MAX + 1LL, 0, 1}, {INT32_MIN - 1LL, 0, 0}, {INT64_MAX, 0, 1}, {INT64_MIN, 0, 0},
      {0x100000000LL, 0, 1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(QK_int64__fits_int32(c.v), c.fits) << c.v;
    EXPECT_EQ(QK_int64__is_non_negative(c.v), c.nonNegative) << c.v;
  }
}

}  // namespace

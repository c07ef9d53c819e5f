#include "qk/qk_varray.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "context_fixture.h"
#include "qk/qk_vhash.h"

namespace {

struct Varray : ContextTest {
  QK_varray *va = nullptr;
  void SetUp() override {
    ContextTest::SetUp();
    QK_varray__alloc(ctx, &va);
  }
  void TearDown() override {
    QK_varray__free(ctx, va);
    ContextTest::TearDown();
  }
};

// Random appends of every kind checked against a list of (type, text) pairs.
TEST_F(Varray, BehavesLikeAList) {
  std::mt19937 rng(777);
  std::vector<std::pair<int, std::string>> model;
  std::vector<QK_uint32> growth;
  QK_uint32 capacity = va->capacity;
  EXPECT_EQ(capacity, 16u);
  for (int i = 0; i < 3000; i++) {
    std::string s = std::to_string(rng());
    switch (rng() % 4) {
      case 0: QK_varray__append__string(ctx, va, s.c_str()); model.emplace_back(QK_VARIANT_TYPE_SZ, s); break;
      case 1: QK_varray__append__int64(ctx, va, std::stoll(s)); model.emplace_back(QK_VARIANT_TYPE_INT64, s); break;
      case 2: QK_varray__append__bool(ctx, va, (int)(std::stoll(s) % 3)); model.emplace_back(QK_VARIANT_TYPE_BOOL, std::stoll(s) % 3 ? "1" : "0"); break;
      case 3: QK_varray__append__null(ctx, va); model.emplace_back(QK_VARIANT_TYPE_NULL, ""); break;
    }
    if (va->capacity != capacity) growth.push_back(i + 1), capacity = va->capacity;
  }
  EXPECT_EQ(growth[0], 17u);
  EXPECT_EQ(va->capacity, 4096u);
  ASSERT_EQ(QK_varray__count_noctx(va), model.size());
  for (QK_uint32 i = 0; i < model.size(); i++) {
    QK_variant *v = nullptr;
    QK_varray__get__variant(ctx, va, i, &v);
    ASSERT_EQ(v->type, model[i].first) << i;
    if (v->type == QK_VARIANT_TYPE_SZ) { ASSERT_EQ(v->u.psz, model[i].second); }
    if (v->type == QK_VARIANT_TYPE_INT64) { ASSERT_EQ(std::to_string(v->u.i64), model[i].second); }
    if (v->type == QK_VARIANT_TYPE_BOOL) { ASSERT_EQ(std::to_string(v->u.b), model[i].second); }
  }
  QK_varray *copy = nullptr;
  QK_varray__alloc(ctx, &copy);
  QK_varray__copy_items(ctx, va, copy);
  int eq = 0;
  QK_varray__equal(ctx, va, copy, &eq);
  EXPECT_EQ(eq, 1);
  QK_varray__append__null(ctx, copy);
  QK_varray__equal(ctx, va, copy, &eq);
  EXPECT_EQ(eq, 0);
  QK_varray__free(ctx, copy);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(Varray, ReadersAndErrors) {
  QK_varray__append__string(ctx, va, "77");
  QK_varray__append__bool(ctx, va, 0);
  QK_int64 v = 0;
  QK_varray__get__int64(ctx, va, 0, &v);
  EXPECT_EQ(v, 77);
  const char *sz = nullptr;
  QK_varray__get__sz(ctx, va, 2, &sz);
  EXPECT_EQ(take_error(), "50:");
  QK_varray__get__vhash(ctx, va, 0, nullptr);
  EXPECT_EQ(take_error(), "2:ppvh is null");
  int previous = -1;
  QK_varray__set__bool(ctx, va, 1, 9, &previous);
  EXPECT_EQ(previous, 0);
  int now = 0;
  QK_varray__get__bool(ctx, va, 1, &now);
  EXPECT_EQ(now, 1);
  QK_varray__set__bool(ctx, va, 0, 1, nullptr);
  EXPECT_EQ(take_error(), "48:");
  QK_variant odd{};
  odd.type = 0x80;
  QK_varray__append__variant(ctx, va, &odd);
  EXPECT_EQ(take_error(), "2:Variant has unknown type: 128");
  QK_varray__append__string(ctx, va, nullptr);
  EXPECT_EQ(take_error(), "2:putf8Value is null");
  EXPECT_EQ(QK_varray__count_noctx(nullptr), 0u);
}

TEST_F(Varray, OrderMattersAndCopiesAreDeep) {
  QK_vhash *src = nullptr;
  QK_vhash__alloc(ctx, &src);
  QK_vhash__add__string(ctx, src, "k", "before");
  QK_vhash *copy = nullptr;
  QK_varray__appendcopy__vhash(ctx, va, src, &copy);
  QK_vhash__update__string(ctx, src, "k", "after");
  const char *sz = nullptr;
  QK_vhash__get__sz(ctx, copy, "k", &sz);
  EXPECT_STREQ(sz, "before");
  QK_vhash__free(ctx, src);

  QK_varray *a = nullptr, *b = nullptr;
  QK_varray__alloc(ctx, &a);
  QK_varray__alloc(ctx, &b);
  QK_varray__append__int64(ctx, a, 1);
  QK_varray__append__int64(ctx, a, 2);
  QK_varray__append__int64(ctx, b, 2);
  QK_varray__append__int64(ctx, b, 1);
  int eq = 1;
  QK_varray__equal(ctx, a, b, &eq);
  EXPECT_EQ(eq, 0);
  QK_varray__append__varray(ctx, va, &a);  // owned from now on
  EXPECT_EQ(a, nullptr);
  QK_varray__free(ctx, b);
  QK_varray__copy_items(ctx, va, va);  // copying into itself ends
  EXPECT_EQ(QK_varray__count_noctx(va), 4u);
  EXPECT_EQ(take_error(), "ok");
}

}  // namespace

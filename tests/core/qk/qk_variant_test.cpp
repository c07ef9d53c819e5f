#include "qk/qk_variant.h"

#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include "context_fixture.h"
#include "qk/qk_malloc.h"
#include "qk/qk_strpool.h"
#include "qk/qk_varpool.h"
#include "qk/qk_vhash.h"

namespace {

using Pools = ContextTest;
using Variant = ContextTest;

TEST_F(Pools, TextsTakeWholeWordsAndOversizeRequestsGetTheirOwnChunk) {
  QK_strpool *pool = nullptr;
  QK_strpool__alloc(ctx, &pool, 16);
  char *a = nullptr, *b = nullptr, *c = nullptr, *big = nullptr, *after = nullptr;
  QK_strpool__add__sz(ctx, pool, "abc", &a);    // 3 + NUL = 4
  QK_strpool__add__sz(ctx, pool, "abcd", &b);   // 4 + NUL -> 8
  EXPECT_EQ(b - a, 4);
  EXPECT_EQ(pool->chunks->used, 12u);
  EXPECT_EQ(memcmp(b, "abcd\0\0\0\0", 8), 0);  // zero-filled up to the next block
  QK_strpool__add__sz_len(ctx, pool, "xyzzy", 2, &c);
  EXPECT_STREQ(c, "xy");
  EXPECT_EQ(pool->chunks->used, 16u);

  std::string text(40, 'q');
  QK_strpool__add__sz(ctx, pool, text.c_str(), &big);  // 41 -> 44, larger than a chunk
  EXPECT_EQ(pool->chunks->size, 44u);
  EXPECT_EQ(pool->chunks->used, 44u);
  QK_strpool__add__sz(ctx, pool, "z", &after);  // the next small one gets a regular chunk
  EXPECT_EQ(pool->chunks->size, 16u);
  EXPECT_EQ(pool->chunks->used, 4u);

  void *raw = nullptr;
  QK_strpool__add__buflen(ctx, pool, "1234", 4, &raw);  // no NUL of its own
  EXPECT_EQ(pool->chunks->used, 8u);
  EXPECT_STREQ(a, "abc");
  EXPECT_STREQ(big, text.c_str());
  EXPECT_EQ(take_error(), "ok");
  QK_strpool__free(ctx, pool);
  QK_strpool__free(ctx, nullptr);
}

TEST_F(Pools, VariantSlotsAreZeroAndStayPutAcrossChunks) {
  QK_varpool *pool = nullptr;
  QK_varpool__alloc(ctx, &pool, 3);
  std::vector<QK_variant *> slots;
  for (int i = 0; i < 10; i++) {
    QK_variant *v = nullptr;
    QK_varpool__add(ctx, pool, &v);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, 0);
    EXPECT_EQ(v->u.i64, 0);
    v->type = QK_VARIANT_TYPE_INT64;
    v->u.i64 = i;
    slots.push_back(v);
  }
  for (int i = 0; i < 10; i++) EXPECT_EQ(slots[i]->u.i64, i);
  EXPECT_EQ(take_error(), "ok");
  QK_varpool__free(ctx, pool);
}

QK_variant make_int(QK_int64 v) { QK_variant x{}; x.type = QK_VARIANT_TYPE_INT64; x.u.i64 = v; return x; }
QK_variant make_double(double v) { QK_variant x{}; x.type = QK_VARIANT_TYPE_DOUBLE; x.u.dbl = v; return x; }
QK_variant make_bool(QK_int32 v) { QK_variant x{}; x.type = QK_VARIANT_TYPE_BOOL; x.u.b = v; return x; }
QK_variant make_sz(const char *v, size_t len = std::string::npos) {
  QK_variant x{};
  x.type = QK_VARIANT_TYPE_SZ;
  x.u.psz = (char *)v;
  x.len = (QK_uint32)(len == std::string::npos ? strlen(v) : len);
  return x;
}

TEST_F(Variant, TypedReadersConvertOnlyWhatTheyMay) {
  QK_variant s42 = make_sz("42"), s4_2 = make_sz("4.2"), d = make_double(4.2), neg = make_int(-1),
             big = make_sz("18446744073709551615"), b = make_bool(1);
  QK_int64 i = 7;
  QK_variant__get__int64(ctx, &s42, &i);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(i, 42);
  struct { QK_variant *v; const char *error; } int64_cases[] = {
      {&s4_2, "48:string"}, {&d, "48:double"}, {&b, "48:bool"}, {&big, "48:string"}};
  for (auto &c : int64_cases) {
    i = 7;
    QK_variant__get__int64(ctx, c.v, &i);
    EXPECT_EQ(take_error(), c.error);
    EXPECT_EQ(i, 7);  // untouched
  }
  QK_uint64 u = 0;
  QK_variant__get__uint64(ctx, &big, &u);
  EXPECT_EQ(u, UINT64_MAX);
  QK_variant__get__uint64(ctx, &neg, &u);
  EXPECT_EQ(take_error(), "48:");
  int flag = 5;
  QK_variant__get__bool(ctx, &neg, &flag);
  EXPECT_EQ(take_error(), "48:");
  QK_variant__get__bool(ctx, &b, &flag);
  EXPECT_EQ(flag, 1);
  const char *sz = nullptr;
  QK_variant__get__sz(ctx, &d, &sz);
  EXPECT_EQ(take_error(), "48:");
  EXPECT_STREQ(QK_variant__type_name(QK_VARIANT_TYPE_VARRAY), "array");
  EXPECT_STREQ(QK_variant__type_name(3), "unknown");
}

TEST_F(Variant, Equality) {
  QK_variant nan1 = make_double(NAN), one = make_int(1), t1 = make_bool(1), t7 = make_bool(7), f = make_bool(0),
             d1 = make_double(1.0), a = make_sz("a"), a2 = make_sz("a"), nul1{}, nul2{},
             anb = make_sz("a\0b", 3), anb2 = make_sz("a\0b", 3), anc = make_sz("a\0c", 3), an = make_sz("a\0", 2);
  nul1.type = nul2.type = QK_VARIANT_TYPE_NULL;
  struct { QK_variant *x, *y; int equal; } cases[] = {
      {&nan1, &nan1, 1},  // the same variant
      {&nan1, &d1, 0},   {&one, &t1, 0}, {&one, &d1, 0}, {&t1, &t7, 1}, {&t1, &f, 0},
      {&a, &a2, 1},      {&nul1, &nul2, 1},
      // Texts compare all their bytes: a NUL character does not end them.
      {&anb, &anb2, 1},  {&anb, &anc, 0},  {&anb, &a, 0},  {&an, &a, 0},
  };
  for (auto &c : cases) {
    int eq = -1;
    QK_variant__equal(ctx, c.x, c.y, &eq);
    EXPECT_EQ(eq, c.equal) << QK_variant__type_name(c.x->type) << "/" << QK_variant__type_name(c.y->type);
  }
  QK_variant nan2 = make_double(NAN);
  int eq = -1;
  QK_variant__equal(ctx, &nan1, &nan2, &eq);
  EXPECT_EQ(eq, 0);
  QK_variant bad{};
  bad.type = 3;
  QK_variant bad2 = bad;
  QK_variant__equal(ctx, &bad, &bad2, &eq);
  EXPECT_EQ(take_error(), "2:");
  QK_variant__equal(ctx, nullptr, &one, &eq);
  EXPECT_EQ(take_error(), "2:pv1 is null");
}

TEST_F(Variant, HeapVariantFreesWhatItHolds) {
  QK_variant *v = nullptr;
  QK_alloc(ctx, 1, sizeof(QK_variant), &v);
  v->type = QK_VARIANT_TYPE_VHASH;
  QK_vhash__alloc(ctx, &v->u.pvh);
  QK_vhash__add__string(ctx, v->u.pvh, "k", "v");
  QK_variant__free(ctx, v);  // LeakSanitizer checks the rest
  QK_variant__free(ctx, nullptr);
  EXPECT_EQ(take_error(), "ok");
}

}  // namespace

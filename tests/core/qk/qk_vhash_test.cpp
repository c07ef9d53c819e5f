#include "qk/qk_vhash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "context_fixture.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"

namespace {

struct Vhash : ContextTest {
  QK_vhash *vh = nullptr;
  void SetUp() override {
    ContextTest::SetUp();
    QK_vhash__alloc(ctx, &vh);
  }
  void TearDown() override {
    QK_vhash__free(ctx, vh);
    ContextTest::TearDown();
  }
  std::vector<std::string> keys(const QK_vhash *h) {
    std::vector<std::string> out;
    for (QK_uint32 i = 0; i < h->table.count; i++) {
      const char *k = nullptr;
      QK_vhash__get_nth_pair(ctx, h, i, &k, nullptr);
      out.push_back(k);
    }
    return out;
  }
  std::string json(const QK_vhash *h) {
    QK_string *s = nullptr;
    QK_string__alloc(ctx, &s);
    QK_vhash__to_json(ctx, h, s);
    std::string r = QK_string__sz(s);
    QK_string__free(ctx, s);
    return r;
  }
};

TEST(KeyHash, MatchesTheLookup3Reference) {
  EXPECT_EQ(QK_keytable__hash("", 0), 0xdeadbeefu);
  EXPECT_EQ(QK_keytable__hash("Four score and seven years ago", 30), 0x17770551u);
}

// Random operations checked against an insertion-ordered model (a vector of pairs).
TEST_F(Vhash, BehavesLikeAnInsertionOrderedMap) {
  std::mt19937 rng(12345);
  std::vector<std::string> pool = {"", "a", "b", "ab", "\xc3\xa9t\xc3\xa9", "\xff"};
  for (int i = 0; i < 400; i++) pool.push_back("k" + std::to_string(rng() % 100000));
  std::vector<std::pair<std::string, QK_int64>> model;
  auto find = [&](const std::string &k) {
    return std::find_if(model.begin(), model.end(), [&](auto &p) { return p.first == k; });
  };
  for (int step = 0; step < 20000; step++) {
    const std::string &k = pool[rng() % pool.size()];
    QK_int64 value = (QK_int64)rng() - (1LL << 31);
    auto it = find(k);
    switch (rng() % 6) {
      case 0:
      case 1:
        QK_vhash__add__int64(ctx, vh, k.c_str(), value);
        if (it == model.end()) {
          ASSERT_EQ(take_error(), "ok");
          model.emplace_back(k, value);
        } else {
          ASSERT_EQ(take_error(), "46:" + k);
        }
        break;
      case 2:
        QK_vhash__update__int64(ctx, vh, k.c_str(), value);
        ASSERT_EQ(take_error(), "ok");
        if (it == model.end()) model.emplace_back(k, value); else it->second = value;
        break;
      case 3: {
        int removed = -1;
        QK_vhash__remove_if_present(ctx, vh, k.c_str(), &removed);
        ASSERT_EQ(removed, it != model.end());
        if (it != model.end()) model.erase(it);
        break;
      }
      case 4: {
        QK_int64 got = 0;
        QK_vhash__get__int64(ctx, vh, k.c_str(), &got);
        if (it == model.end()) {
          ASSERT_EQ(take_error(), "47:" + k);
        } else {
          ASSERT_EQ(take_error(), "ok");
          ASSERT_EQ(got, it->second);
        }
        break;
      }
      case 5: {
        QK_uint32 index = model.empty() ? 0 : rng() % (model.size() + 1);
        const char *key = nullptr;
        QK_variant *v = nullptr;
        QK_vhash__get_nth_pair(ctx, vh, index, &key, &v);
        if (index >= model.size()) {
          ASSERT_EQ(take_error(), "55:");
        } else {
          ASSERT_EQ(take_error(), "ok");
          ASSERT_EQ(key, model[index].first);
          ASSERT_EQ(v->u.i64, model[index].second);
        }
        break;
      }
    }
    ASSERT_EQ(vh->table.count, model.size());
    ASSERT_LE(vh->table.count * 4, vh->table.capacity * 3);
    if (step % 1000 == 0) {
      std::vector<std::string> expected;
      for (auto &p : model) expected.push_back(p.first);
      ASSERT_EQ(keys(vh), expected);
      // The same pairs added in reverse order give an equal vhash; one changed value does not.
      QK_vhash *other = nullptr;
      QK_vhash__alloc(ctx, &other);
      for (auto p = model.rbegin(); p != model.rend(); ++p) QK_vhash__add__int64(ctx, other, p->first.c_str(), p->second);
      int eq = -1;
      QK_vhash__equal(ctx, vh, other, &eq);
      ASSERT_EQ(eq, 1);
      if (!model.empty()) {
        QK_vhash__update__int64(ctx, other, model[0].first.c_str(), model[0].second + 1);
        QK_vhash__equal(ctx, vh, other, &eq);
        ASSERT_EQ(eq, 0);
      }
      QK_vhash__free(ctx, other);
    }
  }
}

TEST_F(Vhash, GrowthPointsAndCapacityTable) {
  std::vector<std::pair<QK_uint32, QK_uint32>> growth;  // (pair number, capacity after)
  QK_uint32 capacity = vh->table.capacity;
  EXPECT_EQ(capacity, 8u);
  EXPECT_EQ(vh->table.items, vh->table.inline_items);
  for (QK_uint32 n = 1; n <= 100; n++) {
    QK_vhash__add__null(ctx, vh, std::to_string(n).c_str());
    if (vh->table.capacity != capacity) growth.emplace_back(n, capacity = vh->table.capacity);
  }
  EXPECT_EQ(growth, (std::vector<std::pair<QK_uint32, QK_uint32>>{{7, 32}, {25, 128}, {97, 512}}));
  for (QK_uint32 n = 1; n <= 100; n++) {
    int has = 0;
    QK_vhash__has(ctx, vh, std::to_string(n).c_str(), &has);
    EXPECT_TRUE(has) << n;
  }
  struct { QK_uint32 guess, capacity; } table[] = {
      {1, 8}, {7, 8}, {8, 16}, {15, 16}, {100, 128}, {131072, 262144}, {262143, 262144}, {262144, 65536}};
  for (auto &c : table) {
    QK_vhash *h = nullptr;
    QK_vhash__alloc__params(ctx, &h, c.guess, nullptr, nullptr);
    EXPECT_EQ(h->table.capacity, c.capacity) << c.guess;
    EXPECT_NE(h->table.items, h->table.inline_items);
    QK_vhash__free(ctx, h);
  }
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(Vhash, TypedReadersAndChecks) {
  QK_vhash__add__string(ctx, vh, "twelve", "12");
  QK_vhash__add__string(ctx, vh, "frac", "1.5");
  QK_vhash__add__int64(ctx, vh, "big", 2147483648LL);
  QK_vhash__add__int64(ctx, vh, "max", 2147483647LL);
  QK_vhash__add__bool(ctx, vh, "flag", 42);  // stored as true
  QK_vhash__add__string__buflen(ctx, vh, "cut", "abcdef", 3);
  QK_vhash__add__string__buflen(ctx, vh, "all", "abcdef", 0);
  QK_int64 v = -5;
  QK_vhash__check__int64(ctx, vh, "absent", &v);
  EXPECT_EQ(v, -5);
  QK_vhash__check__int64(ctx, vh, "twelve", &v);
  EXPECT_EQ(v, 12);
  QK_vhash__check__int64(ctx, vh, "frac", &v);
  EXPECT_EQ(take_error(), "48:string");
  QK_int32 i32 = 0;
  QK_vhash__get__int32(ctx, vh, "big", &i32);
  EXPECT_EQ(take_error(), "104:");
  QK_vhash__get__int32(ctx, vh, "max", &i32);
  EXPECT_EQ(i32, 2147483647);
  const char *sz = "preset";
  QK_vhash__check__sz(ctx, vh, "absent", &sz);
  EXPECT_EQ(sz, nullptr);
  QK_vhash__get__sz(ctx, vh, "cut", &sz);
  EXPECT_STREQ(sz, "abc");
  QK_vhash__get__sz(ctx, vh, "all", &sz);
  EXPECT_STREQ(sz, "abcdef");
  QK_vhash__get__sz(ctx, vh, "nope", &sz);
  EXPECT_EQ(take_error(), "47:nope");
  QK_uint64 u = 0;
  QK_vhash__get_nth_pair__uint64(ctx, vh, 0, nullptr, &u);
  EXPECT_EQ(u, 12u);
  QK_vhash *child = nullptr;
  QK_vhash__ensure__vhash(ctx, vh, "twelve", &child);
  EXPECT_EQ(take_error(), "48:");
  // Bools are normalised, so true set from 42 equals true set from 1.
  QK_vhash *other = nullptr;
  QK_vhash__alloc__copy(ctx, &other, vh);
  QK_vhash__update__bool(ctx, other, "flag", 1);
  int eq = 0;
  QK_vhash__equal(ctx, vh, other, &eq);
  EXPECT_EQ(eq, 1);
  QK_vhash__free(ctx, other);
  QK_vhash__count(ctx, vh, nullptr);
  EXPECT_EQ(take_error(), "2:piResult is null");
  QK_vhash__add__string(ctx, vh, nullptr, "x");
  EXPECT_EQ(take_error(), "2:psz_key is null");
  QK_vhash__add__string(ctx, vh, "x", nullptr);
  EXPECT_EQ(take_error(), "2:psz_value is null");
}

TEST_F(Vhash, NestedValuesAreOwnedAndFreedOnReplaceRemoveAndRefusal) {
  QK_vhash *child = nullptr;
  QK_varray *arr = nullptr;
  QK_vhash__addnew__vhash(ctx, vh, "obj", &child);
  QK_vhash__add__string(ctx, child, "inner", "text");
  QK_vhash__ensure__varray(ctx, vh, "arr", &arr);
  QK_varray__append__int64(ctx, arr, 1);
  QK_varray *again = nullptr;
  QK_vhash__ensure__varray(ctx, vh, "arr", &again);
  EXPECT_EQ(again, arr);
  QK_vhash__update__int64(ctx, vh, "obj", 3);  // frees the child, keeps the position
  EXPECT_EQ(keys(vh), (std::vector<std::string>{"obj", "arr"}));
  QK_vhash__remove(ctx, vh, "arr");
  QK_vhash__remove(ctx, vh, "arr");
  EXPECT_EQ(take_error(), "47:arr");

  // A child handed over under an existing key is freed, not leaked (LeakSanitizer).
  QK_vhash *own = nullptr;
  QK_vhash__alloc(ctx, &own);
  QK_vhash__add__string(ctx, own, "x", "y");
  QK_vhash__add__vhash(ctx, vh, "obj", &own);
  EXPECT_EQ(take_error(), "46:obj");
  EXPECT_EQ(own, nullptr);
  QK_varray *ownArr = nullptr;
  QK_varray__alloc(ctx, &ownArr);
  QK_vhash__add__varray(ctx, vh, "obj", &ownArr);
  EXPECT_EQ(take_error(), "46:obj");
  EXPECT_EQ(ownArr, nullptr);

  // A child with its own pools survives as a value.
  QK_vhash__alloc(ctx, &own);
  QK_vhash__add__string(ctx, own, "x", "y");
  QK_vhash__add__vhash(ctx, vh, "own", &own);
  EXPECT_EQ(json(vh), "{\"obj\":3,\"own\":{\"x\":\"y\"}}");
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(Vhash, DeepCopyIsIndependent) {
  QK_vhash *child = nullptr;
  QK_varray *arr = nullptr;
  QK_vhash__addnew__vhash(ctx, vh, "c", &child);
  QK_vhash__add__double(ctx, child, "d", 0.5);
  QK_vhash__addnew__varray(ctx, child, "a", &arr);
  QK_varray__append__string(ctx, arr, "s");
  QK_varray__appendnew__vhash(ctx, arr, nullptr);
  QK_vhash *copy = nullptr;
  QK_vhash__alloc__copy(ctx, &copy, vh);
  int eq = 0;
  QK_vhash__equal(ctx, vh, copy, &eq);
  EXPECT_EQ(eq, 1);
  QK_varray__append__null(ctx, arr);
  QK_vhash__equal(ctx, vh, copy, &eq);
  EXPECT_EQ(eq, 0);
  EXPECT_EQ(json(copy), "{\"c\":{\"d\":0.500000,\"a\":[\"s\",{}]}}");
  QK_vhash__free(ctx, copy);
  QK_vhash__copy_items(ctx, vh, vh);  // every key exists already
  EXPECT_EQ(take_error(), "46:c");
}

// A text's NUL characters belong to it through copies, arrays, comparisons and JSON.
TEST_F(Vhash, TextsKeepTheirNulCharacters) {
  QK_varray *arr = nullptr;
  QK_variant *text = nullptr, *copied = nullptr;
  QK_vhash__add__text(ctx, vh, "t", "a\0b\0", 4);
  QK_vhash__add__string(ctx, vh, "cut", "a");
  QK_vhash__get__variant(ctx, vh, "t", &text);
  QK_vhash__addnew__varray(ctx, vh, "a", &arr);
  QK_varray__append__variant(ctx, arr, text);
  QK_varray__get__variant(ctx, arr, 0, &copied);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(std::string(copied->u.psz, copied->len), std::string("a\0b\0", 4));
  QK_vhash *copy = nullptr;
  QK_vhash__alloc__copy(ctx, &copy, vh);
  int eq = 0;
  QK_vhash__equal(ctx, vh, copy, &eq);
  EXPECT_EQ(eq, 1);
  QK_variant *cut = nullptr;
  QK_vhash__get__variant(ctx, vh, "cut", &cut);
  QK_variant__equal(ctx, text, cut, &eq);
  EXPECT_EQ(eq, 0);
  EXPECT_EQ(json(copy), "{\"t\":\"a\\u0000b\\u0000\",\"cut\":\"a\",\"a\":[\"a\\u0000b\\u0000\"]}");
  QK_vhash__free(ctx, copy);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(Vhash, SortOrdersNestedObjectsButNotObjectsInArrays) {
  QK_vhash__free(ctx, vh);
  vh = nullptr;
  QK_vhash__alloc__from_json(
      ctx, &vh, "{\"b\":{\"z\":1,\"\xc3\xa9\":2,\"Z\":3},\"a\":[{\"y\":1,\"x\":2}],\"\":0}");
  EXPECT_EQ(take_error(), "ok");
  QK_vhash__sort(ctx, vh, 1, QK_vhash__compare_keys_ascending);
  EXPECT_EQ(json(vh), "{\"\":0,\"a\":[{\"y\":1,\"x\":2}],\"b\":{\"Z\":3,\"z\":1,\"\xc3\xa9\":2}}");
  // Lookups still work through the rebuilt chains.
  QK_vhash *b = nullptr;
  QK_vhash__get__vhash(ctx, vh, "b", &b);
  QK_int64 v = 0;
  QK_vhash__get__int64(ctx, b, "\xc3\xa9", &v);
  EXPECT_EQ(v, 2);
  QK_vhash__sort(ctx, vh, 0, nullptr);
  EXPECT_EQ(take_error(), "2:pfnCompare is invalid: (pfnCompare!=NULL) is false.");
}

TEST_F(Vhash, FromJsonWantsAnObject) {
  QK_vhash *h = nullptr;
  QK_vhash__alloc__from_json(ctx, &h, "[1]");
  EXPECT_EQ(take_error(), "248:");
  EXPECT_EQ(h, nullptr);
  QK_vhash__alloc__from_json(ctx, &h, "");
  EXPECT_EQ(take_error(), "2:len is invalid: len != 0 is false.");
  QK_vhash__alloc__from_json(ctx, &h, "{\"a\":{\"b\":[1,\"x\"]}}");
  EXPECT_EQ(json(h), "{\"a\":{\"b\":[1,\"x\"]}}");
  QK_vhash__free(ctx, h);
}

}  // namespace

#include "qk/qk_filediff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "context_fixture.h"

namespace {

// Each character of a string is one token; tokens are compared by value.
struct CharSource {
  std::string text[3];
  size_t cursor[3] = {};
  int failing_source = -1;  // next_token of this source fails
  int opened = 0, closed = 0, duplicates = 0, finished = 0;
};

void cs_open(QK_context *, void *baton, int source) {
  auto *s = static_cast<CharSource *>(baton);
  s->cursor[source] = 0;
  s->opened++;
}
void cs_close(QK_context *, void *baton, int) { static_cast<CharSource *>(baton)->closed++; }
void cs_next(QK_context *ctx, void *baton, int source, void **ppToken) {
  auto *s = static_cast<CharSource *>(baton);
  if (source == s->failing_source) {
    QK_context__throw(ctx, QK_ERR_EOF, __FILE__, __LINE__);
    return;
  }
  *ppToken = s->cursor[source] < s->text[source].size() ? &s->text[source][s->cursor[source]++] : nullptr;
}
int cs_compare(void *, const void *a, const void *b) {
  return *static_cast<const unsigned char *>(a) - *static_cast<const unsigned char *>(b);
}
void cs_duplicate(void *baton, void *) { static_cast<CharSource *>(baton)->duplicates++; }
void cs_finished(void *baton) { static_cast<CharSource *>(baton)->finished++; }

const QK_diff_datasource_ops kCharOps = {cs_open, cs_close, cs_next, cs_compare, cs_duplicate, cs_finished};

struct FileDiff : ContextTest {
  // The hunks as "kind:baseStart+len/modStart+len/latestStart+len" joined by blanks.
  std::string diff(const std::string &base, const std::string &modified, const std::string &latest) {
    CharSource src{{base, modified, latest}};
    QK_diff_hunk *hunks = nullptr;
    QK_filediff__diff3(ctx, &kCharOps, &src, &hunks);
    EXPECT_FALSE(QK_context__has_error(ctx)) << message();
    std::string out;
    QK_uint32 o = 1, m = 1, l = 1;
    for (const QK_diff_hunk *h = hunks; h; h = h->next) {
      // The hunks cover the three sequences in order, without gaps.
      EXPECT_EQ(h->base_start, o);
      EXPECT_EQ(h->modified_start, m);
      EXPECT_EQ(h->latest_start, l);
      o += h->base_length;
      m += h->modified_length;
      l += h->latest_length;
      if (!out.empty()) out += " ";
      out += std::to_string(h->kind) + ":" + std::to_string(h->base_start) + "+" + std::to_string(h->base_length) +
             "/" + std::to_string(h->modified_start) + "+" + std::to_string(h->modified_length) + "/" +
             std::to_string(h->latest_start) + "+" + std::to_string(h->latest_length);
    }
    EXPECT_EQ(o, base.size() + 1);
    EXPECT_EQ(m, modified.size() + 1);
    EXPECT_EQ(l, latest.size() + 1);
    QK_filediff__free_hunks(ctx, hunks);
    return out;
  }
};

TEST_F(FileDiff, HunkKindsAndBounds) {
  struct Case {
    const char *base, *modified, *latest, *hunks;
  } cases[] = {
      {"abc", "abc", "abc", "0:1+3/1+3/1+3"},
      {"", "", "", ""},
      {"", "xy", "xy", "3:1+0/1+2/1+2"},
      {"", "xy", "xz", "4:1+0/1+2/1+2"},
      // Deleted in latest, kept in modified.
      {"abc", "abc", "ac", "0:1+1/1+1/1+1 2:2+1/2+1/2+0 0:3+1/3+1/2+1"},
      // Different tokens changed on each side, with a common token between them.
      {"abcde", "aXcde", "abcYe", "0:1+1/1+1/1+1 1:2+1/2+1/2+1 0:3+1/3+1/3+1 2:4+1/4+1/4+1 0:5+1/5+1/5+1"},
      // Touching changes conflict.
      {"abcd", "aXcd", "abYd", "0:1+1/1+1/1+1 4:2+2/2+2/2+2 0:4+1/4+1/4+1"},
      // Both deleted the same token; both inserted the same tokens.
      {"abc", "ac", "ac", "0:1+1/1+1/1+1 3:2+1/2+0/2+0 0:3+1/2+1/2+1"},
      {"ab", "aXYb", "aXYb", "0:1+1/1+1/1+1 3:2+0/2+2/2+2 0:2+1/4+1/4+1"},
      // Everything replaced on one side; all deleted on the other.
      {"abc", "xyz", "abc", "1:1+3/1+3/1+3"},
      {"abc", "abc", "", "2:1+3/1+3/1+0"},
      // Repeated tokens: the run slides across the insertion so that it joins its neighbour.
      {"aab", "aaab", "aab", "1:1+0/1+1/1+0 0:1+3/2+3/1+3"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(diff(c.base, c.modified, c.latest), c.hunks) << c.base << "|" << c.modified << "|" << c.latest;
}

TEST_F(FileDiff, DatasourceProtocol) {
  CharSource src{{"abca", "ab", "b"}};
  QK_diff_hunk *hunks = nullptr;
  QK_filediff__diff3(ctx, &kCharOps, &src, &hunks);
  ASSERT_FALSE(QK_context__has_error(ctx));
  EXPECT_EQ(src.opened, 3);
  EXPECT_EQ(src.closed, 3);
  EXPECT_EQ(src.finished, 1);
  EXPECT_EQ(src.duplicates, 4);  // the second "a" of the base and all of modified and latest
  EXPECT_FALSE(QK_filediff__has_conflicts(hunks));

  // Output calls the operation of each kind; a NULL operation skips its hunks.
  std::vector<std::string> calls;
  auto record = [](QK_context *, void *baton, QK_uint32 os, QK_uint32 ol, QK_uint32 ms, QK_uint32 ml,
                   QK_uint32 ls, QK_uint32 ll) {
    static_cast<std::vector<std::string> *>(baton)->push_back(
        std::to_string(os) + "," + std::to_string(ol) + "," + std::to_string(ms) + "," + std::to_string(ml) + "," +
        std::to_string(ls) + "," + std::to_string(ll));
  };
  QK_diff_output_ops ops = {record, nullptr, nullptr, nullptr, record};
  QK_filediff__output(ctx, &ops, &calls, hunks);
  EXPECT_FALSE(QK_context__has_error(ctx));
  EXPECT_EQ(calls, (std::vector<std::string>{"2,1,2,1,1,1"}));
  QK_filediff__free_hunks(ctx, hunks);
}

TEST_F(FileDiff, ArgumentAndDatasourceErrors) {
  CharSource src{{"ab", "ab", "ab"}};
  QK_diff_hunk *hunks = nullptr;
  QK_filediff__diff3(ctx, nullptr, &src, &hunks);
  EXPECT_EQ(take_error(), "2:pVtable is null");
  QK_filediff__diff3(ctx, &kCharOps, &src, nullptr);
  EXPECT_EQ(take_error(), "2:ppDiff is null");
  QK_filediff__output(ctx, nullptr, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:pVtable is null");

  // A failing source is closed again, and no hunk list is returned.
  src.failing_source = 2;
  QK_filediff__diff3(ctx, &kCharOps, &src, &hunks);
  EXPECT_EQ(take_error(), "29:");
  EXPECT_EQ(hunks, nullptr);
  EXPECT_EQ(src.opened, src.closed);
}

}  // namespace

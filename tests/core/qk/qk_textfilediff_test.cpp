#include "qk/qk_textfilediff.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "context_fixture.h"

namespace {

struct TextMerge : ContextTest {
  // The merged text, or "!" + text when there were conflicts.
  std::string merge(const char *base, const char *modified, const char *latest, QK_uint32 options = 0,
                    const char *labelModified = nullptr, const char *labelLatest = nullptr) {
    QK_textfilediff *diff = nullptr;
    QK_string *out = nullptr, *lm = nullptr, *ll = nullptr;
    int conflicts = -1;
    QK_textfilediff__diff3(ctx, base, modified, latest, options, &diff, &conflicts);
    if (labelModified) QK_string__alloc__sz(ctx, &lm, labelModified);
    if (labelLatest) QK_string__alloc__sz(ctx, &ll, labelLatest);
    QK_textfilediff__merge_to_string(ctx, diff, lm, ll, &out);
    EXPECT_FALSE(QK_context__has_error(ctx)) << message();
    std::string text = out ? std::string(QK_string__sz(out), QK_string__length_in_bytes(out)) : "<none>";
    QK_string__free(ctx, out);
    QK_string__free(ctx, lm);
    QK_string__free(ctx, ll);
    QK_textfilediff__free(ctx, diff);
    return (conflicts ? "!" : "") + text;
  }
};

TEST_F(TextMerge, Merges) {
  struct Case {
    const char *base, *modified, *latest;
    QK_uint32 options;
    const char *merged;
  } cases[] = {
      {"one\ntwo\nthree\n", "ONE\ntwo\nthree\n", "one\ntwo\nTHREE\n", 0, "ONE\ntwo\nTHREE\n"},
      // A change and an insertion that touch it conflict; labels default.
      {"one\ntwo\n", "one\nTWO\n", "one\ntwo\nthree\n", 0,
       "!one\n<<<<<<< Modified\nTWO\n=======\ntwo\nthree\n>>>>>>> Latest\n"},
      // Identical changes on both sides are no conflict.
      {"a\nb\n", "a\nX\n", "a\nX\n", 0, "a\nX\n"},
      // Only blank runs differ: unchanged (so latest's change next to it merges), and common
      // lines are written as modified has them.
      {"a b\nc\n", "a   b\nc\n", "a b\nc\nd\n", QK_TEXTFILEDIFF_IGNORE_BLANK_RUNS, "a   b\nc\nd\n"},
      {"a b\nc\n", "a\tb\nc\n", "a b\nC\n", QK_TEXTFILEDIFF_IGNORE_BLANK_RUNS, "a\tb\nC\n"},
      {"a b\nc\n", "a\tb\nc\n", "a b\nC\n", 0, "!<<<<<<< Modified\na\tb\nc\n=======\na b\nC\n>>>>>>> Latest\n"},
      // ... but a blank never matches its absence, and trailing blanks count.
      {"a b\nc\n", "ab\nc\n", "a b\nC\n", QK_TEXTFILEDIFF_IGNORE_BLANK_RUNS,
       "!<<<<<<< Modified\nab\nc\n=======\na b\nC\n>>>>>>> Latest\n"},
      {"a b\nc\n", "a b \nc\n", "a b\nC\n", QK_TEXTFILEDIFF_IGNORE_BLANK_RUNS,
       "!<<<<<<< Modified\na b \nc\n=======\na b\nC\n>>>>>>> Latest\n"},
      {"Abc\nx\n", "aBC\nx\n", "abc\ny\n", QK_TEXTFILEDIFF_IGNORE_CASE, "aBC\ny\n"},
      {"Abc\nx\n", "aBC\nx\n", "Abc\ny\n", 0, "!<<<<<<< Modified\naBC\nx\n=======\nAbc\ny\n>>>>>>> Latest\n"},
      // Endings are not part of the line: modified turned every ending into CRLF, latest kept
      // the base's LF, and the merge uses CRLF.
      {"a\nb\nc\n", "a\r\nb\r\nc\r\n", "a\nb\nC\n", 0, "a\r\nb\r\nC\r\n"},
      {"a\nb\nc\n", "a\nb\nc\n", "a\r\nb\nc\r\nd\r\n", 0, "a\r\nb\r\nc\r\nd\r\n"},
      {"a\rm\rb\r", "a\rm\rB\r", "A\rm\rb\r", 0, "A\rm\rB\r"},
      // Final ending: both kept it; one side added it; one side removed it; none had one (the
      // unterminated last line does not outvote the line feeds before it).
      {"a\nm\nb\n", "a\nm\nB\n", "A\nm\nb\n", 0, "A\nm\nB\n"},
      {"a\nm\nb", "a\nm\nb\n", "A\nm\nb", 0, "A\nm\nb\n"},
      {"a\nm\nb\n", "a\nm\nb", "A\nm\nb\n", 0, "A\nm\nb"},
      {"a\nb", "a\nB", "a\nb", 0, "a\nB"},
      {"a x\nb", "a x\nb", "a x\nB", 0, "a x\nB"},
      {"a\rb", "a\rB", "a\rb", 0, "a\rB"},
      // A side without any line ending has no say; texts without any are joined by "\r\n".
      {"a\nb", "X", "a\nb\nc", 0, "!<<<<<<< Modified\nX\n=======\na\nb\nc\n>>>>>>> Latest"},
      {"a\r\nb\r\n", "a\r\nB\r\n", "c", 0, "!<<<<<<< Modified\r\na\r\nB\r\n=======\r\nc\r\n>>>>>>> Latest"},
      {"a", "b", "a", 0, "b"},
      {"a", "a", "b", 0, "b"},
      // An empty result stays empty (the separator is not appended to nothing).
      {"", "", "", 0, ""},
      {nullptr, nullptr, nullptr, 0, ""},
      {"a\nb\n", "", "", 0, ""},
      {"a\n\nb\n", "a\n\nb\n", "a\n\nb\nc\n", 0, "a\n\nb\nc\n"},
      // The ending belongs to the line: endings are copied, none is added, markers end in CRLF.
      {"a\nm\nb\n", "a\nm\nb\r\n", "A\nm\nb\n", QK_TEXTFILEDIFF_KEEP_ENDINGS, "A\nm\nb\r\n"},
      {"a\nb", "a\nB", "a\nC", QK_TEXTFILEDIFF_KEEP_ENDINGS, "!a\n<<<<<<< Modified\r\nB=======\r\nC>>>>>>> Latest\r\n"},
      // A fixed ending: only "\r\n" ends a line, a lone "\n" is part of it.
      {"a\nb\r\nm\r\nc\r\n", "a\nb\r\nm\r\nC\r\n", "A\nb\r\nm\r\nc\r\n", QK_TEXTFILEDIFF_ENDING_CRLF,
       "A\nb\r\nm\r\nC\r\n"},
      {"a\nb\r\nc\r\n", "a\nB\r\nc\r\n", "A\nb\r\nc\r\n", QK_TEXTFILEDIFF_ENDING_CRLF,
       "!<<<<<<< Modified\r\na\nB\r\n=======\r\nA\nb\r\n>>>>>>> Latest\r\nc\r\n"},
      {"a\rb\nm\nc\n", "a\rB\nm\nc\n", "a\rb\nm\nC\n", QK_TEXTFILEDIFF_ENDING_LF, "a\rB\nm\nC\n"},
      {"a\nb\rm\rc\r", "a\nB\rm\rc\r", "a\nb\rm\rC\r", QK_TEXTFILEDIFF_ENDING_CR, "a\nB\rm\rC\r"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(merge(c.base, c.modified, c.latest, c.options), c.merged)
        << (c.base ? c.base : "NULL") << "|" << (c.modified ? c.modified : "NULL") << "|"
        << (c.latest ? c.latest : "NULL") << "|" << c.options;
  EXPECT_EQ(merge("a\n", "b\n", "c\n", 0, "mine", "theirs"), "!<<<<<<< mine\nb\n=======\nc\n>>>>>>> theirs\n");
}

// Runs of blanks must order like one space against every other byte: a tab that matched a
// space but sorted below a control character that the space sorts above put equal lines on
// different sides of the token tree, so they no longer counted as equal.
TEST_F(TextMerge, BlankRunsCompareAsAConsistentOrder) {
  EXPECT_EQ(merge("a\x15" "b\na b\n", "a\x15" "b\na\tb\n", "a\x15" "b\na b\nc\n", QK_TEXTFILEDIFF_IGNORE_BLANK_RUNS),
            "a\x15" "b\na\tb\nc\n");
}

TEST_F(TextMerge, ArgumentErrors) {
  QK_textfilediff *diff = nullptr;
  QK_string *out = nullptr;
  QK_textfilediff__diff3(ctx, "a", "b", "c", 0, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:ppDiff is null");
  QK_textfilediff__diff3(ctx, "a", "b", "c", 0, &diff, nullptr);
  QK_textfilediff__merge_to_string(ctx, diff, nullptr, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:ppOutput is null");
  EXPECT_EQ(out, nullptr);
  QK_textfilediff__free(ctx, diff);
  QK_textfilediff__free(ctx, nullptr);
}

// ---- Against git merge-file, and merge properties, on random line edits ----------------

struct RandomTexts {
  std::mt19937 rng;
  int next_line = 0;
  explicit RandomTexts(unsigned seed) : rng(seed) {}
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  std::string fresh() { return "line " + std::to_string(next_line++); }

  std::vector<std::string> base(int max_lines) {
    std::vector<std::string> lines(pick(max_lines + 1));
    for (std::string &line : lines) line = fresh();
    return lines;
  }
  // Random deletes, inserts and replaces of up to three lines, with lines never seen before.
  std::vector<std::string> edit(std::vector<std::string> lines) {
    for (int edits = pick(4); edits > 0; edits--) {
      int at = pick((int)lines.size() + 1), count = 1 + pick(3), op = pick(3);
      int removable = std::min(count, (int)lines.size() - at);
      if (op != 1) lines.erase(lines.begin() + at, lines.begin() + at + removable);
      if (op != 0)
        for (int i = 0; i < count; i++) lines.insert(lines.begin() + at, fresh());
    }
    return lines;
  }
};

std::string join(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\n";
  return text;
}

struct GitMerge {
  std::string dir;
  GitMerge() {
    char tmpl[] = "/tmp/qk_merge_XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~GitMerge() { (void)!system(("rm -rf " + dir).c_str()); }
  // git's merged text, or "!" when it found conflicts.
  std::string run(const std::string &base, const std::string &modified, const std::string &latest) {
    std::ofstream(dir + "/base") << base;
    std::ofstream(dir + "/modified") << modified;
    std::ofstream(dir + "/latest") << latest;
    std::string command = "cd " + dir + " && git merge-file -p -L Modified -L Base -L Latest modified base latest";
    FILE *pipe = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status));
    return WEXITSTATUS(status) == 0 ? out : "!";
  }
};

TEST_F(TextMerge, AgreesWithGitMergeFileOnUniqueLines) {
  GitMerge git;
  RandomTexts random(20240607);
  int conflicts = 0;
  for (int i = 0; i < 400; i++) {
    std::vector<std::string> base = random.base(12);
    std::string b = join(base), x = join(random.edit(base)), y = join(random.edit(base));
    std::string ours = merge(b.c_str(), x.c_str(), y.c_str());
    std::string theirs = git.run(b, x, y);
    if (ours[0] == '!') {
      conflicts++;
      EXPECT_EQ(theirs, "!") << b << "--\n" << x << "--\n" << y;
    } else {
      EXPECT_EQ(ours, theirs) << b << "--\n" << x << "--\n" << y;
    }
  }
  // Both outcomes were exercised.
  EXPECT_GT(conflicts, 40);
  EXPECT_LT(conflicts, 360);
}

// Texts that end without a final line feed keep their line feeds: the merge agrees with git on
// every clean merge, and no carriage return appears, conflicts included.
TEST_F(TextMerge, LineFeedTextsWithoutFinalEndingKeepLineFeeds) {
  GitMerge git;
  RandomTexts random(5150);
  int clean = 0;
  for (int i = 0; i < 300; i++) {
    std::vector<std::string> base = random.base(8);
    std::string b = join(base), x = join(random.edit(base)), y = join(random.edit(base));
    for (std::string *text : {&b, &x, &y})
      if (!text->empty()) text->pop_back();
    std::string ours = merge(b.c_str(), x.c_str(), y.c_str());
    EXPECT_EQ(ours.find('\r'), std::string::npos) << b << "--\n" << x << "--\n" << y;
    if (ours[0] == '!') continue;
    std::string theirs = git.run(b, x, y);
    if (theirs == "!") continue;  // git also compares the endings, which ours leave aside
    clean++;
    EXPECT_EQ(ours, theirs) << b << "--\n" << x << "--\n" << y;
  }
  EXPECT_GT(clean, 100);
}

TEST_F(TextMerge, OneSidedAndIdenticalChangesMergeCleanly) {
  RandomTexts random(77);
  for (int i = 0; i < 300; i++) {
    std::vector<std::string> base = random.base(20);
    // Repeated lines too: the properties hold whatever the common subsequence chosen.
    if (!base.empty() && random.pick(2)) base[random.pick((int)base.size())] = base[0];
    std::string b = join(base), x = join(random.edit(base));
    EXPECT_EQ(merge(b.c_str(), x.c_str(), b.c_str()), x);
    EXPECT_EQ(merge(b.c_str(), b.c_str(), x.c_str()), x);
    EXPECT_EQ(merge(b.c_str(), x.c_str(), x.c_str()), x);
  }
}

// Sorted lines made the old token tree a list as deep as the text was long.
TEST_F(TextMerge, LargeSortedTextsMergeWithoutDeepRecursion) {
  const int n = 200000;
  std::string base, modified, latest;
  char line[32];
  for (int i = 0; i < n; i++) {
    snprintf(line, sizeof line, "%08d\n", i);
    base += line;
    modified += i == 10 ? std::string("changed\n") : std::string(line);
    latest += i == n - 10 ? std::string("also changed\n") : std::string(line);
  }
  std::string merged = merge(base.c_str(), modified.c_str(), latest.c_str());
  ASSERT_EQ(merged.size(), base.size() - 18 + 8 + 13);
  EXPECT_EQ(merged.substr(81, 26), "00000009\nchanged\n00000011\n");
  EXPECT_NE(merged.find("also changed\n00199991\n"), std::string::npos);
}

}  // namespace

#include "qk/qk_context.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "context_fixture.h"
#include "qk/qk_string.h"

namespace {

struct Context : ContextTest {
  std::string report(int bDetailed) {
    QK_string *s = nullptr;
    EXPECT_EQ(QK_context__error_to_string(ctx, bDetailed, &s), QK_OK);
    std::string text = s ? std::string(QK_string__sz(s), QK_string__length_in_bytes(s)) : "<null>";
    QK_string__free(ctx, s);
    return text;
  }
};

TEST_F(Context, FreshContextHasNoErrorAndCarriesIds) {
  EXPECT_EQ(ctx->level, 0u);
  EXPECT_FALSE(QK_context__has_error(ctx));
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_OK));
  EXPECT_EQ(message(), "");
  EXPECT_EQ(ctx->trace_length, 0u);
  EXPECT_EQ(ctx->process_id, (QK_uint64)getpid());
  EXPECT_EQ(ctx->thread_id, (QK_uint32)gettid());
  EXPECT_EQ(QK_context__alloc(nullptr), QK_ERR_INVALID_ARGUMENT);
}

TEST_F(Context, ReportsWithTraceFramesFromSrcOn) {
  QK_context__throw_msg(ctx, QK_ERR_INVALID_ARGUMENT, "/build/agent/src/core/qk/qk_string.cpp", 42,
                        "ppNew is null");
  QK_context__add_frame(ctx, "C:\\work\\tavrin\\src\\core\\common\\tav_utils.cpp", 7);
  QK_context__add_frame(ctx, "..\\..\\x.c", 9);
  EXPECT_EQ(report(1),
            "Error 2 (qklib): Invalid argument[3.4.0.4917]: ppNew is null\r\n"
            "\tsrc/core/qk/qk_string.cpp:42\r\n"
            "\tsrc\\core\\common\\tav_utils.cpp:7\r\n"
            "\tx.c:9\r\n");
  EXPECT_EQ(report(0), "Error: Invalid argument[3.4.0.4917]: ppNew is null");
}

TEST_F(Context, ReportTexts) {
  struct Case {
    QK_error err;
    const char *message;
    const char *detailed;
    const char *shortForm;
  } cases[] = {
      {QK_ERR_INVALID_ARGUMENT, "", "Error 2 (qklib): Invalid argument[3.4.0.4917].\r\n\tf.c:1\r\n",
       "Error: Invalid argument[3.4.0.4917]."},
      {QK_ERR_INVALID_ARGUMENT, "\rstands alone", "stands alone\r\n\tf.c:1\r\n", "stands alone"},
      {QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 9999), "m", "Error 9999 (qklib)[3.4.0.4917]: m\r\n\tf.c:1\r\n",
       "Error 9999 (qklib)[3.4.0.4917]: m"},
      {QK_ERR_MSSQL_DUPLICATE_KEY, "m", "Error 80 (qklib)[3.4.0.4917]: m\r\n\tf.c:1\r\n",
       "Error 80 (qklib)[3.4.0.4917]: m"},
      {QK_ERROR_MAKE(QK_ERR_DOMAIN_ERRNO, ENOENT), "m",
       "No such file or directory[3.4.0.4917]: m\r\n\tf.c:1\r\n", "No such file or directory[3.4.0.4917]: m"},
      {QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, 5), "", "Error 5 (sqlite)[3.4.0.4917].\r\n\tf.c:1\r\n",
       "Error 5 (sqlite)[3.4.0.4917]."},
      {QK_ERROR_MAKE(QK_ERR_DOMAIN_MSSQL, -1), "m", "Error -1 (mssql)[3.4.0.4917]: m\r\n\tf.c:1\r\n",
       "Error -1 (mssql)[3.4.0.4917]: m"},
      {QK_ERROR_MAKE(0x20, 7), "m", "Error 7 (zlib)[3.4.0.4917]: m\r\n\tf.c:1\r\n", "Error 7 (zlib)[3.4.0.4917]: m"},
      {QK_ERROR_MAKE(QK_ERR_DOMAIN_ZLIB, -3), "m", "Error -3 (zlib)[3.4.0.4917]: m\r\n\tf.c:1\r\n",
       "Error -3 (zlib)[3.4.0.4917]: m"},
      // Windows texts have no source on this platform: the report starts with the message.
      {QK_ERROR_MAKE(QK_ERR_DOMAIN_WINDOWS, 5), "m", "m\r\n\tf.c:1\r\n", "m"},
      {QK_ERR_DATE_PARSE, "",
       "Error 136 (qklib): The date could not be parsed.  Please provide either \"YYYY-MM-DD HH:MM:SS\"\n"
       "or \"YYYY-MM-DD\"[3.4.0.4917].\r\n\tf.c:1\r\n",
       "Error: The date could not be parsed.  Please provide either \"YYYY-MM-DD HH:MM:SS\"\n"
       "or \"YYYY-MM-DD\"[3.4.0.4917]."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.detailed);
    QK_context__reset_error(ctx);
    QK_context__throw_msg(ctx, c.err, "f.c", 1, c.message);
    EXPECT_EQ(report(1), c.detailed);
    EXPECT_EQ(report(0), c.shortForm);
  }
}

TEST_F(Context, WithoutErrorTheReportIsTheMessageAndTrace) {
  QK_context__set_message(ctx, "just %s", "this");
  EXPECT_EQ(report(0), "just this");
  EXPECT_EQ(report(1), "just this\r\n");
  QK_context__reset_error(ctx);
  EXPECT_EQ(report(1), "");
}

TEST_F(Context, CodeDecidesErrorButEqualityComparesAllBits) {
  QK_context__throw(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, 0), "f.c", 1);
  EXPECT_FALSE(QK_context__has_error(ctx));
  EXPECT_FALSE(QK_context__error_equals(ctx, QK_OK));
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_SQLITE, 0)));
}

TEST_F(Context, FailureInsideCleanupLeavesFirstErrorIntact) {
  QK_context__throw_msg(ctx, QK_ERR_NOT_FOUND, "src/a.c", 10, "first");
  std::string before = report(1);

  QK_context__push_level(ctx);
  EXPECT_FALSE(QK_context__has_error(ctx));
  QK_context__throw_msg(ctx, QK_ERR_MALLOC_FAILED, "src/b.c", 20, "second");
  QK_context__set_message(ctx, "third");
  QK_context__add_frame(ctx, "src/c.c", 30);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_MALLOC_FAILED));
  EXPECT_EQ(message(), "<null>");
  QK_string *nested = reinterpret_cast<QK_string *>(1);
  EXPECT_EQ(QK_context__error_to_string(ctx, 1, &nested), QK_OK);
  EXPECT_EQ(nested, nullptr);
  QK_context__reset_error(ctx);
  QK_context__pop_level(ctx);

  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_NOT_FOUND));
  EXPECT_EQ(report(1), before);
}

TEST_F(Context, ReplaceErrorKeepsMessageAndAddsFrame) {
  EXPECT_EQ(QK_context__replace_error(ctx, QK_ERR_NOT_ALLOWED, "f.c", 1), QK_ERR_CTX_NO_ERROR);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_OK));
  EXPECT_EQ(ctx->trace_length, 0u);

  QK_context__throw_msg(ctx, QK_ERR_NOT_FOUND, "f.c", 1, "gone");
  EXPECT_EQ(QK_context__replace_error(ctx, QK_OK, "f.c", 2), QK_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_NOT_FOUND));
  EXPECT_EQ(QK_context__replace_error(ctx, QK_ERR_SERVER_MISCONFIGURATION, "f.c", 3), QK_OK);
  EXPECT_EQ(report(0), "Error: Tavrin Server Misconfiguration[3.4.0.4917]: gone");
  EXPECT_EQ(std::string(ctx->trace), "\tf.c:1\r\n\tf.c:3\r\n");
}

TEST_F(Context, TraceEndsWithMarkerAtItsLimitUntilReset) {
  // 52,427 frames of 10 bytes, then one of 12 bytes lands exactly on 524,282 and still fits.
  for (int i = 0; i < 52427; i++) QK_context__add_frame(ctx, "abcde", 1);
  QK_context__add_frame(ctx, "abcdefg", 1);
  EXPECT_EQ(ctx->trace_length, 524282u);
  EXPECT_FALSE(ctx->truncated);
  QK_context__add_frame(ctx, "z", 2);
  EXPECT_EQ(ctx->trace_length, 524288u);
  EXPECT_EQ(std::string(ctx->trace + ctx->trace_length - 18), "\tabcdefg:1\r\n\t...\r\n");
  QK_context__add_frame(ctx, "z", 3);
  EXPECT_EQ(ctx->trace_length, 524288u);
  EXPECT_EQ(strlen(ctx->trace), 524288u);

  QK_context__reset_error(ctx);
  QK_context__add_frame(ctx, "z", 4);
  EXPECT_EQ(std::string(ctx->trace), "\tz:4\r\n");
}

TEST_F(Context, MessageIsCutAt8191Bytes) {
  std::string longText(10000, 'x');
  QK_context__throw_msg(ctx, QK_ERR_UNSPECIFIED, "f.c", 1, longText.c_str());
  EXPECT_EQ(message(), longText.substr(0, 8191));
}

// Nesting past the last slot must neither corrupt memory nor touch the lower levels.
TEST_F(Context, LevelsBeyondTheLastSlotShareItAndPopStopsAtZero) {
  QK_context__throw(ctx, QK_ERR_NOT_FOUND, "f.c", 1);
  for (int i = 1; i <= 98; i++) {
    QK_context__push_level(ctx);
    QK_context__throw(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 1000 + i), "f.c", 1);
  }
  for (int i = 99; i <= 150; i++) {
    QK_context__push_level(ctx);
    EXPECT_FALSE(QK_context__has_error(ctx));
    QK_context__throw(ctx, QK_ERR_MUTEX, "f.c", 1);
  }
  EXPECT_EQ(ctx->level, 150u);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_MUTEX));
  while (ctx->level > 98) QK_context__pop_level(ctx);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 1098)));
  while (ctx->level > 0) QK_context__pop_level(ctx);
  QK_context__pop_level(ctx);
  EXPECT_EQ(ctx->level, 0u);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_NOT_FOUND));
}

int g_cancel_answer;
int cancel_callback(void *pUserData) {
  ++*static_cast<int *>(pUserData);
  return g_cancel_answer;
}

TEST_F(Context, CancelCallbackRaises251WithoutMessage) {
  int calls = 0;
  QK_context__check_cancel(ctx);
  EXPECT_FALSE(QK_context__has_error(ctx));
  QK_context__set_user_data(ctx, &calls);
  QK_context__set_cancel_callback(ctx, cancel_callback);
  g_cancel_answer = 0;
  QK_context__check_cancel(ctx);
  EXPECT_FALSE(QK_context__has_error(ctx));
  g_cancel_answer = 1;
  QK_context__check_cancel(ctx);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_CANCELLED));
  EXPECT_EQ(message(), "");
  EXPECT_GT(ctx->trace_length, 0u);
  void *pUserData = nullptr;
  QK_context__get_user_data(ctx, &pUserData);
  EXPECT_EQ(pUserData, &calls);
}

TEST_F(Context, WarningsGoToTheCallbackAndTouchNoError) {
  std::vector<std::string> texts;
  QK_context__warn(ctx, "nobody listens: %d", 1);
  QK_context__set_user_data(ctx, &texts);
  QK_context__set_warning_callback(ctx, [](void *p, const char *text) {
    static_cast<std::vector<std::string> *>(p)->push_back(text);
  });
  QK_context__warn(ctx, "column \"%s\" of %s", "c", "[dbo].[t]");
  QK_context__warn(ctx, "%s", std::string(QK_CONTEXT_MESSAGE_SIZE + 10, 'x').c_str());
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "column \"c\" of [dbo].[t]");
  EXPECT_EQ(texts[1].size(), (size_t)QK_CONTEXT_MESSAGE_SIZE - 1);
  EXPECT_FALSE(QK_context__has_error(ctx));
}

TEST(ErrorText, TrimAndBufferLimits) {
  char sz[] = "Access is denied. \r\n";
  EXPECT_EQ(QK_sz__trim_error_text(sz), 16u);
  EXPECT_STREQ(sz, "Access is denied");
  char dots[] = ". .\n";
  EXPECT_EQ(QK_sz__trim_error_text(dots), 0u);

  char small[8] = "zzzzzzz";
  QK_error__to_text(QK_ERR_NOT_FOUND, 1, small, sizeof small);
  EXPECT_STREQ(small, "Error 6");
  QK_error__to_text(QK_OK, 1, small, sizeof small);
  EXPECT_STREQ(small, "");
  QK_error__to_text(QK_ERR_NOT_FOUND, 1, nullptr, 8);  // must not crash
}

// The calling-convention macros, as every module uses them.
void checked(QK_context *ctx, const char *p, int n, int x, int *pReachedEnd) {
  QK_ARG_NOT_NULL(ctx, p);
  QK_ARG_VALID(ctx, n, n>0);
  QK_VERIFY(ctx, x == 1);
  *pReachedEnd = 1;
done:;
}

void caller(QK_context *ctx, int *pReleased) {
  int reached = 0;
  QK_TRY(ctx, checked(ctx, "p", 0, 1, &reached));
done:
  QK_RELEASE(ctx, (QK_context__throw(ctx, QK_ERR_MUTEX, "release.c", 1), ++*pReleased));
}

TEST_F(Context, CallingConventionMacros) {
  int reached = 0, released = 0;
  checked(ctx, nullptr, 1, 1, &reached);
  EXPECT_EQ(message(), "p is null");
  QK_context__reset_error(ctx);

  caller(ctx, &released);
  EXPECT_EQ(released, 1);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_INVALID_ARGUMENT));
  EXPECT_EQ(message(), "n is invalid: n>0 is false.");
  // Two frames: where it was raised and where the caller saw it; paths are repository-relative.
  std::string trace = ctx->trace;
  EXPECT_EQ(trace.rfind("\ttests/core/qk/qk_context_test.cpp:", 0), 0u) << trace;
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 2);
  QK_context__reset_error(ctx);

  checked(ctx, "p", 1, 2, &reached);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_VERIFICATION_FAILED));
  EXPECT_EQ(message().rfind("Verification failed: tests/core/qk/qk_context_test.cpp:", 0), 0u);
  EXPECT_EQ(message().substr(message().size() - 9), " (x == 1)");
  QK_context__reset_error(ctx);

  checked(ctx, "p", 1, 1, &reached);
  EXPECT_EQ(reached, 1);
  EXPECT_FALSE(QK_context__has_error(ctx));
}

}  // namespace

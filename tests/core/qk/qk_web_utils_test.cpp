#include "qk/qk_web_utils.h"

#include <gtest/gtest.h>

#include "python_oracle.h"

namespace {

TEST(HtmlEscape, EscapesTheFourCharactersLikePython) {
  QK_context *ctx = nullptr;
  QK_string *encoded = nullptr;
  ASSERT_EQ(QK_context__alloc(&ctx), QK_OK);
  QK_string__alloc__sz(ctx, &encoded, "previous content");
  auto rows = python_oracle_rows(R"(
import html
for t in ['a<b&c>d', 'say "hi"', "it's", '', '&amp;', '\u00e9<\u20ac>', '<<>>&&""']:
    b = t.encode()
    print('x' + b.hex(), 'x' + html.escape(t, quote=False).replace('"', '&quot;').encode().hex())
)");
  ASSERT_EQ(rows.size(), 7u);
  for (const auto &row : rows) {
    QK_html__escape(ctx, oracle_unhex(row[0]).c_str(), encoded);
    EXPECT_EQ(QK_string__sz(encoded), oracle_unhex(row[1]));
  }
  EXPECT_FALSE(QK_context__has_error(ctx));

  const char *message = nullptr;
  QK_html__escape(ctx, nullptr, encoded);
  QK_context__get_message(ctx, &message);
  EXPECT_STREQ(message, "raw is null");
  QK_context__reset_error(ctx);
  QK_html__escape(ctx, "x", nullptr);
  QK_context__get_message(ctx, &message);
  EXPECT_STREQ(message, "encoded is null");
  QK_string__free(ctx, encoded);
  QK_context__free(ctx);
}

}  // namespace

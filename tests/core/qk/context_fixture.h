// A fresh error context per test and the helpers the module tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "qk/qk_context.h"

struct ContextTest : ::testing::Test {
  QK_context *ctx = nullptr;
  void SetUp() override { ASSERT_EQ(QK_context__alloc(&ctx), QK_OK); }
  void TearDown() override { QK_context__free(ctx); }

  std::string message() {
    const char *sz = nullptr;
    QK_context__get_message(ctx, &sz);
    return sz ? sz : "<null>";
  }
  // "ok", or "code:message" of the pending error; resets it.
  std::string take_error() {
    QK_error err;
    QK_context__get_error(ctx, &err);
    std::string r = QK_context__has_error(ctx) ? std::to_string(QK_ERROR_CODE(err)) + ":" + message() : "ok";
    QK_context__reset_error(ctx);
    return r;
  }
};

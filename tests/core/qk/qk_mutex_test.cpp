#include "qk/qk_mutex.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Mutex, ReentrantAndExclusive) {
  QK_context *ctx = nullptr;
  ASSERT_EQ(QK_context__alloc(&ctx), QK_OK);
  static QK_mutex mutex;
  QK_mutex__init(ctx, &mutex);
  // The thread that holds it may enter again, as the schema cache's nested calls do.
  QK_mutex__lock(ctx, &mutex);
  QK_mutex__lock(ctx, &mutex);
  QK_mutex__unlock(ctx, &mutex);
  QK_mutex__unlock(ctx, &mutex);
  ASSERT_FALSE(QK_context__has_error(ctx));

  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&counter] {
      QK_context *own = nullptr;
      QK_context__alloc(&own);
      for (int i = 0; i < 20000; i++) {
        QK_mutex__lock(own, &mutex);
        long seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        QK_mutex__unlock(own, &mutex);
      }
      EXPECT_FALSE(QK_context__has_error(own));
      QK_context__free(own);
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 80000);

  // Releasing a lock this thread does not hold is reported, not ignored.
  QK_mutex__unlock(ctx, &mutex);
  EXPECT_TRUE(QK_context__error_equals(ctx, QK_ERR_MUTEX));
  QK_context__reset_error(ctx);

  const char *message = nullptr;
  QK_mutex__lock(ctx, nullptr);
  QK_context__get_message(ctx, &message);
  EXPECT_STREQ(message, "pm is null");
  QK_context__free(ctx);
}

}  // namespace

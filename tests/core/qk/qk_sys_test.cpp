#include "qk/qk_sys.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <thread>

namespace {

TEST(Sys, IdsAndClock) {
  QK_uint64 pid = 0;
  QK_uint32 tid = 0, otherTid = 0;
  QK_process__get_id(nullptr, &pid);
  QK_thread__get_id(nullptr, &tid);
  EXPECT_EQ(pid, (QK_uint64)getpid());
  EXPECT_EQ(tid, (QK_uint32)gettid());
  std::thread([&otherTid] { QK_thread__get_id(nullptr, &otherTid); }).join();
  EXPECT_NE(otherTid, tid);

  // Milliseconds since 1970: bracketed by two readings of time() in seconds.
  QK_int64 ms = 0;
  time_t before = time(nullptr);
  QK_time__now_ms(nullptr, &ms);
  time_t after = time(nullptr);
  EXPECT_GE(ms, (QK_int64)before * 1000);
  EXPECT_LT(ms, ((QK_int64)after + 1) * 1000);
}

}  // namespace

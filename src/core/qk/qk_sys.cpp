/* Process and thread ids and the wall clock from POSIX. */
#include "qk/qk_sys.h"

#include <time.h>
#include <unistd.h>

void QK_process__get_id(QK_context *, QK_uint64 *pId) {
  if (pId) *pId = (QK_uint64)getpid();
}

void QK_thread__get_id(QK_context *, QK_uint32 *pId) {
  if (pId) *pId = (QK_uint32)gettid();
}

void QK_time__now_ms(QK_context *, QK_int64 *pMs) {
  struct timespec now;
  if (pMs == NULL) return;
  clock_gettime(CLOCK_REALTIME, &now);
  *pMs = (QK_int64)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

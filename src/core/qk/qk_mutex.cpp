/* A recursive POSIX mutex behind QK_mutex. */
#include "qk/qk_mutex.h"

void QK_mutex__init(QK_context *ctx, QK_mutex *pm) {
  pthread_mutexattr_t attr;
  int rc;
  QK_ARG_NOT_NULL(ctx, pm);
  if (pthread_mutexattr_init(&attr) != 0) QK_THROW(ctx, QK_ERR_MUTEX);
  rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutex_init(&pm->m, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) QK_THROW(ctx, QK_ERR_MUTEX);
done:;
}

void QK_mutex__lock(QK_context *ctx, QK_mutex *pm) {
  QK_ARG_NOT_NULL(ctx, pm);
  if (pthread_mutex_lock(&pm->m) != 0) QK_THROW(ctx, QK_ERR_MUTEX);
done:;
}

void QK_mutex__unlock(QK_context *ctx, QK_mutex *pm) {
  QK_ARG_NOT_NULL(ctx, pm);
  /* Unlocking a lock this thread does not hold fails here instead of corrupting it. */
  if (pthread_mutex_unlock(&pm->m) != 0) QK_THROW(ctx, QK_ERR_MUTEX);
done:;
}

/* QK_mutex: the library's only lock, re-entrant for the thread that holds it. Callers
 * initialise it once and never destroy it. */
#ifndef QK_MUTEX_H
#define QK_MUTEX_H

#include <pthread.h>

#include "qk/qk_context.h"

typedef struct QK_mutex {
  pthread_mutex_t m;
} QK_mutex;

/* Each raises 2 "pm is null" for a NULL mutex and 255 when the platform lock fails. */
void QK_mutex__init(QK_context *ctx, QK_mutex *pm);
void QK_mutex__lock(QK_context *ctx, QK_mutex *pm);
void QK_mutex__unlock(QK_context *ctx, QK_mutex *pm);

#endif

/* Process id, thread id and the wall clock. None of these fail; ctx is not used. */
#ifndef QK_SYS_H
#define QK_SYS_H

#include "qk/qk_context.h"

void QK_process__get_id(QK_context *ctx, QK_uint64 *pId);
void QK_thread__get_id(QK_context *ctx, QK_uint32 *pId);
/* Milliseconds since 1970-01-01 00:00:00 UTC. */
void QK_time__now_ms(QK_context *ctx, QK_int64 *pMs);

#endif

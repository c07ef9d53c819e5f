/* Fixed-width integer names used throughout the base library and the server. */
#ifndef QK_TYPES_H
#define QK_TYPES_H

#include <stddef.h>
#include <stdint.h>

typedef int8_t QK_int8;
typedef uint8_t QK_uint8;
typedef int16_t QK_int16;
typedef uint16_t QK_uint16;
typedef int32_t QK_int32;
typedef uint32_t QK_uint32;
typedef int64_t QK_int64;
typedef uint64_t QK_uint64;

/* Error value: bits 0-31 the code (0 = success), bits 32-47 the domain. */
typedef QK_uint64 QK_error;

#endif

/* The JSON reader: turns a text into a tree of QK_vhash and QK_varray sharing two pools.
 * Beyond standard JSON it accepts block comments between tokens and one trailing comma
 * before a closing brace or bracket; the top level must be an object or an array, nesting is
 * limited to 127 containers and keys to 256 bytes. */
#ifndef QK_JSONPARSER_H
#define QK_JSONPARSER_H

#include <stddef.h>

#include "qk/qk_context.h"

struct QK_vhash;
struct QK_varray;

/* Parses len bytes of szText (a NUL ends it earlier). The root comes back through *ppvh (an
 * object) or *ppva (an array), the other set to NULL; the root owns the pools of the tree.
 * Errors: 2 for len 0, 45 for text the grammar refuses (also integers beyond 64 bits, the
 * escape \u0000 and numbers too large for a double), 1 for a text that ends too early, 20 for
 * a key longer than 256 bytes, 46 with the key for a repeated key, 5 for memory. */
void QK_jsonparser__build(QK_context *ctx, const char *szText, size_t len, struct QK_vhash **ppvh,
                          struct QK_varray **ppva);

#endif

/* VCDIFF (RFC 3284) delta encoder: writes the delta that turns a source file into a target
 * file, one window per 128 KiB of target, with the default code table and no secondary
 * compression. The push answer sends the follow-up package as such a delta. */
#ifndef QK_VCDIFF_H
#define QK_VCDIFF_H

#include "qk/qk_context.h"
#include "qk/qk_stream.h"

#define QK_VCDIFF_WINDOW_SIZE 131072u

/* Writes the delta from pszSource to pszTarget into the new file pszDelta (an existing file
 * is refused and left alone). An empty source is 35. On any failure no delta file is left. */
void QK_vcdiff__deltify_files(QK_context *ctx, const char *pszSource, const char *pszTarget, const char *pszDelta);
/* The encoding itself over open streams; the same inputs always give the same bytes. */
void QK_vcdiff__encode(QK_context *ctx, QK_seekreader *pSource, QK_readstream *pTarget, QK_writestream *pDelta);

#endif

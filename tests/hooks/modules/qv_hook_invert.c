/* Inverts the bytes of an 8-bit picture's first plane (width bytes per row). It has no
 * Configure and no Release: it takes no arguments and keeps no state. */
#include "runtime/FrameHookModule.h"

void Process(void* context, QvHookPicture* picture, int pix_fmt, int width, int height, int64_t pts_us)
{
    (void)context;
    (void)pix_fmt;
    (void)pts_us;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = picture->data[0] + (long)y * picture->linesize[0];
        for (int x = 0; x < width; ++x)
            row[x] = (uint8_t)(255 - row[x]);
    }
}

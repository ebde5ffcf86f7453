/* The interface of a frame hook module: a shared object that exports these three
 * functions with C linkage. Quorvex loads it when a job names it with "vhook" and
 * hands it every decoded picture of that job.
 *
 *   int  Configure(void** context, int argc, char* argv[]);   argv[0] is the module's
 *        file name; return 0 to accept. Needed when the hook is given arguments.
 *   void Process(void* context, QvHookPicture* picture, int pix_fmt, int width,
 *                int height, int64_t pts_us);                  required; may change the
 *        picture in place.
 *   void Release(void* context);                               optional.
 */
#ifndef QUORVEX_FRAME_HOOK_MODULE_H
#define QUORVEX_FRAME_HOOK_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QvHookPicture {
    uint8_t* data[4];
    int linesize[4];
} QvHookPicture;

typedef int (*QvHookConfigure)(void** context, int argc, char* argv[]);
typedef void (*QvHookProcess)(void* context, QvHookPicture* picture, int pix_fmt, int width, int height,
                              int64_t pts_us);
typedef void (*QvHookRelease)(void* context);

#ifdef __cplusplus
}
#endif

#endif

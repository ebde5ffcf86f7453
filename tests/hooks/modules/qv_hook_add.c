/* Adds a value to every byte of the picture's first plane. Configure takes the value as
 * its one argument and refuses anything else. Each hook counts its Process calls and
 * keeps the last presentation time; the module counts loads, Configure and Release
 * calls, and remembers the current directory and first argument Configure saw, for the
 * tests to read through the QvTest functions. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <libavutil/imgutils.h>

#include "runtime/FrameHookModule.h"

typedef struct AddContext {
    int addend;
    int processCalls;
    int64_t lastPts_us;
} AddContext;

static int gLoads;
static int gConfigureCalls;
static int gReleaseCalls;
static char gConfigureDirectory[PATH_MAX];
static char gConfigureFirstArgument[PATH_MAX];

__attribute__((constructor)) static void CountLoad(void)
{
    ++gLoads;
}

int Configure(void** context, int argc, char* argv[])
{
    ++gConfigureCalls;
    if (getcwd(gConfigureDirectory, sizeof gConfigureDirectory) == NULL)
        gConfigureDirectory[0] = '\0';
    snprintf(gConfigureFirstArgument, sizeof gConfigureFirstArgument, "%s", argc > 0 ? argv[0] : "");
    if (argc != 2)
        return 1;
    char* end = NULL;
    long addend = strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0')
        return 1;
    AddContext* add = calloc(1, sizeof *add);
    if (add == NULL)
        return 1;
    add->addend = (int)addend;
    *context = add;
    return 0;
}

void Process(void* context, QvHookPicture* picture, int pix_fmt, int width, int height, int64_t pts_us)
{
    AddContext* add = context;
    ++add->processCalls;
    add->lastPts_us = pts_us;
    int rowBytes = av_image_get_linesize(pix_fmt, width, 0);
    for (int y = 0; y < height && rowBytes > 0; ++y) {
        uint8_t* row = picture->data[0] + (ptrdiff_t)y * picture->linesize[0];
        for (int x = 0; x < rowBytes; ++x)
            row[x] = (uint8_t)(row[x] + add->addend);
    }
}

void Release(void* context)
{
    ++gReleaseCalls;
    free(context);
}

int QvTestLoads(void) { return gLoads; }
int QvTestConfigureCalls(void) { return gConfigureCalls; }
int QvTestReleaseCalls(void) { return gReleaseCalls; }
const char* QvTestConfigureDirectory(void) { return gConfigureDirectory; }
const char* QvTestConfigureFirstArgument(void) { return gConfigureFirstArgument; }
int QvTestAddend(const void* context) { return ((const AddContext*)context)->addend; }
int QvTestProcessCalls(const void* context) { return ((const AddContext*)context)->processCalls; }
int64_t QvTestLastPts(const void* context) { return ((const AddContext*)context)->lastPts_us; }

/* A module that can be configured and released but has no Process entry point. */
#include <stddef.h>

int Configure(void** context, int argc, char* argv[])
{
    (void)argc;
    (void)argv;
    *context = NULL;
    return 0;
}

void Release(void* context)
{
    (void)context;
}

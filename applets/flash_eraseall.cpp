#include <cstdio>

#include "applets/applets.h"

int FlashEraseallMain(int, char *[])
{
    fprintf(stderr, "update: flash_eraseall: not built yet\n");
    return 1;
}

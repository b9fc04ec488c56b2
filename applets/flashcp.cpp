#include <cstdio>

#include "applets/applets.h"

int FlashcpMain(int, char *[])
{
    fprintf(stderr, "update: flashcp: not built yet\n");
    return 1;
}

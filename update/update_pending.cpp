// Stand-ins for modules that have not landed yet.
#include <cstdio>

#include "update/update_session.h"

void ClearProgressState(void) {}

void ShowVersion(unsigned ulShowInfo)
{
    if (ulShowInfo == 0) {
        printf("Inerversion: %s\n", "Unknown");
        return;
    }
    printf("Current version: %s\n", "Unknown");
    printf("New Pub version: %s\n", "Unknown");
    printf("Inerversion: %s\n", "Unknown");
    printf("Board type: %s\n", "Unknown");
    printf("Uboot version: %s\n", "Unknown");
    printf("Build date: %s %s\n", "Unknown.000000", "");
}

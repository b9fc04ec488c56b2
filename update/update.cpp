#include <cstdio>

int UpdateMain(int, char *[])
{
    printf("not built yet\n");
    return -1;
}

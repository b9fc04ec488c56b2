#include "flash/update_nvram.h"

int FixBootEnv(uint8_t ucFixValue)
{
    (void)ucFixValue;
    return 0;
}

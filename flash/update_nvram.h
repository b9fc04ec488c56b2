// The boot environment and nvram items.
#pragma once

#include <cstdint>

// The boot-environment fix request: accepted with either value, changes nothing.
int FixBootEnv(uint8_t ucFixValue);

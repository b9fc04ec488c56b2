// The boot environment (main copy and backup) and nvram items.
#pragma once

#include <cstdint>

constexpr const char *ENV_MAIN_DEV = "/dev/mtd2";
constexpr const char *ENV_BACKUP_DEV = "/dev/mtd7";
constexpr uint32_t ENV_BLOCK_SIZE = 0x80000;
constexpr uint32_t ENV_BLOCK_SIZE_SMALL = 0x20000;
constexpr uint32_t ENV_BUF_SIZE = 0x80000;

constexpr const char *NVRAM_DEV = "/dev/hal_nvram";
constexpr unsigned long NVRAM_SET_ITEM = 0x40615;

// The record MEMERASE takes.
struct FLASH_ERASE_INFO_S {
    uint32_t ulStart;
    uint32_t ulLen;
};

struct NVRAM_ITEM_S {
    char szNvName[64];
    char szNvValue[5120];
};
static_assert(sizeof(NVRAM_ITEM_S) == 5184);

// 1 when the boot environment must be rewritten for the package being
// installed (needs the version check to have run), 0 otherwise.
int NeedUpdateEnv(void);
// Block size of the environment for the package's public version.
uint32_t GetEnvBlockSize(const char *pszImagePubVersion);
// Recomputes the CRC of both environment copies, each over its own content.
// 0, or the failing step's result.
int UpdateEnv(void);
// The environment step of a boot-loader write, run right before the image is
// written: rewrites both copies when NeedUpdateEnv says so. 0, or -1 when the
// rewrite failed and the boot loader must not be written.
int UpdateEnvBeforeUboot(void);
// One name/value item into the platform's nvram driver: 0 or -1.
int SetEnvToFlash(NVRAM_ITEM_S *pstItem);
// The boot-environment fix request: accepted with either value, changes nothing.
int FixBootEnv(uint8_t ucFixValue);

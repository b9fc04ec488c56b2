#include "flash/mtd_housekeeping.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include "flash/flash_write.h"
#include "include/flash_layout.h"
#include "include/owners.h"
#include "include/update_types.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {
// The kernel's internal ENOTSUPP reaches user space from some MTD drivers; it
// means the same as EOPNOTSUPP and is reported with that text.
constexpr int KERNEL_ENOTSUPP = 524;

const char *MtdErrorText(int lErr)
{
    return strerror(lErr == KERNEL_ENOTSUPP ? EOPNOTSUPP : lErr);
}
} // namespace

int CountMtdPartitions(void)
{
    FileOwner pFile(fopen("/proc/mtd", "r"));
    if (!pFile) {
        UPDATE_LOG_PRINT("Failed to open %s\n", strerror(errno));
        return 0;
    }
    int lCount = 0;
    char szLine[512];
    bool bLineStart = true;
    while (fgets(szLine, sizeof(szLine), pFile.get()) != nullptr) {
        // A line longer than the buffer arrives in pieces; only its start counts.
        if (bLineStart && strncmp(szLine, "mtd", 3) == 0) {
            ++lCount;
        }
        bLineStart = strchr(szLine, '\n') != nullptr;
    }
    return lCount;
}

void KillJffs2Gc(void)
{
    const int lCount = CountMtdPartitions();
    for (int i = 0; i < lCount; ++i) {
        char szCmd[CMD_BUF_LEN] = {};
        snprintf(szCmd, sizeof(szCmd), "killall -9 jffs2_gcd_mtd%d", i);
        UPDATE_LOG_PRINT("kill cmd %s\n", szCmd);
        UpdateSystem(szCmd);
    }
}

void UnlockNorFlash(void)
{
    if (g_pstFlashLayout == nullptr || g_pstFlashLayout->ulFlashType != FLASH_TYPE_NOR) {
        return;
    }
    FdOwner stDev(open(NOR_WHOLE_DEVICE, O_RDWR));
    if (stDev.Get() < 0) {
        UPDATE_LOG_PRINT("failed to open %s, error %s!\n", NOR_WHOLE_DEVICE, MtdErrorText(errno));
        return;
    }
    mtd_info_user stInfo = {};
    if (ioctl(stDev.Get(), MEMGETINFO, &stInfo) != 0) {
        UPDATE_LOG_PRINT("failed to get mtd info, error %s\n", MtdErrorText(errno));
        return;
    }
    erase_info_user stRange = {0, stInfo.size};
    if (ioctl(stDev.Get(), MEMUNLOCK, &stRange) != 0) {
        UPDATE_LOG_PRINT("failed to unlock flash, error %s\n", MtdErrorText(errno));
        return;
    }
    UPDATE_LOG_PRINT("unlock flash success!\n");
}

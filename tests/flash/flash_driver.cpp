// Runs one flash-subsystem routine with the update log open, for the sandbox
// and board tests:
//   flash_driver [-L LAYOUT -S SET] write|single DEV FILE PARTSIZE FILEOFF LEN FLASHOFF
//   flash_driver [-L LAYOUT -S SET] slave|install TYPE PACKAGE | env PUBVERSION | needenv INNER PUBVERSION
//   flash_driver [-L LAYOUT -S SET] killgc | unlock
// It prints "result=N" and exits 0 once the routine has returned.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "flash/flash_write.h"
#include "flash/mtd_housekeeping.h"
#include "flash/slave_board.h"
#include "flash/update_nvram.h"
#include "include/flash_layout.h"
#include "include/text_util.h"
#include "package/compat.h"
#include "package/install.h"
#include "package/packet.h"
#include "update/update_log.h"

namespace {
uint64_t Num(const char *psz) { return strtoull(psz, nullptr, 0); }

int Run(int argc, char **argv)
{
    const char *pszCmd = argv[0];
    if ((strcmp(pszCmd, "write") == 0 || strcmp(pszCmd, "single") == 0) && argc == 7) {
        auto pfn = pszCmd[0] == 'w' ? WriteFlash : WriteFlashSingle;
        return pfn(argv[1], argv[2], Num(argv[3]), g_pstFlashLayout->ulFlashType, Num(argv[4]), Num(argv[5]),
                   Num(argv[6]));
    }
    if ((strcmp(pszCmd, "slave") == 0 || strcmp(pszCmd, "install") == 0) && argc == 3) {
        uint32_t ulCount = 0;
        SubImageTablePtr pstTable(GetSubImageTable(argv[2], &ulCount));
        UPDATE_REQ_S stReq = {};
        stReq.usForceFlag = 1;
        UPDATE_ITEM_S stItem = {&stReq, Num(argv[1]), "All.bin", argv[2], pstTable.get(), 0, ulCount};
        ENTRY_IMAGES_S stImages = {};
        for (unsigned ulEntry = 0; ulEntry < IMAGE_DEV_ENTRIES; ++ulEntry) {
            stImages.apstImage[ulEntry] = SubImageAt(pstTable.get(), ulCount, GetImagePos(g_pstFlashLayout, ulEntry));
        }
        UPDATE_LINK_S stLink = {};
        return pszCmd[0] == 's' ? UpdateSlaveBoard(&stItem, stImages) : InstallPacket(&stItem, &stLink);
    }
    if ((strcmp(pszCmd, "env") == 0 && argc == 2) || (strcmp(pszCmd, "needenv") == 0 && argc == 3)) {
        CopyText(g_szLocalInnerVersion, argv[1]);
        CopyText(g_szImagePubVersion, argv[argc - 1]);
        return argc == 2 ? UpdateEnv() : NeedUpdateEnv();
    }
    if (strcmp(pszCmd, "killgc") == 0 || strcmp(pszCmd, "unlock") == 0) {
        (pszCmd[0] == 'k' ? KillJffs2Gc : UnlockNorFlash)();
        return 0;
    }
    fprintf(stderr, "flash_driver: unknown command\n");
    exit(2);
}
} // namespace

int main(int argc, char *argv[])
{
    int i = GetFlashLayout(&g_pstFlashLayout) == 0 ? 1 : argc;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        const uint32_t ulId = static_cast<uint32_t>(Num(argv[i + 1]));
        if (argv[i][1] == 'L') {
            g_pstFlashLayout = FindLayoutEntry(ulId)->pstLayout;
        } else {
            g_pstFlashLayout->pstPartSet = FindPartSetEntry(ulId)->pstPartSet;
        }
    }
    if (i >= argc) {
        return 2;
    }
    mkdir("/var/log", 0755);
    UpdateLogOpen();
    int lRet = Run(argc - i, argv + i);
    printf("result=%d\n", lRet);
    UpdateLogClose();
    return 0;
}

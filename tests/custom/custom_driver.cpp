// Runs the archive step (custom [ZIP]) or the language step (lang) with the
// update log open, for the system tests in the sandbox.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "custom/custom.h"
#include "custom/language.h"
#include "update/update_log.h"

int main(int argc, char *argv[])
{
    if (argc < 2 || (strcmp(argv[1], "custom") != 0 && strcmp(argv[1], "lang") != 0)) {
        fprintf(stderr, "usage: custom_driver custom [ZIP]|lang\n");
        return 2;
    }
    mkdir("/var/log", 0755);
    UpdateLogOpen();
    int lRet = strcmp(argv[1], "lang") == 0 ? (UPDATE_LoadLanguageCfg(), 0)
                                            : UPDATE_LoadCustom(argc > 2 ? argv[2] : CUSTOM_ZIP_FILE);
    printf("result=%d\n", lRet);
    UpdateLogClose();
    return 0;
}

// Runs one customisation step from the command line, with the update log
// open, and prints its result: the system tests run it inside the sandbox.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "custom/custom.h"
#include "custom/language.h"
#include "update/update_log.h"

int main(int argc, char *argv[])
{
    if (argc < 2) {
        fprintf(stderr, "usage: custom_driver custom ZIP|manu FILE|cfg FILE|logo NAME|res NAME|lang|getxml\n");
        return 2;
    }
    mkdir("/var/log", 0755);
    UpdateLogOpen();
    const char *pszCmd = argv[1];
    const char *pszArg = argc > 2 ? argv[2] : nullptr;
    int lRet = 0;
    if (strcmp(pszCmd, "custom") == 0) {
        lRet = UPDATE_LoadCustom(pszArg != nullptr ? pszArg : CUSTOM_ZIP_FILE);
    } else if (strcmp(pszCmd, "manu") == 0) {
        lRet = UPDATE_LoadManuInfo(pszArg != nullptr ? pszArg : CUSTOM_MANU_FILE);
    } else if (strcmp(pszCmd, "cfg") == 0) {
        lRet = UPDATE_LoadCfgInfo(pszArg != nullptr ? pszArg : CUSTOM_CFG_FILE);
    } else if (strcmp(pszCmd, "logo") == 0) {
        lRet = UPDATE_LoadLogoFile(pszArg != nullptr ? pszArg : CUSTOM_LOGO_NAME);
    } else if (strcmp(pszCmd, "res") == 0) {
        lRet = UPDATE_LoadResFile(pszArg != nullptr ? pszArg : CUSTOM_RES_NAME);
    } else if (strcmp(pszCmd, "lang") == 0) {
        UPDATE_LoadLanguageCfg();
    } else if (strcmp(pszCmd, "getxml") == 0) {
        uint32_t aulSupport[LANG_WORDS] = {};
        uint8_t ucDefault = LANG_DEFAULT_NONE;
        lRet = GetXmlLanguage(aulSupport, &ucDefault);
        printf("default=%u support=%u,%u,%u,%u\n", ucDefault, aulSupport[0], aulSupport[1], aulSupport[2],
               aulSupport[3]);
    } else {
        fprintf(stderr, "custom_driver: unknown step %s\n", pszCmd);
        return 2;
    }
    printf("result=%d\n", lRet);
    UpdateLogClose();
    return 0;
}

#include "update/update_device.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "update/update_exec.h"
#include "update/update_log.h"

char g_szAnswer[ANSWER_BUF_LEN];
int g_lDaemonsStopped = 0;

namespace {
constexpr char KEY_BACKSPACE = 8;
constexpr char KEY_ENTER = 13;
constexpr char KEY_ESCAPE = 27;

void EchoBytes(const char *pBuf, size_t ulLen)
{
    fwrite(pBuf, 1, ulLen, stdout);
    fflush(stdout);
}
} // namespace

void StopDeviceDaemons(void)
{
    g_lDaemonsStopped = 1;
    UpdateSystem("mt boardagent set smart stop");
    UpdateSystem("killall daemon core");
    sleep(1);
}

int ReadRawLine(void)
{
    size_t ulLen = 0;
    bool bEscape = false;
    bool bCursor = false;
    memset(g_szAnswer, 0, sizeof(g_szAnswer));
    for (;;) {
        char c = 0;
        ssize_t lGot = read(STDIN_FILENO, &c, 1);
        if (lGot < 0 && errno == EINTR) {
            continue;
        }
        if (lGot <= 0) {
            // Input ended without an answer: the caller sees a refusal.
            g_szAnswer[ulLen] = '\0';
            return -1;
        }
        if (c == KEY_ENTER) {
            break;
        }
        if (c >= 'A' && c <= 'D' && bCursor) {
            bEscape = false;
            bCursor = false;
            continue;
        }
        if (c == KEY_BACKSPACE) {
            if (ulLen > 0) {
                g_szAnswer[--ulLen] = '\0';
                EchoBytes("\b \b", 3);
            }
            continue;
        }
        if (c == KEY_ESCAPE) {
            bEscape = true;
            continue;
        }
        if (c == '[') {
            if (bEscape) {
                bCursor = true;
            }
            continue;
        }
        if (c >= 32 && c <= 126) {
            // Beyond the buffer the key is neither stored nor echoed, so the
            // screen never shows more than the answer holds.
            if (ulLen < sizeof(g_szAnswer) - 1) {
                g_szAnswer[ulLen++] = c;
                EchoBytes(&c, 1);
            }
        }
    }
    g_szAnswer[ulLen] = '\0';
    return 0;
}

int ConfirmUpdate(void)
{
    struct termios stSaved {};
    bool bHaveTerm = tcgetattr(STDIN_FILENO, &stSaved) == 0;
    struct termios stWork = stSaved;
    stWork.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);

    printf("\r\nplease make sure the device will not be powered off or rebooted while updating!");
    printf("\r\nplease confirm (y/n):");
    fflush(stdout);

    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &stWork) != 0) {
        UPDATE_LOG("Set Attributes First Failed!\n");
    }
    cfmakeraw(&stWork);
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &stWork) != 0) {
        UPDATE_LOG("Set Attributes Second Failed!\n");
    }
    int lRead = ReadRawLine();
    if (bHaveTerm) {
        tcsetattr(STDIN_FILENO, TCSANOW, &stSaved);
    }
    g_szAnswer[sizeof(g_szAnswer) - 1] = '\0';
    if (lRead != 0) {
        return -1;
    }
    if (strcmp(g_szAnswer, "yes") == 0 || strcmp(g_szAnswer, "y") == 0) {
        return 0;
    }
    return -1;
}

int RemovePacketFile(void)
{
    return UpdateSystem("rm -rf /tmp/Program.bin /tmp/psResult");
}

int RemoveTmpFiles(void)
{
    RemovePacketFile();
    return UpdateSystem("rm -rf /tmp/update_rate.log");
}

void RebootDevice(void)
{
    for (unsigned ulWait : {6u, 2u, 1u}) {
        sleep(ulWait);
        sync();
        kill(1, SIGTERM);
    }
    FILE *pReset = fopen("/proc/rmc/test", "w");
    if (pReset != nullptr) {
        fputc('r', pReset);
        fclose(pReset);
    }
}

void RemoveTmpTarget(const char *pszPath)
{
    struct stat stInfo = {};
    if (lstat(pszPath, &stInfo) == 0 && !S_ISDIR(stInfo.st_mode)) {
        unlink(pszPath);
    }
}

int OpenTmpForWrite(const char *pszPath, int lFlags, unsigned ulMode)
{
    int lFd = open(pszPath, lFlags | O_NOFOLLOW | O_CLOEXEC, ulMode);
    if (lFd < 0 && errno == ELOOP) {
        unlink(pszPath);
        lFd = open(pszPath, lFlags | O_NOFOLLOW | O_CLOEXEC, ulMode);
    }
    return lFd;
}

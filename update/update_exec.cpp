#include "update/update_exec.h"
#include "applets/xio.h"
#include "include/owners.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <ctime>
#include <memory>
#include <new>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "include/text_util.h"
#include "include/update_types.h"
#include "update/update_device.h"
#include "update/update_log.h"

namespace {
constexpr int EXEC_MAX_WORDS = 30;
constexpr int EXEC_WORD_SIZE = 64;
constexpr int EXEC_SLOTS = EXEC_MAX_WORDS + 1;
constexpr size_t PIDOF_CMD_LEN = 256;
constexpr int PS_RESULT_LINE = 501;

bool IsShellSafe(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return strchr("/._-:@%+,=", c) != nullptr;
}
} // namespace

int ShellWord(const char *pszValue, char *pszOut, size_t ulOutSize)
{
    if (pszValue == nullptr || pszValue[0] == '\0') {
        return snprintf(pszOut, ulOutSize, "''") == 2 ? 0 : -1;
    }
    return ShellQuote(pszValue, pszOut, ulOutSize);
}

int ShellQuote(const char *pszValue, char *pszOut, size_t ulOutSize)
{
    if (pszOut == nullptr || ulOutSize == 0) {
        return -1;
    }
    pszOut[0] = '\0';
    if (pszValue == nullptr) {
        return 0;
    }
    bool bSafe = true;
    for (const char *p = pszValue; *p != '\0'; ++p) {
        if (!IsShellSafe(*p)) {
            bSafe = false;
            break;
        }
    }
    if (bSafe) {
        if (strlen(pszValue) >= ulOutSize) {
            return -1;
        }
        CopyText(pszOut, ulOutSize, pszValue);
        return 0;
    }
    // 'it'\''s' : a single quote closes the word, adds an escaped quote and reopens.
    size_t ulPos = 0;
    auto put = [&](const char *pszPart) {
        size_t ulLen = strlen(pszPart);
        if (ulPos + ulLen >= ulOutSize) {
            return false;
        }
        memcpy(pszOut + ulPos, pszPart, ulLen);
        ulPos += ulLen;
        return true;
    };
    bool bOk = put("'");
    for (const char *p = pszValue; bOk && *p != '\0'; ++p) {
        char szOne[2] = {*p, '\0'};
        bOk = (*p == '\'') ? put("'\\''") : put(szOne);
    }
    bOk = bOk && put("'");
    if (!bOk) {
        pszOut[0] = '\0';
        return -1;
    }
    pszOut[ulPos] = '\0';
    return 0;
}

namespace {
// The shell line runs with standard input on /dev/null unless the caller
// needs the terminal: a tool that asks a question (unzip before it
// overwrites) must get an answer at once instead of waiting for a person.
int RunShell(const char *pszCmd, bool bKeepStdin)
{
    if (pszCmd == nullptr) {
        return -1;
    }
    fflush(stdout);
    if (g_pUpdateLogFile != nullptr) {
        fflush(g_pUpdateLogFile);
    }
    posix_spawn_file_actions_t stActions;
    if (posix_spawn_file_actions_init(&stActions) != 0) {
        return -1;
    }
    if (!bKeepStdin) {
        posix_spawn_file_actions_addopen(&stActions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    char szShell[] = "sh";
    char szFlag[] = "-c";
    char *apszArgv[] = {szShell, szFlag, const_cast<char *>(pszCmd), nullptr};
    pid_t pid = -1;
    int lSpawn = posix_spawn(&pid, "/bin/sh", &stActions, nullptr, apszArgv, environ);
    posix_spawn_file_actions_destroy(&stActions);
    if (lSpawn != 0) {
        return -1;
    }
    int lStatus = 0;
    while (waitpid(pid, &lStatus, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(lStatus) ? WEXITSTATUS(lStatus) : -1;
}
} // namespace

int UpdateSystem(const char *pszCmd)
{
    return RunShell(pszCmd, false);
}

int UpdateSystemInteractive(const char *pszCmd)
{
    return RunShell(pszCmd, true);
}

int UpdateExecArgv(char *const apszArgv[])
{
    // The child may only use async-signal-safe calls (the worker thread can
    // hold stdio locks at fork time), so its failure report is prepared here.
    char szLogHead[256];
    {
        time_t now = time(nullptr);
        struct tm stTm {};
        localtime_r(&now, &stTm);
        snprintf(szLogHead, sizeof(szLogHead), "%.4d-%.2d-%.2d %.2d:%.2d:%.2d[%s %d]", stTm.tm_year + 1900,
                 stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min, stTm.tm_sec, __FILE_NAME__, __LINE__);
    }
    int lLogFd = g_pUpdateLogFile != nullptr ? fileno(g_pUpdateLogFile) : -1;
    fflush(stdout);
    if (g_pUpdateLogFile != nullptr) {
        fflush(g_pUpdateLogFile);
    }

    pid_t pid = fork();
    if (pid < 0) {
        UPDATE_LOG_PRINT("Failed to vfork %s\n", strerror(errno));
        return -1;
    }
    if (pid == 0) {
        int lNull = open("/dev/null", O_RDONLY);
        if (lNull >= 0 && lNull != STDIN_FILENO) {
            dup2(lNull, STDIN_FILENO);
            close(lNull);
        }
        if (apszArgv != nullptr && apszArgv[0] != nullptr) {
            execv(apszArgv[0], apszArgv);
        } else {
            errno = ENOENT;
        }
        char szMsg[320];
        const char *pszErr = strerrordesc_np(errno);
        size_t ulLen = 0;
        for (const char *pszPart : {"Failed to exe cmd ", pszErr != nullptr ? pszErr : "Unknown error", "\n"}) {
            size_t ulPart = strlen(pszPart);
            if (ulLen + ulPart < sizeof(szMsg)) {
                memcpy(szMsg + ulLen, pszPart, ulPart);
                ulLen += ulPart;
            }
        }
        if (lLogFd >= 0) {
            FullWrite(lLogFd, szLogHead, strlen(szLogHead));
            FullWrite(lLogFd, szMsg, ulLen);
        }
        FullWrite(STDOUT_FILENO, szMsg, ulLen);
        _exit(1);
    }

    int lStatus = 0;
    for (;;) {
        pid_t lGot = waitpid(pid, &lStatus, WUNTRACED | WCONTINUED);
        if (lGot < 0 && errno == EINTR) {
            continue;
        }
        if (lGot != pid) {
            UPDATE_LOG_PRINT("Failed to waitpid %s\n", strerror(errno));
            return -1;
        }
        if (WIFSIGNALED(lStatus)) {
            UPDATE_LOG_PRINT("%d killed by signal %d\n", static_cast<int>(pid), WTERMSIG(lStatus));
        } else if (WIFSTOPPED(lStatus)) {
            UPDATE_LOG_PRINT("%d stopped by signal %d\n", static_cast<int>(pid), WSTOPSIG(lStatus));
        } else if (WIFCONTINUED(lStatus)) {
            UPDATE_LOG_PRINT("%d continued by signal\n", static_cast<int>(pid));
        }
        if (WIFEXITED(lStatus) || WIFSIGNALED(lStatus)) {
            break;
        }
    }
    return WIFSIGNALED(lStatus) ? -1 : WEXITSTATUS(lStatus);
}

int UpdateExecCmd(const char *pszCmd)
{
    if (pszCmd == nullptr) {
        return -1;
    }
    size_t ulCmdLen = strlen(pszCmd);
    if (ulCmdLen >= CMD_BUF_LEN) {
        UPDATE_LOG_PRINT("Invalid argument: cmd len %d\n", static_cast<int>(ulCmdLen));
        return -1;
    }
    std::unique_ptr<char[]> pArea(new (std::nothrow) char[EXEC_SLOTS * EXEC_WORD_SIZE]);
    std::unique_ptr<char *[]> ppWords(new (std::nothrow) char *[EXEC_SLOTS + 1]);
    if (!pArea || !ppWords) {
        return ENOMEM;
    }
    memset(pArea.get(), 0, EXEC_SLOTS * EXEC_WORD_SIZE);
    char szWork[CMD_BUF_LEN];
    CopyText(szWork, pszCmd);

    int lCount = 0;
    char *pszSave = nullptr;
    for (char *pszWord = strtok_r(szWork, " \t", &pszSave); pszWord != nullptr;
         pszWord = strtok_r(nullptr, " \t", &pszSave)) {
        int lLen = static_cast<int>(strlen(pszWord));
        if (lCount >= EXEC_MAX_WORDS || lLen > EXEC_WORD_SIZE - 1) {
            UPDATE_LOG_PRINT("Invalid argument: arg num %d arg len %d\n", lCount, lLen);
            return -1;
        }
        char *pszSlot = pArea.get() + lCount * EXEC_WORD_SIZE;
        CopyText(pszSlot, EXEC_WORD_SIZE, pszWord);
        ppWords[lCount++] = pszSlot;
    }
    ppWords[lCount] = nullptr;
    return UpdateExecArgv(ppWords.get());
}

int FUNC_CountPid(const char *pszName)
{
    if (pszName == nullptr) {
        return -1;
    }
    char szQuoted[PIDOF_CMD_LEN];
    char szCmd[PIDOF_CMD_LEN];
    // A name too long for the command is refused rather than cut: a cut name
    // would count some other program.
    if (ShellQuote(pszName, szQuoted) != 0 ||
        snprintf(szCmd, sizeof(szCmd), "pidof %s > /tmp/psResult", szQuoted) >= static_cast<int>(sizeof(szCmd))) {
        UPDATE_LOG("FUNC_CountPid(),name too long\n");
        return -1;
    }
    RemoveTmpTarget("/tmp/psResult");
    UpdateSystem(szCmd);

    PipeOwner pPipe(popen("cat /tmp/psResult", "r"));
    if (!pPipe) {
        UPDATE_LOG("FUNC_CountPid(),open pipeline err");
        return -1;
    }
    char szLine[PS_RESULT_LINE] = {};
    if (fgets(szLine, sizeof(szLine), pPipe.get()) == nullptr) {
        UPDATE_LOG("fgets psResult file failed");
        return -1;
    }
    pPipe.reset();
    int lCount = szLine[0] != '\0' ? 1 : 0;
    for (const char *p = szLine; *p != '\0'; ++p) {
        if (*p == ' ') {
            ++lCount;
        }
    }
    UPDATE_LOG("Runing %s count is: %d\n", pszName, lCount);
    UpdateSystem("rm -rf /tmp/psResult");
    return lCount;
}

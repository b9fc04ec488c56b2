// Runs code or a program in a child process and collects its exit status and
// both output streams, for routines that end the process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    int iStatus = -1; // exit status, or 128 + signal
    std::string strOut;
    std::string strErr;
};

inline ChildResult RunChild(const std::function<int()> &fnBody)
{
    ChildResult stRes;
    int aiOut[2];
    int aiErr[2];
    if (pipe(aiOut) != 0 || pipe(aiErr) != 0) {
        return stRes;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(aiOut[1], 1);
        dup2(aiErr[1], 2);
        close(aiOut[0]);
        close(aiErr[0]);
        close(aiOut[1]);
        close(aiErr[1]);
        int iRet = fnBody();
        fflush(nullptr);
        _exit(iRet);
    }
    close(aiOut[1]);
    close(aiErr[1]);
    struct pollfd astFds[2] = {{aiOut[0], POLLIN, 0}, {aiErr[0], POLLIN, 0}};
    std::string *apstr[2] = {&stRes.strOut, &stRes.strErr};
    int iOpen = 2;
    while (iOpen > 0) {
        if (poll(astFds, 2, -1) < 0) {
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (astFds[i].fd >= 0 && astFds[i].revents != 0) {
                char acBuf[4096];
                ssize_t n = read(astFds[i].fd, acBuf, sizeof(acBuf));
                if (n > 0) {
                    apstr[i]->append(acBuf, (size_t)n);
                } else {
                    close(astFds[i].fd);
                    astFds[i].fd = -1;
                    iOpen--;
                }
            }
        }
    }
    int iWait = 0;
    waitpid(pid, &iWait, 0);
    stRes.iStatus = WIFEXITED(iWait) ? WEXITSTATUS(iWait) : 128 + WTERMSIG(iWait);
    return stRes;
}

// Runs the real updater binary with the given words after its name.
inline ChildResult RunUpdate(const std::vector<std::string> &vecArgs)
{
    return RunChild([&vecArgs]() {
        std::vector<char *> vecArgv;
        vecArgv.push_back(const_cast<char *>(UPDATE_BIN));
        for (const std::string &str : vecArgs) {
            vecArgv.push_back(const_cast<char *>(str.c_str()));
        }
        vecArgv.push_back(nullptr);
        execv(UPDATE_BIN, vecArgv.data());
        return 127;
    });
}

// A fresh directory under the build tree.
inline std::string MakeScratchDir(const char *pszTag)
{
    std::string strBase = std::string(UPDATE_BINARY_DIR) + "/test-scratch";
    mkdir(strBase.c_str(), 0755);
    std::string strTmpl = strBase + "/" + pszTag + "-XXXXXX";
    std::vector<char> vecPath(strTmpl.begin(), strTmpl.end());
    vecPath.push_back('\0');
    if (mkdtemp(vecPath.data()) == nullptr) {
        return "";
    }
    return vecPath.data();
}

inline void WriteFileBytes(const std::string &strPath, const std::string &strData)
{
    FILE *pf = fopen(strPath.c_str(), "wb");
    if (pf != nullptr) {
        fwrite(strData.data(), 1, strData.size(), pf);
        fclose(pf);
    }
}

// Runs code or the updater in a child process and collects its exit status
// and both output streams, for routines that end the process.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/sandbox_run.h"

struct ChildResult {
    int iStatus = -1; // exit status, or 128 + signal
    std::string strOut;
    std::string strErr;
};

inline ChildResult RunChild(const std::function<int()> &fnBody)
{
    int iOut = memfd_create("out", MFD_CLOEXEC);
    int iErr = memfd_create("err", MFD_CLOEXEC);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(iOut, 1);
        dup2(iErr, 2);
        int iRet = fnBody();
        fflush(nullptr);
        _exit(iRet);
    }
    int iWait = 0;
    waitpid(pid, &iWait, 0);
    int iStatus = WIFEXITED(iWait) ? WEXITSTATUS(iWait) : 128 + WTERMSIG(iWait);
    ChildResult stRes = {iStatus, ReadFile("/proc/self/fd/" + std::to_string(iOut)),
                         ReadFile("/proc/self/fd/" + std::to_string(iErr))};
    close(iOut);
    close(iErr);
    return stRes;
}

// Runs the real updater binary with the given words after its name.
inline ChildResult RunUpdate(std::vector<std::string> vecArgs)
{
    return RunChild([&vecArgs]() {
        std::vector<char *> vecArgv = {const_cast<char *>(UPDATE_BIN)};
        for (std::string &str : vecArgs) {
            vecArgv.push_back(str.data());
        }
        vecArgv.push_back(nullptr);
        execv(UPDATE_BIN, vecArgv.data());
        return 127;
    });
}

inline void ExpectFailure(const ChildResult &stRes, const std::string &strErr, const std::string &strOut = "")
{
    EXPECT_EQ(stRes.iStatus, 1);
    EXPECT_EQ(stRes.strErr, strErr);
    EXPECT_EQ(stRes.strOut, strOut);
}

// A fresh folder for the running test.
inline std::string TestDir()
{
    const ::testing::TestInfo *pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    return MakeSandboxDir(std::string(pInfo->test_suite_name()) + "." + pInfo->name());
}

// Helpers for the host tests: per-test folders, files, captured output, and a
// runner for programs in the host sandbox (tests/sandbox/sandbox.sh).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "update/update_log.h"

struct SandboxResult {
    int lStatus = -1;    // exit status; 128+N for signal N; 125 sandbox set-up failed; 137 timed out
    std::string strOut;  // standard output
    std::string strErr;  // standard error
};

// Seconds a sandbox may run before it is killed (the reboot path alone sleeps 9 s).
constexpr int SANDBOX_TIMEOUT_SEC = 120;

// A fresh, empty folder UPDATE_BINARY_DIR/sandboxes/<testName>; throws when it cannot be made.
std::string MakeSandboxDir(const std::string &testName);

// A fresh folder named after the running test (the cases run in parallel).
inline std::string TestDir()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return MakeSandboxDir(std::string(info->test_suite_name()) + "." + info->name());
}

// Runs argv in the sandbox on dir with an empty standard input and collects
// standard output and error separately (kept beside dir as dir.out, dir.err).
SandboxResult RunInSandbox(const std::string &dir, const std::vector<std::string> &argv);

// The words as an argument vector for exec (they must outlive it).
std::vector<char *> Argv(std::vector<std::string> &words);

// Whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string &path);

// Writes text to path, creating missing parent folders; throws when that
// fails (a test cannot go on without its input files).
void WriteFile(const std::string &path, const std::string &text);

// A call's result and what it printed on standard output.
using Result = std::pair<int, std::string>;
template <class F> auto Printed(F fn)
{
    testing::internal::CaptureStdout();
    auto result = fn();
    return std::make_pair(std::move(result), testing::internal::GetCapturedStdout());
}

// The updater's log stream goes to dir/update.log while this lives.
struct LogCapture {
    const std::string strPath;
    explicit LogCapture(const std::string &dir) : strPath(dir + "/update.log")
    {
        g_pUpdateLogFile = fopen(strPath.c_str(), "w");
    }
    ~LogCapture() { UpdateLogClose(); }
    std::string Text() { return fflush(g_pUpdateLogFile) == 0 ? ReadFile(strPath) : ""; }
};

// Scratch folders and output capture for the package tests; every file
// lies in a folder the test names (never a fixed system path).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "support/sandbox_run.h"
#include "update/update_log.h"

// A fresh folder for the running test under the build tree.
inline std::string TestDir()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return MakeSandboxDir(std::string("package-") + info->test_suite_name() + "." + info->name());
}

// A call's result and its output, as Printed gives them.
using Result = std::pair<int, std::string>;

// fn's result and what it printed on standard output (passed through dir/stdout).
template <class F> auto Printed(const std::string &dir, F fn)
{
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int fd = open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    auto result = fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return std::make_pair(std::move(result), ReadFile(dir + "/stdout"));
}

#include "support/sandbox_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

std::string MakeSandboxDir(const std::string &testName)
{
    std::filesystem::path dir = std::filesystem::path(UPDATE_BINARY_DIR) / "sandboxes" / testName;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::error_code ec;  // a missing folder shows when the file is written
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << text << std::flush)) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<char *> Argv(std::vector<std::string> &words)
{
    std::vector<char *> ptrs;
    for (std::string &s : words) {
        ptrs.push_back(s.data());
    }
    ptrs.push_back(nullptr);
    return ptrs;
}

SandboxResult RunInSandbox(const std::string &dir, const std::vector<std::string> &argv)
{
    // sandbox.sh replaces itself with unshare, so SIGKILL from timeout ends everything.
    std::vector<std::string> cmd{"/usr/bin/timeout", "-s", "KILL", std::to_string(SANDBOX_TIMEOUT_SEC), "/usr/bin/env",
                                 "UPDATE_BINARY_DIR=" UPDATE_BINARY_DIR, "UPDATE_SOURCE_DIR=" UPDATE_SOURCE_DIR,
                                 "/bin/bash", UPDATE_SOURCE_DIR "/tests/sandbox/sandbox.sh", dir, "--"};
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    std::vector<char *> ptrs = Argv(cmd);
    // Files, not pipes: a chatty program can never block on a full pipe.
    const std::string outPath = dir + ".out", errPath = dir + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    SandboxResult res;
    pid_t pid = -1;
    int st = 0;
    if (posix_spawn(&pid, ptrs[0], &actions, nullptr, ptrs.data(), environ) == 0 && waitpid(pid, &st, 0) == pid) {
        res.lStatus = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&actions);
    res.strOut = ReadFile(outPath);
    res.strErr = ReadFile(errPath);
    return res;
}

#include "support/sandbox_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef UPDATE_SOURCE_DIR
#error "UPDATE_SOURCE_DIR must be defined"
#endif
#ifndef UPDATE_BINARY_DIR
#error "UPDATE_BINARY_DIR must be defined"
#endif

std::string MakeSandboxDir(const std::string &testName)
{
    std::string name = testName;
    std::replace(name.begin(), name.end(), '/', '_');
    std::filesystem::path dir = std::filesystem::path(UPDATE_BINARY_DIR) / "sandboxes" / name;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        fprintf(stderr, "cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
        abort();
    }
    return dir.string();
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, ec);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        abort();
    }
}

SandboxResult RunInSandbox(const std::string &dir, const std::vector<std::string> &argv)
{
    // Files, not pipes: a chatty program can never block on a full pipe.
    const std::string outPath = dir + ".out", errPath = dir + ".err";
    std::vector<std::string> cmd{"/bin/bash", UPDATE_SOURCE_DIR "/tests/sandbox/sandbox.sh", dir, "--"};
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    std::vector<char *> ptrs;
    for (std::string &s : cmd) {
        ptrs.push_back(s.data());
    }
    ptrs.push_back(nullptr);
    SandboxResult res;
    // sandbox.sh replaces itself with unshare, so SIGKILL to this pid ends everything.
    pid_t pid = fork();
    if (pid == 0) {
        auto place = [](const char *path, int flags, int target) {
            int fd = open(path, flags, 0644);
            dup2(fd, target);
            close(fd);
        };
        place("/dev/null", O_RDONLY, 0);
        place(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 1);
        place(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 2);
        setenv("UPDATE_BINARY_DIR", UPDATE_BINARY_DIR, 1);
        setenv("UPDATE_SOURCE_DIR", UPDATE_SOURCE_DIR, 1);
        execv(ptrs[0], ptrs.data());
        _exit(127);
    }
    if (pid < 0) {
        return res;
    }
    int st = 0;
    int waited = 0;
    for (int ticks = 0; (waited = waitpid(pid, &st, WNOHANG)) == 0 && ticks < SANDBOX_TIMEOUT_SEC * 100; ++ticks) {
        usleep(10000);
    }
    if (waited == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    res.strOut = ReadFile(outPath);
    res.strErr = ReadFile(errPath);
    if (waited == 0) {
        res.strErr += "\n[sandbox killed after timeout]\n";
        res.lStatus = 124;
    } else if (waited > 0 && WIFEXITED(st)) {
        res.lStatus = WEXITSTATUS(st);
    } else if (waited > 0 && WIFSIGNALED(st)) {
        res.lStatus = 128 + WTERMSIG(st);
    }
    return res;
}

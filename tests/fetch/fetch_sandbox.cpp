#include "fetch_sandbox.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "fetch/fetch_progress.h"
#include "update/update_log.h"

extern char **environ;

namespace {
std::string g_sandboxDir;

bool SameFile(const char *pszA, const std::string &b)
{
    struct stat stA {};
    struct stat stB {};
    return stat(pszA, &stA) == 0 && stat(b.c_str(), &stB) == 0 && stA.st_dev == stB.st_dev &&
           stA.st_ino == stB.st_ino;
}
} // namespace

const std::string &SandboxDir()
{
    return g_sandboxDir;
}

std::string ServerDir(const std::string &name)
{
    std::string dir = g_sandboxDir + "/srv/" + name;
    std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    return dir;
}

bool Exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string MakePackage(size_t ulSize)
{
    std::string data(ulSize, '\0');
    for (size_t i = 0; i < ulSize; ++i) {
        data[i] = static_cast<char>((i * 7 + i / 251 + 1) & 0xff);
    }
    return data;
}

void ResetFetchState()
{
    pthread_mutex_lock(&g_stWatchMutex);
    g_stDownloadStat = DOWNLOAD_STAT_S {};
    g_stWatchState = WATCH_STATE_S {};
    pthread_mutex_unlock(&g_stWatchMutex);
    ASSERT_EQ(system("rm -rf /tmp/Program.bin /tmp/update_rate.log /tmp/download_stat.log /tmp/pwned"), 0);
    ASSERT_EQ(system(("rm -f " + g_sandboxDir + "/journal/*").c_str()), 0);
}

std::vector<std::vector<std::string>> ToolCalls(const std::string &tool)
{
    std::vector<std::vector<std::string>> calls;
    std::ifstream in(g_sandboxDir + "/journal/" + tool + ".argv");
    std::vector<std::string> call;
    for (std::string line; std::getline(in, line);) {
        if (line == "--") {
            calls.push_back(call);
            call.clear();
        } else {
            call.push_back(line);
        }
    }
    return calls;
}

bool Server::Start(const std::vector<std::string> &argv, const std::string &log)
{
    Stop();
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int lRet = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (lRet != 0) {
        m_pid = -1;
        return false;
    }
    return true;
}

void Server::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

bool WaitTcpPort(int port)
{
    for (int i = 0; i < 200; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool bUp = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
        close(fd);
        if (bUp) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool WaitUdpPort(int port)
{
    char szPort[16];
    snprintf(szPort, sizeof(szPort), ":%04X ", port);
    for (int i = 0; i < 200; ++i) {
        if (ReadFile("/proc/self/net/udp").find(szPort) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string TestScript(const char *pszName)
{
    return std::string(UPDATE_SOURCE_DIR) + "/tests/fetch/" + pszName;
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const char *pszOpt = "--sandbox-dir=";
        if (strncmp(argv[i], pszOpt, strlen(pszOpt)) == 0) {
            g_sandboxDir = argv[i] + strlen(pszOpt);
        }
    }
    // These tests write the device's fixed paths: refuse anything but the
    // sandbox whose folder is bound on /tmp.
    if (g_sandboxDir.empty() || !SameFile("/tmp", g_sandboxDir + "/tmp")) {
        fprintf(stderr, "fetch_sandbox_test: run through tests/fetch/run_sandboxed.sh only\n");
        return 2;
    }
    mkdir("/var/log", 0755);
    if (UpdateLogOpen() != 0) {
        fprintf(stderr, "cannot open the update log\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}

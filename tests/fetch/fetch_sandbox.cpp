#include "fetch_sandbox.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "update/update_log.h"

namespace fs = std::filesystem;

namespace {
std::string g_sandboxDir;

struct ResetAroundEachTest : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { ResetFetchState(); }
    void OnTestEnd(const testing::TestInfo &) override { ResetFetchState(); }
};
} // namespace

const std::string &SandboxDir()
{
    return g_sandboxDir;
}

std::string ServerDir(const std::string &name)
{
    std::string dir = g_sandboxDir + "/srv/" + name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
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
    for (const char *pszPath : {PACKAGE, RATE, STAT, "/tmp/pwned"}) {
        fs::remove_all(pszPath);
    }
    for (const fs::directory_entry &entry : fs::directory_iterator(g_sandboxDir + "/journal")) {
        fs::remove_all(entry.path());
    }
}

WATCH_STATE_S WatchNow()
{
    pthread_mutex_lock(&g_stWatchMutex);
    WATCH_STATE_S st = g_stWatchState;
    pthread_mutex_unlock(&g_stWatchMutex);
    return st;
}

std::vector<std::vector<std::string>> ToolCalls(const std::string &tool)
{
    std::vector<std::vector<std::string>> calls(1);
    std::ifstream in(g_sandboxDir + "/journal/" + tool + ".argv");
    for (std::string line; std::getline(in, line);) {
        if (line == "--") {
            calls.emplace_back();
        } else {
            calls.back().push_back(line);
        }
    }
    calls.pop_back();
    return calls;
}

bool Server::Start(std::vector<std::string> argv, const std::string &log, const char *pszProto, int port)
{
    Stop();
    if (argv[0].ends_with(".py")) {
        argv.insert(argv.begin(), "/usr/bin/python3");
        argv[1] = std::string(UPDATE_SOURCE_DIR) + "/tests/fetch/" + argv[1];
    }
    std::vector<char *> args;
    for (std::string &arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        int lLog = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(lLog, 1);
        dup2(lLog, 2);
        dup2(open("/dev/null", O_RDONLY), 0);
        execv(args[0], args.data());
        _exit(127);
    }
    if (m_pid < 0) {
        return false;
    }
    // The local port, and for TCP the listening state (0A) with no peer.
    char szEntry[48];
    snprintf(szEntry, sizeof(szEntry), strcmp(pszProto, "tcp") == 0 ? ":%04X 00000000:0000 0A " : ":%04X ", port);
    for (int i = 0; i < 200; ++i) {
        if (ReadFile(std::string("/proc/self/net/") + pszProto).find(szEntry) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void Server::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    const char *pszOpt = "--sandbox-dir=";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], pszOpt, strlen(pszOpt)) == 0) {
            g_sandboxDir = argv[i] + strlen(pszOpt);
        }
    }
    // These tests write the device's fixed paths: refuse anything but the
    // sandbox whose folder is bound on /tmp.
    std::error_code ec;
    if (g_sandboxDir.empty() || !fs::equivalent("/tmp", g_sandboxDir + "/tmp", ec)) {
        fprintf(stderr, "fetch_sandbox_test: run through tests/fetch/run_sandboxed.sh only\n");
        return 2;
    }
    mkdir("/var/log", 0755);
    if (UpdateLogOpen() != 0) {
        fprintf(stderr, "cannot open the update log\n");
        return 2;
    }
    testing::UnitTest::GetInstance()->listeners().Append(new ResetAroundEachTest);
    return RUN_ALL_TESTS();
}

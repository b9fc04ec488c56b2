// Helpers of the fetch tests that run inside the host sandbox: the device's
// fixed files, servers on loopback, the wrapped device tools.
#pragma once

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include "fetch/fetch_progress.h"
#include "support/sandbox_run.h"

constexpr const char *PACKAGE = "/tmp/Program.bin";
constexpr const char *RATE = "/tmp/update_rate.log";
constexpr const char *STAT = "/tmp/download_stat.log";

// The sandbox folder, at the same path inside and outside.
const std::string &SandboxDir();
// An emptied folder for one test's server files.
std::string ServerDir(const std::string &name);
inline bool Exists(const std::string &path)
{
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}
// Deterministic bytes that differ at every offset of a 256-byte window.
std::string MakePackage(size_t ulSize);
// Clears the in-process records and the files a test run leaves in /tmp.
void ResetFetchState();
WATCH_STATE_S WatchNow();
// Each call of a wrapped device tool: its argument vector.
std::vector<std::vector<std::string>> ToolCalls(const std::string &tool);

template <class F>
std::string Stdout(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// A server process, killed when the test is done with it.
class Server {
public:
    ~Server() { Stop(); }
    // Starts argv (a script of tests/fetch when it ends in ".py") with output
    // to log; true once it listens on port ("tcp" or "udp") of 127.0.0.1.
    bool Start(std::vector<std::string> argv, const std::string &log, const char *pszProto, int port);
    void Stop();

private:
    pid_t m_pid = -1;
};

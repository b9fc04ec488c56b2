// Helpers of the fetch tests that run inside the host sandbox: servers on loopback started and stopped by the test, and the sandbox folder.
#pragma once

#include "support/sandbox_run.h"
#include <string>
#include <sys/types.h>
#include <vector>

// The sandbox folder on the host (visible at the same path inside).
const std::string &SandboxDir();
// A scratch folder for one test's server files, emptied first.
std::string ServerDir(const std::string &name);

bool Exists(const std::string &path);
// Deterministic bytes that differ at every offset of a 256-byte window.
std::string MakePackage(size_t ulSize);

// Clears the in-process records and the files a test run leaves in /tmp.
void ResetFetchState();

// Each call of a wrapped device tool: its argument vector.
std::vector<std::vector<std::string>> ToolCalls(const std::string &tool);

class Server {
public:
    Server() = default;
    ~Server() { Stop(); }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    // Starts argv with output to <log>; false when it could not start.
    bool Start(const std::vector<std::string> &argv, const std::string &log);
    void Stop();

private:
    pid_t m_pid = -1;
};

bool WaitTcpPort(int port);
bool WaitUdpPort(int port);

// Python interpreter that has the packages the test servers need.
constexpr const char *TEST_PYTHON = "/usr/bin/python3";
std::string TestScript(const char *pszName);

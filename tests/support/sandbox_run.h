// Helpers for system tests that run programs in the host sandbox
// (tests/sandbox/sandbox.sh): fresh per-test folders and a runner.
#pragma once

#include <string>
#include <vector>

struct SandboxResult {
    int lStatus = -1;    // exit status; 128+N for signal N; 125 sandbox set-up failed; 137 timed out
    std::string strOut;  // standard output
    std::string strErr;  // standard error
};

// Seconds a sandbox may run before it is killed (the reboot path alone sleeps 9 s).
constexpr int SANDBOX_TIMEOUT_SEC = 120;

// A fresh, empty folder UPDATE_BINARY_DIR/sandboxes/<testName>; throws when it cannot be made.
std::string MakeSandboxDir(const std::string &testName);

// Runs argv in the sandbox on dir with an empty standard input and collects
// standard output and error separately (kept beside dir as dir.out, dir.err).
SandboxResult RunInSandbox(const std::string &dir, const std::vector<std::string> &argv);

// Whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string &path);

// Writes text to path, creating missing parent folders; throws when that
// fails (a test cannot go on without its input files).
void WriteFile(const std::string &path, const std::string &text);

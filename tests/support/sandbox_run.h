// Helpers for system tests that run programs in the host sandbox
// (tests/sandbox/sandbox.sh): fresh per-test folders, a runner with piped
// standard streams, and a runner on a pseudo-terminal for interactive prompts.
#pragma once

#include <string>
#include <vector>

struct SandboxResult {
    int lStatus = -1;    // exit status; 128+N for signal N; 125 sandbox set-up failed; 124 timed out
    std::string strOut;  // standard output (on a pseudo-terminal: everything the terminal showed)
    std::string strErr;  // standard error
};

// Seconds a sandbox may run before it is killed (the reboot path alone sleeps 9 s).
constexpr int SANDBOX_TIMEOUT_SEC = 120;

// Absolute path of tests/sandbox/sandbox.sh.
std::string SandboxScript();

// A fresh, empty folder UPDATE_BINARY_DIR/sandboxes/<testName> ('/' becomes '_').
std::string MakeSandboxDir(const std::string &testName);

// Runs argv in the sandbox on dir with stdinText as standard input and
// collects standard output and error separately.
SandboxResult RunInSandbox(const std::string &dir, const std::vector<std::string> &argv,
                           const std::string &stdinText = "", bool bNet = false);

// Runs argv in the sandbox with a pseudo-terminal as standard input and
// output (standard error stays a pipe). Once the terminal has shown prompt
// (any output at all when prompt is empty) and the program has switched the
// terminal out of line mode (or a second has passed without that), the bytes
// of typed are written to the terminal. strOut holds what the terminal showed,
// with the terminal's own conversions ("\n" shown as "\r\n" while output
// processing is on, typed bytes echoed while echo is on).
SandboxResult RunInSandboxPty(const std::string &dir, const std::vector<std::string> &argv,
                              const std::string &typed, const std::string &prompt = "");

// Whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string &path);

// Writes text to path, creating missing parent folders; aborts the test
// program when that fails (a test cannot go on without its input files).
void WriteFile(const std::string &path, const std::string &text);

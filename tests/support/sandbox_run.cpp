#include "support/sandbox_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { Reset(); }
    int Get() const { return m_fd; }
    bool Open() const { return m_fd >= 0; }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Command line of the sandbox itself; the child keeps the pid of unshare,
// since sandbox.sh replaces itself with it, so SIGKILL to it ends everything.
std::vector<std::string> SandboxCommand(const std::string &dir, const std::vector<std::string> &argv, bool bNet)
{
    std::vector<std::string> cmd{"/bin/bash", SandboxScript()};
    if (bNet) {
        cmd.push_back("--net");
    }
    cmd.push_back(dir);
    cmd.push_back("--");
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

std::vector<char *> ArgvPointers(std::vector<std::string> &cmd)
{
    std::vector<char *> ptrs;
    for (std::string &s : cmd) {
        ptrs.push_back(s.data());
    }
    ptrs.push_back(nullptr);
    return ptrs;
}

[[noreturn]] void ExecSandbox(char *const *argv)
{
    setenv("UPDATE_BINARY_DIR", UPDATE_BINARY_DIR, 1);
    setenv("UPDATE_SOURCE_DIR", UPDATE_SOURCE_DIR, 1);
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv);
    _exit(127);
}

// Reads what is there; false at end of stream (EIO is how a pty master says so).
bool Drain(int fd, std::string &into)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof(buf)) {
                return true;
            }
            continue;
        }
        if (n < 0 && (errno == EINTR)) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        return false;
    }
}

int DecodeStatus(int st)
{
    if (WIFEXITED(st)) {
        return WEXITSTATUS(st);
    }
    if (WIFSIGNALED(st)) {
        return 128 + WTERMSIG(st);
    }
    return -1;
}

// Kills the sandbox when it overstays and collects its status.
int Finish(pid_t pid, bool bTimedOut, SandboxResult &res)
{
    int st = 0;
    if (bTimedOut) {
        kill(pid, SIGKILL);
    }
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (bTimedOut) {
        res.strErr += "\n[sandbox killed after timeout]\n";
        return 124;
    }
    return DecodeStatus(st);
}

void IgnoreSigpipe()
{
    static const bool done = [] {
        signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

} // namespace

std::string SandboxScript()
{
    return std::string(UPDATE_SOURCE_DIR) + "/tests/sandbox/sandbox.sh";
}

std::string MakeSandboxDir(const std::string &testName)
{
    std::string name = testName;
    for (char &c : name) {
        if (c == '/') {
            c = '_';
        }
    }
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

SandboxResult RunInSandbox(const std::string &dir, const std::vector<std::string> &argv,
                           const std::string &stdinText, bool bNet)
{
    SandboxResult res;
    IgnoreSigpipe();
    std::vector<std::string> cmd = SandboxCommand(dir, argv, bNet);
    std::vector<char *> ptrs = ArgvPointers(cmd);

    int inP[2], outP[2], errP[2];
    if (pipe2(inP, O_CLOEXEC) != 0) {
        return res;
    }
    UniqueFd inR(inP[0]), inW(inP[1]);
    if (pipe2(outP, O_CLOEXEC) != 0) {
        return res;
    }
    UniqueFd outR(outP[0]), outW(outP[1]);
    if (pipe2(errP, O_CLOEXEC) != 0) {
        return res;
    }
    UniqueFd errR(errP[0]), errW(errP[1]);

    pid_t pid = fork();
    if (pid < 0) {
        return res;
    }
    if (pid == 0) {
        dup2(inR.Get(), 0);
        dup2(outW.Get(), 1);
        dup2(errW.Get(), 2);
        ExecSandbox(ptrs.data());
    }
    inR.Reset();
    outW.Reset();
    errW.Reset();
    fcntl(inW.Get(), F_SETFL, O_NONBLOCK);
    fcntl(outR.Get(), F_SETFL, O_NONBLOCK);
    fcntl(errR.Get(), F_SETFL, O_NONBLOCK);

    size_t written = 0;
    if (stdinText.empty()) {
        inW.Reset();
    }
    const long long deadline = NowMs() + SANDBOX_TIMEOUT_SEC * 1000LL;
    bool bTimedOut = false;
    while (outR.Open() || errR.Open()) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            bTimedOut = true;
            break;
        }
        pollfd fds[3];
        nfds_t n = 0;
        int iOut = -1, iErr = -1, iIn = -1;
        if (outR.Open()) {
            iOut = static_cast<int>(n);
            fds[n++] = {outR.Get(), POLLIN, 0};
        }
        if (errR.Open()) {
            iErr = static_cast<int>(n);
            fds[n++] = {errR.Get(), POLLIN, 0};
        }
        if (inW.Open()) {
            iIn = static_cast<int>(n);
            fds[n++] = {inW.Get(), POLLOUT, 0};
        }
        int r = poll(fds, n, static_cast<int>(left < 1000 ? left : 1000));
        if (r < 0 && errno != EINTR) {
            bTimedOut = true;
            break;
        }
        if (r <= 0) {
            continue;
        }
        if (iIn >= 0 && fds[iIn].revents) {
            ssize_t w = write(inW.Get(), stdinText.data() + written, stdinText.size() - written);
            if (w > 0) {
                written += static_cast<size_t>(w);
            }
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == stdinText.size()) {
                inW.Reset();
            }
        }
        if (iOut >= 0 && fds[iOut].revents && !Drain(outR.Get(), res.strOut)) {
            outR.Reset();
        }
        if (iErr >= 0 && fds[iErr].revents && !Drain(errR.Get(), res.strErr)) {
            errR.Reset();
        }
    }
    res.lStatus = Finish(pid, bTimedOut, res);
    return res;
}

SandboxResult RunInSandboxPty(const std::string &dir, const std::vector<std::string> &argv,
                              const std::string &typed, const std::string &prompt)
{
    SandboxResult res;
    IgnoreSigpipe();
    std::vector<std::string> cmd = SandboxCommand(dir, argv, false);
    std::vector<char *> ptrs = ArgvPointers(cmd);

    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return res;
    }
    UniqueFd masterFd(master), slaveFd(slave);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    int errP[2];
    if (pipe2(errP, O_CLOEXEC) != 0) {
        return res;
    }
    UniqueFd errR(errP[0]), errW(errP[1]);

    pid_t pid = fork();
    if (pid < 0) {
        return res;
    }
    if (pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(errW.Get(), 2);
        ExecSandbox(ptrs.data());
    }
    slaveFd.Reset();
    errW.Reset();
    fcntl(master, F_SETFL, O_NONBLOCK);
    fcntl(errR.Get(), F_SETFL, O_NONBLOCK);

    enum { WAIT_PROMPT, WAIT_RAW, TYPED } phase = WAIT_PROMPT;
    long long rawDeadline = 0;
    const long long deadline = NowMs() + SANDBOX_TIMEOUT_SEC * 1000LL;
    bool bTimedOut = false;
    while (masterFd.Open() || errR.Open()) {
        long long now = NowMs();
        if (now >= deadline) {
            bTimedOut = true;
            break;
        }
        if (phase == WAIT_PROMPT && (prompt.empty() ? !res.strOut.empty() : res.strOut.find(prompt) != std::string::npos)) {
            phase = WAIT_RAW;
            rawDeadline = now + 1000;
        }
        if (phase == WAIT_RAW && masterFd.Open()) {
            termios tio{};
            // On the master this reports the program's side of the terminal.
            bool bRaw = tcgetattr(master, &tio) == 0 && !(tio.c_lflag & ICANON);
            if (bRaw || now >= rawDeadline) {
                size_t done = 0;
                while (done < typed.size()) {
                    ssize_t w = write(master, typed.data() + done, typed.size() - done);
                    if (w > 0) {
                        done += static_cast<size_t>(w);
                    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                        break;
                    }
                }
                phase = TYPED;
            }
        }
        pollfd fds[2];
        nfds_t n = 0;
        int iMaster = -1, iErr = -1;
        if (masterFd.Open()) {
            iMaster = static_cast<int>(n);
            fds[n++] = {master, POLLIN, 0};
        }
        if (errR.Open()) {
            iErr = static_cast<int>(n);
            fds[n++] = {errR.Get(), POLLIN, 0};
        }
        int r = poll(fds, n, phase == WAIT_RAW ? 10 : 200);
        if (r < 0 && errno != EINTR) {
            bTimedOut = true;
            break;
        }
        if (r <= 0) {
            continue;
        }
        if (iMaster >= 0 && fds[iMaster].revents && !Drain(master, res.strOut)) {
            masterFd.Reset();
        }
        if (iErr >= 0 && fds[iErr].revents && !Drain(errR.Get(), res.strErr)) {
            errR.Reset();
        }
    }
    res.lStatus = Finish(pid, bTimedOut, res);
    return res;
}

#include "support/sandbox_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

bool MakePipe(UniqueFd &readEnd, UniqueFd &writeEnd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.Reset(fds[0]);
    writeEnd.Reset(fds[1]);
    return true;
}

// Forks the sandbox around argv; the child runs placeStreams to set up its
// standard streams first. The child keeps the pid of unshare, since
// sandbox.sh replaces itself with it, so SIGKILL to it ends everything.
pid_t Spawn(const std::string &dir, const std::vector<std::string> &argv, bool bNet,
            const std::function<void()> &placeStreams)
{
    static const bool bIgnored = [] {
        signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)bIgnored;
    std::vector<std::string> cmd{"/bin/bash", SandboxScript()};
    if (bNet) {
        cmd.push_back("--net");
    }
    cmd.push_back(dir);
    cmd.push_back("--");
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    std::vector<char *> ptrs;
    for (std::string &s : cmd) {
        ptrs.push_back(s.data());
    }
    ptrs.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        placeStreams();
        setenv("UPDATE_BINARY_DIR", UPDATE_BINARY_DIR, 1);
        setenv("UPDATE_SOURCE_DIR", UPDATE_SOURCE_DIR, 1);
        signal(SIGPIPE, SIG_DFL);
        execv(ptrs[0], ptrs.data());
        _exit(127);
    }
    return pid;
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
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// Collects out into strOut and err into strErr until both end, then the
// status. Before each poll, beforePoll may act and returns the poll timeout
// in ms. An overstaying sandbox is killed (status 124).
int Collect(pid_t pid, UniqueFd &out, UniqueFd &err, SandboxResult &res, const std::function<int()> &beforePoll)
{
    fcntl(out.Get(), F_SETFL, O_NONBLOCK);
    fcntl(err.Get(), F_SETFL, O_NONBLOCK);
    const long long deadline = NowMs() + SANDBOX_TIMEOUT_SEC * 1000LL;
    bool bTimedOut = false;
    while (out.Open() || err.Open()) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            bTimedOut = true;
            break;
        }
        pollfd fds[2] = {{out.Get(), POLLIN, 0}, {err.Get(), POLLIN, 0}};
        int r = poll(fds, 2, static_cast<int>(std::min<long long>(beforePoll(), left)));
        if (r < 0 && errno != EINTR) {
            bTimedOut = true;
            break;
        }
        if (r > 0 && fds[0].revents && !Drain(out.Get(), res.strOut)) {
            out.Reset();
        }
        if (r > 0 && fds[1].revents && !Drain(err.Get(), res.strErr)) {
            err.Reset();
        }
    }
    if (bTimedOut) {
        kill(pid, SIGKILL);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (bTimedOut) {
        res.strErr += "\n[sandbox killed after timeout]\n";
        return 124;
    }
    if (WIFEXITED(st)) {
        return WEXITSTATUS(st);
    }
    return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

} // namespace

std::string SandboxScript()
{
    return std::string(UPDATE_SOURCE_DIR) + "/tests/sandbox/sandbox.sh";
}

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

SandboxResult RunInSandbox(const std::string &dir, const std::vector<std::string> &argv,
                           const std::string &stdinText, bool bNet)
{
    SandboxResult res;
    UniqueFd inR, inW, outR, outW, errR, errW;
    if (!MakePipe(inR, inW) || !MakePipe(outR, outW) || !MakePipe(errR, errW)) {
        return res;
    }
    pid_t pid = Spawn(dir, argv, bNet, [&] {
        dup2(inR.Get(), 0);
        dup2(outW.Get(), 1);
        dup2(errW.Get(), 2);
    });
    if (pid < 0) {
        return res;
    }
    inR.Reset();
    outW.Reset();
    errW.Reset();
    fcntl(inW.Get(), F_SETFL, O_NONBLOCK);
    size_t written = 0;
    res.lStatus = Collect(pid, outR, errR, res, [&] {
        if (inW.Open() && written < stdinText.size()) {
            ssize_t w = write(inW.Get(), stdinText.data() + written, stdinText.size() - written);
            if (w > 0) {
                written += static_cast<size_t>(w);
            } else if (errno != EAGAIN && errno != EINTR) {
                inW.Reset();
            }
        }
        if (written == stdinText.size()) {
            inW.Reset();
        }
        return inW.Open() ? 10 : 1000;
    });
    return res;
}

SandboxResult RunInSandboxPty(const std::string &dir, const std::vector<std::string> &argv,
                              const std::string &typed, const std::string &prompt)
{
    SandboxResult res;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return res;
    }
    UniqueFd masterFd(master), slaveFd(slave), errR, errW;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    if (!MakePipe(errR, errW)) {
        return res;
    }
    pid_t pid = Spawn(dir, argv, false, [&] {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(errW.Get(), 2);
    });
    if (pid < 0) {
        return res;
    }
    slaveFd.Reset();
    errW.Reset();

    enum { WAIT_PROMPT, WAIT_RAW, TYPED } phase = WAIT_PROMPT;
    long long rawDeadline = 0;
    res.lStatus = Collect(pid, masterFd, errR, res, [&] {
        long long now = NowMs();
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
        return phase == WAIT_RAW ? 10 : 200;
    });
    return res;
}

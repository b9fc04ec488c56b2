// The applets' refusals and the checked I/O they are built on. Both end the
// process on failure, so every case runs in a child process.
#include "applets/xio.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "applets/seccomp_rule.h"
#include "support/sandbox_run.h"

namespace {

// "STATUS:STDOUT|STDERR" of fnBody run in a child process.
std::string RunChild(const std::function<int()> &fnBody)
{
    int iOut = memfd_create("out", MFD_CLOEXEC), iErr = memfd_create("err", MFD_CLOEXEC);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(iOut, 1);
        dup2(iErr, 2);
        int iRet = fnBody();
        fflush(nullptr);
        _exit(iRet);
    }
    int iWait = 0;
    waitpid(pid, &iWait, 0);
    std::string strFd = "/proc/self/fd/";
    std::string strRes = std::to_string(WIFEXITED(iWait) ? WEXITSTATUS(iWait) : 128 + WTERMSIG(iWait)) + ":" +
                         ReadFile(strFd + std::to_string(iOut)) + "|" + ReadFile(strFd + std::to_string(iErr));
    close(iOut);
    close(iErr);
    return strRes;
}

TEST(AppletsTest, BadCommandLinesAndWhatIsNotMtdAreRefused)
{
    std::string strDir = TestDir();
    std::string strSrc = strDir + "/src.bin", strFile = strDir + "/mtd3", strMissing = strDir + "/nothing";
    std::string strUsage = "Usage: flashcp [-v] -g file_offset -l file_length -o flash_offset\n";
    WriteFile(strSrc, std::string(20000, 's'));
    WriteFile(strFile, std::string(70000, '\x5a'));
    const std::vector<std::pair<std::vector<std::string>, std::string>> vecCases = {
        {{"flashcp", "-v", "src", "/dev/null"}, strUsage}, // shown in the usage text, not accepted
        {{"flashcp", "-g", "0", "-l", "16", "src"}, strUsage},
        {{"flashcp", strSrc, strFile}, "update: " + strFile + " is not a MTD flash device\n"},
        {{"flashcp", strMissing, strFile}, "update: can't open '" + strMissing + "' (error No such file or directory)\n"},
        {{"flash_eraseall"}, "Usage: flash_eraseall MTD_DEVICE\n"},
        {{"flash_eraseall", strFile}, "update: " + strFile + ": not a char device\n"},
        {{"flash_eraseall", "/dev/null"}, "update: ioctl 0x80204d01 failed (error Inappropriate ioctl for device)\n"},
    };
    for (auto [vecArgs, strErr] : vecCases) {
        SCOPED_TRACE(::testing::PrintToString(vecArgs));
        vecArgs.insert(vecArgs.begin(), UPDATE_BIN);
        std::vector<char *> vecArgv = Argv(vecArgs);
        EXPECT_EQ(RunChild([&]() { return execv(UPDATE_BIN, vecArgv.data()) + 128; }), "1:|" + strErr);
    }
    EXPECT_EQ(ReadFile(strFile), std::string(70000, '\x5a')); // nothing erased or written
}

// The "can't open", "short read" and "ioctl ... failed" lines are proven on
// the updater's applets; "short write" with the zero-byte writes.
TEST(XioTest, FailuresPrintOneLineAndExitOne)
{
    std::string strFile = TestDir() + "/data";
    WriteFile(strFile, "x");
    int aiPipe[2];
    ASSERT_EQ(pipe(aiPipe), 0);
    const std::pair<std::string, std::function<void()>> astCases[] = {
        // A negative position is shown as the unsigned number the caller passed.
        {"update: lseek(18446744073709551611) (error Invalid argument)\n",
         [&]() { XLseek(XOpen(strFile.c_str(), O_RDONLY), -5, SEEK_SET); }},
        {"update: lseek (error Illegal seek)\n", [&]() { XLseek(aiPipe[0], 0, SEEK_CUR); }},
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        {"update: out-of-memory\n", []() { XMalloc(SIZE_MAX / 2); }},
#endif
    };
    for (const auto &[strErr, fnBody] : astCases) {
        EXPECT_EQ(RunChild([&]() { return fnBody(), 0; }), "1:|" + strErr);
    }
}

TEST(XioTest, FullReadCollectsPiecesAndEmptyTransfersTouchNothing)
{
    // Every read of a packet socket returns one record.
    int aiSock[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, aiSock), 0);
    ASSERT_EQ(write(aiSock[1], "abc", 3), 3);
    ASSERT_EQ(write(aiSock[1], "defg", 4), 4);
    close(aiSock[1]);
    char acBuf[100] = {};
    EXPECT_EQ(FullRead(aiSock[0], acBuf, sizeof(acBuf)), 7); // pieces collected until end of file
    EXPECT_STREQ(acBuf, "abcdefg");
    close(aiSock[0]);
    EXPECT_EQ(FullRead(-1, acBuf, sizeof(acBuf)), -1);
    EXPECT_EQ(FullWrite(-1, acBuf, sizeof(acBuf)), -1);
    // A touched descriptor -1 would end the test program.
    XRead(-1, nullptr, 0);
    EXPECT_EQ(XWrite(-1, nullptr, 0), 0);
}

std::atomic<int> g_iSignals{0};

TEST(XioTest, InterruptedReadIsRepeated)
{
    int aiPipe[2];
    ASSERT_EQ(pipe(aiPipe), 0);
    struct sigaction stAct = {};
    stAct.sa_handler = [](int) { g_iSignals++; }; // no SA_RESTART: the kernel hands EINTR back
    ASSERT_EQ(sigaction(SIGUSR1, &stAct, nullptr), 0);
    std::string strProc = "/proc/self/task/" + std::to_string(gettid()) + "/syscall";
    std::string strWant = std::to_string(SYS_read) + " ";
    pthread_t thMain = pthread_self();
    std::atomic<bool> bAllBlocked{true};
    // Three times: wait until the reader sits in read (seen in /proc), then interrupt it.
    std::thread thSignaller([&]() {
        for (int i = 0; i < 3 && bAllBlocked; i++) {
            bAllBlocked = false;
            for (int iTry = 0; iTry < 5000 && !bAllBlocked; iTry++) {
                std::string strLine;
                std::getline(std::ifstream(strProc), strLine);
                bAllBlocked = strLine.starts_with(strWant);
                std::this_thread::sleep_for(std::chrono::milliseconds(bAllBlocked ? 0 : 1));
            }
            for (pthread_kill(thMain, SIGUSR1); bAllBlocked && g_iSignals < i + 1;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        (void)!write(aiPipe[1], "hello", 5);
    });
    char acBuf[16] = {};
    EXPECT_EQ(SafeRead(aiPipe[0], acBuf, sizeof(acBuf)), 5);
    thSignaller.join();
    EXPECT_STREQ(acBuf, "hello");
    EXPECT_TRUE(bAllBlocked);
    EXPECT_EQ(g_iSignals, 3);
    close(aiPipe[0]);
    close(aiPipe[1]);
}

TEST(XioTest, FullWriteGivesUpOnZeroByteWrites)
{
    EXPECT_EQ(RunChild([]() {
                  static char acBuf[10000];
                  int aiPipe[2];
                  if (pipe(aiPipe) != 0 || fcntl(aiPipe[1], F_SETPIPE_SZ, 4096) <= 0 ||
                      fcntl(aiPipe[1], F_SETFL, O_NONBLOCK) != 0) {
                      return 10;
                  }
                  // Every write to the pipe of another length than acBuf's is
                  // answered with 0 by the kernel itself.
                  if (!FilterSyscall(SYS_write, {SECCOMP_LOAD_ARG(0), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)aiPipe[1], 1, 0),
                                                 SECCOMP_ALLOW, SECCOMP_LOAD_ARG(2),
                                                 BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sizeof(acBuf), 0, 1), SECCOMP_ALLOW,
                                                 BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0)})) {
                      return 11;
                  }
                  // The pipe takes 4096 bytes of the first call; the calls for the rest get 0.
                  if (FullWrite(aiPipe[1], acBuf, sizeof(acBuf)) != 4096 || FullWrite(aiPipe[1], acBuf, 100) != 0) {
                      return 12;
                  }
                  XWrite(aiPipe[1], acBuf, 100);
                  return 14;
              }),
              "1:|update: short write\n");
}

} // namespace

#include "applets/xio.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "applets/child_run.h"
#include "applets/seccomp_rule.h"

namespace {

// The "can't open", "short read" and "ioctl ... failed" lines are proven on
// the updater's applets themselves; "short write" with the zero-byte writes.
TEST(XioTest, FailuresPrintOneLineAndExitOne)
{
    std::string strFile = TestDir() + "/data";
    WriteFile(strFile, "x");
    const std::pair<std::string, std::function<void()>> astCases[] = {
        // A negative position is shown as the unsigned number the caller passed.
        {"update: lseek(18446744073709551611) (error Invalid argument)\n",
         [&]() { XLseek(XOpen(strFile.c_str(), O_RDONLY), -5, SEEK_SET); }},
        {"update: lseek (error Illegal seek)\n",
         []() {
             int aiPipe[2];
             (void)!pipe(aiPipe);
             XLseek(aiPipe[0], 0, SEEK_CUR);
         }},
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        {"update: out-of-memory\n", []() { XMalloc(SIZE_MAX / 2); }},
#endif
    };
    for (const auto &[strErr, fnBody] : astCases) {
        SCOPED_TRACE(strErr);
        ExpectFailure(RunChild([&]() {
                          fnBody();
                          return 0;
                      }),
                      strErr);
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

// Interrupts the calling thread three times while it is blocked in lSyscall
// (seen in /proc), then runs fnRelease to let the call complete.
template <typename Body, typename Release>
void InterruptBlockedCall(long lSyscall, Body fnBody, Release fnRelease)
{
    struct sigaction stAct = {};
    struct sigaction stOld = {};
    stAct.sa_handler = [](int) { g_iSignals++; }; // no SA_RESTART: the kernel hands EINTR back
    ASSERT_EQ(sigaction(SIGUSR1, &stAct, &stOld), 0);
    g_iSignals = 0;
    std::string strProc = "/proc/self/task/" + std::to_string(gettid()) + "/syscall";
    std::string strWant = std::to_string(lSyscall) + " ";
    pthread_t thMain = pthread_self();
    std::atomic<bool> bAllBlocked{true};
    std::thread thSignaller([&]() {
        for (int i = 0; i < 3 && bAllBlocked; i++) {
            bAllBlocked = false;
            for (int iTry = 0; iTry < 5000 && !bAllBlocked; iTry++) {
                std::string strLine;
                std::ifstream in(strProc);
                std::getline(in, strLine);
                bAllBlocked = strLine.compare(0, strWant.size(), strWant) == 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(bAllBlocked ? 0 : 1));
            }
            if (bAllBlocked) {
                pthread_kill(thMain, SIGUSR1);
                while (g_iSignals < i + 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        }
        fnRelease();
    });
    fnBody();
    thSignaller.join();
    sigaction(SIGUSR1, &stOld, nullptr);
    EXPECT_TRUE(bAllBlocked);
    EXPECT_EQ(g_iSignals, 3);
}

TEST(XioTest, InterruptedReadAndWriteAreRepeated)
{
    int aiPipe[2];
    ASSERT_EQ(pipe(aiPipe), 0);
    ssize_t lRead = 0;
    char acBuf[16] = {};
    InterruptBlockedCall(
        SYS_read, [&]() { lRead = SafeRead(aiPipe[0], acBuf, sizeof(acBuf)); },
        [&]() { (void)!write(aiPipe[1], "hello", 5); });
    EXPECT_EQ(lRead, 5);
    EXPECT_EQ(std::string(acBuf), "hello");

    // A full pipe blocks the writer until the reader drains it.
    std::string strFill(std::max(fcntl(aiPipe[1], F_SETPIPE_SZ, 4096), 0), 'f');
    ASSERT_EQ(write(aiPipe[1], strFill.data(), strFill.size()), (ssize_t)strFill.size());
    ssize_t lWritten = 0;
    InterruptBlockedCall(
        SYS_write, [&]() { lWritten = SafeWrite(aiPipe[1], strFill.data(), 1024); },
        [&]() { (void)!read(aiPipe[0], strFill.data(), strFill.size()); });
    EXPECT_EQ(lWritten, 1024);
    close(aiPipe[0]);
    close(aiPipe[1]);
}

TEST(XioTest, FullWriteGivesUpOnZeroByteWrites)
{
    ChildResult stRes = RunChild([]() {
        static char acBuf[10000];
        int aiPipe[2];
        if (pipe(aiPipe) != 0 || fcntl(aiPipe[1], F_SETPIPE_SZ, 4096) <= 0 ||
            fcntl(aiPipe[1], F_SETFL, O_NONBLOCK) != 0) {
            return 10;
        }
        // Every write to the pipe of another length than acBuf's is answered
        // with 0 by the kernel itself.
        if (!FilterSyscall(SYS_write, {SECCOMP_LOAD_ARG(0), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)aiPipe[1], 1, 0),
                                       SECCOMP_ALLOW, SECCOMP_LOAD_ARG(2),
                                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sizeof(acBuf), 0, 1), SECCOMP_ALLOW,
                                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0)})) {
            return 11;
        }
        // The pipe takes 4096 bytes of the first call; the calls for the rest get 0.
        ssize_t lFirst = FullWrite(aiPipe[1], acBuf, sizeof(acBuf));
        ssize_t lSecond = FullWrite(aiPipe[1], acBuf, 100);
        if (lFirst != 4096 || lSecond != 0) {
            fprintf(stderr, "FullWrite returned %zd, then %zd\n", lFirst, lSecond);
            return 12;
        }
        XWrite(aiPipe[1], acBuf, 100);
        return 14;
    });
    EXPECT_EQ(stRes.strErr, "update: short write\n");
    EXPECT_EQ(stRes.iStatus, 1);
}

} // namespace

#include "applets/xio.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mtd/mtd-user.h>
#include <thread>

#include "applets/child_run.h"
#include "applets/seccomp_rule.h"

namespace {

// One end of a new pipe whose other end is closed.
int LonePipeEnd(int iEnd)
{
    int aiPipe[2];
    (void)!pipe(aiPipe);
    close(aiPipe[1 - iEnd]);
    return aiPipe[iEnd];
}

TEST(XioTest, FailuresPrintOneLineAndExitOne)
{
    std::string strDir = TestDir();
    std::string strMissing = strDir + "/missing";
    std::string strFile = strDir + "/data";
    WriteFile(strFile, std::string(8292, 'x'));
    auto ReadAt = [&](off_t llPos) {
        int iFd = XOpen(strFile.c_str(), O_RDONLY);
        XLseek(iFd, llPos, SEEK_SET);
        static char acBuf[8192];
        XRead(iFd, acBuf, sizeof(acBuf));
    };
    struct {
        std::string strErr;
        std::string strOut;
        std::function<void()> fnBody;
    } astCases[] = {
        {"update: can't open '" + strMissing + "' (error No such file or directory)\n", "",
         [&]() { XOpen(strMissing.c_str(), O_RDONLY); }},
        // A negative position is shown as the unsigned number the caller passed.
        {"update: lseek(18446744073709551611) (error Invalid argument)\n", "", [&]() { ReadAt(-5); }},
        {"update: lseek (error Illegal seek)\n", "", []() { XLseek(LonePipeEnd(0), 0, SEEK_CUR); }},
        {"update: short read\n", "", [&]() { ReadAt(8192); }}, // 100 bytes left
        {"update: ioctl 0x40084d02 failed (error Inappropriate ioctl for device)\n", "",
         [&]() {
             struct erase_info_user stErase = {0, 0x10000};
             XIoctl(XOpen(strFile.c_str(), O_RDWR), MEMERASE, &stErase);
         }},
        {"update: short write\n", "",
         []() {
             signal(SIGPIPE, SIG_IGN);
             XWrite(LonePipeEnd(1), "abc", 3);
         }},
        // Progress printed before the failure still reaches standard output.
        {"update: short read\n", "\rWriting kb: 0/19 (0%) ",
         [&]() {
             printf("\rWriting kb: 0/19 (0%%) ");
             ReadAt(8200);
         }},
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        {"update: out-of-memory\n", "", []() { XMalloc(SIZE_MAX / 2); }},
#endif
    };
    for (const auto &stCase : astCases) {
        SCOPED_TRACE(stCase.strErr);
        ExpectFailure(RunChild([&]() {
                          stCase.fnBody();
                          return 0;
                      }),
                      stCase.strErr, stCase.strOut);
    }
}

TEST(XioTest, SuccessfulCallsReturnWithoutOutput)
{
    std::string strNew = TestDir() + "/created";
    ChildResult stRes = RunChild([&]() {
        umask(0);
        int iFd = XOpen(strNew.c_str(), O_WRONLY | O_CREAT);
        struct stat st;
        if (fstat(iFd, &st) != 0 || (st.st_mode & 0777) != 0666) {
            return 2;
        }
        if (XWrite(iFd, "0123456789", 10) != 10 || XLseek(iFd, 0, SEEK_END) != 10) {
            return 3;
        }
        XRead(-1, nullptr, 0); // nothing to move: the descriptor is never touched
        int aiPipe[2];
        int iAvail = -1;
        if (XWrite(-1, nullptr, 0) != 0 || pipe(aiPipe) != 0 || write(aiPipe[1], "abc", 3) != 3 ||
            XIoctl(aiPipe[0], FIONREAD, &iAvail) != 0 || iAvail != 3) {
            return 4;
        }
        return 0;
    });
    EXPECT_EQ(stRes.strErr, "");
    EXPECT_EQ(stRes.iStatus, 0);
    EXPECT_EQ(ReadFile(strNew), "0123456789");

    int aiPipe[2];
    ASSERT_EQ(pipe(aiPipe), 0);
    std::thread thWriter([&]() {
        (void)!write(aiPipe[1], "abc", 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)!write(aiPipe[1], "defg", 4);
        close(aiPipe[1]);
    });
    char acBuf[100] = {};
    EXPECT_EQ(FullRead(aiPipe[0], acBuf, sizeof(acBuf)), 7); // pieces collected until end of file
    EXPECT_EQ(std::string(acBuf), "abcdefg");
    thWriter.join();
    close(aiPipe[0]);
    EXPECT_EQ(FullRead(-1, acBuf, sizeof(acBuf)), -1);
    EXPECT_EQ(FullWrite(-1, acBuf, sizeof(acBuf)), -1);
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
    ASSERT_GT(fcntl(aiPipe[1], F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(fcntl(aiPipe[1], F_SETFL, O_NONBLOCK), 0);
    static char acFill[65536];
    ssize_t lFilled = 0;
    for (ssize_t n; (n = write(aiPipe[1], acFill, sizeof(acFill))) > 0;) {
        lFilled += n;
    }
    ASSERT_GT(lFilled, 0);
    ASSERT_EQ(fcntl(aiPipe[1], F_SETFL, 0), 0);
    ssize_t lWritten = 0;
    InterruptBlockedCall(
        SYS_write, [&]() { lWritten = SafeWrite(aiPipe[1], acFill, 1024); },
        [&]() {
            for (ssize_t n = 1; lFilled > 0 && n > 0; lFilled -= n) {
                n = read(aiPipe[0], acFill, std::min((size_t)lFilled, sizeof(acFill)));
            }
        });
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

#include "applets/xio.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mtd/mtd-user.h>
#include <string>
#include <thread>

#include "applets/child_run.h"

namespace {

class XioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strDir = MakeScratchDir("xio");
        ASSERT_FALSE(m_strDir.empty());
    }
    std::string m_strDir;
};

void ExpectFailure(const ChildResult &stRes, const std::string &strErr)
{
    EXPECT_EQ(stRes.iStatus, 1);
    EXPECT_EQ(stRes.strErr, strErr);
    EXPECT_EQ(stRes.strOut, "");
}

TEST_F(XioTest, FailuresPrintOneLineAndExitOne)
{
    std::string strMissing = m_strDir + "/missing";
    ExpectFailure(RunChild([&]() {
                      XOpen(strMissing.c_str(), O_RDONLY);
                      return 0;
                  }),
                  "update: can't open '" + strMissing + "' (error No such file or directory)\n");

    std::string strFile = m_strDir + "/data";
    WriteFileBytes(strFile, std::string(8292, 'x'));

    // A negative position is shown as the unsigned number the caller passed.
    ExpectFailure(RunChild([&]() {
                      int iFd = XOpen(strFile.c_str(), O_RDONLY);
                      XLseek(iFd, -5, SEEK_SET);
                      return 0;
                  }),
                  "update: lseek(18446744073709551611) (error Invalid argument)\n");

    ExpectFailure(RunChild([&]() {
                      int aiPipe[2];
                      if (pipe(aiPipe) != 0) {
                          return 2;
                      }
                      XLseek(aiPipe[0], 0, SEEK_CUR);
                      return 0;
                  }),
                  "update: lseek (error Illegal seek)\n");

    // 100 bytes left at the position, 8192 asked for.
    ExpectFailure(RunChild([&]() {
                      int iFd = XOpen(strFile.c_str(), O_RDONLY);
                      XLseek(iFd, 8192, SEEK_SET);
                      static char acBuf[8192];
                      XRead(iFd, acBuf, sizeof(acBuf));
                      return 0;
                  }),
                  "update: short read\n");

    ExpectFailure(RunChild([&]() {
                      int iFd = XOpen(strFile.c_str(), O_RDWR);
                      struct erase_info_user stErase = {0, 0x10000};
                      XIoctl(iFd, MEMERASE, &stErase);
                      return 0;
                  }),
                  "update: ioctl 0x40084d02 failed (error Inappropriate ioctl for device)\n");

    ExpectFailure(RunChild([&]() {
                      signal(SIGPIPE, SIG_IGN);
                      int aiPipe[2];
                      if (pipe(aiPipe) != 0) {
                          return 2;
                      }
                      close(aiPipe[0]);
                      XWrite(aiPipe[1], "abc", 3);
                      return 0;
                  }),
                  "update: short write\n");

    // Progress printed before the failure still reaches standard output.
    ChildResult stRes = RunChild([&]() {
        printf("\rWriting kb: 0/19 (0%%) ");
        int iFd = XOpen(strFile.c_str(), O_RDONLY);
        XLseek(iFd, 8200, SEEK_SET);
        static char acBuf[8192];
        XRead(iFd, acBuf, sizeof(acBuf));
        return 0;
    });
    EXPECT_EQ(stRes.iStatus, 1);
    EXPECT_EQ(stRes.strOut, "\rWriting kb: 0/19 (0%) ");
    EXPECT_EQ(stRes.strErr, "update: short read\n");

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    ExpectFailure(RunChild([&]() {
                      XMalloc(SIZE_MAX / 2);
                      return 0;
                  }),
                  "update: out-of-memory\n");
#endif
}

TEST_F(XioTest, SuccessfulCallsReturnWithoutOutput)
{
    std::string strNew = m_strDir + "/created";
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
        // Nothing to move: the descriptor is never touched.
        XRead(-1, nullptr, 0);
        if (XWrite(-1, nullptr, 0) != 0) {
            return 4;
        }
        int aiPipe[2];
        int iAvail = -1;
        if (pipe(aiPipe) != 0 || write(aiPipe[1], "abc", 3) != 3 || XIoctl(aiPipe[0], FIONREAD, &iAvail) != 0 ||
            iAvail != 3) {
            return 5;
        }
        return 0;
    });
    EXPECT_EQ(stRes.strErr, "");
    EXPECT_EQ(stRes.iStatus, 0);
    std::ifstream in(strNew, std::ios::binary);
    std::string strData((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(strData, "0123456789");
}

TEST_F(XioTest, FullReadCollectsPiecesUntilEndOfFile)
{
    int aiPipe[2];
    ASSERT_EQ(pipe(aiPipe), 0);
    std::thread thWriter([&]() {
        (void)!write(aiPipe[1], "abc", 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)!write(aiPipe[1], "defg", 4);
        close(aiPipe[1]);
    });
    char acBuf[100] = {};
    EXPECT_EQ(FullRead(aiPipe[0], acBuf, sizeof(acBuf)), 7);
    EXPECT_EQ(std::string(acBuf), "abcdefg");
    thWriter.join();
    close(aiPipe[0]);

    EXPECT_EQ(FullRead(-1, acBuf, sizeof(acBuf)), -1);
    EXPECT_EQ(FullWrite(-1, acBuf, sizeof(acBuf)), -1);
}

std::atomic<int> g_iSignals{0};

void CountSignal(int)
{
    g_iSignals++;
}

// True once the thread is blocked in the given system call.
bool WaitBlockedIn(pid_t tid, long lSyscall)
{
    std::string strPath = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    std::string strWant = std::to_string(lSyscall) + " ";
    for (int i = 0; i < 5000; i++) {
        std::ifstream in(strPath);
        std::string strLine;
        std::getline(in, strLine);
        if (strLine.compare(0, strWant.size(), strWant) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Interrupts the calling thread three times while it is blocked in lSyscall,
// then runs fnRelease to let the call complete.
template <typename Body, typename Release>
void InterruptBlockedCall(long lSyscall, Body fnBody, Release fnRelease)
{
    struct sigaction stAct = {};
    struct sigaction stOld = {};
    stAct.sa_handler = CountSignal;
    stAct.sa_flags = 0; // no SA_RESTART: the kernel hands EINTR back
    sigemptyset(&stAct.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &stAct, &stOld), 0);
    g_iSignals = 0;
    pid_t tidMain = (pid_t)syscall(SYS_gettid);
    pthread_t thMain = pthread_self();
    std::atomic<bool> bAllBlocked{true};
    std::thread thSignaller([&]() {
        for (int i = 0; i < 3; i++) {
            if (!WaitBlockedIn(tidMain, lSyscall)) {
                bAllBlocked = false;
                break;
            }
            pthread_kill(thMain, SIGUSR1);
            while (g_iSignals < i + 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

TEST_F(XioTest, InterruptedReadAndWriteAreRepeated)
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
    int iFlags = fcntl(aiPipe[1], F_GETFL);
    ASSERT_EQ(fcntl(aiPipe[1], F_SETFL, iFlags | O_NONBLOCK), 0);
    static char acFill[65536];
    ssize_t lFilled = 0;
    for (;;) {
        ssize_t n = write(aiPipe[1], acFill, sizeof(acFill));
        if (n <= 0) {
            break;
        }
        lFilled += n;
    }
    ASSERT_GT(lFilled, 0);
    ASSERT_EQ(fcntl(aiPipe[1], F_SETFL, iFlags), 0);
    ssize_t lWritten = 0;
    static char acOut[1024];
    memset(acOut, 'w', sizeof(acOut));
    InterruptBlockedCall(
        SYS_write, [&]() { lWritten = SafeWrite(aiPipe[1], acOut, sizeof(acOut)); },
        [&]() {
            static char acDrain[65536];
            ssize_t lLeft = lFilled;
            while (lLeft > 0) {
                ssize_t n = read(aiPipe[0], acDrain, (size_t)lLeft < sizeof(acDrain) ? (size_t)lLeft : sizeof(acDrain));
                if (n <= 0) {
                    break;
                }
                lLeft -= n;
            }
        });
    EXPECT_EQ(lWritten, (ssize_t)sizeof(acOut));
    close(aiPipe[0]);
    close(aiPipe[1]);
}

#if defined(__x86_64__)
// From here on every write to iFd of a length other than ulPassLen returns 0
// without doing anything: the kernel itself answers the call.
bool AnswerZeroToWrites(int iFd, uint32_t ulPassLen)
{
    struct sock_filter astProg[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)iFd, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ulPassLen, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0),
    };
    struct sock_fprog stProg = {(unsigned short)(sizeof(astProg) / sizeof(astProg[0])), astProg};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &stProg) == 0;
}
#endif

TEST_F(XioTest, FullWriteGivesUpOnZeroByteWrites)
{
#if !defined(__x86_64__)
    GTEST_SKIP() << "the zero-answer filter is written for x86_64";
#else
    ChildResult stRes = RunChild([]() {
        int aiPipe[2];
        if (pipe(aiPipe) != 0 || fcntl(aiPipe[1], F_SETPIPE_SZ, 4096) <= 0 ||
            fcntl(aiPipe[1], F_SETFL, O_NONBLOCK) != 0) {
            return 10;
        }
        static char acBuf[10000];
        if (!AnswerZeroToWrites(aiPipe[1], sizeof(acBuf))) {
            return 11;
        }
        // The pipe takes 4096 bytes of the first call; every later call for
        // the rest is answered with 0.
        ssize_t lRet = FullWrite(aiPipe[1], acBuf, sizeof(acBuf));
        if (lRet != 4096) {
            fprintf(stderr, "first FullWrite returned %zd\n", lRet);
            return 12;
        }
        lRet = FullWrite(aiPipe[1], acBuf, 100);
        if (lRet != 0) {
            fprintf(stderr, "second FullWrite returned %zd\n", lRet);
            return 13;
        }
        XWrite(aiPipe[1], acBuf, 100);
        return 14;
    });
    EXPECT_EQ(stRes.strErr, "update: short write\n");
    EXPECT_EQ(stRes.iStatus, 1);
#endif
}

} // namespace

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "update/update_device.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {
std::string ScratchDir(const char *pszName)
{
    std::string strDir = std::string(UPDATE_BINARY_DIR) + "/testtmp/" + pszName;
    std::string strCmd = "rm -rf '" + strDir + "' && mkdir -p '" + strDir + "'";
    EXPECT_EQ(system(strCmd.c_str()), 0);
    return strDir;
}

std::string ReadAll(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Captures what the updater's log stream receives while a test runs.
struct LogCapture {
    LogCapture() { g_pUpdateLogFile = tmpfile(); }
    ~LogCapture() { UpdateLogClose(); }
    std::string Text()
    {
        fflush(g_pUpdateLogFile);
        rewind(g_pUpdateLogFile);
        std::string str;
        char sz[512];
        size_t n;
        while ((n = fread(sz, 1, sizeof(sz), g_pUpdateLogFile)) > 0) {
            str.append(sz, n);
        }
        return str;
    }
};
} // namespace

TEST(ShellQuote, OrdinaryValuesStayUnchanged)
{
    char sz[64];
    ASSERT_EQ(ShellQuote("10.0.0.1:/a/b_c-d.bin", sz), 0);
    EXPECT_STREQ(sz, "10.0.0.1:/a/b_c-d.bin");
    ASSERT_EQ(ShellQuote("user@host%2B+x,y=z", sz), 0);
    EXPECT_STREQ(sz, "user@host%2B+x,y=z");
    ASSERT_EQ(ShellQuote("it's", sz), 0);
    EXPECT_STREQ(sz, "'it'\\''s'");
    char szSmall[6];
    EXPECT_EQ(ShellQuote("a b c", szSmall), -1);  // needs 7 bytes quoted
    EXPECT_STREQ(szSmall, "");
    EXPECT_EQ(ShellQuote("abcdef", szSmall), -1);
}

TEST(ShellQuote, HostileValuesReachTheCommandLiterally)
{
    const std::string strDir = ScratchDir("quote");
    const char *apszHostile[] = {"x;touch pwned", "$(touch pwned)", "`touch pwned`", "a b\tc", "p;reboot",
                                 "'; touch pwned; '", "x\ntouch pwned", "*", "~root", "a|touch pwned&", "\"$HOME\""};
    for (const char *pszValue : apszHostile) {
        char szQuoted[256];
        ASSERT_EQ(ShellQuote(pszValue, szQuoted), 0);
        char szCmd[512];
        snprintf(szCmd, sizeof(szCmd), "cd '%s' && printf %%s %s > out", strDir.c_str(), szQuoted);
        EXPECT_EQ(UpdateSystem(szCmd), 0) << pszValue;
        EXPECT_EQ(ReadAll(strDir + "/out"), pszValue);
        EXPECT_NE(access((strDir + "/pwned").c_str(), F_OK), 0) << pszValue;
    }
}

TEST(UpdateSystem, StatusDecoding)
{
    EXPECT_EQ(UpdateSystem("true"), 0);
    EXPECT_EQ(UpdateSystem("exit 3"), 3);
    EXPECT_EQ(UpdateSystem("exit 255"), 255);
    EXPECT_EQ(UpdateSystem("kill -9 $$"), -1);
    EXPECT_EQ(UpdateSystem("/nonexistent/program 2>/dev/null"), 127);
}

TEST(UpdateExecCmd, LimitsAndResults)
{
    LogCapture stLog;
    testing::internal::CaptureStdout();
    EXPECT_EQ(UpdateExecCmd(std::string(512, 'a').c_str()), -1);
    std::string strWords = "/bin/true";
    for (int i = 1; i < 31; ++i) {
        strWords += " w" + std::to_string(i);
    }
    EXPECT_EQ(UpdateExecCmd(strWords.c_str()), -1);  // 31 words
    EXPECT_EQ(UpdateExecCmd(("/bin/echo " + std::string(64, 'x')).c_str()), -1);
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(strOut, "Invalid argument: cmd len 512\n"
                      "Invalid argument: arg num 30 arg len 3\n"
                      "Invalid argument: arg num 1 arg len 64\n");
    // The same messages went to the log, each with its prefix.
    std::string strLog = stLog.Text();
    EXPECT_NE(strLog.find("]Invalid argument: arg num 30 arg len 3\n"), std::string::npos);

    // 30 words, and words of 63 characters, are still fine.
    std::string strMax = "/bin/true";
    for (int i = 1; i < 30; ++i) {
        strMax += " y";
    }
    EXPECT_EQ(UpdateExecCmd(strMax.c_str()), 0);
    EXPECT_EQ(UpdateExecCmd(("/bin/true " + std::string(63, 'y') + " " + std::string(63, 'z')).c_str()), 0);
    EXPECT_EQ(UpdateExecCmd("/bin/false"), 1);
    EXPECT_EQ(UpdateExecCmd("/bin/sh -c exit\t7"), 0);  // no shell: "exit" alone is what sh -c gets
    EXPECT_EQ(UpdateExecCmd("/bin/sh\t-c  \t'exit\t9'"), 2);  // quotes stay literal: sh sees "'exit"

    testing::internal::CaptureStdout();
    EXPECT_EQ(UpdateExecCmd("/nonexistent/tool -x"), 1);
    EXPECT_EQ(UpdateExecCmd("   \t "), 1);
    EXPECT_EQ(UpdateExecCmd(""), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to exe cmd No such file or directory\n"
              "Failed to exe cmd No such file or directory\n"
              "Failed to exe cmd No such file or directory\n");
    EXPECT_NE(stLog.Text().find("]Failed to exe cmd No such file or directory\n"), std::string::npos);

    testing::internal::CaptureStdout();
    char *apszArgv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
                        const_cast<char *>("kill -TERM $$"), nullptr};
    EXPECT_EQ(UpdateExecArgv(apszArgv), -1);
    std::string strKilled = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_search(strKilled, std::regex("^[0-9]+ killed by signal 15\n$"))) << strKilled;
}

TEST(UpdateLog, LineFormat)
{
    {
        // While the log is closed, UpdateLog is silent and UpdateLogPrint prints only.
        testing::internal::CaptureStdout();
        UPDATE_LOG("lost\n");
        UPDATE_LOG_PRINT("shown %d\n", 7);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "shown 7\n");
    }
    LogCapture stLog;
    UPDATE_LOG("Runing %s count is: %d\n", "update", 2);
    UPDATE_LOG("fgets psResult file failed");
    UPDATE_LOG("next\n");
    std::string strLog = stLog.Text();
    std::regex re(
        "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\[update_exec_test\\.cpp [0-9]+\\]Runing update count is: 2\n"
        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\[update_exec_test\\.cpp [0-9]+\\]fgets psResult file failed"
        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\[update_exec_test\\.cpp [0-9]+\\]next\n$");
    EXPECT_TRUE(std::regex_match(strLog, re)) << strLog;
}

namespace {
// Feeds bytes to ReadRawLine through a pipe on standard input.
std::string ReadAnswer(const std::string &strTyped, int *plRet, std::string *pstrEcho)
{
    int aiPipe[2];
    EXPECT_EQ(pipe(aiPipe), 0);
    EXPECT_EQ(write(aiPipe[1], strTyped.data(), strTyped.size()), static_cast<ssize_t>(strTyped.size()));
    close(aiPipe[1]);
    int lSavedIn = dup(STDIN_FILENO);
    dup2(aiPipe[0], STDIN_FILENO);
    close(aiPipe[0]);
    testing::internal::CaptureStdout();
    *plRet = ReadRawLine();
    *pstrEcho = testing::internal::GetCapturedStdout();
    dup2(lSavedIn, STDIN_FILENO);
    close(lSavedIn);
    return g_szAnswer;
}
} // namespace

TEST(ReadRawLine, EditingKeys)
{
    int lRet = 0;
    std::string strEcho;
    EXPECT_EQ(ReadAnswer("yes\r", &lRet, &strEcho), "yes");
    EXPECT_EQ(lRet, 0);
    EXPECT_EQ(strEcho, "yes");
    EXPECT_EQ(ReadAnswer("\x1b[A\r", &lRet, &strEcho), "");
    EXPECT_EQ(strEcho, "");
    EXPECT_EQ(ReadAnswer("ab\b\bx\b\by\r", &lRet, &strEcho), "y");
    EXPECT_EQ(strEcho, "ab\b \b\b \bx\b \by");
    // '[' is never stored; a cursor letter only after Escape '['; other bytes dropped.
    EXPECT_EQ(ReadAnswer("[A\x1b" "B[C\x7f\x01\xc3y\r", &lRet, &strEcho), "ABy");
    // Escape, a printable key, then '[' still makes the next A-D a cursor key.
    EXPECT_EQ(ReadAnswer("\x1bx[Dn\r", &lRet, &strEcho), "xn");
    // Input that ends before the carriage return is a refusal.
    EXPECT_EQ(ReadAnswer("yes", &lRet, &strEcho), "yes");
    EXPECT_EQ(lRet, -1);
    // The answer never grows past its buffer.
    std::string strLong(2000, 'k');
    EXPECT_EQ(ReadAnswer(strLong + "\r", &lRet, &strEcho).size(), ANSWER_BUF_LEN - 1);
    EXPECT_EQ(strEcho.size(), ANSWER_BUF_LEN - 1);
}

namespace {
// Runs ConfirmUpdate on a pseudo-terminal, types the answer after the prompt
// and returns its result (0 yes, 1 no, -2 hung) with what the terminal showed.
int ConfirmOnPty(const std::string &strTyped, std::string *pstrScreen)
{
    int lMaster = -1;
    pid_t pid = forkpty(&lMaster, nullptr, nullptr, nullptr);
    if (pid == 0) {
        _exit(ConfirmUpdate() == 0 ? 0 : 1);
    }
    EXPECT_GT(pid, 0);
    std::string strScreen;
    bool bTyped = false;
    int lStatus = 0;
    bool bDone = false;
    for (int lTries = 0; lTries < 500 && !bDone; ++lTries) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(lMaster, &set);
        timeval tv{0, 20000};
        if (select(lMaster + 1, &set, nullptr, nullptr, &tv) > 0) {
            char sz[256];
            ssize_t n = read(lMaster, sz, sizeof(sz));
            if (n <= 0) {
                // The slave side is gone: the child is exiting, wait for it.
                bDone = waitpid(pid, &lStatus, 0) == pid;
                break;
            }
            strScreen.append(sz, static_cast<size_t>(n));
        }
        termios stTerm{};
        // The master reports the slave's settings: type only once the child is in raw mode,
        // since switching flushes pending input.
        if (!bTyped && strScreen.find("please confirm (y/n):") != std::string::npos &&
            tcgetattr(lMaster, &stTerm) == 0 && (stTerm.c_lflag & ICANON) == 0) {
            EXPECT_EQ(write(lMaster, strTyped.data(), strTyped.size()), static_cast<ssize_t>(strTyped.size()));
            bTyped = true;
        }
        bDone = waitpid(pid, &lStatus, WNOHANG) == pid;
    }
    if (!bDone) {
        kill(pid, SIGKILL);
        waitpid(pid, &lStatus, 0);
    }
    close(lMaster);
    *pstrScreen = strScreen;
    return bDone && WIFEXITED(lStatus) ? WEXITSTATUS(lStatus) : -2;
}
} // namespace

TEST(ConfirmUpdate, AnswersOnATerminal)
{
    std::string strScreen;
    EXPECT_EQ(ConfirmOnPty("y\r", &strScreen), 0);
    // The terminal adds its own carriage return before each line end.
    // The terminal adds its own carriage return before each line end. The echo of
    // the answer may be lost when the child exits first; the pipe test covers it.
    EXPECT_EQ(strScreen.rfind("\r\r\nplease make sure the device will not be powered off or rebooted while updating!"
                              "\r\r\nplease confirm (y/n):", 0), 0u) << strScreen;
    EXPECT_EQ(ConfirmOnPty("yes\r", &strScreen), 0);
    EXPECT_EQ(ConfirmOnPty("Y\r", &strScreen), 1);
    EXPECT_EQ(ConfirmOnPty("yes \r", &strScreen), 1);
    EXPECT_EQ(ConfirmOnPty("\r", &strScreen), 1);
    EXPECT_EQ(ConfirmOnPty("\x1b[Ay\r", &strScreen), 0);
    EXPECT_EQ(ConfirmOnPty("n\by\r", &strScreen), 0);
    EXPECT_EQ(ConfirmOnPty("no\r", &strScreen), 1);
}

TEST(ConfirmUpdate, RefusesWithoutATerminal)
{
    // No terminal and no input: both attribute changes fail, the answer is a refusal.
    int aiPipe[2];
    ASSERT_EQ(pipe(aiPipe), 0);
    close(aiPipe[1]);
    int lSavedIn = dup(STDIN_FILENO);
    dup2(aiPipe[0], STDIN_FILENO);
    close(aiPipe[0]);
    LogCapture stLog;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConfirmUpdate(), -1);
    testing::internal::GetCapturedStdout();
    dup2(lSavedIn, STDIN_FILENO);
    close(lSavedIn);
    std::string strLog = stLog.Text();
    EXPECT_NE(strLog.find("]Set Attributes First Failed!\n"), std::string::npos);
    EXPECT_NE(strLog.find("]Set Attributes Second Failed!\n"), std::string::npos);
}

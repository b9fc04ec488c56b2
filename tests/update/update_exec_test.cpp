// Commands without a shell, quoting for the shell, the log line, and the
// answers read from a terminal.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <regex>

#include "support/sandbox_run.h"
#include "update/update_device.h"
#include "update/update_exec.h"

namespace {
// fn's result and output with standard input reading the given bytes (then end of file).
Result WithStdin(const std::string &strInput, int (*fn)())
{
    int aiPipe[2];
    EXPECT_EQ(pipe(aiPipe), 0);
    EXPECT_EQ(write(aiPipe[1], strInput.data(), strInput.size()), static_cast<ssize_t>(strInput.size()));
    close(aiPipe[1]);
    int lSavedIn = dup(STDIN_FILENO);
    dup2(aiPipe[0], STDIN_FILENO);
    close(aiPipe[0]);
    Result res = Printed(fn);
    dup2(lSavedIn, STDIN_FILENO);
    close(lSavedIn);
    return res;
}

// Runs ConfirmUpdate on a pseudo-terminal, types once the child is in raw mode
// (switching flushes pending input) and returns 0 yes, 1 no, -2 hung.
int ConfirmOnPty(const std::string &strTyped, std::string *pstrScreen)
{
    int lMaster = -1;
    pid_t pid = forkpty(&lMaster, nullptr, nullptr, nullptr);
    if (pid == 0) {
        _exit(ConfirmUpdate() == 0 ? 0 : 1);
    }
    pstrScreen->clear();
    bool bTyped = false, bEnded = false;
    for (int lTries = 0; lTries < 500 && !bEnded; ++lTries) {
        pollfd stPoll{lMaster, POLLIN, 0};
        char sz[256];
        ssize_t n = poll(&stPoll, 1, 20) > 0 ? read(lMaster, sz, sizeof(sz)) : 1;
        bEnded = n <= 0;  // the child has let go of the terminal
        pstrScreen->append(sz, stPoll.revents != 0 && n > 0 ? static_cast<size_t>(n) : 0);
        termios stTerm{};
        if (!bTyped && pstrScreen->find("please confirm (y/n):") != std::string::npos &&
            tcgetattr(lMaster, &stTerm) == 0 && (stTerm.c_lflag & ICANON) == 0) {
            bTyped = write(lMaster, strTyped.data(), strTyped.size()) == static_cast<ssize_t>(strTyped.size());
        }
    }
    if (!bEnded) {
        kill(pid, SIGKILL);
    }
    int lStatus = 0;
    waitpid(pid, &lStatus, 0);
    close(lMaster);
    return bEnded && WIFEXITED(lStatus) ? WEXITSTATUS(lStatus) : -2;
}
} // namespace

TEST(ShellQuote, OrdinaryValuesStayAndHostileOnesReachTheCommandLiterally)
{
    char sz[64];
    ASSERT_EQ(ShellQuote("10.0.0.1:/a/b_c-d.bin@x%2B+y,z=w", sz), 0);
    EXPECT_STREQ(sz, "10.0.0.1:/a/b_c-d.bin@x%2B+y,z=w");
    char szSmall[6];
    EXPECT_EQ(ShellQuote("a b c", szSmall), -1);  // needs 7 bytes quoted
    EXPECT_STREQ(szSmall, "");

    const std::string strDir = TestDir();
    for (const char *pszValue : {"x;touch pwned", "$(touch pwned)", "`touch pwned`", "a b\tc", "it's",
                                 "'; touch pwned; '", "x\ntouch pwned", "*", "a|touch pwned&", "\"$HOME\""}) {
        char szQuoted[256];
        ASSERT_EQ(ShellQuote(pszValue, szQuoted), 0);
        char szCmd[512];
        snprintf(szCmd, sizeof(szCmd), "cd '%s' && printf %%s %s > out", strDir.c_str(), szQuoted);
        EXPECT_EQ(UpdateSystem(szCmd), 0) << pszValue;
        EXPECT_EQ(ReadFile(strDir + "/out"), pszValue);
        EXPECT_NE(access((strDir + "/pwned").c_str(), F_OK), 0) << pszValue;
    }
    // The shell's own status, and -1 for a shell that was killed.
    EXPECT_EQ(UpdateSystem("exit 3"), 3);
    EXPECT_EQ(UpdateSystem("kill -9 $$"), -1);
}

TEST(UpdateExecCmd, LimitsResultsAndMessages)
{
    LogCapture stLog(TestDir());
    const std::string strWords30 = "/bin/true" + std::regex_replace(std::string(29, 'y'), std::regex("y"), " y");
    testing::internal::CaptureStdout();
    EXPECT_EQ(UpdateExecCmd(std::string(512, 'a').c_str()), -1);
    EXPECT_EQ(UpdateExecCmd((strWords30 + " w30").c_str()), -1);
    EXPECT_EQ(UpdateExecCmd(("/bin/echo " + std::string(64, 'x')).c_str()), -1);
    EXPECT_EQ(UpdateExecCmd("/nonexistent/tool -x"), 1);
    EXPECT_EQ(UpdateExecCmd("   \t "), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid argument: cmd len 512\n"
                                                      "Invalid argument: arg num 30 arg len 3\n"
                                                      "Invalid argument: arg num 1 arg len 64\n"
                                                      "Failed to exe cmd No such file or directory\n"
                                                      "Failed to exe cmd No such file or directory\n");
    EXPECT_NE(stLog.Text().find("]Failed to exe cmd No such file or directory\n"), std::string::npos);

    EXPECT_EQ(UpdateExecCmd(strWords30.c_str()), 0);
    EXPECT_EQ(UpdateExecCmd(("/bin/true " + std::string(63, 'y')).c_str()), 0);
    EXPECT_EQ(UpdateExecCmd("/bin/false"), 1);
    EXPECT_EQ(UpdateExecCmd("/bin/sh -c exit\t7"), 0);  // no shell: sh -c gets "exit" alone
    EXPECT_EQ(UpdateExecCmd("/bin/sh\t-c  \t'exit\t9'"), 2);  // quotes stay literal: sh sees "'exit"

    std::vector<std::string> vecKill = {"/bin/sh", "-c", "kill -TERM $$"};
    auto [lKilled, strKilled] = Printed([&] { return UpdateExecArgv(Argv(vecKill).data()); });
    EXPECT_EQ(lKilled, -1);
    EXPECT_TRUE(std::regex_match(strKilled, std::regex("[0-9]+ killed by signal 15\n"))) << strKilled;
}

TEST(UpdateLog, LineFormat)
{
    // While the log is closed, UpdateLog is silent and UpdateLogPrint prints only.
    testing::internal::CaptureStdout();
    UPDATE_LOG("lost\n");
    UPDATE_LOG_PRINT("shown %d\n", 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "shown 7\n");

    LogCapture stLog(TestDir());
    UPDATE_LOG("Runing %s count is: %d\n", "update", 2);
    UPDATE_LOG("fgets psResult file failed");
    UPDATE_LOG("next\n");
    const std::string strHead = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\[update_exec_test\\.cpp [0-9]+\\]";
    std::regex re(strHead + "Runing update count is: 2\n" + strHead + "fgets psResult file failed" + strHead + "next\n");
    EXPECT_TRUE(std::regex_match(stLog.Text(), re)) << stLog.Text();
}

TEST(ReadRawLine, EditingKeys)
{
    const std::tuple<std::string, std::string, std::string, int> astCases[] = {
        // typed, answer, echo, result
        {"yes\r", "yes", "yes", 0},
        {"\x1b[A\r", "", "", 0},
        {"ab\b\bx\b\by\r", "y", "ab\b \b\b \bx\b \by", 0},
        // '[' is never stored; a cursor letter only after Escape '['; other bytes dropped.
        {"[A\x1b" "B[C\x7f\x01\xc3y\r", "ABy", "ABy", 0},
        // A printable key between Escape and '[' does not clear the escape mark.
        {"\x1bx[Dn\r", "xn", "xn", 0},
        {"yes", "yes", "yes", -1},  // input ended before the carriage return
        {std::string(2000, 'k') + "\r", std::string(ANSWER_BUF_LEN - 1, 'k'), std::string(ANSWER_BUF_LEN - 1, 'k'), 0},
    };
    for (const auto &[strTyped, strAnswer, strEcho, lRet] : astCases) {
        EXPECT_EQ(WithStdin(strTyped, ReadRawLine), Result(lRet, strEcho));
        EXPECT_EQ(std::string(g_szAnswer), strAnswer);
    }
}

TEST(ConfirmUpdate, AnswersOnATerminal)
{
    std::string strScreen;
    EXPECT_EQ(ConfirmOnPty("y\r", &strScreen), 0);
    // The terminal adds its own carriage return before each line end.
    EXPECT_EQ(strScreen.rfind("\r\r\nplease make sure the device will not be powered off or rebooted while updating!"
                              "\r\r\nplease confirm (y/n):", 0), 0u) << strScreen;
    const std::pair<const char *, int> astAnswers[] = {
        {"yes\r", 0}, {"Y\r", 1}, {"yes \r", 1}, {"\r", 1}, {"\x1b[Ay\r", 0}, {"no\r", 1}};
    for (const auto &[pszTyped, lExpect] : astAnswers) {
        EXPECT_EQ(ConfirmOnPty(pszTyped, &strScreen), lExpect) << pszTyped;
    }

    // Without a terminal both attribute changes fail and only get logged; no input is a refusal.
    LogCapture stLog(TestDir());
    EXPECT_EQ(WithStdin("", ConfirmUpdate).first, -1);
    EXPECT_NE(stLog.Text().find("]Set Attributes First Failed!\n"), std::string::npos);
    EXPECT_NE(stLog.Text().find("]Set Attributes Second Failed!\n"), std::string::npos);
}

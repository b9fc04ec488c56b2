// TFTP, FTP and local retrieval with the device's busybox clients against
// real servers on loopback.
#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

#include "fetch/retrieve.h"
#include "fetch_sandbox.h"
#include "include/update_types.h"

namespace {
constexpr const char *PACKAGE = "/tmp/Program.bin";

struct HEAD_BUFS_S {
    std::vector<char> head = std::vector<char>(PACKET_HEAD_LEN, 0);
    std::vector<char> compat = std::vector<char>(PACKET_COMPAT_LEN, 0);
};

class Retrieve : public testing::Test {
protected:
    void SetUp() override { ResetFetchState(); }
    void TearDown() override
    {
        m_server.Stop();
        ResetFetchState();
    }

    void StartTftp(const std::string &dir)
    {
        ASSERT_TRUE(m_server.Start({"/usr/sbin/in.tftpd", "--foreground", "--listen", "--address", "127.0.0.1:69",
                                    "--user", "root", "--secure", dir},
                                   dir + ".log"));
        ASSERT_TRUE(WaitUdpPort(69));
    }
    void StartFtp(const std::string &dir, const std::string &user, const std::string &password, int lFailures)
    {
        ASSERT_TRUE(m_server.Start({TEST_PYTHON, TestScript("ftp_server.py"), "--port", "21", "--dir", dir, "--user",
                                    user, "--password", password, "--record", dir + ".record", "--fail-retr",
                                    std::to_string(lFailures)},
                                   dir + ".log"));
        ASSERT_TRUE(WaitTcpPort(21));
    }
    int GetVersion(uint16_t usType, const char *pszUser, const char *pszPassword, const char *pszRemote)
    {
        return GetVersionInfo(usType, "127.0.0.1", pszUser, pszPassword, pszRemote, "", m_bufs.head, m_bufs.compat);
    }

    Server m_server;
    HEAD_BUFS_S m_bufs;
};

TEST_F(Retrieve, TftpFetchesPackageAndReadsHead)
{
    std::string dir = ServerDir("tftp");
    std::string package = MakePackage(100000);
    WriteFile(dir + "/fw/Program.bin", package);
    ASSERT_NO_FATAL_FAILURE(StartTftp(dir));

    testing::internal::CaptureStdout();
    ASSERT_EQ(GetVersion(TRANS_TYPE_TFTP2, "admin", "qzvrk", "fw/Program.bin"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "loading Program.bin....\ndone!\n");
    EXPECT_EQ(ReadFile(PACKAGE), package);
    EXPECT_EQ(std::string(m_bufs.head.data(), PACKET_HEAD_LEN), package.substr(0, PACKET_HEAD_LEN));
    EXPECT_EQ(std::string(m_bufs.compat.data(), PACKET_COMPAT_LEN),
              package.substr(PACKET_HEAD_LEN, PACKET_COMPAT_LEN));
    std::vector<std::vector<std::string>> calls = ToolCalls("tftp");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string> {"-g", "-r", "fw/Program.bin", "-l", PACKAGE, "127.0.0.1", "-b",
                                                   "8192"}));
}

TEST_F(Retrieve, TftpFailingThreeTimesGivesUp)
{
    // The server answers every request with an error: the package is not there.
    ASSERT_NO_FATAL_FAILURE(StartTftp(ServerDir("tftp-empty")));
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetVersion(TRANS_TYPE_TFTP, "", "", "Program.bin"), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "loading Program.bin....\nload bin file failed! please try again!\n"
                   "Get remote bin file failed.\n");
    EXPECT_EQ(ToolCalls("tftp").size(), 3u);
    // Each attempt's complaint lands in the update log.
    std::string log = ReadFile("/var/log/update.log");
    EXPECT_NE(log.find("tftp: server error"), std::string::npos) << log;
}

TEST_F(Retrieve, FtpSucceedsOnSecondAttempt)
{
    std::string dir = ServerDir("ftp");
    std::string package = MakePackage(70000);
    WriteFile(dir + "/Program.bin", package);
    ASSERT_NO_FATAL_FAILURE(StartFtp(dir, "admin", "qzvrk", 1));

    testing::internal::CaptureStdout();
    ASSERT_EQ(GetRemoteBinFile(TRANS_TYPE_FTP, "127.0.0.1", "admin", "qzvrk", "Program.bin", ""), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "loading Program.bin....\ndone!\n");
    EXPECT_EQ(ReadFile(PACKAGE), package);
    std::vector<std::vector<std::string>> calls = ToolCalls("ftpget");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], (std::vector<std::string> {"-u", "admin", "-p", "qzvrk", "127.0.0.1", PACKAGE,
                                                   "Program.bin"}));
}

TEST_F(Retrieve, FtpCredentialsAndPathReachServerVerbatim)
{
    std::string dir = ServerDir("ftp-hostile");
    std::string package = MakePackage(3000);
    const std::string user = "u$(id)";
    const std::string password = "p;reboot;touch /tmp/pwned `id` 'x";
    const std::string remote = "my dir/it's $(reboot)Program.bin";
    WriteFile(dir + "/" + remote, package);
    ASSERT_NO_FATAL_FAILURE(StartFtp(dir, user, password, 0));

    ASSERT_EQ(GetRemoteBinFile(TRANS_TYPE_FTP, "127.0.0.1", user.c_str(), password.c_str(), remote.c_str(), ""), 0);
    EXPECT_EQ(ReadFile(PACKAGE), package);
    std::string record = ReadFile(dir + ".record");
    EXPECT_NE(record.find("USER " + user + "\nPASS " + password + "\n"), std::string::npos) << record;
    EXPECT_FALSE(Exists("/tmp/pwned"));
    EXPECT_FALSE(Exists(SandboxDir() + "/journal/reboot"));
    std::vector<std::vector<std::string>> calls = ToolCalls("ftpget");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string> {"-u", user, "-p", password, "127.0.0.1", PACKAGE, remote}));
}

TEST_F(Retrieve, LocalPackages)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetVersion(TRANS_TYPE_LOCAL, "", "", "/program/none/Program.bin"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Get version failed (error No such file or directory)\n");
    EXPECT_EQ(ToolCalls("tftp").size() + ToolCalls("ftpget").size(), 0u);

    // Shorter than the head: what there is, and an untouched list.
    std::string shortPackage = "HEAD" + MakePackage(96);
    std::string path = ServerDir("local") + "/Program.bin";
    WriteFile(path, shortPackage);
    ASSERT_EQ(GetVersion(TRANS_TYPE_LOCAL, "", "", path.c_str()), 0);
    EXPECT_EQ(std::string(m_bufs.head.data(), shortPackage.size()), shortPackage);
    EXPECT_EQ(m_bufs.head[shortPackage.size()], '\0');
    EXPECT_EQ(std::count(m_bufs.compat.begin(), m_bufs.compat.end(), '\0'),
              static_cast<long>(PACKET_COMPAT_LEN));
    EXPECT_FALSE(Exists(PACKAGE));
}

TEST_F(Retrieve, ExistingPackageShortCircuitsCloudDownload)
{
    std::string package = MakePackage(5000);
    WriteFile(PACKAGE, package);
    // Nothing listens on this port: any request would fail the call.
    ASSERT_EQ(GetVersionInfo(TRANS_TYPE_CLOUD, "", "", "", PACKAGE, "http://127.0.0.1:1/Program.bin", m_bufs.head,
                             m_bufs.compat),
              0);
    EXPECT_EQ(std::string(m_bufs.head.data(), PACKET_HEAD_LEN), package.substr(0, PACKET_HEAD_LEN));
    EXPECT_FALSE(Exists("/tmp/download_stat.log"));
    EXPECT_EQ(ReadFile(PACKAGE), package);
}
} // namespace

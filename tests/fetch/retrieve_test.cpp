// TFTP, FTP, local and cloud retrieval with the device's clients against real
// servers on loopback: tftpd, an FTP server, lighttpd and our stalling server.
#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "fetch/http_download.h"
#include "fetch/retrieve.h"
#include "fetch_sandbox.h"
#include "include/update_types.h"

namespace {
struct HEAD_S {
    std::vector<char> head = std::vector<char>(PACKET_HEAD_LEN, 0);
    std::vector<char> compat = std::vector<char>(PACKET_COMPAT_LEN, 0);
    int Get(uint16_t usType, const char *pszRemote, const char *pszUrl = "")
    {
        return GetVersionInfo(usType, "127.0.0.1", "admin", "qzvrk", pszRemote, pszUrl, head, compat);
    }
    std::string Head() const { return std::string(head.data(), PACKET_HEAD_LEN); }
};

bool StartTftp(Server &server, const std::string &dir)
{
    return server.Start({"/usr/sbin/in.tftpd", "--foreground", "--listen", "--address", "127.0.0.1:69", "--user",
                         "root", "--secure", dir},
                        dir + ".log", "udp", 69);
}

// The server records every USER and PASS it is offered in dir.record.
bool StartFtp(Server &server, const std::string &dir, const std::string &user, const std::string &password,
              int lFailures)
{
    return server.Start({"ftp_server.py", "--port", "21", "--dir", dir, "--user", user, "--password", password,
                         "--record", dir + ".record", "--fail-retr", std::to_string(lFailures)},
                        dir + ".log", "tcp", 21);
}

TEST(Retrieve, TftpFetchesPackageAndReadsHead)
{
    std::string dir = ServerDir("tftp");
    std::string package = MakePackage(100000);
    WriteFile(dir + "/fw/Program.bin", package);
    Server server;
    ASSERT_TRUE(StartTftp(server, dir));
    HEAD_S bufs;
    EXPECT_EQ(Stdout([&] { EXPECT_EQ(bufs.Get(TRANS_TYPE_TFTP2, "fw/Program.bin"), 0); }),
              "loading Program.bin....\ndone!\n");
    EXPECT_EQ(ReadFile(PACKAGE), package);
    EXPECT_EQ(bufs.Head(), package.substr(0, PACKET_HEAD_LEN));
    EXPECT_EQ(std::string(bufs.compat.data(), PACKET_COMPAT_LEN), package.substr(PACKET_HEAD_LEN, PACKET_COMPAT_LEN));
    EXPECT_EQ(ToolCalls("tftp"), (std::vector<std::vector<std::string>> {
                                     {"-g", "-r", "fw/Program.bin", "-l", PACKAGE, "127.0.0.1", "-b", "8192"}}));
}

TEST(Retrieve, TftpFailingThreeTimesGivesUp)
{
    // The server answers every request with an error: the package is not there.
    Server server;
    ASSERT_TRUE(StartTftp(server, ServerDir("tftp-empty")));
    HEAD_S bufs;
    EXPECT_EQ(Stdout([&] { EXPECT_EQ(bufs.Get(TRANS_TYPE_TFTP, "Program.bin"), -1); }),
              "loading Program.bin....\nload bin file failed! please try again!\nGet remote bin file failed.\n");
    EXPECT_EQ(ToolCalls("tftp").size(), 3u);
    // Each attempt's complaint lands in the update log.
    EXPECT_NE(ReadFile("/var/log/update.log").find("tftp: server error"), std::string::npos);
}

TEST(Retrieve, FtpWithRetryAndHostileTextReachesTheServerVerbatim)
{
    const struct {
        std::string user, password, remote;
        int lFailures;
    } cases[] = {{"admin", "qzvrk", "Program.bin", 1},
                 {"u$(id)", "p;reboot;touch /tmp/pwned `id` 'x", "my dir/it's $(reboot)Program.bin", 0}};
    for (const auto &c : cases) {
        ResetFetchState();
        std::string dir = ServerDir("ftp");
        std::string package = MakePackage(70000);
        WriteFile(dir + "/" + c.remote, package);
        Server server;
        ASSERT_TRUE(StartFtp(server, dir, c.user, c.password, c.lFailures));
        EXPECT_EQ(Stdout([&] {
                      EXPECT_EQ(GetRemoteBinFile(TRANS_TYPE_FTP, "127.0.0.1", c.user.c_str(), c.password.c_str(),
                                                 c.remote.c_str(), ""),
                                0);
                  }),
                  "loading Program.bin....\ndone!\n");
        EXPECT_EQ(ReadFile(PACKAGE), package);
        std::vector<std::string> call {"-u", c.user, "-p", c.password, "127.0.0.1", PACKAGE, c.remote};
        EXPECT_EQ(ToolCalls("ftpget"), std::vector<std::vector<std::string>>(1 + c.lFailures, call));
        EXPECT_NE(ReadFile(dir + ".record").find("USER " + c.user + "\nPASS " + c.password + "\n"), std::string::npos);
        EXPECT_FALSE(Exists("/tmp/pwned"));
        EXPECT_FALSE(Exists(SandboxDir() + "/journal/reboot"));
    }
}

TEST(Retrieve, LocalPackages)
{
    HEAD_S bufs;
    EXPECT_EQ(Stdout([&] { EXPECT_EQ(bufs.Get(TRANS_TYPE_LOCAL, "/program/none/Program.bin"), -1); }),
              "Get version failed (error No such file or directory)\n");
    EXPECT_EQ(ToolCalls("tftp").size() + ToolCalls("ftpget").size(), 0u);

    // Shorter than the head: what there is, and an untouched list.
    std::string shortPackage = "HEAD" + MakePackage(96);
    std::string path = ServerDir("local") + "/Program.bin";
    WriteFile(path, shortPackage);
    ASSERT_EQ(bufs.Get(TRANS_TYPE_LOCAL, path.c_str()), 0);
    EXPECT_EQ(bufs.Head(), shortPackage + std::string(PACKET_HEAD_LEN - shortPackage.size(), '\0'));
    EXPECT_EQ(std::count(bufs.compat.begin(), bufs.compat.end(), '\0'), static_cast<long>(PACKET_COMPAT_LEN));
    EXPECT_FALSE(Exists(PACKAGE));
}

TEST(Retrieve, ExistingPackageShortCircuitsCloudDownload)
{
    std::string package = MakePackage(5000);
    WriteFile(PACKAGE, package);
    HEAD_S bufs;
    // Nothing listens on this port: any request would fail the call.
    ASSERT_EQ(bufs.Get(TRANS_TYPE_CLOUD, PACKAGE, "http://127.0.0.1:1/Program.bin"), 0);
    EXPECT_EQ(bufs.Head(), package.substr(0, PACKET_HEAD_LEN));
    EXPECT_FALSE(Exists(STAT));
    EXPECT_EQ(ReadFile(PACKAGE), package);
}

// Serves dir on port 80 (with redirect chains /hopN/ of N hops) and on port
// 8081 through stall_server.py, which records each request in dir.requests.
struct HttpServers {
    std::string dir = ServerDir("www");
    std::string package = MakePackage(2 * 1024 * 1024 + 17);
    Server lighttpd, ours;
    HttpServers()
    {
        WriteFile(dir + "/Program.bin", package);
        WriteFile(dir + "/Half.bin", MakePackage(16384));
        WriteFile(dir + ".conf", "server.document-root = \"" + dir + "\"\nserver.port = 80\n"
                                 "server.bind = \"127.0.0.1\"\nserver.errorlog = \"" + dir + ".err\"\n"
                                 "server.upload-dirs = ( \"" + dir + "\" )\nserver.modules += ( \"mod_redirect\" )\n"
                                 "url.redirect = ( \"^/hop1/(.*)$\" => \"/$1\", \"^/hop2/(.*)$\" => \"/hop1/$1\",\n"
                                 "  \"^/hop3/(.*)$\" => \"/hop2/$1\", \"^/hop4/(.*)$\" => \"/hop3/$1\" )\n");
        EXPECT_TRUE(lighttpd.Start({"/usr/sbin/lighttpd", "-D", "-f", dir + ".conf"}, dir + ".log", "tcp", 80));
        EXPECT_TRUE(ours.Start({"stall_server.py", "--port", "8081", "--dir", dir, "--record", dir + ".requests"},
                               dir + ".ours.log", "tcp", 8081));
    }
    std::string Requests() const { return ReadFile(dir + ".requests"); }
};

// A failed download leaves neither package nor status file, and 101.
void ExpectFailedDownloadCleared()
{
    EXPECT_FALSE(Exists(PACKAGE));
    EXPECT_FALSE(Exists(STAT));
    EXPECT_EQ(ReadFile(RATE), "101");
    EXPECT_EQ(WatchNow().lErr, -1);
}

TEST(Http, DownloadPublishesHalfTheRateAndMergesLaterProgress)
{
    HttpServers servers;
    // While the transfer runs the rate file shows half the download
    // percentage, never more than 50.
    std::atomic<bool> bStop {false};
    std::set<int> seen;
    std::thread sampler([&] {
        while (!bStop) {
            std::string rate = ReadFile(RATE);
            if (!rate.empty()) {
                seen.insert(std::stoi(rate));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    int lRet = CloudDownload("http://127.0.0.1:80/hop3/Program.bin");
    bStop = true;
    sampler.join();
    ASSERT_EQ(lRet, 0);
    EXPECT_TRUE(ReadFile(PACKAGE) == servers.package);
    EXPECT_EQ(ReadFile(STAT), "Stat:0,DownladRate:100");
    EXPECT_EQ(ReadFile(RATE), "50");
    ASSERT_FALSE(seen.empty());
    EXPECT_LE(*seen.rbegin(), 50);
    EXPECT_EQ(WatchNow().lErr, 0);
    // Installation progress after the download fills the second half.
    SetUpdateRate(60);
    EXPECT_EQ(ReadFile(RATE), "80");
    EXPECT_EQ(WatchNow().ulProgress, 80u);
}

TEST(Http, FailedDownloadsAreCleared)
{
    HttpServers servers;
    const struct {
        const char *pszUrl;
        int lWant;
        std::vector<std::string> out;
    } cases[] = {
        {"http://127.0.0.1:80/missing.bin", 2,
         {"Http breakpoint transmission fails. err is 0/404\n", "Download failed err is[2]\n",
          "File too small, maybe no file on website."}},
        {"http://127.0.0.1:80/hop4/Program.bin", 4,
         {"Fail to call curl_easy_perform, err:47", "Download failed err is[4]\n"}},
        {"http://127.0.0.1:8081/chunked/Program.bin", 2, {}},  // no Content-Length
        // Refused: one attempt, the result passed up through the retrieval.
        {"http://127.0.0.1:8082/Program.bin", 4,
         {"Http breakpoint transmission fails. err is 7/0\n",
          "Fail to call curl_easy_perform, err:7download version failed.Get remote bin file failed.\n"
          "Get remote bin file failed.\n"}},
    };
    for (const auto &c : cases) {
        ResetFetchState();
        HEAD_S bufs;
        std::string out = Stdout([&] { EXPECT_EQ(bufs.Get(TRANS_TYPE_CLOUD, PACKAGE, c.pszUrl), c.lWant); });
        for (const std::string &piece : c.out) {
            EXPECT_NE(out.find(piece), std::string::npos) << c.pszUrl << ": " << out;
        }
        ExpectFailedDownloadCleared();
    }
}

TEST(HttpStall, AfterHalfResumesFromStoredBytes)
{
    HttpServers servers;
    std::string out = Stdout([] { EXPECT_EQ(CloudDownload("http://127.0.0.1:8081/stall-half/Half.bin"), 0); });
    EXPECT_NE(out.find("err is 28/200\n"), std::string::npos) << out;
    EXPECT_NE(out.find("err is 0/206\n"), std::string::npos) << out;
    // The whole file is 16 KiB, the resumed part only 8 KiB: still complete.
    EXPECT_TRUE(ReadFile(PACKAGE) == MakePackage(16384));
    EXPECT_EQ(servers.Requests(), "/stall-half/Half.bin range=-\n/stall-half/Half.bin range=bytes=8192-\n");
    EXPECT_EQ(ReadFile(STAT), "Stat:0,DownladRate:100");
    EXPECT_EQ(WatchNow().lErr, 0);
}

TEST(HttpStall, BeforeFirstByteFails)
{
    HttpServers servers;
    std::string out = Stdout([] { EXPECT_EQ(CloudDownload("http://127.0.0.1:8081/stall-start/Half.bin"), 4); });
    EXPECT_NE(out.find("Fail to call curl_easy_perform, err:28"), std::string::npos) << out;
    EXPECT_EQ(servers.Requests(), "/stall-start/Half.bin range=-\n");
    ExpectFailedDownloadCleared();
}
} // namespace

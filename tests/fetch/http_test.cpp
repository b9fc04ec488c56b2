// Cloud download against lighttpd and our own misbehaving HTTP server.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <set>
#include <thread>

#include "fetch/fetch_progress.h"
#include "fetch/http_download.h"
#include "fetch/retrieve.h"
#include "fetch_sandbox.h"
#include "include/update_types.h"

namespace {
using namespace std::chrono_literals;

constexpr const char *PACKAGE = "/tmp/Program.bin";
constexpr const char *RATE = "/tmp/update_rate.log";
constexpr const char *STAT = "/tmp/download_stat.log";
constexpr const char *LIGHTTPD = "http://127.0.0.1:80";
constexpr const char *OURS = "http://127.0.0.1:8081";

WATCH_STATE_S WatchNow()
{
    pthread_mutex_lock(&g_stWatchMutex);
    WATCH_STATE_S st = g_stWatchState;
    pthread_mutex_unlock(&g_stWatchMutex);
    return st;
}

class HttpBase : public testing::Test {
protected:
    void SetUp() override
    {
        ResetFetchState();
        m_dir = ServerDir("www");
        m_package = MakePackage(2 * 1024 * 1024 + 17);
        WriteFile(m_dir + "/Program.bin", m_package);
        WriteFile(m_dir + "/Half.bin", MakePackage(16384));
    }
    void TearDown() override
    {
        m_lighttpd.Stop();
        m_ours.Stop();
        ResetFetchState();
    }
    void StartLighttpd()
    {
        std::string conf = m_dir + ".conf";
        WriteFile(conf, "server.document-root = \"" + m_dir + "\"\n"
                        "server.port = 80\n"
                        "server.bind = \"127.0.0.1\"\n"
                        "server.errorlog = \"" + m_dir + ".lighttpd.err\"\n"
                        "server.upload-dirs = ( \"" + m_dir + "\" )\n"
                        "server.modules += ( \"mod_redirect\" )\n"
                        "url.redirect = ( \"^/hop1/(.*)$\" => \"/$1\", \"^/hop2/(.*)$\" => \"/hop1/$1\",\n"
                        "  \"^/hop3/(.*)$\" => \"/hop2/$1\", \"^/hop4/(.*)$\" => \"/hop3/$1\" )\n");
        ASSERT_TRUE(m_lighttpd.Start({"/usr/sbin/lighttpd", "-D", "-f", conf}, m_dir + ".lighttpd.log"));
        ASSERT_TRUE(WaitTcpPort(80));
    }
    void StartOurs()
    {
        ASSERT_TRUE(m_ours.Start({TEST_PYTHON, TestScript("stall_server.py"), "--port", "8081", "--dir", m_dir,
                                  "--record", Record()},
                                 m_dir + ".ours.log"));
        ASSERT_TRUE(WaitTcpPort(8081));
    }
    std::string Record() const { return m_dir + ".requests"; }
    // A failed download leaves neither package nor status file, and 101.
    static void ExpectFailedDownloadCleared()
    {
        EXPECT_FALSE(Exists(PACKAGE));
        EXPECT_FALSE(Exists(STAT));
        EXPECT_EQ(ReadFile(RATE), "101");
        EXPECT_EQ(WatchNow().lErr, -1);
    }

    std::string m_dir;
    std::string m_package;
    Server m_lighttpd;
    Server m_ours;
};

class Http : public HttpBase {};
class HttpStall : public HttpBase {};

TEST_F(Http, DownloadPublishesHalfTheRateAndMergesLaterProgress)
{
    ASSERT_NO_FATAL_FAILURE(StartLighttpd());
    // Sample the rate file while the transfer runs: during the download it
    // shows half the download percentage, never more than 50.
    std::atomic<bool> bStop {false};
    std::set<int> seen;
    std::thread sampler([&] {
        while (!bStop) {
            std::string rate = ReadFile(RATE);
            if (!rate.empty()) {
                seen.insert(std::stoi(rate));
            }
            std::this_thread::sleep_for(2ms);
        }
    });
    int lRet = CloudDownload((std::string(LIGHTTPD) + "/hop3/Program.bin").c_str());
    bStop = true;
    sampler.join();
    ASSERT_EQ(lRet, 0);
    EXPECT_TRUE(ReadFile(PACKAGE) == m_package);
    EXPECT_EQ(ReadFile(STAT), "Stat:0,DownladRate:100");
    EXPECT_EQ(ReadFile(RATE), "50");
    ASSERT_FALSE(seen.empty());
    EXPECT_LE(*seen.rbegin(), 50);
    EXPECT_EQ(WatchNow().lErr, 0);

    // Installation progress after the download fills the second half.
    SetUpdateRate(60);
    EXPECT_EQ(ReadFile(RATE), "80");
    EXPECT_EQ(WatchNow().ulProgress, 80u);

    // A second cloud request finds the package and does not download again.
    m_lighttpd.Stop();
    EXPECT_EQ(CloudDownload("http://127.0.0.1:80/Program.bin"), 0);
    EXPECT_EQ(ReadFile(STAT), "Stat:0,DownladRate:100");
}

TEST_F(Http, NotFoundPageIsTooSmall)
{
    ASSERT_NO_FATAL_FAILURE(StartLighttpd());
    testing::internal::CaptureStdout();
    EXPECT_EQ(CloudDownload((std::string(LIGHTTPD) + "/missing.bin").c_str()), 2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Http breakpoint transmission fails. err is 0/404\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Download failed err is[2]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("File too small, maybe no file on website."), std::string::npos) << out;
    ExpectFailedDownloadCleared();
}

TEST_F(Http, FourthRedirectFails)
{
    ASSERT_NO_FATAL_FAILURE(StartLighttpd());
    testing::internal::CaptureStdout();
    EXPECT_EQ(CloudDownload((std::string(LIGHTTPD) + "/hop4/Program.bin").c_str()), 4);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Fail to call curl_easy_perform, err:47"), std::string::npos) << out;
    EXPECT_NE(out.find("Download failed err is[4]\n"), std::string::npos) << out;
    ExpectFailedDownloadCleared();
}

TEST_F(Http, ConnectionRefusedThroughRetrieval)
{
    // Nothing listens: one attempt, result 4 passed up through the retrieval.
    testing::internal::CaptureStdout();
    std::vector<char> head(PACKET_HEAD_LEN, 0);
    std::vector<char> compat(PACKET_COMPAT_LEN, 0);
    EXPECT_EQ(GetVersionInfo(TRANS_TYPE_CLOUD, "", "", "", PACKAGE, "http://127.0.0.1:8082/Program.bin", head, compat),
              4);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Http breakpoint transmission fails. err is 7/0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Fail to call curl_easy_perform, err:7download version failed.Get remote bin file failed.\n"
                       "Get remote bin file failed.\n"),
              std::string::npos)
        << out;
    ExpectFailedDownloadCleared();
}

TEST_F(Http, NoContentLengthIsTooSmall)
{
    ASSERT_NO_FATAL_FAILURE(StartOurs());
    EXPECT_EQ(CloudDownload((std::string(OURS) + "/chunked/Program.bin").c_str()), 2);
    ExpectFailedDownloadCleared();
}

TEST_F(HttpStall, AfterHalfResumesFromStoredBytes)
{
    ASSERT_NO_FATAL_FAILURE(StartOurs());
    testing::internal::CaptureStdout();
    EXPECT_EQ(CloudDownload((std::string(OURS) + "/stall-half/Half.bin").c_str()), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("err is 28/200\n"), std::string::npos) << out;
    EXPECT_NE(out.find("err is 0/206\n"), std::string::npos) << out;
    // The whole file is 16 KiB, the resumed part only 8 KiB: still complete.
    EXPECT_TRUE(ReadFile(PACKAGE) == MakePackage(16384));
    EXPECT_EQ(ReadFile(Record()), "/stall-half/Half.bin range=-\n/stall-half/Half.bin range=bytes=8192-\n");
    EXPECT_EQ(ReadFile(STAT), "Stat:0,DownladRate:100");
    EXPECT_EQ(WatchNow().lErr, 0);
}

TEST_F(HttpStall, BeforeFirstByteFails)
{
    ASSERT_NO_FATAL_FAILURE(StartOurs());
    testing::internal::CaptureStdout();
    EXPECT_EQ(CloudDownload((std::string(OURS) + "/stall-start/Half.bin").c_str()), 4);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Fail to call curl_easy_perform, err:28"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(Record()), "/stall-start/Half.bin range=-\n");
    ExpectFailedDownloadCleared();
}
} // namespace

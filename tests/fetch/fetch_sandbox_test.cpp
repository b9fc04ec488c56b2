// Rate and status files, their merge, the watch loop, and retrieval with the
// device's clients against real servers on loopback (tftpd, an FTP server,
// lighttpd and our stalling server). These write the device's fixed /tmp
// paths, so they run only inside the host sandbox (run_sandboxed.sh).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "fetch/fetch_progress.h"
#include "fetch/http_download.h"
#include "fetch/retrieve.h"
#include "include/text_util.h"
#include "include/update_types.h"
#include "support/sandbox_run.h"
#include "update/update_log.h"

namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char *PACKAGE = "/tmp/Program.bin";
constexpr const char *RATE = "/tmp/update_rate.log";
constexpr const char *STAT = "/tmp/download_stat.log";

// The sandbox folder, at the same path inside and outside.
std::string SandboxDir()
{
    const char *pszDir = getenv("SANDBOX_DIR");
    return pszDir == nullptr ? "" : pszDir;
}

// An emptied folder for one test's server files.
std::string ServerDir(const std::string &name)
{
    std::string dir = SandboxDir() + "/srv/" + name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

bool Exists(const std::string &path)
{
    return fs::exists(fs::symlink_status(path));
}

// Deterministic bytes that differ at every offset of a 256-byte window.
std::string MakePackage(size_t ulSize)
{
    std::string data(ulSize, '\0');
    for (size_t i = 0; i < ulSize; ++i) {
        data[i] = static_cast<char>((i * 7 + i / 251 + 1) & 0xff);
    }
    return data;
}

// Clears the in-process records, the files a run leaves in /tmp and the journal.
void ResetFetchState()
{
    pthread_mutex_lock(&g_stWatchMutex);
    g_stDownloadStat = DOWNLOAD_STAT_S {};
    g_stWatchState = WATCH_STATE_S {};
    pthread_mutex_unlock(&g_stWatchMutex);
    for (const char *pszPath : {PACKAGE, RATE, STAT, "/tmp/pwned"}) {
        fs::remove_all(pszPath);
    }
    for (const fs::directory_entry &entry : fs::directory_iterator(SandboxDir() + "/journal")) {
        fs::remove_all(entry.path());
    }
}

WATCH_STATE_S WatchNow()
{
    pthread_mutex_lock(&g_stWatchMutex);
    WATCH_STATE_S st = g_stWatchState;
    pthread_mutex_unlock(&g_stWatchMutex);
    return st;
}

// Each call of a wrapped device tool: its argument vector.
std::vector<std::vector<std::string>> ToolCalls(const std::string &tool)
{
    std::vector<std::vector<std::string>> calls(1);
    std::ifstream in(SandboxDir() + "/journal/" + tool + ".argv");
    for (std::string line; std::getline(in, line);) {
        if (line == "--") {
            calls.emplace_back();
        } else {
            calls.back().push_back(line);
        }
    }
    calls.pop_back();
    return calls;
}

template <class F>
std::string Stdout(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// A server process, killed when the test is done with it.
struct Server {
    pid_t pid = -1;
    ~Server()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Starts argv (a script of tests/fetch when it ends in ".py") with output
    // to log; true once it listens on port ("tcp" or "udp") of 127.0.0.1.
    bool Start(std::vector<std::string> argv, const std::string &log, const std::string &proto, int port)
    {
        if (argv[0].ends_with(".py")) {
            argv.insert(argv.begin(), "/usr/bin/python3");
            argv[1] = std::string(UPDATE_SOURCE_DIR) + "/tests/fetch/" + argv[1];
        }
        std::vector<char *> args;
        for (std::string &arg : argv) {
            args.push_back(arg.data());
        }
        args.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            int lLog = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(lLog, 1);
            dup2(lLog, 2);
            dup2(open("/dev/null", O_RDONLY), 0);
            execv(args[0], args.data());
            _exit(127);
        }
        // The local port, and for TCP the listening state (0A) with no peer.
        char szEntry[48];
        snprintf(szEntry, sizeof(szEntry), proto == "tcp" ? ":%04X 00000000:0000 0A " : ":%04X ", port);
        for (int i = 0; pid > 0 && i < 200; ++i, std::this_thread::sleep_for(50ms)) {
            if (ReadFile("/proc/self/net/" + proto).find(szEntry) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

void MarkCloud()
{
    CopyText(g_stDownloadStat.szUrl, "http://127.0.0.1/Program.bin");
}

TEST(Progress, PlainUpdateWritesValueAndIgnoresStatusFile)
{
    // A failure record must not matter while no URL marks a cloud update.
    WriteFile(STAT, "Stat:4,DownladRate:0");
    EXPECT_EQ(SetUpdateRate(60), 0);
    EXPECT_EQ(ReadFile(RATE), "60");
    EXPECT_EQ(WatchNow().ulProgress, 60u);
    EXPECT_EQ(WatchNow().lErr, 0);
    EXPECT_EQ(ReadFile(STAT), "Stat:4,DownladRate:0");
    // A shorter value replaces a longer one entirely.
    EXPECT_EQ(SetUpdateRate(5), 0);
    EXPECT_EQ(ReadFile(RATE), "5");
    struct stat st {};
    ASSERT_EQ(stat(RATE, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(Progress, CloudUpdateMergesWithDownloadPercentageOrFails)
{
    const struct {
        const char *pszStat;  // nullptr: no status file
        uint32_t ulRate;
        uint32_t ulMerged;    // 101: failed, package and status file removed
        const char *pszOut;
    } cases[] = {
        {"Stat:0,DownladRate:100", 60, 80, ""}, {"Stat:0,DownladRate:100", 99, 99, ""},
        {"Stat:0,DownladRate:100", 100, 100, ""},
        {"Stat:1,DownladRate:0", 21, 10, ""},  // mean rounded down; status 1 (prepared) is healthy too
        {"garbage", 50, 25, ""},               // no record: status 0 and percentage 0
        {nullptr, 20, 101, "Download failed err is[4]\n"},
        {"Stat:2,DownladRate:100", 0, 101, "Download failed err is[2]\n"},
    };
    for (const auto &c : cases) {
        ResetFetchState();
        MarkCloud();
        WriteFile(PACKAGE, "partial");
        if (c.pszStat != nullptr) {
            WriteFile(STAT, c.pszStat);
        }
        const std::string what = std::string(c.pszStat ? c.pszStat : "none") + " " + std::to_string(c.ulRate);
        EXPECT_EQ(Stdout([&] { SetUpdateRate(c.ulRate); }), c.pszOut) << what;
        EXPECT_EQ(ReadFile(RATE), std::to_string(c.ulMerged)) << what;
        const bool bFailed = c.ulMerged == 101;
        EXPECT_EQ(WatchNow().lErr, bFailed ? -1 : 0) << what;
        EXPECT_EQ(WatchNow().ulProgress, bFailed ? 0 : c.ulMerged) << what;
        EXPECT_EQ(Exists(PACKAGE), !bFailed) << what;
        EXPECT_EQ(Exists(STAT), !bFailed) << what;
    }
}

TEST(Progress, ValuesAbove100AndFailuresAreNeverMerged)
{
    MarkCloud();  // and no status file: a merge would fail the update
    SetUpdateRate(150);
    EXPECT_EQ(ReadFile(RATE), "150");
    EXPECT_EQ(WatchNow().lErr, 0);
    SetUpdateRate(UPDATE_RATE_FAILED);
    EXPECT_EQ(ReadFile(RATE), "101");
    EXPECT_EQ(WatchNow().lErr, -1);
    EXPECT_EQ(WatchNow().ulProgress, 150u);

    // A specific failure code is kept; 0 becomes -1.
    for (auto [lCode, lWant] : {std::pair {4, 4}, std::pair {0, -1}}) {
        ResetFetchState();
        SetUpdateRate(40);
        SetUpdateFailed(lCode);
        EXPECT_EQ(ReadFile(RATE), "101");
        EXPECT_EQ(WatchNow().lErr, lWant);
    }
    EXPECT_EQ(WatchNow().ulProgress, 0u);
    EXPECT_EQ(WatchNow().ulFinish, 0u);
    // A later error replaces an earlier one; a zero error leaves it.
    SetWatchState(-4, 0, 0);
    SetWatchState(0, 70, 1);
    EXPECT_EQ(WatchNow().lErr, -4);
    EXPECT_EQ(WatchNow().ulProgress, 70u);
    EXPECT_EQ(WatchNow().ulFinish, 1u);
}

TEST(Progress, InitAndWriteStatusRecords)
{
    WriteFile(STAT, "Stat:0,DownladRate:100 and an older tail");
    g_stDownloadStat.dTotalSize = 5;
    g_stDownloadStat.dNowSize = 3;
    g_stDownloadStat.ulRate = 60;
    MarkCloud();
    CopyText(g_stDownloadStat.szLocalFile, PACKAGE);
    ASSERT_EQ(InitDownloadStat(&g_stDownloadStat), 0);
    EXPECT_EQ(ReadFile(STAT), "Stat:1,DownladRate:0");
    EXPECT_EQ(g_stDownloadStat.ulStat, DOWNLOAD_STAT_BEGIN);
    EXPECT_EQ(g_stDownloadStat.ulRate + g_stDownloadStat.dTotalSize + g_stDownloadStat.dNowSize, 0.0);
    EXPECT_STREQ(g_stDownloadStat.szUrl, "");
    EXPECT_STREQ(g_stDownloadStat.szLocalFile, "");
    EXPECT_FALSE(Exists(RATE));  // no rate publishing at init
    EXPECT_EQ(Stdout([] { EXPECT_EQ(InitDownloadStat(nullptr), -1); }), "Invalid param.");

    // Every write republishes the merged rate; a falling percentage (a
    // resumed transfer counts its part anew) must not keep the older
    // record's last digit.
    MarkCloud();
    g_stDownloadStat.ulStat = DOWNLOAD_STAT_OK;
    for (auto [ulRate, pszStat, pszRate] : {std::tuple {37u, "Stat:0,DownladRate:37", "18"},
                                            std::tuple {5u, "Stat:0,DownladRate:5", "2"}}) {
        g_stDownloadStat.ulRate = ulRate;
        ASSERT_EQ(WriteDownloadStat(), 0);
        EXPECT_EQ(ReadFile(STAT), pszStat);
        EXPECT_EQ(ReadFile(RATE), pszRate);
    }
    EXPECT_EQ(WatchNow().lErr, 0);
}

TEST(Progress, UnopenableFilesAreReported)
{
    ASSERT_EQ(mkdir(STAT, 0755), 0);
    EXPECT_EQ(Stdout([] {
                  EXPECT_EQ(InitDownloadStat(&g_stDownloadStat), -1);
                  EXPECT_EQ(WriteDownloadStat(), -1);
              }),
              "failed to openfailed to open");
    EXPECT_FALSE(Exists(RATE));
    // The rate file cannot be written, yet the watch state moves on.
    ASSERT_EQ(mkdir(RATE, 0755), 0);
    EXPECT_EQ(SetUpdateRate(30), 0);
    EXPECT_EQ(WatchNow().ulProgress, 30u);
    EXPECT_NE(ReadFile("/var/log/update.log").find("failed to open /tmp/update_rate.log fd -1 \n"), std::string::npos);
}

TEST(Watch, ErrorEndsWatchWithItsCode)
{
    SetUpdateFailed(4);
    EXPECT_EQ(Stdout([] { EXPECT_EQ(WatchUpdateLimit(3), 4); }), "Begin to start watch!\nerr:4!\n");
}

// The finish flag and progress above 99 end every -check and every update
// on the board; what is left here are the idle count's rules.
TEST(Watch, IdlePollsWithoutARiseStall)
{
    struct CASE_S {
        const char *pszWhat;
        std::vector<std::pair<uint32_t, int>> steps;  // a rate to publish, then a pause in ms
        bool bFinish;                                 // SetWatchState(0, last rate, 1) at the end
        unsigned ulLimit;
        int lWant;
        std::atomic<bool> bDone {false};
    } cases[] = {
        {"stuck progress", {{40, 0}}, false, 2, UPDATE_ERR_STALLED},
        // Five idle polls in all, one between rises: a limit of 2 holds only
        // if each rise clears the count.
        {"every rise restarts the idle count",
         {{10, 2000}, {20, 2000}, {30, 2000}, {40, 2000}, {50, 2000}, {60, 2000}}, true, 2, 0},
        {"falling progress is no rise",
         {{50, 1200}, {1, 700}, {2, 700}, {3, 700}, {4, 700}, {5, 700}, {6, 700}}, false, 2, UPDATE_ERR_STALLED},
    };
    ASSERT_EQ(InitWatchMutex(), 0);
    for (CASE_S &c : cases) {
        ResetFetchState();
        ASSERT_EQ(CreateDetachedThread(
                      [](void *pArg) -> void * {
                          auto *pstCase = static_cast<CASE_S *>(pArg);
                          for (auto [ulRate, lSleepMs] : pstCase->steps) {
                              SetUpdateRate(ulRate);
                              std::this_thread::sleep_for(std::chrono::milliseconds(lSleepMs));
                          }
                          if (pstCase->bFinish) {
                              SetWatchState(0, pstCase->steps.back().first, 1);
                          }
                          pstCase->bDone = true;
                          return nullptr;
                      },
                      &c),
                  0);
        EXPECT_EQ(WatchUpdateLimit(c.ulLimit), c.lWant) << c.pszWhat;
        // The detached worker must be gone before the state is cleared.
        while (!c.bDone) {
            std::this_thread::sleep_for(10ms);
        }
    }
}

struct HEAD_S {
    std::vector<char> head = std::vector<char>(PACKET_HEAD_LEN, 0);
    std::vector<char> compat = std::vector<char>(PACKET_COMPAT_LEN, 0);
    int Get(uint16_t usType, const char *pszRemote, const char *pszUrl = "")
    {
        return GetVersionInfo(usType, "127.0.0.1", "admin", "qzvrk", pszRemote, pszUrl, head, compat);
    }
    std::string Head() const { return std::string(head.data(), PACKET_HEAD_LEN); }
};

TEST(Retrieve, TftpFailingThreeTimesGivesUp)
{
    // The server answers every request with an error: the package is not there.
    const std::string dir = ServerDir("tftp-empty");
    Server server;
    ASSERT_TRUE(server.Start({"/usr/sbin/in.tftpd", "--foreground", "--listen", "--address", "127.0.0.1:69",
                              "--user", "root", "--secure", dir}, dir + ".log", "udp", 69));
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
        // The server records every USER and PASS it is offered in dir.record.
        Server server;
        ASSERT_TRUE(server.Start({"ftp_server.py", "21", dir, c.user, c.password, dir + ".record",
                                  std::to_string(c.lFailures)}, dir + ".log", "tcp", 21));
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
        EXPECT_TRUE(ours.Start({"stall_server.py", "8081", dir, dir + ".requests"}, dir + ".ours.log", "tcp", 8081));
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

TEST(Http, DownloadPublishesHalfTheRate)
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
            std::this_thread::sleep_for(2ms);
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

struct ResetAroundEachTest : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { ResetFetchState(); }
    void OnTestEnd(const testing::TestInfo &) override { ResetFetchState(); }
};
} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // These tests write the device's fixed paths: refuse anything but the
    // sandbox whose folder is bound on /tmp.
    std::error_code ec;
    if (SandboxDir().empty() || !fs::equivalent("/tmp", SandboxDir() + "/tmp", ec)) {
        fprintf(stderr, "fetch_sandbox_test: run through tests/fetch/run_sandboxed.sh only\n");
        return 2;
    }
    if (UpdateLogOpen() != 0) {
        fprintf(stderr, "cannot open the update log\n");
        return 2;
    }
    testing::UnitTest::GetInstance()->listeners().Append(new ResetAroundEachTest);
    return RUN_ALL_TESTS();
}

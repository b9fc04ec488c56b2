// Rate and status files, their merge, the watch loop, and retrieval with the
// device's clients against real servers on loopback (tftpd, an FTP server and
// our HTTP server). These write the device's fixed /tmp paths, so they run
// only inside the host sandbox (run_sandboxed.sh).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <regex>
#include <set>
#include <filesystem>
#include <thread>

#include "applets/seccomp_rule.h"
#include "fetch/fetch_progress.h"
#include "fetch/http_download.h"
#include "fetch/retrieve.h"
#include "include/text_util.h"
#include "include/update_types.h"
#include "support/sandbox_run.h"

namespace {
namespace fs = std::filesystem;

constexpr const char *PACKAGE = "/tmp/Program.bin";
constexpr const char *RATE = "/tmp/update_rate.log";
constexpr const char *STAT = "/tmp/download_stat.log";
constexpr const char *URL = "http://127.0.0.1/Program.bin";
// The sandbox folder, at the same path inside and outside.
const std::string SANDBOX = getenv("SANDBOX_DIR") != nullptr ? getenv("SANDBOX_DIR") : "";
const std::string SRV = SANDBOX + "/srv/", JOURNAL = SANDBOX + "/journal";
const std::string PYTHON = "/usr/bin/python3", HERE = UPDATE_SOURCE_DIR "/tests/fetch/";

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
// Like WatchNow, only called while no other thread of the updater runs.
void ResetFetchState()
{
    g_stDownloadStat = DOWNLOAD_STAT_S {};
    g_stWatchState = WATCH_STATE_S {};
    for (const char *path : {PACKAGE, RATE, STAT, "/tmp/pwned", JOURNAL.c_str()}) {
        fs::remove_all(path);
    }
    fs::create_directory(JOURNAL);
}

// The watch state as "error progress finish".
std::string WatchNow()
{
    const WATCH_STATE_S &st = g_stWatchState;
    return std::to_string(st.lErr) + " " + std::to_string(st.ulProgress) + " " + std::to_string(st.ulFinish);
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
    // Starts argv with output to log; true once it listens on port ("tcp" or
    // "udp") of 127.0.0.1.
    bool Start(std::vector<std::string> argv, const std::string &log, const std::string &proto, int port)
    {
        std::vector<char *> args = Argv(argv);
        pid = fork();
        if (pid == 0) {
            int lLog = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(lLog, 1);
            dup2(lLog, 2);
            execv(args[0], args.data());
            _exit(127);
        }
        // The local port, and for TCP the listening state (0A) with no peer.
        char szEntry[48];
        snprintf(szEntry, sizeof(szEntry), proto == "tcp" ? ":%04X 00000000:0000 0A " : ":%04X ", port);
        for (int i = 0; pid > 0 && i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
            if (ReadFile("/proc/self/net/" + proto).find(szEntry) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

// Plain updates ignore the status file; a cloud update (a URL is set) merges
// the download percentage or fails. A shorter value replaces a longer one.
TEST(Progress, MergeRules)
{
    const struct {
        const char *pszUrl, *pszStat;  // pszStat nullptr: no status file
        uint32_t ulRate;
        uint32_t ulMerged;             // 101: failed
        const char *pszOut;            // not empty: package and status file removed
    } cases[] = {
        {"", "Stat:4,DownladRate:0", 60, 60, ""},
        {URL, "Stat:0,DownladRate:100", 60, 80, ""}, {URL, "Stat:0,DownladRate:100", 99, 99, ""},
        {URL, "Stat:0,DownladRate:100", 100, 100, ""},
        {URL, "Stat:1,DownladRate:0", 21, 10, ""},  // mean rounded down; status 1 (prepared) is healthy too
        {URL, "garbage", 50, 25, ""},               // no record: status 0 and percentage 0
        // Values above 100 and the failure value are never merged.
        {URL, nullptr, 150, 150, ""}, {URL, nullptr, UPDATE_RATE_FAILED, 101, ""},
        {URL, nullptr, 20, 101, "Download failed err is[4]\n"},
        {URL, "Stat:2,DownladRate:100", 0, 101, "Download failed err is[2]\n"},
    };
    for (const auto &c : cases) {
        ResetFetchState();
        CopyText(g_stDownloadStat.szUrl, c.pszUrl);
        WriteFile(PACKAGE, "partial");
        WriteFile(RATE, "1000");
        if (c.pszStat != nullptr) {
            WriteFile(STAT, c.pszStat);
        }
        const std::string what = std::string(c.pszStat ? c.pszStat : "none") + " " + std::to_string(c.ulRate);
        EXPECT_EQ(Printed([&] { return SetUpdateRate(c.ulRate); }).second, c.pszOut) << what;
        EXPECT_EQ(ReadFile(RATE), std::to_string(c.ulMerged)) << what;
        EXPECT_EQ(WatchNow(), c.ulMerged == 101 ? "-1 0 0" : "0 " + std::to_string(c.ulMerged) + " 0") << what;
        const bool bRemoved = *c.pszOut != '\0';
        EXPECT_EQ(fs::exists(PACKAGE), !bRemoved) << what;
        EXPECT_EQ(ReadFile(STAT), bRemoved || c.pszStat == nullptr ? "" : c.pszStat) << what;
    }

    // A specific failure code is kept, 0 becomes -1, a later error replaces
    // an earlier one, and a zero error leaves it.
    for (auto [lCode, pszWant] : {std::pair {4, "4 70 1"}, std::pair {0, "-1 70 1"}}) {
        SetUpdateFailed(lCode);
        SetWatchState(0, 70, 1);
        EXPECT_EQ(WatchNow(), pszWant);
        EXPECT_EQ(ReadFile(RATE), "101");
    }
}

TEST(Progress, StatusRecords)
{
    WriteFile(STAT, "Stat:0,DownladRate:100 and an older tail");
    g_stDownloadStat = {5, 3, 60, DOWNLOAD_STAT_OK, "http://127.0.0.1/Program.bin", "/tmp/Program.bin"};
    ASSERT_EQ(InitDownloadStat(&g_stDownloadStat), 0);
    EXPECT_EQ(ReadFile(STAT), "Stat:1,DownladRate:0");
    EXPECT_EQ(g_stDownloadStat.ulStat, DOWNLOAD_STAT_BEGIN);
    EXPECT_EQ(g_stDownloadStat.ulRate + g_stDownloadStat.dTotalSize + g_stDownloadStat.dNowSize, 0.0);
    EXPECT_EQ(std::string(g_stDownloadStat.szUrl) + g_stDownloadStat.szLocalFile, "");
    EXPECT_FALSE(fs::exists(RATE));  // no rate publishing at init
    EXPECT_EQ(Printed([] { return InitDownloadStat(nullptr); }), Result(-1, "Invalid param."));

    // Files that cannot be opened are reported; the watch state moves on.
    ResetFetchState();
    ASSERT_EQ(mkdir(STAT, 0755), 0);
    ASSERT_EQ(mkdir(RATE, 0755), 0);
    EXPECT_EQ(Printed([] { return InitDownloadStat(&g_stDownloadStat); }), Result(-1, "failed to open"));
    EXPECT_EQ(Printed(WriteDownloadStat), Result(-1, "failed to open"));
    EXPECT_EQ(SetUpdateRate(30), 0);
    EXPECT_EQ(WatchNow(), "0 30 0");
    EXPECT_NE(ReadFile("/var/log/update.log").find("failed to open /tmp/update_rate.log fd -1 \n"), std::string::npos);
}

// Readers see whole records only (a falling percentage keeps no digit of the
// older record), never an empty file; a link planted at the path is replaced,
// not written through; the watch never sees a general -1 before the specific
// code; a status record that cannot be locked is not written.
TEST(Progress, WholeRecordsRealCodesAndLocking)
{
    WriteFile(SANDBOX + "/victim", "precious");
    fs::create_symlink(SANDBOX + "/victim", RATE);
    ASSERT_EQ(InitDownloadStat(&g_stDownloadStat) + SetUpdateRate(0), 0);
    std::atomic<bool> bDone {false}, bGeneral {false};
    std::set<std::string> seen;
    std::thread reader([&] {
        for (unsigned i = 0; !bDone; ++i, pthread_mutex_unlock(&g_stWatchMutex)) {
            seen.insert(i % 64 == 0 ? ReadFile(RATE) + "|" + ReadFile(STAT) : "0|Stat:1,DownladRate:0");
            pthread_mutex_lock(&g_stWatchMutex);
            bGeneral = bGeneral || g_stWatchState.lErr == -1;
        }
    });
    for (uint32_t i = 0; i < 1000; ++i) {
        g_stDownloadStat.ulRate = i % 2 ? 7 : 100;
        EXPECT_EQ(i % 3 == 0 ? WriteDownloadStat() : 0, 0);  // republishes progress 0
        SetUpdateFailed(-3);
    }
    bDone = true;
    reader.join();
    for (const std::string &strSeen : seen) {
        EXPECT_TRUE(std::regex_match(strSeen, std::regex("(0|101)\\|Stat:1,DownladRate:(0|7|100)"))) << strSeen;
    }
    EXPECT_FALSE(bGeneral);
    EXPECT_EQ(ReadFile(SANDBOX + "/victim"), "precious");
    EXPECT_EQ(fs::status(RATE).permissions(), fs::perms(0644));  // not executable
    const sock_filter stNoLock = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOLCK);
    int lRet = 9;
    testing::internal::CaptureStdout();
    std::thread([&] { lRet = FilterSyscall(SYS_flock, {stNoLock}) ? WriteDownloadStat() : 9; }).join();
    EXPECT_EQ(Result(lRet, testing::internal::GetCapturedStdout()), Result(-1, "failed to lock"));
    EXPECT_EQ(ReadFile(STAT), "Stat:1,DownladRate:7");
    // nothing left beside the files
    EXPECT_EQ(std::count_if(fs::directory_iterator("/tmp"), {},
                            [](auto &e) { return e.path().string().find(".log.") != std::string::npos; }), 0);
}

// The finish flag and progress above 99 end every -check and every update on
// the board, and a worker that never rises stalls in the session test; what is
// left here are the rules of the idle count, and an error.
TEST(Watch, IdleCountAndError)
{
    // Rates (the first before the watch, then one per pause, then the finish flag), pause, result.
    const std::tuple<std::vector<uint32_t>, int, int> cases[] = {
        // One or two idle polls between rises, five rises: a limit of 2 holds
        // only if each rise clears the count.
        {{10, 20, 30, 40, 50, 60}, 2000, 0},
        // Falling progress is no rise: the limit is passed before the finish flag.
        {{50, 1, 2, 3, 4, 5, 6}, 1000, UPDATE_ERR_STALLED},
    };
    for (const auto &[rates, lPauseMs, lWant] : cases) {
        ResetFetchState();
        SetUpdateRate(rates[0]);
        std::thread worker([&rates, lPauseMs] {
            for (size_t i = 1; i <= rates.size(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(lPauseMs));
                i < rates.size() ? SetUpdateRate(rates[i]) : SetWatchState(0, rates.back(), 1);
            }
        });
        EXPECT_EQ(WatchUpdateLimit(2), lWant) << rates[1];
        worker.join();
    }
    SetUpdateFailed(4);
    EXPECT_EQ(Printed([] { return WatchUpdateLimit(3); }), Result(4, "Begin to start watch!\nerr:4!\n"));
}

struct HEAD_S {
    std::vector<char> head = std::vector<char>(PACKET_HEAD_LEN, 0);
    std::vector<char> compat = std::vector<char>(PACKET_COMPAT_LEN, 0);
    int Get(uint16_t usType, const char *pszRemote, const char *pszUrl = "")
    {
        return GetVersionInfo(usType, "127.0.0.1", "admin", "qzvrk", pszRemote, pszUrl, head, compat);
    }
};

// Serves SRV/www on port 8081 through stall_server.py, which records each
// request in SRV/www.requests.
struct HttpServer : Server {
    const std::string dir = SRV + "www";
    HttpServer()
    {
        WriteFile(dir + "/Half.bin", MakePackage(16384));
        EXPECT_TRUE(Start({PYTHON, HERE + "stall_server.py", "8081", dir, dir + ".requests"}, dir + ".log", "tcp", 8081));
    }
};

// A failed download leaves neither package nor status file, and 101. The
// stall before the first byte takes the full 30 s of silence.
TEST(Http, FailedDownloadsAreCleared)
{
    HttpServer server;
    const std::tuple<const char *, int, std::vector<std::string>> cases[] = {  // URL, result, pieces of the output
        {"http://127.0.0.1:8081/missing.bin", 2,
         {"Http breakpoint transmission fails. err is 0/404\n", "Download failed err is[2]\n",
          "File too small, maybe no file on website."}},
        // Four redirects, one more than allowed.
        {"http://127.0.0.1:8081/hop4/Half.bin", 4,
         {"Fail to call curl_easy_perform, err:47", "Download failed err is[4]\n"}},
        {"http://127.0.0.1:8081/chunked/Half.bin", 2, {}},  // no Content-Length
        // Nothing received before the stall: no second attempt.
        {"http://127.0.0.1:8081/stall-start/Half.bin", 4, {"Fail to call curl_easy_perform, err:28"}},
        // Refused: one attempt, the result passed up through the retrieval.
        {"http://127.0.0.1:8082/Program.bin", 4,
         {"Http breakpoint transmission fails. err is 7/0\n",
          "Fail to call curl_easy_perform, err:7download version failed.Get remote bin file failed.\n"
          "Get remote bin file failed.\n"}},
    };
    for (const auto &[pszUrl, lWant, pieces] : cases) {
        ResetFetchState();
        auto [lGot, out] = Printed([&] { return HEAD_S().Get(TRANS_TYPE_CLOUD, PACKAGE, pszUrl); });
        EXPECT_EQ(lGot, lWant) << pszUrl;
        for (const std::string &piece : pieces) {
            EXPECT_NE(out.find(piece), std::string::npos) << pszUrl << ": " << out;
        }
        EXPECT_FALSE(fs::exists(PACKAGE) || fs::exists(STAT)) << pszUrl;
        EXPECT_EQ(ReadFile(RATE) + " " + WatchNow().substr(0, 2), "101 -1") << pszUrl;
    }
    EXPECT_EQ(ReadFile(server.dir + ".requests"), "/missing.bin range=-\n/hop4/Half.bin range=-\n/hop3/Half.bin range=-\n"
                                                  "/hop2/Half.bin range=-\n/hop1/Half.bin range=-\n"
                                                  "/chunked/Half.bin range=-\n/stall-start/Half.bin range=-\n");
}

TEST(Http, StallAfterHalfResumesFromStoredBytes)
{
    HttpServer server;
    EXPECT_EQ(Printed([] { return CloudDownload("http://127.0.0.1:8081/stall-half/Half.bin"); }),
              Result(0, "Http breakpoint transmission fails. err is 28/200\nHttp breakpoint transmission fails. err is 0/206\n"));
    // The whole file is 16 KiB, the resumed part only 8 KiB: still complete.
    EXPECT_TRUE(ReadFile(PACKAGE) == MakePackage(16384));
    EXPECT_EQ(ReadFile(server.dir + ".requests"), "/stall-half/Half.bin range=-\n/stall-half/Half.bin range=bytes=8192-\n");
    EXPECT_EQ(ReadFile(STAT), "Stat:0,DownladRate:100");
    EXPECT_EQ(WatchNow(), "0 50 0");
    // The resumed transfer's first report (nothing of its 8 KiB yet) is half
    // of the whole file, not 0: the watch must see no fall after a resume.
    DownloadProgress(nullptr, 8192, 0, 0, 0);
    EXPECT_EQ(g_stDownloadStat.ulRate, 50u);
}

struct ResetBeforeEachTest : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { ResetFetchState(); }
};
} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // These tests write the device's fixed paths: refuse anything but the
    // sandbox whose folder is bound on /tmp.
    std::error_code ec;
    if (SANDBOX.empty() || !fs::equivalent("/tmp", SANDBOX + "/tmp", ec)) {
        fprintf(stderr, "fetch_sandbox_test: run through tests/fetch/run_sandboxed.sh only\n");
        return 2;
    }
    if (UpdateLogOpen() != 0) {
        fprintf(stderr, "cannot open the update log\n");
        return 2;
    }
    testing::UnitTest::GetInstance()->listeners().Append(new ResetBeforeEachTest);
    const int lRet = RUN_ALL_TESTS();
    // A filter that selects nothing (a renamed suite, "Running 0 tests") must not pass as a run.
    return lRet != 0 || testing::UnitTest::GetInstance()->test_to_run_count() == 0 ? 1 : 0;
}

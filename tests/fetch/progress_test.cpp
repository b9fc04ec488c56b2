// Rate file, status file, their merge and the watch loop, read back from the
// files and the watch state themselves.
#include <atomic>
#include <chrono>
#include <vector>
#include <sys/stat.h>
#include <thread>

#include "fetch_sandbox.h"
#include "include/text_util.h"
#include "include/update_types.h"

namespace {
using namespace std::chrono_literals;

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

TEST(Progress, CloudUpdateMergesWithDownloadPercentage)
{
    MarkCloud();
    const struct {
        const char *pszStat;
        uint32_t ulRate;
        uint32_t ulMerged;
    } cases[] = {
        {"Stat:0,DownladRate:100", 60, 80}, {"Stat:0,DownladRate:100", 99, 99},
        {"Stat:0,DownladRate:100", 100, 100},
        {"Stat:1,DownladRate:0", 21, 10},  // mean rounded down; status 1 (prepared) is healthy too
        {"garbage", 50, 25},               // no record: status 0 and percentage 0
    };
    for (const auto &c : cases) {
        WriteFile(STAT, c.pszStat);
        SetUpdateRate(c.ulRate);
        EXPECT_EQ(ReadFile(RATE), std::to_string(c.ulMerged)) << c.pszStat << " " << c.ulRate;
        EXPECT_EQ(WatchNow().ulProgress, c.ulMerged);
    }
    EXPECT_EQ(WatchNow().lErr, 0);
}

TEST(Progress, CloudUpdateFailsWithoutHealthyStatus)
{
    const struct {
        const char *pszStat;  // nullptr: no status file
        uint32_t ulRate;
        const char *pszOut;
    } cases[] = {{nullptr, 20, "Download failed err is[4]\n"},
                 {"Stat:2,DownladRate:100", 0, "Download failed err is[2]\n"}};
    for (const auto &c : cases) {
        ResetFetchState();
        MarkCloud();
        WriteFile(PACKAGE, "partial");
        if (c.pszStat != nullptr) {
            WriteFile(STAT, c.pszStat);
        }
        std::string out = Stdout([&] { SetUpdateRate(c.ulRate); });
        EXPECT_NE(out.find(c.pszOut), std::string::npos) << out;
        EXPECT_EQ(ReadFile(RATE), "101");
        EXPECT_EQ(WatchNow().lErr, -1);
        EXPECT_FALSE(Exists(PACKAGE));
        EXPECT_FALSE(Exists(STAT));
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

TEST(Watch, StuckProgressStalls)
{
    SetUpdateRate(40);
    EXPECT_EQ(WatchUpdateLimit(2), UPDATE_ERR_STALLED);
    // Progress that never left 0 is no rise either.
    ResetFetchState();
    EXPECT_EQ(WatchUpdateLimit(1), UPDATE_ERR_STALLED);
}

TEST(Watch, PublishingWorkerEndsTheWatch)
{
    struct STEP_S {
        uint32_t ulRate;
        bool bFinish;  // SetWatchState(0, ulRate, 1), not SetUpdateRate(ulRate)
        int lSleepMs;
    };
    struct CASE_S {
        const char *pszWhat;
        std::vector<STEP_S> steps;
        unsigned ulLimit;
        int lWant;
        std::atomic<bool> bDone {false};
    } cases[] = {
        {"finish flag", {{50, false, 1200}, {0, true, 0}}, 10, 0},
        {"above 99", {{99, false, 1200}, {100, false, 0}}, 10, 0},
        // Five idle polls in all, one between rises: a limit of 2 holds only
        // if each rise clears the count.
        {"every rise restarts the idle count",
         {{10, false, 2000}, {20, false, 2000}, {30, false, 2000}, {40, false, 2000}, {50, false, 2000},
          {60, false, 2000}, {60, true, 0}}, 2, 0},
        {"falling progress is no rise",
         {{50, false, 1200}, {1, false, 700}, {2, false, 700}, {3, false, 700}, {4, false, 700}, {5, false, 700},
          {6, false, 700}}, 2, UPDATE_ERR_STALLED},
    };
    ASSERT_EQ(InitWatchMutex(), 0);
    for (CASE_S &c : cases) {
        ResetFetchState();
        ASSERT_EQ(CreateDetachedThread(
                      [](void *pArg) -> void * {
                          auto *pstCase = static_cast<CASE_S *>(pArg);
                          for (const STEP_S &step : pstCase->steps) {
                              step.bFinish ? SetWatchState(0, step.ulRate, 1) : SetUpdateRate(step.ulRate);
                              std::this_thread::sleep_for(std::chrono::milliseconds(step.lSleepMs));
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
} // namespace

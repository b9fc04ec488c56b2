// Rate file, status file and their merge, read back from the files themselves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fetch/fetch_progress.h"
#include "fetch_sandbox.h"
#include "include/text_util.h"

namespace {
constexpr const char *RATE = "/tmp/update_rate.log";
constexpr const char *STAT = "/tmp/download_stat.log";
constexpr const char *PACKAGE = "/tmp/Program.bin";

class Progress : public testing::Test {
protected:
    void SetUp() override { ResetFetchState(); }
    void TearDown() override { ResetFetchState(); }

    static void MarkCloud() { CopyText(g_stDownloadStat.szUrl, "http://127.0.0.1/Program.bin"); }
    static WATCH_STATE_S Watch()
    {
        pthread_mutex_lock(&g_stWatchMutex);
        WATCH_STATE_S st = g_stWatchState;
        pthread_mutex_unlock(&g_stWatchMutex);
        return st;
    }
};

TEST_F(Progress, PlainUpdateWritesValueAndIgnoresStatusFile)
{
    // A failure record must not matter while no URL marks a cloud update.
    WriteFile(STAT, "Stat:4,DownladRate:0");
    EXPECT_EQ(SetUpdateRate(60), 0);
    EXPECT_EQ(ReadFile(RATE), "60");
    EXPECT_EQ(Watch().ulProgress, 60u);
    EXPECT_EQ(Watch().lErr, 0);
    EXPECT_EQ(ReadFile(STAT), "Stat:4,DownladRate:0");

    // A shorter value replaces a longer one entirely.
    EXPECT_EQ(SetUpdateRate(5), 0);
    EXPECT_EQ(ReadFile(RATE), "5");
    struct stat st {};
    ASSERT_EQ(stat(RATE, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(Progress, CloudUpdateMergesWithDownloadPercentage)
{
    MarkCloud();
    WriteFile(STAT, "Stat:0,DownladRate:100");
    SetUpdateRate(60);
    EXPECT_EQ(ReadFile(RATE), "80");
    EXPECT_EQ(Watch().ulProgress, 80u);
    SetUpdateRate(99);
    EXPECT_EQ(ReadFile(RATE), "99");
    SetUpdateRate(100);
    EXPECT_EQ(ReadFile(RATE), "100");

    // Mean rounded down; status 1 (prepared) is healthy too.
    WriteFile(STAT, "Stat:1,DownladRate:0");
    SetUpdateRate(21);
    EXPECT_EQ(ReadFile(RATE), "10");

    // Text that is no record counts as status 0 and percentage 0.
    WriteFile(STAT, "garbage");
    SetUpdateRate(50);
    EXPECT_EQ(ReadFile(RATE), "25");
    EXPECT_EQ(Watch().lErr, 0);
}

TEST_F(Progress, CloudUpdateWithoutStatusFileFails)
{
    MarkCloud();
    WriteFile(PACKAGE, "partial");
    testing::internal::CaptureStdout();
    SetUpdateRate(20);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Download failed err is[4]\n"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(RATE), "101");
    EXPECT_EQ(Watch().lErr, -1);
    EXPECT_FALSE(Exists(PACKAGE));
}

TEST_F(Progress, FailureCodeInStatusFileRemovesDownload)
{
    MarkCloud();
    WriteFile(PACKAGE, "partial");
    WriteFile(STAT, "Stat:2,DownladRate:100");
    testing::internal::CaptureStdout();
    SetUpdateRate(0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Download failed err is[2]\n"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(RATE), "101");
    EXPECT_FALSE(Exists(PACKAGE));
    EXPECT_FALSE(Exists(STAT));
    EXPECT_EQ(Watch().lErr, -1);
}

TEST_F(Progress, ValuesAbove100AreNeverMerged)
{
    MarkCloud();  // and no status file: a merge would fail the update
    SetUpdateRate(150);
    EXPECT_EQ(ReadFile(RATE), "150");
    EXPECT_EQ(Watch().ulProgress, 150u);
    EXPECT_EQ(Watch().lErr, 0);
    SetUpdateRate(UPDATE_RATE_FAILED);
    EXPECT_EQ(ReadFile(RATE), "101");
    EXPECT_EQ(Watch().lErr, -1);
    EXPECT_EQ(Watch().ulProgress, 150u);
}

TEST_F(Progress, UpdateFailedKeepsTheSpecificCode)
{
    SetUpdateRate(40);
    SetUpdateFailed(4);
    EXPECT_EQ(ReadFile(RATE), "101");
    EXPECT_EQ(Watch().lErr, 4);

    ResetFetchState();
    SetUpdateRate(40);
    SetUpdateFailed(0);
    EXPECT_EQ(ReadFile(RATE), "101");
    EXPECT_EQ(Watch().lErr, -1);
    EXPECT_EQ(Watch().ulProgress, 0u);
    EXPECT_EQ(Watch().ulFinish, 0u);

    // A later error replaces an earlier one; a zero error leaves it.
    SetWatchState(-4, 0, 0);
    SetWatchState(0, 70, 1);
    EXPECT_EQ(Watch().lErr, -4);
    EXPECT_EQ(Watch().ulProgress, 70u);
    EXPECT_EQ(Watch().ulFinish, 1u);
}

TEST_F(Progress, InitAndWriteStatusRecords)
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
    EXPECT_EQ(g_stDownloadStat.ulRate, 0u);
    EXPECT_EQ(g_stDownloadStat.dTotalSize, 0.0);
    EXPECT_EQ(g_stDownloadStat.dNowSize, 0.0);
    EXPECT_STREQ(g_stDownloadStat.szUrl, "");
    EXPECT_STREQ(g_stDownloadStat.szLocalFile, "");
    EXPECT_FALSE(Exists(RATE));  // no rate publishing at init

    testing::internal::CaptureStdout();
    EXPECT_EQ(InitDownloadStat(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid param.");

    // Every write republishes the merged rate.
    MarkCloud();
    g_stDownloadStat.ulStat = DOWNLOAD_STAT_OK;
    g_stDownloadStat.ulRate = 37;
    ASSERT_EQ(WriteDownloadStat(), 0);
    EXPECT_EQ(ReadFile(STAT), "Stat:0,DownladRate:37");
    EXPECT_EQ(ReadFile(RATE), "18");

    // A falling percentage (a resumed transfer counts its part anew) must
    // not be read back with the older record's last digit.
    g_stDownloadStat.ulRate = 5;
    ASSERT_EQ(WriteDownloadStat(), 0);
    EXPECT_EQ(ReadFile(STAT), "Stat:0,DownladRate:5");
    EXPECT_EQ(ReadFile(RATE), "2");
    EXPECT_EQ(Watch().lErr, 0);
}

TEST_F(Progress, UnopenableFilesAreReported)
{
    ASSERT_EQ(mkdir(STAT, 0755), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(InitDownloadStat(&g_stDownloadStat), -1);
    EXPECT_EQ(WriteDownloadStat(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to openfailed to open");
    EXPECT_FALSE(Exists(RATE));

    // The rate file cannot be written, yet the watch state moves on.
    ASSERT_EQ(mkdir(RATE, 0755), 0);
    EXPECT_EQ(SetUpdateRate(30), 0);
    EXPECT_EQ(Watch().ulProgress, 30u);
    EXPECT_NE(ReadFile("/var/log/update.log").find("failed to open /tmp/update_rate.log fd -1 \n"), std::string::npos);
}
} // namespace

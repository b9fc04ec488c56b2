// The session outlives nothing it lends: a worker that stalls past the watch
// keeps a valid request record and an open log until the process ends.
// Meaningful under the sanitizers (a freed record or closed log shows there).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <unistd.h>

#include "fetch/fetch_progress.h"
#include "package/load_update.h"
#include "update/update_log.h"
#include "update/update_session.h"

namespace {
std::atomic<bool> g_bStop{false};

void *StallingWorker(void *pvReq)
{
    const auto *pstReq = static_cast<const UPDATE_REQ_S *>(pvReq);
    while (!g_bStop.load()) {
        UPDATE_LOG("still fetching from %s\n", pstReq->szRemote);
        usleep(10000);
    }
    WorkerEnded();
    return nullptr;
}
} // namespace

TEST(Session, StalledWorkerKeepsRecordAndLog)
{
    g_pUpdateLogFile = fopen("/dev/null", "a");
    ASSERT_NE(g_pUpdateLogFile, nullptr);
    auto *pstReq = static_cast<UPDATE_REQ_S *>(calloc(1, sizeof(UPDATE_REQ_S)));
    snprintf(pstReq->szRemote, sizeof(pstReq->szRemote), "10.0.0.1");
    ASSERT_EQ(InitWatchMutex(), 0);

    EXPECT_EQ(WatchWorker(StallingWorker, pstReq, 1), UPDATE_ERR_STALLED);
    EXPECT_TRUE(IsWorkerRunning());
    EndSession(pstReq);
    // The session has ended; the worker goes on using what it was lent.
    usleep(200000);
    EXPECT_NE(g_pUpdateLogFile, nullptr);

    g_bStop = true;
    while (IsWorkerRunning()) {
        usleep(10000);
    }
    EndSession(pstReq);
    EXPECT_EQ(g_pUpdateLogFile, nullptr);
}

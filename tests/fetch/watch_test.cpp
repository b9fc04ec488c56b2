// The watch loop against a publishing worker thread; each end condition.
#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

#include "fetch/fetch_progress.h"
#include "fetch_sandbox.h"
#include "include/update_types.h"

namespace {
using namespace std::chrono_literals;

struct WORKER_S {
    std::function<void()> fnBody;
    std::atomic<bool> bDone {false};
};

void *WorkerEntry(void *pArg)
{
    auto *pstWorker = static_cast<WORKER_S *>(pArg);
    pstWorker->fnBody();
    pstWorker->bDone = true;
    return nullptr;
}

class Watch : public testing::Test {
protected:
    void SetUp() override
    {
        ResetFetchState();
        ASSERT_EQ(InitWatchMutex(), 0);
    }
    void TearDown() override
    {
        // The detached worker must be gone before the state is cleared.
        while (!m_stWorker.bDone) {
            std::this_thread::sleep_for(10ms);
        }
        ResetFetchState();
    }
    void StartWorker(std::function<void()> fnBody)
    {
        m_stWorker.fnBody = std::move(fnBody);
        ASSERT_EQ(CreateDetachedThread(WorkerEntry, &m_stWorker), 0);
    }

    WORKER_S m_stWorker;
};

TEST_F(Watch, ErrorEndsWatchWithItsCode)
{
    m_stWorker.bDone = true;
    SetUpdateFailed(4);
    testing::internal::CaptureStdout();
    EXPECT_EQ(WatchUpdateLimit(3), 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Begin to start watch!\nerr:4!\n");
}

TEST_F(Watch, ErrorFromWorkerWhileRunning)
{
    StartWorker([] {
        SetUpdateRate(30);
        std::this_thread::sleep_for(1500ms);
        SetUpdateFailed(-4);
    });
    int lRet = WatchUpdateLimit(10);
    // A poll between the two stores of SetUpdateFailed sees -1.
    EXPECT_TRUE(lRet == -4 || lRet == -1) << lRet;
}

TEST_F(Watch, FinishFlagEndsWatch)
{
    StartWorker([] {
        SetUpdateRate(50);
        std::this_thread::sleep_for(1200ms);
        SetWatchState(0, 0, 1);
    });
    EXPECT_EQ(WatchUpdateLimit(10), 0);
    EXPECT_EQ(g_stWatchState.ulFinish, 1u);
}

TEST_F(Watch, ProgressAbove99EndsWatch)
{
    StartWorker([] {
        SetUpdateRate(99);
        std::this_thread::sleep_for(1200ms);
        SetUpdateRate(100);
    });
    EXPECT_EQ(WatchUpdateLimit(10), 0);
    EXPECT_EQ(ReadFile("/tmp/update_rate.log"), "100");
}

TEST_F(Watch, StuckProgressStalls)
{
    m_stWorker.bDone = true;
    SetUpdateRate(40);
    EXPECT_EQ(WatchUpdateLimit(2), UPDATE_ERR_STALLED);
    // Progress that never left 0 is no rise either.
    ResetFetchState();
    EXPECT_EQ(WatchUpdateLimit(1), UPDATE_ERR_STALLED);
}

TEST_F(Watch, EveryRiseRestartsTheIdleCount)
{
    // Rises 2 s apart leave one idle poll between them, five in all: with a
    // limit of 2 the watch survives only if each rise clears the count.
    StartWorker([] {
        for (uint32_t ulRate = 10; ulRate <= 60; ulRate += 10) {
            SetUpdateRate(ulRate);
            std::this_thread::sleep_for(2s);
        }
        SetWatchState(0, 60, 1);
    });
    EXPECT_EQ(WatchUpdateLimit(2), 0);
}

TEST_F(Watch, FallingProgressIsNoRise)
{
    StartWorker([] {
        SetUpdateRate(50);
        std::this_thread::sleep_for(1200ms);
        for (uint32_t ulRate = 1; ulRate <= 6; ++ulRate) {
            SetUpdateRate(ulRate);
            std::this_thread::sleep_for(700ms);
        }
    });
    EXPECT_EQ(WatchUpdateLimit(2), UPDATE_ERR_STALLED);
}
} // namespace

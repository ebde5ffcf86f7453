#include <atomic>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/MainThread.h"

using namespace qv;

TEST(MainThreadDispatcher, WorkerCallsRunOnTheMainThreadAndWait)
{
    auto& dispatcher = MainThreadDispatcher::Instance();
    dispatcher.BindToCurrentThread();
    ASSERT_TRUE(dispatcher.IsMainThread());

    const auto mainId = std::this_thread::get_id();
    std::atomic<bool> workerDone{false};
    std::thread::id ranOn;
    int value = 0;
    std::thread worker([&] {
        EXPECT_FALSE(dispatcher.IsMainThread());
        dispatcher.Synchronize([&] {
            ranOn = std::this_thread::get_id();
            value = 42;
        });
        EXPECT_EQ(value, 42) << "Synchronize returns only after the call ran";
        workerDone = true;
    });
    while (!workerDone)
        dispatcher.WaitAndProcess(10);
    worker.join();
    EXPECT_EQ(ranOn, mainId);
}

TEST(MainThreadDispatcher, ExceptionReachesTheWorker)
{
    auto& dispatcher = MainThreadDispatcher::Instance();
    dispatcher.BindToCurrentThread();
    std::atomic<bool> done{false};
    std::string caught;
    std::thread worker([&] {
        try {
            dispatcher.Synchronize([] { throw std::runtime_error("handler failed"); });
        } catch (const std::exception& e) {
            caught = e.what();
        }
        done = true;
    });
    while (!done)
        dispatcher.WaitAndProcess(10);
    worker.join();
    EXPECT_EQ(caught, "handler failed");
}

TEST(MainThreadDispatcher, OnTheMainThreadACallRunsAtOnce)
{
    auto& dispatcher = MainThreadDispatcher::Instance();
    dispatcher.BindToCurrentThread();
    bool ran = false;
    dispatcher.Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(dispatcher.ProcessPending(), 0);
}

TEST(MainThreadDispatcher, WakeHandlerHearsOfEveryQueuedCall)
{
    auto& dispatcher = MainThreadDispatcher::Instance();
    dispatcher.BindToCurrentThread();
    std::atomic<int> wakes{0};
    dispatcher.SetWakeHandler([&] { ++wakes; });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i)
            dispatcher.Synchronize([] {});
        done = true;
    });
    while (!done)
        dispatcher.WaitAndProcess(10);
    worker.join();
    dispatcher.SetWakeHandler(nullptr);
    EXPECT_EQ(wakes.load(), 3);
}

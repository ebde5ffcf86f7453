#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/Thread.h"

using namespace qv;
using namespace std::chrono_literals;

TEST(Event, ManualResetStaysSetUntilReset)
{
    TEvent event(false);
    EXPECT_FALSE(event.WaitFor(10));
    event.SetEvent();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_TRUE(event.WaitFor(0)) << "a manual-reset event releases every waiter";
    event.ResetEvent();
    EXPECT_FALSE(event.WaitFor(10));
}

TEST(Event, WaiterIsReleasedFromAnotherThread)
{
    TEvent event(false);
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        event.SetEvent();
    });
    EXPECT_TRUE(event.WaitFor(5000));
    setter.join();
}

namespace {
class CountingThread : public TThread {
public:
    CountingThread() : TThread(true) {}
    std::atomic<int> count{0};
    std::atomic<bool> stop{false};

protected:
    void Execute() override
    {
        while (!stop) {
            PausePoint();
            ++count;
            std::this_thread::sleep_for(1ms);
        }
    }
};
} // namespace

TEST(Thread, CreatedSuspendedRunsOnlyAfterResumeAndHoldsAtPausePoint)
{
    CountingThread thread;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(thread.count.load(), 0);
    EXPECT_TRUE(thread.Suspended());

    thread.Resume();
    while (thread.count.load() < 3)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(thread.Suspended());

    thread.Suspend();
    EXPECT_TRUE(thread.Suspended());
    std::this_thread::sleep_for(20ms); // let it reach the pause point
    const int held = thread.count.load();
    std::this_thread::sleep_for(40ms);
    EXPECT_LE(thread.count.load(), held + 1) << "a paused thread must not go on";

    thread.Resume();
    const int resumedAt = thread.count.load();
    while (thread.count.load() < resumedAt + 3)
        std::this_thread::sleep_for(1ms);
    thread.stop = true;
    thread.WaitFor();
    EXPECT_NE(thread.ThreadID(), CurrentThreadId());
}

namespace {
class SelfFreeing : public TThread {
public:
    explicit SelfFreeing(TEvent* done) : TThread(true), done_(done) { SetFreeOnTerminate(true); }
    ~SelfFreeing() override { done_->SetEvent(); }

protected:
    void Execute() override {}

private:
    TEvent* done_;
};
} // namespace

TEST(Thread, FreeOnTerminateDeletesTheObject)
{
    TEvent destroyed(false);
    (new SelfFreeing(&destroyed))->Resume();
    EXPECT_TRUE(destroyed.WaitFor(5000));
}

#include "platform/Thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qv {

namespace {
thread_local TThread* tlsCurrentThread = nullptr;

int NiceValue(TThreadPriority priority)
{
    switch (priority) {
    case tpIdle: return 19;
    case tpLowest: return 10;
    case tpLower: return 5;
    case tpNormal: return 0;
    case tpHigher: return -5;
    case tpHighest: return -10;
    case tpTimeCritical: return -15;
    }
    return 0;
}
} // namespace

uint32_t CurrentThreadId()
{
    thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

TThread::TThread(bool createSuspended)
{
    if (!createSuspended)
        Start();
}

TThread::~TThread()
{
    // A self-freeing thread deletes itself on its own thread; anybody else must have
    // waited for the work to end first.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
}

void TThread::Start()
{
    // Held while thread_ is assigned: a short job must not end (and maybe free this
    // object) before the assignment is complete; Run takes the lock before it ends.
    std::lock_guard lock(stateMutex_);
    if (started_)
        return;
    started_ = true;
    thread_ = std::thread([this] { Run(); });
}

void TThread::Run()
{
    tlsCurrentThread = this;
    threadId_ = CurrentThreadId();
    if (priority_ != tpNormal) {
        // Per-thread nice value; failure (raising without privilege) leaves it normal.
        (void)::setpriority(PRIO_PROCESS, threadId_.load(), NiceValue(priority_));
    }
    try {
        Execute();
    } catch (...) {
        // An exception that escapes the work ends the thread, nothing else.
    }
    bool freeSelf;
    {
        std::lock_guard lock(stateMutex_);
        finished_ = true;
        freeSelf = freeOnTerminate_;
    }
    stateChanged_.notify_all();
    tlsCurrentThread = nullptr;
    if (freeSelf) {
        {
            std::lock_guard lock(stateMutex_);
            thread_.detach();
        }
        delete this;
    }
}

void TThread::Resume()
{
    bool start = false;
    {
        std::lock_guard lock(stateMutex_);
        if (!started_)
            start = true;
        paused_ = false;
    }
    stateChanged_.notify_all();
    if (start)
        Start();
}

void TThread::Suspend()
{
    std::lock_guard lock(stateMutex_);
    if (started_ && !finished_)
        paused_ = true;
}

bool TThread::Suspended() const
{
    std::lock_guard lock(stateMutex_);
    return !started_ || paused_;
}

void TThread::Terminate()
{
    terminated_ = true;
}

void TThread::WaitFor()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void TThread::PausePoint()
{
    TThread* self = tlsCurrentThread;
    if (self == nullptr)
        return;
    std::unique_lock lock(self->stateMutex_);
    self->stateChanged_.wait(lock, [self] { return !self->paused_; });
}

TThread* TThread::Current()
{
    return tlsCurrentThread;
}

} // namespace qv

#include "platform/MainThread.h"

#include <chrono>
#include <exception>

namespace qv {

struct MainThreadDispatcher::Pending {
    std::function<void()> call;
    std::exception_ptr error;
    bool done = false;
    std::mutex mutex;
    std::condition_variable finished;
};

MainThreadDispatcher::MainThreadDispatcher() : mainThread_(std::this_thread::get_id()) {}

MainThreadDispatcher& MainThreadDispatcher::Instance()
{
    static MainThreadDispatcher dispatcher;
    return dispatcher;
}

void MainThreadDispatcher::BindToCurrentThread()
{
    std::lock_guard lock(mutex_);
    mainThread_ = std::this_thread::get_id();
}

bool MainThreadDispatcher::IsMainThread() const
{
    std::lock_guard lock(mutex_);
    return mainThread_ == std::this_thread::get_id();
}

void MainThreadDispatcher::SetWakeHandler(std::function<void()> wake)
{
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}

void MainThreadDispatcher::Synchronize(const std::function<void()>& call)
{
    if (IsMainThread()) {
        call();
        return;
    }
    auto pending = std::make_shared<Pending>();
    pending->call = call;
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(pending);
        wake = wake_;
    }
    arrived_.notify_all();
    if (wake)
        wake();
    {
        std::unique_lock lock(pending->mutex);
        pending->finished.wait(lock, [&] { return pending->done; });
    }
    if (pending->error)
        std::rethrow_exception(pending->error);
}

int MainThreadDispatcher::ProcessPending()
{
    if (!IsMainThread())
        return 0;
    int ran = 0;
    for (;;) {
        std::shared_ptr<Pending> next;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                break;
            next = queue_.front();
            queue_.pop_front();
        }
        try {
            next->call();
        } catch (...) {
            next->error = std::current_exception();
        }
        {
            std::lock_guard lock(next->mutex);
            next->done = true;
        }
        next->finished.notify_all();
        ++ran;
    }
    return ran;
}

int MainThreadDispatcher::WaitAndProcess(int timeout_ms)
{
    if (!IsMainThread())
        return 0;
    {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !queue_.empty(); });
    }
    return ProcessPending();
}

void RunInMainThread(const std::function<void()>& call)
{
    MainThreadDispatcher::Instance().Synchronize(call);
}

} // namespace qv

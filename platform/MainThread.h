// The main-thread dispatcher: workers hand calls to the main thread and wait for them.
//
// The main thread is the thread that first uses the dispatcher, or the one that calls
// BindToCurrentThread (the application does so at start-up). Queued calls run when the
// main thread drains the queue: the application's event loop does so whenever the wake
// handler tells it something arrived, and every wait loop of ours that runs on the main
// thread (stopping a job, stopping a batch) calls ProcessPending between its waits.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qv {

class MainThreadDispatcher {
public:
    static MainThreadDispatcher& Instance();

    void BindToCurrentThread();
    bool IsMainThread() const;

    // Runs the call on the main thread and waits until it has run. On the main thread
    // the call runs at once. An exception raised by the call is raised again here.
    void Synchronize(const std::function<void()>& call);

    // Runs every queued call; returns how many ran. Only the main thread drains;
    // called from another thread it does nothing.
    int ProcessPending();

    // Waits up to timeout_ms for a call to arrive, running what arrives. Main thread only.
    int WaitAndProcess(int timeout_ms);

    // Called (from any thread) each time a call is queued, so that an event loop can
    // schedule ProcessPending. Optional; headless use drains from its wait loops.
    void SetWakeHandler(std::function<void()> wake);

private:
    MainThreadDispatcher();
    struct Pending;

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::thread::id mainThread_;                   // protected by mutex_
    std::deque<std::shared_ptr<Pending>> queue_;   // protected by mutex_
    std::function<void()> wake_;                   // protected by mutex_
};

// Shorthand for MainThreadDispatcher::Instance().Synchronize(call).
void RunInMainThread(const std::function<void()>& call);

} // namespace qv

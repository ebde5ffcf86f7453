// Worker threads in the manner of the desktop toolkit Quorvex first ran on: a thread
// object that may be created suspended, may free itself when its work ends, and can be
// paused and resumed. Linux cannot suspend a thread from outside, so pausing is
// cooperative: the work calls TThread::PausePoint() where it is safe to stop (holding
// no lock), and a paused thread blocks there until it is resumed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qv {

// The calling thread's identifier (the kernel's thread id).
uint32_t CurrentThreadId();

enum TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread {
public:
    explicit TThread(bool createSuspended);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts a thread created suspended, or lets a paused one go on.
    void Resume();
    // Asks the thread to pause at its next pause point. No effect on a thread that
    // has not started yet (it is suspended already).
    void Suspend();
    bool Suspended() const;

    // Sets the Terminated flag, which Execute may poll.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }

    // Waits until Execute has returned. Not for self-freeing threads.
    void WaitFor();

    // When set before the thread ends, the thread deletes its object after Execute.
    // Nobody may touch such an object once its work may have ended.
    void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }
    // Scheduling priority, applied as a nice value when the thread starts (lowering
    // needs no privilege; raising above normal is tried and silently kept as normal).
    void SetPriority(TThreadPriority priority) { priority_ = priority; }
    TThreadPriority Priority() const { return priority_; }
    uint32_t ThreadID() const { return threadId_.load(); }

    // Blocks the calling worker while its thread object is paused. Does nothing on a
    // thread that is not a TThread. Safe to call from anywhere in the work.
    static void PausePoint();
    // The TThread running the calling code, or nullptr.
    static TThread* Current();

protected:
    virtual void Execute() = 0;

private:
    void Run();
    void Start();

    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<uint32_t> threadId_{0};
    bool freeOnTerminate_ = false;
    TThreadPriority priority_ = tpNormal;

    mutable std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    bool started_ = false;   // protected by stateMutex_
    bool paused_ = false;    // protected by stateMutex_
    bool finished_ = false;  // protected by stateMutex_
};

} // namespace qv

// A manual-reset event with timed waits: once set it stays set, releasing every
// waiter, until it is reset.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qv {

class TEvent {
public:
    static constexpr uint32_t INFINITE_MS = 0xFFFFFFFFu;

    explicit TEvent(bool initiallySignalled = false) : signalled_(initiallySignalled) {}
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void SetEvent();
    void ResetEvent();
    bool IsSet() const;
    // Waits until the event is set or the time is up; returns whether it is set.
    bool WaitFor(uint32_t timeout_ms = INFINITE_MS) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool signalled_; // protected by mutex_
};

} // namespace qv

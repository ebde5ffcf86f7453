#include "platform/Event.h"

#include <chrono>

namespace qv {

void TEvent::SetEvent()
{
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void TEvent::ResetEvent()
{
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool TEvent::IsSet() const
{
    std::lock_guard lock(mutex_);
    return signalled_;
}

bool TEvent::WaitFor(uint32_t timeout_ms) const
{
    std::unique_lock lock(mutex_);
    if (timeout_ms == INFINITE_MS) {
        changed_.wait(lock, [this] { return signalled_; });
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return signalled_; });
}

} // namespace qv

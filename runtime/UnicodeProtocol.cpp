#include "runtime/UnicodeProtocol.h"

#include <atomic>

namespace qv {

namespace {
std::atomic<bool> gRegistered{false};
}

void RegisterUnicodeProtocol()
{
    // The libraries of this generation keep a fixed protocol list, so "registering"
    // means our open helper starts accepting "unicode:" URLs.
    gRegistered = true;
}

bool UnicodeProtocolRegistered()
{
    return gRegistered.load();
}

} // namespace qv

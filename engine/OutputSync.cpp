#include "engine/OutputSync.h"

#include <algorithm>
#include <cmath>

namespace qv {

TAudioSyncDecision DecideAudioSync(const TAudioSyncInput& in)
{
    TAudioSyncDecision out;
    out.syncPosition = in.syncPosition;
    if (in.method == 0) {
        // Follow the input timestamps; nothing is added or removed.
        out.syncPosition = std::llround(in.inTime_s * in.encRate) - in.queuedSamples;
        return out;
    }

    const double delta =
        in.inTime_s * in.encRate - static_cast<double>(in.syncPosition) - static_cast<double>(in.queuedSamples);
    out.delta = delta;
    if (std::fabs(delta) <= AUDIO_SYNC_TOLERANCE_SAMPLES)
        return out;

    const double decDelta = delta * in.decRate / in.encRate;
    const auto inputDelta = static_cast<int64_t>(decDelta);  // truncated toward zero
    if (in.atStart || std::fabs(delta) > in.driftThreshold_s * in.encRate) {
        if (inputDelta < 0) {
            out.action = TAudioSyncAction::asDrop;
            out.inputSamples = -inputDelta;
        } else {
            out.action = TAudioSyncAction::asInsert;
            out.inputSamples = inputDelta;
        }
        return out;
    }
    if (in.method > 1) {
        out.action = TAudioSyncAction::asCompensate;
        const auto wanted = static_cast<int64_t>(delta);
        out.compensation = static_cast<int>(std::clamp<int64_t>(wanted, -in.method, in.method));
    }
    return out;
}

TVideoSyncDecision DecideVideoSync(int method, bool variableRateFormat, double syncTime, int64_t syncPosition)
{
    TVideoSyncDecision out;
    out.syncPosition = syncPosition;
    if (method == 0) {
        out.syncPosition = std::llround(syncTime);
        return out;
    }
    const double drift = syncTime - static_cast<double>(syncPosition);
    if (drift < -1.1) {
        out.frameCount = 0;
    } else if (method == 2 || (method < 0 && variableRateFormat)) {
        if (drift <= -0.6)
            out.frameCount = 0;
        else if (drift > 0.6)
            out.syncPosition = std::llround(syncTime);
    } else if (drift > 1.1) {
        out.frameCount = static_cast<int>(std::lround(drift));
    }
    return out;
}

TCropBands ScaleCropBands(const TCropBands& initial, int initialWidth, int initialHeight, int width, int height)
{
    TCropBands bands;
    if (initialWidth <= 0 || initialHeight <= 0)
        return bands;
    auto scale = [](int band, int size, int initialSize) {
        return static_cast<int>(static_cast<int64_t>(size) * band / initialSize) & ~1;
    };
    bands.top = scale(initial.top, height, initialHeight);
    bands.bottom = scale(initial.bottom, height, initialHeight);
    bands.left = scale(initial.left, width, initialWidth);
    bands.right = scale(initial.right, width, initialWidth);
    return bands;
}

} // namespace qv

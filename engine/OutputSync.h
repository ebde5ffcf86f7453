// The timing decisions of the audio and video output paths, kept apart from the
// library calls so that they can be reasoned about (and tested) on plain numbers.
#pragma once

#include <cstdint>

namespace qv {

// ---- audio ----------------------------------------------------------------------

enum class TAudioSyncAction {
    asNone,        // leave the block as it is
    asDrop,        // drop inputSamples samples from the front of the block
    asInsert,      // put inputSamples samples of silence before the block
    asCompensate,  // stretch through the resampler by compensation samples per second
};

struct TAudioSyncInput {
    int method = 0;                // "async"
    double inTime_s = 0.0;         // the sync input's position, relative to the start time
    int64_t syncPosition = 0;      // next output position, output samples
    int64_t queuedSamples = 0;     // output samples waiting in the stream's FIFO
    int encRate = 0;               // output sample rate
    int decRate = 0;               // input sample rate
    bool atStart = false;          // the source input stream has not been corrected yet
    double driftThreshold_s = 0.1; // "adrift_threshold"
};

struct TAudioSyncDecision {
    TAudioSyncAction action = TAudioSyncAction::asNone;
    int64_t syncPosition = 0;      // the position after the decision
    int64_t inputSamples = 0;      // asDrop / asInsert, in input samples
    int compensation = 0;          // asCompensate, output samples
    double delta = 0.0;            // how far the output lags the input, output samples
};

// Corrections of 50 samples or less are never made.
constexpr double AUDIO_SYNC_TOLERANCE_SAMPLES = 50.0;

TAudioSyncDecision DecideAudioSync(const TAudioSyncInput& in);

// ---- video ----------------------------------------------------------------------

struct TVideoSyncDecision {
    int frameCount = 1;            // 0 drops the picture, > 1 duplicates it
    int64_t syncPosition = 0;      // the position after the decision, frames
};

// method: "vsync"; variableRateFormat: the muxer takes variable frame rates;
// syncTime: the sync input's position in output frame units.
TVideoSyncDecision DecideVideoSync(int method, bool variableRateFormat, double syncTime, int64_t syncPosition);

// ---- crop bands across a frame size change -----------------------------------------

struct TCropBands {
    int top = 0, bottom = 0, left = 0, right = 0;
    bool Any() const { return top != 0 || bottom != 0 || left != 0 || right != 0; }
};

// The bands of the initial size carried over proportionally to a new size, each kept even.
TCropBands ScaleCropBands(const TCropBands& initial, int initialWidth, int initialHeight, int width, int height);

} // namespace qv

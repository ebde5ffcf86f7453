// The engine's option state: one set of fields shared by the inputs and outputs of a
// job, set by the option keys and consumed by opening files and creating streams.
// Every default lives here, so ResetOptions is a plain reassignment.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

namespace qv {

constexpr int MAX_STREAMS = 20;          // streams per file throughout the engine
constexpr int KIND_COUNT = 5;            // video, audio, data, subtitle, attachment
constexpr int64_t NO_TIME_US = std::numeric_limits<int64_t>::min();  // no-value marker
constexpr int32_t NO_FRAME_LIMIT = 2147483647;
constexpr float NO_AUDIO_QSCALE = -99999.0f;

using TMatrix = std::array<uint16_t, 64>;

struct TOptionState {
    std::array<int32_t, MAX_STREAMS> streamIdMap{};
    std::string fileFormat;
    int32_t frameWidth = 0;
    int32_t frameHeight = 0;
    float frameAspectRatio = 0.0f;
    AVPixelFormat framePixFmt = AV_PIX_FMT_NONE;
    AVSampleFormat audioSampleFmt = AV_SAMPLE_FMT_NONE;
    int32_t frameTopBand = 0, frameBottomBand = 0, frameLeftBand = 0, frameRightBand = 0;
    // Indexed by media kind: video 0, audio 1, data 2, subtitle 3.
    std::array<int32_t, 4> maxFrames{NO_FRAME_LIMIT, NO_FRAME_LIMIT, NO_FRAME_LIMIT, NO_FRAME_LIMIT};
    AVRational frameRate{0, 0};
    float videoQScale = 0.0f;
    std::optional<TMatrix> intraMatrix;
    std::optional<TMatrix> interMatrix;
    std::optional<std::string> videoRcOverride;
    bool videoDisable = false;
    int32_t videoDiscard = 0;
    std::optional<std::string> videoCodecName;
    uint32_t videoCodecTag = 0;
    std::string videoLanguage;
    bool sameQuality = false;
    bool doDeinterlace = false;
    int32_t topFieldFirst = -1;
    int32_t meThreshold = 0;
    int32_t intraDcPrecision = 8;
    bool loopInput = false;
    int32_t loopOutput = -1;
    bool qpHist = false;
    std::string vfilters;
    bool intraOnly = false;

    int32_t audioSampleRate = 44100;
    uint64_t audioChannelLayout = 0;
    float audioQScale = NO_AUDIO_QSCALE;
    bool audioDisable = false;
    int32_t audioChannels = 2;
    std::optional<std::string> audioCodecName;
    uint32_t audioCodecTag = 0;
    std::string audioLanguage;

    bool subtitleDisable = false;
    std::optional<std::string> subtitleCodecName;
    std::string subtitleLanguage;
    uint32_t subtitleCodecTag = 0;

    float muxPreload_s = 0.5f;
    float muxMaxDelay_s = 0.7f;
    int64_t recordingTime_us = std::numeric_limits<int64_t>::max();
    int64_t startTime_us = 0;
    int64_t recordingTimestamp_s = 0;
    int64_t inputTsOffset_us = 0;
    std::vector<std::pair<std::string, std::string>> metadata;
    bool doHexDump = false;
    bool doPktDump = false;
    bool doPsnr = false;
    int32_t doPass = 0;
    std::string passLogFileName;
    bool audioStreamCopy = false;
    bool videoStreamCopy = false;
    bool subtitleStreamCopy = false;
    int32_t videoSyncMethod = -1;
    int32_t audioSyncMethod = 0;
    float audioDriftThreshold_s = 0.1f;
    bool copyTs = false;
    bool optShortest = false;
    int32_t videoGlobalHeader = 0;
    std::optional<std::string> vstatsFileName;
    int32_t optProgramId = 0;
    int32_t copyInitialNonKeyframes = 0;
    bool rateEmu = false;
    int32_t videoChannel = 0;
    std::optional<std::string> videoStandard;
    int32_t audioVolume = 256;
    bool exitOnError = false;
    bool usingVhook = false;
    int32_t verbose = 1;
    int32_t threadCount = 1;
    bool inputSync = false;
    int64_t limitFileSize_bytes = 0;
    bool forceFps = false;
    bool usingPgmyuv = false;
    float dtsDeltaThreshold_s = 10.0f;
    int32_t swsFlags = 4; // SWS_BICUBIC
    // Bitstream filter names, moved to the next stream of that kind.
    std::vector<std::string> videoBitstreamFilters;
    std::vector<std::string> audioBitstreamFilters;
    std::vector<std::string> subtitleBitstreamFilters;
    int32_t bitBufferSize_bytes = 262144;
};

// Figures of the last run, zeroed with the options.
struct TRunCounters {
    int64_t videoSize_bytes = 0;
    int64_t audioSize_bytes = 0;
    int64_t extraSize_bytes = 0;
    int32_t dupFrames = 0;
    int32_t dropFrames = 0;
    bool dupDropNoticePending = false;
};

} // namespace qv

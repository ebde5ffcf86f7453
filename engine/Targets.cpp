// Disc and camcorder target profiles: a norm (PAL, NTSC or FILM) and a table of
// settings per target, applied through the option keys and the generic options.
#include "engine/FFmpeg.h"

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {

enum class TNorm { PAL, NTSC, FILM };

struct TNormSettings {
    const char* frameRate;
    const char* gopSize;
};
TNormSettings SettingsOf(TNorm norm)
{
    switch (norm) {
    case TNorm::PAL: return {"25", "15"};
    case TNorm::NTSC: return {"30000/1001", "18"};
    case TNorm::FILM: return {"24000/1001", "18"};
    }
    return {"25", "15"};
}

// Frame rates in thousandths that reveal a norm.
bool NormOfRate(int64_t rate_mHz, TNorm& norm)
{
    if (rate_mHz == 23976 || rate_mHz == 29970) {
        norm = TNorm::NTSC;
        return true;
    }
    if (rate_mHz == 25000) {
        norm = TNorm::PAL;
        return true;
    }
    return false;
}

enum class TChannelRule { Keep, Stereo, StereoWhenMono };

struct TOptionPair {
    const char* key;
    const char* value;
};

struct TTargetProfile {
    const char* name;
    const char* videoCodec; // nullptr: unchanged
    const char* audioCodec;
    const char* format;
    const char* sizePal;
    const char* sizeOther; // NTSC and FILM
    bool setsGop;
    std::vector<TOptionPair> genericOptions; // in this order ("ab" after "b")
    int32_t sampleRate_Hz;
    TChannelRule channels;
    float muxPreload_s;        // 0: unchanged
    const char* defaultAspect; // set when no aspect ratio is known; nullptr: none
};

const std::vector<TTargetProfile>& Profiles()
{
    static const std::vector<TTargetProfile> kProfiles = {
        {"vcd", "mpeg1video", "mp2", "vcd", "352x288", "352x240", true,
         {{"b", "1150000"}, {"maxrate", "1150000"}, {"minrate", "1150000"}, {"bufsize", "327680"}, {"ab", "224000"},
          {"packetsize", "2324"}, {"muxrate", "1411200"}},
         44100, TChannelRule::Stereo, 0.44f, "4:3"},
        {"svcd", "mpeg2video", "mp2", "svcd", "480x576", "480x480", true,
         {{"b", "2040000"}, {"maxrate", "2516000"}, {"minrate", "0"}, {"bufsize", "1835008"},
          {"flags", "+scan_offset"}, {"ab", "224000"}, {"packetsize", "2324"}},
         44100, TChannelRule::StereoWhenMono, 0, "4:3"},
        {"dvd", "mpeg2video", "ac3", "dvd", "720x576", "720x480", true,
         {{"b", "6000000"}, {"maxrate", "9000000"}, {"minrate", "0"}, {"bufsize", "1835008"}, {"packetsize", "2048"},
          {"muxrate", "10080000"}, {"ab", "448000"}},
         48000, TChannelRule::StereoWhenMono, 0, "16:9"},
        {"dv", nullptr, nullptr, "dv", "720x576", "720x480", false, {}, 48000, TChannelRule::Stereo, 0, nullptr},
        {"dv50", nullptr, nullptr, "dv", "720x576", "720x480", false, {}, 48000, TChannelRule::Stereo, 0, nullptr},
    };
    return kProfiles;
}

} // namespace

void TCustomFFmpeg::ApplyTarget(const std::string& target, const std::string& norm, const std::string& defaultNorm)
{
    TNorm chosen = TNorm::PAL;
    if (norm == "pal") {
        chosen = TNorm::PAL;
    } else if (norm == "ntsc") {
        chosen = TNorm::NTSC;
    } else if (norm == "film") {
        chosen = TNorm::FILM;
    } else {
        // Found from the frame rate set so far, else from the video streams of the inputs.
        const AVRational rate = options_.frameRate;
        if (rate.den == 0)
            throw FFmpegException("frame_rate is invalid.");
        bool found = NormOfRate(std::llround(rate.num * 1000.0 / rate.den), chosen);
        for (int file = 0; file < nbInputFiles_ && !found; ++file) {
            const AVFormatContext* input = inputFiles_[file];
            const unsigned streams = input ? std::min<unsigned>(input->nb_streams, MAX_STREAMS) : 0;
            for (unsigned stream = 0; stream < streams && !found; ++stream) {
                const AVCodecContext* decoder = inputStreamCodecs_[file][stream];
                if (decoder == nullptr || decoder->codec_type != AVMEDIA_TYPE_VIDEO || decoder->time_base.num == 0)
                    continue;
                found = NormOfRate(std::llround(decoder->time_base.den * 1000.0 / decoder->time_base.num), chosen);
            }
        }
        if (!found)
            chosen = defaultNorm == "film" ? TNorm::FILM : defaultNorm == "ntsc" ? TNorm::NTSC : TNorm::PAL;
        if (options_.verbose > 0)
            Logger().LogFmt(this, llVerbose, "Assuming %s for target.", chosen == TNorm::PAL ? "PAL" : "NTSC");
    }

    const TTargetProfile* profile = nullptr;
    for (const TTargetProfile& candidate : Profiles()) {
        if (target == candidate.name)
            profile = &candidate;
    }
    if (profile == nullptr)
        throw FFmpegException("Unknown target type");

    const TNormSettings settings = SettingsOf(chosen);
    if (profile->videoCodec)
        SetCodecNameOption(0, profile->videoCodec);
    if (profile->audioCodec)
        SetCodecNameOption(1, profile->audioCodec);
    SetFileFormat(profile->format);
    SetOption("s", chosen == TNorm::PAL ? profile->sizePal : profile->sizeOther);
    if (target == "dv50")
        SetOption("pix_fmt", "yuv422p");
    else if (target == "dv")
        SetOption("pix_fmt", chosen == TNorm::PAL ? "yuv420p" : "yuv411p");
    SetOption("r", settings.frameRate);
    if (profile->setsGop)
        SetGenericOption("g", settings.gopSize);
    for (const TOptionPair& option : profile->genericOptions)
        SetGenericOption(option.key, option.value);
    options_.audioSampleRate = profile->sampleRate_Hz;
    if (profile->channels == TChannelRule::Stereo ||
        (profile->channels == TChannelRule::StereoWhenMono && options_.audioChannels == 1))
        options_.audioChannels = 2;
    if (profile->muxPreload_s > 0)
        options_.muxPreload_s = profile->muxPreload_s;
    if (profile->defaultAspect && options_.frameAspectRatio == 0) {
        Logger().LogFmt(this, llInfo, "Assuming %s for aspect ratio", profile->defaultAspect);
        SetOption("aspect", profile->defaultAspect);
    }
}

} // namespace qv

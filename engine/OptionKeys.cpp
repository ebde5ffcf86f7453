// The option keys: one table row per key, naming the field it sets or the handler that
// reads its value. Keys are matched exactly (case-sensitively); a key that is not in
// the table goes to the libraries' generic options, and a refusal there is ignored.
// A failing key raises FFmpegException; whatever it set before its check stays set.
#include "platform/TextFormat.h"
#include "engine/FFmpeg.h"

#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <unordered_map>
#include <variant>

extern "C" {
#include <libavcodec/bsf.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include "engine/OptionText.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {

// Flag values: false only for exactly "0" (an empty value turns the flag on).
struct TFlagKey {
    bool TOptionState::*field;
};
// Keys that turn their flag on whatever the value.
struct TAlwaysOnKey {
    bool TOptionState::*field;
};
struct TIntegerKey {
    int32_t TOptionState::*field;
};
struct TFloatKey {
    float TOptionState::*field;
};

constexpr int MAX_VHOOK_ARGUMENTS = 254;


int KindOfKey(const std::string& key)
{
    return key[0] == 'v' ? 0 : key[0] == 'a' ? 1 : 3;
}

std::string ExecutableFolder()
{
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    const std::string executable(path, static_cast<size_t>(length));
    const size_t slash = executable.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : executable.substr(0, slash);
}

} // namespace

struct TOptionKeys {
    using THandler = void (*)(TCustomFFmpeg& engine, const std::string& key, const std::string& value);
    using TAction = std::variant<THandler, TFlagKey, TAlwaysOnKey, TIntegerKey, TFloatKey>;
    struct TRow {
        const char* key;
        TAction action;
    };

    static const std::unordered_map<std::string_view, TAction>& Index();

    static void DoNothing(TCustomFFmpeg& engine, const std::string& key, const std::string&)
    {
        Logger().Log(&engine, llInfo, "Do nothing: option - " + key);
    }

    static void LogLevel(TCustomFFmpeg&, const std::string&, const std::string& value)
    {
        try {
            Logger().SetLogLevelText(value);
        } catch (const std::exception&) {
            throw FFmpegException("'" + value + "' is not a valid integer value");
        }
    }

    static void FileFormat(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        if (value != "pgmyuv") {
            engine.SetFileFormat(value);
            return;
        }
        engine.options_.usingPgmyuv = true;
        engine.SetFileFormat("image2");
        Logger().Log(&engine, llInfo, "pgmyuv format is deprecated, use image2");
    }

    // "file.stream[:syncfile.syncstream]", each number as C reads it.
    static void StreamMap(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        if (engine.streamMaps_.size() >= static_cast<size_t>(engine.maxFiles_) * MAX_STREAMS)
            throw FFmpegException(FormatText("Too many stream maps (at most %d)", engine.maxFiles_ * MAX_STREAMS));
        TStreamMap map;
        size_t pos = 0;
        map.fileIndex = static_cast<int32_t>(ReadCInteger(value, pos));
        if (pos < value.size())
            ++pos;
        map.streamIndex = static_cast<int32_t>(ReadCInteger(value, pos));
        if (pos < value.size()) {
            ++pos;
            map.syncFileIndex = static_cast<int32_t>(ReadCInteger(value, pos));
            if (pos < value.size())
                ++pos;
            map.syncStreamIndex = static_cast<int32_t>(ReadCInteger(value, pos));
        } else {
            map.syncFileIndex = map.fileIndex;
            map.syncStreamIndex = map.streamIndex;
        }
        engine.streamMaps_.push_back(map);
    }

    static void MetaDataMap(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        if (engine.metaDataMaps_.size() >= static_cast<size_t>(engine.maxFiles_))
            throw FFmpegException(FormatText("Too many metadata maps (at most %d)", engine.maxFiles_));
        TMetaDataMap map;
        size_t pos = 0;
        map.outFile = static_cast<int32_t>(ReadCInteger(value, pos));
        if (pos < value.size())
            ++pos;
        map.inFile = static_cast<int32_t>(ReadCInteger(value, pos));
        engine.metaDataMaps_.push_back(map);
    }

    static int64_t ParseTime(const std::string& key, const std::string& value, bool duration)
    {
        int64_t time_us = 0;
        if (av_parse_time(&time_us, value.c_str(), duration ? 1 : 0) < 0)
            throw FFmpegException(FormatText("Invalid %s specification for %s: %s", duration ? "duration" : "date",
                                         key.c_str(), value.c_str()));
        return time_us;
    }

    static void RecordingTime(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        engine.SetRecordingTime(ParseTime(key, value, true));
    }

    static void StartTime(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        engine.SetStartTime(ParseTime(key, value, true));
    }

    static void InputTsOffset(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        engine.options_.inputTsOffset_us = ParseTime(key, value, true);
    }

    static void Timestamp(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        engine.options_.recordingTimestamp_s = std::llround(ParseTime(key, value, false) / 1000000.0);
    }

    // "stream:scale" for the input that is opened next.
    static void InputTsScale(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        size_t pos = 0;
        const long stream = ReadCInteger(value, pos);
        if (pos < value.size())
            ++pos;
        const double scale = std::strtod(value.c_str() + pos, nullptr);
        if (stream >= MAX_STREAMS)
            throw FFmpegException(FormatText("stream index over MAX_STREAMS(%d)", MAX_STREAMS));
        if (stream < 0)
            throw FFmpegException(FormatText("Invalid stream index %ld", stream));
        if (engine.nbInputFiles_ >= engine.maxFiles_)
            throw FFmpegException(FormatText("Too many input files (at most %d)", engine.maxFiles_));
        engine.inputFilesTsScale_[engine.nbInputFiles_][stream] = scale;
    }

    static void Metadata(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        const size_t equals = value.find('=');
        if (equals == std::string::npos)
            throw FFmpegException("Missing =");
        engine.options_.metadata.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    }

    static void FileSizeLimit(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        engine.options_.limitFileSize_bytes = TextToInt64(value);
    }

    static void FrameLimit(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        const int kind = key[0] == 'v' ? 0 : key[0] == 'a' ? 1 : 2; // "vframes", "aframes", "dframes"
        engine.options_.maxFrames[kind] = TextToInt32(value);
    }

    static void TimeLimit(TCustomFFmpeg& engine, const std::string&, const std::string&)
    {
        Logger().Log(&engine, llWarning, "Warning: -timelimit not implemented on Windows");
    }

    static void Verbose(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        engine.SetVerbose(TextToInt32(value));
    }

    // "[pal-|ntsc-|film-]target"; without a norm prefix the norm is found from the inputs.
    static void Target(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        const std::string text = Trim(value);
        for (const char* norm : {"pal", "ntsc", "film"}) {
            const std::string prefix = std::string(norm) + "-";
            if (text.compare(0, prefix.size(), prefix) == 0) {
                engine.ApplyTarget(text.substr(prefix.size()), norm, "ntsc");
                return;
            }
        }
        engine.ApplyTarget(text, "auto", "ntsc");
    }

    static void Refused(TCustomFFmpeg&, const std::string& key, const std::string&)
    {
        throw FFmpegException("TODO: option - " + key);
    }

    // Bits per second: a value below 1000 was probably meant as kbit/s.
    static void BitRate(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        if (value.empty() || !engine.SetGenericOption(key, value))
            return;
        int64_t rate_bps = 0;
        AVCodecContext* set = engine.genericCodecOptions_[key[0] == 'a' ? 1 : 0];
        if (set && av_opt_get_int(set, "b", 0, &rate_bps) >= 0 && rate_bps < 1000)
            Logger().Log(&engine, llWarning,
                         "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
    }

    static void FrameRate(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        AVRational rate{0, 0};
        if (av_parse_video_rate(&rate, value.c_str()) < 0)
            throw FFmpegException("Incorrect frame rate");
        engine.options_.frameRate = rate;
    }

    static void FrameSize(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        int width = 0, height = 0;
        if (av_parse_video_size(&width, &height, value.c_str()) < 0)
            throw FFmpegException("Incorrect frame size");
        engine.options_.frameWidth = width;
        engine.options_.frameHeight = height;
    }

    // "a:b" or a decimal ratio; unreadable parts count as 0, and 0 is refused.
    static void Aspect(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        auto integerOrZero = [](const std::string& text) {
            try {
                return TextToInt32(text);
            } catch (const FFmpegException&) {
                return 0;
            }
        };
        double ratio = 0;
        if (const size_t colon = value.find(':'); colon != std::string::npos) {
            const int32_t a = integerOrZero(value.substr(0, colon));
            const int32_t b = integerOrZero(value.substr(colon + 1));
            ratio = b > 0 ? static_cast<double>(a) / b : 0;
        } else {
            try {
                ratio = TextToFloat(value);
            } catch (const FFmpegException&) {
                ratio = 0;
            }
        }
        if (ratio == 0)
            throw FFmpegException("Incorrect aspect ratio specification.");
        engine.options_.frameAspectRatio = static_cast<float>(ratio);
    }

    static void PixelFormat(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        if (value == "list") {
            // A header, then every format the installed library describes.
            char line[256];
            Logger().Log(&engine, llInfo, Trim(av_get_pix_fmt_string(line, sizeof line, AV_PIX_FMT_NONE)));
            for (int format = 0; av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format)); ++format)
                Logger().Log(&engine, llInfo,
                             Trim(av_get_pix_fmt_string(line, sizeof line, static_cast<AVPixelFormat>(format))));
            return;
        }
        const AVPixelFormat format = av_get_pix_fmt(value.c_str());
        if (format == AV_PIX_FMT_NONE)
            throw FFmpegException("Unknown pixel format requested: " + value);
        engine.options_.framePixFmt = format;
    }

    static void SampleFormat(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        if (value == "list") {
            char line[256];
            Logger().Log(&engine, llInfo, Trim(av_get_sample_fmt_string(line, sizeof line, AV_SAMPLE_FMT_NONE)));
            for (int format = 0; format < AV_SAMPLE_FMT_NB; ++format)
                Logger().Log(&engine, llInfo,
                             Trim(av_get_sample_fmt_string(line, sizeof line, static_cast<AVSampleFormat>(format))));
            return;
        }
        engine.options_.audioSampleFmt = av_get_sample_fmt(value.c_str());
    }

    static void Crop(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        const int32_t band = TextToInt32(value);
        if (band <= 0)
            return;
        TOptionState& o = engine.options_;
        const bool vertical = key == "croptop" || key == "cropbottom";
        if (vertical && band >= o.frameHeight)
            throw FFmpegException("Vertical crop dimensions are outside the range of the original image.\n"
                                  "Remember to crop first and scale second.");
        if (!vertical && band >= o.frameWidth)
            throw FFmpegException("Horizontal crop dimensions are outside the range of the original image.\n"
                                  "Remember to crop first and scale second.");
        Logger().Log(&engine, llWarning, "CropXXX is deprecated in favor of the crop avfilter");
        int32_t TOptionState::*field = key == "croptop"      ? &TOptionState::frameTopBand
                                       : key == "cropbottom" ? &TOptionState::frameBottomBand
                                       : key == "cropleft"   ? &TOptionState::frameLeftBand
                                                             : &TOptionState::frameRightBand;
        o.*field = band;
        (vertical ? o.frameHeight : o.frameWidth) -= band;
    }

    static void Padding(TCustomFFmpeg&, const std::string&, const std::string&)
    {
        throw FFmpegException("Please use vfilters=pad");
    }

    static void QScale(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        const double scale = TextToFloat(value);
        if (!(scale > 0 && scale <= 255))
            throw FFmpegException("qscale must be > 0.0 and <= 255");
        engine.options_.videoQScale = static_cast<float>(scale);
    }

    static void RcOverride(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        engine.options_.videoRcOverride = value;
    }

    static void CodecName(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        engine.SetCodecNameOption(KindOfKey(key), value);
    }

    static void Pass(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        const int32_t pass = TextToInt32(value);
        if (pass != 1 && pass != 2)
            throw FFmpegException("pass number can be only 1 or 2");
        engine.options_.doPass = pass;
    }

    static void PassLogFile(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        engine.options_.passLogFileName = value;
    }

    // Beside the executable, named after the local time: vstats_HHMMSS.log.
    static void Vstats(TCustomFFmpeg& engine, const std::string&, const std::string&)
    {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        engine.options_.vstatsFileName =
            ExecutableFolder() + FormatText("/vstats_%02d%02d%02d.log", local.tm_hour, local.tm_min, local.tm_sec);
    }

    static void VstatsFile(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        engine.options_.vstatsFileName = value;
    }

    // "module|arg|arg" or "module arg arg".
    static void FrameHook(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        const char separator = value.find('|') != std::string::npos ? '|' : ' ';
        std::vector<std::string> arguments;
        size_t pos = 0;
        while (pos <= value.size() && arguments.size() < MAX_VHOOK_ARGUMENTS) {
            size_t end = value.find(separator, pos);
            if (end == std::string::npos)
                end = value.size();
            if (end > pos)
                arguments.push_back(value.substr(pos, end - pos));
            pos = end + 1;
        }
        if (AddHook(engine.hookChain_, arguments) != 0)
            throw FFmpegException("Failed to add video hook function: " + value);
        engine.options_.usingVhook = true;
    }

    static void VideoFilters(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        if (!value.empty())
            engine.options_.vfilters = value;
    }

    // 64 coefficients separated by ","; the matrix keeps what was read before an error.
    static void Matrix(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        std::optional<TMatrix>& matrix = key == "intra_matrix" ? engine.options_.intraMatrix : engine.options_.interMatrix;
        matrix.emplace(); // zeroed
        size_t pos = 0;
        for (int i = 0;; ++i) {
            (*matrix)[i] = static_cast<uint16_t>(std::atoi(value.c_str() + pos));
            if (i == 63)
                break;
            pos = value.find(',', pos);
            if (pos == std::string::npos)
                throw FFmpegException(FormatText("Syntax error in matrix \"%s\" at coeff %d", value.c_str(), i));
            ++pos;
        }
    }

    // Four characters, the first in the lowest byte.
    static void Tag(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        if (value.empty())
            return;
        static const char* const kMessages[] = {"video tag parameter must be 4 chars", "audio tag parameter must be 4 chars",
                                                "", "subtitle tag parameter must be 4 chars"};
        const int kind = KindOfKey(key);
        if (value.size() != 4)
            throw AssertionFailure(std::string(kMessages[kind]) + " (OptionKeys.cpp, line " +
                                   std::to_string(__LINE__) + ")");
        const uint32_t tag = uint32_t(uint8_t(value[0])) | uint32_t(uint8_t(value[1])) << 8 |
                             uint32_t(uint8_t(value[2])) << 16 | uint32_t(uint8_t(value[3])) << 24;
        TOptionState& o = engine.options_;
        (kind == 0 ? o.videoCodecTag : kind == 1 ? o.audioCodecTag : o.subtitleCodecTag) = tag;
    }

    // One more stream of the kind in the most recently opened output.
    static void NewStream(TCustomFFmpeg& engine, const std::string& key, const std::string&)
    {
        if (engine.nbOutputFiles_ == 0)
            throw FFmpegException("At least one output file must be specified");
        const int file = engine.nbOutputFiles_ - 1;
        AVFormatContext* output = engine.outputFiles_[file];
        if (key == "newvideo")
            engine.NewVideoStream(output, file);
        else if (key == "newaudio")
            engine.NewAudioStream(output, file);
        else
            engine.NewSubtitleStream(output, file);
    }

    static void Language(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        TOptionState& o = engine.options_;
        const int kind = KindOfKey(key);
        (kind == 0 ? o.videoLanguage : kind == 1 ? o.audioLanguage : o.subtitleLanguage) = value;
    }

    // "index:value": the stream id of the index-th stream of the next output.
    static void StreamId(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        const size_t colon = value.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
            throw FFmpegException(FormatText("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"",
                                         value.c_str(), key.c_str()));
        const int32_t index = TextToInt32(value.substr(0, colon));
        const int32_t id = TextToInt32(value.substr(colon + 1));
        if (index < 0 || index >= MAX_STREAMS)
            throw FFmpegException(FormatText("Invalid stream index %d for option \"%s\" (0..%d)", index, key.c_str(),
                                         MAX_STREAMS - 1));
        engine.options_.streamIdMap[index] = id;
    }

    static void AudioFormat(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        const int32_t number = TextToInt32(value);
        if (number > 0)
            (key == "ar" ? engine.options_.audioSampleRate : engine.options_.audioChannels) = number;
    }

    static void TvStandard(TCustomFFmpeg& engine, const std::string&, const std::string& value)
    {
        engine.options_.videoStandard = value;
    }

    // "name[=arguments]": the named filter joins the chain of the key's kind.
    static void BitstreamFilter(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        if (value.empty() || value[0] == '=')
            return;
        const std::string name = Trim(value.substr(0, value.find('=')));
        if (av_bsf_get_by_name(name.c_str()) == nullptr)
            throw FFmpegException("Unknown bitstream filter " + Trim(value));
        TOptionState& o = engine.options_;
        const int kind = KindOfKey(key);
        (kind == 0 ? o.videoBitstreamFilters : kind == 1 ? o.audioBitstreamFilters : o.subtitleBitstreamFilters)
            .push_back(name);
    }

    static void Preset(TCustomFFmpeg& engine, const std::string& key, const std::string& value)
    {
        engine.ApplyPreset(key, value);
    }
};

const std::unordered_map<std::string_view, TOptionKeys::TAction>& TOptionKeys::Index()
{
    using S = TOptionState;
    using K = TOptionKeys;
    static const TRow kRows[] = {
        {"L", &K::DoNothing}, {"h", &K::DoNothing}, {"version", &K::DoNothing}, {"formats", &K::DoNothing},
        {"codecs", &K::DoNothing}, {"bsfs", &K::DoNothing}, {"protocols", &K::DoNothing},
        {"filters", &K::DoNothing}, {"i", &K::DoNothing}, {"y", &K::DoNothing}, {"benchmark", &K::DoNothing},
        {"loglevel", &K::LogLevel},
        {"f", &K::FileFormat},
        {"map", &K::StreamMap},
        {"map_meta_data", &K::MetaDataMap},
        {"t", &K::RecordingTime},
        {"fs", &K::FileSizeLimit},
        {"ss", &K::StartTime},
        {"itsoffset", &K::InputTsOffset},
        {"itsscale", &K::InputTsScale},
        {"timestamp", &K::Timestamp},
        {"metadata", &K::Metadata},
        {"dframes", &K::FrameLimit}, {"vframes", &K::FrameLimit}, {"aframes", &K::FrameLimit},
        {"timelimit", &K::TimeLimit},
        {"dump", TFlagKey{&S::doPktDump}}, {"hex", TFlagKey{&S::doHexDump}}, {"re", TFlagKey{&S::rateEmu}},
        {"loop_input", TFlagKey{&S::loopInput}}, {"shortest", TFlagKey{&S::optShortest}},
        {"intra", TFlagKey{&S::intraOnly}}, {"vn", TFlagKey{&S::videoDisable}}, {"sameq", TFlagKey{&S::sameQuality}},
        {"deinterlace", TFlagKey{&S::doDeinterlace}}, {"psnr", TFlagKey{&S::doPsnr}}, {"qphist", TFlagKey{&S::qpHist}},
        {"force_fps", TFlagKey{&S::forceFps}}, {"an", TFlagKey{&S::audioDisable}}, {"sn", TFlagKey{&S::subtitleDisable}},
        {"isync", TFlagKey{&S::inputSync}},
        {"loop_output", TIntegerKey{&S::loopOutput}}, {"vsync", TIntegerKey{&S::videoSyncMethod}},
        {"async", TIntegerKey{&S::audioSyncMethod}}, {"vglobal", TIntegerKey{&S::videoGlobalHeader}},
        {"programid", TIntegerKey{&S::optProgramId}}, {"copyinkf", TIntegerKey{&S::copyInitialNonKeyframes}},
        {"vdt", TIntegerKey{&S::videoDiscard}}, {"dc", TIntegerKey{&S::intraDcPrecision}},
        {"vol", TIntegerKey{&S::audioVolume}},
        {"adrift_threshold", TFloatKey{&S::audioDriftThreshold_s}},
        {"dts_delta_threshold", TFloatKey{&S::dtsDeltaThreshold_s}}, {"aq", TFloatKey{&S::audioQScale}},
        {"muxdelay", TFloatKey{&S::muxMaxDelay_s}}, {"muxpreload", TFloatKey{&S::muxPreload_s}},
        {"v", &K::Verbose},
        {"target", &K::Target},
        {"threads", &K::Refused},
        {"copyts", TAlwaysOnKey{&S::copyTs}}, {"xerror", TAlwaysOnKey{&S::exitOnError}},
        {"b", &K::BitRate}, {"vb", &K::BitRate}, {"ab", &K::BitRate},
        {"r", &K::FrameRate},
        {"s", &K::FrameSize},
        {"aspect", &K::Aspect},
        {"pix_fmt", &K::PixelFormat},
        {"sample_fmt", &K::SampleFormat},
        {"croptop", &K::Crop}, {"cropbottom", &K::Crop}, {"cropleft", &K::Crop}, {"cropright", &K::Crop},
        {"padtop", &K::Padding}, {"padbottom", &K::Padding}, {"padleft", &K::Padding}, {"padright", &K::Padding},
        {"padcolor", &K::Padding},
        {"qscale", &K::QScale},
        {"rc_override", &K::RcOverride},
        {"vcodec", &K::CodecName}, {"acodec", &K::CodecName}, {"scodec", &K::CodecName},
        {"me_threshold", TIntegerKey{&S::meThreshold}}, {"top", TIntegerKey{&S::topFieldFirst}},
        {"vc", TIntegerKey{&S::videoChannel}},
        {"pass", &K::Pass},
        {"passlogfile", &K::PassLogFile},
        {"vstats", &K::Vstats},
        {"vstats_file", &K::VstatsFile},
        {"vhook", &K::FrameHook},
        {"vfilters", &K::VideoFilters}, {"vf", &K::VideoFilters},
        {"intra_matrix", &K::Matrix}, {"inter_matrix", &K::Matrix},
        {"vtag", &K::Tag}, {"atag", &K::Tag}, {"stag", &K::Tag},
        {"newvideo", &K::NewStream}, {"newaudio", &K::NewStream}, {"newsubtitle", &K::NewStream},
        {"vlang", &K::Language}, {"alang", &K::Language}, {"slang", &K::Language},
        {"streamid", &K::StreamId},
        {"ar", &K::AudioFormat}, {"ac", &K::AudioFormat},
        {"tvstd", &K::TvStandard},
        {"absf", &K::BitstreamFilter}, {"vbsf", &K::BitstreamFilter}, {"sbsf", &K::BitstreamFilter},
        {"apre", &K::Preset}, {"vpre", &K::Preset}, {"spre", &K::Preset}, {"fpre", &K::Preset},
    };
    static const auto* index = [] {
        auto* map = new std::unordered_map<std::string_view, TAction>;
        for (const TRow& row : kRows)
            map->emplace(row.key, row.action);
        return map;
    }();
    return *index;
}

void TCustomFFmpeg::SetOption(const std::string& key, const std::string& value)
{
    const auto& index = TOptionKeys::Index();
    const auto found = index.find(key);
    if (found == index.end()) {
        SetGenericOption(key, value); // a key no table knows is ignored
        return;
    }
    struct {
        TCustomFFmpeg& engine;
        const std::string& key;
        const std::string& value;
        void operator()(TOptionKeys::THandler handler) const { handler(engine, key, value); }
        void operator()(TFlagKey flag) const { engine.options_.*flag.field = value != "0"; }
        void operator()(TAlwaysOnKey flag) const { engine.options_.*flag.field = true; }
        void operator()(TIntegerKey number) const { engine.options_.*number.field = TextToInt32(value); }
        void operator()(TFloatKey number) const
        {
            engine.options_.*number.field = static_cast<float>(TextToFloat(value));
        }
    } apply{*this, key, value};
    std::visit(apply, found->second);
}

void TCustomFFmpeg::SetCodecNameOption(int kind, const std::string& value)
{
    if (value.empty())
        return;
    TOptionState& o = options_;
    std::optional<std::string>& name = kind == 0 ? o.videoCodecName : kind == 1 ? o.audioCodecName : o.subtitleCodecName;
    name.reset();
    if (value == "copy")
        (kind == 0 ? o.videoStreamCopy : kind == 1 ? o.audioStreamCopy : o.subtitleStreamCopy) = true;
    else
        name = value;
}

} // namespace qv

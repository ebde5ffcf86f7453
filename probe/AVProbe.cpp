#include "platform/TextFormat.h"
#include "probe/AVProbe.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
#include <libavutil/parseutils.h>
}

#include "platform/Exceptions.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/LibraryErrors.h"
#include "runtime/MediaIO.h"
#include "runtime/UnicodeProtocol.h"

namespace qv {

namespace {

// Libraries the probe needs, in the order they are checked.
const struct {
    TLibraryIndex index;
    const char* message;
} kRequiredLibraries[] = {
    {libAVCodec, "LibAVCodec not loaded."},
    {libAVFormat, "LibAVFormat not loaded."},
    {libAVUtil, "LibAVUtil not loaded."},
    {libSWScale, "LibSwScale not loaded."},
};

// Frame identifiers of ID3v2 tags (2.2 and 2.3/2.4) and the names shown for them.
const struct {
    const char* key;
    const char* shown;
} kMetadataKeyNames[] = {
    {"TALB", "album"},     {"TAL", "album"},          {"TCOM", "composer"},  {"TCON", "genre"},
    {"TCO", "genre"},      {"TCOP", "copyright"},     {"TDRL", "date"},      {"TENC", "encoder"},
    {"TEN", "encoder"},    {"TIT2", "title"},         {"TT2", "title"},      {"TLAN", "language"},
    {"TPE1", "artist"},    {"TP1", "artist"},         {"TPOS", "disc"},      {"TPUB", "publisher"},
    {"TRCK", "track"},     {"TRK", "track"},          {"TSOA", "albumsort"}, {"TSOP", "authorsort"},
    {"TSOT", "titlesort"}, {"TYER", "year"},
};

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;


std::string Trim(const char* text)
{
    if (text == nullptr)
        return {};
    std::string result = text;
    const auto isSpace = [](unsigned char c) { return c <= ' '; };
    while (!result.empty() && isSpace(result.back()))
        result.pop_back();
    size_t start = 0;
    while (start < result.size() && isSpace(result[start]))
        ++start;
    return result.substr(start);
}

const char* Tag(const AVDictionary* metadata, const char* key)
{
    const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
    return entry ? entry->value : nullptr;
}

std::string TagText(const AVDictionary* metadata, const char* key)
{
    const char* value = Tag(metadata, key);
    return value ? value : "";
}

// The leading decimal number of a tag ("3/12" -> 3), at most maxDigits digits; -1 when
// the tag is absent or does not start with a digit.
int32_t LeadingNumber(const char* text, size_t maxDigits)
{
    if (text == nullptr)
        return -1;
    int64_t value = 0;
    size_t digits = 0;
    while (digits < maxDigits && text[digits] >= '0' && text[digits] <= '9') {
        value = value * 10 + (text[digits] - '0');
        if (value > std::numeric_limits<int32_t>::max())
            return -1;
        ++digits;
    }
    return digits == 0 ? -1 : static_cast<int32_t>(value);
}

int32_t ClampToInt32(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

// The recording time: the container's "creation_time" tag, seconds since 1970 UTC.
int64_t RecordingTimestamp(const AVDictionary* metadata)
{
    const char* value = Tag(metadata, "creation_time");
    int64_t time_us = 0;
    if (value == nullptr || av_parse_time(&time_us, value, 0) < 0)
        return -1;
    return time_us / AV_TIME_BASE;
}

// "%d.%.6d": seconds and microseconds, with the sign in front of a negative time.
std::string SecondsText(int64_t time_us)
{
    const uint64_t magnitude = time_us < 0 ? 0 - static_cast<uint64_t>(time_us) : static_cast<uint64_t>(time_us);
    return FormatText("%s%llu.%.6llu", time_us < 0 ? "-" : "", static_cast<unsigned long long>(magnitude / 1000000),
                  static_cast<unsigned long long>(magnitude % 1000000));
}

bool Printable(unsigned value)
{
    return value >= 0x20 && value < 0x7F;
}

// The decoder the libraries' stream-information step uses for a stream: the context's
// forced decoder for the kind, else the first for the id (h264 always by its own name;
// one that avoids probing gives way to another for the same id).
const AVCodec* ProbeDecoder(const AVFormatContext* context, const AVCodecParameters* parameters)
{
    if (parameters->codec_id == AV_CODEC_ID_H264) {
        if (const AVCodec* h264 = avcodec_find_decoder_by_name("h264"))
            return h264;
    }
    const AVCodec* decoder = nullptr;
    switch (parameters->codec_type) {
    case AVMEDIA_TYPE_VIDEO: decoder = context->video_codec; break;
    case AVMEDIA_TYPE_AUDIO: decoder = context->audio_codec; break;
    case AVMEDIA_TYPE_SUBTITLE: decoder = context->subtitle_codec; break;
    case AVMEDIA_TYPE_DATA: decoder = context->data_codec; break;
    default: break;
    }
    if (decoder == nullptr)
        decoder = avcodec_find_decoder(parameters->codec_id);
    if (decoder && (decoder->capabilities & AV_CODEC_CAP_AVOID_PROBING)) {
        void* iterator = nullptr;
        while (const AVCodec* other = av_codec_iterate(&iterator)) {
            if (other->id == decoder->id && av_codec_is_decoder(other) &&
                !(other->capabilities & (AV_CODEC_CAP_AVOID_PROBING | AV_CODEC_CAP_EXPERIMENTAL)))
                return other;
        }
    }
    return decoder;
}

std::string CodecNameText(const AVFormatContext* context, const AVStream* stream, const AVCodecContext* codec)
{
    if (const AVCodec* decoder = ProbeDecoder(context, stream->codecpar)) {
        const std::string longName = Trim(decoder->long_name);
        return longName.empty() ? std::string(decoder->name) : FormatText("%s(%s)", decoder->name, longName.c_str());
    }
    if (codec->codec_id == AV_CODEC_ID_MPEG2TS)
        return "mpeg2ts";
    if (const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec->codec_id)) {
        const std::string name = Trim(std::string(descriptor->name).substr(0, 31).c_str());
        if (!name.empty())
            return name;
    }
    const unsigned tag = codec->codec_tag;
    const unsigned bytes[4] = {tag & 0xFF, (tag >> 8) & 0xFF, (tag >> 16) & 0xFF, tag >> 24};
    if (std::all_of(std::begin(bytes), std::end(bytes), Printable))
        return FormatText("%c%c%c%c / 0x%04X", bytes[0], bytes[1], bytes[2], bytes[3], tag);
    return FormatText("0x%04x", tag);
}

// A decoder context made from the stream's parameters, as the engine makes one: its time
// base is the inverse of the stream's real base frame rate. Not opened.
CodecContextPtr DecoderContext(const AVStream* stream)
{
    CodecContextPtr codec(avcodec_alloc_context3(nullptr));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0)
        return nullptr;
    codec->pkt_timebase = stream->time_base;
    if (stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0)
        codec->time_base = av_inv_q(stream->r_frame_rate);
    return codec;
}

int64_t ToMicroseconds(int64_t value, AVRational timeBase)
{
    return av_rescale_q(value, timeBase, AV_TIME_BASE_Q);
}

void AppendMetadata(std::string& text, const char* indent, const AVDictionary* metadata)
{
    const int count = av_dict_count(metadata);
    if (count == 0)
        return;
    const AVDictionaryEntry* first = av_dict_get(metadata, "", nullptr, AV_DICT_IGNORE_SUFFIX);
    if (count == 1 && std::strcmp(first->key, "language") == 0)
        return;
    text += FormatText("%sMetadata:\n", indent);
    for (const AVDictionaryEntry* entry = first; entry;
         entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX)) {
        if (std::strcmp(entry->key, "language") != 0)
            text += FormatText("%s  %-16s: %s\n", indent, MetadataKeyName(entry->key).c_str(), entry->value);
    }
}

} // namespace

// ---- texts ----------------------------------------------------------------------

std::string FileSizeText(int64_t size_bytes)
{
    constexpr int64_t KB = 1024, MB = KB * 1024, GB = MB * 1024;
    if (size_bytes > GB)
        return FormatText("%.2f GB", static_cast<double>(size_bytes) / GB);
    if (size_bytes > MB)
        return FormatText("%.2f MB", static_cast<double>(size_bytes) / MB);
    if (size_bytes > KB)
        return FormatText("%.2f KB", static_cast<double>(size_bytes) / KB);
    return FormatText("%lld Byte", static_cast<long long>(size_bytes));
}

std::string DurationText(int64_t time_us)
{
    if (time_us == AV_NOPTS_VALUE)
        return "N/A";
    const int64_t ms = time_us / 1000;
    return FormatText("%.2lld:%.2lld:%.2lld.%.3lld", static_cast<long long>(ms / 3600000),
                  static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                  static_cast<long long>(ms % 1000));
}

std::string RateText(double value, const char* unit)
{
    const uint64_t hundredths = static_cast<uint64_t>(std::llround(value * 100));
    if (hundredths % 100 != 0)
        return FormatText(", %3.2f %s", value, unit);
    if (hundredths % (100 * 1000) != 0)
        return FormatText(", %1.0f %s", value, unit);
    return FormatText(", %1.0fk %s", value / 1000, unit);
}

std::string MetadataKeyName(const std::string& key)
{
    for (const auto& row : kMetadataKeyNames) {
        if (key == row.key)
            return row.shown;
    }
    return key;
}

// ---- the probe ------------------------------------------------------------------

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe()
{
    CloseContext();
}

void TCustomAVProbe::CheckLibraries() const
{
    for (const auto& library : kRequiredLibraries) {
        if (!FFLoader().LibraryLoaded(library.index))
            throw FFmpegException(library.message);
    }
}

void TCustomAVProbe::Fail(TLogLevel level, const std::string& message)
{
    Logger().Log(this, level, message);
    lastError_ = message;
}

bool TCustomAVProbe::LoadFile(const std::string& fileName, const std::string& formatName)
{
    CheckLibraries();
    Close();

    const AVInputFormat* format = nullptr;
    if (!formatName.empty()) {
        format = av_find_input_format(formatName.c_str());
        if (format == nullptr) {
            lastError_ = "Unknown input format: " + formatName;
            return false;
        }
    }

    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr) {
        Fail(llError, LibraryErrorText(fileName, AVERROR(ENOMEM)));
        return false;
    }
    context->flags |= AVFMT_FLAG_NONBLOCK;
    int result = OpenInputByName(&context, fileName, format, nullptr);
    if (result < 0) {
        Fail(llError, LibraryErrorText(fileName, result));
        Close();
        return false;
    }
    context_ = context;
    ownsContext_ = true;

    {
        std::lock_guard lock(CodecLock());
        result = avformat_find_stream_info(context_, nullptr);
    }
    if (result < 0) {
        lastError_ = fileName + ": could not find codec parameters";
        Close();
        return false;
    }
    Analyze();
    forcedFormat_ = formatName;
    return true;
}

void TCustomAVProbe::AttachContext(AVFormatContext* context)
{
    CheckLibraries();
    Close();
    context_ = context;
    ownsContext_ = false;
    Analyze();
}

void TCustomAVProbe::Close()
{
    forcedFormat_.clear();
    CloseContext();
    Analyze();
}

void TCustomAVProbe::CloseContext()
{
    if (context_ && ownsContext_) {
        std::lock_guard lock(CodecLock());
        CloseInput(&context_);
    }
    context_ = nullptr;
    ownsContext_ = false;
}

void TCustomAVProbe::Analyze()
{
    fileSize_ = -1;
    streamCount_ = programCount_ = -1;
    audioStreamCount_ = videoStreamCount_ = subtitleStreamCount_ = -1;
    firstAudioStream_ = firstVideoStream_ = firstSubtitleStream_ = -1;
    if (context_ == nullptr)
        return;

    // The I/O context knows the size of what it reads; for inputs without one (or
    // without a size) ask the file system about the file the container names.
    const int64_t containerSize = context_->pb ? avio_size(context_->pb) : -1;
    if (containerSize > 0) {
        fileSize_ = containerSize;
    } else {
        const std::string name = LibraryURLToName(context_->url ? context_->url : "");
        struct stat info {};
        if (!name.empty() && ::stat(name.c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
            fileSize_ = info.st_size;
        else
            fileSize_ = containerSize < 0 ? -1 : containerSize;
    }

    streamCount_ = static_cast<int32_t>(context_->nb_streams);
    programCount_ = static_cast<int32_t>(context_->nb_programs);
    audioStreamCount_ = videoStreamCount_ = subtitleStreamCount_ = 0;
    for (int i = 0; i < streamCount_; ++i) {
        switch (context_->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            if (videoStreamCount_++ == 0)
                firstVideoStream_ = i;
            break;
        case AVMEDIA_TYPE_AUDIO:
            if (audioStreamCount_++ == 0)
                firstAudioStream_ = i;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (subtitleStreamCount_++ == 0)
                firstSubtitleStream_ = i;
            break;
        default:
            break;
        }
    }
}

std::string TCustomAVProbe::FileName() const
{
    return context_ && context_->url ? LibraryURLToName(context_->url) : std::string();
}

std::string TCustomAVProbe::FormatName() const
{
    return context_ && context_->iformat ? context_->iformat->name : "";
}

std::string TCustomAVProbe::FormatLongName() const
{
    return context_ && context_->iformat && context_->iformat->long_name ? context_->iformat->long_name : "";
}

void TCustomAVProbe::GetFileStreamInfo(TFileStreamInfo& info)
{
    info = TFileStreamInfo{};
    if (context_ == nullptr) {
        Fail(llWarning, "file not loaded.");
        return;
    }
    if (context_->start_time != AV_NOPTS_VALUE)
        info.StartTime = context_->start_time;
    if (context_->duration != AV_NOPTS_VALUE)
        info.Duration = context_->duration;
    info.BitRate = ClampToInt32(context_->bit_rate);
    const AVDictionary* tags = context_->metadata;
    info.Timestamp = RecordingTimestamp(tags);
    // Years come as a "year" tag or at the front of a "date" tag.
    info.Year = Tag(tags, "year") ? LeadingNumber(Tag(tags, "year"), 9) : LeadingNumber(Tag(tags, "date"), 4);
    info.Track = LeadingNumber(Tag(tags, "track"), 9);
    info.Title = TagText(tags, "title");
    // Today's demuxers name the author "artist".
    info.Author = Tag(tags, "author") ? TagText(tags, "author") : TagText(tags, "artist");
    info.Copyright = TagText(tags, "copyright");
    info.Comment = TagText(tags, "comment");
    info.Album = TagText(tags, "album");
    info.Genre = TagText(tags, "genre");
}

AVStream* TCustomAVProbe::QueryStream(int index, int kind)
{
    if (context_ == nullptr) {
        Fail(llWarning, "file not loaded.");
        return nullptr;
    }
    const bool audio = kind == AVMEDIA_TYPE_AUDIO;
    if (index < 0) {
        index = audio ? firstAudioStream_ : firstVideoStream_;
        if (index < 0) {
            Fail(llError, audio ? "no audio stream." : "no video stream.");
            return nullptr;
        }
    } else if (index >= streamCount_) {
        Fail(llError, FormatText("stream index #%d is invalid.", index));
        return nullptr;
    }
    AVStream* stream = context_->streams[index];
    if (stream->codecpar->codec_type != kind) {
        Fail(llError, FormatText("stream #%d is not %s stream.", index, audio ? "audio" : "video"));
        return nullptr;
    }
    // A time base without a denominator is repaired for everyone who reads it later.
    if (stream->time_base.den == 0)
        stream->time_base.den = stream->time_base.num != 0 ? stream->time_base.num : 1;
    return stream;
}

void TCustomAVProbe::FillCommon(AVStream* stream, const AVCodecContext* codec, TStreamCommonInfo& info) const
{
    info.Language = TagText(stream->metadata, "language");
    info.CodecName = CodecNameText(context_, stream, codec);
    if (stream->start_time != AV_NOPTS_VALUE) {
        info.RawStartTime = stream->start_time;
        info.StartTime = ToMicroseconds(info.RawStartTime, stream->time_base);
    }
    if (stream->duration != AV_NOPTS_VALUE) {
        info.RawDuration = stream->duration;
        info.Duration = ToMicroseconds(info.RawDuration, stream->time_base);
    }
    info.BitRate = ClampToInt32(codec->bit_rate);
}

void TCustomAVProbe::GetAudioStreamInfo(int index, TAudioStreamInfo& info)
{
    info = TAudioStreamInfo{};
    AVStream* stream = QueryStream(index, AVMEDIA_TYPE_AUDIO);
    if (stream == nullptr)
        return;
    const CodecContextPtr codec = DecoderContext(stream);
    if (!codec)
        return;
    FillCommon(stream, codec.get(), info);
    info.Channels = codec->ch_layout.nb_channels;
    info.SampleRate = codec->sample_rate;
    info.SampleFormat = codec->sample_fmt;
}

void TCustomAVProbe::GetVideoStreamInfo(int index, TVideoStreamInfo& info)
{
    info = TVideoStreamInfo{};
    AVStream* stream = QueryStream(index, AVMEDIA_TYPE_VIDEO);
    if (stream == nullptr)
        return;
    const CodecContextPtr codec = DecoderContext(stream);
    if (!codec)
        return;
    FillCommon(stream, codec.get(), info);
    info.Height = codec->height;
    info.Width = codec->width;
    const AVRational sar = codec->sample_aspect_ratio;
    info.DisplayAspectRatio = (sar.num != 0 && sar.den != 0 && codec->height > 0)
                                  ? static_cast<float>(av_q2d(sar) * codec->width / codec->height)
                                  : 0.0f;
    info.PixelFormat = codec->pix_fmt;
    info.FrameRateNum = stream->r_frame_rate.num;
    info.FrameRateDen = stream->r_frame_rate.den;
}

void TCustomAVProbe::AppendStreamLine(std::string& text, int index) const
{
    const AVStream* stream = context_->streams[index];
    const CodecContextPtr codec = DecoderContext(stream);
    std::string line = FormatText("Stream #%d", index);
    if (context_->iformat && (context_->iformat->flags & AVFMT_SHOW_IDS))
        line += FormatText("[0x%x]", stream->id);
    if (const char* language = Tag(stream->metadata, "language"))
        line += FormatText("(%s)", language);
    const AVRational timeBase = stream->time_base;
    int64_t divisor = av_gcd(timeBase.num, timeBase.den);
    if (divisor == 0)
        divisor = 1;
    line += FormatText(", %d/%d", static_cast<int>(timeBase.num / divisor), static_cast<int>(timeBase.den / divisor));

    char description[256] = "";
    if (codec)
        avcodec_string(description, sizeof description, codec.get(), 0);
    line += ": ";
    line += description;

    if (codec) {
        const AVRational sar = stream->sample_aspect_ratio;
        if (sar.num != 0 && av_cmp_q(sar, codec->sample_aspect_ratio) != 0) {
            AVRational dar{};
            av_reduce(&dar.num, &dar.den, static_cast<int64_t>(codec->width) * sar.num,
                      static_cast<int64_t>(codec->height) * sar.den, 1024 * 1024);
            line += FormatText(", PAR %d:%d DAR %d:%d", sar.num, sar.den, dar.num, dar.den);
        }
        if (codec->codec_type == AVMEDIA_TYPE_VIDEO) {
            const struct {
                AVRational rate;
                const char* unit;
            } rates[] = {
                {stream->avg_frame_rate, "fps"},
                {stream->r_frame_rate, "tbr"},
                {av_inv_q(timeBase), "tbn"},
                {av_inv_q(codec->time_base), "tbc"},
            };
            for (const auto& rate : rates) {
                if (rate.rate.num != 0 && rate.rate.den != 0)
                    line += RateText(av_q2d(rate.rate), rate.unit);
            }
        }
    }
    if (stream->start_time != AV_NOPTS_VALUE && timeBase.den != 0)
        line += ", StartTime: " + SecondsText(ToMicroseconds(stream->start_time, timeBase));
    const bool hasDuration = stream->duration != AV_NOPTS_VALUE && stream->duration >= 0 && timeBase.den != 0;
    line += ", Duration: " + (hasDuration ? DurationText(ToMicroseconds(stream->duration, timeBase)) : "N/A");
    text += line + "\n";
    AppendMetadata(text, "  ", stream->metadata);
}

std::string TCustomAVProbe::InfoText()
{
    if (context_ == nullptr) {
        Fail(llWarning, "file not loaded.");
        return {};
    }
    std::string text;
    text += "File Name: " + FileName() + "\n";
    text += "Format Name: " + FormatName() + "\n";
    text += "Format Long Name: " + FormatLongName() + "\n";
    text += "File Size: " + FileSizeText(fileSize_) + "\n";
    const int64_t duration_us = context_->duration;
    text += "Duration: " + (duration_us != AV_NOPTS_VALUE && duration_us >= 0 ? DurationText(duration_us) : "N/A") +
            "\n";
    if (context_->start_time != AV_NOPTS_VALUE && context_->start_time >= 0)
        text += "StartTime: " + SecondsText(context_->start_time) + "\n";
    if (context_->bit_rate >= 1)
        text += FormatText("Bit Rate: %lld kb/s\n", static_cast<long long>(context_->bit_rate / 1000));
    else
        text += "Bit Rate: N/A\n";
    if (const int64_t timestamp = RecordingTimestamp(context_->metadata); timestamp > 0) {
        const time_t seconds = static_cast<time_t>(timestamp);
        struct tm local {};
        localtime_r(&seconds, &local);
        char stamp[64];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        text += FormatText("Time Stamp: %s\n", stamp);
    }
    AppendMetadata(text, "", context_->metadata);

    std::vector<bool> printed(context_->nb_streams, false);
    for (unsigned p = 0; p < context_->nb_programs; ++p) {
        const AVProgram* program = context_->programs[p];
        // Older demuxers called the program tags "provider_name" and "name".
        const char* provider = Tag(program->metadata, "provider_name");
        if (provider == nullptr)
            provider = Tag(program->metadata, "service_provider");
        const char* name = Tag(program->metadata, "name");
        if (name == nullptr)
            name = Tag(program->metadata, "service_name");
        text += FormatText("Program %d %s@%s\n", program->id, provider ? provider : "N/A", name ? name : "N/A");
        AppendMetadata(text, "  ", program->metadata);
        for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
            const unsigned index = program->stream_index[k];
            if (index < context_->nb_streams) {
                AppendStreamLine(text, static_cast<int>(index));
                printed[index] = true;
            }
        }
    }
    for (unsigned i = 0; i < context_->nb_streams; ++i) {
        if (!printed[i])
            AppendStreamLine(text, static_cast<int>(i));
    }
    return text;
}

} // namespace qv

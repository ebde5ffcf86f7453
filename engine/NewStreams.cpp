// Adding video, audio and subtitle streams to an output from the option state. Each
// stream gets an encoder context of ours, which the transcode opens later.
#include <cmath>
#include <cstdlib>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "engine/FFmpeg.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {

// Lambda units per quantizer step.
constexpr float QP_TO_LAMBDA = 118.0f;

AVRational SampleAspect(int width, int height, float aspect)
{
    const double value = width * height != 0 ? static_cast<double>(height) * aspect / width : aspect * 3.0 / 4.0;
    return av_d2q(value, 255);
}

void ChoosePixelFormat(AVCodecContext* codec, const AVCodec* encoder, int strictness)
{
    if (encoder == nullptr || encoder->pix_fmts == nullptr)
        return;
    for (const AVPixelFormat* p = encoder->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == codec->pix_fmt)
            return;
    }
    // MJPEG's full-range formats stay when the caller asked for unofficial output.
    if (encoder->id == AV_CODEC_ID_MJPEG && strictness < 0 &&
        (codec->pix_fmt == AV_PIX_FMT_YUV420P || codec->pix_fmt == AV_PIX_FMT_YUV422P))
        return;
    codec->pix_fmt = encoder->pix_fmts[0];
}

void ChooseSampleFormat(AVCodecContext* codec, const AVCodec* encoder)
{
    if (encoder == nullptr || encoder->sample_fmts == nullptr)
        return;
    for (const AVSampleFormat* p = encoder->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p) {
        if (*p == codec->sample_fmt)
            return;
    }
    codec->sample_fmt = encoder->sample_fmts[0];
}

void ChooseSampleRate(AVCodecContext* codec, const AVCodec* encoder, const void* logSender)
{
    if (encoder == nullptr || encoder->supported_samplerates == nullptr)
        return;
    int best = 0;
    int bestDistance = std::numeric_limits<int>::max();
    for (const int* rate = encoder->supported_samplerates; *rate != 0; ++rate) {
        const int distance = std::abs(codec->sample_rate - *rate);
        if (distance < bestDistance) {
            best = *rate;
            bestDistance = distance;
        }
    }
    if (best != codec->sample_rate) {
        Logger().LogFmt(logSender, llWarning, "Requested sampling rate unsupported using closest supported (%d)", best);
        codec->sample_rate = best;
    }
}

// "start,end,q/start,end,q/..."; q > 0 is a quantizer, q <= 0 a quality factor in percent.
void ParseRateControlOverride(AVCodecContext* codec, const std::string& text)
{
    std::vector<RcOverride> entries;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('/', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string group = text.substr(begin, end - begin);
        int start = 0, stop = 0, q = 0;
        if (std::sscanf(group.c_str(), "%d,%d,%d", &start, &stop, &q) != 3)
            throw FFmpegException("error parsing rc_override");
        RcOverride entry{};
        entry.start_frame = start;
        entry.end_frame = stop;
        if (q > 0) {
            entry.qscale = q;
            entry.quality_factor = 1.0f;
        } else {
            entry.qscale = 0;
            entry.quality_factor = -q / 100.0f;
        }
        entries.push_back(entry);
        if (end == text.size())
            break;
        begin = end + 1;
    }
    codec->rc_override = static_cast<RcOverride*>(av_malloc_array(entries.size(), sizeof(RcOverride)));
    if (codec->rc_override == nullptr)
        throw FFmpegException("error parsing rc_override");
    std::copy(entries.begin(), entries.end(), codec->rc_override);
    codec->rc_override_count = static_cast<int>(entries.size());
}

uint16_t* CopyMatrix(const TMatrix& matrix)
{
    auto* copy = static_cast<uint16_t*>(av_malloc(sizeof(uint16_t) * 64));
    if (copy)
        std::copy(matrix.begin(), matrix.end(), copy);
    return copy;
}

} // namespace

// Creates the stream and its encoder context; the kind's codec name is freed first when
// the stream cannot be made.
// The context takes the encoder's own defaults (libx264 refuses the generic ones).
static AVCodecContext* CreateStream(AVFormatContext* output, const std::array<int32_t, MAX_STREAMS>& idMap,
                                    std::optional<std::string>& codecName, AVMediaType kind, AVStream*& stream,
                                    const AVCodec* encoder)
{
    const unsigned index = output->nb_streams;
    stream = index < MAX_STREAMS ? avformat_new_stream(output, nullptr) : nullptr;
    AVCodecContext* codec = stream ? avcodec_alloc_context3(encoder) : nullptr;
    if (codec == nullptr) {
        codecName.reset();
        throw FFmpegException("Could not alloc stream");
    }
    stream->id = idMap[index];
    codec->codec_type = kind;
    return codec;
}

const AVCodec* TCustomFFmpeg::ChooseEncoder(const AVFormatContext* output, AVMediaType kind,
                                            const std::optional<std::string>& name, int kindIndex,
                                            AVCodecID& guessedId)
{
    guessedId = AV_CODEC_ID_NONE;
    if (name) {
        const AVCodecContext* set = genericCodecOptions_[kindIndex];
        const AVCodec* encoder = nullptr;
        if (!FindCodecByName(*name, kind, true, set ? set->strict_std_compliance : 0, encoder))
            throw FFmpegException(lastError_);
        return encoder;
    }
    // The container's own choice for the kind.
    guessedId = av_guess_codec(output->oformat, nullptr, output->url, nullptr, kind);
    return avcodec_find_encoder(guessedId);
}

TCustomFFmpeg::TNewStream TCustomFFmpeg::BeginStream(AVFormatContext* output, int fileIndex, AVMediaType kind,
                                                     int kindIndex, bool streamCopy,
                                                     std::optional<std::string>& codecName,
                                                     std::vector<std::string>& bitstreamFilters, uint32_t codecTag)
{
    TNewStream made;
    if (!streamCopy)
        made.encoder = ChooseEncoder(output, kind, codecName, kindIndex, made.guessedId);
    made.codec = CreateStream(output, options_.streamIdMap, codecName, kind, made.stream, made.encoder);
    outputStreamCodecs_[fileIndex][made.stream->index] = made.codec;
    made.setup = &outputStreamSetup_[fileIndex][made.stream->index];
    made.setup->bitstreamFilters = std::move(bitstreamFilters);
    bitstreamFilters.clear();
    made.codec->thread_count = options_.threadCount;
    if (codecTag)
        made.codec->codec_tag = codecTag;
    if (streamCopy) {
        made.setup->streamCopy = true;
    } else {
        if (codecName)
            made.setup->encoderByName = made.encoder;
        made.setup->encoder = made.encoder;
        made.codec->codec_id = made.encoder ? made.encoder->id : made.guessedId;
    }
    return made;
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext* output, int fileIndex)
{
    TOptionState& o = options_;
    const TNewStream made = BeginStream(output, fileIndex, AVMEDIA_TYPE_VIDEO, 0, o.videoStreamCopy, o.videoCodecName,
                                        o.videoBitstreamFilters, o.videoCodecTag);
    AVStream* stream = made.stream;
    AVCodecContext* codec = made.codec;
    TOutputStreamSetup& setup = *made.setup;
    const AVCodec* encoder = made.encoder;
    if ((o.videoGlobalHeader & 1) || (o.videoGlobalHeader == 0 && (output->oformat->flags & AVFMT_GLOBALHEADER))) {
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (genericCodecOptions_[0])
            genericCodecOptions_[0]->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (o.videoGlobalHeader & 2) {
        codec->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
        if (genericCodecOptions_[0])
            genericCodecOptions_[0]->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    }

    if (o.videoStreamCopy) {
        codec->sample_aspect_ratio = SampleAspect(o.frameWidth, o.frameHeight, o.frameAspectRatio);
        stream->sample_aspect_ratio = codec->sample_aspect_ratio;
    } else {
        AVRational rate = o.frameRate.num != 0 ? o.frameRate : AVRational{25, 1};
        if (genericCodecOptions_[0])
            ApplyGenericOptions(codec, genericCodecOptions_[0], gmEncodeVideo);
        if (encoder && encoder->supported_framerates && !o.forceFps)
            rate = encoder->supported_framerates[av_find_nearest_q_idx(rate, encoder->supported_framerates)];
        codec->time_base = AVRational{rate.den, rate.num};
        codec->framerate = rate;
        stream->avg_frame_rate = rate;
        codec->width = o.frameWidth;
        codec->height = o.frameHeight;
        codec->sample_aspect_ratio = SampleAspect(o.frameWidth, o.frameHeight, o.frameAspectRatio);
        stream->sample_aspect_ratio = codec->sample_aspect_ratio;
        codec->pix_fmt = o.framePixFmt;
        ChoosePixelFormat(codec, encoder, codec->strict_std_compliance);

        if (o.intraOnly)
            codec->gop_size = 0;
        if (o.videoQScale != 0 || o.sameQuality) {
            codec->flags |= AV_CODEC_FLAG_QSCALE;
            setup.quality = QP_TO_LAMBDA * o.videoQScale;
            codec->global_quality = static_cast<int>(setup.quality);
        }
        if (o.intraMatrix)
            codec->intra_matrix = CopyMatrix(*o.intraMatrix);
        if (o.interMatrix)
            codec->inter_matrix = CopyMatrix(*o.interMatrix);
        if (o.videoRcOverride && !o.videoRcOverride->empty())
            ParseRateControlOverride(codec, *o.videoRcOverride);
        if (codec->rc_initial_buffer_occupancy == 0)
            codec->rc_initial_buffer_occupancy = codec->rc_buffer_size * 3 / 4;
        codec->intra_dc_precision = o.intraDcPrecision - 8;
        if (o.doPsnr)
            codec->flags |= AV_CODEC_FLAG_PSNR;
        if (o.doPass == 1)
            codec->flags |= AV_CODEC_FLAG_PASS1;
        else if (o.doPass == 2)
            codec->flags |= AV_CODEC_FLAG_PASS2;
    }

    if (!o.videoLanguage.empty()) {
        av_dict_set(&stream->metadata, "language", o.videoLanguage.c_str(), 0);
        o.videoLanguage.clear();
    }
    o.videoDisable = false;
    o.videoCodecName.reset();
    o.videoStreamCopy = false;
    o.framePixFmt = AV_PIX_FMT_NONE;
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* output, int fileIndex)
{
    TOptionState& o = options_;
    const TNewStream made = BeginStream(output, fileIndex, AVMEDIA_TYPE_AUDIO, 1, o.audioStreamCopy, o.audioCodecName,
                                        o.audioBitstreamFilters, o.audioCodecTag);
    AVStream* stream = made.stream;
    AVCodecContext* codec = made.codec;
    TOutputStreamSetup& setup = *made.setup;
    const AVCodec* encoder = made.encoder;
    if (output->oformat->flags & AVFMT_GLOBALHEADER) {
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (genericCodecOptions_[1])
            genericCodecOptions_[1]->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }

    if (o.audioStreamCopy) {
        av_channel_layout_default(&codec->ch_layout, o.audioChannels);
        codec->sample_rate = o.audioSampleRate;
    } else {
        if (genericCodecOptions_[1])
            ApplyGenericOptions(codec, genericCodecOptions_[1], gmEncodeAudio);
        if (o.audioQScale > NO_AUDIO_QSCALE) {
            codec->flags |= AV_CODEC_FLAG_QSCALE;
            setup.quality = QP_TO_LAMBDA * o.audioQScale;
            codec->global_quality = static_cast<int>(setup.quality);
        }
        // The option's layout when it has the requested number of channels, else the
        // usual layout for that number.
        AVChannelLayout layout{};
        if (o.audioChannelLayout != 0)
            av_channel_layout_from_mask(&layout, o.audioChannelLayout);
        if (layout.nb_channels != o.audioChannels) {
            av_channel_layout_uninit(&layout);
            av_channel_layout_default(&layout, o.audioChannels);
        }
        av_channel_layout_uninit(&codec->ch_layout);
        codec->ch_layout = layout;
        codec->sample_fmt = o.audioSampleFmt;
        codec->sample_rate = o.audioSampleRate;
        ChooseSampleFormat(codec, encoder);
        ChooseSampleRate(codec, encoder, this);
    }

    codec->time_base = AVRational{1, o.audioSampleRate > 0 ? o.audioSampleRate : 1};
    if (!o.audioLanguage.empty()) {
        av_dict_set(&stream->metadata, "language", o.audioLanguage.c_str(), 0);
        o.audioLanguage.clear();
    }
    o.audioDisable = false;
    o.audioCodecName.reset();
    o.audioStreamCopy = false;
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* output, int fileIndex)
{
    TOptionState& o = options_;
    // Without a name the container's default subtitle encoder is used, as for the other
    // kinds (a file with subtitles would otherwise fail for want of an encoder).
    const TNewStream made = BeginStream(output, fileIndex, AVMEDIA_TYPE_SUBTITLE, 3, o.subtitleStreamCopy,
                                        o.subtitleCodecName, o.subtitleBitstreamFilters, o.subtitleCodecTag);
    AVStream* stream = made.stream;
    if (!o.subtitleStreamCopy && genericCodecOptions_[3])
        ApplyGenericOptions(made.codec, genericCodecOptions_[3], gmSubtitle);

    if (!o.subtitleLanguage.empty()) {
        av_dict_set(&stream->metadata, "language", o.subtitleLanguage.c_str(), 0);
        o.subtitleLanguage.clear();
    }
    o.subtitleDisable = false;
    o.subtitleCodecName.reset();
    o.subtitleStreamCopy = false;
}

} // namespace qv

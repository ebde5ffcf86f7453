// The audio output path: from a decoded block of an input stream to encoded packets
// of one output stream. The block is kept in step with its input timestamps (silence
// inserted, samples dropped, or the resampler stretched), converted to the encoder's
// channels, rate and sample format, queued, cut into encoder frames and encoded.
//
// Threads: runs on the job's thread; the run's buffers and the stream state are its own.
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "engine/FFmpeg.h"
#include "engine/OutputSync.h"
#include "platform/TextFormat.h"
#include "engine/Transcode.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {

// Resampler quality, as the engine has always used it.
constexpr int RESAMPLE_FILTER_LENGTH = 16;
constexpr int RESAMPLE_PHASE_SHIFT = 10;
constexpr double RESAMPLE_CUTOFF = 0.8;
constexpr int FIFO_INITIAL_SAMPLES = 1024;

int PlaneCount(AVSampleFormat format, int channels)
{
    return av_sample_fmt_is_planar(format) ? channels : 1;
}

// The plane pointers of a block, starting offset samples into it.
std::vector<const uint8_t*> PlanesFrom(const uint8_t* const* data, AVSampleFormat format, int channels,
                                       int64_t offset)
{
    const int planes = PlaneCount(format, channels);
    const int64_t step = av_get_bytes_per_sample(format) * (av_sample_fmt_is_planar(format) ? 1 : channels);
    std::vector<const uint8_t*> out(planes);
    for (int p = 0; p < planes; ++p)
        out[p] = data[p] + offset * step;
    return out;
}

// A layout swr can work with: an unspecified order becomes the usual one for the count.
AVChannelLayout UsableLayout(const AVChannelLayout& layout)
{
    AVChannelLayout out{};
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_copy(&out, &layout) < 0)
        av_channel_layout_default(&out, layout.nb_channels);
    return out;
}

template <typename T, typename Wide>
void ScaleIntegers(uint8_t* data, size_t count, int volume, Wide low, Wide high, Wide bias)
{
    auto* samples = reinterpret_cast<T*>(data);
    for (size_t i = 0; i < count; ++i) {
        const Wide value = (static_cast<Wide>(samples[i]) - bias) * volume + 128;
        samples[i] = static_cast<T>(std::clamp<Wide>(value >> 8, low, high) + bias);
    }
}

template <typename T>
void ScaleFloats(uint8_t* data, size_t count, int volume)
{
    auto* samples = reinterpret_cast<T*>(data);
    const T factor = static_cast<T>(volume) / 256;
    for (size_t i = 0; i < count; ++i)
        samples[i] = std::clamp<T>(samples[i] * factor, -1, 1);
}

} // namespace

void TCustomFFmpeg::SetUpAudioEncoding(TTranscodeRun&, TInputStream& ist, TOutputStream& ost)
{
    AVCodecContext* enc = ost.enc;
    // The FIFO holds samples in the encoder's format; a format still unknown here is
    // settled when the encoder opens, and the FIFO is then made with the first block.
    if (enc->sample_fmt != AV_SAMPLE_FMT_NONE && enc->ch_layout.nb_channels > 0) {
        ost.fifo = av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, FIFO_INITIAL_SAMPLES);
        if (ost.fifo == nullptr)
            throw FFmpegException("av_fifo_alloc fail");
    }
    ost.swrInFormat = AV_SAMPLE_FMT_NONE;
    ost.swrInChannels = 0;
    ost.swrInRate = 0;
    ost.audioResample = ist.dec->sample_rate != enc->sample_rate || options_.audioSyncMethod > 1;
    ist.decodingNeeded = true;
    ost.encodingNeeded = true;
}

void TCustomFFmpeg::ApplyVolume(AVFrame* frame) const
{
    const int volume = options_.audioVolume;
    if (volume == 256 || frame == nullptr || frame->nb_samples <= 0)
        return;
    if (av_frame_make_writable(frame) < 0)
        return;
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const bool planar = av_sample_fmt_is_planar(format);
    const int planes = planar ? channels : 1;
    const size_t perPlane = static_cast<size_t>(frame->nb_samples) * (planar ? 1 : channels);
    for (int p = 0; p < planes; ++p) {
        uint8_t* data = frame->extended_data[p];
        switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8: ScaleIntegers<uint8_t, int32_t>(data, perPlane, volume, -128, 127, 128); break;
        case AV_SAMPLE_FMT_S16: ScaleIntegers<int16_t, int32_t>(data, perPlane, volume, INT16_MIN, INT16_MAX, 0); break;
        case AV_SAMPLE_FMT_S32: ScaleIntegers<int32_t, int64_t>(data, perPlane, volume, INT32_MIN, INT32_MAX, 0); break;
        case AV_SAMPLE_FMT_S64:
            ScaleIntegers<int64_t, __int128>(data, perPlane, volume, INT64_MIN, INT64_MAX, 0);
            break;
        case AV_SAMPLE_FMT_FLT: ScaleFloats<float>(data, perPlane, volume); break;
        case AV_SAMPLE_FMT_DBL: ScaleFloats<double>(data, perPlane, volume); break;
        default: break;
        }
    }
}

void TCustomFFmpeg::OpenAudioConverter(TOutputStream& ost, const AVFrame* decoded)
{
    const auto inFormat = static_cast<AVSampleFormat>(decoded->format);
    const int inChannels = decoded->ch_layout.nb_channels;
    const int inRate = decoded->sample_rate;
    if (ost.swr && ost.swrInFormat == inFormat && ost.swrInChannels == inChannels && ost.swrInRate == inRate)
        return;
    // Made once per stream; only a decoder that changes its output mid-stream makes
    // a new one.
    swr_free(&ost.swr);
    AVCodecContext* enc = ost.enc;
    AVChannelLayout inLayout = UsableLayout(decoded->ch_layout);
    AVChannelLayout outLayout = UsableLayout(enc->ch_layout);
    int result = swr_alloc_set_opts2(&ost.swr, &outLayout, enc->sample_fmt, enc->sample_rate, &inLayout, inFormat,
                                     inRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (result >= 0) {
        av_opt_set_int(ost.swr, "filter_size", RESAMPLE_FILTER_LENGTH, 0);
        av_opt_set_int(ost.swr, "phase_shift", RESAMPLE_PHASE_SHIFT, 0);
        av_opt_set_int(ost.swr, "linear_interp", 0, 0);
        av_opt_set_double(ost.swr, "cutoff", RESAMPLE_CUTOFF, 0);
        // Drift compensation needs the resampler even when the rates agree.
        if (options_.audioSyncMethod > 1)
            av_opt_set_int(ost.swr, "flags", SWR_FLAG_RESAMPLE, 0);
        result = swr_init(ost.swr);
    }
    if (result < 0) {
        swr_free(&ost.swr);
        if (ost.audioResample)
            throw FFmpegException(FormatText("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                             inChannels, inRate, enc->ch_layout.nb_channels, enc->sample_rate));
        const char* inName = av_get_sample_fmt_name(inFormat);
        const char* outName = av_get_sample_fmt_name(enc->sample_fmt);
        throw FFmpegException(FormatText("Cannot convert %s sample format to %s sample format",
                                         inName ? inName : "none", outName ? outName : "none"));
    }
    ost.swrInFormat = inFormat;
    ost.swrInChannels = inChannels;
    ost.swrInRate = inRate;
}

void TCustomFFmpeg::SendAudioFrame(TTranscodeRun& run, TOutputStream& ost, AVFrame* frame)
{
    AVCodecContext* enc = ost.enc;
    frame->pts = av_rescale_q(ost.syncOpts, AVRational{1, enc->sample_rate}, enc->time_base);
    EncodeAndWrite(run, ost, frame);
    ost.syncOpts += frame->nb_samples;
    ++ost.frameNumber;
}

namespace {

// The stream's frame of nbSamples samples in the encoder's format, ready to be written:
// reused while the encoder holds no reference to it.
AVFrame* EncoderAudioFrame(TOutputStream& ost, int nbSamples)
{
    AVCodecContext* enc = ost.enc;
    if (ost.audioFrame == nullptr && (ost.audioFrame = av_frame_alloc()) == nullptr)
        throw FFmpegException("Out of memory in do_audio_out");
    AVFrame* frame = ost.audioFrame;
    if (frame->buf[0] && frame->nb_samples == nbSamples && av_frame_make_writable(frame) >= 0)
        return frame;
    av_frame_unref(frame);
    frame->format = enc->sample_fmt;
    frame->sample_rate = enc->sample_rate;
    frame->nb_samples = nbSamples;
    if (av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 || av_frame_get_buffer(frame, 0) < 0)
        throw FFmpegException("Out of memory in do_audio_out");
    return frame;
}

} // namespace

void TCustomFFmpeg::QueueAudioSamples(TTranscodeRun& run, TOutputStream& ost, const uint8_t* const* samples,
                                      int nbSamples)
{
    AVCodecContext* enc = ost.enc;
    const int channels = enc->ch_layout.nb_channels;
    if (nbSamples <= 0)
        return;
    if (enc->frame_size <= 1) {
        // Sample-based encoders (PCM and the like) take each block whole.
        AVFrame* frame = EncoderAudioFrame(ost, nbSamples);
        av_samples_copy(frame->extended_data, const_cast<uint8_t* const*>(samples), 0, 0, nbSamples, channels,
                        enc->sample_fmt);
        SendAudioFrame(run, ost, frame);
        return;
    }
    if (av_audio_fifo_write(ost.fifo, const_cast<void**>(reinterpret_cast<const void* const*>(samples)),
                            nbSamples) < nbSamples)
        throw FFmpegException("av_fifo_realloc2() failed");
    while (av_audio_fifo_size(ost.fifo) >= enc->frame_size) {
        AVFrame* frame = EncoderAudioFrame(ost, enc->frame_size);
        av_audio_fifo_read(ost.fifo, reinterpret_cast<void**>(frame->extended_data), enc->frame_size);
        SendAudioFrame(run, ost, frame);
    }
}

void TCustomFFmpeg::DoAudioOut(TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, const AVFrame* decoded)
{
    AVCodecContext* enc = ost.enc;
    const TOptionState& o = options_;
    const auto decFormat = static_cast<AVSampleFormat>(decoded->format);
    const int decChannels = decoded->ch_layout.nb_channels;
    const int decRate = decoded->sample_rate;
    const int encChannels = enc->ch_layout.nb_channels;
    const int encRate = enc->sample_rate;
    int64_t nbSamples = decoded->nb_samples;
    if (nbSamples <= 0 || decChannels <= 0 || decRate <= 0 || encRate <= 0)
        return;

    if (ost.fifo == nullptr) {
        ost.fifo = av_audio_fifo_alloc(enc->sample_fmt, encChannels, FIFO_INITIAL_SAMPLES);
        if (ost.fifo == nullptr)
            throw FFmpegException("av_fifo_alloc fail");
    }
    // A change of channel count needs the resampler for the rest of the run.
    if (encChannels != decChannels)
        ost.audioResample = true;
    const bool convert = ost.audioResample || decFormat != enc->sample_fmt;
    if (convert)
        OpenAudioConverter(ost, decoded);

    std::vector<const uint8_t*> block = PlanesFrom(decoded->extended_data, decFormat, decChannels, 0);

    // Keep the output in step with the sync input's timestamps.
    const TInputStream& syncInput = run.inputs[ost.syncIndex >= 0 ? ost.syncIndex : ost.sourceIndex];
    TAudioSyncInput sync;
    sync.method = o.audioSyncMethod;
    sync.inTime_s = static_cast<double>(syncInput.pts_us - o.startTime_us) / 1000000.0;
    sync.syncPosition = ost.syncOpts;
    sync.queuedSamples = av_audio_fifo_size(ost.fifo);
    sync.encRate = encRate;
    sync.decRate = decRate;
    sync.atStart = ist.isStart;
    sync.driftThreshold_s = o.audioDriftThreshold_s;
    const TAudioSyncDecision decision = DecideAudioSync(sync);
    ost.syncOpts = decision.syncPosition;
    switch (decision.action) {
    case TAudioSyncAction::asNone: break;
    case TAudioSyncAction::asDrop: {
        const int64_t dropped = std::min(decision.inputSamples, nbSamples);
        block = PlanesFrom(block.data(), decFormat, decChannels, dropped);
        nbSamples -= dropped;
        if (o.verbose > 2)
            Logger().LogFmt(this, llVerbose, "discarding %d audio samples", static_cast<int>(-decision.delta));
        if (nbSamples <= 0)
            return;
        ist.isStart = false;
        break;
    }
    case TAudioSyncAction::asInsert: {
        const int64_t total = decision.inputSamples + nbSamples;
        const int size = total > INT_MAX ? -1 : av_samples_get_buffer_size(nullptr, decChannels, static_cast<int>(total), decFormat, 0);
        if (size < 0)
            throw FFmpegException("Buffer sizes too large in do_audio_out");
        if (!run.audioSilence.Grow(static_cast<size_t>(size)))
            throw FFmpegException("Out of memory in do_audio_out");
        std::vector<uint8_t*> planes(PlaneCount(decFormat, decChannels));
        av_samples_fill_arrays(planes.data(), nullptr, run.audioSilence.Data(), decChannels, static_cast<int>(total),
                               decFormat, 0);
        av_samples_set_silence(planes.data(), 0, static_cast<int>(decision.inputSamples), decChannels, decFormat);
        av_samples_copy(planes.data(), const_cast<uint8_t* const*>(block.data()),
                        static_cast<int>(decision.inputSamples), 0, static_cast<int>(nbSamples), decChannels,
                        decFormat);
        block.assign(planes.begin(), planes.end());
        nbSamples = total;
        ist.isStart = false;
        if (o.verbose > 2)
            Logger().LogFmt(this, llVerbose, "adding %d audio samples of silence", static_cast<int>(decision.delta));
        break;
    }
    case TAudioSyncAction::asCompensate:
        Assert(ost.swr != nullptr, "FFmpeg");
        if (o.verbose > 2)
            Logger().LogFmt(this, llVerbose, "compensating audio timestamp drift:%f compensation:%d in:%d",
                            decision.delta, decision.compensation, encRate);
        // A refused compensation leaves the resampler as it was; the next block tries again.
        swr_set_compensation(ost.swr, decision.compensation, encRate);
        break;
    }

    if (!convert) {
        QueueAudioSamples(run, ost, block.data(), static_cast<int>(nbSamples));
        return;
    }

    // Room for the converted block: twice the resampled length and a margin, at least
    // one encoder frame.
    int64_t capacity = (nbSamples * encRate + decRate) / decRate * 2 + 10000;
    capacity = std::max<int64_t>(capacity, enc->frame_size);
    capacity = std::max<int64_t>(capacity, swr_get_out_samples(ost.swr, static_cast<int>(std::min<int64_t>(nbSamples, INT_MAX))));
    const int size = capacity > INT_MAX / 8
                         ? -1
                         : av_samples_get_buffer_size(nullptr, encChannels, static_cast<int>(capacity), enc->sample_fmt, 0);
    if (size < 0)
        throw FFmpegException("Buffer sizes too large in do_audio_out");
    if (!run.audioSamples.Grow(static_cast<size_t>(size)))
        throw FFmpegException("Out of memory in do_audio_out");
    std::vector<uint8_t*> converted(PlaneCount(enc->sample_fmt, encChannels));
    av_samples_fill_arrays(converted.data(), nullptr, run.audioSamples.Data(), encChannels, static_cast<int>(capacity),
                           enc->sample_fmt, 0);
    const int produced = swr_convert(ost.swr, converted.data(), static_cast<int>(capacity), block.data(),
                                     static_cast<int>(nbSamples));
    if (produced < 0) {
        if (o.exitOnError)
            throw FFmpegException("av_audio_convert() failed");
        Logger().Log(this, llError, "av_audio_convert() failed");
        return;
    }
    QueueAudioSamples(run, ost, converted.data(), produced);
}

void TCustomFFmpeg::FlushAudio(TTranscodeRun& run, TOutputStream& ost)
{
    AVCodecContext* enc = ost.enc;
    const int channels = enc->ch_layout.nb_channels;

    // What the resampler still holds.
    if (ost.swr) {
        const int capacity = swr_get_out_samples(ost.swr, 0);
        const int size = capacity > 0 ? av_samples_get_buffer_size(nullptr, channels, capacity, enc->sample_fmt, 0) : -1;
        if (size > 0 && run.audioSamples.Grow(static_cast<size_t>(size))) {
            std::vector<uint8_t*> converted(PlaneCount(enc->sample_fmt, channels));
            av_samples_fill_arrays(converted.data(), nullptr, run.audioSamples.Data(), channels, capacity,
                                   enc->sample_fmt, 0);
            const int produced = swr_convert(ost.swr, converted.data(), capacity, nullptr, 0);
            if (produced > 0)
                QueueAudioSamples(run, ost, converted.data(), produced);
        }
    }

    // The FIFO's rest: a short last frame where the encoder takes one, else a frame
    // padded with silence.
    const int held = ost.fifo ? av_audio_fifo_size(ost.fifo) : 0;
    if (enc->frame_size > 1 && held > 0) {
        const bool shortFrameAllowed =
            enc->codec && (enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
        const int frameSamples = shortFrameAllowed ? held : enc->frame_size;
        AVFrame* frame = EncoderAudioFrame(ost, frameSamples);
        av_audio_fifo_read(ost.fifo, reinterpret_cast<void**>(frame->extended_data), held);
        if (held < frameSamples)
            av_samples_set_silence(frame->extended_data, held, frameSamples - held, channels, enc->sample_fmt);
        SendAudioFrame(run, ost, frame);
    }
    EncodeAndWrite(run, ost, nullptr);
}

} // namespace qv

// Opening an input: the demuxer with the input-side options, the stream probe, the
// start position, and the stream properties copied back into the option state.
#include <cmath>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "runtime/LibraryErrors.h"
#include "engine/FFmpeg.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/MediaIO.h"

namespace qv {

namespace {


struct FormatContextCloser {
    void operator()(AVFormatContext* context) const
    {
        // Opened contexts are closed, contexts that never opened are only freed.
        if (context && context->iformat)
            CloseInput(&context);
        else
            avformat_free_context(context);
    }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;

struct DictionaryDeleter {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

} // namespace

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName)
{
    TOptionState& o = options_;
    const int fileIndex = nbInputFiles_;
    if (fileIndex >= maxFiles_) {
        lastError_ = "Too many input files (at most " + std::to_string(maxFiles_) + ")";
        return false;
    }
    auto freeCodecNames = [&o] {
        o.videoCodecName.reset();
        o.audioCodecName.reset();
        o.subtitleCodecName.reset();
    };

    // 1. A forced input format.
    const AVInputFormat* format = nullptr;
    if (!o.fileFormat.empty()) {
        format = av_find_input_format(o.fileFormat.c_str());
        if (format == nullptr)
            throw FFmpegException("Unknown input format: \"" + o.fileFormat + "\"");
        o.fileFormat.clear();
    }

    // 2. The demuxer context and its parameters.
    FormatContextPtr input(avformat_alloc_context());
    if (!input)
        throw FFmpegException("avformat_alloc_context failed");
    AVDictionary* rawParameters = nullptr;
    if (o.audioSampleRate > 0)
        av_dict_set_int(&rawParameters, "sample_rate", o.audioSampleRate, 0);
    if (o.audioChannels > 0)
        av_dict_set_int(&rawParameters, "channels", o.audioChannels, 0);
    if (o.frameRate.num > 0 && o.frameRate.den > 0)
        av_dict_set(&rawParameters, "framerate",
                    (std::to_string(o.frameRate.num) + "/" + std::to_string(o.frameRate.den)).c_str(), 0);
    if (o.frameWidth > 0 && o.frameHeight > 0)
        av_dict_set(&rawParameters, "video_size",
                    (std::to_string(o.frameWidth) + "x" + std::to_string(o.frameHeight)).c_str(), 0);
    if (o.framePixFmt != AV_PIX_FMT_NONE) {
        if (const char* name = av_get_pix_fmt_name(o.framePixFmt))
            av_dict_set(&rawParameters, "pixel_format", name, 0);
    }
    if (o.videoChannel != 0)
        av_dict_set_int(&rawParameters, "channel", o.videoChannel, 0);
    if (o.videoStandard)
        av_dict_set(&rawParameters, "standard", o.videoStandard->c_str(), 0);
    std::unique_ptr<AVDictionary, DictionaryDeleter> parameters(rawParameters);
    if (genericFormatOptions_)
        ApplyGenericOptions(input.get(), genericFormatOptions_, gmInputFormat);

    // 3. Forced decoders.
    const AVCodec* videoDecoder = nullptr;
    const AVCodec* audioDecoder = nullptr;
    const AVCodec* subtitleDecoder = nullptr;
    auto strictness = [this](int kind) {
        return genericCodecOptions_[kind] ? genericCodecOptions_[kind]->strict_std_compliance : 0;
    };
    if (!FindCodecByName(o.videoCodecName.value_or(""), AVMEDIA_TYPE_VIDEO, false, strictness(0), videoDecoder) ||
        !FindCodecByName(o.audioCodecName.value_or(""), AVMEDIA_TYPE_AUDIO, false, strictness(1), audioDecoder) ||
        !FindCodecByName(o.subtitleCodecName.value_or(""), AVMEDIA_TYPE_SUBTITLE, false, strictness(3),
                         subtitleDecoder)) {
        freeCodecNames();
        return false;
    }
    if (videoDecoder) {
        input->video_codec_id = videoDecoder->id;
        input->video_codec = videoDecoder;
    }
    if (audioDecoder) {
        input->audio_codec_id = audioDecoder->id;
        input->audio_codec = audioDecoder;
    }
    if (subtitleDecoder) {
        input->subtitle_codec_id = subtitleDecoder->id;
        input->subtitle_codec = subtitleDecoder;
    }

    // 4. Flags.
    input->flags |= AVFMT_FLAG_NONBLOCK;
    if (o.usingPgmyuv)
        input->video_codec_id = AV_CODEC_ID_PGMYUV;

    // 5. Open. The library frees the context when the open fails.
    {
        AVDictionary* openOptions = parameters.release();
        AVFormatContext* raw = input.release();
        const int result = OpenInputByName(&raw, fileName, format, &openOptions);
        av_dict_free(&openOptions);
        if (result < 0) {
            lastError_ = LibraryErrorText(fileName, result);
            return false;
        }
        input.reset(raw);
    }

    // 6. Program selection.
    if (o.optProgramId != 0) {
        for (unsigned i = 0; i < input->nb_streams; ++i)
            input->streams[i]->discard = AVDISCARD_ALL;
        bool found = false;
        for (unsigned p = 0; p < input->nb_programs; ++p) {
            AVProgram* program = input->programs[p];
            if (program->id == o.optProgramId) {
                found = true;
                for (unsigned k = 0; k < program->nb_stream_indexes; ++k)
                    input->streams[program->stream_index[k]]->discard = AVDISCARD_DEFAULT;
            } else {
                program->discard = AVDISCARD_ALL;
            }
        }
        if (!found) {
            lastError_ = "Specified program id not found";
            return false;
        }
        o.optProgramId = 0;
    }

    // 7. Looping over the input is done by the transcode loop (options_.loopInput).

    // 8. Stream information, one probe or codec opening at a time in the process.
    {
        std::lock_guard lock(CodecLock());
        const int result = avformat_find_stream_info(input.get(), nullptr);
        if (result < 0 && o.verbose >= 0) {
            lastError_ = fileName + ": could not find codec parameters";
            Logger().Log(this, llVerbose, lastError_);
            return false;
        }
    }

    // 9. Start position.
    int64_t timestamp = o.startTime_us;
    if (input->start_time != AV_NOPTS_VALUE)
        timestamp += input->start_time;
    if (o.startTime_us != 0) {
        if (av_seek_frame(input.get(), -1, timestamp, AVSEEK_FLAG_BACKWARD) < 0 && o.verbose > 0)
            Logger().LogFmt(this, llVerbose, "%s: could not seek to position %0.3f", fileName.c_str(),
                            static_cast<double>(timestamp) / 1000000.0);
        o.startTime_us = 0;
    }

    // 10. Stream properties into the option state.
    if (input->nb_streams > MAX_STREAMS)
        Logger().LogFmt(this, llWarning, "%s: only the first %d of %u streams are used", fileName.c_str(),
                        MAX_STREAMS, input->nb_streams);
    auto& decoders = inputStreamCodecs_[fileIndex];
    auto& decodersByName = inputStreamDecoders_[fileIndex];
    auto freeDecoders = [&decoders] {
        for (AVCodecContext*& codec : decoders)
            avcodec_free_context(&codec);
    };
    for (unsigned i = 0; i < input->nb_streams && i < MAX_STREAMS; ++i) {
        AVStream* stream = input->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        if (par->codec_type < AVMEDIA_TYPE_UNKNOWN || par->codec_type >= AVMEDIA_TYPE_NB) {
            freeDecoders();
            throw FFmpegException("invalid codec_type");
        }
        AVCodecContext* dec = avcodec_alloc_context3(nullptr);
        if (dec == nullptr || avcodec_parameters_to_context(dec, par) < 0) {
            avcodec_free_context(&dec);
            freeDecoders();
            lastError_ = LibraryErrorText(fileName, AVERROR(ENOMEM));
            return false;
        }
        dec->pkt_timebase = stream->time_base;
        dec->thread_count = o.threadCount;
        decoders[i] = dec;

        switch (par->codec_type) {
        case AVMEDIA_TYPE_VIDEO: {
            if (genericCodecOptions_[0])
                ApplyGenericOptions(dec, genericCodecOptions_[0], gmDecodeVideo);
            o.frameHeight = dec->height;
            o.frameWidth = dec->width;
            double aspect = stream->sample_aspect_ratio.num ? av_q2d(stream->sample_aspect_ratio)
                                                              : av_q2d(dec->sample_aspect_ratio);
            if (dec->width * dec->height != 0)
                aspect = aspect != 0 ? aspect * dec->width / dec->height
                                     : static_cast<double>(dec->width) / dec->height;
            else if (aspect == 0)
                aspect = 4.0 / 3.0;
            o.frameAspectRatio = static_cast<float>(aspect);
            if (dec->pix_fmt == AV_PIX_FMT_NONE)
                dec->pix_fmt = static_cast<AVPixelFormat>(0);
            o.framePixFmt = dec->pix_fmt;

            const AVRational realRate = stream->r_frame_rate;
            // The decoder's own idea of the rate is the stream's average rate.
            const AVRational decoderRate = stream->avg_frame_rate;
            dec->framerate = realRate;
            if (realRate.num > 0 && realRate.den > 0)
                dec->time_base = av_inv_q(realRate);
            if (dec->lowres) {
                o.frameHeight >>= dec->lowres;
                o.frameWidth >>= dec->lowres;
            }
            if (decoderRate.num > 0 && realRate.num > 0 && av_cmp_q(decoderRate, realRate) != 0 &&
                o.verbose >= 0) {
                Logger().LogFmt(this, llInfo,
                                "Seems stream %u codec frame rate differs from container frame rate: "
                                "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                                i, av_q2d(decoderRate), decoderRate.num, decoderRate.den, av_q2d(realRate),
                                realRate.num, realRate.den);
            }
            o.frameRate = realRate;
            decodersByName[i] = videoDecoder;
            if (o.videoDisable)
                stream->discard = AVDISCARD_ALL;
            else if (o.videoDiscard != 0)
                stream->discard = static_cast<AVDiscard>(o.videoDiscard);
            break;
        }
        case AVMEDIA_TYPE_AUDIO:
            if (genericCodecOptions_[1])
                ApplyGenericOptions(dec, genericCodecOptions_[1], gmDecodeAudio);
            o.audioChannelLayout =
                dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? dec->ch_layout.u.mask : 0;
            o.audioChannels = dec->ch_layout.nb_channels;
            o.audioSampleRate = dec->sample_rate;
            o.audioSampleFmt = dec->sample_fmt;
            decodersByName[i] = audioDecoder;
            if (o.audioDisable)
                stream->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            decodersByName[i] = subtitleDecoder;
            if (o.subtitleDisable)
                stream->discard = AVDISCARD_ALL;
            break;
        default:
            break;
        }
    }

    // 11. Total duration.
    if (input->duration != AV_NOPTS_VALUE && input->duration > totalDuration_us_)
        totalDuration_us_ = input->duration;

    // 12. Into the table, with the timestamp offset.
    inputFilesTsOffset_us_[fileIndex] = o.copyTs ? o.inputTsOffset_us : o.inputTsOffset_us - timestamp;

    // 13. The format description in the log.
    if (o.verbose >= 0)
        av_dump_format(input.get(), fileIndex, fileName.c_str(), 0);

    // 14.
    inputFiles_[fileIndex] = input.release();
    ++nbInputFiles_;
    o.videoChannel = 0;
    freeCodecNames();
    return true;
}

} // namespace qv

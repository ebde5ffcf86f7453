// Creating an output: the muxer for the chosen container, its streams from the option
// state, metadata, and the file opened for writing.
#include <ctime>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "runtime/LibraryErrors.h"
#include "engine/FFmpeg.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/MediaIO.h"

namespace qv {

namespace {

// Muxers whose default video codec only stands for a cover picture: an audio file
// made from a video keeps no video stream unless one is asked for.
bool DefaultVideoIsCoverArt(const AVOutputFormat* format)
{
    return format->video_codec == AV_CODEC_ID_PNG || format->video_codec == AV_CODEC_ID_MJPEG;
}

bool MuxerHasOption(const AVOutputFormat* format, const char* name)
{
    if (format->priv_class == nullptr)
        return false;
    const AVClass* privClass = format->priv_class;
    return av_opt_find(&privClass, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

std::string IsoTime(int64_t seconds)
{
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
    return text;
}

} // namespace

TCustomFFmpeg::TInputKinds TCustomFFmpeg::CheckAudioVideoSubInputs(bool join) const
{
    TInputKinds kinds;
    const int files = join ? std::min(nbInputFiles_, 1) : nbInputFiles_;
    for (int f = 0; f < files; ++f) {
        const AVFormatContext* input = inputFiles_[f];
        for (unsigned s = 0; s < input->nb_streams; ++s) {
            switch (input->streams[s]->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO: kinds.video = true; break;
            case AVMEDIA_TYPE_AUDIO: kinds.audio = true; break;
            case AVMEDIA_TYPE_SUBTITLE: kinds.subtitle = true; break;
            case AVMEDIA_TYPE_UNKNOWN:
            case AVMEDIA_TYPE_DATA:
            case AVMEDIA_TYPE_ATTACHMENT: break;
            default: throw FFmpegException("invalid codec_type");
            }
        }
    }
    return kinds;
}

int TCustomFFmpeg::OpenOutputFile(const std::string& fileName, bool join)
{
    TOptionState& o = options_;
    // 1.
    if (joinMode_) {
        lastError_ = "Cannot join more than one output file.";
        return -1;
    }
    if (nbOutputFiles_ >= maxFiles_) {
        lastError_ = "Too many output files (at most " + std::to_string(maxFiles_) + ")";
        return -1;
    }

    // 3. The muxer and its format.
    AVFormatContext* output = avformat_alloc_context();
    if (output == nullptr)
        throw FFmpegException("avformat_alloc_context failed");
    const AVOutputFormat* format = nullptr;
    if (!o.fileFormat.empty()) {
        format = av_guess_format(o.fileFormat.c_str(), nullptr, nullptr);
        if (format == nullptr) {
            lastError_ = "Requested output format '" + o.fileFormat + "' is not a suitable output format";
            avformat_free_context(output);
            return -1;
        }
        o.fileFormat.clear();
    } else {
        format = av_guess_format(nullptr, fileName.c_str(), nullptr);
        if (format == nullptr) {
            lastError_ = "Unable to find a suitable output format for '" + fileName + "'";
            avformat_free_context(output);
            return -1;
        }
    }
    output->oformat = format;
    output->url = av_strdup(fileName.c_str());
    const int fileIndex = nbOutputFiles_;

    auto discard = [&](const std::string& error) {
        lastError_ = error;
        for (auto& codec : outputStreamCodecs_[fileIndex])
            avcodec_free_context(&codec);
        outputStreamSetup_[fileIndex] = {};
        av_dict_free(&outputMuxerOptions_[fileIndex]);
        CloseOutputIO(output);
        avformat_free_context(output);
        return -1;
    };

    // 5. Which streams.
    bool useVideo = o.videoStreamCopy || (format->video_codec != AV_CODEC_ID_NONE && !DefaultVideoIsCoverArt(format)) ||
                    o.videoCodecName.has_value();
    bool useAudio = o.audioStreamCopy || format->audio_codec != AV_CODEC_ID_NONE || o.audioCodecName.has_value();
    bool useSubtitle = o.subtitleStreamCopy || format->subtitle_codec != AV_CODEC_ID_NONE ||
                       o.subtitleCodecName.has_value();
    if (nbInputFiles_ > 0) {
        try {
            const TInputKinds kinds = CheckAudioVideoSubInputs(join);
            useVideo = useVideo && kinds.video;
            useAudio = useAudio && kinds.audio;
            useSubtitle = useSubtitle && kinds.subtitle;
        } catch (const std::exception& e) {
            return discard(std::string("check_audio_video_sub_inputs fail: ") + e.what());
        }
    }
    if (o.videoDisable)
        useVideo = false;
    if (o.audioDisable)
        useAudio = false;
    if (o.subtitleDisable)
        useSubtitle = false;

    // 6. The streams, video first.
    struct Step {
        bool wanted;
        void (TCustomFFmpeg::*add)(AVFormatContext*, int);
        const char* name;
    };
    const Step steps[] = {{useVideo, &TCustomFFmpeg::NewVideoStream, "new_video_stream"},
                          {useAudio, &TCustomFFmpeg::NewAudioStream, "new_audio_stream"},
                          {useSubtitle, &TCustomFFmpeg::NewSubtitleStream, "new_subtitle_stream"}};
    for (const Step& step : steps) {
        if (!step.wanted)
            continue;
        try {
            (this->*step.add)(output, fileIndex);
        } catch (const std::exception& e) {
            return discard(std::string(step.name) + " fail: " + e.what());
        }
    }

    // 7. Recording timestamp and metadata; the first of two entries with one key wins.
    if (o.recordingTimestamp_s != 0)
        av_dict_set(&output->metadata, "creation_time", IsoTime(o.recordingTimestamp_s).c_str(), 0);
    for (auto entry = o.metadata.rbegin(); entry != o.metadata.rend(); ++entry)
        av_dict_set(&output->metadata, entry->first.c_str(), entry->second.c_str(), 0);
    o.metadata.clear();

    // 9. The file itself.
    if ((format->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(fileName.c_str()))
        return discard(LibraryErrorText(fileName, AVERROR(EDOM)));
    if (!(format->flags & AVFMT_NOFILE)) {
        const int result = OpenOutputByName(output, fileName, AVIO_FLAG_WRITE, nullptr);
        if (result < 0)
            return discard(LibraryErrorText(fileName, result));
    }

    // 11. Muxing parameters.
    output->max_delay = static_cast<int>(o.muxMaxDelay_s * 1000000);
    if (MuxerHasOption(format, "preload"))
        av_dict_set_int(&outputMuxerOptions_[fileIndex], "preload", static_cast<int64_t>(o.muxPreload_s * 1000000), 0);
    if (o.loopOutput >= 0 && MuxerHasOption(format, "loop"))
        av_dict_set_int(&outputMuxerOptions_[fileIndex], "loop", o.loopOutput, 0);
    output->flags |= AVFMT_FLAG_NONBLOCK;
    if (genericFormatOptions_)
        ApplyGenericOptions(output, genericFormatOptions_, gmOutputFormat);
    o.streamIdMap.fill(0);

    outputFiles_[fileIndex] = output;
    outputFileNames_[fileIndex] = fileName;
    ++nbOutputFiles_;

    // 12.
    if (join && nbInputFiles_ > 1) {
        joinMode_ = true;
        JoinSetUp(output);
    }
    return nbOutputFiles_;
}

void TCustomFFmpeg::JoinSetUp(AVFormatContext* output)
{
    int64_t sum_us = 0;
    for (int i = 0; i < nbInputFiles_; ++i) {
        if (inputFiles_[i]->duration != AV_NOPTS_VALUE)
            sum_us += inputFiles_[i]->duration;
    }
    totalDuration_us_ = sum_us != 0 ? sum_us : -1;
    // One output entry per input, all of them the one muxer; the stream set-up stays
    // with the first entry.
    const std::string name = outputFileNames_[nbOutputFiles_ - 1];
    while (nbOutputFiles_ < nbInputFiles_ && nbOutputFiles_ < maxFiles_) {
        outputFiles_[nbOutputFiles_] = output;
        outputFileNames_[nbOutputFiles_] = name;
        ++nbOutputFiles_;
    }
}

} // namespace qv

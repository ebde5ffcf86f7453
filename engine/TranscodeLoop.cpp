// The packet loop: reading the inputs in timestamp order, timestamp corrections,
// decoding, handing frames to the output paths or copying packets, writing through
// the bitstream filters, and the end of the run.
#include <cinttypes>
#include <cmath>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/time.h>
}

#include "runtime/LibraryErrors.h"
#include "engine/FFmpeg.h"
#include "engine/Transcode.h"
#include "platform/Exceptions.h"
#include "platform/Thread.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {

constexpr int NO_PACKET_WAIT_MS = 10;

int KindIndex(AVMediaType type)
{
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: return 0;
    case AVMEDIA_TYPE_AUDIO: return 1;
    case AVMEDIA_TYPE_DATA: return 2;
    case AVMEDIA_TYPE_SUBTITLE: return 3;
    default: return -1;
    }
}

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

} // namespace

void TCustomFFmpeg::TranscodeLoop(TTranscodeRun& run)
{
    const TOptionState& o = options_;
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        throw FFmpegException("av_mallocz fail");

    while (!stopRequested_) {
        TThread::PausePoint();
        if (stopRequested_)
            break;

        // 1. Which input to read.
        int chosen = -1;
        if (!joinMode_) {
            double outTimeMin = 1e100, inTimeMin = 1e100;
            for (const TOutputStream& ost : run.outputs) {
                const TInputStream& ist = run.inputs[ost.sourceIndex];
                if (ist.isPastRecordingTime || run.noPacket[ist.fileIndex])
                    continue;
                const double outTime = ost.OutputTime_s();
                const double inTime = static_cast<double>(ist.pts_us);
                if (!run.files[ist.fileIndex].eof) {
                    if (inTime < inTimeMin) {
                        inTimeMin = inTime;
                        if (o.inputSync)
                            chosen = ist.fileIndex;
                    }
                    if (outTime < outTimeMin) {
                        outTimeMin = outTime;
                        if (!o.inputSync)
                            chosen = ist.fileIndex;
                    }
                }
                const int kind = KindIndex(ost.st->codecpar->codec_type);
                if (kind >= 0 && ost.frameNumber >= o.maxFrames[kind]) {
                    chosen = -1;
                    break;
                }
            }
        } else {
            chosen = run.joinInput;
            for (int s = 0; s < run.groupSize; ++s) {
                const TOutputStream& ost = run.outputs[run.joinInput * run.groupSize + s];
                const int kind = KindIndex(ost.st->codecpar->codec_type);
                if (kind >= 0 && ost.frameNumber >= o.maxFrames[kind]) {
                    chosen = -1;
                    break;
                }
            }
        }

        // 2.
        if (chosen < 0) {
            if (joinMode_ || run.noPacketCount == 0)
                break;
            run.noPacket.assign(nbInputFiles_, false);
            run.noPacketCount = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(NO_PACKET_WAIT_MS));
            continue;
        }

        // 3. File size limit.
        if (o.limitFileSize_bytes != 0 && outputFiles_[0]->pb &&
            avio_tell(outputFiles_[0]->pb) > o.limitFileSize_bytes)
            break;

        // 4. One packet.
        AVFormatContext* input = inputFiles_[chosen];
        int result = av_read_frame(input, packet.get());
        if (result == AVERROR(EAGAIN)) {
            run.noPacket[chosen] = true;
            ++run.noPacketCount;
            continue;
        }
        if (result < 0) {
            run.files[chosen].eof = true;
            if (joinMode_) {
                if (!JoinSwitch(run))
                    break;
                continue;
            }
            if (o.optShortest)
                break;
            continue;
        }
        run.lastInputIndex = chosen;

        // 5.
        run.noPacket.assign(nbInputFiles_, false);
        run.noPacketCount = 0;
        if (o.doPktDump)
            av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet.get(), o.doHexDump, input->streams[packet->stream_index]);

        // 6.
        const TInputFileState& file = run.files[chosen];
        const bool known = packet->stream_index < file.nbStreams;
        const int inputIndex = file.firstStream + packet->stream_index;
        if (known && !run.inputs[inputIndex].discard) {
            TInputStream& ist = run.inputs[inputIndex];
            const AVRational tb = ist.st->time_base;

            // 7. Timestamp offset and scale.
            const int64_t offset = av_rescale_q(inputFilesTsOffset_us_[chosen], AV_TIME_BASE_Q, tb);
            if (packet->dts != AV_NOPTS_VALUE)
                packet->dts += offset;
            if (packet->pts != AV_NOPTS_VALUE)
                packet->pts += offset;
            const double scale = inputFilesTsScale_[chosen][packet->stream_index];
            if (scale != 0) {
                if (packet->dts != AV_NOPTS_VALUE)
                    packet->dts = std::llround(packet->dts * scale);
                if (packet->pts != AV_NOPTS_VALUE)
                    packet->pts = std::llround(packet->pts * scale);
            }

            // 8. Discontinuities of formats that have them. Subtitle streams are sparse
            // (long gaps are normal there), so only audio and video can reveal a jump.
            const AVMediaType kind = ist.st->codecpar->codec_type;
            if (packet->dts != AV_NOPTS_VALUE && ist.nextPts_us != NO_TIME_US &&
                (input->iformat->flags & AVFMT_TS_DISCONT) &&
                (kind == AVMEDIA_TYPE_AUDIO || kind == AVMEDIA_TYPE_VIDEO)) {
                const int64_t packetDts_us = av_rescale_q(packet->dts, tb, AV_TIME_BASE_Q);
                const int64_t delta_us = packetDts_us - ist.nextPts_us;
                if ((std::llabs(delta_us) > o.dtsDeltaThreshold_s * 1000000.0 || packetDts_us + 1 < ist.pts_us) &&
                    !o.copyTs) {
                    inputFilesTsOffset_us_[chosen] -= delta_us;
                    if (o.verbose > 2)
                        Logger().LogFmt(this, llVerbose, "timestamp discontinuity %" PRId64 ", new offset= %" PRId64,
                                        delta_us, inputFilesTsOffset_us_[chosen]);
                    const int64_t delta = av_rescale_q(delta_us, AV_TIME_BASE_Q, tb);
                    packet->dts -= delta;
                    if (packet->pts != AV_NOPTS_VALUE)
                        packet->pts -= delta;
                }
            }

            // 9. Recording time.
            if (o.recordingTime_us != INT64_MAX && packet->pts != AV_NOPTS_VALUE &&
                av_compare_ts(packet->pts, tb, o.recordingTime_us + o.startTime_us, AV_TIME_BASE_Q) >= 0) {
                ist.isPastRecordingTime = true;
            } else if (ProcessInputPacket(run, inputIndex, packet.get()) < 0) {
                // 10.
                const std::string message = "Error while decoding stream #" + std::to_string(ist.fileIndex) + "." +
                                            std::to_string(ist.streamIndex) + " (" +
                                            MediaKindName(ist.st->codecpar->codec_type) + ")";
                if (o.exitOnError)
                    throw FFmpegException(message);
                if (o.verbose >= 0)
                    Logger().Log(this, llVerbose, message);
                av_packet_unref(packet.get());
                continue;
            }
        }

        // 11.
        av_packet_unref(packet.get());
        const int64_t now_us = av_gettime();
        if (now_us - run.lastReport_us > ProgressInterval_us) {
            run.lastReport_us = now_us;
            ReportProgress(run, false, joinMode_ ? run.joinInput : chosen);
        }
    }
}

bool TCustomFFmpeg::JoinSwitch(TTranscodeRun& run)
{
    const int f = run.joinInput;
    const TInputFileState& file = run.files[f];
    for (int s = 0; s < file.nbStreams; ++s) {
        const int index = file.firstStream + s;
        TInputStream& ist = run.inputs[index];
        if (!ist.decodingNeeded)
            continue;
        ProcessInputPacket(run, index, nullptr);
        avcodec_flush_buffers(ist.dec);
        ist.flushed = true;
    }
    const bool last = f + 1 >= nbInputFiles_;
    // The encoders were drained with their input; unless this was the last input they
    // start afresh for the next one.
    if (!last) {
        for (int s = 0; s < run.groupSize; ++s) {
            TOutputStream& ost = run.outputs[s];
            if (!ost.encodingNeeded)
                continue;
            const AVCodec* encoder = ost.enc->codec;
            const char* kind = MediaKindName(ost.enc->codec_type);
            if (encoder == nullptr)
                throw FFmpegException("Unsupported codec for output stream #" + std::to_string(ost.fileIndex) + "." +
                                      std::to_string(ost.index) + " (" + kind + ")");
            AVDictionary* privateOptions = EncoderPrivateOptions(ost.enc->codec_type, encoder);
            int result;
            {
                std::lock_guard lock(CodecLock());
                avcodec_close(ost.enc);
                result = avcodec_open2(ost.enc, encoder, &privateOptions);
            }
            av_dict_free(&privateOptions);
            if (result < 0)
                throw FFmpegException("Error while opening codec for output stream #" + std::to_string(ost.fileIndex) +
                                      "." + std::to_string(ost.index) + " (" + kind +
                                      ") - maybe incorrect parameters such as bit_rate, rate, width or height");
        }
    }
    // The next group goes on where this one ended.
    for (size_t n = run.groupSize; n < run.outputs.size(); ++n) {
        const TOutputStream& previous = run.outputs[n - run.groupSize];
        TOutputStream& ost = run.outputs[n];
        if (ost.fileIndex <= f)
            continue;
        ost.syncOpts = previous.syncOpts;
        ost.frameNumber = previous.frameNumber;
        ost.lastEnd = previous.lastEnd;
    }
    double maxTime_s = 0;
    for (int s = 0; s < run.groupSize; ++s) {
        TOutputStream& ost = run.outputs[f * run.groupSize + s];
        maxTime_s = std::max(maxTime_s, ost.OutputTime_s());
        ost.active = false;
    }
    if (last)
        return false;
    inputFilesTsOffset_us_[f + 1] += std::llround(maxTime_s * 1000000.0);
    run.joinInput = f + 1;
    return true;
}

void TCustomFFmpeg::CopyPacket(TTranscodeRun& run, TOutputStream& ost, const TInputStream& ist, const AVPacket* packet)
{
    (void)run;
    if (ost.frameNumber == 0 && !(packet->flags & AV_PKT_FLAG_KEY) && !options_.copyInitialNonKeyframes)
        return;
    const AVMediaType kind = ost.st->codecpar->codec_type;
    if (kind == AVMEDIA_TYPE_AUDIO)
        counters_.audioSize_bytes += packet->size;
    else if (kind == AVMEDIA_TYPE_VIDEO) {
        counters_.videoSize_bytes += packet->size;
        ++ost.syncOpts;
    }
    PacketPtr copy(av_packet_alloc());
    if (!copy || av_packet_ref(copy.get(), packet) < 0)
        throw FFmpegException("av_mallocz fail");
    const AVRational inTb = ist.st->time_base;
    const AVRational outTb = ost.st->time_base;
    const int64_t start = av_rescale_q(options_.startTime_us, AV_TIME_BASE_Q, outTb);
    copy->stream_index = ost.index;
    copy->pts = packet->pts != AV_NOPTS_VALUE ? av_rescale_q(packet->pts, inTb, outTb) - start : AV_NOPTS_VALUE;
    copy->dts = (packet->dts != AV_NOPTS_VALUE ? av_rescale_q(packet->dts, inTb, outTb)
                                               : av_rescale_q(ist.pts_us, AV_TIME_BASE_Q, outTb)) -
                start;
    copy->duration = av_rescale_q(packet->duration, inTb, outTb);
    copy->time_base = outTb;
    WriteFrame(ost, copy.get());
    ++ost.frameNumber;
}

int TCustomFFmpeg::ProcessInputPacket(TTranscodeRun& run, int inputIndex, const AVPacket* packet)
{
    const TOptionState& o = options_;
    TInputStream& ist = run.inputs[inputIndex];
    const AVRational tb = ist.st->time_base;

    // 1.
    if (ist.nextPts_us == NO_TIME_US)
        ist.nextPts_us = ist.pts_us;
    if (packet && packet->dts != AV_NOPTS_VALUE)
        ist.nextPts_us = ist.pts_us = av_rescale_q(packet->dts, tb, AV_TIME_BASE_Q);

    // Reading at the pace of the clock ("re").
    auto rateEmulation = [&] {
        if (!o.rateEmu)
            return;
        const int64_t elapsed_us = av_gettime() - ist.start_us;
        if (ist.pts_us > elapsed_us + 1000)
            std::this_thread::sleep_for(std::chrono::milliseconds((ist.pts_us - elapsed_us) / 1000));
    };

    if (!ist.decodingNeeded) {
        if (packet == nullptr)
            return 0;
        ist.pts_us = ist.nextPts_us;
        const AVCodecParameters* par = ist.st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            const AVRational rate = ist.st->avg_frame_rate.num ? ist.st->avg_frame_rate : ist.st->r_frame_rate;
            if (packet->duration > 0)
                ist.nextPts_us += av_rescale_q(packet->duration, tb, AV_TIME_BASE_Q);
            else if (rate.num > 0)
                ist.nextPts_us += av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0) {
            if (par->frame_size > 0)
                ist.nextPts_us += 1000000LL * par->frame_size / par->sample_rate;
            else if (packet->duration > 0)
                ist.nextPts_us += av_rescale_q(packet->duration, tb, AV_TIME_BASE_Q);
        }
        for (TOutputStream& ost : run.outputs) {
            if (ost.sourceIndex == inputIndex && !ost.encodingNeeded && ost.active)
                CopyPacket(run, ost, ist, packet);
        }
        rateEmulation();
        return 0;
    }

    const AVMediaType kind = ist.st->codecpar->codec_type;
    auto feedOutputs = [&](AVFrame* frame, AVSubtitle* subtitle, int64_t subtitlePts) {
        for (TOutputStream& ost : run.outputs) {
            if (ost.sourceIndex != inputIndex || !ost.active)
                continue;
            if (!ost.encodingNeeded)
                continue; // a stream copy of a decoded stream takes the packets only
            switch (kind) {
            case AVMEDIA_TYPE_VIDEO: {
                int frameSize = 0;
                EmitVideoFrame(run, ost, ist, frame, frameSize);
                if (o.vstatsFileName && frameSize > 0)
                    WriteVideoStats(ost, frameSize);
                break;
            }
            case AVMEDIA_TYPE_AUDIO:
                DoAudioOut(run, ost, ist, frame);
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                if (subtitle)
                    EmitSubtitle(run, ost, ist, subtitle, subtitlePts);
                break;
            default:
                throw FFmpegException("invalid codec_type");
            }
        }
    };
    // Packets of a decoded stream that some output copies as they are.
    if (packet) {
        for (TOutputStream& ost : run.outputs) {
            if (ost.sourceIndex == inputIndex && !ost.encodingNeeded && ost.active)
                CopyPacket(run, ost, ist, packet);
        }
    }

    if (kind == AVMEDIA_TYPE_SUBTITLE) {
        if (packet == nullptr)
            return 0;
        AVSubtitle subtitle{};
        int gotSubtitle = 0;
        AVPacket* data = const_cast<AVPacket*>(packet);
        if (avcodec_decode_subtitle2(ist.dec, &subtitle, &gotSubtitle, data) < 0)
            return -1;
        ist.pts_us = ist.nextPts_us;
        if (gotSubtitle) {
            const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            try {
                feedOutputs(nullptr, &subtitle, pts);
            } catch (...) {
                avsubtitle_free(&subtitle);
                throw;
            }
            avsubtitle_free(&subtitle);
        }
        rateEmulation();
        return 0;
    }

    // Audio and video through the send/receive decoder.
    int result = avcodec_send_packet(ist.dec, packet);
    if (result < 0 && result != AVERROR_EOF && result != AVERROR(EAGAIN))
        return -1;
    int frames = 0;
    AVFrame* frame = run.decodedFrame;
    for (;;) {
        result = avcodec_receive_frame(ist.dec, frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            break;
        if (result < 0)
            return -1;
        if (++frames == 2 && packet && !ist.multipleFramesWarned && o.verbose > 1) {
            Logger().LogFmt(this, llError, "Multiple frames in a packet from stream %d", ist.streamIndex);
            ist.multipleFramesWarned = true;
        }
        // The frame's own timestamp, which carries the corrections made to its packet.
        ist.pts_us = frame->best_effort_timestamp != AV_NOPTS_VALUE
                         ? av_rescale_q(frame->best_effort_timestamp, tb, AV_TIME_BASE_Q)
                         : ist.nextPts_us;
        if (kind == AVMEDIA_TYPE_AUDIO) {
            if (frame->sample_rate > 0)
                ist.nextPts_us = ist.pts_us + 1000000LL * frame->nb_samples / frame->sample_rate;
            if (o.audioVolume != 256)
                ApplyVolume(frame);
        } else if (kind == AVMEDIA_TYPE_VIDEO) {
            ist.quality = static_cast<float>(frame->quality);
            int64_t duration_us = 0;
            if (frame->pkt_duration > 0)
                duration_us = av_rescale_q(frame->pkt_duration, tb, AV_TIME_BASE_Q);
            else if (ist.dec->framerate.num > 0)
                duration_us = av_rescale_q(1, av_inv_q(ist.dec->framerate), AV_TIME_BASE_Q);
            duration_us += duration_us * frame->repeat_pict / 2;
            ist.nextPts_us = ist.pts_us + duration_us;
            PreProcessVideoFrame(run, ist, frame);
        }
        try {
            feedOutputs(frame, nullptr, 0);
        } catch (...) {
            av_frame_unref(frame);
            throw;
        }
        av_frame_unref(frame);
        rateEmulation();
    }

    // 4. At the end of the input, drain what the encoders fed by this stream still hold.
    if (packet == nullptr) {
        for (TOutputStream& ost : run.outputs) {
            if (ost.sourceIndex != inputIndex || !ost.encodingNeeded || !ost.active)
                continue;
            if (joinMode_ && ost.fileIndex != run.joinInput)
                continue;
            if (kind == AVMEDIA_TYPE_AUDIO)
                FlushAudio(run, ost);
            else if (kind == AVMEDIA_TYPE_VIDEO)
                FlushVideo(run, ost);
        }
    }
    return 0;
}

void TCustomFFmpeg::WriteFrame(TOutputStream& ost, AVPacket* packet)
{
    // Through the bitstream filters: each filter may turn one packet into several.
    std::vector<AVPacket*> packets{packet};
    std::vector<PacketPtr> owned;
    for (AVBSFContext* filter : ost.bitstreamFilters) {
        std::vector<AVPacket*> filtered;
        for (AVPacket* in : packets) {
            int result = av_bsf_send_packet(filter, in);
            while (result >= 0) {
                PacketPtr out(av_packet_alloc());
                result = av_bsf_receive_packet(filter, out.get());
                if (result >= 0) {
                    filtered.push_back(out.get());
                    owned.push_back(std::move(out));
                }
            }
            if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
                const std::string message = std::string(filter->filter->name) + " failed for stream " +
                                            std::to_string(ost.index) + ", codec " +
                                            (ost.encodingNeeded ? avcodec_get_name(ost.enc->codec_id) : "copy") +
                                            ": " + LibraryErrorText(result);
                if (options_.exitOnError)
                    throw FFmpegException(message);
                Logger().Log(this, llError, message);
            }
        }
        packets = std::move(filtered);
    }
    for (AVPacket* out : packets) {
        out->stream_index = ost.index;
        int64_t end = out->pts != AV_NOPTS_VALUE ? out->pts : out->dts;
        if (end != AV_NOPTS_VALUE) {
            end += std::max<int64_t>(out->duration, 0);
            if (ost.lastEnd == AV_NOPTS_VALUE || end > ost.lastEnd)
                ost.lastEnd = end;
        }
        const int result = av_interleaved_write_frame(ost.muxer, out);
        if (result < 0)
            throw FFmpegException("av_interleaved_write_frame(): " + LibraryErrorText(result));
    }
}

int64_t TCustomFFmpeg::EncodeAndWrite(TTranscodeRun& run, TOutputStream& ost, const AVFrame* frame)
{
    AVCodecContext* enc = ost.enc;
    const AVMediaType kind = enc->codec_type;
    const char* failure = kind == AVMEDIA_TYPE_VIDEO ? "Video encoding failed" : "Audio encoding failed";
    int result = avcodec_send_frame(enc, frame);
    if (result < 0 && result != AVERROR_EOF)
        throw FFmpegException(failure);
    int64_t written = 0;
    AVPacket* packet = run.encodedPacket;
    for (;;) {
        result = avcodec_receive_packet(enc, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            break;
        if (result < 0)
            throw FFmpegException(failure);
        if (kind == AVMEDIA_TYPE_VIDEO) {
            counters_.videoSize_bytes += packet->size;
            size_t size = 0;
            if (const uint8_t* stats = av_packet_get_side_data(packet, AV_PKT_DATA_QUALITY_STATS, &size);
                stats && size >= 5) {
                ost.codedQuality = static_cast<float>(AV_RL32(stats));
                ost.lastPictureType = stats[4];
                const int errors = std::min<int>(stats[5], 3);
                for (int i = 0; i < errors && size >= 8 + 8 * static_cast<size_t>(i + 1); ++i) {
                    ost.psnrError[i] = AV_RL64(stats + 8 + 8 * i);
                    ost.psnrErrorSum[i] += ost.psnrError[i];
                }
            }
        } else {
            counters_.audioSize_bytes += packet->size;
        }
        if (ost.passLogFile && enc->stats_out)
            std::fputs(enc->stats_out, ost.passLogFile);
        written += packet->size;
        av_packet_rescale_ts(packet, enc->time_base, ost.st->time_base);
        packet->time_base = ost.st->time_base;
        WriteFrame(ost, packet);
        av_packet_unref(packet);
    }
    return written;
}

void TCustomFFmpeg::TranscodeEnd(TTranscodeRun& run)
{
    // 1. Flush the decoders (and the encoders behind them).
    for (size_t i = 0; i < run.inputs.size(); ++i) {
        TInputStream& ist = run.inputs[i];
        if (ist.decodingNeeded && !ist.flushed)
            ProcessInputPacket(run, static_cast<int>(i), nullptr);
    }
    FlushSubtitles(run);
    // 2. Trailers.
    const int trailers = joinMode_ ? std::min(nbOutputFiles_, 1) : nbOutputFiles_;
    for (int i = 0; i < trailers; ++i) {
        const int result = av_write_trailer(outputFiles_[i]);
        if (result < 0)
            throw FFmpegException("av_write_trailer(): " + LibraryErrorText(result));
    }
    // 3.
    ReportProgress(run, true, -1);
    // 4.
    {
        std::lock_guard lock(CodecLock());
        ReleaseCodecs();
    }
    // 5.
    completed_ = !stopRequested_;
}

void TCustomFFmpeg::ReleaseCodecs()
{
    // Encoders first, then decoders; the contexts stay in their tables for CloseAll.
    for (auto& codecs : outputStreamCodecs_) {
        for (AVCodecContext* codec : codecs) {
            if (codec && avcodec_is_open(codec)) {
                av_freep(&codec->stats_in);
                avcodec_close(codec);
            }
        }
    }
    for (auto& codecs : inputStreamCodecs_) {
        for (AVCodecContext* codec : codecs) {
            if (codec && avcodec_is_open(codec))
                avcodec_close(codec);
        }
    }
}

} // namespace qv

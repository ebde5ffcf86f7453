// The subtitle output path: one decoded subtitle re-encoded and written, DVB subtitles
// twice (a packet that shows the subtitle and one that clears it).
//
// Threads: runs on the job's thread.
#include <algorithm>
#include <cstdint>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"
#include "engine/Transcode.h"
#include "engine/VideoPath.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {
constexpr size_t SUBTITLE_BUFFER_BYTES = 1048576;
constexpr AVRational MILLISECONDS{1, 1000};
constexpr AVRational MICROSECONDS{1, AV_TIME_BASE};

struct TPacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
} // namespace

void TCustomFFmpeg::EmitSubtitle(TTranscodeRun&, TOutputStream& ost, TInputStream& ist, AVSubtitle* subtitle,
                                 int64_t pts)
{
    if (pts == AV_NOPTS_VALUE) {
        if (options_.exitOnError)
            throw FFmpegException("Subtitle packets must have a pts");
        Logger().Log(this, llError, "Subtitle packets must have a pts");
        return;
    }
    TVideoPathState& v = VideoPath();
    if (v.subtitleBuffer.size() < SUBTITLE_BUFFER_BYTES)
        v.subtitleBuffer.resize(SUBTITLE_BUFFER_BYTES);
    AVCodecContext* enc = ost.enc;
    const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
    const int rounds = dvb ? 2 : 1;
    const unsigned rects = subtitle->num_rects;
    std::unique_ptr<AVPacket, TPacketDeleter> packet(av_packet_alloc());
    if (!packet)
        throw FFmpegException("Subtitle encoding failed");

    for (int round = 0; round < rounds; ++round) {
        subtitle->pts = av_rescale_q(pts, ist.st->time_base, MICROSECONDS);
        subtitle->pts += av_rescale_q(subtitle->start_display_time, MILLISECONDS, MICROSECONDS);
        subtitle->end_display_time -= subtitle->start_display_time;
        subtitle->start_display_time = 0;
        // The second DVB packet carries no regions: it clears the screen.
        if (round == 1)
            subtitle->num_rects = 0;
        const int size = avcodec_encode_subtitle(enc, v.subtitleBuffer.data(), static_cast<int>(v.subtitleBuffer.size()),
                                                 subtitle);
        subtitle->num_rects = rects;
        if (size < 0)
            throw FFmpegException("Subtitle encoding failed");

        av_packet_unref(packet.get());
        if (av_new_packet(packet.get(), size) < 0)
            throw FFmpegException("Subtitle encoding failed");
        std::copy(v.subtitleBuffer.data(), v.subtitleBuffer.data() + size, packet->data);
        packet->stream_index = ost.index;
        packet->pts = av_rescale_q(subtitle->pts, MICROSECONDS, ost.st->time_base);
        if (dvb) {
            const uint32_t shift_ms = round == 0 ? subtitle->start_display_time : subtitle->end_display_time;
            packet->pts += av_rescale_q(shift_ms, MILLISECONDS, ost.st->time_base);
        } else if (subtitle->end_display_time != UINT32_MAX) {
            packet->duration = av_rescale_q(subtitle->end_display_time, MILLISECONDS, ost.st->time_base);
        }
        packet->dts = packet->pts;
        if (!dvb) {
            WriteFrame(ost, packet.get());
            continue;
        }
        if (round == 0) {
            // A page still on screen is cleared first if that is due before this page;
            // otherwise this page replaces it and its clearing packet is dropped.
            if (ost.heldSubtitleClear) {
                if (ost.heldSubtitleClear->pts <= packet->pts)
                    WriteFrame(ost, ost.heldSubtitleClear);
                av_packet_free(&ost.heldSubtitleClear);
            }
            WriteFrame(ost, packet.get());
        } else {
            ost.heldSubtitleClear = av_packet_clone(packet.get());
            if (!ost.heldSubtitleClear)
                throw FFmpegException("Subtitle encoding failed");
        }
    }
}

void TCustomFFmpeg::FlushSubtitles(TTranscodeRun& run)
{
    for (TOutputStream& ost : run.outputs) {
        if (ost.heldSubtitleClear) {
            WriteFrame(ost, ost.heldSubtitleClear);
            av_packet_free(&ost.heldSubtitleClear);
        }
    }
}

} // namespace qv

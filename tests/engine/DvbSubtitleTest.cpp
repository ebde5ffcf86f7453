// DVB subtitles: each subtitle is written as two packets, one that shows it and one that
// clears it. The input is made here, since the ffmpeg program cannot draw bitmap subtitles.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"
#include "support/TestSupport.h"

using namespace qv;

namespace {

// Writes a transport stream with `count` DVB subtitles, `spacing_s` apart, each a small
// two-colour bitmap. (The library's DVB encoder gives every page a 30 s time-out.)
bool WriteDvbSubtitles(const std::string& file, int count, int spacing_s)
{
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_DVB_SUBTITLE);
    AVFormatContext* output = nullptr;
    if (!encoder || avformat_alloc_output_context2(&output, nullptr, "mpegts", file.c_str()) < 0)
        return false;
    AVStream* stream = avformat_new_stream(output, nullptr);
    AVCodecContext* codec = avcodec_alloc_context3(encoder);
    codec->width = 720;
    codec->height = 576;
    codec->time_base = AVRational{1, 90000};
    bool ok = avcodec_open2(codec, encoder, nullptr) >= 0 &&
              avcodec_parameters_from_context(stream->codecpar, codec) >= 0 &&
              avio_open(&output->pb, file.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(output, nullptr) >= 0;
    std::vector<uint8_t> pixels(64 * 16), buffer(1 << 16);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = (i / 8) % 2;
    uint32_t palette[4] = {0x00000000u, 0xFFFFFFFFu, 0xFF000000u, 0xFF808080u};
    for (int n = 0; ok && n < count; ++n) {
        AVSubtitleRect rect{};
        rect.x = 100;
        rect.y = 500;
        rect.w = 64;
        rect.h = 16;
        rect.nb_colors = 4;
        rect.type = SUBTITLE_BITMAP;
        rect.data[0] = pixels.data();
        rect.linesize[0] = 64;
        rect.data[1] = reinterpret_cast<uint8_t*>(palette);
        AVSubtitleRect* rects[1] = {&rect};
        AVSubtitle subtitle{};
        subtitle.start_display_time = 0;
        subtitle.end_display_time = 800;
        subtitle.num_rects = 1;
        subtitle.rects = rects;
        subtitle.pts = (1 + n * spacing_s) * 1000000LL;
        const int size = avcodec_encode_subtitle(codec, buffer.data(), static_cast<int>(buffer.size()), &subtitle);
        AVPacket* packet = av_packet_alloc();
        ok = size > 0 && av_new_packet(packet, size) >= 0;
        if (ok) {
            std::memcpy(packet->data, buffer.data(), size);
            packet->pts = packet->dts = av_rescale_q(subtitle.pts, AV_TIME_BASE_Q, stream->time_base);
            packet->stream_index = 0;
            ok = av_interleaved_write_frame(output, packet) >= 0;
        }
        av_packet_free(&packet);
    }
    ok = ok && av_write_trailer(output) >= 0;
    avcodec_free_context(&codec);
    avio_closep(&output->pb);
    avformat_free_context(output);
    return ok;
}

int CountPackets(const std::string& file)
{
    const auto result = test::Run({"ffprobe", "-v", "error", "-count_packets", "-select_streams", "s:0",
                                   "-show_entries", "stream=codec_name,nb_read_packets", "-of", "csv=p=0", file});
    if (result.exitCode != 0 || result.output.rfind("dvb_subtitle,", 0) != 0)
        return -1;
    return std::atoi(result.output.c_str() + std::strlen("dvb_subtitle,"));
}

} // namespace

TEST(DvbSubtitles, EachSubtitleIsShownAndClearedUnlessTheNextReplacesIt)
{
    test::LoadConverterLibraries();
    const std::string dir = test::ScratchDir("DvbSubtitles");
    const struct { int spacing_s; int packets; const char* why; } cases[] = {
        {40, 6, "each page is shown and cleared 30 s later, before the next one"},
        {1, 4, "a page still on screen is replaced by the next; only the last one is cleared"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const std::string input = dir + "/input" + std::to_string(c.spacing_s) + ".ts";
        const std::string output = dir + "/output" + std::to_string(c.spacing_s) + ".ts";
        ASSERT_TRUE(WriteDvbSubtitles(input, 3, c.spacing_s));
        ASSERT_EQ(CountPackets(input), 3);

        TFFmpeg engine(20);
        engine.InitEngine();
        ASSERT_TRUE(engine.OpenInputFile(input)) << engine.LastError();
        engine.SetOption("scodec", "dvbsub");
        ASSERT_EQ(engine.OpenOutputFile(output), 1) << engine.LastError();
        engine.StartConvert(false);
        ASSERT_TRUE(engine.Completed()) << engine.ErrorMessage();
        EXPECT_EQ(CountPackets(output), c.packets);
        auto info = test::Probe(output);
        // The last page starts at 2 x spacing and is cleared 30 s later.
        EXPECT_NEAR(test::ToDouble(info["format.duration"]), c.spacing_s * 2 + 30, 1.0)
            << "the pages keep their times";
    }
}

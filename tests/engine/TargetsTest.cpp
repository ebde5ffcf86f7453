#include "OptionTestSupport.h"
#include "platform/Exceptions.h"

using namespace qv;
using namespace qv::test;

namespace {

std::string ErrorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const FFmpegException& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST_F(OptionTest, TargetProfilesSetTheirFormatAndCodecs)
{
    const struct {
        const char* target;       // the "target" key's value
        AVRational rateBefore;    // the frame rate known before (for the automatic norm)
        int width, height;
        AVRational rate;
        const char* format;
        const char* videoCodec;   // nullptr: none set
        const char* audioCodec;
        int64_t gop, videoRate_bps, audioRate_bps;
        AVPixelFormat pixelFormat;
        int sampleRate_Hz;
    } cases[] = {
        {"pal-dvd", {0, 0}, 720, 576, {25, 1}, "dvd", "mpeg2video", "ac3", 15, 6000000, 448000, AV_PIX_FMT_NONE, 48000},
        {"ntsc-vcd", {0, 0}, 352, 240, {30000, 1001}, "vcd", "mpeg1video", "mp2", 18, 1150000, 224000, AV_PIX_FMT_NONE,
         44100},
        {"film-svcd", {0, 0}, 480, 480, {24000, 1001}, "svcd", "mpeg2video", "mp2", 18, 2040000, 224000,
         AV_PIX_FMT_NONE, 44100},
        {"dvd", {30000, 1001}, 720, 480, {30000, 1001}, "dvd", "mpeg2video", "ac3", 18, 6000000, 448000,
         AV_PIX_FMT_NONE, 48000},
        {"vcd", {25, 1}, 352, 288, {25, 1}, "vcd", "mpeg1video", "mp2", 15, 1150000, 224000, AV_PIX_FMT_NONE, 44100},
        {"svcd", {24000, 1001}, 480, 480, {30000, 1001}, "svcd", "mpeg2video", "mp2", 18, 2040000, 224000,
         AV_PIX_FMT_NONE, 44100},
        {"pal-dv", {0, 0}, 720, 576, {25, 1}, "dv", nullptr, nullptr, 0, 0, 0, AV_PIX_FMT_YUV420P, 48000},
        {"ntsc-dv", {0, 0}, 720, 480, {30000, 1001}, "dv", nullptr, nullptr, 0, 0, 0, AV_PIX_FMT_YUV411P, 48000},
        {"pal-dv50", {0, 0}, 720, 576, {25, 1}, "dv", nullptr, nullptr, 0, 0, 0, AV_PIX_FMT_YUV422P, 48000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        OptionEngine engine;
        engine.options_.frameRate = c.rateBefore;
        engine.options_.audioChannels = 1;
        ASSERT_NO_THROW(engine.SetOption("target", std::string(" ") + c.target + " "));
        const TOptionState& o = engine.options_;
        EXPECT_EQ(o.frameWidth, c.width);
        EXPECT_EQ(o.frameHeight, c.height);
        EXPECT_EQ(av_cmp_q(o.frameRate, c.rate), 0) << o.frameRate.num << "/" << o.frameRate.den;
        EXPECT_EQ(o.fileFormat, c.format);
        EXPECT_EQ(o.videoCodecName.value_or(""), c.videoCodec ? c.videoCodec : "");
        EXPECT_EQ(o.audioCodecName.value_or(""), c.audioCodec ? c.audioCodec : "");
        EXPECT_EQ(o.framePixFmt, c.pixelFormat);
        EXPECT_EQ(o.audioSampleRate, c.sampleRate_Hz);
        EXPECT_EQ(o.audioChannels, 2);
        if (c.gop) {
            EXPECT_EQ(engine.CodecOptionInt(0, "g"), c.gop);
            EXPECT_EQ(engine.CodecOptionInt(0, "b"), c.videoRate_bps);
            EXPECT_EQ(engine.CodecOptionInt(1, "b"), c.audioRate_bps);
        }
    }
}

TEST_F(OptionTest, DiscProfilesKeepTheirMuxAndStreamSettings)
{
    OptionEngine vcd;
    vcd.SetOption("target", "pal-vcd");
    EXPECT_FLOAT_EQ(vcd.options_.muxPreload_s, 0.44f);
    EXPECT_FLOAT_EQ(vcd.options_.frameAspectRatio, 4.0f / 3.0f);
    EXPECT_EQ(vcd.CodecOptionInt(0, "maxrate"), 1150000);
    EXPECT_EQ(vcd.CodecOptionInt(0, "minrate"), 1150000);
    EXPECT_EQ(vcd.CodecOptionInt(0, "bufsize"), 327680);
    int64_t packetSize = 0;
    av_opt_get_int(vcd.genericFormatOptions_, "packetsize", 0, &packetSize);
    EXPECT_EQ(packetSize, 2324);

    // The old format option "muxrate" is the DVD muxer's own now; "scan_offset" moved
    // from the codec flags to the MPEG-2 encoder.
    OptionEngine dvd;
    dvd.options_.frameAspectRatio = 1.25f;
    dvd.options_.audioChannels = 6;
    dvd.SetOption("target", "ntsc-dvd");
    EXPECT_FLOAT_EQ(dvd.options_.frameAspectRatio, 1.25f) << "a known aspect ratio stays";
    EXPECT_EQ(dvd.options_.audioChannels, 6) << "only mono becomes stereo";
    AVFormatContext* output = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "dvd", nullptr), 0);
    dvd.ApplyGenericOptions(output, dvd.genericFormatOptions_, gmOutputFormat);
    int64_t muxRate = 0;
    av_opt_get_int(output->priv_data, "muxrate", 0, &muxRate);
    EXPECT_EQ(muxRate, 10080000);
    avformat_free_context(output);

    OptionEngine svcd;
    svcd.SetOption("target", "pal-svcd");
    AVDictionary* privateOptions = svcd.EncoderPrivateOptions(0, avcodec_find_encoder_by_name("mpeg2video"));
    const AVDictionaryEntry* scanOffset = av_dict_get(privateOptions, "scan_offset", nullptr, 0);
    ASSERT_NE(scanOffset, nullptr);
    EXPECT_STREQ(scanOffset->value, "1");
    av_dict_free(&privateOptions);
}

TEST_F(OptionTest, TargetNormIsFoundFromTheRateOrTheInputs)
{
    // An audio-only job has no frame rate to go by.
    {
        OptionEngine engine;
        engine.OpenInputByHand(Fixture("audio.wav"));
        EXPECT_EQ(ErrorOf([&] { engine.SetOption("target", "dvd"); }), "frame_rate is invalid.");
        EXPECT_TRUE(engine.options_.fileFormat.empty());
    }
    // A rate that says nothing: the inputs' video streams decide, then the default norm.
    const struct {
        const char* input;
        const char* defaultNorm;
        int height;
        const char* assumed;
    } cases[] = {
        {"av_h264_aac.mkv", "ntsc", 576, "PAL"}, // 25 frames per second
        {"audio.wav", "ntsc", 480, "NTSC"},
        {"audio.wav", "pal", 576, "PAL"},
        {"audio.wav", "film", 480, "NTSC"},
        {"audio.wav", "", 576, "PAL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.input) + ", default " + c.defaultNorm);
        OptionEngine engine;
        engine.OpenInputByHand(Fixture(c.input));
        engine.options_.frameRate = {15, 1};
        LogCapture log;
        engine.ApplyTarget("dvd", "auto", c.defaultNorm);
        EXPECT_EQ(engine.options_.frameHeight, c.height);
        EXPECT_TRUE(log.Has(llVerbose, std::string("Assuming ") + c.assumed + " for target."));
        EXPECT_TRUE(log.Has(llInfo, "Assuming 16:9 for aspect ratio"));
    }
    // FILM as default norm gives the film rate; no verbosity, no notice.
    OptionEngine engine;
    engine.options_.frameRate = {15, 1};
    engine.SetVerbose(0);
    LogCapture log;
    engine.ApplyTarget("vcd", "auto", "film");
    EXPECT_EQ(av_cmp_q(engine.options_.frameRate, AVRational{24000, 1001}), 0);
    EXPECT_FALSE(log.Contains("for target."));
    EXPECT_TRUE(log.Has(llInfo, "Assuming 4:3 for aspect ratio"));
}

TEST_F(OptionTest, UnknownTargetsAreRefused)
{
    OptionEngine engine;
    EXPECT_EQ(ErrorOf([&] { engine.SetOption("target", "pal-bluray"); }), "Unknown target type");
    EXPECT_EQ(ErrorOf([&] { engine.ApplyTarget("DVD", "pal", "pal"); }), "Unknown target type");
}

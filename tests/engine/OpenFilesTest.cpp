#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"
#include "support/TestSupport.h"

using namespace qv;
namespace fs = std::filesystem;

namespace {

// The engine with its file tables visible to the tests.
class Engine : public TFFmpeg {
public:
    Engine() : TFFmpeg(20) { InitEngine(); }
    TOptionState& State() { return options_; }
    AVFormatContext* Output(int i) const { return outputFiles_[i]; }
    AVFormatContext* Input(int i) const { return inputFiles_[i]; }
    AVCodecContext* OutputCodec(int file, int stream) const { return outputStreamCodecs_[file][stream]; }
    const TOutputStreamSetup& Setup(int file, int stream) const { return outputStreamSetup_[file][stream]; }
    int64_t InputOffset(int i) const { return inputFilesTsOffset_us_[i]; }
    std::vector<AVMediaType> OutputKinds(int i) const
    {
        std::vector<AVMediaType> kinds;
        for (int s = 0; s < MAX_STREAMS && outputStreamCodecs_[i][s]; ++s)
            kinds.push_back(outputStreamCodecs_[i][s]->codec_type);
        return kinds;
    }
};

// Collects the log lines of a test.
struct LogLines {
    std::vector<std::pair<TLogLevel, std::string>> lines;
    LogLines()
    {
        Logger().SetTriggerEventInMainThread(false);
        Logger().SetLogLevel(llDebug);
        Logger().OnLog = [this](const void*, uint32_t, TLogLevel level, const std::string& text) {
            lines.emplace_back(level, text);
        };
    }
    ~LogLines() { Logger().OnLog = nullptr; }
    bool Contains(TLogLevel level, const std::string& text) const
    {
        for (const auto& [l, t] : lines)
            if (l == level && t.find(text) != std::string::npos)
                return true;
        return false;
    }
};

class OpenFiles : public ::testing::Test {
protected:
    void SetUp() override { test::LoadConverterLibraries(); }
};

} // namespace

TEST_F(OpenFiles, InputPropertiesReachTheOptionStateAndASecondInputOverwritesThem)
{
    Engine engine;
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv"))) << engine.LastError();
    const TOptionState& o = engine.State();
    EXPECT_EQ(o.frameWidth, 320);
    EXPECT_EQ(o.frameHeight, 240);
    EXPECT_EQ(o.frameRate.num / std::max(o.frameRate.den, 1), 25);
    EXPECT_NEAR(o.frameAspectRatio, 4.0 / 3.0, 1e-4);
    EXPECT_EQ(o.framePixFmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(o.audioSampleRate, 44100);
    EXPECT_EQ(o.audioChannels, 1);
    EXPECT_GT(engine.TotalDuration_us(), 2900000);

    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_small_30fps.mp4"))) << engine.LastError();
    EXPECT_EQ(o.frameWidth, 176);
    EXPECT_EQ(o.frameHeight, 144);
    EXPECT_EQ(av_q2d(o.frameRate), 30.0);
    EXPECT_EQ(o.audioSampleRate, 22050);
    EXPECT_EQ(o.audioChannels, 1);
    EXPECT_EQ(engine.InputFileCount(), 2);
    EXPECT_GT(engine.TotalDuration_us(), 2900000) << "the longer input sets the total";
}

TEST_F(OpenFiles, VideoWithoutSizeGetsFourToThreeAndPixelFormatZero)
{
    Engine engine;
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("no_size_video.ts"))) << engine.LastError();
    EXPECT_EQ(engine.State().frameWidth, 0);
    EXPECT_EQ(engine.State().frameHeight, 0);
    EXPECT_NEAR(engine.State().frameAspectRatio, 4.0 / 3.0, 1e-6);
    EXPECT_EQ(engine.State().framePixFmt, static_cast<AVPixelFormat>(0)) << "an unknown pixel format counts as 0";
}

TEST_F(OpenFiles, InputErrorsLeaveAReasonAndNoInput)
{
    const std::string dir = test::ScratchDir("InputErrors");
    const struct { std::string name; std::string error; } cases[] = {
        {dir + "/missing.mp4", dir + "/missing.mp4: No such file or directory"},
        {test::Fixture("not_media.mp4"), test::Fixture("not_media.mp4") + ": Invalid data found when processing input"},
        {dir, dir + ": "},
    };
    for (const auto& c : cases) {
        Engine engine;
        EXPECT_FALSE(engine.OpenInputFile(c.name));
        EXPECT_EQ(engine.LastError().rfind(c.error, 0), 0u) << engine.LastError();
        EXPECT_EQ(engine.InputFileCount(), 0);
    }
    Engine engine;
    engine.SetFileFormat("no-such-format");
    try {
        engine.OpenInputFile(test::Fixture("audio.wav"));
        FAIL() << "an unknown forced format raises";
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "Unknown input format: \"no-such-format\"");
    }
}

TEST_F(OpenFiles, ForcedDecoderLookupAndItsMessages)
{
    const struct { const char* videoCodec; const char* error; } cases[] = {
        {"no_such_codec", "Unknown decoder 'no_such_codec'"},
        {"mp3", "Invalid decoder type 'mp3'"},
    };
    for (auto c : cases) {
        Engine engine;
        engine.SetVideoCodecName(c.videoCodec);
        EXPECT_FALSE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
        EXPECT_EQ(engine.LastError(), c.error);
        EXPECT_FALSE(engine.State().videoCodecName.has_value()) << "the names are consumed";
    }
    Engine engine;
    engine.SetVideoCodecName("h264");
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv"))) << engine.LastError();
    EXPECT_EQ(engine.Input(0)->video_codec_id, AV_CODEC_ID_H264);
}

TEST_F(OpenFiles, StartPositionSeeksAndBeyondTheEndIsLogged)
{
    LogLines log;
    Engine engine;
    engine.SetVerbose(1);
    engine.SetStartTime(1000000);
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv"))) << engine.LastError();
    EXPECT_EQ(engine.State().startTime_us, 0) << "the start time is consumed by the seek";
    EXPECT_EQ(engine.InputOffset(0), -1000000);

    Engine beyond;
    beyond.SetVerbose(1);
    beyond.SetStartTime(3600LL * 1000000);
    ASSERT_TRUE(beyond.OpenInputFile(test::Fixture("video.h264"))) << beyond.LastError();
    EXPECT_TRUE(log.Contains(llVerbose, ": could not seek to position 3600.000")) << "seek failure is logged";
}

TEST_F(OpenFiles, OutputStreamsFollowTheContainerAndTheInputs)
{
    const std::string dir = test::ScratchDir("OutputStreams");
    const struct {
        const char* input;
        const char* output;
        const char* audioCodec;
        std::vector<AVMediaType> kinds;
    } cases[] = {
        {"av_h264_aac.mkv", "out.mp4", nullptr, {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}},
        {"av_h264_aac.mkv", "audio.mp3", nullptr, {AVMEDIA_TYPE_AUDIO}},
        {"av_h264_aac.mkv", "audio.wav", nullptr, {AVMEDIA_TYPE_AUDIO}},
        {"video_only.avi", "noaudio.avi", "mp2", {AVMEDIA_TYPE_VIDEO}},
        {"audio.wav", "sound.mkv", nullptr, {AVMEDIA_TYPE_AUDIO}},
        {"with_subtitle.mkv", "subs.mkv", nullptr, {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE}},
    };
    for (const auto& c : cases) {
        Engine engine;
        ASSERT_TRUE(engine.OpenInputFile(test::Fixture(c.input))) << engine.LastError();
        if (c.audioCodec)
            engine.SetAudioCodecName(c.audioCodec);
        ASSERT_EQ(engine.OpenOutputFile(dir + "/" + c.output), 1) << c.output << ": " << engine.LastError();
        EXPECT_EQ(engine.OutputKinds(0), c.kinds) << c.output;
        EXPECT_EQ(engine.Output(0)->nb_streams, c.kinds.size()) << c.output;
    }
}

TEST_F(OpenFiles, NewStreamsTakeTheOptionStateAndResetIt)
{
    const std::string dir = test::ScratchDir("NewStreams");
    Engine engine;
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv"))) << engine.LastError();
    TOptionState& o = engine.State();
    o.videoLanguage = "chi";
    o.audioLanguage = "eng";
    o.streamIdMap[0] = 0x1e0;
    o.streamIdMap[1] = 0x1c0;
    o.videoCodecTag = 0x30355844; // "DX50"
    o.doPass = 1;
    o.intraOnly = true;
    o.audioSampleRate = 22050;
    o.videoRcOverride = "0,10,2/20,30,-50";
    engine.SetVideoCodecName("mpeg4");
    engine.SetAudioCodecName("libmp3lame");
    ASSERT_EQ(engine.OpenOutputFile(dir + "/out.avi"), 1) << engine.LastError();

    AVFormatContext* output = engine.Output(0);
    ASSERT_EQ(output->nb_streams, 2u);
    AVCodecContext* video = engine.OutputCodec(0, 0);
    AVCodecContext* audio = engine.OutputCodec(0, 1);
    EXPECT_EQ(video->codec_id, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(video->codec_tag, 0x30355844u);
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    EXPECT_EQ(video->time_base.num, 1);
    EXPECT_EQ(video->time_base.den, 25);
    EXPECT_EQ(video->gop_size, 0);
    EXPECT_TRUE(video->flags & AV_CODEC_FLAG_PASS1);
    ASSERT_EQ(video->rc_override_count, 2);
    EXPECT_EQ(video->rc_override[0].qscale, 2);
    EXPECT_EQ(video->rc_override[1].qscale, 0);
    EXPECT_FLOAT_EQ(video->rc_override[1].quality_factor, 0.5f);
    EXPECT_EQ(engine.Setup(0, 0).encoderByName, avcodec_find_encoder_by_name("mpeg4"));
    EXPECT_EQ(audio->codec_id, AV_CODEC_ID_MP3);
    EXPECT_EQ(audio->sample_rate, 22050);
    EXPECT_EQ(audio->time_base.den, 22050);
    EXPECT_EQ(output->streams[0]->id, 0x1e0);
    EXPECT_EQ(output->streams[1]->id, 0x1c0);
    EXPECT_STREQ(av_dict_get(output->streams[0]->metadata, "language", nullptr, 0)->value, "chi");
    EXPECT_STREQ(av_dict_get(output->streams[1]->metadata, "language", nullptr, 0)->value, "eng");

    // The per-kind fields are consumed, the stream id map cleared.
    EXPECT_TRUE(o.videoLanguage.empty());
    EXPECT_TRUE(o.audioLanguage.empty());
    EXPECT_FALSE(o.videoCodecName.has_value());
    EXPECT_FALSE(o.audioCodecName.has_value());
    EXPECT_EQ(o.framePixFmt, AV_PIX_FMT_NONE);
    EXPECT_EQ(o.streamIdMap[0], 0);
}

TEST_F(OpenFiles, RateControlOverrideSyntaxError)
{
    Engine engine;
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
    engine.State().videoRcOverride = "0,10";
    engine.SetVideoCodecName("mpeg4");
    EXPECT_EQ(engine.OpenOutputFile(test::ScratchDir("RcOverride") + "/out.avi"), -1);
    EXPECT_EQ(engine.LastError(), "new_video_stream fail: error parsing rc_override");
}

TEST_F(OpenFiles, SampleRateAndFormatChoices)
{
    LogLines log;
    const std::string dir = test::ScratchDir("SampleRate");
    Engine engine;
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("audio.wav")));
    engine.State().audioSampleRate = 22050;
    engine.SetAudioCodecName("ac3");
    ASSERT_EQ(engine.OpenOutputFile(dir + "/out.ac3"), 1) << engine.LastError();
    AVCodecContext* audio = engine.OutputCodec(0, 0);
    EXPECT_EQ(audio->sample_rate, 32000) << "the closest rate ac3 lists";
    EXPECT_EQ(audio->sample_fmt, AV_SAMPLE_FMT_FLTP) << "s16 input, ac3 takes planar float";
    EXPECT_EQ(audio->time_base.den, 22050) << "the time base keeps the requested rate";
    EXPECT_TRUE(log.Contains(llWarning, "Requested sampling rate unsupported using closest supported (32000)"));

    // An encoder that lists 44100 and 48000 (and higher) takes 44100 for 22050.
    const AVCodec* truehd = avcodec_find_encoder_by_name("truehd");
    ASSERT_NE(truehd, nullptr);
    Engine second;
    ASSERT_TRUE(second.OpenInputFile(test::Fixture("audio.wav")));
    second.State().audioSampleRate = 22050;
    second.SetAudioCodecName("truehd");
    if (truehd->capabilities & AV_CODEC_CAP_EXPERIMENTAL) {
        EXPECT_EQ(second.OpenOutputFile(dir + "/out.mka"), -1);
        EXPECT_NE(second.LastError().find("encoder 'truehd' is experimental and might produce bad results.\r\n"
                                          "Add '-strict experimental' if you want to use it."),
                  std::string::npos)
            << second.LastError();
    } else {
        ASSERT_EQ(second.OpenOutputFile(dir + "/out.mka"), 1) << second.LastError();
        EXPECT_EQ(second.OutputCodec(0, 0)->sample_rate, 44100);
    }
}

TEST_F(OpenFiles, OutputErrors)
{
    const std::string dir = test::ScratchDir("OutputErrors");
    std::ofstream(dir + "/plainfile") << "x";
    const struct { std::string name; const char* format; std::string error; } cases[] = {
        {dir + "/out.nosuchext", nullptr, "Unable to find a suitable output format for '" + dir + "/out.nosuchext'"},
        {dir + "/out.mp4", "nosuchformat", "Requested output format 'nosuchformat' is not a suitable output format"},
        {dir + "/feed.ffm", nullptr, "Unable to find a suitable output format for '" + dir + "/feed.ffm'"},
        {dir + "/chunk.webm", "webm_chunk", dir + "/chunk.webm: Number syntax expected in filename"},
        {dir + "/no/such/folder/out.mp4", nullptr, dir + "/no/such/folder/out.mp4: No such file or directory"},
        {dir + "/plainfile/out.mp4", nullptr, dir + "/plainfile/out.mp4: Error number -20 occurred"},
    };
    for (const auto& c : cases) {
        Engine engine;
        ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
        if (c.format)
            engine.SetFileFormat(c.format);
        EXPECT_EQ(engine.OpenOutputFile(c.name), -1) << c.name;
        EXPECT_EQ(engine.LastError(), c.error);
        EXPECT_EQ(engine.OutputFileCount(), 0);
    }
    // An encoder that does not exist fails the stream step.
    Engine engine;
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
    engine.SetVideoCodecName("libnothing");
    EXPECT_EQ(engine.OpenOutputFile(dir + "/out.mkv"), -1);
    EXPECT_EQ(engine.LastError(), "new_video_stream fail: Unknown encoder 'libnothing'");
    EXPECT_FALSE(fs::exists(dir + "/out.mkv")) << "a refused output leaves no file";
}

TEST_F(OpenFiles, JoinMakesOneEntryPerInputOfOneFile)
{
    const std::string dir = test::ScratchDir("Join");
    Engine engine;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv"))) << engine.LastError();
    int64_t sum_us = 3 * engine.Input(0)->duration;
    EXPECT_EQ(engine.OpenOutputFile(dir + "/joined.mkv", true), 3) << engine.LastError();
    EXPECT_TRUE(engine.JoinMode());
    EXPECT_EQ(engine.Output(0), engine.Output(1));
    EXPECT_EQ(engine.Output(1), engine.Output(2));
    EXPECT_EQ(engine.TotalDuration_us(), sum_us);
    EXPECT_EQ(engine.OpenOutputFile(dir + "/second.mkv"), -1);
    EXPECT_EQ(engine.LastError(), "Cannot join more than one output file.");
    engine.CloseAll(); // the shared context is closed once
    EXPECT_FALSE(fs::exists(dir + "/joined.mkv")) << "nothing was written, the empty file is removed";
}

TEST_F(OpenFiles, StreamCopyStreamsAreMarked)
{
    const std::string dir = test::ScratchDir("StreamCopy");
    Engine engine;
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
    engine.State().videoStreamCopy = true;
    engine.State().audioStreamCopy = true;
    ASSERT_EQ(engine.OpenOutputFile(dir + "/copy.mp4"), 1) << engine.LastError();
    EXPECT_TRUE(engine.Setup(0, 0).streamCopy);
    EXPECT_TRUE(engine.Setup(0, 1).streamCopy);
    EXPECT_FALSE(engine.State().videoStreamCopy);
    EXPECT_FALSE(engine.State().audioStreamCopy);
    EXPECT_EQ(engine.OutputCodec(0, 0)->sample_aspect_ratio.num, 1);
    EXPECT_EQ(engine.OutputCodec(0, 0)->sample_aspect_ratio.den, 1);
}

TEST_F(OpenFiles, ChineseNamesWithSpacesPlainAndAsUnicodeUrls)
{
    const std::string dir = test::ScratchDir("ChineseNames");
    const std::string source = dir + "/中文 视频 文件.mkv";
    fs::copy_file(test::Fixture("av_h264_aac.mkv"), source);
    const struct { std::string input, output, written; } cases[] = {
        {source, dir + "/输出 一.mp4", dir + "/输出 一.mp4"},
        {"unicode:utf8:" + source, "unicode:utf8:" + dir + "/输出 二.mp4", dir + "/输出 二.mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Engine engine;
        ASSERT_TRUE(engine.OpenInputFile(c.input)) << engine.LastError();
        engine.SetOption("vcodec", "copy");
        engine.SetOption("acodec", "copy");
        ASSERT_EQ(engine.OpenOutputFile(c.output), 1) << engine.LastError();
        engine.StartConvert(false);
        ASSERT_TRUE(engine.Completed()) << engine.ErrorMessage();
        auto info = test::Probe(c.written);
        EXPECT_NEAR(test::ToDouble(info["format.duration"]), 3.0, 0.1);
        EXPECT_EQ(info["streams.stream.0.codec_name"], "h264");
    }
    EXPECT_TRUE(fs::exists(source)) << "the source is untouched";
}

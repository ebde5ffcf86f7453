// Transcode initialisation: mapping rules and the set-up failures, through the engine.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFmpeg.h"
#include "platform/MainThread.h"
#include "runtime/FFmpegLogger.h"
#include "support/TestSupport.h"

using namespace qv;
namespace fs = std::filesystem;

namespace {

class TranscodeInit : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::LoadConverterLibraries();
        MainThreadDispatcher::Instance().BindToCurrentThread();
        Logger().SetTriggerEventInMainThread(false);
        Logger().SetLogLevel(llInfo);
        Logger().OnLog = [this](const void*, uint32_t, TLogLevel, const std::string& text) { log.push_back(text); };
    }
    void TearDown() override { Logger().OnLog = nullptr; }
    bool Logged(const std::string& text) const
    {
        for (const std::string& line : log)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> log;
};

} // namespace

TEST_F(TranscodeInit, SetUpFailuresEndTheJobWithTheirMessage)
{
    const std::string dir = test::ScratchDir("InitFailures");
    struct Case {
        const char* name;
        std::function<void(TFFmpeg&, const std::string& out)> job;
        std::string message;
    };
    const Case cases[] = {
        {"type mismatch",
         [](TFFmpeg& e, const std::string& out) {
             ASSERT_TRUE(e.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
             e.SetOption("map", "0:1");
             e.SetOption("map", "0:0");
             e.SetOption("vcodec", "copy");
             e.SetOption("acodec", "copy");
             ASSERT_EQ(e.OpenOutputFile(out + ".mkv"), 1);
         },
         "Codec type mismatch for mapping #0.1 (Audio) -> #0.0 (Video)"},
        {"no matching input stream",
         [](TFFmpeg& e, const std::string& out) {
             e.SetOption("vdt", "48"); // the input's video is discarded entirely
             ASSERT_TRUE(e.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
             e.SetOption("vcodec", "mpeg4");
             e.SetOption("an", "");
             ASSERT_EQ(e.OpenOutputFile(out + ".avi"), 1);
         },
         "Could not find input stream matching output stream #0.0 (Video)"},
        {"pass 2 without its log",
         [&dir](TFFmpeg& e, const std::string& out) {
             ASSERT_TRUE(e.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
             e.SetOption("passlogfile", dir + "/nolog");
             e.SetOption("pass", "2");
             e.SetOption("vcodec", "mpeg4");
             e.SetOption("an", "");
             ASSERT_EQ(e.OpenOutputFile(out + ".avi"), 1);
         },
         "Cannot read file: Error reading log file \"" + dir + "/nolog-0.log\" for pass-2 encoding"},
        {"metadata map output",
         [](TFFmpeg& e, const std::string& out) {
             ASSERT_TRUE(e.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
             e.SetOption("map_meta_data", "3:0");
             e.SetOption("vcodec", "copy");
             e.SetOption("acodec", "copy");
             ASSERT_EQ(e.OpenOutputFile(out + ".mkv"), 1);
         },
         "Invalid output file index 3 map_meta_data(3,0)"},
        {"metadata map input",
         [](TFFmpeg& e, const std::string& out) {
             ASSERT_TRUE(e.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
             e.SetOption("map_meta_data", "0:5");
             e.SetOption("vcodec", "copy");
             e.SetOption("acodec", "copy");
             ASSERT_EQ(e.OpenOutputFile(out + ".mkv"), 1);
         },
         "Invalid input file index 5 map_meta_data(0,5)"},
        {"encoder refuses its parameters",
         [](TFFmpeg& e, const std::string& out) {
             ASSERT_TRUE(e.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
             e.SetOption("vcodec", "h261"); // takes only CIF and QCIF pictures, not 320x240
             e.SetOption("an", "");
             ASSERT_EQ(e.OpenOutputFile(out + ".avi"), 1);
         },
         "Error while opening encoder for output stream #0.0 (Video) - maybe incorrect parameters such as "
         "bit_rate, rate, width or height. Please check error log message to find out more detail information."},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir + "/job" + std::to_string(n++);
        TFFmpeg engine(20);
        engine.InitEngine();
        c.job(engine, out);
        engine.StartConvert(false);
        EXPECT_TRUE(engine.ErrorOccurred());
        EXPECT_EQ(engine.ErrorMessage(), c.message);
        EXPECT_FALSE(engine.Completed());
    }
}

TEST_F(TranscodeInit, TwoOutputsOfOneVideoInputShareTheSource)
{
    const std::string dir = test::ScratchDir("TwoOutputs");
    TFFmpeg engine(20);
    engine.InitEngine();
    engine.SetVerbose(1);
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("video_only.avi")));
    engine.SetOption("vcodec", "copy");
    ASSERT_EQ(engine.OpenOutputFile(dir + "/first.avi"), 1);
    engine.SetOption("vcodec", "copy");
    ASSERT_EQ(engine.OpenOutputFile(dir + "/second.mkv"), 2);
    engine.StartConvert(false);
    ASSERT_TRUE(engine.Completed()) << engine.ErrorMessage();
    EXPECT_TRUE(Logged("  Stream #0.0 -> #0.0 (Video)"));
    EXPECT_TRUE(Logged("  Stream #0.0 -> #1.0 (Video)"));
    for (const char* name : {"/first.avi", "/second.mkv"}) {
        auto info = test::Probe(dir + name);
        EXPECT_EQ(info["streams.stream.0.codec_name"], "mjpeg") << name;
    }
}

TEST_F(TranscodeInit, SessionDescriptionOnlyWhenEveryOutputIsRtp)
{
    const std::string dir = test::ScratchDir("Rtp");
    for (bool alsoAFile : {false, true}) {
        SCOPED_TRACE(alsoAFile ? "rtp and a file" : "rtp only");
        log.clear();
        TFFmpeg engine(20);
        engine.InitEngine();
        ASSERT_TRUE(engine.OpenInputFile(test::Fixture("audio.wav")));
        engine.SetOption("f", "rtp");
        engine.SetOption("acodec", "pcm_mulaw");
        engine.SetOption("ar", "8000");
        engine.SetOption("ac", "1");
        ASSERT_EQ(engine.OpenOutputFile("rtp://127.0.0.1:45970"), 1) << engine.LastError();
        if (alsoAFile) {
            engine.SetOption("acodec", "copy");
            ASSERT_EQ(engine.OpenOutputFile(dir + "/copy.wav"), 2) << engine.LastError();
        }
        engine.StartConvert(false);
        ASSERT_TRUE(engine.Completed()) << engine.ErrorMessage();
        bool sdp = false;
        for (const std::string& line : log)
            sdp = sdp || (line.rfind("SDP:\r\n", 0) == 0 && line.find("m=audio 45970 RTP/AVP 0") != std::string::npos);
        EXPECT_EQ(sdp, !alsoAFile);
    }
}

// The transcode loop on stream-copy jobs, driven through the engine itself: stopping,
// and the progress report's figures and lines.
#include <atomic>
#include <functional>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFmpeg.h"
#include "platform/MainThread.h"
#include "runtime/FFmpegLogger.h"
#include "support/TestSupport.h"

using namespace qv;

namespace {

struct Reports {
    std::mutex mutex;
    std::vector<TProgressFigures> figures;
    static void Callback(void* user, TCustomFFmpeg*, const TProgressFigures& f)
    {
        auto* self = static_cast<Reports*>(user);
        std::lock_guard lock(self->mutex);
        self->figures.push_back(f);
    }
    size_t Count()
    {
        std::lock_guard lock(mutex);
        return figures.size();
    }
};

class TranscodeCopy : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::LoadConverterLibraries();
        MainThreadDispatcher::Instance().BindToCurrentThread();
        Logger().SetTriggerEventInMainThread(false);
    }
    void TearDown() override { Logger().OnLog = nullptr; }
};

} // namespace

TEST_F(TranscodeCopy, AStoppedJobLeavesAValidFileWithItsTrailer)
{
    const std::string out = test::ScratchDir("StopCopy") + "/stopped.mkv";
    TFFmpeg engine(20);
    engine.InitEngine();
    Reports reports;
    engine.SetProgressCallback(&Reports::Callback, &reports);
    engine.ProgressInterval_us = 100000;
    engine.SetOption("re", ""); // read at the pace of the clock, so the stop lands mid-way
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("long_h264_aac.mkv"))) << engine.LastError();
    engine.SetOption("vcodec", "copy");
    engine.SetOption("acodec", "copy");
    ASSERT_EQ(engine.OpenOutputFile(out), 1) << engine.LastError();
    TThread* worker = engine.StartConvert(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reports.Count() < 5 && std::chrono::steady_clock::now() < deadline)
        MainThreadDispatcher::Instance().WaitAndProcess(20);
    engine.StopConvert(true);

    EXPECT_TRUE(engine.Finished());
    EXPECT_FALSE(engine.Completed()) << "a stopped job is not complete";
    EXPECT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
    auto info = test::Probe(out);
    const double duration_s = test::ToDouble(info["format.duration"]);
    EXPECT_GT(duration_s, 0.2);
    EXPECT_LT(duration_s, 7.0) << "stopped before the end of the 8 s input";
    EXPECT_EQ(test::DecodeErrors(out), "") << "the trailer was written";
}

TEST_F(TranscodeCopy, AnAudioOnlyJobReportsNoVideoFigures)
{
    const std::string out = test::ScratchDir("AudioReport") + "/audio.mka";
    TFFmpeg engine(20);
    engine.InitEngine();
    Reports reports;
    engine.SetProgressCallback(&Reports::Callback, &reports);
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("audio.mp3"))) << engine.LastError();
    engine.SetOption("acodec", "copy");
    ASSERT_EQ(engine.OpenOutputFile(out), 1) << engine.LastError();
    engine.StartConvert(false);
    ASSERT_TRUE(engine.Completed()) << engine.ErrorMessage();
    ASSERT_FALSE(reports.figures.empty());
    const TProgressFigures& last = reports.figures.back();
    EXPECT_EQ(last.fileIndex, -1) << "the final report";
    EXPECT_EQ(last.frameNumber, -1);
    EXPECT_EQ(last.fps, -1);
    EXPECT_FLOAT_EQ(last.quality, -1.0f);
    EXPECT_GT(last.totalSize_bytes, 40000);
    EXPECT_NEAR(last.time_us / 1e6, 3.0, 0.1);
    EXPECT_NEAR(last.bitrate_kbps, last.totalSize_bytes * 8 / (last.time_us / 1e6) / 1000, 1.0);
    EXPECT_GT(last.totalDuration_us, 2900000);
}

TEST_F(TranscodeCopy, AVideoJobReportsFramesAndTheFinalLine)
{
    const std::string out = test::ScratchDir("VideoReport") + "/video.mkv";
    std::vector<std::string> lines;
    Logger().SetLogLevel(llInfo);
    Logger().OnLog = [&](const void*, uint32_t, TLogLevel level, const std::string& text) {
        if (level == llVerbose)
            lines.push_back(text);
    };
    TFFmpeg engine(20);
    engine.InitEngine();
    engine.SetVerbose(1);
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv"))) << engine.LastError();
    engine.SetOption("vcodec", "copy");
    engine.SetOption("acodec", "copy");
    ASSERT_EQ(engine.OpenOutputFile(out), 1) << engine.LastError();
    engine.StartConvert(false);
    ASSERT_TRUE(engine.Completed()) << engine.ErrorMessage();
    Logger().OnLog = nullptr;

    // Without a callback the report is a log line; the final one is marked "L".
    std::string final, totals;
    for (const std::string& line : lines) {
        if (line.rfind("frame=", 0) == 0 && line.find('L') != std::string::npos)
            final = line;
        if (line.rfind("video:", 0) == 0)
            totals = line;
    }
    EXPECT_EQ(final.rfind("frame=   75 fps=", 0), 0u) << final;
    EXPECT_NE(final.find("q=-1.0 Lsize="), std::string::npos) << final;
    EXPECT_NE(final.find(" time=3.0"), std::string::npos) << final;
    EXPECT_NE(final.find("kbits/s"), std::string::npos) << final;
    EXPECT_EQ(totals.rfind("video:", 0), 0u);
    EXPECT_NE(totals.find("muxing overhead"), std::string::npos) << totals;

    bool mapping = false;
    for (const std::string& line : lines)
        mapping = mapping || line == "  Stream #0.0 -> #0.0 (Video)";
    EXPECT_TRUE(mapping) << "the stream mapping is reported";
}

TEST_F(TranscodeCopy, SetUpFailuresEndTheJobWithTheirMessage)
{
    const std::string dir = test::ScratchDir("CopyFailures");
    struct Case {
        const char* name;
        std::function<void(TFFmpeg&)> configure;
        const char* message;
    };
    const Case cases[] = {
        {"map count", [](TFFmpeg& e) { e.SetOption("map", "0.0"); },
         "Number of stream maps must match number of output streams"},
        {"vol with audio copy", [](TFFmpeg& e) { e.SetOption("vol", "128"); },
         "-acodec copy and -vol are incompatible (frames are not decoded)"},
        {"preview with video copy", [](TFFmpeg& e) { e.SetPreviewFlags(pfWindow); },
         "-vcodec copy and PostHooks are incompatible (frames are not decoded)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFFmpeg engine(20);
        engine.InitEngine();
        ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv")));
        engine.SetOption("vcodec", "copy");
        engine.SetOption("acodec", "copy");
        c.configure(engine);
        ASSERT_EQ(engine.OpenOutputFile(dir + "/" + c.name + ".mkv"), 1) << engine.LastError();
        engine.StartConvert(false);
        EXPECT_TRUE(engine.ErrorOccurred());
        EXPECT_EQ(engine.ErrorMessage(), c.message);
        EXPECT_FALSE(engine.Completed());
    }
}

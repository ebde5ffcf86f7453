#include <atomic>
#include <filesystem>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "engine/FFmpeg.h"
#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "runtime/FFmpegLogger.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace qv;
using namespace std::chrono_literals;

namespace {

// An engine whose transcode is a loop that hands a call to the main thread on every
// turn until it is asked to stop, the way a job's progress events do. Its one input
// and one output are placeholder contexts, enough for the start checks.
class LoopingEngine : public TFFmpeg {
public:
    explicit LoopingEngine(bool withInput = true, bool withOutput = true) : TFFmpeg(20)
    {
        InitEngine();
        if (withInput)
            inputFiles_[nbInputFiles_++] = avformat_alloc_context();
        if (withOutput) {
            AVFormatContext* output = nullptr;
            avformat_alloc_output_context2(&output, nullptr, "null", nullptr);
            outputFiles_[nbOutputFiles_++] = output;
        }
    }
    std::atomic<int> mainThreadCalls{0};
    std::atomic<bool> looping{false};

protected:
    void TranscodeMain() override
    {
        looping = true;
        while (!StopRequested()) {
            TThread::PausePoint();
            RunInMainThread([this] { ++mainThreadCalls; });
            std::this_thread::sleep_for(1ms);
        }
    }
};

struct Termination {
    std::atomic<int> count{0};
    static void Callback(void* user, TCustomFFmpeg*) { ++static_cast<Termination*>(user)->count; }
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::LoadConverterLibraries();
        MainThreadDispatcher::Instance().BindToCurrentThread();
    }
};

} // namespace

TEST(Engine, MaxFilesMustBeOneTo512)
{
    EXPECT_THROW(TFFmpeg(0), AssertionFailure);
    EXPECT_THROW(TFFmpeg(513), AssertionFailure);
    EXPECT_NO_THROW(TFFmpeg(1));
    EXPECT_NO_THROW(TFFmpeg(512));
}

TEST_F(EngineTest, ResetOptionsRestoresEveryDefault)
{
    TFFmpeg engine(20);
    engine.InitEngine();
    const TOptionState defaults = engine.Options();
    EXPECT_EQ(defaults.audioSampleRate, 44100);
    EXPECT_EQ(defaults.audioChannels, 2);
    EXPECT_EQ(defaults.audioVolume, 256);
    EXPECT_EQ(defaults.framePixFmt, AV_PIX_FMT_NONE);
    EXPECT_EQ(defaults.maxFrames[0], 2147483647);
    EXPECT_EQ(defaults.recordingTime_us, INT64_MAX);
    EXPECT_EQ(defaults.topFieldFirst, -1);
    EXPECT_EQ(defaults.intraDcPrecision, 8);
    EXPECT_EQ(defaults.videoSyncMethod, -1);
    EXPECT_FLOAT_EQ(defaults.muxPreload_s, 0.5f);
    EXPECT_FLOAT_EQ(defaults.muxMaxDelay_s, 0.7f);
    EXPECT_FLOAT_EQ(defaults.audioQScale, -99999.0f);
    EXPECT_FLOAT_EQ(defaults.dtsDeltaThreshold_s, 10.0f);
    EXPECT_EQ(defaults.swsFlags, 4);
    EXPECT_EQ(defaults.bitBufferSize_bytes, 262144);
    EXPECT_EQ(engine.TotalDuration_us(), -1);

    engine.SetStartTime(5000000);
    engine.SetRecordingTime(2000000);
    engine.SetAudioVolume(128);
    engine.SetMuxPreload(1.5f);
    engine.SetVideoCodecName("mpeg4");
    engine.SetFileFormat("avi");
    engine.SetAudioSyncMethod(1);
    engine.ResetOptions();
    const TOptionState& after = engine.Options();
    EXPECT_EQ(after.startTime_us, 0);
    EXPECT_EQ(after.recordingTime_us, INT64_MAX);
    EXPECT_EQ(after.audioVolume, 256);
    EXPECT_FLOAT_EQ(after.muxPreload_s, 0.5f);
    EXPECT_FALSE(after.videoCodecName.has_value());
    EXPECT_TRUE(after.fileFormat.empty());
    EXPECT_EQ(after.audioSyncMethod, 0);
}

TEST_F(EngineTest, DirectSettersIgnoreNoValueAndSignRules)
{
    TFFmpeg engine(20);
    engine.InitEngine();
    engine.SetStartTime(NO_TIME_US);
    EXPECT_EQ(engine.Options().startTime_us, 0);
    engine.SetRecordingTime(NO_TIME_US);
    EXPECT_EQ(engine.Options().recordingTime_us, INT64_MAX);
    engine.SetRecordingTime(3000000);
    EXPECT_EQ(engine.TotalDuration_us(), 3000000) << "the recording time is the total duration";
    engine.SetProgramId(-1);
    EXPECT_EQ(engine.Options().optProgramId, 0);
    engine.SetAudioVolume(-5);
    EXPECT_EQ(engine.Options().audioVolume, 256);
    engine.SetMuxMaxDelay(0.0f);
    engine.SetMuxPreload(-1.0f);
    EXPECT_FLOAT_EQ(engine.Options().muxMaxDelay_s, 0.7f);
    EXPECT_FLOAT_EQ(engine.Options().muxPreload_s, 0.5f);
}

TEST_F(EngineTest, StartWithoutFilesFailsAndStillTerminates)
{
    const struct { bool input, output; const char* message; } cases[] = {
        {true, false, "At least one output file must be specified"},
        {false, true, "At least one input file must be specified"},
        {false, false, "At least one output file must be specified"},
    };
    for (auto c : cases) {
        LoopingEngine engine(c.input, c.output);
        Termination termination;
        engine.SetTerminateCallback(&Termination::Callback, &termination);
        std::vector<std::string> logged;
        Logger().SetTriggerEventInMainThread(false);
        Logger().OnLog = [&](const void*, uint32_t, TLogLevel level, const std::string& text) {
            if (level == llQuiet)
                logged.push_back(text);
        };
        EXPECT_EQ(engine.StartConvert(true), nullptr);
        Logger().OnLog = nullptr;
        EXPECT_EQ(termination.count.load(), 1);
        EXPECT_TRUE(engine.ErrorOccurred());
        EXPECT_EQ(engine.ErrorMessage(), c.message);
        EXPECT_TRUE(engine.Finished());
        EXPECT_FALSE(engine.Running());
        EXPECT_EQ(engine.InputFileCount(), 0) << "the files are closed";
        EXPECT_EQ(engine.OutputFileCount(), 0);
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0], c.message);
    }
}

TEST_F(EngineTest, StartOnARunningOrFinishedEngineChangesNothing)
{
    LoopingEngine engine;
    Termination termination;
    engine.SetTerminateCallback(&Termination::Callback, &termination);
    TThread* worker = engine.StartConvert(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    while (!engine.looping)
        MainThreadDispatcher::Instance().WaitAndProcess(5);
    EXPECT_EQ(engine.StartConvert(true), nullptr) << "running";
    EXPECT_TRUE(engine.Running());
    engine.StopConvert(true);
    EXPECT_TRUE(engine.Finished());
    EXPECT_EQ(termination.count.load(), 1);
    EXPECT_EQ(engine.StartConvert(true), nullptr) << "finished";
    EXPECT_EQ(termination.count.load(), 1);
    EXPECT_TRUE(engine.Finished());
}

TEST_F(EngineTest, StopWaitsWithoutDeadlockWhileTheWorkerCallsTheMainThread)
{
    LoopingEngine engine;
    TThread* worker = engine.StartConvert(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    while (engine.mainThreadCalls < 5)
        MainThreadDispatcher::Instance().WaitAndProcess(5);
    engine.StopConvert(true); // must drain the worker's calls while it waits
    EXPECT_TRUE(engine.ConvertThreadDone().IsSet());
    EXPECT_TRUE(engine.Finished());
    EXPECT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
}

TEST_F(EngineTest, StopResumesAPausedWorker)
{
    LoopingEngine engine;
    TThread* worker = engine.StartConvert(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    while (engine.mainThreadCalls < 2)
        MainThreadDispatcher::Instance().WaitAndProcess(5);
    engine.PauseWorker();
    EXPECT_TRUE(engine.WorkerSuspended());
    engine.TerminateConvert(true);
    EXPECT_TRUE(engine.Finished());
}

TEST_F(EngineTest, TerminateOfAJobThatNeverRanDeliversItsTermination)
{
    LoopingEngine engine;
    std::atomic<int> onMainThread{0};
    struct Receiver {
        std::atomic<int>* count;
        static void Callback(void* user, TCustomFFmpeg*)
        {
            // The receiver hands the event to the main thread, as the component does.
            RunInMainThread([user] { ++*static_cast<Receiver*>(user)->count; });
        }
    } receiver{&onMainThread};
    engine.SetTerminateCallback(&Receiver::Callback, &receiver);
    engine.TerminateConvert(true);
    EXPECT_EQ(onMainThread.load(), 1);
    EXPECT_TRUE(engine.Finished());
    EXPECT_FALSE(engine.Completed());
    EXPECT_FALSE(engine.ErrorOccurred());
    engine.TerminateConvert(true); // already finished: nothing more
    EXPECT_EQ(onMainThread.load(), 1);
}

TEST_F(EngineTest, CloseAllRemovesZeroByteOutputs)
{
    const std::string dir = test::ScratchDir("CloseAllRemovesZeroByteOutputs");
    struct Engine : TFFmpeg {
        Engine() : TFFmpeg(20) { InitEngine(); }
        void AddOutput(const std::string& name, bool write)
        {
            AVFormatContext* output = nullptr;
            ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "wav", name.c_str()), 0);
            ASSERT_GE(avio_open(&output->pb, name.c_str(), AVIO_FLAG_WRITE), 0);
            if (write)
                avio_write(output->pb, reinterpret_cast<const unsigned char*>("data"), 4);
            outputFileNames_[nbOutputFiles_] = name;
            outputFiles_[nbOutputFiles_++] = output;
        }
    } engine;
    engine.AddOutput(dir + "/empty.wav", false);
    engine.AddOutput(dir + "/written.wav", true);
    engine.CloseAll();
    EXPECT_FALSE(std::filesystem::exists(dir + "/empty.wav"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/written.wav"));
    EXPECT_EQ(engine.OutputFileCount(), 0);
}

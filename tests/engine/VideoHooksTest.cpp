// The custom hook and the preview bitmaps of the video path, driven through the engine:
// what the application's callbacks see, what they change, and when they stop.
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFmpeg.h"
#include "platform/MainThread.h"
#include "runtime/FFmpegLogger.h"
#include "support/TestSupport.h"

using namespace qv;

namespace {

class VideoHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::LoadConverterLibraries();
        MainThreadDispatcher::Instance().BindToCurrentThread();
        Logger().SetTriggerEventInMainThread(false);
        Logger().SetLogLevel(llDebug);
        Logger().OnLog = [this](const void*, uint32_t, TLogLevel level, const std::string& text) {
            if (level == llError)
                errors.push_back(text);
        };
    }
    void TearDown() override { Logger().OnLog = nullptr; }

    // red_left.avi (25 pictures, red left half, blue right half) to an AVI.
    void Convert(TFFmpeg& engine, const std::string& output)
    {
        ASSERT_TRUE(engine.OpenInputFile(test::Fixture("red_left.avi"))) << engine.LastError();
        engine.SetOption("vcodec", "mpeg4");
        engine.SetOption("qscale", "2");
        ASSERT_EQ(engine.OpenOutputFile(output), 1) << engine.LastError();
        engine.StartConvert(false);
        ASSERT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
    }

    std::vector<std::string> errors;
};

// The green value at a point of the picture shown at a time.
int GreenAt(const std::string& file, int x, int y, const char* time_s)
{
    const auto result = test::Run({"ffmpeg", "-nostdin", "-v", "error", "-ss", time_s, "-i", file, "-frames:v", "1",
                                   "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    const size_t at = (static_cast<size_t>(y) * 320 + x) * 3 + 1;
    return at < result.output.size() ? static_cast<unsigned char>(result.output[at]) : -1;
}

struct HookRecord {
    std::vector<int32_t> frames;
    std::vector<int64_t> times_us;
    int width = 0, height = 0;
    int redSeen = 0;          // pictures whose left half arrived red
    int stopAfter = 0;        // ask to stop on this call (0: never)
    bool paint = true;        // paint the bitmap green
    bool refuseUpdate = false;
    bool throwFromHook = false;

    static void Callback(void* user, TCustomFFmpeg*, TBitmap* bitmap, int32_t frameNumber, int64_t pts_us,
                         bool& update, bool& stopHook)
    {
        auto* self = static_cast<HookRecord*>(user);
        self->frames.push_back(frameNumber);
        self->times_us.push_back(pts_us);
        self->width = bitmap->Width();
        self->height = bitmap->Height();
        const uint8_t* pixel = bitmap->ScanLine(bitmap->Height() / 2) + 3 * 40;  // blue, green, red
        if (pixel[2] > 200 && pixel[0] < 60)
            ++self->redSeen;
        if (self->paint) {
            for (int y = 0; y < bitmap->Height(); ++y) {
                uint8_t* row = bitmap->ScanLine(y);
                for (int x = 0; x < bitmap->Width(); ++x) {
                    row[3 * x + 0] = 0;
                    row[3 * x + 1] = 255;
                    row[3 * x + 2] = 0;
                }
            }
        }
        if (self->refuseUpdate)
            update = false;
        if (self->stopAfter != 0 && static_cast<int>(self->frames.size()) == self->stopAfter)
            stopHook = true;
        if (self->throwFromHook)
            throw std::runtime_error("boom");
    }
};

} // namespace

TEST_F(VideoHooks, CustomHookChangesPicturesUntilItStops)
{
    const std::string output = test::ScratchDir("CustomHookStops") + "/hooked.avi";
    HookRecord record;
    record.stopAfter = 10;
    {
        TFFmpeg engine(20);
        engine.InitEngine();
        engine.SetCustomHookCallback(&HookRecord::Callback, &record);
        Convert(engine, output);
    }
    // Called for the first ten pictures only, with the picture as it was decoded.
    ASSERT_EQ(record.frames.size(), 10u);
    for (size_t i = 0; i < record.frames.size(); ++i)
        EXPECT_EQ(record.frames[i], static_cast<int32_t>(i + 1));
    EXPECT_EQ(record.times_us[0], 0);
    EXPECT_EQ(record.times_us[5], 200000);
    EXPECT_EQ(record.width, 320);
    EXPECT_EQ(record.height, 240);
    EXPECT_EQ(record.redSeen, 10);
    // Hooked pictures are green; later ones are as they came.
    EXPECT_GT(GreenAt(output, 40, 120, "0.1"), 200);
    EXPECT_GT(GreenAt(output, 280, 120, "0.1"), 200);
    EXPECT_LT(GreenAt(output, 40, 120, "0.8"), 60);
    EXPECT_TRUE(errors.empty());
}

TEST_F(VideoHooks, AHookThatRefusesTheUpdateOrThrowsLeavesThePictures)
{
    const struct {
        const char* name;
        bool refuseUpdate, throwFromHook;
    } cases[] = {{"update false", true, false}, {"exception", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        const std::string output = test::ScratchDir("CustomHookNoUpdate") + "/out.avi";
        HookRecord record;
        record.refuseUpdate = c.refuseUpdate;
        record.throwFromHook = c.throwFromHook;
        {
            TFFmpeg engine(20);
            engine.InitEngine();
            engine.SetCustomHookCallback(&HookRecord::Callback, &record);
            Convert(engine, output);
        }
        EXPECT_EQ(record.frames.size(), 25u);  // still called for every picture
        EXPECT_LT(GreenAt(output, 40, 120, "0.1"), 60);
        if (c.throwFromHook) {
            ASSERT_EQ(errors.size(), 25u);
            EXPECT_EQ(errors[0], "Error occurs OnCustomHook: boom");
        } else {
            EXPECT_TRUE(errors.empty());
        }
    }
}

namespace {
struct PreviewRecord {
    std::vector<std::chrono::steady_clock::time_point> when;
    std::vector<int64_t> times_us;
    int width = 0;
    static void Callback(void* user, TCustomFFmpeg*, TBitmap* bitmap, int32_t, int64_t pts_us)
    {
        auto* self = static_cast<PreviewRecord*>(user);
        self->when.push_back(std::chrono::steady_clock::now());
        self->times_us.push_back(pts_us);
        self->width = bitmap->Width();
    }
};
} // namespace

TEST_F(VideoHooks, PreviewBitmapsComeAtMostOncePerInterval)
{
    const std::string output = test::ScratchDir("PreviewBitmaps") + "/preview.avi";
    PreviewRecord record;
    TFFmpeg engine(20);
    engine.InitEngine();
    engine.SetPreviewFlags(pfBitmap);
    engine.SetPreviewBitmapCallback(&PreviewRecord::Callback, &record);
    // Paced by the clock: 3 s of pictures at 25 per second.
    engine.SetOption("re", "");
    ASSERT_TRUE(engine.OpenInputFile(test::Fixture("av_h264_aac.mkv"))) << engine.LastError();
    engine.SetOption("vcodec", "mpeg4");
    engine.SetOption("an", "");
    ASSERT_EQ(engine.OpenOutputFile(output), 1) << engine.LastError();
    engine.StartConvert(false);
    ASSERT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();

    // About ten a second over three seconds, never two within the interval.
    EXPECT_GE(record.when.size(), 20u);
    EXPECT_LE(record.when.size(), 31u);
    for (size_t i = 1; i < record.when.size(); ++i) {
        // The engine reads the clock a moment before the callback does: allow 2 ms of skew.
        EXPECT_GE(record.when[i] - record.when[i - 1],
                  std::chrono::microseconds(engine.PreviewInterval_us) - std::chrono::milliseconds(2));
        EXPECT_GT(record.times_us[i], record.times_us[i - 1]);
    }
    EXPECT_EQ(record.width, 320);
}

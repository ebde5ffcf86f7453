#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "platform/Thread.h"
#include "runtime/FFmpegLogger.h"

using namespace qv;

namespace {

struct Line {
    const void* sender;
    uint32_t thread;
    TLogLevel level;
    std::string text;
};

// Collects delivered lines; handlers run on the logging thread unless a test says otherwise.
struct Capture {
    TFFLogger logger;
    std::mutex mutex;
    std::vector<Line> lines;

    Capture()
    {
        logger.SetTriggerEventInMainThread(false);
        logger.OnLog = [this](const void* sender, uint32_t thread, TLogLevel level, const std::string& text) {
            std::lock_guard lock(mutex);
            lines.push_back({sender, thread, level, text});
        };
        logger.InstallLibraryCallback();
    }
    ~Capture() { av_log_set_callback(av_log_default_callback); }
};

// A stand-in for a library context: its class reports the name "mp3".
struct FakeContext {
    const AVClass* avClass;
};
const AVClass kMp3Class = {"mp3", av_default_item_name, nullptr, LIBAVUTIL_VERSION_INT};

std::string Prefix(const void* context, const char* name)
{
    char text[128];
    std::snprintf(text, sizeof text, "[%s @ %0*" PRIXPTR "]", name, static_cast<int>(sizeof(void*) * 2),
                  reinterpret_cast<uintptr_t>(context));
    return text;
}

} // namespace

TEST(LogLevels, ConversionsBothWays)
{
    const struct { TLogLevel level; int library; } toLibrary[] = {
        {llQuiet, -8}, {llPanic, 0}, {llError, 16}, {llInfo, 32}, {llDebug, 48}};
    for (auto c : toLibrary)
        EXPECT_EQ(LogLevelToLibraryLevel(c.level), c.library) << int(c.level);

    const struct { int library; TLogLevel level; } fromLibrary[] = {
        {-8, llQuiet}, {-1, llPanic}, {0, llPanic}, {20, llError}, {24, llWarning},
        {48, llDebug}, {56, llDebug}, {-16, llQuiet}, {-100, llQuiet}, {40, llVerbose}};
    for (auto c : fromLibrary)
        EXPECT_EQ(LibraryLevelToLogLevel(c.library), c.level) << c.library;
}

TEST(Logger, LevelTextNamesAndNumbers)
{
    TFFLogger logger;
    const struct { const char* text; TLogLevel level; } cases[] = {
        {"Debug", llDebug}, {"20", llError}, {"QUIET", llQuiet}, {"warning", llWarning}, {"32", llInfo}};
    for (auto c : cases) {
        logger.SetLogLevelText(c.text);
        EXPECT_EQ(logger.LogLevel(), c.level) << c.text;
    }
    EXPECT_EQ(TFFLogger::LibraryLevel(), 32) << "the library level follows the logger";
    EXPECT_THROW(logger.SetLogLevelText("loud"), std::invalid_argument);
    EXPECT_THROW(logger.SetLogLevelText("12abc"), std::invalid_argument);
}

TEST(Logger, EngineMessagesFollowTheLevelRules)
{
    Capture capture;
    const int marker = 0;
    const struct { TLogLevel setting; TLogLevel message; bool delivered; } cases[] = {
        {llWarning, llInfo, false},   {llWarning, llVerbose, true}, {llWarning, llError, true},
        {llWarning, llWarning, true}, {llQuiet, llVerbose, false},  {llQuiet, llError, false},
        {llQuiet, llQuiet, true},     {llDebug, llDebug, true},     {llInfo, llDebug, false},
    };
    for (auto c : cases) {
        capture.lines.clear();
        capture.logger.SetLogLevel(c.setting);
        capture.logger.LogFmt(&marker, c.message, "message %d", 7);
        ASSERT_EQ(capture.lines.size(), c.delivered ? 1u : 0u) << int(c.setting) << " " << int(c.message);
        if (c.delivered) {
            EXPECT_EQ(capture.lines[0].text, "message 7");
            EXPECT_EQ(capture.lines[0].sender, &marker);
            EXPECT_EQ(capture.lines[0].level, c.message);
            EXPECT_EQ(capture.lines[0].thread, CurrentThreadId());
        }
    }
}

TEST(Logger, LibraryLinesAreAssembledPerThread)
{
    Capture capture;
    FakeContext context{&kMp3Class};

    av_log(&context, AV_LOG_ERROR, "Header missing\n");
    ASSERT_EQ(capture.lines.size(), 1u);
    EXPECT_EQ(capture.lines[0].text, Prefix(&context, "mp3") + "Header missing");
    EXPECT_EQ(capture.lines[0].level, llError);
    EXPECT_EQ(capture.lines[0].sender, &capture.logger);

    capture.lines.clear();
    av_log(&context, AV_LOG_INFO, "abc");
    EXPECT_TRUE(capture.lines.empty()) << "an unfinished line waits";
    av_log(&context, AV_LOG_INFO, "def\n");
    ASSERT_EQ(capture.lines.size(), 1u);
    EXPECT_EQ(capture.lines[0].text, Prefix(&context, "mp3") + "abcdef");

    capture.lines.clear();
    av_log(nullptr, AV_LOG_WARNING, "first\nsecond\n");
    ASSERT_EQ(capture.lines.size(), 2u);
    EXPECT_EQ(capture.lines[0].text, "first");
    EXPECT_EQ(capture.lines[1].text, "second");
    EXPECT_EQ(capture.lines[1].level, llWarning);
}

TEST(Logger, LibraryLevelFiltersLibraryMessagesOnly)
{
    Capture capture;
    capture.logger.SetLogLevel(llQuiet);
    av_log(nullptr, AV_LOG_ERROR, "dropped\n");
    av_log(nullptr, AV_LOG_QUIET, "still passes\n");
    ASSERT_EQ(capture.lines.size(), 1u);
    EXPECT_EQ(capture.lines[0].text, "still passes");
    EXPECT_EQ(capture.lines[0].level, llQuiet);
}

TEST(Logger, ConcurrentThreadsNeverMixTheirLines)
{
    Capture capture;
    capture.logger.SetLogLevel(llDebug);
    constexpr int kThreads = 6, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                // Each line arrives in three fragments.
                av_log(nullptr, AV_LOG_INFO, "thread %d ", t);
                av_log(nullptr, AV_LOG_INFO, "line %d ", i);
                av_log(nullptr, AV_LOG_INFO, "end\n");
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_EQ(capture.lines.size(), size_t(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    std::vector<uint32_t> threadIds(kThreads, 0);
    for (const Line& line : capture.lines) {
        int t = -1, i = -1;
        char tail[8] = {};
        ASSERT_EQ(std::sscanf(line.text.c_str(), "thread %d line %d %7s", &t, &i, tail), 3) << line.text;
        ASSERT_STREQ(tail, "end") << line.text;
        ASSERT_EQ(i, next[t]++) << "lines of one thread keep their order: " << line.text;
        if (threadIds[t] == 0)
            threadIds[t] = line.thread;
        EXPECT_EQ(line.thread, threadIds[t]);
    }
}

TEST(Logger, DeliveryOnTheMainThreadWhenAsked)
{
    MainThreadDispatcher::Instance().BindToCurrentThread();
    Capture capture;
    capture.logger.SetTriggerEventInMainThread(true);
    std::vector<std::thread::id> ranOn;
    capture.logger.OnLog = [&](const void*, uint32_t, TLogLevel, const std::string&) {
        ranOn.push_back(std::this_thread::get_id());
    };
    std::atomic<bool> done{false};
    std::thread worker([&] {
        capture.logger.Log(nullptr, llError, "from a worker");
        done = true;
    });
    while (!done)
        MainThreadDispatcher::Instance().WaitAndProcess(10);
    worker.join();
    ASSERT_EQ(ranOn.size(), 1u);
    EXPECT_EQ(ranOn[0], std::this_thread::get_id());
}

TEST(Logger, OneInstancePerProcess)
{
    TFFLogger first;
    EXPECT_EQ(&Logger(), &first);
    try {
        TFFLogger second;
        FAIL() << "a second logger must be refused";
    } catch (const AssertionFailure& e) {
        EXPECT_NE(std::string(e.what()).find("Allow creating only one instance of TFFLogger."), std::string::npos);
    }
}

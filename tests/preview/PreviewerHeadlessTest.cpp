// Previewing where there is no display at all: frames are refused cleanly, and the reason
// is logged once for the process.
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/MainThread.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Previewer.h"

using namespace qv;

TEST(PreviewerWithoutDisplay, RefusesFramesAndWarnsOnce)
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"})
        ::unsetenv(name);
    auto& dispatcher = MainThreadDispatcher::Instance();
    dispatcher.BindToCurrentThread();

    struct Line {
        TLogLevel level;
        std::string text;
    };
    std::mutex mutex;
    std::vector<Line> lines;
    Logger().SetTriggerEventInMainThread(false);
    Logger().OnLog = [&](const void*, uint32_t, TLogLevel level, const std::string& text) {
        std::lock_guard lock(mutex);
        lines.push_back({level, text});
    };

    TBitmap bitmap(64, 48);
    TPreviewer first, second;
    std::vector<bool> shown;
    std::vector<bool> closed;
    bool done = false;
    std::thread worker([&] {
        for (TPreviewer* previewer : {&first, &second, &first}) {
            const bool result = previewer->ShowFrame(bitmap, 1, 40'000);
            std::lock_guard lock(mutex);
            shown.push_back(result);
            closed.push_back(previewer->Closed());
        }
        std::lock_guard lock(mutex);
        done = true;
    });
    for (;;) {
        dispatcher.WaitAndProcess(10);
        PumpPreviewEvents();
        std::lock_guard lock(mutex);
        if (done)
            break;
    }
    worker.join();
    Logger().OnLog = nullptr;

    EXPECT_EQ(shown, std::vector<bool>({false, false, false}));
    EXPECT_EQ(closed, std::vector<bool>({true, true, true}));
    EXPECT_EQ(first.WindowId(), 0u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, llWarning);
    EXPECT_EQ(lines[0].text.rfind("Preview window unavailable: ", 0), 0u) << lines[0].text;
}

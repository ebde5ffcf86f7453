// The preview window on a real X display. What the window looks like is checked through a
// connection of the test's own to the X server and through screenshots of the screen
// (taken with ImageMagick's `import` into this test's build folder), not through SDL.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/MainThread.h"
#include "runtime/Previewer.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with the names above.
#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace qv;
using Clock = std::chrono::steady_clock;

namespace {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& c)
{
    return out << "rgb(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << ")";
}

const Rgb kBars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                      {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {16, 32, 48}};

Rgb PixelOf(const TBitmap& bitmap, int x, int y)
{
    const uint8_t* bgr = bitmap.ScanLine(y) + 3 * x;
    return {bgr[2], bgr[1], bgr[0]};
}

// Colour bars over the top half (in reverse order when `reversed`), a two-way gradient
// over the bottom half: any swap of channels, flip, shift or stride mistake shows.
void FillTestPattern(TBitmap& bitmap, bool reversed)
{
    const int width = bitmap.Width(), height = bitmap.Height();
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            Rgb c;
            if (y < height / 2) {
                const int bar = x * 8 / width;
                c = kBars[reversed ? 7 - bar : bar];
            } else {
                c = {uint8_t(x * 255 / (width - 1)), uint8_t((y - height / 2) * 255 / (height - height / 2 - 1)),
                     uint8_t(reversed ? 200 : 60)};
            }
            row[3 * x] = c.b;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.r;
        }
    }
}

struct Pattern : TBitmap {
    Pattern(int width, int height, bool reversed) : TBitmap(width, height) { FillTestPattern(*this, reversed); }
};

// One pass of the main thread's loop: hand-offs from workers, then preview window events.
void MainLoopOnce(int wait_ms)
{
    MainThreadDispatcher::Instance().WaitAndProcess(wait_ms);
    PumpPreviewEvents();
}

void PumpFor(int duration_ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(duration_ms);
    while (Clock::now() < end)
        MainLoopOnce(5);
}

// Runs `work` on a worker thread (as a job's worker would call the previewer) while this,
// the main thread, keeps its loop going.
void OnWorker(const std::function<void()>& work)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    while (!done)
        MainLoopOnce(5);
    worker.join();
}

bool PumpUntil(const std::function<bool()>& condition, int timeout_ms = 5000)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        MainLoopOnce(5);
    }
    return true;
}

Window XWindowOf(uint32_t sdlWindowId)
{
    SDL_Window* window = SDL_GetWindowFromID(sdlWindowId);
    if (window == nullptr)
        return 0;
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return 0;
    return info.info.x11.window;
}

// The test's own view of the X server.
class XServer {
public:
    XServer() : display_(XOpenDisplay(nullptr)) {}
    ~XServer()
    {
        if (display_)
            XCloseDisplay(display_);
    }
    Display* Get() const { return display_; }
    Atom Intern(const char* name) const { return XInternAtom(display_, name, False); }
    Window Root() const { return DefaultRootWindow(display_); }

    bool Exists(Window window) const
    {
        gErrors = 0;
        XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) {
            ++gErrors;
            return 0;
        });
        XWindowAttributes attributes;
        const Status status = XGetWindowAttributes(display_, window, &attributes);
        XSync(display_, False);
        XSetErrorHandler(previous);
        return status != 0 && gErrors == 0;
    }

    XWindowAttributes Attributes(Window window) const
    {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display_, window, &attributes);
        return attributes;
    }

    // Where the window's top-left corner is on the screen.
    std::pair<int, int> ScreenPosition(Window window) const
    {
        int x = 0, y = 0;
        Window child;
        XTranslateCoordinates(display_, window, Root(), 0, 0, &x, &y, &child);
        return {x, y};
    }

    std::vector<Atom> AtomList(Window window, const char* property) const
    {
        std::vector<Atom> atoms;
        Atom type;
        int format;
        unsigned long count, remaining;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, window, Intern(property), 0, 64, False, XA_ATOM, &type, &format, &count,
                               &remaining, &data) == Success &&
            data) {
            const auto* values = reinterpret_cast<const Atom*>(data);
            atoms.assign(values, values + count);
            XFree(data);
        }
        return atoms;
    }

    std::string Utf8Title(Window window) const
    {
        std::string title;
        Atom type;
        int format;
        unsigned long count, remaining;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, window, Intern("_NET_WM_NAME"), 0, 256, False, Intern("UTF8_STRING"), &type,
                               &format, &count, &remaining, &data) == Success &&
            data) {
            title.assign(reinterpret_cast<const char*>(data), count);
            XFree(data);
        }
        return title;
    }

    // The top-level windows that are on screen.
    int ViewableTopLevels() const
    {
        Window root, parent, *children = nullptr;
        unsigned int count = 0;
        int viewable = 0;
        if (XQueryTree(display_, Root(), &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count; ++i)
                viewable += Attributes(children[i]).map_state == IsViewable;
            XFree(children);
        }
        return viewable;
    }

    // What a window manager sends when the user clicks the window's close button.
    void SendCloseRequest(Window window) const
    {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = Intern("WM_PROTOCOLS");
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(Intern("WM_DELETE_WINDOW"));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, window, False, NoEventMask, &event);
        XFlush(display_);
    }

    // A press of the left button at (x, y) inside the window.
    void SendLeftPress(Window window, int x, int y) const
    {
        auto [left, top] = ScreenPosition(window);
        XEvent event{};
        event.xbutton.type = ButtonPress;
        event.xbutton.display = display_;
        event.xbutton.window = window;
        event.xbutton.root = Root();
        event.xbutton.time = CurrentTime;
        event.xbutton.x = x;
        event.xbutton.y = y;
        event.xbutton.x_root = left + x;
        event.xbutton.y_root = top + y;
        event.xbutton.button = Button1;
        event.xbutton.same_screen = True;
        XSendEvent(display_, window, True, ButtonPressMask, &event);
        XFlush(display_);
    }

    // Listens for requests that clients send to the window manager.
    void WatchRoot() const
    {
        XSelectInput(display_, Root(), SubstructureNotifyMask);
        XSync(display_, False);
    }
    bool NextClientMessage(Atom type, XClientMessageEvent& message) const
    {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == ClientMessage && event.xclient.message_type == type) {
                message = event.xclient;
                return true;
            }
        }
        return false;
    }

private:
    static inline int gErrors = 0;
    Display* display_;
};

struct Screenshot {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    Rgb At(int x, int y) const
    {
        const uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

// Takes a screenshot of the whole screen into the build tree: NAME.ppm, which the test
// reads, and NAME.png made from it for people to look at.
Screenshot TakeScreenshot(const std::string& name)
{
    const std::string base = std::string(QV_SCREENSHOT_DIR) + "/" + name;
    Screenshot shot;
    if (std::system(("import -silent -window root -depth 8 '" + base + ".ppm'").c_str()) != 0) {
        ADD_FAILURE() << "import failed";
        return shot;
    }
    // ImageMagick's own convert by its full name: another program of that name may come first on PATH.
    if (std::system(("/usr/bin/convert '" + base + ".ppm' '" + base + ".png'").c_str()) != 0)
        ADD_FAILURE() << "could not write " << base << ".png";
    std::ifstream in(base + ".ppm", std::ios::binary);
    std::string magic;
    int maxValue = 0;
    in >> magic >> shot.width >> shot.height >> maxValue;
    in.get();
    if (magic != "P6" || maxValue != 255 || shot.width <= 0 || shot.height <= 0) {
        ADD_FAILURE() << "unexpected screenshot format " << magic << " " << maxValue;
        return Screenshot{};
    }
    shot.rgb.resize(size_t(shot.width) * shot.height * 3);
    in.read(reinterpret_cast<char*>(shot.rgb.data()), std::streamsize(shot.rgb.size()));
    if (!in)
        ADD_FAILURE() << "screenshot truncated";
    return shot;
}

// Compares the screen at (left, top) with the whole bitmap, pixel by pixel.
void ExpectOnScreen(const Screenshot& shot, int left, int top, const TBitmap& bitmap)
{
    ASSERT_GE(left, 0);
    ASSERT_GE(top, 0);
    ASSERT_LE(left + bitmap.Width(), shot.width);
    ASSERT_LE(top + bitmap.Height(), shot.height);
    int wrong = 0;
    for (int y = 0; y < bitmap.Height(); ++y) {
        for (int x = 0; x < bitmap.Width(); ++x) {
            const Rgb expected = PixelOf(bitmap, x, y);
            const Rgb actual = shot.At(left + x, top + y);
            if (actual != expected && wrong++ == 0)
                ADD_FAILURE() << "first wrong pixel at " << x << "," << y << ": " << actual << " instead of "
                              << expected;
        }
    }
    EXPECT_EQ(wrong, 0) << "pixels that differ from the picture";
}

class PreviewerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MainThreadDispatcher::Instance().BindToCurrentThread();
        ASSERT_NE(x_.Get(), nullptr) << "these tests need an X display (scripts/with-display.sh)";
    }
    XServer x_;
};

TEST_F(PreviewerTest, ShowsEachFrameInACentredOnTopToolWindowOfThePicturesSize)
{
    // 250 pixels make 750 bytes, padded to 752: rows are not packed.
    const Pattern first(250, 130, false);
    const Pattern second(250, 130, true);
    auto previewer = std::make_unique<TPreviewer>();
    EXPECT_EQ(previewer->WindowId(), 0u) << "no window before the first frame";

    bool shown = false;
    OnWorker([&] { shown = previewer->ShowFrame(first, 1, 3'723'456'000); });
    EXPECT_TRUE(shown);
    const uint32_t id = previewer->WindowId();
    const Window window = XWindowOf(id);
    ASSERT_NE(window, 0u);

    const XWindowAttributes attributes = x_.Attributes(window);
    EXPECT_EQ(attributes.width, 250);
    EXPECT_EQ(attributes.height, 130);
    EXPECT_EQ(attributes.map_state, IsViewable);
    EXPECT_EQ(x_.Utf8Title(window), "01:02:03.456");
    const auto types = x_.AtomList(window, "_NET_WM_WINDOW_TYPE");
    EXPECT_EQ(types, std::vector<Atom>({x_.Intern("_NET_WM_WINDOW_TYPE_UTILITY")}));
    const auto states = x_.AtomList(window, "_NET_WM_STATE");
    EXPECT_NE(std::find(states.begin(), states.end(), x_.Intern("_NET_WM_STATE_ABOVE")), states.end());

    SDL_Rect bounds;
    ASSERT_EQ(SDL_GetDisplayBounds(SDL_GetWindowDisplayIndex(SDL_GetWindowFromID(id)), &bounds), 0);
    const auto [left, top] = x_.ScreenPosition(window);
    EXPECT_EQ(left, bounds.x + (bounds.w - 250) / 2);
    EXPECT_EQ(top, bounds.y + (bounds.h - 130) / 2);

    PumpFor(100);
    ExpectOnScreen(TakeScreenshot("preview-first-frame"), left, top, first);

    OnWorker([&] { shown = previewer->ShowFrame(second, 2, 59'999); });
    EXPECT_TRUE(shown);
    EXPECT_EQ(previewer->WindowId(), id) << "later frames reuse the window";
    EXPECT_EQ(x_.Utf8Title(window), "00:00:00.059");
    PumpFor(100);
    ExpectOnScreen(TakeScreenshot("preview-second-frame"), left, top, second);

    // Destroyed on a worker, the previewer still removes its window on the main thread.
    OnWorker([&] { previewer.reset(); });
    EXPECT_FALSE(x_.Exists(window));
}

TEST_F(PreviewerTest, OnTheMainThreadFramesArePaintedAtOnce)
{
    const Pattern bitmap(64, 32, false);
    struct Case {
        int64_t time_us;
        const char* caption;
    };
    const Case cases[] = {
        {0, "00:00:00.000"},           {999, "00:00:00.000"},          {1'000, "00:00:00.001"},
        {61'001'000, "00:01:01.001"},  {3'599'999'999, "00:59:59.999"}, {360'000'000'000, "100:00:00.000"},
        {-40'000, "00:00:00.000"},
    };
    TPreviewer previewer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        // No dispatcher draining here: the call must not wait for the main thread's loop.
        ASSERT_TRUE(previewer.ShowFrame(bitmap, 1, c.time_us));
        EXPECT_EQ(x_.Utf8Title(XWindowOf(previewer.WindowId())), c.caption);
    }
}

TEST_F(PreviewerTest, ClosedByTheUserItRefusesFramesAndOthersGoOn)
{
    const Pattern bitmap(120, 90, false);
    const int before = x_.ViewableTopLevels();
    auto closing = std::make_unique<TPreviewer>();
    auto other = std::make_unique<TPreviewer>();
    OnWorker([&] {
        EXPECT_TRUE(closing->ShowFrame(bitmap, 1, 40'000));
        EXPECT_TRUE(other->ShowFrame(bitmap, 1, 40'000));
    });
    const Window closingWindow = XWindowOf(closing->WindowId());
    const Window otherWindow = XWindowOf(other->WindowId());
    ASSERT_NE(closingWindow, 0u);
    ASSERT_NE(otherWindow, 0u);
    EXPECT_EQ(x_.ViewableTopLevels(), before + 2);

    x_.SendCloseRequest(closingWindow);
    ASSERT_TRUE(PumpUntil([&] { return closing->Closed(); })) << "the main thread's loop sees the close";
    EXPECT_FALSE(x_.Exists(closingWindow));
    EXPECT_EQ(closing->WindowId(), 0u);

    OnWorker([&] {
        EXPECT_FALSE(closing->ShowFrame(bitmap, 2, 80'000));
        EXPECT_FALSE(closing->ShowFrame(bitmap, 3, 120'000));
        EXPECT_TRUE(other->ShowFrame(bitmap, 2, 80'000));
    });
    PumpFor(50);
    EXPECT_EQ(closing->WindowId(), 0u) << "no window is made again";
    EXPECT_EQ(x_.ViewableTopLevels(), before + 1);
    EXPECT_TRUE(x_.Exists(otherWindow));

    // Either order of destruction leaves nothing behind.
    other.reset();
    EXPECT_FALSE(x_.Exists(otherWindow));
    closing.reset();
    EXPECT_EQ(x_.ViewableTopLevels(), before);
}

TEST_F(PreviewerTest, APressAnywhereInTheWindowStartsAMove)
{
    const Pattern bitmap(160, 100, false);
    TPreviewer previewer;
    OnWorker([&] { EXPECT_TRUE(previewer.ShowFrame(bitmap, 1, 0)); });
    const Window window = XWindowOf(previewer.WindowId());
    ASSERT_NE(window, 0u);
    const auto [left, top] = x_.ScreenPosition(window);
    x_.WatchRoot();

    const Atom moveResize = x_.Intern("_NET_WM_MOVERESIZE");
    const long kMove = 8; // _NET_WM_MOVERESIZE_MOVE
    const std::pair<int, int> points[] = {{0, 0}, {80, 50}, {159, 99}, {3, 97}};
    for (const auto& [x, y] : points) {
        SCOPED_TRACE(testing::Message() << "press at " << x << "," << y);
        x_.SendLeftPress(window, x, y);
        XClientMessageEvent request{};
        ASSERT_TRUE(PumpUntil([&] { return x_.NextClientMessage(moveResize, request); }, 3000))
            << "no move request reached the window manager";
        EXPECT_EQ(request.window, window);
        EXPECT_EQ(request.data.l[0], left + x);
        EXPECT_EQ(request.data.l[1], top + y);
        EXPECT_EQ(request.data.l[2], kMove);
        EXPECT_EQ(request.data.l[3], Button1);
    }
    EXPECT_FALSE(previewer.Closed());
}

} // namespace

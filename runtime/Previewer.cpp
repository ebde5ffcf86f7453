#include "runtime/Previewer.h"

#include <SDL.h>

#include <cstdio>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/MainThread.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {

enum class VideoState : uint8_t { NotStarted, Ready, Unavailable };

// The SDL video subsystem as far as previewers are concerned. Changed on the main thread
// only; atomic so that PumpPreviewEvents can return early from anywhere.
std::atomic<VideoState> gVideo{VideoState::NotStarted};

// Main thread only: the previewers with a window on screen by window id, and every window
// id a previewer ever had (SDL does not reuse ids), so that events still queued for a
// window after it was removed are recognised as ours and dropped.
std::unordered_map<uint32_t, TPreviewer*>& LiveWindows()
{
    static auto* windows = new std::unordered_map<uint32_t, TPreviewer*>;
    return *windows;
}
std::unordered_set<uint32_t>& OwnWindowIds()
{
    static auto* ids = new std::unordered_set<uint32_t>;
    return *ids;
}

// SDL video drivers that put windows on no screen.
const char* const kDriversWithoutScreen[] = {"offscreen", "dummy", "evdev"};

void SetHintUnlessGiven(const char* name, const char* value)
{
    if (SDL_GetHint(name) == nullptr)
        SDL_SetHint(name, value);
}

// Starts the video subsystem on first use; main thread. A failure (no display) is logged
// once and remembered, so that later previews fail quietly.
bool StartVideo(const void* sender)
{
    switch (gVideo.load()) {
    case VideoState::Ready:
        return true;
    case VideoState::Unavailable:
        return false;
    case VideoState::NotStarted:
        break;
    }
    // Interrupt signals stay with the program (SDL would turn them into quit events), and
    // closing a preview window is not a request to quit.
    SetHintUnlessGiven(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SetHintUnlessGiven(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    // The window's picture goes straight to the X server (shared memory) rather than
    // through an OpenGL context, which a small preview does not need.
    SetHintUnlessGiven(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // A small tool window must not switch off the desktop's compositing while it is shown.
    SetHintUnlessGiven(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        Logger().LogFmt(sender, llWarning, "Preview window unavailable: %s", SDL_GetError());
        gVideo = VideoState::Unavailable;
        return false;
    }
    // Without a display SDL falls back to drivers whose windows nobody can see; a window
    // there would take frames and show nothing. Such a driver counts only when asked for.
    const char* driver = SDL_GetCurrentVideoDriver();
    const bool chosen = SDL_getenv("SDL_VIDEODRIVER") != nullptr;
    if (!chosen && driver != nullptr) {
        for (const char* invisible : kDriversWithoutScreen) {
            if (SDL_strcasecmp(driver, invisible) == 0) {
                SDL_QuitSubSystem(SDL_INIT_VIDEO);
                Logger().LogFmt(sender, llWarning, "Preview window unavailable: no display (SDL video driver %s)",
                                invisible);
                gVideo = VideoState::Unavailable;
                return false;
            }
        }
    }
    gVideo = VideoState::Ready;
    return true;
}

// The window an input or window event is addressed to; 0 for events of no window
// (user events included: they belong to whoever pushed them).
uint32_t EventWindowId(const SDL_Event& event)
{
    switch (event.type) {
    case SDL_WINDOWEVENT:
        return event.window.windowID;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
        return event.key.windowID;
    case SDL_TEXTEDITING:
        return event.edit.windowID;
    case SDL_TEXTEDITING_EXT:
        return event.editExt.windowID;
    case SDL_TEXTINPUT:
        return event.text.windowID;
    case SDL_MOUSEMOTION:
        return event.motion.windowID;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
        return event.button.windowID;
    case SDL_MOUSEWHEEL:
        return event.wheel.windowID;
    case SDL_FINGERDOWN:
    case SDL_FINGERUP:
    case SDL_FINGERMOTION:
        return event.tfinger.windowID;
    case SDL_DROPFILE:
    case SDL_DROPTEXT:
    case SDL_DROPBEGIN:
    case SDL_DROPCOMPLETE:
        return event.drop.windowID;
    default:
        return 0;
    }
}

// SDL_FilterEvents callback: takes the events of previewer windows out of the queue,
// keeping their window events for PumpPreviewEvents.
int TakeOwnEvents(void* userdata, SDL_Event* event)
{
    const uint32_t id = EventWindowId(*event);
    if (id == 0 || OwnWindowIds().count(id) == 0)
        return 1;
    if (event->type == SDL_WINDOWEVENT)
        static_cast<std::vector<SDL_WindowEvent>*>(userdata)->push_back(event->window);
    return 0;
}

// The whole client area acts as the caption: a press anywhere starts a move.
SDL_HitTestResult DragAnywhere(SDL_Window*, const SDL_Point*, void*)
{
    return SDL_HITTEST_DRAGGABLE;
}

struct SurfaceDeleter {
    void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceDeleter>;

} // namespace

std::string PreviewCaption(int64_t time_us)
{
    const long long total_ms = time_us > 0 ? time_us / 1000 : 0;
    char text[64];
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld.%.3lld", total_ms / 3'600'000, total_ms / 60'000 % 60,
                  total_ms / 1000 % 60, total_ms % 1000);
    return text;
}

void PumpPreviewEvents()
{
    if (gVideo.load() != VideoState::Ready || !MainThreadDispatcher::Instance().IsMainThread())
        return;
    SDL_PumpEvents();
    std::vector<SDL_WindowEvent> events;
    SDL_FilterEvents(&TakeOwnEvents, &events);
    for (const SDL_WindowEvent& event : events) {
        auto found = LiveWindows().find(event.windowID);
        if (found == LiveWindows().end())
            continue; // removed meanwhile
        TPreviewer* previewer = found->second;
        switch (event.event) {
        case SDL_WINDOWEVENT_CLOSE:
            previewer->closed_ = true;
            previewer->RemoveWindow();
            break;
        case SDL_WINDOWEVENT_EXPOSED:
            SDL_UpdateWindowSurface(previewer->window_.get());
            break;
        default:
            break;
        }
    }
}

void TPreviewer::WindowDeleter::operator()(SDL_Window* window) const
{
    SDL_DestroyWindow(window);
}

TPreviewer::TPreviewer() = default;

TPreviewer::~TPreviewer()
{
    // Only the main thread removes windows, so a window that is gone stays gone.
    if (windowId_.load() != 0)
        RunInMainThread([this] { RemoveWindow(); });
}

bool TPreviewer::ShowFrame(const TBitmap& bitmap, int32_t frameNumber, int64_t time_us)
{
    if (closed_.load())
        return false;
    bitmap_ = &bitmap;
    frameNumber_ = frameNumber;
    time_us_ = time_us;
    RunInMainThread([this] { Paint(); });
    bitmap_ = nullptr;
    return !closed_.load();
}

void TPreviewer::Paint()
{
    PumpPreviewEvents(); // a close that arrived since the last frame counts before this one
    if (closed_.load() || bitmap_ == nullptr || bitmap_->Empty())
        return;
    if (!window_ && !CreateWindow()) {
        closed_ = true;
        return;
    }
    SDL_SetWindowTitle(window_.get(), PreviewCaption(time_us_).c_str());
    Draw();
}

bool TPreviewer::CreateWindow()
{
    if (!StartVideo(this))
        return false;
    const std::string caption = PreviewCaption(time_us_);
    std::unique_ptr<SDL_Window, WindowDeleter> window(
        SDL_CreateWindow(caption.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, bitmap_->Width(),
                         bitmap_->Height(), SDL_WINDOW_ALWAYS_ON_TOP | SDL_WINDOW_UTILITY | SDL_WINDOW_HIDDEN));
    if (!window) {
        Logger().LogFmt(this, llWarning, "Cannot create the preview window: %s", SDL_GetError());
        return false;
    }
    SDL_SetWindowHitTest(window.get(), &DragAnywhere, nullptr); // set before the window is mapped
    const uint32_t id = SDL_GetWindowID(window.get());
    OwnWindowIds().insert(id);
    LiveWindows()[id] = this;
    window_ = std::move(window);
    windowId_ = id;
    SDL_ShowWindow(window_.get());
    return true;
}

void TPreviewer::Draw()
{
    SDL_Surface* target = SDL_GetWindowSurface(window_.get());
    if (target == nullptr)
        return;
    // The blit only reads the picture; SDL's surface type has no read-only form.
    SurfacePtr source(SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint8_t*>(bitmap_->Bits()), bitmap_->Width(),
                                                         bitmap_->Height(), 24, bitmap_->Stride(),
                                                         SDL_PIXELFORMAT_BGR24));
    if (!source)
        return;
    SDL_BlitSurface(source.get(), nullptr, target, nullptr); // top-left, clipped to the window
    SDL_UpdateWindowSurface(window_.get());
}

void TPreviewer::RemoveWindow()
{
    if (!window_)
        return;
    LiveWindows().erase(windowId_.load());
    windowId_ = 0;
    window_.reset();
}

} // namespace qv

// The preview window of a running job: a small always-on-top tool window, sized to the
// picture, that shows the job's current frame with its position as the caption, and that
// the user can drag by any point and close.
//
// Toolkit: SDL2 (video subsystem), so that the same window works in the command-line
// converter and inside the Qt application without the core knowing Qt.
//
// Threads: every window operation runs on the main thread (platform/MainThread.h).
// ShowFrame is called on the job's worker and waits until the main thread has painted the
// frame; on the main thread it paints at once. The video subsystem is started on the main
// thread on the first frame of the first previewer. Window events of previewers (close,
// uncover) are handled by PumpPreviewEvents, which the main thread's loops call: the
// command-line converter's wait loop between its waits, the Qt application from a timer,
// and every paint itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Bitmap.h"

struct SDL_Window;

namespace qv {

class TPreviewer {
public:
    TPreviewer();
    // Removes the window (on the main thread, waiting for it when called elsewhere).
    ~TPreviewer();
    TPreviewer(const TPreviewer&) = delete;
    TPreviewer& operator=(const TPreviewer&) = delete;

    // Shows the picture (borrowed for the duration of the call) with the time as the
    // caption. The window is made on the first frame. Returns false once the user has
    // closed the window, or when no window can be shown (no display); the caller then
    // stops previewing.
    bool ShowFrame(const TBitmap& bitmap, int32_t frameNumber, int64_t time_us);

    // Set when the user has closed the window (or it could not be made).
    bool Closed() const { return closed_.load(); }

    // The SDL window id of the window on screen, 0 while there is none.
    uint32_t WindowId() const { return windowId_.load(); }

private:
    friend void PumpPreviewEvents();
    struct WindowDeleter {
        void operator()(SDL_Window* window) const;
    };

    void Paint();         // main thread
    bool CreateWindow();  // main thread
    void Draw();          // main thread
    void RemoveWindow();  // main thread

    // Written by ShowFrame before it hands Paint to the main thread and read by Paint
    // while ShowFrame waits; the bitmap is valid only during that hand-off.
    const TBitmap* bitmap_ = nullptr;
    int32_t frameNumber_ = 0;
    int64_t time_us_ = 0;

    std::unique_ptr<SDL_Window, WindowDeleter> window_; // main thread only
    std::atomic<uint32_t> windowId_{0};                 // written on the main thread
    std::atomic<bool> closed_{false};                   // written on the main thread
};

// The caption for a position: "hh:mm:ss.mmm" (hours, minutes, seconds, milliseconds);
// negative times show as zero.
std::string PreviewCaption(int64_t time_us);

// Handles the window events of all previewers: repaints uncovered windows and closes the
// windows the user closed. Main thread only (elsewhere it does nothing); cheap when no
// previewer was ever shown. Events of other SDL windows are left in SDL's queue.
void PumpPreviewEvents();

} // namespace qv

// The frame hook registry: picture-processing modules named by a job's "vhook" option.
// A module named by several hooks is loaded once and stays loaded until the program
// ends; each hook has its own context. Threads: AddHook runs where the job's options
// are set; ProcessHooks on the job's worker.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/FrameHookModule.h"

namespace qv {

struct TFrameHookEntry {
    TFrameHookEntry* Next = nullptr;
    QvHookConfigure Configure = nullptr;
    QvHookProcess Process = nullptr;
    QvHookRelease Release = nullptr;
    void* Context = nullptr;
};

// A job's hooks in the order they were added. Owned by the job's engine.
struct TFrameHookChain {
    TFrameHookEntry* head = nullptr;
    bool Empty() const { return head == nullptr; }
};

// arguments[0] names the module. Returns 0, or -1 (module not loadable), -2 (no
// arguments, no "Process", or arguments without "Configure"), -12 (out of memory),
// -22 ("Configure" refused).
int AddHook(TFrameHookChain& chain, const std::vector<std::string>& arguments);
void ProcessHooks(TFrameHookChain& chain, QvHookPicture* picture, int pixelFormat, int width, int height,
                  int64_t pts_us);
void ReleaseHooks(TFrameHookChain& chain);

} // namespace qv

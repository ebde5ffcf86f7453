// The frame hook registry: picture-processing modules named by a job's "vhook" option.
// A module named by several hooks is loaded once and stays loaded until the program
// ends; each hook has its own context.
//
// Loading: a module named with a folder part is loaded and configured with that folder
// as the current directory, which is restored before AddHook returns (AddHook calls are
// serialised for this). A bare name is taken from the current directory when it is
// there, otherwise from the system's library search path. Library dependencies of a
// module are found the usual way (its RUNPATH, LD_LIBRARY_PATH); PATH plays no part.
//
// Threads: AddHook runs where the job's options are set (the main thread); it changes the
// process's current directory for its duration. ProcessHooks runs on the job's worker, so
// a module must accept calls from several jobs' workers at once (each job has its own
// contexts).
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

// A job's hooks in the order they were added. Owned by the job's engine, which empties
// it with ReleaseHooks; a chain still holding hooks when destroyed releases them then.
struct TFrameHookChain {
    TFrameHookChain() = default;
    ~TFrameHookChain();
    TFrameHookChain(const TFrameHookChain&) = delete;
    TFrameHookChain& operator=(const TFrameHookChain&) = delete;

    TFrameHookEntry* head = nullptr;
    bool Empty() const { return head == nullptr; }
};

// arguments[0] names the module. Returns 0, or -1 (module not loadable), -2 (no
// arguments, no "Process", or arguments without "Configure"), -12 (out of memory),
// -22 ("Configure" refused). Failures are logged at the libraries' error level.
int AddHook(TFrameHookChain& chain, const std::vector<std::string>& arguments);
void ProcessHooks(TFrameHookChain& chain, QvHookPicture* picture, int pixelFormat, int width, int height,
                  int64_t pts_us);
// Calls "Release" of every hook that has one, frees the entries and empties the chain.
void ReleaseHooks(TFrameHookChain& chain);

} // namespace qv

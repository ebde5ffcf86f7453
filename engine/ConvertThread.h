// The engine's two thread classes. Both free themselves when their work ends.
#pragma once

#include "platform/Thread.h"

namespace qv {

class TCustomFFmpeg;

// Runs a job's DoConvert. Created suspended; the starter resumes it. Resets the
// engine's convert-thread-done event on entry and sets it on exit, also on error.
class TConvertThread : public TThread {
public:
    TConvertThread(TCustomFFmpeg* engine, TThreadPriority priority);

protected:
    void Execute() override;

private:
    TCustomFFmpeg* engine_;
};

// Delivers the termination of a job that never ran. Starts at once; resets the
// engine's terminate-done event on entry and sets it on exit, also on error.
class TDoTerminateThread : public TThread {
public:
    explicit TDoTerminateThread(TCustomFFmpeg* engine);
    void Start() { Resume(); }

protected:
    void Execute() override;

private:
    TCustomFFmpeg* engine_;
};

} // namespace qv

#include "engine/ConvertThread.h"

#include "engine/FFmpeg.h"

namespace qv {

TConvertThread::TConvertThread(TCustomFFmpeg* engine, TThreadPriority priority)
    : TThread(true), engine_(engine)
{
    SetPriority(priority);
    SetFreeOnTerminate(true);
    // Reset before the starter can wait on it, so that a wait never sees a stale "done".
    engine_->ConvertThreadDone().ResetEvent();
}

void TConvertThread::Execute()
{
    TEvent& done = engine_->ConvertThreadDone();
    done.ResetEvent();
    try {
        engine_->DoConvert();
    } catch (...) {
    }
    done.SetEvent(); // the engine may be destroyed from here on
}

TDoTerminateThread::TDoTerminateThread(TCustomFFmpeg* engine) : TThread(true), engine_(engine)
{
    SetFreeOnTerminate(true);
    engine_->TerminateDone().ResetEvent();
}

void TDoTerminateThread::Execute()
{
    TEvent& done = engine_->TerminateDone();
    done.ResetEvent();
    try {
        engine_->DoTerminate();
    } catch (...) {
    }
    done.SetEvent();
}

} // namespace qv

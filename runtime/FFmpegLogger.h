// Log capture: every diagnostic line of the engine, the probe, the player and the media
// libraries reaches the application through the one TFFLogger of the process.
//
// Threads: Log, LogFmt and the library callback may be called from any thread. With
// TriggerEventInMainThread set, OnLog runs on the main thread (a logging worker waits
// until it has run, so the main thread must keep draining the dispatcher while it
// waits for workers); otherwise it runs on the logging thread. Each delivery carries
// its own copy of the four values.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

#include "runtime/BaseComponent.h"

namespace qv {

enum TLogLevel : uint8_t { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// (L - 1) * 8: llQuiet -> -8, llInfo -> 32, llDebug -> 48.
int LogLevelToLibraryLevel(TLogLevel level);
// n / 8 truncated toward zero, plus one, clamped to llQuiet..llDebug.
TLogLevel LibraryLevelToLogLevel(int level);

using TLogEvent =
    std::function<void(const void* sender, uint32_t threadId, TLogLevel level, const std::string& message)>;

class TFFLogger : public TFFBaseComponent {
public:
    // Registers the new logger as the process's one instance; a second live instance
    // is an assertion failure.
    TFFLogger();
    ~TFFLogger() override;

    TLogLevel LogLevel() const { return logLevel_.load(); }
    void SetLogLevel(TLogLevel level);
    // "quiet" ... "debug" (any case) or a decimal library level; bad text throws
    // std::invalid_argument.
    void SetLogLevelText(const std::string& text);

    bool TriggerEventInMainThread() const { return triggerInMainThread_.load(); }
    void SetTriggerEventInMainThread(bool value) { triggerInMainThread_ = value; }

    // Set before logging starts; not to be changed while other threads log.
    TLogEvent OnLog;

    void Log(const void* sender, TLogLevel level, const std::string& message);
    void LogFmt(const void* sender, TLogLevel level, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void LogFmtV(const void* sender, TLogLevel level, const char* format, va_list args);

    // Installs LibraryLogCallback as the libraries' log callback and applies LogLevel.
    void InstallLibraryCallback();
    static void LibraryLogCallback(void* context, int level, const char* format, va_list args);

    // The current library level (process-wide, initially 32).
    static int LibraryLevel();

private:
    void Deliver(const void* sender, uint32_t threadId, TLogLevel level, const std::string& message);
    void ApplyLibraryLevel();

    std::atomic<TLogLevel> logLevel_;
    std::atomic<bool> triggerInMainThread_{true};
};

// The process's logger, created on first use.
TFFLogger& Logger();

} // namespace qv

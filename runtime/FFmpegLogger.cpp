#include "runtime/FFmpegLogger.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "platform/Thread.h"

namespace qv {

namespace {

std::atomic<int> gLibraryLevel{32};

// The process's logger: the registered instance, and the one Logger() made when
// nobody had created one.
std::recursive_mutex gInstanceMutex; // re-entered by Logger() through the constructor
TFFLogger* gInstance = nullptr;           // protected by gInstanceMutex
std::unique_ptr<TFFLogger> gOwnInstance;  // protected by gInstanceMutex

// Unfinished library lines, one per thread that has one. Entries stay for the life of
// the process, as a thread's next message usually follows soon.
struct PendingLines {
    std::mutex mutex;
    std::unordered_map<uint32_t, std::string> textByThread;
};
PendingLines& Pending()
{
    static PendingLines* lines = new PendingLines; // outlives every logging thread
    return *lines;
}

std::string FormatV(const char* format, va_list args)
{
    // Messages are cut at 2047 characters, like the fixed line buffer they used to fill.
    char buffer[2048] = {};
    std::vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

} // namespace

int LogLevelToLibraryLevel(TLogLevel level)
{
    return (static_cast<int>(level) - 1) * 8;
}

TLogLevel LibraryLevelToLogLevel(int level)
{
    int converted = level / 8 + 1; // C++ division truncates toward zero
    converted = std::clamp(converted, static_cast<int>(llQuiet), static_cast<int>(llDebug));
    return static_cast<TLogLevel>(converted);
}

int TFFLogger::LibraryLevel()
{
    return gLibraryLevel.load();
}

TFFLogger::TFFLogger() : logLevel_(LibraryLevelToLogLevel(gLibraryLevel.load()))
{
    std::lock_guard lock(gInstanceMutex);
    Assert(gInstance == nullptr, "FFmpegLogger", "Allow creating only one instance of TFFLogger.");
    gInstance = this;
}

TFFLogger::~TFFLogger()
{
    std::lock_guard lock(gInstanceMutex);
    if (gInstance == this)
        gInstance = nullptr;
}

TFFLogger& Logger()
{
    std::lock_guard lock(gInstanceMutex);
    if (gInstance == nullptr)
        gOwnInstance.reset(new TFFLogger()); // registers itself
    return *gInstance;
}

void TFFLogger::SetLogLevel(TLogLevel level)
{
    if (logLevel_.exchange(level) == level)
        return;
    ApplyLibraryLevel();
}

void TFFLogger::ApplyLibraryLevel()
{
    gLibraryLevel = LogLevelToLibraryLevel(logLevel_.load());
    av_log_set_level(gLibraryLevel.load());
}

void TFFLogger::SetLogLevelText(const std::string& text)
{
    static const struct { const char* name; int level; } kNames[] = {
        {"quiet", -8}, {"panic", 0}, {"fatal", 8}, {"error", 16},
        {"warning", 24}, {"info", 32}, {"verbose", 40}, {"debug", 48},
    };
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const auto& entry : kNames) {
        if (lower == entry.name) {
            SetLogLevel(LibraryLevelToLogLevel(entry.level));
            return;
        }
    }
    size_t used = 0;
    int number = std::stoi(text, &used, 10); // throws std::invalid_argument / out_of_range
    if (used != text.size())
        throw std::invalid_argument("'" + text + "' is not a valid integer value");
    SetLogLevel(LibraryLevelToLogLevel(number));
}

void TFFLogger::InstallLibraryCallback()
{
    av_log_set_callback(&TFFLogger::LibraryLogCallback);
    ApplyLibraryLevel();
}

void TFFLogger::Log(const void* sender, TLogLevel level, const std::string& message)
{
    if (!OnLog)
        return;
    TLogLevel current = logLevel_.load();
    if (!(level <= current || (level == llVerbose && current != llQuiet)))
        return;
    Deliver(sender, CurrentThreadId(), level, message);
}

void TFFLogger::LogFmtV(const void* sender, TLogLevel level, const char* format, va_list args)
{
    if (!OnLog)
        return;
    Log(sender, level, FormatV(format, args));
}

void TFFLogger::LogFmt(const void* sender, TLogLevel level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogFmtV(sender, level, format, args);
    va_end(args);
}

void TFFLogger::Deliver(const void* sender, uint32_t threadId, TLogLevel level, const std::string& message)
{
    TLogEvent handler = OnLog;
    if (!handler)
        return;
    if (TriggerEventInMainThread())
        RunInMainThread([&] { handler(sender, threadId, level, message); });
    else
        handler(sender, threadId, level, message);
}

void TFFLogger::LibraryLogCallback(void* context, int level, const char* format, va_list args)
{
    if (level > gLibraryLevel.load())
        return;

    std::string prefix;
    if (context != nullptr) {
        const AVClass* avClass = *static_cast<const AVClass* const*>(context);
        const char* name = (avClass && avClass->item_name) ? avClass->item_name(context) : "NULL";
        char text[160];
        std::snprintf(text, sizeof text, "[%s @ %0*" PRIXPTR "]", name,
                      static_cast<int>(sizeof(void*) * 2), reinterpret_cast<uintptr_t>(context));
        prefix = text;
    }
    std::string message = FormatV(format, args);

    const uint32_t threadId = CurrentThreadId();
    std::vector<std::string> lines;
    {
        PendingLines& pending = Pending();
        std::lock_guard lock(pending.mutex);
        std::string& text = pending.textByThread[threadId];
        if (!text.empty())
            text += message;
        else
            text = prefix + message;
        size_t feed;
        while ((feed = text.find('\n')) != std::string::npos) {
            lines.push_back(text.substr(0, feed));
            text.erase(0, feed + 1);
        }
    }
    if (lines.empty())
        return;

    std::unique_lock instanceLock(gInstanceMutex);
    TFFLogger* logger = gInstance;
    instanceLock.unlock();
    if (logger == nullptr)
        return;
    const TLogLevel converted = LibraryLevelToLogLevel(level);
    for (const std::string& line : lines)
        logger->Deliver(logger, threadId, converted, line);
}

} // namespace qv

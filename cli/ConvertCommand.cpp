#include "cli/ConvertCommand.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/FFmpeg.h"
#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"

namespace qv::cli {

namespace {

std::atomic<bool> gInterrupted{false};

void OnInterrupt(int)
{
    gInterrupted = true;
}

// Log lines and the progress line share standard error.
std::mutex gOutputMutex;
bool gProgressShown = false; // protected by gOutputMutex: a progress line is on screen
const bool gTerminal = ::isatty(STDERR_FILENO) != 0;

void EndProgressLine()
{
    if (gProgressShown && gTerminal)
        std::fputc('\n', stderr);
    gProgressShown = false;
}

void PrintLog(const void*, uint32_t, TLogLevel level, const std::string& message)
{
    std::lock_guard lock(gOutputMutex);
    EndProgressLine();
    static const char* const kLevels[] = {"", "panic: ", "fatal: ", "error: ", "warning: ", "", "", "debug: "};
    std::fprintf(stderr, "%s%s\n", kLevels[level], message.c_str());
}

std::string Clock(int64_t time_us)
{
    if (time_us < 0)
        return "--:--:--";
    const int64_t seconds = time_us / 1000000;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%02d", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                  static_cast<int>(time_us / 10000 % 100));
    return text;
}

void PrintProgress(void*, TCustomFFmpeg*, const TProgressFigures& figures)
{
    char line[256];
    int used = 0;
    if (figures.frameNumber >= 0)
        used = std::snprintf(line, sizeof line, "frame=%5d fps=%3d q=%4.1f ", figures.frameNumber, figures.fps,
                             figures.quality);
    used += std::snprintf(line + used, sizeof line - used, "size=%8.0fkB time=%s bitrate=%7.1fkbit/s",
                          figures.totalSize_bytes / 1024.0, Clock(figures.time_us).c_str(), figures.bitrate_kbps);
    if (figures.totalDuration_us > 0)
        std::snprintf(line + used, sizeof line - used, " (%3.0f%%)",
                      std::min(100.0, 100.0 * figures.time_us / figures.totalDuration_us));
    std::lock_guard lock(gOutputMutex);
    if (gTerminal) {
        std::fprintf(stderr, "\r%s\033[K", line);
        gProgressShown = true;
    } else {
        std::fprintf(stderr, "%s\n", line);
    }
    if (figures.fileIndex < 0)
        EndProgressLine();
}

// Runs on the thread that ends the job: a call handed to the main thread wakes its wait at
// once, so the command returns when the job ends rather than at the next wait slice.
void WakeMainThread(void*, TCustomFFmpeg*)
{
    RunInMainThread([] {});
}

int Fail(const std::string& message)
{
    std::lock_guard lock(gOutputMutex);
    EndProgressLine();
    std::fprintf(stderr, "quorvex-cli: %s\n", message.c_str());
    return EXIT_FAILED;
}

} // namespace

bool IsFlagKey(const std::string& key)
{
    static const char* const kFlags[] = {"an", "vn", "sn", "shortest", "copyts", "xerror", "y", "re", "dump", "hex",
                                         "sameq", "deinterlace", "intra", "psnr", "qphist", "force_fps", "isync",
                                         "loop_input", "newvideo", "newaudio", "newsubtitle", "benchmark"};
    for (const char* flag : kFlags) {
        if (key == flag)
            return true;
    }
    return false;
}

int RunConvertCommand(const std::vector<std::string>& arguments)
{
    MainThreadDispatcher::Instance().BindToCurrentThread();
    TFFLogger& logger = Logger();
    logger.SetTriggerEventInMainThread(false);
    logger.OnLog = PrintLog;
    if (!FFLoader().LoadLibraries(CONVERTER_LIBRARIES))
        return Fail(FFLoader().LastError());

    TFFmpeg engine(20);
    engine.InitEngine();
    engine.SetProgressCallback(PrintProgress, nullptr);
    engine.SetTerminateCallback(WakeMainThread, nullptr);
    bool joinNextOutput = false;
    try {
        for (size_t i = 0; i < arguments.size(); ++i) {
            const std::string& argument = arguments[i];
            if (argument.size() > 1 && argument[0] == '-') {
                const std::string key = argument.substr(1);
                if (key == "join") {
                    joinNextOutput = true;
                    continue;
                }
                if (key == "i") {
                    if (i + 1 >= arguments.size())
                        return Fail("-i needs a file name");
                    if (!engine.OpenInputFile(arguments[++i]))
                        return Fail(engine.LastError());
                    continue;
                }
                std::string value;
                if (!IsFlagKey(key)) {
                    if (i + 1 >= arguments.size())
                        return Fail("-" + key + " needs a value");
                    value = arguments[++i];
                }
                engine.SetOption(key, value);
            } else {
                if (engine.OpenOutputFile(argument, joinNextOutput) < 0)
                    return Fail(engine.LastError());
                joinNextOutput = false;
            }
        }
    } catch (const std::exception& e) {
        return Fail(e.what());
    }

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    TThread* worker = engine.StartConvert(true);
    if (worker)
        worker->Resume();
    // The job runs on its worker; this thread serves its main-thread calls and Ctrl-C.
    bool stopSent = false;
    while (!engine.Finished()) {
        MainThreadDispatcher::Instance().WaitAndProcess(20);
        if (gInterrupted && !stopSent) {
            engine.StopConvert(false);
            stopSent = true;
        }
    }
    // The worker may still be handing its last call to this thread.
    while (!engine.ConvertThreadDone().WaitFor(20))
        MainThreadDispatcher::Instance().ProcessPending();
    {
        std::lock_guard lock(gOutputMutex);
        EndProgressLine();
    }
    logger.OnLog = nullptr;
    if (engine.ErrorOccurred())
        return EXIT_FAILED; // the engine has logged its message

    if (gInterrupted)
        return EXIT_INTERRUPTED;
    return engine.Completed() ? EXIT_DONE : EXIT_FAILED;
}

} // namespace qv::cli

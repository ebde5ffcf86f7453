#include "engine/FFmpeg.h"

#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "engine/ConvertThread.h"
#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/MediaIO.h"

namespace qv {

namespace {
constexpr uint32_t STOP_WAIT_SLICE_MS = 20;

const AVMediaType kKindTypes[KIND_COUNT] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_DATA,
                                            AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_ATTACHMENT};

bool IsZeroByteFile(const std::string& name)
{
    struct stat info {};
    return !name.empty() && ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0;
}
} // namespace

std::mutex& PreviewLock()
{
    static std::mutex lock;
    return lock;
}

TCustomFFmpeg::TCustomFFmpeg(int maxFiles) : maxFiles_(maxFiles)
{
    Assert(maxFiles >= 1 && maxFiles <= 512, "FFmpeg");
    inputFiles_.assign(maxFiles_, nullptr);
    inputFilesTsOffset_us_.assign(maxFiles_, 0);
    inputFilesTsScale_.assign(maxFiles_, {});
    outputFiles_.assign(maxFiles_, nullptr);
    outputFileNames_.assign(maxFiles_, {});
    inputStreamCodecs_.assign(maxFiles_, {});
    inputStreamDecoders_.assign(maxFiles_, {});
    outputStreamCodecs_.assign(maxFiles_, {});
    outputStreamSetup_.assign(maxFiles_, {});
    outputMuxerOptions_.assign(maxFiles_, nullptr);
}

TCustomFFmpeg::~TCustomFFmpeg()
{
    if (running_)
        StopConvert(true);
    CloseAll();
    FreeGenericOptions();
}

void TCustomFFmpeg::InitEngine()
{
    if (!FFLoader().LibrariesLoaded(CONVERTER_LIBRARIES))
        return;
    CloseAll();
    ResetOptions();
    running_ = false;
    stopRequested_ = false;
    completed_ = false;
    finished_ = false;
    joinMode_ = false;
    errorOccurred_ = false;
    errorMessage_.clear();
    lastError_.clear();
    totalDuration_us_ = -1;

    FreeGenericOptions();
    for (int kind = 0; kind < KIND_COUNT; ++kind) {
        genericCodecOptions_[kind] = avcodec_alloc_context3(nullptr);
        if (genericCodecOptions_[kind])
            genericCodecOptions_[kind]->codec_type = kKindTypes[kind];
    }
    genericFormatOptions_ = avformat_alloc_context();
    genericScalerOptions_ = sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                           options_.swsFlags, nullptr, nullptr, nullptr);
}

void TCustomFFmpeg::ResetOptions()
{
    options_ = TOptionState{};
    counters_ = TRunCounters{};
    // The generic option sets are forgotten here; CloseAll frees them.
    genericOptionNames_.clear();
    privateOptions_ = {};
}

void TCustomFFmpeg::FreeGenericOptions()
{
    for (AVCodecContext*& context : genericCodecOptions_)
        avcodec_free_context(&context);
    if (genericFormatOptions_) {
        avformat_free_context(genericFormatOptions_);
        genericFormatOptions_ = nullptr;
    }
    sws_freeContext(genericScalerOptions_);
    genericScalerOptions_ = nullptr;
    genericOptionNames_.clear();
    privateOptions_ = {};
}

void TCustomFFmpeg::CloseAll()
{
    // In join mode every output entry is the same context: close it once.
    const int outputsToClose = joinMode_ ? std::min(nbOutputFiles_, 1) : nbOutputFiles_;
    for (auto& codecs : outputStreamCodecs_) {
        for (AVCodecContext*& codec : codecs)
            avcodec_free_context(&codec);
    }
    for (int i = 0; i < outputsToClose; ++i) {
        AVFormatContext* output = outputFiles_[i];
        if (output == nullptr)
            continue;
        if (output->oformat && !(output->oformat->flags & AVFMT_NOFILE))
            CloseOutputIO(output);
        avformat_free_context(output);
        if (IsZeroByteFile(outputFileNames_[i]))
            ::unlink(outputFileNames_[i].c_str());
    }
    for (AVDictionary*& muxerOptions : outputMuxerOptions_)
        av_dict_free(&muxerOptions);
    std::fill(outputStreamSetup_.begin(), outputStreamSetup_.end(), std::array<TOutputStreamSetup, MAX_STREAMS>{});
    std::fill(outputFiles_.begin(), outputFiles_.end(), nullptr);
    std::fill(outputFileNames_.begin(), outputFileNames_.end(), std::string());
    nbOutputFiles_ = 0;

    for (auto& codecs : inputStreamCodecs_) {
        for (AVCodecContext*& codec : codecs)
            avcodec_free_context(&codec);
    }
    for (int i = 0; i < nbInputFiles_; ++i) {
        if (inputFiles_[i])
            CloseInput(&inputFiles_[i]);
    }
    std::fill(inputFiles_.begin(), inputFiles_.end(), nullptr);
    std::fill(inputStreamDecoders_.begin(), inputStreamDecoders_.end(), std::array<const AVCodec*, MAX_STREAMS>{});
    std::fill(inputFilesTsOffset_us_.begin(), inputFilesTsOffset_us_.end(), 0);
    std::fill(inputFilesTsScale_.begin(), inputFilesTsScale_.end(), std::array<double, MAX_STREAMS>{});
    nbInputFiles_ = 0;

    options_.intraMatrix.reset();
    options_.interMatrix.reset();
    options_.videoRcOverride.reset();
    options_.videoCodecName.reset();
    options_.audioCodecName.reset();
    options_.subtitleCodecName.reset();
    options_.videoStandard.reset();
    options_.videoLanguage.clear();
    options_.audioLanguage.clear();
    options_.subtitleLanguage.clear();
    options_.vstatsFileName.reset();
    streamMaps_.clear();
    metaDataMaps_.clear();
    ReleaseHooks(hookChain_);
    videoPath_.reset(); // closes the vstats file and the preview window
    joinMode_ = false;
}

// ---- direct setters -------------------------------------------------------------

void TCustomFFmpeg::SetFileFormat(const std::string& name)
{
    options_.fileFormat = name;
}

void TCustomFFmpeg::SetStartTime(int64_t time_us)
{
    if (time_us != NO_TIME_US)
        options_.startTime_us = time_us;
}

void TCustomFFmpeg::SetRecordingTime(int64_t time_us)
{
    if (time_us == NO_TIME_US)
        return;
    options_.recordingTime_us = time_us;
    totalDuration_us_ = time_us;
}

void TCustomFFmpeg::SetProgramId(int32_t id)
{
    if (id >= 0)
        options_.optProgramId = id;
}

void TCustomFFmpeg::SetVerbose(int32_t level)
{
    options_.verbose = level;
}

void TCustomFFmpeg::SetPreviewFlags(uint8_t flags)
{
    std::lock_guard lock(PreviewLock());
    previewFlags_ = flags;
}

uint8_t TCustomFFmpeg::PreviewFlags() const
{
    std::lock_guard lock(PreviewLock());
    return previewFlags_;
}

void TCustomFFmpeg::SetVideoCodecName(const std::string& name) { options_.videoCodecName = name; }
void TCustomFFmpeg::SetAudioCodecName(const std::string& name) { options_.audioCodecName = name; }
void TCustomFFmpeg::SetSubtitleCodecName(const std::string& name) { options_.subtitleCodecName = name; }

void TCustomFFmpeg::SetAudioVolume(int32_t volume)
{
    if (volume >= 0)
        options_.audioVolume = volume;
}

void TCustomFFmpeg::SetAudioSyncMethod(int32_t method) { options_.audioSyncMethod = method; }
void TCustomFFmpeg::SetVideoSyncMethod(int32_t method) { options_.videoSyncMethod = method; }

void TCustomFFmpeg::SetMuxMaxDelay(float seconds)
{
    if (seconds > 0)
        options_.muxMaxDelay_s = seconds;
}

void TCustomFFmpeg::SetMuxPreload(float seconds)
{
    if (seconds > 0)
        options_.muxPreload_s = seconds;
}

void TCustomFFmpeg::SetProgressCallback(TProgressCallback callback, void* user)
{
    progressCallback_ = callback;
    progressUser_ = user;
}

void TCustomFFmpeg::SetTerminateCallback(TTerminateCallback callback, void* user)
{
    terminateCallback_ = callback;
    terminateUser_ = user;
}

void TCustomFFmpeg::SetCustomHookCallback(TCustomHookCallback callback, void* user)
{
    customHookCallback_ = callback;
    customHookUser_ = user;
}

void TCustomFFmpeg::SetPreviewBitmapCallback(TPreviewBitmapCallback callback, void* user)
{
    previewBitmapCallback_ = callback;
    previewBitmapUser_ = user;
}

// ---- job lifecycle --------------------------------------------------------------

void TCustomFFmpeg::FailJob(const std::string& message)
{
    Logger().Log(this, llQuiet, message);
    errorOccurred_ = true;
    errorMessage_ = message;
    DoTerminate();
}

TThread* TCustomFFmpeg::StartConvert(bool threaded, TThreadPriority priority)
{
    if (running_ || finished_)
        return nullptr;
    if (nbOutputFiles_ <= 0) {
        CloseAll();
        FailJob("At least one output file must be specified");
        return nullptr;
    }
    if (nbInputFiles_ <= 0) {
        CloseAll();
        FailJob("At least one input file must be specified");
        return nullptr;
    }
    running_ = true;
    stopRequested_ = false;
    completed_ = false;
    finished_ = false;

    if (!threaded) {
        DoConvert();
        return nullptr;
    }
    auto* thread = new TConvertThread(this, priority);
    std::lock_guard lock(workerMutex_);
    worker_ = thread;
    return thread;
}

void TCustomFFmpeg::DoConvert()
{
    auto guarded = [this](auto&& step) {
        try {
            step();
        } catch (const std::exception& e) {
            Logger().Log(this, llQuiet, e.what());
            errorOccurred_ = true;
            errorMessage_ = e.what();
        } catch (...) {
            Logger().Log(this, llQuiet, "Unknown error");
            errorOccurred_ = true;
            errorMessage_ = "Unknown error";
        }
    };
    guarded([this] { TranscodeMain(); });
    guarded([this] {
        std::lock_guard lock(CodecLock());
        ReleaseCodecs();
    });
    guarded([this] { CloseAll(); });
    guarded([this] { DoTerminate(); });
}

void TCustomFFmpeg::DoTerminate()
{
    running_ = false;
    finished_ = true;
    {
        std::lock_guard lock(workerMutex_);
        worker_ = nullptr;
    }
    if (terminateCallback_)
        terminateCallback_(terminateUser_, this);
}

void TCustomFFmpeg::StopConvert(bool wait)
{
    stopRequested_ = true;
    {
        std::lock_guard lock(workerMutex_);
        if (worker_ == nullptr)
            return;
        if (worker_->Suspended())
            worker_->Resume();
    }
    if (!wait)
        return;
    MainThreadDispatcher& dispatcher = MainThreadDispatcher::Instance();
    const bool onMainThread = dispatcher.IsMainThread();
    while (!convertThreadDone_.WaitFor(STOP_WAIT_SLICE_MS)) {
        if (onMainThread)
            dispatcher.ProcessPending();
    }
}

void TCustomFFmpeg::TerminateConvert(bool wait)
{
    if (running_) {
        StopConvert(wait);
        return;
    }
    if (finished_)
        return;
    auto* thread = new TDoTerminateThread(this);
    thread->Start();
    if (!wait)
        return;
    // The termination callback may hand itself to the main thread: keep draining.
    MainThreadDispatcher& dispatcher = MainThreadDispatcher::Instance();
    const bool onMainThread = dispatcher.IsMainThread();
    while (!terminateDone_.WaitFor(STOP_WAIT_SLICE_MS)) {
        if (onMainThread)
            dispatcher.ProcessPending();
    }
}

void TCustomFFmpeg::PauseWorker()
{
    std::lock_guard lock(workerMutex_);
    if (worker_ && !worker_->Suspended())
        worker_->Suspend();
}

void TCustomFFmpeg::ResumeWorker()
{
    std::lock_guard lock(workerMutex_);
    if (worker_ && worker_->Suspended())
        worker_->Resume();
}

bool TCustomFFmpeg::WorkerSuspended() const
{
    std::lock_guard lock(workerMutex_);
    return worker_ != nullptr && worker_->Suspended();
}



} // namespace qv

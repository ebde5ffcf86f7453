// The conversion engine: one object per job. A job is described as the FFmpeg tool
// describes one, option keys interleaved with input and output files; the engine keeps
// the option state, opens the files, and runs the transcode to its end.
//
// Threads: options and file set-up run on the caller's thread before the job starts
// (nothing locks the option state). The transcode runs on the worker thread, or on the
// caller's thread when not threaded. StopConvert and TerminateConvert may be called from
// the main thread while the worker runs; they drain the main-thread dispatcher while
// they wait, so a worker that hands events to the main thread never deadlocks them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/OptionState.h"
#include "platform/Bitmap.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include "runtime/FrameHook.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avutil.h>
}

struct AVCodec;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct AVSubtitle;
struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct SwsContext;

namespace qv {

class TCustomFFmpeg;
class TConvertThread;
struct TTranscodeRun;
struct TInputStream;
struct TOutputStream;
struct TVideoPathState;
// Frees the video path's state; defined with the video path.
struct TVideoPathStateDeleter {
    void operator()(TVideoPathState* state) const;
};

struct TProgressFigures {
    int32_t fileIndex = -1;        // input being converted; -1 in the final report
    int32_t frameNumber = -1;      // -1 when no video figure was produced
    int32_t fps = -1;
    float quality = -1.0f;
    float bitrate_kbps = 0.0f;
    int64_t totalSize_bytes = 0;
    int64_t time_us = 0;
    int64_t totalDuration_us = -1; // -1 when unknown
};

using TProgressCallback = void (*)(void* user, TCustomFFmpeg* engine, const TProgressFigures& figures);
using TTerminateCallback = void (*)(void* user, TCustomFFmpeg* engine);
using TCustomHookCallback = void (*)(void* user, TCustomFFmpeg* engine, TBitmap* bitmap, int32_t frameNumber,
                                     int64_t pts_us, bool& update, bool& stopHook);
using TPreviewBitmapCallback = void (*)(void* user, TCustomFFmpeg* engine, TBitmap* bitmap, int32_t frameNumber,
                                        int64_t pts_us);

enum TPreviewFlag : uint8_t { pfWindow = 1, pfBitmap = 2 };

// What file set-up decided for one output stream; the transcode opens it.
struct TOutputStreamSetup {
    bool streamCopy = false;
    const AVCodec* encoderByName = nullptr;  // chosen by a codec name, or none
    const AVCodec* encoder = nullptr;        // the encoder to open: by name, or the format's default
    std::vector<std::string> bitstreamFilters;
    float quality = 0.0f;                    // fixed quality in lambda units, 0 = none
};

// "map": input file and stream, and the stream it is synchronised to.
struct TStreamMap {
    int32_t fileIndex = 0;
    int32_t streamIndex = 0;
    int32_t syncFileIndex = 0;
    int32_t syncStreamIndex = 0;
};

// "map_meta_data": copy the metadata of an input file to an output file.
struct TMetaDataMap {
    int32_t outFile = 0;
    int32_t inFile = 0;
};

// Masks of the libraries' option flags that select which generic options apply where.
enum TGenericOptionMask : int {
    gmOutputFormat = 1,   // AV_OPT_FLAG_ENCODING_PARAM
    gmInputFormat = 2,    // AV_OPT_FLAG_DECODING_PARAM
    gmEncodeAudio = 9,    // encoding | audio
    gmDecodeAudio = 10,   // decoding | audio
    gmEncodeVideo = 17,   // encoding | video
    gmDecodeVideo = 18,   // decoding | video
    gmSubtitle = 33,      // encoding | subtitle
};

class TCustomFFmpeg {
public:
    // maxFiles bounds the inputs and the outputs of one job: 1..512.
    explicit TCustomFFmpeg(int maxFiles);
    virtual ~TCustomFFmpeg();
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    int MaxFiles() const { return maxFiles_; }

    void InitEngine();
    void ResetOptions();
    void CloseAll();

    // Direct setters used by the component (each also reachable through a key).
    void SetFileFormat(const std::string& name);
    void SetStartTime(int64_t time_us);
    void SetRecordingTime(int64_t time_us);
    void SetProgramId(int32_t id);
    void SetVerbose(int32_t level);
    void SetPreviewFlags(uint8_t flags);
    uint8_t PreviewFlags() const;
    void SetVideoCodecName(const std::string& name);
    void SetAudioCodecName(const std::string& name);
    void SetSubtitleCodecName(const std::string& name);
    void SetAudioVolume(int32_t volume);
    void SetAudioSyncMethod(int32_t method);
    void SetVideoSyncMethod(int32_t method);
    void SetMuxMaxDelay(float seconds);
    void SetMuxPreload(float seconds);

    // Callbacks, each with an opaque user pointer handed back on every call.
    void SetProgressCallback(TProgressCallback callback, void* user);
    void SetTerminateCallback(TTerminateCallback callback, void* user);
    void SetCustomHookCallback(TCustomHookCallback callback, void* user);
    void SetPreviewBitmapCallback(TPreviewBitmapCallback callback, void* user);

    // Option keys as the FFmpeg tool knows them; unknown keys go to the libraries'
    // option tables. Failures raise FFmpegException with the message the user sees.
    void SetOption(const std::string& key, const std::string& value);
    bool SetGenericOption(const std::string& key, const std::string& value);
    void ApplyTarget(const std::string& target, const std::string& norm, const std::string& defaultNorm);
    void ApplyPreset(const std::string& kind, const std::string& name);
    // Copies every generic option set so far whose flags carry all bits of mask, with
    // its value taken from optionSet, into target (a codec, format or scaler context).
    void ApplyGenericOptions(void* target, const void* optionSet, int mask);
    // Options for an encoder of the given kind that only its private table knows
    // (libx264's presets among them): a new dictionary for avcodec_open2, or nullptr.
    AVDictionary* EncoderPrivateOptions(int kind, const AVCodec* encoder) const;

    // File set-up. OpenInputFile returns success; OpenOutputFile the number of output
    // entries after the addition, or -1. The reason of a failure is in LastError.
    bool OpenInputFile(const std::string& fileName);
    int OpenOutputFile(const std::string& fileName, bool join = false);

    // Job lifecycle. StartConvert returns the suspended worker (the caller resumes it)
    // or nullptr: not threaded, already running or finished, or failed its checks.
    TThread* StartConvert(bool threaded, TThreadPriority priority = tpNormal);
    void StopConvert(bool wait);
    void TerminateConvert(bool wait);
    void DoConvert();
    void DoTerminate();

    // Pausing holds the worker at its next pause point; it holds no lock there.
    void PauseWorker();
    void ResumeWorker();
    bool WorkerSuspended() const;

    bool Running() const { return running_.load(); }
    bool Finished() const { return finished_.load(); }
    bool Completed() const { return completed_.load(); }
    bool StopRequested() const { return stopRequested_.load(); }
    bool JoinMode() const { return joinMode_; }
    bool ErrorOccurred() const { return errorOccurred_; }
    const std::string& ErrorMessage() const { return errorMessage_; }
    const std::string& LastError() const { return lastError_; }
    int InputFileCount() const { return nbInputFiles_; }
    int OutputFileCount() const { return nbOutputFiles_; }
    int64_t TotalDuration_us() const { return totalDuration_us_; }

    int64_t ProgressInterval_us = 500000;
    int64_t PreviewInterval_us = 100000;

    const TOptionState& Options() const { return options_; }
    const TRunCounters& Counters() const { return counters_; }
    TEvent& ConvertThreadDone() { return convertThreadDone_; }
    TEvent& TerminateDone() { return terminateDone_; }

protected:
    // The job itself: set-up of the transcode, then the packet loop. Raises
    // FFmpegException on errors of set-up; ends normally otherwise.
    virtual void TranscodeMain();
    // Closes every codec the transcode still has open.
    virtual void ReleaseCodecs();

    // ---- transcode: initialisation and the packet loop (Transcode*.cpp) ----
    void TranscodeInit(TTranscodeRun& run);
    void TranscodeLoop(TTranscodeRun& run);
    void TranscodeEnd(TTranscodeRun& run);
    // Decodes one packet (nullptr: flushes the decoder) and feeds every output stream
    // whose source is this input stream. Returns 0, or -1 when decoding failed.
    int ProcessInputPacket(TTranscodeRun& run, int inputIndex, const AVPacket* packet);
    // Passes a packet through the stream's bitstream filters and writes it.
    void WriteFrame(TOutputStream& ost, AVPacket* packet);
    // Sends one frame (nullptr: drains) to the stream's encoder and writes every packet
    // that comes out; returns the bytes written. Raises "Video encoding failed" /
    // "Audio encoding failed" / "Subtitle encoding failed".
    int64_t EncodeAndWrite(TTranscodeRun& run, TOutputStream& ost, const AVFrame* frame);
    void ReportProgress(TTranscodeRun& run, bool final, int inputIndex);
    // Join mode, at the end of the current input; false when it was the last one.
    bool JoinSwitch(TTranscodeRun& run);
    // Copies one packet of a stream-copied output stream.
    void CopyPacket(TTranscodeRun& run, TOutputStream& ost, const TInputStream& ist, const AVPacket* packet);
    void MappingReport(TTranscodeRun& run);

    // ---- audio path (AudioOut.cpp) ----
    // Re-encode set-up of an audio output stream (resample decision, FIFO).
    void SetUpAudioEncoding(TTranscodeRun& run, TInputStream& ist, TOutputStream& ost);
    // "vol" on a decoded block, with clipping.
    void ApplyVolume(AVFrame* frame) const;
    void DoAudioOut(TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, const AVFrame* decoded);
    // End of input: the FIFO's rest (short last frame or zero padding), then the encoder's.
    void FlushAudio(TTranscodeRun& run, TOutputStream& ost);
    // Audio path helpers: the converter for the decoded blocks' format, the FIFO and
    // the cutting of samples (in the encoder's format) into encoder frames.
    void OpenAudioConverter(TOutputStream& ost, const AVFrame* decoded);
    void QueueAudioSamples(TTranscodeRun& run, TOutputStream& ost, const uint8_t* const* samples, int nbSamples);
    void SendAudioFrame(TTranscodeRun& run, TOutputStream& ost, AVFrame* frame);

    // ---- video and subtitle path (VideoOut.cpp, SubtitleOut.cpp) ----
    // Re-encode set-up of a video output stream (crop, scaler, filter graph).
    void SetUpVideoEncoding(TTranscodeRun& run, TInputStream& ist, TOutputStream& ost);
    void PreProcessVideoFrame(TTranscodeRun& run, TInputStream& ist, AVFrame* picture);
    void EmitVideoFrame(TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* picture,
                        int& frameSize);
    void FlushVideo(TTranscodeRun& run, TOutputStream& ost);
    void PreviewFrame(const AVFrame* picture, TOutputStream& ost);
    void WriteVideoStats(TOutputStream& ost, int frameSize);
    void EmitSubtitle(TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVSubtitle* subtitle,
                      int64_t pts);
    // Writes the subtitle packets still held back (the last DVB page's clearing packet).
    void FlushSubtitles(TTranscodeRun& run);
    // Video path helpers: the filter graph, the custom hook, one picture after the
    // filters through synchronisation, crop, scaling and the encoder.
    bool ConfigureFilters(TInputStream& ist, TOutputStream& ost);
    void RunCustomHook(AVFrame* picture, int64_t pts_us);
    void EmitOnePicture(TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* picture,
                        int& frameSize);
    // A picture of another size or format than the stream's scaler (or graph) was made
    // for: logs it, carries the crop bands over and answers true.
    bool FollowInputSize(const TInputStream& ist, TOutputStream& ost, const AVFrame* picture);
    // Destroys the preview window once the window bit is off.
    void ClosePreviewIfOff();
    TVideoPathState& VideoPath();
    // Engine-wide state of the video path (frame counter, hook and preview pictures,
    // the preview window); created on first use, freed by CloseAll.
    std::unique_ptr<TVideoPathState, TVideoPathStateDeleter> videoPath_;

    // Add one stream of a kind to an output from the current option state.
    void NewVideoStream(AVFormatContext* output, int fileIndex);
    void NewAudioStream(AVFormatContext* output, int fileIndex);
    void NewSubtitleStream(AVFormatContext* output, int fileIndex);

    // Ends a job that could not start: log, remember the error, terminate.
    void FailJob(const std::string& message);

    const int maxFiles_;
    TOptionState options_;
    TRunCounters counters_;

    // Opened inputs and outputs of the job; the tables are sized from MaxFiles.
    std::vector<AVFormatContext*> inputFiles_;
    std::vector<int64_t> inputFilesTsOffset_us_;
    std::vector<std::array<double, MAX_STREAMS>> inputFilesTsScale_;
    int nbInputFiles_ = 0;
    std::vector<AVFormatContext*> outputFiles_;
    std::vector<std::string> outputFileNames_;
    int nbOutputFiles_ = 0;
    // Decoder context of every input stream, made from the stream's parameters when the
    // input is opened (its time base is the inverse of the stream's frame rate).
    std::vector<std::array<AVCodecContext*, MAX_STREAMS>> inputStreamCodecs_;
    // Decoder chosen by name for each input stream (none: the stream's default decoder).
    std::vector<std::array<const AVCodec*, MAX_STREAMS>> inputStreamDecoders_;
    // Encoder context of every output stream, opened by the transcode.
    std::vector<std::array<AVCodecContext*, MAX_STREAMS>> outputStreamCodecs_;
    std::vector<std::array<TOutputStreamSetup, MAX_STREAMS>> outputStreamSetup_;
    // Muxer options for each output, handed over when its header is written.
    std::vector<AVDictionary*> outputMuxerOptions_;

    std::vector<TStreamMap> streamMaps_;     // at most MaxFiles x 20
    std::vector<TMetaDataMap> metaDataMaps_; // at most MaxFiles
    TFrameHookChain hookChain_;

    // Generic library options (one codec context per media kind, the format context,
    // the scaler context) and the names set so far.
    std::array<AVCodecContext*, KIND_COUNT> genericCodecOptions_{};
    AVFormatContext* genericFormatOptions_ = nullptr;
    SwsContext* genericScalerOptions_ = nullptr;
    std::vector<std::string> genericOptionNames_;

    int64_t totalDuration_us_ = -1;
    bool joinMode_ = false;
    bool errorOccurred_ = false;
    std::string errorMessage_;
    std::string lastError_;

    // Codec lookup by name: true with the codec (nullptr for an empty name), or false
    // with the reason in LastError.
    bool FindCodecByName(const std::string& name, AVMediaType kind, bool encoder, int strictness,
                         const AVCodec*& codec);
    // The encoder of a new stream: by name (raising with LastError when the lookup fails),
    // else the container's default for the kind (guessedId tells which codec that is).
    const AVCodec* ChooseEncoder(const AVFormatContext* output, AVMediaType kind,
                                 const std::optional<std::string>& name, int kindIndex, AVCodecID& guessedId);
    // What every new stream starts with: the encoder (unless copied), the stream and its
    // encoder context, the kind's bitstream filters (moved out of the option state), the
    // thread count and the codec tag.
    struct TNewStream {
        AVStream* stream = nullptr;
        AVCodecContext* codec = nullptr;
        TOutputStreamSetup* setup = nullptr;
        const AVCodec* encoder = nullptr;
        AVCodecID guessedId = AV_CODEC_ID_NONE;
    };
    TNewStream BeginStream(AVFormatContext* output, int fileIndex, AVMediaType kind, int kindIndex, bool streamCopy,
                           std::optional<std::string>& codecName, std::vector<std::string>& bitstreamFilters,
                           uint32_t codecTag);
    // has video, audio, subtitle among the opened inputs (only the first when joining).
    struct TInputKinds { bool video = false, audio = false, subtitle = false; };
    TInputKinds CheckAudioVideoSubInputs(bool join) const;
    void JoinSetUp(AVFormatContext* output);

private:
    friend class TConvertThread;
    void FreeGenericOptions();

    // Option keys, presets and generic options (OptionKeys.cpp, Presets.cpp,
    // GenericOptions.cpp). TOptionKeys holds the handlers of the key table.
    friend struct TOptionKeys;
    void SetCodecNameOption(int kind, const std::string& value);
    // The libraries' generic tables: 1 set, 0 unknown, -1 known but the value refused.
    int SetTableOption(const std::string& key, const std::string& value);
    // Encoders' and muxers' private tables, with the same results.
    int SetPrivateOption(const std::string& key, const std::string& value);
    // Legacy flag values whose bits moved to private options; -1 when none of ours.
    int SetLegacyFlagsOption(const std::string& key, const std::string& value);

    // Options that only private tables know, in the order set (a later value of a key
    // replaces the earlier one): one list per media kind for its encoders, and one for
    // the muxer at index KIND_COUNT. Forgotten with the generic option names.
    std::array<std::vector<std::pair<std::string, std::string>>, KIND_COUNT + 1> privateOptions_;

    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> completed_{false};
    std::atomic<bool> finished_{false};

    // The worker while the job runs; cleared by DoTerminate before the self-freeing
    // thread ends. Protected by workerMutex_.
    mutable std::mutex workerMutex_;
    TThread* worker_ = nullptr;

    TEvent convertThreadDone_{true};
    TEvent terminateDone_{true};

    uint8_t previewFlags_ = 0; // protected by the process-wide preview lock

    TProgressCallback progressCallback_ = nullptr;
    void* progressUser_ = nullptr;
    TTerminateCallback terminateCallback_ = nullptr;
    void* terminateUser_ = nullptr;
    TCustomHookCallback customHookCallback_ = nullptr;
    void* customHookUser_ = nullptr;
    TPreviewBitmapCallback previewBitmapCallback_ = nullptr;
    void* previewBitmapUser_ = nullptr;
};

// The process-wide lock that keeps a job's preview flags consistent for its preview path.
std::mutex& PreviewLock();

} // namespace qv

namespace qv {
// The engine as the conversion component instantiates it, one per task.
class TFFmpeg : public TCustomFFmpeg {
public:
    using TCustomFFmpeg::TCustomFFmpeg;
};
} // namespace qv

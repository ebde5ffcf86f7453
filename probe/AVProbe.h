// The media probe: opens a media file (or adopts a container the engine or the player
// already opened) and describes it: container, size, duration, tags, the properties of
// its audio and video streams, and a multi-line information text.
//
// Threads: a probe is used by one thread at a time (the component's probe by the main
// thread, a task's probes when the task is added, the player's on its open path). The
// stream-information step and the closing of an owned container take CodecLock().
#pragma once

#include <cstdint>
#include <string>

#include "runtime/BaseComponent.h"
#include "runtime/FFmpegLogger.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVStream;

namespace qv {

// Every field starts at its "none" value; times are microseconds unless named Raw.
struct TFileStreamInfo {
    int64_t StartTime = -1;  // microseconds
    int64_t Duration = -1;   // microseconds
    int32_t BitRate = -1;    // bits per second
    int64_t Timestamp = -1;  // recording time, seconds since 1970-01-01 UTC
    int32_t Year = -1;
    int32_t Track = -1;
    std::string Title, Author, Copyright, Comment, Album, Genre;

    bool operator==(const TFileStreamInfo&) const = default;
};

// What audio and video streams have in common.
struct TStreamCommonInfo {
    std::string Language;
    std::string CodecName;
    int64_t RawStartTime = -1;  // stream time base units
    int64_t StartTime = -1;     // microseconds
    int64_t RawDuration = -1;   // stream time base units
    int64_t Duration = -1;      // microseconds
    int32_t BitRate = -1;       // bits per second

    bool operator==(const TStreamCommonInfo&) const = default;
};

struct TAudioStreamInfo : TStreamCommonInfo {
    int32_t Channels = -1;
    int32_t SampleRate = -1;    // Hz
    int32_t SampleFormat = -1;  // AVSampleFormat

    bool operator==(const TAudioStreamInfo&) const = default;
};

struct TVideoStreamInfo : TStreamCommonInfo {
    int32_t Height = -1;        // pixels
    int32_t Width = -1;         // pixels
    float DisplayAspectRatio = -1.0f;
    int32_t PixelFormat = -1;   // AVPixelFormat
    int32_t FrameRateNum = -1;  // the stream's real base frame rate
    int32_t FrameRateDen = -1;

    bool operator==(const TVideoStreamInfo&) const = default;
};

class TCustomAVProbe : public TFFBaseComponent {
public:
    TCustomAVProbe();
    ~TCustomAVProbe() override;

    // Opens the file (format: a demuxer name, or empty to guess). False with LastError
    // when it is not loaded; the probe is then closed. Missing libraries raise
    // FFmpegException.
    bool LoadFile(const std::string& fileName, const std::string& formatName = std::string());

    // Describes an opened input without owning it (null: no file). Missing libraries
    // raise FFmpegException.
    virtual void AttachContext(AVFormatContext* context);
    // Forgets the file, closing it when LoadFile opened it.
    virtual void Close();

    // Fill the record; without a file or stream the record keeps its none values and
    // LastError says why (also logged).
    void GetFileStreamInfo(TFileStreamInfo& info);
    void GetAudioStreamInfo(int index, TAudioStreamInfo& info);
    void GetVideoStreamInfo(int index, TVideoStreamInfo& info);

    // The multi-line description of the whole file; empty without a file.
    std::string InfoText();

    AVFormatContext* Context() const { return context_; }
    bool OwnsContext() const { return ownsContext_; }
    std::string FileName() const;
    std::string FormatName() const;
    std::string FormatLongName() const;
    const std::string& ForcedFormat() const { return forcedFormat_; }
    const std::string& LastError() const { return lastError_; }

    int64_t FileSize() const { return fileSize_; }  // bytes
    int32_t StreamCount() const { return streamCount_; }
    int32_t ProgramCount() const { return programCount_; }
    int32_t AudioStreamCount() const { return audioStreamCount_; }
    int32_t VideoStreamCount() const { return videoStreamCount_; }
    int32_t SubtitleStreamCount() const { return subtitleStreamCount_; }
    int32_t FirstAudioStream() const { return firstAudioStream_; }
    int32_t FirstVideoStream() const { return firstVideoStream_; }
    int32_t FirstSubtitleStream() const { return firstSubtitleStream_; }

protected:
    // Recomputes the state fields from the container (all -1 without one).
    virtual void Analyze();

private:
    void CheckLibraries() const;
    void CloseContext();
    void Fail(TLogLevel level, const std::string& message);
    // The stream for a query of the given kind, or null with LastError set.
    AVStream* QueryStream(int index, int kind);
    void FillCommon(AVStream* stream, const AVCodecContext* codec, TStreamCommonInfo& info) const;
    void AppendStreamLine(std::string& text, int index) const;

    AVFormatContext* context_ = nullptr;
    bool ownsContext_ = false;
    std::string forcedFormat_;
    std::string lastError_;
    int64_t fileSize_ = -1;
    int32_t streamCount_ = -1;
    int32_t programCount_ = -1;
    int32_t audioStreamCount_ = -1;
    int32_t videoStreamCount_ = -1;
    int32_t subtitleStreamCount_ = -1;
    int32_t firstAudioStream_ = -1;
    int32_t firstVideoStream_ = -1;
    int32_t firstSubtitleStream_ = -1;
};

// The probe as the component and the player instantiate it.
class TAVProbe : public TCustomAVProbe {
public:
    using TCustomAVProbe::TCustomAVProbe;
};

// Texts of the information layout.
// Bytes as "%.2f GB" / "%.2f MB" / "%.2f KB" above 2^30 / 2^20 / 2^10, else "%d Byte".
std::string FileSizeText(int64_t size_bytes);
// "hh:mm:ss.mmm"; "N/A" for the no-value marker.
std::string DurationText(int64_t time_us);
// ", 29.97 fps", ", 25 tbr", ", 90k tbn": two decimals when the value has a fraction,
// thousands with "k" when it is a whole multiple of 1000.
std::string RateText(double value, const char* unit);
// The shown name of a metadata key ("TPE1" -> "artist"); other keys as they are.
std::string MetadataKeyName(const std::string& key);

} // namespace qv

// The working state of one transcode run: which input stream feeds which output
// stream, the decoders and encoders, and the per-kind conversion state. It lives from
// the start of TranscodeMain to its end (freed also when the run fails).
//
// Threads: everything here belongs to the thread that runs the job.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "engine/OptionState.h"
#include "engine/SampleBuffer.h"

namespace qv {

struct TOutputStreamSetup;

// The name of a media kind in messages.
inline const char* MediaKindName(AVMediaType type)
{
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "Video";
    case AVMEDIA_TYPE_AUDIO: return "Audio";
    case AVMEDIA_TYPE_DATA: return "Data";
    case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
    default: return "Unknown";
    }
}

struct TInputFileState {
    bool eof = false;
    int firstStream = 0;  // index of its first stream in the input stream table
    int nbStreams = 0;
};

struct TInputStream {
    int fileIndex = 0;
    int streamIndex = 0;
    AVStream* st = nullptr;
    AVCodecContext* dec = nullptr;   // owned by the engine (its input stream codecs)
    const AVCodec* decoder = nullptr;
    bool discard = true;             // until some output stream takes it as its source
    bool decodingNeeded = false;
    bool decoderOpen = false;
    int64_t start_us = 0;            // wall clock at creation, for rate emulation
    int64_t nextPts_us = NO_TIME_US; // the next expected timestamp
    int64_t pts_us = 0;              // the current timestamp
    bool isStart = true;
    bool isPastRecordingTime = false;
    bool flushed = false;            // join mode: flushed at the end of its input
    bool multipleFramesWarned = false;
    float quality = 0.0f;            // quality of the last decoded picture, lambda units
};

struct TOutputStream {
    int fileIndex = 0;               // output entry (join: the group)
    int index = 0;                   // stream index within the output
    int sourceIndex = -1;            // into the input stream table
    int syncIndex = -1;
    AVStream* st = nullptr;
    AVFormatContext* muxer = nullptr;
    AVCodecContext* enc = nullptr;   // owned by the engine (its output stream codecs)
    const TOutputStreamSetup* setup = nullptr;
    bool encodingNeeded = false;
    bool encoderOpen = false;
    int frameNumber = 0;             // frames (video) or packets (audio) produced so far
    int64_t syncOpts = 0;            // next output position in encoder time base units
    bool active = false;
    // End of the last packet written, in the stream's time base: the output time.
    int64_t lastEnd = AV_NOPTS_VALUE;
    std::vector<AVBSFContext*> bitstreamFilters;
    AVCodecID savedCodecId = AV_CODEC_ID_NONE;  // join mode
    float codedQuality = -1.0f;      // quality of the last encoded picture, lambda units
    int lastPictureType = 0;         // AVPictureType of the last encoded picture
    uint64_t psnrError[3] = {0, 0, 0};  // last encoded picture's plane errors
    uint64_t psnrErrorSum[3] = {0, 0, 0};

    // Video.
    bool videoCrop = false;
    bool videoResample = false;
    AVFrame* tmpFrame = nullptr;     // output size and pixel format
    SwsContext* sws = nullptr;
    int resampleWidth = 0;
    int resampleHeight = 0;
    AVPixelFormat resamplePixFmt = AV_PIX_FMT_NONE;
    int originalWidth = 0;           // initial input size
    int originalHeight = 0;
    int topBand = 0, bottomBand = 0, leftBand = 0, rightBand = 0;
    int originalTopBand = 0, originalBottomBand = 0, originalLeftBand = 0, originalRightBand = 0;
    AVFilterGraph* filterGraph = nullptr;
    AVFilterContext* filterSource = nullptr;
    AVFilterContext* filterSink = nullptr;

    // Audio.
    bool audioResample = false;
    SwrContext* swr = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* audioFrame = nullptr;   // one encoder frame
    // What the converter (swr) was made for: the decoded blocks' format, channels and rate.
    AVSampleFormat swrInFormat = AV_SAMPLE_FMT_NONE;
    int swrInChannels = 0;
    int swrInRate = 0;

    // DVB subtitles: the packet that clears the last page, held back until the next page
    // (which replaces the display if it comes first) or the end of the run.
    AVPacket* heldSubtitleClear = nullptr;

    // Two-pass statistics.
    FILE* passLogFile = nullptr;     // pass 1
    std::string passLogName;

    double OutputTime_s() const
    {
        return lastEnd == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(lastEnd) * av_q2d(st->time_base);
    }
};

// Everything of one run; TranscodeMain owns it.
struct TTranscodeRun {
    std::vector<TInputFileState> files;
    std::vector<TInputStream> inputs;
    std::vector<TOutputStream> outputs;
    int groupSize = 0;               // join mode: streams of output 0
    int joinInput = 0;               // join mode: the input being converted
    std::vector<bool> noPacket;      // one per input
    int noPacketCount = 0;
    int64_t runStart_us = 0;
    int64_t lastReport_us = 0;
    int lastInputIndex = 0;          // input of the last packet, for the report
    int qpHistogram[52] = {};
    AVFrame* decodedFrame = nullptr;
    AVFrame* filteredFrame = nullptr;
    AVPacket* encodedPacket = nullptr;
    // Audio path buffers shared by every audio stream of the run, only grown.
    TSampleBuffer audioSamples;      // converted samples
    TSampleBuffer audioSilence;      // inserted silence followed by the decoded block

    ~TTranscodeRun();
};

} // namespace qv

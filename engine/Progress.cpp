// The progress report: the figures handed to the progress callback, or the report line.
#include <cmath>
#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "engine/FFmpeg.h"
#include "engine/Transcode.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {
constexpr float QP_TO_LAMBDA = 118.0f;

double Psnr(double error)
{
    return -10.0 * std::log10(error);
}
} // namespace

void TCustomFFmpeg::ReportProgress(TTranscodeRun& run, bool final, int inputIndex)
{
    const TOptionState& o = options_;
    // 1. Output size.
    int64_t totalSize_bytes = 0;
    if (nbOutputFiles_ > 0 && outputFiles_[0]->pb) {
        totalSize_bytes = avio_size(outputFiles_[0]->pb);
        if (totalSize_bytes < 0)
            totalSize_bytes = avio_tell(outputFiles_[0]->pb);
    }

    // 2.
    std::string line;
    char text[256];
    int frameNumber = -1;
    int fps = -1;
    float quality = -1.0f;
    double time_s = 1e10;
    bool videoReported = false;

    // 3.
    for (const TOutputStream& ost : run.outputs) {
        const bool video = ost.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        const float q = ost.encodingNeeded && ost.codedQuality >= 0 ? ost.codedQuality / QP_TO_LAMBDA : -1.0f;
        if (video && videoReported) {
            std::snprintf(text, sizeof text, "q=%2.1f ", q);
            line += text;
        }
        if (video && !videoReported && ost.active) {
            const double elapsed_s = (av_gettime() - run.runStart_us) / 1000000.0;
            if (ost.frameNumber < 1)
                return; // nothing until the first picture
            frameNumber = ost.frameNumber;
            fps = elapsed_s > 1.0 ? static_cast<int>(frameNumber / elapsed_s + 0.5) : 0;
            quality = q;
            std::snprintf(text, sizeof text, "frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
            line += text;
            if (final)
                line += "L";
            if (o.qpHist) {
                const int qp = static_cast<int>(std::lround(q));
                if (qp >= 0 && qp < 52)
                    ++run.qpHistogram[qp];
                for (int j = 0; j < 32; ++j) {
                    std::snprintf(text, sizeof text, "%X",
                                  static_cast<int>(std::lround(std::log2(run.qpHistogram[j] + 1))));
                    line += text;
                }
            }
            if (ost.encodingNeeded && (ost.enc->flags & AV_CODEC_FLAG_PSNR)) {
                line += "PSNR=";
                const char planes[3] = {'Y', 'U', 'V'};
                double errorSum = 0, scaleSum = 0;
                for (int j = 0; j < 3; ++j) {
                    double error = final ? static_cast<double>(ost.psnrErrorSum[j]) : static_cast<double>(ost.psnrError[j]);
                    double scale = static_cast<double>(ost.enc->width) * ost.enc->height * 255.0 * 255.0;
                    if (j > 0)
                        scale /= 4;
                    if (final)
                        scale *= frameNumber;
                    errorSum += error;
                    scaleSum += scale;
                    std::snprintf(text, sizeof text, "%c:%2.2f ", planes[j], Psnr(error / scale));
                    line += text;
                }
                std::snprintf(text, sizeof text, "*:%2.2f ", Psnr(errorSum / scaleSum));
                line += text;
            }
            videoReported = true;
        }
        const double outputTime_s = ost.OutputTime_s();
        if (outputTime_s > 0 && outputTime_s < time_s)
            time_s = outputTime_s;
    }

    // 4.
    if (time_s < 0.01)
        time_s = 0.01;
    const double bitrate_kbps = totalSize_bytes * 8 / time_s / 1000.0;

    // 5.
    const bool callback = progressCallback_ != nullptr;
    if (callback || o.verbose > 0 || final) {
        std::snprintf(text, sizeof text, "size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", totalSize_bytes / 1024.0,
                      time_s, bitrate_kbps);
        line += text;
        if (counters_.dupFrames || counters_.dropFrames) {
            std::snprintf(text, sizeof text, " dup=%d drop=%d", counters_.dupFrames, counters_.dropFrames);
            line += text;
            if (counters_.dupDropNoticePending && o.verbose >= 0 && callback) {
                counters_.dupDropNoticePending = false;
                Logger().Log(this, llVerbose, line);
            }
        }
        if (callback) {
            TProgressFigures figures;
            figures.fileIndex = inputIndex;
            figures.frameNumber = frameNumber;
            figures.fps = fps;
            figures.quality = quality;
            figures.bitrate_kbps = static_cast<float>(bitrate_kbps);
            figures.totalSize_bytes = totalSize_bytes;
            figures.time_us = static_cast<int64_t>(time_s * 1000000);
            figures.totalDuration_us = totalDuration_us_;
            progressCallback_(progressUser_, this, figures);
        } else if (o.verbose >= 0) {
            Logger().Log(this, llVerbose, line);
        }
    }

    // 6.
    if (final && o.verbose >= 0) {
        const double ours = static_cast<double>(counters_.videoSize_bytes + counters_.audioSize_bytes +
                                                counters_.extraSize_bytes);
        std::snprintf(text, sizeof text,
                      "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                      counters_.videoSize_bytes / 1024.0, counters_.audioSize_bytes / 1024.0,
                      counters_.extraSize_bytes / 1024.0, ours > 0 ? (totalSize_bytes - ours) * 100.0 / ours : 0.0);
        Logger().Log(this, llVerbose, text);
    }
}

} // namespace qv

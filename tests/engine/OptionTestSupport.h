// Helpers of the option key, target, preset and generic option tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFmpeg.h"
#include "runtime/FFmpegLogger.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace qv::test {

// An initialised engine whose option state and generic option sets the tests can see.
class OptionEngine : public TFFmpeg {
public:
    OptionEngine() : TFFmpeg(20) { InitEngine(); }

    using TCustomFFmpeg::genericCodecOptions_;
    using TCustomFFmpeg::genericFormatOptions_;
    using TCustomFFmpeg::genericOptionNames_;
    using TCustomFFmpeg::genericScalerOptions_;
    using TCustomFFmpeg::inputFilesTsScale_;
    using TCustomFFmpeg::metaDataMaps_;
    using TCustomFFmpeg::options_;
    using TCustomFFmpeg::streamMaps_;

    // Opens an input the way the file set-up leaves it for the options: the demuxer, and
    // a decoder context per stream whose time base is the inverse of the frame rate.
    void OpenInputByHand(const std::string& fileName)
    {
        AVFormatContext* input = nullptr;
        ASSERT_EQ(avformat_open_input(&input, fileName.c_str(), nullptr, nullptr), 0) << fileName;
        ASSERT_GE(avformat_find_stream_info(input, nullptr), 0);
        for (unsigned i = 0; i < input->nb_streams && i < MAX_STREAMS; ++i) {
            AVCodecContext* decoder = avcodec_alloc_context3(nullptr);
            avcodec_parameters_to_context(decoder, input->streams[i]->codecpar);
            if (decoder->codec_type == AVMEDIA_TYPE_VIDEO)
                decoder->time_base = av_inv_q(input->streams[i]->r_frame_rate);
            inputStreamCodecs_[nbInputFiles_][i] = decoder;
        }
        inputFiles_[nbInputFiles_++] = input;
    }

    int64_t CodecOptionInt(int kind, const char* name)
    {
        int64_t value = 0;
        EXPECT_GE(av_opt_get_int(genericCodecOptions_[kind], name, 0, &value), 0) << name;
        return value;
    }
};

// Collects what the engine and the libraries log while it lives.
class LogCapture {
public:
    LogCapture()
    {
        Logger().SetTriggerEventInMainThread(false);
        Logger().OnLog = [this](const void*, uint32_t, TLogLevel level, const std::string& text) {
            lines.emplace_back(level, text);
        };
    }
    ~LogCapture() { Logger().OnLog = nullptr; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Has(TLogLevel level, const std::string& text) const
    {
        for (const auto& [lineLevel, line] : lines) {
            if (lineLevel == level && line == text)
                return true;
        }
        return false;
    }
    bool Contains(const std::string& part) const
    {
        for (const auto& line : lines) {
            if (line.second.find(part) != std::string::npos)
                return true;
        }
        return false;
    }

    std::vector<std::pair<TLogLevel, std::string>> lines;
};

class OptionTest : public ::testing::Test {
protected:
    void SetUp() override { LoadConverterLibraries(); }
};

} // namespace qv::test

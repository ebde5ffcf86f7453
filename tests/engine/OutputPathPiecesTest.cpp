// The pieces of the audio and video output paths that work on plain numbers and single
// pictures: timing decisions, crop bands across a size change, volume, the BGR bitmap
// conversion used by the custom hook and the preview, and the per-picture deinterlacer.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include "engine/FFmpeg.h"
#include "engine/OutputSync.h"
#include "engine/VideoPath.h"

using namespace qv;

namespace {

using Action = TAudioSyncAction;

struct AudioSyncCase {
    const char* name;
    TAudioSyncInput in;
    Action action;
    int64_t inputSamples;   // asDrop / asInsert
    int compensation;       // asCompensate
    int64_t syncPosition;   // after the decision
};

TAudioSyncInput Audio(int method, double inTime_s, int64_t position, int64_t queued, int encRate, int decRate,
                      bool atStart)
{
    TAudioSyncInput in;
    in.method = method;
    in.inTime_s = inTime_s;
    in.syncPosition = position;
    in.queuedSamples = queued;
    in.encRate = encRate;
    in.decRate = decRate;
    in.atStart = atStart;
    in.driftThreshold_s = 0.1;
    return in;
}

} // namespace

TEST(AudioSync, DecisionsFollowMethodStartAndDriftThreshold)
{
    const AudioSyncCase cases[] = {
        // "async" 0 follows the input timestamps, minus what waits in the FIFO.
        {"method0 follows timestamps", Audio(0, 2.0, 5, 1000, 44100, 44100, true), Action::asNone, 0, 0, 88200 - 1000},
        {"method0 never corrects", Audio(0, 0.5, 0, 0, 44100, 44100, true), Action::asNone, 0, 0, 22050},
        // A late start is padded with silence, an early one loses samples.
        {"late start inserts silence", Audio(1, 0.5, 0, 0, 44100, 44100, true), Action::asInsert, 22050, 0, 0},
        {"early start drops", Audio(1, 0.0, 8820, 0, 44100, 44100, true), Action::asDrop, 8820, 0, 8820},
        // The inserted amount is counted in input samples.
        {"insert at the input rate", Audio(1, 0.5, 0, 0, 22050, 44100, true), Action::asInsert, 22050, 0, 0},
        // 50 samples or less: nothing, even at the start.
        {"50 samples is tolerated", Audio(1, 1.0, 44050, 0, 44100, 44100, true), Action::asNone, 0, 0, 44050},
        {"51 samples at start", Audio(1, 1.0, 44049, 0, 44100, 44100, true), Action::asInsert, 51, 0, 44049},
        // Past the start, only drift beyond the threshold (0.1 s) is corrected by method 1.
        {"small drift after start", Audio(1, 0.05, 0, 0, 44100, 44100, false), Action::asNone, 0, 0, 0},
        {"large drift after start", Audio(1, 0.2, 0, 0, 44100, 44100, false), Action::asInsert, 8820, 0, 0},
        {"FIFO counts as output", Audio(1, 0.2, 0, 8820, 44100, 44100, false), Action::asNone, 0, 0, 0},
        // Methods above 1 stretch through the resampler, bounded by the method's value.
        {"compensate bounded", Audio(100, 0.05, 0, 0, 44100, 44100, false), Action::asCompensate, 0, 100, 0},
        {"compensate small", Audio(100, 1.0, 44040, 0, 44100, 44100, false), Action::asCompensate, 0, 60, 44040},
        {"compensate negative", Audio(100, 0.0, 2000, 0, 44100, 44100, false), Action::asCompensate, 0, -100, 2000},
        {"method>1 still fixes the start", Audio(100, 0.5, 0, 0, 44100, 44100, true), Action::asInsert, 22050, 0, 0},
    };
    for (const AudioSyncCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TAudioSyncDecision d = DecideAudioSync(c.in);
        EXPECT_EQ(d.action, c.action);
        EXPECT_EQ(d.syncPosition, c.syncPosition);
        if (c.action == Action::asDrop || c.action == Action::asInsert) {
            EXPECT_EQ(d.inputSamples, c.inputSamples);
        }
        if (c.action == Action::asCompensate) {
            EXPECT_EQ(d.compensation, c.compensation);
        }
    }
}

TEST(VideoSync, DropsAndDuplicatesByMethodAndContainer)
{
    struct Case {
        const char* name;
        int method;
        bool variableRate;
        double syncTime;
        int64_t position;
        int frames;
        int64_t positionAfter;
    } cases[] = {
        {"regular constant rate", -1, false, 10.0, 10, 1, 10},
        {"gap of three frames duplicates two", -1, false, 13.0, 10, 3, 10},
        {"small lead is tolerated", -1, false, 11.0, 10, 1, 10},
        {"far behind drops", 1, false, 8.8, 10, 0, 10},
        {"vsync 0 never drops", 0, false, 3.4, 10, 1, 3},
        {"vsync 0 never duplicates", 0, false, 20.0, 10, 1, 20},
        {"variable rate never duplicates", -1, true, 13.0, 10, 1, 13},
        {"variable rate drops early frames", -1, true, 9.3, 10, 0, 10},
        {"variable rate keeps slightly early", -1, true, 9.5, 10, 1, 10},
        {"vsync 2 jumps forward", 2, false, 10.7, 10, 1, 11},
        {"vsync 1 ignores the muxer's variable rate", 1, true, 13.0, 10, 3, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TVideoSyncDecision d = DecideVideoSync(c.method, c.variableRate, c.syncTime, c.position);
        EXPECT_EQ(d.frameCount, c.frames);
        EXPECT_EQ(d.syncPosition, c.positionAfter);
    }
}

TEST(CropBands, CarriedOverProportionallyAndEven)
{
    const TCropBands initial{20, 10, 16, 8};
    const TCropBands half = ScaleCropBands(initial, 320, 240, 160, 120);
    EXPECT_EQ(half.top, 10);
    EXPECT_EQ(half.bottom, 4);   // 5, kept even
    EXPECT_EQ(half.left, 8);
    EXPECT_EQ(half.right, 4);
    const TCropBands bigger = ScaleCropBands(initial, 320, 240, 640, 480);
    EXPECT_EQ(bigger.top, 40);
    EXPECT_EQ(bigger.right, 16);
    EXPECT_FALSE(ScaleCropBands(TCropBands{}, 320, 240, 640, 480).Any());
}

// ---- volume -------------------------------------------------------------------------

namespace {

class VolumeEngine : public TFFmpeg {
public:
    explicit VolumeEngine(int volume) : TFFmpeg(1) { options_.audioVolume = volume; }
    using TCustomFFmpeg::ApplyVolume;
};

AVFrame* AudioFrame(AVSampleFormat format, int channels, int samples)
{
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->nb_samples = samples;
    frame->sample_rate = 44100;
    av_channel_layout_default(&frame->ch_layout, channels);
    EXPECT_GE(av_frame_get_buffer(frame, 0), 0);
    return frame;
}

} // namespace

TEST(Volume, ScalesWithRoundingAndClipsInEveryLayout)
{
    {
        AVFrame* frame = AudioFrame(AV_SAMPLE_FMT_S16, 2, 3);
        auto* s = reinterpret_cast<int16_t*>(frame->data[0]);
        const int16_t in[6] = {1000, -1000, 32767, -32768, 3, 20000};
        std::memcpy(s, in, sizeof in);
        VolumeEngine(128).ApplyVolume(frame);
        EXPECT_EQ(s[0], 500);
        EXPECT_EQ(s[1], -500);
        EXPECT_EQ(s[2], 16384);  // (32767 * 128 + 128) >> 8
        EXPECT_EQ(s[3], -16384);
        EXPECT_EQ(s[4], 2);      // rounded
        std::memcpy(s, in, sizeof in);
        VolumeEngine(1024).ApplyVolume(frame);
        EXPECT_EQ(s[0], 4000);
        EXPECT_EQ(s[2], 32767);  // clipped
        EXPECT_EQ(s[3], -32768);
        EXPECT_EQ(s[5], 32767);
        av_frame_free(&frame);
    }
    {
        // Planar float: every plane, clipped to full scale.
        AVFrame* frame = AudioFrame(AV_SAMPLE_FMT_FLTP, 2, 2);
        auto* left = reinterpret_cast<float*>(frame->data[0]);
        auto* right = reinterpret_cast<float*>(frame->data[1]);
        left[0] = 0.5f, left[1] = -0.9f, right[0] = 0.25f, right[1] = 0.8f;
        VolumeEngine(512).ApplyVolume(frame);
        EXPECT_FLOAT_EQ(left[0], 1.0f);
        EXPECT_FLOAT_EQ(left[1], -1.0f);
        EXPECT_FLOAT_EQ(right[0], 0.5f);
        EXPECT_FLOAT_EQ(right[1], 1.0f);
        av_frame_free(&frame);
    }
    {
        // Unsigned 8-bit is scaled around its midpoint.
        AVFrame* frame = AudioFrame(AV_SAMPLE_FMT_U8, 1, 3);
        frame->data[0][0] = 128, frame->data[0][1] = 228, frame->data[0][2] = 0;
        VolumeEngine(128).ApplyVolume(frame);
        EXPECT_EQ(frame->data[0][0], 128);
        EXPECT_EQ(frame->data[0][1], 178);
        EXPECT_EQ(frame->data[0][2], 64);
        av_frame_free(&frame);
    }
}

// ---- pictures ----------------------------------------------------------------------

namespace {

TFramePtr Picture(AVPixelFormat format, int width, int height)
{
    TFramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    return frame;
}

// A colour picture with smooth gradients, so that conversions keep it closely.
void PaintGradient(AVFrame* frame)
{
    TRgbPicture painter;
    TFramePtr rgb = Picture(AV_PIX_FMT_BGR24, frame->width, frame->height);
    for (int y = 0; y < frame->height; ++y) {
        uint8_t* row = rgb->data[0] + y * rgb->linesize[0];
        for (int x = 0; x < frame->width; ++x) {
            row[3 * x + 0] = static_cast<uint8_t>(40 + x * 150 / frame->width);
            row[3 * x + 1] = static_cast<uint8_t>(60 + y * 120 / frame->height);
            row[3 * x + 2] = 128;
        }
    }
    ASSERT_TRUE(PictureToBitmap(painter, rgb.get()));
    painter.direct = false;
    painter.rgb = Picture(AV_PIX_FMT_BGR24, frame->width, frame->height);
    ASSERT_TRUE(BitmapToPicture(painter, frame));
}

} // namespace

TEST(RgbBitmap, RoundTripKeepsThePictureAndCarriesEdits)
{
    struct Case {
        AVPixelFormat format;
        int width, height;
    } cases[] = {
        {AV_PIX_FMT_YUV420P, 64, 48},
        {AV_PIX_FMT_YUV420P, 33, 17},   // odd size goes through the scaler
        {AV_PIX_FMT_BGR24, 64, 48},     // rows of the bitmap's size: copied as they are
        {AV_PIX_FMT_BGR24, 30, 20},     // row padding differs: through the scaler
        {AV_PIX_FMT_RGB24, 40, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(av_get_pix_fmt_name(c.format) + std::string(" ") + std::to_string(c.width));
        TFramePtr picture = Picture(c.format, c.width, c.height);
        PaintGradient(picture.get());
        TFramePtr original(av_frame_clone(picture.get()));
        ASSERT_GE(av_frame_make_writable(original.get()), 0);
        av_frame_copy(original.get(), picture.get());

        TRgbPicture state;
        ASSERT_TRUE(PictureToBitmap(state, picture.get()));
        ASSERT_EQ(state.bitmap.Width(), c.width);
        ASSERT_EQ(state.bitmap.Height(), c.height);
        // Unchanged bitmap back: the picture stays close to what it was.
        ASSERT_TRUE(BitmapToPicture(state, picture.get()));
        int worst = 0;
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                worst = std::max(worst, std::abs(picture->data[0][y * picture->linesize[0] + x] -
                                                 original->data[0][y * original->linesize[0] + x]));
        EXPECT_LE(worst, 6);

        // Painting the bitmap white makes a white picture.
        ASSERT_TRUE(PictureToBitmap(state, picture.get()));
        for (int y = 0; y < c.height; ++y)
            std::memset(state.bitmap.ScanLine(y), 255, static_cast<size_t>(c.width) * 3);
        ASSERT_TRUE(BitmapToPicture(state, picture.get()));
        TRgbPicture check;
        ASSERT_TRUE(PictureToBitmap(check, picture.get()));
        EXPECT_GE(check.bitmap.ScanLine(c.height / 2)[3 * (c.width / 2) + 1], 250);
    }
}

TEST(Deinterlace, SmoothsAlternatingLinesAndRefusesPackedFormats)
{
    TFramePtr source = Picture(AV_PIX_FMT_YUV420P, 32, 16);
    for (int p = 0; p < 3; ++p) {
        const int height = p == 0 ? 16 : 8;
        for (int y = 0; y < height; ++y)
            std::memset(source->data[p] + y * source->linesize[p], y % 2 ? 200 : 40, p == 0 ? 32 : 16);
    }
    TFramePtr out = Picture(AV_PIX_FMT_YUV420P, 32, 16);
    ASSERT_TRUE(DeinterlacePicture(out.get(), source.get()));
    // The even field stays; each odd line is rebuilt from (-1 4 2 4 -1)/8 of the lines
    // around it, which removes the comb.
    for (int y = 0; y < 16; ++y)
        EXPECT_EQ(out->data[0][y * out->linesize[0] + 5], 40) << "line " << y;
    EXPECT_EQ(out->data[1][3 * out->linesize[1] + 2], 40);

    // A vertical ramp (no comb) comes through as it was.
    for (int y = 0; y < 16; ++y)
        std::memset(source->data[0] + y * source->linesize[0], 10 * y, 32);
    ASSERT_TRUE(DeinterlacePicture(out.get(), source.get()));
    for (int y = 2; y < 14; ++y)
        EXPECT_EQ(out->data[0][y * out->linesize[0] + 7], 10 * y) << "line " << y;

    TFramePtr packed = Picture(AV_PIX_FMT_RGB24, 32, 16);
    TFramePtr packedOut = Picture(AV_PIX_FMT_RGB24, 32, 16);
    EXPECT_FALSE(DeinterlacePicture(packedOut.get(), packed.get()));
}

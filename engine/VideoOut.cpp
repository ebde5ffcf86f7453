// The video output path: what happens to a decoded picture between the decoder and the
// muxer. Pre-processing (deinterlacing, the custom hook, "vhook" modules), frame-rate
// synchronisation by dropping and duplicating, cropping, scaling (re-made when the input
// size changes) or the filter graph, encoding; the preview of encoded pictures and the
// video statistics file.
//
// Threads: runs on the job's thread. The preview flags are shared with the component
// under PreviewLock(); the preview window paints on the main thread.
#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

#include "runtime/LibraryErrors.h"
#include "engine/FFmpeg.h"
#include "engine/OutputSync.h"
#include "platform/TextFormat.h"
#include "engine/Transcode.h"
#include "engine/VideoPath.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/FrameHook.h"
#include "runtime/Previewer.h"

namespace qv {

namespace {

constexpr int RGB_SCALER_FLAGS = SWS_BICUBIC;
constexpr float QP_TO_LAMBDA = 118.0f;

TFramePtr NewFrame()
{
    TFramePtr frame(av_frame_alloc());
    if (!frame)
        throw FFmpegException("Out of memory");
    return frame;
}

// Holds a bitmap's drawing surface while the engine reads or writes its rows.
class TSurfaceLock {
public:
    explicit TSurfaceLock(TBitmap& bitmap) : bitmap_(bitmap) { bitmap_.Lock(); }
    ~TSurfaceLock() { bitmap_.Unlock(); }
    TSurfaceLock(const TSurfaceLock&) = delete;
    TSurfaceLock& operator=(const TSurfaceLock&) = delete;

private:
    TBitmap& bitmap_;
};

void CopyRows(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int rowBytes, int rows)
{
    for (int r = 0; r < rows; ++r)
        std::memcpy(dst + static_cast<ptrdiff_t>(r) * dstStride, src + static_cast<ptrdiff_t>(r) * srcStride,
                    static_cast<size_t>(rowBytes));
}

} // namespace

// ---- picture helpers ---------------------------------------------------------------

TRgbPicture::~TRgbPicture()
{
    sws_freeContext(toRgb);
    sws_freeContext(fromRgb);
}

bool ReadyPicture(AVFrame* frame, int format, int width, int height)
{
    if (frame->buf[0] && frame->format == format && frame->width == width && frame->height == height &&
        av_frame_is_writable(frame))
        return true;
    av_frame_unref(frame);
    frame->format = format;
    frame->width = width;
    frame->height = height;
    return av_frame_get_buffer(frame, 0) >= 0;
}

bool PictureToBitmap(TRgbPicture& state, const AVFrame* picture)
{
    const int width = picture->width;
    const int height = picture->height;
    const auto format = static_cast<AVPixelFormat>(picture->format);
    TBitmap& bitmap = state.bitmap;
    if (bitmap.Width() != width || bitmap.Height() != height)
        bitmap.SetSize(width, height);
    TSurfaceLock surface(bitmap);

    state.direct = format == AV_PIX_FMT_BGR24 && width % 2 == 0 && height % 2 == 0 &&
                   picture->linesize[0] == bitmap.Stride();
    if (state.direct) {
        CopyRows(bitmap.Bits(), bitmap.Stride(), picture->data[0], picture->linesize[0], width * 3, height);
        return true;
    }
    if (!state.rgb)
        state.rgb.reset(av_frame_alloc());
    if (!state.rgb || !ReadyPicture(state.rgb.get(), AV_PIX_FMT_BGR24, width, height))
        return false;
    state.toRgb = sws_getCachedContext(state.toRgb, width, height, format, width, height, AV_PIX_FMT_BGR24,
                                       RGB_SCALER_FLAGS, nullptr, nullptr, nullptr);
    if (state.toRgb == nullptr)
        return false;
    sws_scale(state.toRgb, picture->data, picture->linesize, 0, height, state.rgb->data, state.rgb->linesize);
    CopyRows(bitmap.Bits(), bitmap.Stride(), state.rgb->data[0], state.rgb->linesize[0], width * 3, height);
    return true;
}

bool BitmapToPicture(TRgbPicture& state, AVFrame* picture)
{
    const int width = picture->width;
    const int height = picture->height;
    const auto format = static_cast<AVPixelFormat>(picture->format);
    TBitmap& bitmap = state.bitmap;
    if (bitmap.Width() != width || bitmap.Height() != height)
        return false;
    TSurfaceLock surface(bitmap);
    if (state.direct) {
        CopyRows(picture->data[0], picture->linesize[0], bitmap.Bits(), bitmap.Stride(), width * 3, height);
        return true;
    }
    if (!state.rgb)
        return false;
    CopyRows(state.rgb->data[0], state.rgb->linesize[0], bitmap.Bits(), bitmap.Stride(), width * 3, height);
    if (format == AV_PIX_FMT_BGR24) {
        av_image_copy(picture->data, picture->linesize, const_cast<const uint8_t**>(state.rgb->data),
                      state.rgb->linesize, format, width, height);
        return true;
    }
    state.fromRgb = sws_getCachedContext(state.fromRgb, width, height, AV_PIX_FMT_BGR24, width, height, format,
                                         RGB_SCALER_FLAGS, nullptr, nullptr, nullptr);
    if (state.fromRgb == nullptr)
        return false;
    sws_scale(state.fromRgb, state.rgb->data, state.rgb->linesize, 0, height, picture->data, picture->linesize);
    return true;
}

bool DeinterlacePicture(AVFrame* dst, const AVFrame* src)
{
    static const AVPixelFormat kSupported[] = {AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV422P,
                                               AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV444P,  AV_PIX_FMT_YUVJ444P,
                                               AV_PIX_FMT_YUV411P,  AV_PIX_FMT_YUV440P,  AV_PIX_FMT_GRAY8};
    const auto format = static_cast<AVPixelFormat>(src->format);
    if (std::find(std::begin(kSupported), std::end(kSupported), format) == std::end(kSupported))
        return false;
    if (dst->format != src->format || dst->width != src->width || dst->height != src->height)
        return false;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const int planes = av_pix_fmt_count_planes(format);
    for (int p = 0; p < planes; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int width = chroma ? AV_CEIL_RSHIFT(src->width, desc->log2_chroma_w) : src->width;
        const int height = chroma ? AV_CEIL_RSHIFT(src->height, desc->log2_chroma_h) : src->height;
        const int srcStride = src->linesize[p];
        auto row = [&](int y) { return src->data[p] + static_cast<ptrdiff_t>(std::clamp(y, 0, height - 1)) * srcStride; };
        for (int y = 0; y < height; ++y) {
            uint8_t* out = dst->data[p] + static_cast<ptrdiff_t>(y) * dst->linesize[p];
            if (y % 2 == 0) {
                // The top field stays; the bottom field is rebuilt from its neighbours.
                std::memcpy(out, row(y), static_cast<size_t>(width));
                continue;
            }
            // At the edges a missing line is taken from the same field.
            const uint8_t* m2 = row(y >= 2 ? y - 2 : y);
            const uint8_t* m1 = row(y - 1);
            const uint8_t* c0 = row(y);
            const uint8_t* p1 = row(y + 1 < height ? y + 1 : y - 1);
            const uint8_t* p2 = row(y + 2 < height ? y + 2 : y);
            for (int x = 0; x < width; ++x) {
                const int sum = -m2[x] + 4 * m1[x] + 2 * c0[x] + 4 * p1[x] - p2[x];
                out[x] = static_cast<uint8_t>(std::clamp((sum + 4) >> 3, 0, 255));
            }
        }
    }
    return true;
}

TVideoPathState::TVideoPathState() = default;
TVideoPathState::~TVideoPathState() = default;

void TVideoPathStateDeleter::operator()(TVideoPathState* state) const
{
    delete state;
}

TVideoPathState& TCustomFFmpeg::VideoPath()
{
    if (!videoPath_)
        videoPath_.reset(new TVideoPathState);
    return *videoPath_;
}

// ---- set-up ------------------------------------------------------------------------

void TCustomFFmpeg::SetUpVideoEncoding(TTranscodeRun&, TInputStream& ist, TOutputStream& ost)
{
    AVCodecContext* enc = ost.enc;
    const AVCodecContext* dec = ist.dec;
    TOptionState& o = options_;
    if (enc->pix_fmt == AV_PIX_FMT_NONE)
        throw FFmpegException("Video pixel format is unknown, stream cannot be encoded");
    // The MJPEG encoder takes limited-range YUV only under unofficial compliance; it
    // otherwise gets the full-range format, which the scaler converts to.
    if (enc->codec_id == AV_CODEC_ID_MJPEG && enc->strict_std_compliance > FF_COMPLIANCE_UNOFFICIAL &&
        enc->color_range != AVCOL_RANGE_JPEG) {
        static const std::pair<AVPixelFormat, AVPixelFormat> kFullRange[] = {
            {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P},
            {AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUVJ422P},
            {AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUVJ444P},
        };
        for (const auto& [limited, full] : kFullRange) {
            if (enc->pix_fmt == limited)
                enc->pix_fmt = full;
        }
    }

    ost.topBand = ost.originalTopBand = o.frameTopBand;
    ost.bottomBand = ost.originalBottomBand = o.frameBottomBand;
    ost.leftBand = ost.originalLeftBand = o.frameLeftBand;
    ost.rightBand = ost.originalRightBand = o.frameRightBand;
    ost.videoCrop = o.frameTopBand != 0 || o.frameBottomBand != 0 || o.frameLeftBand != 0 || o.frameRightBand != 0;

    const int croppedWidth = dec->width - ost.leftBand - ost.rightBand;
    const int croppedHeight = dec->height - ost.topBand - ost.bottomBand;
    ost.videoResample = croppedWidth != enc->width || croppedHeight != enc->height || dec->pix_fmt != enc->pix_fmt;
    ost.originalWidth = dec->width;
    ost.originalHeight = dec->height;
    if (ost.videoResample) {
        av_frame_free(&ost.tmpFrame);
        ost.tmpFrame = av_frame_alloc();
        if (ost.tmpFrame == nullptr || !ReadyPicture(ost.tmpFrame, enc->pix_fmt, enc->width, enc->height))
            throw FFmpegException("Cannot allocate temp picture, check pix fmt");
        int64_t flags = 0;
        if (genericScalerOptions_ && av_opt_get_int(genericScalerOptions_, "sws_flags", 0, &flags) >= 0)
            o.swsFlags = static_cast<int32_t>(flags);
        sws_freeContext(ost.sws);
        ost.sws = sws_getContext(croppedWidth, croppedHeight, dec->pix_fmt, enc->width, enc->height, enc->pix_fmt,
                                 o.swsFlags, nullptr, nullptr, nullptr);
        if (ost.sws == nullptr)
            throw FFmpegException("Cannot get resampling context");
        enc->bits_per_raw_sample = 0;
    }
    ost.resampleHeight = croppedHeight;
    ost.resampleWidth = croppedWidth;
    ost.resamplePixFmt = dec->pix_fmt;
    ist.decodingNeeded = true;
    ost.encodingNeeded = true;

    if (!o.vfilters.empty()) {
        lastError_.clear();
        if (!ConfigureFilters(ist, ost)) {
            throw FFmpegException(lastError_.empty() ? std::string("Error opening filters!")
                                                     : "Error opening filters: " + lastError_);
        }
        enc->width = av_buffersink_get_w(ost.filterSink);
        enc->height = av_buffersink_get_h(ost.filterSink);
    }
}

// Source "buffer" -> [crop] -> [scale] -> the user's filters -> "buffersink" restricted to
// the encoder's pixel format. The graph works on the input size of the moment.
bool TCustomFFmpeg::ConfigureFilters(TInputStream& ist, TOutputStream& ost)
{
    const AVCodecContext* enc = ost.enc;
    const AVCodecContext* dec = ist.dec;
    avfilter_graph_free(&ost.filterGraph);
    ost.filterSource = ost.filterSink = nullptr;
    ost.filterGraph = avfilter_graph_alloc();
    if (ost.filterGraph == nullptr)
        return false;
    AVFilterGraph* graph = ost.filterGraph;

    const int width = ost.resampleWidth + ost.leftBand + ost.rightBand;
    const int height = ost.resampleHeight + ost.topBand + ost.bottomBand;
    const AVRational aspect = dec->sample_aspect_ratio.num > 0 ? dec->sample_aspect_ratio : AVRational{0, 1};
    const std::string sourceArgs = FormatText("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", width,
                                              height, static_cast<int>(ost.resamplePixFmt), AV_TIME_BASE,
                                              aspect.num, aspect.den);
    int result = avfilter_graph_create_filter(&ost.filterSource, avfilter_get_by_name("buffer"), "src",
                                              sourceArgs.c_str(), nullptr, graph);
    if (result < 0)
        return false;
    ost.filterSink = avfilter_graph_alloc_filter(graph, avfilter_get_by_name("buffersink"), "out");
    if (ost.filterSink == nullptr)
        return false;
    const AVPixelFormat sinkFormats[] = {enc->pix_fmt, AV_PIX_FMT_NONE};
    if (av_opt_set_int_list(ost.filterSink, "pix_fmts", sinkFormats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN) < 0 ||
        avfilter_init_str(ost.filterSink, nullptr) < 0)
        return false;

    AVFilterContext* last = ost.filterSource;
    const int flags = options_.swsFlags;
    if (ost.videoCrop) {
        AVFilterContext* crop = nullptr;
        const std::string args = FormatText("w=%d:h=%d:x=%d:y=%d", ost.resampleWidth, ost.resampleHeight,
                                            ost.leftBand, ost.topBand);
        if (avfilter_graph_create_filter(&crop, avfilter_get_by_name("crop"), "crop", args.c_str(), nullptr, graph) < 0 ||
            avfilter_link(last, 0, crop, 0) < 0)
            return false;
        last = crop;
    }
    if (enc->width != ost.resampleWidth || enc->height != ost.resampleHeight) {
        AVFilterContext* scale = nullptr;
        const std::string args = FormatText("w=%d:h=%d:flags=0x%X", enc->width, enc->height, flags);
        if (avfilter_graph_create_filter(&scale, avfilter_get_by_name("scale"), "scale", args.c_str(), nullptr,
                                         graph) < 0 ||
            avfilter_link(last, 0, scale, 0) < 0)
            return false;
        last = scale;
    }
    av_freep(&graph->scale_sws_opts);
    graph->scale_sws_opts = av_strdup(FormatText("flags=0x%X", flags).c_str());

    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    if (outputs == nullptr || inputs == nullptr) {
        avfilter_inout_free(&outputs);
        avfilter_inout_free(&inputs);
        return false;
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = last;
    outputs->pad_idx = 0;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = ost.filterSink;
    inputs->pad_idx = 0;
    result = avfilter_graph_parse_ptr(graph, options_.vfilters.c_str(), &inputs, &outputs, nullptr);
    avfilter_inout_free(&outputs);
    avfilter_inout_free(&inputs);
    if (result < 0)
        return false;
    result = avfilter_graph_config(graph, nullptr);
    if (result < 0) {
        lastError_ = LibraryErrorText(result);
        return false;
    }
    return true;
}

// ---- pre-processing ----------------------------------------------------------------

void TCustomFFmpeg::RunCustomHook(AVFrame* picture, int64_t pts_us)
{
    TVideoPathState& v = VideoPath();
    bool update = true;
    bool stopHook = false;
    if (!PictureToBitmap(v.hookRgb, picture)) {
        Logger().Log(this, llError, "Cannot initialize the toRGB conversion context");
        stopHook = true;
    } else {
        try {
            customHookCallback_(customHookUser_, this, &v.hookRgb.bitmap, v.frameCounter, pts_us, update, stopHook);
        } catch (const std::exception& e) {
            Logger().Log(this, llError, std::string("Error occurs OnCustomHook: ") + e.what());
            update = false;
        } catch (...) {
            Logger().Log(this, llError, "Error occurs OnCustomHook: unknown exception");
            update = false;
        }
        if (update && !BitmapToPicture(v.hookRgb, picture)) {
            Logger().Log(this, llError, "Cannot initialize the fromRGB conversion context");
            stopHook = true;
        }
    }
    if (stopHook) {
        // No further pictures of this job are hooked.
        customHookCallback_ = nullptr;
        customHookUser_ = nullptr;
        options_.usingVhook = false;
    }
}

void TCustomFFmpeg::PreProcessVideoFrame(TTranscodeRun&, TInputStream& ist, AVFrame* picture)
{
    TVideoPathState& v = VideoPath();
    ++v.frameCounter;
    const bool hooks = customHookCallback_ != nullptr || options_.usingVhook;
    if (!options_.doDeinterlace && !hooks)
        return;

    if (!v.hookPicture)
        v.hookPicture.reset(av_frame_alloc());
    AVFrame* work = v.hookPicture.get();
    if (work == nullptr || !ReadyPicture(work, picture->format, picture->width, picture->height)) {
        Logger().Log(this, llError, "hook buf malloc error.");
        return;
    }
    bool processed = false;
    if (options_.doDeinterlace) {
        processed = DeinterlacePicture(work, picture);
        if (!processed)
            Logger().Log(this, llError, "Deinterlacing failed.");
    }
    if (!hooks && !processed)
        return;
    if (!processed)
        av_frame_copy(work, picture);

    if (customHookCallback_) {
        RunCustomHook(work, ist.pts_us);
    } else if (options_.usingVhook) {
        QvHookPicture hooked{};
        for (int i = 0; i < 4; ++i) {
            hooked.data[i] = work->data[i];
            hooked.linesize[i] = work->linesize[i];
        }
        ProcessHooks(hookChain_, &hooked, work->format, work->width, work->height, ist.pts_us);
        // A module may answer with planes of its own instead of changing ours.
        if (std::memcmp(hooked.data, work->data, sizeof hooked.data) != 0)
            av_image_copy(work->data, work->linesize, const_cast<const uint8_t**>(hooked.data), hooked.linesize,
                          static_cast<AVPixelFormat>(work->format), work->width, work->height);
    }

    // The picture now shows the processed copy; the copy is referenced, not lent, so that
    // an encoder that keeps pictures never sees the next one written over it.
    av_frame_copy_props(work, picture);
    av_frame_unref(picture);
    av_frame_ref(picture, work);
}

// ---- encoding ----------------------------------------------------------------------

bool TCustomFFmpeg::FollowInputSize(const TInputStream& ist, TOutputStream& ost, const AVFrame* picture)
{
    const int croppedWidth = picture->width - ost.leftBand - ost.rightBand;
    const int croppedHeight = picture->height - ost.topBand - ost.bottomBand;
    if (croppedWidth == ost.resampleWidth && croppedHeight == ost.resampleHeight &&
        picture->format == ost.resamplePixFmt)
        return false;
    const char* formatName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture->format));
    Logger().LogFmt(this, llQuiet, "Input Stream #%d.%d frame size changed to %dx%d, %s", ist.fileIndex,
                    ist.streamIndex, picture->width, picture->height, formatName ? formatName : "none");
    // Only a stream that scales can follow a new size.
    Assert(ost.videoResample, "FFmpeg");
    const TCropBands initial{ost.originalTopBand, ost.originalBottomBand, ost.originalLeftBand,
                             ost.originalRightBand};
    const TCropBands bands =
        ScaleCropBands(initial, ost.originalWidth, ost.originalHeight, picture->width, picture->height);
    ost.topBand = bands.top;
    ost.bottomBand = bands.bottom;
    ost.leftBand = bands.left;
    ost.rightBand = bands.right;
    ost.resampleWidth = picture->width - ost.leftBand - ost.rightBand;
    ost.resampleHeight = picture->height - ost.topBand - ost.bottomBand;
    ost.resamplePixFmt = static_cast<AVPixelFormat>(picture->format);
    return true;
}

void TCustomFFmpeg::EmitOnePicture(TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* picture,
                                   int& frameSize)
{
    AVCodecContext* enc = ost.enc;
    const TOptionState& o = options_;
    TVideoPathState& v = VideoPath();

    // Frame-rate synchronisation against the sync input's timestamps.
    const TInputStream& syncInput = run.inputs[ost.syncIndex >= 0 ? ost.syncIndex : ost.sourceIndex];
    const double syncTime =
        static_cast<double>(syncInput.pts_us - o.startTime_us) / 1000000.0 / av_q2d(enc->time_base);
    const bool variableRate = ost.muxer && ost.muxer->oformat && (ost.muxer->oformat->flags & AVFMT_VARIABLE_FPS);
    const TVideoSyncDecision decision = DecideVideoSync(o.videoSyncMethod, variableRate, syncTime, ost.syncOpts);
    ost.syncOpts = decision.syncPosition;
    int frameCount = decision.frameCount;
    if (frameCount == 0) {
        ++counters_.dropFrames;
        counters_.dupDropNoticePending = true;
        if (o.verbose > 2)
            Logger().Log(this, llVerbose, "*** drop!");
    } else if (frameCount > 1) {
        counters_.dupFrames += frameCount - 1;
        counters_.dupDropNoticePending = true;
        if (o.verbose > 2)
            Logger().LogFmt(this, llVerbose, "*** %d dup!", frameCount - 1);
    }
    frameCount = std::min(frameCount, o.maxFrames[0] - ost.frameNumber);
    if (frameCount <= 0)
        return;

    // Crop and scale (without filters; the graph has done both).
    const AVFrame* image = picture;
    if (!ost.filterGraph) {
        // A new input size: bands carried over proportionally, a new scaler.
        if (FollowInputSize(ist, ost, picture)) {
            int64_t flags = 0;
            if (genericScalerOptions_ && av_opt_get_int(genericScalerOptions_, "sws_flags", 0, &flags) >= 0)
                options_.swsFlags = static_cast<int32_t>(flags);
            sws_freeContext(ost.sws);
            ost.sws = sws_getContext(ost.resampleWidth, ost.resampleHeight, ost.resamplePixFmt, enc->width,
                                     enc->height, enc->pix_fmt, options_.swsFlags, nullptr, nullptr, nullptr);
            if (ost.sws == nullptr)
                throw FFmpegException("Cannot get resampling context");
        }
        if (ost.videoCrop) {
            if (!v.cropFrame)
                v.cropFrame = NewFrame();
            AVFrame* view = v.cropFrame.get();
            av_frame_unref(view);
            int result = av_frame_ref(view, picture);
            if (result >= 0) {
                view->crop_top = static_cast<size_t>(ost.topBand);
                view->crop_bottom = static_cast<size_t>(ost.bottomBand);
                view->crop_left = static_cast<size_t>(ost.leftBand);
                view->crop_right = static_cast<size_t>(ost.rightBand);
                result = av_frame_apply_cropping(view, AV_FRAME_CROP_UNALIGNED);
            }
            if (result < 0) {
                if (o.exitOnError)
                    throw FFmpegException("error cropping picture");
                Logger().Log(this, llError, "error cropping picture");
                return;
            }
            image = view;
        }
        if (ost.videoResample) {
            if (!ReadyPicture(ost.tmpFrame, enc->pix_fmt, enc->width, enc->height))
                throw FFmpegException("Cannot allocate temp picture, check pix fmt");
            sws_scale(ost.sws, image->data, image->linesize, 0, ost.resampleHeight, ost.tmpFrame->data,
                      ost.tmpFrame->linesize);
            image = ost.tmpFrame;
        }
    }

    if (!v.encodeFrame)
        v.encodeFrame = NewFrame();
    AVFrame* frame = v.encodeFrame.get();
    av_frame_unref(frame);
    if (av_frame_ref(frame, image) < 0)
        throw FFmpegException("Video encoding failed");
    frame->interlaced_frame = picture->interlaced_frame;
    if (enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))
        frame->top_field_first = o.topFieldFirst == -1 ? picture->top_field_first : o.topFieldFirst;
    const float quality = o.sameQuality ? ist.quality : (ost.setup ? ost.setup->quality : 0.0f);
    frame->quality = static_cast<int>(std::lround(quality));
    frame->pict_type = o.meThreshold != 0 ? picture->pict_type : AV_PICTURE_TYPE_NONE;

    for (int i = 0; i < frameCount && !StopRequested(); ++i) {
        frame->pts = ost.syncOpts;
        const int64_t written = EncodeAndWrite(run, ost, frame);
        if (written > 0)
            frameSize = static_cast<int>(written);
        if (PreviewFlags() != 0)
            PreviewFrame(frame, ost);
        ++ost.syncOpts;
        ++ost.frameNumber;
    }
    av_frame_unref(frame);
}

void TCustomFFmpeg::EmitVideoFrame(TTranscodeRun& run, TOutputStream& ost, TInputStream& ist, AVFrame* picture,
                                   int& frameSize)
{
    frameSize = 0;
    TVideoPathState& v = VideoPath();
    ClosePreviewIfOff();
    if (!ost.filterGraph) {
        EmitOnePicture(run, ost, ist, picture, frameSize);
        return;
    }

    // A new input size: the graph is made again for it (crop bands carried over).
    if (FollowInputSize(ist, ost, picture)) {
        lastError_.clear();
        if (!ConfigureFilters(ist, ost))
            throw FFmpegException(lastError_.empty() ? std::string("Error opening filters!")
                                                     : "Error opening filters: " + lastError_);
    }

    if (!v.filterInput)
        v.filterInput = NewFrame();
    if (!v.filtered)
        v.filtered = NewFrame();
    AVFrame* input = v.filterInput.get();
    av_frame_unref(input);
    if (av_frame_ref(input, picture) < 0)
        throw FFmpegException("Video encoding failed");
    input->pts = ist.pts_us;
    if (av_buffersrc_add_frame_flags(ost.filterSource, input, 0) < 0) {
        av_frame_unref(input);
        Logger().Log(this, llError, "Error while feeding the filter graph");
        return;
    }
    AVFrame* filtered = v.filtered.get();
    while (av_buffersink_get_frame(ost.filterSink, filtered) >= 0) {
        if (filtered->sample_aspect_ratio.num > 0)
            ost.enc->sample_aspect_ratio = filtered->sample_aspect_ratio;
        int size = 0;
        EmitOnePicture(run, ost, ist, filtered, size);
        if (size > 0)
            frameSize = size;
        av_frame_unref(filtered);
    }
}

void TCustomFFmpeg::FlushVideo(TTranscodeRun& run, TOutputStream& ost)
{
    if (ost.filterGraph && ost.filterSource) {
        TVideoPathState& v = VideoPath();
        if (!v.filtered)
            v.filtered = NewFrame();
        if (av_buffersrc_add_frame_flags(ost.filterSource, nullptr, 0) >= 0) {
            TInputStream& ist = run.inputs[ost.sourceIndex];
            AVFrame* filtered = v.filtered.get();
            while (av_buffersink_get_frame(ost.filterSink, filtered) >= 0) {
                int size = 0;
                EmitOnePicture(run, ost, ist, filtered, size);
                av_frame_unref(filtered);
            }
        }
        ost.filterSource = nullptr;  // the source has seen its end
    }
    EncodeAndWrite(run, ost, nullptr);
}

// ---- preview -----------------------------------------------------------------------

void TCustomFFmpeg::ClosePreviewIfOff()
{
    if (!videoPath_ || !videoPath_->previewer || (PreviewFlags() & pfWindow))
        return;
    videoPath_->previewer.reset();
}

void TCustomFFmpeg::PreviewFrame(const AVFrame* picture, TOutputStream& ost)
{
    TVideoPathState& v = VideoPath();
    uint8_t flags = PreviewFlags();
    const int64_t now_us = av_gettime_relative();
    if (v.lastPreview_us != INT64_MIN && now_us - v.lastPreview_us <= PreviewInterval_us)
        return;
    const int64_t pts_us = picture->pts == AV_NOPTS_VALUE
                               ? 0
                               : av_rescale_q(picture->pts, ost.enc->time_base, AVRational{1, AV_TIME_BASE});

    // The callbacks and the window run without the preview lock: the window paints on
    // the main thread, which may itself be waiting for that lock in SetPreviewFlags.
    uint8_t cleared = 0;
    if ((flags & pfBitmap) && previewBitmapCallback_) {
        if (PictureToBitmap(v.previewRgb, picture)) {
            previewBitmapCallback_(previewBitmapUser_, this, &v.previewRgb.bitmap, v.frameCounter, pts_us);
        } else {
            Logger().Log(this, llError, "Cannot initialize the toRGB conversion context");
            cleared = pfBitmap;
        }
        v.lastPreview_us = now_us;
    } else if (flags & pfWindow) {
        if (PictureToBitmap(v.previewRgb, picture)) {
            if (!v.previewer)
                v.previewer = std::make_unique<TPreviewer>();
            if (!v.previewer->ShowFrame(v.previewRgb.bitmap, v.frameCounter, pts_us))
                cleared = pfWindow;
        } else {
            Logger().Log(this, llError, "Cannot initialize the toRGB conversion context");
            cleared = pfWindow;
        }
        v.lastPreview_us = now_us;
    }
    if (cleared != 0) {
        {
            std::lock_guard lock(PreviewLock());
            previewFlags_ &= static_cast<uint8_t>(~cleared);
        }
        ClosePreviewIfOff();
    }
}

// ---- video statistics ----------------------------------------------------------------

void TCustomFFmpeg::WriteVideoStats(TOutputStream& ost, int frameSize)
{
    if (!options_.vstatsFileName)
        return;
    TVideoPathState& v = VideoPath();
    if (!v.vstatsFile) {
        v.vstatsFile.reset(std::fopen(options_.vstatsFileName->c_str(), "w"));
        if (!v.vstatsFile)
            throw FFmpegException("fopen fail: " + *options_.vstatsFileName);
    }
    const AVCodecContext* enc = ost.enc;
    if (enc->codec_type != AVMEDIA_TYPE_VIDEO)
        return;
    FILE* file = v.vstatsFile.get();
    const double quality = ost.codedQuality >= 0 ? ost.codedQuality / QP_TO_LAMBDA : 0.0;
    std::fprintf(file, "frame= %5d q= %2.1f ", ost.frameNumber, quality);
    if (enc->flags & AV_CODEC_FLAG_PSNR) {
        const double error = static_cast<double>(ost.psnrError[0]) /
                             (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0);
        std::fprintf(file, "PSNR= %6.2f ", -10.0 * std::log10(error));
    }
    std::fprintf(file, "f_size= %6d ", frameSize);
    const double timeBase = av_q2d(enc->time_base);
    double time_s = static_cast<double>(ost.syncOpts) * timeBase;
    if (time_s < 0.01)
        time_s = 0.01;
    const double videoBytes = static_cast<double>(counters_.videoSize_bytes);
    const double bitrate_kbps = frameSize * 8.0 / timeBase / 1000.0;
    const double average_kbps = videoBytes * 8.0 / time_s / 1000.0;
    std::fprintf(file, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ", videoBytes / 1024,
                 time_s, bitrate_kbps, average_kbps);
    std::fprintf(file, "type= %c\n", av_get_picture_type_char(static_cast<AVPictureType>(ost.lastPictureType)));
}

} // namespace qv

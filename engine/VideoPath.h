// The engine-wide state of the video path and the picture helpers it is built from:
// the hook picture, the custom hook's and the preview's BGR bitmaps with their cached
// scalers, the preview window, the video statistics file and the scratch frames.
//
// Threads: the state belongs to the job's thread, except previewer, which the job's
// thread creates and destroys, and whose window work runs on the main thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "platform/Bitmap.h"

namespace qv {

class TPreviewer;

struct TFrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;

struct TFileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// A picture handed to the application as a 24-bit BGR bitmap, and taken back.
struct TRgbPicture {
    TBitmap bitmap;
    TFramePtr rgb;                 // BGR24 picture of the bitmap's size
    SwsContext* toRgb = nullptr;   // cached, re-made when size or format change
    SwsContext* fromRgb = nullptr;
    bool direct = false;           // the last picture was BGR24 with the bitmap's row size
    TRgbPicture() = default;
    TRgbPicture(const TRgbPicture&) = delete;
    TRgbPicture& operator=(const TRgbPicture&) = delete;
    ~TRgbPicture();
};

// Fills state.bitmap from the picture (any pixel format the scaler knows). False when
// no conversion context could be made.
bool PictureToBitmap(TRgbPicture& state, const AVFrame* picture);
// Writes state.bitmap back into the picture converted by the last PictureToBitmap.
// False when no conversion context could be made.
bool BitmapToPicture(TRgbPicture& state, AVFrame* picture);

// Deinterlaces one picture on its own into dst, which has the source's format and size:
// the even lines stay, each odd line becomes (-1 4 2 4 -1)/8 of the five lines around
// it, which takes its picture from the even field. Planar 8-bit YUV and grey only; false
// for other formats.
bool DeinterlacePicture(AVFrame* dst, const AVFrame* src);

// Makes frame an allocated, writable picture of the format and size; a buffer that
// the encoder still references is replaced, not copied. False when out of memory.
bool ReadyPicture(AVFrame* frame, int format, int width, int height);

struct TVideoPathState {
    int32_t frameCounter = 0;      // decoded pictures seen by PreProcessVideoFrame
    TFramePtr hookPicture;         // deinterlaced or hooked copy of the decoded picture
    TRgbPicture hookRgb;
    TRgbPicture previewRgb;
    int64_t lastPreview_us = INT64_MIN;
    std::unique_ptr<TPreviewer> previewer;
    std::unique_ptr<FILE, TFileCloser> vstatsFile;
    TFramePtr encodeFrame;         // the picture as handed to the encoder
    TFramePtr cropFrame;           // cropped view of a picture
    TFramePtr filterInput;
    TFramePtr filtered;
    std::vector<uint8_t> subtitleBuffer;

    TVideoPathState();
    ~TVideoPathState();
};

} // namespace qv

// Stand-ins for adding streams to an output, until the file set-up unit provides them.
// They are weak: the real definitions replace them at link time, and this file goes
// away when that unit is merged.
#include "engine/FFmpeg.h"

#include "platform/Exceptions.h"

namespace qv {

__attribute__((weak)) void TCustomFFmpeg::NewVideoStream(AVFormatContext*, int)
{
    throw FFmpegException("Adding streams is not available in this build");
}

__attribute__((weak)) void TCustomFFmpeg::NewAudioStream(AVFormatContext*, int)
{
    throw FFmpegException("Adding streams is not available in this build");
}

__attribute__((weak)) void TCustomFFmpeg::NewSubtitleStream(AVFormatContext*, int)
{
    throw FFmpegException("Adding streams is not available in this build");
}

} // namespace qv

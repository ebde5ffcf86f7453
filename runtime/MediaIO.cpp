#include "runtime/MediaIO.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace qv {

int OpenInputByName(AVFormatContext** context, const std::string& name, const AVInputFormat* format,
                    AVDictionary** options)
{
    return avformat_open_input(context, name.c_str(), format, options);
}

int OpenOutputByName(AVFormatContext* context, const std::string& name, int flags, AVDictionary** options)
{
    return avio_open2(&context->pb, name.c_str(), flags, &context->interrupt_callback, options);
}

void CloseOutputIO(AVFormatContext* context)
{
    if (context && context->pb)
        avio_closep(&context->pb);
}

} // namespace qv

// Codec lookup by name.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"

namespace qv {

bool TCustomFFmpeg::FindCodecByName(const std::string& name, AVMediaType kind, bool encoder, int strictness,
                                    const AVCodec*& codec)
{
    codec = nullptr;
    if (name.empty())
        return true;
    const char* what = encoder ? "encoder" : "decoder";
    const AVCodec* found = encoder ? avcodec_find_encoder_by_name(name.c_str())
                                   : avcodec_find_decoder_by_name(name.c_str());
    if (found == nullptr) {
        lastError_ = std::string("Unknown ") + what + " '" + name + "'";
        return false;
    }
    if (found->type != kind) {
        lastError_ = std::string("Invalid ") + what + " type '" + name + "'";
        return false;
    }
    if ((found->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strictness > FF_COMPLIANCE_EXPERIMENTAL) {
        std::string text = std::string(what) + " '" + found->name +
                           "' is experimental and might produce bad results.\r\n"
                           "Add '-strict experimental' if you want to use it.";
        const AVCodec* fallback = encoder ? avcodec_find_encoder(found->id) : avcodec_find_decoder(found->id);
        if (fallback && !(fallback->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
            text += std::string("\r\nOr use the non experimental ") + what + " '" + fallback->name + "'.";
        lastError_ = text;
        return false;
    }
    codec = found;
    return true;
}

} // namespace qv

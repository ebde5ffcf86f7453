// Codec lookup by name and the texts of library error codes.
#include <cerrno>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/ErrorText.h"
#include "engine/FFmpeg.h"

namespace qv {

namespace {
struct ErrorRow {
    int code;
    const char* text;
};
// Each meaning once; the system's own texts for the two codes a user meets most
// when an output folder is wrong (no permission, a full disk) are added to the table.
const ErrorRow kErrorTexts[] = {
    {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
    {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
    {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
    {AVERROR_MUXER_NOT_FOUND, "Unknown format"},
    {AVERROR(EILSEQ), "Unknown format"},
    {AVERROR(EDOM), "Number syntax expected in filename"},
    {AVERROR_EOF, "End of file"},
    {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
    {AVERROR(EINVAL), "Invalid data found when processing input"},
    {AVERROR(ENOMEM), "Not enough memory"},
    {AVERROR(EIO), "I/O error"},
    {AVERROR(ENOENT), "No such file or directory"},
    {AVERROR(EACCES), "Permission denied"},
    {AVERROR(ENOSPC), "No space left on device"},
    {AVERROR(EISDIR), "Is a directory"},
};
} // namespace

std::string LibraryErrorText(int code)
{
    for (const ErrorRow& row : kErrorTexts) {
        if (row.code == code)
            return row.text;
    }
    return "Error number " + std::to_string(code) + " occurred";
}

std::string LibraryErrorText(const std::string& name, int code)
{
    return name + ": " + LibraryErrorText(code);
}

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

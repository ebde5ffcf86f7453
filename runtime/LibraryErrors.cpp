#include "runtime/LibraryErrors.h"

#include <cerrno>
#include <cstdio>

extern "C" {
#include <libavutil/error.h>
}

namespace qv {

namespace {

// By meaning: the libraries of this generation name some conditions with codes of their
// own (end of file, invalid data, unknown format) where older ones used errno values.
// EINVAL stays beside AVERROR_INVALIDDATA: demuxers still report unreadable data with it.
const struct {
    int code;
    const char* text;
} kErrorTexts[] = {
    {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
    {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
    {AVERROR(EILSEQ), "Unknown format"},
    {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
    {AVERROR_MUXER_NOT_FOUND, "Unknown format"},
    {AVERROR(EDOM), "Number syntax expected in filename"},
    {AVERROR_EOF, "End of file"},
    {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
    {AVERROR(EINVAL), "Invalid data found when processing input"},
    {AVERROR(ENOMEM), "Not enough memory"},
    {AVERROR(EIO), "I/O error"},
    {AVERROR(ENOENT), "No such file or directory"},
    // Beyond the classic table: the system's own words for what a user most often meets
    // when an output folder is wrong, instead of a bare error number.
    {AVERROR(EACCES), "Permission denied"},
    {AVERROR(ENOSPC), "No space left on device"},
    {AVERROR(EISDIR), "Is a directory"},
};

} // namespace

std::string LibraryErrorText(int code)
{
    for (const auto& entry : kErrorTexts) {
        if (entry.code == code)
            return entry.text;
    }
    char text[64];
    std::snprintf(text, sizeof text, "Error number %d occurred", code);
    return text;
}

std::string LibraryErrorText(const std::string& name, int code)
{
    return name + ": " + LibraryErrorText(code);
}

} // namespace qv

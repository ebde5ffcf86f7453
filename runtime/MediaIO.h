// The one way the engine, the probe and the player hand a file name to the libraries.
// Plain names and URLs of the libraries' own protocols pass unchanged; "unicode:utf8:"
// URLs are opened through an I/O context of ours, which is freed with the format context.
#pragma once

#include <string>

struct AVDictionary;
struct AVFormatContext;
struct AVInputFormat;

namespace qv {

// avformat_open_input by name. *context may be preallocated (options set on it) or null.
// Returns the library's result (0 or a negative error code).
int OpenInputByName(AVFormatContext** context, const std::string& name, const AVInputFormat* format,
                    AVDictionary** options);

// Opens context->pb for writing to name (flags are AVIO_FLAG_*). Returns 0 or a negative
// error code. Outputs opened here are closed with CloseOutputIO.
int OpenOutputByName(AVFormatContext* context, const std::string& name, int flags, AVDictionary** options);
void CloseOutputIO(AVFormatContext* context);

} // namespace qv

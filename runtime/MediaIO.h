// The one way the engine, the probe and the player hand a file name to the libraries.
// The name goes through NameToLibraryURL (runtime/UnicodeProtocol.h): plain names and
// URLs of the libraries' own protocols pass unchanged; "unicode:utf8:" URLs are opened
// through an I/O context of ours that runs the unicode protocol's operations.
//
// The libraries of this generation close a demuxer's main I/O context themselves and
// take it for one of their own, so an input opened here must be closed with CloseInput;
// an output's I/O context with CloseOutputIO. Further files that a demuxer or muxer opens
// by URL (references, segments) go through the format context's io_open/io_close2, which
// these helpers point at ours as well.
//
// Threads: any thread; one format context is used by one thread at a time.
#pragma once

#include <string>

struct AVDictionary;
struct AVFormatContext;
struct AVInputFormat;

namespace qv {

// avformat_open_input by name. *context may be preallocated (options set on it) or null.
// Returns the library's result (0 or a negative error code); on failure *context is
// freed and null, as the library does.
int OpenInputByName(AVFormatContext** context, const std::string& name, const AVInputFormat* format,
                    AVDictionary** options);
// avformat_close_input, and the release of our I/O context when the input has one.
// Accepts any input context and a null one.
void CloseInput(AVFormatContext** context);

// Opens context->pb for writing to name (flags are AVIO_FLAG_*). Returns 0 or a negative
// error code. Outputs opened here are closed with CloseOutputIO.
int OpenOutputByName(AVFormatContext* context, const std::string& name, int flags, AVDictionary** options);
void CloseOutputIO(AVFormatContext* context);

// True when the context's main I/O runs through the unicode protocol.
bool UsesUnicodeIO(const AVFormatContext* context);

} // namespace qv

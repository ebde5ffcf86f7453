#include "runtime/MediaIO.h"

#include <cerrno>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

#include "runtime/UnicodeProtocol.h"

namespace qv {

namespace {

constexpr int IO_BUFFER_BYTES = 32768;

// The libraries' own io_open/io_close2, taken once from a fresh context, so that our
// callbacks can hand every URL that is not ours back to them.
struct LibraryIO {
    decltype(AVFormatContext::io_open) open = nullptr;
    decltype(AVFormatContext::io_close2) close2 = nullptr;
};

const LibraryIO& DefaultIO()
{
    static const LibraryIO io = [] {
        LibraryIO result;
        if (AVFormatContext* context = avformat_alloc_context()) {
            result.open = context->io_open;
            result.close2 = context->io_close2;
            avformat_free_context(context);
        }
        return result;
    }();
    return io;
}

// The I/O context's callbacks run the protocol's operations on the TUnicodeFile kept
// as the context's opaque pointer.
int ReadPacket(void* opaque, uint8_t* buffer, int size)
{
    const int count = UnicodeProtocol().read(static_cast<TUnicodeFile*>(opaque), buffer, size);
    if (count == 0)
        return AVERROR_EOF;
    return count < 0 ? AVERROR(EIO) : count;
}

int WritePacket(void* opaque, uint8_t* buffer, int size)
{
    const int count = UnicodeProtocol().write(static_cast<TUnicodeFile*>(opaque), buffer, size);
    return count < 0 ? AVERROR(EIO) : count;
}

int64_t SeekPacket(void* opaque, int64_t position, int whence)
{
    whence &= ~AVSEEK_FORCE;
    const int64_t result = UnicodeProtocol().seek(static_cast<TUnicodeFile*>(opaque), position,
                                                  whence == AVSEEK_SIZE ? SEEK_SIZE_QUERY : whence);
    return result < 0 ? AVERROR(EIO) : result;
}

bool IsUnicodeIO(const AVIOContext* io)
{
    return io != nullptr && io->seek == &SeekPacket;
}

int ProtocolFlags(int avioFlags)
{
    if ((avioFlags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE)
        return paReadWrite;
    return (avioFlags & AVIO_FLAG_WRITE) ? paWriteOnly : paReadOnly;
}

// Opens url through the protocol into a new I/O context of ours.
int OpenUnicodeIO(const char* url, int avioFlags, AVIOContext** io)
{
    *io = nullptr;
    auto file = std::make_unique<TUnicodeFile>();
    if (UnicodeProtocol().open(file.get(), url, ProtocolFlags(avioFlags)) != 0)
        return AVERROR(ENOENT);
    const bool writing = (avioFlags & AVIO_FLAG_WRITE) != 0;
    auto* buffer = static_cast<unsigned char*>(av_malloc(IO_BUFFER_BYTES));
    AVIOContext* context = buffer ? avio_alloc_context(buffer, IO_BUFFER_BYTES, writing ? 1 : 0, file.get(),
                                                       (avioFlags & AVIO_FLAG_READ) ? &ReadPacket : nullptr,
                                                       writing ? &WritePacket : nullptr, &SeekPacket)
                                  : nullptr;
    if (context == nullptr) {
        av_free(buffer);
        UnicodeProtocol().close(file.get());
        return AVERROR(ENOMEM);
    }
    file.release();
    *io = context;
    return 0;
}

// Flushes, closes the file and frees the context; returns the first error seen.
int FreeUnicodeIO(AVIOContext** io)
{
    if (*io == nullptr)
        return 0;
    AVIOContext* context = *io;
    if (context->write_flag)
        avio_flush(context);
    int result = context->error;
    auto* file = static_cast<TUnicodeFile*>(context->opaque);
    if (UnicodeProtocol().close(file) != 0 && result == 0)
        result = AVERROR(EIO);
    delete file;
    av_freep(&context->buffer);
    avio_context_free(io);
    return result;
}

int UnicodeIoOpen(AVFormatContext* context, AVIOContext** io, const char* url, int flags, AVDictionary** options)
{
    // A demuxer context's own main I/O (a nested input that copied our callbacks) is later
    // closed by avformat_close_input as one of the library's: never hand it ours.
    const bool demuxerMainIO = io == &context->pb && context->oformat == nullptr;
    if (url != nullptr && !demuxerMainIO && IsUnicodeURL(url) && UnicodeProtocolRegistered())
        return OpenUnicodeIO(url, flags, io);
    return DefaultIO().open(context, io, url, flags, options);
}

int UnicodeIoClose2(AVFormatContext* context, AVIOContext* io)
{
    if (IsUnicodeIO(io))
        return FreeUnicodeIO(&io);
    return DefaultIO().close2 ? DefaultIO().close2(context, io) : avio_close(io);
}

// Points the context's io_open/io_close2 at ours, unless the caller installed its own.
void InstallUnicodeIO(AVFormatContext* context)
{
    const LibraryIO& library = DefaultIO();
    if (library.open == nullptr)
        return;
    if (context->io_open == library.open)
        context->io_open = &UnicodeIoOpen;
    if (context->io_close2 == library.close2)
        context->io_close2 = &UnicodeIoClose2;
}

} // namespace

int OpenInputByName(AVFormatContext** context, const std::string& name, const AVInputFormat* format,
                    AVDictionary** options)
{
    const std::string url = NameToLibraryURL(name);
    AVFormatContext* input = *context ? *context : avformat_alloc_context();
    *context = nullptr;
    if (input == nullptr)
        return AVERROR(ENOMEM);
    InstallUnicodeIO(input);

    AVIOContext* io = nullptr;
    if (input->pb == nullptr && IsUnicodeURL(url) && UnicodeProtocolRegistered()) {
        // Given a ready I/O context, the library leaves it to us: on failure below and in
        // CloseInput.
        if (const int result = OpenUnicodeIO(url.c_str(), AVIO_FLAG_READ, &io); result < 0) {
            avformat_free_context(input);
            return result;
        }
        input->pb = io;
    }
    const int result = avformat_open_input(&input, url.c_str(), format, options);
    if (result < 0) {
        FreeUnicodeIO(&io);
        return result;
    }
    *context = input;
    return result;
}

void CloseInput(AVFormatContext** context)
{
    if (context == nullptr || *context == nullptr)
        return;
    AVIOContext* io = IsUnicodeIO((*context)->pb) ? (*context)->pb : nullptr;
    avformat_close_input(context);
    FreeUnicodeIO(&io);
}

int OpenOutputByName(AVFormatContext* context, const std::string& name, int flags, AVDictionary** options)
{
    const std::string url = NameToLibraryURL(name);
    InstallUnicodeIO(context);
    if (IsUnicodeURL(url) && UnicodeProtocolRegistered())
        return OpenUnicodeIO(url.c_str(), flags, &context->pb);
    return avio_open2(&context->pb, url.c_str(), flags, &context->interrupt_callback, options);
}

void CloseOutputIO(AVFormatContext* context)
{
    if (context == nullptr || context->pb == nullptr)
        return;
    if (IsUnicodeIO(context->pb))
        FreeUnicodeIO(&context->pb);
    else
        avio_closep(&context->pb);
}

bool UsesUnicodeIO(const AVFormatContext* context)
{
    return context != nullptr && IsUnicodeIO(context->pb);
}

} // namespace qv

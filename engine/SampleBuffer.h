// A byte buffer for the audio path that only grows, allocated with the libraries'
// allocator so that its start is aligned for their vector code.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/mem.h>
}

namespace qv {

class TSampleBuffer {
public:
    TSampleBuffer() = default;
    ~TSampleBuffer() { av_free(data_); }
    TSampleBuffer(const TSampleBuffer&) = delete;
    TSampleBuffer& operator=(const TSampleBuffer&) = delete;

    // Makes room for size_bytes; the old contents are not kept. False when out of memory.
    bool Grow(size_t size_bytes)
    {
        if (size_bytes <= size_bytes_ && data_ != nullptr)
            return true;
        av_free(data_);
        data_ = static_cast<uint8_t*>(av_malloc(size_bytes));
        size_bytes_ = data_ ? size_bytes : 0;
        return data_ != nullptr;
    }
    uint8_t* Data() const { return data_; }
    size_t Size_bytes() const { return size_bytes_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_bytes_ = 0;
};

} // namespace qv

// A 24-bit picture in blue-green-red byte order with rows padded to four bytes, the
// layout the engine's frame hooks and preview hand to the application. Lock/Unlock
// guard the drawing surface while someone else draws into it.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace qv {

class TBitmap {
public:
    TBitmap() = default;
    TBitmap(int width, int height) { SetSize(width, height); }

    void SetSize(int width, int height);
    int Width() const { return width_; }
    int Height() const { return height_; }
    int Stride() const { return stride_; }   // bytes per row
    uint8_t* ScanLine(int row) { return pixels_.data() + static_cast<size_t>(row) * stride_; }
    const uint8_t* ScanLine(int row) const { return pixels_.data() + static_cast<size_t>(row) * stride_; }
    uint8_t* Bits() { return pixels_.data(); }
    const uint8_t* Bits() const { return pixels_.data(); }
    bool Empty() const { return width_ <= 0 || height_ <= 0; }

    void Lock() { surface_.lock(); }
    void Unlock() { surface_.unlock(); }

private:
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    std::vector<uint8_t> pixels_;
    std::recursive_mutex surface_;
};

} // namespace qv

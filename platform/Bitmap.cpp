#include "platform/Bitmap.h"

namespace qv {

void TBitmap::SetSize(int width, int height)
{
    if (width < 0 || height < 0)
        width = height = 0;
    width_ = width;
    height_ = height;
    stride_ = (width * 3 + 3) & ~3;
    pixels_.assign(static_cast<size_t>(stride_) * height, 0);
}

} // namespace qv

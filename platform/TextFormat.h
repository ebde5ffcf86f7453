// printf-style formatting into a std::string, for messages built from numbers.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace qv {

__attribute__((format(printf, 1, 2))) inline std::string FormatText(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string text;
    if (length < 0) {
        text = format;
    } else if (static_cast<size_t>(length) < sizeof small) {
        text.assign(small, static_cast<size_t>(length));
    } else {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return text;
}

} // namespace qv

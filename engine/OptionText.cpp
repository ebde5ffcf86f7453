#include "engine/OptionText.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <limits>

#include "platform/Exceptions.h"

namespace qv {

namespace {

bool IsBlank(unsigned char c)
{
    return c <= ' ';
}

template <typename T>
T TextToInteger(const std::string& text)
{
    const std::string trimmed = Trim(text);
    std::string_view digits = trimmed;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    int base = 10;
    if (!digits.empty() && digits.front() == '$') {
        base = 16;
        digits.remove_prefix(1);
    } else if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    // Read as unsigned magnitude so that the most negative value is accepted.
    uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    const uint64_t limit = negative ? uint64_t(std::numeric_limits<T>::max()) + 1 : uint64_t(std::numeric_limits<T>::max());
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || magnitude > limit)
        throw FFmpegException("'" + text + "' is not a valid integer value");
    if (negative)
        return magnitude == limit ? std::numeric_limits<T>::min() : -static_cast<T>(magnitude);
    return static_cast<T>(magnitude);
}

} // namespace

std::string Trim(std::string_view text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlank(text[first]))
        ++first;
    while (last > first && IsBlank(text[last - 1]))
        --last;
    return std::string(text.substr(first, last - first));
}

std::string LowerCase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && LowerCase(a) == LowerCase(b);
}

int32_t TextToInt32(const std::string& text)
{
    return TextToInteger<int32_t>(text);
}

int64_t TextToInt64(const std::string& text)
{
    return TextToInteger<int64_t>(text);
}

double TextToFloat(const std::string& text)
{
    const std::string trimmed = Trim(text);
    std::string_view number = trimmed;
    if (!number.empty() && number.front() == '+')
        number.remove_prefix(1);
    double value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || error != std::errc() || end != number.data() + number.size())
        throw FFmpegException("'" + text + "' is not a valid floating point value");
    return value;
}

long ReadCInteger(const std::string& text, size_t& pos)
{
    if (pos >= text.size())
        return 0;
    const char* start = text.c_str() + pos;
    char* end = nullptr;
    const long value = std::strtol(start, &end, 0);
    pos += static_cast<size_t>(end - start);
    return value;
}

} // namespace qv

// Conversions of option value texts, shared by the option keys, targets and presets.
// Bad numbers raise FFmpegException with the conversion messages users know from the
// platform's own number parsing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// Without leading and trailing blanks and control characters.
std::string Trim(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameText(std::string_view a, std::string_view b);

// Decimal (or "$"/"0x" hexadecimal) text, optionally signed and surrounded by blanks.
// Failure: "'<text>' is not a valid integer value".
int32_t TextToInt32(const std::string& text);
int64_t TextToInt64(const std::string& text);
// Failure: "'<text>' is not a valid floating point value".
double TextToFloat(const std::string& text);

// strtol(text, &end, 0) from position pos: decimal, 0x-hex or 0-octal; advances pos past
// the digits read. Text that does not begin with a number gives 0 and leaves pos.
long ReadCInteger(const std::string& text, size_t& pos);

} // namespace qv

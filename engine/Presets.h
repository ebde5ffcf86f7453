// The built-in encoder presets: named option texts for the H.264 encoder, one
// "key=value" per line, applied in text order by ApplyPreset. The table is constant.
#pragma once

#include <span>
#include <string_view>

namespace qv {

struct TOptionsPreset {
    const char* name;
    const char* text;
};

// Every built-in preset in lookup order.
std::span<const TOptionsPreset> BuiltInPresets();
// The first preset whose name matches, ignoring case; nullptr when there is none.
const TOptionsPreset* FindBuiltInPreset(std::string_view name);

} // namespace qv

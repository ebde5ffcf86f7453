// Generic library options: every option key the engine does not handle itself is
// looked up in the libraries' option tables. Five codec option sets (one per media
// kind), the format set and the scaler set keep the values until the file set-up and
// the transcode copy them into the real contexts with ApplyGenericOptions.
//
// The installed generation keeps many encoder settings in the encoders' private tables
// (libx264's among them) and muxer settings in the muxers' tables; such options are
// kept per kind in privateOptions_ and handed to avcodec_open2 by EncoderPrivateOptions
// (muxer ones are applied with the output format options). The legacy spellings used
// by the built-in presets and target profiles are translated by the tables below.
#include "engine/FFmpeg.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "engine/OptionText.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {

constexpr int MUXER_SLOT = KIND_COUNT;

// The option flags that select the codec options of each kind: video, audio, data,
// subtitle, attachment (data and attachment take every codec option).
constexpr int kKindOptionFlags[KIND_COUNT] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                              AV_OPT_FLAG_SUBTITLE_PARAM, 0};

// ---- legacy spellings --------------------------------------------------------------

// A bit of a legacy flag option whose effect moved to a private option of an encoder.
// keepGeneric: the bit still exists in the generic table and is set there as well
// ("loop" still drives the H.263 family; libx264 now takes it through "x264-params").
struct TLegacyBit {
    const char* option;
    const char* bit;
    const char* successor;
    const char* valueWhenSet;
    const char* valueWhenCleared;
    bool keepGeneric;
};
constexpr TLegacyBit kLegacyBits[] = {
    {"flags", "loop", "x264-params", "no-deblock=0", "no-deblock=1", true},
    {"flags", "scan_offset", "scan_offset", "1", "0", false},
    {"flags2", "wpred", "weightb", "1", "0", false},
    {"flags2", "dct8x8", "8x8dct", "1", "0", false},
    {"flags2", "mixed_refs", "mixed-refs", "1", "0", false},
    {"flags2", "fastpskip", "fast-pskip", "1", "0", false},
    {"flags2", "mbtree", "mbtree", "1", "0", false},
    {"flags2", "bpyramid", "b-pyramid", "normal", "none", false},
};

// The legacy "partitions" flags became libx264's "partitions" list.
constexpr const char* PARTITIONS = "partitions";
constexpr struct {
    const char* bit;
    const char* name;
} kLegacyPartitions[] = {
    {"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"}, {"partp8x8", "p8x8"}, {"partb8x8", "b8x8"},
};

// Renamed private options: each encoder is asked for the legacy name, then its successor.
constexpr struct {
    const char* legacy;
    const char* successor;
} kRenamedOptions[] = {
    {"directpred", "direct-pred"}, // libx264
    {"cqp", "qp"},                 // libx264
    {"me_method", "motion_est"},   // the MPEG video encoders (libx264 keeps "me_method")
};

struct TFlagToken {
    char sign; // '+', '-' or 0 for a leading token without sign
    std::string name;
};

// "+a-b+c" -> (+a) (-b) (+c), the way the libraries read flag values.
std::vector<TFlagToken> SplitFlagTokens(const std::string& value)
{
    std::vector<TFlagToken> tokens;
    size_t pos = 0;
    while (pos < value.size()) {
        TFlagToken token{0, {}};
        if (value[pos] == '+' || value[pos] == '-')
            token.sign = value[pos++];
        const size_t end = value.find_first_of("+-", pos);
        token.name = value.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        tokens.push_back(token);
        pos = end == std::string::npos ? value.size() : end;
    }
    return tokens;
}

const TLegacyBit* FindLegacyBit(const std::string& option, const std::string& bit)
{
    for (const TLegacyBit& row : kLegacyBits) {
        if (option == row.option && bit == row.bit)
            return &row;
    }
    return nullptr;
}

const char* FindPartition(const std::string& bit)
{
    for (const auto& row : kLegacyPartitions) {
        if (bit == row.bit)
            return row.name;
    }
    return nullptr;
}

// ---- private tables ----------------------------------------------------------------

struct TCodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
struct TFormatContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
using TFormatContextPtr = std::unique_ptr<AVFormatContext, TFormatContextDeleter>;

const AVOption* FindInClass(const AVClass* const* avClass, const std::string& key)
{
    if (avClass == nullptr || *avClass == nullptr)
        return nullptr;
    return av_opt_find(const_cast<const AVClass**>(avClass), key.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
}

int KindOfEncoder(const AVCodec* codec)
{
    switch (codec->type) {
    case AVMEDIA_TYPE_VIDEO: return 0;
    case AVMEDIA_TYPE_AUDIO: return 1;
    case AVMEDIA_TYPE_SUBTITLE: return 3;
    default: return -1;
    }
}

// Options with named constants: whether each word of the value is a number or one of
// the option's constants. Asking the library about other words would log an error for
// every encoder that shares the option name with different constants.
bool PlausibleValue(const AVClass* const* avClass, const AVOption* option, const std::string& value)
{
    if (option->unit == nullptr)
        return true;
    const bool flags = option->type == AV_OPT_TYPE_FLAGS;
    size_t pos = 0;
    while (pos < value.size()) {
        if (flags && (value[pos] == '+' || value[pos] == '-'))
            ++pos;
        const size_t end = flags ? std::min(value.find_first_of("+-", pos), value.size()) : value.size();
        const std::string word = value.substr(pos, end - pos);
        pos = end;
        if (word.empty())
            continue;
        char* numberEnd = nullptr;
        std::strtod(word.c_str(), &numberEnd);
        if (*numberEnd == '\0')
            continue;
        if (word == "default" || word == "max" || word == "min" || word == "none" || word == "all")
            continue;
        if (!av_opt_find(const_cast<const AVClass**>(avClass), word.c_str(), option->unit, 0, AV_OPT_SEARCH_FAKE_OBJ))
            return false;
    }
    return true;
}

// Whether the encoder's private table takes the value (checked on a fresh context).
bool EncoderAccepts(const AVCodec* codec, const std::string& key, const std::string& value)
{
    TCodecContextPtr context(avcodec_alloc_context3(codec));
    return context && context->priv_data &&
           av_opt_set(context->priv_data, key.c_str(), value.c_str(), 0) >= 0;
}

bool MuxerAccepts(const AVOutputFormat* format, const std::string& key, const std::string& value)
{
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, format, nullptr, nullptr) < 0)
        return false;
    TFormatContextPtr context(raw);
    return context->priv_data && av_opt_set(context->priv_data, key.c_str(), value.c_str(), 0) >= 0;
}

// Stores key = value in a private option list; values of dictionary options add their
// entries to the ones set before ("x264-params").
void StorePrivateOption(std::vector<std::pair<std::string, std::string>>& list, const AVOption* option,
                        const std::string& key, const std::string& value)
{
    auto found = std::find_if(list.begin(), list.end(), [&](const auto& entry) { return entry.first == key; });
    if (found == list.end()) {
        list.emplace_back(key, value);
        return;
    }
    if (option->type != AV_OPT_TYPE_DICT) {
        found->second = value;
        return;
    }
    AVDictionary* merged = nullptr;
    av_dict_parse_string(&merged, found->second.c_str(), "=", ":", 0);
    av_dict_parse_string(&merged, value.c_str(), "=", ":", 0);
    char* text = nullptr;
    if (av_dict_get_string(merged, &text, '=', ':') >= 0 && text)
        found->second = text;
    av_free(text);
    av_dict_free(&merged);
}

const std::string* StoredPrivateValue(const std::vector<std::pair<std::string, std::string>>& list,
                                      const std::string& key)
{
    for (const auto& entry : list) {
        if (entry.first == key)
            return &entry.second;
    }
    return nullptr;
}

} // namespace

// Rate-control keys that the libraries now mark for audio as well, but that jobs write
// for the video encoder (audio has "ab"): "-b 500000" must not turn into a 500 kbit/s MP3.
static bool IsVideoOnlyKey(const std::string& key)
{
    static const char* const kKeys[] = {"b", "maxrate", "minrate", "bufsize"};
    return std::any_of(std::begin(kKeys), std::end(kKeys), [&key](const char* name) { return key == name; });
}

// ---- generic option sets -----------------------------------------------------------

int TCustomFFmpeg::SetTableOption(const std::string& key, const std::string& value)
{
    AVCodecContext* const videoSet = genericCodecOptions_[0];
    if (videoSet == nullptr)
        return 0;
    const AVOption* found = nullptr;
    int result = 0;
    const bool videoOnly = IsVideoOnlyKey(key);
    for (int kind = 0; kind < KIND_COUNT && result >= 0; ++kind) {
        if (videoOnly && kind != 0)
            continue;
        if (const AVOption* option = av_opt_find(videoSet, key.c_str(), nullptr, kKindOptionFlags[kind], 0)) {
            found = option;
            result = av_opt_set(genericCodecOptions_[kind], key.c_str(), value.c_str(), 0);
        }
    }
    if (found == nullptr && genericFormatOptions_) {
        if ((found = av_opt_find(genericFormatOptions_, key.c_str(), nullptr, 0, 0)))
            result = av_opt_set(genericFormatOptions_, key.c_str(), value.c_str(), 0);
    }
    if (found == nullptr && genericScalerOptions_) {
        if ((found = av_opt_find(genericScalerOptions_, key.c_str(), nullptr, 0, 0)))
            result = av_opt_set(genericScalerOptions_, key.c_str(), value.c_str(), 0);
    }
    // "vb", "abt", "sfoo": the option of that kind without its first letter.
    if (found == nullptr && key.size() > 1 && (key[0] == 'a' || key[0] == 'v' || key[0] == 's')) {
        AVCodecContext* set = genericCodecOptions_[key[0] == 'a' ? 1 : key[0] == 'v' ? 0 : 3];
        const std::string shortKey = key.substr(1);
        if (set && (found = av_opt_find(set, shortKey.c_str(), nullptr, 0, 0)))
            result = av_opt_set(set, shortKey.c_str(), value.c_str(), 0);
    }
    if (found == nullptr)
        return 0;
    if (result < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(), key.c_str());
        return -1;
    }
    genericOptionNames_.emplace_back(found->name);
    if (videoSet->debug != 0 || (genericFormatOptions_ && genericFormatOptions_->debug != 0))
        Logger().SetLogLevel(llDebug);
    return 1;
}

int TCustomFFmpeg::SetPrivateOption(const std::string& key, const std::string& value)
{
    // A legacy name is tried with its successors, encoder by encoder.
    std::vector<std::string> names{key};
    for (const auto& renamed : kRenamedOptions) {
        if (key == renamed.legacy)
            names.emplace_back(renamed.successor);
    }
    // The encoders named for the job come first, so that a value is checked against the
    // encoder that will use it; then every encoder, then the muxers.
    std::vector<const AVCodec*> encoders;
    for (const std::optional<std::string>* name :
         {&options_.videoCodecName, &options_.audioCodecName, &options_.subtitleCodecName}) {
        if (name->has_value()) {
            if (const AVCodec* codec = avcodec_find_encoder_by_name((*name)->c_str()))
                encoders.push_back(codec);
        }
    }
    void* iterator = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&iterator)) {
        if (av_codec_is_encoder(codec))
            encoders.push_back(codec);
    }
    bool known = false;
    for (const AVCodec* codec : encoders) {
        const int kind = KindOfEncoder(codec);
        for (const std::string& name : names) {
            const AVOption* option = kind >= 0 ? FindInClass(&codec->priv_class, name) : nullptr;
            if (option == nullptr)
                continue;
            known = true;
            if (PlausibleValue(&codec->priv_class, option, value) && EncoderAccepts(codec, name, value)) {
                StorePrivateOption(privateOptions_[kind], option, name, value);
                return 1;
            }
        }
    }
    iterator = nullptr;
    while (const AVOutputFormat* format = av_muxer_iterate(&iterator)) {
        const AVOption* option = FindInClass(&format->priv_class, key);
        if (option == nullptr)
            continue;
        known = true;
        if (PlausibleValue(&format->priv_class, option, value) && MuxerAccepts(format, key, value)) {
            StorePrivateOption(privateOptions_[MUXER_SLOT], option, key, value);
            return 1;
        }
    }
    if (!known)
        return 0;
    av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(), key.c_str());
    return -1;
}

int TCustomFFmpeg::SetLegacyFlagsOption(const std::string& key, const std::string& value)
{
    const bool partitions = key == PARTITIONS;
    const std::vector<TFlagToken> tokens = SplitFlagTokens(value);
    const bool anyLegacy = std::any_of(tokens.begin(), tokens.end(), [&](const TFlagToken& token) {
        return partitions ? FindPartition(token.name) != nullptr : FindLegacyBit(key, token.name) != nullptr;
    });
    if (!anyLegacy)
        return -1;

    bool accepted = true;
    std::string generic; // the tokens the generic table still knows
    // Partition bits change the current list, as they changed the old bit set.
    std::vector<std::string> partitionList;
    if (const std::string* stored = StoredPrivateValue(privateOptions_[0], PARTITIONS)) {
        for (const auto& row : kLegacyPartitions) {
            if (stored->find(row.name) != std::string::npos || stored->find("all") != std::string::npos)
                partitionList.emplace_back(row.name);
        }
    }
    for (const TFlagToken& token : tokens) {
        const bool set = token.sign != '-';
        if (partitions) {
            const char* name = FindPartition(token.name);
            if (name == nullptr) {
                generic += std::string(token.sign ? 1 : 0, token.sign) + token.name;
                continue;
            }
            if (token.sign == 0)
                partitionList.clear();
            auto at = std::find(partitionList.begin(), partitionList.end(), name);
            if (set && at == partitionList.end())
                partitionList.emplace_back(name);
            else if (!set && at != partitionList.end())
                partitionList.erase(at);
            continue;
        }
        const TLegacyBit* row = FindLegacyBit(key, token.name);
        if (row == nullptr || row->keepGeneric)
            generic += std::string(token.sign ? 1 : 0, token.sign) + token.name;
        if (row != nullptr) {
            const bool taken = SetPrivateOption(row->successor, set ? row->valueWhenSet : row->valueWhenCleared) > 0;
            // A bit the generic table still has stands on its own without its successor.
            accepted &= taken || row->keepGeneric;
        }
    }
    if (partitions) {
        std::string list;
        for (const auto& row : kLegacyPartitions) { // in the encoder's usual order
            if (std::find(partitionList.begin(), partitionList.end(), row.name) != partitionList.end())
                list += (list.empty() ? "" : ",") + std::string(row.name);
        }
        accepted &= SetPrivateOption(PARTITIONS, list.empty() ? "none" : list) > 0;
    }
    if (!generic.empty())
        accepted &= SetTableOption(key, generic) > 0;
    return accepted ? 1 : 0;
}

bool TCustomFFmpeg::SetGenericOption(const std::string& key, const std::string& value)
{
    const std::string name = Trim(key);
    const std::string text = Trim(value);
    if (name.empty() || text.empty())
        return false;
    if (const int legacy = SetLegacyFlagsOption(name, text); legacy >= 0)
        return legacy > 0;

    int result = SetTableOption(name, text);
    if (result == 0)
        result = SetPrivateOption(name, text);
    return result > 0;
}

// ---- copying into real contexts ----------------------------------------------------

void TCustomFFmpeg::ApplyGenericOptions(void* target, const void* optionSet, int mask)
{
    if (target == nullptr || optionSet == nullptr)
        return;
    void* set = const_cast<void*>(optionSet);
    std::vector<std::string> applied;
    for (const std::string& name : genericOptionNames_) {
        if (std::find(applied.begin(), applied.end(), name) != applied.end())
            continue;
        const AVOption* option = av_opt_find(set, name.c_str(), nullptr, 0, 0);
        if (option == nullptr || (option->flags & mask) != mask)
            continue;
        uint8_t* text = nullptr;
        if (av_opt_get(set, name.c_str(), 0, &text) < 0)
            continue;
        av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(text), 0);
        av_free(text);
        applied.push_back(name);
    }
    // A muxer's own options go into the output context's private part.
    if (optionSet == genericFormatOptions_ && (mask & AV_OPT_FLAG_ENCODING_PARAM)) {
        void* muxerOptions = static_cast<AVFormatContext*>(target)->priv_data;
        if (muxerOptions == nullptr)
            return;
        for (const auto& [key, value] : privateOptions_[MUXER_SLOT]) {
            if (av_opt_find(muxerOptions, key.c_str(), nullptr, 0, 0))
                av_opt_set(muxerOptions, key.c_str(), value.c_str(), 0);
        }
    }
}

AVDictionary* TCustomFFmpeg::EncoderPrivateOptions(int kind, const AVCodec* encoder) const
{
    if (kind < 0 || kind >= KIND_COUNT || encoder == nullptr)
        return nullptr;
    AVDictionary* options = nullptr;
    for (const auto& [key, value] : privateOptions_[kind]) {
        if (FindInClass(&encoder->priv_class, key))
            av_dict_set(&options, key.c_str(), value.c_str(), 0);
    }
    return options;
}

} // namespace qv

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "OptionTestSupport.h"
#include "engine/OptionText.h"
#include "engine/Presets.h"
#include "platform/Exceptions.h"

using namespace qv;
using namespace qv::test;

namespace {

std::vector<std::pair<std::string, std::string>> Lines(const char* text)
{
    std::vector<std::pair<std::string, std::string>> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        const size_t equals = line.find('=');
        lines.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return lines;
}

std::string ErrorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const FFmpegException& e) {
        return e.what();
    }
    return "";
}

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

std::string OptionText(void* object, const std::string& name)
{
    uint8_t* text = nullptr;
    if (av_opt_get(object, name.c_str(), 0, &text) < 0)
        return "<unreadable>";
    std::string result = reinterpret_cast<char*>(text);
    av_free(text);
    return result;
}

// What the context shows after the option has been set to value on a fresh one.
std::string Normalised(void* fresh, const std::string& name, const std::string& value)
{
    EXPECT_GE(av_opt_set(fresh, name.c_str(), value.c_str(), 0), 0) << name << "=" << value;
    return OptionText(fresh, name);
}

// Opens libx264 the way the transcode does (generic options, then the private ones)
// and returns the opened context; leftover receives the options the encoder refused.
CodecContextPtr OpenX264(OptionEngine& engine, int& leftover)
{
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    CodecContextPtr context(avcodec_alloc_context3(x264));
    context->width = 64;
    context->height = 64;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = {1, 25};
    context->thread_count = 1;
    engine.ApplyGenericOptions(context.get(), engine.genericCodecOptions_[0], gmEncodeVideo);
    AVDictionary* options = engine.EncoderPrivateOptions(0, x264);
    EXPECT_EQ(avcodec_open2(context.get(), x264, &options), 0);
    leftover = av_dict_count(options);
    av_dict_free(&options);
    return context;
}

// The settings x264 writes into its stream ("cabac=1 ref=3 deblock=1:0:0 ...").
std::string X264Settings(AVCodecContext* context)
{
    AVFrame* frame = av_frame_alloc();
    frame->format = context->pix_fmt;
    frame->width = context->width;
    frame->height = context->height;
    av_frame_get_buffer(frame, 0);
    av_frame_make_writable(frame);
    for (int plane = 0; plane < 3; ++plane)
        memset(frame->data[plane], 128, frame->linesize[plane] * (plane ? context->height / 2 : context->height));
    frame->pts = 0;
    avcodec_send_frame(context, frame);
    avcodec_send_frame(context, nullptr);
    av_frame_free(&frame);
    std::string settings;
    AVPacket* packet = av_packet_alloc();
    while (avcodec_receive_packet(context, packet) == 0) {
        const std::string data(reinterpret_cast<char*>(packet->data), packet->size);
        if (const size_t at = data.find("options: "); at != std::string::npos && settings.empty())
            settings = " " + std::string(data.c_str() + at + 9) + " ";
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return settings;
}

// Number of entries of a dictionary the caller owns.
int CountAndFree(AVDictionary* dictionary)
{
    const int count = av_dict_count(dictionary);
    av_dict_free(&dictionary);
    return count;
}

} // namespace

TEST(Presets, TableHoldsThe36EntriesInLookupOrder)
{
    const auto presets = BuiltInPresets();
    ASSERT_EQ(presets.size(), 36u);
    EXPECT_STREQ(presets[0].name, "libx264-baseline");
    EXPECT_STREQ(presets[1].name, "libx264-default");
    EXPECT_STREQ(presets[16].name, "libx264-main");
    EXPECT_STREQ(presets[35].name, "libx264-veryslow_firstpass");
    std::set<std::string> names;
    for (const TOptionsPreset& preset : presets)
        names.insert(LowerCase(preset.name));
    EXPECT_EQ(names.size(), 36u) << "names are unique";

    // Rows sharing a text.
    const std::pair<int, int> shared[] = {{20, 4}, {23, 22}, {27, 25}, {32, 31}};
    for (auto [row, source] : shared)
        EXPECT_STREQ(presets[row - 1].text, presets[source - 1].text) << presets[row - 1].name;

    // The four short entries.
    EXPECT_STREQ(FindBuiltInPreset("libx264-baseline")->text, "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0");
    EXPECT_STREQ(FindBuiltInPreset("libx264-ipod320")->text,
                 "coder=0\nbf=0\nflags2=-wpred-dct8x8\nlevel=13\nmaxrate=768000\nbufsize=3000000\nwpredp=0");
    EXPECT_STREQ(FindBuiltInPreset("libx264-ipod640")->text,
                 "coder=0\nbf=0\nrefs=1\nflags2=-wpred-dct8x8\nlevel=30\nmaxrate=10000000\nbufsize=10000000\nwpredp=0");
    EXPECT_STREQ(FindBuiltInPreset("libx264-main")->text, "flags2=-dct8x8");

    // Every full text: its keys in the fixed order, with the values all of them share.
    const std::vector<std::string> order = {"coder", "flags", "cmp", "partitions", "me_method", "subq", "me_range",
                                            "g", "keyint_min", "sc_threshold", "i_qfactor", "b_strategy", "qcomp",
                                            "qmin", "qmax", "qdiff", "bf", "refs", "directpred", "trellis",
                                            "flags2", "cqp", "wpredp"};
    const std::map<std::string, std::string> common = {{"cmp", "+chroma"}, {"g", "250"},     {"keyint_min", "25"},
                                                       {"i_qfactor", "0.71"}, {"qcomp", "0.6"}, {"qmin", "10"},
                                                       {"qmax", "51"},      {"qdiff", "4"}};
    for (int row : {2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 15, 16, 18, 19, 21, 22, 24, 25, 26, 28, 29, 30, 31, 33, 34,
                    35, 36}) {
        SCOPED_TRACE(presets[row - 1].name);
        size_t next = 0;
        std::map<std::string, std::string> values;
        for (const auto& [key, value] : Lines(presets[row - 1].text)) {
            const auto at = std::find(order.begin() + next, order.end(), key);
            ASSERT_NE(at, order.end()) << key << " out of order";
            next = at - order.begin() + 1;
            values[key] = value;
        }
        for (const auto& [key, value] : common)
            EXPECT_EQ(values[key], value) << key;
        const bool ultrafast = row == 31;
        EXPECT_EQ(values["sc_threshold"], ultrafast ? "0" : "40");
        EXPECT_EQ(values["b_strategy"] == "0", ultrafast);
    }
    EXPECT_STREQ(presets[1].text,
                 "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\nme_method=hex\n"
                 "subq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\n"
                 "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=3\ndirectpred=1\ntrellis=1\n"
                 "flags2=+mixed_refs+wpred+dct8x8+fastpskip\nwpredp=2");
    EXPECT_STREQ(FindBuiltInPreset("libx264-lossless_ultrafast")->text,
                 "coder=0\nflags=+loop\ncmp=+chroma\npartitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
                 "me_method=dia\nsubq=0\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
                 "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\ndirectpred=1\nflags2=+fastpskip\ncqp=0");
}

TEST(Presets, LookupIgnoresCase)
{
    EXPECT_EQ(FindBuiltInPreset("LIBX264-DEFAULT"), FindBuiltInPreset("libx264-default"));
    EXPECT_STREQ(FindBuiltInPreset("LibX264-Fast")->name, "libx264-fast");
    EXPECT_EQ(FindBuiltInPreset("default"), nullptr);
    EXPECT_EQ(FindBuiltInPreset(""), nullptr);
}

TEST_F(OptionTest, VideoPresetRetriesWithTheCodecName)
{
    OptionEngine engine;
    EXPECT_EQ(ErrorOf([&] { engine.SetOption("vpre", "fast"); }), "Preset \"fast\" not found")
        << "without a codec name the name is a file";
    engine.SetOption("vcodec", "libx264");
    ASSERT_NO_THROW(engine.SetOption("vpre", "fast"));
    EXPECT_EQ(engine.CodecOptionInt(0, "refs"), 2) << "libx264-fast";
    EXPECT_EQ(engine.CodecOptionInt(0, "subq"), 6);

    OptionEngine audio;
    audio.SetOption("acodec", "libx264"); // the audio codec name serves "apre"
    EXPECT_NO_THROW(audio.ApplyPreset("apre", "main"));
    EXPECT_EQ(ErrorOf([&] { audio.ApplyPreset("vpre", "main"); }), "Preset \"main\" not found");

    // Without a codec name the options are checked against every encoder that knows
    // them, which must not fill the log with the others' refusals.
    OptionEngine unnamed;
    LogCapture log;
    ASSERT_NO_THROW(unnamed.ApplyPreset("vpre", "libx264-max"));
    EXPECT_TRUE(log.lines.empty()) << log.lines.size() << " lines, first: " << log.lines.front().second;
    EXPECT_NE(CountAndFree(unnamed.EncoderPrivateOptions(0, avcodec_find_encoder_by_name("libx264"))), 0);

    OptionEngine nothing;
    EXPECT_NO_THROW(nothing.ApplyPreset("", "fast"));
    EXPECT_NO_THROW(nothing.ApplyPreset("vpre", ""));
    EXPECT_TRUE(nothing.genericOptionNames_.empty());
}

TEST_F(OptionTest, PresetFilesSetCodecsAndOptions)
{
    const std::string dir = ScratchDir("PresetFiles");
    const std::string file = dir + "/mine.ffpreset";
    std::ofstream(file, std::ios::binary) << "\r\n  VCodec=mpeg4\r\n\r\n g = 30 \r\nacodec=copy\rbf=2\n";
    OptionEngine engine;
    ASSERT_NO_THROW(engine.ApplyPreset("fpre", file));
    EXPECT_EQ(engine.options_.videoCodecName, "mpeg4");
    EXPECT_TRUE(engine.options_.audioStreamCopy);
    EXPECT_EQ(engine.CodecOptionInt(0, "g"), 30);
    EXPECT_EQ(engine.CodecOptionInt(0, "bf"), 2);

    // "fpre" never looks at the built-in table.
    EXPECT_EQ(ErrorOf([&] { engine.ApplyPreset("fpre", "libx264-default"); }),
              "Preset \"libx264-default\" not found");

    const struct {
        const char* content;
        std::string message;
    } cases[] = {
        {"g=12\nnovalue=\n", file + ": Invalid syntax: \"novalue=\""},
        {"=5", file + ": Invalid syntax: \"=5\""},
        {"just a line", file + ": Invalid syntax: \"just a line\""},
        {"nosuchoption = 1", file + ": Invalid option or argument: \"nosuchoption = 1\", parsed as \"nosuchoption\" = \"1\""},
        {"g=many", file + ": Invalid option or argument: \"g=many\", parsed as \"g\" = \"many\""},
    };
    for (const auto& c : cases) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.content;
        OptionEngine other;
        EXPECT_EQ(ErrorOf([&] { other.ApplyPreset("fpre", file); }), c.message);
    }
}

// Every built-in preset applies with the installed libx264, and every one of its lines
// reaches the opened encoder: generic options in the codec context, the rest (and the
// successors of legacy spellings) in libx264's private options.
TEST_F(OptionTest, EveryBuiltInPresetReachesLibx264)
{
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    ASSERT_NE(x264, nullptr);
    // Successors of the legacy bits: private option, value when set, value when cleared.
    const std::map<std::string, std::tuple<std::string, std::string, std::string>> flags2 = {
        {"wpred", {"weightb", "true", "false"}},       {"dct8x8", {"8x8dct", "true", "false"}},
        {"mixed_refs", {"mixed-refs", "true", "false"}}, {"fastpskip", {"fast-pskip", "true", "false"}},
        {"mbtree", {"mbtree", "true", "false"}},       {"bpyramid", {"b-pyramid", "2", "0"}},
    };
    const std::map<std::string, std::string> partitions = {
        {"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"}, {"partp8x8", "p8x8"}, {"partb8x8", "b8x8"}};
    const std::map<std::string, std::string> renamed = {{"directpred", "direct-pred"}, {"cqp", "qp"}};
    const std::set<std::string> privateKeys = {"coder", "me_method", "sc_threshold", "b_strategy", "wpredp"};

    for (const TOptionsPreset& preset : BuiltInPresets()) {
        SCOPED_TRACE(preset.name);
        OptionEngine engine;
        engine.SetOption("vcodec", "libx264");
        ASSERT_NO_THROW(engine.ApplyPreset("vpre", preset.name));

        const AVCodec* codec = x264;
        CodecContextPtr beforeOpen(avcodec_alloc_context3(codec));
        engine.ApplyGenericOptions(beforeOpen.get(), engine.genericCodecOptions_[0], gmEncodeVideo);
        int leftover = -1;
        CodecContextPtr opened = OpenX264(engine, leftover);
        EXPECT_EQ(leftover, 0) << "libx264 took every private option";
        CodecContextPtr freshGeneric(avcodec_alloc_context3(nullptr));
        CodecContextPtr freshX264(avcodec_alloc_context3(codec));
        void* privateOptions = opened->priv_data;

        for (const auto& [key, value] : Lines(preset.text)) {
            SCOPED_TRACE(key + "=" + value);
            if (key == "flags2") {
                for (size_t at = 0; at < value.size();) {
                    const size_t end = value.find_first_of("+-", at + 1);
                    const std::string bit = value.substr(at + 1, end - at - 1);
                    const auto& [successor, whenSet, whenCleared] = flags2.at(bit);
                    EXPECT_EQ(OptionText(privateOptions, successor), value[at] == '+' ? whenSet : whenCleared) << bit;
                    at = end == std::string::npos ? value.size() : end;
                }
            } else if (key == "partitions") {
                std::string expected;
                for (const auto& [bit, name] : partitions) {
                    if (value.find("+" + bit) != std::string::npos)
                        expected += (expected.empty() ? "" : ",") + name;
                }
                std::set<std::string> got, want;
                std::istringstream a(OptionText(privateOptions, "partitions")), b(expected.empty() ? "none" : expected);
                for (std::string item; std::getline(a, item, ',');)
                    got.insert(item);
                for (std::string item; std::getline(b, item, ',');)
                    want.insert(item);
                EXPECT_EQ(got, want);
            } else if (key == "flags") {
                EXPECT_EQ((beforeOpen->flags & AV_CODEC_FLAG_LOOP_FILTER) != 0, value == "+loop");
                EXPECT_EQ(OptionText(privateOptions, "x264-params"),
                          value == "+loop" ? "no-deblock=0" : "no-deblock=1");
            } else if (renamed.count(key) || privateKeys.count(key)) {
                const std::string successor = renamed.count(key) ? renamed.at(key) : key;
                EXPECT_EQ(OptionText(privateOptions, successor), Normalised(freshX264->priv_data, successor, value));
            } else {
                EXPECT_EQ(OptionText(beforeOpen.get(), key), Normalised(freshGeneric.get(), key, value));
            }
        }
    }
}

// The encoder acts on what the presets ask for: x264 reports its settings in the stream.
TEST_F(OptionTest, Libx264EncodesWithThePresetSettings)
{
    const struct {
        const char* preset;
        std::vector<const char*> settings;
    } cases[] = {
        {"libx264-ultrafast",
         {"cabac=0", "deblock=0:", "analyse=0x1:0", "me=dia", "subme=0", "scenecut=0", "bframes=0", "mbtree=0",
          "weightp=0", "8x8dct=0", "ref=1", "keyint=250", "keyint_min=25", "qpmin=10", "qpmax=51"}},
        {"libx264-max",
         {"cabac=1", "deblock=1:", "analyse=0x3:0x133", "me=tesa", "subme=10", "me_range=24", "ref=16",
          "mixed_ref=1", "trellis=2", "fast_pskip=0", "bframes=3", "b_adapt=2", "direct=3", "weightb=1",
          "weightp=2", "8x8dct=1", "qcomp=0.60", "ip_ratio=1.41"}},
        {"libx264-slow", {"b_pyramid=2", "me=umh", "ref=5", "analyse=0x3:0x113"}},
        {"libx264-fastfirstpass", {"b_pyramid=0", "weightb=0", "direct=3", "analyse=0x1:0"}},
        {"libx264-lossless_fast", {"cabac=0", "rc=cqp", "qp=0", "analyse=0x1:0x11"}},
        {"libx264-main", {"8x8dct=0"}},
        {"libx264-baseline", {"cabac=0", "bframes=0", "8x8dct=0", "weightp=0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.preset);
        OptionEngine engine;
        engine.SetOption("vcodec", "libx264");
        engine.SetOption("vpre", c.preset);
        int leftover = -1;
        CodecContextPtr opened = OpenX264(engine, leftover);
        const std::string settings = X264Settings(opened.get());
        ASSERT_FALSE(settings.empty());
        for (const char* setting : c.settings)
            EXPECT_NE(settings.find(std::string(" ") + setting), std::string::npos) << setting << " in" << settings;
    }
}

#include <memory>

#include "OptionTestSupport.h"

extern "C" {
#include <libswscale/swscale.h>
}

using namespace qv;
using namespace qv::test;

namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
struct DictionaryDeleter {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

std::string DictionaryValue(const AVDictionary* dictionary, const char* key)
{
    const AVDictionaryEntry* entry = av_dict_get(dictionary, key, nullptr, 0);
    return entry ? entry->value : "";
}

} // namespace

TEST_F(OptionTest, GenericOptionsFollowTheLookupOrder)
{
    enum Set { VIDEO = 0, AUDIO = 1, SUBTITLE = 3, FORMAT = 10, SCALER = 11 };
    const struct {
        const char* key;
        const char* value;
        Set set;             // where the option lands
        const char* name;    // its name there
        int64_t expected;
        const char* recorded; // name added to the list of generic options
    } cases[] = {
        {"g", "30", VIDEO, "g", 30, "g"},
        {"b", "500000", VIDEO, "b", 500000, "b"},
        {"b", "500000", AUDIO, "b", 128000, "b"},      // the library marks "b" for audio too; it stays video's
        {"ab", "96000", AUDIO, "b", 96000, "ab"},
        {"vb", "700000", VIDEO, "b", 700000, "b"},     // first letter names the kind
        {"abt", "12000", AUDIO, "bt", 12000, "bt"},
        {" trellis ", " 2 ", VIDEO, "trellis", 2, "trellis"},
        {"packetsize", "2324", FORMAT, "packetsize", 2324, "packetsize"},
        {"sws_flags", "bilinear", SCALER, "sws_flags", SWS_BILINEAR, "sws_flags"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        OptionEngine engine;
        ASSERT_TRUE(engine.SetGenericOption(c.key, c.value));
        void* set = c.set == FORMAT   ? static_cast<void*>(engine.genericFormatOptions_)
                    : c.set == SCALER ? static_cast<void*>(engine.genericScalerOptions_)
                                      : static_cast<void*>(engine.genericCodecOptions_[c.set]);
        int64_t value = 0;
        ASSERT_GE(av_opt_get_int(set, c.name, 0, &value), 0);
        EXPECT_EQ(value, c.expected);
        ASSERT_EQ(engine.genericOptionNames_.size(), 1u);
        EXPECT_EQ(engine.genericOptionNames_[0], c.recorded);
    }

    OptionEngine engine;
    engine.SetGenericOption("vb", "700000");
    EXPECT_NE(engine.CodecOptionInt(1, "b"), 700000) << "the prefix rule reaches only its own kind";
    engine.SetGenericOption("g", "30");
    EXPECT_NE(engine.CodecOptionInt(1, "g"), 30) << "a video-only option stays out of the audio set";
    engine.SetGenericOption("b", "500000");
    EXPECT_NE(engine.CodecOptionInt(3, "b"), 500000) << "\"b\" is no subtitle option";
}

TEST_F(OptionTest, GenericOptionsRefuseWhatNoTableTakes)
{
    OptionEngine engine;
    LogCapture log;
    EXPECT_FALSE(engine.SetGenericOption("nosuchoption", "1"));
    EXPECT_FALSE(engine.SetGenericOption("g", ""));
    EXPECT_FALSE(engine.SetGenericOption(" ", "1"));
    EXPECT_FALSE(log.Contains("Invalid value"));
    EXPECT_FALSE(engine.SetGenericOption("g", "many"));
    EXPECT_TRUE(log.Has(llError, "Invalid value \"many\" for option \"g\""));
    EXPECT_FALSE(engine.SetGenericOption("crf", "lots")) << "private tables check values too";
    EXPECT_TRUE(log.Has(llError, "Invalid value \"lots\" for option \"crf\""));
    EXPECT_TRUE(engine.genericOptionNames_.empty());
    EXPECT_NO_THROW(engine.SetOption("nosuchoption", "1")) << "the dispatcher ignores unknown keys";
}

TEST_F(OptionTest, DebugOptionsRaiseTheLogLevel)
{
    const TLogLevel before = Logger().LogLevel();
    for (const char* key : {"debug", "fdebug"}) {
        Logger().SetLogLevel(llInfo);
        OptionEngine engine;
        ASSERT_TRUE(engine.SetGenericOption(key, key == std::string("debug") ? "pict" : "ts"));
        EXPECT_EQ(Logger().LogLevel(), llDebug) << key;
    }
    Logger().SetLogLevel(llInfo);
    OptionEngine engine;
    engine.SetGenericOption("g", "12");
    EXPECT_EQ(Logger().LogLevel(), llInfo);
    Logger().SetLogLevel(before);
}

TEST_F(OptionTest, ApplyGenericOptionsCopiesWhatTheMaskSelects)
{
    OptionEngine engine;
    ASSERT_TRUE(engine.SetGenericOption("b", "300000"));   // encoding, video (the audio rate is "ab")
    ASSERT_TRUE(engine.SetGenericOption("g", "40"));       // encoding, video
    ASSERT_TRUE(engine.SetGenericOption("lowres", "1"));   // decoding, video and audio
    ASSERT_TRUE(engine.SetGenericOption("packetsize", "4096"));

    CodecContextPtr encoder(avcodec_alloc_context3(nullptr));
    engine.ApplyGenericOptions(encoder.get(), engine.genericCodecOptions_[0], gmEncodeVideo);
    EXPECT_EQ(encoder->bit_rate, 300000);
    EXPECT_EQ(encoder->gop_size, 40);
    EXPECT_EQ(encoder->lowres, 0);

    CodecContextPtr decoder(avcodec_alloc_context3(nullptr));
    engine.ApplyGenericOptions(decoder.get(), engine.genericCodecOptions_[0], gmDecodeVideo);
    EXPECT_EQ(decoder->lowres, 1);
    EXPECT_NE(decoder->bit_rate, 300000);

    CodecContextPtr audio(avcodec_alloc_context3(nullptr));
    engine.ApplyGenericOptions(audio.get(), engine.genericCodecOptions_[1], gmEncodeAudio);
    EXPECT_NE(audio->bit_rate, 300000);
    EXPECT_NE(audio->gop_size, 40);

    AVFormatContext* output = avformat_alloc_context();
    engine.ApplyGenericOptions(output, engine.genericFormatOptions_, gmOutputFormat);
    EXPECT_EQ(output->packet_size, 4096u);
    avformat_free_context(output);
    AVFormatContext* input = avformat_alloc_context();
    engine.ApplyGenericOptions(input, engine.genericFormatOptions_, gmInputFormat);
    EXPECT_EQ(input->packet_size, 0u);
    avformat_free_context(input);
}

TEST_F(OptionTest, PrivateOptionsReachOnlyTheEncodersThatKnowThem)
{
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    const AVCodec* mpeg4 = avcodec_find_encoder_by_name("mpeg4");
    ASSERT_NE(x264, nullptr);
    ASSERT_NE(mpeg4, nullptr);

    OptionEngine engine;
    ASSERT_TRUE(engine.SetGenericOption("crf", "20"));
    ASSERT_TRUE(engine.SetGenericOption("tune", "film"));
    DictionaryPtr forX264(engine.EncoderPrivateOptions(0, x264));
    ASSERT_NE(forX264, nullptr);
    EXPECT_EQ(DictionaryValue(forX264.get(), "crf"), "20");
    EXPECT_EQ(DictionaryValue(forX264.get(), "tune"), "film");
    EXPECT_EQ(DictionaryPtr(engine.EncoderPrivateOptions(0, mpeg4)), nullptr);
    EXPECT_EQ(DictionaryPtr(engine.EncoderPrivateOptions(1, x264)), nullptr) << "kept for video encoders";

    // A legacy name whose successor differs per encoder: checked against the one named.
    engine.SetOption("vcodec", "mpeg4");
    ASSERT_TRUE(engine.SetGenericOption("me_method", "epzs"));
    DictionaryPtr forMpeg4(engine.EncoderPrivateOptions(0, mpeg4));
    EXPECT_EQ(DictionaryValue(forMpeg4.get(), "motion_est"), "epzs");

    engine.ResetOptions();
    EXPECT_EQ(DictionaryPtr(engine.EncoderPrivateOptions(0, x264)), nullptr) << "forgotten with the options";
}

TEST_F(OptionTest, MuxerPrivateOptionsGoWithTheOutputFormatOptions)
{
    OptionEngine engine;
    ASSERT_TRUE(engine.SetGenericOption("muxrate", "10080000"));
    AVFormatContext* output = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "dvd", nullptr), 0);
    engine.ApplyGenericOptions(output, engine.genericFormatOptions_, gmOutputFormat);
    int64_t muxRate = 0;
    EXPECT_GE(av_opt_get_int(output->priv_data, "muxrate", 0, &muxRate), 0);
    EXPECT_EQ(muxRate, 10080000);
    avformat_free_context(output);
}

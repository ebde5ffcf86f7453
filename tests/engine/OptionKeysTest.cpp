#include <unistd.h>

#include <functional>
#include <regex>

#include "OptionTestSupport.h"
#include "platform/Exceptions.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

using namespace qv;
using namespace qv::test;

namespace {

using TCheck = std::function<void(OptionEngine&)>;

struct KeyCase {
    const char* key;
    const char* value;
    TCheck check;
};

void RunCases(const std::vector<KeyCase>& cases)
{
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = \"" + c.value + "\"");
        OptionEngine engine;
        ASSERT_NO_THROW(engine.SetOption(c.key, c.value));
        c.check(engine);
    }
}

std::string Coefficients(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? "," : "") + std::to_string(i + 1);
    return text;
}

} // namespace

TEST_F(OptionTest, KeysSetTheirFields)
{
    RunCases({
        // Flags: only "0" turns them off; an empty value turns them on.
        {"shortest", "", [](OptionEngine& e) { EXPECT_TRUE(e.options_.optShortest); }},
        {"an", "1", [](OptionEngine& e) { EXPECT_TRUE(e.options_.audioDisable); }},
        {"deinterlace", "yes", [](OptionEngine& e) { EXPECT_TRUE(e.options_.doDeinterlace); }},
        {"vn", "0", [](OptionEngine& e) { EXPECT_FALSE(e.options_.videoDisable); }},
        {"dump", "1", [](OptionEngine& e) { EXPECT_TRUE(e.options_.doPktDump); }},
        {"hex", "1", [](OptionEngine& e) { EXPECT_TRUE(e.options_.doHexDump); }},
        {"re", "1", [](OptionEngine& e) { EXPECT_TRUE(e.options_.rateEmu); }},
        {"isync", "1", [](OptionEngine& e) { EXPECT_TRUE(e.options_.inputSync); }},
        // Always on, whatever the value.
        {"copyts", "0", [](OptionEngine& e) { EXPECT_TRUE(e.options_.copyTs); }},
        {"xerror", "0", [](OptionEngine& e) { EXPECT_TRUE(e.options_.exitOnError); }},
        // Integers and floats.
        {"vsync", "2", [](OptionEngine& e) { EXPECT_EQ(e.options_.videoSyncMethod, 2); }},
        {"async", " 1", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioSyncMethod, 1); }},
        {"programid", "-3", [](OptionEngine& e) { EXPECT_EQ(e.options_.optProgramId, -3); }},
        {"vol", "512", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioVolume, 512); }},
        {"dc", "10", [](OptionEngine& e) { EXPECT_EQ(e.options_.intraDcPrecision, 10); }},
        {"top", "1", [](OptionEngine& e) { EXPECT_EQ(e.options_.topFieldFirst, 1); }},
        {"vc", "3", [](OptionEngine& e) { EXPECT_EQ(e.options_.videoChannel, 3); }},
        {"muxdelay", "1.25", [](OptionEngine& e) { EXPECT_FLOAT_EQ(e.options_.muxMaxDelay_s, 1.25f); }},
        {"aq", "4", [](OptionEngine& e) { EXPECT_FLOAT_EQ(e.options_.audioQScale, 4.0f); }},
        {"dts_delta_threshold", "2.5", [](OptionEngine& e) { EXPECT_FLOAT_EQ(e.options_.dtsDeltaThreshold_s, 2.5f); }},
        {"fs", "5000000000", [](OptionEngine& e) { EXPECT_EQ(e.options_.limitFileSize_bytes, 5000000000LL); }},
        {"vframes", "100", [](OptionEngine& e) { EXPECT_EQ(e.options_.maxFrames[0], 100); }},
        {"aframes", "7", [](OptionEngine& e) { EXPECT_EQ(e.options_.maxFrames[1], 7); }},
        {"dframes", "9", [](OptionEngine& e) { EXPECT_EQ(e.options_.maxFrames[2], 9); }},
        {"v", "3", [](OptionEngine& e) { EXPECT_EQ(e.options_.verbose, 3); }},
        {"qscale", "255", [](OptionEngine& e) { EXPECT_FLOAT_EQ(e.options_.videoQScale, 255.0f); }},
        {"pass", "2", [](OptionEngine& e) { EXPECT_EQ(e.options_.doPass, 2); }},
        // Sample rate and channels ignore values <= 0.
        {"ar", "0", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioSampleRate, 44100); }},
        {"ar", "22050", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioSampleRate, 22050); }},
        {"ac", "-1", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioChannels, 2); }},
        // Texts.
        {"passlogfile", "stats", [](OptionEngine& e) { EXPECT_EQ(e.options_.passLogFileName, "stats"); }},
        {"rc_override", "0,100,50", [](OptionEngine& e) { EXPECT_EQ(e.options_.videoRcOverride, "0,100,50"); }},
        {"tvstd", "pal", [](OptionEngine& e) { EXPECT_EQ(e.options_.videoStandard, "pal"); }},
        {"vstats_file", "/tmp/v.log", [](OptionEngine& e) { EXPECT_EQ(e.options_.vstatsFileName, "/tmp/v.log"); }},
        {"alang", "eng", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioLanguage, "eng"); }},
        {"slang", "chi", [](OptionEngine& e) { EXPECT_EQ(e.options_.subtitleLanguage, "chi"); }},
        {"vf", "scale=320:240", [](OptionEngine& e) { EXPECT_EQ(e.options_.vfilters, "scale=320:240"); }},
        {"vfilters", "", [](OptionEngine& e) { EXPECT_EQ(e.options_.vfilters, ""); }},
        {"f", "mp4", [](OptionEngine& e) { EXPECT_EQ(e.options_.fileFormat, "mp4"); }},
        {"f", "pgmyuv", [](OptionEngine& e) {
             EXPECT_EQ(e.options_.fileFormat, "image2");
             EXPECT_TRUE(e.options_.usingPgmyuv);
         }},
        // Codec names, "copy", and the empty value that changes nothing.
        {"vcodec", "mpeg4", [](OptionEngine& e) { EXPECT_EQ(e.options_.videoCodecName, "mpeg4"); }},
        {"acodec", "copy", [](OptionEngine& e) {
             EXPECT_TRUE(e.options_.audioStreamCopy);
             EXPECT_FALSE(e.options_.audioCodecName.has_value());
         }},
        {"scodec", "", [](OptionEngine& e) { EXPECT_FALSE(e.options_.subtitleCodecName.has_value()); }},
        // Frame size, rate, aspect, pixel and sample formats.
        {"s", "640x480", [](OptionEngine& e) {
             EXPECT_EQ(e.options_.frameWidth, 640);
             EXPECT_EQ(e.options_.frameHeight, 480);
         }},
        {"s", "vga", [](OptionEngine& e) { EXPECT_EQ(e.options_.frameWidth, 640); }},
        {"r", "30000/1001", [](OptionEngine& e) {
             EXPECT_EQ(e.options_.frameRate.num, 30000);
             EXPECT_EQ(e.options_.frameRate.den, 1001);
         }},
        {"r", "ntsc", [](OptionEngine& e) { EXPECT_EQ(e.options_.frameRate.num, 30000); }},
        {"aspect", "16:9", [](OptionEngine& e) { EXPECT_FLOAT_EQ(e.options_.frameAspectRatio, 16.0f / 9.0f); }},
        {"aspect", "1.5", [](OptionEngine& e) { EXPECT_FLOAT_EQ(e.options_.frameAspectRatio, 1.5f); }},
        {"pix_fmt", "yuv422p", [](OptionEngine& e) { EXPECT_EQ(e.options_.framePixFmt, AV_PIX_FMT_YUV422P); }},
        {"sample_fmt", "s16", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioSampleFmt, AV_SAMPLE_FMT_S16); }},
        {"sample_fmt", "nosuch", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioSampleFmt, AV_SAMPLE_FMT_NONE); }},
        // Durations and dates through the libraries' parser.
        {"t", "1:02:03.5", [](OptionEngine& e) {
             EXPECT_EQ(e.options_.recordingTime_us, 3723500000LL);
             EXPECT_EQ(e.TotalDuration_us(), 3723500000LL);
         }},
        {"ss", "90", [](OptionEngine& e) { EXPECT_EQ(e.options_.startTime_us, 90000000); }},
        {"itsoffset", "-0.5", [](OptionEngine& e) { EXPECT_EQ(e.options_.inputTsOffset_us, -500000); }},
        {"timestamp", "2010-05-06T10:20:30.6Z", [](OptionEngine& e) {
             EXPECT_EQ(e.options_.recordingTimestamp_s, 1273141231); // rounded up from .6
         }},
        {"itsscale", "1:1.5", [](OptionEngine& e) { EXPECT_DOUBLE_EQ(e.inputFilesTsScale_[0][1], 1.5); }},
        {"metadata", "title=a=b", [](OptionEngine& e) {
             ASSERT_EQ(e.options_.metadata.size(), 1u);
             EXPECT_EQ(e.options_.metadata[0].first, "title");
             EXPECT_EQ(e.options_.metadata[0].second, "a=b");
         }},
        // Stream and metadata maps, numbers as C reads them.
        {"map", "0.1:0.0", [](OptionEngine& e) {
             ASSERT_EQ(e.streamMaps_.size(), 1u);
             const TStreamMap m = e.streamMaps_[0];
             EXPECT_EQ(m.fileIndex, 0); EXPECT_EQ(m.streamIndex, 1);
             EXPECT_EQ(m.syncFileIndex, 0); EXPECT_EQ(m.syncStreamIndex, 0);
         }},
        {"map", "1:2", [](OptionEngine& e) {
             const TStreamMap m = e.streamMaps_.at(0);
             EXPECT_EQ(m.syncFileIndex, 1); EXPECT_EQ(m.syncStreamIndex, 2);
         }},
        {"map", "0x1.010", [](OptionEngine& e) {
             EXPECT_EQ(e.streamMaps_.at(0).fileIndex, 1);
             EXPECT_EQ(e.streamMaps_.at(0).streamIndex, 8);
         }},
        {"map_meta_data", "1:0", [](OptionEngine& e) {
             ASSERT_EQ(e.metaDataMaps_.size(), 1u);
             EXPECT_EQ(e.metaDataMaps_[0].outFile, 1);
             EXPECT_EQ(e.metaDataMaps_[0].inFile, 0);
         }},
        {"streamid", "3:256", [](OptionEngine& e) { EXPECT_EQ(e.options_.streamIdMap[3], 256); }},
        // Tags: four characters, the first in the lowest byte; empty changes nothing.
        {"vtag", "XVID", [](OptionEngine& e) { EXPECT_EQ(e.options_.videoCodecTag, 0x44495658u); }},
        {"atag", "", [](OptionEngine& e) { EXPECT_EQ(e.options_.audioCodecTag, 0u); }},
        {"stag", "mp4s", [](OptionEngine& e) { EXPECT_EQ(e.options_.subtitleCodecTag, MKTAG('m', 'p', '4', 's')); }},
        // Bitstream filters join the chain of their kind; "=" alone is ignored.
        {"vbsf", "h264_mp4toannexb", [](OptionEngine& e) {
             EXPECT_EQ(e.options_.videoBitstreamFilters, std::vector<std::string>{"h264_mp4toannexb"});
         }},
        {"absf", "aac_adtstoasc=x", [](OptionEngine& e) {
             EXPECT_EQ(e.options_.audioBitstreamFilters, std::vector<std::string>{"aac_adtstoasc"});
         }},
        {"sbsf", "=null", [](OptionEngine& e) { EXPECT_TRUE(e.options_.subtitleBitstreamFilters.empty()); }},
        // Matrices: 64 coefficients.
        {"intra_matrix", Coefficients(64).c_str(), [](OptionEngine& e) {
             ASSERT_TRUE(e.options_.intraMatrix.has_value());
             EXPECT_EQ((*e.options_.intraMatrix)[0], 1);
             EXPECT_EQ((*e.options_.intraMatrix)[63], 64);
         }},
        // Keys are case-sensitive: this one goes to the libraries' tables and is ignored.
        {"VCODEC", "mpeg4", [](OptionEngine& e) { EXPECT_FALSE(e.options_.videoCodecName.has_value()); }},
    });
}

TEST_F(OptionTest, FailingKeysRaiseTheirMessage)
{
    const std::string matrix63 = Coefficients(63);
    const struct {
        const char* key;
        std::string value;
        std::string message;
    } cases[] = {
        {"threads", "2", "TODO: option - threads"},
        {"padtop", "8", "Please use vfilters=pad"},
        {"padcolor", "000000", "Please use vfilters=pad"},
        {"qscale", "0", "qscale must be > 0.0 and <= 255"},
        {"qscale", "255.5", "qscale must be > 0.0 and <= 255"},
        {"pass", "3", "pass number can be only 1 or 2"},
        {"r", "fast", "Incorrect frame rate"},
        {"s", "huge", "Incorrect frame size"},
        {"aspect", "16:0", "Incorrect aspect ratio specification."},
        {"aspect", "wide", "Incorrect aspect ratio specification."},
        {"pix_fmt", "nosuch", "Unknown pixel format requested: nosuch"},
        {"metadata", "title", "Missing ="},
        {"t", "soon", "Invalid duration specification for t: soon"},
        {"itsoffset", "x", "Invalid duration specification for itsoffset: x"},
        {"timestamp", "yesterday", "Invalid date specification for timestamp: yesterday"},
        {"itsscale", "20:2", "stream index over MAX_STREAMS(20)"},
        {"streamid", "1:", "Invalid value \"1:\" for option \"streamid\", required syntax is \"index:value\""},
        {"streamid", ":4", "Invalid value \":4\" for option \"streamid\", required syntax is \"index:value\""},
        {"streamid", "4", "Invalid value \"4\" for option \"streamid\", required syntax is \"index:value\""},
        {"intra_matrix", matrix63, "Syntax error in matrix \"" + std::string(matrix63) + "\" at coeff 62"},
        {"inter_matrix", "", "Syntax error in matrix \"\" at coeff 0"},
        {"vbsf", " nosuch_filter ", "Unknown bitstream filter nosuch_filter"},
        {"vhook", "/nonexistent/hook.so -x 1", "Failed to add video hook function: /nonexistent/hook.so -x 1"},
        {"newvideo", "", "At least one output file must be specified"},
        {"newaudio", "", "At least one output file must be specified"},
        {"newsubtitle", "", "At least one output file must be specified"},
        {"vframes", "many", "'many' is not a valid integer value"},
        {"vol", "99999999999", "'99999999999' is not a valid integer value"},
        {"muxpreload", "1,5", "'1,5' is not a valid floating point value"},
        {"loglevel", "loud", "'loud' is not a valid integer value"},
        {"fpre", "/nonexistent/x.ffpreset", "Preset \"/nonexistent/x.ffpreset\" not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = \"" + c.value + "\"");
        OptionEngine engine;
        try {
            engine.SetOption(c.key, c.value);
            ADD_FAILURE() << "no exception";
        } catch (const FFmpegException& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST_F(OptionTest, TagsOfOtherLengthsFailAnAssertion)
{
    const struct {
        const char* key;
        const char* value;
        const char* message;
    } cases[] = {
        {"vtag", "XVID5", "video tag parameter must be 4 chars"},
        {"atag", "mp3", "audio tag parameter must be 4 chars"},
        {"stag", "s", "subtitle tag parameter must be 4 chars"},
    };
    for (const auto& c : cases) {
        OptionEngine engine;
        try {
            engine.SetOption(c.key, c.value);
            ADD_FAILURE() << c.key << " accepted " << c.value;
        } catch (const AssertionFailure& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
            EXPECT_NE(message.find("line"), std::string::npos) << message;
        }
    }
}

TEST_F(OptionTest, CropReducesTheFrameWithinItsLimits)
{
    OptionEngine engine;
    engine.SetOption("s", "320x240");
    LogCapture log;
    engine.SetOption("croptop", "0");
    engine.SetOption("cropbottom", "-4");
    EXPECT_EQ(engine.options_.frameHeight, 240) << "0 and negative bands change nothing";
    EXPECT_TRUE(log.lines.empty());

    engine.SetOption("croptop", "16");
    engine.SetOption("cropright", "20");
    EXPECT_EQ(engine.options_.frameTopBand, 16);
    EXPECT_EQ(engine.options_.frameRightBand, 20);
    EXPECT_EQ(engine.options_.frameHeight, 224);
    EXPECT_EQ(engine.options_.frameWidth, 300);
    EXPECT_TRUE(log.Has(llWarning, "CropXXX is deprecated in favor of the crop avfilter"));

    // A band as large as what is left of the frame is refused and changes nothing.
    EXPECT_THROW(
        {
            try {
                engine.SetOption("cropbottom", "224");
            } catch (const FFmpegException& e) {
                EXPECT_STREQ(e.what(), "Vertical crop dimensions are outside the range of the original image.\n"
                                       "Remember to crop first and scale second.");
                throw;
            }
        },
        FFmpegException);
    EXPECT_THROW(
        {
            try {
                engine.SetOption("cropleft", "300");
            } catch (const FFmpegException& e) {
                EXPECT_STREQ(e.what(), "Horizontal crop dimensions are outside the range of the original image.\n"
                                       "Remember to crop first and scale second.");
                throw;
            }
        },
        FFmpegException);
    EXPECT_EQ(engine.options_.frameBottomBand, 0);
    EXPECT_EQ(engine.options_.frameLeftBand, 0);
    EXPECT_EQ(engine.options_.frameHeight, 224);
    EXPECT_NO_THROW(engine.SetOption("cropbottom", "223"));
    EXPECT_EQ(engine.options_.frameHeight, 1);
}

TEST_F(OptionTest, AFailingKeyKeepsWhatItSetBeforeItsCheck)
{
    OptionEngine engine;
    engine.SetOption("intra_matrix", Coefficients(64));
    EXPECT_THROW(engine.SetOption("intra_matrix", "9,8,7"), FFmpegException);
    ASSERT_TRUE(engine.options_.intraMatrix.has_value());
    const TMatrix& matrix = *engine.options_.intraMatrix;
    EXPECT_EQ(matrix[0], 9);
    EXPECT_EQ(matrix[2], 7);
    EXPECT_EQ(matrix[3], 0) << "the matrix is zeroed before it is read again";
    EXPECT_EQ(matrix[63], 0);

    EXPECT_THROW(engine.SetOption("metadata", "no separator"), FFmpegException);
    EXPECT_TRUE(engine.options_.metadata.empty());
    EXPECT_THROW(engine.SetOption("pass", "3"), FFmpegException);
    EXPECT_EQ(engine.options_.doPass, 0);
}

TEST_F(OptionTest, LoggingKeysLogTheirTexts)
{
    OptionEngine engine;
    LogCapture log;
    for (const char* key : {"L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters", "i", "y",
                            "benchmark"}) {
        engine.SetOption(key, "x");
        EXPECT_TRUE(log.Has(llInfo, std::string("Do nothing: option - ") + key)) << key;
    }
    engine.SetOption("timelimit", "10");
    EXPECT_TRUE(log.Has(llWarning, "Warning: -timelimit not implemented on Windows"));
    engine.SetOption("f", "pgmyuv");
    EXPECT_TRUE(log.Has(llInfo, "pgmyuv format is deprecated, use image2"));
}

TEST_F(OptionTest, LowBitRatesWarn)
{
    const char* warning = "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
    const struct {
        const char* key;
        const char* value;
        int kind;
        int64_t rate;
        bool warns;
    } cases[] = {
        {"b", "800", 0, 800, true},
        {"vb", "900000", 0, 900000, false},
        {"vb", "64", 0, 64, true},
        {"ab", "128", 1, 128, true},
        {"ab", "128000", 1, 128000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        OptionEngine engine;
        LogCapture log;
        engine.SetOption(c.key, c.value);
        EXPECT_EQ(engine.CodecOptionInt(c.kind, "b"), c.rate);
        EXPECT_EQ(log.Has(llWarning, warning), c.warns);
    }
    OptionEngine engine;
    LogCapture log;
    engine.SetOption("vb", "");
    engine.SetOption("ab", "nonsense");
    EXPECT_FALSE(log.Has(llWarning, warning)) << "nothing set, nothing read back";
}

TEST_F(OptionTest, FormatListsLogEveryInstalledFormat)
{
    OptionEngine engine;
    LogCapture log;
    engine.SetOption("pix_fmt", "list");
    int formats = 0;
    while (av_pix_fmt_desc_get(static_cast<AVPixelFormat>(formats)))
        ++formats;
    ASSERT_EQ(log.lines.size(), static_cast<size_t>(formats) + 1);
    EXPECT_EQ(log.lines.front().second.rfind("name", 0), 0u) << "a header first";
    EXPECT_TRUE(std::regex_match(log.lines[1].second, std::regex("yuv420p +3 +12"))) << log.lines[1].second;
    EXPECT_EQ(engine.options_.framePixFmt, AV_PIX_FMT_NONE) << "listing sets nothing";

    log.lines.clear();
    engine.SetOption("sample_fmt", "list");
    ASSERT_EQ(log.lines.size(), static_cast<size_t>(AV_SAMPLE_FMT_NB) + 1);
    EXPECT_TRUE(std::regex_match(log.lines[2].second, std::regex("s16 +16"))) << log.lines[2].second;
    for (const auto& [level, line] : log.lines)
        EXPECT_EQ(level, llInfo);
}

TEST_F(OptionTest, VstatsIsNamedAfterTheClockBesideTheExecutable)
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    ASSERT_GT(length, 0);
    std::string folder(path, static_cast<size_t>(length));
    folder.erase(folder.rfind('/'));

    OptionEngine engine;
    engine.SetOption("vstats", "");
    ASSERT_TRUE(engine.options_.vstatsFileName.has_value());
    const std::string name = *engine.options_.vstatsFileName;
    ASSERT_EQ(name.rfind(folder + "/vstats_", 0), 0u) << name;
    const std::string clock = name.substr(folder.size() + 8, 6);
    EXPECT_TRUE(std::regex_match(name.substr(folder.size()), std::regex("/vstats_[0-9]{6}\\.log"))) << name;
    EXPECT_LT(std::stoi(clock.substr(0, 2)), 24);
    EXPECT_LT(std::stoi(clock.substr(2, 2)), 60);
}

TEST_F(OptionTest, LogLevelKeySetsTheCaptureLevel)
{
    OptionEngine engine;
    const TLogLevel before = Logger().LogLevel();
    engine.SetOption("loglevel", "error");
    EXPECT_EQ(Logger().LogLevel(), llError);
    engine.SetOption("loglevel", "40");
    EXPECT_EQ(Logger().LogLevel(), llVerbose);
    Logger().SetLogLevel(before);
}

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "platform/Exceptions.h"
#include "probe/AVProbe.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/MediaIO.h"
#include "runtime/UnicodeProtocol.h"
#include "support/TestSupport.h"

using namespace qv;
namespace fs = std::filesystem;

namespace {

// ---- what ffprobe says about a file ------------------------------------------------

using Fields = std::map<std::string, std::string>;

std::string RunCommand(const std::string& command)
{
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t count;
        while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, count);
        pclose(pipe);
    }
    return output;
}

// "format.duration" -> "3.030000", "streams.stream.0.codec_name" -> "mp3" ...
Fields Ffprobe(const std::string& file)
{
    Fields fields;
    const std::string text = RunCommand("ffprobe -v error -show_format -show_streams -of flat '" + file + "'");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        fields[line.substr(0, equals)] = value;
    }
    return fields;
}

// The stream descriptions of ffprobe's summary: "Video: h264 (...), ..., 25 fps, 25 tbr,
// 12800 tbn", without the disposition marks.
std::vector<std::string> FfprobeStreamDescriptions(const std::string& file)
{
    std::vector<std::string> descriptions;
    const std::string text = RunCommand("ffprobe -hide_banner '" + file + "' 2>&1");
    size_t at = 0;
    while ((at = text.find("Stream #0:", at)) != std::string::npos) {
        const size_t begin = text.find(": ", at) + 2;
        const size_t end = text.find('\n', begin);
        std::string description = text.substr(begin, end - begin);
        for (const char* mark : {" (default)", " (forced)"}) {
            if (const size_t pos = description.find(mark); pos != std::string::npos)
                description.erase(pos, std::string(mark).size());
        }
        descriptions.push_back(description);
        at = end;
    }
    return descriptions;
}

std::string Field(const Fields& fields, const std::string& key)
{
    const auto found = fields.find(key);
    return found == fields.end() ? "N/A" : found->second;
}

std::string StreamField(const Fields& fields, int index, const std::string& key)
{
    return Field(fields, "streams.stream." + std::to_string(index) + "." + key);
}

// ffprobe's seconds ("3.030000") in microseconds; -1 for "N/A".
int64_t Microseconds(const std::string& seconds)
{
    return seconds == "N/A" ? -1 : std::llround(std::stod(seconds) * 1e6);
}

int64_t Number(const std::string& text, int64_t none = -1)
{
    return text == "N/A" ? none : std::stoll(text);
}

// The line of the information text that begins with "Stream #<index>".
std::string StreamLine(const std::string& text, int index)
{
    const std::string head = "Stream #" + std::to_string(index);
    size_t at = 0;
    while ((at = text.find(head, at)) != std::string::npos) {
        const char next = text[at + head.size()];
        if ((at == 0 || text[at - 1] == '\n') && (next == '[' || next == '(' || next == ','))
            return text.substr(at, text.find('\n', at) - at);
        at += head.size();
    }
    return {};
}

// A PCM WAV file of exactly size_bytes bytes (a 44-byte header and silence).
void WriteWav(const std::string& path, uint32_t size_bytes)
{
    const uint32_t data = size_bytes - 44;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out << "RIFF";
    u32(size_bytes - 8);
    out << "WAVEfmt ";
    u32(16);
    u16(1);    // PCM
    u16(1);    // mono
    u32(8000); // Hz
    u32(8000); // bytes per second
    u16(1);    // block align
    u16(8);    // bits per sample
    out << "data";
    u32(data);
    out << std::string(data, '\x80');
}

struct LogLine {
    const void* sender;
    TLogLevel level;
    std::string text;
};

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::LoadConverterLibraries();
        Logger().SetTriggerEventInMainThread(false);
        // Above llInfo the libraries' stream descriptions grow (reference frames, coded size).
        Logger().SetLogLevel(llInfo);
        Logger().OnLog = [this](const void* sender, uint32_t, TLogLevel level, const std::string& text) {
            std::lock_guard lock(mutex_);
            if (sender == &probe)
                lines_.push_back({sender, level, text});
        };
    }
    void TearDown() override { Logger().OnLog = nullptr; }

    std::vector<LogLine> TakeLog()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

    // The probe's message was kept as LastError and logged once at the level.
    void ExpectReported(const std::string& message, TLogLevel level)
    {
        EXPECT_EQ(probe.LastError(), message);
        const std::vector<LogLine> lines = TakeLog();
        ASSERT_EQ(lines.size(), 1u) << message;
        EXPECT_EQ(lines[0].text, message);
        EXPECT_EQ(lines[0].level, level) << message;
    }

    void ExpectClosed()
    {
        EXPECT_EQ(probe.Context(), nullptr);
        EXPECT_EQ(probe.FileName(), "");
        EXPECT_EQ(probe.ForcedFormat(), "");
        for (int64_t value : {probe.FileSize(), int64_t(probe.StreamCount()), int64_t(probe.ProgramCount()),
                              int64_t(probe.AudioStreamCount()), int64_t(probe.VideoStreamCount()),
                              int64_t(probe.SubtitleStreamCount()), int64_t(probe.FirstAudioStream()),
                              int64_t(probe.FirstVideoStream()), int64_t(probe.FirstSubtitleStream())})
            EXPECT_EQ(value, -1);
    }

    TAVProbe probe;

private:
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

} // namespace

// The probe's figures agree with ffprobe's for the same files.
TEST_F(ProbeTest, FiguresMatchFfprobe)
{
    for (const char* name : {"audio.mp3", "tagged.mp3", "audio.wav", "audio_stereo48.flac", "av_h264_aac.mp4",
                             "av_h264_aac.mkv", "av_mpeg2_mp2.ts", "av_mpeg4_mp3.avi", "av_vp8_vorbis.webm",
                             "two_audio.mkv", "with_subtitle.mkv", "video_only.avi", "ntsc_2997.mp4",
                             "lang_only.ts"}) {
        SCOPED_TRACE(name);
        const std::string file = test::Fixture(name);
        const Fields ff = Ffprobe(file);
        ASSERT_FALSE(ff.empty());
        ASSERT_TRUE(probe.LoadFile(file)) << probe.LastError();
        EXPECT_EQ(probe.FileName(), file);
        EXPECT_EQ(probe.FormatName(), Field(ff, "format.format_name"));
        EXPECT_EQ(probe.FormatLongName(), Field(ff, "format.format_long_name"));
        EXPECT_EQ(probe.FileSize(), Number(Field(ff, "format.size")));
        EXPECT_EQ(probe.StreamCount(), Number(Field(ff, "format.nb_streams")));
        EXPECT_EQ(probe.ProgramCount(), Number(Field(ff, "format.nb_programs")));

        TFileStreamInfo file_info;
        probe.GetFileStreamInfo(file_info);
        EXPECT_EQ(file_info.Duration, Microseconds(Field(ff, "format.duration")));
        EXPECT_EQ(file_info.StartTime, Microseconds(Field(ff, "format.start_time")));
        EXPECT_EQ(file_info.BitRate, Number(Field(ff, "format.bit_rate"), 0));

        std::map<std::string, int> counts;
        std::map<std::string, int> first;
        const std::string text = probe.InfoText();
        const std::vector<std::string> descriptions = FfprobeStreamDescriptions(file);
        ASSERT_EQ(descriptions.size(), static_cast<size_t>(probe.StreamCount()));
        for (int i = 0; i < probe.StreamCount(); ++i) {
            SCOPED_TRACE("stream " + std::to_string(i));
            const std::string type = StreamField(ff, i, "codec_type");
            if (counts[type]++ == 0)
                first[type] = i;
            // The libraries' description of the stream, with fps, tbr and tbn, as ffprobe prints
            // it; only a container aspect ratio that the codec does not know is called PAR here.
            std::string description = descriptions[i];
            const bool codecAspect = description.find(" [SAR ") != std::string::npos;
            if (const size_t sar = description.find(", SAR "); sar != std::string::npos)
                description.replace(sar, 6, ", PAR ");
            EXPECT_NE(StreamLine(text, i).find(": " + description), std::string::npos)
                << StreamLine(text, i) << "\n" << description;

            const std::string codecName = StreamField(ff, i, "codec_name");
            const std::string longName = StreamField(ff, i, "codec_long_name");
            if (type == "audio") {
                TAudioStreamInfo audio;
                probe.GetAudioStreamInfo(i, audio);
                EXPECT_EQ(audio.CodecName.rfind(codecName, 0), 0u) << audio.CodecName;
                EXPECT_NE(audio.CodecName.find(longName), std::string::npos) << audio.CodecName;
                EXPECT_EQ(audio.SampleRate, Number(StreamField(ff, i, "sample_rate")));
                EXPECT_EQ(audio.Channels, Number(StreamField(ff, i, "channels")));
                EXPECT_STREQ(av_get_sample_fmt_name(AVSampleFormat(audio.SampleFormat)),
                             StreamField(ff, i, "sample_fmt").c_str());
                EXPECT_EQ(audio.BitRate, Number(StreamField(ff, i, "bit_rate"), 0));
                EXPECT_EQ(audio.RawStartTime, Number(StreamField(ff, i, "start_pts")));
                EXPECT_EQ(audio.StartTime, Microseconds(StreamField(ff, i, "start_time")));
                EXPECT_EQ(audio.RawDuration, Number(StreamField(ff, i, "duration_ts")));
                EXPECT_EQ(audio.Duration, Microseconds(StreamField(ff, i, "duration")));
                const std::string language = StreamField(ff, i, "tags.language");
                EXPECT_EQ(audio.Language, language == "N/A" ? "" : language);
            } else if (type == "video") {
                TVideoStreamInfo video;
                probe.GetVideoStreamInfo(i, video);
                EXPECT_EQ(video.CodecName.rfind(codecName, 0), 0u) << video.CodecName;
                EXPECT_NE(video.CodecName.find(longName), std::string::npos) << video.CodecName;
                EXPECT_EQ(video.Width, Number(StreamField(ff, i, "width")));
                EXPECT_EQ(video.Height, Number(StreamField(ff, i, "height")));
                EXPECT_STREQ(av_get_pix_fmt_name(AVPixelFormat(video.PixelFormat)),
                             StreamField(ff, i, "pix_fmt").c_str());
                EXPECT_EQ(std::to_string(video.FrameRateNum) + "/" + std::to_string(video.FrameRateDen),
                          StreamField(ff, i, "r_frame_rate"));
                EXPECT_EQ(video.BitRate, Number(StreamField(ff, i, "bit_rate"), 0));
                EXPECT_EQ(video.RawStartTime, Number(StreamField(ff, i, "start_pts")));
                EXPECT_EQ(video.RawDuration, Number(StreamField(ff, i, "duration_ts")));
                EXPECT_EQ(video.Duration, Microseconds(StreamField(ff, i, "duration")));
                int darNum = 0, darDen = 1;
                ASSERT_EQ(std::sscanf(StreamField(ff, i, "display_aspect_ratio").c_str(), "%d:%d", &darNum, &darDen), 2);
                // From the codec's aspect ratio: none (0.0) when only the container has one.
                EXPECT_NEAR(video.DisplayAspectRatio, codecAspect ? double(darNum) / darDen : 0.0, 1e-5);
            }
        }
        EXPECT_EQ(probe.AudioStreamCount(), counts["audio"]);
        EXPECT_EQ(probe.VideoStreamCount(), counts["video"]);
        EXPECT_EQ(probe.SubtitleStreamCount(), counts["subtitle"]);
        EXPECT_EQ(probe.FirstAudioStream(), counts["audio"] ? first["audio"] : -1);
        EXPECT_EQ(probe.FirstVideoStream(), counts["video"] ? first["video"] : -1);
        EXPECT_EQ(probe.FirstSubtitleStream(), counts["subtitle"] ? first["subtitle"] : -1);
    }
}

TEST(ProbeTexts, SizeDurationRateAndKeyNames)
{
    const struct { int64_t bytes; const char* text; } sizes[] = {
        {1536, "1.50 KB"}, {1024, "1024 Byte"}, {1025, "1.00 KB"}, {0, "0 Byte"}, {-1, "-1 Byte"},
        {1048576, "1024.00 KB"}, {1572864, "1.50 MB"}, {1073741824, "1024.00 MB"},
        {5368709120, "5.00 GB"},
    };
    for (auto s : sizes)
        EXPECT_EQ(FileSizeText(s.bytes), s.text) << s.bytes;

    const struct { int64_t time_us; const char* text; } durations[] = {
        {3723500000, "01:02:03.500"}, {0, "00:00:00.000"}, {999, "00:00:00.000"},
        {59999999, "00:00:59.999"}, {360000000000, "100:00:00.000"}, {AV_NOPTS_VALUE, "N/A"},
    };
    for (auto d : durations)
        EXPECT_EQ(DurationText(d.time_us), d.text) << d.time_us;

    const struct { double value; const char* unit; const char* text; } rates[] = {
        {25, "fps", ", 25 fps"}, {30000.0 / 1001, "fps", ", 29.97 fps"}, {24000.0 / 1001, "tbr", ", 23.98 tbr"},
        {90000, "tbn", ", 90k tbn"}, {1000, "tbn", ", 1k tbn"}, {12800, "tbn", ", 12800 tbn"},
        {50, "tbc", ", 50 tbc"}, {12.5, "fps", ", 12.50 fps"},
    };
    for (auto r : rates)
        EXPECT_EQ(RateText(r.value, r.unit), r.text) << r.value;

    const struct { const char* key; const char* shown; } keys[] = {
        {"TPE1", "artist"}, {"TP1", "artist"}, {"TYER", "year"}, {"TSOP", "authorsort"},
        {"tpe1", "tpe1"}, {"artist", "artist"}, {"XQVX", "XQVX"},
    };
    for (auto k : keys)
        EXPECT_EQ(MetadataKeyName(k.key), k.shown) << k.key;
}

// Exact pieces of the information text for generated files.
TEST_F(ProbeTest, InformationTextLayout)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const struct {
        const char* fixture;
        std::vector<std::string> pieces;
    } cases[] = {
        {"ntsc_2997.mp4",
         {"\nFormat Name: mov,mp4,m4a,3gp,3g2,mj2\nFormat Long Name: QuickTime / MOV\nFile Size: ",
          "\nDuration: 00:00:01.001\nStartTime: 0.000000\nBit Rate: ",
          " kb/s\nTime Stamp: 2020-01-02 03:04:05\nMetadata:\n  major_brand     : isom\n",
          "  creation_time   : 2020-01-02T03:04:05.000000Z\n",
          "\nStream #0[0x1](und), 1/30000: Video: mpeg4 ",
          ", 29.97 fps, 29.97 tbr, 30k tbn, 29.97 tbc, StartTime: 0.000000, Duration: 00:00:01.001\n"
          "  Metadata:\n    creation_time   : 2020-01-02T03:04:05.000000Z\n    handler_name    : VideoHandler\n"}},
        {"av_h264_aac.mp4", {", 25 fps, 25 tbr, 12800 tbn, 25 tbc, StartTime: 0.000000, Duration: 00:00:03.000\n"}},
        {"av_mpeg2_mp2.ts",
         {"\nProgram 1 FFmpeg@Service01\n  Metadata:\n    service_name    : Service01\n"
          "    service_provider: FFmpeg\nStream #0[0x100], 1/90000: Video: mpeg2video (Main) ",
          ", 25 fps, 25 tbr, 90k tbn, 25 tbc, StartTime: 1.440000, Duration: 00:00:03.000\n"
          "Stream #1[0x101], 1/90000: Audio: mp2 "}},
        // An ID3v2 "TPE1" frame reaches us as "artist"; raw frame keys in Matroska tags
        // are shown by their names, unknown keys as they are.
        {"tagged.mp3", {"\nMetadata:\n  artist          : Quorvex Artist\n  title           : Tagged Tone\n"}},
        {"raw_keys.mkv",
         {"\nMetadata:\n  XQVX            : kept as is\n  artist          : Raw Key Artist\n"
          "  title           : Raw Key Title\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        ASSERT_TRUE(probe.LoadFile(test::Fixture(c.fixture))) << probe.LastError();
        const std::string text = probe.InfoText();
        EXPECT_EQ(text.rfind("File Name: " + test::Fixture(c.fixture) + "\n", 0), 0u);
        for (const std::string& piece : c.pieces)
            EXPECT_NE(text.find(piece), std::string::npos) << "missing:\n" << piece << "\nin:\n" << text;
    }

    // A stream whose only tag is its language shows it in the line, and no block.
    ASSERT_TRUE(probe.LoadFile(test::Fixture("lang_only.ts")));
    const std::string text = probe.InfoText();
    const size_t line = text.find("\nStream #0[0x100](eng), 1/90000: Audio: mp2 ");
    ASSERT_NE(line, std::string::npos) << text;
    EXPECT_EQ(text.find("Metadata:", line), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');

    // Sizes of real files.
    const std::string dir = test::ScratchDir("ProbeSizes");
    for (auto [bytes, shown] : {std::pair{1536u, "1.50 KB"}, std::pair{1024u, "1024 Byte"}}) {
        const std::string path = dir + "/" + std::to_string(bytes) + ".wav";
        WriteWav(path, bytes);
        ASSERT_TRUE(probe.LoadFile(path)) << probe.LastError();
        EXPECT_EQ(probe.FileSize(), bytes);
        EXPECT_NE(probe.InfoText().find(std::string("\nFile Size: ") + shown + "\n"), std::string::npos);
    }
}

TEST_F(ProbeTest, FileTags)
{
    ASSERT_TRUE(probe.LoadFile(test::Fixture("tagged.mp3")));
    TFileStreamInfo info;
    probe.GetFileStreamInfo(info);
    EXPECT_EQ(info.Title, "Tagged Tone");
    EXPECT_EQ(info.Author, "Quorvex Artist");
    EXPECT_EQ(info.Album, "Fixtures");
    EXPECT_EQ(info.Genre, "Test");
    EXPECT_EQ(info.Comment, "made for tests");
    EXPECT_EQ(info.Copyright, "Nobody");
    EXPECT_EQ(info.Year, 2009);
    EXPECT_EQ(info.Track, 3);
    EXPECT_EQ(info.Timestamp, -1);

    ASSERT_TRUE(probe.LoadFile(test::Fixture("ntsc_2997.mp4")));
    probe.GetFileStreamInfo(info);
    EXPECT_EQ(info.Timestamp, 1577934245); // 2020-01-02 03:04:05 UTC
    EXPECT_EQ(info.Title, "");
    EXPECT_EQ(info.Year, -1);
    EXPECT_EQ(info.Track, -1);
}

TEST_F(ProbeTest, LoadFailuresLeaveTheProbeClosed)
{
    const std::string missing = test::ScratchDir("ProbeMissing") + "/no such file.mp4";
    const struct {
        std::string file;
        std::string format;
        std::string message;
        bool logged;
    } cases[] = {
        {missing, "", missing + ": No such file or directory", true},
        {test::Fixture("not_media.mp4"), "", test::Fixture("not_media.mp4") + ": Invalid data found when processing input", true},
        {test::Fixture("truncated.mp4"), "", test::Fixture("truncated.mp4") + ": Invalid data found when processing input", true},
        {test::Fixture("audio.mp3"), "nosuchformat", "Unknown input format: nosuchformat", false},
        // The forced demuxer takes the text, but no stream parameters can be found in it.
        {test::Fixture("not_media.mp4"), "h264", test::Fixture("not_media.mp4") + ": could not find codec parameters", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ASSERT_TRUE(probe.LoadFile(test::Fixture("av_h264_aac.mp4"), "mp4"));
        EXPECT_EQ(probe.ForcedFormat(), "mp4");
        TakeLog();
        EXPECT_FALSE(probe.LoadFile(c.file, c.format));
        if (c.logged) {
            ExpectReported(c.message, llError);
        } else {
            EXPECT_EQ(probe.LastError(), c.message);
            EXPECT_TRUE(TakeLog().empty());
        }
        ExpectClosed();
        EXPECT_EQ(probe.InfoText(), "");
    }
}

TEST_F(ProbeTest, QueriesWithoutFileOrStream)
{
    TFileStreamInfo file;
    TAudioStreamInfo audio;
    TVideoStreamInfo video;
    // Records come back at their none values even when they held something before.
    auto spoil = [&] {
        file.Duration = 5, file.Title = "x";
        audio.Channels = 5, audio.CodecName = "x";
        video.Width = 5, video.DisplayAspectRatio = 2.0f;
    };

    spoil();
    probe.GetFileStreamInfo(file);
    ExpectReported("file not loaded.", llWarning);
    probe.GetAudioStreamInfo(-1, audio);
    ExpectReported("file not loaded.", llWarning);
    probe.GetVideoStreamInfo(0, video);
    ExpectReported("file not loaded.", llWarning);
    EXPECT_EQ(probe.InfoText(), "");
    ExpectReported("file not loaded.", llWarning);
    EXPECT_EQ(file, TFileStreamInfo{});
    EXPECT_EQ(audio, TAudioStreamInfo{});
    EXPECT_EQ(video, TVideoStreamInfo{});

    ASSERT_TRUE(probe.LoadFile(test::Fixture("audio.mp3")));
    spoil();
    probe.GetVideoStreamInfo(-1, video);
    ExpectReported("no video stream.", llError);
    EXPECT_EQ(video, TVideoStreamInfo{});

    ASSERT_TRUE(probe.LoadFile(test::Fixture("video_only.avi")));
    probe.GetAudioStreamInfo(-1, audio);
    ExpectReported("no audio stream.", llError);

    ASSERT_TRUE(probe.LoadFile(test::Fixture("av_h264_aac.mp4"))); // 0 video, 1 audio
    TakeLog();
    const struct {
        bool audioQuery;
        int index;
        std::string message;
    } misses[] = {
        {true, 5, "stream index #5 is invalid."},
        {false, 2, "stream index #2 is invalid."},
        {false, 1, "stream #1 is not video stream."},
        {true, 0, "stream #0 is not audio stream."},
    };
    for (const auto& m : misses) {
        spoil();
        if (m.audioQuery) {
            probe.GetAudioStreamInfo(m.index, audio);
            EXPECT_EQ(audio, TAudioStreamInfo{});
        } else {
            probe.GetVideoStreamInfo(m.index, video);
            EXPECT_EQ(video, TVideoStreamInfo{});
        }
        ExpectReported(m.message, llError);
    }

    // Any negative index means the first stream of the kind.
    TAudioStreamInfo first;
    probe.GetAudioStreamInfo(1, first);
    probe.GetAudioStreamInfo(-7, audio);
    EXPECT_EQ(audio, first);
    EXPECT_EQ(audio.SampleRate, 44100);
    EXPECT_TRUE(TakeLog().empty());
}

// An adopted container is described but stays its owner's.
TEST_F(ProbeTest, AttachedContextsAreNotOwned)
{
    const std::string name = test::Fixture("av_mpeg4_mp3.avi");
    AVFormatContext* context = nullptr;
    ASSERT_EQ(OpenInputByName(&context, name, nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(context, nullptr), 0);
    {
        TAVProbe attached;
        attached.AttachContext(context);
        EXPECT_EQ(attached.Context(), context);
        EXPECT_FALSE(attached.OwnsContext());
        EXPECT_EQ(attached.FileName(), name);
        EXPECT_EQ(attached.StreamCount(), 2);
        EXPECT_EQ(attached.FileSize(), static_cast<int64_t>(fs::file_size(name)));
        EXPECT_EQ(attached.InfoText().rfind("File Name: " + name + "\n", 0), 0u);
        attached.Close();
        EXPECT_EQ(attached.StreamCount(), -1);
        attached.AttachContext(context);
        attached.AttachContext(nullptr); // no file: everything at its none value
        EXPECT_EQ(attached.Context(), nullptr);
        EXPECT_EQ(attached.FileSize(), -1);
        attached.AttachContext(context);
    } // destroyed while attached
    AVPacket* packet = av_packet_alloc();
    EXPECT_GE(av_read_frame(context, packet), 0); // the container is still alive and open
    av_packet_free(&packet);
    CloseInput(&context);
}

// Without a size from the container, the size is the file system's for the file named by
// the container's URL (our URL form included); a folder has none.
TEST_F(ProbeTest, FileSizeFromTheFileSystem)
{
    const std::string dir = test::ScratchDir("ProbeFileSize");
    const std::string path = dir + "/名字\xff.wav";
    WriteWav(path, 1536);
    for (const auto& [url, size] : {std::pair{NameToLibraryURL(path), int64_t(1536)},
                                    std::pair{path, int64_t(1536)}, std::pair{dir, int64_t(-1)}}) {
        AVFormatContext* context = avformat_alloc_context();
        context->url = av_strdup(url.c_str());
        probe.AttachContext(context);
        EXPECT_EQ(probe.FileSize(), size) << url;
        EXPECT_EQ(probe.StreamCount(), 0);
        probe.Close();
        avformat_free_context(context);
    }
}

// Streams whose decoder is missing are named from their id, their tag or the tag number;
// a time base without a denominator is repaired.
TEST_F(ProbeTest, CodecNamesAndTimeBaseRepair)
{
    // An audio codec the libraries know but cannot decode.
    AVCodecID undecodable = AV_CODEC_ID_NONE;
    const AVCodecDescriptor* descriptor = nullptr;
    while ((descriptor = avcodec_descriptor_next(descriptor))) {
        if (descriptor->type == AVMEDIA_TYPE_AUDIO && !avcodec_find_decoder(descriptor->id)) {
            undecodable = descriptor->id;
            break;
        }
    }
    ASSERT_NE(undecodable, AV_CODEC_ID_NONE);

    const struct {
        AVCodecID id;
        uint32_t tag;
        AVRational timeBase;
        std::string name;
        AVRational repaired;
    } cases[] = {
        {AV_CODEC_ID_MP2, 0, {1, 44100}, "mp2(MP2 (MPEG audio layer 2))", {1, 44100}},
        {AV_CODEC_ID_MPEG2TS, 0, {0, 0}, "mpeg2ts", {0, 1}},
        {undecodable, 0, {7, 0}, avcodec_get_name(undecodable), {7, 7}},
        {AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 'd'), {1, 1000}, "abcd / 0x64636261", {1, 1000}},
        {AV_CODEC_ID_NONE, 0x0001, {1, 1000}, "0x0001", {1, 1000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AVFormatContext* context = avformat_alloc_context();
        AVStream* stream = avformat_new_stream(context, nullptr);
        stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        stream->codecpar->codec_id = c.id;
        stream->codecpar->codec_tag = c.tag;
        stream->time_base = c.timeBase;
        probe.AttachContext(context);
        TAudioStreamInfo info;
        probe.GetAudioStreamInfo(0, info);
        EXPECT_EQ(info.CodecName, c.name);
        EXPECT_EQ(stream->time_base.num, c.repaired.num);
        EXPECT_EQ(stream->time_base.den, c.repaired.den);
        probe.Close();
        avformat_free_context(context);
    }
}

TEST_F(ProbeTest, MissingLibrariesRaise)
{
    const struct { TLibraryIndex index; const char* message; } libraries[] = {
        {libAVCodec, "LibAVCodec not loaded."}, {libAVFormat, "LibAVFormat not loaded."},
        {libAVUtil, "LibAVUtil not loaded."}, {libSWScale, "LibSwScale not loaded."},
    };
    for (const auto& library : libraries) {
        FFLoader().UnloadLibraries(1u << library.index);
        try {
            probe.LoadFile(test::Fixture("audio.mp3"));
            ADD_FAILURE() << "no exception for " << library.message;
        } catch (const FFmpegException& e) {
            EXPECT_STREQ(e.what(), library.message);
        }
        EXPECT_THROW(probe.AttachContext(nullptr), FFmpegException);
        test::LoadConverterLibraries();
    }
    // With everything unloaded, the first library of the order is named.
    FFLoader().UnloadLibraries(CONVERTER_LIBRARIES);
    try {
        probe.LoadFile(test::Fixture("audio.mp3"));
        ADD_FAILURE() << "no exception";
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "LibAVCodec not loaded.");
    }
    test::LoadConverterLibraries();
    EXPECT_TRUE(probe.LoadFile(test::Fixture("audio.mp3")));
}

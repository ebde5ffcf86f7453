#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "runtime/LibraryErrors.h"
#include "runtime/MediaIO.h"
#include "runtime/UnicodeProtocol.h"
#include "support/TestSupport.h"

using namespace qv;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

struct InputCloser {
    void operator()(AVFormatContext* context) const { CloseInput(&context); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;

struct OutputCloser {
    void operator()(AVFormatContext* context) const
    {
        CloseOutputIO(context);
        avformat_free_context(context);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputCloser>;

InputPtr OpenInput(const std::string& name, int* result = nullptr)
{
    AVFormatContext* context = nullptr;
    const int opened = OpenInputByName(&context, name, nullptr, nullptr);
    if (result)
        *result = opened;
    return InputPtr(opened >= 0 ? context : nullptr);
}

// Packets of the whole input.
int CountPackets(AVFormatContext* input)
{
    AVPacket* packet = av_packet_alloc();
    int count = 0;
    while (av_read_frame(input, packet) >= 0) {
        ++count;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return count;
}

// Copies every stream of source into a new MP4 file named name (through OpenOutputByName).
// The muxer seeks back to finish the file and, to move its index to the front, opens the
// file once more by its stored URL (through the context's io_open). Returns the number of
// packets written.
int RemuxToMp4(const std::string& source, const std::string& name, bool* usedUnicodeIO)
{
    InputPtr input = OpenInput(source);
    EXPECT_TRUE(input);
    if (!input || avformat_find_stream_info(input.get(), nullptr) < 0)
        return -1;
    AVFormatContext* raw = nullptr;
    EXPECT_GE(avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr), 0);
    OutputPtr output(raw);
    av_freep(&output->url);
    output->url = av_strdup(NameToLibraryURL(name).c_str());
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(output.get(), nullptr);
        avcodec_parameters_copy(stream->codecpar, input->streams[i]->codecpar);
        stream->codecpar->codec_tag = 0;
        stream->time_base = input->streams[i]->time_base;
    }
    EXPECT_EQ(OpenOutputByName(output.get(), name, AVIO_FLAG_WRITE, nullptr), 0);
    *usedUnicodeIO = UsesUnicodeIO(output.get());
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    EXPECT_GE(avformat_write_header(output.get(), &options), 0);
    av_dict_free(&options);
    AVPacket* packet = av_packet_alloc();
    int count = 0;
    while (av_read_frame(input.get(), packet) >= 0) {
        av_packet_rescale_ts(packet, input->streams[packet->stream_index]->time_base,
                             output->streams[packet->stream_index]->time_base);
        packet->pos = -1;
        EXPECT_GE(av_interleaved_write_frame(output.get(), packet), 0);
        ++count;
    }
    av_packet_free(&packet);
    EXPECT_GE(av_write_trailer(output.get()), 0);
    return count;
}

} // namespace

TEST(UnicodeNames, ConversionTable)
{
    const std::string longInvalid = "/tmp/" + std::string(3000, 'a') + "\xff.mp4";
    const struct {
        std::string name;
        bool needsURL;
    } cases[] = {
        {"/tmp/clip.mp4", false},
        {"/tmp/视频 文件 😀.mp4", false},        // valid UTF-8, however wide the characters
        {"", false},
        {"/tmp/bad\xff name.mp4", true},          // a stray byte
        {"/tmp/\xc0\xaf.mp4", true},              // overlong form of '/'
        {"/tmp/\xed\xa0\x80.mp4", true},          // a surrogate
        {"/tmp/cut\xe4\xb8", true},               // a sequence cut short
        {"udp://239.0.0.1:1234", false},          // known prefix
        {"udp:\xff", false},                      // a known prefix wins over the bytes
        {"UDP:\xff", true},                       // prefixes are case-sensitive
        {"unicode:utf8:/tmp/\xff.mp4", false},    // already our URL
        {"code:\xff", true},                      // only whole prefixes count
        {"C:\xff", true},                         // drive-letter style names reach the text test
        {longInvalid, true},                      // no length cut
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40));
        EXPECT_EQ(NeedsUnicodeURL(c.name), c.needsURL);
        const std::string url = NameToLibraryURL(c.name);
        EXPECT_EQ(url, c.needsURL ? UNICODE_URL_PREFIX + c.name : c.name);
        EXPECT_EQ(IsUnicodeURL(url), c.needsURL || c.name.rfind(UNICODE_URL_PREFIX, 0) == 0);
        // Round trip back to the name (our own URLs decode to the name inside).
        EXPECT_EQ(LibraryURLToName(url), c.name.rfind(UNICODE_URL_PREFIX, 0) == 0 ? c.name.substr(13) : c.name);
    }

    const struct {
        const char* text;
        bool isURL;
        const char* name;
    } stored[] = {
        {"unicode:utf8:", false, "unicode:utf8:"},  // 13 bytes: never a URL
        {"unicode:utf8:a", true, "a"},
        {"unicode:utf8:/a:b/c", true, "/a:b/c"},
        {"Unicode:utf8:/a", false, "Unicode:utf8:/a"},
        {"/plain/name.mp4", false, "/plain/name.mp4"},
    };
    for (const auto& s : stored) {
        EXPECT_EQ(IsUnicodeURL(s.text), s.isURL) << s.text;
        EXPECT_EQ(LibraryURLToName(s.text), s.name) << s.text;
    }
}

TEST(UnicodeProtocol, OpenAccessAndCreation)
{
    const std::string dir = test::ScratchDir("UnicodeProtocolOpen");
    const std::string existing = dir + "/existing \xff.bin";
    WriteAll(existing, "old content");
    const TUnicodeProtocol& protocol = UnicodeProtocol();
    EXPECT_STREQ(protocol.name, "unicode");

    const struct {
        std::string url;
        int flags;
        int result;
        bool existsAfter;
        int64_t sizeAfter;
    } cases[] = {
        {UNICODE_URL_PREFIX + dir + "/missing.bin", paReadOnly, -2, false, -1},
        {UNICODE_URL_PREFIX + dir + "/created-w.bin", paWriteOnly, 0, true, 0},
        {UNICODE_URL_PREFIX + dir + "/created-rw.bin", paReadWrite, 0, true, 0},
        {UNICODE_URL_PREFIX + dir + "/no such folder/x.bin", paWriteOnly, -2, false, -1},
        {UNICODE_URL_PREFIX + dir, paReadOnly, -2, true, -1},           // a folder is not a file
        {UNICODE_URL_PREFIX + existing, paReadOnly, 0, true, 11},       // reading keeps the content
        {UNICODE_URL_PREFIX + existing, paWriteOnly, 0, true, 0},       // writing truncates
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " flags " + std::to_string(c.flags));
        TUnicodeFile file;
        EXPECT_EQ(protocol.open(&file, c.url.c_str(), c.flags), c.result);
        EXPECT_EQ(file.handle >= 0, c.result == 0);
        if (c.result == 0) {
            EXPECT_EQ(protocol.close(&file), 0);
        }
        const std::string path = LibraryURLToName(c.url);
        EXPECT_EQ(fs::exists(path), c.existsAfter);
        if (c.sizeAfter >= 0) {
            EXPECT_EQ(static_cast<int64_t>(fs::file_size(path)), c.sizeAfter);
        }
    }
}

TEST(UnicodeProtocol, ReadWriteSeekAndSizeQuery)
{
    const std::string url = UNICODE_URL_PREFIX + test::ScratchDir("UnicodeProtocolSeek") + "/数据 文件.bin";
    const TUnicodeProtocol& protocol = UnicodeProtocol();
    TUnicodeFile file;
    ASSERT_EQ(protocol.open(&file, url.c_str(), paReadWrite), 0);
    const std::string digits = "0123456789";
    EXPECT_EQ(protocol.write(&file, reinterpret_cast<const uint8_t*>(digits.data()), 10), 10);

    EXPECT_EQ(protocol.seek(&file, 4, SEEK_SET), 4);
    EXPECT_EQ(protocol.seek(&file, 0, SEEK_SIZE_QUERY), 10);
    EXPECT_EQ(protocol.seek(&file, 0, SEEK_CUR), 4);  // the size query did not move
    uint8_t buffer[16] = {};
    EXPECT_EQ(protocol.read(&file, buffer, 3), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "456");
    EXPECT_EQ(protocol.seek(&file, -2, SEEK_END), 8);
    EXPECT_EQ(protocol.read(&file, buffer, 16), 2);
    EXPECT_EQ(protocol.read(&file, buffer, 16), 0);
    EXPECT_EQ(protocol.seek(&file, 0, 7), -1);
    EXPECT_EQ(protocol.seek(&file, -20, SEEK_SET), -1);
    EXPECT_EQ(protocol.close(&file), 0);
    EXPECT_EQ(ReadAll(LibraryURLToName(url)), digits);
}

// While a file is open through the protocol, others may read it but not write it; a
// refused writer leaves the content as it was.
TEST(UnicodeProtocol, SharingReadersAndWriters)
{
    const std::string path = test::ScratchDir("UnicodeProtocolSharing") + "/shared.bin";
    WriteAll(path, "keep me");
    const std::string url = UNICODE_URL_PREFIX + path;
    const TUnicodeProtocol& protocol = UnicodeProtocol();

    TUnicodeFile reader1, reader2, writer1, writer2;
    ASSERT_EQ(protocol.open(&reader1, url.c_str(), paReadOnly), 0);
    EXPECT_EQ(protocol.open(&reader2, url.c_str(), paReadOnly), 0);
    EXPECT_EQ(protocol.open(&writer1, url.c_str(), paWriteOnly), -2);
    EXPECT_EQ(protocol.open(&writer1, url.c_str(), paReadWrite), -2);
    EXPECT_EQ(ReadAll(path), "keep me");
    protocol.close(&reader1);
    EXPECT_EQ(protocol.open(&writer1, url.c_str(), paWriteOnly), -2); // one reader is left
    protocol.close(&reader2);

    ASSERT_EQ(protocol.open(&writer1, url.c_str(), paWriteOnly), 0);
    EXPECT_EQ(protocol.write(&writer1, reinterpret_cast<const uint8_t*>("new"), 3), 3);
    EXPECT_EQ(protocol.open(&writer2, url.c_str(), paReadWrite), -2);
    ASSERT_EQ(protocol.open(&reader1, url.c_str(), paReadOnly), 0);
    uint8_t buffer[8] = {};
    EXPECT_EQ(protocol.read(&reader1, buffer, 8), 3);
    protocol.close(&reader1);
    protocol.close(&writer1);
    EXPECT_EQ(protocol.open(&writer2, url.c_str(), paWriteOnly), 0);
    protocol.close(&writer2);
}

class MediaIOTest : public ::testing::Test {
protected:
    void SetUp() override { test::LoadConverterLibraries(); }
};

// A name with Chinese characters and spaces is written and read back through the helpers,
// as a plain name (the libraries' own file protocol) and as our URL (our I/O context); a
// name that is not UTF-8 takes our URL by itself.
TEST_F(MediaIOTest, NamesWrittenAndReadThroughHelpers)
{
    const std::string dir = test::ScratchDir("MediaIONames");
    const std::string chinese = dir + "/中文 视频 文件.mp4";
    const std::string invalid = dir + "/bad\xff name.mp4";
    const struct {
        std::string name;
        std::string path;
        bool unicodeIO;
    } cases[] = {
        {chinese, chinese, false},
        {UNICODE_URL_PREFIX + chinese, chinese, true},
        {invalid, invalid, true},
    };
    const std::string source = test::Fixture("av_h264_aac.mp4");
    InputPtr original = OpenInput(source);
    ASSERT_TRUE(original);
    const int sourcePackets = CountPackets(original.get());
    ASSERT_GT(sourcePackets, 0);
    ASSERT_GE(av_seek_frame(original.get(), -1, 0, AVSEEK_FLAG_BACKWARD), 0);
    const int packetsAfterSeek = CountPackets(original.get());

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(c.path);
        bool usedUnicodeIO = !c.unicodeIO;
        EXPECT_EQ(RemuxToMp4(source, c.name, &usedUnicodeIO), sourcePackets);
        EXPECT_EQ(usedUnicodeIO, c.unicodeIO);
        ASSERT_TRUE(fs::exists(c.path));
        EXPECT_LT(ReadAll(c.path).find("moov"), ReadAll(c.path).find("mdat")) << "index not moved to the front";

        int result = 0;
        InputPtr input = OpenInput(c.name, &result);
        ASSERT_EQ(result, 0) << LibraryErrorText(c.name, result);
        EXPECT_EQ(UsesUnicodeIO(input.get()), c.unicodeIO);
        EXPECT_EQ(LibraryURLToName(input->url), c.path);
        ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
        EXPECT_EQ(input->nb_streams, 2u);
        EXPECT_EQ(avio_size(input->pb), static_cast<int64_t>(fs::file_size(c.path)));
        EXPECT_EQ(CountPackets(input.get()), sourcePackets);
        // Seeking back to the start reads the same again.
        ASSERT_GE(av_seek_frame(input.get(), -1, 0, AVSEEK_FLAG_BACKWARD), 0);
        EXPECT_EQ(CountPackets(input.get()), packetsAfterSeek);
    }
}

TEST_F(MediaIOTest, MissingFilesAndLockedOutputs)
{
    const std::string dir = test::ScratchDir("MediaIOMissing");
    for (const std::string& name : {dir + "/missing.wav", UNICODE_URL_PREFIX + dir + "/missing.wav",
                                    dir + "/missing\xff.wav"}) {
        AVFormatContext* context = avformat_alloc_context();
        const int result = OpenInputByName(&context, name, nullptr, nullptr);
        EXPECT_EQ(result, AVERROR(ENOENT)) << name;
        EXPECT_EQ(context, nullptr);
        EXPECT_EQ(LibraryErrorText("x", result), "x: No such file or directory");
    }

    // An output that another writer holds through the protocol cannot be opened.
    const std::string path = dir + "/held\xff.wav";
    TUnicodeFile holder;
    ASSERT_EQ(UnicodeProtocol().open(&holder, NameToLibraryURL(path).c_str(), paWriteOnly), 0);
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "wav", nullptr), 0);
    OutputPtr output(raw);
    EXPECT_EQ(OpenOutputByName(output.get(), path, AVIO_FLAG_WRITE, nullptr), AVERROR(ENOENT));
    EXPECT_EQ(output->pb, nullptr);
    UnicodeProtocol().close(&holder);
    EXPECT_EQ(OpenOutputByName(output.get(), path, AVIO_FLAG_WRITE, nullptr), 0);
    EXPECT_TRUE(UsesUnicodeIO(output.get()));
}

// Encoder bit rates when the job names none, and which keys reach which encoder.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace qv;

namespace {

// The rate-control settings libx264 writes into its stream, e.g. "rc=abr ... bitrate=200".
std::string X264Settings(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t start = data.find("x264 - core");
    if (start == std::string::npos)
        return "";
    const size_t end = data.find('\0', start);
    return data.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace

TEST(CliEncoderBitRate, VideoDefaultsToTwoHundredKbitAndAudioKeysStayWithAudio)
{
    const std::string dir = test::ScratchDir("CliEncoderBitRate");
    const struct {
        const char* name;
        std::vector<std::string> keys;
        const char* x264BitRate; // as libx264 reports it, kbit/s
    } cases[] = {
        {"default", {}, " bitrate=200 "},
        {"video_key", {"-b", "500000"}, " bitrate=500 "},
        {"audio_key", {"-ab", "96000"}, " bitrate=200 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir + "/" + c.name + ".mp4";
        std::vector<std::string> command = {test::CliPath(), "-i", test::Fixture("av_h264_aac.mp4"),
                                            "-vcodec", "libx264", "-vpre", "ultrafast", "-acodec", "aac"};
        command.insert(command.end(), c.keys.begin(), c.keys.end());
        command.push_back(out);
        const auto result = test::Run(command);
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        const std::string settings = X264Settings(out);
        EXPECT_NE(settings.find(" rc=abr "), std::string::npos) << settings;
        EXPECT_NE(settings.find(c.x264BitRate), std::string::npos) << settings;
    }

    // Audio alone keeps its own default of 128 kbit/s (constant rate: the frames say it).
    const std::string mp3 = dir + "/audio.mp3";
    const auto result = test::Run({test::CliPath(), "-i", test::Fixture("audio.wav"), "-acodec", "libmp3lame", mp3});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    const auto info = test::Probe(mp3);
    ASSERT_TRUE(info.count("streams.stream.0.bit_rate"));
    EXPECT_EQ(info.at("streams.stream.0.bit_rate"), "128000");
}

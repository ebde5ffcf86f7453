// Encoder bit rates when the job names none, and which keys reach which encoder, as the
// output's description in the log states them.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace qv;

namespace {

// The "NNN kb/s" of the output's first stream of a kind ("Video" or "Audio"); empty
// when the line has none.
std::string OutputRate(const std::string& log, const std::string& kind)
{
    std::istringstream lines(log.substr(std::min(log.find("Output #0"), log.size())));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(" " + kind + ": ") == std::string::npos)
            continue;
        const size_t unit = line.find(" kb/s");
        if (unit == std::string::npos)
            return "";
        const size_t start = line.rfind(' ', unit - 1) + 1;
        return line.substr(start, unit - start);
    }
    return "";
}

} // namespace

TEST(CliEncoderBitRate, VideoDefaultsToTwoHundredKbitAndAudioKeysStayWithAudio)
{
    const std::string dir = test::ScratchDir("CliEncoderBitRate");
    const struct {
        const char* name;
        std::vector<std::string> keys;
        const char* video_kbps;
        const char* audio_kbps;
    } cases[] = {
        {"default", {}, "200", ""},
        {"audio_key", {"-ab", "96000"}, "200", "96"},
        {"video_key", {"-b", "500000"}, "500", "128"}, // audio keeps the audio default, not 500
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> command = {test::CliPath(), "-i", test::Fixture("av_h264_aac.mp4"),
                                            "-vcodec", "mpeg4", "-acodec", "libmp3lame"};
        command.insert(command.end(), c.keys.begin(), c.keys.end());
        command.push_back(dir + "/" + c.name + ".avi");
        const auto result = test::Run(command);
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(OutputRate(result.errors, "Video"), c.video_kbps) << result.errors;
        if (c.audio_kbps) {
            EXPECT_EQ(OutputRate(result.errors, "Audio"), c.audio_kbps) << result.errors;
        }
    }
}

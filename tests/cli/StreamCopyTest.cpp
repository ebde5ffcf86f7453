// Stream-copy jobs through quorvex-cli, each output checked with ffprobe.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace qv;
using test::Fixture;
using test::Probe;
using test::ToDouble;

namespace {

test::CommandResult Cli(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), test::CliPath());
    return test::Run(arguments);
}

double Duration(const std::map<std::string, std::string>& info)
{
    return ToDouble(info.count("format.duration") ? info.at("format.duration") : "");
}

int Frames(const std::string& file, const std::string& stream = "v:0")
{
    const auto result = test::Run({"ffprobe", "-v", "error", "-count_packets", "-select_streams", stream,
                                   "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", file});
    return result.exitCode == 0 ? std::atoi(result.output.c_str()) : -1;
}

} // namespace

TEST(CliStreamCopy, JobsProduceTheExpectedFiles)
{
    const std::string dir = test::ScratchDir("CliStreamCopy");
    const struct {
        const char* name;
        std::vector<std::string> arguments; // with OUT for the output
        const char* format;                 // ffprobe's format name
        std::vector<std::string> codecs;    // stream codecs in order
        double duration_s;                  // expected
        double extra_s = 0.0;               // a copy may also hold the group of pictures before the start
    } cases[] = {
        {"remux", {"-i", Fixture("av_h264_aac.mkv"), "-vcodec", "copy", "-acodec", "copy", "OUT.mp4"},
         "mov,mp4,m4a,3gp,3g2,mj2", {"h264", "aac"}, 3.0},
        {"audio into another container", {"-i", Fixture("av_mpeg4_mp3.avi"), "-vn", "-acodec", "copy", "OUT.mka"},
         "matroska,webm", {"mp3"}, 3.0},
        {"window", {"-ss", "2", "-i", Fixture("long_h264_aac.mkv"), "-t", "3", "-vcodec", "copy", "-acodec", "copy",
                    "OUT.mkv"},
         "matroska,webm", {"h264", "aac"}, 3.0, 1.0},
        {"shortest", {"-i", Fixture("long_h264_aac.mkv"), "-i", Fixture("audio.wav"), "-map", "0.0", "-map", "1.0",
                      "-shortest", "-vcodec", "copy", "-acodec", "copy", "OUT.mkv"},
         "matroska,webm", {"h264", "pcm_s16le"}, 3.0},
        {"second audio by map", {"-i", Fixture("two_audio.mkv"), "-map", "0:0", "-map", "0:2", "-vcodec", "copy",
                                 "-acodec", "copy", "OUT.mkv"},
         "matroska,webm", {"h264", "aac"}, 3.0},
        {"join", {"-i", Fixture("av_h264_aac.mkv"), "-i", Fixture("av_h264_aac.mkv"), "-vcodec", "copy", "-acodec",
                  "copy", "-join", "OUT.mkv"},
         "matroska,webm", {"h264", "aac"}, 6.0},
        {"timestamp jump", {"-i", Fixture("ts_jump.ts"), "-vcodec", "copy", "-acodec", "copy", "OUT.mkv"},
         "matroska,webm", {"mpeg2video", "mp2"}, 4.0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string output = dir + "/out" + std::to_string(n++);
        std::vector<std::string> arguments;
        for (std::string argument : c.arguments) {
            if (argument.rfind("OUT", 0) == 0)
                argument = output + argument.substr(3);
            arguments.push_back(argument);
        }
        const auto result = Cli(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        const std::string file = arguments.back();
        const auto info = Probe(file);
        EXPECT_EQ(info.count("format.format_name") ? info.at("format.format_name") : "", c.format);
        for (size_t s = 0; s < c.codecs.size(); ++s) {
            const std::string key = "streams.stream." + std::to_string(s) + ".codec_name";
            EXPECT_EQ(info.count(key) ? info.at(key) : "(none)", c.codecs[s]) << key;
        }
        EXPECT_EQ(info.count("streams.stream." + std::to_string(c.codecs.size()) + ".codec_name"), 0u)
            << "no extra stream";
        EXPECT_GE(Duration(info), c.duration_s - 0.15);
        EXPECT_LE(Duration(info), c.duration_s + c.extra_s + 0.15);
        EXPECT_EQ(test::DecodeErrors(file), "");
    }
}

TEST(CliStreamCopy, SecondAudioStreamIsTheOneMapped)
{
    // two_audio.mkv holds a 440 Hz track at 44100 Hz and a 1000 Hz track at 48000 Hz.
    const std::string out = test::ScratchDir("MapSecondAudio") + "/second.mka";
    const auto result = Cli({"-i", Fixture("two_audio.mkv"), "-map", "0:2", "-acodec", "copy", "-vn", out});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    const auto info = Probe(out);
    EXPECT_EQ(info.count("streams.stream.0.sample_rate") ? info.at("streams.stream.0.sample_rate") : "", "48000");
}

TEST(CliStreamCopy, FrameLimitStopsAtTheHundredthFrame)
{
    const std::string out = test::ScratchDir("FrameLimit") + "/first100.mkv";
    const auto result = Cli({"-i", Fixture("long_h264_aac.mkv"), "-vframes", "100", "-vcodec", "copy", "-an", out});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(Frames(out), 100);
}

TEST(CliStreamCopy, FailuresExitWithTheEngineMessage)
{
    const std::string dir = test::ScratchDir("CliFailures");
    const struct { std::vector<std::string> arguments; std::string message; } cases[] = {
        {{"-i", Fixture("av_h264_aac.mkv")}, "At least one output file must be specified"},
        {{dir + "/no-input.mkv"}, "At least one input file must be specified"},
        {{"-i", dir + "/missing.mkv", dir + "/x.mkv"}, dir + "/missing.mkv: No such file or directory"},
        {{"-i", Fixture("av_h264_aac.mkv"), "-map", "0:7", "-vcodec", "copy", "-an", dir + "/badmap.mkv"},
         "Could not find input stream #0.7"},
        {{"-i", Fixture("av_h264_aac.mkv"), "-vcodec", "nosuchencoder", dir + "/enc.mkv"},
         "new_video_stream fail: Unknown encoder 'nosuchencoder'"},
    };
    for (const auto& c : cases) {
        const auto result = Cli(c.arguments);
        EXPECT_EQ(result.exitCode, 1) << c.message;
        EXPECT_NE(result.errors.find(c.message), std::string::npos) << result.errors;
    }
}

TEST(CliStreamCopy, UsageOnHelp)
{
    const auto result = Cli({"-h"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.output.find("Usage: quorvex-cli"), std::string::npos);
}

TEST(CliStreamCopy, InterruptFinishesTheOutputAndExitsWith130)
{
    const std::string dir = test::ScratchDir("CliInterrupt");
    const std::string out = dir + "/interrupted.mkv";
    const std::string log = dir + "/log.txt";
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        // "-re" reads at the pace of the clock, so the 8 s input takes 8 s.
        ::execl(test::CliPath().c_str(), "quorvex-cli", "-re", "-i", Fixture("long_h264_aac.mkv").c_str(), "-vcodec",
                "copy", "-acodec", "copy", out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::usleep(1500 * 1000);
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const auto info = Probe(out);
    const double duration_s = Duration(info);
    EXPECT_GT(duration_s, 0.5);
    EXPECT_LT(duration_s, 6.0);
    EXPECT_EQ(test::DecodeErrors(out), "") << "the trailer was written";
}

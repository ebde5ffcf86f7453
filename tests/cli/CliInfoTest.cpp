#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "probe/AVProbe.h"
#include "support/TestSupport.h"

using namespace qv;

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

Result RunCli(const std::string& arguments)
{
    // One folder per test: tests run in parallel.
    const std::string dir = test::ScratchDir(std::string("CliRun-") +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string command =
        Quote(QUORVEX_CLI) + " " + arguments + " >" + Quote(dir + "/out") + " 2>" + Quote(dir + "/err");
    const int status = std::system(command.c_str());
    Result result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(dir + "/out");
    result.err = ReadFile(dir + "/err");
    return result;
}

} // namespace

// --info prints exactly the probe's information text of the file.
TEST(CliInfo, PrintsTheProbesText)
{
    test::LoadConverterLibraries();
    for (const char* fixture : {"av_mpeg2_mp2.ts", "tagged.mp3"}) {
        const std::string file = test::Fixture(fixture);
        TAVProbe probe;
        ASSERT_TRUE(probe.LoadFile(file)) << probe.LastError();
        const Result result = RunCli("--info " + Quote(file));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, probe.InfoText());
        EXPECT_EQ(result.err, "");
    }
}

TEST(CliInfo, FailuresAndUsage)
{
    const std::string kUsage =
        "Usage: quorvex-cli [options] -i INPUT [[options] -i INPUT ...] [options] OUTPUT [...]\n"
        "       quorvex-cli --info FILE    print the media information of FILE\n"
        "       quorvex-cli -h | --help    show this help\n";
    const std::string missing = test::ScratchDir("CliMissing") + "/没有 这个.mp4";
    const std::string notMedia = test::Fixture("not_media.mp4");
    const struct {
        std::string arguments;
        int exitCode;
        std::string out;
        std::string err;
    } cases[] = {
        {"--info " + Quote(missing), 1, "", missing + ": No such file or directory\n"},
        {"--info " + Quote(notMedia), 1, "", notMedia + ": Invalid data found when processing input\n"},
        {"--info", 2, "", kUsage},
        {"", 2, "", kUsage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Result result = RunCli(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
    }
    for (const char* help : {"-h", "--help"}) {
        const Result result = RunCli(help);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_NE(result.out.find("--info FILE"), std::string::npos) << result.out;
    }
}

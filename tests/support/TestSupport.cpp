#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "runtime/FFmpegLoader.h"

namespace qv::test {

std::string Fixture(const std::string& name)
{
    return std::string(QUORVEX_FIXTURES) + "/" + name;
}

std::string ScratchDir(const std::string& testName)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::path(QUORVEX_FIXTURES).parent_path() / "scratch" / testName;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

void LoadConverterLibraries()
{
    ASSERT_TRUE(FFLoader().LoadLibraries(CONVERTER_LIBRARIES)) << FFLoader().LastError();
}

namespace {
std::string ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
} // namespace

CommandResult Run(const std::vector<std::string>& command)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("qv-run-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string out = (dir / "out").string(), err = (dir / "err").string();
    CommandResult result;
    const pid_t child = ::fork();
    if (child == 0) {
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int nullFd = ::open("/dev/null", O_RDONLY);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        ::dup2(nullFd, 0);
        std::vector<char*> argv;
        for (const std::string& argument : command)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.output = ReadAll(out);
    result.errors = ReadAll(err);
    fs::remove_all(dir);
    return result;
}

std::string CliPath()
{
    return QUORVEX_CLI;
}

std::map<std::string, std::string> Probe(const std::string& file)
{
    std::map<std::string, std::string> values;
    const CommandResult result =
        Run({"ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "flat=s=.", file});
    if (result.exitCode != 0)
        return values;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        values[line.substr(0, eq)] = value;
    }
    return values;
}

std::string DecodeErrors(const std::string& file)
{
    const CommandResult result = Run({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"});
    return result.exitCode == 0 ? result.errors : "exit " + std::to_string(result.exitCode) + ": " + result.errors;
}

double ToDouble(const std::string& text)
{
    try {
        return std::stod(text);
    } catch (...) {
        return -1.0;
    }
}

} // namespace qv::test

// quorvex-cli: the Quorvex conversion engine on the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/ConvertCommand.h"

namespace {

void PrintUsage()
{
    std::puts(
        "usage: quorvex-cli [options] -i INPUT [[options] -i INPUT ...] [options] OUTPUT [[options] OUTPUT ...]\n"
        "       quorvex-cli -h\n"
        "\n"
        "Converts audio and video files. A job is written as for the ffmpeg tool: options come\n"
        "before the input or output they apply to; \"-KEY VALUE\" sets an option, \"-i FILE\" opens\n"
        "an input, and a plain argument names an output (an existing file is overwritten).\n"
        "These keys take no value: -an -vn -sn -shortest -copyts -xerror -y -re -dump -hex -sameq\n"
        "-deinterlace -intra -psnr -qphist -force_fps -isync -loop_input -newvideo -newaudio -newsubtitle.\n"
        "-join before an output writes all inputs one after another into that one output.\n"
        "\n"
        "Examples:\n"
        "  quorvex-cli -i movie.mkv -vcodec copy -acodec copy movie.mp4\n"
        "  quorvex-cli -i movie.mp4 -vn -acodec libmp3lame -ab 128000 sound.mp3\n"
        "  quorvex-cli -i movie.mp4 -target pal-dvd disc.mpg\n"
        "\n"
        "Log lines and progress go to standard error. Ctrl-C stops the job cleanly (the output\n"
        "is finished and valid) and exits with 130. Exit status 0: done; 1: failed.");
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty() || arguments[0] == "-h" || arguments[0] == "--help") {
        PrintUsage();
        return arguments.empty() ? qv::cli::EXIT_FAILED : qv::cli::EXIT_DONE;
    }
    return qv::cli::RunConvertCommand(arguments);
}

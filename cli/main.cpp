// quorvex-cli: the Quorvex conversion engine and media probe on the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/ConvertCommand.h"
#include "cli/InfoCommand.h"

namespace {

constexpr int EXIT_USAGE = 2;

const char kUsage[] =
    "Usage: quorvex-cli [options] -i INPUT [[options] -i INPUT ...] [options] OUTPUT [...]\n"
    "       quorvex-cli --info FILE    print the media information of FILE\n"
    "       quorvex-cli -h | --help    show this help\n";

const char kHelp[] =
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
    "is finished and valid) and exits with 130. Exit status 0: done; 1: failed; 2: usage.\n";

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::string command = arguments.empty() ? "" : arguments[0];
    if (command == "-h" || command == "--help") {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return qv::cli::EXIT_DONE;
    }
    if (command == "--info") {
        if (arguments.size() == 2)
            return qv::RunInfoCommand(arguments[1]);
        std::fputs(kUsage, stderr);
        return EXIT_USAGE;
    }
    if (arguments.empty()) {
        std::fputs(kUsage, stderr);
        return EXIT_USAGE;
    }
    return qv::cli::RunConvertCommand(arguments);
}

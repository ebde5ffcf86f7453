// quorvex-cli: the converter's command line.
#include <cstdio>
#include <string>

#include "cli/InfoCommand.h"

namespace {

const char kUsage[] =
    "Usage: quorvex-cli --info FILE    print the media information of FILE\n"
    "       quorvex-cli -h | --help    show this help\n";

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "-h" || command == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "--info") {
        if (argc == 3)
            return qv::RunInfoCommand(argv[2]);
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::fputs("quorvex-cli: conversion is not available yet\n", stderr);
    return 2;
}

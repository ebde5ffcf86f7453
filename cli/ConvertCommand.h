// quorvex-cli's conversion: a job given as the FFmpeg tool takes it.
#pragma once

#include <string>
#include <vector>

namespace qv::cli {

// Exit statuses.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_INTERRUPTED = 130;

// Keys that take no value on the command line.
bool IsFlagKey(const std::string& key);

// Runs "-KEY VALUE ... -i INPUT ... OUTPUT" to its end; returns an exit status.
int RunConvertCommand(const std::vector<std::string>& arguments);

} // namespace qv::cli

// Helpers shared by the test programs.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qv::test {

// Path of a generated media fixture.
std::string Fixture(const std::string& name);
// A fresh empty folder under the build tree for one test's outputs.
std::string ScratchDir(const std::string& testName);
// Loads the converter's library set once; fails the test when it cannot.
void LoadConverterLibraries();

struct CommandResult {
    int exitCode = -1;
    std::string output; // standard output
    std::string errors; // standard error
};
// Runs a program with arguments (no shell) and collects what it printed.
CommandResult Run(const std::vector<std::string>& command);
// The command-line converter.
std::string CliPath();
// ffprobe's description of a file as flat "key=value" pairs, e.g.
// "streams.stream.0.codec_name" and "format.duration"; empty when ffprobe fails.
std::map<std::string, std::string> Probe(const std::string& file);
// Decodes the whole file with the ffmpeg program; returns its error output (empty: clean).
std::string DecodeErrors(const std::string& file);
double ToDouble(const std::string& text);

} // namespace qv::test

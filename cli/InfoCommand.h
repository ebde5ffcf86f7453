// quorvex-cli --info FILE: the media probe's description of one file.
#pragma once

#include <string>

namespace qv {

// Prints the probe's information text of file on standard output and returns 0; when the
// libraries cannot be loaded or the file cannot be opened, prints the reason on standard
// error and returns 1.
int RunInfoCommand(const std::string& file);

} // namespace qv

// The texts the engine shows for the libraries' error codes.
#pragma once

#include <string>

namespace qv {

// "No such file or directory", "End of file" ... or "Error number %d occurred".
std::string LibraryErrorText(int code);
// name + ": " + LibraryErrorText(code)
std::string LibraryErrorText(const std::string& name, int code);

} // namespace qv

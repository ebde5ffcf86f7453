// Texts for the media libraries' error codes, as the engine, the probe and the player
// show them to the user: "<name>: <text>".
#pragma once

#include <string>

namespace qv {

// The text of one library error code; "Error number %d occurred" for codes without one.
std::string LibraryErrorText(int code);
// name + ": " + LibraryErrorText(code).
std::string LibraryErrorText(const std::string& name, int code);

} // namespace qv

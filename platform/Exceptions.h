// Exceptions shared by every Quorvex subsystem.
#pragma once

#include <stdexcept>
#include <string>

namespace qv {

// Raised by the engine's option and set-up operations. Its message is the text
// the user finally sees (the component's last-error text or the termination record).
class FFmpegException : public std::runtime_error {
public:
    explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
};

// A broken precondition of a caller (an empty library set, a second logger ...).
// The message reads "Assertion failure" or a more specific text, followed by the unit.
class AssertionFailure : public std::logic_error {
public:
    explicit AssertionFailure(const std::string& message) : std::logic_error(message) {}
};

// Throws AssertionFailure("<message> (<unit>)") when the condition is false.
inline void Assert(bool condition, const char* unit, const char* message = "Assertion failure")
{
    if (!condition)
        throw AssertionFailure(std::string(message) + " (" + unit + ")");
}

} // namespace qv

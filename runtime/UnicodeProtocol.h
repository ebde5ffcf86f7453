// File names and the media libraries. Names travel as UTF-8 text; a name the libraries
// could not take as it is travels as a "unicode:utf8:" URL, which we open ourselves
// through the "unicode" protocol below (runtime/MediaIO.h hands it to the libraries).
//
// Threads: the conversions are pure functions and may run on any thread at once, each
// call returning its own text. The protocol operations run on whatever thread reads or
// writes the file; one open file is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

// "unicode:utf8:" followed by the file name.
inline constexpr char UNICODE_URL_PREFIX[] = "unicode:utf8:";

// Protocols whose URLs pass unchanged, each between colons (exact, case-sensitive).
inline constexpr char KNOWN_URL_PREFIXES[] = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";

// True when the name needs the URL form: it does not start with a known protocol prefix
// and it is not valid UTF-8 text (the libraries' narrow names are UTF-8 here).
bool NeedsUnicodeURL(const std::string& name);
// The text to hand to the libraries: the "unicode:utf8:" URL of the name when it needs
// one, otherwise the name itself.
std::string NameToLibraryURL(const std::string& name);
// At least 14 bytes, beginning with "unicode:utf8:".
bool IsUnicodeURL(const std::string& text);
// The file name behind a name or URL stored by the libraries.
std::string LibraryURLToName(const std::string& text);

// ---- the "unicode" protocol ---------------------------------------------------------

// Access flags of the protocol's open.
enum TProtocolAccess : int { paReadOnly = 0, paWriteOnly = 1, paReadWrite = 2 };

// The seek "whence" that asks for the file's size without moving.
inline constexpr int SEEK_SIZE_QUERY = 0x10000;

// One open file: the operating system's file descriptor, -1 when closed.
struct TUnicodeFile {
    int handle = -1;
};

// The protocol record: its name and its five operations.
//   open:  opens the file named by the URL (or plain name). Bit paReadWrite set: read and
//          write, created or truncated; else bit paWriteOnly: write only, created or
//          truncated; else read only, the file must exist. While the file is open, others
//          may read it but not write it: opening it for writing through this protocol
//          fails, without touching the file (advisory locks; see the source). Returns 0,
//          or -2 when it cannot be opened.
//   read:  up to size bytes; the count read (0 at the end), -1 on failure.
//   write: all size bytes; the count written, -1 on failure.
//   seek:  whence SEEK_SIZE_QUERY gives the size and leaves the position; whence 0, 1, 2
//          move relative to the start, the current position, the end. The new position
//          or the size; -1 on failure.
//   close: closes the file (and drops the lock).
struct TUnicodeProtocol {
    const char* name;
    int (*open)(TUnicodeFile* file, const char* url, int flags);
    int (*read)(TUnicodeFile* file, uint8_t* buffer, int size);
    int (*write)(TUnicodeFile* file, const uint8_t* buffer, int size);
    int64_t (*seek)(TUnicodeFile* file, int64_t position, int whence);
    int (*close)(TUnicodeFile* file);
};

const TUnicodeProtocol& UnicodeProtocol();

// Makes the "unicode" protocol available; called once by the loader after avformat is
// loaded. Later calls do nothing. Until it has run, "unicode:" URLs reach the libraries,
// which do not know the protocol.
void RegisterUnicodeProtocol();
bool UnicodeProtocolRegistered();

} // namespace qv

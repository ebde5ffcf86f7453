#include "runtime/UnicodeProtocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>


namespace qv {

namespace {

std::atomic<bool> gRegistered{false};

constexpr size_t UNICODE_URL_PREFIX_BYTES = sizeof(UNICODE_URL_PREFIX) - 1;

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF): exactly
// the texts that survive a conversion to wide characters and back unchanged.
bool IsValidUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int trailing;
        uint32_t lowest;
        uint32_t code;
        if ((lead & 0xE0) == 0xC0) {
            trailing = 1, lowest = 0x80, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            trailing = 2, lowest = 0x800, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            trailing = 3, lowest = 0x10000, code = lead & 0x07;
        } else {
            return false;
        }
        if (end - p <= trailing)
            return false;
        for (int i = 1; i <= trailing; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        p += trailing + 1;
    }
    return true;
}

int RetryOnInterrupt(auto call)
{
    int result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Sharing while a file is open through the protocol: others may read it, not write it.
// Linux has no sharing modes, so opens through the protocol keep advisory locks of the
// open file description on two bytes: every reader holds a shared lock on READERS_BYTE,
// the one writer an exclusive lock on WRITER_BYTE. A writer is refused while another
// writer or any reader has the file open; readers are always let in. Programs that do
// not look at these locks are not stopped.
constexpr off_t WRITER_BYTE = 0;
constexpr off_t READERS_BYTE = 1;

bool LockByte(int fd, short type, off_t byte)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return RetryOnInterrupt([&] { return ::fcntl(fd, F_OFD_SETLK, &lock); }) == 0;
}

bool ByteHasLocks(int fd, off_t byte)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

bool TakeSharingLock(int fd, bool writing)
{
    if (!writing)
        return LockByte(fd, F_RDLCK, READERS_BYTE);
    return LockByte(fd, F_WRLCK, WRITER_BYTE) && !ByteHasLocks(fd, READERS_BYTE);
}

int ProtocolOpen(TUnicodeFile* file, const char* url, int flags)
{
    file->handle = -1;
    const std::string name = LibraryURLToName(url ? url : "");
    const bool writing = (flags & (paReadWrite | paWriteOnly)) != 0;
    const int access = (flags & paReadWrite) ? O_RDWR : (flags & paWriteOnly) ? O_WRONLY : O_RDONLY;
    // Truncation waits until the lock is ours, so that a refused open leaves the file alone.
    const int fd = RetryOnInterrupt(
        [&] { return ::open(name.c_str(), access | (writing ? O_CREAT : 0) | O_CLOEXEC, 0666); });
    if (fd < 0)
        return -2;
    struct stat info {};
    const bool usable = ::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode) &&
                        (!S_ISREG(info.st_mode) || TakeSharingLock(fd, writing)) &&
                        (!writing || !S_ISREG(info.st_mode) || ::ftruncate(fd, 0) == 0);
    if (!usable) {
        ::close(fd); // drops any lock taken above
        return -2;
    }
    file->handle = fd;
    return 0;
}

int ProtocolRead(TUnicodeFile* file, uint8_t* buffer, int size)
{
    if (size < 0)
        return -1;
    const ssize_t count = RetryOnInterrupt([&] { return static_cast<int>(::read(file->handle, buffer, size)); });
    return count < 0 ? -1 : static_cast<int>(count);
}

int ProtocolWrite(TUnicodeFile* file, const uint8_t* buffer, int size)
{
    if (size < 0)
        return -1;
    int written = 0;
    while (written < size) {
        const int count = RetryOnInterrupt(
            [&] { return static_cast<int>(::write(file->handle, buffer + written, size - written)); });
        if (count <= 0)
            return -1;
        written += count;
    }
    return written;
}

int64_t ProtocolSeek(TUnicodeFile* file, int64_t position, int whence)
{
    if (whence == SEEK_SIZE_QUERY) {
        struct stat info {};
        return ::fstat(file->handle, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
    }
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return -1;
    const off_t result = ::lseek(file->handle, static_cast<off_t>(position), whence);
    return result < 0 ? -1 : static_cast<int64_t>(result);
}

int ProtocolClose(TUnicodeFile* file)
{
    if (file->handle < 0)
        return 0;
    const int result = ::close(file->handle);
    file->handle = -1;
    return result == 0 ? 0 : -1;
}

const TUnicodeProtocol kUnicodeProtocol = {
    "unicode", ProtocolOpen, ProtocolRead, ProtocolWrite, ProtocolSeek, ProtocolClose,
};

} // namespace

bool NeedsUnicodeURL(const std::string& name)
{
    if (const size_t colon = name.find(':'); colon != std::string::npos) {
        const std::string prefix = ":" + name.substr(0, colon) + ":";
        if (std::strstr(KNOWN_URL_PREFIXES, prefix.c_str()) != nullptr)
            return false;
    }
    return !IsValidUtf8(name);
}

std::string NameToLibraryURL(const std::string& name)
{
    // No length cut: a cut name would open or create a different file.
    return NeedsUnicodeURL(name) ? UNICODE_URL_PREFIX + name : name;
}

bool IsUnicodeURL(const std::string& text)
{
    return text.size() > UNICODE_URL_PREFIX_BYTES && text.compare(0, UNICODE_URL_PREFIX_BYTES, UNICODE_URL_PREFIX) == 0;
}

std::string LibraryURLToName(const std::string& text)
{
    if (!IsUnicodeURL(text))
        return text;
    // Drop the protocol name and the encoding name, each with its colon.
    const size_t first = text.find(':');
    const size_t second = text.find(':', first + 1);
    return text.substr(second + 1);
}

const TUnicodeProtocol& UnicodeProtocol()
{
    return kUnicodeProtocol;
}

void RegisterUnicodeProtocol()
{
    // The libraries of this generation keep a fixed protocol list, so registering means
    // that our open helpers start taking "unicode:" URLs themselves.
    gRegistered = true;
}

bool UnicodeProtocolRegistered()
{
    return gRegistered.load();
}

} // namespace qv

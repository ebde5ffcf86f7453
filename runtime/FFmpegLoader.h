// The media library loader. The libraries are linked into the program; "loading" one
// takes its shared object (the copy already mapped, or the file named by an override), checks
// that it is the generation we were built against and that the entry points we use
// are there, and runs its one-time set-up: device registration with avdevice, the log
// callback with avutil, the unicode protocol with avformat.
//
// Threads: loading and unloading happen on the main thread before any work starts;
// the queries may be asked from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace qv {

enum TLibraryIndex : uint8_t {
    libAVCodec = 0, libAVDevice = 1, libAVFilter = 2, libAVFormat = 3,
    libAVUtil = 4, libSWScale = 5, libCRT = 6, libSDL = 7,
};
constexpr int LIBRARY_COUNT = 8;

// One bit per library index.
using TLibrarySet = uint8_t;
constexpr TLibrarySet CONVERTER_LIBRARIES = 125; // avcodec avfilter avformat avutil swscale crt
constexpr TLibrarySet PLAYER_LIBRARIES = 253;    // the same and SDL

struct TLibraryItem {
    TLibraryIndex index;
    const char* baseName;  // "avcodec" ...
    int version;           // the shared object's major version; -1 = none in the name
};

class TFFmpegLoader {
public:
    TFFmpegLoader();
    ~TFFmpegLoader();
    TFFmpegLoader(const TFFmpegLoader&) = delete;
    TFFmpegLoader& operator=(const TFFmpegLoader&) = delete;

    const std::string& LastError() const { return lastError_; }
    const std::string& LibraryPath() const { return libraryPath_; }
    void SetLibraryPath(const std::string& folder) { libraryPath_ = folder; }

    // The override when one is set, else "lib<base>.so.<version>" (or ".so" without a version).
    std::string LibraryFileName(int index) const;
    // Loads from a given file instead (empty: back to the default name).
    void SetLibraryFileName(int index, const std::string& fileName);

    bool LoadLibraries(TLibrarySet set);
    bool LibrariesLoaded(TLibrarySet set) const;
    bool LibraryLoaded(int index) const;
    void UnloadLibraries(TLibrarySet set);

    static const TLibraryItem& Item(int index);

private:
    struct Status {
        std::string fileNameOverride;
        void* module = nullptr; // from dlopen; null when mapped
        bool mapped = false;    // the copy we are linked with, used without opening it again
        bool loaded = false;
    };
    bool LoadLibrary(int index);
    void Resolve(int index, const std::string& fileName, void* module);
    void Release(int index);

    std::string lastError_;
    std::string libraryPath_;
    Status status_[LIBRARY_COUNT];
};

// The process's loader.
TFFmpegLoader& FFLoader();

// The process-wide lock around the libraries' codec open and close calls and the
// stream-information probe, shared by every engine, the probe and the player.
std::recursive_mutex& CodecLock();

} // namespace qv

#include "runtime/FFmpegLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}
#include <SDL2/SDL.h>

#include "platform/Exceptions.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/UnicodeProtocol.h"

namespace qv {

namespace {

const TLibraryItem kLibraries[LIBRARY_COUNT] = {
    {libAVCodec, "avcodec", LIBAVCODEC_VERSION_MAJOR},
    {libAVDevice, "avdevice", LIBAVDEVICE_VERSION_MAJOR},
    {libAVFilter, "avfilter", LIBAVFILTER_VERSION_MAJOR},
    {libAVFormat, "avformat", LIBAVFORMAT_VERSION_MAJOR},
    {libAVUtil, "avutil", LIBAVUTIL_VERSION_MAJOR},
    {libSWScale, "swscale", LIBSWSCALE_VERSION_MAJOR},
    {libCRT, "c", 6},
    {libSDL, "SDL2-2.0", 0},
};

// The entry points each library must offer; the first one reports the library's
// version, whose major number must match the headers we were built with.
struct EntryPoints {
    std::vector<const char*> functions;
    std::vector<const char*> variables;
    unsigned expectedMajor;
};

EntryPoints EntryPointsOf(int index)
{
    switch (index) {
    case libAVCodec:
        return {{"avcodec_version", "avcodec_find_decoder", "avcodec_find_encoder_by_name", "avcodec_alloc_context3",
                 "avcodec_open2", "avcodec_send_packet", "avcodec_receive_frame", "avcodec_send_frame",
                 "avcodec_receive_packet", "avcodec_free_context", "av_bsf_get_by_name"},
                {}, LIBAVCODEC_VERSION_MAJOR};
    case libAVDevice:
        return {{"avdevice_version", "avdevice_register_all"}, {}, LIBAVDEVICE_VERSION_MAJOR};
    case libAVFilter:
        return {{"avfilter_version", "avfilter_graph_alloc", "avfilter_graph_parse_ptr", "avfilter_graph_config",
                 "avfilter_get_by_name"},
                {}, LIBAVFILTER_VERSION_MAJOR};
    case libAVFormat:
        return {{"avformat_version", "avformat_open_input", "avformat_find_stream_info", "av_read_frame",
                 "avformat_alloc_output_context2", "avformat_write_header", "av_interleaved_write_frame",
                 "av_write_trailer", "avio_alloc_context", "av_dump_format"},
                {}, LIBAVFORMAT_VERSION_MAJOR};
    case libAVUtil:
        return {{"avutil_version", "av_log", "av_log_set_callback", "av_log_set_level", "av_malloc", "av_free"},
                {}, LIBAVUTIL_VERSION_MAJOR};
    case libSWScale:
        return {{"swscale_version", "sws_getContext", "sws_scale", "sws_freeContext"}, {}, LIBSWSCALE_VERSION_MAJOR};
    case libCRT:
        return {{"fopen", "fclose", "fprintf", "fread", "fseek", "ftell", "fwrite", "snprintf", "strtod",
                 "strtok", "strtol", "vsprintf"},
                {}, 0};
    case libSDL:
        return {{"SDL_GetVersion", "SDL_Init", "SDL_Quit", "SDL_OpenAudio", "SDL_CreateWindowFrom",
                 "SDL_CreateRenderer", "SDL_CreateTexture"},
                {}, 2};
    }
    return {};
}

std::string SystemError()
{
    const char* text = dlerror();
    return text ? text : "unknown error";
}

bool IsRegularFile(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Whether every entry point, looked up in the process's global scope, lies in an object
// already mapped under this file name. Such an object is the one that opening the file
// would return, so its entry points can be taken as they are. A symbol found elsewhere
// (an interposer, or a file name that names some other library) answers no, and the
// library is opened as usual.
bool EntryPointsMappedAs(const EntryPoints& entries, const std::string& file)
{
    auto mappedAs = [&file](const char* name) {
        void* symbol = dlsym(RTLD_DEFAULT, name);
        Dl_info info{};
        if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr)
            return false;
        const char* slash = std::strrchr(info.dli_fname, '/');
        return file == (slash ? slash + 1 : info.dli_fname);
    };
    return std::all_of(entries.functions.begin(), entries.functions.end(), mappedAs) &&
           std::all_of(entries.variables.begin(), entries.variables.end(), mappedAs);
}

// The major version that the opened module reports about itself.
unsigned ModuleMajor(int index, void* versionFunction)
{
    if (index == libSDL) {
        SDL_version version{};
        reinterpret_cast<void (*)(SDL_version*)>(versionFunction)(&version);
        return version.major;
    }
    if (index == libCRT)
        return 0;
    return reinterpret_cast<unsigned (*)()>(versionFunction)() >> 16;
}

} // namespace

const TLibraryItem& TFFmpegLoader::Item(int index)
{
    return kLibraries[index];
}

TFFmpegLoader::TFFmpegLoader() = default;

TFFmpegLoader::~TFFmpegLoader()
{
    for (int i = 0; i < LIBRARY_COUNT; ++i) {
        if (status_[i].module)
            dlclose(status_[i].module);
    }
}

std::string TFFmpegLoader::LibraryFileName(int index) const
{
    const Status& status = status_[index];
    if (!status.fileNameOverride.empty())
        return status.fileNameOverride;
    const TLibraryItem& item = kLibraries[index];
    std::string name = std::string("lib") + item.baseName + ".so";
    if (item.version >= 0)
        name += "." + std::to_string(item.version);
    return name;
}

void TFFmpegLoader::SetLibraryFileName(int index, const std::string& fileName)
{
    status_[index].fileNameOverride = fileName;
}

bool TFFmpegLoader::LoadLibrary(int index)
{
    Status& status = status_[index];
    const std::string fileName = LibraryFileName(index);
    std::string loadedName = fileName;
    if (status.module == nullptr && !status.mapped) {
        std::string folder, file = fileName;
        if (auto slash = fileName.rfind('/'); slash != std::string::npos) {
            folder = fileName.substr(0, slash + 1);
            file = fileName.substr(slash + 1);
        }
        if (folder.empty() && !libraryPath_.empty()) {
            folder = libraryPath_;
            if (folder.back() != '/')
                folder += '/';
        }
        // A copy in the library folder wins; otherwise the system's search order finds
        // the libraries we are linked with.
        loadedName = (!folder.empty() && IsRegularFile(folder + file)) ? folder + file : file;
        // A library we are linked with is mapped already. Opening it again would make the
        // dynamic loader walk its whole dependency tree, some ten million instructions for
        // the converter set on every run of a job; its entry points are taken from the
        // mapped copy instead, through the global scope.
        status.mapped = loadedName == file && EntryPointsMappedAs(EntryPointsOf(index), file);
        if (!status.mapped) {
            dlerror();
            status.module = dlopen(loadedName.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (status.module == nullptr && !status.mapped) {
            lastError_ = "Load library " + loadedName + " error: " + SystemError();
            return false;
        }
    }
    if (!status.loaded) {
        try {
            Resolve(index, loadedName, status.mapped ? RTLD_DEFAULT : status.module);
            status.loaded = true;
        } catch (const std::exception& e) {
            lastError_ = e.what();
        }
    }
    if (!status.loaded) {
        Release(index);
        return false;
    }
    if (index == libAVUtil)
        Logger().InstallLibraryCallback();
    if (index == libAVFormat)
        RegisterUnicodeProtocol();
    return true;
}

void TFFmpegLoader::Resolve(int index, const std::string& fileName, void* module)
{
    const EntryPoints entries = EntryPointsOf(index);
    void* versionFunction = nullptr;
    for (const char* name : entries.functions) {
        dlerror();
        void* symbol = dlsym(module, name);
        if (symbol == nullptr)
            throw FFmpegException("Load function " + std::string(name) + "@" + fileName + " error: " + SystemError());
        if (versionFunction == nullptr)
            versionFunction = symbol;
    }
    for (const char* name : entries.variables) {
        dlerror();
        if (dlsym(module, name) == nullptr)
            throw FFmpegException("Load variable " + std::string(name) + "@" + fileName + " error: " + SystemError());
    }
    if (index != libCRT && versionFunction != nullptr) {
        const unsigned major = ModuleMajor(index, versionFunction);
        if (major != entries.expectedMajor)
            throw FFmpegException("Load library " + fileName + " error: version " + std::to_string(major) +
                                  " found, " + std::to_string(entries.expectedMajor) + " needed");
    }
    // One-time set-up of the library itself.
    switch (index) {
    case libAVDevice:
        avdevice_register_all();
        break;
    case libSDL:
        if (SDL_Init(0) != 0)
            throw FFmpegException(std::string("Load library ") + fileName + " error: " + SDL_GetError());
        break;
    default:
        break;
    }
}

void TFFmpegLoader::Release(int index)
{
    Status& status = status_[index];
    if (status.loaded) {
        if (index == libSDL)
            SDL_Quit();
        status.loaded = false;
    }
    if (status.module) {
        dlclose(status.module);
        status.module = nullptr;
    }
    status.mapped = false;
}

bool TFFmpegLoader::LoadLibraries(TLibrarySet set)
{
    Assert(set != 0, "FFmpegLoader");
    for (int i = 0; i < LIBRARY_COUNT; ++i) {
        if ((set & (1u << i)) && !LoadLibrary(i)) {
            UnloadLibraries(set);
            return false;
        }
    }
    return true;
}

bool TFFmpegLoader::LibrariesLoaded(TLibrarySet set) const
{
    Assert(set != 0, "FFmpegLoader");
    for (int i = 0; i < LIBRARY_COUNT; ++i) {
        if ((set & (1u << i)) && !status_[i].loaded)
            return false;
    }
    return true;
}

bool TFFmpegLoader::LibraryLoaded(int index) const
{
    return index >= 0 && index < LIBRARY_COUNT && status_[index].loaded;
}

void TFFmpegLoader::UnloadLibraries(TLibrarySet set)
{
    Assert(set != 0, "FFmpegLoader");
    for (int i = 0; i < LIBRARY_COUNT; ++i) {
        if (set & (1u << i))
            Release(i);
    }
}

TFFmpegLoader& FFLoader()
{
    static TFFmpegLoader loader;
    return loader;
}

std::recursive_mutex& CodecLock()
{
    static std::recursive_mutex lock;
    return lock;
}

} // namespace qv

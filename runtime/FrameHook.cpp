#include "runtime/FrameHook.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/log.h>
}

namespace qv {

namespace {

// Loaded modules by file name, for the life of the process.
std::mutex& ModulesMutex()
{
    static std::mutex mutex;
    return mutex;
}
std::map<std::string, void*>& Modules()
{
    static auto* modules = new std::map<std::string, void*>;
    return *modules;
}

// Makes a folder current for the duration of a load, restoring the old one after.
class CurrentDirectoryScope {
public:
    explicit CurrentDirectoryScope(const std::string& folder)
    {
        if (folder.empty())
            return;
        char old[PATH_MAX];
        if (::getcwd(old, sizeof old) != nullptr && ::chdir(folder.c_str()) == 0)
            saved_ = old;
    }
    ~CurrentDirectoryScope()
    {
        if (!saved_.empty())
            (void)::chdir(saved_.c_str());
    }

private:
    std::string saved_;
};

} // namespace

int AddHook(TFrameHookChain& chain, const std::vector<std::string>& arguments)
{
    if (arguments.empty())
        return -2;
    const std::string& fileName = arguments[0];
    std::string folder;
    if (auto slash = fileName.rfind('/'); slash != std::string::npos)
        folder = fileName.substr(0, slash);
    CurrentDirectoryScope directory(folder);

    void* module = nullptr;
    {
        std::lock_guard lock(ModulesMutex());
        auto found = Modules().find(fileName);
        if (found != Modules().end()) {
            module = found->second;
        } else {
            // A bare name is looked for in the current folder first, then the search path.
            std::string path = fileName.find('/') == std::string::npos && ::access(fileName.c_str(), F_OK) == 0
                                   ? "./" + fileName
                                   : fileName;
            dlerror();
            module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (module == nullptr) {
                const char* error = dlerror();
                av_log(nullptr, AV_LOG_ERROR, "%s\n", error ? error : "cannot load module");
                return -1;
            }
            Modules()[fileName] = module;
        }
    }

    auto entry = std::unique_ptr<TFrameHookEntry>(new (std::nothrow) TFrameHookEntry());
    if (!entry)
        return -12;
    entry->Configure = reinterpret_cast<QvHookConfigure>(dlsym(module, "Configure"));
    entry->Process = reinterpret_cast<QvHookProcess>(dlsym(module, "Process"));
    entry->Release = reinterpret_cast<QvHookRelease>(dlsym(module, "Release"));

    if (entry->Process == nullptr) {
        av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", fileName.c_str());
        return -2;
    }
    if (entry->Configure == nullptr && arguments.size() > 1) {
        av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", fileName.c_str());
        return -2;
    }
    if (entry->Configure) {
        std::vector<std::string> copies(arguments);
        std::vector<char*> argv;
        for (std::string& text : copies)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        if (entry->Configure(&entry->Context, static_cast<int>(copies.size()), argv.data()) != 0) {
            av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", fileName.c_str());
            return -22;
        }
    }
    TFrameHookEntry** tail = &chain.head;
    while (*tail)
        tail = &(*tail)->Next;
    *tail = entry.release();
    return 0;
}

void ProcessHooks(TFrameHookChain& chain, QvHookPicture* picture, int pixelFormat, int width, int height,
                  int64_t pts_us)
{
    for (TFrameHookEntry* entry = chain.head; entry; entry = entry->Next)
        entry->Process(entry->Context, picture, pixelFormat, width, height, pts_us);
}

void ReleaseHooks(TFrameHookChain& chain)
{
    TFrameHookEntry* entry = chain.head;
    chain.head = nullptr;
    while (entry) {
        TFrameHookEntry* next = entry->Next;
        if (entry->Release)
            entry->Release(entry->Context);
        delete entry;
        entry = next;
    }
}

} // namespace qv

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

// Serialises AddHook: it changes the process's current directory while it loads and
// configures a module, and it owns the table of loaded modules.
std::mutex& AddHookMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Loaded modules by the file name they were named with; protected by AddHookMutex.
// The handles are never closed: modules stay loaded for the life of the process.
std::map<std::string, void*>& Modules()
{
    static auto* modules = new std::map<std::string, void*>;
    return *modules;
}

std::string CurrentDirectory()
{
    char path[PATH_MAX];
    return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string();
}

// Makes a folder current for the duration of a load, restoring the old one after.
class CurrentDirectoryScope {
public:
    CurrentDirectoryScope(const std::string& original, const std::string& folder)
    {
        if (!original.empty() && !folder.empty() && ::chdir(folder.c_str()) == 0)
            saved_ = original;
    }
    ~CurrentDirectoryScope()
    {
        if (!saved_.empty())
            (void)::chdir(saved_.c_str());
    }
    CurrentDirectoryScope(const CurrentDirectoryScope&) = delete;
    CurrentDirectoryScope& operator=(const CurrentDirectoryScope&) = delete;

private:
    std::string saved_;
};

// The text that dlopen takes for a module name given relative to `directory`: a name
// with a folder part is made absolute (the load happens after the folder was made
// current), and a bare name found in that directory is taken from there before the
// system's library search path.
std::string LoadPath(const std::string& fileName, const std::string& directory)
{
    if (fileName.find('/') == std::string::npos) {
        const std::string local = directory + "/" + fileName;
        return ::access(local.c_str(), F_OK) == 0 ? local : fileName;
    }
    if (fileName.front() == '/' || directory.empty())
        return fileName;
    return directory + "/" + fileName;
}

} // namespace

TFrameHookChain::~TFrameHookChain()
{
    ReleaseHooks(*this);
}

namespace {

// AddHook's work under AddHookMutex with the module's folder current. A failure leaves
// its log line in `failure`; the caller logs it once the lock is released, so that a
// logger which hands lines to the main thread never waits while holding the lock.
int AddHookLocked(TFrameHookChain& chain, const std::vector<std::string>& arguments, std::string& failure)
{
    const std::string& fileName = arguments[0];
    const std::string original = CurrentDirectory();
    std::string folder;
    if (auto slash = fileName.rfind('/'); slash != std::string::npos)
        folder = slash == 0 ? "/" : fileName.substr(0, slash);
    const std::string loadPath = LoadPath(fileName, original);
    CurrentDirectoryScope directory(original, folder);

    void* module = nullptr;
    if (auto found = Modules().find(fileName); found != Modules().end()) {
        module = found->second;
    } else {
        dlerror();
        module = dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* error = dlerror();
            failure = error ? error : "cannot load " + fileName;
            return -1;
        }
        Modules()[fileName] = module;
    }

    auto entry = std::unique_ptr<TFrameHookEntry>(new (std::nothrow) TFrameHookEntry());
    if (!entry)
        return -12;
    entry->Configure = reinterpret_cast<QvHookConfigure>(dlsym(module, "Configure"));
    entry->Process = reinterpret_cast<QvHookProcess>(dlsym(module, "Process"));
    entry->Release = reinterpret_cast<QvHookRelease>(dlsym(module, "Release"));

    if (entry->Process == nullptr) {
        failure = "Failed to find Process entrypoint in " + fileName;
        return -2;
    }
    if (entry->Configure == nullptr && arguments.size() > 1) {
        failure = "Failed to find Configure entrypoint in " + fileName;
        return -2;
    }
    if (entry->Configure) {
        std::vector<std::string> copies(arguments); // the module may write into its arguments
        std::vector<char*> argv;
        for (std::string& text : copies)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        if (entry->Configure(&entry->Context, static_cast<int>(copies.size()), argv.data()) != 0) {
            failure = "Failed to Configure " + fileName;
            return -22;
        }
    }
    TFrameHookEntry** tail = &chain.head;
    while (*tail)
        tail = &(*tail)->Next;
    *tail = entry.release();
    return 0;
}

} // namespace

int AddHook(TFrameHookChain& chain, const std::vector<std::string>& arguments)
{
    if (arguments.empty())
        return -2;
    std::string failure;
    int result;
    {
        std::lock_guard lock(AddHookMutex());
        result = AddHookLocked(chain, arguments, failure);
    }
    if (!failure.empty())
        av_log(nullptr, AV_LOG_ERROR, "%s\n", failure.c_str());
    return result;
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

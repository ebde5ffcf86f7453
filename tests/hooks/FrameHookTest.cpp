// The frame hook registry against real modules built beside this test (modules/*.c):
// qv_hook_add (Configure takes a number, Process adds it to plane 0, Release frees),
// qv_hook_invert (Process only) and qv_hook_noprocess (no Process).
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "runtime/FFmpegLogger.h"
#include "runtime/FrameHook.h"

using namespace qv;

namespace {

const std::string kAdd = QV_HOOK_ADD;
const std::string kInvert = QV_HOOK_INVERT;
const std::string kNoProcess = QV_HOOK_NOPROCESS;

std::string CurrentDirectory()
{
    char path[PATH_MAX];
    return ::getcwd(path, sizeof path) ? path : "";
}

struct LogLine {
    TLogLevel level;
    std::string text;
};

// The module's own bookkeeping, read through its QvTest functions. Holds a reference to
// the module only while the test looks at it.
class AddModule {
    template <typename Signature, typename... Args>
    auto Call(const char* name, Args... args) const
    {
        auto* function = reinterpret_cast<Signature*>(dlsym(handle_, name));
        if (function == nullptr)
            throw std::runtime_error(std::string("module lacks ") + name);
        return function(args...);
    }

public:
    AddModule() : handle_(dlopen(kAdd.c_str(), RTLD_NOW | RTLD_NOLOAD)) {}
    ~AddModule()
    {
        if (handle_)
            dlclose(handle_);
    }
    bool Loaded() const { return handle_ != nullptr; }
    int Loads() const { return Call<int()>("QvTestLoads"); }
    int ConfigureCalls() const { return Call<int()>("QvTestConfigureCalls"); }
    int ReleaseCalls() const { return Call<int()>("QvTestReleaseCalls"); }
    std::string ConfigureDirectory() const { return Call<const char*()>("QvTestConfigureDirectory"); }
    std::string ConfigureFirstArgument() const { return Call<const char*()>("QvTestConfigureFirstArgument"); }
    int Addend(const void* context) const { return Call<int(const void*)>("QvTestAddend", context); }
    int ProcessCalls(const void* context) const { return Call<int(const void*)>("QvTestProcessCalls", context); }
    int64_t LastPts(const void* context) const { return Call<int64_t(const void*)>("QvTestLastPts", context); }

private:
    void* handle_;
};

// A gray picture whose rows are padded, filled with 0, 1, 2 ... per byte.
struct GrayPicture {
    static constexpr int kWidth = 6, kHeight = 3, kStride = 8;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kStride * kHeight);
    QvHookPicture picture{};

    GrayPicture()
    {
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * 17); // reaches values near 255, so sums wrap
        picture.data[0] = bytes.data();
        picture.linesize[0] = kStride;
    }
    uint8_t At(int x, int y) const { return bytes[y * kStride + x]; }
    void Process(TFrameHookChain& chain, int64_t pts_us = 0)
    {
        ProcessHooks(chain, &picture, AV_PIX_FMT_GRAY8, kWidth, kHeight, pts_us);
    }
};

std::vector<TFrameHookEntry*> Entries(const TFrameHookChain& chain)
{
    std::vector<TFrameHookEntry*> entries;
    for (TFrameHookEntry* entry = chain.head; entry; entry = entry->Next)
        entries.push_back(entry);
    return entries;
}

class FrameHookTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Logger().SetTriggerEventInMainThread(false);
        Logger().OnLog = [this](const void*, uint32_t, TLogLevel level, const std::string& text) {
            std::lock_guard lock(mutex_);
            lines_.push_back({level, text});
        };
        Logger().InstallLibraryCallback();
    }
    void TearDown() override { Logger().OnLog = nullptr; }

    std::vector<LogLine> TakeLines()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

TEST_F(FrameHookTest, RefusedHooksGiveTheirCodeLogOneLineAndAreNotChained)
{
    const std::string missing = std::filesystem::path(kAdd).parent_path() / "no_such_hook.so";
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        int result;
        std::string line; // the one error line expected; empty for none
    };
    const Case cases[] = {
        {"no arguments", {}, -2, ""},
        {"module that cannot be loaded", {missing, "1"}, -1,
         missing + ": cannot open shared object file: No such file or directory"},
        {"module without Process", {kNoProcess}, -2, "Failed to find Process entrypoint in " + kNoProcess},
        {"arguments for a module without Configure", {kInvert, "1"}, -2,
         "Failed to find Configure entrypoint in " + kInvert},
        {"Configure refuses a missing argument", {kAdd}, -22, "Failed to Configure " + kAdd},
        {"Configure refuses a bad argument", {kAdd, "ten"}, -22, "Failed to Configure " + kAdd},
    };
    const std::string directory = CurrentDirectory();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TFrameHookChain chain;
        TakeLines();
        EXPECT_EQ(AddHook(chain, c.arguments), c.result);
        EXPECT_TRUE(chain.Empty());
        const auto lines = TakeLines();
        if (c.line.empty()) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].level, llError);
            EXPECT_EQ(lines[0].text, c.line);
        }
        EXPECT_EQ(CurrentDirectory(), directory);

        GrayPicture picture;
        const auto before = picture.bytes;
        picture.Process(chain);
        EXPECT_EQ(picture.bytes, before) << "a refused hook never sees a picture";
    }
}

TEST_F(FrameHookTest, HooksRunInTheOrderTheyWereAdded)
{
    // Adding 10 and inverting do not commute: 255 - (v + 10) differs from (255 - v) + 10.
    struct Case {
        const char* what;
        std::vector<std::vector<std::string>> hooks;
        std::function<uint8_t(uint8_t)> expected;
    };
    const Case cases[] = {
        {"add, then invert", {{kAdd, "10"}, {kInvert}}, [](uint8_t v) { return uint8_t(255 - uint8_t(v + 10)); }},
        {"invert, then add", {{kInvert}, {kAdd, "10"}}, [](uint8_t v) { return uint8_t((255 - v) + 10); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TFrameHookChain chain;
        for (const auto& hook : c.hooks)
            ASSERT_EQ(AddHook(chain, hook), 0);
        EXPECT_TRUE(TakeLines().empty());
        ASSERT_EQ(Entries(chain).size(), c.hooks.size());

        GrayPicture picture;
        const GrayPicture original;
        picture.Process(chain, 4'000'000);
        for (int y = 0; y < GrayPicture::kHeight; ++y) {
            for (int x = 0; x < GrayPicture::kWidth; ++x)
                ASSERT_EQ(picture.At(x, y), c.expected(original.At(x, y))) << "at " << x << "," << y;
            for (int x = GrayPicture::kWidth; x < GrayPicture::kStride; ++x)
                ASSERT_EQ(picture.At(x, y), original.At(x, y)) << "row padding is not part of the picture";
        }
        ReleaseHooks(chain);
    }
}

TEST_F(FrameHookTest, OneModuleNamedTwiceIsLoadedOnceWithTwoContexts)
{
    TFrameHookChain chain;
    ASSERT_EQ(AddHook(chain, {kAdd, "1"}), 0);
    AddModule module;
    ASSERT_TRUE(module.Loaded());
    const int configured = module.ConfigureCalls();
    const int released = module.ReleaseCalls();
    ASSERT_EQ(AddHook(chain, {kAdd, "2"}), 0);
    EXPECT_EQ(module.ConfigureCalls(), configured + 1);
    EXPECT_EQ(module.Loads(), 1);
    EXPECT_EQ(module.ConfigureFirstArgument(), kAdd) << "the module's file name comes first";

    const auto entries = Entries(chain);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->Process, entries[1]->Process);
    ASSERT_NE(entries[0]->Context, nullptr);
    ASSERT_NE(entries[0]->Context, entries[1]->Context);
    EXPECT_EQ(module.Addend(entries[0]->Context), 1);
    EXPECT_EQ(module.Addend(entries[1]->Context), 2);

    GrayPicture picture;
    const GrayPicture original;
    picture.Process(chain, 1'234'567);
    picture.Process(chain, 2'500'000);
    EXPECT_EQ(picture.At(1, 0), uint8_t(original.At(1, 0) + 6));
    for (TFrameHookEntry* entry : entries) {
        EXPECT_EQ(module.ProcessCalls(entry->Context), 2);
        EXPECT_EQ(module.LastPts(entry->Context), 2'500'000);
    }

    ReleaseHooks(chain);
    EXPECT_TRUE(chain.Empty());
    EXPECT_EQ(module.ReleaseCalls(), released + 2);
    EXPECT_EQ(module.Loads(), 1);
}

TEST_F(FrameHookTest, ModulesStayLoadedAfterTheirHooksAreReleased)
{
    {
        TFrameHookChain chain;
        ASSERT_EQ(AddHook(chain, {kAdd, "3"}), 0);
        ReleaseHooks(chain);
    }
    // Only the registry holds the module now.
    AddModule module;
    EXPECT_TRUE(module.Loaded());
}

TEST_F(FrameHookTest, ChainDestroyedWithHooksReleasesThem)
{
    int released = 0;
    {
        TFrameHookChain chain;
        ASSERT_EQ(AddHook(chain, {kAdd, "4"}), 0);
        released = AddModule().ReleaseCalls();
    }
    EXPECT_EQ(AddModule().ReleaseCalls(), released + 1);
}

TEST_F(FrameHookTest, ModuleIsConfiguredInItsFolderAndTheDirectoryIsRestored)
{
    namespace fs = std::filesystem;
    const fs::path moduleFolder = fs::path(kAdd).parent_path();
    const std::string original = CurrentDirectory();
    struct Case {
        const char* what;
        fs::path current;       // made current before AddHook
        std::string moduleName; // as the job names it
    };
    const Case cases[] = {
        {"absolute name", original, kAdd},
        {"name relative to the current folder", moduleFolder.parent_path(),
         (moduleFolder.filename() / fs::path(kAdd).filename()).string()},
        {"bare name in the current folder", moduleFolder, fs::path(kAdd).filename().string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(::chdir(c.current.c_str()), 0);
        const std::string before = CurrentDirectory();
        TFrameHookChain chain;
        EXPECT_EQ(AddHook(chain, {c.moduleName, "5"}), 0);
        EXPECT_EQ(CurrentDirectory(), before);
        EXPECT_EQ(fs::path(AddModule().ConfigureDirectory()), fs::canonical(moduleFolder));
        EXPECT_EQ(AddModule().ConfigureFirstArgument(), c.moduleName);
        EXPECT_TRUE(TakeLines().empty());
        ReleaseHooks(chain);
    }
    ASSERT_EQ(::chdir(original.c_str()), 0);
}

} // namespace

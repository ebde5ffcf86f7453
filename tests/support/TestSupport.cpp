#include "support/TestSupport.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "runtime/FFmpegLoader.h"

namespace qv::test {

std::string Fixture(const std::string& name)
{
    return std::string(QUORVEX_FIXTURES) + "/" + name;
}

std::string ScratchDir(const std::string& testName)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::path(QUORVEX_FIXTURES).parent_path() / "scratch" / testName;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

void LoadConverterLibraries()
{
    ASSERT_TRUE(FFLoader().LoadLibraries(CONVERTER_LIBRARIES)) << FFLoader().LastError();
}

} // namespace qv::test

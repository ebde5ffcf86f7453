#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/version.h>
}

#include "platform/Exceptions.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/UnicodeProtocol.h"

using namespace qv;

TEST(Loader, FileNamesAndSets)
{
    TFFmpegLoader loader;
    EXPECT_EQ(loader.LibraryFileName(libAVCodec), "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
    EXPECT_EQ(loader.LibraryFileName(libCRT), "libc.so.6");
    EXPECT_EQ(loader.LibraryFileName(libSDL), "libSDL2-2.0.so.0");
    loader.SetLibraryFileName(libSWScale, "/opt/custom/libswscale.so");
    EXPECT_EQ(loader.LibraryFileName(libSWScale), "/opt/custom/libswscale.so");
    EXPECT_EQ(CONVERTER_LIBRARIES, 0b01111101);
    EXPECT_EQ(PLAYER_LIBRARIES, 0b11111101);
}

TEST(Loader, EmptySetIsAnAssertion)
{
    TFFmpegLoader loader;
    EXPECT_THROW(loader.LoadLibraries(0), AssertionFailure);
    EXPECT_THROW(loader.LibrariesLoaded(0), AssertionFailure);
    EXPECT_THROW(loader.UnloadLibraries(0), AssertionFailure);
}

TEST(Loader, LoadsTheConverterSetOnceAndRunsItsSetUp)
{
    TFFmpegLoader loader;
    EXPECT_FALSE(loader.LibrariesLoaded(CONVERTER_LIBRARIES));
    ASSERT_TRUE(loader.LoadLibraries(CONVERTER_LIBRARIES)) << loader.LastError();
    EXPECT_TRUE(loader.LibrariesLoaded(CONVERTER_LIBRARIES));
    for (int i : {0, 2, 3, 4, 5, 6})
        EXPECT_TRUE(loader.LibraryLoaded(i)) << i;
    EXPECT_FALSE(loader.LibraryLoaded(libAVDevice)) << "avdevice is in neither set";
    EXPECT_FALSE(loader.LibraryLoaded(libSDL));
    EXPECT_TRUE(UnicodeProtocolRegistered());
    // Loading again finds everything loaded.
    EXPECT_TRUE(loader.LoadLibraries(CONVERTER_LIBRARIES));
    loader.UnloadLibraries(CONVERTER_LIBRARIES);
    EXPECT_FALSE(loader.LibrariesLoaded(CONVERTER_LIBRARIES));
}

TEST(Loader, AMissingLibraryUnloadsTheWholeSet)
{
    TFFmpegLoader loader;
    loader.SetLibraryFileName(libSWScale, "libswscale-not-here.so.0");
    EXPECT_FALSE(loader.LoadLibraries(CONVERTER_LIBRARIES));
    EXPECT_NE(loader.LastError().find("Load library libswscale-not-here.so.0 error: "), std::string::npos)
        << loader.LastError();
    for (int i : {0, 2, 3, 4})
        EXPECT_FALSE(loader.LibraryLoaded(i)) << i;
    EXPECT_FALSE(loader.LibrariesLoaded(CONVERTER_LIBRARIES));
}

TEST(Loader, ALibraryWithoutTheEntryPointsIsRefused)
{
    // The C library is a real shared object, but it is not swscale.
    TFFmpegLoader loader;
    loader.SetLibraryFileName(libSWScale, "libc.so.6");
    EXPECT_FALSE(loader.LoadLibraries(CONVERTER_LIBRARIES));
    EXPECT_EQ(loader.LastError().rfind("Load function swscale_version@libc.so.6 error: ", 0), 0u)
        << loader.LastError();
}

TEST(Loader, LibraryFolderCopyIsPreferred)
{
    // A folder without the file falls back to the system's search order.
    TFFmpegLoader loader;
    loader.SetLibraryPath("/nonexistent-quorvex-libav");
    EXPECT_TRUE(loader.LoadLibraries(CONVERTER_LIBRARIES)) << loader.LastError();
}

TEST(Loader, PlayerSetNeedsSdl)
{
    TFFmpegLoader loader;
    ASSERT_TRUE(loader.LoadLibraries(CONVERTER_LIBRARIES));
    loader.SetLibraryFileName(libSDL, "libSDL-missing.so");
    EXPECT_FALSE(loader.LoadLibraries(1u << libSDL));
    EXPECT_FALSE(loader.LibrariesLoaded(PLAYER_LIBRARIES));
    EXPECT_TRUE(loader.LibrariesLoaded(CONVERTER_LIBRARIES));
    loader.SetLibraryFileName(libSDL, "");
    EXPECT_TRUE(loader.LoadLibraries(PLAYER_LIBRARIES)) << loader.LastError();
    EXPECT_TRUE(loader.LibrariesLoaded(PLAYER_LIBRARIES));
}

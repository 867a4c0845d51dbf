#include <gtest/gtest.h>

#include <algorithm>

#include "CPlatformLayer.h"
#include "TempDir.h"

namespace {

TEST(Platform, SameImplementationObject)
{
    EXPECT_NE(CPlatformLayer::GetPlatform(), nullptr);
    EXPECT_EQ(CPlatformLayer::GetPlatform(), CPlatformLayer::GetPlatform());
}

TEST(Platform, CurrentDirectoryHasTrailingSlash)
{
    TempDir dir(true);
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof(buf)), nullptr);
    EXPECT_EQ(CPlatformLayer::getCurrentDirectory(), std::string(buf) + "/");
}

TEST(Platform, ProcessDirectoryIsTheExecutablesFolder)
{
    char buf[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", buf, sizeof(buf) - 1), 0);
    std::string exe(buf);
    EXPECT_EQ(CPlatformLayer::getCurrentProcessDirectory(), exe.substr(0, exe.rfind('/')) + "/");
}

TEST(Platform, FileListNamesEveryEntryOnce)
{
    TempDir dir;
    writeFile(dir.file("image.bin"), "x");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", dir.file("link").c_str()), 0);
    std::string folder = dir.path();
    std::vector<std::string> got = CPlatformLayer::GetFileList(folder);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{dir.file("image.bin"), dir.file("link"), dir.file("sub")}));

    std::string empty = dir.file("sub");
    EXPECT_TRUE(CPlatformLayer::GetFileList(empty).empty());
    std::string missing = dir.file("missing");
    EXPECT_TRUE(CPlatformLayer::GetFileList(missing).empty());
}

TEST(Platform, FileExistence)
{
    TempDir dir(true);
    writeFile(dir.file("package.xml"), "<x/>");
    EXPECT_TRUE(CPlatformLayer::IsFileExits("package.xml"));
    EXPECT_FALSE(CPlatformLayer::IsFileExits("absent.xml"));
    EXPECT_TRUE(CPlatformLayer::IsFileExistsAbs(dir.file("package.xml")));
    EXPECT_FALSE(CPlatformLayer::IsFileExistsAbs(dir.file("absent.xml")));
    EXPECT_FALSE(CPlatformLayer::IsFileExistsAbs("package.xml/"));
    // A name that exists but cannot be opened (a dangling link) does not count.
    ASSERT_EQ(symlink("nowhere", dir.file("dangling").c_str()), 0);
    EXPECT_FALSE(CPlatformLayer::IsFileExits("dangling"));
    // A FIFO (as a planted marker file) is answered at once instead of blocking.
    ASSERT_EQ(mkfifo(dir.file("zepdebuglog").c_str(), 0600), 0);
    EXPECT_TRUE(CPlatformLayer::IsFileExits("zepdebuglog"));
    if (geteuid() != 0) {  // root reads any file: the check only means something for other users
        writeFile(dir.file("secret"), "s");
        ASSERT_EQ(chmod(dir.file("secret").c_str(), 0), 0);
        EXPECT_FALSE(CPlatformLayer::IsFileExits("secret"));
    }
}

TEST(Platform, SetCurrentDirectoryAlwaysTrue)
{
    TempDir dir(true);
    ASSERT_EQ(mkdir(dir.file("inner").c_str(), 0755), 0);
    EXPECT_TRUE(CPlatformLayer::setCurrentDirectory(dir.file("inner")));
    EXPECT_EQ(CPlatformLayer::getCurrentDirectory(), dir.file("inner") + "/");
    EXPECT_TRUE(CPlatformLayer::setCurrentDirectory(dir.file("missing")));
    EXPECT_EQ(CPlatformLayer::getCurrentDirectory(), dir.file("inner") + "/");
}

TEST(Platform, ExecuteCommands)
{
    TempDir dir;
    const long timeout = 0;
    EXPECT_EQ(CPlatformLayer::ExecuteCmd("true", true, timeout), 0);
    int status = CPlatformLayer::ExecuteCmd("exit 3", true, timeout);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(CPlatformLayer::ExecuteCmd("echo hi > '" + dir.file("out") + "'", false, timeout), 0);
    EXPECT_EQ(readFile(dir.file("out")), "hi\n");
    // In the background: the call returns before the command has finished.
    EXPECT_EQ(CPlatformLayer::ExecuteCmdNoWait("(sleep 1; touch '" + dir.file("late") + "')", false, timeout), 0);
    EXPECT_FALSE(pathExists(dir.file("late")));
    for (int i = 0; i < 50 && !pathExists(dir.file("late")); ++i) usleep(100000);
    EXPECT_TRUE(pathExists(dir.file("late")));
}

TEST(Platform, DynamicLibraries)
{
    EXPECT_EQ(CPlatformLayer::Load_Library("/nonexistent/dir/libnothing.so"), nullptr);
    EXPECT_EQ(CPlatformLayer::Load_Library("libdoes-not-exist-anywhere.so"), nullptr);
    EXPECT_EQ(CPlatformLayer::GetProcAddress(nullptr, "strlen"), nullptr);
    CPlatformLayer::FreeLibrary(nullptr);  // must be harmless
    void* handle = CPlatformLayer::Load_Library("libc.so.6");
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(CPlatformLayer::GetProcAddress(handle, "strlen"), nullptr);
    EXPECT_EQ(CPlatformLayer::GetProcAddress(handle, "no_such_symbol_here"), nullptr);
    CPlatformLayer::FreeLibrary(handle);
}

}  // namespace

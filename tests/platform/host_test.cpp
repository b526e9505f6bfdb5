// The host services under the core: prefix and paths, text, files, named mutexes, resources.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/md5.h"
#include "platform/prefix.h"
#include "platform/resources.h"
#include "platform/session.h"
#include "platform/text.h"
#include "tests/support/test_prefix.h"

namespace fs = std::filesystem;
using namespace orvo::test;
using namespace platform;

namespace {

class HostTest : public PrefixTest {};

TEST_F(HostTest, WindowsPathsResolveThroughTheDriveTable) {
  EXPECT_EQ(*ResolvePath(L"C:\\users\\x\\a.txt"), prefix_.root() / "dosdevices/c:/users/x/a.txt");
  EXPECT_EQ(*ResolvePath(L"c:/mixed\\seps"), prefix_.root() / "dosdevices/c:/mixed/seps");
  EXPECT_EQ(*ResolvePath(L"\\\\?\\C:\\long"), prefix_.root() / "dosdevices/c:/long");
  DWORD error = 0;
  EXPECT_FALSE(ResolvePath(L"Q:\\nothing", &error));
  EXPECT_EQ(error, win::kErrorPathNotFound);
  EXPECT_FALSE(ResolvePath(L"\\\\server\\share\\x", &error));

  fs::create_directories(prefix_.root() / "disk_d");
  MapDrive(L'D', prefix_.root() / "disk_d");
  WriteHostFile(prefix_.root() / "disk_d/f.bin", "d");
  EXPECT_TRUE(GetFileAttributes(L"D:\\f.bin"));
  EXPECT_EQ(ToWindowsPath(prefix_.root() / "disk_d/f.bin"), L"D:\\f.bin");
  EXPECT_EQ(ToWindowsPath(prefix_.root() / "drive_c/users"), L"C:\\users");
  EXPECT_EQ(ToWindowsPath("/usr/bin"), L"Z:\\usr\\bin");
}

TEST_F(HostTest, KnownFoldersAreWindowsFormAndExist) {
  for (auto folder : {KnownFolder::Temp, KnownFolder::LocalAppData, KnownFolder::RoamingAppData, KnownFolder::Desktop}) {
    std::wstring path = GetKnownFolder(folder);
    ASSERT_TRUE(path.starts_with(L"C:\\users\\")) << WideToUtf8(path);
    EXPECT_EQ(path.back(), L'\\');
    auto attributes = GetFileAttributes(path);
    ASSERT_TRUE(attributes);
    EXPECT_TRUE(attributes->directory);
  }
  EXPECT_TRUE(GetKnownFolder(KnownFolder::LocalAppData).ends_with(L"\\AppData\\Local\\"));
  EXPECT_TRUE(GetModuleFileName().ends_with(L"\\host_tests"));
}

TEST_F(HostTest, FullPathNamesFoldDotsAndKeepTrailingSeparators) {
  EXPECT_EQ(GetFullPathName(L"C:\\a\\.\\b\\..\\c"), L"C:\\a\\c");
  EXPECT_EQ(GetFullPathName(L"C:\\a\\\\b\\"), L"C:\\a\\b\\");
  EXPECT_EQ(GetFullPathName(L"C:\\..\\.."), L"C:\\");
}

TEST(Text, ConversionsNeverFailOnBadInput) {
  EXPECT_EQ(Utf8ToWide("caf\xC3\xA9"), L"caf\u00e9");
  EXPECT_EQ(Utf8ToWide("a\xFF" "b\xE6\xB8"), L"a\uFFFDb\uFFFD\uFFFD");
  EXPECT_EQ(WideToUtf8(L"\u6e38\U0001F600"), "\xE6\xB8\xB8\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Text, AnsiFollowsTheLocaleCharset) {
  setenv("LC_ALL", "zh_CN.GBK", 1);
  EXPECT_EQ(AnsiCharset(), "GBK");
  EXPECT_EQ(WideToAnsi(L"\u6e38"), "\xD3\xCE");
  EXPECT_EQ(AnsiToWide("\xD3\xCE"), L"\u6e38");
  setenv("LC_ALL", "C", 1);
  EXPECT_EQ(WideToAnsi(L"caf\u00e9"), "caf?");
  setenv("LC_ALL", "xx_XX.NO-SUCH-CHARSET", 1);
  EXPECT_EQ(WideToAnsi(L"caf\u00e9"), "caf\xE9");
  EXPECT_EQ(AnsiToWide("caf\xE9"), L"caf\u00e9");
  setenv("LC_ALL", "en_US.utf8", 1);
  EXPECT_EQ(AnsiCharset(), "UTF-8");
  EXPECT_EQ(WideToAnsi(L"caf\u00e9"), "caf\xC3\xA9");
  unsetenv("LC_ALL");
}

TEST(Text, Utf16LeRoundTripsAnyUnits) {
  const std::wstring text = L"A\u00e9\U0001F600";
  EXPECT_EQ(WideToUtf16Le(text), std::string("A\0\xE9\0\x3D\xD8\x00\xDE", 8));
  EXPECT_EQ(Utf16LeToWide(WideToUtf16Le(text)), text);
  // A lone surrogate survives both ways; an odd trailing byte is ignored.
  const std::string lone("\x00\xD8x", 3);
  EXPECT_EQ(Utf16LeToWide(lone), std::wstring(1, static_cast<wchar_t>(0xD800)));
  EXPECT_EQ(WideToUtf16Le(Utf16LeToWide(lone)), lone.substr(0, 2));
  EXPECT_TRUE(EqualsNoCase(L"Software\\Vormak", L"SOFTWARE\\vormak"));
}

TEST(Md5, KnownDigests) {
  EXPECT_EQ(HexMd5("", 0), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(HexMd5("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
  Md5 md5;
  md5.Update("a", 1);
  md5.Update("bc", 2);
  EXPECT_EQ(HexDigest(md5.Final()), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(HostTest, FileErrorsAreTheWin32Codes) {
  using D = File::Disposition;
  EXPECT_FALSE(File::Open(L"C:\\missing.txt", File::Access::Read, D::OpenExisting));
  EXPECT_EQ(GetLastError(), win::kErrorFileNotFound);
  EXPECT_FALSE(File::Open(L"C:\\no\\such\\f.txt", File::Access::Write, D::CreateAlways));
  EXPECT_EQ(GetLastError(), win::kErrorPathNotFound);
  EXPECT_FALSE(File::Open(L"C:\\users", File::Access::Read, D::OpenExisting));
  EXPECT_EQ(GetLastError(), win::kErrorAccessDenied);

  auto file = File::Open(L"C:\\f.txt", File::Access::ReadWrite, D::CreateAlways);
  ASSERT_TRUE(file);
  std::uint32_t n = 0;
  ASSERT_TRUE(file->Write("hello", 5, &n));
  char buffer[8] = {};
  ASSERT_TRUE(file->ReadAt(1, buffer, 8, &n));
  EXPECT_EQ(std::string(buffer, n), "ello");
  EXPECT_FALSE(File::Open(L"C:\\f.txt", File::Access::Write, D::CreateNew));
  EXPECT_EQ(GetLastError(), win::kErrorFileExists);
}

TEST_F(HostTest, ReadOnlyFilesAndExistingTargetsAreRefused) {
  WriteHostFile(prefix_.Host(L"C:\\ro.txt"), "x");
  ASSERT_TRUE(SetReadOnly(L"C:\\ro.txt", true));
  EXPECT_TRUE(GetFileAttributes(L"C:\\ro.txt")->readOnly);
  EXPECT_FALSE(DeleteFile(L"C:\\ro.txt"));
  EXPECT_EQ(GetLastError(), win::kErrorAccessDenied);
  ASSERT_TRUE(SetReadOnly(L"C:\\ro.txt", false));
  WriteHostFile(prefix_.Host(L"C:\\other.txt"), "y");
  EXPECT_FALSE(MoveFile(L"C:\\ro.txt", L"C:\\other.txt"));
  EXPECT_EQ(GetLastError(), win::kErrorAlreadyExists);
  EXPECT_TRUE(MoveFile(L"C:\\ro.txt", L"C:\\moved.txt"));
  EXPECT_TRUE(DeleteFile(L"C:\\moved.txt"));
  EXPECT_FALSE(DeleteFile(L"C:\\moved.txt"));
  EXPECT_EQ(GetLastError(), win::kErrorFileNotFound);
  EXPECT_FALSE(CreateDirectory(L"C:\\a\\b"));
  EXPECT_EQ(GetLastError(), win::kErrorPathNotFound);
  EXPECT_TRUE(CreateDirectoryTree(L"C:\\a\\b\\c\\"));
  EXPECT_FALSE(CreateDirectory(L"C:\\a\\b"));
  EXPECT_EQ(GetLastError(), win::kErrorAlreadyExists);
}

TEST(NamedMutex, ExistsWhileAHandleIsHeld) {
  const std::wstring name = L"orvo-test-" + std::to_wstring(::getpid());
  EXPECT_FALSE(NamedMutex::Open(name));
  EXPECT_EQ(GetLastError(), win::kErrorFileNotFound);
  {
    auto first = NamedMutex::Create(name);
    ASSERT_TRUE(first);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(NamedMutex::Open(name));
    auto second = NamedMutex::Create(name);
    EXPECT_TRUE(second);
    EXPECT_EQ(GetLastError(), win::kErrorAlreadyExists);
  }
  EXPECT_FALSE(NamedMutex::Open(name));
}

TEST(NamedMutex, SessionIdSeam) {
  setenv("ORVO_LOGON_SESSION", "42", 1);
  DWORD id = 0;
  ASSERT_TRUE(ProcessSessionId(&id));
  EXPECT_EQ(id, 42u);
  setenv("ORVO_LOGON_SESSION", "not a number", 1);
  EXPECT_FALSE(ProcessSessionId(&id));
  unsetenv("ORVO_LOGON_SESSION");
  EXPECT_TRUE(ProcessSessionId(&id));
}

TEST(Resources, LinkedIntoTheExecutable) {
  auto bytes = FindResource("CUSTOM", 134);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "resource bytes\n");
  EXPECT_FALSE(FindResource("ZIPRES", 133));
}

}  // namespace

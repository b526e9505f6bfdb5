// File and process utilities: digests, folder removal, program start, folders, the file
// object. Programs are real child processes (the scripts in tests/data/utils/).
#include "platform/utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <thread>

#include "app/logger.h"
#include "platform/fs.h"
#include "platform/lumalib_file.h"
#include "platform/prefix.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tests/support/test_prefix.h"

namespace fs = std::filesystem;
using orvo::test::ReadHostFile;
using orvo::test::WriteHostFile;
using platform::WideToUtf8;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

const fs::path kData = fs::path(ORVO_SOURCE_DIR) / "tests/data/utils";

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return bytes;
}

class UtilsTest : public orvo::test::PrefixTest {
 protected:
  std::wstring C(const std::wstring& below) const { return prefix_.C(below); }
  fs::path Host(const std::wstring& windowsPath) const { return prefix_.Host(windowsPath); }
  void Write(const std::wstring& windowsPath, const std::string& bytes) const {
    WriteHostFile(Host(windowsPath), bytes);
  }
  // Copies a script of tests/data/utils into the prefix with the given permission bits.
  std::wstring Program(const std::string& name, fs::perms mode = fs::perms(0755)) const {
    std::wstring path = C(L"bin\\" + platform::Utf8ToWide(name));
    fs::create_directories(Host(path).parent_path());
    fs::copy_file(kData / name, Host(path), fs::copy_options::overwrite_existing);
    fs::permissions(Host(path), mode);
    return path;
  }
  // Messages of the log lines
  //   "YYYY-MM-DD HH:MM:SS:mmm [tid=N][<level>][utils][utils.cpp][<function>@<line>] <message>"
  static std::vector<std::string> LogMessages(const std::string& level, const std::string& function) {
    Logger::Instance().Stop();
    auto host = platform::ResolvePath(Logger::Instance().Path());
    std::istringstream log(host ? ReadHostFile(*host) : std::string());
    const std::string columns = "][" + level + "][utils][utils.cpp][" + function + "@";
    auto digits = [](std::string_view text) {
      return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    std::vector<std::string> messages;
    for (std::string text; std::getline(log, text);) {
      // Time: 23 characters, digits where the format has them.
      const std::string_view time = std::string_view(text).substr(0, 23);
      bool timeOk = time.size() == 23 && digits(time.substr(0, 4)) && time[4] == '-' && time[10] == ' ' &&
                    time[19] == ':' && digits(time.substr(20, 3));
      auto at = text.find(columns);
      if (!timeOk || !text.starts_with(std::string(time) + " [tid=") || at == std::string::npos) continue;
      if (!digits(std::string_view(text).substr(29, at - 29))) continue;
      auto close = text.find("] ", at + columns.size());
      if (close == std::string::npos || !digits(std::string_view(text).substr(at + columns.size(), close - at - columns.size()))) continue;
      if (!text.ends_with('\r')) continue;
      messages.push_back(text.substr(close + 2, text.size() - close - 3));
    }
    return messages;
  }
};

// ---- GetFileHexMd5 -----------------------------------------------------------------------

TEST_F(UtilsTest, Md5OfContentsAroundTheBufferSize) {
  struct Case {
    std::size_t size;
    const char* digest;
  };
  const Case cases[] = {
      {0, "d41d8cd98f00b204e9800998ecf8427e"},      {65535, "70a2002bd59609d66effc9f59e27e0a7"},
      {65536, "55f3da07043d8f6f30808f9309120b1d"},  {65537, "8bbe2ba9b420c53493027ed87dbc57c8"},
      {200000, "d7f02347e9fd18d5b486e864a9d37c08"},
  };
  for (const auto& c : cases) {
    std::wstring path = C(L"md5\\" + std::to_wstring(c.size) + L".bin");
    Write(path, Pattern(c.size));
    EXPECT_EQ(GetFileHexMd5(path), platform::Utf8ToWide(c.digest)) << c.size;
  }
  Write(C(L"md5\\abc.txt"), "abc");
  EXPECT_EQ(GetFileHexMd5(C(L"md5\\abc.txt")), L"900150983cd24fb0d6963f7d28e17f72");
  EXPECT_THAT(LogMessages("Error", "GetFileHexMd5"), IsEmpty());
}

TEST_F(UtilsTest, Md5OfWhatCannotBeOpenedIsEmptyAndLogged) {
  fs::create_directories(Host(C(L"folder")));
  const std::wstring missing = C(L"missing.bin");
  const std::wstring folder = C(L"folder");
  const std::wstring noParent = C(L"nowhere\\x.bin");
  EXPECT_EQ(GetFileHexMd5(missing), L"");
  EXPECT_EQ(platform::GetLastError(), platform::win::kErrorFileNotFound);
  EXPECT_EQ(GetFileHexMd5(folder), L"");
  EXPECT_EQ(GetFileHexMd5(noParent), L"");
  EXPECT_THAT(LogMessages("Error", "GetFileHexMd5"),
              ElementsAre("open " + WideToUtf8(missing) + " failed. error code: 2",
                          "open " + WideToUtf8(folder) + " failed. error code: 5",
                          "open " + WideToUtf8(noParent) + " failed. error code: 3"));
}

// A kernel attribute file reports a size (a page) larger than what it yields: the same as a
// file that shrank after it was opened.
TEST_F(UtilsTest, Md5OfFileThatEndsBeforeItsSizeFails) {
  const fs::path source = "/sys/devices/system/cpu/online";
  std::error_code ec;
  if (fs::file_size(source, ec) <= ReadHostFile(source).size() || ec) {
    GTEST_SKIP() << source << " does not report more bytes than it has";
  }
  EXPECT_EQ(GetFileHexMd5(platform::ToWindowsPath(source)), L"");
  EXPECT_THAT(LogMessages("Error", "GetFileHexMd5"),
              ElementsAre("read file buffer failed. error code: 38"));
}

// ---- DeleteFolder ------------------------------------------------------------------------

class DeleteFolderTest : public UtilsTest {
 protected:
  void SetUp() override {
    for (const wchar_t* file : {L"victim\\a.txt", L"victim\\sub\\b.txt", L"victim\\sub\\deeper\\c.txt",
                                L"outside\\keep.txt", L"outside_file.txt"}) {
      Write(C(file), "data");
    }
    fs::create_directories(Host(C(L"victim\\empty")));
    fs::create_directory_symlink(Host(C(L"outside")), Host(C(L"victim\\link_dir")));
    fs::create_symlink(Host(C(L"outside_file.txt")), Host(C(L"victim\\sub\\link_file")));
    fs::create_symlink("/nonexistent/orvo-target", Host(C(L"victim\\dangling")));
  }
  void ExpectOutsideUntouched() const {
    EXPECT_EQ(ReadHostFile(Host(C(L"outside\\keep.txt"))), "data");
    EXPECT_EQ(ReadHostFile(Host(C(L"outside_file.txt"))), "data");
  }
  // Everything left below `root`, as sorted relative host paths.
  std::vector<std::string> Left(const std::wstring& root) const {
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(Host(root))) {
      left.push_back(entry.path().lexically_relative(Host(root)).string());
    }
    std::sort(left.begin(), left.end());
    return left;
  }
};

TEST_F(DeleteFolderTest, RemovesTreeAndLinksButNeverWhatLinksPointTo) {
  std::vector<std::wstring> failed;
  EXPECT_TRUE(DeleteFolder(C(L"victim"), failed, false));
  EXPECT_THAT(failed, IsEmpty());
  EXPECT_FALSE(fs::exists(fs::symlink_status(Host(C(L"victim")))));
  ExpectOutsideUntouched();
}

TEST_F(DeleteFolderTest, ReadOnlyFileIsListedAndKeptWithItsFolders) {
  Write(C(L"victim\\sub\\ro.txt"), "locked");
  ASSERT_TRUE(platform::SetReadOnly(C(L"victim\\sub\\ro.txt"), true));
  for (const std::wstring& folder : {C(L"victim"), C(L"victim\\")}) {
    std::vector<std::wstring> failed{L"earlier entry"};
    EXPECT_FALSE(DeleteFolder(folder, failed, false));
    // The caller's list is appended to, and a trailing backslash is not doubled.
    EXPECT_THAT(failed, ElementsAre(L"earlier entry", C(L"victim\\sub\\ro.txt")));
    EXPECT_THAT(Left(C(L"victim")), ElementsAre("sub", "sub/ro.txt"));
  }
  EXPECT_EQ(ReadHostFile(Host(C(L"victim\\sub\\ro.txt"))), "locked");
  ExpectOutsideUntouched();
}

TEST_F(DeleteFolderTest, MoveOnRebootRegistersFilesAndLeavesThemInPlace) {
  std::vector<std::wstring> failed;
  EXPECT_TRUE(DeleteFolder(C(L"victim\\"), failed, true));
  EXPECT_THAT(failed, IsEmpty());
  EXPECT_EQ(ReadHostFile(Host(C(L"victim\\sub\\deeper\\c.txt"))), "data");
  std::string pending = ReadHostFile(platform::PrefixRoot() / "pending-deletes.txt");
  for (const wchar_t* file : {L"victim\\a.txt", L"victim\\sub\\b.txt", L"victim\\sub\\deeper\\c.txt",
                              L"victim\\sub\\link_file", L"victim\\dangling"}) {
    EXPECT_NE(pending.find(Host(C(file)).string() + "\n"), std::string::npos) << WideToUtf8(file);
  }
  EXPECT_EQ(pending.find("keep.txt"), std::string::npos);
  EXPECT_EQ(pending.find("outside_file.txt"), std::string::npos);
  // A link to a folder goes at once, like the emptied subfolders.
  EXPECT_FALSE(fs::exists(fs::symlink_status(Host(C(L"victim\\link_dir")))));
  EXPECT_FALSE(fs::exists(Host(C(L"victim\\empty"))));
  ExpectOutsideUntouched();
}

TEST_F(DeleteFolderTest, FolderThatIsALinkLosesOnlyTheLink) {
  fs::create_directory_symlink(Host(C(L"victim")), Host(C(L"alias")));
  std::vector<std::wstring> failed;
  EXPECT_TRUE(DeleteFolder(C(L"alias\\"), failed, false));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Host(C(L"alias")))));
  EXPECT_EQ(ReadHostFile(Host(C(L"victim\\sub\\b.txt"))), "data");
}

TEST_F(DeleteFolderTest, WhatCannotBeListedFailsAndChangesNothing) {
  std::vector<std::wstring> failed;
  EXPECT_FALSE(DeleteFolder(C(L"absent"), failed, false));
  EXPECT_FALSE(DeleteFolder(C(L"victim\\a.txt"), failed, false));
  EXPECT_FALSE(DeleteFolder(L"Q:\\victim", failed, false));
  EXPECT_FALSE(DeleteFolder(L"", failed, false));
  EXPECT_THAT(failed, IsEmpty());
  EXPECT_EQ(ReadHostFile(Host(C(L"victim\\a.txt"))), "data");
}

// ---- RunProgram --------------------------------------------------------------------------

TEST_F(UtilsTest, RunProgramReturnsTheExitCode) {
  std::uint32_t code = 77;
  EXPECT_TRUE(RunProgram(Program("exit_with_3.sh"), L"", true, &code));
  EXPECT_EQ(code, 3u);
  // A downloaded package has no execute bit; it runs all the same.
  code = 77;
  std::wstring package = Program("exit_with_3.sh", fs::perms(0644));
  EXPECT_TRUE(RunProgram(package, L"", true, &code));
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(fs::status(Host(package)).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
}

TEST_F(UtilsTest, RunProgramThatCannotStartLeavesExitCodeAlone) {
  fs::create_directories(Host(C(L"folder")));
  struct Case {
    std::wstring file;
    platform::DWORD error;
  };
  const Case cases[] = {
      {C(L"bin\\missing.exe"), platform::win::kErrorFileNotFound},
      {C(L"nowhere\\missing.exe"), platform::win::kErrorPathNotFound},
      {L"Q:\\missing.exe", platform::win::kErrorPathNotFound},
      {C(L"folder"), platform::win::kErrorAccessDenied},
      {Program("not_a_program.txt", fs::perms(0644)), platform::win::kErrorBadExeFormat},
      {Program("not_a_program.txt", fs::perms(0755)), platform::win::kErrorBadExeFormat},
  };
  std::vector<std::string> expectedLog;
  for (const auto& c : cases) {
    std::uint32_t code = 12345;
    EXPECT_FALSE(RunProgram(c.file, L"-x", true, &code)) << WideToUtf8(c.file);
    EXPECT_EQ(platform::GetLastError(), c.error) << WideToUtf8(c.file);
    EXPECT_EQ(code, 12345u);
    expectedLog.push_back("run " + WideToUtf8(c.file) + " failed. error code: " + std::to_string(c.error));
  }
  EXPECT_EQ(LogMessages("Error", "RunProgram"), expectedLog);
}

TEST_F(UtilsTest, RunProgramPassesArgumentsIntactInTheCurrentFolder) {
  const std::wstring script = Program("echo_args.sh");
  const fs::path out = Host(C(L"args.out"));
  ::setenv("ORVO_TEST_ARGS_OUT", out.c_str(), 1);
  fs::create_directories(Host(C(L"work dir")));
  fs::current_path(Host(C(L"work dir")));
  struct Case {
    std::wstring parameters;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {L"", {}},
      {L"-pkg \"D:\\Games\\My Game.apk\" -apksupplyid 1001", {"-pkg", "D:\\Games\\My Game.apk", "-apksupplyid", "1001"}},
      {L"-displayname \"\u6e38\u620f \u4e2d\u5fc3\"", {"-displayname", "\xe6\xb8\xb8\xe6\x88\x8f \xe4\xb8\xad\xe5\xbf\x83"}},
      {L"\"\" say\\\"hi\\\" \"C:\\dir\\\\\"", {"", "say\"hi\"", "C:\\dir\\"}},
  };
  for (const auto& c : cases) {
    fs::remove(out);
    std::uint32_t code = 99;
    ASSERT_TRUE(RunProgram(script, c.parameters, false, &code)) << WideToUtf8(c.parameters);
    EXPECT_EQ(code, 0u);
    std::vector<std::string> received;
    std::istringstream in(ReadHostFile(out));
    for (std::string item; std::getline(in, item, '\0');) received.push_back(item);
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(fs::path(received.front()), fs::current_path());
    received.erase(received.begin());
    EXPECT_EQ(received, c.arguments) << WideToUtf8(c.parameters);
  }
}

TEST_F(UtilsTest, SplitCommandLineFollowsWindowsRules) {
  struct Case {
    std::wstring line;
    std::vector<std::wstring> arguments;
  };
  const Case cases[] = {
      {L"", {}},
      {L"   \t ", {}},
      {L"a b\t\tc  ", {L"a", L"b", L"c"}},
      {L"\"a b\" c", {L"a b", L"c"}},
      {L"\"\"", {L""}},
      {L"a\"b c\"d", {L"ab cd"}},
      {L"a\\b c\\\\d", {L"a\\b", L"c\\\\d"}},          // backslashes before no quote: literal
      {L"a\\\"b", {L"a\"b"}},                          // 1 backslash + quote: literal quote
      {L"a\\\\\"b c\"", {L"a\\b c"}},                  // 2 backslashes + quote: one backslash, quote opens
      {L"a\\\\\\\"b", {L"a\\\"b"}},                    // 3 backslashes + quote
      {L"\"C:\\Program Files\\\" -x", {L"C:\\Program Files\" -x"}},  // the classic trap
      {L"\"a\"\"b\"", {L"a\"b"}},                      // closing quote followed by a quote
      {L"\"a\"\"b c\"", {L"a\"b", L"c"}},              // ... which leaves the part closed
      {L"\"\"\"", {L"\""}},
      {L"a\"\"b", {L"ab"}},
      {L"\"unterminated part", {L"unterminated part"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::SplitCommandLine(c.line), c.arguments) << WideToUtf8(c.line);
  }
}

TEST_F(UtilsTest, RunProgramTakesFullExitCodesAndSignals) {
  const std::wstring script = Program("full_exit_code.sh");
  struct Case {
    std::wstring parameters;
    std::uint32_t code;
  };
  const Case cases[] = {
      {L"1000 232", 1000},              // 1000 & 0xFF == 232
      {L"4294967295 255", 0xFFFFFFFFu},
      {L"1000 3", 3},                   // disagrees with the status: the status counts
      {L"junk 7", 7},
      {L"4294967296 0", 0},             // out of range
  };
  for (const auto& c : cases) {
    std::uint32_t code = 77;
    EXPECT_TRUE(RunProgram(script, c.parameters, true, &code));
    EXPECT_EQ(code, c.code) << WideToUtf8(c.parameters);
  }
  std::uint32_t code = 77;
  EXPECT_TRUE(RunProgram(Program("killed_by_signal.sh"), L"", true, &code));
  EXPECT_EQ(code, platform::kExitCodeSignalBase | SIGKILL);
}

TEST_F(UtilsTest, RunProgramWithoutExitCodeDoesNotWait) {
  const fs::path go = Host(C(L"go"));
  const fs::path done = Host(C(L"done"));
  ASSERT_TRUE(RunProgram(Program("wait_for_go.sh"),
                         L"\"" + platform::Utf8ToWide(go.string()) + L"\" \"" +
                             platform::Utf8ToWide(done.string()) + L"\"",
                         false));
  // Still waiting for the go file, so RunProgram cannot have waited for it to end.
  EXPECT_FALSE(fs::exists(done));
  WriteHostFile(go, "");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(done) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(fs::exists(done));
}

// ---- EnsureFolder, FileExists, delete and move -------------------------------------------

TEST_F(UtilsTest, EnsureFolderCreatesEveryMissingLevel) {
  EnsureFolder(C(L"one\\two\\three\\four\\"));
  EXPECT_TRUE(fs::is_directory(Host(C(L"one\\two\\three\\four"))));
  EnsureFolder(C(L"one\\two"));  // existing: nothing to do
  EnsureFolder(C(L"one\\two\\three\\four"));
  EXPECT_TRUE(fs::is_directory(Host(C(L"one\\two\\three\\four"))));
}

TEST_F(UtilsTest, EnsureFolderRaisesTheFileSystemError) {
  Write(C(L"plain.txt"), "x");
  for (const std::wstring& path : {C(L"plain.txt"), C(L"plain.txt\\sub"), std::wstring(L"Q:\\folder")}) {
    try {
      EnsureFolder(path);
      ADD_FAILURE() << "no exception for " << WideToUtf8(path);
    } catch (const std::filesystem::filesystem_error& error) {
      EXPECT_EQ(error.path1().string(), WideToUtf8(path));
      EXPECT_TRUE(error.code()) << error.what();
    }
  }
  EXPECT_EQ(ReadHostFile(Host(C(L"plain.txt"))), "x");
}

TEST_F(UtilsTest, FileExistsDeleteFileAndMoveFile) {
  Write(C(L"f\\a.txt"), "a");
  Write(C(L"f\\b.txt"), "b");
  EXPECT_TRUE(lumalib::FileExists(C(L"f\\a.txt")));
  EXPECT_TRUE(lumalib::FileExists(C(L"f")));
  EXPECT_FALSE(lumalib::FileExists(C(L"f\\none.txt")));

  EXPECT_FALSE(lumalib::MoveFile(C(L"f\\a.txt"), C(L"f\\b.txt")));  // target exists
  EXPECT_EQ(platform::GetLastError(), platform::win::kErrorAlreadyExists);
  EXPECT_TRUE(lumalib::MoveFile(C(L"f\\a.txt"), C(L"f\\c.txt")));
  EXPECT_EQ(ReadHostFile(Host(C(L"f\\c.txt"))), "a");

  ASSERT_TRUE(platform::SetReadOnly(C(L"f\\b.txt"), true));
  EXPECT_FALSE(lumalib::DeleteFile(C(L"f\\b.txt")));
  EXPECT_EQ(platform::GetLastError(), platform::win::kErrorAccessDenied);
  EXPECT_TRUE(lumalib::DeleteFile(C(L"f\\c.txt")));
  EXPECT_FALSE(lumalib::FileExists(C(L"f\\c.txt")));
  EXPECT_FALSE(lumalib::DeleteFile(C(L"f\\c.txt")));
}

// ---- lumalib::File -----------------------------------------------------------------------

TEST_F(UtilsTest, FileObjectResolvesItsPath) {
  fs::create_directories(Host(C(L"cwd\\sub")));
  fs::current_path(Host(C(L"cwd\\sub")));
  EXPECT_EQ(lumalib::File(L"..\\x.xml").Path(), C(L"cwd\\x.xml"));
  EXPECT_EQ(lumalib::File(L"x.xml ").Path(), C(L"cwd\\sub\\x.xml "));
  EXPECT_EQ(lumalib::File(C(L"a\\.\\b.xml")).Path(), C(L"a\\b.xml"));
  lumalib::File empty(L"");
  EXPECT_EQ(empty.Path(), L"");
  EXPECT_FALSE(empty.OpenRead());
  EXPECT_EQ(empty.Size(), -1);
}

TEST_F(UtilsTest, FileObjectReadsWholeFilesInPieces) {
  const std::size_t size = lumalib::File::kReadPiece + 17;  // one full piece and a little more
  const std::string content = Pattern(size);
  Write(C(L"big.bin"), content);
  lumalib::File file(C(L"big.bin"));
  std::vector<char> buffer(size + 100);
  EXPECT_EQ(file.Read(buffer.data(), buffer.size()), -1);  // not open
  EXPECT_EQ(file.Size(), static_cast<std::int64_t>(size));
  ASSERT_TRUE(file.OpenRead());
  EXPECT_EQ(file.Read(buffer.data(), buffer.size()), static_cast<std::int64_t>(size));
  EXPECT_EQ(std::string_view(buffer.data(), size), content);
  EXPECT_EQ(file.Read(buffer.data(), buffer.size()), 0);  // at the end
  // Size comes from the path: it follows the file as it grows while open.
  WriteHostFile(Host(C(L"big.bin")), content + "tail");
  EXPECT_EQ(file.Size(), static_cast<std::int64_t>(size + 4));
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Read(buffer.data(), 10), -1);

  ASSERT_TRUE(file.OpenRead());
  EXPECT_EQ(file.Read(buffer.data(), 10), 10);
  EXPECT_EQ(std::string_view(buffer.data(), 10), content.substr(0, 10));

  lumalib::File missing(C(L"missing.bin"));
  EXPECT_FALSE(missing.OpenRead());
  EXPECT_EQ(missing.Size(), -1);
  EXPECT_EQ(missing.Read(buffer.data(), 10), -1);
}

}  // namespace

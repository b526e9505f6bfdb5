// The installer run as a real process against its own prefix.
#include "app/entry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "config/extern_data.h"
#include "platform/prefix.h"
#include "tests/support/log_reader.h"
#include "tests/support/test_prefix.h"

namespace fs = std::filesystem;
using namespace orvo::test;

namespace {

class EntryTest : public PrefixTest {
 protected:
  // A copy of the installer in the prefix, optionally with blocks appended.
  fs::path Installer(const std::vector<std::string>& jsonBlocks = {}) {
    fs::path copy = prefix_.root() / "drive_c" / "OrvoDownloader";
    fs::copy_file(ORVO_INSTALLER, copy, fs::copy_options::overwrite_existing);
    std::string bytes = ReadHostFile(copy);
    for (const auto& json : jsonBlocks) bytes += config::BuildExternBlock(json);
    WriteHostFile(copy, bytes);
    fs::permissions(copy, fs::perms::owner_all);
    return copy;
  }

  // Runs the installer in logon session `session`; returns its exit status.
  int Run(const fs::path& program, const std::string& session) {
    pid_t pid = fork();
    if (pid == 0) {
      setenv("ORVO_LOGON_SESSION", session.c_str(), 1);
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  std::vector<std::string> Log() {
    fs::path file = FindLogFile(prefix_.root());
    EXPECT_FALSE(file.empty()) << "expected exactly one log file";
    auto lines = ReadLogLines(file);
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_NE(lines.back().find(" End..."), std::string::npos) << lines.back();
    }
    std::vector<std::string> messages;
    for (const auto& line : lines) {
      if (auto record = ParseLogLine(line)) messages.push_back(record->module + ": " + record->message);
    }
    return messages;
  }

  // A session id of this test alone, so parallel tests never meet each other's mutex.
  std::string Session(int n = 0) { return std::to_string(getpid() * 10 + n); }
};

TEST(SingletonName, CarriesTheSessionId) {
  EXPECT_EQ(SingletonMutexName(1), L"{5E2A7C41-9B3D-4F06-8C1E-2D7A9F3B6E58}_OrvoDownloader_1");
  EXPECT_EQ(SingletonMutexName(4294967294ul), L"{5E2A7C41-9B3D-4F06-8C1E-2D7A9F3B6E58}_OrvoDownloader_4294967294");
}

TEST_F(EntryTest, PlainRunLogsStartSummaryAndEnd) {
  EXPECT_EQ(Run(Installer(), Session()), 0);
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "Main: OrvoDownload Start.",
                       "GConfig: check magic failed or length is zero",
                       "GConfig: need install pkg []",
                       "GConfig: OrvoDownloader inner SupplyId [0]",
                       "GConfig: OrvoDownloader inner buildid [0]",
                       "GConfig: OrvoDownloader inner appid []",
                       "GConfig: Background png number: 0",
                       "Main: OrvoDownload End.",
                   }));
}

TEST_F(EntryTest, StampedBlocksAreReadFromTheOwnFile) {
  EXPECT_EQ(Run(Installer({R"({"supplyid":30,"buildid":7,"pkgName":"com.a"})",
                           R"({"supplyid":31,"sourceid":"app9","bkgPngNumber":3})"}),
                Session()),
            0);
  auto log = Log();
  auto find = [&](const std::string& m) { return std::find(log.begin(), log.end(), m) != log.end(); };
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& m) {
              return m.starts_with("GConfig: find the inject data: 0x");
            }),
            2);
  EXPECT_TRUE(find("GConfig: need install pkg [com.a]"));
  EXPECT_TRUE(find("GConfig: OrvoDownloader inner SupplyId [31]"));
  EXPECT_TRUE(find("GConfig: OrvoDownloader inner buildid [7]"));
  EXPECT_TRUE(find("GConfig: OrvoDownloader inner appid [app9]"));
  EXPECT_TRUE(find("GConfig: Background png number: 3"));
}

TEST_F(EntryTest, SecondStartInTheSameSessionEndsAtOnce) {
  const std::string session = Session();
  setenv("ORVO_LOGON_SESSION", session.c_str(), 1);
  std::optional<platform::NamedMutex> first;
  ASSERT_TRUE(CheckSingleton(first));  // this process is the running installer
  ASSERT_TRUE(first.has_value());
  std::optional<platform::NamedMutex> again;
  EXPECT_FALSE(CheckSingleton(again));

  EXPECT_EQ(Run(Installer(), session), 0);
  auto log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log.back(), "Main: OrvoDownloader only run one instance");
  EXPECT_EQ(std::count(log.begin(), log.end(), "Main: OrvoDownload End."), 0);
}

TEST_F(EntryTest, StartInAnotherSessionIsNotBlocked) {
  setenv("ORVO_LOGON_SESSION", Session(1).c_str(), 1);
  std::optional<platform::NamedMutex> first;
  ASSERT_TRUE(CheckSingleton(first));
  EXPECT_EQ(Run(Installer(), Session(2)), 0);
  auto log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "Main: OrvoDownload End.");
}

TEST_F(EntryTest, MutexVanishesWithItsProcess) {
  const std::string session = Session();
  EXPECT_EQ(Run(Installer(), session), 0);
  setenv("ORVO_LOGON_SESSION", session.c_str(), 1);
  std::optional<platform::NamedMutex> handle;
  EXPECT_TRUE(CheckSingleton(handle));
}

}  // namespace

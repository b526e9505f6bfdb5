#include "app/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/prefix.h"
#include "platform/text.h"
#include "tests/support/log_reader.h"
#include "tests/support/test_prefix.h"

namespace fs = std::filesystem;
using namespace orvo::test;

namespace {

class LoggerTest : public PrefixTest {
 protected:
  std::wstring LogPath(const std::wstring& name = L"run.log") {
    platform::CreateDirectoryTree(L"C:\\logs\\");
    return L"C:\\logs\\" + name;
  }
  fs::path Host(const std::wstring& path) { return prefix_.Host(path); }
};

// Waits (bounded) until `done` holds.
template <class Predicate>
bool WaitFor(Predicate done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

TEST_F(LoggerTest, WritesTheLineFormatLiterally) {
  const std::uint32_t tid = platform::CurrentThreadId();
  LogLine(kLogError, "Report", "d:\\build\\src\\report", "DataReport::Send", 42)
      << "sent " << 7 << " of " << 8u << " at " << LogHex{0xAB} << L" wide " << std::string("narrow")
      << " " << -3 << " " << 18446744073709551615ull;
  Logger::Instance().Stop();
  auto lines = ReadLogLines(Host(Logger::Instance().Path()));
  ASSERT_EQ(lines.size(), 2u);
  const std::string time = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3})";
  EXPECT_TRUE(std::regex_match(lines[0].substr(0, 23), std::regex(time))) << lines[0];
  EXPECT_EQ(lines[0].substr(23), " [tid=" + std::to_string(tid) +
                                     "][Error][Report][report][DataReport::Send@42] sent 7 of 8 at "
                                     "0x000000AB wide narrow -3 18446744073709551615");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(time + " End\\.\\.\\.")));
}

TEST_F(LoggerTest, ClampsLevelsAndCutsColumns) {
  const std::string module70(70, 'm'), file300(300, 'f'), function200(200, 'g');
  struct Case {
    int level;
    const char* name;
  } cases[] = {{0, "Info"}, {1, "Info"}, {2, "Warn"}, {3, "Error"}, {7, "Error"}, {-1, "Error"}};
  for (const auto& c : cases) LogLine(c.level, "Main", "a.cpp", "F", 1) << c.level;
  LogLine(kLogInfo, module70.c_str(), file300.c_str(), function200.c_str(), 2) << "cut";
  LOG_WARN("Main") << "macro";
  auto records = StopLoggerAndReadRecords();
  ASSERT_EQ(records.size(), std::size(cases) + 2);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(records[i].level, cases[i].name) << "level " << cases[i].level;
  }
  const auto& cut = records[std::size(cases)];
  EXPECT_EQ(cut.module, module70.substr(0, 63));
  EXPECT_EQ(cut.file, file300.substr(0, 255));
  EXPECT_EQ(cut.function, function200.substr(0, 127));
  // The macro names the file without its folders and the function with its class.
  const auto& macro = records.back();
  EXPECT_EQ(macro.file, "logger_test.cpp");
  EXPECT_EQ(macro.function, "LoggerTest_ClampsLevelsAndCutsColumns_Test::TestBody");
  EXPECT_EQ(macro.level, "Warn");
}

TEST_F(LoggerTest, FirstLineCreatesTheRunFileInTheTemporaryFolder) {
  const platform::LocalTime before = platform::LocalNow();
  LOG_INFO("Main") << "first";
  const std::wstring path = Logger::Instance().Path();
  const std::wstring folder = platform::GetKnownFolder(platform::KnownFolder::Temp) + L"GameDownloadLog\\";
  ASSERT_EQ(path.substr(0, folder.size()), folder);
  // <exe name without extension>_YYYYMMDD_HHMMSS.log
  const std::string name = platform::WideToUtf8(path.substr(folder.size()));
  std::smatch m;
  ASSERT_TRUE(std::regex_match(name, m, std::regex(R"(logger_tests_(\d{8})_(\d{6})\.log)"))) << name;
  char day[16];
  std::snprintf(day, sizeof day, "%04d%02d%02d", before.year, before.month, before.day);
  EXPECT_EQ(m[1].str().substr(0, 6), std::string(day).substr(0, 6));
  EXPECT_TRUE(fs::is_directory(Host(folder)));
  EXPECT_EQ(Messages(StopLoggerAndReadRecords()), std::vector<std::string>{"first"});
}

TEST_F(LoggerTest, RotatesPastEightMebibytesAndReplacesTheOldBackup) {
  const std::wstring path = LogPath();
  WriteHostFile(Host(path + L".bak"), "old backup\r\n");
  Logger logger(path);
  const std::wstring filler(1000, L'x');
  std::size_t written = 0;
  int lines = 0;
  while (written <= Logger::kRotateSize) {
    logger.Enqueue(kLogInfo, "Main", "a.cpp", "F", 1, 1, std::wstring(filler));
    written += filler.size() + 40;
    ++lines;
  }
  // The rotation happens once a batch has left the file past the limit.
  ASSERT_TRUE(WaitFor([&] { return fs::exists(Host(path + L".bak")) && fs::file_size(Host(path + L".bak")) > Logger::kRotateSize; }));
  logger.Enqueue(kLogInfo, "Main", "a.cpp", "F", 1, 1, L"after rotation");
  logger.Stop();

  auto backup = ReadLogLines(Host(path + L".bak"));
  EXPECT_EQ(static_cast<int>(backup.size()), lines);
  EXPECT_GT(fs::file_size(Host(path + L".bak")), Logger::kRotateSize);
  auto current = ReadLogLines(Host(path));
  ASSERT_EQ(current.size(), 2u);
  EXPECT_EQ(ParseLogLine(current[0])->message, "after rotation");
  EXPECT_NE(current[1].find(" End..."), std::string::npos);
}

TEST_F(LoggerTest, SecondRunWithTheSameNameAppends) {
  const std::wstring path = LogPath();
  for (const wchar_t* text : {L"first run", L"second run"}) {
    Logger logger(path);
    logger.Enqueue(kLogInfo, "Main", "a.cpp", "F", 1, 1, text);
  }
  auto lines = ReadLogLines(Host(path));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(ParseLogLine(lines[0])->message, "first run");
  EXPECT_NE(lines[1].find(" End..."), std::string::npos);
  EXPECT_EQ(ParseLogLine(lines[2])->message, "second run");
}

TEST_F(LoggerTest, UnusableFolderTurnsLoggingOffWithoutFailing) {
  for (const wchar_t* path : {L"", L"Q:\\no\\drive.log", L"C:\\missing\\deeper\\x.log"}) {
    Logger logger(path);
    logger.Enqueue(kLogError, "Main", "a.cpp", "F", 1, 1, L"lost");
    logger.Stop();
    logger.Stop();
  }
  EXPECT_FALSE(fs::exists(Host(L"C:\\missing")));
}

TEST_F(LoggerTest, EveryThreadsLinesArriveInOrder) {
  const std::wstring path = LogPath();
  constexpr int kThreads = 4, kLines = 5000;
  {
    Logger logger(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&logger, t] {
        for (int i = 0; i < kLines; ++i) {
          logger.Enqueue(kLogInfo, "Main", "a.cpp", "F", t, static_cast<std::uint32_t>(t), std::to_wstring(i));
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  std::vector<int> next(kThreads, 0);
  for (const auto& record : ReadLogRecords(Host(path))) {
    ASSERT_EQ(std::stoi(record.message), next[record.line]++) << "thread " << record.line;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

// Process exit: lines queued before the stop are written, then " End..."; a line logged
// after the stop (here by an exit handler that runs after the logger's) never arrives.
TEST_F(LoggerTest, ExitWritesQueuedLinesAndDropsLaterOnes) {
  EXPECT_EXIT(
      {
        std::atexit([] { LOG_INFO("Main") << "after stop"; });
        for (int i = 0; i < 1000; ++i) LOG_INFO("Main") << "line " << i;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  fs::path file = FindLogFile(prefix_.root());
  ASSERT_FALSE(file.empty());
  auto lines = ReadLogLines(file);
  ASSERT_EQ(lines.size(), 1001u);
  EXPECT_EQ(ParseLogLine(lines[999])->message, "line 999");
  EXPECT_NE(lines.back().find(" End..."), std::string::npos);
}

}  // namespace

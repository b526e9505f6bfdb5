#include "tests/support/log_reader.h"

#include <gtest/gtest.h>

#include <regex>

#include "app/logger.h"
#include "platform/prefix.h"
#include "tests/support/test_prefix.h"

namespace fs = std::filesystem;

namespace orvo::test {

std::vector<std::string> ReadLogLines(const fs::path& path) {
  std::string text = ReadHostFile(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated last line in " << path;
      lines.push_back(text.substr(start));
      break;
    }
    std::string line = text.substr(start, end - start);
    EXPECT_TRUE(!line.empty() && line.back() == '\r') << "line without CR LF: " << line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::optional<LogRecord> ParseLogLine(const std::string& line) {
  static const std::regex pattern(
      R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}) \[tid=(\d+)\]\[([^\]]*)\]\[([^\]]*)\]\[([^\]]*)\]\[(.*)@(\d+)\] (.*)$)");
  std::smatch m;
  if (!std::regex_match(line, m, pattern)) return std::nullopt;
  LogRecord r;
  r.time = m[1];
  r.threadId = static_cast<unsigned>(std::stoul(m[2]));
  r.level = m[3];
  r.module = m[4];
  r.file = m[5];
  r.function = m[6];
  r.line = std::stoi(m[7]);
  r.message = m[8];
  return r;
}

std::vector<LogRecord> ReadLogRecords(const fs::path& path) {
  std::vector<LogRecord> records;
  for (const auto& line : ReadLogLines(path)) {
    if (auto record = ParseLogLine(line)) records.push_back(*record);
  }
  return records;
}

std::vector<LogRecord> StopLoggerAndReadRecords() {
  Logger& logger = Logger::Instance();
  logger.Stop();
  auto host = platform::ResolvePath(logger.Path());
  return host ? ReadLogRecords(*host) : std::vector<LogRecord>{};
}

std::vector<std::string> Messages(const std::vector<LogRecord>& records, const std::string& module) {
  std::vector<std::string> messages;
  for (const auto& r : records) {
    if (module.empty() || r.module == module) messages.push_back(r.message);
  }
  return messages;
}

fs::path FindLogFile(const fs::path& prefixRoot) {
  fs::path found;
  int count = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(prefixRoot / "drive_c", ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().extension() == ".log" && it->path().parent_path().filename() == "GameDownloadLog") {
      found = it->path();
      ++count;
    }
  }
  return count == 1 ? found : fs::path();
}

}  // namespace orvo::test

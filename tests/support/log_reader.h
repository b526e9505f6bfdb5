#pragma once
// Reading back what the installer logged.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvo::test {

struct LogRecord {
  std::string time;  // "YYYY-MM-DD hh:mm:ss:mmm"
  unsigned threadId = 0;
  std::string level, module, file, function;
  int line = 0;
  std::string message;
};

// Splits a file into lines; checks that every line ends with CR LF.
std::vector<std::string> ReadLogLines(const std::filesystem::path& path);
// An entry line, or nullopt for anything else (the " End..." line).
std::optional<LogRecord> ParseLogLine(const std::string& line);
// Stops the process-wide logger (the test's process ends soon after) and returns the
// records of its file.
std::vector<LogRecord> StopLoggerAndReadRecords();
std::vector<LogRecord> ReadLogRecords(const std::filesystem::path& path);
// The messages of the records, optionally of one module only.
std::vector<std::string> Messages(const std::vector<LogRecord>& records, const std::string& module = "");
// The single log file below <prefix>/.../Temp/GameDownloadLog (empty path when none or several).
std::filesystem::path FindLogFile(const std::filesystem::path& prefixRoot);

}  // namespace orvo::test

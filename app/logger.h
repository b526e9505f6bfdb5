#pragma once
// The log file: one plain-text file per run in <Temp>\GameDownloadLog\, written by a single
// writer thread from a queue.
//
// Threads: any thread may log. A log statement builds its LogLine without shared state and
// holds the queue mutex only to push one entry; all file work happens on the writer thread,
// so a slow disk never blocks a logging thread. A statement never throws and never fails.
#include <atomic>
#include <charconv>
#include <concepts>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock.h"

enum LogLevel : int { kLogDebug = 0, kLogInfo = 1, kLogWarn = 2, kLogError = 3 };

// A value written as "0x%08X" (addresses and other 32-bit values).
struct LogHex {
  std::uint32_t value;
};

// One log statement under construction. Module, file and function must be static strings.
class LogLine {
 public:
  LogLine(int level, const char* module, const char* file, const char* function, int line);
  ~LogLine();
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  // Narrow text is taken in the ANSI code page (UTF-8 text that is not ASCII is misread,
  // as on Windows); wide text is appended unchanged.
  LogLine& operator<<(const char* text);
  LogLine& operator<<(const std::string& text);
  LogLine& operator<<(std::string_view text);
  LogLine& operator<<(const wchar_t* text);
  LogLine& operator<<(const std::wstring& text);
  LogLine& operator<<(std::wstring_view text);
  LogLine& operator<<(LogHex value);
  template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, wchar_t>)
  LogLine& operator<<(T value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    AppendAscii(digits, static_cast<std::size_t>(end - digits));
    return *this;
  }

  // The text appended so far.
  std::wstring_view Text() const;

 private:
  static constexpr std::size_t kReserved = 512;

  void AppendNarrow(std::string_view text);
  void AppendAscii(const char* text, std::size_t length);
  void Append(const wchar_t* text, std::size_t length);
  template <class Char>
  void AppendChars(const Char* text, std::size_t length);

  // The first 512 characters live in the statement itself; longer text moves to spill_.
  wchar_t buffer_[kReserved];
  std::size_t length_ = 0;
  std::wstring spill_;
  int level_;
  const char* module_;
  const char* file_;
  const char* function_;
  int line_;
  std::uint32_t threadId_;
};

// Statement macros: the call site supplies its file, function and line.
#define ORVO_LOG(level, module) ::LogLine((level), (module), __FILE__, __PRETTY_FUNCTION__, __LINE__)
#define LOG_INFO(module) ORVO_LOG(::kLogInfo, module)
#define LOG_WARN(module) ORVO_LOG(::kLogWarn, module)
#define LOG_ERROR(module) ORVO_LOG(::kLogError, module)

class Logger {
 public:
  // The process-wide logger, created on first use; its shutdown runs at process exit.
  static Logger& Instance();

  // A logger writing to `path` (Windows form); an empty path turns logging off.
  explicit Logger(std::wstring path);
  // Stops the writer and waits for it (see Stop).
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Copies the message into the queued entry: one allocation, made by the caller.
  void Enqueue(int level, const char* module, const char* file, const char* function, int line,
               std::uint32_t threadId, std::wstring_view message);

  // Sets the stop flag and waits until the writer has written what was queued before the
  // flag, the " End..." line, closed and rotated the file. Lines enqueued afterwards are
  // dropped. Idempotent.
  void Stop();

  const std::wstring& Path() const { return path_; }

  static constexpr std::uint64_t kRotateSize = 8388608;

 private:
  struct Entry;
  struct EntryDeleter {
    void operator()(Entry* entry) const;
  };
  using EntryPtr = std::unique_ptr<Entry, EntryDeleter>;
  void WriterMain();

  const std::wstring path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<EntryPtr> queue_;
  bool writerWaiting_ = false;  // guarded by mutex_
  std::atomic<bool> stop_{false};
  std::mutex joinMutex_;
  std::thread writer_;
};

// The executable's file name (after the last backslash of the module path).
std::wstring GetExeFileName();
// Creates the folder with all missing parents when nothing exists at the path. Never fails.
void EnsureDirectory(const std::wstring& path);
// The file name for this run: <Temp>\GameDownloadLog\<exe name without extension>_<start>.log
std::wstring DefaultLogPath();

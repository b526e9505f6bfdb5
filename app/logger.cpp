#include "app/logger.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <optional>
#include <unordered_map>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/prefix.h"
#include "platform/text.h"

namespace {

// Set once at process exit by the process-wide logger's shutdown.
std::atomic<bool> g_stopping{false};

constexpr const char* kLevelNames[] = {"Debug", "Info", "Warn", "Error"};
constexpr std::size_t kWriteChunk = 64 * 1024;

int ClampLevel(int level) {
  auto value = static_cast<unsigned>(level);
  if (value < 1) return 1;
  if (value > 3) return 3;
  return static_cast<int>(value);
}

// The text after the last path separator. Both separators count, so the column shows the
// same file name whichever compiler produced the path.
std::string_view BaseName(std::string_view path) {
  auto slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view Truncate(std::string_view text, std::size_t max) {
  return text.size() > max ? text.substr(0, max) : text;
}

// "void GlobalConfig::InitParamsFromSelf()" -> "GlobalConfig::InitParamsFromSelf", the form
// in which the Windows compiler names a function.
std::string QualifiedName(std::string_view pretty) {
  if (auto with = pretty.find(" [with "); with != std::string_view::npos) {
    pretty = pretty.substr(0, with);
  }
  // Drop the parameter list: the last '(' at template depth 0 whose group closes the text
  // (after trailing qualifiers such as const).
  int depth = 0;
  std::size_t params = std::string_view::npos;
  for (std::size_t i = pretty.size(); i-- > 0;) {
    char c = pretty[i];
    if (c == ')') ++depth;
    if (c == '(') {
      if (--depth == 0) {
        params = i;
        break;
      }
    }
  }
  if (params != std::string_view::npos && params > 0) pretty = pretty.substr(0, params);
  // The name starts after the last space outside template brackets (the return type).
  int angle = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < pretty.size(); ++i) {
    char c = pretty[i];
    if (c == '<') ++angle;
    if (c == '>') --angle;
    if (c == ' ' && angle == 0) start = i + 1;
  }
  std::string_view name = pretty.substr(start);
  while (!name.empty() && (name.front() == '*' || name.front() == '&')) name.remove_prefix(1);
  std::string result(name);
  constexpr std::string_view kAnonymous = "{anonymous}::";
  for (auto at = result.find(kAnonymous); at != std::string::npos; at = result.find(kAnonymous)) {
    result.erase(at, kAnonymous.size());
  }
  return result;
}

void AppendTime(std::string& out, const platform::LocalTime& t) {
  char buffer[64];
  int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d:%03d", t.year,
                        t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
  out.append(buffer, static_cast<std::size_t>(n));
}

void Rotate(const std::wstring& path) {
  const std::wstring backup = path + L".bak";
  if (platform::GetFileAttributes(backup)) platform::DeleteFile(backup);
  platform::MoveFile(path, backup);
}

}  // namespace

// The message characters follow the entry in the same allocation.
struct Logger::Entry {
  int level;
  const char* module;
  const char* file;
  const char* function;
  int line;
  std::uint32_t threadId;
  platform::WallClock time;
  std::size_t length;

  std::wstring_view Message() const { return {reinterpret_cast<const wchar_t*>(this + 1), length}; }
};

void Logger::EntryDeleter::operator()(Entry* entry) const {
  entry->~Entry();
  ::operator delete(entry);
}

// ---- LogLine ---------------------------------------------------------------------------

LogLine::LogLine(int level, const char* module, const char* file, const char* function, int line)
    : level_(level),
      module_(module),
      file_(file),
      function_(function),
      line_(line),
      threadId_(platform::CurrentThreadId()) {}

LogLine::~LogLine() {
  if (g_stopping.load(std::memory_order_acquire)) return;
  try {
    Logger::Instance().Enqueue(level_, module_, file_, function_, line_, threadId_, Text());
  } catch (...) {
    // A log statement never fails from the caller's point of view.
  }
}

std::wstring_view LogLine::Text() const {
  return spill_.empty() ? std::wstring_view(buffer_, length_) : std::wstring_view(spill_);
}

template <class Char>
void LogLine::AppendChars(const Char* text, std::size_t length) {
  if (spill_.empty() && length_ + length <= kReserved) {
    std::copy(text, text + length, buffer_ + length_);
    length_ += length;
    return;
  }
  if (spill_.empty()) spill_.assign(buffer_, length_);
  spill_.append(text, text + length);
}

void LogLine::Append(const wchar_t* text, std::size_t length) { AppendChars(text, length); }
void LogLine::AppendAscii(const char* text, std::size_t length) { AppendChars(text, length); }

void LogLine::AppendNarrow(std::string_view text) {
  // ASCII is the same in every ANSI code page: widen in place without a conversion.
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    AppendAscii(text.data(), text.size());
  } else {
    std::wstring wide = platform::AnsiToWide(text);
    Append(wide.data(), wide.size());
  }
}

LogLine& LogLine::operator<<(const char* text) {
  if (text != nullptr) AppendNarrow(text);
  return *this;
}
LogLine& LogLine::operator<<(const std::string& text) {
  AppendNarrow(text);
  return *this;
}
LogLine& LogLine::operator<<(std::string_view text) {
  AppendNarrow(text);
  return *this;
}
LogLine& LogLine::operator<<(const wchar_t* text) {
  if (text != nullptr) Append(text, std::wcslen(text));
  return *this;
}
LogLine& LogLine::operator<<(const std::wstring& text) {
  Append(text.data(), text.size());
  return *this;
}
LogLine& LogLine::operator<<(std::wstring_view text) {
  Append(text.data(), text.size());
  return *this;
}
LogLine& LogLine::operator<<(LogHex value) {
  char buffer[16];
  int n = std::snprintf(buffer, sizeof buffer, "0x%08X", value.value);
  AppendAscii(buffer, static_cast<std::size_t>(n));
  return *this;
}

// ---- Logger ----------------------------------------------------------------------------

Logger& Logger::Instance() {
  // Never destroyed: its mutex and queue stay valid for any thread that still logs while
  // the process exits. The writer itself is stopped and joined by the exit handler.
  static Logger* const instance = [] {
    auto* logger = new Logger(DefaultLogPath());
    std::atexit([] {
      g_stopping.store(true, std::memory_order_release);
      Instance().Stop();
    });
    return logger;
  }();
  return *instance;
}

Logger::Logger(std::wstring path) : path_(std::move(path)) {
  if (!path_.empty()) writer_ = std::thread([this] { WriterMain(); });
}

Logger::~Logger() { Stop(); }

void Logger::Enqueue(int level, const char* module, const char* file, const char* function,
                     int line, std::uint32_t threadId, std::wstring_view message) {
  if (path_.empty() || stop_.load(std::memory_order_acquire)) return;
  static_assert(sizeof(Entry) % alignof(wchar_t) == 0);
  void* memory = ::operator new(sizeof(Entry) + message.size() * sizeof(wchar_t));
  EntryPtr entry(new (memory) Entry{ClampLevel(level), module, file, function, line, threadId,
                                    platform::WallNow(), message.size()});
  std::copy(message.begin(), message.end(), reinterpret_cast<wchar_t*>(entry.get() + 1));
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(entry));
    wake = writerWaiting_;
  }
  // A busy writer takes the entry with its next batch; waking it costs a system call.
  if (wake) wake_.notify_one();
}

void Logger::Stop() {
  {
    // Under the mutex so the writer cannot miss the wake-up between its check and its wait.
    std::lock_guard lock(mutex_);
    stop_.store(true, std::memory_order_release);
  }
  wake_.notify_all();
  std::lock_guard join(joinMutex_);
  if (writer_.joinable() && writer_.get_id() != std::this_thread::get_id()) writer_.join();
}

void Logger::WriterMain() {
  auto open = [this](platform::File::Disposition disposition) {
    return platform::File::Open(path_, platform::File::Access::Append, disposition);
  };
  std::optional<platform::File> file = open(platform::File::Disposition::OpenAlways);

  std::unordered_map<const char*, std::string> functionNames;
  std::int64_t cachedSecond = -1;
  platform::LocalTime cachedTime{};
  std::string out;
  out.reserve(kWriteChunk * 2);

  auto flush = [&] {
    if (file && !out.empty()) file->Write(out.data(), static_cast<std::uint32_t>(out.size()), nullptr);
    out.clear();
  };
  auto localTime = [&](platform::WallClock instant) {
    if (instant.seconds != cachedSecond) {
      cachedSecond = instant.seconds;
      cachedTime = platform::ToLocalTime(instant);
    }
    platform::LocalTime t = cachedTime;
    t.millisecond = instant.nanoseconds / 1000000;
    return t;
  };

  std::deque<EntryPtr> batch;
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock lock(mutex_);
      while (!stop_.load(std::memory_order_acquire) && queue_.empty()) {
        writerWaiting_ = true;
        wake_.wait_for(lock, std::chrono::milliseconds(1000));
        writerWaiting_ = false;
      }
      // Read together with the swap: everything queued before the stop is in this batch.
      stopping = stop_.load(std::memory_order_acquire);
      batch.swap(queue_);
    }
    for (auto& entry : batch) {
      AppendTime(out, localTime(entry->time));
      auto [it, inserted] = functionNames.try_emplace(entry->function);
      if (inserted) it->second = QualifiedName(entry->function);
      std::string module(Truncate(entry->module, 63));
      std::string fileName(Truncate(BaseName(entry->file), 255));
      std::string function(Truncate(it->second, 127));
      char prefix[512];
      int n = std::snprintf(prefix, sizeof prefix, " [tid=%d][%s][%s][%s][%s@%d] ",
                            static_cast<int>(entry->threadId), kLevelNames[entry->level],
                            module.c_str(), fileName.c_str(), function.c_str(), entry->line);
      out.append(prefix, std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 0)),
                                               sizeof prefix - 1));
      out += platform::WideToUtf8(entry->Message());
      out += "\r\n";
      if (out.size() >= kWriteChunk) flush();
      entry.reset();
    }
    batch.clear();
    flush();
    if (stopping) break;
    std::uint64_t position = 0;
    if (file && file->Position(&position) && position > kRotateSize) {
      file.reset();
      Rotate(path_);
      file = open(platform::File::Disposition::CreateAlways);
    }
  }

  AppendTime(out, platform::LocalNow());
  out += " End...\r\n";
  flush();
  file.reset();
  if (auto attributes = platform::GetFileAttributes(path_); attributes && attributes->size > kRotateSize) {
    Rotate(path_);
  }
}

// ---- file-system helpers ---------------------------------------------------------------

std::wstring GetExeFileName() {
  std::wstring path = platform::GetModuleFileName();
  auto slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void EnsureDirectory(const std::wstring& path) {
  if (!platform::GetFileAttributes(path)) platform::CreateDirectoryTree(path);
}

std::wstring DefaultLogPath() {
  std::wstring temp = platform::GetKnownFolder(platform::KnownFolder::Temp);
  if (temp.empty()) return {};
  std::wstring folder = temp + L"GameDownloadLog\\";
  EnsureDirectory(folder);
  std::wstring name = GetExeFileName();
  if (auto dot = name.rfind(L'.'); dot != std::wstring::npos) name.erase(dot);
  platform::LocalTime t = platform::LocalNow();
  wchar_t stamp[64];
  std::swprintf(stamp, 64, L"_%04d%02d%02d_%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return folder + name + stamp + L".log";
}

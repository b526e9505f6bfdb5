// Crash dumps end to end: the probe (the real InstallCrashDumpFilter in a child process)
// crashes, and the dump it leaves is read here field by field and by LLDB.
#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/minidump_writer.h"
#include "platform/prefix.h"
#include "tests/support/test_prefix.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const fs::path kProbe = CRASH_PROBE_PATH;

// Runs `program args...` with stdout and stderr to `output` (when given) and waits at
// most `limit`; the child is killed past that. Returns the wait status.
std::optional<int> RunWithin(const std::vector<std::string>& command, const fs::path& output,
                       std::chrono::seconds limit) {
  // The default action of a fatal signal may write a core file; none is wanted here.
  rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  // The probe must meet its own handler, not the sanitizer's.
  setenv("ASAN_OPTIONS",
         "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:"
         "detect_leaks=0",
         1);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!output.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  std::vector<char*> argv;
  for (const auto& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t child = -1;
  int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;

  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << command[0] << " did not end in time";
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status;
}

// The GNU build id of an ELF file, read from its note segments on disk.
std::string FileBuildId(const fs::path& file) {
  const std::string bytes = orvo::test::ReadHostFile(file);
  Elf64_Ehdr header;
  if (bytes.size() < sizeof(header)) return {};
  std::memcpy(&header, bytes.data(), sizeof(header));
  for (int i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr ph;
    std::memcpy(&ph, bytes.data() + header.e_phoff + i * sizeof(ph), sizeof(ph));
    if (ph.p_type != PT_NOTE) continue;
    const std::size_t align = ph.p_align == 8 ? 8 : 4;
    auto padded = [align](std::size_t n) { return (n + align - 1) / align * align; };
    for (std::size_t at = ph.p_offset; at + sizeof(Elf64_Nhdr) <= ph.p_offset + ph.p_filesz;) {
      Elf64_Nhdr note;
      std::memcpy(&note, bytes.data() + at, sizeof(note));
      const std::size_t desc = at + sizeof(note) + padded(note.n_namesz);
      if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4) {
        return bytes.substr(desc, note.n_descsz);
      }
      at = desc + padded(note.n_descsz);
    }
  }
  return {};
}

// A minidump read with the offsets of the published format (independent of the
// writer's own record declarations).
class Minidump {
 public:
  explicit Minidump(std::string bytes) : bytes_(std::move(bytes)) {}

  template <typename T>
  T At(std::size_t offset) const {
    T value{};
    if (offset + sizeof(T) <= bytes_.size()) std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }
  std::size_t size() const { return bytes_.size(); }
  std::string Bytes(std::size_t offset, std::size_t length) const {
    return offset + length <= bytes_.size() ? bytes_.substr(offset, length) : std::string();
  }

  struct Location {
    std::uint32_t size = 0;
    std::uint32_t rva = 0;
  };
  std::optional<Location> Stream(std::uint32_t type) const {
    const auto count = At<std::uint32_t>(8);
    const auto directory = At<std::uint32_t>(12);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::size_t entry = directory + i * 12;
      if (At<std::uint32_t>(entry) == type) {
        return Location{At<std::uint32_t>(entry + 4), At<std::uint32_t>(entry + 8)};
      }
    }
    return std::nullopt;
  }

  // A MINIDUMP_STRING, narrowed (the names here are ASCII).
  std::string String(std::uint32_t rva) const {
    const auto length = At<std::uint32_t>(rva);
    std::string text;
    for (std::uint32_t i = 0; i + 1 < length; i += 2) {
      text.push_back(static_cast<char>(At<std::uint16_t>(rva + 4 + i)));
    }
    return text;
  }

 private:
  std::string bytes_;
};

struct Thread {
  std::uint32_t id;
  std::uint64_t stackStart;
  std::uint32_t stackSize;
  std::uint32_t stackRva;
  std::uint32_t contextSize;
  std::uint32_t contextRva;
};

struct Module {
  std::uint64_t base;
  std::uint32_t size;
  std::string name;
  std::string codeView;
};

std::vector<Thread> Threads(const Minidump& dump) {
  std::vector<Thread> threads;
  auto list = dump.Stream(3);
  if (!list) return threads;
  for (std::uint32_t i = 0; i < dump.At<std::uint32_t>(list->rva); ++i) {
    std::size_t t = list->rva + 4 + i * 48;
    threads.push_back({dump.At<std::uint32_t>(t), dump.At<std::uint64_t>(t + 24),
                       dump.At<std::uint32_t>(t + 32), dump.At<std::uint32_t>(t + 36),
                       dump.At<std::uint32_t>(t + 40), dump.At<std::uint32_t>(t + 44)});
  }
  return threads;
}

std::vector<Module> Modules(const Minidump& dump) {
  std::vector<Module> modules;
  auto list = dump.Stream(4);
  if (!list) return modules;
  for (std::uint32_t i = 0; i < dump.At<std::uint32_t>(list->rva); ++i) {
    std::size_t m = list->rva + 4 + i * 108;
    modules.push_back({dump.At<std::uint64_t>(m), dump.At<std::uint32_t>(m + 8),
                       dump.String(dump.At<std::uint32_t>(m + 20)),
                       dump.Bytes(dump.At<std::uint32_t>(m + 80), dump.At<std::uint32_t>(m + 76))});
  }
  return modules;
}

std::string LldbPath() {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    fs::path candidate = fs::path(folders.substr(start, end - start)) / "lldb-14";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

class CrashDumpTest : public orvo::test::PrefixTest {
 protected:
  // The literal place: <prefix>/drive_c/users/<user>/AppData/Local/downloader_dumps.
  fs::path DumpFolder() const {
    const std::wstring local = platform::GetKnownFolder(platform::KnownFolder::LocalAppData);
    const std::wstring prefix = L"C:\\users\\";
    EXPECT_EQ(local.rfind(prefix, 0), 0u);
    std::wstring user = local.substr(prefix.size(), local.find(L'\\', prefix.size()) - prefix.size());
    return prefix_.root() / "drive_c" / "users" / fs::path(user) / "AppData" / "Local" /
           "downloader_dumps";
  }

  // Every file name in the dump folder.
  std::vector<std::string> FolderContent() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(DumpFolder(), ec)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  struct Crash {
    int status = 0;
    std::time_t before = 0;
    std::time_t after = 0;
  };
  Crash RunProbe(const std::string& mode) {
    Crash crash;
    crash.before = std::time(nullptr);
    auto status = RunWithin({kProbe.string(), mode}, prefix_.root() / ("probe-" + mode + ".txt"),
                      std::chrono::seconds(120));
    crash.after = std::time(nullptr);
    EXPECT_TRUE(status.has_value());
    crash.status = status.value_or(0);
    return crash;
  }
};

struct CrashCase {
  const char* mode;
  int signal;
  bool faultAtNull;  // a null write on the probe's own code
};

void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.mode; }

class CrashCaseTest : public CrashDumpTest, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(CrashCaseTest, LeavesOneWholeDumpAndDiesByTheSignal) {
  const CrashCase& c = GetParam();
  const Crash crash = RunProbe(c.mode);
  ASSERT_TRUE(WIFSIGNALED(crash.status)) << "status " << crash.status;
  EXPECT_EQ(WTERMSIG(crash.status), c.signal);

  const std::vector<std::string> names = FolderContent();
  ASSERT_EQ(names.size(), 1u) << "the dump folder holds exactly one file";
  std::smatch match;
  ASSERT_TRUE(std::regex_match(names[0], match, std::regex("([0-9]+)\\.dmp"))) << names[0];
  const std::time_t named = std::stoll(match[1]);
  EXPECT_GE(named, crash.before);
  EXPECT_LE(named, crash.after);

  const Minidump dump(orvo::test::ReadHostFile(DumpFolder() / names[0]));
  ASSERT_GE(dump.size(), 32u);
  EXPECT_EQ(dump.Bytes(0, 4), "MDMP");
  EXPECT_EQ(dump.At<std::uint32_t>(4) & 0xffff, 0xa793u);
  EXPECT_EQ(dump.At<std::uint32_t>(20), static_cast<std::uint32_t>(named)) << "time stamp";

  auto system = dump.Stream(7);
  ASSERT_TRUE(system);
  EXPECT_EQ(dump.At<std::uint16_t>(system->rva), 9) << "AMD64";
  EXPECT_EQ(dump.At<std::uint32_t>(system->rva + 20), 0x8201u) << "Linux";

  auto exception = dump.Stream(6);
  ASSERT_TRUE(exception);
  const auto faultingThread = dump.At<std::uint32_t>(exception->rva);
  EXPECT_EQ(dump.At<std::uint32_t>(exception->rva + 8), static_cast<std::uint32_t>(c.signal));
  if (c.faultAtNull) {
    EXPECT_EQ(dump.At<std::uint64_t>(exception->rva + 24), 0u) << "fault address";
  }

  const std::vector<Thread> threads = Threads(dump);
  ASSERT_EQ(threads.size(), 1u);
  const Thread& thread = threads[0];
  EXPECT_EQ(thread.id, faultingThread);
  EXPECT_GT(thread.stackSize, 0u);
  EXPECT_LE(std::size_t{thread.stackRva} + thread.stackSize, dump.size());
  ASSERT_EQ(thread.contextSize, 1232u);
  EXPECT_EQ(dump.At<std::uint32_t>(thread.contextRva + 0x30), 0x0010000fu) << "context flags";
  const auto rsp = dump.At<std::uint64_t>(thread.contextRva + 0x98);
  const auto rip = dump.At<std::uint64_t>(thread.contextRva + 0xf8);
  // A stack overflow leaves the stack pointer just below the stack's mapping.
  EXPECT_LT(rsp, thread.stackStart + thread.stackSize);
  EXPECT_GE(rsp + 64 * 1024, thread.stackStart);

  auto memory = dump.Stream(5);
  ASSERT_TRUE(memory);
  ASSERT_EQ(dump.At<std::uint32_t>(memory->rva), 1u);
  EXPECT_EQ(dump.At<std::uint64_t>(memory->rva + 4), thread.stackStart);
  EXPECT_EQ(dump.At<std::uint32_t>(memory->rva + 12), thread.stackSize);
  EXPECT_EQ(dump.At<std::uint32_t>(memory->rva + 16), thread.stackRva);

  const std::string probe = fs::canonical(kProbe).string();
  const std::vector<Module> modules = Modules(dump);
  const Module* main = nullptr;
  for (const Module& m : modules) {
    if (m.name == probe) main = &m;
  }
  ASSERT_NE(main, nullptr) << "module list names " << probe;
  // CodeView signature 'BpEL' (0x4270454c, so "LEpB" on disk), then the GNU build id.
  ASSERT_GT(main->codeView.size(), 4u);
  std::uint32_t signature = 0;
  std::memcpy(&signature, main->codeView.data(), 4);
  EXPECT_EQ(signature, 0x4270454cu);
  EXPECT_EQ(main->codeView.substr(4), FileBuildId(kProbe));
  if (c.faultAtNull) {
    EXPECT_GE(rip, main->base);
    EXPECT_LT(rip, main->base + main->size);
  }
  bool libc = false;
  for (const Module& m : modules) libc = libc || m.name.find("/libc.so") != std::string::npos;
  EXPECT_TRUE(libc) << "shared libraries are listed too";
}

INSTANTIATE_TEST_SUITE_P(Crashes, CrashCaseTest,
                         ::testing::Values(CrashCase{"thread-null-write", SIGSEGV, true},
                                           CrashCase{"main-abort", SIGABRT, false},
                                           CrashCase{"thread-overflow", SIGSEGV, false},
                                           CrashCase{"main-overflow", SIGSEGV, false}),
                         [](const auto& info) {
                           std::string name = info.param.mode;
                           for (auto& ch : name) {
                             if (ch == '-') ch = '_';
                           }
                           return name;
                         });

TEST_F(CrashDumpTest, LldbShowsTheCrashingFunction) {
  const std::string lldb = LldbPath();
  if (lldb.empty()) GTEST_SKIP() << "lldb-14 is not installed; the dump is not opened with LLDB";
  const Crash crash = RunProbe("thread-null-write");
  ASSERT_TRUE(WIFSIGNALED(crash.status));
  const std::vector<std::string> names = FolderContent();
  ASSERT_EQ(names.size(), 1u);

  const fs::path output = prefix_.root() / "lldb.txt";
  auto status = RunWithin({lldb, "--no-lldbinit", "--batch", "-c", (DumpFolder() / names[0]).string(),
                     kProbe.string(), "-o", "thread backtrace"},
                    output, std::chrono::seconds(120));
  ASSERT_TRUE(status.has_value());
  const std::string text = orvo::test::ReadHostFile(output);
  EXPECT_NE(text.find("CrashingFunction"), std::string::npos) << text;
  EXPECT_NE(text.find("SIGSEGV"), std::string::npos) << text;
}

TEST_F(CrashDumpTest, EachCrashKeepsItsOwnDump) {
  const Crash first = RunProbe("thread-null-write");
  ASSERT_TRUE(WIFSIGNALED(first.status));
  const std::vector<std::string> once = FolderContent();
  ASSERT_EQ(once.size(), 1u);
  const std::string firstBytes = orvo::test::ReadHostFile(DumpFolder() / once[0]);

  // The file name has a resolution of one second.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::time(nullptr) <= first.after && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const Crash second = RunProbe("main-abort");
  ASSERT_TRUE(WIFSIGNALED(second.status));

  const std::vector<std::string> twice = FolderContent();
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(twice[0], once[0]);
  EXPECT_EQ(orvo::test::ReadHostFile(DumpFolder() / once[0]), firstBytes) << "left untouched";
  EXPECT_TRUE(std::regex_match(twice[1], std::regex("[0-9]+\\.dmp"))) << twice[1];
}

// The filter itself faults: the second fault takes the default action at once, and no
// file is left under a dump's name.
TEST_F(CrashDumpTest, FaultInsideTheFilterEndsTheProcess) {
  const Crash crash = RunProbe("faulting-filter");
  ASSERT_TRUE(WIFSIGNALED(crash.status));
  EXPECT_EQ(WTERMSIG(crash.status), SIGSEGV);
  for (const std::string& name : FolderContent()) {
    EXPECT_FALSE(std::regex_match(name, std::regex("[0-9]+\\.dmp"))) << name;
  }
}

TEST(MapsLineTest, ParsesTheKernelsLines) {
  using platform::minidump::MapsEntry;
  using platform::minidump::ParseMapsLine;
  MapsEntry e;
  ASSERT_TRUE(ParseMapsLine(
      "55e5357a6000-55e5357a8000 r--p 00000000 fe:00 247134                     /usr/bin/cat", &e));
  EXPECT_EQ(e.start, 0x55e5357a6000u);
  EXPECT_EQ(e.end, 0x55e5357a8000u);
  EXPECT_TRUE(e.readable);
  EXPECT_FALSE(e.writable);
  EXPECT_FALSE(e.executable);
  EXPECT_EQ(e.offset, 0u);
  EXPECT_EQ(e.inode, 247134u);
  EXPECT_EQ(e.path, "/usr/bin/cat");

  ASSERT_TRUE(ParseMapsLine("7f5b6aab6000-7f5b6ac0c000 r-xp 00026000 fe:00 332835 /opt/my lib/libx.so (deleted)", &e));
  EXPECT_TRUE(e.executable);
  EXPECT_EQ(e.offset, 0x26000u);
  EXPECT_EQ(e.path, "/opt/my lib/libx.so (deleted)") << "spaces belong to the path";

  ASSERT_TRUE(ParseMapsLine("7ffc1a2b3000-7ffc1a2d4000 rw-p 00000000 00:00 0                          [stack]", &e));
  EXPECT_EQ(e.path, "[stack]");
  ASSERT_TRUE(ParseMapsLine("7f5b6aa0d000-7f5b6aa2f000 rw-p 00000000 00:00 0 ", &e));
  EXPECT_TRUE(e.path.empty());
  ASSERT_TRUE(ParseMapsLine("ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0  [vsyscall]", &e));
  EXPECT_FALSE(e.readable);

  for (const char* bad : {"", "garbage", "1000-0800 r--p 00000000 00:00 0", "1000-2000 r--p",
                          "1000-2000 r--p 0 fe:00 x /a", "10000000000000000-2 r--p 0 0:0 0"}) {
    EXPECT_FALSE(ParseMapsLine(bad, &e)) << bad;
  }
}

}  // namespace

#include "platform/posix/minidump_writer.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>

// The thread context is written as an AMD64 CONTEXT record; another processor needs its
// own record layout and register mapping.
#if !defined(__x86_64__)
#error "the minidump writer supports x86_64 only"
#endif
#include <cpuid.h>

#include "platform/posix/minidump_format.h"

namespace platform::minidump {

namespace {

// The file layout needs no more than these; what does not fit is left out of the dump
// (later modules, the tail of a huge memory map) rather than allocated for.
constexpr std::size_t kMapsCapacity = std::size_t{1} << 20;
constexpr std::size_t kMetaCapacity = std::size_t{512} << 10;
constexpr std::size_t kMaxModules = 1024;
constexpr std::size_t kMaxProgramHeaders = 256;
constexpr std::size_t kNoteCapacity = 4096;  // one probe read, at most PIPE_BUF
constexpr std::size_t kMaxBuildId = 64;
constexpr std::size_t kMaxStackBytes = std::size_t{1} << 20;
// The System V AMD64 ABI lets a function keep data in the 128 bytes below the stack
// pointer; a stack overflow can leave the pointer a little below the stack mapping.
constexpr std::uintptr_t kRedZone = 128;
constexpr std::uintptr_t kStackSearchLimit = 64 << 10;
constexpr std::size_t kWriteChunk = 64 << 10;

struct ModuleInfo {
  std::uintptr_t base;
  std::uint32_t size;
  std::string_view path;
  std::uint8_t buildId[kMaxBuildId];
  std::uint32_t buildIdLength;
};

char g_maps[kMapsCapacity];
std::size_t g_mapsLength = 0;
alignas(16) unsigned char g_meta[kMetaCapacity];
const unsigned char g_zeros[4096] = {};
ModuleInfo g_modules[kMaxModules];
unsigned char g_note[kNoteCapacity];
unsigned char g_drain[kNoteCapacity];

// Prepared once, before any crash.
std::once_flag g_prepared;
int g_probeRead = -1;
int g_probeWrite = -1;
std::uintptr_t g_pageSize = 4096;
std::uint8_t g_processorCount = 1;
std::uint32_t g_osVersion[3] = {};  // major, minor, build from the kernel release
char g_osDescription[512] = {};     // "Linux <release> <version> <machine>"

// ---- small async-signal-safe helpers -------------------------------------------------

// write(2) as the bare system call. The bytes written here are process memory as it is
// (stack frames, image headers); a sanitizer's write() wrapper would treat its poisoned
// parts as a bug in the caller and stop the dump.
ssize_t RawWrite(int fd, const void* data, std::size_t length) {
  return static_cast<ssize_t>(syscall(SYS_write, fd, data, length));
}

std::uintptr_t PageDown(std::uintptr_t value) { return value & ~(g_pageSize - 1); }
std::uintptr_t PageUp(std::uintptr_t value) { return PageDown(value + g_pageSize - 1); }

bool WriteAll(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (length > 0) {
    ssize_t written = RawWrite(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool WriteZeros(int fd, std::size_t length) {
  while (length > 0) {
    std::size_t part = length < sizeof(g_zeros) ? length : sizeof(g_zeros);
    if (!WriteAll(fd, g_zeros, part)) return false;
    length -= part;
  }
  return true;
}

// Process memory straight to the file. The kernel reports unreadable memory as EFAULT
// instead of faulting; such a piece is written as zeros so the layout stays as declared.
bool WriteMemory(int fd, std::uintptr_t address, std::size_t length) {
  while (length > 0) {
    std::size_t part = length < kWriteChunk ? length : kWriteChunk;
    ssize_t written = RawWrite(fd, reinterpret_cast<const void*>(address), part);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EFAULT) {
      if (!WriteZeros(fd, part)) return false;
      written = static_cast<ssize_t>(part);
    } else if (written <= 0) {
      return false;
    }
    address += static_cast<std::uintptr_t>(written);
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Copies process memory without risking a fault: the bytes go through a pipe, and the
// kernel fails the write with EFAULT where the memory is not readable (an unmapped page,
// a file mapping past the end of a truncated file).
bool SafeRead(void* destination, std::uintptr_t address, std::size_t length) {
  if (g_probeWrite < 0 || length == 0 || length > kNoteCapacity) return false;
  ssize_t written = RawWrite(g_probeWrite, reinterpret_cast<const void*>(address), length);
  bool ok = written == static_cast<ssize_t>(length) &&
            read(g_probeRead, destination, length) == static_cast<ssize_t>(length);
  if (!ok) {
    while (read(g_probeRead, g_drain, sizeof(g_drain)) > 0) {
    }
  }
  return ok;
}

// ---- /proc/self/maps ----------------------------------------------------------------

void ReadMaps() {
  g_mapsLength = 0;
  int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  while (g_mapsLength < kMapsCapacity) {
    ssize_t got = read(fd, g_maps + g_mapsLength, kMapsCapacity - g_mapsLength);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    g_mapsLength += static_cast<std::size_t>(got);
  }
  close(fd);
  // A map too long for the buffer keeps its whole lines only.
  if (g_mapsLength == kMapsCapacity) {
    while (g_mapsLength > 0 && g_maps[g_mapsLength - 1] != '\n') --g_mapsLength;
  }
}

// Calls visit(entry) for each parsed line until it returns false.
template <typename Visit>
void ForEachMapping(Visit visit) {
  std::string_view rest(g_maps, g_mapsLength);
  while (!rest.empty()) {
    std::size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    MapsEntry entry;
    if (ParseMapsLine(line, &entry) && !visit(entry)) return;
  }
}

// The readable mapping that holds the stack at `sp`: the one containing it or, when the
// pointer ran off the bottom (a stack overflow), the next one above.
bool FindStack(std::uintptr_t sp, std::uintptr_t* start, std::uintptr_t* end) {
  bool found = false;
  ForEachMapping([&](const MapsEntry& entry) {
    if (entry.end <= sp) return true;
    if (entry.start > sp + kStackSearchLimit) return false;
    if (!entry.readable) return true;
    std::uintptr_t low = sp > kRedZone ? sp - kRedZone : 0;
    *start = entry.start > low ? entry.start : low;
    *end = entry.end - *start > kMaxStackBytes ? *start + kMaxStackBytes : entry.end;
    found = true;
    return false;
  });
  return found;
}

// ---- ELF images in memory -----------------------------------------------------------

void FindBuildId(std::uintptr_t address, std::size_t length, std::size_t align,
                 ModuleInfo* module) {
  if (length > kNoteCapacity) length = kNoteCapacity;
  if (length < sizeof(Elf64_Nhdr) || !SafeRead(g_note, address, length)) return;
  auto padded = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
  std::size_t at = 0;
  while (at + sizeof(Elf64_Nhdr) <= length) {
    Elf64_Nhdr note;
    std::memcpy(&note, g_note + at, sizeof(note));
    std::size_t name = at + sizeof(note);
    std::size_t desc = name + padded(note.n_namesz);
    std::size_t next = desc + padded(note.n_descsz);
    if (note.n_namesz > length || note.n_descsz > length || next > length + align) return;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
        std::memcmp(g_note + name, "GNU", 4) == 0 && desc + note.n_descsz <= length &&
        note.n_descsz > 0 && note.n_descsz <= kMaxBuildId) {
      std::memcpy(module->buildId, g_note + desc, note.n_descsz);
      module->buildIdLength = note.n_descsz;
      return;
    }
    at = next;
  }
}

// Load range and build id of the ELF image whose first page is mapped at `base`; false
// when the mapping is not an ELF image.
bool DescribeElfImage(std::uintptr_t base, ModuleInfo* module) {
  Elf64_Ehdr header;
  if (!SafeRead(&header, base, sizeof(header))) return false;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr) ||
      header.e_phnum == 0 || header.e_phnum > kMaxProgramHeaders) {
    return false;
  }
  auto programHeader = [&](std::size_t index, Elf64_Phdr* out) {
    return SafeRead(out, base + header.e_phoff + index * sizeof(Elf64_Phdr), sizeof(*out));
  };

  bool haveLoad = false;
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  std::uintptr_t bias = base;
  for (std::size_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr ph;
    if (!programHeader(i, &ph)) return false;
    if (ph.p_type != PT_LOAD) continue;
    if (!haveLoad) {
      // The first load segment maps file offset 0 at `base`.
      low = PageDown(ph.p_vaddr);
      bias = base - (low - PageDown(ph.p_offset));
      haveLoad = true;
    }
    if (ph.p_vaddr + ph.p_memsz > high) high = ph.p_vaddr + ph.p_memsz;
  }
  if (!haveLoad) return false;
  std::uintptr_t size = PageUp(high) - low;
  module->base = bias + low;
  module->size = size > 0xffffffffu ? 0xffffffffu : static_cast<std::uint32_t>(size);
  module->buildIdLength = 0;

  for (std::size_t i = 0; i < header.e_phnum && module->buildIdLength == 0; ++i) {
    Elf64_Phdr ph;
    if (!programHeader(i, &ph) || ph.p_type != PT_NOTE) continue;
    FindBuildId(bias + ph.p_vaddr, ph.p_filesz, ph.p_align == 8 ? 8 : 4, module);
  }
  return true;
}

// Every ELF image mapped from a file: its first mapping is at file offset 0.
std::size_t CollectModules() {
  std::size_t count = 0;
  ForEachMapping([&](const MapsEntry& entry) {
    if (entry.path.empty() || entry.path.front() != '/' || entry.offset != 0 ||
        !entry.readable) {
      return true;
    }
    if (count > 0) {
      const ModuleInfo& last = g_modules[count - 1];
      if (last.path == entry.path && entry.start < last.base + last.size) return true;
    }
    ModuleInfo& module = g_modules[count];
    if (!DescribeElfImage(entry.start, &module)) return true;
    module.path = entry.path;
    ++count;
    return count < kMaxModules;
  });
  return count;
}

// ---- building the file --------------------------------------------------------------

// Appends records to the static metadata buffer; RVAs are offsets in it.
class Builder {
 public:
  std::size_t size() const { return size_; }
  std::size_t remaining() const { return kMetaCapacity - size_; }

  // Zeroed room for `length` bytes at the given alignment; false when it does not fit.
  bool Reserve(std::size_t length, std::size_t align, std::uint32_t* rva) {
    std::size_t at = (size_ + align - 1) & ~(align - 1);
    if (at > kMetaCapacity || length > kMetaCapacity - at) return false;
    std::memset(g_meta + size_, 0, at + length - size_);
    size_ = at + length;
    *rva = static_cast<std::uint32_t>(at);
    return true;
  }

  template <typename T>
  void Put(std::uint32_t rva, const T& value) {
    std::memcpy(g_meta + rva, &value, sizeof(T));
  }

  void PutBytes(std::uint32_t rva, const void* data, std::size_t length) {
    std::memcpy(g_meta + rva, data, length);
  }

 private:
  std::size_t size_ = 0;
};

// UTF-8 (as file names come) to UTF-16 code units; calls emit(unit) for each. Bytes
// that are not valid UTF-8 become U+FFFD.
template <typename Emit>
void Utf8ToUtf16(std::string_view text, Emit emit) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::uint32_t code = 0xfffd;
    std::size_t length = 1;
    std::size_t need = lead >= 0xc2 && lead <= 0xdf   ? 2
                       : lead >= 0xe0 && lead <= 0xef ? 3
                       : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                      : 0;
    if (lead < 0x80) {
      code = lead;
    } else if (need > 0 && i + need <= text.size()) {
      std::uint32_t value = lead & (0xff >> (need + 1));
      bool valid = true;
      for (std::size_t k = 1; k < need && valid; ++k) {
        valid = (byte(i + k) & 0xc0) == 0x80;
        value = (value << 6) | (byte(i + k) & 0x3f);
      }
      const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
      if (valid && value >= minimum[need] && value <= 0x10ffff &&
          !(value >= 0xd800 && value <= 0xdfff)) {
        code = value;
        length = need;
      }
    }
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      emit(static_cast<std::uint16_t>(0xd800 + (code >> 10)));
      emit(static_cast<std::uint16_t>(0xdc00 + (code & 0x3ff)));
    } else {
      emit(static_cast<std::uint16_t>(code));
    }
  }
}

std::size_t StringRecordSize(std::string_view text) {
  std::size_t units = 0;
  Utf8ToUtf16(text, [&](std::uint16_t) { ++units; });
  return 4 + units * 2 + 2;
}

// A MINIDUMP_STRING: byte length (without the terminator), UTF-16LE, a 0 terminator.
bool AppendString(Builder& builder, std::string_view text, std::uint32_t* rva) {
  std::size_t size = StringRecordSize(text);
  if (!builder.Reserve(size, 4, rva)) return false;
  builder.Put(*rva, static_cast<std::uint32_t>(size - 6));
  std::uint32_t at = *rva + 4;
  Utf8ToUtf16(text, [&](std::uint16_t unit) {
    builder.Put(at, unit);
    at += 2;
  });
  return true;
}

ContextAmd64 MakeContext(const ucontext_t& uc) {
  const greg_t* g = uc.uc_mcontext.gregs;
  auto reg = [g](int index) { return static_cast<std::uint64_t>(g[index]); };
  ContextAmd64 c{};
  c.contextFlags = kContextAmd64Full;
  // REG_CSGSFS packs cs, gs, fs and (when the kernel says so in uc_flags) ss.
  const std::uint64_t segments = reg(REG_CSGSFS);
  constexpr unsigned long kSigcontextSs = 0x2;  // UC_SIGCONTEXT_SS
  c.segCs = static_cast<std::uint16_t>(segments);
  c.segGs = static_cast<std::uint16_t>(segments >> 16);
  c.segFs = static_cast<std::uint16_t>(segments >> 32);
  c.segSs = (uc.uc_flags & kSigcontextSs) != 0 ? static_cast<std::uint16_t>(segments >> 48) : 0;
  c.eFlags = static_cast<std::uint32_t>(reg(REG_EFL));
  c.rax = reg(REG_RAX);
  c.rcx = reg(REG_RCX);
  c.rdx = reg(REG_RDX);
  c.rbx = reg(REG_RBX);
  c.rsp = reg(REG_RSP);
  c.rbp = reg(REG_RBP);
  c.rsi = reg(REG_RSI);
  c.rdi = reg(REG_RDI);
  c.r8 = reg(REG_R8);
  c.r9 = reg(REG_R9);
  c.r10 = reg(REG_R10);
  c.r11 = reg(REG_R11);
  c.r12 = reg(REG_R12);
  c.r13 = reg(REG_R13);
  c.r14 = reg(REG_R14);
  c.r15 = reg(REG_R15);
  c.rip = reg(REG_RIP);
  if (uc.uc_mcontext.fpregs != nullptr) {
    static_assert(sizeof(*uc.uc_mcontext.fpregs) == sizeof(c.fltSave));
    std::memcpy(c.fltSave, uc.uc_mcontext.fpregs, sizeof(c.fltSave));
    c.mxCsr = uc.uc_mcontext.fpregs->mxcsr;
  }
  return c;
}

SystemInfo MakeSystemInfo() {
  SystemInfo info{};
  info.processorArchitecture = kProcessorArchitectureAmd64;
  info.numberOfProcessors = g_processorCount;
  info.majorVersion = g_osVersion[0];
  info.minorVersion = g_osVersion[1];
  info.buildNumber = g_osVersion[2];
  info.platformId = kPlatformIdLinux;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
    info.vendorId[0] = ebx;
    info.vendorId[1] = edx;
    info.vendorId[2] = ecx;
  }
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
    unsigned family = (eax >> 8) & 0xf;
    unsigned model = (eax >> 4) & 0xf;
    if (family == 0xf) family += (eax >> 20) & 0xff;
    if (family >= 6) model |= ((eax >> 16) & 0xf) << 4;
    info.processorLevel = static_cast<std::uint16_t>(family);
    info.processorRevision = static_cast<std::uint16_t>((model << 8) | (eax & 0xf));
    info.versionInformation = eax;
    info.featureInformation = edx;
  }
  return info;
}

}  // namespace

bool ParseMapsLine(std::string_view line, MapsEntry* entry) {
  std::size_t at = 0;
  auto hex = [&](std::uint64_t* value) {
    std::size_t begin = at;
    *value = 0;
    while (at < line.size()) {
      char c = line[at];
      unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                       : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                       : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                              : 16u;
      if (digit == 16 || *value >> 60 != 0) break;
      *value = *value << 4 | digit;
      ++at;
    }
    return at > begin && at - begin <= 16;
  };
  auto skip = [&](char expected) {
    if (at >= line.size() || line[at] != expected) return false;
    ++at;
    return true;
  };
  std::uint64_t start = 0, end = 0, offset = 0, major = 0, minor = 0;
  if (!hex(&start) || !skip('-') || !hex(&end) || !skip(' ') || end < start) return false;
  if (line.size() < at + 5 || line[at + 4] != ' ') return false;
  entry->readable = line[at] == 'r';
  entry->writable = line[at + 1] == 'w';
  entry->executable = line[at + 2] == 'x';
  at += 5;
  if (!hex(&offset) || !skip(' ') || !hex(&major) || !skip(':') || !hex(&minor) || !skip(' ')) {
    return false;
  }
  std::uint64_t inode = 0;
  std::size_t digits = at;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
    inode = inode * 10 + static_cast<std::uint64_t>(line[at] - '0');
    ++at;
  }
  if (at == digits || (at < line.size() && line[at] != ' ')) return false;
  while (at < line.size() && line[at] == ' ') ++at;
  entry->start = static_cast<std::uintptr_t>(start);
  entry->end = static_cast<std::uintptr_t>(end);
  entry->offset = offset;
  entry->inode = inode;
  entry->path = line.substr(at);
  return true;
}

void PrepareWriter() {
  std::call_once(g_prepared, [] {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      g_probeRead = fds[0];
      g_probeWrite = fds[1];
    }
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0 && (page & (page - 1)) == 0) g_pageSize = static_cast<std::uintptr_t>(page);
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    g_processorCount = static_cast<std::uint8_t>(processors < 1 ? 1 : processors > 255 ? 255 : processors);
    utsname name;
    if (uname(&name) == 0) {
      const char* p = name.release;
      for (std::uint32_t& part : g_osVersion) {
        while (*p >= '0' && *p <= '9') part = part * 10 + static_cast<std::uint32_t>(*p++ - '0');
        if (*p != '.') break;
        ++p;
      }
      std::size_t at = 0;
      const char* pieces[] = {"Linux", name.release, name.version, name.machine};
      for (const char* piece : pieces) {
        if (at > 0 && at + 1 < sizeof(g_osDescription)) g_osDescription[at++] = ' ';
        for (; *piece != '\0' && at + 1 < sizeof(g_osDescription); ++piece) {
          g_osDescription[at++] = *piece;
        }
      }
      g_osDescription[at] = '\0';
    }
  });
}

bool WriteMinidump(int fd, const ExceptionPointers& exception, std::uint32_t threadId,
                   std::uint32_t timeStamp) {
  if (exception.context == nullptr) return false;
  const ContextAmd64 context = MakeContext(*exception.context);

  ReadMaps();
  std::uintptr_t stackStart = 0, stackEnd = 0;
  if (!FindStack(context.rsp, &stackStart, &stackEnd)) stackStart = stackEnd = 0;
  const std::size_t moduleCount = CollectModules();

  Builder b;
  constexpr std::size_t kMaxStreams = 7;
  std::uint32_t headerRva = 0, directoryRva = 0;
  if (!b.Reserve(sizeof(Header), 4, &headerRva) ||
      !b.Reserve(kMaxStreams * sizeof(Directory), 4, &directoryRva)) {
    return false;
  }
  std::uint32_t streams = 0;
  auto addStream = [&](std::uint32_t type, std::uint32_t rva, std::size_t size) {
    b.Put(static_cast<std::uint32_t>(directoryRva + streams * sizeof(Directory)),
          Directory{type, {static_cast<std::uint32_t>(size), rva}});
    ++streams;
  };

  // Fixed records first; the RVAs of the memory that follows the metadata (maps text,
  // stack bytes) are filled in once the metadata size is known.
  std::uint32_t systemRva = 0, csdRva = 0, miscRva = 0, exceptionRva = 0, threadsRva = 0,
                contextRva = 0, memoryRva = 0, modulesRva = 0;
  if (!b.Reserve(sizeof(SystemInfo), 8, &systemRva) ||
      !AppendString(b, g_osDescription, &csdRva) ||
      !b.Reserve(sizeof(MiscInfo), 4, &miscRva) ||
      !b.Reserve(sizeof(ExceptionStream), 8, &exceptionRva) ||
      !b.Reserve(4 + sizeof(Thread), 8, &threadsRva) ||
      !b.Reserve(sizeof(ContextAmd64), 16, &contextRva) ||
      !b.Reserve(4 + sizeof(MemoryDescriptor), 8, &memoryRva)) {
    return false;
  }
  const LocationDescriptor contextLocation{sizeof(ContextAmd64), contextRva};

  SystemInfo system = MakeSystemInfo();
  system.csdVersionRva = csdRva;
  b.Put(systemRva, system);
  addStream(kSystemInfoStream, systemRva, sizeof(SystemInfo));

  MiscInfo misc{};
  misc.sizeOfInfo = sizeof(MiscInfo);
  misc.flags1 = kMiscInfoProcessId;
  misc.processId = static_cast<std::uint32_t>(getpid());
  b.Put(miscRva, misc);
  addStream(kMiscInfoStream, miscRva, sizeof(MiscInfo));

  ExceptionStream fault{};
  fault.threadId = threadId;
  fault.exceptionRecord.exceptionCode = static_cast<std::uint32_t>(exception.signal);
  if (exception.info != nullptr) {
    fault.exceptionRecord.exceptionFlags = static_cast<std::uint32_t>(exception.info->si_code);
    // si_addr means a fault address only for signals the kernel raised for a fault.
    if (exception.info->si_code > 0) {
      fault.exceptionRecord.exceptionAddress =
          reinterpret_cast<std::uintptr_t>(exception.info->si_addr);
    }
  }
  fault.threadContext = contextLocation;
  b.Put(exceptionRva, fault);
  addStream(kExceptionStream, exceptionRva, sizeof(ExceptionStream));

  b.Put(contextRva, context);
  addStream(kThreadListStream, threadsRva, 4 + sizeof(Thread));
  addStream(kMemoryListStream, memoryRva, 4 + sizeof(MemoryDescriptor));

  // Module list last, so as many modules as fit are kept.
  std::size_t kept = 0;
  std::size_t need = 4;
  for (; kept < moduleCount; ++kept) {
    const ModuleInfo& m = g_modules[kept];
    auto round4 = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
    std::size_t one = sizeof(Module) + round4(StringRecordSize(m.path)) + round4(4 + m.buildIdLength);
    if (need + one + 16 > b.remaining()) break;
    need += one;
  }
  if (!b.Reserve(4 + kept * sizeof(Module), 4, &modulesRva)) return false;
  b.Put(modulesRva, static_cast<std::uint32_t>(kept));
  for (std::size_t i = 0; i < kept; ++i) {
    const ModuleInfo& m = g_modules[i];
    Module record{};
    record.baseOfImage = m.base;
    record.sizeOfImage = m.size;
    if (!AppendString(b, m.path, &record.moduleNameRva)) return false;
    if (m.buildIdLength > 0) {
      std::uint32_t cvRva = 0;
      if (!b.Reserve(4 + m.buildIdLength, 4, &cvRva)) return false;
      b.Put(cvRva, kCodeViewElfBuildId);
      b.PutBytes(cvRva + 4, m.buildId, m.buildIdLength);
      record.cvRecord = {4 + m.buildIdLength, cvRva};
    }
    b.Put(static_cast<std::uint32_t>(modulesRva + 4 + i * sizeof(Module)), record);
  }
  addStream(kModuleListStream, modulesRva, 4 + kept * sizeof(Module));

  const std::size_t mapsRva = b.size();
  if (g_mapsLength > 0) addStream(kLinuxMapsStream, static_cast<std::uint32_t>(mapsRva), g_mapsLength);
  const std::size_t stackLength = stackEnd - stackStart;
  const std::size_t stackRva = (mapsRva + g_mapsLength + 15) & ~std::size_t{15};
  const MemoryDescriptor stack{stackStart,
                               {static_cast<std::uint32_t>(stackLength),
                                static_cast<std::uint32_t>(stackLength > 0 ? stackRva : 0)}};

  Thread thread{};
  thread.threadId = threadId;
  thread.stack = stack;
  thread.threadContext = contextLocation;
  b.Put(threadsRva, std::uint32_t{1});
  b.Put(threadsRva + 4, thread);
  b.Put(memoryRva, std::uint32_t{stackLength > 0 ? 1u : 0u});
  b.Put(memoryRva + 4, stack);

  Header header{};
  header.signature = kSignature;
  header.version = kVersion;
  header.numberOfStreams = streams;
  header.streamDirectoryRva = directoryRva;
  header.timeDateStamp = timeStamp;
  b.Put(headerRva, header);

  return WriteAll(fd, g_meta, b.size()) && WriteAll(fd, g_maps, g_mapsLength) &&
         WriteZeros(fd, stackRva - (mapsRva + g_mapsLength)) &&
         WriteMemory(fd, stackStart, stackLength);
}

}  // namespace platform::minidump

#pragma once
// On-disk records of the Microsoft minidump format, as DbgHelp declares them (4-byte
// packing, little-endian) and as LLDB and other minidump readers expect them. Only the
// records this writer produces are here; names follow the DbgHelp declarations.
#include <cstddef>
#include <cstdint>

namespace platform::minidump {

constexpr std::uint32_t kSignature = 0x504d444d;  // "MDMP"
constexpr std::uint32_t kVersion = 0xa793;        // MINIDUMP_VERSION

enum StreamType : std::uint32_t {
  kThreadListStream = 3,
  kModuleListStream = 4,
  kMemoryListStream = 5,
  kExceptionStream = 6,
  kSystemInfoStream = 7,
  kMiscInfoStream = 15,
  kLinuxMapsStream = 0x47670009,  // Breakpad extension: the text of /proc/<pid>/maps
};

constexpr std::uint16_t kProcessorArchitectureAmd64 = 9;
constexpr std::uint32_t kPlatformIdLinux = 0x8201;  // Breakpad's MD_OS_LINUX
constexpr std::uint32_t kMiscInfoProcessId = 0x1;   // MINIDUMP_MISC1_PROCESS_ID
// CONTEXT_AMD64 | CONTROL | INTEGER | SEGMENTS | FLOATING_POINT
constexpr std::uint32_t kContextAmd64Full = 0x0010000f;
constexpr std::uint32_t kCodeViewElfBuildId = 0x4270454c;  // 'BpEL', then the GNU build id

#pragma pack(push, 4)

struct LocationDescriptor {
  std::uint32_t dataSize;
  std::uint32_t rva;
};

struct MemoryDescriptor {
  std::uint64_t startOfMemoryRange;
  LocationDescriptor memory;
};

struct Header {
  std::uint32_t signature;
  std::uint32_t version;
  std::uint32_t numberOfStreams;
  std::uint32_t streamDirectoryRva;
  std::uint32_t checkSum;
  std::uint32_t timeDateStamp;
  std::uint64_t flags;
};

struct Directory {
  std::uint32_t streamType;
  LocationDescriptor location;
};

struct SystemInfo {
  std::uint16_t processorArchitecture;
  std::uint16_t processorLevel;
  std::uint16_t processorRevision;
  std::uint8_t numberOfProcessors;
  std::uint8_t productType;
  std::uint32_t majorVersion;
  std::uint32_t minorVersion;
  std::uint32_t buildNumber;
  std::uint32_t platformId;
  std::uint32_t csdVersionRva;  // a MINIDUMP_STRING
  std::uint16_t suiteMask;
  std::uint16_t reserved2;
  std::uint32_t vendorId[3];  // CPUID leaf 0
  std::uint32_t versionInformation;
  std::uint32_t featureInformation;
  std::uint32_t amdExtendedCpuFeatures;
};

struct MiscInfo {
  std::uint32_t sizeOfInfo;
  std::uint32_t flags1;
  std::uint32_t processId;
  std::uint32_t processCreateTime;
  std::uint32_t processUserTime;
  std::uint32_t processKernelTime;
};

struct Thread {
  std::uint32_t threadId;
  std::uint32_t suspendCount;
  std::uint32_t priorityClass;
  std::uint32_t priority;
  std::uint64_t teb;
  MemoryDescriptor stack;
  LocationDescriptor threadContext;
};

struct ExceptionRecord {
  std::uint32_t exceptionCode;  // here: the signal number
  std::uint32_t exceptionFlags;  // here: si_code
  std::uint64_t exceptionRecord;
  std::uint64_t exceptionAddress;  // here: the fault address
  std::uint32_t numberParameters;
  std::uint32_t unusedAlignment;
  std::uint64_t exceptionInformation[15];
};

struct ExceptionStream {
  std::uint32_t threadId;
  std::uint32_t alignment;
  ExceptionRecord exceptionRecord;
  LocationDescriptor threadContext;
};

struct FixedFileInfo {  // VS_FIXEDFILEINFO
  std::uint32_t fields[13];
};

struct Module {
  std::uint64_t baseOfImage;
  std::uint32_t sizeOfImage;
  std::uint32_t checkSum;
  std::uint32_t timeDateStamp;
  std::uint32_t moduleNameRva;  // a MINIDUMP_STRING
  FixedFileInfo versionInfo;
  LocationDescriptor cvRecord;
  LocationDescriptor miscRecord;
  std::uint64_t reserved0;
  std::uint64_t reserved1;
};

struct M128 {
  std::uint64_t low;
  std::uint64_t high;
};

// The AMD64 CONTEXT record. fltSave holds the FXSAVE image, the same 512 bytes the Linux
// kernel saves in the signal frame.
struct ContextAmd64 {
  std::uint64_t pHome[6];
  std::uint32_t contextFlags;
  std::uint32_t mxCsr;
  std::uint16_t segCs, segDs, segEs, segFs, segGs, segSs;
  std::uint32_t eFlags;
  std::uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
  std::uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
  std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  std::uint64_t rip;
  std::uint8_t fltSave[512];
  M128 vectorRegister[26];
  std::uint64_t vectorControl;
  std::uint64_t debugControl;
  std::uint64_t lastBranchToRip;
  std::uint64_t lastBranchFromRip;
  std::uint64_t lastExceptionToRip;
  std::uint64_t lastExceptionFromRip;
};

#pragma pack(pop)

static_assert(sizeof(LocationDescriptor) == 8);
static_assert(sizeof(MemoryDescriptor) == 16);
static_assert(sizeof(Header) == 32);
static_assert(sizeof(Directory) == 12);
static_assert(sizeof(SystemInfo) == 56);
static_assert(sizeof(MiscInfo) == 24);
static_assert(sizeof(Thread) == 48);
static_assert(sizeof(ExceptionRecord) == 152);
static_assert(sizeof(ExceptionStream) == 168);
static_assert(sizeof(Module) == 108);
static_assert(sizeof(ContextAmd64) == 1232);
static_assert(offsetof(ContextAmd64, contextFlags) == 0x30);
static_assert(offsetof(ContextAmd64, rax) == 0x78);
static_assert(offsetof(ContextAmd64, rip) == 0xf8);
static_assert(offsetof(ContextAmd64, fltSave) == 0x100);

}  // namespace platform::minidump

// orvo-stamp as the people who ship the installer run it: a child process on real files,
// with real signatures made and checked by osslsigncode.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "config/extern_data.h"
#include "config/global_config.h"
#include "config/payload.h"
#include "platform/md5.h"
#include "tests/support/test_prefix.h"

extern char** environ;

using namespace orvo::test;
namespace fs = std::filesystem;

namespace {

const fs::path kData = fs::path(ORVO_SOURCE_DIR) / "tests/data/stamp";

struct ChildRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a program with stdin from /dev/null and its output in files under `scratch`; a child
// that does not end within two minutes is killed and the case fails.
ChildRun RunProgram(const std::vector<std::string>& argv, const fs::path& scratch) {
  const fs::path outPath = scratch / "child.out";
  const fs::path errPath = scratch / "child.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ChildRun run;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
    return run;
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << argv[0] << " did not finish";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadHostFile(outPath);
  run.err = ReadHostFile(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  return run;
}

std::uint32_t U32At(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
void PutU32(std::string& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

// File offset of the security directory entry {offset, size} of a PE32 or PE32+ image.
std::size_t SecurityEntry(const std::string& pe) {
  const std::size_t optional = U32At(pe, 0x3C) + 24;
  const bool plus = static_cast<unsigned char>(pe[optional]) == 0x0B && pe[optional + 1] == 0x02;
  return optional + (plus ? 112 : 96) + 4 * 8;
}

// A minimal PE32+ image (x86-64, one section holding a "ret"): enough for osslsigncode to
// sign it and for the stamper to take the 64-bit header path.
std::string MinimalPe32Plus() {
  std::string b(0x400, '\0');
  auto u16 = [&](std::size_t at, std::uint16_t v) { std::memcpy(b.data() + at, &v, 2); };
  b[0] = 'M';
  b[1] = 'Z';
  PutU32(b, 0x3C, 0x40);
  b.replace(0x40, 4, std::string("PE\0\0", 4));
  u16(0x44, 0x8664);  // machine
  u16(0x46, 1);       // sections
  u16(0x54, 240);     // optional header size
  u16(0x56, 0x22);    // executable, large address aware
  const std::size_t o = 0x58;
  u16(o, 0x20B);
  PutU32(b, o + 16, 0x1000);                      // entry point
  PutU32(b, o + 28, 0x1);                         // image base 0x140000000 (high half)
  PutU32(b, o + 32, 0x1000);                      // section alignment
  PutU32(b, o + 36, 0x200);                       // file alignment
  u16(o + 48, 6);                                 // subsystem version
  PutU32(b, o + 56, 0x2000);                      // size of image
  PutU32(b, o + 60, 0x200);                       // size of headers
  u16(o + 68, 3);                                 // console
  PutU32(b, o + 108, 16);                         // data directories
  const std::size_t s = o + 240;
  b.replace(s, 5, ".text");
  PutU32(b, s + 8, 0x1000);
  PutU32(b, s + 12, 0x1000);
  PutU32(b, s + 16, 0x200);
  PutU32(b, s + 20, 0x200);
  PutU32(b, s + 36, 0x60000020);
  b[0x200] = '\xC3';
  return b;
}

std::string TinyPe32() { return ORVO_TINY_PE[0] ? ReadHostFile(ORVO_TINY_PE) : std::string(); }

class StampTest : public PrefixTest {
 protected:
  void SetUp() override { fs::create_directories(dir_); }

  ChildRun Stamp(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ORVO_STAMP_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildRun run = RunProgram(argv, prefix_.root());
    // In sanitizer builds a report would otherwise pass for a refusal (exit code 1).
    EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
    return run;
  }
  ChildRun Add(const fs::path& exe, const fs::path& json) { return Stamp({"add", exe, json}); }
  ChildRun List(const fs::path& exe) { return Stamp({"list", exe}); }

  fs::path Write(const std::string& name, const std::string& bytes) {
    WriteHostFile(dir_ / name, bytes);
    return dir_ / name;
  }
  // Everything in the work folder: a stamp must leave no temporary file behind.
  std::vector<std::string> Listing() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  const fs::path dir_ = prefix_.root() / "work";
};

// Cases that sign: skipped when osslsigncode or openssl is missing.
class SignedPeTest : public StampTest {
 protected:
  void SetUp() override {
    StampTest::SetUp();
    if (!ORVO_OSSLSIGNCODE[0] || !ORVO_OPENSSL[0]) GTEST_SKIP() << "osslsigncode or openssl not found";
    const ChildRun made = RunProgram({ORVO_OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                 "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key_, "-out", cert_,
                                 "-days", "2", "-subj", "/CN=Orvo Stamp Test", "-addext",
                                 "extendedKeyUsage=codeSigning"},
                                prefix_.root());
    ASSERT_EQ(made.exitCode, 0) << made.err;
  }

  // Signs `image` and returns the path of the signed copy in the work folder.
  fs::path Signed(const std::string& image, const std::string& name = "setup.exe") {
    const fs::path unsigned_ = Write(name + ".unsigned", image);
    const fs::path out = dir_ / name;
    const ChildRun sign = RunProgram({ORVO_OSSLSIGNCODE, "sign", "-certs", cert_, "-key", key_, "-in", unsigned_,
                                 "-out", out},
                                prefix_.root());
    EXPECT_EQ(sign.exitCode, 0) << sign.out << sign.err;
    fs::remove(unsigned_);
    return out;
  }

  // osslsigncode's verdict; its report (stdout and stderr) for the failure message.
  ChildRun Verify(const fs::path& file) {
    ChildRun run = RunProgram({ORVO_OSSLSIGNCODE, "verify", "-CAfile", cert_, "-in", file}, prefix_.root());
    run.out += run.err;
    return run;
  }

  const fs::path key_ = prefix_.root() / "key.pem";
  const fs::path cert_ = prefix_.root() / "cert.pem";
};

struct ImageKind {
  const char* name;
  std::function<std::string()> build;
};
void PrintTo(const ImageKind& kind, std::ostream* os) { *os << kind.name; }

class SignedImageTest : public SignedPeTest, public ::testing::WithParamInterface<ImageKind> {};

TEST_P(SignedImageTest, StaysVerifiedWhenStampedTwice) {
  const std::string image = GetParam().build();
  if (image.empty()) GTEST_SKIP() << "i686-w64-mingw32-gcc not found";
  const fs::path exe = Signed(image);
  fs::permissions(exe, static_cast<fs::perms>(0751));
  ASSERT_EQ(Verify(exe).exitCode, 0) << Verify(exe).out;

  const fs::path first = kData / "channel_30.json";
  const fs::path second = kData / "channel_31_override.json";
  for (const fs::path& json : {first, second}) {
    const ChildRun add = Add(exe, json);
    ASSERT_EQ(add.exitCode, 0) << add.err;
    EXPECT_NE(add.out.find("inside the certificate table"), std::string::npos) << add.out;
    const ChildRun verify = Verify(exe);
    EXPECT_EQ(verify.exitCode, 0) << verify.out;
    EXPECT_EQ(verify.out.find("invalid PE checksum"), std::string::npos) << verify.out;
  }
  EXPECT_EQ(fs::status(exe).permissions(), static_cast<fs::perms>(0751));
  EXPECT_EQ(Listing(), std::vector<std::string>{"setup.exe"});

  // Both blocks, the later one last, each verifiable on its own.
  const std::string bytes = ReadHostFile(exe);
  std::size_t end = bytes.size();
  for (const fs::path& json : {second, first}) {
    std::array<std::uint8_t, config::kExternHeaderSize> raw{};
    std::memcpy(raw.data(), bytes.data() + end - raw.size(), raw.size());
    const config::ExternHeader header = config::ParseExternHeader(raw);
    const std::string text = ReadHostFile(json);
    EXPECT_EQ(header.magic, config::kExternMagic);
    EXPECT_EQ(header.length, (text.size() + 7) / 8 * 8);
    EXPECT_EQ(header.terminator, 0);
    EXPECT_EQ(header.reserved, 1);
    const std::size_t data = end - raw.size() - header.length;
    EXPECT_EQ(header.digest, platform::HexMd5(bytes.data() + data, header.length));
    EXPECT_EQ(bytes.substr(data, text.size()), text);
    end = data;
  }
  // The certificate table now runs to the end of the file and is one entry long.
  const std::size_t entry = SecurityEntry(bytes);
  const std::uint32_t table = U32At(bytes, entry);
  EXPECT_EQ(table + U32At(bytes, entry + 4), bytes.size());
  EXPECT_EQ(U32At(bytes, table), U32At(bytes, entry + 4));

  const ChildRun list = List(exe);
  ASSERT_EQ(list.exitCode, 0) << list.err;
  EXPECT_NE(list.out.find("2 block(s)"), std::string::npos) << list.out;
  const auto at30 = list.out.find("\"supplyid\":30");
  const auto at31 = list.out.find("\"supplyid\": 31");
  ASSERT_NE(at30, std::string::npos) << list.out;
  ASSERT_NE(at31, std::string::npos) << list.out;
  EXPECT_LT(at30, at31);

  // The installer's own reader finds both and the later block wins.
  fs::copy_file(exe, prefix_.Host(L"C:\\setup.exe"));
  bool sizeKnown = false;
  const auto documents = config::ReadExternDocuments(L"C:\\setup.exe", &sizeKnown);
  ASSERT_EQ(documents.size(), 2u);
  GlobalConfig config = GlobalConfig::MakeDefaultsForTesting();
  config::ApplyExternDocuments(documents, config);
  EXPECT_EQ(config.supplyid, 31u);
  EXPECT_EQ(config.buildid, 7u);
  EXPECT_EQ(config.area, "eu");
}

INSTANTIATE_TEST_SUITE_P(Images, SignedImageTest,
                         ::testing::Values(ImageKind{"Pe32", TinyPe32}, ImageKind{"Pe32Plus", MinimalPe32Plus}),
                         [](const auto& info) { return std::string(info.param.name); });

// A packer that grows only the directory size leaves its block outside the certificate
// entry, which osslsigncode rejects; the next stamp takes it into the entry.
TEST_F(SignedPeTest, BlockOutsideTheEntryIsTakenIn) {
  const fs::path exe = Signed(MinimalPe32Plus());
  std::string bytes = ReadHostFile(exe);
  const std::string earlier = config::BuildExternBlock(R"({"supplyid":29})");
  const std::size_t entry = SecurityEntry(bytes);
  PutU32(bytes, entry + 4, U32At(bytes, entry + 4) + static_cast<std::uint32_t>(earlier.size()));
  WriteHostFile(exe, bytes + earlier);
  const ChildRun before = Verify(exe);
  EXPECT_NE(before.exitCode, 0);
  EXPECT_NE(before.out.find("Corrupted attribute certificate table"), std::string::npos) << before.out;

  const ChildRun add = Add(exe, kData / "channel_30.json");
  ASSERT_EQ(add.exitCode, 0) << add.err;
  EXPECT_NE(add.out.find("1 earlier block(s)"), std::string::npos) << add.out;
  const ChildRun after = Verify(exe);
  EXPECT_EQ(after.exitCode, 0) << after.out;
  const ChildRun list = List(exe);
  EXPECT_NE(list.out.find("2 block(s)"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(R"({"supplyid":29})"), std::string::npos) << list.out;
}

// A signer that leaves the entry unpadded: the stamp pads it so the table is 8-byte aligned
// again and every entry length adds up.
TEST_F(SignedPeTest, UnpaddedEntryIsRealigned) {
  const fs::path exe = Signed(MinimalPe32Plus());
  std::string bytes = ReadHostFile(exe);
  const std::size_t entry = SecurityEntry(bytes);
  const std::uint32_t table = U32At(bytes, entry);
  ASSERT_EQ(static_cast<unsigned char>(bytes[table + 9]), 0x82u) << "DER with a two-byte length";
  const std::uint32_t der = 4 + (static_cast<unsigned char>(bytes[table + 10]) << 8 |
                                 static_cast<unsigned char>(bytes[table + 11]));
  std::uint32_t length = 8 + der;
  if (length % 8 == 0) ++length;  // one zero byte after the DER keeps it unaligned
  bytes.resize(table + length, '\0');
  PutU32(bytes, table, length);
  PutU32(bytes, entry + 4, length);
  WriteHostFile(exe, bytes);

  const ChildRun add = Add(exe, kData / "channel_30.json");
  ASSERT_EQ(add.exitCode, 0) << add.err;
  EXPECT_NE(add.out.find("zero bytes realign"), std::string::npos) << add.out;
  const std::string stamped = ReadHostFile(exe);
  EXPECT_EQ(U32At(stamped, table) % 8, 0u);
  EXPECT_EQ(U32At(stamped, table), U32At(stamped, entry + 4));
  EXPECT_EQ(table + U32At(stamped, entry + 4), stamped.size());
  const ChildRun after = Verify(exe);
  EXPECT_EQ(after.exitCode, 0) << after.out;
}

TEST_F(SignedPeTest, RefusesDataAfterTheSignature) {
  const fs::path exe = Signed(MinimalPe32Plus());
  const std::string bytes = ReadHostFile(exe) + "appended after signing";
  WriteHostFile(exe, bytes);
  const ChildRun add = Add(exe, kData / "channel_30.json");
  EXPECT_EQ(add.exitCode, 1);
  EXPECT_NE(add.err.find("data was added after signing"), std::string::npos) << add.err;
  EXPECT_EQ(ReadHostFile(exe), bytes);
  EXPECT_EQ(Listing(), std::vector<std::string>{"setup.exe"});
}

// Unsigned images and files that are no PE image at all get the block appended as it is.
TEST_F(StampTest, UnsignedFilesGetAPlainBlock) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* said;
  };
  const std::string elf = std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(57, '\0') + "program";
  const std::vector<Case> cases = {
      {"installer.elf", elf, "Not a PE image: block appended plainly."},
      {"dos.exe", "MZ" + std::string(100, '\x01'), "Not a PE image"},
      {"unsigned32.exe", TinyPe32(), "PE32 image without a certificate table (not signed)"},
      {"unsigned64.exe", MinimalPe32Plus(), "PE32+ image without a certificate table (not signed)"},
  };
  const std::string json = ReadHostFile(kData / "channel_30.json");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.bytes.empty()) continue;  // no mingw
    const fs::path file = Write(c.name, c.bytes);
    const ChildRun add = Add(file, kData / "channel_30.json");
    ASSERT_EQ(add.exitCode, 0) << add.err;
    EXPECT_NE(add.out.find(c.said), std::string::npos) << add.out;
    std::string expected = c.bytes + config::BuildExternBlock(json);
    const std::string stamped = ReadHostFile(file);
    if (add.out.find("PE checksum updated") != std::string::npos) {
      const std::size_t checksum = U32At(c.bytes, 0x3C) + 24 + 64;  // the one header field that changes
      expected.replace(checksum, 4, stamped.substr(checksum, 4));
    }
    EXPECT_EQ(stamped, expected);
  }
}

TEST_F(StampTest, RefusalsLeaveTheFileUnchanged) {
  struct Case {
    const char* name;
    std::function<fs::path(const fs::path& exe)> config;  // writes the config, may break the exe
    std::string expected;                                 // in the message
  };
  auto json = [this](const std::string& text) {
    return [this, text](const fs::path&) { return Write("config.json", text); };
  };
  const std::vector<Case> cases = {
      {"bad json", json(R"({"supplyid":30,})"), "config.json is not valid JSON: [json.exception.parse_error.101]"},
      {"empty json", json(""), "config.json is not valid JSON: [json.exception.parse_error"},
      {"array", json("[1,2]"), "holds a JSON array, but the installer reads only a JSON object"},
      {"number", json("42"), "holds a JSON number"},
      {"config missing", [this](const fs::path&) { return dir_ / "missing.json"; },
       "cannot open " + (dir_ / "missing.json").string() + ": No such file or directory"},
      {"config is a folder",
       [this](const fs::path&) {
         fs::create_directories(dir_ / "folder.json");
         return dir_ / "folder.json";
       },
       "folder.json is a folder, not a file"},
      {"read-only executable",
       [this](const fs::path& exe) {
         fs::permissions(exe, static_cast<fs::perms>(0444));
         return Write("config.json", "{}");
       },
       "setup.exe is read-only (mode 0444)"},
  };
  const std::string original = "MZ not a real program";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const fs::path exe = Write("setup.exe", original);
    const fs::path config = c.config(exe);
    const auto mode = fs::status(exe).permissions();
    const auto files = Listing();
    const ChildRun add = Add(exe, config);
    EXPECT_EQ(add.exitCode, 1);
    EXPECT_NE(add.err.find(c.expected), std::string::npos) << add.err;
    EXPECT_EQ(ReadHostFile(exe), original);
    EXPECT_EQ(fs::status(exe).permissions(), mode);
    EXPECT_EQ(Listing(), files);
  }

  // The executable itself missing or a folder.
  const fs::path config = Write("config.json", "{}");
  const ChildRun missing = Add(dir_ / "missing.exe", config);
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("cannot open " + (dir_ / "missing.exe").string() + ": No such file or directory"),
            std::string::npos)
      << missing.err;
  fs::create_directories(dir_ / "folder.exe");
  const ChildRun folder = Add(dir_ / "folder.exe", config);
  EXPECT_EQ(folder.exitCode, 1);
  EXPECT_NE(folder.err.find("folder.exe is a folder, not a file"), std::string::npos) << folder.err;
  const ChildRun listMissing = List(dir_ / "missing.exe");
  EXPECT_EQ(listMissing.exitCode, 1);
  EXPECT_NE(listMissing.err.find("No such file or directory"), std::string::npos) << listMissing.err;
}

// The walk from the end stops at the first thing that is not a block, as the installer's does.
TEST_F(StampTest, ListStopsAtTheFirstNonBlock) {
  const std::string good = config::BuildExternBlock(R"({"supplyid":30})");
  std::string damaged = config::BuildExternBlock(R"({"supplyid":29})");
  damaged[3] = '7';
  std::string absurd = config::BuildExternBlock("{}").substr(8);  // a header alone
  PutU32(absurd, 2, 0xFFFFFF00);
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> expected;  // in this order
  };
  const std::vector<Case> cases = {
      {"absurd length", "front" + absurd + good,
       {"1 block(s)", "digest ok, JSON object", R"({"supplyid":30})",
        "claims 4294967040 data bytes, more than the 5 bytes in front of it"}},
      {"digest mismatch", "front" + good + damaged + good,
       {"2 block(s)", "block 1: offset 61, length 16, digest MISMATCH", "block 2: offset 117", "digest ok",
        "the block at offset 61 does not match its digest"}},
      {"array", "front" + config::BuildExternBlock("[1]") + good,
       {"block 1: offset 5, length 8, digest ok, JSON array, not an object", "block 2"}},
      {"not json", "front" + good + config::BuildExternBlock("not json") + good,
       {"2 block(s)", "not valid JSON", "is not valid JSON; the installer stops there"}},
      {"tiny file", "tiny file", {"no configuration blocks", "no room for a block header in the 9 bytes"}},
      {"no block", std::string(100, 'x'), {"no configuration blocks", "no block header at offset 60"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ChildRun list = List(Write("file.bin", c.bytes));
    EXPECT_EQ(list.exitCode, 0) << list.err;
    std::size_t at = 0;
    for (const std::string& text : c.expected) {
      at = list.out.find(text, at);
      ASSERT_NE(at, std::string::npos) << "missing \"" << text << "\" in:\n" << list.out;
    }
  }
}

TEST_F(StampTest, UsageAndExitCodes) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    bool usageOnStdout;
  };
  const std::vector<Case> cases = {
      {{}, 2, false},
      {{"--help"}, 0, true},
      {{"add", "--help"}, 0, true},
      {{"add", "only-one"}, 2, false},
      {{"list"}, 2, false},
      {{"list", "a", "b"}, 2, false},
      {{"stamp", "a", "b"}, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ChildRun run = Stamp(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode);
    const std::string& usage = c.usageOnStdout ? run.out : run.err;
    EXPECT_NE(usage.find("orvo-stamp add <executable> <config.json>"), std::string::npos) << usage;
    EXPECT_NE(usage.find("Exit status: 0 done, 1 refused or failed"), std::string::npos) << usage;
  }
}

}  // namespace

#include "config/payload.h"

#include <gtest/gtest.h>

#include "config/extern_data.h"
#include "config/global_config.h"
#include "platform/md5.h"
#include "tests/support/log_reader.h"
#include "tests/support/test_prefix.h"

using namespace orvo::test;

namespace {

constexpr char kBody[] = "MZ not really an executable, just the bytes in front";

class PayloadTest : public PrefixTest {
 protected:
  // Writes C:\setup.exe = kBody + blocks, reads and applies it.
  GlobalConfig Load(const std::string& blocks) {
    WriteHostFile(prefix_.Host(L"C:\\setup.exe"), kBody + blocks);
    GlobalConfig config = GlobalConfig::MakeDefaultsForTesting();
    bool sizeKnown = false;
    config::ApplyExternDocuments(config::ReadExternDocuments(L"C:\\setup.exe", &sizeKnown), config);
    EXPECT_TRUE(sizeKnown);
    return config;
  }
  std::vector<std::string> Log() {
    std::vector<std::string> lines;
    for (const auto& r : StopLoggerAndReadRecords()) lines.push_back(r.level + " " + r.message);
    return lines;
  }
};

std::string Block(const std::string& json) { return config::BuildExternBlock(json); }

// The "0x%08X" address in a log line varies; tests compare the text in front of it.
std::string Head(const std::string& line) { return line.substr(0, line.find(" 0x")); }

TEST(ExternBlock, WorkedExampleLayout) {
  const std::string json(189, ' ');
  const std::string block = Block(json);
  ASSERT_EQ(block.size(), 192u + 40u);
  EXPECT_EQ(block.substr(189, 3), std::string(3, '\0'));
  const std::string header = block.substr(192);
  EXPECT_EQ(header.substr(0, 6), std::string("\xF4\x0E\xC0\x00\x00\x00", 6));
  EXPECT_EQ(header.substr(6, 32), platform::HexMd5(block.data(), 192));
  EXPECT_EQ(header.substr(38), std::string("\x00\x01", 2));
}

TEST_F(PayloadTest, NoBlockKeepsTheDefaults) {
  GlobalConfig c = Load("");
  EXPECT_EQ(c.supplyid, 0u);
  EXPECT_TRUE(c.installMarket);
  EXPECT_EQ(Log(), std::vector<std::string>{"Warn check magic failed or length is zero"});
}

TEST_F(PayloadTest, OneBlockSetsEveryKnownKey) {
  GlobalConfig c = Load(Block(R"({"buildid":18446744073709551615,"supplyid":-1,"international":true,
      "pkgName":"com.game","area":"eu","silentMode":1.9,"marketExternParams":"-x","sourceid":"s1",
      "bkgPngNumber":false,"createMarketIcon":true,"installMarket":false,"installUI":true,
      "installRootfs":true,"installVDI":true,"installVDI71":true,"installHarrow":true,
      "gameName":"\u6e38\u620f","title":"T\u00e9","unknown":[1,2]})"));
  EXPECT_EQ(c.buildid, 18446744073709551615ull);
  EXPECT_EQ(c.supplyid, 4294967295u);  // negative values wrap
  EXPECT_EQ(c.international, 1);
  EXPECT_EQ(c.pkgName, "com.game");
  EXPECT_EQ(c.area, "eu");
  EXPECT_EQ(c.silentMode, 1);  // truncated toward zero
  EXPECT_EQ(c.marketExternParams, "-x");
  EXPECT_EQ(c.sourceid, "s1");
  EXPECT_EQ(c.bkgPngNumber, 0);
  EXPECT_TRUE(c.createMarketIcon && !c.installMarket && c.installUI && c.installRootfs &&
              c.installVDI && c.installVDI71 && c.installHarrow);
  EXPECT_EQ(c.gameName, L"\u6e38\u620f");
  EXPECT_EQ(c.title, L"T\u00e9");
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(Head(log[0]), "Info find the inject data:");
  EXPECT_EQ(log[1], "Warn check magic failed or length is zero");
}

TEST_F(PayloadTest, StackedBlocksApplyInFileOrderSoTheLastWins) {
  GlobalConfig c = Load(Block(R"({"supplyid":1,"pkgName":"first"})") + Block(R"({"supplyid":2})"));
  EXPECT_EQ(c.supplyid, 2u);
  EXPECT_EQ(c.pkgName, "first");
  auto log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], "Warn check magic failed or length is zero");
}

TEST_F(PayloadTest, ValueConversions) {
  struct Case {
    const char* json;
    int silentMode;
  } cases[] = {{R"({"silentMode":1.9})", 1}, {R"({"silentMode":true})", 1},
               {R"({"silentMode":-2.7})", -2}, {R"({"silentMode":7})", 7}};
  for (const auto& c : cases) {
    WriteHostFile(prefix_.Host(L"C:\\setup.exe"), kBody + Block(c.json));
    GlobalConfig config = GlobalConfig::MakeDefaultsForTesting();
    bool known = false;
    config::ApplyExternDocuments(config::ReadExternDocuments(L"C:\\setup.exe", &known), config);
    EXPECT_EQ(config.silentMode, c.silentMode) << c.json;
  }
}

TEST_F(PayloadTest, UpperCaseDigestIsAccepted) {
  std::string block = Block(R"({"supplyid":5})");
  for (std::size_t i = block.size() - 34; i < block.size() - 2; ++i) {
    block[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(block[i])));
  }
  EXPECT_EQ(Load(block).supplyid, 5u);
}

TEST_F(PayloadTest, ChangedByteIgnoresThatBlockAndAllBeforeIt) {
  std::string damaged = Block(R"({"supplyid":6})");
  damaged[3] = '7';
  const std::string digest = damaged.substr(damaged.size() - 34, 32);
  GlobalConfig c = Load(Block(R"({"pkgName":"before"})") + damaged + Block(R"({"area":"after"})"));
  EXPECT_EQ(c.supplyid, 0u);
  EXPECT_EQ(c.pkgName, "");
  EXPECT_EQ(c.area, "after");
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1], "Error extern data md5 is not equal to header md5. header md5: " + digest +
                        " data md5: " + platform::HexMd5(damaged.data(), damaged.size() - 40));
}

TEST_F(PayloadTest, TypeErrorStopsApplyingButKeepsWhatWasSet) {
  GlobalConfig c = Load(Block(R"({"pkgName":"kept"})") + Block(R"({"buildid":true,"supplyid":9})"));
  EXPECT_EQ(c.pkgName, "kept");
  EXPECT_EQ(c.buildid, 0u);
  EXPECT_EQ(c.supplyid, 0u);
  auto log = Log();
  EXPECT_EQ(log.back(), "Error init params from json failed. exception: "
                        "[json.exception.type_error.302] type must be number, but is boolean");
}

TEST_F(PayloadTest, TypeErrorMessagesNameTheType) {
  struct Case {
    const char* json;
    const char* message;
  } cases[] = {{R"({"pkgName":5})", "type must be string, but is number"},
               {R"({"installUI":"yes"})", "type must be boolean, but is string"},
               {R"({"supplyid":null})", "type must be number, but is null"},
               {R"({"title":[]})", "type must be string, but is array"}};
  for (const auto& c : cases) {
    WriteHostFile(prefix_.Host(L"C:\\setup.exe"), kBody + Block(c.json));
    GlobalConfig config = GlobalConfig::MakeDefaultsForTesting();
    bool known = false;
    config::ApplyExternDocuments(config::ReadExternDocuments(L"C:\\setup.exe", &known), config);
  }
  auto log = Log();
  std::size_t found = 0;
  for (const auto& c : cases) {
    for (const auto& line : log) {
      if (line == std::string("Error init params from json failed. exception: [json.exception.type_error.302] ") + c.message) ++found;
    }
  }
  EXPECT_EQ(found, std::size(cases));
}

TEST_F(PayloadTest, ANumberNoFieldCanHoldIsAnErrorNotAGuess) {
  GlobalConfig c = Load(Block(R"({"silentMode":1e300,"bkgPngNumber":4})"));
  EXPECT_EQ(c.silentMode, 0);
  EXPECT_EQ(c.bkgPngNumber, 0);
  EXPECT_EQ(Log().back(), "Error init params from json failed. exception: number out of range for \"silentMode\"");
}

TEST_F(PayloadTest, ArrayDocumentAppliesNothingSilently) {
  GlobalConfig c = Load(Block(R"([{"supplyid":3}])"));
  EXPECT_EQ(c.supplyid, 0u);
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(Head(log[0]), "Info find the inject data:");
}

TEST_F(PayloadTest, TextAfterTheFirstNulIsIgnored) {
  // The digest covers the NUL and the garbage after it; the parser never sees them.
  const std::string data = std::string(R"({"supplyid":8})") + '\0' + "garbage, not JSON";
  EXPECT_EQ(Load(config::BuildExternBlock(data)).supplyid, 8u);
}

TEST_F(PayloadTest, SyntaxErrorEndsTheSearchButKeepsLaterBlocks) {
  GlobalConfig c = Load(Block(R"({"pkgName":"before"})") + Block("{not json") + Block(R"({"supplyid":4})"));
  EXPECT_EQ(c.supplyid, 4u);
  EXPECT_EQ(c.pkgName, "");
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(Head(log[1]), "Info parse the inject data:");
  EXPECT_NE(log[1].find(" failed. exception: [json.exception.parse_error.101]"), std::string::npos) << log[1];
}

TEST_F(PayloadTest, HeaderClaimingMoreThanTheFileEndsTheSearch) {
  std::string block = Block(R"({"supplyid":4})");
  for (std::uint32_t length : {0xFFFFFFFFu, static_cast<std::uint32_t>(sizeof kBody + 100)}) {
    std::string forged = block;
    for (int i = 0; i < 4; ++i) forged[forged.size() - 38 + i] = static_cast<char>(length >> (8 * i));
    EXPECT_EQ(Load(forged).supplyid, 0u);
  }
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "Warn read extern data failed. error code: 131");
}

TEST_F(PayloadTest, FileShorterThanAHeader) {
  WriteHostFile(prefix_.Host(L"C:\\tiny.exe"), "MZ");
  bool known = false;
  EXPECT_TRUE(config::ReadExternDocuments(L"C:\\tiny.exe", &known).empty());
  EXPECT_TRUE(known);
  EXPECT_EQ(Log(), std::vector<std::string>{"Error read extern data header failed. error code: 131"});
}

TEST_F(PayloadTest, MissingFileReportsTheSizeFailureOnly) {
  bool known = true;
  EXPECT_TRUE(config::ReadExternDocuments(L"C:\\missing.exe", &known).empty());
  EXPECT_FALSE(known);
  EXPECT_EQ(Log(), std::vector<std::string>{"Error get file size failed. error code: 2"});
}

}  // namespace

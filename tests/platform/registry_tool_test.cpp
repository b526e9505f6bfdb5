// orvo-reg end to end, as a child process over the test's prefix.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry_key.h"
#include "platform/text.h"
#include "tests/platform/registry_child.h"
#include "tests/support/test_prefix.h"

using namespace platform;

namespace {

using RegistryToolTest = orvo::test::PrefixTest;

orvo::test::ChildResult Reg(const std::vector<std::string>& args) { return orvo::test::RunChild(ORVO_REG_EXE, args); }

const char kProduct[] = "HKLM\\Software\\Vormak\\Plexmoor";

TEST_F(RegistryToolTest, AddThenQuerySeenByOtherProcesses) {
  auto add = Reg({"add", kProduct, "/v", "SupplyId", "/t", "REG_DWORD", "/d", "0x3e8"});
  ASSERT_EQ(0, add.exitCode) << add.err;
  EXPECT_EQ("The operation completed successfully.\n", add.out);
  ASSERT_EQ(0, Reg({"add", "HKEY_CURRENT_USER\\Software\\Vormak\\Plexmoor", "/v", "UserLanguage", "/d", "vi"}).exitCode);

  auto query = Reg({"query", "hklm\\software\\vormak\\plexmoor", "/v", "SupplyId"});
  EXPECT_EQ(0, query.exitCode) << query.err;
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\software\\vormak\\plexmoor\n    SupplyId    REG_DWORD    0x3e8\n\n", query.out);

  RegistryKey machine;
  ASSERT_EQ(0, machine.Open(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor", KEY_READ));
  DWORD supplyId = 0;
  EXPECT_EQ(0, machine.ReadDword(L"SupplyId", &supplyId));
  EXPECT_EQ(1000u, supplyId);
  RegistryKey user;
  ASSERT_EQ(0, user.Open(HKEY_CURRENT_USER, L"Software\\Vormak\\Plexmoor", KEY_READ));
  EXPECT_EQ(L"vi", user.ReadStringOrThrow(L"UserLanguage"));

  // An existing value is kept unless /f is given.
  auto again = Reg({"add", kProduct, "/v", "SupplyId", "/t", "REG_DWORD", "/d", "5"});
  EXPECT_EQ(1, again.exitCode);
  EXPECT_NE(std::string::npos, again.err.find("add /f to overwrite"));
  EXPECT_EQ(0, machine.ReadDword(L"SupplyId", &supplyId));
  EXPECT_EQ(1000u, supplyId);
  EXPECT_EQ(0, Reg({"add", kProduct, "/v", "SupplyId", "/t", "REG_DWORD", "/d", "5", "/f"}).exitCode);
  EXPECT_EQ(0, machine.ReadDword(L"SupplyId", &supplyId));
  EXPECT_EQ(5u, supplyId);
}

TEST_F(RegistryToolTest, BadInputFailsClearlyAndChangesNothing) {
  ASSERT_EQ(0, Reg({"add", kProduct, "/v", "SupplyId", "/t", "REG_DWORD", "/d", "1"}).exitCode);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{"query", "HKXX\\Software"}, "Invalid key name"},
      {{"query", "HKLM\\Software\\Missing"}, "unable to find the specified registry key or value"},
      {{"query", kProduct, "/v", "Nope"}, "unable to find the specified registry key or value"},
      {{"add", "HKLM\\Software\\New", "/v", "x", "/t", "REG_FOO", "/d", "1"}, "Unsupported type REG_FOO"},
      {{"add", "HKLM\\Software\\New", "/v", "x", "/t", "REG_DWORD", "/d", "12abc"}, "Invalid DWORD data"},
      {{"add", "HKLM\\Software\\New", "/v", "x", "/t", "REG_DWORD", "/d", "4294967296"}, "Invalid DWORD data"},
      {{"delete", "HKLM\\Software\\Missing", "/f"}, "unable to find"},
      {{"delete", kProduct, "/v", "Nope", "/f"}, "unable to find"},
      {{"export", "HKCU\\Software\\Missing"}, "unable to find"},
      {{"frobnicate", kProduct}, "Unknown operation"},
      {{"query", kProduct, "/t", "REG_SZ"}, "Invalid option"},
  };
  for (const Case& c : cases) {
    auto result = Reg(c.args);
    EXPECT_EQ(1, result.exitCode) << c.args[0] << " " << c.args[1];
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
    EXPECT_EQ("", result.out) << c.args[0] << " " << c.args[1];
  }
  RegistryKey probe;
  EXPECT_EQ(static_cast<LONG>(win::kErrorFileNotFound), probe.Open(HKEY_LOCAL_MACHINE, L"Software\\New", KEY_READ));
}

TEST_F(RegistryToolTest, ExportWritesTheTreeInRegSyntax) {
  ASSERT_EQ(0, Reg({"add", kProduct, "/v", "SupplyId", "/t", "REG_DWORD", "/d", "1000"}).exitCode);
  ASSERT_EQ(0, Reg({"add", kProduct, "/v", "TempPath", "/d", "D:\\Temp\\NimbaraDownload\\Component\\"}).exitCode);
  ASSERT_EQ(0, Reg({"add", kProduct, "/v", "Quote", "/d", "say \"hi\""}).exitCode);
  RegistryKey key;
  ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor", KEY_READ | KEY_WRITE));
  const std::string unterminated = WideToUtf16Le(L"ab");
  ASSERT_EQ(0, RegSetValueEx(key.key(), L"Broken", REG_SZ, reinterpret_cast<const BYTE*>(unterminated.data()),
                             static_cast<DWORD>(unterminated.size())));
  ASSERT_EQ(0, Reg({"add", kProduct, "/v", "Expand", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%"}).exitCode);
  ASSERT_EQ(0, Reg({"add", std::string(kProduct) + "\\Kelvar", "/ve", "/d", "default text"}).exitCode);

  auto exported = Reg({"export", "HKLM\\Software\\Vormak"});
  ASSERT_EQ(0, exported.exitCode) << exported.err;
  EXPECT_EQ(orvo::test::ReadHostFile(ORVO_SOURCE_DIR "/tests/data/registry/export_product_key.reg"), exported.out);
}

TEST_F(RegistryToolTest, DeleteAsksForForceAndRemovesTheTree) {
  ASSERT_EQ(0, Reg({"add", std::string(kProduct) + "\\Kelvar\\Engine", "/v", "InstallPath", "/d", "C:\\x"}).exitCode);
  ASSERT_EQ(0, Reg({"add", kProduct, "/v", "SupplyId", "/t", "REG_DWORD", "/d", "1"}).exitCode);

  auto refused = Reg({"delete", "HKLM\\Software\\Vormak"});  // stdin is not a terminal
  EXPECT_EQ(1, refused.exitCode);
  EXPECT_NE(std::string::npos, refused.err.find("/f"));
  EXPECT_EQ(0, Reg({"query", std::string(kProduct) + "\\Kelvar\\Engine"}).exitCode);

  EXPECT_EQ(0, Reg({"delete", kProduct, "/v", "SupplyId", "/f"}).exitCode);
  EXPECT_EQ(1, Reg({"query", kProduct, "/v", "SupplyId"}).exitCode);
  auto removed = Reg({"delete", "HKLM\\Software\\Vormak", "/f"});
  EXPECT_EQ(0, removed.exitCode) << removed.err;
  EXPECT_EQ(1, Reg({"query", "HKLM\\Software\\Vormak"}).exitCode);
  EXPECT_EQ(0, Reg({"query", "HKLM\\Software"}).exitCode);
}

}  // namespace

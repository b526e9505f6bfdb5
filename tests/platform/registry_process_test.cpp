// The store shared by real processes: killed writers, concurrent writers, restarts.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/registry_key.h"
#include "platform/text.h"
#include "tests/platform/registry_child.h"
#include "tests/platform/registry_writer.h"
#include "tests/support/test_prefix.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

LONG S(DWORD code) { return static_cast<LONG>(code); }

using RegistryProcessTest = orvo::test::PrefixTest;

TEST_F(RegistryProcessTest, WriterKilledMidBurstLosesNoCompletedWriteAndLeavesNoPartialKey) {
  std::set<long> completed;
  for (long round = 0; round < 6; ++round) {
    auto child = orvo::test::ChildProcess::Start(
        ORVO_REGISTRY_WRITER, {"burst", std::to_string(round * 100000), "100000"});
    ASSERT_TRUE(child.started());
    // Kill right after a report: the next create is then usually under way.
    const int reports = 20 + 25 * static_cast<int>(round);
    for (int n = 0; n < reports; ++n) {
      auto line = child.ReadLine(60s);
      ASSERT_TRUE(line.has_value()) << "writer stopped after " << n << " writes in round " << round;
      completed.insert(std::stol(*line));
    }
    child.Kill();
    while (auto line = child.ReadLine(5s)) completed.insert(std::stol(*line));
  }

  for (long i : completed) {
    RegistryKey leaf;
    ASSERT_EQ(0, leaf.Open(HKEY_LOCAL_MACHINE, orvo::test::BurstLeafPath(i).c_str(), KEY_READ)) << i;
    EXPECT_EQ(orvo::test::BurstData(i), leaf.ReadStringOrThrow(L"Data")) << i;
  }
  // Whatever was in flight is either all there or not there at all.
  RegistryKey burst;
  ASSERT_EQ(0, burst.Open(HKEY_LOCAL_MACHINE, L"Software\\Burst", KEY_READ));
  std::size_t keys = 0;
  for (DWORD index = 0;; ++index, ++keys) {
    wchar_t name[256];
    DWORD length = 256;
    LONG status = burst.EnumSubKey(index, name, &length);
    if (status == S(win::kErrorNoMoreItems)) break;
    ASSERT_EQ(0, status);
    const std::wstring leafPath = L"Software\\Burst\\" + std::wstring(name, length) + L"\\a\\b\\c";
    RegistryKey leaf;
    ASSERT_EQ(0, leaf.Open(HKEY_LOCAL_MACHINE, leafPath.c_str(), KEY_READ)) << WideToUtf8(leafPath);
    const long i = std::stol(WideToUtf8(std::wstring(name + 1, length - 1)));
    DWORD size = 0;
    if (RegQueryValueEx(leaf.key(), L"Data", nullptr, nullptr, &size) == 0) {
      EXPECT_EQ(orvo::test::BurstData(i), leaf.ReadStringOrThrow(L"Data"));
    }
  }
  EXPECT_GE(keys, completed.size());
  EXPECT_LE(keys, completed.size() + 6);  // at most one write in flight per round

  const auto check = orvo::test::RunChild(
      "sqlite3", {(prefix_.root() / "registry" / "machine.db").string(), "PRAGMA integrity_check;"});
  if (check.exitCode == 0) {
    EXPECT_EQ("ok\n", check.out);
  }
}

TEST_F(RegistryProcessTest, TwoProcessesWritingAThousandValuesEachLoseNone) {
  auto first = orvo::test::ChildProcess::Start(ORVO_REGISTRY_WRITER, {"values", "A", "1000"});
  auto second = orvo::test::ChildProcess::Start(ORVO_REGISTRY_WRITER, {"values", "B", "1000"});
  ASSERT_TRUE(first.started());
  ASSERT_TRUE(second.started());
  EXPECT_EQ(0, first.Wait(240s));
  EXPECT_EQ(0, second.Wait(240s));

  RegistryKey key;
  ASSERT_EQ(0, key.Open(HKEY_CURRENT_USER, L"Software\\Concurrent", KEY_READ));
  for (const wchar_t* tag : {L"A", L"B"}) {
    for (DWORD i = 0; i < 1000; ++i) {
      const std::wstring name = std::wstring(tag) + L"-" + std::to_wstring(i);
      DWORD value = ~0u;
      ASSERT_EQ(0, key.ReadDword(name.c_str(), &value)) << WideToUtf8(name);
      EXPECT_EQ(i, value);
    }
  }
  wchar_t name[32];
  DWORD length = 32;
  DWORD size = 0;
  EXPECT_EQ(0, RegEnumValue(key.key(), 1999, name, &length, nullptr, nullptr, &size));
  length = 32;
  EXPECT_EQ(S(win::kErrorNoMoreItems), RegEnumValue(key.key(), 2000, name, &length, nullptr, nullptr, &size));
}

TEST_F(RegistryProcessTest, VolatileKeysVanishAtTheNextBootOnly) {
  // Made first: missing levels take the options of the key being created.
  RegistryKey stable;
  ASSERT_EQ(0, stable.Create(HKEY_LOCAL_MACHINE, L"Software\\Stable"));
  ASSERT_EQ(0, stable.WriteDword(L"Kept", 1));
  HKEY vol = nullptr;
  ASSERT_EQ(0, RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Vormak", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &vol,
                              nullptr));
  HKEY volChild = nullptr;
  ASSERT_EQ(0, RegCreateKeyEx(vol, L"Plexmoor", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &volChild, nullptr));

  // Same boot: another process still sees the volatile keys.
  auto sameBoot = orvo::test::RunChild(ORVO_REG_EXE, {"query", "HKLM\\Software\\Vormak\\Plexmoor"});
  EXPECT_EQ(0, sameBoot.exitCode) << sameBoot.err;

  auto restarted = orvo::test::RunChild(ORVO_REG_EXE, {"query", "HKLM\\Software\\Vormak"}, {"ORVO_BOOT_ID=next-boot"});
  EXPECT_EQ(1, restarted.exitCode);
  auto kept = orvo::test::RunChild(ORVO_REG_EXE, {"query", "HKLM\\Software\\Stable", "/v", "Kept"},
                                   {"ORVO_BOOT_ID=next-boot"});
  EXPECT_EQ(0, kept.exitCode) << kept.err;
  DWORD size = 0;
  EXPECT_EQ(S(win::kErrorKeyDeleted), RegQueryValueEx(volChild, L"x", nullptr, nullptr, &size));
  RegCloseKey(volChild);
  RegCloseKey(vol);

  // A volatile key made during the new boot survives further opens in that boot.
  HKEY again = nullptr;
  ASSERT_EQ(0, RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Vormak", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &again,
                              nullptr));
  RegCloseKey(again);
  auto stillThere = orvo::test::RunChild(ORVO_REG_EXE, {"query", "HKLM\\Software\\Vormak"}, {"ORVO_BOOT_ID=next-boot"});
  EXPECT_EQ(0, stillThere.exitCode) << stillThere.err;
}

}  // namespace

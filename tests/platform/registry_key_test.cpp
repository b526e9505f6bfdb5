// RegistryKey over the real store of a fresh prefix.
#include "platform/registry_key.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text.h"
#include "tests/support/test_prefix.h"

using namespace platform;

namespace {

constexpr const wchar_t* kProduct = L"Software\\Vormak\\Plexmoor";

LONG S(DWORD code) { return static_cast<LONG>(code); }

class RegistryKeyTest : public orvo::test::PrefixTest {
 protected:
  void SetUp() override { ASSERT_EQ(0, key_.Create(HKEY_LOCAL_MACHINE, kProduct)); }

  // Stores bytes as any program could, including malformed strings.
  void SetRaw(const wchar_t* name, DWORD type, const std::string& bytes) {
    ASSERT_EQ(0, RegSetValueEx(key_.key(), name, type, reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size())));
  }

  std::string Raw(const wchar_t* name, DWORD* type = nullptr) {
    BYTE data[2048];
    DWORD size = sizeof(data);
    DWORD stored = 0;
    EXPECT_EQ(0, RegQueryValueEx(key_.key(), name, &stored, data, &size));
    if (type != nullptr) *type = stored;
    return std::string(reinterpret_cast<char*>(data), size);
  }

  bool Exists(const std::wstring& path) {
    RegistryKey probe;
    return probe.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) == 0;
  }

  std::vector<std::wstring> Subkeys(RegistryKey& key) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD length = 256;
      LONG status = key.EnumSubKey(i, name, &length);
      if (status != 0) {
        EXPECT_EQ(S(win::kErrorNoMoreItems), status);
        return names;
      }
      names.emplace_back(name, length);
    }
  }

  RegistryKey key_;
};

std::string Utf16(const std::wstring& text) { return WideToUtf16Le(text); }
std::string Sz(const std::wstring& text) { return Utf16(text) + std::string(2, '\0'); }

TEST_F(RegistryKeyTest, ReadStringChecksTypeTerminatorAndSize) {
  struct Case {
    const wchar_t* name;
    DWORD type;
    std::string bytes;
    LONG status;
    DWORD length;
    std::wstring text;
  };
  const std::vector<Case> cases = {
      {L"Terminated", REG_SZ, Sz(L"D:\\Nimbara"), 0, 11, L"D:\\Nimbara"},
      {L"Expandable", REG_EXPAND_SZ, Sz(L"%ProgramFiles%\\x"), 0, 17, L"%ProgramFiles%\\x"},
      {L"Dword", REG_DWORD, std::string("\x01\0\0\0", 4), S(win::kErrorInvalidData), 0, L""},
      {L"Unterminated", REG_SZ, Utf16(L"abc"), S(win::kErrorInvalidData), 0, L""},
      {L"OddBytes", REG_SZ, Sz(L"abc") + "x", S(win::kErrorInvalidData), 0, L""},
      {L"Empty", REG_SZ, "", 0, 0, L""},
      {L"TooLong", REG_SZ, Sz(std::wstring(300, L'a')), S(win::kErrorMoreData), 0, L""},
      {L"Binary", REG_BINARY, Sz(L"abc"), S(win::kErrorInvalidData), 0, L""},
  };
  for (const Case& c : cases) SetRaw(c.name, c.type, c.bytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << WideToUtf8(c.name));
    wchar_t buffer[260];
    std::fill(std::begin(buffer), std::end(buffer), L'?');
    DWORD length = 260;
    EXPECT_EQ(c.status, key_.ReadString(c.name, buffer, &length));
    EXPECT_EQ(c.length, length);
    if (c.status == 0) {
      EXPECT_EQ(c.text, std::wstring(buffer));
    }
  }
  DWORD length = 260;
  wchar_t buffer[260];
  EXPECT_EQ(S(win::kErrorFileNotFound), key_.ReadString(L"Missing", buffer, &length));
  EXPECT_EQ(0u, length);
}

TEST_F(RegistryKeyTest, ReadStringKeepsCharactersOutsideTheBasicPlane) {
  const std::wstring text = L"Emoji \U0001F600 and a lone \xD800 unit";
  ASSERT_EQ(0, key_.WriteString(L"Text", text.c_str()));
  wchar_t buffer[260];
  DWORD length = 260;
  ASSERT_EQ(0, key_.ReadString(L"Text", buffer, &length));
  EXPECT_EQ(text, std::wstring(buffer));
  EXPECT_EQ(text.size() + 1, length);
  EXPECT_EQ(text, key_.ReadStringOrThrow(L"Text"));
}

TEST_F(RegistryKeyTest, WriteStringStoresTheTerminatorAndRefusesNull) {
  ASSERT_EQ(0, key_.WriteString(L"InstallPath", L"C:\\Program Files\\Nimbara\\"));
  DWORD type = 0;
  EXPECT_EQ(Sz(L"C:\\Program Files\\Nimbara\\"), Raw(L"InstallPath", &type));
  EXPECT_EQ(REG_SZ, type);

  EXPECT_EQ(S(win::kErrorInvalidData), key_.WriteString(L"Null", nullptr));
  DWORD size = 0;
  EXPECT_EQ(S(win::kErrorFileNotFound), RegQueryValueEx(key_.key(), L"Null", nullptr, nullptr, &size));
}

TEST_F(RegistryKeyTest, ReadStringOrThrowReportsTheFailingCall) {
  SetRaw(L"Dword", REG_DWORD, std::string("\x05\0\0\0", 4));
  SetRaw(L"Unterminated", REG_SZ, Utf16(L"abc"));
  SetRaw(L"Expandable", REG_EXPAND_SZ, Sz(L"%TEMP%\\x"));

  struct Failure {
    const wchar_t* name;
    LONG code;
  };
  for (const Failure& f : {Failure{L"Missing", S(win::kErrorFileNotFound)},
                           Failure{L"Dword", S(win::kErrorUnsupportedType)},
                           Failure{L"Expandable", S(win::kErrorUnsupportedType)}}) {
    try {
      key_.ReadStringOrThrow(f.name);
      ADD_FAILURE() << "no exception for " << WideToUtf8(f.name);
    } catch (const winreg::RegException& e) {
      EXPECT_STREQ("Cannot get size of string value: RegGetValue failed.", e.what());
      EXPECT_EQ(f.code, e.code());
    }
  }
  // RegGetValue terminates strings, as on Windows.
  EXPECT_EQ(L"abc", key_.ReadStringOrThrow(L"Unterminated"));
  ASSERT_EQ(0, key_.WriteString(L"Empty", L""));
  EXPECT_EQ(L"", key_.ReadStringOrThrow(L"Empty"));
}

TEST_F(RegistryKeyTest, ReadDwordSucceedsOnlyForAFourByteDword) {
  ASSERT_EQ(0, key_.WriteDword(L"SupplyId", 1000));
  ASSERT_EQ(0, key_.WriteString(L"Text", L"1"));
  SetRaw(L"Short", REG_DWORD, std::string("\x01\x02", 2));
  DWORD value = 7;
  EXPECT_EQ(0, key_.ReadDword(L"SupplyId", &value));
  EXPECT_EQ(1000u, value);
  value = 7;
  EXPECT_NE(0, key_.ReadDword(L"Text", &value));
  EXPECT_NE(0, key_.ReadDword(L"Short", &value));
  EXPECT_EQ(S(win::kErrorFileNotFound), key_.ReadDword(L"Missing", &value));
  EXPECT_EQ(7u, value);
}

TEST_F(RegistryKeyTest, CreateReportsDispositionAndLeavesTheObjectAloneOnFailure) {
  DWORD disposition = 0;
  RegistryKey component;
  ASSERT_EQ(0, component.Create(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Kelvar\\Engine", &disposition));
  EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
  EXPECT_EQ(0u, component.view());
  ASSERT_EQ(0, component.Create(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Kelvar\\Engine", &disposition));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
  EXPECT_TRUE(Exists(L"Software\\Vormak\\Plexmoor\\Kelvar"));

  disposition = 99;
  EXPECT_EQ(S(win::kErrorBadPathname), component.Create(HKEY_LOCAL_MACHINE, L"\\Software\\X", &disposition));
  EXPECT_EQ(99u, disposition);
  EXPECT_EQ(0, component.WriteString(L"InstallPath", L"C:\\x"));  // still the Engine key
  RegistryKey engine;
  ASSERT_EQ(0, engine.Open(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Kelvar\\Engine", KEY_READ));
  EXPECT_EQ(L"C:\\x", engine.ReadStringOrThrow(L"InstallPath"));
}

TEST_F(RegistryKeyTest, OpenKeepsTheViewBitsAndLeavesTheObjectAloneOnFailure) {
  RegistryKey key;
  ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, kProduct, KEY_READ | KEY_WRITE | KEY_WOW64_32KEY));
  EXPECT_EQ(KEY_WOW64_32KEY, key.view());
  EXPECT_EQ(S(win::kErrorFileNotFound), key.Open(HKEY_LOCAL_MACHINE, L"Software\\Missing", KEY_READ));
  EXPECT_EQ(KEY_WOW64_32KEY, key.view());
  EXPECT_EQ(0, key.WriteDword(L"StillOpen", 1));
  EXPECT_EQ(0, key.Close());
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(0, key.Close());
}

TEST_F(RegistryKeyTest, DeleteChildTreeRemovesThreeLevelsAndNothingElse) {
  for (const wchar_t* path : {L"Software\\Vormak\\Plexmoor\\Tree\\A\\A1\\A1x",
                              L"Software\\Vormak\\Plexmoor\\Tree\\A\\A2", L"Software\\Vormak\\Plexmoor\\Tree\\B",
                              L"Software\\Vormak\\Plexmoor\\Sibling"}) {
    RegistryKey k;
    ASSERT_EQ(0, k.Create(HKEY_LOCAL_MACHINE, path));
    ASSERT_EQ(0, k.WriteString(L"Value", path));
  }
  EXPECT_EQ(0, key_.DeleteChildTree(L"Tree"));
  EXPECT_FALSE(Exists(L"Software\\Vormak\\Plexmoor\\Tree"));
  EXPECT_EQ(std::vector<std::wstring>{L"Sibling"}, Subkeys(key_));

  EXPECT_EQ(S(win::kErrorFileNotFound), key_.DeleteChildTree(L"Tree"));
  EXPECT_EQ(std::vector<std::wstring>{L"Sibling"}, Subkeys(key_));
  RegistryKey sibling;
  ASSERT_EQ(0, sibling.Open(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Sibling", KEY_READ));
  EXPECT_EQ(L"Software\\Vormak\\Plexmoor\\Sibling", sibling.ReadStringOrThrow(L"Value"));
}

TEST_F(RegistryKeyTest, DeleteChildRefusesAKeyWithSubkeys) {
  RegistryKey k;
  ASSERT_EQ(0, k.Create(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Parent\\Child"));
  k.Close();
  EXPECT_EQ(S(win::kErrorAccessDenied), key_.DeleteChild(L"Parent"));
  EXPECT_TRUE(Exists(L"Software\\Vormak\\Plexmoor\\Parent\\Child"));
  RegistryKey parent;
  ASSERT_EQ(0, parent.Open(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Parent", KEY_READ | KEY_WRITE));
  EXPECT_EQ(0, parent.DeleteChild(L"Child"));
  EXPECT_EQ(0, key_.DeleteChild(L"Parent"));
  EXPECT_FALSE(Exists(L"Software\\Vormak\\Plexmoor\\Parent"));
}

TEST_F(RegistryKeyTest, StableKeyUnderAVolatileParentFailsWith1021) {
  HKEY vol = nullptr;
  ASSERT_EQ(0, RegCreateKeyEx(key_.key(), L"Volatile", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &vol, nullptr));
  RegCloseKey(vol);
  RegistryKey child;
  DWORD disposition = 99;
  EXPECT_EQ(S(win::kErrorChildMustBeVolatile),
            child.Create(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Volatile\\Stable\\Deeper", &disposition));
  EXPECT_EQ(99u, disposition);
  EXPECT_FALSE(child.IsOpen());
  EXPECT_FALSE(Exists(L"Software\\Vormak\\Plexmoor\\Volatile\\Stable"));
  // Opening the volatile key itself is fine.
  EXPECT_EQ(0, child.Create(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Volatile", &disposition));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
  try {
    child.CreateOrThrow(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Volatile\\Stable");
    ADD_FAILURE() << "no exception";
  } catch (const winreg::RegException& e) {
    EXPECT_STREQ("RegCreateKeyEx failed.", e.what());
    EXPECT_EQ(S(win::kErrorChildMustBeVolatile), e.code());
  }
  EXPECT_TRUE(child.IsOpen());
}

TEST_F(RegistryKeyTest, NamesIgnoreCaseAndKeepTheirSpelling) {
  RegistryKey upper;
  ASSERT_EQ(0, upper.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\vormak\\PLEXMOOR", KEY_READ | KEY_WRITE));
  ASSERT_EQ(0, key_.WriteString(L"InstallPath", L"first"));
  ASSERT_EQ(0, upper.WriteString(L"INSTALLPATH", L"second"));
  EXPECT_EQ(L"second", key_.ReadStringOrThrow(L"installpath"));

  wchar_t name[64];
  DWORD nameLength = 64;
  DWORD size = 0;
  ASSERT_EQ(0, RegEnumValue(key_.key(), 0, name, &nameLength, nullptr, nullptr, &size));
  EXPECT_EQ(L"InstallPath", std::wstring(name, nameLength));
  EXPECT_EQ(S(win::kErrorNoMoreItems), RegEnumValue(key_.key(), 1, name, &nameLength, nullptr, nullptr, &size));

  RegistryKey vormak;
  DWORD disposition = 0;
  ASSERT_EQ(0, vormak.Create(HKEY_LOCAL_MACHINE, L"software\\VORMAK", &disposition));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
  EXPECT_EQ(std::vector<std::wstring>{L"Plexmoor"}, Subkeys(vormak));
}

TEST_F(RegistryKeyTest, EnumSubKeyRunsToNoMoreItems) {
  for (const wchar_t* name : {L"charlie", L"Alpha", L"bravo", L"_under"}) {
    RegistryKey k;
    ASSERT_EQ(0, k.Create(key_.key(), name));
  }
  // Upper-cased order, as Windows keeps subkeys: A < B < C < _ .
  EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"bravo", L"charlie", L"_under"}), Subkeys(key_));
  wchar_t small[4];
  DWORD length = 4;
  EXPECT_EQ(S(win::kErrorMoreData), key_.EnumSubKey(0, small, &length));
  length = 256;
  wchar_t name[256];
  EXPECT_EQ(S(win::kErrorNoMoreItems), key_.EnumSubKey(4, name, &length));
}

TEST_F(RegistryKeyTest, AKeyDeletedUnderAnOpenObjectFailsWithKeyDeleted) {
  RegistryKey victim;
  ASSERT_EQ(0, victim.Create(HKEY_LOCAL_MACHINE, L"Software\\Vormak\\Plexmoor\\Victim"));
  ASSERT_EQ(0, key_.DeleteChild(L"Victim"));
  const LONG deleted = S(win::kErrorKeyDeleted);
  EXPECT_EQ(deleted, victim.WriteDword(L"x", 1));
  DWORD value = 0;
  EXPECT_EQ(deleted, victim.ReadDword(L"x", &value));
  try {
    victim.WriteStringOrThrow(L"x", L"y");
    ADD_FAILURE() << "no exception";
  } catch (const winreg::RegException& e) {
    EXPECT_STREQ("Cannot write string value: RegSetValueEx failed.", e.what());
    EXPECT_EQ(deleted, e.code());
  }
  EXPECT_EQ(0, victim.Close());
  EXPECT_FALSE(Exists(L"Software\\Vormak\\Plexmoor\\Victim"));
}

TEST_F(RegistryKeyTest, ThrowingOperationsRoundTripTheTemporaryFolder) {
  RegistryKey user;
  user.CreateOrThrow(HKEY_CURRENT_USER, kProduct);
  user.WriteStringOrThrow(L"TempPath", L"D:\\Temp\\NimbaraDownload\\Component\\");
  EXPECT_EQ(L"D:\\Temp\\NimbaraDownload\\Component\\", user.ReadStringOrThrow(L"TempPath"));
  // The two roots are separate stores.
  DWORD size = 0;
  EXPECT_EQ(S(win::kErrorFileNotFound), RegQueryValueEx(key_.key(), L"TempPath", nullptr, nullptr, &size));
}

}  // namespace

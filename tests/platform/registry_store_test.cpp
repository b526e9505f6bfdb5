// The registry service functions over the real store: statuses and limits as on Windows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "tests/support/test_prefix.h"

using namespace platform;

namespace {

LONG S(DWORD code) { return static_cast<LONG>(code); }

std::string Sz(const std::wstring& text) { return WideToUtf16Le(text) + std::string(2, '\0'); }

// A handle closed at the end of the scope.
struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h != nullptr) RegCloseKey(h);
  }
};

class RegistryStoreTest : public orvo::test::PrefixTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Test", 0, KEY_ALL_ACCESS, &key_.h, nullptr));
  }
  LONG Set(HKEY key, const wchar_t* name, DWORD type, const std::string& bytes) {
    return RegSetValueEx(key, name, type, reinterpret_cast<const BYTE*>(bytes.data()),
                         static_cast<DWORD>(bytes.size()));
  }
  Key key_;
};

TEST_F(RegistryStoreTest, NameLimitsAndPathForms) {
  Key k;
  const std::wstring longest(256, L'k');
  EXPECT_EQ(0, RegCreateKeyEx(key_.h, longest.c_str(), 0, KEY_ALL_ACCESS, &k.h, nullptr));
  Key tooLong;
  EXPECT_EQ(S(win::kErrorInvalidParameter),
            RegCreateKeyEx(key_.h, (L"ok\\" + longest + L"k").c_str(), 0, KEY_ALL_ACCESS, &tooLong.h, nullptr));
  Key probe;
  EXPECT_EQ(S(win::kErrorFileNotFound), RegOpenKeyEx(key_.h, L"ok", 0, KEY_READ, &probe.h));  // nothing made

  // The root of each store is depth 0; Software\Test is 2.
  std::wstring deep;
  for (DWORD i = 2; i < kRegistryMaxDepth; ++i) deep += L"d\\";
  Key deepest;
  EXPECT_EQ(0, RegCreateKeyEx(key_.h, deep.c_str(), 0, KEY_ALL_ACCESS, &deepest.h, nullptr));
  Key deeper;
  EXPECT_EQ(S(win::kErrorInvalidParameter), RegCreateKeyEx(deepest.h, L"x", 0, KEY_ALL_ACCESS, &deeper.h, nullptr));

  EXPECT_EQ(0, Set(key_.h, std::wstring(kRegistryMaxValueName, L'v').c_str(), REG_DWORD, std::string(4, '\0')));
  EXPECT_EQ(S(win::kErrorFilenameExcedRange),
            Set(key_.h, std::wstring(kRegistryMaxValueName + 1, L'v').c_str(), REG_DWORD, std::string(4, '\0')));

  Key a, b, c;
  EXPECT_EQ(S(win::kErrorBadPathname), RegCreateKeyEx(key_.h, L"\\lead", 0, KEY_ALL_ACCESS, &a.h, nullptr));
  EXPECT_EQ(S(win::kErrorBadPathname), RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"\\Software", 0, KEY_READ, &a.h));
  EXPECT_EQ(0, RegCreateKeyEx(key_.h, L"x\\\\y\\", 0, KEY_ALL_ACCESS, &b.h, nullptr));
  EXPECT_EQ(0, RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Test\\x\\y", 0, KEY_READ, &c.h));
}

TEST_F(RegistryStoreTest, QueryValueSizesAndBuffers) {
  ASSERT_EQ(0, Set(key_.h, L"Text", REG_SZ, WideToUtf16Le(L"abc")));  // no terminator
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(0, RegQueryValueEx(key_.h, L"Text", &type, nullptr, &size));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(6u, size);

  BYTE small[4] = {9, 9, 9, 9};
  size = sizeof(small);
  EXPECT_EQ(S(win::kErrorMoreData), RegQueryValueEx(key_.h, L"Text", &type, small, &size));
  EXPECT_EQ(6u, size);
  EXPECT_EQ(9, small[0]);  // untouched

  BYTE room[10];
  std::memset(room, 0x55, sizeof(room));
  size = sizeof(room);
  ASSERT_EQ(0, RegQueryValueEx(key_.h, L"Text", &type, room, &size));
  EXPECT_EQ(6u, size);
  EXPECT_EQ(0, std::memcmp(room, "a\0b\0c\0\0\0", 8));  // Windows adds a NUL when there is room

  EXPECT_EQ(S(win::kErrorInvalidParameter), RegQueryValueEx(key_.h, L"Text", &type, room, nullptr));
  EXPECT_EQ(S(win::kErrorFileNotFound), RegQueryValueEx(key_.h, L"Missing", &type, nullptr, &size));

  // The default value is the empty name.
  ASSERT_EQ(0, Set(key_.h, nullptr, REG_SZ, Sz(L"default")));
  size = 0;
  EXPECT_EQ(0, RegQueryValueEx(key_.h, L"", &type, nullptr, &size));
  EXPECT_EQ(16u, size);
}

TEST_F(RegistryStoreTest, GetValueRestrictsTypesAndTerminatesStrings) {
  ASSERT_EQ(0, Set(key_.h, L"Dword", REG_DWORD, std::string("\x2a\0\0\0", 4)));
  ASSERT_EQ(0, Set(key_.h, L"Bin3", REG_BINARY, "abc"));
  ASSERT_EQ(0, Set(key_.h, L"Raw", REG_SZ, WideToUtf16Le(L"abc")));
  ASSERT_EQ(0, Set(key_.h, L"Odd", REG_SZ, Sz(L"ab") + "z"));

  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(S(win::kErrorUnsupportedType), RegGetValue(key_.h, nullptr, L"Dword", RRF_RT_REG_SZ, &type, nullptr, &size));
  DWORD value = 0;
  size = sizeof(value);
  EXPECT_EQ(0, RegGetValue(key_.h, nullptr, L"Dword", RRF_RT_REG_DWORD, &type, &value, &size));
  EXPECT_EQ(42u, value);
  size = sizeof(value);
  EXPECT_EQ(S(win::kErrorDatatypeMismatch), RegGetValue(key_.h, nullptr, L"Bin3", RRF_RT_DWORD, &type, &value, &size));

  // The size query and the data query agree, terminator included.
  size = 0;
  ASSERT_EQ(0, RegGetValue(HKEY_LOCAL_MACHINE, L"Software\\Test", L"Raw", RRF_RT_REG_SZ, &type, nullptr, &size));
  EXPECT_EQ(8u, size);
  BYTE buffer[8];
  size = 6;
  EXPECT_EQ(S(win::kErrorMoreData), RegGetValue(key_.h, nullptr, L"Raw", RRF_RT_REG_SZ, &type, buffer, &size));
  EXPECT_EQ(8u, size);
  ASSERT_EQ(0, RegGetValue(key_.h, nullptr, L"Raw", RRF_RT_REG_SZ, &type, buffer, &size));
  EXPECT_EQ(Sz(L"abc"), std::string(reinterpret_cast<char*>(buffer), size));
  size = sizeof(buffer);
  ASSERT_EQ(0, RegGetValue(key_.h, nullptr, L"Odd", RRF_RT_REG_SZ, &type, buffer, &size));
  EXPECT_EQ(Sz(L"ab"), std::string(reinterpret_cast<char*>(buffer), size));

  EXPECT_EQ(S(win::kErrorInvalidParameter),
            RegGetValue(key_.h, nullptr, L"Raw", RRF_RT_REG_EXPAND_SZ, &type, nullptr, &size));
  BYTE zeroed[4] = {1, 2, 3, 4};
  size = sizeof(zeroed);
  EXPECT_EQ(S(win::kErrorFileNotFound),
            RegGetValue(key_.h, nullptr, L"Missing", RRF_RT_ANY | RRF_ZEROONFAILURE, &type, zeroed, &size));
  EXPECT_EQ(0, zeroed[0] | zeroed[3]);
}

TEST_F(RegistryStoreTest, HandleAccessRightsAreEnforced) {
  Key reader, writer, values;
  ASSERT_EQ(0, RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Test", 0, KEY_READ, &reader.h));
  ASSERT_EQ(0, RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Test", 0, KEY_SET_VALUE, &writer.h));
  EXPECT_EQ(S(win::kErrorAccessDenied), Set(reader.h, L"x", REG_DWORD, std::string(4, '\0')));
  EXPECT_EQ(0, Set(writer.h, L"x", REG_DWORD, std::string(4, '\0')));
  DWORD size = 0;
  EXPECT_EQ(S(win::kErrorAccessDenied), RegQueryValueEx(writer.h, L"x", nullptr, nullptr, &size));
  EXPECT_EQ(0, RegQueryValueEx(reader.h, L"x", nullptr, nullptr, &size));
  wchar_t name[16];
  DWORD length = 16;
  EXPECT_EQ(S(win::kErrorAccessDenied), RegEnumKeyEx(writer.h, 0, name, &length));
  EXPECT_EQ(S(win::kErrorAccessDenied), RegDeleteValue(reader.h, L"x"));
}

TEST_F(RegistryStoreTest, HandlesAndPredefinedKeys) {
  HKEY same = nullptr;
  ASSERT_EQ(0, RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"", 0, KEY_READ, &same));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, same);
  EXPECT_EQ(0, RegCloseKey(HKEY_LOCAL_MACHINE));
  Key again;
  EXPECT_EQ(0, RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &again.h));

  HKEY closed = nullptr;
  ASSERT_EQ(0, RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Test", 0, KEY_READ, &closed));
  EXPECT_EQ(0, RegCloseKey(closed));
  DWORD size = 0;
  EXPECT_EQ(S(win::kErrorInvalidHandle), RegCloseKey(closed));
  EXPECT_EQ(S(win::kErrorInvalidHandle), RegQueryValueEx(closed, L"x", nullptr, nullptr, &size));
  EXPECT_EQ(S(win::kErrorInvalidHandle), RegQueryValueEx(nullptr, L"x", nullptr, nullptr, &size));
  Key classes;
  EXPECT_EQ(S(win::kErrorInvalidHandle), RegOpenKeyEx(HKEY_CLASSES_ROOT, L".txt", 0, KEY_READ, &classes.h));
  EXPECT_TRUE(IsPredefinedKey(HKEY_PERFORMANCE_NLSTEXT));
  EXPECT_FALSE(IsPredefinedKey(key_.h));
}

TEST_F(RegistryStoreTest, DeletedKeysAndDeleteForms) {
  Key victim, other;
  ASSERT_EQ(0, RegCreateKeyEx(key_.h, L"Victim", 0, KEY_ALL_ACCESS, &victim.h, nullptr));
  ASSERT_EQ(0, RegOpenKeyEx(key_.h, L"Victim", 0, KEY_ALL_ACCESS, &other.h));
  ASSERT_EQ(0, Set(victim.h, L"v", REG_DWORD, std::string(4, '\0')));
  EXPECT_EQ(0, RegDeleteKey(victim.h, L""));  // the key itself
  const LONG deleted = S(win::kErrorKeyDeleted);
  DWORD size = 0;
  EXPECT_EQ(deleted, RegQueryValueEx(other.h, L"v", nullptr, nullptr, &size));
  EXPECT_EQ(deleted, Set(other.h, L"v", REG_DWORD, std::string(4, '\0')));
  wchar_t name[16];
  DWORD length = 16;
  EXPECT_EQ(deleted, RegEnumKeyEx(other.h, 0, name, &length));
  Key child;
  EXPECT_EQ(deleted, RegCreateKeyEx(other.h, L"child", 0, KEY_ALL_ACCESS, &child.h, nullptr));
  // A key made again under the same name is a new key; old handles stay dead.
  Key reborn;
  ASSERT_EQ(0, RegCreateKeyEx(key_.h, L"Victim", 0, KEY_ALL_ACCESS, &reborn.h, nullptr));
  EXPECT_EQ(deleted, RegQueryValueEx(other.h, L"v", nullptr, nullptr, &size));
  EXPECT_EQ(S(win::kErrorFileNotFound), RegQueryValueEx(reborn.h, L"v", nullptr, nullptr, &size));

  EXPECT_EQ(S(win::kErrorAccessDenied), RegDeleteKey(HKEY_LOCAL_MACHINE, L""));
  EXPECT_EQ(S(win::kErrorInvalidParameter), RegDeleteKey(key_.h, nullptr));
  EXPECT_EQ(S(win::kErrorFileNotFound), RegDeleteKey(key_.h, L"Nothing"));
  EXPECT_EQ(S(win::kErrorFileNotFound), RegDeleteValue(key_.h, L"Nothing"));
  EXPECT_EQ(&RegDeleteKeyEx, LookupRegDeleteKeyEx());
}

TEST_F(RegistryStoreTest, ValuesEnumerateInCreationOrderWithExactBytes) {
  const std::wstring odd = L"\U0001F600\xDC00";
  ASSERT_EQ(0, Set(key_.h, L"First", REG_BINARY, std::string("\0\x01\xff", 3)));
  ASSERT_EQ(0, Set(key_.h, odd.c_str(), REG_SZ, WideToUtf16Le(odd)));
  ASSERT_EQ(0, Set(key_.h, L"Last", 0x12345, ""));
  ASSERT_EQ(0, Set(key_.h, L"FIRST", REG_BINARY, "x"));  // replaces, keeps place and spelling

  struct Seen {
    std::wstring name;
    DWORD type;
    std::string data;
  };
  std::vector<Seen> seen;
  for (DWORD i = 0;; ++i) {
    wchar_t name[64];
    DWORD length = 64;
    BYTE data[64];
    DWORD size = sizeof(data);
    DWORD type = 0;
    LONG status = RegEnumValue(key_.h, i, name, &length, &type, data, &size);
    if (status == S(win::kErrorNoMoreItems)) break;
    ASSERT_EQ(0, status);
    seen.push_back({std::wstring(name, length), type, std::string(reinterpret_cast<char*>(data), size)});
  }
  ASSERT_EQ(3u, seen.size());
  EXPECT_EQ(L"First", seen[0].name);
  EXPECT_EQ("x", seen[0].data);
  EXPECT_EQ(odd, seen[1].name);
  EXPECT_EQ(WideToUtf16Le(odd), seen[1].data);
  EXPECT_EQ(L"Last", seen[2].name);
  EXPECT_EQ(0x12345u, seen[2].type);
  EXPECT_EQ("", seen[2].data);

  Key k;
  ASSERT_EQ(0, RegCreateKeyEx(key_.h, odd.c_str(), 0, KEY_ALL_ACCESS, &k.h, nullptr));
  wchar_t name[8];
  DWORD length = 8;
  ASSERT_EQ(0, RegEnumKeyEx(key_.h, 0, name, &length));
  EXPECT_EQ(odd, std::wstring(name, length));
}

// A store file that is not a database is reported, left as it is, and does not affect the
// other root.
TEST(RegistryCorruptStoreTest, ReportsCorruptionWithoutTouchingTheFile) {
  orvo::test::TestPrefix prefix;
  const std::string junk(5000, '\x5a');
  const auto file = prefix.root() / "registry" / "machine.db";
  orvo::test::WriteHostFile(file, junk);
  Key k;
  EXPECT_EQ(S(win::kErrorRegistryCorrupt), RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &k.h));
  EXPECT_EQ(S(win::kErrorRegistryCorrupt),
            RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"Software\\X", 0, KEY_ALL_ACCESS, &k.h, nullptr));
  EXPECT_EQ(0, RegCreateKeyEx(HKEY_CURRENT_USER, L"Software\\X", 0, KEY_ALL_ACCESS, &k.h, nullptr));
  EXPECT_EQ(junk, orvo::test::ReadHostFile(file));
}

}  // namespace

// The store used from several threads of one process at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry_key.h"
#include "tests/support/test_prefix.h"

using namespace platform;

namespace {

using RegistryThreadTest = orvo::test::PrefixTest;

TEST_F(RegistryThreadTest, ThreadsWritingAndReadingAtOnceLoseNothing) {
  constexpr int kWriters = 4;
  constexpr DWORD kPerWriter = 150;
  RegistryKey shared;  // one handle used by every reader thread, as handles may be
  ASSERT_EQ(0, shared.Create(HKEY_LOCAL_MACHINE, L"Software\\Threads"));
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([w, &failures] {
      for (DWORD i = 0; i < kPerWriter; ++i) {
        RegistryKey key;  // each writer its own objects, on its own thread
        const std::wstring sub = L"Software\\Threads\\W" + std::to_wstring(w);
        if (key.Create(HKEY_LOCAL_MACHINE, sub.c_str()) != 0) ++failures;
        if (key.WriteDword((L"v" + std::to_wstring(i)).c_str(), i) != 0) ++failures;
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&shared, &failures, &done] {
      while (!done.load()) {
        for (DWORD index = 0;; ++index) {
          wchar_t name[256];
          DWORD length = 256;
          LONG status = RegEnumKeyEx(shared.key(), index, name, &length);
          if (status == static_cast<LONG>(win::kErrorNoMoreItems)) break;
          if (status != 0) ++failures;
        }
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[static_cast<std::size_t>(w)].join();
  done = true;
  for (std::size_t t = kWriters; t < threads.size(); ++t) threads[t].join();

  EXPECT_EQ(0, failures.load());
  for (int w = 0; w < kWriters; ++w) {
    RegistryKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, (L"Software\\Threads\\W" + std::to_wstring(w)).c_str(), KEY_READ));
    for (DWORD i = 0; i < kPerWriter; ++i) {
      DWORD value = ~0u;
      ASSERT_EQ(0, key.ReadDword((L"v" + std::to_wstring(i)).c_str(), &value));
      EXPECT_EQ(i, value);
    }
  }
}

}  // namespace

#pragma once
// Every test case gets a prefix of its own: a fresh emulated machine under the build's
// temporary folder, removed when the case ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace orvo::test {

class TestPrefix {
 public:
  TestPrefix();
  ~TestPrefix();
  TestPrefix(const TestPrefix&) = delete;
  TestPrefix& operator=(const TestPrefix&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // Host path of a Windows-form path in this prefix.
  std::filesystem::path Host(const std::wstring& windowsPath) const;
  // Windows-form path of a file below drive C: (e.g. L"C:\\work\\a.txt").
  std::wstring C(const std::wstring& below) const { return L"C:\\" + below; }

 private:
  std::filesystem::path root_;
};

// A fixture that sets up a TestPrefix before each case.
class PrefixTest : public ::testing::Test {
 protected:
  TestPrefix prefix_;
};

// Reads a whole host file.
std::string ReadHostFile(const std::filesystem::path& path);
void WriteHostFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace orvo::test

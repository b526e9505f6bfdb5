#include "tests/support/test_prefix.h"

#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include "platform/prefix.h"

namespace fs = std::filesystem;

namespace orvo::test {

TestPrefix::TestPrefix() {
  std::random_device random;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                     : std::string("case");
  for (auto& c : name) {
    if (c == '/') c = '_';
  }
  root_ = fs::temp_directory_path() / "orvo-tests" /
          (name + "-" + std::to_string(getpid()) + "-" + std::to_string(random()));
  fs::create_directories(root_);
  platform::UsePrefix(root_);
  ::setenv("ORVO_PREFIX", root_.c_str(), 1);  // for child processes
}

TestPrefix::~TestPrefix() {
  std::error_code ec;
  // Read-only files and folders must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(root_, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  if (!::testing::Test::HasFailure()) fs::remove_all(root_, ec);
}

fs::path TestPrefix::Host(const std::wstring& windowsPath) const {
  auto host = platform::ResolvePath(windowsPath);
  return host ? *host : fs::path();
}

std::string ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteHostFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace orvo::test

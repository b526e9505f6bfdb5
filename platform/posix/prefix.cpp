#include "platform/prefix.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <system_error>

#include "platform/text.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

std::mutex g_prefixMutex;
std::optional<fs::path> g_prefixRoot;

std::string UserName() {
  if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_name != nullptr) {
    return pw->pw_name;
  }
  return "user";
}

fs::path UserFolder(const fs::path& root) { return root / "drive_c" / "users" / UserName(); }

const char* KnownFolderTail(KnownFolder folder) {
  switch (folder) {
    case KnownFolder::Temp: return "Temp";
    case KnownFolder::LocalAppData: return "AppData/Local";
    case KnownFolder::RoamingAppData: return "AppData/Roaming";
    case KnownFolder::Desktop: return "Desktop";
  }
  return "Temp";
}

void EnsureLayout(const fs::path& root) {
  std::error_code ec;
  fs::create_directories(root / "dosdevices", ec);
  fs::create_directories(root / "registry", ec);
  for (auto folder : {KnownFolder::Temp, KnownFolder::LocalAppData, KnownFolder::RoamingAppData,
                      KnownFolder::Desktop}) {
    fs::create_directories(UserFolder(root) / KnownFolderTail(folder), ec);
  }
  auto link = [&](const char* name, const fs::path& target) {
    fs::path at = root / "dosdevices" / name;
    if (!fs::is_symlink(fs::symlink_status(at, ec))) fs::create_directory_symlink(target, at, ec);
  };
  link("c:", "../drive_c");
  link("z:", "/");
}

fs::path DefaultRoot() {
  if (const char* prefix = std::getenv("ORVO_PREFIX"); prefix != nullptr && *prefix != '\0') {
    return prefix;
  }
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
    return fs::path(data) / "orvo-prefix";
  }
  const char* home = std::getenv("HOME");
  return fs::path(home != nullptr ? home : "/tmp") / ".local/share/orvo-prefix";
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

fs::path HostRelative(std::wstring_view rest) {
  std::string utf8 = WideToUtf8(rest);
  for (auto& c : utf8) {
    if (c == '\\') c = '/';
  }
  return fs::path(utf8);
}

}  // namespace

fs::path PrefixRoot() {
  std::lock_guard lock(g_prefixMutex);
  if (!g_prefixRoot) {
    g_prefixRoot = fs::absolute(DefaultRoot());
    EnsureLayout(*g_prefixRoot);
  }
  return *g_prefixRoot;
}

void UsePrefix(const fs::path& root) {
  std::lock_guard lock(g_prefixMutex);
  g_prefixRoot = fs::absolute(root);
  EnsureLayout(*g_prefixRoot);
}

std::wstring GetKnownFolder(KnownFolder folder) {
  std::error_code ec;
  fs::path root = PrefixRoot();
  fs::create_directories(UserFolder(root) / KnownFolderTail(folder), ec);
  std::wstring path = L"C:\\users\\" + Utf8ToWide(UserName()) + L"\\";
  for (const char* c = KnownFolderTail(folder); *c != '\0'; ++c) {
    path.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
  }
  return path + L"\\";
}

std::optional<fs::path> ResolvePath(std::wstring_view path, DWORD* error) {
  auto fail = [error]() -> std::optional<fs::path> {
    if (error != nullptr) *error = win::kErrorPathNotFound;
    return std::nullopt;
  };
  if (path.starts_with(L"\\\\?\\")) path.remove_prefix(4);
  if (path.size() >= 2 && path[1] == L':') {
    wchar_t letter = path[0];
    if (letter >= L'A' && letter <= L'Z') letter = static_cast<wchar_t>(letter - L'A' + L'a');
    if (letter < L'a' || letter > L'z') return fail();
    fs::path drive = PrefixRoot() / "dosdevices" / std::string{static_cast<char>(letter), ':'};
    std::error_code ec;
    if (!fs::is_directory(drive, ec)) return fail();
    std::wstring_view rest = path.substr(2);
    while (!rest.empty() && IsSeparator(rest.front())) rest.remove_prefix(1);
    return rest.empty() ? drive : drive / HostRelative(rest);
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return fail();  // UNC
  return HostRelative(path);
}

std::wstring ToWindowsPath(const fs::path& hostPath) {
  std::error_code ec;
  const fs::path target = fs::weakly_canonical(fs::absolute(hostPath, ec), ec);
  const std::string text = target.string();
  std::string bestDrive;
  std::string bestBase;
  for (const auto& entry : fs::directory_iterator(PrefixRoot() / "dosdevices", ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() != 2 || name[1] != ':') continue;
    std::string base = fs::weakly_canonical(entry.path(), ec).string();
    if (ec) continue;
    bool inside = text == base || (text.starts_with(base) &&
                                   (base.ends_with('/') || text[base.size()] == '/'));
    if (inside && base.size() > bestBase.size()) {
      bestBase = base;
      bestDrive = name;
    }
  }
  if (bestDrive.empty()) return Utf8ToWide(text);
  std::string rest = text.substr(bestBase.size());
  while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
  for (auto& c : rest) {
    if (c == '/') c = '\\';
  }
  std::wstring result;
  result.push_back(static_cast<wchar_t>(bestDrive[0] - 'a' + 'A'));
  result += L":\\";
  return result + Utf8ToWide(rest);
}

void MapDrive(wchar_t letter, const fs::path& target) {
  if (letter >= L'A' && letter <= L'Z') letter = static_cast<wchar_t>(letter - L'A' + L'a');
  fs::path at = PrefixRoot() / "dosdevices" / std::string{static_cast<char>(letter), ':'};
  std::error_code ec;
  fs::remove(at, ec);
  fs::create_directory_symlink(fs::absolute(target), at, ec);
}

std::wstring GetModuleFileName() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return ToWindowsPath(exe);
}

}  // namespace platform

#include "app/entry.h"

#include "app/logger.h"
#include "config/global_config.h"
#include "platform/prefix.h"
#include "platform/worker_pool.h"

namespace {
constexpr const char* kModule = "Main";
constexpr wchar_t kMutexBase[] = L"{5E2A7C41-9B3D-4F06-8C1E-2D7A9F3B6E58}_OrvoDownloader";
}  // namespace

std::wstring SingletonMutexName(unsigned long sessionId) {
  return std::wstring(kMutexBase) + L"_" + std::to_wstring(sessionId);
}

bool CheckSingleton(std::optional<platform::NamedMutex>& handle) {
  platform::DWORD sessionId = 0;
  if (!platform::ProcessSessionId(&sessionId)) sessionId = 0;
  const std::wstring name = SingletonMutexName(sessionId);

  if (auto existing = platform::NamedMutex::Open(name)) return false;  // closed at once
  if (platform::GetLastError() != platform::win::kErrorFileNotFound) return false;

  handle = platform::NamedMutex::Create(name);
  const platform::DWORD error = platform::GetLastError();
  if (!handle) {
    LOG_ERROR(kModule) << "Create singleton mutex " << name << " failed. error code: " << error;
  }
  return error != platform::win::kErrorAlreadyExists;
}

int CrashDumpFilter(platform::ExceptionPointers* exception) {
  // Event 1002 is reported here once the reporter exists.
  platform::WriteCrashDump(exception);
  return 0;
}

void InstallCrashDumpFilter() {
  platform::PrepareDumpFolder(platform::GetKnownFolder(platform::KnownFolder::LocalAppData) +
                              L"downloader_dumps\\");
  platform::SetUnhandledExceptionFilter(&CrashDumpFilter);
}

int OrvoMain() {
  LOG_INFO(kModule) << "OrvoDownload Start.";
  InstallCrashDumpFilter();
  GlobalConfig::Instance();

  std::optional<platform::NamedMutex> singleton;
  if (!CheckSingleton(singleton)) {
    LOG_INFO(kModule) << "OrvoDownloader only run one instance";
    return 0;
  }

  // Window join point: the main or silent window is created, skinned, centred and run
  // modally here, then deleted. Until then a run ends after the single-instance check.

  LOG_INFO(kModule) << "OrvoDownload End.";
  // A running installation job or report is waited for; queued ones are dropped.
  lumalib::WorkerPool::Instance().Stop();
  return 0;
}

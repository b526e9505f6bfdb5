#pragma once
// The process: start-up, single-instance check, window join point, orderly end.
#include <optional>
#include <string>

#include "platform/crash_dump.h"
#include "platform/session.h"

// "{5E2A...}_OrvoDownloader_<session id>"
std::wstring SingletonMutexName(unsigned long sessionId);

// True when this process may run; the mutex (if created) is left in `handle`.
bool CheckSingleton(std::optional<platform::NamedMutex>& handle);

// Reports the crash, then writes <LocalAppData>\downloader_dumps\<seconds>.dmp. Always
// returns 0 (continue search), so the system's own crash handling follows.
int CrashDumpFilter(platform::ExceptionPointers* exception);

// Prepares the dump folder and installs CrashDumpFilter as the unhandled-exception filter.
void InstallCrashDumpFilter();

// The whole run; the return value is the process exit code (always 0).
int OrvoMain();

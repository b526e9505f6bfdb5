#pragma once
// Unhandled-exception filter and minidump writer.
//
// On a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP) on any
// thread, the installed filter runs on an alternate stack, then the default action follows
// (the process ends as the system decides). The filter and everything it calls must be
// async-signal-safe: no allocation, no locks.
#include <cstdint>
#include <string_view>

namespace platform {

struct ExceptionPointers;  // the signal's siginfo and machine context

using UnhandledExceptionFilter = int (*)(ExceptionPointers* exception);

// SetUnhandledExceptionFilter. The previous filter is not kept.
void SetUnhandledExceptionFilter(UnhandledExceptionFilter filter);

// Prepares a dump folder ahead of time so the filter need not allocate: the folder is
// resolved to a host path now.
bool PrepareDumpFolder(std::wstring_view windowsFolder);

// From inside the filter: creates the folder (one level), names the file
// "<seconds since 1970>.dmp" and writes a minidump of the process with the crashing
// thread's context and stack. Returns false when anything failed.
bool WriteCrashDump(ExceptionPointers* exception);

}  // namespace platform

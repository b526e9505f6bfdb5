#pragma once
// Unhandled-exception filter and minidump writer.
//
// On a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP) on any
// thread, the installed filter runs on the faulting thread, then the default action
// follows (the process ends by that signal, as the system decides). The filter and
// everything it calls must be async-signal-safe: no allocation, no locks.
//
// Signal stacks: the thread that installs the filter gets an alternate signal stack, and
// so does any thread that calls PrepareThreadForCrashDump. On other threads the handler
// runs on the thread's own stack, which serves every fault except a stack overflow (that
// one ends the process without a dump).
//
// Only one thread handles a crash: a second thread's fault waits while the first one
// writes its dump and ends the process. A fault inside the filter goes straight to the
// default action; a filter that never returns is ended by a watchdog (SIGALRM after 30
// seconds), so a crash never leaves the process hanging.
#include <cstdint>
#include <string_view>

namespace platform {

struct ExceptionPointers;  // the signal's number, siginfo and machine context

using UnhandledExceptionFilter = int (*)(ExceptionPointers* exception);

// SetUnhandledExceptionFilter. The previous filter is not kept. Installs the signal
// handlers and the calling thread's signal stack.
void SetUnhandledExceptionFilter(UnhandledExceptionFilter filter);

// Gives the calling thread an alternate signal stack for the crash handler, so that its
// stack overflow also leaves a dump. The stack is released when the thread ends. An
// existing signal stack of sufficient size is kept.
void PrepareThreadForCrashDump();

// Prepares a dump folder ahead of time so the filter need not allocate: the folder is
// resolved to a host path now. False when it has no host path (or one too long).
bool PrepareDumpFolder(std::wstring_view windowsFolder);

// From inside the filter: creates the folder (one level), names the file
// "<seconds since 1970>.dmp" and writes a minidump of the process with the crashing
// thread's context and stack. The dump is written under a ".partial" name and renamed
// when complete, so a file named ".dmp" is always whole. Returns false when anything
// failed (nothing is left under the final name then).
bool WriteCrashDump(ExceptionPointers* exception);

}  // namespace platform

// placeholder: the minidump writer comes next
#include "platform/crash_dump.h"

namespace platform {
void SetUnhandledExceptionFilter(UnhandledExceptionFilter) {}
bool PrepareDumpFolder(std::wstring_view) { return false; }
bool WriteCrashDump(ExceptionPointers*) { return false; }
}  // namespace platform

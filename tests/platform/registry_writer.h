#pragma once
// What registry_writer writes, shared with the tests that check it.
#include <string>

namespace orvo::test {

inline std::wstring BurstKeyName(long i) { return L"W" + std::to_wstring(i); }
inline std::wstring BurstLeafPath(long i) { return L"Software\\Burst\\" + BurstKeyName(i) + L"\\a\\b\\c"; }
// A few kilobytes, so that a kill often lands while a transaction is being written.
inline std::wstring BurstData(long i) { return L"value-" + std::to_wstring(i) + L"-" + std::wstring(3000, L'x'); }

}  // namespace orvo::test

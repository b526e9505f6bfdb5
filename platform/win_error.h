#pragma once
// Win32 status codes as the core sees them. Both builds report these numbers, so log
// lines and results are the same everywhere. Never renumber.
#include <cstdint>

namespace platform {

using DWORD = std::uint32_t;

namespace win {
inline constexpr DWORD kErrorSuccess = 0;
inline constexpr DWORD kErrorFileNotFound = 2;
inline constexpr DWORD kErrorPathNotFound = 3;
inline constexpr DWORD kErrorTooManyOpenFiles = 4;
inline constexpr DWORD kErrorAccessDenied = 5;
inline constexpr DWORD kErrorInvalidHandle = 6;
inline constexpr DWORD kErrorNotEnoughMemory = 8;
inline constexpr DWORD kErrorInvalidData = 13;
inline constexpr DWORD kErrorWriteFault = 29;
inline constexpr DWORD kErrorReadFault = 30;
inline constexpr DWORD kErrorSharingViolation = 32;
inline constexpr DWORD kErrorHandleEof = 38;
inline constexpr DWORD kErrorNotSupported = 50;
inline constexpr DWORD kErrorFileExists = 80;
inline constexpr DWORD kErrorInvalidParameter = 87;
inline constexpr DWORD kErrorBrokenPipe = 109;
inline constexpr DWORD kErrorDiskFull = 112;
inline constexpr DWORD kErrorInvalidName = 123;
inline constexpr DWORD kErrorDirNotEmpty = 145;
inline constexpr DWORD kErrorBadPathname = 161;
inline constexpr DWORD kErrorBusy = 170;
inline constexpr DWORD kErrorAlreadyExists = 183;
inline constexpr DWORD kErrorBadExeFormat = 193;
inline constexpr DWORD kErrorFilenameExcedRange = 206;
inline constexpr DWORD kErrorMoreData = 234;
inline constexpr DWORD kErrorNoMoreItems = 259;
inline constexpr DWORD kErrorDirectory = 267;
inline constexpr DWORD kErrorNoAccess = 998;
inline constexpr DWORD kErrorBadKey = 1010;
inline constexpr DWORD kErrorRegistryCorrupt = 1015;
inline constexpr DWORD kErrorRegistryIoFailed = 1016;
inline constexpr DWORD kErrorKeyDeleted = 1018;
inline constexpr DWORD kErrorChildMustBeVolatile = 1021;
inline constexpr DWORD kErrorDatatypeMismatch = 1629;
inline constexpr DWORD kErrorUnsupportedType = 1630;
inline constexpr DWORD kErrorCantResolveFilename = 1921;
}  // namespace win

// The calling thread's last system error, like GetLastError/SetLastError.
DWORD GetLastError();
void SetLastError(DWORD code);

}  // namespace platform

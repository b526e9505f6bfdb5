#pragma once
// The process-wide settings, built once on the main thread by the first Instance() call
// before any worker exists; read-only afterwards (installPath aside), so no locking.
#include <cstdint>
#include <string>

class GlobalConfig {
 public:
  static GlobalConfig& Instance();

  // Reads the extern data blocks appended to the running executable.
  void InitParamsFromSelf();

  int international = 0;
  std::uint32_t supplyid = 0;
  std::uint64_t buildid = 0;
  std::string area;
  std::string sourceid;
  std::string pkgName;
  std::string marketExternParams;
  int silentMode = 0;
  int bkgPngNumber = 0;
  std::wstring title;
  std::wstring gameName;
  std::wstring language = L"zh_CN";
  std::wstring tempPath;
  std::wstring driveRoot;
  std::wstring installPath;
  bool createMarketIcon = false;
  bool installMarket = true;
  bool installUI = false;
  bool installRootfs = false;
  bool installVDI = false;
  bool installVDI71 = false;
  bool installHarrow = false;

  GlobalConfig(const GlobalConfig&) = delete;
  GlobalConfig& operator=(const GlobalConfig&) = delete;

  // A configuration with the defaults only, for tests of the individual steps.
  static GlobalConfig MakeDefaultsForTesting() { return GlobalConfig(Defaults{}); }
  GlobalConfig(GlobalConfig&&) = default;

 private:
  struct Defaults {};
  GlobalConfig();
  explicit GlobalConfig(Defaults) {}
};

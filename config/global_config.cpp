#include "config/global_config.h"

GlobalConfig& GlobalConfig::Instance() {
  // Created on the main thread before any other thread reads it; never destroyed.
  static GlobalConfig* const instance = new GlobalConfig();
  return *instance;
}

GlobalConfig::GlobalConfig() {
  InitParamsFromSelf();
  // The registry-backed steps (drive, temporary and install folders, supply id, language)
  // and the hand-over to the reporter join here.
}

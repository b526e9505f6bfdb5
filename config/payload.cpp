#include "config/payload.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "app/logger.h"
#include "config/extern_data.h"
#include "config/global_config.h"
#include "platform/file.h"
#include "platform/md5.h"
#include "platform/prefix.h"
#include "platform/text.h"

namespace config {

namespace {

constexpr const char* kModule = "GConfig";
// What Windows reports for a file position before the start of the file.
constexpr platform::DWORD kErrorNegativeSeek = 131;

LogHex Address(const void* p) {
  return LogHex{static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p))};
}

// Floating-point values truncate toward zero; one that no integer of the field can hold
// is refused instead of converted with undefined behaviour.
template <class T>
T TruncateFloat(double value, const char* key) {
  const double truncated = std::trunc(value);
  if (truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0) {
    return static_cast<T>(static_cast<std::int64_t>(truncated));
  }
  if (std::is_unsigned_v<T> && truncated >= 0 && truncated < 18446744073709551616.0) {
    return static_cast<T>(static_cast<std::uint64_t>(truncated));
  }
  throw std::out_of_range(std::string("number out of range for \"") + key + "\"");
}

// Numbers and, for every field but buildid, true/false. The JSON library's own conversion
// already makes that distinction: a 64-bit unsigned target refuses booleans.
template <class T>
void ReadNumber(const nlohmann::json& document, const char* key, T& field) {
  if (!document.contains(key)) return;
  const auto& value = document.at(key);
  field = value.is_number_float() ? TruncateFloat<T>(value.get<double>(), key) : value.get<T>();
}

void ReadString(const nlohmann::json& document, const char* key, std::string& field) {
  if (document.contains(key)) field = document.at(key).get<std::string>();
}

void ReadWide(const nlohmann::json& document, const char* key, std::wstring& field) {
  if (document.is_object() && document.contains(key)) {
    field = platform::Utf8ToWide(document.at(key).get<std::string>());
  }
}

void ReadBool(const nlohmann::json& document, const char* key, bool& field) {
  if (document.contains(key)) field = document.at(key).get<bool>();
}

void Apply(const nlohmann::json& d, GlobalConfig& c) {
  ReadNumber(d, "buildid", c.buildid);
  ReadNumber(d, "supplyid", c.supplyid);
  ReadNumber(d, "international", c.international);
  ReadString(d, "pkgName", c.pkgName);
  ReadString(d, "area", c.area);
  ReadNumber(d, "silentMode", c.silentMode);
  ReadString(d, "marketExternParams", c.marketExternParams);
  ReadString(d, "sourceid", c.sourceid);
  ReadNumber(d, "bkgPngNumber", c.bkgPngNumber);
  ReadBool(d, "createMarketIcon", c.createMarketIcon);
  ReadBool(d, "installMarket", c.installMarket);
  ReadBool(d, "installUI", c.installUI);
  ReadBool(d, "installRootfs", c.installRootfs);
  ReadBool(d, "installVDI", c.installVDI);
  ReadBool(d, "installVDI71", c.installVDI71);
  ReadBool(d, "installHarrow", c.installHarrow);
  ReadWide(d, "gameName", c.gameName);
  ReadWide(d, "title", c.title);
}

}  // namespace

std::vector<nlohmann::json> ReadExternDocuments(std::wstring_view path, bool* fileSizeKnown) {
  *fileSizeKnown = false;
  auto file = platform::File::Open(path, platform::File::Access::Read,
                                   platform::File::Disposition::OpenExisting);
  std::uint64_t size = 0;
  if (!file || !file->Size(&size)) {
    LOG_ERROR(kModule) << "get file size failed." << " error code: " << platform::GetLastError();
    return {};
  }
  *fileSizeKnown = true;

  std::deque<nlohmann::json> documents;
  std::uint64_t position = size;
  for (;;) {
    std::array<std::uint8_t, kExternHeaderSize> raw{};
    std::uint32_t read = 0;
    if (position < kExternHeaderSize) {
      LOG_ERROR(kModule) << "read extern data header failed." << " error code: " << kErrorNegativeSeek;
      break;
    }
    position -= kExternHeaderSize;
    if (!file->ReadAt(position, raw.data(), kExternHeaderSize, &read) || read != kExternHeaderSize) {
      LOG_ERROR(kModule) << "read extern data header failed." << " error code: " << platform::GetLastError();
      break;
    }
    const ExternHeader header = ParseExternHeader(raw);
    if (header.magic != kExternMagic || header.length == 0) {
      LOG_WARN(kModule) << "check magic failed or length is zero";
      break;
    }
    // A length larger than what lies in front of the header cannot be a block: stop
    // before allocating or reading anything for it.
    if (header.length > position) {
      LOG_WARN(kModule) << "read extern data failed." << " error code: " << kErrorNegativeSeek;
      break;
    }
    position -= header.length;
    std::vector<char> data;
    try {
      data.assign(header.length, '\0');
    } catch (const std::bad_alloc&) {
      LOG_WARN(kModule) << "read extern data failed." << " error code: " << platform::win::kErrorNotEnoughMemory;
      break;
    }
    if (!file->ReadAt(position, data.data(), header.length, &read) || read != header.length) {
      LOG_WARN(kModule) << "read extern data failed." << " error code: " << platform::GetLastError();
      break;
    }
    const std::string digest = platform::HexMd5(data.data(), data.size());
    if (!DigestMatches(header, digest)) {
      LOG_ERROR(kModule) << "extern data md5 is not equal to header md5. header md5: " << header.digest
                         << " data md5: " << digest;
      break;
    }
    const std::size_t textLength = strnlen(data.data(), data.size());
    try {
      documents.push_front(nlohmann::json::parse(data.data(), data.data() + textLength));
    } catch (const nlohmann::json::exception& e) {
      LOG_INFO(kModule) << "parse the inject data: " << Address(data.data()) << " failed. exception: " << e.what();
      break;
    }
    LOG_INFO(kModule) << "find the inject data: " << Address(data.data());
  }
  return {std::make_move_iterator(documents.begin()), std::make_move_iterator(documents.end())};
}

void ApplyExternDocuments(const std::vector<nlohmann::json>& documents, GlobalConfig& config) {
  try {
    for (const auto& document : documents) Apply(document, config);
  } catch (const std::exception& e) {
    LOG_ERROR(kModule) << "init params from json failed. exception: " << e.what();
  }
}

}  // namespace config

void GlobalConfig::InitParamsFromSelf() {
  bool sizeKnown = false;
  auto documents = config::ReadExternDocuments(platform::GetModuleFileName(), &sizeKnown);
  if (!sizeKnown) return;
  config::ApplyExternDocuments(documents, *this);
  LOG_INFO(config::kModule) << "need install pkg [" << pkgName << "]";
  LOG_INFO(config::kModule) << "OrvoDownloader inner SupplyId [" << supplyid << "]";
  LOG_INFO(config::kModule) << "OrvoDownloader inner buildid [" << buildid << "]";
  LOG_INFO(config::kModule) << "OrvoDownloader inner appid [" << sourceid << "]";
  LOG_INFO(config::kModule) << "Background png number: " << bkgPngNumber;
}

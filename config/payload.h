#pragma once
// Reading the extern data blocks of an executable and applying their JSON documents.
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

class GlobalConfig;

namespace config {

// The documents of the valid blocks at the end of `path`, in file order (nearest the start
// first). Logs every failure and ends the search at the first block that is not valid.
// `fileSizeKnown` is false when the file or its size could not be read (nothing to apply,
// no summary).
std::vector<nlohmann::json> ReadExternDocuments(std::wstring_view path, bool* fileSizeKnown);

// Applies the known keys of each document in order; stops at the first conversion error.
void ApplyExternDocuments(const std::vector<nlohmann::json>& documents, GlobalConfig& config);

}  // namespace config

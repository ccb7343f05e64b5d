#pragma once
// Why a write into the data folder (or the settings store) failed, in the
// terms the user can act on: a read-only folder, a full disk, no permission.
#include <filesystem>
#include <string>

namespace tovrelle {

enum class StorageFault { readOnly, full, notPermitted, other };

// `error` is the errno of the failed call; the folder's file system is asked
// as well, because a failed rename or flush does not always say why.
StorageFault classifyStorageFault(int error, const std::filesystem::path& folder);

const char* rawValue(StorageFault fault);

}  // namespace tovrelle

#include "app/model/StorageFault.h"

#include <sys/statvfs.h>
#include <cerrno>

namespace tovrelle {

StorageFault classifyStorageFault(int error, const std::filesystem::path& folder) {
  if (error == EROFS) return StorageFault::readOnly;
  if (error == ENOSPC || error == EDQUOT) return StorageFault::full;
  struct statvfs fs {};
  const bool known = ::statvfs(folder.c_str(), &fs) == 0;
  if (known && (fs.f_flag & ST_RDONLY)) return StorageFault::readOnly;
  if (error == EACCES || error == EPERM) return StorageFault::notPermitted;
  if (known && fs.f_bavail == 0) return StorageFault::full;
  return StorageFault::other;
}

const char* rawValue(StorageFault fault) {
  switch (fault) {
    case StorageFault::readOnly: return "read-only";
    case StorageFault::full: return "full";
    case StorageFault::notPermitted: return "not permitted";
    case StorageFault::other: break;
  }
  return "unavailable";
}

}  // namespace tovrelle

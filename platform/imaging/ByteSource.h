#pragma once
// The bytes of one image: an opened regular file, read by offset so several
// decoders (the loader and a decode-ahead worker) can share it, or a block of
// memory (tests, fuzzing).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "shared/Result.h"

namespace tovrelle::imaging {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Copies up to `length` bytes from `offset`; the count read, 0 at the end,
  // negative on a read error.
  virtual long read(uint64_t offset, uint8_t* out, size_t length) const = 0;
};

// Opens `path` for reading without blocking. Only a regular file is accepted,
// and neither it nor its folder may be a symbolic link: a link, a folder, a
// pipe or a device gives an error that says which.
Result<std::shared_ptr<const ByteSource>> openImageFile(const std::filesystem::path& path);

std::shared_ptr<const ByteSource> memoryBytes(std::vector<uint8_t> bytes);
std::shared_ptr<const ByteSource> memoryBytes(const uint8_t* data, size_t size);

}  // namespace tovrelle::imaging

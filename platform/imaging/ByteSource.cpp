#include "platform/imaging/ByteSource.h"

#include "shared/Files.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tovrelle::imaging {
namespace {

class FileBytes final : public ByteSource {
 public:
  FileBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileBytes() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  long read(uint64_t offset, uint8_t* out, size_t length) const override {
    if (offset >= size_) return 0;
    for (;;) {
      const ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(offset));
      if (n >= 0) return static_cast<long>(n);
      if (errno != EINTR) return -1;
    }
  }

 private:
  int fd_;
  uint64_t size_;
};

class MemoryBytes final : public ByteSource {
 public:
  explicit MemoryBytes(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  long read(uint64_t offset, uint8_t* out, size_t length) const override {
    if (offset >= bytes_.size()) return 0;
    const size_t n = std::min<uint64_t>(length, bytes_.size() - offset);
    std::memcpy(out, bytes_.data() + offset, n);
    return static_cast<long>(n);
  }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

Result<std::shared_ptr<const ByteSource>> openImageFile(const std::filesystem::path& path) {
  auto file = openRegularFileIn(path.parent_path(), path.filename().string());
  if (!file) return Unexpected{file.error()};
  return std::shared_ptr<const ByteSource>(std::make_shared<FileBytes>(file->fd.release(), file->size));
}

std::shared_ptr<const ByteSource> memoryBytes(std::vector<uint8_t> bytes) {
  return std::make_shared<MemoryBytes>(std::move(bytes));
}

std::shared_ptr<const ByteSource> memoryBytes(const uint8_t* data, size_t size) {
  return std::make_shared<MemoryBytes>(std::vector<uint8_t>(data, data + size));
}

}  // namespace tovrelle::imaging

#include "tests/imaging/ImagingTestSupport.h"

extern "C" {
#include <libavutil/log.h>
}

#include <stdlib.h>

#include <stdexcept>

namespace tovrelle::test {

void quietFfmpeg() { av_log_set_level(AV_LOG_QUIET); }

ScratchFolder::ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tovrelle-imaging-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path ScratchFolder::write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  const auto file = path_ / name;
  fixtures::writeFile(file, bytes);
  return file;
}

}  // namespace tovrelle::test

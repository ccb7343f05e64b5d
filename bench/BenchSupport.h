#pragma once
// What several benchmarks share: a percentile of measured values, and a
// state written the way the app writes it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "shared/CameraState.h"
#include "shared/DataFolder.h"

namespace tovrelle::bench {

inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
  index = index == 0 ? 0 : index - 1;
  return values[std::min(index, values.size() - 1)];
}

// A flushed temporary file renamed into place, as the app does; returns the
// time of the rename (the picture may reach a client before a slower writer
// would have returned).
inline std::chrono::steady_clock::time_point writeStateAsTheAppDoes(const CameraState& state) {
  const auto path = stateFilePath();
  const auto temporary = path.parent_path() / ".state.json.bench";
  const std::string bytes = encodeCameraState(state);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || ::fsync(fd) != 0)
    throw std::runtime_error("cannot write " + temporary.string());
  ::close(fd);
  const auto renamed = std::chrono::steady_clock::now();
  if (::rename(temporary.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot replace " + path.string());
  return renamed;
}

// The `key=value` lines a client tool prints (one result a line).
inline std::map<std::string, std::string> keyValues(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (auto eq = line.find('='); eq != std::string::npos && line.find(' ') > eq)
      out[line.substr(0, eq)] = line.substr(eq + 1);
  return out;
}

}  // namespace tovrelle::bench

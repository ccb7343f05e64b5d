#pragma once
// Shared pieces of the installer tests: a fake install prefix on disk and a
// log recorder.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/log/Log.h"

namespace tovrelle::test {

// A temporary install prefix whose copy of the camera service carries the
// given Info.json text.
class FakeAppPrefix {
 public:
  FakeAppPrefix() {
    char tmpl[] = "/tmp/tovrelle-prefix-XXXXXX";
    root_ = ::mkdtemp(tmpl);
  }
  ~FakeAppPrefix() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FakeAppPrefix(const FakeAppPrefix&) = delete;
  FakeAppPrefix& operator=(const FakeAppPrefix&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path service() const {
    return root_ / "lib/tovrelle/SystemExtensions/velkari.tovrelle.cameraextension.systemextension";
  }
  void writeInfo(const std::string& text) const {
    std::filesystem::create_directories(service());
    std::ofstream(service() / "Info.json", std::ios::trunc) << text;
  }
  void writeVersion(const std::string& shortVersion, const std::string& version) const {
    writeInfo(
        "{\"CFBundleIdentifier\": \"velkari.tovrelle.cameraextension\", \"CFBundleExecutable\": "
        "\"tovrelle-camera-extension\", \"CFBundleShortVersionString\": \"" +
        shortVersion + "\", \"CFBundleVersion\": \"" + version + "\"}");
  }

 private:
  std::filesystem::path root_;
};

// Collects log records while alive.
class LogRecorder {
 public:
  LogRecorder() {
    log::setSink([this](const log::Record& r) {
      std::lock_guard lock(mutex_);
      records_.push_back(r);
    });
  }
  ~LogRecorder() { log::setSink(nullptr); }

  // Lines of the installer's category, in order (at `level` when given).
  std::vector<std::string> installerLines(std::optional<log::Level> level = std::nullopt) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (auto& r : records_)
      if (r.subsystem == "ossel.tovrelle" && r.category == "CameraServiceInstaller" && (!level || r.level == *level))
        out.push_back(r.message);
    return out;
  }
  int count(const std::string& message, std::optional<log::Level> level = std::nullopt) const {
    const auto lines = installerLines(level);
    return static_cast<int>(std::count(lines.begin(), lines.end(), message));
  }
  bool contains(const std::string& part) const {
    std::lock_guard lock(mutex_);
    for (auto& r : records_)
      if (r.message.find(part) != std::string::npos) return true;
    return false;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<log::Record> records_;
};

// A whole file's bytes ("" when unreadable).
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tovrelle::test

#pragma once
// Shared pieces of the installer tests: a fake app bundle on disk and a log
// recorder.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/log/Log.h"

namespace tovrelle::test {

// A temporary app bundle (install prefix) whose embedded extension carries
// the given info dictionary text.
class FakeAppBundle {
 public:
  FakeAppBundle() {
    char tmpl[] = "/tmp/tovrelle-bundle-XXXXXX";
    root_ = ::mkdtemp(tmpl);
  }
  ~FakeAppBundle() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FakeAppBundle(const FakeAppBundle&) = delete;
  FakeAppBundle& operator=(const FakeAppBundle&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path extension() const {
    return root_ / "lib/tovrelle/SystemExtensions/velkari.tovrelle.cameraextension.systemextension";
  }

  void writeInfo(const std::string& text) const {
    std::filesystem::create_directories(extension());
    std::ofstream(extension() / "Info.json", std::ios::trunc) << text;
  }
  static std::string info(const std::string& shortVersion, const std::string& version) {
    return std::string("{\"CFBundleIdentifier\": \"velkari.tovrelle.cameraextension\", ") +
           "\"CFBundleExecutable\": \"tovrelle-camera-extension\", " + "\"CFBundleShortVersionString\": \"" +
           shortVersion + "\", \"CFBundleVersion\": \"" + version + "\"}";
  }
  void writeVersion(const std::string& shortVersion, const std::string& version) const {
    writeInfo(info(shortVersion, version));
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

  std::vector<log::Record> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  // Lines of the installer's category, in order.
  std::vector<std::string> installerLines() const {
    std::vector<std::string> out;
    for (auto& r : records())
      if (r.subsystem == "ossel.tovrelle" && r.category == "SystemExtensionInstaller") out.push_back(r.message);
    return out;
  }
  int count(const std::string& message, std::optional<log::Level> level = std::nullopt) const {
    int n = 0;
    for (auto& r : records())
      if (r.subsystem == "ossel.tovrelle" && r.category == "SystemExtensionInstaller" && r.message == message &&
          (!level || r.level == *level))
        ++n;
    return n;
  }
  bool contains(const std::string& part) const {
    for (auto& r : records())
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

}  // namespace tovrelle::test

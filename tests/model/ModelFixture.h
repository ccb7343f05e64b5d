#pragma once
// A fresh data folder, settings file and log capture per test, a manual main
// queue for the heartbeat, and the two model objects wired to each other the
// way the shared instances are.
#include <gtest/gtest.h>

#include <QObject>

#include <sys/mount.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/model/Settings.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"
#include "tests/fakes/ManualDispatch.h"

namespace tovrelle::test {

namespace fs = std::filesystem;

// Set by main() when the tests run in a mount namespace of their own (root).
extern bool gPrivateMounts;

class ModelFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovrelle-model-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    data_ = root_ / "data";
    ::setenv(kDataDirEnv, data_.c_str(), 1);
    settingsFile_ = root_ / "settings.ini";
    settings_ = std::make_unique<Settings>(QString::fromStdString(settingsFile_.string()));
    log::setSink([this](const log::Record& record) {
      std::lock_guard lock(linesMutex_);
      lines_.push_back(record.message);
      if (events_) events_->push_back("log " + record.message);
    });
  }

  void TearDown() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    log::setSink(nullptr);
    images_.reset();
    camera_.reset();
    settings_.reset();
    ::unsetenv(kDataDirEnv);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  Settings& settings() { return *settings_; }

  CameraManager& camera() {
    if (!camera_)
      camera_ = std::make_unique<CameraManager>(
          CameraManager::Dependencies{mainQueue_, [this]() -> ImageManager& { return images(); }, settings_.get()});
    return *camera_;
  }

  ImageManager& images() {
    if (!images_)
      images_ = std::make_unique<ImageManager>(
          ImageManager::Dependencies{mainQueue_, [this]() -> CameraManager& { return camera(); }});
    return *images_;
  }

  // The data folder made read-only (a read-only bind mount of itself), or
  // writable again. Root only: chmod does not stop root.
  void setDataFolderReadOnly(bool readOnly) {
    fs::create_directories(data_);
    if (std::find(mounts_.begin(), mounts_.end(), data_) == mounts_.end()) {
      ASSERT_EQ(::mount(data_.c_str(), data_.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
      mounts_.push_back(data_);
    }
    const unsigned long flags = MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0);
    ASSERT_EQ(::mount(nullptr, data_.c_str(), nullptr, flags, nullptr), 0) << std::strerror(errno);
  }

  // The data folder on a file system of `bytes`, to be filled by the test.
  void putDataFolderOnSmallDisk(size_t bytes) {
    fs::create_directories(data_);
    const std::string options = "size=" + std::to_string(bytes);
    ASSERT_EQ(::mount("tovrelle-test", data_.c_str(), "tmpfs", 0, options.c_str()), 0) << std::strerror(errno);
    mounts_.push_back(data_);
  }

  // Takes every free byte of the data folder's disk; removing the file frees it.
  fs::path fillDataFolder() {
    const fs::path filler = data_ / "filler";
    std::ofstream out(filler, std::ios::binary);
    const std::string block(4096, 'x');
    while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) out.flush();
    out.close();
    // The last partial block, byte by byte.
    for (std::ofstream tail(filler, std::ios::binary | std::ios::app); tail.put('x') && tail.flush();) {
    }
    return filler;
  }

  // Log lines since the last call.
  std::vector<std::string> takeLines() {
    std::lock_guard lock(linesMutex_);
    return std::exchange(lines_, {});
  }

  static int countStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (auto& line : lines) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  static std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  static void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // The inode changes whenever the file is replaced by an atomic write.
  static ino_t inodeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  // What another process reading the settings file would find.
  std::optional<std::string> storedDefault(const char* key) const {
    settings_->sync();
    std::ifstream in(settingsFile_);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(std::string(key) + "=", 0) == 0) return line.substr(std::strlen(key) + 1);
    return std::nullopt;
  }

  // Records every published notification of both managers, with the value an
  // observer reads at that moment, into `events` (log lines go there too).
  void observe(std::vector<std::string>& events) {
    camera();
    images();
    events_ = &events;
    auto on = [&events](auto* sender, auto signal, std::string what, std::function<std::string()> value) {
      QObject::connect(sender, signal, [&events, what, value] { events.push_back(what + value()); });
    };
    auto mode = [this] { return std::string(rawValue(camera().currentMode())); };
    auto image = [this] { return describe(camera().selectedImageId()); };
    auto cam = [this] { return describe(camera().selectedCameraId()); };
    auto count = [this] { return std::to_string(images().savedImages().size()); };
    on(&camera(), &CameraManager::currentModeWillChange, "will mode=", mode);
    on(&camera(), &CameraManager::currentModeChanged, "did mode=", mode);
    on(&camera(), &CameraManager::selectedImageIdWillChange, "will image=", image);
    on(&camera(), &CameraManager::selectedImageIdChanged, "did image=", image);
    on(&camera(), &CameraManager::selectedCameraIdWillChange, "will camera=", cam);
    on(&camera(), &CameraManager::selectedCameraIdChanged, "did camera=", cam);
    on(&images(), &ImageManager::savedImagesWillChange, "will images=", count);
    on(&images(), &ImageManager::savedImagesChanged, "did images=", count);
  }

  // A small picked file outside the data folder.
  fs::path pickedFile(const std::string& name, const std::string& bytes = "\x89PNG\r\n\x1a\n-picture-bytes") {
    fs::path path = root_ / "picked" / name;
    writeFile(path, bytes);
    return path;
  }

  ManualScheduler scheduler_;
  std::shared_ptr<ManualQueue> mainQueue_ = scheduler_.makeQueue("main");
  fs::path root_;
  fs::path data_;
  fs::path settingsFile_;
  std::unique_ptr<Settings> settings_;
  std::unique_ptr<CameraManager> camera_;
  std::unique_ptr<ImageManager> images_;
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
  std::vector<std::string>* events_ = nullptr;
  std::vector<fs::path> mounts_;
};

#define REQUIRE_PRIVATE_MOUNTS() \
  if (!gPrivateMounts) GTEST_SKIP() << "needs root for a mount namespace of its own"

}  // namespace tovrelle::test

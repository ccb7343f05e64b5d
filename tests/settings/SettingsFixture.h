#pragma once
// A fresh data folder and settings file per test, the two host model objects
// wired as in the app, and helpers to make real picture files.
#include <gtest/gtest.h>

#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QString>

#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/model/Settings.h"
#include "shared/CameraState.h"
#include "shared/DataFolder.h"
#include "tests/fakes/ManualDispatch.h"

namespace tovrelle::test {

namespace fs = std::filesystem;

class SettingsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovrelle-settings-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    data_ = root_ / "data";
    ::setenv(kDataDirEnv, data_.c_str(), 1);
    settings_ = std::make_unique<Settings>(QString::fromStdString((root_ / "settings.ini").string()));
  }

  void TearDown() override {
    // Widgets first: they observe the managers.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    images_.reset();
    camera_.reset();
    settings_.reset();
    ::unsetenv(kDataDirEnv);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

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

  // A real picture file outside the data folder, filled with `color`.
  fs::path picture(const std::string& name, const QColor& color, QSize size = {64, 48}, const char* format = nullptr) {
    fs::path path = root_ / "picked" / name;
    fs::create_directories(path.parent_path());
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    EXPECT_TRUE(image.save(QString::fromStdString(path.string()), format)) << name;
    return path;
  }

  // The library as another process reads it.
  std::vector<SavedImage> storedLibrary() const {
    auto bytes = readFile(imagesFilePath());
    auto decoded = bytes ? decodeSavedImages(*bytes) : std::vector<SavedImage>{};
    EXPECT_TRUE(decoded) << decoded.error();
    return decoded.valueOr({});
  }

  std::vector<std::string> storedNames() const {
    std::vector<std::string> names;
    for (const auto& image : storedLibrary()) names.push_back(image.name);
    return names;
  }

  static std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Changes whenever the file is replaced by an atomic write.
  static ino_t inodeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  ManualScheduler scheduler_;
  std::shared_ptr<ManualQueue> mainQueue_ = scheduler_.makeQueue("main");
  fs::path root_;
  fs::path data_;
  std::unique_ptr<Settings> settings_;
  std::unique_ptr<CameraManager> camera_;
  std::unique_ptr<ImageManager> images_;
};

}  // namespace tovrelle::test

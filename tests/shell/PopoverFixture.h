#pragma once
// The popover's model objects on fakes: a data folder and settings file of the
// test's own, a manual main queue, a manual capture queue for the preview, a
// manual discovery queue, the fake capture service, the fake extension
// machinery and a recording address opener. Log lines are collected.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QImage>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/installer/CameraServiceInstaller.h"
#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraFeedStatus.h"
#include "app/model/CameraManager.h"
#include "app/model/CameraPermission.h"
#include "app/model/ImageManager.h"
#include "app/model/PreviewRenderer.h"
#include "app/model/Settings.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"
#include "tests/fakes/FakeCameraFeed.h"
#include "tests/fakes/FakeCameraService.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/ManualDispatch.h"
#include "tests/shell/RecordingOpener.h"

namespace tovrelle::test {

class PopoverFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    ::setenv(kDataDirEnv, tmp_.filePath("data").toLocal8Bit().constData(), 1);
    settings_ = std::make_unique<Settings>(tmp_.filePath("settings.ini"));
    log::setSink([this](const log::Record& record) {
      std::lock_guard lock(linesMutex_);
      lines_.push_back(record.message);
    });
    capture_->setCaptureQueue(captureQueue_);
  }

  void TearDown() override {
    preview_.reset();
    cameraFeed_.reset();
    installer_.reset();
    permission_.reset();
    devices_.reset();
    images_.reset();
    camera_.reset();
    log::setSink(nullptr);
    ::unsetenv(kDataDirEnv);
    settings_.reset();
  }

  Settings& settings() { return *settings_; }

  CameraManager& camera() {
    if (!camera_)
      camera_ = std::make_unique<CameraManager>(
          CameraManager::Dependencies{main_, [this]() -> ImageManager& { return images(); }, settings_.get()});
    return *camera_;
  }
  ImageManager& images() {
    if (!images_)
      images_ = std::make_unique<ImageManager>(
          ImageManager::Dependencies{main_, [this]() -> CameraManager& { return camera(); }});
    return *images_;
  }
  PreviewRenderer& preview() {
    if (!preview_)
      preview_ = std::make_unique<PreviewRenderer>(PreviewRenderer::Dependencies{
          [this]() -> CameraManager& { return camera(); }, [this]() -> ImageManager& { return images(); }, capture_,
          main_, captureQueue_});
    return *preview_;
  }
  CameraDeviceManager& devices() {
    if (!devices_)
      devices_ = std::make_unique<CameraDeviceManager>(CameraDeviceManager::Dependencies{capture_, main_, discovery_});
    return *devices_;
  }
  CameraFeedStatus& cameraFeed() {
    if (!cameraFeed_)
      cameraFeed_ =
          std::make_unique<CameraFeedStatus>(CameraFeedStatus::Dependencies{&camera(), &devices(), feed_, main_});
    return *cameraFeed_;
  }
  CameraPermission& permission() {
    if (!permission_)
      permission_ = std::make_unique<CameraPermission>(CameraPermission::Dependencies{capture_, opener_});
    return *permission_;
  }
  CameraServiceInstaller& installer() {
    if (!installer_)
      installer_ = CameraServiceInstaller::create(
          {service_, main_, tmp_.filePath("bundle").toStdString(), [](const char* key) { return QString(key); }});
    return *installer_;
  }

  // Picks `camera` in the camera manager the way the popover's menu does.
  void select(const std::optional<std::string>& cameraId) {
    camera().setSelectedCameraId(cameraId);
    camera().writeState();
  }

  // Adds a library entry named `name` through the library's own operation (so
  // its change is published), from a picked file holding `bytes`, or `picture` as PNG.
  Uuid addLibraryFile(const std::string& name, const std::string& bytes, const QImage& picture = {}) {
    const auto picked = std::filesystem::path(tmp_.filePath(QString::fromStdString(name + ".png")).toStdString());
    if (picture.isNull())
      std::ofstream(picked, std::ios::binary) << bytes;
    else
      EXPECT_TRUE(picture.save(QString::fromStdString(picked.string()), "PNG"));
    const size_t before = images().savedImages().size();
    images().addImage(picked);
    EXPECT_EQ(images().savedImages().size(), before + 1);
    return images().savedImages().back().id;
  }
  Uuid addLibraryPicture(const std::string& name, const QImage& picture) { return addLibraryFile(name, {}, picture); }

  static QImage solid(int width, int height, QColor color) {
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(color);
    return picture;
  }

  // "state.json" as the extension would read it.
  static std::string readState() {
    std::ifstream in(stateFilePath(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::vector<std::string> takeLines() {
    std::lock_guard lock(linesMutex_);
    return std::exchange(lines_, {});
  }
  static int countStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& line : lines) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  QTemporaryDir tmp_;
  ManualScheduler scheduler_;
  std::shared_ptr<ManualQueue> main_ = scheduler_.makeQueue("main");
  std::shared_ptr<ManualQueue> captureQueue_ = scheduler_.makeQueue(PreviewRenderer::kCaptureQueueLabel);
  std::shared_ptr<ManualQueue> discovery_ = scheduler_.makeQueue(CameraDeviceManager::kDiscoveryQueueLabel);
  std::shared_ptr<FakeCaptureDevices> capture_ = std::make_shared<FakeCaptureDevices>();
  std::shared_ptr<FakeCameraService> service_ = std::make_shared<FakeCameraService>(main_);
  std::shared_ptr<test::RecordingOpener> opener_ = std::make_shared<test::RecordingOpener>();
  // What the camera service says of the passed-through camera; answers on the main queue.
  std::shared_ptr<FakeCameraFeed> feed_ = std::make_shared<FakeCameraFeed>(main_);

  std::unique_ptr<Settings> settings_;

  std::unique_ptr<CameraManager> camera_;
  std::unique_ptr<ImageManager> images_;
  std::unique_ptr<PreviewRenderer> preview_;
  std::unique_ptr<CameraDeviceManager> devices_;
  std::unique_ptr<CameraPermission> permission_;
  std::unique_ptr<CameraFeedStatus> cameraFeed_;
  std::shared_ptr<CameraServiceInstaller> installer_;

 private:
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
};

}  // namespace tovrelle::test

// `tovrelle --camera-status` as a terminal shows it: one line with the
// PipeWire camera's state first (scripts read its first word and the exit
// status) and the /dev/video device's after it, printed once both looks end.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <optional>

#include "app/shell/CameraServiceCommand.h"
#include "tests/fakes/FakeVideoDevices.h"
#include "tests/settings/general/WindowsTestSupport.h"

using namespace tovrelle;
using Fake = test::FakeCameraService;
using videodevice::ServiceOutput;

namespace {

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "camera_status_line_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* instance = new QCoreApplication(argc, argv);
  return *instance;
}

class CameraStatusLine : public ::testing::Test {
 protected:
  void SetUp() override { app(); }

  struct Printed {
    int exitCode = -1;
    QString line;
  };

  std::optional<Printed> status(const userservice::Installed& installed, const videodevice::Report& device) {
    rig.service->scriptNextLook(Fake::found(installed));
    devices->report = device;
    std::optional<Printed> printed;
    camera_service_command::run(camera_service_command::Command::status, *rig.installer, &video,
                                [&](int code, const QString& line) {
                                  printed = Printed{code, line};
                                });
    rig.run();
    return printed;
  }

  static userservice::Installed running() { return Fake::copy("1.0.0", "1", true); }

  test::InstallerRig rig;
  std::shared_ptr<test::FakeVideoDevices> devices = std::make_shared<test::FakeVideoDevices>(rig.main);
  VideoDeviceStatus video{{devices, rig.main}};
};

TEST_F(CameraStatusLine, BothOutputsOnOneLine) {
  auto printed = status(running(), test::video_reports::streaming("/dev/video4", ServiceOutput::reading));
  ASSERT_TRUE(printed);
  EXPECT_EQ(printed->line,
            "activated: the Tovrelle camera is published and starts when you log in; /dev/video: /dev/video4, an app "
            "reads it");
  EXPECT_EQ(printed->exitCode, 0);
}

TEST_F(CameraStatusLine, TheExitStatusStaysThePipeWireCamerasWhateverTheDevice) {
  auto printed = status(running(), test::video_reports::moduleMissing());
  ASSERT_TRUE(printed);
  EXPECT_EQ(printed->line,
            "activated: the Tovrelle camera is published and starts when you log in; /dev/video: v4l2loopback is not "
            "installed (install the package v4l2loopback-dkms)");
  EXPECT_EQ(printed->exitCode, 0);

  printed = status(Fake::nothing(), test::video_reports::streaming("/dev/video4", ServiceOutput::busy));
  ASSERT_TRUE(printed);
  EXPECT_TRUE(printed->line.startsWith("idle: ")) << printed->line.toStdString();
  EXPECT_TRUE(
      printed->line.endsWith("; /dev/video: /dev/video4 is held by another program; only PipeWire apps see "
                             "Tovrelle"))
      << printed->line.toStdString();
  EXPECT_EQ(printed->exitCode, 1);
}

TEST_F(CameraStatusLine, OtherProgramsDevicesAndWhatToRun) {
  auto printed = status(running(), test::video_reports::othersOnly({"Stream Cam"}));
  ASSERT_TRUE(printed);
  EXPECT_TRUE(printed->line.endsWith(
      "/dev/video: v4l2loopback was loaded by another program with its own devices (Stream Cam), which Tovrelle never "
      "uses; to add Tovrelle's: sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback devices=2 "
      "exclusive_caps=1,1 'card_label=Tovrelle,Stream Cam'"))
      << printed->line.toStdString();
}

TEST_F(CameraStatusLine, WaitsForTheSlowerLook) {
  // The device's look answers on a queue of its own, after the installer's.
  test::ManualScheduler deviceSide;
  auto slow = std::make_shared<test::FakeVideoDevices>(deviceSide.makeQueue("video"));
  slow->report = test::video_reports::notLoaded();
  VideoDeviceStatus slowVideo({slow, rig.main});
  rig.service->scriptNextLook(Fake::found(running()));
  std::optional<QString> line;
  camera_service_command::run(camera_service_command::Command::status, *rig.installer, &slowVideo,
                              [&](int, const QString& l) { line = l; });
  rig.run();
  EXPECT_FALSE(line) << "printed before the device was looked at";
  deviceSide.drainAll();
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->startsWith("activated: ")) << line->toStdString();
  EXPECT_TRUE(line->contains("v4l2loopback is installed but not loaded")) << line->toStdString();
}

}  // namespace

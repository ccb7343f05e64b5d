// The /dev/video output's state as the app names it, on the fake video
// device service and a manual main queue: what each report means, loading
// the module, and looking again only while a window watches.
#include <gtest/gtest.h>

#include "app/model/VideoDeviceStatus.h"
#include "tests/fakes/FakeVideoDevices.h"
#include "tests/fakes/ManualDispatch.h"

using namespace tovrelle;
using namespace tovrelle::test;
using State = VideoDeviceStatus::State;
using videodevice::LoadOutcome;
using videodevice::ServiceOutput;

namespace {

class VideoDeviceStatusTest : public ::testing::Test {
 protected:
  ManualScheduler scheduler;
  std::shared_ptr<ManualQueue> main = scheduler.makeQueue("main");
  std::shared_ptr<FakeVideoDevices> devices = std::make_shared<FakeVideoDevices>(main);
  VideoDeviceStatus status{{devices, main}};
  int changes = 0;
  QMetaObject::Connection counting = QObject::connect(&status, &VideoDeviceStatus::changed, [this] { ++changes; });

  State lookAt(const videodevice::Report& report) {
    devices->report = report;
    status.refresh();
    scheduler.drainAll();
    return status.state();
  }
};

TEST_F(VideoDeviceStatusTest, UnknownUntilTheFirstLookAnswers) {
  EXPECT_EQ(status.state(), State::unknown);
  status.refresh();
  EXPECT_EQ(status.state(), State::unknown);
  scheduler.drainAll();
  EXPECT_EQ(status.state(), State::moduleMissing);
  EXPECT_EQ(changes, 1);
}

TEST_F(VideoDeviceStatusTest, TheKernelSideWhenTheServiceHasNoDevice) {
  EXPECT_EQ(lookAt(video_reports::moduleMissing()), State::moduleMissing);
  EXPECT_EQ(lookAt(video_reports::notLoaded()), State::notLoaded);
  EXPECT_EQ(lookAt(video_reports::othersOnly({"Stream Cam", "Desk"})), State::othersOnly);
  EXPECT_EQ(status.otherLabels(), (QStringList{"Stream Cam", "Desk"}));
  EXPECT_EQ(status.device(), "");
  // Loaded with no device at all is the same case: there is none of Tovrelle's.
  EXPECT_EQ(lookAt(video_reports::othersOnly({})), State::othersOnly);
}

TEST_F(VideoDeviceStatusTest, TheServicesWordDecidesOnceItHasOne) {
  const std::pair<ServiceOutput, State> cases[] = {
      {ServiceOutput::ready, State::ready},     {ServiceOutput::reading, State::reading},
      {ServiceOutput::busy, State::busy},       {ServiceOutput::failed, State::failed},
      {ServiceOutput::refused, State::refused}, {ServiceOutput::disabled, State::disabled}};
  for (auto [output, state] : cases) {
    SCOPED_TRACE(VideoDeviceStatus::name(state));
    EXPECT_EQ(lookAt(video_reports::streaming("/dev/video4", output)), state);
    EXPECT_EQ(status.device(), "/dev/video4");
  }
}

TEST_F(VideoDeviceStatusTest, TovrellesDeviceWithoutAServiceWritingToIt) {
  auto report = video_reports::streaming("/dev/video5", ServiceOutput::unknown);
  report.serviceRunning = false;
  EXPECT_EQ(lookAt(report), State::waitingForService);
  EXPECT_EQ(status.device(), "/dev/video5");
  // The device just appeared; the service says so within seconds.
  report.serviceRunning = true;
  report.output = ServiceOutput::noDevice;
  report.outputDevice.clear();
  EXPECT_EQ(lookAt(report), State::waitingForService);
  // A service that predates the output never will.
  report.output = ServiceOutput::unknown;
  EXPECT_EQ(lookAt(report), State::serviceTooOld);
}

TEST_F(VideoDeviceStatusTest, ATovrelleLabelOnAnotherDriverIsRefused) {
  videodevice::Report report;
  report.devices = {{"/dev/video3", "Tovrelle", false}};
  EXPECT_EQ(lookAt(report), State::refused);
}

TEST_F(VideoDeviceStatusTest, AddingTovrellesDeviceKeepsTheOthersLabels) {
  lookAt(video_reports::othersOnly({"Stream Cam", "Desk,Left"}));
  EXPECT_EQ(status.addDeviceCommand(),
            "sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback devices=3 exclusive_caps=1,1,1 "
            "'card_label=Tovrelle,Stream Cam,Desk Left'");
  lookAt(video_reports::othersOnly({}));
  EXPECT_EQ(status.addDeviceCommand(),
            "sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback devices=1 exclusive_caps=1 "
            "card_label=Tovrelle");
  // A module with a control device adds one without a reload.
  auto report = video_reports::othersOnly({"Stream Cam"});
  report.canAddDevices = true;
  lookAt(report);
  EXPECT_EQ(status.addDeviceCommand(), "sudo v4l2loopback-ctl add -n Tovrelle -x 1");
}

TEST_F(VideoDeviceStatusTest, ALabelCannotBreakOutOfTheCommand) {
  lookAt(video_reports::othersOnly({"it's; rm -rf ~"}));
  EXPECT_EQ(status.addDeviceCommand(),
            "sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback devices=2 exclusive_caps=1,1 "
            "'card_label=Tovrelle,it'\\''s; rm -rf ~'");
}

TEST_F(VideoDeviceStatusTest, LoadingShowsUntilItEndsThenLooksAgain) {
  lookAt(video_reports::notLoaded());
  status.loadModule();
  EXPECT_EQ(status.state(), State::loading);
  status.loadModule();
  EXPECT_EQ(devices->pendingLoads(), 1u) << "one prompt at a time";
  devices->report = video_reports::streaming("/dev/video2", ServiceOutput::ready);
  const int looksBefore = devices->looks;
  devices->finishLoad(LoadOutcome::loaded);
  scheduler.drainAll();
  EXPECT_EQ(devices->looks, looksBefore + 1);
  EXPECT_EQ(status.state(), State::ready);
  EXPECT_EQ(status.loadFailure(), "");
}

TEST_F(VideoDeviceStatusTest, ADismissedPromptLeavesItAsItWas) {
  lookAt(video_reports::notLoaded());
  status.loadModule();
  devices->finishLoad(LoadOutcome::cancelled);
  scheduler.drainAll();
  EXPECT_EQ(status.state(), State::notLoaded);
  EXPECT_EQ(status.loadFailure(), "");
}

TEST_F(VideoDeviceStatusTest, AFailedLoadIsKeptUntilTheNextTry) {
  lookAt(video_reports::notLoaded());
  status.loadModule();
  devices->finishLoad(LoadOutcome::failed, "modprobe: FATAL: Module v4l2loopback not found");
  scheduler.drainAll();
  EXPECT_EQ(status.state(), State::notLoaded);
  EXPECT_EQ(status.loadFailure(), "modprobe: FATAL: Module v4l2loopback not found");
  lookAt(video_reports::notLoaded());
  EXPECT_EQ(status.loadFailure(), "modprobe: FATAL: Module v4l2loopback not found");
  status.loadModule();
  EXPECT_EQ(status.loadFailure(), "");
}

TEST_F(VideoDeviceStatusTest, LooksAgainOnlyWhileWatched) {
  auto first = status.watch();
  scheduler.drainAll();
  EXPECT_EQ(devices->looks, 1) << "a window that starts watching sees the state at once";
  auto second = status.watch();
  scheduler.advance(VideoDeviceStatus::kWatchInterval * 2);
  EXPECT_EQ(devices->looks, 3);
  first.reset();
  scheduler.advance(VideoDeviceStatus::kWatchInterval);
  EXPECT_EQ(devices->looks, 4) << "one window still watches";
  second.reset();
  scheduler.advance(VideoDeviceStatus::kWatchInterval * 3);
  EXPECT_EQ(devices->looks, 4);
}

TEST_F(VideoDeviceStatusTest, AnUnchangedLookIsNotAChange) {
  lookAt(video_reports::streaming("/dev/video4", ServiceOutput::ready));
  const int before = changes;
  lookAt(video_reports::streaming("/dev/video4", ServiceOutput::ready));
  EXPECT_EQ(changes, before);
  lookAt(video_reports::streaming("/dev/video4", ServiceOutput::reading));
  EXPECT_EQ(changes, before + 1);
}

}  // namespace

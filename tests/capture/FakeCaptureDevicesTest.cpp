// The fake has to behave like the real service where callers depend on it:
// notifications after the list changed, late frames replaced rather than
// queued, nothing delivered after stopRunning.
#include <gtest/gtest.h>

#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/ManualDispatch.h"

using namespace tovrelle;
using namespace tovrelle::test;

TEST(FakeCaptureDevices, NotifiesAfterTheListChanged) {
  FakeCaptureDevices fake;
  std::vector<std::pair<capture::DeviceEvent, size_t>> seen;
  auto sub = fake.subscribe([&](capture::DeviceEvent e, const capture::DeviceInfo&) {
    seen.emplace_back(e, fake.devices().size());
  });
  fake.addDevice("cam-a", "Desk Camera");
  fake.addDevice("tov", "Tovrelle");
  fake.removeDevice("cam-a");
  fake.removeDevice("cam-a");  // gone already: no event
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(capture::DeviceEvent::connected, size_t{1}));
  EXPECT_EQ(seen[1], std::make_pair(capture::DeviceEvent::connected, size_t{2}));
  EXPECT_EQ(seen[2], std::make_pair(capture::DeviceEvent::disconnected, size_t{1}));
  EXPECT_EQ(fake.deviceWithUniqueId("tov")->localizedName, "Tovrelle");
  EXPECT_FALSE(fake.deviceWithUniqueId("cam-a"));
  sub.reset();
  fake.addDevice("cam-b", "B");
  EXPECT_EQ(seen.size(), 3u);
}

TEST(FakeCaptureDevices, AnswersAccessRequestsAsScripted) {
  FakeCaptureDevices fake;
  fake.setAuthorizationStatus(capture::AuthorizationStatus::notDetermined);
  fake.setAccessAnswer(std::nullopt);
  std::optional<bool> answer;
  fake.requestAccess([&](bool granted) { answer = granted; });
  EXPECT_FALSE(answer);
  EXPECT_EQ(fake.pendingRequestCount(), 1u);
  fake.answerPendingRequests(false);
  EXPECT_EQ(answer, false);
  EXPECT_EQ(fake.authorizationStatus(), capture::AuthorizationStatus::denied);
  fake.setAccessAnswer(true);
  fake.requestAccess([&](bool granted) { answer = granted; });
  EXPECT_EQ(answer, true);
  EXPECT_EQ(fake.authorizationStatus(), capture::AuthorizationStatus::authorized);
  EXPECT_EQ(fake.accessRequestCount(), 2);
}

TEST(FakeCaptureDevices, InputsFailForUnknownOrScriptedCameras) {
  FakeCaptureDevices fake;
  auto cam = fake.addDevice("cam-a", "A");
  EXPECT_TRUE(fake.makeInput(cam).input);
  fake.failInput("cam-a", "device busy");
  auto failed = fake.makeInput(cam);
  EXPECT_FALSE(failed.input);
  EXPECT_EQ(failed.error, "device busy");
  fake.failInput("cam-a", "");
  fake.removeDevice("cam-a");
  EXPECT_FALSE(fake.makeInput(cam).input);
  fake.setCanAddInput(false);
  fake.setCanAddOutput(false);
  auto session = fake.makeSession();
  EXPECT_FALSE(session->canAddInput(FakeDeviceInput(cam)));
  EXPECT_FALSE(session->canAddOutput(capture::VideoOutput{}));
}

TEST(FakeCaptureDevices, DeliversOnlyTheNewestWaitingFrameAndNothingAfterStop) {
  ManualScheduler scheduler;
  auto captureQueue = scheduler.makeQueue("capture");
  auto callbackQueue = scheduler.makeQueue("callback");
  FakeCaptureDevices fake;
  fake.setCaptureQueue(captureQueue);
  auto cam = fake.addDevice("cam-a", "A");

  auto session = fake.makeSession();
  session->setPreset(1280, 720);
  session->addInput(fake.makeInput(cam).input);
  auto output = std::make_shared<capture::VideoOutput>();
  std::vector<uint64_t> got;
  output->callbackQueue = callbackQueue;
  output->onFrame = [&](const capture::SampleBuffer& s) {
    ASSERT_TRUE(s.image);
    EXPECT_EQ(s.image->row(10)[2], 200);  // red
    got.push_back(s.sequence);
  };
  session->addOutput(output);
  EXPECT_EQ(fake.pushFrame("cam-a", FakeCaptureDevices::makeFrame(0, 0, 0, 200)), 0);  // not running yet
  captureQueue->sync([&] { session->startRunning(); });
  auto record = fake.sessions().at(0);
  EXPECT_EQ(record->startedOnCaptureQueue, true);
  EXPECT_EQ(record->presetWidth, 1280);

  for (uint64_t i = 1; i <= 3; ++i) fake.pushFrame("cam-a", FakeCaptureDevices::makeFrame(i, 0, 0, 200));
  callbackQueue->drain();
  EXPECT_EQ(got, std::vector<uint64_t>{3});
  EXPECT_EQ(record->droppedLate, 2);

  fake.pushFrame("cam-a", FakeCaptureDevices::makeFrame(4, 0, 0, 200));
  session->stopRunning();
  callbackQueue->drain();
  EXPECT_EQ(got, std::vector<uint64_t>{3});
  EXPECT_EQ(record->stops(), 1);

  session.reset();
  EXPECT_TRUE(record->isDestroyed());
}

TEST(FakeCaptureDevices, RemovingACameraInterruptsItsRunningSessionsOnce) {
  ManualScheduler scheduler;
  auto callbackQueue = scheduler.makeQueue("callback");
  FakeCaptureDevices fake;
  auto cam = fake.addDevice("cam-a", "A");
  auto session = fake.makeSession();
  session->addInput(fake.makeInput(cam).input);
  auto output = std::make_shared<capture::VideoOutput>();
  std::vector<std::string> reasons;
  int frames = 0;
  output->callbackQueue = callbackQueue;
  output->onFrame = [&](const capture::SampleBuffer&) { ++frames; };
  output->onInterrupted = [&](const std::string& reason) { reasons.push_back(reason); };
  session->addOutput(output);
  session->startRunning();
  fake.pushFrame("cam-a", FakeCaptureDevices::makeFrame(1));
  fake.removeDevice("cam-a");
  callbackQueue->drain();
  EXPECT_EQ(frames, 0);  // the waiting frame went with the camera
  EXPECT_EQ(reasons, std::vector<std::string>{"the camera went away"});
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(fake.interrupt("cam-a", "again"), 0);
}

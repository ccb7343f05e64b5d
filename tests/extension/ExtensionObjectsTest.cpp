// The provider, device and stream objects: what they publish about the
// camera, the property answers clients get, and the fatal start-up path.
#include <gtest/gtest.h>

#include <mutex>

#include "extension/ExtensionProvider.h"
#include "platform/log/Log.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/FakeVirtualCamera.h"
#include "tests/fakes/ManualDispatch.h"

using namespace tovrelle;
using namespace tovrelle::extension;

namespace {

class ExtensionObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    log::setSink([this](const log::Record& r) {
      std::lock_guard lock(mutex);
      records.push_back(r);
    });
    deps.mainQueue = scheduler.makeQueue("main");
    deps.timerQueue = scheduler.makeQueue(kTimerQueueLabel);
    deps.captureQueue = scheduler.makeQueue(kCaptureQueueLabel);
    deps.sink = sink;
    deps.captureDevices = std::make_shared<test::FakeCaptureDevices>();
  }
  void TearDown() override { log::setSink(nullptr); }

  test::ManualScheduler scheduler;
  std::shared_ptr<test::ManualQueue> client = scheduler.makeQueue("client");
  std::shared_ptr<test::FakeVirtualCamera> sink = std::make_shared<test::FakeVirtualCamera>();
  StreamSource::Dependencies deps;
  std::mutex mutex;
  std::vector<log::Record> records;
};

TEST_F(ExtensionObjects, StartServicePublishesTheFixedIdentityAndFormat) {
  auto provider = ExtensionProvider::create(client, deps);
  ASSERT_TRUE(provider);
  EXPECT_FALSE(sink->published());
  ExtensionProvider::startService(*provider);
  ASSERT_TRUE(sink->published());
  const auto d = sink->description();
  EXPECT_EQ(d.deviceName, "Tovrelle");
  EXPECT_EQ(d.streamName, "Tovrelle");
  EXPECT_EQ(d.model, "Tovrelle Model");
  EXPECT_EQ(d.manufacturer, "Velkari");
  EXPECT_EQ(d.deviceId, "3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5");
  EXPECT_EQ(d.streamId, "A86D2F14-9B3E-4C71-B0D5-62E8F1C47A3B");
  EXPECT_EQ(d.format.pixelFormat, 0x42475241u);
  EXPECT_EQ(d.format.width, 1280);
  EXPECT_EQ(d.format.height, 720);
  EXPECT_EQ(d.format.minFrameDuration, (camera::MediaTime{1, 30}));
  EXPECT_EQ(d.format.maxFrameDuration, (camera::MediaTime{1, 30}));
  EXPECT_EQ(sink->clientQueue(), client);

  // The object graph: one device with one stream, both with fixed ids.
  ASSERT_TRUE(provider->providerObject());
  ASSERT_EQ(provider->providerObject()->devices.size(), 1u);
  const auto& device = provider->device()->deviceObject();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->deviceID, deviceID());
  EXPECT_FALSE(device->legacyDeviceID);
  ASSERT_TRUE(device->stream);
  EXPECT_EQ(device->stream->streamObject()->streamID, streamID());
  EXPECT_EQ(device->stream->formats().size(), 1u);

  // A client's start request arrives on the client queue and starts streaming there.
  sink->clientStart();
  EXPECT_FALSE(device->stream->streaming());
  client->drain();
  EXPECT_TRUE(device->stream->streaming());
  sink->clientStop();
  client->drain();
  EXPECT_FALSE(device->stream->streaming());
  EXPECT_TRUE(records.size() > 0 && std::none_of(records.begin(), records.end(),
                                                  [](auto& r) { return r.level == log::Level::Error; }));
}

TEST_F(ExtensionObjects, RefusedStreamFormatStopsStartUpWithItsLine) {
  sink->refuseFormats();
  EXPECT_FALSE(ExtensionProvider::create(client, deps));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, log::Level::Error);
  EXPECT_EQ(records[0].message, "Failed to create stream format");
  EXPECT_EQ(records[0].category, "StreamSource");
  EXPECT_EQ(records[0].subsystem, "ossel.tovrelle");
}

}  // namespace

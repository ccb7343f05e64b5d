// The V4L2 output as a reader of /dev/videoN meets it, over a fake device:
// the pictures and colours readers get, the black stand-in while nobody
// sends, when the stream is asked to start and stop as readers come and go,
// and what happens when the device is missing, busy, vanishes or fails.
#include <gtest/gtest.h>

#include "platform/camera/CameraOutputs.h"
#include "platform/camera/FrameConversion.h"
#include "platform/camera/v4l2/LoopbackOutput.h"
#include "tests/fakes/FakeLoopbackPort.h"
#include "tests/fakes/FakeVirtualCamera.h"
#include "tests/fakes/ManualDispatch.h"

using namespace tovrelle;
using namespace std::chrono_literals;
using camera::v4l2::LoopbackOutput;
using camera::v4l2::LoopbackState;
using Outcome = camera::v4l2::LoopbackPort::Outcome;

namespace {

constexpr int kWidth = 64, kHeight = 36;

frames::ConstFrameBufferRef solid(int r, int g, int b) {
  auto buffer = frames::makeFrameBuffer(kWidth, kHeight);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = buffer->row(y) + x * 4;
      p[0] = static_cast<uint8_t>(b), p[1] = static_cast<uint8_t>(g), p[2] = static_cast<uint8_t>(r), p[3] = 255;
    }
  return buffer;
}

// The first two YUYV pixels of a solid colour.
std::vector<uint8_t> yuyv(int r, int g, int b) {
  const auto c = camera::yuvFromRGB(r, g, b);
  return {c.y, c.u, c.y, c.v, c.y, c.u, c.y, c.v};
}

bool near(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  for (size_t i = 0; i < want.size(); ++i)
    if (std::abs(int(got[i]) - int(want[i])) > 2) return false;
  return true;
}

struct Rig {
  test::FakeLoopbackPort::State port;
  test::ManualScheduler scheduler;
  std::shared_ptr<test::ManualQueue> client = scheduler.makeQueue("client");
  std::vector<std::pair<LoopbackState, std::string>> statuses;
  int starts = 0, stops = 0;
  std::unique_ptr<LoopbackOutput> output;
  LoopbackOutput::Clock::time_point now = LoopbackOutput::Clock::now();

  explicit Rig(std::deque<camera::v4l2::LoopbackPort::OpenResult> outcomes = {}) {
    port.outcomes = std::move(outcomes);
    camera::v4l2::LoopbackOptions options;
    options.ownThread = false;
    options.onStatus = [this](LoopbackState s, const std::string& node) { statuses.emplace_back(s, node); };
    output = std::make_unique<LoopbackOutput>(std::make_unique<test::FakeLoopbackPort>(&port), options);
    camera::DeviceDescription d;
    d.format = {frames::PixelFormat::bgra, kWidth, kHeight, camera::frameInterval(30), camera::frameInterval(30)};
    output->publish(d, client, {[this] { ++starts; }, [this] { ++stops; }});
  }

  // Runs the output's loop as its thread would, every 10 ms of test time.
  void run(std::chrono::milliseconds span, const std::function<void()>& eachTurn = {}) {
    for (auto end = now + span; now < end; now += 10ms) {
      if (eachTurn) eachTurn();
      output->step(now);
      client->drain();
    }
  }
  std::vector<LoopbackState> states() const {
    std::vector<LoopbackState> out;
    for (auto& s : statuses) out.push_back(s.first);
    return out;
  }
};

TEST(LoopbackOutput, ReadersGetEachPictureInItsColoursAndAStillPictureIsWrittenOnce) {
  Rig rig;
  rig.run(10ms);
  ASSERT_EQ(rig.output->state(), LoopbackState::ready);
  ASSERT_EQ(rig.statuses.front().second, "/dev/video7");
  ASSERT_EQ(rig.port.queued.size(), 1u) << "an opened device shows black at once";
  EXPECT_TRUE(near(rig.port.queued[0].bytes, yuyv(0, 0, 0)));
  rig.port.queued.clear();

  // Frames for a device nobody holds open are not written at all.
  auto red = solid(255, 0, 0);
  rig.run(1500ms, [&] { rig.output->queueFrame(red, 1000, 0); });
  ASSERT_FALSE(rig.port.queued.empty());
  for (auto& q : rig.port.queued) EXPECT_TRUE(near(q.bytes, yuyv(0, 0, 0)));
  rig.port.queued.clear();

  rig.port.readers = 1;
  rig.run(10ms);
  rig.port.queued.clear();
  rig.run(100ms, [&] { rig.output->queueFrame(red, 1000, 0); });
  ASSERT_GE(rig.port.queued.size(), 9u);
  for (auto& q : rig.port.queued) {
    EXPECT_TRUE(near(q.bytes, yuyv(255, 0, 0)));
    EXPECT_EQ(q.index, rig.port.queued.front().index) << "an unchanged picture is handed out again, not rewritten";
  }
  const int redIndex = rig.port.queued.front().index;

  // A new picture never lands in the buffer readers may still be reading.
  rig.port.queued.clear();
  auto blue = solid(0, 0, 255);
  rig.output->queueFrame(blue, 2000, 1);
  rig.run(10ms);
  ASSERT_EQ(rig.port.queued.size(), 1u);
  EXPECT_NE(rig.port.queued[0].index, redIndex);
  EXPECT_TRUE(near(rig.port.queued[0].bytes, yuyv(0, 0, 255)));
  EXPECT_EQ(rig.port.queued[0].stamp, 2000u);
  EXPECT_TRUE(near(std::vector<uint8_t>(rig.port.memory[redIndex].begin(), rig.port.memory[redIndex].begin() + 8),
                   yuyv(255, 0, 0)));

  // Camera frames without memory of their own are written each time they come.
  rig.port.queued.clear();
  auto green = solid(0, 255, 0);
  for (int i = 0; i < 3; ++i) {
    frames::VideoFrame lent = frames::VideoFrame::fromPicture(green);
    lent.storage.reset();
    lent.picture.reset();
    rig.output->queueFrame(lent, 3000 + i, 2 + i);
    rig.run(10ms);
  }
  ASSERT_EQ(rig.port.queued.size(), 3u);
  for (auto& q : rig.port.queued) EXPECT_TRUE(near(q.bytes, yuyv(0, 255, 0)));
  EXPECT_NE(rig.port.queued[0].index, rig.port.queued[1].index);
}

TEST(LoopbackOutput, WithNoSenderTheDeviceShowsBlackOnceASecondNeverTheLastPicture) {
  Rig rig;
  rig.run(3050ms);
  ASSERT_GE(rig.port.queued.size(), 3u);
  EXPECT_LE(rig.port.queued.size(), 4u) << "idle frames come about once a second";
  for (auto& q : rig.port.queued) EXPECT_TRUE(near(q.bytes, yuyv(0, 0, 0)));

  auto red = solid(255, 0, 0);
  rig.port.readers = 1;
  rig.run(200ms, [&] { rig.output->queueFrame(red, 1, 0); });
  ASSERT_TRUE(near(rig.port.queued.back().bytes, yuyv(255, 0, 0)));
  rig.port.queued.clear();
  rig.run(2500ms);  // the sender stops
  ASSERT_FALSE(rig.port.queued.empty());
  EXPECT_TRUE(near(rig.port.queued.back().bytes, yuyv(0, 0, 0)))
      << "an idle device must not go on showing what the camera showed last";
}

TEST(LoopbackOutput, TheStreamRunsOnlyWhileAProgramHoldsTheDeviceLongerThanAListingTakes) {
  Rig rig;
  rig.run(100ms);
  // A program listing cameras opens and closes the device at once.
  rig.port.readers = 1;
  rig.run(100ms);
  rig.port.readers = 0;
  rig.run(3s);
  EXPECT_EQ(rig.starts, 0);

  rig.port.readers = 2;
  rig.run(1s);
  EXPECT_EQ(rig.starts, 1);
  EXPECT_EQ(rig.output->state(), LoopbackState::reading);
  // One reader of two leaves, then the other closes and reopens (a browser
  // switching from listing to capture): the stream goes on.
  rig.port.readers = 1;
  rig.run(500ms);
  rig.port.readers = 0;
  rig.run(200ms);
  rig.port.readers = 1;
  rig.run(500ms);
  EXPECT_EQ(rig.stops, 0);

  rig.port.readers = 0;
  rig.run(3s);
  EXPECT_EQ(rig.stops, 1);
  EXPECT_EQ(rig.starts, 1);
  EXPECT_EQ(rig.output->state(), LoopbackState::ready);
  EXPECT_EQ(rig.states(), (std::vector{LoopbackState::ready, LoopbackState::reading, LoopbackState::ready}));
}

TEST(LoopbackOutput, AMissingBusyVanishingOrFailingDeviceIsSaidOnceAndTakenUpAgain) {
  using R = camera::v4l2::LoopbackPort::OpenResult;
  Rig rig({R{Outcome::noDevice, {}, {}}, R{Outcome::noDevice, {}, {}}, R{Outcome::busy, "/dev/video7", "held"},
           R{Outcome::busy, "/dev/video7", "held"}});
  rig.run(4100ms);
  // Retried once a second, each state told once.
  EXPECT_EQ(rig.port.opens, 5);
  EXPECT_EQ(rig.states(), (std::vector{LoopbackState::noDevice, LoopbackState::busy, LoopbackState::ready}));
  EXPECT_TRUE(rig.port.isOpen);

  // The device vanishes while a program reads: the stream stops, and the
  // device is looked for again.
  rig.port.readers = 1;
  rig.run(1s);
  ASSERT_EQ(rig.starts, 1);
  rig.port.gone = true;
  rig.port.fallback = {Outcome::noDevice, {}, {}};
  rig.run(2s);
  EXPECT_EQ(rig.stops, 1);
  EXPECT_FALSE(rig.port.isOpen);
  EXPECT_EQ(rig.output->state(), LoopbackState::noDevice);
  const int opensWhileGone = rig.port.opens;

  rig.port.fallback = {Outcome::opened, "/dev/video7", {}};
  rig.port.readers = 0;
  rig.run(1100ms);
  EXPECT_EQ(rig.output->state(), LoopbackState::ready);
  EXPECT_GT(rig.port.opens, opensWhileGone);

  // A write error closes the device and opens it anew.
  rig.port.failQueue = true;
  rig.run(1100ms);
  EXPECT_EQ(rig.states().back(), LoopbackState::failed);
  rig.port.failQueue = false;
  rig.run(1100ms);
  EXPECT_EQ(rig.output->state(), LoopbackState::ready);

  // Unpublishing lets go of the device; no handler runs afterwards.
  rig.output->unpublish();
  EXPECT_FALSE(rig.port.isOpen);
}

TEST(CameraOutputs, TheStreamStartsWithTheFirstReaderOfAnyOutputAndStopsWithTheLast) {
  test::ManualScheduler scheduler;
  auto client = scheduler.makeQueue("client");
  auto pipewire = std::make_shared<test::FakeVirtualCamera>();
  auto device = std::make_shared<test::FakeVirtualCamera>();
  camera::CameraOutputs outputs({pipewire, device});
  int starts = 0, stops = 0;
  outputs.publish({}, client, {[&] { ++starts; }, [&] { ++stops; }});

  pipewire->clientStart();
  device->clientStart();
  client->drain();
  EXPECT_EQ(starts, 1);
  pipewire->clientStop();
  client->drain();
  EXPECT_EQ(stops, 0);
  device->clientStop();
  client->drain();
  EXPECT_EQ(stops, 1);

  outputs.queueFrame(solid(1, 2, 3), 5, 6);
  EXPECT_EQ(pipewire->frames().size(), 1u);
  EXPECT_EQ(device->frames().size(), 1u);

  // A stop still on its way when the camera is unpublished changes nothing.
  device->clientStart();
  client->drain();
  device->clientStop();
  outputs.unpublish();
  client->drain();
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(stops, 1);
}

}  // namespace

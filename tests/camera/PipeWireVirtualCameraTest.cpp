// The PipeWire device layer as other programs see it, against a private
// PipeWire: the node and its offered formats, frames and stamps arriving at a
// client in BGRA and I420, start/stop on the client queue, and publishing
// again after the daemon restarts or appears late.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/camera/FrameConversion.h"
#include "platform/camera/pipewire/PipeWireVirtualCamera.h"
#include "platform/log/Log.h"
#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;

namespace {

std::map<std::string, std::string> parseKeyValues(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto eq = line.find('=');
    if (eq != std::string::npos && out.find(line.substr(0, eq)) == out.end())
      out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

camera::DeviceDescription testDescription() {
  camera::DeviceDescription d;
  d.deviceName = "Tovrelle";
  d.streamName = "Tovrelle";
  d.model = "Tovrelle Model";
  d.manufacturer = "Velkari";
  d.deviceId = "3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5";
  d.streamId = "A86D2F14-9B3E-4C71-B0D5-62E8F1C47A3B";
  d.format = {frames::PixelFormat::bgra, 1280, 720, camera::frameInterval(30), camera::frameInterval(30)};
  return d;
}

// Counts start/stop requests and notes whether each ran on the client queue.
struct Requests {
  std::mutex mutex;
  std::condition_variable changed;
  int starts = 0;
  int stops = 0;
  bool allOnClientQueue = true;

  bool waitFor(int wantStarts, int wantStops, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return starts >= wantStarts && stops >= wantStops; });
  }
};

class PipeWireCamera : public ::testing::Test {
 protected:
  void SetUp() override {
    log::setSink([this](const log::Record& r) {
      std::lock_guard lock(logMutex);
      logLines.push_back(r.message);
    });
  }
  void TearDown() override {
    stopFeeding();
    log::setSink(nullptr);
  }

  camera::StreamHandlers handlers() {
    auto queue = clientQueue;
    auto req = requests;
    return {[queue, req] {
              std::lock_guard lock(req->mutex);
              ++req->starts;
              req->allOnClientQueue &= queue->isCurrent();
              req->changed.notify_all();
            },
            [queue, req] {
              std::lock_guard lock(req->mutex);
              ++req->stops;
              req->allOnClientQueue &= queue->isCurrent();
              req->changed.notify_all();
            }};
  }

  // Queues `frame` 30 times a second with stamps 1/30 s apart from `base`.
  void startFeeding(std::shared_ptr<camera::VirtualCamera> cam, frames::ConstFrameBufferRef frame, uint64_t base) {
    feeding = true;
    feeder = std::thread([this, cam, frame, base] {
      uint64_t n = 0;
      auto next = std::chrono::steady_clock::now();
      while (feeding) {
        cam->queueFrame(frame, base + n * 33333333u, n + 1);
        ++n;
        next += 33333us;
        std::this_thread::sleep_until(next);
      }
    });
  }
  void stopFeeding() {
    feeding = false;
    if (feeder.joinable()) feeder.join();
  }

  std::map<std::string, std::string> snap(test::PrivateSession& session, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {(test::binaryDir() / "tovrelle-snap").string(), "--timeout", "15"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto p = session.spawn(argv);
    p->wait(20s);
    return parseKeyValues(p->log());
  }

  bool waitForLine(const std::string& prefix, int count, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      {
        std::lock_guard lock(logMutex);
        int n = 0;
        for (auto& l : logLines) n += l.rfind(prefix, 0) == 0;
        if (n >= count) return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
  }

  std::shared_ptr<dispatch::Queue> clientQueue = dispatch::makeSerialQueue("ossel.tovrelle.client");
  std::shared_ptr<Requests> requests = std::make_shared<Requests>();
  std::atomic<bool> feeding{false};
  std::thread feeder;
  std::mutex logMutex;
  std::vector<std::string> logLines;
};

frames::FrameBufferRef solid(uint8_t b, uint8_t g, uint8_t r) {
  auto f = frames::makeFrameBuffer(1280, 720);
  for (int y = 0; y < 720; ++y)
    for (int x = 0; x < 1280; ++x) {
      uint8_t* p = f->row(y) + 4 * x;
      p[0] = b, p[1] = g, p[2] = r, p[3] = 0;  // as drawn pictures and black frames leave it
    }
  return f;
}

TEST_F(PipeWireCamera, PublishesOneCameraNodeWithItsIdentityAndFormatsBGRAFirst) {
  test::PrivateSession session;
  auto cam = camera::makePipeWireVirtualCamera();
  cam->publish(testDescription(), clientQueue, handlers());
  ASSERT_TRUE(waitForLine("published \"Tovrelle\" on PipeWire", 1, 10s));

  auto dump = session.spawn({"pw-dump"}, {}, "pw-dump");
  dump->wait(10s);
  std::string text = dump->log();
  auto json = nlohmann::json::parse(text.substr(text.find('[')), nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << text.substr(0, 500);
  int nodes = 0;
  for (auto& o : json) {
    if (!o.contains("info") || !o["info"].contains("props")) continue;
    auto& props = o["info"]["props"];
    if (props.value("node.name", "") != "Tovrelle") continue;
    ++nodes;
    EXPECT_EQ(props.value("media.class", ""), "Video/Source");
    EXPECT_EQ(props.value("media.role", ""), "Camera");
    EXPECT_EQ(props.value("node.description", ""), "Tovrelle");
    EXPECT_EQ(props.value("device.product.name", ""), "Tovrelle Model");
    EXPECT_EQ(props.value("device.vendor.name", ""), "Velkari");
    EXPECT_EQ(props.value("tovrelle.device.id", ""), "3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5");
    EXPECT_EQ(props.value("tovrelle.stream.id", ""), "A86D2F14-9B3E-4C71-B0D5-62E8F1C47A3B");
    auto& formats = o["info"]["params"]["EnumFormat"];
    ASSERT_EQ(formats.size(), 4u);
    const char* order[] = {"BGRA", "I420", "NV12", "YUY2"};
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(formats[i].value("format", ""), order[i]);
      EXPECT_EQ(formats[i]["size"]["width"], 1280);
      EXPECT_EQ(formats[i]["size"]["height"], 720);
      EXPECT_EQ(formats[i]["framerate"]["num"], 30);
      EXPECT_EQ(formats[i]["framerate"]["denom"], 1);
    }
  }
  EXPECT_EQ(nodes, 1);
  EXPECT_EQ(requests->starts, 0) << "publishing alone starts nothing";
}

TEST_F(PipeWireCamera, ClientsReceiveStampedFramesInBGRAAndConvertedI420) {
  test::PrivateSession session;
  auto cam = camera::makePipeWireVirtualCamera();
  cam->publish(testDescription(), clientQueue, handlers());
  ASSERT_TRUE(waitForLine("published", 1, 10s));
  const uint64_t base = 5'000'000'000'000ull;
  startFeeding(cam, solid(0, 0, 255), base);  // pure red

  auto bgra = snap(session, {"--format", "BGRA", "--frames", "20"});
  EXPECT_EQ(bgra["result"], "ok");
  EXPECT_EQ(bgra["format"], "BGRA");
  EXPECT_EQ(bgra["width"], "1280");
  EXPECT_EQ(bgra["height"], "720");
  EXPECT_EQ(bgra["framerate"], "30/1");
  EXPECT_EQ(bgra["mean"], "0.00,0.00,255.00") << "BGRA colours arrive untouched";
  EXPECT_EQ(bgra["alpha_min"], "255") << "the ignored fourth byte reaches clients opaque";
  EXPECT_EQ(bgra["stamps_rising"], "yes");
  // The stamps are the ones queued: whole multiples of 1/30 s from `base`.
  const long long first = std::stoll(bgra["pts_first"]);
  EXPECT_EQ((first - static_cast<long long>(base)) % 33333333, 0);
  EXPECT_EQ(std::stoll(bgra["seq_first"]), (first - static_cast<long long>(base)) / 33333333 + 1);
  EXPECT_LT(std::stod(bgra["interval_off_period_max_ms"]), 0.01) << "spaced by whole frame periods";

  ASSERT_TRUE(requests->waitFor(1, 1, 5s)) << "the client left: stop";
  auto i420 = snap(session, {"--format", "I420", "--frames", "10"});
  EXPECT_EQ(i420["result"], "ok");
  EXPECT_EQ(i420["format"], "I420");
  const auto red = camera::yuvFromRGB(255, 0, 0);
  double y = 0, u = 0, v = 0;
  ASSERT_EQ(std::sscanf(i420["mean"].c_str(), "%lf,%lf,%lf", &y, &u, &v), 3) << i420["mean"];
  EXPECT_NEAR(y, red.y, 1);
  EXPECT_NEAR(u, red.u, 1);
  EXPECT_NEAR(v, red.v, 1);
  EXPECT_EQ(i420["stamps_rising"], "yes");

  ASSERT_TRUE(requests->waitFor(2, 2, 5s));
  std::lock_guard lock(requests->mutex);
  EXPECT_EQ(requests->starts, 2);
  EXPECT_EQ(requests->stops, 2);
  EXPECT_TRUE(requests->allOnClientQueue);
}

TEST_F(PipeWireCamera, PublishesOnceADaemonAppearsAndAgainAfterItRestarts) {
  test::PrivateSession session({.pipewire = false});
  auto cam = camera::makePipeWireVirtualCamera({std::chrono::milliseconds(200)});
  cam->publish(testDescription(), clientQueue, handlers());
  ASSERT_TRUE(waitForLine("PipeWire is not reachable", 1, 5s));
  std::this_thread::sleep_for(600ms);
  {
    std::lock_guard lock(logMutex);
    int n = 0;
    for (auto& l : logLines) n += l.rfind("PipeWire is not reachable", 0) == 0;
    EXPECT_EQ(n, 1) << "said once, not at every retry";
  }
  session.startPipeWire();
  ASSERT_TRUE(waitForLine("published \"Tovrelle\" on PipeWire", 1, 10s));
  startFeeding(cam, solid(0, 0, 0), 1'000'000'000ull);

  auto before = snap(session, {"--frames", "5"});
  EXPECT_EQ(before["result"], "ok");

  session.stopPipeWire();
  ASSERT_TRUE(waitForLine("PipeWire connection lost", 1, 10s));
  session.startPipeWire();
  ASSERT_TRUE(waitForLine("published \"Tovrelle\" on PipeWire", 2, 10s));
  auto after = snap(session, {"--frames", "5"});
  EXPECT_EQ(after["result"], "ok");
  EXPECT_EQ(after["format"], "BGRA");
  ASSERT_TRUE(requests->waitFor(2, 2, 5s));
  cam->unpublish();
}

}  // namespace

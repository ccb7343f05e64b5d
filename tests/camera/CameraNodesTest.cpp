// The app's look at the camera node, against a private PipeWire: a stream
// standing in for the camera service publishes the node with the /dev/video
// output's properties, changes them while it runs, or (like an older
// service) has none; and the built camera service says its state in words
// the app knows.
#include <gtest/gtest.h>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <unistd.h>
#include <future>
#include <map>
#include <string>

#include "platform/camera/pipewire/CameraNodes.h"
#include "platform/camera/pipewire/PipeWireCameraFeed.h"
#include "platform/camera/pipewire/PipeWireInit.h"
#include "platform/videodevice/VideoDevices.h"
#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A video source stream on a loop thread of its own.
class SourceStream {
 public:
  SourceStream(const std::string& name, const std::map<std::string, std::string>& extra) {
    pipewire::ensureInitialized();
    loop_ = pw_thread_loop_new("test-source", nullptr);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, name.c_str(),
                                             PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", nullptr);
    for (const auto& [key, value] : extra) pw_properties_set(props, key.c_str(), value.c_str());
    pw_thread_loop_lock(loop_);
    pw_thread_loop_start(loop_);
    stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), name.c_str(), props, &events_, this);
    uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_video_info_raw raw{};
    raw.format = SPA_VIDEO_FORMAT_BGRA;
    raw.size = SPA_RECTANGLE(1280, 720);
    raw.framerate = SPA_FRACTION(30, 1);
    const spa_pod* params[1] = {spa_format_video_raw_build(&b, SPA_PARAM_EnumFormat, &raw)};
    pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    pw_thread_loop_unlock(loop_);
  }

  ~SourceStream() {
    pw_thread_loop_lock(loop_);
    pw_stream_destroy(stream_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_thread_loop_destroy(loop_);
  }

  // What the camera service does when its /dev/video output changes.
  void updateProperties(const std::map<std::string, std::string>& changes) {
    std::vector<spa_dict_item> items;
    for (const auto& [key, value] : changes) items.push_back(SPA_DICT_ITEM_INIT(key.c_str(), value.c_str()));
    const spa_dict dict = SPA_DICT_INIT(items.data(), static_cast<uint32_t>(items.size()));
    pw_thread_loop_lock(loop_);
    pw_stream_update_properties(stream_, &dict);
    pw_thread_loop_unlock(loop_);
  }

 private:
  static inline const pw_stream_events events_ = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    return e;
  }();
  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
};

// The "Tovrelle" nodes once `ready` holds for them, or what the last look found.
template <typename Ready>
std::vector<camera::CameraNode> lookUntil(Ready ready) {
  std::vector<camera::CameraNode> nodes;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string why;
    auto found = camera::findCameraNodes("Tovrelle", 5s, &why);
    EXPECT_TRUE(found) << why;
    if (found) nodes = *found;
    if (ready(nodes)) break;
    ::usleep(50 * 1000);
  }
  return nodes;
}

class CameraNodesTest : public ::testing::Test {
 protected:
  test::PrivateSession session{{.pipewire = true, .wireplumber = false, .xvfb = false}};
};

TEST_F(CameraNodesTest, ReadsTheVideoDeviceStateTheServicePublishes) {
  SourceStream service("Tovrelle", {{camera::kV4l2StateKey, "ready"}, {camera::kV4l2DeviceKey, "/dev/video7"}});
  auto nodes = lookUntil([](const auto& n) { return n.size() == 1 && n[0].v4l2State; });
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].v4l2State.value_or("none"), "ready");
  EXPECT_EQ(nodes[0].v4l2Device.value_or("none"), "/dev/video7");
  EXPECT_EQ(nodes[0].pid, ::getpid()) << "the owner is still known";

  // An app starts reading: the next look sees it, without a new node.
  service.updateProperties({{camera::kV4l2StateKey, "reading"}});
  nodes = lookUntil([](const auto& n) { return n.size() == 1 && n[0].v4l2State == "reading"; });
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].v4l2State.value_or("none"), "reading");
  EXPECT_EQ(nodes[0].v4l2Device.value_or("none"), "/dev/video7");

  // The device went away: the service empties the device.
  service.updateProperties({{camera::kV4l2StateKey, "no-device"}, {camera::kV4l2DeviceKey, ""}});
  nodes = lookUntil([](const auto& n) { return n.size() == 1 && n[0].v4l2State == "no-device"; });
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].v4l2Device.value_or("none"), "");
}

TEST_F(CameraNodesTest, AnOlderServiceSaysNothingOfAVideoDevice) {
  SourceStream service("Tovrelle", {});
  // Another camera's properties are not taken for ours.
  SourceStream other("Elsewhere", {{camera::kV4l2StateKey, "reading"}});
  auto nodes = lookUntil([](const auto& n) { return n.size() == 1; });
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].name, "Tovrelle");
  EXPECT_FALSE(nodes[0].v4l2State);
  EXPECT_FALSE(nodes[0].v4l2Device);
}

TEST_F(CameraNodesTest, TheCameraServiceSpeaksTheAppsWords) {
  const fs::path data = session.makeFolder("data");
  // Turned off: the same on every machine.
  auto off = session.spawn({(test::binaryDir() / "tovrelle-camera-extension").string()},
                           {{"TOVRELLE_DATA_DIR", data.string()}, {"TOVRELLE_V4L2", "0"}}, "service-off");
  auto nodes = lookUntil([](const auto& n) { return n.size() == 1 && n[0].v4l2State; });
  ASSERT_EQ(nodes.size(), 1u) << off->log();
  EXPECT_EQ(videodevice::parseServiceOutput(nodes[0].v4l2State.value_or("")), videodevice::ServiceOutput::disabled);
  off->stop();
  ASSERT_TRUE(lookUntil([](const auto& n) { return n.empty(); }).empty());

  // On: whatever this machine's devices are, a state the app can name.
  auto on = session.spawn({(test::binaryDir() / "tovrelle-camera-extension").string()},
                          {{"TOVRELLE_DATA_DIR", data.string()}}, "service-on");
  nodes = lookUntil([](const auto& n) { return n.size() == 1 && n[0].v4l2State; });
  ASSERT_EQ(nodes.size(), 1u) << on->log();
  EXPECT_NE(videodevice::parseServiceOutput(nodes[0].v4l2State.value_or("")), videodevice::ServiceOutput::unknown)
      << *nodes[0].v4l2State;
  EXPECT_TRUE(nodes[0].v4l2Device) << "the device property is always there, empty when there is none";
  on->stop();
}

}  // namespace

// What the app reads of the passed-through camera, through the backend it uses, as the service changes it.
TEST_F(CameraNodesTest, ReadsThePassedThroughCamerasState) {
  auto replies = dispatch::makeSerialQueue("test-replies");
  camera::PipeWireCameraFeed feed(replies);
  auto lookOnce = [&feed] {
    std::promise<camera::FeedState> answer;
    feed.look([&answer](camera::FeedState state) { answer.set_value(state); });
    return answer.get_future().get();
  };
  auto lookUntilState = [&](camera::FeedState wanted) {
    camera::FeedState seen = camera::FeedState::unknown;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline && (seen = lookOnce()) != wanted) ::usleep(50 * 1000);
    return seen;
  };
  EXPECT_EQ(lookOnce(), camera::FeedState::unknown) << "no camera service at all";

  SourceStream service("Tovrelle", {{camera::kCameraStateKey, "live"}});
  EXPECT_EQ(lookUntilState(camera::FeedState::live), camera::FeedState::live);
  service.updateProperties({{camera::kCameraStateKey, "stalled"}});
  EXPECT_EQ(lookUntilState(camera::FeedState::stalled), camera::FeedState::stalled);
  service.updateProperties({{camera::kCameraStateKey, "missing"}});
  EXPECT_EQ(lookUntilState(camera::FeedState::missing), camera::FeedState::missing);
}

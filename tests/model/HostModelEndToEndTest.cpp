// The host model against the running extension, seen by a PipeWire client:
// each operation changes the client's picture, and a host that stops shows the
// not-running picture. How fast is the latency benchmark's business.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "tests/model/EndToEndRig.h"

namespace tovrelle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// Waits until the client has shown the same picture for `quiet`.
Picture settledPicture(const EndToEndRig& rig, std::chrono::milliseconds quiet = 700ms) {
  for (;;) {
    auto before = rig.pictures().size();
    std::this_thread::sleep_for(quiet);
    if (rig.pictures().size() == before) return *rig.currentPicture();
  }
}

TEST(HostModelEndToEnd, OperationsReachTheClientAndAStoppedHostShowsNotRunning) {
  EndToEndRig rig;
  rig.startExtension();
  rig.startHostModel();
  rig.startWatch();
  const auto picked = rig.makePicture("Red.png", qRgb(220, 60, 40));
  rig.send("add " + picked.string());
  ASSERT_TRUE(rig.hostModel()->waitForLog("ImageManager: wrote images.json (1 entries", 2s));

  // Start from camera mode with no camera: black.
  rig.send("on");
  ASSERT_TRUE(rig.extension()->waitForLog("state change mode=camera", 3s)) << rig.extension()->log();
  Picture previous = settledPicture(rig);
  std::map<std::string, Picture> seen;

  struct Step {
    std::string command;
    std::string stateLine;  // the extension's reaction
  };
  const std::vector<Step> steps = {{"off", "state change mode=off image=nil camera=nil"},
                                   {"select 0", "state change mode=image image="},
                                   {"on", "state change mode=camera image=nil camera=nil"}};
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    SCOPED_TRACE(step.command);
    const int reactions = countOf(rig.extension()->log(), "state change ");
    const long long sent = rig.send(step.command);
    auto picture = rig.pictureAfter(sent, 10s);
    ASSERT_TRUE(picture) << "no new picture after " << step.command << "\n" << rig.extension()->log();
    EXPECT_TRUE(picture->differsFrom(previous)) << previous.describe() << " -> " << picture->describe();
    ASSERT_TRUE(rig.extension()->waitForLog("state change ", 1s, reactions + 1)) << rig.extension()->log();
    const std::string log = rig.extension()->log();
    EXPECT_EQ(log.find(step.stateLine, log.rfind("state change ")), log.rfind("state change ")) << step.stateLine;
    if (step.command == "select 0") {
      // The library image is red: red dominates the frame.
      EXPECT_GT(picture->mean[2], 2 * picture->mean[1]) << picture->describe();
    }
    previous = settledPicture(rig);
    seen[step.command] = previous;
  }

  // The host quits: the heartbeat goes stale and the not-running picture follows.
  const long long stopped = rig.stopHostModel();
  auto picture = rig.pictureAfter(stopped, 15s);
  ASSERT_TRUE(picture) << rig.extension()->log();
  EXPECT_TRUE(picture->differsFrom(previous));
  EXPECT_TRUE(rig.extension()->waitForLog("host running changed: yes -> no", 5s)) << rig.extension()->log();
  const Picture notRunning = settledPicture(rig);

  // Started again, the host's last state comes back.
  const long long restarted = monotonicNanos();
  rig.startHostModel();
  auto back = rig.pictureAfter(restarted, 15s);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->differsFrom(notRunning));
  const Picture black = settledPicture(rig);
  EXPECT_EQ(black.describe(), "0.0,0.0,0.0") << "camera mode without a camera";

  // The shared instances reach each other: the shortcut's showLastImage()
  // reads the library, and deleting the shown image turns the camera off.
  const long long last = rig.send("last");
  auto red = rig.pictureAfter(last, 10s);
  ASSERT_TRUE(red) << rig.hostModel()->log();
  EXPECT_EQ(red->describe(), seen["select 0"].describe());
  settledPicture(rig);
  const long long deleted = rig.send("delete 0");
  auto off = rig.pictureAfter(deleted, 10s);
  ASSERT_TRUE(off) << rig.hostModel()->log();
  EXPECT_EQ(off->describe(), seen["off"].describe()) << "the camera-off picture";
  EXPECT_TRUE(rig.hostModel()->waitForLog("CameraManager: wrote state mode=off", 1s));
  EXPECT_TRUE(fs::is_empty(rig.data() / "Images"));
}

}  // namespace
}  // namespace tovrelle::test

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // QImage writes the picked picture
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

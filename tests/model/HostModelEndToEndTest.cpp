// The host model against the running extension, seen by a PipeWire client:
// each operation changes the client's picture within one poll (0.6 s with the
// delivery), and a host that stops shows the not-running picture within 3.5 s.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "tests/model/EndToEndRig.h"

namespace tovrelle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr long long kOperationLimitNs = 600'000'000;
constexpr long long kStoppedHostLimitNs = 3'500'000'000;

int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

double seconds(long long ns) { return static_cast<double>(ns) / 1e9; }

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
    auto picture = rig.pictureAfter(sent, 2s);
    ASSERT_TRUE(picture) << "no new picture after " << step.command << "\n" << rig.extension()->log();
    EXPECT_LE(picture->t - sent, kOperationLimitNs) << "took " << seconds(picture->t - sent) << " s";
    EXPECT_TRUE(picture->differsFrom(previous)) << previous.describe() << " -> " << picture->describe();
    ASSERT_TRUE(rig.extension()->waitForLog("state change ", 1s, reactions + 1)) << rig.extension()->log();
    const std::string log = rig.extension()->log();
    EXPECT_EQ(log.find(step.stateLine, log.rfind("state change ")), log.rfind("state change ")) << step.stateLine;
    std::cout << step.command << ": picture " << previous.describe() << " -> " << picture->describe() << " after "
              << seconds(picture->t - sent) << " s\n";
    if (step.command == "select 0") {
      // The library image is red: red dominates the frame.
      EXPECT_GT(picture->mean[2], 2 * picture->mean[1]) << picture->describe();
    }
    previous = settledPicture(rig);
    seen[step.command] = previous;
  }

  // The host quits: the heartbeat goes stale and the not-running picture follows.
  const long long stopped = rig.stopHostModel();
  auto picture = rig.pictureAfter(stopped, 5s);
  ASSERT_TRUE(picture) << rig.extension()->log();
  EXPECT_LE(picture->t - stopped, kStoppedHostLimitNs) << "took " << seconds(picture->t - stopped) << " s";
  EXPECT_TRUE(picture->differsFrom(previous));
  EXPECT_TRUE(rig.extension()->waitForLog("host running changed: yes -> no", 1s)) << rig.extension()->log();
  std::cout << "stop: picture " << previous.describe() << " -> " << picture->describe() << " after "
            << seconds(picture->t - stopped) << " s\n";

  // Another client sees the same not-running picture: what tovrelle-snap reads.
  const Picture notRunning = settledPicture(rig);
  auto snap = rig.session().spawn({(binaryDir() / "tovrelle-snap").string(), "--format", "BGRA", "--frames", "3"}, {},
                                  "snap.log");
  ASSERT_EQ(snap->wait(15s), 0) << snap->log();
  double b = 0, g = 0, r = 0;
  const std::string out = snap->log();
  ASSERT_EQ(std::sscanf(out.c_str() + out.find("mean="), "mean=%lf,%lf,%lf", &b, &g, &r), 3) << out;
  // Full-frame means against the sparse grid: close, not equal.
  EXPECT_NEAR(b, notRunning.mean[0], 6) << out;
  EXPECT_NEAR(g, notRunning.mean[1], 6) << out;
  EXPECT_NEAR(r, notRunning.mean[2], 6) << out;

  // Started again, the host's last state comes back.
  const long long restarted = monotonicNanos();
  rig.startHostModel();
  auto back = rig.pictureAfter(restarted, 3s);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->differsFrom(notRunning));
  const Picture black = settledPicture(rig);
  EXPECT_EQ(black.describe(), "0.0,0.0,0.0") << "camera mode without a camera";

  // The shared instances reach each other: the shortcut's showLastImage()
  // reads the library, and deleting the shown image turns the camera off.
  const long long last = rig.send("last");
  auto red = rig.pictureAfter(last, 2s);
  ASSERT_TRUE(red) << rig.hostModel()->log();
  EXPECT_EQ(red->describe(), seen["select 0"].describe());
  settledPicture(rig);
  const long long deleted = rig.send("delete 0");
  auto off = rig.pictureAfter(deleted, 2s);
  ASSERT_TRUE(off) << rig.hostModel()->log();
  EXPECT_LE(off->t - deleted, kOperationLimitNs);
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

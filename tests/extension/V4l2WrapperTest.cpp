// Apps that only open /dev/video devices: started through PipeWire's V4L2
// wrapper, ffmpeg's V4L2 input reads the Tovrelle camera's frames.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/Services.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovrelle::test::PrivateSession;

TEST(V4l2Wrapper, FfmpegReadsTheCameraThroughPwV4l2) {
  PrivateSession session;
  const fs::path data = session.makeFolder("data");
  auto extension = session.spawn({(tovrelle::test::binaryDir() / "tovrelle-camera-extension").string()},
                                 {{"TOVRELLE_DATA_DIR", data.string()}}, "extension");
  ASSERT_TRUE(extension->waitForLog("published \"Tovrelle\" on PipeWire", 15s)) << extension->log();

  // The wrapper lists PipeWire's cameras as /dev/video0, 1, ...; ours is the only one here.
  // A reader's first frames are black while the service chooses the picture,
  // and how many depends on the machine's load: a reader that opens the
  // camera again gets the chosen picture at once, so a few reads settle it.
  const fs::path frames = session.runtimeDir() / "frames.raw";
  constexpr size_t kFrameBytes = 1280 * 720 * 4;
  bool drawn = false;  // the "start the app" picture, as no app runs here
  for (int read = 0; read < 5 && !drawn; ++read) {
    auto ffmpeg = session.spawn(
        {"pw-v4l2", "ffmpeg", "-hide_banner", "-nostdin", "-f", "v4l2", "-i", "/dev/video0", "-vf",
         "select=gte(n\\,29)", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "bgra", "-y", frames.string()},
        {}, "ffmpeg");
    const int status = ffmpeg->wait(60s);
    ASSERT_EQ(status, 0) << ffmpeg->log();
    ASSERT_NE(ffmpeg->log().find("1280x720"), std::string::npos) << ffmpeg->log();
    ASSERT_EQ(fs::file_size(frames), kFrameBytes);
    std::ifstream in(frames, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    for (size_t i = 0; i < bytes.size() && !drawn; i += 4) drawn = bytes[i] || bytes[i + 1] || bytes[i + 2];
  }
  EXPECT_TRUE(drawn) << extension->log();
}

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
  const fs::path frames = session.runtimeDir() / "frames.raw";
  auto ffmpeg = session.spawn(
      {"pw-v4l2", "ffmpeg", "-hide_banner", "-nostdin", "-f", "v4l2", "-i", "/dev/video0", "-vf",
       "select=not(mod(n\\,30))", "-frames:v", "5", "-f", "rawvideo", "-pix_fmt", "bgra", "-y", frames.string()},
      {}, "ffmpeg");
  const int status = ffmpeg->wait(60s);
  ASSERT_EQ(status, 0) << ffmpeg->log();
  EXPECT_NE(ffmpeg->log().find("1280x720"), std::string::npos) << ffmpeg->log();
  // Whole 1280x720 frames, one a second: the first may be black while the
  // picture is chosen (longer on a loaded machine); with no app running the
  // last one shows the drawn "start the app" picture.
  constexpr size_t kFrameBytes = 1280 * 720 * 4;
  ASSERT_EQ(fs::file_size(frames), 5 * kFrameBytes);
  std::ifstream in(frames, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  bool drawn = false;
  for (size_t i = 4 * kFrameBytes; i < bytes.size() && !drawn; i += 4) drawn = bytes[i] || bytes[i + 1] || bytes[i + 2];
  EXPECT_TRUE(drawn);
}

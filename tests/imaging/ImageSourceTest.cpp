// The image loaders of image mode on real files: what frame a picture gives,
// which files give nothing, and the memory an animation or a huge photo costs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "extension/ImageSource.h"
#include "platform/log/Log.h"
#include "tests/imaging/ImagingTestSupport.h"

namespace tovrelle::extension {
namespace {

using namespace test;
using namespace test::fixtures;
using namespace std::chrono_literals;

class ImageSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { quietFfmpeg(); }
  void SetUp() override {
    log::setSink([this](const log::Record& r) {
      std::lock_guard lock(logMutex_);
      lines_.push_back(r.message);
    });
  }
  void TearDown() override { log::setSink(nullptr); }
  std::vector<std::string> lines() {
    std::lock_guard lock(logMutex_);
    return lines_;
  }

  ScratchFolder folder_;
  std::mutex logMutex_;
  std::vector<std::string> lines_;
};

// A GIF of `count` full-screen frames cycling red, green, blue.
Gif cyclingGif(int count, int width, int height, int delayCs) {
  Gif gif{width, height, {0xff0000, 0x00ff00, 0x0000ff, 0xffffff}, 0, true, {}};
  for (int i = 0; i < count; ++i)
    gif.frames.push_back(solidGifFrame(width, height, static_cast<uint8_t>(i % 3), delayCs));
  return gif;
}

const Rgb8 kCycle[3] = {kRed, kGreen, kBlue};

// The most memory resident at once since the last reset.
long peakResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) * 1024;
  return -1;
}
void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

TEST_F(ImageSourceTest, AnimationsRenderFitOnBlackAndOneFrameFilesGoTheStillWay) {
  // Delays as the file states them, in 1/100 s; below 2 or none at all is 0.1 s.
  const std::vector<std::optional<int>> delaysCs{1, 5, std::nullopt, 0, 2, 1234};
  const std::vector<double> shown{0.1, 0.05, 0.1, 0.1, 0.02, 12.34};
  Gif gif = cyclingGif(6, 40, 40, 0);
  for (size_t i = 0; i < 6; ++i) gif.frames[i].delayCs = delaysCs[i];
  auto animation = loadAnimatedImage(folder_.write("anim.gif", encodeGif(gif)));
  ASSERT_TRUE(animation);
  ASSERT_EQ(animation->frameCount(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_DOUBLE_EQ(animation->delay(i), shown[i]) << i;
    auto frame = animation->frame(i);
    ASSERT_TRUE(frame);
    EXPECT_EQ(pixel(*frame, 640, 360), kCycle[i % 3]);
    EXPECT_EQ(pixel(*frame, 100, 360), kBlack);  // a square picture: bars left and right
  }

  const auto single = folder_.write("one.gif", encodeGif(cyclingGif(1, 20, 10, 10)));
  EXPECT_FALSE(loadAnimatedImage(single));
  auto still = loadStillImage(single);
  ASSERT_TRUE(still && still->rendered);
  EXPECT_EQ(still->pixelWidth, 20);
  EXPECT_EQ(pixel(*still->rendered, 640, 360), kRed);
  EXPECT_TRUE(lines().empty());
}

TEST_F(ImageSourceTest, AnimationWithABrokenLaterFrameFallsBackToItsFirstFrame) {
  auto bytes = encodeGif(cyclingGif(3, 16, 16, 10));
  // The third image's code size byte: 13 is no valid LZW start.
  size_t images = 0;
  for (size_t i = 0; i + 10 < bytes.size(); ++i) {
    if (bytes[i] == 0x2c && bytes[i + 9] == 0x00 && ++images == 3) {
      bytes[i + 10] = 13;
      break;
    }
  }
  ASSERT_EQ(images, 3u);
  const auto file = folder_.write("broken.gif", bytes);
  EXPECT_FALSE(loadAnimatedImage(file));
  auto still = loadStillImage(file);
  ASSERT_TRUE(still);
  EXPECT_EQ(pixel(*still->rendered, 640, 360), kRed);
}

TEST_F(ImageSourceTest, UnreadableFilesGiveNothingAndNeverBlock) {
  const auto corrupt = folder_.write("corrupt.png", std::vector<uint8_t>(1000, 0x42));
  auto half = encodePng(4, 4, solidRgba(4, 4, 255, 0, 0, 255));
  half.resize(half.size() / 2);
  const auto truncated = folder_.write("truncated.png", half);
  const auto empty = folder_.write("empty.jpg", {});
  const auto missing = folder_.path() / "missing.png";
  const auto directory = folder_.path() / "folder.png";
  std::filesystem::create_directory(directory);
  const auto target = folder_.write("target.gif", encodeGif(cyclingGif(2, 4, 4, 10)));
  const auto link = folder_.path() / "link.gif";
  std::filesystem::create_symlink(target, link);
  const auto fifo = folder_.path() / "pipe.gif";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A folder that is itself a link to elsewhere is not followed either.
  const auto linkedFolder = folder_.path() / "Images";
  std::filesystem::create_directory_symlink(folder_.path(), linkedFolder);
  const auto throughLink = linkedFolder / "target.gif";

  for (const auto& file : {corrupt, truncated, empty, missing, directory, link, fifo, throughLink}) {
    SCOPED_TRACE(file.string());
    EXPECT_FALSE(loadAnimatedImage(file));
    EXPECT_FALSE(loadStillImage(file));
  }
  EXPECT_TRUE(loadAnimatedImage(target));
}

TEST_F(ImageSourceTest, HundredMegapixelPhotoIsShownReducedWithinItsMemoryBound) {
  const int w = 12240, h = 8160;  // 99.9 MP, as a phone's high-resolution mode takes them
  std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
  for (int x = 0; x < w; ++x) row[3 * static_cast<size_t>(x) + (x < w / 2 ? 0 : 2)] = 255;  // red | blue
  const auto file = folder_.path() / "huge.jpg";
  writeJpeg(
      file, w, h, [&](int, uint8_t* rgb) { std::memcpy(rgb, row.data(), row.size()); }, 0, 75);

  resetPeakResident();
  const long before = peakResidentBytes();
  auto still = loadStillImage(file);
  const long grown = peakResidentBytes() - before;
  ASSERT_TRUE(still && still->rendered);
  EXPECT_EQ(still->pixelWidth, w);
  EXPECT_EQ(still->pixelHeight, h);
  const frames::FrameBuffer& f = *still->rendered;  // 1080 x 720 at x = 100
  EXPECT_EQ(pixel(f, 50, 360), kBlack);
  EXPECT_TRUE(near(pixel(f, 400, 360), kRed, 8)) << pixel(f, 400, 360);
  EXPECT_TRUE(near(pixel(f, 900, 360), kBlue, 8)) << pixel(f, 900, 360);
  // Decoded whole it would take 400 MB; reduced, the picture is at most 4096
  // on a side (64 MB) and libjpeg reads a strip at a time.
  std::cout << "peak resident growth decoding 100 MP: " << grown / (1024 * 1024) << " MB\n";
  EXPECT_LT(grown, 200L * 1024 * 1024);
}

TEST_F(ImageSourceTest, AnimatedWebpPlaysWithItsOwnFrameDelays) {
  AnimatedWebp w{64, 36, {}};
  const int durations[3] = {50, 200, 1000};
  for (int i = 0; i < 3; ++i)
    w.frames.push_back({0, 0, 64, 36, solidRgba(64, 36, i == 0 ? 255 : 0, i == 1 ? 255 : 0, i == 2 ? 255 : 0, 255),
                        durations[i], false, false});
  const auto file = folder_.write("anim.webp", encodeAnimatedWebp(w));
  auto animation = loadAnimatedImage(file);
  ASSERT_TRUE(animation);
  ASSERT_EQ(animation->frameCount(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(animation->delay(i), durations[i] / 1000.0) << i;
    const frames::FrameBuffer& f = *animation->frame(i);
    EXPECT_EQ(pixel(f, 640, 360), kCycle[i]) << i;
    EXPECT_EQ(pixel(f, 640, 2), kCycle[i]) << i;  // 64 x 36 fills the whole 16:9 frame
  }
  EXPECT_TRUE(lines().empty());
}

TEST_F(ImageSourceTest, PictureTooLargeToDecodeIsRefusedWithOneLine) {
  AnimatedWebp w{8, 8, {}};
  w.frames.push_back({0, 0, 8, 8, solidRgba(8, 8, 255, 0, 0, 255), 50, false, false});
  w.frames.push_back({0, 0, 8, 8, solidRgba(8, 8, 0, 255, 0, 255), 50, false, false});
  std::vector<uint8_t> bytes = encodeAnimatedWebp(w);
  for (int at : {24, 27}) {  // VP8X canvas: 20000 x 20000
    bytes[at] = 0x1f;
    bytes[at + 1] = 0x4e;
    bytes[at + 2] = 0x00;
  }
  const auto file = folder_.write("huge.webp", bytes);
  // As image mode tries it: an animation first, then a still.
  EXPECT_FALSE(loadAnimatedImage(file));
  EXPECT_FALSE(loadStillImage(file));
  const auto logged = lines();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("huge.webp is not shown: it is 20000 x 20000 pixels, past the 64 MP"), std::string::npos)
      << logged[0];
}

// An 8192 x 8192 PNG whole is 256 MB; read a strip at a time and reduced on
// the way, it costs the 4096 x 4096 canvas (64 MB) and the frame. Measured in
// a child process so nothing else this test binary did counts.
TEST_F(ImageSourceTest, LargePngIsDecodedWithinItsMemoryBound) {
  const int side = 8192;
  const auto file = folder_.path() / "large.png";
  writePng(file, side, side, [&](int, uint8_t* rgba) {
    for (int x = 0; x < side; ++x) {
      uint8_t* p = rgba + 4 * static_cast<size_t>(x);
      p[0] = x < side / 2 ? 255 : 0;
      p[1] = 0;
      p[2] = x < side / 2 ? 0 : 255;
      p[3] = 255;
    }
  });
  struct Outcome {
    long grown = -1;
    bool shown = false;
    Rgb8 left, right, bar;
  };
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    Outcome out;
    resetPeakResident();
    const long before = peakResidentBytes();
    auto still = loadStillImage(file);
    out.grown = peakResidentBytes() - before;
    if (still && still->rendered) {
      out.shown = true;
      out.bar = pixel(*still->rendered, 100, 360);  // 720 x 720 at x = 280
      out.left = pixel(*still->rendered, 400, 360);
      out.right = pixel(*still->rendered, 900, 360);
    }
    const bool written = write(pipeFds[1], &out, sizeof out) == static_cast<ssize_t>(sizeof out);
    _exit(written ? 0 : 1);
  }
  close(pipeFds[1]);
  Outcome out;
  const ssize_t got = read(pipeFds[0], &out, sizeof out);
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof out));
  ASSERT_TRUE(out.shown);
  EXPECT_EQ(out.bar, kBlack);
  EXPECT_TRUE(near(out.left, kRed, 2)) << out.left;
  EXPECT_TRUE(near(out.right, kBlue, 2)) << out.right;
  std::cout << "peak resident growth decoding an 8192 x 8192 PNG: " << out.grown / (1024 * 1024) << " MB\n";
  EXPECT_LT(out.grown, 128L * 1024 * 1024);
}

TEST_F(ImageSourceTest, LongAnimationsDecodeAheadIntoABoundedRing) {
  const size_t count = prerenderedFrameLimit() + 2;
  const auto file = folder_.write("long.gif", encodeGif(cyclingGif(static_cast<int>(count), 8, 8, 4)));
  auto animation = loadAnimatedImage(file);
  ASSERT_TRUE(animation);
  ASSERT_EQ(animation->frameCount(), count);
  const auto logged = lines();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("decoding ahead into 24 frames"), std::string::npos) << logged[0];

  // Play two laps at the worker's pace: every frame arrives, in order.
  for (size_t position = 0; position < 2 * count; ++position) {
    const size_t index = position % count;
    Rgb8 seen;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (;;) {
      // Asking early hands back the newest ready frame; the player then stays
      // on it, so ask again for the same index.
      seen = pixel(*animation->frame(index), 640, 360);
      if (seen == kCycle[index % 3] || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(seen, kCycle[index % 3]) << "position " << position;
  }
}

TEST_F(ImageSourceTest, FiveThousandFrameGifStaysWithinTheMemoryBound) {
  const auto file = folder_.write("5000.gif", encodeGif(cyclingGif(5000, 32, 24, 3)));
  resetPeakResident();
  const long before = peakResidentBytes();
  auto animation = loadAnimatedImage(file);
  ASSERT_TRUE(animation);
  EXPECT_EQ(animation->frameCount(), 5000u);
  for (size_t i = 0; i < 50; ++i) ASSERT_TRUE(animation->frame(i));
  // Rendered whole it would need 5000 x 3.7 MB; the ring holds 24 frames.
  EXPECT_LT(peakResidentBytes() - before, 200L * 1024 * 1024);
}

}  // namespace
}  // namespace tovrelle::extension

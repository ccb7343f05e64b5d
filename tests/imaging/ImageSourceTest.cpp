#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
  for (int i = 0; i < count; ++i) gif.frames.push_back(solidGifFrame(width, height, static_cast<uint8_t>(i % 3), delayCs));
  return gif;
}

const Rgb8 kCycle[3] = {kRed, kGreen, kBlue};

long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

TEST_F(ImageSourceTest, AnimatedGifIsRenderedFitOnBlackWithItsDelays) {
  Gif gif = cyclingGif(3, 40, 40, 0);
  gif.frames[0].delayCs = 1;    // below the floor: 0.1 s
  gif.frames[1].delayCs = 5;    // 0.05 s
  gif.frames[2].delayCs = std::nullopt;
  const auto file = folder_.write("anim.gif", encodeGif(gif));

  auto animation = loadAnimatedImage(file);
  ASSERT_TRUE(animation);
  ASSERT_EQ(animation->frameCount(), 3u);
  EXPECT_DOUBLE_EQ(animation->delay(0), 0.1);
  EXPECT_DOUBLE_EQ(animation->delay(1), 0.05);
  EXPECT_DOUBLE_EQ(animation->delay(2), 0.1);
  for (size_t i = 0; i < 6; ++i) {
    auto frame = animation->frame(i % 3);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 1280);
    EXPECT_EQ(frame->height(), 720);
    EXPECT_EQ(pixel(*frame, 640, 360), kCycle[i % 3]);
    EXPECT_EQ(pixel(*frame, 100, 360), kBlack);  // a square picture: bars left and right
    EXPECT_EQ(pixel(*frame, 1200, 360), kBlack);
  }
  EXPECT_TRUE(lines().empty());
}

TEST_F(ImageSourceTest, OneFrameFilesGoTheStillWay) {
  const auto single = folder_.write("one.gif", encodeGif(cyclingGif(1, 20, 10, 10)));
  EXPECT_FALSE(loadAnimatedImage(single));
  auto still = loadStillImage(single);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->pixelWidth, 20);
  EXPECT_EQ(still->pixelHeight, 10);
  ASSERT_TRUE(still->rendered);
  EXPECT_EQ(pixel(*still->rendered, 640, 360), kRed);

  Apng apng;
  apng.width = 8;
  apng.height = 8;
  apng.frames.push_back({0, 0, 8, 8, solidRgba(8, 8, 0, 0, 255, 255), 1, 2, 0, 0});
  const auto singlePng = folder_.write("one.png", encodeApng(apng));
  EXPECT_FALSE(loadAnimatedImage(singlePng));
  ASSERT_TRUE(loadStillImage(singlePng));
  EXPECT_EQ(pixel(*loadStillImage(singlePng)->rendered, 640, 360), kBlue);
}

TEST_F(ImageSourceTest, StillImageIsRenderedOnceAspectFit) {
  // 1920 x 400: drawn 1280 x 266.67 with bars above and below.
  const auto file = folder_.write("wide.bmp", encodeBmp(1920, 400, quadrantsRgb(1920, 400)));
  EXPECT_FALSE(loadAnimatedImage(file));
  auto still = loadStillImage(file);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->pixelWidth, 1920);
  EXPECT_EQ(still->pixelHeight, 400);
  ASSERT_TRUE(still->rendered);
  const frames::PixelBuffer& f = *still->rendered;
  EXPECT_EQ(pixel(f, 640, 100), kBlack);
  EXPECT_EQ(pixel(f, 640, 620), kBlack);
  EXPECT_EQ(pixel(f, 200, 300), kRed);
  EXPECT_EQ(pixel(f, 1000, 300), kGreen);
  EXPECT_EQ(pixel(f, 200, 450), kBlue);
  EXPECT_EQ(pixel(f, 1000, 450), kWhite);

  // Longer than the decoder keeps: reported at its own size, fitted all the same.
  std::vector<uint8_t> green(20000 * 200 * 3, 0);
  for (size_t i = 1; i < green.size(); i += 3) green[i] = 255;
  auto panorama = loadStillImage(folder_.write("panorama.bmp", encodeBmp(20000, 200, green)));
  ASSERT_TRUE(panorama);
  EXPECT_EQ(panorama->pixelWidth, 20000);
  EXPECT_EQ(panorama->pixelHeight, 200);
  ASSERT_TRUE(panorama->rendered);
  EXPECT_EQ(pixel(*panorama->rendered, 640, 360), kGreen);  // 12.8 rows high around the middle
  EXPECT_EQ(pixel(*panorama->rendered, 640, 340), kBlack);

  std::vector<uint8_t> rgba = solidRgba(10, 10, 255, 255, 255, 64);
  auto translucent = loadStillImage(folder_.write("alpha.png", encodePng(10, 10, rgba)));
  ASSERT_TRUE(translucent);
  EXPECT_TRUE(near(pixel(*translucent->rendered, 640, 360), Rgb8{64, 64, 64}, 1));
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

TEST_F(ImageSourceTest, UnreadableFilesGiveNothing) {
  std::vector<uint8_t> garbage(1000, 0x42);
  const auto corrupt = folder_.write("corrupt.png", garbage);
  auto gifBytes = encodeGif(cyclingGif(3, 16, 16, 10));
  gifBytes.resize(20);
  const auto truncated = folder_.write("truncated.gif", gifBytes);
  const auto empty = folder_.write("empty.jpg", {});
  const auto missing = folder_.path() / "missing.png";
  const auto directory = folder_.path() / "folder.png";
  std::filesystem::create_directory(directory);
  const auto link = folder_.path() / "link.gif";
  std::filesystem::create_symlink(folder_.write("target.gif", encodeGif(cyclingGif(2, 4, 4, 10))), link);
  const auto fifo = folder_.path() / "pipe.gif";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  for (const auto& file : {corrupt, truncated, empty, missing, directory, link, fifo}) {
    SCOPED_TRACE(file.filename().string());
    EXPECT_FALSE(loadAnimatedImage(file));  // a pipe must not block either
    EXPECT_FALSE(loadStillImage(file));
  }
}

TEST_F(ImageSourceTest, LongAnimationsDecodeAheadIntoABoundedRing) {
  const size_t count = prerenderedFrameLimit() + 2;
  const auto file = folder_.write("long.gif", encodeGif(cyclingGif(static_cast<int>(count), 8, 8, 4)));
  auto animation = loadAnimatedImage(file);
  ASSERT_TRUE(animation);
  ASSERT_EQ(animation->frameCount(), count);
  EXPECT_DOUBLE_EQ(animation->delay(count - 1), 0.04);
  const auto logged = lines();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("decoding ahead into 24 frames"), std::string::npos) << logged[0];

  // Play two laps at the worker's pace: every frame arrives, in order.
  size_t late = 0;
  for (size_t position = 0; position < 2 * count; ++position) {
    const size_t index = position % count;
    Rgb8 seen;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
      // Asking early hands back the newest ready frame; that is allowed, but
      // the player then stays on it, so ask again for the same index.
      seen = pixel(*animation->frame(index), 640, 360);
      if (seen == kCycle[index % 3] || std::chrono::steady_clock::now() > deadline) break;
      ++late;
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(seen, kCycle[index % 3]) << "position " << position;
  }
  (void)late;
}

TEST_F(ImageSourceTest, FiveThousandFrameGifStaysWithinTheMemoryBound) {
  const auto file = folder_.write("5000.gif", encodeGif(cyclingGif(5000, 32, 24, 3)));
  const long before = residentBytes();
  auto animation = loadAnimatedImage(file);
  ASSERT_TRUE(animation);
  EXPECT_EQ(animation->frameCount(), 5000u);
  for (size_t i = 0; i < 50; ++i) ASSERT_TRUE(animation->frame(i));
  const long grown = residentBytes() - before;
  // Rendered whole it would need 5000 x 3.7 MB; the ring holds 24 frames.
  EXPECT_LT(grown, 200L * 1024 * 1024) << grown;
  animation.reset();
}

}  // namespace
}  // namespace tovrelle::extension

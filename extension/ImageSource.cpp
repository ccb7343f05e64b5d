#include "extension/ImageSource.h"

#include <vector>

#include "platform/imaging/ByteSource.h"
#include "platform/imaging/Decoder.h"
#include "platform/imaging/Fit.h"
#include "platform/imaging/FrameRing.h"
#include "platform/log/Log.h"

namespace tovrelle::extension {
namespace {

const log::Logger& logger() {
  static const log::Logger instance("ossel.tovrelle", "StreamSource");
  return instance;
}

constexpr size_t kFrameBytes = static_cast<size_t>(frames::FrameBuffer::strideFor(frames::kFrameWidth)) *
                               static_cast<size_t>(frames::kFrameHeight);

class PrerenderedAnimation final : public AnimatedImage {
 public:
  PrerenderedAnimation(std::vector<frames::ConstFrameBufferRef> frames, std::vector<double> delays)
      : frames_(std::move(frames)), delays_(std::move(delays)) {}
  size_t frameCount() const override { return frames_.size(); }
  double delay(size_t index) const override { return delays_[index % delays_.size()]; }
  frames::ConstFrameBufferRef frame(size_t index) override { return frames_[index % frames_.size()]; }

 private:
  std::vector<frames::ConstFrameBufferRef> frames_;
  std::vector<double> delays_;
};

// Decodes lap after lap on the ring's worker. A frame that fails shows the
// one before it; the first failure is logged, once per animation.
class DecodingProducer final : public imaging::FrameRing::Producer {
 public:
  DecodingProducer(std::unique_ptr<imaging::Decoder> decoder, std::string name)
      : decoder_(std::move(decoder)), name_(std::move(name)) {}

  bool restart() override {
    if (decoder_->rewind()) return true;
    logger().error("cannot reopen animated image %s; holding its last frame", name_.c_str());
    return false;
  }

  bool produce(size_t index, frames::FrameBuffer& out) override {
    if (decoder_->next(canvas_) == imaging::Decoder::Step::Frame && imaging::renderFitted(canvas_, out)) return true;
    if (!failureLogged_) {
      failureLogged_ = true;
      logger().error("frame %zu of animated image %s cannot be decoded; showing the frame before it", index,
                     name_.c_str());
    }
    return false;
  }

 private:
  std::unique_ptr<imaging::Decoder> decoder_;
  std::string name_;
  imaging::Canvas canvas_;
  bool failureLogged_ = false;
};

class DecodeAheadAnimation final : public AnimatedImage {
 public:
  DecodeAheadAnimation(std::unique_ptr<imaging::FrameRing> ring, std::vector<double> delays)
      : ring_(std::move(ring)), delays_(std::move(delays)) {}
  size_t frameCount() const override { return delays_.size(); }
  double delay(size_t index) const override { return delays_[index % delays_.size()]; }
  frames::ConstFrameBufferRef frame(size_t index) override { return ring_->frame(index); }

 private:
  std::unique_ptr<imaging::FrameRing> ring_;
  std::vector<double> delays_;
};

std::shared_ptr<AnimatedImage> prerender(const std::shared_ptr<const imaging::ByteSource>& bytes,
                                         std::vector<double> delays) {
  auto decoder = imaging::Decoder::open(bytes);
  if (!decoder) return nullptr;
  imaging::Canvas canvas;
  std::vector<frames::ConstFrameBufferRef> rendered;
  rendered.reserve(delays.size());
  for (size_t i = 0; i < delays.size(); ++i) {
    // Any frame that fails fails the animation; the file then goes the
    // still-image way.
    if ((*decoder)->next(canvas) != imaging::Decoder::Step::Frame) return nullptr;
    auto buffer = imaging::fitIntoFrame(canvas);
    if (!buffer) return nullptr;
    rendered.push_back(std::move(buffer));
  }
  return std::make_shared<PrerenderedAnimation>(std::move(rendered), std::move(delays));
}

}  // namespace

size_t prerenderedFrameLimit() { return kPrerenderBytes / kFrameBytes; }

std::shared_ptr<AnimatedImage> loadAnimatedImage(const std::filesystem::path& file) {
  auto opened = imaging::openImageFile(file);
  if (!opened) return nullptr;
  const auto& bytes = *opened;
  auto info = imaging::inspectImage(bytes);
  if (!info || info->container == imaging::Container::Still || info->frames.size() < 2) return nullptr;

  std::vector<double> delays;
  delays.reserve(info->frames.size());
  for (const imaging::FrameDelays& d : info->frames) delays.push_back(imaging::frameDelay(d));

  if (delays.size() <= prerenderedFrameLimit()) return prerender(bytes, std::move(delays));

  auto decoder = imaging::Decoder::open(bytes);
  if (!decoder) return nullptr;
  const std::string name = file.filename().string();
  auto ring = imaging::FrameRing::start(std::make_unique<DecodingProducer>(std::move(*decoder), name), delays.size(),
                                        kDecodeAheadFrames, frames::kFrameWidth, frames::kFrameHeight);
  if (!ring) return nullptr;
  logger().info("animated image %s has %zu frames, past %zu MB rendered; decoding ahead into %zu frames", name.c_str(),
                delays.size(), kPrerenderBytes / (1024 * 1024), kDecodeAheadFrames);
  return std::make_shared<DecodeAheadAnimation>(std::move(ring), std::move(delays));
}

std::optional<StillImage> loadStillImage(const std::filesystem::path& file) {
  auto canvas = imaging::decodeFirstPicture(file);
  if (!canvas) return std::nullopt;
  StillImage image;
  image.pixelWidth = canvas->sourceWidth;
  image.pixelHeight = canvas->sourceHeight;
  image.rendered = imaging::fitIntoFrame(*canvas);
  return image;
}

}  // namespace tovrelle::extension

#include "platform/imaging/Webp.h"

#include <libyuv/convert_argb.h>
#include <webp/decode.h>
#include <webp/demux.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tovrelle::imaging {

bool looksLikeWebp(const ByteSource& bytes) {
  uint8_t head[12];
  return bytes.read(0, head, sizeof head) == static_cast<long>(sizeof head) && std::memcmp(head, "RIFF", 4) == 0 &&
         std::memcmp(head + 8, "WEBP", 4) == 0;
}

struct WebpDecoder::Impl {
  std::vector<uint8_t> file;
  bool animated = false;
  int width = 0, height = 0;
  size_t frameCount = 0;
  size_t framesRead = 0;
  WebPAnimDecoder* animation = nullptr;
  SwsContext* scaler = nullptr;  // a canvas past kMaxCanvasSide
  bool stillDone = false;

  ~Impl() {
    WebPAnimDecoderDelete(animation);
    sws_freeContext(scaler);
  }

  WebPData data() const { return {file.data(), file.size()}; }

  Decoder::Step nextStill(Canvas& out) {
    if (stillDone) return Decoder::Step::End;
    stillDone = true;
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return Decoder::Step::Error;
    const auto [w, h] = reducedSize(width, height);
    out.resize(w, h);
    out.sourceWidth = width;
    out.sourceHeight = height;
    // Decoded straight into the canvas, reduced on the way: a large still
    // never exists at full size.
    config.options.use_threads = 0;
    if (w != width || h != height) {
      config.options.use_scaling = 1;
      config.options.scaled_width = w;
      config.options.scaled_height = h;
    }
    config.output.colorspace = MODE_BGRA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = out.pixels.data();
    config.output.u.RGBA.stride = static_cast<int>(out.stride);
    config.output.u.RGBA.size = out.stride * static_cast<size_t>(h);
    const VP8StatusCode status = WebPDecode(file.data(), file.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) return Decoder::Step::Error;
    layOverBlack(out);
    return Decoder::Step::Frame;
  }

  Decoder::Step nextFrame(Canvas& out) {
    if (framesRead >= frameCount || !WebPAnimDecoderHasMoreFrames(animation)) return Decoder::Step::End;
    ++framesRead;
    uint8_t* pixels = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(animation, &pixels, &timestamp)) return Decoder::Step::Error;
    const auto [w, h] = reducedSize(width, height);
    out.resize(w, h);
    out.sourceWidth = width;
    out.sourceHeight = height;
    if (w == width && h == height) {
      libyuv::ARGBCopy(pixels, width * 4, out.pixels.data(), static_cast<int>(out.stride), w, h);
    } else {
      scaler = sws_getCachedContext(scaler, width, height, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_BGRA,
                                    SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
      if (!scaler) return Decoder::Step::Error;
      const uint8_t* source[4] = {pixels, nullptr, nullptr, nullptr};
      const int sourceStride[4] = {width * 4, 0, 0, 0};
      uint8_t* planes[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
      int strides[4] = {static_cast<int>(out.stride), 0, 0, 0};
      sws_scale(scaler, source, sourceStride, 0, height, planes, strides);
    }
    layOverBlack(out);
    return Decoder::Step::Frame;
  }
};

WebpDecoder::WebpDecoder(std::unique_ptr<Impl> impl, ImageInfo info) : impl_(std::move(impl)), info_(std::move(info)) {}
WebpDecoder::~WebpDecoder() = default;

Decoded<std::unique_ptr<WebpDecoder>> WebpDecoder::open(const ByteSource& bytes, const Limits& limits) {
  auto broken = [](std::string why) { return DecodeError{DecodeError::Kind::notAnImage, std::move(why)}; };
  const uint64_t size = bytes.size();
  if (size < 12 || !looksLikeWebp(bytes)) return broken("not a WebP file");
  if (size > kMaxWebpFileBytes)
    return broken("the WebP file is " + std::to_string(size) + " bytes, past the " +
                  std::to_string(kMaxWebpFileBytes / (1024 * 1024)) + " MB one may have");
  auto impl = std::make_unique<Impl>();
  impl->file.resize(static_cast<size_t>(size));
  if (bytes.read(0, impl->file.data(), impl->file.size()) != static_cast<long>(size))
    return broken("the WebP file cannot be read whole");

  // The container first: canvas size and frame list, no pixels yet.
  const WebPData data = impl->data();
  WebPDemuxer* demux = WebPDemux(&data);
  if (!demux) return broken("libwebp cannot read its container");
  const uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
  impl->width = static_cast<int>(WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH));
  impl->height = static_cast<int>(WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT));
  impl->animated = (flags & ANIMATION_FLAG) != 0;
  ImageInfo info;
  info.container = impl->animated ? Container::AnimatedWebp : Container::Still;
  info.width = impl->width;
  info.height = impl->height;
  const bool fits =
      impl->width > 0 && impl->height > 0 && static_cast<int64_t>(impl->width) * impl->height <= limits.maxPixels;
  if (fits) {
    WebPIterator frame;
    if (WebPDemuxGetFrame(demux, 1, &frame)) {
      do {
        FrameDelays delays;
        delays.webpDelay = frame.duration / 1000.0;
        info.frames.push_back(delays);
      } while (info.frames.size() < limits.maxFrames && WebPDemuxNextFrame(&frame));
      WebPDemuxReleaseIterator(&frame);
    }
  }
  WebPDemuxDelete(demux);
  if (impl->width <= 0 || impl->height <= 0) return broken("its canvas has no size");
  if (!fits) return tooLarge(impl->width, impl->height, limits);
  if (info.frames.empty()) return broken("it has no frames");
  if (!impl->animated) info.frames.resize(1);
  impl->frameCount = info.frames.size();

  if (impl->animated) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return broken("libwebp is not the version it was built with");
    // Straight (not premultiplied) BGRA: laid over black like every other
    // format, with the same rounding.
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    impl->animation = WebPAnimDecoderNew(&data, &options);
    if (!impl->animation) return broken("libwebp cannot decode its animation");
  }
  return std::unique_ptr<WebpDecoder>(new WebpDecoder(std::move(impl), std::move(info)));
}

Decoder::Step WebpDecoder::next(Canvas& out) { return impl_->animated ? impl_->nextFrame(out) : impl_->nextStill(out); }

void WebpDecoder::rewind() {
  impl_->framesRead = 0;
  impl_->stillDone = false;
  if (impl_->animation) WebPAnimDecoderReset(impl_->animation);
}

}  // namespace tovrelle::imaging

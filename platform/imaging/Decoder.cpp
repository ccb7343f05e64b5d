#include "platform/imaging/Decoder.h"

#include "platform/imaging/Jpeg.h"
#include "platform/imaging/Png.h"
#include "platform/imaging/Webp.h"
#include "platform/log/Log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tovrelle::imaging {

void Canvas::resize(int w, int h) {
  width = w;
  height = h;
  stride = (static_cast<size_t>(w) * 4 + 63) & ~size_t{63};
  // Room past the last row for converters that write whole vectors.
  pixels.resize(stride * static_cast<size_t>(h) + 64);
}

std::pair<int, int> reducedSize(int w, int h) {
  // Pictures longer than kMaxCanvasSide on a side are reduced on the way:
  // far more than a 1280x720 frame can show, and within what the drawing
  // layer accepts.
  if (w <= kMaxCanvasSide && h <= kMaxCanvasSide) return {w, h};
  const double k = std::min(static_cast<double>(kMaxCanvasSide) / w, static_cast<double>(kMaxCanvasSide) / h);
  return {std::clamp(static_cast<int>(std::lround(w * k)), 1, kMaxCanvasSide),
          std::clamp(static_cast<int>(std::lround(h * k)), 1, kMaxCanvasSide)};
}

void layOverBlack(Canvas& canvas) {
  for (int y = 0; y < canvas.height; ++y) {
    uint8_t* p = canvas.pixels.data() + static_cast<size_t>(y) * canvas.stride;
    for (int x = 0; x < canvas.width; ++x, p += 4) {
      const unsigned a = p[3];
      if (a == 255) continue;
      // c * a / 255, rounded
      for (int c = 0; c < 3; ++c) {
        const unsigned t = p[c] * a + 128;
        p[c] = static_cast<uint8_t>((t + (t >> 8)) >> 8);
      }
      p[3] = 255;
    }
  }
}

DecodeError tooLarge(int64_t width, int64_t height, const Limits& limits) {
  return {DecodeError::Kind::tooLarge,
          log::format("it is %lld x %lld pixels, past the %lld MP a picture may have", static_cast<long long>(width),
                      static_cast<long long>(height), static_cast<long long>(limits.maxPixels / (1024 * 1024)))};
}

namespace {

const log::Logger& logger() {
  static const log::Logger instance("ossel.tovrelle", "Imaging");
  return instance;
}

DecodeError notAnImage(std::string why) { return {DecodeError::Kind::notAnImage, std::move(why)}; }

// FFmpeg's log, routed: a broken file must not flood the journal with
// undated, unprioritised lines. Errors pass at most kCodecErrorBurst per
// window; the rest are counted and the count said with the next one let
// through. Lines arrive in pieces from any decoding thread.
constexpr int kCodecErrorBurst = 5;
constexpr auto kCodecErrorWindow = std::chrono::seconds(10);

struct CodecLog {
  std::mutex mutex;
  std::string pending;
  int pendingLevel = AV_LOG_QUIET;
  int printPrefix = 1;
  std::chrono::steady_clock::time_point windowStart{};
  int inWindow = 0;
  long suppressed = 0;
  bool debug = std::getenv("TOVRELLE_CODEC_DEBUG") != nullptr;
};

CodecLog& codecLog() {
  static CodecLog state;
  return state;
}

void emitCodecLine(CodecLog& state, int level, std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  if (line.empty()) return;
  if (level > AV_LOG_ERROR) {
    if (state.debug) logger().info("codec: %s", line.c_str());
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (state.inWindow == 0 || now - state.windowStart >= kCodecErrorWindow) {
    state.windowStart = now;
    state.inWindow = 0;
  }
  if (state.inWindow >= kCodecErrorBurst) {
    ++state.suppressed;
    return;
  }
  ++state.inWindow;
  if (state.suppressed > 0) {
    logger().error("codec: %s (and %ld more codec errors not shown)", line.c_str(), state.suppressed);
    state.suppressed = 0;
  } else {
    logger().error("codec: %s", line.c_str());
  }
}

void onCodecMessage(void* object, int level, const char* fmt, va_list args) {
  CodecLog& state = codecLog();
  if (level > AV_LOG_ERROR && !state.debug) return;  // warnings and chatter: not shown
  if (level > av_log_get_level()) return;
  char piece[1024];
  std::lock_guard lock(state.mutex);
  av_log_format_line2(object, level, fmt, args, piece, sizeof piece, &state.printPrefix);
  state.pending += piece;
  state.pendingLevel = std::min(state.pendingLevel == AV_LOG_QUIET ? level : state.pendingLevel, level);
  if (state.pending.size() > 4096) state.pending.push_back('\n');  // a runaway line ends here
  if (state.pending.empty() || state.pending.back() != '\n') return;
  emitCodecLine(state, state.pendingLevel, std::move(state.pending));
  state.pending.clear();
  state.pendingLevel = AV_LOG_QUIET;
}

// The demuxers and codecs an image may use; anything else (a video, a sound
// file, a format we do not offer) is refused at the probe.
constexpr const char* kDemuxers = "gif,apng,png_pipe,jpeg_pipe,webp_pipe,tiff_pipe,bmp_pipe";
constexpr size_t kIoBufferSize = 64 * 1024;

bool acceptedCodec(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_GIF:
    case AV_CODEC_ID_APNG:
    case AV_CODEC_ID_PNG:
    case AV_CODEC_ID_MJPEG:
    case AV_CODEC_ID_WEBP:
    case AV_CODEC_ID_TIFF:
    case AV_CODEC_ID_BMP: return true;
    default: return false;
  }
}

// One demuxer over the bytes, with its own read position.
struct Input {
  std::shared_ptr<const ByteSource> bytes;
  uint64_t position = 0;
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  int stream = -1;
  Container container = Container::Still;
  size_t framesRead = 0;

  ~Input() {
    if (format) avformat_close_input(&format);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
  }

  static int readBytes(void* opaque, uint8_t* out, int size) {
    auto* self = static_cast<Input*>(opaque);
    const long n = self->bytes->read(self->position, out, static_cast<size_t>(size));
    if (n < 0) return AVERROR(EIO);
    if (n == 0) return AVERROR_EOF;
    self->position += static_cast<uint64_t>(n);
    return static_cast<int>(n);
  }

  static int64_t seekBytes(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<Input*>(opaque);
    const int64_t size = static_cast<int64_t>(self->bytes->size());
    if (whence & AVSEEK_SIZE) return size;
    int64_t target;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET: target = offset; break;
      case SEEK_CUR: target = static_cast<int64_t>(self->position) + offset; break;
      case SEEK_END: target = size + offset; break;
      default: return -1;
    }
    if (target < 0 || target > size) return -1;
    self->position = static_cast<uint64_t>(target);
    return target;
  }
};

// The PNG demuxers allocate each chunk in front of the image data at its
// stated length before reading it; a chunk that claims more bytes than the
// file has is refused here instead of costing up to 2 GB.
bool pngHeaderChunksFit(const ByteSource& bytes) {
  uint8_t head[8];
  if (bytes.read(0, head, 8) != 8 || std::memcmp(head, kPngSignature, 8) != 0) return true;
  const uint64_t size = bytes.size();
  uint64_t pos = 8;
  for (int chunk = 0; chunk < 4096; ++chunk) {
    if (bytes.read(pos, head, 8) != 8) return true;  // ends between chunks: the codec decides
    const uint64_t length = (uint64_t{head[0]} << 24) | (uint64_t{head[1]} << 16) | (uint64_t{head[2]} << 8) | head[3];
    if (length > 0x7fffffff || pos + 12 + length > size) return false;
    if (std::memcmp(head + 4, "IDAT", 4) == 0 || std::memcmp(head + 4, "fcTL", 4) == 0) return true;
    pos += 12 + length;
  }
  return true;
}

Decoded<std::unique_ptr<Input>> openInput(std::shared_ptr<const ByteSource> bytes, const Limits& limits) {
  routeCodecMessages();
  if (!bytes || bytes->size() == 0) return notAnImage("no bytes");
  if (!pngHeaderChunksFit(*bytes)) return notAnImage("a PNG chunk claims more bytes than the file has");
  auto input = std::make_unique<Input>();
  input->bytes = std::move(bytes);
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
  if (!buffer) return notAnImage("out of memory");
  input->io = avio_alloc_context(buffer, kIoBufferSize, 0, input.get(), &Input::readBytes, nullptr, &Input::seekBytes);
  if (!input->io) {
    av_free(buffer);
    return notAnImage("out of memory");
  }
  AVFormatContext* format = avformat_alloc_context();
  if (!format) return notAnImage("out of memory");
  format->pb = input->io;
  format->format_whitelist = av_strdup(kDemuxers);
  AVDictionary* options = nullptr;
  // Delays are taken as the file states them: no demuxer minimum, maximum or
  // substitute, and no looping inside the demuxer (we loop ourselves).
  av_dict_set(&options, "min_delay", "0", 0);
  av_dict_set(&options, "max_gif_delay", "65535", 0);
  av_dict_set(&options, "max_fps", "0", 0);
  av_dict_set(&options, "ignore_loop", "1", 0);
  const int opened = avformat_open_input(&format, nullptr, nullptr, &options);
  av_dict_free(&options);
  // The context is freed on failure.
  if (opened < 0) return notAnImage("not a picture in a format it reads");
  input->format = format;

  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* par = format->streams[i]->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && acceptedCodec(par->codec_id)) {
      input->stream = static_cast<int>(i);
      break;
    }
  }
  if (input->stream < 0) return notAnImage("holds no picture in a format it reads");
  const AVCodecParameters* par = format->streams[input->stream]->codecpar;
  if (par->width < 0 || par->height < 0 ||
      static_cast<int64_t>(par->width) * static_cast<int64_t>(par->height) > limits.maxPixels)
    return tooLarge(par->width, par->height, limits);
  input->container = par->codec_id == AV_CODEC_ID_GIF    ? Container::Gif
                     : par->codec_id == AV_CODEC_ID_APNG ? Container::AnimatedPng
                                                         : Container::Still;
  return input;
}

// The width and height a PNG's header states.
std::pair<int64_t, int64_t> pngHeaderSize(const ByteSource& bytes) {
  uint8_t ihdr[8];
  if (bytes.read(16, ihdr, 8) != 8) return {0, 0};
  auto be = [](const uint8_t* p) {
    return (int64_t{p[0]} << 24) | (int64_t{p[1]} << 16) | (int64_t{p[2]} << 8) | p[3];
  };
  return {be(ihdr), be(ihdr + 4)};
}

}  // namespace

void routeCodecMessages() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(&onCodecMessage); });
}

Decoded<ImageInfo> inspectImage(std::shared_ptr<const ByteSource> bytes, const Limits& limits) {
  if (bytes && looksLikeWebp(*bytes)) {
    auto webp = WebpDecoder::open(*bytes, limits);
    if (!webp) return webp.failure();
    return (*webp)->info();
  }
  if (bytes && looksLikeJpeg(*bytes)) {
    if (auto header = readJpegHeader(*bytes)) {
      const bool swaps = header->orientation >= 5;
      ImageInfo info;
      info.width = swaps ? header->height : header->width;
      info.height = swaps ? header->width : header->height;
      info.frames.emplace_back();
      return info;
    }
  }
  auto opened = openInput(std::move(bytes), limits);
  if (!opened) return opened.failure();
  const auto& input = *opened;
  ImageInfo info;
  info.container = input->container;
  const AVCodecParameters* par = input->format->streams[input->stream]->codecpar;
  info.width = par->width;
  info.height = par->height;
  if (info.container == Container::Still) {
    info.frames.emplace_back();
    return info;
  }
  AVPacket* packet = av_packet_alloc();
  if (!packet) return notAnImage("out of memory");
  while (info.frames.size() < limits.maxFrames && av_read_frame(input->format, packet) >= 0) {
    if (packet->stream_index == input->stream) {
      info.frames.push_back(info.container == Container::Gif ? gifFrameDelays(packet->data, packet->size)
                                                             : apngFrameDelays(packet->data, packet->size));
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  return info;
}

struct Decoder::State {
  std::shared_ptr<const ByteSource> bytes;
  Limits limits;
  std::unique_ptr<Input> input;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;
  // A JPEG goes through libjpeg-turbo (reduced, upright) and falls back to
  // FFmpeg only when that cannot read it.
  bool jpeg = false;
  bool jpegDone = false;
  bool png = false;  // a still, non-interlaced PNG: libpng, reduced while reading
  bool pngDone = false;
  std::unique_ptr<WebpDecoder> webp;

  ~State() { close(); }

  void close() {
    avcodec_free_context(&codec);
    av_packet_free(&packet);
    av_frame_free(&frame);
    sws_freeContext(sws);
    sws = nullptr;
    input.reset();
  }

  Result<void, DecodeError> start() {
    close();
    auto opened = openInput(bytes, limits);
    if (!opened) return opened.failure();
    input = std::move(*opened);
    const AVCodecParameters* par = input->format->streams[input->stream]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    if (!decoder) return notAnImage("no decoder for its format");
    codec = avcodec_alloc_context3(decoder);
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!codec || !packet || !frame) return notAnImage("out of memory");
    if (avcodec_parameters_to_context(codec, par) < 0) return notAnImage("its stream parameters are unusable");
    codec->thread_count = 1;  // one frame in, one frame out, on the caller's thread
    codec->max_pixels = limits.maxPixels;
    if (avcodec_open2(codec, decoder, nullptr) < 0) return notAnImage("its decoder does not open");
    return {};
  }

  bool convert(Canvas& out) {
    const int sw = frame->width, sh = frame->height;
    if (sw <= 0 || sh <= 0 || static_cast<int64_t>(sw) * sh > limits.maxPixels) return false;
    const auto [w, h] = reducedSize(sw, sh);
    bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
    const auto source = static_cast<AVPixelFormat>(withoutJpegRange(frame->format, &fullRange));
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(source);
    if (!desc) return false;
    sws = sws_getCachedContext(sws, sw, sh, source, w, h, AV_PIX_FMT_BGRA,
                               SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (!sws) return false;
    if (!(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3) {
      const int space = frame->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
      sws_setColorspaceDetails(sws, sws_getCoefficients(space), fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT),
                               1, 0, 1 << 16, 1 << 16);
    }
    out.resize(w, h);
    out.sourceWidth = sw;
    out.sourceHeight = sh;
    uint8_t* planes[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(out.stride), 0, 0, 0};
    if (sws_scale(sws, frame->data, frame->linesize, 0, sh, planes, strides) != h) return false;
    if ((desc->flags & AV_PIX_FMT_FLAG_ALPHA) || (desc->flags & AV_PIX_FMT_FLAG_PAL)) layOverBlack(out);
    return true;
  }
};

Decoder::Decoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Decoder::~Decoder() = default;

Decoded<std::unique_ptr<Decoder>> Decoder::open(std::shared_ptr<const ByteSource> bytes, const Limits& limits) {
  routeCodecMessages();
  auto state = std::make_unique<State>();
  state->bytes = std::move(bytes);
  state->limits = limits;
  if (!state->bytes) return notAnImage("no bytes");
  const ByteSource& source = *state->bytes;
  if (looksLikeWebp(source)) {
    auto webp = WebpDecoder::open(source, limits);
    if (!webp) return webp.failure();
    state->webp = std::move(*webp);
    return std::unique_ptr<Decoder>(new Decoder(std::move(state)));
  }
  state->jpeg = looksLikeJpeg(source) && readJpegHeader(source);
  state->png = !state->jpeg && isStreamablePng(source);
  if (state->png) {
    const auto [w, h] = pngHeaderSize(source);
    if (w * h > limits.maxPixels) return tooLarge(w, h, limits);
  }
  if (!state->jpeg && !state->png) {
    if (auto started = state->start(); !started) return started.failure();
  }
  return std::unique_ptr<Decoder>(new Decoder(std::move(state)));
}

Container Decoder::container() const {
  if (state_->webp) return state_->webp->info().container;
  return state_->input ? state_->input->container : Container::Still;
}

bool Decoder::rewind() {
  if (state_->webp) {
    state_->webp->rewind();
    return true;
  }
  if (state_->jpeg || state_->png) {
    state_->jpegDone = false;
    state_->pngDone = false;
    return true;
  }
  return state_->start().ok();
}

Decoder::Step Decoder::next(Canvas& out) {
  State& s = *state_;
  if (s.webp) return s.webp->next(out);
  if (s.png) {
    if (s.pngDone) return Step::End;
    s.pngDone = true;
    return decodePng(*s.bytes, s.limits, out) ? Step::Frame : Step::Error;
  }
  if (s.jpeg) {
    if (s.jpegDone) return Step::End;
    s.jpegDone = true;
    if (decodeJpeg(*s.bytes, out)) return Step::Frame;
    // Colour spaces libjpeg-turbo cannot turn into BGRA (CMYK, YCCK).
    s.jpeg = false;
    if (!s.start()) return Step::Error;
  }
  if (!s.input || !s.codec) return Step::End;
  for (;;) {
    if (s.input->framesRead >= s.limits.maxFrames) return Step::End;
    if (av_read_frame(s.input->format, s.packet) < 0) return Step::End;
    if (s.packet->stream_index != s.input->stream) {
      av_packet_unref(s.packet);
      continue;
    }
    ++s.input->framesRead;
    // One packet is one frame of the file: a packet that yields no picture
    // is that frame failing, so frame numbers stay in step with the delays.
    const int sent = avcodec_send_packet(s.codec, s.packet);
    av_packet_unref(s.packet);
    if (sent < 0) return Step::Error;
    int received = avcodec_receive_frame(s.codec, s.frame);
    if (received == AVERROR(EAGAIN) && s.input->container == Container::Still) {
      avcodec_send_packet(s.codec, nullptr);
      received = avcodec_receive_frame(s.codec, s.frame);
    }
    if (received < 0) return Step::Error;
    const bool converted = s.convert(out);
    av_frame_unref(s.frame);
    return converted ? Step::Frame : Step::Error;
  }
}

std::optional<Canvas> decodeFirstPicture(const std::filesystem::path& file) {
  auto bytes = openImageFile(file);
  if (!bytes) return std::nullopt;
  auto decoder = Decoder::open(std::move(*bytes));
  if (!decoder) {
    // Only the size is worth a line; anything else is a broken file, which its caller tells.
    if (decoder.failure().kind == DecodeError::Kind::tooLarge)
      logger().error("picture %s is not shown: %s", file.filename().c_str(), decoder.error().c_str());
    return std::nullopt;
  }
  Canvas picture;
  if ((*decoder)->next(picture) != Decoder::Step::Frame || picture.width <= 0 || picture.height <= 0)
    return std::nullopt;
  return picture;
}

}  // namespace tovrelle::imaging

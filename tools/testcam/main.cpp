// tovrelle-testcam: a camera without hardware. Publishes a PipeWire camera
// node (Video/Source, media.role Camera) that shows colour bars and encodes a
// frame counter and a CLOCK_MONOTONIC stamp in pixels, so passthrough and
// latency can be checked by decoding what a client receives. With
// --switch-format it changes its format mid-stream (after --switch-after
// frames, or on SIGUSR1), as a real camera does when another program
// reconfigures it: it then offers only the new format and its consumer must
// renegotiate.
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "platform/frames/PixelFormat.h"
#include "tools/testcam/TestPattern.h"

namespace {

namespace tp = tovrelle::testpattern;

// The formats are the product's own (GRAY8 is there to be refused: a camera
// that offers nothing we can show).
using Format = tovrelle::frames::PixelFormat;

struct Options {
  std::string name = "Tovrelle Test Camera";
  std::string nodeName;
  Format format = Format::yuy2;
  int width = 640;
  int height = 480;
  int fps = 30;
  bool cameraRole = true;
  int corruptEvery = 0;  // every Nth frame is broken (bad JPEG bytes / truncated)
  int quality = 6;       // MJPEG quantiser, 2 (best) .. 31
  int switchAfter = 0;   // frames before the switch; 0: only on SIGUSR1
  std::optional<Format> switchFormat;
  int switchWidth = 0;  // 0: keep the size
  int switchHeight = 0;
};

void usage() {
  std::fprintf(stderr,
               "usage: tovrelle-testcam [--name NAME] [--node-name NAME] [--format YUY2|NV12|MJPEG|BGRx|GRAY8]\n"
               "                        [--size WxH] [--fps N] [--corrupt-every N] [--no-camera-role]\n"
               "                        [--switch-after N --switch-format FMT[:WxH]]\n"
               "Publishes a test camera on PipeWire: colour bars with the frame counter in pixels.\n"
               "--switch-format: after N frames, or on SIGUSR1, offer only FMT (at WxH) and renegotiate.\n");
}

bool parseFormat(std::string v, Format& out) {
  for (auto& ch : v) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  if (v == "YUY2" || v == "YUYV") {
    out = Format::yuy2;
  } else if (v == "NV12") {
    out = Format::nv12;
  } else if (v == "MJPEG" || v == "MJPG") {
    out = Format::mjpeg;
  } else if (v == "BGRX") {
    out = Format::bgrx;
  } else if (v == "GRAY8") {
    out = Format::gray8;
  } else {
    return false;
  }
  return true;
}

bool parseSize(const std::string& v, int& width, int& height) {
  if (std::sscanf(v.c_str(), "%dx%d", &width, &height) != 2) return false;
  return width >= 64 && height >= 36 && width <= 4096 && height <= 4096 && !((width | height) & 1);
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--name") {
      if (!value(o.name)) return false;
    } else if (a == "--node-name") {
      if (!value(o.nodeName)) return false;
    } else if (a == "--format") {
      if (!value(v) || !parseFormat(v, o.format)) return false;
    } else if (a == "--size") {
      if (!value(v) || !parseSize(v, o.width, o.height)) return false;
    } else if (a == "--switch-after") {
      if (!value(v)) return false;
      o.switchAfter = std::max(0, std::atoi(v.c_str()));
    } else if (a == "--switch-format") {
      if (!value(v)) return false;
      const auto colon = v.find(':');
      Format f{};
      if (!parseFormat(v.substr(0, colon), f)) return false;
      o.switchFormat = f;
      if (colon != std::string::npos && !parseSize(v.substr(colon + 1), o.switchWidth, o.switchHeight)) return false;
    } else if (a == "--fps") {
      if (!value(v)) return false;
      o.fps = std::atoi(v.c_str());
      if (o.fps < 1 || o.fps > 120) return false;
    } else if (a == "--corrupt-every") {
      if (!value(v)) return false;
      o.corruptEvery = std::max(0, std::atoi(v.c_str()));
    } else if (a == "--no-camera-role") {
      o.cameraRole = false;
    } else {
      return false;
    }
  }
  if (o.nodeName.empty()) {
    o.nodeName = "tovrelle-testcam-";
    for (char ch : o.name)
      o.nodeName += std::isalnum(static_cast<unsigned char>(ch)) ? static_cast<char>(std::tolower(ch)) : '-';
  }
  return o.switchAfter == 0 || o.switchFormat;
}

struct TestCam {
  Options opt;
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_source* timer = nullptr;
  bool negotiated = false;
  bool announced = false;
  bool switched = false;
  uint32_t counter = 0;

  std::vector<uint8_t> picture;  // BGRA
  int pictureStride = 0;
  SwsContext* sws = nullptr;
  AVCodecContext* encoder = nullptr;
  AVFrame* yuv = nullptr;
  AVPacket* packet = nullptr;

  uint32_t spaFormat() const { return tovrelle::frames::info(opt.format).spa; }
  int stride() const { return opt.width * tovrelle::frames::info(opt.format).bytesPerPixel; }
  size_t bufferSize() const {
    const size_t px = static_cast<size_t>(opt.width) * opt.height;
    if (opt.format == Format::mjpeg) return px * 2;  // ample for one JPEG
    if (opt.format == Format::nv12) return px * 3 / 2;
    return px * static_cast<size_t>(tovrelle::frames::info(opt.format).bytesPerPixel);
  }

  // (Re)builds the picture and encoders for the current format and size.
  bool setUp() {
    release();
    pictureStride = opt.width * 4;
    picture.assign(static_cast<size_t>(pictureStride) * opt.height, 0);
    tp::drawPattern(picture.data(), opt.width, opt.height, pictureStride);
    AVPixelFormat target = AV_PIX_FMT_NONE;
    if (opt.format == Format::yuy2) target = AV_PIX_FMT_YUYV422;
    if (opt.format == Format::nv12) target = AV_PIX_FMT_NV12;
    if (opt.format == Format::mjpeg) target = AV_PIX_FMT_YUVJ420P;
    if (opt.format == Format::gray8) target = AV_PIX_FMT_GRAY8;
    if (target != AV_PIX_FMT_NONE) {
      sws = sws_getContext(opt.width, opt.height, AV_PIX_FMT_BGRA, opt.width, opt.height, target, SWS_POINT, nullptr,
                           nullptr, nullptr);
      if (!sws) return false;
      if (opt.format == Format::yuy2 || opt.format == Format::nv12) {
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(sws, coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
      }
    }
    if (opt.format == Format::mjpeg) {
      const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
      if (!codec) {
        std::fprintf(stderr, "testcam: no MJPEG encoder\n");
        return false;
      }
      encoder = avcodec_alloc_context3(codec);
      encoder->width = opt.width;
      encoder->height = opt.height;
      encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
      encoder->time_base = AVRational{1, opt.fps};
      encoder->flags |= AV_CODEC_FLAG_QSCALE;
      encoder->global_quality = FF_QP2LAMBDA * opt.quality;
      if (avcodec_open2(encoder, codec, nullptr) < 0) return false;
      yuv = av_frame_alloc();
      yuv->format = AV_PIX_FMT_YUVJ420P;
      yuv->width = opt.width;
      yuv->height = opt.height;
      if (av_frame_get_buffer(yuv, 0) < 0) return false;
      yuv->quality = encoder->global_quality;
      packet = av_packet_alloc();
    }
    return true;
  }

  void release() {
    sws_freeContext(sws);
    sws = nullptr;
    av_frame_free(&yuv);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
  }
  ~TestCam() { release(); }

  // The one format offered: the current format, size and rate.
  const spa_pod* enumFormat(spa_pod_builder* b) const {
    spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(opt.width), static_cast<uint32_t>(opt.height));
    spa_fraction rate = SPA_FRACTION(static_cast<uint32_t>(opt.fps), 1);
    if (opt.format == Format::mjpeg)
      return static_cast<const spa_pod*>(spa_pod_builder_add_object(
          b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
          SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
          SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(spaFormat()),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
  }

  const char* formatName() const { return tovrelle::frames::pixelFormatName(opt.format); }

  // The mid-stream switch: from now on only the new format is offered, and
  // frames wait until the consumer has taken it.
  void switchFormat() {
    if (switched || !opt.switchFormat) return;
    switched = true;
    opt.format = *opt.switchFormat;
    if (opt.switchWidth > 0) {
      opt.width = opt.switchWidth;
      opt.height = opt.switchHeight;
    }
    negotiated = false;
    if (!setUp()) {
      std::fprintf(stderr, "testcam: cannot prepare the %dx%d picture\n", opt.width, opt.height);
      pw_main_loop_quit(loop);
      return;
    }
    uint8_t storage[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[1] = {enumFormat(&b)};
    std::printf("testcam: switching to %s %dx%d after %u frames\n", formatName(), opt.width, opt.height, counter);
    std::fflush(stdout);
    pw_stream_update_params(stream, params, 1);
  }

  // Fills `dst` (capacity `cap`) with the current frame; returns the byte count.
  size_t render(uint8_t* dst, size_t cap) {
    const uint32_t frameNumber = counter++;
    tp::drawCounter(picture.data(), opt.width, opt.height, pictureStride, frameNumber, tp::stampNow());
    const bool corrupt = opt.corruptEvery > 0 && frameNumber % static_cast<uint32_t>(opt.corruptEvery) ==
                                                     static_cast<uint32_t>(opt.corruptEvery) - 1;
    const uint8_t* src[4] = {picture.data(), nullptr, nullptr, nullptr};
    int srcStride[4] = {pictureStride, 0, 0, 0};
    switch (opt.format) {
      case Format::bgrx: {
        size_t n = std::min(cap, picture.size());
        std::memcpy(dst, picture.data(), n);
        return corrupt ? n / 3 : n;
      }
      case Format::yuy2:
      case Format::gray8: {
        uint8_t* planes[4] = {dst, nullptr, nullptr, nullptr};
        int strides[4] = {stride(), 0, 0, 0};
        sws_scale(sws, src, srcStride, 0, opt.height, planes, strides);
        return corrupt ? bufferSize() / 3 : bufferSize();
      }
      case Format::nv12: {
        uint8_t* planes[4] = {dst, dst + static_cast<size_t>(opt.width) * opt.height, nullptr, nullptr};
        int strides[4] = {opt.width, opt.width, 0, 0};
        sws_scale(sws, src, srcStride, 0, opt.height, planes, strides);
        return corrupt ? bufferSize() / 3 : bufferSize();
      }
      case Format::mjpeg: {
        if (av_frame_make_writable(yuv) < 0) return 0;
        sws_scale(sws, src, srcStride, 0, opt.height, yuv->data, yuv->linesize);
        yuv->pts = frameNumber;
        if (avcodec_send_frame(encoder, yuv) < 0 || avcodec_receive_packet(encoder, packet) < 0) return 0;
        size_t n = std::min(cap, static_cast<size_t>(packet->size));
        std::memcpy(dst, packet->data, n);
        av_packet_unref(packet);
        if (corrupt && n > 64) {
          // Garbage over the entropy-coded data, and no end-of-image marker.
          for (size_t i = n / 4; i < n; ++i) dst[i] = static_cast<uint8_t>(0xFF - (i & 0x3));
          n = n / 2;
        }
        return n;
      }
      default: break;
    }
    return 0;
  }
};

void onProcess(void* data) {
  auto* cam = static_cast<TestCam*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(cam->stream);
  if (!b) return;
  spa_buffer* buf = b->buffer;
  spa_data& d = buf->datas[0];
  // Buffers of the format before a switch may still come by: never overrun them.
  if (!d.data || !cam->negotiated || (cam->opt.format != Format::mjpeg && d.maxsize < cam->bufferSize())) {
    pw_stream_queue_buffer(cam->stream, b);
    return;
  }
  size_t n = cam->render(static_cast<uint8_t*>(d.data), d.maxsize);
  if (auto* h =
          static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    h->pts = SPA_TIMESPEC_TO_NSEC(&now);
    h->flags = 0;
    h->seq = cam->counter - 1;
    h->dts_offset = 0;
  }
  d.chunk->offset = 0;
  d.chunk->size = static_cast<uint32_t>(n);
  d.chunk->stride = cam->stride();
  d.chunk->flags = 0;
  pw_stream_queue_buffer(cam->stream, b);
}

void onTimeout(void* data, uint64_t) {
  auto* cam = static_cast<TestCam*>(data);
  if (cam->opt.switchAfter > 0 && cam->counter >= static_cast<uint32_t>(cam->opt.switchAfter)) cam->switchFormat();
  if (cam->negotiated) pw_stream_trigger_process(cam->stream);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* cam = static_cast<TestCam*>(data);
  pw_loop* loop = pw_main_loop_get_loop(cam->loop);
  switch (state) {
    case PW_STREAM_STATE_ERROR:
      std::fprintf(stderr, "testcam: stream error: %s\n", error ? error : "?");
      pw_main_loop_quit(cam->loop);
      break;
    case PW_STREAM_STATE_PAUSED:
      if (!cam->announced) {
        cam->announced = true;
        std::printf("testcam: node %u ready as \"%s\" (%s)\n", pw_stream_get_node_id(cam->stream),
                    cam->opt.name.c_str(), cam->opt.nodeName.c_str());
        std::fflush(stdout);
      }
      pw_loop_update_timer(loop, cam->timer, nullptr, nullptr, false);
      break;
    case PW_STREAM_STATE_STREAMING: {
      timespec start{0, 1};
      timespec interval{0, static_cast<long>(1000000000L / cam->opt.fps)};
      pw_loop_update_timer(loop, cam->timer, &start, &interval, false);
      std::printf("testcam: streaming\n");
      std::fflush(stdout);
      break;
    }
    default: break;
  }
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* cam = static_cast<TestCam*>(data);
  if (id != SPA_PARAM_Format) return;
  if (!param) {
    cam->negotiated = false;
    return;
  }
  cam->negotiated = true;
  if (cam->switched) {
    std::printf("testcam: now %s %dx%d\n", cam->formatName(), cam->opt.width, cam->opt.height);
    std::fflush(stdout);
  }
  uint8_t storage[512];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(static_cast<int>(cam->bufferSize())), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(cam->stride()),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  pw_stream_update_params(cam->stream, params, 2);
}

const pw_stream_events kEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = onStateChanged;
  e.param_changed = onParamChanged;
  e.process = onProcess;
  return e;
}();

void onSignal(void* data, int) { pw_main_loop_quit(static_cast<pw_main_loop*>(data)); }
void onSwitchSignal(void* data, int) { static_cast<TestCam*>(data)->switchFormat(); }

}  // namespace

int main(int argc, char** argv) {
  TestCam cam;
  av_log_set_level(AV_LOG_ERROR);  // the full-range JPEG input format draws a notice we do not need
  if (!parse(argc, argv, cam.opt)) {
    usage();
    return 2;
  }
  if (!cam.setUp()) {
    std::fprintf(stderr, "testcam: cannot prepare the %dx%d picture\n", cam.opt.width, cam.opt.height);
    return 1;
  }
  pw_init(&argc, &argv);
  cam.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(cam.loop);
  pw_loop_add_signal(loop, SIGINT, onSignal, cam.loop);
  pw_loop_add_signal(loop, SIGTERM, onSignal, cam.loop);
  pw_loop_add_signal(loop, SIGUSR1, onSwitchSignal, &cam);
  cam.timer = pw_loop_add_timer(loop, onTimeout, &cam);

  pw_properties* props =
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME,
                        cam.opt.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, cam.opt.name.c_str(), nullptr);
  if (cam.opt.cameraRole) pw_properties_set(props, PW_KEY_MEDIA_ROLE, "Camera");
  cam.stream = pw_stream_new_simple(loop, cam.opt.nodeName.c_str(), props, &kEvents, &cam);

  uint8_t storage[512];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
  const spa_pod* params[1] = {cam.enumFormat(&b)};
  int rc =
      pw_stream_connect(cam.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  if (rc < 0) {
    std::fprintf(stderr, "testcam: cannot connect to PipeWire: %s\n", std::strerror(-rc));
  } else {
    pw_main_loop_run(cam.loop);
  }
  pw_stream_destroy(cam.stream);
  pw_main_loop_destroy(cam.loop);
  pw_deinit();
  return rc < 0 ? 1 : 0;
}

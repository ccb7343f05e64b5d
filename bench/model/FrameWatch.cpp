// tovrelle-frame-watch [--target NAME] [--timeout SECONDS]: an ordinary
// PipeWire client of the virtual camera that keeps streaming and prints one
// line each time the picture changes:
//
//   watch: picture t=<ns> pts=<ns> seq=<n> mean=<B>,<G>,<R>
//
// t is CLOCK_MONOTONIC when the frame reached this client, pts the frame's own
// stamp; mean is the average colour over a sparse grid, enough to tell the
// pictures apart. The latency benchmark measures from an operation of the
// host model to the first such line after it.
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wpedantic"
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include "tools/snap/ClientParams.h"
#pragma GCC diagnostic pop

namespace {

// Mean colours closer than this are the same picture (compression-free BGRA,
// so equal pictures give equal means; the margin only absorbs rounding).
constexpr double kChangeThreshold = 1.5;

struct Watch {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_video_info_raw format{};
  bool haveFormat = false;
  bool announced = false;
  double last[3] = {-100, -100, -100};
  long frames = 0;
};

long long monotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void onProcess(void* data) {
  auto* w = static_cast<Watch*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(w->stream);
  if (!b) return;
  const long long arrived = monotonicNanos();
  spa_buffer* buf = b->buffer;
  const spa_data& d = buf->datas[0];
  const int width = static_cast<int>(w->format.size.width), height = static_cast<int>(w->format.size.height);
  const int stride = d.chunk ? d.chunk->stride : 0;
  const size_t offset = d.chunk ? d.chunk->offset : 0;
  const size_t needed = static_cast<size_t>(stride) * static_cast<size_t>(height);
  if (w->haveFormat && d.data && stride >= 4 * width && d.chunk->size >= needed && offset + needed <= d.maxsize) {
    ++w->frames;
    const auto* bytes = static_cast<const uint8_t*>(d.data) + offset;
    double sum[3] = {0, 0, 0};
    long n = 0;
    for (int y = 4; y < height; y += 8)
      for (int x = 4; x < width; x += 8) {
        const uint8_t* p = bytes + static_cast<size_t>(y) * stride + 4 * x;
        sum[0] += p[0], sum[1] += p[1], sum[2] += p[2];
        ++n;
      }
    double mean[3];
    bool changed = false;
    for (int c = 0; c < 3; ++c) {
      mean[c] = n ? sum[c] / static_cast<double>(n) : 0;
      changed |= std::fabs(mean[c] - w->last[c]) > kChangeThreshold;
    }
    if (!w->announced) {
      std::printf("watch: streaming %dx%d\n", width, height);
      w->announced = true;
    }
    if (changed) {
      auto* h = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)));
      std::printf("watch: picture t=%lld pts=%lld seq=%llu mean=%.1f,%.1f,%.1f\n", arrived,
                  h ? static_cast<long long>(h->pts) : -1LL, h ? static_cast<unsigned long long>(h->seq) : 0ULL,
                  mean[0], mean[1], mean[2]);
      for (int c = 0; c < 3; ++c) w->last[c] = mean[c];
    }
    std::fflush(stdout);
  }
  pw_stream_queue_buffer(w->stream, b);
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* w = static_cast<Watch*>(data);
  if (id != SPA_PARAM_Format || param == nullptr) return;
  uint32_t type = 0, subtype = 0;
  if (spa_format_parse(param, &type, &subtype) < 0 || type != SPA_MEDIA_TYPE_video || subtype != SPA_MEDIA_SUBTYPE_raw)
    return;
  if (spa_format_video_raw_parse(param, &w->format) < 0 || w->format.format != SPA_VIDEO_FORMAT_BGRA) return;
  w->haveFormat = true;
  tovrelle::tools::requestBuffersWithHeaders(w->stream);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* w = static_cast<Watch*>(data);
  if (state == PW_STREAM_STATE_ERROR) {
    std::printf("watch: error %s\n", error ? error : "?");
    std::fflush(stdout);
    pw_main_loop_quit(w->loop);
  }
}

void onQuit(void* data, int) { pw_main_loop_quit(static_cast<Watch*>(data)->loop); }
void onTimeout(void* data, uint64_t) { pw_main_loop_quit(static_cast<Watch*>(data)->loop); }

}  // namespace

int main(int argc, char** argv) {
  std::string target = "Tovrelle";
  double timeout = 120;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--target") == 0) target = argv[i + 1];
    if (std::strcmp(argv[i], "--timeout") == 0) timeout = std::atof(argv[i + 1]);
  }
  Watch w;
  pw_init(nullptr, nullptr);
  w.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(w.loop);
  pw_loop_add_signal(loop, SIGINT, onQuit, &w);
  pw_loop_add_signal(loop, SIGTERM, onQuit, &w);
  spa_source* timer = pw_loop_add_timer(loop, onTimeout, &w);
  timespec until{static_cast<time_t>(timeout), 0};
  pw_loop_update_timer(loop, timer, &until, nullptr, false);

  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = onStateChanged;
  events.param_changed = onParamChanged;
  events.process = onProcess;
  w.stream = pw_stream_new_simple(
      loop, "tovrelle-frame-watch",
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                        PW_KEY_TARGET_OBJECT, target.c_str(), nullptr),
      &events, &w);
  int status = 1;
  if (w.stream) {
    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_rectangle size{1280, 720}, minSize{1, 1}, maxSize{8192, 8192};
    spa_fraction rate{30, 1}, minRate{0, 1}, maxRate{1000, 1};
    const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_BGRA), SPA_FORMAT_VIDEO_size,
        SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)))};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(w.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) == 0) {
      pw_main_loop_run(w.loop);
      status = w.frames > 0 ? 0 : 1;
    }
    std::printf("watch: stopped after %ld frames\n", w.frames);
    pw_stream_destroy(w.stream);
  }
  pw_loop_destroy_source(loop, timer);
  pw_main_loop_destroy(w.loop);
  pw_deinit();
  return status;
}

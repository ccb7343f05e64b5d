// tovrelle-snap: reads frames from a PipeWire camera node ("Tovrelle" by
// default) as an ordinary client, saves chosen frames as PNG, and reports the
// negotiated format, the frame rate and the spread of frame intervals judged
// from the buffers' own time stamps. Output is one key=value per line.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <cairo.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wpedantic"
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include "ClientParams.h"
#include "platform/frames/PixelFormat.h"
#pragma GCC diagnostic pop

namespace {

struct Options {
  std::string target = "Tovrelle";
  std::vector<uint32_t> formats;  // empty: any of the four
  int frames = 30;
  bool stamps = false;
  int skip = 0;  // frames received first and left out of the figures (a source switch at start)
  std::set<int> save;
  std::string output = ".";
  std::string prefix = "frame";
  double timeout = 10.0;
  int switchAfter = 0;  // after this many frames ask for switchFormat instead; 0: never
  uint32_t switchFormat = 0;
};

// The formats the camera offers, by the names and SPA numbers of the one table.
struct FormatName {
  const char* name;
  uint32_t spa;
};
constexpr auto kFormats = [] {
  std::array<FormatName, std::size(tovrelle::frames::kOfferedFormats)> all{};
  for (size_t i = 0; i < all.size(); ++i) {
    const auto& f = tovrelle::frames::info(tovrelle::frames::kOfferedFormats[i]);
    all[i] = {f.name, f.spa};
  }
  return all;
}();
static_assert(kFormats[0].spa == SPA_VIDEO_FORMAT_BGRA && kFormats[1].spa == SPA_VIDEO_FORMAT_I420 &&
              kFormats[2].spa == SPA_VIDEO_FORMAT_NV12 && kFormats[3].spa == SPA_VIDEO_FORMAT_YUY2);

// Why a client may not get the format it asks for.
constexpr const char* kOneFormatAtATime =
    "A camera's PipeWire clients share one format at a time: while another client reads it in one format, a "
    "client that accepts only another gets nothing usable (Tovrelle's /dev/video device is a second output with "
    "a format of its own)";

const char* nameOf(uint32_t spa) {
  for (auto& f : kFormats)
    if (f.spa == spa) return f.name;
  return "other";
}

struct Snap {
  Options opt;
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_source* timeoutTimer = nullptr;
  spa_video_info_raw format{};
  bool haveFormat = false;
  int received = 0;
  int skipped = 0;
  std::vector<int64_t> pts;
  std::vector<uint64_t> seqs;
  std::vector<std::string> saved;
  std::vector<std::string> errors;
  std::vector<std::string> stamps;  // one line per frame with --stamps
  double mean[3] = {0, 0, 0};
  int alphaMin = 256;  // the smallest fourth byte of any BGRA frame
  bool timedOut = false;
  bool missingHeader = false;
  bool switched = false;
  std::vector<std::string> negotiated;  // every format settled on, in order
};

// The formats a client of `formats` asks for, as EnumFormat params.
std::vector<const spa_pod*> enumFormats(spa_pod_builder* b, const std::vector<uint32_t>& formats) {
  std::vector<const spa_pod*> params;
  spa_rectangle size{1280, 720}, minSize{1, 1}, maxSize{8192, 8192};
  spa_fraction rate{30, 1}, minRate{0, 1}, maxRate{1000, 1};
  for (uint32_t f : formats)
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(f),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate))));
  return params;
}

// Limited-range BT.601 back to 8-bit RGB, for saving YUV frames as PNG.
inline uint8_t clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }
inline void yuvToBgr(int y, int u, int v, uint8_t* out) {
  const int c = y - 16, d = u - 128, e = v - 128;
  out[0] = clamp8((298 * c + 516 * d + 128) >> 8);
  out[1] = clamp8((298 * c - 100 * d - 208 * e + 128) >> 8);
  out[2] = clamp8((298 * c + 409 * e + 128) >> 8);
  out[3] = 255;
}

// Sample (x, y) of a frame in one tightly packed block (stride of plane 0
// from the chunk) as B, G, R.
void pixelAt(const spa_video_info_raw& f, const uint8_t* data, int stride, int x, int y, uint8_t* bgr) {
  const int w = static_cast<int>(f.size.width), h = static_cast<int>(f.size.height);
  switch (f.format) {
    case SPA_VIDEO_FORMAT_BGRA: {
      const uint8_t* p = data + static_cast<size_t>(y) * stride + 4 * x;
      bgr[0] = p[0], bgr[1] = p[1], bgr[2] = p[2], bgr[3] = 255;
      return;
    }
    case SPA_VIDEO_FORMAT_I420: {
      const int cs = (stride + 1) / 2;
      const uint8_t* up = data + static_cast<size_t>(stride) * h;
      const uint8_t* vp = up + static_cast<size_t>(cs) * ((h + 1) / 2);
      yuvToBgr(data[static_cast<size_t>(y) * stride + x], up[(y / 2) * cs + x / 2], vp[(y / 2) * cs + x / 2], bgr);
      return;
    }
    case SPA_VIDEO_FORMAT_NV12: {
      const uint8_t* uv = data + static_cast<size_t>(stride) * h;
      const size_t c = static_cast<size_t>(y / 2) * stride + (x / 2) * 2;
      yuvToBgr(data[static_cast<size_t>(y) * stride + x], uv[c], uv[c + 1], bgr);
      return;
    }
    case SPA_VIDEO_FORMAT_YUY2: {
      const uint8_t* p = data + static_cast<size_t>(y) * stride + (x / 2) * 4;
      yuvToBgr(p[(x & 1) ? 2 : 0], p[1], p[3], bgr);
      return;
    }
    default:
      bgr[0] = bgr[1] = bgr[2] = 0;
      bgr[3] = 255;
      (void)w;
  }
}

bool savePng(const Snap& s, const uint8_t* data, int stride, const std::string& path) {
  const int w = static_cast<int>(s.format.size.width), h = static_cast<int>(s.format.size.height);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return false;
  cairo_surface_flush(surface);
  uint8_t* dst = cairo_image_surface_get_data(surface);
  const int dstStride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixelAt(s.format, data, stride, x, y, dst + static_cast<size_t>(y) * dstStride + 4 * x);
  cairo_surface_mark_dirty(surface);
  const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

// Mean of the three components as they travel: B, G, R for BGRA, Y, U, V
// for the YUV formats.
void componentMeans(const spa_video_info_raw& f, const uint8_t* data, int stride, double* out) {
  const int w = static_cast<int>(f.size.width), h = static_cast<int>(f.size.height);
  double sum[3] = {0, 0, 0};
  size_t n[3] = {0, 0, 0};
  if (f.format == SPA_VIDEO_FORMAT_BGRA) {
    for (int y = 0; y < h; ++y) {
      const uint8_t* p = data + static_cast<size_t>(y) * stride;
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) sum[c] += p[4 * x + c];
    }
    n[0] = n[1] = n[2] = static_cast<size_t>(w) * h;
  } else if (f.format == SPA_VIDEO_FORMAT_I420 || f.format == SPA_VIDEO_FORMAT_NV12) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) sum[0] += data[static_cast<size_t>(y) * stride + x];
    n[0] = static_cast<size_t>(w) * h;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const uint8_t* chroma = data + static_cast<size_t>(stride) * h;
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x) {
        if (f.format == SPA_VIDEO_FORMAT_I420) {
          const int cs = (stride + 1) / 2;
          sum[1] += chroma[static_cast<size_t>(y) * cs + x];
          sum[2] += chroma[static_cast<size_t>(cs) * ch + static_cast<size_t>(y) * cs + x];
        } else {
          sum[1] += chroma[static_cast<size_t>(y) * stride + 2 * x];
          sum[2] += chroma[static_cast<size_t>(y) * stride + 2 * x + 1];
        }
      }
    n[1] = n[2] = static_cast<size_t>(cw) * ch;
  } else if (f.format == SPA_VIDEO_FORMAT_YUY2) {
    for (int y = 0; y < h; ++y) {
      const uint8_t* p = data + static_cast<size_t>(y) * stride;
      for (int i = 0; i < w / 2; ++i) {
        sum[0] += p[4 * i] + p[4 * i + 2];
        sum[1] += p[4 * i + 1];
        sum[2] += p[4 * i + 3];
      }
    }
    n[0] = static_cast<size_t>(w / 2) * 2 * h;
    n[1] = n[2] = static_cast<size_t>(w / 2) * h;
  }
  for (int c = 0; c < 3; ++c) out[c] = n[c] ? sum[c] / static_cast<double>(n[c]) : 0.0;
}

int tightStride(const spa_video_info_raw& f) {
  const int w = static_cast<int>(f.size.width);
  switch (f.format) {
    case SPA_VIDEO_FORMAT_BGRA: return 4 * w;
    case SPA_VIDEO_FORMAT_YUY2: return 2 * ((w + 1) / 2) * 2;
    default: return w;
  }
}

size_t expectedSize(const spa_video_info_raw& f, int stride) {
  const size_t h = f.size.height;
  switch (f.format) {
    case SPA_VIDEO_FORMAT_I420:
      return static_cast<size_t>(stride) * h + 2 * static_cast<size_t>((stride + 1) / 2) * ((h + 1) / 2);
    case SPA_VIDEO_FORMAT_NV12: return static_cast<size_t>(stride) * h + static_cast<size_t>(stride) * ((h + 1) / 2);
    default: return static_cast<size_t>(stride) * h;
  }
}

void onProcess(void* data) {
  auto* s = static_cast<Snap*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(s->stream);
  if (!b) return;
  spa_buffer* buf = b->buffer;
  if (s->skipped < s->opt.skip && s->haveFormat) {
    ++s->skipped;
  } else if (s->received < s->opt.frames && s->haveFormat) {
    const spa_data& d = buf->datas[0];
    const int index = s->received++;
    auto* h = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)));
    if (h) {
      s->pts.push_back(h->pts);
      s->seqs.push_back(h->seq);
    } else {
      s->missingHeader = true;
    }
    const auto* bytes = static_cast<const uint8_t*>(d.data);
    // Some producers leave the chunk's stride at 0: then rows are tightly packed.
    int stride = d.chunk ? d.chunk->stride : 0;
    if (stride <= 0) stride = tightStride(s->format);
    const size_t offset = d.chunk ? d.chunk->offset : 0;
    const bool usable = bytes && d.chunk && stride > 0 && d.chunk->size >= expectedSize(s->format, stride) &&
                        offset + expectedSize(s->format, stride) <= d.maxsize;
    if (!usable) {
      s->errors.push_back("frame " + std::to_string(index) + " has no usable data");
    } else {
      if (s->opt.stamps) {
        // The frame's own stamp and its centre pixel (BGRA frames only).
        char line[96];
        const uint8_t* c = bytes + offset + static_cast<size_t>(s->format.size.height / 2) * stride +
                           static_cast<size_t>(s->format.size.width / 2) * 4;
        if (s->format.format == SPA_VIDEO_FORMAT_BGRA) {
          std::snprintf(line, sizeof line, "stamp=%d,%lld,%u,%u,%u", index, h ? static_cast<long long>(h->pts) : -1LL,
                        c[0], c[1], c[2]);
        } else {
          std::snprintf(line, sizeof line, "stamp=%d,%lld", index, h ? static_cast<long long>(h->pts) : -1LL);
        }
        s->stamps.emplace_back(line);
      }
      if (s->opt.save.count(index)) {
        std::string path = s->opt.output + "/" + s->opt.prefix + "-" + std::to_string(index) + ".png";
        if (savePng(*s, bytes + offset, stride, path)) {
          s->saved.push_back(path);
        } else {
          s->errors.push_back("cannot write " + path);
        }
      }
      if (index == s->opt.frames - 1) componentMeans(s->format, bytes + offset, stride, s->mean);
      if (s->format.format == SPA_VIDEO_FORMAT_BGRA)
        for (uint32_t y = 0; y < s->format.size.height; ++y) {
          const uint8_t* row = bytes + offset + static_cast<size_t>(y) * stride;
          for (uint32_t x = 0; x < s->format.size.width; ++x) s->alphaMin = std::min<int>(s->alphaMin, row[4 * x + 3]);
        }
    }
  }
  pw_stream_queue_buffer(s->stream, b);
  if (s->received >= s->opt.frames) {
    pw_main_loop_quit(s->loop);
  } else if (s->opt.switchAfter > 0 && !s->switched && s->received >= s->opt.switchAfter) {
    // Renegotiate mid-stream: from now on only the other format is taken.
    s->switched = true;
    s->haveFormat = false;
    uint8_t storage[1024];
    spa_pod_builder pb = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    auto params = enumFormats(&pb, {s->opt.switchFormat});
    pw_stream_update_params(s->stream, params.data(), static_cast<uint32_t>(params.size()));
  }
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* s = static_cast<Snap*>(data);
  if (id != SPA_PARAM_Format || param == nullptr) return;
  uint32_t type = 0, subtype = 0;
  if (spa_format_parse(param, &type, &subtype) < 0 || type != SPA_MEDIA_TYPE_video || subtype != SPA_MEDIA_SUBTYPE_raw)
    return;
  if (spa_format_video_raw_parse(param, &s->format) < 0) return;
  s->haveFormat = true;
  s->negotiated.emplace_back(nameOf(s->format.format));
  // PipeWire hands a second client the format the first one already reads,
  // whatever the second asked for.
  const auto& asked = s->switched ? std::vector<uint32_t>{s->opt.switchFormat} : s->opt.formats;
  if (std::find(asked.begin(), asked.end(), s->format.format) == asked.end())
    s->errors.push_back(std::string("the camera sends ") + nameOf(s->format.format) + ", a format not asked for. " +
                        kOneFormatAtATime);
  tovrelle::tools::requestBuffersWithHeaders(s->stream);
}

void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
  auto* s = static_cast<Snap*>(data);
  if (state == PW_STREAM_STATE_ERROR) {
    s->errors.push_back(std::string("stream error: ") + (error ? error : "?"));
    pw_main_loop_quit(s->loop);
  } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
    s->errors.push_back("disconnected from PipeWire");
    pw_main_loop_quit(s->loop);
  }
}

void onTimeout(void* data, uint64_t) {
  auto* s = static_cast<Snap*>(data);
  s->timedOut = true;
  pw_main_loop_quit(s->loop);
}

void onSignal(void* data, int) { pw_main_loop_quit(static_cast<Snap*>(data)->loop); }

void usage(FILE* out) {
  std::fprintf(
      out,
      "Usage: tovrelle-snap [options]\n"
      "Reads frames from a PipeWire camera like any client and reports what arrived.\n"
      "\n"
      "  --target NAME       node name or serial to read (default Tovrelle)\n"
      "  --format FMT        ask for BGRA, I420, NV12 or YUY2 (repeatable; default: any)\n"
      "  --frames N          frames to receive (default 30)\n"
      "  --skip N            receive N frames first and leave them out of everything (default 0)\n"
      "  --save LIST         save these frame indices (0-based, comma-separated) as PNG\n"
      "  --save-count K      save the first K frames as PNG\n"
      "  --output DIR        folder for the PNG files (default .)\n"
      "  --prefix NAME       PNG file names are NAME-INDEX.png (default frame)\n"
      "  --timeout SECONDS   give up after this long (default 10)\n"
      "  --stamps            print stamp=INDEX,PTS_NS[,B,G,R of the centre pixel] for every frame\n"
      "  --switch-after N    after N frames renegotiate, asking only for the --switch-format\n"
      "  --switch-format FMT the format asked for after the switch\n"
      "  --help              this text\n"
      "\n"
      "Prints key=value lines: format (the last negotiated), negotiated (all, in order), width,\n"
      "height, framerate, frames, fps (from the stamps),\n"
      "interval_mean_ms, interval_median_ms, interval_min_ms, interval_max_ms, interval_p99_dev_ms (99th percentile\n"
      "of |interval - nominal|), interval_off_period_max_ms, stamps_rising, seq_first, seq_last,\n"
      "alpha_min (BGRA), mean (last frame: B,G,R or\n"
      "Y,U,V), saved=PATH per PNG, error=TEXT per problem, and result=ok|timeout|error.\n"
      "Exit status 0 when all frames arrived with stamps, 1 otherwise, 2 on bad usage.\n");
}

bool parseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tovrelle-snap: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      usage(stdout);
      std::exit(0);
    } else if (a == "--target") {
      const char* v = value("--target");
      if (!v) return false;
      o.target = v;
    } else if (a == "--format") {
      const char* v = value("--format");
      if (!v) return false;
      if (std::strcmp(v, "any") == 0) continue;
      bool known = false;
      for (auto& f : kFormats)
        if (strcasecmp(v, f.name) == 0) {
          o.formats.push_back(f.spa);
          known = true;
        }
      if (!known) {
        std::fprintf(stderr, "tovrelle-snap: unknown format %s\n", v);
        return false;
      }
    } else if (a == "--frames") {
      const char* v = value("--frames");
      if (!v) return false;
      o.frames = std::atoi(v);
      if (o.frames < 1) return false;
    } else if (a == "--switch-after") {
      const char* v = value("--switch-after");
      if (!v) return false;
      o.switchAfter = std::atoi(v);
      if (o.switchAfter < 0) return false;
    } else if (a == "--switch-format") {
      const char* v = value("--switch-format");
      if (!v) return false;
      for (auto& f : kFormats)
        if (strcasecmp(v, f.name) == 0) o.switchFormat = f.spa;
      if (o.switchFormat == 0) {
        std::fprintf(stderr, "tovrelle-snap: unknown format %s\n", v);
        return false;
      }
    } else if (a == "--skip") {
      const char* v = value("--skip");
      if (!v) return false;
      o.skip = std::atoi(v);
      if (o.skip < 0) return false;
    } else if (a == "--save") {
      const char* v = value("--save");
      if (!v) return false;
      std::stringstream ss(v);
      std::string item;
      while (std::getline(ss, item, ','))
        if (!item.empty()) o.save.insert(std::atoi(item.c_str()));
    } else if (a == "--save-count") {
      const char* v = value("--save-count");
      if (!v) return false;
      for (int k = 0, n = std::atoi(v); k < n; ++k) o.save.insert(k);
    } else if (a == "--output") {
      const char* v = value("--output");
      if (!v) return false;
      o.output = v;
    } else if (a == "--prefix") {
      const char* v = value("--prefix");
      if (!v) return false;
      o.prefix = v;
    } else if (a == "--stamps") {
      o.stamps = true;
    } else if (a == "--timeout") {
      const char* v = value("--timeout");
      if (!v) return false;
      o.timeout = std::atof(v);
      if (o.timeout <= 0) return false;
    } else {
      std::fprintf(stderr, "tovrelle-snap: unknown option %s\n", a.c_str());
      return false;
    }
  }
  if ((o.switchAfter > 0) != (o.switchFormat != 0)) {
    std::fprintf(stderr, "tovrelle-snap: --switch-after and --switch-format go together\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Snap s;
  if (!parseArgs(argc, argv, s.opt)) {
    usage(stderr);
    return 2;
  }
  if (s.opt.formats.empty())
    for (auto& f : kFormats) s.opt.formats.push_back(f.spa);

  pw_init(nullptr, nullptr);
  s.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(s.loop);
  pw_loop_add_signal(loop, SIGINT, onSignal, &s);
  pw_loop_add_signal(loop, SIGTERM, onSignal, &s);
  s.timeoutTimer = pw_loop_add_timer(loop, onTimeout, &s);
  timespec timeout{};
  timeout.tv_sec = static_cast<time_t>(s.opt.timeout);
  timeout.tv_nsec = static_cast<long>((s.opt.timeout - std::floor(s.opt.timeout)) * 1e9);
  pw_loop_update_timer(loop, s.timeoutTimer, &timeout, nullptr, false);

  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = onStateChanged;
  events.param_changed = onParamChanged;
  events.process = onProcess;

  s.stream = pw_stream_new_simple(
      loop, "tovrelle-snap",
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                        PW_KEY_TARGET_OBJECT, s.opt.target.c_str(), nullptr),
      &events, &s);
  int status = 1;
  if (!s.stream) {
    std::printf("error=cannot create a PipeWire stream (%s)\nresult=error\n", std::strerror(errno));
  } else {
    uint8_t storage[4096];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    std::vector<const spa_pod*> params = enumFormats(&b, s.opt.formats);
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(s.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params.data(),
                          static_cast<uint32_t>(params.size())) < 0) {
      s.errors.push_back("cannot connect to PipeWire");
    } else {
      pw_main_loop_run(s.loop);
    }

    std::printf("target=%s\n", s.opt.target.c_str());
    if (s.haveFormat) {
      std::printf("format=%s\nwidth=%u\nheight=%u\nframerate=%u/%u\n", nameOf(s.format.format), s.format.size.width,
                  s.format.size.height, s.format.framerate.num, s.format.framerate.denom);
    }
    std::string all;
    for (auto& n : s.negotiated) all += (all.empty() ? "" : ",") + n;
    if (!all.empty()) std::printf("negotiated=%s\n", all.c_str());
    std::printf("frames=%d\n", s.received);
    if (s.pts.size() >= 2) {
      std::vector<double> intervals;
      bool rising = true;
      for (size_t i = 1; i < s.pts.size(); ++i) {
        intervals.push_back(static_cast<double>(s.pts[i] - s.pts[i - 1]) / 1e6);
        if (s.pts[i] <= s.pts[i - 1]) rising = false;
      }
      double sum = 0;
      for (double v : intervals) sum += v;
      const double mean = sum / static_cast<double>(intervals.size());
      const double nominal = s.format.framerate.num ? 1000.0 * s.format.framerate.denom / s.format.framerate.num : mean;
      std::vector<double> dev;
      for (double v : intervals) dev.push_back(std::fabs(v - nominal));
      std::sort(dev.begin(), dev.end());
      const size_t p99 =
          std::min(dev.size() - 1, static_cast<size_t>(std::ceil(0.99 * static_cast<double>(dev.size()))) - 1);
      const double span = static_cast<double>(s.pts.back() - s.pts.front()) / 1e9;
      std::printf("fps=%.3f\n", span > 0 ? static_cast<double>(s.pts.size() - 1) / span : 0.0);
      std::vector<double> sorted = intervals;
      std::sort(sorted.begin(), sorted.end());
      std::printf("interval_mean_ms=%.3f\ninterval_median_ms=%.3f\n", mean, sorted[sorted.size() / 2]);
      std::printf("interval_min_ms=%.3f\ninterval_max_ms=%.3f\ninterval_p99_dev_ms=%.3f\n", sorted.front(),
                  sorted.back(), dev[p99]);
      std::printf("stamps_rising=%s\n", rising ? "yes" : "no");
      // How far any interval is from a whole number of frame periods (a
      // dropped frame is a whole period; a late timer is not).
      double offPeriod = 0;
      for (double v : intervals) {
        const double periods = std::max(1.0, std::round(v / nominal));
        offPeriod = std::max(offPeriod, std::fabs(v - periods * nominal));
      }
      std::printf("interval_off_period_max_ms=%.3f\n", offPeriod);
      std::printf("pts_first=%lld\npts_last=%lld\n", static_cast<long long>(s.pts.front()),
                  static_cast<long long>(s.pts.back()));
      std::printf("seq_first=%llu\nseq_last=%llu\n", static_cast<unsigned long long>(s.seqs.front()),
                  static_cast<unsigned long long>(s.seqs.back()));
    }
    if (s.missingHeader) s.errors.push_back("buffers carry no header with a time stamp");
    if (s.negotiated.empty()) s.errors.push_back("no format agreed with " + s.opt.target + ". " + kOneFormatAtATime);
    if (s.received >= s.opt.frames) std::printf("mean=%.2f,%.2f,%.2f\n", s.mean[0], s.mean[1], s.mean[2]);
    if (s.alphaMin <= 255) std::printf("alpha_min=%d\n", s.alphaMin);
    for (auto& p : s.saved) std::printf("saved=%s\n", p.c_str());
    for (auto& line : s.stamps) std::printf("%s\n", line.c_str());
    for (auto& e : s.errors) std::printf("error=%s\n", e.c_str());
    const bool ok = s.received >= s.opt.frames && s.errors.empty() && !s.missingHeader;
    std::printf("result=%s\n", ok ? "ok" : s.timedOut ? "timeout" : "error");
    status = ok ? 0 : 1;
    pw_stream_destroy(s.stream);
  }
  pw_loop_destroy_source(loop, s.timeoutTimer);
  pw_main_loop_destroy(s.loop);
  pw_deinit();
  return status;
}

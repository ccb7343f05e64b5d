#include "platform/camera/pipewire/PipeWireVirtualCamera.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wpedantic"
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#pragma GCC diagnostic pop

#include "platform/camera/pipewire/PipeWireInit.h"
#include "platform/log/Log.h"

namespace tovrelle::camera {
namespace {

const log::Logger& logger() {
  static const log::Logger l("ossel.tovrelle", "VirtualCamera");
  return l;
}

// The offered formats' SPA numbers are PipeWire's.
static_assert(frames::info(frames::PixelFormat::bgra).spa == SPA_VIDEO_FORMAT_BGRA &&
              frames::info(frames::PixelFormat::i420).spa == SPA_VIDEO_FORMAT_I420 &&
              frames::info(frames::PixelFormat::nv12).spa == SPA_VIDEO_FORMAT_NV12 &&
              frames::info(frames::PixelFormat::yuy2).spa == SPA_VIDEO_FORMAT_YUY2);

std::optional<frames::PixelFormat> offeredFormatOfSpa(uint32_t f) {
  for (frames::PixelFormat w : frames::kOfferedFormats)
    if (frames::info(w).spa == f) return w;
  return std::nullopt;
}

// What a PipeWire buffer last carried, so an unchanged picture (a held black
// frame, a still image) is not copied or converted into it again.
struct Slot {
  // Weak: a buffer with a client must not keep a camera frame's memory busy.
  std::weak_ptr<const void> shown;
  bool holds(const std::shared_ptr<const void>& frame) const {
    return !shown.expired() && !shown.owner_before(frame) && !frame.owner_before(shown);
  }
  std::optional<frames::PixelFormat> format;
};

class PipeWireVirtualCamera final : public VirtualCamera {
 public:
  explicit PipeWireVirtualCamera(PipeWireOptions options) : options_(options) {
    pipewire::ensureInitialized();
    loop_ = pw_thread_loop_new("tovrelle-pw", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    retryTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &PipeWireVirtualCamera::onRetryTimer, this);
    pw_thread_loop_start(loop_);
  }

  ~PipeWireVirtualCamera() override {
    unpublish();
    pw_thread_loop_lock(loop_);
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retryTimer_);
    retryTimer_ = nullptr;
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
  }

  bool supportsFormat(const StreamFormat& f) const override {
    return f.pixelFormat == frames::PixelFormat::bgra && f.width > 0 && f.height > 0 && f.width % 2 == 0 &&
           f.height % 2 == 0 && f.width <= 8192 && f.height <= 8192 && f.minFrameDuration.count() > 0;
  }

  void publish(const DeviceDescription& description, std::shared_ptr<dispatch::Queue> clientQueue,
               StreamHandlers handlers) override {
    pw_thread_loop_lock(loop_);
    if (handlersLive_) handlersLive_->store(false);
    disconnect();
    description_ = description;
    clientQueue_ = std::move(clientQueue);
    handlers_ = std::move(handlers);
    handlersLive_ = std::make_shared<std::atomic<bool>>(true);
    wantPublished_ = true;
    reportedUnreachable_ = false;
    connect();
    pw_thread_loop_unlock(loop_);
  }

  void unpublish() override {
    pw_thread_loop_lock(loop_);
    wantPublished_ = false;
    if (handlersLive_) handlersLive_->store(false);
    disconnect();
    if (retryTimer_) pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, nullptr, nullptr, false);
    pw_thread_loop_unlock(loop_);
  }

  void setDeviceProperty(const std::string& key, const std::string& value) override {
    pw_thread_loop_lock(loop_);
    auto [it, added] = deviceProperties_.try_emplace(key, value);
    if (added || it->second != value) {
      it->second = value;
      if (stream_) {
        spa_dict_item item = SPA_DICT_ITEM_INIT(it->first.c_str(), it->second.c_str());
        spa_dict dict = SPA_DICT_INIT(&item, 1);
        pw_stream_update_properties(stream_, &dict);
      }
    }
    pw_thread_loop_unlock(loop_);
  }

  using VirtualCamera::queueFrame;
  void queueFrame(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t sequence) override {
    if (!frame) return;
    pw_thread_loop_lock(loop_);
    if (stream_ && streaming_ && format_) fill(frame, hostTimeNs, sequence);
    pw_thread_loop_unlock(loop_);
  }

 private:
  // Everything below runs with the loop lock held (PipeWire's own callbacks
  // are dispatched with it held).

  void fill(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t sequence) {
    pw_buffer* b = pw_stream_dequeue_buffer(stream_);
    if (b == nullptr) return;  // the client has not returned any buffer yet: drop
    spa_buffer* sb = b->buffer;
    spa_data& d = sb->datas[0];
    const int width = description_.format.width, height = description_.format.height;
    const frames::PackedLayout layout = frames::packedLayout(*format_, width, height);
    auto* slot = static_cast<Slot*>(b->user_data);
    if (d.data == nullptr || d.maxsize < layout.size || d.chunk == nullptr) {
      if (d.chunk) d.chunk->size = 0;
      pw_stream_queue_buffer(stream_, b);
      return;
    }
    if (!slot || !slot->holds(frame.storage) || slot->format != format_) {
      if (!writer_.write(frame, *format_, width, height, static_cast<uint8_t*>(d.data))) {
        if (!reportedUnwritable_)
          logger().error("cannot write a %dx%d %s frame as %s; dropping such frames", frame.width, frame.height,
                         frames::pixelFormatName(frame.format), frames::pixelFormatName(*format_));
        reportedUnwritable_ = true;
        if (slot) slot->shown.reset();
        d.chunk->size = 0;
        pw_stream_queue_buffer(stream_, b);
        return;
      }
      if (slot) {
        slot->shown = frame.storage;
        slot->format = format_;
      }
    }
    d.chunk->offset = 0;
    d.chunk->size = static_cast<uint32_t>(layout.size);
    d.chunk->stride = layout.stride[0];
    d.chunk->flags = SPA_CHUNK_FLAG_NONE;
    if (auto* h =
            static_cast<spa_meta_header*>(spa_buffer_find_meta_data(sb, SPA_META_Header, sizeof(spa_meta_header)))) {
      h->flags = 0;
      h->offset = 0;
      h->pts = static_cast<int64_t>(hostTimeNs);
      h->dts_offset = 0;
      h->seq = sequence;
    }
    pw_stream_queue_buffer(stream_, b);
    pw_stream_trigger_process(stream_);
  }

  void connect() {
    if (!wantPublished_ || core_) return;
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
      const int err = errno;
      if (!reportedUnreachable_) {
        logger().error("PipeWire is not reachable (%s); trying again every %lld ms", std::strerror(err),
                       static_cast<long long>(options_.retryInterval.count()));
        reportedUnreachable_ = true;
      }
      scheduleRetry(options_.retryInterval);
      return;
    }
    pw_core_add_listener(core_, &coreListener_, &kCoreEvents, this);

    const DeviceDescription& d = description_;
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS, "Video/Source",
        PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, d.deviceName.c_str(), PW_KEY_NODE_DESCRIPTION,
        d.deviceName.c_str(), PW_KEY_NODE_NICK, d.streamName.c_str(), PW_KEY_DEVICE_PRODUCT_NAME, d.model.c_str(),
        PW_KEY_DEVICE_VENDOR_NAME, d.manufacturer.c_str(), PW_KEY_DEVICE_SERIAL, d.deviceId.c_str(),
        "tovrelle.device.id", d.deviceId.c_str(), "tovrelle.stream.id", d.streamId.c_str(), "tovrelle.device.model",
        d.model.c_str(), "tovrelle.device.manufacturer", d.manufacturer.c_str(), "tovrelle.stream.name",
        d.streamName.c_str(), nullptr);
    for (const auto& [key, value] : deviceProperties_) pw_properties_set(props, key.c_str(), value.c_str());
    stream_ = pw_stream_new(core_, d.streamName.c_str(), props);
    if (stream_ == nullptr) {
      logger().error("cannot create the PipeWire stream (%s); trying again", std::strerror(errno));
      disconnect();
      scheduleRetry(options_.retryInterval);
      return;
    }
    pw_stream_add_listener(stream_, &streamListener_, &kStreamEvents, this);

    uint8_t storage[2048];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[std::size(frames::kOfferedFormats)];
    const auto& f = d.format;
    // Frame rate as frames per second from the frame duration (1/30 s -> 30/1).
    const auto ticks = f.minFrameDuration.count(), perSecond = int64_t{FrameTime::period::den};
    const auto common = std::gcd(ticks, perSecond);
    const spa_fraction rate{static_cast<uint32_t>(perSecond / common), static_cast<uint32_t>(ticks / common)};
    uint32_t n = 0;
    for (frames::PixelFormat w : frames::kOfferedFormats) {
      spa_video_info_raw info{};
      info.format = static_cast<spa_video_format>(frames::info(w).spa);
      info.size = spa_rectangle{static_cast<uint32_t>(f.width), static_cast<uint32_t>(f.height)};
      info.framerate = rate;
      params[n++] = spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
    }
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (int r = pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, n); r < 0) {
      logger().error("cannot connect the PipeWire stream (%s); trying again", std::strerror(-r));
      disconnect();
      scheduleRetry(options_.retryInterval);
    }
  }

  void disconnect() {
    if (streaming_) {
      streaming_ = false;
      post(false);
    }
    if (stream_) {
      spa_hook_remove(&streamListener_);
      pw_stream_destroy(stream_);
      stream_ = nullptr;
    }
    if (core_) {
      spa_hook_remove(&coreListener_);
      pw_core_disconnect(core_);
      core_ = nullptr;
    }
    slots_.clear();
    format_.reset();
    announced_ = false;
    reconnectPending_ = false;
  }

  void scheduleRetry(std::chrono::milliseconds delay) {
    if (!retryTimer_) return;
    timespec value{};
    const auto ns = std::max<long long>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count());
    value.tv_sec = static_cast<time_t>(ns / 1000000000);
    value.tv_nsec = static_cast<long>(ns % 1000000000);
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, &value, nullptr, false);
  }

  // The daemon went away or the stream failed: drop everything and publish
  // anew from the retry timer (not from inside PipeWire's own callback).
  void connectionLost(const char* why) {
    if (reconnectPending_) return;
    reconnectPending_ = true;
    logger().error("PipeWire connection lost (%s); publishing again when it is back", why);
    if (streaming_) {
      streaming_ = false;
      post(false);
    }
    scheduleRetry(std::chrono::milliseconds(1));
  }

  void post(bool start) {
    auto live = handlersLive_;
    auto fn = start ? handlers_.startStream : handlers_.stopStream;
    if (!clientQueue_ || !fn || !live) return;
    clientQueue_->async([live, fn] {
      if (live->load()) fn();
    });
  }

  static void onRetryTimer(void* data, uint64_t) {
    auto* self = static_cast<PipeWireVirtualCamera*>(data);
    if (self->reconnectPending_) self->disconnect();
    if (self->wantPublished_ && !self->core_) self->connect();
  }

  static void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<PipeWireVirtualCamera*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) self->connectionLost(message ? message : "EPIPE");
  }

  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
    auto* self = static_cast<PipeWireVirtualCamera*>(data);
    if (state == PW_STREAM_STATE_STREAMING) {
      if (!self->streaming_) {
        self->streaming_ = true;
        self->post(true);
      }
    } else if (self->streaming_) {
      self->streaming_ = false;
      self->post(false);
    }
    if (state == PW_STREAM_STATE_PAUSED && !self->announced_) {
      self->announced_ = true;
      self->reportedUnreachable_ = false;
      logger().info("published \"%s\" on PipeWire (node %u)", self->description_.deviceName.c_str(),
                    pw_stream_get_node_id(self->stream_));
    }
    if (state == PW_STREAM_STATE_ERROR) {
      self->connectionLost(error ? error : "stream error");
    } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
      self->connectionLost("stream disconnected");
    }
  }

  static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireVirtualCamera*>(data);
    if (id != SPA_PARAM_Format) return;
    for (auto& slot : self->slots_) slot->shown.reset();
    self->format_.reset();
    if (param == nullptr) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw raw{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &raw) < 0) {
      logger().error("a client asked for a format other than raw video");
      return;
    }
    const auto& f = self->description_.format;
    auto wire = offeredFormatOfSpa(raw.format);
    if (!wire || raw.size.width != static_cast<uint32_t>(f.width) ||
        raw.size.height != static_cast<uint32_t>(f.height)) {
      logger().error("a client asked for an unsupported format (%u, %ux%u)", raw.format, raw.size.width,
                     raw.size.height);
      return;
    }
    self->format_ = wire;
    logger().info("client format %s %ux%u %u/%u", frames::pixelFormatName(*wire), raw.size.width, raw.size.height,
                  raw.framerate.num, raw.framerate.denom);

    const frames::PackedLayout layout = frames::packedLayout(*wire, f.width, f.height);
    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(static_cast<int32_t>(layout.size)), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(layout.stride[0])));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(static_cast<int32_t>(sizeof(spa_meta_header)))));
    pw_stream_update_params(self->stream_, params, 2);
  }

  static void onAddBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<PipeWireVirtualCamera*>(data);
    self->slots_.push_back(std::make_unique<Slot>());
    buffer->user_data = self->slots_.back().get();
  }

  static void onRemoveBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<PipeWireVirtualCamera*>(data);
    auto* slot = static_cast<Slot*>(buffer->user_data);
    buffer->user_data = nullptr;
    std::erase_if(self->slots_, [slot](const auto& s) { return s.get() == slot; });
  }

  static pw_core_events makeCoreEvents() {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = &PipeWireVirtualCamera::onCoreError;
    return e;
  }
  static pw_stream_events makeStreamEvents() {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &PipeWireVirtualCamera::onStateChanged;
    e.param_changed = &PipeWireVirtualCamera::onParamChanged;
    e.add_buffer = &PipeWireVirtualCamera::onAddBuffer;
    e.remove_buffer = &PipeWireVirtualCamera::onRemoveBuffer;
    return e;
  }
  static inline const pw_core_events kCoreEvents = makeCoreEvents();
  static inline const pw_stream_events kStreamEvents = makeStreamEvents();

  PipeWireOptions options_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  spa_hook coreListener_{};
  pw_stream* stream_ = nullptr;
  spa_hook streamListener_{};
  spa_source* retryTimer_ = nullptr;
  bool wantPublished_ = false;
  bool reportedUnreachable_ = false;
  bool reportedUnwritable_ = false;
  frames::FrameWriter writer_;  // used under the loop lock
  bool reconnectPending_ = false;
  bool announced_ = false;
  bool streaming_ = false;
  std::optional<frames::PixelFormat> format_;
  std::vector<std::unique_ptr<Slot>> slots_;
  DeviceDescription description_;
  std::map<std::string, std::string> deviceProperties_;  // kept across reconnects
  std::shared_ptr<dispatch::Queue> clientQueue_;
  StreamHandlers handlers_;
  std::shared_ptr<std::atomic<bool>> handlersLive_;
};

}  // namespace

std::shared_ptr<VirtualCamera> makePipeWireVirtualCamera(PipeWireOptions options) {
  return std::make_shared<PipeWireVirtualCamera>(options);
}

}  // namespace tovrelle::camera

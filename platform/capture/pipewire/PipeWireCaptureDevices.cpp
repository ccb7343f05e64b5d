// The capture service on PipeWire. Thread model: one PipeWire connection
// and thread loop per process, for discovery, format probing and every
// capture session, so opening a camera costs no new thread or connection.
// - Discovery: callers reach the registry under the loop lock and read the
//   camera list under `mutex_`. Notifications leave on a serial queue.
// - Sessions: everything touching a stream runs on the loop's thread
//   (callers get there with runOnLoop); the start's outcome leaves through
//   one promise the caller waits on, frames through one hand-off to the
//   capture queue. A raw frame is not copied: the camera's buffer goes with
//   it (a Loan) and the loop takes it back at the next frame.
// - When the connection drops, every session reports it once and its stream
//   goes with the connection; discovery reconnects every second.
#include "platform/capture/pipewire/PipeWireCaptureDevices.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/json.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/camera/pipewire/PipeWireInit.h"
#include "platform/capture/convert/FrameConverter.h"
#include "platform/capture/pipewire/CameraPortal.h"
#include "platform/capture/pipewire/FormatChoice.h"
#include "platform/log/Log.h"

namespace tovrelle::capture {
namespace {

using namespace std::chrono_literals;

const log::Logger& logger() {
  static const log::Logger instance("ossel.tovrelle", "Capture");
  return instance;
}

// Drops a registry and its core connection with their listeners; the thread
// loop must be locked.
void releaseRegistryAndCore(pw_registry*& registry, spa_hook& registryListener, pw_core*& core,
                            spa_hook& coreListener) {
  if (registry) {
    spa_hook_remove(&registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    registry = nullptr;
  }
  if (core) {
    spa_hook_remove(&coreListener);
    pw_core_disconnect(core);
    core = nullptr;
  }
}

// Waits on a thread loop (locked by the caller) until `done` or the deadline.
template <typename Pred>
void waitLocked(pw_thread_loop* loop, std::chrono::steady_clock::time_point deadline, Pred done) {
  while (!done()) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= 0s) return;
    timespec abstime{};
    pw_thread_loop_get_time(loop, &abstime,
                            static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                     std::min<std::chrono::steady_clock::duration>(left, 200ms))
                                                     .count()));
    pw_thread_loop_timed_wait_full(loop, &abstime);
  }
}

const char* lookup(const spa_dict* props, const char* key) {
  const char* v = props ? spa_dict_lookup(props, key) : nullptr;
  return v && *v ? v : nullptr;
}

// The portal's restricted connection inside a sandbox, the normal socket outside.
pw_core* connectCore(pw_context* context, const CameraPortal& portal) {
  if (portal.sandboxed()) {
    if (portal.status() != AuthorizationStatus::authorized) return nullptr;
    int fd = portal.openPipeWireRemote();
    if (fd < 0) return nullptr;
    return pw_context_connect_fd(context, fd, nullptr, 0);
  }
  return pw_context_connect(context, nullptr, 0);
}

// The node name in a "default.video.source" value, {"name": "..."}.
std::optional<std::string> defaultNodeName(const char* value) {
  if (!value) return std::nullopt;
  spa_json it[2];
  spa_json_init(&it[0], value, std::strlen(value));
  if (spa_json_enter_object(&it[0], &it[1]) <= 0) return std::nullopt;
  char key[64];
  while (spa_json_get_string(&it[1], key, sizeof key) > 0) {
    char name[512];
    if (std::strcmp(key, "name") == 0) {
      if (spa_json_get_string(&it[1], name, sizeof name) <= 0) return std::nullopt;
      return std::string(name);
    }
    const char* skipped = nullptr;
    if (spa_json_next(&it[1], &skipped) <= 0) return std::nullopt;
  }
  return std::nullopt;
}

struct CameraNode {
  uint32_t id = 0;
  std::string serial;
  DeviceInfo info;
};

// ---------------------------------------------------------------------------
// Device input: the node, and the format chosen from what it offers.

class PipeWireDeviceInput final : public DeviceInput {
 public:
  PipeWireDeviceInput(CameraNode node, VideoFormat format) : node_(std::move(node)), format_(format) {}
  const DeviceInfo& device() const override { return node_.info; }
  const CameraNode& node() const { return node_; }
  const VideoFormat& format() const { return format_; }

 private:
  CameraNode node_;
  VideoFormat format_;
};

// ---------------------------------------------------------------------------
// Capture session.
//
// Thread model: a running session lives on the shared connection's loop.
// Everything that touches its stream (connecting, negotiation, frames,
// failures, tear-down) runs on that thread; other threads reach it only
// through runOnLoop and never read the Pipe's fields. Results leave the loop
// through two hand-offs: the outcome of the start, set once into a promise
// the starting caller waits on, and each frame, posted to the output's queue
// through the Gate, which lets no callback start once the session stops.

// Runs `f` on the loop's thread and returns once it has run. The thread
// loop wants its lock held around a blocking invoke: it lets go of it while
// the caller waits for the loop to run `f`.
template <typename F>
void runOnLoop(pw_thread_loop* loop, F&& f) {
  using Fn = std::remove_reference_t<F>;
  pw_thread_loop_lock(loop);
  pw_loop_invoke(
      pw_thread_loop_get_loop(loop),
      [](spa_loop*, bool, uint32_t, const void*, size_t, void* user) -> int {
        (*static_cast<Fn*>(user))();
        return 0;
      },
      SPA_ID_INVALID, nullptr, 0, true, &f);
  pw_thread_loop_unlock(loop);
}

// Between the loop and the output's queue. The queue is serial, so at most
// one callback runs at a time.
struct Gate {
  std::atomic<bool> busy{false};  // a frame is on its way to, or inside, the callback
  std::atomic<bool> live{false};  // streaming and not interrupted

  template <typename F>
  void run(F&& f) {
    {
      std::lock_guard lock(mutex_);
      if (!open_) return;
      runner_ = std::this_thread::get_id();
    }
    f();
    {
      std::lock_guard lock(mutex_);
      runner_ = {};
    }
    idle_.notify_all();
  }

  // No callback starts after this returns, and none is running, unless the
  // caller is that callback.
  void close() {
    std::unique_lock lock(mutex_);
    open_ = false;
    live = false;
    if (runner_ == std::this_thread::get_id()) return;
    idle_.wait(lock, [&] { return runner_ == std::thread::id{}; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  bool open_ = true;
  std::thread::id runner_;
};

// A camera buffer lent with a raw frame to the output's callback. The loop
// takes it back once the callback is done. When PipeWire drops buffers (a
// new format, the end) one still lent is called back: a callback that has
// not begun skips the frame, one that is reading it is waited for.
struct Loan {
  std::mutex mutex;
  std::condition_variable idle;
  pw_buffer* buffer = nullptr;  // lent, not yet taken back
  uint64_t ticket = 0;          // of the current loan; a called-back one no longer matches
  std::thread::id reader;       // of a callback reading it now
  bool done = false;            // the callback has finished with `buffer`

  // The callback's side: runs `f` if loan `t` still stands.
  template <typename F>
  void read(uint64_t t, F&& f) {
    {
      std::lock_guard lock(mutex);
      if (t != ticket || !buffer) return;
      reader = std::this_thread::get_id();
    }
    f();
    {
      std::lock_guard lock(mutex);
      reader = {};
      if (t == ticket) done = true;
    }
    idle.notify_all();
  }

  // The loop's side. The buffer to queue again, if the callback is done with it.
  pw_buffer* takeBack() {
    std::lock_guard lock(mutex);
    if (!buffer || !done) return nullptr;
    return std::exchange(buffer, nullptr);
  }
  uint64_t lend(pw_buffer* b) {
    std::lock_guard lock(mutex);
    buffer = b;
    done = false;
    return ++ticket;
  }
  // `b` (any when null) is going away: once this returns nobody reads it,
  // unless the caller is the reader (a callback that stops its own session).
  // Returns the buffer that was lent, if any.
  pw_buffer* callBack(pw_buffer* b) {
    std::unique_lock lock(mutex);
    if (!buffer || (b && b != buffer)) return nullptr;
    ++ticket;
    pw_buffer* const lent = std::exchange(buffer, nullptr);
    if (reader != std::this_thread::get_id()) idle.wait(lock, [&] { return reader == std::thread::id{}; });
    return lent;
  }
};

struct StartOutcome {
  bool streaming = false;
  std::string failure;
  VideoFormat format;
};

class Pipe;

// What a session needs of the shared connection. loop() is fixed once the
// service has started; the rest is for the loop's thread only.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual pw_thread_loop* loop() const = 0;  // none when the service could not start one
  virtual pw_core* core() = 0;               // none while disconnected
  // Whether the registry, as far as it has been read, still lists the node.
  virtual bool lists(const CameraNode& node) = 0;
  // A registered pipe hears of syncs, node removals and the connection's end.
  virtual void add(Pipe* pipe) = 0;
  virtual void remove(Pipe* pipe) = 0;
};

class Pipe {
 public:
  Pipe(std::shared_ptr<Connection> connection, std::shared_ptr<PipeWireDeviceInput> input,
       std::shared_ptr<VideoOutput> output, int width, int height)
      : connection_(std::move(connection)),
        loop_(connection_->loop()),
        input_(std::move(input)),
        output_(std::move(output)),
        width_(width),
        height_(height) {}

  // Never on the loop's own thread. The stream goes on the loop's thread:
  // PipeWire runs its callbacks there.
  ~Pipe() {
    if (started_)
      runOnLoop(loop_, [this] {
        destroyStream();
        connection_->remove(this);
      });
  }

  const std::shared_ptr<Gate>& gate() const { return gate_; }

  // Starts the stream on the shared loop; the outcome arrives once.
  std::future<StartOutcome> start() {
    auto outcome = promise_.get_future();
    if (!loop_) {
      settle(false, "there is no PipeWire loop");
    } else {
      started_ = true;
      runOnLoop(loop_, [this] { connect(); });
    }
    return outcome;
  }

  // Ends a start still waiting for its first frame.
  void abort(const char* reason) {
    if (started_) runOnLoop(loop_, [this, reason] { fail(reason); });
  }

  // ---- the shared connection's calls, on the loop's thread ----

  void onCoreDone(int seq) {
    if (seq != registrySync_ || state_ != State::connecting || stream_) return;
    if (!connection_->lists(input_->node())) return lose("the camera is no longer attached");
    connectStream();
  }

  void onNodeRemoved(uint32_t id) {
    if (id == input_->node().id) lose("the camera went away");
  }

  void onNodeError(uint32_t id, int res, const char* message) {
    if (stream_ && id == pw_stream_get_node_id(stream_))
      lose(log::format("PipeWire error: %s", message ? message : spa_strerror(res)));
  }

  // The connection is about to go: the stream goes first, with its buffers.
  void onConnectionLost() {
    lose("lost the connection to PipeWire");
    destroyStream();
  }

 private:
  enum class State { connecting, streaming, failed };

  // ---- everything below runs on the loop's thread ----

  void settle(bool streaming, std::string failure) {
    if (settled_) return;
    settled_ = true;
    promise_.set_value({streaming, std::move(failure), format_});
  }

  void destroyStream() {
    pw_buffer* const lent = loan_->callBack(nullptr);
    if (stream_) {
      // Handed back first: a buffer a reader still holds when it goes is
      // lost to the camera, which stops sending once it has none left.
      if (lent) pw_stream_queue_buffer(stream_, lent);
      spa_hook_remove(&streamListener_);
      pw_stream_destroy(stream_);
      stream_ = nullptr;
    }
    fail("stopped");
  }

  void connect() {
    connection_->add(this);
    if (!connection_->core()) return fail("not connected to PipeWire");
    // A round trip first, so that a camera removed just before is seen gone:
    // a stream whose target is gone could be linked to some other camera.
    registrySync_ = pw_core_sync(connection_->core(), PW_ID_CORE, 0);
  }

  // Once the registry shows the camera still there.
  void connectStream() {
    const CameraNode& node = input_->node();
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                          PW_KEY_NODE_NAME, "tovrelle-capture", PW_KEY_NODE_DESCRIPTION, "Tovrelle camera capture",
                          PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    // Serial first: it names exactly this node even if another has the same name.
    pw_properties_set(props, PW_KEY_TARGET_OBJECT,
                      node.serial.empty() ? node.info.uniqueId.c_str() : node.serial.c_str());
    stream_ = pw_stream_new(connection_->core(), "tovrelle-capture", props);
    if (!stream_) return fail("cannot create a capture stream");
    static const pw_stream_events streamEvents = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
        static_cast<Pipe*>(data)->onState(state, error);
      };
      e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
        static_cast<Pipe*>(data)->onParam(id, param);
      };
      e.process = [](void* data) { static_cast<Pipe*>(data)->onProcess(); };
      e.remove_buffer = [](void* data, pw_buffer* buffer) { static_cast<Pipe*>(data)->loan_->callBack(buffer); };
      return e;
    }();
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    // The chosen format first; then any video, so that a camera switching to
    // another format mid-stream reaches onParam (read, or refused once)
    // instead of leaving the link failed and the stream silent.
    const spa_pod* params[2] = {
        buildFormatParam(&b, input_->format()),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video)))};
    int rc = pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                               static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                            PW_STREAM_FLAG_DONT_RECONNECT),
                               params, 2);
    if (rc < 0) fail(log::format("cannot connect the capture stream: %s", spa_strerror(rc)));
  }

  void onState(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_STREAMING && state_ == State::connecting) {
      if (!converter_) return;  // not negotiated yet; the next param change will get here
      state_ = State::streaming;
      gate_->live = true;
      settle(true, "");
    } else if (state == PW_STREAM_STATE_ERROR) {
      lose(log::format("stream error: %s", error ? error : "unknown"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED && state_ == State::streaming) {
      lose("the stream was disconnected");
    }
  }

  void onParam(uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format || !param) return;
    auto negotiated = parseNegotiated(param);
    if (!negotiated)
      return lose(
          log::format("the camera settled on a format we cannot read (%s)", describeFormatParam(param).c_str()));
    // A camera that renegotiates mid-stream keeps streaming if the new format
    // is one we can read; sizes beyond what we offered are refused before
    // anything is allocated.
    if (negotiated->width > input_->format().width || negotiated->height > input_->format().height)
      return lose(log::format("the camera settled on %s instead of %s", describe(*negotiated).c_str(),
                              describe(input_->format()).c_str()));
    if (!converter_ || !(converter_->input() == *negotiated)) {
      converter_ = FrameConverter::create(*negotiated, width_, height_);
      if (!converter_) return lose(log::format("cannot read %s", describe(*negotiated).c_str()));
      if (state_ == State::streaming)
        logger().info("camera \"%s\" switched to %s", input_->device().localizedName.c_str(),
                      describe(*negotiated).c_str());
    }
    format_ = *negotiated;

    uint8_t storage[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(
        spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                                   SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_dataType,
                                   SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(stream_, params, 2);
    if (pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_STREAMING) onState(PW_STREAM_STATE_STREAMING, nullptr);
  }

  void onProcess() {
    if (pw_buffer* back = loan_->takeBack()) pw_stream_queue_buffer(stream_, back);
    // Only the newest waiting buffer matters; older ones go straight back.
    pw_buffer* newest = nullptr;
    while (pw_buffer* b = pw_stream_dequeue_buffer(stream_)) {
      if (newest) pw_stream_queue_buffer(stream_, newest);
      newest = b;
    }
    if (!newest) return;
    if (state_ == State::connecting && converter_) onState(PW_STREAM_STATE_STREAMING, nullptr);
    frames::VideoFrame picture;
    if (state_ == State::streaming && !gate_->busy.load() && converter_) picture = read(newest->buffer);
    // A frame without storage points into the buffer: it goes along.
    const uint64_t ticket = picture && !picture.storage ? loan_->lend(newest) : 0;
    if (!ticket) pw_stream_queue_buffer(stream_, newest);
    if (!picture) return;

    CapturedFrame sample;
    sample.image = std::move(picture);
    sample.presentationTimeNs = frames::hostTimeNanos();
    sample.sequence = sequence_++;
    gate_->busy = true;
    output_->callbackQueue->async([gate = gate_, output = output_, loan = loan_, ticket, sample = std::move(sample)] {
      auto deliver = [&] { gate->run([&] { output->onFrame(sample); }); };
      if (ticket)
        loan->read(ticket, deliver);
      else
        deliver();
      gate->busy = false;
    });
  }

  frames::VideoFrame read(spa_buffer* buffer) {
    auto* header =
        static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return {};
    RawFrame raw;
    const uint32_t planes = std::min<uint32_t>(buffer->n_datas, 3);
    for (uint32_t i = 0; i < planes; ++i) {
      const spa_data& d = buffer->datas[i];
      if (!d.data || !d.chunk || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) break;
      const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
      const uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
      raw.data[i] = static_cast<const uint8_t*>(d.data) + offset;
      raw.size[i] = size;
      raw.stride[i] = d.chunk->stride > 0 ? d.chunk->stride : 0;
      raw.planes = static_cast<int>(i) + 1;
    }
    return converter_->convert(raw);
  }

  void fail(std::string reason) {
    if (state_ == State::failed) return;
    state_ = State::failed;
    gate_->live = false;
    settle(false, std::move(reason));
  }

  // A failure: while opening it ends the wait, once streaming it is reported
  // to the output once and frames stop.
  void lose(const std::string& reason) {
    if (state_ == State::failed) return;
    const bool wasStreaming = state_ == State::streaming;
    fail(reason);
    if (!wasStreaming) return;
    logger().error("capture of \"%s\" stopped: %s", input_->device().localizedName.c_str(), reason.c_str());
    if (!output_->onInterrupted) return;
    output_->callbackQueue->async(
        [gate = gate_, output = output_, reason] { gate->run([&] { output->onInterrupted(reason); }); });
  }

  std::shared_ptr<Connection> connection_;  // outlives the pipe: the loop with it
  pw_thread_loop* const loop_;
  std::shared_ptr<PipeWireDeviceInput> input_;
  std::shared_ptr<VideoOutput> output_;
  int width_;
  int height_;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
  std::shared_ptr<Loan> loan_ = std::make_shared<Loan>();
  std::promise<StartOutcome> promise_;
  bool started_ = false;  // set before the loop sees the pipe

  // The loop thread's alone.
  pw_stream* stream_ = nullptr;
  spa_hook streamListener_{};
  int registrySync_ = -1;
  bool settled_ = false;
  State state_ = State::connecting;
  VideoFormat format_;
  std::unique_ptr<FrameConverter> converter_;
  uint64_t sequence_ = 0;
};

// The session's own fields (input, output, the pipe) are guarded by `mutex_`;
// the stream itself lives on the pipe's loop.
class PipeWireCaptureSession final : public CaptureSession {
 public:
  explicit PipeWireCaptureSession(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
  ~PipeWireCaptureSession() override { stopRunning(); }

  void setPreset(int width, int height) override {
    std::lock_guard lock(mutex_);
    if (width >= 2 && height >= 2 && width <= FrameConverter::kMaxSide && height <= FrameConverter::kMaxSide) {
      width_ = width;
      height_ = height;
    }
  }
  bool canAddInput(const DeviceInput& input) const override {
    std::lock_guard lock(mutex_);
    return !input_ && dynamic_cast<const PipeWireDeviceInput*>(&input) != nullptr;
  }
  void addInput(std::shared_ptr<DeviceInput> input) override {
    std::lock_guard lock(mutex_);
    if (auto pw = std::dynamic_pointer_cast<PipeWireDeviceInput>(input); pw && !input_) input_ = std::move(pw);
  }
  bool canAddOutput(const VideoOutput& output) const override {
    std::lock_guard lock(mutex_);
    return !output_ && usable(output);
  }
  void addOutput(std::shared_ptr<VideoOutput> output) override {
    std::lock_guard lock(mutex_);
    if (!output_ && output && usable(*output)) output_ = std::move(output);
  }

  void startRunning() override {
    std::unique_lock lock(mutex_);
    if (pipe_ || !input_ || !output_) return;
    auto pipe = std::make_shared<Pipe>(connection_, input_, output_, width_, height_);
    // Started before a stopRunning can see it (the start does not wait).
    auto outcome = pipe->start();
    pipe_ = pipe;
    const DeviceInfo device = input_->device();
    lock.unlock();

    // The one wait: the pipe's outcome. A stop meanwhile settles it too.
    if (outcome.wait_for(5s) == std::future_status::timeout) pipe->abort("timed out waiting for frames");
    const StartOutcome result = outcome.get();

    lock.lock();
    if (pipe_ != pipe) return;  // stopRunning took it
    if (result.streaming) {
      logger().info("capturing \"%s\" (%s) as %s", device.localizedName.c_str(), device.uniqueId.c_str(),
                    describe(result.format).c_str());
      return;
    }
    logger().error("cannot capture \"%s\": %s", device.localizedName.c_str(), result.failure.c_str());
    pipe_.reset();
    lock.unlock();
    pipe->gate()->close();
  }

  void stopRunning() override {
    std::shared_ptr<Pipe> pipe;
    {
      std::lock_guard lock(mutex_);
      pipe = std::move(pipe_);
    }
    if (!pipe) return;
    pipe->abort("stopped while opening");
    pipe->gate()->close();
    // The pipe goes with the last holder: here, or in a startRunning still returning.
  }

  bool isRunning() const override {
    std::lock_guard lock(mutex_);
    return pipe_ && pipe_->gate()->live.load();
  }

 private:
  static bool usable(const VideoOutput& output) {
    return output.pixelFormat == frames::PixelFormat::bgra && output.callbackQueue && output.onFrame;
  }

  std::shared_ptr<Connection> connection_;
  mutable std::mutex mutex_;
  int width_ = frames::kFrameWidth;
  int height_ = frames::kFrameHeight;
  std::shared_ptr<PipeWireDeviceInput> input_;
  std::shared_ptr<VideoOutput> output_;
  std::shared_ptr<Pipe> pipe_;
};

// ---------------------------------------------------------------------------
// Discovery and the rest of the service, on one shared connection.

// A subscriber's handler behind a gate: once its token goes, the handler is
// not running and never runs again (a handler may drop its own token).
struct HandlerSlot {
  Gate gate;
  std::function<void(DeviceEvent, const DeviceInfo&)> handler;
};

class SlotToken final : public Subscription {
 public:
  explicit SlotToken(std::shared_ptr<HandlerSlot> slot) : slot_(std::move(slot)) {}
  ~SlotToken() override { slot_->gate.close(); }

 private:
  std::shared_ptr<HandlerSlot> slot_;
};

class PipeWireCaptureDevices final : public CaptureDevices,
                                     public Connection,
                                     public std::enable_shared_from_this<PipeWireCaptureDevices> {
 public:
  PipeWireCaptureDevices() : notifyQueue_(dispatch::makeSerialQueue("ossel.tovrelle.capture.devices")) {}

  ~PipeWireCaptureDevices() override {
    if (loop_) {
      pw_thread_loop_lock(loop_);
      if (retryTimer_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retryTimer_);
      retryTimer_ = nullptr;
      disconnectLocked(false);
      pw_thread_loop_unlock(loop_);
      pw_thread_loop_stop(loop_);
    }
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
  }

  void start() {
    pipewire::ensureInitialized();
    loop_ = pw_thread_loop_new("tovrelle-capture", nullptr);
    if (!loop_) {
      logger().error("cannot create the PipeWire loop; no cameras");
      return;
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_) {
      logger().error("cannot create a PipeWire context; no cameras");
      return;
    }
    retryTimer_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(loop_),
        [](void* data, uint64_t) { static_cast<PipeWireCaptureDevices*>(data)->retry(); }, this);
    if (pw_thread_loop_start(loop_) < 0) {
      logger().error("cannot start the PipeWire loop; no cameras");
      return;
    }
    loopRunning_ = true;
    pw_thread_loop_lock(loop_);
    if (connectLocked() && core_) {
      // Callers list the cameras right away; give the registry a moment to fill.
      waitLocked(loop_, std::chrono::steady_clock::now() + 2s, [&] { return synced_; });
    } else {
      armRetryLocked();
    }
    pw_thread_loop_unlock(loop_);
  }

  std::vector<DeviceInfo> devices() override {
    std::lock_guard lock(mutex_);
    std::vector<DeviceInfo> out;
    out.reserve(cameras_.size());
    for (auto& c : cameras_) out.push_back(c.info);
    return out;
  }

  std::optional<DeviceInfo> deviceWithUniqueId(const std::string& uniqueId) override {
    auto node = cameraNode(uniqueId);
    if (!node) return std::nullopt;
    return node->info;
  }

  std::optional<DeviceInfo> defaultDevice() override {
    std::optional<std::string> name;
    {
      std::lock_guard lock(mutex_);
      name = defaultName_;
    }
    return name ? deviceWithUniqueId(*name) : std::nullopt;
  }

  std::unique_ptr<Subscription> subscribe(std::function<void(DeviceEvent, const DeviceInfo&)> handler) override {
    auto slot = std::make_shared<HandlerSlot>();
    slot->handler = std::move(handler);
    std::lock_guard lock(mutex_);
    std::erase_if(slots_, [](const std::weak_ptr<HandlerSlot>& w) { return w.expired(); });
    slots_.push_back(slot);
    return std::make_unique<SlotToken>(slot);
  }

  AuthorizationStatus authorizationStatus() override { return portal_->status(); }

  void requestAccess(std::function<void(bool)> completion) override {
    const bool wasAuthorized = portal_->status() == AuthorizationStatus::authorized;
    std::weak_ptr<PipeWireCaptureDevices> weak = weak_from_this();
    portal_->requestAccess([weak, wasAuthorized, completion = std::move(completion)](bool granted) {
      // In the sandbox the cameras only show on the portal's connection: reconnect.
      if (granted && !wasAuthorized)
        if (auto self = weak.lock(); self && self->portal_->sandboxed()) self->reconnect();
      if (completion) completion(granted);
    });
  }

  InputResult makeInput(const DeviceInfo& device) override {
    auto node = cameraNode(device.uniqueId);
    if (!node)
      return {nullptr,
              log::format("camera \"%s\" (%s) is not attached", device.localizedName.c_str(), device.uniqueId.c_str())};
    if (portal_->status() != AuthorizationStatus::authorized)
      return {nullptr, log::format("camera access is not granted for \"%s\"", node->info.localizedName.c_str())};
    auto offers = probeFormats(*node);
    if (!offers)
      return {nullptr,
              log::format("camera \"%s\" vanished while it was being opened", node->info.localizedName.c_str())};
    auto best = chooseBest(*offers, frames::kFrameWidth, frames::kFrameHeight);
    if (!best)
      return {nullptr, log::format("camera \"%s\" offers no usable video format (it offers %s)",
                                   node->info.localizedName.c_str(), describeOffers(*offers).c_str())};
    return {std::make_shared<PipeWireDeviceInput>(*node, *best), ""};
  }

  // A session keeps the service, and so the shared connection, alive.
  std::unique_ptr<CaptureSession> makeSession() override {
    return std::make_unique<PipeWireCaptureSession>(shared_from_this());
  }

  // ---- Connection, for the sessions ----

  pw_thread_loop* loop() const override { return loopRunning_ ? loop_ : nullptr; }
  pw_core* core() override { return core_; }
  bool lists(const CameraNode& node) override {
    std::lock_guard lock(mutex_);
    return std::any_of(cameras_.begin(), cameras_.end(), [&](const CameraNode& c) {
      return c.id == node.id && (node.serial.empty() || c.serial == node.serial);
    });
  }
  void add(Pipe* pipe) override { pipes_.push_back(pipe); }
  void remove(Pipe* pipe) override { std::erase(pipes_, pipe); }

 private:
  std::optional<CameraNode> cameraNode(const std::string& uniqueId) {
    std::lock_guard lock(mutex_);
    for (auto& c : cameras_)
      if (c.info.uniqueId == uniqueId) return c;
    return std::nullopt;
  }

  // ---- loop thread (or callers holding the loop lock) ----

  void reconnect() {
    if (!loop_ || !retryTimer_) return;
    pw_thread_loop_lock(loop_);
    lost_ = true;
    timespec soon{0, 1};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, &soon, nullptr, false);
    pw_thread_loop_unlock(loop_);
  }

  bool connectLocked() {
    core_ = connectCore(context_, *portal_);
    if (!core_) {
      // In the sandbox, before access is granted, there is nothing to connect to yet.
      if (portal_->sandboxed() && portal_->status() != AuthorizationStatus::authorized) return true;
      if (!reportedDown_)
        logger().error("cannot connect to PipeWire (%s); retrying every second", std::strerror(errno));
      reportedDown_ = true;
      return false;
    }
    if (reportedDown_) logger().info("connected to PipeWire");
    reportedDown_ = false;
    static const pw_core_events coreEvents = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.done = [](void* data, uint32_t id, int seq) {
        static_cast<PipeWireCaptureDevices*>(data)->onCoreDone(id, seq);
      };
      e.error = [](void* data, uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<PipeWireCaptureDevices*>(data);
        if (id == PW_ID_CORE && res == -EPIPE) return self->onConnectionLost();
        for (Pipe* pipe : std::vector<Pipe*>(self->pipes_)) pipe->onNodeError(id, res, message);
      };
      return e;
    }();
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    static const pw_registry_events registryEvents = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
        static_cast<PipeWireCaptureDevices*>(data)->onGlobal(id, type, props);
      };
      e.global_remove = [](void* data, uint32_t id) { static_cast<PipeWireCaptureDevices*>(data)->onGlobalRemove(id); };
      return e;
    }();
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    synced_ = false;
    initialSync_ = pw_core_sync(core_, PW_ID_CORE, 0);
    return true;
  }

  void disconnectLocked(bool notify) {
    // Copied: a lost pipe may be removed while this runs.
    for (Pipe* pipe : std::vector<Pipe*>(pipes_)) pipe->onConnectionLost();
    releaseDefaults();
    releaseRegistryAndCore(registry_, registryListener_, core_, coreListener_);
    for (auto& [seq, probe] : probes_) probe->gone = true;
    std::vector<DeviceInfo> gone;
    {
      std::lock_guard lock(mutex_);
      for (auto& c : cameras_) gone.push_back(c.info);
      cameras_.clear();
    }
    if (notify)
      for (auto& info : gone) post(DeviceEvent::disconnected, info);
    pw_thread_loop_signal(loop_, false);
  }

  void armRetryLocked() {
    timespec later{1, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, &later, nullptr, false);
  }

  void onConnectionLost() {
    if (!reportedDown_) logger().error("lost the connection to PipeWire; cameras are gone until it is back");
    reportedDown_ = true;
    // Not from inside the core's own event: tear down from the timer.
    timespec soon{0, 1};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, &soon, nullptr, false);
    lost_ = true;
  }

  void retry() {
    if (lost_) {
      lost_ = false;
      disconnectLocked(true);
    }
    if (!core_ && !connectLocked()) armRetryLocked();
  }

  void onCoreDone(uint32_t id, int seq) {
    if (id != PW_ID_CORE) return;
    if (seq == initialSync_) synced_ = true;
    if (auto it = probes_.find(seq); it != probes_.end()) it->second->done = true;
    for (Pipe* pipe : std::vector<Pipe*>(pipes_)) pipe->onCoreDone(seq);
    pw_thread_loop_signal(loop_, false);
  }

  void onGlobal(uint32_t id, const char* type, const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) return onMetadata(id, props);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
    const char* mediaClass = lookup(props, PW_KEY_MEDIA_CLASS);
    const char* role = lookup(props, PW_KEY_MEDIA_ROLE);
    // Screen casts are video sources too; only nodes that say they are cameras count.
    if (!mediaClass || std::strcmp(mediaClass, "Video/Source") != 0 || !role || std::strcmp(role, "Camera") != 0)
      return;
    const char* name = lookup(props, PW_KEY_NODE_NAME);
    if (!name) return;  // nothing stable to remember it by
    const char* description = lookup(props, PW_KEY_NODE_DESCRIPTION);
    const char* nick = lookup(props, PW_KEY_NODE_NICK);
    const char* serial = lookup(props, PW_KEY_OBJECT_SERIAL);
    CameraNode node;
    node.id = id;
    node.serial = serial ? serial : "";
    node.info.uniqueId = name;
    node.info.localizedName = description ? description : nick ? nick : name;
    {
      std::lock_guard lock(mutex_);
      cameras_.push_back(node);
    }
    post(DeviceEvent::connected, node.info);
  }

  void onGlobalRemove(uint32_t id) {
    if (defaults_ && id == defaultsId_) return releaseDefaults();
    std::optional<DeviceInfo> gone;
    {
      std::lock_guard lock(mutex_);
      auto it = std::find_if(cameras_.begin(), cameras_.end(), [&](auto& c) { return c.id == id; });
      if (it == cameras_.end()) return;
      gone = it->info;
      cameras_.erase(it);
    }
    for (auto& [seq, probe] : probes_)
      if (probe->nodeId == id) probe->gone = true;
    for (Pipe* pipe : std::vector<Pipe*>(pipes_)) pipe->onNodeRemoved(id);
    pw_thread_loop_signal(loop_, false);
    post(DeviceEvent::disconnected, *gone);
  }

  // The session manager's "default" metadata names the default camera.
  void onMetadata(uint32_t id, const spa_dict* props) {
    const char* name = lookup(props, PW_KEY_METADATA_NAME);
    if (!name || std::strcmp(name, "default") != 0 || defaults_ || !registry_) return;
    defaults_ =
        static_cast<pw_metadata*>(pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!defaults_) return;
    defaultsId_ = id;
    static const pw_metadata_events events = [] {
      pw_metadata_events e{};
      e.version = PW_VERSION_METADATA_EVENTS;
      e.property = [](void* data, uint32_t subject, const char* key, const char*, const char* value) {
        auto* self = static_cast<PipeWireCaptureDevices*>(data);
        if (subject != PW_ID_CORE || (key && std::strcmp(key, "default.video.source") != 0)) return 0;
        std::lock_guard lock(self->mutex_);
        self->defaultName_ = key ? defaultNodeName(value) : std::nullopt;  // no key: all cleared
        return 0;
      };
      return e;
    }();
    pw_metadata_add_listener(defaults_, &defaultsListener_, &events, this);
  }

  void releaseDefaults() {
    if (defaults_) {
      spa_hook_remove(&defaultsListener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(defaults_));
      defaults_ = nullptr;
    }
    std::lock_guard lock(mutex_);
    defaultName_.reset();
  }

  // The list has already changed; handlers run on the notification queue.
  void post(DeviceEvent event, const DeviceInfo& info) {
    std::vector<std::shared_ptr<HandlerSlot>> slots;
    {
      std::lock_guard lock(mutex_);
      for (auto& w : slots_)
        if (auto s = w.lock()) slots.push_back(std::move(s));
    }
    if (slots.empty()) return;
    notifyQueue_->async([slots = std::move(slots), event, info] {
      for (auto& slot : slots) slot->gate.run([&] { slot->handler(event, info); });
    });
  }

  // ---- format probing: what the node offers, read from its EnumFormat params ----

  struct Probe {
    uint32_t nodeId = 0;
    std::vector<VideoFormat> offers;
    bool done = false;
    bool gone = false;
    bool destroyed = false;  // the proxy went with its connection
    spa_hook nodeListener{};
    spa_hook proxyListener{};
  };

  std::optional<std::vector<VideoFormat>> probeFormats(const CameraNode& node) {
    if (!loop_) return std::nullopt;
    pw_thread_loop_lock(loop_);
    if (!registry_ || !core_) {
      pw_thread_loop_unlock(loop_);
      return std::nullopt;
    }
    Probe probe;
    probe.nodeId = node.id;
    auto* proxy =
        static_cast<pw_node*>(pw_registry_bind(registry_, node.id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (!proxy) {
      pw_thread_loop_unlock(loop_);
      return std::nullopt;
    }
    static const pw_node_events nodeEvents = [] {
      pw_node_events e{};
      e.version = PW_VERSION_NODE_EVENTS;
      e.param = [](void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
        if (id != SPA_PARAM_EnumFormat) return;
        auto* probe = static_cast<Probe*>(data);
        if (probe->offers.size() > 512) return;
        auto more = parseOffers(param, frames::kFrameWidth, frames::kFrameHeight);
        probe->offers.insert(probe->offers.end(), more.begin(), more.end());
      };
      return e;
    }();
    static const pw_proxy_events proxyEvents = [] {
      pw_proxy_events e{};
      e.version = PW_VERSION_PROXY_EVENTS;
      e.removed = [](void* data) { static_cast<Probe*>(data)->gone = true; };
      e.error = [](void* data, int, int, const char*) { static_cast<Probe*>(data)->gone = true; };
      e.destroy = [](void* data) {
        auto* probe = static_cast<Probe*>(data);
        spa_hook_remove(&probe->nodeListener);
        spa_hook_remove(&probe->proxyListener);
        probe->destroyed = probe->gone = true;
      };
      return e;
    }();
    pw_node_add_listener(proxy, &probe.nodeListener, &nodeEvents, &probe);
    pw_proxy_add_listener(reinterpret_cast<pw_proxy*>(proxy), &probe.proxyListener, &proxyEvents, &probe);
    pw_node_enum_params(proxy, 0, SPA_PARAM_EnumFormat, 0, UINT32_MAX, nullptr);
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    probes_[seq] = &probe;
    waitLocked(loop_, std::chrono::steady_clock::now() + 3s, [&] { return probe.done || probe.gone; });
    probes_.erase(seq);
    if (!probe.destroyed) {
      spa_hook_remove(&probe.nodeListener);
      spa_hook_remove(&probe.proxyListener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(proxy));
    }
    const bool ok = probe.done && !probe.gone;
    pw_thread_loop_unlock(loop_);
    if (!ok) return std::nullopt;
    return std::move(probe.offers);
  }

  std::shared_ptr<dispatch::Queue> notifyQueue_;
  std::shared_ptr<CameraPortal> portal_ = std::make_shared<CameraPortal>();
  pw_thread_loop* loop_ = nullptr;
  bool loopRunning_ = false;  // set before any session exists
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  spa_hook coreListener_{};
  spa_hook registryListener_{};
  spa_source* retryTimer_ = nullptr;
  int initialSync_ = -1;
  bool synced_ = false;
  bool lost_ = false;
  bool reportedDown_ = false;
  std::map<int, Probe*> probes_;
  std::vector<Pipe*> pipes_;  // the sessions on this connection; each removes itself
  pw_metadata* defaults_ = nullptr;
  uint32_t defaultsId_ = 0;
  spa_hook defaultsListener_{};

  std::mutex mutex_;  // cameras_, defaultName_ and slots_, read from any thread
  std::vector<CameraNode> cameras_;
  std::optional<std::string> defaultName_;
  std::vector<std::weak_ptr<HandlerSlot>> slots_;
};

}  // namespace

std::shared_ptr<CaptureDevices> makePipeWireCaptureDevices() {
  auto devices = std::make_shared<PipeWireCaptureDevices>();
  devices->start();
  return devices;
}

}  // namespace tovrelle::capture

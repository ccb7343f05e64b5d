// A capture session: one pw_stream on the shared connection's loop.
//
// Thread model: a running session lives on the shared connection's loop.
// Everything that touches its stream (connecting, negotiation, frames,
// failures, tear-down) runs on that thread; other threads reach it only
// through runOnLoop and never read the Pipe's fields. Results leave the loop
// through two hand-offs: the outcome of the start, set once into a promise
// the starting caller waits on, and each frame, posted to the output's queue
// through the Gate, which lets no callback start once the session stops.
#include "platform/capture/pipewire/CaptureStream.h"

#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>

#include <chrono>
#include <future>
#include <type_traits>
#include <utility>

#include "platform/capture/convert/FrameConverter.h"
#include "platform/capture/pipewire/FormatChoice.h"

namespace tovrelle::capture {
namespace {

using namespace std::chrono_literals;

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

class Pipe final : public StreamEvents {
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

  void onCoreDone(int seq) override {
    if (seq != registrySync_ || state_ != State::connecting || stream_) return;
    if (!connection_->lists(input_->node())) return lose("the camera is no longer attached");
    connectStream();
  }

  void onNodeRemoved(uint32_t id) override {
    if (id == input_->node().id) lose("the camera went away");
  }

  void onNodeError(uint32_t id, int res, const char* message) override {
    if (stream_ && id == pw_stream_get_node_id(stream_))
      lose(log::format("PipeWire error: %s", message ? message : spa_strerror(res)));
  }

  void onConnectionLost() override {
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

}  // namespace

const log::Logger& logger() {
  static const log::Logger instance("ossel.tovrelle", "Capture");
  return instance;
}

std::unique_ptr<CaptureSession> makeCaptureSession(std::shared_ptr<Connection> connection) {
  return std::make_unique<PipeWireCaptureSession>(std::move(connection));
}

}  // namespace tovrelle::capture

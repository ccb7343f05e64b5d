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
#include "platform/capture/pipewire/CaptureStream.h"
#include "platform/capture/pipewire/FormatChoice.h"
#include "platform/log/Log.h"

namespace tovrelle::capture {
namespace {

using namespace std::chrono_literals;

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
  std::unique_ptr<CaptureSession> makeSession() override { return makeCaptureSession(shared_from_this()); }

  // ---- Connection, for the sessions ----

  pw_thread_loop* loop() const override { return loopRunning_ ? loop_ : nullptr; }
  pw_core* core() override { return core_; }
  bool lists(const CameraNode& node) override {
    std::lock_guard lock(mutex_);
    return std::any_of(cameras_.begin(), cameras_.end(), [&](const CameraNode& c) {
      return c.id == node.id && (node.serial.empty() || c.serial == node.serial);
    });
  }
  void add(StreamEvents* stream) override { streams_.push_back(stream); }
  void remove(StreamEvents* stream) override { std::erase(streams_, stream); }

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
        for (StreamEvents* stream : std::vector<StreamEvents*>(self->streams_)) stream->onNodeError(id, res, message);
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
    for (StreamEvents* stream : std::vector<StreamEvents*>(streams_)) stream->onConnectionLost();
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
    for (StreamEvents* stream : std::vector<StreamEvents*>(streams_)) stream->onCoreDone(seq);
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
    for (StreamEvents* stream : std::vector<StreamEvents*>(streams_)) stream->onNodeRemoved(id);
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
  std::vector<StreamEvents*> streams_;  // the sessions' streams on this connection; each removes itself
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

#include "platform/camera/pipewire/CameraNodes.h"
#include "platform/camera/pipewire/PipeWireInit.h"

#include <pipewire/pipewire.h>
#include <spa/utils/dict.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace tovrelle::camera {
namespace {

struct Lookup;

// A node we bound to read its full properties: the registry announces only a
// fixed few, and none of a stream's own.
struct BoundNode {
  Lookup* lookup = nullptr;
  unsigned id = 0;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
};

// One private loop per call, iterated on the caller's thread: no loop thread
// of ours exists to be blocked.
struct Lookup {
  std::string wanted;
  pw_registry* registry = nullptr;
  std::vector<CameraNode> nodes;
  std::vector<std::unique_ptr<BoundNode>> bound;
  std::map<unsigned, unsigned> nodeClient;  // node id -> client id
  std::map<unsigned, pid_t> clientPid;
  // The first sync ends the list of globals; the second comes back after the
  // info of every node bound meanwhile.
  int syncSeq = -1;
  bool secondSync = false;
  pw_core* core = nullptr;
  bool done = false;
  bool broken = false;
  std::string error;
};

const char* lookupKey(const spa_dict* props, const char* key) { return props ? spa_dict_lookup(props, key) : nullptr; }

void onNodeInfo(void* data, const pw_node_info* info) {
  auto* bound = static_cast<BoundNode*>(data);
  if (!info || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS)) return;
  for (auto& node : bound->lookup->nodes) {
    if (node.id != bound->id) continue;
    // Each info carries the whole current dictionary: a key it lacks is gone.
    const char* state = lookupKey(info->props, kV4l2StateKey);
    const char* device = lookupKey(info->props, kV4l2DeviceKey);
    const char* camera = lookupKey(info->props, kCameraStateKey);
    node.v4l2State = state ? std::optional<std::string>(state) : std::nullopt;
    node.v4l2Device = device ? std::optional<std::string>(device) : std::nullopt;
    node.cameraState = camera ? std::optional<std::string>(camera) : std::nullopt;
  }
}

void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
  auto* lookup = static_cast<Lookup*>(data);
  if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
    if (const char* pid = lookupKey(props, PW_KEY_SEC_PID)) lookup->clientPid[id] = static_cast<pid_t>(std::atol(pid));
    return;
  }
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
  const char* name = lookupKey(props, PW_KEY_NODE_NAME);
  const char* mediaClass = lookupKey(props, PW_KEY_MEDIA_CLASS);
  if (!name || !mediaClass || lookup->wanted != name || std::strcmp(mediaClass, "Video/Source") != 0) return;
  CameraNode node;
  node.id = id;
  node.name = name;
  node.mediaClass = mediaClass;
  lookup->nodes.push_back(node);
  if (const char* client = lookupKey(props, PW_KEY_CLIENT_ID))
    lookup->nodeClient[id] = static_cast<unsigned>(std::atol(client));

  static const pw_node_events nodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = onNodeInfo;
    return e;
  }();
  auto bound = std::make_unique<BoundNode>();
  bound->lookup = lookup;
  bound->id = id;
  bound->proxy = static_cast<pw_proxy*>(pw_registry_bind(lookup->registry, id, type, PW_VERSION_NODE, 0));
  if (!bound->proxy) return;  // the node keeps the properties it was announced with: none of ours
  pw_proxy_add_object_listener(bound->proxy, &bound->listener, &nodeEvents, bound.get());
  lookup->bound.push_back(std::move(bound));
}

void onDone(void* data, uint32_t id, int seq) {
  auto* lookup = static_cast<Lookup*>(data);
  if (id != PW_ID_CORE || seq != lookup->syncSeq) return;
  if (lookup->secondSync || lookup->bound.empty()) {
    lookup->done = true;
    return;
  }
  lookup->secondSync = true;
  lookup->syncSeq = pw_core_sync(lookup->core, PW_ID_CORE, 0);
}

void onError(void* data, uint32_t id, int, int res, const char* message) {
  auto* lookup = static_cast<Lookup*>(data);
  if (id != PW_ID_CORE) return;
  lookup->broken = true;
  lookup->error = std::string("PipeWire reported an error: ") + (message ? message : std::strerror(-res));
}

}  // namespace

std::string processBinary(pid_t pid) {
  if (pid <= 0) return {};
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
  if (ec) return {};
  // A program replaced on disk while it runs still counts as that program.
  constexpr std::string_view kDeleted = " (deleted)";
  if (exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
  return exe;
}

std::optional<std::vector<CameraNode>> findCameraNodes(const std::string& name, std::chrono::milliseconds timeout,
                                                       std::string* why) {
  pipewire::ensureInitialized();

  auto fail = [why](std::string text) -> std::optional<std::vector<CameraNode>> {
    if (why) *why = std::move(text);
    return std::nullopt;
  };

  pw_loop* loop = pw_loop_new(nullptr);
  if (!loop) return fail("cannot create a PipeWire loop");
  pw_context* context = pw_context_new(loop, nullptr, 0);
  if (!context) {
    pw_loop_destroy(loop);
    return fail("cannot create a PipeWire context");
  }
  pw_core* core = pw_context_connect(context, nullptr, 0);
  if (!core) {
    pw_context_destroy(context);
    pw_loop_destroy(loop);
    return fail(std::string("PipeWire is not running (") + std::strerror(errno) + ")");
  }

  Lookup lookup;
  lookup.wanted = name;
  lookup.core = core;
  pw_registry* registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
  lookup.registry = registry;
  static const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onGlobal;
    return e;
  }();
  static const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = onDone;
    e.error = onError;
    return e;
  }();
  spa_hook registryListener{}, coreListener{};
  pw_registry_add_listener(registry, &registryListener, &registryEvents, &lookup);
  pw_core_add_listener(core, &coreListener, &coreEvents, &lookup);
  lookup.syncSeq = pw_core_sync(core, PW_ID_CORE, 0);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pw_loop_enter(loop);
  while (!lookup.done && !lookup.broken) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (pw_loop_iterate(loop, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
  }
  pw_loop_leave(loop);

  for (auto& bound : lookup.bound) {
    spa_hook_remove(&bound->listener);
    pw_proxy_destroy(bound->proxy);
  }
  spa_hook_remove(&coreListener);
  spa_hook_remove(&registryListener);
  pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_loop_destroy(loop);

  if (lookup.broken) return fail(lookup.error);
  if (!lookup.done) return fail("PipeWire did not answer within " + std::to_string(timeout.count()) + " ms");
  for (auto& node : lookup.nodes) {
    auto client = lookup.nodeClient.find(node.id);
    if (client == lookup.nodeClient.end()) continue;
    auto pid = lookup.clientPid.find(client->second);
    if (pid == lookup.clientPid.end()) continue;
    node.pid = pid->second;
    node.binary = processBinary(node.pid);
  }
  return lookup.nodes;
}

}  // namespace tovrelle::camera

#include "platform/capture/pipewire/CameraPortal.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/log/Log.h"

namespace tovrelle::capture {
namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kCameraInterface = "org.freedesktop.portal.Camera";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";

const log::Logger& logger() {
  static const log::Logger instance("ossel.tovrelle", "Capture");
  return instance;
}

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

Bus openUserBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return nullptr;
  return Bus(bus);
}

enum class Answer { granted, denied, noPortal };

struct ResponseWait {
  bool done = false;
  uint32_t response = 2;
};

// One AccessCamera request: subscribe to the Request's Response signal at the
// path the portal will use, call, then wait for the answer.
Answer askPortal() {
  Bus bus = openUserBus();
  if (!bus) return Answer::noPortal;
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus.get(), &unique) < 0 || !unique) return Answer::noPortal;
  std::string sender = unique + 1;  // drop the leading ':'
  for (auto& ch : sender)
    if (ch == '.') ch = '_';
  static std::atomic<unsigned> counter{0};
  std::string token = "tovrelle" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
  std::string requestPath = std::string(kPortalPath) + "/request/" + sender + "/" + token;

  ResponseWait wait;
  sd_bus_slot* slot = nullptr;
  int rc = sd_bus_match_signal(
      bus.get(), &slot, kPortalService, requestPath.c_str(), kRequestInterface, "Response",
      [](sd_bus_message* m, void* data, sd_bus_error*) -> int {
        auto* w = static_cast<ResponseWait*>(data);
        uint32_t response = 2;
        if (sd_bus_message_read(m, "u", &response) >= 0) w->response = response;
        w->done = true;
        return 0;
      },
      &wait);
  if (rc < 0) return Answer::noPortal;
  std::unique_ptr<sd_bus_slot, decltype(&sd_bus_slot_unref)> slotGuard(slot, &sd_bus_slot_unref);

  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  rc = sd_bus_call_method(bus.get(), kPortalService, kPortalPath, kCameraInterface, "AccessCamera", &error, &reply,
                          "a{sv}", 1, "handle_token", "s", token.c_str());
  sd_bus_message_unref(reply);
  if (rc < 0) {
    logger().error("camera portal unavailable: %s", error.message ? error.message : "no answer");
    sd_bus_error_free(&error);
    return Answer::noPortal;
  }
  // The user may take a while to decide.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (!wait.done && std::chrono::steady_clock::now() < deadline) {
    rc = sd_bus_process(bus.get(), nullptr);
    if (rc < 0) break;
    if (rc > 0) continue;
    if (sd_bus_wait(bus.get(), 500000) < 0) break;
  }
  if (!wait.done) return Answer::noPortal;
  return wait.response == 0 ? Answer::granted : Answer::denied;
}

}  // namespace

CameraPortal::CameraPortal(std::string sandboxMarker) {
  if (sandboxMarker.empty()) {
    const char* env = std::getenv("TOVRELLE_SANDBOX_MARKER");
    sandboxMarker = env && *env ? env : "/.flatpak-info";
  }
  std::error_code ec;
  sandboxed_ = std::filesystem::exists(sandboxMarker, ec);
  state_->status = sandboxed_ ? AuthorizationStatus::notDetermined : AuthorizationStatus::authorized;
}

AuthorizationStatus CameraPortal::status() const {
  std::lock_guard lock(state_->mutex);
  return state_->status;
}

void CameraPortal::requestAccess(std::function<void(bool)> completion) {
  if (!sandboxed_ || status() == AuthorizationStatus::authorized) {
    if (completion) completion(true);
    return;
  }
  std::thread([state = state_, completion = std::move(completion)] {
    Answer answer = askPortal();
    AuthorizationStatus status = answer == Answer::granted  ? AuthorizationStatus::authorized
                                 : answer == Answer::denied ? AuthorizationStatus::denied
                                                            : AuthorizationStatus::restricted;
    {
      std::lock_guard lock(state->mutex);
      state->status = status;
    }
    if (completion) completion(answer == Answer::granted);
  }).detach();
}

int CameraPortal::openPipeWireRemote() const {
  Bus bus = openUserBus();
  if (!bus) return -1;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int rc = sd_bus_call_method(bus.get(), kPortalService, kPortalPath, kCameraInterface, "OpenPipeWireRemote", &error,
                              &reply, "a{sv}", 0);
  int fd = -1;
  if (rc >= 0) {
    int received = -1;
    if (sd_bus_message_read(reply, "h", &received) >= 0 && received >= 0) fd = ::fcntl(received, F_DUPFD_CLOEXEC, 3);
  } else {
    logger().error("camera portal gave no PipeWire connection: %s", error.message ? error.message : "no answer");
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return fd;
}

}  // namespace tovrelle::capture

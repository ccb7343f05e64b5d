// Camera permission inside a sandbox: a stand-in Camera portal on the private
// session bus answers the access request, and once access is granted the
// cameras come through the PipeWire connection the portal hands out.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <future>

#include "platform/capture/pipewire/CameraPortal.h"
#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "tests/capture/CaptureTestSupport.h"

using namespace tovrelle;
using namespace tovrelle::test;
namespace fs = std::filesystem;

namespace {

// org.freedesktop.portal.Camera on its own thread and bus connection.
class FakeCameraPortal {
 public:
  explicit FakeCameraPortal(uint32_t answer) : answer_(answer) {
    if (sd_bus_open_user(&bus_) < 0) return;
    sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Camera", vtable(),
                             this);
    if (sd_bus_request_name(bus_, "org.freedesktop.portal.Desktop", 0) < 0) return;
    ready_ = true;
    thread_ = std::thread([this] {
      while (!stop_) {
        int r = sd_bus_process(bus_, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(bus_, 50000);
      }
    });
  }
  ~FakeCameraPortal() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_slot_unref(slot_);
    sd_bus_flush_close_unref(bus_);
  }
  bool ready() const { return ready_; }
  int accessRequests() const { return access_; }
  int remotesOpened() const { return remotes_; }

 private:
  static const sd_bus_vtable* vtable() {
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("AccessCamera", "a{sv}", "o", &FakeCameraPortal::accessCamera, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("OpenPipeWireRemote", "a{sv}", "h", &FakeCameraPortal::openRemote, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    return table;
  }

  static int accessCamera(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<FakeCameraPortal*>(data);
    ++self->access_;
    std::string token = "t";
    if (sd_bus_message_enter_container(m, 'a', "{sv}") > 0) {
      while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(m, "s", &key);
        if (key && std::string(key) == "handle_token") {
          const char* value = nullptr;
          sd_bus_message_read(m, "v", "s", &value);
          if (value) token = value;
        } else {
          sd_bus_message_skip(m, "v");
        }
        sd_bus_message_exit_container(m);
      }
      sd_bus_message_exit_container(m);
    }
    std::string sender = sd_bus_message_get_sender(m) + 1;
    for (auto& c : sender)
      if (c == '.') c = '_';
    std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    sd_bus_reply_method_return(m, "o", path.c_str());
    sd_bus_emit_signal(sd_bus_message_get_bus(m), path.c_str(), "org.freedesktop.portal.Request", "Response", "ua{sv}",
                       self->answer_, 0);
    return 1;
  }

  // A fresh connection to the private PipeWire, as the portal would hand out.
  static int openRemote(sd_bus_message* m, void* data, sd_bus_error* error) {
    auto* self = static_cast<FakeCameraPortal*>(data);
    ++self->remotes_;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string socketPath = std::string(std::getenv("PIPEWIRE_RUNTIME_DIR")) + "/pipewire-0";
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
      ::close(fd);
      return sd_bus_error_set_errno(error, errno);
    }
    int r = sd_bus_reply_method_return(m, "h", fd);
    ::close(fd);
    return r < 0 ? r : 1;
  }

  uint32_t answer_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> access_{0};
  std::atomic<int> remotes_{0};
  std::thread thread_;
};

class CameraPortalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<PrivateSession>();
    marker = session->makeFolder("sandbox") / "flatpak-info";
    std::ofstream(marker) << "[Application]\nname=org.example.Tovrelle\n";
    ::setenv("TOVRELLE_SANDBOX_MARKER", marker.c_str(), 1);
    cam = startTestCam(*session, {"--name", "Portal Cam", "--node-name", "testcam-portal"});
  }
  void TearDown() override {
    ::unsetenv("TOVRELLE_SANDBOX_MARKER");
    cam.reset();
    session.reset();
  }
  static bool ask(capture::CaptureDevices& devices) {
    std::promise<bool> answer;
    devices.requestAccess([&](bool granted) { answer.set_value(granted); });
    auto f = answer.get_future();
    EXPECT_EQ(f.wait_for(10s), std::future_status::ready);
    return f.get();
  }

  std::unique_ptr<PrivateSession> session;
  fs::path marker;
  std::unique_ptr<Process> cam;
};

TEST_F(CameraPortalTest, GrantedAccessShowsTheCamerasThroughThePortalsConnection) {
  FakeCameraPortal portal(0);
  ASSERT_TRUE(portal.ready());
  auto devices = capture::makePipeWireCaptureDevices();
  EXPECT_EQ(devices->authorizationStatus(), capture::AuthorizationStatus::notDetermined);
  EXPECT_TRUE(devices->devices().empty()) << "nothing is read before the user allowed it";

  EXPECT_TRUE(ask(*devices));
  EXPECT_EQ(devices->authorizationStatus(), capture::AuthorizationStatus::authorized);
  ASSERT_TRUE(eventually([&] { return devices->deviceWithUniqueId("testcam-portal").has_value(); }));
  EXPECT_EQ(portal.accessRequests(), 1);

  FrameSink sink;
  auto input = devices->makeInput(*devices->deviceWithUniqueId("testcam-portal"));
  ASSERT_TRUE(input.input) << input.error;
  auto s = devices->makeSession();
  s->addInput(input.input);
  s->addOutput(sink.makeOutput());
  s->startRunning();
  ASSERT_TRUE(eventually([&] { return sink.count() >= 3; }));
  s->stopRunning();
  EXPECT_EQ(portal.remotesOpened(), 1) << "discovery and the session share the portal's one connection";
  EXPECT_TRUE(ask(*devices)) << "once granted, asking again answers at once";
  EXPECT_EQ(portal.accessRequests(), 1);
}

TEST_F(CameraPortalTest, RefusedOrMissingPortalKeepsCamerasClosed) {
  {
    FakeCameraPortal portal(1);
    ASSERT_TRUE(portal.ready());
    auto devices = capture::makePipeWireCaptureDevices();
    EXPECT_FALSE(ask(*devices));
    EXPECT_EQ(devices->authorizationStatus(), capture::AuthorizationStatus::denied);
    EXPECT_TRUE(devices->devices().empty());
    auto input = devices->makeInput({"testcam-portal", "Portal Cam"});
    EXPECT_FALSE(input.input);
  }
  LogCapture logs;
  auto devices = capture::makePipeWireCaptureDevices();
  EXPECT_FALSE(ask(*devices));
  EXPECT_EQ(devices->authorizationStatus(), capture::AuthorizationStatus::restricted);
  EXPECT_EQ(logs.count("camera portal unavailable"), 1) << logs.all();
}

}  // namespace

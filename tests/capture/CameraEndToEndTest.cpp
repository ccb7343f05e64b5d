// Camera mode end to end: the extension in a private PipeWire with a test
// camera selected through the data folder, read by tovrelle-snap and by a
// GStreamer client of "Tovrelle", as a conferencing program would read it.
#include <cairo.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <csignal>
#include <fstream>
#include <regex>

#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "shared/CameraState.h"
#include "shared/DataFolder.h"
#include "tests/capture/CaptureTestSupport.h"

using namespace tovrelle;
using namespace tovrelle::test;
namespace fs = std::filesystem;
namespace tp = tovrelle::testpattern;

namespace {

// What a client saw in one frame of "Tovrelle".
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgra;
  int stride = 0;
  std::optional<tp::Decoded> decoded() const {
    return bgra.empty() ? std::nullopt : tp::decode(bgra.data(), width, height, stride);
  }
  bool black() const {
    if (bgra.empty()) return false;
    for (int y = 0; y < height; y += 7)
      for (int x = 0; x < width; x += 5) {
        const uint8_t* p = &bgra[static_cast<size_t>(y) * stride + 4 * static_cast<size_t>(x)];
        if (p[0] > 8 || p[1] > 8 || p[2] > 8) return false;
      }
    return true;
  }
  bool hasBars() const {
    if (bgra.empty()) return false;
    for (int i = 0; i < tp::kBarCount; ++i)
      if (!near(tp::sample(bgra.data(), stride, tp::barCentre(i, width, height)), tp::kBars[i], 40)) return false;
    return true;
  }
};

Picture readPng(const fs::path& file) {
  Picture p;
  cairo_surface_t* s = cairo_image_surface_create_from_png(file.c_str());
  if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
    cairo_surface_flush(s);
    p.width = cairo_image_surface_get_width(s);
    p.height = cairo_image_surface_get_height(s);
    p.stride = cairo_image_surface_get_stride(s);
    const uint8_t* data = cairo_image_surface_get_data(s);
    p.bgra.assign(data, data + static_cast<size_t>(p.stride) * p.height);  // B G R x in memory
  }
  cairo_surface_destroy(s);
  return p;
}

class CameraEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<PrivateSession>();
    data = session->makeFolder("data");
    ::setenv(kDataDirEnv, data.c_str(), 1);
    touchHeartbeat();
    heart = std::thread([this] {
      while (beating) {
        touchHeartbeat();
        std::this_thread::sleep_for(300ms);
      }
    });
    writeState({CameraMode::off, std::nullopt, std::nullopt});
    camArgs = {"--name",      "E2E Cam",
               "--node-name", "testcam-e2e",
               "--format",    cameraFormat().first,
               "--size",      cameraFormat().second};
    for (auto& a : switchArgs()) camArgs.push_back(a);
    cam = startTestCam(*session, camArgs);
    extension = session->spawn({(binaryDir() / "tovrelle-camera-extension").string()}, {{kDataDirEnv, data.string()}});
    ASSERT_TRUE(extension->waitForLog("published \"Tovrelle\"", 10s)) << extension->log();
    // The extension only polls while a client streams: keep one reading all along.
    devices = capture::makePipeWireCaptureDevices();
    ASSERT_TRUE(eventually([&] { return devices->deviceWithUniqueId("Tovrelle").has_value(); }));
    auto input = devices->makeInput(*devices->deviceWithUniqueId("Tovrelle"));
    ASSERT_TRUE(input.input) << input.error;
    reader = devices->makeSession();
    reader->addInput(input.input);
    reader->addOutput(frames.makeOutput());
    reader->startRunning();
    ASSERT_TRUE(reader->isRunning());
  }
  void TearDown() override {
    if (reader) reader->stopRunning();
    reader.reset();
    devices.reset();
    beating = false;
    if (heart.joinable()) heart.join();
    if (extension) extension->stop();
    if (cam) cam->stop();
    session.reset();
    ::unsetenv(kDataDirEnv);
  }

  virtual std::pair<std::string, std::string> cameraFormat() const { return {"YUY2", "640x480"}; }
  // Extra test camera options: a format switch mid-stream.
  virtual std::vector<std::string> switchArgs() const { return {}; }

  void writeState(const CameraState& state) {
    ASSERT_TRUE(writeFileAtomically(stateFilePath(), encodeCameraState(state)));
  }
  void selectCamera(const std::string& id) { writeState({CameraMode::camera, std::nullopt, id}); }

  // tovrelle-snap reads `frames` frames in `format` and keeps the last one.
  Picture snap(int frames = 45, const std::string& format = "BGRA", const std::vector<std::string>& more = {}) {
    static int run = 0;
    auto dir = session->makeFolder("snap" + std::to_string(++run));
    std::vector<std::string> argv{(binaryDir() / "tovrelle-snap").string(),
                                  "--format",
                                  format,
                                  "--frames",
                                  std::to_string(frames),
                                  "--save",
                                  std::to_string(frames - 1),
                                  "--output",
                                  dir.string(),
                                  "--prefix",
                                  "f",
                                  "--timeout",
                                  "15"};
    argv.insert(argv.end(), more.begin(), more.end());
    auto p = session->spawn(argv);
    p->wait(20s);
    lastSnapLog = p->log();
    for (auto& entry : fs::directory_iterator(dir))
      if (entry.path().extension() == ".png") return readPng(entry.path());
    return {};
  }

  // A GStreamer client of "Tovrelle"; the last of `frames` frames as BGRA.
  Picture gstreamer(int frames = 45) {
    auto file = session->makeFolder("gst") / "frames.bgra";
    auto p =
        session->spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=Tovrelle",
                        "num-buffers=" + std::to_string(frames), "!", "videoconvert", "!",
                        "video/x-raw,format=BGRA,width=1280,height=720", "!", "filesink", "location=" + file.string()});
    p->wait(20s);
    Picture pic;
    const size_t frameBytes = 1280u * 720u * 4u;
    std::error_code ec;
    auto size = fs::file_size(file, ec);
    if (ec || size < frameBytes) return pic;
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(size - size % frameBytes - frameBytes));
    pic.bgra.resize(frameBytes);
    in.read(reinterpret_cast<char*>(pic.bgra.data()), static_cast<std::streamsize>(frameBytes));
    pic.width = 1280;
    pic.height = 720;
    pic.stride = 1280 * 4;
    return pic;
  }

  // Whether anything reads the test camera (the extension's capture stream is its only possible reader).
  bool cameraIsRead() {
    auto p = session->spawn({"pw-dump"}, {}, "pw-dump");
    p->wait(10s);
    std::ifstream in(p->logPath());
    auto objects = nlohmann::json::parse(in, nullptr, false);
    if (!objects.is_array()) return false;
    std::optional<int64_t> cameraNode;
    for (auto& o : objects) {
      auto name = o.value("/info/props/node.name"_json_pointer, std::string());
      if (name == "testcam-e2e") cameraNode = o.value("id", int64_t{-1});
    }
    for (auto& o : objects)
      if (o.value("type", std::string()) == "PipeWire:Interface:Link" &&
          o.value("/info/output-node-id"_json_pointer, int64_t{-2}) == cameraNode)
        return true;
    return false;
  }

  std::unique_ptr<PrivateSession> session;
  fs::path data;
  std::atomic<bool> beating{true};
  std::thread heart;
  std::vector<std::string> camArgs;
  std::unique_ptr<Process> cam;
  std::unique_ptr<Process> extension;
  std::shared_ptr<capture::CaptureDevices> devices;
  std::unique_ptr<capture::CaptureSession> reader;
  FrameSink frames;
  std::string lastSnapLog;
};

// The camera in each of its formats, as a BGRA and an I420 client see it.
class CameraFormats : public CameraEndToEnd, public ::testing::WithParamInterface<std::pair<std::string, std::string>> {
 protected:
  std::pair<std::string, std::string> cameraFormat() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, CameraFormats,
                         ::testing::Values(std::pair<std::string, std::string>{"YUY2", "640x480"},
                                           std::pair<std::string, std::string>{"MJPEG", "1920x1080"},
                                           std::pair<std::string, std::string>{"NV12", "1280x720"}));

TEST_P(CameraFormats, ClientsOfTovrelleSeeTheSelectedCamerasPicture) {
  selectCamera("testcam-e2e");
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s)) << extension->log();
  Picture fromSnap = snap();
  ASSERT_EQ(fromSnap.width, 1280) << lastSnapLog;
  EXPECT_EQ(fromSnap.height, 720);
  EXPECT_TRUE(fromSnap.hasBars());
  ASSERT_TRUE(fromSnap.decoded()) << "the frame counter survives the passthrough";
  EXPECT_NE(lastSnapLog.find("alpha_min=255"), std::string::npos) << lastSnapLog;
  Picture fromGst = gstreamer();
  ASSERT_FALSE(fromGst.bgra.empty());
  EXPECT_TRUE(fromGst.hasBars());
  ASSERT_TRUE(fromGst.decoded());
  EXPECT_GT(fromGst.decoded()->counter, fromSnap.decoded()->counter) << "live frames, not a still";

  // One format per stream at a time: the I420 client comes alone (the
  // extension opens the camera again for it).
  reader->stopRunning();
  Picture fromI420 = snap(75, "I420");
  EXPECT_NE(lastSnapLog.find("format=I420"), std::string::npos) << lastSnapLog;
  EXPECT_TRUE(fromI420.hasBars()) << lastSnapLog;
  EXPECT_TRUE(fromI420.decoded());
}

TEST_F(CameraEndToEnd, SelectingTovrelleItselfOrAMissingCameraGivesBlack) {
  selectCamera("Tovrelle");
  ASSERT_TRUE(extension->waitForLog("refusing to open our own virtual camera", 10s)) << extension->log();
  Picture own = snap();
  EXPECT_TRUE(own.black()) << lastSnapLog;
  EXPECT_FALSE(cameraIsRead());

  cam->stop();
  selectCamera("testcam-e2e");
  ASSERT_TRUE(extension->waitForLog("no physical camera matching id: testcam-e2e", 10s)) << extension->log();
  EXPECT_TRUE(snap().black()) << lastSnapLog;
}

TEST_F(CameraEndToEnd, SwitchingModesStopsTheCameraSession) {
  selectCamera("testcam-e2e");
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s)) << extension->log();
  ASSERT_TRUE(snap().decoded()) << lastSnapLog;
  EXPECT_TRUE(cameraIsRead());

  writeState({CameraMode::off, std::nullopt, std::nullopt});
  ASSERT_TRUE(extension->waitForLog("stopAllSources begin (hasCaptureSession=yes", 10s)) << extension->log();
  ASSERT_TRUE(eventually([&] { return !cameraIsRead(); }, 5000ms)) << "the camera is released";
  Picture off = snap();
  ASSERT_EQ(off.width, 1280) << lastSnapLog;
  EXPECT_FALSE(off.decoded()) << "no camera frame after the switch";
  EXPECT_FALSE(off.black()) << "the camera-off picture";
}

// A camera that goes away while it is being forwarded leaves black frames.
TEST_F(CameraEndToEnd, RemovingTheCameraGivesBlack) {
  selectCamera("testcam-e2e");
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s)) << extension->log();
  ASSERT_TRUE(snap().decoded()) << lastSnapLog;
  cam->stop();
  ASSERT_TRUE(extension->waitForLog("stopped", 10s)) << extension->log();
  Picture after = snap();
  EXPECT_TRUE(after.black()) << lastSnapLog;
}

// A camera that changes format and size mid-stream, as when another program
// reconfigures it: to a format the service reads, to one it cannot (refused
// once, black after), or to a size larger than it first offered (the same).
struct Switch {
  std::string from;  // YUY2 at this size first
  std::string to;    // --switch-format value
  std::string says;  // what the service logs about it
  bool readable;
  friend void PrintTo(const Switch& s, std::ostream* os) { *os << s.to; }
};

class CameraSwitch : public CameraEndToEnd, public ::testing::WithParamInterface<Switch> {
 protected:
  std::pair<std::string, std::string> cameraFormat() const override { return {"YUY2", GetParam().from}; }
  std::vector<std::string> switchArgs() const override { return {"--switch-format", GetParam().to}; }

  // Switches once our reader has seen the camera; the number of frames made before.
  uint32_t switchCamera() {
    EXPECT_TRUE(eventually([&] { return !frames.frames().empty() && frames.frames().back().decoded; }, 15s))
        << extension->log();
    ::kill(cam->pid(), SIGUSR1);
    EXPECT_TRUE(cam->waitForLog("testcam: switching to", 10s)) << cam->log();
    std::smatch m;
    const std::string log = cam->log();
    return std::regex_search(log, m, std::regex("after (\\d+) frames")) ? std::stoul(m[1]) : 0;
  }
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, CameraSwitch,
                         ::testing::Values(Switch{"1280x720", "MJPEG:640x480", "switched to MJPEG 640x480", true},
                                           Switch{"1280x720", "NV12", "switched to NV12 1280x720", true},
                                           Switch{"1280x720", "GRAY8",
                                                  "capture of \"E2E Cam\" stopped: the camera settled on a format "
                                                  "we cannot read (raw GRAY8 1280x720)",
                                                  false},
                                           Switch{"640x480", "YUY2:1280x720", "capture of \"E2E Cam\" stopped",
                                                  false}));

TEST_P(CameraSwitch, ClientsKeepGettingFramesOrBlack) {
  selectCamera("testcam-e2e");
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s)) << extension->log();
  const uint32_t switchedAt = switchCamera();
  ASSERT_GT(switchedAt, 0u);
  ASSERT_TRUE(extension->waitForLog(GetParam().says, 15s)) << extension->log() << cam->log();

  if (GetParam().readable) {
    // Our own reader of "Tovrelle" sees the camera's frames on both sides of the switch.
    ASSERT_TRUE(eventually(
        [&] {
          auto seen = frames.frames();
          return !seen.empty() && seen.back().decoded && seen.back().decoded->counter > switchedAt + 15;
        },
        20s))
        << extension->log();
    auto seen = frames.frames();
    uint32_t last = 0, before = 0, after = 0;
    for (auto& f : seen) {
      if (!f.decoded) continue;
      EXPECT_GE(f.decoded->counter, last) << "frames arrive in order";
      last = f.decoded->counter;
      (f.decoded->counter < switchedAt ? before : after)++;
    }
    EXPECT_GT(before, 0u);
    EXPECT_GT(after, 0u);
    for (int i = 0; i < tp::kBarCount; ++i)
      EXPECT_TRUE(near(seen.back().bars[i], tp::kBars[i])) << "bar " << i << " is " << show(seen.back().bars[i]);

    // And so does another client, with stamps rising.
    Picture later = snap(30, "BGRA", {"--stamps"});
    ASSERT_EQ(later.width, 1280) << lastSnapLog;
    EXPECT_EQ(later.height, 720);
    EXPECT_TRUE(later.hasBars()) << lastSnapLog;
    ASSERT_TRUE(later.decoded());
    EXPECT_GT(later.decoded()->counter, switchedAt);
    EXPECT_NE(lastSnapLog.find("stamps_rising=yes"), std::string::npos) << lastSnapLog;
    EXPECT_EQ(extension->log().find("stopped"), std::string::npos) << extension->log();
  } else {
    Picture after = snap();
    EXPECT_TRUE(after.black()) << lastSnapLog << extension->log();
    EXPECT_NE(lastSnapLog.find("result=ok"), std::string::npos) << "black frames keep coming\n" << lastSnapLog;
    EXPECT_TRUE(extension->waitForLog(GetParam().says, 0s, 1));
    EXPECT_FALSE(extension->waitForLog(GetParam().says, 0s, 2)) << "said once\n" << extension->log();
  }
  reader->stopRunning();
  const int status = extension->stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << status << "\n" << extension->log();
}

// A client that renegotiates mid-stream gets the camera's frames in the new
// format.
TEST_F(CameraEndToEnd, AClientThatRenegotiatesKeepsGettingFrames) {
  selectCamera("testcam-e2e");
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s)) << extension->log();
  reader->stopRunning();  // one format per stream at a time: the client comes alone
  auto told = [&](const std::string& format) {
    const std::string text = extension->log(), line = "client format " + format + " 1280x720";
    int n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  };
  for (auto [from, to] : {std::pair<std::string, std::string>{"BGRA", "I420"}, {"NV12", "BGRA"}}) {
    SCOPED_TRACE(from + " to " + to);
    const int before = told(to);
    Picture last = snap(60, from, {"--switch-after", "20", "--switch-format", to, "--stamps"});
    EXPECT_NE(lastSnapLog.find("negotiated=" + from + "," + to + "\n"), std::string::npos) << lastSnapLog;
    EXPECT_NE(lastSnapLog.find("result=ok"), std::string::npos) << lastSnapLog;
    EXPECT_NE(lastSnapLog.find("stamps_rising=yes"), std::string::npos) << lastSnapLog;
    EXPECT_TRUE(last.hasBars()) << lastSnapLog;
    EXPECT_TRUE(last.decoded()) << "a live camera frame in the new format";
    EXPECT_EQ(told(to), before + 1) << extension->log();
  }
}

// No camera chosen ("tovrelle --camera default"): the system's default
// camera, here the only one there is besides Tovrelle.
TEST_F(CameraEndToEnd, NoChosenCameraPassesTheDefaultCameraThrough) {
  writeState({CameraMode::camera, std::nullopt, std::nullopt});
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s)) << extension->log();
  Picture shown = snap();
  EXPECT_TRUE(shown.hasBars()) << lastSnapLog;
  EXPECT_TRUE(shown.decoded());
}

// A camera that hangs (its process stopped): frames keep coming to every
// client, a new one too, black after a moment with one line; the camera's
// frames again once it goes on.
TEST_F(CameraEndToEnd, AHungCameraLeavesFramesFlowingAndIsShownAgainWhenItGoesOn) {
  selectCamera("testcam-e2e");
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s)) << extension->log();
  ASSERT_TRUE(snap().decoded()) << lastSnapLog;
  ASSERT_EQ(::kill(cam->pid(), SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{cam->pid()};
  ASSERT_TRUE(extension->waitForLog("the camera has sent no frame for 1.0 s", 15s)) << extension->log();
  Picture during = snap();
  EXPECT_NE(lastSnapLog.find("result=ok"), std::string::npos) << "a new client gets frames\n" << lastSnapLog;
  EXPECT_TRUE(during.black()) << lastSnapLog;
  const size_t seen = frames.count();
  EXPECT_TRUE(eventually([&] { return frames.count() > seen + 30; }, 15s)) << "the first client keeps getting frames";

  ASSERT_EQ(::kill(cam->pid(), SIGCONT), 0);
  ASSERT_TRUE(extension->waitForLog("the camera sends frames again", 15s)) << extension->log();
  EXPECT_TRUE(snap().decoded()) << lastSnapLog;
  EXPECT_FALSE(extension->waitForLog("the camera has sent no frame", 0s, 2)) << "said once\n" << extension->log();
}

// A camera that goes away (its process killed) and comes back under the same
// name is passed through again without the user choosing it anew.
TEST_F(CameraEndToEnd, ACameraThatComesBackIsPassedThroughAgain) {
  selectCamera("testcam-e2e");
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s)) << extension->log();
  ASSERT_TRUE(snap().decoded()) << lastSnapLog;
  cam->stop(SIGKILL);
  ASSERT_TRUE(extension->waitForLog("camera stopped", 10s)) << extension->log();
  EXPECT_TRUE(snap().black()) << lastSnapLog;

  cam = startTestCam(*session, camArgs);
  ASSERT_TRUE(extension->waitForLog("capturing \"E2E Cam\"", 15s, 2)) << extension->log();
  Picture back = snap();
  EXPECT_TRUE(back.hasBars()) << lastSnapLog;
  EXPECT_TRUE(back.decoded());
}

}  // namespace

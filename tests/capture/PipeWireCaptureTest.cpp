// The capture service against a real (private) PipeWire with test cameras:
// what discovery lists and announces, what a session delivers, and what
// happens when cameras misbehave or the daemon goes away.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "tests/capture/CaptureTestSupport.h"

using namespace tovrelle;
using namespace tovrelle::test;
namespace tp = tovrelle::testpattern;

namespace {

class PipeWireCapture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session_ = new PrivateSession(); }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }
  static PrivateSession& session() { return *session_; }

  struct Opened {
    std::unique_ptr<capture::CaptureSession> session;
    std::string error;
  };

  static Opened open(capture::CaptureDevices& devices, const std::string& id, FrameSink& sink) {
    auto info = devices.deviceWithUniqueId(id);
    if (!info) return {nullptr, "no device " + id};
    auto input = devices.makeInput(*info);
    if (!input.input) return {nullptr, input.error};
    auto s = devices.makeSession();
    s->setPreset(1280, 720);
    EXPECT_TRUE(s->canAddInput(*input.input));
    s->addInput(input.input);
    auto output = sink.makeOutput();
    EXPECT_TRUE(s->canAddOutput(*output));
    s->addOutput(output);
    s->startRunning();
    return {std::move(s), ""};
  }

  static bool hasDevice(capture::CaptureDevices& d, const std::string& id) {
    return d.deviceWithUniqueId(id).has_value();
  }

  // Frames must be 1280x720, carry the bars and count up.
  static void expectPattern(const std::vector<SeenFrame>& frames, int tolerance) {
    ASSERT_GE(frames.size(), 5u);
    std::optional<uint32_t> last;
    int decoded = 0;
    for (const auto& f : frames) {
      ASSERT_EQ(f.width, 1280);
      ASSERT_EQ(f.height, 720);
      for (int i = 0; i < tp::kBarCount; ++i) {
        ASSERT_TRUE(near(f.bars[i], tp::kBars[i], tolerance))
            << "bar " << i << " is " << show(f.bars[i]) << ", expected " << show(tp::kBars[i]);
      }
      ASSERT_TRUE(f.decoded) << "frame without a readable counter";
      if (last) {
        EXPECT_GT(f.decoded->counter, *last);
      }
      last = f.decoded->counter;
      ++decoded;
    }
    EXPECT_EQ(decoded, static_cast<int>(frames.size()));
  }

  static inline PrivateSession* session_ = nullptr;
};

TEST_F(PipeWireCapture, DiscoveryListsCamerasAndAnnouncesThemAfterTheListChanged) {
  auto devices = capture::makePipeWireCaptureDevices();
  std::mutex m;
  std::vector<std::tuple<capture::DeviceEvent, std::string, bool>> events;  // event, id, listed at the time
  auto sub = devices->subscribe([&](capture::DeviceEvent e, const capture::DeviceInfo& info) {
    bool listed = devices->deviceWithUniqueId(info.uniqueId).has_value();
    std::lock_guard lock(m);
    events.emplace_back(e, info.uniqueId, listed);
  });
  EXPECT_EQ(devices->authorizationStatus(), capture::AuthorizationStatus::authorized);

  auto a = startTestCam(session(), {"--name", "Desk Cam", "--node-name", "testcam-desk"});
  // A screen cast is a video source too, but not a camera.
  auto cast = startTestCam(session(), {"--name", "Screen", "--node-name", "testcam-screen", "--no-camera-role"});
  ASSERT_TRUE(eventually([&] { return hasDevice(*devices, "testcam-desk"); }));
  auto desk = devices->deviceWithUniqueId("testcam-desk");
  EXPECT_EQ(desk->localizedName, "Desk Cam");
  EXPECT_FALSE(hasDevice(*devices, "testcam-screen"));

  auto b = startTestCam(session(), {"--name", "Tovrelle", "--node-name", "testcam-own"});
  ASSERT_TRUE(eventually([&] { return hasDevice(*devices, "testcam-own"); }));
  auto list = devices->devices();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].uniqueId, "testcam-desk");   // order of appearance
  EXPECT_EQ(list[1].localizedName, "Tovrelle");  // our own name is listed like any other

  // Another process (or a restart of ours) sees the same identifiers.
  auto second = capture::makePipeWireCaptureDevices();
  EXPECT_TRUE(hasDevice(*second, "testcam-desk"));
  EXPECT_TRUE(hasDevice(*second, "testcam-own"));
  second.reset();

  a->stop();
  ASSERT_TRUE(eventually([&] { return !hasDevice(*devices, "testcam-desk"); }));
  // The same camera coming back has the same identifier.
  a = startTestCam(session(), {"--name", "Desk Cam", "--node-name", "testcam-desk"});
  ASSERT_TRUE(eventually([&] { return hasDevice(*devices, "testcam-desk"); }));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return events.size() >= 4;
  }));
  std::lock_guard lock(m);
  using E = capture::DeviceEvent;
  std::vector<std::tuple<E, std::string, bool>> expected{{E::connected, "testcam-desk", true},
                                                         {E::connected, "testcam-own", true},
                                                         {E::disconnected, "testcam-desk", false},
                                                         {E::connected, "testcam-desk", true}};
  EXPECT_EQ(events, expected);
}

// Threads and open files of this process, to see that sessions leave nothing behind.
size_t entriesIn(const char* dir) {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

TEST_F(PipeWireCapture, EveryCameraFormatShowsThePatternAndStoppedSessionsLeaveNothingBehind) {
  struct Case {
    const char* format;
    const char* size;
    int tolerance;
  };
  auto devices = capture::makePipeWireCaptureDevices();
  const size_t threads = entriesIn("/proc/self/task"), files = entriesIn("/proc/self/fd");
  for (const Case& c : {Case{"YUY2", "640x480", 30}, Case{"MJPEG", "1920x1080", 40}, Case{"NV12", "1920x1080", 30},
                        Case{"BGRx", "1280x720", 2}}) {
    SCOPED_TRACE(c.format);
    const std::string node = std::string("testcam-") + c.format;
    auto cam =
        startTestCam(session(), {"--name", c.format, "--node-name", node, "--format", c.format, "--size", c.size});
    FrameSink sink;
    ASSERT_TRUE(eventually([&] { return hasDevice(*devices, node); }));
    auto opened = open(*devices, node, sink);
    ASSERT_TRUE(opened.session) << opened.error;
    EXPECT_TRUE(opened.session->isRunning());
    ASSERT_TRUE(eventually([&] { return sink.count() >= 6; }, 10000ms));
    opened.session->stopRunning();
    EXPECT_FALSE(opened.session->isRunning());
    const size_t atStop = sink.count();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sink.count(), atStop) << "nothing arrives once stopRunning has returned";
    expectPattern(sink.frames(), c.tolerance);
  }
  EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/task") <= threads; })) << "a session's thread is left";
  EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/fd") <= files; })) << "a session's file is left";
}

// The host's preview and the extension may read one camera at the same time.
TEST_F(PipeWireCapture, TwoSessionsOnOneCameraBothReceiveFrames) {
  auto cam = startTestCam(session(), {"--name", "Shared", "--node-name", "testcam-shared"});
  auto devices = capture::makePipeWireCaptureDevices();
  FrameSink first, second;
  auto a = open(*devices, "testcam-shared", first);
  ASSERT_TRUE(a.session) << a.error;
  ASSERT_TRUE(eventually([&] { return first.count() >= 3; }));
  auto b = open(*devices, "testcam-shared", second);
  ASSERT_TRUE(b.session) << b.error;
  ASSERT_TRUE(eventually([&] { return second.count() >= 5; })) << cam->log();  // as many as expectPattern wants
  size_t before = first.count();
  ASSERT_TRUE(eventually([&] { return first.count() >= before + 3; })) << "the first session keeps receiving";
  b.session->stopRunning();
  before = first.count();
  ASSERT_TRUE(eventually([&] { return first.count() >= before + 3; })) << "and after the second one stopped";
  a.session->stopRunning();
  expectPattern(second.frames(), 30);
}

// Sessions that come and go on a raw camera another session keeps reading
// (the host's preview beside the camera service): each new one receives
// frames, and so does the one that stays.
TEST_F(PipeWireCapture, SessionsComingAndGoingOnACameraLeaveItSending) {
  auto cam = startTestCam(session(), {"--name", "Kept", "--node-name", "testcam-kept"});
  auto devices = capture::makePipeWireCaptureDevices();
  FrameSink stays;
  auto kept = open(*devices, "testcam-kept", stays);
  ASSERT_TRUE(kept.session) << kept.error;
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE("session " + std::to_string(i));
    FrameSink visits;
    auto visitor = open(*devices, "testcam-kept", visits);
    ASSERT_TRUE(visitor.session) << visitor.error;
    ASSERT_TRUE(eventually([&] { return visits.count() >= 3; })) << cam->log();
    visitor.session.reset();
    const size_t before = stays.count();
    ASSERT_TRUE(eventually([&] { return stays.count() >= before + 3; })) << "the staying session keeps receiving";
  }
  kept.session->stopRunning();
  expectPattern(stays.frames(), 30);
}

// PipeWire clients that this process has open, as the daemon lists them.
int clientsOfThisProcess(PrivateSession& session) {
  static int dumps = 0;
  auto dump = session.spawn({"pw-dump"}, {}, "pw-dump-clients-" + std::to_string(++dumps));
  dump->wait(10s);
  std::ifstream in(dump->logPath());
  auto objects = nlohmann::json::parse(in, nullptr, false);
  if (!objects.is_array()) return -1;
  int count = 0;
  for (auto& o : objects) {
    if (o.value("type", std::string()) != "PipeWire:Interface:Client") continue;
    const auto pid = o.value("/info/props/pipewire.sec.pid"_json_pointer, nlohmann::json());
    if ((pid.is_number() && pid.get<int64_t>() == ::getpid()) ||
        (pid.is_string() && pid.get<std::string>() == std::to_string(::getpid())))
      ++count;
  }
  return count;
}

// Discovery and every session of a process share one connection; a camera
// that goes away ends only its own session.
TEST_F(PipeWireCapture, SessionsShareTheServicesConnectionAndFailAlone) {
  auto camA = startTestCam(session(), {"--name", "One", "--node-name", "testcam-one", "--format", "MJPEG"});
  auto camB = startTestCam(session(), {"--name", "Two", "--node-name", "testcam-two"});
  auto devices = capture::makePipeWireCaptureDevices();
  FrameSink first, second;
  ASSERT_TRUE(eventually([&] { return hasDevice(*devices, "testcam-one") && hasDevice(*devices, "testcam-two"); }));
  auto a = open(*devices, "testcam-one", first);
  auto b = open(*devices, "testcam-two", second);
  ASSERT_TRUE(a.session && b.session) << a.error << b.error;
  ASSERT_TRUE(eventually([&] { return first.count() >= 3 && second.count() >= 3; }));
  EXPECT_EQ(clientsOfThisProcess(session()), 1);

  camB->stop();
  ASSERT_TRUE(eventually([&] { return !second.interruptions().empty(); }));
  EXPECT_FALSE(b.session->isRunning());
  const size_t before = first.count();
  ASSERT_TRUE(eventually([&] { return first.count() >= before + 5; })) << "the other camera keeps sending";
  EXPECT_TRUE(first.interruptions().empty());
  EXPECT_TRUE(a.session->isRunning());
  b.session.reset();
  a.session.reset();
  EXPECT_EQ(clientsOfThisProcess(session()), 1) << "discovery stays connected";
  expectPattern(first.frames(), 30);
}

TEST_F(PipeWireCapture, ABusyCallbackMissesFramesInsteadOfQueueingThem) {
  auto cam = startTestCam(session(), {"--name", "Busy", "--node-name", "testcam-busy", "--fps", "30"});
  auto devices = capture::makePipeWireCaptureDevices();
  FrameSink sink(250ms);
  auto opened = open(*devices, "testcam-busy", sink);
  ASSERT_TRUE(opened.session) << opened.error;
  std::this_thread::sleep_for(1600ms);
  opened.session->stopRunning();
  auto frames = sink.frames();
  // At most one callback per 250 ms; each next frame is a fresh one, about
  // 7 camera frames later, not the one that waited behind the last.
  ASSERT_GE(frames.size(), 3u);
  EXPECT_LE(frames.size(), 8u);
  for (size_t i = 1; i < frames.size(); ++i) {
    ASSERT_TRUE(frames[i].decoded && frames[i - 1].decoded);
    EXPECT_GE(frames[i].decoded->counter - frames[i - 1].decoded->counter, 5u);
  }
}

TEST_F(PipeWireCapture, CorruptOrTruncatedFramesAreDroppedWithOneLogLine) {
  for (auto format : {"MJPEG", "YUY2"}) {
    SCOPED_TRACE(format);
    LogCapture logs;
    std::string node = std::string("testcam-bad-") + format;
    auto cam = startTestCam(session(), {"--name", "Bad", "--node-name", node, "--format", format, "--size", "640x480",
                                        "--corrupt-every", "2"});
    auto devices = capture::makePipeWireCaptureDevices();
    FrameSink sink;
    auto opened = open(*devices, node, sink);
    ASSERT_TRUE(opened.session) << opened.error;
    // A slow callback can miss a run of broken frames, so wait for one to be read.
    ASSERT_TRUE(eventually([&] { return sink.count() >= 8 && logs.count("dropping unusable camera frame") > 0; }))
        << logs.all();
    opened.session->stopRunning();
    // Only good frames came through, each once, all even-numbered (every
    // second one is broken), and none is a repeat of the picture before.
    std::optional<uint32_t> last;
    for (const auto& f : sink.frames()) {
      ASSERT_TRUE(f.decoded);
      EXPECT_EQ(f.decoded->counter % 2, 0u);
      if (last) {
        EXPECT_GT(f.decoded->counter, *last);
      }
      last = f.decoded->counter;
    }
    EXPECT_EQ(logs.count("dropping unusable camera frame"), 1) << logs.all();
  }
}

TEST_F(PipeWireCapture, InputsFailClearlyForGoneOrUnusableCameras) {
  auto devices = capture::makePipeWireCaptureDevices();
  capture::DeviceInfo ghost{"testcam-ghost", "Ghost"};
  auto missing = devices->makeInput(ghost);
  EXPECT_FALSE(missing.input);
  EXPECT_NE(missing.error.find("\"Ghost\" (testcam-ghost) is not attached"), std::string::npos) << missing.error;

  auto grey = startTestCam(session(), {"--name", "Grey", "--node-name", "testcam-grey", "--format", "GRAY8"});
  ASSERT_TRUE(eventually([&] { return hasDevice(*devices, "testcam-grey"); }));
  auto unusable = devices->makeInput(*devices->deviceWithUniqueId("testcam-grey"));
  EXPECT_FALSE(unusable.input);
  EXPECT_NE(unusable.error.find("offers no usable video format"), std::string::npos) << unusable.error;

  // The camera goes between opening the input and starting: the session
  // fails to start, says why, and holds nothing.
  LogCapture logs;
  auto cam = startTestCam(session(), {"--name", "Brief", "--node-name", "testcam-brief"});
  ASSERT_TRUE(eventually([&] { return hasDevice(*devices, "testcam-brief"); }));
  auto input = devices->makeInput(*devices->deviceWithUniqueId("testcam-brief"));
  ASSERT_TRUE(input.input) << input.error;
  cam->stop();
  ASSERT_TRUE(eventually([&] { return !hasDevice(*devices, "testcam-brief"); }));
  auto s = devices->makeSession();
  s->addInput(input.input);
  FrameSink sink;
  s->addOutput(sink.makeOutput());
  auto before = std::chrono::steady_clock::now();
  s->startRunning();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 20s) << "a failed start does not hang";
  EXPECT_FALSE(s->isRunning());
  EXPECT_EQ(logs.count("cannot capture \"Brief\""), 1) << logs.all();
  s->stopRunning();
  EXPECT_EQ(sink.count(), 0u);
}

// Last: it restarts the daemon the other tests share.
TEST_F(PipeWireCapture, ZzPipeWireRestartEndsSessionsAndDiscoveryComesBack) {
  auto cam = startTestCam(session(), {"--name", "Before", "--node-name", "testcam-before"});
  auto devices = capture::makePipeWireCaptureDevices();
  FrameSink sink;
  auto opened = open(*devices, "testcam-before", sink);
  ASSERT_TRUE(opened.session) << opened.error;
  ASSERT_TRUE(eventually([&] { return sink.count() >= 3; }));

  session().stopPipeWire();
  cam->stop();
  ASSERT_TRUE(eventually([&] { return devices->devices().empty(); }));
  ASSERT_TRUE(eventually([&] { return !sink.interruptions().empty(); }));
  EXPECT_FALSE(opened.session->isRunning());
  // A session opened while the daemon is down fails at once.
  EXPECT_FALSE(devices->makeInput({"testcam-before", "Before"}).input);

  session().startPipeWire();
  auto after = startTestCam(session(), {"--name", "After", "--node-name", "testcam-after"});
  ASSERT_TRUE(eventually([&] { return hasDevice(*devices, "testcam-after"); }, 8000ms));
  FrameSink again;
  auto reopened = open(*devices, "testcam-after", again);
  ASSERT_TRUE(reopened.session) << reopened.error;
  ASSERT_TRUE(eventually([&] { return again.count() >= 3; }));
  reopened.session->stopRunning();
  opened.session->stopRunning();
}

}  // namespace

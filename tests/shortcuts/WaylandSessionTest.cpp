// A Wayland desktop of the test's own (headless weston, the desktop portal and
// a global-shortcut backend written here): the shortcut portal client on its
// own, then the running `tovrelle` binding its shortcuts there and obeying
// the command-line control.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/hotkeys/portal/DesktopPortalShortcuts.h"
#include "tests/shell/EventLoopWait.h"
#include "tests/support/DesktopPortal.h"
#include "tests/support/Services.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovrelle::hotkeys::ShortcutPortal;
using tovrelle::test::DesktopPortal;
using tovrelle::test::PrivateSession;
using tovrelle::test::Process;
using tovrelle::test::waitUntil;

namespace {

// One desktop for the whole program: this process's session bus connection
// is made once and kept.
PrivateSession* session = nullptr;
DesktopPortal* desktop = nullptr;

class DesktopEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    session = new PrivateSession();
    desktop = new DesktopPortal(*session);
    static int argc = 1;
    static char name[] = "shortcuts_wayland_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QCoreApplication>(argc, argv);
  }
  void TearDown() override {
    app_.reset();
    delete desktop;
    delete session;
  }

 private:
  std::unique_ptr<QCoreApplication> app_;
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new DesktopEnvironment);

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Recorded {
  std::vector<std::string> activated, deactivated;
  ShortcutPortal::State state = ShortcutPortal::State::idle;
  std::string reason;
};

std::unique_ptr<ShortcutPortal> portalClient(Recorded& recorded, std::chrono::milliseconds timeout = 30s) {
  auto portal = tovrelle::hotkeys::makeDesktopPortalShortcuts(timeout);
  portal->setCallbacks({[&](const std::string& id) { recorded.activated.push_back(id); },
                        [&](const std::string& id) { recorded.deactivated.push_back(id); },
                        [&](ShortcutPortal::State state, const std::string& reason) {
                          recorded.state = state;
                          recorded.reason = reason;
                        }});
  return portal;
}

TEST(ShortcutPortalClient, BindsFollowsPressesAndLosesItsSession) {
  ASSERT_TRUE(desktop->setBackendMode("bind"));
  Recorded recorded;
  auto portal = portalClient(recorded);
  portal->bind({{"cameraOn", "Turn the camera on", "CTRL+ALT+LOGO+1"}});
  ASSERT_TRUE(waitUntil([&] { return recorded.state == ShortcutPortal::State::bound; })) << recorded.reason;
  EXPECT_NE(desktop->bindCalls().back().find(
                R"({"id": "cameraOn", "description": "Turn the camera on", "preferred_trigger": "CTRL+ALT+LOGO+1"})"),
            std::string::npos);

  ASSERT_TRUE(desktop->emitShortcut("Activated", "cameraOn"));
  ASSERT_TRUE(desktop->emitShortcut("Deactivated", "cameraOn"));
  ASSERT_TRUE(waitUntil([&] { return !recorded.deactivated.empty(); }));
  EXPECT_EQ(recorded.activated, std::vector<std::string>{"cameraOn"});
  EXPECT_EQ(recorded.deactivated, std::vector<std::string>{"cameraOn"});

  // The desktop ends the session: unavailable, and the next bind opens a new one.
  ASSERT_TRUE(desktop->closeSession());
  ASSERT_TRUE(waitUntil([&] { return recorded.state == ShortcutPortal::State::unavailable; }));
  EXPECT_NE(recorded.reason.find("closed"), std::string::npos) << recorded.reason;
  portal->bind({{"cameraOn", "Turn the camera on", "CTRL+ALT+LOGO+5"}});
  ASSERT_TRUE(waitUntil([&] { return recorded.state == ShortcutPortal::State::bound; })) << recorded.reason;
  EXPECT_NE(desktop->bindCalls().back().find("CTRL+ALT+LOGO+5"), std::string::npos);
}

TEST(ShortcutPortalClient, RefusingOrSilentDesktopLeavesShortcutsUnavailable) {
  ASSERT_TRUE(desktop->setBackendMode("refuse"));
  Recorded refused;
  auto portal = portalClient(refused);
  portal->bind({{"cameraOff", "Turn the camera off", "CTRL+ALT+LOGO+0"}});
  ASSERT_TRUE(waitUntil([&] { return refused.state == ShortcutPortal::State::unavailable; }));
  EXPECT_NE(refused.reason.find("refused"), std::string::npos) << refused.reason;

  // A desktop that never answers is given up after the client's own timeout.
  ASSERT_TRUE(desktop->setBackendMode("silent"));
  Recorded silent;
  auto waiting = portalClient(silent, 1s);
  waiting->bind({{"cameraOff", "Turn the camera off", ""}});
  ASSERT_TRUE(waitUntil([&] { return silent.state == ShortcutPortal::State::unavailable; }, 20s));
  EXPECT_NE(silent.reason.find("no answer"), std::string::npos) << silent.reason;
  ASSERT_TRUE(desktop->setBackendMode("bind"));
}

// The app on the Wayland desktop, with a library of two images and one camera.
class WaylandApp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    camera_ = session
                  ->spawn({(tovrelle::test::binaryDir() / "tovrelle-testcam").string(), "--name", "Desk Cam",
                           "--node-name", "desk-cam", "--size", "320x240", "--fps", "10"},
                          {}, "desk-cam")
                  .release();
    data_ = session->makeFolder("data");
    fs::create_directories(data_ / "Images");
    std::ofstream(data_ / "images.json")
        << R"([{"id":"5B1D6F2E-8C4A-4E7B-9A61-0F2C3D4E5A61","name":"Beach","fileName":"beach.png"},)"
        << R"({"id":"7C2E8A3F-1B5D-4F8C-8B72-1A3D4E5F6B72","name":"beach at night","fileName":"night.png"}])";
  }

  std::map<std::string, std::string> env() const {
    auto env = desktop->appEnv();
    env["TOVRELLE_DATA_DIR"] = data_.string();
    return env;
  }

  std::unique_ptr<Process> launch(const std::string& logName, const std::string& shortcutsLine,
                                  std::map<std::string, std::string> extraEnv = {}) {
    auto appEnv = env();
    appEnv.insert(extraEnv.begin(), extraEnv.end());
    auto app = session->spawn({(tovrelle::test::binaryDir() / "tovrelle").string()}, appEnv, logName);
    EXPECT_TRUE(app->waitForLog(shortcutsLine, 30s)) << app->log();
    return app;
  }

  // `tovrelle ARGS` as a script runs it: its exit status and its one line.
  std::pair<int, std::string> control(const std::vector<std::string>& args) {
    std::vector<std::string> argv{(tovrelle::test::binaryDir() / "tovrelle").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto process = session->spawn(argv, env(), "control");
    const int status = process->wait(20s);
    return {status == -1 ? -1 : WEXITSTATUS(status), process->log()};
  }

  static std::string state() { return readFile(data_ / "state.json"); }

  static void TearDownTestSuite() { delete camera_; }

  static inline fs::path data_;
  static inline Process* camera_ = nullptr;
};

TEST_F(WaylandApp, ControlWithoutARunningAppStartsNothing) {
  const auto [status, output] = control({"--camera-on"});
  EXPECT_EQ(status, 2);
  EXPECT_NE(output.find("not running"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(data_ / "state.json"));
  EXPECT_FALSE(fs::exists(session->runtimeDir() / "velkari.tovrelle.socket"));
}

TEST_F(WaylandApp, ShortcutsThroughThePortalAndTheCommandLine) {
  const size_t callsBefore = desktop->bindCalls().size();
  // The protocol log shows the windows the compositor is asked for.
  auto app = launch("tovrelle-wayland", "KeyboardShortcuts: the desktop lists", {{"WAYLAND_DEBUG", "client"}});
  const auto calls = desktop->bindCalls();
  ASSERT_GT(calls.size(), callsBefore);
  // The three names at once, each with its default as the preferred trigger.
  const std::string& bound = calls.back();
  for (const char* expected : {R"("id": "cameraOff")", R"("preferred_trigger": "CTRL+ALT+LOGO+0")",
                               R"("id": "cameraOn")", R"("preferred_trigger": "CTRL+ALT+LOGO+1")",
                               R"("id": "showLastImage")", R"("preferred_trigger": "CTRL+ALT+LOGO+2")"})
    EXPECT_NE(bound.find(expected), std::string::npos) << expected << " in " << bound;
  ASSERT_TRUE(waitUntil([] { return state().find(R"("mode":"off")") != std::string::npos; })) << state();

  // A press alone does nothing; the release turns the camera on.
  ASSERT_TRUE(desktop->emitShortcut("Activated", "cameraOn"));
  ASSERT_TRUE(desktop->emitShortcut("Activated", "cameraOff"));
  std::this_thread::sleep_for(500ms);
  EXPECT_NE(state().find(R"("mode":"off")"), std::string::npos) << state();
  ASSERT_TRUE(desktop->emitShortcut("Deactivated", "cameraOn"));
  ASSERT_TRUE(waitUntil([] { return state().find(R"("mode":"camera")") != std::string::npos; })) << state();

  // The command line, through the running app.
  auto [status, line] = control({"--camera-off"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(line, "Tovrelle camera: off\n");
  EXPECT_NE(state().find(R"("mode":"off")"), std::string::npos);

  std::tie(status, line) = control({"--image", "BEACH AT NIGHT"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(line, "Tovrelle camera: image \"beach at night\"\n");
  EXPECT_NE(state().find(R"("selectedImageId":"7C2E8A3F-1B5D-4F8C-8B72-1A3D4E5F6B72")"), std::string::npos) << state();

  std::tie(status, line) = control({"--image=beach"});  // the first match
  EXPECT_EQ(line, "Tovrelle camera: image \"Beach\"\n");

  // Unknown or garbled names change nothing and say what is shown.
  const std::string before = state();
  std::tie(status, line) = control({"--image", "no such\x01\x1b[2Jpicture"});
  EXPECT_EQ(status, 1);
  EXPECT_NE(line.find("No image named \"no such??[2Jpicture\""), std::string::npos) << line;
  EXPECT_NE(line.find("image \"Beach\""), std::string::npos) << line;
  std::tie(status, line) = control({"--camera", "Nonexistent Webcam"});
  EXPECT_EQ(status, 1);
  EXPECT_EQ(state(), before);

  std::tie(status, line) = control({"--camera-on"});
  EXPECT_EQ(line, "Tovrelle camera: on, showing the default camera\n");
  std::tie(status, line) = control({"--camera-off"});
  std::tie(status, line) = control({"--camera", "default"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(line, "Tovrelle camera: on, showing the default camera\n");
  // By name once discovery has found it; by id as stored.
  ASSERT_TRUE(waitUntil([&] {
    std::tie(status, line) = control({"--camera", "desk cam"});
    return status == 0;
  })) << line;
  EXPECT_EQ(line, "Tovrelle camera: on, showing Desk Cam\n");
  EXPECT_NE(state().find(R"("selectedCameraId":")"), std::string::npos) << state();

  std::tie(status, line) = control({"--show-last-image"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(line, "Tovrelle camera: image \"Beach\"\n");

  // A second launch hands over and leaves; the first shows its popover as a
  // window the compositor places, and keeps running.
  auto second = session->spawn({(tovrelle::test::binaryDir() / "tovrelle").string()}, env(), "tovrelle-second");
  EXPECT_EQ(second->wait(20s), 0) << second->log();
  EXPECT_TRUE(app->waitForLog(R"(.set_title("Tovrelle"))", 10s));
  EXPECT_TRUE(app->running());

  // The desktop closes the shortcut session: one log line, the app goes on.
  ASSERT_TRUE(desktop->closeSession());
  EXPECT_TRUE(app->waitForLog("closed the global shortcut session", 10s)) << app->log();
  std::tie(status, line) = control({"--camera-off"});
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(app->running());
}

TEST_F(WaylandApp, RefusedShortcutsAreLoggedAndTheAppRuns) {
  ASSERT_TRUE(desktop->setBackendMode("refuse"));
  auto app = launch("tovrelle-refused",
                    "KeyboardShortcuts: global shortcuts are not available in this session: "
                    "the desktop refused the shortcuts");
  const auto [status, line] = control({"--camera-on"});
  EXPECT_EQ(status, 0) << line;
  EXPECT_TRUE(app->running());
  ASSERT_TRUE(desktop->setBackendMode("bind"));
}

}  // namespace

// The camera service backend against real services: a private session bus
// (with a stand-in systemd user manager, or none), a private PipeWire with
// WirePlumber, the built camera service as the embedded program, files in a
// private folder, and the installer on the Qt main queue on top.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/installer/SystemExtensionInstaller.h"
#include "platform/camera/pipewire/CameraNodes.h"
#include "platform/dispatch/QtMainQueue.h"
#include "platform/sysext/linux/LinuxSystemExtensions.h"
#include "tests/installer/FakeSystemdManager.h"
#include "tests/installer/InstallerTestSupport.h"
#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Case = SystemExtensionInstaller::Status::Case;
using test::FakeSystemdManager;
using test::readFile;

namespace {

constexpr const char* kUnit = "velkari.tovrelle.cameraextension.service";

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "installer_backend_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* instance = new QCoreApplication(argc, argv);
  return *instance;
}

template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    app().processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Declines replacing the installed copy and records how the request ends.
struct DecliningDelegate : sysext::RequestDelegate {
  std::optional<int> result;
  std::optional<sysext::Error> error;

  sysext::ReplacementAction actionForReplacingExtension(sysext::Request&, const sysext::ExtensionProperties&,
                                                        const sysext::ExtensionProperties&) override {
    return sysext::ReplacementAction::cancel;
  }
  void requestNeedsUserApproval(sysext::Request&) override {}
  void requestDidFinishWithResult(sysext::Request&, int r) override { result = r; }
  void requestDidFailWithError(sysext::Request&, const sysext::Error& e) override { error = e; }
  void requestFoundProperties(sysext::Request&, const std::vector<sysext::ExtensionProperties>&) override {}
};

class LinuxBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    session = std::make_unique<test::PrivateSession>();
    // A space in the data folder checks the quoting of the service files.
    paths = sysext::LinuxPaths::fromEnvironment(bundle.root());
    paths.installRoot = session->makeFolder("data home") / "tovrelle" / "SystemExtensions";
    paths.unitFolder = session->runtimeDir() / "config" / "systemd" / "user";
    paths.autostartFolder = session->runtimeDir() / "config" / "autostart";
    paths.stateFolder = session->runtimeDir() / "state" / "tovrelle";
    paths.dataFolder = session->makeFolder("the data");
    paths.cameraWait = 8s;
    writeEmbedded("2.0", "7");
    manager = sysext::makeLinuxExtensionManager(paths);
  }

  void TearDown() override {
    installer.reset();
    systemd.reset();
    // What the backend started on its own ends with the test.
    for (auto& pid : servicePids()) ::kill(pid, SIGKILL);
    manager.reset();
    session.reset();
  }

  // The embedded bundle: an info file and the built camera service, or a
  // shell script standing in for a broken one.
  void writeEmbedded(const std::string& shortVersion, const std::string& version, const std::string& script = {}) {
    bundle.writeVersion(shortVersion, version);
    const fs::path program = bundle.extension() / "tovrelle-camera-extension";
    fs::remove(program);
    if (script.empty()) {
      fs::copy_file(test::binaryDir() / "tovrelle-camera-extension", program);
    } else {
      std::ofstream(program) << "#!/bin/sh\n" << script << "\n";
      fs::permissions(program, fs::perms::owner_all);
    }
  }

  void startManager() { systemd = std::make_unique<FakeSystemdManager>(paths.unitFolder); }

  // The "Tovrelle" cameras in the graph.
  std::vector<camera::CameraNode> cameras() {
    auto nodes = camera::findCameraNodes("Tovrelle", 5s);
    EXPECT_TRUE(nodes);
    return nodes.value_or(std::vector<camera::CameraNode>{});
  }
  // Processes running a copy from the install folder.
  std::vector<pid_t> servicePids() const {
    std::vector<pid_t> pids;
    std::error_code ec;
    const std::string root = fs::weakly_canonical(copies(), ec).string() + "/";
    for (auto& e : fs::directory_iterator("/proc", ec)) {
      const std::string name = e.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      if (camera::processBinary(std::stoi(name)).rfind(root, 0) == 0) pids.push_back(std::stoi(name));
    }
    return pids;
  }

  void makeInstaller() {
    installer = SystemExtensionInstaller::create(
        {manager, std::make_shared<dispatch::QtMainQueue>(), bundle.root(), [](const char* key) { return QString(key); }});
  }

  // What a failed installer shows: "<message key> | <diagnostic>".
  std::string shown() const {
    const auto& f = installer->status().failure;
    return f ? f->messageKey + " | " + f->diagnostic.toStdString() : "no failure";
  }
  bool shownStartsWith(const std::string& prefix) const { return shown().rfind(prefix, 0) == 0; }

  // Runs the installer until it leaves `requesting`.
  Case activate(bool force) {
    installer->activate(force);
    EXPECT_TRUE(waitUntil([&] { return !installer->status().is(Case::requesting); }));
    return installer->status().kind;
  }
  Case refresh() {
    // Past the display throttle, then until the probe is answered.
    std::this_thread::sleep_for(1001ms);
    installer->refreshStatusForDisplay();
    EXPECT_TRUE(waitUntil([&] { return installer->outstandingProbeCount() == 0; }));
    return installer->status().kind;
  }

  Case remove() {
    bool finished = false;
    installer->deactivate([&](bool) { finished = true; });
    EXPECT_TRUE(waitUntil([&] { return finished; }, 30s));
    return installer->status().kind;
  }

  fs::path copies() const { return paths.installRoot / "velkari.tovrelle.cameraextension"; }
  std::vector<std::string> copyFolders() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(copies(), ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::LogRecorder logs;
  test::FakeAppBundle bundle;
  std::unique_ptr<test::PrivateSession> session;
  sysext::LinuxPaths paths;
  std::shared_ptr<sysext::ExtensionManager> manager;
  std::unique_ptr<FakeSystemdManager> systemd;
  std::shared_ptr<SystemExtensionInstaller> installer;
};

// ------------------------------------------------------------- user service

TEST_F(LinuxBackendTest, UserServicePublishesTheCameraAndRemoveTakesItAllAway) {
  startManager();
  makeInstaller();
  ASSERT_EQ(activate(false), Case::activated);
  EXPECT_EQ(copyFolders(), (std::vector<std::string>{"2.0_7.systemextension", "current"}));
  const std::string unit = readFile(paths.unitFolder / kUnit);
  const std::string program = (copies() / "current" / "tovrelle-camera-extension").string();
  EXPECT_NE(unit.find("\nExecStart=\"" + program + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nEnvironment=\"TOVRELLE_DATA_DIR=" + paths.dataFolder.string() + "\"\n"), std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nRestartPreventExitStatus=3\n"), std::string::npos);
  // It starts at login only while the app that installed it is there.
  EXPECT_NE(unit.find("\nConditionPathExists=" + bundle.extension().string() + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\n[Install]\nWantedBy=default.target\n"), std::string::npos);
  EXPECT_EQ(systemd->calls(), (std::vector<std::string>{"Reload", std::string("EnableUnitFiles ") + kUnit,
                                                        std::string("RestartUnit ") + kUnit + " replace"}));
  // Installed means: the installed copy publishes the camera other apps see.
  auto nodes = cameras();
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].pid, systemd->mainPid());
  EXPECT_EQ(nodes[0].binary, fs::canonical(program).string());

  // The next launch finds it and does not install again.
  installer = nullptr;
  makeInstaller();
  EXPECT_EQ(activate(false), Case::activated);
  EXPECT_EQ(logs.count("extension already installed and enabled; skipping activation"), 1);

  // The service dies: the unit is still enabled, but nothing is published.
  ::kill(systemd->mainPid(), SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return cameras().empty(); }));
  EXPECT_EQ(refresh(), Case::idle);
  ASSERT_EQ(activate(true), Case::activated);

  // Half removed (unit gone, copy and process left): removing still cleans up.
  fs::remove(paths.unitFolder / kUnit);
  EXPECT_EQ(remove(), Case::idle);
  EXPECT_FALSE(fs::exists(copies()));
  EXPECT_TRUE(servicePids().empty());
  ASSERT_EQ(activate(false), Case::activated);

  systemd->clearCalls();
  EXPECT_EQ(remove(), Case::idle);
  EXPECT_EQ(systemd->calls(), (std::vector<std::string>{std::string("StopUnit ") + kUnit + " replace",
                                                        std::string("DisableUnitFiles ") + kUnit, "Reload"}));
  EXPECT_FALSE(fs::exists(paths.unitFolder / kUnit));
  EXPECT_FALSE(fs::exists(copies()));
  EXPECT_TRUE(cameras().empty());
  EXPECT_TRUE(fs::is_directory(paths.dataFolder)) << "the user's data stays";
  EXPECT_EQ(refresh(), Case::idle);
}

TEST_F(LinuxBackendTest, AnotherVersionIsReplacedAfterTheReplacementQuestion) {
  startManager();
  makeInstaller();
  ASSERT_EQ(activate(false), Case::activated);
  writeEmbedded("2.1", "8");
  ASSERT_EQ(activate(false), Case::activated);
  EXPECT_EQ(logs.count("replacing extension 2.0/7 with 2.1/8"), 1);
  EXPECT_EQ(copyFolders(), (std::vector<std::string>{"2.1_8.systemextension", "current"}));
  auto nodes = cameras();
  ASSERT_EQ(nodes.size(), 1u) << "the old copy stopped";
  EXPECT_EQ(nodes[0].binary, fs::canonical(copies() / "2.1_8.systemextension/tovrelle-camera-extension").string());

  // Declined, the installed copy stays.
  writeEmbedded("3.0", "9");
  auto delegate = std::make_shared<DecliningDelegate>();
  auto r = manager->activationRequest(SystemExtensionInstaller::kExtensionIdentifier, std::make_shared<dispatch::QtMainQueue>());
  r->setDelegate(delegate);
  manager->submitRequest(r);
  ASSERT_TRUE(waitUntil([&] { return delegate->result || delegate->error; }));
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code, sysext::kErrorRequestCanceled);
  EXPECT_EQ(fs::read_symlink(copies() / "current"), "2.1_8.systemextension");
}

TEST_F(LinuxBackendTest, RefusingOrVanishingManagerFailsAndInstallsNothing) {
  startManager();
  systemd->setBehaviour("RestartUnit", FakeSystemdManager::Behaviour::refuse);
  makeInstaller();
  ASSERT_EQ(activate(true), Case::failed);
  EXPECT_TRUE(shownStartsWith("extensionError.needsApproval | tovrelle.camera-service #10: the service manager refused"))
      << shown();
  EXPECT_FALSE(installer->status().failure->opensSecuritySettings) << "there is no settings page to open";
  EXPECT_TRUE(copyFolders().empty()) << "the new copy is removed again";

  systemd->setBehaviour("RestartUnit", FakeSystemdManager::Behaviour::answer);
  systemd->setBehaviour("EnableUnitFiles", FakeSystemdManager::Behaviour::vanish);
  ASSERT_EQ(activate(true), Case::failed);
  EXPECT_TRUE(shownStartsWith("extensionError.unknown | tovrelle.camera-service #1: the service manager went away "
                              "when asked to enable "))
      << shown();
  EXPECT_FALSE(systemd->connected());
  EXPECT_TRUE(copyFolders().empty());
}

TEST_F(LinuxBackendTest, AServiceThatPublishesNothingFailsAndSaysWhy) {
  startManager();
  paths.cameraWait = 2s;
  manager = sysext::makeLinuxExtensionManager(paths);
  makeInstaller();
  writeEmbedded("2.0", "7", "exec sleep 30");
  ASSERT_EQ(activate(true), Case::failed);
  EXPECT_EQ(shown(), "extensionError.noCamera | tovrelle.camera-service #14: the camera service runs but published no "
                     "camera within 2 s");
  EXPECT_TRUE(logs.contains("last journal lines of velkari.tovrelle.cameraextension.service"));
}

// --------------------------------------------- without a systemd user manager

TEST_F(LinuxBackendTest, WithoutAManagerTheServiceStartsAtOnceAndAtEveryLogin) {
  makeInstaller();
  ASSERT_EQ(activate(false), Case::activated);
  EXPECT_FALSE(fs::exists(paths.unitFolder / kUnit));
  const std::string entry = readFile(paths.autostartFolder / "velkari.tovrelle.cameraextension.desktop");
  const std::string program = (copies() / "current" / "tovrelle-camera-extension").string();
  EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\n", 0), 0u) << entry;
  EXPECT_NE(entry.find("\nExec=env \"TOVRELLE_DATA_DIR=" + paths.dataFolder.string() + "\" \"TOVRELLE_APP=" +
                       (bundle.extension() / "tovrelle-camera-extension").string() + "\" \"" + program + "\"\n"),
            std::string::npos)
      << entry;
  EXPECT_NE(entry.find("\nTryExec=" + (bundle.extension() / "tovrelle-camera-extension").string() + "\n"),
            std::string::npos)
      << entry;
  // Started detached, in a session of its own, reading the app's data folder.
  auto nodes = cameras();
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(::getsid(nodes[0].pid), nodes[0].pid);
  EXPECT_NE(readFile("/proc/" + std::to_string(nodes[0].pid) + "/environ").find("TOVRELLE_DATA_DIR=" +
                                                                                 paths.dataFolder.string()),
            std::string::npos);
  EXPECT_TRUE(waitUntil([&] { return readFile(paths.stateFolder / "camera-service.log").find("data folder") != std::string::npos; }));

  // PipeWire gone: nobody can use the camera.
  session->stopPipeWire();
  EXPECT_EQ(refresh(), Case::idle);
  EXPECT_TRUE(logs.contains("LinuxSystemExtensions: cannot see the camera: PipeWire is not running"));
  session->startPipeWire();

  EXPECT_EQ(remove(), Case::idle);
  EXPECT_FALSE(fs::exists(paths.autostartFolder / "velkari.tovrelle.cameraextension.desktop"));
  EXPECT_FALSE(fs::exists(copies()));
  EXPECT_TRUE(servicePids().empty());
}

// ------------------------------------------------- the app's package removed

// The package goes (as `apt remove` takes the app's files) while the installed
// copy of the service runs: its camera leaves the graph and nothing restarts it.
TEST_F(LinuxBackendTest, TheUserServiceEndsOnceTheAppIsRemoved) {
  startManager();
  makeInstaller();
  ASSERT_EQ(activate(false), Case::activated);
  const std::string program = (bundle.extension() / "tovrelle-camera-extension").string();
  EXPECT_NE(readFile(paths.unitFolder / kUnit).find("\nEnvironment=\"TOVRELLE_APP=" + program + "\"\n"),
            std::string::npos);
  ASSERT_EQ(cameras().size(), 1u);
  const pid_t service = systemd->mainPid();

  fs::remove_all(bundle.root() / "lib");
  EXPECT_TRUE(waitUntil([&] { return cameras().empty() && servicePids().empty(); }));
  int status = -1;
  ASSERT_EQ(::waitpid(service, &status, 0), service);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a clean end, which systemd does not restart";
}

TEST_F(LinuxBackendTest, TheAutostartedServiceEndsOnceTheAppIsRemoved) {
  makeInstaller();
  ASSERT_EQ(activate(false), Case::activated);
  const std::string program = (bundle.extension() / "tovrelle-camera-extension").string();
  const std::string entry = readFile(paths.autostartFolder / "velkari.tovrelle.cameraextension.desktop");
  EXPECT_NE(entry.find(" \"TOVRELLE_APP=" + program + "\" "), std::string::npos) << entry;
  ASSERT_EQ(cameras().size(), 1u);

  fs::remove_all(bundle.root() / "lib");
  EXPECT_TRUE(waitUntil([&] { return cameras().empty() && servicePids().empty(); }));
  EXPECT_NE(readFile(paths.stateFolder / "camera-service.log")
                .find("the Tovrelle app is no longer installed (" + program + " is gone); stopping"),
            std::string::npos);
}

TEST_F(LinuxBackendTest, AServiceThatCrashesAtStartFailsWithItsExitStatus) {
  paths.stateFolder = session->runtimeDir() / "not-a-folder";  // the log cannot be written
  std::ofstream(paths.stateFolder) << "x";
  manager = sysext::makeLinuxExtensionManager(paths);
  makeInstaller();
  writeEmbedded("2.0", "7", "exit 1");
  ASSERT_EQ(activate(true), Case::failed);
  EXPECT_EQ(shown(), "extensionError.noCamera | tovrelle.camera-service #14: the camera service exited with status 1 "
                     "before its camera appeared");
  EXPECT_TRUE(logs.contains("cannot write the camera service log"));

  // Fixed, it installs over the failed copy.
  writeEmbedded("2.0", "7");
  EXPECT_EQ(activate(true), Case::activated);
}

TEST_F(LinuxBackendTest, OneCameraOnly) {
  // A camera published by another program: a second service leaves at once
  // with its own status, and installing says who holds the name.
  auto first = session->spawn({(test::binaryDir() / "tovrelle-camera-extension").string()}, {}, "first");
  ASSERT_TRUE(waitUntil([&] { return cameras().size() == 1; }));
  auto second = session->spawn({(test::binaryDir() / "tovrelle-camera-extension").string()}, {}, "second");
  const int status = second->wait(20s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  EXPECT_TRUE(second->log().find("already published by process " + std::to_string(first->pid())) != std::string::npos)
      << second->log();
  EXPECT_EQ(cameras().size(), 1u);

  makeInstaller();
  ASSERT_EQ(activate(true), Case::failed);
  EXPECT_TRUE(shownStartsWith("extensionError.cameraTaken | ")) << shown();
  EXPECT_NE(shown().find(std::to_string(first->pid())), std::string::npos) << shown();
}

// ---------------------------------------------------------------- bad input

TEST_F(LinuxBackendTest, BrokenEmbeddedBundlesFailWithoutInstallingAnything) {
  startManager();
  makeInstaller();
  // Each damage and the start of what it shows: the code, then the real cause.
  const std::string reinstall = "extensionError.reinstall | tovrelle.camera-service #9: ";
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { fs::remove_all(bundle.extension()); }, "extensionError.buildProblem | tovrelle.camera-service #4: "},
      {[&] { bundle.writeInfo("\x01\x02 not json"); }, reinstall},
      {[&] { bundle.writeInfo("{\"CFBundleVersion\": \"7\", \"pad\": \"" + std::string(70 * 1024, 'x') + "\"}"); },
       reinstall + (bundle.extension() / "Info.json").string() + " is too large"},
      {[&] { bundle.writeVersion("2.0/../../x", "7"); }, reinstall},
      {[&] { bundle.writeVersion("2.0", "7\nExecStart=/bin/false"); }, reinstall},
      {[&] { fs::remove(bundle.extension() / "tovrelle-camera-extension"); }, reinstall},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& [damage, expected] = cases[i];
    fs::remove_all(bundle.extension());
    writeEmbedded("2.0", "7");
    damage();
    ASSERT_EQ(activate(true), Case::failed);
    EXPECT_TRUE(shownStartsWith(expected)) << shown();
    EXPECT_TRUE(copyFolders().empty());
    EXPECT_TRUE(systemd->calls().empty());
  }
}

TEST_F(LinuxBackendTest, UnwritableFoldersFailWithTheirReason) {
  startManager();
  const fs::path blocker = session->runtimeDir() / "not-a-folder";
  std::ofstream(blocker) << "x";
  paths.unitFolder = blocker / "systemd" / "user";
  manager = sysext::makeLinuxExtensionManager(paths);
  makeInstaller();
  ASSERT_EQ(activate(true), Case::failed);
  // The reason names the folder and what is wrong with it.
  EXPECT_NE(shown().find("cannot write " + paths.unitFolder.string()), std::string::npos) << shown();
  EXPECT_NE(shown().find("Not a directory"), std::string::npos) << shown();
  EXPECT_TRUE(copyFolders().empty()) << "rolled back";

  paths.installRoot = blocker / "tovrelle" / "SystemExtensions";
  manager = sysext::makeLinuxExtensionManager(paths);
  makeInstaller();
  ASSERT_EQ(activate(true), Case::failed);
  EXPECT_NE(shown().find(" | tovrelle.camera-service #1: cannot use the install folder "), std::string::npos) << shown();
  EXPECT_TRUE(systemd->calls().empty());
}

}  // namespace

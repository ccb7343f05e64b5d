// The camera service backend against real services: a private session bus
// (with a stand-in systemd user manager, or none), a private PipeWire with
// WirePlumber, the built camera service as the app's copy, files in a
// private folder, and the installer on the Qt main queue on top.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QCoreApplication>
#include <csignal>
#include <fstream>

#include "app/installer/CameraServiceInstaller.h"
#include "platform/camera/pipewire/CameraNodes.h"
#include "platform/dispatch/QtMainQueue.h"
#include "platform/userservice/SystemdCameraService.h"
#include "tests/userservice/FakeSystemdManager.h"
#include "tests/support/InstallerTestSupport.h"
#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Case = CameraServiceInstaller::Status::Case;
using test::FakeSystemdManager;
using test::readFile;

namespace {

constexpr const char* kUnit = "velkari.tovrelle.cameraextension.service";

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "userservice_systemd_tests";
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

class SystemdCameraServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    session = std::make_unique<test::PrivateSession>();
    // A space in the data folder checks the quoting of the service files.
    auto resolved = userservice::ServicePaths::fromEnvironment(prefix.root());
    ASSERT_TRUE(resolved) << resolved.error();
    paths = *resolved;
    paths.installRoot = session->makeFolder("data home") / "tovrelle" / "SystemExtensions";
    paths.unitFolder = session->runtimeDir() / "config" / "systemd" / "user";
    paths.autostartFolder = session->runtimeDir() / "config" / "autostart";
    paths.stateFolder = session->runtimeDir() / "state" / "tovrelle";
    paths.dataFolder = session->makeFolder("the data");
    paths.cameraWait = 8s;
    writeEmbedded("2.0", "7");
    service = userservice::makeSystemdCameraService(paths, std::make_shared<dispatch::QtMainQueue>());
  }

  void TearDown() override {
    installer.reset();
    systemd.reset();
    // What the backend started on its own ends with the test.
    for (auto& pid : servicePids()) ::kill(pid, SIGKILL);
    service.reset();
    session.reset();
  }

  // The app's copy of the service: an info file and the built program, or a
  // shell script standing in for a broken one.
  void writeEmbedded(const std::string& shortVersion, const std::string& version, const std::string& script = {}) {
    prefix.writeVersion(shortVersion, version);
    const fs::path program = prefix.service() / "tovrelle-camera-extension";
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
    installer = CameraServiceInstaller::create({service, std::make_shared<dispatch::QtMainQueue>(), prefix.root(),
                                                [](const char* key) { return QString(key); }});
  }

  // What a failed installer shows: "<message key> | <diagnostic>".
  std::string shown() const {
    const auto& f = installer->status().failure;
    return f ? f->messageKey + " | " + f->diagnostic.toStdString() : "no failure";
  }
  bool shownStartsWith(const std::string& prefix) const { return shown().rfind(prefix, 0) == 0; }

  // Runs the installer until it leaves `starting`.
  Case install(bool force) {
    installer->install(force);
    EXPECT_TRUE(waitUntil([&] { return !installer->status().is(Case::starting); }));
    return installer->status().kind;
  }
  Case refresh() {
    bool answered = false;
    installer->lookNow([&](bool) { answered = true; });
    EXPECT_TRUE(waitUntil([&] { return answered; }));
    return installer->status().kind;
  }

  Case remove() {
    bool finished = false;
    installer->remove([&](bool) { finished = true; });
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
  test::FakeAppPrefix prefix;
  std::unique_ptr<test::PrivateSession> session;
  userservice::ServicePaths paths;
  std::shared_ptr<userservice::CameraService> service;
  std::unique_ptr<FakeSystemdManager> systemd;
  std::shared_ptr<CameraServiceInstaller> installer;
};

// ------------------------------------------------------------- user service

TEST_F(SystemdCameraServiceTest, UserServicePublishesTheCameraAndRemoveTakesItAllAway) {
  startManager();
  makeInstaller();
  ASSERT_EQ(install(false), Case::running);
  EXPECT_EQ(copyFolders(), (std::vector<std::string>{"2.0_7.systemextension", "current"}));
  const std::string unit = readFile(paths.unitFolder / kUnit);
  const std::string program = (copies() / "current" / "tovrelle-camera-extension").string();
  EXPECT_NE(unit.find("\nExecStart=\"" + program + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nEnvironment=\"TOVRELLE_DATA_DIR=" + paths.dataFolder.string() + "\"\n"), std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nRestartPreventExitStatus=3\n"), std::string::npos);
  // It starts at login only while the app that installed it is there.
  EXPECT_NE(unit.find("\nConditionPathExists=" + prefix.service().string() + "\n"), std::string::npos) << unit;
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
  systemd->clearCalls();
  EXPECT_EQ(install(false), Case::running);
  EXPECT_EQ(systemd->calls(), (std::vector<std::string>{std::string("GetUnitFileState ") + kUnit})) << "it only looked";

  // The service dies: the unit is still enabled, but nothing is published.
  ::kill(systemd->mainPid(), SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return cameras().empty(); }));
  EXPECT_EQ(refresh(), Case::notInstalled);
  ASSERT_EQ(install(true), Case::running);

  // Half removed (unit gone, copy and process left): removing still cleans up.
  fs::remove(paths.unitFolder / kUnit);
  EXPECT_EQ(remove(), Case::notInstalled);
  EXPECT_FALSE(fs::exists(copies()));
  EXPECT_TRUE(servicePids().empty());
  ASSERT_EQ(install(false), Case::running);

  systemd->clearCalls();
  EXPECT_EQ(remove(), Case::notInstalled);
  EXPECT_EQ(systemd->calls(), (std::vector<std::string>{std::string("StopUnit ") + kUnit + " replace",
                                                        std::string("DisableUnitFiles ") + kUnit, "Reload"}));
  EXPECT_FALSE(fs::exists(paths.unitFolder / kUnit));
  EXPECT_FALSE(fs::exists(copies()));
  EXPECT_TRUE(cameras().empty());
  EXPECT_TRUE(fs::is_directory(paths.dataFolder)) << "the user's data stays";
  EXPECT_EQ(refresh(), Case::notInstalled);
}

TEST_F(SystemdCameraServiceTest, AnotherVersionIsReplaced) {
  startManager();
  makeInstaller();
  ASSERT_EQ(install(false), Case::running);
  writeEmbedded("2.1", "8");
  ASSERT_EQ(install(false), Case::running);
  EXPECT_EQ(copyFolders(), (std::vector<std::string>{"2.1_8.systemextension", "current"}));
  auto nodes = cameras();
  ASSERT_EQ(nodes.size(), 1u) << "the old copy stopped";
  EXPECT_EQ(nodes[0].binary, fs::canonical(copies() / "2.1_8.systemextension/tovrelle-camera-extension").string());
}

TEST_F(SystemdCameraServiceTest, RefusingOrVanishingManagerFailsAndInstallsNothing) {
  startManager();
  systemd->setBehaviour("RestartUnit", FakeSystemdManager::Behaviour::refuse);
  makeInstaller();
  ASSERT_EQ(install(true), Case::failed);
  EXPECT_TRUE(shownStartsWith("serviceError.needsApproval | tovrelle.camera-service #10: the service manager refused"))
      << shown();
  EXPECT_TRUE(copyFolders().empty()) << "the new copy is removed again";

  systemd->setBehaviour("RestartUnit", FakeSystemdManager::Behaviour::answer);
  systemd->setBehaviour("EnableUnitFiles", FakeSystemdManager::Behaviour::vanish);
  ASSERT_EQ(install(true), Case::failed);
  EXPECT_TRUE(
      shownStartsWith("serviceError.unknown | tovrelle.camera-service #1: the service manager went away "
                      "when asked to enable "))
      << shown();
  EXPECT_FALSE(systemd->connected());
  EXPECT_TRUE(copyFolders().empty());
}

TEST_F(SystemdCameraServiceTest, AServiceThatPublishesNothingFailsAndSaysWhy) {
  startManager();
  paths.cameraWait = 2s;
  service = userservice::makeSystemdCameraService(paths, std::make_shared<dispatch::QtMainQueue>());
  makeInstaller();
  writeEmbedded("2.0", "7", "exec sleep 30");
  ASSERT_EQ(install(true), Case::failed);
  EXPECT_EQ(shown(),
            "serviceError.noCamera | tovrelle.camera-service #14: the camera service runs but published no "
            "camera within 2 s");
  EXPECT_TRUE(logs.contains("last journal lines of velkari.tovrelle.cameraextension.service"));
}

// --------------------------------------------- without a systemd user manager

TEST_F(SystemdCameraServiceTest, WithoutAManagerTheServiceStartsAtOnceAndAtEveryLogin) {
  makeInstaller();
  // The app's own setting for its log goes; the service logs as a session's would.
  const char* noJournal = std::getenv("TOVRELLE_NO_JOURNAL");
  const std::string savedNoJournal = noJournal ? noJournal : "";
  ::setenv("TOVRELLE_NO_JOURNAL", "1", 1);
  const auto installed = install(false);
  if (noJournal)
    ::setenv("TOVRELLE_NO_JOURNAL", savedNoJournal.c_str(), 1);
  else
    ::unsetenv("TOVRELLE_NO_JOURNAL");
  ASSERT_EQ(installed, Case::running);
  EXPECT_FALSE(fs::exists(paths.unitFolder / kUnit));
  const std::string entry = readFile(paths.autostartFolder / "velkari.tovrelle.cameraextension.desktop");
  const std::string program = (copies() / "current" / "tovrelle-camera-extension").string();
  EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\n", 0), 0u) << entry;
  EXPECT_NE(entry.find("\nExec=env \"TOVRELLE_DATA_DIR=" + paths.dataFolder.string() + "\" \"TOVRELLE_APP=" +
                       (prefix.service() / "tovrelle-camera-extension").string() + "\" \"" + program + "\"\n"),
            std::string::npos)
      << entry;
  EXPECT_NE(entry.find("\nTryExec=" + (prefix.service() / "tovrelle-camera-extension").string() + "\n"),
            std::string::npos)
      << entry;
  // Started detached, in a session of its own, reading the app's data folder.
  auto nodes = cameras();
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(::getsid(nodes[0].pid), nodes[0].pid);
  const std::string environment = readFile("/proc/" + std::to_string(nodes[0].pid) + "/environ");
  EXPECT_NE(environment.find(std::string("\0TOVRELLE_DATA_DIR=", 19) + paths.dataFolder.string() + '\0'),
            std::string::npos);
  EXPECT_NE(environment.find(std::string("\0TOVRELLE_APP=", 14) +
                             (prefix.service() / "tovrelle-camera-extension").string() + '\0'),
            std::string::npos);
  EXPECT_EQ(environment.find("TOVRELLE_NO_JOURNAL="), std::string::npos);
  EXPECT_TRUE(waitUntil(
      [&] { return readFile(paths.stateFolder / "camera-service.log").find("data folder") != std::string::npos; }));

  // PipeWire gone: nobody can use the camera.
  session->stopPipeWire();
  EXPECT_EQ(refresh(), Case::notInstalled);
  EXPECT_TRUE(logs.contains("SystemdCameraService: cannot see the camera: PipeWire is not running"));
  session->startPipeWire();

  EXPECT_EQ(remove(), Case::notInstalled);
  EXPECT_FALSE(fs::exists(paths.autostartFolder / "velkari.tovrelle.cameraextension.desktop"));
  EXPECT_FALSE(fs::exists(copies()));
  EXPECT_TRUE(servicePids().empty());
}

// ------------------------------------------------- the app's package removed

// The package goes (as `apt remove` takes the app's files) while the installed
// copy of the service runs: its camera leaves the graph and nothing restarts it.
TEST_F(SystemdCameraServiceTest, TheUserServiceEndsOnceTheAppIsRemoved) {
  startManager();
  makeInstaller();
  ASSERT_EQ(install(false), Case::running);
  const std::string program = (prefix.service() / "tovrelle-camera-extension").string();
  EXPECT_NE(readFile(paths.unitFolder / kUnit).find("\nEnvironment=\"TOVRELLE_APP=" + program + "\"\n"),
            std::string::npos);
  ASSERT_EQ(cameras().size(), 1u);
  const pid_t service = systemd->mainPid();

  fs::remove_all(prefix.root() / "lib");
  EXPECT_TRUE(waitUntil([&] { return cameras().empty() && servicePids().empty(); }));
  int status = -1;
  ASSERT_EQ(::waitpid(service, &status, 0), service);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a clean end, which systemd does not restart";
}

TEST_F(SystemdCameraServiceTest, TheAutostartedServiceEndsOnceTheAppIsRemoved) {
  makeInstaller();
  ASSERT_EQ(install(false), Case::running);
  const std::string program = (prefix.service() / "tovrelle-camera-extension").string();
  const std::string entry = readFile(paths.autostartFolder / "velkari.tovrelle.cameraextension.desktop");
  EXPECT_NE(entry.find(" \"TOVRELLE_APP=" + program + "\" "), std::string::npos) << entry;
  ASSERT_EQ(cameras().size(), 1u);

  fs::remove_all(prefix.root() / "lib");
  EXPECT_TRUE(waitUntil([&] { return cameras().empty() && servicePids().empty(); }));
  EXPECT_NE(readFile(paths.stateFolder / "camera-service.log")
                .find("the Tovrelle app is no longer installed (" + program + " is gone); stopping"),
            std::string::npos);
}

TEST_F(SystemdCameraServiceTest, AServiceThatCrashesAtStartFailsWithItsExitStatus) {
  paths.stateFolder = session->runtimeDir() / "not-a-folder";  // the log cannot be written
  std::ofstream(paths.stateFolder) << "x";
  service = userservice::makeSystemdCameraService(paths, std::make_shared<dispatch::QtMainQueue>());
  makeInstaller();
  writeEmbedded("2.0", "7", "exit 1");
  ASSERT_EQ(install(true), Case::failed);
  EXPECT_EQ(shown(),
            "serviceError.noCamera | tovrelle.camera-service #14: the camera service exited with status 1 "
            "before its camera appeared");
  EXPECT_TRUE(logs.contains("cannot write the camera service log"));

  // Fixed, it installs over the failed copy.
  writeEmbedded("2.0", "7");
  EXPECT_EQ(install(true), Case::running);
}

TEST_F(SystemdCameraServiceTest, OneCameraOnly) {
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
  ASSERT_EQ(install(true), Case::failed);
  EXPECT_TRUE(shownStartsWith("serviceError.cameraTaken | ")) << shown();
  EXPECT_NE(shown().find(std::to_string(first->pid())), std::string::npos) << shown();
}

// ---------------------------------------------------------------- bad input

TEST_F(SystemdCameraServiceTest, ABrokenCopyInTheAppFailsWithoutInstallingAnything) {
  startManager();
  makeInstaller();
  // Each damage and the start of what it shows: the code, then the real cause.
  const std::string reinstall = "serviceError.reinstall | tovrelle.camera-service #9: ";
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { fs::remove_all(prefix.service()); }, "serviceError.buildProblem | tovrelle.camera-service #4: "},
      {[&] { prefix.writeInfo("\x01\x02 not json"); }, reinstall},
      {[&] { prefix.writeInfo("{\"CFBundleVersion\": \"7\", \"pad\": \"" + std::string(70 * 1024, 'x') + "\"}"); },
       reinstall + (prefix.service() / "Info.json").string() + " is too large"},
      {[&] { prefix.writeVersion("2.0/../../x", "7"); }, reinstall},
      {[&] { prefix.writeVersion("2.0", "7\nExecStart=/bin/false"); }, reinstall},
      {[&] { fs::remove(prefix.service() / "tovrelle-camera-extension"); }, reinstall},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& [damage, expected] = cases[i];
    fs::remove_all(prefix.service());
    writeEmbedded("2.0", "7");
    damage();
    ASSERT_EQ(install(true), Case::failed);
    EXPECT_TRUE(shownStartsWith(expected)) << shown();
    EXPECT_TRUE(copyFolders().empty());
    EXPECT_TRUE(systemd->calls().empty());
  }
}

TEST_F(SystemdCameraServiceTest, UnwritableFoldersFailWithTheirReason) {
  startManager();
  const fs::path blocker = session->runtimeDir() / "not-a-folder";
  std::ofstream(blocker) << "x";
  paths.unitFolder = blocker / "systemd" / "user";
  service = userservice::makeSystemdCameraService(paths, std::make_shared<dispatch::QtMainQueue>());
  makeInstaller();
  ASSERT_EQ(install(true), Case::failed);
  // The reason names the folder and what is wrong with it.
  EXPECT_NE(shown().find("cannot write " + paths.unitFolder.string()), std::string::npos) << shown();
  EXPECT_NE(shown().find("Not a directory"), std::string::npos) << shown();
  EXPECT_TRUE(copyFolders().empty()) << "rolled back";

  paths.installRoot = blocker / "tovrelle" / "SystemExtensions";
  service = userservice::makeSystemdCameraService(paths, std::make_shared<dispatch::QtMainQueue>());
  makeInstaller();
  ASSERT_EQ(install(true), Case::failed);
  EXPECT_NE(shown().find(" | tovrelle.camera-service #1: cannot use the install folder "), std::string::npos)
      << shown();
  EXPECT_TRUE(systemd->calls().empty());
}

}  // namespace

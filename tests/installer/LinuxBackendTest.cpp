// The Linux system-extension backend against a real bus: a private session
// bus with a stand-in systemd user manager, files in a private folder, and
// the installer on the Qt main queue on top.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "app/installer/SystemExtensionInstaller.h"
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
bool waitUntil(Predicate done, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    app().processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Records what a request reports.
struct RecordingDelegate : sysext::RequestDelegate {
  std::vector<sysext::ExtensionProperties> found;
  std::optional<int> result;
  std::optional<sysext::Error> error;
  sysext::ReplacementAction answer = sysext::ReplacementAction::replace;
  int replacementQuestions = 0;

  sysext::ReplacementAction actionForReplacingExtension(sysext::Request&, const sysext::ExtensionProperties&,
                                                        const sysext::ExtensionProperties&) override {
    ++replacementQuestions;
    return answer;
  }
  void requestNeedsUserApproval(sysext::Request&) override {}
  void requestDidFinishWithResult(sysext::Request&, int r) override { result = r; }
  void requestDidFailWithError(sysext::Request&, const sysext::Error& e) override { error = e; }
  void requestFoundProperties(sysext::Request&, const std::vector<sysext::ExtensionProperties>& p) override {
    found = p;
  }
  bool done() const { return result || error; }
};

class LinuxBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    session = std::make_unique<test::PrivateSession>(test::SessionOptions{false, false, false});
    // A space in the data folder checks the quoting of the service files.
    paths = sysext::LinuxPaths::fromEnvironment(bundle.root());
    paths.installRoot = session->makeFolder("data home") / "tovrelle" / "SystemExtensions";
    paths.unitFolder = session->runtimeDir() / "config" / "systemd" / "user";
    paths.autostartFolder = session->runtimeDir() / "config" / "autostart";
    writeEmbedded("2.0", "7");
    manager = sysext::makeLinuxExtensionManager(paths);
  }

  void TearDown() override {
    installer.reset();
    systemd.reset();
    manager.reset();
    session.reset();
  }

  // The embedded bundle: an info file and a real program (a copy of sleep, so
  // a running copy can be told apart by its executable).
  void writeEmbedded(const std::string& shortVersion, const std::string& version) {
    bundle.writeVersion(shortVersion, version);
    fs::copy_file("/bin/sleep", bundle.extension() / "tovrelle-camera-extension",
                  fs::copy_options::overwrite_existing);
  }

  void startManager() { systemd = std::make_unique<FakeSystemdManager>(); }

  void makeInstaller() {
    installer = SystemExtensionInstaller::create(
        {manager, dispatch::QtMainQueue::shared(), bundle.root(), [](const char* key) { return QString(key); }});
  }

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

  std::shared_ptr<RecordingDelegate> request(sysext::Request::Kind kind) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto r = kind == sysext::Request::Kind::activation
                 ? manager->activationRequest(SystemExtensionInstaller::kExtensionIdentifier, dispatch::QtMainQueue::shared())
                 : manager->propertiesRequest(SystemExtensionInstaller::kExtensionIdentifier, dispatch::QtMainQueue::shared());
    r->setDelegate(delegate);
    manager->submitRequest(r);
    EXPECT_TRUE(waitUntil([&] { return delegate->done(); }));
    return delegate;
  }

  fs::path copies() const { return paths.installRoot / "velkari.tovrelle.cameraextension"; }
  std::vector<std::string> copyFolders() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(copies(), ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string current() const {
    std::error_code ec;
    return fs::read_symlink(copies() / "current", ec).string();
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

TEST_F(LinuxBackendTest, ActivationInstallsTheCopyAndTheServiceUnit) {
  startManager();
  makeInstaller();
  ASSERT_EQ(activate(false), Case::activated);

  EXPECT_EQ(copyFolders(), (std::vector<std::string>{"2.0_7.systemextension", "current"}));
  EXPECT_EQ(current(), "2.0_7.systemextension");
  const fs::path installed = copies() / "2.0_7.systemextension";
  EXPECT_EQ(readFile(installed / "Info.json"), readFile(bundle.extension() / "Info.json"));
  EXPECT_EQ(readFile(installed / "tovrelle-camera-extension"), readFile("/bin/sleep"));
  EXPECT_EQ(::access((installed / "tovrelle-camera-extension").c_str(), X_OK), 0);

  const std::string unit = readFile(paths.unitFolder / kUnit);
  const std::string program = (copies() / "current" / "tovrelle-camera-extension").string();
  EXPECT_NE(unit.find("\nExecStart=\"" + program + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nConditionPathExists=" + program + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos);
  EXPECT_NE(unit.find("\n[Install]\nWantedBy=default.target\n"), std::string::npos);

  EXPECT_EQ(systemd->calls(), (std::vector<std::string>{"Reload", std::string("EnableUnitFiles ") + kUnit,
                                                        std::string("RestartUnit ") + kUnit + " replace"}));
  EXPECT_FALSE(fs::exists(paths.autostartFolder / "velkari.tovrelle.cameraextension.desktop"));

  // The display probe asks the manager for the unit's state and agrees.
  systemd->clearCalls();
  EXPECT_EQ(refresh(), Case::activated);
  EXPECT_EQ(systemd->calls(), (std::vector<std::string>{std::string("GetUnitFileState ") + kUnit}));
  EXPECT_EQ(logs.count("probe found 1 installed copies; enabled: yes, current version: yes, awaiting approval: no"), 1);

  // The next launch finds it installed and does not activate again.
  systemd->clearCalls();
  installer = nullptr;
  makeInstaller();
  EXPECT_EQ(activate(false), Case::activated);
  EXPECT_EQ(logs.count("extension already installed and enabled; skipping activation"), 1);
  EXPECT_EQ(systemd->calls(), (std::vector<std::string>{std::string("GetUnitFileState ") + kUnit}));
}

TEST_F(LinuxBackendTest, AnotherVersionIsReplacedAfterTheReplacementQuestion) {
  startManager();
  makeInstaller();
  ASSERT_EQ(activate(false), Case::activated);
  writeEmbedded("2.1", "8");
  systemd->clearCalls();
  ASSERT_EQ(activate(false), Case::activated);
  EXPECT_EQ(logs.count("probe found 1 installed copies; enabled: yes, current version: no, awaiting approval: no"), 1);
  EXPECT_EQ(logs.count("replacing extension 2.0/7 with 2.1/8"), 1);
  EXPECT_EQ(copyFolders(), (std::vector<std::string>{"2.1_8.systemextension", "current"}));
  EXPECT_EQ(current(), "2.1_8.systemextension");
  EXPECT_EQ(systemd->calls().back(), std::string("RestartUnit ") + kUnit + " replace");

  // An older app bundle replaces a newer copy too.
  writeEmbedded("1.9", "3");
  ASSERT_EQ(activate(true), Case::activated);
  EXPECT_EQ(logs.count("replacing extension 2.1/8 with 1.9/3"), 1);
  EXPECT_EQ(current(), "1.9_3.systemextension");
}

TEST_F(LinuxBackendTest, DecliningTheReplacementKeepsTheInstalledCopy) {
  startManager();
  ASSERT_EQ(request(sysext::Request::Kind::activation)->result, sysext::kRequestCompleted);
  writeEmbedded("3.0", "9");
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->answer = sysext::ReplacementAction::cancel;
  auto r = manager->activationRequest(SystemExtensionInstaller::kExtensionIdentifier, dispatch::QtMainQueue::shared());
  r->setDelegate(delegate);
  manager->submitRequest(r);
  ASSERT_TRUE(waitUntil([&] { return delegate->done(); }));
  EXPECT_EQ(delegate->replacementQuestions, 1);
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code, sysext::kErrorRequestCanceled);
  EXPECT_EQ(current(), "2.0_7.systemextension");
  EXPECT_EQ(copyFolders(), (std::vector<std::string>{"2.0_7.systemextension", "current"}));
}

TEST_F(LinuxBackendTest, PropertiesRequestReportsEveryCopy) {
  startManager();
  EXPECT_TRUE(request(sysext::Request::Kind::properties)->found.empty()) << "nothing installed yet";
  ASSERT_EQ(request(sysext::Request::Kind::activation)->result, sysext::kRequestCompleted);
  // A copy left from an older install, one that could not be deleted, and a
  // folder that is no copy at all.
  for (auto [folder, shortVersion, version] : {std::tuple{"1.0_1.systemextension", "1.0", "1"},
                                               std::tuple{".removing-0.9_1.systemextension-1-0", "0.9", "1"}}) {
    fs::create_directories(copies() / folder);
    std::ofstream(copies() / folder / "Info.json") << test::FakeAppBundle::info(shortVersion, version);
  }
  fs::create_directories(copies() / "junk.systemextension");

  auto report = request(sysext::Request::Kind::properties);
  ASSERT_EQ(report->result, sysext::kRequestCompleted);
  ASSERT_EQ(report->found.size(), 3u);
  std::map<std::string, sysext::ExtensionProperties> byVersion;
  for (auto& p : report->found) {
    EXPECT_EQ(p.bundleIdentifier, "velkari.tovrelle.cameraextension");
    byVersion[p.bundleShortVersion + "/" + p.bundleVersion] = p;
  }
  EXPECT_TRUE(byVersion["2.0/7"].isEnabled);
  EXPECT_FALSE(byVersion["2.0/7"].isUninstalling);
  EXPECT_FALSE(byVersion["1.0/1"].isEnabled);
  EXPECT_TRUE(byVersion["0.9/1"].isUninstalling);
  EXPECT_FALSE(byVersion["0.9/1"].isEnabled);

  // A disabled unit means nothing is enabled.
  systemd->setUnitFileState(kUnit, "disabled");
  report = request(sysext::Request::Kind::properties);
  ASSERT_EQ(report->found.size(), 3u);
  for (auto& p : report->found) EXPECT_FALSE(p.isEnabled);
}

TEST_F(LinuxBackendTest, RefusingManagerFailsAndInstallsNothing) {
  startManager();
  systemd->setBehaviour("RestartUnit", FakeSystemdManager::Behaviour::refuse);
  makeInstaller();
  ASSERT_EQ(activate(true), Case::failed);
  const auto& failure = *installer->status().failure;
  EXPECT_EQ(failure.messageKey, "extensionError.needsApproval");
  EXPECT_EQ(failure.diagnostic, QStringLiteral("OSSystemExtensionErrorDomain #10"));
  EXPECT_TRUE(failure.opensSecuritySettings);
  EXPECT_TRUE(logs.contains("the service manager refused to start velkari.tovrelle.cameraextension.service "
                            "(org.freedesktop.systemd1.UnitMasked: Unit velkari.tovrelle.cameraextension.service "
                            "is masked.)"));
  EXPECT_TRUE(copyFolders().empty()) << "the new copy is removed again";
  EXPECT_EQ(refresh(), Case::failed);

  // With a working copy installed, a refused update keeps the old one running
  // and the failure visible.
  systemd->setBehaviour("RestartUnit", FakeSystemdManager::Behaviour::answer);
  ASSERT_EQ(activate(true), Case::activated);
  writeEmbedded("2.1", "8");
  systemd->setBehaviour("EnableUnitFiles", FakeSystemdManager::Behaviour::refuse);
  ASSERT_EQ(activate(true), Case::failed);
  EXPECT_EQ(current(), "2.0_7.systemextension");
  EXPECT_EQ(copyFolders(), (std::vector<std::string>{"2.0_7.systemextension", "current"}));
  EXPECT_EQ(refresh(), Case::failed) << "an older copy is enabled; the failed update stays visible";
}

TEST_F(LinuxBackendTest, ManagerLeavingTheBusMidRequestFails) {
  startManager();
  systemd->setBehaviour("EnableUnitFiles", FakeSystemdManager::Behaviour::vanish);
  makeInstaller();
  ASSERT_EQ(activate(true), Case::failed);
  const auto& failure = *installer->status().failure;
  EXPECT_EQ(failure.messageKey, "extensionError.unknown");
  EXPECT_TRUE(failure.diagnostic.startsWith(
      QStringLiteral("OSSystemExtensionErrorDomain #1: the service manager went away when asked to enable ")))
      << failure.diagnostic.toStdString();
  EXPECT_TRUE(failure.needsSupport);
  EXPECT_FALSE(systemd->connected());
  EXPECT_TRUE(copyFolders().empty());
}

// ------------------------------------------------------- autostart fallback

TEST_F(LinuxBackendTest, WithoutAManagerTheCopyStartsAtTheNextLogin) {
  makeInstaller();
  ASSERT_EQ(activate(false), Case::needsUserApproval);
  EXPECT_EQ(current(), "2.0_7.systemextension");
  EXPECT_FALSE(fs::exists(paths.unitFolder / kUnit));
  const std::string entry = readFile(paths.autostartFolder / "velkari.tovrelle.cameraextension.desktop");
  const std::string program = (copies() / "current" / "tovrelle-camera-extension").string();
  EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\n", 0), 0u) << entry;
  EXPECT_NE(entry.find("\nExec=\"" + program + "\"\n"), std::string::npos) << entry;
  EXPECT_TRUE(logs.contains("no org.freedesktop.systemd1 on the user bus"));

  // Installed but not running: still waiting for the login.
  EXPECT_EQ(refresh(), Case::needsUserApproval);
  EXPECT_EQ(logs.count("probe found 1 installed copies; enabled: no, current version: no, awaiting approval: yes"), 1);

  // Once the session runs it, it is enabled.
  auto extension = session->spawn({program, "30"});
  EXPECT_EQ(refresh(), Case::activated);
  extension->stop();
  EXPECT_EQ(refresh(), Case::needsUserApproval);
}

// ---------------------------------------------------------------- bad input

TEST_F(LinuxBackendTest, BrokenEmbeddedBundlesFailWithoutInstallingAnything) {
  startManager();
  makeInstaller();
  struct Case_ {
    const char* what;
    std::function<void()> damage;
    int code;
    const char* key;
  };
  const std::vector<Case_> cases = {
      {"no bundle", [&] { fs::remove_all(bundle.extension()); }, 4, "extensionError.buildProblem"},
      {"garbage info", [&] { bundle.writeInfo("\x01\x02 not json"); }, 9, "extensionError.reinstall"},
      {"info is a folder",
       [&] {
         fs::remove(bundle.extension() / "Info.json");
         fs::create_directories(bundle.extension() / "Info.json");
       },
       9, "extensionError.reinstall"},
      {"odd version text", [&] { bundle.writeVersion("2.0/../../x", "7"); }, 9, "extensionError.reinstall"},
      {"line break in version", [&] { bundle.writeVersion("2.0", "7\nExecStart=/bin/false"); }, 9,
       "extensionError.reinstall"},
      {"no executable", [&] { fs::remove(bundle.extension() / "tovrelle-camera-extension"); }, 9,
       "extensionError.reinstall"},
      {"other identifier",
       [&] {
         bundle.writeInfo("{\"CFBundleIdentifier\": \"someone.else\", \"CFBundleExecutable\": "
                          "\"tovrelle-camera-extension\", \"CFBundleShortVersionString\": \"1\", "
                          "\"CFBundleVersion\": \"1\"}");
       },
       4, "extensionError.buildProblem"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(bundle.extension());
    writeEmbedded("2.0", "7");
    c.damage();
    ASSERT_EQ(activate(true), Case::failed);
    EXPECT_EQ(installer->status().failure->messageKey, c.key);
    EXPECT_EQ(installer->status().failure->diagnostic.toStdString(),
              "OSSystemExtensionErrorDomain #" + std::to_string(c.code));
    EXPECT_TRUE(copyFolders().empty());
    EXPECT_TRUE(systemd->calls().empty());
  }
  // The log says what happened.
  EXPECT_TRUE(logs.contains("CFBundleShortVersionString holds characters a version may not contain"));
  EXPECT_TRUE(logs.contains("is missing or not executable"));
}

TEST_F(LinuxBackendTest, UnwritableInstallFolderFailsWithItsReason) {
  startManager();
  const fs::path blocker = session->runtimeDir() / "not-a-folder";
  std::ofstream(blocker) << "x";
  paths.installRoot = blocker / "tovrelle" / "SystemExtensions";
  manager = sysext::makeLinuxExtensionManager(paths);
  makeInstaller();
  ASSERT_EQ(activate(true), Case::failed);
  const auto& failure = *installer->status().failure;
  EXPECT_EQ(failure.messageKey, "extensionError.unknown");
  EXPECT_TRUE(failure.diagnostic.startsWith(QStringLiteral("OSSystemExtensionErrorDomain #1: cannot use the install folder ")))
      << failure.diagnostic.toStdString();
  EXPECT_TRUE(systemd->calls().empty());
}

TEST_F(LinuxBackendTest, UnwritableServiceFolderRollsBack) {
  startManager();
  const fs::path blocker = session->runtimeDir() / "config-file";
  std::ofstream(blocker) << "x";
  paths.unitFolder = blocker / "systemd" / "user";
  manager = sysext::makeLinuxExtensionManager(paths);
  makeInstaller();
  ASSERT_EQ(activate(true), Case::failed);
  EXPECT_EQ(installer->status().failure->messageKey, "extensionError.unknown");
  EXPECT_TRUE(installer->status().failure->diagnostic.contains(QStringLiteral("cannot write")));
  EXPECT_TRUE(copyFolders().empty());
  EXPECT_TRUE(systemd->calls().empty());
}

}  // namespace

#ifdef TOVRELLE_TEST_BUILD_TREE_BUNDLE
namespace {

// The build tree is laid out like an installed prefix; its staged extension
// installs as is.
TEST_F(LinuxBackendTest, TheBuiltExtensionBundleInstalls) {
  startManager();
  const fs::path buildTree = TOVRELLE_TEST_BUILD_TREE_BUNDLE;
  paths.appBundle = buildTree;
  manager = sysext::makeLinuxExtensionManager(paths);
  installer = SystemExtensionInstaller::create({manager, dispatch::QtMainQueue::shared(), buildTree, {}});
  const auto embedded = installer->embeddedExtensionVersion();
  ASSERT_TRUE(embedded) << installer->embeddedExtensionURL();
  ASSERT_EQ(activate(false), Case::activated);
  const std::string name = embedded->shortVersion + "_" + embedded->bundleVersion + ".systemextension";
  EXPECT_EQ(current(), name);
  EXPECT_EQ(readFile(copies() / name / "tovrelle-camera-extension"),
            readFile(test::binaryDir() / "tovrelle-camera-extension"));
}

}  // namespace
#endif

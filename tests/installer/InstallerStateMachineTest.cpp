// The installer's status machine on the fake extension machinery and a
// manual clock: what only a fake can stage (watchdog and deadline, silent
// probes, give-up, superseded and untracked callbacks). Installing and
// removing for real is the backend test's business.
#include <gtest/gtest.h>

#include "app/installer/SystemExtensionInstaller.h"
#include "tests/fakes/FakeSystemExtensions.h"
#include "tests/fakes/ManualDispatch.h"
#include "tests/installer/InstallerTestSupport.h"

using namespace tovrelle;
using namespace std::chrono_literals;
using test::FakeExtensionManager;
using Status = SystemExtensionInstaller::Status;
using Case = Status::Case;
using sysext::ExtensionProperties;
using Kind = sysext::Request::Kind;

namespace {

ExtensionProperties copy(const std::string& shortVersion, const std::string& version, bool enabled,
                         bool awaiting = false, bool uninstalling = false) {
  return ExtensionProperties{SystemExtensionInstaller::kExtensionIdentifier, version, shortVersion, enabled, awaiting,
                             uninstalling};
}
// The embedded extension of the fixture is 2.0 (7).
ExtensionProperties currentEnabled() { return copy("2.0", "7", true); }
ExtensionProperties olderEnabled() { return copy("1.4", "5", true); }

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle.writeVersion("2.0", "7");
    makeInstaller();
  }

  void makeInstaller() {
    installer = SystemExtensionInstaller::create({fake, mainQueue, bundle.root(),
                                                  [](const char* key) {
                                                    return QStringLiteral("text of ") + QString::fromUtf8(key);
                                                  },
                                                  [this] { return storedRemoval; },
                                                  [this](bool removed) { storedRemoval = removed; }});
    QObject::connect(installer.get(), &SystemExtensionInstaller::statusChanged, [this] {
      changes.push_back(installer->status());
    });
  }

  void run() { scheduler.drainAll(); }
  void advance(dispatch::Duration d) { scheduler.advance(d); }
  Case status() const { return installer->status().kind; }
  const SystemExtensionInstaller::Failure& failure() const { return *installer->status().failure; }

  // A display refresh, past its throttle, whose probe finds `found`.
  Case display(std::vector<ExtensionProperties> found) {
    advance(2s);
    fake->scriptNextProperties(FakeExtensionManager::answer(std::move(found)));
    installer->refreshStatusForDisplay();
    run();
    return status();
  }

  // Reaches `requesting` with an activation request that has not answered.
  std::shared_ptr<sysext::Request> pendingActivation() {
    installer->activate(true);
    run();
    EXPECT_EQ(status(), Case::requesting);
    return fake->lastActivation();
  }

  test::LogRecorder logs;
  test::ManualScheduler scheduler;
  std::shared_ptr<test::ManualQueue> mainQueue = scheduler.makeQueue("main");
  std::shared_ptr<FakeExtensionManager> fake = std::make_shared<FakeExtensionManager>();
  test::FakeAppBundle bundle;
  std::shared_ptr<SystemExtensionInstaller> installer;
  std::vector<Status> changes;
  bool storedRemoval = false;  // the settings file's word on a removal
};

// ---------------------------------------------------------------- activation

TEST_F(InstallerTest, NeedsApprovalCountsOnlyForTheCurrentActivation) {
  auto first = pendingActivation();
  fake->needsUserApproval(first);
  run();
  EXPECT_EQ(status(), Case::needsUserApproval);
  EXPECT_EQ(logs.count("Extension request needs user approval"), 1);

  // A second activation replaces the first; the first one's callbacks are untracked.
  installer->activate(true);
  auto second = fake->lastActivation();
  ASSERT_NE(first, second);
  logs.clear();
  fake->needsUserApproval(first);
  fake->foundProperties(first, {currentEnabled()});
  run();
  EXPECT_EQ(status(), Case::requesting);
  EXPECT_TRUE(logs.installerLines().empty()) << "needs-approval and properties of untracked requests are silent";

  fake->finish(first, 0);
  fake->fail(first, sysext::kErrorRequestCanceled);
  run();
  EXPECT_EQ(status(), Case::requesting);
  EXPECT_EQ(logs.installerLines(),
            (std::vector<std::string>{"ignoring result 0 from an untracked request",
                                      "ignoring failure (tovrelle.camera-service #11) from an untracked request"}));

  fake->finish(second, 0);
  run();
  EXPECT_EQ(status(), Case::activated);
}

// ------------------------------------------------------- install probe first

TEST_F(InstallerTest, InstallProbeThatTimesOutOrFailsStillActivates) {
  installer->activate(false);  // the fake never answers this probe
  advance(19s);
  EXPECT_EQ(fake->activationCount(), 0u);
  advance(1s);
  EXPECT_EQ(logs.count("properties probe timed out after 20s", log::Level::Error), 1);
  EXPECT_EQ(fake->activationCount(), 1u);
  EXPECT_EQ(status(), Case::requesting) << "a timed-out install probe is not a failure";
  EXPECT_EQ(installer->consecutiveProbeFailures(), 0) << "install probes do not count toward giving up";

  fake->finish(fake->lastActivation(), 0);
  run();
  fake->scriptNextProperties({FakeExtensionManager::fail(sysext::kErrorUnknown)});
  installer->activate(false);
  run();
  EXPECT_EQ(logs.count("properties probe failed (tovrelle.camera-service #1)", log::Level::Error), 1);
  EXPECT_EQ(fake->activationCount(), 2u);
  EXPECT_EQ(status(), Case::requesting);
}

// ----------------------------------------------------- watchdog and deadline

TEST_F(InstallerTest, SilentActivationIsReconciledAfterTheDeadline) {
  pendingActivation();
  const auto start = scheduler.now();
  EXPECT_EQ(installer->requestingDeadline(), start + 90s);
  advance(85s);
  EXPECT_EQ(fake->propertiesCount(), 0u);
  advance(4s);
  EXPECT_EQ(fake->propertiesCount(), 0u) << "the deadline is checked every 5 s";
  fake->scriptNextProperties(FakeExtensionManager::answer({currentEnabled()}, 1s));
  advance(1s);
  EXPECT_EQ(logs.count("no request callback within 90s; reconciling status with the OS", log::Level::Error), 1);
  ASSERT_EQ(fake->propertiesCount(), 1u);
  EXPECT_EQ(installer->requestingDeadline(), start + 180s);
  advance(1s);
  EXPECT_EQ(status(), Case::activated);
  EXPECT_FALSE(installer->isWatchdogRunning());
  EXPECT_EQ(mainQueue->liveTimerCount(), 0u);
}

TEST_F(InstallerTest, ThreeUnansweredCountingProbesGiveUp) {
  pendingActivation();
  advance(90s);  // first counting probe
  advance(20s);
  EXPECT_EQ(status(), Case::requesting);
  advance(70s);  // deadline at 180 s: second probe
  ASSERT_EQ(fake->propertiesCount(), 2u);
  advance(20s);
  EXPECT_EQ(status(), Case::requesting);
  advance(69s);
  EXPECT_EQ(fake->propertiesCount(), 2u);
  advance(1s);  // 270 s: third
  ASSERT_EQ(fake->propertiesCount(), 3u);
  advance(20s);
  ASSERT_EQ(status(), Case::failed);
  EXPECT_EQ(failure().messageKey, "extensionError.canceled");
  EXPECT_EQ(failure().message, QStringLiteral("text of extensionError.canceled"));
  EXPECT_EQ(failure().diagnostic, QStringLiteral("properties probe unanswered x3"));
  EXPECT_FALSE(failure().opensSecuritySettings);
  EXPECT_FALSE(failure().needsSupport);
  EXPECT_EQ(installer->consecutiveProbeFailures(), 0);
  EXPECT_EQ(logs.count("giving up on .requesting after 3 consecutive probe failures", log::Level::Error), 1);
  EXPECT_EQ(logs.count("properties probe timed out after 20s", log::Level::Error), 3);
  EXPECT_FALSE(installer->isWatchdogRunning());
  advance(300s);
  EXPECT_EQ(fake->propertiesCount(), 3u) << "no probing once given up";
}

// ---------------------------------------------------------------- supersede

TEST_F(InstallerTest, SupersededActivationReconcilesInsteadOfFailing) {
  auto request = pendingActivation();
  advance(12s);
  fake->supersede(request);
  run();
  EXPECT_EQ(status(), Case::requesting);
  EXPECT_EQ(logs.count("Extension request failed: domain=tovrelle.camera-service code=12 desc=" +
                           sysext::describeErrorCode(12),
                       log::Level::Error),
            1);
  EXPECT_EQ(logs.count("activation was superseded; reconciling instead of failing"), 1);
  EXPECT_EQ(installer->requestingDeadline(), scheduler.now());
  ASSERT_EQ(fake->propertiesCount(), 1u);
  fake->foundProperties(fake->lastProperties(), {});
  fake->finish(fake->lastProperties(), 0);
  run();
  EXPECT_EQ(status(), Case::idle) << "the reconciling probe decides";
  EXPECT_FALSE(installer->isWatchdogRunning());
}

TEST_F(InstallerTest, NothingRunsOnceTheInstallerIsGone) {
  installer->activate(false);
  auto probe = fake->lastProperties();
  installer.reset();
  fake->foundProperties(probe, {currentEnabled()});
  fake->finish(probe, 0);
  advance(300s);
  EXPECT_EQ(fake->activationCount(), 0u);
  EXPECT_EQ(mainQueue->liveTimerCount(), 0u);
}

// ------------------------------------------------------------ display probes

TEST_F(InstallerTest, DisplayProbeResultsMoveTheStatus) {
  EXPECT_EQ(display({copy("2.0", "7", false, true)}), Case::needsUserApproval);
  EXPECT_EQ(display({olderEnabled()}), Case::activated) << "any enabled copy counts when nothing failed";
  EXPECT_EQ(display({copy("2.0", "7", true, false, true)}), Case::idle) << "an uninstalling copy is not an enabled one";
  EXPECT_EQ(display({}), Case::idle);
  EXPECT_EQ(changes.size(), 3u) << "finding nothing while idle assigns nothing";
}

TEST_F(InstallerTest, VisibleUpdateFailureSurvivesAnOlderEnabledCopy) {
  auto request = pendingActivation();
  fake->fail(request, sysext::kErrorCodeSignatureInvalid);
  run();
  ASSERT_EQ(status(), Case::failed);
  const auto failed = installer->status();
  const size_t notified = changes.size();

  display({olderEnabled()});
  EXPECT_EQ(installer->status(), failed);
  EXPECT_EQ(changes.size(), notified) << "left unchanged, not reassigned";
  display({});
  EXPECT_EQ(installer->status(), failed) << "nothing installed leaves a failure alone";
  EXPECT_EQ(display({olderEnabled(), currentEnabled()}), Case::activated) << "the current version replaces the failure";
}

TEST_F(InstallerTest, RemovalEndsIdleOrFailedAndBlocksInstallingMeanwhile) {
  fake->scriptNextActivation({FakeExtensionManager::finish(0)});
  installer->activate(true);
  run();
  ASSERT_EQ(status(), Case::activated);
  bool removed = false;
  fake->scriptNextDeactivation({FakeExtensionManager::finish(0, 1s)});
  installer->deactivate([&](bool ok) { removed = ok; });
  EXPECT_TRUE(installer->isRemoving());
  installer->activate(true);
  scheduler.advance(1s);
  EXPECT_EQ(fake->activationCount(), 1u) << "no install while removing";
  EXPECT_TRUE(removed);
  EXPECT_FALSE(installer->isRemoving());
  EXPECT_EQ(status(), Case::idle);

  fake->scriptNextDeactivation({FakeExtensionManager::fail(sysext::kErrorUnknown)});
  installer->deactivate([&](bool ok) { removed = ok; });
  run();
  EXPECT_FALSE(removed);
  ASSERT_EQ(status(), Case::failed);
  EXPECT_EQ(failure().messageKey, "extensionError.unknown");
}

// The user's removal outlives the app: a later launch (or login) only looks,
// and the next install the user asks for ends it.
TEST_F(InstallerTest, ARemovalStaysUntilTheUserInstallsAgain) {
  fake->scriptNextActivation({FakeExtensionManager::finish(0)});
  fake->scriptNextProperties(FakeExtensionManager::answer({}));
  installer->activateAtLaunch();
  run();
  ASSERT_EQ(status(), Case::activated);
  EXPECT_FALSE(installer->isRemovedByUser());

  fake->scriptNextDeactivation({FakeExtensionManager::finish(0)});
  installer->deactivate();
  run();
  EXPECT_EQ(status(), Case::idle);
  EXPECT_TRUE(installer->isRemovedByUser());
  EXPECT_TRUE(storedRemoval);

  // The next launch: it looks, finds nothing and installs nothing.
  makeInstaller();
  EXPECT_TRUE(installer->isRemovedByUser());
  const size_t activations = fake->activationCount();
  fake->scriptNextProperties(FakeExtensionManager::answer({}));
  installer->activateAtLaunch();
  run();
  EXPECT_EQ(fake->activationCount(), activations);
  EXPECT_EQ(status(), Case::idle);
  EXPECT_TRUE(logs.contains("the camera service was removed by the user; not installing it until asked"));

  // The user asks (setup guide, Settings, --install-camera): it installs, and
  // later launches install again when needed.
  fake->scriptNextActivation({FakeExtensionManager::finish(0)});
  installer->activate(true);
  run();
  EXPECT_EQ(fake->activationCount(), activations + 1);
  EXPECT_EQ(status(), Case::activated);
  EXPECT_FALSE(installer->isRemovedByUser());
  EXPECT_FALSE(storedRemoval);
}

TEST_F(InstallerTest, AFailedRemovalIsNotRemembered) {
  fake->scriptNextDeactivation({FakeExtensionManager::fail(sysext::kErrorUnknown)});
  installer->deactivate();
  run();
  EXPECT_EQ(status(), Case::failed);
  EXPECT_FALSE(installer->isRemovedByUser());
  EXPECT_FALSE(storedRemoval);
}

}  // namespace

// The installer's status machine on the fake backend and a manual clock:
// which calls it makes, what each answer does to the status, and the removal
// the user asked for. Installing and removing for real is the backend
// test's business.
#include <gtest/gtest.h>

#include "app/installer/CameraServiceInstaller.h"
#include "tests/fakes/FakeCameraService.h"
#include "tests/fakes/ManualDispatch.h"
#include "tests/support/InstallerTestSupport.h"

using namespace tovrelle;
using namespace std::chrono_literals;
using test::FakeCameraService;
using Status = CameraServiceInstaller::Status;
using Case = Status::Case;

namespace {

// The app's copy in the fixture is 2.0 (7).
userservice::Installed currentRunning() { return FakeCameraService::copy("2.0", "7", true); }
userservice::Installed olderRunning() { return FakeCameraService::copy("1.4", "5", true); }

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app.writeVersion("2.0", "7");
    makeInstaller();
  }

  void makeInstaller() {
    installer = CameraServiceInstaller::create(
        {fake, mainQueue, app.root(),
         [](const char* key) { return QStringLiteral("text of ") + QString::fromUtf8(key); },
         [this] { return storedRemoval; }, [this](bool removed) { storedRemoval = removed; }});
    QObject::connect(installer.get(), &CameraServiceInstaller::statusChanged,
                     [this] { changes.push_back(installer->status()); });
  }

  void run() { scheduler.drainAll(); }
  Case status() const { return installer->status().kind; }
  const CameraServiceInstaller::Failure& failure() const { return *installer->status().failure; }

  // A display refresh, past its throttle, whose look finds `found`.
  Case display(userservice::Installed found) {
    scheduler.advance(2s);
    fake->scriptNextLook(FakeCameraService::found(found));
    installer->refreshStatusForDisplay();
    run();
    return status();
  }

  test::LogRecorder logs;
  test::ManualScheduler scheduler;
  std::shared_ptr<test::ManualQueue> mainQueue = scheduler.makeQueue("main");
  std::shared_ptr<FakeCameraService> fake = std::make_shared<FakeCameraService>(mainQueue);
  test::FakeAppPrefix app;
  std::shared_ptr<CameraServiceInstaller> installer;
  std::vector<Status> changes;
  bool storedRemoval = false;  // the settings file's word on a removal
};

// ---------------------------------------------------------------- installing

TEST_F(InstallerTest, AnInstallStartsAndEndsRunningOrFailed) {
  installer->install(true);
  run();
  EXPECT_EQ(status(), Case::starting);
  EXPECT_EQ(fake->lookCount(), 0u) << "a forced install does not look first";
  installer->install(true);
  EXPECT_EQ(fake->installCount(), 1u) << "one install at a time";
  fake->succeed(fake->lastInstall());
  run();
  EXPECT_EQ(status(), Case::running);

  installer->install(true);
  fake->fail(fake->lastInstall(), userservice::kErrorValidationFailed);
  run();
  ASSERT_EQ(status(), Case::failed);
  EXPECT_EQ(failure().messageKey, "serviceError.reinstall");
  EXPECT_EQ(failure().message, QStringLiteral("text of serviceError.reinstall"));
  EXPECT_EQ(failure().diagnostic,
            QStringLiteral("tovrelle.camera-service #9: ") +
                QString::fromStdString(userservice::describeErrorCode(userservice::kErrorValidationFailed)));
  EXPECT_TRUE(failure().needsSupport);
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[2], Status::starting());
}

TEST_F(InstallerTest, AnUnforcedInstallLeavesTheRunningCurrentVersionAlone) {
  fake->scriptNextLook(FakeCameraService::found(currentRunning()));
  installer->install(false);
  run();
  EXPECT_EQ(status(), Case::running);
  EXPECT_EQ(fake->installCount(), 0u);

  // Another version runs, nothing is installed, or the look fails: it installs.
  for (auto answer : {FakeCameraService::found(olderRunning()), FakeCameraService::found(FakeCameraService::nothing()),
                      FakeCameraService::fail(userservice::kErrorRefused)}) {
    const size_t installs = fake->installCount();
    fake->scriptNextLook(answer);
    fake->scriptNextInstall(FakeCameraService::succeed());
    installer->install(false);
    run();
    EXPECT_EQ(fake->installCount(), installs + 1);
    EXPECT_EQ(status(), Case::running);
  }
}

TEST_F(InstallerTest, AnAppCopyWithoutAReadableVersionIsInstalledWithoutLooking) {
  app.writeInfo("{}");
  installer->install(false);
  run();
  EXPECT_EQ(fake->lookCount(), 0u);
  EXPECT_EQ(fake->installCount(), 1u);
}

TEST_F(InstallerTest, EachErrorCodeHasItsMessage) {
  struct Row {
    int code;
    const char* key;
    bool needsSupport;
  };
  for (const Row& row : {Row{userservice::kErrorUnknown, "serviceError.unknown", true},
                         Row{userservice::kErrorServiceNotFound, "serviceError.buildProblem", true},
                         Row{userservice::kErrorServiceMissingIdentifier, "serviceError.buildProblem", true},
                         Row{userservice::kErrorValidationFailed, "serviceError.reinstall", true},
                         Row{userservice::kErrorRefused, "serviceError.needsApproval", false},
                         Row{userservice::kErrorNoCamera, "serviceError.noCamera", false},
                         Row{userservice::kErrorCameraTaken, "serviceError.cameraTaken", false}}) {
    SCOPED_TRACE(row.code);
    const auto failure = installer->mapFailure(userservice::makeError(row.code, "why"));
    EXPECT_EQ(failure.messageKey, row.key);
    EXPECT_EQ(failure.needsSupport, row.needsSupport);
    EXPECT_EQ(failure.diagnostic, QStringLiteral("tovrelle.camera-service #%1: why").arg(row.code));
  }
}

TEST_F(InstallerTest, NothingRunsOnceTheInstallerIsGone) {
  installer->install(false);
  auto look = fake->lastLook();
  installer.reset();
  fake->found(look, FakeCameraService::nothing());
  run();
  EXPECT_EQ(fake->installCount(), 0u);
}

// ------------------------------------------------------------------- looking

TEST_F(InstallerTest, LooksMoveTheStatus) {
  EXPECT_EQ(display(olderRunning()), Case::running) << "any running copy counts when nothing failed";
  EXPECT_EQ(display(FakeCameraService::copy("2.0", "7", false)), Case::notInstalled) << "installed but not running";
  EXPECT_EQ(display(FakeCameraService::nothing()), Case::notInstalled);
  EXPECT_EQ(changes.size(), 2u) << "finding nothing while not installed changes nothing";

  // Looks are throttled to one a second, and one at a time.
  const size_t looks = fake->lookCount();
  installer->refreshStatusForDisplay();
  EXPECT_EQ(fake->lookCount(), looks);
  scheduler.advance(2s);
  installer->refreshStatusForDisplay();
  scheduler.advance(2s);
  installer->refreshStatusForDisplay();
  EXPECT_EQ(fake->lookCount(), looks + 1);
}

TEST_F(InstallerTest, AnInstallUnderWayIsNotDecidedByALook) {
  installer->install(true);
  run();
  EXPECT_EQ(display(FakeCameraService::nothing()), Case::starting);
  EXPECT_EQ(display(currentRunning()), Case::starting);
  fake->succeed(fake->lastInstall());
  run();
  EXPECT_EQ(status(), Case::running);
}

TEST_F(InstallerTest, AVisibleUpdateFailureSurvivesAnOlderRunningCopy) {
  installer->install(true);
  fake->fail(fake->lastInstall(), userservice::kErrorNoCamera);
  run();
  ASSERT_EQ(status(), Case::failed);
  const auto failed = installer->status();
  const size_t notified = changes.size();

  display(olderRunning());
  EXPECT_EQ(installer->status(), failed);
  EXPECT_EQ(changes.size(), notified) << "left unchanged, not reassigned";
  display(FakeCameraService::nothing());
  EXPECT_EQ(installer->status(), failed) << "nothing installed leaves a failure alone";
  EXPECT_EQ(display(currentRunning()), Case::running) << "the current version replaces the failure";
}

// ------------------------------------------------------------------ removing

TEST_F(InstallerTest, RemovalEndsNotInstalledOrFailedAndBlocksInstallingMeanwhile) {
  fake->scriptNextInstall(FakeCameraService::succeed());
  installer->install(true);
  run();
  ASSERT_EQ(status(), Case::running);
  bool removed = false;
  fake->scriptNextRemoval(FakeCameraService::succeed(1s));
  installer->remove([&](bool ok) { removed = ok; });
  EXPECT_TRUE(installer->isRemoving());
  installer->install(true);
  bool second = true;
  installer->remove([&](bool ok) { second = ok; });
  EXPECT_FALSE(second) << "one removal at a time";
  scheduler.advance(1s);
  EXPECT_EQ(fake->installCount(), 1u) << "no install while removing";
  EXPECT_TRUE(removed);
  EXPECT_FALSE(installer->isRemoving());
  EXPECT_EQ(status(), Case::notInstalled);

  fake->scriptNextRemoval(FakeCameraService::fail(userservice::kErrorUnknown));
  installer->remove([&](bool ok) { removed = ok; });
  run();
  EXPECT_FALSE(removed);
  ASSERT_EQ(status(), Case::failed);
  EXPECT_EQ(failure().messageKey, "serviceError.unknown");
}

// The user's removal outlives the app: a later launch (or login) only looks,
// and the next install the user asks for ends it.
TEST_F(InstallerTest, ARemovalStaysUntilTheUserInstallsAgain) {
  fake->scriptNextInstall(FakeCameraService::succeed());
  fake->scriptNextLook(FakeCameraService::found(FakeCameraService::nothing()));
  installer->installAtLaunch();
  run();
  ASSERT_EQ(status(), Case::running);
  EXPECT_FALSE(installer->isRemovedByUser());

  fake->scriptNextRemoval(FakeCameraService::succeed());
  installer->remove();
  run();
  EXPECT_EQ(status(), Case::notInstalled);
  EXPECT_TRUE(installer->isRemovedByUser());
  EXPECT_TRUE(storedRemoval);

  // The next launch: it looks, finds nothing and installs nothing.
  makeInstaller();
  EXPECT_TRUE(installer->isRemovedByUser());
  const size_t installs = fake->installCount();
  fake->scriptNextLook(FakeCameraService::found(FakeCameraService::nothing()));
  installer->installAtLaunch();
  run();
  EXPECT_EQ(fake->installCount(), installs);
  EXPECT_EQ(status(), Case::notInstalled);

  // The user asks (setup guide, Settings, --install-camera): it installs, and
  // later launches install again when needed.
  fake->scriptNextInstall(FakeCameraService::succeed());
  installer->install(true);
  run();
  EXPECT_EQ(fake->installCount(), installs + 1);
  EXPECT_EQ(status(), Case::running);
  EXPECT_FALSE(installer->isRemovedByUser());
  EXPECT_FALSE(storedRemoval);
}

TEST_F(InstallerTest, AFailedRemovalIsNotRemembered) {
  fake->scriptNextRemoval(FakeCameraService::fail(userservice::kErrorUnknown));
  installer->remove();
  run();
  EXPECT_EQ(status(), Case::failed);
  EXPECT_FALSE(installer->isRemovedByUser());
  EXPECT_FALSE(storedRemoval);
}

}  // namespace

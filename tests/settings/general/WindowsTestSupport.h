#pragma once
// Shared pieces of the onboarding and General tab tests: the installer on the
// fake extension machinery and a manual main queue, a scripted URL opener, a
// login-item service in memory and a log recorder.
#include <gtest/gtest.h>

#include <QString>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/installer/CameraServiceInstaller.h"
#include "platform/log/Log.h"
#include "platform/loginitem/LoginItemService.h"
#include "platform/urls/UrlOpener.h"
#include "tests/fakes/FakeCameraService.h"
#include "tests/fakes/ManualDispatch.h"

namespace tovrelle::test {

// Opens only the addresses the test makes available, and notes every try.
class ScriptedOpener final : public urls::UrlOpener {
 public:
  std::set<std::string> available;
  std::vector<std::string> attempts;
  bool open(const std::string& url) override {
    attempts.push_back(url);
    return available.count(url) > 0;
  }
};

class MemoryLoginItemService final : public loginitem::LoginItemService {
 public:
  loginitem::Status current = loginitem::Status::notRegistered;
  std::string registerError;  // non-empty: registering fails with it
  int registers = 0;
  int unregisters = 0;
  loginitem::Status status() override { return current; }
  Result<void> registerItem() override {
    ++registers;
    if (!registerError.empty()) return Unexpected{registerError};
    current = loginitem::Status::enabled;
    return {};
  }
  Result<void> unregisterItem() override {
    ++unregisters;
    current = loginitem::Status::notRegistered;
    return {};
  }
};

// Plain process-log lines while alive.
struct ProcessLog {
  ProcessLog() {
    log::setSink([this](const log::Record& r) {
      if (r.subsystem.empty()) lines.push_back(r.message);
    });
  }
  ~ProcessLog() { log::setSink(nullptr); }
  std::vector<std::string> lines;
};

// The installer as the app has it, on the fake camera service and a manual
// clock. The app's copy is absent, so installing never looks first.
struct InstallerRig {
  using Case = CameraServiceInstaller::Status::Case;
  using Fake = FakeCameraService;

  ManualScheduler scheduler;
  std::shared_ptr<ManualQueue> main = scheduler.makeQueue("main");
  std::shared_ptr<Fake> service = std::make_shared<Fake>(main);
  std::shared_ptr<CameraServiceInstaller> installer = CameraServiceInstaller::create(
      {service, main, "/nonexistent/tovrelle-app", [](const char* key) { return qtTrId(key); }});

  void run() { scheduler.drainAll(); }
  Case status() const { return installer->status().kind; }

  // Drives the installer into `target` through the answers the backend would
  // give: a pending install is answered, otherwise a new one is made.
  void reach(Case target, int failureCode = userservice::kErrorValidationFailed) {
    if (status() == Case::starting && target != Case::starting) {
      auto pending = service->lastInstall();
      ASSERT_TRUE(pending);
      if (target == Case::running) service->succeed(pending);
      if (target == Case::failed) service->fail(pending, failureCode);
    } else if (target != Case::notInstalled) {
      if (target == Case::running) service->scriptNextInstall(Fake::succeed());
      if (target == Case::failed) service->scriptNextInstall(Fake::fail(failureCode));
      installer->install(true);
    }
    run();
    EXPECT_EQ(status(), target);
  }
};

}  // namespace tovrelle::test

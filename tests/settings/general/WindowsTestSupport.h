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

#include "app/installer/SystemExtensionInstaller.h"
#include "platform/log/Log.h"
#include "platform/loginitem/LoginItemService.h"
#include "platform/urls/UrlOpener.h"
#include "tests/fakes/FakeSystemExtensions.h"
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

// The installer as the app has it, on the fake extension machinery and a
// manual clock. The embedded bundle is absent, so activation never probes first.
struct InstallerRig {
  using Case = SystemExtensionInstaller::Status::Case;
  using Fake = FakeExtensionManager;

  ManualScheduler scheduler;
  std::shared_ptr<ManualQueue> main = scheduler.makeQueue("main");
  std::shared_ptr<Fake> extensions = std::make_shared<Fake>();
  std::shared_ptr<SystemExtensionInstaller> installer = SystemExtensionInstaller::create(
      {extensions, main, "/nonexistent/tovrelle-app", [](const char* key) { return qtTrId(key); }});

  void run() { scheduler.drainAll(); }
  Case status() const { return installer->status().kind; }

  // Drives the installer into `target` through the requests the system would
  // answer: a pending activation is answered, otherwise a new one is made.
  void reach(Case target, int failureCode = sysext::kErrorCodeSignatureInvalid) {
    if (status() == Case::requesting && target != Case::requesting) {
      auto pending = extensions->lastActivation();
      ASSERT_TRUE(pending);
      if (target == Case::needsUserApproval) extensions->needsUserApproval(pending);
      if (target == Case::activated) extensions->finish(pending, sysext::kRequestCompleted);
      if (target == Case::failed) extensions->fail(pending, failureCode);
    } else if (target != Case::idle) {
      extensions->scriptNextActivation(target == Case::requesting          ? Fake::never()
                                       : target == Case::needsUserApproval ? Fake::Script{Fake::needsApproval()}
                                       : target == Case::activated ? Fake::Script{Fake::finish(sysext::kRequestCompleted)}
                                                                   : Fake::Script{Fake::fail(failureCode)});
      installer->activate(true);
    }
    run();
    EXPECT_EQ(status(), target);
  }
};

}  // namespace tovrelle::test

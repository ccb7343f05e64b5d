#pragma once
// Shared pieces of the onboarding and General tab tests: one offscreen
// QApplication with the app's string table, the installer on the fake
// extension machinery and a manual main queue, a scripted URL opener, a
// login-item service in memory and a log recorder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/installer/SystemExtensionInstaller.h"
#include "app/shell/Strings.h"
#include "platform/log/Log.h"
#include "platform/loginitem/LoginItemService.h"
#include "platform/urls/UrlOpener.h"
#include "tests/fakes/FakeSystemExtensions.h"
#include "tests/fakes/ManualDispatch.h"

namespace tovrelle::test {

class WindowsAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!std::getenv("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tovrelle-windows-test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    app_->setQuitOnLastWindowClosed(false);
    // The windows show the app's own texts, as they do in the app.
    strings::install(*app_);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

// Opens only the addresses the test makes available, and notes every try.
class ScriptedOpener final : public urls::UrlOpener {
 public:
  std::set<std::string> available;
  bool opensEverything = false;
  std::vector<std::string> attempts;
  bool open(const std::string& url) override {
    attempts.push_back(url);
    return opensEverything || available.count(url) > 0;
  }
};

class MemoryLoginItemService final : public loginitem::LoginItemService {
 public:
  loginitem::Status current = loginitem::Status::notRegistered;
  std::string registerError;  // non-empty: registering fails with it
  int registers = 0;
  int unregisters = 0;
  loginitem::Status status() override { return current; }
  loginitem::Result registerItem() override {
    ++registers;
    if (!registerError.empty()) return loginitem::Result::failure(registerError);
    current = loginitem::Status::enabled;
    return loginitem::Result::success();
  }
  loginitem::Result unregisterItem() override {
    ++unregisters;
    current = loginitem::Status::notRegistered;
    return loginitem::Result::success();
  }
};

// Plain process-log lines while alive.
class ProcessLog {
 public:
  ProcessLog() {
    log::setSink([this](const log::Record& r) {
      if (r.subsystem.empty()) lines.push_back(r.message);
    });
  }
  ~ProcessLog() { log::setSink(nullptr); }
  int count(const std::string& line) const {
    int n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
  }
  std::vector<std::string> lines;
};

// The installer as the app has it, on the fake extension machinery and a
// manual clock. The embedded bundle is absent, so activation never probes first.
struct InstallerRig {
  using Case = SystemExtensionInstaller::Status::Case;

  ManualScheduler scheduler;
  std::shared_ptr<ManualQueue> main = scheduler.makeQueue("main");
  std::shared_ptr<FakeExtensionManager> extensions = std::make_shared<FakeExtensionManager>();
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
      run();
      EXPECT_EQ(status(), target);
      return;
    }
    switch (target) {
      case Case::idle:
        return;
      case Case::requesting:
        extensions->scriptNextActivation(FakeExtensionManager::never());
        break;
      case Case::needsUserApproval:
        extensions->scriptNextActivation({FakeExtensionManager::needsApproval()});
        break;
      case Case::activated:
        extensions->scriptNextActivation({FakeExtensionManager::finish(sysext::kRequestCompleted)});
        break;
      case Case::failed:
        extensions->scriptNextActivation({FakeExtensionManager::fail(failureCode)});
        break;
    }
    installer->activate(true);
    run();
    EXPECT_EQ(status(), target);
  }
};

inline const char* caseName(SystemExtensionInstaller::Status::Case c) {
  using Case = SystemExtensionInstaller::Status::Case;
  switch (c) {
    case Case::failed:
      return "failed";
    case Case::idle:
      return "idle";
    case Case::requesting:
      return "requesting";
    case Case::needsUserApproval:
      return "needsUserApproval";
    case Case::activated:
      return "activated";
  }
  return "?";
}

}  // namespace tovrelle::test

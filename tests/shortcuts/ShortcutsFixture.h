#pragma once
// Shared set-up of the shortcut tests: one offscreen QApplication for the
// test program, a settings file of each test's own, the fake hot-key
// service, and "launches" played by a new registry over the settings file
// reopened from disk.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "app/model/Settings.h"
#include "app/shortcuts/KeyboardShortcuts.h"
#include "platform/log/Log.h"
#include "tests/fakes/FakeHotKeys.h"
#include "tests/fakes/FakeShortcutPortal.h"

namespace tovrelle::test {

// One QApplication for the whole test program.
struct QtEnvironment : ::testing::Environment {
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "shortcut_tests";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app.reset(); }
  std::unique_ptr<QApplication> app;
};
inline ::testing::Environment* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

class ShortcutsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    settingsPath_ = dir_.filePath("tovrelle.ini");
    log::setSink([this](const log::Record& record) { logLines_.push_back(record.message); });
    launch();
  }

  void TearDown() override {
    shortcuts_.reset();
    settings_.reset();
    log::setSink(nullptr);
  }

  // A new launch of the app: a new registry, the settings file read from
  // disk and a new hot-key service (and the desktop portal, when given).
  void launch(std::shared_ptr<FakeShortcutPortal> portal = nullptr) {
    shortcuts_.reset();
    settings_ = std::make_unique<Settings>(settingsPath_);
    hotKeys_ = std::make_shared<FakeHotKeys>();
    shortcuts_ = std::make_unique<KeyboardShortcuts::ShortcutRegistry>(
        *settings_, KeyboardShortcuts::ShortcutRegistry::Backend{hotKeys_, std::move(portal), {}});
  }

  // The registry of this launch on another backend.
  void useBackend(KeyboardShortcuts::ShortcutRegistry::Backend backend) {
    shortcuts_.reset();
    shortcuts_ = std::make_unique<KeyboardShortcuts::ShortcutRegistry>(*settings_, std::move(backend));
  }

  KeyboardShortcuts::ShortcutRegistry& shortcuts() { return *shortcuts_; }

  // What another reader of the settings file finds.
  QVariant valueOnDisk(const QString& key) const { return QSettings(settingsPath_, QSettings::IniFormat).value(key); }

  int logCount(const std::string& needle) const {
    int n = 0;
    for (const std::string& line : logLines_) n += line.find(needle) != std::string::npos;
    return n;
  }

  QTemporaryDir dir_;
  QString settingsPath_;
  std::unique_ptr<Settings> settings_;
  std::shared_ptr<FakeHotKeys> hotKeys_;
  std::unique_ptr<KeyboardShortcuts::ShortcutRegistry> shortcuts_;
  std::vector<std::string> logLines_;
};

}  // namespace tovrelle::test

using namespace KeyboardShortcuts;
using tovrelle::test::ShortcutsTest;
namespace key = tovrelle::hotkeys::key;
namespace modifier = tovrelle::hotkeys::modifier;
inline constexpr int kCOC = 6400;  // Ctrl + Alt + Super, the defaults' modifiers

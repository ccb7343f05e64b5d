#pragma once
// Shared set-up of the shortcut tests: one offscreen QApplication for the
// test program, a settings file of each test's own, the fake hot-key
// service, and "launches" played by forgetting the process state and
// reopening the settings file from disk.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "app/model/Settings.h"
#include "app/shortcuts/KeyboardShortcuts.h"
#include "app/shortcuts/KeyboardShortcutsTesting.h"
#include "platform/log/Log.h"
#include "tests/fakes/FakeHotKeys.h"

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
  void TearDown() override {
    KeyboardShortcuts::testing::resetProcessState();
    app.reset();
  }
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
    KeyboardShortcuts::testing::resetProcessState();
    settings_.reset();
    log::setSink(nullptr);
  }

  // A new launch of the app: fresh tables, the settings file read from disk
  // and a new hot-key service.
  void launch() {
    KeyboardShortcuts::testing::resetProcessState();
    settings_ = std::make_unique<Settings>(settingsPath_);
    KeyboardShortcuts::setSettings(*settings_);
    hotKeys_ = std::make_shared<FakeHotKeys>();
    KeyboardShortcuts::setHotKeyCenter(hotKeys_);
  }

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
  std::vector<std::string> logLines_;
};

}  // namespace tovrelle::test

using namespace KeyboardShortcuts;
using tovrelle::test::ShortcutsTest;
namespace key = tovrelle::hotkeys::key;
namespace modifier = tovrelle::hotkeys::modifier;
inline constexpr int kCOC = 6400;  // Ctrl + Alt + Super, the defaults' modifiers

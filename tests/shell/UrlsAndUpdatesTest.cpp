// The URL-opening layer (system-settings addresses onto the desktop's own
// settings program) and the update controller built on it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/log/Log.h"
#include "platform/updates/UpdateController.h"
#include "platform/urls/UrlOpener.h"
#include "tests/fakes/ManualDispatch.h"
#include "tests/shell/RecordingOpener.h"

namespace fs = std::filesystem;
using namespace tovrelle;

namespace {

class EnvVar {
 public:
  EnvVar(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvVar() {
    if (saved_) ::setenv(name_, saved_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

}  // namespace

TEST(DesktopUrlOpener, StartsTheSettingsProgramFoundOnThePath) {
  std::string tmpl = (fs::temp_directory_path() / "tovrelle-urls-XXXXXX").string();
  const fs::path dir = ::mkdtemp(tmpl.data());
  const fs::path record = dir / "args.txt";
  {
    std::ofstream script(dir / "gnome-control-center");
    script << "#!/bin/sh\necho \"$@\" > '" << record.string() << ".tmp' && /bin/mv '" << record.string() << ".tmp' '"
           << record.string() << "'\n";
  }
  fs::permissions(dir / "gnome-control-center", fs::perms::owner_all);
  auto opener = urls::makeDesktopUrlOpener();
  {
    EnvVar path("PATH", dir.string());
    EnvVar desktop("XDG_CURRENT_DESKTOP", "GNOME");
    EXPECT_TRUE(opener->open(urls::kCameraPrivacySettingsURL));
  }
  // The program runs detached; give it a moment to write what it was asked.
  for (int i = 0; i < 500 && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::ifstream in(record);
  std::string args;
  std::getline(in, args);
  EXPECT_EQ(args, "camera");
  {
    EnvVar path("PATH", (dir / "empty").string());
    EXPECT_FALSE(opener->open(urls::kLoginItemsExtensionSettingsURL));
  }
  // Web addresses need the GUI layer; without it nothing is opened.
  EXPECT_FALSE(opener->open("https://example.org/"));
  fs::remove_all(dir);
}

TEST(UpdateController, AnUpdatePageIsOfferedAfterStartAndOpenedOnCheck) {
  test::ManualScheduler scheduler;
  auto main = scheduler.makeQueue("main");
  auto opener = std::make_shared<test::RecordingOpener>();
  updates::UpdateController controller("https://updates.example.org/tovrelle/", opener, main);
  std::vector<std::string> events;
  QObject::connect(&controller, &updates::UpdateController::canCheckForUpdatesWillChange, [&] {
    events.push_back(std::string("will:") + (controller.canCheckForUpdates() ? "yes" : "no"));
  });
  QObject::connect(&controller, &updates::UpdateController::canCheckForUpdatesChanged, [&] {
    events.push_back(std::string("did:") + (controller.canCheckForUpdates() ? "yes" : "no"));
  });
  controller.start();
  EXPECT_FALSE(controller.canCheckForUpdates());  // reported one main-queue turn later
  scheduler.drainAll();
  EXPECT_TRUE(controller.canCheckForUpdates());
  EXPECT_EQ(events, (std::vector<std::string>{"will:no", "did:yes"}));
  controller.checkForUpdates();
  EXPECT_EQ(opener->opened, (std::vector<std::string>{"https://updates.example.org/tovrelle/"}));

  std::vector<std::string> lines;
  log::setSink([&](const log::Record& r) { lines.push_back(r.message); });
  opener->refused.insert("https://updates.example.org/tovrelle/");
  controller.checkForUpdates();
  log::setSink(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "UpdateController: could not open the update page https://updates.example.org/tovrelle/"}));
}

TEST(UpdateController, APageThatIsNotAWebAddressIsIgnoredWithOneLogLine) {
  test::ManualScheduler scheduler;
  auto main = scheduler.makeQueue("main");
  std::vector<std::string> lines;
  log::setSink([&](const log::Record& r) { lines.push_back(r.message); });
  updates::UpdateController controller("file:///etc/passwd", std::make_shared<test::RecordingOpener>(), main);
  controller.start();
  scheduler.drainAll();
  log::setSink(nullptr);
  EXPECT_FALSE(controller.canCheckForUpdates());
  EXPECT_EQ(lines, (std::vector<std::string>{"UpdateController: ignoring update page file:///etc/passwd (not a web address)"}));
}

// The URL-opening layer (system-settings addresses onto the desktop's own
// settings program) and the update controller built on it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/log/Log.h"
#include "platform/updates/UpdateController.h"
#include "platform/urls/UrlOpener.h"
#include "tests/fakes/ManualDispatch.h"
#include "tests/shell/RecordingOpener.h"

namespace fs = std::filesystem;
using namespace tovrelle;

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
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", dir.c_str(), 1);
  ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  EXPECT_TRUE(opener->open(urls::kCameraPrivacySettingsURL));
  ::setenv("PATH", (dir / "empty").c_str(), 1);
  EXPECT_FALSE(opener->open(urls::kLoginItemsExtensionSettingsURL));
  ::setenv("PATH", path.c_str(), 1);
  // The program runs detached; give it a moment to write what it was asked.
  for (int i = 0; i < 500 && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::ifstream in(record);
  std::string args;
  std::getline(in, args);
  EXPECT_EQ(args, "camera");
  // Web addresses need the GUI layer; without it nothing is opened.
  EXPECT_FALSE(opener->open("https://example.org/"));
  fs::remove_all(dir);
}

// Offering and opening the page as the popover sees it is the delegate's test;
// here: the notifications around the offer, and what is logged when it fails.
TEST(UpdateController, AnOfferIsAnnouncedAndAPageThatCannotBeOpenedOrIsNotAWebAddressGetsOneLogLine) {
  test::ManualScheduler scheduler;
  auto main = scheduler.makeQueue("main");
  auto opener = std::make_shared<test::RecordingOpener>();
  opener->refused.insert("https://updates.example.org/tovrelle/");
  std::vector<std::string> lines;
  log::setSink([&](const log::Record& r) { lines.push_back(r.message); });
  updates::UpdateController controller("https://updates.example.org/tovrelle/", opener, main);
  updates::UpdateController local("file:///etc/passwd", opener, main);
  std::vector<bool> events;
  QObject::connect(&controller, &updates::UpdateController::canCheckForUpdatesWillChange,
                   [&] { events.push_back(controller.canCheckForUpdates()); });
  QObject::connect(&controller, &updates::UpdateController::canCheckForUpdatesChanged,
                   [&] { events.push_back(controller.canCheckForUpdates()); });
  controller.start();
  local.start();
  scheduler.drainAll();
  EXPECT_EQ(events, (std::vector<bool>{false, true}));
  EXPECT_FALSE(local.canCheckForUpdates());
  controller.checkForUpdates();
  log::setSink(nullptr);
  EXPECT_EQ(opener->opened, (std::vector<std::string>{"https://updates.example.org/tovrelle/"}));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "UpdateController: ignoring update page file:///etc/passwd (not a web address)",
                       "UpdateController: could not open the update page https://updates.example.org/tovrelle/"}));
}

// The desktop opener: the camera access page goes to the desktop's own
// settings program, and only web pages count as an update page.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/urls/UrlOpener.h"

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
  ::setenv("PATH", (dir / "empty").c_str(), 1);
  EXPECT_FALSE(opener->open(urls::kCameraPrivacySettingsURL)) << "no settings program installed";
  ::setenv("PATH", dir.c_str(), 1);
  ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  EXPECT_TRUE(opener->open(urls::kCameraPrivacySettingsURL));
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

TEST(DesktopUrlOpener, TheCurrentDesktopsSettingsProgramComesFirst) {
  const auto installed = [](const std::string& name) -> std::optional<std::string> {
    if (name == "gnome-control-center" || name == "systemsettings") return "/usr/bin/" + name;
    return std::nullopt;
  };
  EXPECT_EQ(urls::cameraSettingsCommand(installed, "KDE"), (urls::Command{"/usr/bin/systemsettings", {}}));
  EXPECT_EQ(urls::cameraSettingsCommand(installed, "XFCE"),
            (urls::Command{"/usr/bin/gnome-control-center", {"camera"}}));
  EXPECT_EQ(urls::cameraSettingsCommand([](const std::string&) { return std::nullopt; }, "GNOME"), std::nullopt);
}

TEST(UpdatePage, OnlyAWebPageWithAHostCounts) {
  EXPECT_TRUE(urls::isWebPage("https://updates.example.org/tovrelle/"));
  EXPECT_TRUE(urls::isWebPage("http://example.org"));
  EXPECT_FALSE(urls::isWebPage(""));
  EXPECT_FALSE(urls::isWebPage("file:///etc/passwd"));
  EXPECT_FALSE(urls::isWebPage("https://"));
  EXPECT_TRUE(urls::updatePage().empty() || urls::isWebPage(urls::updatePage()));
}

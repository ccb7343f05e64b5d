// What the package installs for the /dev/video output, as the system reads
// it: the v4l2loopback options and boot-time load, and the WirePlumber rule
// that hides the loopback's duplicate camera, loaded by a real WirePlumber.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path kBuild = TOVRELLE_TEST_BUILD_DIR;

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The lines that are not comments or blank, as the reading program takes them.
std::vector<std::string> settingLines(const fs::path& path, char comment) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != comment) lines.push_back(line);
  return lines;
}

TEST(VideoDevicePackaging, InstallsTheModuleSetupAndBothWirePlumberRules) {
  char folder[] = "/tmp/tovrelle-package-XXXXXX";
  ASSERT_TRUE(::mkdtemp(folder));
  const fs::path root = folder;
  const std::string command = "DESTDIR='" + root.string() + "' cmake --install '" + kBuild.string() +
                              "' --prefix /usr --component video-device > '" + (root / "install.log").string() +
                              "' 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(root / "install.log");

  EXPECT_EQ(settingLines(root / "usr/lib/modprobe.d/tovrelle.conf", '#'),
            std::vector<std::string>{"options v4l2loopback devices=1 exclusive_caps=1 card_label=Tovrelle"});
  EXPECT_EQ(settingLines(root / "usr/lib/modules-load.d/tovrelle.conf", '#'), std::vector<std::string>{"v4l2loopback"});

  const std::string lua = readFile(root / "usr/share/wireplumber/main.lua.d/51-tovrelle-hide-loopback.lua");
  EXPECT_NE(lua.find("table.insert(v4l2_monitor.rules"), std::string::npos) << lua;
  EXPECT_NE(lua.find(R"({ "device.product.name", "equals", "Tovrelle" })"), std::string::npos) << lua;
  EXPECT_NE(lua.find(R"(["device.disabled"] = true)"), std::string::npos) << lua;

  const std::string conf = readFile(root / "usr/share/wireplumber/wireplumber.conf.d/51-tovrelle-hide-loopback.conf");
  EXPECT_NE(conf.find("monitor.v4l2.rules = ["), std::string::npos) << conf;
  EXPECT_NE(conf.find(R"(device.product.name = "Tovrelle")"), std::string::npos) << conf;
  EXPECT_NE(conf.find("update-props = {"), std::string::npos) << conf;
  EXPECT_NE(conf.find("device.disabled = true"), std::string::npos) << conf;

  // The package asks for the module's sources, built for each kernel.
  EXPECT_NE(readFile(kBuild / "CPackConfig.cmake").find("v4l2loopback-dkms"), std::string::npos);
  fs::remove_all(root);
}

// A WirePlumber 0.4 that finds the rule among its own loads it in order
// (after the V4L2 monitor's defaults, before the monitors start) and keeps
// running: a broken rule file would stop the user's whole session manager.
TEST(VideoDevicePackaging, WirePlumberLoadsTheRuleAndKeepsRunning) {
  test::PrivateSession session({.pipewire = true, .wireplumber = false, .xvfb = false});
  const fs::path rules = fs::path(session.env().at("XDG_CONFIG_HOME")) / "wireplumber" / "main.lua.d";
  fs::create_directories(rules);
  fs::copy_file(kBuild / "packaging/wireplumber/main.lua.d/51-tovrelle-hide-loopback.lua",
                rules / "51-tovrelle-hide-loopback.lua");
  auto wireplumber = session.spawn({"wireplumber"}, {{"WIREPLUMBER_DEBUG", "3"}}, "wireplumber-rule.log");
  ASSERT_TRUE(
      wireplumber->waitForLog("loading config file: " + (rules / "51-tovrelle-hide-loopback.lua").string(), 10s))
      << wireplumber->log();
  ASSERT_TRUE(wireplumber->waitForLog("main.lua.d/90-enable-all.lua", 10s)) << wireplumber->log();
  // Its monitors and policy are up: it answers a client.
  auto status = session.spawn({"wpctl", "status"}, {}, "wpctl.log");
  EXPECT_EQ(status->wait(10s), 0) << status->log();
  EXPECT_NE(status->log().find("Video"), std::string::npos) << status->log();
  EXPECT_TRUE(wireplumber->running()) << wireplumber->log();
  const std::string log = wireplumber->log();
  EXPECT_EQ(log.find("\nE "), std::string::npos) << log;
  EXPECT_EQ(log.find("\nC "), std::string::npos) << log;
  wireplumber->stop();
}

}  // namespace

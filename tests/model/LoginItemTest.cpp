// Launch at login: the XDG autostart backend against a temporary config
// folder, and LoginItemManager's publishing and failure rules on it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/model/LoginItemManager.h"
#include "platform/log/Log.h"
#include "platform/loginitem/XdgAutostart.h"

namespace fs = std::filesystem;
using tovrelle::LoginItemManager;
using namespace tovrelle::loginitem;

namespace {

std::string readFile(const fs::path& p) {
  std::stringstream s;
  s << std::ifstream(p).rdbuf();
  return s.str();
}

void writeFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

struct TempFolder {
  QTemporaryDir dir;
  fs::path path() const { return dir.path().toStdString(); }
};

// The program the entry starts: an executable file of our own.
fs::path makeProgram(const fs::path& folder, const std::string& name) {
  fs::path p = folder / name;
  writeFile(p, "#!/bin/sh\nexit 0\n");
  fs::permissions(p, fs::perms::owner_all);
  return p;
}

}  // namespace

TEST(XdgAutostart, RegisterWritesAnEntryThatStartsTheAppAndUnregisterRemovesIt) {
  TempFolder tmp;
  const fs::path program = makeProgram(tmp.path() / "bin dir", "tovrelle");
  XdgAutostartService service({tmp.path() / "config", program});
  EXPECT_EQ(service.entryPath(), tmp.path() / "config" / "autostart" / "velkari.tovrelle.desktop");
  EXPECT_EQ(service.status(), Status::notRegistered);

  ASSERT_TRUE(service.registerItem().ok());
  EXPECT_EQ(service.status(), Status::enabled);
  const std::string entry = readFile(service.entryPath());
  EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(entry.find("Type=Application\n"), std::string::npos);
  // The folder name has a space: the program is quoted so session managers start the right file.
  EXPECT_NE(entry.find("Exec=\"" + program.string() + "\"\n"), std::string::npos) << entry;
  // Skipped at login once the program is gone (its package removed).
  EXPECT_NE(entry.find("\nTryExec=" + program.string() + "\n"), std::string::npos) << entry;
  // No temporary files are left next to the entry.
  EXPECT_EQ(std::distance(fs::directory_iterator(service.entryPath().parent_path()), fs::directory_iterator()), 1);

  // Registering again replaces the entry and stays enabled.
  ASSERT_TRUE(service.registerItem().ok());
  EXPECT_EQ(service.status(), Status::enabled);

  ASSERT_TRUE(service.unregisterItem().ok());
  EXPECT_FALSE(fs::exists(service.entryPath()));
  EXPECT_EQ(service.status(), Status::notRegistered);
  // Unregistering what is not there is no failure.
  EXPECT_TRUE(service.unregisterItem().ok());
}

TEST(XdgAutostart, StatusFollowsWhatTheDesktopDidWithTheEntry) {
  TempFolder tmp;
  const fs::path program = makeProgram(tmp.path(), "tovrelle");
  XdgAutostartService service({tmp.path(), program});
  ASSERT_TRUE(service.registerItem().ok());
  const std::string entry = readFile(service.entryPath());

  // Switched off in the desktop's start-up settings: the user has to allow it there.
  std::string off = entry;
  off.replace(off.find("X-GNOME-Autostart-enabled=true"), 30, "X-GNOME-Autostart-enabled=false");
  writeFile(service.entryPath(), off);
  EXPECT_EQ(service.status(), Status::requiresApproval);

  // Hidden=true marks an entry as deleted.
  writeFile(service.entryPath(), entry + "Hidden=true\n");
  EXPECT_EQ(service.status(), Status::notRegistered);

  // Keys of other groups do not count.
  writeFile(service.entryPath(), entry + "[Desktop Action x]\nHidden=true\n");
  EXPECT_EQ(service.status(), Status::enabled);

  // The app was moved or removed: the entry points nowhere.
  fs::remove(program);
  writeFile(service.entryPath(), entry);
  EXPECT_EQ(service.status(), Status::notFound);

  // No Exec line at all.
  writeFile(service.entryPath(), "[Desktop Entry]\nType=Application\nName=Tovrelle\n");
  EXPECT_EQ(service.status(), Status::notFound);
}

// A folder that will not take the entry: the settings' "launch at login" box
// gets one log line naming why, and shows what the desktop has.
TEST(LoginItemManager, AFolderThatCannotBeWrittenIsLoggedOnceWithWhy) {
  TempFolder tmp;
  std::vector<std::string> lines;
  tovrelle::log::setSink([&](const tovrelle::log::Record& r) { lines.push_back(r.message); });
  const fs::path program = makeProgram(tmp.path(), "tovrelle");

  // The config "folder" is a file: nothing can be created below it.
  writeFile(tmp.path() / "config", "not a folder");
  auto blocked = std::make_shared<XdgAutostartService>(XdgAutostartOptions{tmp.path() / "config", program});
  LoginItemManager manager(blocked);
  EXPECT_FALSE(manager.setEnabled(true));
  EXPECT_FALSE(manager.isEnabled());
  EXPECT_EQ(blocked->status(), Status::notRegistered);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("LoginItemManager: failed to set login item to enabled: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find((tmp.path() / "config").string()), std::string::npos) << lines[0];

  // Registered, but the program it names is not there: no log line, off, false.
  LoginItemManager moved(std::make_shared<XdgAutostartService>(XdgAutostartOptions{tmp.path(), tmp.path() / "gone"}));
  EXPECT_FALSE(moved.setEnabled(true));
  EXPECT_FALSE(moved.isEnabled());
  EXPECT_EQ(lines.size(), 1u);
  tovrelle::log::setSink(nullptr);

  // Something that is not a file sits where the entry goes and cannot be removed.
  XdgAutostartService occupied({tmp.path() / "other", program});
  fs::create_directories(occupied.entryPath() / "stuff");
  EXPECT_FALSE(occupied.registerItem().ok());
  tovrelle::Result<void> u = occupied.unregisterItem();
  EXPECT_FALSE(u.ok());
  EXPECT_NE(u.error().find("velkari.tovrelle.desktop"), std::string::npos) << u.error();

  // A read-only autostart folder (permissions do not stop root, so only as a normal user).
  if (::geteuid() != 0) {
    XdgAutostartService readOnly({tmp.path() / "ro", program});
    fs::create_directories(readOnly.entryPath().parent_path());
    fs::permissions(readOnly.entryPath().parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(readOnly.registerItem().ok());
    EXPECT_EQ(readOnly.status(), Status::notRegistered);
  }
}

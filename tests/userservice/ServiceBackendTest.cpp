// The systemd backend's parts that need no session: the folders it resolves,
// what it makes of a copy of the service, and the services it starts itself.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <optional>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/userservice/CameraService.h"
#include "platform/userservice/InstalledService.h"
#include "platform/userservice/ServiceProcesses.h"
#include "platform/userservice/SystemdCameraService.h"
#include "tests/support/InstallerTestSupport.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Sets environment variables for one test and puts them back after.
class ScopedEnvironment {
 public:
  ~ScopedEnvironment() {
    for (auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }
  void set(const std::string& name, const char* value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value)
      ::setenv(name.c_str(), value, 1);
    else
      ::unsetenv(name.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Writes an executable shell script.
fs::path writeScript(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

// How `pid` ended, as `children` reports it, once it has.
std::optional<std::string> awaitExit(const userservice::ServiceChildren& children, pid_t pid) {
  // Generous: the pass condition is the status, never how soon it came.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto exit = children.exitOf(pid)) return exit;
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(ServicePaths, FollowTheBaseDirectories) {
  test::FakeAppPrefix prefix;
  ScopedEnvironment env;
  env.set("HOME", "/home/someone");
  env.set("XDG_DATA_HOME", "/xdg/data");
  env.set("XDG_CONFIG_HOME", nullptr);
  env.set("XDG_STATE_HOME", "relative/state");  // not absolute: the default instead
  auto paths = userservice::ServicePaths::fromEnvironment(prefix.root());
  ASSERT_TRUE(paths) << paths.error();
  EXPECT_EQ(paths->prefix, prefix.root());
  EXPECT_EQ(paths->installRoot, fs::path("/xdg/data/tovrelle/SystemExtensions"));
  EXPECT_EQ(paths->unitFolder, fs::path("/home/someone/.config/systemd/user"));
  EXPECT_EQ(paths->autostartFolder, fs::path("/home/someone/.config/autostart"));
  EXPECT_EQ(paths->stateFolder, fs::path("/home/someone/.local/state/tovrelle"));
}

// Without folders the service refuses every call with the reason, on the
// answer queue, instead of writing somewhere else.
TEST(ServicePaths, WithoutFoldersEveryCallAnswersWhy) {
  test::LogRecorder logs;
  auto answers = dispatch::makeSerialQueue("test.answers");
  auto service = userservice::makeSystemdCameraService(Unexpected{"no home folder"}, answers);

  std::promise<std::optional<userservice::Error>> installed;
  service->install([&](std::optional<userservice::Error> error) { installed.set_value(error); });
  auto error = installed.get_future().get();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, userservice::kErrorUnknown);
  EXPECT_NE(error->description.find("no home folder"), std::string::npos) << error->description;

  std::promise<std::pair<bool, std::optional<userservice::Error>>> looked;
  service->look([&](std::optional<userservice::Installed> what, std::optional<userservice::Error> error) {
    looked.set_value({what.has_value(), error});
  });
  auto [sawSomething, lookError] = looked.get_future().get();
  EXPECT_FALSE(sawSomething);
  ASSERT_TRUE(lookError);
  EXPECT_NE(lookError->description.find("no home folder"), std::string::npos);
}

// The installer shows the code of what is wrong with the app's copy.
TEST(ServiceCopy, AProblemCarriesItsCodeAndReason) {
  test::FakeAppPrefix prefix;
  const fs::path copy = prefix.service();

  auto missing = userservice::validateServiceCopy(copy);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.failure().code, userservice::kErrorServiceNotFound);
  EXPECT_NE(missing.error().find(copy.string()), std::string::npos) << missing.error();

  prefix.writeInfo(R"({"CFBundleShortVersionString": "1.0", "CFBundleVersion": "1"})");
  EXPECT_EQ(userservice::validateServiceCopy(copy).failure().code, userservice::kErrorServiceMissingIdentifier);

  prefix.writeInfo(R"({"CFBundleIdentifier": "someone.else"})");
  auto other = userservice::validateServiceCopy(copy);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.failure().code, userservice::kErrorServiceNotFound);
  EXPECT_NE(other.error().find("someone.else"), std::string::npos) << other.error();

  prefix.writeInfo("not json");
  EXPECT_EQ(userservice::validateServiceCopy(copy).failure().code, userservice::kErrorValidationFailed);

  prefix.writeVersion("1.0/../..", "1");
  EXPECT_EQ(userservice::validateServiceCopy(copy).failure().code, userservice::kErrorValidationFailed);

  // Everything right but the program, which is missing and then not executable.
  prefix.writeVersion("2.0", "7");
  auto noProgram = userservice::validateServiceCopy(copy);
  ASSERT_FALSE(noProgram);
  EXPECT_EQ(noProgram.failure().code, userservice::kErrorValidationFailed);
  EXPECT_NE(noProgram.error().find("tovrelle-camera-extension"), std::string::npos) << noProgram.error();
  std::ofstream(copy / "tovrelle-camera-extension") << "#!/bin/sh\n";
  EXPECT_FALSE(userservice::validateServiceCopy(copy));

  fs::permissions(copy / "tovrelle-camera-extension", fs::perms::owner_all);
  auto good = userservice::validateServiceCopy(copy);
  ASSERT_TRUE(good) << good.error();
  EXPECT_EQ(good->version, (userservice::ServiceVersion{"2.0", "7"}));
  EXPECT_EQ(good->executable, "tovrelle-camera-extension");
}

TEST(ServiceChildren, AStartedServiceThatEndsHasItsStatusAndItsOutputInTheLog) {
  test::FakeAppPrefix folder;
  const fs::path program = writeScript(folder.root() / "service", "echo \"data=$TOVRELLE_DATA_DIR\"\nexit 3");
  const fs::path logFile = folder.root() / "state" / "camera-service.log";
  userservice::ServiceChildren children;
  auto pid = children.startDetached(program, logFile, folder.root() / "data", folder.root() / "app");
  ASSERT_TRUE(pid) << pid.error();
  EXPECT_EQ(awaitExit(children, *pid), "exited with status 3");
  EXPECT_EQ(readAll(logFile), "data=" + (folder.root() / "data").string() + "\n");
}

TEST(ServiceChildren, AKilledServiceSaysBySignal) {
  test::FakeAppPrefix folder;
  const fs::path program = writeScript(folder.root() / "service", "kill -9 $$");
  userservice::ServiceChildren children;
  auto pid = children.startDetached(program, folder.root() / "log", {}, folder.root() / "app");
  ASSERT_TRUE(pid) << pid.error();
  EXPECT_EQ(awaitExit(children, *pid), "was killed by signal 9");
}

// Each owner knows its own children only.
TEST(ServiceChildren, TwoOwnersDoNotShareChildren) {
  test::FakeAppPrefix folder;
  const fs::path program = writeScript(folder.root() / "service", "exit 0");
  userservice::ServiceChildren first;
  userservice::ServiceChildren second;
  auto pid = first.startDetached(program, folder.root() / "log", {}, folder.root() / "app");
  ASSERT_TRUE(pid) << pid.error();
  EXPECT_EQ(awaitExit(first, *pid), "exited with status 0");
  EXPECT_EQ(second.exitOf(*pid), std::nullopt);
}

// A child may outlive its owner (a service runs on after the app); its
// waiter then writes to nothing that is gone.
TEST(ServiceChildren, AChildOutlivesItsOwnerWithoutHarm) {
  test::FakeAppPrefix folder;
  const fs::path flag = folder.root() / "go";
  const fs::path done = folder.root() / "done";
  const fs::path program =
      writeScript(folder.root() / "service",
                  "while [ ! -e '" + flag.string() + "' ]; do sleep 0.05; done\ntouch '" + done.string() + "'");
  {
    userservice::ServiceChildren children;
    auto pid = children.startDetached(program, folder.root() / "log", {}, folder.root() / "app");
    ASSERT_TRUE(pid) << pid.error();
    EXPECT_EQ(children.exitOf(*pid), std::nullopt);  // it waits for the flag
  }
  std::ofstream(flag).close();
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!fs::exists(done) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(fs::exists(done));
}

TEST(ServiceChildren, AProgramThatCannotRunEndsWithStatus127) {
  test::FakeAppPrefix folder;
  userservice::ServiceChildren children;
  auto pid =
      children.startDetached(folder.root() / "no-such-program", folder.root() / "log", {}, folder.root() / "app");
  ASSERT_TRUE(pid) << pid.error();
  EXPECT_EQ(awaitExit(children, *pid), "exited with status 127");
}

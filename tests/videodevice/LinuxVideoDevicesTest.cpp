// The video device service's Linux backend on a kernel tree of the test's
// own (sysfs and module index under a temporary root) with a stand-in for
// the camera's PipeWire node, and loading the module through commands that
// end as pkexec does when the user agrees, dismisses the prompt or modprobe fails.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/dispatch/QtMainQueue.h"
#include "platform/videodevice/linux/LinuxVideoDevices.h"

using namespace tovrelle;
using namespace tovrelle::videodevice;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kRelease = "6.1.0-test-amd64";

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// A kernel as sysfs and /lib/modules show it.
class KernelTree {
 public:
  KernelTree() { root_ = dir_.path().toStdString(); }
  const fs::path& root() const { return root_; }

  void installModule() {
    writeFile(root_ / "lib/modules" / kRelease / "modules.dep",
              "kernel/drivers/media/usb/uvc/uvcvideo.ko.xz: kernel/drivers/media/common/uvc.ko.xz\n"
              "updates/dkms/v4l2loopback.ko.xz:\n");
  }
  void loadModule() { fs::create_directories(root_ / "sys/module/v4l2loopback/parameters"); }
  // A device as /sys/class/video4linux lists it: a link into /sys/devices.
  void addDevice(int number, const std::string& label, bool loopback) {
    const std::string name = "video" + std::to_string(number);
    const fs::path device = root_ / "sys/devices/virtual/video4linux" / name;
    writeFile(device / "name", label + "\n");
    if (loopback) writeFile(device / "max_openers", "10\n");
    fs::create_directories(root_ / "sys/class/video4linux");
    fs::create_symlink("../../devices/virtual/video4linux/" + name, root_ / "sys/class/video4linux" / name);
  }

 private:
  QTemporaryDir dir_;
  fs::path root_;
};

TEST(KernelState, NothingInstalled) {
  KernelTree tree;
  const Report report = readKernelState(tree.root(), kRelease);
  EXPECT_FALSE(report.moduleInstalled);
  EXPECT_FALSE(report.moduleLoaded);
  EXPECT_TRUE(report.devices.empty());
}

TEST(KernelState, InstalledForTheRunningKernelOnly) {
  KernelTree tree;
  tree.installModule();
  EXPECT_TRUE(readKernelState(tree.root(), kRelease).moduleInstalled);
  EXPECT_FALSE(readKernelState(tree.root(), "6.9.0-other").moduleInstalled)
      << "a module built for another kernel cannot be loaded into this one";
  EXPECT_FALSE(readKernelState(tree.root(), kRelease).moduleLoaded);
}

TEST(KernelState, ListsTovrelleAndLoopbackDevicesInNumberOrderButNotWebcams) {
  KernelTree tree;
  tree.installModule();
  tree.loadModule();
  tree.addDevice(0, "Integrated Camera: Integrated C", false);
  tree.addDevice(12, "Stream Cam", true);
  tree.addDevice(2, "Tovrelle", true);
  const Report report = readKernelState(tree.root(), kRelease);
  EXPECT_TRUE(report.moduleLoaded);
  ASSERT_EQ(report.devices.size(), 2u);
  EXPECT_EQ(report.devices[0], (Device{"/dev/video2", "Tovrelle", true}));
  EXPECT_EQ(report.devices[1], (Device{"/dev/video12", "Stream Cam", true}));
  EXPECT_FALSE(report.canAddDevices);
}

TEST(KernelState, ATovrelleLabelOnAnotherDriverIsListedAsNoLoopback) {
  KernelTree tree;
  tree.addDevice(3, "Tovrelle", false);
  const Report report = readKernelState(tree.root(), kRelease);
  ASSERT_EQ(report.devices.size(), 1u);
  EXPECT_FALSE(report.devices[0].loopback);
}

TEST(KernelState, ALabelWithControlCharactersIsShownHarmlessly) {
  KernelTree tree;
  tree.loadModule();
  tree.addDevice(1, std::string("Cam\x1b[31m\tX"), true);
  const Report report = readKernelState(tree.root(), kRelease);
  ASSERT_EQ(report.devices.size(), 1u);
  EXPECT_EQ(report.devices[0].label, "Cam?[31m?X");
}

TEST(KernelState, TheControlDeviceMeansDevicesCanBeAdded) {
  KernelTree tree;
  tree.loadModule();
  fs::create_directories(tree.root() / "sys/class/misc/v4l2loopback");
  EXPECT_TRUE(readKernelState(tree.root(), kRelease).canAddDevices);
}

TEST(ServiceOutputWords, EachOfTheServiceWordsAndNothingElse) {
  EXPECT_EQ(parseServiceOutput("disabled"), ServiceOutput::disabled);
  EXPECT_EQ(parseServiceOutput("no-device"), ServiceOutput::noDevice);
  EXPECT_EQ(parseServiceOutput("refused"), ServiceOutput::refused);
  EXPECT_EQ(parseServiceOutput("busy"), ServiceOutput::busy);
  EXPECT_EQ(parseServiceOutput("failed"), ServiceOutput::failed);
  EXPECT_EQ(parseServiceOutput("ready"), ServiceOutput::ready);
  EXPECT_EQ(parseServiceOutput("reading"), ServiceOutput::reading);
  EXPECT_EQ(parseServiceOutput("Ready"), ServiceOutput::unknown);
  EXPECT_EQ(parseServiceOutput(""), ServiceOutput::unknown);
}

// ---- the backend on the Qt main queue

class Backend : public ::testing::Test {
 protected:
  template <typename T>
  std::optional<T> await(std::optional<T>& slot) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!slot && std::chrono::steady_clock::now() < deadline)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return slot;
  }

  std::shared_ptr<VideoDevices> make(std::vector<std::string> loadCommand = {},
                                     std::optional<std::vector<camera::CameraNode>> nodes = std::nullopt) {
    LinuxOptions options;
    options.root = tree.root();
    options.kernelRelease = kRelease;
    options.cameraNodes = [nodes] { return nodes; };
    options.loadCommand = std::move(loadCommand);
    return makeLinuxVideoDevices(options, std::make_shared<dispatch::QtMainQueue>());
  }

  LoadResult load(const std::string& script) {
    auto devices = make({"sh", "-c", script});
    std::optional<LoadResult> result;
    devices->loadModule([&](LoadResult r) { result = r; });
    auto got = await(result);
    EXPECT_TRUE(got) << "no answer";
    return got.value_or(LoadResult{});
  }

  KernelTree tree;
};

TEST_F(Backend, ALookAddsWhatTheCameraServiceSays) {
  tree.loadModule();
  tree.addDevice(4, "Tovrelle", true);
  camera::CameraNode node;
  node.name = "Tovrelle";
  node.v4l2State = "reading";
  node.v4l2Device = "/dev/video4";
  auto devices = make({}, std::vector<camera::CameraNode>{node});
  std::optional<Report> report;
  devices->look([&](Report r) { report = r; });
  ASSERT_TRUE(await(report));
  EXPECT_TRUE(report->serviceRunning);
  EXPECT_EQ(report->output, ServiceOutput::reading);
  EXPECT_EQ(report->outputDevice, "/dev/video4");
  ASSERT_EQ(report->devices.size(), 1u);
}

TEST_F(Backend, WithoutTheCameraServiceTheKernelSideStillShows) {
  tree.installModule();
  auto devices = make({}, std::vector<camera::CameraNode>{});
  std::optional<Report> report;
  devices->look([&](Report r) { report = r; });
  ASSERT_TRUE(await(report));
  EXPECT_FALSE(report->serviceRunning);
  EXPECT_EQ(report->output, ServiceOutput::unknown);
  EXPECT_TRUE(report->moduleInstalled);
}

TEST_F(Backend, LoadingSucceeds) { EXPECT_EQ(load("exit 0").outcome, LoadOutcome::loaded); }

TEST_F(Backend, ADismissedOrFailedPromptIsTheUsersAnswerNotAnError) {
  for (const char* script : {"exit 126", "exit 127"}) {
    SCOPED_TRACE(script);
    const LoadResult result = load(script);
    EXPECT_EQ(result.outcome, LoadOutcome::cancelled);
    EXPECT_EQ(result.message, "");
  }
}

TEST_F(Backend, AModprobeFailureSaysWhatModprobeSaid) {
  const LoadResult result =
      load("echo 'modprobe: FATAL: Module v4l2loopback not found in directory /lib/modules/6.1.0' >&2; exit 1");
  EXPECT_EQ(result.outcome, LoadOutcome::failed);
  EXPECT_EQ(result.message, "modprobe: FATAL: Module v4l2loopback not found in directory /lib/modules/6.1.0");
}

TEST_F(Backend, AMissingPkexecIsAFailureThatNamesIt) {
  auto devices = make({"/nonexistent/pkexec", "/sbin/modprobe", "v4l2loopback"});
  std::optional<LoadResult> result;
  devices->loadModule([&](LoadResult r) { result = r; });
  ASSERT_TRUE(await(result));
  EXPECT_EQ(result->outcome, LoadOutcome::failed);
  EXPECT_NE(result->message.find("/nonexistent/pkexec"), std::string::npos) << result->message;
}

}  // namespace

TEST(LoadCommand, PkexecRunsModprobeWithTovrellesDevice) {
  const auto command = defaultLoadCommand();
  ASSERT_EQ(command.size(), 6u);
  EXPECT_EQ(command[0], "pkexec");
  EXPECT_TRUE(command[1].starts_with("/") && command[1].ends_with("/modprobe")) << command[1];
  EXPECT_EQ(std::vector<std::string>(command.begin() + 2, command.end()),
            (std::vector<std::string>{"v4l2loopback", "devices=1", "exclusive_caps=1", "card_label=Tovrelle"}));
}

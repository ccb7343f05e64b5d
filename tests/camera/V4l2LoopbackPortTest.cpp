// Which device node the V4L2 port agrees to write to, on a made-up sysfs and
// /dev: only one labelled "Tovrelle", only through a plain character device
// that is the one the kernel names, and only if it answers as a loopback.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/camera/v4l2/V4l2LoopbackPort.h"

using namespace tovrelle::camera::v4l2;
using Outcome = LoopbackPort::Outcome;
namespace fs = std::filesystem;

namespace {

class V4l2LoopbackPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tovrelle-v4l2-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "sys" / "video5");
    fs::create_directories(root / "dev");
    fs::create_directories(root / "proc");
    attribute("video5", "name", "Tovrelle");
    attribute("video5", "dev", "1:3");  // what /dev/null is
  }
  void TearDown() override { fs::remove_all(root); }

  void attribute(const std::string& device, const std::string& name, const std::string& value) {
    fs::create_directories(root / "sys" / device);
    std::ofstream(root / "sys" / device / name) << value << "\n";
  }
  bool makeCharDevice(const std::string& name, unsigned major, unsigned minor) {
    return ::mknod((root / "dev" / name).c_str(), S_IFCHR | 0600, makedev(major, minor)) == 0;
  }
  LoopbackPort::OpenResult open() {
    auto port = makeV4l2LoopbackPort({root / "sys", root / "dev", root / "proc"});
    auto r = port->open("Tovrelle", 1280, 720, 30);
    EXPECT_EQ(port->bufferCount(), 0);
    return r;
  }

  fs::path root;
};

TEST_F(V4l2LoopbackPortTest, NothingLabelledTovrelleMeansNoDeviceEvenWhenOthersExist) {
  fs::remove_all(root / "sys" / "video5");
  attribute("video2", "name", "Other camera");
  attribute("video2", "dev", "1:3");
  if (!makeCharDevice("video2", 1, 3)) GTEST_SKIP() << "cannot make device nodes here";
  auto r = open();
  EXPECT_EQ(r.outcome, Outcome::noDevice);
  EXPECT_EQ(r.node, "");
}

TEST_F(V4l2LoopbackPortTest, NodesThatAreNotTheKernelsLoopbackDeviceAreRefused) {
  const fs::path node = root / "dev" / "video5";
  // A link placed where the device should be, even to a real device.
  fs::create_symlink("/dev/null", node);
  auto r = open();
  EXPECT_EQ(r.outcome, Outcome::refused);
  EXPECT_NE(r.why.find("not a character device"), std::string::npos) << r.why;
  fs::remove(node);

  std::ofstream(node) << "not a device";
  EXPECT_EQ(open().outcome, Outcome::refused);
  fs::remove(node);

  if (!makeCharDevice("video5", 1, 5)) GTEST_SKIP() << "cannot make device nodes here";
  r = open();
  EXPECT_EQ(r.outcome, Outcome::refused) << "a node that is another device than sysfs names";
  EXPECT_NE(r.why.find("not the device"), std::string::npos) << r.why;
  fs::remove(node);

  // The right numbers, but the device behind them is no V4L2 device.
  ASSERT_TRUE(makeCharDevice("video5", 1, 3));
  r = open();
  EXPECT_EQ(r.outcome, Outcome::refused);
  EXPECT_NE(r.why.find("not a V4L2 device"), std::string::npos) << r.why;
  EXPECT_EQ(r.node, node.string());
}

}  // namespace

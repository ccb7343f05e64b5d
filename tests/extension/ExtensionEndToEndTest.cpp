// The extension as a program, against a private bus, PipeWire and
// WirePlumber: its options, FIFOs where its files belong, a data folder
// removed and made again, and SIGTERM. (What clients receive is the camera
// and imaging tests'; the state machine's order is the stream source's.)
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

fs::path extensionBinary() { return test::binaryDir() / "tovrelle-camera-extension"; }

class Extension : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<test::PrivateSession>();
    dataDir = session->makeFolder("data");
    extension = session->spawn({extensionBinary().string()}, {{"TOVRELLE_DATA_DIR", dataDir.string()}}, "extension");
    ASSERT_TRUE(extension->waitForLog("published \"Tovrelle\" on PipeWire", 15s)) << extension->log();
  }
  void TearDown() override {
    if (extension) extension->stop();
    extension.reset();
    session.reset();
  }

  // What a client reading ten frames reports, one key=value a line.
  std::string snap() {
    auto p = session->spawn({(test::binaryDir() / "tovrelle-snap").string(), "--timeout", "20", "--frames", "10"});
    EXPECT_EQ(p->wait(30s), 0) << p->log();
    return "\n" + p->log();
  }

  void touchHeartbeat() {
    const fs::path file = dataDir / "heartbeat";
    if (!fs::exists(file)) std::ofstream(file).close();
    ::utimensat(AT_FDCWD, file.c_str(), nullptr, 0);
  }

  std::unique_ptr<test::PrivateSession> session;
  fs::path dataDir;
  std::unique_ptr<test::Process> extension;
};

TEST(ExtensionProgram, HelpAndUnknownOptions) {
  test::PrivateSession session({.pipewire = false, .wireplumber = false});
  auto help = session.spawn({extensionBinary().string(), "--help"});
  EXPECT_EQ(help->wait(10s), 0);
  EXPECT_NE(help->log().find("Usage: tovrelle-camera-extension"), std::string::npos);
  EXPECT_NE(help->log().find("TOVRELLE_DATA_DIR"), std::string::npos);
  auto bad = session.spawn({extensionBinary().string(), "--frobnicate"});
  const int status = bad->wait(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
  EXPECT_NE(bad->log().find("unknown option --frobnicate"), std::string::npos);
}

// A FIFO where a data file belongs used to block the poll in open() for
// good: no more frames after a switch, and SIGTERM went unanswered.
TEST_F(Extension, FifosInTheDataFolderStallNeitherFramesNorSigterm) {
  ASSERT_EQ(::mkfifo((dataDir / "state.json").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dataDir / "images.json").c_str(), 0600), 0);
  touchHeartbeat();
  auto client = session->spawn({(test::binaryDir() / "tovrelle-snap").string(), "--frames", "900", "--timeout", "60"},
                               {}, "long-client");
  const std::string statePath = (dataDir / "state.json").string();
  ASSERT_TRUE(extension->waitForLog("cannot read state.json at " + statePath + ": is a FIFO", 10s)) << extension->log();
  touchHeartbeat();
  EXPECT_NE(snap().find("\nresult=ok\n"), std::string::npos);

  // Image mode reads images.json: the same FIFO there ends in black frames.
  std::ofstream(dataDir / "state.tmp")
      << R"({"mode":"image","selectedImageId":"6B1F2C3D-4E5F-4061-8293-A4B5C6D7E8F9"})";
  fs::rename(dataDir / "state.tmp", dataDir / "state.json");  // whole, over the FIFO, as the host writes
  touchHeartbeat();
  ASSERT_TRUE(
      extension->waitForLog("cannot read images.json at " + (dataDir / "images.json").string() + ": is a FIFO", 5s))
      << extension->log();
  touchHeartbeat();
  const std::string after = snap();
  EXPECT_NE(after.find("\nresult=ok\n"), std::string::npos) << after;
  EXPECT_NE(after.find("\nmean=0.00,0.00,0.00\n"), std::string::npos) << after;

  const int status = extension->stop(SIGTERM, 10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended by itself on SIGTERM";
  client->stop();
}

// The data folder removed and made again while a client streams: frames keep
// coming, the state written into the new folder is shown (black: an image the
// library lacks, where a folder without a state would show camera off), and
// SIGTERM still ends the program with its folder watch.
TEST_F(Extension, ADataFolderRemovedAndMadeAgainKeepsFramesFlowingAndFollowsTheNewState) {
  touchHeartbeat();
  auto writeState = [&](const std::string& json) {
    std::ofstream(dataDir / ".state.json.test") << json;
    fs::rename(dataDir / ".state.json.test", dataDir / "state.json");
  };
  writeState(R"({"mode":"off"})");
  auto client = session->spawn({(test::binaryDir() / "tovrelle-snap").string(), "--frames", "900", "--timeout", "60"},
                               {}, "long-client");
  ASSERT_TRUE(extension->waitForLog("state change mode=off image=nil camera=nil", 10s)) << extension->log();

  fs::remove_all(dataDir);
  fs::create_directories(dataDir);
  touchHeartbeat();
  writeState(R"({"mode":"image","selectedImageId":"6B1F2C3D-4E5F-4061-8293-A4B5C6D7E8F9"})");
  ASSERT_TRUE(extension->waitForLog("state change mode=image image=6B1F2C3D-4E5F-4061-8293-A4B5C6D7E8F9", 10s))
      << extension->log();
  touchHeartbeat();
  const std::string after = snap();
  EXPECT_NE(after.find("\nresult=ok\n"), std::string::npos) << after;
  EXPECT_NE(after.find("\nmean=0.00,0.00,0.00\n"), std::string::npos) << after;

  const int status = extension->stop(SIGTERM, 10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended by itself on SIGTERM";
  client->stop();
}

// The camera's clients share one format: a second client asking only for
// another one is told why it gets nothing, in words a user can act on.
TEST_F(Extension, ASecondClientInAnotherFormatIsToldWhyItCannotConnect) {
  touchHeartbeat();
  auto first = session->spawn(
      {(test::binaryDir() / "tovrelle-snap").string(), "--format", "I420", "--frames", "900", "--timeout", "60"}, {},
      "bgra-client");
  ASSERT_TRUE(extension->waitForLog("startStreamingInternal (was streaming=no)", 15s)) << extension->log();
  auto second = session->spawn(
      {(test::binaryDir() / "tovrelle-snap").string(), "--format", "BGRA", "--frames", "10", "--timeout", "8"}, {},
      "i420-client");
  second->wait(30s);
  const std::string report = second->log();
  EXPECT_EQ(report.find("result=ok"), std::string::npos) << report;
  EXPECT_NE(report.find("error=the camera sends I420, a format not asked for. A camera's PipeWire clients share one "
                        "format at a time"),
            std::string::npos)
      << report;
  first->stop();
}

}  // namespace

// The extension as a program, against a private bus, PipeWire and
// WirePlumber: its options, the data folder driving the state machine within
// a poll, FIFOs where its files belong, and SIGTERM. (What clients receive is
// the camera layer's test; the state machine's order is the stream source's.)
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> parseKeyValues(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto eq = line.find('=');
    if (eq != std::string::npos && line.find(' ') > eq && out.find(line.substr(0, eq)) == out.end())
      out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

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

  std::map<std::string, std::string> snap(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {(test::binaryDir() / "tovrelle-snap").string(), "--timeout", "20"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto p = session->spawn(argv);
    EXPECT_EQ(p->wait(30s), 0) << p->log();
    return parseKeyValues(p->log());
  }

  void writeFile(const std::string& name, const std::string& bytes) {
    // Replace whole, as the host does.
    const fs::path tmp = dataDir / (name + ".tmp");
    std::ofstream(tmp, std::ios::binary) << bytes;
    fs::rename(tmp, dataDir / name);
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

TEST_F(Extension, StateFileAndHeartbeatMoveTheStateMachineWithinOnePoll) {
  // A client keeps the stream open while the "host" writes its files.
  auto client = session->spawn({(test::binaryDir() / "tovrelle-snap").string(), "--frames", "400", "--timeout", "30"},
                               {}, "long-client");
  ASSERT_TRUE(extension->waitForLog("host running changed: unknown -> no", 10s));

  writeFile("state.json", "{\"mode\":\"image\"}");
  touchHeartbeat();
  const auto written = std::chrono::steady_clock::now();
  ASSERT_TRUE(extension->waitForLog("state change mode=image image=nil camera=nil", 5s)) << extension->log();
  EXPECT_LT(std::chrono::steady_clock::now() - written, 2000ms) << "picked up by the next 0.5 s poll";
  EXPECT_TRUE(extension->waitForLog("host running changed: no -> yes", 1s));

  // Image mode without an image is black; a snapshot shows it.
  touchHeartbeat();
  auto black = snap({"--frames", "5"});
  EXPECT_EQ(black["mean"], "0.00,0.00,0.00");

  writeFile("state.json", "{\"mode\":\"off\"}");
  touchHeartbeat();
  ASSERT_TRUE(extension->waitForLog("state change mode=off image=nil camera=nil", 3s));
  ASSERT_TRUE(extension->waitForLog("startCameraOffTimer", 2s)) << extension->log();
  EXPECT_EQ(occurrences(extension->log(), "cameraOffPixelBuffer unavailable"), 0);

  // The host stops: about 3 s later the stream goes back to not running.
  ASSERT_TRUE(extension->waitForLog("host running changed: yes -> no", 6s));
  client->stop();
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
  ASSERT_TRUE(extension->waitForLog("cannot read state.json at " + statePath + ": is a FIFO", 10s))
      << extension->log();
  touchHeartbeat();
  EXPECT_EQ(snap({"--frames", "10"})["result"], "ok");

  // Image mode reads images.json: the same FIFO there ends in black frames.
  fs::remove(dataDir / "state.json");
  writeFile("state.json", "{\"mode\":\"image\",\"selectedImageId\":\"6B1F2C3D-4E5F-4061-8293-A4B5C6D7E8F9\"}");
  touchHeartbeat();
  ASSERT_TRUE(extension->waitForLog("cannot read images.json at " + (dataDir / "images.json").string() + ": is a FIFO",
                                    5s))
      << extension->log();
  touchHeartbeat();
  auto after = snap({"--frames", "10"});
  EXPECT_EQ(after["result"], "ok");
  EXPECT_EQ(after["mean"], "0.00,0.00,0.00");

  const int status = extension->stop(SIGTERM, 10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended by itself on SIGTERM";
  client->stop();
}

}  // namespace

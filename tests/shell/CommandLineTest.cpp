// What `tovrelle`'s command-line options show in a terminal and give a script:
// the one result line on stdout, the diagnostics in the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSettings>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Services.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovrelle::test::PrivateSession;

namespace {

PrivateSession* session = nullptr;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Result {
  int status = -1;
  std::string shown;   // everything the terminal (or stdout) got
  std::string errors;  // stderr, when it was not the terminal
};

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = session->makeFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    char tmpl[] = "/tmp/tovrelle-cli-XXXXXX";  // socket paths stay short
    short_ = ::mkdtemp(tmpl);
    runtime_ = short_ / "run";
    fs::create_directory(runtime_);
    ::chmod(runtime_.c_str(), 0700);
    QSettings settings(QString::fromStdString((folder_ / "settings.ini").string()), QSettings::IniFormat);
    settings.setValue("hasCompletedOnboarding", true);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(short_, ec);
  }

  std::map<std::string, std::string> env() const {
    return {{"TOVRELLE_DATA_DIR", (folder_ / "data").string()},
            {"TOVRELLE_SETTINGS_FILE", (folder_ / "settings.ini").string()},
            {"XDG_CONFIG_HOME", (folder_ / "config").string()},
            {"XDG_RUNTIME_DIR", runtime_.string()},
            {"TOVRELLE_NO_JOURNAL", "1"},
            {"QT_QPA_PLATFORM", "offscreen"}};
  }

  std::vector<std::string> argv(const std::vector<std::string>& args) const {
    std::vector<std::string> all{(tovrelle::test::binaryDir() / "tovrelle").string()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

  [[noreturn]] void exec(const std::vector<std::string>& args) const {
    for (const auto& [key, value] : session->env()) ::setenv(key.c_str(), value.c_str(), 1);
    for (const auto& [key, value] : env()) ::setenv(key.c_str(), value.c_str(), 1);
    std::vector<char*> raw;
    for (const auto& arg : args) raw.push_back(const_cast<char*>(arg.c_str()));
    raw.push_back(nullptr);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }

  // The program with stdout and stderr on a terminal, as a user typing it sees it.
  Result inTerminal(const std::vector<std::string>& args) const {
    int master = -1;
    const auto all = argv(args);
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) exec(all);
    Result run;
    if (pid < 0) return run;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;  // EIO once the program and its terminal are gone
      run.shown.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
    ::close(master);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  // The program with stdout and stderr in files, as a script or a service runs it.
  Result redirected(const std::vector<std::string>& args) const {
    const fs::path out = folder_ / "stdout", err = folder_ / "stderr";
    const auto all = argv(args);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      exec(all);
    }
    Result run;
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.shown = readFile(out);
    run.errors = readFile(err);
    return run;
  }

  fs::path folder_, short_, runtime_;
};

}  // namespace

TEST_F(CommandLine, VersionPrintsTheProjectsVersion) {
  const Result run = inTerminal({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(linesOf(run.shown), std::vector<std::string>{"tovrelle " TOVRELLE_PROJECT_VERSION}) << run.shown;
}

TEST_F(CommandLine, AStatusCheckShowsOneLineInATerminalAndLogsTheRestElsewhere) {
  const Result terminal = inTerminal({"--camera-status"});
  const auto lines = linesOf(terminal.shown);
  ASSERT_EQ(lines.size(), 1u) << terminal.shown;
  EXPECT_NE(lines[0].find("; /dev/video: "), std::string::npos) << lines[0];

  // Redirected, the diagnostics are still there, on stderr with their priority.
  const Result script = redirected({"--camera-status"});
  EXPECT_EQ(linesOf(script.shown), lines);
  EXPECT_NE(script.errors.find("<6>"), std::string::npos) << script.errors;
  EXPECT_EQ(script.errors.find(lines[0]), std::string::npos) << "the result is not on stderr";
}

TEST_F(CommandLine, ControlOptionsShowOnlyWhatTheCameraShowsNow) {
  auto app = session->spawn(argv({}), env(), "cli-app.log");
  const fs::path socket = runtime_ / "velkari.tovrelle.socket";
  for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(fs::exists(socket)) << app->log();

  Result run = inTerminal({"--camera-off"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(linesOf(run.shown), std::vector<std::string>{"Tovrelle camera: off"}) << run.shown;

  run = redirected({"--camera-on"});
  EXPECT_EQ(run.status, 0);
  const auto lines = linesOf(run.shown);
  ASSERT_EQ(lines.size(), 1u) << run.shown;
  EXPECT_EQ(lines[0].rfind("Tovrelle camera: on", 0), 0u) << lines[0];
  EXPECT_EQ(app->stop(), 0);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A private bus only: no display, PipeWire or tray is needed here.
  PrivateSession desktop(tovrelle::test::SessionOptions{false, false, false});
  session = &desktop;
  return RUN_ALL_TESTS();
}

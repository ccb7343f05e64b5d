// The running `tovrelle` program against what another local user, a
// flooding peer, a loose umask and an interrupted library change can do:
// whom it answers, what its log holds, the modes of its files on disk and
// what is left in the library after a kill at a chosen system call.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSettings>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "shared/Files.h"
#include "tests/support/Services.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovrelle::test::PrivateSession;
using tovrelle::test::Process;

namespace {

PrivateSession* session = nullptr;

mode_t modeOf(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& bytes, mode_t mode) {
  std::ofstream(path) << bytes;
  ::chmod(path.c_str(), mode);
}

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The sum of N over the lines "PREFIX N SUFFIX" in `text`.
long sumOfCounts(const std::string& text, const std::string& prefix, const std::string& suffix) {
  long sum = 0;
  for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
    const size_t number = at + prefix.size();
    const size_t end = text.find(suffix, number);
    if (end != std::string::npos && end < text.find('\n', number)) sum += std::stol(text.substr(number, end - number));
  }
  return sum;
}

// A connected local socket, or -1.
int connectTo(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  timeval wait{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  return fd;
}

// Everything the other end says until it closes the connection (or goes quiet for long).
std::string readAll(int fd) {
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) out.append(buffer, static_cast<size_t>(n));
  return out;
}

// Reads until `lines` answers came (or the other end hangs up); how many came.
size_t readLines(int fd, size_t lines) {
  std::string out;
  char buffer[4096];
  while (count(out, "\n") < lines) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return count(out, "\n");
}

// Sends `line` `times` times, as fast as the other end takes it; stops when it hangs up.
void flood(int fd, const std::string& line, int times) {
  std::string burst;
  for (int i = 0; i < times; ++i) burst += line;
  for (size_t done = 0; done < burst.size();) {
    const ssize_t n = ::send(fd, burst.data() + done, burst.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// A listener in someone else's folder answering every line with success, as a squatter would.
class Squatter {
 public:
  explicit Squatter(const fs::path& socket) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 8);
    thread_ = std::thread([this] {
      for (int peer; (peer = ::accept(fd_, nullptr, nullptr)) >= 0;) {
        ++connections_;
        const char answer[] = "0 Tovrelle camera: off\n";
        ::send(peer, answer, sizeof answer - 1, MSG_NOSIGNAL);
        ::close(peer);
      }
    });
  }
  ~Squatter() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  int connections() const { return connections_; }

 private:
  int fd_ = -1;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// A local user made for one test and removed after it. Root only.
class OtherUser {
 public:
  OtherUser() {
    name_ = "tovrelle-t" + std::to_string(::getpid());
    const std::string add = "useradd --system --no-create-home --shell /usr/sbin/nologin " + name_ + " 2>/dev/null";
    if (std::system(add.c_str()) != 0) return;
    if (const passwd* pw = ::getpwnam(name_.c_str())) {
      uid_ = pw->pw_uid;
      gid_ = pw->pw_gid;
    }
  }
  ~OtherUser() {
    if (uid_) std::system(("userdel " + name_ + " 2>/dev/null").c_str());
  }
  bool exists() const { return uid_ != 0; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

 private:
  std::string name_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

class Safety : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = session->makeFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    // Socket paths must stay within 108 bytes.
    char tmpl[] = "/tmp/tovrelle-safety-XXXXXX";
    short_ = ::mkdtemp(tmpl);
    runtime_ = short_ / "run";
    fs::create_directory(runtime_);
    ::chmod(runtime_.c_str(), 0700);
    QSettings settings(QString::fromStdString(settingsFile().string()), QSettings::IniFormat);
    settings.setValue("hasCompletedOnboarding", true);
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(short_, ec);
  }

  fs::path data() const { return folder_ / "data"; }
  fs::path settingsFile() const { return folder_ / "settings.ini"; }
  fs::path socket() const { return runtime_ / "velkari.tovrelle.socket"; }

  std::map<std::string, std::string> env() const {
    std::map<std::string, std::string> e{{"TOVRELLE_DATA_DIR", data().string()},
                                         {"TOVRELLE_SETTINGS_FILE", settingsFile().string()},
                                         {"XDG_CONFIG_HOME", (folder_ / "config").string()},
                                         {"XDG_RUNTIME_DIR", runtime_.string()},
                                         {"QT_QPA_PLATFORM", "offscreen"}};
    for (const auto& [key, value] : extraEnv_) e[key] = value;
    return e;
  }

  std::unique_ptr<Process> start(const std::string& logName, std::vector<std::string> prefix = {}) {
    prefix.push_back((tovrelle::test::binaryDir() / "tovrelle").string());
    return session->spawn(prefix, env(), logPrefix() + logName);
  }

  // A command-line launch: its exit status and what it printed.
  std::pair<int, std::string> control(const std::vector<std::string>& args, const std::string& logName) {
    std::vector<std::string> argv{(tovrelle::test::binaryDir() / "tovrelle").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto launch = session->spawn(argv, env(), logPrefix() + logName);
    const int status = launch->wait(20s);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, launch->log()};
  }

  // Log files live in the session's folder: one set per test, so no test reads another's.
  static std::string logPrefix() {
    return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-";
  }

  fs::path folder_;
  fs::path short_;
  fs::path runtime_;
  std::map<std::string, std::string> extraEnv_;
};

}  // namespace

// Without XDG_RUNTIME_DIR the control folder is in the temp folder, where anyone can create it first.
TEST_F(Safety, AControlFolderOthersCanEnterIsNotUsedByTheAppOrTheCommandLine) {
  const fs::path temp = short_ / "tmp";
  fs::create_directory(temp);
  ::chmod(temp.c_str(), 01777);
  const fs::path squatted = temp / ("tovrelle-" + std::to_string(::geteuid()));
  fs::create_directory(squatted);
  ::chmod(squatted.c_str(), 0777);
  extraEnv_ = {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", temp.string()}};
  Squatter squatter(squatted / "velkari.tovrelle.socket");

  auto app = start("app");
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 15s)) << app->log();
  EXPECT_TRUE(app->waitForLog("TovrelleApp: other launches and control commands cannot reach this Tovrelle: " +
                                  squatted.string() + " can be entered by other users (mode 0777)",
                              1s))
      << app->log();
  EXPECT_TRUE(app->running()) << "the app runs on without its control socket";
  EXPECT_FALSE(fs::exists(squatted / "velkari.tovrelle.lock")) << "no lock in a folder others can write";

  const auto [status, printed] = control({"--camera-off"}, "camera-off");
  EXPECT_EQ(status, 2) << printed;
  EXPECT_NE(printed.find("tovrelle: cannot reach the running Tovrelle safely: " + squatted.string() +
                         " can be entered by other users"),
            std::string::npos)
      << printed;
  EXPECT_EQ(squatter.connections(), 0) << "nobody else's listener hears the app or the command line";
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(Safety, AnotherUsersControlFolderIsRefusedAndAnotherUserCannotSendCommands) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a second local user";
  OtherUser other;
  ASSERT_TRUE(other.exists()) << "useradd failed";

  // The other user created the folder first.
  const fs::path temp = short_ / "tmp";
  fs::create_directory(temp);
  ::chmod(temp.c_str(), 01777);
  const fs::path squatted = temp / ("tovrelle-" + std::to_string(::geteuid()));
  fs::create_directory(squatted);
  ::chmod(squatted.c_str(), 0700);
  ASSERT_EQ(::chown(squatted.c_str(), other.uid(), other.gid()), 0);
  extraEnv_ = {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", temp.string()}};
  {
    auto app = start("squatted");
    ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 15s)) << app->log();
    EXPECT_TRUE(
        app->waitForLog(squatted.string() + " belongs to another user (uid " + std::to_string(other.uid()) + ")", 1s))
        << app->log();
    EXPECT_TRUE(fs::is_empty(squatted));
    EXPECT_EQ(app->stop(), 0);
  }

  // The app runs as the other user in folders of theirs; this test, root, connects to its socket.
  char tmpl[] = "/tmp/tovrelle-peer-XXXXXX";
  const fs::path home = ::mkdtemp(tmpl);
  for (const fs::path& p : {home, home / "run", home / "data", home / "config"}) {
    fs::create_directories(p);
    ::chmod(p.c_str(), 0700);
    ASSERT_EQ(::chown(p.c_str(), other.uid(), other.gid()), 0);
  }
  extraEnv_ = {{"XDG_RUNTIME_DIR", (home / "run").string()},
               {"TOVRELLE_DATA_DIR", (home / "data").string()},
               {"TOVRELLE_SETTINGS_FILE", (home / "config" / "settings.ini").string()},
               {"XDG_CONFIG_HOME", (home / "config").string()},
               {"HOME", home.string()},
               {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
  auto app = start("other-user", {"setpriv", "--reuid=" + std::to_string(other.uid()),
                                  "--regid=" + std::to_string(other.gid()), "--clear-groups", "--"});
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 15s)) << app->log();
  const fs::path theirs = home / "run" / "velkari.tovrelle.socket";
  ASSERT_TRUE(fs::exists(theirs)) << app->log();
  const int fd = connectTo(theirs);
  ASSERT_GE(fd, 0);
  flood(fd, "cmd camera-on\n", 1);
  EXPECT_EQ(readAll(fd), "") << "another user gets no answer";
  ::close(fd);
  EXPECT_TRUE(app->waitForLog("TovrelleApp: refused a control connection from another user", 10s)) << app->log();
  EXPECT_EQ(app->log().find("wrote state mode=camera"), std::string::npos) << app->log();
  app->stop();
  fs::remove_all(home);
}

TEST_F(Safety, AFloodingPeerIsDroppedItsRefusalsAreCountedAndOthersAreStillAnswered) {
  auto app = start("app");
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 15s)) << app->log();

  // Valid commands without end on one connection: a handful is answered, then the peer is dropped.
  const int flooder = connectTo(socket());
  ASSERT_GE(flooder, 0);
  std::thread writer([flooder] { flood(flooder, "cmd camera-off\n", 20000); });
  const std::string answers = readAll(flooder);
  writer.join();
  ::close(flooder);
  EXPECT_GT(count(answers, "0 Tovrelle camera: off\n"), 0u);
  EXPECT_LT(count(answers, "\n"), 1000u) << "the flood was answered instead of dropped";
  EXPECT_TRUE(app->waitForLog("TovrelleApp: refused a control connection that sent too many lines (dropped it)", 10s))
      << app->log();

  // Many unknown commands: one log line, and the rest as a count.
  for (int connection = 0; connection < 20; ++connection) {
    const int fd = connectTo(socket());
    ASSERT_GE(fd, 0);
    flood(fd, "cmd no-such-verb\n", 50);
    EXPECT_EQ(readLines(fd, 50), 50u) << "each is answered";
    ::close(fd);
  }
  const auto [status, printed] = control({"--camera-on"}, "camera-on");
  EXPECT_EQ(status, 0) << printed;
  EXPECT_NE(printed.find("Tovrelle camera: on"), std::string::npos) << printed;
  EXPECT_EQ(app->stop(), 0);
  const std::string log = app->log();
  EXPECT_EQ(count(log, "refused an unknown control command"), 1u) << log.substr(0, 4000);
  // However the counts fall into report periods, they add up.
  EXPECT_EQ(sumOfCounts(log, "TovrelleApp: refused ", " more: an unknown control command"), 999) << log.substr(0, 4000);
  EXPECT_LT(log.size(), 64u * 1024) << "the log stays small";
}

// Under umask 022 an earlier version left everything readable to others.
TEST_F(Safety, TheDataFolderItsFilesAndTheSettingsAreTheUsersAlone) {
  ::umask(022);
  fs::create_directories(data() / "Images");
  ::chmod(data().c_str(), 0755);
  ::chmod((data() / "Images").c_str(), 0755);
  const std::string picture = "7C4A9D36-2B8E-4F51-9A0C-6E2D1B3F5A87_cat.png";
  writeFile(data() / "Images" / picture, "not really a picture", 0644);
  writeFile(data() / "images.json",
            R"([{"id":"0B1F4C2E-5D6A-4B7C-8E9F-A0B1C2D3E4F5","name":"cat","fileName":")" + picture + R"("}])", 0644);
  writeFile(data() / "state.json", R"({"mode":"off"})", 0644);
  ::chmod(settingsFile().c_str(), 0644);

  auto app = start("app");
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 15s)) << app->log();
  EXPECT_EQ(modeOf(data()), 0700u);
  EXPECT_EQ(modeOf(data() / "Images"), 0700u);
  EXPECT_EQ(modeOf(data() / "Images" / picture), 0600u);
  EXPECT_EQ(modeOf(data() / "images.json"), 0600u);
  EXPECT_EQ(modeOf(data() / "state.json"), 0600u);
  EXPECT_EQ(modeOf(data() / "heartbeat"), 0600u);
  EXPECT_EQ(modeOf(settingsFile()), 0600u);
  const auto [status, printed] = control({"--camera-on"}, "camera-on");
  EXPECT_EQ(status, 0) << printed;
  EXPECT_EQ(modeOf(data() / "state.json"), 0600u) << "rewritten private";
  EXPECT_EQ(app->stop(), 0);
  EXPECT_EQ(count(app->log(), "TovrelleApp: made 5 entries of the data folder " + data().string() + " private to you"),
            1u)
      << app->log();
  EXPECT_EQ(count(app->log(), "Settings: made the settings file " + settingsFile().string() + " private to you"), 1u)
      << app->log();

  // Said once: the next start finds nothing to narrow.
  auto again = start("again");
  ASSERT_TRUE(again->waitForLog("CameraManager: wrote state", 15s)) << again->log();
  EXPECT_EQ(again->stop(), 0);
  EXPECT_EQ(again->log().find("private to you"), std::string::npos) << again->log();

  // A fresh data folder is private from the start.
  extraEnv_ = {{"TOVRELLE_DATA_DIR", (folder_ / "fresh").string()}};
  auto fresh = start("fresh");
  ASSERT_TRUE(fresh->waitForLog("CameraManager: wrote state", 15s)) << fresh->log();
  EXPECT_EQ(fresh->stop(), 0);
  EXPECT_EQ(modeOf(folder_ / "fresh"), 0700u);
  EXPECT_EQ(modeOf(folder_ / "fresh" / "Images"), 0700u);
  EXPECT_EQ(modeOf(folder_ / "fresh" / "state.json"), 0600u);
  EXPECT_EQ(fresh->log().find("private to you"), std::string::npos) << fresh->log();
}

class InterruptedChange : public Safety {
 protected:
  // Runs one library change under strace, killed when it reaches the `when`th call of `calls`.
  int changeKilledAt(const std::string& calls, int when, const std::vector<std::string>& change) {
    std::vector<std::string> argv{"strace",
                                  "-f",
                                  "-qq",
                                  "-o",
                                  "/dev/null",
                                  "-e",
                                  "trace=" + calls,
                                  "-e",
                                  "inject=" + calls + ":signal=SIGKILL:when=" + std::to_string(when),
                                  (tovrelle::test::binaryDir() / "library_change").string()};
    argv.insert(argv.end(), change.begin(), change.end());
    auto run = session->spawn(argv, env(), logPrefix() + "change");
    return run->wait(60s);
  }
  int change(const std::vector<std::string>& args) {
    std::vector<std::string> argv{(tovrelle::test::binaryDir() / "library_change").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return session->spawn(argv, env(), logPrefix() + "change")->wait(60s);
  }

  std::vector<std::string> libraryFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(data() / "Images")) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> dataFolderTemporaries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(data()))
      if (entry.path().filename().string().rfind(".", 0) == 0) names.push_back(entry.path().filename());
    return names;
  }
  // Every file the list names is there.
  void expectListNamesOnlyFilesThatExist() const {
    const std::string list = readFile(data() / "images.json");
    for (size_t at = list.find("\"fileName\":\""); at != std::string::npos; at = list.find("\"fileName\":\"", at + 1)) {
      const size_t begin = at + 12;
      const std::string name = list.substr(begin, list.find('"', begin) - begin);
      EXPECT_TRUE(fs::exists(data() / "Images" / name)) << name << " is listed but gone";
    }
  }
};

TEST_F(InterruptedChange, AnAddCutShortLeavesNothingBehindAfterTheNextStart) {
  const fs::path picture = folder_ / "kept.png";
  writeFile(picture, std::string(1 << 20, 'k'), 0600);
  ASSERT_EQ(change({"add", picture.string()}), 0);
  ASSERT_EQ(libraryFiles().size(), 1u);
  const auto kept = libraryFiles();

  // Killed before the copy is flushed, and again after the copy is in place but before the list names it.
  const fs::path big = folder_ / "big.png";
  writeFile(big, std::string(8 << 20, 'b'), 0600);
  EXPECT_NE(changeKilledAt("fsync", 1, {"add", big.string()}), 0);
  EXPECT_NE(changeKilledAt("rename", 2, {"add", big.string()}), 0);
  EXPECT_GT(libraryFiles().size(), 1u) << "the kills left something to clean";
  EXPECT_FALSE(dataFolderTemporaries().empty()) << "a list write was cut short";
  expectListNamesOnlyFilesThatExist();

  auto app = start("app");
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 15s)) << app->log();
  EXPECT_TRUE(app->waitForLog("ImageManager: removed 3 files an interrupted change left in " + data().string(), 1s))
      << app->log();
  EXPECT_EQ(libraryFiles(), kept);
  EXPECT_TRUE(dataFolderTemporaries().empty());
  const auto [status, printed] = control({"--image", "kept"}, "image");
  EXPECT_EQ(status, 0) << printed;
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(InterruptedChange, ADeleteCutShortNeverLeavesTheListNamingAGoneFile) {
  const fs::path picture = folder_ / "gone.png";
  writeFile(picture, "picture", 0600);
  ASSERT_EQ(change({"add", picture.string()}), 0);
  ASSERT_EQ(libraryFiles().size(), 1u);

  // Cut short while the list is written: the picture is still there and still shown on request.
  EXPECT_NE(changeKilledAt("rename", 1, {"delete", "gone"}), 0);
  expectListNamesOnlyFilesThatExist();
  {
    auto app = start("before");
    ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 15s)) << app->log();
    const auto [status, printed] = control({"--image", "gone"}, "image-kept");
    EXPECT_EQ(status, 0) << printed;
    EXPECT_EQ(app->stop(), 0);
  }

  // Cut short after the list was written: the file left behind goes at the next start.
  EXPECT_NE(changeKilledAt("unlink,unlinkat", 1, {"delete", "gone"}), 0);
  expectListNamesOnlyFilesThatExist();
  auto app = start("after");
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 15s)) << app->log();
  const auto [status, printed] = control({"--image", "gone"}, "image-gone");
  EXPECT_EQ(status, 1) << printed;
  EXPECT_EQ(app->stop(), 0);
  EXPECT_TRUE(libraryFiles().empty()) << "the deleted picture's file went at the next start";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A private bus only: no display, PipeWire or tray is needed here.
  PrivateSession desktop(tovrelle::test::SessionOptions{false, false, false});
  session = &desktop;
  return RUN_ALL_TESTS();
}

// The data folder as both processes see it: where it is, how its files are
// read (never blocking, never through an unexpected link, never unbounded)
// and written (whole or not at all), and the heartbeat.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "shared/BaseDirs.h"
#include "shared/CameraState.h"
#include "shared/DataFolder.h"
#include "shared/Files.h"

using namespace tovrelle;
namespace fs = std::filesystem;

class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovrelle-data-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    for (const char* k : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
      const char* v = std::getenv(k);
      saved_.emplace_back(k, v ? std::optional<std::string>(v) : std::nullopt);
    }
    ::unsetenv(kDataDirEnv);
  }
  void TearDown() override {
    for (auto& [k, v] : saved_) v ? (void)::setenv(k.c_str(), v->c_str(), 1) : (void)::unsetenv(k.c_str());
    ::unsetenv(kDataDirEnv);
    fs::remove_all(root_);
  }
  fs::path root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(DataFolderTest, ResolvesTheDataHomeFolderOrTheOverride) {
  ::setenv("XDG_DATA_HOME", (root_ / "xdg").c_str(), 1);
  EXPECT_EQ(dataDir(), root_ / "xdg" / "tovrelle");
  EXPECT_TRUE(fs::is_directory(dataDir()));
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", (root_ / "home").c_str(), 1);
  EXPECT_EQ(stateFilePath(), root_ / "home/.local/share/tovrelle/state.json");
  ::setenv(kDataDirEnv, (root_ / "override").c_str(), 1);
  EXPECT_EQ(heartbeatFilePath(), root_ / "override" / "heartbeat");
  EXPECT_EQ(imagesDir(), root_ / "override" / "Images");
  EXPECT_TRUE(fs::is_directory(root_ / "override" / "Images"));

  EXPECT_EQ(imageFilePath("ABC_Beach.png"), root_ / "override" / "Images" / "ABC_Beach.png");
  for (const char* bad : {"", ".", "..", "../state.json", "/etc/passwd", "a/b.png", "x/../../y"})
    EXPECT_FALSE(imageFilePath(bad)) << bad;
}

// A relative base directory is not one: the default under the home folder is used instead.
TEST_F(DataFolderTest, BaseDirectoriesAreAbsoluteOrTheirHomeDefaults) {
  ::setenv("HOME", (root_ / "home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", "relative/data", 1);
  ::setenv("XDG_STATE_HOME", "", 1);
  ::setenv("XDG_RUNTIME_DIR", "run", 1);
  EXPECT_EQ(*basedirs::configHome(), root_ / "config");
  EXPECT_EQ(*basedirs::dataHome(), root_ / "home/.local/share");
  EXPECT_EQ(*basedirs::stateHome(), root_ / "home/.local/state");
  EXPECT_EQ(basedirs::runtimeDir(), std::nullopt);
  EXPECT_EQ(dataDir(), root_ / "home/.local/share/tovrelle");
  ::setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
  EXPECT_EQ(basedirs::runtimeDir(), root_ / "run");
}

// No data folder is an empty path, and an empty path is never written (not
// in the working folder either).
TEST_F(DataFolderTest, AnEmptyPathIsNeverWritten) {
  const fs::path cwd = fs::current_path();
  fs::current_path(root_);
  auto written = writeFileAtomically({}, "x");
  EXPECT_FALSE(written);
  EXPECT_FALSE(written.error().empty());
  fs::current_path(cwd);
  EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(DataFolderTest, ReadsAreBoundedAndOnlyOfRegularFiles) {
  const fs::path small = root_ / "small";
  std::ofstream(small) << "hello";
  EXPECT_EQ(readFileBounded(small, 5).valueOr(""), "hello");
  EXPECT_NE(readFileBounded(small, 4).error().find("too large"), std::string::npos);
  // A 100 MB file is refused without being read into memory.
  const fs::path huge = root_ / "huge";
  std::ofstream(huge).close();
  fs::resize_file(huge, 100u * 1024 * 1024);
  auto hugeRead = readFileBounded(huge, kMaxStateFileBytes);
  EXPECT_FALSE(hugeRead);
  EXPECT_EQ(hugeRead.error(), "file too large (104857600 bytes)");
  auto missing = readFileBounded(root_ / "missing", 10);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::strerror(ENOENT));
  EXPECT_EQ(readFileBounded(root_, 10).error(), "is a folder");

  // A FIFO nobody writes to would block a plain open for good.
  const fs::path fifo = root_ / "state.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(readFileBounded(fifo, 10).error(), "is a FIFO");
  EXPECT_EQ(readFileBounded("/dev/zero", 10).error(), "is a device");

  // A link where a plain file is expected is not followed; a picked file may be one.
  fs::create_symlink(small, root_ / "link");
  EXPECT_EQ(readFileBounded(root_ / "link", 10).error(), "is a symbolic link");
  EXPECT_EQ(readFileBounded(root_ / "link", 10, Links::follow).valueOr(""), "hello");

  // Inside a folder, neither the folder nor the file may be a link.
  fs::create_directories(root_ / "elsewhere");
  std::ofstream(root_ / "elsewhere" / "a.png") << "x";
  fs::create_directory_symlink(root_ / "elsewhere", root_ / "Images");
  EXPECT_EQ(openRegularFileIn(root_ / "Images", "a.png").error(), "Images is a symbolic link");
  auto opened = openRegularFileIn(root_ / "elsewhere", "a.png");
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_TRUE(opened->fd);
  EXPECT_EQ(opened->size, 1u);
  EXPECT_EQ(openRegularFileIn(root_, "link").error(), "is a symbolic link");
  EXPECT_EQ(openRegularFileIn(root_, "../small").error(), "not a plain file name");
  EXPECT_EQ(openRegularFile(fifo).error(), "is a FIFO");
}

// A file that cannot be replaced stays as it was, and the error names it.
TEST_F(DataFolderTest, AWriteIntoAReadOnlyFolderFailsAndKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const fs::path folder = root_ / "locked";
  fs::create_directories(folder);
  const fs::path file = folder / "images.json";
  ASSERT_TRUE(writeFileAtomically(file, "[]"));
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  errno = 0;
  auto written = writeFileAtomically(file, "[1]");
  const int code = errno;
  fs::permissions(folder, fs::perms::owner_all);
  ASSERT_FALSE(written);
  EXPECT_NE(written.error().find(file.string()), std::string::npos) << written.error();
  EXPECT_NE(written.error().find(std::strerror(EACCES)), std::string::npos) << written.error();
  // Callers classify the fault by errno.
  EXPECT_EQ(code, EACCES);
  EXPECT_EQ(readFileBounded(file, 100).valueOr(""), "[]");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// The same for any user: a replace that fails at the rename leaves what was
// there and no temporary file.
TEST_F(DataFolderTest, AFailedReplaceKeepsWhatWasThereAndNoTemporary) {
  const fs::path taken = root_ / "state.json";
  fs::create_directories(taken);
  std::ofstream(taken / "keep") << "mine";
  auto written = writeFileAtomically(taken, R"({"mode":"off"})");
  ASSERT_FALSE(written);
  EXPECT_NE(written.error().find("cannot replace " + taken.string()), std::string::npos) << written.error();
  EXPECT_EQ(readFileBounded(taken / "keep", 100).valueOr(""), "mine");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}

TEST_F(DataFolderTest, AtomicWritesReplaceWholeFilesAndLeaveNoTemporaries) {
  const fs::path file = root_ / "state.json";
  ASSERT_TRUE(writeFileAtomically(file, R"({"mode":"off"})"));
  ASSERT_TRUE(writeFileAtomically(file, R"({"mode":"camera"})", 0600));
  EXPECT_EQ(readFileBounded(file, 100).valueOr(""), R"({"mode":"camera"})");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
  auto written = writeFileAtomically(root_ / "no-such-dir" / "x", "y");
  EXPECT_FALSE(written);
  EXPECT_NE(written.error().find("no-such-dir"), std::string::npos);

  // A reader racing the writer sees the old or the new file, never a part.
  const std::string a = encodeSavedImages(std::vector<SavedImage>(50, SavedImage{Uuid::random(), "a", "A"}));
  const std::string b = encodeSavedImages(std::vector<SavedImage>(3, SavedImage{Uuid::random(), "b", "B"}));
  ASSERT_TRUE(writeFileAtomically(file, a));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      auto r = readFileBounded(file, kMaxImagesFileBytes);
      if (r && *r != a && *r != b) ++torn;
    }
  });
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(writeFileAtomically(file, i % 2 ? a : b));
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

TEST_F(DataFolderTest, APrivateFolderIsMadeOrAcceptedOnlyWhenItIsTheUsersAlone) {
  const mode_t previous = ::umask(022);
  EXPECT_TRUE(ensurePrivateFolder(root_ / "made").ok());
  ::umask(previous);
  struct stat st {};
  ASSERT_EQ(::lstat((root_ / "made").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(ensurePrivateFolder(root_ / "made").ok()) << "an existing private folder is fine";

  fs::create_directory(root_ / "open");
  ::chmod((root_ / "open").c_str(), 0750);
  EXPECT_EQ(ensurePrivateFolder(root_ / "open").error(),
            (root_ / "open").string() + " can be entered by other users (mode 0750)");
  fs::create_directory_symlink(root_ / "made", root_ / "link");
  EXPECT_EQ(ensurePrivateFolder(root_ / "link").error(), (root_ / "link").string() + " is a symbolic link");
  std::ofstream(root_ / "file") << "x";
  EXPECT_EQ(ensurePrivateFolder(root_ / "file").error(), (root_ / "file").string() + " is not a folder");
  if (::geteuid() == 0) {
    fs::create_directory(root_ / "theirs");
    ::chmod((root_ / "theirs").c_str(), 0700);
    ASSERT_EQ(::chown((root_ / "theirs").c_str(), 65534, 65534), 0);
    EXPECT_EQ(ensurePrivateFolder(root_ / "theirs").error(),
              (root_ / "theirs").string() + " belongs to another user (uid 65534)");
  }
}

TEST_F(DataFolderTest, AnEarlierLooseDataFolderIsNarrowedOnceWithoutFollowingLinks) {
  const fs::path data = root_ / "data";
  fs::create_directories(data / "Images");
  ::chmod(data.c_str(), 0755);
  ::chmod((data / "Images").c_str(), 0775);
  std::ofstream(data / "state.json") << "{}";
  ::chmod((data / "state.json").c_str(), 0644);
  std::ofstream(data / "Images" / "a.png") << "a";
  ::chmod((data / "Images" / "a.png").c_str(), 0664);
  std::ofstream(root_ / "outside") << "not ours to change";
  ::chmod((root_ / "outside").c_str(), 0644);
  fs::create_symlink(root_ / "outside", data / "Images" / "link.png");
  ::setenv(kDataDirEnv, data.c_str(), 1);

  EXPECT_EQ(makeDataFolderPrivate(), 4);
  auto mode = [](const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mode & 0777;
  };
  EXPECT_EQ(mode(data), 0700u);
  EXPECT_EQ(mode(data / "Images"), 0700u);
  EXPECT_EQ(mode(data / "state.json"), 0600u);
  EXPECT_EQ(mode(data / "Images" / "a.png"), 0600u);
  EXPECT_EQ(mode(root_ / "outside"), 0644u) << "a link is never followed";
  EXPECT_EQ(makeDataFolderPrivate(), 0) << "nothing left to narrow";
}

TEST_F(DataFolderTest, HeartbeatLivenessAtItsBoundaries) {
  ::setenv(kDataDirEnv, root_.c_str(), 1);
  const fs::path hb = heartbeatFilePath();
  EXPECT_FALSE(isHostRunning());  // missing file
  touchHeartbeat();
  EXPECT_EQ(fs::file_size(hb), 0u);
  EXPECT_TRUE(isHostRunning());

  struct stat st {};
  ASSERT_EQ(::stat(hb.c_str(), &st), 0);
  using namespace std::chrono;
  auto modified = system_clock::time_point(
      duration_cast<system_clock::duration>(seconds(st.st_mtim.tv_sec) + nanoseconds(st.st_mtim.tv_nsec)));
  EXPECT_TRUE(isHostRunningAt(hb, modified + milliseconds(2999)));
  EXPECT_FALSE(isHostRunningAt(hb, modified + milliseconds(3000)));
  EXPECT_TRUE(isHostRunningAt(hb, modified - hours(1)));  // a date in the future counts as running
}

// The app's clean quit: the heartbeat stays, dated at the epoch, so a reader
// that knows nothing but its age (an older camera service) sees it stale.
TEST_F(DataFolderTest, AHeartbeatMarkedStoppedIsStaleByItsAgeAlone) {
  ::setenv(kDataDirEnv, root_.c_str(), 1);
  const fs::path hb = heartbeatFilePath();
  markHeartbeatStopped();
  EXPECT_FALSE(fs::exists(hb)) << "a missing heartbeat is not made";

  touchHeartbeat();
  ASSERT_TRUE(isHostRunning());
  markHeartbeatStopped();
  struct stat st {};
  ASSERT_EQ(::stat(hb.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_FALSE(isHostRunning());
  EXPECT_FALSE(isHostRunningAt(hb, std::chrono::system_clock::time_point(std::chrono::seconds(3))));

  touchHeartbeat();  // the app starts again
  EXPECT_TRUE(isHostRunning());
}

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

#include "shared/CameraState.h"
#include "shared/DataFolder.h"

using namespace tovrelle;
namespace fs = std::filesystem;

class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovrelle-data-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    ::unsetenv(kDataDirEnv);
    saveEnv("HOME");
    saveEnv("XDG_DATA_HOME");
  }
  void TearDown() override {
    for (auto& [k, v] : saved_) v ? (void)::setenv(k.c_str(), v->c_str(), 1) : (void)::unsetenv(k.c_str());
    ::unsetenv(kDataDirEnv);
    fs::remove_all(root_);
  }
  void saveEnv(const char* k) {
    const char* v = std::getenv(k);
    saved_.emplace_back(k, v ? std::optional<std::string>(v) : std::nullopt);
  }
  fs::path root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(DataFolderTest, ResolvesTheGroupContainerOrTheOverride) {
  ::setenv("XDG_DATA_HOME", (root_ / "xdg").c_str(), 1);
  EXPECT_EQ(dataFolderURL(), root_ / "xdg" / "tovrelle");
  EXPECT_TRUE(fs::is_directory(dataFolderURL()));
  // An old-named folder that could not be moved stays the one in use.
  fs::create_directories(root_ / "xdg" / "Q7KX2RW9ZC.velkari.tovrelle");
  EXPECT_EQ(dataFolderURL(), root_ / "xdg" / "Q7KX2RW9ZC.velkari.tovrelle");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", (root_ / "home").c_str(), 1);
  EXPECT_EQ(stateFileURL(), root_ / "home/.local/share/tovrelle/state.json");
  ::setenv(kDataDirEnv, (root_ / "override").c_str(), 1);
  EXPECT_EQ(heartbeatFileURL(), root_ / "override" / "heartbeat");
  EXPECT_EQ(imagesFolderURL(), root_ / "override" / "Images");
  EXPECT_TRUE(fs::is_directory(root_ / "override" / "Images"));
  EXPECT_FALSE(fs::exists("/Users/Shared/Tovrelle") && fs::exists(root_ / "Users"));
}

TEST_F(DataFolderTest, ImageFileNamesNeverLeaveTheImagesFolder) {
  ::setenv(kDataDirEnv, root_.c_str(), 1);
  EXPECT_EQ(imageFileURL("ABC_Beach.png"), root_ / "Images" / "ABC_Beach.png");
  EXPECT_EQ(imageFileURL("..."), root_ / "Images" / "...");
  for (const char* bad : {"", ".", "..", "../state.json", "/etc/passwd", "a/b.png", "x/../../y"})
    EXPECT_FALSE(imageFileURL(bad)) << bad;
}

TEST_F(DataFolderTest, BoundedReadsRefuseWhatIsNotOurs) {
  fs::path small = root_ / "small";
  std::ofstream(small) << "hello";
  EXPECT_EQ(readFileBounded(small, 100).bytes, "hello");
  EXPECT_EQ(readFileBounded(small, 5).bytes, "hello");
  auto tooBig = readFileBounded(small, 4);
  EXPECT_FALSE(tooBig.bytes);
  EXPECT_NE(tooBig.error.find("too large"), std::string::npos);
  // A 100 MB file is refused without being read into memory.
  fs::path huge = root_ / "huge";
  { std::ofstream(huge).close(); }
  fs::resize_file(huge, 100u * 1024 * 1024);
  EXPECT_FALSE(readFileBounded(huge, kMaxStateFileBytes).bytes);
  EXPECT_FALSE(readFileBounded(root_ / "missing", 10).bytes);
  EXPECT_FALSE(readFileBounded(root_, 10).bytes);  // a folder
}

TEST_F(DataFolderTest, AtomicWritesReplaceWholeFilesAndLeaveNoTemporaries) {
  fs::path file = root_ / "state.json";
  ASSERT_TRUE(writeFileAtomically(file, R"({"mode":"off"})"));
  ASSERT_TRUE(writeFileAtomically(file, R"({"mode":"camera"})"));
  EXPECT_EQ(readFileBounded(file, 100).bytes, R"({"mode":"camera"})");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
  std::string error;
  EXPECT_FALSE(writeFileAtomically(root_ / "no-such-dir" / "x", "y", &error));
  EXPECT_NE(error.find("no-such-dir"), std::string::npos);
}

TEST_F(DataFolderTest, ReaderNeverSeesATornFile) {
  fs::path file = root_ / "images.json";
  const std::string a = encodeSavedImages(std::vector<SavedImage>(50, SavedImage{Uuid::random(), "a", "A"}));
  const std::string b = encodeSavedImages(std::vector<SavedImage>(3, SavedImage{Uuid::random(), "b", "B"}));
  ASSERT_TRUE(writeFileAtomically(file, a));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0};
  std::thread reader([&] {
    while (!done) {
      auto r = readFileBounded(file, kMaxImagesFileBytes);
      if (r.bytes && *r.bytes != a && *r.bytes != b) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(writeFileAtomically(file, i % 2 ? a : b));
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_GT(reads, 0);
}

TEST_F(DataFolderTest, HeartbeatLivenessAtItsBoundaries) {
  ::setenv(kDataDirEnv, root_.c_str(), 1);
  const fs::path hb = heartbeatFileURL();
  EXPECT_FALSE(isHostRunning());  // missing file
  touchHeartbeat();
  ASSERT_TRUE(fs::exists(hb));
  EXPECT_EQ(fs::file_size(hb), 0u);
  EXPECT_TRUE(isHostRunning());

  struct stat st {};
  ASSERT_EQ(::stat(hb.c_str(), &st), 0);
  using namespace std::chrono;
  auto modified = system_clock::time_point(duration_cast<system_clock::duration>(
      seconds(st.st_mtim.tv_sec) + nanoseconds(st.st_mtim.tv_nsec)));
  EXPECT_TRUE(isHostRunningAt(hb, modified + milliseconds(2999)));
  EXPECT_FALSE(isHostRunningAt(hb, modified + milliseconds(3000)));
  EXPECT_FALSE(isHostRunningAt(hb, modified + seconds(60)));
  EXPECT_TRUE(isHostRunningAt(hb, modified - hours(1)));  // a date in the future counts as running

  // Touching again moves the date forward and keeps the file empty.
  timespec old[2] = {{0, UTIME_OMIT}, {st.st_mtim.tv_sec - 10, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, hb.c_str(), old, 0), 0);
  EXPECT_FALSE(isHostRunning());
  touchHeartbeat();
  EXPECT_TRUE(isHostRunning());
  EXPECT_EQ(fs::file_size(hb), 0u);
}

#include <fcntl.h>

#include "tests/model/ModelFixture.h"

namespace tovrelle::test {
namespace {

using namespace std::chrono_literals;
using Problem = CameraManager::DataFolderProblem;

const Uuid kImageA = *Uuid::parse("0F1E2D3C-4B5A-4697-8877-665544332211");
const Uuid kImageB = *Uuid::parse("A1B2C3D4-E5F6-4788-99AA-BBCCDDEEFF00");

class CameraManagerTest : public ModelFixture {
 protected:
  std::string state() { return readFile(data_ / "state.json").value_or("<missing>"); }

  // Puts a library on disk before the image manager loads it.
  std::vector<SavedImage> seedLibrary(int count) {
    std::vector<SavedImage> list;
    for (int i = 0; i < count; ++i)
      list.push_back({Uuid::random(), "image" + std::to_string(i), "F" + std::to_string(i)});
    writeFile(data_ / "images.json", encodeSavedImages(list));
    return list;
  }

  static void setOldMtime(const fs::path& path) {
    timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};  // 2001
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  static bool isFresh(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && std::abs(st.st_mtim.tv_sec - std::time(nullptr)) <= 5;
  }
};

// --- Creation -------------------------------------------------------------

TEST_F(CameraManagerTest, FirstLaunchStartsOffAndWritesTheCanonicalState) {
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  EXPECT_FALSE(camera().lastSelectedImageId());
  EXPECT_FALSE(camera().dataFolderProblem());
  EXPECT_EQ(state(), R"({"mode":"off"})");
  EXPECT_EQ(takeLines(), std::vector<std::string>{"CameraManager: wrote state mode=off image=nil camera=nil"});
  // The heartbeat exists from creation on, empty, with a fresh date.
  EXPECT_EQ(fs::file_size(data_ / "heartbeat"), 0u);
  EXPECT_TRUE(isHostRunning());
  EXPECT_FALSE(fs::exists(data_ / "images.json"));
  EXPECT_FALSE(storedDefault("lastSelectedImageId"));
}

TEST_F(CameraManagerTest, RestoresTheStateAndRewritesItAtEveryStart) {
  writeFile(data_ / "state.json",
            R"({"mode":"image","selectedImageId":"0f1e2d3c-4b5a-4697-8877-665544332211","selectedCameraId":"usb 1"})");
  const ino_t before = inodeOf(data_ / "state.json");
  camera();
  EXPECT_EQ(camera().currentMode(), CameraMode::image);
  EXPECT_EQ(camera().selectedImageId(), kImageA);
  EXPECT_EQ(camera().selectedCameraId(), "usb 1");
  EXPECT_EQ(camera().lastSelectedImageId(), kImageA);
  EXPECT_EQ(state(), encodeCameraState({CameraMode::image, kImageA, "usb 1"}));
  EXPECT_NE(inodeOf(data_ / "state.json"), before);
  // The restored id is remembered in memory only.
  EXPECT_FALSE(storedDefault("lastSelectedImageId"));

  // Only image mode restores the last image.
  camera_.reset();
  writeFile(data_ / "state.json", R"({"mode":"camera"})");
  EXPECT_FALSE(camera().lastSelectedImageId());

  // An unusable file leaves the defaults, silently.
  for (const std::string bytes : {R"({"mode":"video"})", R"({"mode":"ima)"}) {
    camera_.reset();
    writeFile(data_ / "state.json", bytes);
    takeLines();
    EXPECT_EQ(camera().currentMode(), CameraMode::off) << bytes;
    EXPECT_EQ(state(), R"({"mode":"off"})");
    EXPECT_EQ(takeLines(), std::vector<std::string>{"CameraManager: wrote state mode=off image=nil camera=nil"});
  }
}

TEST_F(CameraManagerTest, LastSelectedImageComesFromTheSettings) {
  settings().setValue("lastSelectedImageId", QString::fromStdString(kImageB.toString()));
  EXPECT_EQ(camera().lastSelectedImageId(), kImageB);
  camera_.reset();

  settings().setValue("lastSelectedImageId", "yesterday's picture");
  EXPECT_FALSE(camera().lastSelectedImageId());
  EXPECT_EQ(storedDefault("lastSelectedImageId"), "yesterday's picture") << "creation never writes the defaults";
}

// --- Operations -----------------------------------------------------------

TEST_F(CameraManagerTest, EachOperationPublishesBeforeChangingThenWritesOnce) {
  camera().setSelectedCameraId("cam-7");
  camera().selectImage(kImageA);
  takeLines();
  std::vector<std::string> events;
  observe(events);

  camera().turnOn();
  const std::string a = kImageA.toString();
  EXPECT_EQ(events, (std::vector<std::string>{"will mode=image", "did mode=camera", "will image=" + a, "did image=nil",
                                              "log CameraManager: wrote state mode=camera image=nil camera=cam-7"}));
  EXPECT_EQ(state(), R"({"mode":"camera","selectedCameraId":"cam-7"})");

  events.clear();
  camera().turnOff();
  EXPECT_EQ(events, (std::vector<std::string>{"will mode=camera", "did mode=off", "will image=nil", "did image=nil",
                                              "log CameraManager: wrote state mode=off image=nil camera=cam-7"}));
  EXPECT_EQ(camera().lastSelectedImageId(), kImageA) << "on and off keep the remembered image";
  EXPECT_EQ(storedDefault("lastSelectedImageId"), a);

  // An id the library does not have is written all the same.
  events.clear();
  camera().selectImage(kImageB);
  const std::string b = kImageB.toString();
  EXPECT_EQ(events,
            (std::vector<std::string>{"will mode=off", "did mode=image", "will image=nil", "did image=" + b,
                                      "log CameraManager: wrote state mode=image image=" + b + " camera=cam-7"}));
  EXPECT_EQ(state(), R"({"mode":"image","selectedImageId":")" + b + R"(","selectedCameraId":"cam-7"})");
  EXPECT_EQ(storedDefault("lastSelectedImageId"), b);

  // Repeating an operation writes and logs again.
  const ino_t first = inodeOf(data_ / "state.json");
  camera().selectImage(kImageB);
  EXPECT_NE(inodeOf(data_ / "state.json"), first);
}

// --- showLastImage ----------------------------------------------------------

TEST_F(CameraManagerTest, ShowLastImageBringsBackTheRememberedImageElseTheFirstElseNothing) {
  // An empty library: nothing happens, nothing is written.
  camera().selectImage(kImageA);
  camera().turnOff();
  std::vector<std::string> events;
  observe(events);
  takeLines();
  camera().showLastImage();
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(takeLines().empty());
  EXPECT_EQ(state(), R"({"mode":"off"})");

  // Never selected anything: the first image.
  camera_.reset();
  images_.reset();
  settings().remove("lastSelectedImageId");
  auto library = seedLibrary(3);
  camera().showLastImage();
  EXPECT_EQ(camera().selectedImageId(), library[0].id);

  camera().selectImage(library[1].id);
  camera().turnOff();
  camera().showLastImage();
  EXPECT_EQ(camera().currentMode(), CameraMode::image);
  EXPECT_EQ(camera().selectedImageId(), library[1].id);
  EXPECT_EQ(state(), encodeCameraState({CameraMode::image, library[1].id, std::nullopt}));

  // The remembered image was deleted: the first image of what is left.
  images().deleteImages({1});
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  EXPECT_EQ(camera().lastSelectedImageId(), library[1].id) << "deleting does not forget the last image";
  takeLines();
  camera().showLastImage();
  EXPECT_EQ(camera().selectedImageId(), library[0].id);
  EXPECT_EQ(countStartingWith(takeLines(), "CameraManager: wrote state"), 1);
}

// --- Heartbeat --------------------------------------------------------------

TEST_F(CameraManagerTest, HeartbeatTicksEverySecondWithoutTouchingTheState) {
  camera();
  takeLines();
  const fs::path heartbeat = data_ / "heartbeat";
  const ino_t stateInode = inodeOf(data_ / "state.json");
  setOldMtime(heartbeat);
  scheduler_.advance(900ms);
  EXPECT_FALSE(isFresh(heartbeat));
  scheduler_.advance(100ms);
  EXPECT_TRUE(isFresh(heartbeat));
  EXPECT_EQ(inodeOf(data_ / "state.json"), stateInode);
  EXPECT_TRUE(takeLines().empty());

  // Removed, the file and even the folder come back at the next tick.
  fs::remove_all(data_);
  scheduler_.advance(1s);
  EXPECT_TRUE(isHostRunning());
  EXPECT_FALSE(fs::exists(data_ / "state.json")) << "the heartbeat never writes a state that was written";

  // It stops with the manager.
  camera_.reset();
  EXPECT_EQ(mainQueue_->liveTimerCount(), 0u);
  setOldMtime(heartbeat);
  scheduler_.advance(5s);
  EXPECT_FALSE(isHostRunning());
}

TEST_F(CameraManagerTest, AQuittingAppMarksTheHeartbeatStoppedAndTouchesItNoMore) {
  camera();
  takeLines();
  const fs::path heartbeat = data_ / "heartbeat";
  ASSERT_TRUE(isHostRunning());
  camera().stopHeartbeat();
  EXPECT_FALSE(isHostRunning()) << "stopped at once, not once the date has aged";
  EXPECT_EQ(fs::last_write_time(heartbeat),
            fs::file_time_type::clock::from_sys(std::chrono::system_clock::time_point{}));
  EXPECT_EQ(takeLines(), std::vector<std::string>{"CameraManager: heartbeat marked stopped"});
  scheduler_.advance(5s);
  EXPECT_FALSE(isHostRunning()) << "no tick renews it";
  EXPECT_EQ(mainQueue_->liveTimerCount(), 0u);
  camera().stopHeartbeat();
  EXPECT_TRUE(takeLines().empty()) << "said once";
}

// --- A data folder that refuses writes ----------------------------------------

TEST_F(CameraManagerTest, AFailedWriteIsShownAndRetriedAtEveryHeartbeatUntilItSucceeds) {
  camera();
  takeLines();
  // A folder in the way of state.json: the atomic replace cannot succeed.
  fs::remove(data_ / "state.json");
  fs::create_directories(data_ / "state.json" / "blocker");
  camera().turnOn();
  EXPECT_EQ(camera().currentMode(), CameraMode::camera);
  EXPECT_EQ(camera().dataFolderProblem(), (Problem{StorageFault::other, data_, false, true}));
  for (auto& entry : fs::directory_iterator(data_))
    EXPECT_EQ(entry.path().filename().string().rfind(".state.json", 0), std::string::npos) << entry.path();

  // Retried every second, said once.
  scheduler_.advance(3s);
  auto lines = takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("CameraManager: failed to write state.json: ", 0), 0u) << lines[0];

  // Once the disk allows, the next heartbeat writes what the app shows.
  fs::remove_all(data_ / "state.json");
  scheduler_.advance(1s);
  EXPECT_EQ(state(), R"({"mode":"camera"})");
  EXPECT_FALSE(camera().dataFolderProblem());
  EXPECT_EQ(takeLines(), std::vector<std::string>{"CameraManager: wrote state mode=camera image=nil camera=nil"});
}

TEST_F(CameraManagerTest, AReadOnlyDataFolderStopsTheHeartbeatAndTheCameraFollowsOnceWritable) {
  REQUIRE_PRIVATE_MOUNTS();
  camera();
  setOldMtime(data_ / "heartbeat");
  setDataFolderReadOnly(true);
  takeLines();
  camera().turnOn();
  EXPECT_EQ(camera().dataFolderProblem(), (Problem{StorageFault::readOnly, data_, false, true}));
  scheduler_.advance(2s);
  EXPECT_FALSE(isHostRunning());
  EXPECT_EQ(camera().dataFolderProblem(), (Problem{StorageFault::readOnly, data_, true, true}));
  EXPECT_EQ(state(), R"({"mode":"off"})");
  auto lines = takeLines();
  EXPECT_EQ(lines.size(), 2u) << "one line for the state, one for the heartbeat";
  EXPECT_EQ(countStartingWith(lines, "CameraManager: cannot renew the heartbeat "), 1);

  setDataFolderReadOnly(false);
  scheduler_.advance(1s);
  EXPECT_TRUE(isHostRunning());
  EXPECT_EQ(state(), R"({"mode":"camera"})");
  EXPECT_FALSE(camera().dataFolderProblem());
}

TEST_F(CameraManagerTest, AFullDiskKeepsTheHeartbeatAndTheCameraFollowsOnceThereIsRoom) {
  REQUIRE_PRIVATE_MOUNTS();
  putDataFolderOnSmallDisk(64 * 1024);
  camera();
  const fs::path filler = fillDataFolder();
  camera().selectImage(kImageA);
  EXPECT_EQ(camera().dataFolderProblem(), (Problem{StorageFault::full, data_, false, true}));
  scheduler_.advance(1s);
  EXPECT_TRUE(isHostRunning());
  EXPECT_EQ(state(), R"({"mode":"off"})");

  fs::remove(filler);
  scheduler_.advance(1s);
  EXPECT_EQ(state(), encodeCameraState({CameraMode::image, kImageA, std::nullopt}));
  EXPECT_FALSE(camera().dataFolderProblem());
}

}  // namespace
}  // namespace tovrelle::test

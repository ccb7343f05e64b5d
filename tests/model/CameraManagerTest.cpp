#include <fcntl.h>

#include "tests/model/ModelFixture.h"

namespace tovrelle::test {
namespace {

using namespace std::chrono_literals;

const Uuid kImageA = *Uuid::parse("0F1E2D3C-4B5A-4697-8877-665544332211");
const Uuid kImageB = *Uuid::parse("A1B2C3D4-E5F6-4788-99AA-BBCCDDEEFF00");

class CameraManagerTest : public ModelFixture {
 protected:
  std::string state() { return readFile(data_ / "state.json").value_or("<missing>"); }

  // Puts a library on disk before the image manager loads it.
  std::vector<SavedImage> seedLibrary(int count) {
    std::vector<SavedImage> list;
    for (int i = 0; i < count; ++i) list.push_back({Uuid::random(), "image" + std::to_string(i), "F" + std::to_string(i)});
    writeFile(data_ / "images.json", encodeSavedImages(list));
    return list;
  }

  static timespec mtimeOf(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtim;
  }

  static void setOldMtime(const fs::path& path) {
    timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};  // 2001
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  static bool isFresh(const fs::path& path) {
    return std::abs(mtimeOf(path).tv_sec - std::time(nullptr)) <= 5;
  }
};

// --- Creation -------------------------------------------------------------

TEST_F(CameraManagerTest, FirstLaunchStartsOffAndWritesTheCanonicalState) {
  camera();
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  EXPECT_FALSE(camera().selectedImageId());
  EXPECT_FALSE(camera().selectedCameraId());
  EXPECT_FALSE(camera().lastSelectedImageId());
  EXPECT_EQ(state(), R"({"mode":"off"})");
  EXPECT_EQ(takeLines(), std::vector<std::string>{"CameraManager: wrote state mode=off image=nil camera=nil"});
  // The heartbeat exists from creation on, empty, with a fresh date.
  ASSERT_TRUE(fs::exists(data_ / "heartbeat"));
  EXPECT_EQ(fs::file_size(data_ / "heartbeat"), 0u);
  EXPECT_TRUE(isHostRunning());
  // Nothing about the library and nothing in the user defaults.
  EXPECT_FALSE(fs::exists(data_ / "images.json"));
  EXPECT_FALSE(storedDefault("lastSelectedImageId"));
}

TEST_F(CameraManagerTest, RestoresImageModeAndRewritesTheSameContent) {
  const std::string canonical = encodeCameraState({CameraMode::image, kImageA, std::nullopt});
  writeFile(data_ / "state.json", canonical);
  const ino_t before = inodeOf(data_ / "state.json");
  camera();
  EXPECT_EQ(camera().currentMode(), CameraMode::image);
  EXPECT_EQ(camera().selectedImageId(), kImageA);
  EXPECT_EQ(camera().lastSelectedImageId(), kImageA);
  EXPECT_EQ(state(), canonical);
  EXPECT_NE(inodeOf(data_ / "state.json"), before) << "state.json is written at every start";
  // The restored id is remembered in memory only.
  EXPECT_FALSE(storedDefault("lastSelectedImageId"));
  EXPECT_EQ(takeLines(), std::vector<std::string>{"CameraManager: wrote state mode=image image=" +
                                                  kImageA.toString() + " camera=nil"});
}

TEST_F(CameraManagerTest, RestoresEveryFieldAndWritesItCanonically) {
  // Lower-case id, an explicit null, key order and spacing of another writer.
  writeFile(data_ / "state.json",
            R"({ "selectedCameraId" : "usb/cam 1", "selectedImageId": null, "mode": "camera", "extra": 1 })");
  camera();
  EXPECT_EQ(camera().currentMode(), CameraMode::camera);
  EXPECT_FALSE(camera().selectedImageId());
  EXPECT_EQ(camera().selectedCameraId(), "usb/cam 1");
  EXPECT_FALSE(camera().lastSelectedImageId()) << "only image mode restores the last image";
  EXPECT_EQ(state(), R"({"mode":"camera","selectedCameraId":"usb\/cam 1"})");

  camera_.reset();
  writeFile(data_ / "state.json", R"({"mode":"image","selectedImageId":"0f1e2d3c-4b5a-4697-8877-665544332211"})");
  camera();
  EXPECT_EQ(camera().selectedImageId(), kImageA);
  EXPECT_EQ(state(), R"({"mode":"image","selectedImageId":"0F1E2D3C-4B5A-4697-8877-665544332211"})");
}

TEST_F(CameraManagerTest, AnUnusableStateFileLeavesTheDefaultsSilently) {
  const std::vector<std::string> unusable = {
      R"({"mode":"video"})",
      R"({"selectedCameraId":"x"})",
      R"({"mode":"image","selectedImageId":"not-a-uuid"})",
      R"({"mode":"ima)",
      "",
      std::string("\0\xff\xfe", 3),
      R"(["off"])",
  };
  for (const auto& bytes : unusable) {
    SCOPED_TRACE(bytes);
    camera_.reset();
    writeFile(data_ / "state.json", bytes);
    takeLines();
    camera();
    EXPECT_EQ(camera().currentMode(), CameraMode::off);
    EXPECT_FALSE(camera().selectedImageId());
    EXPECT_FALSE(camera().selectedCameraId());
    EXPECT_EQ(state(), R"({"mode":"off"})");
    EXPECT_EQ(takeLines(), std::vector<std::string>{"CameraManager: wrote state mode=off image=nil camera=nil"});
  }
  // A file far larger than any state is not read at all.
  camera_.reset();
  { std::ofstream(data_ / "state.json") << R"({"mode":"camera"})"; }
  fs::resize_file(data_ / "state.json", 50u * 1024 * 1024);
  camera();
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  EXPECT_EQ(state(), R"({"mode":"off"})");
}

TEST_F(CameraManagerTest, LastSelectedImageComesFromTheUserDefaults) {
  UserDefaults::standard().setValue("lastSelectedImageId", QString::fromStdString(kImageB.toString()));
  EXPECT_EQ(camera().lastSelectedImageId(), kImageB);
  camera_.reset();

  UserDefaults::standard().setValue("lastSelectedImageId", "a1b2c3d4-e5f6-4788-99aa-bbccddeeff00");
  EXPECT_EQ(camera().lastSelectedImageId(), kImageB);
  camera_.reset();

  UserDefaults::standard().setValue("lastSelectedImageId", "yesterday's picture");
  EXPECT_FALSE(camera().lastSelectedImageId());
  EXPECT_EQ(storedDefault("lastSelectedImageId"), "yesterday's picture") << "creation never writes the defaults";
  camera_.reset();

  // A state in image mode wins over the stored entry, in memory.
  UserDefaults::standard().setValue("lastSelectedImageId", QString::fromStdString(kImageB.toString()));
  writeFile(data_ / "state.json", encodeCameraState({CameraMode::image, kImageA, std::nullopt}));
  EXPECT_EQ(camera().lastSelectedImageId(), kImageA);
  EXPECT_EQ(storedDefault("lastSelectedImageId"), kImageB.toString());
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
  EXPECT_EQ(events, (std::vector<std::string>{
                        "will mode=image", "did mode=camera", "will image=" + a, "did image=nil",
                        "log CameraManager: wrote state mode=camera image=nil camera=cam-7"}));
  EXPECT_EQ(state(), R"({"mode":"camera","selectedCameraId":"cam-7"})");

  events.clear();
  camera().turnOff();
  EXPECT_EQ(events, (std::vector<std::string>{"will mode=camera", "did mode=off", "will image=nil", "did image=nil",
                                              "log CameraManager: wrote state mode=off image=nil camera=cam-7"}));
  EXPECT_EQ(state(), R"({"mode":"off","selectedCameraId":"cam-7"})");

  events.clear();
  camera().selectImage(kImageB);
  const std::string b = kImageB.toString();
  EXPECT_EQ(events, (std::vector<std::string>{"will mode=off", "did mode=image", "will image=nil", "did image=" + b,
                                              "log CameraManager: wrote state mode=image image=" + b + " camera=cam-7"}));
  EXPECT_EQ(state(), R"({"mode":"image","selectedImageId":")" + b + R"(","selectedCameraId":"cam-7"})");
}

TEST_F(CameraManagerTest, TheFileChangesOnlyAfterEveryValueHasBeenPublished) {
  camera();
  std::vector<std::string> seenOnDisk;
  auto snapshot = [&] { seenOnDisk.push_back(state()); };
  QObject::connect(&camera(), &CameraManager::currentModeChanged, snapshot);
  QObject::connect(&camera(), &CameraManager::selectedImageIdChanged, snapshot);
  camera().selectImage(kImageA);
  EXPECT_EQ(seenOnDisk, (std::vector<std::string>{R"({"mode":"off"})", R"({"mode":"off"})"}));
  EXPECT_EQ(state(), encodeCameraState({CameraMode::image, kImageA, std::nullopt}));
}

TEST_F(CameraManagerTest, RepeatingAnOperationWritesAndLogsAgain) {
  camera();
  takeLines();
  const ino_t first = inodeOf(data_ / "state.json");
  camera().turnOff();
  const ino_t second = inodeOf(data_ / "state.json");
  camera().turnOff();
  EXPECT_NE(first, second);
  EXPECT_NE(second, inodeOf(data_ / "state.json"));
  EXPECT_EQ(countStartingWith(takeLines(), "CameraManager: wrote state mode=off image=nil camera=nil"), 2);
}

TEST_F(CameraManagerTest, TurningOnAndOffKeepsTheCameraAndTheRememberedImage) {
  camera().setSelectedCameraId("usb-1");
  camera().selectImage(kImageA);
  camera().turnOn();
  EXPECT_EQ(camera().currentMode(), CameraMode::camera);
  EXPECT_FALSE(camera().selectedImageId());
  EXPECT_EQ(camera().selectedCameraId(), "usb-1");
  EXPECT_EQ(camera().lastSelectedImageId(), kImageA);
  camera().turnOff();
  EXPECT_EQ(camera().selectedCameraId(), "usb-1");
  EXPECT_EQ(camera().lastSelectedImageId(), kImageA);
  // The user-defaults entry survives both and is replaced only by a selection.
  EXPECT_EQ(storedDefault("lastSelectedImageId"), kImageA.toString());
  camera().selectImage(kImageB);
  EXPECT_EQ(storedDefault("lastSelectedImageId"), kImageB.toString());
}

TEST_F(CameraManagerTest, AssigningTheCameraAloneChangesNothingOnDisk) {
  std::vector<std::string> events;
  observe(events);
  takeLines();
  const ino_t before = inodeOf(data_ / "state.json");
  camera().setSelectedCameraId("usb-2");
  EXPECT_EQ(events, (std::vector<std::string>{"will camera=nil", "did camera=usb-2"}));
  EXPECT_EQ(state(), R"({"mode":"off"})");
  EXPECT_EQ(inodeOf(data_ / "state.json"), before);
  EXPECT_TRUE(takeLines().empty());
  camera().writeState();
  EXPECT_EQ(state(), R"({"mode":"off","selectedCameraId":"usb-2"})");
  // The default-camera entry is no camera at all.
  camera().setSelectedCameraId(std::nullopt);
  camera().writeState();
  EXPECT_EQ(state(), R"({"mode":"off"})");
}

TEST_F(CameraManagerTest, SelectingAnImageTheLibraryLacksStillWritesIt) {
  images();
  camera().selectImage(kImageA);
  EXPECT_EQ(state(), encodeCameraState({CameraMode::image, kImageA, std::nullopt}));
}

TEST_F(CameraManagerTest, AFailedWriteIsLoggedAndTheValuesKeepTheirChange) {
  camera();
  takeLines();
  // A folder in the way of state.json: the atomic replace cannot succeed.
  fs::remove(data_ / "state.json");
  fs::create_directories(data_ / "state.json" / "blocker");
  camera().turnOn();
  EXPECT_EQ(camera().currentMode(), CameraMode::camera);
  auto lines = takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("CameraManager: failed to write state.json: ", 0), 0u) << lines[0];
  // No temporary is left behind, and the next operation writes again.
  for (auto& entry : fs::directory_iterator(data_))
    EXPECT_EQ(entry.path().filename().string().rfind(".state.json", 0), std::string::npos) << entry.path();
  fs::remove_all(data_ / "state.json");
  camera().turnOff();
  EXPECT_EQ(state(), R"({"mode":"off"})");
}

// --- showLastImage ----------------------------------------------------------

TEST_F(CameraManagerTest, ShowLastImageChoosesFromTheLibrary) {
  // Empty library: nothing happens at all.
  camera().selectImage(kImageA);
  camera().turnOff();
  std::vector<std::string> events;
  observe(events);
  takeLines();
  camera().showLastImage();
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(takeLines().empty());
  EXPECT_EQ(state(), R"({"mode":"off"})");
}

TEST_F(CameraManagerTest, ShowLastImageBringsBackTheRememberedImage) {
  auto library = seedLibrary(3);
  camera().selectImage(library[1].id);
  camera().turnOff();
  camera().showLastImage();
  EXPECT_EQ(camera().currentMode(), CameraMode::image);
  EXPECT_EQ(camera().selectedImageId(), library[1].id);
  EXPECT_EQ(state(), encodeCameraState({CameraMode::image, library[1].id, std::nullopt}));
  EXPECT_EQ(storedDefault("lastSelectedImageId"), library[1].id.toString());
}

TEST_F(CameraManagerTest, ShowLastImageFallsBackToTheFirstImage) {
  auto library = seedLibrary(3);
  // Never selected anything: the first image.
  camera().showLastImage();
  EXPECT_EQ(camera().selectedImageId(), library[0].id);
  EXPECT_EQ(camera().lastSelectedImageId(), library[0].id);

  // The remembered image was deleted: the first image of what is left.
  camera().selectImage(library[2].id);
  images().deleteImages({2});
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  EXPECT_EQ(camera().lastSelectedImageId(), library[2].id) << "deleting does not forget the last image";
  takeLines();
  camera().showLastImage();
  EXPECT_EQ(camera().selectedImageId(), library[0].id);
  EXPECT_EQ(countStartingWith(takeLines(), "CameraManager: wrote state"), 1);

  // A remembered id from the defaults that the library never had.
  camera_.reset();
  UserDefaults::standard().setValue("lastSelectedImageId", QString::fromStdString(kImageB.toString()));
  camera().showLastImage();
  EXPECT_EQ(camera().selectedImageId(), library[0].id);
}

// --- Heartbeat --------------------------------------------------------------

TEST_F(CameraManagerTest, HeartbeatTicksEverySecondWithoutTouchingTheState) {
  camera();
  takeLines();
  const fs::path heartbeat = data_ / "heartbeat";
  const ino_t stateInode = inodeOf(data_ / "state.json");
  EXPECT_EQ(mainQueue_->liveTimerCount(), 1u);

  setOldMtime(heartbeat);
  scheduler_.advance(900ms);
  EXPECT_FALSE(isFresh(heartbeat));
  scheduler_.advance(100ms);
  EXPECT_TRUE(isFresh(heartbeat));

  for (int tick = 0; tick < 3; ++tick) {
    setOldMtime(heartbeat);
    scheduler_.advance(1s);
    EXPECT_TRUE(isFresh(heartbeat)) << tick;
  }
  EXPECT_EQ(fs::file_size(heartbeat), 0u);
  EXPECT_EQ(inodeOf(data_ / "state.json"), stateInode);
  EXPECT_TRUE(takeLines().empty());
}

TEST_F(CameraManagerTest, HeartbeatComesBackAfterItsFileOrFolderIsRemoved) {
  camera();
  fs::remove(data_ / "heartbeat");
  EXPECT_FALSE(isHostRunning());
  scheduler_.advance(1s);
  EXPECT_TRUE(isHostRunning());
  EXPECT_EQ(fs::file_size(data_ / "heartbeat"), 0u);

  fs::remove_all(data_);
  scheduler_.advance(1s);
  EXPECT_TRUE(isHostRunning());
  EXPECT_FALSE(fs::exists(data_ / "state.json")) << "the heartbeat never writes the state";
}

TEST_F(CameraManagerTest, HeartbeatStopsWithTheManager) {
  camera();
  camera_.reset();
  EXPECT_EQ(mainQueue_->liveTimerCount(), 0u);
  setOldMtime(data_ / "heartbeat");
  scheduler_.advance(5s);
  EXPECT_FALSE(isFresh(data_ / "heartbeat"));
  EXPECT_FALSE(isHostRunning());
}

}  // namespace
}  // namespace tovrelle::test

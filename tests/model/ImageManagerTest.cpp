#include <QCoreApplication>
#include <QThread>

#include <sys/stat.h>
#include <atomic>
#include <regex>
#include <thread>

#include "platform/dispatch/QtMainQueue.h"
#include "tests/model/ModelFixture.h"

namespace tovrelle::test {
namespace {

using Failure = ImageManager::Failure;
using Reason = Failure::Reason;

class ImageManagerTest : public ModelFixture {
 protected:
  fs::path library() const { return data_ / "images.json"; }
  fs::path imagesFolder() const { return data_ / "Images"; }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (auto& image : images_->savedImages()) out.push_back(image.name);
    return out;
  }

  // What a reader of images.json finds, decoded.
  std::vector<SavedImage> onDisk() const {
    auto bytes = readFile(library());
    if (!bytes) return {};
    return decodeSavedImages(*bytes).valueOr({});
  }

  // Adds files named A.png, B.png, ... and returns the list.
  const std::vector<SavedImage>& addLettered(int count) {
    for (int i = 0; i < count; ++i) {
      std::string letter(1, static_cast<char>('A' + i));
      images().addImage(pickedFile(letter + ".png", "bytes of " + letter));
    }
    return images().savedImages();
  }

  std::vector<std::string> filesIn(const fs::path& folder) const {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto& entry : fs::directory_iterator(folder, ec)) out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  std::vector<std::string> rescuedFiles() const {
    std::vector<std::string> out;
    for (auto& name : filesIn(data_))
      if (name.rfind("images.json.unreadable-", 0) == 0) out.push_back(name);
    return out;
  }
};

// --- Loading ----------------------------------------------------------------

TEST_F(ImageManagerTest, NoLibraryFileIsAFirstRunAndALibraryLoadsInItsOrder) {
  EXPECT_TRUE(images().savedImages().empty());
  EXPECT_EQ(takeLines(),
            std::vector<std::string>{"ImageManager: no images.json at " + library().string() + " (first run?)"});
  EXPECT_FALSE(fs::exists(library())) << "loading never writes";
  images().addImage(pickedFile("First.png"));
  EXPECT_EQ(onDisk().size(), 1u);
  EXPECT_TRUE(rescuedFiles().empty()) << "there was nothing to keep";

  std::vector<SavedImage> list = {{Uuid::random(), "Beach", "X_Beach.png"}, {Uuid::random(), "Cat", "Y_Cat.gif"}};
  writeFile(library(), encodeSavedImages(list));
  images_.reset();
  takeLines();
  EXPECT_EQ(images().savedImages(), list);
  EXPECT_EQ(takeLines(), std::vector<std::string>{"ImageManager: loaded 2 images from " + library().string()});
}

// --- Adding -----------------------------------------------------------------

TEST_F(ImageManagerTest, AddingCopiesTheFileUnderANewNameAndListsIt) {
  const std::string bytes = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300000, '\x5a') + std::string(1, '\0');
  const fs::path picked = pickedFile("Photo.JPG", bytes);
  images();
  takeLines();
  std::vector<std::string> events;
  observe(events);
  images().addImage(picked);

  ASSERT_EQ(images().savedImages().size(), 1u);
  const SavedImage& entry = images().savedImages()[0];
  EXPECT_EQ(entry.name, "Photo");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      entry.fileName, match, std::regex("([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})_Photo\\.JPG")))
      << entry.fileName;
  EXPECT_NE(*Uuid::parse(match[1].str()), entry.id) << "the entry's id is a second, independent UUID";

  const fs::path copy = imagesFolder() / entry.fileName;
  EXPECT_EQ(readFile(copy), bytes);
  EXPECT_EQ(readFile(picked), bytes) << "the picked file stays as it was";
  EXPECT_EQ(readFile(library()), encodeSavedImages(images().savedImages()));

  const std::string json = encodeSavedImages(images().savedImages());
  EXPECT_EQ(events, (std::vector<std::string>{"will images=0", "did images=1",
                                              "log ImageManager: copied " + picked.string() + " -> " + copy.string() +
                                                  ", savedImages count=1",
                                              "log ImageManager: wrote images.json (1 entries, " +
                                                  std::to_string(json.size()) + " bytes) to " + library().string()}));
}

TEST_F(ImageManagerTest, APictureAddedUnderALooseUmaskIsTheUsersAlone) {
  const mode_t previous = ::umask(022);
  const fs::path picked = pickedFile("Private.png", "private bytes");
  ::chmod(picked.c_str(), 0600);
  images().addImage(picked);
  ::umask(previous);
  ASSERT_EQ(images().savedImages().size(), 1u);
  struct stat st {};
  ASSERT_EQ(::stat((imagesFolder() / images().savedImages()[0].fileName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(imagesFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(library().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ImageManagerTest, LeftoversGoOnlyWhileTheListWasReadAndOnlyTheLibrarysOwnNames) {
  addLettered(1);
  const std::string listed = images().savedImages()[0].fileName;
  const std::string unlisted = "7C4A9D36-2B8E-4F51-9A0C-6E2D1B3F5A87_left.png";
  std::ofstream(imagesFolder() / unlisted) << "left by an interrupted add";
  std::ofstream(imagesFolder() / ".adding-7C4A9D36-2B8E-4F51-9A0C-6E2D1B3F5A87") << "cut short";
  std::ofstream(imagesFolder() / "put-there-by-hand.png") << "not the library's name";
  std::ofstream(data_ / ".images.json.Ab12Cd") << "[";

  // An unreadable list: nothing counts as unlisted, only the temporaries go.
  const std::string list = *readFile(library());
  std::ofstream(library()) << "not a list";
  images_.reset();
  takeLines();
  images().removeLeftovers();
  auto sorted = [](std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(filesIn(imagesFolder()), sorted({unlisted, listed, "put-there-by-hand.png"}));
  EXPECT_EQ(takeLines().back(), "ImageManager: removed 2 files an interrupted change left in " + data_.string());

  std::ofstream(library()) << list;
  images_.reset();
  takeLines();
  images().removeLeftovers();
  EXPECT_EQ(filesIn(imagesFolder()), sorted({listed, "put-there-by-hand.png"}));
  EXPECT_EQ(takeLines().back(), "ImageManager: removed 1 files an interrupted change left in " + data_.string());
  EXPECT_EQ(filesIn(data_), (std::vector<std::string>{"Images", "images.json"}));
}

TEST_F(ImageManagerTest, NamesDropOnlyTheLastExtension) {
  const std::vector<std::pair<std::string, std::string>> cases = {{"my.holiday.gif", "my.holiday"},
                                                                  {"noext", "noext"},
                                                                  {"Café 夏.png", "Café 夏"},
                                                                  {"a \"quoted\".png", "a \"quoted\""}};
  for (auto& [file, name] : cases) images().addImage(pickedFile(file));
  ASSERT_EQ(images().savedImages().size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(images().savedImages()[i].name, cases[i].second);
    EXPECT_EQ(images().savedImages()[i].fileName.substr(37), cases[i].first);
  }
  EXPECT_EQ(onDisk(), images().savedImages());
}

TEST_F(ImageManagerTest, AddingTheSameFileTwiceMakesTwoEntriesAndTwoCopies) {
  const fs::path picked = pickedFile("Beach.png");
  images().addImage(picked);
  images().addImage(picked);
  const auto& list = images().savedImages();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_NE(list[0].id, list[1].id);
  EXPECT_EQ(list[0].name, list[1].name);
  EXPECT_EQ(filesIn(imagesFolder()).size(), 2u) << "each entry has its own copy";
  EXPECT_EQ(onDisk(), list);
}

TEST_F(ImageManagerTest, AFileThatCannotBeAddedIsLoggedOnceAndReportedWithItsReason) {
  images();
  auto expectRefused = [&](const fs::path& from, Reason reason, const std::string& mentioned) {
    SCOPED_TRACE(from.string());
    takeLines();
    images().addImage(from);
    auto lines = takeLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ImageManager: 画像のコピーに失敗: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(mentioned), std::string::npos) << lines[0];
    EXPECT_TRUE(images().savedImages().empty());
    EXPECT_FALSE(fs::exists(library()));
    ASSERT_TRUE(images().lastFailure());
    EXPECT_EQ(*images().lastFailure(), (Failure{Failure::Operation::add, reason, from.filename().string()}));
  };

  expectRefused(root_ / "picked" / "gone.png", Reason::unreadable, "gone.png");
  fs::create_directories(root_ / "folder.png");
  expectRefused(root_ / "folder.png", Reason::notAFile, "folder.png");
  // A FIFO nobody writes to is refused at once instead of blocking the window.
  ASSERT_EQ(::mkfifo((root_ / "pipe.png").c_str(), 0600), 0);
  expectRefused(root_ / "pipe.png", Reason::notAFile, "not a regular file");
  expectRefused("/dev/zero", Reason::notAFile, "not a regular file");
  // A picture file far beyond any real image is refused before copying.
  const fs::path huge = pickedFile("huge.png");
  fs::resize_file(huge, ImageManager::kMaxImageFileBytes + 1);
  expectRefused(huge, Reason::tooLarge, "too large");
  // A name the file system takes, but not behind the copy's UUID.
  expectRefused(pickedFile(std::string(230, 'n') + ".png"), Reason::nameTooLong, "too long");
  EXPECT_TRUE(filesIn(imagesFolder()).empty()) << "no partial copy is left";

  // The Images folder cannot be made (a file is in its way).
  fs::remove_all(imagesFolder());
  writeFile(imagesFolder(), "not a folder");
  expectRefused(pickedFile("Fine.png"), Reason::other, "Images");
  EXPECT_EQ(readFile(imagesFolder()), "not a folder");

  // The next add that works clears the report.
  fs::remove(imagesFolder());
  images().addImage(pickedFile("Fine.png"));
  EXPECT_FALSE(images().lastFailure());
}

TEST_F(ImageManagerTest, AReadOnlyOrFullDataFolderIsReportedForAddsAndSaves) {
  REQUIRE_PRIVATE_MOUNTS();
  putDataFolderOnSmallDisk(256 * 1024);
  addLettered(1);
  const fs::path filler = fillDataFolder();
  images().addImage(pickedFile("Big.png", std::string(8192, 'b')));
  ASSERT_TRUE(images().lastFailure());
  EXPECT_EQ(images().lastFailure()->reason, Reason::full);
  EXPECT_EQ(images().savedImages().size(), 1u);
  EXPECT_EQ(filesIn(imagesFolder()).size(), 1u) << "the partial copy is removed";
  fs::remove(filler);

  setDataFolderReadOnly(true);
  images().renameImage(images().savedImages()[0].id, "Renamed");
  EXPECT_EQ(images().lastFailure(), (Failure{Failure::Operation::save, Reason::readOnly, {}}));
  images().addImage(pickedFile("B.png"));
  EXPECT_EQ(images().lastFailure(), (Failure{Failure::Operation::add, Reason::readOnly, "B.png"}));
  images().dismissFailure();
  EXPECT_FALSE(images().lastFailure());
}

TEST_F(ImageManagerTest, AddingFromAnotherThreadChangesTheListOnTheMainThread) {
  ImageManager manager({std::make_shared<dispatch::QtMainQueue>(), [this]() -> CameraManager& { return camera(); }});
  const fs::path picked = pickedFile("Worker.png");
  QThread* changedOn = nullptr;
  QObject::connect(&manager, &ImageManager::savedImagesChanged, [&] { changedOn = QThread::currentThread(); });
  std::atomic<bool> done{false};
  std::thread worker([&] {
    manager.addImage(picked);
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  worker.join();
  EXPECT_EQ(changedOn, QCoreApplication::instance()->thread());
  ASSERT_EQ(manager.savedImages().size(), 1u);
  EXPECT_EQ(onDisk(), manager.savedImages());
}

// --- Renaming ---------------------------------------------------------------

TEST_F(ImageManagerTest, RenamingStoresTheNameAsGivenAndAnUnknownIdChangesNothing) {
  addLettered(2);
  const auto before = images().savedImages();
  images().renameImage(before[1].id, "");
  EXPECT_EQ(names(), (std::vector<std::string>{"A", ""}));
  images().renameImage(before[0].id, "  Sun / \"Sea\"\n");
  EXPECT_EQ(onDisk()[0].name, "  Sun / \"Sea\"\n");
  // Only the entry changes, never the file on disk.
  EXPECT_EQ(images().savedImages()[0].fileName, before[0].fileName);
  EXPECT_TRUE(fs::exists(imagesFolder() / before[0].fileName));

  const ino_t written = inodeOf(library());
  std::vector<std::string> events;
  observe(events);
  images().renameImage(Uuid::random(), "Other");
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(inodeOf(library()), written);
}

// --- Moving -----------------------------------------------------------------

TEST_F(ImageManagerTest, MovingFollowsTheListsOffsetRules) {
  struct Case {
    IndexSet from;
    size_t to;
    std::string expected;
  };
  // Destinations count positions before the move. (Single rows to the top,
  // down a row and to the end are dragged in the images tab's tests.)
  const std::vector<Case> cases = {
      {{0, 4}, 2, "BAECD"},
      {{1, 2}, 3, "ABCDE"},  // before the row after them: no change
      {{4}, 4, "ABCDE"},     // before itself
      {{2}, 9, "ABDEC"},     // past the end counts as the end
  };
  addLettered(5);
  const auto original = images().savedImages();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    writeFile(library(), encodeSavedImages(original));
    images_.reset();
    images();
    takeLines();
    images().moveImages(c.from, c.to);
    std::string order;
    for (auto& image : images().savedImages()) order += image.name;
    EXPECT_EQ(order, c.expected);
    EXPECT_EQ(onDisk(), images().savedImages());
    EXPECT_EQ(countStartingWith(takeLines(), "ImageManager: wrote images.json (5 entries"), 1);
  }
}

// --- Deleting ---------------------------------------------------------------

TEST_F(ImageManagerTest, DeletingSeveralRemovesExactlyTheirFilesAndWritesOnce) {
  const auto list = addLettered(4);
  fs::remove(imagesFolder() / list[2].fileName);  // already gone: the entry goes anyway
  camera();
  takeLines();
  images().deleteImages({0, 2, 7});
  EXPECT_EQ(names(), (std::vector<std::string>{"B", "D"}));
  auto expected = std::vector<std::string>{list[1].fileName, list[3].fileName};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(filesIn(imagesFolder()), expected);
  EXPECT_EQ(onDisk(), images().savedImages());
  auto lines = takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(countStartingWith(lines, "ImageManager: wrote images.json (2 entries"), 1);
}

TEST_F(ImageManagerTest, DeletingNeverRemovesFilesOutsideTheImagesFolder) {
  writeFile(data_ / "state.json", R"({"mode":"off"})");
  writeFile(root_ / "precious.png", "keep me");
  writeFile(library(), encodeSavedImages({{Uuid::random(), "evil", "../state.json"},
                                          {Uuid::random(), "worse", (root_ / "precious.png").string()},
                                          {Uuid::random(), "dots", ".."}}));
  images().deleteImages({0, 1, 2});
  EXPECT_TRUE(images().savedImages().empty());
  EXPECT_TRUE(fs::exists(data_ / "state.json"));
  EXPECT_EQ(readFile(root_ / "precious.png"), "keep me");
}

TEST_F(ImageManagerTest, DeletingTheShownImageTurnsTheCameraOff) {
  const auto list = addLettered(3);
  camera().setSelectedCameraId("usb-1");
  camera().selectImage(list[1].id);
  takeLines();
  images().deleteImages({1});
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  EXPECT_FALSE(camera().selectedImageId());
  EXPECT_EQ(camera().lastSelectedImageId(), list[1].id);
  EXPECT_EQ(readFile(data_ / "state.json"), R"({"mode":"off","selectedCameraId":"usb-1"})");
  // The library is saved first, then the camera is switched off.
  auto lines = takeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("ImageManager: wrote images.json (2 entries", 0), 0u);
  EXPECT_EQ(lines[1], "CameraManager: wrote state mode=off image=nil camera=usb-1");
}

TEST_F(ImageManagerTest, DeletingAnotherImageLeavesTheModeAlone) {
  const auto list = addLettered(3);
  camera().selectImage(list[0].id);
  const ino_t shown = inodeOf(data_ / "state.json");
  images().deleteImages({1, 2});
  EXPECT_EQ(camera().currentMode(), CameraMode::image);
  EXPECT_EQ(camera().selectedImageId(), list[0].id);
  EXPECT_EQ(inodeOf(data_ / "state.json"), shown);
}

// --- The unusable library file ------------------------------------------------

TEST_F(ImageManagerTest, AnUndecodableLibraryIsKeptAsideBeforeTheFirstSave) {
  const auto kept = addLettered(2);
  const std::string corrupt = encodeSavedImages(kept).substr(0, 90);  // cut off mid-entry
  writeFile(library(), corrupt);
  images_.reset();
  takeLines();

  EXPECT_TRUE(images().savedImages().empty());
  auto lines = takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("ImageManager: failed to decode images.json: ", 0), 0u) << lines[0];
  EXPECT_EQ(readFile(library()), corrupt) << "starting does not touch the file";

  images().addImage(pickedFile("New.png"));
  auto rescued = rescuedFiles();
  ASSERT_EQ(rescued.size(), 1u);
  EXPECT_TRUE(std::regex_match(rescued[0], std::regex(R"(images\.json\.unreadable-\d{8}T\d{6}Z)"))) << rescued[0];
  EXPECT_EQ(readFile(data_ / rescued[0]), corrupt);
  ASSERT_EQ(onDisk().size(), 1u);
  EXPECT_EQ(onDisk()[0].name, "New");
  // The copies the old list named are still there to recover.
  for (auto& image : kept) EXPECT_TRUE(fs::exists(imagesFolder() / image.fileName)) << image.fileName;

  lines = takeLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "ImageManager: kept unreadable images.json as " + (data_ / rescued[0]).string());
  EXPECT_EQ(lines[2].rfind("ImageManager: wrote images.json (1 entries", 0), 0u);

  // Only the first save keeps the old file; later ones replace as usual.
  images().renameImage(images().savedImages()[0].id, "Renamed");
  EXPECT_EQ(rescuedFiles().size(), 1u);
  EXPECT_EQ(onDisk()[0].name, "Renamed");
}

TEST_F(ImageManagerTest, AnUnreadableLibraryIsKeptAsideTooAndAKeptFileIsNeverOverwritten) {
  // Bigger than any library we write: refused unread, so treated as unreadable.
  writeFile(library(), "first damage");
  fs::resize_file(library(), kMaxImagesFileBytes + 1);
  EXPECT_TRUE(images().savedImages().empty());
  images().moveImages({}, 0);
  EXPECT_EQ(readFile(library()), "[]");
  images_.reset();
  writeFile(library(), "second damage");
  images().deleteImages({});
  auto rescued = rescuedFiles();
  ASSERT_EQ(rescued.size(), 2u);
  std::vector<uintmax_t> sizes;
  for (auto& name : rescued) sizes.push_back(fs::file_size(data_ / name));
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<uintmax_t>{13, kMaxImagesFileBytes + 1}));
}

}  // namespace
}  // namespace tovrelle::test

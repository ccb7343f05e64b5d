// The Images tab on a real image library over a temporary data folder.
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <sys/stat.h>

#include <cstring>

#include "app/settings/ImageRow.h"
#include "app/settings/ImagesSettingsView.h"
#include "app/settings/SettingsStyle.h"
#include "app/settings/ThumbnailCache.h"
#include "tests/imaging/ImageFixtures.h"
#include "tests/settings/SettingsFixture.h"

namespace tovrelle::test {
namespace {

using settings::ImageRow;
using settings::ImagesSettingsView;
using settings::ThumbnailCache;

class ImagesTab : public SettingsFixture {
 protected:
  void TearDown() override {
    view_.reset();
    SettingsFixture::TearDown();
  }

  ImagesSettingsView& view() {
    if (!view_) {
      camera();
      view_ = std::make_unique<ImagesSettingsView>(images());
      view_->resize(600, 420);
      view_->show();
      QCoreApplication::processEvents();
    }
    return *view_;
  }

  void addPictures(const std::vector<std::string>& names) {
    const QColor colors[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
    int i = 0;
    for (const auto& name : names) images().addImage(picture(name, colors[i++ % 4]));
  }

  ImageRow& row(int n) {
    EXPECT_NE(view().rowAt(n), nullptr) << "row " << n;
    return *view().rowAt(n);
  }

  // The drag payload of `rows`, as the list makes it.
  std::unique_ptr<QMimeData> dragged(std::initializer_list<int> rows) {
    QModelIndexList indexes;
    for (int r : rows) indexes << view().model()->index(r);
    return std::unique_ptr<QMimeData>(view().model()->mimeData(indexes));
  }

  // Drops `row` at `pos` in the list's viewport, as a drag ending there does.
  void dropRow(int row, QPoint pos) {
    auto data = dragged({row});
    QDragEnterEvent enter(pos, Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view().listView()->viewport(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(pos), Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view().listView()->viewport(), &drop);
    EXPECT_TRUE(drop.isAccepted());
  }

  std::unique_ptr<ImagesSettingsView> view_;
};

TEST_F(ImagesTab, EmptyLibraryShowsTheEmptyStateAndTheFirstAddReplacesIt) {
  EXPECT_TRUE(view().emptyState()->isVisible());
  EXPECT_FALSE(view().listView()->isVisible());

  const fs::path picked = picture("Photo.PNG", Qt::red);
  int panels = 0;
  view().setOpenPanelRunner([&](QFileDialog& dialog) -> std::optional<fs::path> {
    ++panels;
    // One existing file, never a folder, never several.
    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_FALSE(dialog.testOption(QFileDialog::ShowDirsOnly));
    const QString filter = dialog.nameFilters().join(' ');
    for (const char* pattern :
         {"*.png", "*.apng", "*.jpg", "*.jpeg", "*.webp", "*.bmp", "*.tif", "*.tiff", "*.gif", "*.GIF", "*.JPG"})
      EXPECT_TRUE(filter.contains(QLatin1String(pattern))) << pattern;
    return picked;
  });
  QTest::mouseClick(view().addButton(), Qt::LeftButton);
  EXPECT_EQ(panels, 1);

  EXPECT_FALSE(view().emptyState()->isVisible());
  EXPECT_TRUE(view().listView()->isVisible());
  ASSERT_EQ(view().model()->rowCount(), 1);
  EXPECT_EQ(row(0).nameLabel()->text(), "Photo");
  const auto stored = storedLibrary();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].name, "Photo");
  // Under the name: what the picture is, never the library's internal file name.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !row(0).fileLabel()->fullText().isEmpty(); }));
  EXPECT_EQ(row(0).fileLabel()->fullText(), "PNG · 64 × 48");
  EXPECT_EQ(row(0).accessibleDescription(), "PNG · 64 × 48");
  EXPECT_TRUE(fs::exists(data_ / "Images" / stored[0].fileName));

  // Deleting the only entry brings the empty state back.
  QTest::mouseClick(row(0).deleteButton(), Qt::LeftButton);
  QCoreApplication::processEvents();
  EXPECT_TRUE(view().emptyState()->isVisible());
  EXPECT_TRUE(storedLibrary().empty());
}

TEST_F(ImagesTab, AFileThatCannotBeAddedIsToldBesideTheAddButtonUntilDismissed) {
  // A FIFO picked in the panel: refused at once, the window never waits on it.
  const fs::path fifo = root_ / "camera-roll.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  view().setOpenPanelRunner([&](QFileDialog&) -> std::optional<fs::path> { return fifo; });
  EXPECT_FALSE(view().failureMessage()->isVisible());
  const int addRight = view().addButton()->geometry().right();
  QTest::mouseClick(view().addButton(), Qt::LeftButton);
  EXPECT_TRUE(view().showsEmptyState());
  ASSERT_TRUE(view().failureMessage()->isVisible());
  const QString message = view().failureMessage()->text();
  EXPECT_TRUE(message.contains("camera-roll.png")) << message.toStdString();
  EXPECT_EQ(message, ImagesSettingsView::failureText(*images().lastFailure()));
  EXPECT_EQ(view().addButton()->geometry().right(), addRight) << "the button stays at the right end";

  auto* dismiss = view().findChild<QToolButton*>("dismissImageFailure");
  ASSERT_NE(dismiss, nullptr);
  QTest::mouseClick(dismiss, Qt::LeftButton);
  EXPECT_FALSE(view().failureMessage()->isVisible());
  EXPECT_FALSE(images().lastFailure());
}

TEST_F(ImagesTab, RenameCommitsTrimmedNamesAndBlankKeepsTheOldOne) {
  addPictures({"beach.png", "city.png"});
  ImageRow& first = row(0);
  // Double-click on the name starts editing with the current name in a focused field.
  QTest::mouseDClick(first.nameLabel(), Qt::LeftButton);
  ASSERT_TRUE(first.isEditingName());
  EXPECT_TRUE(first.nameField()->isVisible());
  EXPECT_FALSE(first.nameLabel()->isVisible());
  EXPECT_TRUE(first.saveButton()->isVisible());
  EXPECT_FALSE(first.deleteButton()->isVisible());
  EXPECT_EQ(first.nameField()->text(), "beach");
  EXPECT_EQ(first.nameField()->placeholderText(), settings::text("settings.imageName"));
  EXPECT_EQ(view().window()->focusWidget(), first.nameField());

  first.nameField()->clear();
  QTest::keyClicks(first.nameField(), "  Sunset\t ");
  QTest::keyClick(first.nameField(), Qt::Key_Return);
  EXPECT_FALSE(first.isEditingName());
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"Sunset", "city"}));
  // The same row shows the new name: a rename does not rebuild the list.
  EXPECT_EQ(view().rowAt(0), &first);
  EXPECT_EQ(first.nameLabel()->text(), "Sunset");
  EXPECT_TRUE(first.nameLabel()->isVisible());

  // The pencil, a blank name and the check: editing ends, nothing is written.
  const ino_t before = inodeOf(imagesFilePath());
  ImageRow& second = row(1);
  QTest::mouseClick(second.renameButton(), Qt::LeftButton);
  ASSERT_TRUE(second.isEditingName());
  second.setEditedName(QStringLiteral("   \n "));
  QTest::mouseClick(second.saveButton(), Qt::LeftButton);
  EXPECT_FALSE(second.isEditingName());
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"Sunset", "city"}));
  EXPECT_EQ(inodeOf(imagesFilePath()), before);
  EXPECT_EQ(second.nameLabel()->text(), "city");
}

TEST_F(ImagesTab, MissingFileShowsThePlaceholderAndPicturesShowTheirThumbnail) {
  addPictures({"red.png", "gone.png"});
  const auto stored = storedLibrary();
  ASSERT_EQ(stored.size(), 2u);
  fs::remove(data_ / "Images" / stored[1].fileName);

  view();
  ASSERT_TRUE(QTest::qWaitFor([&] {
    return view().thumbnails().state(row(0).thumbnail()->file()) == ThumbnailCache::State::Ready &&
           view().thumbnails().state(row(1).thumbnail()->file()) == ThumbnailCache::State::Failed;
  }));
  EXPECT_FALSE(row(0).thumbnail()->showsPlaceholder());
  EXPECT_TRUE(row(1).thumbnail()->showsPlaceholder());

  // What the user sees: the red picture filling its square, gray where the file is gone.
  const QImage present = row(0).thumbnail()->grab().toImage();
  const QImage missing = row(1).thumbnail()->grab().toImage();
  const QColor centre = present.pixelColor(present.width() / 2, present.height() / 2);
  EXPECT_GT(centre.red(), 200);
  EXPECT_LT(centre.green(), 60);
  const QColor corner = missing.pixelColor(missing.width() / 5, missing.height() / 5);
  EXPECT_LT(std::abs(corner.red() - corner.green()), 12);
  EXPECT_LT(std::abs(corner.green() - corner.blue()), 12);
  EXPECT_NE(corner.rgb(), present.pixelColor(present.width() / 5, present.height() / 5).rgb());
  // A file that is gone says nothing under its name; the other says what it is.
  EXPECT_EQ(row(1).fileLabel()->fullText(), "");
  EXPECT_EQ(row(0).fileLabel()->fullText(), "PNG · 64 × 48");
}

TEST_F(ImagesTab, RowsSayWhatKindOfPictureEachIs) {
  namespace fx = test::fixtures;
  fx::Gif gif;
  gif.width = 20;
  gif.height = 10;
  gif.globalPalette = {0xff0000, 0x00ff00};
  gif.frames = {fx::solidGifFrame(20, 10, 0, 10), fx::solidGifFrame(20, 10, 1, 10)};
  const fs::path animated = picture("unused.png", Qt::black).parent_path() / "wave.gif";
  fx::writeFile(animated, fx::encodeGif(gif));
  fx::Gif still = gif;
  still.frames.resize(1);
  const fs::path stillGif = animated.parent_path() / "still.gif";
  fx::writeFile(stillGif, fx::encodeGif(still));
  images().addImage(animated);
  images().addImage(stillGif);
  images().addImage(picture("photo.jpg", Qt::blue, {320, 200}, "JPEG"));
  ASSERT_TRUE(QTest::qWaitFor([&] {
    for (int i = 0; i < 3; ++i)
      if (row(i).fileLabel()->fullText().isEmpty()) return false;
    return true;
  }));
  EXPECT_EQ(row(0).fileLabel()->fullText(), "GIF · animated");
  EXPECT_EQ(row(1).fileLabel()->fullText(), "GIF · 20 × 10");
  EXPECT_EQ(row(2).fileLabel()->fullText(), "JPEG · 320 × 200");
  // Shown as the user sees it, in the row's secondary text.
  EXPECT_TRUE(row(0).fileLabel()->isVisible());
  EXPECT_EQ(row(0).fileLabel()->text(), "GIF · animated");
}

TEST_F(ImagesTab, DraggingTheThirdRowToTheTopRewritesTheLibraryInTheNewOrder) {
  addPictures({"a.png", "b.png", "c.png", "d.png"});
  auto* list = view().listView();
  const QRect top = list->visualRect(view().model()->index(0));
  ASSERT_TRUE(top.isValid());

  dropRow(2, top.topLeft() + QPoint(20, 3));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"c", "a", "b", "d"}));
  EXPECT_EQ(row(0).nameLabel()->text(), "c");
  EXPECT_EQ(row(3).nameLabel()->text(), "d");

  // Lower half of a row: after it (destination counted before the move).
  const QRect second = list->visualRect(view().model()->index(1));
  dropRow(0, QPoint(20, second.bottom() - 3));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"a", "c", "b", "d"}));

  // Below the last row: the end.
  dropRow(0, QPoint(20, list->viewport()->height() - 2));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"c", "b", "d", "a"}));

  // Dropping a row where it is changes nothing and writes nothing.
  const ino_t before = inodeOf(imagesFilePath());
  const QRect third = list->visualRect(view().model()->index(2));
  dropRow(2, QPoint(20, third.top() + 3));
  dropRow(2, QPoint(20, third.bottom() - 3));
  EXPECT_EQ(inodeOf(imagesFilePath()), before);

  // Through the model with the list's offsets, several rows at once.
  ASSERT_TRUE(view().model()->dropMimeData(dragged({1, 3}).get(), Qt::MoveAction, 0, 0, QModelIndex()));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"b", "a", "c", "d"}));
  ASSERT_TRUE(view().model()->moveRows(QModelIndex(), 0, 1, QModelIndex(), 4));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"a", "c", "d", "b"}));
  EXPECT_EQ(view().model()->rowCount(), 4);
}

TEST_F(ImagesTab, DropsFromElsewhereAreRefused) {
  addPictures({"a.png", "b.png"});
  QMimeData foreign;
  foreign.setUrls({QUrl::fromLocalFile("/tmp/x.png")});
  EXPECT_FALSE(view().model()->canDropMimeData(&foreign, Qt::MoveAction, 0, 0, QModelIndex()));
  EXPECT_FALSE(view().model()->dropMimeData(&foreign, Qt::MoveAction, 0, 0, QModelIndex()));

  // Rows of another list mean nothing here.
  settings::ImageListModel other([](const IndexSet&, size_t) { ADD_FAILURE(); });
  other.setImages(images().savedImages());
  std::unique_ptr<QMimeData> theirs(other.mimeData({other.index(1)}));
  EXPECT_FALSE(view().model()->dropMimeData(theirs.get(), Qt::MoveAction, 0, 0, QModelIndex()));

  // Positions past the end (a stale drag) are refused too.
  QMimeData stale;
  QByteArray bytes;
  QDataStream out(&bytes, QIODevice::WriteOnly);
  out << quint64(reinterpret_cast<quintptr>(view().model())) << QList<int>{7};
  stale.setData(settings::ImageListModel::kMimeType, bytes);
  EXPECT_FALSE(view().model()->dropMimeData(&stale, Qt::MoveAction, 0, 0, QModelIndex()));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ImagesTab, DeleteRemovesTheEntryAndItsFileAndTheCameraFollows) {
  addPictures({"keep.png", "shown.png", "other.png"});
  const auto stored = storedLibrary();
  ASSERT_EQ(stored.size(), 3u);
  camera().selectImage(stored[1].id);
  ASSERT_EQ(camera().currentMode(), CameraMode::image);
  QTest::mouseClick(row(1).deleteButton(), Qt::LeftButton);
  QCoreApplication::processEvents();
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"keep", "other"}));
  EXPECT_FALSE(fs::exists(data_ / "Images" / stored[1].fileName));
  EXPECT_TRUE(fs::exists(data_ / "Images" / stored[2].fileName));
  ASSERT_EQ(view().model()->rowCount(), 2);
  EXPECT_EQ(row(1).nameLabel()->text(), "other");
  // The shown image went away, so the camera is off (state.json says so).
  const auto state = decodeCameraState(readFile(stateFilePath()).value_or(""));
  ASSERT_TRUE(state);
  EXPECT_EQ(state->mode, CameraMode::off);
}

TEST_F(ImagesTab, DeleteFindsTheEntryByIdAfterTheListChanged) {
  addPictures({"a.png", "b.png", "c.png"});
  ImageRow* rowOfC = view().rowAt(2);
  const Uuid idOfC = rowOfC->savedImage().id;
  // The library changes behind the row's back (another view added and moved an entry).
  images().moveImages({2}, 0);
  images().addImage(picture("d.png", Qt::black));
  QCoreApplication::processEvents();
  for (int i = 0; i < view().model()->rowCount(); ++i)
    if (row(i).savedImage().id == idOfC) row(i).remove();
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"a", "b", "d"}));
}

TEST_F(ImagesTab, LongLibraryKeepsRowWidgetsOnlyNearView) {
  // 300 entries written the way the library stores them, files and all.
  const fs::path source = picture("tile.png", Qt::magenta, {8, 8});
  std::vector<SavedImage> list;
  fs::create_directories(data_ / "Images");
  for (int i = 0; i < 300; ++i) {
    list.push_back({Uuid::random(), "entry " + std::to_string(i), "tile" + std::to_string(i) + ".png"});
    fs::copy_file(source, data_ / "Images" / list.back().fileName);
  }
  ASSERT_TRUE(writeFileAtomically(imagesFilePath(), encodeSavedImages(list)));

  auto rowWidgets = [this] {
    return view().listView()->viewport()->findChildren<ImageRow*>(QString(), Qt::FindDirectChildrenOnly).size();
  };
  ASSERT_EQ(view().model()->rowCount(), 300);
  EXPECT_LT(rowWidgets(), 30);
  ASSERT_NE(view().rowAt(0), nullptr);
  EXPECT_EQ(view().rowAt(299), nullptr);

  // Renaming the first row, then scrolling to the end: the rows there appear,
  // the edit in progress stays.
  row(0).startEditing();
  row(0).setEditedName("kept while away");
  auto* bar = view().listView()->verticalScrollBar();
  bar->setValue(bar->maximum());
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_NE(view().rowAt(299), nullptr);
  EXPECT_EQ(view().rowAt(299)->nameLabel()->text(), "entry 299");
  EXPECT_TRUE(view().rowAt(299)->isVisible());
  EXPECT_EQ(view().rowAt(150), nullptr);
  EXPECT_LT(rowWidgets(), 32);
  ASSERT_NE(view().rowAt(0), nullptr);
  EXPECT_TRUE(view().rowAt(0)->isEditingName());

  // The visible rows load their thumbnails; the ones never shown are not decoded.
  ASSERT_TRUE(QTest::qWaitFor([&] {
    return !view().rowAt(299)->thumbnail()->showsPlaceholder() &&
           view().thumbnails().state(view().rowAt(299)->thumbnail()->file()) == ThumbnailCache::State::Ready;
  }));
  EXPECT_EQ(view().thumbnails().state(QString::fromStdString((data_ / "Images" / "tile150.png").string())),
            ThumbnailCache::State::Unknown);

  // Dragging the last row to the top still goes through one move of the library.
  bar->setValue(0);
  QCoreApplication::processEvents();
  view().model()->dropMimeData(dragged({299}).get(), Qt::MoveAction, 0, 0, QModelIndex());
  EXPECT_EQ(storedNames().front(), "entry 299");
  EXPECT_EQ(row(0).nameLabel()->text(), "entry 299");
}

TEST_F(ImagesTab, ThumbnailsFillTheSquareAndFailOnBadFiles) {
  auto thumbnail = [&](const std::string& name, int side) {
    return settings::decodeThumbnail(QString::fromStdString((root_ / name).string()), side);
  };
  // Left half red, right half blue, 200 x 100: the middle square shows both.
  QImage wide(200, 100, QImage::Format_RGB32);
  wide.fill(Qt::red);
  for (int y = 0; y < 100; ++y)
    for (int x = 100; x < 200; ++x) wide.setPixelColor(x, y, Qt::blue);
  // Every still format the panel offers decodes (WebP and TIFF need Qt's image plugins).
  for (const char* format : {"png", "jpg", "webp", "bmp", "tiff"}) {
    ASSERT_TRUE(wide.save(QString::fromStdString((root_ / "p.").string() + format), format)) << format;
    const QImage thumb = thumbnail(std::string("p.") + format, 80);
    ASSERT_EQ(thumb.size(), QSize(80, 80)) << format;
    EXPECT_GT(thumb.pixelColor(5, 40).red(), 200) << format;
    EXPECT_GT(thumb.pixelColor(75, 40).blue(), 200) << format;
  }

  // A 1-bit palette PNG (red, blue) of fine stripes, scaled down: the stripes blend, no noise.
  QImage mono(600, 300, QImage::Format_Mono);
  mono.setColorTable({qRgb(255, 0, 0), qRgb(0, 0, 255)});
  for (int y = 0; y < 300; ++y)
    for (int x = 0; x < 600; ++x) mono.setPixel(x, y, x < 300 ? 0 : (x % 2));
  ASSERT_TRUE(mono.save(QString::fromStdString((root_ / "mono.png").string()), "png"));
  const QImage thumb = thumbnail("mono.png", 80);
  ASSERT_EQ(thumb.size(), QSize(80, 80));
  for (int y = 0; y < 80; y += 7) {
    EXPECT_EQ(thumb.pixelColor(10, y).name().toStdString(), "#ff0000") << "row " << y;
    const QColor blend = thumb.pixelColor(70, y);
    EXPECT_NEAR(blend.red(), 128, 40) << "row " << y;
    EXPECT_NEAR(blend.blue(), 128, 40) << "row " << y;
    EXPECT_LT(blend.green(), 30) << "row " << y;
  }

  std::ofstream(root_ / "broken.png") << "\x89PNG\r\n\x1a\nnot really";
  EXPECT_TRUE(thumbnail("broken.png", 80).isNull());
  EXPECT_TRUE(thumbnail("absent.png", 80).isNull());
  EXPECT_TRUE(thumbnail(".", 80).isNull());

  // A phone's hundred-megapixel photo still gets its thumbnail.
  const int w = 12240, h = 8160;
  std::vector<uint8_t> line(static_cast<size_t>(w) * 3);
  for (int x = 0; x < w; ++x) line[3 * static_cast<size_t>(x) + (x < w / 2 ? 0 : 2)] = 255;  // red | blue
  fixtures::writeJpeg(root_ / "huge.jpg", w, h, [&](int, uint8_t* rgb) { std::memcpy(rgb, line.data(), line.size()); });
  const QImage huge = thumbnail("huge.jpg", 80);
  ASSERT_EQ(huge.size(), QSize(80, 80));
  EXPECT_GT(qRed(huge.pixel(10, 40)), 200);
  EXPECT_GT(qBlue(huge.pixel(70, 40)), 200);
}

}  // namespace
}  // namespace tovrelle::test

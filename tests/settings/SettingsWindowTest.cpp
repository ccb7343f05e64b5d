// The settings window: tab order, labels and icons, the fixed title, the
// General tab's slot, and pictures of the Images and About tabs.
#include <QDir>
#include <QLabel>
#include <QTest>
#include <QToolButton>

#include "app/settings/AboutSettingsView.h"
#include "app/settings/Acknowledgements.h"
#include "app/settings/ImageRow.h"
#include "app/settings/ImagesSettingsView.h"
#include "app/settings/SettingsStyle.h"
#include "app/settings/SettingsTabViewController.h"
#include "app/settings/ThumbnailCache.h"
#include "tests/settings/SettingsFixture.h"

namespace tovrelle::test {
namespace {

using settings::SettingsTabViewController;

class SettingsWindow : public SettingsFixture {
 protected:
  void TearDown() override {
    window_.reset();
    SettingsFixture::TearDown();
  }

  SettingsTabViewController& window() {
    if (!window_) {
      camera();
      window_ = std::make_unique<SettingsTabViewController>(images());
      window_->show();
      QCoreApplication::processEvents();
    }
    return *window_;
  }

  // Saves a picture of the window for a person to look at.
  static void save(const QImage& image, const char* name) {
    QDir().mkpath(QStringLiteral(TOVRELLE_SCREENSHOT_DIR));
    const QString path = QStringLiteral(TOVRELLE_SCREENSHOT_DIR "/") + QLatin1String(name);
    EXPECT_TRUE(image.save(path)) << path.toStdString();
  }

  std::unique_ptr<SettingsTabViewController> window_;
};

TEST_F(SettingsWindow, TabsInOrderWithTheirLabelsAndIcons) {
  const char* const labels[] = {"settings.tab.images", "settings.tab.general", "settings.tab.about"};
  const char* const symbols[] = {"photo.on.rectangle.angled", "gearshape", "info.circle"};
  ASSERT_EQ(SettingsTabViewController::tabs().size(), 3u);
  for (int tab = 0; tab < 3; ++tab) {
    EXPECT_STREQ(SettingsTabViewController::tabs()[tab].labelKey, labels[tab]);
    EXPECT_STREQ(SettingsTabViewController::tabs()[tab].symbol, symbols[tab]);
    QToolButton* button = window().tabButton(tab);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), settings::text(labels[tab]));
    EXPECT_EQ(button->accessibleName(), settings::text(labels[tab]));
    EXPECT_EQ(button->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    EXPECT_TRUE(button->isCheckable());
  }
  EXPECT_EQ(window().tabContent(SettingsTabViewController::Images), window().imagesView());
  EXPECT_EQ(window().tabContent(SettingsTabViewController::About), window().aboutView());
  // Buttons sit left to right in tab order.
  EXPECT_LT(window().tabButton(0)->x(), window().tabButton(1)->x());
  EXPECT_LT(window().tabButton(1)->x(), window().tabButton(2)->x());
}

TEST_F(SettingsWindow, EmptyLibraryPicture) {
  ASSERT_TRUE(window().imagesView()->showsEmptyState());
  save(window().grab().toImage(), "settings-images-empty.png");
}

TEST_F(SettingsWindow, TitleStaysTheSameOnEveryTab) {
  const QString title = settings::text("settings.windowTitle");
  EXPECT_EQ(window().windowTitle(), title);
  EXPECT_EQ(window().currentTab(), SettingsTabViewController::Images);
  EXPECT_TRUE(window().tabButton(0)->isChecked());
  for (int tab : {2, 1, 0, 2}) {
    QTest::mouseClick(window().tabButton(tab), Qt::LeftButton);
    EXPECT_EQ(window().currentTab(), tab);
    EXPECT_TRUE(window().tabButton(tab)->isChecked());
    EXPECT_TRUE(window().tabContent(tab)->isVisible());
    EXPECT_EQ(window().windowTitle(), title);
  }
}

TEST_F(SettingsWindow, SizesOfTheWindow) {
  EXPECT_EQ(SettingsTabViewController::kContentSize, QSize(600, 540));
  EXPECT_EQ(SettingsTabViewController::kMinimumContentSize, QSize(600, 460));
  EXPECT_EQ(window().minimumSize(), QSize(600, 460));
  EXPECT_EQ(window().size(), QSize(600, 540));
}

TEST_F(SettingsWindow, GeneralTabTakesItsViewWhenGiven) {
  QWidget* placeholder = window().generalContent();
  ASSERT_NE(placeholder, nullptr);
  QTest::mouseClick(window().tabButton(SettingsTabViewController::General), Qt::LeftButton);
  EXPECT_EQ(window().tabContent(SettingsTabViewController::General), placeholder);

  auto* general = new QLabel(QStringLiteral("general"));
  window().setGeneralContent(general);
  EXPECT_EQ(window().generalContent(), general);
  EXPECT_EQ(window().tabContent(SettingsTabViewController::General), general);
  EXPECT_EQ(window().currentTab(), SettingsTabViewController::General);
  EXPECT_TRUE(general->isVisible());
  EXPECT_EQ(window().tabContent(SettingsTabViewController::About), window().aboutView());
  // The tab's view is shown and hidden with the tab, so it can act on appearing.
  QTest::mouseClick(window().tabButton(SettingsTabViewController::Images), Qt::LeftButton);
  EXPECT_FALSE(general->isVisible());
}

TEST_F(SettingsWindow, PicturesOfTheImagesAndAboutTabs) {
  const QColor colours[] = {QColor(230, 80, 40), QColor(40, 150, 230), QColor(90, 190, 90)};
  images().addImage(picture("Sunrise over the bay.png", colours[0], {320, 200}));
  images().addImage(picture("Whiteboard.jpg", colours[1], {200, 320}, "JPG"));
  images().addImage(gif("Be right back.gif", colours[2], {120, 120}));
  const auto stored = storedLibrary();
  ASSERT_EQ(stored.size(), 3u);
  fs::remove(data_ / "Images" / stored[1].fileName);

  auto* view = window().imagesView();
  ASSERT_TRUE(waitUntil([&] {
    for (int i = 0; i < 3; ++i)
      if (view->thumbnails().state(view->rowAt(i)->thumbnail()->file()) <= settings::ThumbnailCache::State::Loading)
        return false;
    return true;
  }));
  QCoreApplication::processEvents();
  const QImage imagesTab = window().grab().toImage();
  save(imagesTab, "settings-images-tab.png");

  // Each thumbnail shows its picture; the missing file's shows the gray placeholder.
  for (int i = 0; i < 3; ++i) {
    auto* thumb = view->rowAt(i)->thumbnail();
    const QPoint inWindow = thumb->mapTo(&window(), QPoint(8, 8)) * imagesTab.devicePixelRatio();
    const QColor seen = imagesTab.pixelColor(inWindow);
    if (i == 1) {
      EXPECT_LT(std::abs(seen.red() - seen.blue()), 12) << "placeholder is gray";
    } else {
      EXPECT_LT(std::abs(seen.red() - colours[i].red()), 16) << i;
      EXPECT_LT(std::abs(seen.green() - colours[i].green()), 16) << i;
      EXPECT_LT(std::abs(seen.blue() - colours[i].blue()), 16) << i;
    }
  }

  // Renaming in place: the field with the name and the check button.
  view->rowAt(0)->startEditing();
  QCoreApplication::processEvents();
  EXPECT_TRUE(view->rowAt(0)->saveButton()->isVisible());
  save(window().grab().toImage(), "settings-images-editing.png");
  view->rowAt(0)->commit();

  QTest::mouseClick(window().tabButton(SettingsTabViewController::About), Qt::LeftButton);
  QCoreApplication::processEvents();
  const QImage aboutTab = window().grab().toImage();
  save(aboutTab, "settings-about-tab.png");
  // The 64-point icon is drawn where its label is.
  auto* icon = window().aboutView()->iconLabel();
  const QPoint centre = icon->mapTo(&window(), QPoint(32, 32)) * aboutTab.devicePixelRatio();
  EXPECT_NE(aboutTab.pixelColor(centre), aboutTab.pixelColor(QPoint(2, aboutTab.height() - 2)));

  // The tab as the host program shows it: the components that program links.
  auto environment = settings::AboutSettingsView::currentEnvironment();
  environment.dependencies = settings::acknowledgementsOfThisProgram();
  settings::AboutSettingsView host(environment);
  host.resize(SettingsTabViewController::kContentSize.width(), 700);
  host.show();
  QCoreApplication::processEvents();
  save(host.grab().toImage(), "settings-about-host-program.png");
  EXPECT_EQ(host.dependencyNames().size(), environment.dependencies.size());
}

}  // namespace
}  // namespace tovrelle::test

// The settings window: its tabs in order with their labels, the fixed title,
// the General tab's slot, and the keys that switch tabs and end a rename.
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include "app/settings/ImageRow.h"
#include "app/settings/ImagesSettingsView.h"
#include "app/settings/SettingsStyle.h"
#include "app/settings/SettingsTabViewController.h"
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
      window_->activateWindow();
      QCoreApplication::processEvents();
    }
    return *window_;
  }

  std::unique_ptr<SettingsTabViewController> window_;
};

TEST_F(SettingsWindow, TabsInOrderUnderOneTitleAndTheGeneralTabTakesItsView) {
  const char* const labels[] = {"settings.tab.images", "settings.tab.general", "settings.tab.about"};
  const QString title = settings::text("settings.windowTitle");
  EXPECT_EQ(window().size(), QSize(600, 540));
  EXPECT_EQ(window().minimumSize(), QSize(600, 460));
  auto* general = new QLabel(QStringLiteral("general"));
  window().setGeneralContent(general);
  for (int tab : {0, 1, 2}) {
    EXPECT_EQ(window().tabButton(tab)->text(), settings::text(labels[tab]));
    if (tab > 0) {
      EXPECT_LT(window().tabButton(tab - 1)->x(), window().tabButton(tab)->x());
    }
  }
  EXPECT_EQ(window().tabContent(SettingsTabViewController::Images), window().imagesView());
  for (int tab : {2, 1, 0, 2}) {
    QTest::mouseClick(window().tabButton(tab), Qt::LeftButton);
    EXPECT_EQ(window().currentTab(), tab);
    EXPECT_TRUE(window().tabButton(tab)->isChecked());
    EXPECT_TRUE(window().tabContent(tab)->isVisible());
    EXPECT_EQ(window().windowTitle(), title);
  }
  // The General view is shown and hidden with its tab, so it can act on appearing.
  EXPECT_FALSE(general->isVisible());
  QTest::mouseClick(window().tabButton(SettingsTabViewController::General), Qt::LeftButton);
  EXPECT_TRUE(general->isVisible());
}

TEST_F(SettingsWindow, TabKeysSwitchTabsFromAnywhereAndTheTabBarTakesFocus) {
  images().addImage(picture("Beach.png", Qt::yellow, {40, 30}));
  QWidget* inside = window().imagesView();
  auto tabAfter = [&](QWidget* target, int key, Qt::KeyboardModifiers modifiers) {
    QTest::keyClick(target, Qt::Key(key), modifiers);
    return window().currentTab();
  };
  EXPECT_EQ(tabAfter(inside, Qt::Key_Tab, Qt::ControlModifier), 1);
  EXPECT_EQ(tabAfter(window().tabContent(1), Qt::Key_PageDown, Qt::ControlModifier), 2);
  EXPECT_EQ(tabAfter(window().tabContent(2), Qt::Key_Tab, Qt::ControlModifier), 0);  // wraps around
  EXPECT_EQ(tabAfter(inside, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier), 2);
  EXPECT_EQ(tabAfter(window().tabContent(2), Qt::Key_PageUp, Qt::ControlModifier), 1);

  QToolButton* general = window().tabButton(1);
  EXPECT_EQ(general->focusPolicy(), Qt::StrongFocus);
  general->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return general->hasFocus(); }));
  EXPECT_EQ(tabAfter(general, Qt::Key_Right, Qt::NoModifier), 2);
  EXPECT_TRUE(window().tabButton(2)->hasFocus()) << "the focus moves along the bar";
  EXPECT_EQ(tabAfter(window().tabButton(2), Qt::Key_Left, Qt::NoModifier), 1);
}

TEST_F(SettingsWindow, EscGivesUpARenameAndReturnCommitsIt) {
  images().addImage(picture("Beach.png", Qt::yellow, {40, 30}));
  settings::ImageRow* row = window().imagesView()->rowAt(0);
  ASSERT_TRUE(row);
  row->startEditing();
  QTest::keyClicks(row->nameField(), "Harbour");
  QTest::keyClick(row->nameField(), Qt::Key_Escape);
  EXPECT_FALSE(row->isEditingName());
  EXPECT_EQ(storedLibrary().at(0).name, "Beach");
  EXPECT_TRUE(row->renameButton()->hasFocus());

  row->startEditing();
  QTest::keyClicks(row->nameField(), "Harbour");
  QTest::keyClick(row->nameField(), Qt::Key_Return);
  EXPECT_TRUE(waitUntil([&] { return storedLibrary().at(0).name == "Harbour"; }));
}

}  // namespace
}  // namespace tovrelle::test

#pragma once
// The settings window's content: a toolbar-style tab bar (icon above label)
// over the pages Images, General and About. The window title stays
// "settings.windowTitle" whatever tab is shown.
// Thread-bound (main thread).
#include <QSize>
#include <QWidget>
#include <vector>

class QActionGroup;
class QStackedWidget;
class QToolBar;
class QToolButton;

namespace tovrelle {
class ImageManager;
}

namespace tovrelle::settings {

class AboutSettingsView;
class ImagesSettingsView;

class SettingsTabViewController : public QWidget {
  Q_OBJECT

 public:
  enum Tab { Images = 0, General = 1, About = 2 };

  struct TabInfo {
    const char* labelKey;
    const char* iconName;
  };
  // The tabs in order.
  static const std::vector<TabInfo>& tabs();

  // Window sizes of the settings window.
  static constexpr QSize kContentSize{600, 540};
  static constexpr QSize kMinimumContentSize{600, 460};

  explicit SettingsTabViewController(ImageManager& imageManager, QWidget* parent = nullptr);

  // Puts `content` in the General tab in place of the current one (which is
  // deleted); the controller takes ownership.
  void setGeneralContent(QWidget* content);
  QWidget* generalContent() const { return general_; }

  int currentTab() const;
  void setCurrentTab(int tab);
  QWidget* tabContent(int tab) const;
  QToolButton* tabButton(int tab) const;

  ImagesSettingsView* imagesView() const { return images_; }
  AboutSettingsView* aboutView() const { return about_; }

 signals:
  void currentTabChanged(int tab);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The next (+1) or previous (-1) tab, wrapping around.
  void stepTab(int step);
  void addTab(int tab, QWidget* content);

  QToolBar* bar_;
  QActionGroup* group_;
  QStackedWidget* pages_;
  std::vector<QToolButton*> buttons_;
  ImagesSettingsView* images_;
  QWidget* general_;
  AboutSettingsView* about_;
};

}  // namespace tovrelle::settings

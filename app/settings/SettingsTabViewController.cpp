#include "app/settings/SettingsTabViewController.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QShortcut>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/model/ImageManager.h"
#include "app/settings/AboutSettingsView.h"
#include "app/settings/Icons.h"
#include "app/settings/ImagesSettingsView.h"
#include "app/settings/SettingsStyle.h"

namespace tovrelle::settings {

const std::vector<SettingsTabViewController::TabInfo>& SettingsTabViewController::tabs() {
  static const std::vector<TabInfo> list{
      {"settings.tab.images", "folder-pictures-symbolic"},
      {"settings.tab.general", "preferences-system-symbolic"},
      {"settings.tab.about", "help-about-symbolic"},
  };
  return list;
}

SettingsTabViewController::SettingsTabViewController(ImageManager& imageManager, QWidget* parent) : QWidget(parent) {
  setWindowTitle(text("settings.windowTitle"));
  setMinimumSize(kMinimumContentSize);
  resize(kContentSize);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  bar_ = new QToolBar(this);
  bar_->setMovable(false);
  bar_->setFloatable(false);
  bar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  bar_->setIconSize(QSize(24, 24));
  bar_->setAccessibleName(text("settings.windowTitle"));
  group_ = new QActionGroup(this);
  group_->setExclusive(true);
  // The tabs sit in the middle of the bar, as a preferences toolbar has them.
  auto* leading = new QWidget(bar_);
  leading->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  bar_->addWidget(leading);
  layout->addWidget(bar_);

  auto* divider = new QFrame(this);
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Sunken);
  layout->addWidget(divider);

  pages_ = new QStackedWidget(this);
  layout->addWidget(pages_, 1);

  images_ = new ImagesSettingsView(imageManager, pages_);
  // Until the General tab's own view is set, an empty page holds its place.
  general_ = new QWidget(pages_);
  about_ = new AboutSettingsView(pages_);
  addTab(Images, images_);
  addTab(General, general_);
  addTab(About, about_);

  auto* trailing = new QWidget(bar_);
  trailing->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  bar_->addWidget(trailing);

  setCurrentTab(Images);

  // The desktop's tab keys switch tabs from anywhere in the window.
  auto bind = [this](QKeySequence keys, int step) {
    auto* shortcut = new QShortcut(keys, this);
    shortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(shortcut, &QShortcut::activated, this, [this, step] { stepTab(step); });
  };
  bind(QKeySequence(Qt::CTRL | Qt::Key_Tab), +1);
  bind(QKeySequence(Qt::CTRL | Qt::Key_PageDown), +1);
  bind(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1);
  bind(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), -1);
  bind(QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1);
}

void SettingsTabViewController::stepTab(int step) {
  const int count = pages_->count();
  if (count == 0) return;
  const bool barHadFocus = std::find(buttons_.begin(), buttons_.end(), QApplication::focusWidget()) != buttons_.end();
  const int tab = ((currentTab() + step) % count + count) % count;
  setCurrentTab(tab);
  // Focus stays in the bar when the keys came from there.
  if (barHadFocus && tabButton(tab)) tabButton(tab)->setFocus(Qt::TabFocusReason);
}

bool SettingsTabViewController::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && std::find(buttons_.begin(), buttons_.end(), watched) != buttons_.end()) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() == Qt::NoModifier) {
      switch (key->key()) {
        case Qt::Key_Left: stepTab(-1); return true;
        case Qt::Key_Right: stepTab(+1); return true;
        case Qt::Key_Return:
        case Qt::Key_Enter: static_cast<QToolButton*>(watched)->click(); return true;
        default: break;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void SettingsTabViewController::addTab(int tab, QWidget* content) {
  const TabInfo& info = tabs()[static_cast<size_t>(tab)];
  auto* action =
      new QAction(icons::icon(QString::fromLatin1(info.iconName), primaryColor(*this)), text(info.labelKey), group_);
  action->setCheckable(true);
  action->setData(tab);
  bar_->addAction(action);
  auto* button = qobject_cast<QToolButton*>(bar_->widgetForAction(action));
  if (button) {
    button->setAccessibleName(text(info.labelKey));
    button->setObjectName(QString::fromLatin1(info.labelKey));
    button->setMinimumWidth(72);
    // Tabs are reachable with Tab; the arrows move between them.
    button->setFocusPolicy(Qt::StrongFocus);
    button->installEventFilter(this);
  }
  buttons_.push_back(button);
  pages_->insertWidget(tab, content);
  content->setAccessibleName(text(info.labelKey));
  connect(action, &QAction::triggered, this, [this, tab] { setCurrentTab(tab); });
}

void SettingsTabViewController::setGeneralContent(QWidget* content) {
  if (!content || content == general_) return;
  const bool showing = currentTab() == General;
  QWidget* old = general_;
  general_ = content;
  pages_->insertWidget(General, general_);
  general_->setAccessibleName(text("settings.tab.general"));
  pages_->removeWidget(old);
  old->deleteLater();
  if (showing) pages_->setCurrentWidget(general_);
}

int SettingsTabViewController::currentTab() const { return pages_->currentIndex(); }

void SettingsTabViewController::setCurrentTab(int tab) {
  if (tab < 0 || tab >= pages_->count()) return;
  const auto actions = group_->actions();
  for (QAction* action : actions) action->setChecked(action->data().toInt() == tab);
  if (pages_->currentIndex() == tab) return;
  pages_->setCurrentIndex(tab);
  // The title is the window's, not the tab's.
  setWindowTitle(text("settings.windowTitle"));
  emit currentTabChanged(tab);
}

QWidget* SettingsTabViewController::tabContent(int tab) const { return pages_->widget(tab); }

QToolButton* SettingsTabViewController::tabButton(int tab) const {
  return tab >= 0 && static_cast<size_t>(tab) < buttons_.size() ? buttons_[static_cast<size_t>(tab)] : nullptr;
}

}  // namespace tovrelle::settings

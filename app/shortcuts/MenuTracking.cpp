#include "app/shortcuts/MenuTracking.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <vector>

#include "app/shortcuts/KeyboardShortcuts.h"

namespace KeyboardShortcuts::detail {
namespace {

class MenuTracker final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::Show:
        if (auto* menu = qobject_cast<QMenu*>(watched)) {
          openMenus_.emplace_back(menu);
          update();
        }
        return false;
      case QEvent::Hide:
        if (auto* menu = qobject_cast<QMenu*>(watched)) {
          std::erase_if(openMenus_, [menu](const QPointer<QMenu>& open) { return open == menu; });
          update();
        }
        return false;
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
        if (!menuTrackingActive() || !qobject_cast<QMenu*>(watched)) return false;
        return handleKey(*static_cast<QKeyEvent*>(event));
      default:
        return false;
    }
  }

 private:
  void update() {
    std::erase_if(openMenus_, [](const QPointer<QMenu>& open) { return open.isNull() || !open->isVisible(); });
    setMenuTrackingActive(!openMenus_.empty());
  }

  bool handleKey(const QKeyEvent& event) {
    auto shortcut = Shortcut::fromKeyEvent(event);
    if (!shortcut) return false;
    if (event.isAutoRepeat()) {
      // A held shortcut fires once; its repeats must not reach the menu either.
      for (const auto& [id, hotKey] : hotKeys()) {
        if (hotKey->shortcut == *shortcut) return true;
      }
      return false;
    }
    const EventType type = event.type() == QEvent::KeyPress ? EventType::keyDown : EventType::keyUp;
    return handleRawKeyEvent(type, *shortcut);
  }

  std::vector<QPointer<QMenu>> openMenus_;
};

// Owned by the application object, which may go first.
QPointer<MenuTracker> tracker;

}  // namespace

bool installMenuTracking() {
  if (tracker) return true;
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) return false;
  tracker = new MenuTracker;
  tracker->setParent(app);
  app->installEventFilter(tracker);
  return true;
}

void removeMenuTracking() {
  delete tracker.data();
}

}  // namespace KeyboardShortcuts::detail

#include "app/shortcuts/PopupKeys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QWidget>
#include <map>
#include <vector>

#include "app/shortcuts/KeyboardShortcuts.h"

namespace KeyboardShortcuts::detail {
namespace {

// Menus and the tray panel are popups: Qt grabs the keyboard for them.
bool isPopupWindow(const QObject* object) {
  const auto* widget = qobject_cast<const QWidget*>(object);
  return widget && widget->isWindow() && widget->windowType() == Qt::Popup;
}

class PopupKeyRouter final : public QObject {
 public:
  explicit PopupKeyRouter(ShortcutRegistry& registry) : registry_(registry) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::Show:
        if (isPopupWindow(watched)) {
          openPopups_.emplace_back(static_cast<QWidget*>(watched));
          update();
        }
        return false;
      case QEvent::Hide:
        if (isPopupWindow(watched)) {
          std::erase_if(openPopups_, [watched](const QPointer<QWidget>& open) { return open == watched; });
          update();
        }
        return false;
      case QEvent::KeyPress:
      case QEvent::KeyRelease: {
        // Keys reach the popup's focused widget (a row of the panel), not the popup itself.
        const auto* widget = qobject_cast<const QWidget*>(watched);
        if (!registry_.popupOpen() || !widget || !isPopupWindow(widget->window())) return false;
        return handleKey(*static_cast<QKeyEvent*>(event));
      }
      default: return false;
    }
  }

 private:
  void update() {
    std::erase_if(openPopups_, [](const QPointer<QWidget>& open) { return open.isNull() || !open->isVisible(); });
    if (openPopups_.empty()) pressed_.clear();
    registry_.setPopupOpen(!openPopups_.empty());
  }

  bool handleKey(const QKeyEvent& event) {
    // A key whose press matched a shortcut is that shortcut's release, whatever the
    // modifiers by then (they are often let go first), as with the desktop's own grab.
    if (event.type() == QEvent::KeyRelease && !event.isAutoRepeat()) {
      if (auto held = pressed_.extract(event.nativeScanCode()))
        return registry_.handlePopupKey(EventType::keyUp, held.mapped());
    }
    auto shortcut = registry_.shortcutOf(event);
    if (!shortcut) return false;
    if (event.isAutoRepeat()) {
      // A held shortcut fires once; its repeats must not reach the popup either.
      for (const auto& [id, hotKey] : registry_.hotKeys()) {
        if (hotKey->shortcut == *shortcut) return true;
      }
      return false;
    }
    if (event.type() == QEvent::KeyRelease) return registry_.handlePopupKey(EventType::keyUp, *shortcut);
    const bool handled = registry_.handlePopupKey(EventType::keyDown, *shortcut);
    if (handled) pressed_.insert_or_assign(event.nativeScanCode(), *shortcut);
    return handled;
  }

  ShortcutRegistry& registry_;
  std::vector<QPointer<QWidget>> openPopups_;
  std::map<quint32, Shortcut> pressed_;  // by scan code
};

}  // namespace

QObject* installPopupKeys(ShortcutRegistry& registry) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) return nullptr;
  auto* router = new PopupKeyRouter(registry);
  router->setParent(app);
  app->installEventFilter(router);
  return router;
}

}  // namespace KeyboardShortcuts::detail

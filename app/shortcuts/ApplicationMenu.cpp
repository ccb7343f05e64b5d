#include "app/shortcuts/ApplicationMenu.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QPointer>
#include <QWidget>
#include <vector>

namespace KeyboardShortcuts {
namespace {

std::vector<QPointer<QWidget>>& menus() {
  static std::vector<QPointer<QWidget>> registered;
  return registered;
}

// "&Save && Quit" → "Save & Quit"
QString plainTitle(QString text) {
  QString title;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == u'&') {
      if (i + 1 < text.size() && text[i + 1] == u'&') {
        title += u'&';
        ++i;
      }
      continue;
    }
    title += text[i];
  }
  return title;
}

std::optional<QString> search(const QWidget& menu, const Shortcut& shortcut, int depth) {
  if (depth > 16) return std::nullopt;  // menus nested into themselves
  for (QAction* action : menu.actions()) {
    for (const QKeySequence& sequence : action->shortcuts()) {
      if (sequence.count() != 1) continue;
      if (Shortcut::fromKeyCombination(sequence[0]) == shortcut) return plainTitle(action->text());
    }
    if (QMenu* submenu = action->menu()) {
      if (auto title = search(*submenu, shortcut, depth + 1)) return title;
    }
  }
  return std::nullopt;
}

}  // namespace

void registerApplicationMenu(QWidget* menu) {
  if (!menu) return;
  unregisterApplicationMenu(menu);
  menus().emplace_back(menu);
}

void unregisterApplicationMenu(QWidget* menu) {
  std::erase_if(menus(), [menu](const QPointer<QWidget>& known) { return known.isNull() || known == menu; });
}

std::optional<QString> menuItemTitle(const Shortcut& shortcut) {
  for (const QPointer<QWidget>& menu : menus()) {
    if (menu.isNull()) continue;
    if (auto title = search(*menu, shortcut, 0)) return title;
  }
  return std::nullopt;
}

}  // namespace KeyboardShortcuts

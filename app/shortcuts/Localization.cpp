#include "app/shortcuts/Localization.h"

#include <QLocale>
#include <QTranslator>
#include <set>
#include <string>

#include "platform/log/Log.h"

namespace KeyboardShortcuts {
namespace {

// Where the compiled texts sit inside the program's resources.
const QString kTextsFolder = QStringLiteral(":/shortcut_texts");

QTranslator* texts() {
  static QTranslator* translator = [] {
    auto* t = new QTranslator;
    if (!t->load(QLocale(), QStringLiteral("keyboardshortcuts"), QStringLiteral("_"), kTextsFolder) &&
        !t->load(QStringLiteral("keyboardshortcuts_en"), kTextsFolder)) {
      tovrelle::log::processLog("KeyboardShortcuts: the shortcut field texts are missing from the program's resources");
    }
    return t;
  }();
  return translator;
}

}  // namespace

QString localized(const char* key) {
  QString text = texts()->translate("KeyboardShortcuts", key);
  if (!text.isEmpty()) return text;
  static std::set<std::string> reported;
  if (reported.insert(key).second) tovrelle::log::processLog("KeyboardShortcuts: no text for \"%s\"", key);
  return QString::fromUtf8(key);
}

}  // namespace KeyboardShortcuts

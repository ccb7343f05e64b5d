#include "app/shell/Strings.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include "platform/log/Log.h"

namespace tovrelle::strings {

QString resourceFolder() { return QStringLiteral(":/i18n"); }

bool install(QCoreApplication& app) {
  auto* translator = new QTranslator(&app);
  // The user's languages first; English carries the display texts of every key.
  if (!translator->load(QLocale(), QStringLiteral("tovrelle"), QStringLiteral("_"), resourceFolder()) &&
      !translator->load(QStringLiteral("tovrelle_en"), resourceFolder())) {
    log::processLog("TovrelleApp: no string table found; showing keys");
    delete translator;
    return false;
  }
  app.installTranslator(translator);
  return true;
}

}  // namespace tovrelle::strings

#include "app/model/Settings.h"

#include <QFile>
#include <QSettings>

#include "platform/log/Log.h"
#include "shared/BaseDirs.h"

namespace tovrelle {

Result<std::filesystem::path> Settings::defaultFilePath() {
  if (QByteArray env = qgetenv("TOVRELLE_SETTINGS_FILE"); !env.isEmpty())
    return std::filesystem::path(env.toStdString());
  auto config = basedirs::configHome();
  if (!config) return Unexpected{"no settings file: " + config.error()};
  return *config / "tovrelle" / "tovrelle.ini";
}

Settings::Settings(const QString& iniPath, QObject* parent)
    : QObject(parent), settings_(std::make_unique<QSettings>(iniPath, QSettings::IniFormat)) {
  existedAtOpen_ = QFile::exists(settings_->fileName());
  keepPrivate();
}

Settings::~Settings() = default;

// The settings are the user's alone. Qt keeps a file's permissions when it
// rewrites it, so this narrows a new file, or one an earlier version left wider (said in the
// log), once.
void Settings::keepPrivate() {
  const QString file = settings_->fileName();
  constexpr QFile::Permissions others =
      QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
  const QFile::Permissions permissions = QFile::permissions(file);
  if (!(permissions & others)) return;
  if (QFile::setPermissions(file, permissions & ~others) && existedAtOpen_)
    log::processLog("Settings: made the settings file %s private to you", qPrintable(file));
}

void Settings::checkWritten() {
  keepPrivate();
  bool failed = settings_->status() != QSettings::NoError;
  if (failed && writeFailed_) {
    // QSettings keeps its error for good: try again with a fresh one holding
    // every value, so a store that became writable is noticed.
    auto fresh = std::make_unique<QSettings>(settings_->fileName(), QSettings::IniFormat);
    for (const QString& key : settings_->allKeys()) fresh->setValue(key, settings_->value(key));
    fresh->sync();
    failed = fresh->status() != QSettings::NoError;
    settings_ = std::move(fresh);
  }
  if (failed == writeFailed_) return;
  writeFailed_ = failed;
  if (failed) {
    log::processLog("Settings: cannot write %s; settings last only until the app quits",
                    settings_->fileName().toUtf8().constData());
  } else {
    log::processLog("Settings: %s is written again", settings_->fileName().toUtf8().constData());
  }
  emit writeFailureChanged();
}

bool Settings::contains(const QString& key) const { return settings_->contains(key); }

QVariant Settings::object(const QString& key) const { return settings_->value(key); }

std::optional<QString> Settings::string(const QString& key) const {
  QVariant v = settings_->value(key);
  if (!v.isValid() || v.typeId() != QMetaType::QString) return std::nullopt;
  return v.toString();
}

bool Settings::boolValue(const QString& key) const {
  QVariant v = settings_->value(key);
  if (!v.isValid()) return false;
  if (v.typeId() == QMetaType::Bool) return v.toBool();
  const QString text = v.toString().trimmed().toLower();
  return text == "true" || text == "1" || text == "yes";
}

void Settings::setValue(const QString& key, const QVariant& value) {
  settings_->setValue(key, value);
  settings_->sync();
  checkWritten();
}

void Settings::remove(const QString& key) {
  settings_->remove(key);
  settings_->sync();
  checkWritten();
}

void Settings::sync() {
  settings_->sync();
  checkWritten();
}

QString Settings::fileName() const { return settings_->fileName(); }

bool isStoredFalse(const QVariant& value) {
  if (!value.isValid()) return false;
  if (value.typeId() == QMetaType::Bool) return !value.toBool();
  return value.typeId() == QMetaType::QString && value.toString() == "false";
}

}  // namespace tovrelle

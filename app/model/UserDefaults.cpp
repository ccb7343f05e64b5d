#include "app/model/UserDefaults.h"

#include <QSettings>

namespace tovrelle {
namespace {

QString defaultPath() {
  if (QByteArray env = qgetenv("TOVRELLE_SETTINGS_FILE"); !env.isEmpty()) return QString::fromLocal8Bit(env);
  return {};
}

std::unique_ptr<UserDefaults>& instance() {
  static std::unique_ptr<UserDefaults> defaults;
  return defaults;
}

}  // namespace

UserDefaults::UserDefaults(const QString& iniPath) {
  if (iniPath.isEmpty()) {
    settings_ = std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, "tovrelle", "tovrelle");
  } else {
    settings_ = std::make_unique<QSettings>(iniPath, QSettings::IniFormat);
  }
}

UserDefaults& UserDefaults::standard() {
  auto& defaults = instance();
  if (!defaults) defaults.reset(new UserDefaults(defaultPath()));
  return *defaults;
}

void UserDefaults::setStorePath(const QString& iniPath) {
  instance().reset(new UserDefaults(iniPath.isEmpty() ? defaultPath() : iniPath));
}

bool UserDefaults::contains(const QString& key) const { return settings_->contains(key); }

QVariant UserDefaults::object(const QString& key) const { return settings_->value(key); }

std::optional<QString> UserDefaults::string(const QString& key) const {
  QVariant v = settings_->value(key);
  if (!v.isValid() || v.typeId() != QMetaType::QString) return std::nullopt;
  return v.toString();
}

bool UserDefaults::boolValue(const QString& key) const {
  QVariant v = settings_->value(key);
  if (!v.isValid()) return false;
  if (v.typeId() == QMetaType::Bool) return v.toBool();
  const QString text = v.toString().trimmed().toLower();
  return text == "true" || text == "1" || text == "yes";
}

void UserDefaults::setValue(const QString& key, const QVariant& value) {
  settings_->setValue(key, value);
  settings_->sync();
}

void UserDefaults::remove(const QString& key) {
  settings_->remove(key);
  settings_->sync();
}

void UserDefaults::sync() { settings_->sync(); }

QString UserDefaults::fileName() const { return settings_->fileName(); }

bool isStoredFalse(const QVariant& value) {
  if (!value.isValid()) return false;
  if (value.typeId() == QMetaType::Bool) return !value.toBool();
  return value.typeId() == QMetaType::QString && value.toString() == "false";
}

}  // namespace tovrelle

#pragma once
// The host app's one settings store ("user defaults"): QSettings in the XDG
// config folder, keys as the rest of the app names them. Tests point it at a
// file of their own with TOVRELLE_SETTINGS_FILE or setStorePath().
#include <QObject>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

class QSettings;

namespace tovrelle {

// Tells observers that the store's writes started or stopped failing.
class UserDefaultsEvents : public QObject {
  Q_OBJECT
 signals:
  void writeFailureChanged();
};

class UserDefaults {
 public:
  static UserDefaults& standard();
  // Re-opens the store at `iniPath` (empty: the default location).
  static void setStorePath(const QString& iniPath);

  bool contains(const QString& key) const;
  // Absent keys give an invalid QVariant. Values read back from disk are
  // text: booleans come back as "true"/"false".
  QVariant object(const QString& key) const;
  std::optional<QString> string(const QString& key) const;
  bool boolValue(const QString& key) const;  // absent reads as false
  void setValue(const QString& key, const QVariant& value);
  void remove(const QString& key);
  void sync();
  QString fileName() const;

  // True while the store cannot be written (a read-only folder, a full disk,
  // a folder in the file's place): what is set lives only until the app ends.
  bool writeFailed() const { return writeFailed_; }
  // Outlives store re-openings, so observers connect once.
  static UserDefaultsEvents& events();

 private:
  explicit UserDefaults(const QString& iniPath);
  void checkWritten();
  void keepPrivate();

  std::unique_ptr<QSettings> settings_;
  bool writeFailed_ = false;
  bool existedAtOpen_ = false;
};

// True for a stored boolean false, whether still typed or read back as text.
bool isStoredFalse(const QVariant& value);

}  // namespace tovrelle

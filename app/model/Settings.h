#pragma once
// The host app's settings: QSettings over one ini file, by default
// $XDG_CONFIG_HOME/tovrelle/tovrelle.ini. main() builds the one instance and
// hands it to whoever reads or writes a setting; tests build their own on a
// file of their own (TOVRELLE_SETTINGS_FILE moves the default too).
//
// Thread-bound (main thread).
#include <QObject>
#include <QString>
#include <QVariant>
#include <filesystem>
#include <memory>
#include <optional>

#include "shared/Result.h"

class QSettings;

namespace tovrelle {

// The keys are stored in users' settings files: their spellings never change.
// Every key the app reads or writes is named here.
namespace settings_keys {
inline constexpr const char* kLastSelectedImageId = "lastSelectedImageId";
inline constexpr const char* kHasCompletedOnboarding = "hasCompletedOnboarding";
inline constexpr const char* kLaunchAtLoginOffered = "launchAtLoginOffered";
inline constexpr const char* kCameraServiceRemovedByUser = "cameraServiceRemovedByUser";
// Followed by the shortcut's name ("KeyboardShortcuts_cameraOn").
inline constexpr const char* kShortcutPrefix = "KeyboardShortcuts_";
}  // namespace settings_keys

class Settings : public QObject {
  Q_OBJECT

 public:
  // $TOVRELLE_SETTINGS_FILE, else tovrelle/tovrelle.ini in the config folder;
  // an error without a home folder.
  static Result<std::filesystem::path> defaultFilePath();

  explicit Settings(const QString& iniPath, QObject* parent = nullptr);
  ~Settings() override;

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

 signals:
  // The store's writes started or stopped failing.
  void writeFailureChanged();

 private:
  void checkWritten();
  void keepPrivate();

  std::unique_ptr<QSettings> settings_;
  bool writeFailed_ = false;
  bool existedAtOpen_ = false;
};

// True for a stored boolean false, whether still typed or read back as text.
bool isStoredFalse(const QVariant& value);

}  // namespace tovrelle

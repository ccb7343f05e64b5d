#pragma once
// The desktop's light or dark preference, read from the settings portal
// (org.freedesktop.portal.Settings: ReadOne, Read on older portals, and its
// SettingChanged signal) and, where the portal has no preference or does not
// answer, from the GTK theme (GTK_THEME, the gtk-3.0/gtk-4.0 settings.ini,
// XFCE's xsettings). Thread-bound (main thread): the bus replies and
// signals arrive there. The portal is only ever asked asynchronously, so a
// silent portal never blocks the UI.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

#include "platform/appearance/DesktopAppearance.h"

namespace tovrelle::appearance {

class PortalAppearance final : public QObject, public DesktopAppearance {
  Q_OBJECT

 public:
  // `configHome` is $XDG_CONFIG_HOME (empty: the one basedirs::configHome() resolves).
  explicit PortalAppearance(QDBusConnection bus, QString configHome = {}, QObject* parent = nullptr);

  ColorScheme colorScheme() const override { return current_; }
  void setChangeHandler(ChangeHandler handler) override { handler_ = std::move(handler); }

 private slots:
  void onSettingChanged(const QDBusMessage& message);

 private:
  void ask(const QString& method);
  void portalSays(const QVariant& value);
  void readGtk();
  void update();

  QDBusConnection bus_;
  QString configHome_;
  QFileSystemWatcher watcher_;
  ChangeHandler handler_;
  ColorScheme portal_ = ColorScheme::noPreference;
  ColorScheme gtk_ = ColorScheme::noPreference;
  ColorScheme current_ = ColorScheme::noPreference;
  QString decidedBy_;
};

}  // namespace tovrelle::appearance

#include "platform/appearance/portal/PortalAppearance.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include "platform/log/Log.h"
#include "shared/BaseDirs.h"

namespace tovrelle::appearance {
namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");
constexpr qint64 kMaxSettingsFile = 256 * 1024;

// Read answers a variant inside a variant; ReadOne and the signal one variant.
QVariant unwrap(QVariant value) {
  for (int depth = 0; depth < 4; ++depth) {
    if (value.metaType() == QMetaType::fromType<QDBusVariant>()) {
      value = value.value<QDBusVariant>().variant();
    } else if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
      QDBusVariant inner;
      value.value<QDBusArgument>() >> inner;
      value = inner.variant();
    } else {
      break;
    }
  }
  return value;
}

// A settings file of the user's: bounded, and only a regular file.
QByteArray readSmallFile(const QString& path) {
  const QFileInfo info(path);
  if (!info.isFile() || info.size() > kMaxSettingsFile) return {};
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.read(kMaxSettingsFile);
}

const char* word(ColorScheme scheme) {
  switch (scheme) {
    case ColorScheme::dark: return "dark";
    case ColorScheme::light: return "light";
    case ColorScheme::noPreference: break;
  }
  return "no preference";
}

}  // namespace

PortalAppearance::PortalAppearance(QDBusConnection bus, QString configHome, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), configHome_(std::move(configHome)) {
  // Without a config folder there are no GTK settings to read: the portal alone answers.
  if (configHome_.isEmpty()) configHome_ = QString::fromStdString(basedirs::configHome().valueOr({}).string());
  readGtk();
  // Files are often replaced rather than written: the folders are watched too.
  for (const QString& dir :
       {QStringLiteral("/gtk-3.0"), QStringLiteral("/gtk-4.0"), QStringLiteral("/xfce4/xfconf/xfce-perchannel-xml")}) {
    if (QFileInfo::exists(configHome_ + dir)) watcher_.addPath(configHome_ + dir);
  }
  auto reread = [this] {
    readGtk();
    update();
  };
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, reread);
  connect(&watcher_, &QFileSystemWatcher::fileChanged, this, reread);
  if (!bus_.connect(kService, kPath, kInterface, QStringLiteral("SettingChanged"), this,
                    SLOT(onSettingChanged(QDBusMessage))))
    log::processLog("DesktopAppearance: cannot follow the settings portal's changes (%s)",
                    qPrintable(bus_.lastError().message()));
  update();
  ask(QStringLiteral("ReadOne"));
}

void PortalAppearance::ask(const QString& method) {
  auto message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
  message << kGroup << kKey;
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher* call) {
    call->deleteLater();
    const QDBusMessage reply = call->reply();
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
      return portalSays(reply.arguments().constFirst());
    // Portals before ReadOne only have Read.
    if (method == QLatin1String("ReadOne") &&
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod"))
      return ask(QStringLiteral("Read"));
    log::processLog("DesktopAppearance: the settings portal gives no color scheme (%s); following the GTK theme",
                    qPrintable(reply.errorName()));
  });
}

void PortalAppearance::onSettingChanged(const QDBusMessage& message) {
  const QVariantList arguments = message.arguments();
  if (arguments.size() != 3 || arguments[0].toString() != kGroup || arguments[1].toString() != kKey) return;
  portalSays(arguments[2]);
}

void PortalAppearance::portalSays(const QVariant& value) {
  const QVariant plain = unwrap(value);
  bool ok = false;
  const uint number = plain.toUInt(&ok);
  portal_ = ok ? colorSchemeFromPortal(number) : ColorScheme::noPreference;
  update();
}

void PortalAppearance::readGtk() {
  // A file written in place is seen through its own watch; one replaced, through its folder's.
  for (const QString& file : {QStringLiteral("/gtk-3.0/settings.ini"), QStringLiteral("/gtk-4.0/settings.ini"),
                              QStringLiteral("/xfce4/xfconf/xfce-perchannel-xml/xsettings.xml")}) {
    if (QFileInfo::exists(configHome_ + file) && !watcher_.files().contains(configHome_ + file))
      watcher_.addPath(configHome_ + file);
  }
  QString theme = qEnvironmentVariable("GTK_THEME");
  bool preferDark = false;
  for (const QString& dir : {QStringLiteral("/gtk-4.0"), QStringLiteral("/gtk-3.0")}) {
    const QString path = configHome_ + dir + QStringLiteral("/settings.ini");
    if (readSmallFile(path).isEmpty()) continue;
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("Settings"));
    if (theme.isEmpty()) theme = ini.value(QStringLiteral("gtk-theme-name")).toString();
    const QString prefer = ini.value(QStringLiteral("gtk-application-prefer-dark-theme")).toString().trimmed();
    preferDark =
        preferDark || prefer == QLatin1String("1") || prefer.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
  }
  // XFCE keeps the GTK theme in its own settings store.
  if (theme.isEmpty()) {
    const QByteArray xml =
        readSmallFile(configHome_ + QStringLiteral("/xfce4/xfconf/xfce-perchannel-xml/xsettings.xml"));
    static const QRegularExpression themeName(
        QStringLiteral(R"re(<property\s+name="ThemeName"\s+type="string"\s+value="([^"]*)")re"));
    if (const auto match = themeName.match(QString::fromUtf8(xml)); match.hasMatch()) theme = match.captured(1);
  }
  gtk_ = colorSchemeFromGtk(theme.toStdString(), preferDark).value_or(ColorScheme::noPreference);
}

void PortalAppearance::update() {
  const bool portalDecides = portal_ != ColorScheme::noPreference;
  const ColorScheme next = portalDecides ? portal_ : gtk_;
  const QString by = portalDecides ? QStringLiteral("the settings portal") : QStringLiteral("the GTK theme");
  if (next == current_) return;
  current_ = next;
  log::processLog("DesktopAppearance: the desktop prefers %s (from %s)", word(next), qPrintable(by));
  if (handler_) handler_(current_);
}

}  // namespace tovrelle::appearance

// The real desktop-preference backend against a stand-in settings portal on a
// private session bus, and against GTK settings files where no portal answers.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTest>
#include <memory>

#include "platform/appearance/portal/PortalAppearance.h"
#include "tests/support/Services.h"

using tovrelle::appearance::ColorScheme;
using tovrelle::appearance::PortalAppearance;

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

// org.freedesktop.portal.Settings as a portal publishes it: ReadOne answers one
// variant, Read (all portals) a variant inside a variant.
class StandInSettings : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

 public:
  uint value = 1;
  bool hasReadOne = true;
  bool knowsAppearance = true;  // false: a portal whose desktop publishes no such setting
  QDBusConnection* connection = nullptr;

 public slots:
  QDBusVariant ReadOne(const QString& group, const QString& key, const QDBusMessage& message) {
    if (!hasReadOne) {
      message.setDelayedReply(true);
      connection->send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                                QStringLiteral("no ReadOne here")));
      return {};
    }
    return answer(group, key, message, QVariant::fromValue(value));
  }
  QDBusVariant Read(const QString& group, const QString& key, const QDBusMessage& message) {
    return answer(group, key, message, QVariant::fromValue(QDBusVariant(QVariant::fromValue(value))));
  }

 private:
  QDBusVariant answer(const QString& group, const QString& key, const QDBusMessage& message, const QVariant& v) {
    if (!knowsAppearance || group != QLatin1String("org.freedesktop.appearance") ||
        key != QLatin1String("color-scheme")) {
      message.setDelayedReply(true);
      connection->send(message.createErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                                                QStringLiteral("Requested setting not found")));
      return {};
    }
    return QDBusVariant(v);
  }
};

// A portal process of its own: a second connection to the private bus.
class StandInPortal {
 public:
  explicit StandInPortal(bool hasReadOne, bool knowsAppearance = true)
      : connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("standin"))) {
    settings_.hasReadOne = hasReadOne;
    settings_.knowsAppearance = knowsAppearance;
    settings_.connection = &connection_;
    connection_.registerObject(kPath, &settings_, QDBusConnection::ExportAllSlots);
    registered_ = connection_.registerService(kService);
  }
  ~StandInPortal() {
    connection_.unregisterService(kService);
    connection_.unregisterObject(kPath);
  }
  bool registered() const { return registered_; }

  // The desktop switches: the portal's value and its SettingChanged signal.
  void change(uint value, const QString& group = QStringLiteral("org.freedesktop.appearance")) {
    settings_.value = value;
    auto signal = QDBusMessage::createSignal(kPath, QStringLiteral("org.freedesktop.portal.Settings"),
                                             QStringLiteral("SettingChanged"));
    signal << group << QStringLiteral("color-scheme") << QVariant::fromValue(QDBusVariant(QVariant::fromValue(value)));
    connection_.send(signal);
  }

 private:
  QDBusConnection connection_;
  StandInSettings settings_;
  bool registered_ = false;
};

bool becomes(const PortalAppearance& desktop, ColorScheme scheme) {
  return QTest::qWaitFor([&] { return desktop.colorScheme() == scheme; }, 10000);
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QSaveFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(bytes);
  ASSERT_TRUE(file.commit());
}

class PortalAppearanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qunsetenv("GTK_THEME");
    config_ = QString::fromStdString(
        session->makeFolder(::testing::UnitTest::GetInstance()->current_test_info()->name()).string());
  }
  static tovrelle::test::PrivateSession* session;
  QString config_;

 public:
  static void setSession(tovrelle::test::PrivateSession* s) { session = s; }
};
tovrelle::test::PrivateSession* PortalAppearanceTest::session = nullptr;

}  // namespace

TEST_F(PortalAppearanceTest, FollowsThePortalsColorSchemeAndItsChanges) {
  StandInPortal portal(true);
  ASSERT_TRUE(portal.registered());
  PortalAppearance desktop(QDBusConnection::sessionBus(), config_);
  std::vector<ColorScheme> told;
  desktop.setChangeHandler([&](ColorScheme scheme) { told.push_back(scheme); });
  EXPECT_TRUE(becomes(desktop, ColorScheme::dark));

  portal.change(2);
  EXPECT_TRUE(becomes(desktop, ColorScheme::light));
  portal.change(1, QStringLiteral("org.gnome.desktop.interface"));  // another setting: ignored
  portal.change(1);
  EXPECT_TRUE(becomes(desktop, ColorScheme::dark));
  EXPECT_EQ(told, (std::vector<ColorScheme>{ColorScheme::dark, ColorScheme::light, ColorScheme::dark}));
}

TEST_F(PortalAppearanceTest, AnOlderPortalIsReadThroughRead) {
  StandInPortal portal(false);
  ASSERT_TRUE(portal.registered());
  PortalAppearance desktop(QDBusConnection::sessionBus(), config_);
  EXPECT_TRUE(becomes(desktop, ColorScheme::dark));
}

// The bus would start the system's own portal for a missing name: the stand-in
// is a portal whose desktop publishes no appearance setting instead.
TEST_F(PortalAppearanceTest, WithoutTheSettingFromThePortalTheGtkThemeDecidesLive) {
  StandInPortal portal(true, false);
  ASSERT_TRUE(portal.registered());
  writeFile(config_ + "/gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Adwaita\n");
  PortalAppearance desktop(QDBusConnection::sessionBus(), config_);
  QTest::qWait(200);  // the portal's "not found" answer has come
  EXPECT_EQ(desktop.colorScheme(), ColorScheme::noPreference);

  writeFile(config_ + "/gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Greybird-Dark\n");
  EXPECT_TRUE(becomes(desktop, ColorScheme::dark));
  writeFile(config_ + "/gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Adwaita\n");
  EXPECT_TRUE(becomes(desktop, ColorScheme::noPreference));
  writeFile(config_ + "/gtk-3.0/settings.ini",
            "[Settings]\ngtk-theme-name=Adwaita\ngtk-application-prefer-dark-theme=1\n");
  EXPECT_TRUE(becomes(desktop, ColorScheme::dark));
}

TEST_F(PortalAppearanceTest, XfcesThemeCountsWhenThePortalHasNoPreference) {
  StandInPortal portal(true);
  ASSERT_TRUE(portal.registered());
  portal.change(0);
  writeFile(config_ + "/xfce4/xfconf/xfce-perchannel-xml/xsettings.xml",
            "<channel name=\"xsettings\"><property name=\"Net\" type=\"empty\">"
            "<property name=\"ThemeName\" type=\"string\" value=\"Adwaita-dark\"/></property></channel>\n");
  PortalAppearance desktop(QDBusConnection::sessionBus(), config_);
  EXPECT_TRUE(becomes(desktop, ColorScheme::dark));
  portal.change(2);  // the portal's explicit light wins
  EXPECT_TRUE(becomes(desktop, ColorScheme::light));
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A private bus only: the stand-in portal is the only one on it.
  tovrelle::test::PrivateSession session(tovrelle::test::SessionOptions{false, false, false});
  QCoreApplication app(argc, argv);
  PortalAppearanceTest::setSession(&session);
  return RUN_ALL_TESTS();
}

#include "PortalAppearanceTest.moc"

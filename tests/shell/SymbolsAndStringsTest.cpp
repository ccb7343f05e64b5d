// The app's symbol images and its string table.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <map>

#include "app/shell/Strings.h"
#include "app/shell/Symbols.h"
#include "tests/shell/QtTestApp.h"

using namespace tovrelle;

namespace {

const QStringList kInterfaceSymbols = {
    "video.slash.fill", "video.fill", "photo.fill", "checkmark", "checkmark.circle.fill",
    "photo", "photo.on.rectangle.angled", "gearshape", "info.circle", "pencil",
    "trash", "plus", "arrow.up.forward.square", "video.fill.badge.checkmark"};

int coveredPixels(const QImage& img) {
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) n += qAlpha(img.pixel(x, y)) > 0;
  return n;
}

}  // namespace

TEST(Symbols, EveryNameTheInterfaceUsesIsShippedAndDrawsSomething) {
  const QStringList shipped = symbols::names();
  EXPECT_EQ(QSet<QString>(shipped.begin(), shipped.end()),
            QSet<QString>(kInterfaceSymbols.begin(), kInterfaceSymbols.end()));
  for (const QString& name : kInterfaceSymbols) {
    const QImage img = symbols::image(name, QSize(32, 32), Qt::black);
    ASSERT_FALSE(img.isNull()) << name.toStdString();
    const int covered = coveredPixels(img);
    // Something is drawn, and it does not fill the whole square.
    EXPECT_GT(covered, 32 * 32 / 12) << name.toStdString();
    EXPECT_LT(covered, 32 * 32) << name.toStdString();
  }
  EXPECT_TRUE(symbols::image("no.such.symbol", QSize(16, 16), Qt::black).isNull());
  EXPECT_TRUE(symbols::icon("no.such.symbol", Qt::black).isNull());
}

TEST(Symbols, ImagesTakeTheColourTheyAreGivenLikeTemplateImages) {
  for (QColor color : {QColor(Qt::white), QColor(0x20, 0x90, 0xe0), QColor(Qt::black)}) {
    const QImage img = symbols::image("video.fill", QSize(22, 22), color).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x) {
        const QRgb px = img.pixel(x, y);
        if (qAlpha(px) < 255) continue;  // edges are blended with transparency
        ASSERT_EQ(QColor(px).rgb(), color.rgb()) << x << "," << y;
      }
  }
}

TEST(Symbols, TheThreeModeSymbolsLookDifferentAndIconsCarryPanelSizes) {
  const QImage off = symbols::image("video.slash.fill", QSize(22, 22), Qt::black);
  const QImage on = symbols::image("video.fill", QSize(22, 22), Qt::black);
  const QImage image = symbols::image("photo.fill", QSize(22, 22), Qt::black);
  EXPECT_NE(off, on);
  EXPECT_NE(on, image);
  EXPECT_NE(off, image);
  const QIcon icon = symbols::icon("video.fill", Qt::white);
  EXPECT_TRUE(icon.availableSizes().contains(QSize(16, 16)));
  EXPECT_TRUE(icon.availableSizes().contains(QSize(22, 22)));
  EXPECT_TRUE(icon.availableSizes().contains(QSize(64, 64)));
  const QPixmap hiDpi = symbols::pixmap("plus", QSize(16, 16), Qt::black, 2.0);
  EXPECT_EQ(hiDpi.size(), QSize(32, 32));
  EXPECT_EQ(hiDpi.devicePixelRatio(), 2.0);

  // TOVRELLE_SYMBOL_SHEET=<file.png> writes every symbol side by side for a look.
  if (QString sheetPath = qEnvironmentVariable("TOVRELLE_SYMBOL_SHEET"); !sheetPath.isEmpty()) {
    const int cell = 72;
    QImage sheet(cell * 7, cell * 4, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    for (int i = 0; i < kInterfaceSymbols.size(); ++i) {
      const QPoint at((i % 7) * cell, (i / 7) * 2 * cell);
      p.drawImage(at + QPoint(4, 4), symbols::image(kInterfaceSymbols[i], QSize(64, 64), Qt::black));
      p.fillRect(QRect(at + QPoint(0, cell), QSize(cell, cell)), QColor(0x30, 0x30, 0x30));
      p.drawImage(at + QPoint(4, cell + 4), symbols::image(kInterfaceSymbols[i], QSize(22, 22), Qt::white));
      p.drawImage(at + QPoint(30, cell + 4), symbols::image(kInterfaceSymbols[i], QSize(16, 16), Qt::white));
    }
    p.end();
    sheet.save(sheetPath);
  }
}

namespace {

struct Message {
  QString text;
  QString comment;
};

// id → message, from a .ts file.
std::map<QString, Message> readTs(const QString& path) {
  std::map<QString, Message> out;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return out;
  QXmlStreamReader xml(&file);
  QString id;
  Message current;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement() && xml.name() == u"message") {
      id = xml.attributes().value("id").toString();
      current = {};
    } else if (xml.isStartElement() && xml.name() == u"translation") {
      current.text = xml.readElementText();
    } else if (xml.isStartElement() && xml.name() == u"extracomment") {
      current.comment = xml.readElementText();
    } else if (xml.isEndElement() && xml.name() == u"message") {
      out[id] = current;
    }
  }
  return out;
}

const QString kTsPath = QStringLiteral(TOVRELLE_SOURCE_DIR "/app/shell/translations/tovrelle_en.ts");

}  // namespace

TEST(Strings, TheTableHoldsEveryKeyOfTheInterfaceWithItsComment) {
  const auto table = readTs(kTsPath);
  // Keys and the developer comments that come with them.
  const std::map<QString, QString> required = {
      {"a11y.statusItem.off", "Status item accessibility label"},
      {"a11y.statusItem.camera", "Status item accessibility label"},
      {"a11y.statusItem.image", "Status item accessibility label"},
      {"settings.windowTitle", "Settings window title"},
      {"onboarding.windowTitle", "Onboarding window title"},
      {"menu.cameraPermission.denied", "Camera access is denied"},
      {"menu.cameraPermission.openSettings", "Open the camera privacy settings"},
      {"menu.cameraOff", "Turn the virtual camera off"},
      {"menu.cameraOn", "Turn the virtual camera on"},
      {"menu.settings", "Open the settings window"},
      {"menu.checkForUpdates", "Check for app updates via Sparkle"},
      {"menu.quit", "Quit the app"},
      {"menu.installExtension", "Install the camera system extension"},
      {"menu.selectCamera", "Camera selection submenu title"},
      {"camera.default", "Default (system default) camera option"},
      {"extensionStatus.idle", "Extension status: not installed"},
      {"extensionStatus.requesting", "Extension status: installing"},
      {"extensionStatus.needsUserApproval", "Extension status: needs approval in System Settings"},
      {"a11y.preview.off", "Preview shows a black frame"},
      {"a11y.preview.camera", "Preview shows the real camera"},
      {"a11y.preview.image", "Preview shows a still image"},
      {"settings.tab.images", "Settings tab label"},
      {"settings.tab.general", "Settings tab label"},
      {"settings.tab.about", "Settings tab label"},
      {"about.version", "Version line"},
  };
  for (const auto& [key, comment] : required) {
    auto it = table.find(key);
    ASSERT_NE(it, table.end()) << key.toStdString();
    EXPECT_EQ(it->second.comment, comment) << key.toStdString();
  }
  for (const char* key : {"camera.continuitySuffix", "extensionStatus.failed"})
    EXPECT_TRUE(table.at(key).text.contains("%1")) << key;
  const QStringList others = {
      "onboarding.title", "onboarding.subtitle", "onboarding.done", "onboarding.step1.title",
      "onboarding.step1.detail", "onboarding.step1.action", "onboarding.step2.title", "onboarding.step2.detail",
      "onboarding.step2.action", "onboarding.step3.title", "onboarding.step3.detail", "onboarding.step3.action",
      "onboarding.usage.heading", "onboarding.step4.title", "onboarding.step4.detail",
      "onboarding.openSettingsFailed.title", "onboarding.openSettingsFailed.message", "extensionError.unknown",
      "extensionError.buildProblem", "extensionError.moveToApplications", "extensionError.reinstall",
      "extensionError.needsApproval", "extensionError.canceled", "settings.section.language",
      "settings.language.systemFollow", "settings.section.startup", "settings.launchAtLogin",
      "settings.section.extension", "settings.extension.statusLabel", "settings.extension.reinstall",
      "settings.section.cameraPermission", "settings.cameraPermission.denied",
      "settings.cameraPermission.openSettings", "settings.section.onboarding", "settings.onboarding.show",
      "settings.section.shortcuts", "settings.shortcuts.cameraOff", "settings.shortcuts.cameraOn",
      "settings.shortcuts.showLastImage", "settings.shortcuts.hint", "settings.extension.status.idle",
      "settings.extension.status.requesting", "settings.extension.status.needsApproval",
      "settings.extension.status.activated", "settings.extension.status.failed",
      "settings.extension.openSystemSettings", "settings.noImages", "settings.noImagesHint", "settings.addImage",
      "settings.imageName", "settings.rename", "settings.delete", "settings.save", "about.section.documents",
      "about.link.terms", "about.link.privacy", "about.link.tokushoho", "about.link.support", "about.link.hint",
      "about.section.openSource"};
  for (const QString& key : others) EXPECT_TRUE(table.count(key)) << key.toStdString();
  // Every key has English text, and a comment for its translators (two are meant to have none).
  for (const auto& [key, message] : table) {
    EXPECT_FALSE(message.text.isEmpty()) << key.toStdString();
    if (!key.startsWith("onboarding.openSettingsFailed.")) {
      EXPECT_FALSE(message.comment.isEmpty()) << key.toStdString();
    }
  }
}

TEST(Strings, TheCompiledTableTranslatesEveryKey) {
  ASSERT_TRUE(strings::install(*QCoreApplication::instance()));
  const auto table = readTs(kTsPath);
  ASSERT_GT(table.size(), 80u);
  for (const auto& [key, message] : table) {
    const QByteArray id = key.toUtf8();
    EXPECT_EQ(qtTrId(id.constData()), message.text) << id.constData();
  }
  EXPECT_EQ(qtTrId("menu.noSuchKey"), "menu.noSuchKey");
}

TEST(Strings, EveryKeyTheCodeUsesIsInTheTableWithTheSameComment) {
  // Extract what the sources use, with Qt's own tool, and compare.
  QTemporaryDir tmp;
  const QString extracted = tmp.filePath("extracted.ts");
  // The shortcut module's recorder texts live in its own table.
  QStringList arguments = {"-silent", "-extensions", "cpp,h"};
  for (const QString& dir : QDir(TOVRELLE_SOURCE_DIR "/app").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
    if (dir != "shortcuts") arguments << QStringLiteral(TOVRELLE_SOURCE_DIR "/app/") + dir;
  arguments << "-ts" << extracted;
  QProcess lupdate;
  lupdate.start(TOVRELLE_LUPDATE, arguments);
  ASSERT_TRUE(lupdate.waitForFinished(60000));
  ASSERT_EQ(lupdate.exitCode(), 0) << lupdate.readAllStandardError().toStdString();
  const auto used = readTs(extracted);
  const auto table = readTs(kTsPath);
  EXPECT_TRUE(used.count("a11y.statusItem.off"));  // the shell's own calls are seen
  for (const auto& [key, message] : used) {
    if (key.isEmpty()) continue;
    auto it = table.find(key);
    ASSERT_NE(it, table.end()) << "key used in code but missing from the table: " << key.toStdString();
    // The table carries every comment; where the code's own comment reached lupdate it must agree.
    // (lupdate only sees a "//:" line placed directly above the line with the qtTrId call.)
    if (!message.comment.isEmpty()) {
      EXPECT_EQ(message.comment, it->second.comment) << key.toStdString();
    }
  }
}

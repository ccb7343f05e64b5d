// The app's icons and its string table. Every icon the code asks for shows on
// a desktop without an icon theme, an icon theme that has the name draws it
// instead, and both take the colour they are asked for. The string table is
// compiled into the program and holds every key the code uses, and no other.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QIcon>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <map>
#include <set>

#include "app/settings/Icons.h"
#include "app/shell/Strings.h"
#include "tests/shell/QtTestApp.h"

using namespace tovrelle;

namespace {

// id → its comment, for every message of a .ts file.
std::map<QString, QString> readTs(const QString& path) {
  std::map<QString, QString> out;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return out;
  QXmlStreamReader xml(&file);
  QString id;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement() && xml.name() == u"message") out[id = xml.attributes().value("id").toString()];
    if (xml.isStartElement() && xml.name() == u"extracomment") out[id] = xml.readElementText();
  }
  return out;
}

const QString kTsPath = QStringLiteral(TOVRELLE_SOURCE_DIR "/app/shell/translations/tovrelle_en.ts");

// The app's sources, all in one string.
QString appSources() {
  QString sources;
  QDirIterator it(QStringLiteral(TOVRELLE_SOURCE_DIR "/app"), {"*.cpp", "*.h"}, QDir::Files,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFile file(it.next());
    if (file.open(QIODevice::ReadOnly)) sources += QString::fromUtf8(file.readAll());
  }
  return sources;
}

// Every icon name the app's code spells out; all of them are symbolic.
std::set<QString> iconNamesTheAppAsksFor() {
  std::set<QString> names;
  static const QRegularExpression quoted(QStringLiteral("\"([a-z0-9]+(?:-[a-z0-9]+)*-symbolic)\""));
  const QString sources = appSources();
  for (auto it = quoted.globalMatch(sources); it.hasNext();) names.insert(it.next().captured(1));
  return names;
}

int opaquePixels(const QImage& image) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) count += qAlpha(image.pixel(x, y)) >= 128;
  return count;
}

// Every pixel that shows is `color`: the shape is the icon's, the colour the caller's.
bool paintedIn(const QImage& image, const QColor& color) {
  const QImage plain = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < plain.height(); ++y)
    for (int x = 0; x < plain.width(); ++x) {
      const QRgb px = plain.pixel(x, y);
      if (qAlpha(px) < 128) continue;
      if (std::abs(qRed(px) - color.red()) > 3 || std::abs(qGreen(px) - color.green()) > 3 ||
          std::abs(qBlue(px) - color.blue()) > 3)
        return false;
    }
  return true;
}

bool showsAt(const QImage& image, int x, int y) { return qAlpha(image.pixel(x, y)) >= 128; }

// Runs each test with the icon theme it sets up, and puts the process's back after.
class Icons : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(themes_.isValid());
    savedName_ = QIcon::themeName();
    savedPaths_ = QIcon::themeSearchPaths();
    savedFallbackPaths_ = QIcon::fallbackSearchPaths();
    // Nothing on this machine's icon paths counts: a folder with no theme in it.
    QIcon::setThemeSearchPaths({themes_.path()});
    QIcon::setFallbackSearchPaths({});
    QIcon::setThemeName(QStringLiteral("tovrelle-test-none"));
  }
  void TearDown() override {
    QIcon::setThemeSearchPaths(savedPaths_);
    QIcon::setFallbackSearchPaths(savedFallbackPaths_);
    QIcon::setThemeName(savedName_);
  }

  // A theme of its own in the temporary folder, with one scalable folder
  // holding `files` (name → SVG text), made the current theme.
  void useTheme(const std::map<QString, QByteArray>& files) {
    QDir root(themes_.path());
    ASSERT_TRUE(root.mkpath(QStringLiteral("private/scalable/actions")));
    QFile index(root.filePath(QStringLiteral("private/index.theme")));
    ASSERT_TRUE(index.open(QIODevice::WriteOnly));
    index.write(
        "[Icon Theme]\nName=Private\nComment=A test theme\nDirectories=scalable/actions\n\n"
        "[scalable/actions]\nSize=16\nMinSize=8\nMaxSize=512\nType=Scalable\nContext=Actions\n");
    index.close();
    for (const auto& [name, svg] : files) {
      QFile file(root.filePath(QStringLiteral("private/scalable/actions/%1.svg").arg(name)));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(svg);
    }
    QIcon::setThemeName(QStringLiteral("private"));
  }

  QTemporaryDir themes_;
  QString savedName_;
  QStringList savedPaths_, savedFallbackPaths_;
};

// A green bar down the left third of a 16 x 16 icon: nothing like our drawings.
const QByteArray kLeftBar =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 16 16\" width=\"16\" height=\"16\">"
    "<rect x=\"0\" y=\"0\" width=\"6\" height=\"16\" fill=\"#00ff00\"/></svg>";
const QByteArray kFullSquare =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 16 16\" width=\"16\" height=\"16\">"
    "<rect x=\"0\" y=\"0\" width=\"16\" height=\"16\" fill=\"#0000ff\"/></svg>";

}  // namespace

TEST_F(Icons, EveryIconTheAppAsksForShowsWithoutAnIconThemeInTheColourAskedFor) {
  const std::set<QString> names = iconNamesTheAppAsksFor();
  // The search sees the code: the tray's icons, a panel row's mark, a Settings tab.
  for (const char* known : {"tovrelle-camera-off-symbolic", "object-select-symbolic", "preferences-system-symbolic"})
    ASSERT_TRUE(names.count(QString::fromLatin1(known))) << known;
  const QColor ink(200, 30, 60);
  for (const QString& name : names) {
    const QImage image = icons::image(name, QSize(32, 32), ink);
    ASSERT_FALSE(image.isNull()) << "no drawing of " << name.toStdString();
    EXPECT_GT(opaquePixels(image), 20) << name.toStdString();
    EXPECT_TRUE(paintedIn(image, ink)) << name.toStdString();
    // The icon the buttons and menus get, too.
    EXPECT_GT(opaquePixels(icons::icon(name, ink).pixmap(QSize(24, 24)).toImage()), 10) << name.toStdString();
  }
}

TEST_F(Icons, EveryDrawingTheAppShipsIsOneItAsksFor) {
  const std::set<QString> names = iconNamesTheAppAsksFor();
  const QStringList shipped = icons::bundledNames();
  EXPECT_GE(shipped.size(), 10);
  for (const QString& name : shipped) EXPECT_TRUE(names.count(name)) << name.toStdString() << " is asked for nowhere";
}

TEST_F(Icons, AThemeThatHasTheNameDrawsItInTheColourAskedFor) {
  const QColor ink(Qt::red);
  // Ours first: the plus crosses the middle and leaves the corner empty.
  const QImage ours = icons::image(QStringLiteral("list-add-symbolic"), QSize(32, 32), ink);
  ASSERT_FALSE(ours.isNull());
  ASSERT_TRUE(showsAt(ours, 16, 16));
  ASSERT_FALSE(showsAt(ours, 3, 3));
  const QImage ourButton = icons::icon(QStringLiteral("list-add-symbolic"), ink).pixmap(QSize(32, 32)).toImage();
  ASSERT_TRUE(showsAt(ourButton, 16, 16));

  useTheme({{QStringLiteral("list-add-symbolic"), kLeftBar}});
  const QImage themed = icons::image(QStringLiteral("list-add-symbolic"), QSize(32, 32), ink);
  ASSERT_FALSE(themed.isNull());
  // The theme's bar, not our plus ...
  EXPECT_TRUE(showsAt(themed, 3, 3));
  EXPECT_TRUE(showsAt(themed, 3, 28));
  EXPECT_FALSE(showsAt(themed, 16, 16));
  EXPECT_FALSE(showsAt(themed, 28, 28));
  // ... in red, not the theme's green.
  EXPECT_TRUE(paintedIn(themed, ink));
  EXPECT_EQ(QColor(themed.pixel(3, 16)), ink);

  // The icons buttons hold are drawn again for the new theme.
  const QImage button = icons::icon(QStringLiteral("list-add-symbolic"), ink).pixmap(QSize(32, 32)).toImage();
  EXPECT_TRUE(showsAt(button, 3, 3));
  EXPECT_FALSE(showsAt(button, 16, 16));
}

TEST_F(Icons, ANameTheThemeLacksIsOursEvenWhereTheThemeHasAShorterOne) {
  // The theme has "document" (and "list-add-symbolic"), not
  // "document-edit-symbolic": that is not the same icon, so ours shows.
  const QColor ink(20, 90, 200);
  const QImage before = icons::image(QStringLiteral("document-edit-symbolic"), QSize(32, 32), ink);
  ASSERT_FALSE(before.isNull());
  useTheme({{QStringLiteral("document"), kFullSquare}, {QStringLiteral("list-add-symbolic"), kLeftBar}});
  const QImage after = icons::image(QStringLiteral("document-edit-symbolic"), QSize(32, 32), ink);
  EXPECT_EQ(after, before);
  EXPECT_LT(opaquePixels(after), 32 * 32 / 2);
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
  EXPECT_TRUE(used.count("a11y.trayIcon.off"));  // the shell's own calls are seen
  for (const auto& [key, comment] : used) {
    if (key.isEmpty()) continue;
    auto it = table.find(key);
    ASSERT_NE(it, table.end()) << "key used in code but missing from the table: " << key.toStdString();
    // The table carries every comment; where the code's own comment reached lupdate it must agree.
    // (lupdate only sees a "//:" line placed directly above the line with the qtTrId call.)
    EXPECT_TRUE(comment.isEmpty() || comment == it->second) << key.toStdString() << ": " << comment.toStdString();
  }
}

TEST(Strings, EveryKeyInTheTableIsStillUsedByTheCode) {
  // Keys also reach qtTrId through variables (failure messages), so look for
  // the quoted key anywhere in the app's sources rather than asking lupdate.
  const QString sources = appSources();
  const auto table = readTs(kTsPath);
  ASSERT_FALSE(table.empty());
  for (const auto& entry : table)
    EXPECT_TRUE(sources.contains(QLatin1Char('"') + entry.first + QLatin1Char('"')))
        << "key in the table but used nowhere: " << entry.first.toStdString();
}

// The app's string table: compiled into the program, and holding every key the code uses.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <map>

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

}  // namespace

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
  QString sources;
  QDirIterator it(QStringLiteral(TOVRELLE_SOURCE_DIR "/app"), {"*.cpp", "*.h"}, QDir::Files,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFile file(it.next());
    if (file.open(QIODevice::ReadOnly)) sources += QString::fromUtf8(file.readAll());
  }
  const auto table = readTs(kTsPath);
  ASSERT_FALSE(table.empty());
  for (const auto& entry : table)
    EXPECT_TRUE(sources.contains(QLatin1Char('"') + entry.first + QLatin1Char('"')))
        << "key in the table but used nowhere: " << entry.first.toStdString();
}

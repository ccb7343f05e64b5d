// The About tab: the app's identity, the document links by language, and
// the acknowledgement rows.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>

#include "app/installer/BuildInfo.h"
#include "app/settings/AboutSettingsView.h"
#include "app/settings/SettingsStyle.h"

namespace tovrelle::settings {
namespace {

const QString kBase = QStringLiteral("https://tovrelle.velkari.app");

AboutSettingsView::Environment environment(QStringList languages, std::vector<QUrl>* opened = nullptr) {
  AboutSettingsView::Environment env;
  env.info = {{build_info::kDisplayNameKey, "Tovrelle"},
              {build_info::kShortVersionKey, "2.3.1"},
              {build_info::kVersionKey, "57"}};
  env.preferredLanguages = std::move(languages);
  env.webSiteBase = kBase;
  env.dependencies = {{"Qt", "The Qt Company", "LGPL-3.0", "https://doc.qt.io/qt-6/lgpl.html"},
                      {"Broken", "Someone", "MIT License", "not an address"}};
  env.openURL = [opened](const QUrl& url) {
    if (opened) opened->push_back(url);
  };
  return env;
}

QStringList documentKeys(const AboutSettingsView& view) {
  QStringList keys;
  for (auto* button : view.documentButtons()) keys << button->objectName();
  return keys;
}

TEST(AboutIdentity, TheAppsOwnValuesComeFromTheBuild) {
  const auto env = AboutSettingsView::currentEnvironment();
  EXPECT_EQ(AboutSettingsView::appName(env.info), "Tovrelle");
  EXPECT_EQ(AboutSettingsView::versionLine(env.info), text("about.version", QStringLiteral("Version %1 (%2)"))
                                                          .arg(QString::fromStdString(build_info::shortVersion()),
                                                               QString::fromStdString(build_info::buildNumber())));
  EXPECT_FALSE(env.icon.isNull());
  EXPECT_EQ(env.webSiteBase, kBase);
}

TEST(AboutView, LegalDisclosureRowOnlyForJapaneseOrNoLanguage) {
  const QStringList withDisclosure{"about.link.terms", "about.link.privacy", "about.link.tokushoho",
                                   "about.link.support"};
  const QStringList without{"about.link.terms", "about.link.privacy", "about.link.support"};
  EXPECT_EQ(documentKeys(AboutSettingsView(environment({"ja"}))), withDisclosure);
  EXPECT_EQ(documentKeys(AboutSettingsView(environment({"ja-JP", "en"}))), withDisclosure);
  EXPECT_EQ(documentKeys(AboutSettingsView(environment({}))), withDisclosure);
  EXPECT_EQ(documentKeys(AboutSettingsView(environment({"en-US", "ja"}))), without);
  EXPECT_EQ(documentKeys(AboutSettingsView(environment({"zh-Hans"}))), without);

  // Rows whose address cannot be formed are left out.
  auto env = environment({"en"});
  env.webSiteBase = QStringLiteral("https://exa mple.com");
  EXPECT_TRUE(AboutSettingsView(env).documentButtons().empty());
  EXPECT_TRUE(AboutSettingsView::documentLinks({"ja"}, QStringLiteral("::")).empty());
}

TEST(AboutView, DocumentLinksOpenTheirPagesInTheBrowser) {
  std::vector<QUrl> opened;
  AboutSettingsView view(environment({"fr-FR"}, &opened));
  view.resize(600, 700);
  view.show();
  QCoreApplication::processEvents();
  ASSERT_EQ(view.documentButtons().size(), 3u);
  for (auto* button : view.documentButtons()) {
    EXPECT_TRUE(button->showsSymbol());
    EXPECT_EQ(button->accessibleDescription(), text("about.link.hint"));
    EXPECT_EQ(button->text(), text(button->objectName().toLatin1().constData()));
    QTest::mouseClick(button, Qt::LeftButton);
  }
  ASSERT_EQ(opened.size(), 3u);
  EXPECT_EQ(opened[0].toString(), "https://tovrelle.velkari.app/fr/terms/");
  EXPECT_EQ(opened[1].toString(), "https://tovrelle.velkari.app/fr/privacy/");
  EXPECT_EQ(opened[2].toString(), "https://tovrelle.velkari.app/fr/support/");

  std::vector<QUrl> japanese;
  AboutSettingsView japaneseView(environment({"ja"}, &japanese));
  japaneseView.show();
  QCoreApplication::processEvents();
  QTest::mouseClick(japaneseView.documentButtons()[2], Qt::LeftButton);
  ASSERT_EQ(japanese.size(), 1u);
  EXPECT_EQ(japanese[0].toString(), "https://tovrelle.velkari.app/tokushoho/");
}

TEST(AboutView, AcknowledgementsLinkTheirLicenceOrShowPlainText) {
  std::vector<QUrl> opened;
  AboutSettingsView view(environment({"en"}, &opened));
  view.resize(600, 800);
  view.show();
  QCoreApplication::processEvents();
  ASSERT_EQ(view.dependencyNames().size(), 2u);
  auto* qt = qobject_cast<LinkButton*>(view.dependencyNames()[0]);
  ASSERT_NE(qt, nullptr);
  EXPECT_EQ(qt->text(), "Qt");
  EXPECT_FALSE(qt->showsSymbol());
  EXPECT_EQ(qt->accessibleDescription(), text("about.link.hint"));
  QTest::mouseClick(qt, Qt::LeftButton);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].toString(), "https://doc.qt.io/qt-6/lgpl.html");

  auto* broken = qobject_cast<QLabel*>(view.dependencyNames()[1]);
  ASSERT_NE(broken, nullptr) << "an unparsable licence address shows the name as plain text";
  EXPECT_EQ(broken->text(), "Broken");

  // The author and licence line under each name.
  QStringList details;
  for (auto* label : view.findChildren<QLabel*>()) details << label->text();
  EXPECT_TRUE(details.contains(QStringLiteral("The Qt Company \u2014 LGPL-3.0")));
  EXPECT_TRUE(details.contains(QStringLiteral("Someone \u2014 MIT License")));
}

}  // namespace
}  // namespace tovrelle::settings

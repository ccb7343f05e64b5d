// Addresses of the product pages in the user's language.
#include <gtest/gtest.h>

#include <QLocale>

#include "app/settings/WebPage.h"

namespace tovrelle::settings {
namespace {

const QString kBase = QStringLiteral("https://tovrelle.velkari.app");

QString support(const QStringList& languages) {
  auto url = webPageURL(QStringLiteral("support"), languages, kBase);
  return url ? url->toString() : QStringLiteral("<none>");
}

TEST(WebPageURL, LanguageFolderFollowsTheFirstPreferredLanguage) {
  struct Case {
    QStringList languages;
    const char* expected;
  };
  const Case cases[] = {
      {{"ja"}, "https://tovrelle.velkari.app/support/"},
      {{}, "https://tovrelle.velkari.app/support/"},
      {{"en-US", "ja"}, "https://tovrelle.velkari.app/en/support/"},
      {{"zh-Hans"}, "https://tovrelle.velkari.app/zh/support/"},
      {{"zh-TW"}, "https://tovrelle.velkari.app/zh/support/"},
      {{"pt-BR", "fr"}, "https://tovrelle.velkari.app/en/support/"},
      {{"fr"}, "https://tovrelle.velkari.app/fr/support/"},
      {{"de-CH"}, "https://tovrelle.velkari.app/de/support/"},
      {{"ko-KR"}, "https://tovrelle.velkari.app/ko/support/"},
      {{"es-419"}, "https://tovrelle.velkari.app/es/support/"},
      {{"nl"}, "https://tovrelle.velkari.app/en/support/"},
      // The desktop names a region; the Japanese edition is the site's root.
      {{"ja-JP", "ja"}, "https://tovrelle.velkari.app/support/"},
      {{"ja_JP"}, "https://tovrelle.velkari.app/support/"},
      // Only the first language counts.
      {{"it", "ja"}, "https://tovrelle.velkari.app/en/support/"},
  };
  for (const Case& c : cases) EXPECT_EQ(support(c.languages), QString::fromLatin1(c.expected)) << c.languages.join(',').toStdString();
}

TEST(WebPageURL, EmptyPathGivesTheLanguageHome) {
  EXPECT_EQ(webPageURL(QString(), {"ja"}, kBase)->toString(), "https://tovrelle.velkari.app/");
  EXPECT_EQ(webPageURL(QString(), {}, kBase)->toString(), "https://tovrelle.velkari.app/");
  EXPECT_EQ(webPageURL(QString(), {"fr-FR"}, kBase)->toString(), "https://tovrelle.velkari.app/fr/");
  EXPECT_EQ(webPageURL(QStringLiteral("terms"), {"zh-Hant-TW"}, kBase)->toString(),
            "https://tovrelle.velkari.app/zh/terms/");
}

TEST(WebPageURL, AnAddressThatDoesNotParseGivesNone) {
  EXPECT_FALSE(webPageURL(QStringLiteral("support"), {"en"}, QStringLiteral("https://exa mple.com")));
  EXPECT_FALSE(webPageURL(QStringLiteral("support"), {"en"}, QStringLiteral("not an address")));
  EXPECT_FALSE(webPageURL(QStringLiteral("support"), {"en"}, QString()));
  EXPECT_FALSE(webPageURL(QStringLiteral("bad path"), {"ja"}, kBase));
  EXPECT_FALSE(parseWebAddress(QStringLiteral("")));
  EXPECT_FALSE(parseWebAddress(QStringLiteral("relative/path")));
  EXPECT_TRUE(parseWebAddress(QStringLiteral("https://example.org/LICENSE")));
}

TEST(WebPageURL, BuiltInSiteAndTheAppsLocale) {
  EXPECT_EQ(webSiteBaseAddress(), kBase);
  const QLocale saved;
  QLocale::setDefault(QLocale(QStringLiteral("fr_FR")));
  EXPECT_EQ(webPageURL(QStringLiteral("privacy"))->toString(), "https://tovrelle.velkari.app/fr/privacy/");
  QLocale::setDefault(QLocale(QStringLiteral("ja_JP")));
  EXPECT_EQ(webPageURL(QStringLiteral("privacy"))->toString(), "https://tovrelle.velkari.app/privacy/");
  QLocale::setDefault(saved);
}

TEST(WebPageURL, LegalDisclosureOnlyForJapaneseOrNoLanguage) {
  EXPECT_TRUE(showsLegalDisclosure({"ja"}));
  EXPECT_TRUE(showsLegalDisclosure({"ja-JP", "en"}));
  EXPECT_TRUE(showsLegalDisclosure({}));
  EXPECT_FALSE(showsLegalDisclosure({"en-US", "ja"}));
  EXPECT_FALSE(showsLegalDisclosure({"zh-Hans"}));
  // A fixed page: the same address whatever the language.
  EXPECT_EQ(legalDisclosureURL(kBase)->toString(), "https://tovrelle.velkari.app/tokushoho/");
  EXPECT_FALSE(legalDisclosureURL(QStringLiteral("::")));
}

}  // namespace
}  // namespace tovrelle::settings

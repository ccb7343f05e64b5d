#include "app/settings/WebPage.h"

#include <QLocale>
#include <array>
#include <utility>

#ifndef TOVRELLE_WEB_SITE
#define TOVRELLE_WEB_SITE "https://tovrelle.velkari.app"
#endif

namespace tovrelle::settings {

QString webSiteBaseAddress() { return QStringLiteral(TOVRELLE_WEB_SITE); }

QStringList preferredLanguages() { return QLocale().uiLanguages(); }

std::optional<QString> firstPreferredLocalization(const QStringList& languages) {
  if (languages.isEmpty()) return std::nullopt;
  QString first = languages.first();
  first.replace(QLatin1Char('_'), QLatin1Char('-'));
  // The desktop names the region ("ja-JP"); the interface has one Japanese edition.
  if (first.compare(QLatin1String("ja"), Qt::CaseInsensitive) == 0 ||
      first.startsWith(QLatin1String("ja-"), Qt::CaseInsensitive))
    return QStringLiteral("ja");
  return first;
}

QString languageSegment(const std::optional<QString>& localization) {
  const QString language = localization.value_or(QStringLiteral("ja"));
  if (language == QLatin1String("ja")) return {};
  static constexpr std::array<std::pair<const char*, const char*>, 6> kPrefixes{
      {{"zh", "/zh"}, {"en", "/en"}, {"ko", "/ko"}, {"es", "/es"}, {"fr", "/fr"}, {"de", "/de"}}};
  for (const auto& [prefix, segment] : kPrefixes)
    if (language.startsWith(QLatin1String(prefix))) return QString::fromLatin1(segment);
  return QStringLiteral("/en");
}

std::optional<QUrl> parseWebAddress(const QString& text) {
  if (text.trimmed().isEmpty()) return std::nullopt;
  QUrl url(text, QUrl::StrictMode);
  if (!url.isValid() || url.isRelative() || url.host().isEmpty()) return std::nullopt;
  return url;
}

std::optional<QUrl> webPageURL(const QString& path) { return webPageURL(path, preferredLanguages()); }

std::optional<QUrl> webPageURL(const QString& path, const QStringList& languages, const QString& baseAddress) {
  QString address = baseAddress + languageSegment(firstPreferredLocalization(languages));
  if (!path.isEmpty()) address += QLatin1Char('/') + path;
  address += QLatin1Char('/');
  return parseWebAddress(address);
}

std::optional<QUrl> legalDisclosureURL(const QString& baseAddress) {
  return parseWebAddress(baseAddress + QStringLiteral("/tokushoho/"));
}

bool showsLegalDisclosure(const QStringList& languages) {
  const auto localization = firstPreferredLocalization(languages);
  return !localization || localization->startsWith(QLatin1String("ja"));
}

}  // namespace tovrelle::settings

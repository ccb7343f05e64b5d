#pragma once
// Addresses of the product's own web pages (terms, privacy, support, the
// legal disclosure), in the user's language where the site has one.
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

namespace tovrelle::settings {

// The product web site, fixed at build time (TOVRELLE_WEB_SITE).
QString webSiteBaseAddress();

// The user's preferred UI languages, most preferred first ("ja-JP", "en-US", …).
QStringList preferredLanguages();

// The localization the interface uses: the first preferred language, with a
// Japanese one of any region taken as "ja" (the site and the app have one
// Japanese edition); none when the list is empty.
std::optional<QString> firstPreferredLocalization(const QStringList& languages);

// The site's language folder for a localization: "" for Japanese (the site's
// root), "/zh", "/en", "/ko", "/es", "/fr", "/de" by prefix, "/en" otherwise.
QString languageSegment(const std::optional<QString>& localization);

// An absolute web address, or none when `text` does not parse as one.
std::optional<QUrl> parseWebAddress(const QString& text);

// base + language segment + ("/" + path unless empty) + "/".
std::optional<QUrl> webPageURL(const QString& path);
std::optional<QUrl> webPageURL(const QString& path, const QStringList& languages,
                               const QString& baseAddress = webSiteBaseAddress());

// The legal-disclosure page for Japanese users: one page at a fixed address,
// no language folder.
std::optional<QUrl> legalDisclosureURL(const QString& baseAddress = webSiteBaseAddress());
// Whether that page applies: the first localization is Japanese, or there is none.
bool showsLegalDisclosure(const QStringList& languages);

}  // namespace tovrelle::settings

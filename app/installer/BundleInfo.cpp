#include "app/installer/BundleInfo.h"

#include "app/installer/BundleInfoValues.h"

namespace tovrelle::bundle {

const InfoDictionary& mainInfoDictionary() {
  static const InfoDictionary dictionary{
      {kDisplayNameKey, TOVRELLE_BUNDLE_DISPLAY_NAME},   {kNameKey, TOVRELLE_BUNDLE_NAME},
      {kShortVersionKey, TOVRELLE_BUNDLE_SHORT_VERSION}, {kVersionKey, TOVRELLE_BUNDLE_VERSION},
      {kCopyrightKey, TOVRELLE_BUNDLE_COPYRIGHT},        {kIdentifierKey, TOVRELLE_BUNDLE_IDENTIFIER},
  };
  return dictionary;
}

std::optional<std::string> infoValue(const InfoDictionary& dictionary, const std::string& key) {
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return std::nullopt;
  return it->second;
}

std::string shortVersion() { return TOVRELLE_BUNDLE_SHORT_VERSION; }
std::string buildNumber() { return TOVRELLE_BUNDLE_VERSION; }

}  // namespace tovrelle::bundle

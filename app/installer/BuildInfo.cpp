#include "app/installer/BuildInfo.h"

#include "app/installer/BuildInfoValues.h"

namespace tovrelle::build_info {

const BuildValues& appBuildInfo() {
  static const BuildValues values{
      {kDisplayNameKey, TOVRELLE_BUILD_DISPLAY_NAME},   {kNameKey, TOVRELLE_BUILD_NAME},
      {kShortVersionKey, TOVRELLE_BUILD_SHORT_VERSION}, {kVersionKey, TOVRELLE_BUILD_VERSION},
      {kCopyrightKey, TOVRELLE_BUILD_COPYRIGHT},        {kIdentifierKey, TOVRELLE_BUILD_IDENTIFIER},
  };
  return values;
}

std::optional<std::string> buildValue(const BuildValues& values, const std::string& key) {
  auto it = values.find(key);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

std::string shortVersion() { return TOVRELLE_BUILD_SHORT_VERSION; }
std::string buildNumber() { return TOVRELLE_BUILD_VERSION; }

}  // namespace tovrelle::build_info

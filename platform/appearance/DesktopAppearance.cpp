#include "platform/appearance/DesktopAppearance.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace tovrelle::appearance {

ColorScheme colorSchemeFromPortal(uint32_t value) {
  switch (value) {
    case 1: return ColorScheme::dark;
    case 2: return ColorScheme::light;
    default: return ColorScheme::noPreference;
  }
}

std::optional<ColorScheme> colorSchemeFromGtk(std::string_view themeName, bool preferDark) {
  if (preferDark) return ColorScheme::dark;
  std::string name(themeName);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  // "-dark" is the GTK convention; GTK_THEME also takes a ":dark" variant.
  for (std::string_view suffix : {"-dark", ":dark"})
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return ColorScheme::dark;
  return std::nullopt;
}

}  // namespace tovrelle::appearance

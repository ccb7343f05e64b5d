#pragma once
// The desktop's light or dark preference: the freedesktop appearance setting
// (`org.freedesktop.appearance color-scheme`, through the settings portal)
// where a portal answers, else the GTK theme the desktop sets.
// Thread-bound (main thread): the preference and the change callback.
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace tovrelle::appearance {

enum class ColorScheme { noPreference, dark, light };

class DesktopAppearance {
 public:
  using ChangeHandler = std::function<void(ColorScheme)>;
  virtual ~DesktopAppearance() = default;

  // The preference known now; noPreference until the desktop has answered.
  virtual ColorScheme colorScheme() const = 0;
  // Called whenever the preference changes, including the first answer.
  virtual void setChangeHandler(ChangeHandler handler) = 0;
};

// The portal's value: 0 no preference, 1 dark, 2 light; anything else is no preference.
ColorScheme colorSchemeFromPortal(uint32_t value);

// A GTK theme name ("Adwaita-dark", "Adwaita:dark", "Greybird-Dark") and the
// gtk-application-prefer-dark-theme setting; none when neither says dark.
std::optional<ColorScheme> colorSchemeFromGtk(std::string_view themeName, bool preferDark);

}  // namespace tovrelle::appearance

#pragma once
// Follows the desktop's light or dark preference: the app's palette switches
// as soon as the desktop's does, and every window repaints in it.
// Thread-bound (main thread): the desktop's changes are delivered there.
#include <QObject>
#include <QPalette>

#include "platform/appearance/DesktopAppearance.h"

namespace tovrelle {

class DesktopPalette : public QObject {
  Q_OBJECT

 public:
  // Applies the current preference at once; needs the QApplication.
  explicit DesktopPalette(appearance::DesktopAppearance& desktop, QObject* parent = nullptr);

  bool isDark() const { return dark_; }

  // The palette used when the desktop prefers dark and Qt's own palette is light.
  static QPalette darkPalette();
  static bool isDarkPalette(const QPalette& palette);

 private:
  void follow(appearance::ColorScheme scheme);

  QPalette started_;  // what the platform theme gave at start
  bool dark_ = false;
};

}  // namespace tovrelle

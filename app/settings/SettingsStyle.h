#pragma once
// Texts, fonts and colours of the settings window, each behind one small
// function so the window follows the app's string table and palette (its
// icons come from app/settings/Icons.h).
// Thread-bound (main thread), except text(), which the thumbnail worker also
// calls (the string table may be read from any thread).
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

class QWidget;

namespace tovrelle::settings {

// The display text of a string-table key ("settings.addImage"); the key itself
// when the table has none.
QString text(const char* key);
// The same, with the text to show while the table lacks the key.
QString text(const char* key, const QString& fallback);

// The application's icon: the one the app set on itself, else the desktop
// theme's "tovrelle", else a drawn camera mark.
QIcon applicationIcon();

// Text styles, relative to the widget's own font.
enum class TextStyle { Body, Title2, Headline, Callout, Footnote, Caption };
QFont font(const QWidget& widget, TextStyle style);

// Colours that follow the widget's palette.
QColor primaryColor(const QWidget& widget);
QColor secondaryColor(const QWidget& widget);
// Secondary text in `palette`: its text colour softened toward the window,
// but never below 4.5:1 contrast against the window or the list background,
// so it stays readable in light and dark palettes alike. Opaque.
QColor secondaryTextColor(const QPalette& palette);
// WCAG contrast ratio of two opaque colours, 1 to 21.
double contrastRatio(const QColor& a, const QColor& b);
QColor linkColor(const QWidget& widget);
// A grouped form's card and its edge: the window colour moved a little toward
// the text colour, so controls drawn in the base colour stand out on it in
// light and dark palettes alike.
QColor cardColor(const QWidget& widget);
QColor cardBorderColor(const QWidget& widget);
inline QColor grayColor() { return QColor(142, 142, 147); }
inline QColor redColor() { return QColor(255, 59, 48); }

// Keeps a purely decorative widget (an icon next to the text that says the
// same) out of what assistive technologies read.
void hideFromAccessibility(QWidget& widget);

// Applies `style` and the secondary colour to a label-like widget.
void setSecondary(QWidget& widget, TextStyle style);

}  // namespace tovrelle::settings

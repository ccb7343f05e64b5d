#pragma once
// The popover: a frameless popup that opens where the tray icon was clicked
// and closes on Esc or on a click anywhere else (the click is swallowed, as
// menus do). On Wayland it is a small top-level of its own that closes when it
// loses the keyboard.
// Thread-bound (main thread).
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <chrono>
#include <functional>
#include <optional>

namespace tovrelle {

class PopoverWindow : public QWidget {
  Q_OBJECT

 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // A toggle arriving this soon after an outside click closed the popover is
  // that same click reaching the tray icon: it must not reopen it.
  static constexpr std::chrono::milliseconds kClosingClickWindow{400};

  // Takes ownership of `content`. On Wayland `parent` is not used.
  explicit PopoverWindow(QWidget* content, QWidget* parent = nullptr);

  // The window kind on a Qt platform: a popup, or a top-level on Wayland.
  static Qt::WindowFlags windowFlagsFor(const QString& platformName);

  // Shows the popover under `anchor`, the tray icon's geometry on screen.
  // When the panel does not say where the item is (empty), the pointer's
  // position stands for the click; when that is unknown too, the popover goes
  // to the corner of the screen nearest the panel.
  void showRelativeTo(const QRect& anchor);
  void showRelativeTo(const QRect& anchor, std::optional<QPoint> click);

  // Open, or closed a moment ago by a click elsewhere that may be a click on
  // the tray icon still on its way: a toggle then has nothing left to do.
  bool isShown() const;
  void performClose();

  QWidget* content() const { return content_; }

  // Tests drive the closing-click window with their own clock.
  void setClock(Clock clock) { clock_ = std::move(clock); }

  // Where the panel sits on a screen, from the room it keeps for itself.
  enum class PanelEdge { top, bottom, left, right };
  static PanelEdge panelEdge(const QRect& screen, const QRect& available);

  // The popover's top-left corner: under (or, near the bottom, over) the
  // item's geometry, else the click point; else the corner of `available`
  // nearest the panel. Always kept inside `available`.
  static QPoint placement(const QSize& size, const QRect& anchor, std::optional<QPoint> click, const QRect& screen,
                          const QRect& available);

 signals:
  // The popover was shown and has now closed.
  void didClose();

 protected:
  void hideEvent(QHideEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QWidget* content_;
  Clock clock_;
  void placeOnSway();

  bool closingOnRequest_ = false;
  // Where sway is to put the popover once it is up; none means at the pointer.
  std::optional<QPoint> swayTarget_;
  bool swayPending_ = false;
  std::optional<std::chrono::steady_clock::time_point> closedByClickAt_;
};

}  // namespace tovrelle

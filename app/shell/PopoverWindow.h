#pragma once
// The popover: a borderless window that opens below the status item (or at
// the pointer when the panel does not say where the item is) and closes as
// soon as the user works elsewhere.
#include <QWidget>

namespace tovrelle {

class PopoverWindow : public QWidget {
  Q_OBJECT

 public:
  // Takes ownership of `content`.
  explicit PopoverWindow(QWidget* content, QWidget* parent = nullptr);

  // Shows the popover below `anchor` (screen coordinates; empty: the pointer).
  void showRelativeTo(const QRect& anchor);
  bool isShown() const { return isVisible(); }
  void performClose() { close(); }

  QWidget* content() const { return content_; }

 signals:
  // The popover was shown and has now closed.
  void didClose();

 protected:
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QWidget* content_;
  bool wasActive_ = false;
};

}  // namespace tovrelle

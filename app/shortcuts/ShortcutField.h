#pragma once
// The field that records a shortcut for a name: shows the stored shortcut,
// records a new one while it has the focus, and clears it with its clear
// button, Delete or Backspace. It stores through its registry, which must
// outlive it.
//
// Thread-bound (main thread), as every widget.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <functional>
#include <optional>

#include "app/shortcuts/KeyboardShortcuts.h"

class QAction;

namespace KeyboardShortcuts {

class ShortcutField : public QLineEdit {
  Q_OBJECT

 public:
  using OnChange = std::function<void(const std::optional<Shortcut>&)>;

  static constexpr int minimumWidth = 130;
  // Clicks this far outside the field still count as inside.
  static constexpr int clickMargin = 3;

  ShortcutField(ShortcutRegistry& registry, const Name& name, OnChange onChange = {}, QWidget* parent = nullptr);
  ~ShortcutField() override;

  const Name& shortcutName() const { return shortcutName_; }
  bool isRecording() const { return watchingClicks_; }
  QAction* clearButton() const { return clearButton_; }
  // The alert the field shows, while it shows one.
  QMessageBox* alert() const { return alert_; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // Where this field's rejected keys beep (the desktop's bell by default).
  void setBeep(std::function<void()> beep) { beep_ = std::move(beep); }

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  // True when the key press is consumed.
  bool handleKeyDown(const QKeyEvent& event);
  void startRecording();
  void stopRecording();
  // Gives up the focus, which stops recording.
  void blur();
  void showStoredShortcut();
  void updateClearButton();
  void clearShortcut();
  void accept(const Shortcut& shortcut);
  void showSystemAlert(const Shortcut& shortcut);
  QMessageBox* makeAlert();
  void resumeRecording();

  ShortcutRegistry& registry_;
  Name shortcutName_;
  OnChange onChange_;
  QAction* clearButton_ = nullptr;
  std::function<void()> beep_ = [] { QApplication::beep(); };
  bool watchingClicks_ = false;  // the application-wide mouse watch is installed
  QMetaObject::Connection storedShortcutWatch_;
  QPointer<QMessageBox> alert_;
};

}  // namespace KeyboardShortcuts

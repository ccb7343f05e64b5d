#pragma once
// The camera's /dev/video device in a few words, for the setup window and
// Settings → General: what the state means, what to do about it, and a Load
// Now button while the module is installed but not loaded. It looks again
// every few seconds while it is on screen.
// Thread-bound (main thread).
#include <QPointer>
#include <QWidget>
#include <memory>

#include "app/model/VideoDeviceStatus.h"
#include "app/settings/SettingsStyle.h"

class QLabel;
class QPushButton;

namespace tovrelle::settings {

class VideoDeviceView : public QWidget {
  Q_OBJECT

 public:
  // `style` sizes the texts to match the window they sit in.
  explicit VideoDeviceView(VideoDeviceStatus* status, QWidget* parent = nullptr, TextStyle style = TextStyle::Callout);

  QLabel* textLabel() const { return text_; }
  // The terminal command the text asks for, on a line of its own; hidden when none.
  QLabel* commandLabel() const { return command_; }
  // Shown while the module can be loaded (and, disabled, while it loads).
  QPushButton* loadButton() const { return load_; }
  // Why the last load failed; hidden when it did not.
  QLabel* failureLabel() const { return failure_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void redraw();

  QPointer<VideoDeviceStatus> status_;
  std::shared_ptr<void> watching_;
  QLabel* text_ = nullptr;
  QLabel* command_ = nullptr;
  QPushButton* load_ = nullptr;
  QLabel* failure_ = nullptr;
};

}  // namespace tovrelle::settings

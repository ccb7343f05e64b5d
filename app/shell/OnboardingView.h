#pragma once
// The first-run window's content: install the camera service, see that other
// apps can use its camera (through PipeWire and its /dev/video device), allow
// camera access, then a note on using the
// camera elsewhere. Each step ticks itself off live: the first two follow
// the installer's status, the third the camera authorization, polled every
// second while the view is on screen. Done (also the Return key) calls
// `onClose`.
// Thread-bound (main thread), every class here. The camera access answer may
// come on any thread; it is moved to the main queue before it touches the
// view.
#include <QPointer>
#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/installer/CameraServiceInstaller.h"
#include "app/model/VideoDeviceStatus.h"
#include "platform/capture/CaptureDevices.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/urls/UrlOpener.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;

namespace tovrelle {

class LoginItemManager;
struct AppObjects;

namespace settings {
class VideoDeviceView;
}

// The round badge in front of a step: its number on an accent-coloured
// circle, or a green check once the step is complete.
class StepBadge : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSide = 26;

  explicit StepBadge(int number, QWidget* parent = nullptr);
  void setComplete(bool complete);
  bool isComplete() const { return complete_; }
  int number() const { return number_; }
  QSize sizeHint() const override { return {kSide, kSide}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int number_;
  bool complete_ = false;
};

// One numbered step: badge, title, detail and the step's control, if any.
class StepRow : public QWidget {
  Q_OBJECT

 public:
  // `action` may be null: the step has no control. The row takes ownership.
  StepRow(int number, const QString& title, const QString& detail, QWidget* action = nullptr,
          QWidget* parent = nullptr);

  int number() const { return badge_->number(); }
  bool isComplete() const { return badge_->isComplete(); }
  void setComplete(bool complete) { badge_->setComplete(complete); }

  StepBadge* badge() const { return badge_; }
  QLabel* titleLabel() const { return title_; }
  QLabel* detailLabel() const { return detail_; }
  QWidget* action() const { return action_; }
  // Shows or removes the control from the row (a row without one keeps no gap).
  void setActionShown(bool shown);

 private:
  StepBadge* badge_;
  QLabel* title_;
  QLabel* detail_;
  QWidget* action_;
  QWidget* actionHolder_ = nullptr;
};

class OnboardingView : public QWidget {
  Q_OBJECT

 public:
  static constexpr QSize kSize{560, 600};
  static constexpr dispatch::Duration kPermissionPollInterval = std::chrono::seconds(1);

  // What the view works with; tests script each of them.
  struct Environment {
    CameraServiceInstaller* serviceInstaller = nullptr;
    // Where the camera authorization is read and asked for.
    std::shared_ptr<capture::CaptureDevices> authorization;
    std::shared_ptr<urls::UrlOpener> opener;
    // The permission poll runs here, and access answers are moved here.
    std::shared_ptr<dispatch::Queue> mainQueue;
    // A modal alert with one default button over `parent`'s window.
    std::function<void(QWidget* parent, const QString& message, const QString& informative)> alert;
    // The camera's /dev/video device, shown in step 2; left out when null.
    VideoDeviceStatus* videoDevice = nullptr;
    // Step 4, starting the app at login; left out when null.
    LoginItemManager* loginItem = nullptr;
    // Turns starting at login on when the view is made: the setup's default,
    // offered once, so a later "off" stays off.
    bool startAtLoginByDefault = false;
  };

  // Set once the setup offered starting at login (see startAtLoginByDefault).
  static constexpr const char* kLoginItemOfferedKey = settings_keys::kLaunchAtLoginOffered;

  // The program's installer, capture service, URL opener, main queue, video
  // device and login item, and a message box; marks starting at login offered.
  static Environment defaultEnvironment(AppObjects& objects);

  OnboardingView(Environment environment, std::function<void()> onClose, QWidget* parent = nullptr);
  ~OnboardingView() override;

  bool cameraAuthorized() const { return cameraAuthorized_; }
  bool isPolling() const { return permissionTimer_ != nullptr; }

  // Step 3's action: asks when undecided, else opens the camera privacy page.
  void requestCameraAccess();
  // Step 2's action: checks the camera service now and shows what it found
  // beside the button; an alert when the check gets no answer.
  void checkCameraService();
  QLabel* checkResultLabel() const { return checkResult_; }
  // Step 2's account of the /dev/video device; null without one.
  settings::VideoDeviceView* videoDeviceView() const { return videoDevice_; }

  StepRow* step(int number) const;
  QPushButton* stepButton(int number) const;
  QPushButton* doneButton() const { return done_; }
  // Step 4's box; null without a login item.
  QCheckBox* startAtLoginBox() const { return startAtLogin_; }
  QScrollArea* scrollArea() const { return scroll_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void build();
  void redraw();
  void setCameraAuthorized(bool authorized);
  bool readAuthorized() const;
  void stopPolling();
  QString checkResultText() const;

  Environment env_;
  QPointer<CameraServiceInstaller> serviceInstaller_;
  std::function<void()> onClose_;
  bool cameraAuthorized_ = false;
  std::shared_ptr<dispatch::Timer> permissionTimer_;

  StepRow* steps_[4] = {nullptr, nullptr, nullptr, nullptr};
  QCheckBox* startAtLogin_ = nullptr;
  QPushButton* install_ = nullptr;
  QPushButton* openSettings_ = nullptr;  // step 2: check again
  QLabel* checkResult_ = nullptr;
  settings::VideoDeviceView* videoDevice_ = nullptr;
  bool checking_ = false;
  bool checked_ = false;
  QPushButton* allowCamera_ = nullptr;
  QPushButton* done_ = nullptr;
  QScrollArea* scroll_ = nullptr;
};

// The onboarding window's content for the application delegate: the view on
// the program's objects, ending with the delegate's `onClose`.
QWidget* makeOnboardingContent(AppObjects& objects, std::function<void()> onClose);

}  // namespace tovrelle

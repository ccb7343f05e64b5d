#pragma once
// The popover's content, the app's main control surface: the live preview,
// the camera-access warning, the off and on rows with the camera menu, one
// row per library image, the settings, update and quit rows and, while the
// camera service is not running, its status with an install row.
//
// Built fresh for every show from the current model objects. While it is
// shown it follows their change signals: check marks, rows, the camera menu
// and the install group change in place, and the preview repaints with each
// new frame. Thread-bound (main thread): the preview renderer hands its
// frames over on the main queue.
#include <QHash>
#include <QImage>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/installer/CameraServiceInstaller.h"
#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraManager.h"
#include "app/shell/PopoverRow.h"
#include "app/shell/PopoverWindow.h"  // TrayApp holds it by QPointer
#include "app/shell/TrayApp.h"

class QMenu;
class QToolButton;
class QVBoxLayout;

namespace tovrelle {

struct AppObjects;
class CameraFeedStatus;
class CameraManager;
class CameraPermission;
class ImageManager;
class PreviewRenderer;

class TrayPanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 260;
  static constexpr int kPadding = 12;
  static constexpr int kContentWidth = kWidth - 2 * kPadding;
  static constexpr int kStackSpacing = 8;
  static constexpr int kGroupSpacing = 2;
  static constexpr int kBlockSpacing = 4;
  static constexpr int kPreviewHeight = 135;
  static constexpr qreal kPreviewCornerRadius = 6;

  // The objects the view reads and acts on.
  struct Models {
    CameraManager* cameraManager = nullptr;
    ImageManager* imageManager = nullptr;
    CameraDeviceManager* cameraDevices = nullptr;
    CameraServiceInstaller* serviceInstaller = nullptr;
    PreviewRenderer* preview = nullptr;
    CameraPermission* cameraPermission = nullptr;
    // Ends the application (the quit row).
    std::function<void()> terminate;
    // Why camera mode shows no picture: said over the preview, asked while shown.
    CameraFeedStatus* cameraFeed = nullptr;

    // The program's objects and QCoreApplication::quit.
    static Models from(AppObjects& objects);
  };

  TrayPanel(Models models, std::function<void()> onOpenSettings, std::function<void()> onInstallService,
            std::function<void()> onCheckForUpdates, bool canCheckForUpdates, QWidget* parent = nullptr);
  ~TrayPanel() override;

  // Draws the current model state now (changes are otherwise drawn one
  // event-loop turn after they are published, several at once).
  void redraw();

  QWidget* previewArea() const { return previewArea_; }
  // What the preview says over the picture; empty when the picture speaks for itself.
  QString previewNotice() const;
  QToolButton* cameraMenuButton() const { return cameraMenuButton_; }
  QMenu* cameraMenu() const { return cameraMenu_; }

  // The rows and the camera menu that take the keyboard focus, top to bottom.
  std::vector<QWidget*> focusChain() const;
  // Focuses the row of what the camera shows now (the checked row).
  void focusCurrentRow();

  // What the data folder's trouble means for the camera, in words.
  static QString dataFolderProblemText(const CameraManager::DataFolderProblem& problem);
  // The file's first picture, or a null image when it does not load.
  static QImage loadLeadingImage(const std::string& fileName);

 protected:
  // Up and Down move between the rows; Return on the camera menu opens it.
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool moveFocus(int step);
  void setNeedsRedraw();
  void clearContent();
  void addChild(QWidget* child);
  QWidget* makeGroup(const char* name, int spacing);
  QWidget* makeDivider();
  PopoverRow* addRow(QWidget* group, const char* name, const QString& title, bool isChecked, bool isEnabled,
                     std::function<void()> action, const QImage& leadingImage = {});
  void populateCameraMenu();
  void chooseCamera(const std::optional<std::string>& cameraId);
  void closeAfterChoice();
  QImage leadingImageFor(const std::string& fileName);
  void fitHeight();

  Models models_;
  std::function<void()> onOpenSettings_;
  std::function<void()> onInstallService_;
  std::function<void()> onCheckForUpdates_;
  bool canCheckForUpdates_;

  QVBoxLayout* layout_ = nullptr;
  QWidget* previewArea_ = nullptr;
  QWidget* cameraMenuHolder_ = nullptr;
  QToolButton* cameraMenuButton_ = nullptr;
  QMenu* cameraMenu_ = nullptr;
  // Thumbnails of this popover's rows, loaded when a row first needs them.
  QHash<QString, QImage> leadingImages_;
  bool redrawPending_ = false;
  std::shared_ptr<void> feedWatch_;
};

// Fills the delegate's popover hooks: the view on `models`, and their preview
// started when the popover shows and stopped when it closes.
void installTrayPanel(TrayApp::Hooks& hooks, TrayPanel::Models models);

}  // namespace tovrelle

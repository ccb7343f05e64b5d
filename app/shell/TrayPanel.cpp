#include "app/shell/TrayPanel.h"

#include "app/shell/PopoverWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/installer/StatusText.h"
#include "app/model/CameraFeedStatus.h"
#include "app/model/CameraManager.h"
#include "app/model/CameraPermission.h"
#include "app/model/ImageManager.h"
#include "app/model/PreviewRenderer.h"
#include "app/settings/Icons.h"
#include "app/settings/SettingsStyle.h"
#include "app/shell/AppObjects.h"
#include "app/shell/PreviewArea.h"
#include "platform/imaging/ByteSource.h"
#include "platform/imaging/Decoder.h"
#include "shared/DataFolder.h"

namespace tovrelle {

namespace {

QColor secondaryColor(const QPalette& palette) { return settings::secondaryTextColor(palette); }

const QColor kDeniedRed(0xd7, 0x26, 0x26);

QString previewLabel(CameraMode mode) {
  switch (mode) {
    case CameraMode::off:
      //: Preview shows a black frame
      return qtTrId("a11y.preview.off");
    case CameraMode::camera:
      //: Preview shows the real camera
      return qtTrId("a11y.preview.camera");
    case CameraMode::image:
      //: Preview shows a still image
      return qtTrId("a11y.preview.image");
  }
  return {};
}

// Takes a widget out of the popover for good; it goes once control is back in
// the event loop, so a row may safely end up here from its own click.
void discard(QWidget* widget) {
  widget->setProperty("discarded", true);
  widget->hide();
  widget->setParent(nullptr);
  widget->deleteLater();
}

}  // namespace

// ---- TrayPanel

TrayPanel::Models TrayPanel::Models::from(AppObjects& objects) {
  Models m;
  m.cameraManager = objects.camera.get();
  m.imageManager = objects.images.get();
  m.cameraDevices = objects.cameraDevices.get();
  m.serviceInstaller = objects.installer.get();
  m.preview = objects.preview.get();
  m.cameraPermission = objects.cameraPermission.get();
  m.cameraFeed = objects.cameraFeed.get();
  m.terminate = [] { QCoreApplication::quit(); };
  return m;
}

TrayPanel::TrayPanel(Models models, std::function<void()> onOpenSettings, std::function<void()> onInstallService,
                     std::function<void()> onCheckForUpdates, bool canCheckForUpdates, QWidget* parent)
    : QWidget(parent),
      models_(std::move(models)),
      onOpenSettings_(std::move(onOpenSettings)),
      onInstallService_(std::move(onInstallService)),
      onCheckForUpdates_(std::move(onCheckForUpdates)),
      canCheckForUpdates_(canCheckForUpdates) {
  setObjectName(QStringLiteral("trayPanel"));
  setFixedWidth(kWidth);
  layout_ = new QVBoxLayout(this);
  layout_->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  layout_->setSpacing(kStackSpacing);
  layout_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  previewArea_ = new popover::PreviewArea(models_.preview, this);

  // The camera menu stays across redraws, so a change while it is open only
  // refreshes its items.
  cameraMenuHolder_ = new QWidget(this);
  cameraMenuHolder_->setObjectName(QStringLiteral("cameraMenuHolder"));
  auto* holderLayout = new QHBoxLayout(cameraMenuHolder_);
  holderLayout->setContentsMargins(0, 1, 0, 1);
  holderLayout->setSpacing(0);
  cameraMenuButton_ = new QToolButton(cameraMenuHolder_);
  cameraMenuButton_->setObjectName(QStringLiteral("cameraMenu"));
  //: Camera selection submenu title
  cameraMenuButton_->setText(qtTrId("menu.selectCamera"));
  cameraMenuButton_->setAccessibleName(cameraMenuButton_->text());
  cameraMenuButton_->setAutoRaise(true);
  cameraMenuButton_->setPopupMode(QToolButton::InstantPopup);
  cameraMenuButton_->setToolButtonStyle(Qt::ToolButtonTextOnly);
  cameraMenuButton_->setFocusPolicy(Qt::TabFocus);
  cameraMenuButton_->installEventFilter(this);
  cameraMenu_ = new QMenu(cameraMenuButton_);
  cameraMenu_->setObjectName(QStringLiteral("cameraMenuItems"));
  cameraMenuButton_->setMenu(cameraMenu_);
  holderLayout->addWidget(cameraMenuButton_);
  holderLayout->addStretch(1);

  // Every published change redraws; new frames only repaint the preview.
  auto redrawSoon = [this] { setNeedsRedraw(); };
  if (auto* m = models_.cameraManager) {
    connect(m, &CameraManager::currentModeChanged, this, redrawSoon);
    connect(m, &CameraManager::selectedImageIdChanged, this, redrawSoon);
    connect(m, &CameraManager::selectedCameraIdChanged, this, redrawSoon);
    connect(m, &CameraManager::dataFolderProblemChanged, this, redrawSoon);
  }
  if (auto* m = models_.imageManager) connect(m, &ImageManager::savedImagesChanged, this, redrawSoon);
  if (auto* m = models_.cameraDevices) connect(m, &CameraDeviceManager::camerasChanged, this, redrawSoon);
  if (auto* m = models_.serviceInstaller) connect(m, &CameraServiceInstaller::statusChanged, this, redrawSoon);
  if (auto* m = models_.cameraPermission) connect(m, &CameraPermission::statusChanged, this, redrawSoon);
  if (auto* m = models_.cameraFeed) connect(m, &CameraFeedStatus::changed, this, redrawSoon);

  redraw();
}

TrayPanel::~TrayPanel() = default;

void TrayPanel::setNeedsRedraw() {
  if (redrawPending_) return;
  redrawPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (redrawPending_) redraw();
      },
      Qt::QueuedConnection);
}

void TrayPanel::clearContent() {
  // Keep the persistent parts out of what is thrown away.
  cameraMenuHolder_->hide();
  cameraMenuHolder_->setParent(this);
  while (QLayoutItem* item = layout_->takeAt(0)) {
    if (QWidget* widget = item->widget(); widget && widget != previewArea_) discard(widget);
    delete item;
  }
}

void TrayPanel::addChild(QWidget* child) {
  layout_->addWidget(child);
  // Children made while the popover is shown would otherwise appear a turn
  // later, after the height was measured without them.
  child->show();
}

QWidget* TrayPanel::makeGroup(const char* name, int spacing) {
  auto* group = new QWidget(this);
  group->setObjectName(QString::fromLatin1(name));
  group->setFixedWidth(kContentWidth);
  auto* stack = new QVBoxLayout(group);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(spacing);
  return group;
}

QWidget* TrayPanel::makeDivider() {
  auto* line = new QFrame(this);
  line->setObjectName(QStringLiteral("divider"));
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  line->setFixedHeight(1);
  line->setFixedWidth(kContentWidth);
  QPalette palette = line->palette();
  QColor color = palette.color(QPalette::WindowText);
  color.setAlphaF(0.15);
  palette.setColor(QPalette::WindowText, color);
  line->setPalette(palette);
  return line;
}

PopoverRow* TrayPanel::addRow(QWidget* group, const char* name, const QString& title, bool isChecked, bool isEnabled,
                              std::function<void()> action, const QImage& leadingImage) {
  auto* row = new PopoverRow(title, isChecked, isEnabled, leadingImage, std::move(action), group);
  row->setObjectName(QString::fromLatin1(name));
  group->layout()->addWidget(row);
  return row;
}

void TrayPanel::redraw() {
  redrawPending_ = false;
  // The rows are rebuilt; the keyboard focus stays on the same row.
  QString focusedName;
  QVariant focusedImage;
  if (QWidget* focused = QApplication::focusWidget(); focused && isAncestorOf(focused)) {
    focusedName = focused->objectName();
    focusedImage = focused->property("imageId");
  }
  clearContent();
  const CameraMode mode = models_.cameraManager ? models_.cameraManager->currentMode() : CameraMode::off;

  // 1-2. Preview and divider.
  addChild(previewArea_);
  const QString notice = models_.cameraFeed ? models_.cameraFeed->text() : QString();
  static_cast<popover::PreviewArea*>(previewArea_)->setNotice(notice);
  previewArea_->setAccessibleName(notice.isEmpty() ? previewLabel(mode) : notice);
  addChild(makeDivider());

  // 3. Camera access denied.
  if (auto* permission = models_.cameraPermission; permission && permission->isDenied()) {
    QWidget* block = makeGroup("cameraPermissionBlock", kBlockSpacing);
    //: Camera access is denied
    auto* caption = new QLabel(qtTrId("menu.cameraPermission.denied"), block);
    caption->setObjectName(QStringLiteral("cameraPermissionCaption"));
    caption->setWordWrap(true);
    caption->setFont(popoverCaptionFont(font()));
    caption->setFixedWidth(kContentWidth);
    QPalette palette = caption->palette();
    palette.setColor(QPalette::WindowText, kDeniedRed);
    caption->setPalette(palette);
    block->layout()->addWidget(caption);
    QPointer<CameraPermission> target(permission);
    //: Open the camera privacy settings
    addRow(block, "openPrivacySettingsRow", qtTrId("menu.cameraPermission.openSettings"), false, true, [target] {
      if (target) target->openCameraPrivacySettings();
    });
    addChild(block);
    addChild(makeDivider());
  }

  // 4. Off, on and the camera menu.
  {
    QWidget* group = makeGroup("modeGroup", kGroupSpacing);
    QPointer<CameraManager> camera(models_.cameraManager);
    QPointer<TrayPanel> self(this);
    //: Turn the virtual camera off
    addRow(group, "offRow", qtTrId("menu.cameraOff"), mode == CameraMode::off, true, [camera, self] {
      if (camera) camera->turnOff();
      if (self) self->closeAfterChoice();
    });
    //: Turn the virtual camera on
    addRow(group, "onRow", qtTrId("menu.cameraOn"), mode == CameraMode::camera, true, [camera, self] {
      if (camera) camera->turnOn();
      if (self) self->closeAfterChoice();
    });
    cameraMenuHolder_->setParent(group);
    group->layout()->addWidget(cameraMenuHolder_);
    cameraMenuHolder_->show();
    addChild(group);
  }

  // 5. Divider.
  addChild(makeDivider());

  // 6. One row per library image.
  if (auto* library = models_.imageManager; library && !library->savedImages().empty()) {
    QWidget* group = makeGroup("imageGroup", kGroupSpacing);
    const auto selected = models_.cameraManager ? models_.cameraManager->selectedImageId() : std::nullopt;
    QPointer<CameraManager> camera(models_.cameraManager);
    QPointer<TrayPanel> self(this);
    for (const SavedImage& image : library->savedImages()) {
      const bool checked = mode == CameraMode::image && selected && *selected == image.id;
      PopoverRow* row = addRow(
          group, "imageRow", QString::fromStdString(image.name), checked, true,
          [camera, self, id = image.id] {
            if (camera) camera->selectImage(id);
            if (self) self->closeAfterChoice();
          },
          leadingImageFor(image.fileName));
      row->setProperty("imageId", QString::fromStdString(image.id.toString()));
    }
    addChild(group);
  }

  // 7. Divider.
  addChild(makeDivider());

  // 8. Settings, updates, quit.
  {
    QWidget* group = makeGroup("appGroup", kGroupSpacing);
    //: Open the settings window
    addRow(group, "settingsRow", qtTrId("menu.settings"), false, true, onOpenSettings_);
    if (onCheckForUpdates_) {
      if (!canCheckForUpdates_) {
        // Nothing to check here: the system's package updates bring new versions.
        //: Disabled update row of a build whose updates come with the system's software updates
        PopoverRow* row = addRow(group, "updateRow", qtTrId("menu.updatesFromSystem"), false, false, {});
        //: Tool tip of that row
        row->setToolTip(qtTrId("menu.updatesFromSystem.help"));
      } else {
        //: Opens the update page this build names
        addRow(group, "updateRow", qtTrId("menu.checkForUpdates"), false, canCheckForUpdates_, onCheckForUpdates_);
      }
    }
    //: Quit the app
    addRow(group, "quitRow", qtTrId("menu.quit"), false, true, models_.terminate);
    addChild(group);
  }

  // 9. The camera service, while it is not running.
  if (auto* installer = models_.serviceInstaller;
      installer && !installer->status().is(CameraServiceInstaller::Status::Case::running)) {
    addChild(makeDivider());
    QWidget* group = makeGroup("serviceGroup", kBlockSpacing);
    auto* text =
        new QLabel(status_text::service(status_text::Place::panel, status_text::Situation::of(*installer)), group);
    text->setObjectName(QStringLiteral("serviceStatusText"));
    text->setWordWrap(true);
    text->setFont(popoverCaptionFont(font()));
    text->setFixedWidth(kContentWidth);
    QPalette palette = text->palette();
    palette.setColor(QPalette::WindowText, secondaryColor(palette));
    text->setPalette(palette);
    group->layout()->addWidget(text);
    const bool requesting = installer->status().is(CameraServiceInstaller::Status::Case::starting);
    //: Set up the camera service
    addRow(group, "installRow", qtTrId("menu.installService"), false, !requesting, onInstallService_);
    addChild(group);
  }

  // 10. A data folder the app cannot write: the camera does not follow.
  if (auto* camera = models_.cameraManager; camera && camera->dataFolderProblem()) {
    addChild(makeDivider());
    QWidget* group = makeGroup("dataFolderGroup", kBlockSpacing);
    auto* text = new QLabel(dataFolderProblemText(*camera->dataFolderProblem()), group);
    text->setObjectName(QStringLiteral("dataFolderProblemText"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setFont(popoverCaptionFont(font()));
    text->setFixedWidth(kContentWidth);
    QPalette palette = text->palette();
    palette.setColor(QPalette::WindowText, kDeniedRed);
    text->setPalette(palette);
    group->layout()->addWidget(text);
    addChild(group);
  }

  populateCameraMenu();
  fitHeight();
  if (!focusedName.isEmpty()) {
    for (QWidget* candidate : focusChain())
      if (candidate->objectName() == focusedName && candidate->property("imageId") == focusedImage) {
        candidate->setFocus(Qt::OtherFocusReason);
        break;
      }
  }
}

std::vector<QWidget*> TrayPanel::focusChain() const {
  std::vector<QWidget*> chain;
  for (QWidget* widget : findChildren<QWidget*>()) {
    const bool control = qobject_cast<PopoverRow*>(widget) || widget == cameraMenuButton_;
    if (control && widget->isVisibleTo(this) && widget->isEnabled() && widget->focusPolicy() != Qt::NoFocus &&
        !widget->property("discarded").toBool())
      chain.push_back(widget);
  }
  // Top to bottom, as drawn.
  std::stable_sort(chain.begin(), chain.end(), [this](QWidget* a, QWidget* b) {
    return a->mapTo(this, QPoint(0, 0)).y() < b->mapTo(this, QPoint(0, 0)).y();
  });
  return chain;
}

void TrayPanel::focusCurrentRow() {
  const auto chain = focusChain();
  if (chain.empty()) return;
  const CameraMode mode = models_.cameraManager ? models_.cameraManager->currentMode() : CameraMode::off;
  QWidget* target = nullptr;
  for (QWidget* widget : chain) {
    auto* row = qobject_cast<PopoverRow*>(widget);
    if (!row || !row->isChecked()) continue;
    target = row;
    break;
  }
  // Image mode with its image gone from the library: the off row.
  if (!target)
    target = findChild<PopoverRow*>(mode == CameraMode::camera ? QStringLiteral("onRow") : QStringLiteral("offRow"));
  (target ? target : chain.front())->setFocus(Qt::PopupFocusReason);
}

bool TrayPanel::moveFocus(int step) {
  const auto chain = focusChain();
  if (chain.empty()) return false;
  QWidget* focused = QApplication::focusWidget();
  auto at = std::find(chain.begin(), chain.end(), focused);
  if (at == chain.end()) {
    focusCurrentRow();
    return true;
  }
  const auto index = (at - chain.begin()) + step;
  if (index < 0 || index >= static_cast<long>(chain.size())) return true;  // stays at the end
  chain[static_cast<size_t>(index)]->setFocus(step > 0 ? Qt::TabFocusReason : Qt::BacktabFocusReason);
  return true;
}

void TrayPanel::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
    if (event->key() == Qt::Key_Down && moveFocus(+1)) return;
    if (event->key() == Qt::Key_Up && moveFocus(-1)) return;
  }
  QWidget::keyPressEvent(event);
}

void TrayPanel::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) focusCurrentRow();
  // The service's word on the camera is asked for only while someone looks.
  if (models_.cameraFeed && !feedWatch_) feedWatch_ = models_.cameraFeed->watch();
}

void TrayPanel::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (!event->spontaneous()) feedWatch_.reset();
}

QString TrayPanel::previewNotice() const { return static_cast<popover::PreviewArea*>(previewArea_)->notice(); }

bool TrayPanel::eventFilter(QObject* watched, QEvent* event) {
  if (watched == cameraMenuButton_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
        // Opened once this key press is done: the menu then takes the keys.
        QMetaObject::invokeMethod(cameraMenuButton_, &QToolButton::showMenu, Qt::QueuedConnection);
        return true;
      case Qt::Key_Up: return moveFocus(-1);
      case Qt::Key_Down: return moveFocus(+1);
      default: break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

QString TrayPanel::dataFolderProblemText(const CameraManager::DataFolderProblem& problem) {
  const QString folder = QString::fromStdString(problem.folder.string());
  QString text;
  switch (problem.fault) {
    case StorageFault::readOnly:
      //: Popover: the data folder is read-only; %1 is its path
      text = qtTrId("menu.dataFolder.readOnly").arg(folder);
      break;
    case StorageFault::full:
      //: Popover: the disk of the data folder is full; %1 is the folder's path
      text = qtTrId("menu.dataFolder.full").arg(folder);
      break;
    case StorageFault::notPermitted:
      //: Popover: the app may not write its data folder; %1 is its path
      text = qtTrId("menu.dataFolder.notPermitted").arg(folder);
      break;
    case StorageFault::other:
      //: Popover: the app cannot write its data folder; %1 is its path
      text = qtTrId("menu.dataFolder.unavailable").arg(folder);
      break;
  }
  //: Popover: without the heartbeat, calls show the launch-the-app picture
  if (problem.heartbeatStopped) text += QLatin1Char(' ') + qtTrId("menu.dataFolder.heartbeatStopped");
  //: Popover: the camera keeps the previous choice until the state is written
  if (problem.stateBehind) text += QLatin1Char(' ') + qtTrId("menu.dataFolder.stateBehind");
  return text;
}

void TrayPanel::populateCameraMenu() {
  cameraMenu_->clear();
  const std::optional<std::string> selected =
      models_.cameraManager ? models_.cameraManager->selectedCameraId() : std::nullopt;
  const QColor markColor = palette().color(QPalette::Active, QPalette::WindowText);
  const QIcon checkmark = icons::icon(QStringLiteral("object-select-symbolic"), markColor);

  //: Default (system default) camera option
  QAction* defaultItem = cameraMenu_->addAction(qtTrId("camera.default"));
  defaultItem->setObjectName(QStringLiteral("defaultCamera"));
  defaultItem->setIcon(selected ? QIcon() : checkmark);
  connect(defaultItem, &QAction::triggered, this, [this] { chooseCamera(std::nullopt); });

  const std::vector<CameraInfo> cameras =
      models_.cameraDevices ? models_.cameraDevices->cameras() : std::vector<CameraInfo>{};
  if (cameras.empty()) return;
  cameraMenu_->addSeparator();
  for (const CameraInfo& camera : cameras) {
    QAction* item = cameraMenu_->addAction(QString::fromStdString(camera.name));
    item->setData(QString::fromStdString(camera.id));
    item->setIcon(selected && *selected == camera.id ? checkmark : QIcon());
    connect(item, &QAction::triggered, this, [this, id = camera.id] { chooseCamera(id); });
  }
}

void TrayPanel::chooseCamera(const std::optional<std::string>& cameraId) {
  CameraManager* camera = models_.cameraManager;
  if (!camera) return;
  camera->setSelectedCameraId(cameraId);
  // Choosing a camera also switches the virtual camera on; one write carries both.
  if (camera->currentMode() != CameraMode::camera) {
    camera->turnOn();
  } else {
    camera->writeState();
  }
  closeAfterChoice();
}

void TrayPanel::closeAfterChoice() {
  // The choice is made and shown in the tray icon: the popover has done its job, as a menu has.
  if (auto* popover = qobject_cast<PopoverWindow*>(window())) popover->performClose();
}

QImage TrayPanel::loadLeadingImage(const std::string& fileName) {
  const auto path = imageFilePath(fileName);
  if (!path) return {};
  auto first = imaging::decodeFirstPicture(*path);
  if (!first) return {};
  const QImage picture(first->pixels.data(), first->width, first->height, qsizetype(first->stride),
                       QImage::Format_RGB32);
  // Twice the drawn size keeps it sharp on high-density screens; scaled() copies out of `first`.
  const int side = 2 * PopoverRow::kLeadingImageSize;
  return picture.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QImage TrayPanel::leadingImageFor(const std::string& fileName) {
  const QString key = QString::fromStdString(fileName);
  auto it = leadingImages_.constFind(key);
  if (it != leadingImages_.constEnd()) return *it;
  QImage image = loadLeadingImage(fileName);
  leadingImages_.insert(key, image);
  return image;
}

void TrayPanel::fitHeight() {
  layout_->invalidate();
  layout_->activate();
  const int height =
      layout_->hasHeightForWidth() ? layout_->totalHeightForWidth(kWidth) : layout_->totalSizeHint().height();
  setFixedHeight(height);
  if (QWidget* top = window(); top != this) top->adjustSize();
}

void installTrayPanel(TrayApp::Hooks& hooks, TrayPanel::Models models) {
  hooks.makePopoverContent = [models](const TrayApp::PopoverInputs& inputs) -> QWidget* {
    return new TrayPanel(models, inputs.onOpenSettings, inputs.onInstallService, inputs.onCheckForUpdates,
                         inputs.canCheckForUpdates);
  };
  PreviewRenderer* preview = models.preview;
  hooks.startPreview = [preview] { preview->startPreview(); };
  hooks.stopPreview = [preview] { preview->stopPreview(); };
}

}  // namespace tovrelle

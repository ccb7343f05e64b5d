#include "app/settings/GeneralSettingsView.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/installer/StatusText.h"
#include "app/model/ApplicationEvents.h"
#include "app/settings/SettingsStyle.h"
#include "app/settings/SettingsTabViewController.h"
#include "app/settings/VideoDeviceView.h"
#include "app/settings/WebPage.h"
#include "app/shortcuts/KeyboardShortcuts.h"
#include "app/shortcuts/Names.h"
#include "app/shortcuts/ShortcutRow.h"

namespace tovrelle::settings {
namespace {

using Case = CameraServiceInstaller::Status::Case;

// One group of a grouped form: rows on a rounded panel.
class FormGroup : public QFrame {
 public:
  explicit FormGroup(QWidget* content, QWidget* parent) : QFrame(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->addWidget(content);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // Not the controls' fill: checkboxes and fields keep their edges on it.
    p.setPen(QPen(cardBorderColor(*this), 1));
    p.setBrush(cardColor(*this));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
  }
};

QLabel* plainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

// Wraps to its width; its minimum is one line, so the form takes the height
// the text needs at the real width rather than at a narrow guess.
class WrappingLabel : public QLabel {
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override { return {QLabel::minimumSizeHint().width(), fontMetrics().height()}; }
};

QLabel* secondaryLabel(const QString& text, TextStyle style, QWidget* parent) {
  auto* label = new WrappingLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setSecondary(*label, style);
  label->setWordWrap(true);
  return label;
}

// Something the user must act on: in the warning colour, hidden until needed.
QLabel* warningLabel(const char* name, QWidget* parent) {
  QLabel* label = secondaryLabel({}, TextStyle::Callout, parent);
  label->setObjectName(QString::fromLatin1(name));
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(0xc0, 0x39, 0x2b));
  label->setPalette(palette);
  label->hide();
  return label;
}

QVBoxLayout* column(QWidget* widget, int spacing) {
  auto* layout = new QVBoxLayout(widget);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(spacing);
  return layout;
}

}  // namespace

namespace {

bool confirmRemoval(QWidget* parent) {
  QMessageBox box(parent ? parent->window() : nullptr);
  box.setIcon(QMessageBox::Question);
  //: Title of the confirmation before removing the camera service
  box.setText(qtTrId("settings.service.remove.title"));
  //: Text of the confirmation before removing the camera service
  box.setInformativeText(qtTrId("settings.service.remove.message"));
  //: Confirming button of the removal
  QPushButton* remove = box.addButton(qtTrId("settings.service.remove.confirm"), QMessageBox::DestructiveRole);
  box.addButton(QMessageBox::Cancel);
  box.setDefaultButton(QMessageBox::Cancel);
  box.exec();
  return box.clickedButton() == remove;
}

}  // namespace

// -------------------------------------------------------- CameraServiceStatusView

CameraServiceStatusView::CameraServiceStatusView(Actions actions, QWidget* parent)
    : QWidget(parent), actions_(std::move(actions)), layout_(column(this, 6)) {
  setStatus(status_text::Situation{});
}

void CameraServiceStatusView::clear() {
  while (QLayoutItem* item = layout_->takeAt(0)) {
    if (QWidget* w = item->widget()) delete w;
    if (QLayout* l = item->layout()) {
      while (QLayoutItem* inner = l->takeAt(0)) {
        delete inner->widget();
        delete inner;
      }
    }
    delete item;
  }
  text_ = nullptr;
  diagnostic_ = nullptr;
  supportLink_ = nullptr;
}

void CameraServiceStatusView::setStatus(const status_text::Situation& situation) {
  clear();
  const QString line = status_text::service(status_text::Place::settings, situation);
  const CameraServiceInstaller::Status& status = situation.status;
  if (situation.removing || status.kind != Case::failed || !status.failure) {
    text_ = secondaryLabel(line, TextStyle::Body, this);
    layout_->addWidget(text_);
    showRows();
    return;
  }

  const CameraServiceInstaller::Failure& failure = *status.failure;
  text_ = secondaryLabel(line, TextStyle::Callout, this);
  text_->setObjectName(QStringLiteral("failureMessage"));
  layout_->addWidget(text_);

  auto* remedies = new QHBoxLayout;
  remedies->setSpacing(12);
  diagnostic_ = secondaryLabel(failure.diagnostic, TextStyle::Caption, this);
  diagnostic_->setObjectName(QStringLiteral("diagnostic"));
  // Support asks for this text; let the user copy it.
  diagnostic_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  diagnostic_->setCursor(Qt::IBeamCursor);
  // The diagnostic takes the room it can get and wraps; the remedies follow it.
  remedies->addWidget(diagnostic_, 1, Qt::AlignVCenter);

  if (failure.needsSupport && actions_.supportPage) {
    if (std::optional<QUrl> page = actions_.supportPage()) {
      //: Link to the support page
      const QString title = qtTrId("about.link.support");
      supportLink_ = new QLabel(this);
      supportLink_->setObjectName(QStringLiteral("supportLink"));
      supportLink_->setTextFormat(Qt::RichText);
      supportLink_->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                                .arg(page->toString(QUrl::FullyEncoded).toHtmlEscaped(), title.toHtmlEscaped()));
      supportLink_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
      supportLink_->setOpenExternalLinks(false);
      supportLink_->setToolTip(page->toString());
      const QUrl address = *page;
      connect(supportLink_, &QLabel::linkActivated, this, [this, address] {
        if (actions_.openWebPage) actions_.openWebPage(address);
      });
      remedies->addWidget(supportLink_, 0, Qt::AlignVCenter);
    }
  }
  layout_->addLayout(remedies);
  showRows();
}

void CameraServiceStatusView::showRows() {
  // Rows added to a view already on screen would otherwise appear one event
  // loop turn later.
  for (QWidget* row :
       {static_cast<QWidget*>(text_), static_cast<QWidget*>(diagnostic_), static_cast<QWidget*>(supportLink_)})
    if (row) row->show();
}

// -------------------------------------------------------- GeneralSettingsView

GeneralSettingsView::GeneralSettingsView(Environment environment, QWidget* parent)
    : QWidget(parent),
      env_(std::move(environment)),
      loginItemManager_(env_.loginItemManager),
      serviceInstaller_(env_.serviceInstaller),
      cameraPermission_(env_.cameraPermission) {
  auto* outer = column(this, 0);
  auto* scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  outer->addWidget(scroll);
  auto* page = new QWidget(scroll);
  auto* form = new QVBoxLayout(page);
  form->setContentsMargins(20, 16, 20, 20);
  form->setSpacing(18);

  // Settings that cannot be saved are lost at quit: setup then comes back.
  storeWarning_ = warningLabel("settingsStoreWarning", page);
  form->addWidget(storeWarning_);

  // 1. Language: the platform picks the localization; there is nothing to set.
  //: Explains that the app follows the system language
  QLabel* language = secondaryLabel(qtTrId("settings.language.systemFollow"), TextStyle::Body, page);
  //: General settings section header
  addSection(form, qtTrId("settings.section.language"), language);

  // 2. Startup.
  //: Checkbox that starts the app at login
  launchAtLogin_ = new QCheckBox(qtTrId("settings.launchAtLogin"), page);
  connect(launchAtLogin_, &QCheckBox::clicked, this, [this](bool checked) {
    if (loginItemManager_) loginItemManager_->setEnabled(checked);
    // The box shows what the service did, not what was asked.
    redrawLoginItem();
  });
  //: General settings section header
  addSection(form, qtTrId("settings.section.startup"), launchAtLogin_);

  // 3. Camera service.
  auto* service = new QWidget(page);
  auto* serviceRows = column(service, 10);
  auto* statusRow = new QHBoxLayout;
  statusRow->setSpacing(8);
  //: Label before the camera service status
  statusRow->addWidget(plainLabel(qtTrId("settings.service.statusLabel"), service), 0, Qt::AlignTop);
  QPointer<GeneralSettingsView> self(this);
  CameraServiceStatusView::Actions actions;
  actions.supportPage = [self]() -> std::optional<QUrl> {
    if (!self || !self->env_.webPageURL) return std::nullopt;
    return self->env_.webPageURL(QStringLiteral("support"));
  };
  actions.openWebPage = [self](const QUrl& url) {
    if (self && self->env_.opener) self->env_.opener->open(url.toString(QUrl::FullyEncoded).toStdString());
  };
  status_ = new CameraServiceStatusView(std::move(actions), service);
  statusRow->addWidget(status_, 1, Qt::AlignTop);
  serviceRows->addLayout(statusRow);
  //: Button that installs the camera service again
  reinstall_ = new QPushButton(qtTrId("settings.service.reinstall"), service);
  connect(reinstall_, &QPushButton::clicked, this, [this] {
    if (serviceInstaller_) serviceInstaller_->install(true);
  });
  //: Button that stops and removes the camera service
  remove_ = new QPushButton(qtTrId("settings.service.remove"), service);
  connect(remove_, &QPushButton::clicked, this, [this] {
    if (!serviceInstaller_) return;
    if (!(env_.confirmRemoval ? env_.confirmRemoval(this) : confirmRemoval(this))) return;
    serviceInstaller_->remove();
  });
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(8);
  buttons->addWidget(reinstall_);
  buttons->addWidget(remove_);
  buttons->addStretch(1);
  serviceRows->addLayout(buttons);
  if (env_.videoDevice) {
    auto* videoRow = new QHBoxLayout;
    videoRow->setSpacing(8);
    //: Label before the /dev/video device's state
    videoRow->addWidget(plainLabel(qtTrId("settings.videoDevice.label"), service), 0, Qt::AlignTop);
    videoDevice_ = new VideoDeviceView(env_.videoDevice, service);
    videoRow->addWidget(videoDevice_, 1, Qt::AlignTop);
    serviceRows->addLayout(videoRow);
  }
  //: General settings section header
  addSection(form, qtTrId("settings.section.service"), service);

  // 4. Camera permission, while access is refused.
  auto* permission = new QWidget(page);
  auto* permissionRows = column(permission, 8);
  //: Camera access is denied
  permissionRows->addWidget(secondaryLabel(qtTrId("settings.cameraPermission.denied"), TextStyle::Callout, permission));
  //: Open the camera privacy settings
  openCameraSettings_ = new QPushButton(qtTrId("settings.cameraPermission.openSettings"), permission);
  connect(openCameraSettings_, &QPushButton::clicked, this, [this] {
    if (cameraPermission_) cameraPermission_->openCameraPrivacySettings();
  });
  permissionRows->addWidget(openCameraSettings_, 0, Qt::AlignLeft);
  //: General settings section header
  permissionSection_ = addSection(form, qtTrId("settings.section.cameraPermission"), permission);

  // 5. Onboarding.
  //: Button that shows the onboarding window again
  showOnboarding_ = new QPushButton(qtTrId("settings.onboarding.show"), page);
  connect(showOnboarding_, &QPushButton::clicked, this, [this] {
    if (env_.showOnboarding) env_.showOnboarding();
  });
  auto* onboarding = new QWidget(page);
  column(onboarding, 0)->addWidget(showOnboarding_, 0, Qt::AlignLeft);
  //: General settings section header
  addSection(form, qtTrId("settings.section.onboarding"), onboarding);

  // 6. Shortcuts: the recorders store and register on their own.
  auto* shortcuts = new QWidget(page);
  auto* shortcutRows = column(shortcuts, 8);
  //: Shortcut recorder label
  const QString cameraOffLabel = qtTrId("settings.shortcuts.cameraOff");
  //: Shortcut recorder label
  const QString cameraOnLabel = qtTrId("settings.shortcuts.cameraOn");
  //: Shortcut recorder label
  const QString showLastImageLabel = qtTrId("settings.shortcuts.showLastImage");
  KeyboardShortcuts::ShortcutRegistry& registry = *env_.shortcuts;
  recorders_[0] =
      new KeyboardShortcuts::ShortcutRow(registry, KeyboardShortcuts::Names::cameraOff, {}, cameraOffLabel, shortcuts);
  recorders_[1] =
      new KeyboardShortcuts::ShortcutRow(registry, KeyboardShortcuts::Names::cameraOn, {}, cameraOnLabel, shortcuts);
  recorders_[2] = new KeyboardShortcuts::ShortcutRow(registry, KeyboardShortcuts::Names::showLastImage, {},
                                                     showLastImageLabel, shortcuts);
  for (auto* recorder : recorders_) shortcutRows->addWidget(recorder);
  refusedWarning_ = warningLabel("refusedShortcutsWarning", shortcuts);
  shortcutRows->addWidget(refusedWarning_);
  //: Hint under the shortcut recorders
  QLabel* shortcutsHint = secondaryLabel(qtTrId("settings.shortcuts.hint"), TextStyle::Caption, shortcuts);
  shortcutRows->addWidget(shortcutsHint);
  shortcutsNote_ = secondaryLabel(QString(), TextStyle::Caption, shortcuts);
  shortcutsNote_->setObjectName(QStringLiteral("shortcutsUnavailableNote"));
  shortcutsNote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  shortcutRows->addWidget(shortcutsNote_);
  auto redrawShortcutsNote = [this, shortcutsHint] {
    const KeyboardShortcuts::GlobalShortcutsStatus status = env_.shortcuts->globalShortcutsStatus();
    //: Under the shortcut recorders when the session offers no global shortcuts; %1 is the reason
    shortcutsNote_->setText(qtTrId("settings.shortcuts.unavailable").arg(status.reason));
    shortcutsNote_->setVisible(!status.available);
    shortcutsHint->setVisible(status.available);
  };
  connect(&registry, &KeyboardShortcuts::ShortcutRegistry::availabilityChanged, shortcutsNote_, redrawShortcutsNote);
  redrawShortcutsNote();
  //: General settings section header
  addSection(form, qtTrId("settings.section.shortcuts"), shortcuts);
  form->addStretch(1);
  scroll->setWidget(page);

  if (loginItemManager_)
    connect(loginItemManager_, &LoginItemManager::isEnabledChanged, this, &GeneralSettingsView::redrawLoginItem);
  if (serviceInstaller_)
    connect(serviceInstaller_, &CameraServiceInstaller::statusChanged, this, &GeneralSettingsView::redrawService);
  if (serviceInstaller_)
    connect(serviceInstaller_, &CameraServiceInstaller::removingChanged, this, &GeneralSettingsView::redrawService);
  if (cameraPermission_)
    connect(cameraPermission_, &CameraPermission::statusChanged, this, &GeneralSettingsView::redrawPermission);
  if (env_.settings)
    connect(env_.settings, &Settings::writeFailureChanged, this, &GeneralSettingsView::redrawStoreWarning);
  connect(&registry, &KeyboardShortcuts::ShortcutRegistry::refusedShortcutsChanged, this,
          &GeneralSettingsView::redrawRefusedShortcuts);
  connect(&registry, &KeyboardShortcuts::ShortcutRegistry::shortcutByNameDidChange, this,
          &GeneralSettingsView::redrawRefusedShortcuts);
  connect(&registry, &KeyboardShortcuts::ShortcutRegistry::availabilityChanged, this,
          &GeneralSettingsView::redrawRefusedShortcuts);
  redrawLoginItem();
  redrawService();
  redrawPermission();
  redrawStoreWarning();
  redrawRefusedShortcuts();
}

QWidget* GeneralSettingsView::addSection(QVBoxLayout* form, const QString& header, QWidget* content) {
  QWidget* page = form->parentWidget();
  auto* section = new QWidget(page);
  auto* rows = column(section, 6);
  QLabel* title = plainLabel(header, section);
  title->setFont(settings::font(*page, TextStyle::Headline));
  rows->addWidget(title);
  rows->addWidget(new FormGroup(content, section));
  form->addWidget(section);
  headers_.append(title);
  return section;
}

QList<QLabel*> GeneralSettingsView::sectionHeaders() const {
  QList<QLabel*> shown;
  for (QLabel* header : headers_)
    if (header->parentWidget()->isVisibleTo(const_cast<GeneralSettingsView*>(this))) shown.append(header);
  return shown;
}

void GeneralSettingsView::redrawLoginItem() {
  launchAtLogin_->setChecked(loginItemManager_ && loginItemManager_->isEnabled());
  launchAtLogin_->setEnabled(loginItemManager_ != nullptr);
}

void GeneralSettingsView::redrawService() {
  const status_text::Situation situation =
      serviceInstaller_ ? status_text::Situation::of(*serviceInstaller_) : status_text::Situation{};
  status_->setStatus(situation);
  const CameraServiceInstaller::Status& status = situation.status;
  const bool removing = situation.removing;
  // Removed by the user: nothing to remove, and installing is a fresh start.
  const bool removed =
      situation.removedByUser && !removing && (status.is(Case::notInstalled) || status.is(Case::failed));
  //: Button that installs the camera service after the user removed it
  reinstall_->setText(removed ? qtTrId("settings.service.install") : qtTrId("settings.service.reinstall"));
  // A forced reinstall is always possible, except while one is under way.
  reinstall_->setEnabled(serviceInstaller_ && !status.is(Case::starting) && !removing);
  remove_->setEnabled(serviceInstaller_ && !status.is(Case::starting) && !removing && !removed);
}

void GeneralSettingsView::redrawPermission() {
  permissionSection_->setVisible(cameraPermission_ && cameraPermission_->isDenied());
}

void GeneralSettingsView::redrawStoreWarning() {
  if (!env_.settings) {
    storeWarning_->setVisible(false);
    return;
  }
  const Settings& defaults = *env_.settings;
  //: General tab warning when the settings file cannot be written; %1 is its path
  storeWarning_->setText(qtTrId("settings.storeFailure").arg(defaults.fileName()));
  storeWarning_->setVisible(defaults.writeFailed());
}

void GeneralSettingsView::redrawRefusedShortcuts() {
  KeyboardShortcuts::ShortcutRegistry& registry = *env_.shortcuts;
  const auto& refused = registry.refusedShortcuts();
  QStringList lines;
  // Without global shortcuts in this session the note under the recorders
  // says all there is; no single key is to blame.
  if (refused.empty() || !registry.globalShortcutsStatus().available) {
    refusedWarning_->hide();
    return;
  }
  const auto& names = KeyboardShortcuts::Names::all;
  for (size_t i = 0; i < names.size(); ++i) {
    const auto shortcut = registry.storedShortcut(*names[i]);
    const auto why = shortcut ? refused.find(*shortcut) : refused.end();
    if (why == refused.end()) continue;
    auto* label = qobject_cast<QLabel*>(recorders_[i]->labelView());
    //: General tab warning for a shortcut that could not be grabbed; %1 is the shortcut, %2 what it does, %3 why
    lines << qtTrId("settings.shortcuts.refused")
                 .arg(registry.description(*shortcut), label ? label->text() : QString(), why->second);
  }
  refusedWarning_->setText(lines.join(QLatin1Char('\n')));
  refusedWarning_->setVisible(!lines.isEmpty());
}

void GeneralSettingsView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Restoring a minimized window is not a new look at the tab.
  if (event->spontaneous()) return;
  // Either may have changed outside the app since the tab was last shown.
  if (loginItemManager_) loginItemManager_->reload();
  if (serviceInstaller_) serviceInstaller_->refreshStatusForDisplay();
}

QWidget* makeSettingsWindowContent(ImageManager& images, GeneralSettingsView::Environment general) {
  if (!general.webPageURL) general.webPageURL = [](const QString& path) { return settings::webPageURL(path); };
  auto* content = new SettingsTabViewController(images);
  content->setGeneralContent(new GeneralSettingsView(std::move(general)));
  return content;
}

}  // namespace tovrelle::settings

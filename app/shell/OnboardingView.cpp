#include "app/shell/OnboardingView.h"

#include "app/settings/SettingsStyle.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QShowEvent>
#include <QUrl>
#include <QVBoxLayout>

#include "app/installer/StatusText.h"
#include "app/model/LoginItemManager.h"
#include "app/model/Settings.h"
#include "app/settings/Icons.h"
#include "app/settings/VideoDeviceView.h"
#include "app/shell/AppObjects.h"
#include "platform/log/Log.h"

namespace tovrelle {
namespace {

using Case = CameraServiceInstaller::Status::Case;

const QColor kGreen(52, 199, 89);

// Type sizes relative to the window's body font, in the ratios the desktop
// settings of other platforms use for the same roles.
enum class TextStyle { LargeTitle, Title3, Headline, Subheadline, Body };

QFont styled(const QFont& base, TextStyle style) {
  QFont f = base;
  const qreal body = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
  switch (style) {
    case TextStyle::LargeTitle:
      f.setPointSizeF(body * 2.0);
      f.setWeight(QFont::Bold);
      break;
    case TextStyle::Title3:
      f.setPointSizeF(body * 15.0 / 13.0);
      f.setWeight(QFont::DemiBold);
      break;
    case TextStyle::Headline: f.setWeight(QFont::Bold); break;
    case TextStyle::Subheadline: f.setPointSizeF(body * 11.0 / 13.0); break;
    case TextStyle::Body: break;
  }
  return f;
}

QColor secondaryColor(const QWidget& widget) { return settings::secondaryTextColor(widget.palette()); }

// A label whose text wraps to its width. Its minimum asks for one line only,
// so the scrolling steps take the height the text needs at the real width
// (from heightForWidth) instead of the much taller one a narrow guess gives.
class WrappingLabel : public QLabel {
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override { return {QLabel::minimumSizeHint().width(), fontMetrics().height()}; }
};

QLabel* label(const QString& text, TextStyle style, QWidget* parent, bool secondary = false, bool wraps = false) {
  QLabel* l = wraps ? new WrappingLabel(text, parent) : new QLabel(text, parent);
  l->setFont(styled(parent->font(), style));
  l->setTextFormat(Qt::PlainText);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  if (wraps) l->setWordWrap(true);
  if (secondary) {
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, secondaryColor(*parent));
    l->setPalette(p);
  }
  return l;
}

// Detail texts wrap and are never cut short.
QLabel* wrapping(const QString& text, TextStyle style, QWidget* parent) {
  return label(text, style, parent, true, true);
}

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

void showAlert(QWidget* parent, const QString& message, const QString& informative) {
  QMessageBox box(parent ? parent->window() : nullptr);
  box.setIcon(QMessageBox::Warning);
  box.setText(message);
  box.setInformativeText(informative);
  box.setStandardButtons(QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
}

}  // namespace

// ------------------------------------------------------------------ StepBadge

StepBadge::StepBadge(int number, QWidget* parent) : QWidget(parent), number_(number) {
  setFixedSize(kSide, kSide);
  setAccessibleName(QString::number(number));
}

void StepBadge::setComplete(bool complete) {
  if (complete_ == complete) return;
  complete_ = complete;
  update();
}

void StepBadge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF frame(0, 0, kSide, kSide);
  if (complete_) {
    const QPixmap check =
        icons::pixmap(QStringLiteral("emblem-ok-symbolic"), QSize(kSide, kSide), kGreen, devicePixelRatioF());
    if (!check.isNull()) {
      p.drawPixmap(QPointF(0, 0), check);
      return;
    }
    // Without the icon a plain green disc still tells the step is done.
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawEllipse(frame);
    return;
  }
  p.setPen(Qt::NoPen);
  p.setBrush(palette().color(QPalette::Highlight));
  p.drawEllipse(frame);
  QFont f = font();
  f.setPixelSize(15);
  f.setWeight(QFont::DemiBold);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(frame, Qt::AlignCenter, QString::number(number_));
}

// -------------------------------------------------------------------- StepRow

StepRow::StepRow(int number, const QString& title, const QString& detail, QWidget* action, QWidget* parent)
    : QWidget(parent), action_(action) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(14);

  badge_ = new StepBadge(number, this);
  row->addWidget(badge_, 0, Qt::AlignTop);

  auto* column = new QVBoxLayout;
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(6);
  title_ = label(title, TextStyle::Headline, this);
  detail_ = wrapping(detail, TextStyle::Subheadline, this);
  column->addWidget(title_);
  column->addWidget(detail_);
  if (action_) {
    actionHolder_ = new QWidget(this);
    auto* holder = new QHBoxLayout(actionHolder_);
    holder->setContentsMargins(0, 2, 0, 0);
    holder->addWidget(action_, 0, Qt::AlignLeft);
    holder->addStretch(1);
    column->addWidget(actionHolder_);
  }
  row->addLayout(column, 1);
}

void StepRow::setActionShown(bool shown) {
  if (actionHolder_) actionHolder_->setVisible(shown);
}

// ------------------------------------------------------------- OnboardingView

OnboardingView::Environment OnboardingView::defaultEnvironment(AppObjects& objects) {
  Environment e;
  e.serviceInstaller = objects.installer.get();
  e.authorization = objects.captureDevices;
  e.opener = objects.urlOpener;
  e.mainQueue = objects.mainQueue;
  e.alert = showAlert;
  e.videoDevice = objects.videoDevice.get();
  e.loginItem = objects.loginItem.get();
  Settings& defaults = objects.settings;
  e.startAtLoginByDefault = !defaults.contains(kLoginItemOfferedKey);
  defaults.setValue(kLoginItemOfferedKey, true);
  return e;
}

OnboardingView::OnboardingView(Environment environment, std::function<void()> onClose, QWidget* parent)
    : QWidget(parent),
      env_(std::move(environment)),
      serviceInstaller_(env_.serviceInstaller),
      onClose_(std::move(onClose)) {
  cameraAuthorized_ = readAuthorized();
  // The camera asks other apps' users to start Tovrelle whenever it is not
  // running, so a camera that works after the next login needs the app then.
  if (env_.loginItem && env_.startAtLoginByDefault && !env_.loginItem->isEnabled()) env_.loginItem->setEnabled(true);
  build();
  if (serviceInstaller_)
    connect(serviceInstaller_, &CameraServiceInstaller::statusChanged, this, &OnboardingView::redraw);
  if (env_.loginItem) connect(env_.loginItem, &LoginItemManager::isEnabledChanged, this, &OnboardingView::redraw);
  redraw();
}

OnboardingView::~OnboardingView() { stopPolling(); }

void OnboardingView::build() {
  setFixedSize(kSize);
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  // Header.
  auto* header = new QWidget(this);
  auto* headerLayout = new QVBoxLayout(header);
  headerLayout->setContentsMargins(28, 28, 28, 20);
  headerLayout->setSpacing(6);
  //: Onboarding heading
  headerLayout->addWidget(label(qtTrId("onboarding.title"), TextStyle::LargeTitle, header));
  //: Onboarding subheading under the title
  headerLayout->addWidget(wrapping(qtTrId("onboarding.subtitle"), TextStyle::Body, header));
  root->addWidget(header);
  root->addWidget(divider(this));

  // The steps.
  scroll_ = new QScrollArea(this);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(true);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  auto* content = new QWidget(scroll_);
  auto* steps = new QVBoxLayout(content);
  steps->setContentsMargins(28, 24, 28, 24);
  steps->setSpacing(24);

  //: Onboarding step 1 button
  install_ = new QPushButton(qtTrId("onboarding.step1.action"), content);
  install_->setAutoDefault(false);
  connect(install_, &QPushButton::clicked, this, [this] {
    if (serviceInstaller_) serviceInstaller_->install(false);
  });
  // Step 2's control: the check button and what the last check found.
  auto* check = new QWidget(content);
  auto* checkRow = new QHBoxLayout(check);
  checkRow->setContentsMargins(0, 0, 0, 0);
  checkRow->setSpacing(10);
  //: Onboarding step 2 button that checks the camera service again
  openSettings_ = new QPushButton(qtTrId("onboarding.step2.action"), check);
  openSettings_->setAutoDefault(false);
  connect(openSettings_, &QPushButton::clicked, this, &OnboardingView::checkCameraService);
  checkRow->addWidget(openSettings_, 0, Qt::AlignTop);
  checkResult_ = wrapping(QString(), TextStyle::Subheadline, check);
  checkResult_->setObjectName(QStringLiteral("checkResult"));
  checkResult_->setMinimumWidth(320);  // a sentence per line, not a word
  checkRow->addWidget(checkResult_, 1, Qt::AlignVCenter);
  // The /dev/video device below the check: apps that read only those need it.
  QWidget* checkStep = check;
  if (env_.videoDevice) {
    checkStep = new QWidget(content);
    auto* checkRows = new QVBoxLayout(checkStep);
    checkRows->setContentsMargins(0, 0, 0, 0);
    checkRows->setSpacing(10);
    check->setParent(checkStep);
    checkRows->addWidget(check);
    videoDevice_ = new settings::VideoDeviceView(env_.videoDevice, checkStep, settings::TextStyle::Footnote);
    checkRows->addWidget(videoDevice_);
  }
  //: Onboarding step 3 button that asks for camera access
  allowCamera_ = new QPushButton(qtTrId("onboarding.step3.action"), content);
  allowCamera_->setAutoDefault(false);
  connect(allowCamera_, &QPushButton::clicked, this, &OnboardingView::requestCameraAccess);

  steps_[0] = new StepRow(1,
                          //: Onboarding step 1 title: install the camera service
                          qtTrId("onboarding.step1.title"),
                          //: Onboarding step 1 explanation
                          qtTrId("onboarding.step1.detail"), install_, content);
  steps_[1] = new StepRow(2,
                          //: Onboarding step 2 title: check that other apps see the camera
                          qtTrId("onboarding.step2.title"),
                          //: Onboarding step 2 explanation
                          qtTrId("onboarding.step2.detail"), checkStep, content);
  steps_[2] = new StepRow(3,
                          //: Onboarding step 3 title: camera access
                          qtTrId("onboarding.step3.title"),
                          //: Onboarding step 3 explanation
                          qtTrId("onboarding.step3.detail"), allowCamera_, content);
  if (env_.loginItem) {
    //: Onboarding step 4 check box that starts the app at login
    startAtLogin_ = new QCheckBox(qtTrId("onboarding.startAtLogin.action"), content);
    connect(startAtLogin_, &QCheckBox::clicked, this, [this](bool checked) {
      if (env_.loginItem) env_.loginItem->setEnabled(checked);
      // The box shows what the desktop did, not what was asked.
      redraw();
    });
    steps_[3] = new StepRow(4,
                            //: Onboarding step 4 title: start the app at login
                            qtTrId("onboarding.startAtLogin.title"),
                            //: Onboarding step 4 explanation
                            qtTrId("onboarding.startAtLogin.detail"), startAtLogin_, content);
  }
  for (StepRow* row : steps_)
    if (row) steps->addWidget(row);

  auto* spacedDivider = new QWidget(content);
  auto* spacedLayout = new QVBoxLayout(spacedDivider);
  spacedLayout->setContentsMargins(0, 4, 0, 0);
  spacedLayout->addWidget(divider(spacedDivider));
  steps->addWidget(spacedDivider);

  // How to use the camera: informational, no badge state and no control.
  auto* usage = new QWidget(content);
  usage->setObjectName(QStringLiteral("usage"));
  auto* usageLayout = new QVBoxLayout(usage);
  usageLayout->setContentsMargins(0, 0, 0, 0);
  usageLayout->setSpacing(6);
  //: Heading of the how-to-use block in onboarding
  usageLayout->addWidget(label(qtTrId("onboarding.usage.heading"), TextStyle::Title3, usage));
  auto* usageRow = new QHBoxLayout;
  usageRow->setSpacing(14);
  auto* icon = new QLabel(usage);
  icon->setObjectName(QStringLiteral("usageSymbol"));
  icon->setFixedSize(StepBadge::kSide, StepBadge::kSide);
  icon->setAlignment(Qt::AlignCenter);
  icon->setPixmap(icons::pixmap(QStringLiteral("tovrelle-camera-ready-symbolic"), QSize(22, 22),
                                palette().color(QPalette::Highlight), devicePixelRatioF()));
  usageRow->addWidget(icon, 0, Qt::AlignTop);
  auto* usageText = new QVBoxLayout;
  usageText->setSpacing(6);
  //: How-to-use title
  usageText->addWidget(label(qtTrId("onboarding.step4.title"), TextStyle::Headline, usage));
  //: How-to-use explanation
  usageText->addWidget(wrapping(qtTrId("onboarding.step4.detail"), TextStyle::Subheadline, usage));
  usageRow->addLayout(usageText, 1);
  usageLayout->addLayout(usageRow);
  steps->addWidget(usage);
  // Extra height stays below the last block instead of spreading the steps.
  steps->setAlignment(Qt::AlignTop);

  scroll_->setWidget(content);
  root->addWidget(scroll_, 1);
  root->addWidget(divider(this));

  // Footer.
  auto* footer = new QHBoxLayout;
  footer->setContentsMargins(28, 16, 28, 16);
  footer->addStretch(1);
  //: Button that closes onboarding
  done_ = new QPushButton(qtTrId("onboarding.done"), this);
  done_->setDefault(true);
  connect(done_, &QPushButton::clicked, this, [this] {
    if (onClose_) onClose_();
  });
  footer->addWidget(done_);
  root->addLayout(footer);

  // Done is the default button: Return ends onboarding wherever the focus is.
  for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* shortcut = new QShortcut(QKeySequence(key), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, done_, &QPushButton::click);
  }
}

void OnboardingView::redraw() {
  const Case status = serviceInstaller_ ? serviceInstaller_->status().kind : Case::notInstalled;
  steps_[0]->setComplete(status == Case::running);
  install_->setEnabled(status != Case::starting && status != Case::running);
  steps_[1]->setComplete(status == Case::running);
  checkResult_->setText(checkResultText());
  openSettings_->setEnabled(!checking_);
  steps_[2]->setComplete(cameraAuthorized_);
  steps_[2]->setActionShown(!cameraAuthorized_);
  if (startAtLogin_) {
    const bool on = env_.loginItem->isEnabled();
    startAtLogin_->setChecked(on);
    steps_[3]->setComplete(on);
  }
}

bool OnboardingView::readAuthorized() const {
  return env_.authorization && env_.authorization->authorizationStatus() == capture::AuthorizationStatus::authorized;
}

void OnboardingView::setCameraAuthorized(bool authorized) {
  if (cameraAuthorized_ == authorized) return;
  cameraAuthorized_ = authorized;
  redraw();
}

void OnboardingView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A window coming back from being minimized is the same showing, not a new one.
  if (event->spontaneous()) return;
  if (serviceInstaller_) serviceInstaller_->refreshStatusForDisplay();
  setCameraAuthorized(readAuthorized());
  stopPolling();
  if (!env_.mainQueue) return;
  // The system offers no notice when access is granted in its settings, so
  // ask once a second while the window is up.
  QPointer<OnboardingView> self(this);
  permissionTimer_ = env_.mainQueue->schedule(kPermissionPollInterval, kPermissionPollInterval, [self] {
    if (self) self->setCameraAuthorized(self->readAuthorized());
  });
}

void OnboardingView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (event->spontaneous()) return;
  stopPolling();
}

void OnboardingView::stopPolling() {
  if (permissionTimer_) permissionTimer_->cancel();
  permissionTimer_.reset();
}

void OnboardingView::requestCameraAccess() {
  if (!env_.authorization) return;
  if (env_.authorization->authorizationStatus() == capture::AuthorizationStatus::notDetermined) {
    QPointer<OnboardingView> self(this);
    auto main = env_.mainQueue;
    // The answer may come on any thread.
    env_.authorization->requestAccess([self, main](bool granted) {
      if (!main) return;
      main->async([self, granted] {
        if (self) self->setCameraAuthorized(granted);
      });
    });
    return;
  }
  // Refused before: only the settings can change it now.
  if (env_.opener) env_.opener->open(urls::kCameraPrivacySettingsURL);
}

QString OnboardingView::checkResultText() const {
  status_text::Situation situation;
  if (serviceInstaller_) situation = status_text::Situation::of(*serviceInstaller_);
  situation.checking = checking_;
  situation.checked = checked_;
  if (!serviceInstaller_ && !checking_) return {};
  return status_text::service(status_text::Place::setupGuide, situation);
}

void OnboardingView::checkCameraService() {
  if (!serviceInstaller_ || checking_) return;
  checking_ = true;
  checked_ = true;
  redraw();
  QPointer<OnboardingView> self(this);
  serviceInstaller_->lookNow([self](bool answered) {
    if (!self) return;
    self->checking_ = false;
    self->redraw();
    if (answered) return;
    log::processLog("[Onboarding] The camera service check got no answer");
    if (self->env_.alert)
      self->env_.alert(self, qtTrId("onboarding.openSettingsFailed.title"),
                       qtTrId("onboarding.openSettingsFailed.message"));
  });
}

StepRow* OnboardingView::step(int number) const { return number >= 1 && number <= 4 ? steps_[number - 1] : nullptr; }

QPushButton* OnboardingView::stepButton(int number) const {
  switch (number) {
    case 1: return install_;
    case 2: return openSettings_;
    case 3: return allowCamera_;
    default: return nullptr;
  }
}

QWidget* makeOnboardingContent(AppObjects& objects, std::function<void()> onClose) {
  return new OnboardingView(OnboardingView::defaultEnvironment(objects), std::move(onClose));
}

}  // namespace tovrelle

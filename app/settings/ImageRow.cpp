#include "app/settings/ImageRow.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/settings/Icons.h"
#include "app/settings/SettingsStyle.h"
#include "app/settings/ThumbnailCache.h"
#include "shared/DataFolder.h"

namespace tovrelle::settings {
namespace {

constexpr qreal kThumbnailCorner = 6.0;
constexpr int kButtonIcon = 16;

QToolButton* makeBorderlessButton(const QString& iconName, const QColor& color, const char* tipKey, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setAutoRaise(true);
  button->setIcon(icons::icon(iconName, color));
  button->setIconSize(QSize(kButtonIcon, kButtonIcon));
  button->setToolTip(text(tipKey));
  button->setAccessibleName(text(tipKey));
  button->setCursor(Qt::ArrowCursor);
  return button;
}

}  // namespace

QString storedFilePath(const SavedImage& image) {
  const auto path = imageFilePath(image.fileName);
  return path ? QString::fromStdString(path->string()) : QString();
}

QString storedFileName(const SavedImage& image) {
  QString name = QString::fromStdString(image.fileName);
  while (name.size() > 1 && name.endsWith(QLatin1Char('/'))) name.chop(1);
  const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
  return slash < 0 ? name : name.mid(slash + 1);
}

// --- ThumbnailView

ThumbnailView::ThumbnailView(ThumbnailCache& cache, QWidget* parent) : QWidget(parent), cache_(cache) {
  setFixedSize(kSide, kSide);
  connect(&cache_, &ThumbnailCache::thumbnailReady, this, [this](const QString& path) {
    if (path == path_) update();
  });
}

void ThumbnailView::setFile(const QString& path) {
  if (path == path_) return;
  path_ = path;
  update();
}

bool ThumbnailView::showsPlaceholder() const {
  return path_.isEmpty() || cache_.state(path_) == ThumbnailCache::State::Failed;
}

void ThumbnailView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QRectF square(0, 0, kSide, kSide);
  QPainterPath clip;
  clip.addRoundedRect(square, kThumbnailCorner, kThumbnailCorner);
  painter.setClipPath(clip);

  // Thumbnails are asked for when first painted, so the rows in view load first.
  if (!path_.isEmpty() && cache_.state(path_) == ThumbnailCache::State::Unknown) cache_.request(path_);

  const QImage image = path_.isEmpty() ? QImage() : cache_.thumbnail(path_);
  if (!image.isNull()) {
    painter.drawImage(square, image);
    return;
  }
  QColor gray = grayColor();
  gray.setAlphaF(0.3f);
  painter.fillRect(square, gray);
  if (!showsPlaceholder()) return;  // still loading: the plain square, no symbol yet
  const qreal dpr = devicePixelRatioF();
  const QPixmap placeholder =
      icons::pixmap(QStringLiteral("image-x-generic-symbolic"), QSize(20, 20), grayColor(), dpr);
  if (!placeholder.isNull()) painter.drawPixmap(QPointF((kSide - 20) / 2.0, (kSide - 20) / 2.0), placeholder);
}

// --- ElidedLabel

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString& text) {
  fullText_ = text;
  setToolTip(text);
  setAccessibleName(text);
  updateElision();
}

QSize ElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

QSize ElidedLabel::sizeHint() const {
  return {fontMetrics().horizontalAdvance(fullText_), QLabel::sizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  updateElision();
}

void ElidedLabel::updateElision() {
  setText(fontMetrics().elidedText(fullText_, Qt::ElideMiddle, std::max(0, contentsRect().width())));
}

// --- ImageRow

ImageRow::ImageRow(SavedImage savedImage, ThumbnailCache& cache, Actions actions, QWidget* parent)
    : QWidget(parent), savedImage_(std::move(savedImage)), actions_(std::move(actions)), cache_(cache) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(8, 6, 8, 6);
  layout->setSpacing(10);

  thumbnail_ = new ThumbnailView(cache, this);
  hideFromAccessibility(*thumbnail_);
  layout->addWidget(thumbnail_);

  auto* column = new QVBoxLayout;
  column->setSpacing(1);
  nameLabel_ = new QLabel(this);
  nameLabel_->setTextFormat(Qt::PlainText);
  nameLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  nameLabel_->installEventFilter(this);
  fileLabel_ = new ElidedLabel(this);
  nameField_ = new QLineEdit(this);
  nameField_->setPlaceholderText(text("settings.imageName"));
  nameField_->setAccessibleName(text("settings.imageName"));
  nameField_->setClearButtonEnabled(false);
  nameField_->hide();
  column->addStretch(1);
  column->addWidget(nameLabel_);
  column->addWidget(fileLabel_);
  column->addWidget(nameField_);
  column->addStretch(1);
  layout->addLayout(column, 1);

  renameButton_ =
      makeBorderlessButton(QStringLiteral("document-edit-symbolic"), secondaryColor(*this), "settings.rename", this);
  deleteButton_ = makeBorderlessButton(QStringLiteral("user-trash-symbolic"), redColor(), "settings.delete", this);
  saveButton_ = makeBorderlessButton(QStringLiteral("object-select-symbolic"), linkColor(*this), "settings.save", this);
  saveButton_->hide();
  layout->addWidget(renameButton_);
  layout->addWidget(deleteButton_);
  layout->addWidget(saveButton_);

  // The kind and size come with the thumbnail, read off the main thread.
  connect(&cache_, &ThumbnailCache::thumbnailReady, this, [this](const QString& path) {
    if (path == storedFilePath(savedImage_)) showValues();
  });
  connect(renameButton_, &QToolButton::clicked, this, &ImageRow::startEditing);
  connect(deleteButton_, &QToolButton::clicked, this, &ImageRow::remove);
  connect(saveButton_, &QToolButton::clicked, this, &ImageRow::commit);
  connect(nameField_, &QLineEdit::returnPressed, this, &ImageRow::commit);
  // Esc gives up the edit and keeps the old name.
  nameField_->installEventFilter(this);

  applyStyle();
  showValues();
}

void ImageRow::applyStyle() {
  nameLabel_->setFont(settings::font(*this, TextStyle::Body));
  setSecondary(*fileLabel_, TextStyle::Caption);
}

void ImageRow::setSavedImage(SavedImage savedImage) {
  savedImage_ = std::move(savedImage);
  showValues();
}

void ImageRow::showValues() {
  const QString name = QString::fromStdString(savedImage_.name);
  nameLabel_->setText(name);
  // What the picture is helps the user; the library's internal file name does not.
  const QString detail = cache_.detail(storedFilePath(savedImage_));
  fileLabel_->setFullText(detail);
  thumbnail_->setFile(storedFilePath(savedImage_));
  setAccessibleName(name);
  setAccessibleDescription(detail);
  deleteButton_->setAccessibleDescription(name);
  renameButton_->setAccessibleDescription(name);
}

QString ImageRow::editedName() const { return nameField_->text(); }
void ImageRow::setEditedName(const QString& name) { nameField_->setText(name); }

void ImageRow::startEditing() {
  setEditedName(QString::fromStdString(savedImage_.name));
  isEditingName_ = true;
  showEditing();
  nameField_->setFocus(Qt::OtherFocusReason);
  nameField_->selectAll();
}

void ImageRow::commit() {
  if (!isEditingName_) return;
  const QString trimmed = editedName().trimmed();
  // Leave editing first: a rename republishes the library, and this row may be
  // rebuilt while the call runs.
  isEditingName_ = false;
  showEditing();
  if (!trimmed.isEmpty() && actions_.rename) actions_.rename(savedImage_.id, trimmed.toStdString());
}

void ImageRow::remove() {
  if (actions_.remove) actions_.remove(savedImage_.id);
}

void ImageRow::showEditing() {
  nameLabel_->setVisible(!isEditingName_);
  fileLabel_->setVisible(!isEditingName_);
  renameButton_->setVisible(!isEditingName_);
  deleteButton_->setVisible(!isEditingName_);
  nameField_->setVisible(isEditingName_);
  saveButton_->setVisible(isEditingName_);
}

bool ImageRow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == nameField_ && event->type() == QEvent::KeyPress && isEditingName_ &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    isEditingName_ = false;
    showEditing();
    renameButton_->setFocus(Qt::OtherFocusReason);
    return true;
  }
  if (watched == nameLabel_ && event->type() == QEvent::MouseButtonDblClick &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    startEditing();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tovrelle::settings

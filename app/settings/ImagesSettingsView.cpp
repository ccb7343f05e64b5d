#include "app/settings/ImagesSettingsView.h"

#include <QDataStream>
#include <QDrag>
#include <QDropEvent>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <numeric>

#include "app/settings/Icons.h"
#include "app/settings/ImageRow.h"
#include "app/settings/SettingsStyle.h"
#include "app/settings/ThumbnailCache.h"
#include "platform/log/Log.h"
#include "shared/ListMove.h"

namespace tovrelle::settings {
namespace {

constexpr int kRowHeight = ThumbnailView::kSide + 12;

// Rows are widgets; the view only paints the selection behind them.
class RowBackgroundDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex&) const override {
    if (!(option.state & QStyle::State_Selected)) return;
    QColor highlight = option.palette.color(QPalette::Highlight);
    highlight.setAlphaF((option.state & QStyle::State_HasFocus) || (option.state & QStyle::State_Active) ? 0.22f
                                                                                                         : 0.12f);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(highlight);
    painter->drawRoundedRect(QRectF(option.rect).adjusted(3, 1, -3, -1), 6, 6);
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return {0, kRowHeight}; }
};

}  // namespace

// --- ImageListModel

ImageListModel::ImageListModel(MoveHandler onMove, QObject* parent)
    : QAbstractListModel(parent), onMove_(std::move(onMove)) {}

void ImageListModel::setImages(const std::vector<SavedImage>& images) {
  const bool sameEntries = images.size() == images_.size() &&
                           std::equal(images.begin(), images.end(), images_.begin(),
                                      [](const SavedImage& a, const SavedImage& b) { return a.id == b.id; });
  if (!sameEntries) {
    beginResetModel();
    images_ = images;
    endResetModel();
    return;
  }
  for (size_t i = 0; i < images.size(); ++i) {
    if (images[i] == images_[i]) continue;
    images_[i] = images[i];
    const QModelIndex changed = index(static_cast<int>(i));
    emit dataChanged(changed, changed);
  }
}

int ImageListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(images_.size());
}

QVariant ImageListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || static_cast<size_t>(index.row()) >= images_.size()) return {};
  const SavedImage& image = images_[static_cast<size_t>(index.row())];
  switch (role) {
    case Qt::AccessibleTextRole:
    case Qt::EditRole: return QString::fromStdString(image.name);
    case Qt::AccessibleDescriptionRole:
    case Qt::ToolTipRole: return storedFileName(image);
    case Qt::UserRole: return QString::fromStdString(image.id.toString());
    default:
      // Qt::DisplayRole stays empty: the row widget draws the entry.
      return {};
  }
}

Qt::ItemFlags ImageListModel::flags(const QModelIndex& index) const {
  // Drops land between rows, never on one.
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

Qt::DropActions ImageListModel::supportedDropActions() const { return Qt::MoveAction; }
Qt::DropActions ImageListModel::supportedDragActions() const { return Qt::MoveAction; }

QStringList ImageListModel::mimeTypes() const { return {QString::fromLatin1(kMimeType)}; }

QMimeData* ImageListModel::mimeData(const QModelIndexList& indexes) const {
  QByteArray bytes;
  QDataStream out(&bytes, QIODevice::WriteOnly);
  // Rows mean something only to the model that made them.
  out << quint64(reinterpret_cast<quintptr>(this));
  QList<int> rows;
  for (const QModelIndex& index : indexes)
    if (index.isValid() && index.model() == this && !rows.contains(index.row())) rows << index.row();
  std::sort(rows.begin(), rows.end());
  out << rows;
  auto* data = new QMimeData;
  data->setData(QString::fromLatin1(kMimeType), bytes);
  return data;
}

std::optional<IndexSet> ImageListModel::decodeRows(const QMimeData* data) const {
  if (!data || !data->hasFormat(QString::fromLatin1(kMimeType))) return std::nullopt;
  QDataStream in(data->data(QString::fromLatin1(kMimeType)));
  quint64 origin = 0;
  QList<int> rows;
  in >> origin >> rows;
  if (in.status() != QDataStream::Ok || origin != quint64(reinterpret_cast<quintptr>(this)) || rows.isEmpty())
    return std::nullopt;
  IndexSet offsets;
  for (int row : rows) {
    if (row < 0 || static_cast<size_t>(row) >= images_.size()) return std::nullopt;
    offsets.insert(static_cast<size_t>(row));
  }
  return offsets;
}

bool ImageListModel::canDropMimeData(const QMimeData* data, Qt::DropAction action, int, int, const QModelIndex&) const {
  return action == Qt::MoveAction && decodeRows(data).has_value();
}

bool ImageListModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int,
                                  const QModelIndex& parent) {
  if (action == Qt::IgnoreAction) return true;
  if (action != Qt::MoveAction) return false;
  const auto offsets = decodeRows(data);
  if (!offsets) return false;
  // A drop on a row counts as a drop before it; no row means the end.
  int destination = parent.isValid() ? parent.row() : row;
  if (destination < 0 || static_cast<size_t>(destination) > images_.size())
    destination = static_cast<int>(images_.size());
  const size_t to = static_cast<size_t>(destination);
  std::vector<size_t> unchanged(images_.size());
  std::iota(unchanged.begin(), unchanged.end(), size_t{0});
  // Dropping rows where they already are changes nothing and writes nothing.
  if (orderAfterMove(images_.size(), *offsets, to) == unchanged) return true;
  if (onMove_) onMove_(*offsets, to);
  return true;
}

bool ImageListModel::moveRows(const QModelIndex& sourceParent, int sourceRow, int count,
                              const QModelIndex& destinationParent, int destinationChild) {
  if (sourceParent.isValid() || destinationParent.isValid() || count <= 0 || sourceRow < 0 ||
      static_cast<size_t>(sourceRow) + static_cast<size_t>(count) > images_.size() || destinationChild < 0 ||
      static_cast<size_t>(destinationChild) > images_.size())
    return false;
  IndexSet offsets;
  for (int i = 0; i < count; ++i) offsets.insert(static_cast<size_t>(sourceRow + i));
  std::vector<size_t> unchanged(images_.size());
  std::iota(unchanged.begin(), unchanged.end(), size_t{0});
  if (orderAfterMove(images_.size(), offsets, static_cast<size_t>(destinationChild)) == unchanged) return true;
  if (onMove_) onMove_(offsets, static_cast<size_t>(destinationChild));
  return true;
}

// --- ImageListView

ImageListView::ImageListView(QWidget* parent) : QListView(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setDragDropMode(QAbstractItemView::InternalMove);
  setDefaultDropAction(Qt::MoveAction);
  setDragEnabled(true);
  setAcceptDrops(true);
  setDropIndicatorShown(true);
  setUniformItemSizes(true);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setFrameShape(QFrame::NoFrame);
  setItemDelegate(new RowBackgroundDelegate(this));
  viewport()->setAcceptDrops(true);
}

int ImageListView::destinationRow(const QPoint& pos) const {
  const int count = model() ? model()->rowCount(rootIndex()) : 0;
  const QModelIndex under = indexAt(pos);
  if (!under.isValid()) {
    // Above the first row (a margin) is the top; anywhere else free is the end.
    if (count > 0 && pos.y() < visualRect(model()->index(0, 0, rootIndex())).top()) return 0;
    return count;
  }
  const QRect rect = visualRect(under);
  return pos.y() < rect.center().y() ? under.row() : under.row() + 1;
}

void ImageListView::startDrag(Qt::DropActions supportedActions) {
  const QModelIndexList indexes = selectedIndexes();
  if (indexes.isEmpty() || !model()) return;
  QMimeData* data = model()->mimeData(indexes);
  if (!data) return;
  auto* drag = new QDrag(this);
  drag->setMimeData(data);
  if (QWidget* row = indexWidget(indexes.first())) {
    QPixmap picture = row->grab();
    drag->setPixmap(picture);
    drag->setHotSpot(row->mapFromGlobal(QCursor::pos()));
  }
  // The drop rewrites the library; nothing is removed here afterwards.
  drag->exec(supportedActions & Qt::MoveAction, Qt::MoveAction);
}

void ImageListView::dragEnterEvent(QDragEnterEvent* event) {
  // Rows of this list only: the drag data names the model it came from.
  if (!model() || !model()->canDropMimeData(event->mimeData(), Qt::MoveAction, -1, -1, rootIndex())) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::MoveAction);
  event->accept();
  setState(QAbstractItemView::DraggingState);
}

void ImageListView::dropEvent(QDropEvent* event) {
  if (!model() || !model()->canDropMimeData(event->mimeData(), Qt::MoveAction, -1, -1, rootIndex())) {
    event->ignore();
    return;
  }
  const int destination = destinationRow(event->position().toPoint());
  model()->dropMimeData(event->mimeData(), Qt::MoveAction, destination, 0, rootIndex());
  event->setDropAction(Qt::MoveAction);
  event->accept();
  stopAutoScroll();
  setState(QAbstractItemView::NoState);
  viewport()->update();
}

// --- ImagesSettingsView

ImagesSettingsView::ImagesSettingsView(ImageManager& imageManager, QWidget* parent)
    : QWidget(parent),
      imageManager_(imageManager),
      thumbnails_(std::make_unique<ThumbnailCache>()),
      runOpenPanel_([](QFileDialog& dialog) -> std::optional<std::filesystem::path> {
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        const QList<QUrl> urls = dialog.selectedUrls();
        if (urls.isEmpty()) return std::nullopt;
        if (!urls.first().isLocalFile()) {
          log::processLog("ImagesSettingsView: picked address is not a local file: %s",
                          urls.first().toString().toUtf8().constData());
          return std::nullopt;
        }
        return std::filesystem::path(urls.first().toLocalFile().toStdString());
      }) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  model_ = new ImageListModel([this](const IndexSet& from, size_t to) { imageManager_.moveImages(from, to); }, this);
  list_ = new ImageListView(this);
  list_->setModel(model_);
  list_->setAccessibleName(text("settings.tab.images"));
  emptyState_ = makeEmptyState();

  content_ = new QStackedWidget(this);
  content_->addWidget(emptyState_);
  content_->addWidget(list_);
  layout->addWidget(content_, 1);

  auto* divider = new QFrame(this);
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Sunken);
  layout->addWidget(divider);

  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(12, 10, 12, 10);
  // Why the last add or save failed, beside the button the user just used.
  failureMessage_ = new QLabel(this);
  failureMessage_->setObjectName(QStringLiteral("imageFailureMessage"));
  failureMessage_->setTextFormat(Qt::PlainText);
  failureMessage_->setWordWrap(true);
  QPalette warning = failureMessage_->palette();
  warning.setColor(QPalette::WindowText, QColor(0xc0, 0x39, 0x2b));
  failureMessage_->setPalette(warning);
  // Hidden, it still holds the space, so the add button stays at the right end.
  QSizePolicy holdsSpace = failureMessage_->sizePolicy();
  holdsSpace.setRetainSizeWhenHidden(true);
  failureMessage_->setSizePolicy(holdsSpace);
  bar->addWidget(failureMessage_, 1);
  dismissFailure_ = new QToolButton(this);
  dismissFailure_->setObjectName(QStringLiteral("dismissImageFailure"));
  dismissFailure_->setText(QStringLiteral("×"));
  dismissFailure_->setAutoRaise(true);
  //: Images tab: closes the message about a failed add
  dismissFailure_->setToolTip(text("settings.imageFailure.dismiss"));
  dismissFailure_->setAccessibleName(dismissFailure_->toolTip());
  bar->addWidget(dismissFailure_);
  addButton_ = new QPushButton(icons::icon(QStringLiteral("list-add-symbolic"), primaryColor(*this)),
                               text("settings.addImage"), this);
  addButton_->setAccessibleName(text("settings.addImage"));
  bar->addWidget(addButton_);
  layout->addLayout(bar);

  connect(addButton_, &QPushButton::clicked, this, &ImagesSettingsView::addImage);
  connect(model_, &QAbstractItemModel::modelReset, this, &ImagesSettingsView::rebuildRows);
  // A long library keeps row widgets only for the rows in and near view.
  connect(list_->verticalScrollBar(), &QScrollBar::valueChanged, this, &ImagesSettingsView::showVisibleRows);
  list_->viewport()->installEventFilter(this);
  connect(model_, &QAbstractItemModel::dataChanged, this,
          [this](const QModelIndex& first, const QModelIndex& last) { refreshRows(first.row(), last.row()); });
  connect(&imageManager_, &ImageManager::savedImagesChanged, this, &ImagesSettingsView::reload);
  connect(&imageManager_, &ImageManager::lastFailureChanged, this, &ImagesSettingsView::redrawFailure);
  connect(dismissFailure_, &QToolButton::clicked, this, [this] { imageManager_.dismissFailure(); });
  redrawFailure();

  // The model starts empty: a library with entries resets it, which builds the rows.
  reload();
}

ImagesSettingsView::~ImagesSettingsView() = default;

QWidget* ImagesSettingsView::makeEmptyState() {
  auto* page = new QWidget(this);
  auto* column = new QVBoxLayout(page);
  column->setSpacing(16);
  column->addStretch(1);

  auto* symbol = new QLabel(page);
  symbol->setAlignment(Qt::AlignCenter);
  symbol->setPixmap(
      icons::pixmap(QStringLiteral("folder-pictures-symbolic"), QSize(56, 56), grayColor(), devicePixelRatioF()));
  column->addWidget(symbol);

  auto* title = new QLabel(text("settings.noImages"), page);
  title->setAlignment(Qt::AlignCenter);
  QPalette palette = title->palette();
  palette.setColor(QPalette::WindowText, grayColor());
  title->setPalette(palette);
  column->addWidget(title);

  auto* hint = new QLabel(text("settings.noImagesHint"), page);
  hint->setAlignment(Qt::AlignCenter);
  hint->setWordWrap(true);
  setSecondary(*hint, TextStyle::Caption);
  column->addWidget(hint);

  column->addStretch(1);
  page->setAccessibleName(text("settings.noImages"));
  page->setAccessibleDescription(text("settings.noImagesHint"));
  return page;
}

QStringList ImagesSettingsView::imageFilePatterns() {
  // What the camera's image decoder reads: stills, GIF and animated PNG.
  static const char* const kExtensions[] = {"png", "apng", "jpg", "jpeg", "jpe", "webp",
                                            "bmp", "dib",  "tif", "tiff", "gif"};
  QStringList patterns;
  for (const char* extension : kExtensions) {
    patterns << QStringLiteral("*.") + QLatin1String(extension);
    patterns << QStringLiteral("*.") + QString::fromLatin1(extension).toUpper();
  }
  return patterns;
}

void ImagesSettingsView::configureOpenPanel(QFileDialog& dialog) {
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // One existing file; folders can be opened to browse but never chosen.
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setOption(QFileDialog::ShowDirsOnly, false);
  dialog.setNameFilters({text("settings.imageFileTypes", QStringLiteral("Images")) + QStringLiteral(" (") +
                         imageFilePatterns().join(QLatin1Char(' ')) + QLatin1Char(')')});
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (!pictures.isEmpty()) dialog.setDirectory(pictures);
}

void ImagesSettingsView::addImage() {
  QFileDialog dialog(window(), text("settings.addImage"));
  configureOpenPanel(dialog);
  const auto picked = runOpenPanel_ ? runOpenPanel_(dialog) : std::nullopt;
  if (!picked) return;
  imageManager_.addImage(*picked);
}

QString ImagesSettingsView::failureText(const ImageManager::Failure& failure) {
  using Reason = ImageManager::Failure::Reason;
  const char* reason = "settings.imageFailure.other";
  switch (failure.reason) {
    case Reason::tooLarge: reason = "settings.imageFailure.tooLarge"; break;
    case Reason::unreadable: reason = "settings.imageFailure.unreadable"; break;
    case Reason::notAFile: reason = "settings.imageFailure.notAFile"; break;
    case Reason::nameTooLong: reason = "settings.imageFailure.nameTooLong"; break;
    case Reason::readOnly: reason = "settings.imageFailure.readOnly"; break;
    case Reason::full: reason = "settings.imageFailure.full"; break;
    case Reason::notPermitted: reason = "settings.imageFailure.notPermitted"; break;
    case Reason::other: break;
  }
  //: Images tab: a picked file was not added; %1 is its name
  const QString what = failure.operation == ImageManager::Failure::Operation::add
                           ? text("settings.imageFailure.notAdded").arg(QString::fromStdString(failure.fileName))
                           //: Images tab: the list of images could not be saved
                           : text("settings.imageFailure.notSaved");
  return what + QLatin1Char(' ') + text(reason);
}

void ImagesSettingsView::redrawFailure() {
  const auto& failure = imageManager_.lastFailure();
  failureMessage_->setText(failure ? failureText(*failure) : QString());
  failureMessage_->setVisible(failure.has_value());
  dismissFailure_->setVisible(failure.has_value());
}

bool ImagesSettingsView::showsEmptyState() const { return content_->currentWidget() == emptyState_; }

bool ImagesSettingsView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_->viewport() && event->type() == QEvent::Resize) showVisibleRows();
  return QWidget::eventFilter(watched, event);
}

ImageRow* ImagesSettingsView::rowAt(int row) const {
  if (row < 0 || row >= model_->rowCount()) return nullptr;
  return qobject_cast<ImageRow*>(list_->indexWidget(model_->index(row)));
}

void ImagesSettingsView::reload() {
  // Keep the selected entry selected across a rebuild (after a move it sits elsewhere).
  std::optional<Uuid> selected;
  const QModelIndex current = list_->currentIndex();
  if (current.isValid() && static_cast<size_t>(current.row()) < model_->images().size())
    selected = model_->images()[static_cast<size_t>(current.row())].id;

  model_->setImages(imageManager_.savedImages());
  content_->setCurrentWidget(model_->images().empty() ? emptyState_ : static_cast<QWidget*>(list_));

  if (selected && !list_->currentIndex().isValid()) {
    const auto& images = model_->images();
    for (size_t i = 0; i < images.size(); ++i)
      if (images[i].id == *selected) list_->setCurrentIndex(model_->index(static_cast<int>(i)));
  }
}

void ImagesSettingsView::rebuildRows() {
  // The view dropped every row widget with the reset.
  materialized_.clear();
  showVisibleRows();
}

void ImagesSettingsView::showVisibleRows() {
  const int count = model_->rowCount();
  if (count == 0) return;
  // Rows have one height, so the rows in view follow from the scroll offset.
  const int rowHeight = std::max(1, list_->sizeHintForRow(0));
  const int top = list_->verticalScrollBar()->value();
  const int height = std::max(list_->viewport()->height(), rowHeight);
  const int first = std::max(0, top / rowHeight - kRowsAround);
  const int last = std::min(count - 1, (top + height) / rowHeight + kRowsAround);

  // Rows far from view go, unless the user is renaming them.
  for (auto it = materialized_.begin(); it != materialized_.end();) {
    const int row = *it;
    ImageRow* widget = rowAt(row);
    if ((row >= first && row <= last) || (widget && widget->isEditingName())) {
      ++it;
      continue;
    }
    if (widget) widget->hide();
    list_->setIndexWidget(model_->index(row), nullptr);
    it = materialized_.erase(it);
  }

  const ImageRow::Actions actions{
      [this](const Uuid& id, const std::string& name) { imageManager_.renameImage(id, name); },
      [this](const Uuid& id) { deleteImage(id); }};
  const auto& images = model_->images();
  for (int row = first; row <= last; ++row) {
    if (materialized_.count(row)) continue;
    list_->setIndexWidget(model_->index(row), new ImageRow(images[static_cast<size_t>(row)], *thumbnails_, actions));
    materialized_.insert(row);
  }
}

void ImagesSettingsView::refreshRows(int first, int last) {
  for (int row = first; row <= last; ++row)
    if (ImageRow* widget = rowAt(row)) widget->setSavedImage(model_->images()[static_cast<size_t>(row)]);
}

void ImagesSettingsView::deleteImage(const Uuid& imageId) {
  const auto& images = imageManager_.savedImages();
  for (size_t i = 0; i < images.size(); ++i) {
    if (images[i].id == imageId) {
      imageManager_.deleteImages({i});
      return;
    }
  }
}

}  // namespace tovrelle::settings

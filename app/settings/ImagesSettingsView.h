#pragma once
// The Images tab: the library as a reorderable list of rows, or an empty
// state, and a bar with the add button. Every change goes through the image
// library, which copies, rewrites "images.json" and so moves the camera.
// Thread-bound (main thread), every class here.
#include <QAbstractListModel>
#include <QListView>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "app/model/ImageManager.h"
#include "shared/CameraState.h"

class QFileDialog;
class QLabel;
class QPushButton;
class QToolButton;
class QStackedWidget;

namespace tovrelle::settings {

class ImageRow;
class ThumbnailCache;

// The library's entries for the list view, with drag-to-reorder. A drop is
// reported as one move: the dragged positions and the destination counted in
// positions before the move (insert before that entry; the count means the end).
class ImageListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  using MoveHandler = std::function<void(const IndexSet& fromOffsets, size_t toOffset)>;

  static constexpr const char* kMimeType = "application/x-tovrelle-image-rows";

  explicit ImageListModel(MoveHandler onMove, QObject* parent = nullptr);

  // Takes a new library list: the same entries in the same order only update
  // the rows in place, anything else rebuilds the list.
  void setImages(const std::vector<SavedImage>& images);
  const std::vector<SavedImage>& images() const { return images_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  Qt::DropActions supportedDropActions() const override;
  Qt::DropActions supportedDragActions() const override;
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                       const QModelIndex& parent) const override;
  bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                    const QModelIndex& parent) override;
  bool moveRows(const QModelIndex& sourceParent, int sourceRow, int count, const QModelIndex& destinationParent,
                int destinationChild) override;

 private:
  std::optional<IndexSet> decodeRows(const QMimeData* data) const;

  MoveHandler onMove_;
  std::vector<SavedImage> images_;
};

// A list view whose rows are widgets; drags carry a picture of the row and a
// drop becomes one move of the model.
class ImageListView : public QListView {
  Q_OBJECT

 public:
  explicit ImageListView(QWidget* parent = nullptr);

  // The destination (in positions before the move) for a drop at `pos` in
  // the viewport: before the row under the upper half, after it under the
  // lower half, the end below the last row.
  int destinationRow(const QPoint& pos) const;

 protected:
  void startDrag(Qt::DropActions supportedActions) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

class ImagesSettingsView : public QWidget {
  Q_OBJECT

 public:
  // Shows the open panel and returns the chosen file; none when cancelled.
  using OpenPanelRunner = std::function<std::optional<std::filesystem::path>(QFileDialog&)>;

  explicit ImagesSettingsView(ImageManager& imageManager, QWidget* parent = nullptr);
  ~ImagesSettingsView() override;

  // Files only, one at a time, image types (GIF and animated PNG among them).
  static void configureOpenPanel(QFileDialog& dialog);
  // The image name patterns the panel offers ("*.png", "*.PNG", …).
  static QStringList imageFilePatterns();

  // Replaces the modal panel (tests).
  void setOpenPanelRunner(OpenPanelRunner runner) { runOpenPanel_ = std::move(runner); }
  // The add button's action: open panel, then addImage(from:) unless cancelled.
  void addImage();

  bool showsEmptyState() const;
  ImageListView* listView() const { return list_; }
  ImageListModel* model() const { return model_; }
  QPushButton* addButton() const { return addButton_; }
  QWidget* emptyState() const { return emptyState_; }
  // The last add or save that failed, in words; hidden when there is none.
  QLabel* failureMessage() const { return failureMessage_; }
  static QString failureText(const ImageManager::Failure& failure);
  ThumbnailCache& thumbnails() const { return *thumbnails_; }
  // The row widget of position `row`; null when there is none (rows far
  // out of view have none).
  ImageRow* rowAt(int row) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void reload();
  void rebuildRows();
  void showVisibleRows();
  void refreshRows(int first, int last);
  void deleteImage(const Uuid& imageId);
  QWidget* makeEmptyState();
  void redrawFailure();

  static constexpr int kRowsAround = 4;

  ImageManager& imageManager_;
  std::set<int> materialized_;
  std::unique_ptr<ThumbnailCache> thumbnails_;
  ImageListModel* model_;
  ImageListView* list_;
  QWidget* emptyState_;
  QStackedWidget* content_;
  QPushButton* addButton_;
  QLabel* failureMessage_;
  QToolButton* dismissFailure_;
  OpenPanelRunner runOpenPanel_;
};

}  // namespace tovrelle::settings

#pragma once
// One entry of the Images tab: thumbnail, name (renamed in place) with the
// stored file's name under it, and the rename, delete and save buttons.
// Thread-bound (main thread), every class here; ThumbnailCache decodes
// elsewhere and hands the thumbnails over there.
#include <QLabel>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>

#include "shared/CameraState.h"
#include "shared/Uuid.h"

class QLineEdit;
class QToolButton;

namespace tovrelle::settings {

class ThumbnailCache;

// The 40 x 40 thumbnail: the picture scaled to fill and clipped, or a gray
// placeholder with the image icon when the file does not load.
class ThumbnailView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSide = 40;

  ThumbnailView(ThumbnailCache& cache, QWidget* parent = nullptr);
  // The file to show; empty when the entry names no usable file.
  void setFile(const QString& path);
  const QString& file() const { return path_; }
  // The file is known not to load (or there is none): the placeholder is up.
  bool showsPlaceholder() const;

  QSize sizeHint() const override { return {kSide, kSide}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  ThumbnailCache& cache_;
  QString path_;
};

// A label that shortens its text in the middle to the width it is given.
class ElidedLabel : public QLabel {
  Q_OBJECT

 public:
  explicit ElidedLabel(QWidget* parent = nullptr);
  void setFullText(const QString& text);
  const QString& fullText() const { return fullText_; }
  QSize minimumSizeHint() const override;
  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void updateElision();
  QString fullText_;
};

class ImageRow : public QWidget {
  Q_OBJECT

 public:
  struct Actions {
    // Called with the entry's id and the cleaned, non-empty new name.
    std::function<void(const Uuid&, const std::string&)> rename;
    std::function<void(const Uuid&)> remove;
  };

  ImageRow(SavedImage savedImage, ThumbnailCache& cache, Actions actions, QWidget* parent = nullptr);

  const SavedImage& savedImage() const { return savedImage_; }
  // The library changed this entry (a rename): show the new values, keeping
  // an edit in progress.
  void setSavedImage(SavedImage savedImage);

  bool isEditingName() const { return isEditingName_; }
  QString editedName() const;
  void setEditedName(const QString& name);

  // editedName = the current name, then show the field with keyboard focus.
  void startEditing();
  // Trims white space and line breaks; renames unless the result is empty;
  // always leaves editing.
  void commit();
  // Deletes the entry (no confirmation).
  void remove();

  // The parts, for the window's tests and accessibility checks.
  ThumbnailView* thumbnail() const { return thumbnail_; }
  QLabel* nameLabel() const { return nameLabel_; }
  // The picture's kind and size under its name.
  ElidedLabel* fileLabel() const { return fileLabel_; }
  QLineEdit* nameField() const { return nameField_; }
  QToolButton* renameButton() const { return renameButton_; }
  QToolButton* deleteButton() const { return deleteButton_; }
  QToolButton* saveButton() const { return saveButton_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void showValues();
  void showEditing();
  void applyStyle();

  SavedImage savedImage_;
  Actions actions_;
  bool isEditingName_ = false;
  ThumbnailCache& cache_;
  ThumbnailView* thumbnail_;
  QLabel* nameLabel_;
  ElidedLabel* fileLabel_;
  QLineEdit* nameField_;
  QToolButton* renameButton_;
  QToolButton* deleteButton_;
  QToolButton* saveButton_;
};

// The stored file of an entry (Images/<fileName>) as a local path; empty when
// the name could reach outside the images folder.
QString storedFilePath(const SavedImage& image);
// The last path component of the stored file, as the row shows it.
QString storedFileName(const SavedImage& image);

}  // namespace tovrelle::settings
